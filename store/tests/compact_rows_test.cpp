// Compact rows: 12-byte column values (short values inline, longer ones behind their
// count), 48-byte row headers and 8-byte granules in the table's storage. Every column
// type at its boundaries goes through a table and must come back byte for byte, texts
// cross the inline limit both ways by updates, and rows change under concurrent readers.
#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "store/criteria/criteria.h"
#include "store/dictionary/column_types.h"
#include "store/tests/store_fixture.h"

namespace {

using namespace storetest;

// One column per type code, after the key column ID.
const char* const kTypeNames[] = {
    "HYL_SQL_NOT_SUPPORTED_TYPE", "HYL_SQL_TINYINT", "HYL_SQL_UNSIGNED_TINYINT", "HYL_SQL_SMALLINT",
    "HYL_SQL_UNSIGNED_SMALLINT", "HYL_SQL_INT", "HYL_SQL_UNSIGNED_INT", "BIGINT", "HYL_SQL_UNSIGNED_LONG_INT",
    "HYL_SQL_FLOAT", "HYL_SQL_DOUBLE", "HYL_SQL_REAL", "HYL_SQL_DECIMAL", "HYL_SQL_NUMERIC", "HYL_SQL_CHAR",
    "CHAR", "DATE", "TIME", "DATETIME", "BOOLEAN", "BLOB", "CLOB", "TEXT"};
constexpr std::uint8_t kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

std::string ColumnName(std::uint8_t type) { return "C" + std::to_string(type); }

class CompactRowsTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        std::string xml = R"(<data-dictionary><table name="EveryType"><columns>
  <column name="ID"><data-type>HYL_SQL_INT</data-type></column>)";
        for (std::uint8_t type = 0; type < kTypeCount; ++type) {
            xml += "<column name=\"" + ColumnName(type) + "\"><data-type>" + kTypeNames[type] +
                   "</data-type><max-size>4000000</max-size></column>\n";
        }
        xml += "</columns></table></data-dictionary>";
        const auto path = dictDir_.path() / "every_type.xml";
        std::ofstream(path) << xml;
        ASSERT_TRUE(LoadDataDictFromXMLFile(path.string().c_str()));
        ASSERT_TRUE(CreateTable("EveryType"));
        ASSERT_EQ(GetTableDataByName("EveryType")->columnCount, kTypeCount + 1u);
    }

    // A row with the ID and one value in the column of the type, NULL elsewhere.
    RowObject* AddOne(std::int32_t id, std::uint8_t type, ColumnValue value) {
        std::vector<ColumnValue> values(kTypeCount + 1u);
        values[0] = Int(id);
        values[type + 1u] = std::move(value);
        return AddRow("EveryType", std::move(values));
    }

    testsupport::TempDir dictDir_;
};

// Rows of EveryType the criteria select; -1 when the select fails.
int MatchCount(const char* criteria) {
    auto result = SelectRows("EveryType", criteria);
    return result ? static_cast<int>(result->rowCount()) : -1;
}

// The value as stored must be the value as given: same bytes, same length, the zero
// byte after the bytes, whether read through GetColumnValue or the row itself.
void ExpectSameValue(const ColumnValue& given, const char* tableName, std::int32_t id, std::uint8_t type,
                     const std::string& context) {
    const std::string criteria = "ID=" + std::to_string(id);
    std::uint32_t length = 12345;
    const char* read = GetColumnValue(tableName, ColumnName(type).c_str(), criteria.c_str(), &length);
    if (given.isNull()) {
        EXPECT_EQ(read, nullptr) << context;
        return;
    }
    ASSERT_NE(read, nullptr) << context;
    EXPECT_EQ(length, given.length) << context;
    const std::size_t bytes = given.buffer.size();
    EXPECT_EQ(std::memcmp(read, given.data(), bytes), 0) << context;
    EXPECT_EQ(read[bytes], '\0') << context << ": the zero byte after the bytes";

    auto result = SelectRows(tableName, criteria.c_str());
    ASSERT_NE(GotoNextRowObject(result.get()), nullptr) << context;
    const ColumnValue* cell = GetColumnValueCellByName(ColumnName(type).c_str(), result.get());
    ASSERT_NE(cell, nullptr) << context;
    EXPECT_EQ(cell->buffer, given.buffer) << context;
    EXPECT_EQ(cell->length, given.length) << context;
    EXPECT_EQ(cell->data(), read) << context << ": the getter hands out the row's own bytes";
    EXPECT_EQ(ConvertColumnValueToText(*cell, type), ConvertColumnValueToText(given, type)) << context;
}

