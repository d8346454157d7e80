// The resource identifier asked of the stand-in server, as a newly installed agent asks
// for it: through the fail-over from a dead last access address, wrapped per product
// edition, loaded into the store and announced to the agent's service; and the handler's
// own start-up, which fetches the document but loads no dictionary to read it with.
#include <cctype>

#include "http/tests/resource_lookup_fixture.h"
#include "store/store.h"
#include "store/tests/store_fixture.h"
#include "tests/support/standin_server.h"

namespace {

namespace fs = std::filesystem;
using storetest::ClearStore;
using testsupport::ReadFile;
using testsupport::ServiceListener;
using testsupport::StandinServer;

constexpr const char* kDocument = "client-data/abc12/domains/corp/resources/pc-01.xml";

std::string Document(const std::string& rows) {
    return "<?xml version=\"1.0\"?>\n<AgentparamsList>\n" + rows + "</AgentparamsList>\n";
}

class ResourceLookupStandinTest : public ResourceLookupFixture {
protected:
    void SetUp() override {
        ResourceLookupFixture::SetUp();
        gv_clientDataPath = "client-data/ABC12/domains/CORP";  // lower-cased in the request
    }
};

TEST_F(ResourceLookupStandinTest, TheIdentifierComesFromTheServerOrStaysUnset) {
    StandinServer server;
    ServiceListener service(machine.path(), "ZQAgentSvc");
    ASSERT_TRUE(service.bound());
    const std::string found = Document("<Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"
                                       "<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-1001\"/>\n");
    const std::string path = std::string("/") + kDocument;
    struct Case {
        const char* name;
        const char* edition;
        std::optional<std::string> document;  // nullopt: the server does not have it
        DWORD result;
        std::optional<std::string> id;
        std::string target;
        std::string logLine;
    } cases[] = {
        {"found, plain path", "RQNA", found, 0, "RES-1001", path,
         "[INFO] GetResourceIDFromServer : The Resource ID from the server is given  by RES-1001 \n"},
        {"found through clientdatarequest", "RQNB", found, 0, "RES-1001", "/clientdatarequest?fileName=" + path,
         "[INFO] GetResourceIDFromServer : The Resource ID from the server is given  by RES-1001 \n"},
        {"found under zq/", "RQNCX", found, 0, "RES-1001", "/zq/" + path,
         "[INFO] GetResourceIDFromServer : The Resource ID from the server is given  by RES-1001 \n"},
        {"no such row", "RQNB", Document("<Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"), 0,
         std::nullopt, "/clientdatarequest?fileName=" + path,
         "[ERROR] GetResourceIDFromServer : No row objects corresponding to the resource id is found \n"},
        {"NULL value", "RQNA", Document("<Agentparams PARAM_NAME=\"RESOURCE_ID\"/>\n"), 0, std::nullopt, path,
         "[ERROR] GetResourceIDFromServer : The resource id in the resource id xml has no value \n"},
        {"not on the server", "RQNCX", std::nullopt, 404, std::nullopt, "/zq/" + path,
         "[ERROR] GetResourceIDFromServer : Unable to get the reource id xml from " + path +
             " path and the error code is 404 \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearStore();
        ASSERT_TRUE(LoadDataDictFromXMLFile((testsupport::SourceDir() / "data" / "agent_dictionary.xml").string().c_str()));
        deleteValue(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "ZQAgentResourceID");
        fs::remove(server.root() / kDocument);
        if (c.document) server.AddFile(kDocument, *c.document);
        gv_zqProductCode = c.edition;
        gv_serverPort = server.port();
        gv_lastAccessName = "127.0.0.2";  // nothing listens there: the IP address answers
        gv_serverIPAddress = "127.0.0.1";
        const std::size_t before = server.AccessLog().size();
        const int linesBefore = CountInLog(c.logLine);

        std::optional<std::string> id;
        EXPECT_EQ(GetResourceID(&id), c.result);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(RegisteredId(), c.id);
        EXPECT_EQ(c.id ? service.receive() : service.pending(), c.id ? "147" : "");
        EXPECT_EQ(CountInLog(c.logLine), linesBefore + 1) << log->text();
        EXPECT_EQ(gv_lastAccessName, c.result == 0 ? "127.0.0.1" : "127.0.0.2");  // moves only on success
        ASSERT_TRUE(server.WaitForAccessLog(before + 1));
        const auto entries = server.AccessLog();
        ASSERT_EQ(entries.size(), before + 1);
        EXPECT_EQ(entries.back().target, c.target);
        EXPECT_EQ(entries.back().acceptEncoding, "gzip");
    }
}

// The handler's start-up, as the agent starts it, on a machine without the identifier:
// it fails over to the live server, fetches the document and stops at loading it.
TEST_F(ResourceLookupStandinTest, TheHandlersStartUpFetchesTheDocumentButRecordsNothing) {
    StandinServer server;
#ifdef _WIN32
    // The machine's own name, in its workgroup (under Wine the host's name, WORKGROUP).
    char name[256] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameExA(ComputerNamePhysicalDnsHostname, name, &size));
    std::string computer(name, size);
    for (char& c : computer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#else
    const std::string computer = "pc-01";
    testsupport::WriteFile(machine.path() / "machine.ini", "[computer]\nname = PC-01\njoin_status = 2\njoin_name = WORKGROUP\n");
#endif
    const std::string document = "client-data/demo1/domains/workgroup/resources/" + computer + ".xml";
    server.AddFile(document, Document("<Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-5\"/>\n"));
    std::string hive = ReadFile(testsupport::SourceDir() / "tools/standins/agent-config.reg");
    const auto replace = [&hive](const std::string& from, const std::string& to) {
        const auto at = hive.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        hive.replace(at, from.size(), to);
    };
    replace("\"ZQLastAccessName\"=\"server.example.test\"", "\"ZQLastAccessName\"=\"127.0.0.2\"");
    replace("\"ZQServerIPAddress\"=\"192.0.2.10\"", "\"ZQServerIPAddress\"=\"127.0.0.1\"");
    replace("\"ZQServerPort\"=\"8000\"", "\"ZQServerPort\"=\"" + std::to_string(server.port()) + "\"");
    replace("\"ZQAgentVersion\"", "\"ZQAgentInstallDir\"=\"C:\\\\Agent\\\\\"\n\"ZQAgentVersion\"");
    replace("\"ZQAgentResourceID\"=\"RES-1001\"", "");
    ASSERT_TRUE(testsupport::WriteHive(machine, hive));
    ServiceListener service(machine.path(), "ZQAgentSvc");
    const auto handlerLogPath = machine.drivePath('C', "Agent/logs/zqprereqhandler.log");
    fs::remove(handlerLogPath);  // on Windows the real drive, which an earlier run may have used

    // Without options the handler ends after its start-up, with the usage and 13.
    const auto run = testsupport::RunProgram("zqprereqhandler", {}, temp.path());
    EXPECT_EQ(run.code, 13) << run.err;
    const std::string handlerLog = ReadFile(handlerLogPath);
    EXPECT_NE(handlerLog.find("GetResourceIDFromServer : Error occured ("), std::string::npos) << handlerLog;
    EXPECT_NE(handlerLog.find("AgentSendRequest : Last Access Address is 127.0.0.1 \n"), std::string::npos);
    EXPECT_EQ(handlerLog.find("The Resource ID from the server is given"), std::string::npos);
    std::optional<std::string> lastAccess;
    ReadRegSZ(HKEY_LOCAL_MACHINE, gv_serverInfoKey.c_str(), "ZQLastAccessName", &lastAccess);
    EXPECT_EQ(lastAccess, "127.0.0.1");
    EXPECT_FALSE(RegisteredId().has_value());
    EXPECT_EQ(service.pending(), "");
    ASSERT_TRUE(server.WaitForAccessLog(1));
    const auto entry = server.AccessLog().front();
    EXPECT_EQ(entry.status, 200) << entry.target;
    EXPECT_EQ(entry.target, "/clientdatarequest?fileName=/" + document);
}

}  // namespace
