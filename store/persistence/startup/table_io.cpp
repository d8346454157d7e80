// Tables between the store and their databases: statement generation through each
// table's dialect, create, load, save, default data and index tables.
#include <fmt/printf.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <unordered_set>

#include "platform/win/host.h"
#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/query/select_query.h"
#include "store/persistence/startup/batched_save.h"
#include "store/persistence/startup/row_write.h"
#include "store/persistence/startup/startup_state.h"
#include "store/xml/table_xml.h"

using namespace startup_detail;

namespace {

constexpr std::size_t kSaveBatchNames = 50;

std::string LowerName(const char* name) {
    return ToLowerString(name);
}

// The name the database knows the table by: the definition's own spelling.
std::string DefinedName(const char* tableName) {
    const TableDefn* defn = GetTableDefn(tableName);
    return defn ? defn->name : std::string(tableName);
}

// Runs a select on the table's connection and hands the connection back.
std::unique_ptr<QueryResultSet> QueryForTable(const char* tableName, const char* statement,
                                              bool* noConnection) {
    *noConnection = false;
    const std::optional<std::string> connName = GetTableConnectionName(tableName);
    DBConnection* connection = connName ? GetConnection(connName->c_str()) : nullptr;
    if (!connection) {
        *noConnection = true;
        return nullptr;
    }
    std::unique_ptr<QueryResultSet> result = ExecuteQuery(connection, statement);
    ReleaseConnection(connName->c_str());
    return result;
}

bool RunOnTableConnection(const char* tableName, const char* statement) {
    const std::optional<std::string> connName = GetTableConnectionName(tableName);
    DBConnection* connection = connName ? GetConnection(connName->c_str()) : nullptr;
    if (!connection) return false;
    const bool done = ExecuteUpdate(connection, statement) == 1;
    ReleaseConnection(connName->c_str());
    return done;
}

// The dictionary's definitions with every referenced table before the tables that
// reference it; a cycle is broken where it closes.
std::vector<const TableDefn*> DefinitionsInForeignKeyOrder() {
    std::vector<const TableDefn*> all;
    for (VectorNode* node = gv_dataDictionary.first.get(); node; node = node->next.get())
        if (const TableDefn* defn = ElementOf<TableDefn>(node)) all.push_back(defn);
    std::vector<const TableDefn*> ordered;
    std::set<std::string> placed, visiting;
    std::function<void(const TableDefn*)> visit = [&](const TableDefn* defn) {
        const std::string key = LowerName(defn->name.c_str());
        if (placed.count(key) || visiting.count(key)) return;
        visiting.insert(key);
        if (defn->constraints && defn->constraints->foreignKeys)
            for (const ForeignKeyDefn& fk : *defn->constraints->foreignKeys)
                if (const TableDefn* referenced = GetTableDefn(fk.referenceTable.c_str()))
                    visit(referenced);
        visiting.erase(key);
        placed.insert(key);
        ordered.push_back(defn);
    };
    for (const TableDefn* defn : all) visit(defn);
    return ordered;
}

// The rows of a load, converted to the table's types as they are fetched and appended
// once the whole query has been read: a query that fails leaves no table behind, and no
// table lock is taken while the connection is held. A row that does not convert ends the
// conversion (logged); the rows before it are still appended, as they always were.
class TableRowsReader : public QueryRowReader {
public:
    // With a dialect: LoadTable's conversion (each column by name, else position). Without:
    // the columns by name only; a selection lacking some keeps them NULL and not held.
    TableRowsReader(const TableDefn* defn, const SqlDialect* dialect, bool byDialect)
        : defn_(defn), dialect_(dialect), byDialect_(byDialect) {}

