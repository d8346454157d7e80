// Shared helpers: path pieces, folders and files, UTF-8/UTF-16 conversions, error texts
// with the program's message table, Base64, the service notification and date texts.
#include "runtime/helpers.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "runtime/agent_key.h"
#include "runtime/log.h"

namespace {

struct MessageEntry {
    DWORD code;
    const char* text;
};

// Texts for codes that have no system message: installer and Office update results.
constexpr MessageEntry kMessageTable[] = {
    {1508, "The requested operation is successful. Changes will not be effective until the browser is rebooted."},
    {10001, "zq.db.agent.config.script.powerscript_notfound"},
    {10002, "zq.db.agent.config.run_as_admin.credentials_not_available"},
    {10003, "zq.db.agent.config.returned_zero_failure"},
    {17021, "OfficeUpdateError: Creating temp folder."},
    {17023, "OfficeUpdateError: User cancelled installation."},
    {17024, "OfficeUpdateError: Creating folder failed."},
    {17025, "OfficeUpdateError: Patch already installed."},
    {17026, "OfficeUpdateError: Patch already installed to admin installation."},
    {17027, "OfficeUpdateError: Installation source requires full file update."},
    {17028, "OfficeUpdateError: No product installed for contained patch."},
    {17029, "OfficeUpdateError: Patch failed to install."},
    {17030, "OfficeUpdateError: Invalid CIF format."},
    {17031, "OfficeUpdateError: Invalid baseline."},
    {17034, "OfficeUpdateError: Required patch does not apply to the machine."},
    {17038, "OfficeUpdateError: You do not have sufficient privileges to complete this installation for all users of the machine. Log on as administrator and then retry this installation."},
    {17044, "OfficeUpdateError: Installer was unable to run detection for this package."},
    {17048, "OfficeUpdateError : This installation requires Windows Installer 3.1 or greater."},
    {17301, "OfficeUpdateError: General Detection error"},
    {17302, "OfficeUpdateError: Applying patch."},
    {17303, "OfficeUpdateError: Extracting file."},
    {20001, "Patch update delayed since application is used by another process"},
    {2359302, "Patch already Installed and the changes will not be effective until the system is rebooted."},
    {2359303, "Patch already Uninstalled and the changes will not be effective until the system is rebooted."},
};

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::atomic<LocalTimeSource> gv_localTimeSource{nullptr};

SYSTEMTIME Now() {
    SYSTEMTIME now{};
    if (LocalTimeSource source = gv_localTimeSource.load()) source(&now);
    else GetLocalTime(&now);
    return now;
}

// Hour on a 12-hour clock for the time texts: afternoon hours lose 12, so noon reads
// 12 pm and the hour after midnight keeps 00 am.
unsigned TwelveHour(unsigned hour) { return hour > 12 ? hour - 12 : hour; }

// Hour of the date-time text used in access and error logs: the hour modulo 12, so
// noon reads 00PM. Tools that read those logs expect this form.
unsigned HourModuloTwelve(unsigned hour) { return hour % 12; }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

const char* OrNull(const char* text) { return text ? text : "(null)"; }

// The system text of a code as UTF-8, or nothing when the system has none.
std::optional<std::string> SystemMessage(DWORD code) {
    WideString buffer(1024, WTEXT('\0'));
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_MAX_WIDTH_MASK;
        const DWORD written = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                             buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
        if (written > 0) {
            buffer.resize(written);
            std::string utf8;
            ConvertWideToUtf8(buffer.c_str(), &utf8);
            return utf8;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
        buffer.assign(buffer.size() * 4, WTEXT('\0'));
    }
    return std::nullopt;
}

void LogMessageLines(DWORD code, const std::string& text) {
    if (code != 0) LogError("Error Code : %d , Error Message : %s \n", code, text);
    else LogInfo("Message : %s \n", text);
}

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

void SetLocalTimeSource(LocalTimeSource source) { gv_localTimeSource = source; }

// ---------------------------------------------------------------- paths and files

std::string GetLastFileName(const char* path) {
    LogDebug("GetLastFileName Function Called with %s...!\n", path);
    if (!path) return std::string();
    const char* slash = std::strrchr(path, '\\');
    return slash ? std::string(slash + 1) : std::string(path);
}

std::optional<std::string> GetLastUrlFileName(const char* urlOrPath) {
    LogDebug("GetLastUrlFileName Function Called with %s...!\n", urlOrPath);
    if (!urlOrPath) return std::nullopt;
    const char* slash = std::strrchr(urlOrPath, '/');
    return slash ? std::string(slash + 1) : std::string(urlOrPath);
}

DWORD CreateFolder(const WCHAR* path, int /*unused*/) {
    LogDebug("CreateFolder : CreateFolder function called with %S\n", path);
    std::string utf8;
    if (!path || !ConvertWideToUtf8(path, &utf8) || utf8.empty()) {
        LogError("CreateFolder : The directory to create is NULL . \n");
        return ERROR_INVALID_DATA;
    }
    const WideString wide(path);
    DWORD result = ERROR_ALREADY_EXISTS;
    WideString folder = wide;
    bool drive = wide.size() <= 3;
    if (!drive) {
        const std::size_t slash = wide.rfind(WTEXT('\\'));
        const WideString parent =
            (slash == WideString::npos || slash + 1 == wide.size()) ? WideString() : wide.substr(0, slash + 1);
        if (!parent.empty() && parent.size() <= 3) drive = true;
        else if (!parent.empty()) folder = parent;
    }
    if (drive) {
        LogInfo("CreateFolder : The Drive letter Given.hence it cannot be created \n");
    } else {
        std::string folderText;
        ConvertWideToUtf8(folder.c_str(), &folderText);
        LogInfo("CreateFolder : The Directory to create is %s \n", folderText);
        result = static_cast<DWORD>(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr));
    }
    if (result == ERROR_ALREADY_EXISTS) result = ERROR_SUCCESS;
    LogDebug("CreateFolder function returns Error code %d \n", result);
    if (result != ERROR_SUCCESS) LogErrorMessage(result);
    return result;
}

