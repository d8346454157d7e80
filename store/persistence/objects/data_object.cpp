// Data objects: row collections and row units, their index, changes, saving, merging,
// copying and the foreign-key order of tables.
#include "store/persistence/objects/data_object.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <set>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/foundation/text_utils.h"
#include "store/notify/notify.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/objects/data_object_internal.h"
#include "store/persistence/startup/row_write.h"

namespace {

// The names the unit's values follow.
std::vector<std::string> DefinitionColumnNames(const TableDefn* defn) {
    std::vector<std::string> names;
    if (defn)
        for (const auto& column : defn->columns) names.push_back(column->name);
    return names;
}

const ColumnDefn* FindColumnDefn(const TableDefn* defn, const std::string& name) {
    if (!defn) return nullptr;
    for (const auto& column : defn->columns)
        if (column->name == name) return column.get();
    return nullptr;
}

// Equal values of one column type: bytes for byte types, the value texts otherwise (a
// record may carry padding that is not part of its value).
bool ValuesEqual(const ColumnValue& first, const ColumnValue& second, BYTE type) {
    if (first.isNull() || second.isNull()) return first.isNull() && second.isNull();
    if (IsByteType(type))
        return first.length == second.length &&
               std::memcmp(first.buffer->data(), second.buffer->data(),
                           std::min<std::size_t>(first.length, first.buffer->size())) == 0;
    return ConvertColumnValueToText(first, type) == ConvertColumnValueToText(second, type);
}

void RemoveFromIndex(DataObject* dataObject, const RowUnit* unit) {
    for (auto it = dataObject->rowIndex.begin(); it != dataObject->rowIndex.end(); ++it)
        if (it->second == unit) {
            dataObject->rowIndex.erase(it);
            return;
        }
}

// Unlinks the unit from its collection and the index and frees it.
void RemoveRowUnit(DataObject* dataObject, RowCollection* collection, const RowUnit* unit) {
    RemoveFromIndex(dataObject, unit);
    if (collection->cursor == unit) collection->cursor = nullptr;
    std::erase_if(collection->units, [unit](const RowUnitPtr& held) { return held.get() == unit; });
}

bool SameTable(const std::string& first, const std::string& second) {
    return CompareNoCase(first.c_str(), second.c_str()) == 0;
}

bool IsKeyColumn(const TableDefn* defn, const std::string& column) {
    if (!defn || !defn->constraints) return false;
    const auto& keys = defn->constraints->primaryKeyColumns;
    return std::find(keys.begin(), keys.end(), column) != keys.end();
}

// Sets one column of a held unit. A key column of a row the database holds stays as it
// is: the update would otherwise be written to the row of the new key. A unit not yet
// saved may take a new key that no other unit holds; the index follows it.
bool SetColumnValue(DataObject* dataObject, RowCollection* collection, RowUnit* unit,
                    const char* column, const void* value, std::uint32_t length) {
    const auto it =
        std::find(collection->columnNames.begin(), collection->columnNames.end(), column);
    if (it == collection->columnNames.end()) {
        LogError("Passed column %s is not present in DO.\n", column);
        return false;
    }
    const std::size_t position = static_cast<std::size_t>(it - collection->columnNames.begin());
    if (position >= unit->values.size()) {
        LogError("Memcpy Failed.\n");
        return false;
    }
    ColumnValue newValue = value ? ColumnValue::FromBytes(value, length) : ColumnValue::Null();
    if (IsKeyColumn(collection->tableDefn, *it)) {
        if (unit->state & ROW_SAVED) {
            LogError("Key column %s of a stored row cannot be changed.\n", column);
            return false;
        }
        RowUnit changed = *unit;
        changed.values[position] = newValue;
        RowUnit* other = dataobject::FindHeldUnit(dataObject, &changed);
        std::optional<std::string> key = GetKeyString(&changed);
        if ((other && other != unit) || !key) {
            LogError("Row with keyStr %s already exists.\n", key.value_or(""));
            return false;
        }
        RemoveFromIndex(dataObject, unit);
        dataObject->rowIndex.emplace(*key, unit);
    }
    unit->values[position] = std::move(newValue);
    unit->state |= ROW_UPDATED;
    return true;
}

}  // namespace

