// Stored queries assembled from catalogue tables filled by the test in SQLite, read
// through the unixODBC SQLite3 driver.
#include "store/persistence/tests/objects_test_util.h"

namespace {

using namespace objectstest;
using persistencetest::LogCapture;

class CatalogueTest : public SqliteObjectsTest {
protected:
    void SetUp() override {
        SqliteObjectsTest::SetUp();
        for (const char* sql : {
                 "CREATE TABLE QueryDetails(QUERY_ID int, QUERYNAME varchar(40))",
                 "CREATE TABLE QueryvsColumns(QUERY_ID int, COLUMN_ID int)",
                 "CREATE TABLE ColumnDetails(COLUMN_ID int, COLUMNNAME varchar(40), COLUMNALIAS "
                 "varchar(40), "
                 "TABLENAME varchar(40), TABLEALIAS varchar(40), FUNCTIONNAME varchar(20))",
                 "CREATE TABLE QueryvsTables(QUERY_ID int, TABLE_ID int)",
                 "CREATE TABLE TableDetails(TABLE_ID int, TABLENAME varchar(40), TABLEALIAS "
                 "varchar(40))",
                 "CREATE TABLE QueryvsJoins(QUERY_ID int, JOIN_ID int)",
                 "CREATE TABLE JoinDetails(JOIN_ID int, BASETABLENAME varchar(40), BASETABLEALIAS "
                 "varchar(40), "
                 "REFTABLENAME varchar(40), REFTABLEALIAS varchar(40), BASETABLECOLUMN "
                 "varchar(40), "
                 "REFTABLECOLUMN varchar(40), JOINTYPE varchar(20))",
                 "CREATE TABLE QueryvsGB(QUERY_ID int, GB_ID int)",
                 "CREATE TABLE GroupByDetails(GB_ID int, TABLENAME varchar(40), COLUMNNAME "
                 "varchar(40))",
                 "CREATE TABLE QueryvsSort(QUERY_ID int, SORT_ID int)",
                 "CREATE TABLE SortDetails(SORT_ID int, TABLENAME varchar(40), COLUMNNAME "
                 "varchar(40), "
                 "SORTTYPE varchar(10))",
                 "CREATE TABLE QueryvsCriteria(QUERY_ID int, B_ID int)",
                 "CREATE TABLE BooleanExp(B_ID int, LEXPRESSION int, OPERATOR varchar(10), "
                 "REXPRESSION int)",
                 "CREATE TABLE RelationalExp(R_ID int, LIDENTIFIER varchar(40), OPERATOR "
                 "varchar(10), "
                 "RIDENTIFIER varchar(60))",
                 // Devices 1 to 4 and their software.
                 "INSERT INTO Device "
                 "VALUES(1,'alpha',1,NULL),(2,'beta',0,NULL),(3,'gamma',1,NULL),(4,'delta',1,NULL)",
                 "INSERT INTO Software VALUES(10,1,'editor'),(11,1,'browser'),(12,3,'editor')",
             })
            ASSERT_TRUE(Run(sql)) << sql;
    }
};

// Query 1: NAME as N, COUNT(*), a column of an unknown table, the TEXT column; Device d
// left joined to Software s; grouped by two columns; sorted by NAME; criteria
// ((R1 AND R2) OR R3) = ((d.ID > 1 AND d.ACTIVE = 1) OR d.NAME = 'alpha').
void FillQueryOne(SqliteObjectsTest& test) {
    for (const char* sql : {
             "INSERT INTO QueryDetails VALUES(1,'devices')",
             "INSERT INTO QueryvsColumns VALUES(1,101),(1,102),(1,103),(1,104)",
             "INSERT INTO ColumnDetails VALUES(101,'NAME','N','Device','d',NULL),"
             "(102,NULL,NULL,NULL,NULL,'COUNT'),(103,'X',NULL,'Nowhere',NULL,'MEDIAN'),"
             "(104,'NOTES',NULL,'Device','d',NULL)",
             "INSERT INTO QueryvsTables VALUES(1,201)",
             "INSERT INTO TableDetails VALUES(201,'Patch','p')",
             "INSERT INTO QueryvsJoins VALUES(1,301)",
             "INSERT INTO JoinDetails "
             "VALUES(301,'Device','d','Software','s','ID','DEVICE_ID','LEFT_JOIN')",
             "INSERT INTO QueryvsGB VALUES(1,401),(1,402)",
             "INSERT INTO GroupByDetails VALUES(401,'Device','NAME'),(402,'Device','ID')",
             "INSERT INTO QueryvsSort VALUES(1,501)",
             "INSERT INTO SortDetails VALUES(501,'Device','NAME','ASC')",
             "INSERT INTO QueryvsCriteria VALUES(1,600)",
             "INSERT INTO BooleanExp VALUES(600,601,'OR',612),(601,610,'AND',611)",
             "INSERT INTO RelationalExp "
             "VALUES(610,'d.ID','>','1'),(611,'d.ACTIVE','=','1'),(612,'d.NAME','=','''alpha''')",
         })
        ASSERT_TRUE(test.Run(sql)) << sql;
}

TEST_F(CatalogueTest, AssemblesEveryPartOfAStoredQuery) {
    FillQueryOne(*this);
    SelectQueryPtr query = CreateSelectQuery();
    ASSERT_TRUE(AssembleStoredQuery(1, query.get()));

    ASSERT_EQ(query->columns.size(), 4u);
    EXPECT_STREQ(query->columns[0]->columnAlias, "N");
    EXPECT_EQ(query->columns[0]->type, HYL_SQL_CHARACTER);
    EXPECT_EQ(query->columns[1]->aggregate, AGGREGATE_COUNT);
    EXPECT_EQ(query->columns[1]->columnName, nullptr);
    EXPECT_EQ(query->columns[2]->aggregate, AGGREGATE_NONE);  // a name not in the list
    EXPECT_EQ(query->columns[2]->type, HYL_SQL_CHAR);         // table not in the dictionary
    EXPECT_EQ(query->columns[3]->type, HYL_SQL_TEXT);         // type 22 is accepted

    ASSERT_EQ(query->tables.size(), 1u);
    EXPECT_STREQ(query->tables[0]->alias, "p");
    ASSERT_EQ(query->joins.size(), 1u);
    EXPECT_EQ(query->joins[0]->joinType, LEFT_JOIN);
    EXPECT_STREQ(query->joins[0]->referenceColumns[0]->columnName, "DEVICE_ID");

    ASSERT_TRUE(query->groupBy);
    ASSERT_EQ(query->groupBy->columns.size(), 2u);
    EXPECT_STREQ(query->groupBy->columns[0]->columnName, "NAME");
    EXPECT_STREQ(query->groupBy->columns[1]->columnName, "ID");
    ASSERT_TRUE(query->orderBy);
    EXPECT_EQ(query->orderBy->sortType, 'A');

    // ((R1 AND R2) OR R3) with its parent links.
    const QueryCriteriaNode* root = query->criteria;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->op, CRITERIA_OR);
    EXPECT_EQ(root->parent, nullptr);
    ASSERT_NE(root->left, nullptr);
    EXPECT_EQ(root->left->op, CRITERIA_AND);
    EXPECT_EQ(root->left->parent, root);
    EXPECT_EQ(root->right->parent, root);
    EXPECT_EQ(root->left->left->parent, root->left);
    EXPECT_EQ(root->left->left->op, CRITERIA_GT);
    EXPECT_STREQ(root->left->left->column->columnName, "d.ID");
    EXPECT_EQ(root->left->left->column->type, HYL_SQL_CHARACTER);
    EXPECT_EQ(std::string(root->right->value, root->right->valueLength), "'alpha'");
    EXPECT_TRUE(root->right->sqlFragment);
}

