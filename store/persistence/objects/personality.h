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

struct ConstituentTable {
    std::string dominantTable;
    std::string table;
    std::int32_t tableIndex = 0;
    BYTE mandatory = 1;
    std::string fkConstraintId;
};

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
bool CreateAndAddPersonalityDefn(PersonalityDefn defn);
// Case-sensitive lookup; null (logged) when absent.
const PersonalityDefn* GetPersonalityDefn(const char* name);
void PrintPersonalityDefn(const char* name);
// Constituent table names in registry order.
std::optional<std::vector<std::string>> GetConstituentTables(const char* name);
// The dominant table of every personality, in registry order, without repeats.
std::vector<std::string> GetDominantTables();
// True when the table (any case) is the dominant table of a personality.
bool IsDominantTable(const char* table);
const DominantTableConfig* GetDominantTableConfig(const char* table);
void FreeAllPersonalityDefns();

// The dominant table and its constituents, every column, the constituents left joined
// on their foreign keys to the dominant table.
DataObjectPtr GetDOFromPersonality(const char* name);
// One data object per personality, merged ("Cannot Merge DO's.\n").
DataObjectPtr GetDOFromPersonalities(const std::vector<std::string>& names);
DataObjectPtr GetDOFromPersonalityByRowUnit(const char* name, const RowUnit* unit);
DataObjectPtr GetDOFromPersonalitiesByRowUnit(const std::vector<std::string>& names,
                                              const RowUnit* unit);
DataObjectPtr GetDOFromPersonalityByCriteria(const char* name, const QueryCriteriaNode* criteria);
DataObjectPtr GetDOFromPersonalitiesByCriteria(const std::vector<std::string>& names,
                                               const QueryCriteriaNode* criteria);
// The data object of every table the dominant table's index lists for the row's key.
DataObjectPtr DeepRetrieveDO(const char* dominantTable, const RowUnit* row);
