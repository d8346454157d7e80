// Process-wide agent values shared by the runtime and the agent parameters.
#include "runtime/agent_key.h"

std::string gv_agentRootKey = "Software\\Halcyra\\Vantorra\\ZQAgent";
std::optional<std::string> gv_agentInstallDir;
std::optional<std::string> gv_agentServiceName;
