// The SQL generation shared by every dialect, driven by each dialect's rules.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/column_types.h"
#include "store/dictionary/dictionary.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/dialect/dialect_rules.h"
#include "store/persistence/query/select_query.h"

namespace {

bool Has(const char* text) { return text && *text; }

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) text += separator;
        text += parts[i];
    }
    return text;
}

// "alias.column", "table.column" or the bare column name.
std::string QualifiedName(const QueryColumn* column, const char* fallbackQualifier = nullptr) {
    const char* qualifier = Has(column->tableAlias)  ? column->tableAlias
                            : Has(column->tableName) ? column->tableName
                                                     : fallbackQualifier;
    std::string text;
    if (Has(qualifier)) text = std::string(qualifier) + ".";
    if (column->columnName) text += column->columnName;
    return text;
}

std::string AliasText(const DialectRules& rules, const char* alias, bool tableList) {
    if (!Has(alias)) return {};
    const std::string name = alias;
    if (rules.aliasWithAs) return (tableList ? " as " : "as ") + name + " ";
    return (tableList ? " " : "") + name + " ";
}

std::string ColumnsText(const std::vector<QueryColumn*>& columns) {
    std::string text;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const QueryColumn* column = columns[i];
        if (column->aggregate == AGGREGATE_NONE) {
            text += QualifiedName(column);
            if (Has(column->columnAlias)) text += fmt::format(" as {} ", column->columnAlias);
        } else if (column->columnName) {
            text += fmt::format(" {}(", AggregateName(column->aggregate)) + QualifiedName(column) + ")";
        } else {
            text += fmt::format(" {}(*)", AggregateName(column->aggregate));
        }
        text += i + 1 < columns.size() ? "," : " \n";
    }
    return text;
}

SqlText JoinsText(const DialectRules& rules, const SelectQuery* query) {
    std::string text;
    for (std::size_t i = 0; i < query->joins.size(); ++i) {
        const QueryJoin& join = *query->joins[i];
        if (i == 0) text += fmt::format(" {} ", join.baseTable) + AliasText(rules, join.baseAlias, false);
        if (join.joinType == INNER_JOIN) {
            text += " inner join ";
        } else if (join.joinType == LEFT_JOIN) {
            text += " left join ";
        } else {
            LogError("Invalid Join Type\n");
            return std::nullopt;
        }
        text += fmt::format(" {} ", join.referenceTable) + AliasText(rules, join.referenceAlias, false);
        if (!join.baseColumns.empty() && !join.referenceColumns.empty()) {
            const char* baseSide = Has(join.baseAlias) ? join.baseAlias : join.baseTable;
            const char* referenceSide = Has(join.referenceAlias) ? join.referenceAlias : join.referenceTable;
            std::vector<std::string> pairs;
            const std::size_t count = std::min(join.baseColumns.size(), join.referenceColumns.size());
            for (std::size_t k = 0; k < count; ++k)
                pairs.push_back(QualifiedName(join.baseColumns[k], baseSide) + " = " +
                                QualifiedName(join.referenceColumns[k], referenceSide));
            text += " on " + Joined(pairs, " and ") + " ";
        }
    }
    return text;
}

std::string TablesText(const DialectRules& rules, const SelectQuery* query) {
    std::string text;
    if (!query->joins.empty() && !query->tables.empty()) text += ",";
    for (std::size_t i = 0; i < query->tables.size(); ++i) {
        const QueryTable* table = query->tables[i];
        text += table->name;
        text += AliasText(rules, table->alias, true);
        text += i + 1 < query->tables.size() ? ", " : "\n";
    }
    return text;
}

// One bound of a BETWEEN text: blanks around it and one pair of quotes taken off ('' is a
// quote inside them).
std::string BetweenBound(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    text = text.substr(first, last - first + 1);
    if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') return std::string(text);
    std::string bound;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        bound += text[i];
        if (text[i] == '\'' && i + 2 < text.size() && text[i + 1] == '\'') ++i;
    }
    return bound;
}

