// The live data of the in-memory store: one TableData per loaded table or custom view,
// its rows in insertion order, and the ResultData sets through which callers read them.
// Tables are named by their name string, looked up case-insensitively.
//
// Threads: the registry is guarded by one mutex (find-or-create is atomic). Each table
// carries a reader/writer lock: selects, prints and texts read under the shared lock,
// appends, updates and deletions take it exclusively. Change notifications are sent
// after every store lock is released, so a listener may select from or change any table.
// A ResultData and the rows it points at are not protected once a call returns: a
// result set stays valid only while its rows stay in their table.
//
// Memory: no operation throws when an allocation fails. It gives its failure result
// (false, null, none) with an ERROR line ("not able to Add row" for selects and appends,
// "MEMORY_ALLOCATION_FAILURE" otherwise) and leaves the table as it was; a change whose
// notification cannot be built stands, unnotified.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/column_value.h"
#include "store/foundation/vector.h"
#include "store/tables/row_storage.h"

inline constexpr BYTE KIND_TABLE = 1;
inline constexpr BYTE KIND_VIEW = 2;

inline constexpr BYTE ROW_SAVED = 1;    // the row exists in the database as held
inline constexpr BYTE ROW_NEW = 2;      // created in memory, not yet stored
inline constexpr BYTE ROW_UPDATED = 4;  // changed in memory
inline constexpr BYTE ROW_DELETED = 8;  // to be deleted from the database

struct TableData;

// One row: its values, its state flags and its place in the table's list.
struct RowObject {
    // One value per column of the table, in the definition's column order. Once the row
    // is appended they live in the table's row storage; copy a value to keep it beyond
    // the row's life (a moved-out text may still point into the row's block).
    RowValueArray values;
    BYTE state = ROW_NEW;
    // The table's list: the following row (owned) and the preceding one.
    std::unique_ptr<RowObject> next;
    RowObject* prev = nullptr;
    // The table holding the row; null until the row is appended.
    TableData* owner = nullptr;
    // A row read through a selection of some columns: which columns hold the database's
    // values or were set since (UpdateRowObject adds its column). Null: every column. An
    // update writes only these, so the columns never read keep what the database holds.
    std::unique_ptr<std::vector<bool>> heldColumns;

    RowObject() = default;
    explicit RowObject(std::vector<ColumnValue> rowValues) : values(std::move(rowValues)) {}
    // A row of columnCount NULL values.
    explicit RowObject(std::size_t columnCount) : values(columnCount) {}
    ~RowObject();  // frees any chain that follows without recursion
    RowObject(const RowObject&) = delete;
    RowObject& operator=(const RowObject&) = delete;

    // Headers come from one pool of equal slots (see row_storage.h).
    static void* operator new(std::size_t bytes) { return AllocateRowSlot(bytes); }
    static void operator delete(void* row, std::size_t bytes) noexcept { FreeRowSlot(row, bytes); }
};

// A column of a view: its name and the base column it shows.
struct ViewColumnDefn {
    std::string name;
    // Part of the record; zero in every view this store creates.
    std::int32_t reservedNumber = 0;
    BYTE reservedByte = 0;
    // The base column whose type the view column has (borrowed from the dictionary).
    ColumnDefn* baseColumn = nullptr;
};

// A view's definition: its base tables and columns.
struct CustomViewDefn {
    BYTE tableCount = 0;
    std::vector<std::string> tableNames;  // the view's base tables
    std::vector<std::unique_ptr<ViewColumnDefn>> columns;
};

// A loaded table or view: its definition and its rows in append order, guarded by
// rowsLock (shared for reading). Owned by the table registry.
struct TableData {
    std::string name;  // as given when the table was created
    BYTE kind = KIND_TABLE;
    TableDefn* tableDefn = nullptr;                // base table: borrowed from the dictionary
    std::unique_ptr<CustomViewDefn> viewDefn;      // view: owned
    std::uint32_t columnCount = 0;
    // Rows ever appended: never decremented when a row is unlinked, so it may exceed
    // the rows present (SelectRowByRowIdx is defined on it). See liveRowCount.
    std::uint32_t rowCount = 0;
    std::uint32_t liveRowCount = 0;                // rows currently in the list
    // The values of the rows; declared before the rows, so it outlives them.
    RowStorage rowStorage;
    std::unique_ptr<RowObject> firstRow;
    RowObject* lastRow = nullptr;
    // Per column with a generator: the highest identifier any row ever held there, so
    // generated identifiers stay above the ones rows brought with them.
    struct GeneratorCeiling {
        std::uint32_t column;
        std::int64_t highest;
    };
    std::vector<GeneratorCeiling> generatorCeilings;
    mutable std::shared_mutex rowsLock;

