// Tables, rows and result sets of the in-memory store.
#include "store/tables/tables.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include <fmt/printf.h>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/datetime/hyl_datetime.h"
#include "store/foundation/text_utils.h"
#include "store/notify/notify.h"

namespace {

// Store operations never let an allocation failure escape: they give their failure
// result (false, null, none) instead, with an ERROR line where one is given (the log
// drops an entry it finds no memory for).
template <typename Body>
auto UnlessOutOfMemory(const char* message, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (message) LogError(message);
        if constexpr (!std::is_void_v<decltype(body())>) return {};
    }
}

constexpr const char* kRowNotAdded = "not able to Add row \n";
constexpr const char* kNoMemory = "MEMORY_ALLOCATION_FAILURE\n";

std::string FoldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return folded;
}

// The tables themselves (gv_tableRegistry lists them in creation order, unowned), with a
// folded-name index; one mutex makes find-or-create and removal atomic.
struct TableRegistry {
    std::mutex mutex;
    std::unordered_map<TableData*, std::unique_ptr<TableData>> owned;
    std::unordered_map<std::string, TableData*> byName;
};

TableRegistry& Registry() {
    static TableRegistry registry;
    return registry;
}

TableData* FindLocked(TableRegistry& registry, const char* name) {
    auto found = registry.byName.find(FoldName(name));
    return found == registry.byName.end() ? nullptr : found->second;
}

// Registers the table in the index, the owners and the ordered list, or in none of them
// (an allocation failure undoes what was done and goes on to the caller).
bool RegisterLocked(TableRegistry& registry, std::unique_ptr<TableData> table) {
    std::string key = FoldName(table->name);
    if (registry.byName.count(key)) return false;
    TableData* raw = table.get();
    auto named = registry.byName.emplace(std::move(key), raw).first;
    bool listed = false;
    try {
        registry.owned.emplace(raw, std::move(table));
        listed = AddElementValue(&gv_tableRegistry, raw) == 1;
    } catch (const std::bad_alloc&) {
        registry.byName.erase(named);
        registry.owned.erase(raw);
        throw;
    }
    if (!listed) {
        LogError(kNoMemory);
        registry.byName.erase(named);
        registry.owned.erase(raw);
        return false;
    }
    return true;
}

bool HasColumns(const TableData* table) {
    if (table->kind == KIND_VIEW) return table->viewDefn && !table->viewDefn->columns.empty();
    return table->tableDefn && !table->tableDefn->columns.empty();
}

bool IsPrimaryKeyColumn(const TableDefn* defn, const char* columnName) {
    if (!defn || !defn->constraints) return false;
    for (const std::string& key : defn->constraints->primaryKeyColumns) {
        if (CompareNoCase(key.c_str(), columnName) == 0) return true;
    }
    return false;
}

// Column lookup in a result set's definition: (position, type) or none.
struct ColumnHit {
    std::uint32_t position;
    BYTE type;
};

std::optional<ColumnHit> FindResultColumn(const ResultData* result, const char* columnName) {
    if (!result || !columnName) return std::nullopt;
    if (result->kind == KIND_VIEW) {
        if (!result->viewDefn) return std::nullopt;
        const auto& columns = result->viewDefn->columns;
        for (std::uint32_t i = 0; i < columns.size(); ++i) {
            if (CompareNoCase(columns[i]->name.c_str(), columnName) == 0) {
                const BYTE type = columns[i]->baseColumn ? columns[i]->baseColumn->type : 0;
                return ColumnHit{i, type};
            }
        }
        return std::nullopt;
    }
    if (!result->tableDefn) return std::nullopt;
    const auto& columns = result->tableDefn->columns;
    for (std::uint32_t i = 0; i < columns.size(); ++i) {
        if (CompareNoCase(columns[i]->name.c_str(), columnName) == 0) return ColumnHit{i, columns[i]->type};
    }
    return std::nullopt;
}

// Appends at the tail in O(1); the caller holds the table exclusively.
// The identifier a generator column's value stands for (rounded up); none for NULL, a
// width the column's type does not have, or a value beyond any identifier.
std::optional<std::int64_t> IdentifierOf(const ColumnValue& value, BYTE type) {
    if (value.isNull()) return std::nullopt;
    double number = 0;
    switch (type) {
        case HYL_SQL_BIGINT:
        case HYL_SQL_UNSIGNED_LONG_INT:
            if (value.length != 8) return std::nullopt;
            return value.As<std::int64_t>();
        case HYL_SQL_FLOAT:
        case HYL_SQL_REAL:
            if (value.length != 4) return std::nullopt;
            number = value.As<float>().value_or(0);
            break;
        case HYL_SQL_DOUBLE:
            if (value.length != 8) return std::nullopt;
            number = value.As<double>().value_or(0);
            break;
        case HYL_SQL_TINYINT:
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_INT:
        case HYL_SQL_UNSIGNED_INT:
            if (value.length != 4) return std::nullopt;
            return value.As<std::int32_t>();
        default:
            return std::nullopt;  // a text or date column holds no identifier to stay above
    }
    if (!(std::fabs(number) < 1e18)) return std::nullopt;
    return static_cast<std::int64_t>(std::ceil(number));
}

// The caller holds the table exclusively.
void RaiseGeneratorCeilings(TableData* table, const RowObject& row) {
    for (TableData::GeneratorCeiling& ceiling : table->generatorCeilings) {
        const std::optional<std::int64_t> id =
            IdentifierOf(row.values[ceiling.column], table->tableDefn->columns[ceiling.column]->type);
        if (id && *id > ceiling.highest) ceiling.highest = *id;
    }
}

