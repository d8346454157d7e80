// The machine profile (<machine root>/machine.ini): what the emulated Windows machine
// reports about itself. Read afresh on every query so tests can change it at any time.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win/types.h"

namespace host {

// INI text: [section], key = value, ';' comments; values trimmed unless double-quoted.
// Section and key names compare without regard to case. Malformed lines are skipped.
class IniFile {
public:
    static IniFile Parse(std::string_view text);
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    bool hasSection(std::string_view section) const;
    // Keys of a section in file order.
    std::vector<std::pair<std::string, std::string>> entries(std::string_view section) const;

private:
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections_;
};

struct ProfileAdapter {
    DWORD index = 0;
    std::vector<BYTE> mac;                                    // 0 to 8 bytes
    std::vector<std::pair<std::string, std::string>> addresses;  // ip, mask
};

struct MachineProfile {
    // [os]
    DWORD major = 10, minor = 0, build = 19045, platformId = 2;
    WORD servicePackMajor = 0, servicePackMinor = 0;
    std::string csdVersion;
    BYTE productType = 1;
    WORD suiteMask = 0x100;
    DWORD edition = 48;
    WORD architecture = 9;
    bool wow64 = true;
    bool hasProductInfo = true;
    bool hasNativeSystemInfo = true;
    bool hasIsWow64Process = true;        // also covers the WOW64 redirection entry points
    int versionInfo = 2;                  // 2 both sizes work, 1 only the plain one, 0 none
    // [computer]
    std::string computerName;             // empty: the host name
    DWORD nameError = 0;                  // GetComputerNameExW fails with this
    DWORD joinStatus = 2;
    std::string joinName = "WORKGROUP";
    DWORD joinError = 0;                  // NetGetJoinInformation fails with this
    // [domain]
    std::string dcName, dcAddress, domainName, forestName, dcSite, clientSite;
    // [network]
    bool adaptersListed = false;          // adapter.N keys present, or "adapters = none"
    std::vector<ProfileAdapter> adapters;
};

MachineProfile ParseMachineProfile(std::string_view text);
// <machine root>/machine.ini; a missing or unreadable file gives the defaults.
MachineProfile LoadMachineProfile();

// "00-1A-2B-3C-4D-5E", "00:1a:..", "001A2B3C4D5E" or empty; nullopt when malformed.
std::optional<std::vector<BYTE>> ParseHardwareAddress(std::string_view text);

}  // namespace host
