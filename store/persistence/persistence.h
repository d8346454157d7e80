// The store's database persistence: start-up and connection pools, the ODBC provider,
// select query objects and the SQL of the four dialects (MYSQL, PGSQL, FIREBIRD, SQLITE),
// the stored-query catalogue, personalities and data objects.
#pragma once

#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/dialect/sql_dialect.h"
#include "store/persistence/objects/data_object.h"
#include "store/persistence/objects/personality.h"
#include "store/persistence/provider/db_provider.h"
#include "store/persistence/provider/odbc_provider.h"
#include "store/persistence/query/select_query.h"
#include "store/persistence/startup/store_startup.h"
