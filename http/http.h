// The agent's HTTP client for the Vantorra server and its distribution servers: request
// setup, WinHTTP error texts, plain, throttled and gzip downloads, and uploads. Every
// call is synchronous on the caller's thread and logs through the agent log.
//
// Behaviour kept on purpose:
// - `lastModifiedTime` is one process-wide value: with `ifModifiedSinceEnabled` on, the
//   Last-Modified of the last download is sent as If-Modified-Since with any later URL.
// - A 200 answer to an upload without Content-Length, when a reply is wanted, returns
//   12150 although the data was posted.
// - `DownloadMode` = 1 hands file downloads of InternetGetRequestEx, and every download of
//   InternetGetRequestByBitrate, to the resumable downloader; paths with ".xml" or ".json"
//   always take the plain path.
// - The resumable downloader keeps the counters' read-then-write without a lock, and a
//   first download of a new URL is not counted in DownloadCount.
// - AgentSendRequest fails over on 12002 and 400 after a post too, although the data may
//   have arrived; the last access addresses are process-wide texts without a lock.
// - Bodies and Content-Length are limited to 32 bits (4 GiB - 1), as the wire protocol
//   of the agent counts them; the layer below refuses larger lengths.
//
// Where the older agent trusted any server, this client checks (README, "Security"):
// - https goes out with TLS 1.2 or later only (AllowLegacyTlsVersions adds 1.0 and 1.1);
// - a server certificate is accepted when the system verifies its chain and host name,
//   or else when the SHA-256 of its public key matches the key pin recorded for that
//   server (ServerInfo\ZQServerPublicKeyPin, DistributionServerPublicKeyPin); a configured
//   server without a pin has its first key recorded (trust on first use, with a WARNING).
//   The check runs before any byte of the request goes out. AllowAnyServerCertificate
//   restores the old acceptance of any certificate, with an ERROR line at every request;
// - each redirect followed is logged; one to another host than the one asked is refused
//   (12156) unless AllowRedirectToOtherHosts is set.
//
// Where the older agent could lose or corrupt data, this client does better:
// - a download is written beside its destination and renamed over it, so a failure never
//   leaves a half file under the final name and an older destination stays as it was;
// - a range answer (the time-out recovery, a throttled block) is only appended when it is
//   a 206 starting where the file ends; a 200 restarts the file with the whole body;
// - the throttled download checks the final size (707 when it differs), reports a block
//   that fails before any status with that block's own code, and gives up after a few
//   rounds that bring no bytes;
// - gzip decoding streams in fixed chunks, checks every write, decodes every member and
//   stops at the agent's limits (HTTPMaxGzipSize, HTTPMaxGzipRatio); a GET_DATA body
//   over HTTPMaxDataSize is refused (223) instead of being read into memory;
// - temporary files are created exclusively, never through a link (GET_DATA bodies in a
//   folder only this process's account may enter) and read back through their handle;
// - request and response bodies are logged at TRACE only, with passwords masked;
// - uploads take 64-bit file sizes (over 4 GiB - 1 is refused with 223), grow the reply
//   with the bytes received, log a binary buffer only within its length, add the
//   multipart Content-Type once per request, and never report a short upload as sent;
// - a resumable download holds an advisory lock on its partial file for the whole
//   attempt: a "downloadInProgress" mark whose owner died is resumed, a live owner sends
//   the newcomer to a temporary copy that touches no registered state; a resume answered
//   200 restarts the copy, a 416 or a stored copy longer than the body starts from 0,
//   only a 206 from the requested offset is appended; a short attempt returns 707 and
//   keeps its state; the copy is handed over only when its size is Content-Length; a
//   missing Content-Length is a failure; resuming needs the same non-empty Last-Modified
//   on both sides; a LastRetryTime in the future is stale; InterSaveByteLimit is a
//   clamped flush threshold; bytes past the recorded size (a crash between the append
//   and the registry update) are cut off instead of discarding the whole copy; the
//   partial file is never opened through a link; a resume whose range request fails
//   ends at once, without counting a failure or writing an access-log row; an answer
//   without Last-Modified records an empty stamp, so its copy is never resumed; an
//   attempt whose copy could not be set up delivers nothing and returns 13; without an
//   install folder the access logs and zqerror.log lie beside the repository;
// - the resource id lookup treats an empty param_Value like a missing one (an empty id
//   would be recorded for good), and a failed load never returns 0.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/win/winhttp.h"

