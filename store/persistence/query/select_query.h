// Select queries described as objects: the select list, tables, joins, a criteria tree,
// grouping, ordering and paging. Every part lives in the query's own memory pool and is
// released with the query. The SQL dialects write such an object as a select statement.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "platform/win/types.h"
#include "store/foundation/mem_pool.h"

// Aggregates by code: 0 "INVALID TYPE", 1 "DISTINCT", 2 "COUNT", 3 "MIN", 4 "MAX",
// 5 "SUM", 6 "AVG".
enum QueryAggregate : BYTE {
    AGGREGATE_NONE = 0,
    AGGREGATE_DISTINCT = 1,
    AGGREGATE_COUNT = 2,
    AGGREGATE_MIN = 3,
    AGGREGATE_MAX = 4,
    AGGREGATE_SUM = 5,
    AGGREGATE_AVG = 6,
};
inline constexpr BYTE kAggregateCount = 7;
const char* AggregateName(BYTE aggregate);  // "INVALID TYPE" outside 0 to 6
// Index of the name among the aggregate names (case-sensitive), 0 when absent.
BYTE AggregateCode(const char* name);

// How a join treats rows without a match: dropped (inner) or kept with NULLs (left).
enum QueryJoinType : BYTE { INNER_JOIN = 0, LEFT_JOIN = 1 };
const char* JoinTypeName(BYTE joinType);  // "INNER_JOIN", "LEFT_JOIN"; null otherwise
// Index of the name among the join type names, 0 when absent.
BYTE JoinTypeCode(const char* name);

// Texts are pool copies; each is optional.
struct QueryColumn {
    const char* tableName = nullptr;
    const char* tableAlias = nullptr;
    const char* columnName = nullptr;
    const char* columnAlias = nullptr;
    std::int32_t reserved = 0;
    BYTE type = 0;
    BYTE aggregate = AGGREGATE_NONE;
};

// A table of the from list, with its alias (pool copies).
struct QueryTable {
    const char* name = nullptr;
    const char* alias = nullptr;
};

// A join of two tables on pairs of columns.
struct QueryJoin {
    const char* baseTable = nullptr;
    const char* baseAlias = nullptr;
    const char* referenceTable = nullptr;
    const char* referenceAlias = nullptr;
    BYTE joinType = INNER_JOIN;
    std::vector<QueryColumn*> baseColumns;       // pairwise with referenceColumns
    std::vector<QueryColumn*> referenceColumns;
};

// A criteria node: a comparison leaf (column, value, operator 1-6, 9 or 10) or an AND
// (7) / OR (8) node over two children. The value is the column's in-memory form (as a
// store row holds it), a pool copy of valueLength bytes with a zero byte after them.
struct QueryCriteriaNode {
    QueryColumn* column = nullptr;
    const char* value = nullptr;
    std::uint32_t valueLength = 0;
    BYTE op = 0;
    QueryCriteriaNode* left = nullptr;
    QueryCriteriaNode* right = nullptr;
    QueryCriteriaNode* parent = nullptr;
    // Set on leaves read from a stored query catalogue: their value is the catalogue's
    // text, written into the statement as each dialect always wrote it.
    bool sqlFragment = false;
};

// The group-by columns and the having condition.
struct QueryGroupBy {
    std::vector<QueryColumn*> columns;
    // The having condition: a leaf whose column carries an aggregate; null for none.
    QueryCriteriaNode* having = nullptr;
};

// The order-by columns and the direction.
struct QueryOrderBy {
    std::vector<QueryColumn*> columns;
    BYTE sortType = 0;  // 0 sorts descending, any other value ascending
};

// A select built piece by piece and turned into SQL by each dialect. Columns, tables,
// joins and criteria live in the query's pool and go with it.
struct SelectQuery {
    MemPool* pool = nullptr;
    std::vector<QueryColumn*> columns;
    std::vector<std::unique_ptr<QueryJoin>> joins;
    QueryCriteriaNode* criteria = nullptr;
    std::unique_ptr<QueryGroupBy> groupBy;
    std::unique_ptr<QueryOrderBy> orderBy;
    std::vector<QueryTable*> tables;
    std::int32_t rowLimit = 0;   // 0: no limit
    std::int32_t rowOffset = 0;  // 0: from the first row

