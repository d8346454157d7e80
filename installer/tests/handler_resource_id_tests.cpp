// The handler's own start-up asks the Vantorra server for a missing resource id: the
// document is fetched through the agent's addressing, and since the handler loads no data
// dictionary the load fails, is logged, and nothing is recorded.
#include "installer/tests/handler_machine.h"
#include "tests/support/http_fixtures.h"

namespace {

using namespace installertest;

TEST(HandlerStartUp, AMissingResourceIdIsAskedForAndTheLoadFailsWithoutADictionary) {
    testsupport::NginxServer nginx;
    HandlerMachine machine;
    machine.Prepare("itunes64", {"--agent-config"});
    const std::string serverInfo = "\"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\\ServerInfo\"";
    ASSERT_EQ(machine.Reg("add " + serverInfo + " /v ZQLastAccessName /t REG_SZ /d 127.0.0.1 /f"), 0);
    ASSERT_EQ(machine.Reg("add " + serverInfo + " /v ZQServerPort /t REG_SZ /d " + std::to_string(nginx.port()) +
                               " /f"),
              0);
    ASSERT_EQ(machine.Reg("delete \"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\\SystemDetails\" /v "
                           "ZQAgentResourceID /f"),
              0);

    // First run: the server does not have the document.
    HandlerRun run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_TRUE(nginx.WaitForAccessLog(1));
    const auto first = nginx.AccessLog().front();
    EXPECT_NE(first.target.find("/resources/"), std::string::npos) << first.target;
    EXPECT_EQ(first.status, 404);
    EXPECT_NE(run.logText.find("GetResourceIDFromServer : Unable to get the reource id xml from "), std::string::npos);

    // Second run: the document is there and is fetched, but the handler's store has no
    // definition of "Agentparams".
    const std::string marker = "resourceIdXmlPath: ";
    const auto at = run.logText.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string path = run.logText.substr(at + marker.size(), run.logText.find('\n', at) - at - marker.size());
    nginx.AddFile(path.substr(1),
                  "<AgentparamsList><Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-5\"/></AgentparamsList>");
    run = machine.Run({"-n", "itunes64", "-p", machine.Archive()});
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_TRUE(nginx.WaitForAccessLog(2));
    EXPECT_EQ(nginx.AccessLog()[1].status, 200);
    EXPECT_NE(run.logText.find("GetResourceIDFromServer : Error occured ("), std::string::npos);
    EXPECT_EQ(run.logText.find("The Resource ID from the server is given"), std::string::npos);
    EXPECT_NE(machine.Reg("query \"HKLM\\Software\\Halcyra\\Vantorra\\ZQAgent\\SystemDetails\" /v ZQAgentResourceID"),
              0);
}

}  // namespace
