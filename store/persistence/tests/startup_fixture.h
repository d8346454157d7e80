// A store root for start-up tests: the data directory with its dictionary and
// configuration files, written by the test, and the store started and stopped on it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "store/persistence/persistence.h"
#include "store/store.h"
#include "tests/support/database_servers.h"
#include "tests/support/odbc_sandbox.h"
#include "tests/support/test_support.h"

namespace startuptest {

// Customer, Orders (foreign key to Customer, generated ID, boolean, text) and the
// sequences' table.
inline const char* kStartupDictionary = R"(<?xml version="1.0" encoding="UTF-8"?>
<data-dictionary>
  <table name="SeqGenState">
    <columns>
      <column name="SEQNAME"><data-type>CHAR</data-type><max-size>60</max-size><nullable>false</nullable></column>
      <column name="CURRENTBATCHEND"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>SEQNAME</primary-key-column></primary-key>
  </table>
  <table name="Orders">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable><generator-name>ORDER_ID</generator-name></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>60</max-size></column>
      <column name="ACTIVE"><data-type>BOOLEAN</data-type><default-value>TRUE</default-value></column>
      <column name="NOTES"><data-type>TEXT</data-type></column>
      <column name="CUSTOMER_ID"><data-type>HYL_SQL_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
    <foreign-keys>
      <foreign-key name="fk_customer" reference-table-name="Customer">
        <fk-columns>
          <fk-column><fk-local-column>CUSTOMER_ID</fk-local-column><fk-reference-column>ID</fk-reference-column></fk-column>
        </fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
  <table name="Customer">
    <columns>
      <column name="ID"><data-type>HYL_SQL_INT</data-type><nullable>false</nullable></column>
      <column name="NAME"><data-type>CHAR</data-type><max-size>60</max-size></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
  </table>
</data-dictionary>
)";

inline const char* kDefaultData = R"(<?xml version="1.0" encoding="UTF-8"?>
<Data>
  <Customer ID="1" NAME="Ada"/>
  <Customer ID="2" NAME="Brian"/>
  <Orders ID="10" NAME="first" ACTIVE="true" NOTES="n1" CUSTOMER_ID="1"/>
  <Orders ID="11" NAME="second" ACTIVE="false" CUSTOMER_ID="2"/>
</Data>
)";

class StoreRoot {
public:
    StoreRoot() {
        std::filesystem::create_directories(data());
        Write("datadictionary.txt", "startup_dictionary.xml\n");
        Write("startup_dictionary.xml", kStartupDictionary);
        Write("dsn_table_map.txt", "SeqGenState main\nOrders main\nCustomer main\n");
        Write("loadtablelist.txt", "Customer\nOrders\n");
        Write("defaultdata.txt", "defaults.xml\n");
        Write("defaults.xml", kDefaultData);
    }
    std::filesystem::path path() const { return dir_.path() / "root"; }
    std::filesystem::path data() const { return path() / "data"; }
    void Write(const std::string& name, const std::string& content) const {
        testsupport::WriteFile(data() / name, content);
    }
    // A SQLite file under the root reached through a DSN of the sandbox.
    void UseSqliteDsn(testsupport::OdbcSandbox& sandbox, const std::string& dsn = "quennet_test",
                      const std::string& file = "store.db") const {
        sandbox.AddDsn(dsn, "SQLite3",
                       {{"Database", (path() / file).string()}, {"Timeout", "20000"}});
        Write("connparams.txt", "agent 0 " + dsn + " sa NULL 0 main ODBC SQLITE NO\n");
    }
    // The database file as the ODBC driver names it.
    std::string dbFile(const std::string& file = "store.db") const {
        return testsupport::DriverPath(path() / file);
    }

private:
    testsupport::TempDir dir_;
};

