// The personality registry, its XML file, index tables and the data objects of
// personalities.
#include "store/persistence/objects/personality.h"

#include <fmt/format.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "runtime/log.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/startup/store_startup.h"

Vector gv_personalityDefnVect;

namespace {

std::mutex gv_registryMutex;
std::vector<std::unique_ptr<PersonalityDefn>> gv_personalityStore;
std::vector<DominantTableConfig> gv_dominantConfigs;

// One element below the root: its name and attributes in document order.
struct ElementRecord {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
};

void CollectElements(xmlNode* node, std::vector<ElementRecord>* records) {
    for (xmlNode* child = node ? node->children : nullptr; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        ElementRecord record;
        record.name = reinterpret_cast<const char*>(child->name);
        for (xmlAttr* attribute = child->properties; attribute; attribute = attribute->next) {
            xmlChar* value = xmlNodeListGetString(child->doc, attribute->children, 1);
            record.attributes.emplace_back(reinterpret_cast<const char*>(attribute->name),
                                           value ? reinterpret_cast<const char*>(value) : "");
            xmlFree(value);
        }
        records->push_back(std::move(record));
        CollectElements(child, records);
    }
}

std::optional<std::string> Attribute(const ElementRecord& record, const char* name) {
    for (const auto& [key, value] : record.attributes)
        if (key == name) return value;
    return std::nullopt;
}

// A constituent's attributes are read in order up to a "tableindex" of "0".
ConstituentTable ReadConstituent(const ElementRecord& record, const std::string& dominant) {
    ConstituentTable constituent;
    constituent.dominantTable = dominant;
    for (const auto& [key, value] : record.attributes) {
        if (key == "tableindex") {
            constituent.tableIndex = std::atoi(value.c_str());
            if (value == "0") break;
        } else if (key == "tableid") {
            constituent.table = value;
        } else if (key == "fkconstraint_id") {
            constituent.fkConstraintId = value;
        } else if (key == "mandatory") {
            constituent.mandatory = value == "false" ? 0 : 1;
        }
    }
    return constituent;
}

PersonalityDefn* FindPersonality(const char* name) {
    for (VectorNode* node = gv_personalityDefnVect.first.get(); node; node = node->next.get())
        if (PersonalityDefn* defn = ElementOf<PersonalityDefn>(node); defn->name == name)
            return defn;
    return nullptr;
}

// The personality's tables: the dominant one first, then the constituents. An unknown
// personality is logged.
std::optional<std::vector<std::string>> PersonalityTables(const char* name) {
    const PersonalityDefn* defn = GetPersonalityDefn(name);
    if (!defn) {
        LogError("No personality found for %s\n", name ? name : "(null)");
        return std::nullopt;
    }
    std::vector<std::string> tables{defn->dominantTable};
    for (const ConstituentTable& constituent : defn->constituents)
        tables.push_back(constituent.table);
    return tables;
}

DataObjectPtr MergeAll(const std::vector<std::string>& names,
                       const std::function<DataObjectPtr(const char*)>& get) {
    DataObjectPtr merged;
    for (const std::string& name : names) {
        DataObjectPtr part = get(name.c_str());
        if (!part) return nullptr;
        if (!merged) {
            merged = std::move(part);
        } else if (!MergeDataObject(merged.get(), part.get())) {
            LogError("Cannot Merge DO's.\n");
            return nullptr;
        }
    }
    return merged;
}

}  // namespace

BYTE InitPersonality() {
    LogTrace("@@@@ Inside InitPersonality @@@@\n");
    FreeAllPersonalityDefns();
    return 1;
}

void FreeAllPersonalityDefns() {
    SetDominantTableCheck(nullptr);
    std::lock_guard<std::mutex> guard(gv_registryMutex);
    FreeVector(&gv_personalityDefnVect);
    gv_personalityStore.clear();
    gv_dominantConfigs.clear();
}