// The highest identifier the table's rows hold in a generator column (0: none).
std::int64_t HighestHeldIdentifier(const TableData& table, std::uint32_t column) {
    std::shared_lock<std::shared_mutex> hold(table.rowsLock);
    for (const TableData::GeneratorCeiling& ceiling : table.generatorCeilings)
        if (ceiling.column == column) return ceiling.highest;
    return 0;
}

void AppendLocked(TableData* table, std::unique_ptr<RowObject> row) {
    RowObject* raw = row.get();
    RaiseGeneratorCeilings(table, *raw);
    try {
        raw->values.MoveInto(table->rowStorage);
    } catch (const std::bad_alloc&) {
        // The row keeps its own values: it scans slower but is complete.
    }
    raw->owner = table;
    raw->prev = table->lastRow;
    raw->next.reset();
    if (table->lastRow) table->lastRow->next = std::move(row);
    else table->firstRow = std::move(row);
    table->lastRow = raw;
    ++table->rowCount;
    ++table->liveRowCount;
}

// Unlinks in O(1) and hands the row back; the caller holds the table exclusively.
std::unique_ptr<RowObject> UnlinkLocked(TableData* table, RowObject* row) {
    std::unique_ptr<RowObject> owned = row->prev ? std::move(row->prev->next) : std::move(table->firstRow);
    std::unique_ptr<RowObject> following = std::move(row->next);
    if (following) following->prev = row->prev;
    else table->lastRow = row->prev;
    if (row->prev) row->prev->next = std::move(following);
    else table->firstRow = std::move(following);
    row->prev = nullptr;
    row->owner = nullptr;
    --table->liveRowCount;
    return owned;
}

// Frees an unlinked row and gives its values' block back to the table; the caller holds
// the table exclusively, as every use of the row storage needs.
void FreeUnlinkedLocked(TableData* table, std::unique_ptr<RowObject> row) {
    if (!row) return;
    row->values.ReleaseTo(table->rowStorage);
    row.reset();
}

// Notifications built under a table lock and sent once every lock is released.
using PendingNotifications = std::vector<std::unique_ptr<IMDSNotification>>;

// A notification that cannot be built for want of memory is not sent; the change itself
// stands.
void CollectNotification(PendingNotifications* pending, const RowObject* row, const TableData* table) noexcept {
    if (!HasNotificationListeners()) return;
    try {
        auto notification = std::make_unique<IMDSNotification>();
        notification->tableName = table->name;
        notification->row.values = row->values;
        notification->row.state = row->state;
        notification->timeStamp = GetCurrentHylDateTime();
        pending->push_back(std::move(notification));
    } catch (const std::bad_alloc&) {
    }
}