// Points the root's one connection at a fresh database of the backend: "sqlite" (a file
// under the root), "pgsql" or "mysql" (a database of that name on the test program's
// server, started on first use).
inline void UseBackend(const std::string& backend, const std::string& database, testsupport::OdbcSandbox& sandbox,
                       const StoreRoot& root) {
    if (backend == "sqlite") {
        root.UseSqliteDsn(sandbox);
    } else if (backend == "pgsql") {
        testsupport::PostgresServer& server = testsupport::PostgresServer::Instance();
        ASSERT_EQ(server.Psql("create database " + database), 0);
        sandbox.AddDsn("pgstore", "PostgreSQL Unicode",
                       {{"Servername", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", database}});
        root.Write("connparams.txt", "agent 0 pgstore postgres secret 0 main ODBC PGSQL NO\n");
    } else {
        testsupport::MariaDbServer& server = testsupport::MariaDbServer::Instance();
        ASSERT_EQ(server.Sql("create database " + database), 0);
        sandbox.AddDsn("mystore", "MariaDB Unicode",
                       {{"Server", "127.0.0.1"}, {"Port", std::to_string(server.port())}, {"Database", database}});
        root.Write("connparams.txt", "agent 0 mystore tester secret 0 main ODBC MYSQL NO\n");
    }
}

// Starts the store in the constructor's scope; stops it at the end of the scope.
class StartedStore {
public:
    explicit StartedStore(const StoreRoot& root) {
        started_ = InitQuennet(root.path().string().c_str());
    }
    ~StartedStore() { DeInitQuennet(); }
    bool started() const { return started_; }

private:
    bool started_ = false;
};

// The text of a column of the row (bytes as stored; integers as numbers).
inline std::string CellOf(const RowObject* row, const char* table, const char* column) {
    const TableDefn* defn = GetTableDefn(table);
    const int index = GetColIndex(defn, column);
    if (!row || index < 0) return "<none>";
    const ColumnValue& value = row->values[static_cast<std::size_t>(index)];
    if (value.isNull()) return "<NULL>";
    std::optional<std::string> text = ConvertColumnValueToText(value, defn->columns[index]->type);
    return text ? *text : "<bad>";
}

// Rows of a select through the table's connection, every cell as text.
inline std::vector<std::vector<std::string>> QueryTexts(const char* table, const char* statement) {
    std::vector<std::vector<std::string>> rows;
    DBConnection* connection = GetTableConnection(table);
    if (!connection) return rows;
    std::unique_ptr<QueryResultSet> result = ExecuteQuery(connection, statement);
    ReleaseTableConnection(table);
    if (!result) return rows;
    while (const ResultRow* row = NextResultRow(result.get())) {
        std::vector<std::string> texts;
        for (std::size_t i = 0; i < row->size(); ++i) {
            const ColumnValue& cell = (*row)[i];
            std::optional<std::string> text =
                cell.isNull() ? std::optional<std::string>("<NULL>")
                              : ConvertColumnValueToText(cell, result->columns[i].type);
            texts.push_back(text ? *text : "<bad>");
        }
        rows.push_back(std::move(texts));
    }
    return rows;
}

}  // namespace startuptest

namespace startuptest {

// The rows of a loaded table as texts per column, in table order.
inline std::vector<std::vector<std::string>> TableTexts(const char* table) {
    std::vector<std::vector<std::string>> rows;
    const TableDefn* defn = GetTableDefn(table);
    std::unique_ptr<ResultData> all = SelectRows(table, nullptr);
    if (!all || !defn) return rows;
    while (RowObject* row = GotoNextRowObject(all.get())) {
        std::vector<std::string> texts;
        for (const auto& column : defn->columns)
            texts.push_back(CellOf(row, table, column->name.c_str()));
        rows.push_back(std::move(texts));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Fresh start with default data, changes saved, then a new start that loads them: the
// rows held before the restart are the rows loaded after it, and a new row takes its
// identifier from the next batch.
inline void RunFullCycle(const StoreRoot& root) {
    std::vector<std::vector<std::string>> before;
    {
        StartedStore store(root);
        ASSERT_TRUE(store.started());
        ASSERT_EQ(GetLiveRowCount("Orders"), 2u);
        std::vector<ColumnValue> values(5);
        values[1] = ColumnValue::FromText("it's a \\ test");
        values[3] = ColumnValue::FromText("O'Neil \\n \"quoted\"");
        values[4] = ColumnValue::FromObject<std::int32_t>(1, 4);
        ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
        std::unique_ptr<ResultData> first = SelectRows("Orders", "ID = 10");
        ASSERT_TRUE(UpdateRowObject("Orders", GotoNextRowObject(first.get()), "ACTIVE", "0", 1));
        std::unique_ptr<ResultData> second = SelectRows("Orders", "ID = 11");
        ASSERT_TRUE(DeleteRowObject("Orders", GotoNextRowObject(second.get())));
        ASSERT_TRUE(SaveAllTables());
        before = TableTexts("Orders");
        ASSERT_EQ(before.size(), 2u);
        // A fresh database's first batch starts at 1; the new row's identifier lies above
        // the default rows' 10 and 11.
        std::vector<std::string> ids;
        for (const auto& row : before) ids.push_back(row[0]);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<std::string>{"10", "12"}));
    }
    StartedStore store(root);
    ASSERT_TRUE(store.started());
    EXPECT_EQ(TableTexts("Orders"), before);
    EXPECT_EQ(TableTexts("Customer").size(), 2u);
    std::vector<ColumnValue> values(5);
    ASSERT_TRUE(AddNewRow("Orders", CreateNewRowObject(std::move(values))));
    std::unique_ptr<ResultData> added = SelectRows("Orders", "ID = 301");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->rowCount(), 1u);
}

}  // namespace startuptest
