// Resolution and evaluation of criteria trees on rows, and the conversions between text
// and typed column values shared by evaluation, column defaults and database reads.
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/printf.h>

#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/lock_registry.h"

namespace {

bool EqualsFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

template <typename Columns, typename NameOf, typename TypeOf>
void ResolveTree(const Columns& columns, CriteriaNode* tree, NameOf nameOf, TypeOf typeOf) {
    // In-order walk with an explicit stack: left subtree, node, right subtree.
    std::vector<CriteriaNode*> stack;
    CriteriaNode* node = tree;
    while (node || !stack.empty()) {
        while (node) {
            stack.push_back(node);
            node = node->left.get();
        }
        node = stack.back();
        stack.pop_back();
        if (node->columnName) {
            std::uint32_t position = 0;
            for (const auto& column : columns) {
                if (EqualsFolded(nameOf(column), *node->columnName)) {
                    node->columnPosition = position;
                    node->columnType = typeOf(column);
                    break;
                }
                ++position;
            }
            if (node->literal) {
                std::uint32_t literalLength = static_cast<std::uint32_t>(node->literal->size());
                node->literalValue =
                    ConvertTextToColumnValue(node->literal->c_str(), node->columnType, &literalLength);
                node->literalConverted = true;
            }
        }
        node = node->right.get();
    }
}

template <typename T>
int CompareNumbers(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Applies a comparison operator to a three-way result; unordered values (NaN) fail
// every operator but "!=".
bool Satisfies(std::uint8_t op, int order, bool unordered = false) {
    if (unordered) return op == CRITERIA_NE;
    switch (op) {
        case CRITERIA_LT: return order < 0;
        case CRITERIA_GT: return order > 0;
        case CRITERIA_LE: return order <= 0;
        case CRITERIA_GE: return order >= 0;
        case CRITERIA_EQ: return order == 0;
        case CRITERIA_NE: return order != 0;
        default: return false;
    }
}

// Reads a fixed-size value; a buffer too short for the type never matches.
template <typename T>
bool ReadScalar(const ColumnValue& value, T* out) {
    std::optional<T> read = value.As<T>();
    if (!read) return false;
    *out = *read;
    return true;
}

// Texts end at their first zero byte, as everywhere in the store.
std::string_view TextOf(const ColumnValue& value) {
    const std::string_view bytes = *value.buffer;
    return std::string_view(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
}

bool EvaluateLeaf(const CriteriaNode& node, const ColumnValue& value) {
    ColumnValue converted;
    if (!node.literalConverted) {
        std::uint32_t literalLength = static_cast<std::uint32_t>(node.literal->size());
        converted = ConvertTextToColumnValue(node.literal->c_str(), node.columnType, &literalLength);
    }
    const ColumnValue& other = node.literalConverted ? node.literalValue : converted;
    if (other.isNull()) return false;

    switch (node.columnType) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT: {
            std::int32_t a = 0, b = 0;
            if (!ReadScalar(value, &a) || !ReadScalar(other, &b)) return false;
            return Satisfies(node.op, CompareNumbers(a, b));
        }
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_UNSIGNED_INT: {
            std::uint32_t a = 0, b = 0;
            if (!ReadScalar(value, &a) || !ReadScalar(other, &b)) return false;
            return Satisfies(node.op, CompareNumbers(a, b));
        }
        case HYL_SQL_BIGINT: {
            std::int64_t a = 0, b = 0;
            if (!ReadScalar(value, &a) || !ReadScalar(other, &b)) return false;
            return Satisfies(node.op, CompareNumbers(a, b));
        }
        case HYL_SQL_FLOAT: {
            float a = 0, b = 0;
            if (!ReadScalar(value, &a) || !ReadScalar(other, &b)) return false;
            return Satisfies(node.op, CompareNumbers(a, b), !(a == a) || !(b == b));
        }
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
        case HYL_SQL_TEXT: {
            // The literal is compared without its first and last character (its quotes).
            const std::string_view text = TextOf(other);
            const std::string_view inner =
                text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string_view();
            if (node.op == CRITERIA_EQ || node.op == CRITERIA_NE) {
                // Equal exactly when the value's bytes start with the literal and its text
                // ends right there; saves measuring every value on a scan.
                const ValueBuffer& bytes = value.buffer;
                const bool equal = bytes.size() >= inner.size() &&
                                   (inner.empty() || std::memcmp(bytes.data(), inner.data(), inner.size()) == 0) &&
                                   bytes.c_str()[inner.size()] == '\0';
                return equal == (node.op == CRITERIA_EQ);
            }
            const int order = TextOf(value).compare(inner);
            return Satisfies(node.op, order);
        }
        default:
            return false;
    }
}

bool EvaluateNode(const CriteriaNode* node, std::span<const ColumnValue> row) {
    if (!node) return true;
    if (!node->columnName || !node->literal) {
        // Evaluation has no side effects, so the right side is skipped once the left decides.
        if (node->op == CRITERIA_AND)
            return EvaluateNode(node->left.get(), row) && EvaluateNode(node->right.get(), row);
        if (node->op == CRITERIA_OR)
            return EvaluateNode(node->left.get(), row) || EvaluateNode(node->right.get(), row);
        return false;
    }
    const std::uint32_t position = node->columnPosition;
    if (position >= row.size()) return false;
    // A NULL value matches nothing and is never read.
    if (row[position].isNull()) return false;
    return EvaluateLeaf(*node, row[position]);
}

bool IsLeafNode(const CriteriaNode* node) { return node->columnName && node->literal; }

bool IsJunction(const CriteriaNode* node) {
    return !IsLeafNode(node) && (node->op == CRITERIA_AND || node->op == CRITERIA_OR);
}

using Step = CompiledCriteria::Step;

// The leaf as one step: its literal read once in the representation its column type
// compares in; a literal that cannot be read, or a type that never compares, gives Never.
Step CompileLeaf(const CriteriaNode& node) {
    Step step;
    step.op = node.op;
    step.position = node.columnPosition;
    ColumnValue converted;
    if (!node.literalConverted) {
        std::uint32_t literalLength = static_cast<std::uint32_t>(node.literal->size());
        converted = ConvertTextToColumnValue(node.literal->c_str(), node.columnType, &literalLength);
    }
    const ColumnValue& literal = node.literalConverted ? node.literalValue : converted;
    if (literal.isNull()) return step;
    auto read = [&](auto* out, Step::Kind kind) {
        if (ReadScalar(literal, out)) step.kind = kind;
    };
    switch (node.columnType) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
            read(&step.number.signed32, Step::Kind::Signed32);
            break;
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_UNSIGNED_INT:
            read(&step.number.unsigned32, Step::Kind::Unsigned32);
            break;
        case HYL_SQL_BIGINT:
            read(&step.number.signed64, Step::Kind::Signed64);
            break;
        case HYL_SQL_FLOAT:
            read(&step.number.real, Step::Kind::Float);
            break;
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
        case HYL_SQL_TEXT: {
            // The literal is compared without its first and last character (its quotes).
            const std::string_view text = TextOf(literal);
            step.text = text.size() >= 2 ? std::string(text.substr(1, text.size() - 2)) : std::string();
            step.kind = (node.op == CRITERIA_EQ || node.op == CRITERIA_NE) ? Step::Kind::TextEqual : Step::Kind::TextOrder;
            break;
        }
        default:
            break;
    }
    return step;
}

template <typename T>
bool TestScalar(const ValueBuffer& value, std::uint8_t op, T literal) {
    if (value.size() < sizeof(T)) return false;
    T read;
    std::memcpy(&read, value.data(), sizeof(T));
    if constexpr (std::is_floating_point_v<T>) {
        return Satisfies(op, CompareNumbers(read, literal), !(read == read) || !(literal == literal));
    } else {
        return Satisfies(op, CompareNumbers(read, literal));
    }
}

bool TestStep(const Step& step, std::span<const ColumnValue> row) {
    switch (step.kind) {
        case Step::Kind::Always: return true;
        case Step::Kind::Never: return false;
        default: break;
    }
    if (step.position >= row.size()) return false;
    const ValueBuffer& value = row[step.position].buffer;
    // A NULL value matches nothing and is never read.
    if (!value) return false;
    switch (step.kind) {
        case Step::Kind::Signed32: return TestScalar(value, step.op, step.number.signed32);
        case Step::Kind::Unsigned32: return TestScalar(value, step.op, step.number.unsigned32);
        case Step::Kind::Signed64: return TestScalar(value, step.op, step.number.signed64);
        case Step::Kind::Float: return TestScalar(value, step.op, step.number.real);
        case Step::Kind::TextEqual: {
            // Texts end at their first zero byte: equal when the value's bytes start with
            // the literal and its text ends right there.
            const std::size_t count = step.text.size();
            const std::size_t size = value.size();
            const char* bytes = value.data();
            const bool equal = size >= count && (size == count || bytes[count] == '\0') &&
                               std::memcmp(bytes, step.text.data(), count) == 0;
            return equal == (step.op == CRITERIA_EQ);
        }
        case Step::Kind::TextOrder: {
            const std::string_view bytes = value.view();
            const std::string_view text(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
            return Satisfies(step.op, text.compare(step.text));
        }
        default: return false;
    }
}

// Integer text: optional sign then digits; anything else makes it 0. Accumulates with
// unsigned wrap-around so that overlong numbers never overflow.
std::uint64_t ParseIntegerText(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return negative ? (~value + 1) : value;
}

double ParseDecimalText(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    double value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.') {
        double scale = 1;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            scale /= 10;
            value += (text[i] - '0') * scale;
        }
    }
    if (i != text.size()) return 0;
    return negative ? -value : value;
}

