// The parts of the HTTP server fixtures that only read and write the servers' files:
// the same on Linux and, through Wine's Z: drive, for a Windows test program.
#include <strings.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/fixture_files.h"
#include "tests/support/http_fixtures.h"
#include "tests/support/standin_server.h"

namespace testsupport {

namespace fs = std::filesystem;

void MakeReadableByAll(const fs::path& path) {
    std::error_code ignored;
    fs::permissions(path,
                    fs::is_directory(path) ? fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                 fs::perms::others_read | fs::perms::others_exec
                                           : fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                 fs::perms::others_read,
                    ignored);
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    for (;;) {
        const size_t tab = line.find('\t', pos);
        fields.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos) return fields;
        pos = tab + 1;
    }
}

// nginx logs an empty variable as "-".
std::string Field(const std::vector<std::string>& fields, size_t index) {
    if (index >= fields.size() || fields[index] == "-") return {};
    return fields[index];
}

std::uint64_t Number(const std::string& text) {
    try {
        return text.empty() ? 0 : std::stoull(text);
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

std::string NginxServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::httpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort_) + path;
}

std::filesystem::path NginxServer::AddFile(const std::string& relativePath, const std::string& content) {
    const fs::path path = root_ / relativePath;
    fs::create_directories(path.parent_path());
    for (fs::path folder = path.parent_path(); folder != root_ && folder.has_relative_path();
         folder = folder.parent_path()) {
        MakeReadableByAll(folder);
    }
    WriteText(path, content);
    MakeReadableByAll(path);
    return path;
}

std::vector<AccessLogEntry> NginxServer::AccessLog() const { return ParseAccessLog(folder() / "access.log"); }

std::vector<AccessLogEntry> ParseAccessLog(const std::filesystem::path& file) {
    std::vector<AccessLogEntry> entries;
    std::istringstream log(ReadBytes(file));
    for (std::string line; std::getline(log, line);) {
        const auto fields = SplitTabs(line);
        AccessLogEntry entry;
        const std::string request = Field(fields, 0);
        const size_t space = request.find(' ');
        entry.method = request.substr(0, space);
        if (space != std::string::npos) {
            const size_t end = request.find(' ', space + 1);
            entry.target = request.substr(space + 1, end == std::string::npos ? end : end - space - 1);
        }
        entry.status = static_cast<int>(Number(Field(fields, 1)));
        entry.range = Field(fields, 2);
        entry.bytesSent = Number(Field(fields, 3));
        entry.ifModifiedSince = Field(fields, 4);
        entry.acceptEncoding = Field(fields, 5);
        entry.connection = Field(fields, 6);
        entry.userAgent = Field(fields, 7);
        entry.requestLength = Number(Field(fields, 8));
        entry.contentType = Field(fields, 9);
        entry.contentLength = Field(fields, 10);
        entry.scheme = Field(fields, 11);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool NginxServer::WaitForAccessLog(size_t count, std::chrono::milliseconds bound) const {
    return WaitUntil([&] { return AccessLog().size() >= count; }, bound);
}

std::string NginxServer::ErrorLog() const { return ReadBytes(folder() / "error.log"); }

std::string TinyProxy::address() const {
    return std::string(kProxyHost) + ":" + std::to_string(port_);
}

std::string TinyProxy::Log() const { return ReadBytes(folder() / "tinyproxy.log"); }

bool TinyProxy::WaitForLog(const std::string& text, std::chrono::milliseconds bound) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, bound);
}

std::optional<std::string> RecordedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::nullopt;
}

int RecordedRequest::CountHeader(const std::string& name) const {
    int count = 0;
    for (const auto& header : headers) count += strcasecmp(header.first.c_str(), name.c_str()) == 0;
    return count;
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::SetScenario(const std::string& scenarioJson) {
    const fs::path temporary = folder() / "scenario.json.tmp";
    WriteText(temporary, scenarioJson);
    fs::rename(temporary, folder() / "scenario.json");
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
    std::vector<RecordedRequest> requests;
    std::istringstream log(ReadBytes(folder() / "requests.log"));
    for (std::string line; std::getline(log, line);) {
        const auto fields = SplitTabs(line);
        if (fields.size() < 3) continue;
        RecordedRequest request;
        request.number = std::stoi(fields[0]);
        request.bodyLength = Number(fields[1]);
        request.bodySha256 = fields[2];
        request.bodyFile = folder() / ("request-" + fields[0] + ".body");
        request.head = ReadBytes(folder() / ("request-" + fields[0] + ".head"));
        std::istringstream head(request.head);
        std::string headLine;
        std::getline(head, headLine);
        if (!headLine.empty() && headLine.back() == '\r') headLine.pop_back();
        std::istringstream requestLine(headLine);
        requestLine >> request.method >> request.target >> request.version;
        while (std::getline(head, headLine)) {
            if (!headLine.empty() && headLine.back() == '\r') headLine.pop_back();
            if (headLine.empty()) break;
            const size_t colon = headLine.find(':');
            if (colon == std::string::npos) continue;
            std::string value = headLine.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            request.headers.emplace_back(headLine.substr(0, colon), value);
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

bool ScriptedServer::WaitForRequests(size_t count, std::chrono::milliseconds bound) const {
    return WaitUntil([&] { return Requests().size() >= count; }, bound);
}

std::string PatternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u ^ seed;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

std::string StandinServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::filesystem::path StandinServer::AddFile(const std::string& relativePath, const std::string& content) {
    const fs::path path = root_ / relativePath;
    WriteFile(path, content);
    return path;
}

std::vector<AccessLogEntry> StandinServer::AccessLog() const { return ParseAccessLog(state_ / "access.log"); }

bool StandinServer::WaitForAccessLog(size_t count, std::chrono::milliseconds bound) const {
    return WaitUntil([&] { return AccessLog().size() >= count; }, bound);
}

std::vector<StandinPost> StandinServer::Posts() const {
    std::vector<StandinPost> posts;
    std::istringstream log(ReadBytes(state_ / "posts.log"));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        std::istringstream columns(line);
        for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
        if (fields.size() < 7) continue;
        StandinPost post;
        post.number = std::stoi(fields[0]);
        post.status = std::stoi(fields[1]);
        post.bytes = std::stoull(fields[2]);
        post.sha256 = fields[3];
        if (fields[4] != "-") post.declaredSize = std::stoull(fields[4]);
        post.target = fields[5];
        post.contentType = fields[6] == "-" ? "" : fields[6];
        posts.push_back(std::move(post));
    }
    return posts;
}

}  // namespace testsupport
