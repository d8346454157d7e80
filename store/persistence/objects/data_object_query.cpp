// Data objects read from the database: by select query, by a row unit's relations and by
// criteria.
#include <fmt/format.h>

#include <map>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/persistence/catalogue/stored_query.h"
#include "store/persistence/catalogue/table_statements.h"
#include "store/persistence/objects/data_object.h"
#include "store/persistence/objects/data_object_internal.h"

using namespace dataobject;

namespace {

// Where each table's columns sit in the result: collection column -> result column.
struct TableColumns {
    RowCollection* collection = nullptr;
    std::vector<std::size_t> resultColumns;
};

// Every column of the table as select-list entries named by the table.
bool AddAllColumns(SelectQuery* query, const TableDefn* defn) {
    for (const auto& column : defn->columns) {
        QueryColumn* descriptor =
            CreateColumnDescriptor(defn->name.c_str(), nullptr, column->name.c_str(), nullptr, 0,
                                   column->type, AGGREGATE_NONE, query->pool);
        if (!descriptor || !AddSelectColumn(query, descriptor)) return false;
    }
    return true;
}

QueryCriteriaNode* CopyCriteria(const QueryCriteriaNode* node, MemPool* pool, int depth = 0) {
    if (!node || depth > 10000) return nullptr;
    if (node->op == CRITERIA_AND || node->op == CRITERIA_OR) {
        QueryCriteriaNode* left = CopyCriteria(node->left, pool, depth + 1);
        QueryCriteriaNode* right = CopyCriteria(node->right, pool, depth + 1);
        if (!left || !right) return nullptr;
        return node->op == CRITERIA_AND ? CreateAndNode(left, right, pool)
                                        : CreateOrNode(left, right, pool);
    }
    const QueryColumn* from = node->column;
    if (!from) return nullptr;
    QueryColumn* column = CreateColumnDescriptor(from->tableName, from->tableAlias,
                                                 from->columnName, from->columnAlias,
                                                 from->reserved, from->type, from->aggregate, pool);
    QueryCriteriaNode* copy =
        CreateCriteriaLeaf(column, node->value, node->valueLength, node->op, pool);
    if (copy) copy->sqlFragment = node->sqlFragment;
    return copy;
}

// "table.column = value" as a leaf; the value keeps its in-memory form.
QueryCriteriaNode* EqualsLeaf(const char* table, const ColumnDefn* column, const ColumnValue& value,
                              MemPool* pool) {
    QueryColumn* descriptor = CreateColumnDescriptor(table, nullptr, column->name.c_str(), nullptr,
                                                     0, column->type, AGGREGATE_NONE, pool);
    const std::uint32_t length =
        value.isNull() ? 0 : static_cast<std::uint32_t>(value.buffer->size());
    return CreateCriteriaLeaf(descriptor, value.data(), length, CRITERIA_EQ, pool);
}

QueryCriteriaNode* AndAll(const std::vector<QueryCriteriaNode*>& leaves, MemPool* pool) {
    QueryCriteriaNode* root = nullptr;
    for (QueryCriteriaNode* leaf : leaves) root = root ? CreateAndNode(root, leaf, pool) : leaf;
    return root;
}

const ColumnDefn* ColumnOf(const TableDefn* defn, const std::string& name) {
    for (const auto& column : defn->columns)
        if (column->name == name) return column.get();
    return nullptr;
}

// Moves the collections of `part` into `into` (tables it does not have yet).
void TakeCollections(DataObject* into, DataObjectPtr part) {
    for (RowCollectionPtr& collection : part->collections)
        if (!ContainsTableInDO(into, collection->tableName.c_str())) {
            into->tableNames.push_back(collection->tableName);
            into->collections.push_back(std::move(collection));
        }
    ReindexDataObject(into);
}

}  // namespace

