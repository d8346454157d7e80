// Select query objects and their parts, built in the query's memory pool.
#include "store/persistence/query/select_query.h"

#include <cstring>
#include <new>

#include "runtime/log.h"
#include "store/dictionary/column_types.h"

namespace {

constexpr const char* kAggregateNames[kAggregateCount] = {"INVALID TYPE", "DISTINCT", "COUNT", "MIN",
                                                          "MAX",          "SUM",      "AVG"};
constexpr const char* kJoinTypeNames[] = {"INNER_JOIN", "LEFT_JOIN"};

const char* PoolCopy(MemPool* pool, const char* text) { return text ? PoolStrdup(pool, text) : nullptr; }

template <typename T>
T* PoolNew(MemPool* pool) {
    static_assert(std::is_trivially_destructible_v<T>, "the pool never runs destructors");
    void* memory = PoolCalloc(pool, sizeof(T));
    return memory ? new (memory) T() : nullptr;
}

QueryCriteriaNode* CreateInnerNode(QueryCriteriaNode* left, QueryCriteriaNode* right, BYTE op, MemPool* pool) {
    if (!left || !right) return nullptr;
    QueryCriteriaNode* node = PoolNew<QueryCriteriaNode>(pool);
    if (!node) return nullptr;
    node->op = op;
    node->left = left;
    node->right = right;
    left->parent = node;
    right->parent = node;
    return node;
}

}  // namespace

// Builds queries with access to their private pool.
struct SelectQueryFactory {
    static SelectQueryPtr Create() {
        SelectQueryPtr query(new (std::nothrow) SelectQuery());
        if (!query) return nullptr;
        if (MemPool* global = GetGlobalMemPool()) {
            query->pool = CreateMemPool(global);
        } else {
            query->privateAllocator_ = CreateMemAllocator();
            if (query->privateAllocator_) query->privatePool_ = CreateRootMemPool(query->privateAllocator_.get());
            query->pool = query->privatePool_.get();
        }
        if (!query->pool) return nullptr;
        return query;
    }
};

SelectQuery::~SelectQuery() {
    // A child of the global pool is released here; a private pool goes with its members.
    if (pool && !privatePool_) DestroyMemPool(pool);
}

void SelectQueryDeleter::operator()(SelectQuery* query) const { delete query; }

const char* AggregateName(BYTE aggregate) {
    return aggregate < kAggregateCount ? kAggregateNames[aggregate] : kAggregateNames[0];
}

BYTE AggregateCode(const char* name) {
    if (!name) return AGGREGATE_NONE;
    for (BYTE code = 0; code < kAggregateCount; ++code)
        if (std::strcmp(kAggregateNames[code], name) == 0) return code;
    return AGGREGATE_NONE;
}

const char* JoinTypeName(BYTE joinType) { return joinType <= LEFT_JOIN ? kJoinTypeNames[joinType] : nullptr; }

BYTE JoinTypeCode(const char* name) {
    if (name)
        for (BYTE code = 0; code <= LEFT_JOIN; ++code)
            if (std::strcmp(kJoinTypeNames[code], name) == 0) return code;
    return INNER_JOIN;
}

SelectQueryPtr CreateSelectQuery() {
    SelectQueryPtr query = SelectQueryFactory::Create();
    if (!query) LogError("\nMEMORY ALLOCATION FOR SELECTQUERYPTR FAILED\n");
    return query;
}

void FreeSelectQuery(SelectQueryPtr query) { query.reset(); }

QueryColumn* CreateColumnDescriptor(const char* tableName, const char* tableAlias, const char* columnName,
                                    const char* columnAlias, std::int32_t reserved, BYTE type, BYTE aggregate,
                                    MemPool* pool) {
    if (!columnName) {
        LogError("\nColumn Name is NULL\n");
        return nullptr;
    }
    return CreateSelectColumnDescriptor(tableName, tableAlias, columnName, columnAlias, reserved, type, aggregate,
                                        pool);
}

QueryColumn* CreateSelectColumnDescriptor(const char* tableName, const char* tableAlias, const char* columnName,
                                          const char* columnAlias, std::int32_t reserved, BYTE type,
                                          BYTE aggregate, MemPool* pool) {
    if (!columnName && aggregate == AGGREGATE_NONE) {
        LogError("\nColumn Name is NULL\n");
        return nullptr;
    }
    // Text (22) is a column type like the others; refusing it would drop text columns.
    if (type > HYL_SQL_TEXT) {
        LogError("\nInvalid Data Type\n");
        return nullptr;
    }
    QueryColumn* column = PoolNew<QueryColumn>(pool);
    if (!column) return nullptr;
    column->tableName = PoolCopy(pool, tableName);
    column->tableAlias = PoolCopy(pool, tableAlias);
    column->columnName = PoolCopy(pool, columnName);
    column->columnAlias = PoolCopy(pool, columnAlias);
    column->reserved = reserved;
    column->type = type;
    column->aggregate = aggregate;
    return column;
}

bool AddSelectColumn(SelectQuery* query, QueryColumn* column) {
    if (!query || !column) return false;
    query->columns.push_back(column);
    return true;
}

