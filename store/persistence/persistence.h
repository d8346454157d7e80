// The store's database persistence: the ODBC provider, select query objects and the SQL
// of the four dialects (MYSQL, PGSQL, FIREBIRD, SQLITE).
#pragma once

#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/provider/db_provider.h"
#include "store/persistence/provider/odbc_provider.h"
#include "store/persistence/query/select_query.h"
#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/objects/data_object.h"
#include "store/persistence/objects/personality.h"