    bool Columns(const std::vector<ResultColumnDescriptor>& columns) override {
        rows_.clear();
        storage_.Clear();
        converting_ = true;
        namesMatch_ = true;
        columns_ = columns;
        columnCount_ = columns.size();
        if (!defn_) return true;
        if (byDialect_) {
            sources_ = ResultSourcesOfColumns(*defn_, columns);
            for (std::size_t i = 0; i < defn_->columns.size(); ++i) {
                const bool named = sources_[i] < columns.size() &&
                                   CompareNoCase(columns[sources_[i]].name.c_str(), defn_->columns[i]->name.c_str()) == 0;
                namesMatch_ = namesMatch_ && named;
            }
            return true;
        }
        named_.assign(defn_->columns.size(), std::nullopt);
        for (std::size_t i = 0; i < defn_->columns.size(); ++i)
            for (std::size_t k = 0; k < columns.size(); ++k)
                if (CompareNoCase(columns[k].name.c_str(), defn_->columns[i]->name.c_str()) == 0) {
                    named_[i] = k;
                    break;
                }
        return true;
    }

    bool Row(std::span<ColumnValue> cells) override {
        // Rows past a failed one are still fetched, so a failing fetch is told as before.
        if (!defn_ || !converting_ || (byDialect_ && (!namesMatch_ || !dialect_))) return true;
        std::unique_ptr<RowObject> row = byDialect_ ? FromDialect(cells) : FromNamedColumns(cells);
        if (!row) {
            converting_ = false;
            return true;
        }
        // Into the block the table will keep, now: no heap copy of every row waits for
        // the append.
        try {
            row->values.MoveInto(storage_);
        } catch (const std::bad_alloc&) {
            // The row keeps its own values; the append moves them.
        }
        rows_.push_back(std::move(row));
        return true;
    }

    std::size_t columnCount() const { return columnCount_; }
    bool namesMatch() const { return namesMatch_; }
    bool everyRowConverted() const { return converting_; }
    // Appends the converted rows to the table; false when one is refused.
    bool AppendTo(const char* table) {
        const bool everyAdded = AddNewRows(table, rows_, &storage_) == rows_.size();
        rows_.clear();
        storage_.Clear();
        return everyAdded;
    }

private:
    std::unique_ptr<RowObject> FromDialect(std::span<ColumnValue> cells) {
        // The values go straight into the row's own array, without a vector between.
        auto row = std::make_unique<RowObject>(defn_->columns.size());
        if (!ConvertCellsIntoRow(dialect_, *defn_, columns_, cells, sources_, row->values)) return nullptr;
        row->state = ROW_SAVED;
        return row;
    }
    std::unique_ptr<RowObject> FromNamedColumns(std::span<ColumnValue> cells) {
        std::vector<ColumnValue> values(defn_->columns.size());
        for (std::size_t i = 0; i < defn_->columns.size(); ++i) {
            if (!named_[i] || *named_[i] >= cells.size()) continue;
            std::optional<ColumnValue> value =
                ConvertCellToColumnType(cells[*named_[i]], columns_[*named_[i]].type, defn_->columns[i]->type);
            if (!value) {
                LogError("Value of column %s cannot be read as type %d\n", defn_->columns[i]->name,
                         static_cast<int>(defn_->columns[i]->type));
                return nullptr;
            }
            values[i] = std::move(*value);
        }
        auto row = std::make_unique<RowObject>(std::move(values));
        row->state = ROW_SAVED;
        // Columns the selection did not read are not the database's NULLs: an update must
        // leave them as the database holds them.
        if (std::any_of(named_.begin(), named_.end(), [](const auto& source) { return !source; })) {
            row->heldColumns = std::make_unique<std::vector<bool>>(named_.size());
            for (std::size_t i = 0; i < named_.size(); ++i) (*row->heldColumns)[i] = named_[i].has_value();
        }
        return row;
    }

