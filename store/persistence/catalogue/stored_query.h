// Select queries stored in the database's own catalogue tables (QueryDetails and its
// companions), assembled into select query objects, turned into SQL for the table's
// dialect and run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "store/foundation/result_set.h"
#include "store/persistence/query/select_query.h"

// LoadStoredColumns, LoadStoredTables, LoadStoredJoins, LoadStoredGroupBy,
// LoadStoredOrderBy, LoadStoredCriteria: the six loaders. Each reads its part of stored query `queryId` from the catalogue and
// adds it to the query object. False only when the catalogue could not be read or a
// stored criteria is broken (an identifier without row, a cycle, or more than 1000 levels); a query without
// that part is true with the part left empty.
bool LoadStoredColumns(std::int32_t queryId, SelectQuery* query);
bool LoadStoredTables(std::int32_t queryId, SelectQuery* query);
bool LoadStoredJoins(std::int32_t queryId, SelectQuery* query);
bool LoadStoredGroupBy(std::int32_t queryId, SelectQuery* query);
bool LoadStoredOrderBy(std::int32_t queryId, SelectQuery* query);
bool LoadStoredCriteria(std::int32_t queryId, SelectQuery* query);

// Runs the six loaders in order: columns, tables, joins, grouping, ordering, criteria.
// A query whose criteria cannot be rebuilt is refused: run without its condition it
// would select rows it was never meant to.
bool AssembleStoredQuery(std::int32_t queryId, SelectQuery* query);

// The stored criteria of the query as text: each comparison as "LIDENTIFIER OPERATOR
// RIDENTIFIER", inner nodes in parentheses around "left OPERATOR right". Logged as
// "\n%s\n" at DEBUG. None when the query has no criteria or it is broken.
std::optional<std::string> GetStoredCriteriaText(std::int32_t queryId);

// Assembles, generates and runs every query listed in QueryDetails, printing each result
// at DEBUG. False with "Query failed\n" when QueryDetails cannot be read.
bool RunQueryCatalogue();

// The rows of one stored query: assembled, written in the dialect of its first table and
// run on that table's data source. Null (with an ERROR line) on any failure.
std::unique_ptr<QueryResultSet> RunStoredQuery(std::int32_t queryId);
// The same for the store shell's "query NAME": NAME is the decimal QUERY_ID, or else the
// QUERYNAME of a QueryDetails row (for catalogues that carry that column).
std::unique_ptr<QueryResultSet> RunStoredQueryByName(const char* name);

// The first table a query reads (the first join's base table, else the first FROM
// entry); null for a query without tables.
const char* FirstQueryTable(const SelectQuery* query);

// ResultIdentifier, ResultText: cells of the current row of a result, an identifier (any
// integer or numeric text column) and a text. None for NULL, no row or an unknown column.
std::optional<std::int32_t> ResultIdentifier(const QueryResultSet* result, const char* column);
std::optional<std::string> ResultText(const QueryResultSet* result, const char* column);
