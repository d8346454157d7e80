// The escaping round trip shared by the database tests: hostile values go through the
// generated insert, select, update and delete of one dialect on a real database.
#pragma once

#include "store/persistence/tests/persistence_test_util.h"

namespace persistencetest {

inline const std::vector<std::string>& HostileValues() {
    static const std::vector<std::string> values = {
        "'", "\\", "?", "{d '2024-01-01'}", "--", ";", "Grüße, 日本語", "a'b\\", "x\\'", "'; delete from Hostile; --",
        "\\'\\\\", "%_", "?, ?", "{fn UCASE('x')}", "\\0 and \\n", "ends with backslash\\",
    };
    return values;
}

inline std::unique_ptr<RowObject> HostileRow(const std::string& key, const std::string& value, const char* day) {
    std::vector<ColumnValue> values = {ColumnValue::FromText(key), ColumnValue::FromText(value),
                                       ColumnValue::FromText(value), Value(day, HYL_SQL_DATE)};
    return std::make_unique<RowObject>(std::move(values));
}

inline std::string TextOf(const ColumnValue& value) {
    return value.isNull() ? std::string("<NULL>") : std::string(value.buffer->data(), value.length);
}

// Runs the whole round trip; every failure is reported through gtest.
inline void HostileRoundTrip(const SqlDialect* dialect, ProviderConnection* connection) {
    LoadTestDictionary();
    ODBCExecuteUpdate(connection, "drop table if exists Hostile");
    const SqlText create = dialect->genCreate("Hostile");
    ASSERT_TRUE(create);
    ASSERT_EQ(ODBCExecuteUpdate(connection, create->c_str()), 1) << *create;
    const auto rowCount = [&] { return static_cast<ODBCConnection*>(connection)->lastRowCount; };

    const auto sentinel = HostileRow("sentinel", "keep", nullptr);
    ASSERT_EQ(ODBCExecuteUpdate(connection, dialect->genInsert("Hostile", sentinel.get())->c_str()), 1);
    const std::vector<std::string>& values = HostileValues();
    const auto keyOf = [&](std::size_t i) { return "k" + std::to_string(i) + values[i]; };
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE("insert of " + values[i]);
        const SqlText insert = dialect->genInsert("Hostile", HostileRow(keyOf(i), values[i], "2024-02-29").get());
        ASSERT_TRUE(insert);
        ASSERT_EQ(ODBCExecuteUpdate(connection, insert->c_str()), 1) << *insert;
        EXPECT_EQ(rowCount(), 1);
    }
    // Select each row by its value through a generated criteria, and read it back.
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE("select of " + values[i]);
        SelectQueryPtr query = CreateSelectQuery();
        AddTable(query.get(), "Hostile", nullptr);
        QueryColumn* column = CreateColumnDescriptor(nullptr, nullptr, "VAL", nullptr, 0, HYL_SQL_CHARACTER, 0, query->pool);
        SetCriteria(query.get(), CreateCriteriaLeaf(column, values[i].data(), static_cast<std::uint32_t>(values[i].size()),
                                                    CRITERIA_EQ, query->pool));
        const SqlText select = dialect->genSelect(query.get());
        ASSERT_TRUE(select);
        auto result = ODBCExecuteQuery(connection, select->c_str());
        ASSERT_NE(result, nullptr) << *select;
        ASSERT_EQ(result->rows.size(), 1u) << *select;
        result->cursor = 0;
        ConvertedRow row = dialect->convertRow(result.get(), "Hostile");
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(TextOf(row->values[0]), keyOf(i));
        EXPECT_EQ(TextOf(row->values[1]), values[i]);
        EXPECT_EQ(TextOf(row->values[2]), values[i]);
        EXPECT_EQ(ConvertColumnValueToText(row->values[3], HYL_SQL_DATE), "2024-02-29");
    }
    // Update each row to another hostile value: exactly one row changes each time.
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE("update of " + values[i]);
        const std::string next = values[(i + 1) % values.size()] + "'";
        const SqlText update = dialect->genUpdate("Hostile", HostileRow(keyOf(i), next, nullptr).get());
        ASSERT_TRUE(update);
        ASSERT_EQ(ODBCExecuteUpdate(connection, update->c_str()), 1) << *update;
        EXPECT_EQ(rowCount(), 1) << *update;
    }
    auto all = ODBCExecuteQuery(connection, "select * from Hostile");
    ASSERT_NE(all, nullptr);
    ASSERT_EQ(all->rows.size(), values.size() + 1);
    std::size_t checked = 0;
    for (std::size_t r = 0; r < all->rows.size(); ++r) {
        all->cursor = r;
        ConvertedRow row = dialect->convertRow(all.get(), "Hostile");
        ASSERT_NE(row, nullptr);
        const std::string key = TextOf(row->values[0]);
        if (key == "sentinel") {
            EXPECT_EQ(TextOf(row->values[1]), "keep");
            continue;
        }
        for (std::size_t i = 0; i < values.size(); ++i)
            if (key == keyOf(i)) {
                EXPECT_EQ(TextOf(row->values[1]), values[(i + 1) % values.size()] + "'") << key;
                EXPECT_TRUE(row->values[3].isNull());
                ++checked;
            }
    }
    EXPECT_EQ(checked, values.size());
    // Delete each row by its hostile key: the sentinel stays.
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE("delete of " + values[i]);
        const SqlText remove = dialect->genDelete("Hostile", HostileRow(keyOf(i), "", nullptr).get());
        ASSERT_TRUE(remove);
        ASSERT_EQ(ODBCExecuteUpdate(connection, remove->c_str()), 1) << *remove;
        EXPECT_EQ(rowCount(), 1) << *remove;
    }
    auto rest = ODBCExecuteQuery(connection, "select HKEY, VAL from Hostile");
    ASSERT_NE(rest, nullptr);
    ASSERT_EQ(rest->rows.size(), 1u);
    EXPECT_EQ(CellText(*rest, 0, 0), "sentinel");
    EXPECT_EQ(CellText(*rest, 0, 1), "keep");
}

}  // namespace persistencetest