namespace {

HANDLE FindFirst(const char* name, WIN32_FIND_DATAA* data) { return FindFirstFileA(name, data); }
HANDLE FindFirst(const WCHAR* name, WIN32_FIND_DATAW* data) { return FindFirstFileW(name, data); }

// A directory search, so a folder counts as present and wildcards match any file.
// A null name finds nothing: the narrow form says "not found" (2) like any failed search,
// the wide form reports it as invalid data (13).
template <typename Char, typename FindData>
DWORD CheckFileExistsWith(const Char* fileName, const char* nameFormat) {
    LogDebug("@@@@@@@@ Inside CheckFileExists Method @@@@@@@@ \n");
    LogDebug(nameFormat, fileName);
    DWORD result = ERROR_INVALID_DATA;
    if (!fileName && std::is_same_v<Char, char>) {
        LogError("CheckFileExists -> Invalid File Handle. %d \n", ERROR_INVALID_PARAMETER);
        result = ERROR_FILE_NOT_FOUND;
    } else if (fileName) {
        FindData data{};
        HANDLE find = FindFirst(fileName, &data);
        if (find == INVALID_HANDLE_VALUE) {
            LogError("CheckFileExists -> Invalid File Handle. %d \n", GetLastError());
            result = ERROR_FILE_NOT_FOUND;
        } else {
            FindClose(find);
            result = ERROR_SUCCESS;
        }
    }
    LogDebug("@@@@@@@@ End Of CheckFileExists Method @@@@@@@@ \n");
    return result;
}

}  // namespace

DWORD CheckFileExists(const char* fileName) {
    return CheckFileExistsWith<char, WIN32_FIND_DATAA>(fileName, "FileName to search -> %s \n");
}

DWORD CheckFileExists(const WCHAR* fileName) {
    return CheckFileExistsWith<WCHAR, WIN32_FIND_DATAW>(fileName,
                                                           "FileName to search -> %S \n");
}

