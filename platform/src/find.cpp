// Directory searches (FindFirstFile/FindNextFile) with * and ? in the last component.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <string>
#include <vector>

#include "platform/src/files_internal.h"
#include "platform/src/handles.h"
#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/host.h"

namespace host {
namespace {

struct FoundEntry {
    std::string name;
    struct stat info;
};

// The matches are taken when the search starts, as a snapshot.
class FindObject : public KernelObject {
public:
    explicit FindObject(std::vector<FoundEntry> entries) : entries_(std::move(entries)) {}
    std::mutex mutex;
    std::vector<FoundEntry> entries_;
    size_t next = 1;  // the first entry is handed out by FindFirstFile
};

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++, starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1, n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool NameMatches(const std::string& pattern, const std::string& name) {
    if (WildcardMatch(pattern, name)) return true;
    // As on Windows, "name.*" also finds "name" without an extension ("*.*" finds all).
    if (pattern.size() >= 2 && pattern.ends_with(".*") && name.find('.') == std::string::npos)
        return WildcardMatch(std::string_view(pattern).substr(0, pattern.size() - 2), name);
    return false;
}

bool IsDriveRoot(const std::string& folder) {
    const std::string root = MachineRoot() + "/drive_";
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return trimmed.size() == root.size() + 1 && trimmed.starts_with(root);
}

template <typename FindData>
void Fill(const FoundEntry& entry, FindData* data) {
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = AttributesOf(entry.info);
    data->ftCreationTime = FileTimeOf(entry.info.st_ctim);
    data->ftLastAccessTime = FileTimeOf(entry.info.st_atim);
    data->ftLastWriteTime = FileTimeOf(entry.info.st_mtim);
    if (!S_ISDIR(entry.info.st_mode)) {
        const auto size = static_cast<ULONGLONG>(entry.info.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
    }
    if constexpr (std::is_same_v<FindData, WIN32_FIND_DATAA>) {
        const size_t n = std::min<size_t>(entry.name.size(), MAX_PATH - 1);
        std::memcpy(data->cFileName, entry.name.data(), n);
    } else {
        const std::u16string wide = Utf8ToUtf16(entry.name);
        const size_t n = std::min<size_t>(wide.size(), MAX_PATH - 1);
        std::copy_n(wide.begin(), n, data->cFileName);
    }
}

HANDLE StartSearch(LPCSTR fileName, std::vector<FoundEntry>& found) {
    if (!fileName || !*fileName) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    const std::string path = MapPath(fileName);
    if (path.back() == '/') return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);

    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode))
        return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;

    if (pattern.find_first_of("*?") == std::string::npos) {
        // No wildcard: the search names one entry, which may be a folder.
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
        found.push_back({pattern, info});
    } else {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return SetLastError(ErrorFromErrno(errno, folder)), INVALID_HANDLE_VALUE;
        const bool root = IsDriveRoot(folder);
        while (const dirent* item = ::readdir(dir)) {
            const std::string name = item->d_name;
            const bool dots = name == "." || name == "..";
            if (dots && root) continue;  // drive roots have no "." and ".." entries
            if (!NameMatches(pattern, name)) continue;
            struct stat info {};
            if (::stat((folder + "/" + name).c_str(), &info) != 0) continue;  // vanished or dangling
            found.push_back({name, info});
        }
        ::closedir(dir);
        std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
            const bool aDots = a.name == "." || a.name == "..", bDots = b.name == "." || b.name == "..";
            if (aDots != bDots) return aDots;
            return a.name < b.name;
        });
        if (found.empty()) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return RegisterHandle(std::make_shared<FindObject>(found));
}

template <typename FindData>
BOOL Next(HANDLE find, FindData* data) {
    auto object = LookupHandleAs<FindObject>(find);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    if (!data) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(object->mutex);
    if (object->next >= object->entries_.size()) return Fail(ERROR_NO_MORE_FILES);
    Fill(object->entries_[object->next++], data);
    return TRUE;
}

}  // namespace
}  // namespace host

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData) {
    if (!findData) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    std::vector<host::FoundEntry> found;
    HANDLE handle = host::StartSearch(fileName, found);
    if (handle != INVALID_HANDLE_VALUE) host::Fill(found.front(), findData);
    return handle;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
    if (!findData || !fileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    std::vector<host::FoundEntry> found;
    const std::string narrow = host::NarrowArg(fileName);
    HANDLE handle = host::StartSearch(narrow.c_str(), found);
    if (handle != INVALID_HANDLE_VALUE) host::Fill(found.front(), findData);
    return handle;
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA findData) { return host::Next(find, findData); }
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW findData) { return host::Next(find, findData); }

BOOL FindClose(HANDLE find) {
    if (!host::LookupHandleAs<host::FindObject>(find) || !host::UnregisterHandle(find))
        return host::Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
