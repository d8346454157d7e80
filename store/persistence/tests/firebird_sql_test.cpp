// Every kind of FIREBIRD statement the generators write, run by the embedded Firebird 3
// engine through isql-fb. There is no Firebird ODBC driver on this platform, so the
// provider itself is not part of this check: only the SQL text is.
#include <sstream>

#include "store/persistence/tests/persistence_test_util.h"
#include "store/persistence/tests/round_trip.h"
#include "tests/support/firebird_check.h"

namespace {

using namespace persistencetest;
using testsupport::FirebirdDatabase;

class FirebirdSqlTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadTestDictionary();
        if (!FirebirdDatabase::Available()) GTEST_SKIP() << "isql-fb is not installed (scripts/bootstrap installs it)";
        database_ = std::make_unique<FirebirdDatabase>();
        ASSERT_TRUE(database_->created());
    }
    // Runs the statements; each generated text is ended with ";" where it has none.
    void Accept(const std::vector<SqlText>& statements) {
        std::string script;
        for (const SqlText& statement : statements) {
            ASSERT_TRUE(statement) << "a generator refused a statement";
            script += *statement;
            if (statement->find(';') == std::string::npos || statement->rfind(";\n\n") != statement->size() - 3)
                script += ";\n";
        }
        const FirebirdDatabase::Result result = database_->Run(script);
        EXPECT_EQ(result.exitCode, 0) << result.output << "\nscript:\n" << script;
    }
    // The values of one column in list mode, in row order.
    std::vector<std::string> Column(const std::string& select, const std::string& column) {
        const FirebirdDatabase::Result result = database_->Run("SET LIST ON;\n" + select + ";\n");
        EXPECT_EQ(result.exitCode, 0) << result.output;
        std::vector<std::string> values;
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(column + " ", 0) == 0 && line.size() >= 32) values.push_back(line.substr(32));
        return values;
    }

    const SqlDialect* firebird_ = GetSqlDialect("FIREBIRD");
    std::unique_ptr<FirebirdDatabase> database_;
};

