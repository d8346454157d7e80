// The "ODBC" provider on the ODBC driver manager (unixODBC on POSIX).
#include "store/persistence/provider/odbc_provider.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/column_types.h"
#include "store/foundation/lock_registry.h"
#include "store/foundation/text_utils.h"
#include "platform/win/host.h"

namespace {

// ODBC SQL data type to store column type; a linear search as the table is short.
struct TypeMapping {
    SQLSMALLINT sqlType;
    BYTE storeType;
};
constexpr TypeMapping kTypeMap[] = {
    {SQL_BIGINT, HYL_SQL_BIGINT},
    {SQL_SMALLINT, HYL_SQL_SMALLINT},
    {SQL_INTEGER, HYL_SQL_INT},
    {SQL_FLOAT, HYL_SQL_FLOAT},
    {SQL_DOUBLE, HYL_SQL_DOUBLE},
    {SQL_NUMERIC, HYL_SQL_NUMERIC},
    {SQL_CHAR, HYL_SQL_CHAR},
    {SQL_VARCHAR, HYL_SQL_CHARACTER},
    {SQL_LONGVARCHAR, HYL_SQL_BLOB},
    {SQL_BINARY, HYL_SQL_BLOB},
    {SQL_VARBINARY, HYL_SQL_BLOB},
    {SQL_LONGVARBINARY, HYL_SQL_BLOB},
    {SQL_DATE, HYL_SQL_DATE},
    {SQL_TIME, HYL_SQL_TIME},
    {SQL_TIMESTAMP, HYL_SQL_DATETIME},
    // ODBC 3 codes of the same three types, for drivers that report them regardless
    // of the environment's version.
    {SQL_TYPE_DATE, HYL_SQL_DATE},
    {SQL_TYPE_TIME, HYL_SQL_TIME},
    {SQL_TYPE_TIMESTAMP, HYL_SQL_DATETIME},
    {SQL_TINYINT, HYL_SQL_BOOLEAN},
    {SQL_REAL, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_DECIMAL, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_GUID, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_WCHAR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_WVARCHAR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_WLONGVARCHAR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_BIT, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_YEAR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_MONTH, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_DAY, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_HOUR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_MINUTE, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_SECOND, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_YEAR_TO_MONTH, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_DAY_TO_HOUR, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_DAY_TO_MINUTE, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_DAY_TO_SECOND, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_HOUR_TO_MINUTE, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_HOUR_TO_SECOND, HYL_SQL_NOT_SUPPORTED_TYPE},
    {SQL_INTERVAL_MINUTE_TO_SECOND, HYL_SQL_NOT_SUPPORTED_TYPE},
};

ODBCConnection* AsODBC(ProviderConnection* connection) { return dynamic_cast<ODBCConnection*>(connection); }

// The first diagnostic record of a handle, at DEBUG, so failures can be traced to the driver.
// Drivers may echo the connection string: the secrets given are cut out of the message.
void LogDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, const std::vector<std::string>& secrets = {}) {
    if (!LogEnabled(LogLevel::Debug)) return;
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[512] = {};
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, 1, state, &native, message, sizeof message, &length)))
        LogDebug("ODBC diagnostic : %s %d %s\n", reinterpret_cast<const char*>(state), native,
                 WithoutSecrets(reinterpret_cast<const char*>(message), secrets));
}

