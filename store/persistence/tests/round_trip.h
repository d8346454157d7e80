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

namespace persistencetest {

// A row with a value of every column type goes through the dialect's create, insert and
// select and comes back with the same values.
inline void EveryTypeRoundTrip(const SqlDialect* dialect, ProviderConnection* connection) {
    LoadTestDictionary();
    ODBCExecuteUpdate(connection, "drop table if exists Kinds");
    const SqlText create = dialect->genCreate("Kinds");
    ASSERT_TRUE(create);
    ASSERT_EQ(ODBCExecuteUpdate(connection, create->c_str()), 1) << *create;
    const std::vector<const char*> texts = {"1",   "-7",       "200",   "-300",     "60000",   "4000000000",
                                            "-5000000000", "9000000000000000000", "0.1", "0.1", "2.5", "12.345",
                                            "-7.5", "fixed", "10:11:12", "2024-03-05 10:11:12", "TRUE", nullptr,
                                            "clob'", "text\\"};
    auto row = Row("Kinds", texts);
    row->values[17] = Bytes(std::string("\x00\xFF'\\", 4));
    const SqlText insert = dialect->genInsert("Kinds", row.get());
    ASSERT_TRUE(insert);
    ASSERT_EQ(ODBCExecuteUpdate(connection, insert->c_str()), 1) << *insert;
    auto result = ODBCExecuteQuery(connection, "select * from Kinds");
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->rows.size(), 1u);
    result->cursor = 0;
    ConvertedRow back = dialect->convertRow(result.get(), "Kinds");
    ASSERT_NE(back, nullptr);
    const TableDefn* defn = GetTableDefn("Kinds");
    for (std::size_t i = 0; i < defn->columns.size(); ++i) {
        const BYTE type = defn->columns[i]->type;
        SCOPED_TRACE(defn->columns[i]->name);
        if (type == HYL_SQL_DECIMAL || type == HYL_SQL_NUMERIC) {
            // Decimals come back with the column's scale: compare them as numbers.
            EXPECT_DOUBLE_EQ(std::stod(TextOf(back->values[i])), std::stod(texts[i]));
        } else if (type == HYL_SQL_BLOB || type == HYL_SQL_CLOB || type == HYL_SQL_TEXT || type == HYL_SQL_CHAR) {
            EXPECT_EQ(TextOf(back->values[i]), TextOf(row->values[i]));
        } else {
            EXPECT_EQ(ConvertColumnValueToText(back->values[i], type), ConvertColumnValueToText(row->values[i], type));
        }
    }
    EXPECT_EQ(back->values[9].As<double>(), 0.1);
    EXPECT_EQ(back->values[7].As<std::uint64_t>(), 9000000000000000000ULL);
}

}  // namespace persistencetest
