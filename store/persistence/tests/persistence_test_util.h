// Shared pieces of the persistence tests: the test dictionary, rows built from texts, a
// log read back, and small ODBC helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/log.h"
#include "store/persistence/persistence.h"
#include "store/store.h"
#include "tests/support/test_support.h"

namespace persistencetest {

// Customer and Orders (the usual shapes), a table without key, one with a column of
// every type, and one keyed by text for hostile values.
inline const char* kDictionary = R"(<?xml version="1.0" encoding="UTF-8"?>
<data-dictionary>
  <table name="Customer">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>40</max-size></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
  </table>
  <table name="Orders">
    <description>Orders of customers</description>
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>40</max-size></column>
      <column name="CREATED"><data-type>DATE</data-type></column>
      <column name="ACTIVE"><data-type>BOOLEAN</data-type><default-value>TRUE</default-value></column>
      <column name="AMOUNT"><data-type>BIGINT</data-type><default-value>0</default-value></column>
      <column name="NOTES"><data-type>TEXT</data-type></column>
      <column name="CUSTOMER_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_customer" reference-table-name="Customer">
        <fk-columns>
          <fk-column><fk-local-column>CUSTOMER_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column>
        </fk-columns>
        <fk-constraints>ON-DELETE-CASCADE</fk-constraints>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="NoKey">
    <columns>
      <column name="A"><data-type>HYL_SQL_INT</data-type></column>
      <column name="B"><data-type>CHAR</data-type><max-size>10</max-size></column>
    </columns>
  </table>
  <table name="Kinds">
    <columns>
      <column name="K"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="TI"><data-type>HYL_SQL_TINYINT</data-type></column>
      <column name="U2"><data-type>HYL_SQL_UNSIGNED_TINYINT</data-type></column>
      <column name="SI"><data-type>HYL_SQL_SMALLINT</data-type></column>
      <column name="U4"><data-type>HYL_SQL_UNSIGNED_SMALLINT</data-type></column>
      <column name="U6"><data-type>HYL_SQL_UNSIGNED_INT</data-type></column>
      <column name="BI"><data-type>BIGINT</data-type></column>
      <column name="U8"><data-type>HYL_SQL_UNSIGNED_LONG_INT</data-type></column>
      <column name="F"><data-type>FLOAT</data-type></column>
      <column name="D"><data-type>HYL_SQL_DOUBLE</data-type></column>
      <column name="R"><data-type>HYL_SQL_REAL</data-type></column>
      <column name="DECI"><data-type>HYL_SQL_DECIMAL</data-type></column>
      <column name="NUM"><data-type>HYL_SQL_NUMERIC</data-type></column>
      <column name="FC"><data-type>HYL_SQL_CHAR</data-type><max-size>10</max-size></column>
      <column name="TM"><data-type>TIME</data-type></column>
      <column name="DT"><data-type>DATETIME</data-type></column>
      <column name="FLAG"><data-type>BOOLEAN</data-type></column>
      <column name="BL"><data-type>BLOB</data-type></column>
      <column name="CL"><data-type>CLOB</data-type></column>
      <column name="TX"><data-type>TEXT</data-type></column>
    </columns>
    <primary-key><primary-key-column>K</primary-key-column></primary-key>
  </table>
  <table name="Hostile">
    <columns>
      <column name="HKEY"><data-type>CHAR</data-type><max-size>60</max-size><nullable>false</nullable></column>
      <column name="VAL"><data-type>CHAR</data-type><max-size>200</max-size></column>
      <column name="NOTE"><data-type>TEXT</data-type></column>
      <column name="VDATE"><data-type>DATE</data-type></column>
    </columns>
    <primary-key><primary-key-column>HKEY</primary-key-column></primary-key>
  </table>
</data-dictionary>
)";

// Loads the test dictionary once per program.
inline void LoadTestDictionary() {
    static bool loaded = [] {
        static testsupport::TempDir dir;
        testsupport::WriteFile(dir.path() / "test_dictionary.xml", kDictionary);
        return LoadDataDictFromXMLFile((dir.path() / "test_dictionary.xml").string().c_str());
    }();
    ASSERT_TRUE(loaded);
    ASSERT_NE(GetTableDefn("Orders"), nullptr);
}

// A value of the column type from its text (NULL for a null text).
inline ColumnValue Value(const char* text, BYTE type) {
    std::uint32_t length = text ? static_cast<std::uint32_t>(std::strlen(text)) : 0;
    return ConvertTextToColumnValue(text, type, &length);
}

inline ColumnValue Bytes(const std::string& bytes) {
    return ColumnValue::FromBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// A row of the table from one text per column (null texts are NULL).
inline std::unique_ptr<RowObject> Row(const char* table, std::vector<const char*> texts) {
    const TableDefn* defn = GetTableDefn(table);
    std::vector<ColumnValue> values;
    for (std::size_t i = 0; i < texts.size(); ++i) values.push_back(Value(texts[i], defn->columns[i]->type));
    return std::make_unique<RowObject>(std::move(values));
}

// The log of the test, at TRACE, read back on demand.
class LogCapture {
public:
    LogCapture() {
        CloseLog();
        ReleaseLogSettings();
        SetLogDefaults();
        ConfigureLog("persistence.log", dir_.str().c_str(), 4);
        OpenLog();
    }
    ~LogCapture() {
        CloseLog();
        ReleaseLogSettings();
    }
    std::string text() const {
        if (gv_logFilePtr) std::fflush(gv_logFilePtr);
        return testsupport::ReadFile(dir_.path() / "persistence.log");
    }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    testsupport::TempDir dir_;
};

inline ConnectionParams DirectParams(const std::string& connectionString) {
    ConnectionParams params;
    params.dsn = "unused";
    params.direct = 1;
    params.connString = connectionString;
    params.connName = "test";
    params.providerName = "ODBC";
    return params;
}

// The only cell of a one-row, one-column result as text (bytes for byte types).
inline std::string CellText(const QueryResultSet& result, std::size_t row = 0, std::size_t column = 0) {
    const ColumnValue& cell = result.rows.at(row).at(column);
    return cell.isNull() ? std::string("<NULL>") : std::string(cell.buffer->data(), cell.length);
}

}  // namespace persistencetest
