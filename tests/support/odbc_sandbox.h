// An ODBC configuration of the test program's own: private odbcinst.ini and odbc.ini in
// a temporary folder, named through ODBCSYSINI and ODBCINI before the first ODBC call.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>

#include "tests/support/test_support.h"

namespace testsupport {

class OdbcSandbox {
public:
    // Copies the machine's driver list, so the installed drivers stay usable.
    OdbcSandbox() {
        std::filesystem::copy_file("/etc/odbcinst.ini", dir_.path() / "odbcinst.ini");
        WriteFile(dir_.path() / "odbc.ini", "");
        setenv("ODBCSYSINI", dir_.str().c_str(), 1);
        setenv("ODBCINI", odbcIni().c_str(), 1);
    }
    ~OdbcSandbox() {
        unsetenv("ODBCSYSINI");
        unsetenv("ODBCINI");
    }
    OdbcSandbox(const OdbcSandbox&) = delete;
    OdbcSandbox& operator=(const OdbcSandbox&) = delete;

    std::filesystem::path dir() const { return dir_.path(); }
    std::string odbcIni() const { return (dir_.path() / "odbc.ini").string(); }

    // Appends a data source to odbc.ini.
    void AddDsn(const std::string& name, const std::string& driver,
                std::initializer_list<std::pair<std::string, std::string>> attributes) {
        std::ofstream out(odbcIni(), std::ios::app);
        out << "[" << name << "]\nDriver=" << driver << "\n";
        for (const auto& [key, value] : attributes) out << key << "=" << value << "\n";
        out << "\n";
    }

    // A DSN-less connection string for an SQLite file in the sandbox folder.
    std::string SqliteConnectionString(const std::string& file = "test.db") const {
        return "Driver={SQLite3};Database=" + (dir_.path() / file).string() + ";";
    }

private:
    TempDir dir_;
};

}  // namespace testsupport
