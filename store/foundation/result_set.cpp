// The query result set: cursor movement, lookups by column name and the DEBUG printout.
#include "store/foundation/result_set.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "runtime/log.h"
#include "store/datetime/hyl_datetime.h"

namespace {

int ColumnIndex(const QueryResultSet* result, const char* name) {
    if (!result || !name) return -1;
    for (std::size_t i = 0; i < result->columns.size(); ++i) {
        if (strcasecmp(result->columns[i].name.c_str(), name) == 0) return static_cast<int>(i);
    }
    return -1;
}

const ResultRow* CurrentRow(const QueryResultSet* result) {
    if (!result || !result->cursor || *result->cursor >= result->rows.size()) return nullptr;
    return &result->rows[*result->cursor];
}

std::optional<std::string> DateText(const ColumnValue& cell, BYTE type) {
    switch (type) {
        case 16:
            if (auto date = cell.As<HylDate>()) return HylDateToString(&*date);
            break;
        case 17:
            if (auto time = cell.As<HylTime>()) return HylTimeToString(&*time);
            break;
        default:
            if (auto both = cell.As<HylDateTime>()) return HylDateTimeToString(&*both);
            break;
    }
    return std::nullopt;
}

}  // namespace

const ResultRow* NextResultRow(QueryResultSet* result) {
    if (!result) return nullptr;
    if (!result->cursor) {
        if (result->rows.empty()) return nullptr;
        result->cursor = 0;
    } else if (*result->cursor < result->rows.size()) {
        ++*result->cursor;  // stays one past the end once exhausted
    }
    return CurrentRow(result);
}

void ResetResultSet(QueryResultSet* result) {
    if (result) result->cursor.reset();
}

const ColumnValue* GetResultCellByName(const QueryResultSet* result, const char* name) {
    const ResultRow* row = CurrentRow(result);
    const int index = ColumnIndex(result, name);
    if (!row || index < 0 || static_cast<std::size_t>(index) >= row->size()) return nullptr;
    return &(*row)[index];
}

const char* GetResultColumnValueByName(const QueryResultSet* result, const char* name,
                                       std::uint32_t* length) {
    const ColumnValue* cell = GetResultCellByName(result, name);
    if (length) *length = cell && !cell->isNull() ? cell->length : 0;
    return cell ? cell->data() : nullptr;
}

int GetResultColumnTypeByName(const QueryResultSet* result, const char* name) {
    const int index = ColumnIndex(result, name);
    return index < 0 ? -1 : result->columns[index].type;
}

const char* GetResultColumnNameByIndex(const QueryResultSet* result, std::int32_t index) {
    if (!result || index < 0 || static_cast<std::size_t>(index) >= result->columns.size()) return nullptr;
    return result->columns[index].name.c_str();
}

void PrintQueryResultSet(const QueryResultSet* result) {
    LogTrace("\n\t@@@@@ Inside PrintQueryResultSet() @@@@@ \n");
    if (!result) return;
    for (const ResultColumnDescriptor& column : result->columns) LogDebug("%-s\t", column.name);
    LogDebug("\n");
    for (const ResultRow& row : result->rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            const ColumnValue& cell = row[i];
            const BYTE type = i < result->columns.size() ? result->columns[i].type : 0;
            if (type >= 1 && type <= 10) {
                if (cell.isNull()) {
                    LogDebug("NULL\t");
                } else {
                    // The first 32 bits of the value, whatever its width.
                    std::int32_t bits = 0;
                    std::memcpy(&bits, cell.data(), std::min<std::size_t>(sizeof bits, cell.buffer->size()));
                    LogDebug("%-d\t", bits);
                }
            } else if (type >= 16 && type <= 18) {
                LogDebug("%-s\t", cell.isNull() ? std::nullopt : DateText(cell, type));
            } else {
                LogDebug("%-s\t", cell.data());
            }
        }
        LogDebug("\n");
    }
}

void FreeQueryResultSet(QueryResultSet* result) {
    if (!result) return;
    result->rows.clear();
    result->columns.clear();
    result->columnCount = 0;
    result->cursor.reset();
}