// ---- Request modes (the codes callers pass through the whole HTTP layer) ----
inline constexpr DWORD GET_DATA = 11001;           // body wanted in memory
inline constexpr DWORD POST_DATA = 11002;          // post with the agent's time-outs
inline constexpr DWORD DOWNLOAD_FILE = 11003;      // body stored as a file
inline constexpr DWORD POST_DATA_UNTIMED = 11004;  // post with WinHTTP's default time-outs
inline constexpr DWORD POST_MULTIPART = 11005;     // buffer of postLength bytes, multipart type
inline constexpr DWORD POST_BY_BITRATE = 11006;    // file upload

// ---- Result codes beyond HTTP statuses and Windows/WinHTTP error codes ----
inline constexpr DWORD HTTP_RESULT_NOT_MODIFIED = 90001;  // server answered 304
inline constexpr DWORD HTTP_RESULT_PARTIAL = 707;         // stored size differs from Content-Length
inline constexpr DWORD HTTP_RESULT_DATA_UNREADABLE = 6;   // GET_DATA body not readable into memory
inline constexpr DWORD HTTP_RESULT_NOTHING_TO_SEND = 13;
// ERROR_FILE_TOO_LARGE: an upload over 4 GiB - 1, or a body over the agent's size limits.
inline constexpr DWORD HTTP_RESULT_FILE_TOO_LARGE = 223;

// Unset handle marker of HttpRequestHandles (all bits set).
#define HTTP_UNSET_HANDLE (reinterpret_cast<HINTERNET>(static_cast<std::intptr_t>(-1)))

// One request shared between a caller and GetInternetRequestHandle.
struct HttpRequestHandles {
    HINTERNET hSession = HTTP_UNSET_HANDLE;
    HINTERNET hConnect = HTTP_UNSET_HANDLE;
    HINTERNET hRequest = HTTP_UNSET_HANDLE;
    int requestKind = 0;                    // 0 GET, 1 GET with extraHeader (range), 2 HEAD
    const WCHAR* extraHeader = nullptr;  // borrowed from the caller
    DWORD httpStatus = 0;
};
inline constexpr int REQUEST_KIND_GET = 0;
inline constexpr int REQUEST_KIND_GET_EXTRA_HEADER = 1;
inline constexpr int REQUEST_KIND_HEAD = 2;

// Closes hRequest, hConnect and hSession in that order, skipping unset ones; a failing
// close is logged at DEBUG. The fields keep their values.
void CloseRequestHandles(const HttpRequestHandles& handles);

// ---- Conditional requests (process-wide, unguarded: the agent makes one request at a time) ----
extern int ifModifiedSinceEnabled;                       // 1 = If-Modified-Since is sent
extern std::optional<WideString> lastModifiedTime;  // raw Last-Modified of the last download

// ---- Error texts ----
// Logs one ERROR line explaining the code.
void HttpGetLastError(DWORD code);
// The layer's own text for a code of 12001..12184, or null when the system text applies.
const char* HttpErrorText(DWORD code);

// ---- Request setup ----
// Opens session, connection and request, adds the headers, sends and waits for the
// response headers. 0 when they arrived (the status is in handles->httpStatus), 407 when
// the proxy refused the credentials, else the failing call's error code.
DWORD GetInternetRequestHandle(bool useProxy, const char* protocol, const WCHAR* serverName,
                               INTERNET_PORT port, const WCHAR* proxyServer,
                               const WCHAR* proxyBypass, const WCHAR* proxyUser,
                               const WCHAR* proxyPassword, const WCHAR* objectPath,
                               const WCHAR* destinationPath, DWORD requestMode, bool keepAlive,
                               HttpRequestHandles* handles, bool acceptGzip);
// Limits the session to TLS 1.2 and later (1.0 and 1.1 too with AllowLegacyTlsVersions);
// 1, or 0 when the versions could not be limited.
int SetSecureProtocols(HINTERNET session);
// 0 and the Last-Modified value, or the query's error code.
DWORD GetFilelastmodifiedTime(HINTERNET request, std::optional<WideString>* lastModified);

// ---- Downloads ----
// DOWNLOAD_FILE stores the body at destinationPath; GET_DATA puts it into *outData.
DWORD InternetGetRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName,
                           INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                           const WCHAR* proxyUser, const WCHAR* proxyPassword,
                           const WCHAR* objectPath, const WCHAR* destinationPath,
                           std::optional<std::string>* outData, DWORD requestMode, bool keepAlive,
                           bool acceptGzip);