bool CreateIndexTable(const char* dominantTable) {
    LogTrace("@@@@ Inside CreateIndexTable @@@@\n");
    const TableDefn* defn = dominantTable ? GetTableDefn(dominantTable) : nullptr;
    if (!defn) {
        LogError("No Table Definition found for table %s.\n",
                 dominantTable ? dominantTable : "(null)");
        return false;
    }
    if (!defn->constraints || defn->constraints->primaryKeyColumns.empty()) {
        LogError("No Primary Keys mentioned for table %s. \n", defn->name);
        return false;
    }
    std::string keys;
    for (const std::string& key : defn->constraints->primaryKeyColumns) {
        const ColumnDefn* column = GetColumnDefnEntry(defn->name.c_str(), key.c_str());
        const BYTE type = column ? column->type : 0;
        if (type == HYL_SQL_TINYINT || type == HYL_SQL_SMALLINT || type == HYL_SQL_INT ||
            type == HYL_SQL_BIGINT)
            keys += fmt::format("{} INT, ", key);
        else if (type == HYL_SQL_CHAR || type == HYL_SQL_CHARACTER)
            keys += fmt::format("{} VARCHAR({}), ", key, column->maxSize);
        else {
            LogError("Key column %s of %s cannot be written into an index table\n", key,
                     defn->name);
            return false;
        }
    }
    const std::string sql =
        fmt::format("CREATE TABLE {}_IDX({} TABLENAME VARCHAR(40))", defn->name, keys);
    std::shared_ptr<TableStatements> source = GetTableStatements();
    if (!source || !source->Update(defn->name.c_str(), sql)) {
        LogError("Cannot create index table %s_IDX\n", defn->name);
        return false;
    }
    return true;
}

bool CreateAndAddPersonalityDefn(PersonalityDefn defn) {
    LogTrace("@@@@ Inside CreateAndAddPersonalityDefn @@@@\n");
    std::lock_guard<std::mutex> guard(gv_registryMutex);
    if (defn.name.empty() || FindPersonality(defn.name.c_str())) {
        LogError("Cannot Add personality %s into gv_personalityDefnVect.\n", defn.name);
        return false;
    }
    auto held = std::make_unique<PersonalityDefn>(std::move(defn));
    if (AddElementValue(&gv_personalityDefnVect, held.get()) != 1) {
        LogError("Cannot Add personality %s into gv_personalityDefnVect.\n", held->name);
        return false;
    }
    gv_personalityStore.push_back(std::move(held));
    return true;
}

BYTE CreatePersonalityFromXMLFile(const char* path) {
    LogTrace("@@@@ Inside CreatePersonalityFromXMLFile @@@@\n");
    xmlDocPtr document =
        path ? xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)
             : nullptr;
    if (!document) {
        LogError("Could not parse file %s\n", path ? path : "(null)");
        return 0;
    }
    std::vector<ElementRecord> records;
    CollectElements(xmlDocGetRootElement(document), &records);
    xmlFreeDoc(document);

    for (const ElementRecord& record : records) {
        if (record.name != "DominantTableConfig") continue;
        DominantTableConfig config;
        config.table = Attribute(record, "DOMINANTTABLEID").value_or("");
        config.indexed = Attribute(record, "isindexed").value_or("") == "true";
        config.nonIndexLimit = std::atoi(Attribute(record, "nonindexlimit").value_or("0").c_str());
        if (config.indexed) CreateIndexTable(config.table.c_str());
        std::lock_guard<std::mutex> guard(gv_registryMutex);
        gv_dominantConfigs.push_back(std::move(config));
    }

    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].name != "PersonalityConfiguration") continue;
        PersonalityDefn defn;
        defn.name = Attribute(records[i], "personalityname").value_or("");
        defn.description = Attribute(records[i], "description").value_or("");
        defn.dominantTable = Attribute(records[i], "dominanttableid").value_or("");
        for (std::size_t j = i + 1; j < records.size() && records[j].name == "ConstituentTable";
             ++j) {
            ConstituentTable constituent = ReadConstituent(records[j], defn.dominantTable);
            if (constituent.table == defn.dominantTable) continue;
            if (constituent.table.empty()) {
                LogError("Cannot Add constituent table %s into constituentTableVect.\n", "(null)");
                continue;
            }
            defn.constituents.push_back(std::move(constituent));
        }
        CreateAndAddPersonalityDefn(std::move(defn));
    }
    // Index-table entries are kept for the dominant tables named here from now on.
    if (!GetDominantTables().empty()) SetDominantTableCheck(&IsDominantTable);
    return 1;
}

const PersonalityDefn* GetPersonalityDefn(const char* name) {
    if (!name) {
        LogError("Cannot get personality.  Personality name is NULL\n");
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gv_registryMutex);
    const PersonalityDefn* defn = FindPersonality(name);
    if (!defn) LogError("Personality %s not found in gv_personalityDefnVect\n", name);
    return defn;
}

