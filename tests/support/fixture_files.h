// File helpers the server fixtures share (http_fixture_files.cpp).
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Lets nginx's workers (user nobody) read a served file or enter a folder.
void MakeReadableByAll(const std::filesystem::path& path);
// Writes `text` to `path`, replacing it; throws std::runtime_error when it cannot.
void WriteText(const std::filesystem::path& path, const std::string& text);

}  // namespace testsupport
