// A loaded row's cells become the values of the table's columns exactly as the one-cell
// conversion makes them, whether a cell is taken over as it is or converted: bytes and
// store length alike, at the inline/out-of-line boundary, with a NUL inside, with a
// length that disagrees with the bytes, and for a cell two columns read.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/persistence.h"

namespace {

TableDefn Definition(const std::vector<std::pair<std::string, BYTE>>& columns) {
    TableDefn defn;
    defn.name = "Cells";
    for (const auto& [name, type] : columns) {
        auto column = std::make_unique<ColumnDefn>();
        column->name = name;
        column->type = type;
        defn.columns.push_back(std::move(column));
    }
    return defn;
}

void ExpectSameValue(const ColumnValue& got, const ColumnValue& expected, const std::string& label) {
    ASSERT_EQ(got.isNull(), expected.isNull()) << label;
    if (expected.isNull()) return;
    EXPECT_EQ(got.buffer.view(), expected.buffer.view()) << label;
    EXPECT_EQ(got.length, expected.length) << label;
}

TEST(CellConversionTest, EveryCellBecomesWhatTheOneCellConversionGives) {
    const SqlDialect* dialect = GetSqlDialect("SQLITE");
    ASSERT_NE(dialect, nullptr);
    const BYTE cellTypes[] = {HYL_SQL_CHARACTER, HYL_SQL_BLOB, HYL_SQL_NOT_SUPPORTED_TYPE, HYL_SQL_DECIMAL};
    const BYTE columnTypes[] = {HYL_SQL_CHAR, HYL_SQL_CHARACTER, HYL_SQL_TEXT, HYL_SQL_CLOB, HYL_SQL_NUMERIC,
                                HYL_SQL_BOOLEAN};
    const std::string texts[] = {"", "1", "abcdef", "abcdefg", std::string("a\0b", 3), std::string(600, 'x')};
    // The store length as given, and lengths that disagree with the bytes.
    const int lengthChanges[] = {0, -1, 3};
    for (BYTE cellType : cellTypes)
        for (BYTE columnType : columnTypes)
            for (const std::string& text : texts)
                for (int change : lengthChanges) {
                    if (text.empty() && change < 0) continue;
                    const std::string label = "cell type " + std::to_string(cellType) + ", column type " +
                                              std::to_string(columnType) + ", " + std::to_string(text.size()) +
                                              " bytes, length change " + std::to_string(change);
                    ColumnValue cell = ColumnValue::FromText(text);
                    cell.length = static_cast<std::uint32_t>(static_cast<int>(text.size()) + change);
                    const std::optional<ColumnValue> expected = ConvertCellToColumnType(cell, cellType, columnType);

                    const TableDefn defn = Definition({{"V", columnType}});
                    const std::vector<ResultColumnDescriptor> columns = {{"V", cellType}};
                    std::vector<ColumnValue> cells = {cell};
                    const std::optional<std::vector<ColumnValue>> values =
                        ConvertCellsForTable(dialect, defn, columns, cells, ResultSourcesOfColumns(defn, columns));
                    ASSERT_EQ(values.has_value(), expected.has_value()) << label;
                    if (!values) continue;
                    ASSERT_EQ(values->size(), 1u) << label;
                    ExpectSameValue((*values)[0], *expected, label);
                }
}

TEST(CellConversionTest, ACellTwoColumnsReadReachesBoth) {
    const SqlDialect* dialect = GetSqlDialect("SQLITE");
    ASSERT_NE(dialect, nullptr);
    // OTHER is not in the result: it reads the cell at its own position, the one NAME reads.
    const TableDefn defn = Definition({{"OTHER", HYL_SQL_TEXT}, {"NAME", HYL_SQL_CHAR}});
    const std::vector<ResultColumnDescriptor> columns = {{"NAME", HYL_SQL_CHARACTER}};
    const std::vector<std::size_t> sources = ResultSourcesOfColumns(defn, columns);
    ASSERT_EQ(sources, (std::vector<std::size_t>{0, 0}));
    const std::string text = "a name longer than inline";
    std::vector<ColumnValue> cells = {ColumnValue::FromText(text)};
    const std::optional<std::vector<ColumnValue>> values = ConvertCellsForTable(dialect, defn, columns, cells, sources);
    ASSERT_TRUE(values);
    ASSERT_EQ(values->size(), 2u);
    for (const ColumnValue& value : *values) {
        ASSERT_FALSE(value.isNull());
        EXPECT_EQ(value.buffer.view(), text);
        EXPECT_EQ(value.length, text.size());
    }
}

}  // namespace
