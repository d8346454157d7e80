// The store shell: runs store commands given as arguments or read from standard input.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

struct ResultData;

namespace storeshell {

// Runs the shell on the arguments after the program name; returns the exit status
// (0 success, 1 a command failed, 2 usage, 3 dictionary unreadable, 4 data load failed,
// 5 the store could not start on the --root directory).
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace storeshell