// Sent after the change is made: running out of memory here stops the sending, never
// the change.
void SendPending(const PendingNotifications& pending) noexcept {
    try {
        for (const auto& notification : pending) {
            LogTrace("In send notification\n");
            DispatchNotification(*notification);
        }
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

Vector gv_tableRegistry;

ColumnValue MakeIdentifierValue(std::int32_t id, BYTE type) {
    switch (type) {
        case HYL_SQL_BIGINT:
        case HYL_SQL_UNSIGNED_LONG_INT: {
            const std::int64_t wide = id;
            return ColumnValue::FromBytes(&wide, 8);
        }
        case HYL_SQL_FLOAT:
        case HYL_SQL_REAL: {
            const float number = static_cast<float>(id);
            return ColumnValue::FromBytes(&number, 4);
        }
        case HYL_SQL_DOUBLE: {
            const double number = id;
            return ColumnValue::FromBytes(&number, 8);
        }
        default:
            return ColumnValue::FromBytes(&id, 4);
    }
}

namespace {

std::unique_ptr<ResultData> NewResult(const TableData* table) {
    auto result = std::make_unique<ResultData>();
    result->kind = table->kind;
    result->tableDefn = table->kind == KIND_TABLE ? table->tableDefn : nullptr;
    result->viewDefn = table->kind == KIND_VIEW ? table->viewDefn.get() : nullptr;
    result->columnCount = table->columnCount;
    return result;
}

// Parses and resolves criteria for a base table; null when they do not parse or the
// table cannot be filtered. The caller holds the parser lock.
CriteriaTree PrepareCriteria(const TableData* table, const char* criteria) {
    CriteriaTree tree = ParseCriteria(criteria);
    if (!tree) return nullptr;
    if (table->kind != KIND_TABLE || !HasColumns(table)) return nullptr;
    ResolveCriteria(table->tableDefn->columns, tree.get());
    return tree;
}

// The criteria parsed, resolved and compiled under the parser lock, which is released
// before any row is read; none when they do not parse or the table cannot be filtered.
std::optional<CompiledCriteria> PrepareMatcher(const TableData* table, const char* criteria) {
    CriteriaParserLock parserLock;
    CriteriaTree tree = PrepareCriteria(table, criteria);
    if (!tree) return std::nullopt;
    return CompiledCriteria(tree.get());
}

template <typename T>
int CompareRead(const ColumnValue& a, const ColumnValue& b) {
    const std::optional<T> x = a.As<T>();
    const std::optional<T> y = b.As<T>();
    if (!x || !y) return static_cast<int>(x.has_value()) - static_cast<int>(y.has_value());
    if (*x < *y) return -1;
    if (*y < *x) return 1;
    return 0;
}

int DateKey(const ColumnValue& value, std::int64_t* key) {
    const std::optional<HylDateTime> read = ReadHylValue(value);
    if (!read) return 0;
    std::int64_t k = 0;
    if (read->date) k = (static_cast<std::int64_t>(read->date->year) * 100 + read->date->month) * 100 + read->date->day;
    k *= 1000000;
    if (read->time) k += (read->time->hour * 100 + read->time->minute) * 100 + read->time->second;
    *key = k;
    return 1;
}

// Three-way order of two non-NULL values of one column type.
int CompareValues(const ColumnValue& a, const ColumnValue& b, BYTE type) {
    switch (type) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
            return CompareRead<std::int32_t>(a, b);
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_UNSIGNED_INT:
            return CompareRead<std::uint32_t>(a, b);
        case HYL_SQL_BIGINT:
            return CompareRead<std::int64_t>(a, b);
        case HYL_SQL_UNSIGNED_LONG_INT:
            return CompareRead<std::uint64_t>(a, b);
        case HYL_SQL_FLOAT:
        case HYL_SQL_REAL:
            return CompareRead<float>(a, b);
        case HYL_SQL_DOUBLE:
            return CompareRead<double>(a, b);
        case HYL_SQL_BOOLEAN:
            return CompareRead<std::uint8_t>(a, b);
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME: {
            std::int64_t x = 0, y = 0;
            const int hasX = DateKey(a, &x), hasY = DateKey(b, &y);
            if (!hasX || !hasY) return hasX - hasY;
            return x < y ? -1 : (y < x ? 1 : 0);
        }
        default: {
            const int order = a.buffer->compare(*b.buffer);
            return order < 0 ? -1 : (order > 0 ? 1 : 0);
        }
    }
}

// Sorts rows on an integer column with each key read once, instead of reading two rows
// for every comparison; the order is the one CompareValues gives: NULL below a value too
// short for the type, both below every readable value, equal keys keep their order.
template <typename T>
void SortByIntegerKey(std::vector<RowObject*>* entries, std::uint32_t position, bool ascending) {
    struct Keyed {
        int rank;  // 0 NULL, 1 unreadable, 2 a value
        T key;
        RowObject* row;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(entries->size());
    for (RowObject* row : *entries) {
        Keyed entry{0, T{}, row};
        if (position < row->values.size() && !row->values[position].isNull()) {
            const std::optional<T> read = row->values[position].As<T>();
            entry.rank = read ? 2 : 1;
            if (read) entry.key = *read;
        }
        keyed.push_back(entry);
    }
    auto less = [](const Keyed& a, const Keyed& b) { return a.rank != b.rank ? a.rank < b.rank : a.key < b.key; };
    if (ascending) std::stable_sort(keyed.begin(), keyed.end(), less);
    else std::stable_sort(keyed.begin(), keyed.end(), [&less](const Keyed& a, const Keyed& b) { return less(b, a); });
    for (std::size_t i = 0; i < keyed.size(); ++i) (*entries)[i] = keyed[i].row;
}

enum class PrintMode { Table, View, Result, TableText, ViewText };

// One field in the store's fixed print layout.
void AppendPrintField(std::string* out, const ColumnValue& value, BYTE type, PrintMode mode) {
    if (value.isNull()) {
        *out += "NULL\t";
        return;
    }
    auto fixed = [&](auto read, const char* format) {
        if (read) *out += fmt::sprintf(format, *read);
        else *out += "NULL\t";
    };
    switch (type) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
        case HYL_SQL_UNSIGNED_INT:
            fixed(value.As<std::int32_t>(), "%d\t");
            break;
        case HYL_SQL_BIGINT:
            if (mode == PrintMode::Table) fixed(value.As<long long>(), "%lld\t");
            break;
        case HYL_SQL_FLOAT: {
            const std::optional<float> read = value.As<float>();
            fixed(read ? std::optional<double>(*read) : std::nullopt, "%f\t");
            break;
        }
        case HYL_SQL_DOUBLE:
            fixed(value.As<double>(), "%f\t");
            break;
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
            *out += value.data();
            *out += '\t';
            break;
        case HYL_SQL_TEXT:
            if (mode == PrintMode::Table || mode == PrintMode::Result) {
                *out += value.data();
                *out += '\t';
            }
            break;
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME:
            *out += HylValueToText(value, type).value_or("NULL");
            *out += '\t';
            break;
        case HYL_SQL_BOOLEAN:
            *out += fmt::sprintf("%d\t", static_cast<int>(static_cast<unsigned char>((*value.buffer)[0])));
            break;
        default:
            break;  // 0, 4, 8, 11, 12, 13, 20, 21: no field
    }
}

// Header and rows of a table or view in the fixed layout; the caller holds the table.
std::string FormatRows(const TableData* table, PrintMode mode, bool skipDeleted) {
    std::string out;
    const std::vector<const ColumnDefn*> bases = GetColumnDefns(table);
    if (table->kind == KIND_VIEW) {
        for (const auto& column : table->viewDefn->columns) out += column->name + "\t";
    } else {
        for (const ColumnDefn* column : bases) out += column->name + "\t";
    }
    out += "\n";
    for (const RowObject* row = table->firstRow.get(); row; row = row->next.get()) {
        if (skipDeleted && (row->state & ROW_DELETED)) continue;
        for (std::size_t i = 0; i < row->values.size() && i < bases.size(); ++i) {
            AppendPrintField(&out, row->values[i], bases[i] ? bases[i]->type : 0, mode);
        }
        out += "\n";
    }
    return out;
}

}  // namespace

// Used by the dictionary: a definition may not be removed while a table borrows it.
bool IsTableDefnInUse(const TableDefn* defn) {
    TableRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    for (const auto& [raw, table] : registry.owned) {
        if (table->tableDefn == defn) return true;
    }
    return false;
}

RowObject::~RowObject() {
    std::unique_ptr<RowObject> following = std::move(next);
    while (following) following = std::move(following->next);
}

TableData::~TableData() { firstRow.reset(); }

bool CreateTable(const char* tableName) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside CreateTable @@@\n");
        if (!tableName) return false;
        TableDefn* defn = GetTableDefn(tableName);
        if (!defn) return false;
        auto table = std::make_unique<TableData>();
        table->name = tableName;
        table->kind = KIND_TABLE;
        table->tableDefn = defn;
        table->columnCount = static_cast<std::uint32_t>(defn->columns.size());
        for (std::uint32_t i = 0; i < table->columnCount; ++i)
            if (defn->columns[i]->generatorName) table->generatorCeilings.push_back({i, 0});
        TableRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        return RegisterLocked(registry, std::move(table));
    });
}