// A statement handle that is closed and freed on every path.
class Statement {
public:
    explicit Statement(SQLHDBC connection) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &handle_))) handle_ = SQL_NULL_HSTMT;
    }
    ~Statement() {
        if (handle_ == SQL_NULL_HSTMT) return;
        SQLFreeStmt(handle_, SQL_CLOSE);
        SQLFreeStmt(handle_, SQL_UNBIND);
        SQLFreeHandle(SQL_HANDLE_STMT, handle_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool valid() const { return handle_ != SQL_NULL_HSTMT; }
    SQLHSTMT get() const { return handle_; }

private:
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

// Brace-quotes a connection-string value that would otherwise end or open an attribute.
std::string ConnectionValue(const std::string& value) {
    if (value.find_first_of(";}") == std::string::npos && (value.empty() || value.front() != '{')) return value;
    std::string quoted = "{";
    for (char c : value) {
        quoted += c;
        if (c == '}') quoted += '}';
    }
    quoted += '}';
    return quoted;
}

bool IsFixedWidthType(SQLSMALLINT sqlType) {
    switch (sqlType) {
        case SQL_BIT:
        case SQL_TINYINT:
        case SQL_BIGINT:
        case SQL_NUMERIC:
        case SQL_DECIMAL:
        case SQL_INTEGER:
        case SQL_SMALLINT:
        case SQL_FLOAT:
        case SQL_REAL:
        case SQL_DOUBLE:
        case SQL_DATE:
        case SQL_TIME:
        case SQL_TIMESTAMP:
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIME:
        case SQL_TYPE_TIMESTAMP:
        case SQL_GUID:
            return true;
        default:
            return false;
    }
}

bool IsBinaryType(SQLSMALLINT sqlType) {
    return sqlType == SQL_BINARY || sqlType == SQL_VARBINARY || sqlType == SQL_LONGVARBINARY;
}

struct ColumnPlan {
    SQLSMALLINT sqlType = 0;
    BYTE storeType = 0;
    bool binary = false;
    bool streamed = false;  // handed to the blob consumer
    bool bound = false;
    std::vector<char> buffer;
    SQLLEN indicator = 0;
};

// Reads a whole cell with SQLGetData into the reusable scratch buffer, growing it as the
// driver reports more, so long values are never cut and SQL_NO_TOTAL never becomes a length.
bool ReadCellByParts(SQLHSTMT statement, SQLUSMALLINT column, bool binary, std::vector<char>* scratch,
                     std::string_view* out, bool* isNull) {
    *isNull = false;
    const SQLSMALLINT cType = binary ? SQL_C_BINARY : SQL_C_CHAR;
    const SQLLEN terminator = binary ? 0 : 1;
    if (scratch->size() < 256) scratch->resize(256);
    std::size_t used = 0;
    SQLLEN request = static_cast<SQLLEN>(scratch->size());
    for (bool first = true;; first = false) {
        if (scratch->size() < used + static_cast<std::size_t>(request)) scratch->resize(used + static_cast<std::size_t>(request));
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(statement, column, cType, scratch->data() + used, request, &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            LogDiagnostic(SQL_HANDLE_STMT, statement);
            return false;
        }
        if (indicator == SQL_NULL_DATA) {
            *isNull = first;
            *out = {};
            return true;
        }
        const SQLLEN capacity = request - terminator;
        const bool complete = indicator >= 0 && indicator <= capacity;
        SQLLEN got = complete ? indicator : capacity;
        if (rc == SQL_SUCCESS && !complete && !binary)
            got = static_cast<SQLLEN>(strnlen(scratch->data() + used, static_cast<std::size_t>(capacity)));
        used += static_cast<std::size_t>(got);
        if (rc == SQL_SUCCESS || complete) break;
        // Ask for what is left in one go when the driver says how much that is.
        request = indicator > capacity ? indicator - capacity + terminator : request * 2;
    }
    *out = std::string_view(scratch->data(), used);
    return true;
}

// Hands a blob cell to the consumer in chunks of at most 1024 bytes, then the end call.
bool StreamCell(SQLHSTMT statement, SQLUSMALLINT column, BlobConsumer consumer, void* context) {
    std::array<char, 1024> chunk;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(statement, column, SQL_C_BINARY, chunk.data(), chunk.size(), &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            LogDiagnostic(SQL_HANDLE_STMT, statement);
            return false;
        }
        if (indicator == SQL_NULL_DATA) break;
        const SQLLEN size = static_cast<SQLLEN>(chunk.size());
        const SQLLEN got = (indicator >= 0 && indicator <= size) ? indicator : size;
        if (got > 0 && consumer) consumer(chunk.data(), got, context);
        if (rc == SQL_SUCCESS || (indicator >= 0 && indicator <= size)) break;
    }
    if (consumer) consumer(nullptr, 0, context);
    return true;
}

// Date and time texts may carry fractions of a second the store does not keep.
std::string DateTimeText(std::string text) {
    const std::size_t dot = text.find('.');
    if (dot != std::string::npos) text.resize(dot);
    return text;
}

bool ConvertFetchedCell(const ColumnPlan& plan, std::string_view data, ColumnValue* cell) {
    if (plan.binary) {
        cell->length = static_cast<std::uint32_t>(data.size());
        cell->buffer.emplace(data);
        return true;
    }
    if (IsByteType(plan.storeType)) {
        // Byte texts are kept whole, their length the text's.
        cell->length = static_cast<std::uint32_t>(data.size());
        cell->buffer.emplace(data);
        return true;
    }
    std::uint32_t length = 0;
    switch (plan.storeType) {
        case HYL_SQL_BOOLEAN: {
            const std::string text(data);
            const bool truth = text == "1" || CompareNoCase(text.c_str(), "t") == 0 || CompareNoCase(text.c_str(), "true") == 0;
            *cell = ConvertTextToColumnValue(truth ? "TRUE" : "FALSE", HYL_SQL_BOOLEAN, &length);
            break;
        }
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME:
            *cell = ConvertTextToColumnValue(DateTimeText(std::string(data)).c_str(), plan.storeType, &length);
            break;
        default: {
            // Numbers are short: a stack copy gives the converter its terminator.
            char number[160];
            const std::size_t size = std::min(data.size(), sizeof number - 1);
            std::memcpy(number, data.data(), size);
            number[size] = '\0';
            *cell = ConvertTextToColumnValue(number, plan.storeType, &length);
        }
            break;
    }
    return !cell->isNull();
}

SQLUINTEGER GetDataExtensions(ODBCConnection* connection) {
    if (!connection->getDataExtensions) {
        SQLUINTEGER value = 0;
        if (!SQL_SUCCEEDED(SQLGetInfo(connection->connection, SQL_GETDATA_EXTENSIONS, &value, sizeof value, nullptr)))
            value = 0;
        connection->getDataExtensions = value;
    }
    return *connection->getDataExtensions;
}

// Describes the columns, binds the fixed-width ones where the driver allows reading the
// others around them, then fetches every row. Null on any failure.
std::unique_ptr<QueryResultSet> FetchResults(ODBCConnection* connection, SQLHSTMT statement, bool blobMode,
                                             BlobConsumer consumer, void* context) {
    SQLSMALLINT columnCount = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &columnCount))) {
        LogError("SQLNumResultCols Failed\n");
        return nullptr;
    }
    auto result = std::make_unique<QueryResultSet>();
    result->columnCount = columnCount;
    std::vector<ColumnPlan> plans(static_cast<std::size_t>(columnCount));
    const bool anyColumn = (GetDataExtensions(connection) & SQL_GD_ANY_COLUMN) != 0;
    bool boundPrefix = true;
    for (SQLUSMALLINT i = 1; i <= columnCount; ++i) {
        SQLCHAR name[99] = {};
        SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(statement, i, name, sizeof name, &nameLength, &sqlType, &size, &digits,
                                          &nullable))) {
            LogError("SQLDescribeCol failed\n");
            return nullptr;
        }
        ColumnPlan& plan = plans[i - 1];
        plan.sqlType = sqlType;
        plan.storeType = MapODBCTypeToColumnType(sqlType);
        plan.binary = IsBinaryType(sqlType);
        plan.streamed = blobMode && plan.storeType == HYL_SQL_BLOB;
        result->columns.push_back({reinterpret_cast<const char*>(name), plan.storeType});

        const bool fixed = IsFixedWidthType(sqlType) && !plan.streamed;
        if (fixed && (anyColumn || boundPrefix)) {
            // Room for any number or date text, sign and fraction included.
            const std::size_t bytes = std::max<std::size_t>(128, static_cast<std::size_t>(size) + 8);
            plan.buffer.resize(bytes);
            if (!SQL_SUCCEEDED(SQLBindCol(statement, i, SQL_C_CHAR, plan.buffer.data(),
                                          static_cast<SQLLEN>(bytes), &plan.indicator))) {
                LogError("SQLBindCol failed \n");
                return nullptr;
            }
            plan.bound = true;
        } else {
            boundPrefix = false;
        }
    }

    std::vector<char> scratch;
    std::string_view data;
    for (;;) {
        const SQLRETURN rc = SQLFetch(statement);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            LogError("ODBCExecuteQuery : fetching a row failed\n");
            LogDiagnostic(SQL_HANDLE_STMT, statement);
            return nullptr;
        }
        ResultRow row(static_cast<std::size_t>(columnCount));
        for (SQLUSMALLINT i = 1; i <= columnCount; ++i) {
            ColumnPlan& plan = plans[i - 1];
            if (plan.streamed) {
                if (!StreamCell(statement, i, consumer, context)) return nullptr;
                continue;
            }
            bool isNull = false;
            if (plan.bound) {
                if (plan.indicator == SQL_NULL_DATA) continue;
                if (plan.indicator < 0 || plan.indicator >= static_cast<SQLLEN>(plan.buffer.size())) {
                    LogError("ODBCExecuteQuery : value of column %s does not fit its buffer\n",
                             result->columns[i - 1].name);
                    return nullptr;
                }
                data = std::string_view(plan.buffer.data(), static_cast<std::size_t>(plan.indicator));
            } else if (!ReadCellByParts(statement, i, plan.binary, &scratch, &data, &isNull)) {
                LogError("ODBCExecuteQuery : reading column %s failed\n", result->columns[i - 1].name);
                return nullptr;
            }
            if (isNull) continue;
            if (!ConvertFetchedCell(plan, data, &row[i - 1])) {
                LogError("ODBCExecuteQuery : value of column %s could not be converted\n",
                         result->columns[i - 1].name);
                return nullptr;
            }
        }
        result->rows.push_back(std::move(row));
    }
    SQLCloseCursor(statement);
    return result;
}

