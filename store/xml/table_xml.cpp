// The XML table loader over libxml2's tree API.
#include "store/xml/table_xml.h"

#include <libxml/entities.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <utility>
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

// An element the loader reads: a node of a parsed tree, or an element of a streamed
// document that is still open (an index into the loader's stack of open elements).
struct ElementRef {
    const xmlNode* node = nullptr;
    int open = -1;
    explicit operator bool() const { return node || open >= 0; }
};

struct Attribute {
    const char* name;  // interned by the parser, which outlives the load
    std::optional<std::string_view> text;
};

// An attribute of an open streamed element: its text copied from the parser, or, when the
// parser had to decode it (entity or character references), the node list libxml2's tree
// builder makes of it, so both ways read the same text.
struct OpenAttribute {
    const xmlChar* name;
    std::size_t textOffset;  // into OpenElement::texts, zero-terminated there
    std::size_t textLength;
    xmlNode* nodes;  // owned; null for a literal text
    bool expanded;
    std::optional<std::string> expansion;
};

struct OpenElement {
    const xmlChar* name = nullptr;
    std::string texts;
    std::vector<OpenAttribute> attributes;
    bool fkFilled = false;
    bool fkVisiting = false;
    std::vector<FkEntry> fk;

    void Release() {
        for (OpenAttribute& attribute : attributes) xmlFreeNodeList(attribute.nodes);
        attributes.clear();
        texts.clear();
        fk.clear();
        fkFilled = fkVisiting = false;
    }
    ~OpenElement() { Release(); }
};

class Loader {
public:
    // documentBytes: the size of the document, which sets the load's expansion budget.
    Loader(xmlDoc* doc, std::size_t documentBytes)
        : doc_(doc), expansionLimit_(documentBytes * kEntityExpansionFactor), expansionLeft_(expansionLimit_) {}

    // Walks the children of start in document order, an element before its children. Only
    // elements are descended into, and the content of an internal entity where the
    // document refers to one (never the declarations that follow it in the DTD).
    bool LoadChildren(xmlNode* start) { return WalkNodes(start ? start->children : nullptr, false); }

    std::unique_ptr<ReferenceMap> TakeReferences() { return std::move(references_); }

    // Streaming: reads a document with libxml2's SAX2 parser. The rows are handled as their
    // start tags arrive; the loader keeps only the open elements a row inherits from. A row
    // whose keys could come from below it (nothing above supplies them) is built as a tree
    // until it ends and walked as a tree, as is a whole document whose root could supply keys
    // that way. Without a failure of the loader the whole document is parsed; a parse
    // error takes back the rows the load added, as a tree parser would have added none.
    enum class Outcome { kLoaded, kParseFailure, kFailed };
    Outcome Stream(xmlParserCtxt* context) {
        stream_ = context;
        trackRows_ = true;
        xmlSAXHandler* sax = context->sax;
        sax->startElementNs = &Loader::OnStartElement;
        sax->endElementNs = &Loader::OnEndElement;
        sax->characters = &Loader::OnCharacters;
        sax->ignorableWhitespace = &Loader::OnCharacters;
        sax->cdataBlock = &Loader::OnCdata;
        sax->comment = &Loader::OnComment;
        sax->processingInstruction = &Loader::OnProcessingInstruction;
        sax->reference = &Loader::OnReference;
        context->_private = this;
        xmlParseDocument(context);
        context->_private = nullptr;
        if (!stopped_ && (!context->wellFormed || !context->myDoc || !sawRoot_)) {
            TakeBackRows();
            return Outcome::kParseFailure;
        }
        if (!failed_) return Outcome::kLoaded;
        // A failed row's line comes once the document is known to be well-formed.
        if (rowFailurePending_) LogError(kRowFailure);
        return Outcome::kFailed;
    }

private:
    xmlDoc* doc_;
    xmlParserCtxt* stream_ = nullptr;
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
    std::vector<int> columnAttribute_;      // per column of the current row, its attribute or -1

    // Streaming state: the open elements (kept allocated and reused by depth, so texts never
    // move), the subtree being built as a tree, and how the load failed.
    std::vector<std::unique_ptr<OpenElement>> open_;
    int openCount_ = 0;
    int skippedDepth_ = 0;  // open elements not kept (after a failure)
    xmlNode* subtreeRoot_ = nullptr;
    int subtreeDepth_ = 0;
    bool subtreeIsRoot_ = false;
    bool sawRoot_ = false;
    bool stopped_ = false;
    bool trackRows_ = false;
    bool failed_ = false;
    bool rowFailurePending_ = false;
    const xmlChar* missedName_ = nullptr;  // the open element's name, just found to be no table

