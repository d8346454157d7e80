// The registry hive in memory, its text form (the registry export format) and the
// hive file of the machine root with its cross-process lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/win/types.h"

namespace host::reg {

inline constexpr std::u16string_view kRootName = u"HKEY_LOCAL_MACHINE";
// Longest key name component and value name Windows accepts.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;
// Deepest key Windows allows, in levels below the hive's root. Deeper keys are refused
// wherever they would come in, so no walk over the tree can run out of stack.
inline constexpr size_t kMaxKeyDepth = 512;

struct Value {
    std::u16string name;  // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

// A key's section of the document ("[path]", one line per value, a blank line) as it
// was last written, with where each value's line starts (and, last, the blank line).
struct SectionText {
    std::string text;
    std::vector<size_t> starts;
};

struct Key {
    std::u16string name;
    // In the order they were added. Changed only through SetValue and RemoveValue,
    // which keep the name index beside it.
    std::vector<Value> values;
    std::vector<std::unique_ptr<Key>> subkeys;  // sorted by name without regard to case

    Key() = default;
    explicit Key(std::u16string keyName) : name(std::move(keyName)) {}
    Key(const Key& other);
    Key& operator=(const Key&) = delete;

    Key* FindSubkey(std::u16string_view subName) const;
    // Finds or inserts (keeping the sort order); sets created when it was new.
    Key& AddSubkey(std::u16string_view subName, bool* created = nullptr);
    bool RemoveSubkey(std::u16string_view subName);
    const Value* FindValue(std::u16string_view valueName) const;
    Value* FindValue(std::u16string_view valueName);
    // Replaces the value of that name in place, or appends it.
    void SetValue(std::u16string_view valueName, DWORD type, std::vector<BYTE> data);
    bool RemoveValue(std::u16string_view valueName);

private:
    friend std::vector<std::string_view> HivePieces(Key& root);
    void ReindexValues();
    // The section's line of values[index] formatted again; inserted when it is new.
    void UpdateSectionLine(size_t index, bool inserted);

    // Position in values by the name's folded form, so that lookups and writes stay
    // cheap on keys with thousands of values.
    std::unordered_map<std::u16string, size_t> valueIndex_;
    // Kept only in the hive a writer keeps between writes (never copied), so that a
    // write formats the values that changed and copies the rest.
    std::unique_ptr<SectionText> section_;
};

// Counts every change made to any Key through its members, so that a caller can tell
// whether a tree was left as it was.
uint64_t KeyChangeCount();

// Case-insensitive comparison of key and value names.
bool NamesEqual(std::u16string_view a, std::u16string_view b);
int CompareNames(std::u16string_view a, std::u16string_view b);
// The form two names share exactly when NamesEqual holds for them.
std::u16string FoldedName(std::u16string_view name);

// Splits "A\B\C" into its components; empty components are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);
// Walks the components below the key; null when one is missing.
Key* FindPath(Key& from, const std::vector<std::u16string>& components);
const Key* FindPath(const Key& from, const std::vector<std::u16string>& components);

struct ParseReport {
    bool hasHeader = false;
    // One entry per line (1-based) that could not be read and was skipped.
    std::vector<std::pair<size_t, std::string>> skipped;
};

// Applies a document in the registry export format to the hive below root:
// sections create keys, "name"=- and [-KEY] delete. Sections of other roots or deeper
// than kMaxKeyDepth and lines that cannot be read are skipped and reported; everything
// else still applies.
// Accepts UTF-8 (with or without BOM) and UTF-16 with a byte-order mark, CR LF or LF.
void ParseRegText(std::string_view bytes, Key& root, ParseReport* report = nullptr);

// The document for key and everything below it; keyPath is its full name
// ("HKEY_LOCAL_MACHINE\\..."). For the hive root, keys without values at the root are
// not repeated as an empty section.
std::string FormatRegText(const Key& key, std::u16string_view keyPath);

// FormatRegText(root, kRootName) as the pieces it is made of, in order: the header and
// the section text each key keeps from the last call, so that only the values changed
// since then are formatted again. The pieces stay valid until the tree changes; writing
// them one after the other writes the document without copying it first.
std::vector<std::string_view> HivePieces(Key& root);

// The pieces of HivePieces joined, built in storage, whose memory is reused.
std::string FormatHive(Key& root, std::string storage = {});

// The text of one "name"=data entry (without line end), as written in the document.
std::string FormatValue(const Value& value);

// --- The hive file of the machine root -------------------------------------------

std::string HiveFolder();  // <machine root>/registry
std::string HivePath();    // <machine root>/registry/HKLM.reg

// A parsed copy of the hive as the file holds it now (a missing file is an empty hive).
// Parses again only when the file's content changed. A version whose last change is
// older than the time stamps' resolution is recognised by device, inode, size and
// time stamps alone; a younger one is read and compared on every call.
std::shared_ptr<const Key> ReadHive(DWORD* error = nullptr);

// Atomic read-modify-write: under the exclusive lock on registry/HKLM.lock, reads the
// hive, calls apply and, when apply returned ERROR_SUCCESS and set changed, writes a
// new file (fsync) and renames it over the old one. Returns apply's result or the
// error of the file work.
using HiveUpdate = std::function<DWORD(Key& root, bool& changed)>;
DWORD UpdateHive(const HiveUpdate& apply);

}  // namespace host::reg
