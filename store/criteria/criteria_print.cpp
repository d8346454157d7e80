// Criteria trees written back as criteria text. The walk keeps its own stack, so trees
// as deep as the parser accepts (or deeper, when built by code) cannot exhaust the
// thread's stack.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/criteria/criteria.h"

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A name the scanner reads back as one identifier token (not the keywords).
bool IsIdentifier(std::string_view name) {
    if (name.empty() || !IsLetter(name[0]) || name == "and" || name == "or") return false;
    for (char c : name)
        if (!IsLetter(c) && !IsDigit(c) && c != '_') return false;
    return true;
}

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

// A literal the scanner reads back as one value token: digits, digits "." digits, or
// quoted text holding neither a quote nor a line feed.
bool IsLiteral(std::string_view text) {
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') {
        return text.substr(1, text.size() - 2).find_first_of("'\n") == std::string_view::npos;
    }
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) return AllDigits(text);
    return AllDigits(text.substr(0, dot)) && AllDigits(text.substr(dot + 1));
}

bool IsJoin(const CriteriaNode* node) {
    return !node->IsLeaf() && (node->op == CRITERIA_AND || node->op == CRITERIA_OR);
}

}  // namespace

std::optional<std::string> PrintCriteria(const CriteriaNode* tree) {
    if (!tree) return std::nullopt;
    // Each item is either a node still to write or a piece of text to append.
    struct Item {
        const CriteriaNode* node;
        const char* text;
    };
    std::string out;
    std::vector<Item> stack{{tree, nullptr}};
    while (!stack.empty()) {
        const Item item = stack.back();
        stack.pop_back();
        if (!item.node) {
            out += item.text;
            continue;
        }
        const CriteriaNode* node = item.node;
        if (node->IsLeaf()) {
            if (node->op < CRITERIA_LT || node->op > CRITERIA_NE || node->left || node->right ||
                !IsIdentifier(*node->columnName) || !IsLiteral(*node->literal))
                return std::nullopt;
            out += *node->columnName;
            out += CriteriaOperatorName(node->op);
            out += *node->literal;
            continue;
        }
        if (!IsJoin(node) || node->columnName || node->literal || !node->left || !node->right)
            return std::nullopt;
        // Pushed in reverse: "(" left ")" op right; the right side needs no parentheses.
        const bool group = IsJoin(node->left.get());
        stack.push_back({node->right.get(), nullptr});
        stack.push_back({nullptr, node->op == CRITERIA_AND ? " and " : " or "});
        if (group) stack.push_back({nullptr, ")"});
        stack.push_back({node->left.get(), nullptr});
        if (group) stack.push_back({nullptr, "("});
    }
    return out;
}

bool CriteriaTreesEqual(const CriteriaNode* a, const CriteriaNode* b) {
    std::vector<std::pair<const CriteriaNode*, const CriteriaNode*>> stack{{a, b}};
    while (!stack.empty()) {
        const auto [x, y] = stack.back();
        stack.pop_back();
        if (!x || !y) {
            if (x != y) return false;
            continue;
        }
        if (x->op != y->op || x->columnName != y->columnName || x->literal != y->literal)
            return false;
        stack.emplace_back(x->left.get(), y->left.get());
        stack.emplace_back(x->right.get(), y->right.get());
    }
    return true;
}
