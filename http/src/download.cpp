// Downloads: the plain GET with its time-out recovery and gzip decoding, and the
// throttled download in ranges. Both stream into a temporary file beside the
// destination (GET_DATA: in the process's private temporary folder) and hand the result over
// at the end.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "http/src/gzip.h"
#include "http/src/internal.h"
#include "http/src/log_texts.h"
#include "http/src/temp_files.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"

using namespace httpclient;

namespace {

// The range header of a block or a recovery ("Range: bytes=%u-%u").
WideString RangeHeader(ULONGLONG first, ULONGLONG last) {
    return ToWide("Range: bytes=" + std::to_string(first) + "-" + std::to_string(last));
}

// Content-Length as a number; 122 and (when allowed) 12150 count as read with length 0.
DWORD QueryContentLength(HINTERNET request, bool missingIsZero, DWORD* length) {
    DWORD value = 0;
    DWORD size = sizeof value;
    *length = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
        *length = value;
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) return ERROR_SUCCESS;
    if (missingIsZero && error == ERROR_WINHTTP_HEADER_NOT_FOUND) return ERROR_SUCCESS;
    return error;
}

// Whether a range answer may be stored: a 206 starting where the file ends is appended,
// a 200 carries the whole body and restarts the file. Anything else is refused.
enum class RangeAnswer { Append, Restart, Refuse };
RangeAnswer JudgeRangeAnswer(HINTERNET request, DWORD status, ULONGLONG expectedStart) {
    if (status == 200) return RangeAnswer::Restart;
    ULONGLONG start = 0;
    if (status == 206 && ContentRangeStart(request, &start) && start == expectedStart) return RangeAnswer::Append;
    return RangeAnswer::Refuse;
}

bool TruncateFile(HANDLE file) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

ULONGLONG FileSizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? static_cast<ULONGLONG>(size.QuadPart) : 0;
}

// The InternetGetDownloader step: true when DownloadMode is 1 and the resumable
// downloader takes the job (file downloads of the plain operation, any download of the
// throttled one, never ".xml" or ".json" data files).
bool InternetGetDownloaderStep(const WCHAR* serverName, INTERNET_PORT port, const WCHAR* objectPath,
                               bool plainOperation, DWORD requestMode) {
    const std::string path = ToUtf8(objectPath);
    if (path.find(".xml") != std::string::npos || path.find(".json") != std::string::npos) return false;
    LogInfo("InternetGetDownloader : Vantorra Server & Port -> %S : %d \n", serverName, port);
    DWORD mode = 0;
    const DWORD read =
        ReadDwordRegistryData(HKEY_LOCAL_MACHINE, (gv_agentRootKey + "\\Settings").c_str(), "DownloadMode", &mode);
    if (read == ERROR_SUCCESS && mode == 1 && (!plainOperation || requestMode == DOWNLOAD_FILE)) return true;
    if (plainOperation) LogInfo("InternetGetDownloader : Download Mode %d\n", mode);
    return false;
}

// Creates the destination's folder with its parents; false when that failed.
bool CreateDestinationFolder(const WCHAR* destinationPath) {
    const WideString path = destinationPath;
    const std::size_t slash = path.find_last_of(WTEXT("\\/"));
    if (slash == WideString::npos || slash == 0) return true;
    const WideString folder = path.substr(0, slash) + WTEXT("\\");
    const DWORD result = CreateFolder(folder.c_str());
    return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS;
}

// Creates the temporary file of a download: beside the destination for DOWNLOAD_FILE
// ("<destination><thread id>.tmp" unless someone holds that name), in the process's
// private folder for GET_DATA. Another mode stores nothing.
DWORD CreateDownloadFile(DWORD requestMode, const WCHAR* destinationPath, ExclusiveFile* file) {
    const std::string thread = std::to_string(GetCurrentThreadId());
    if (requestMode == DOWNLOAD_FILE) {
        if (!destinationPath) return ERROR_INVALID_PARAMETER;
        return file->Create(destinationPath + ToWide(thread));
    }
    if (requestMode != GET_DATA) return ERROR_PATH_NOT_FOUND;
    std::string folder;
    if (const DWORD error = PrivateTempFolder(&folder)) return error;
    return file->Create(ToWide(folder + "\\zq" + thread));
}

