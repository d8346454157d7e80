// The byte layout of date, time and date-time column values.
#include "store/datetime/hyl_datetime.h"
#include "store/dictionary/column_types.h"
#include "store/foundation/column_value.h"

namespace {

constexpr std::uint8_t kDatePresent = 1;
constexpr std::uint8_t kTimePresent = 2;

void PutDate(char* out, const HylDate& date) {
    out[0] = static_cast<char>(date.year & 0xFF);
    out[1] = static_cast<char>(date.year >> 8);
    out[2] = static_cast<char>(date.month);
    out[3] = static_cast<char>(date.day);
}

void PutTime(char* out, const HylTime& time) {
    out[0] = static_cast<char>(time.hour);
    out[1] = static_cast<char>(time.minute);
    out[2] = static_cast<char>(time.second);
}

HylDate GetDate(const unsigned char* in) {
    HylDate date;
    date.year = static_cast<WORD>(in[0] | (in[1] << 8));
    date.month = in[2];
    date.day = in[3];
    return date;
}

HylTime GetTime(const unsigned char* in) { return HylTime{in[0], in[1], in[2]}; }

}  // namespace

ColumnValue MakeHylDateValue(const HylDate& date) {
    char bytes[HYL_DATE_LENGTH];
    PutDate(bytes, date);
    return ColumnValue::FromBytes(bytes, HYL_DATE_LENGTH);
}

ColumnValue MakeHylTimeValue(const HylTime& time) {
    char bytes[HYL_TIME_LENGTH];
    PutTime(bytes, time);
    return ColumnValue::FromBytes(bytes, HYL_TIME_LENGTH);
}

ColumnValue MakeHylDateTimeValue(const HylDateTime& dateTime) {
    char bytes[HYL_DATETIME_LENGTH] = {};
    std::uint8_t present = 0;
    if (dateTime.date) PutDate(bytes, *dateTime.date), present |= kDatePresent;
    if (dateTime.time) PutTime(bytes + 4, *dateTime.time), present |= kTimePresent;
    bytes[7] = static_cast<char>(present);
    return ColumnValue::FromBytes(bytes, HYL_DATETIME_LENGTH);
}

std::optional<HylDateTime> ReadHylValue(const ColumnValue& value) {
    if (value.isNull() || value.buffer->size() != value.length) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.buffer->data());
    HylDateTime result;
    switch (value.length) {
        case HYL_DATE_LENGTH:
            result.date = GetDate(bytes);
            return result;
        case HYL_TIME_LENGTH:
            result.time = GetTime(bytes);
            return result;
        case HYL_DATETIME_LENGTH:
            if (bytes[7] & kDatePresent) result.date = GetDate(bytes);
            if (bytes[7] & kTimePresent) result.time = GetTime(bytes + 4);
            return result;
        default:
            return std::nullopt;
    }
}

std::optional<std::string> HylValueToText(const ColumnValue& value, BYTE type) {
    const std::optional<HylDateTime> read = ReadHylValue(value);
    if (!read) return std::nullopt;
    switch (type) {
        case HYL_SQL_DATE:
            return read->date ? HylDateToString(&*read->date) : std::nullopt;
        case HYL_SQL_TIME:
            return read->time ? HylTimeToString(&*read->time) : std::nullopt;
        default:
            return HylDateTimeToString(&*read);
    }
}
