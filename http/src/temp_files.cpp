// Temporary files of the downloads: created exclusively, kept off links, read back
// through their own handle; the process's private folder for GET_DATA bodies.
#include "http/src/temp_files.h"

#include <cstdio>
#include <mutex>
#include <random>
#include <vector>

#include "agent/agent.h"
#include "http/src/internal.h"
#include "runtime/log.h"

namespace httpclient {

namespace {

// SYSTEM, the Administrators and the folder's owner: on Windows the accounts the agent
// runs as, on this host the owning account alone.
constexpr const char* kOwnerOnlyFolder = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";
// Names tried before a creation gives up (each one taken by someone else).
constexpr int kNameAttempts = 64;

thread_local HANDLE currentDataHandle = INVALID_HANDLE_VALUE;
thread_local WideString currentDataPath;

struct PrivateFolder {
    std::mutex mutex;
    std::string base;  // the temporary folder it was made in
    std::string path;
    ~PrivateFolder() {
        // Empty by then unless a download was cut off; a folder with files stays.
        if (!path.empty()) RemoveDirectoryA(path.c_str());
    }
};

PrivateFolder& Private() {
    static PrivateFolder folder;
    return folder;
}

// A folder in place, not a link to one.
bool IsOwnFolder(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != FILE_ATTRIBUTE_DIRECTORY) return false;
    HANDLE folder = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    CloseHandle(folder);
    return true;
}

std::string RandomName() {
    std::random_device device;
    const unsigned long long value = (static_cast<unsigned long long>(device()) << 32) ^ device();
    char text[32];
    std::snprintf(text, sizeof text, "%016llx", value);
    return text;
}

}  // namespace

std::string TempFolder() {
    std::string folder = gv_tempDir;
    if (folder.empty()) {
        // Without TEMP the host's temporary folder, never the current directory.
        char buffer[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathA(sizeof buffer, buffer);
        folder = (length > 0 && length < sizeof buffer) ? std::string(buffer, length) : std::string("/tmp");
    }
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    return folder;
}

std::string AgentFilesFolder() {
    if (gv_agentInstallDir && !gv_agentInstallDir->empty()) return *gv_agentInstallDir;
    return TempFolder() + "\\";
}

DWORD PrivateTempFolder(std::string* folder) {
    PrivateFolder& state = Private();
    std::lock_guard lock(state.mutex);
    const std::string base = TempFolder();
    if (!state.path.empty() && state.base == base && IsOwnFolder(state.path)) {
        *folder = state.path;
        return ERROR_SUCCESS;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnerOnlyFolder, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < kNameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
        const std::string candidate =
            base + "\\zq" + std::to_string(GetCurrentProcessId()) + "-" + RandomName();
        if (CreateDirectoryA(candidate.c_str(), &attributes)) {
            error = ERROR_SUCCESS;
            state.base = base;
            state.path = candidate;
        } else {
            error = LastErrorOr(ERROR_WRITE_FAULT);
        }
    }
    LocalFree(descriptor);
    if (error != ERROR_SUCCESS) {
        LogError("PrivateTempFolder : could not create a private folder in %s --> %d \n", base, error);
        return error;
    }
    *folder = state.path;
    return ERROR_SUCCESS;
}

// ---- ExclusiveFile ----

ExclusiveFile::ExclusiveFile(ExclusiveFile&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = INVALID_HANDLE_VALUE;
    other.path_.clear();
}

ExclusiveFile& ExclusiveFile::operator=(ExclusiveFile&& other) noexcept {
    if (this != &other) {
        Discard();
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = INVALID_HANDLE_VALUE;
        other.path_.clear();
    }
    return *this;
}

DWORD ExclusiveFile::Create(const WideString& stem) {
    Discard();
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kNameAttempts && error == ERROR_FILE_EXISTS; ++attempt) {
        const WideString name = stem + (attempt == 0 ? WTEXT("") : WTEXT(".") + ToWide(std::to_string(attempt))) + WTEXT(".tmp");
        // CREATE_NEW: a name someone else took (a file or a link) is never opened.
        HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = file;
            path_ = name;
            return ERROR_SUCCESS;
        }
        error = LastErrorOr(ERROR_WRITE_FAULT);
        if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
    }
    return error;
}

void ExclusiveFile::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void ExclusiveFile::Forget() {
    Close();
    path_.clear();
}

void ExclusiveFile::Discard() {
    Close();
    if (!path_.empty()) DeleteFileW(path_.c_str());
    path_.clear();
}

// ---- Reading back ----

DWORD ReadDataBack(HANDLE file, std::string* text) {
    LARGE_INTEGER length{};
    LARGE_INTEGER start{};
    if (!GetFileSizeEx(file, &length) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return LastErrorOr(ERROR_READ_FAULT);
    const ULONGLONG limit = gv_httpMaxDataSize;
    if (static_cast<ULONGLONG>(length.QuadPart) > limit) {
        LogError("LoadDatafromFile : the data of %llu bytes is over the limit of %u bytes for data in memory "
                 "(HTTPMaxDataSize)\n",
                 static_cast<ULONGLONG>(length.QuadPart), gv_httpMaxDataSize);
        return HTTP_RESULT_FILE_TOO_LARGE;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(length.QuadPart));
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr))
            return LastErrorOr(ERROR_READ_FAULT);
        if (read == 0) break;
        if (bytes.size() + read > limit) return HTTP_RESULT_FILE_TOO_LARGE;  // grew while read
        bytes.append(chunk.data(), read);
    }
    std::string::size_type out = 0;
    for (std::string::size_type i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        bytes[out++] = bytes[i];
    }
    bytes.resize(out);
    *text = std::move(bytes);
    return ERROR_SUCCESS;
}

CurrentDataFile::CurrentDataFile(const ExclusiveFile& file)
    : previousHandle_(currentDataHandle), previousPath_(currentDataPath) {
    currentDataHandle = file.handle();
    currentDataPath = file.path();
}

CurrentDataFile::~CurrentDataFile() {
    currentDataHandle = previousHandle_;
    currentDataPath = previousPath_;
}

HANDLE CurrentDataFile::Handle() { return currentDataHandle; }
WideString CurrentDataFile::Path() { return currentDataPath; }

}  // namespace httpclient
