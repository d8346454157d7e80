/* Runs SQL through the SQLite ODBC driver loaded straight from its file, without a driver
   manager: usage: driver-check DRIVER.DLL DATABASE; prints the rows it reads back. */
#include <windows.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <wchar.h>

typedef SQLRETURN(SQL_API* AllocHandleFn)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
typedef SQLRETURN(SQL_API* SetEnvAttrFn)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
typedef SQLRETURN(SQL_API* DriverConnectFn)(SQLHDBC, SQLHWND, SQLWCHAR*, SQLSMALLINT, SQLWCHAR*, SQLSMALLINT,
                                              SQLSMALLINT*, SQLUSMALLINT);
typedef SQLRETURN(SQL_API* ExecDirectFn)(SQLHSTMT, SQLWCHAR*, SQLINTEGER);
typedef SQLRETURN(SQL_API* FetchFn)(SQLHSTMT);
typedef SQLRETURN(SQL_API* GetDataFn)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
typedef SQLRETURN(SQL_API* FreeStmtFn)(SQLHSTMT, SQLUSMALLINT);
typedef SQLRETURN(SQL_API* GetDiagRecFn)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLWCHAR*, SQLINTEGER*, SQLWCHAR*,
                                          SQLSMALLINT, SQLSMALLINT*);

static GetDiagRecFn get_diag;

static int failed(SQLRETURN status, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    if (SQL_SUCCEEDED(status)) return 0;
    SQLWCHAR state[6] = {0}, message[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (get_diag) get_diag(type, handle, 1, state, &native, message, 512, &length);
    fprintf(stderr, "driver-check: %s failed (%d): %ls %ls\n", what, (int)status, (wchar_t*)state, (wchar_t*)message);
    return 1;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: driver-check DRIVER.DLL DATABASE\n");
        return 2;
    }
    HMODULE driver = LoadLibraryW(argv[1]);
    if (!driver) {
        fprintf(stderr, "driver-check: cannot load %ls (%lu)\n", argv[1], GetLastError());
        return 1;
    }
#define ENTRY(type, name) type name = (type)(void*)GetProcAddress(driver, #name)
    ENTRY(AllocHandleFn, SQLAllocHandle);
    ENTRY(SetEnvAttrFn, SQLSetEnvAttr);
    ENTRY(DriverConnectFn, SQLDriverConnectW);
    ENTRY(ExecDirectFn, SQLExecDirectW);
    ENTRY(FetchFn, SQLFetch);
    ENTRY(GetDataFn, SQLGetData);
    ENTRY(FreeStmtFn, SQLFreeStmt);
    get_diag = (GetDiagRecFn)(void*)GetProcAddress(driver, "SQLGetDiagRecW");
    if (!SQLAllocHandle || !SQLSetEnvAttr || !SQLDriverConnectW || !SQLExecDirectW || !SQLFetch || !SQLGetData ||
        !SQLFreeStmt || !get_diag) {
        fprintf(stderr, "driver-check: the driver lacks an ODBC entry point\n");
        return 1;
    }
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    if (failed(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_HANDLE_ENV, SQL_NULL_HANDLE, "env")) return 1;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    if (failed(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env, "connection handle")) return 1;
    wchar_t connect[1024];
    swprintf(connect, 1024, L"Database=%ls;", argv[2]);
    if (failed(SQLDriverConnectW(dbc, NULL, connect, SQL_NTS, NULL, 0, NULL, SQL_DRIVER_NOPROMPT), SQL_HANDLE_DBC,
               dbc, "connect"))
        return 1;
    if (failed(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_HANDLE_DBC, dbc, "statement handle")) return 1;
    const wchar_t* statements[] = {
        L"create table Checked(ID integer primary key, NAME varchar(80))",
        L"insert into Checked values (1, 'Zo\x00eb \x00c5ngstr\x00f6m')",
        L"insert into Checked values (2, 'plain')",
    };
    for (size_t i = 0; i < sizeof statements / sizeof statements[0]; ++i) {
        if (failed(SQLExecDirectW(stmt, (SQLWCHAR*)statements[i], SQL_NTS), SQL_HANDLE_STMT, stmt, "statement"))
            return 1;
        SQLFreeStmt(stmt, SQL_CLOSE);
    }
    if (failed(SQLExecDirectW(stmt, (SQLWCHAR*)L"select ID, NAME from Checked order by ID", SQL_NTS), SQL_HANDLE_STMT,
               stmt, "select"))
        return 1;
    SQLRETURN status;
    while ((status = SQLFetch(stmt)) == SQL_SUCCESS || status == SQL_SUCCESS_WITH_INFO) {
        SQLINTEGER id = 0;
        SQLWCHAR name[128] = {0};
        SQLLEN length = 0;
        if (failed(SQLGetData(stmt, 1, SQL_C_SLONG, &id, 0, &length), SQL_HANDLE_STMT, stmt, "column 1") ||
            failed(SQLGetData(stmt, 2, SQL_C_WCHAR, name, sizeof name, &length), SQL_HANDLE_STMT, stmt, "column 2"))
            return 1;
        char utf8[512];
        WideCharToMultiByte(CP_UTF8, 0, (wchar_t*)name, -1, utf8, sizeof utf8, NULL, NULL);
        printf("%d\t%s\n", (int)id, utf8);
    }
    if (status != SQL_NO_DATA) return failed(status, SQL_HANDLE_STMT, stmt, "fetch");
    return 0;
}
