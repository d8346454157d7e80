// Reads the machine profile (machine.ini) that stands in for what a Windows machine
// reports about its version, identity and network adapters.
#include "platform/src/machine_profile.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

#include "platform/win/host.h"

namespace host {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

// The value part after '=': a quoted value keeps its blanks; otherwise ';' starts a
// comment and the rest is trimmed.
std::string ParseValue(std::string_view raw) {
    raw = Trim(raw);
    if (!raw.empty() && raw.front() == '"') {
        const auto close = raw.find('"', 1);
        if (close != std::string_view::npos) return std::string(raw.substr(1, close - 1));
    }
    const auto comment = raw.find(';');
    if (comment != std::string_view::npos) raw = raw.substr(0, comment);
    return std::string(Trim(raw));
}

template <typename T>
void ReadNumber(const IniFile& ini, std::string_view section, std::string_view key, T* out) {
    const auto text = ini.get(section, key);
    if (!text || text->empty()) return;
    std::string_view digits = *text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size()) return;  // keep the default
    if (value > static_cast<unsigned long long>(static_cast<T>(~T{0}))) return;
    *out = static_cast<T>(value);
}

void ReadFlag(const IniFile& ini, std::string_view section, std::string_view key, bool* out) {
    DWORD value = *out ? 1 : 0;
    ReadNumber(ini, section, key, &value);
    *out = value != 0;
}

void ReadText(const IniFile& ini, std::string_view section, std::string_view key, std::string* out) {
    if (auto value = ini.get(section, key)) *out = std::move(*value);
}

bool IsIPv4(const std::string& text) {
    in_addr address{};
    return text.size() < 16 && inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// "index, MAC, ip/mask[, ip/mask...]"; nullopt when any part is malformed.
std::optional<ProfileAdapter> ParseAdapter(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        parts.emplace_back(Trim(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (parts.size() < 2) return std::nullopt;
    ProfileAdapter adapter;
    const auto& index = parts[0];
    const auto [end, error] = std::from_chars(index.data(), index.data() + index.size(), adapter.index);
    if (index.empty() || error != std::errc() || end != index.data() + index.size()) return std::nullopt;
    auto mac = ParseHardwareAddress(parts[1]);
    if (!mac) return std::nullopt;
    adapter.mac = std::move(*mac);
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;  // "index, MAC," with nothing after it
        const auto slash = parts[i].find('/');
        if (slash == std::string::npos) return std::nullopt;
        std::string ip = parts[i].substr(0, slash);
        std::string mask = parts[i].substr(slash + 1);
        if (!IsIPv4(ip) || !IsIPv4(mask)) return std::nullopt;
        adapter.addresses.emplace_back(std::move(ip), std::move(mask));
    }
    return adapter;
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    std::string section;
    ini.sections_[section];
    std::size_t pos = 0;
    while (pos <= text.size()) {
        auto eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = Trim(text.substr(pos, eol - pos));
        pos = eol + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close == std::string_view::npos) continue;  // malformed header: ignore the line
            section = Lower(Trim(line.substr(1, close - 1)));
            ini.sections_[section];
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string key = Lower(Trim(line.substr(0, equals)));
        if (key.empty()) continue;
        ini.sections_[section].emplace_back(key, ParseValue(line.substr(equals + 1)));
    }
    return ini;
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
    const auto found = sections_.find(Lower(section));
    if (found == sections_.end()) return std::nullopt;
    const std::string wanted = Lower(key);
    std::optional<std::string> value;
    for (const auto& [name, text] : found->second)
        if (name == wanted) value = text;  // the last occurrence wins
    return value;
}

bool IniFile::hasSection(std::string_view section) const {
    return sections_.count(Lower(section)) != 0;
}

std::vector<std::pair<std::string, std::string>> IniFile::entries(std::string_view section) const {
    const auto found = sections_.find(Lower(section));
    if (found == sections_.end()) return {};
    return found->second;
}

std::optional<std::vector<BYTE>> ParseHardwareAddress(std::string_view text) {
    std::vector<BYTE> bytes;
    std::string digits;
    for (char c : text) {
        if (c == '-' || c == ':' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2 != 0 || digits.size() / 2 > 8) return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

MachineProfile ParseMachineProfile(std::string_view text) {
    const IniFile ini = IniFile::Parse(text);
    MachineProfile p;
    ReadNumber(ini, "os", "major", &p.major);
    ReadNumber(ini, "os", "minor", &p.minor);
    ReadNumber(ini, "os", "build", &p.build);
    ReadNumber(ini, "os", "platform_id", &p.platformId);
    ReadNumber(ini, "os", "service_pack_major", &p.servicePackMajor);
    ReadNumber(ini, "os", "service_pack_minor", &p.servicePackMinor);
    ReadText(ini, "os", "csd_version", &p.csdVersion);
    ReadNumber(ini, "os", "product_type", &p.productType);
    ReadNumber(ini, "os", "suite_mask", &p.suiteMask);
    ReadNumber(ini, "os", "edition", &p.edition);
    ReadNumber(ini, "os", "architecture", &p.architecture);
    ReadFlag(ini, "os", "wow64", &p.wow64);
    ReadFlag(ini, "os", "has_product_info", &p.hasProductInfo);
    ReadFlag(ini, "os", "has_native_system_info", &p.hasNativeSystemInfo);
    ReadFlag(ini, "os", "has_is_wow64_process", &p.hasIsWow64Process);
    ReadNumber(ini, "os", "version_info", &p.versionInfo);

    ReadText(ini, "computer", "name", &p.computerName);
    ReadNumber(ini, "computer", "name_error", &p.nameError);
    ReadNumber(ini, "computer", "join_status", &p.joinStatus);
    ReadText(ini, "computer", "join_name", &p.joinName);
    ReadNumber(ini, "computer", "join_error", &p.joinError);

    ReadText(ini, "domain", "dc_name", &p.dcName);
    ReadText(ini, "domain", "dc_address", &p.dcAddress);
    ReadText(ini, "domain", "domain_name", &p.domainName);
    ReadText(ini, "domain", "forest_name", &p.forestName);
    ReadText(ini, "domain", "dc_site", &p.dcSite);
    ReadText(ini, "domain", "client_site", &p.clientSite);

    // adapter.N in numeric order of N; malformed lines are left out.
    std::vector<std::pair<unsigned long, ProfileAdapter>> numbered;
    for (const auto& [key, value] : ini.entries("network")) {
        if (key == "adapters" && Lower(value) == "none") {
            p.adaptersListed = true;
            continue;
        }
        if (key.rfind("adapter.", 0) != 0) continue;
        p.adaptersListed = true;
        const std::string number = key.substr(8);
        unsigned long n = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), n);
        if (number.empty() || error != std::errc() || end != number.data() + number.size()) continue;
        if (auto adapter = ParseAdapter(value)) numbered.emplace_back(n, std::move(*adapter));
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : numbered) p.adapters.push_back(std::move(entry.second));
    return p;
}

MachineProfile LoadMachineProfile() {
    std::ifstream in(MachineRoot() + "/machine.ini", std::ios::binary);
    if (!in) return MachineProfile{};
    std::ostringstream text;
    text << in.rdbuf();
    return ParseMachineProfile(text.str());
}

}  // namespace host