// Rows fetched a block at a time, every column bound: fixed-width columns as text with
// room for any number or date, the others in a buffer of their declared size up to
// kBoundCellBytes. A cell longer than its buffer is read whole with SQLGetData, which
// needs a row at a time (see below). Converted as FetchResults converts.
constexpr SQLULEN kFetchBlockRows = 256;
constexpr std::size_t kBoundCellBytes = 512;

struct BoundColumn {
    ColumnPlan plan;
    std::size_t width = 0;  // bytes per row, terminator included for text
    std::vector<char> buffers;
    std::vector<SQLLEN> indicators;
};

enum class FetchEnd { Done, Failed, NeedsSingleRows };

FetchEnd FetchBlocks(SQLHSTMT statement, QueryRowReader* reader, SQLULEN blockRows) {
    SQLSMALLINT columnCount = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &columnCount))) {
        LogError("SQLNumResultCols Failed\n");
        return FetchEnd::Failed;
    }
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(blockRows), 0)) ||
        !SQL_SUCCEEDED(SQLGetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, &blockRows, 0, nullptr)) || blockRows < 1)
        blockRows = 1;
    SQLULEN fetched = 0;
    std::vector<SQLUSMALLINT> statuses(blockRows, SQL_ROW_SUCCESS);
    const bool counted = SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0));
    const bool withStatus = SQL_SUCCEEDED(SQLSetStmtAttr(statement, SQL_ATTR_ROW_STATUS_PTR, statuses.data(), 0));
    if (!counted && blockRows > 1) {
        SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        blockRows = 1;
    }

    std::vector<ResultColumnDescriptor> descriptors;
    std::vector<BoundColumn> columns(static_cast<std::size_t>(columnCount));
    for (SQLUSMALLINT i = 1; i <= columnCount; ++i) {
        SQLCHAR name[99] = {};
        SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(statement, i, name, sizeof name, &nameLength, &sqlType, &size, &digits,
                                          &nullable))) {
            LogError("SQLDescribeCol failed\n");
            return FetchEnd::Failed;
        }
        BoundColumn& column = columns[i - 1];
        column.plan.sqlType = sqlType;
        column.plan.storeType = MapODBCTypeToColumnType(sqlType);
        column.plan.binary = IsBinaryType(sqlType);
        descriptors.push_back({reinterpret_cast<const char*>(name), column.plan.storeType});
        if (IsFixedWidthType(sqlType))
            column.width = std::max<std::size_t>(128, static_cast<std::size_t>(size) + 8);
        else
            column.width = std::min<std::size_t>(size == 0 ? kBoundCellBytes : static_cast<std::size_t>(size),
                                                 kBoundCellBytes) +
                           (column.plan.binary ? 0 : 1);
        column.buffers.resize(column.width * blockRows);
        column.indicators.resize(blockRows);
        if (!SQL_SUCCEEDED(SQLBindCol(statement, i, column.plan.binary ? SQL_C_BINARY : SQL_C_CHAR,
                                      column.buffers.data(), static_cast<SQLLEN>(column.width),
                                      column.indicators.data()))) {
            LogError("SQLBindCol failed \n");
            return FetchEnd::Failed;
        }
    }
    if (!reader->Columns(descriptors)) return FetchEnd::Failed;

    std::vector<ColumnValue> cells(static_cast<std::size_t>(columnCount));
    std::vector<char> scratch;
    for (;;) {
        fetched = 0;
        const SQLRETURN rc = SQLFetch(statement);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            LogError("ODBCExecuteQuery : fetching a row failed\n");
            LogDiagnostic(SQL_HANDLE_STMT, statement);
            return FetchEnd::Failed;
        }
        const SQLULEN rows = counted ? fetched : 1;
        for (SQLULEN r = 0; r < rows; ++r) {
            if (withStatus && (statuses[r] == SQL_ROW_ERROR || statuses[r] == SQL_ROW_NOROW)) {
                if (statuses[r] == SQL_ROW_NOROW) continue;
                LogError("ODBCExecuteQuery : fetching a row failed\n");
                LogDiagnostic(SQL_HANDLE_STMT, statement);
                return FetchEnd::Failed;
            }
            const bool singleRows = blockRows == 1;
            for (SQLUSMALLINT i = 1; i <= columnCount; ++i) {
                BoundColumn& column = columns[i - 1];
                ColumnValue& cell = cells[i - 1];
                cell = ColumnValue::Null();
                const SQLLEN indicator = column.indicators[r];
                if (indicator == SQL_NULL_DATA) continue;
                const SQLLEN room = static_cast<SQLLEN>(column.width) - (column.plan.binary ? 0 : 1);
                std::string_view data;
                if (indicator >= 0 && indicator <= room) {
                    data = std::string_view(column.buffers.data() + r * column.width, static_cast<std::size_t>(indicator));
                } else if (IsFixedWidthType(column.plan.sqlType)) {
                    LogError("ODBCExecuteQuery : value of column %s does not fit its buffer\n", descriptors[i - 1].name);
                    return FetchEnd::Failed;
                } else {
                    // Longer than its buffer: the whole value, read on its row.
                    bool isNull = false;
                    // Positioning within a block is not dependable (SQLite's driver refuses
                    // it on a block cut short, MariaDB's loses the blocks after it): the
                    // query runs again a row at a time, where the value is read in parts.
                    if (!singleRows) return FetchEnd::NeedsSingleRows;
                    if (!ReadCellByParts(statement, i, column.plan.binary, &scratch, &data, &isNull)) {
                        LogError("ODBCExecuteQuery : reading column %s failed\n", descriptors[i - 1].name);
                        return FetchEnd::Failed;
                    }
                    if (isNull) continue;
                }
                if (!ConvertFetchedCell(column.plan, data, &cell)) {
                    LogError("ODBCExecuteQuery : value of column %s could not be converted\n", descriptors[i - 1].name);
                    return FetchEnd::Failed;
                }
            }
            if (!reader->Row(cells)) return FetchEnd::Failed;
        }
    }
    SQLCloseCursor(statement);
    return FetchEnd::Done;
}

