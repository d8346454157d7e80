// Criteria parsing: lexical rules, grammar, precedence, error paths, the stack limits
// and parsing from several threads under the parser lock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/criteria/criteria.h"

namespace {

// Renders a tree as "col<op>literal" leaves and AND(l,r) / OR(l,r) inner nodes.
std::string Render(const CriteriaNode* node) {
    if (!node) return "null";
    if (node->IsLeaf()) return *node->columnName + CriteriaOperatorName(node->op) + *node->literal;
    return std::string(CriteriaOperatorName(node->op)) + "(" + Render(node->left.get()) + "," +
           Render(node->right.get()) + ")";
}

// Parents must point at the node that owns them, and the root has none.
bool ParentsConsistent(const CriteriaNode* node, const CriteriaNode* expectedParent) {
    if (!node) return true;
    if (node->parent != expectedParent) return false;
    return ParentsConsistent(node->left.get(), node) && ParentsConsistent(node->right.get(), node);
}

struct ParseCase {
    const char* text;
    const char* tree;   // rendered result, "null" when the parse must fail
    const char* error;  // expected error text on failure, "" to skip the check
};

TEST(CriteriaParse, GrammarAndLexicalRules) {
    const ParseCase cases[] = {
        {"PARAM_NAME='RESOURCE_ID'", "PARAM_NAME='RESOURCE_ID'", ""},
        {"a=1 and b=2", "AND(a=1,b=2)", ""},
        {"a=1 AND b=2", "null", "syntax error"},            // AND is an identifier
        {"a=1 and b=2 or c=3", "AND(a=1,OR(b=2,c=3))", ""},  // equal precedence, right grouping
        {"a=1 or b=2 and c=3", "OR(a=1,AND(b=2,c=3))", ""},
        {"a=1 and b=2 and c=3", "AND(a=1,AND(b=2,c=3))", ""},
        {"(a=1 and b=2) or c=3", "OR(AND(a=1,b=2),c=3)", ""},
        {"((a=1))", "a=1", ""},
        {"a<1 or a>2 or a<=3 or a>=4 or a!=5", "OR(a<1,OR(a>2,OR(a<=3,OR(a>=4,a!=5))))", ""},
        {"5<id", "id<5", ""},                                // literal first keeps the operator
        {"And=1", "And=1", ""},
        {"OR=1", "OR=1", ""},
        {"andy=1 or order=2", "OR(andy=1,order=2)", ""},
        {"a_1B=12.50", "a_1B=12.50", ""},
        {" \t a \t= 'x y' ", "a='x y'", ""},
        {"a=''", "a=''", ""},
        {"a=1\nb=2", "b=2", ""},                             // the last line's tree only
        {"a=1 and\nb=2", "null", "syntax error"},
        {"", "null", "syntax error"},
        {"a", "null", "syntax error"},
        {"a=b", "null", "syntax error"},
        {"1=2", "null", "syntax error"},
        {"a=1 and", "null", "syntax error"},
        {"(a=1", "null", "syntax error"},
        {"a=1)", "null", "syntax error"},
        {"()", "null", "syntax error"},
        {"a<>1", "null", "syntax error"},                    // LT followed by GT
        {"a==1", "null", "syntax error"},
        {"a=1e5", "null", "syntax error"},                   // VALUE 1, IDENT e5
        {"a=1.", "null", "invalid syntax"},
        {"a=.5", "null", "invalid syntax"},
        {"a=-1", "null", "invalid syntax"},
        {"a=+1", "null", "invalid syntax"},
        {"a = 'x' #", "null", "invalid syntax"},
        {"a='x\ny'", "null", "invalid syntax"},              // no line feed inside quotes
        {"a='it''s'", "null", "syntax error"},               // no quote doubling
        {"a='open", "null", "invalid syntax"},
        {"a=1\r", "null", "invalid syntax"},                 // carriage return
        {"a=1\n", "null", "syntax error"},                   // a lone line feed is no item
        {"_a=1", "null", "invalid syntax"},
        {"\xc3\xa9=1", "null", "invalid syntax"},
        {"a=\"x\"", "null", "invalid syntax"},
        {"a=1 b=2", "null", "syntax error"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        CriteriaTree tree = ParseCriteria(c.text, &error);
        EXPECT_EQ(Render(tree.get()), c.tree);
        if (tree) {
            EXPECT_TRUE(ParentsConsistent(tree.get(), nullptr));
            EXPECT_EQ(tree->columnPosition, 0u);
            EXPECT_EQ(tree->columnType, 0);
        } else if (*c.error) {
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST(CriteriaParse, LeafFieldsAndNullInput) {
    CriteriaTree tree = ParseCriteria("PARAM_NAME='RESOURCE_ID'");
    ASSERT_TRUE(tree);
    EXPECT_EQ(*tree->columnName, "PARAM_NAME");
    EXPECT_EQ(*tree->literal, "'RESOURCE_ID'");  // quotes kept
    EXPECT_EQ(tree->op, CRITERIA_EQ);
    EXPECT_FALSE(tree->left);
    EXPECT_FALSE(tree->right);

    CriteriaTree join = ParseCriteria("a=1 or b=2");
    ASSERT_TRUE(join);
    EXPECT_EQ(join->op, CRITERIA_OR);
    EXPECT_FALSE(join->columnName);
    EXPECT_FALSE(join->literal);

    EXPECT_FALSE(ParseCriteria(static_cast<const char*>(nullptr)));
    // An embedded zero byte is an invalid character, not the end of the text.
    EXPECT_FALSE(ParseCriteria(std::string_view("a=1\0b", 5)));
    FreeCriteriaTree(nullptr);
    FreeCriteriaTree(std::move(join));
}

TEST(CriteriaParse, OperatorNamesCoverEveryCode) {
    const char* expected[] = {"INVALID OPERATOR", "<", ">", "<=", ">=", "=", "!=", "AND", "OR", "LIKE", "BETWEEN"};
    for (std::uint8_t code = 0; code < 11; ++code) EXPECT_STREQ(CriteriaOperatorName(code), expected[code]);
    EXPECT_STREQ(CriteriaOperatorName(11), "INVALID OPERATOR");
    EXPECT_STREQ(CriteriaOperatorName(255), "INVALID OPERATOR");
}

std::string Nested(int depth) {
    return std::string(depth, '(') + "a=1" + std::string(depth, ')');
}

std::string Chain(int terms, const char* joiner) {
    std::string text = "a=1";
    for (int i = 1; i < terms; ++i) text += std::string(" ") + joiner + " a=" + std::to_string(i);
    return text;
}

TEST(CriteriaParse, DeepNestingWithinTheStackLimitParses) {
    std::string error;
    CriteriaTree tree = ParseCriteria(Nested(9000), &error);
    ASSERT_TRUE(tree) << error;
    EXPECT_EQ(Render(tree.get()), "a=1");

    // Right grouping keeps every pending operand on the stack: about two entries a term.
    CriteriaTree chain = ParseCriteria(Chain(4500, "and"), &error);
    ASSERT_TRUE(chain) << error;
    int depth = 0;
    const CriteriaNode* node = chain.get();
    for (; node->right; node = node->right.get()) ++depth;
    EXPECT_EQ(depth, 4499);
    EXPECT_EQ(*chain->left->literal, "1");
    EXPECT_EQ(*node->literal, "4499");
}

TEST(CriteriaParse, NestingBeyondTheStackLimitFailsCleanly) {
    for (int depth : {10001, 20000, 100000}) {
        std::string error;
        EXPECT_FALSE(ParseCriteria(Nested(depth), &error)) << depth;
        EXPECT_EQ(error, "yacc stack overflow") << depth;
    }
    std::string error;
    EXPECT_FALSE(ParseCriteria(Chain(6000, "or"), &error));
    EXPECT_EQ(error, "yacc stack overflow");
    // The parser is usable again afterwards.
    EXPECT_EQ(Render(ParseCriteria("a=1 or b=2").get()), "OR(a=1,b=2)");
}

TEST(CriteriaParse, FailureAfterManyNodesReleasesThem) {
    // Thousands of nodes are built before the trailing error; all must be freed
    // (the sanitizer build reports any leak).
    EXPECT_FALSE(ParseCriteria(Chain(3000, "or") + " and"));
    EXPECT_FALSE(ParseCriteria(Chain(3000, "and") + "\nb=2 #"));
    EXPECT_FALSE(ParseCriteria("(" + Chain(3000, "and") + ") or (x=1"));
}

TEST(CriteriaParse, FourThreadsParseAndEvaluateUnderTheParserLock) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrong{0};
    const CriteriaColumn columns[] = {{"ID", 5}, {"NAME", 15}};

    auto worker = [&](int id) {
        for (int round = 0; round < kRounds; ++round) {
            const int value = id * 1000 + round;
            const std::string text = "id>=" + std::to_string(value) + " and (name='n" + std::to_string(id) +
                                     "' or name='x')";
            std::uint32_t len = 0;
            const ColumnValue row[] = {
                ConvertTextToColumnValue(std::to_string(value + (round % 2)).c_str(), 5, &len),
                ConvertTextToColumnValue(("n" + std::to_string(id)).c_str(), 15, &len)};
            bool matched;
            {
                CriteriaParserLock lock;
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                CriteriaTree tree = ParseCriteria(text.c_str());
                if (!tree) {
                    wrong.fetch_add(1);
                    inside.fetch_sub(1);
                    continue;
                }
                ResolveCriteria(columns, tree.get());
                matched = EvaluateCriteria(tree.get(), row);
                FreeCriteriaTree(std::move(tree));
                inside.fetch_sub(1);
            }
            if (!matched) wrong.fetch_add(1);
            // Outside the lock the parser is reentrant as well.
            CriteriaTree other = ParseCriteria("id<" + std::to_string(value));
            ResolveCriteria(columns, other.get());
            if (!other || EvaluateCriteria(other.get(), row)) wrong.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
