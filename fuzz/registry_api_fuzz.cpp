// Fuzz target: sequences of registry calls through the host layer's Reg* API (create and
// delete keys, set, delete and query values of every type with any bytes, names that
// differ only in case or carry the export format's quotes, backslashes and '=') against a
// plain model. Every query answers what the model holds, and the hive file on disk, read
// back, holds exactly the model's keys and values.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/registry.h"

namespace {

struct StoredValue {
    DWORD type;
    std::vector<BYTE> data;
};

const WCHAR* kKeys[] = {u"Software\\Fz", u"Software\\Fz\\a", u"Software\\FZ\\A\\deep",
                        u"Software\\Fz\\B", u"Software\\fz\\b\\x y"};
const WCHAR* kNames[] = {u"",      u"v",        u"V", u"with space", u"q\"uote", u"back\\slash",
                         u"eq=al", u"\u00fcml", u"@"};
const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};

using fuzzinput::Input;

WideString Folded(WideStringView path) {
    WideString folded;
    for (const auto& part : host::reg::SplitPath(path)) folded += host::reg::FoldedName(part) + u"\\";
    return folded;
}

std::filesystem::path MachineRoot() {
    static const std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "registry-api-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) __builtin_trap();
        setenv("VANTORRA_MACHINE_ROOT", pattern.c_str(), 1);
        return std::filesystem::path(pattern);
    }();
    return root;
}

// The model: keys by folded path (with their parents), values by folded name.
struct Model {
    std::map<WideString, std::map<WideString, StoredValue>> keys;
    bool HasSubkeys(const WideString& folded) const {
        for (const auto& [path, values] : keys)
            if (path.size() > folded.size() && path.compare(0, folded.size(), folded) == 0) return true;
        return false;
    }
    void AddWithParents(WideStringView path) {
        WideString folded;
        for (const auto& part : host::reg::SplitPath(path)) {
            folded += host::reg::FoldedName(part) + u"\\";
            if (folded != Folded(u"Software")) keys[folded];
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path hive = MachineRoot() / "registry" / "HKLM.reg";
    std::error_code ignored;
    std::filesystem::remove(hive, ignored);
    Model model;
    Input in(data, size);
    while (!in.empty()) {
        const std::uint8_t op = in.Byte() % 5;
        const WCHAR* path = kKeys[in.Byte() % std::size(kKeys)];
        const WideString folded = Folded(path);
        const bool exists = model.keys.count(folded) != 0;
        if (op == 0) {
            HKEY key = nullptr;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
                ERROR_SUCCESS)
                __builtin_trap();
            RegCloseKey(key);
            model.AddWithParents(path);
            continue;
        }
        if (op == 3) {
            const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
            const LSTATUS expected =
                !exists ? ERROR_FILE_NOT_FOUND : (model.HasSubkeys(folded) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
            if (status != expected) __builtin_trap();
            if (status == ERROR_SUCCESS) model.keys.erase(folded);
            continue;
        }
        HKEY key = nullptr;
        const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key);
        if ((opened == ERROR_SUCCESS) != exists) __builtin_trap();
        const WCHAR* name = kNames[in.Byte() % std::size(kNames)];
        const WideString foldedName = host::reg::FoldedName(name);
        if (op == 1) {
            const DWORD type = kTypes[in.Byte() % std::size(kTypes)];
            const std::string run = in.Bytes(63);
            std::vector<BYTE> bytes(run.begin(), run.end());
            if (exists) {
                if (RegSetValueExW(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())) !=
                    ERROR_SUCCESS)
                    __builtin_trap();
                model.keys[folded][foldedName] = StoredValue{type, std::move(bytes)};
            }
        } else if (op == 2) {
            if (exists) {
                const LSTATUS status = RegDeleteValueW(key, name);
                const bool had = model.keys[folded].erase(foldedName) != 0;
                if (status != static_cast<LSTATUS>(had ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND)) __builtin_trap();
            }
        } else if (exists) {
            std::vector<BYTE> back(128);
            DWORD type = 0, length = static_cast<DWORD>(back.size());
            const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, back.data(), &length);
            auto found = model.keys[folded].find(foldedName);
            if (found == model.keys[folded].end()) {
                if (status != ERROR_FILE_NOT_FOUND) __builtin_trap();
            } else {
                back.resize(length);
                if (status != ERROR_SUCCESS || type != found->second.type || back != found->second.data)
                    __builtin_trap();
            }
        }
        if (opened == ERROR_SUCCESS) RegCloseKey(key);
    }
    // The file holds the model: every key and value, nothing else below Software\Fz.
    host::reg::Key root{WideString(host::reg::kRootName)};
    host::reg::ParseReport report;
    std::string text;
    if (std::FILE* file = std::fopen(hive.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        std::fclose(file);
    }
    host::reg::ParseRegText(text, root, &report);
    if (!report.skipped.empty()) __builtin_trap();
    std::size_t keysOnDisk = 0;
    std::vector<std::pair<const host::reg::Key*, WideString>> pending;
    if (const host::reg::Key* software = host::reg::FindPath(root, host::reg::SplitPath(u"Software")))
        for (const auto& sub : software->subkeys)
            pending.emplace_back(sub.get(), host::reg::FoldedName(u"Software") + u"\\" + host::reg::FoldedName(sub->name) + u"\\");
    while (!pending.empty()) {
        auto [key, folded] = pending.back();
        pending.pop_back();
        ++keysOnDisk;
        auto modelled = model.keys.find(folded);
        if (modelled == model.keys.end() || modelled->second.size() != key->values.size()) __builtin_trap();
        for (const auto& value : key->values) {
            auto stored = modelled->second.find(host::reg::FoldedName(value.name));
            if (stored == modelled->second.end() || stored->second.type != value.type ||
                stored->second.data != value.data)
                __builtin_trap();
        }
        for (const auto& sub : key->subkeys)
            pending.emplace_back(sub.get(), folded + host::reg::FoldedName(sub->name) + u"\\");
    }
    if (keysOnDisk != model.keys.size()) __builtin_trap();
    return 0;
}