// Keeps every row of a query.
class ResultCollector : public QueryRowReader {
public:
    bool Columns(const std::vector<ResultColumnDescriptor>& columns) override {
        result_->columnCount = static_cast<std::int32_t>(columns.size());
        result_->columns = columns;
        result_->rows.clear();
        return true;
    }
    bool Row(std::span<ColumnValue> cells) override {
        result_->rows.emplace_back(std::make_move_iterator(cells.begin()), std::make_move_iterator(cells.end()));
        return true;
    }
    std::unique_ptr<QueryResultSet> Take() { return std::move(result_); }

private:
    std::unique_ptr<QueryResultSet> result_ = std::make_unique<QueryResultSet>();
};

// Runs a query's statement up to its rows; false (logged) when it fails.
bool ExecuteForRows(SQLHSTMT statement, const char* statementText) {
    if (!SQL_SUCCEEDED(
            SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statementText)), SQL_NTS))) {
        LogError("SQLExecDirect failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement);
        return false;
    }
    SQLLEN rows = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(statement, &rows))) {
        LogError("No Rows Affected\n");
        return false;
    }
    return true;
}

// Logs the connection's first diagnostic record after a failed transaction step.
bool TransactionFailed(const ODBCConnection* connection) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[255] = {};
    SQLSMALLINT length = 0;
    SQLGetDiagRec(SQL_HANDLE_DBC, connection->connection, 1, state, &native, message, sizeof message, &length);
    LogError("Error in starting transaction\n");
    LogError("STATE: %s\n", reinterpret_cast<const char*>(state));
    LogError("NAT: %ld\n", static_cast<long>(native));
    LogError("MSG: %s\n", reinterpret_cast<const char*>(message));
    return false;
}

