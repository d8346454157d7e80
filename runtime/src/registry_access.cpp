// Registry access for the agent's key: each function opens the key, does one thing,
// logs what happened and closes the key again; RegistryKey holds one key open.
#include "runtime/registry_access.h"

#include <climits>
#include <cstring>
#include <vector>

#include "runtime/helpers.h"
#include "runtime/log.h"

namespace {

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

bool IsDefaultValueName(const char* name) {
    return name && std::strlen(name) == 2 && name[0] == '-' && name[1] == '-';
}

bool IsDefaultValueName(const WCHAR* name) {
    return name && name[0] == WTEXT('-') && name[1] == WTEXT('-') && name[2] == WTEXT('\0');
}

// Reads a signed decimal as the C runtime's atoi does (leading blanks, optional sign,
// digits up to the first other character), clamped to 32 bits instead of overflowing.
std::int32_t ParseDecimal(const char* text) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f') ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::int64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text++ - '0');
        if (value > static_cast<std::int64_t>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(value);
}

// Text up to the first terminator: registry strings carry theirs inside the data.
template <typename Char>
std::basic_string<Char> UpToTerminator(const std::vector<Char>& buffer) {
    std::size_t length = 0;
    while (length < buffer.size() && buffer[length] != Char{}) ++length;
    return std::basic_string<Char>(buffer.data(), length);
}

}  // namespace