// Where the " and " between the two bounds starts (outside quotes), or npos.
std::size_t BetweenSeparator(std::string_view text) {
    bool quoted = false;
    for (std::size_t i = 0; i + 5 <= text.size(); ++i) {
        if (text[i] == '\'') quoted = !quoted;
        if (!quoted && CompareNoCaseN(text.data() + i, " and ", 5) == 0) return i;
    }
    return std::string_view::npos;
}

// A BETWEEN leaf holds both bounds and their "and" as one text. Each bound is written as a
// literal of the column's type, escaped like every other value; a catalogue fragment keeps
// its text as the catalogue holds it.
SqlText BetweenText(const DialectRules& rules, const QueryCriteriaNode* node) {
    const std::string_view text = node->value ? std::string_view(node->value, node->valueLength) : "";
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (node->sqlFragment) return fmt::format(" {} ", text);
    const std::size_t separator = BetweenSeparator(text);
    const BYTE type = node->column ? node->column->type : 0;
    if (separator == std::string_view::npos) {
        LogError("%sGenCriteriaString : BETWEEN value %s does not hold two bounds joined by and\n", rules.prefix,
                 std::string(text));
        return std::nullopt;
    }
    std::string bounds[2] = {BetweenBound(text.substr(0, separator)), BetweenBound(text.substr(separator + 5))};
    std::string literals[2];
    for (int i = 0; i < 2; ++i) {
        // Numbers are checked as text first: the converter reads any other text as 0.
        const bool numeric = type >= HYL_SQL_TINYINT && type <= HYL_SQL_NUMERIC;
        const bool integer = type >= HYL_SQL_TINYINT && type <= HYL_SQL_UNSIGNED_LONG_INT;
        if ((integer && !IsIntegerString(bounds[i].c_str())) || (numeric && !IsNumberText(bounds[i]))) {
            LogError("%sGenCriteriaString : BETWEEN bound %s is no value of type %d\n", rules.prefix, bounds[i],
                     static_cast<int>(type));
            return std::nullopt;
        }
        std::uint32_t length = static_cast<std::uint32_t>(bounds[i].size());
        const ColumnValue value =
            IsByteType(type) ? ColumnValue::FromText(bounds[i]) : ConvertTextToColumnValue(bounds[i].c_str(), type, &length);
        SqlText literal = value.isNull() ? std::nullopt : Literal(rules, value, type);
        if (!literal) {
            LogError("%sGenCriteriaString : BETWEEN bound %s is no value of type %d\n", rules.prefix, bounds[i],
                     static_cast<int>(type));
            return std::nullopt;
        }
        literals[i] = std::move(*literal);
    }
    return fmt::format(" {} and {} ", literals[0], literals[1]);
}

// The value of a comparison leaf as the dialect writes it.
SqlText LeafValueText(const DialectRules& rules, const QueryCriteriaNode* node) {
    const ColumnValue value =
        node->value ? ColumnValue::FromBytes(node->value, node->valueLength) : ColumnValue::Null();
    const BYTE type = node->column->type;
    if (node->op == CRITERIA_BETWEEN) return BetweenText(rules, node);
    if (!node->column->columnName) return std::string();
    if (node->sqlFragment && !rules.quotesFragments) {
        // Stored catalogue values are written as the catalogue holds them.
        const std::string_view text = node->value ? std::string_view(node->value, node->valueLength) : "";
        if (text.find('\0') != std::string_view::npos) return std::nullopt;
        return fmt::format(" {} ", text);
    }
    if (node->sqlFragment && type != HYL_SQL_BOOLEAN) {
        // Catalogue texts: quoted for the text and date types, as they stand otherwise.
        const std::string_view text = node->value ? std::string_view(node->value, node->valueLength) : "";
        const bool quoted = type == HYL_SQL_CHAR || type == HYL_SQL_CHARACTER || type == HYL_SQL_DATE ||
                            type == HYL_SQL_TIME || type == HYL_SQL_DATETIME || type == HYL_SQL_BLOB;
        if (!quoted) {
            if (text.find('\0') != std::string_view::npos) return std::nullopt;
            return fmt::format(" {} ", text);
        }
        SqlText literal = QuotedLiteral(rules, text);
        if (!literal) return std::nullopt;
        return " " + *literal + " ";
    }
    SqlText literal = Literal(rules, value, type);
    if (!literal) return std::nullopt;
    return " " + *literal + " ";
}