bool SetAutocommitOn(ODBCConnection* connection) {
    return SQL_SUCCEEDED(SQLSetConnectAttr(connection->connection, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER));
}

// Ends the transaction and goes back to autocommit. A commit that fails is rolled back and
// the connection still goes back to autocommit: left in manual-commit mode, every later
// statement on it would wait for a commit that never comes.
bool EndTransaction(ProviderConnection* base, SQLSMALLINT completion, const char* failure) {
    ODBCConnection* connection = AsODBC(base);
    if (!connection) return false;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, connection->connection, completion))) {
        LogError(failure);
        TransactionFailed(connection);
        if (completion == SQL_COMMIT && !SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, connection->connection, SQL_ROLLBACK)))
            LogError("Error in rollbacking transaction\n");
        if (!SetAutocommitOn(connection)) LogError("Error in setting SQL_AUTOCOMMIT_ON\n");
        return false;
    }
    if (!SetAutocommitOn(connection)) {
        LogError("Error in setting SQL_AUTOCOMMIT_ON\n");
        return TransactionFailed(connection);
    }
    return true;
}

bool IsNullToken(const char* value) { return !value || CompareNoCase(value, "NULL") == 0; }

// The result of an executed update: a searched update or delete that matches no row
// reports SQL_NO_DATA, which is success; the row count is kept on the connection.
BYTE FinishUpdate(ODBCConnection* connection, SQLHSTMT statement, SQLRETURN rc) {
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        LogError("SQLExecute failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement);
        return 0;
    }
    SQLLEN rows = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(statement, &rows))) {
        LogError("No Rows Affected \n");
        return 0;
    }
    connection->lastRowCount = rows;
    return 1;
}

// The session settings the store's SQL literals rely on, whatever the server's, the
// database's or the role's defaults: PostgreSQL reads a backslash in '...' as a plain
// character only with standard_conforming_strings on; MySQL treats a backslash as an
// escape (which the MYSQL literals double) unless NO_BACKSLASH_ESCAPES is in sql_mode.
// A connection whose mode cannot be set is refused: a literal could end early there.
bool SetLiteralModes(ODBCConnection* connection, const std::string& dbType) {
    const char* statement = nullptr;
    if (CompareNoCase(dbType.c_str(), "PGSQL") == 0)
        statement = "SET standard_conforming_strings = on";
    else if (CompareNoCase(dbType.c_str(), "MYSQL") == 0)
        statement =
            "SET SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(CONCAT(',', @@SESSION.sql_mode, ','), "
            "',NO_BACKSLASH_ESCAPES,', ','))";
    if (!statement) return true;
    if (ODBCExecuteUpdate(connection, statement) == 1) return true;
    LogError("ODBCOpenConnection : %s cannot be set on connection %s; the connection is not used, as SQL "
             "literals would not be safe on it\n",
             statement, connection->connName);
    return false;
}