    SelectQuery() = default;
    SelectQuery(const SelectQuery&) = delete;
    SelectQuery& operator=(const SelectQuery&) = delete;
    ~SelectQuery();

private:
    friend struct SelectQueryFactory;
    MemAllocatorPtr privateAllocator_;
    MemPoolPtr privatePool_;
};

// SelectQueryDeleter, SelectQueryPtr: owns a query and frees it with FreeSelectQuery.
struct SelectQueryDeleter {
    void operator()(SelectQuery* query) const;
};
using SelectQueryPtr = std::unique_ptr<SelectQuery, SelectQueryDeleter>;

// A new empty query. Its pool is a child of the global pool when one exists, else a
// pool of its own. Null with "\nMEMORY ALLOCATION FOR SELECTQUERYPTR FAILED\n" at ERROR.
SelectQueryPtr CreateSelectQuery();
// Releases the pool and everything in it with the query.
void FreeSelectQuery(SelectQueryPtr query);

// A descriptor whose texts are copied into the pool. Null with "\nColumn Name is NULL\n"
// for a missing column name, "\nInvalid Data Type\n" for a type above 22.
QueryColumn* CreateColumnDescriptor(const char* tableName, const char* tableAlias, const char* columnName,
                                    const char* columnAlias, std::int32_t reserved, BYTE type, BYTE aggregate,
                                    MemPool* pool);
// The select-list form: a missing column name is accepted with an aggregate ("count(*)").
QueryColumn* CreateSelectColumnDescriptor(const char* tableName, const char* tableAlias, const char* columnName,
                                          const char* columnAlias, std::int32_t reserved, BYTE type,
                                          BYTE aggregate, MemPool* pool);

// Adds a column to the select list; false for a null query or column.
bool AddSelectColumn(SelectQuery* query, QueryColumn* column);
// Adds a table to the from list (name and alias copied into the pool); false for a null
// query or name.
bool AddTable(SelectQuery* query, const char* name, const char* alias);
// Adds a join of the two tables on the column pairs; false for a null query or table, or
// column lists of different lengths.
bool AddJoin(SelectQuery* query, const char* baseTable, const char* baseAlias, const char* referenceTable,
             const char* referenceAlias, BYTE joinType, std::vector<QueryColumn*> baseColumns,
             std::vector<QueryColumn*> referenceColumns);
// A join on columns of the same names on both sides.
bool AddJoinOnColumns(SelectQuery* query, const char* baseTable, const char* baseAlias, const char* referenceTable,
                      const char* referenceAlias, BYTE joinType, std::initializer_list<const char*> columnNames);
// SetGroupBy, SetOrderBy, SetCriteria: replace the query's group-by, order-by or where
// condition (nodes and columns from its pool); false for a null query.
bool SetGroupBy(SelectQuery* query, std::vector<QueryColumn*> columns, QueryCriteriaNode* having);
bool SetOrderBy(SelectQuery* query, std::vector<QueryColumn*> columns, BYTE sortType);
bool SetCriteria(SelectQuery* query, QueryCriteriaNode* root);
// At most rowLimit rows (0: all) from rowOffset on; nothing for a null query.
void SetPaging(SelectQuery* query, std::int32_t rowLimit, std::int32_t rowOffset);

// Pool copies of the texts. Logs "@@ Inside MakeColumnVector @@\n" at TRACE.
std::vector<const char*> MakeColumnVector(MemPool* pool, std::initializer_list<const char*> texts);
// Descriptors of columns of one table (type 5). Logs "@@ Inside MakeColumnVectorForJoin @@\n".
std::vector<QueryColumn*> MakeColumnVectorForJoin(MemPool* pool, const char* table,
                                                  std::initializer_list<const char*> columnNames);

// A comparison leaf; its value is valueLength bytes copied into the pool. Null with
// "\nEmpty Column Assigned\n" at ERROR when there is no column.
QueryCriteriaNode* CreateCriteriaLeaf(QueryColumn* column, const void* value, std::uint32_t valueLength, BYTE op,
                                      MemPool* pool);
// CreateAndNode, CreateOrNode: AND and OR nodes; both children get the new node as
// parent. Null without two children.
QueryCriteriaNode* CreateAndNode(QueryCriteriaNode* left, QueryCriteriaNode* right, MemPool* pool);
QueryCriteriaNode* CreateOrNode(QueryCriteriaNode* left, QueryCriteriaNode* right, MemPool* pool);
