// Pieces the units of the HTTP client share: text conversions, the progress observer,
// handle closing with the callers' own log lines, and the security and proxy options.
#pragma once

#include <string>

#include "http/http.h"

namespace httpclient {

inline constexpr const WCHAR* kUserAgent = WTEXT("VantorraAgent");
// The certificate errors a request ignores once its key is checked against a pin, or
// when AllowAnyServerCertificate is set (see http.h).
inline constexpr DWORD kIgnoreCertificateFlags = 0x3300;
// Consecutive throttled blocks that bring no byte before the download gives up.
inline constexpr int kMaxRoundsWithoutProgress = 3;

// The calling thread's last error, or `fallback` when a failed call left none.
inline DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

std::string ToUtf8(const WCHAR* wide);
WideString ToWide(const std::string& utf8);
bool IsHttps(const char* protocol);

void ReportProgress(ULONGLONG done, ULONGLONG total);

// Closes one handle unless it is unset, logging a failure at ERROR with the given
// format ("... hRequest --> %d \n") and explaining the code; then marks it unset.
void CloseHandleLogged(HINTERNET* handle, const char* errorFormat, bool explain = true);

// Adds 0x3300 to the request's security flags. False with the error code in *error.
bool IgnoreCertificateErrors(HINTERNET request, DWORD* error);
// Sets proxy user and password when each is longer than one character. False with the
// error code in *error.
bool SetProxyCredentials(HINTERNET request, const WCHAR* proxyUser, const WCHAR* proxyPassword,
                         DWORD* error);

// A WinHTTP failure code with the socket errors some WinHTTP hands through as they are
// (Wine's: 10060 for a time-out, 10053/10054 for a lost connection) given as the WinHTTP
// codes Windows reports for the same events.
DWORD AsWinHttpError(DWORD error);

// Raw response headers as text, or the query's error code.
DWORD QueryRawHeaders(HINTERNET request, WideString* text);
// One response header by name, or the query's error code.
DWORD QueryCustomHeader(HINTERNET request, const WCHAR* name, WideString* value);
// First byte of a 206 answer's Content-Range ("bytes 500-999/1200"); false when absent
// or malformed.
bool ContentRangeStart(HINTERNET request, ULONGLONG* start);

// A failure the agent's tracking counts: the date and the entry in zqerror.log, the
// counter under KRTracking\<detailsKey> raised by one, and LastKRDataModifiedTime.
void RecordTrackedFailure(const char* detailsKey, const char* counterName, const std::string& errorEntry);

}  // namespace httpclient