void PrintPersonalityDefn(const char* name) {
    const PersonalityDefn* defn = GetPersonalityDefn(name);
    if (!defn) return;
    LogDebug("\nPersonality Name: %s\n", defn->name);
    LogDebug("Description: %s\n", defn->description);
    LogDebug("Dominant Table: %s\n\n", defn->dominantTable);
    LogDebug("Constituent Table Information\n");
    for (const ConstituentTable& constituent : defn->constituents) {
        LogDebug("Constituent Table Name: %s\n", constituent.table);
        LogDebug("Dominant Table Name: %s\n", constituent.dominantTable);
        LogDebug("Table Index: %d\n", constituent.tableIndex);
        LogDebug("Mandatory: %d\n", constituent.mandatory);
        LogDebug("FK Constraint Id: %s\n", constituent.fkConstraintId);
    }
}

std::optional<std::vector<std::string>> GetConstituentTables(const char* name) {
    if (!name) {
        LogError("Cannot get constituent tables list.  PersonalityName is NULL\n");
        return std::nullopt;
    }
    const PersonalityDefn* defn = GetPersonalityDefn(name);
    if (!defn) {
        LogError("Cannot get constituent tables list.  PersonalityDefn is NULL\n");
        return std::nullopt;
    }
    std::vector<std::string> tables;
    for (const ConstituentTable& constituent : defn->constituents)
        tables.push_back(constituent.table);
    return tables;
}

std::vector<std::string> GetDominantTables() {
    std::lock_guard<std::mutex> guard(gv_registryMutex);
    std::vector<std::string> tables;
    for (VectorNode* node = gv_personalityDefnVect.first.get(); node; node = node->next.get()) {
        const std::string& table = ElementOf<PersonalityDefn>(node)->dominantTable;
        if (std::find(tables.begin(), tables.end(), table) == tables.end()) tables.push_back(table);
    }
    return tables;
}

bool IsDominantTable(const char* table) {
    if (!table) return false;
    for (const std::string& dominant : GetDominantTables())
        if (CompareNoCase(dominant.c_str(), table) == 0) return true;
    return false;
}

const DominantTableConfig* GetDominantTableConfig(const char* table) {
    std::lock_guard<std::mutex> guard(gv_registryMutex);
    for (const DominantTableConfig& config : gv_dominantConfigs)
        if (table && CompareNoCase(config.table.c_str(), table) == 0) return &config;
    return nullptr;
}

DataObjectPtr GetDOFromPersonality(const char* name) {
    LogTrace("@@@@  Inside GetDOFromPersonality @@@@\n");
    if (!name) {
        LogError("Cannot get Personality.  personalityName is NULL\n");
        return nullptr;
    }
    const PersonalityDefn* personality = GetPersonalityDefn(name);
    if (!personality) {
        LogError("No personality found for %s\n", name);
        return nullptr;
    }
    const TableDefn* dominant = GetTableDefn(personality->dominantTable.c_str());
    if (!dominant) {
        LogError("No Table Definition found for table %s.\n", personality->dominantTable);
        return nullptr;
    }
    if (!dominant->constraints || dominant->constraints->primaryKeyColumns.empty()) {
        LogError("No Primary Keys mentioned for table %s. \n", dominant->name);
        return nullptr;
    }
    SelectQueryPtr query = CreateSelectQuery();
    if (!query) return nullptr;
    std::vector<const TableDefn*> tables{dominant};
    for (const ConstituentTable& constituent : personality->constituents) {
        const TableDefn* defn = GetTableDefn(constituent.table.c_str());
        if (!defn) {
            LogError("No Table Definition found for table %s.\n", constituent.table);
            return nullptr;
        }
        std::vector<QueryColumn*> base, reference;
        const auto& keys = dominant->constraints->primaryKeyColumns;
        if (defn->constraints && defn->constraints->foreignKeys)
            for (const ForeignKeyDefn& fk : *defn->constraints->foreignKeys) {
                if (GetTableDefn(fk.referenceTable.c_str()) != dominant ||
                    std::find(keys.begin(), keys.end(), fk.referenceColumn) == keys.end())
                    continue;
                base.push_back(CreateColumnDescriptor(dominant->name.c_str(), nullptr,
                                                      fk.referenceColumn.c_str(), nullptr, 0,
                                                      HYL_SQL_INT, AGGREGATE_NONE, query->pool));
                reference.push_back(
                    CreateColumnDescriptor(defn->name.c_str(), nullptr, fk.localColumn.c_str(),
                                           nullptr, 0, HYL_SQL_INT, AGGREGATE_NONE, query->pool));
            }
        if (base.empty()) {
            LogError("Table %s has no foreign key to %s\n", defn->name, dominant->name);
            LogError("Cannot get DO for personality %s\n", name);
            return nullptr;
        }
        AddJoin(query.get(), dominant->name.c_str(), nullptr, defn->name.c_str(), nullptr,
                LEFT_JOIN, base, reference);
        tables.push_back(defn);
    }
    if (personality->constituents.empty()) AddTable(query.get(), dominant->name.c_str(), nullptr);
    for (const TableDefn* defn : tables)
        for (const auto& column : defn->columns)
            AddSelectColumn(
                query.get(),
                CreateColumnDescriptor(defn->name.c_str(), nullptr, column->name.c_str(), nullptr,
                                       0, column->type, AGGREGATE_NONE, query->pool));
    DataObjectPtr dataObject = GetDataObject(std::move(query));
    if (!dataObject) LogError("Cannot get DO for personality %s\n", name);
    return dataObject;
}

