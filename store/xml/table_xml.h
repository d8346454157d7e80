// Loads XML documents of table rows into the store.
//
// Every element below the root (at any depth, an element before its children) whose
// name is a table (case-insensitive; created from the dictionary on first use) is one row
// of it; its attributes (matched to columns case-insensitively, the first of a name
// wins) are the values. An element that is no table and whose name contains "List" is a
// container; any other name fails the load. Rows added before a failure stay: there is
// no rollback.
//
// Attribute values with two or more ":" are special, for data authors to know:
//  - in text and blob columns (14, 15, 20, 22) only what follows the second ":" is kept,
//    so "http://h:8080/x" stores "8080/x";
//  - in date columns the whole text is the value;
//  - in any other column the text is a row reference TABLE:COLUMN:KEY, resolved to a
//    generated identifier shared by every mention of the same reference in the load.
// A boolean is false only for "false" (any case). An empty attribute stays NULL, so the
// column takes its default. A child row lacking a foreign-key or primary-key column
// inherits it from the nearest ancestor carrying an attribute of that name (a child
// whose key is also named like its parent's, e.g. "ID", therefore takes the parent's).
// When no ancestor has it, the search goes down through the row's second child node, then
// that node's second child node, and so on: it depends on the whitespace text nodes of a
// pretty-printed document, so a compact document finds nothing below.
//
// Entities: a reference to an internal entity stands for the entity's content, in an
// attribute (character references decoded, as libxml2 parses them) and between elements,
// where the rows the entity holds are loaded at the reference. Rows inside an entity
// inherit nothing from the elements around the reference. External entities are never
// read. What references expand to is bounded per load, see kEntityExpansionFactor.
//
// Documents are parsed with network access off and without loading external entities or
// DTDs. The file and buffer entry points stream the document (libxml2's SAX2 parser): a
// row is added as its start tag is read, and only the open elements around it are kept.
// A row with a foreign key that no enclosing element supplies (so the downward search may
// find it) is read whole as a small tree first, rows below it included, so the result is
// the tree walk's. A document that turns out not to be well-formed fails as a parse
// failure, and the rows the load had added before the break are taken back (rows still
// new; identifiers generated for them stay used).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <libxml/tree.h>

#include "platform/win/types.h"
#include "store/foundation/column_value.h"

// Everything the entity references of one document expand to over a load (the texts of
// attributes and the content walked for rows; each reference costs the length of its
// entity's text, at least 1) may be at most this many times the document's size. Past
// it the load fails with its error lines: the rows before stay, nothing more is built.
inline constexpr std::size_t kEntityExpansionFactor = 8;
// One attribute may take at most this many bytes from entity content. A text the
// document holds literally is not bounded here.
inline constexpr std::size_t kMaxExpandedAttributeBytes = std::size_t{1} << 20;

// Reference texts (TABLE:COLUMN:KEY, case-sensitive) and their identifiers, for one load.
class ReferenceMap {
public:
    // The identifier entered for the reference; none when absent.
    std::optional<std::int32_t> Find(const std::string& reference) const {
        auto found = entries_.find(reference);
        if (found == entries_.end()) return std::nullopt;
        return found->second;
    }
    // Enter, size: records a reference's identifier; the number recorded.
    void Enter(const std::string& reference, std::int32_t id) { entries_[reference] = id; }
    std::size_t size() const { return entries_.size(); }

private:
    std::unordered_map<std::string, std::int32_t> entries_;
};

// The file entry point (a store path, mapped to the machine root). True when every row
// was added.
bool LoadTableDataFromXMLFile(const char* path);
// The memory entry point; the buffer need not be zero-terminated.
bool LoadTableDataFromXMLBuffer(const char* buffer, std::size_t length);
// The node's children are the rows; the document is not freed. The load's reference map,
// or null when a row failed.
std::unique_ptr<ReferenceMap> LoadTableDataFromXMLNode(xmlDoc* doc, xmlNode* node);

// Plain attribute text to the column type's value; a null text leaves the value as it is.
void AllocateAndCopyColumnValue(ColumnValue* value, const char* text, BYTE type);