namespace dataobject {

std::optional<std::size_t> UnitColumnPosition(const RowUnit* unit, const std::string& column) {
    if (unit->columnNames) {
        const auto& names = *unit->columnNames;
        const auto it = std::find(names.begin(), names.end(), column);
        if (it == names.end()) return std::nullopt;
        return static_cast<std::size_t>(it - names.begin());
    }
    const TableDefn* defn = GetTableDefn(unit->tableName.c_str());
    if (!defn) return std::nullopt;
    for (std::size_t i = 0; i < defn->columns.size(); ++i)
        if (defn->columns[i]->name == column) return i;
    return std::nullopt;
}

RowUnit* FindHeldUnit(DataObject* dataObject, const RowUnit* unit) {
    std::optional<std::string> key = GetKeyString(unit);
    if (!key) return nullptr;
    const auto [first, last] = dataObject->rowIndex.equal_range(*key);
    for (auto it = first; it != last; ++it)
        if (SameRowKey(it->second, unit)) return it->second;
    return nullptr;
}

bool AddIndexedUnit(DataObject* dataObject, RowCollection* collection, RowUnitPtr unit) {
    std::optional<std::string> key = GetKeyString(unit.get());
    if (!key) return false;
    unit->columnNames = &collection->columnNames;
    unit->columnCount = static_cast<std::uint32_t>(collection->columnNames.size());
    dataObject->rowIndex.emplace(*key, unit.get());
    collection->units.push_back(std::move(unit));
    return true;
}

bool AllKeyValuesNull(const RowUnit* unit) {
    const TableDefn* defn = GetTableDefn(unit->tableName.c_str());
    if (!defn || !defn->constraints || defn->constraints->primaryKeyColumns.empty()) return false;
    for (const std::string& key : defn->constraints->primaryKeyColumns) {
        std::optional<std::size_t> position = UnitColumnPosition(unit, key);
        if (position && *position < unit->values.size() && !unit->values[*position].isNull())
            return false;
    }
    return true;
}

void ReindexDataObject(DataObject* dataObject) {
    dataObject->rowIndex.clear();
    for (auto& collection : dataObject->collections)
        for (auto& unit : collection->units) {
            unit->columnNames = &collection->columnNames;
            if (std::optional<std::string> key = GetKeyString(unit.get()))
                dataObject->rowIndex.emplace(*key, unit.get());
        }
}

}  // namespace dataobject

using namespace dataobject;

DataObjectPtr CreateDataObject() {
    LogTrace("@@@@  Inside CreateDataObject @@@@\n");
    DataObjectPtr dataObject = std::make_unique<DataObject>();
    dataObject->rowIndex.reserve(100);
    return dataObject;
}

RowCollectionPtr CreateRowCollection(const char* table,
                                     const std::vector<std::string>* columnNames) {
    LogTrace("@@@@  Inside CreateRowCollection @@@@\n");
    const TableDefn* defn = table ? GetTableDefn(table) : nullptr;
    if (!defn) {
        LogError("No Table Definition found for table %s.\n", table ? table : "(null)");
        return nullptr;
    }
    auto collection = std::make_unique<RowCollection>();
    collection->tableName = defn->name;
    collection->tableDefn = defn;
    if (columnNames)
        for (const std::string& name : *columnNames)
            if (!FindColumnDefn(defn, name)) {
                LogError("Invalid Column Entered.\n");
                return nullptr;
            }
    for (const auto& column : defn->columns) {
        const bool wanted =
            !columnNames || columnNames->empty() ||
            std::find(columnNames->begin(), columnNames->end(), column->name) != columnNames->end();
        if (!wanted) continue;
        collection->columnNames.push_back(column->name);
        collection->columnTypes.push_back(column->type);
    }
    return collection;
}

RowUnitPtr CreateRowUnit(const char* table, std::vector<ColumnValue> values) {
    LogTrace("@@@@  Inside CreateRowUnit @@@@\n");
    if (!table) return nullptr;
    const TableDefn* defn = GetTableDefn(table);
    auto unit = std::make_unique<RowUnit>();
    unit->tableName = defn ? defn->name : table;
    unit->columnCount = static_cast<std::uint32_t>(values.size());
    unit->values = std::move(values);
    unit->state = ROW_NEW;
    return unit;
}

bool AddRowCollectionToDO(DataObject* dataObject, RowCollectionPtr collection) {
    LogTrace("@@@@  Inside AddRowCollectionToDO @@@@\n");
    if (!dataObject || !collection) return false;
    if (ContainsTableInDO(dataObject, collection->tableName.c_str())) return false;
    dataObject->tableNames.push_back(collection->tableName);
    dataObject->collections.push_back(std::move(collection));
    return true;
}

bool AddRowUnitToRowCollection(RowCollection* collection, RowUnitPtr unit) {
    LogTrace("@@@@  Inside AddRowUnitToRowCollection @@@@\n");
    if (!collection || !unit || unit->values.size() != collection->columnNames.size()) return false;
    unit->columnNames = &collection->columnNames;
    unit->columnCount = static_cast<std::uint32_t>(unit->values.size());
    collection->units.push_back(std::move(unit));
    return true;
}

