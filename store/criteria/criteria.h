// Criteria expressions of the store: "PARAM_NAME='RESOURCE_ID'", comparisons joined by
// lower-case "and"/"or" with parentheses. Parsing into a CriteriaNode tree and printing
// a tree back as text, resolution of column names against a table definition, evaluation
// on a row, and the conversions between text and typed column values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/foundation/column_value.h"

struct ColumnDefn;

// Operator codes of a CriteriaNode (1-6 in a leaf, 7/8 in an inner node; 9 and 10
// are only written by the SQL generation).
enum CriteriaOperator : std::uint8_t {
    CRITERIA_INVALID_OPERATOR = 0,
    CRITERIA_LT = 1,
    CRITERIA_GT = 2,
    CRITERIA_LE = 3,
    CRITERIA_GE = 4,
    CRITERIA_EQ = 5,
    CRITERIA_NE = 6,
    CRITERIA_AND = 7,
    CRITERIA_OR = 8,
    CRITERIA_LIKE = 9,
    CRITERIA_BETWEEN = 10,
};

// "INVALID OPERATOR", "<", ">", "<=", ">=", "=", "!=", "AND", "OR", "LIKE", "BETWEEN";
// codes above 10 give "INVALID OPERATOR".
const char* CriteriaOperatorName(std::uint8_t op);

// A node of a parsed criteria: a comparison leaf (column, operator, literal) or an AND /
// OR node over two children.
struct CriteriaNode {
    std::optional<std::string> columnName;  // leaf only
    std::optional<std::string> literal;     // leaf only, as scanned (quotes included)
    std::uint8_t op = CRITERIA_INVALID_OPERATOR;
    // Set by ResolveCriteria; 0 until then. The position is wider than a byte so
    // that tables with more than 255 columns resolve correctly.
    std::uint32_t columnPosition = 0;
    std::uint8_t columnType = 0;
    // The literal converted for columnType, set once by ResolveCriteria so that
    // evaluation does not convert it again on every row.
    ColumnValue literalValue;
    bool literalConverted = false;
    std::unique_ptr<CriteriaNode> left;
    std::unique_ptr<CriteriaNode> right;
    CriteriaNode* parent = nullptr;

    CriteriaNode() = default;
    CriteriaNode(const CriteriaNode&) = delete;
    CriteriaNode& operator=(const CriteriaNode&) = delete;
    // Frees the subtree without recursion, so very deep trees cannot exhaust the stack.
    ~CriteriaNode();

    // True for a comparison leaf.
    bool IsLeaf() const { return columnName.has_value() && literal.has_value(); }
};

// A parsed criteria, owned by the caller.
using CriteriaTree = std::unique_ptr<CriteriaNode>;

// Parses a criteria string. Null text, a syntax error, an invalid character or a
// nesting deeper than the parser's stack give null; nothing is logged. When several
// lines are given, the tree of the last one is returned. `error` (optional) receives
// "syntax error", "invalid syntax" or "yacc stack overflow".
CriteriaTree ParseCriteria(const char* criteria, std::string* error = nullptr);
CriteriaTree ParseCriteria(std::string_view criteria, std::string* error = nullptr);

// Sets position and type of every leaf from the first column whose name matches
// (ASCII case folded), and converts its literal for that type once; a name that
// matches nothing keeps position 0 and type 0.
void ResolveCriteria(const std::vector<std::unique_ptr<ColumnDefn>>& columns, CriteriaNode* tree);
// The same against plain (name, type) pairs, for callers without a ColumnDefn list.
struct CriteriaColumn {
    std::string_view name;
    std::uint8_t type;
};
// ResolveCriteria against the pairs (see above).
void ResolveCriteria(std::span<const CriteriaColumn> columns, CriteriaNode* tree);

// True when the row (its values in column order) satisfies the resolved tree; a null
// tree is true. "and" and "or" stop at the first side that decides. A leaf whose row
// value is NULL, or lies beyond the row, is false and never reads a value.
bool EvaluateCriteria(const CriteriaNode* tree, std::span<const ColumnValue> row);

