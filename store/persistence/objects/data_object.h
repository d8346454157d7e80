// Data objects: in-memory snapshots of related rows of several tables, read with one
// select, organised per table into row collections of row units. Each row unit is known
// by its key string (table name followed by its primary-key texts). Callers read and
// change the units; saving writes the changes back with the store's row-state rules.
//
// A data object is not locked: one thread works on it at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win/types.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/column_value.h"
#include "store/foundation/result_set.h"
#include "store/persistence/query/select_query.h"
#include "store/tables/tables.h"

// One row of a data object: the values of its collection's columns and its state.
struct RowUnit {
    std::string tableName;
    std::uint32_t columnCount = 0;
    // One value per column of the unit's collection (each with its length); a unit of no
    // collection holds the table's columns in definition order.
    std::vector<ColumnValue> values;
    BYTE state = ROW_SAVED;  // ROW_SAVED, ROW_NEW, ROW_UPDATED, ROW_DELETED flags
    // The column names the values follow: the collection's, or null for definition order.
    const std::vector<std::string>* columnNames = nullptr;
};
// Owning pointer to a RowUnit.
using RowUnitPtr = std::unique_ptr<RowUnit>;

// The rows of one table in a data object, with the columns they hold.
struct RowCollection {
    std::string tableName;
    const TableDefn* tableDefn = nullptr;
    std::vector<std::string> columnNames;  // the selected columns, in definition order
    std::vector<BYTE> columnTypes;
    std::vector<RowUnitPtr> units;  // in insertion order
    RowUnit* cursor = nullptr;      // GotoNextRowUnit's current unit
};
// Owning pointer to a RowCollection.
using RowCollectionPtr = std::unique_ptr<RowCollection>;

// Rows of several related tables read or built together and saved together, one
// collection per table, with an index of the rows by primary key.
struct DataObject {
    // Key string to units. Key strings of different keys may be equal ("T1" + "23" and
    // "T12" + "3"): a hit is the same row only when table and key values are equal.
    std::unordered_multimap<std::string, RowUnit*> rowIndex;
    std::vector<std::string> tableNames;
    SelectQueryPtr query;                       // the select it was read with, or null
    std::vector<RowCollectionPtr> collections;  // in table order
    // The number of tables (collections).
    std::uint32_t tableCount() const { return static_cast<std::uint32_t>(collections.size()); }
};
// Owning pointer to a DataObject.
using DataObjectPtr = std::unique_ptr<DataObject>;

// --- Building -------------------------------------------------------------------------

// An empty data object, owned by the caller.
DataObjectPtr CreateDataObject();
// A collection of the table's columns (all of them when columnNames is null or empty),
// put in definition order. Null for an unknown table or column.
RowCollectionPtr CreateRowCollection(const char* table,
                                     const std::vector<std::string>* columnNames);
// A unit of the table holding the values (state ROW_NEW); null without table.
RowUnitPtr CreateRowUnit(const char* table, std::vector<ColumnValue> values);
// False when the table already has a collection in the data object.
bool AddRowCollectionToDO(DataObject* dataObject, RowCollectionPtr collection);
// Appends without the index: for units read from the database.
bool AddRowUnitToRowCollection(RowCollection* collection, RowUnitPtr unit);
// An empty collection of the table ("DO is NULL.\n", "Table Definition not found for
// %s.\n", "ADD ROW COLLECTION FAILED\n").
bool AddTableToDO(DataObject* dataObject, const char* table,
                  const std::vector<std::string>* columnNames);

// The key string ("KeyStr %s\n" at TRACE); none when a key column is not among the unit's.
std::optional<std::string> GetKeyString(const RowUnit* unit);
// True when both units are of the same table with equal primary-key values.
bool SameRowKey(const RowUnit* first, const RowUnit* second);

// --- Reading from the database ---------------------------------------------------------

// Generates the query's SQL in the dialect of its first table, runs it there and builds
// the data object, which keeps the query. Null on failure ("Cannot construct DO. Select
// Query pointer is NULL.\n", "Cannot create DataObject.  No entries returned for
// SelectQuery\n").
DataObjectPtr GetDataObject(SelectQueryPtr query);
// One collection per table of the query's select list, one unit per table and row. Units
// whose key values are all NULL (a left join without a match) are not created; a unit
// whose key is already present is not added again ("HashKey %s Not Inserted\n").
DataObjectPtr CreateDataObjectFromResultSet(QueryResultSet* result, const SelectQuery* query);
// The rows of every listed table related to the unit: its own row by key, the others by
// their foreign keys to the unit's table. Each table is read with its own select, so a
// table without related rows cannot hide the rows of the others.
DataObjectPtr GetDataObjectByRowUnit(const std::vector<std::string>& tables, const RowUnit* unit);
// Every column of the listed tables, filtered by a criteria tree (copied; the caller
// keeps its own). "Cannot create DataObject.\n" when nothing comes back.
DataObjectPtr GetDataObjectByCriteria(const std::vector<std::string>& tables,
                                      const QueryCriteriaNode* criteria);

// --- Row units --------------------------------------------------------------------------