    // Element names are interned in the parser's dictionary, so a name's pointer
    // identifies it for the whole load.
    struct TableEntry {
        TableData* table;
        std::vector<const ColumnDefn*> columns;
        std::vector<std::string> columnNames;  // as matched against attributes
        std::string tableName;                 // as the definition spells it
        const TableDefn* defn;                 // null for a view
        bool hasForeignKeys;
        std::unordered_map<const char*, int> columnOfAttribute;  // by interned attribute name
        std::vector<RowObject*> added;                           // rows this load appended
    };
    std::unordered_map<const xmlChar*, TableEntry> tables_;

    xmlDoc* Doc() const { return stream_ ? stream_->myDoc : doc_; }

    // --- elements, tree or streamed ---

    ElementRef Parent(ElementRef element) const {
        if (element.node) {
            const xmlNode* parent = element.node->parent;
            if (IsElement(parent)) return {parent, -1};
            if (element.node == subtreeRoot_ && openCount_ > 0) return {nullptr, openCount_ - 1};
            return {};
        }
        if (element.open > 0) return {nullptr, element.open - 1};
        return {};
    }
    const xmlChar* NameKey(ElementRef element) const {
        return element.node ? element.node->name : open_[static_cast<std::size_t>(element.open)]->name;
    }
    const char* Name(ElementRef element) const { return reinterpret_cast<const char*>(NameKey(element)); }
    OpenElement& Open(ElementRef element) { return *open_[static_cast<std::size_t>(element.open)]; }

    // The element's attributes with their texts, into a vector the caller reuses.
    void CollectAttributes(ElementRef element, std::vector<Attribute>* attributes) {
        attributes->clear();
        if (element.node) {
            for (const xmlAttr* attribute = element.node->properties; attribute; attribute = attribute->next)
                attributes->push_back({NameOf(reinterpret_cast<const xmlNode*>(attribute)), AttributeText(attribute)});
            return;
        }
        OpenElement& open = Open(element);
        for (OpenAttribute& attribute : open.attributes)
            attributes->push_back({reinterpret_cast<const char*>(attribute.name), OpenAttributeText(open, attribute)});
    }

    // The text of the first (last: of the last with a text) attribute of that name.
    std::optional<std::string_view> AttributeTextNamed(ElementRef element, const std::string& name, bool last) {
        std::optional<std::string_view> found;
        if (element.node) {
            for (const xmlAttr* attribute = element.node->properties; attribute; attribute = attribute->next) {
                if (CompareNoCase(NameOf(reinterpret_cast<const xmlNode*>(attribute)), name.c_str()) != 0) continue;
                if (!last) return AttributeText(attribute);
                if (std::optional<std::string_view> text = AttributeText(attribute)) found = text;
            }
            return found;
        }
        OpenElement& open = Open(element);
        for (OpenAttribute& attribute : open.attributes) {
            if (CompareNoCase(reinterpret_cast<const char*>(attribute.name), name.c_str()) != 0) continue;
            if (!last) return OpenAttributeText(open, attribute);
            if (std::optional<std::string_view> text = OpenAttributeText(open, attribute)) found = text;
        }
        return found;
    }
    std::optional<std::string_view> LastAttributeText(ElementRef element, const std::string& name) {
        return AttributeTextNamed(element, name, true);
    }

    // --- the walk over a tree ---

    // Walks the sibling list from first (or first alone), each element before its children.
    bool WalkNodes(xmlNode* first, bool firstAlone) {
        std::vector<xmlNode*> stack;
        if (firstAlone && first) {
            if (!HandleRow({first, -1})) return RowFailed();
            stack.push_back(first->children);
        } else {
            stack.push_back(first);
        }
        while (!stack.empty()) {
            xmlNode* node = stack.back();
            stack.pop_back();
            if (!node) continue;
            stack.push_back(node->next);
            if (IsElement(node)) {
                if (!HandleRow({node, -1})) return RowFailed();
                stack.push_back(node->children);
            } else if (node->type == XML_ENTITY_REF_NODE) {
                const xmlEntity* entity = InternalEntity(node->name);
                if (!entity) continue;
                if (!ChargeExpansion(entity)) return false;
                stack.push_back(entity->children);
            }
        }
        return true;
    }

