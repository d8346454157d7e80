// Small shared helpers: paths and files, UTF-8/UTF-16 conversions, error texts with the
// program's message table, Base64, the agent service notification and date texts.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

// ---- Paths and files ----
// The part after the last backslash (the whole text without one; empty for null).
std::string GetLastFileName(const char* path);
// The part after the last slash (the whole text without one); none for null.
std::optional<std::string> GetLastUrlFileName(const char* urlOrPath);
// Creates the folder that holds the path's last part (the whole path when it ends with a
// backslash), with its parents: 0 also when it exists, ERROR_INVALID_DATA for an empty
// path, ERROR_ALREADY_EXISTS for a bare drive, else the error code, logged.
DWORD CreateFolder(const WCHAR* path, int unused = 0);
// 0 when a file or folder matches the name (wildcards allowed), else ERROR_FILE_NOT_FOUND.
DWORD CheckFileExists(const char* fileName);
DWORD CheckFileExists(const WCHAR* fileName);
// The size of the named file into *size; false when it cannot be opened or read.
bool GetFileSizeByName(const char* fileName, ULONGLONG* size);
// Appends the text and a line end to the file, creating it (and its folder) when missing:
// 0, or the error of creating it, logged; ERROR_INVALID_DATA for a null name.
DWORD AppendLineToFile(const char* fileName, const char* text);
// first followed by second (null counts as empty).
std::string ConcatStrings(const char* first, const char* second);

// ---- Encodings (all UTF-8 <-> UTF-16) ----
// ChangeUtf8ToWideStr, ChangeToWideStr: UTF-8 into *wide; false (logged) for null or empty
// text or invalid UTF-8.
bool ChangeUtf8ToWideStr(const char* utf8, WideString* wide);
bool ChangeToWideStr(const char* text, WideString* wide);
// UTF-16 into *utf8; false for null or text that is not valid UTF-16, logged.
bool ConvertWideToUtf8(const WCHAR* wide, std::string* utf8);
// Text of the system code page (UTF-8 here) into *utf8, checked on the way; false for
// null, empty or invalid text.
bool ChangeAnsiToUTF8Str(const char* text, std::string* utf8);
// The decoded bytes of Base64 text; empty for null or text that is not Base64.
std::string Base64DecodeString(const char* text);
// Decoded byte count, or -1 (bad length, bad character, capacity too small).
int Base64Decode(const char* text, int length, unsigned char* output, int capacity);

// ---- Error texts and logging ----
// The system's text for the code, else the program's own (GetCustomErrorText); the text is
// also logged at ERROR.
std::string GetErrorMessageStr(DWORD code);
// LogErrorMessage, LogErrorMessageAnsi: log the code's text at ERROR, as GetErrorMessageStr.
void LogErrorMessage(DWORD code);
void LogErrorMessageAnsi(DWORD code);
// Logs the text of the calling thread's last error code at ERROR.
void LogLastError();
// The program's own message for the code, or "Unknown Error. Code : N".
std::string GetCustomErrorText(DWORD code);

// ---- Others ----
// Sends the control code to the named service: 1 when it was delivered, 0 when the
// service manager or the service cannot be opened or the control fails, logged.
int SendServiceMsg(DWORD controlCode, const WCHAR* serviceName);
// SendServiceMsg to the agent's own service (AgentServiceName).
int SendServiceMsgToAgent(DWORD controlCode);
// input with every occurrence of oldText, matched without regard to ASCII case, replaced
// by newText; input unchanged when oldText is null or empty.
std::string FindAndReplaceWithNoCase(const char* input, const char* oldText, const char* newText);
// The last two decimal digits of the number, in a buffer of the calling thread that the
// next call overwrites.
const char* FormatTwoDigits(unsigned number);
// Today as "YY-MM-DD", in a buffer of the calling thread that the next call overwrites.
const char* GetCurrentDateShort();
// Now as "Mon DD,YYYY HH:MMAM", in a buffer of the calling thread that the next call
// overwrites.
const char* GetCurrentDateTimeText();
// Now as "HH:MM:SS" (24-hour) or "HH:MM:SS am" into *text (nothing for null).
void GetCurrentTimeText(bool twentyFourHour, std::string* text);

// Where the date and time texts take the local time from; null restores the system
// clock. Lets tests pin the clock without touching the system.
using LocalTimeSource = void (*)(SYSTEMTIME* now);
// Installs the clock (see above).
void SetLocalTimeSource(LocalTimeSource source);
