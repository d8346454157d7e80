// The registry hive in memory and its text form, the registry export format
// ("Windows Registry Editor Version 5.00", sections, "name"=data lines).
#include "platform/src/registry_hive.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <utility>

#include "platform/src/internal.h"

namespace host::reg {
namespace {

// The document's header and its blank line, as a written hive starts.
constexpr std::string_view kHiveHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr std::string_view kHeader5 = kHiveHeader.substr(0, kHiveHeader.size() - 4);
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr const char* kEol = "\r\n";

// Upper case for the scripts names are usually written in; Windows folds with a
// table, this covers Latin-1, Greek and Cyrillic besides ASCII.
char16_t Fold(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
    return c;
}

std::string_view Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return text.substr(begin, end - begin);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

// The document as UTF-8: UTF-16 (either byte order, with BOM) is converted, a UTF-8
// BOM dropped.
std::string DecodeDocument(std::string_view bytes) {
    if (bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') ||
                              (bytes[0] == '\xFE' && bytes[1] == '\xFF'))) {
        const bool little = bytes[0] == '\xFF';
        std::u16string wide;
        wide.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            auto lo = static_cast<unsigned char>(bytes[little ? i : i + 1]);
            auto hi = static_cast<unsigned char>(bytes[little ? i + 1 : i]);
            wide.push_back(static_cast<char16_t>(lo | (hi << 8)));
        }
        return Utf16ToUtf8(wide);
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return std::string(bytes);
}

// Reads a double-quoted text starting at text[pos] == '"' with the \\ and \" escapes;
// any other backslash stays as it is, which keeps hand-written paths intact.
// On success pos is just past the closing quote.
bool ReadQuoted(std::string_view text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') return false;
    out.clear();
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out.push_back(text[++i]);
        } else if (c == '"') {
            pos = i + 1;
            return true;
        } else {
            out.push_back(c);
        }
    }
    return false;
}

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

bool ParseHexBytes(std::string_view list, std::vector<BYTE>& out) {
    out.clear();
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view item = Trim(list.substr(pos, comma - pos));
        if (!item.empty()) {
            if (item.size() > 2) return false;
            int value = 0;
            for (char c : item) {
                int digit = HexDigit(c);
                if (digit < 0) return false;
                value = value * 16 + digit;
            }
            out.push_back(static_cast<BYTE>(value));
        }
        pos = comma + 1;
    }
    return true;
}

// Characters a continuation line of hex data can hold.
bool LooksLikeHexContinuation(std::string_view line) {
    if (line.empty()) return false;
    return std::all_of(line.begin(), line.end(), [](char c) {
        return HexDigit(c) >= 0 || c == ',' || c == ' ' || c == '\t' || c == '\\';
    });
}

struct ValueData {
    bool remove = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Parses what follows "name"= : -, "text", dword:, hex:, hex(N):.
bool ParseData(std::string_view text, ValueData& out, std::string& why) {
    text = Trim(text);
    if (text == "-") {
        out.remove = true;
        return true;
    }
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string value;
        if (!ReadQuoted(text, pos, value)) {
            why = "unterminated text";
            return false;
        }
        if (!Trim(text.substr(pos)).empty()) {
            why = "text after the closing quote";
            return false;
        }
        out.type = 1;  // REG_SZ
        out.data = Utf16Bytes(Utf8ToUtf16(value));
        out.data.push_back(0);
        out.data.push_back(0);
        return true;
    }
    if (StartsWithNoCase(text, "dword:")) {
        std::string_view digits = Trim(text.substr(6));
        if (digits.empty() || digits.size() > 8) {
            why = "bad dword";
            return false;
        }
        DWORD value = 0;
        for (char c : digits) {
            int digit = HexDigit(c);
            if (digit < 0) {
                why = "bad dword";
                return false;
            }
            value = value * 16 + static_cast<DWORD>(digit);
        }
        out.type = 4;  // REG_DWORD
        out.data = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                    static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
        return true;
    }
    if (StartsWithNoCase(text, "hex")) {
        std::string_view rest = text.substr(3);
        DWORD type = 3;  // REG_BINARY
        if (!rest.empty() && rest[0] == '(') {
            size_t close = rest.find(')');
            std::string_view number = close == std::string_view::npos ? std::string_view{}
                                                                       : rest.substr(1, close - 1);
            if (number.empty() || number.size() > 8) {
                why = "bad hex type";
                return false;
            }
            type = 0;
            for (char c : number) {
                int digit = HexDigit(c);
                if (digit < 0) {
                    why = "bad hex type";
                    return false;
                }
                type = type * 16 + static_cast<DWORD>(digit);
            }
            rest = rest.substr(close + 1);
        }
        if (rest.empty() || rest[0] != ':') {
            why = "bad hex data";
            return false;
        }
        if (!ParseHexBytes(rest.substr(1), out.data)) {
            why = "bad hex data";
            return false;
        }
        out.type = type;
        return true;
    }
    why = "unknown value format";
    return false;
}

