// The XML table loader over libxml2's tree API.
#include "store/xml/table_xml.h"

#include <libxml/entities.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/win/host.h"
#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/foundation/text_utils.h"
#include "store/notify/notify.h"
#include "store/tables/tables.h"

namespace {

constexpr const char* kRowFailure =
    "Cannot create and add a new row while constructing tabledata from XML file.\n";
constexpr const char* kParseFailure = "error: could not parse file file.xml\n";

// libxml2 is prepared once for the process and never cleaned up per load, so loads and
// the dictionary reader may run on several threads.
void InitXml() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

const char* NameOf(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }
const char* TextOf(const xmlNode* node) { return reinterpret_cast<const char*>(node->content); }

bool IsElement(const xmlNode* node) { return node && node->type == XML_ELEMENT_NODE; }

// The size of a parsed document as written, near enough: the literal names and texts
// of the tree below the node, and the replacement texts its internal subset declares.
std::size_t DocumentBytes(const xmlDoc* doc, const xmlNode* node) {
    std::size_t bytes = 0;
    if (doc->intSubset) {
        for (const xmlNode* declaration = doc->intSubset->children; declaration; declaration = declaration->next) {
            if (declaration->type != XML_ENTITY_DECL) continue;
            bytes += std::strlen(NameOf(declaration)) +
                     static_cast<std::size_t>(reinterpret_cast<const xmlEntity*>(declaration)->length);
        }
    }
    std::vector<const xmlNode*> pending{node};
    while (!pending.empty()) {
        const xmlNode* current = pending.back();
        pending.pop_back();
        if (!current) continue;
        if (current != node) pending.push_back(current->next);
        if (current->name) bytes += std::strlen(NameOf(current)) + 2;
        if (current->type == XML_TEXT_NODE || current->type == XML_CDATA_SECTION_NODE ||
            current->type == XML_COMMENT_NODE) {
            if (current->content) bytes += std::strlen(TextOf(current));
        } else if (IsElement(current)) {
            for (const xmlAttr* attribute = current->properties; attribute; attribute = attribute->next)
                pending.push_back(attribute->children);
            pending.push_back(current->children);
        }
    }
    return bytes;
}

std::size_t ColonCount(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += c == ':';
    return count;
}

// Everything after the second ":".
std::string_view AfterSecondColon(std::string_view text) {
    const std::size_t first = text.find(':');
    const std::size_t second = text.find(':', first + 1);
    return text.substr(second + 1);
}

bool IsTextOrBlob(BYTE type) {
    return type == HYL_SQL_CHAR || type == HYL_SQL_CHARACTER || type == HYL_SQL_BLOB || type == HYL_SQL_TEXT;
}

bool IsDateType(BYTE type) { return type == HYL_SQL_DATE || type == HYL_SQL_TIME || type == HYL_SQL_DATETIME; }

// Integer text of Part-5.5 form (sign, digits; anything else 0), as 32 bits.
std::int32_t IntegerOf(const std::string& text) {
    const ColumnValue value = ConvertTextToColumnValue(text.c_str(), HYL_SQL_INT, nullptr);
    return value.As<std::int32_t>().value_or(0);
}

// Texts below are views of the document's own text or of the loader's expansions, both
// kept for the whole load; each ends at a zero byte, so its data reads as a C string.
struct FkEntry {
    std::string refTable;
    std::string refColumn;
    std::string localColumn;
    std::optional<std::string_view> value;
};

struct Attribute {
    const char* name;  // owned by the document, which outlives the load
    std::optional<std::string_view> text;
};

class Loader {
public:
    // documentBytes: the size of the document, which sets the load's expansion budget.
    Loader(xmlDoc* doc, std::size_t documentBytes)
        : doc_(doc), expansionLimit_(documentBytes * kEntityExpansionFactor), expansionLeft_(expansionLimit_) {}

