// The compiled criteria program against the tree evaluator it replaces on scans: every
// criteria of the table on every row of the table must give the same answer, rows with
// NULLs, short buffers, embedded zero bytes and NaN included. Also the compact value
// buffer those scans read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "store/criteria/criteria.h"
#include "store/dictionary/column_types.h"

namespace {

// Columns of every kind the evaluator distinguishes, plus types that never compare.
const CriteriaColumn kColumns[] = {
    {"I", HYL_SQL_INT},    {"U", HYL_SQL_UNSIGNED_INT}, {"B", HYL_SQL_BIGINT}, {"F", HYL_SQL_FLOAT},
    {"T", HYL_SQL_CHAR},   {"X", HYL_SQL_TEXT},         {"D", HYL_SQL_DOUBLE}, {"L", HYL_SQL_UNSIGNED_LONG_INT},
    {"S", HYL_SQL_SMALLINT},
};

template <typename T>
ColumnValue Fixed(T value) {
    return ColumnValue::FromBytes(&value, sizeof value);
}

std::vector<std::vector<ColumnValue>> Rows() {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::vector<ColumnValue>> rows;
    auto row = [&rows](ColumnValue i, ColumnValue u, ColumnValue b, ColumnValue f, ColumnValue t, ColumnValue x) {
        std::vector<ColumnValue> values;
        values.push_back(std::move(i));
        values.push_back(std::move(u));
        values.push_back(std::move(b));
        values.push_back(std::move(f));
        values.push_back(std::move(t));
        values.push_back(std::move(x));
        values.push_back(Fixed(2.5));
        values.push_back(Fixed<std::uint64_t>(7));
        values.push_back(Fixed<std::int32_t>(3));
        rows.push_back(std::move(values));
    };
    row(Fixed(5), Fixed(5u), Fixed<std::int64_t>(5), Fixed(1.5f), ColumnValue::FromText("abc"), ColumnValue::FromText("abc"));
    row(Fixed(-1), Fixed(0xffffffffu), Fixed<std::int64_t>(-9000000000), Fixed(nan), ColumnValue::FromText(""),
        ColumnValue::FromText("a longer text beyond the inline bytes"));
    row(Fixed(std::numeric_limits<std::int32_t>::min()), Fixed(0u), Fixed<std::int64_t>(9000000000), Fixed(-0.0f),
        ColumnValue::FromBytes("abc\0zz", 6), ColumnValue::FromText("abd"));
    // NULL everywhere; then buffers too short for their type.
    row(ColumnValue::Null(), ColumnValue::Null(), ColumnValue::Null(), ColumnValue::Null(), ColumnValue::Null(),
        ColumnValue::Null());
    row(ColumnValue::FromBytes("\x05", 1), ColumnValue::FromBytes("ab", 2), Fixed(5), ColumnValue::FromBytes("", 0),
        ColumnValue::FromText("ab"), ColumnValue::FromBytes("abc\0", 4));
    // A row shorter than the table: later columns lie beyond it.
    std::vector<ColumnValue> shortRow;
    shortRow.push_back(Fixed(5));
    shortRow.push_back(Fixed(5u));
    rows.push_back(std::move(shortRow));
    return rows;
}

const char* const kCriteria[] = {
    "I=5", "I!=5", "I<0", "I>=-1", "I<=-2147483648", "I>'5'", "5<I", "S=3",
    "U>4294967294", "U<1", "U=5", "B>8999999999", "B<0", "B!=5",
    "F=1.5", "F!=1.5", "F<0", "F>=0", "F<=0",
    "T='abc'", "T!='abc'", "T=''", "T<'abd'", "T>='ab'", "T>'b'", "T='abc\\0zz'", "T=abc",
    "X='abc'", "X='a longer text beyond the inline bytes'", "X!='abd'", "X<='abc'",
    "D=2.5", "L=7", "Q=5", "Q!=5",
    "I=5 and T='abc'", "I=5 or T='abd'", "(I=5 or I=-1) and (X='abd' or U<1)",
    "I<0 and T='' or B>0", "I=5 or I=6 or I=7 or I=-1 or X='abd'", "((I=5 and (U=5 and (B=5 and F=1.5))))",
    "F!=F", "I=5 and (T='x' or (U>0 and X!='abc'))",
};

TEST(CompiledCriteria, AgreesWithTheTreeOnEveryRowAndCriteria) {
    const auto rows = Rows();
    for (const char* criteria : kCriteria) {
        CriteriaTree tree = ParseCriteria(criteria);
        if (!tree) continue;  // a criteria that does not parse is never compiled
        ResolveCriteria(kColumns, tree.get());
        const CompiledCriteria compiled(tree.get());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            EXPECT_EQ(compiled.Matches(rows[r]), EvaluateCriteria(tree.get(), rows[r]))
                << criteria << " on row " << r;
        }
    }
}

