// The per-thread last error, errno translation and the system message texts.
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "platform/src/internal.h"
#include "platform/win/errors.h"
#include "platform/win/text.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct MessageText {
    DWORD code;
    const char* text;
};

// Our own wording of the system texts for the codes the program meets.
constexpr MessageText kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {193, "The program is not a valid application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {317, "The system cannot find message text for the message number in the message file."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1004, "Invalid flags."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1056, "An instance of the service is already running."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1210, "The format of the specified computer name is invalid."},
    {1223, "The operation was canceled by the user."},
    {1355, "The specified domain either does not exist or could not be contacted."},
    {1460, "This operation returned because the timeout period expired."},
    {1602, "User cancelled installation."},
    {1603, "Fatal error during installation."},
    {1618, "Another installation is already in progress. Complete that installation before proceeding with this install."},
    {1619, "This installation package could not be opened. Verify that the package exists and that you can access it."},
    {1620, "This installation package could not be opened. Contact the application vendor to verify that this is a valid Windows Installer package."},
    {1633, "This installation package is not supported by this processor type."},
    {1638, "Another version of this product is already installed."},
    {1639, "Invalid command line argument."},
    {1641, "The requested operation completed successfully. The system will be restarted so the changes can take effect."},
    {3010, "The requested operation is successful. Changes will not be effective until the system is rebooted."},
};

const char* LookupMessage(DWORD code) {
    for (const auto& entry : kMessages)
        if (entry.code == code) return entry.text;
    return nullptr;
}

// Common checks of both forms; returns the text or null with the last error set.
const char* MessageFor(DWORD flags, DWORD messageId, void* buffer, DWORD size) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_FROM_STRING) ||
        (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || buffer == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const char* text = LookupMessage(messageId);
    if (!text) SetLastError(ERROR_MR_MID_NOT_FOUND);
    return text;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void*) {
    const char* text = MessageFor(flags, messageId, buffer, size);
    if (!text) return 0;
    const std::string_view view(text);
    if (view.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, view.data(), view.size());
    buffer[view.size()] = '\0';
    return static_cast<DWORD>(view.size());
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPWSTR buffer, DWORD size,
                     void*) {
    const char* text = MessageFor(flags, messageId, buffer, size);
    if (!text) return 0;
    const std::u16string wide = host::Utf8ToUtf16(text);
    if (wide.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = u'\0';
    return static_cast<DWORD>(wide.size());
}

namespace host {

std::string ParentFolder(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return trimmed.substr(0, slash);
}

DWORD ErrorFromErrno(int error, const std::string& path) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: {
        if (path.empty()) return ERROR_FILE_NOT_FOUND;
        struct stat info {};
        const std::string parent = ParentFolder(path);
        if (::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
        return ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV: return 17;  // ERROR_NOT_SAME_DEVICE
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case ELOOP: return ERROR_INVALID_NAME;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno(const std::string& path) {
    SetLastError(ErrorFromErrno(errno, path));
    return FALSE;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return static_cast<DWORD>(text.size());
}

DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size) {
    if (buffer == nullptr || text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return static_cast<DWORD>(text.size());
}

}  // namespace host
