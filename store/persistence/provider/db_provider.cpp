// Secrets of connection parameters, kept out of every log line.
#include "store/persistence/provider/db_provider.h"

#include "store/foundation/text_utils.h"

namespace {

// The value of one "key=value" attribute starting at `at`, and where the attribute ends.
// A value in braces runs to the closing brace ("}}" is a brace inside it).
std::string AttributeValue(const std::string& text, std::size_t* at) {
    std::string value;
    while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
    std::size_t i = *at;
    if (i < text.size() && text[i] == '{') {
        for (++i; i < text.size(); ++i) {
            if (text[i] == '}') {
                if (i + 1 < text.size() && text[i + 1] == '}') {
                    value += '}';
                    ++i;
                    continue;
                }
                ++i;
                break;
            }
            value += text[i];
        }
    }
    const std::size_t end = text.find(';', i);
    if (value.empty()) value = text.substr(*at, (end == std::string::npos ? text.size() : end) - *at);
    *at = end == std::string::npos ? text.size() : end + 1;
    return value;
}

}  // namespace

std::vector<std::string> ConnectionSecrets(const ConnectionParams& params) {
    std::vector<std::string> secrets;
    if (params.password && !params.password->empty()) secrets.push_back(*params.password);
    if (!params.connString) return secrets;
    const std::string& text = *params.connString;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t equals = text.find('=', at);
        if (equals == std::string::npos) break;
        std::string key = text.substr(at, equals - at);
        const std::size_t first = key.find_first_not_of(" \t");
        const std::size_t last = key.find_last_not_of(" \t");
        key = first == std::string::npos ? std::string() : key.substr(first, last - first + 1);
        at = equals + 1;
        std::string value = AttributeValue(text, &at);
        std::size_t valueStart = equals + 1;
        while (valueStart < text.size() && (text[valueStart] == ' ' || text[valueStart] == '\t')) ++valueStart;
        if (CompareNoCase(key.c_str(), "PWD") != 0 && CompareNoCase(key.c_str(), "PASSWORD") != 0) continue;
        if (!value.empty()) secrets.push_back(value);
        // The value as written (brace-quoted), in case a driver echoes it that way.
        std::size_t end = at > valueStart && text[at - 1] == ';' ? at - 1 : at;
        while (end > valueStart && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
        if (end > valueStart) secrets.push_back(text.substr(valueStart, end - valueStart));
    }
    return secrets;
}

std::string WithoutSecrets(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 4))
            text.replace(at, secret.size(), "****");
    }
    return text;
}
