// Criteria evaluation on every column type, resolution of names, NULL values, and the
// conversions between text and column values.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/column_types.h"

namespace {

ColumnValue Value(const char* text, std::uint8_t type) {
    std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
    return ConvertTextToColumnValue(text, type, &length);
}

// Evaluates the criteria on a one-column row whose column "c" has the given type.
bool Matches(const char* criteria, std::uint8_t type, const ColumnValue& value) {
    CriteriaTree tree = ParseCriteria(criteria);
    EXPECT_TRUE(tree) << criteria;
    const CriteriaColumn columns[] = {{"C", type}};
    ResolveCriteria(columns, tree.get());
    const ColumnValue row[] = {value};
    return EvaluateCriteria(tree.get(), row);
}

struct EvalCase {
    std::uint8_t type;
    const char* rowText;
    const char* criteria;
    bool expected;
};

TEST(CriteriaEvaluate, ComparisonOnEveryTypeCode) {
    const EvalCase cases[] = {
        // signed 32-bit
        {HYL_SQL_INT, "5", "c>=5", true},
        {HYL_SQL_INT, "6", "c>=5", true},
        {HYL_SQL_INT, "4", "c>=5", false},
        {HYL_SQL_INT, "-1", "c<5", true},
        {HYL_SQL_TINYINT, "7", "c=7", true},
        {HYL_SQL_SMALLINT, "7", "c!=7", false},
        {HYL_SQL_INT, "5", "c='5'", false},   // a quoted literal converts to 0
        {HYL_SQL_INT, "0", "c='5'", true},
        {HYL_SQL_INT, "3", "5<c", true},      // operator kept as written: c < 5
        // unsigned 32-bit
        {HYL_SQL_UNSIGNED_INT, "4294967295", "c>=5", true},
        {HYL_SQL_UNSIGNED_TINYINT, "4294967295", "c>4294967294", true},
        {HYL_SQL_UNSIGNED_SMALLINT, "3", "c<=3", true},
        {HYL_SQL_INT, "-1", "c>=5", false},   // the same bits, signed
        // 64-bit
        {HYL_SQL_BIGINT, "9000000000", "c>8999999999", true},
        {HYL_SQL_BIGINT, "-9000000000", "c<0", true},
        {HYL_SQL_UNSIGNED_LONG_INT, "5", "c=5", false},
        // floating point: only type 9 compares
        {HYL_SQL_FLOAT, "1.5", "c=1.5", true},
        {HYL_SQL_FLOAT, "1.5", "c<2", true},
        {HYL_SQL_FLOAT, "1.5", "c>1.75", false},
        {HYL_SQL_DOUBLE, "1.5", "c=1.5", false},
        {HYL_SQL_REAL, "1.5", "c=1.5", false},
        // texts: byte-wise, case-sensitive, quotes removed from the literal
        {HYL_SQL_CHARACTER, "RESOURCE_ID", "c='RESOURCE_ID'", true},
        {HYL_SQL_CHARACTER, "abc", "c='Abc'", false},
        {HYL_SQL_CHAR, "abc", "c>'abb'", true},
        {HYL_SQL_TEXT, "abc", "c!='abc'", false},
        {HYL_SQL_TEXT, "", "c=''", true},
        {HYL_SQL_TEXT, "\xc3\xa9", "c>'z'", true},  // bytes compare unsigned
        {HYL_SQL_CHARACTER, "12", "c=12", false},   // "12" without its ends is ""
        {HYL_SQL_CHARACTER, "", "c=1", true},       // one character leaves nothing
        // never comparable
        {HYL_SQL_DECIMAL, "1.5", "c=1.5", false},
        {HYL_SQL_NUMERIC, "1", "c=1", false},
        {HYL_SQL_DATE, "2024-03-05", "c='2024-03-05'", false},
        {HYL_SQL_TIME, "10:20:30", "c='10:20:30'", false},
        {HYL_SQL_DATETIME, "2024-03-05 10:20:30", "c='2024-03-05 10:20:30'", false},
        {HYL_SQL_BOOLEAN, "TRUE", "c='TRUE'", false},
        {HYL_SQL_BLOB, "ab", "c='ab'", false},
        {HYL_SQL_CLOB, "ab", "c='ab'", false},
        {HYL_SQL_NOT_SUPPORTED_TYPE, "ab", "c='ab'", false},
    };
    for (const EvalCase& c : cases) {
        SCOPED_TRACE(std::string(c.criteria) + " on type " + std::to_string(c.type) + " value " + c.rowText);
        const ColumnValue value = Value(c.rowText, c.type);
        ASSERT_FALSE(value.isNull());
        EXPECT_EQ(Matches(c.criteria, c.type, value), c.expected);
    }
}

TEST(CriteriaEvaluate, BooleanLiteralWithoutQuotesDoesNotParse) {
    // TRUE is an identifier, so flag=TRUE compares two identifiers.
    EXPECT_FALSE(ParseCriteria("flag=TRUE"));
}

TEST(CriteriaEvaluate, NullValuesNeverMatch) {
    for (const char* criteria : {"c=5", "c!=5", "c<5", "c>=0"}) {
        for (std::uint8_t type : {HYL_SQL_INT, HYL_SQL_UNSIGNED_INT, HYL_SQL_BIGINT, HYL_SQL_FLOAT}) {
            EXPECT_FALSE(Matches(criteria, type, ColumnValue::Null())) << criteria << " type " << int(type);
        }
    }
    EXPECT_FALSE(Matches("c!='x'", HYL_SQL_TEXT, ColumnValue::Null()));
    // A value too short for its type is not read past its end.
    EXPECT_FALSE(Matches("c=0", HYL_SQL_BIGINT, ColumnValue::FromBytes("\0\0", 2)));
    EXPECT_FALSE(Matches("c=0", HYL_SQL_INT, ColumnValue::FromBytes("", 0)));
}

TEST(CriteriaEvaluate, ResolutionAndCombinations) {
    CriteriaTree tree = ParseCriteria("id>=5 and (NAME='x' or Missing=1)");
    ASSERT_TRUE(tree);
    const CriteriaColumn columns[] = {{"Other", HYL_SQL_INT}, {"ID", HYL_SQL_INT}, {"name", HYL_SQL_TEXT}};
    ResolveCriteria(columns, tree.get());
    EXPECT_EQ(tree->left->columnPosition, 1u);
    EXPECT_EQ(tree->left->columnType, HYL_SQL_INT);
    EXPECT_EQ(tree->right->left->columnPosition, 2u);
    EXPECT_EQ(tree->right->left->columnType, HYL_SQL_TEXT);
    EXPECT_EQ(tree->right->right->columnPosition, 0u);  // unknown column stays unresolved
    EXPECT_EQ(tree->right->right->columnType, 0);

    struct RowCase {
        const char* id;
        const char* name;
        bool expected;
    };
    const RowCase rows[] = {{"5", "x", true}, {"4", "x", false}, {"9", "y", false}, {"9", "X", false}};
    for (const RowCase& r : rows) {
        const ColumnValue row[] = {Value("1", HYL_SQL_INT), Value(r.id, HYL_SQL_INT), Value(r.name, HYL_SQL_TEXT)};
        EXPECT_EQ(EvaluateCriteria(tree.get(), row), r.expected) << r.id << " " << r.name;
    }

    // A null tree selects everything; a row shorter than the resolved position does not match.
    const ColumnValue shortRow[] = {Value("1", HYL_SQL_INT)};
    EXPECT_TRUE(EvaluateCriteria(nullptr, shortRow));
    EXPECT_FALSE(EvaluateCriteria(tree.get(), shortRow));

    // Columns that match nothing never match, whatever the operator.
    CriteriaTree unknown = ParseCriteria("nosuch!=1 or nosuch=1");
    ResolveCriteria(columns, unknown.get());
    const ColumnValue row[] = {Value("1", HYL_SQL_INT), Value("1", HYL_SQL_INT), Value("1", HYL_SQL_TEXT)};
    EXPECT_FALSE(EvaluateCriteria(unknown.get(), row));
}

TEST(CriteriaEvaluate, InnerNodeWithUnknownOperatorIsFalse) {
    auto node = std::make_unique<CriteriaNode>();
    node->op = CRITERIA_LIKE;
    const ColumnValue row[] = {Value("1", HYL_SQL_INT)};
    EXPECT_FALSE(EvaluateCriteria(node.get(), row));
    node->op = CRITERIA_AND;  // AND of two missing children: both true
    EXPECT_TRUE(EvaluateCriteria(node.get(), row));
}

template <typename T>
T Read(const ColumnValue& value) {
    EXPECT_GE(value.buffer->size(), sizeof(T));
    return value.As<T>().value_or(T{});
}

TEST(CriteriaConvert, TextToColumnValue) {
    struct IntCase {
        const char* text;
        std::uint8_t type;
        std::int64_t expected;
        std::uint32_t length;
    };
    const IntCase ints[] = {
        {"42", HYL_SQL_INT, 42, 4},          {"-42", HYL_SQL_SMALLINT, -42, 4},
        {"+7", HYL_SQL_TINYINT, 7, 4},        {"4x", HYL_SQL_INT, 0, 4},
        {"", HYL_SQL_INT, 0, 4},             {" 4", HYL_SQL_INT, 0, 4},
        {"-", HYL_SQL_INT, 0, 4},            {"'5'", HYL_SQL_INT, 0, 4},
        {"1e5", HYL_SQL_INT, 0, 4},          {"-9000000000", HYL_SQL_BIGINT, -9000000000LL, 8},
        {"99999999999999999999999", HYL_SQL_BIGINT, 200376420520689663LL, 8},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.text);
        std::uint32_t length = 0;
        const ColumnValue value = ConvertTextToColumnValue(c.text, c.type, &length);
        ASSERT_FALSE(value.isNull());
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(value.length, c.length);
        if (c.length == 4) EXPECT_EQ(Read<std::int32_t>(value), c.expected);
        else EXPECT_EQ(Read<std::int64_t>(value), c.expected);
    }
    std::uint32_t length = 0;
    EXPECT_EQ(Read<std::uint32_t>(ConvertTextToColumnValue("4294967295", HYL_SQL_UNSIGNED_INT, &length)),
              4294967295u);
    EXPECT_EQ(Read<std::uint64_t>(ConvertTextToColumnValue("18446744073709551615", HYL_SQL_UNSIGNED_LONG_INT, &length)),
              std::numeric_limits<std::uint64_t>::max());

