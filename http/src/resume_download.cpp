// Resumable downloads: a pre-request for status, Last-Modified and Content-Length, then
// the rest of the body from where the stored partial copy ends, in one range request or
// in throttled blocks. Bytes are buffered up to InterSaveByteLimit and appended to the
// partial file at each fill, so a crash loses at most one buffer.
#include <algorithm>
#include <charconv>
#include <new>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "http/src/log_texts.h"
#include "http/src/resume_handler.h"
#include "http/src/temp_files.h"
#include "platform/win/host.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"

using namespace httpclient;

namespace {

constexpr const char* kAccessLogHeader =
    "DATE\t\t\tSTART_TIME\t                         FILE_NAME\tMODE\t\t\t\tT_BYTES\tSTATUS\tRECEVD_BYTES\tEND_TIME\t"
    "SERVER_NAME\t\tPORT\tURL\n"
    "----------------------------------------------------------------------------------------------------------------"
    "------------------------------";
static_assert(std::char_traits<char>::length(kAccessLogHeader) == 262, "the access log header is 262 characters");

// How many appends one InterSaveByteLimit is split into, so that flushing and recording
// one part overlaps the transfer of the next.
constexpr DWORD kSavesPerBuffer = 4;

bool IsConnectionLoss(DWORD code) {
    return code == ERROR_WINHTTP_TIMEOUT || code == ERROR_WINHTTP_CANNOT_CONNECT ||
           code == ERROR_WINHTTP_CONNECTION_ERROR;
}

// The results after which the buffered rest is saved and the state kept for a retry.
bool KeepsState(DWORD code) { return code == ERROR_SUCCESS || code == HTTP_RESULT_PARTIAL || IsConnectionLoss(code); }

std::string RangeText(DWORD first, DWORD last) {
    return "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

class ResumeDownloader {
public:
    ResumeDownloader(const char* method, bool useProxy, const char* protocol, const WCHAR* serverName,
                     INTERNET_PORT port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                     const WCHAR* proxyUser, const WCHAR* proxyPassword, const WCHAR* objectPath,
                     const WCHAR* destinationPath, std::optional<std::string>* outData, DWORD requestMode,
                     bool keepAlive)
        : method_(method),
          useProxy_(useProxy),
          protocol_(protocol ? protocol : "http"),
          serverName_(serverName ? serverName : WTEXT("")),
          port_(port),
          proxyServer_(proxyServer),
          proxyBypass_(proxyBypass),
          proxyUser_(proxyUser),
          proxyPassword_(proxyPassword),
          objectPath_(objectPath ? objectPath : WTEXT("")),
          destinationPath_(destinationPath ? destinationPath : WTEXT("")),
          outData_(outData),
          requestMode_(requestMode),
          keepAlive_(keepAlive) {
        std::string time;
        GetCurrentTimeText(true, &time);
        char text[64];
        std::snprintf(text, sizeof text, "%s\t\t%10s", GetCurrentDateShort(), time.c_str());
        startTimeText_ = text;
    }
    ~ResumeDownloader() { CloseQuietly(); }

    DWORD RunOneRequest();
    DWORD RunInBlocks();

private:
    // Anything but GET_DATA stores a file: without a destination nothing is fetched.
    DWORD CheckArguments() const {
        if (requestMode_ != GET_DATA && destinationPath_.empty()) {
            LogError("%s : no destination file for the download\n", method_);
            return ERROR_INVALID_PARAMETER;
        }
        return ERROR_SUCCESS;
    }
    DWORD PreDownloadHandling();
    void PostDownloadHandling(DWORD* result);
    void PrintHTTPAccessLog(DWORD result);

    // After the pre-request: the handler's state decides where the body continues.
    // True when the stored copy is already whole.
    bool PrepareState();
    DWORD OpenRange(DWORD first, DWORD last, bool keepAlive);
    // Judges a range answer: 0 to read it, else the code that ends the attempt.
    DWORD AcceptRangeAnswer(DWORD requestResult, DWORD expectedStart, bool* restart);
    void RestartFromZero();
    DWORD Flush(bool keepInProgress);
    // Waits for the write-behind saves; a failure of one becomes *result. True then.
    bool FinishSaves(DWORD* result);
    // Reads what is available into the buffer (saving it first when full). 0, or the
    // failing code; *read is 0 at the end of the body.
    DWORD ReadChunk(DWORD available, DWORD* read);
    // True when the answer being read ended before its own Content-Length: a connection
    // lost, which Windows' WinHTTP reports as 12030 and Wine's as the end of the body.
    bool AnswerCutShort() const;
    void CountFailure(DWORD result);
    // Ends ResumeGetRequestEx after its range request failed: handles closed, a temporary
    // copy removed, no counters, no access-log row.
    DWORD EndWithoutBookkeeping(DWORD result);
    void CloseQuietly();
    std::string Prefix(const char* text) const { return method_ + text; }

    std::string method_;
    bool useProxy_;
    std::string protocol_;
    WideString serverName_;
    INTERNET_PORT port_;
    const WCHAR* proxyServer_;
    const WCHAR* proxyBypass_;
    const WCHAR* proxyUser_;
    const WCHAR* proxyPassword_;
    WideString objectPath_;
    WideString destinationPath_;
    std::optional<std::string>* outData_;
    DWORD requestMode_;
    bool keepAlive_;

    DownloadResumeHandler handler_;
    HttpRequestHandles handles_;
    WideString rangeHeader_;
    std::string serverLastModified_;
    DWORD contentLength_ = 0;
    DWORD bytesSoFar_ = 0;
    DWORD answerBytes_ = 0;  // of the answer being read
    std::vector<char> buffer_;
    DWORD fill_ = 0;
    std::string startTimeText_;
};

void ResumeDownloader::CloseQuietly() {
    for (HINTERNET* handle : {&handles_.hRequest, &handles_.hConnect, &handles_.hSession}) {
        if (*handle != HTTP_UNSET_HANDLE) WinHttpCloseHandle(*handle);
        *handle = HTTP_UNSET_HANDLE;
    }
}

DWORD ResumeDownloader::PreDownloadHandling() {
    try {
        HttpRequestHandles pre;
        pre.requestKind = REQUEST_KIND_GET;
        const DWORD result = GetInternetRequestHandle(useProxy_, protocol_.c_str(), serverName_.c_str(), port_,
                                                      proxyServer_, proxyBypass_, proxyUser_, proxyPassword_,
                                                      objectPath_.c_str(), destinationPath_.c_str(), requestMode_,
                                                      keepAlive_, &pre, false);
        handles_ = pre;
        if (result != ERROR_SUCCESS) {
            LogError("PreDownloadHandling: ERROR in GetInternetRequestHandle - %d\n", result);
            CloseQuietly();
            return result;
        }
        if (pre.httpStatus == 304) {
            LogInfo("PreDownloadHandling :File not modified since the time: %S\n", lastModifiedTime);
            CloseQuietly();
            return HTTP_RESULT_NOT_MODIFIED;
        }
        if (pre.httpStatus != 200) {
            LogError("PreDownloadHandling : Failed with the http status code, %d \n", pre.httpStatus);
            CloseQuietly();
            return pre.httpStatus;
        }
        // The stamp recorded with the copy is this answer's own: without a Last-Modified it
        // is empty (and the copy never resumed), whatever an earlier download left in
        // lastModifiedTime.
        std::optional<WideString> stamp;
        if (GetFilelastmodifiedTime(pre.hRequest, &stamp) != ERROR_SUCCESS) stamp.reset();
        if (ifModifiedSinceEnabled == 1 && stamp) lastModifiedTime = stamp;
        serverLastModified_ = stamp ? ToUtf8(stamp->c_str()) : std::string();

        DWORD length = 0;
        DWORD size = sizeof length;
        if (WinHttpQueryHeaders(pre.hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX)) {
            contentLength_ = length;
            LogInfo("PreDownloadHandling : Content Length of the request file: %u Bytes\n", contentLength_);
            CloseQuietly();
            if (requestMode_ == GET_DATA && contentLength_ > gv_httpMaxDataSize) {
                LogError("PreDownloadHandling : the body of %u bytes is over the limit of %u bytes for data in memory "
                         "(HTTPMaxDataSize)\n",
                         contentLength_, gv_httpMaxDataSize);
                return HTTP_RESULT_FILE_TOO_LARGE;
            }
            return ERROR_SUCCESS;
        }
        // Without a length nothing tells when the copy is whole: that is a failure, not
        // an empty or complete file.
        const DWORD error = LastErrorOr(ERROR_WINHTTP_HEADER_NOT_FOUND);
        LogError("PreDownloadHandling :  Error in Content Length Header -> %d \n", error);
        HttpGetLastError(error);
        CloseQuietly();
        return error;
    } catch (...) {
        LogError("preDownloadHandling failed\n");
        CloseQuietly();
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

void ResumeDownloader::PrintHTTPAccessLog(DWORD result) {
    try {
        // Beside the download repository, also when no install folder is set.
        const std::string folder = AgentFilesFolder();
        const std::string name =
            folder + (result == ERROR_SUCCESS ? "logs\\downloadSuccessAccess.log" : "logs\\downloadFailureAccess.log");
        LogDebug("downloadaccesslog : %s \n", name);
        CreateFolder(ToWide(folder + "logs\\").c_str());
        std::FILE* file = host::MappedFopen(name.c_str(), "ab");
        if (!file) return;
        // A new (empty) file starts with the header.
        if (std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0) std::fputs(kAccessLogHeader, file);
        const std::string urlText = ToUtf8(objectPath_.c_str());
        std::optional<std::string> fileName = GetLastUrlFileName(urlText.c_str());
        if (!fileName || fileName->empty()) fileName = "--";
        std::string endTime;
        GetCurrentTimeText(true, &endTime);
        const std::string server = ToUtf8(serverName_.c_str());
        std::string row;
        char piece[512];
        std::snprintf(piece, sizeof piece, "\n %20s\t", startTimeText_.c_str());
        row += piece;
        std::snprintf(piece, sizeof piece, "\t%30s", fileName->c_str());
        row += piece;
        std::snprintf(piece, sizeof piece, "\t%12s", requestMode_ == DOWNLOAD_FILE ? "DownloadFile" : "GetData");
        row += piece;
        std::snprintf(piece, sizeof piece, "\t%10lu\t%5ld\t%10lu", static_cast<unsigned long>(contentLength_),
                      static_cast<long>(result), static_cast<unsigned long>(bytesSoFar_));
        row += piece;
        std::snprintf(piece, sizeof piece, "\t%10s\t", endTime.c_str());
        row += piece;
        std::snprintf(piece, sizeof piece, "\t%15s\t%6d\t", server.c_str(), static_cast<int>(port_));
        row += piece + urlText;
        std::fwrite(row.data(), 1, row.size(), file);
        std::fclose(file);
    } catch (...) {
        LogError("Error caught in PrintHTTPAccessLog");
    }
}

void ResumeDownloader::PostDownloadHandling(DWORD* result) {
    try {
        LogInfo("Proceeding for PostDownloadHandling \n");
        CloseQuietly();
        std::vector<char>().swap(buffer_);
        fill_ = 0;
        if (*result == ERROR_SUCCESS && handler_.partialFilePath.empty()) {
            // No copy was ever set up (its state could not be recorded): nothing to deliver.
            LogError("PostDownloadHandling : no partial file for the download\n");
            *result = HTTP_RESULT_NOTHING_TO_SEND;
        } else if (*result == ERROR_SUCCESS) {
            if (requestMode_ == GET_DATA) {
                // The body must be whole before it is handed over as data.
                if (handler_.PartialFileSizeOnDisk() != contentLength_) {
                    handler_.CleanFileAndRegistry();
                    *result = HTTP_RESULT_PARTIAL;
                } else if (handler_.LoadDatafromFile(outData_)) {
                    if (outData_) LogTrace("PostDownloadHandling Data in memory : %s\n", RedactSecrets(**outData_));
                } else {
                    LogError("PostDownloadHandling : could n't read the data from .tmp file \n");
                    *result = HTTP_RESULT_DATA_UNREADABLE;
                }
            } else {
                const DWORD saved = handler_.SaveToDestFile(contentLength_);
                if (saved != ERROR_SUCCESS) {
                    LogInfo("PostDownloadHandling : failed\n");
                    *result = saved;
                } else {
                    LogInfo(
                        "PostDownloadHandling : Successfully downloaded the file %S from the server %S to the "
                        "destination file %S \n",
                        objectPath_, serverName_, destinationPath_);
                }
            }
        }
        // A temporary copy is never resumed: it goes whatever the outcome.
        if (handler_.temporaryDownload) handler_.CleanFileAndRegistry();
    } catch (...) {
        LogError("Error caught in PostDownloadHandling\n");
    }
    PrintHTTPAccessLog(*result);
}

bool ResumeDownloader::PrepareState() {
    handler_.Initialize(destinationPath_, serverLastModified_, objectPath_);
    // A stored copy longer than the body cannot belong to it.
    if (handler_.storedPartialSize > contentLength_) handler_.PreDownloadCleaningOfPartialFile();
    bytesSoFar_ = handler_.storedPartialSize;
    return handler_.storedPartialSize == contentLength_;
}

void ResumeDownloader::RestartFromZero() {
    fill_ = 0;
    handler_.PreDownloadCleaningOfPartialFile();
    bytesSoFar_ = 0;
}

DWORD ResumeDownloader::OpenRange(DWORD first, DWORD last, bool keepAlive) {
    CloseQuietly();
    rangeHeader_ = ToWide(RangeText(first, last));
    answerBytes_ = 0;
    handles_ = HttpRequestHandles{};
    handles_.requestKind = REQUEST_KIND_GET_EXTRA_HEADER;
    handles_.extraHeader = rangeHeader_.c_str();
    const DWORD result = GetInternetRequestHandle(useProxy_, protocol_.c_str(), serverName_.c_str(), port_,
                                                  proxyServer_, proxyBypass_, proxyUser_, proxyPassword_,
                                                  objectPath_.c_str(), destinationPath_.c_str(), requestMode_,
                                                  keepAlive, &handles_, false);
    handles_.extraHeader = nullptr;
    return result;
}

DWORD ResumeDownloader::AcceptRangeAnswer(DWORD requestResult, DWORD expectedStart, bool* restart) {
    *restart = false;
    const DWORD status = handles_.httpStatus;
    // A request that failed before any status reports its own failure.
    if (status == 0) return requestResult != ERROR_SUCCESS ? requestResult : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    if (status == 200) {
        // The range was ignored: the whole body follows and replaces the copy.
        if (expectedStart != 0 || bytesSoFar_ != 0 || fill_ != 0) {
            LogInfo("%s : range ignored by the server, downloading the whole file again\n", method_);
            RestartFromZero();
        }
        *restart = true;
        return ERROR_SUCCESS;
    }
    if (status == 206) {
        ULONGLONG start = 0;
        if (ContentRangeStart(handles_.hRequest, &start) && start == expectedStart) return ERROR_SUCCESS;
        LogError("%s : Failed with the http status code, %d \n", method_, status);
        return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    }
    LogError("%s : Failed with the http status code, %d \n", method_, status);
    return status;
}

bool ResumeDownloader::FinishSaves(DWORD* result) {
    const DWORD failure = handler_.WaitForSaves();
    if (failure == ERROR_SUCCESS) return false;
    // A save that failed in the background ends the attempt as a failed save would
    // have; ReadChunk already reported it when it ended the loop.
    if (*result != failure) {
        LogError(Prefix(" :  Error in WriteFile --> %d \n").c_str(), failure);
        *result = failure;
    }
    return true;
}

DWORD ResumeDownloader::Flush(bool keepInProgress) {
    const DWORD result = handler_.ProcessDownloadedBuffer(buffer_.data(), fill_, keepInProgress);
    fill_ = 0;
    return result;
}

DWORD ResumeDownloader::ReadChunk(DWORD available, DWORD* read) {
    *read = 0;
    const DWORD limit = handler_.saveLimit;
    // The buffer goes to the file in quarters; the threads behind make each durable and
    // record it while the transfer goes on.
    const DWORD chunk = std::max<DWORD>(limit / kSavesPerBuffer, 1);
    if (fill_ >= chunk) {
        const DWORD error = handler_.QueueSave(buffer_.data(), fill_);
        fill_ = 0;
        if (error != ERROR_SUCCESS) {
            LogError(Prefix(" :  Error in WriteFile --> %d \n").c_str(), error);
            return error;
        }
    }
    // The bytes received and not yet recorded (appended or still gathered) stay within
    // a bounded number of buffers: what a machine that stops may cost again.
    const DWORD window = kBuffersAheadOfRecord * limit;
    DWORD room = 0;
    if (const DWORD error = handler_.WaitForRoom(fill_, window, &room); error != ERROR_SUCCESS) {
        LogError(Prefix(" :  Error in WriteFile --> %d \n").c_str(), error);
        return error;
    }
    // Never more than the body still missing (a longer answer cannot overrun the copy),
    // and never more than the buffer and the window allow, whatever the connection
    // delivers at once.
    available = std::min({available, contentLength_ - bytesSoFar_, limit - fill_, room});
    if (available == 0) return ERROR_SUCCESS;
    if (buffer_.size() < static_cast<std::size_t>(fill_) + available) {
        // Allocated as the body arrives, never beyond the save limit.
        const std::size_t remaining = static_cast<std::size_t>(contentLength_ - bytesSoFar_) + fill_;
        try {
            buffer_.resize(std::min<std::size_t>(limit, remaining));
        } catch (const std::bad_alloc&) {
            LogError("Error caught in ProcessDownloadedBuffer\n");
            return HTTP_RESULT_NOTHING_TO_SEND;
        }
    }
    if (!WinHttpReadData(handles_.hRequest, buffer_.data() + fill_, available, read)) {
        const DWORD error = AsWinHttpError(GetLastError());
        LogError(Prefix(" :  Error in WinHttpReadData --> %d \n").c_str(), error);
        HttpGetLastError(error);
        return error;
    }
    *read = std::min(*read, available);
    answerBytes_ += *read;
    bytesSoFar_ += *read;
    fill_ += *read;
    ReportProgress(bytesSoFar_, contentLength_);
    return ERROR_SUCCESS;
}

bool ResumeDownloader::AnswerCutShort() const {
    DWORD length = 0;
    DWORD size = sizeof length;
    return WinHttpQueryHeaders(handles_.hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) &&
           answerBytes_ < length && bytesSoFar_ < contentLength_;
}

void ResumeDownloader::CountFailure(DWORD result) {
    const std::string metaKey = DownloadResumeHandler::MetaDataKey();
    DWORD count = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, metaKey.c_str(), "DownloadFailureCount", &count) != ERROR_SUCCESS) {
        LogError("The DownloadFailureCount value could not be read.Resetting to 1\n");
        count = 1;
    } else {
        ++count;
        LogInfo("DownloadFailureCount set to %d\n", count);
    }
    writeValue(HKEY_LOCAL_MACHINE, metaKey.c_str(), "DownloadFailureCount", std::to_string(count).c_str(), REG_DWORD);

    char entry[160];
    std::snprintf(entry, sizeof entry, "\tResume Download failed with error code : %d and total failed count value = %d\n",
                  static_cast<int>(result), static_cast<int>(count));
    RecordTrackedFailure("ResumeDownloadDetails", "RESUME_DOWNLOAD_FAILURE_COUNT", entry);
}

DWORD ResumeDownloader::EndWithoutBookkeeping(DWORD result) {
    CloseQuietly();
    if (handler_.temporaryDownload) handler_.CleanFileAndRegistry();
    LogDebug("@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ \n");
    return result;
}

DWORD ResumeDownloader::RunOneRequest() {
    LogDebug("@@@@@@@@ Inside ResumeGetRequestEx Method @@@@@@@@ \n");
    LogDebug("ResumeGetRequestEx : URL to Get -> %S \n", objectPath_);
    DWORD result = CheckArguments();
    if (result == ERROR_SUCCESS) result = PreDownloadHandling();
    if (result != ERROR_SUCCESS) {
        PostDownloadHandling(&result);
        LogError("@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ \n");
        return result;
    }
    if (PrepareState()) {
        result = ERROR_SUCCESS;
        PostDownloadHandling(&result);
        LogError("@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ Full File already exist\n");
        return result;
    }

    bool restarted = false;
    result = OpenRange(handler_.resumeOffset, contentLength_, true);
    LogError("ResumeGetRequestEx: Content-Range Header message: %S\n", rangeHeader_);
    LogDebug("ResumeGetRequestEx: GetInternetRequestHandle function return code: %u\n", result);
    if (result != ERROR_WINHTTP_TIMEOUT && handles_.httpStatus == 416) {
        // The server's file is shorter than the copy: start over from byte 0.
        RestartFromZero();
        result = OpenRange(0, contentLength_, true);
        LogError("ResumeGetRequestEx: Content-Range Header message: %S\n", rangeHeader_);
    }
    // A range request that fails ends the attempt at once: nothing was read, so there is
    // nothing to save, count or log as a finished attempt.
    if (result != ERROR_WINHTTP_TIMEOUT) result = AcceptRangeAnswer(result, handler_.resumeOffset, &restarted);
    if (result != ERROR_SUCCESS) return EndWithoutBookkeeping(result);

    while (result == ERROR_SUCCESS) {
        DWORD available = 0;
        const BOOL queried = WinHttpQueryDataAvailable(handles_.hRequest, &available);
        if (!queried || (available == 0 && AnswerCutShort())) {
            const DWORD error = queried ? ERROR_WINHTTP_CONNECTION_ERROR : AsWinHttpError(GetLastError());
            LogError("ResumeGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n", error);
            HttpGetLastError(error);
            if (!IsConnectionLoss(error)) {
                result = error;
                break;
            }
            LogInfo("ResumeGetRequestEx : Total Bytes read so far:%u\n", bytesSoFar_);
            LogInfo("ResumeGetRequestEx : second attempt to recover from previous error\n");
            const DWORD from = bytesSoFar_;
            const DWORD requested = OpenRange(from, contentLength_, keepAlive_);
            LogDebug("ResumeGetRequestEx: Content-Range Header message: %S\n", rangeHeader_);
            if (requested != ERROR_SUCCESS) {
                result = requested;
                break;
            }
            result = AcceptRangeAnswer(requested, from, &restarted);
            if (result != ERROR_SUCCESS) break;
            const BOOL requeried = WinHttpQueryDataAvailable(handles_.hRequest, &available);
            if (!requeried || (available == 0 && AnswerCutShort())) {
                result = requeried ? ERROR_WINHTTP_CONNECTION_ERROR : AsWinHttpError(GetLastError());
                LogError("ResumeGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n", result);
                HttpGetLastError(result);
                break;
            }
        }
        if (available == 0) break;
        DWORD read = 0;
        result = ReadChunk(available, &read);
        if (result != ERROR_SUCCESS) break;
        if (bytesSoFar_ == contentLength_) {
            LogInfo("ResumeGetRequestEx : Bytes read reached the contenlength\n");
            break;
        }
        if (read == 0) break;
    }
    CloseQuietly();
    const bool saveFailed = FinishSaves(&result);
    LogInfo("ResumeGetRequestEx: Total bytes read = %u\n", bytesSoFar_);

    if (bytesSoFar_ < contentLength_ || saveFailed) {
        // Short of the body: never handed over, kept for the next attempt.
        if (result == ERROR_SUCCESS) result = HTTP_RESULT_PARTIAL;
        CountFailure(result);
    }
    if (KeepsState(result)) {
        const DWORD saved = Flush(false);
        if (saved != ERROR_SUCCESS) {
            LogError("ResumeGetRequestEx :  Error in WriteFile --> %d \n", saved);
            result = saved;
        }
    }
    PostDownloadHandling(&result);
    LogDebug("@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ \n");
    return result;
}

DWORD ResumeDownloader::RunInBlocks() {
    LogDebug("@@@@@@@@ Inside ResumeGetRequestByBitrate Method @@@@@@@@ \n");
    LogInfo("ResumeGetRequestByBitrate : Vantorra Server & Port -> %S : %d \n", serverName_, port_);
    LogDebug("ResumeGetRequestByBitrate : URL to Get -> %S \n", objectPath_);
    DWORD result = CheckArguments();
    if (result == ERROR_SUCCESS) result = PreDownloadHandling();
    if (result != ERROR_SUCCESS) {
        PostDownloadHandling(&result);
        LogDebug("@@@@@@@@ End Of ResumeGetRequestByBitrate Method @@@@@@@@ \n");
        return result;
    }
    if (PrepareState()) {
        result = ERROR_SUCCESS;
        PostDownloadHandling(&result);
        LogDebug("@@@@@@@@ End Of ResumeGetRequestByBitrate Method @@@@@@@@ \n");
        return result;
    }

    // DataTransferRate_KBps 0 means no throttling: the rest in one block.
    const ULONGLONG blockSize = static_cast<ULONGLONG>(gv_dataTransferRateKBps) * 500;
    LogDebug("ResumeGetRequestByBitrate: Block of bytes to read: %u\n", blockSize);
    bool timeoutMark = false;
    bool finished = false;
    bool restartedOn416 = false;
    int roundsWithoutProgress = 0;
    DWORD lastBlockError = ERROR_SUCCESS;
    while (bytesSoFar_ < contentLength_ && !finished) {
        SYSTEMTIME started{};
        winhttp_seam::GetLocalTime(&started);
        const DWORD blockStart = bytesSoFar_;
        const DWORD blockEnd = blockSize ? static_cast<DWORD>(std::min<ULONGLONG>(blockStart + blockSize - 1,
                                                                                  contentLength_))
                                         : contentLength_;
        const DWORD requested = OpenRange(blockStart, blockEnd, true);
        LogDebug("ResumeGetRequestByBitrate: Content-Range Header message: %S\n", rangeHeader_);
        LogError("ResumeGetRequestByBitrate: GetInternetRequestHandle function return code: %u  %d\n", requested,
                 handles_.httpStatus);
        if (requested == ERROR_WINHTTP_TIMEOUT) {
            result = ERROR_WINHTTP_TIMEOUT;
            break;
        }
        if (handles_.httpStatus == 416 && !restartedOn416) {
            restartedOn416 = true;
            RestartFromZero();
            CloseQuietly();
            continue;
        }
        bool restarted = false;
        result = AcceptRangeAnswer(requested, blockStart, &restarted);
        if (result != ERROR_SUCCESS) break;

        lastBlockError = ERROR_SUCCESS;
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(handles_.hRequest, &available)) {
                const DWORD error = AsWinHttpError(GetLastError());
                LogError("ResumeGetRequestByBitrate : Error occured in WinHttpQueryDataAvailable --> %d \n", error);
                HttpGetLastError(error);
                if (IsConnectionLoss(error)) {
                    CloseQuietly();
                    if (timeoutMark) {
                        result = error;
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
            if (available == 0) break;
            DWORD read = 0;
            const DWORD error = ReadChunk(available, &read);
            if (error != ERROR_SUCCESS) {
                result = error;
                finished = true;
                break;
            }
            if (bytesSoFar_ == contentLength_) {
                LogInfo("ResumeGetRequestByBitrate : Bytes read reached the contenlength\n");
                break;
            }
            if (read == 0) break;
        }
        if (finished) break;
        LogInfo("ResumeGetRequestByBitrate: Bytes Read: %d\n", bytesSoFar_);
        if (timeoutMark) {
            LogInfo("ResumeGetRequestByBitrate : second attempt of the previous request\n");
            continue;
        }
        CloseQuietly();
        result = ERROR_SUCCESS;
        // A server that answers every block without bytes is not asked forever.
        if (bytesSoFar_ == blockStart) {
            if (++roundsWithoutProgress >= kMaxRoundsWithoutProgress) {
                result = lastBlockError != ERROR_SUCCESS ? lastBlockError : HTTP_RESULT_PARTIAL;
                break;
            }
        } else {
            roundsWithoutProgress = 0;
        }
        if (bytesSoFar_ >= contentLength_) break;
        SYSTEMTIME now{};
        winhttp_seam::GetLocalTime(&now);
        const auto millis = [](const SYSTEMTIME& t) {
            return ((static_cast<long long>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
        };
        const long long elapsed = millis(now) - millis(started);
        winhttp_seam::Sleep(elapsed >= 0 && elapsed < 450 ? static_cast<DWORD>(600 - elapsed) : 100);
    }
    CloseQuietly();
    FinishSaves(&result);
    LogInfo("ResumeGetRequestByBitrate: Total bytes read = %u\n", bytesSoFar_);
    if (result == ERROR_SUCCESS && bytesSoFar_ < contentLength_) result = HTTP_RESULT_PARTIAL;
    if (KeepsState(result)) {
        const DWORD saved = Flush(false);
        if (saved != ERROR_SUCCESS) {
            LogError("ResumeGetRequestByBitrate :  Error in WriteFile --> %d \n", saved);
            result = saved;
        }
    }
    PostDownloadHandling(&result);
    LogDebug("@@@@@@@@ End Of ResumeGetRequestByBitrate Method @@@@@@@@ \n");
    return result;
}

}  // namespace

DWORD ResumeGetRequestEx(bool useProxy, const char* protocol, const WCHAR* serverName, INTERNET_PORT port,
                         const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUser,
                         const WCHAR* proxyPassword, const WCHAR* objectPath, const WCHAR* destinationPath,
                         std::optional<std::string>* outData, DWORD requestMode, bool keepAlive) {
    ResumeDownloader downloader("ResumeGetRequestEx", useProxy, protocol, serverName, port, proxyServer, proxyBypass,
                                proxyUser, proxyPassword, objectPath, destinationPath, outData, requestMode, keepAlive);
    return downloader.RunOneRequest();
}

DWORD ResumeGetRequestByBitrate(bool useProxy, const char* protocol, const WCHAR* serverName, INTERNET_PORT port,
                                const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUser,
                                const WCHAR* proxyPassword, const WCHAR* objectPath,
                                const WCHAR* destinationPath, std::optional<std::string>* outData,
                                DWORD requestMode, bool keepAlive) {
    ResumeDownloader downloader("ResumeGetRequestByBitrate", useProxy, protocol, serverName, port, proxyServer,
                                proxyBypass, proxyUser, proxyPassword, objectPath, destinationPath, outData,
                                requestMode, keepAlive);
    return downloader.RunInBlocks();
}
