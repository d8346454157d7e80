// Column type codes of the store (one byte each) and their names in dictionary files.
#pragma once

#include <cstdint>
#include <string_view>

// The type of a column, as a code of one byte.
enum ColumnTypeCode : std::uint8_t {
    HYL_SQL_NOT_SUPPORTED_TYPE = 0,
    HYL_SQL_TINYINT = 1,
    HYL_SQL_UNSIGNED_TINYINT = 2,
    HYL_SQL_SMALLINT = 3,
    HYL_SQL_UNSIGNED_SMALLINT = 4,
    HYL_SQL_INT = 5,
    HYL_SQL_UNSIGNED_INT = 6,
    HYL_SQL_BIGINT = 7,
    HYL_SQL_UNSIGNED_LONG_INT = 8,
    HYL_SQL_FLOAT = 9,
    HYL_SQL_DOUBLE = 10,
    HYL_SQL_REAL = 11,
    HYL_SQL_DECIMAL = 12,
    HYL_SQL_NUMERIC = 13,
    HYL_SQL_CHAR = 14,        // fixed character
    HYL_SQL_CHARACTER = 15,   // "CHAR", "NCHAR" in dictionary files
    HYL_SQL_DATE = 16,
    HYL_SQL_TIME = 17,
    HYL_SQL_DATETIME = 18,
    HYL_SQL_BOOLEAN = 19,
    HYL_SQL_BLOB = 20,
    HYL_SQL_CLOB = 21,
    HYL_SQL_TEXT = 22,
};

// Type code of a dictionary "data-type" name, compared without regard to case; any
// name not known gives HYL_SQL_NOT_SUPPORTED_TYPE.
std::uint8_t GetColumnTypeCode(std::string_view typeName);

// Types whose value is held as its bytes (texts, decimals kept as text, blobs), not as a
// number, date or boolean: their length is the bytes' length.
constexpr bool IsByteType(std::uint8_t type) {
    switch (type) {
        case HYL_SQL_NOT_SUPPORTED_TYPE:
        case HYL_SQL_DECIMAL:
        case HYL_SQL_NUMERIC:
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
        case HYL_SQL_BLOB:
        case HYL_SQL_CLOB:
        case HYL_SQL_TEXT:
            return true;
        default:
            return false;
    }
}
