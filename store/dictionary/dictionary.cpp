// The process-wide data dictionary: building definitions from parsed tag trees, the
// listing files, lookups by table, column and foreign key, printing and removal.
#include "store/dictionary/dictionary.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include <fmt/printf.h>

#include "platform/platform.h"
#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/dictionary_xml.h"

Vector gv_dataDictionary;

namespace {

constexpr const char* kListingName = "datadictionary.txt";
constexpr const char* kSeparator = "---------------------------------------\n\n";

// The definitions themselves; gv_dataDictionary holds them in order, unowned.
std::vector<std::unique_ptr<TableDefn>>& OwnedDefinitions() {
    static std::vector<std::unique_ptr<TableDefn>> owned;
    return owned;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// atoi-like: optional sign and leading digits, clamped to 32 bits.
std::int32_t ParseMaxSize(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), std::numeric_limits<std::int32_t>::max());
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

const XmlTagInfo* NextSibling(const XmlTagInfo* record) { return record ? record->nextSibling.get() : nullptr; }

// Fills one column from its record; false when the definition cannot be built.
bool BuildColumn(const XmlTagInfo& record, ColumnDefn* column) {
    column->name = record.attributeValues.front();
    const std::string* defaultText = nullptr;
    for (const XmlTagInfo* child = record.firstChild.get(); child; child = child->nextSibling.get()) {
        const std::string& tag = child->tagName;
        const std::string* text = child->FirstText();
        if (tag == "data-type") {
            if (!text) {
                LogError("Column data type not supported - Error while creating column definition.\n");
                column->type = HYL_SQL_NOT_SUPPORTED_TYPE;
            } else {
                column->type = GetColumnTypeCode(*text);
            }
        } else if (tag == "nullable") {
            column->nullable = (text && EqualsNoCase(*text, "true")) ? 1 : 0;
        } else if (tag == "max-size") {
            column->maxSize = text ? ParseMaxSize(*text) : 0;
        } else if (tag == "description") {
            if (text) column->description = *text;
        } else if (tag == "default-value") {
            defaultText = text;
        } else if (tag == "generator-name") {
            if (text) column->generatorName = *text;
        } else if (tag == "unique") {
            column->unique = (text && *text == "true") ? 1 : 0;
        } else if (tag == "value") {
            try {
                column->allowedValues = AllowedValues{child->textValues, ALLOWED_VALUES_LIST};
            } catch (const std::bad_alloc&) {
                LogError("Cannot copy allowed values.\n");
                return false;
            }
        } else if (tag == "from") {
            const XmlTagInfo* to = child->nextSibling.get();
            if (!to || to->tagName != "to") {
                LogError("In the allowed values attribute, 'to' tag is missing.\n");
                return false;
            }
            try {
                column->allowedValues = AllowedValues{
                    {text ? *text : std::string(), to->FirstText() ? *to->FirstText() : std::string()},
                    ALLOWED_VALUES_RANGE};
            } catch (const std::bad_alloc&) {
                LogError("Cannot copy allowed values.\n");
                return false;
            }
            child = to;
        }
    }
    if ((column->type == HYL_SQL_CHAR || column->type == HYL_SQL_CHARACTER) && column->maxSize >= 256) {
        column->type = HYL_SQL_TEXT;
    }
    if (defaultText) {
        // Converted by the declared type; 14, 15 and 22 convert alike.
        std::uint32_t length = static_cast<std::uint32_t>(defaultText->size());
        column->defaultValue = ConvertTextToColumnValue(defaultText->c_str(), column->type, &length);
    }
    return true;
}

void BuildForeignKeys(const XmlTagInfo& record, ConstraintDefn* constraints) {
    std::vector<ForeignKeyDefn>& keys = constraints->foreignKeys.emplace();
    for (const XmlTagInfo* key = record.firstChild.get(); key; key = key->nextSibling.get()) {
        if (key->tagName != "foreign-key") continue;
        const XmlTagInfo* pairs = key->firstChild.get();
        if (!pairs || pairs->tagName != "fk-columns") {
            LogDebug("fk-columns tag not found \n");
            continue;
        }
        const std::string* table = key->Attribute("reference-table-name");
        const std::string* bidirectional = key->Attribute("isbidirectional");
        const XmlTagInfo* constraint = pairs->nextSibling.get();
        const bool cascade = constraint && constraint->tagName == "fk-constraints" &&
                             constraint->FirstText() && *constraint->FirstText() == "ON-DELETE-CASCADE";
        bool first = true;
        for (const XmlTagInfo* pair = pairs->firstChild.get(); pair; pair = pair->nextSibling.get()) {
            const std::string* local = nullptr;
            const std::string* reference = nullptr;
            for (const XmlTagInfo* part = pair->firstChild.get(); part; part = part->nextSibling.get()) {
                if (part->tagName == "fk-local-column") local = part->FirstText();
                else if (part->tagName == "fk-reference-column") reference = part->FirstText();
            }
            // A pair without both names cannot be looked up or enforced.
            if (!local || !reference) {
                LogError("Incomplete foreign key column pair in table %s\n", table ? table->c_str() : nullptr);
                continue;
            }
            ForeignKeyDefn defn;
            defn.localColumn = *local;
            defn.referenceColumn = *reference;
            defn.referenceTable = table ? *table : std::string();
            defn.onDeleteCascade = cascade ? 1 : 0;
            defn.bidirectional = (first && bidirectional && *bidirectional == "true") ? 1 : 0;
            first = false;
            keys.push_back(std::move(defn));
        }
    }
}

// Reads a listing of whitespace-separated file names.
std::optional<std::vector<std::string>> ReadListing(const std::string& path) {
    std::FILE* file = host::MappedFopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string content;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) content.append(chunk, got);
    std::fclose(file);
    std::vector<std::string> names;
    std::size_t i = 0;
    while (i < content.size()) {
        while (i < content.size() && std::isspace(static_cast<unsigned char>(content[i]))) ++i;
        std::size_t start = i;
        while (i < content.size() && !std::isspace(static_cast<unsigned char>(content[i]))) ++i;
        if (i > start) names.emplace_back(content, start, i - start);
    }
    return names;
}