const DBProvider kODBCProvider = {
    "ODBC",
    ODBCOpenConnection,
    ODBCExecuteUpdate,
    ODBCExecuteQuery,
    ODBCCloseConnection,
    ODBCBeginTransaction,
    ODBCCommitTransaction,
    ODBCRollbackTransaction,
    ODBCExecuteUpdateBlob,
    ODBCExecuteQueryBlob,
    ODBCReadQuery,
    ODBCConnectionLost,
};

}  // namespace

ODBCConnection::~ODBCConnection() {
    if (updateStatement != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, updateStatement);
    if (connection != SQL_NULL_HDBC) {
        SQLDisconnect(connection);
        SQLFreeHandle(SQL_HANDLE_DBC, connection);
    }
    if (environment != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, environment);
}

const DBProvider* GetODBCProvider() { return &kODBCProvider; }

BYTE MapODBCTypeToColumnType(SQLSMALLINT sqlType) {
    for (const TypeMapping& entry : kTypeMap)
        if (entry.sqlType == sqlType) return entry.storeType;
    return HYL_SQL_NOT_SUPPORTED_TYPE;
}

std::string BuildODBCConnectionString(const ConnectionParams& params) {
    std::string text;
    text.reserve(25);
    if (params.dsn) text += "DSN=" + ConnectionValue(*params.dsn) + ";";
    if (params.user) text += "UID=" + ConnectionValue(*params.user) + ";";
    if (params.password) text += "PWD=" + ConnectionValue(*params.password);
    text += ";";
    return text;
}

ProviderConnectionPtr ODBCOpenConnection(const ConnectionParams* params) {
    if (!params || !params->dsn) {
        LogError("ODBC connection Parameter missing\n");
        return nullptr;
    }
    auto connection = std::make_unique<ODBCConnection>();
    // The ODBC 2 environment of SQLAllocEnv reports dates with the codes 9, 10 and 11.
    if (!SQL_SUCCEEDED(SQLAllocEnv(&connection->environment))) {
        connection->environment = SQL_NULL_HENV;
        LogError("Allocating Env Handle failed\n");
        return nullptr;
    }
    if (!SQL_SUCCEEDED(SQLAllocConnect(connection->environment, &connection->connection))) {
        connection->connection = SQL_NULL_HDBC;
        LogError("Allocating connection Handle failed\n");
        return nullptr;
    }
    const std::string text =
        params->direct && params->connString ? *params->connString : BuildODBCConnectionString(*params);
    std::array<SQLCHAR, 1025> completed{};
    SQLSMALLINT completedLength = 0;
    const SQLRETURN rc = SQLDriverConnect(
        connection->connection, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
        SQL_NTS, completed.data(), completed.size(), &completedLength, SQL_DRIVER_NOPROMPT);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
        LogError("Connecting to driver failed\n");
        LogDiagnostic(SQL_HANDLE_DBC, connection->connection, ConnectionSecrets(*params));
        // Never connected: free the handles without a disconnect.
        SQLFreeHandle(SQL_HANDLE_DBC, connection->connection);
        connection->connection = SQL_NULL_HDBC;
        return nullptr;
    }
    connection->connName = params->connName;
    if (!SetLiteralModes(connection.get(), params->dbType)) return nullptr;
    return connection;
}

BYTE ODBCExecuteUpdate(ProviderConnection* base, const char* statementText) {
    ODBCConnection* connection = AsODBC(base);
    if (!connection || !statementText) return 0;
    ObjectLockGuard lock(connection);
    connection->lastRowCount = -1;
    if (connection->updateStatement == SQL_NULL_HSTMT &&
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection->connection, &connection->updateStatement))) {
        connection->updateStatement = SQL_NULL_HSTMT;
        LogError("Allocating Statement Handle failed\n");
        return 0;
    }
    const SQLHSTMT statement = connection->updateStatement;
    // The handle is closed after every statement, whatever its end, so the next one starts clean.
    struct CloseAfterwards {
        SQLHSTMT handle;
        ~CloseAfterwards() { SQLFreeStmt(handle, SQL_CLOSE); }
    } closeAfterwards{statement};
    // Drivers that prepare on the server report a bad statement here, the others when it
    // runs ("SQLExecute failed").
    if (!SQL_SUCCEEDED(SQLPrepare(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statementText)), SQL_NTS))) {
        LogError("SQLPrepare failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement);
        return 0;
    }
    return FinishUpdate(connection, statement, SQLExecute(statement));
}

std::unique_ptr<QueryResultSet> ODBCExecuteQuery(ProviderConnection* base, const char* statementText) {
    ResultCollector collector;
    if (!ODBCReadQuery(base, statementText, &collector)) return nullptr;
    return collector.Take();
}

