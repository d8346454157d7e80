// Firebird SQL checked by the real engine: Debian's embedded Firebird 3 (no server) runs
// statements through isql-fb on a database file in a temporary folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/database_servers.h"
#include "tests/support/test_support.h"

namespace testsupport {

class FirebirdDatabase {
public:
    static bool Available() { return std::filesystem::exists("/usr/bin/isql-fb"); }

    // Creates an empty database; created() tells whether that worked.
    FirebirdDatabase() {
        const std::string create = "CREATE DATABASE '" + database() + "' USER 'SYSDBA';\n";
        created_ = Available() && RunScript(create, false).exitCode == 0;
    }
    bool created() const { return created_; }
    std::string database() const { return (dir_.path() / "check.fdb").string(); }

    struct Result {
        int exitCode = -1;
        std::string output;  // what isql printed, errors included
    };
    // Runs the statements (each must end with ";") and stops at the first that fails.
    Result Run(const std::string& statements) const { return RunScript(statements, true); }

private:
    Result RunScript(const std::string& statements, bool onDatabase) const {
        const std::filesystem::path script = dir_.path() / "script.sql";
        const std::filesystem::path output = dir_.path() / "output.txt";
        WriteFile(script, statements);
        // The engine keeps its lock files where FIREBIRD_LOCK says: one folder per database.
        std::string command = "FIREBIRD_LOCK=" + ShellQuote((dir_.path() / "lock").string()) +
                              " isql-fb -q -b -user SYSDBA -i " + ShellQuote(script.string());
        if (onDatabase) command += " " + ShellQuote(database());
        command += " >" + ShellQuote(output.string()) + " 2>&1";
        Result result;
        result.exitCode = RunCommand(command);
        result.output = ReadFile(output);
        return result;
    }

    TempDir dir_;
    bool created_ = false;
};

}  // namespace testsupport