TEST_F(FirebirdSqlTest, TheEngineAcceptsEveryGeneratedStatement) {
    const auto customer = Row("Customer", {"7", "Ann"});
    const auto order = Row("Orders", {"1", "Bob", "2024-03-05", "TRUE", "5000000000", "a note", "7"});
    const auto second = Row("Orders", {"2", "O'Brien", nullptr, "FALSE", "0", nullptr, "7"});
    const auto kinds = Row("Kinds", {"1", "-7", "200", "-300", "60000", "4000000000", "-5000000000", "9000000000",
                                     "0.1", "0.1", "2.5", "12.345", "-7.5", "fixed", "10:11:12", "2024-03-05 10:11:12",
                                     "TRUE", "AB'", "clob'", "text"});
    const auto noKey = Row("NoKey", {"1", "x"});
    Accept({firebird_->genCreate("Customer"), firebird_->genCreate("Orders"), firebird_->genCreate("Kinds"),
            firebird_->genCreate("Hostile"), firebird_->genCreate("NoKey"), firebird_->genInsert("Customer", customer.get()),
            firebird_->genInsert("Orders", order.get()), firebird_->genInsert("Orders", second.get()),
            firebird_->genInsert("Kinds", kinds.get()), firebird_->genInsert("NoKey", noKey.get())});

    // Selects of every shape: paging, joins without "as", aggregates with having, OR under AND.
    SelectQueryPtr page = CreateSelectQuery();
    AddSelectColumn(page.get(), CreateColumnDescriptor("Orders", "o", "ID", nullptr, 0, HYL_SQL_INT, 0, page->pool));
    AddTable(page.get(), "Orders", "o");
    SetOrderBy(page.get(), {CreateColumnDescriptor("Orders", "o", "NAME", nullptr, 0, HYL_SQL_CHARACTER, 0, page->pool)}, 0);
    SetPaging(page.get(), 1, 1);

    SelectQueryPtr join = CreateSelectQuery();
    AddSelectColumn(join.get(), CreateColumnDescriptor("Orders", "o", "ID", nullptr, 0, HYL_SQL_INT, 0, join->pool));
    AddSelectColumn(join.get(), CreateColumnDescriptor("Customer", "c", "NAME", "CNAME", 0, HYL_SQL_CHARACTER, 0, join->pool));
    AddJoinOnColumns(join.get(), "Orders", "o", "Customer", "c", LEFT_JOIN, {});
    join->joins.back()->baseColumns = {CreateColumnDescriptor(nullptr, "o", "CUSTOMER_ID", nullptr, 0, HYL_SQL_INT, 0, join->pool)};
    join->joins.back()->referenceColumns = {CreateColumnDescriptor(nullptr, "c", "ID", nullptr, 0, HYL_SQL_INT, 0, join->pool)};
    const BYTE yes = 1;
    const char* name = "O'Brien";
    SetCriteria(join.get(),
                CreateOrNode(CreateCriteriaLeaf(CreateColumnDescriptor(nullptr, "o", "NAME", nullptr, 0, HYL_SQL_CHARACTER, 0,
                                                                       join->pool),
                                                name, 7, CRITERIA_EQ, join->pool),
                             CreateCriteriaLeaf(CreateColumnDescriptor(nullptr, "o", "ACTIVE", nullptr, 0, HYL_SQL_BOOLEAN, 0,
                                                                       join->pool),
                                                &yes, 1, CRITERIA_EQ, join->pool),
                             join->pool));

    SelectQueryPtr grouped = CreateSelectQuery();
    AddSelectColumn(grouped.get(),
                    CreateColumnDescriptor("Orders", nullptr, "CUSTOMER_ID", nullptr, 0, HYL_SQL_INT, 0, grouped->pool));
    AddSelectColumn(grouped.get(),
                    CreateSelectColumnDescriptor(nullptr, nullptr, nullptr, nullptr, 0, 0, AGGREGATE_COUNT, grouped->pool));
    AddTable(grouped.get(), "Orders", nullptr);
    const std::int32_t one = 1;
    SetGroupBy(grouped.get(),
               {CreateColumnDescriptor("Orders", nullptr, "CUSTOMER_ID", nullptr, 0, HYL_SQL_INT, 0, grouped->pool)},
               CreateCriteriaLeaf(CreateColumnDescriptor("Orders", nullptr, "ID", nullptr, 0, HYL_SQL_INT, AGGREGATE_COUNT,
                                                         grouped->pool),
                                  &one, 4, CRITERIA_GE, grouped->pool));

    SelectQueryPtr everything = CreateSelectQuery();
    AddTable(everything.get(), "Kinds", "k");
    SetPaging(everything.get(), 5, 0);

    const auto changed = Row("Orders", {"1", "Bob's", "2024-03-06", "FALSE", "-1", "changed", "7"});
    const auto kindsChanged = Row("Kinds", {"1", "7", "2", "3", "4", "5", "6", "8", "1.5", "2.5", "3.5", "4.5", "5.5",
                                            "f'x", "01:02:03", "2025-01-02 03:04:05", "FALSE", "", "", ""});
    Accept({firebird_->genSelect(page.get()), firebird_->genSelect(join.get()), firebird_->genSelect(grouped.get()),
            firebird_->genSelect(everything.get()), firebird_->genUpdate("Orders", changed.get()),
            firebird_->genUpdate("Kinds", kindsChanged.get()), firebird_->genDelete("Orders", second.get())});

    EXPECT_EQ(Column("select NAME from Orders", "NAME"), std::vector<std::string>{"Bob's"});
    EXPECT_EQ(Column("select ACTIVE from Orders", "ACTIVE"), std::vector<std::string>{"0"});
    EXPECT_EQ(Column("select AMOUNT from Orders", "AMOUNT"), std::vector<std::string>{"-1"});
    EXPECT_EQ(Column("select FC from Kinds", "FC"), std::vector<std::string>{"f'x"});
    EXPECT_EQ(Column("select BI from Kinds", "BI"), std::vector<std::string>{"6"});
}

TEST_F(FirebirdSqlTest, HostileValuesComeBackUnchanged) {
    std::vector<SqlText> statements = {firebird_->genCreate("Hostile")};
    const std::vector<std::string>& values = HostileValues();
    for (std::size_t i = 0; i < values.size(); ++i)
        statements.push_back(
            firebird_->genInsert("Hostile", HostileRow("k" + std::to_string(100 + i), values[i], "2024-02-29").get()));
    Accept(statements);
    std::vector<std::string> expected;
    for (const std::string& value : values) expected.push_back(value);
    EXPECT_EQ(Column("select VAL from Hostile order by HKEY", "VAL"), expected);

    // Each row is found by a generated criteria on its value and deleted by its key.
    for (std::size_t i = 0; i < values.size(); ++i) {
        SelectQueryPtr query = CreateSelectQuery();
        AddSelectColumn(query.get(), CreateColumnDescriptor(nullptr, nullptr, "HKEY", nullptr, 0, HYL_SQL_CHARACTER, 0, query->pool));
        AddTable(query.get(), "Hostile", nullptr);
        SetCriteria(query.get(),
                    CreateCriteriaLeaf(CreateColumnDescriptor(nullptr, nullptr, "VAL", nullptr, 0, HYL_SQL_CHARACTER, 0, query->pool),
                                       values[i].data(), static_cast<std::uint32_t>(values[i].size()), CRITERIA_EQ, query->pool));
        const SqlText select = firebird_->genSelect(query.get());
        ASSERT_TRUE(select);
        EXPECT_EQ(Column(*select, "HKEY"), std::vector<std::string>{"k" + std::to_string(100 + i)}) << *select;
    }
    std::vector<SqlText> deletes;
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        deletes.push_back(firebird_->genDelete("Hostile", HostileRow("k" + std::to_string(100 + i), "", nullptr).get()));
    Accept(deletes);
    EXPECT_EQ(Column("select VAL from Hostile", "VAL"), std::vector<std::string>{values.back()});
}

}  // namespace