    // Walks the children of start in document order, an element before its children. Only
    // elements are descended into, and the content of an internal entity where the
    // document refers to one (never the declarations that follow it in the DTD).
    bool LoadChildren(xmlNode* start) {
        std::vector<xmlNode*> stack;
        stack.push_back(start ? start->children : nullptr);
        while (!stack.empty()) {
            xmlNode* node = stack.back();
            stack.pop_back();
            if (!node) continue;
            stack.push_back(node->next);
            if (IsElement(node)) {
                if (!HandleRow(node)) {
                    LogError(kRowFailure);
                    return false;
                }
                stack.push_back(node->children);
            } else if (node->type == XML_ENTITY_REF_NODE) {
                const xmlEntity* entity = InternalEntity(node);
                if (!entity) continue;
                if (!ChargeExpansion(entity)) return false;
                stack.push_back(entity->children);
            }
        }
        return true;
    }

    std::unique_ptr<ReferenceMap> TakeReferences() { return std::move(references_); }

private:
    xmlDoc* doc_;
    std::unique_ptr<ReferenceMap> references_ = std::make_unique<ReferenceMap>();
    std::unordered_map<const xmlNode*, std::vector<FkEntry>> fkMemo_;
    std::unordered_set<const xmlNode*> visiting_;
    // Entity expansion: what the whole load may still expand, and each attribute's
    // expanded text, made once however many rows read it (node-based, so texts stay put).
    const std::size_t expansionLimit_;
    std::size_t expansionLeft_;
    bool expansionFailed_ = false;
    std::unordered_map<const xmlAttr*, std::optional<std::string>> expandedTexts_;
    std::vector<Attribute> rowAttributes_;  // the current row's attributes

    // Element names are interned in the document's dictionary, so a name's pointer
    // identifies it for the whole load.
    struct TableEntry {
        TableData* table;
        std::vector<const ColumnDefn*> columns;
        std::string tableName;  // as the definition spells it
        const TableDefn* defn;  // null for a view
        bool hasForeignKeys;
    };
    std::unordered_map<const xmlChar*, TableEntry> tables_;

    const TableEntry* FindOrCreateTable(const xmlNode* element) {
        auto cached = tables_.find(element->name);
        if (cached != tables_.end()) return &cached->second;
        const char* name = NameOf(element);
        TableData* table = GetTableDataByName(name);
        if (!table) {
            CreateTable(name);
            table = GetTableDataByName(name);
        }
        if (!table) return nullptr;
        const TableDefn* defn = table->kind == KIND_TABLE ? table->tableDefn : nullptr;
        TableEntry entry{table, GetColumnDefns(table), table->tableDefn ? table->tableDefn->name : table->name, defn,
                         defn && defn->constraints && defn->constraints->foreignKeys &&
                             !defn->constraints->foreignKeys->empty()};
        return &tables_.emplace(element->name, std::move(entry)).first->second;
    }

    // The internal entity a reference names; none for an undeclared or external one
    // (external entities are never read).
    const xmlEntity* InternalEntity(const xmlNode* reference) const {
        const xmlEntity* entity = xmlGetDocEntity(doc_, reference->name);
        return entity && entity->etype == XML_INTERNAL_GENERAL_ENTITY ? entity : nullptr;
    }

    // Takes one expansion of the entity from the load's budget; every expansion costs at
    // least one, so empty entities referring to each other cannot run for free.
    bool ChargeExpansion(const xmlEntity* entity) {
        const std::size_t cost = std::max<std::size_t>(static_cast<std::size_t>(std::max(entity->length, 0)), 1);
        if (cost > expansionLeft_) {
            if (!expansionFailed_)
                LogError("Entity references of the document expand beyond %llu bytes\n", expansionLimit_);
            expansionFailed_ = true;
            return false;
        }
        expansionLeft_ -= cost;
        return true;
    }

    // The attribute's text with entity references replaced by their content as libxml2
    // parsed it (character references decoded); none when it has no text (an empty
    // attribute) or its expansion exceeds a bound. A literal text is read where it is.
    std::optional<std::string_view> AttributeText(const xmlAttr* attribute) {
        const xmlNode* first = attribute->children;
        if (!first) return std::nullopt;
        if (!first->next && first->type == XML_TEXT_NODE) {
            if (!first->content || !first->content[0]) return std::nullopt;
            return std::string_view(TextOf(first));
        }
        auto [expanded, fresh] = expandedTexts_.try_emplace(attribute);
        if (fresh) expanded->second = ExpandText(first, NameOf(reinterpret_cast<const xmlNode*>(attribute)));
        if (!expanded->second || expanded->second->empty()) return std::nullopt;
        return std::string_view(*expanded->second);
    }

