// The ODBC provider and the generated SQL against real PostgreSQL and MariaDB servers,
// started by the tests on loopback. ctest runs each test in its own process, so each
// test below starts its server once and checks a group of behaviours on it.
#include "store/persistence/tests/persistence_test_util.h"
#include "store/persistence/tests/round_trip.h"
#include "tests/support/database_servers.h"

namespace {

using namespace persistencetest;
using testsupport::MariaDbServer;
using testsupport::PostgresServer;

ProviderConnectionPtr Connect(const std::string& connectionString) {
    const ConnectionParams params = DirectParams(connectionString);
    return ODBCOpenConnection(&params);
}

ProviderConnectionPtr ConnectPostgres() { return Connect(PostgresServer::Instance().connectionString()); }
ProviderConnectionPtr ConnectMariaDb() { return Connect(MariaDbServer::Instance().connectionString()); }

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + i / 256) % 256);
    return bytes;
}

struct WholeValue {
    const std::string* bytes;
    bool sent = false;
};
int ProduceWhole(const void** chunk, std::int64_t* length, void* context) {
    auto* value = static_cast<WholeValue*>(context);
    if (value->sent) return BLOB_PRODUCER_END;
    value->sent = true;
    *chunk = value->bytes->data();
    *length = static_cast<std::int64_t>(value->bytes->size());
    return 1;
}
void Gather(const void* chunk, std::int64_t length, void* context) {
    if (chunk) static_cast<std::string*>(context)->append(static_cast<const char*>(chunk), static_cast<std::size_t>(length));
}

// Long texts and large blobs arrive whole through both query forms.
void LongValuesArriveWhole(ProviderConnection* connection, const char* textType, const char* blobType) {
    const std::string table = std::string("create table longs(id int, t ") + textType + ", b " + blobType + ")";
    ODBCExecuteUpdate(connection, "drop table if exists longs");
    ASSERT_EQ(ODBCExecuteUpdate(connection, table.c_str()), 1);
    std::string text;
    for (int i = 0; text.size() < 30000; ++i) text += "line " + std::to_string(i) + " Grüße\n";
    ASSERT_EQ(ODBCExecuteUpdate(connection, ("insert into longs values(1, '" + text + "', NULL)").c_str()), 1);
    const std::string blob = Pattern(1 << 20);
    WholeValue source{&blob};
    ASSERT_EQ(ODBCExecuteUpdateBlob(connection, "update longs set b=? where id=1", ProduceWhole, &source), 1);

    auto result = ODBCExecuteQuery(connection, "select t, b from longs");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(CellText(*result, 0, 0), text);  // past the drivers' 8190-byte defaults
    EXPECT_EQ(result->columns[1].type, HYL_SQL_BLOB);
    EXPECT_TRUE(CellText(*result, 0, 1) == blob) << "blob read as bytes";
    std::string streamed;
    auto viaConsumer = ODBCExecuteQueryBlob(connection, "select id, b from longs", Gather, &streamed);
    ASSERT_NE(viaConsumer, nullptr);
    EXPECT_TRUE(streamed == blob) << "blob streamed: " << streamed.size() << " bytes";
}

void TransactionsCommitAndRollBack(ProviderConnection* connection) {
    ODBCExecuteUpdate(connection, "drop table if exists tx");
    ASSERT_EQ(ODBCExecuteUpdate(connection, "create table tx(a int primary key)"), 1);
    ASSERT_TRUE(ODBCBeginTransaction(connection));
    ASSERT_EQ(ODBCExecuteUpdate(connection, "insert into tx values(1)"), 1);
    ASSERT_TRUE(ODBCRollbackTransaction(connection));
    ASSERT_TRUE(ODBCBeginTransaction(connection));
    ASSERT_EQ(ODBCExecuteUpdate(connection, "insert into tx values(2)"), 1);
    ASSERT_TRUE(ODBCCommitTransaction(connection));
    auto result = ODBCExecuteQuery(connection, "select a from tx");
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->rows.size(), 1u);
    EXPECT_EQ(result->rows[0][0].As<std::int32_t>(), 2);
}

TEST(OdbcPostgres, HostileValuesMakeTheRoundTripUnchanged) {
    ProviderConnectionPtr connection = ConnectPostgres();
    ASSERT_NE(connection, nullptr);
    HostileRoundTrip(GetSqlDialect("PGSQL"), connection.get());
}