TableDefn* FindDefn(const char* tableName) {
    for (VectorNode* node = gv_dataDictionary.first.get(); node; node = node->next.get()) {
        TableDefn* defn = ElementOf<TableDefn>(node);
        if (defn && EqualsNoCase(defn->name, tableName)) return defn;
    }
    return nullptr;
}

// Shared front of the column lookups: the definition, with the messages of both.
TableDefn* DefnForColumnLookup(const char* tableName, const char* columnName) {
    if (!tableName || !columnName) {
        LogError("Cannot fetch default value;\n");
        return nullptr;
    }
    TableDefn* defn = FindDefn(tableName);
    if (!defn) LogError("No definition found for table %s\n", tableName);
    return defn;
}

ColumnDefn* FindColumn(TableDefn* defn, const char* columnName) {
    for (const std::unique_ptr<ColumnDefn>& column : defn->columns) {
        if (column->name == columnName) return column.get();
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<TableDefn> BuildTableDefn(const XmlTagInfo& table) {
    try {
        if (table.attributeValues.empty()) {
            LogError("Table definition without a name\n");
            return nullptr;
        }
        auto defn = std::make_unique<TableDefn>();
        defn->name = table.attributeValues.front();
        defn->constraints = std::make_unique<ConstraintDefn>();

        const XmlTagInfo* record = table.firstChild.get();
        if (record && record->tagName == "description") {
            if (record->FirstText()) defn->description = *record->FirstText();
            record = record->nextSibling.get();
        }
        // The columns come next; anything else in their place is passed over.
        while (record && record->tagName != "columns") record = record->nextSibling.get();
        if (record) {
            for (const XmlTagInfo* child = record->firstChild.get(); child; child = child->nextSibling.get()) {
                if (child->attributeValues.empty()) {
                    LogError("Column without a name in table %s\n", defn->name);
                    return nullptr;
                }
                auto column = std::make_unique<ColumnDefn>();
                if (!BuildColumn(*child, column.get())) return nullptr;
                defn->columns.push_back(std::move(column));
            }
        }
        const XmlTagInfo* next = NextSibling(record);
        if (next && next->tagName == "primary-key") {
            for (const XmlTagInfo* key = next->firstChild.get(); key; key = key->nextSibling.get()) {
                if (key->FirstText()) defn->constraints->primaryKeyColumns.push_back(*key->FirstText());
            }
            next = next->nextSibling.get();
        }
        if (next && next->tagName == "foreign-keys") BuildForeignKeys(*next, defn->constraints.get());
        return defn;
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return nullptr;
    }
}

bool AddTableDefn(std::unique_ptr<TableDefn> defn) {
    if (!defn) return false;
    try {
        auto& owned = OwnedDefinitions();
        owned.reserve(owned.size() + 1);
        if (AddElementValue(&gv_dataDictionary, defn.get()) != 1) {
            LogError("MEMORY_ALLOCATION_FAILURE\n");
            return false;
        }
        owned.push_back(std::move(defn));
    } catch (const std::bad_alloc&) {
        LogError("MEMORY_ALLOCATION_FAILURE\n");
        return false;
    }
    LogTrace("\t@@@@ Loaded Table definition Successfully @@@@\n");
    return true;
}

bool LoadDataDictFromXMLFile(const char* path) { return XmlDataParser(path); }

bool LoadAllDataDictFiles() {
    // "..\data\" beside the working directory only when no root names the data.
    const std::string relative = std::string("..\\data\\") + kListingName;
    std::optional<std::vector<std::string>> names =
        gv_quennetRoot ? std::nullopt : ReadListing(relative);
    const bool fromRoot = !names && gv_quennetRoot;
    if (fromRoot) {
        const std::string path = fmt::sprintf("%s/data/%s", *gv_quennetRoot, kListingName);
        LogDebug("Opening %s\n", path);
        names = ReadListing(path);
    }
    if (!names) {
        LogError("Cannot open DataDictionary File.\n");
        return false;
    }
    for (const std::string& name : *names) {
        const std::string path =
            fromRoot ? fmt::sprintf("%s/data/%s", *gv_quennetRoot, name) : "..\\data\\" + name;
        LogDebug("Opening %s\n", path);
        LoadDataDictFromXMLFile(path.c_str());
    }
    return true;
}

bool LoadDataDictFiles(const char* directory) {
    if (!directory) return false;
    std::optional<std::vector<std::string>> names =
        ReadListing(fmt::sprintf("%s\\%s", directory, kListingName));
    if (!names) {
        LogError("Cannot open DataDictionary File.\n");
        return false;
    }
    for (const std::string& name : *names) {
        const std::string path = fmt::sprintf("%s\\%s", directory, name);
        LogDebug("Opening %s\n", path);
        LoadDataDictFromXMLFile(path.c_str());
    }
    return true;
}

TableDefn* GetTableDefn(const char* tableName) {
    if (!tableName) {
        if (gv_dataDictionary.count > 0) LogError("Table Name is NULL.\n");
        return nullptr;
    }
    return FindDefn(tableName);
}

const ColumnValue* GetDefaultValue(const char* tableName, const char* columnName, BYTE* found) {
    LogTrace("@@@@ Inside GetDefaultValue @@@@\n");
    if (found) *found = 0;
    TableDefn* defn = DefnForColumnLookup(tableName, columnName);
    if (!defn) return nullptr;
    ColumnDefn* column = FindColumn(defn, columnName);
    if (!column) return nullptr;
    if (found) *found = 1;
    return &column->defaultValue;
}

ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName) {
    LogTrace("@@@@ Inside GetColumnDefnEntry @@@@\n");
    TableDefn* defn = DefnForColumnLookup(tableName, columnName);
    return defn ? FindColumn(defn, columnName) : nullptr;
}

BYTE GetColumnDefnEntryType(const char* tableName, const char* columnName) {
    const ColumnDefn* column = GetColumnDefnEntry(tableName, columnName);
    return column ? column->type : static_cast<BYTE>(HYL_SQL_NOT_SUPPORTED_TYPE);
}

ForeignKeyDefn* GetForeignKeyDefn(const TableDefn* defn, const char* localColumn) {
    if (!defn || !localColumn) return nullptr;
    if (!defn->constraints) {
        LogError("No constraint Definition \n");
        return nullptr;
    }
    if (!defn->constraints->foreignKeys || defn->constraints->foreignKeys->empty()) {
        LogError("No Foreignkey Entries in Definition \n");
        return nullptr;
    }
    for (ForeignKeyDefn& key : *defn->constraints->foreignKeys) {
        if (EqualsNoCase(key.localColumn, localColumn)) return &key;
    }
    return nullptr;
}

void PrintDataDictionary() {
    for (VectorNode* node = gv_dataDictionary.first.get(); node; node = node->next.get()) {
        const TableDefn* defn = ElementOf<TableDefn>(node);
        if (!defn || defn->columns.empty()) continue;
        LogDebug("Table Name : %s\n", defn->name);
        LogDebug("Description: %s\n", defn->description);
        LogDebug(kSeparator);
        for (const std::unique_ptr<ColumnDefn>& column : defn->columns) {
            LogDebug("Column Name : %s\n", column->name);
            LogDebug("Column Type : %d\n", column->type);
            LogDebug("Unique Flag : %s\n", column->unique ? "TRUE" : "FALSE");
            LogDebug("Description : %s\n", column->description);
            LogDebug(kSeparator);
        }
        if (!defn->constraints) continue;
        for (const std::string& key : defn->constraints->primaryKeyColumns) {
            LogDebug("Primary key : %s\n\n", key);
        }
        if (defn->constraints->foreignKeys && !defn->constraints->foreignKeys->empty()) {
            LogDebug("Foreign key Constraints\n");
            LogDebug("********************************\n");
            for (const ForeignKeyDefn& key : *defn->constraints->foreignKeys) {
                LogDebug("Column Name : %s\n", key.localColumn);
                LogDebug("Ref Column  : %s\n", key.referenceColumn);
                LogDebug("Tablename : %s\n", key.referenceTable);
            }
            LogDebug("********************************\n");
        }
    }
}

// Defined by the table registry.
bool IsTableDefnInUse(const TableDefn* defn);

bool RemoveTableDefn(const char* tableName) {
    if (!tableName) return false;
    TableDefn* defn = FindDefn(tableName);
    if (!defn) return false;
    // A registered table borrows its definition: freeing it would leave the table dangling.
    if (IsTableDefnInUse(defn)) {
        LogError("Definition of %s is in use by a loaded table\n", tableName);
        return false;
    }
    DeleteLCDVector(&gv_dataDictionary, defn);
    auto& owned = OwnedDefinitions();
    std::erase_if(owned, [defn](const std::unique_ptr<TableDefn>& held) { return held.get() == defn; });
    return true;
}

void RemoveAllTableDefns() {
    FreeVector(&gv_dataDictionary);
    OwnedDefinitions().clear();
}

std::int32_t GetTableDefnCount() { return gv_dataDictionary.count; }
