// gzip decoding between two open files, within the agent's size limits.
#pragma once

#include "platform/platform.h"

namespace httpclient {

struct GzipLimits {
    ULONGLONG maxOutput = 0;            // decoded bytes
    const char* outputSetting = "";     // the agent value that set maxOutput, for the log
    ULONGLONG maxRatio = 0;             // decoded bytes per encoded byte, once past kRatioFloor
};
// The expansion ratio is judged only past this many decoded bytes: small bodies of very
// repetitive text may expand far more without harm.
inline constexpr ULONGLONG kGzipRatioFloor = 1u << 20;

// HTTPMaxGzipSize and HTTPMaxGzipRatio; with `inMemory` the decoded data is also bound by
// HTTPMaxDataSize.
GzipLimits AgentGzipLimits(bool inMemory);

// Decodes the gzip body of `in` (read from its start) into `out`. Every member is decoded;
// bytes after a member that do not start another one end the body, as gzip(1) takes them.
// False when the body is damaged or cut short, passes a limit (logged at ERROR), or a read
// or write fails; `out` may then hold part of the output.
bool DecodeGzip(HANDLE in, HANDLE out, const GzipLimits& limits);

}  // namespace httpclient