// A resolved tree compiled once per query into a flat branch program: each leaf carries
// its literal already read in the column's representation and the positions to go to
// when it holds or fails, so a scan neither walks the tree nor converts per row. Matches
// gives exactly what EvaluateCriteria gives on the tree it was compiled from.
class CompiledCriteria {
public:
    // A null tree accepts every row.
    explicit CompiledCriteria(const CriteriaNode* tree);
    // Whether the row satisfies the criteria (as EvaluateCriteria).
    bool Matches(std::span<const ColumnValue> row) const;

    // One step of the program; exposed only so that the evaluator can be a free function.
    struct Step {
        // How the step compares: never or always true, or numbers or texts of a type.
        enum class Kind : std::uint8_t { Never, Always, Signed32, Unsigned32, Signed64, Float, TextEqual, TextOrder };
        Kind kind = Kind::Never;
        std::uint8_t op = CRITERIA_INVALID_OPERATOR;
        std::uint32_t position = 0;
        // Next step when the leaf holds or fails; kAccept and kReject end the program.
        std::int32_t onTrue = 0;
        std::int32_t onFalse = 0;
        union {
            std::int32_t signed32;
            std::uint32_t unsigned32;
            std::int64_t signed64;
            float real;
        } number{};
        std::string text;  // the text literal without its quotes
    };
    static constexpr std::int32_t kAccept = -1;
    static constexpr std::int32_t kReject = -2;

private:
    std::vector<Step> steps_;
};

// The criteria text of a tree, which parses back to an equal tree (same column names,
// literals, operators and shape): leaves as "column<op>literal", "and"/"or" with a blank
// on each side, and parentheses only around an AND/OR node that is the left operand of
// another (both share one precedence and group to the right). None for a null tree and
// for a tree the language cannot write: a column name that is no identifier or is "and"
// or "or", a literal that is neither a number nor quoted text without a quote or line
// feed inside, an operator out of its place (1-6 in a leaf, 7/8 above), a missing child.
std::optional<std::string> PrintCriteria(const CriteriaNode* tree);

// True when both trees have the same shape and, node by node, the same operator, column
// name and literal (what PrintCriteria writes); the fields set by resolution are not
// compared. Two null trees are equal.
bool CriteriaTreesEqual(const CriteriaNode* a, const CriteriaNode* b);

// Releases a tree; null is allowed. (Dropping the CriteriaTree does the same.)
void FreeCriteriaTree(CriteriaTree tree);

// Text to the in-memory form of a column type (see the column type codes). `length`
// (optional) gives the byte count for the byte-copy types (0, 12, 13, 20, 21), never
// more than the text holds, and receives the value's length. Dates, times and
// date-times take the layout of hyl_datetime.h (a date-time from any date text). NULL
// for null text, an unknown type or a boolean other than TRUE/FALSE.
ColumnValue ConvertTextToColumnValue(const char* text, std::uint8_t type, std::uint32_t* length);
// A value's text: "NULL" for a null value, the number, the text, the date texts,
// "'t'"/"'f'" for booleans; no text (nullopt) for type 0 or an unknown type. A fixed-size
// value whose buffer is too short reads as "NULL" rather than beyond its end.
std::optional<std::string> ConvertColumnValueToText(const ColumnValue& value, std::uint8_t type);

// LockCriteriaParser, UnlockCriteriaParser: the parser lock, taken before parsing and
// released after the tree is freed by every caller that parses criteria. Not re-entrant.
void LockCriteriaParser();
void UnlockCriteriaParser();

// Holds the parser lock for a scope.
class CriteriaParserLock {
public:
    CriteriaParserLock() { LockCriteriaParser(); }
    ~CriteriaParserLock() { UnlockCriteriaParser(); }
    CriteriaParserLock(const CriteriaParserLock&) = delete;
    CriteriaParserLock& operator=(const CriteriaParserLock&) = delete;
};
