// Shared set-up of the store fuzz targets: a dictionary with tables of every column type,
// generators, foreign keys (a pair, a self reference, a cycle) and "Workflow_Statements",
// an in-memory SQLite sequence source, and the log sent to /dev/null.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "runtime/log.h"
#include "store/dictionary/dictionary.h"
#include "store/notify/notify.h"
#include "store/notify/sqlite_sequence_source.h"
#include "store/tables/tables.h"

namespace storefuzz {

inline const char* kDictionary = R"(<?xml version="1.0"?>
<data-dictionary>
  <table name="AllTypes"><columns>
    <column name="C0"><data-type>HYL_SQL_NOT_SUPPORTED_TYPE</data-type></column>
    <column name="C1"><data-type>HYL_SQL_TINYINT</data-type></column>
    <column name="C2"><data-type>HYL_SQL_UNSIGNED_TINYINT</data-type></column>
    <column name="C3"><data-type>HYL_SQL_SMALLINT</data-type></column>
    <column name="C4"><data-type>HYL_SQL_UNSIGNED_SMALLINT</data-type></column>
    <column name="C5"><data-type>HYL_SQL_INT</data-type></column>
    <column name="C6"><data-type>HYL_SQL_UNSIGNED_INT</data-type></column>
    <column name="C7"><data-type>BIGINT</data-type></column>
    <column name="C8"><data-type>HYL_SQL_UNSIGNED_LONG_INT</data-type></column>
    <column name="C9"><data-type>HYL_SQL_FLOAT</data-type></column>
    <column name="C10"><data-type>HYL_SQL_DOUBLE</data-type></column>
    <column name="C11"><data-type>HYL_SQL_REAL</data-type></column>
    <column name="C12"><data-type>HYL_SQL_DECIMAL</data-type></column>
    <column name="C13"><data-type>HYL_SQL_NUMERIC</data-type></column>
    <column name="C14"><data-type>HYL_SQL_CHAR</data-type></column>
    <column name="C15"><data-type>CHAR</data-type><default-value>dflt</default-value></column>
    <column name="C16"><data-type>DATE</data-type></column>
    <column name="C17"><data-type>TIME</data-type></column>
    <column name="C18"><data-type>DATETIME</data-type></column>
    <column name="C19"><data-type>BOOLEAN</data-type></column>
    <column name="C20"><data-type>BLOB</data-type></column>
    <column name="C21"><data-type>CLOB</data-type></column>
    <column name="C22"><data-type>TEXT</data-type></column>
    <column name="ID"><data-type>BIGINT</data-type>
      <uniquevalue-generation><generator-name>ALL_SEQ</generator-name></uniquevalue-generation></column>
  </columns><primary-key><primary-key-column>ID</primary-key-column></primary-key></table>
  <table name="Parent"><columns>
    <column name="P_ID"><data-type>HYL_SQL_INT</data-type>
      <uniquevalue-generation><generator-name>P_SEQ</generator-name></uniquevalue-generation></column>
    <column name="REGION"><data-type>HYL_SQL_INT</data-type></column>
    <column name="NAME"><data-type>CHAR</data-type></column>
  </columns><primary-key><primary-key-column>P_ID</primary-key-column><primary-key-column>REGION</primary-key-column></primary-key></table>
  <table name="Child"><columns>
    <column name="C_ID"><data-type>HYL_SQL_INT</data-type></column>
    <column name="P_REF"><data-type>HYL_SQL_INT</data-type></column>
    <column name="REGION"><data-type>HYL_SQL_INT</data-type></column>
    <column name="PARENT_ID"><data-type>HYL_SQL_INT</data-type></column>
  </columns>
  <primary-key><primary-key-column>C_ID</primary-key-column></primary-key>
  <foreign-keys>
    <foreign-key name="fk_p" reference-table-name="Parent"><fk-columns>
      <fk-column><fk-local-column>P_REF</fk-local-column><fk-reference-column>P_ID</fk-reference-column></fk-column>
      <fk-column><fk-local-column>REGION</fk-local-column><fk-reference-column>REGION</fk-reference-column></fk-column>
    </fk-columns></foreign-key>
    <foreign-key name="fk_self" reference-table-name="Child"><fk-columns>
      <fk-column><fk-local-column>PARENT_ID</fk-local-column><fk-reference-column>C_ID</fk-reference-column></fk-column>
    </fk-columns></foreign-key>
  </foreign-keys></table>
  <table name="CycA"><columns><column name="X"><data-type>HYL_SQL_INT</data-type></column></columns>
    <foreign-keys><foreign-key name="a" reference-table-name="CycB"><fk-columns><fk-column>
      <fk-local-column>X</fk-local-column><fk-reference-column>Y</fk-reference-column></fk-column></fk-columns></foreign-key></foreign-keys></table>
  <table name="CycB"><columns><column name="Y"><data-type>HYL_SQL_INT</data-type></column></columns>
    <foreign-keys><foreign-key name="b" reference-table-name="CycA"><fk-columns><fk-column>
      <fk-local-column>Y</fk-local-column><fk-reference-column>X</fk-reference-column></fk-column></fk-columns></foreign-key></foreign-keys></table>
  <table name="Workflow_Statements"><columns>
    <column name="STATEMENT_ID"><data-type>HYL_SQL_INT</data-type></column>
    <column name="NEXT_STATEMENT_ID"><data-type>HYL_SQL_INT</data-type><default-value>5</default-value></column>
  </columns></table>
  <table name="ItemList"><columns><column name="V"><data-type>CHAR</data-type></column></columns></table>
</data-dictionary>
)";

inline void Setup() {
    SetLogDefaults();
    ConfigureLog("null", "/dev", 4);
    OpenLog();
    char folder[] = "/tmp/store-fuzz-XXXXXX";
    const char* made = mkdtemp(folder);
    const std::string path = std::string(made ? made : "/tmp") + "/dictionary.xml";
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fputs(kDictionary, file);
        std::fclose(file);
    }
    LoadDataDictFromXMLFile(path.c_str());
    std::remove(path.c_str());
    if (made) ::rmdir(made);
    SetSequenceDataSource(SqliteSequenceSource::Open(":memory:"));
    InitSequenceState();
    SequenceGenerator();
}

// Drops every table so that memory stays bounded across inputs.
inline void DropTables() {
    for (TableData* table : GetAllTableData()) {
        std::unique_ptr<TableData> removed = RemoveTableData(table->name.c_str());
        FreeTableData(removed.get());
    }
}

}  // namespace storefuzz
