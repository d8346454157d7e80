// The data-object cycle on a real PostgreSQL server started on loopback: personality,
// index table, read, change, save, read again.
#include "store/persistence/tests/objects_test_util.h"
#include "tests/support/database_servers.h"

namespace {

using namespace objectstest;

TEST(DataObjectPostgres, PersonalityCycleReadsChangesSavesAndReadsBack) {
    LoadObjectsDictionary();
    const ConnectionParams params =
        persistencetest::DirectParams(testsupport::PostgresServer::Instance().connectionString());
    ProviderConnectionPtr connection = ODBCOpenConnection(&params);
    ASSERT_NE(connection, nullptr);
    std::shared_ptr<TableStatements> previous = SetTableStatements(
        MakeConnectionTableStatements(GetODBCProvider(), connection.get(), GetSqlDialect("PGSQL")));
    const auto run = [&](const std::string& sql) {
        return ODBCExecuteUpdate(connection.get(), sql.c_str()) == 1;
    };
    for (const char* table : {"Device", "Software", "Patch"})
        ASSERT_TRUE(run(*PgsqlGenCreateQuery(table))) << table;
    ASSERT_TRUE(run("INSERT INTO Device VALUES(1,'alpha','t',NULL),(2,'beta','f',NULL)"));
    ASSERT_TRUE(run("INSERT INTO Software VALUES(10,1,'editor'),(11,1,'browser')"));
    ASSERT_TRUE(run("INSERT INTO Patch VALUES(20,2,'KB1','open')"));

    testsupport::TempDir dir;
    testsupport::WriteFile(dir.path() / "p.xml", R"(<?xml version="1.0"?>
<P>
  <PersonalityConfiguration personalityname="Inventory" description="d" dominanttableid="Device"/>
  <ConstituentTable tableindex="1" tableid="Software" fkconstraint_id="fk_sw_device"/>
  <ConstituentTable tableindex="2" tableid="Patch" fkconstraint_id="fk_patch_device"/>
  <DominantTableConfig DOMINANTTABLEID="Device" isindexed="true" nonindexlimit="0"/>
</P>)");
    ASSERT_EQ(InitPersonality(), 1);
    ASSERT_EQ(CreatePersonalityFromXMLFile((dir.path() / "p.xml").string().c_str()), 1);

    DataObjectPtr inventory = GetDOFromPersonality("Inventory");
    ASSERT_NE(inventory, nullptr);
    EXPECT_EQ(GetRowCollection(inventory.get(), "Device")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(inventory.get(), "Software")->units.size(), 2u);
    EXPECT_EQ(GetRowCollection(inventory.get(), "Patch")->units.size(), 1u);
    EXPECT_EQ(ConvertColumnValueToText(
                  *GetColumnValueFromDO(FindRowUnit(inventory.get(), "Device1"), "ACTIVE"),
                  HYL_SQL_BOOLEAN),
              "'t'");

    // A device with a hostile name and its software (saved parent first), a boolean
    // changed, a program deleted.
    ASSERT_NE(InsertRowIntoDO(inventory.get(), "Software", {Int(12), Int(3), Text("tool")}),
              nullptr);
    ASSERT_NE(
        InsertStringRowIntoDO(inventory.get(), "Device", {"3", "o'hara \\ \"q\"", "FALSE", "long"}),
        nullptr);
    RowUnitPtr beta = CloneRowUnit(FindRowUnit(inventory.get(), "Device2"));
    beta->values[2] = ConvertTextToColumnValue("TRUE", HYL_SQL_BOOLEAN, nullptr);
    ASSERT_TRUE(UpdateRowUnit(inventory.get(), beta.get()));
    ASSERT_TRUE(DeleteRowUnit(inventory.get(), FindRowUnit(inventory.get(), "Software11")));
    ASSERT_TRUE(SaveDataObject(inventory.get()));

    DataObjectPtr again = GetDOFromPersonality("Inventory");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetRowCollection(again.get(), "Device")->units.size(), 3u);
    EXPECT_EQ(GetRowCollection(again.get(), "Software")->units.size(), 2u);
    EXPECT_EQ(FindRowUnit(again.get(), "Software11"), nullptr);
    RowUnit* hostile = FindRowUnit(again.get(), "Device3");
    ASSERT_NE(hostile, nullptr);
    const ColumnValue* name = GetColumnValueFromDO(hostile, "NAME");
    EXPECT_EQ(std::string(name->data(), name->length), "o'hara \\ \"q\"");
    EXPECT_EQ(
        ConvertColumnValueToText(
            *GetColumnValueFromDO(FindRowUnit(again.get(), "Device2"), "ACTIVE"), HYL_SQL_BOOLEAN),
        "'t'");

    // Deep retrieval through the index table on the server.
    ASSERT_TRUE(run("INSERT INTO Device_IDX VALUES (2, 'Patch')"));
    DataObjectPtr deep = DeepRetrieveDO("Device", FindRowUnit(again.get(), "Device2"));
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(GetTableList(deep.get()), (std::vector<std::string>{"Device", "Patch"}));
    EXPECT_EQ(GetRowCollection(deep.get(), "Patch")->units.size(), 1u);

    InitPersonality();
    SetTableStatements(previous);
}

}  // namespace
