// The reg command for administrators and scripts. It never prompts: /f and /y are
// accepted, and the command goes ahead without them too, because it runs unattended.
#include "tools/reg/reg_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>

#include "platform/src/internal.h"
#include "platform/src/registry_hive.h"
#include "platform/win/errors.h"
#include "platform/win/host.h"
#include "platform/win/registry.h"

namespace regtool {
namespace {

using host::reg::Key;
using host::reg::Value;

constexpr const char* kSuccess = "The operation completed successfully.";
constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";

// Thrown inside this unit only, caught by Run.
struct Failure {
    std::string message;
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

[[noreturn]] void Syntax(const std::string& operation, const std::string& detail) {
    std::string text = "ERROR: Invalid syntax.";
    if (!detail.empty()) text += " " + detail;
    text += "\nType \"REG " + (operation.empty() ? std::string() : Upper(operation) + " ") +
            "/?\" for usage.";
    throw Failure{text};
}

// A key argument: "HKLM\..." or "HKEY_LOCAL_MACHINE\...".
std::vector<WideString> ParseKey(const std::string& operation, const std::string& text) {
    WideString wide = host::Utf8ToUtf16(text);
    std::vector<WideString> parts = host::reg::SplitPath(wide);
    if (parts.empty() || wide[0] == u'\\' ||
        !(host::reg::NamesEqual(parts[0], u"HKLM") ||
          host::reg::NamesEqual(parts[0], host::reg::kRootName))) {
        throw Failure{"ERROR: Invalid key name \"" + text +
                      "\": keys are written HKLM\\... or HKEY_LOCAL_MACHINE\\...\nType \"REG " +
                      Upper(operation) + " /?\" for usage."};
    }
    parts.erase(parts.begin());
    if (parts.size() > host::reg::kMaxKeyDepth)
        throw Failure{"ERROR: Invalid key name: keys are at most " + std::to_string(host::reg::kMaxKeyDepth) +
                      " levels deep."};
    for (const auto& part : parts) {
        if (part.size() > host::reg::kMaxKeyNameChars ||
            part.find_first_of(u"\r\n") != WideString::npos)
            throw Failure{"ERROR: Invalid key name \"" + text + "\"."};
    }
    return parts;
}

// Switches of one command: which take a parameter, and what was given.
struct Options {
    std::map<std::string, std::optional<std::string>> given;  // lower-case switch name
    std::vector<std::string> positional;

    bool Has(const std::string& name) const { return given.count(name) != 0; }
    std::string Get(const std::string& name) const {
        auto it = given.find(name);
        return it == given.end() || !it->second ? std::string() : *it->second;
    }
};

Options ParseOptions(const std::string& operation, const std::vector<std::string>& args,
                     const std::vector<std::string>& flags,
                     const std::vector<std::string>& withValue) {
    Options options;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg.size() >= 2 ? arg.substr(1) : std::string();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool known = std::find(flags.begin(), flags.end(), name) != flags.end() ||
                           std::find(withValue.begin(), withValue.end(), name) != withValue.end();
        // "/tmp/x.reg" is a host path, not a switch.
        const bool hostPath = arg[0] == '/' && !known && name.find('/') != std::string::npos;
        if (arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-') && !hostPath) {
            if (options.Has(name)) Syntax(operation, "The switch " + arg + " is given twice.");
            if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
                options.given[name] = std::nullopt;
            } else if (std::find(withValue.begin(), withValue.end(), name) != withValue.end()) {
                if (i + 1 >= args.size()) Syntax(operation, "The switch " + arg + " needs a value.");
                options.given[name] = args[++i];
            } else {
                Syntax(operation, "Unknown switch " + arg + ".");
            }
        } else {
            options.positional.push_back(arg);
        }
    }
    return options;
}

WideString FullName(const std::vector<WideString>& path) {
    WideString name(host::reg::kRootName);
    for (const auto& part : path) name += u"\\" + part;
    return name;
}

// The path with the hive's own spelling of each name; empty optional when missing.
std::optional<std::vector<WideString>> Stored(const Key& root,
                                              const std::vector<WideString>& path) {
    std::vector<WideString> stored;
    const Key* key = &root;
    for (const auto& part : path) {
        key = key->FindSubkey(part);
        if (!key) return std::nullopt;
        stored.push_back(key->name);
    }
    return stored;
}

std::shared_ptr<const Key> LoadHive() {
    DWORD error = ERROR_SUCCESS;
    auto hive = host::reg::ReadHive(&error);
    if (!hive)
        throw Failure{"ERROR: Cannot read the registry hive " + host::reg::HivePath() + " (error " +
                      std::to_string(error) + ")."};
    return hive;
}

void Update(const host::reg::HiveUpdate& apply) {
    DWORD rc = host::reg::UpdateHive(apply);
    if (rc == ERROR_FILE_NOT_FOUND) throw Failure{kNotFound};
    if (rc == ERROR_ACCESS_DENIED) throw Failure{"ERROR: Access is denied."};
    if (rc != ERROR_SUCCESS)
        throw Failure{"ERROR: Cannot write the registry hive " + host::reg::HivePath() +
                      " (error " + std::to_string(rc) + ")."};
}

// --- Value text as reg query shows it -------------------------------------------

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case 8: return "REG_RESOURCE_LIST";
        case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
        case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
        case REG_QWORD: return "REG_QWORD";
        default: return nullptr;
    }
}

