// The server half of the agent's resource identifier lookup: the per-computer document
// is fetched from the Vantorra server, loaded into the in-memory store and searched
// for the RESOURCE_ID parameter. The agent calls it through its lookup hook.
#include "agent/agent.h"
#include "http/http.h"
#include "http/src/log_texts.h"
#include "runtime/runtime.h"
#include "store/store.h"

using httpclient::RedactSecrets;

DWORD HttpResourceIdLookup(const std::string& documentPath, std::optional<std::string>* resourceId) {
    std::optional<std::string> document;
    const DWORD result = AgentSendRequest(documentPath.c_str(), "", &document, GET_DATA, true, true, 0, 0);
    if (result != 0) {
        LogError("GetResourceIDFromServer : Unable to get the reource id xml from %s path and the error code is %d \n",
                 documentPath, result);
        return result;
    }
    const std::string text = document.value_or("");
    SetLastError(ERROR_SUCCESS);
    if (!LoadTableDataFromXMLBuffer(text.data(), text.size())) {
        // A failed load is never reported as success, even when nothing set an error code.
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_INVALID_DATA;
        // A response body reaches the log at TRACE only: the ERROR line names its size.
        LogError("GetResourceIDFromServer : Error occured (%d) while loading resource id buffer to the memory : \n %s \n",
                 error, "<" + std::to_string(text.size()) + " bytes, logged at TRACE>");
        LogTrace("GetResourceIDFromServer : the document that did not load : \n %s \n", RedactSecrets(text));
        return error;
    }
    std::unique_ptr<ResultData> rows = SelectRows("Agentparams", "PARAM_NAME='RESOURCE_ID'");
    if (!rows) {
        LogError("GetResourceIDFromServer :No rows found corresponding to the resource id in the resource id xml .\n");
        return 0;
    }
    if (!GotoNextRowObject(rows.get())) {
        LogError("GetResourceIDFromServer : No row objects corresponding to the resource id is found \n");
        FreeResultData(std::move(rows));
        return 0;
    }
    std::uint32_t length = 0;
    const char* value = GetColumnValueByName("param_Value", &length, rows.get());
    // An empty identifier would be recorded for good and never asked for again.
    if (!value || length == 0) {
        LogError("GetResourceIDFromServer : The resource id in the resource id xml has no value \n");
    } else {
        *resourceId = std::string(value, length);
    }
    FreeResultData(std::move(rows));
    return 0;
}

void InstallResourceIdLookup() { SetResourceIdLookup(HttpResourceIdLookup); }