bool ODBCReadQuery(ProviderConnection* base, const char* statementText, QueryRowReader* reader) {
    LogTrace("Inside ODBCExecuteQuery\n");
    ODBCConnection* connection = AsODBC(base);
    if (!connection || !statementText || !reader) return false;
    ObjectLockGuard lock(connection);
    Statement statement(connection->connection);
    if (!statement.valid()) {
        LogError("Allocating Statement Handle failed\n");
        return false;
    }
    if (!ExecuteForRows(statement.get(), statementText)) return false;
    const FetchEnd end = FetchBlocks(statement.get(), reader, kFetchBlockRows);
    if (end != FetchEnd::NeedsSingleRows) return end == FetchEnd::Done;
    // The rows read so far are dropped (Columns again): the result is that of one run.
    Statement single(connection->connection);
    if (!single.valid()) {
        LogError("Allocating Statement Handle failed\n");
        return false;
    }
    return ExecuteForRows(single.get(), statementText) && FetchBlocks(single.get(), reader, 1) == FetchEnd::Done;
}

// The driver knows when the server went away (the socket failed), without a round trip.
bool ODBCConnectionLost(ProviderConnection* connection) {
    ODBCConnection* odbc = AsODBC(connection);
    if (!odbc || odbc->connection == SQL_NULL_HDBC) return true;
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttr(odbc->connection, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

bool ODBCCloseConnection(ProviderConnectionPtr connection) {
    if (!connection) return false;
    connection.reset();
    return true;
}

bool ODBCBeginTransaction(ProviderConnection* base) {
    LogTrace("\t@@@@@ ODBCBeginTransaction() @@@@@\n");
    ODBCConnection* connection = AsODBC(base);
    if (!connection) return false;
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(connection->connection, SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER))) {
        LogError("Error in setting SQL_AUTOCOMMIT_OFF\n");
        return TransactionFailed(connection);
    }
    return true;
}

bool ODBCCommitTransaction(ProviderConnection* connection) {
    LogTrace("\t@@@@@ ODBCCommitTransaction() @@@@@\n");
    return EndTransaction(connection, SQL_COMMIT, "Error in commiting transaction\n");
}

bool ODBCRollbackTransaction(ProviderConnection* connection) {
    LogTrace("\t@@@@@ ODBCRollbackTransaction() @@@@@\n");
    return EndTransaction(connection, SQL_ROLLBACK, "Error in rollbacking transaction\n");
}