TEST_F(CompactRowsTest, EveryColumnTypeKeepsItsBoundaryValues) {
    CloseLog();
    struct Case {
        std::uint8_t type;
        const char* text;
    };
    const Case cases[] = {
        {HYL_SQL_TINYINT, "-128"}, {HYL_SQL_TINYINT, "127"}, {HYL_SQL_TINYINT, "0"},
        {HYL_SQL_UNSIGNED_TINYINT, "0"}, {HYL_SQL_UNSIGNED_TINYINT, "255"},
        {HYL_SQL_SMALLINT, "-32768"}, {HYL_SQL_SMALLINT, "32767"},
        {HYL_SQL_UNSIGNED_SMALLINT, "0"}, {HYL_SQL_UNSIGNED_SMALLINT, "65535"},
        {HYL_SQL_INT, "-2147483648"}, {HYL_SQL_INT, "2147483647"}, {HYL_SQL_INT, "0"},
        {HYL_SQL_UNSIGNED_INT, "0"}, {HYL_SQL_UNSIGNED_INT, "4294967295"},
        {HYL_SQL_BIGINT, "-9223372036854775808"}, {HYL_SQL_BIGINT, "9223372036854775807"},
        {HYL_SQL_UNSIGNED_LONG_INT, "0"}, {HYL_SQL_UNSIGNED_LONG_INT, "18446744073709551615"},
        {HYL_SQL_FLOAT, "3.40282347e+38"}, {HYL_SQL_FLOAT, "-1.17549435e-38"}, {HYL_SQL_FLOAT, "0"},
        {HYL_SQL_DOUBLE, "1.7976931348623157e+308"}, {HYL_SQL_DOUBLE, "-4.9406564584124654e-324"},
        {HYL_SQL_REAL, "-3.5e+38"}, {HYL_SQL_REAL, "2.5"},
        {HYL_SQL_DECIMAL, "-99999999999999999999.9999"}, {HYL_SQL_NUMERIC, "0"},
        {HYL_SQL_CHAR, ""}, {HYL_SQL_CHARACTER, "x"},
        {HYL_SQL_DATE, "1900-01-01"}, {HYL_SQL_DATE, "9999-12-31"},
        {HYL_SQL_TIME, "00:00:00"}, {HYL_SQL_TIME, "23:59:59"},
        {HYL_SQL_DATETIME, "1970-01-01 00:00:00"}, {HYL_SQL_DATETIME, "9999-12-31 23:59:59"},
        {HYL_SQL_BOOLEAN, "TRUE"}, {HYL_SQL_BOOLEAN, "FALSE"},
        {HYL_SQL_BLOB, "b"}, {HYL_SQL_CLOB, "clob text"}, {HYL_SQL_TEXT, "text"},
    };
    std::vector<ColumnValue> given;
    std::int32_t id = 0;
    for (const Case& c : cases) {
        std::uint32_t length = 0;
        given.push_back(ConvertTextToColumnValue(c.text, c.type, &length));
        ASSERT_FALSE(given.back().isNull()) << "test input of type " << int(c.type) << ": " << c.text;
        AddOne(id++, c.type, given.back());
    }
    // NULL in every column, the key too.
    for (std::uint8_t type = 0; type < kTypeCount; ++type) AddOne(1000 + type, type, ColumnValue::Null());
    for (std::size_t i = 0; i < given.size(); ++i) {
        ExpectSameValue(given[i], "EveryType", static_cast<std::int32_t>(i), cases[i].type,
                        std::string(kTypeNames[cases[i].type]) + " " + cases[i].text);
    }
    for (std::uint8_t type = 0; type < kTypeCount; ++type) {
        ExpectSameValue(ColumnValue::Null(), "EveryType", 1000 + type, type, std::string("NULL ") + kTypeNames[type]);
    }
    // Selecting on the stored values finds them: the criteria read the compact cells.
    EXPECT_EQ(MatchCount("C7=9223372036854775807"), 1);
    EXPECT_EQ(MatchCount("C2=255"), 1);
    EXPECT_EQ(MatchCount("C22='text'"), 1);
}

