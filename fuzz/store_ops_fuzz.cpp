// Fuzz target: a sequence of store operations driven by the input bytes (create, append
// typed or malformed rows, update, delete, delete by criteria, select, sort, select by
// position, print, listeners), checking the store's invariants after each step.
#include <cstddef>
#include <cstdint>
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

void CheckTable(const char* name) {
    TableData* table = GetTableDataByName(name);
    if (!table) return;
    auto all = SelectRows(name, nullptr);
    if (!all || all->rowCount() != GetLiveRowCount(name)) __builtin_trap();
    for (const RowObject* row : all->entries) {
        if (row->values.size() != table->columnCount || row->owner != table) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    int steps = 0;
    while (!in.empty() && steps++ < 200) {
        const char* table = kTables[in.Byte() % 5];
        const char* column = kColumns[in.Byte() % 12];
        const std::uint8_t op = in.Byte() % 12;
        TableData* held = GetTableDataByName(table);
        switch (op) {
            case 0: CreateTable(table); break;
            case 1: {
                const std::size_t width = held && in.Byte() % 8 ? held->columnCount : in.Byte() % 30;
                std::vector<ColumnValue> values;
                for (std::size_t i = 0; i < width; ++i) values.push_back(RandomValue(in));
                AddNewRow(table, CreateNewRowObject(std::move(values)));
                break;
            }
            case 2:
            case 3: {
                auto all = SelectRows(table, nullptr);
                if (!all || all->entries.empty()) break;
                RowObject* row = all->entries[in.Byte() % all->entries.size()];
                if (op == 2) {
                    const std::string value = in.Bytes(10);
                    UpdateRowObject(kTables[in.Byte() % 5], row, column, in.Byte() % 4 ? value.data() : nullptr,
                                    static_cast<std::uint32_t>(value.size()));
                } else {
                    if (in.Byte() % 3 == 0) row->state = ROW_SAVED;
                    DeleteRowObject(kTables[in.Byte() % 5], row);
                }
                break;
            }
            case 4: {
                const std::string criteria = in.Byte() % 2 ? kCriteria[in.Byte() % 10] : in.Bytes(24);
                DeleteRowObjectByCriteria(table, criteria.c_str());
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
                        if (j == all->entries.size()) __builtin_trap();
                    }
                }
                break;
            }
            case 6: {
                auto all = SelectRows(table, nullptr);
                SortResultSet(all.get(), column, in.Byte() % 3);
                break;
            }
            case 7: SelectRowByRowIdx(table, static_cast<std::int8_t>(in.Byte())); break;
            case 8: PrintTableData(table); ToStringTableData(table); break;
            case 9:
                AddNotificationListener(column, in.Byte() % 9, [](const IMDSNotification& n, const std::string&) {
                    if (n.row.next) __builtin_trap();
                    SelectRows(n.tableName.c_str(), "C5>0");
                }, in.Byte() % 2, {table, "Child"});
                break;
            case 10: RemoveNotification(column); break;
            default: DeleteAllTableRowObjects(table); break;
        }
        CheckTable(table);
    }
    DeInitNotification();
    storefuzz::DropTables();
    return 0;
}