bool AddTable(SelectQuery* query, const char* name, const char* alias) {
    if (!query || !name) return false;
    QueryTable* table = PoolNew<QueryTable>(query->pool);
    if (!table) return false;
    table->name = PoolCopy(query->pool, name);
    table->alias = PoolCopy(query->pool, alias);
    query->tables.push_back(table);
    return true;
}

bool AddJoin(SelectQuery* query, const char* baseTable, const char* baseAlias, const char* referenceTable,
             const char* referenceAlias, BYTE joinType, std::vector<QueryColumn*> baseColumns,
             std::vector<QueryColumn*> referenceColumns) {
    if (!query || !baseTable || !referenceTable || baseColumns.size() != referenceColumns.size()) return false;
    auto join = std::make_unique<QueryJoin>();
    join->baseTable = PoolCopy(query->pool, baseTable);
    join->baseAlias = PoolCopy(query->pool, baseAlias);
    join->referenceTable = PoolCopy(query->pool, referenceTable);
    join->referenceAlias = PoolCopy(query->pool, referenceAlias);
    join->joinType = joinType;
    join->baseColumns = std::move(baseColumns);
    join->referenceColumns = std::move(referenceColumns);
    query->joins.push_back(std::move(join));
    return true;
}

bool AddJoinOnColumns(SelectQuery* query, const char* baseTable, const char* baseAlias, const char* referenceTable,
                      const char* referenceAlias, BYTE joinType, std::initializer_list<const char*> columnNames) {
    if (!query) return false;
    std::vector<QueryColumn*> base = MakeColumnVectorForJoin(query->pool, baseTable, columnNames);
    std::vector<QueryColumn*> reference = MakeColumnVectorForJoin(query->pool, referenceTable, columnNames);
    if (base.size() != columnNames.size() || reference.size() != columnNames.size()) return false;
    // Once a table has an alias, SQL knows it only by that alias.
    for (QueryColumn* column : base) column->tableAlias = PoolCopy(query->pool, baseAlias);
    for (QueryColumn* column : reference) column->tableAlias = PoolCopy(query->pool, referenceAlias);
    return AddJoin(query, baseTable, baseAlias, referenceTable, referenceAlias, joinType, std::move(base),
                   std::move(reference));
}

bool SetGroupBy(SelectQuery* query, std::vector<QueryColumn*> columns, QueryCriteriaNode* having) {
    if (!query) return false;
    auto groupBy = std::make_unique<QueryGroupBy>();
    groupBy->columns = std::move(columns);
    groupBy->having = having;
    query->groupBy = std::move(groupBy);
    return true;
}

bool SetOrderBy(SelectQuery* query, std::vector<QueryColumn*> columns, BYTE sortType) {
    if (!query) return false;
    auto orderBy = std::make_unique<QueryOrderBy>();
    orderBy->columns = std::move(columns);
    orderBy->sortType = sortType;
    query->orderBy = std::move(orderBy);
    return true;
}

bool SetCriteria(SelectQuery* query, QueryCriteriaNode* root) {
    if (!query) return false;
    query->criteria = root;
    return true;
}

void SetPaging(SelectQuery* query, std::int32_t rowLimit, std::int32_t rowOffset) {
    if (!query) return;
    query->rowLimit = rowLimit;
    query->rowOffset = rowOffset;
}

std::vector<const char*> MakeColumnVector(MemPool* pool, std::initializer_list<const char*> texts) {
    LogTrace("@@ Inside MakeColumnVector @@\n");
    std::vector<const char*> copies;
    for (const char* text : texts)
        if (const char* copy = PoolCopy(pool, text)) copies.push_back(copy);
    return copies;
}

std::vector<QueryColumn*> MakeColumnVectorForJoin(MemPool* pool, const char* table,
                                                  std::initializer_list<const char*> columnNames) {
    LogTrace("@@ Inside MakeColumnVectorForJoin @@\n");
    std::vector<QueryColumn*> columns;
    for (const char* name : columnNames)
        if (QueryColumn* column = CreateColumnDescriptor(table, nullptr, name, nullptr, 0, HYL_SQL_INT, 0, pool))
            columns.push_back(column);
    return columns;
}

QueryCriteriaNode* CreateCriteriaLeaf(QueryColumn* column, const void* value, std::uint32_t valueLength, BYTE op,
                                      MemPool* pool) {
    if (!column) {
        LogError("\nEmpty Column Assigned\n");
        return nullptr;
    }
    QueryCriteriaNode* node = PoolNew<QueryCriteriaNode>(pool);
    if (!node) return nullptr;
    node->column = column;
    node->op = op;
    if (value) {
        char* copy = static_cast<char*>(PoolAlloc(pool, valueLength + 1));
        if (!copy) return nullptr;
        std::memcpy(copy, value, valueLength);
        copy[valueLength] = '\0';
        node->value = copy;
        node->valueLength = valueLength;
    }
    return node;
}

QueryCriteriaNode* CreateAndNode(QueryCriteriaNode* left, QueryCriteriaNode* right, MemPool* pool) {
    return CreateInnerNode(left, right, 7, pool);
}

QueryCriteriaNode* CreateOrNode(QueryCriteriaNode* left, QueryCriteriaNode* right, MemPool* pool) {
    return CreateInnerNode(left, right, 8, pool);
}