bool GetFileSizeByName(const char* fileName, ULONGLONG* size) {
    if (!size) return false;
    *size = 0;
    if (!fileName) return false;
    HANDLE file = CreateFileA(fileName, READ_CONTROL, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER value{};
    const BOOL ok = GetFileSizeEx(file, &value);
    CloseHandle(file);
    if (!ok) return false;
    *size = static_cast<ULONGLONG>(value.QuadPart);
    return true;
}

DWORD AppendLineToFile(const char* fileName, const char* text) {
    if (!fileName) return ERROR_INVALID_DATA;
    DWORD result = ERROR_SUCCESS;
    const bool present = CheckFileExists(fileName) == ERROR_SUCCESS;
    if (!present) {
        WideString wide;
        if (ChangeUtf8ToWideStr(fileName, &wide)) CreateFolder(wide.c_str());
    }
    // Created here as a private file, and never written through a link or into a file
    // someone else put there (the error log lies in a folder the agent writes as root).
    std::FILE* out = OpenPrivateTextFile(fileName, "a+");
    if (!present) {
        result = out ? ERROR_SUCCESS : GetLastError();
        LogErrorMessage(result);
    }
    if (out) {
        if (text) std::fputs(text, out);
        std::fputc('\n', out);
        std::fclose(out);
    }
    return result;
}

std::string ConcatStrings(const char* first, const char* second) {
    std::string out = first ? first : "";
    if (second) out += second;
    return out;
}

// ---------------------------------------------------------------- encodings

bool ChangeUtf8ToWideStr(const char* utf8, WideString* wide) {
    // Passwords pass through here on their way to a request: only the size is shown.
    LogDebug("UTF String Received:%s\n",
             utf8 ? "(" + std::to_string(std::strlen(utf8)) + " bytes)" : std::string("(null)"));
    if (!utf8) {
        LogError("ChangeUtf8ToWideStr: utf8 is empty! \n");
        return false;
    }
    return ChangeToWideStr(utf8, wide);
}

bool ChangeToWideStr(const char* text, WideString* wide) {
    if (!text) {
        LogError("ChangeToWideStr: AnsiString is empty! \n");
        return false;
    }
    if (!wide) return false;
    wide->clear();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (needed <= 0) {
        LogLastError();
        return false;
    }
    WideString buffer(static_cast<std::size_t>(needed), WTEXT('\0'));
    const int written = MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer.data(), needed);
    if (written <= 0) {
        LogLastError();
        return false;
    }
    buffer.resize(static_cast<std::size_t>(written - 1));  // drop the terminator
    *wide = std::move(buffer);
    return true;
}

bool ConvertWideToUtf8(const WCHAR* wide, std::string* utf8) {
    if (!utf8) return false;
    utf8->clear();
    if (!wide) return false;
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string buffer(needed > 0 ? static_cast<std::size_t>(needed) : 0, '\0');
    const int written =
        needed > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer.data(), needed, nullptr, nullptr) : 0;
    if (written <= 0) {
        const DWORD error = GetLastError();
        const std::optional<std::string> text = SystemMessage(error);
        LogError(" Error Message: %s\n", text.value_or(GetCustomErrorText(error)));
        return false;
    }
    buffer.resize(static_cast<std::size_t>(written - 1));
    *utf8 = std::move(buffer);
    return true;
}

bool ChangeAnsiToUTF8Str(const char* text, std::string* utf8) {
    if (!text) {
        LogError("ChangeAnsiToUTF8Str: ansiString is empty! \n");
        return false;
    }
    WideString wide;
    if (!ChangeToWideStr(text, &wide)) {
        if (utf8) utf8->clear();
        return false;
    }
    return ConvertWideToUtf8(wide.c_str(), utf8);
}