    // Logs a failed row; a streamed document logs it at its end, after a parse error
    // would have been found. Always false.
    bool RowFailed() {
        if (stream_) {
            rowFailurePending_ = true;
        } else {
            LogError(kRowFailure);
        }
        return false;
    }

    TableEntry* FindOrCreateTable(const xmlChar* key) {
        auto cached = tables_.find(key);
        if (cached != tables_.end()) return &cached->second;
        if (std::exchange(missedName_, nullptr) == key) return nullptr;
        const char* name = reinterpret_cast<const char*>(key);
        TableData* table = GetTableDataByName(name);
        if (!table) {
            CreateTable(name);
            table = GetTableDataByName(name);
        }
        if (!table) return nullptr;
        const TableDefn* defn = table->kind == KIND_TABLE ? table->tableDefn : nullptr;
        TableEntry entry{table, GetColumnDefns(table), {}, table->tableDefn ? table->tableDefn->name : table->name, defn,
                         defn && defn->constraints && defn->constraints->foreignKeys &&
                             !defn->constraints->foreignKeys->empty(),
                         {}, {}};
        for (std::size_t i = 0; i < entry.columns.size(); ++i) {
            const ColumnDefn* column = entry.columns[i];
            entry.columnNames.push_back(!column ? std::string()
                                        : table->kind == KIND_VIEW ? table->viewDefn->columns[i]->name
                                                                   : column->name);
        }
        return &tables_.emplace(key, std::move(entry)).first->second;
    }