bool AddTableToDO(DataObject* dataObject, const char* table,
                  const std::vector<std::string>* columnNames) {
    if (!dataObject) {
        LogError("DO is NULL.\n");
        return false;
    }
    if (!table || !GetTableDefn(table)) {
        LogError("Table Definition not found for %s.\n", table ? table : "(null)");
        return false;
    }
    RowCollectionPtr collection = CreateRowCollection(table, columnNames);
    if (!collection || !AddRowCollectionToDO(dataObject, std::move(collection))) {
        LogError("ADD ROW COLLECTION FAILED\n");
        return false;
    }
    return true;
}

std::optional<std::string> GetKeyString(const RowUnit* unit) {
    if (!unit) return std::nullopt;
    const TableDefn* defn = GetTableDefn(unit->tableName.c_str());
    if (!defn) return std::nullopt;
    std::string key = unit->tableName;
    if (defn->constraints)
        for (const std::string& name : defn->constraints->primaryKeyColumns) {
            std::optional<std::size_t> position = UnitColumnPosition(unit, name);
            const ColumnDefn* column = FindColumnDefn(defn, name);
            if (!position || *position >= unit->values.size() || !column) return std::nullopt;
            std::optional<std::string> text =
                ConvertColumnValueToText(unit->values[*position], column->type);
            if (!text) return std::nullopt;
            key += *text;
        }
    LogTrace("KeyStr %s\n", key);
    return key;
}

bool SameRowKey(const RowUnit* first, const RowUnit* second) {
    if (!first || !second || !SameTable(first->tableName, second->tableName)) return false;
    const TableDefn* defn = GetTableDefn(first->tableName.c_str());
    if (!defn || !defn->constraints) return false;
    for (const std::string& name : defn->constraints->primaryKeyColumns) {
        std::optional<std::size_t> a = UnitColumnPosition(first, name);
        std::optional<std::size_t> b = UnitColumnPosition(second, name);
        const ColumnDefn* column = FindColumnDefn(defn, name);
        if (!a || !b || !column || *a >= first->values.size() || *b >= second->values.size())
            return false;
        if (!ValuesEqual(first->values[*a], second->values[*b], column->type)) return false;
    }
    return true;
}

RowUnit* InsertRowUnit(DataObject* dataObject, RowUnitPtr unit) {
    LogTrace("@@@@  Inside InsertRowUnit @@@@\n");
    if (!dataObject || !unit) return nullptr;
    RowCollection* collection = GetRowCollection(dataObject, unit->tableName.c_str());
    if (!collection) {
        LogError("The RowUnit belongs to Table %s, which is not in DO\n", unit->tableName);
        return nullptr;
    }
    if (unit->values.size() != collection->columnNames.size()) {
        LogError("Invalid Column Entered.\n");
        return nullptr;
    }
    unit->columnNames = &collection->columnNames;
    for (std::size_t i = 0; i < unit->values.size(); ++i) {
        if (!unit->values[i].isNull()) continue;
        const ColumnDefn* column =
            FindColumnDefn(collection->tableDefn, collection->columnNames[i]);
        if (!column) continue;
        if (column->generatorName) {
            const std::int32_t id = GenerateID(collection->tableName.c_str(), column);
            if (id < 0) {
                LogError("Cannot generate an identifier for %s.%s\n", collection->tableName,
                         column->name);
                return nullptr;
            }
            unit->values[i] = MakeIdentifierValue(id, column->type);
        } else if (!column->defaultValue.isNull()) {
            unit->values[i] = column->defaultValue;
        }
    }
    std::optional<std::string> key = GetKeyString(unit.get());
    if (!key) {
        LogError("No Primary Keys mentioned for table %s. \n", unit->tableName);
        return nullptr;
    }
    if (FindHeldUnit(dataObject, unit.get())) {
        LogDebug("Row with keyStr %s already exists.\n", *key);
        return nullptr;
    }
    LogDebug("Inserting Row\n");
    unit->state = ROW_NEW;
    RowUnit* held = unit.get();
    AddIndexedUnit(dataObject, collection, std::move(unit));
    return held;
}

bool UpdateRowUnit(DataObject* dataObject, const RowUnit* changed) {
    LogTrace("@@@@  Inside UpdateRowUnit @@@@\n");
    if (!dataObject || !changed) return false;
    RowUnit* held = FindHeldUnit(dataObject, changed);
    if (!held) {
        LogError("Row to be updated is not present in DO. \n");
        return false;
    }
    if (held == changed) {
        held->state |= ROW_UPDATED;
        return true;
    }
    RowCollection* collection = GetRowCollection(dataObject, held->tableName.c_str());
    std::vector<ColumnValue> values;
    for (const std::string& name : collection->columnNames) {
        std::optional<std::size_t> position = UnitColumnPosition(changed, name);
        if (!position || *position >= changed->values.size()) {
            LogError("Passed column %s is not present in DO.\n", name);
            return false;
        }
        values.push_back(changed->values[*position]);
    }
    LogDebug("Updating Row\n");
    held->values = std::move(values);
    held->state |= ROW_UPDATED;
    return true;
}

