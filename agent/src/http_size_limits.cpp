// The size limits of the HTTP client: how much of a body may be held in memory and how
// far a gzip body may expand, from REG_DWORD values under the agent key. A missing or
// zero value takes the default; a value below the floor is raised to it, since a limit
// that small would refuse every answer.
#include <algorithm>

#include "agent/agent.h"
#include "runtime/runtime.h"

DWORD gv_httpMaxDataSize = kDefaultHttpMaxDataSize;
DWORD gv_httpMaxGzipSize = kDefaultHttpMaxGzipSize;
DWORD gv_httpMaxGzipRatio = kDefaultHttpMaxGzipRatio;

namespace {

constexpr DWORD kMinimumSize = 1u << 20;
constexpr DWORD kMinimumRatio = 10;

DWORD ReadLimit(const char* valueName, DWORD fallback, DWORD floor) {
    DWORD value = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, gv_agentRootKey.c_str(), valueName, &value) != ERROR_SUCCESS ||
        value == 0)
        return fallback;
    return std::max(value, floor);
}

}  // namespace

void ReadHttpSizeLimits() {
    gv_httpMaxDataSize = ReadLimit("HTTPMaxDataSize", kDefaultHttpMaxDataSize, kMinimumSize);
    gv_httpMaxGzipSize = ReadLimit("HTTPMaxGzipSize", kDefaultHttpMaxGzipSize, kMinimumSize);
    gv_httpMaxGzipRatio = ReadLimit("HTTPMaxGzipRatio", kDefaultHttpMaxGzipRatio, kMinimumRatio);
    LogInfo("InitializeAgentDetails : HTTP size limits : data in memory %u bytes, gzip expansion %u bytes, ratio %u\n",
            gv_httpMaxDataSize, gv_httpMaxGzipSize, gv_httpMaxGzipRatio);
}

void ResetHttpSizeLimits() {
    gv_httpMaxDataSize = kDefaultHttpMaxDataSize;
    gv_httpMaxGzipSize = kDefaultHttpMaxGzipSize;
    gv_httpMaxGzipRatio = kDefaultHttpMaxGzipRatio;
}