    // The internal entity of that name; none for an undeclared or external one (external
    // entities are never read).
    const xmlEntity* InternalEntity(const xmlChar* name) const {
        const xmlEntity* entity = xmlGetDocEntity(Doc(), name);
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

    // The text of an attribute's node list with entity references replaced by their content
    // as libxml2 parsed it (character references decoded); none when it has no text (an
    // empty attribute) or its expansion exceeds a bound. A single text is read where it is;
    // an expansion is made once, into *expansion.
    std::optional<std::string_view> ListText(const xmlNode* first, const char* attributeName, bool* expanded,
                                             std::optional<std::string>* expansion) {
        if (!first) return std::nullopt;
        if (!first->next && first->type == XML_TEXT_NODE) {
            if (!first->content || !first->content[0]) return std::nullopt;
            return std::string_view(TextOf(first));
        }
        if (!*expanded) {
            *expansion = ExpandText(first, attributeName);
            *expanded = true;
        }
        if (!*expansion || (*expansion)->empty()) return std::nullopt;
        return std::string_view(**expansion);
    }

    std::optional<std::string_view> AttributeText(const xmlAttr* attribute) {
        const xmlNode* first = attribute->children;
        if (!first) return std::nullopt;
        if (!first->next && first->type == XML_TEXT_NODE)
            return ListText(first, nullptr, nullptr, nullptr);
        auto [memo, fresh] = expandedTexts_.try_emplace(attribute);
        bool expanded = !fresh;
        return ListText(first, NameOf(reinterpret_cast<const xmlNode*>(attribute)), &expanded, &memo->second);
    }

    std::optional<std::string_view> OpenAttributeText(OpenElement& open, OpenAttribute& attribute) {
        if (attribute.nodes)
            return ListText(attribute.nodes, reinterpret_cast<const char*>(attribute.name), &attribute.expanded,
                            &attribute.expansion);
        if (attribute.textLength == 0) return std::nullopt;
        return std::string_view(open.texts.data() + attribute.textOffset, attribute.textLength);
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
                const xmlEntity* predefined = xmlGetDocEntity(Doc(), node->name);
                if (predefined && predefined->etype == XML_INTERNAL_PREDEFINED_ENTITY && predefined->content) {
                    text += reinterpret_cast<const char*>(predefined->content);
                    continue;
                }
                const xmlEntity* entity = InternalEntity(node->name);
                if (!entity) continue;
                if (!ChargeExpansion(entity)) return std::nullopt;
                stack.push_back({entity->children, true});
            }
        }
        return text;
    }

    static std::vector<FkEntry> BuildFkList(const TableDefn* defn, bool log = true) {
        std::vector<FkEntry> entries;
        if (!defn || !defn->constraints || !defn->constraints->foreignKeys) return entries;
        for (const ForeignKeyDefn& key : *defn->constraints->foreignKeys) {
            if (log) {
                LogTrace("Column Name : %s\n", key.localColumn);
                LogTrace("Ref Column  : %s\n", key.referenceColumn);
                LogTrace("Tablename : %s\n", key.referenceTable);
            }
            entries.push_back({key.referenceTable, key.referenceColumn, key.localColumn, std::nullopt});
        }
        return entries;
    }

    // The element's foreign-key list filled by inheritance, computed once per element and
    // load; an element already being filled further up the recursion gives an empty list.
    const std::vector<FkEntry>& FilledFkList(ElementRef element) {
        static const std::vector<FkEntry> kEmpty;
        if (element.open >= 0) {
            OpenElement& open = Open(element);
            if (open.fkFilled) return open.fk;
            if (open.fkVisiting) return kEmpty;
            std::vector<FkEntry> entries = BuildFkList(GetTableDefn(Name(element)));
            if (entries.empty()) return kEmpty;
            open.fkVisiting = true;
            for (FkEntry& entry : entries) InheritFk(element, &entry);
            open.fkVisiting = false;
            open.fk = std::move(entries);
            open.fkFilled = true;
            return open.fk;
        }
        auto memo = fkMemo_.find(element.node);
        if (memo != fkMemo_.end()) return memo->second;
        if (visiting_.count(element.node)) return kEmpty;
        std::vector<FkEntry> entries = BuildFkList(GetTableDefn(Name(element)));
        if (entries.empty()) return kEmpty;  // nothing to remember for tables without keys
        visiting_.insert(element.node);
        for (FkEntry& entry : entries) InheritFk(element, &entry);
        visiting_.erase(element.node);
        return fkMemo_.emplace(element.node, std::move(entries)).first->second;
    }

    // A value from an element named as the entry's referenced table: its attribute named
    // as the referenced column, else an entry of its own list referring to that name.
    std::optional<std::string_view> ValueFromList(ElementRef element, const FkEntry& entry) {
        for (const FkEntry& other : FilledFkList(element)) {
            if (other.value && CompareNoCase(other.refTable.c_str(), entry.refColumn.c_str()) == 0) return other.value;
        }
        return std::nullopt;
    }

    // The value the element's ancestors give the entry, if any.
    std::optional<std::string_view> InheritFromAncestors(ElementRef element, const FkEntry& entry) {
        for (ElementRef ancestor = Parent(element); ancestor; ancestor = Parent(ancestor)) {
            if (std::optional<std::string_view> value = LastAttributeText(ancestor, entry.refColumn)) return value;
            if (CompareNoCase(Name(ancestor), entry.refTable.c_str()) == 0) {
                if (std::optional<std::string_view> value = ValueFromList(ancestor, entry)) return value;
            }
        }
        return std::nullopt;
    }

    void InheritFk(ElementRef element, FkEntry* entry) {
        if ((entry->value = InheritFromAncestors(element, *entry))) return;
        // Downwards: the second child node, then the second child node of that, and so on,
        // as long as it is an element. A streamed element's children are not known: the
        // loader builds a tree for any row that could need them.
        if (!element.node) return;
        for (const xmlNode* current = element.node; current->children;) {
            const xmlNode* second = current->children->next;
            if (!IsElement(second)) return;
            if (CompareNoCase(NameOf(second), entry->refTable.c_str()) == 0) {
                if ((entry->value = LastAttributeText({second, -1}, entry->refColumn))) return;
                if ((entry->value = ValueFromList({second, -1}, *entry))) return;
            }
            current = second;
        }
    }

    // Whether a row of that name, whose parent is the top open element, has a foreign key
    // that nothing above it supplies, so that the rows below it must be known first.
    bool NeedsRowsBelow(const xmlChar* name) {
        const TableEntry* entry = FindOrCreateTable(name);
        // A name that is no table is looked up once per element, as the tree walk does.
        if (!entry) missedName_ = name;
        if (!entry || entry->columns.empty() || !entry->hasForeignKeys) return false;
        const ElementRef parent = openCount_ > 0 ? ElementRef{nullptr, openCount_ - 1} : ElementRef{};
        for (const FkEntry& key : BuildFkList(GetTableDefn(reinterpret_cast<const char*>(name)), false)) {
            bool found = false;
            for (ElementRef ancestor = parent; ancestor && !found; ancestor = Parent(ancestor)) {
                found = LastAttributeText(ancestor, key.refColumn).has_value() ||
                        (CompareNoCase(Name(ancestor), key.refTable.c_str()) == 0 && ValueFromList(ancestor, key));
            }
            if (!found) return true;
        }
        return false;
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

    bool HandleRow(ElementRef element) {
        const char* name = Name(element);
        TableEntry* entry = FindOrCreateTable(NameKey(element));
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
                for (ElementRef ancestor = Parent(element); ancestor && !entry.value; ancestor = Parent(ancestor))
                    entry.value = AttributeTextNamed(ancestor, key, false);
                primaryKeys.push_back(std::move(entry));
            }
        }

        CollectAttributes(element, &rowAttributes_);
        const std::vector<Attribute>& attributes = rowAttributes_;
        if (expansionFailed_) return false;
        MatchAttributes(*entry, attributes);
        std::vector<ColumnValue> values(table->columnCount);
        for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
            if (!columns[i]) continue;
            const ColumnDefn& column = *columns[i];
            const Attribute* attribute = columnAttribute_[i] >= 0 ? &attributes[static_cast<std::size_t>(columnAttribute_[i])] : nullptr;
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
        std::unique_ptr<RowObject> row = CreateNewRowObject(std::move(values));
        RowObject* added = row.get();
        if (!AddNewRow(table->name.c_str(), std::move(row))) return false;
        if (trackRows_) entry->added.push_back(added);
        return true;
    }

    // For each column, the first of the row's attributes named like it (case-insensitive).
    // Attribute names are interned, so each name is matched once per table and load.
    void MatchAttributes(TableEntry& entry, const std::vector<Attribute>& attributes) {
        columnAttribute_.assign(entry.columns.size(), -1);
        for (std::size_t a = 0; a < attributes.size(); ++a) {
            auto [match, fresh] = entry.columnOfAttribute.try_emplace(attributes[a].name, -1);
            if (fresh) {
                for (std::size_t i = 0; i < entry.columns.size(); ++i) {
                    if (entry.columns[i] && CompareNoCase(attributes[a].name, entry.columnNames[i].c_str()) == 0) {
                        match->second = static_cast<int>(i);
                        break;
                    }
                }
            }
            if (match->second >= 0 && columnAttribute_[static_cast<std::size_t>(match->second)] < 0)
                columnAttribute_[static_cast<std::size_t>(match->second)] = static_cast<int>(a);
        }
    }

    // After a parse error: the rows this load appended go again (those still new).
    void TakeBackRows() {
        for (auto& [name, entry] : tables_) {
            if (entry.added.empty()) continue;
            RemoveRowsInState(entry.table->name.c_str(), entry.added, ROW_NEW);
            entry.added.clear();
        }
    }

    // --- streaming ---

    // The loader of the document's own parser context; none for the context libxml2 makes
    // to parse an entity's content the first time it is referenced (which builds a tree).
    static Loader* Of(void* context) {
        Loader* loader = static_cast<Loader*>(static_cast<xmlParserCtxt*>(context)->_private);
        return loader && loader->stream_ == context ? loader : nullptr;
    }
    void Fail() {
        failed_ = true;
        // Past an entity bound the load ends at once; other failures let the parse go on
        // to tell a broken document from a failed row.
        if (expansionFailed_) {
            stopped_ = true;
            xmlStopParser(stream_);
        }
    }
    bool Failed() const { return failed_; }

    void PushOpen(const xmlChar* name, int attributeCount, int defaulted, const xmlChar** attributes) {
        if (static_cast<std::size_t>(openCount_) == open_.size()) open_.push_back(std::make_unique<OpenElement>());
        OpenElement& open = *open_[static_cast<std::size_t>(openCount_++)];
        open.Release();
        open.name = name;
        // Attributes the DTD defaults are not part of the element, as in the tree.
        const int kept = attributeCount - defaulted;
        for (int i = 0; i < kept; ++i) {
            const xmlChar** attribute = attributes + 5 * i;  // local name, prefix, URI, value, end
            const xmlChar* attributeName = attribute[0];
            if (attribute[1] && !attribute[2]) {  // undeclared prefix: the tree keeps the whole name
                if (const xmlChar* full = xmlDictQLookup(stream_->dict, attribute[1], attribute[0])) attributeName = full;
            }
            const std::size_t length = static_cast<std::size_t>(attribute[4] - attribute[3]);
            OpenAttribute kept_attribute{attributeName, open.texts.size(), 0, nullptr, false, std::nullopt};
            // The parser hands a decoded text zero-terminated, a literal one in place.
            if (*attribute[4] == 0) {
                kept_attribute.nodes =
                    xmlStringLenGetNodeList(stream_->myDoc, attribute[3], static_cast<int>(length));
            } else {
                open.texts.append(reinterpret_cast<const char*>(attribute[3]), length);
                kept_attribute.textLength = length;
            }
            open.texts.push_back('\0');
            open.attributes.push_back(std::move(kept_attribute));
        }
    }

    void PopOpen() {
        if (openCount_ > 0) open_[static_cast<std::size_t>(--openCount_)]->Release();
    }

    // Rows below a subtree root are walked once it ends; its nodes then go, with what the
    // loader remembered of them. Allocates nothing, so it cannot fail half-way.
    void FreeSubtree() noexcept {
        const xmlNode* node = subtreeRoot_;
        while (node) {
            if (IsElement(node)) {
                fkMemo_.erase(node);
                for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
                    expandedTexts_.erase(attribute);
            }
            if (IsElement(node) && node->children) {
                node = node->children;
                continue;
            }
            while (node != subtreeRoot_ && !node->next) node = node->parent;
            node = node == subtreeRoot_ ? nullptr : node->next;
        }
        xmlUnlinkNode(subtreeRoot_);
        xmlFreeNode(subtreeRoot_);
        subtreeRoot_ = nullptr;
    }

    static void OnStartElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                               int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaulted,
                               const xmlChar** attributes) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) {
            xmlSAX2StartElementNs(context, localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaulted,
                                  attributes);
            if (loader) ++loader->subtreeDepth_;
            return;
        }
        try {
            loader->StartElement(localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaulted,
                                 attributes);
        } catch (...) {  // nothing may unwind through libxml2
            loader->RowFailed();
            loader->Fail();
        }
    }

    void StartElement(const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri, int namespaceCount,
                      const xmlChar** namespaces, int attributeCount, int defaulted, const xmlChar** attributes) {
        const bool root = !sawRoot_;
        sawRoot_ = true;
        if (Failed()) {
            ++skippedDepth_;
            return;
        }
        const xmlChar* name = localName;
        if (prefix && !uri) {  // undeclared prefix: the tree keeps the whole name
            if (const xmlChar* full = xmlDictQLookup(stream_->dict, prefix, localName)) name = full;
        }
        const bool tree = root ? !BuildFkList(GetTableDefn(reinterpret_cast<const char*>(name)), false).empty()
                               : NeedsRowsBelow(name);
        if (tree) {
            xmlSAX2StartElementNs(stream_, localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaulted,
                                  attributes);
            if (!stream_->node) {  // libxml2 could not build the element: the row fails
                ++skippedDepth_;
                RowFailed();
                Fail();
                return;
            }
            subtreeRoot_ = stream_->node;
            subtreeDepth_ = 1;
            subtreeIsRoot_ = root;
            return;
        }
        PushOpen(name, attributeCount, defaulted, attributes);
        if (root) return;  // the root is no row
        if (!HandleRow({nullptr, openCount_ - 1})) {
            RowFailed();
            Fail();
        }
    }

    static void OnEndElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
        Loader* loader = Of(context);
        if (!loader) {
            xmlSAX2EndElementNs(context, localName, prefix, uri);
            return;
        }
        if (loader->subtreeDepth_ > 0) {
            xmlSAX2EndElementNs(context, localName, prefix, uri);
            if (--loader->subtreeDepth_ == 0) loader->EndSubtree();
            return;
        }
        if (loader->skippedDepth_ > 0) {
            --loader->skippedDepth_;
            return;
        }
        loader->PopOpen();
    }

    void EndSubtree() {
        try {
            if (!Failed() && !WalkNodes(subtreeIsRoot_ ? subtreeRoot_->children : subtreeRoot_, !subtreeIsRoot_)) Fail();
        } catch (...) {  // nothing may unwind through libxml2
            RowFailed();
            Fail();
        }
        FreeSubtree();
    }

    static void OnCharacters(void* context, const xmlChar* text, int length) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) xmlSAX2Characters(context, text, length);
    }
    static void OnCdata(void* context, const xmlChar* text, int length) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) xmlSAX2CDataBlock(context, text, length);
    }
    static void OnComment(void* context, const xmlChar* text) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) xmlSAX2Comment(context, text);
    }
    static void OnProcessingInstruction(void* context, const xmlChar* target, const xmlChar* data) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) xmlSAX2ProcessingInstruction(context, target, data);
    }
    // A reference to an internal entity between elements: the rows its content holds, there.
    static void OnReference(void* context, const xmlChar* name) {
        Loader* loader = Of(context);
        if (!loader || loader->subtreeDepth_ > 0) {
            xmlSAX2Reference(context, name);
            return;
        }
        if (loader->Failed() || loader->skippedDepth_ > 0) return;
        try {
            const xmlEntity* entity = loader->InternalEntity(name);
            if (!entity) return;
            if (!loader->ChargeExpansion(entity) || !loader->WalkNodes(entity->children, false)) loader->Fail();
        } catch (...) {  // nothing may unwind through libxml2
            loader->RowFailed();
            loader->Fail();
        }
    }
};