bool CreateCustomViewData(const char* viewName, std::unique_ptr<CustomViewDefn> viewDefn) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside CreateCustomViewData @@@\n");
        if (!viewName || !viewDefn) return false;
        auto table = std::make_unique<TableData>();
        table->name = viewName;
        table->kind = KIND_VIEW;
        table->columnCount = static_cast<std::uint32_t>(viewDefn->columns.size());
        table->viewDefn = std::move(viewDefn);
        TableRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        return RegisterLocked(registry, std::move(table));
    });
}

TableData* GetTableDataByName(const char* tableName) {
    return UnlessOutOfMemory(nullptr, [&]() -> TableData* {
        LogTrace("@@@ Inside GetTableDataByName @@@\n");
        if (!tableName) return nullptr;
        TableRegistry& registry = Registry();
        std::lock_guard<std::mutex> hold(registry.mutex);
        return FindLocked(registry, tableName);
    });
}

std::vector<TableData*> GetAllTableData() {
    TableRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    std::vector<TableData*> all;
    all.reserve(registry.owned.size());
    for (const VectorNode* node = gv_tableRegistry.first.get(); node; node = node->next.get())
        all.push_back(ElementOf<TableData>(node));
    return all;
}

std::unique_ptr<TableData> RemoveTableData(const char* tableName) {
    LogTrace("@@@ Inside RemoveTableData @@@\n");
    if (!tableName) return nullptr;
    TableRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.mutex);
    TableData* found = FindLocked(registry, tableName);
    if (!found) return nullptr;
    registry.byName.erase(FoldName(found->name));
    DeleteLCDVector(&gv_tableRegistry, found);
    auto owner = registry.owned.find(found);
    std::unique_ptr<TableData> removed = std::move(owner->second);
    registry.owned.erase(owner);
    return removed;
}

std::uint32_t GetLiveRowCount(const char* tableName) {
    TableData* table = GetTableDataByName(tableName);
    if (!table) return 0;
    std::shared_lock<std::shared_mutex> hold(table->rowsLock);
    return table->liveRowCount;
}

std::unique_ptr<RowObject> CreateNewRowObject(std::vector<ColumnValue> values) {
    return UnlessOutOfMemory(kNoMemory, [&]() -> std::unique_ptr<RowObject> {
        LogTrace("@@@ Inside CreateNewRowObject @@@\n");
        auto row = std::make_unique<RowObject>(std::move(values));
        row->state = ROW_NEW;
        return row;
    });
}

namespace {

// AddNewRow once the table is found; the caller runs it under UnlessOutOfMemory.
bool AddNewRowTo(TableData* table, std::unique_ptr<RowObject> row) {
    if (!table || !row || row->owner || !HasColumns(table)) return false;
    if (row->values.size() != table->columnCount) {
        LogError("AddNewRow : row of %u values refused for %s of %u columns\n",
                 static_cast<unsigned>(row->values.size()), table->name, table->columnCount);
        return false;
    }
    // The row is not shared yet, so its values are filled before the table is locked;
    // the identifier reservation may wait on the database. A row read from the
    // database keeps its NULLs.
    if (table->kind == KIND_TABLE && !(row->state & ROW_SAVED)) {
        const auto& columns = table->tableDefn->columns;
        for (std::uint32_t i = 0; i < columns.size(); ++i) {
            ColumnValue& value = row->values[i];
            if (value.isNull() && columns[i]->generatorName) {
                value = MakeIdentifierValue(
                    GenerateIDAbove(table->name.c_str(), columns[i].get(), HighestHeldIdentifier(*table, i)),
                    columns[i]->type);
            }
            if (value.isNull() && !columns[i]->defaultValue.isNull()) value = columns[i]->defaultValue;
        }
    }
    PendingNotifications pending;
    {
        std::unique_lock<std::shared_mutex> hold(table->rowsLock);
        const RowObject* raw = row.get();
        AppendLocked(table, std::move(row));
        CollectNotification(&pending, raw, table);
    }
    SendPending(pending);
    return true;
}

}  // namespace

bool AddNewRow(const char* tableName, std::unique_ptr<RowObject> row) {
    return UnlessOutOfMemory(kRowNotAdded, [&] {
        LogTrace("@@@ Inside AddNewRow @@@\n");
        return AddNewRowTo(GetTableDataByName(tableName), std::move(row));
    });
}

std::size_t AddNewRows(const char* tableName, std::vector<std::unique_ptr<RowObject>>& rows, RowStorage* filled) {
    TableData* table = GetTableDataByName(tableName);
    // Only rows of the table's width: the block of a refused row would stay counted in the
    // table's storage until the table is freed.
    if (table && filled && !rows.empty() && rows.front() && rows.front()->values.size() == table->columnCount) {
        std::unique_lock<std::shared_mutex> hold(table->rowsLock);
        if (table->rowStorage.Unused()) {
            table->rowStorage.Swap(*filled);
            filled = nullptr;
        }
    }
    std::size_t added = 0;
    for (; added < rows.size(); ++added) {
        const bool appended = UnlessOutOfMemory(kRowNotAdded, [&] {
            LogTrace("@@@ Inside AddNewRow @@@\n");
            // A block of another storage must not be given back to this table's.
            if (filled && rows[added]) rows[added]->values.LeaveStorage(*filled);
            return AddNewRowTo(table, std::move(rows[added]));
        });
        if (!appended) break;
    }
    return added;
}

