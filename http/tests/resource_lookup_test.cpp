// The resource identifier from the server, end to end: the agent's start-up step with the
// HTTP lookup installed, nginx serving the per-computer document, the store loading it,
// and the registry value and service notification that follow.
#include "http/tests/resource_lookup_fixture.h"
#include "store/store.h"
#include "store/tests/store_fixture.h"

namespace {

namespace fs = std::filesystem;
using storetest::ClearStore;
using testsupport::NginxServer;

using testsupport::ServiceListener;

constexpr const char* kDocumentPath = "client-data/abc12/domains/corp/resources/pc-01.xml";

class ResourceLookupTest : public ResourceLookupFixture {
protected:
    void SetUp() override {
        ResourceLookupFixture::SetUp();
        gv_zqProductCode = "RQNA";
    }
    static void LoadAgentDictionary() {
        ASSERT_TRUE(LoadDataDictFromXMLFile((testsupport::SourceDir() / "data" / "agent_dictionary.xml").string().c_str()));
    }
};

std::string Document(const std::string& rows) {
    return "<?xml version=\"1.0\"?>\n<AgentparamsList>\n" + rows + "</AgentparamsList>\n";
}

TEST_F(ResourceLookupTest, DocumentsFromTheServer) {
    NginxServer nginx;
    gv_serverPort = nginx.port();
    gv_serverIPAddress = "127.0.0.1";
    gv_lastAccessName = "127.0.0.2";  // refused: the lookup fails over like any agent request
    ServiceListener service(machine.path(), "ZQAgentSvc");
    ASSERT_TRUE(service.bound());
    struct Case {
        const char* name;
        std::optional<std::string> document;  // nullopt: not on the server
        DWORD result;
        std::optional<std::string> id;
        std::string logLine;
    } cases[] = {
        {"identifier found",
         Document("<Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"
                  "<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-1001\"/>\n"),
         0, "RES-1001", "[INFO] GetResourceIDFromServer : The Resource ID from the server is given  by RES-1001 \n"},
        {"no such row", Document("<Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"), 0, std::nullopt,
         "[ERROR] GetResourceIDFromServer : No row objects corresponding to the resource id is found \n"},
        {"NULL value", Document("<Agentparams PARAM_NAME=\"RESOURCE_ID\"/>\n"), 0, std::nullopt,
         "[ERROR] GetResourceIDFromServer : The resource id in the resource id xml has no value \n"},
        {"empty value", Document("<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"\"/>\n"), 0, std::nullopt,
         "[ERROR] GetResourceIDFromServer : The resource id in the resource id xml has no value \n"},
        {"not on the server", std::nullopt, 404, std::nullopt,
         "[ERROR] GetResourceIDFromServer : Unable to get the reource id xml from /" + std::string(kDocumentPath) +
             " path and the error code is 404 \n"},
        {"not a document", std::string("<AgentparamsList><Agentparams"), 13, std::nullopt,
         // The body itself goes to TRACE only.
         "[ERROR] GetResourceIDFromServer : Error occured (13) while loading resource id buffer to the memory : \n "
         "<29 bytes, logged at TRACE> \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStore();
        LoadAgentDictionary();
        deleteValue(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "ZQAgentResourceID");
        fs::remove(nginx.root() / kDocumentPath);
        if (c.document) nginx.AddFile(kDocumentPath, *c.document);
        const int linesBefore = CountInLog(c.logLine);

        std::optional<std::string> id;
        EXPECT_EQ(GetResourceID(&id), c.result);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(RegisteredId(), c.id);
        EXPECT_EQ(service.pending(), c.id ? "147" : "");
        EXPECT_EQ(CountInLog(c.logLine), linesBefore + 1) << log->text();
    }
    EXPECT_TRUE(log->has("[TRACE] GetResourceIDFromServer : the document that did not load : \n "
                         "<AgentparamsList><Agentparams \n"));
    // Every request asked for the lower-cased path, and the address that answered stays.
    for (const auto& entry : nginx.AccessLog()) EXPECT_EQ(entry.target, "/" + std::string(kDocumentPath));
    EXPECT_EQ(gv_lastAccessName, "127.0.0.1");

    // With the identifier registered, the next start asks nobody.
    const std::size_t requests = nginx.AccessLog().size();
    deleteValue(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "ZQAgentResourceID");
    writeValue(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "ZQAgentResourceID", "RES-7", REG_SZ);
    std::optional<std::string> id;
    EXPECT_EQ(GetResourceID(&id), 0u);
    EXPECT_EQ(id, "RES-7");
    EXPECT_EQ(nginx.AccessLog().size(), requests);
}

// The handler starts no store: its lookup downloads the document and stops at loading it.
TEST_F(ResourceLookupTest, WithoutDictionaryTheLoadFailsAndNothingIsRecorded) {
    NginxServer nginx;
    nginx.AddFile(kDocumentPath, Document("<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-1\"/>\n"));
    gv_serverPort = nginx.port();
    gv_lastAccessName = "127.0.0.1";
    std::optional<std::string> id;
    const DWORD result = GetResourceID(&id);
    EXPECT_NE(result, 0u);
    EXPECT_FALSE(id.has_value());
    EXPECT_FALSE(RegisteredId().has_value());
    EXPECT_NE(log->text().find("[ERROR] GetResourceIDFromServer : Error occured ("), std::string::npos);
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    EXPECT_EQ(nginx.AccessLog().front().acceptEncoding, "gzip");
}

}  // namespace