    std::optional<std::string> ExpandText(const xmlNode* list, const char* attributeName) {
        std::string text;
        std::size_t fromEntities = 0;
        struct Pending {
            const xmlNode* node;
            bool inEntity;
        };
        std::vector<Pending> stack{{list, false}};
        while (!stack.empty()) {
            const Pending current = stack.back();
            stack.pop_back();
            const xmlNode* node = current.node;
            if (!node) continue;
            stack.push_back({node->next, current.inEntity});
            if (node->type == XML_TEXT_NODE && node->content) {
                const std::string_view part(TextOf(node));
                if (current.inEntity && (fromEntities += part.size()) > kMaxExpandedAttributeBytes) {
                    LogError("Attribute %s expands beyond %llu bytes\n", attributeName, kMaxExpandedAttributeBytes);
                    expansionFailed_ = true;
                    return std::nullopt;
                }
                text += part;
            } else if (node->type == XML_ENTITY_REF_NODE) {
                const xmlEntity* predefined = xmlGetDocEntity(doc_, node->name);
                if (predefined && predefined->etype == XML_INTERNAL_PREDEFINED_ENTITY && predefined->content) {
                    text += reinterpret_cast<const char*>(predefined->content);
                    continue;
                }
                const xmlEntity* entity = InternalEntity(node);
                if (!entity) continue;
                if (!ChargeExpansion(entity)) return std::nullopt;
                stack.push_back({entity->children, true});
            }
        }
        return text;
    }

    // The element's attributes with their texts, into a vector the caller reuses.
    void CollectAttributes(const xmlNode* element, std::vector<Attribute>* attributes) {
        attributes->clear();
        for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
            attributes->push_back({NameOf(reinterpret_cast<const xmlNode*>(attribute)), AttributeText(attribute)});
        }
    }

    // The first attribute of that name (case-insensitive); null when none.
    static const Attribute* FindAttribute(const std::vector<Attribute>& attributes, const std::string& name) {
        for (const Attribute& attribute : attributes) {
            if (CompareNoCase(attribute.name, name.c_str()) == 0) return &attribute;
        }
        return nullptr;
    }

