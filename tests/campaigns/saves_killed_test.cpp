// Saves under SIGKILL: store-shell changes two columns of 10,000 rows of a SQLite
// database and saves them all, and is killed at random moments of the run. Every row
// of the database is then its old or its new version whole (both columns of the same
// version), no row is lost or added, and the next start loads the database.
#include <gtest/gtest.h>

#include <set>

#include "tests/campaigns/campaign_databases.h"
#include "tests/campaigns/campaign_support.h"

namespace {

using campaign::Child;
using campaign::Number;
using startuptest::StoreRoot;

// Rows changed by each save: 10,000 at full size.
const int kRows = campaign::Size(300, 10000);

std::vector<std::string> SaveVersion(const StoreRoot& root, int version) {
    const std::string tag = "'v" + std::to_string(version) + "'";
    return {"--root", root.path().string(), "update Orders set NAME = " + tag + " where ID > 0",
            "update Orders set NOTES = " + tag + " where ID > 0", "save all"};
}

TEST(SaveKilledCampaign, EveryRowIsItsOldOrItsNewVersionWhole) {
    testsupport::OdbcSandbox sandbox;
    StoreRoot root;
    root.UseSqliteDsn(sandbox);
    testsupport::TempDir work;
    const campaign::SqlClient sql = campaign::SqliteClient(root, work.path());
    auto first = testsupport::RunProgram("store-shell", {"--root", root.path().string(), "count Orders"}, work.path());
    ASSERT_EQ(first.code, 0) << first.err;
    // 10,000 rows beside the two default ones, all at version 0.
    sql("update Orders set NAME = 'v0', NOTES = 'v0';"
        "with recursive n(i) as (select 1000 union all select i + 1 from n where i < " + std::to_string(999 + kRows) +
        ") insert into Orders(ID, NAME, ACTIVE, NOTES, CUSTOMER_ID) select i, 'v0', 1, 'v0', 2 from n;"
        "update SeqGenState set CURRENTBATCHEND = 20000 where SEQNAME = 'ORDER_ID'");
    const long long rows = Number(sql("select count(*) from Orders"));
    ASSERT_EQ(rows, kRows + 2);

    // A whole run first: how long a save of every row takes here, the bound of the moments.
    Child whole("store-shell", SaveVersion(root, 1), work.path(), "whole");
    whole.Wait();
    ASSERT_EQ(whole.code(), 0) << whole.err();
    const int runMs = static_cast<int>(whole.age().count());
    ASSERT_EQ(Number(sql("select count(*) from Orders where NAME = 'v1' and NOTES = 'v1'")), rows);

    const int wantedKills = campaign::Size(4, 10);
    int kills = 0, version = 1, mixed = 0;
    while (kills < wantedKills && version < wantedKills * 3) {
        ++version;
        Child run("store-shell", SaveVersion(root, version), work.path(), "v" + std::to_string(version));
        kills += campaign::KillAtMoments({&run}, {campaign::RandomBetween(0, runMs)});
        if (!run.killed()) {
            ASSERT_EQ(run.code(), 0) << run.err();
        }
        // No torn row: both columns carry one version, one the row has held.
        EXPECT_EQ(Number(sql("select count(*) from Orders where NAME is not NOTES")), 0) << "version " << version;
        EXPECT_EQ(Number(sql("select count(*) from Orders")), rows);
        const std::vector<std::string> versions = campaign::Lines(sql("select distinct NAME from Orders"));
        for (const std::string& held : versions) {
            ASSERT_EQ(held[0], 'v') << held;
            EXPECT_LE(std::stoi(held.substr(1)), version) << held;
        }
        mixed += versions.size() > 1 ? 1 : 0;
        EXPECT_EQ(campaign::Trimmed(sql("pragma integrity_check")), "ok");
        if (testing::Test::HasFailure()) break;
    }
    // The restart loads the database, and a save run to its end writes every row.
    ++version;
    auto last = testsupport::RunProgram("store-shell", SaveVersion(root, version), work.path());
    ASSERT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(Number(sql("select count(*) from Orders where NAME = 'v" + std::to_string(version) +
                         "' and NOTES = NAME")), rows);
    auto count = testsupport::RunProgram("store-shell", {"--root", root.path().string(), "count Orders"}, work.path());
    EXPECT_EQ(campaign::Trimmed(count.out), std::to_string(rows));
    EXPECT_GE(kills, wantedKills);
    std::printf("[campaign] saves killed: %lld rows, %d saves started, %d killed, %d left rows of two versions, "
                "a whole save %d ms\n", rows, version, kills, mixed, runMs);
}

}  // namespace