// In-order walk. An OR below an AND is put in parentheses, so the text keeps the
// tree's meaning under SQL's precedence of AND over OR.
bool AppendCriteria(const DialectRules& rules, const QueryCriteriaNode* node, std::string* text, int depth = 0) {
    if (!node) return true;
    if (depth > 10000) return false;
    const bool inner = node->op == CRITERIA_AND || node->op == CRITERIA_OR;
    const auto appendChild = [&](const QueryCriteriaNode* child) {
        const bool bracket = child && node->op == CRITERIA_AND && child->op == CRITERIA_OR;
        if (bracket) *text += " (";
        if (!AppendCriteria(rules, child, text, depth + 1)) return false;
        if (bracket) *text += ") ";
        return true;
    };
    if (!appendChild(node->left)) return false;
    if (inner) {
        *text += fmt::format(" {} ", CriteriaOperatorName(node->op));
    } else if (node->column) {
        const char* qualifier = Has(node->column->tableAlias)  ? node->column->tableAlias
                                : Has(node->column->tableName) ? node->column->tableName
                                                               : nullptr;
        *text += qualifier ? fmt::format(" {}.", qualifier) : std::string(" ");
        if (node->column->columnName) *text += node->column->columnName;
        *text += fmt::format(" {} ", CriteriaOperatorName(node->op));
        SqlText value = LeafValueText(rules, node);
        if (!value) return false;
        *text += *value;
    }
    return appendChild(node->right);
}

SqlText GroupByText(const DialectRules& rules, const QueryGroupBy& groupBy) {
    std::string text = "group by ";
    for (std::size_t i = 0; i < groupBy.columns.size(); ++i) {
        const QueryColumn* column = groupBy.columns[i];
        if (Has(column->columnAlias))
            text += column->columnAlias;
        else if (Has(column->tableName))
            text += fmt::format("{}.{}", column->tableName, column->columnName ? column->columnName : "");
        else if (column->columnName)
            text += column->columnName;
        text += i + 1 < groupBy.columns.size() ? "," : "\n";
    }
    if (const QueryCriteriaNode* having = groupBy.having; having && having->column) {
        text += "having ";
        text += fmt::format(" {}(", AggregateName(having->column->aggregate)) + QualifiedName(having->column) + ") ";
        text += fmt::format(" {} ", CriteriaOperatorName(having->op));
        SqlText value = LeafValueText(rules, having);
        if (!value) return std::nullopt;
        text += *value;
    }
    return text;
}

std::string OrderByText(const QueryOrderBy& orderBy) {
    std::vector<std::string> names;
    for (const QueryColumn* column : orderBy.columns) names.push_back(QualifiedName(column));
    // Only a zero sort byte sorts descending.
    return "order by " + Joined(names, ",") + " " + (orderBy.sortType == 0 ? " desc " : " asc ");
}

const TableDefn* DefinitionWithColumns(const char* table) {
    const TableDefn* defn = table ? GetTableDefn(table) : nullptr;
    return defn && !defn->columns.empty() ? defn : nullptr;
}

bool IsPrimaryKey(const TableDefn& defn, const std::string& column) {
    if (!defn.constraints) return false;
    for (const std::string& key : defn.constraints->primaryKeyColumns)
        if (CompareNoCase(key.c_str(), column.c_str()) == 0) return true;
    return false;
}

bool IsNumericType(BYTE type) { return type >= HYL_SQL_TINYINT && type <= HYL_SQL_NUMERIC; }

// A key value of the where part of an update.
SqlText UpdateKeyLiteral(const DialectRules& rules, const ColumnValue& value, BYTE type) {
    SqlText literal = Literal(rules, value, type);
    if (literal && rules.quotesEveryKey && IsNumericType(type) && literal->front() != '\'')
        return "'" + *literal + "'";
    return literal;
}