WideString WideOf(const std::vector<BYTE>& data) {
    WideString wide;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        wide.push_back(static_cast<WCHAR>(data[i] | (data[i + 1] << 8)));
    return wide;
}

std::string HexDigits(const std::vector<BYTE>& data) {
    std::string out;
    char pair[3];
    for (BYTE b : data) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += pair;
    }
    return out;
}

std::string DataText(const Value& value) {
    char number[32];
    switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_LINK: {
            WideString wide = WideOf(value.data);
            return host::Utf16ToUtf8(wide.substr(0, wide.find(u'\0')));
        }
        case REG_MULTI_SZ: {
            WideString wide = WideOf(value.data);
            while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
            std::string out;
            size_t pos = 0;
            while (pos <= wide.size()) {
                size_t end = wide.find(u'\0', pos);
                if (end == WideString::npos) end = wide.size();
                if (pos) out += "\\0";
                out += host::Utf16ToUtf8(wide.substr(pos, end - pos));
                pos = end + 1;
            }
            return out;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
            if (value.data.size() == 4) {
                const BYTE* d = value.data.data();
                DWORD n = value.type == REG_DWORD
                              ? d[0] | (d[1] << 8) | (d[2] << 16) | (DWORD(d[3]) << 24)
                              : d[3] | (d[2] << 8) | (d[1] << 16) | (DWORD(d[0]) << 24);
                std::snprintf(number, sizeof number, "0x%x", n);
                return number;
            }
            break;
        case REG_QWORD:
            if (value.data.size() == 8) {
                ULONGLONG n = 0;
                for (int i = 7; i >= 0; --i) n = (n << 8) | value.data[i];
                std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(n));
                return number;
            }
            break;
        default: break;
    }
    return HexDigits(value.data);
}

void PrintValue(std::ostream& out, const Value& value) {
    std::string type;
    if (const char* name = TypeName(value.type)) {
        type = name;
    } else {
        char number[16];
        std::snprintf(number, sizeof number, "0x%X", value.type);
        type = number;
    }
    out << "    " << (value.name.empty() ? std::string("(Default)") : host::Utf16ToUtf8(value.name))
        << "    " << type << "    " << DataText(value) << "\n";
}

// --- Commands --------------------------------------------------------------------

void PrintKey(std::ostream& out, const Key& key, const WideString& name,
              const std::optional<WideString>& only, bool recursive, size_t& matches) {
    if (only) {
        const Value* value = key.FindValue(*only);
        if (value) {
            out << host::Utf16ToUtf8(name) << "\n";
            PrintValue(out, *value);
            out << "\n";
            ++matches;
        }
    } else {
        out << host::Utf16ToUtf8(name) << "\n";
        for (const Value& value : key.values) PrintValue(out, value);
        out << "\n";
        if (!recursive)
            for (const auto& sub : key.subkeys) out << host::Utf16ToUtf8(name + u"\\" + sub->name) << "\n";
    }
    if (recursive)
        for (const auto& sub : key.subkeys)
            PrintKey(out, *sub, name + u"\\" + sub->name, only, true, matches);
}