    static const xmlAttr* FirstAttributeNamed(const xmlNode* element, const std::string& name) {
        for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
            if (CompareNoCase(NameOf(reinterpret_cast<const xmlNode*>(attribute)), name.c_str()) == 0)
                return attribute;
        }
        return nullptr;
    }

    // The last attribute of that name with a text.
    std::optional<std::string_view> LastAttributeText(const xmlNode* element, const std::string& name) {
        std::optional<std::string_view> found;
        for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next) {
            if (CompareNoCase(NameOf(reinterpret_cast<const xmlNode*>(attribute)), name.c_str()) != 0) continue;
            if (std::optional<std::string_view> text = AttributeText(attribute)) found = text;
        }
        return found;
    }

    static std::vector<FkEntry> BuildFkList(const TableDefn* defn) {
        std::vector<FkEntry> entries;
        if (!defn || !defn->constraints || !defn->constraints->foreignKeys) return entries;
        for (const ForeignKeyDefn& key : *defn->constraints->foreignKeys) {
            LogTrace("Column Name : %s\n", key.localColumn);
            LogTrace("Ref Column  : %s\n", key.referenceColumn);
            LogTrace("Tablename : %s\n", key.referenceTable);
            entries.push_back({key.referenceTable, key.referenceColumn, key.localColumn, std::nullopt});
        }
        return entries;
    }

    // The element's foreign-key list filled by inheritance, computed once per element and
    // load; an element already being filled further up the recursion gives an empty list.
    const std::vector<FkEntry>& FilledFkList(const xmlNode* element) {
        static const std::vector<FkEntry> kEmpty;
        auto memo = fkMemo_.find(element);
        if (memo != fkMemo_.end()) return memo->second;
        if (visiting_.count(element)) return kEmpty;
        std::vector<FkEntry> entries = BuildFkList(GetTableDefn(NameOf(element)));
        if (entries.empty()) return kEmpty;  // nothing to remember for tables without keys
        visiting_.insert(element);
        for (FkEntry& entry : entries) InheritFk(element, &entry);
        visiting_.erase(element);
        return fkMemo_.emplace(element, std::move(entries)).first->second;
    }

    // A value from an element named as the entry's referenced table: its attribute named
    // as the referenced column, else an entry of its own list referring to that name.
    std::optional<std::string_view> ValueFromList(const xmlNode* element, const FkEntry& entry) {
        for (const FkEntry& other : FilledFkList(element)) {
            if (other.value && CompareNoCase(other.refTable.c_str(), entry.refColumn.c_str()) == 0) return other.value;
        }
        return std::nullopt;
    }

    void InheritFk(const xmlNode* element, FkEntry* entry) {
        for (const xmlNode* ancestor = element->parent; IsElement(ancestor); ancestor = ancestor->parent) {
            if ((entry->value = LastAttributeText(ancestor, entry->refColumn))) return;
            if (CompareNoCase(NameOf(ancestor), entry->refTable.c_str()) == 0) {
                if ((entry->value = ValueFromList(ancestor, *entry))) return;
            }
        }
        // Downwards: the second child node, then the second child node of that, and so on,
        // as long as it is an element.
        for (const xmlNode* current = element; current->children;) {
            const xmlNode* second = current->children->next;
            if (!IsElement(second)) return;
            if (CompareNoCase(NameOf(second), entry->refTable.c_str()) == 0) {
                if ((entry->value = LastAttributeText(second, entry->refColumn))) return;
                if ((entry->value = ValueFromList(second, *entry))) return;
            }
            current = second;
        }
    }

    // Resolves TABLE:COLUMN:KEY for column `column` of table `tableName`.
    std::int32_t ResolveReference(const std::string& tableName, const ColumnDefn& column, const std::string& reference) {
        const std::size_t first = reference.find(':');
        const std::size_t second = reference.find(':', first + 1);
        const std::string key = reference.substr(second + 1);
        const std::string own = tableName + ":" + column.name + ":" + key;
        if (std::optional<std::int32_t> known = references_->Find(reference)) {
            references_->Enter(own, *known);
            return *known;
        }
        std::int32_t id = -1;
        if (column.generatorName) {
            id = GenerateID(tableName.c_str(), &column);
        } else {
            std::string table = reference.substr(0, first);
            std::string columnName = reference.substr(first + 1, second - first - 1);
            const ColumnDefn* target = GetColumnDefnEntry(table.c_str(), columnName.c_str());
            id = target ? GenerateID(table.c_str(), target) : -1;
            // Follows the foreign keys from the referenced column until a generator answers;
            // a pair met twice is a cycle and ends the walk.
            std::unordered_set<std::string> seen{FoldedPair(table, columnName)};
            std::vector<std::pair<std::string, std::string>> chain;
            while (id == -1) {
                const TableDefn* defn = GetTableDefn(table.c_str());
                const ForeignKeyDefn* key = defn ? GetForeignKeyDefn(defn, columnName.c_str()) : nullptr;
                if (!key) break;
                table = key->referenceTable;
                columnName = key->referenceColumn;
                if (!seen.insert(FoldedPair(table, columnName)).second) break;
                const ColumnDefn* next = GetColumnDefnEntry(table.c_str(), columnName.c_str());
                if (!next) break;
                chain.emplace_back(table, columnName);
                id = GenerateID(table.c_str(), next);
            }
            if (id == -1) {
                id = IntegerOf(key);
            } else {
                for (const auto& [linkTable, linkColumn] : chain) {
                    const std::string linked = SpelledAsDefined(linkTable, linkColumn) + ":" + key;
                    if (std::optional<std::int32_t> existing = references_->Find(linked)) {
                        id = *existing;
                        break;
                    }
                    references_->Enter(linked, id);
                }
            }
        }
        references_->Enter(own, id);
        references_->Enter(reference, id);
        return id;
    }

    static std::string FoldedPair(const std::string& table, const std::string& column) {
        std::string pair = table + ":" + column;
        for (char& c : pair) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return pair;
    }

    static std::string SpelledAsDefined(const std::string& table, const std::string& column) {
        const TableDefn* defn = GetTableDefn(table.c_str());
        return (defn ? defn->name : table) + ":" + column;
    }

    // A text value by the forms of the column type: plain, the part after the second
    // ":", or a row reference.
    // `text` ends at a zero byte (see Attribute).
    ColumnValue ConvertForm(const std::string& tableName, const ColumnDefn& column, std::string_view text) {
        ColumnValue value;
        if (ColonCount(text) < 2 || IsDateType(column.type)) {
            AllocateAndCopyColumnValue(&value, text.data(), column.type);
        } else if (IsTextOrBlob(column.type)) {
            AllocateAndCopyColumnValue(&value, AfterSecondColon(text).data(), column.type);
        } else {
            value = MakeIdentifierValue(ResolveReference(tableName, column, std::string(text)), column.type);
        }
        return value;
    }

    bool HandleRow(xmlNode* element) {
        const char* name = NameOf(element);
        const TableEntry* entry = FindOrCreateTable(element);
        if (!entry) return std::strstr(name, "List") != nullptr;
        TableData* table = entry->table;
        const std::vector<const ColumnDefn*>& columns = entry->columns;
        if (columns.empty()) return false;
        const std::string& tableName = entry->tableName;
        const TableDefn* defn = entry->defn;

        // Only a definition with foreign keys has a list to fill.
        const std::vector<FkEntry> foreignKeys = entry->hasForeignKeys ? FilledFkList(element) : std::vector<FkEntry>{};
        struct PkEntry {
            std::string column;
            std::optional<std::string_view> value;
        };
        std::vector<PkEntry> primaryKeys;
        if (defn && defn->constraints) {
            for (const std::string& key : defn->constraints->primaryKeyColumns) {
                bool isForeign = false;
                for (const FkEntry& fk : foreignKeys) isForeign |= CompareNoCase(fk.localColumn.c_str(), key.c_str()) == 0;
                if (isForeign) continue;
                LogTrace("Primary key : %s\n\n", key);
                PkEntry entry{key, std::nullopt};
                for (const xmlNode* ancestor = element->parent; IsElement(ancestor) && !entry.value;
                     ancestor = ancestor->parent) {
                    if (const xmlAttr* found = FirstAttributeNamed(ancestor, key)) entry.value = AttributeText(found);
                }
                primaryKeys.push_back(std::move(entry));
            }
        }

        CollectAttributes(element, &rowAttributes_);
        const std::vector<Attribute>& attributes = rowAttributes_;
        if (expansionFailed_) return false;
        std::vector<ColumnValue> values(table->columnCount);
        for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
            if (!columns[i]) continue;
            const ColumnDefn& column = *columns[i];
            const std::string& columnName =
                table->kind == KIND_VIEW ? table->viewDefn->columns[i]->name : column.name;
            const Attribute* attribute = FindAttribute(attributes, columnName);
            bool matched = attribute != nullptr;
            if (attribute && attribute->text && ColonCount(*attribute->text) >= 2 && !IsTextOrBlob(column.type) &&
                !IsDateType(column.type) && CompareNoCase(tableName.c_str(), "Workflow_Statements") == 0 &&
                column.name == "NEXT_STATEMENT_ID" && AfterSecondColon(*attribute->text) == "0") {
                // No next statement: 0, unless a default or inherited value replaces it.
                values[i] = MakeIdentifierValue(0, HYL_SQL_INT);
                matched = false;
            }
            if (matched) {
                if (!attribute->text) {
                    AllocateAndCopyColumnValue(&values[i], nullptr, column.type);
                } else {
                    values[i] = ConvertForm(tableName, column, *attribute->text);
                }
                continue;
            }
            if (!column.defaultValue.isNull()) values[i] = column.defaultValue;
            const std::optional<std::string_view>* inherited = nullptr;
            for (const FkEntry& fk : foreignKeys) {
                if (CompareNoCase(fk.localColumn.c_str(), column.name.c_str()) == 0) {
                    inherited = &fk.value;
                    break;
                }
            }
            if (!inherited) {
                for (const PkEntry& pk : primaryKeys) {
                    if (CompareNoCase(pk.column.c_str(), column.name.c_str()) == 0) inherited = &pk.value;
                }
            }
            if (inherited && *inherited) values[i] = ConvertForm(tableName, column, **inherited);
        }
        // An ancestor's attribute read for inheritance may have gone past a bound.
        if (expansionFailed_) return false;
        return AddNewRow(table->name.c_str(), CreateNewRowObject(std::move(values)));
    }
};