    struct DecimalCase {
        const char* text;
        double expected;
    };
    const DecimalCase decimals[] = {{"1.25", 1.25}, {"-0.5", -0.5}, {"+3", 3}, {"7.", 7},
                                    {"1e5", 0},     {"1.2.3", 0},   {"1,5", 0}, {"", 0}};
    for (const DecimalCase& c : decimals) {
        SCOPED_TRACE(c.text);
        EXPECT_DOUBLE_EQ(Read<double>(ConvertTextToColumnValue(c.text, HYL_SQL_DOUBLE, &length)), c.expected);
        EXPECT_EQ(length, 8u);
        EXPECT_FLOAT_EQ(Read<float>(ConvertTextToColumnValue(c.text, HYL_SQL_FLOAT, &length)),
                        static_cast<float>(c.expected));
        EXPECT_EQ(length, 4u);
        EXPECT_FLOAT_EQ(Read<float>(ConvertTextToColumnValue(c.text, HYL_SQL_REAL, &length)),
                        static_cast<float>(c.expected));
    }

    // Texts take their own length; byte copies take the caller's.
    ColumnValue text = ConvertTextToColumnValue("abc", HYL_SQL_TEXT, &length);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(*text.buffer, "abc");
    length = 2;
    ColumnValue bytes = ConvertTextToColumnValue("abc", HYL_SQL_BLOB, &length);
    EXPECT_EQ(*bytes.buffer, "ab");
    EXPECT_EQ(bytes.length, 2u);
    EXPECT_EQ(bytes.data()[2], '\0');  // the zero byte after every value
    ColumnValue wholeText = ConvertTextToColumnValue("abc", HYL_SQL_DECIMAL, nullptr);
    EXPECT_EQ(*wholeText.buffer, "abc");