std::unique_ptr<ResultData> SelectRows(const char* tableName, const char* criteria) {
    return UnlessOutOfMemory(kRowNotAdded, [&]() -> std::unique_ptr<ResultData> {
        LogTrace("@@@ Inside SelectRows @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table) return nullptr;
        if (!criteria) {
            auto result = NewResult(table);
            std::shared_lock<std::shared_mutex> hold(table->rowsLock);
            result->entries.reserve(table->liveRowCount);
            for (RowObject* row = table->firstRow.get(); row; row = row->next.get()) result->entries.push_back(row);
            return result;
        }
        std::optional<CompiledCriteria> matcher = PrepareMatcher(table, criteria);
        if (!matcher) return nullptr;
        auto result = NewResult(table);
        std::shared_lock<std::shared_mutex> hold(table->rowsLock);
        for (RowObject* row = table->firstRow.get(); row; row = row->next.get()) {
            // Rows are separate blocks: start loading the next row's values while this one is
            // tested, instead of stalling on them after following the link.
            if (const RowObject* following = row->next.get()) __builtin_prefetch(following->values.data());
            if (matcher->Matches(row->values)) result->entries.push_back(row);
        }
        return result;
    });
}

std::unique_ptr<ResultData> SelectRowByRowIdx(const char* tableName, std::int32_t position) {
    return UnlessOutOfMemory(kRowNotAdded, [&]() -> std::unique_ptr<ResultData> {
        LogTrace("@@@ Inside SelectRowByRowIdx @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table) return nullptr;
        std::shared_lock<std::shared_mutex> hold(table->rowsLock);
        if (static_cast<std::int64_t>(table->rowCount) < position) return nullptr;
        auto result = NewResult(table);
        RowObject* row = table->firstRow.get();
        for (std::int32_t step = 1; row && step < position; ++step) row = row->next.get();
        if (row) result->entries.push_back(row);
        return result;
    });
}

RowObject* GotoNextRowObject(ResultData* result) {
    LogTrace("@@@ Inside GotoNextRowObject @@@\n");
    if (!result) return nullptr;
    const auto size = static_cast<std::int64_t>(result->entries.size());
    if (result->cursor + 1 >= size) {
        result->cursor = size;
        return nullptr;
    }
    ++result->cursor;
    return result->entries[static_cast<std::size_t>(result->cursor)];
}

void ResetResultDataCursor(ResultData* result) {
    LogTrace("@@@ Inside ResetResultDataCursor @@@\n");
    if (result) result->cursor = -1;
}

const ColumnValue* GetColumnValueCellByName(const char* columnName, const ResultData* result) {
    if (!result || result->cursor < 0 || result->cursor >= static_cast<std::int64_t>(result->entries.size()))
        return nullptr;
    const std::optional<ColumnHit> hit = FindResultColumn(result, columnName);
    if (!hit) return nullptr;
    const RowObject* row = result->entries[static_cast<std::size_t>(result->cursor)];
    if (hit->position >= row->values.size()) return nullptr;
    return &row->values[hit->position];
}

const char* GetColumnValueByName(const char* columnName, std::uint32_t* length, const ResultData* result) {
    LogTrace("\t@@@@@ GetColumnValueByName() @@@@@\n");
    const ColumnValue* cell = GetColumnValueCellByName(columnName, result);
    if (!cell || cell->isNull()) return nullptr;
    if (length) *length = cell->length;
    return cell->data();
}

const char* GetColumnValue(const char* tableName, const char* columnName, const char* criteria,
                           std::uint32_t* length) {
    LogTrace("@@@ Inside GetColumnValue @@@\n");
    std::unique_ptr<ResultData> result = SelectRows(tableName, criteria);
    if (!result) {
        LogError("Error in executing SelectRows(%s,%s)\n", tableName, criteria);
        return nullptr;
    }
    if (!GotoNextRowObject(result.get())) {
        LogTrace("No such row available in the %s for %s", tableName, criteria);
        return nullptr;
    }
    const char* value = GetColumnValueByName(columnName, length, result.get());
    if (!value) LogError("columnValue is NULL for :%s\n", columnName);
    return value;
}

BYTE GetColumnTypeByName(const char* columnName, const ResultData* result) {
    LogTrace("@@@ Inside GetColumnTypeByName @@@\n");
    if (!result || !columnName) return 0;
    if (result->kind == KIND_VIEW) {
        if (!result->viewDefn) return 0;
        for (const auto& column : result->viewDefn->columns) {
            if (column->baseColumn && CompareNoCase(column->baseColumn->name.c_str(), columnName) == 0)
                return column->baseColumn->type;
        }
        return 0;
    }
    const std::optional<ColumnHit> hit = FindResultColumn(result, columnName);
    return hit ? hit->type : 0;
}

const char* GetColumnNameByIndex(std::int32_t index, const ResultData* result) {
    LogTrace("@@@ Inside GetColumnNameByIndex @@@\n");
    if (!result || index < 0) return nullptr;
    const auto i = static_cast<std::size_t>(index);
    if (result->kind == KIND_VIEW) {
        if (!result->viewDefn || i >= result->viewDefn->columns.size()) return nullptr;
        return result->viewDefn->columns[i]->name.c_str();
    }
    if (!result->tableDefn || i >= result->tableDefn->columns.size()) return nullptr;
    return result->tableDefn->columns[i]->name.c_str();
}

const char* GetTableNameFromResultData(const ResultData* result) {
    LogTrace("@@@ Inside GetTableNameFromResultData @@@\n");
    if (!result) return nullptr;
    if (result->kind == KIND_TABLE) return result->tableDefn ? result->tableDefn->name.c_str() : nullptr;
    if (result->viewDefn && !result->viewDefn->tableNames.empty()) return result->viewDefn->tableNames[0].c_str();
    return nullptr;
}

const char* GetTableNameOfView(const char* name) {
    LogTrace("@@@ Inside GetTableNameOfView @@@\n");
    TableData* table = GetTableDataByName(name);
    if (table && table->kind == KIND_VIEW && table->viewDefn && !table->viewDefn->tableNames.empty())
        return table->viewDefn->tableNames[0].c_str();
    return name;
}

bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName,
                     const ColumnValue& value) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside UpdateRowObject @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table) return false;
        if (!row) {
            LogError("\t@@@@@ rowPtr passed as parameter in NULL @@@@@ \n");
            return false;
        }
        if (!columnName) return false;
        if (table->kind == KIND_TABLE && IsPrimaryKeyColumn(table->tableDefn, columnName)) {
            LogError("@@@ UpdateRowObject Failed as PrimaryKey is being updated @@@\n");
            return false;
        }
        const std::optional<std::uint32_t> position = FindColumnPosition(table, columnName);
        if (!position) return false;
        PendingNotifications pending;
        {
            std::unique_lock<std::shared_mutex> hold(table->rowsLock);
            // A row of another table, or a column beyond the row, would be written out of place.
            if ((row->owner && row->owner != table) || *position >= row->values.size()) return false;
            ColumnValue replaced = value;
            std::swap(row->values[*position], replaced);
            row->state |= ROW_UPDATED;
            if (row->heldColumns && *position < row->heldColumns->size()) (*row->heldColumns)[*position] = true;
            if (row->owner == table && table->kind == KIND_TABLE) RaiseGeneratorCeilings(table, *row);
            if (row->owner) CollectNotification(&pending, row, table);
        }
        SendPending(pending);
        return true;
    });
}