int Base64Decode(const char* text, int length, unsigned char* output, int capacity) {
    if (!text) return 0;
    // Never read past the terminator, whatever length the caller claims.
    std::size_t size = length < 0 ? std::strlen(text) : strnlen(text, static_cast<std::size_t>(length));
    std::size_t begin = 0;
    while (begin < size && IsSpace(text[begin])) ++begin;
    while (size > begin && IsSpace(text[size - 1])) --size;
    const std::size_t count = size - begin;
    if (count % 4 != 0) return -1;
    if (!output || capacity < 0 || static_cast<std::size_t>(capacity) < count / 4 * 3 + 1) return -1;

    int written = 0;
    for (std::size_t i = begin; i < size; i += 4) {
        const unsigned char* group = reinterpret_cast<const unsigned char*>(text + i);
        const int a = Base64Value(group[0]);
        const int b = Base64Value(group[1]);
        if (a < 0 || b < 0) return -1;
        if (group[2] == '=') {
            if (group[3] != '=') return -1;
            output[written++] = static_cast<unsigned char>((a << 2) | (b >> 4));
            return written;
        }
        const int c = Base64Value(group[2]);
        if (c < 0) return -1;
        if (group[3] == '=') {
            output[written++] = static_cast<unsigned char>((a << 2) | (b >> 4));
            output[written++] = static_cast<unsigned char>(((b & 0x0F) << 4) | (c >> 2));
            return written;
        }
        const int d = Base64Value(group[3]);
        if (d < 0) return -1;
        output[written++] = static_cast<unsigned char>((a << 2) | (b >> 4));
        output[written++] = static_cast<unsigned char>(((b & 0x0F) << 4) | (c >> 2));
        output[written++] = static_cast<unsigned char>(((c & 0x03) << 6) | d);
    }
    return written;
}

std::string Base64DecodeString(const char* text) {
    if (!text) return std::string();
    const std::size_t length = std::strlen(text);
    std::string buffer(length / 4 * 3 + 2, '\0');
    const int written = Base64Decode(text, -1, reinterpret_cast<unsigned char*>(buffer.data()),
                                     static_cast<int>(buffer.size()));
    if (written < 0) return std::string();
    buffer.resize(static_cast<std::size_t>(written));
    return buffer;
}

// ---------------------------------------------------------------- error texts

std::string GetCustomErrorText(DWORD code) {
    for (const MessageEntry& entry : kMessageTable)
        if (entry.code == code) return entry.text;
    const LogArg arg(code);
    return FormatLogText("Unknown Error. Code : %d", std::span(&arg, 1));
}

std::string GetErrorMessageStr(DWORD code) {
    std::string text = SystemMessage(code).value_or(std::string());
    if (text.empty()) text = GetCustomErrorText(code);
    LogMessageLines(code, text);
    return text;
}

void LogErrorMessage(DWORD code) { GetErrorMessageStr(code); }

void LogErrorMessageAnsi(DWORD code) {
    std::string text(4096, '\0');
    const DWORD written =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text.data(), static_cast<DWORD>(text.size()), nullptr);
    if (written > 0) {
        text.resize(written);
        std::size_t begin = 0;
        while (begin < text.size() && IsSpace(text[begin])) ++begin;
        std::size_t end = text.size();
        while (end > begin && IsSpace(text[end - 1])) --end;
        text = text.substr(begin, end - begin);
    } else {
        text = GetCustomErrorText(code);
    }
    LogMessageLines(code, text);
}

void LogLastError() {
    const DWORD error = GetLastError();
    LogError(" Error Message: %s\n", SystemMessage(error).value_or(GetCustomErrorText(error)));
}

// ---------------------------------------------------------------- others