    TableData() = default;
    ~TableData();  // frees the rows without recursion
    TableData(const TableData&) = delete;
    TableData& operator=(const TableData&) = delete;
};

// The rows of a select: borrowed rows of one table, valid while they stay in it, and a
// cursor. Owned by the caller (free it with FreeResultData).
struct ResultData {
    std::vector<RowObject*> entries;  // borrowed rows, in result order
    BYTE kind = KIND_TABLE;
    TableDefn* tableDefn = nullptr;
    CustomViewDefn* viewDefn = nullptr;
    std::uint32_t columnCount = 0;
    // Index of the current entry; -1 before the first.
    std::int64_t cursor = -1;

    // The number of entries.
    std::uint32_t rowCount() const { return static_cast<std::uint32_t>(entries.size()); }
};

// Every registered table and view in creation order; elements are TableData* owned by
// the registry. Read it under no lock only while no table is created or removed; prefer
// GetAllTableData, which takes a consistent copy.
extern Vector gv_tableRegistry;

// Registers a base table for the dictionary definition of that name. False when there is
// no definition, the name is taken (case-insensitive) or memory runs out.
bool CreateTable(const char* tableName);
// Registers a view; the definition is freed when the name is taken.
bool CreateCustomViewData(const char* viewName, std::unique_ptr<CustomViewDefn> viewDefn);
// Case-insensitive; null for a null or unregistered name.
TableData* GetTableDataByName(const char* tableName);
// Every registered table and view in creation order.
std::vector<TableData*> GetAllTableData();
// Unregisters the table and hands it to the caller (null when unknown). Rows and result
// sets of it must no longer be in use by other threads.
std::unique_ptr<TableData> RemoveTableData(const char* tableName);
// Rows currently in the table; 0 for an unknown table.
std::uint32_t GetLiveRowCount(const char* tableName);

// A new row in state ROW_NEW holding the values (one per column of its table); null when
// memory runs out.
std::unique_ptr<RowObject> CreateNewRowObject(std::vector<ColumnValue> values);
// Fills NULL generator columns (GenerateID; -1 when none can be generated), then NULL
// columns that have a default, appends the row and sends the notification. A row that
// arrives ROW_SAVED (read from the database) is appended as it is: its NULLs are the
// database's. False when the table is unknown, its column list is empty, the row's width
// is not the table's column count, or memory runs out (the row is then freed and nothing
// appended).
bool AddNewRow(const char* tableName, std::unique_ptr<RowObject> row);
// AddNewRow for each row in order with one lookup of the table (a load's rows); stops at
// the first row refused (which is freed; those after it stay in the vector). The count
// appended. Rows whose values a loader moved into a storage of its own (filled): a table
// whose storage is unused takes that storage over whole, under its lock; otherwise each
// row's values leave it before the row is appended.
std::size_t AddNewRows(const char* tableName, std::vector<std::unique_ptr<RowObject>>& rows,
                       RowStorage* filled = nullptr);

// The matching rows in table order (rows marked ROW_DELETED included), cursor before the
// first; an empty result is valid. Null for an unknown table, criteria that do not parse,
// or criteria on a view or on a definition without columns.
std::unique_ptr<ResultData> SelectRows(const char* tableName, const char* criteria);
// The row at the 1-based position (1 or less: the first row), or a result without row
// when the list ends first; null for an unknown table or a position above the row count.
std::unique_ptr<ResultData> SelectRowByRowIdx(const char* tableName, std::int32_t position);
// Moves the cursor on and returns that entry's row; null at the end.
RowObject* GotoNextRowObject(ResultData* result);
// Puts the cursor before the first entry again.
void ResetResultDataCursor(ResultData* result);
// The value at the cursor's row (borrowed) and its length; null when the cursor is on no
// row, the column is unknown or the value is NULL.
const char* GetColumnValueByName(const char* columnName, std::uint32_t* length,
                                 const ResultData* result);
// The same column of the first row SelectRows(table, criteria) yields. The value stays
// owned by the row: it is valid only while the row stays in its table unchanged.
const char* GetColumnValue(const char* tableName, const char* columnName, const char* criteria,
                           std::uint32_t* length);
