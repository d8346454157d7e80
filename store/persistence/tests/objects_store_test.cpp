// Data objects and stored queries on a started store: statements reach SQLite through the
// store's own pools and data-source map, with nothing installed by the test.
#include "store/persistence/tests/startup_fixture.h"

namespace {

using namespace startuptest;

TEST(ObjectsOnAStartedStore, PersonalityCycleAndStoredQueryUseTheConfiguredDataSources) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    // The catalogue tables are routed by the map like every other table.
    std::string map = "SeqGenState main\nOrders main\nCustomer main\n";
    for (const char* table :
         {"QueryDetails", "QueryvsColumns", "ColumnDetails", "QueryvsTables", "TableDetails",
          "QueryvsJoins", "QueryvsGB", "QueryvsSort", "QueryvsCriteria"})
        map += std::string(table) + " main\n";
    root.Write("dsn_table_map.txt", map);
    StartedStore store(root);
    ASSERT_TRUE(store.started());
    ASSERT_EQ(SetTableStatements(nullptr), nullptr);  // nothing installed: the store routes

    root.Write("personalities.xml", R"(<?xml version="1.0"?>
<P>
  <PersonalityConfiguration personalityname="Accounts" description="customers and orders" dominanttableid="Customer"/>
  <ConstituentTable tableindex="1" tableid="Orders" fkconstraint_id="fk_customer" mandatory="true"/>
  <DominantTableConfig DOMINANTTABLEID="Customer" isindexed="true" nonindexlimit="0"/>
</P>)");
    ASSERT_EQ(CreatePersonalityFromXMLFile((root.data() / "personalities.xml").string().c_str()),
              1);
    EXPECT_TRUE(QueryTexts("Customer", "SELECT * FROM Customer_IDX").empty());  // created, empty

    DataObjectPtr accounts = GetDOFromPersonality("Accounts");
    ASSERT_NE(accounts, nullptr);
    EXPECT_EQ(GetRowCollection(accounts.get(), "Customer")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(accounts.get(), "Orders")->units.size(), 2u);
    // A new order for Brian, Ada renamed, the first order deleted; saved and read back.
    ASSERT_NE(InsertStringRowIntoDO(accounts.get(), "Orders", {"12", "third", "TRUE", "it's", "2"}),
              nullptr);
    ASSERT_TRUE(SetValueForRowUnit("NAME", "Customer", "Brian B", 7, accounts.get()));
    ASSERT_TRUE(DeleteRowUnit(accounts.get(), FindRowUnit(accounts.get(), "Orders10")));
    ASSERT_TRUE(SaveDataObject(accounts.get()));
    EXPECT_EQ(QueryTexts("Orders", "SELECT ID, NOTES FROM Orders ORDER BY ID"),
              (std::vector<std::vector<std::string>>{{"11", "<NULL>"}, {"12", "it's"}}));
    EXPECT_EQ(QueryTexts("Customer", "SELECT NAME FROM Customer WHERE ID = 2"),
              (std::vector<std::vector<std::string>>{{"Brian B"}}));

    // A stored query kept in the same database, run by its name.
    for (const char* sql :
         {"CREATE TABLE QueryDetails(QUERY_ID int, QUERYNAME varchar(40))",
          "CREATE TABLE QueryvsColumns(QUERY_ID int, COLUMN_ID int)",
          "CREATE TABLE ColumnDetails(COLUMN_ID int, COLUMNNAME varchar(40), COLUMNALIAS "
          "varchar(40),"
          " TABLENAME varchar(40), TABLEALIAS varchar(40), FUNCTIONNAME varchar(20))",
          "CREATE TABLE QueryvsTables(QUERY_ID int, TABLE_ID int)",
          "CREATE TABLE TableDetails(TABLE_ID int, TABLENAME varchar(40), TABLEALIAS varchar(40))",
          "CREATE TABLE QueryvsJoins(QUERY_ID int, JOIN_ID int)",
          "CREATE TABLE QueryvsGB(QUERY_ID int, GB_ID int)",
          "CREATE TABLE QueryvsSort(QUERY_ID int, SORT_ID int)",
          "CREATE TABLE QueryvsCriteria(QUERY_ID int, B_ID int)",
          "INSERT INTO QueryDetails VALUES(1,'names')", "INSERT INTO QueryvsColumns VALUES(1,1)",
          "INSERT INTO ColumnDetails VALUES(1,'NAME',NULL,'Customer',NULL,NULL)",
          "INSERT INTO QueryvsTables VALUES(1,1)",
          "INSERT INTO TableDetails VALUES(1,'Customer',NULL)"}) {
        DBConnection* connection = GetTableConnection("Customer");
        ASSERT_NE(connection, nullptr);
        const BYTE done = ExecuteUpdate(connection, sql);
        ReleaseTableConnection("Customer");
        ASSERT_EQ(done, 1) << sql;
    }
    std::unique_ptr<QueryResultSet> names = RunStoredQueryByName("names");
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->rows.size(), 2u);
    InitPersonality();
}

}  // namespace