TEST_F(CatalogueTest, OperatorAndFunctionNamesMapToTheirCodes) {
    const std::pair<const char*, BYTE> operators[] = {{"<", CRITERIA_LT},  {"<=", CRITERIA_LE},
                                                      {"!=", CRITERIA_NE}, {"LIKE", CRITERIA_LIKE},
                                                      {"like", 0},         {"==", 0}};
    int id = 700;
    for (const auto& [name, code] : operators) {
        ++id;
        ASSERT_TRUE(Run("INSERT INTO QueryvsCriteria VALUES(" + std::to_string(id) + "," +
                        std::to_string(id) + ")"));
        ASSERT_TRUE(Run("INSERT INTO RelationalExp VALUES(" + std::to_string(id) + ",'ID','" +
                        name + "','1')"));
        SelectQueryPtr query = CreateSelectQuery();
        ASSERT_TRUE(LoadStoredCriteria(id, query.get())) << name;
        ASSERT_NE(query->criteria, nullptr);
        EXPECT_EQ(query->criteria->op, code) << name;
    }
}

TEST_F(CatalogueTest, AQueryWithoutCatalogueRowsIsEmptyAndSaysSo) {
    LogCapture log;
    SelectQueryPtr query = CreateSelectQuery();
    ASSERT_TRUE(AssembleStoredQuery(99, query.get()));
    EXPECT_TRUE(query->columns.empty());
    EXPECT_TRUE(query->tables.empty());
    EXPECT_TRUE(query->joins.empty());
    EXPECT_FALSE(query->groupBy);
    EXPECT_FALSE(query->orderBy);
    EXPECT_EQ(query->criteria, nullptr);
    for (const char* line :
         {"\nNo Columns to be selected.\n", "\nNo Tables to be selected\n", "\nNo Join details\n",
          "\nNo GroupBy details\n", "\nNo Sort details\n"})
        EXPECT_TRUE(log.has(line)) << line;
    EXPECT_EQ(RunStoredQuery(99), nullptr);  // nothing to select from
}

