// Files, folders, directory searches, current and system directory, environment.
// Every path is mapped to the host file system first (see host.h).
#pragma once

#include "platform/win/types.h"

#ifndef _WIN32  // on Windows the SDK declares all of this (platform/win/types.h)

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
inline constexpr DWORD DELETE = 0x00010000;
inline constexpr DWORD READ_CONTROL = 0x00020000;
inline constexpr DWORD FILE_READ_DATA = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;
inline constexpr DWORD FILE_APPEND_DATA = 0x0004;
inline constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;

inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD FILE_SHARE_DELETE = 0x00000004;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;  // here: a symbolic link
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
// A link in the last path component is not followed. Windows then opens the link itself;
// here the open fails (ERROR_ACCESS_DENIED), so a caller that uses the flag to keep off
// links reads or writes no link's target on either system. CREATE_NEW never follows a
// link anyway: it fails with ERROR_FILE_EXISTS when anything, a link too, has the name.
inline constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

// Share modes are honoured between the handles of this process (a conflicting open
// fails with ERROR_SHARING_VIOLATION); other processes' handles are not seen.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
// Reads up to bytesToRead bytes at the file pointer (*bytesRead 0 at the end of the file);
// FALSE with the error code set. overlapped must be null.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, void* overlapped);
// Writes the bytes at the file pointer (at the end for FILE_APPEND_DATA handles); FALSE
// with the error code set (ERROR_DISK_FULL when not all could be written).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               void* overlapped);
// Puts what was written through the handle on the disk; FALSE with the error code set.
BOOL FlushFileBuffers(HANDLE file);
// GetFileSizeEx, GetFileSize: the size of an open file; FALSE, or INVALID_FILE_SIZE with
// the error code set, on failure.
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
// SetFilePointerEx, SetFilePointer: move the file pointer from FILE_BEGIN, FILE_CURRENT
// or FILE_END; FALSE, or INVALID_SET_FILE_POINTER with the error code, on failure
// (ERROR_NEGATIVE_SEEK before the start).
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod);
// Cuts or extends the file at the file pointer; FALSE with the error code set.
BOOL SetEndOfFile(HANDLE file);
// The file's creation, last access and last write times (any pointer may be null).
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite);

// Copies the file (failIfExists: FALSE with ERROR_FILE_EXISTS when the target exists);
// FALSE with the error code set on failure.
BOOL CopyFileA(LPCSTR existingFile, LPCSTR newFile, BOOL failIfExists);
BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists);
// Deletes the file (a link itself, never its target); FALSE with the error code set
// (ERROR_FILE_NOT_FOUND when there is none).
BOOL DeleteFileA(LPCSTR fileName);
BOOL DeleteFileW(LPCWSTR fileName);
inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x00000002;
// Returns only once the move is on the disk: the folders involved (and a copied file)
// are flushed.
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008;
// Moves or renames a file (MOVEFILE_REPLACE_EXISTING over an existing one,
// MOVEFILE_COPY_ALLOWED across file systems); FALSE with the error code set.
BOOL MoveFileExA(LPCSTR existingFile, LPCSTR newFile, DWORD flags);
// The FILE_ATTRIBUTE_ flags of a file or folder; INVALID_FILE_ATTRIBUTES with the error
// code set (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND) when there is none.
DWORD GetFileAttributesA(LPCSTR fileName);
DWORD GetFileAttributesW(LPCWSTR fileName);

// Security descriptors (PSECURITY_DESCRIPTOR, LocalFree's HLOCAL) from the SDDL text
// Windows takes: ConvertStringSecurityDescriptorToSecurityDescriptorA. Only a protected DACL that lets
// the owner alone in is understood here: "D:P" followed by allow entries ("A") with full
// access ("FA" or "GA") for the owner ("OW", "CO"), SYSTEM ("SY") or the Administrators
// ("BA"), who all stand for the owning account on this host. Any other text fails with
// ERROR_INVALID_PARAMETER. Free the descriptor with LocalFree.
using PSECURITY_DESCRIPTOR = void*;
using HLOCAL = void*;
inline constexpr DWORD SDDL_REVISION_1 = 1;
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor, PULONG size);
HLOCAL LocalFree(HLOCAL memory);

// With a descriptor from the call above the folder is created for its owner alone (0700,
// whatever the umask); without one the folder takes the defaults. Never follows a link:
// a name that is taken, by a link too, fails with ERROR_ALREADY_EXISTS.
BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
// Removes an empty folder; FALSE with the error code set (ERROR_DIR_NOT_EMPTY).
BOOL RemoveDirectoryA(LPCSTR pathName);
// Creates the folder and every missing parent; returns ERROR_SUCCESS,
// ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS (a file is in the way) or another error code.
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* securityAttributes);
int SHCreateDirectoryExA(HWND window, LPCSTR path, const SECURITY_ATTRIBUTES* securityAttributes);

// One entry reported by FindFirstFileA and FindNextFileA: attributes, times, size and name.
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
// Pointer to a WIN32_FIND_DATAA.
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;
// One entry reported by FindFirstFileW and FindNextFileW, with UTF-16 names.
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
// Pointer to a WIN32_FIND_DATAW.
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Wildcards * and ? match within the last path component; "." and ".." are reported
// as Windows reports them. No match: INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND.
HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData);
HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA findData);  // end: FALSE, ERROR_NO_MORE_FILES
// The next entry of the search; at the end FALSE with ERROR_NO_MORE_FILES.
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW findData);
// Ends a search of FindFirstFileA or FindFirstFileW; FALSE for a handle that is not one.
BOOL FindClose(HANDLE find);

// Reports the POSIX path of the current directory. Returns the length written, or the
// needed size including the terminator when the buffer is too small.
DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
// Changes the process's current directory (a mapped path); FALSE with ERROR_DIRECTORY
// for a file, or the error code of the failure.
BOOL SetCurrentDirectoryA(LPCSTR pathName);
// Reports "C:\Windows\system32".
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
// Reports "C:\Windows" (length, or the size needed when buffer is too small).
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
// GetTempPathA, GetTempPathW: the temporary folder (TMP, TEMP, TMPDIR, else /tmp) with a
// trailing separator: its length, or the size needed when the buffer is too small.
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
// The path of the running program (module null only; else 0 with ERROR_MOD_NOT_FOUND),
// cut to fit and terminated, with ERROR_INSUFFICIENT_BUFFER, when size is too small.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// The variable's value copied into buffer: its length, or the size needed including the
// terminator when buffer is too small; 0 with ERROR_ENVVAR_NOT_FOUND when it is unset.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// Sets the variable for this process (a null value removes it); FALSE on failure.
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
// Copies source with every %NAME% of a set variable replaced by its value: the size
// including the terminator (needed size when dest is too small), 0 on failure.
DWORD ExpandEnvironmentStringsA(LPCSTR source, LPSTR dest, DWORD size);

#endif  // _WIN32