DataObjectPtr GetDOFromPersonalities(const std::vector<std::string>& names) {
    LogTrace("@@@@  Inside GetDOFromPersonalities @@@@\n");
    return MergeAll(names, [](const char* name) { return GetDOFromPersonality(name); });
}

DataObjectPtr GetDOFromPersonalityByRowUnit(const char* name, const RowUnit* unit) {
    LogTrace("@@@@  Inside GetDOFromPersonalityByRowUnit @@@@\n");
    std::optional<std::vector<std::string>> tables = PersonalityTables(name);
    if (!tables) return nullptr;
    return GetDataObjectByRowUnit(*tables, unit);
}

DataObjectPtr GetDOFromPersonalitiesByRowUnit(const std::vector<std::string>& names,
                                              const RowUnit* unit) {
    return MergeAll(names,
                    [unit](const char* name) { return GetDOFromPersonalityByRowUnit(name, unit); });
}

DataObjectPtr GetDOFromPersonalityByCriteria(const char* name, const QueryCriteriaNode* criteria) {
    LogTrace("@@@@  Inside GetDOFromPersonalityByCriteria @@@@\n");
    std::optional<std::vector<std::string>> tables = PersonalityTables(name);
    if (!tables) return nullptr;
    return GetDataObjectByCriteria(*tables, criteria);
}

DataObjectPtr GetDOFromPersonalitiesByCriteria(const std::vector<std::string>& names,
                                               const QueryCriteriaNode* criteria) {
    return MergeAll(names, [criteria](const char* name) {
        return GetDOFromPersonalityByCriteria(name, criteria);
    });
}

DataObjectPtr DeepRetrieveDO(const char* dominantTable, const RowUnit* row) {
    LogTrace("@@@@  Inside DeepRetrieveDO @@@@\n");
    const TableDefn* defn = dominantTable ? GetTableDefn(dominantTable) : nullptr;
    if (!defn || !row) {
        LogError("No Table Definition found for table %s.\n",
                 dominantTable ? dominantTable : "(null)");
        return nullptr;
    }
    if (!defn->constraints || defn->constraints->primaryKeyColumns.empty()) {
        LogError("No primary keys in dominant table %s\n", defn->name);
        return nullptr;
    }
    std::shared_ptr<TableStatements> source = GetTableStatements();
    const SqlDialect* dialect = source ? source->Dialect(defn->name.c_str()) : nullptr;
    if (!dialect) return nullptr;
    std::vector<std::string> conditions;
    for (const std::string& key : defn->constraints->primaryKeyColumns) {
        const ColumnValue* value = GetColumnValueFromDO(row, key.c_str());
        const ColumnDefn* column = GetColumnDefnEntry(defn->name.c_str(), key.c_str());
        if (!value || !column) return nullptr;
        SqlText literal = SqlLiteral(dialect, *value, column->type);
        if (!literal) return nullptr;
        conditions.push_back(fmt::format("{} = {} ", key, *literal));
    }
    std::string where;
    for (std::size_t i = 0; i < conditions.size(); ++i) where += (i ? " AND " : "") + conditions[i];
    const std::string sql = fmt::format("SELECT TABLENAME FROM {}_IDX WHERE {}", defn->name, where);
    std::unique_ptr<QueryResultSet> result = source->Query(defn->name.c_str(), sql);
    std::vector<std::string> tables{defn->name};
    if (result) {
        ResetResultSet(result.get());
        while (NextResultRow(result.get()))
            if (std::optional<std::string> table = ResultText(result.get(), "TABLENAME")) {
                const bool known =
                    std::any_of(tables.begin(), tables.end(), [&](const std::string& listed) {
                        return CompareNoCase(listed.c_str(), table->c_str()) == 0;
                    });
                if (!known) tables.push_back(*table);
            }
    }
    if (!result || result->rows.empty()) {
        LogError("Query: %s. No tables indexed.  Cannot deep retrieve DO for %s\n", sql,
                 defn->name);
        return nullptr;
    }
    return GetDataObjectByRowUnit(tables, row);
}