ColumnValue MakeValue(const void* bytes, std::size_t size) {
    return ColumnValue::FromBytes(bytes, static_cast<std::uint32_t>(size));
}

ColumnValue DateTimeTextToValue(const char* text, std::uint32_t* length) {
    std::optional<HylDateTime> value = ConvertStringToHylDateTime(text);
    if (!value) return ColumnValue::Null();
    *length = HYL_DATETIME_LENGTH;
    return MakeHylDateTimeValue(*value);
}

// Date columns hold any of the three date layouts; the value's length tells which.
std::optional<std::string> DateTimeValueToText(const ColumnValue& value, std::uint8_t type) {
    std::optional<std::string> text = HylValueToText(value, type);
    if (!text) text = HylValueToText(value, HYL_SQL_DATETIME);
    return text ? text : std::string("NULL");
}

// Any address unique to this unit serves as the parser's key in the lock registry.
const char kCriteriaParserLockKey = 0;

}  // namespace

void ResolveCriteria(std::span<const CriteriaColumn> columns, CriteriaNode* tree) {
    ResolveTree(columns, tree, [](const CriteriaColumn& c) { return c.name; },
                [](const CriteriaColumn& c) { return c.type; });
}

void ResolveCriteria(const std::vector<std::unique_ptr<ColumnDefn>>& columns, CriteriaNode* tree) {
    ResolveTree(columns, tree,
                [](const std::unique_ptr<ColumnDefn>& c) { return std::string_view(c->name); },
                [](const std::unique_ptr<ColumnDefn>& c) { return c->type; });
}