DataObjectPtr CreateDataObjectFromResultSet(QueryResultSet* result, const SelectQuery* query) {
    LogTrace("@@@@  Inside CreateDataObjectFromResultSet @@@@\n");
    if (!result || !query) return nullptr;
    if (query->columns.empty() ||
        static_cast<std::size_t>(result->columns.size()) < query->columns.size()) {
        LogError("Cannot create DataObject.  The select list does not name the columns\n");
        return nullptr;
    }
    // The tables in the order their columns first appear, with their selected columns.
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::string>> selected;
    for (const QueryColumn* column : query->columns) {
        const TableDefn* defn = column->tableName ? GetTableDefn(column->tableName) : nullptr;
        if (!defn || !column->columnName || column->aggregate != AGGREGATE_NONE) {
            LogError("No Table Definition found for table %s.\n",
                     column->tableName ? column->tableName : "(null)");
            return nullptr;
        }
        if (!selected.count(defn->name)) order.push_back(defn->name);
        selected[defn->name].push_back(column->columnName);
    }
    DataObjectPtr dataObject = CreateDataObject();
    std::vector<TableColumns> tables;
    for (const std::string& name : order) {
        RowCollectionPtr collection = CreateRowCollection(name.c_str(), &selected[name]);
        if (!collection) return nullptr;
        const TableDefn* defn = collection->tableDefn;
        if (defn->constraints)
            for (const std::string& key : defn->constraints->primaryKeyColumns)
                if (std::find(collection->columnNames.begin(), collection->columnNames.end(),
                              key) == collection->columnNames.end()) {
                    LogError("\nALL PRIMARY KEY COLUMNS SHOULD BE SELECTED FOR %s\n", name);
                    LogError("All Primary key columns were not selected.\n");
                    return nullptr;
                }
        TableColumns entry;
        entry.collection = collection.get();
        for (const std::string& column : collection->columnNames)
            for (std::size_t i = 0; i < query->columns.size(); ++i)
                if (GetTableDefn(query->columns[i]->tableName) == defn &&
                    column == query->columns[i]->columnName) {
                    entry.resultColumns.push_back(i);
                    break;
                }
        tables.push_back(std::move(entry));
        AddRowCollectionToDO(dataObject.get(), std::move(collection));
    }
    ResetResultSet(result);
    while (const ResultRow* row = NextResultRow(result)) {
        for (const TableColumns& table : tables) {
            std::vector<ColumnValue> values;
            for (std::size_t j = 0; j < table.resultColumns.size(); ++j) {
                const std::size_t at = table.resultColumns[j];
                std::optional<ColumnValue> value =
                    at < row->size() ? ConvertCellToColumnType((*row)[at], result->columns[at].type,
                                                               table.collection->columnTypes[j])
                                     : std::nullopt;
                if (!value)
                    LogError("Cannot convert column %s of %s\n", table.collection->columnNames[j],
                             table.collection->tableName);
                values.push_back(value ? std::move(*value) : ColumnValue::Null());
            }
            RowUnitPtr unit = CreateRowUnit(table.collection->tableName.c_str(), std::move(values));
            unit->state = ROW_SAVED;
            unit->columnNames = &table.collection->columnNames;
            if (AllKeyValuesNull(unit.get())) continue;  // a left join without a match
            if (FindHeldUnit(dataObject.get(), unit.get())) {
                LogDebug("HashKey %s Not Inserted\n", GetKeyString(unit.get()).value_or(""));
                continue;
            }
            AddIndexedUnit(dataObject.get(), table.collection, std::move(unit));
        }
    }
    return dataObject;
}

DataObjectPtr GetDataObject(SelectQueryPtr query) {
    LogTrace("@@@@  Inside GetDataObject @@@@\n");
    if (!query) {
        LogError("Cannot construct DO. Select Query pointer is NULL.\n");
        return nullptr;
    }
    const char* table = FirstQueryTable(query.get());
    std::shared_ptr<TableStatements> source = GetTableStatements();
    const SqlDialect* dialect = source && table ? source->Dialect(table) : nullptr;
    if (!dialect) {
        LogError("No data source for table %s\n", table ? table : "(null)");
        return nullptr;
    }
    SqlText sql = dialect->genSelect(query.get());
    if (!sql) return nullptr;
    LogDebug("Generated Select Query: %s\n", *sql);
    std::unique_ptr<QueryResultSet> result = source->Query(table, *sql);
    if (!result) {
        LogError("Cannot create DataObject.  No entries returned for SelectQuery\n");
        return nullptr;
    }
    DataObjectPtr dataObject = CreateDataObjectFromResultSet(result.get(), query.get());
    if (dataObject) dataObject->query = std::move(query);
    return dataObject;
}

