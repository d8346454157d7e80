// Identifier batches under SIGKILL: store-shell processes insert rows with generated
// identifiers into one database and save them, two at a time, and are killed at random
// moments. No identifier is ever issued twice, every process's identifiers lie beyond
// every identifier saved before it started, SeqGenState is never behind a saved
// identifier, and the database still opens and loads.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tests/campaigns/campaign_databases.h"
#include "tests/campaigns/campaign_support.h"

namespace {

using campaign::Child;
using campaign::Number;
using campaign::SqlClient;
using startuptest::StoreRoot;

constexpr int kProcessesAtOnce = 2;
constexpr int kBatches = 4;
constexpr int kInsertsPerBatch = 15;

// The commands of one process: batches of inserts, each followed by a save. Every row's
// name says which process and which insert it was.
std::vector<std::string> InsertCommands(const StoreRoot& root, const std::string& process) {
    std::vector<std::string> args{"--root", root.path().string()};
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < kInsertsPerBatch; ++i)
            args.push_back("insert Orders NAME='" + process + "-" + std::to_string(batch * kInsertsPerBatch + i) +
                           "' CUSTOMER_ID=1");
        args.push_back("save Orders");
    }
    return args;
}

void RunIdentifierCampaign(const StoreRoot& root, const SqlClient& sql, const std::string& database) {
    testsupport::TempDir work;
    // The first run creates the tables and saves the default rows (identifiers 10, 11).
    auto first = testsupport::RunProgram("store-shell", {"--root", root.path().string(), "count Orders"}, work.path());
    ASSERT_EQ(first.code, 0) << first.err;

    const int wantedKills = campaign::Size(12, 60);
    std::set<long long> issued;                 // every identifier any process printed
    std::map<long long, std::string> nameOf;    // and the name of the row it was printed for
    int kills = 0, rounds = 0, finished = 0;
    int longestRunMs = 0;  // of the runs that ended on their own: kills are aimed inside it
    while (kills < wantedKills && rounds < wantedKills * 4) {
        ++rounds;
        const long long savedBefore = Number(sql("select coalesce(max(ID), 0) from Orders"));
        std::vector<std::unique_ptr<Child>> children;
        std::vector<std::string> names;
        std::vector<int> moments;
        for (int p = 0; p < kProcessesAtOnce; ++p) {
            names.push_back("r" + std::to_string(rounds) + "p" + std::to_string(p));
            children.push_back(std::make_unique<Child>("store-shell", InsertCommands(root, names.back()), work.path(),
                                                       names.back()));
            // Now and then one runs to its end, so saves complete as well as break off.
            moments.push_back(campaign::RandomBetween(0, 8) == 0 ? 1 << 30 : campaign::RandomBetween(0, longestRunMs > 0 ? longestRunMs : 1500));
        }
        std::vector<Child*> raw;
        for (auto& child : children) raw.push_back(child.get());
        kills += campaign::KillAtMoments(raw, moments);

        for (int p = 0; p < kProcessesAtOnce; ++p) {
            Child& child = *children[p];
            if (!child.killed()) {
                ++finished;
                EXPECT_EQ(child.code(), 0) << child.err();
                longestRunMs = std::max<int>(longestRunMs, static_cast<int>(child.age().count()));
            }
            // Each line is the identifier of the next insert (a save prints nothing).
            const std::vector<std::string> lines = campaign::Lines(child.out());
            for (std::size_t i = 0; i < lines.size(); ++i) {
                const long long id = Number(lines[i]);
                EXPECT_GT(id, savedBefore) << names[p] << " issued " << id << " at or below a saved identifier";
                EXPECT_TRUE(issued.insert(id).second) << "identifier " << id << " issued twice";
                nameOf[id] = names[p] + "-" + std::to_string(i);
            }
        }
        // SeqGenState is never behind a saved identifier.
        const long long maxSaved = Number(sql("select coalesce(max(ID), 0) from Orders"));
        const long long batchEnd = Number(sql("select CURRENTBATCHEND from SeqGenState where SEQNAME = 'ORDER_ID'"));
        ASSERT_GE(batchEnd, maxSaved) << "round " << rounds;
        if (testing::Test::HasFailure()) break;
    }
    // Every saved row carries the name printed with its identifier: no row was saved under
    // an identifier another insert got.
    const std::vector<std::string> rows = campaign::Lines(sql("select ID, NAME from Orders where ID > 11 order by ID"));
    for (const std::string& row : rows) {
        const std::size_t bar = row.find('|');
        ASSERT_NE(bar, std::string::npos) << row;
        const long long id = Number(row.substr(0, bar));
        ASSERT_TRUE(nameOf.count(id)) << "saved identifier " << id << " was never printed";
        EXPECT_EQ(row.substr(bar + 1), nameOf[id]);
    }
    EXPECT_EQ(Number(sql("select count(*) - count(distinct ID) from Orders")), 0);
    // The database opens and loads every saved row.
    auto last = testsupport::RunProgram("store-shell", {"--root", root.path().string(), "count Orders"}, work.path());
    EXPECT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(campaign::Trimmed(last.out), std::to_string(rows.size() + 2));
    EXPECT_GE(kills, wantedKills);
    std::printf("[campaign] identifier batches on %s: %d rounds, %d kills, %d runs to the end, %zu identifiers "
                "issued, %zu rows saved, SeqGenState at %lld\n",
                database.c_str(), rounds, kills, finished, issued.size(), rows.size(),
                Number(sql("select CURRENTBATCHEND from SeqGenState where SEQNAME = 'ORDER_ID'")));
}

TEST(IdentifierBatchCampaign, SqliteProcessesKilledAtRandomNeverIssueAnIdentifierTwice) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    testsupport::TempDir work;
    RunIdentifierCampaign(root, campaign::SqliteClient(root, work.path()), "SQLite");
}

TEST(IdentifierBatchCampaign, PostgresProcessesKilledAtRandomNeverIssueAnIdentifierTwice) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    const SqlClient sql = campaign::UsePostgres(sandbox, root, "idcampaign");
    RunIdentifierCampaign(root, sql, "PostgreSQL");
}

}  // namespace
