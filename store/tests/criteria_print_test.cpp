// Criteria printing: every tree the parser builds prints as text that parses back to the
// same tree, with the fewest parentheses; trees the language cannot write are refused.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "store/criteria/criteria.h"

namespace {

CriteriaTree Leaf(const char* column, const char* literal, std::uint8_t op = CRITERIA_EQ) {
    auto node = std::make_unique<CriteriaNode>();
    node->columnName = column;
    node->literal = literal;
    node->op = op;
    return node;
}

CriteriaTree Join(std::uint8_t op, CriteriaTree left, CriteriaTree right) {
    auto node = std::make_unique<CriteriaNode>();
    node->op = op;
    if (left) left->parent = node.get();
    if (right) right->parent = node.get();
    node->left = std::move(left);
    node->right = std::move(right);
    return node;
}

struct PrintCase {
    const char* text;     // parsed first
    const char* printed;  // what PrintCriteria writes for it
};

TEST(CriteriaPrint, ParsedTreesPrintAndParseBackEqual) {
    const PrintCase cases[] = {
        {"PARAM_NAME='RESOURCE_ID'", "PARAM_NAME='RESOURCE_ID'"},
        {" a \t=  1 ", "a=1"},
        {"a<1 or a>2 or a<=3 or a>=4 or a=5 or a!=6", "a<1 or a>2 or a<=3 or a>=4 or a=5 or a!=6"},
        {"5<id", "id<5"},  // the literal-first form keeps its operator
        {"12.50>=price", "price>=12.50"},
        // Equal precedence, right grouping: only a join on the left needs parentheses.
        {"a=1 and b=2 or c=3", "a=1 and b=2 or c=3"},
        {"a=1 and (b=2 or c=3)", "a=1 and b=2 or c=3"},
        {"(a=1 and b=2) or c=3", "(a=1 and b=2) or c=3"},
        {"(a=1 or b=2) and (c=3 or d=4)", "(a=1 or b=2) and c=3 or d=4"},
        {"((a=1 or b=2) and c=3) or d=4", "((a=1 or b=2) and c=3) or d=4"},
        {"(a=1 and (b=2 or c=3)) and d=4", "(a=1 and b=2 or c=3) and d=4"},
        {"((((a=1))))", "a=1"},
        // Keyword look-alikes stay identifiers; keywords inside quotes stay text.
        {"And=1 or OR=2 or andy=3 or order=4", "And=1 or OR=2 or andy=3 or order=4"},
        {"a='and' and b='or'", "a='and' and b='or'"},
        // Quoted texts: blanks, tabs, double quotes, backslashes, dates, empty, bytes >127.
        {"a='x  y\tz'", "a='x  y\tz'"},
        {"a='say \"hi\"' or b='C:\\dir'", "a='say \"hi\"' or b='C:\\dir'"},
        {"d>='2024-01-31' and t<'23:59:59'", "d>='2024-01-31' and t<'23:59:59'"},
        {"a=''", "a=''"},
        {"a='\xc3\xa9t\xc3\xa9'", "a='\xc3\xa9t\xc3\xa9'"},
        {"n=007 and m=0.5", "n=007 and m=0.5"},  // digits as written
        {"a=1\nb=2 or c=3", "b=2 or c=3"},         // the tree of the last line
    };
    for (const PrintCase& c : cases) {
        SCOPED_TRACE(c.text);
        CriteriaTree tree = ParseCriteria(c.text);
        ASSERT_TRUE(tree);
        const std::optional<std::string> printed = PrintCriteria(tree.get());
        ASSERT_TRUE(printed);
        EXPECT_EQ(*printed, c.printed);
        CriteriaTree again = ParseCriteria(*printed);
        ASSERT_TRUE(again);
        EXPECT_TRUE(CriteriaTreesEqual(tree.get(), again.get()));
        EXPECT_EQ(PrintCriteria(again.get()), printed);
    }
}

TEST(CriteriaPrint, TreesTheLanguageCannotWriteAreRefused) {
    struct Refusal {
        const char* what;
        CriteriaTree tree;
    };
    Refusal refusals[] = {
        {"null tree", nullptr},
        {"keyword column", Leaf("and", "1")},
        {"keyword column or", Leaf("or", "1")},
        {"empty column", Leaf("", "1")},
        {"column starting with a digit", Leaf("1a", "1")},
        {"column starting with _", Leaf("_a", "1")},
        {"column with a blank", Leaf("a b", "1")},
        {"column with a dot", Leaf("d.ID", "1")},
        {"non-ASCII column", Leaf("\xc3\xa9", "1")},
        {"quote inside quoted text", Leaf("a", "'it's'")},
        {"line feed inside quoted text", Leaf("a", "'x\ny'")},
        {"unquoted word", Leaf("a", "abc")},
        {"unclosed quote", Leaf("a", "'open")},
        {"lone quote", Leaf("a", "'")},
        {"empty literal", Leaf("a", "")},
        {"negative number", Leaf("a", "-1")},
        {"trailing dot", Leaf("a", "1.")},
        {"leading dot", Leaf("a", ".5")},
        {"two dots", Leaf("a", "1.2.3")},
        {"exponent", Leaf("a", "1e5")},
        {"invalid operator", Leaf("a", "1", CRITERIA_INVALID_OPERATOR)},
        {"LIKE", Leaf("a", "'x%'", CRITERIA_LIKE)},
        {"BETWEEN", Leaf("a", "1", CRITERIA_BETWEEN)},
        {"AND as a leaf operator", Leaf("a", "1", CRITERIA_AND)},
        {"comparison over two children", Join(CRITERIA_EQ, Leaf("a", "1"), Leaf("b", "2"))},
        {"missing right child", Join(CRITERIA_AND, Leaf("a", "1"), nullptr)},
        {"missing left child", Join(CRITERIA_OR, nullptr, Leaf("a", "1"))},
        {"bad leaf deep on the right",
         Join(CRITERIA_AND, Leaf("a", "1"), Join(CRITERIA_OR, Leaf("b", "2"), Leaf("c", "'x'y'")))},
    };
    for (Refusal& r : refusals) EXPECT_FALSE(PrintCriteria(r.tree.get())) << r.what;

    // A leaf that also carries children is not what the parser builds.
    CriteriaTree leafWithChild = Leaf("a", "1");
    leafWithChild->left = Leaf("b", "2");
    EXPECT_FALSE(PrintCriteria(leafWithChild.get()));
    // Nor is a join that carries a column name.
    CriteriaTree namedJoin = Join(CRITERIA_AND, Leaf("a", "1"), Leaf("b", "2"));
    namedJoin->columnName = "x";
    EXPECT_FALSE(PrintCriteria(namedJoin.get()));
}

TEST(CriteriaPrint, EqualityComparesTextsOperatorsAndShapeOnly) {
    CriteriaTree a = Join(CRITERIA_AND, Leaf("a", "1"), Leaf("b", "'x'"));
    CriteriaTree same = ParseCriteria("a=1 and b='x'");
    ASSERT_TRUE(same);
    same->left->columnPosition = 3;  // resolution fields do not count
    same->left->columnType = 5;
    EXPECT_TRUE(CriteriaTreesEqual(a.get(), same.get()));
    EXPECT_TRUE(CriteriaTreesEqual(nullptr, nullptr));
    EXPECT_FALSE(CriteriaTreesEqual(a.get(), nullptr));
    for (const char* other : {"a=1 or b='x'", "a=1 and b='y'", "a=1 and c='x'", "a<1 and b='x'",
                              "b='x' and a=1", "(a=1 and b='x') and c=1", "a=1"}) {
        CriteriaTree tree = ParseCriteria(other);
        ASSERT_TRUE(tree) << other;
        EXPECT_FALSE(CriteriaTreesEqual(a.get(), tree.get())) << other;
    }
}

TEST(CriteriaPrint, DeepTreesPrintWithoutRecursion) {
    // Left-deep, as code may build it: every level but the innermost is parenthesised.
    constexpr int kDepth = 100000;
    CriteriaTree tree = Leaf("a", "0");
    for (int i = 1; i <= kDepth; ++i) tree = Join(CRITERIA_OR, std::move(tree), Leaf("b", "1"));
    const std::optional<std::string> printed = PrintCriteria(tree.get());
    ASSERT_TRUE(printed);
    EXPECT_EQ(printed->substr(0, 6), "((((((");
    EXPECT_EQ(printed->substr(printed->size() - 14), "or b=1) or b=1");
    EXPECT_EQ(printed->size(), std::size_t{kDepth} * 9 + 1);

    // Right-deep at the parser's limit prints as the flat chain it came from.
    std::string chain = "a=0";
    for (int i = 1; i < 4500; ++i) chain += " and a=" + std::to_string(i);
    CriteriaTree parsed = ParseCriteria(chain);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(PrintCriteria(parsed.get()), chain);
}

}  // namespace