    const TableDefn* defn_;
    const SqlDialect* dialect_;
    bool byDialect_;
    std::vector<ResultColumnDescriptor> columns_;
    std::size_t columnCount_ = 0;
    std::vector<std::size_t> sources_;
    std::vector<std::optional<std::size_t>> named_;
    bool namesMatch_ = true;
    bool converting_ = true;
    // The values of the converted rows, handed to the table on append; declared before
    // the rows, so it outlives them.
    RowStorage storage_;
    std::vector<std::unique_ptr<RowObject>> rows_;
};

// Reads a select on the table's connection into the reader and hands the connection back.
bool ReadForTable(const char* tableName, const char* statement, QueryRowReader* reader, bool* noConnection) {
    *noConnection = false;
    const std::optional<std::string> connName = GetTableConnectionName(tableName);
    DBConnection* connection = connName ? GetConnection(connName->c_str()) : nullptr;
    if (!connection) {
        *noConnection = true;
        return false;
    }
    const bool read = ReadQueryRows(connection, statement, reader);
    ReleaseConnection(connName->c_str());
    return read;
}

bool IsIntegerType(BYTE type) {
    return type >= HYL_SQL_TINYINT && type <= HYL_SQL_UNSIGNED_LONG_INT;
}

std::optional<std::int32_t> ReadIdentifier(const ColumnValue& value, BYTE type) {
    if (value.isNull() || !IsIntegerType(type)) return std::nullopt;
    if (type == HYL_SQL_BIGINT || type == HYL_SQL_UNSIGNED_LONG_INT) {
        const std::optional<std::int64_t> wide = value.As<std::int64_t>();
        if (!wide) return std::nullopt;
        return static_cast<std::int32_t>(*wide);
    }
    return value.As<std::int32_t>();
}

bool DefaultDominantCheck(const char* tableName) {
    return GetTableDefn((std::string(tableName) + "_IDX").c_str()) != nullptr;
}

std::mutex& DominantCheckMutex() {
    static std::mutex mutex;
    return mutex;
}
DominantTableCheck& DominantCheck() {
    static DominantTableCheck check = DefaultDominantCheck;
    return check;
}

}  // namespace

// ---- statement generation ---------------------------------------------------------------

SqlText GenerateSelectQuery(const SelectQuery* query) {
    if (!query) return std::nullopt;
    const char* table = nullptr;
    if (!query->tables.empty() && query->tables.front())
        table = query->tables.front()->name;
    else if (!query->joins.empty() && query->joins.front())
        table = query->joins.front()->baseTable;
    if (!table) {
        LogError("No Tables selected in select query.\n");
        return std::nullopt;
    }
    const SqlDialect* dialect = GetTableDialect(table);
    if (!dialect) return std::nullopt;
    SqlText text = dialect->genSelect(query);
    if (text) LogDebug("Generated Select Query: %s\n", *text);
    return text;
}

SqlText GenerateUpdateQuery(const char* tableName, const RowObject* row) {
    const SqlDialect* dialect = tableName ? GetTableDialect(tableName) : nullptr;
    if (!dialect) return std::nullopt;
    SqlText text = dialect->genUpdate(tableName, row);
    if (text) LogDebug("Generated Update Query: %s\n", *text);
    return text;
}

SqlText GenerateInsertQuery(const char* tableName, const RowObject* row) {
    const SqlDialect* dialect = tableName ? GetTableDialect(tableName) : nullptr;
    if (!dialect) return std::nullopt;
    SqlText text = dialect->genInsert(tableName, row);
    if (text) LogDebug("Generated Insert Query: %s\n", *text);
    return text;
}

SqlText GenerateDeleteQuery(const char* tableName, const RowObject* row) {
    const SqlDialect* dialect = tableName ? GetTableDialect(tableName) : nullptr;
    if (!dialect) return std::nullopt;
    SqlText text = dialect->genDelete(tableName, row);
    if (text) LogDebug("Generated Delete Query: %s\n", *text);
    return text;
}

SqlText GenerateCreateTableQuery(const char* tableName) {
    const SqlDialect* dialect = tableName ? GetTableDialect(tableName) : nullptr;
    if (!dialect) return std::nullopt;
    SqlText text = dialect->genCreate(tableName);
    if (text) LogDebug("Generated Create Table Query: %s\n", *text);
    return text;
}