// Fills missing generator columns (GenerateID) and defaults, checks the key is new, marks
// the unit ROW_NEW and appends it. Returns the unit as held, or null (unit dropped).
RowUnit* InsertRowUnit(DataObject* dataObject, RowUnitPtr unit);
// The held unit of the same key takes the values and gets ROW_UPDATED added.
bool UpdateRowUnit(DataObject* dataObject, const RowUnit* changed);
// A unit known to the database gets ROW_DELETED added (removed when saved); a unit never
// saved is removed at once.
bool DeleteRowUnit(DataObject* dataObject, RowUnit* unit);
// Marks every unit of the table that matches the store criteria text as deleted.
bool DeleteRowUnitOnCriteria(const char* table, DataObject* dataObject, const char* criteria);
// The first unit with that key string, or null.
RowUnit* FindRowUnit(DataObject* dataObject, const char* keyString);
// GotoNextRowUnit, GetFirstRowUnit, GetLastRowUnit: the collection's next unit from its
// cursor (the first on the first call), its first and its last; null at the end, for an
// empty collection or null. The units stay owned by the collection.
RowUnit* GotoNextRowUnit(RowCollection* collection);
RowUnit* GetFirstRowUnit(RowCollection* collection);
RowUnit* GetLastRowUnit(RowCollection* collection);
RowUnit* GetNthRowUnit(RowCollection* collection, std::int32_t n);  // 0-based
// Sets the column in the table's last unit (or in every unit) and adds ROW_UPDATED.
bool SetValueForRowUnit(const char* column, const char* table, const void* value,
                        std::uint32_t length, DataObject* dataObject);
// SetValueForRowUnit, SetValueForAllRowUnits: false for an unknown table or column.
bool SetValueForAllRowUnits(const char* column, const char* table, const void* value,
                            std::uint32_t length, DataObject* dataObject);
// The column of the table's first unit (borrowed); null when absent or NULL.
const char* GetFirstValue(DataObject* dataObject, const char* table, const char* column,
                          std::uint32_t* length);
// The column of one unit, or of every unit of the table in order.
const ColumnValue* GetColumnValueFromDO(const RowUnit* unit, const char* column);
// GetColumnValueFromDO, GetColumnValuesFromDO: null (empty) when the column is unknown.
std::vector<const ColumnValue*> GetColumnValuesFromDO(DataObject* dataObject, const char* table,
                                                      const char* column);
// A unit from values (one per collection column) or texts, inserted as InsertRowUnit does
// ("Cannot create rowUnit.\n", "Cannot Insert RowUnit.\n").
RowUnit* InsertRowIntoDO(DataObject* dataObject, const char* table,
                         std::vector<ColumnValue> values);
// InsertRowIntoDO, InsertStringRowIntoDO: the unit as held, or null.
RowUnit* InsertStringRowIntoDO(DataObject* dataObject, const char* table,
                               const std::vector<const char*>& texts);

// --- Saving, merging, copying ----------------------------------------------------------

// Writes one unit by its state: saved and updated, an update; saved and deleted, a delete
// (the unit is then removed); new, an insert. Success leaves ROW_SAVED.
bool SaveRowUnit(DataObject* dataObject, RowCollection* collection, RowUnit* unit);
// SaveRowUnit for every unit of the collection; true when every one was written.
bool SaveRowCollection(DataObject* dataObject, RowCollection* collection);
// Inserts and updates with referenced tables first, then deletes with referring tables
// first. True when every unit was written.
bool SaveDataObject(DataObject* dataObject);
// Adds the source's units to the target's collections of the same tables (copies; units
// whose key the target has are left out, logged); false for null or a column mismatch.
bool MergeDataObject(DataObject* target, DataObject* source);
// CloneDataObject, CloneRowCollection, CloneRowUnit: deep copies owned by the caller; null
// for null.
DataObjectPtr CloneDataObject(const DataObject* dataObject);
RowCollectionPtr CloneRowCollection(const RowCollection* collection);
RowUnitPtr CloneRowUnit(const RowUnit* unit);

// The data object's table names (empty for null).
std::vector<std::string> GetTableList(const DataObject* dataObject);
// Whether the data object has a collection of the table (case-insensitive).
bool ContainsTableInDO(const DataObject* dataObject, const char* table);
// The table's collection, held by the data object; null when it has none.
RowCollection* GetRowCollection(DataObject* dataObject, const char* table);
bool IsDOEmpty(const DataObject* dataObject);  // no unit in any collection
// The columns of the table's collection; empty (logged) when it has none.
std::vector<std::string> GetColumnListFromDO(DataObject* dataObject, const char* table);
// PrintDataObject, PrintRowUnitValue: the data object's rows, or one unit's values, to the
// log at DEBUG.
void PrintDataObject(const DataObject* dataObject);
void PrintRowUnitValue(const RowUnit* unit);

// Referenced tables before the tables that refer to them; foreign keys in a cycle are
// followed once. None when the list cannot be copied.
std::optional<std::vector<std::string>> SortTableByFK(const std::vector<std::string>& tables);
// The data object's tables sorted as SortTableByFK; unsorted when that fails.
std::vector<std::string> SortTablesForDO(const DataObject* dataObject);

// A full store row of the unit's table: the unit's columns, the others their default or
// NULL. None ("Cannot save RowUnit. Column %s is not not nullable and does not have a
// default value\n") when a non-nullable column has neither.
std::unique_ptr<RowObject> RowUnitToRowObject(const RowUnit* unit);