bool ValidKeyComponent(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameChars &&
           name.find_first_of(u"\r\n") == std::u16string_view::npos;
}

// A REG_SZ written as "text" must read back byte for byte: one terminator at the
// end, no other NUL, no line break, text that survives UTF-8.
bool PlainTextForm(const std::vector<BYTE>& data, std::string& utf8) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    std::u16string wide;
    wide.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    if (wide.back() != u'\0') return false;
    wide.pop_back();
    if (wide.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos) return false;
    utf8 = Utf16ToUtf8(wide);
    return Utf8ToUtf16(utf8) == wide;
}

// out holds the entry so far, which starts a line.
void AppendHex(std::string& out, std::string_view prefix, const std::vector<BYTE>& data) {
    // Lines of at most 80 characters, continued with a backslash, as regedit writes them.
    static const char digits[] = "0123456789abcdef";
    out += prefix;
    size_t column = out.size();
    for (size_t i = 0; i < data.size(); ++i) {
        std::string piece{digits[data[i] >> 4], digits[data[i] & 0xF]};
        if (i + 1 < data.size()) piece.push_back(',');
        if (i > 0 && column + piece.size() > 78) {
            out += "\\";
            out += kEol;
            out += "  ";
            column = 2;
        }
        out += piece;
        column += piece.size();
    }
}

// The hive's root has a section only when it holds values.
bool HasSection(const Key& key, bool isRoot) { return !isRoot || !key.values.empty(); }

// Appends the key's section; starts, when given, gets where each value's line begins
// and, last, where the closing blank line begins.
void AppendSection(const Key& key, const std::u16string& path, std::string& out,
                   std::vector<size_t>* starts = nullptr) {
    out += "[";
    out += Utf16ToUtf8(path);
    out += "]";
    out += kEol;
    for (const Value& value : key.values) {
        if (starts) starts->push_back(out.size());
        out += FormatValue(value);
        out += kEol;
    }
    if (starts) starts->push_back(out.size());
    out += kEol;
}

void FormatKey(const Key& key, const std::u16string& path, bool isRoot, std::string& out) {
    if (HasSection(key, isRoot)) AppendSection(key, path, out);
    for (const auto& sub : key.subkeys) FormatKey(*sub, path + u"\\" + sub->name, false, out);
}

std::atomic<uint64_t> keyChanges{0};

void CountChange() { keyChanges.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::u16string FoldedName(std::u16string_view name) {
    std::u16string folded(name.size(), u'\0');
    std::transform(name.begin(), name.end(), folded.begin(), Fold);
    return folded;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = Fold(a[i]);
        char16_t y = Fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

Key::Key(const Key& other) : name(other.name), values(other.values), valueIndex_(other.valueIndex_) {
    subkeys.reserve(other.subkeys.size());
    for (const auto& sub : other.subkeys) subkeys.push_back(std::make_unique<Key>(*sub));
}

Key* Key::FindSubkey(std::u16string_view subName) const {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), subName,
                               [](const std::unique_ptr<Key>& k, std::u16string_view n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    if (it != subkeys.end() && NamesEqual((*it)->name, subName)) return it->get();
    return nullptr;
}

Key& Key::AddSubkey(std::u16string_view subName, bool* created) {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), subName,
                               [](const std::unique_ptr<Key>& k, std::u16string_view n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    if (it != subkeys.end() && NamesEqual((*it)->name, subName)) {
        if (created) *created = false;
        return **it;
    }
    if (created) *created = true;
    CountChange();
    return **subkeys.insert(it, std::make_unique<Key>(std::u16string(subName)));
}

bool Key::RemoveSubkey(std::u16string_view subName) {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), subName,
                               [](const std::unique_ptr<Key>& k, std::u16string_view n) {
                                   return CompareNames(k->name, n) < 0;
                               });
    if (it == subkeys.end() || !NamesEqual((*it)->name, subName)) return false;
    CountChange();
    subkeys.erase(it);
    return true;
}

