// The per-file bookkeeping of resumable downloads: partial file, registry state, lock.
#include "http/src/resume_handler.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "http/src/temp_files.h"
#include "platform/win/host.h"
#include "runtime/helpers.h"
#include "runtime/log.h"
#include "runtime/registry_access.h"

namespace httpclient {

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// Ids formed by this process, so that two downloads started in the same second on the
// same thread never share one.
std::atomic<unsigned> idSequence{0};

LSTATUS WriteDword(const RegistryKey& key, const char* name, DWORD value) {
    return RegSetValueExA(key.handle(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A text value (trailing NULs dropped), or nullopt when missing or unreadable.
std::optional<std::string> ReadText(const RegistryKey& key, const char* name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key.handle(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::vector<char> bytes(size + 1, '\0');
    if (RegQueryValueExA(key.handle(), name, nullptr, &type, reinterpret_cast<LPBYTE>(bytes.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::string text(bytes.data(), std::min<std::size_t>(size, bytes.size()));
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool KeyExists(const std::string& path) {
    RegistryKey key;
    return key.open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) == ERROR_SUCCESS;
}

// Opens of the partial file never go through a link planted in its place.
constexpr DWORD kPartialFileFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

// Size of the file itself at `path`; false when there is none (a link counts as none).
bool SizeOfFileItself(const WideString& path, ULONGLONG* size) {
    *size = 0;
    if (path.empty()) return false;
    HANDLE file = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, kPartialFileFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER value{};
    const bool known = GetFileSizeEx(file, &value);
    CloseHandle(file);
    if (known) *size = static_cast<ULONGLONG>(value.QuadPart);
    return known;
}

// The flush of write-behind saves; null means FlushFileBuffers (tests replace it).
std::atomic<FlushFileFunction> writeBehindFlush{nullptr};

// Flushes a closed file's content to the disk.
bool FlushFileByName(const WideString& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kPartialFileFlags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(file);
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return flushed;
}

// Whether the download subkey names the machine's current boot as the one its
// unrecorded bytes were written in.
bool WrittenInThisBoot(const RegistryKey& key) {
    const std::string boot = host::BootIdentity();
    return !boot.empty() && ReadText(key, "PartialFileBootId") == boot;
}

// Decimal text to a number; 0 for anything that is not plain digits.
long long ParseMillis(const std::string& text) {
    if (text.empty() || text.size() > 18) return 0;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

long long CurrentUnixMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetWriteBehindFlushForTests(FlushFileFunction flush) { writeBehindFlush = flush; }

bool IsValidDownloadId(const std::string& id) {
    if (id.empty() || id.size() > 40) return false;
    for (char c : id)
        if (c < '0' || c > '9') return false;
    return true;
}

// The repository is one folder below the install directory: a value that climbs out of
// it, names a drive or another machine, or nests folders would let whoever writes the
// value choose where the privileged agent creates and deletes files.
bool IsRepositoryFolderName(std::string name) {
    if (!name.empty() && (name.back() == '\\' || name.back() == '/')) name.pop_back();
    if (name.empty() || name.size() > 254 || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

// ---- PartialFileLock ----

PartialFileLock::State PartialFileLock::TryAcquire(const std::string& lockPath) {
    Release();
#ifdef _WIN32
    const WideString wide = ToWide(lockPath);
    // Exclusive to its holder, who may still delete it: the file goes when the handle
    // closes, as an unlinked lock does on POSIX (without FILE_SHARE_DELETE the delete
    // fails while the lock is held and the file is left behind).
    handle_ = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        return state_ = GetLastError() == ERROR_SHARING_VIOLATION ? State::Busy : State::Unavailable;
    return state_ = State::Held;
#else
    const std::string path = host::MapPath(lockPath);
    // Owner-only: whoever can open the lock can hold it, and every later attempt at the
    // download would then wait on them. One left wider by an older version is narrowed;
    // one of another user's is not used.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return state_ = State::Unavailable;
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        ((info.st_mode & 077) != 0 && ::fchmod(fd_, 0600) != 0)) {
        Release();
        return state_ = State::Unavailable;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return state_ = State::Held;
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd_);
    fd_ = -1;
    return state_ = busy ? State::Busy : State::Unavailable;
#endif
}

void PartialFileLock::Release() {
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
#else
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
    fd_ = -1;
#endif
    state_ = State::Unlocked;
}

// ---- DownloadResumeHandler ----

DownloadResumeHandler::DownloadResumeHandler() {
    try {
        std::string time;
        GetCurrentTimeText(true, &time);
        char text[64];
        std::snprintf(text, sizeof text, "\n %s\t\t%10s\t", GetCurrentDateShort(), time.c_str());
        startTimeText = text;
    } catch (...) {
        LogError("Error caught in constructor DownloadResumeHandler\n");
    }
}

DownloadResumeHandler::~DownloadResumeHandler() {
    try {
        // Saves still in flight are finished: their bytes are in the file already.
        WaitForSaves();
    } catch (...) {
        LogError("Error caught in destructor ~DownloadResumeHandler\n");
    }
    // The save threads never outlive the handler, whatever failed above.
    StopWriteBehind();
    try {
        // Only the owner of the registered state may clear its mark.
        if (!temporaryDownload && lock_.state() == PartialFileLock::State::Held && IsValidDownloadId(uniqueId) &&
            KeyExists(FileKey())) {
            RegistryKey key;
            if (key.open(HKEY_LOCAL_MACHINE, FileKey().c_str(), kReadWrite) == ERROR_SUCCESS)
                RegDeleteValueA(key.handle(), "downloadInProgress");
        }
        lock_.Release();
    } catch (...) {
        LogError("Error caught in destructor ~DownloadResumeHandler\n");
    }
}

std::string DownloadResumeHandler::MetaDataKey() { return gv_agentRootKey + "\\FileMetaData\\"; }

std::string DownloadResumeHandler::PartialPathNarrow() const { return ToUtf8(partialFilePath.c_str()); }

std::string DownloadResumeHandler::LockPath() const { return PartialPathNarrow() + ".lock"; }

ULONGLONG DownloadResumeHandler::PartialFileSizeOnDisk() const {
    ULONGLONG size = 0;
    return SizeOfFileItself(partialFilePath, &size) ? size : 0;
}

DWORD DownloadResumeHandler::Initialize(const WideString& destination, const std::string& serverLastModifiedText,
                                        const WideString& urlText) {
    try {
        LogInfo("Inside DownloadResumeHandler::Initialize\n");
        bytesWrittenThisAttempt = 0;
        destinationPath = destination;
        serverLastModified = serverLastModifiedText;
        url = urlText;
        urlNarrow = ToUtf8(url.c_str());

        RegistryKey key;
        if (key.open(HKEY_LOCAL_MACHINE, MetaDataKey().c_str(), kReadWrite) != ERROR_SUCCESS) {
            LogDebug("failure in openeing reg key\n");
            if (key.create(HKEY_LOCAL_MACHINE, MetaDataKey().c_str(), nullptr, 0, kReadWrite, nullptr) !=
                ERROR_SUCCESS)
                return ERROR_CANTOPEN;
            key.writeString("IntermediateRepositoryName", "DownloadRepository\\");
            FormUniqueFileName();
            if (lock_.TryAcquire(LockPath()) == PartialFileLock::State::Busy) BecomeTemporary();
            if (!temporaryDownload) key.writeString(urlNarrow.c_str(), uniqueId.c_str());
            WriteDword(key, "InterSaveByteLimit", saveLimit);
            key.close();
            LogError("Setting variable for DOWNLOAD_FOLDER and url  %S & id - %d\n", url, ParseMillis(uniqueId));
            return ERROR_SUCCESS;
        }

        LogDebug("reading folder info\n");
        std::optional<std::string> folder = ReadText(key, "IntermediateRepositoryName");
        if (folder && !folder->empty() && !IsRepositoryFolderName(*folder)) {
            LogError("DownloadResumeHandler::Initialize : IntermediateRepositoryName is not one folder name below "
                     "the install directory; DownloadRepository\\ is used \n");
            folder.reset();
        }
        if (!folder || folder->empty() || folder->size() > 255) {
            folder = "DownloadRepository\\";
            key.writeString("IntermediateRepositoryName", folder->c_str());
        }
        if (folder->back() != '\\' && folder->back() != '/') folder->push_back('\\');
        repositoryFolder = ToWide(*folder);
        DWORD limit = 0;
        if (key.readDword("InterSaveByteLimit", &limit) != ERROR_SUCCESS) {
            limit = kDefaultSaveLimit;
            WriteDword(key, "InterSaveByteLimit", limit);
        }
        // A flush threshold: absurd values would mean a save per byte or an unbounded buffer.
        saveLimit = std::clamp(limit, kMinimumSaveLimit, kMaximumSaveLimit);
        LogDebug("reading periodic limit  info\n");
        LogInfo("Download folder = %S\tperiodic save limit = %d\n", repositoryFolder, saveLimit);

        const std::optional<std::string> stored = ReadText(key, urlNarrow.c_str());
        if (!stored || !IsValidDownloadId(*stored)) {
            // No entry yet, or one that is not an id of ours (never used as a path).
            uniqueId.clear();
            FormUniqueFileName();
            if (lock_.TryAcquire(LockPath()) == PartialFileLock::State::Busy) BecomeTemporary();
            if (!temporaryDownload) key.writeString(urlNarrow.c_str(), uniqueId.c_str());
        } else {
            uniqueId = *stored;
            FormUniqueFileName();
            LogInfo("Unique id for the file is %s\n", uniqueId);
            GetFileDataFromRegistry();
            if (!temporaryDownload) key.writeString(urlNarrow.c_str(), uniqueId.c_str());
        }

        LogInfo("ResumeGetRequestEx : To update download count\n");
        DWORD count = 0;
        key.readDword("DownloadCount", &count);
        WriteDword(key, "DownloadCount", count + 1);
        key.close();
        LogInfo("End of DownloadResumeHandler::Initialize\n");
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in DownloadResumeHandler::Initialize\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

DWORD DownloadResumeHandler::FormUniqueFileName() {
    try {
        // The repository lives below the install folder; without one (a bare tool run), in
        // the temporary folder rather than the current directory.
        const std::string base = AgentFilesFolder() + ToUtf8(repositoryFolder.c_str());
        if (uniqueId.empty()) {
            SYSTEMTIME now{};
            GetLocalTime(&now);
            const std::string stem = std::to_string(GetTimeInSeconds(now)) + std::to_string(GetCurrentProcessId()) +
                                     std::to_string(GetCurrentThreadId());
            // The same second, process and thread give the same stem: never reuse an id
            // that still has state or files.
            uniqueId = stem;
            for (;;) {
                const std::string candidate = base + uniqueId;
                ULONGLONG size = 0;
                if (!KeyExists(MetaDataKey() + uniqueId) && !GetFileSizeByName(candidate.c_str(), &size) &&
                    !GetFileSizeByName((candidate + ".lock").c_str(), &size))
                    break;
                uniqueId = stem + std::to_string(++idSequence);
            }
            LogInfo("Formed Unique id for the file is %s\n", uniqueId);
        }
        partialFilePath = ToWide(base + uniqueId);
        const WideString folder = ToWide(base);
        CreateFolder(folder.c_str());
        LogInfo("Temporary file path is %S\n", partialFilePath);
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in FormUniqueFileName\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

void DownloadResumeHandler::BecomeTemporary() {
    LogInfo("Another download in progress - hence procedding for temporary download\n");
    lock_.Release();
    temporaryDownload = true;
    uniqueId.clear();
    FormUniqueFileName();
    lock_.TryAcquire(LockPath());  // keeps a later newcomer off this id as well
    resumeOffset = storedPartialSize = 0;
    bytesWrittenThisAttempt = 0;
}

DWORD DownloadResumeHandler::GetFileDataFromRegistry() {
    try {
        LogInfo("Inside GetFileDataFromRegistry\n");
        resumeOffset = storedPartialSize = 0;
        const PartialFileLock::State lock = lock_.TryAcquire(LockPath());
        if (lock == PartialFileLock::State::Busy) {
            // A live attempt owns this id (marked or about to be).
            BecomeTemporary();
            return ERROR_SUCCESS;
        }

        RegistryKey key;
        if (key.open(HKEY_LOCAL_MACHINE, FileKey().c_str(), kReadWrite) != ERROR_SUCCESS) {
            LogError("GetFileDataFromRegistry; Registry subkey not found\n");
            PreDownloadCleaningOfPartialFile();
            return ERROR_SUCCESS;
        }

        bool resumable = false;
        if (const auto stored = ReadText(key, "LastModifiedTime")) {
            registryLastModified = *stored;
            LogInfo("GetFileDataFromRegistry last modified time in registry   %s from server %s\n",
                    registryLastModified, serverLastModified);
            DWORD size = 0;
            // Without a Last-Modified on both sides nothing tells whether the copy is current.
            if (!registryLastModified.empty() && !serverLastModified.empty() &&
                strcasecmp(registryLastModified.c_str(), serverLastModified.c_str()) == 0 &&
                key.readDword("PartialFileSize", &size) == ERROR_SUCCESS) {
                const ULONGLONG onDisk = PartialFileSizeOnDisk();
                LogInfo("GetFileDataFromRegistry partial downloaded filesize  in registry %d from file  %d\n", size,
                        onDisk);
                // Bytes past the recorded size were appended by an attempt that died
                // before recording them. Written since the machine started, they are
                // still what that attempt wrote (flushed here, before a record counts
                // them); from an earlier boot only the recorded prefix is known to be
                // on the disk.
                if (onDisk > size && onDisk <= 0xFFFFFFFFull && WrittenInThisBoot(key) &&
                    FlushFileByName(partialFilePath)) {
                    LogInfo("GetFileDataFromRegistry : keeping the %d bytes written after the recorded %d\n",
                            onDisk - size, size);
                    size = static_cast<DWORD>(onDisk);
                } else if (onDisk > size && size > 0) {
                    HANDLE file = CreateFileW(partialFilePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, kPartialFileFlags, nullptr);
                    if (file != INVALID_HANDLE_VALUE) {
                        LARGE_INTEGER end{};
                        end.QuadPart = size;
                        if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file))
                            LogInfo("GetFileDataFromRegistry : partial file cut back to the recorded %d bytes\n", size);
                        CloseHandle(file);
                    }
                }
                if (size > 0 && PartialFileSizeOnDisk() == size) {
                    resumable = true;
                    storedPartialSize = resumeOffset = size;
                    lastRetryTime = 0;
                    if (const auto retry = ReadText(key, "LastRetryTime")) lastRetryTime = ParseMillis(*retry);
                    retryCount = 0;
                    key.readDword("RetryCount", &retryCount);
                    LogInfo("GetFileDataFromRegistry last retry time %d count %d\n", lastRetryTime, retryCount);
                }
            }
        }

        DWORD mark = 0;
        if (key.readDword("downloadInProgress", &mark) == ERROR_SUCCESS) {
            LogInfo("GetFileDataFromRegistry - dwonload in progress flag is set\n");
            if (lock == PartialFileLock::State::Held) {
                // The lock was free: whoever set the mark is gone.
                LogInfo("GetFileDataFromRegistry - the download that set the flag no longer runs, resuming its state\n");
            } else {
                const long long age = CurrentUnixMillis() - lastRetryTime;
                key.close();
                if (age >= 0 && age <= kInProgressMarkLifetimeMs) {
                    BecomeTemporary();
                    return ERROR_SUCCESS;
                }
                // Older than 90 minutes, or stamped in the future: stale.
                LogInfo(
                    "GetFileDataFromRegistry - download in progress flag was set before 90 mins so cleaning files and "
                    "proceeding\n");
                CleanFileAndRegistry();
                uniqueId.clear();
                FormUniqueFileName();
                lock_.TryAcquire(LockPath());
                resumeOffset = storedPartialSize = 0;
                return ERROR_SUCCESS;
            }
        }
        if (!resumable) PreDownloadCleaningOfPartialFile();
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in GetFileDataFromRegistry");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

void DownloadResumeHandler::PreDownloadCleaningOfPartialFile() {
    LogInfo("Performing PreDownloadCleaningOfPartialFile\n");
    WaitForSaves();  // the file is closed before it goes
    resumeOffset = storedPartialSize = 0;
    bytesWrittenThisAttempt = 0;
    // The next save records the new copy's state before its first byte, so the size
    // recorded for the old copy never counts bytes of the new one.
    stateRecorded_ = false;
    if (!partialFilePath.empty()) DeleteFileW(partialFilePath.c_str());
}

DWORD DownloadResumeHandler::ProcessDownloadedBuffer(const char* buffer, DWORD length, bool keepInProgress) {
    try {
        // Write-behind saves come first: they hold the earlier bytes of the file.
        const DWORD pending = WaitForSaves();
        if (pending != ERROR_SUCCESS) return pending;
        if (length == 0) {
            // Everything went out through write-behind saves, recorded as in progress:
            // the end of the attempt is still recorded.
            if (!keepInProgress && queuedSinceClosingRecord_ && !temporaryDownload)
                RecordSize(resumeOffset + bytesWrittenThisAttempt, false);
            queuedSinceClosingRecord_ = false;
            return ERROR_SUCCESS;
        }
        HANDLE file = INVALID_HANDLE_VALUE;
        DWORD written = 0;
        if (const DWORD error = AppendToPartialFile(&file, buffer, length, &written)) {
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            ForgetBootOfTail();
            return error;
        }
        // Only bytes the file really holds are counted and recorded.
        if (!FlushFileBuffers(file)) {
            const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
            LogError("ProcessDownloadedBuffer :  Error in WriteFile --> %d \n", error);
            CloseHandle(file);
            ForgetBootOfTail();
            return error;
        }
        CloseHandle(file);
        bytesWrittenThisAttempt += written;
        LogDebug("File updated with data.\n");
        queuedSinceClosingRecord_ = false;
        if (temporaryDownload) return ERROR_SUCCESS;
        RecordSize(resumeOffset + bytesWrittenThisAttempt, keepInProgress);
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in ProcessDownloadedBuffer\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

DWORD DownloadResumeHandler::AppendToPartialFile(HANDLE* file, const char* buffer, DWORD length, DWORD* written) {
    LogDebug("Inside ProcessDownloadedBuffer\n");
    if (*file == INVALID_HANDLE_VALUE) {
        *file = CreateFileW(partialFilePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            kPartialFileFlags, nullptr);
        if (*file == INVALID_HANDLE_VALUE) {
            const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
            LogError("Invalid File Handle\n");
            return error;
        }
    }
    if (!WriteFile(*file, buffer, length, written, nullptr) || *written != length) {
        const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
        LogError("ProcessDownloadedBuffer :  Error in WriteFile --> %d \n", error);
        return error;
    }
    return ERROR_SUCCESS;
}

void DownloadResumeHandler::RecordSize(DWORD partialSize, bool keepInProgress) {
    RegistryKey key;
    if (key.create(HKEY_LOCAL_MACHINE, FileKey().c_str(), nullptr, 0, kReadWrite, nullptr) != ERROR_SUCCESS)
        return;  // the data is safe; the next attempt starts over
    // The size is written last: it is what a later attempt trusts, so a crash between
    // these writes leaves at worst the previous size with the bytes behind it.
    // Every registry write rewrites the hive durably, so a save writes only what
    // changed: Last-Modified and the mark once per attempt, the retry time (which only
    // has to tell a live mark from one older than 90 minutes) at most once a minute.
    if (!stateRecorded_) {
        key.writeString("LastModifiedTime", serverLastModified.c_str());
        if (!bootOfTailForgotten_) key.writeString("PartialFileBootId", host::BootIdentity().c_str());
    }
    const long long nowMs = CurrentUnixMillis();
    const std::string now = std::to_string(nowMs);
    if (!stateRecorded_ || !keepInProgress || nowMs - lastRetryWrittenMs_ >= kRetryTimeRefreshMs) {
        key.writeString("LastRetryTime", now.c_str());
        lastRetryWrittenMs_ = nowMs;
    }
    if (keepInProgress && !stateRecorded_) WriteDword(key, "downloadInProgress", 1);
    stateRecorded_ = keepInProgress;
    WriteDword(key, "PartialFileSize", partialSize);
    LogDebug("updated registry entries  %d \n", partialSize);
    if (!keepInProgress) {
        LogInfo("updated registry entries size  %d and last modified time %S retry time %d\n", partialSize,
                ToWide(serverLastModified), ParseMillis(now));
        WriteDword(key, "RetryCount", retryCount + 1);
        RegDeleteValueA(key.handle(), "downloadInProgress");
    }
}

void DownloadResumeHandler::ForgetBootOfTail() {
    if (temporaryDownload || !IsValidDownloadId(uniqueId) || bootOfTailForgotten_.exchange(true)) return;
    RegistryKey key;
    if (key.open(HKEY_LOCAL_MACHINE, FileKey().c_str(), kReadWrite) == ERROR_SUCCESS)
        RegDeleteValueA(key.handle(), "PartialFileBootId");
}

DWORD DownloadResumeHandler::QueueSave(const char* buffer, DWORD length) {
    try {
        {
            std::lock_guard lock(saveMutex_);
            if (saveError_ != ERROR_SUCCESS) return saveError_;
        }
        if (length == 0) return ERROR_SUCCESS;
        const DWORD before = resumeOffset + bytesWrittenThisAttempt;
        // The attempt's first save records its state (Last-Modified, boot, mark) before
        // a byte is appended, so a process killed any time after keeps what it wrote.
        // No save thread runs yet, so none records meanwhile.
        if (!flusher_.joinable() && !stateRecorded_ && !temporaryDownload) RecordSize(before, true);
        DWORD written = 0;
        // Whatever part of failed bytes reached the file is not kept by the next attempt.
        if (const DWORD error = AppendToPartialFile(&partialFile_, buffer, length, &written)) {
            ForgetBootOfTail();
            return error;
        }
        // The disk starts on these bytes now, so the flush behind finds little left to do.
        host::StartFileWriteBack(partialFile_, before, written);
        bytesWrittenThisAttempt += written;
        LogDebug("File updated with data.\n");
        queuedSinceClosingRecord_ = true;
        {
            std::lock_guard lock(saveMutex_);
            appendedSize_ = resumeOffset + bytesWrittenThisAttempt;
            if (!flusher_.joinable()) {
                flushedSize_ = recordedSize_ = before;
                stopping_ = flusherDone_ = false;
                try {
                    flusher_ = std::thread([this] { FlusherLoop(); });
                    recorder_ = std::thread([this] { RecorderLoop(); });
                } catch (...) {
                    // Without both threads nothing would ever be recorded: this save fails.
                    saveError_ = HTTP_RESULT_NOTHING_TO_SEND;
                }
            }
        }
        saveChanged_.notify_all();
        {
            std::lock_guard lock(saveMutex_);
            if (saveError_ != ERROR_SUCCESS) {
                LogError("Error caught in ProcessDownloadedBuffer\n");
                return saveError_;
            }
        }
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in ProcessDownloadedBuffer\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

// Flushing and recording run on two threads, so the flush of the newest bytes overlaps
// the registry write of the bytes flushed before them.
void DownloadResumeHandler::FlusherLoop() {
    std::unique_lock lock(saveMutex_);
    for (;;) {
        saveChanged_.wait(lock, [this] {
            return stopping_ || (saveError_ == ERROR_SUCCESS && appendedSize_ > flushedSize_);
        });
        if (saveError_ != ERROR_SUCCESS || appendedSize_ <= flushedSize_) break;  // stopping, nothing left
        // One flush covers everything appended so far, however many saves that was.
        const DWORD target = appendedSize_;
        lock.unlock();
        DWORD error = ERROR_SUCCESS;
        try {
            const FlushFileFunction flush = writeBehindFlush.load();
            if (!(flush ? flush(partialFile_) : FlushFileBuffers(partialFile_))) {
                error = LastErrorOr(ERROR_WRITE_FAULT);
                LogError("ProcessDownloadedBuffer :  Error in WriteFile --> %d \n", error);
            }
        } catch (...) {
            LogError("Error caught in ProcessDownloadedBuffer\n");
            error = HTTP_RESULT_NOTHING_TO_SEND;
        }
        lock.lock();
        if (error != ERROR_SUCCESS)
            saveError_ = error;
        else
            flushedSize_ = target;
        saveChanged_.notify_all();
    }
    flusherDone_ = true;
    saveChanged_.notify_all();
}

void DownloadResumeHandler::RecorderLoop() {
    std::unique_lock lock(saveMutex_);
    for (;;) {
        saveChanged_.wait(lock, [this] { return flushedSize_ > recordedSize_ || flusherDone_; });
        if (flushedSize_ <= recordedSize_) return;  // the flusher is done and all it flushed is recorded
        // Only flushed bytes are recorded: the size never claims more than the disk holds.
        const DWORD target = flushedSize_;
        lock.unlock();
        try {
            if (!temporaryDownload) RecordSize(target, true);
        } catch (...) {
            LogError("Error caught in ProcessDownloadedBuffer\n");
        }
        lock.lock();
        recordedSize_ = target;
        saveChanged_.notify_all();
    }
}

DWORD DownloadResumeHandler::WaitForRoom(DWORD gathered, DWORD window, DWORD* room) {
    std::unique_lock lock(saveMutex_);
    saveChanged_.wait(lock, [&] {
        return saveError_ != ERROR_SUCCESS || gathered >= window || !flusher_.joinable() ||
               appendedSize_ - recordedSize_ + gathered < window;
    });
    if (saveError_ != ERROR_SUCCESS) return saveError_;
    const DWORD pending = flusher_.joinable() ? appendedSize_ - recordedSize_ : 0;
    *room = pending + gathered < window ? window - pending - gathered : 0;
    return ERROR_SUCCESS;
}

DWORD DownloadResumeHandler::WaitForSaves() {
    StopWriteBehind();
    if (partialFile_ != INVALID_HANDLE_VALUE) {
        CloseHandle(partialFile_);
        partialFile_ = INVALID_HANDLE_VALUE;
    }
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard lock(saveMutex_);
        error = saveError_;
    }
    if (error != ERROR_SUCCESS) ForgetBootOfTail();
    return error;
}

void DownloadResumeHandler::StopWriteBehind() {
    {
        std::lock_guard lock(saveMutex_);
        if (!flusher_.joinable()) return;
        // The threads finish what was appended (up to a failed flush) before they end.
        stopping_ = true;
    }
    saveChanged_.notify_all();
    flusher_.join();
    if (recorder_.joinable()) recorder_.join();
}

DWORD DownloadResumeHandler::SaveToDestFile(DWORD expectedSize) {
    try {
        LogInfo("Inside SaveToDestFile from %S to %S\n", partialFilePath, destinationPath);
        WaitForSaves();
        if (destinationPath.empty()) return ERROR_INVALID_PARAMETER;
        ULONGLONG size = 0;
        const bool exists = SizeOfFileItself(partialFilePath, &size);
        if (size != expectedSize) {
            LogError("SaveToDestFile : partial file holds %u bytes, %u expected\n", size, expectedSize);
            CleanFileAndRegistry();
            return HTTP_RESULT_PARTIAL;
        }
        if (!exists) {
            // An empty body was never appended: the file is created empty.
            HANDLE file = CreateFileW(partialFilePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      kPartialFileFlags, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                // Something that is no file of ours holds the name: it never reaches the destination.
                const DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
                LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", partialFilePath,
                         destinationPath);
                LogErrorMessage(error);
                return error;
            }
            CloseHandle(file);
        }
        const std::size_t slash = destinationPath.find_last_of(WTEXT("\\/"));
        if (slash != WideString::npos && slash > 0) {
            const WideString folder = destinationPath.substr(0, slash) + WTEXT("\\");
            const DWORD made = CreateFolder(folder.c_str());
            if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) {
                LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", partialFilePath,
                         destinationPath);
                LogErrorMessage(made);
                return made;
            }
        }
        // Renamed over the destination when both are on one volume, else copied beside it
        // and renamed: the destination is either the old file or the whole new one.
        const std::string partialNarrow = PartialPathNarrow();
        const std::string destinationNarrow = ToUtf8(destinationPath.c_str());
        // The move is on the disk before the state that could repeat it is cleaned.
        if (MoveFileExA(partialNarrow.c_str(), destinationNarrow.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return CleanFileAndRegistry();
        const DWORD moveError = GetLastError();
        ULONGLONG left = 0;
        if (!GetFileSizeByName(partialNarrow.c_str(), &left)) {
            // Moved, but the disk did not confirm it: the state stays for the next attempt.
            const DWORD error = moveError ? moveError : ERROR_WRITE_FAULT;
            LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", partialFilePath, destinationPath);
            LogErrorMessage(error);
            return error;
        }
        const WideString staging = destinationPath + ToWide(std::to_string(GetCurrentThreadId()) + ".part");
        DWORD error = ERROR_SUCCESS;
        // A copy left by a dead attempt goes first; the new one is created exclusively, so
        // a link planted in its place is never written through.
        DeleteFileW(staging.c_str());
        if (!CopyFileW(partialFilePath.c_str(), staging.c_str(), TRUE)) {
            error = LastErrorOr(ERROR_WRITE_FAULT);
        } else if (!FlushFileByName(staging) ||
                   !MoveFileExA(ToUtf8(staging.c_str()).c_str(), destinationNarrow.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            error = LastErrorOr(ERROR_WRITE_FAULT);
        }
        if (error != ERROR_SUCCESS) {
            DeleteFileW(staging.c_str());
            LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n", partialFilePath, destinationPath);
            LogErrorMessage(error);
            return error;
        }
        return CleanFileAndRegistry();
    } catch (...) {
        LogError("Error caught in SaveToDestFile\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

bool DownloadResumeHandler::LoadDatafromFile(std::optional<std::string>* outData) {
    try {
        const std::string path = PartialPathNarrow();
        LogInfo("LoadDatafromFile: tmpDataFilePath, %s\n", path);
        WaitForSaves();
        if (!outData) return false;
        std::string text;
        // Read through one handle that is the partial file itself, never a link's target.
        HANDLE file = CreateFileW(partialFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  kPartialFileFlags, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            // An empty body never created the file; anything else in its place is no data.
            if (PartialFileSizeOnDisk() != 0 || CheckFileExists(path.c_str()) == ERROR_SUCCESS) {
                LogError("LoadDatafromFile: failed to open the file\n");
                return false;
            }
        } else {
            const DWORD error = ReadDataBack(file, &text);
            CloseHandle(file);
            if (error != ERROR_SUCCESS) {
                LogError("LoadDatafromFile: failed to open the file\n");
                return false;
            }
        }
        *outData = std::move(text);
        CleanFileAndRegistry();
        return true;
    } catch (...) {
        LogError("Error caught in loadDataFromFile\n");
        return false;
    }
}

DWORD DownloadResumeHandler::CleanFileAndRegistry() {
    try {
        LogInfo("Inside CleanFileAndRegistry\n");
        WaitForSaves();
        if (!partialFilePath.empty()) DeleteFileW(partialFilePath.c_str());
        if (lock_.state() == PartialFileLock::State::Held) DeleteFileA(LockPath().c_str());
        // A temporary download owns nothing in the registry; an empty or foreign id names
        // no state of ours.
        if (temporaryDownload || !IsValidDownloadId(uniqueId)) return ERROR_SUCCESS;
        RegistryKey key;
        if (key.open(HKEY_LOCAL_MACHINE, MetaDataKey().c_str(), kReadWrite) == ERROR_SUCCESS) {
            // Another process may have registered the URL under its own id meanwhile.
            if (ReadText(key, urlNarrow.c_str()) == uniqueId) RegDeleteValueA(key.handle(), urlNarrow.c_str());
            key.close();
        }
        if (KeyExists(FileKey())) DeleteKeyTree(HKEY_LOCAL_MACHINE, FileKey().c_str());
        stateRecorded_ = false;
        return ERROR_SUCCESS;
    } catch (...) {
        LogError("Error caught in CleanFileAndRegistry\n");
        return HTTP_RESULT_NOTHING_TO_SEND;
    }
}

}  // namespace httpclient
