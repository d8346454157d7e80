// Fuzz target: table-data documents through the memory entry point of the XML loader,
// then selects, texts and sorts of every table they filled.
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/store_fuzz_common.h"
#include "store/xml/table_xml.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storefuzz::Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LoadTableDataFromXMLBuffer(reinterpret_cast<const char*>(data), size);
    for (TableData* table : GetAllTableData()) {
        auto all = SelectRows(table->name.c_str(), nullptr);
        if (!all) __builtin_trap();
        if (all->rowCount() != GetLiveRowCount(table->name.c_str())) __builtin_trap();
        ToStringTableData(table->name.c_str());
        PrintResultData(all.get());
        if (const char* first = GetColumnNameByIndex(0, all.get())) {
            SortResultSet(all.get(), first, 1);
            SortResultSet(all.get(), first, 0);
        }
    }
    storefuzz::DropTables();
    return 0;
}