ConvertedRow ConvertResultRowToRowObject(const QueryResultSet* result, const char* tableName) {
    const SqlDialect* dialect = tableName ? GetTableDialect(tableName) : nullptr;
    if (!dialect) return nullptr;
    return dialect->convertRow(result, tableName);
}

// ---- create -------------------------------------------------------------------------------

bool CreateTableOnConnection(const char* tableName, const char* connName) {
    if (!tableName || !connName) return false;
    const char* type = GetConnectionDatabaseType(connName);
    const SqlDialect* dialect = type ? GetSqlDialect(type) : nullptr;
    if (!dialect) return false;
    SqlText text = dialect->genCreate(tableName);
    if (!text) return false;
    LogDebug("Generated Create Table Query: %s\n", *text);
    DBConnection* connection = GetConnection(connName);
    if (!connection) return false;
    const bool done = ExecuteUpdate(connection, text->c_str()) == 1;
    ReleaseConnection(connName);
    return done;
}

bool CreateAllTables() {
    bool everyCreated = true;
    for (const TableDefn* defn : DefinitionsInForeignKeyOrder()) {
        const char* name = defn->name.c_str();
        SqlText text = GenerateCreateTableQuery(name);
        if (!text) {
            LogError("Cannot create table %s.\n", name);
            everyCreated = false;
            continue;
        }
        if (RunOnTableConnection(name, text->c_str())) continue;
        everyCreated = false;
        // A table that answers a select exists already; anything else is a real failure.
        bool noConnection = false;
        const std::string probe = fmt::sprintf("select * from %s where 1 = 0", defn->name);
        if (!QueryForTable(name, probe.c_str(), &noConnection))
            LogError("Cannot create table %s.\n", name);
        else
            LogDebug("Table %s exists already.\n", name);
    }
    return everyCreated;
}

bool CreateDB(const char* name) {
    const char* first = nullptr;
    {
        StartupState& state = State();
        std::lock_guard<std::mutex> hold(state.poolsMutex);
        if (!state.pools.empty()) first = state.pools.front()->name.c_str();
    }
    DBConnection* connection = first ? GetConnection(first) : nullptr;
    if (!connection) {
        LogError("Cannot create DB.  Connection not established.\n");
        return false;
    }
    const std::string statement = fmt::sprintf("create database %s", name ? name : "");
    const bool done = name && ExecuteUpdate(connection, statement.c_str()) == 1;
    ReleaseConnection(first);
    if (!done) LogError("Cannot create database %s.\n", name);
    return done;
}

// ---- load -----------------------------------------------------------------------------------

bool LoadTable(const char* tableName) {
    LogTrace("\nLoading Table : %s\n", tableName);
    if (!tableName) return false;
    const std::string statement = fmt::sprintf("select * from %s", DefinedName(tableName));
    const TableDefn* defn = GetTableDefn(tableName);
    TableRowsReader reader(defn, GetTableDialect(tableName), true);
    bool noConnection = false;
    const bool read = ReadForTable(tableName, statement.c_str(), &reader, &noConnection);
    if (noConnection) return false;
    if (!read) {
        LogError("Error in executing select query for %s\n", tableName);
        return false;
    }
    if (!defn) {
        LogError("Error in getting Table Definition for %s\n", tableName);
        return false;
    }
    if (reader.columnCount() != defn->columns.size() || !reader.namesMatch()) {
        LogError(
            "\nLoadTable Failed for %s table as there is mismatch between table definition in "
            "datadictionary "
            "and actual table in database\n",
            tableName);
        return false;
    }
    if (!CreateTable(tableName)) {
        LogError("CreateTable Failed \n");
        return false;
    }
    if (!GetTableDialect(tableName)) return false;
    return reader.AppendTo(tableName) && reader.everyRowConverted();
}

