// Shared set-up of the table, loader and sequence tests: a fresh store with the test
// dictionary, an in-memory SQLite sequence source and a log at TRACE to check messages.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

#include "runtime/log.h"
#include "store/notify/notify.h"
#include "store/notify/sqlite_sequence_source.h"
#include "store/tables/tables.h"
#include "tests/support/test_support.h"

namespace storetest {

inline std::filesystem::path TestData() { return testsupport::SourceDir() / "store" / "tests" / "data"; }

inline void ClearStore() {
    DeInitNotification();
    for (TableData* table : GetAllTableData()) {
        std::unique_ptr<TableData> removed = RemoveTableData(table->name.c_str());
        FreeTableData(removed.get());
    }
    RemoveAllTableDefns();
    ReleaseSequenceState();
    SetSequenceDataSource(nullptr);
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearStore();
        CloseLog();
        ReleaseLogSettings();
        SetLogDefaults();
        ConfigureLog("store.log", logDir_.str().c_str(), 4);
        ASSERT_TRUE(OpenLog());
        ASSERT_TRUE(LoadDataDictFromXMLFile((TestData() / "tables_dictionary.xml").string().c_str()));
        source_ = SqliteSequenceSource::Open(":memory:");
        ASSERT_TRUE(source_);
        SetSequenceDataSource(source_);
        InitSequenceState();
        ASSERT_TRUE(SequenceGenerator());
    }
    void TearDown() override {
        ClearStore();
        CloseLog();
        ReleaseLogSettings();
    }
    std::string Log() {
        std::fflush(gv_logFilePtr);
        return testsupport::ReadFile(logDir_.path() / "store.log");
    }
    bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }
    std::size_t LoggedCount(const std::string& text) {
        const std::string log = Log();
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }

    testsupport::TempDir logDir_;
    std::shared_ptr<SqliteSequenceSource> source_;
};

// A field of /proc/self/status in KiB (VmRSS, VmHWM, VmSize...); 0 when absent. Windows
// answers for the resident set and its peak with the working set's, for VmSize with the
// committed private memory.
inline std::uint64_t ProcessStatusKiB(const std::string& field) {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    if (field == "VmRSS") return counters.WorkingSetSize / 1024;
    if (field == "VmHWM") return counters.PeakWorkingSetSize / 1024;
    if (field == "VmSize") return counters.PagefileUsage / 1024;
    return 0;
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
    }
    return 0;
#endif
}

inline ColumnValue Int(std::int32_t value) { return ColumnValue::FromBytes(&value, 4); }
inline ColumnValue Text(const char* text) { return ColumnValue::FromText(text); }

inline std::int32_t IntOf(const ColumnValue& value) { return value.As<std::int32_t>().value_or(-999); }

// Appends a row of the given values; fails the test when the store refuses it.
inline RowObject* AddRow(const char* table, std::vector<ColumnValue> values) {
    auto row = CreateNewRowObject(std::move(values));
    RowObject* raw = row.get();
    EXPECT_TRUE(AddNewRow(table, std::move(row)));
    return raw;
}

// The rows of a select as a list of one column's integers.
inline std::vector<std::int32_t> Ints(ResultData* result, std::uint32_t column) {
    std::vector<std::int32_t> out;
    if (!result) return out;
    for (RowObject* row : result->entries) out.push_back(IntOf(row->values[column]));
    return out;
}

}  // namespace storetest