bool UpdateRowObject(const char* tableName, RowObject* row, const char* columnName,
                     const char* value, std::uint32_t length) {
    return UpdateRowObject(tableName, row, columnName,
                           value ? ColumnValue::FromBytes(value, length) : ColumnValue::Null());
}

bool DeleteRowObject(const char* tableName, RowObject* row) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside DeleteRowObject @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table || !row) return false;
        PendingNotifications pending;
        std::unique_ptr<RowObject> removed;
        {
            std::unique_lock<std::shared_mutex> hold(table->rowsLock);
            if (row->owner != table) return false;
            if (row->state & ROW_SAVED) {
                row->state |= ROW_DELETED;
                return true;
            }
            removed = UnlinkLocked(table, row);
            CollectNotification(&pending, removed.get(), table);
            FreeUnlinkedLocked(table, std::move(removed));
        }
        SendPending(pending);
        return true;
    });
}

std::size_t RemoveRowsInState(const char* tableName, std::span<RowObject* const> rows, BYTE state) {
    return UnlessOutOfMemory(kNoMemory, [&]() -> std::size_t {
        TableData* table = GetTableDataByName(tableName);
        if (!table || rows.empty()) return 0;
        const std::unordered_set<const RowObject*> wanted(rows.begin(), rows.end());
        PendingNotifications pending;
        std::size_t removed = 0;
        {
            std::unique_lock<std::shared_mutex> hold(table->rowsLock);
            // Only rows found in the list are touched: a row freed meanwhile is never read.
            RowObject* row = table->firstRow.get();
            while (row) {
                RowObject* following = row->next.get();
                if (wanted.count(row) && row->state == state) {
                    std::unique_ptr<RowObject> unlinked = UnlinkLocked(table, row);
                    CollectNotification(&pending, unlinked.get(), table);
                    FreeUnlinkedLocked(table, std::move(unlinked));
                    ++removed;
                }
                row = following;
            }
        }
        SendPending(pending);
        return removed;
    });
}

namespace {

// Applies the deletion to every row the criteria accept (every row without criteria) while
// holding the table; unlinked rows are freed at once, their notifications kept for later.
void DeleteMatchingLocked(TableData* table, const CompiledCriteria* matcher, PendingNotifications* pending) {
    RowObject* row = table->firstRow.get();
    while (row) {
        RowObject* following = row->next.get();
        if (!matcher || matcher->Matches(row->values)) {
            if (row->state & ROW_SAVED) {
                row->state |= ROW_DELETED;
            } else {
                std::unique_ptr<RowObject> removed = UnlinkLocked(table, row);
                CollectNotification(pending, row, table);
                FreeUnlinkedLocked(table, std::move(removed));
            }
        }
        row = following;
    }
}

}  // namespace

bool DeleteRowObjectByCriteria(const char* tableName, const char* criteria) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside DeleteRowObjectByCriteria @@@\n");
        if (!criteria) return false;
        TableData* table = GetTableDataByName(tableName);
        if (!table) return false;
        PendingNotifications pending;
        {
            std::optional<CompiledCriteria> matcher = PrepareMatcher(table, criteria);
            if (!matcher) return false;
            std::unique_lock<std::shared_mutex> hold(table->rowsLock);
            DeleteMatchingLocked(table, &*matcher, &pending);
        }
        // Listeners run with no store lock held, so they may select from this table.
        SendPending(pending);
        return true;
    });
}

