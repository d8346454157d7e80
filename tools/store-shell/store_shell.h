// The store shell: runs store commands given as arguments or read from standard input.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace storeshell {

// Runs the shell on the arguments after the program name; returns the exit status
// (0 success, 1 a command failed, 2 usage, 3 dictionary unreadable, 4 data load failed).
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace storeshell
