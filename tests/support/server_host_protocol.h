// The line protocol between a Windows test program under Wine and test-server-host, the
// Linux program that starts the test kit's servers for it (nginx, tinyproxy, the scripted
// server, the stand-in server, certificates). One request per connection: a line of
// fields, answered with a line of fields. A field is "key=value" with the value
// percent-encoded, so any text (a scenario, an nginx config block) fits on one line.
// The first field of a request is the command; of an answer "ok" or "error".
#pragma once

#include <cctype>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

namespace testsupport::serverhost {

// The environment variable naming the server host's address ("127.0.0.1:PORT").
inline constexpr const char* kAddressVariable = "VANTORRA_TEST_SERVER_HOST";

using Fields = std::map<std::string, std::string>;

inline std::string Encode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/' || c == ':') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

inline std::string Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            throw std::runtime_error("server host: bad escape in " + text);
        }
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

// Sends one request to the host VANTORRA_TEST_SERVER_HOST names and returns its answer;
// throws with the host's message when it refuses (Windows test programs only).
Fields AskHost(const std::string& verb, const Fields& in);

// "verb key=value ..." (the verb is stored under "" in Fields).
inline std::string Format(const std::string& verb, const Fields& fields) {
    std::string line = verb;
    for (const auto& [key, value] : fields) line += " " + key + "=" + Encode(value);
    return line + "\n";
}

inline Fields Parse(const std::string& line, std::string* verb) {
    Fields fields;
    size_t pos = 0;
    const size_t end = line.find_last_not_of("\r\n");
    const std::string text = end == std::string::npos ? std::string() : line.substr(0, end + 1);
    size_t space = text.find(' ');
    *verb = text.substr(0, space);
    while (space != std::string::npos) {
        pos = space + 1;
        space = text.find(' ', pos);
        const std::string field = text.substr(pos, space == std::string::npos ? std::string::npos : space - pos);
        const size_t equals = field.find('=');
        if (equals == std::string::npos) throw std::runtime_error("server host: field without '=': " + field);
        fields[field.substr(0, equals)] = Decode(field.substr(equals + 1));
    }
    return fields;
}

}  // namespace testsupport::serverhost