    // Booleans: TRUE and FALSE in any case, nothing else.
    EXPECT_EQ(Read<std::uint8_t>(ConvertTextToColumnValue("true", HYL_SQL_BOOLEAN, &length)), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(Read<std::uint8_t>(ConvertTextToColumnValue("FaLsE", HYL_SQL_BOOLEAN, &length)), 0);
    EXPECT_TRUE(ConvertTextToColumnValue("yes", HYL_SQL_BOOLEAN, &length).isNull());
    EXPECT_TRUE(ConvertTextToColumnValue("1", HYL_SQL_BOOLEAN, &length).isNull());

    EXPECT_TRUE(ConvertTextToColumnValue(nullptr, HYL_SQL_INT, &length).isNull());
    EXPECT_TRUE(ConvertTextToColumnValue("1", 23, &length).isNull());
    EXPECT_TRUE(ConvertTextToColumnValue("1", 255, &length).isNull());
}

TEST(CriteriaConvert, DateTimesRoundTrip) {
    struct DateCase {
        const char* text;
        std::uint8_t type;
        const char* expected;  // nullptr: no value
    };
    const DateCase cases[] = {
        {"2024-03-05", HYL_SQL_DATE, "2024-03-05"},
        {"2024-03-05 10:20:30", HYL_SQL_DATETIME, "2024-03-05 10:20:30"},
        {"2024-03-05", HYL_SQL_DATETIME, "2024-03-05 00:00:00"},
        {"7:05:09", HYL_SQL_TIME, "07:05:09"},
        {"20240305", HYL_SQL_DATE, nullptr},
        {"", HYL_SQL_DATETIME, nullptr},
    };
    for (const DateCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::uint32_t length = 0;
        const ColumnValue value = ConvertTextToColumnValue(c.text, c.type, &length);
        if (!c.expected) {
            EXPECT_TRUE(value.isNull());
            continue;
        }
        ASSERT_FALSE(value.isNull());
        EXPECT_EQ(length, HYL_DATETIME_LENGTH);
        EXPECT_EQ(ConvertColumnValueToText(value, c.type), c.expected);
    }
    // Plain date and time records, as database reads store them.
    const HylDate date{2024, 3, 5};
    const HylTime time{23, 59, 1};
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromObject(date, HYL_DATE_LENGTH), HYL_SQL_DATE), "2024-03-05");
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromObject(time, HYL_TIME_LENGTH), HYL_SQL_TIME), "23:59:01");
}