TEST_F(CompactRowsTest, TextsOfEveryLengthAroundTheInlineLimit) {
    CloseLog();
    const std::size_t inlineLimit = ValueBuffer::kInlineBytes;
    const std::vector<std::string> texts = {
        "",
        std::string(1, 'a'),
        std::string(inlineLimit - 1, 'b'),
        std::string(inlineLimit, 'c'),
        std::string(inlineLimit + 1, 'd'),
        std::string("\0\0\0\0\0\0\0", 7),      // zero bytes only, one past the limit
        std::string(4096 - 13 * 12 - 5, 'e'),  // the row's block just inside the pooled sizes
        std::string(4096, 'f'),                // a block beyond them
        std::string(3u << 20, 'g'),            // very long
    };
    std::int32_t id = 0;
    for (const std::uint8_t type : {std::uint8_t{HYL_SQL_TEXT}, std::uint8_t{HYL_SQL_BLOB}, std::uint8_t{HYL_SQL_CHARACTER}}) {
        for (const std::string& text : texts) {
            const ColumnValue value = ColumnValue::FromBytes(text.data(), static_cast<std::uint32_t>(text.size()));
            EXPECT_EQ(value.buffer.outOfLine(), text.size() > inlineLimit);
            RowObject* row = AddOne(id, type, value);
            ASSERT_NE(row, nullptr);
            EXPECT_TRUE(row->values.InStorage());
            ExpectSameValue(value, "EveryType", id, type, "length " + std::to_string(text.size()));
            ++id;
        }
    }
    // A length that is not the byte count (a record kept with its nominal length) stays.
    ColumnValue nominal = ColumnValue::FromText("eleven bytes");
    nominal.length = 4;
    AddOne(id, HYL_SQL_BLOB, nominal);
    ExpectSameValue(nominal, "EveryType", id, HYL_SQL_BLOB, "nominal length");
    // Pooled and large blocks alike are counted while in use and given back in full.
    const TableData* table = GetTableDataByName("EveryType");
    EXPECT_GT(table->rowStorage.BytesInUse(), std::size_t{3} * (3u << 20));
    ASSERT_TRUE(DeleteAllTableRowObjects("EveryType"));
    EXPECT_EQ(table->rowStorage.BytesInUse(), 0u);
    EXPECT_EQ(table->rowStorage.ChunkCount(), 0u);
}