bool DeleteRowUnit(DataObject* dataObject, RowUnit* unit) {
    LogTrace("@@@@  Inside DeleteRowUnit @@@@\n");
    if (!dataObject || !unit) return false;
    RowUnit* held = FindHeldUnit(dataObject, unit);
    RowCollection* collection =
        held ? GetRowCollection(dataObject, held->tableName.c_str()) : nullptr;
    if (!held || !collection) {
        LogError("Table %s is not present in DO.\n", unit->tableName);
        return false;
    }
    if (held->state & ROW_SAVED)
        held->state |= ROW_DELETED;
    else
        RemoveRowUnit(dataObject, collection, held);
    return true;
}

bool DeleteRowUnitOnCriteria(const char* table, DataObject* dataObject, const char* criteria) {
    LogTrace("@@@@  Inside DeleteRowUnitOnCriteria @@@@\n");
    RowCollection* collection = GetRowCollection(dataObject, table);
    if (!collection || !criteria) {
        LogError("Table %s is not present in DO.\n", table ? table : "(null)");
        return false;
    }
    CriteriaParserLock lock;
    CriteriaTree tree = ParseCriteria(criteria);
    if (!tree) return false;
    ResolveCriteria(collection->tableDefn->columns, tree.get());
    std::vector<RowUnit*> matches;
    for (const RowUnitPtr& unit : collection->units) {
        std::unique_ptr<RowObject> row = RowUnitToRowObject(unit.get());
        if (!row) {
            LogError("RowObject is NULL.\n");
            return false;
        }
        if (EvaluateCriteria(tree.get(), row->values)) matches.push_back(unit.get());
    }
    for (RowUnit* unit : matches) DeleteRowUnit(dataObject, unit);
    return true;
}

RowUnit* FindRowUnit(DataObject* dataObject, const char* keyString) {
    LogTrace("@@@@  Inside FindRowUnit @@@@\n");
    if (!dataObject || !keyString) return nullptr;
    const auto it = dataObject->rowIndex.find(keyString);
    return it == dataObject->rowIndex.end() ? nullptr : it->second;
}

RowUnit* GotoNextRowUnit(RowCollection* collection) {
    LogTrace("@@@@  Inside GotoNextRowUnit @@@@\n");
    if (!collection) return nullptr;
    if (!collection->cursor) {
        if (collection->units.empty()) {
            LogError("No RowUnits present in RowCollection.\n");
            return nullptr;
        }
        collection->cursor = collection->units.front().get();
        return collection->cursor;
    }
    const auto it = std::find_if(
        collection->units.begin(), collection->units.end(),
        [collection](const RowUnitPtr& unit) { return unit.get() == collection->cursor; });
    if (it == collection->units.end() || it + 1 == collection->units.end()) {
        LogDebug("Reached end of rowUnits.\n");
        return nullptr;
    }
    collection->cursor = (it + 1)->get();
    return collection->cursor;
}

RowUnit* GetFirstRowUnit(RowCollection* collection) {
    LogTrace("@@@@  Inside GetFirstRowUnit @@@@\n");
    return collection && !collection->units.empty() ? collection->units.front().get() : nullptr;
}

RowUnit* GetLastRowUnit(RowCollection* collection) {
    LogTrace("@@@@  Inside GetLastRowUnit @@@@\n");
    return collection && !collection->units.empty() ? collection->units.back().get() : nullptr;
}

RowUnit* GetNthRowUnit(RowCollection* collection, std::int32_t n) {
    LogTrace("@@@@  Inside GetNthRowUnit @@@@\n");
    if (!collection || n < 0 || static_cast<std::size_t>(n) >= collection->units.size())
        return nullptr;
    return collection->units[static_cast<std::size_t>(n)].get();
}

namespace {

// The collection a set-value call writes to; a table missing from the object is logged.
RowCollection* CollectionToSet(DataObject* dataObject, const char* table) {
    RowCollection* collection = GetRowCollection(dataObject, table);
    if (!collection) LogError(" Table %s is not present in DO\n", table ? table : "(null)");
    return collection;
}

}  // namespace

