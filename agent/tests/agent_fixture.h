// Test fixture for the agent parameters: a private machine root with a registry hive
// and a machine profile built from editable tables, and a private log.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "runtime/runtime.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/test_support.h"

// machine.ini makes the POSIX host layer report chosen names, adapters, versions and
// failures; on Windows the machine reports what it is, so such cases cannot run there.
#ifdef _WIN32
#define SKIP_WITHOUT_MACHINE_PROFILE() \
    GTEST_SKIP() << "fakes the machine's answers through machine.ini of the POSIX host layer"
#else
#define SKIP_WITHOUT_MACHINE_PROFILE() static_cast<void>(0)
#endif

struct HiveKey {
    std::map<std::string, std::string> texts;
    std::map<std::string, DWORD> dwords;
};

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetAgentParameters();
        SetResourceIdLookup(nullptr);
        logCapture.reset();  // each case starts with an empty log
        logCapture = std::make_unique<LogCapture>(4);
        root.clear(), server.clear(), systemDetails.clear(), rootDwords.clear(), extraKeys.clear();
        root["EnableDistributionServer"] = "no";
        root["ZQAgentVersion"] = "7.1.0";
        root["AgentServiceName"] = "ZQAgentSvc";
        root["MSPName"] = "Halcyra MSP";
        root["CustomerName"] = "Acme";
        root["CustomerId"] = "AbC12";
        root["ZQProductCode"] = "RQNB";
        root["ZQAgentInstallDir"] = "C:\\Program Files\\Vantorra\\Agent\\";
        root["RemoteOfficeName"] = "Branch 7";
        root["RemoteOfficeID"] = "B7";
        root["EnableRemoteOfficeMgmt"] = "YES";
        rootDwords["HTTPRequestTimeout"] = 90000;
        rootDwords["HTTPConnectionTimeout"] = 15000;
        root["DataTransferRate_KBps"] = "512";
        root["InstallSource"] = "MSI";
        root["InstallMode"] = "2";
        root["EnableDSRoute"] = "no";
        root["EnableChecksum"] = "yes";
        server["ZQServerName"] = "server.example.test";
        server["ZQServerInstalledTime"] = "2024-01-01";
        server["ZQServerFlatName"] = "SERVER";
        server["ZQServerIPAddress"] = "192.0.2.10";
        server["ZQServerSecIPAddress"] = "192.0.2.11";
        server["ZQLastAccessName"] = "server.example.test";
        server["ZQServerPort"] = "8000";
        server["ZQServerProtocol"] = "http";
        systemDetails["ZQAgentResourceID"] = "RES-42";
        profile =
            "[computer]\nname = PC-01\njoin_status = 2\njoin_name = WORKGROUP\n"
            "[network]\nadapter.1 = 3, 00-1A-2B-3C-4D-5E, 10.0.0.5/255.0.0.0, 10.0.0.6/255.0.0.0\n";
    }
    void TearDown() override { SetResourceIdLookup(nullptr); }

    static std::string Escape(const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '\\' || c == '"') out += '\\';
            out += c;
        }
        return out;
    }

    // Writes the hive and machine.ini from the tables.
    void Prepare() {
        std::string hive = "Windows Registry Editor Version 5.00\n\n";
        const auto section = [&hive](const std::string& key, const std::map<std::string, std::string>& texts,
                                     const std::map<std::string, DWORD>& dwords) {
            hive += "[HKEY_LOCAL_MACHINE\\" + key + "]\n";
            for (const auto& [name, value] : texts) hive += "\"" + name + "\"=\"" + Escape(value) + "\"\n";
            for (const auto& [name, value] : dwords) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(value));
                hive += "\"" + name + "\"=dword:" + hex + "\n";
            }
            hive += "\n";
        };
        section(gv_agentRootKey, root, rootDwords);
        section(gv_serverInfoKey, server, {});
        section(gv_systemDetailsKey, systemDetails, {});
        for (const auto& [key, texts] : extraKeys) section(key, texts, {});
        ASSERT_TRUE(testsupport::WriteHive(machine, hive));
        testsupport::WriteFile(machine.path() / "machine.ini", profile);
    }

    int Run() {
        Prepare();
        return InitializeAgentParameters();
    }

    static std::optional<std::string> Registry(const std::string& key, const char* name) {
        std::optional<std::string> value;
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, key.c_str(), name, &value) != ERROR_SUCCESS) return std::nullopt;
        if (value) value->resize(std::strlen(value->c_str()));
        return value;
    }
    // The value as the agent wrote it: UTF-8 text through the wide interface, which on
    // Windows does not pass through the ANSI code page as Registry() does.
    static std::optional<std::string> RegistryUtf8(const std::string& key, const char* name) {
        std::optional<WideString> wide;
        std::string text;
        if (ReadRegSZEx(HKEY_LOCAL_MACHINE, key.c_str(), name, &wide) != ERROR_SUCCESS || !wide ||
            !ConvertWideToUtf8(wide->c_str(), &text))
            return std::nullopt;
        return text;
    }

    // The messages of the log, one per entry, without the entry prefix.
    std::vector<std::string> Messages() const {
        const std::string text = logCapture->text();
        static const std::regex header(R"(\[ \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} \] \[ \d+ \] \[[A-Z]+\] )");
        std::vector<std::string> messages;
        std::vector<std::pair<std::size_t, std::size_t>> starts;  // header begin, message begin
        for (auto it = std::sregex_iterator(text.begin(), text.end(), header); it != std::sregex_iterator(); ++it)
            starts.emplace_back(it->position(), it->position() + it->length());
        for (std::size_t i = 0; i < starts.size(); ++i) {
            const std::size_t end = i + 1 < starts.size() ? starts[i + 1].first : text.size();
            messages.push_back(text.substr(starts[i].second, end - starts[i].second));
        }
        return messages;
    }
    std::string LogText() const { return logCapture->text(); }
    bool Logged(const std::string& message) const {
        for (const auto& m : Messages())
            if (m == message) return true;
        return false;
    }

    testsupport::MachineRoot machine;
    std::unique_ptr<LogCapture> logCapture;
    std::map<std::string, std::string> root, server, systemDetails;
    std::map<std::string, DWORD> rootDwords;
    std::map<std::string, std::map<std::string, std::string>> extraKeys;
    std::string profile;
};
