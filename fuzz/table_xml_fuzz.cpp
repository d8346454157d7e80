// Fuzz target: table-data documents through the memory entry point of the XML loader,
// then selects, texts and sorts of every table they filled. The same document loaded
// twice, each time into an empty store with fresh sequences, gives the same rows.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/store_fuzz_common.h"
#include "store/criteria/criteria.h"
#include "store/xml/table_xml.h"

namespace {

// The sequences start over, so the identifiers a load generates repeat.
void FreshSequences() {
    ReleaseSequenceState();
    SetSequenceDataSource(SqliteSequenceSource::Open(":memory:"));
    InitSequenceState();
    SequenceGenerator();
}

// Every table with its rows, each cell as text (NULL marked apart from the empty text).
std::string Rows() {
    std::string rows;
    for (TableData* table : GetAllTableData()) {
        rows += table->name + '\n';
        auto all = SelectRows(table->name.c_str(), nullptr);
        if (!all) __builtin_trap();
        const auto columns = GetColumnDefns(table);
        while (GotoNextRowObject(all.get())) {
            for (const ColumnDefn* column : columns) {
                const ColumnValue* cell = GetColumnValueCellByName(column->name.c_str(), all.get());
                if (!cell || cell->isNull()) {
                    rows += "<null>";
                } else if (auto text = ConvertColumnValueToText(*cell, column->type)) {
                    rows += *text;
                } else {
                    rows += "<?>";
                }
                rows += '\t';
            }
            rows += '\n';
        }
    }
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    FreshSequences();
    const bool loaded = LoadTableDataFromXMLBuffer(text, size);
    const std::string first = Rows();
    for (TableData* table : GetAllTableData()) {
        auto all = SelectRows(table->name.c_str(), nullptr);
        if (!all) __builtin_trap();
        if (all->rowCount() != GetLiveRowCount(table->name.c_str())) __builtin_trap();
        ToStringTableData(table->name.c_str());
        PrintResultData(all.get());
        if (const char* column = GetColumnNameByIndex(0, all.get())) {
            SortResultSet(all.get(), column, 1);
            SortResultSet(all.get(), column, 0);
        }
    }
    storefuzz::DropTables();

    FreshSequences();
    if (LoadTableDataFromXMLBuffer(text, size) != loaded) __builtin_trap();
    if (Rows() != first) __builtin_trap();
    storefuzz::DropTables();
    return 0;
}