bool LoadTableByQuery(const char* tableName, const char* query) {
    LogTrace("\t@@@@@ Inside LoadTableByQuery() @@@@@\n");
    LogTrace("\nLoading Table : %s\n", tableName);
    LogTrace("\nSelect Query  : %s\n", query);
    if (!tableName || !query) return false;
    const TableDefn* defn = GetTableDefn(tableName);
    TableRowsReader reader(defn, nullptr, false);
    bool noConnection = false;
    const bool read = ReadForTable(tableName, query, &reader, &noConnection);
    if (noConnection) return false;
    if (!read) {
        LogError("Error in executing select query \n");
        return false;
    }
    if (!defn) {
        LogError("Error in getting Table Definition for %s\n", tableName);
        return false;
    }
    if (!CreateTable(tableName)) {
        LogError("CreateTable Failed \n");
        return false;
    }
    return reader.AppendTo(tableName) && reader.everyRowConverted();
}

bool LoadViewByQuery(const char* viewName, const char* tableName, const char* query) {
    LogTrace("@@@ Inside LoadViewByQuery @@@\n");
    LogTrace("\nLoading View Data : %s\n", viewName);
    if (!viewName || !tableName || !query) return false;
    TableDefn* defn = GetTableDefn(tableName);
    if (!defn) {
        LogError("Error in getting Table Definition for %s\n", tableName);
        return false;
    }
    TableRowsReader reader(defn, nullptr, false);
    bool noConnection = false;
    if (!ReadForTable(tableName, query, &reader, &noConnection)) {
        if (!noConnection) LogError("Error in executing select query \n");
        return false;
    }
    std::vector<std::unique_ptr<ViewColumnDefn>> columns;
    for (const auto& column : defn->columns) {
        LogTrace("%s\t", column->name);
        columns.push_back(CreateViewColumnDefn(column->name.c_str(), 0, 0, column.get()));
    }
    auto viewDefn = CreateCustomViewDefn(1, {defn->name}, std::move(columns));
    if (!viewDefn || !CreateCustomViewData(viewName, std::move(viewDefn))) return false;
    return reader.AppendTo(viewName) && reader.everyRowConverted();
}

bool LoadAllTablesFromFile(const char* path) {
    std::FILE* file = path ? host::MappedFopen(path, "r") : nullptr;
    if (!file) {
        LogError("Cannot open LoadTableList Entry File.\n");
        return false;
    }
    BoundedLine line;
    while (ReadBoundedLine(file, &line)) {
        if (line.cut) continue;  // a cut selection would load other rows than asked for
        const std::size_t blank = line.text.find(' ');
        const std::string name = line.text.substr(0, blank);
        if (name.empty()) continue;
        const std::string rest =
            blank == std::string::npos ? std::string() : line.text.substr(blank + 1);
        if (rest.find("select") != std::string::npos || rest.find("SELECT") != std::string::npos) {
            LogTrace("LOADTABLE_QUERY : %s\n", rest);
            LoadTableByQuery(name.c_str(), rest.c_str());
        } else {
            if (blank != std::string::npos) LogTrace("LOADTABLE : %s\n", name);
            LoadTable(name.c_str());
        }
    }
    std::fclose(file);
    return true;
}

bool LoadAllTables() {
    LogTrace("\t@@@@@ Inside LoadAllTables() @@@@@\n");
    if (const std::optional<std::string> relative = UnrootedDataPath("loadtablelist.txt"))
        if (std::FILE* file = host::MappedFopen(relative->c_str(), "r")) {
            std::fclose(file);
            return LoadAllTablesFromFile(relative->c_str());
        }
    const std::optional<std::string> rooted = RootDataPath("loadtablelist.txt");
    if (rooted) {
        LogDebug("Opening %s\n", *rooted);
        if (std::FILE* file = host::MappedFopen(rooted->c_str(), "r")) {
            std::fclose(file);
            return LoadAllTablesFromFile(rooted->c_str());
        }
    }
    LogError("Cannot open LoadTableList Entry File.\n");
    return false;
}

