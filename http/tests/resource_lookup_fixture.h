// An agent whose resource identifier is looked up on the server: parameters of a machine
// "PC-01" with its client data path, the agent service key, and the lookup installed.
#pragma once

#include <optional>
#include <string>

#include "http/tests/http_client_fixture.h"
#include "store/store.h"
#include "store/tests/store_fixture.h"

class ResourceLookupFixture : public HttpClientTest {
protected:
    void SetUp() override {
        HttpClientTest::SetUp();
        storetest::ClearStore();
        ResetAgentParameters();
        gv_agentInstallDir = std::string("C:\\Agent\\");
        gv_tempDir = temp.str();
        gv_agentServiceName = "ZQAgentSvc";
        gv_clientDataPath = "client-data/abc12/domains/corp";
        gv_localComputerName = "PC-01";
        gv_serverProtocol = "http";
        ASSERT_EQ(addRegistryKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\ZQAgentSvc"), 0u);
        InstallResourceIdLookup();
    }
    void TearDown() override {
        SetResourceIdLookup(nullptr);
        storetest::ClearStore();
        ResetAgentParameters();
        gv_agentServiceName.reset();
        HttpClientTest::TearDown();
    }
    static std::optional<std::string> RegisteredId() {
        std::optional<std::string> value;
        ReadRegSZ(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "ZQAgentResourceID", &value);
        return value;
    }
};
