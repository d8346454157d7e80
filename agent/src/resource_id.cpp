// The agent's resource identifier: taken from the registry, else looked up on the
// server under the customer's client data path and recorded for later starts.
#include <strings.h>

#include "agent/agent.h"
#include "agent/src/internal.h"
#include "runtime/runtime.h"

namespace {
ResourceIdLookup& Lookup() {
    static ResourceIdLookup lookup;
    return lookup;
}

constexpr int kMaxResourceIdLength = 255;

// The server's identifier ends up in the registry and in paths and messages built from
// it: only printable text of at most 255 characters, without path separators, and not a
// folder name of its own ("." or "..").
bool IsAcceptableResourceId(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    if (id.size() > static_cast<std::size_t>(kMaxResourceIdLength) * 4) return false;
    const int length = static_cast<int>(id.size());
    const int characters = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, id.data(), length, nullptr, 0);
    if (characters <= 0 || characters > kMaxResourceIdLength) return false;
    WideString wide(static_cast<std::size_t>(characters), WTEXT('\0'));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, id.data(), length, wide.data(), characters) != characters)
        return false;
    for (const WCHAR c : wide) {
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
        if (control || c == '/' || c == '\\') return false;
    }
    return true;
}
}  // namespace

void SetResourceIdLookup(ResourceIdLookup lookup) { Lookup() = std::move(lookup); }

DWORD GetResourceID(std::optional<std::string>* resourceId) {
    const DWORD result = agent_detail::ReadText(gv_systemDetailsKey, "ZQAgentResourceID", resourceId);
    if (result == ERROR_SUCCESS) return 0;
    LogError("GetResourceID : Unable to get the ZQ Agent Resource ID from Registry , So trying to get the same from server .\n");
    // At log-off there is no time for a server round trip.
    if (gv_sessionEventName && strcasecmp(gv_sessionEventName->c_str(), "LOGOFF") == 0) return result;
    return GetResourceIDFromServer(resourceId);
}

DWORD GetResourceIDFromServer(std::optional<std::string>* resourceId) {
    const std::string computerName = gv_localComputerName.value_or("");
    std::string dataPath = gv_clientDataPath.value_or("");
    LogInfo("gv_clientDataPath: %s\n", gv_clientDataPath);
    LogInfo("gv_localComputerName: %s\n", gv_localComputerName);
    LogInfo("clientDataPathTemp: %s\n", dataPath);
    LogInfo("localComputerLwr: %s\n", computerName);

    std::optional<WideString> domainWide;
    if (ReadRegSZEx(HKEY_LOCAL_MACHINE, gv_systemDetailsKey.c_str(), "LocalDomainName", &domainWide) == ERROR_SUCCESS &&
        domainWide) {
        std::string domainName;
        if (ConvertWideToUtf8(domainWide->c_str(), &domainName)) {
            LogInfo("domainNameFromReg: %s\n", domainName);
            dataPath = FindAndReplaceWithNoCase(dataPath.c_str(), gv_clientNamespace.value_or("").c_str(),
                                                domainName.c_str());
            LogInfo("clientDataPathTemp: %s", dataPath);
        }
    }
    const std::string lowerPath = agent_detail::LowerUnicode(dataPath);
    LogInfo("lower_CDPath: %s\n", lowerPath);
    const std::string lowerName = agent_detail::LowerUnicode(computerName);
    LogInfo("lower_compName: %s\n", lowerName);
    const std::string documentPath = "/" + lowerPath + "/resources/" + lowerName + ".xml";
    LogInfo("resourceIdXmlPath: %s\n", documentPath);

    if (!Lookup()) {
        LogError("GetResourceIDFromServer : Unable to get the reource id xml from %s path and the error code is %d \n",
                 documentPath, ERROR_CALL_NOT_IMPLEMENTED);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    std::optional<std::string> found;
    const DWORD result = Lookup()(documentPath, &found);
    if (result != 0) return result;
    if (found && !IsAcceptableResourceId(*found)) {
        // The value itself is not logged: it may hold line breaks and control characters.
        LogError("GetResourceIDFromServer : The resource id from the server is refused: it is not printable text of "
                 "at most 255 characters without path separators (%u bytes) \n",
                 static_cast<unsigned>(found->size()));
        return ERROR_INVALID_DATA;
    }
    if (found) {
        LogInfo("GetResourceIDFromServer : The Resource ID from the server is given  by %s \n", found);
        agent_detail::WriteText(gv_systemDetailsKey, "ZQAgentResourceID", found->c_str());
        SendServiceMsgToAgent(147);
        *resourceId = std::move(found);
    }
    return 0;
}