// The whole ColumnValue at the cursor's row (null pointer when no row or column).
const ColumnValue* GetColumnValueCellByName(const char* columnName, const ResultData* result);
// Type code of the column (for a view: matched by the base column's name); 0 when unknown.
BYTE GetColumnTypeByName(const char* columnName, const ResultData* result);
// 0-based; null out of range.
const char* GetColumnNameByIndex(std::int32_t index, const ResultData* result);
// The definition's name, or the view's first base table; null when none.
const char* GetTableNameFromResultData(const ResultData* result);
// For a registered view its first base table name, otherwise the name itself.
const char* GetTableNameOfView(const char* name);

// Replaces the column's value by a copy, marks the row ROW_UPDATED and notifies. A null
// value sets SQL NULL. False for an unknown table, a null row, a row of another table, a
// primary-key column of a base table, or an unknown column.
bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName,
                     const char* value, std::uint32_t length);
bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName,
                     const ColumnValue& value);
// A ROW_SAVED row is marked ROW_DELETED and stays (no notification); any other row is
// unlinked, notified and freed. False for an unknown table or a row not in it.
bool DeleteRowObject(const char* tableName, RowObject* row);
// Unlinks, notifies and frees each of the rows that is still in the table in exactly that
// state, under one hold of the table; rows no longer there are passed over (never read).
// The number of rows removed.
std::size_t RemoveRowsInState(const char* tableName, std::span<RowObject* const> rows, BYTE state);
// DeleteRowObject on every matching row. False for null criteria, an unknown table, a
// view, a definition without columns or criteria that do not parse.
bool DeleteRowObjectByCriteria(const char* tableName, const char* criteria);
// DeleteRowObject on every row; false for a null name, an unknown table or a view.
bool DeleteAllTableRowObjects(const char* tableName);
// Frees a row that is in no table (rows in a table are freed by deleting them).
void FreeRowObject(std::unique_ptr<RowObject> row);

// An empty result of the table's kind and definition.
std::unique_ptr<ResultData> CreateResultData(std::uint32_t initialRowCount,
                                             std::uint32_t columnCount, const TableData* table);
// Inserts the row after the cursor entry and makes it the cursor.
bool AddRowToResultData(RowObject* row, ResultData* result);
// Frees the entries, never the rows; null allowed.
void FreeResultData(std::unique_ptr<ResultData> result);
// Stable sort on the column; ascending == 1 ascends, anything else descends. NULL keys
// come first ascending and last descending. A single entry: true only when it is the
// set's only row. False for null arguments, no definition or an unknown column.
bool SortResultSet(ResultData* result, const char* columnName, int ascending);

// CreateCustomViewDefn, CreateViewColumnDefn: new view definitions owned by the caller;
// null (logged) when memory runs out.
std::unique_ptr<CustomViewDefn> CreateCustomViewDefn(
    BYTE tableCount, std::vector<std::string> tableNames,
    std::vector<std::unique_ptr<ViewColumnDefn>> columns);
std::unique_ptr<ViewColumnDefn> CreateViewColumnDefn(const char* name, std::int32_t number,
                                                     BYTE flag, ColumnDefn* baseColumn);
// Frees the rows and a view's definition; the record itself belongs to its owner.
void FreeTableData(TableData* table);
// Frees a view definition that no view took over.
void FreeCustomViewDefn(std::unique_ptr<CustomViewDefn> viewDefn);

// DEBUG dumps and texts in the store's fixed layout: a header of column names each
// followed by a tab, then one line per row. Types 4, 8, 11, 12, 13, 20 and 21 write no
// field at all (as do 7 outside PrintTableData and 22 in the texts), so their columns
// shift under the header: other programs read this layout as it is.
void PrintTableData(const char* tableName);
// PrintCustomViewData: the same for a view. ToStringTableData, ToStringCustomViewData: the
// dump as text; none for an unknown name or a definition without columns.
void PrintCustomViewData(const char* viewName);
void PrintResultData(const ResultData* result);  // skips rows marked ROW_DELETED
std::optional<std::string> ToStringTableData(const char* tableName);
std::optional<std::string> ToStringCustomViewData(const char* viewName);

// A generated or resolved identifier in the column's own representation: 8 bytes for
// 64-bit columns, the number for float and double columns, 4 bytes otherwise.
ColumnValue MakeIdentifierValue(std::int32_t id, BYTE columnType);

// Position of a column of the table or view (case-insensitive), none when unknown.
std::optional<std::uint32_t> FindColumnPosition(const TableData* table, const char* columnName);
// The column definitions of a table or view's columns, in order (a view: its base columns).
std::vector<const ColumnDefn*> GetColumnDefns(const TableData* table);