bool SetValueForRowUnit(const char* column, const char* table, const void* value,
                        std::uint32_t length, DataObject* dataObject) {
    LogTrace("@@@@  Inside SetValueForRowUnit @@@@\n");
    RowCollection* collection = CollectionToSet(dataObject, table);
    if (!collection) return false;
    RowUnit* last = GetLastRowUnit(collection);
    if (!column || !last) {
        LogError("Passed column %s is not present in DO.\n", column ? column : "(null)");
        return false;
    }
    return SetColumnValue(dataObject, collection, last, column, value, length);
}

bool SetValueForAllRowUnits(const char* column, const char* table, const void* value,
                            std::uint32_t length, DataObject* dataObject) {
    LogTrace("@@@@  Inside SetValueForAllRowUnits @@@@\n");
    RowCollection* collection = CollectionToSet(dataObject, table);
    if (!collection) return false;
    if (!column) return false;
    for (const RowUnitPtr& unit : collection->units)
        if (!SetColumnValue(dataObject, collection, unit.get(), column, value, length))
            return false;
    return true;
}

const char* GetFirstValue(DataObject* dataObject, const char* table, const char* column,
                          std::uint32_t* length) {
    LogTrace("@@@@  Inside GetFirstValue @@@@\n");
    if (length) *length = 0;
    const ColumnValue* value =
        GetColumnValueFromDO(GetFirstRowUnit(GetRowCollection(dataObject, table)), column);
    if (!value || value->isNull()) return nullptr;
    if (length) *length = value->length;
    return value->data();
}

const ColumnValue* GetColumnValueFromDO(const RowUnit* unit, const char* column) {
    if (!unit || !column) return nullptr;
    std::optional<std::size_t> position = UnitColumnPosition(unit, column);
    if (!position || *position >= unit->values.size()) {
        LogError("Passed column %s is not present in DO.\n", column);
        return nullptr;
    }
    return &unit->values[*position];
}

std::vector<const ColumnValue*> GetColumnValuesFromDO(DataObject* dataObject, const char* table,
                                                      const char* column) {
    LogTrace("@@@@  Inside GetColumnValuesFromDO @@@@\n");
    std::vector<const ColumnValue*> values;
    if (RowCollection* collection = GetRowCollection(dataObject, table))
        for (const RowUnitPtr& unit : collection->units)
            if (const ColumnValue* value = GetColumnValueFromDO(unit.get(), column))
                values.push_back(value);
    return values;
}

RowUnit* InsertRowIntoDO(DataObject* dataObject, const char* table,
                         std::vector<ColumnValue> values) {
    LogTrace("@@@@  Inside InsertRowIntoDO @@@@\n");
    RowUnitPtr unit = CreateRowUnit(table, std::move(values));
    if (!unit) {
        LogError("Cannot create rowUnit.\n");
        return nullptr;
    }
    RowUnit* held = InsertRowUnit(dataObject, std::move(unit));
    if (!held) LogError("Cannot Insert RowUnit.\n");
    return held;
}

RowUnit* InsertStringRowIntoDO(DataObject* dataObject, const char* table,
                               const std::vector<const char*>& texts) {
    LogTrace("@@@@  Inside InsertStringRowIntoDO @@@@\n");
    RowCollection* collection = GetRowCollection(dataObject, table);
    if (!collection || texts.size() != collection->columnTypes.size()) {
        LogError("Cannot create rowUnit.\n");
        return nullptr;
    }
    std::vector<ColumnValue> values;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::uint32_t length = texts[i] ? static_cast<std::uint32_t>(std::strlen(texts[i])) : 0;
        ColumnValue value = ConvertTextToColumnValue(texts[i], collection->columnTypes[i], &length);
        if (texts[i] && value.isNull()) {
            LogError("Cannot create rowUnit.\n");
            return nullptr;
        }
        values.push_back(std::move(value));
    }
    return InsertRowIntoDO(dataObject, table, std::move(values));
}

std::unique_ptr<RowObject> RowUnitToRowObject(const RowUnit* unit) {
    const TableDefn* defn = unit ? GetTableDefn(unit->tableName.c_str()) : nullptr;
    if (!defn) return nullptr;
    std::vector<ColumnValue> values;
    for (const auto& column : defn->columns) {
        std::optional<std::size_t> position = UnitColumnPosition(unit, column->name);
        if (position && *position < unit->values.size()) {
            values.push_back(unit->values[*position]);
        } else if (!column->defaultValue.isNull()) {
            values.push_back(column->defaultValue);
        } else if (column->nullable) {
            values.push_back(ColumnValue::Null());
        } else {
            LogError(
                "Cannot save RowUnit. Column %s is not not nullable and does not have a default "
                "value\n",
                column->name);
            return nullptr;
        }
    }
    auto row = std::make_unique<RowObject>(std::move(values));
    row->state = unit->state;
    return row;
}

