// The agent's registry key and the process-wide values the runtime shares with the
// agent parameters (which fill them at start-up).
#pragma once

#include <optional>
#include <string>

// "Software\Halcyra\Vantorra\ZQAgent" below HKEY_LOCAL_MACHINE.
extern std::string gv_agentRootKey;
// ZQAgentInstallDir, verbatim (stored with a trailing backslash); null until read.
extern std::optional<std::string> gv_agentInstallDir;
// AgentServiceName; null until read.
extern std::optional<std::string> gv_agentServiceName;