TEST_F(CatalogueTest, BrokenStoredCriteriaRefuseTheQueryInsteadOfDroppingTheFilter) {
    LogCapture log;
    for (const char* sql : {
             "INSERT INTO QueryvsColumns VALUES(5,101),(6,101),(7,101)",
             "INSERT INTO ColumnDetails VALUES(101,'NAME',NULL,'Device',NULL,NULL)",
             "INSERT INTO QueryvsTables VALUES(5,201),(6,201),(7,201)",
             "INSERT INTO TableDetails VALUES(201,'Device',NULL)",
             // 5: a node that is its own left child; 6: a cycle through two nodes;
             // 7: a right side that names no row.
             "INSERT INTO QueryvsCriteria VALUES(5,800),(6,810),(7,820)",
             "INSERT INTO BooleanExp "
             "VALUES(800,800,'AND',801),(810,811,'OR',812),(812,813,'AND',810),"
             "(820,821,'AND',829)",
             "INSERT INTO RelationalExp "
             "VALUES(801,'ID','=','1'),(811,'ID','=','2'),(813,'ID','=','3'),"
             "(821,'ID','=','4')",
         })
        ASSERT_TRUE(Run(sql)) << sql;
    for (int id : {5, 6, 7}) {
        SelectQueryPtr query = CreateSelectQuery();
        EXPECT_FALSE(AssembleStoredQuery(id, query.get())) << id;
        EXPECT_FALSE(GetStoredCriteriaText(id)) << id;
        EXPECT_EQ(RunStoredQuery(id), nullptr) << id;
    }
    EXPECT_TRUE(log.has("\nInvalid ID\n"));
    EXPECT_TRUE(log.has("refers back to itself"));
}

TEST_F(CatalogueTest, CriteriaNestedBeyondTheDepthLimitAreRefusedBeforeTheStackRunsOut) {
    // BooleanExp 1..1000 each take the next as their left side and leaf 5000 as their
    // right; 1001 is the innermost leaf. Query 8 starts at 1 (1001 levels), query 9 at 2
    // (1000 levels, the most accepted). Chains of tens of thousands of rows once ran the
    // recursive walks off the stack.
    for (int first = 1; first <= 1000; first += 100) {
        std::string sql = "INSERT INTO BooleanExp VALUES";
        for (int id = first; id < first + 100; ++id)
            sql += (id == first ? "(" : ",(") + std::to_string(id) + "," + std::to_string(id + 1) + ",'AND',5000)";
        ASSERT_TRUE(Run(sql));
    }
    ASSERT_TRUE(Run("INSERT INTO RelationalExp VALUES(1001,'ID','=','1'),(5000,'ID','>','0')"));
    ASSERT_TRUE(Run("INSERT INTO QueryvsCriteria VALUES(8,1),(9,2)"));
    LogCapture log;
    SelectQueryPtr tooDeep = CreateSelectQuery();
    EXPECT_FALSE(LoadStoredCriteria(8, tooDeep.get()));
    EXPECT_EQ(tooDeep->criteria, nullptr);
    EXPECT_FALSE(GetStoredCriteriaText(8));
    EXPECT_TRUE(log.has("nests deeper than 1000 levels"));

    SelectQueryPtr deepest = CreateSelectQuery();
    ASSERT_TRUE(LoadStoredCriteria(9, deepest.get()));
    int depth = 1;
    for (const QueryCriteriaNode* node = deepest->criteria; node->left; node = node->left) ++depth;
    EXPECT_EQ(depth, 1000);
    EXPECT_TRUE(GetStoredCriteriaText(9));
}

