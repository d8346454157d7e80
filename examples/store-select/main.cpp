// Starts the store on a store root, loads a table from its database and prints a select.
//   store-select store Customer "CITY='London'"
// The root's data/ folder holds the configuration: connections, data dictionary, the
// default data a fresh database receives (see store/data/ beside this file).
#include <cstdio>
#include <string>
#include <vector>

#include "store/persistence/persistence.h"
#include "store/store.h"

namespace {

// The cell's text; NULL for SQL NULL.
std::string CellText(const ColumnValue* cell, BYTE type) {
    if (!cell || cell->isNull()) return "NULL";
    switch (type) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
            return std::to_string(cell->As<std::int32_t>().value_or(0));
        case HYL_SQL_BIGINT:
            return std::to_string(cell->As<std::int64_t>().value_or(0));
        case HYL_SQL_BOOLEAN:
            return cell->data()[0] ? "true" : "false";
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME:
            return HylValueToText(*cell, type).value_or("?");
        default:  // texts
            return std::string(cell->data(), cell->length);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: store-select ROOT TABLE [CRITERIA]\n");
        return 2;
    }
    const char* table = argv[2];
    const char* criteria = argc == 4 ? argv[3] : nullptr;
    // Connects, creates the tables a fresh database lacks and saves the default data.
    if (!InitQuennet(argv[1])) {
        std::fprintf(stderr, "store-select: the store did not start on %s (see its log)\n", argv[1]);
        DeInitQuennet();
        return 1;
    }
    int status = 0;
    std::unique_ptr<ResultData> result;
    // The start-up already holds the tables of loadtablelist.txt and, on a fresh database,
    // those of the default data; any other table is read from the database now.
    if (!GetTableDataByName(table) && !LoadTable(table)) {
        std::fprintf(stderr, "store-select: cannot load table %s\n", table);
        status = 1;
    } else if (!(result = SelectRows(table, criteria))) {
        std::fprintf(stderr, "store-select: the select on %s failed\n", table);
        status = 1;
    } else {
        std::vector<const char*> columns;
        for (std::int32_t i = 0; const char* name = GetColumnNameByIndex(i, result.get()); ++i) {
            columns.push_back(name);
            std::printf("%s%s", i ? "\t" : "", name);
        }
        std::printf("\n");
        while (GotoNextRowObject(result.get())) {
            for (std::size_t i = 0; i < columns.size(); ++i)
                std::printf("%s%s", i ? "\t" : "",
                            CellText(GetColumnValueCellByName(columns[i], result.get()),
                                     GetColumnTypeByName(columns[i], result.get())).c_str());
            std::printf("\n");
        }
        FreeResultData(std::move(result));
    }
    DeInitQuennet();
    return status;
}