bool UnLoadTable(const char* tableName) {
    std::unique_ptr<TableData> table = tableName ? RemoveTableData(tableName) : nullptr;
    if (!table) return false;
    FreeTableData(table.get());
    return true;
}

void UnLoadAllTable() {
    for (TableData* table : GetAllTableData()) {
        const std::string name = table->name;
        UnLoadTable(name.c_str());
    }
}

bool ReloadTableData() {
    UnLoadAllTable();
    return LoadAllTables();
}

// ---- save -----------------------------------------------------------------------------------

namespace {

// The generated column of a new row holding -1, the identifier given when none could be
// reserved (the sequence table unreadable or unwritable); null when there is none.
const ColumnDefn* UnreservedIdentifier(const TableData& table, const RowObject& row) {
    if (!table.tableDefn) return nullptr;
    const auto& columns = table.tableDefn->columns;
    for (std::size_t i = 0; i < columns.size() && i < row.values.size(); ++i)
        if (columns[i]->generatorName && row.values[i].buffer == MakeIdentifierValue(-1, columns[i]->type).buffer)
            return columns[i].get();
    return nullptr;
}

}  // namespace

bool SaveTable(const char* tableName) {
    LogTrace("@@@ Inside SaveTable @@@\n");
    TableData* table = tableName ? GetTableDataByName(tableName) : nullptr;
    if (!table || table->kind != KIND_TABLE) return false;
    const std::string name = table->name;
    std::vector<RowObject*> deleted;
    bool everyRowSaved = true;
    {
        CriteriaParserLock saveLock;
        const std::optional<std::string> connName = GetTableConnectionName(name.c_str());
        DBConnection* connection = connName ? GetConnection(connName->c_str()) : nullptr;
        if (!connection) return false;
        const SqlDialect* dialect = GetTableDialect(name.c_str());
        {
            std::unique_lock<std::shared_mutex> rows(table->rowsLock);
            std::vector<RowWrite> writes;
            for (RowObject* row = table->firstRow.get(); row; row = row->next.get()) {
                const BYTE state = row->state;
                if ((state & (ROW_SAVED | ROW_DELETED)) == (ROW_SAVED | ROW_DELETED))
                    writes.push_back({row, RowStatementKind::Delete});
                else if (state == (ROW_SAVED | ROW_UPDATED))
                    writes.push_back({row, RowStatementKind::Update});
                else if (state == ROW_NEW || state == (ROW_NEW | ROW_UPDATED))
                    writes.push_back({row, RowStatementKind::Insert});
            }
            const auto statementOf = [&name, table](const RowWrite& write) -> SqlText {
                switch (write.kind) {
                    case RowStatementKind::Delete:
                        return GenerateDeleteQuery(name.c_str(), write.row);
                    case RowStatementKind::Update:
                        return GenerateUpdateQuery(name.c_str(), write.row);
                    case RowStatementKind::Insert:
                        break;
                }
                if (const ColumnDefn* column = UnreservedIdentifier(*table, *write.row)) {
                    LogError("Row of table %s has no identifier in %s (no batch could be reserved); the row is "
                             "not saved\n",
                             name, column->name);
                    return std::nullopt;
                }
                return GenerateInsertQuery(name.c_str(), write.row);
            };
            // A row refused by the generator (which logged why) or not taken by the database
            // keeps its state, so a later save tries it again; the others are marked only
            // once their transaction committed.
            const std::vector<bool> saved =
                WriteRowsInTransactions(connection, dialect, name.c_str(), writes, statementOf);
            for (std::size_t i = 0; i < writes.size(); ++i) {
                RowObject* row = writes[i].row;
                if (!saved[i]) {
                    everyRowSaved = false;
                } else if (row->state & ROW_DELETED) {
                    row->state = ROW_DELETED;
                    deleted.push_back(row);
                } else {
                    row->state = ROW_SAVED;
                }
            }
        }
        ReleaseConnection(connName->c_str());
    }
    // Removal notifies listeners, who may select: no store lock is held here. Only the
    // rows this save marked are removed, and only those still in the table so marked.
    if (!deleted.empty()) RemoveRowsInState(name.c_str(), deleted, ROW_DELETED);
    return everyRowSaved;
}