// A GET_DATA body larger than the agent lets into memory is refused before it is read.
bool OverDataLimit(const char* operation, ULONGLONG size) {
    if (size <= gv_httpMaxDataSize) return false;
    LogError("%s : the body of %llu bytes is over the limit of %u bytes for data in memory (HTTPMaxDataSize)\n",
             operation, size, gv_httpMaxDataSize);
    return true;
}

// Loads the GET_DATA file into *outData through its handle; false (logged) when it cannot.
bool LoadDataFile(const ExclusiveFile& file, std::optional<std::string>* outData) {
    const CurrentDataFile current(file);
    return LoadDatafromFile(outData) == 1;
}

// Puts the finished temporary file in place of the destination in one rename, so the
// destination is either the old file or the new one, never a half copy.
DWORD ReplaceDestination(const WideString& tempFile, const WCHAR* destinationPath) {
    const std::string from = ToUtf8(tempFile.c_str());
    const std::string to = ToUtf8(destinationPath);
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error ? error : ERROR_WRITE_FAULT;
}

void LogCloseFailures(HttpRequestHandles* handles, const char* prefix) {
    const std::string p = prefix;
    CloseHandleLogged(&handles->hRequest, (p + " :  Error in WinHttpCloseHandle hRequest --> %d \n").c_str());
    CloseHandleLogged(&handles->hConnect, (p + " :  Error in WinHttpCloseHandle hConnect --> %d \n").c_str());
    CloseHandleLogged(&handles->hSession, (p + " :  Error in WinHttpCloseHandle hSession --> %d \n").c_str());
}

void CloseQuietly(HttpRequestHandles* handles) {
    for (HINTERNET* handle : {&handles->hRequest, &handles->hConnect, &handles->hSession}) {
        if (*handle != HTTP_UNSET_HANDLE) WinHttpCloseHandle(*handle);
        *handle = HTTP_UNSET_HANDLE;
    }
}

// Counts a failed decompression in zqerror.log and the registry.
void RecordDecompressionFailure(const WCHAR* destinationPath) {
    const std::string destination = destinationPath ? ToUtf8(destinationPath) : std::string();
    const LogArg args[] = {destinationPath ? LogArg(destination) : LogArg(nullptr)};
    RecordTrackedFailure("GzipDecompressionDetails", "GZIP_DECOMPRESSION_FAILURE_COUNT",
                         FormatLogText("\tGzip file Decompression failed for the file %s\n", args));
}

