// Per-file state of a resumable download: the partial copy of one URL's body in the
// repository folder below the install directory, and its bookkeeping under the
// agent's "FileMetaData" key (URL value -> id, one subkey per id).
//
// The recorded PartialFileSize only ever counts bytes flushed to the disk, so it is what
// survives the machine stopping. Bytes the file holds beyond it survive a process that
// dies: "PartialFileBootId" names the boot in which they were written, and while the
// machine has not restarted since, the next attempt keeps them instead of fetching them
// again. A failed save forgets that boot, so what the disk refused is never kept.
//
// Ownership of a partial file rests on an advisory lock held for the whole attempt,
// not on the registry's "downloadInProgress" mark alone: a mark left by a process that
// died is recognised because its lock is free, and that state is resumed. A live owner
// sends a newcomer to a temporary download under an id nobody else knows.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace httpclient {

// Exclusive advisory lock on "<partial file>.lock"; released on destruction or when
// the process ends, however it ends.
class PartialFileLock {
public:
    enum class State { Unlocked, Held, Busy, Unavailable };

    PartialFileLock() = default;
    ~PartialFileLock() { Release(); }
    PartialFileLock(const PartialFileLock&) = delete;
    PartialFileLock& operator=(const PartialFileLock&) = delete;

    // Tries the lock once, without waiting.
    State TryAcquire(const std::string& lockPath);
    void Release();
    State state() const { return state_; }

private:
    State state_ = State::Unlocked;
#ifdef _WIN32
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
};

// Default buffer size and the range InterSaveByteLimit is clamped to.
inline constexpr DWORD kDefaultSaveLimit = 1048576;
inline constexpr DWORD kMinimumSaveLimit = 512;
inline constexpr DWORD kMaximumSaveLimit = 64u * 1048576u;
// How many buffers the file of a running download may hold beyond its record. A dead
// process loses none of them (see above); a machine that stops without flushing its
// disk may cost the next attempt this many buffers again.
inline constexpr DWORD kBuffersAheadOfRecord = 32;
static_assert(static_cast<unsigned long long>(kBuffersAheadOfRecord + 1) * kMaximumSaveLimit <= 0xFFFFFFFFull,
              "the window and one more buffer must fit a DWORD");
// A "downloadInProgress" mark younger than this belongs to a live download when its
// lock cannot be judged.
inline constexpr long long kInProgressMarkLifetimeMs = 90LL * 60 * 1000;
// How often a running download refreshes LastRetryTime between saves.
inline constexpr long long kRetryTimeRefreshMs = 60 * 1000;

class DownloadResumeHandler {
public:
    DownloadResumeHandler();
    ~DownloadResumeHandler();
    DownloadResumeHandler(const DownloadResumeHandler&) = delete;
    DownloadResumeHandler& operator=(const DownloadResumeHandler&) = delete;

    DWORD Initialize(const WideString& destination, const std::string& serverLastModifiedText,
                     const WideString& urlText);
    DWORD GetFileDataFromRegistry();
    DWORD FormUniqueFileName();
    void PreDownloadCleaningOfPartialFile();
    // Appends, flushes and records the bytes before it returns. Any write-behind save
    // still in flight is finished first; a failure of one is returned.
    DWORD ProcessDownloadedBuffer(const char* buffer, DWORD length, bool keepInProgress);

    // Write-behind saving for a running download: QueueSave appends the bytes to the
    // partial file (kept open) and leaves flushing them to the disk and recording the
    // new PartialFileSize to two save threads, so the transfer goes on meanwhile. The
    // recorded size never exceeds what a flush has made durable. A failure of the
    // background save is returned by the next QueueSave, WaitForRoom or WaitForSaves.
    DWORD QueueSave(const char* buffer, DWORD length);
    // Waits until the bytes appended but not yet recorded, plus `gathered` bytes held by
    // the caller, stay below `window`; *room is what may still be gathered.
    DWORD WaitForRoom(DWORD gathered, DWORD window, DWORD* room);
    // Waits until everything appended is durable and recorded, ends the save threads
    // and closes the file. The first failure of a background save, else 0.
    DWORD WaitForSaves();
    // Copies the partial file over the destination once its size is `expectedSize`;
    // 707 (and the partial file cleaned) when it is not.
    DWORD SaveToDestFile(DWORD expectedSize);
    bool LoadDatafromFile(std::optional<std::string>* outData);
    DWORD CleanFileAndRegistry();

