// Change notifications and identifier sequences, the sequences against real SQLite
// databases (in memory and in files, writable and read-only).
#include <sqlite3.h>

#include <algorithm>
#include <future>
#include <limits>
#include <set>
#include <thread>

#include "store/tests/store_fixture.h"

namespace {

using namespace storetest;

class NotifyTest : public StoreTest {};

TEST_F(NotifyTest, ListContainsIsCaseInsensitiveOverSortedNames) {
    struct Case {
        std::vector<std::string> names;
        const char* key;
        bool found;
    };
    const Case cases[] = {
        {{"A", "b", "c"}, "a", true},  {{"A", "b", "c"}, "C", true},  {{"A", "b", "c"}, "B", true},
        {{"A", "b", "c"}, "d", false}, {{}, "a", false},              {{"x"}, "X", true},
        {{"a", "b"}, nullptr, false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsListContains(c.names, c.key), c.found) << (c.key ? c.key : "null");
}

TEST_F(NotifyTest, RegistrationSortsCopiesAndRefusesDuplicates) {
    ASSERT_TRUE(CreateTable("Item"));
    std::vector<std::string> heard;
    std::vector<std::string> tables = {"b", "Item", "c"};
    ASSERT_TRUE(AddNotificationListener(
        "one", 0, [&](const IMDSNotification& n, const std::string& name) { heard.push_back(name + ":" + n.tableName); },
        true, tables));
    tables.clear();  // the registry keeps its own copy
    EXPECT_TRUE(AddNotificationListener("ONE", 0, nullptr, true, {"Item"}));
    EXPECT_TRUE(Logged("Listener with same name exists ONE\n"));
    AddRow("Item", {Int(1), Text("a"), Int(1)});
    EXPECT_EQ(heard, (std::vector<std::string>{"one:Item"}));  // one listener only

    EXPECT_TRUE(DisableNotification("one"));
    EXPECT_TRUE(Logged("Listener with name one disabled\n"));
    AddRow("Item", {Int(2), Text("a"), Int(1)});
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_TRUE(Logged("Listener one  disabled\n"));
    EXPECT_FALSE(DisableNotification("two"));
    EXPECT_TRUE(Logged("Listener with name two doesn't exists\n"));
    EXPECT_TRUE(RemoveNotification("One"));
    EXPECT_FALSE(RemoveNotification("one"));  // the registry is empty now
    EXPECT_FALSE(DisableNotification("one"));
    EXPECT_FALSE(HasNotificationListeners());
}

TEST_F(NotifyTest, EventKindMatching) {
    ASSERT_TRUE(CreateTable("Item"));
    std::vector<std::pair<BYTE, int>> heard;  // (listener kind, flags)
    for (BYTE kind : {0, 1, 2, 4, 8}) {
        AddNotificationListener(("k" + std::to_string(kind)).c_str(), kind,
                                [&heard, kind](const IMDSNotification& n, const std::string&) {
                                    heard.emplace_back(kind, n.row.state);
                                },
                                true, {"Item"});
    }
    auto heardBy = [&](BYTE kind) {
        std::vector<int> flags;
        for (auto [k, f] : heard) if (k == kind) flags.push_back(f);
        return flags;
    };
    RowObject* fresh = AddRow("Item", {Int(1), Text("a"), Int(1)});  // flags 2
    RowObject* saved = AddRow("Item", {Int(2), Text("b"), Int(1)});  // flags 2
    saved->state = ROW_SAVED;
    ASSERT_TRUE(UpdateRowObject("Item", saved, "NAME", "x", 1));   // flags 5
    ASSERT_TRUE(UpdateRowObject("Item", fresh, "NAME", "y", 1));   // flags 6
    ASSERT_TRUE(DeleteRowObject("Item", fresh));                   // flags 6, unlinked
    EXPECT_EQ(heardBy(0), (std::vector<int>{2, 2, 5, 6, 6}));
    EXPECT_EQ(heardBy(1), (std::vector<int>{5}));
    EXPECT_EQ(heardBy(2), (std::vector<int>{2, 2, 6, 6}));  // hears updates of unsaved rows too
    EXPECT_EQ(heardBy(4), (std::vector<int>{5}));           // 5, never 2 (nor 6)
    EXPECT_EQ(heardBy(8), (std::vector<int>{}));
    EXPECT_TRUE(Logged("Listener not registered for Eventype 2\n"));
}

TEST_F(NotifyTest, SnapshotCopiesTheRowAndUnknownTablesGetNone) {
    ASSERT_TRUE(CreateTable("Item"));
    RowObject* row = AddRow("Item", {Int(1), Text("a"), Int(1)});
    auto notification = CreateIMDSNotification(row, "item");
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(notification->row.values.size(), 3u);
    EXPECT_STREQ(notification->row.values[1].data(), "a");
    EXPECT_EQ(notification->row.next, nullptr);
    EXPECT_TRUE(notification->timeStamp.has_value());
    EXPECT_EQ(CreateIMDSNotification(row, "Nothing"), nullptr);
    AddNotificationListener("l", 0, nullptr, true, {"Plain"});
    SendNotification(row, "Item");
    EXPECT_TRUE(Logged("Listener not registered for Item table\n"));
    DeInitNotification();
    EXPECT_TRUE(Logged("Listener with name l removed\n"));
}

TEST_F(NotifyTest, ListenersChangingDuringDispatch) {
    ASSERT_TRUE(CreateTable("Item"));
    std::atomic<int> added{0};
    AddNotificationListener(
        "adder", 0,
        [&](const IMDSNotification&, const std::string&) {
            AddNotificationListener(("late" + std::to_string(added++)).c_str(), 0, nullptr, true, {"Item"});
            RemoveNotification("victim");
        },
        true, {"Item"});
    std::atomic<int> victimCalls{0};
    AddNotificationListener("victim", 0, [&](const IMDSNotification&, const std::string&) { ++victimCalls; }, true,
                            {"Item"});
    AddRow("Item", {Int(1), Text("a"), Int(1)});
    EXPECT_EQ(victimCalls.load(), 1);  // removal applies to later notifications
    AddRow("Item", {Int(2), Text("a"), Int(1)});
    EXPECT_EQ(victimCalls.load(), 1);

    // One thread churns listeners while another inserts.
    CloseLog();
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; !done; ++i) {
            const std::string name = "churn" + std::to_string(i % 5);
            AddNotificationListener(name.c_str(), 0,
                                    [](const IMDSNotification& n, const std::string&) {
                                        EXPECT_EQ(n.row.values.size(), 3u);
                                    },
                                    true, {"Item"});
            RemoveNotification(name.c_str());
        }
    });
    for (int i = 0; i < 3000; ++i) AddRow("Item", {Int(100 + i), Text("c"), Int(1)});
    done = true;
    churn.join();
    EXPECT_EQ(GetLiveRowCount("Item"), 3002u);
}