int SendServiceMsg(DWORD controlCode, const WCHAR* serviceName) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        LogError("SendServiceMsg : Failed to open Service Control Manager\n");
        return 0;
    }
    SC_HANDLE service = serviceName ? OpenServiceW(manager, serviceName, SERVICE_USER_DEFINED_CONTROL) : nullptr;
    if (!service) {
        LogError("SendServiceMsg : Failed to open the Service\n");
        CloseServiceHandle(manager);
        return 0;
    }
    LogInfo("SendServiceMsg : Service %S Opened successfully\n", serviceName);
    SERVICE_STATUS status{};
    int result = 0;
    if (ControlService(service, controlCode, &status)) {
        LogInfo("SendServiceMsg : Notification is succeeded\n");
        result = 1;
    } else {
        LogError("SendServiceMsg : Notification failed %d \n", GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int SendServiceMsgToAgent(DWORD controlCode) {
    WideString wide;
    // Without a usable name the service cannot be opened; SendServiceMsg says so in the log.
    const bool converted = ChangeToWideStr(gv_agentServiceName ? gv_agentServiceName->c_str() : nullptr, &wide);
    return SendServiceMsg(controlCode, converted ? wide.c_str() : nullptr);
}

std::string FindAndReplaceWithNoCase(const char* input, const char* oldText, const char* newText) {
    std::printf("FindAndReplaceWithNoCase : Input String : %s \n", OrNull(input));
    std::printf("FindAndReplaceWithNoCase : oldString String : %s \n", OrNull(oldText));
    std::printf("FindAndReplaceWithNoCase : newString String : %s \n", OrNull(newText));
    if (!input || std::strlen(input) < 2) {
        std::printf("FindAndReplaceWithNoCase : The input string is either NULL or empty string \n");
        return input ? std::string(input) : std::string();
    }
    if (!oldText || std::strlen(oldText) < 2) {
        std::printf("FindAndReplaceWithNoCase : The string to find is either NULL or empty string \n");
        return input;
    }
    const std::string replacement = newText ? newText : "";
    const std::string lowerOld = AsciiLower(oldText);
    if (lowerOld == AsciiLower(replacement)) {
        std::printf("FindAndReplaceWithNoCase : Both the old string and new strings are same , we are sending the input string as output ..\n");
        return input;
    }
    // Lower-casing ASCII only keeps both copies the same length byte for byte, so a
    // position found in the search copy is valid in the result.
    std::string result = input;
    std::string search = AsciiLower(input);
    std::size_t position = 0;
    while ((position = search.find(lowerOld, position)) != std::string::npos) {
        result.replace(position, lowerOld.size(), replacement);
        search.replace(position, lowerOld.size(), replacement);
        position += replacement.size();
    }
    std::fflush(stdout);
    return result;
}

const char* FormatTwoDigits(unsigned number) {
    thread_local char buffer[3];
    buffer[0] = static_cast<char>('0' + (number % 100) / 10);
    buffer[1] = static_cast<char>('0' + number % 10);
    buffer[2] = '\0';
    return buffer;
}

const char* GetCurrentDateShort() {
    thread_local char buffer[16];
    const SYSTEMTIME now = Now();
    std::snprintf(buffer, sizeof buffer, "%02u-%02u-%02u", now.wYear % 100u, now.wMonth % 100u, now.wDay % 100u);
    return buffer;
}

const char* GetCurrentDateTimeText() {
    thread_local char buffer[32];
    const SYSTEMTIME now = Now();
    const char* month = (now.wMonth >= 1 && now.wMonth <= 12) ? kMonths[now.wMonth - 1] : "???";
    std::snprintf(buffer, sizeof buffer, "%s %02u,%04u %02u:%02u%s", month, now.wDay % 100u, now.wYear % 10000u,
                  HourModuloTwelve(now.wHour), now.wMinute % 100u, now.wHour < 12 ? "AM" : "PM");
    return buffer;
}

void GetCurrentTimeText(bool twentyFourHour, std::string* text) {
    if (!text) return;
    const SYSTEMTIME now = Now();
    char buffer[16];
    if (twentyFourHour)
        std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", now.wHour % 100u, now.wMinute % 100u, now.wSecond % 100u);
    else
        std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u %s", TwelveHour(now.wHour), now.wMinute % 100u,
                      now.wSecond % 100u, now.wHour < 12 ? "am" : "pm");
    *text = buffer;
}