const Value* Key::FindValue(std::u16string_view valueName) const {
    if (valueIndex_.size() == values.size()) {
        auto it = valueIndex_.find(FoldedName(valueName));
        if (it == valueIndex_.end()) return nullptr;
        if (it->second < values.size() && NamesEqual(values[it->second].name, valueName))
            return &values[it->second];
    }
    // The list was changed past the index: look the slow way.
    for (const Value& value : values)
        if (NamesEqual(value.name, valueName)) return &value;
    return nullptr;
}

Value* Key::FindValue(std::u16string_view valueName) {
    return const_cast<Value*>(std::as_const(*this).FindValue(valueName));
}

void Key::SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data) {
    CountChange();
    if (Value* existing = FindValue(valueName)) {
        // The name keeps the case it was created with, as on Windows.
        existing->type = type;
        existing->data = std::move(data);
        UpdateSectionLine(static_cast<size_t>(existing - values.data()), false);
        return;
    }
    if (valueIndex_.size() != values.size()) ReindexValues();
    valueIndex_.emplace(FoldedName(valueName), values.size());
    values.push_back(Value{std::u16string(valueName), type, std::move(data)});
    UpdateSectionLine(values.size() - 1, true);
}

bool Key::RemoveValue(std::u16string_view valueName) {
    const Value* value = FindValue(valueName);
    if (!value) return false;
    CountChange();
    const auto index = static_cast<size_t>(value - values.data());
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
    ReindexValues();
    if (section_ && values.empty()) {
        section_.reset();  // the root's section goes with its last value
    } else if (section_) {
        auto& starts = section_->starts;
        const size_t length = starts[index + 1] - starts[index];
        section_->text.erase(starts[index], length);
        starts.erase(starts.begin() + static_cast<std::ptrdiff_t>(index));
        for (size_t i = index; i < starts.size(); ++i) starts[i] -= length;
    }
    return true;
}

void Key::UpdateSectionLine(size_t index, bool inserted) {
    if (!section_) return;
    auto& starts = section_->starts;
    std::string line = FormatValue(values[index]);
    line += kEol;
    if (inserted) {
        // A new value goes last: its line takes the place of the blank line, which moves on.
        section_->text.insert(starts.back(), line);
        starts.push_back(starts.back() + line.size());
        return;
    }
    const size_t begin = starts[index];
    const size_t oldLength = starts[index + 1] - begin;
    section_->text.replace(begin, oldLength, line);
    for (size_t i = index + 1; i < starts.size(); ++i) starts[i] = starts[i] - oldLength + line.size();
}

void Key::ReindexValues() {
    valueIndex_.clear();
    valueIndex_.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i) valueIndex_.emplace(FoldedName(values[i].name), i);
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find(u'\\', pos);
        if (slash == std::u16string_view::npos) slash = path.size();
        if (slash > pos) parts.emplace_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts;
}

Key* FindPath(Key& from, const std::vector<std::u16string>& components) {
    return const_cast<Key*>(FindPath(std::as_const(from), components));
}

const Key* FindPath(const Key& from, const std::vector<std::u16string>& components) {
    const Key* key = &from;
    for (const auto& part : components) {
        key = key->FindSubkey(part);
        if (!key) return nullptr;
    }
    return key;
}