// Sequences against a SQLite file, with direct SQL to set up and inspect "SeqGenState".
class SequenceTest : public StoreTest {
protected:
    std::string DbPath() { return (files_.path() / dbName_).string(); }
    std::shared_ptr<SqliteSequenceSource> OpenFile(bool readOnly = false, bool createTable = true) {
        SqliteSequenceSource::Options options;
        options.readOnly = readOnly;
        options.createTable = createTable;
        std::string error;
        auto source = SqliteSequenceSource::Open(DbPath(), options, &error);
        EXPECT_TRUE(source) << error;
        return source;
    }
    void Exec(SqliteSequenceSource& source, const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(source.handle(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    std::optional<std::int64_t> Stored(SqliteSequenceSource& source, const std::string& name) {
        auto result = source.ExecuteQuery(nullptr, "select CURRENTBATCHEND from SeqGenState where SEQNAME = '" + name + "'");
        if (!result || result->rows.empty() || result->rows[0][0].isNull()) return std::nullopt;
        const ColumnValue& cell = result->rows[0][0];
        return cell.length == 4 ? std::optional<std::int64_t>(*cell.As<std::int32_t>()) : cell.As<std::int64_t>();
    }
    // Restarts the sequences on the given source.
    void Restart(std::shared_ptr<SqliteSequenceSource> source) {
        ReleaseSequenceState();
        SetSequenceDataSource(source);
        InitSequenceState();
        SequenceGenerator();
    }
    std::int32_t NextItemId() { return GenerateID("Item", GetColumnDefnEntry("Item", "ID")); }

    testsupport::TempDir files_;
    std::string dbName_ = "seq.db";  // a test that wants fresh files names a new one (open files stay on Windows)
};

TEST_F(SequenceTest, FreshDatabaseStoredBatchAndRestart) {
    EXPECT_EQ(NextItemId(), 1);
    EXPECT_EQ(Stored(*source_, "ITEM_SEQ"), 300);

    auto file = OpenFile();
    Exec(*file, "insert into SeqGenState values ('ITEM_SEQ', 600)");
    Restart(file);
    EXPECT_EQ(NextItemId(), 601);
    EXPECT_EQ(Stored(*file, "ITEM_SEQ"), 900);

    // Restart on the file: unused ids of the batch are skipped.
    file.reset();
    auto reopened = OpenFile();
    Restart(reopened);
    EXPECT_EQ(NextItemId(), 901);
    EXPECT_EQ(Stored(*reopened, "ITEM_SEQ"), 1200);
}

TEST_F(SequenceTest, The301stIdRefillsOnce) {
    for (int i = 1; i <= 300; ++i) ASSERT_EQ(NextItemId(), i);
    const int updatesBefore = source_->updateCount();
    EXPECT_EQ(NextItemId(), 301);
    EXPECT_EQ(source_->updateCount(), updatesBefore + 1);
    EXPECT_EQ(Stored(*source_, "ITEM_SEQ"), 600);
    EXPECT_TRUE(Logged("Update Query update SeqGenState set CURRENTBATCHEND = 600 where SEQNAME = 'ITEM_SEQ';\n"));
    EXPECT_TRUE(Logged("Query select * from SeqGenState where SEQNAME = 'ITEM_SEQ';\n"));
    EXPECT_TRUE(Logged("AutoGenerated Value 301 \n"));
}

TEST_F(SequenceTest, MissingTableAndUnknownGenerator) {
    auto bare = OpenFile(false, false);
    Restart(bare);
    EXPECT_TRUE(Logged("Table doesn't Exists for UpdateSeqGen\n"));
    // After the failed first reservation the generator has no state: each request says
    // so at TRACE, none adds an ERROR of its own.
    const std::size_t errors = LoggedCount("[ERROR]");
    EXPECT_EQ(NextItemId(), -1);
    EXPECT_EQ(NextItemId(), -1);
    EXPECT_EQ(LoggedCount("[TRACE] Cannot generate ID for key ITEM_SEQ.\n"), 2u);
    EXPECT_EQ(LoggedCount("[ERROR]"), errors);
    ColumnDefn unknown;
    unknown.generatorName = "NOBODY";
    EXPECT_EQ(GenerateID("Item", &unknown), -1);
    EXPECT_TRUE(Logged("Cannot generate ID for key NOBODY.\n"));
    EXPECT_EQ(GenerateInstanceID(), -1);
    // A row of a table whose generator fails stores -1, and the append still succeeds.
    ASSERT_TRUE(CreateTable("Item"));
    AddRow("Item", {ColumnValue::Null(), Text("a"), Int(1)});
    EXPECT_EQ(IntOf(SelectRows("Item", nullptr)->entries[0]->values[0]), -1);
}

TEST_F(SequenceTest, ReadOnlyDatabaseFailsWithoutHanging) {
    { auto create = OpenFile(); }
    auto readOnly = OpenFile(true);
    Restart(readOnly);
    EXPECT_TRUE(Logged("ExecuteUpdate Failed for insert\n"));
    EXPECT_EQ(NextItemId(), -1);

    // A batch used up while the database turned read-only: the refill fails once and
    // every caller gets -1, none spins.
    Restart(OpenFile());
    for (int i = 0; i < 300; ++i) NextItemId();
    SetSequenceDataSource(OpenFile(true));
    std::vector<std::future<std::int32_t>> callers;
    for (int i = 0; i < 4; ++i) callers.push_back(std::async(std::launch::async, [this] { return NextItemId(); }));
    for (auto& caller : callers) {
        ASSERT_EQ(caller.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(caller.get(), -1);
    }
    EXPECT_TRUE(Logged("ExecuteUpdate Failed for update\n"));
}

TEST_F(SequenceTest, QuotesInGeneratorNamesAreDoubled) {
    EXPECT_TRUE(UpdateSeqGen(nullptr, "O'Brien"));
    EXPECT_TRUE(UpdateSeqGen(nullptr, "O'Brien"));
    EXPECT_EQ(Stored(*source_, "O''Brien"), 600);
    EXPECT_TRUE(Logged("Insert Query insert into SeqGenState values ('O''Brien',300);\n"));
    // A name that tries to end the literal stays one name.
    EXPECT_TRUE(UpdateSeqGen(nullptr, "x'; drop table SeqGenState; --"));
    EXPECT_EQ(Stored(*source_, "x''; drop table SeqGenState; --"), 300);
    EXPECT_EQ(Stored(*source_, "ITEM_SEQ"), 300);
}

TEST_F(SequenceTest, BatchArithmeticStopsAtThe32BitLimit) {
    const std::int64_t top = std::numeric_limits<std::int32_t>::max();
    auto file = OpenFile();
    Exec(*file, "insert into SeqGenState values ('ITEM_SEQ', " + std::to_string(top - 300) + ")");
    Exec(*file, "insert into SeqGenState values ('WIDE_SEQ', " + std::to_string(top - 299) + ")");
    Exec(*file, "insert into SeqGenState values ('OWNER_SEQ', NULL)");
    Restart(file);
    EXPECT_EQ(NextItemId(), top - 299);
    for (int i = 0; i < 299; ++i) NextItemId();
    EXPECT_EQ(Stored(*file, "ITEM_SEQ"), top);
    EXPECT_EQ(NextItemId(), -1);  // the next batch would pass the limit
    EXPECT_TRUE(Logged("Invalid CURRENTBATCHEND for ITEM_SEQ\n"));
    EXPECT_EQ(GenerateID("Wide", GetColumnDefnEntry("Wide", "BIGID")), -1);
    EXPECT_EQ(GenerateID("Owner", GetColumnDefnEntry("Owner", "OWNER_ID")), -1);  // NULL end
}

// Rows that bring their own identifiers (default data, rows loaded or inserted with a
// key) keep the generator from handing the same identifier out again.
TEST_F(SequenceTest, GeneratedIdsStayAboveTheIdentifiersRowsBroughtWithThem) {
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    struct Case {
        const char* name;
        std::int64_t storedBefore;  // 0: no SeqGenState row for the generator
        std::vector<std::int32_t> held;
        std::vector<std::int32_t> generated;
        std::int64_t storedAfter;
    };
    const Case cases[] = {
        {"default rows inside the first batch", 0, {10, 11}, {12, 13}, 300},
        {"the batch's last id held", 0, {300}, {301, 302}, 600},
        {"held far beyond the batch", 0, {5, 1000}, {1001, 1002}, 1300},
        {"held below the stored batch", 600, {10, 650}, {651, 652}, 900},
        {"held beyond a stored batch", 600, {5000}, {5001}, 5300},
        {"nothing held", 600, {}, {601, 602}, 900},
        {"the last identifier held", 0, {top}, {-1}, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTableData("Item");
        dbName_ = "case" + std::to_string(&c - cases) + ".db";
        auto file = OpenFile();
        if (c.storedBefore) Exec(*file, "insert into SeqGenState values ('ITEM_SEQ', " + std::to_string(c.storedBefore) + ")");
        Restart(file);
        ASSERT_TRUE(CreateTable("Item"));
        for (std::int32_t id : c.held) AddRow("Item", {Int(id), Text("held"), Int(1)});
        std::vector<std::int32_t> generated;
        for (std::size_t i = 0; i < c.generated.size(); ++i)
            generated.push_back(IntOf(AddRow("Item", {ColumnValue::Null(), Text("new"), Int(1)})->values[0]));
        EXPECT_EQ(generated, c.generated);
        EXPECT_EQ(Stored(*file, "ITEM_SEQ"), c.storedAfter);
    }
    EXPECT_TRUE(Logged("No identifiers of ITEM_SEQ are left above 2147483647\n"));

    // An update that writes a higher identifier into a generator column counts as well.
    dbName_ = "wide.db";
    Restart(OpenFile());
    ASSERT_TRUE(CreateTable("Wide"));
    const std::int64_t wide = 7;
    RowObject* row = AddRow("Wide", {ColumnValue::FromBytes(&wide, 8), ColumnValue::Null()});
    const std::int64_t raised = 700;
    ASSERT_TRUE(UpdateRowObject("Wide", row, "BIGID", ColumnValue::FromBytes(&raised, 8)));
    RowObject* next = AddRow("Wide", {ColumnValue::Null(), ColumnValue::Null()});
    EXPECT_EQ(next->values[0].As<std::int64_t>(), 701);
}

TEST_F(SequenceTest, ConcurrentCallersNeverShareAnId) {
    CloseLog();
    constexpr int kThreads = 8, kEach = 1000;
    std::vector<std::future<std::vector<std::int32_t>>> workers;
    const int updatesBefore = source_->updateCount();
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [this] {
            std::vector<std::int32_t> ids;
            for (int i = 0; i < kEach; ++i) ids.push_back(NextItemId());
            return ids;
        }));
    }
    std::vector<std::int32_t> all;
    for (auto& worker : workers) {
        auto ids = worker.get();
        all.insert(all.end(), ids.begin(), ids.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::int32_t> expected(kThreads * kEach);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::int32_t>(i + 1);
    EXPECT_EQ(all, expected);
    EXPECT_EQ(source_->updateCount() - updatesBefore, 26);  // 27 batches, the first reserved at start
    EXPECT_EQ(Stored(*source_, "ITEM_SEQ"), 8100);

    ASSERT_TRUE(UpdateSeqGen(nullptr, "INSTANCE_ID"));
    std::vector<std::future<std::vector<std::int32_t>>> instances;
    for (int t = 0; t < kThreads; ++t) {
        instances.push_back(std::async(std::launch::async, [] {
            std::vector<std::int32_t> ids;
            for (int i = 0; i < kEach; ++i) ids.push_back(GenerateInstanceID());
            return ids;
        }));
    }
    std::set<std::int32_t> unique;
    for (auto& worker : instances) {
        for (std::int32_t id : worker.get()) {
            EXPECT_GT(id, 0);
            unique.insert(id);
        }
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