// Milliseconds since midnight of a local time.
long long MillisOfDay(const SYSTEMTIME& t) {
    return ((static_cast<long long>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

}  // namespace

int LoadDatafromFile(std::optional<std::string>* outData) {
    const WideString path = CurrentDataFile::Path();
    LogDebug("LoadDatafromFile: tmpDataFilePath, %s\n", ToUtf8(path.c_str()));
    const HANDLE file = CurrentDataFile::Handle();
    if (!outData || file == INVALID_HANDLE_VALUE) return 0;
    std::string text;
    if (ReadDataBack(file, &text) != ERROR_SUCCESS) return 0;
    *outData = std::move(text);
    return 1;
}

DWORD InternetGetRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName,
                           INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                           const WCHAR* proxyUser, const WCHAR* proxyPassword,
                           const WCHAR* objectPath, const WCHAR* destinationPath,
                           std::optional<std::string>* outData, DWORD requestMode, bool keepAlive,
                           bool acceptGzip) {
    if (InternetGetDownloaderStep(serverName, port, objectPath, true, requestMode))
        return ResumeGetRequestEx(useProxy, protocol, serverName, port, proxyServer, proxyBypass, proxyUser,
                                  proxyPassword, objectPath, destinationPath, outData, requestMode, keepAlive);
    LogDebug("@@@@@@@@ Inside InternetGetRequestEx Method @@@@@@@@ \n");
    LogInfo("InternetGetRequestEx : Vantorra Server & Port -> %S : %d \n", serverName, port);
    LogDebug("InternetGetRequestEx : URL to Get -> %S \n", objectPath);

    HttpRequestHandles handles;
    DWORD result = GetInternetRequestHandle(useProxy, protocol, serverName, port, proxyServer, proxyBypass, proxyUser,
                                            proxyPassword, objectPath, destinationPath, requestMode, keepAlive,
                                            &handles, acceptGzip);
    bool gzipBody = false;
    if (acceptGzip) {
        WideString encoding;
        const DWORD error = QueryCustomHeader(handles.hRequest, WTEXT("Content-Encoding"), &encoding);
        if (error == ERROR_SUCCESS) {
            LogDebug("InternetGetRequestEx :  Response Header Informations : %S \n", encoding);
            if (encoding.find(WTEXT("gzip")) != WideString::npos) {
                LogInfo("InternetGetRequestEx : Response Header contains content-Encoding as gzip \n");
                gzipBody = true;
            } else {
                LogInfo("InternetGetRequestEx : Response Header doesn't contain content-Encoding as gzip \n");
            }
        } else if (error == ERROR_WINHTTP_HEADER_NOT_FOUND) {
            LogError("InternetGetRequestEx : Response Header doesn't contain content-Encoding. \n");
        } else {
            LogError("InternetGetRequestEx :  Error in WinHttpQueryHeaders --> %d \n", error);
            HttpGetLastError(error);
        }
    }

    ExclusiveFile tempFile;
    bool fellBack = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD contentLength = 0;
    ULONGLONG total = 0;

    do {  // steps that end by jumping to the closing of the handles
        if (result != ERROR_SUCCESS) break;
        if (handles.httpStatus == 304) {
            LogInfo("InternetGetRequestEx :File not modified since the time: %S\n", lastModifiedTime);
            result = HTTP_RESULT_NOT_MODIFIED;
            break;
        }
        if (handles.httpStatus != 200) {
            LogError("InternetGetRequestEx : Failed with the http status code, %d \n", handles.httpStatus);
            result = handles.httpStatus;
            break;
        }
        if (ifModifiedSinceEnabled == 1) GetFilelastmodifiedTime(handles.hRequest, &lastModifiedTime);
        const DWORD lengthError = QueryContentLength(handles.hRequest, true, &contentLength);
        if (lengthError != ERROR_SUCCESS) {
            LogError("InternetGetRequestEx :  Error in Content Length Header -> %d \n", lengthError);
            HttpGetLastError(lengthError);
            result = lengthError;
            break;
        }
        LogInfo("InternetGetRequestEx : Content Length of the request file: %u Bytes\n", contentLength);
        if (requestMode == GET_DATA && OverDataLimit("InternetGetRequestEx", contentLength)) {
            result = HTTP_RESULT_FILE_TOO_LARGE;
            break;
        }

        if (requestMode == DOWNLOAD_FILE && destinationPath && !CreateDestinationFolder(destinationPath))
            LogError("InternetGetRequestEx : Failed to create the destination directory for the destination file %S \n",
                     destinationPath);
        const DWORD createError = CreateDownloadFile(requestMode, destinationPath, &tempFile);
        file = tempFile.handle();
        if (createError != ERROR_SUCCESS) {
            LogError("InternetGetRequestEx : Error occured while creating the file --> %d \n", createError);
            HttpGetLastError(createError);
            result = createError;
            break;
        }

        std::vector<char> buffer;
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(handles.hRequest, &available)) {
                DWORD error = AsWinHttpError(GetLastError());
                LogError("InternetGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n", error);
                HttpGetLastError(error);
                if (error != ERROR_WINHTTP_TIMEOUT) {
                    result = error;
                    break;
                }
                // Time-out: ask again for what is still missing.
                LogInfo("Total Bytes read so far:%u\n", total);
                LogInfo("InternetGetRequestEx : second attempt to recover from previous error\n");
                LogCloseFailures(&handles, "InternetGetRequestEx");
                const WideString range = RangeHeader(total, contentLength);
                LogDebug("InternetGetRequestByBitrate: Content-Range Header message: %S\n", range);
                handles = HttpRequestHandles{};
                handles.requestKind = REQUEST_KIND_GET_EXTRA_HEADER;
                handles.extraHeader = range.c_str();
                error = GetInternetRequestHandle(useProxy, protocol, serverName, port, proxyServer, proxyBypass,
                                                 proxyUser, proxyPassword, objectPath, destinationPath, requestMode,
                                                 keepAlive, &handles, false);
                handles.extraHeader = nullptr;
                if (error != ERROR_SUCCESS) {
                    result = error;
                    break;
                }
                // Only the missing bytes may join the file: a 206 from where it ends, or a
                // 200 with the whole body that replaces what was there.
                const RangeAnswer answer = JudgeRangeAnswer(handles.hRequest, handles.httpStatus, total);
                if (answer == RangeAnswer::Refuse) {
                    LogError("InternetGetRequestEx : Failed with the http status code, %d \n", handles.httpStatus);
                    result = handles.httpStatus == 206 ? ERROR_WINHTTP_INVALID_SERVER_RESPONSE : handles.httpStatus;
                    break;
                }
                if (answer == RangeAnswer::Restart) {
                    if (!TruncateFile(file)) {
                        result = GetLastError();
                        LogError("InternetGetRequestEx :  Error in WriteFile --> %d \n", result);
                        break;
                    }
                    total = 0;
                }
                if (!WinHttpQueryDataAvailable(handles.hRequest, &available)) {
                    error = AsWinHttpError(GetLastError());
                    LogError("InternetGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n", error);
                    HttpGetLastError(error);
                    result = error;
                    break;
                }
            }
            if (available == 0) break;
            buffer.resize(static_cast<std::size_t>(available) + 1);
            DWORD read = 0;
            if (!WinHttpReadData(handles.hRequest, buffer.data(), available, &read)) {
                const DWORD error = AsWinHttpError(GetLastError());
                LogError("InternetGetRequestEx :  Error in WinHttpReadData --> %d \n", error);
                HttpGetLastError(error);
                result = error;
                break;
            }
            total += read;
            DWORD written = 0;
            if (read > 0 && (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)) {
                const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
                LogError("InternetGetRequestEx :  Error in WriteFile --> %d \n", error);
                result = error;
                break;
            }
            ReportProgress(total, contentLength);
            // Without a Content-Length only the limit bounds what a GET_DATA body may bring.
            if (requestMode == GET_DATA && OverDataLimit("InternetGetRequestEx", total)) {
                result = HTTP_RESULT_FILE_TOO_LARGE;
                break;
            }
            if (total == contentLength) {
                LogInfo("Bytes read reached the contenlength\n");
                break;
            }
            if (read == 0) break;
        }

        LogInfo("InternetGetRequestEx : Total bytes read = %u\n", total);
        if (result == ERROR_SUCCESS) {
            const ULONGLONG size = FileSizeOf(file);
            if (size == contentLength) {
                LogInfo("InternetGetRequestEx : GetFileSize returns :  %u\n", size);
                LogInfo("InternetGetRequestEx : File completely downloaded..!\n");
            } else {
                result = HTTP_RESULT_PARTIAL;
                LogInfo("InternetGetRequestEx : Error in downloading..!\n");
                LogInfo("InternetGetRequestEx : Only partial file downloaded. GetFileSize returns :  %u\n", size);
            }
        }
        if (!FlushFileBuffers(file) && result == ERROR_SUCCESS) {
            result = LastErrorOr(ERROR_WRITE_FAULT);
            LogError("InternetGetRequestEx :  Error in WriteFile --> %d \n", result);
        }
        // The file stays open: what it holds is read back through this handle.
        file = INVALID_HANDLE_VALUE;
    } while (false);

    LogCloseFailures(&handles, "InternetGetRequestEx");

    if (result == ERROR_SUCCESS && acceptGzip && gzipBody) {
        LogInfo("InternetGetRequestEx : Successfully downloaded the Gzip compressed file from the server %S \n",
                serverName);
        LogDebug("InternetGetRequestEx : Need to decompress the file\n");
        // Decoded into a second file of the same kind, which then takes the place of the first.
        ExclusiveFile decoded;
        if (CreateDownloadFile(requestMode, destinationPath, &decoded) == ERROR_SUCCESS &&
            DecodeGzip(tempFile.handle(), decoded.handle(), AgentGzipLimits(requestMode == GET_DATA))) {
            LogInfo("InternetGetRequestEx : File Decompressed successfully.\n");
            tempFile = std::move(decoded);
        } else {
            LogError("InternetGetRequestEx : File Decompression failure. So need to download the original file.\n");
            decoded.Discard();
            tempFile.Discard();
            lastModifiedTime.reset();  // the repeat must not be answered with 304
            result = InternetGetRequestEx(useProxy, protocol, serverName, port, proxyServer, proxyBypass, proxyUser,
                                          proxyPassword, objectPath, destinationPath, outData, requestMode, keepAlive,
                                          false);
            RecordDecompressionFailure(destinationPath);
            fellBack = true;
        }
    }

    if (result == ERROR_SUCCESS && !fellBack) {
        if (requestMode == GET_DATA) {
            if (LoadDataFile(tempFile, outData)) {
                LogTrace("Data in memory : %s\n", RedactSecrets(**outData));
            } else {
                LogError("InternetGetRequestEx: could n't read the data from .tmp file \n");
                result = HTTP_RESULT_DATA_UNREADABLE;
            }
        } else {
            tempFile.Close();
            const DWORD error = ReplaceDestination(tempFile.path(), destinationPath);
            if (error == ERROR_SUCCESS) {
                tempFile.Forget();
                LogInfo(
                    "InternetGetRequestEx : Successfully downloaded the file %S from the server %S to the destination "
                    "file %S \n",
                    objectPath, serverName, destinationPath);
            } else {
                result = error;
                LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", tempFile.path(), destinationPath);
                LogErrorMessage(error);
            }
        }
    }

    tempFile.Discard();
    LogDebug("@@@@@@@@ End Of InternetGetRequestEx Method @@@@@@@@ \n");
    return result;
}

