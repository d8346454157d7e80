// Names of column types as dictionary files write them, mapped to the store's type codes.
#include "store/dictionary/column_types.h"

#include <iterator>

namespace {

struct TypeName {
    std::string_view name;
    std::uint8_t code;
};

constexpr TypeName kTypeNames[] = {
    {"HYL_SQL_NOT_SUPPORTED_TYPE", HYL_SQL_NOT_SUPPORTED_TYPE},
    {"HYL_SQL_TINYINT", HYL_SQL_TINYINT},
    {"HYL_SQL_UNSIGNED_TINYINT", HYL_SQL_UNSIGNED_TINYINT},
    {"HYL_SQL_SMALLINT", HYL_SQL_SMALLINT},
    {"HYL_SQL_UNSIGNED_SMALLINT", HYL_SQL_UNSIGNED_SMALLINT},
    {"HYL_SQL_INT", HYL_SQL_INT},
    {"INTEGER", HYL_SQL_INT},
    {"LONG", HYL_SQL_INT},
    {"HYL_SQL_UNSIGNED_INT", HYL_SQL_UNSIGNED_INT},
    {"BIGINT", HYL_SQL_BIGINT},
    {"HYL_SQL_UNSIGNED_LONG_INT", HYL_SQL_UNSIGNED_LONG_INT},
    {"HYL_SQL_FLOAT", HYL_SQL_FLOAT},
    {"FLOAT", HYL_SQL_FLOAT},
    {"HYL_SQL_DOUBLE", HYL_SQL_DOUBLE},
    {"HYL_SQL_REAL", HYL_SQL_REAL},
    {"HYL_SQL_DECIMAL", HYL_SQL_DECIMAL},
    {"HYL_SQL_NUMERIC", HYL_SQL_NUMERIC},
    {"HYL_SQL_CHAR", HYL_SQL_CHAR},
    {"CHAR", HYL_SQL_CHARACTER},
    {"NCHAR", HYL_SQL_CHARACTER},
    {"HYL_SQL_DATE", HYL_SQL_DATE},
    {"DATE", HYL_SQL_DATE},
    {"HYL_SQL_TIME", HYL_SQL_TIME},
    {"TIME", HYL_SQL_TIME},
    {"HYL_SQL_DATETIME", HYL_SQL_DATETIME},
    {"DATETIME", HYL_SQL_DATETIME},
    {"TIMESTAMP", HYL_SQL_DATETIME},
    {"BOOLEAN", HYL_SQL_BOOLEAN},
    {"HYL_SQL_BLOB", HYL_SQL_BLOB},
    {"BLOB", HYL_SQL_BLOB},
    {"HYL_SQL_CLOB", HYL_SQL_CLOB},
    {"CLOB", HYL_SQL_CLOB},
    {"HYL_SQL_TEXT", HYL_SQL_TEXT},
    {"TEXT", HYL_SQL_TEXT},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
        if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::uint8_t GetColumnTypeCode(std::string_view typeName) {
    for (const TypeName& entry : kTypeNames) {
        if (EqualsIgnoringCase(entry.name, typeName)) return entry.code;
    }
    return HYL_SQL_NOT_SUPPORTED_TYPE;
}