bool RowFits(const DialectRules& rules, const char* generator, const TableDefn& defn, RowValues row) {
    if (row.size() >= defn.columns.size()) return true;
    LogError("%s%s : the row has %d values for the %d columns of table %s\n", rules.prefix, generator,
             static_cast<int>(row.size()), static_cast<int>(defn.columns.size()), defn.name);
    return false;
}

// A value the statement cannot hold: the whole statement is refused, so the row keeps its
// state instead of its value being written as something else.
SqlText RefusedValue(const DialectRules& rules, const char* generator, const TableDefn& defn,
                     const ColumnDefn& column) {
    LogError("%s%s : the value of column %s of table %s cannot be written as type %d, statement refused\n",
             rules.prefix, generator, column.name, defn.name, static_cast<int>(column.type));
    return std::nullopt;
}

SqlText CreateColumnText(const DialectRules& rules, const TableDefn& defn, const ColumnDefn& column) {
    const char* typeName = column.type < 23 ? rules.typeNames[column.type] : nullptr;
    if (!typeName) {
        LogError("%sGenCreateQuery : column %s of table %s has type %d, which this database cannot store\n",
                 rules.prefix, column.name, defn.name, static_cast<int>(column.type));
        return std::nullopt;
    }
    std::string type = typeName;
    if (column.type == HYL_SQL_CHAR || column.type == HYL_SQL_CHARACTER)
        type = fmt::format("varchar({})", column.maxSize + rules.varcharExtra);
    std::string defaultClause = " ";
    if (!column.defaultValue.isNull()) {
        SqlText literal = Literal(rules, column.defaultValue, column.type);
        if (!literal) return std::nullopt;
        defaultClause = "DEFAULT " + *literal;
    }
    switch (column.type) {
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME:
            return fmt::format("\t{} {}", column.name, type);
        case HYL_SQL_TEXT:
            return fmt::format("\t{} {} ", column.name, type);
        case HYL_SQL_BOOLEAN:
            return fmt::format("\t{} {} {} ", column.name, type, defaultClause);
        default:
            return fmt::format("\t{} {} {}", column.name, type, defaultClause);
    }
}

}  // namespace

SqlText GenerateSelect(const DialectRules& rules, const SelectQuery* query) {
    LogTrace("@@@@@@@@@@@ - INSIDE %sGenSelectQuery - @@@@@@@@@@@@@", rules.prefix);
    if (!query) return std::nullopt;
    std::string text = "select ";
    if (rules.paging == PagingStyle::FirstSkip) {
        if (query->rowLimit) text += fmt::format("first {} ", query->rowLimit);
        if (query->rowOffset) text += fmt::format("skip {} ", query->rowOffset);
    }
    if (query->columns.empty())
        text += rules.paging == PagingStyle::FirstSkip ? " * from " : "* from ";
    else
        text += ColumnsText(query->columns) + "from ";
    if (!query->joins.empty()) {
        SqlText joins = JoinsText(rules, query);
        if (!joins) return std::nullopt;
        text += *joins;
    }
    if (query->joins.empty() && query->tables.empty()) {
        LogError("\nNo Tables To Be Selected\n");
        return std::nullopt;
    }
    text += TablesText(rules, query);
    if (query->criteria) {
        std::string criteria;
        if (!AppendCriteria(rules, query->criteria, &criteria)) return std::nullopt;
        text += "where " + criteria;
    }
    if (query->groupBy) {
        SqlText groupBy = GroupByText(rules, *query->groupBy);
        if (!groupBy) return std::nullopt;
        text += *groupBy;
    }
    if (query->orderBy) text += OrderByText(*query->orderBy);
    if (query->rowLimit) {
        if (rules.paging == PagingStyle::LimitOffsetComma) {
            text += "limit";
            if (query->rowOffset) text += fmt::format(" {} ,", query->rowOffset);
            text += fmt::format(" {}", query->rowLimit);
        } else if (rules.paging == PagingStyle::LimitOffset) {
            text += fmt::format("limit {}", query->rowLimit);
            if (query->rowOffset) text += fmt::format(" offset {}", query->rowOffset);
        }
    }
    LogTrace("\nSelect Query constructed is\n%s\n", text);
    return text;
}