bool EvaluateCriteria(const CriteriaNode* tree, std::span<const ColumnValue> row) {
    return EvaluateNode(tree, row);
}

CompiledCriteria::CompiledCriteria(const CriteriaNode* tree) {
    // Steps each subtree takes: a leaf, a missing side or an inner node that is neither
    // "and" nor "or" one, a junction the sum of its sides. Post-order with a stack, so
    // trees of any depth compile.
    std::unordered_map<const CriteriaNode*, std::int32_t> sizes;
    auto sizeOf = [&sizes](const CriteriaNode* node) { return node ? sizes.at(node) : 1; };
    std::vector<std::pair<const CriteriaNode*, bool>> pending;
    if (tree) pending.emplace_back(tree, false);
    while (!pending.empty()) {
        auto [node, childrenDone] = pending.back();
        pending.pop_back();
        if (!IsJunction(node)) {
            sizes[node] = 1;
        } else if (childrenDone) {
            sizes[node] = sizeOf(node->left.get()) + sizeOf(node->right.get());
        } else {
            pending.emplace_back(node, true);
            if (node->left) pending.emplace_back(node->left.get(), false);
            if (node->right) pending.emplace_back(node->right.get(), false);
        }
    }
    steps_.resize(static_cast<std::size_t>(sizeOf(tree)));

    // "a and b": a goes on to b when it holds and rejects when it fails; "a or b": a
    // accepts when it holds and goes on to b when it fails. b ends as the junction does.
    struct Task {
        const CriteriaNode* node;
        std::int32_t start, onTrue, onFalse;
    };
    std::vector<Task> tasks{{tree, 0, kAccept, kReject}};
    while (!tasks.empty()) {
        const Task task = tasks.back();
        tasks.pop_back();
        if (task.node && IsJunction(task.node)) {
            const CriteriaNode* left = task.node->left.get();
            const CriteriaNode* right = task.node->right.get();
            const std::int32_t rightStart = task.start + sizeOf(left);
            if (task.node->op == CRITERIA_AND) tasks.push_back({left, task.start, rightStart, task.onFalse});
            else tasks.push_back({left, task.start, task.onTrue, rightStart});
            tasks.push_back({right, rightStart, task.onTrue, task.onFalse});
            continue;
        }
        Step step;
        if (!task.node) step.kind = Step::Kind::Always;  // a missing side accepts, as in evaluation
        else if (IsLeafNode(task.node)) step = CompileLeaf(*task.node);
        step.onTrue = task.onTrue;
        step.onFalse = task.onFalse;
        steps_[static_cast<std::size_t>(task.start)] = std::move(step);
    }
}