// Short texts (most attribute values) are kept inside their node instead of a block of
// their own; the loader only reads the tree, which is all that option asks.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_COMPACT;

// Where the streaming parser reads from: a buffer, or a file read piece by piece.
struct Source {
    const char* data = nullptr;
    std::size_t left = 0;
    std::FILE* file = nullptr;

    static int Read(void* context, char* buffer, int length) {
        Source* source = static_cast<Source*>(context);
        if (source->file) {
            const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(length), source->file);
            return std::ferror(source->file) ? -1 : static_cast<int>(got);
        }
        const std::size_t taken = std::min(source->left, static_cast<std::size_t>(length));
        std::memcpy(buffer, source->data, taken);
        source->data += taken;
        source->left -= taken;
        return static_cast<int>(taken);
    }
};

// Streams the document of documentBytes bytes from the source into the store.
bool LoadDocument(Source source, std::size_t documentBytes, const char* failureMessage) {
    InitXml();
    if (documentBytes == 0 || documentBytes > static_cast<std::size_t>(INT_MAX)) {
        LogError(kParseFailure);
        return false;
    }
    xmlParserCtxt* context = xmlCreateIOParserCtxt(nullptr, nullptr, &Source::Read, nullptr, &source,
                                                   XML_CHAR_ENCODING_NONE);
    if (!context) {
        LogError(kParseFailure);
        return false;
    }
    xmlCtxtUseOptions(context, kParseOptions);
    Loader::Outcome outcome = Loader::Outcome::kFailed;
    try {
        Loader loader(nullptr, documentBytes);
        outcome = loader.Stream(context);
    } catch (const std::bad_alloc&) {
        LogError(kRowFailure);
    }
    xmlFreeDoc(context->myDoc);
    context->myDoc = nullptr;
    xmlFreeParserCtxt(context);
    if (outcome == Loader::Outcome::kParseFailure) {
        LogError(kParseFailure);
        return false;
    }
    if (outcome == Loader::Outcome::kFailed) {
        LogError(failureMessage);
        return false;
    }
    return true;
}

}  // namespace