TEST_F(CatalogueTest, CriteriaTextFollowsTheTreeAndIsLogged) {
    FillQueryOne(*this);
    LogCapture log;
    const std::optional<std::string> text = GetStoredCriteriaText(1);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "(d.ID > 1 AND d.ACTIVE = 1) OR d.NAME = 'alpha'");
    EXPECT_TRUE(log.has("\n" + *text + "\n"));
    EXPECT_FALSE(GetStoredCriteriaText(42));  // no criteria stored
}

TEST_F(CatalogueTest, StoredQueriesRunByIdentifierOrNameAndTheCatalogueRunPrintsThem) {
    for (const char* sql : {
             "INSERT INTO QueryDetails VALUES(3,'active devices'),(4,'count software')",
             "INSERT INTO QueryvsColumns VALUES(3,101),(3,102),(4,103),(4,104)",
             "INSERT INTO ColumnDetails "
             "VALUES(101,'ID',NULL,'Device',NULL,NULL),(102,'NAME',NULL,'Device',NULL,NULL),"
             "(103,'DEVICE_ID',NULL,'Software',NULL,NULL),(104,NULL,NULL,NULL,NULL,'COUNT')",
             "INSERT INTO QueryvsTables VALUES(3,201),(4,202)",
             "INSERT INTO TableDetails VALUES(201,'Device',NULL),(202,'Software',NULL)",
             "INSERT INTO QueryvsGB VALUES(4,401)",
             "INSERT INTO GroupByDetails VALUES(401,'Software','DEVICE_ID')",
             // Any sort byte but zero sorts ascending, a stored DESC too.
             "INSERT INTO QueryvsSort VALUES(3,501),(4,502)",
             "INSERT INTO SortDetails "
             "VALUES(501,'Device','NAME','DESC'),(502,'Software','DEVICE_ID','A')",
             "INSERT INTO QueryvsCriteria VALUES(3,900)",
             "INSERT INTO RelationalExp VALUES(900,'ACTIVE','=','1')",
         })
        ASSERT_TRUE(Run(sql)) << sql;
    std::unique_ptr<QueryResultSet> active = RunStoredQuery(3);
    ASSERT_NE(active, nullptr);
    ASSERT_EQ(active->rows.size(), 3u);
    std::vector<std::string> names;
    ResetResultSet(active.get());
    while (NextResultRow(active.get())) names.push_back(*ResultText(active.get(), "NAME"));
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "delta", "gamma"}));

    std::unique_ptr<QueryResultSet> counts = RunStoredQueryByName("count software");
    ASSERT_NE(counts, nullptr);
    ASSERT_EQ(counts->rows.size(), 2u);
    std::optional<ColumnValue> count =
        ConvertCellToColumnType(counts->rows[0][1], counts->columns[1].type, HYL_SQL_INT);
    ASSERT_TRUE(count);
    EXPECT_EQ(count->As<std::int32_t>(), 2);  // device 1 has two programs
    EXPECT_NE(RunStoredQueryByName("3"), nullptr);
    EXPECT_EQ(RunStoredQueryByName("no such query"), nullptr);
    EXPECT_EQ(RunStoredQueryByName(""), nullptr);

    LogCapture log;
    ASSERT_TRUE(RunQueryCatalogue());
    EXPECT_TRUE(log.has("gamma"));
    EXPECT_TRUE(log.has("browser") || log.has("DEVICE_ID"));
    EXPECT_EQ(GetMemPoolUseCount(), 0);  // initialised for the run and released after it
}

TEST_F(CatalogueTest, AnUnreadableCatalogueFailsTheRun) {
    ASSERT_TRUE(Run("DROP TABLE QueryDetails"));
    LogCapture log;
    EXPECT_FALSE(RunQueryCatalogue());
    EXPECT_TRUE(log.has("Query failed\n"));
    ASSERT_TRUE(Run("DROP TABLE QueryvsColumns"));
    SelectQueryPtr query = CreateSelectQuery();
    EXPECT_FALSE(AssembleStoredQuery(1, query.get()));
}

}  // namespace
