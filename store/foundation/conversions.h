// Conversions for network-management value forms: object identifiers, IP addresses,
// 64-bit counters, date-and-time octets, month and date texts, and the key obfuscation.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/types.h"

// Value of one hexadecimal digit; GetHexValue returns other characters unchanged,
// ConvertToDecimalFromHexa returns 0 for them.
int GetHexValue(char ch);
int ConvertToDecimalFromHexa(char ch);
// Packs pairs of hexadecimal digits into bytes in place; returns length / 2.
std::int32_t ConvertToHexValue(char* text, std::int32_t length);
// Each byte split into its high and low 4-bit values (2 * length results).
std::vector<BYTE> ConvertToStringFromHex(const BYTE* bytes, std::int32_t length);

// kind 0: decimal text of the integer at value (none for a null pointer);
// kind 1: "FALSE" for a null pointer, otherwise "TRUE"; other kinds: none.
std::optional<std::string> ToString(const void* value, int kind);
// ConvertToStringFromInteger, ConvertToStringFromUnsignedInteger: the decimal text.
std::string ConvertToStringFromInteger(std::int32_t value);
std::string ConvertToStringFromUnsignedInteger(std::uint32_t value);

// ConvertToStringFromOID, ConvertToStringFromOid: "." before each sub-identifier;
// byteLength counts bytes (4 per sub-identifier). The Oid form appends to *destination
// and returns its length (0 for null).
std::string ConvertToStringFromOID(const ULONG* subIds, std::int32_t byteLength,
                                   std::int32_t* textLength);
std::int32_t ConvertToStringFromOid(const ULONG* subIds, std::int32_t count, std::string* destination);
// Dotted decimal into values: an identifier must start with "." (one value per ".");
// an address gives count of "." + 1 fields. -1 on a bad form, otherwise the count.
std::int32_t ConvertToOidOrIpFromString(std::vector<ULONG>* values, const char* text, bool isAddress);
// Dotted decimal text of values[from..to).
std::string ConvertToIpAddressFromOid(const ULONG* values, std::int32_t from, std::int32_t to);
// IsValidIPAddress: four dotted decimal fields of 0 to 255. IsValidOid: "." and at least
// two sub-identifiers. False for null or a length of 0.
bool IsValidIPAddress(const char* text, std::int32_t length);
bool IsValidOid(const char* text, std::int32_t length);

// Lexicographic order, a shorter prefix first: negative, 0 or positive.
int CompareOid(const ULONG* first, std::int32_t firstCount, const ULONG* second, std::int32_t secondCount);
// CopyOid replaces *destination with count values of source; SetNOid copies them into an
// array the caller sized. Nothing for a null destination (SetNOid: or source, or count 0).
void CopyOid(std::vector<ULONG>* destination, const ULONG* source, std::int32_t count);
std::int32_t GetOidLength(const char* text);  // count of "."
void SetNOid(ULONG* destination, const ULONG* source, std::int32_t count);
// First value greater than given; none when no value is.
std::optional<ULONG> GetNextSubId(const ULONG* values, std::int32_t count, ULONG given);
// CopyStringToOid, ConvertToCharArray: each byte of the text becomes one sub-identifier,
// and back.
std::vector<ULONG> CopyStringToOid(const char* text, std::int32_t length);
std::string ConvertToCharArray(const ULONG* values, std::int32_t count);
// PrintOid, PrintStream: the values or bytes (hex) to the log at TRACE.
void PrintOid(const ULONG* values, std::int32_t count);
void PrintStream(const BYTE* bytes, std::int32_t length);

// A 64-bit counter as its high and low 32-bit halves.
struct Counter64 {
    ULONG high = 0;
    ULONG low = 0;
};
// Big-endian bytes (up to 8; with 9 the first byte is skipped). False for other lengths.
bool ConvertToCounter64(Counter64* counter, const BYTE* bytes, std::int32_t length);
// ConvertToCounter64FromULongLong, ConvertToULongLongFromCounter64, ConvertCounter64ToString:
// between the halves, the 64-bit value and its decimal text.
Counter64 ConvertToCounter64FromULongLong(ULONGLONG value);
ULONGLONG ConvertToULongLongFromCounter64(const Counter64& counter);
std::string ConvertCounter64ToString(const Counter64& counter);

// 8 octets as "%d-%d-%d,%d:%d:%d.%d", 11 adding ",%c%d:%d"; none for other lengths.
std::optional<std::string> ConvertToStringFromDateTime(const BYTE* octets, std::int32_t* length);
// The reverse: 7 or 10 fields give 8 or 11 octets; none for other forms.
std::optional<std::vector<BYTE>> ConvertToDateTimeFromString(const char* text, std::int32_t* length);

// 1 if a is not earlier than b (year, month, day, hour, minute, second), else 0.
int CompareTime(const std::tm& first, const std::tm& second);
// "Jan" to "Dec", any case: 0 to 11; else -1.
int ParseMonth(const char* text);
// An HTTP date in any of its three forms (RFC 1123, RFC 850, asctime); none for other text.
std::optional<std::tm> ParseDateTime(const char* text);

// XOR with (key + 9) mod 255 for 247 <= key <= 2147483638, else the low byte of key + 9.
void EncryptDecryptKey(BYTE* buffer, std::int32_t length, std::int32_t key);
