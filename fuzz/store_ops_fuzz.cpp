// Fuzz target: a sequence of store operations driven by the input bytes (create, append
// typed or malformed rows, update, delete, delete by criteria, select, sort, select by
// position, print, listeners). A plain model keeps the same tables (their rows in order,
// the state of each and the value of one integer column) and after every step the store
// must agree with it: rows and their order, row counts, lookups by position and
// selections by that column's value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/store_fuzz_common.h"

namespace {

using fuzzinput::Input;

const char* kTables[] = {"AllTypes", "Parent", "Child", "Workflow_Statements", "Nothing"};
const char* kColumns[] = {"C5", "C15", "C7", "ID", "P_ID", "NAME", "REGION", "C_ID", "PARENT_ID", "C22", "C19", "X"};
const char* kCriteria[] = {"C5>3",           "C15='dflt'",           "C5=1 and C15='a' or C7>=2", "ID!=2",
                           "NAME='p'",       "(REGION<4) or P_ID=1", "C_ID>=0 and PARENT_ID=1",   "C9<1.5",
                           "NAME=unquoted", "C22='x' and (C6>1 or C1<0)"};
// The signed 32-bit column the model follows in each table, and its position. REGION is
// part of Parent's key, so updates of it must be refused.
struct Tracked {
    const char* column;
    std::uint32_t position;
};
const Tracked kTracked[] = {{"C5", 5}, {"REGION", 1}, {"PARENT_ID", 3}, {"STATEMENT_ID", 0}, {nullptr, 0}};

// What the model knows of a row: its identity, its state and the tracked value (NULL, a
// number, or unknown when the store was given bytes that are not a 4-byte integer).
struct ModelRow {
    const RowObject* row;
    BYTE state;
    bool known;
    std::optional<std::int32_t> value;
};

struct ModelTable {
    std::vector<ModelRow> rows;  // in table order
    std::uint32_t appended = 0;  // rows ever appended
};

using Model = std::map<std::string, ModelTable>;

void Fail() { __builtin_trap(); }

int TableIndex(const char* name) {
    for (int i = 0; i < 5; ++i)
        if (std::strcmp(kTables[i], name) == 0) return i;
    return 4;
}

// The model's reading of a value given to the tracked column.
void Learn(ModelRow* row, const ColumnValue& value) {
    row->known = value.isNull() || value.length == 4;
    row->value.reset();
    if (!value.isNull() && value.length == 4) {
        std::int32_t number;
        std::memcpy(&number, value.data(), 4);
        row->value = number;
    }
}

ColumnValue RandomValue(Input& in) {
    switch (in.Byte() % 5) {
        case 0: return ColumnValue::Null();
        case 1: {
            std::int32_t v = static_cast<std::int32_t>(in.Byte()) - 100;
            return ColumnValue::FromBytes(&v, 4);
        }
        case 2: {
            std::int64_t v = static_cast<std::int64_t>(in.Byte()) << 33;
            return ColumnValue::FromBytes(&v, 8);
        }
        case 3: return ColumnValue::FromText(in.Bytes(12));
        default: return ColumnValue::FromBytes("x", 1);  // short for most fixed types
    }
}

// The rows the store selects with `criteria` are exactly the model rows `accept` takes.
template <typename Accept>
void CheckSelection(const char* name, const ModelTable& model, const std::string& criteria, Accept accept) {
    auto some = SelectRows(name, criteria.c_str());
    if (!some) Fail();
    std::size_t j = 0;
    for (const ModelRow& row : model.rows) {
        if (!accept(row)) continue;
        if (j >= some->entries.size() || some->entries[j] != row.row) Fail();
        ++j;
    }
    if (j != some->entries.size()) Fail();
}

// Rows, their order and states, and the row counts of the table against the model.
void CheckRows(const char* name, const ModelTable& model) {
    TableData* table = GetTableDataByName(name);
    if (!table) Fail();
    auto all = SelectRows(name, nullptr);
    if (!all || all->rowCount() != GetLiveRowCount(name) || all->rowCount() != model.rows.size()) Fail();
    if (table->rowCount != model.appended) Fail();
    for (std::size_t i = 0; i < model.rows.size(); ++i) {
        const RowObject* row = all->entries[i];
        if (row != model.rows[i].row || row->state != model.rows[i].state) Fail();
        if (row->values.size() != table->columnCount || row->owner != table) Fail();
    }
}

// Lookups by position and selections on the tracked column against the model.
void CheckLookups(const char* name, const ModelTable& model, int step) {
    // Lookups by position: 1 or less is the first row; beyond the rows ever appended none.
    for (std::int32_t position : {-3, 0, 1, 2, static_cast<std::int32_t>(model.rows.size()),
                                  static_cast<std::int32_t>(model.appended) + 1}) {
        auto found = SelectRowByRowIdx(name, position);
        if (position > static_cast<std::int32_t>(model.appended)) {
            if (found) Fail();
            continue;
        }
        const std::size_t index = position <= 1 ? 0 : static_cast<std::size_t>(position - 1);
        if (!found) Fail();
        if (index < model.rows.size() ? found->rowCount() != 1 || found->entries[0] != model.rows[index].row
                                      : found->rowCount() != 0)
            Fail();
    }
    // Selections on the tracked column, while the model knows every value of it.
    const Tracked& tracked = kTracked[TableIndex(name)];
    if (!tracked.column) return;
    for (const ModelRow& row : model.rows)
        if (!row.known) return;
    std::int32_t pivot = 0;
    if (!model.rows.empty()) {
        const std::optional<std::int32_t> value = model.rows[static_cast<std::size_t>(step) % model.rows.size()].value;
        if (value && *value >= 0) pivot = *value;
    }
    const std::string column = tracked.column;
    CheckSelection(name, model, column + "=" + std::to_string(pivot),
                   [&](const ModelRow& r) { return r.value && *r.value == pivot; });
    CheckSelection(name, model, column + "<" + std::to_string(pivot),
                   [&](const ModelRow& r) { return r.value && *r.value < pivot; });
    CheckSelection(name, model, std::to_string(pivot) + "!=" + column,
                   [&](const ModelRow& r) { return r.value && *r.value != pivot; });
}

// The model's side of deleting a row: a saved row is marked, any other removed.
void ModelDelete(ModelTable* model, const RowObject* row) {
    for (auto it = model->rows.begin(); it != model->rows.end(); ++it) {
        if (it->row != row) continue;
        if (it->state & ROW_SAVED)
            it->state |= ROW_DELETED;
        else
            model->rows.erase(it);
        return;
    }
    Fail();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Model model;
    int steps = 0;
    while (!in.empty() && steps++ < 200) {
        const char* table = kTables[in.Byte() % 5];
        const char* column = kColumns[in.Byte() % 12];
        const std::uint8_t op = in.Byte() % 12;
        TableData* held = GetTableDataByName(table);
        if ((held != nullptr) != (model.count(table) != 0)) Fail();
        ModelTable* mine = held ? &model[table] : nullptr;
        switch (op) {
            case 0: {
                const bool created = CreateTable(table);
                const bool expected = !held && std::strcmp(table, "Nothing") != 0;
                if (created != expected) Fail();
                if (created) {
                    model[table];
                    const Tracked& tracked = kTracked[TableIndex(table)];
                    if (tracked.column &&
                        FindColumnPosition(GetTableDataByName(table), tracked.column) != tracked.position)
                        Fail();
                }
                break;
            }
            case 1: {
                const std::size_t width = held && in.Byte() % 8 ? held->columnCount : in.Byte() % 30;
                std::vector<ColumnValue> values;
                for (std::size_t i = 0; i < width; ++i) values.push_back(RandomValue(in));
                ModelRow row{nullptr, ROW_NEW, true, std::nullopt};
                const Tracked& tracked = kTracked[TableIndex(table)];
                if (tracked.column && tracked.position < values.size()) Learn(&row, values[tracked.position]);
                std::unique_ptr<RowObject> made = CreateNewRowObject(std::move(values));
                row.row = made.get();
                const bool added = AddNewRow(table, std::move(made));
                if (added != (held && width == held->columnCount)) Fail();
                if (added) {
                    mine->rows.push_back(row);
                    ++mine->appended;
                }
                break;
            }
            case 2:
            case 3: {
                auto all = SelectRows(table, nullptr);
                if (!all || all->entries.empty()) break;
                const std::size_t index = in.Byte() % all->entries.size();
                RowObject* row = all->entries[index];
                ModelRow& modelRow = mine->rows[index];
                if (op == 2) {
                    const std::string value = in.Bytes(10);
                    const char* target = kTables[in.Byte() % 5];
                    const bool present = in.Byte() % 4;
                    const bool updated = UpdateRowObject(target, row, column, present ? value.data() : nullptr,
                                                         static_cast<std::uint32_t>(value.size()));
                    if (updated && std::strcmp(target, table) != 0) Fail();
                    if (updated) {
                        modelRow.state |= ROW_UPDATED;
                        const Tracked& tracked = kTracked[TableIndex(table)];
                        if (tracked.column && std::strcmp(tracked.column, column) == 0) {
                            if (std::strcmp(column, "REGION") == 0) Fail();  // a key column
                            Learn(&modelRow, present ? ColumnValue::FromBytes(value.data(), value.size())
                                                     : ColumnValue::Null());
                        }
                    }
                } else {
                    if (in.Byte() % 3 == 0) {
                        row->state = ROW_SAVED;
                        modelRow.state = ROW_SAVED;
                    }
                    const char* target = kTables[in.Byte() % 5];
                    const bool deleted = DeleteRowObject(target, row);
                    if (deleted != (std::strcmp(target, table) == 0)) Fail();
                    if (deleted) ModelDelete(mine, row);
                }
                break;
            }
            case 4: {
                const std::string criteria = in.Byte() % 2 ? kCriteria[in.Byte() % 10] : in.Bytes(24);
                // The rows the same criteria select are the ones the deletion must take.
                auto chosen = SelectRows(table, criteria.c_str());
                const bool deleted = DeleteRowObjectByCriteria(table, criteria.c_str());
                if (deleted != (chosen != nullptr)) Fail();
                if (deleted)
                    for (const RowObject* row : chosen->entries) ModelDelete(mine, row);
                break;
            }
            case 5: {
                const std::string criteria = in.Byte() % 2 ? kCriteria[in.Byte() % 10] : in.Bytes(24);
                auto some = SelectRows(table, criteria.c_str());
                auto all = SelectRows(table, nullptr);
                if (some && all) {
                    // The matches are a subsequence of the table in table order.
                    std::size_t j = 0;
                    for (RowObject* row : some->entries) {
                        while (j < all->entries.size() && all->entries[j] != row) ++j;
                        if (j == all->entries.size()) Fail();
                    }
                }
                break;
            }
            case 6: {
                auto all = SelectRows(table, nullptr);
                SortResultSet(all.get(), column, in.Byte() % 3);
                break;
            }
            case 7: {
                const std::int32_t position = static_cast<std::int8_t>(in.Byte());
                auto found = SelectRowByRowIdx(table, position);
                if (found && (!held || position > static_cast<std::int32_t>(mine->appended))) Fail();
                break;
            }
            case 8: PrintTableData(table); ToStringTableData(table); break;
            case 9:
                AddNotificationListener(column, in.Byte() % 9, [](const IMDSNotification& n, const std::string&) {
                    if (n.row.next) Fail();
                    SelectRows(n.tableName.c_str(), "C5>0");
                }, in.Byte() % 2, {table, "Child"});
                break;
            case 10: RemoveNotification(column); break;
            default: {
                const bool deleted = DeleteAllTableRowObjects(table);
                if (deleted != (held != nullptr)) Fail();
                if (deleted) {
                    std::vector<const RowObject*> rows;
                    for (const ModelRow& row : mine->rows) rows.push_back(row.row);
                    for (const RowObject* row : rows) ModelDelete(mine, row);
                }
                break;
            }
        }
        // Every table keeps the model's rows (a step on one table must not touch another);
        // the lookups are checked on the table of the step.
        for (const auto& [name, modelTable] : model) CheckRows(name.c_str(), modelTable);
        if (auto stepped = model.find(table); stepped != model.end()) CheckLookups(table, stepped->second, steps);
    }
    DeInitNotification();
    storefuzz::DropTables();
    return 0;
}