namespace {

// The row of a unit the database holds, for its update or delete: the unit's columns, the
// others NULL and marked as not held, so an update writes only what the unit holds.
std::unique_ptr<RowObject> StoredRowOfUnit(const RowUnit* unit) {
    const TableDefn* defn = GetTableDefn(unit->tableName.c_str());
    if (!defn) return nullptr;
    std::vector<ColumnValue> values;
    auto held = std::make_unique<std::vector<bool>>();
    for (const auto& column : defn->columns) {
        std::optional<std::size_t> position = UnitColumnPosition(unit, column->name);
        const bool present = position && *position < unit->values.size();
        values.push_back(present ? unit->values[*position] : ColumnValue::Null());
        held->push_back(present);
    }
    auto row = std::make_unique<RowObject>(std::move(values));
    row->state = unit->state;
    if (std::find(held->begin(), held->end(), false) != held->end()) row->heldColumns = std::move(held);
    return row;
}

}  // namespace

bool SaveRowUnit(DataObject* dataObject, RowCollection* collection, RowUnit* unit) {
    LogTrace("@@@@  Inside SaveRowUnit @@@@\n");
    if (!dataObject || !collection || !unit) return false;
    const BYTE state = unit->state;
    const bool deleted = (state & ROW_DELETED) != 0;
    if (deleted && (state & ROW_NEW) && !(state & ROW_SAVED)) {
        // Created and deleted in memory: the database never had it.
        RemoveRowUnit(dataObject, collection, unit);
        return true;
    }
    // A new unit is inserted whole (defaults for the columns it lacks); a stored one is
    // written with its own columns only.
    std::unique_ptr<RowObject> row = (state & ROW_SAVED) ? StoredRowOfUnit(unit) : RowUnitToRowObject(unit);
    if (!row) return false;
    LogDebug("RowState %d\n", state);
    std::shared_ptr<TableStatements> source = GetTableStatements();
    const SqlDialect* dialect = source ? source->Dialect(collection->tableName.c_str()) : nullptr;
    if (!dialect) {
        LogError("No data source for table %s\n", collection->tableName);
        return false;
    }
    SqlText sql;
    RowStatementKind kind;
    const char* table = collection->tableName.c_str();
    if (state == (ROW_SAVED | ROW_UPDATED)) {
        sql = dialect->genUpdate(table, row.get());
        kind = RowStatementKind::Update;
    } else if ((state & ROW_SAVED) && deleted) {
        sql = dialect->genDelete(table, row.get());
        kind = RowStatementKind::Delete;
    } else if (state == ROW_NEW || state == (ROW_NEW | ROW_UPDATED)) {
        sql = dialect->genInsert(table, row.get());
        kind = RowStatementKind::Insert;
    } else if (state == 0 || state == ROW_SAVED) {
        LogError("QueryPtr is NULL.\n");
        return state == ROW_SAVED;
    } else {
        LogError("Invalid State for keyStr.  Cannot Save.\n");
        return false;
    }
    if (!sql) return false;
    RowStatementRunner run;
    run.update = [&source, table](const std::string& text) { return source->UpdateRows(table, text); };
    run.query = [&source, table](const std::string& text) { return source->Query(table, text); };
    if (RunRowStatement(dialect, table, row.get(), kind, *sql, run) != RowWriteResult::Written) return false;
    if (deleted)
        RemoveRowUnit(dataObject, collection, unit);
    else
        unit->state = ROW_SAVED;
    return true;
}

namespace {

// Saves the units of the collection that pass the filter; units may leave the
// collection on the way, so the walk uses a copy of the list.
bool SaveUnits(DataObject* dataObject, RowCollection* collection,
               const std::function<bool(const RowUnit*)>& take) {
    std::vector<RowUnit*> units;
    for (const RowUnitPtr& unit : collection->units)
        if (take(unit.get())) units.push_back(unit.get());
    bool saved = true;
    for (RowUnit* unit : units)
        if (!SaveRowUnit(dataObject, collection, unit)) saved = false;
    return saved;
}

}  // namespace

bool SaveRowCollection(DataObject* dataObject, RowCollection* collection) {
    LogTrace("@@@@  Inside SaveRowCollection @@@@\n");
    if (!dataObject || !collection) return false;
    return SaveUnits(dataObject, collection, [](const RowUnit*) { return true; });
}