SqlText GenerateUpdate(const DialectRules& rules, const char* table, RowValues row,
                       const std::vector<bool>* heldColumns) {
    if (rules.logsRowEntry) LogTrace("@@@ Inside %sGenUpdateQuery @@@\n", rules.prefix);
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn || !RowFits(rules, "GenUpdateQuery", *defn, row)) return std::nullopt;
    std::string set, where;
    for (std::size_t i = 0; i < defn->columns.size(); ++i) {
        const ColumnDefn& column = *defn->columns[i];
        if (IsPrimaryKey(*defn, column.name)) {
            LogTrace("@@@ Update Query has Primary Key in Set clause @@@\n");
            if (row[i].isNull()) continue;
            SqlText key = UpdateKeyLiteral(rules, row[i], column.type);
            if (!key) return RefusedValue(rules, "GenUpdateQuery", *defn, column);
            where += (where.empty() ? "" : " and ") + column.name + "=" + *key;
            continue;
        }
        // A column the row was not read with keeps what the database holds.
        if (heldColumns && (i >= heldColumns->size() || !(*heldColumns)[i])) continue;
        SqlText literal = Literal(rules, row[i], column.type);
        if (!literal) return RefusedValue(rules, "GenUpdateQuery", *defn, column);
        set += (set.empty() ? "" : ",") + column.name + "=" + *literal;
    }
    if (where.empty()) {
        // Without a key value the statement would change every row of the table.
        LogError("%sGenUpdateQuery : table %s has no primary key value to select the row, update refused\n",
                 rules.prefix, defn->name);
        return std::nullopt;
    }
    if (set.empty()) {
        LogError("%sGenUpdateQuery : the row of table %s holds no column to write, update refused\n", rules.prefix,
                 defn->name);
        return std::nullopt;
    }
    std::string text = fmt::format("update {} set {} where {}", defn->name, set, where);
    LogTrace("Update query is @@@ %s\n", text);
    return text;
}

SqlText GenerateInsert(const DialectRules& rules, const char* table, RowValues row) {
    if (rules.logsRowEntry) LogTrace("@@@ Inside %sGenInsertQuery @@@\n", rules.prefix);
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn || !RowFits(rules, "GenInsertQuery", *defn, row)) return std::nullopt;
    // The columns are named: a table whose columns the database holds in another order
    // (as after a migration) takes each value in its own column.
    std::vector<std::string> names;
    for (const auto& column : defn->columns) names.push_back(column->name);
    std::string text = fmt::format("insert into  {} ({}) values(", defn->name, Joined(names, ","));
    for (std::size_t i = 0; i < defn->columns.size(); ++i) {
        SqlText literal = Literal(rules, row[i], defn->columns[i]->type);
        if (!literal) return RefusedValue(rules, "GenInsertQuery", *defn, *defn->columns[i]);
        if (i) text += ",";
        text += *literal;
    }
    text += ")";
    LogTrace("Insert query is @@@%s\n", text);
    return text;
}

SqlText GenerateKeyCondition(const DialectRules& rules, const char* table, RowValues row) {
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn || row.size() < defn->columns.size()) return std::nullopt;
    std::string where;
    if (defn->constraints) {
        for (const std::string& key : defn->constraints->primaryKeyColumns) {
            for (std::size_t i = 0; i < defn->columns.size(); ++i) {
                const ColumnDefn& column = *defn->columns[i];
                if (CompareNoCase(column.name.c_str(), key.c_str()) != 0) continue;
                if (row[i].isNull()) break;
                SqlText literal = Literal(rules, row[i], column.type);
                if (!literal) return RefusedValue(rules, "GenDeleteQuery", *defn, column);
                where += (where.empty() ? "" : " and ") + column.name + "=" + *literal;
                break;
            }
        }
    }
    return where;
}

