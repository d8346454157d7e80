// An ODBC configuration of the test program's own: private odbcinst.ini and odbc.ini in
// a temporary folder, named through ODBCSYSINI and ODBCINI before the first ODBC call.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <stdexcept>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>

#include "tests/support/test_support.h"

namespace testsupport {

#ifdef _WIN32
// A file as an ODBC driver names it. Under Wine the drivers are the Linux host's, which
// take Linux paths ("C:\\x" is "<prefix>/drive_c/x" to them); on Windows it is the path.
inline std::string DriverPath(const std::filesystem::path& path) {
    using UnixName = char*(__cdecl*)(const wchar_t*);
    static const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return path.string();
    char* name = unixName(std::filesystem::absolute(path).c_str());
    if (!name) return path.string();
    std::string text(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}
#else
inline std::string DriverPath(const std::filesystem::path& path) { return path.string(); }
#endif

class OdbcSandbox {
public:
#ifdef _WIN32
    // Under Wine the driver manager is the host's unixODBC, which reads ODBCSYSINI and
    // ODBCINI from the environment Wine started with, never from this program's:
    // scripts/windows-test points them at one folder for the run and names it here through
    // VANTORRA_ODBC_SANDBOX. Each sandbox starts that odbc.ini empty; its files go to a
    // folder of its own.
    OdbcSandbox() {
        const char* shared = std::getenv("VANTORRA_ODBC_SANDBOX");
        if (!shared || !*shared) throw std::runtime_error("VANTORRA_ODBC_SANDBOX is not set (scripts/windows-test sets it)");
        ini_ = std::filesystem::path(shared) / "odbc.ini";
        WriteFile(ini_, "");
    }
#else
    // Copies the machine's driver list, so the installed drivers stay usable.
    OdbcSandbox() {
        std::filesystem::copy_file("/etc/odbcinst.ini", dir_.path() / "odbcinst.ini");
        ini_ = dir_.path() / "odbc.ini";
        WriteFile(ini_, "");
        setenv("ODBCSYSINI", dir_.str().c_str(), 1);
        setenv("ODBCINI", odbcIni().c_str(), 1);
    }
    ~OdbcSandbox() {
        unsetenv("ODBCSYSINI");
        unsetenv("ODBCINI");
    }
#endif
    OdbcSandbox(const OdbcSandbox&) = delete;
    OdbcSandbox& operator=(const OdbcSandbox&) = delete;

    std::filesystem::path dir() const { return dir_.path(); }
    std::string odbcIni() const { return ini_.string(); }

    // Appends a data source to odbc.ini; a value naming a file of this machine ("C:\\...")
    // is written as the driver names it.
    void AddDsn(const std::string& name, const std::string& driver,
                std::initializer_list<std::pair<std::string, std::string>> attributes) {
        std::ofstream out(ini_, std::ios::app);
        out << "[" << name << "]\nDriver=" << driver << "\n";
        for (const auto& [key, value] : attributes) {
            const bool drivePath = value.size() > 2 && value[1] == ':' && (value[2] == '\\' || value[2] == '/');
            out << key << "=" << (drivePath ? DriverPath(value) : value) << "\n";
        }
        out << "\n";
    }

    // A DSN-less connection string for an SQLite file in the sandbox folder.
    std::string SqliteConnectionString(const std::string& file = "test.db") const {
        return "Driver={SQLite3};Database=" + DriverPath(dir_.path() / file) + ";";
    }

private:
    TempDir dir_;
    std::filesystem::path ini_;
};

}  // namespace testsupport
