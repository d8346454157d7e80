// BETWEEN bounds are written as literals of the column's type, escaped like any other value;
// only a stored catalogue's fragment keeps its text.
#include "store/persistence/tests/persistence_test_util.h"

namespace {

using namespace persistencetest;

// select * from Orders where ID BETWEEN <value>, the leaf typed by the column.
SqlText BetweenSelect(const char* dialect, const char* column, BYTE type, const std::string& value,
                      bool fragment = false) {
    SelectQueryPtr query = CreateSelectQuery();
    AddTable(query.get(), "Orders", nullptr);
    QueryCriteriaNode* leaf =
        CreateCriteriaLeaf(CreateColumnDescriptor(nullptr, nullptr, column, nullptr, 0, type, 0, query->pool),
                           value.data(), static_cast<std::uint32_t>(value.size()), CRITERIA_BETWEEN, query->pool);
    leaf->sqlFragment = fragment;
    SetCriteria(query.get(), leaf);
    return GetSqlDialect(dialect)->genSelect(query.get());
}

TEST(BetweenLiteralTest, BoundsAreLiteralsOfTheColumnType) {
    LoadTestDictionary();
    struct Case {
        const char* dialect;
        const char* column;
        BYTE type;
        std::string value;
        std::optional<std::string> criteria;  // none: the select is refused
    };
    const Case cases[] = {
        {"MYSQL", "ID", HYL_SQL_INT, "1 and 5", " ID BETWEEN  1 and 5 "},
        {"PGSQL", "ID", HYL_SQL_INT, " 1 AND 5 ", " ID BETWEEN  1 and 5 "},
        {"MYSQL", "NAME", HYL_SQL_CHARACTER, "'A' and 'O''Brien\\'", " NAME BETWEEN  'A' and 'O''Brien\\\\' "},
        {"PGSQL", "NAME", HYL_SQL_CHARACTER, "a and z", " NAME BETWEEN  'a' and 'z' "},
        {"SQLITE", "CREATED", HYL_SQL_DATE, "2024-01-01 and '2024-12-31'",
         " CREATED BETWEEN  '2024-01-01' and '2024-12-31' "},
        {"FIREBIRD", "NAME", HYL_SQL_CHARACTER, "'x and y' and 'z'", " NAME BETWEEN  'x and y' and 'z' "},
        // A value that would close its literal or add a statement is no bound of the type.
        {"PGSQL", "ID", HYL_SQL_INT, "1 and 5; delete from Orders", std::nullopt},
        {"MYSQL", "ID", HYL_SQL_INT, "0 and 1) or (1=1", std::nullopt},
        {"PGSQL", "ID", HYL_SQL_INT, "5", std::nullopt},
        {"SQLITE", "CREATED", HYL_SQL_DATE, "yesterday and today", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dialect) + " " + c.value);
        const SqlText select = BetweenSelect(c.dialect, c.column, c.type, c.value);
        if (!c.criteria) {
            EXPECT_FALSE(select) << *select;
            continue;
        }
        ASSERT_TRUE(select);
        EXPECT_EQ(select->substr(select->find("where ") + 6), *c.criteria);
    }
    // A stored catalogue's fragment is written as the catalogue holds it.
    const SqlText fragment = BetweenSelect("SQLITE", "ID", HYL_SQL_CHARACTER, "1 and 5", true);
    ASSERT_TRUE(fragment);
    EXPECT_EQ(fragment->substr(fragment->find("where ") + 6), " ID BETWEEN  1 and 5 ");
}

}  // namespace