bool DeleteAllTableRowObjects(const char* tableName) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside DeleteAllTableRowObjects @@@\n");
        if (!tableName) {
            LogError("\t tableName NULL \n");
            return false;
        }
        TableData* table = GetTableDataByName(tableName);
        if (!table) {
            LogError("\t GetTableDataByName returned NULL \n");
            return false;
        }
        if (table->kind != KIND_TABLE || !HasColumns(table)) return false;
        PendingNotifications pending;
        {
            std::unique_lock<std::shared_mutex> hold(table->rowsLock);
            DeleteMatchingLocked(table, nullptr, &pending);
        }
        SendPending(pending);
        return true;
    });
}

void FreeRowObject(std::unique_ptr<RowObject> row) {
    LogTrace("@@@ Inside FreeRowObject @@@\n");
    row.reset();
}

std::unique_ptr<ResultData> CreateResultData(std::uint32_t /*initialRowCount*/, std::uint32_t columnCount,
                                             const TableData* table) {
    return UnlessOutOfMemory(kNoMemory, [&]() -> std::unique_ptr<ResultData> {
        LogTrace("@@@ Inside CreateResultData @@@\n");
        auto result = std::make_unique<ResultData>();
        if (table) result = NewResult(table);
        result->columnCount = columnCount;
        return result;
    });
}

bool AddRowToResultData(RowObject* row, ResultData* result) {
    return UnlessOutOfMemory(kRowNotAdded, [&] {
        LogTrace("@@@ Inside AddRowToResultData @@@\n");
        if (!result) return false;
        const auto at = static_cast<std::size_t>(result->cursor + 1);
        result->entries.insert(result->entries.begin() + static_cast<std::ptrdiff_t>(std::min(at, result->entries.size())), row);
        result->cursor = static_cast<std::int64_t>(std::min(at, result->entries.size() - 1));
        return true;
    });
}

void FreeResultData(std::unique_ptr<ResultData> result) {
    LogTrace("@@@ Inside FreeResultData @@@\n");
    result.reset();
}

bool SortResultSet(ResultData* result, const char* columnName, int ascending) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside SortResultSet @@@\n");
        if (!result || !columnName) return false;
        if (!result->tableDefn && !result->viewDefn) return false;
        const bool noColumns = result->kind == KIND_VIEW ? (!result->viewDefn || result->viewDefn->columns.empty())
                                                         : (!result->tableDefn || result->tableDefn->columns.empty());
        if (noColumns) return false;
        const std::optional<ColumnHit> hit = FindResultColumn(result, columnName);
        if (!hit) return false;
        if (result->entries.size() == 1) {
            LogDebug("Number of Rows is 1 for the Relvar to be Sorted \n");
            return true;
        }
        const std::uint32_t position = hit->position;
        const BYTE type = hit->type;
        switch (type) {
            case HYL_SQL_TINYINT:
            case HYL_SQL_SMALLINT:
            case HYL_SQL_INT:
                SortByIntegerKey<std::int32_t>(&result->entries, position, ascending == 1);
                return true;
            case HYL_SQL_UNSIGNED_TINYINT:
            case HYL_SQL_UNSIGNED_SMALLINT:
            case HYL_SQL_UNSIGNED_INT:
                SortByIntegerKey<std::uint32_t>(&result->entries, position, ascending == 1);
                return true;
            case HYL_SQL_BIGINT:
                SortByIntegerKey<std::int64_t>(&result->entries, position, ascending == 1);
                return true;
            case HYL_SQL_UNSIGNED_LONG_INT:
                SortByIntegerKey<std::uint64_t>(&result->entries, position, ascending == 1);
                return true;
            default:
                break;
        }
        // NULL sorts below every value: first ascending, last descending.
        auto order = [position, type](const RowObject* a, const RowObject* b) {
            const bool nullA = position >= a->values.size() || a->values[position].isNull();
            const bool nullB = position >= b->values.size() || b->values[position].isNull();
            if (nullA || nullB) return static_cast<int>(nullB) - static_cast<int>(nullA);
            return CompareValues(a->values[position], b->values[position], type);
        };
        if (ascending == 1) {
            std::stable_sort(result->entries.begin(), result->entries.end(),
                             [&](const RowObject* a, const RowObject* b) { return order(a, b) < 0; });
        } else {
            std::stable_sort(result->entries.begin(), result->entries.end(),
                             [&](const RowObject* a, const RowObject* b) { return order(a, b) > 0; });
        }
        return true;
    });
}

std::unique_ptr<CustomViewDefn> CreateCustomViewDefn(BYTE tableCount, std::vector<std::string> tableNames,
                                                     std::vector<std::unique_ptr<ViewColumnDefn>> columns) {
    using Result = std::unique_ptr<CustomViewDefn>;
    return UnlessOutOfMemory("Could not allocate memory for CustomViewDefn\n", [&]() -> Result {
        LogTrace("\t@@@@@ Inside CreateCustomViewDefn() @@@@@\n");
        auto view = std::make_unique<CustomViewDefn>();
        view->tableCount = tableCount;
        view->tableNames = std::move(tableNames);
        view->columns = std::move(columns);
        return view;
    });
}

std::unique_ptr<ViewColumnDefn> CreateViewColumnDefn(const char* name, std::int32_t number, BYTE flag,
                                                     ColumnDefn* baseColumn) {
    using Result = std::unique_ptr<ViewColumnDefn>;
    return UnlessOutOfMemory("Could not allocate memory for ViewColumnDefn\n", [&]() -> Result {
        LogTrace("\t@@@@@ Inside CreateViewColumnDefn() @@@@@\n");
        auto column = std::make_unique<ViewColumnDefn>();
        column->name = name ? name : "";
        column->reservedNumber = number;
        column->reservedByte = flag;
        column->baseColumn = baseColumn;
        return column;
    });
}