// The same body in ranges of DataTransferRate_KBps x 500 bytes with pauses between them.
DWORD InternetGetRequestByBitrate(bool useProxy, const char* protocol, const WCHAR* serverName,
                                  INTERNET_PORT port, const WCHAR* proxyServer,
                                  const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                  const WCHAR* proxyPassword, const WCHAR* objectPath,
                                  const WCHAR* destinationPath, std::optional<std::string>* outData,
                                  DWORD requestMode, bool keepAlive);
// ResumeGetRequestEx, ResumeGetRequestByBitrate: resumable downloads. The body continues
// from the partial copy kept per URL below the
// install directory ("FileMetaData" in the agent's registry key), in one range
// request (Ex) or in throttled blocks (ByBitrate). Results as InternetGetRequestEx.
DWORD ResumeGetRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName, INTERNET_PORT port,
                         const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUser,
                         const WCHAR* proxyPassword, const WCHAR* objectPath, const WCHAR* destinationPath,
                         std::optional<std::string>* outData, DWORD requestMode, bool keepAlive);
DWORD ResumeGetRequestByBitrate(bool useProxy, const char* protocol, const WCHAR* serverName, INTERNET_PORT port,
                                const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                const WCHAR* proxyPassword, const WCHAR* objectPath,
                                const WCHAR* destinationPath, std::optional<std::string>* outData,
                                DWORD requestMode, bool keepAlive);
// Reads the GET_DATA temporary file of the download running on the calling thread into
// *outData, through the handle that wrote it; 1, or 0 when there is none or it holds more
// than HTTPMaxDataSize bytes.
int LoadDatafromFile(std::optional<std::string>* outData);
// Decodes a gzip file (every member; bytes after the last member that start no other
// one are ignored, as gzip(1) does); source and target may be the same path. True when
// the whole input decoded within HTTPMaxGzipSize and HTTPMaxGzipRatio and was written.
bool DecompressGzipFile(const char* sourcePath, const char* targetPath);

// ---- Uploads ----
// Posts postData (text, or postLength bytes for POST_MULTIPART); the reply, when asked
// for, comes back in *reply.
DWORD InternetSendRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName,
                            INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                            const WCHAR* proxyUser, const WCHAR* proxyPassword,
                            const WCHAR* objectPath, const char* postData,
                            std::optional<std::string>* reply, DWORD requestMode, bool keepAlive,
                            DWORD postLength);
// Streams the file named by filePath in chunks of chunkSize bytes.
DWORD InternetSendRequestByBitRate(bool useProxy, const char* protocol, const WCHAR* serverName,
                                   INTERNET_PORT port, const WCHAR* proxyServer,
                                   const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                   const WCHAR* proxyPassword, const WCHAR* objectPath,
                                   const char* filePath, std::optional<std::string>* reply,
                                   DWORD requestMode, bool keepAlive, DWORD chunkSize);

// ---- Agent requests ----
// The agent's way to the Vantorra server (toZQServer, or no distribution server enabled)
// or the distribution server: the path is shaped for the product edition and the
// server's addresses are tried in fail-over order (last access address, IP address,
// secondary IP address, name, flat name); the address that answered becomes the last
// access address in memory and in the registry. localData is the destination of a
// download (DOWNLOAD_FILE) or the data or file to send; outData receives a GET_DATA body
// or a reply. transferStyle 0 is one request, 1 throttled. 12007 when no address could
// be tried, 13 without a path.
DWORD AgentSendRequest(const char* urlPath, const char* localData, std::optional<std::string>* outData,
                       DWORD requestMode, bool keepAlive, bool toZQServer, DWORD postLength, DWORD transferStyle);

// ---- Resource identifier ----
// Fetches documentPath from the Vantorra server, loads it into the store and returns
// the param_Value of its "Agentparams" row RESOURCE_ID (none when empty or missing).
DWORD HttpResourceIdLookup(const std::string& documentPath, std::optional<std::string>* resourceId);
// Installs HttpResourceIdLookup as the agent's lookup; programs call it once before
// InitializeAgentParameters.
void InstallResourceIdLookup();

// ---- Progress ----
// Called on the transferring thread after each chunk of a download or upload body with
// the bytes moved so far and the expected total (0 when unknown). Empty removes it.
using TransferProgressObserver = std::function<void(ULONGLONG done, ULONGLONG total)>;
// Installs the observer for every later transfer of the process (one at a time).
void SetTransferProgressObserver(TransferProgressObserver observer);
