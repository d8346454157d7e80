// The reg command: query, add, delete, import and export on the HKLM hive of the
// machine root, with the syntax and messages of the Windows tool.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace regtool {

// Runs one command (arguments without the program name); returns the exit code:
// 0 on success, 1 on any error (reported on err with an "ERROR: " line).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace regtool