int Query(const std::vector<std::string>& args, std::ostream& out) {
    Options options = ParseOptions("query", args, {"ve", "s"}, {"v"});
    if (options.positional.size() != 1) Syntax("query", "Give exactly one key.");
    if (options.Has("v") && options.Has("ve")) Syntax("query", "Use /v or /ve, not both.");
    auto path = ParseKey("query", options.positional[0]);

    auto hive = LoadHive();
    auto stored = Stored(*hive, path);
    if (!stored) throw Failure{kNotFound};
    const Key* key = host::reg::FindPath(*hive, *stored);

    std::optional<WideString> only;
    if (options.Has("v")) only = host::Utf8ToUtf16(options.Get("v"));
    if (options.Has("ve")) only = WideString();
    const bool recursive = options.Has("s");

    std::ostringstream text;
    text << "\n";
    size_t matches = 0;
    PrintKey(text, *key, FullName(*stored), only, recursive, matches);
    if (only && matches == 0) throw Failure{kNotFound};
    out << text.str();
    if (only && recursive) out << "End of search: " << matches << " match(es) found.\n";
    return 0;
}

bool ParseNumber(const std::string& text, ULONGLONG limit, ULONGLONG& result) {
    if (text.empty()) {
        result = 0;
        return true;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) return false;
    ULONGLONG value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        const ULONGLONG base = hex ? 16 : 10;
        if (value > (limit - static_cast<ULONGLONG>(digit)) / base) return false;
        value = value * base + static_cast<ULONGLONG>(digit);
    }
    result = value;
    return true;
}

std::vector<BYTE> TextBytes(WideStringView text) {
    std::vector<BYTE> bytes;
    for (WCHAR c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

std::pair<DWORD, std::vector<BYTE>> ValueFromText(const std::string& typeName,
                                                  const std::string& data,
                                                  const std::optional<std::string>& separator) {
    const std::string type = Upper(typeName);
    std::vector<BYTE> bytes;
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        bytes = TextBytes(host::Utf8ToUtf16(data));
        bytes.insert(bytes.end(), {0, 0});
        return {type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ, bytes};
    }
    if (type == "REG_MULTI_SZ") {
        std::string sep = separator ? *separator : "\\0";
        if (separator && separator->size() != 1)
            throw Failure{"ERROR: The separator given with /s must be one character."};
        size_t pos = 0;
        while (!data.empty() && pos <= data.size()) {
            size_t end = data.find(sep, pos);
            if (end == std::string::npos) end = data.size();
            if (end == pos)
                throw Failure{"ERROR: Invalid REG_MULTI_SZ data: the list holds an empty string."};
            auto part = TextBytes(host::Utf8ToUtf16(data.substr(pos, end - pos)));
            bytes.insert(bytes.end(), part.begin(), part.end());
            bytes.insert(bytes.end(), {0, 0});
            pos = end + sep.size();
        }
        bytes.insert(bytes.end(), {0, 0});
        return {REG_MULTI_SZ, bytes};
    }
    if (type == "REG_DWORD" || type == "REG_DWORD_LITTLE_ENDIAN" || type == "REG_QWORD") {
        const bool qword = type == "REG_QWORD";
        ULONGLONG number = 0;
        if (!ParseNumber(data, qword ? ~0ULL : 0xFFFFFFFFULL, number))
            throw Failure{"ERROR: Invalid " + type + " data \"" + data +
                          "\": give a decimal number or 0x followed by hex digits" +
                          (qword ? "." : ", at most 0xffffffff.")};
        for (int i = 0; i < (qword ? 8 : 4); ++i) bytes.push_back(static_cast<BYTE>(number >> (8 * i)));
        return {qword ? REG_QWORD : REG_DWORD, bytes};
    }
    if (type == "REG_BINARY") {
        if (data.size() % 2 != 0 || !std::all_of(data.begin(), data.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) != 0;
            }))
            throw Failure{"ERROR: Invalid REG_BINARY data \"" + data +
                          "\": give pairs of hex digits, such as 0aff10."};
        for (size_t i = 0; i < data.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(std::stoi(data.substr(i, 2), nullptr, 16)));
        return {REG_BINARY, bytes};
    }
    if (type == "REG_NONE") {
        if (!data.empty()) {
            bytes = TextBytes(host::Utf8ToUtf16(data));
            bytes.insert(bytes.end(), {0, 0});
        }
        return {REG_NONE, bytes};
    }
    throw Failure{"ERROR: Invalid type \"" + typeName +
                  "\": use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY "
                  "or REG_NONE."};
}