SqlText GenerateDelete(const DialectRules& rules, const char* table, RowValues row) {
    if (rules.logsRowEntry) LogTrace("@@@ Inside %s @@@\n", rules.deleteName);
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn || !RowFits(rules, "GenDeleteQuery", *defn, row)) return std::nullopt;
    const SqlText condition = GenerateKeyCondition(rules, table, row);
    if (!condition) return std::nullopt;
    const std::string& where = *condition;
    if (where.empty()) {
        // Without a key value the statement would empty the whole table.
        LogError("%s : table %s has no primary key value to select the row, delete refused\n", rules.deleteName,
                 defn->name);
        return std::nullopt;
    }
    std::string text = fmt::format("delete from {}  where {}", defn->name, where);
    LogTrace("Delete query is @@@%s\n", text);
    return text;
}

SqlText GenerateCreate(const DialectRules& rules, const char* table) {
    if (rules.logsRowEntry) LogTrace("@@@ Inside %sGenCreateQuery @@@\n", rules.prefix);
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn) return std::nullopt;
    LogTrace("Table Name : %s\n", defn->name);
    LogTrace("Description: %s\n", defn->description);
    std::vector<std::string> parts;
    for (const auto& column : defn->columns) {
        LogTrace("Column Name : %s\n", column->name);
        LogTrace("Column Type : %d\n", static_cast<int>(column->type));
        LogTrace("Unique Flag : %s\n", column->unique ? "TRUE" : "FALSE");
        LogTrace("Description : %s\n", column->description);
        LogTrace("---------------------------------------\n\n");
        SqlText text = CreateColumnText(rules, *defn, *column);
        if (!text) return std::nullopt;
        if (!column->nullable) *text += " NOT NULL";
        if (column->unique) *text += " UNIQUE";
        parts.push_back(std::move(*text));
    }
    if (defn->constraints && !defn->constraints->primaryKeyColumns.empty())
        parts.push_back("\tPRIMARY KEY(" + Joined(defn->constraints->primaryKeyColumns, ", ") + ")");
    if (defn->constraints && defn->constraints->foreignKeys && !defn->constraints->foreignKeys->empty()) {
        const std::vector<ForeignKeyDefn>& keys = *defn->constraints->foreignKeys;
        LogTrace("Foreign key Constraints\n");
        LogTrace("********************************\n");
        int group = 0;
        for (std::size_t start = 0; start < keys.size(); ++group) {
            std::size_t end = start + 1;
            while (end < keys.size() &&
                   CompareNoCase(keys[end].referenceTable.c_str(), keys[start].referenceTable.c_str()) == 0 &&
                   keys[end].referenceColumn != keys[start].referenceColumn)
                ++end;
            std::vector<std::string> local, referenced;
            for (std::size_t k = start; k < end; ++k) {
                local.push_back(keys[k].localColumn);
                referenced.push_back(keys[k].referenceColumn);
                if (!rules.foreignKeyIndexes) {
                    LogTrace("Ref Column  : %s\n", keys[k].referenceColumn);
                    LogTrace("Tablename : %s\n", keys[k].referenceTable);
                }
            }
            parts.push_back(fmt::format("\tFOREIGN KEY({}) REFERENCES {} ({}) ON DELETE CASCADE", Joined(local, ","),
                                        keys[start].referenceTable, Joined(referenced, ",")));
            if (rules.foreignKeyIndexes)
                parts.push_back(fmt::format("\tINDEX {}_IDX{} ({})", defn->name, group, Joined(local, ",")));
            start = end;
        }
    }
    std::string text = fmt::format("CREATE TABLE {}(\n", defn->name) + Joined(parts, ",\n") + rules.createEnd;
    LogTrace("Create query is\n%s\n", text);
    return text;
}

std::vector<std::size_t> ResultSourcesOfColumns(const TableDefn& defn,
                                                const std::vector<ResultColumnDescriptor>& columns) {
    std::vector<std::size_t> sources(defn.columns.size());
    for (std::size_t i = 0; i < defn.columns.size(); ++i) {
        std::size_t source = columns.size();
        for (std::size_t k = 0; k < columns.size(); ++k)
            if (CompareNoCase(columns[k].name.c_str(), defn.columns[i]->name.c_str()) == 0) {
                source = k;
                break;
            }
        sources[i] = source == columns.size() ? i : source;
    }
    return sources;
}

