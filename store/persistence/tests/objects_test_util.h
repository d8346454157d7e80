// Shared pieces of the catalogue and data-object tests: their dictionary and a SQLite
// database reached through the real unixODBC SQLite3 driver, installed as the source of
// every catalogue and data-object statement.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/persistence/tests/persistence_test_util.h"
#include "tests/support/odbc_sandbox.h"

namespace objectstest {

// Device is the dominant table; Software and Patch refer to it. T1/T12 have composite
// keys whose key strings collide; CycA/CycB and Selfy refer in circles.
inline const char* kObjectsDictionary = R"(<?xml version="1.0" encoding="UTF-8"?>
<data-dictionary>
  <table name="Device">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>60</max-size></column>
      <column name="ACTIVE"><data-type>BOOLEAN</data-type><default-value>TRUE</default-value></column>
      <column name="NOTES"><data-type>TEXT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
  </table>
  <table name="Software">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable><generator-name>SW_ID</generator-name></column>
      <column name="DEVICE_ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="TITLE"><data-type>CHAR</data-type><max-size>60</max-size></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_sw_device" reference-table-name="Device">
        <fk-columns><fk-column><fk-local-column>DEVICE_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="Patch">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="DEVICE_ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="KB"><data-type>CHAR</data-type><max-size>20</max-size><nullable>false</nullable></column>
      <column name="STATE"><data-type>CHAR</data-type><max-size>10</max-size><default-value>open</default-value></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_patch_device" reference-table-name="Device">
        <fk-columns><fk-column><fk-local-column>DEVICE_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="T1">
    <columns>
      <column name="K1"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="K2"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="V"><data-type>CHAR</data-type><max-size>20</max-size></column>
    </columns>
    <primary-key><primary-key-column>K1</primary-key-column><primary-key-column>K2</primary-key-column></primary-key>
  </table>
  <table name="T12">
    <columns>
      <column name="K1"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="K2"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="V"><data-type>CHAR</data-type><max-size>20</max-size></column>
    </columns>
    <primary-key><primary-key-column>K1</primary-key-column><primary-key-column>K2</primary-key-column></primary-key>
  </table>
  <table name="CycA">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="B_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_ab" reference-table-name="CycB">
        <fk-columns><fk-column><fk-local-column>B_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="CycB">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="A_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_ba" reference-table-name="CycA">
        <fk-columns><fk-column><fk-local-column>A_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="Selfy">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type></column>
      <column name="PARENT_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_parent" reference-table-name="Selfy">
        <fk-columns><fk-column><fk-local-column>PARENT_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
</data-dictionary>
)";

inline void LoadObjectsDictionary() {
    static bool loaded = [] {
        static testsupport::TempDir dir;
        testsupport::WriteFile(dir.path() / "objects_dictionary.xml", kObjectsDictionary);
        return LoadDataDictFromXMLFile((dir.path() / "objects_dictionary.xml").string().c_str());
    }();
    ASSERT_TRUE(loaded);
    ASSERT_NE(GetTableDefn("Device"), nullptr);
}

inline testsupport::OdbcSandbox& Sandbox() {
    static testsupport::OdbcSandbox sandbox;
    return sandbox;
}

// A fresh SQLite file per test, installed as the statement source; the tables of the
// dictionary are created in it with the dialect's own create statements.
class SqliteObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadObjectsDictionary();
        static int counter = 0;
        params_ = persistencetest::DirectParams(
            Sandbox().SqliteConnectionString("objects" + std::to_string(++counter) + ".db"));
        connection_ = ODBCOpenConnection(&params_);
        ASSERT_NE(connection_, nullptr);
        previous_ = SetTableStatements(MakeConnectionTableStatements(
            GetODBCProvider(), connection_.get(), GetSqlDialect("SQLITE")));
        for (const char* table :
             {"Device", "Software", "Patch", "T1", "T12", "CycA", "CycB", "Selfy"}) {
            SqlText create = SqliteGenCreateQuery(table);
            ASSERT_TRUE(create);
            ASSERT_TRUE(Run(*create)) << *create;
        }
    }
    void TearDown() override {
        SetTableStatements(previous_);
        InitPersonality();
    }

public:
    bool Run(const std::string& sql) {
        return ODBCExecuteUpdate(connection_.get(), sql.c_str()) == 1;
    }
    // Every cell of a select as text ("<NULL>" for NULL), row by row.
    std::vector<std::vector<std::string>> Rows(const std::string& sql) {
        std::vector<std::vector<std::string>> rows;
        std::unique_ptr<QueryResultSet> result = ODBCExecuteQuery(connection_.get(), sql.c_str());
        if (!result) return rows;
        for (const ResultRow& row : result->rows) {
            std::vector<std::string> texts;
            for (std::size_t i = 0; i < row.size(); ++i) {
                const BYTE type = result->columns[i].type;
                std::optional<ColumnValue> text =
                    ConvertCellToColumnType(row[i], type, HYL_SQL_CHARACTER);
                texts.push_back(!text || text->isNull()
                                    ? "<NULL>"
                                    : std::string(text->buffer->data(), text->length));
            }
            rows.push_back(std::move(texts));
        }
        return rows;
    }

protected:
    ConnectionParams params_;
    ProviderConnectionPtr connection_;
    std::shared_ptr<TableStatements> previous_;
};

// An integer value of the store (4 bytes).
inline ColumnValue Int(std::int32_t value) {
    return MakeIdentifierValue(value, HYL_SQL_INT);
}
inline ColumnValue Text(const char* text) {
    return text ? ColumnValue::FromText(text) : ColumnValue::Null();
}
inline std::int32_t IntOf(const ColumnValue* value) {
    return value ? value->As<std::int32_t>().value_or(-999) : -998;
}

}  // namespace objectstest