int Add(const std::vector<std::string>& args, std::ostream& out) {
    Options options = ParseOptions("add", args, {"ve", "f"}, {"v", "t", "d", "s"});
    if (options.positional.size() != 1) Syntax("add", "Give exactly one key.");
    if (options.Has("v") && options.Has("ve")) Syntax("add", "Use /v or /ve, not both.");
    auto path = ParseKey("add", options.positional[0]);
    const bool setsValue = options.Has("v") || options.Has("ve") || options.Has("t") ||
                           options.Has("d");
    if (options.Has("s") && Upper(options.Get("t")) != "REG_MULTI_SZ")
        Syntax("add", "/s is only for REG_MULTI_SZ.");
    WideString name = options.Has("v") ? host::Utf8ToUtf16(options.Get("v")) : u"";
    if (name.size() > host::reg::kMaxValueNameChars ||
        name.find_first_of(u"\r\n") != WideString::npos)
        throw Failure{"ERROR: Invalid value name."};
    std::pair<DWORD, std::vector<BYTE>> value;
    if (setsValue) {
        std::optional<std::string> separator;
        if (options.Has("s")) separator = options.Get("s");
        value = ValueFromText(options.Has("t") ? options.Get("t") : "REG_SZ", options.Get("d"),
                              separator);
    }
    Update([&](Key& root, bool& changed) -> DWORD {
        Key* key = &root;
        for (const auto& part : path) {
            bool created = false;
            key = &key->AddSubkey(part, &created);
            changed |= created;
        }
        if (setsValue) {
            key->SetValue(name, value.first, value.second);
            changed = true;
        }
        return ERROR_SUCCESS;
    });
    out << kSuccess << "\n";
    return 0;
}

int Delete(const std::vector<std::string>& args, std::ostream& out) {
    Options options = ParseOptions("delete", args, {"ve", "va", "f"}, {"v"});
    if (options.positional.size() != 1) Syntax("delete", "Give exactly one key.");
    if (options.Has("v") + options.Has("ve") + options.Has("va") > 1)
        Syntax("delete", "Use one of /v, /ve and /va.");
    auto path = ParseKey("delete", options.positional[0]);
    Update([&](Key& root, bool& changed) -> DWORD {
        Key* key = host::reg::FindPath(root, path);
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (options.Has("v") || options.Has("ve")) {
            WideString name = options.Has("v") ? host::Utf8ToUtf16(options.Get("v")) : u"";
            if (!key->RemoveValue(name)) return ERROR_FILE_NOT_FOUND;
        } else if (options.Has("va")) {
            key->values.clear();
        } else {
            if (path.empty()) return ERROR_ACCESS_DENIED;  // not the whole hive
            std::vector<WideString> parent(path.begin(), path.end() - 1);
            host::reg::FindPath(root, parent)->RemoveSubkey(path.back());
        }
        changed = true;
        return ERROR_SUCCESS;
    });
    out << kSuccess << "\n";
    return 0;
}

int Import(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options = ParseOptions("import", args, {}, {});
    if (options.positional.size() != 1) Syntax("import", "Give exactly one file.");
    const std::string file = host::MapPath(options.positional[0]);
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    if (!in || !(content << in.rdbuf()) || in.bad()) {
        throw Failure{"ERROR: Error opening the file \"" + options.positional[0] +
                      "\". There may be a disk or file system error."};
    }
    const std::string text = content.str();
    // Check the whole document before touching the hive.
    host::reg::ParseReport report;
    Key scratch{WideString(host::reg::kRootName)};
    host::reg::ParseRegText(text, scratch, &report);
    if (!report.hasHeader)
        throw Failure{"ERROR: The file \"" + options.positional[0] +
                      "\" is not a registry file. You can import only registry files."};
    Update([&](Key& root, bool& changed) -> DWORD {
        host::reg::ParseRegText(text, root);
        changed = true;
        return ERROR_SUCCESS;
    });
    for (const auto& [line, why] : report.skipped)
        err << "WARNING: line " << line << " of the file was skipped: " << why << ".\n";
    out << kSuccess << "\n";
    return 0;
}