bool SaveDataObject(DataObject* dataObject) {
    LogTrace("@@@@  Inside SaveDataObject @@@@\n");
    if (!dataObject) return false;
    const std::vector<std::string> order = SortTablesForDO(dataObject);
    bool saved = true;
    for (const std::string& table : order)
        if (!SaveUnits(dataObject, GetRowCollection(dataObject, table.c_str()),
                       [](const RowUnit* unit) { return !(unit->state & ROW_DELETED); }))
            saved = false;
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        if (!SaveUnits(dataObject, GetRowCollection(dataObject, it->c_str()),
                       [](const RowUnit* unit) { return (unit->state & ROW_DELETED) != 0; }))
            saved = false;
    return saved;
}

namespace {

// Adds a copy of the unit keeping its state; false when its key is already held.
bool AddCopyKeepingState(DataObject* target, RowCollection* collection, const RowUnit* unit) {
    RowUnitPtr copy = CloneRowUnit(unit);
    if (!copy || FindHeldUnit(target, copy.get())) return false;
    return AddIndexedUnit(target, collection, std::move(copy));
}

}  // namespace

bool MergeDataObject(DataObject* target, DataObject* source) {
    LogTrace("@@@@  Inside MergeDataObject @@@@\n");
    if (!target || !source) return false;
    bool merged = true;
    for (const RowCollectionPtr& from : source->collections) {
        RowCollection* into = GetRowCollection(target, from->tableName.c_str());
        if (!into) {
            RowCollectionPtr empty =
                CreateRowCollection(from->tableName.c_str(), &from->columnNames);
            if (!empty) {
                LogError("tempRowCollection is NULL\n");
                merged = false;
                continue;
            }
            into = empty.get();
            AddRowCollectionToDO(target, std::move(empty));
            for (const RowUnitPtr& unit : from->units) {
                if (unit->state == (ROW_NEW | ROW_DELETED)) continue;
                if (!AddCopyKeepingState(target, into, unit.get())) merged = false;
            }
            continue;
        }
        if (into->columnNames != from->columnNames) {
            LogError("Invalid Column Entered.\n");
            merged = false;
            continue;
        }
        for (const RowUnitPtr& unit : from->units) {
            const BYTE state = unit->state;
            if (state == (ROW_SAVED | ROW_UPDATED)) {
                if (!UpdateRowUnit(target, unit.get())) merged = false;
            } else if (state == ROW_NEW || state == (ROW_NEW | ROW_UPDATED)) {
                if (FindHeldUnit(target, unit.get())) {
                    LogError("Cannot Insert Row with keystring %s.  Row already exists.",
                             GetKeyString(unit.get()).value_or(""));
                    merged = false;
                } else if (!AddCopyKeepingState(target, into, unit.get())) {
                    merged = false;
                }
            } else if (state == (ROW_SAVED | ROW_DELETED)) {
                if (RowUnit* held = FindHeldUnit(target, unit.get()))
                    DeleteRowUnit(target, held);
                else if (!AddCopyKeepingState(target, into, unit.get()))
                    merged = false;
            }
        }
    }
    return merged;
}

RowUnitPtr CloneRowUnit(const RowUnit* unit) {
    LogTrace("@@@@  Inside CloneRowUnit @@@@\n");
    if (!unit) return nullptr;
    // The copy keeps following the original's column names until it joins a collection.
    return std::make_unique<RowUnit>(*unit);
}

RowCollectionPtr CloneRowCollection(const RowCollection* collection) {
    LogTrace("@@@@  Inside CloneRowCollection @@@@\n");
    if (!collection) return nullptr;
    auto copy = std::make_unique<RowCollection>();
    copy->tableName = collection->tableName;
    copy->tableDefn = collection->tableDefn;
    copy->columnNames = collection->columnNames;
    copy->columnTypes = collection->columnTypes;
    for (const RowUnitPtr& unit : collection->units) {
        RowUnitPtr unitCopy = CloneRowUnit(unit.get());
        unitCopy->columnNames = &copy->columnNames;
        copy->units.push_back(std::move(unitCopy));
    }
    return copy;
}

DataObjectPtr CloneDataObject(const DataObject* dataObject) {
    LogTrace("@@@@  Inside CloneDataObject @@@@\n");
    if (!dataObject) return nullptr;
    DataObjectPtr copy = CreateDataObject();
    copy->tableNames = dataObject->tableNames;
    for (const RowCollectionPtr& collection : dataObject->collections)
        copy->collections.push_back(CloneRowCollection(collection.get()));
    ReindexDataObject(copy.get());
    return copy;
}

std::vector<std::string> GetTableList(const DataObject* dataObject) {
    LogTrace("@@@@  Inside GetTableList @@@@\n");
    return dataObject ? dataObject->tableNames : std::vector<std::string>();
}

bool ContainsTableInDO(const DataObject* dataObject, const char* table) {
    LogTrace("@@@@  Inside ContainsTableInDO @@@@\n");
    if (!dataObject || !table) return false;
    for (const RowCollectionPtr& collection : dataObject->collections)
        if (SameTable(collection->tableName, table)) return true;
    return false;
}