TEST_F(CompactRowsTest, UpdatesGrowPastTheInlineLimitAndShrinkBack) {
    CloseLog();
    const std::size_t inlineLimit = ValueBuffer::kInlineBytes;
    RowObject* row = AddOne(1, HYL_SQL_TEXT, ColumnValue::FromText("short"));
    ASSERT_NE(row, nullptr);
    const std::string column = ColumnName(HYL_SQL_TEXT);
    // Each step: the new value, and whether it is kept inside the cell.
    const std::vector<std::string> steps = {
        std::string(inlineLimit + 1, 'x'), std::string(inlineLimit, 'y'), std::string(1u << 20, 'z'),
        "", std::string(inlineLimit + 1, 'w'), "s"};
    for (const std::string& next : steps) {
        ASSERT_TRUE(UpdateRowObject("EveryType", row, column.c_str(), next.data(), static_cast<std::uint32_t>(next.size())));
        const ColumnValue& cell = row->values[HYL_SQL_TEXT + 1u];
        EXPECT_EQ(cell.buffer.view(), next);
        EXPECT_EQ(cell.length, next.size());
        EXPECT_EQ(cell.buffer.outOfLine(), next.size() > inlineLimit) << next.size();
        EXPECT_TRUE(row->values.InStorage()) << "the row keeps its block";
        ExpectSameValue(ColumnValue::FromBytes(next.data(), static_cast<std::uint32_t>(next.size())), "EveryType", 1,
                        HYL_SQL_TEXT, "after update to " + std::to_string(next.size()));
        // The neighbour columns are untouched.
        EXPECT_EQ(IntOf(row->values[0]), 1);
        EXPECT_TRUE(row->values[HYL_SQL_CLOB + 1u].isNull());
    }
    // To NULL and back, and a fixed-width column grown to a wider record.
    ASSERT_TRUE(UpdateRowObject("EveryType", row, column.c_str(), nullptr, 0));
    EXPECT_TRUE(row->values[HYL_SQL_TEXT + 1u].isNull());
    const std::int64_t wide = std::numeric_limits<std::int64_t>::min();
    ASSERT_TRUE(UpdateRowObject("EveryType", row, ColumnName(HYL_SQL_INT).c_str(), reinterpret_cast<const char*>(&wide), 8));
    EXPECT_EQ(row->values[HYL_SQL_INT + 1u].As<std::int64_t>(), wide);
    // The same row pointer is still the table's row, and deleting it gives its block back.
    auto all = SelectRows("EveryType", nullptr);
    ASSERT_EQ(all->rowCount(), 1u);
    EXPECT_EQ(all->entries[0], row);
    ASSERT_TRUE(DeleteRowObject("EveryType", row));
    EXPECT_EQ(GetTableDataByName("EveryType")->rowStorage.ChunkCount(), 0u);
}

TEST(CompactValues, CopiesMovesAndBorrowsKeepBytesAndTheirZeroByte) {
    const std::size_t inlineLimit = ValueBuffer::kInlineBytes;
    for (std::size_t count = 0; count <= inlineLimit + 2; ++count) {
        const std::string text(count, static_cast<char>('a' + count));
        ValueBuffer original;
        original.emplace(text);
        ValueBuffer copy = original;
        ValueBuffer moved = std::move(original);
        EXPECT_FALSE(original.has_value()) << count;
        for (const ValueBuffer* buffer : {&copy, &moved}) {
            EXPECT_TRUE(buffer->has_value()) << count;
            EXPECT_EQ(buffer->view(), text) << count;
            EXPECT_EQ(buffer->data()[count], '\0') << count;
            EXPECT_EQ(buffer->outOfLine(), count > inlineLimit) << count;
        }
        EXPECT_NE(copy.data(), moved.data()) << count;
        moved.reset();
        EXPECT_FALSE(moved.has_value());
        EXPECT_EQ(copy.view(), text) << "a copy is independent: " << count;
    }
    // Empty is a value, not NULL, and compares unequal to NULL.
    ValueBuffer empty;
    empty.emplace("", 0);
    EXPECT_TRUE(empty.has_value());
    EXPECT_FALSE(empty == ValueBuffer());
    // A value too long for the count is refused before anything is read or allocated.
    ValueBuffer refused;
    EXPECT_THROW(refused.emplace("x", ValueBuffer::kMaxBytes + 1), std::length_error);
    EXPECT_FALSE(refused.has_value());
    static_assert(sizeof(ColumnValue) == 12 &&
                  (sizeof(void*) != 8 || sizeof(RowObject) == 48));  // 64-bit layout
}

TEST_F(CompactRowsTest, RowsWiderThanTheColumnLimitAreRefusedNotCorrupted) {
    CloseLog();
    std::vector<ColumnValue> tooWide(RowValueArray::kMaxColumns + 1);
    EXPECT_EQ(CreateNewRowObject(std::move(tooWide)), nullptr);
    std::vector<ColumnValue> widest(RowValueArray::kMaxColumns);
    widest.back() = Text("last of the widest row");
    auto row = CreateNewRowObject(std::move(widest));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->values.size(), RowValueArray::kMaxColumns);
    EXPECT_EQ(row->values[RowValueArray::kMaxColumns - 1].buffer.view(), "last of the widest row");
    EXPECT_FALSE(AddNewRow("EveryType", std::move(row))) << "the width is not the table's";
}

