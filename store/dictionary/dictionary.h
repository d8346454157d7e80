// The store's data dictionary: the definition of every table (columns, types, defaults,
// generators, allowed values, primary and foreign keys), read at start-up from the XML
// dictionary files named in "datadictionary.txt" and kept for the life of the process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/dictionary/column_types.h"
#include "store/foundation/column_value.h"
#include "store/foundation/vector.h"

// Values a column may take: kind 0 lists them, kind 1 gives a range (from, to).
struct AllowedValues {
    std::vector<std::string> values;
    BYTE kind = 0;
};
inline constexpr BYTE ALLOWED_VALUES_LIST = 0;
inline constexpr BYTE ALLOWED_VALUES_RANGE = 1;

// A column of a table definition, as the dictionary file declares it.
struct ColumnDefn {
    std::string name;
    BYTE type = HYL_SQL_NOT_SUPPORTED_TYPE;
    // Converted from "default-value" by the declared type; NULL when there is none.
    // Its length is the default length.
    ColumnValue defaultValue;
    BYTE unique = 0;
    std::optional<std::string> generatorName;
    std::optional<std::string> description;
    std::int32_t maxSize = 0;
    BYTE nullable = 1;
    std::optional<AllowedValues> allowedValues;

    // The length of the default value (0 without one).
    std::uint32_t defaultLength() const { return defaultValue.length; }
};

// One column pair of a foreign key: the local column and the column it refers to.
struct ForeignKeyDefn {
    std::string localColumn;
    std::string referenceColumn;
    std::string referenceTable;
    BYTE onDeleteCascade = 0;
    BYTE reserved = 0;
    // Set on the first column pair of a key declared bidirectional, never on the others.
    BYTE bidirectional = 0;
};

// The primary key and foreign keys of a table definition.
struct ConstraintDefn {
    std::vector<std::string> primaryKeyColumns;
    // None when the table declares no "foreign-keys" element.
    std::optional<std::vector<ForeignKeyDefn>> foreignKeys;

    // The number of primary-key columns.
    std::uint32_t primaryKeyCount() const { return static_cast<std::uint32_t>(primaryKeyColumns.size()); }
};

// A table of the data dictionary: its columns and constraints.
struct TableDefn {
    std::string name;
    std::optional<std::string> description;
    // In document order: the column order of every row of the table.
    std::vector<std::unique_ptr<ColumnDefn>> columns;
    std::unique_ptr<ConstraintDefn> constraints;
};

// The dictionary in load order; elements are TableDefn* owned by the dictionary. A later
// definition of an existing name is kept after the earlier one and never found by name.
extern Vector gv_dataDictionary;

// Reads "..\data\datadictionary.txt", else "<root>/data/datadictionary.txt", and loads
// every file listed there from the same folder. False only when no listing opens.
bool LoadAllDataDictFiles();
// Reads "<directory>\datadictionary.txt" and loads every listed file from that folder.
bool LoadDataDictFiles(const char* directory);
// Loads the tables of one dictionary file. True when the whole file was read; a table
// whose definition fails is left out either way.
bool LoadDataDictFromXMLFile(const char* path);

// The definition of a table (case-insensitive), or null.
TableDefn* GetTableDefn(const char* tableName);
// The default value of a column (case-sensitive name) and found = 1 when the column
// exists; null (found = 0) for an unknown table or column. The value is NULL when the
// column has no default.
const ColumnValue* GetDefaultValue(const char* tableName, const char* columnName, BYTE* found);
// The column definition (case-sensitive name), or null.
ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName);
// The column's type code, or 0 when the table or column is unknown.
BYTE GetColumnDefnEntryType(const char* tableName, const char* columnName);
// The foreign key whose local column matches (case-insensitive), or null.
ForeignKeyDefn* GetForeignKeyDefn(const TableDefn* defn, const char* localColumn);

// Writes every definition with columns to the log at DEBUG.
void PrintDataDictionary();
// Removes the first definition of that name (case-insensitive); false when there is none,
// and false (with an ERROR line) while a table created from it is registered.
bool RemoveTableDefn(const char* tableName);
// Removes every definition (tables created from them must be gone first).
void RemoveAllTableDefns();
// Number of definitions held.
std::int32_t GetTableDefnCount();