    // Size of the partial file on disk (0 when missing).
    ULONGLONG PartialFileSizeOnDisk() const;

    // Registry keys, for the downloader's counters and for tests.
    static std::string MetaDataKey();
    std::string FileKey() const { return MetaDataKey() + uniqueId; }

    WideString destinationPath;
    WideString partialFilePath;
    WideString repositoryFolder = WTEXT("DownloadRepository\\");
    WideString url;
    std::string urlNarrow;
    std::string registryLastModified;
    std::string serverLastModified;
    std::string uniqueId;
    DWORD retryCount = 0;
    DWORD resumeOffset = 0;
    DWORD storedPartialSize = 0;
    DWORD saveLimit = kDefaultSaveLimit;
    long long lastRetryTime = 0;
    DWORD bytesWrittenThisAttempt = 0;
    bool temporaryDownload = false;
    std::string startTimeText;

private:
    // Leaves the registered state alone and continues under a fresh, unregistered id.
    void BecomeTemporary();
    // Registry part of a save: the partial size and, once per attempt, its Last-Modified,
    // boot and the mark; with keepInProgress false also the retry count, and the mark goes.
    void RecordSize(DWORD partialSize, bool keepInProgress);
    // After a failed save: the bytes beyond the record are no longer kept by a later
    // attempt, whatever the file cache still shows of them.
    void ForgetBootOfTail();
    // Opens the partial file for appending when *file is not open yet, and appends the
    // bytes; the error code (logged) when either fails. The caller closes *file.
    DWORD AppendToPartialFile(HANDLE* file, const char* buffer, DWORD length, DWORD* written);
    void FlusherLoop();
    void RecorderLoop();
    // Lets both save threads finish what was appended, and joins them.
    void StopWriteBehind();
    std::string LockPath() const;
    std::string PartialPathNarrow() const;

    PartialFileLock lock_;
    bool stateRecorded_ = false;  // this attempt's Last-Modified, boot and mark are in the registry
    std::atomic<bool> bootOfTailForgotten_{false};  // read by the recorder thread
    long long lastRetryWrittenMs_ = 0;

    // Write-behind state, under saveMutex_. The downloader appends and raises
    // appendedSize_; the flusher thread flushes and raises flushedSize_; the recorder
    // thread records and raises recordedSize_ (never past flushedSize_).
    HANDLE partialFile_ = INVALID_HANDLE_VALUE;
    std::thread flusher_;
    std::thread recorder_;
    std::mutex saveMutex_;
    std::condition_variable saveChanged_;
    DWORD appendedSize_ = 0;
    DWORD flushedSize_ = 0;
    DWORD recordedSize_ = 0;
    DWORD saveError_ = ERROR_SUCCESS;
    bool stopping_ = false;
    bool flusherDone_ = false;
    bool queuedSinceClosingRecord_ = false;
};

// Test seam: the flush of write-behind saves (FlushFileBuffers unless replaced), so tests
// can show a disk failing under a running download, which no file system here does on
// demand. nullptr restores the real one.
using FlushFileFunction = BOOL (*)(HANDLE);
void SetWriteBehindFlushForTests(FlushFileFunction flush);

// Milliseconds since 1 January 1970 (UTC).
long long CurrentUnixMillis();
// True for a non-empty text of decimal digits short enough to be one of our ids.
bool IsValidDownloadId(const std::string& id);
// True for one folder name (a trailing separator allowed): no drive, no "..", no nesting.
bool IsRepositoryFolderName(std::string name);

}  // namespace httpclient