bool SaveAllTables() {
    bool everySaved = true;
    for (TableData* table : GetAllTableData())
        if (table->kind == KIND_TABLE && !SaveTable(table->name.c_str())) everySaved = false;
    return everySaved;
}

bool SaveTablesFromList() {
    LogTrace("\t@@@@@ Inside SaveTablesFromList @@@@@\n");
    const std::optional<std::string> path = RootDataPath("savetableslist.txt");
    std::FILE* file = path ? host::MappedFopen(path->c_str(), "r") : nullptr;
    if (!file) {
        LogError("No tables to be saved.\n");
        return true;
    }
    BoundedLine line;
    while (ReadBoundedLine(file, &line)) {
        if (line.cut) continue;
        const std::size_t blank = line.text.find(' ');
        if (blank != std::string::npos && !line.hadLineEnd) continue;
        const std::string name = line.text.substr(0, blank);
        if (!name.empty()) SaveTable(name.c_str());
    }
    std::fclose(file);
    return true;
}

bool SaveDataInXML(const char* path) {
    LogTrace("@@@@@ Inside SaveDataInXML @@@@@\n");
    if (!path) return false;
    if (!LoadTableDataFromXMLFile(path)) {
        LogError("Cannot create DO from %s.\n", path);
        return false;
    }
    const std::string mapped = host::MapPath(path);
    xmlDoc* doc = xmlReadFile(mapped.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) {
        LogError("Error: could not parse file : %s\n", path);
        return false;
    }
    std::vector<std::string> names;
    auto flush = [&names] {
        for (const std::string& name : names) SaveTable(name.c_str());
        names.clear();
    };
    xmlNode* root = xmlDocGetRootElement(doc);
    for (xmlNode* child = root ? root->children : nullptr; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        const char* name = reinterpret_cast<const char*>(child->name);
        const bool known = std::any_of(names.begin(), names.end(), [name](const std::string& n) {
            return CompareNoCase(n.c_str(), name) == 0;
        });
        if (known) continue;
        names.push_back(name);
        if (names.size() == kSaveBatchNames) flush();
    }
    flush();
    // The parser's global state is left alone: other threads of the process may be parsing.
    xmlFreeDoc(doc);
    return true;
}

bool SaveDefaultData() {
    LogTrace("\t@@@@@ Inside SaveDefaultData @@@@@\n");
    bool fromRoot = false;
    const std::optional<std::string> relative = UnrootedDataPath("defaultdata.txt");
    std::FILE* file =
        OpenConfigFile(relative ? relative->c_str() : nullptr, "defaultdata.txt", &fromRoot);
    if (!file) {
        LogError("No default data to be prepopulated.\n");
        return true;
    }
    std::vector<std::string> names;
    char word[256];
    while (std::fscanf(file, "%255s", word) == 1) names.emplace_back(word);
    std::fclose(file);
    if (names.empty()) return true;
    // Only the file named last is loaded, as deployments have always had it.
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
        LogError("Default data file %s skipped: only the last one listed is loaded.\n", names[i]);
    const std::string path =
        fromRoot ? *RootDataPath(names.back().c_str()) : "..\\data\\" + names.back();
    return SaveDataInXML(path.c_str());
}

// ---- index tables ---------------------------------------------------------------------------

void SetDominantTableCheck(DominantTableCheck check) {
    std::lock_guard<std::mutex> hold(DominantCheckMutex());
    DominantCheck() = check ? check : DefaultDominantCheck;
}

