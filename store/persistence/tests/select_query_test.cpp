// Select query objects: their parts, refusals and the pool that owns them.
#include "store/persistence/tests/persistence_test_util.h"

namespace {

using namespace persistencetest;

TEST(SelectQuery, DescriptorsCopyTheirTextsAndRefuseBadInput) {
    LogCapture log;
    SelectQueryPtr query = CreateSelectQuery();
    ASSERT_NE(query, nullptr);
    std::string table = "Orders";
    QueryColumn* column = CreateColumnDescriptor(table.c_str(), "o", "ID", "OID", 0, HYL_SQL_TEXT, AGGREGATE_MAX, query->pool);
    ASSERT_NE(column, nullptr);
    table = "changed";
    EXPECT_STREQ(column->tableName, "Orders");
    EXPECT_STREQ(column->columnAlias, "OID");
    EXPECT_EQ(column->type, HYL_SQL_TEXT);  // text columns stay in select lists

    EXPECT_EQ(CreateColumnDescriptor("T", nullptr, nullptr, nullptr, 0, 5, 0, query->pool), nullptr);
    EXPECT_TRUE(log.has("\nColumn Name is NULL\n"));
    EXPECT_EQ(CreateColumnDescriptor("T", nullptr, "C", nullptr, 0, 23, 0, query->pool), nullptr);
    EXPECT_TRUE(log.has("\nInvalid Data Type\n"));
    // The select-list form takes an aggregate without column ("count(*)"), not a bare one.
    EXPECT_NE(CreateSelectColumnDescriptor(nullptr, nullptr, nullptr, nullptr, 0, 0, AGGREGATE_COUNT, query->pool), nullptr);
    EXPECT_EQ(CreateSelectColumnDescriptor(nullptr, nullptr, nullptr, nullptr, 0, 0, AGGREGATE_NONE, query->pool), nullptr);
    EXPECT_EQ(CreateCriteriaLeaf(nullptr, "x", 1, CRITERIA_EQ, query->pool), nullptr);
    EXPECT_TRUE(log.has("\nEmpty Column Assigned\n"));
}

TEST(SelectQuery, CriteriaTreesKeepShapeAndParents) {
    SelectQueryPtr query = CreateSelectQuery();
    MemPool* pool = query->pool;
    auto leaf = [&](const char* name) {
        return CreateCriteriaLeaf(CreateColumnDescriptor(nullptr, nullptr, name, nullptr, 0, HYL_SQL_CHARACTER, 0, pool),
                                  "v\0w", 3, CRITERIA_EQ, pool);
    };
    QueryCriteriaNode* r1 = leaf("A");
    QueryCriteriaNode* r2 = leaf("B");
    QueryCriteriaNode* r3 = leaf("C");
    QueryCriteriaNode* both = CreateAndNode(r1, r2, pool);
    QueryCriteriaNode* root = CreateOrNode(both, r3, pool);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->op, CRITERIA_OR);
    EXPECT_EQ(root->left, both);
    EXPECT_EQ(both->op, CRITERIA_AND);
    EXPECT_EQ(r1->parent, both);
    EXPECT_EQ(r2->parent, both);
    EXPECT_EQ(both->parent, root);
    EXPECT_EQ(r3->parent, root);
    EXPECT_EQ(root->parent, nullptr);
    // Values are copied whole, zero bytes included, with a terminator after them.
    EXPECT_EQ(r1->valueLength, 3u);
    EXPECT_EQ(std::string(r1->value, 4), std::string("v\0w\0", 4));
    EXPECT_EQ(CreateAndNode(r1, nullptr, pool), nullptr);
    EXPECT_TRUE(SetCriteria(query.get(), root));
}

TEST(SelectQuery, NamesOfAggregatesAndJoinTypes) {
    const std::pair<const char*, BYTE> aggregates[] = {{"COUNT", 2}, {"DISTINCT", 1}, {"AVG", 6}, {"count", 0}, {"MEDIAN", 0}};
    for (const auto& [name, code] : aggregates) EXPECT_EQ(AggregateCode(name), code) << name;
    EXPECT_EQ(AggregateCode(nullptr), 0);
    EXPECT_STREQ(AggregateName(4), "MAX");
    EXPECT_STREQ(AggregateName(9), "INVALID TYPE");
    EXPECT_EQ(JoinTypeCode("LEFT_JOIN"), LEFT_JOIN);
    EXPECT_EQ(JoinTypeCode("INNER_JOIN"), INNER_JOIN);
    EXPECT_EQ(JoinTypeCode("OUTER"), INNER_JOIN);
    EXPECT_EQ(JoinTypeName(2), nullptr);
}

TEST(SelectQuery, ColumnVectorsAndJoinsAreBuiltInThePool) {
    LogCapture log;
    SelectQueryPtr query = CreateSelectQuery();
    const std::vector<const char*> texts = MakeColumnVector(query->pool, {"A", "B", nullptr, "C"});
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_STREQ(texts[2], "C");
    const std::vector<QueryColumn*> columns = MakeColumnVectorForJoin(query->pool, "T", {"X", "Y"});
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_STREQ(columns[1]->tableName, "T");
    EXPECT_EQ(columns[1]->type, HYL_SQL_INT);
    EXPECT_TRUE(log.has("@@ Inside MakeColumnVector @@\n"));
    EXPECT_TRUE(log.has("@@ Inside MakeColumnVectorForJoin @@\n"));

    EXPECT_TRUE(AddJoinOnColumns(query.get(), "Orders", "o", "Customer", "c", LEFT_JOIN, {"ID", "REGION"}));
    ASSERT_EQ(query->joins.size(), 1u);
    EXPECT_EQ(query->joins[0]->baseColumns.size(), 2u);
    EXPECT_STREQ(query->joins[0]->referenceColumns[1]->tableName, "Customer");
    EXPECT_EQ(GetSqlDialect("PGSQL")->genSelect(query.get()),
              "select * from  Orders as o  left join  Customer as c  on o.ID = c.ID and o.REGION = c.REGION ");
    // Column lists that do not pair up are refused.
    EXPECT_FALSE(AddJoin(query.get(), "A", nullptr, "B", nullptr, INNER_JOIN, columns, {}));
    EXPECT_FALSE(AddTable(query.get(), nullptr, "x"));
    FreeSelectQuery(std::move(query));
}

TEST(SelectQuery, QueriesUseTheGlobalPoolWhenThereIsOne) {
    ASSERT_EQ(InitializeMemPool(), 1);
    {
        SelectQueryPtr query = CreateSelectQuery();
        ASSERT_NE(query, nullptr);
        EXPECT_EQ(MemPoolParent(query->pool), GetGlobalMemPool());
        const std::size_t children = MemPoolChildCount(GetGlobalMemPool());
        FreeSelectQuery(std::move(query));
        EXPECT_EQ(MemPoolChildCount(GetGlobalMemPool()), children - 1);
    }
    TerminateMemPool();
    // Without a global pool each query has a pool of its own.
    SelectQueryPtr own = CreateSelectQuery();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(MemPoolParent(own->pool), nullptr);
    EXPECT_TRUE(AddTable(own.get(), "T", nullptr));
}

}  // namespace
