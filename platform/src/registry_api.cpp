// The Reg* functions on the hive file: key handles with their access rights, and
// the A forms' UTF-8 conversion of names and string data.
#include <sys/stat.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"

namespace {

using host::reg::Key;
using host::reg::Value;

constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;

struct OpenKey {
    std::vector<std::u16string> path;  // below HKEY_LOCAL_MACHINE, with the hive's case
    REGSAM access = 0;
    bool deleted = false;  // guarded by the table's mutex
};

struct KeyTable {
    std::mutex mutex;
    std::unordered_map<ULONG_PTR, std::shared_ptr<OpenKey>> keys;
    // Handle values are never reused, so a stale handle is refused rather than
    // silently reaching a key opened later.
    ULONG_PTR next = 0x1000;
};

KeyTable& Table() {
    static auto* table = new KeyTable;
    return *table;
}

REGSAM Rights(REGSAM desired) {
    REGSAM rights = desired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);  // one view
    if (rights & (kMaximumAllowed | kGenericAll)) rights |= KEY_ALL_ACCESS;
    if (rights & (kGenericRead | kGenericExecute)) rights |= KEY_READ;
    if (rights & kGenericWrite) rights |= KEY_WRITE;
    return rights;
}

bool Allows(const OpenKey& key, REGSAM right) { return (key.access & right) == right; }

HKEY Register(std::vector<std::u16string> path, REGSAM desired) {
    auto key = std::make_shared<OpenKey>();
    key->path = std::move(path);
    key->access = Rights(desired);
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    ULONG_PTR id = table.next;
    table.next += 4;
    table.keys.emplace(id, std::move(key));
    return reinterpret_cast<HKEY>(id);
}

// The open key behind a handle. HKEY_LOCAL_MACHINE is always open with full access;
// the other predefined keys have no hive here.
LSTATUS Lookup(HKEY handle, OpenKey& out) {
    if (handle == HKEY_LOCAL_MACHINE) {
        out.path.clear();
        out.access = KEY_ALL_ACCESS;
        out.deleted = false;
        return ERROR_SUCCESS;
    }
    auto id = reinterpret_cast<ULONG_PTR>(handle);
    if (id >= 0x80000000 && id <= 0x80000006) return ERROR_FILE_NOT_FOUND;
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.keys.find(id);
    if (found == table.keys.end()) return ERROR_INVALID_HANDLE;
    out = *found->second;
    return out.deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

bool SamePath(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!host::reg::NamesEqual(a[i], b[i])) return false;
    return true;
}

void MarkDeleted(const std::vector<std::u16string>& path) {
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    for (auto& [id, key] : table.keys)
        if (SamePath(key->path, path)) key->deleted = true;
}

bool ValidKeyNames(const std::vector<std::u16string>& parts) {
    for (const auto& part : parts) {
        if (part.size() > host::reg::kMaxKeyNameChars) return false;
        if (part.find_first_of(u"\r\n") != std::u16string::npos) return false;
    }
    return true;
}

// Line breaks cannot be written in a value name of the hive file.
bool ValidValueName(std::u16string_view name) {
    return name.size() <= host::reg::kMaxValueNameChars &&
           name.find_first_of(u"\r\n") == std::u16string_view::npos;
}

