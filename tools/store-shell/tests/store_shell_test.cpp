// store-shell end to end: the built program run on temporary files, comparing stdout,
// stderr and the exit status byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/version.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

using Result = testsupport::ProgramResult;

class StoreShellTest : public ::testing::Test {
protected:
    Result Run(const std::vector<std::string>& args, const std::string& input = "") {
        return testsupport::RunProgram("store-shell", args, dir_.path(), input);
    }
    std::string Data() { return (testsupport::SourceDir() / "data").string(); }
    std::string File(const std::string& name, const std::string& content) {
        WriteFile(dir_.path() / name, content);
        return (dir_.path() / name).string();
    }
    std::string Rows() {
        return File("rows.xml",
                    "<?xml version=\"1.0\"?>\n<Resources>\n"
                    "  <Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"R-1042\"/>\n"
                    "  <Agentparams PARAM_NAME=\"SITE\" param_Value=\"north\"/>\n"
                    "</Resources>\n");
    }
    TempDir dir_;
};

TEST_F(StoreShellTest, Commands) {
    const std::string rows = Rows();
    struct Case {
        std::vector<std::string> commands;
        std::string out;
        std::string err;
        int code;
    };
    const Case cases[] = {
        {{"select Agentparams where PARAM_NAME='RESOURCE_ID'"}, "PARAM_NAME\tparam_Value\nRESOURCE_ID\tR-1042\n", "", 0},
        {{"count Agentparams", "value Agentparams param_Value where PARAM_NAME='SITE'"}, "2\nnorth\n", "", 0},
        {{"select Agentparams sort PARAM_NAME desc"}, "PARAM_NAME\tparam_Value\nSITE\tnorth\nRESOURCE_ID\tR-1042\n", "", 0},
        {{"row Agentparams 2", "row Agentparams 9"}, "PARAM_NAME\tparam_Value\nSITE\tnorth\nPARAM_NAME\tparam_Value\n", "", 0},
        {{"count Agentparams where param_Value>'a'"}, "1\n", "", 0},
        {{"update Agentparams set param_Value = 'south where' where PARAM_NAME='SITE'",
          "value Agentparams param_Value where PARAM_NAME='SITE'"},
         "1\nsouth where\n", "", 0},
        {{"update Agentparams set param_Value = NULL where PARAM_NAME='SITE'", "select Agentparams where PARAM_NAME='SITE'"},
         "1\nPARAM_NAME\tparam_Value\nSITE\t\\N\n", "", 0},
        {{"delete Agentparams where PARAM_NAME='SITE'", "delete Agentparams all", "count Agentparams"}, "1\n1\n0\n", "", 0},
        {{"tables", "columns Agentparams"}, "Agentparams\ttable\t2\nPARAM_NAME\t15\nparam_Value\t15\n", "", 0},
        {{"select SeqGenState", "tables"}, "SEQNAME\tCURRENTBATCHEND\nAgentparams\ttable\t2\nSeqGenState\ttable\t0\n", "", 0},
        {{"select Agentparams where PARAM_NAME=RESOURCE_ID"}, "",
         "store-shell: criteria do not parse: PARAM_NAME=RESOURCE_ID\n"
         "store-shell: text literals need single quotes, as in NAME='value'\n",
         1},
        {{"select Nothing", "count Agentparams"}, "", "store-shell: unknown table: Nothing\n", 1},
        {{"value Agentparams param_Value where PARAM_NAME='NONE'"}, "", "store-shell: no row matches: PARAM_NAME='NONE'\n", 1},
        {{"update Agentparams set PARAM_NAME = 'X' where PARAM_NAME='SITE'", "select Agentparams"}, "",
         "store-shell: update refused: PARAM_NAME of Agentparams\n", 1},
        {{"frobnicate"}, "", "store-shell: unknown command: frobnicate\n", 2},
        {{"select Agentparams sort"}, "", "store-shell: malformed select\n", 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-d", Data(), "-l", rows};
        args.insert(args.end(), c.commands.begin(), c.commands.end());
        const Result result = Run(args);
        EXPECT_EQ(result.out, c.out) << c.commands[0];
        EXPECT_EQ(result.err, c.err) << c.commands[0];
        EXPECT_EQ(result.code, c.code) << c.commands[0];
    }
}

TEST_F(StoreShellTest, CommandsFromStandardInputAndKeepGoing) {
    const Result piped = Run({"-d", Data(), "-l", Rows(), "--no-header"},
                             "# a comment\n\ncount Agentparams\r\nselect Agentparams where PARAM_NAME='SITE'\n");
    EXPECT_EQ(piped.out, "2\nSITE\tnorth\n");
    EXPECT_EQ(piped.code, 0);
    const Result going = Run({"--keep-going", "-d", Data(), "-l", Rows(), "select Nope", "count Agentparams"});
    EXPECT_EQ(going.out, "2\n");
    EXPECT_EQ(going.code, 1);
}

TEST_F(StoreShellTest, ValueFormatsOfEveryType) {
    const char* types[] = {"HYL_SQL_NOT_SUPPORTED_TYPE", "HYL_SQL_TINYINT", "HYL_SQL_UNSIGNED_TINYINT", "HYL_SQL_SMALLINT",
                           "HYL_SQL_UNSIGNED_SMALLINT", "HYL_SQL_INT", "HYL_SQL_UNSIGNED_INT", "BIGINT",
                           "HYL_SQL_UNSIGNED_LONG_INT", "HYL_SQL_FLOAT", "HYL_SQL_DOUBLE", "HYL_SQL_REAL",
                           "HYL_SQL_DECIMAL", "HYL_SQL_NUMERIC", "HYL_SQL_CHAR", "CHAR", "DATE", "TIME",
                           "DATETIME", "BOOLEAN", "BLOB", "CLOB", "TEXT"};
    std::string columns;
    for (int i = 0; i <= 22; ++i) {
        columns += "<column name=\"C" + std::to_string(i) + "\"><data-type>" + types[i] + "</data-type></column>";
    }
    columns += "<column name=\"ID\"><data-type>BIGINT</data-type><uniquevalue-generation><generator-name>T_SEQ"
               "</generator-name></uniquevalue-generation></column>";
    const std::string dictionary =
        File("types.xml", "<data-dictionary><table name=\"T\"><columns>" + columns + "</columns></table></data-dictionary>");
    const std::string data = File(
        "types_rows.xml",
        "<Root><T C0=\"raw\" C1=\"-1\" C2=\"4294967295\" C3=\"-3\" C4=\"4\" C5=\"-5\" C6=\"6\" C7=\"-9000000000\" "
        "C8=\"18000000000000000000\" C9=\"1.5\" C10=\"0.1\" C11=\"2.25\" C12=\"12.50\" C13=\"13\" "
        "C14=\"tab&#9;here\" C15=\"back\\slash\" C16=\"2024-02-03\" C17=\"04:05:06\" C18=\"2024-01-31 10:20:30\" "
        "C19=\"FALSE\" C20=\"AZ\" C21=\"line&#10;feed\" C22=\"q&quot;uote\"/>"
        "<T C19=\"yes\"/></Root>");
    const Result tsv = Run({"-d", dictionary, "-l", data, "select T"});
    std::string header;
    for (int i = 0; i <= 22; ++i) header += "C" + std::to_string(i) + "\t";
    header += "ID\n";
    EXPECT_EQ(tsv.out, header +
                           "\\N\t-1\t4294967295\t-3\t4\t-5\t6\t-9000000000\t18000000000000000000\t1.5\t0.1\t2.25\t12.50\t13\t"
                           "tab\\there\tback\\\\slash\t2024-02-03\t04:05:06\t2024-01-31 10:20:30\tfalse\t\\x415a\t"
                           "line\\nfeed\tq\"uote\t1\n"
                           "\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t"
                           "true\t\\N\t\\N\t\\N\t2\n");
    EXPECT_EQ(tsv.code, 0) << tsv.err;
    const Result json = Run({"-d", dictionary, "-l", data, "--format", "json", "select T where C6=6 or C2=7"});
    EXPECT_EQ(json.out,
              "{\"C0\":null,\"C1\":-1,\"C2\":4294967295,\"C3\":-3,\"C4\":4,\"C5\":-5,\"C6\":6,\"C7\":-9000000000,"
              "\"C8\":18000000000000000000,\"C9\":1.5,\"C10\":0.1,\"C11\":2.25,\"C12\":\"12.50\",\"C13\":\"13\","
              "\"C14\":\"tab\\there\",\"C15\":\"back\\\\slash\",\"C16\":\"2024-02-03\",\"C17\":\"04:05:06\","
              "\"C18\":\"2024-01-31 10:20:30\",\"C19\":false,\"C20\":\"\\\\x415a\",\"C21\":\"line\\nfeed\","
              "\"C22\":\"q\\\"uote\",\"ID\":1}\n");
    // A date column holding a date-time (a default converted from text) prints its date.
    const std::string dated = File("dated.xml",
                                   "<data-dictionary><table name=\"D\"><columns><column name=\"DAY\"><data-type>DATE"
                                   "</data-type><default-value>2024-05-06 07:08:09</default-value></column>"
                                   "</columns></table></data-dictionary>");
    const std::string dRows = File("d_rows.xml", "<Root><D/></Root>");
    EXPECT_EQ(Run({"-d", dated, "-l", dRows, "--no-header", "select D"}).out, "2024-05-06\n");
    // No sequence source: generator columns get -1.
    EXPECT_EQ(Run({"-d", dictionary, "-l", data, "--seq-db", "none", "-f", "json", "nextid T ID"}).out, "-1\n");
}

TEST_F(StoreShellTest, SequenceDatabaseSurvivesRestarts) {
    const std::string dictionary = File(
        "dev.xml",
        "<data-dictionary><table name=\"Device\"><columns><column name=\"DEVICE_ID\"><data-type>HYL_SQL_INT</data-type>"
        "<uniquevalue-generation><generator-name>DEVICE_SEQ</generator-name></uniquevalue-generation></column>"
        "<column name=\"NAME\"><data-type>CHAR</data-type></column></columns></table></data-dictionary>");
    const std::string devices = File("devices.xml", "<Root><Device NAME=\"a\"/><Device NAME=\"b\"/></Root>");
    const std::string db = (dir_.path() / "seq.db").string();
    const Result first = Run({"-d", dictionary, "-l", devices, "--seq-db", db, "--format", "json",
                              "select Device sort DEVICE_ID desc"});
    EXPECT_EQ(first.out, "{\"DEVICE_ID\":2,\"NAME\":\"b\"}\n{\"DEVICE_ID\":1,\"NAME\":\"a\"}\n");
    const Result second = Run({"-d", dictionary, "--seq-db", db, "nextid Device DEVICE_ID"});
    EXPECT_EQ(second.out, "301\n");
}

TEST_F(StoreShellTest, ExitStatuses) {
    const std::string rows = Rows();
    const std::string bad = File("bad.xml", "<r><Agentparams PARAM_NAME=\"A\"/><Gadget/><Agentparams PARAM_NAME=\"B\"/></r>");
    const std::string broken = File("broken.xml", "<data-dictionary><table name=\"X\">");
    const std::string emptyFolder = (dir_.path() / "empty").string();
    std::filesystem::create_directories(emptyFolder);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out;
    };
    const Case cases[] = {
        {{"-d", Data(), "count Agentparams"}, 0, "0\n"},
        {{"--keep-going", "-d", Data(), "-l", bad, "select Agentparams"}, 4, "PARAM_NAME\tparam_Value\nA\t\\N\n"},
        {{"-d", Data(), "-l", bad, "select Agentparams"}, 4, ""},
        {{"-d", (dir_.path() / "missing.xml").string(), "tables"}, 3, ""},
        {{"-d", emptyFolder, "tables"}, 3, ""},
        {{"-d", broken, "tables"}, 3, ""},
        {{"--format", "xml", "tables"}, 2, ""},
        {{"--log-level", "9", "tables"}, 2, ""},
        {{"-d"}, 2, ""},
        {{"--nope"}, 2, ""},
        {{"-d", Data(), "-l", rows, "select Agentparams where (("}, 1, ""},
        {{"-d", Data(), "-l", rows, "nextid Agentparams NOPE"}, 1, ""},
        {{"--version"}, 0, "store-shell " VANTORRA_VERSION "\n"},
    };
    for (const Case& c : cases) {
        const Result result = Run(c.args);
        EXPECT_EQ(result.code, c.code) << c.args.back() << " " << result.err;
        EXPECT_EQ(result.out, c.out) << c.args.back();
        if (c.code != 0) {
            EXPECT_EQ(result.err.rfind("store-shell: ", 0), 0u) << result.err;
        }
    }
    const Result help = Run({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("usage: store-shell"), std::string::npos);
    // The log option writes the store's log.
    const std::string log = (dir_.path() / "shell.log").string();
    EXPECT_EQ(Run({"--log", log, "--log-level", "4", "-d", Data(), "-l", rows, "count Agentparams"}).code, 0);
    EXPECT_NE(testsupport::ReadFile(log).find("@@@ Inside SelectRows @@@"), std::string::npos);
}

}  // namespace
