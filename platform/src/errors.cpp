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

// The system texts Windows gives for the codes the program meets: those the host layer
// and the agent produce, the exit codes of 7-Zip read as system codes, the Windows
// Installer results and the CryptoAPI codes.
constexpr MessageText kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {7, "The storage control blocks were destroyed."},
    {8, "Not enough memory resources are available to process this command."},
    {9, "The storage control block address is invalid."},
    {10, "The environment is incorrect."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {12, "The access code is invalid."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {16, "The directory cannot be removed."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {59, "An unexpected network error occurred."},
    {64, "The specified network name is no longer available."},
    {65, "Network access is denied."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {82, "The directory or file cannot be created."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "The program is not a valid application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {234, "More data is available."},
    {255, "The extended attributes are inconsistent."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {317, "The system cannot find message text for the message number in the message file."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1004, "Invalid flags."},
    {1008, "An attempt was made to reference a token that does not exist."},
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
    {1168, "Element not found."},
    {1210, "The format of the specified computer name is invalid."},
    {1223, "The operation was canceled by the user."},
    {1326, "The user name or password is incorrect."},
    {1355, "The specified domain either does not exist or could not be contacted."},
    {1460, "This operation returned because the timeout period expired."},
    // Windows Installer results.
    {1601, "The Windows Installer Service could not be accessed. This can occur if the Windows Installer is not correctly installed. Contact your support personnel for assistance."},
    {1602, "User cancelled installation."},
    {1603, "Fatal error during installation."},
    {1604, "Installation suspended, incomplete."},
    {1605, "This action is only valid for products that are currently installed."},
    {1606, "Feature ID not registered."},
    {1607, "Component ID not registered."},
    {1608, "Unknown property."},
    {1609, "Handle is in an invalid state."},
    {1610, "The configuration data for this product is corrupt. Contact your support personnel."},
    {1611, "Component qualifier not present."},
    {1612, "The installation source for this product is not available. Verify that the source exists and that you can access it."},
    {1613, "This installation package cannot be installed by the Windows Installer service. You must install a Windows service pack that contains a newer version of the Windows Installer service."},
    {1614, "Product is uninstalled."},
    {1615, "SQL query syntax invalid or unsupported."},
    {1616, "Record field does not exist."},
    {1617, "The device has been removed."},
    {1618, "Another installation is already in progress. Complete that installation before proceeding with this install."},
    {1619, "This installation package could not be opened. Verify that the package exists and that you can access it, or contact the application vendor to verify that this is a valid Windows Installer package."},
    {1620, "This installation package could not be opened. Contact the application vendor to verify that this is a valid Windows Installer package."},
    {1621, "There was an error starting the Windows Installer service user interface. Contact your support personnel."},
    {1622, "Error opening installation log file. Verify that the specified log file location exists and that you can write to it."},
    {1623, "The language of this installation package is not supported by your system."},
    {1624, "Error applying transforms. Verify that the specified transform paths are valid."},
    {1625, "This installation is forbidden by system policy. Contact your system administrator."},
    {1626, "Function could not be executed."},
    {1627, "Function failed during execution."},
    {1628, "Invalid or unknown table specified."},
    {1629, "Data supplied is of wrong type."},
    {1630, "Data of this type is not supported."},
    {1631, "The Windows Installer service failed to start. Contact your support personnel."},
    {1632, "The Temp folder is on a drive that is full or is inaccessible. Free up space on the drive or verify that you have write permission on the Temp folder."},
    {1633, "This installation package is not supported by this processor type. Contact your product vendor."},
    {1634, "Component not used on this computer."},
    {1635, "This update package could not be opened. Verify that the update package exists and that you can access it, or contact the application vendor to verify that this is a valid Windows Installer update package."},
    {1636, "This update package could not be opened. Contact the application vendor to verify that this is a valid Windows Installer update package."},
    {1637, "This update package cannot be processed by the Windows Installer service. You must install a Windows service pack that contains a newer version of the Windows Installer service."},
    {1638, "Another version of this product is already installed. Installation of this version cannot continue. To configure or remove the existing version of this product, use Add/Remove Programs on the Control Panel."},
    {1639, "Invalid command line argument. Consult the Windows Installer SDK for detailed command line help."},
    {1640, "Only administrators have permission to add, remove, or configure server software during a Terminal services remote session. If you want to install or configure software on the server, contact your network administrator."},
    {1641, "The requested operation completed successfully. The system will be restarted so the changes can take effect."},
    {1642, "The upgrade cannot be installed by the Windows Installer service because the program to be upgraded may be missing, or the upgrade may update a different version of the program. Verify that the program to be upgraded exists on your computer and that you have the correct upgrade."},
    {1643, "The update package is not permitted by software restriction policy."},
    {1644, "One or more customizations are not permitted by software restriction policy."},
    {1645, "The Windows Installer does not permit installation from a Remote Desktop Connection."},
    {1646, "Uninstallation of the update package is not supported."},
    {1647, "The update is not applied to this product."},
    {1648, "No valid sequence could be found for the set of updates."},
    {1649, "Update removal was disallowed by policy."},
    {1650, "The XML update data is invalid."},
    {1651, "Windows Installer does not permit updating of managed advertised products. At least one feature of the product must be installed before applying the update."},
    {1652, "The Windows Installer service is not accessible in Safe Mode. Please try again when your computer is not in Safe Mode or you can use System Restore to return your machine to a previous good state."},
    {1722, "The RPC server is unavailable."},
    {3010, "The requested operation is successful. Changes will not be effective until the system is rebooted."},
    {3011, "The requested operation is successful. Changes will not be effective until the service is restarted."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    // CryptoAPI.
    {0x80090003, "Bad Key."},
    {0x80090008, "Invalid algorithm specified."},
    {0x80090009, "Invalid flags specified."},
    {0x8009000D, "Key does not exist."},
    {0x8009000F, "Object already exists."},
    {0x80090016, "Keyset does not exist"},
    {0x80090017, "Provider type not defined."},
    {0x80090019, "The keyset is not defined."},
    {0x8009001F, "The Keyset parameter is invalid."},
    {0x80090020, "An internal error occurred."},
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