namespace {
// Whether another column reads the same result column as column i: its cell is then
// copied, not moved.
bool SourceShared(const std::vector<std::size_t>& sources, std::size_t i) {
    for (std::size_t k = 0; k < sources.size(); ++k)
        if (k != i && sources[k] == sources[i]) return true;
    return false;
}
}  // namespace

// Fills values (one NULL per column of the definition) from the cells; false (logged) when
// a cell does not convert.
bool ConvertCellsToRowValues(const DialectRules& rules, const TableDefn& defn,
                             const std::vector<ResultColumnDescriptor>& columns, std::span<ColumnValue> cells,
                             const std::vector<std::size_t>& sources, std::span<ColumnValue> values) {
    for (std::size_t i = 0; i < defn.columns.size(); ++i) {
        const ColumnDefn& column = *defn.columns[i];
        const std::size_t source = sources[i];
        if (source >= cells.size() || source >= columns.size()) continue;
        ColumnValue& cell = cells[source];
        // A cell of the column's own type is taken as it is: moved when no other column
        // reads it too. So is a cell held as its bytes for a column held as its bytes
        // (a VARCHAR read into a CHAR column): converting would copy the bytes unchanged.
        const bool sameBytes = !cell.isNull() && IsByteType(columns[source].type) && IsByteType(column.type) &&
                               cell.length == cell.buffer->size();
        if (cell.isNull() || columns[source].type == column.type || sameBytes) {
            if (!SourceShared(sources, i))
                values[i] = std::move(cell);
            else
                values[i] = cell;
            continue;
        }
        std::optional<ColumnValue> value = ConvertCellToColumnType(cell, columns[source].type, column.type);
        if (!value) {
            LogError("%sConvResultsetToRowobject : value of column %s cannot be read as type %d\n", rules.prefix,
                     column.name, static_cast<int>(column.type));
            return false;
        }
        values[i] = std::move(*value);
    }
    return true;
}

bool ConvertCellsIntoRow(const SqlDialect* dialect, const TableDefn& defn,
                         const std::vector<ResultColumnDescriptor>& columns, std::span<ColumnValue> cells,
                         const std::vector<std::size_t>& sources, std::span<ColumnValue> values) {
    if (!dialect) return false;
    if (dialect->rules->logsRowEntry) LogTrace("@@@ Inside %sConvResultsetToRowobject @@@\n", dialect->rules->prefix);
    return ConvertCellsToRowValues(*dialect->rules, defn, columns, cells, sources, values);
}

std::optional<std::vector<ColumnValue>> ConvertCellsForTable(const SqlDialect* dialect, const TableDefn& defn,
                                                             const std::vector<ResultColumnDescriptor>& columns,
                                                             std::span<ColumnValue> cells,
                                                             const std::vector<std::size_t>& sources) {
    std::vector<ColumnValue> values(defn.columns.size());
    if (!ConvertCellsIntoRow(dialect, defn, columns, cells, sources, values)) return std::nullopt;
    return values;
}

std::optional<std::vector<ColumnValue>> ConvertResultRow(const DialectRules& rules, const QueryResultSet* result,
                                                         const char* table) {
    if (rules.logsRowEntry) LogTrace("@@@ Inside %sConvResultsetToRowobject @@@\n", rules.prefix);
    if (!result || !result->cursor || *result->cursor >= result->rows.size()) return std::nullopt;
    const ResultRow& cells = result->rows[*result->cursor];
    const TableDefn* defn = DefinitionWithColumns(table);
    if (!defn) {
        // SQLite needs the definition; the others copy the cells as they are.
        if (rules.convertNeedsDefinition) return std::nullopt;
        return std::vector<ColumnValue>(cells.begin(), cells.end());
    }
    // A row of the table: each column taken from the result column of its name (else
    // its position) and converted to the column's type.
    std::vector<ColumnValue> copies(cells.begin(), cells.end());
    std::vector<ColumnValue> values(defn->columns.size());
    if (!ConvertCellsToRowValues(rules, *defn, result->columns, copies, ResultSourcesOfColumns(*defn, result->columns),
                                 values))
        return std::nullopt;
    return values;
}