TEST(OdbcPostgres, TypesLongValuesBooleansAndTransactions) {
    LoadTestDictionary();
    ProviderConnectionPtr connection = ConnectPostgres();
    ASSERT_NE(connection, nullptr);
    const SqlDialect* pgsql = GetSqlDialect("PGSQL");

    // The generated tables are accepted; a boolean written 't' reads back as true.
    ODBCExecuteUpdate(connection.get(), "drop table if exists Orders");
    ODBCExecuteUpdate(connection.get(), "drop table if exists Customer");
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), pgsql->genCreate("Customer")->c_str()), 1);
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), pgsql->genCreate("Orders")->c_str()), 1);
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), "insert into Customer values(7, 'Ann')"), 1);
    const auto order = Row("Orders", {"1", "Bob", "2024-03-05", "TRUE", "5000000000", "note", "7"});
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), pgsql->genInsert("Orders", order.get())->c_str()), 1);
    auto result = ODBCExecuteQuery(connection.get(), "select * from Orders");
    ASSERT_NE(result, nullptr);
    const BYTE reported[] = {HYL_SQL_INT, HYL_SQL_CHARACTER, HYL_SQL_DATE, HYL_SQL_CHARACTER, HYL_SQL_BIGINT,
                             HYL_SQL_BLOB, HYL_SQL_INT};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(result->columns[i].type, reported[i]) << result->columns[i].name;
    result->cursor = 0;
    ConvertedRow row = pgsql->convertRow(result.get(), "Orders");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->values[3].As<BYTE>(), 1);
    EXPECT_EQ(row->values[4].As<std::int64_t>(), 5000000000LL);
    EXPECT_EQ(TextOf(row->values[5]), "note");
    // The row read back updates to the same statement it was inserted from.
    const auto changed = Row("Orders", {"1", "Bob", "2024-03-05", "FALSE", "6", nullptr, "7"});
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), pgsql->genUpdate("Orders", changed.get())->c_str()), 1);
    auto after = ODBCExecuteQuery(connection.get(), "select ACTIVE, AMOUNT from Orders");
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(CellText(*after, 0, 0), "0");
    EXPECT_EQ(after->rows[0][1].As<std::int64_t>(), 6);
    EXPECT_EQ(ODBCExecuteUpdate(connection.get(), "update Orders set NAME='x' where ID=99"), 1);

    EveryTypeRoundTrip(pgsql, connection.get());
    LongValuesArriveWhole(connection.get(), "text", "bytea");
    TransactionsCommitAndRollBack(connection.get());

    // An aborted transaction refuses statements until it is rolled back. psqlODBC hides
    // that behind a savepoint per statement unless told to leave errors to the server.
    connection = Connect(PostgresServer::Instance().connectionString() + "Protocol=7.4-0;");
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(ODBCBeginTransaction(connection.get()));
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), "insert into tx values(3)"), 1);
    EXPECT_EQ(ODBCExecuteUpdate(connection.get(), "insert into tx values(3)"), 0);
    EXPECT_EQ(ODBCExecuteUpdate(connection.get(), "insert into tx values(4)"), 0);
    EXPECT_EQ(ODBCExecuteQuery(connection.get(), "select a from tx"), nullptr);
    ASSERT_TRUE(ODBCRollbackTransaction(connection.get()));
    auto rows = ODBCExecuteQuery(connection.get(), "select a from tx order by a");
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(rows->rows.size(), 1u);
    EXPECT_EQ(rows->rows[0][0].As<std::int32_t>(), 2);
}

TEST(OdbcMariaDb, HostileValuesMakeTheRoundTripUnchanged) {
    ProviderConnectionPtr connection = ConnectMariaDb();
    ASSERT_NE(connection, nullptr);
    HostileRoundTrip(GetSqlDialect("MYSQL"), connection.get());
}

TEST(OdbcMariaDb, TypesLongValuesBooleansAndTransactions) {
    LoadTestDictionary();
    ProviderConnectionPtr connection = ConnectMariaDb();
    ASSERT_NE(connection, nullptr);
    const SqlDialect* mysql = GetSqlDialect("MYSQL");

    ODBCExecuteUpdate(connection.get(), "drop table if exists Orders");
    ODBCExecuteUpdate(connection.get(), "drop table if exists Customer");
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), mysql->genCreate("Customer")->c_str()), 1);
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), mysql->genCreate("Orders")->c_str()), 1);
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), "insert into customer values(7, 'Ann')"), 1);  // names ignore case
    const auto order = Row("Orders", {"1", "Bob", "2024-03-05", "TRUE", "5000000000", "note", "7"});
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), mysql->genInsert("Orders", order.get())->c_str()), 1);
    auto result = ODBCExecuteQuery(connection.get(), "select * from Orders");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->columns[0].type, HYL_SQL_INT);
    EXPECT_EQ(result->columns[3].type, HYL_SQL_BOOLEAN);  // tinyint
    EXPECT_EQ(result->columns[4].type, HYL_SQL_BIGINT);
    // The Unicode driver reports character columns to this ANSI caller with their ANSI codes.
    EXPECT_EQ(result->columns[1].type, HYL_SQL_CHARACTER);
    EXPECT_EQ(result->columns[5].type, HYL_SQL_BLOB);  // longtext: SQL_LONGVARCHAR
    ASSERT_EQ(result->rows.size(), 1u);
    EXPECT_EQ(result->rows[0][3].As<BYTE>(), 1);
    result->cursor = 0;
    ConvertedRow row = mysql->convertRow(result.get(), "Orders");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(TextOf(row->values[1]), "Bob");
    EXPECT_EQ(ConvertColumnValueToText(row->values[2], HYL_SQL_DATE), "2024-03-05");
    EXPECT_EQ(row->values[4].As<std::int64_t>(), 5000000000LL);
    // A key quoted as text still finds the integer key; a miss still succeeds.
    const auto changed = Row("Orders", {"1", "Bob's", "2024-03-05", "FALSE", "6", nullptr, "7"});
    ASSERT_EQ(ODBCExecuteUpdate(connection.get(), mysql->genUpdate("Orders", changed.get())->c_str()), 1);
    EXPECT_EQ(static_cast<ODBCConnection*>(connection.get())->lastRowCount, 1);
    EXPECT_EQ(ODBCExecuteUpdate(connection.get(), "update Orders set NAME='x' where ID=99"), 1);

    EveryTypeRoundTrip(mysql, connection.get());
    LongValuesArriveWhole(connection.get(), "longtext", "longblob");
    TransactionsCommitAndRollBack(connection.get());
}

}  // namespace
