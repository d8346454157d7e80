// Reading the agent log in tests: entries without their timestamp and thread prefix,
// and ordered-subsequence checks over them.
#pragma once

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace installertest {

// "LEVEL message" for every prefixed line of the log text, e.g. "INFO Exit Code : 0".
inline std::vector<std::string> LogEntries(const std::string& text) {
    static const std::regex prefix(
        R"(^\[ \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} \] \[ -?\d+ \] \[(INFO|ERROR|DEBUG|TRACE)\] (.*)$)");
    std::vector<std::string> entries;
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, prefix))
            entries.push_back(match[1].str() + " " + match[2].str());
    }
    return entries;
}

// Empty when every expected entry occurs in order; else the first one missing.
inline std::string MissingInOrder(const std::vector<std::string>& entries,
                                  const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& wanted : expected) {
        while (at < entries.size() && entries[at] != wanted) ++at;
        if (at == entries.size()) return wanted;
        ++at;
    }
    return {};
}

inline int CountEntries(const std::vector<std::string>& entries, const std::string& wanted) {
    int count = 0;
    for (const std::string& entry : entries) count += entry == wanted;
    return count;
}

// Entries starting with the given text, with that text removed.
inline std::vector<std::string> EntriesAfter(const std::vector<std::string>& entries,
                                             const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& entry : entries) {
        if (entry.rfind(start, 0) == 0) found.push_back(entry.substr(start.size()));
    }
    return found;
}

}  // namespace installertest
