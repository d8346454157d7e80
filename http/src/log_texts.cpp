// Masking of passwords in the bodies the HTTP client logs at TRACE.
#include "http/src/log_texts.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "agent/agent.h"

namespace httpclient {

namespace {

constexpr std::string_view kMask = "****";
constexpr std::string_view kPasswordNames[] = {"password", "passwd", "pwd"};

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }

// Where the value of the password-like name found at `at` (of `length` characters)
// lies: [*begin, *end). False when the name is not followed by a value of its own.
bool ValueOfName(std::string_view text, std::size_t at, std::size_t length, std::size_t* begin, std::size_t* end,
                 std::size_t* nameEnd) {
    std::size_t start = at;
    while (start > 0 && IsNameChar(text[start - 1])) --start;
    std::size_t i = at + length;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    *nameEnd = i;
    if (i < text.size() && (text[i] == '"' || text[i] == '\'')) ++i;  // a quoted name, as in JSON
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= text.size()) return false;
    const char separator = text[i];
    if (separator == '>') {
        // Only an opening tag <name> holds the value; </name> is the end of one.
        if (start == 0 || text[start - 1] != '<') return false;
        *begin = i + 1;
        *end = std::min(text.find('<', *begin), text.size());
        return true;
    }
    if (separator != '=' && separator != ':') return false;
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
        // Up to the closing quote; a quote escaped with a backslash is part of the value.
        const char quote = text[i];
        *begin = i + 1;
        *end = *begin;
        while (*end < text.size() && text[*end] != quote) *end += text[*end] == '\\' ? 2 : 1;
        *end = std::min(*end, text.size());
        return true;
    }
    *begin = i;
    *end = i;
    while (*end < text.size() && !std::strchr("&;, \t\r\n<>\"'}", text[*end])) ++*end;
    return true;
}

void MaskLiteral(std::string* text, const std::string& secret) {
    for (std::size_t at = text->find(secret); at != std::string::npos; at = text->find(secret, at + kMask.size()))
        text->replace(at, secret.size(), kMask);
}

}  // namespace

std::string RedactSecrets(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t hit = std::string::npos;
        std::size_t length = 0;
        for (std::string_view name : kPasswordNames) {
            const std::size_t at = lower.find(name, position);
            if (at < hit) hit = at, length = name.size();
        }
        if (hit == std::string::npos) break;
        std::size_t begin = 0, end = 0, nameEnd = 0;
        if (ValueOfName(text, hit, length, &begin, &end, &nameEnd) && end > begin && begin >= copied) {
            out.append(text.substr(copied, begin - copied));
            out.append(kMask);
            copied = end;
            position = end;
        } else {
            position = nameEnd;
        }
    }
    out.append(text.substr(copied));
    // The proxy password is known by its value, wherever a body repeats it.
    if (gv_proxyPassword && gv_proxyPassword->size() > 1) MaskLiteral(&out, *gv_proxyPassword);
    return out;
}

}  // namespace httpclient
