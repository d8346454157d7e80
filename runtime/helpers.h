// Small shared helpers: paths and files, UTF-8/UTF-16 conversions, error texts with the
// program's message table, Base64, the agent service notification and date texts.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// Paths and files
std::string GetLastFileName(const char* path);
std::optional<std::string> GetLastUrlFileName(const char* urlOrPath);
DWORD CreateFolder(const WCHAR* path, int unused = 0);
DWORD CheckFileExists(const char* fileName);
DWORD CheckFileExists(const WCHAR* fileName);
bool GetFileSizeByName(const char* fileName, ULONGLONG* size);
DWORD AppendLineToFile(const char* fileName, const char* text);
std::string ConcatStrings(const char* first, const char* second);

// Encodings (all UTF-8 <-> UTF-16)
bool ChangeUtf8ToWideStr(const char* utf8, WideString* wide);
bool ChangeToWideStr(const char* text, WideString* wide);
bool ConvertWideToUtf8(const WCHAR* wide, std::string* utf8);
bool ChangeAnsiToUTF8Str(const char* text, std::string* utf8);
std::string Base64DecodeString(const char* text);
// Decoded byte count, or -1 (bad length, bad character, capacity too small).
int Base64Decode(const char* text, int length, unsigned char* output, int capacity);

// Error texts and logging
std::string GetErrorMessageStr(DWORD code);
void LogErrorMessage(DWORD code);
void LogErrorMessageAnsi(DWORD code);
void LogLastError();
std::string GetCustomErrorText(DWORD code);

// Others
int SendServiceMsg(DWORD controlCode, const WCHAR* serviceName);
int SendServiceMsgToAgent(DWORD controlCode);
std::string FindAndReplaceWithNoCase(const char* input, const char* oldText, const char* newText);
const char* FormatTwoDigits(unsigned number);
const char* GetCurrentDateShort();
const char* GetCurrentDateTimeText();
void GetCurrentTimeText(bool twentyFourHour, std::string* text);

// Where the date and time texts take the local time from; null restores the system
// clock. Lets tests pin the clock without touching the system.
using LocalTimeSource = void (*)(SYSTEMTIME* now);
void SetLocalTimeSource(LocalTimeSource source);