int Export(const std::vector<std::string>& args, std::ostream& out) {
    Options options = ParseOptions("export", args, {"y"}, {});
    if (options.positional.size() != 2) Syntax("export", "Give a key and a file.");
    auto path = ParseKey("export", options.positional[0]);
    auto hive = LoadHive();
    auto stored = Stored(*hive, path);
    if (!stored) throw Failure{kNotFound};
    const Key* key = host::reg::FindPath(*hive, *stored);
    const std::string text = host::reg::FormatRegText(*key, FullName(*stored));

    const std::string file = host::MapPath(options.positional[1]);
    std::ofstream outFile(file, std::ios::binary | std::ios::trunc);
    if (outFile) outFile << text;
    outFile.close();
    if (!outFile)
        throw Failure{"ERROR: Cannot write the file \"" + options.positional[1] + "\": " +
                      std::strerror(errno) + "."};
    out << kSuccess << "\n";
    return 0;
}

void Usage(std::ostream& out, const std::string& operation) {
    if (operation == "query") {
        out << "REG QUERY KeyName [/v ValueName | /ve] [/s]\n\n"
               "  KeyName  HKLM\\Subkey or HKEY_LOCAL_MACHINE\\Subkey\n"
               "  /v       the value to show\n  /ve      the default value\n"
               "  /s       all subkeys and values below the key\n";
    } else if (operation == "add") {
        out << "REG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n\n"
               "  /t  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
               "      REG_BINARY, REG_NONE\n"
               "  /d  the data: text; a number (decimal or 0x hex) for REG_DWORD and REG_QWORD;\n"
               "      hex digit pairs for REG_BINARY; strings separated by \\0 for REG_MULTI_SZ\n"
               "  /s  one character separating REG_MULTI_SZ strings instead of \\0\n"
               "  /f  overwrite without asking (the command never asks)\n";
    } else if (operation == "delete") {
        out << "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n\n"
               "  Without /v, /ve or /va the key and everything below it are deleted.\n"
               "  /va  all values of the key\n  /f   delete without asking (the command never asks)\n";
    } else if (operation == "import") {
        out << "REG IMPORT FileName\n\n  Applies a .reg file to the registry.\n";
    } else if (operation == "export") {
        out << "REG EXPORT KeyName FileName [/y]\n\n"
               "  Writes the key and everything below it to a .reg file.\n"
               "  /y  overwrite an existing file without asking (the command never asks)\n";
    } else {
        out << "REG Operation [Parameter List]\n\n"
               "  Operation  QUERY | ADD | DELETE | IMPORT | EXPORT\n\n"
               "The registry is the HKLM hive of the machine root (VANTORRA_MACHINE_ROOT).\n"
               "Type \"REG Operation /?\" for details of one operation.\n";
    }
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) Syntax("", "Give an operation.");
        std::string operation = args[0];
        for (char& c : operation) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (operation == "/?" || operation == "-?") {
            Usage(out, "");
            return 0;
        }
        const bool known = operation == "query" || operation == "add" || operation == "delete" ||
                           operation == "import" || operation == "export";
        if (known && args.size() == 2 && (args[1] == "/?" || args[1] == "-?")) {
            Usage(out, operation);
            return 0;
        }
        if (operation == "query") return Query(args, out);
        if (operation == "add") return Add(args, out);
        if (operation == "delete") return Delete(args, out);
        if (operation == "import") return Import(args, out, err);
        if (operation == "export") return Export(args, out);
        Syntax("", "Unknown operation \"" + args[0] + "\".");
    } catch (const Failure& failure) {
        err << failure.message << "\n";
    } catch (const std::exception& e) {
        err << "ERROR: " << e.what() << "\n";
    }
    return 1;
}

}  // namespace regtool