RowCollection* GetRowCollection(DataObject* dataObject, const char* table) {
    LogTrace("@@@@  Inside GetRowCollection @@@@\n");
    if (!dataObject || !table) return nullptr;
    for (const RowCollectionPtr& collection : dataObject->collections)
        if (SameTable(collection->tableName, table)) return collection.get();
    return nullptr;
}

bool IsDOEmpty(const DataObject* dataObject) {
    LogTrace("@@@@  Inside IsDOEmpty @@@@\n");
    if (!dataObject) return true;
    for (const RowCollectionPtr& collection : dataObject->collections)
        if (!collection->units.empty()) return false;
    return true;
}

std::vector<std::string> GetColumnListFromDO(DataObject* dataObject, const char* table) {
    LogTrace("@@@@  Inside GetColumnListFromDO @@@@\n");
    RowCollection* collection = GetRowCollection(dataObject, table);
    if (!collection) {
        LogError("Table %s is not present in DO.\n", table ? table : "(null)");
        return {};
    }
    return collection->columnNames;
}

void PrintRowUnitValue(const RowUnit* unit) {
    LogTrace("@@@@  Inside PrintRowUnitValue @@@@\n");
    if (!unit) return;
    const TableDefn* defn = GetTableDefn(unit->tableName.c_str());
    const std::vector<std::string> names =
        unit->columnNames ? *unit->columnNames : DefinitionColumnNames(defn);
    std::string text;
    for (std::size_t i = 0; i < unit->values.size() && i < names.size(); ++i) {
        const ColumnDefn* column = FindColumnDefn(defn, names[i]);
        text += ConvertColumnValueToText(unit->values[i], column ? column->type : 0).value_or("");
        text += "\t";
    }
    LogDebug("%s(state %d)\n", text, unit->state);
}

void PrintDataObject(const DataObject* dataObject) {
    LogTrace("@@@@  Inside PrintDataObject @@@@\n");
    if (!dataObject) return;
    for (const RowCollectionPtr& collection : dataObject->collections) {
        std::string header;
        for (const std::string& name : collection->columnNames) header += name + "\t";
        LogDebug("Table: %s\n%s\n", collection->tableName, header);
        for (const RowUnitPtr& unit : collection->units) PrintRowUnitValue(unit.get());
    }
}

std::optional<std::vector<std::string>> SortTableByFK(const std::vector<std::string>& tables) {
    LogTrace("@@@@  Inside SortTableByFK @@@@\n");
    std::vector<std::string> remaining = tables;
    std::vector<std::string> ordered;
    std::set<std::string> entered;  // upper-cased names of tables already taken up
    const auto enter = [&entered](const std::string& table) {
        std::string key = table;
        for (char& ch : key) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return entered.insert(key).second;
    };
    const auto position = [&remaining](const std::string& name) {
        for (std::size_t i = 0; i < remaining.size(); ++i)
            if (SameTable(remaining[i], name)) return static_cast<std::ptrdiff_t>(i);
        return static_cast<std::ptrdiff_t>(-1);
    };
    std::function<void(std::string)> place = [&](std::string table) {
        if (!enter(table)) return;  // a cycle: the table is placed where the walk entered it
        const TableDefn* defn = GetTableDefn(table.c_str());
        if (defn && defn->constraints && defn->constraints->foreignKeys)
            for (const ForeignKeyDefn& key : *defn->constraints->foreignKeys) {
                const std::ptrdiff_t at = position(key.referenceTable);
                if (at >= 0 && !SameTable(remaining[static_cast<std::size_t>(at)], table))
                    place(remaining[static_cast<std::size_t>(at)]);
            }
        const std::ptrdiff_t at = position(table);
        if (at < 0) return;
        ordered.push_back(remaining[static_cast<std::size_t>(at)]);
        remaining.erase(remaining.begin() + at);
    };
    while (!remaining.empty()) {
        const std::size_t before = remaining.size();
        place(remaining.front());
        if (remaining.size() == before) remaining.erase(remaining.begin());  // listed twice
    }
    return ordered;
}

std::vector<std::string> SortTablesForDO(const DataObject* dataObject) {
    LogTrace("@@@@  Inside SortTablesForDO @@@@\n");
    if (!dataObject) return {};
    std::vector<std::string> tables;
    for (const RowCollectionPtr& collection : dataObject->collections)
        tables.push_back(collection->tableName);
    std::optional<std::vector<std::string>> sorted = SortTableByFK(tables);
    if (!sorted) {
        LogError("CloneVector Failed.\n");
        return tables;
    }
    return *sorted;
}
