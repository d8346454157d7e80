// The store shell: runs store commands given as arguments or read from standard input.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct ResultData;

namespace storeshell {

// Runs a stored query of the catalogue by name: its rows, or null with the reason in
// error. The program installs one where the catalogue is built in; without one, "query
// NAME" reports that stored queries are not available.
using StoredQueryRunner = std::function<std::unique_ptr<ResultData>(const std::string& name, std::string* error)>;
void SetStoredQueryRunner(StoredQueryRunner runner);

// Runs the shell on the arguments after the program name; returns the exit status
// (0 success, 1 a command failed, 2 usage, 3 dictionary unreadable, 4 data load failed,
// 5 the store could not start on the --root directory).
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace storeshell