DataObjectPtr GetDataObjectByCriteria(const std::vector<std::string>& tables,
                                      const QueryCriteriaNode* criteria) {
    LogTrace("@@@@  Inside GetDataObjectByCriteria @@@@\n");
    SelectQueryPtr query = CreateSelectQuery();
    if (!query || tables.empty()) return nullptr;
    for (const std::string& table : tables) {
        const TableDefn* defn = GetTableDefn(table.c_str());
        if (!defn) {
            LogError("No Table Definition found for table %s.\n", table);
            return nullptr;
        }
        if (!AddAllColumns(query.get(), defn) ||
            !AddTable(query.get(), defn->name.c_str(), nullptr))
            return nullptr;
    }
    if (criteria) {
        QueryCriteriaNode* copy = CopyCriteria(criteria, query->pool);
        if (!copy) return nullptr;
        SetCriteria(query.get(), copy);
    }
    DataObjectPtr dataObject = GetDataObject(std::move(query));
    if (!dataObject) LogError("Cannot create DataObject.\n");
    return dataObject;
}

DataObjectPtr GetDataObjectByRowUnit(const std::vector<std::string>& tables, const RowUnit* unit) {
    LogTrace("@@@@  Inside GetDataObjectByRowUnit @@@@\n");
    if (!unit) return nullptr;
    const TableDefn* unitDefn = GetTableDefn(unit->tableName.c_str());
    const bool listed = std::any_of(tables.begin(), tables.end(), [&](const std::string& table) {
        return GetTableDefn(table.c_str()) == unitDefn;
    });
    if (!unitDefn || !listed) {
        LogError("RowUnit belongs to table %s, which is not present in the tableList.\n",
                 unit->tableName);
        return nullptr;
    }
    if (!unitDefn->constraints || unitDefn->constraints->primaryKeyColumns.empty()) {
        LogError("No Primary Keys mentioned for table %s. \n", unitDefn->name);
        return nullptr;
    }
    DataObjectPtr dataObject = CreateDataObject();
    for (const std::string& table : tables) {
        const TableDefn* defn = GetTableDefn(table.c_str());
        if (!defn) {
            LogError("No Table Definition found for table %s.\n", table);
            return nullptr;
        }
        if (ContainsTableInDO(dataObject.get(), defn->name.c_str())) continue;
        SelectQueryPtr query = CreateSelectQuery();
        if (!query || !AddAllColumns(query.get(), defn) ||
            !AddTable(query.get(), defn->name.c_str(), nullptr))
            return nullptr;
        std::vector<QueryCriteriaNode*> leaves;
        if (defn == unitDefn) {
            for (const std::string& key : defn->constraints->primaryKeyColumns) {
                const ColumnValue* value = GetColumnValueFromDO(unit, key.c_str());
                if (!value) return nullptr;
                leaves.push_back(
                    EqualsLeaf(defn->name.c_str(), ColumnOf(defn, key), *value, query->pool));
            }
        } else if (!defn->constraints || !defn->constraints->foreignKeys) {
            LogError("No constraints for table %s.\n", defn->name);
        } else {
            const auto& keys = unitDefn->constraints->primaryKeyColumns;
            for (const ForeignKeyDefn& fk : *defn->constraints->foreignKeys) {
                if (GetTableDefn(fk.referenceTable.c_str()) != unitDefn ||
                    std::find(keys.begin(), keys.end(), fk.referenceColumn) == keys.end())
                    continue;
                const ColumnValue* value = GetColumnValueFromDO(unit, fk.referenceColumn.c_str());
                const ColumnDefn* local = ColumnOf(defn, fk.localColumn);
                const ColumnDefn* referenced = ColumnOf(unitDefn, fk.referenceColumn);
                if (!value || !local || !referenced) return nullptr;
                // The key in the foreign key column's own type: an INT key read as a BIGINT
                // (or the other way round) would compare with NULL and find nothing.
                std::optional<ColumnValue> converted =
                    ConvertCellToColumnType(*value, referenced->type, local->type);
                if (!converted) {
                    LogError("Key %s of %s cannot be compared with column %s of %s\n", fk.referenceColumn,
                             unitDefn->name, fk.localColumn, defn->name);
                    return nullptr;
                }
                leaves.push_back(EqualsLeaf(defn->name.c_str(), local, *converted, query->pool));
            }
        }
        if (leaves.empty()) {
            // Nothing ties the table to the unit: it joins with no rows.
            AddTableToDO(dataObject.get(), defn->name.c_str(), nullptr);
            continue;
        }
        QueryCriteriaNode* criteria = AndAll(leaves, query->pool);
        if (!criteria) return nullptr;
        SetCriteria(query.get(), criteria);
        DataObjectPtr part = GetDataObject(std::move(query));
        if (!part) return nullptr;
        TakeCollections(dataObject.get(), std::move(part));
    }
    return dataObject;
}
