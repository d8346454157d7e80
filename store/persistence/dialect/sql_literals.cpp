// Values as SQL literals, and cells converted to the column types of a definition.
#include <cinttypes>
#include <cstring>

#include <fmt/format.h>
#include <fmt/printf.h>

#include "runtime/log.h"
#include "store/criteria/criteria.h"
#include "store/dictionary/column_types.h"
#include "store/foundation/text_utils.h"
#include "store/persistence/dialect/dialect_rules.h"

namespace {

std::string_view BytesOf(const ColumnValue& value) {
    const std::size_t size = value.buffer ? std::min<std::size_t>(value.length, value.buffer->size()) : 0;
    return value.buffer ? std::string_view(value.buffer->data(), size) : std::string_view();
}

}  // namespace

// Digits with an optional sign, fraction and exponent: safe to write without quotes.
bool IsNumberText(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        if (i == start) return false;
    }
    return i == text.size();
}

namespace {

// A value too short for its type is refused: written as NULL it would lose the value.
SqlText TooShort(const ColumnValue& value, BYTE type) {
    LogError("GenerateSql : a value of %d bytes is too short for column type %d\n",
             static_cast<int>(value.buffer ? value.buffer->size() : 0), static_cast<int>(type));
    return std::nullopt;
}

template <typename T>
SqlText Number(const ColumnValue& value, const char* format, BYTE type) {
    const std::optional<T> number = value.As<T>();
    if (!number) return TooShort(value, type);
    return fmt::sprintf(format, *number);
}

}  // namespace

SqlText QuotedLiteral(const DialectRules& rules, std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        LogError("%sGenerateSql : a text holding a NUL byte cannot be written into a statement\n", rules.prefix);
        return std::nullopt;
    }
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        quoted += c;
        if (c == '\'' || (c == '\\' && rules.backslashEscapes)) quoted += c;
    }
    quoted += '\'';
    return quoted;
}

SqlText Literal(const DialectRules& rules, const ColumnValue& value, BYTE type) {
    if (value.isNull()) return std::string("NULL");
    switch (type) {
        case HYL_SQL_TINYINT:
        case HYL_SQL_SMALLINT:
        case HYL_SQL_INT:
            return Number<std::int32_t>(value, "%d", type);
        case HYL_SQL_UNSIGNED_TINYINT:
        case HYL_SQL_UNSIGNED_SMALLINT:
        case HYL_SQL_UNSIGNED_INT:
            return Number<std::uint32_t>(value, "%u", type);
        case HYL_SQL_BIGINT:
            return Number<std::int64_t>(value, "%" PRId64, type);
        case HYL_SQL_UNSIGNED_LONG_INT:
            return Number<std::uint64_t>(value, "%" PRIu64, type);
        case HYL_SQL_FLOAT:
        case HYL_SQL_REAL: {
            // Nine significant digits bring every float back unchanged.
            const std::optional<float> number = value.As<float>();
            if (!number) return TooShort(value, type);
            return fmt::sprintf("%.9g", static_cast<double>(*number));
        }
        case HYL_SQL_DOUBLE:
            return Number<double>(value, "%.17g", type);
        case HYL_SQL_DECIMAL:
        case HYL_SQL_NUMERIC: {
            const std::string_view text = BytesOf(value);
            if (IsNumberText(text)) return std::string(text);
            return QuotedLiteral(rules, text);
        }
        case HYL_SQL_CHAR:
        case HYL_SQL_CHARACTER:
        case HYL_SQL_CLOB:
        case HYL_SQL_TEXT:
            return QuotedLiteral(rules, BytesOf(value));
        case HYL_SQL_DATE:
        case HYL_SQL_TIME:
        case HYL_SQL_DATETIME: {
            const std::optional<std::string> text = ConvertColumnValueToText(value, type);
            if (!text || *text == "NULL") {
                LogError("GenerateSql : a value of %d bytes is no date or time of column type %d\n",
                         static_cast<int>(value.buffer->size()), static_cast<int>(type));
                return std::nullopt;
            }
            return QuotedLiteral(rules, *text);
        }
        case HYL_SQL_BOOLEAN:
            if (value.buffer->size() < 1) return TooShort(value, type);
            return std::string((*value.buffer)[0] == 1 ? rules.trueLiteral : rules.falseLiteral);
        case HYL_SQL_BLOB: {
            const std::string_view bytes = BytesOf(value);
            std::string hex;
            hex.reserve(bytes.size() * 2 + 12);
            hex += rules.blobLiteral == BlobLiteralStyle::PostgresBytea ? "'\\x" : "X'";
            static constexpr char kDigits[] = "0123456789ABCDEF";
            for (unsigned char c : bytes) {
                hex += kDigits[c >> 4];
                hex += kDigits[c & 15];
            }
            hex += rules.blobLiteral == BlobLiteralStyle::PostgresBytea ? "'::bytea" : "'";
            return hex;
        }
        default:
            LogError("Unsupported Datatype Used in Query generation.\n");
            return std::nullopt;
    }
}

SqlText SqlLiteral(const SqlDialect* dialect, const ColumnValue& value, BYTE type) {
    if (!dialect) return std::nullopt;
    return Literal(*dialect->rules, value, type);
}

std::optional<ColumnValue> ConvertCellToColumnType(const ColumnValue& cell, BYTE cellType, BYTE columnType) {
    if (cell.isNull()) return ColumnValue::Null();
    if (cellType == columnType) return cell;
    std::string text;
    if (IsByteType(cellType)) {
        text = std::string(BytesOf(cell));
    } else {
        std::optional<std::string> converted = ConvertColumnValueToText(cell, cellType);
        if (!converted) return std::nullopt;
        text = std::move(*converted);
    }
    if (IsByteType(columnType)) return ColumnValue::FromText(text);
    if (columnType == HYL_SQL_BOOLEAN) {
        const bool truth = text == "1" || CompareNoCase(text.c_str(), "t") == 0 ||
                           CompareNoCase(text.c_str(), "true") == 0 || CompareNoCase(text.c_str(), "'t'") == 0;
        std::uint32_t length = 0;
        return ConvertTextToColumnValue(truth ? "TRUE" : "FALSE", HYL_SQL_BOOLEAN, &length);
    }
    if (columnType == HYL_SQL_DATE || columnType == HYL_SQL_TIME || columnType == HYL_SQL_DATETIME) {
        const std::size_t dot = text.find('.');
        if (dot != std::string::npos) text.resize(dot);
    }
    std::uint32_t length = 0;
    ColumnValue value = ConvertTextToColumnValue(text.c_str(), columnType, &length);
    if (value.isNull()) return std::nullopt;
    return value;
}