TEST(CompiledCriteria, NullTreeAcceptsAndDeepChainsCompileWithoutRecursion) {
    const std::vector<ColumnValue> row = {Fixed(5)};
    EXPECT_TRUE(CompiledCriteria(nullptr).Matches(row));
    EXPECT_TRUE(CompiledCriteria(nullptr).Matches({}));

    // Long chains joined both ways; the last leaf decides.
    for (const char* join : {" and ", " or "}) {
        std::string criteria = "I=5";
        for (int i = 0; i < 5000; ++i) criteria += std::string(join) + (join[1] == 'a' ? "I=5" : "I=6");
        CriteriaTree tree = ParseCriteria(criteria);
        if (!tree) continue;  // deeper than the parser takes
        ResolveCriteria(kColumns, tree.get());
        const CompiledCriteria compiled(tree.get());
        EXPECT_EQ(compiled.Matches(row), EvaluateCriteria(tree.get(), row)) << join;
        EXPECT_TRUE(compiled.Matches(row)) << join;
    }
}

TEST(CompiledCriteria, InnerNodesWithoutSidesFollowTheEvaluator) {
    // Hand-built trees the parser never makes: a junction missing a side, and an inner
    // node that is neither "and" nor "or".
    const std::vector<ColumnValue> row = {Fixed(5)};
    for (std::uint8_t op : {CRITERIA_AND, CRITERIA_OR, CRITERIA_EQ}) {
        for (bool withLeft : {false, true}) {
            auto root = std::make_unique<CriteriaNode>();
            root->op = op;
            if (withLeft) {
                root->left = ParseCriteria("I=6");
                ResolveCriteria(kColumns, root->left.get());
            }
            const CompiledCriteria compiled(root.get());
            EXPECT_EQ(compiled.Matches(row), EvaluateCriteria(root.get(), row))
                << static_cast<int>(op) << " left " << withLeft;
        }
    }
}

TEST(ValueBuffer, KeepsBytesAndTheirZeroAcrossCopiesAndMoves) {
    const std::string cases[] = {
        "", "a", std::string("ab\0c", 4), std::string(ValueBuffer::kInlineBytes, 'x'),
        std::string(ValueBuffer::kInlineBytes + 1, 'y'), std::string(1000, 'z'),
    };
    for (const std::string& bytes : cases) {
        ColumnValue original = ColumnValue::FromBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        ColumnValue copy = original;
        ColumnValue assigned = ColumnValue::FromText("something else entirely, on the heap");
        assigned = copy;
        ColumnValue moved = std::move(copy);
        for (const ColumnValue* value : {&original, &assigned, &moved}) {
            ASSERT_FALSE(value->isNull()) << bytes.size();
            EXPECT_EQ(*value->buffer, bytes);
            EXPECT_EQ(value->length, bytes.size());
            EXPECT_EQ(value->data()[bytes.size()], '\0');
        }
        EXPECT_NE(original.data(), assigned.data());  // copies never share bytes
        EXPECT_TRUE(copy.isNull());                   // a moved-from value is NULL
    }
}

TEST(ValueBuffer, SelfAssignmentAndReplacementFromItsOwnBytes) {
    for (const char* text : {"short", "a text well beyond the inline bytes"}) {
        ColumnValue value = ColumnValue::FromText(text);
        ColumnValue& alias = value;
        value = alias;
        EXPECT_EQ(*value.buffer, text);
        // Emplacing a part of its own bytes must read them before releasing them.
        value.buffer.emplace(value.data() + 1, std::strlen(text) - 1);
        EXPECT_EQ(*value.buffer, std::string(text + 1));
        value.buffer = std::nullopt;
        EXPECT_TRUE(value.isNull());
        EXPECT_EQ(value.data(), nullptr);
    }
}

TEST(ValueBuffer, ReadsAndAssignsAsAnOptionalString) {
    ColumnValue value;
    EXPECT_THROW(value.buffer.value(), std::bad_optional_access);
    EXPECT_EQ(static_cast<std::optional<std::string>>(value.buffer), std::nullopt);
    value.buffer = std::string("text\0with a zero inside", 24);
    const std::optional<std::string> copy = value.buffer;
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->size(), 24u);
    EXPECT_EQ(value.buffer.value(), *copy);
    EXPECT_TRUE(value.buffer == *copy);
    EXPECT_FALSE(ColumnValue::Null().buffer == std::string());  // NULL is not the empty text
}

TEST(ValueBuffer, FixedReadsRefuseShortBuffers) {
    const ColumnValue shortValue = ColumnValue::FromBytes("abc", 3);
    EXPECT_FALSE(shortValue.As<std::int32_t>());
    EXPECT_FALSE(ColumnValue::Null().As<std::int8_t>());
    const ColumnValue wide = Fixed<std::int64_t>(-5);
    EXPECT_EQ(wide.As<std::int64_t>(), -5);
    EXPECT_EQ(wide.As<std::int32_t>(), -5);  // the low bytes of a little-endian value
}

}  // namespace