DWORD addRegistryKey(HKEY hive, const char* subKey) {
    LogDebug("addRegistryKey: Inside addRegistryKey method ...... \n");
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExA(hive, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS) {
        LogError("addRegistryKey:  Create registry key \"%s\" function failed: %d \n", subKey, status);
        LogErrorMessage(static_cast<DWORD>(status));
        return static_cast<DWORD>(status);
    }
    if (disposition == REG_OPENED_EXISTING_KEY)
        LogDebug("addRegistryKey:  Opened already existing key! \n");
    else
        LogDebug("addRegistryKey:  Create registry key function successfull: %d \n", disposition);
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

DWORD writeValue(HKEY hive, const char* subKey, const char* valueName, const char* valueData, DWORD dataType) {
    LogDebug("@@@@@@@@ Inside writeValue Method @@@@@@@@ \n");
    if (!valueName || !valueData) {
        LogInfo("writeValue : Valuename or Valuedata is Empty \n");
        return ERROR_INVALID_DATA;
    }
    LogDebug("writeValue: Subkey : %s \n", subKey);
    LogDebug("writeValue: Value Name: %s \n", valueName);
    LogDebug("writeValue: Value Data: %s \n", valueData);

    WideString name;
    WideString data;
    ChangeUtf8ToWideStr(valueName, &name);
    ChangeUtf8ToWideStr(valueData, &data);
    if (IsDefaultValueName(valueName)) {
        LogInfo("writeValue : going to add the (default) value .\n");
        name.clear();
    }
    std::string narrowData = valueData;
    if (IsDefaultValueName(valueData)) {
        LogInfo("writeValue : going to add the value data as 0 value .\n");
        data.clear();
        narrowData.clear();
    }

    std::vector<BYTE> bytes;
    auto appendWide = [&](std::size_t terminators) {
        const std::size_t units = data.size() + terminators;
        bytes.assign(units * 2, 0);
        std::memcpy(bytes.data(), data.data(), data.size() * 2);
    };
    switch (dataType) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_BINARY:
            appendWide(1);
            LogDebug("writeValue:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: %d\n", bytes.size());
            break;
        case REG_DWORD: {
            const std::int32_t number = ParseDecimal(narrowData.c_str());
            bytes.resize(4);
            std::memcpy(bytes.data(), &number, 4);
            LogDebug("writeValue:  REG_DWORD -- sizeOfInputData: %d\n", 4);
            break;
        }
        case REG_MULTI_SZ:
            appendWide(2);
            LogDebug("writeValue:  Data type is REG_MULTI_SZ: %d\n", bytes.size());
            break;
        default:
            // The first four bytes of the text, zero-filled when the text is shorter.
            appendWide(2);
            bytes.resize(4, 0);
            break;
    }

    const DWORD created = addRegistryKey(hive, subKey);
    if (created != ERROR_SUCCESS) {
        LogError("writeValue:  WriteValue failure during key creation! %d \n", created);
        return created;
    }
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(hive, subKey, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS) {
        LogError("writeValue:  Key open failure! %d \n", opened);
        LogErrorMessage(static_cast<DWORD>(opened));
        return static_cast<DWORD>(opened);
    }
    LogDebug("writeValue:  Key found ...!: %d\n", opened);
    LogDebug("writeValue:  After addRegistryKey method in writeValue method!!\n");

    const LSTATUS status =
        RegSetValueExW(key, name.c_str(), 0, dataType, bytes.data(), static_cast<DWORD>(bytes.size()));
    if (status == ERROR_SUCCESS) {
        LogErrorMessage(ERROR_SUCCESS);
        RegCloseKey(key);
        LogDebug("@@@@@@@@ End Of writeValue Method @@@@@@@@ \n");
        return ERROR_SUCCESS;
    }
    LogError("writeValue:  Function WriteValue failure!:%d\n", status);
    LogError("writeValue:    Subkey: %s \n", subKey);
    LogError("writeValue:    Valuename: %S \n", name);
    LogError("writeValue:    Valuedata: %S \n", data);
    LogError("writeValue:    Datatype: %d \n", dataType);
    LogErrorMessage(static_cast<DWORD>(status));
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

DWORD deleteValue(HKEY hive, const char* subKey, const char* valueName) {
    LogDebug("deleteValue: Inside function deleteValue ..... \n");
    const char* name = valueName;
    if (IsDefaultValueName(valueName)) {
        LogInfo("deleteValue : going to delete the (default) value .\n");
        name = "";
    }
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(hive, subKey, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS) {
        LogError("deleteValue:  %s Key not found!: %d  \n", subKey, opened);
        SetLastError(static_cast<DWORD>(opened));
        LogLastError();
        return static_cast<DWORD>(opened);
    }
    LogInfo("deleteValue:  Key found ...!: %d\n", opened);
    const LSTATUS status = RegDeleteValueA(key, name);
    if (status == ERROR_SUCCESS) {
        LogInfo("deleteValue:  Delete value %s success! \n", valueName);
        RegCloseKey(key);
        return ERROR_SUCCESS;
    }
    LogError("deleteValue:  Delete value %s failure! \n", valueName);
    RegCloseKey(key);
    SetLastError(static_cast<DWORD>(status));
    LogLastError();
    return static_cast<DWORD>(status);
}

DWORD deleteValue(HKEY hive, const WCHAR* subKey, const WCHAR* valueName) {
    LogDebug("deleteValue: Inside function deleteValue ..... subkey : %ws, Valuename : %ws \n", subKey, valueName);
    const WCHAR* name = valueName;
    if (IsDefaultValueName(valueName)) {
        LogInfo("deleteValue : going to delete the (default) value .\n");
        name = WTEXT("");
    }
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(hive, subKey, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS) {
        LogError("deleteValue:  %ws Key not found!: %d  \n", subKey, opened);
        SetLastError(static_cast<DWORD>(opened));
        LogLastError();
        return static_cast<DWORD>(opened);
    }
    LogInfo("deleteValue:  Key found ...!: %d\n", opened);
    const LSTATUS status = RegDeleteValueW(key, name);
    if (status == ERROR_SUCCESS) {
        LogInfo("deleteValue:  Delete value %ws success! \n", valueName);
        RegCloseKey(key);
        return ERROR_SUCCESS;
    }
    LogError("deleteValue:  Delete value %ws failure! \n", valueName);
    RegCloseKey(key);
    SetLastError(static_cast<DWORD>(status));
    LogLastError();
    return static_cast<DWORD>(status);
}

DWORD ReadDwordRegistryData(HKEY hive, const char* subKey, const char* valueName, DWORD* result) {
    if (!result) return ERROR_INVALID_DATA;
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(hive, subKey, 0, KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        LogDebug("ReadDwordRegistryData:  value  %s Not found: %d \n", valueName, opened);
        return ERROR_FILE_NOT_FOUND;
    }
    if (opened != ERROR_SUCCESS) {
        LogError("ReadDwordRegistryData: Error while opening registry key %s,and the errorcode is : %d \n", subKey,
                 opened);
        return static_cast<DWORD>(opened);
    }
    // Read over the caller's value: a shorter value replaces only its own bytes.
    DWORD value = *result;
    DWORD size = sizeof value;
    const LSTATUS status = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
    if (status == ERROR_SUCCESS) {
        *result = value;
    } else if (status == ERROR_FILE_NOT_FOUND) {
        LogDebug("ReadDwordRegistryData:  value  %s Not found: %d \n", valueName, status);
    } else {
        LogError("ReadDwordRegistryData: Error while reading DWORD value of %s : %d \n", valueName, status);
    }
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

DWORD ReadRegSZ(HKEY hive, const char* subKey, const char* valueName, std::optional<std::string>* result) {
    if (!result) return ERROR_INVALID_DATA;
    result->reset();
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(hive, subKey, 0, KEY_QUERY_VALUE, &key);
    if (opened != ERROR_SUCCESS) {
        LogError("ReadRegSZ: Error while opening registry key %s ,and the error is  %d \n", subKey, opened);
        return static_cast<DWORD>(opened);
    }
    DWORD size = 0;
    LSTATUS status = RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return static_cast<DWORD>(status);
    }
    std::vector<char> buffer(static_cast<std::size_t>(size) + 5, '\0');
    DWORD capacity = size;
    status = RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer.data()), &capacity);
    if (status != ERROR_SUCCESS) {
        LogError("ReadRegSZ: Error while reading DWORD value! %d \n", status);
        *result = std::string();
    } else {
        *result = UpToTerminator(buffer);
    }
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