DWORD InternetGetRequestByBitrate(bool useProxy, const char* protocol, const WCHAR* serverName,
                                  INTERNET_PORT port, const WCHAR* proxyServer,
                                  const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                  const WCHAR* proxyPassword, const WCHAR* objectPath,
                                  const WCHAR* destinationPath, std::optional<std::string>* outData,
                                  DWORD requestMode, bool keepAlive) {
    if (InternetGetDownloaderStep(serverName, port, objectPath, false, requestMode))
        return ResumeGetRequestByBitrate(useProxy, protocol, serverName, port, proxyServer, proxyBypass, proxyUser,
                                         proxyPassword, objectPath, destinationPath, outData, requestMode, keepAlive);
    LogDebug("@@@@@@@@ Inside InternetGetRequestByBitrate Method @@@@@@@@ \n");
    LogInfo("InternetGetRequestByBitrate : Vantorra Server & Port -> %S : %d \n", serverName, port);
    LogDebug("InternetGetRequestByBitrate : URL to Get -> %S \n", objectPath);
    (void)keepAlive;  // the size request and every block keep the connection alive

    ExclusiveFile tempFile;
    HttpRequestHandles handles;
    handles.requestKind = REQUEST_KIND_HEAD;
    DWORD result = GetInternetRequestHandle(useProxy, protocol, serverName, port, proxyServer, proxyBypass, proxyUser,
                                            proxyPassword, objectPath, destinationPath, requestMode, true, &handles,
                                            false);
    HANDLE file = INVALID_HANDLE_VALUE;
    ULONGLONG total = 0;
    DWORD contentLength = 0;

    do {
        if (result != ERROR_SUCCESS) break;
        if (handles.httpStatus == 304) {
            LogInfo("InternetGetRequestByBitrate : File not modified since the time: %S\n", lastModifiedTime);
            result = HTTP_RESULT_NOT_MODIFIED;
            break;
        }
        if (handles.httpStatus != 200) {
            LogError("InternetGetRequestByBitrate : Failed with the http status code: %d \n", handles.httpStatus);
            result = handles.httpStatus;
            break;
        }
        if (ifModifiedSinceEnabled == 1) GetFilelastmodifiedTime(handles.hRequest, &lastModifiedTime);
        const DWORD lengthError = QueryContentLength(handles.hRequest, false, &contentLength);
        if (lengthError != ERROR_SUCCESS) {
            LogError("InternetGetRequestByBitrate :  Error in Content Length Header -> %d \n", lengthError);
            HttpGetLastError(lengthError);
            result = lengthError;
            break;
        }
        LogInfo("InternetGetRequestByBitrate : Content Length of the request file: %u Bytes\n", contentLength);
        CloseQuietly(&handles);
        if (requestMode == GET_DATA && OverDataLimit("InternetGetRequestByBitrate", contentLength)) {
            result = HTTP_RESULT_FILE_TOO_LARGE;
            break;
        }

        if (requestMode == DOWNLOAD_FILE && destinationPath && !CreateDestinationFolder(destinationPath))
            LogError(
                "InternetGetRequestByBitrate : Failed to create the destination directory for the destination file "
                "%S \n",
                destinationPath);
        const DWORD createError = CreateDownloadFile(requestMode, destinationPath, &tempFile);
        file = tempFile.handle();
        if (createError != ERROR_SUCCESS) {
            LogError("InternetGetRequestByBitrate: Error occured while creating the file --> %d \n", createError);
            HttpGetLastError(createError);
            result = createError;
            break;
        }

        // DataTransferRate_KBps 0 means no throttling: the rest of the file in one block.
        const ULONGLONG blockSize = static_cast<ULONGLONG>(gv_dataTransferRateKBps) * 500;
        LogDebug("InternetGetRequestByBitrate: Block of bytes to read: %u\n", blockSize);

        std::vector<char> buffer;
        bool timeoutMark = false;
        bool finished = false;
        int roundsWithoutProgress = 0;
        DWORD lastBlockError = ERROR_SUCCESS;
        while (total < contentLength && !finished) {
            SYSTEMTIME started{};
            winhttp_seam::GetLocalTime(&started);
            const ULONGLONG blockStart = total;
            const ULONGLONG blockEnd =
                blockSize ? std::min<ULONGLONG>(blockStart + blockSize - 1, contentLength) : contentLength;
            const WideString range = RangeHeader(blockStart, blockEnd);
            LogDebug("InternetGetRequestByBitrate: Content-Range Header message: %S\n", range);

            handles = HttpRequestHandles{};
            handles.requestKind = REQUEST_KIND_GET_EXTRA_HEADER;
            handles.extraHeader = range.c_str();
            const DWORD blockResult = GetInternetRequestHandle(useProxy, protocol, serverName, port, proxyServer,
                                                               proxyBypass, proxyUser, proxyPassword, objectPath,
                                                               destinationPath, requestMode, true, &handles, false);
            handles.extraHeader = nullptr;
            LogDebug("InternetGetRequestByBitrate: GetInternetRequestHandle function return code: %u\n", blockResult);
            if (blockResult == ERROR_WINHTTP_TIMEOUT) {
                result = ERROR_WINHTTP_TIMEOUT;
                break;
            }
            const DWORD status = handles.httpStatus;
            if (status != 200 && status != 206) {
                LogError("InternetGetRequestByBitrate : Failed with the http status code %d \n", status);
                // A block that failed before any status reports its own failure.
                result = status != 0 ? status : (blockResult != ERROR_SUCCESS ? blockResult : ERROR_WINHTTP_CONNECTION_ERROR);
                break;
            }
            const RangeAnswer answer = JudgeRangeAnswer(handles.hRequest, status, blockStart);
            if (answer == RangeAnswer::Refuse) {
                LogError("InternetGetRequestByBitrate : Failed with the http status code %d \n", status);
                result = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
                break;
            }
            if (answer == RangeAnswer::Restart && blockStart > 0) {
                // The server ignored the range and sends the whole body: start the file over.
                if (!TruncateFile(file)) {
                    result = GetLastError();
                    LogError("InternetGetRequestByBitrate :  Error in WriteFile --> %d \n", result);
                    break;
                }
                total = 0;
            }

            lastBlockError = ERROR_SUCCESS;
            for (;;) {
                DWORD available = 0;
                if (!WinHttpQueryDataAvailable(handles.hRequest, &available)) {
                    const DWORD error = AsWinHttpError(GetLastError());
                    LogError("InternetGetRequestByBitrate : Error occured in WinHttpQueryDataAvailable --> %d \n", error);
                    HttpGetLastError(error);
                    if (error == ERROR_WINHTTP_TIMEOUT) {
                        CloseQuietly(&handles);
                        if (timeoutMark) {
                            result = ERROR_WINHTTP_TIMEOUT;
                            finished = true;
                        } else {
                            timeoutMark = true;
                        }
                    } else {
                        lastBlockError = error;
                    }
                    break;
                }
                timeoutMark = false;
                LogDebug("InternetGetRequestByBitrate: Bytes Available to read now: %u\n", available);
                if (available == 0) break;
                buffer.resize(static_cast<std::size_t>(available) + 1);
                DWORD read = 0;
                if (!WinHttpReadData(handles.hRequest, buffer.data(), available, &read)) {
                    const DWORD error = AsWinHttpError(GetLastError());
                    LogError("InternetGetRequestByBitrate :  Error in WinHttpReadData --> %d \n", error);
                    HttpGetLastError(error);
                    result = error;
                    finished = true;
                    break;
                }
                total += read;
                DWORD written = 0;
                if (read > 0 && (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)) {
                    const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
                    LogError("InternetGetRequestByBitrate :  Error in WriteFile --> %d \n", error);
                    HttpGetLastError(error);
                    result = error;
                    finished = true;
                    break;
                }
                ReportProgress(total, contentLength);
                if (read == 0) break;
            }
            if (finished) break;
            LogDebug("InternetGetRequestByBitrate: Bytes Read: %d\n", total);
            if (timeoutMark) {
                LogInfo("InternetGetRequestByBitrate : second attempt of the previous request\n");
                continue;
            }
            CloseQuietly(&handles);
            result = ERROR_SUCCESS;
            // A server that answers every block without sending bytes is not asked forever.
            if (total == blockStart) {
                if (++roundsWithoutProgress >= kMaxRoundsWithoutProgress) {
                    result = lastBlockError != ERROR_SUCCESS ? lastBlockError : HTTP_RESULT_PARTIAL;
                    break;
                }
            } else {
                roundsWithoutProgress = 0;
            }
            SYSTEMTIME now{};
            winhttp_seam::GetLocalTime(&now);
            const long long elapsed = MillisOfDay(now) - MillisOfDay(started);
            winhttp_seam::Sleep(elapsed >= 0 && elapsed < 450 ? static_cast<DWORD>(600 - elapsed) : 100);
        }

        if (!FlushFileBuffers(file) && result == ERROR_SUCCESS) {
            result = LastErrorOr(ERROR_WRITE_FAULT);
            LogError("InternetGetRequestByBitrate :  Error in WriteFile --> %d \n", result);
        }
        // The stored size must be the announced one, else the file is not handed over.
        const ULONGLONG size = FileSizeOf(file);
        if (result == ERROR_SUCCESS && size != contentLength) {
            result = HTTP_RESULT_PARTIAL;
            LogInfo("InternetGetRequestByBitrate : Only partial file downloaded. GetFileSize returns :  %u\n", size);
        }
        file = INVALID_HANDLE_VALUE;  // read back through tempFile's handle
        LogInfo("InternetGetRequestByBitrate: Total bytes read = %u\n", total);
    } while (false);

    CloseQuietly(&handles);

    if (result == ERROR_SUCCESS) {
        if (requestMode == GET_DATA) {
            if (LoadDataFile(tempFile, outData)) {
                LogTrace("Data in memory : %s\n", RedactSecrets(**outData));
            } else {
                LogError("InternetGetRequestByBitrate: could n't read the data from .tmp file \n");
                result = HTTP_RESULT_DATA_UNREADABLE;
            }
        } else {
            tempFile.Close();
            const DWORD error = ReplaceDestination(tempFile.path(), destinationPath);
            if (error == ERROR_SUCCESS) {
                tempFile.Forget();
                LogInfo("InternetGetRequestByBitrate : Successfully downloaded the file %S from the server %S\n",
                        objectPath, serverName);
            } else {
                LogError("InternetGetRequestByBitrate : could n't copy from .tmp file, errorcode --> %d \n", error);
                result = error;
            }
        }
    }
    tempFile.Discard();
    LogDebug("@@@@@@@@ End Of InternetGetRequestByBitrate Method @@@@@@@@ \n");
    return result;
}