// Short texts (most attribute values) are kept inside their node instead of a block of
// their own; the loader only reads the tree, which is all that option asks.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

bool LoadDocument(const char* buffer, std::size_t length, const char* failureMessage) {
    InitXml();
    if (!buffer || length == 0 || length > static_cast<std::size_t>(INT_MAX)) {
        LogError(kParseFailure);
        return false;
    }
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(buffer, static_cast<int>(length), nullptr, nullptr, kParseOptions));
    if (!doc) {
        LogError(kParseFailure);
        return false;
    }
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root) {
        LogError(kParseFailure);
        return false;
    }
    try {
        Loader loader(doc.get(), length);
        if (!loader.LoadChildren(root)) {
            LogError(failureMessage);
            return false;
        }
    } catch (const std::bad_alloc&) {
        LogError(kRowFailure);
        LogError(failureMessage);
        return false;
    }
    return true;
}

}  // namespace

bool LoadTableDataFromXMLFile(const char* path) {
    if (!path) {
        LogError(kParseFailure);
        return false;
    }
    // Read through the host layer as a plain file: a path that looks like a URL is never
    // fetched, it is simply a file that does not exist.
    std::string content;
    std::FILE* file = host::MappedFopen(path, "rb");
    if (!file) {
        LogError(kParseFailure);
        return false;
    }
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, got);
        if (content.size() > static_cast<std::size_t>(INT_MAX)) break;
    }
    std::fclose(file);
    return LoadDocument(content.data(), content.size(), "Cannot construct table data from XML file.\n");
}