DWORD ReadRegSZEx(HKEY hive, const char* subKey, const char* valueName, std::optional<WideString>* result) {
    if (!result) return ERROR_INVALID_DATA;
    result->reset();
    WideString name;
    if (valueName && !ChangeUtf8ToWideStr(valueName, &name)) return ERROR_INVALID_DATA;
    const WCHAR* wideName = valueName ? name.c_str() : nullptr;
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(hive, subKey, 0, KEY_QUERY_VALUE, &key);
    if (opened != ERROR_SUCCESS) {
        LogError("ReadRegSZEx: Error while opening registry key : %S \n", name);
        return static_cast<DWORD>(opened);
    }
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, wideName, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        return static_cast<DWORD>(status);
    }
    // Size in bytes plus five spare zero bytes, rounded up to whole UTF-16 units.
    std::vector<WCHAR> buffer((static_cast<std::size_t>(size) + 5 + 1) / 2, WTEXT('\0'));
    DWORD capacity = size;
    status = RegQueryValueExW(key, wideName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer.data()), &capacity);
    if (status != ERROR_SUCCESS) {
        LogError("ReadRegSZEx: Error while reading DWORD value! %d \n", status);
        *result = WideString();
    } else {
        *result = UpToTerminator(buffer);
    }
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

bool DeleteKeyTree(HKEY parent, const char* subKey) {
    if (!subKey) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, subKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        for (;;) {
            char child[MAX_PATH] = {};
            DWORD chars = MAX_PATH;
            if (RegEnumKeyExA(key, 0, child, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (!DeleteKeyTree(key, child)) {
                RegCloseKey(key);
                return false;
            }
        }
        RegCloseKey(key);
    }
    return RegDeleteKeyA(parent, subKey) == ERROR_SUCCESS;
}

// ---------------------------------------------------------------- RegistryKey

LSTATUS RegistryKey::open(HKEY parent, const char* subKey, REGSAM access) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExA(parent, subKey, 0, access, &key);
    if (status != ERROR_SUCCESS) return status;
    close();
    key_ = key;
    view_ = access & kViewBits;
    return ERROR_SUCCESS;
}

LSTATUS RegistryKey::create(HKEY parent, const char* subKey, LPSTR keyClass, DWORD options, REGSAM access,
                            LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition) {
    HKEY key = nullptr;
    DWORD created = 0;
    const LSTATUS status =
        RegCreateKeyExA(parent, subKey, 0, keyClass, options, access, securityAttributes, &key, &created);
    if (status != ERROR_SUCCESS) return status;
    close();
    key_ = key;
    view_ = access & kViewBits;
    if (disposition) *disposition = created;
    return ERROR_SUCCESS;
}

void RegistryKey::close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
    view_ = 0;
}

LSTATUS RegistryKey::readDword(const char* valueName, DWORD* result) const {
    if (!key_) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    if (!result) return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS status = RegQueryValueExA(key_, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
    if ((status == ERROR_SUCCESS || status == static_cast<LSTATUS>(ERROR_MORE_DATA)) && type != REG_DWORD)
        return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    if (status != ERROR_SUCCESS) return status;
    *result = value;
    return ERROR_SUCCESS;
}

LSTATUS RegistryKey::readString(const char* valueName, char* buffer, DWORD* size) const {
    if (!key_) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    if (!size) return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
    const DWORD capacity = buffer ? *size : 0;
    DWORD type = REG_NONE;
    DWORD read = capacity;
    const LSTATUS status = RegQueryValueExA(key_, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &read);
    if ((status == ERROR_SUCCESS || status == static_cast<LSTATUS>(ERROR_MORE_DATA)) && type != REG_SZ &&
        type != REG_EXPAND_SZ)
        return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    if (status != ERROR_SUCCESS) {
        if (status == static_cast<LSTATUS>(ERROR_MORE_DATA)) *size = read;
        return status;
    }
    if (buffer) {
        if (read == 0) {
            if (capacity == 0) return static_cast<LSTATUS>(ERROR_MORE_DATA);
            buffer[0] = '\0';
        } else if (buffer[read - 1] != '\0') {
            return static_cast<LSTATUS>(ERROR_INVALID_DATA);
        }
    }
    *size = read;
    return ERROR_SUCCESS;
}

LSTATUS RegistryKey::writeString(const char* valueName, const char* text, DWORD type) const {
    if (!text) return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    if (!key_) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    return RegSetValueExA(key_, valueName, 0, type, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
}