int GetColIndex(const TableDefn* defn, const char* columnName) {
    if (!defn || !columnName) return -1;
    for (std::size_t i = 0; i < defn->columns.size(); ++i)
        if (defn->columns[i]->name == columnName) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> FindRootTable(const char* tableName) {
    std::vector<std::string> roots;
    std::set<std::string> visited;
    std::function<void(const char*)> walk = [&](const char* name) {
        if (!visited.insert(LowerName(name)).second) return;
        const TableDefn* defn = GetTableDefn(name);
        if (!defn) {
            LogError("No table definition found for %s\n", name);
            return;
        }
        if (!defn->constraints || !defn->constraints->foreignKeys ||
            defn->constraints->foreignKeys->empty()) {
            if (std::none_of(roots.begin(), roots.end(), [&](const std::string& r) {
                    return CompareNoCase(r.c_str(), name) == 0;
                }))
                roots.push_back(defn->name);
            return;
        }
        for (const ForeignKeyDefn& fk : *defn->constraints->foreignKeys)
            walk(fk.referenceTable.c_str());
    };
    if (tableName) walk(tableName);
    return roots;
}

bool AddEntryToIndexTable(const char* tableName, const RowObject* row) {
    LogTrace("@@@ Inside AddEntryToIndexTable @@@\n");
    const TableDefn* defn = tableName ? GetTableDefn(tableName) : nullptr;
    if (!defn || !row) {
        LogError("No table definition found for %s\n", tableName);
        return false;
    }
    if (!defn->constraints || !defn->constraints->foreignKeys ||
        defn->constraints->foreignKeys->empty()) {
        LogTrace("No References.\n");
        return true;
    }
    const auto& foreignKeys = *defn->constraints->foreignKeys;
    DominantTableCheck isDominant;
    {
        std::lock_guard<std::mutex> hold(DominantCheckMutex());
        isDominant = DominantCheck();
    }
    const std::vector<std::string> roots = FindRootTable(tableName);
    for (std::size_t n = 0; n < roots.size() && n < foreignKeys.size(); ++n) {
        const TableDefn* root = GetTableDefn(roots[n].c_str());
        if (!root || !isDominant(root->name.c_str()) || !root->constraints ||
            root->constraints->primaryKeyColumns.size() != 1)
            continue;
        const int position = GetColIndex(defn, foreignKeys[n].localColumn.c_str());
        if (position < 0 || static_cast<std::size_t>(position) >= row->values.size()) continue;
        const std::optional<std::int32_t> id =
            ReadIdentifier(row->values[position], defn->columns[position]->type);
        if (!id) {
            LogError("Foreign key %s of %s is no integer identifier, no index entry\n",
                     foreignKeys[n].localColumn, tableName);
            continue;
        }
        std::string statement;
        if ((row->state & (ROW_SAVED | ROW_DELETED)) == (ROW_SAVED | ROW_DELETED)) {
            statement = fmt::sprintf("DELETE FROM %s_IDX WHERE %s = %d", root->name,
                                     root->constraints->primaryKeyColumns.front(), *id);
        } else if (row->state == ROW_NEW || row->state == (ROW_NEW | ROW_UPDATED)) {
            // The table name as a literal of the index table's dialect, escaped as every value.
            const SqlText name = SqlLiteral(GetTableDialect(root->name.c_str()),
                                            ColumnValue::FromText(defn->name), HYL_SQL_CHARACTER);
            if (!name) {
                LogError("Cannot Add Entry Into Index Table\n");
                return false;
            }
            statement = fmt::sprintf("INSERT INTO %s_IDX VALUES (%d, %s)", root->name, *id, *name);
            LogTrace("Insert Query for %s_IDX: %s\n", root->name, statement);
        } else {
            continue;
        }
        DBConnection* connection = GetConnection(nullptr);
        const bool done = connection && ExecuteUpdate(connection, statement.c_str()) == 1;
        if (connection) ReleaseConnection(nullptr);
        if (!done) {
            LogError("Cannot Add Entry Into Index Table\n");
            return false;
        }
    }
    return true;
}