bool LoadTableDataFromXMLBuffer(const char* buffer, std::size_t length) {
    return LoadDocument(buffer, length, "Cannot construct table data from XML buffer.\n");
}

std::unique_ptr<ReferenceMap> LoadTableDataFromXMLNode(xmlDoc* doc, xmlNode* node) {
    InitXml();
    if (!doc || !node) return nullptr;
    try {
        Loader loader(doc, DocumentBytes(doc, node));
        if (!loader.LoadChildren(node)) {
            LogError("Cannot construct table data from buffer node.\n");
            return nullptr;
        }
        return loader.TakeReferences();
    } catch (const std::bad_alloc&) {
        LogError(kRowFailure);
        LogError("Cannot construct table data from buffer node.\n");
        return nullptr;
    }
}

void AllocateAndCopyColumnValue(ColumnValue* value, const char* text, BYTE type) {
    if (!text) {
        LogTrace("value parameter in AllocateAndCopyColumnValue is NULL \n");
        return;
    }
    if (!value) return;
    switch (type) {
        case HYL_SQL_DATE: {
            // Fields the pattern does not fill are zero; fields that do not fit give NULL.
            int year = 0, month = 0, day = 0;
            std::sscanf(text, "%d-%d-%d", &year, &month, &day);
            const std::optional<HylDate> date = CreateHylDate(year, month, day);
            *value = date ? MakeHylDateValue(*date) : ColumnValue::Null();
            return;
        }
        case HYL_SQL_TIME: {
            int hour = 0, minute = 0, second = 0;
            std::sscanf(text, "%d:%d:%d", &hour, &minute, &second);
            const std::optional<HylTime> time = CreateHylTime(hour, minute, second);
            *value = time ? MakeHylTimeValue(*time) : ColumnValue::Null();
            return;
        }
        case HYL_SQL_DATETIME: {
            int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
            std::sscanf(text, "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
            const std::optional<HylDateTime> dateTime = CreateHylDateTime(year, month, day, hour, minute, second);
            *value = dateTime ? MakeHylDateTimeValue(*dateTime) : ColumnValue::Null();
            return;
        }
        case HYL_SQL_BOOLEAN: {
            const unsigned char flag = CompareNoCase(text, "false") == 0 ? 0 : 1;
            *value = ColumnValue::FromBytes(&flag, 1);
            return;
        }
        case HYL_SQL_NOT_SUPPORTED_TYPE:
            return;
        default:
            // Integers, floats, texts and the byte-copy types convert as criteria literals do.
            *value = ConvertTextToColumnValue(text, type, nullptr);
            return;
    }
}