TEST(CriteriaConvert, ColumnValueToText) {
    struct TextCase {
        const char* text;
        std::uint8_t type;
        const char* expected;
    };
    const TextCase cases[] = {
        {"-5", HYL_SQL_INT, "-5"},
        {"-1", HYL_SQL_UNSIGNED_INT, "4294967295"},
        {"-9000000000", HYL_SQL_BIGINT, "-9000000000"},
        {"18446744073709551615", HYL_SQL_UNSIGNED_LONG_INT, "18446744073709551615"},
        {"1.5", HYL_SQL_FLOAT, "1.500000"},
        {"2.25", HYL_SQL_REAL, "2.250000"},
        {"-0.125", HYL_SQL_DOUBLE, "-0.125000"},
        {"12.50", HYL_SQL_DECIMAL, "12.50"},
        {"some text", HYL_SQL_TEXT, "some text"},
        {"TRUE", HYL_SQL_BOOLEAN, "'t'"},
        {"false", HYL_SQL_BOOLEAN, "'f'"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ConvertColumnValueToText(Value(c.text, c.type), c.type), c.expected);
    }
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::Null(), HYL_SQL_INT), "NULL");
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::Null(), HYL_SQL_NOT_SUPPORTED_TYPE), "NULL");
    EXPECT_EQ(ConvertColumnValueToText(Value("x", 0), HYL_SQL_NOT_SUPPORTED_TYPE), std::nullopt);
    EXPECT_EQ(ConvertColumnValueToText(Value("x", 0), 40), std::nullopt);
    // Buffers too short for their type read as NULL instead of past their end.
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromBytes("ab", 2), HYL_SQL_INT), "NULL");
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromBytes("abcd", 4), HYL_SQL_DOUBLE), "NULL");
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromBytes("ab", 2), HYL_SQL_DATETIME), "NULL");
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromBytes("", 0), HYL_SQL_BOOLEAN), "'f'");
}

}  // namespace
