// Personalities: named groups of one dominant table and the constituent tables that
// refer to it, read from an XML file; their index tables; data objects read for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/vector.h"
#include "store/persistence/objects/data_object.h"

// A table of a personality besides its dominant one, and the foreign key that joins it.
struct ConstituentTable {
    std::string dominantTable;
    std::string table;
    std::int32_t tableIndex = 0;
    BYTE mandatory = 1;
    std::string fkConstraintId;
};

// A personality: a dominant table and the constituent tables read and saved with it.
struct PersonalityDefn {
    std::string name;
    std::string dominantTable;
    std::string description;
    std::vector<ConstituentTable> constituents;
};

// How a dominant table is indexed ("DominantTableConfig"); kept as read.
struct DominantTableConfig {
    std::string table;
    bool indexed = false;
    std::int32_t nonIndexLimit = 0;
};

// The registry: PersonalityDefn* elements, owned by the registry.
extern Vector gv_personalityDefnVect;

// Empties the registry ("@@@@ Inside InitPersonality @@@@\n"). 1, or 99 when memory runs out.
BYTE InitPersonality();
// Reads the file: index tables of the dominant tables marked "isindexed" first, then the
// personalities. 1 when the file was read, 0 ("Could not parse file %s\n") otherwise.
BYTE CreatePersonalityFromXMLFile(const char* path);
// "CREATE TABLE T_IDX(<key columns> TABLENAME VARCHAR(40))" on the table's data source.
bool CreateIndexTable(const char* dominantTable);
// Adds the definition to the registry; false when one of that name is there or memory
// runs out.
bool CreateAndAddPersonalityDefn(PersonalityDefn defn);
// Case-sensitive lookup; null (logged) when absent.
const PersonalityDefn* GetPersonalityDefn(const char* name);
// Writes the named definition to the log at DEBUG.
void PrintPersonalityDefn(const char* name);
// Constituent table names in registry order.
std::optional<std::vector<std::string>> GetConstituentTables(const char* name);
// The dominant table of every personality, in registry order, without repeats.
std::vector<std::string> GetDominantTables();
// True when the table (any case) is the dominant table of a personality.
bool IsDominantTable(const char* table);
// How the table is indexed, as read; null when it has no DominantTableConfig.
const DominantTableConfig* GetDominantTableConfig(const char* table);
// Empties the registry and the dominant-table configurations.
void FreeAllPersonalityDefns();

// The dominant table and its constituents, every column, the constituents left joined
// on their foreign keys to the dominant table.
DataObjectPtr GetDOFromPersonality(const char* name);
// One data object per personality, merged ("Cannot Merge DO's.\n").
DataObjectPtr GetDOFromPersonalities(const std::vector<std::string>& names);
// GetDOFromPersonalityByRowUnit, GetDOFromPersonalitiesByRowUnit: the personality's rows
// related to the unit (GetDataObjectByRowUnit over its tables); null when none or unknown.
DataObjectPtr GetDOFromPersonalityByRowUnit(const char* name, const RowUnit* unit);
DataObjectPtr GetDOFromPersonalitiesByRowUnit(const std::vector<std::string>& names,
                                              const RowUnit* unit);
// GetDOFromPersonalityByCriteria, GetDOFromPersonalitiesByCriteria: the personality's rows
// matching the criteria (GetDataObjectByCriteria over its tables); null when none.
DataObjectPtr GetDOFromPersonalityByCriteria(const char* name, const QueryCriteriaNode* criteria);
DataObjectPtr GetDOFromPersonalitiesByCriteria(const std::vector<std::string>& names,
                                               const QueryCriteriaNode* criteria);
// The data object of every table the dominant table's index lists for the row's key.
DataObjectPtr DeepRetrieveDO(const char* dominantTable, const RowUnit* row);