bool CompiledCriteria::Matches(std::span<const ColumnValue> row) const {
    std::int32_t at = 0;
    while (at >= 0) {
        const Step& step = steps_[static_cast<std::size_t>(at)];
        at = TestStep(step, row) ? step.onTrue : step.onFalse;
    }
    return at == kAccept;
}

ColumnValue ConvertTextToColumnValue(const char* text, std::uint8_t type, std::uint32_t* length) {
    if (!text) return ColumnValue::Null();
    std::uint32_t ignored = 0;
    if (!length) length = &ignored;
    const std::string_view whole(text);
    try {
        switch (type) {
            case HYL_SQL_NOT_SUPPORTED_TYPE:
            case HYL_SQL_DECIMAL:
            case HYL_SQL_NUMERIC:
            case HYL_SQL_BLOB:
            case HYL_SQL_CLOB:
                // Byte copies take the caller's length, never more than the text holds.
                if (length == &ignored || *length > whole.size())
                    *length = static_cast<std::uint32_t>(whole.size());
                return MakeValue(text, *length);
            case HYL_SQL_TINYINT:
            case HYL_SQL_UNSIGNED_TINYINT:
            case HYL_SQL_SMALLINT:
            case HYL_SQL_UNSIGNED_SMALLINT:
            case HYL_SQL_INT:
            case HYL_SQL_UNSIGNED_INT: {
                const auto value = static_cast<std::uint32_t>(ParseIntegerText(whole));
                *length = 4;
                return MakeValue(&value, 4);
            }
            case HYL_SQL_BIGINT:
            case HYL_SQL_UNSIGNED_LONG_INT: {
                const std::uint64_t value = ParseIntegerText(whole);
                *length = 8;
                return MakeValue(&value, 8);
            }
            case HYL_SQL_FLOAT:
            case HYL_SQL_REAL: {
                const auto value = static_cast<float>(ParseDecimalText(whole));
                *length = 4;
                return MakeValue(&value, 4);
            }
            case HYL_SQL_DOUBLE: {
                const double value = ParseDecimalText(whole);
                *length = 8;
                return MakeValue(&value, 8);
            }
            case HYL_SQL_CHAR:
            case HYL_SQL_CHARACTER:
            case HYL_SQL_TEXT:
                *length = static_cast<std::uint32_t>(whole.size());
                return MakeValue(text, whole.size());
            case HYL_SQL_DATE:
            case HYL_SQL_TIME:
            case HYL_SQL_DATETIME:
                return DateTimeTextToValue(text, length);
            case HYL_SQL_BOOLEAN: {
                unsigned char flag;
                if (EqualsFolded(whole, "TRUE")) flag = 1;
                else if (EqualsFolded(whole, "FALSE")) flag = 0;
                else return ColumnValue::Null();
                *length = 1;
                return MakeValue(&flag, 1);
            }
            default:
                return ColumnValue::Null();
        }
    } catch (const std::exception&) {
        return ColumnValue::Null();
    }
}

