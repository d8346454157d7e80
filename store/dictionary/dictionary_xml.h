// Reading of dictionary files: the tag tree one "table" element is held in while it is
// read, and its conversion into a TableDefn. Private to store/dictionary and its tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/dictionary/dictionary.h"

struct XmlTagInfo {
    std::string tagName;
    // Parallel, in the fixed order "name", "system", "reference-table-name",
    // "isbidirectional", only those present.
    std::vector<std::string> attributeNames;
    std::vector<std::string> attributeValues;
    std::vector<std::string> textValues;
    std::unique_ptr<XmlTagInfo> firstChild;
    std::unique_ptr<XmlTagInfo> nextSibling;
    XmlTagInfo* lastChild = nullptr;  // where the next child goes

    XmlTagInfo() = default;
    explicit XmlTagInfo(std::string name) : tagName(std::move(name)) {}
    XmlTagInfo(const XmlTagInfo&) = delete;
    XmlTagInfo& operator=(const XmlTagInfo&) = delete;
    ~XmlTagInfo();  // iterative, so long sibling chains do not recurse

    std::size_t attributeCount() const { return attributeValues.size(); }
    std::size_t textCount() const { return textValues.size(); }
    const std::string* FirstText() const { return textValues.empty() ? nullptr : &textValues.front(); }
    const std::string* Attribute(std::string_view name) const;
    XmlTagInfo* AppendChild(std::unique_ptr<XmlTagInfo> child);
};

// Reads one dictionary file and appends its tables to the dictionary. True when the
// file was opened and read to its end.
bool XmlDataParser(const char* path);

// Builds the definition of one parsed table; null (with its message) when it fails.
std::unique_ptr<TableDefn> BuildTableDefn(const XmlTagInfo& table);

// Appends a definition to the dictionary, which takes it over.
bool AddTableDefn(std::unique_ptr<TableDefn> defn);
