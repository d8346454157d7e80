// The files a download keeps for a while. The agent runs with the highest privileges in
// folders other users may write to, so each of them is created new (never an existing
// file, never through a link) and read back through the handle that wrote it; GET_DATA
// bodies stay in a folder only this process's account may enter.
#pragma once

#include <string>

#include "platform/platform.h"

namespace httpclient {

// TEMP, or the host's temporary folder when TEMP is unset; no separator at the end.
std::string TempFolder();
// The folder the agent's own files live below (download repository, access logs,
// zqerror.log): the install folder, or the temporary folder when none is set. Ends with
// a separator.
std::string AgentFilesFolder();
// A folder below TempFolder() that only this process's account may enter, created once
// per process (again when TEMP changes or the folder went away) under a random name, so
// that no folder or link someone made before is ever used. ERROR_SUCCESS and its path,
// else the error.
DWORD PrivateTempFolder(std::string* folder);

// A file this process created, open for reading and writing. Deleted when the object
// goes, unless Forget() was called.
class ExclusiveFile {
public:
    ExclusiveFile() = default;
    ~ExclusiveFile() { Discard(); }
    ExclusiveFile(ExclusiveFile&& other) noexcept;
    ExclusiveFile& operator=(ExclusiveFile&& other) noexcept;
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // Creates "<stem>.tmp", or "<stem>.N.tmp" when that name is taken.
    DWORD Create(const WideString& stem);
    HANDLE handle() const { return handle_; }
    const WideString& path() const { return path_; }
    // Closes the handle and keeps the file, e.g. to rename it.
    void Close();
    // The file was renamed away: nothing is deleted at the end.
    void Forget();
    // Closes the handle and deletes the file.
    void Discard();

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    WideString path_;
};

// Reads the whole GET_DATA file behind `file` from its start as text (CR LF pairs become
// LF, as the agent has always seen its data). ERROR_SUCCESS; HTTP_RESULT_FILE_TOO_LARGE
// (logged) when it holds more than HTTPMaxDataSize bytes; else the read's error.
DWORD ReadDataBack(HANDLE file, std::string* text);

// Names the GET_DATA file of the download running on the calling thread while it lives,
// for LoadDatafromFile.
class CurrentDataFile {
public:
    explicit CurrentDataFile(const ExclusiveFile& file);
    ~CurrentDataFile();
    CurrentDataFile(const CurrentDataFile&) = delete;
    CurrentDataFile& operator=(const CurrentDataFile&) = delete;

    static HANDLE Handle();
    static WideString Path();

private:
    HANDLE previousHandle_;
    WideString previousPath_;
};

}  // namespace httpclient
