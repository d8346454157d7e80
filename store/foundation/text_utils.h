// Text and number helpers of the store. Functions that build text return it (none where
// the store answers null); allocation results follow the store's 1 / 0 / 99 convention.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/types.h"

inline constexpr BYTE kStoreSuccess = 1;
inline constexpr BYTE kStoreFailure = 0;
inline constexpr BYTE kStoreNoMemory = 99;

// AllocateAndCopy, DuplicateString: length bytes of source (all of it for DuplicateString)
// into *destination, plus the zero std::string keeps. 0 for a null source or
// destination; 99 with "Unable to allocate memory\n" at ERROR when memory runs out.
BYTE AllocateAndCopy(std::string* destination, const char* source, std::size_t length);
BYTE DuplicateString(std::string* destination, const char* source);
// Replaces the old text with a copy of length bytes of source (none for a null source).
BYTE ReallocateAndSetString(std::optional<std::string>* destination, const char* source,
                            std::size_t length);
// Replaces *destination with valueCount values and sets *count: 1, 0 for null arguments
// or a negative count, 99 when memory runs out.
BYTE ReallocateAndSetOID(std::vector<ULONG>* destination, std::int32_t* count,
                         const ULONG* values, std::int32_t valueCount);

// Non-overlapping occurrences; 0 for an empty separator.
std::int32_t CountOfSeparator(const char* text, const char* separator);
// StringBeforeSeparator, StringAfterSeparator: the parts before and after the first
// occurrence; none when the separator does not occur.
std::optional<std::string> StringBeforeSeparator(const char* text, const char* separator);
std::optional<std::string> StringAfterSeparator(const char* text, const char* separator);
// count + 1 parts (empty parts kept); one part, the whole text, without the separator.
std::vector<std::string> SplitString(const char* text, const char* separator);
// The remainder after n occurrences; null when there are fewer.
const char* SkipToNthSeparator(const char* text, const char* separator, std::int32_t n);
// Without leading and trailing runs of ch; none for a null text or when nothing remains.
std::optional<std::string> TrimString(const char* text, char ch);
// KeepLetters, KeepLettersAndDigits, DropLettersAndDigits, ToLowerString, ToUpperString:
// the text filtered or converted (ASCII letters and digits); empty for null.
std::string KeepLetters(const char* text);
std::string KeepLettersAndDigits(const char* text);
std::string DropLettersAndDigits(const char* text);
std::string ToLowerString(const char* text);
std::string ToUpperString(const char* text);
// The text without the first occurrence of the separator (unchanged when it has none).
std::string RemoveFirstSeparator(const char* text, const char* separator);
// Re-entrant split at any of the delimiter characters: the next non-empty token of
// *rest, which moves past it; none when only delimiters remain.
std::optional<std::string_view> NextToken(std::string_view* rest, std::string_view delimiters);
// Pointer to the first occurrence or null (case-sensitive).
const char* SubString(const char* text, const char* pattern);
// Whether SubString finds the pattern.
bool FindSubString(const char* text, const char* pattern);
// Position of the first ch within length bytes, -1 if none.
std::int32_t GetIndex(const char* text, std::int32_t length, char ch);
// True if one of the comma-separated items of text[0..length) equals key[0..keyLength).
bool IsStringMatched(const char* text, std::int32_t length, const char* key, std::int32_t keyLength);
// Drops the first count texts of the array (all when count exceeds it).
void FreeStringArray(std::vector<std::string>* array, std::int32_t count);

// Big-endian value of up to 4 bytes, the first byte sign-extended; -1 for more than 4.
std::int32_t ConvertToInteger(const BYTE* bytes, std::int32_t length);
// Unsigned big-endian value of up to 4 bytes; 0 for more than 4.
std::uint32_t ConvertToUnsignedInteger(const BYTE* bytes, std::int32_t length);
bool IsIntegerString(const char* text);  // digits with an optional leading sign
bool IsDecimalString(const char* text);  // digits with at most one "."
// -1 for anything but digits with an optional sign (or a value outside 32 bits).
std::int32_t StringToInteger(const char* text);
// 0 for anything but digits with an optional fraction.
double StringToDecimal(const char* text);
// base to the power exponent (exponent below 0 gives 0, except for base 1 and -1).
std::int64_t Power(std::int64_t base, std::int32_t exponent);

// CompareNoCase, CompareCase, CompareNoCaseN, CompareCaseN: strcmp-style order (negative,
// 0, positive), ignoring ASCII case or not, of at most count bytes for the N forms; null
// counts as empty.
int CompareNoCase(const char* first, const char* second);
int CompareCase(const char* first, const char* second);
int CompareNoCaseN(const char* first, const char* second, std::size_t count);
int CompareCaseN(const char* first, const char* second, std::size_t count);
// Whether text begins with prefix; false when either is null.
bool StartsWith(const char* text, const char* prefix);
// strchr, strspn, strcspn that take null as empty: FindChar (null when absent), SpanChars,
// BreakChars.
const char* FindChar(const char* text, char ch);
std::size_t SpanChars(const char* text, const char* accept);
std::size_t BreakChars(const char* text, const char* reject);
// Reverses the terminated text in place (nothing for null).
void ReverseString(char* text);
// Copies at most capacity - 1 bytes and always terminates; returns the source length.
std::size_t BoundedCopy(char* destination, const char* source, std::size_t capacity);
// Appends within capacity and always terminates; returns the length it tried to make.
std::size_t BoundedAppend(char* destination, const char* source, std::size_t capacity);

// Whether the (Windows-style, mapped) path names an existing folder.
bool IsDirectory(const char* path);
// Local date and time as "YYYY-MM-DD hh:mm:ss".
std::string GetCurrentDateTimeString();