BYTE ODBCExecuteUpdateBlob(ProviderConnection* base, const char* statementText, BlobProducer producer,
                           void* context) {
    LogTrace("Inside ODBCExecuteUpdateBlob\n");
    ODBCConnection* connection = AsODBC(base);
    if (!connection || !statementText || !producer) return 0;
    Statement statement(connection->connection);
    if (!statement.valid()) {
        LogError("Allocating Statement Handle failed\n");
        return 0;
    }
    if (!SQL_SUCCEEDED(
            SQLPrepare(statement.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(statementText)), SQL_NTS))) {
        LogError("SQLPrepare failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement.get());
        return 0;
    }
    // Drivers that must know a long value's length before its first part (SQLite's
    // among them) get the producer's whole value gathered first.
    std::string gathered;
    bool gatherFirst = false;
    {
        SQLCHAR needsLength[4] = {};
        SQLSMALLINT length = 0;
        gatherFirst = SQL_SUCCEEDED(SQLGetInfo(connection->connection, SQL_NEED_LONG_DATA_LEN, needsLength,
                                               sizeof needsLength, &length)) &&
                      needsLength[0] == 'Y';
    }
    if (gatherFirst) {
        for (;;) {
            const void* chunk = nullptr;
            std::int64_t length = 0;
            const int produced = producer(&chunk, &length, context);
            if (produced == BLOB_PRODUCER_END) break;
            if (produced < 0 || length < 0 || (length > 0 && !chunk)) {
                LogError("SQLExecute failed\n");
                return 0;
            }
            gathered.append(static_cast<const char*>(chunk), static_cast<std::size_t>(length));
        }
    }
    std::size_t sent = 0;
    // The next part to send: the producer's, or the next slice of the gathered value.
    const auto nextPart = [&](const void** chunk, std::int64_t* length) {
        if (!gatherFirst) return producer(chunk, length, context);
        if (sent >= gathered.size()) return BLOB_PRODUCER_END;
        const std::size_t size = std::min<std::size_t>(gathered.size() - sent, 1 << 20);
        *chunk = gathered.data() + sent;
        *length = static_cast<std::int64_t>(size);
        sent += size;
        return 1;
    };
    SQLLEN atExecution =
        gatherFirst ? SQL_LEN_DATA_AT_EXEC(static_cast<SQLLEN>(gathered.size())) : SQL_DATA_AT_EXEC;
    if (!SQL_SUCCEEDED(SQLBindParameter(statement.get(), 1, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                                        gatherFirst ? gathered.size() : 0, 0, reinterpret_cast<SQLPOINTER>(1), 0,
                                        &atExecution))) {
        LogError("SQLExecute failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement.get());
        return 0;
    }
    SQLRETURN rc = SQLExecute(statement.get());
    while (rc == SQL_NEED_DATA) {
        SQLPOINTER token = nullptr;
        rc = SQLParamData(statement.get(), &token);
        if (rc != SQL_NEED_DATA) break;
        for (;;) {
            const void* chunk = nullptr;
            std::int64_t length = 0;
            const int produced = nextPart(&chunk, &length);
            if (produced == BLOB_PRODUCER_END) break;
            if (produced < 0 || length < 0 || (length > 0 && !chunk)) {
                // The producer gave up: the statement must not run with part of the value.
                SQLCancel(statement.get());
                LogError("SQLExecute failed\n");
                return 0;
            }
            if (!SQL_SUCCEEDED(SQLPutData(statement.get(), const_cast<void*>(chunk), static_cast<SQLLEN>(length)))) {
                LogError("SQLExecute failed\n");
                LogDiagnostic(SQL_HANDLE_STMT, statement.get());
                SQLCancel(statement.get());
                return 0;
            }
        }
    }
    return FinishUpdate(connection, statement.get(), rc);
}

std::unique_ptr<QueryResultSet> ODBCExecuteQueryBlob(ProviderConnection* base, const char* statementText,
                                                     BlobConsumer consumer, void* context) {
    LogTrace("Inside ODBCExecuteQuery\n");
    ODBCConnection* connection = AsODBC(base);
    if (!connection || !statementText) return nullptr;
    Statement statement(connection->connection);
    if (!statement.valid()) {
        LogError("Allocating Statement Handle failed\n");
        return nullptr;
    }
    if (!SQL_SUCCEEDED(
            SQLPrepare(statement.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(statementText)), SQL_NTS))) {
        LogError("SQLPrepare failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement.get());
        return nullptr;
    }
    if (!SQL_SUCCEEDED(SQLExecute(statement.get()))) {
        LogError("SQLExecute failed\n");
        LogDiagnostic(SQL_HANDLE_STMT, statement.get());
        return nullptr;
    }
    return FetchResults(connection, statement.get(), true, consumer, context);
}

bool ODBCCreateDSN(const char* dsn, const char* description, const char* server, const char* user,
                   const char* password, const char* database, const char* driver) {
    if (!driver || !dsn) {
        LogError("DriverName or DSN name is NULL \n");
        return false;
    }
    const std::pair<const char*, const char*> attributes[] = {
        {"DSN", dsn}, {"DESCRIPTION", description}, {"SERVER", server},
        {"UID", user}, {"PWD", password},           {"DATABASE", database},
    };
    // The installer takes "key=value" pairs each ended by a NUL, the list by a second NUL.
    std::string list;
    for (const auto& [key, value] : attributes) {
        if (IsNullToken(value)) continue;
        list += key;
        list += '=';
        list += value;
        list += '\0';
    }
    list += '\0';
    if (SQLConfigDataSource(nullptr, ODBC_ADD_DSN, driver, list.c_str())) return true;
    // Drivers without a setup library cannot add a DSN that way; write odbc.ini directly.
    bool written = SQLWriteDSNToIni(dsn, driver);
    for (const auto& [key, value] : attributes) {
        if (!written) break;
        if (std::strcmp(key, "DSN") == 0 || IsNullToken(value)) continue;
        written = SQLWritePrivateProfileString(dsn, key, value, "odbc.ini");
    }
    if (!written) {
        LogError("SQLConfigDataSource returned FALSE \n");
        return false;
    }
    return true;
}

bool ODBCCreateDSNsFromFile(const char* path) {
    std::FILE* file = path ? host::MappedFopen(path, "r") : nullptr;
    if (!file) {
        LogError("Error opening File %s \n", path);
        return false;
    }
    std::string line;
    int c = 0;
    while (c != EOF) {
        line.clear();
        while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Six blank-separated tokens, then the driver name as the rest of the line.
        std::vector<std::string> tokens;
        std::size_t position = 0;
        while (tokens.size() < 6) {
            position = line.find_first_not_of(" \t", position);
            if (position == std::string::npos) break;
            const std::size_t end = std::min(line.find_first_of(" \t", position), line.size());
            tokens.push_back(line.substr(position, end - position));
            position = end;
        }
        if (tokens.empty()) continue;
        std::string driver;
        if (tokens.size() == 6 && position != std::string::npos) {
            const std::size_t start = line.find_first_not_of(" \t", position);
            if (start != std::string::npos) driver = line.substr(start);
        }
        while (!driver.empty() && (driver.back() == ' ' || driver.back() == '\t')) driver.pop_back();
        tokens.resize(6);
        const auto field = [](const std::string& token) { return token.empty() ? nullptr : token.c_str(); };
        if (!ODBCCreateDSN(field(tokens[0]), field(tokens[1]), field(tokens[2]), field(tokens[3]), field(tokens[4]),
                           field(tokens[5]), driver.empty() ? nullptr : driver.c_str()))
            LogError("Creating DSN %s Failed\n", tokens[0]);
    }
    std::fclose(file);
    return true;
}