bool LoadTableDataFromXMLFile(const char* path) {
    constexpr const char* kFailure = "Cannot construct table data from XML file.\n";
    if (!path) {
        LogError(kParseFailure);
        return false;
    }
    // Read through the host layer as a plain file: a path that looks like a URL is never
    // fetched, it is simply a file that does not exist.
    std::FILE* file = host::MappedFopen(path, "rb");
    if (!file) {
        LogError(kParseFailure);
        return false;
    }
    struct stat status {};
    bool loaded = false;
    if (::fstat(::fileno(file), &status) == 0 && S_ISREG(status.st_mode)) {
        Source source;
        source.file = file;
        loaded = LoadDocument(source, static_cast<std::size_t>(status.st_size), kFailure);
    } else {
        // Not a plain file (a pipe, a device): its size is known once it is read.
        std::string content;
        char chunk[65536];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            content.append(chunk, got);
            if (content.size() > static_cast<std::size_t>(INT_MAX)) break;
        }
        loaded = LoadDocument(Source{content.data(), content.size(), nullptr}, content.size(), kFailure);
    }
    std::fclose(file);
    return loaded;
}

bool LoadTableDataFromXMLBuffer(const char* buffer, std::size_t length) {
    return LoadDocument(Source{buffer, buffer ? length : 0, nullptr}, buffer ? length : 0,
                        "Cannot construct table data from XML buffer.\n");
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
