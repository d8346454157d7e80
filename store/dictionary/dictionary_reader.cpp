// Streaming reader of dictionary files: walks each "table" element with libxml2's text
// reader into an XmlTagInfo tree, which is then turned into a TableDefn.
#include <cstdio>
#include <functional>
#include <new>

#include <libxml/xmlreader.h>

#include "platform/platform.h"
#include "runtime/log.h"
#include "store/dictionary/dictionary_xml.h"

namespace {

constexpr const char* kReadError = "\nxmlTextReaderRead returned error \n";
// Attributes are kept in this order; others are reported and dropped.
constexpr std::string_view kKnownAttributes[] = {"name", "system", "reference-table-name",
                                                 "isbidirectional"};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

std::string TakeXmlString(xmlChar* text) {
    if (!text) return {};
    std::string copy(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return copy;
}

void ForwardLibxmlError(void*, const char* message, xmlParserSeverities, xmlTextReaderLocatorPtr) {
    // libxml2 would print to stderr; the file's failure is reported by the caller.
    LogDebug("%s", message ? message : "");
}

enum class Step { Ok, Failed };

// The reader of one file and the position in it.
class DictReader {
public:
    explicit DictReader(const std::string& hostPath)
        : reader_(xmlNewTextReaderFilename(hostPath.c_str())) {
        if (reader_) xmlTextReaderSetErrorHandler(reader_, ForwardLibxmlError, nullptr);
    }
    ~DictReader() {
        if (reader_) xmlFreeTextReader(reader_);
    }
    DictReader(const DictReader&) = delete;
    DictReader& operator=(const DictReader&) = delete;

    bool ok() const { return reader_ != nullptr; }
    // 1 a node was read, 0 end of document, -1 error.
    int last() const { return last_; }
    bool Read() {
        last_ = xmlTextReaderRead(reader_);
        return last_ == 1;
    }
    int Type() const { return xmlTextReaderNodeType(reader_); }
    int Depth() const { return xmlTextReaderDepth(reader_); }
    bool IsEmpty() const { return xmlTextReaderIsEmptyElement(reader_) == 1; }
    std::string Name() const { return TakeXmlString(xmlTextReaderName(reader_)); }
    std::string Value() const { return TakeXmlString(xmlTextReaderValue(reader_)); }
    bool IsElement(std::string_view name) const {
        return Type() == XML_READER_TYPE_ELEMENT && SameName(Name(), name);
    }

    // Copies the known attributes of the current element into the record, in their
    // fixed order.
    void ReadAttributes(XmlTagInfo* record) {
        const int count = xmlTextReaderAttributeCount(reader_);
        if (count <= 0) return;
        std::optional<std::pair<std::string, std::string>> slots[std::size(kKnownAttributes)];
        int known = 0;
        while (xmlTextReaderMoveToNextAttribute(reader_) == 1) {
            const std::string name = Name();
            for (std::size_t i = 0; i < std::size(kKnownAttributes); ++i) {
                if (SameName(name, kKnownAttributes[i])) {
                    if (!slots[i]) ++known;
                    slots[i] = std::make_pair(name, Value());
                    break;
                }
            }
        }
        xmlTextReaderMoveToElement(reader_);
        for (auto& slot : slots) {
            if (!slot) continue;
            record->attributeNames.push_back(std::move(slot->first));
            record->attributeValues.push_back(std::move(slot->second));
        }
        if (known != count) LogError("\n Not all Attributes were read\n");
    }

    // Reads the text of the current element up to its end. Nested elements are an
    // error with the given message; an element without text gives none.
    Step ReadText(std::optional<std::string>* text, const char* missingEnd) {
        text->reset();
        if (IsEmpty()) return Step::Ok;
        while (true) {
            if (!Read()) {
                LogError(kReadError);
                return Step::Failed;
            }
            switch (Type()) {
                case XML_READER_TYPE_TEXT:
                case XML_READER_TYPE_CDATA:
                    if (!*text) text->emplace();
                    (*text)->append(Value());
                    break;
                case XML_READER_TYPE_END_ELEMENT:
                    return Step::Ok;
                case XML_READER_TYPE_ELEMENT:
                    LogError(missingEnd);
                    return Step::Failed;
                default:
                    break;  // whitespace, comments, processing instructions
            }
        }
    }

    // Calls onChild for every child element of the current element; onChild must
    // consume the child up to its end.
    Step ForEachChild(const std::function<Step(const std::string& name)>& onChild) {
        if (IsEmpty()) return Step::Ok;
        while (true) {
            if (!Read()) {
                LogError(kReadError);
                return Step::Failed;
            }
            const int type = Type();
            if (type == XML_READER_TYPE_END_ELEMENT) return Step::Ok;
            if (type != XML_READER_TYPE_ELEMENT) continue;
            if (onChild(Name()) != Step::Ok) return Step::Failed;
        }
    }

    // Skips the current element and everything inside it.
    Step Skip() {
        return ForEachChild([this](const std::string&) { return Skip(); });
    }

private:
    xmlTextReaderPtr reader_;
    int last_ = 0;
};

std::unique_ptr<XmlTagInfo> NewRecord(const std::string& name) {
    return std::make_unique<XmlTagInfo>(name);
}

// A leaf record holding the text of the current element (if it has any).
Step ReadTextRecord(DictReader& reader, XmlTagInfo* parent, const std::string& name,
                    const std::string& missingEnd) {
    std::optional<std::string> text;
    if (reader.ReadText(&text, missingEnd.c_str()) != Step::Ok) return Step::Failed;
    auto record = NewRecord(name);
    if (text) record->textValues.push_back(std::move(*text));
    parent->AppendChild(std::move(record));
    return Step::Ok;
}

std::string MissingEnd(const std::string& name) { return "\nMissing end of " + name + " tag\n"; }

Step ParseColumn(DictReader& reader, XmlTagInfo* columns, const std::string& tagName) {
    auto owned = NewRecord(tagName);
    reader.ReadAttributes(owned.get());
    XmlTagInfo* column = columns->AppendChild(std::move(owned));
    XmlTagInfo* values = nullptr;  // one record gathers every allowed value

    auto allowedValue = [&](const std::string& name) -> Step {
        if (SameName(name, "value")) {
            std::optional<std::string> text;
            if (reader.ReadText(&text, "\n No ending Value tag\n") != Step::Ok) return Step::Failed;
            if (!values) values = column->AppendChild(NewRecord(name));
            values->textValues.push_back(text.value_or(""));
            return Step::Ok;
        }
        if (SameName(name, "from")) return ReadTextRecord(reader, column, name, "\nNo Ending FROM tag \n");
        if (SameName(name, "to")) return ReadTextRecord(reader, column, name, "\nNo ending TO tag \n");
        return reader.Skip();
    };

    return reader.ForEachChild([&](const std::string& name) -> Step {
        if (SameName(name, "uniquevalue-generation")) {
            return reader.ForEachChild([&](const std::string& inner) -> Step {
                if (SameName(inner, "generator-name")) return ReadTextRecord(reader, column, inner, MissingEnd(inner));
                return reader.Skip();
            });
        }
        if (SameName(name, "allowed-values")) return reader.ForEachChild(allowedValue);
        if (SameName(name, "value") || SameName(name, "from") || SameName(name, "to")) {
            return allowedValue(name);
        }
        for (std::string_view simple : {"description", "data-type", "nullable", "max-size",
                                        "default-value", "unique", "generator-name"}) {
            if (SameName(name, simple)) return ReadTextRecord(reader, column, name, MissingEnd(name));
        }
        return reader.Skip();
    });
}

Step ParseForeignKey(DictReader& reader, XmlTagInfo* foreignKeys, const std::string& tagName) {
    auto owned = NewRecord(tagName);
    reader.ReadAttributes(owned.get());
    XmlTagInfo* key = foreignKeys->AppendChild(std::move(owned));
    return reader.ForEachChild([&](const std::string& name) -> Step {
        if (SameName(name, "fk-columns")) {
            XmlTagInfo* pairs = key->AppendChild(NewRecord(name));
            return reader.ForEachChild([&](const std::string& pairName) -> Step {
                if (!SameName(pairName, "fk-column")) {
                    LogError("\nMissing end FK-COLUMNS\n");
                    return Step::Failed;
                }
                XmlTagInfo* pair = pairs->AppendChild(NewRecord(pairName));
                return reader.ForEachChild([&](const std::string& part) -> Step {
                    if (SameName(part, "fk-local-column")) {
                        return ReadTextRecord(reader, pair, part, "\n Missing endof FK-LOCAL-COLUMN tag\n");
                    }
                    if (SameName(part, "fk-reference-column")) {
                        return ReadTextRecord(reader, pair, part, "\nMissing endof FK-REFERENCE-COLUMN\n");
                    }
                    return reader.Skip();
                });
            });
        }
        if (SameName(name, "fk-constraints")) {
            return ReadTextRecord(reader, key, name, "\nMissing endof FK-CONSTRAINTS tag\n");
        }
        return reader.Skip();
    });
}

// Reads the "table" element at the reader's position into a tag tree; null on failure.
std::unique_ptr<XmlTagInfo> ParseTable(DictReader& reader) {
    if (!reader.IsElement("table")) {
        LogError("\nTABLE tag missing\n");
        return nullptr;
    }
    auto table = NewRecord(reader.Name());
    reader.ReadAttributes(table.get());
    LogTrace("@@@@Parsing Table Info : %s @@@@\n",
             table->attributeValues.empty() ? nullptr : table->attributeValues.front().c_str());

    const Step step = reader.ForEachChild([&](const std::string& name) -> Step {
        if (SameName(name, "description")) {
            if (table->firstChild) LogError("\nDescription tag ambiguity \n");
            return ReadTextRecord(reader, table.get(), name, MissingEnd(name));
        }
        if (SameName(name, "columns")) {
            XmlTagInfo* columns = table->AppendChild(NewRecord(name));
            return reader.ForEachChild([&](const std::string& columnName) -> Step {
                if (SameName(columnName, "column")) return ParseColumn(reader, columns, columnName);
                return reader.Skip();
            });
        }
        if (SameName(name, "primary-key")) {
            XmlTagInfo* key = table->AppendChild(NewRecord(name));
            return reader.ForEachChild([&](const std::string& part) -> Step {
                if (SameName(part, "primary-key-column")) {
                    return ReadTextRecord(reader, key, part, "\nMissing primary-key-column end tag\n");
                }
                return reader.Skip();
            });
        }
        if (SameName(name, "foreign-keys")) {
            XmlTagInfo* keys = table->AppendChild(NewRecord(name));
            return reader.ForEachChild([&](const std::string& keyName) -> Step {
                if (SameName(keyName, "foreign-key")) return ParseForeignKey(reader, keys, keyName);
                return reader.Skip();
            });
        }
        return reader.Skip();
    });
    if (step != Step::Ok) return nullptr;
    return table;
}

}  // namespace

XmlTagInfo::~XmlTagInfo() {
    std::vector<std::unique_ptr<XmlTagInfo>> pending;
    try {
        if (firstChild) pending.push_back(std::move(firstChild));
        if (nextSibling) pending.push_back(std::move(nextSibling));
        while (!pending.empty()) {
            std::unique_ptr<XmlTagInfo> record = std::move(pending.back());
            pending.pop_back();
            if (record->firstChild) pending.push_back(std::move(record->firstChild));
            if (record->nextSibling) pending.push_back(std::move(record->nextSibling));
        }
    } catch (const std::bad_alloc&) {
        // Whatever is left is released recursively.
    }
}

const std::string* XmlTagInfo::Attribute(std::string_view name) const {
    for (std::size_t i = 0; i < attributeNames.size(); ++i) {
        if (attributeNames[i] == name) return &attributeValues[i];
    }
    return nullptr;
}

XmlTagInfo* XmlTagInfo::AppendChild(std::unique_ptr<XmlTagInfo> child) {
    XmlTagInfo* added = child.get();
    if (lastChild) lastChild->nextSibling = std::move(child);
    else firstChild = std::move(child);
    lastChild = added;
    return added;
}

bool XmlDataParser(const char* path) {
    if (!path) return false;
    const std::string hostPath = host::MapPath(path);
    // Checked first so that a missing file is reported once, in our own words.
    if (std::FILE* probe = host::MappedFopen(path, "rb")) {
        std::fclose(probe);
    } else {
        LogError("Unable to open %s\n", path);
        return false;
    }
    try {
        DictReader reader(hostPath);
        if (!reader.ok()) {
            LogError("Unable to open %s\n", path);
            return false;
        }
        bool more = reader.Read() && reader.Read();  // the root, then its first node
        while (more) {
            if (reader.IsElement("table")) {
                if (std::unique_ptr<XmlTagInfo> tree = ParseTable(reader)) {
                    if (std::unique_ptr<TableDefn> defn = BuildTableDefn(*tree)) {
                        AddTableDefn(std::move(defn));
                    }
                }
                if (reader.last() != 1) break;
            } else if (reader.IsElement("description") && reader.Depth() == 1) {
                std::optional<std::string> ignored;
                if (reader.ReadText(&ignored, "\nNo Description end tag\n") != Step::Ok) {
                    if (reader.last() != 1) LogError("\nNo Description end tag\n");
                    break;
                }
            }
            more = reader.Read();
        }
        if (reader.last() != 0) {
            LogError("%s : failed to parse\n", path);
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return false;
    }
}
