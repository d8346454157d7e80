// State of one criteria parse, shared by the generated scanner and parser: the token
// texts, the subtrees built so far and the error seen. Private to store/criteria.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "store/criteria/criteria.h"

struct CriteriaParseState {
    // Token texts live here until the parse ends, so an aborted parse leaks nothing.
    std::deque<std::string> tokens;
    // Subtrees not yet attached to a parent, oldest first; the newest is the result.
    std::vector<std::unique_ptr<CriteriaNode>> pending;
    // The most recently created node.
    CriteriaNode* lastNode = nullptr;
    bool failed = false;
    std::string error;

    const std::string* KeepToken(const char* text, std::size_t length);
    // The one error routine: records the text and frees everything built so far.
    void Fail(const char* message);

    CriteriaNode* MakeLeaf(const std::string* column, const std::string* literal, unsigned op);
    CriteriaNode* MakeJoin(CriteriaNode* left, CriteriaNode* right, unsigned op);
    // A finished line replaces the result of the lines before it.
    void FinishLine(CriteriaNode* root);
};
