// A database server stopped under a running store and started again: saves made while
// it is gone fail and say so in the store log, the rows keep their changes, and the
// first save once it is back writes every change once (nothing lost, nothing doubled).
#include <gtest/gtest.h>

#include <map>

#include "tests/campaigns/campaign_databases.h"
#include "tests/campaigns/campaign_support.h"

namespace {

using campaign::Number;
using campaign::SqlClient;
using startuptest::CellOf;
using startuptest::StoreRoot;

struct Server {
    const char* name;
    SqlClient (*use)(testsupport::OdbcSandbox&, const StoreRoot&, const std::string&);
    bool (*stop)();
    bool (*start)();
};

// Test names and failure messages show the server's name.
void PrintTo(const Server& server, std::ostream* out) { *out << server.name; }

bool AddOrder(const std::string& name) {
    std::vector<ColumnValue> values(5);
    values[1] = ColumnValue::FromText(name);
    values[4] = ColumnValue::FromObject<std::int32_t>(1, 4);
    return AddNewRow("Orders", CreateNewRowObject(std::move(values)));
}

// The rows of Orders by name.
std::map<std::string, RowObject*> OrdersByName() {
    std::map<std::string, RowObject*> rows;
    std::unique_ptr<ResultData> all = SelectRows("Orders", nullptr);
    while (RowObject* row = all ? GotoNextRowObject(all.get()) : nullptr) rows[CellOf(row, "Orders", "NAME")] = row;
    return rows;
}

// The error lines of the store log, for failure messages.
std::string ErrorLines(const StoreRoot& root) {
    std::string lines;
    for (const std::string& line : campaign::Lines(testsupport::ReadFile(root.path() / "logs" / "quennet.log")))
        if (line.find("[ERROR]") != std::string::npos) lines += line + "\n";
    return lines;
}

class DatabaseGoneCampaign : public testing::TestWithParam<Server> {};

TEST_P(DatabaseGoneCampaign, SavesWhileTheServerIsDownFailAndTheNextOneWritesEveryChangeOnce) {
    const Server& server = GetParam();
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    const SqlClient sql = server.use(sandbox, root, "gone");
    const int outages = campaign::Size(2, 10);
    const int base = 100;
    int outagesDone = 0, saves = 0, failedSaves = 0, inserted = 0, updated = 0, deleted = 0;
    {
        startuptest::StartedStore store(root);
        ASSERT_TRUE(store.started()) << ErrorLines(root);
        // A batch past the identifiers of the default rows (10 and 11).
        ASSERT_TRUE(UpdateSeqGen("Orders", "ORDER_ID"));
        for (int i = 0; i < base; ++i) ASSERT_TRUE(AddOrder("base-" + std::to_string(i)));
        ASSERT_TRUE(SaveAllTables()) << ErrorLines(root);
        ++saves;
        const std::filesystem::path log = root.path() / "logs" / "quennet.log";
        for (int outage = 0; outage < outages; ++outage) {
            ASSERT_TRUE(server.stop()) << "outage " << outage;
            ++outagesDone;
            // Changes while the server is gone: new rows, changed rows, deleted rows.
            std::map<std::string, RowObject*> rows = OrdersByName();
            const std::string tag = "o" + std::to_string(outage);
            for (int i = 0; i < 10; ++i, ++inserted) ASSERT_TRUE(AddOrder(tag + "-new-" + std::to_string(i)));
            int changes = 0;
            for (auto& [name, row] : rows) {
                if (name.rfind("base-", 0) != 0 || row->state != ROW_SAVED) continue;
                if (changes < 8) {
                    const std::string changed = tag + "-changed-" + name;
                    ASSERT_TRUE(UpdateRowObject("Orders", row, "NAME", changed.c_str(), static_cast<std::uint32_t>(changed.size())));
                    ++updated;
                } else if (changes < 11) {
                    ASSERT_TRUE(DeleteRowObject("Orders", row));
                    ++deleted;
                } else {
                    break;
                }
                ++changes;
            }
            const std::uint32_t live = GetLiveRowCount("Orders");
            for (int attempt = 0; attempt < 2; ++attempt) {
                const std::size_t logBefore = testsupport::ReadFile(log).size();
                EXPECT_FALSE(SaveAllTables()) << "a save with " << server.name << " gone reported success";
                ++saves;
                ++failedSaves;
                const std::string written = testsupport::ReadFile(log).substr(logBefore);
                EXPECT_NE(written.find("[ERROR]"), std::string::npos) << "no error line for the failed save:\n" << written;
                if (outage == 0 && attempt == 0) {
                    const std::size_t at = written.find("[ERROR]");
                    if (at != std::string::npos)
                        std::printf("[campaign] %s gone, the save logs: %s\n", server.name,
                                    written.substr(at, written.find('\n', at) - at).c_str());
                }
            }
            // The rows keep their changes and their state.
            EXPECT_EQ(GetLiveRowCount("Orders"), live);
            std::map<std::string, RowObject*> after = OrdersByName();
            for (int i = 0; i < 10; ++i) {
                auto found = after.find(tag + "-new-" + std::to_string(i));
                ASSERT_NE(found, after.end());
                EXPECT_EQ(found->second->state & ROW_NEW, ROW_NEW);
            }
            ASSERT_TRUE(server.start()) << "outage " << outage;
            // The first save with the server back writes everything.
            const std::size_t logBefore = testsupport::ReadFile(log).size();
            EXPECT_TRUE(SaveAllTables()) << "outage " << outage << ": the save after the restart failed:\n"
                                         << testsupport::ReadFile(log).substr(logBefore);
            ++saves;
            const long long expected = 2 + base + inserted - deleted;
            EXPECT_EQ(Number(sql("select count(*) from Orders")), expected);
            EXPECT_EQ(Number(sql("select count(*) from Orders where NAME like 'o%-changed-%'")), updated);
            EXPECT_EQ(Number(sql("select count(*) - count(distinct NAME) from Orders")), 0) << "a row was written twice";
            EXPECT_EQ(Number(sql("select count(*) from Orders where NAME like '" + tag + "-new-%'")), 10);
            if (testing::Test::HasFailure()) break;
        }
    }
    // A new start loads what the database holds.
    startuptest::StartedStore again(root);
    ASSERT_TRUE(again.started());
    EXPECT_EQ(GetLiveRowCount("Orders"), static_cast<std::uint32_t>(2 + base + inserted - deleted));
    std::printf("[campaign] %s gone: %d outages, %d saves (%d failed while down), %d rows inserted, %d updated, "
                "%d deleted meanwhile, none lost or doubled\n",
                server.name, outagesDone, saves, failedSaves, inserted, updated, deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, DatabaseGoneCampaign,
    testing::Values(
        Server{"PostgreSQL", campaign::UsePostgres, [] { return testsupport::PostgresServer::Instance().Stop(); },
               [] { return testsupport::PostgresServer::Instance().Start(); }},
        Server{"MariaDB", campaign::UseMariaDb, [] { return testsupport::MariaDbServer::Instance().Stop(); },
               [] { return testsupport::MariaDbServer::Instance().Start(); }}),
    [](const testing::TestParamInfo<Server>& info) { return std::string(info.param.name); });

}  // namespace