void FreeTableData(TableData* table) {
    LogTrace("\t@@@@@ Inside FreeTableData() @@@@@\n");
    if (!table) return;
    LogTrace("\t %s is being freed\n", table->name);
    std::unique_lock<std::shared_mutex> hold(table->rowsLock);
    table->firstRow.reset();
    table->lastRow = nullptr;
    table->liveRowCount = 0;
    table->rowStorage.Clear();
    if (table->viewDefn) FreeCustomViewDefn(std::move(table->viewDefn));
}

void FreeCustomViewDefn(std::unique_ptr<CustomViewDefn> viewDefn) {
    LogTrace("\t@@@@@ Inside FreeCustomViewDefn() @@@@@\n");
    viewDefn.reset();
}

void PrintTableData(const char* tableName) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside PrintTableData @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table || !HasColumns(table)) return;
        if (table->kind == KIND_VIEW) return PrintCustomViewData(tableName);
        if (!LogEnabled(LogLevel::Debug)) return;
        std::shared_lock<std::shared_mutex> hold(table->rowsLock);
        LogDebug("%s", FormatRows(table, PrintMode::Table, false));
    });
}

void PrintCustomViewData(const char* viewName) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("@@@ Inside PrintCustomViewData @@@\n");
        TableData* table = GetTableDataByName(viewName);
        if (!table || table->kind != KIND_VIEW || !HasColumns(table) || !LogEnabled(LogLevel::Debug)) return;
        std::shared_lock<std::shared_mutex> hold(table->rowsLock);
        LogDebug("%s", FormatRows(table, PrintMode::View, false));
    });
}

void PrintResultData(const ResultData* result) {
    return UnlessOutOfMemory(kNoMemory, [&] {
        LogTrace("\t@@@@@ Inside PrintResultData() @@@@@\n");
        if (!result || !LogEnabled(LogLevel::Debug)) return;
        std::string out;
        std::vector<BYTE> types;
        for (std::int32_t i = 0;; ++i) {
            const char* name = GetColumnNameByIndex(i, result);
            if (!name) break;
            out += name;
            out += "\t";
            if (result->kind == KIND_VIEW) {
                const ColumnDefn* base = result->viewDefn->columns[static_cast<std::size_t>(i)]->baseColumn;
                types.push_back(base ? base->type : 0);
            } else {
                types.push_back(result->tableDefn->columns[static_cast<std::size_t>(i)]->type);
            }
        }
        out += "\n";
        for (const RowObject* row : result->entries) {
            if (row->state & ROW_DELETED) continue;
            for (std::size_t i = 0; i < row->values.size() && i < types.size(); ++i)
                AppendPrintField(&out, row->values[i], types[i], PrintMode::Result);
            out += "\n";
        }
        LogDebug("%s", out);
    });
}

std::optional<std::string> ToStringTableData(const char* tableName) {
    return UnlessOutOfMemory(kNoMemory, [&]() -> std::optional<std::string> {
        LogTrace("@@@ Inside ToStringTableData @@@\n");
        TableData* table = GetTableDataByName(tableName);
        if (!table || !HasColumns(table)) return std::nullopt;
        if (table->kind == KIND_VIEW) return ToStringCustomViewData(tableName);
        std::string text;
        {
            std::shared_lock<std::shared_mutex> hold(table->rowsLock);
            text = FormatRows(table, PrintMode::TableText, false);
        }
        LogTrace("String Value of Relvar Data\n %s\n", text);
        return text;
    });
}

std::optional<std::string> ToStringCustomViewData(const char* viewName) {
    return UnlessOutOfMemory(kNoMemory, [&]() -> std::optional<std::string> {
        LogTrace("@@@ Inside ToStringCustomViewData @@@\n");
        TableData* table = GetTableDataByName(viewName);
        if (!table || table->kind != KIND_VIEW || !HasColumns(table)) return std::nullopt;
        std::string text;
        {
            std::shared_lock<std::shared_mutex> hold(table->rowsLock);
            text = FormatRows(table, PrintMode::ViewText, false);
        }
        LogTrace("String Value of Relvar Data\n %s\n", text);
        return text;
    });
}

std::optional<std::uint32_t> FindColumnPosition(const TableData* table, const char* columnName) {
    if (!table || !columnName) return std::nullopt;
    if (table->kind == KIND_VIEW) {
        if (!table->viewDefn) return std::nullopt;
        const auto& columns = table->viewDefn->columns;
        for (std::uint32_t i = 0; i < columns.size(); ++i) {
            if (CompareNoCase(columns[i]->name.c_str(), columnName) == 0) return i;
        }
        return std::nullopt;
    }
    if (!table->tableDefn) return std::nullopt;
    const auto& columns = table->tableDefn->columns;
    for (std::uint32_t i = 0; i < columns.size(); ++i) {
        if (CompareNoCase(columns[i]->name.c_str(), columnName) == 0) return i;
    }
    return std::nullopt;
}

std::vector<const ColumnDefn*> GetColumnDefns(const TableData* table) {
    std::vector<const ColumnDefn*> columns;
    if (!table) return columns;
    if (table->kind == KIND_VIEW) {
        if (table->viewDefn) {
            for (const auto& column : table->viewDefn->columns) columns.push_back(column->baseColumn);
        }
    } else if (table->tableDefn) {
        for (const auto& column : table->tableDefn->columns) columns.push_back(column.get());
    }
    return columns;
}