std::u16string Wide(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }
std::u16string WideFromUtf8(LPCSTR text) {
    return text ? host::Utf8ToUtf16(text) : std::u16string();
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data as the A forms see it: the stored UTF-16 converted to UTF-8 as it is.
// As on Windows no terminator is added, so text stored without one reads back without
// one and callers can tell.
std::vector<BYTE> NarrowData(const Value& value) {
    if (!IsStringType(value.type) || value.data.empty()) return value.data;
    std::u16string wide(value.data.size() / 2, u'\0');
    std::memcpy(wide.data(), value.data.data(), wide.size() * 2);
    const std::string text = host::Utf16ToUtf8(wide);
    return std::vector<BYTE>(text.begin(), text.end());
}

std::vector<BYTE> WideData(DWORD type, const BYTE* data, DWORD size, bool fromUtf8) {
    if (!data || size == 0) return {};
    if (!fromUtf8 || !IsStringType(type)) return std::vector<BYTE>(data, data + size);
    std::u16string wide =
        host::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<BYTE> bytes(wide.size() * 2);
    std::memcpy(bytes.data(), wide.data(), bytes.size());
    return bytes;
}

// A snapshot of the hive and the key a handle names in it.
struct Resolved {
    std::shared_ptr<const Key> hive;
    const Key* key = nullptr;
    OpenKey open;
};

LSTATUS Resolve(HKEY handle, REGSAM right, Resolved& out) {
    LSTATUS rc = Lookup(handle, out.open);
    if (rc != ERROR_SUCCESS) return rc;
    if (right && !Allows(out.open, right)) return ERROR_ACCESS_DENIED;
    DWORD error = ERROR_SUCCESS;
    out.hive = host::reg::ReadHive(&error);
    if (!out.hive) return static_cast<LSTATUS>(error);
    out.key = host::reg::FindPath(*out.hive, out.open.path);
    // Another process deleted it.
    return out.key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Walks the existing subkeys named by parts below from, appending the stored spelling
// of each name to path; false when one of them is missing.
bool FindExisting(const Key* from, const std::vector<std::u16string>& parts,
                  std::vector<std::u16string>& path) {
    for (const auto& part : parts) {
        from = from->FindSubkey(part);
        if (!from) return false;
        path.push_back(from->name);
    }
    return true;
}

LSTATUS CreateKey(HKEY parent, const std::u16string& subKey, REGSAM desired, PHKEY result,
                  LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::u16string> parts = host::reg::SplitPath(subKey);
    if (!ValidKeyNames(parts)) return ERROR_INVALID_PARAMETER;
    Resolved at;
    LSTATUS rc = Resolve(parent, 0, at);
    if (rc != ERROR_SUCCESS) return rc;
    if (at.open.path.size() + parts.size() > host::reg::kMaxKeyDepth) return ERROR_INVALID_PARAMETER;

    // Already there: open it with the stored spelling of each name, no write needed.
    std::vector<std::u16string> path = at.open.path;
    if (FindExisting(at.key, parts, path)) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        *result = Register(std::move(path), desired);
        return ERROR_SUCCESS;
    }
    path = at.open.path;
    if (!Allows(at.open, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;

    bool anyCreated = false;
    std::vector<std::u16string> created;
    rc = static_cast<LSTATUS>(host::reg::UpdateHive([&](Key& root, bool& changed) -> DWORD {
        Key* key = host::reg::FindPath(root, at.open.path);
        if (!key) return ERROR_KEY_DELETED;
        created.clear();
        for (const auto& part : parts) {
            bool isNew = false;
            key = &key->AddSubkey(part, &isNew);
            anyCreated |= isNew;
            created.push_back(key->name);
        }
        changed = anyCreated;
        return ERROR_SUCCESS;
    }));
    if (rc != ERROR_SUCCESS) return rc;
    path.insert(path.end(), created.begin(), created.end());
    if (disposition) *disposition = anyCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = Register(std::move(path), desired);
    return ERROR_SUCCESS;
}

LSTATUS OpenKeyAt(HKEY parent, const std::u16string& subKey, REGSAM desired, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::u16string> parts = host::reg::SplitPath(subKey);
    Resolved at;
    LSTATUS rc = Resolve(parent, 0, at);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::u16string> path = at.open.path;
    if (!FindExisting(at.key, parts, path)) return ERROR_FILE_NOT_FOUND;
    *result = Register(std::move(path), desired);
    return ERROR_SUCCESS;
}

// Copies data out by the RegQueryValueEx rules: no buffer asks for the size, a buffer
// too small gets ERROR_MORE_DATA and the size needed.
LSTATUS CopyData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD dataSize) {
    const auto needed = static_cast<DWORD>(bytes.size());
    if (!data) {
        if (dataSize) *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, bytes.data(), needed);
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LSTATUS QueryValue(HKEY handle, const std::u16string& name, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataSize, bool narrow) {
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    Resolved at;
    LSTATUS rc = Resolve(handle, KEY_QUERY_VALUE, at);
    if (rc != ERROR_SUCCESS) return rc;
    const Value* value = at.key->FindValue(name);
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    return CopyData(narrow ? NarrowData(*value) : value->data, data, dataSize);
}

LSTATUS SetValue(HKEY handle, const std::u16string& name, DWORD type, const BYTE* data,
                 DWORD size, bool narrow) {
    if (!ValidValueName(name) || (!data && size)) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    LSTATUS rc = Lookup(handle, open);
    if (rc != ERROR_SUCCESS) return rc;
    if (!Allows(open, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::vector<BYTE> bytes = WideData(type, data, size, narrow);
    return static_cast<LSTATUS>(host::reg::UpdateHive([&](Key& root, bool& changed) -> DWORD {
        Key* key = host::reg::FindPath(root, open.path);
        if (!key) return ERROR_KEY_DELETED;
        const Value* old = key->FindValue(name);
        if (old && old->type == type && old->data == bytes) return ERROR_SUCCESS;
        key->SetValue(name, type, bytes);
        changed = true;
        return ERROR_SUCCESS;
    }));
}

LSTATUS DeleteValue(HKEY handle, const std::u16string& name) {
    OpenKey open;
    LSTATUS rc = Lookup(handle, open);
    if (rc != ERROR_SUCCESS) return rc;
    if (!Allows(open, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return static_cast<LSTATUS>(host::reg::UpdateHive([&](Key& root, bool& changed) -> DWORD {
        Key* key = host::reg::FindPath(root, open.path);
        if (!key) return ERROR_KEY_DELETED;
        if (!key->RemoveValue(name)) return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    }));
}

LSTATUS DeleteKey(HKEY handle, const std::u16string& subKey) {
    OpenKey open;
    LSTATUS rc = Lookup(handle, open);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::u16string> target = open.path;
    for (auto& part : host::reg::SplitPath(subKey)) target.push_back(std::move(part));
    if (target.empty()) return ERROR_ACCESS_DENIED;  // HKEY_LOCAL_MACHINE itself
    std::vector<std::u16string> deleted;
    rc = static_cast<LSTATUS>(host::reg::UpdateHive([&](Key& root, bool& changed) -> DWORD {
        if (!host::reg::FindPath(root, open.path)) return ERROR_KEY_DELETED;
        std::vector<std::u16string> parentPath(target.begin(), target.end() - 1);
        Key* parent = host::reg::FindPath(root, parentPath);
        Key* key = parent ? parent->FindSubkey(target.back()) : nullptr;
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->RemoveSubkey(target.back());
        changed = true;
        return ERROR_SUCCESS;
    }));
    if (rc == ERROR_SUCCESS) MarkDeleted(target);
    return rc;
}

FILETIME HiveWriteTime() {
    FILETIME time{0, 0};
    struct stat info {};
    if (::stat(host::reg::HivePath().c_str(), &info) != 0) return time;
    // 100-nanosecond intervals since 1601.
    ULONGLONG ticks = (static_cast<ULONGLONG>(info.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL +
                      static_cast<ULONGLONG>(info.st_mtim.tv_nsec) / 100;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// Copies a name with its terminator into a buffer of *chars characters; on success
// *chars is the length without terminator, else ERROR_MORE_DATA and the size needed.
template <typename Char>
LSTATUS CopyName(const std::basic_string<Char>& name, Char* buffer, LPDWORD chars) {
    const auto needed = static_cast<DWORD>(name.size() + 1);
    if (*chars < needed) {
        *chars = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.data(), name.size() * sizeof(Char));
    buffer[name.size()] = Char{};
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

template <typename Char>
LSTATUS EnumKey(HKEY handle, DWORD index, Char* name, LPDWORD nameChars, LPDWORD reserved,
                Char* keyClass, LPDWORD classChars, PFILETIME lastWriteTime) {
    if (!name || !nameChars || reserved) return ERROR_INVALID_PARAMETER;
    Resolved at;
    LSTATUS rc = Resolve(handle, KEY_ENUMERATE_SUB_KEYS, at);
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= at.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::u16string& wide = at.key->subkeys[index]->name;
    if constexpr (sizeof(Char) == 1) rc = CopyName(host::Utf16ToUtf8(wide), name, nameChars);
    else rc = CopyName(wide, name, nameChars);
    if (rc != ERROR_SUCCESS) return rc;
    if (classChars) {
        if (keyClass && *classChars) keyClass[0] = Char{};
        *classChars = 0;
    }
    if (lastWriteTime) *lastWriteTime = HiveWriteTime();
    return ERROR_SUCCESS;
}

template <typename Char>
LSTATUS EnumValue(HKEY handle, DWORD index, Char* valueName, LPDWORD valueNameChars,
                  LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (!valueName || !valueNameChars || reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    Resolved at;
    LSTATUS rc = Resolve(handle, KEY_QUERY_VALUE, at);
    if (rc != ERROR_SUCCESS) return rc;
    if (index >= at.key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = at.key->values[index];
    constexpr bool narrow = sizeof(Char) == 1;
    if constexpr (narrow) rc = CopyName(host::Utf16ToUtf8(value.name), valueName, valueNameChars);
    else rc = CopyName(value.name, valueName, valueNameChars);
    if (rc != ERROR_SUCCESS) return rc;
    if (type) *type = value.type;
    return CopyData(narrow ? NarrowData(value) : value.data, data, dataSize);
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired,
                        const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return CreateKey(key, WideFromUtf8(subKey), desired, result, disposition);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM desired,
                        const SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return CreateKey(key, Wide(subKey), desired, result, disposition);
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenKeyAt(key, WideFromUtf8(subKey), desired, result);
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenKeyAt(key, Wide(subKey), desired, result);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
    return QueryValue(key, WideFromUtf8(valueName), reserved, type, data, dataSize, true);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize) {
    return QueryValue(key, Wide(valueName), reserved, type, data, dataSize, false);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data,
                       DWORD dataSize) {
    return SetValue(key, WideFromUtf8(valueName), type, data, dataSize, true);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                       DWORD dataSize) {
    return SetValue(key, Wide(valueName), type, data, dataSize, false);
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
    return DeleteValue(key, WideFromUtf8(valueName));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) { return DeleteValue(key, Wide(valueName)); }

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(key, WideFromUtf8(subKey));
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return DeleteKey(key, Wide(subKey));
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime) {
    return EnumKey(key, index, name, nameChars, reserved, keyClass, classChars, lastWriteTime);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                      LPWSTR keyClass, LPDWORD classChars, PFILETIME lastWriteTime) {
    return EnumKey(key, index, name, nameChars, reserved, keyClass, classChars, lastWriteTime);
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return EnumValue(key, index, valueName, valueNameChars, reserved, type, data, dataSize);
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameChars,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return EnumValue(key, index, valueName, valueNameChars, reserved, type, data, dataSize);
}

LSTATUS RegCloseKey(HKEY key) {
    auto id = reinterpret_cast<ULONG_PTR>(key);
    if (id >= 0x80000000 && id <= 0x80000006) return ERROR_SUCCESS;
    KeyTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.keys.erase(id) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