TEST_F(CompactRowsTest, ReadersSelectWhileAWriterMovesATextAcrossTheInlineLimit) {
    CloseLog();
    const std::string shortText = "tiny";
    const std::string longText = "a text well beyond the inline bytes of a cell";
    for (std::int32_t id = 0; id < 64; ++id) AddOne(id, HYL_SQL_TEXT, ColumnValue::FromText(shortText));
    RowObject* changing = AddOne(64, HYL_SQL_TEXT, ColumnValue::FromText(shortText));
    const std::string column = ColumnName(HYL_SQL_TEXT);
    const std::string longCriteria = column + "='" + longText + "'";
    const std::string shortCriteria = column + "='" + shortText + "'";
    std::atomic<bool> writing{true};
    std::atomic<int> wrongCounts{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (writing.load()) {
                auto longRows = SelectRows("EveryType", longCriteria.c_str());
                auto shortRows = SelectRows("EveryType", shortCriteria.c_str());
                if (!longRows || !shortRows || longRows->rowCount() > 1 || shortRows->rowCount() < 64 ||
                    shortRows->rowCount() > 65 || (longRows->rowCount() == 1 && longRows->entries[0] != changing)) {
                    ++wrongCounts;
                }
            }
        });
    }
    for (int i = 0; i < 400; ++i) {
        const std::string& next = (i % 2 == 0) ? longText : shortText;
        ASSERT_TRUE(UpdateRowObject("EveryType", changing, column.c_str(), next.data(), static_cast<std::uint32_t>(next.size())));
    }
    writing = false;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrongCounts.load(), 0);
    EXPECT_EQ(SelectRows("EveryType", shortCriteria.c_str())->rowCount(), 65u);
}

// The bench's row shape (two integers, a 22-byte name, a short tag and a 42-byte note)
// takes at most 184 bytes a row: 48 of header, 60 of cells, the two long texts with
// their counts and zero bytes, rounded to the storage's granule. Rows kept 20-byte
// values and 80-byte headers before: 256 bytes.
TEST_F(CompactRowsTest, RowsOfTheBenchShapeStayCompact) {
    CloseLog();
    const auto path = dictDir_.path() / "shape.xml";
    std::ofstream(path) << R"(<data-dictionary><table name="Shape"><columns>
  <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
  <column name="NAME"><data-type>CHAR</data-type><max-size>32</max-size></column>
  <column name="VALUE"><data-type>HYL_SQL_INT</data-type></column>
  <column name="TAG"><data-type>CHAR</data-type><max-size>8</max-size></column>
  <column name="NOTE"><data-type>CHAR</data-type><max-size>64</max-size></column>
</columns></table></data-dictionary>)";
    ASSERT_TRUE(LoadDataDictFromXMLFile(path.string().c_str()));
    ASSERT_TRUE(CreateTable("Shape"));
    constexpr int kRows = 20000;
    for (int i = 0; i < kRows; ++i) {
        const std::string name = "customer-name-" + std::string(8 - std::to_string(i).size(), '0') + std::to_string(i);
        const std::string tag = "t" + std::to_string(i % 50);
        const std::string note = "note text for row " + std::to_string(100000 + i) + " with some padding";
        ASSERT_NE(AddRow("Shape", {Int(i), Text(name.c_str()), Int(i % 1000), Text(tag.c_str()), Text(note.c_str())}), nullptr);
    }
    const TableData* table = GetTableDataByName("Shape");
    const double perRow = static_cast<double>(table->rowStorage.BytesInUse() + kRows * sizeof(RowObject)) / kRows;
    EXPECT_LE(perRow, 184.0);
    // Deleting every row gives every byte back.
    ASSERT_TRUE(DeleteAllTableRowObjects("Shape"));
    EXPECT_EQ(table->rowStorage.BytesInUse(), 0u);
}

}  // namespace