void ParseRegText(std::string_view bytes, Key& root, ParseReport* report) {
    const std::string text = DecodeDocument(bytes);
    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
    }

    auto skip = [&](size_t index, std::string why) {
        if (report) report->skipped.emplace_back(index + 1, std::move(why));
    };

    Key* current = nullptr;
    bool headerSeen = false;
    bool sectionSkipped = false;  // values of a skipped section are reported once
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (!headerSeen) {
            headerSeen = true;
            if (line == kHeader5 || line == kHeader4) {
                if (report) report->hasHeader = true;
                continue;
            }
        }

        if (line[0] == '[') {
            current = nullptr;
            sectionSkipped = true;
            if (line.back() != ']') {
                skip(i, "section without closing bracket");
                continue;
            }
            std::string_view inner = line.substr(1, line.size() - 2);
            bool remove = !inner.empty() && inner[0] == '-';
            if (remove) inner.remove_prefix(1);
            std::vector<std::u16string> parts = SplitPath(Utf8ToUtf16(inner));
            if (parts.empty() ||
                !(NamesEqual(parts[0], kRootName) || NamesEqual(parts[0], u"HKLM"))) {
                skip(i, "key outside HKEY_LOCAL_MACHINE");
                continue;
            }
            parts.erase(parts.begin());
            if (parts.size() > kMaxKeyDepth) {
                skip(i, "key deeper than " + std::to_string(kMaxKeyDepth) + " levels");
                continue;
            }
            if (!std::all_of(parts.begin(), parts.end(), ValidKeyComponent)) {
                skip(i, "bad key name");
                continue;
            }
            if (remove) {
                if (parts.empty()) {
                    skip(i, "refusing to delete the whole hive");
                    continue;
                }
                std::u16string last = parts.back();
                parts.pop_back();
                if (Key* parent = FindPath(root, parts)) parent->RemoveSubkey(last);
                sectionSkipped = false;
                continue;
            }
            Key* key = &root;
            for (const auto& part : parts) key = &key->AddSubkey(part);
            current = key;
            sectionSkipped = false;
            continue;
        }

        if (line[0] != '"' && line[0] != '@') {
            skip(i, "not a section or value");
            continue;
        }
        const size_t first = i;
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, name)) {
            skip(i, "unterminated value name");
            continue;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size() || line[pos] != '=') {
            skip(i, "missing '='");
            continue;
        }
        std::string data(Trim(line.substr(pos + 1)));
        bool truncated = false;
        if (StartsWithNoCase(data, "hex")) {
            while (!data.empty() && data.back() == '\\') {
                data.pop_back();
                if (i + 1 >= lines.size() || !LooksLikeHexContinuation(Trim(lines[i + 1]))) {
                    // A value cut short must not swallow the section that follows.
                    truncated = true;
                    break;
                }
                data += Trim(lines[++i]);
                data = std::string(Trim(data));
            }
        }
        if (truncated) {
            skip(first, "hex data continued into nothing");
            continue;
        }
        ValueData parsed;
        std::string why;
        if (!ParseData(data, parsed, why)) {
            skip(first, why);
            continue;
        }
        if (!current) {
            if (!sectionSkipped) skip(first, "value outside a key");
            continue;
        }
        std::u16string valueName = Utf8ToUtf16(name);
        if (valueName.size() > kMaxValueNameChars) {
            skip(first, "value name too long");
            continue;
        }
        if (parsed.remove) current->RemoveValue(valueName);
        else current->SetValue(valueName, parsed.type, std::move(parsed.data));
    }
}

std::string FormatValue(const Value& value) {
    std::string out;
    if (value.name.empty()) out = "@=";
    else out = "\"" + Escape(Utf16ToUtf8(value.name)) + "\"=";

    std::string text;
    if (value.type == 1 && PlainTextForm(value.data, text)) {
        out += "\"" + Escape(text) + "\"";
    } else if (value.type == 4 && value.data.size() == 4) {
        char buffer[16];
        DWORD number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                       (static_cast<DWORD>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
        out += buffer;
    } else if (value.type == 3) {
        AppendHex(out, "hex:", value.data);
    } else {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
        AppendHex(out, prefix, value.data);
    }
    return out;
}

uint64_t KeyChangeCount() { return keyChanges.load(std::memory_order_relaxed); }

namespace {

void AddKeptSections(Key& key, const std::u16string& path, bool isRoot, std::vector<std::string_view>& pieces,
                     std::unique_ptr<SectionText> Key::*section) {
    if (HasSection(key, isRoot)) {
        auto& kept = key.*section;
        if (!kept) {
            kept = std::make_unique<SectionText>();
            AppendSection(key, path, kept->text, &kept->starts);
        }
        pieces.push_back(kept->text);
    }
    for (const auto& sub : key.subkeys) AddKeptSections(*sub, path + u"\\" + sub->name, false, pieces, section);
}

}  // namespace

std::vector<std::string_view> HivePieces(Key& root) {
    std::vector<std::string_view> pieces{kHiveHeader};
    AddKeptSections(root, std::u16string(kRootName), true, pieces, &Key::section_);
    return pieces;
}

std::string FormatHive(Key& root, std::string storage) {
    const std::vector<std::string_view> pieces = HivePieces(root);
    size_t size = 0;
    for (std::string_view piece : pieces) size += piece.size();
    storage.clear();
    storage.reserve(size);
    for (std::string_view piece : pieces) storage += piece;
    return storage;
}

std::string FormatRegText(const Key& key, std::u16string_view keyPath) {
    std::string out(kHiveHeader);
    FormatKey(key, std::u16string(keyPath), NamesEqual(keyPath, kRootName), out);
    return out;
}

}  // namespace host::reg