std::optional<std::string> ConvertColumnValueToText(const ColumnValue& value, std::uint8_t type) {
    if (value.isNull()) return std::string("NULL");
    try {
        switch (type) {
            case HYL_SQL_TINYINT:
            case HYL_SQL_SMALLINT:
            case HYL_SQL_INT: {
                std::optional<std::int32_t> v = value.As<std::int32_t>();
                return v ? fmt::sprintf("%d", *v) : std::string("NULL");
            }
            case HYL_SQL_UNSIGNED_TINYINT:
            case HYL_SQL_UNSIGNED_SMALLINT:
            case HYL_SQL_UNSIGNED_INT: {
                std::optional<std::uint32_t> v = value.As<std::uint32_t>();
                return v ? fmt::sprintf("%u", *v) : std::string("NULL");
            }
            case HYL_SQL_BIGINT: {
                std::optional<std::int64_t> v = value.As<std::int64_t>();
                return v ? std::to_string(*v) : std::string("NULL");
            }
            case HYL_SQL_UNSIGNED_LONG_INT: {
                std::optional<std::uint64_t> v = value.As<std::uint64_t>();
                return v ? std::to_string(*v) : std::string("NULL");
            }
            case HYL_SQL_FLOAT:
            case HYL_SQL_REAL: {
                std::optional<float> v = value.As<float>();
                return v ? fmt::sprintf("%f", static_cast<double>(*v)) : std::string("NULL");
            }
            case HYL_SQL_DOUBLE: {
                std::optional<double> v = value.As<double>();
                return v ? fmt::sprintf("%f", *v) : std::string("NULL");
            }
            case HYL_SQL_DECIMAL:
            case HYL_SQL_NUMERIC:
            case HYL_SQL_CHAR:
            case HYL_SQL_CHARACTER:
            case HYL_SQL_BLOB:
            case HYL_SQL_CLOB:
            case HYL_SQL_TEXT:
                return std::string(TextOf(value));
            case HYL_SQL_DATE:
            case HYL_SQL_TIME:
            case HYL_SQL_DATETIME:
                return DateTimeValueToText(value, type);
            case HYL_SQL_BOOLEAN:
                return std::string((*value.buffer)[0] == 1 ? "'t'" : "'f'");
            default:
                return std::nullopt;
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void LockCriteriaParser() { LockObject(&kCriteriaParserLockKey); }

void UnlockCriteriaParser() { UnlockObject(&kCriteriaParserLockKey); }
