// The byte layout of date values, the bounded text conversion, and criteria evaluation
// with literals converted once and short-circuit "and"/"or".
#include <gtest/gtest.h>

#include <random>

#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/column_types.h"

namespace {

TEST(ValueFormsTest, DateLayoutsReadTheSameEverywhere) {
    const HylDate date{2024, 2, 29};
    const HylTime time{23, 59, 58};
    struct Case {
        ColumnValue value;
        std::uint32_t length;
        const char* asDate;
        const char* asTime;
        const char* asDateTime;
    };
    const Case cases[] = {
        {MakeHylDateValue(date), 4, "2024-02-29", "2024-02-29", "2024-02-29"},
        {MakeHylTimeValue(time), 3, "23:59:58", "23:59:58", "23:59:58"},
        {MakeHylDateTimeValue(HylDateTime{date, time}), 11, "2024-02-29", "23:59:58", "2024-02-29 23:59:58"},
        {MakeHylDateTimeValue(HylDateTime{date, std::nullopt}), 11, "2024-02-29", "2024-02-29", "2024-02-29"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.length, c.length);
        EXPECT_EQ(c.value.buffer->size(), c.length);  // no bytes beyond the nominal length
        EXPECT_EQ(ConvertColumnValueToText(c.value, HYL_SQL_DATE), c.asDate);
        EXPECT_EQ(ConvertColumnValueToText(c.value, HYL_SQL_TIME), c.asTime);
        EXPECT_EQ(ConvertColumnValueToText(c.value, HYL_SQL_DATETIME), c.asDateTime);
    }
    // Text converts to the date-time layout, whatever the date type.
    const ColumnValue converted = ConvertTextToColumnValue("2024-01-31 10:20:30", HYL_SQL_DATE, nullptr);
    EXPECT_EQ(converted.length, 11u);
    EXPECT_EQ(ConvertColumnValueToText(converted, HYL_SQL_DATE), "2024-01-31");
    EXPECT_EQ(ConvertColumnValueToText(converted, HYL_SQL_DATETIME), "2024-01-31 10:20:30");
    // Bytes of no known layout never read beyond the buffer.
    EXPECT_EQ(ConvertColumnValueToText(ColumnValue::FromBytes("ab", 2), HYL_SQL_DATETIME), "NULL");
    EXPECT_FALSE(ReadHylValue(ColumnValue::Null()));
}

TEST(ValueFormsTest, ByteCopiesNeverExceedTheText) {
    for (BYTE type : {HYL_SQL_DECIMAL, HYL_SQL_NUMERIC, HYL_SQL_BLOB, HYL_SQL_CLOB, HYL_SQL_NOT_SUPPORTED_TYPE}) {
        std::uint32_t length = 1000;  // more than "12.5" holds
        const ColumnValue value = ConvertTextToColumnValue("12.5", type, &length);
        EXPECT_EQ(length, 4u) << static_cast<int>(type);
        EXPECT_EQ(value.buffer->size(), 4u);
        length = 2;
        EXPECT_EQ(ConvertTextToColumnValue("12.5", type, &length).buffer, std::string("12"));
    }
}

// Evaluation with the literal converted once must agree with converting it per row.
TEST(ValueFormsTest, CachedLiteralsAndShortCircuitGiveTheSameResults) {
    const CriteriaColumn columns[] = {{"A", HYL_SQL_INT}, {"B", HYL_SQL_CHARACTER}, {"C", HYL_SQL_UNSIGNED_INT}};
    const char* criteria[] = {"A>3",
                              "A=5 and B='x'",
                              "A<2 or B='y' and C>=7",
                              "(A=1 or A=2) and (B!='x' or C<3)",
                              "B<='m' or A>8",
                              "A=1 and A=2 or C=4"};
    std::mt19937 random(3);
    std::vector<std::vector<ColumnValue>> rows;
    for (int i = 0; i < 200; ++i) {
        std::int32_t a = static_cast<std::int32_t>(random() % 10);
        std::uint32_t c = static_cast<std::uint32_t>(random() % 10);
        const char* texts[] = {"x", "y", "m", "zz"};
        rows.push_back({random() % 7 ? ColumnValue::FromBytes(&a, 4) : ColumnValue::Null(),
                        ColumnValue::FromText(texts[random() % 4]), ColumnValue::FromBytes(&c, 4)});
    }
    for (const char* text : criteria) {
        CriteriaTree cached = ParseCriteria(text);
        CriteriaTree plain = ParseCriteria(text);
        ASSERT_TRUE(cached && plain) << text;
        ResolveCriteria(columns, cached.get());
        ResolveCriteria(columns, plain.get());
        // Undo the cache in one copy so that it converts on every row, as before.
        std::vector<CriteriaNode*> stack{plain.get()};
        while (!stack.empty()) {
            CriteriaNode* node = stack.back();
            stack.pop_back();
            if (!node) continue;
            node->literalConverted = false;
            stack.push_back(node->left.get());
            stack.push_back(node->right.get());
        }
        for (const auto& row : rows) {
            EXPECT_EQ(EvaluateCriteria(cached.get(), row), EvaluateCriteria(plain.get(), row)) << text;
        }
    }
}

}  // namespace
