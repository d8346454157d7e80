// Test helper: an agent log opened in a private folder, closed and released again at
// the end of the scope, so each test sees only its own entries.
#pragma once

#include <string>
#include <string_view>

#include "runtime/log.h"
#include "tests/support/test_support.h"

class LogCapture {
public:
    explicit LogCapture(BYTE level = 4) {
        CloseLog();
        ReleaseLogSettings();
        SetLogDefaults();
        ConfigureLog("capture.log", dir_.str().c_str(), level);
        opened_ = OpenLog();
    }
    ~LogCapture() {
        CloseLog();
        ReleaseLogSettings();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const { return opened_; }
    std::string text() const { return testsupport::ReadFile(dir_.path() / "capture.log"); }
    bool has(std::string_view needle) const { return text().find(needle) != std::string::npos; }

private:
    testsupport::TempDir dir_;
    bool opened_ = false;
};
