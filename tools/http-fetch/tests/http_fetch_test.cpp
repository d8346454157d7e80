// http-fetch end to end: the program against nginx and the scripted server, its exit
// codes through the exit-code file, a download cut off by a file-size limit, and
// resumable downloads across processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/registry_access.h"
#include "tests/support/http_fixtures.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::NginxServer;
using testsupport::ReadFile;
using testsupport::ScriptedServer;

struct Outcome {
    int status = -1;       // exit status of the process
    std::string code;      // what it wrote to VANTORRA_EXIT_CODE_FILE
    std::string out, err;  // stdout and stderr
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class HttpFetchTest : public ::testing::Test {
protected:
    // Runs http-fetch with the arguments, optionally under a prefix such as prlimit.
    Outcome Run(const std::vector<std::string>& args, const std::string& prefix = "") {
        const auto codeFile = work.path() / "exit-code";
        std::filesystem::remove(codeFile);
        std::string command = "VANTORRA_EXIT_CODE_FILE=" + Quote(codeFile.string()) + " " + prefix + " " +
                              Quote((testsupport::BinDir() / "http-fetch").string());
        for (const auto& arg : args) command += " " + Quote(arg);
        command += " >" + Quote((work.path() / "out").string()) + " 2>" + Quote((work.path() / "err").string());
        const int raw = std::system(command.c_str());
        Outcome outcome;
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.code = ReadFile(codeFile);
        outcome.out = ReadFile(work.path() / "out");
        outcome.err = ReadFile(work.path() / "err");
        return outcome;
    }
    std::vector<std::string> Server(int port) { return {"--server", "127.0.0.1", "--port", std::to_string(port)}; }
    static std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    testsupport::MachineRoot machine;
    testsupport::TempDir work;
};

TEST_F(HttpFetchTest, HelpAndBadUsage) {
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"get-ex PATH", "get-bitrate PATH", "send-ex PATH", "send-file PATH FILE", "--progress"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const cases[] = {
        {{}, "no command given"},
        {{"fetch", "/x"}, "unknown command fetch"},
        {{"get-ex"}, "get-ex takes one URL path"},
        {{"send-file", "/x"}, "send-file takes a URL path and a file"},
        {{"get-ex", "/x", "--port", "99999", "--server", "h"}, "--port takes a number from 1 to 65535"},
        {{"get-ex", "/x", "--server"}, "option --server needs a value"},
        {{"get-ex", "/x", "--bogus"}, "unknown option --bogus"},
        {{"get-ex", "/x"}, "no server"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Run(c.args);
        EXPECT_EQ(outcome.code, "87") << c.message;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    }
}

TEST_F(HttpFetchTest, DownloadsToStdoutOrAFileWithTheFullResultCode) {
    NginxServer nginx;
    const std::string body = testsupport::PatternBytes(2'000'000, 3);
    nginx.AddFile("files/patch.bin", body);
    nginx.AddFile("doc.xml", "<AgentparamsList/>");
    const auto dest = work.path() / "downloads" / "patch.bin";

    Outcome data = Run(Join({"get-ex", "/doc.xml"}, Server(nginx.port())));
    EXPECT_EQ(data.code, "0");
    EXPECT_EQ(data.out, "<AgentparamsList/>");

    for (const char* command : {"get-ex", "get-bitrate"}) {
        std::filesystem::remove(dest);
        Outcome file = Run(Join({command, "/files/patch.bin", "--dest", dest.string(), "--rate", "4096", "--progress"},
                                Server(nginx.port())));
        EXPECT_EQ(file.code, "0") << command << file.err;
        EXPECT_EQ(ReadFile(dest), body) << command;
        EXPECT_NE(file.err.find("100%"), std::string::npos) << file.err;
        EXPECT_NE(file.err.find("MiB/s"), std::string::npos) << file.err;
    }

    // 404 and 90001 do not fit an exit status: the exit-code file holds them whole.
    const Outcome missing = Run(Join({"get-ex", "/nothing-here"}, Server(nginx.port())));
    EXPECT_EQ(missing.code, "404");
    EXPECT_EQ(missing.status, 404 % 256);
    const Outcome unchanged = Run(Join({"get-ex", "/doc.xml", "--if-modified-since", "Fri, 01 Jan 2100 00:00:00 GMT"},
                                       Server(nginx.port())));
    EXPECT_EQ(unchanged.code, "90001");
    EXPECT_EQ(unchanged.status, 90001 % 256);
    const Outcome refused = Run(Join({"get-ex", "/doc.xml"}, Server(testsupport::UnusedLoopbackPort())));
    EXPECT_EQ(refused.code, "12029");
    EXPECT_NE(refused.err.find("The attempt to connect to the server failed."), std::string::npos) << refused.err;
}

TEST_F(HttpFetchTest, TakesTheServerFromTheAgentConfiguration) {
    NginxServer nginx;
    nginx.AddFile("configured.txt", "from the configured server");
    std::string hive = ReadFile(testsupport::SourceDir() / "tools/standins/agent-config.reg");
    ASSERT_FALSE(hive.empty());
    const auto replace = [&hive](const std::string& from, const std::string& to) {
        const auto at = hive.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        hive.replace(at, from.size(), to);
    };
    replace("\"ZQLastAccessName\"=\"server.example.test\"", "\"ZQLastAccessName\"=\"127.0.0.1\"");
    replace("\"ZQServerPort\"=\"8000\"", "\"ZQServerPort\"=\"" + std::to_string(nginx.port()) + "\"");
    replace("\"ZQAgentVersion\"", "\"ZQAgentInstallDir\"=\"C:\\\\Agent\\\\\"\n\"ZQAgentVersion\"");
    testsupport::WriteFile(machine.path() / "registry" / "HKLM.reg", hive);
    const Outcome outcome = Run({"get-ex", "/configured.txt"});
    EXPECT_EQ(outcome.code, "0") << outcome.err;
    EXPECT_EQ(outcome.out, "from the configured server");
    // The log goes to the agent's logs folder.
    const std::string log = ReadFile(machine.drivePath('C', "Agent/logs/http-fetch.log"));
    EXPECT_NE(log.find("InternetGetRequestEx : Vantorra Server & Port -> 127.0.0.1 : " + std::to_string(nginx.port())),
              std::string::npos);
}

TEST_F(HttpFetchTest, AFileSizeLimitEndsTheDownloadCleanly) {
    NginxServer nginx;
    nginx.AddFile("big.bin", testsupport::PatternBytes(8'000'000, 1));
    const auto folder = work.path() / "limited";
    const auto dest = folder / "big.bin";
    testsupport::WriteFile(dest, "older content");
    for (const char* command : {"get-ex", "get-bitrate"}) {
        const Outcome outcome = Run(Join({command, "/big.bin", "--dest", dest.string(), "--rate", "8192"},
                                         Server(nginx.port())),
                                    "prlimit --fsize=1000000");
        EXPECT_NE(outcome.code, "0") << command;
        EXPECT_FALSE(outcome.code.empty()) << command << ": the process must end by itself, not by SIGXFSZ";
        EXPECT_EQ(ReadFile(dest), "older content") << command;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) left.push_back(entry.path().filename());
        EXPECT_EQ(left, std::vector<std::string>{"big.bin"}) << command << ": no temporary file stays behind";
    }
}

TEST_F(HttpFetchTest, UploadsAFileAndPrintsTheReply) {
    ScriptedServer server(R"({"default": {"status": 200, "body": "received"}})");
    const std::string content = testsupport::PatternBytes(1'500'000, 8);
    const auto file = work.path() / "inventory.bin";
    testsupport::WriteFile(file, content);
    const Outcome upload =
        Run(Join({"send-file", "/agentRequest?type=upload", file.string(), "--chunk", "32768", "--reply"},
                 Server(server.port())));
    EXPECT_EQ(upload.code, "0") << upload.err;
    EXPECT_EQ(upload.out, "received");
    const Outcome text = Run(Join({"send-ex", "/agentRequest?type=text", "--data", "a=1&b=2"}, Server(server.port())));
    EXPECT_EQ(text.code, "0") << text.err;
    EXPECT_EQ(text.out, "") << "no reply asked for";
    ASSERT_TRUE(server.WaitForRequests(2));
    const auto requests = server.Requests();
    EXPECT_EQ(requests[0].bodySha256, testsupport::Sha256Hex(content));
    EXPECT_EQ(requests[1].Body(), "a=1&b=2");
}

}  // namespace

// "agent PATH" goes through the agent's own addressing: the machine's last access address
// is refused, the configured IP address answers and is remembered in the registry.
class HttpFetchAgentTest : public HttpFetchTest {
protected:
    void Configure(int port, bool withResourceId) {
        std::string hive = ReadFile(testsupport::SourceDir() / "tools/standins/agent-config.reg");
        ASSERT_FALSE(hive.empty());
        const auto replace = [&hive](const std::string& from, const std::string& to) {
            const auto at = hive.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            hive.replace(at, from.size(), to);
        };
        replace("\"ZQLastAccessName\"=\"server.example.test\"", "\"ZQLastAccessName\"=\"127.0.0.2\"");
        replace("\"ZQServerIPAddress\"=\"192.0.2.10\"", "\"ZQServerIPAddress\"=\"127.0.0.1\"");
        replace("\"ZQServerPort\"=\"8000\"", "\"ZQServerPort\"=\"" + std::to_string(port) + "\"");
        replace("\"ZQAgentVersion\"", "\"ZQAgentInstallDir\"=\"C:\\\\Agent\\\\\"\n\"ZQAgentVersion\"");
        if (!withResourceId) replace("\"ZQAgentResourceID\"=\"RES-1001\"", "");
        testsupport::WriteFile(machine.path() / "registry" / "HKLM.reg", hive);
    }
    std::string Hive() { return ReadFile(machine.path() / "registry" / "HKLM.reg"); }
    std::string AgentLog() { return ReadFile(machine.drivePath('C', "Agent/logs/http-fetch.log")); }
};

TEST_F(HttpFetchAgentTest, ModesThroughTheAgentAddressing) {
    NginxServer nginx;
    const std::string binary = testsupport::PatternBytes(300'000, 5);
    nginx.AddFile("client-data/demo1/doc.xml", "<AgentparamsList/>");
    nginx.AddFile("files/f.bin", binary);
    Configure(nginx.port(), true);

    const Outcome data = Run({"agent", "client-data\\demo1\\doc.xml"});
    EXPECT_EQ(data.code, "0") << data.err;
    EXPECT_EQ(data.out, "<AgentparamsList/>");
    EXPECT_NE(Hive().find("\"ZQLastAccessName\"=\"127.0.0.1\""), std::string::npos) << Hive();
    EXPECT_NE(AgentLog().find("AgentSendRequest : Last Access Address is 127.0.0.1 \n"), std::string::npos);

    const auto dest = work.path() / "f.bin";
    const Outcome file = Run({"agent", "files/f.bin", "--mode", "DOWNLOAD_FILE", "--file", dest.string(), "--style",
                              "1"});
    EXPECT_EQ(file.code, "0") << file.err;
    EXPECT_EQ(ReadFile(dest), binary);

    const auto reply = work.path() / "reply.txt";
    const Outcome post = Run({"agent", "/upload", "--mode", "POST_DATA", "--data", "a=1", "--out", reply.string()});
    EXPECT_EQ(post.code, "0") << post.err;
    EXPECT_EQ(ReadFile(reply), "ok");
    EXPECT_EQ(post.out, "");

    const Outcome missing = Run({"agent", "/nothing.xml", "--no-keep-alive"});
    EXPECT_EQ(missing.code, "404");

    // The edition of the configuration (RQNB) wraps downloads, not posts; the refused
    // last access address left no trace, and the IP address took over from the first
    // request on.
    std::vector<std::string> targets;
    for (const auto& entry : nginx.AccessLog()) targets.push_back(entry.method + " " + entry.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"GET /clientdatarequest?fileName=client-data/demo1/doc.xml",
                                                 "HEAD /clientdatarequest?fileName=files/f.bin",
                                                 "GET /clientdatarequest?fileName=files/f.bin",
                                                 "GET /clientdatarequest?fileName=files/f.bin",  // 2 blocks
                                                 "POST /upload",
                                                 "GET /clientdatarequest?fileName=/nothing.xml"}));
    EXPECT_EQ(nginx.AccessLog().back().connection, "close");

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } const bad[] = {
        {{"agent", "/x", "--mode", "FETCH"}, "--mode takes a request mode name or code"},
        {{"agent", "/x", "--mode", "DOWNLOAD_FILE"}, "this mode needs --file"},
        {{"agent", "/x", "--mode", "POST_DATA"}, "this mode needs --data"},
        {{"agent", "/x", "--style", "3"}, "--style takes 0, 1 or 2"},
        {{"agent", "/x", "--mode", "POST_MULTIPART", "--data", "abc", "--post-length", "4"},
         "--post-length is larger than the data"},
        {{"agent"}, "agent takes one URL path"},
    };
    for (const Case& c : bad) {
        const Outcome outcome = Run(c.args);
        EXPECT_EQ(outcome.code, "87") << c.message;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(nginx.AccessLog().size(), 6u) << "bad usage sends nothing";
}

// Without a resource id the start-up asks the server for it. http-fetch loads no data
// dictionary, so (like the handler) it stops at loading the document and records nothing.
TEST_F(HttpFetchAgentTest, StartUpAsksTheServerForAMissingResourceId) {
    NginxServer nginx;
    nginx.AddFile("hello.txt", "hello");
    Configure(nginx.port(), false);
    const Outcome outcome = Run({"agent", "/hello.txt"});
    EXPECT_EQ(outcome.code, "0") << outcome.err;
    EXPECT_EQ(outcome.out, "hello");
    const auto log = nginx.AccessLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].target.rfind("/clientdatarequest?fileName=/", 0), 0u) << log[0].target;
    EXPECT_NE(log[0].target.find("/resources/"), std::string::npos) << log[0].target;
    EXPECT_EQ(log[0].acceptEncoding, "gzip");
    EXPECT_EQ(log[0].status, 404);
    EXPECT_NE(AgentLog().find("GetResourceIDFromServer : Unable to get the reource id xml from "), std::string::npos);
    EXPECT_EQ(Hive().find("ZQAgentResourceID"), std::string::npos);

    // Now the server has the document: it is fetched and fails to load.
    const std::string marker = "resourceIdXmlPath: ";
    const std::string agentLog = AgentLog();
    const auto at = agentLog.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string documentPath = agentLog.substr(at + marker.size(), agentLog.find('\n', at) - at - marker.size());
    nginx.AddFile(documentPath.substr(1),
                  "<AgentparamsList><Agentparams PARAM_NAME=\"RESOURCE_ID\" param_Value=\"RES-9\"/></AgentparamsList>");
    const Outcome again = Run({"agent", "/hello.txt"});
    EXPECT_EQ(again.code, "0") << again.err;
    ASSERT_EQ(nginx.AccessLog().size(), 4u);
    EXPECT_EQ(nginx.AccessLog()[2].status, 200);
    EXPECT_NE(AgentLog().find("GetResourceIDFromServer : Error occured ("), std::string::npos);
    EXPECT_EQ(Hive().find("ZQAgentResourceID"), std::string::npos);
}

// Resumable downloads across processes: a process killed with SIGKILL after saving, and
// two processes on one new URL at the same time.
class HttpFetchResumeTest : public HttpFetchTest {
protected:
    void SetUp() override {
        std::string hive = ReadFile(testsupport::SourceDir() / "tools/standins/agent-config.reg");
        ASSERT_FALSE(hive.empty());
        const std::string anchor = "\"ZQAgentVersion\"";
        const auto at = hive.find(anchor);
        ASSERT_NE(at, std::string::npos);
        hive.insert(at, "\"ZQAgentInstallDir\"=\"C:\\\\Agent\\\\\"\n");
        hive += "\n[HKEY_LOCAL_MACHINE\\Software\\Halcyra\\Vantorra\\ZQAgent\\FileMetaData]\n"
                "\"IntermediateRepositoryName\"=\"DownloadRepository\\\\\"\n"
                "\"InterSaveByteLimit\"=dword:00010000\n";
        testsupport::WriteFile(machine.path() / "registry" / "HKLM.reg", hive);
    }
    static std::string MetaKey() { return "Software\\Halcyra\\Vantorra\\ZQAgent\\FileMetaData\\"; }
    static std::optional<std::string> UrlId(const std::string& url) {
        std::optional<std::string> id;
        if (ReadRegSZ(HKEY_LOCAL_MACHINE, MetaKey().c_str(), url.c_str(), &id) != ERROR_SUCCESS) return std::nullopt;
        while (id && !id->empty() && id->back() == '\0') id->pop_back();
        return id;
    }
    static DWORD SavedSize(const std::string& id) {
        DWORD size = 0;
        ReadDwordRegistryData(HKEY_LOCAL_MACHINE, (MetaKey() + id).c_str(), "PartialFileSize", &size);
        return size;
    }
    // Size of the partial file of an id (0 when missing).
    std::uintmax_t PartialSize(const std::string& id) const {
        std::error_code error;
        const auto size = std::filesystem::file_size(machine.drivePath('C', "Agent/DownloadRepository/" + id), error);
        return error ? 0 : size;
    }
    std::vector<std::string> RepositoryFiles() const {
        std::vector<std::string> names;
        const auto folder = machine.drivePath('C', "Agent/DownloadRepository");
        if (!std::filesystem::exists(folder)) return names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
        return names;
    }
    static constexpr DWORD kSaveLimit = 65536;
};

TEST_F(HttpFetchResumeTest, KilledProcessIsFinishedByTheNextWithAtMostOneBufferAgain) {
    NginxServer nginx;
    const std::string body = testsupport::PatternBytes(640 * 1024, 21);
    nginx.AddFile("big.bin", body);
    const auto dest = work.path() / "big.bin";
    const std::string url = "/throttled/big.bin";
    {
        testsupport::ChildProcess first(
            Join({(testsupport::BinDir() / "http-fetch").string(), "resume-ex", url, "--dest", dest.string()},
                 Server(nginx.port())),
            work.path() / "first.out");
        ASSERT_TRUE(testsupport::WaitUntil([&] {
            const auto id = UrlId(url);
            return id && SavedSize(*id) > 0;
        }, std::chrono::seconds(20)));
        first.Stop(SIGKILL);
    }
    const std::string id = UrlId(url).value_or("");
    ASSERT_FALSE(id.empty());
    // What the killed process had written: everything it received beyond this was still
    // in its buffer, which never holds more than InterSaveByteLimit bytes.
    const std::uintmax_t written = PartialSize(id);
    EXPECT_GE(written, SavedSize(id));
    EXPECT_GT(SavedSize(id), 0u);
    EXPECT_FALSE(std::filesystem::exists(dest));

    const Outcome second = Run(Join({"resume-ex", url, "--dest", dest.string()}, Server(nginx.port())));
    EXPECT_EQ(second.code, "0") << second.err;
    EXPECT_EQ(ReadFile(dest), body);
    EXPECT_TRUE(RepositoryFiles().empty());
    EXPECT_FALSE(UrlId(url).has_value());

    // nginx logs the killed request when it notices the closed connection.
    ASSERT_TRUE(nginx.WaitForAccessLog(4));
    std::vector<testsupport::AccessLogEntry> ranges;
    for (const auto& entry : nginx.AccessLog())
        if (entry.target == url && !entry.range.empty()) ranges.push_back(entry);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].range, "bytes=0-" + std::to_string(body.size()));
    // The second process asks for exactly what was not written.
    EXPECT_EQ(ranges[1].range, "bytes=" + std::to_string(written) + "-" + std::to_string(body.size()));
}

// Killed while saves run behind the transfer: a registry writer holds the hive's lock,
// so the process has appended bytes it could not record yet. While the machine runs on,
// the next process keeps them; after a restart (another boot named in the registry) only
// the record is known to be on the disk, so it cuts them off and asks from there.
TEST_F(HttpFetchResumeTest, KilledWithSavesInFlightKeepsWhatWasWrittenUntilARestart) {
    NginxServer nginx;
    const std::string body = testsupport::PatternBytes(1024 * 1024, 24);
    for (const bool restarted : {false, true}) {
        SCOPED_TRACE(restarted ? "restarted" : "running on");
        const std::string name = restarted ? "restarted.bin" : "running.bin";
        nginx.AddFile(name, body);
        const auto dest = work.path() / name;
        const std::string url = "/throttled/" + name;
        DWORD recorded = 0;
        std::uintmax_t written = 0;
        std::string id;
        {
            testsupport::ChildProcess first(
                Join({(testsupport::BinDir() / "http-fetch").string(), "resume-ex", url, "--dest", dest.string()},
                     Server(nginx.port())),
                work.path() / "first.out");
            ASSERT_TRUE(testsupport::WaitUntil([&] {
                const auto known = UrlId(url);
                return known && SavedSize(*known) > 0;
            }, std::chrono::seconds(20)));
            id = UrlId(url).value_or("");
            const int lock = ::open((machine.path() / "registry" / "HKLM.lock").c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(lock, 0);
            ASSERT_EQ(::flock(lock, LOCK_EX), 0);
            recorded = SavedSize(id);
            const bool inFlight = testsupport::WaitUntil([&] { return PartialSize(id) >= recorded + kSaveLimit / 2; },
                                                         std::chrono::seconds(20));
            first.Stop(SIGKILL);
            written = PartialSize(id);
            ::close(lock);
            ASSERT_TRUE(inFlight) << "no bytes appended beyond the record";
        }
        EXPECT_EQ(SavedSize(id), recorded);
        if (restarted) {
            ASSERT_EQ(writeValue(HKEY_LOCAL_MACHINE, (MetaKey() + id).c_str(), "PartialFileBootId", "another boot",
                                 REG_SZ),
                      0u);
        }

        const Outcome second = Run(Join({"resume-ex", url, "--dest", dest.string()}, Server(nginx.port())));
        EXPECT_EQ(second.code, "0") << second.err;
        EXPECT_EQ(ReadFile(dest), body);
        const auto rangesAsked = [&] {
            std::vector<std::string> ranges;
            for (const auto& entry : nginx.AccessLog())
                if (entry.target == url && !entry.range.empty()) ranges.push_back(entry.range);
            return ranges;
        };
        // nginx logs the killed request when it notices the closed connection.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return rangesAsked().size() == 2; }, std::chrono::seconds(10)));
        const std::vector<std::string> ranges = rangesAsked();
        const std::uintmax_t from = restarted ? recorded : written;
        EXPECT_EQ(ranges[1], "bytes=" + std::to_string(from) + "-" + std::to_string(body.size()));
    }
}

TEST_F(HttpFetchResumeTest, TwoProcessesOnOneNewUrlBothEndWithTheWholeFile) {
    NginxServer nginx;
    const std::string body = testsupport::PatternBytes(300 * 1024, 22);
    nginx.AddFile("shared.bin", body);
    const std::string bin = Quote((testsupport::BinDir() / "http-fetch").string());
    std::string command;
    for (const char* name : {"one", "two"}) {
        command += "(VANTORRA_EXIT_CODE_FILE=" + Quote((work.path() / (std::string(name) + ".code")).string()) + " " +
                   bin + " resume-ex /throttled/shared.bin --dest " + Quote((work.path() / name).string()) +
                   " --server 127.0.0.1 --port " + std::to_string(nginx.port()) + " >/dev/null 2>&1) & ";
    }
    command += "wait";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : {"one", "two"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFile(work.path() / (std::string(name) + ".code")), "0");
        EXPECT_EQ(ReadFile(work.path() / name), body);
    }
    EXPECT_FALSE(UrlId("/throttled/shared.bin").has_value());
    EXPECT_TRUE(RepositoryFiles().empty());
    RegistryKey key;
    ASSERT_EQ(key.open(HKEY_LOCAL_MACHINE, MetaKey().c_str(), KEY_READ), 0);
    char name[256];
    DWORD size = sizeof name;
    EXPECT_NE(RegEnumKeyExA(key.handle(), 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
        << "a subkey stayed behind: " << name;
}

// A write failure (file-size limit) ends the attempt with its code and keeps what was
// recorded; the bytes written past the record are cut off when the next run resumes.
TEST_F(HttpFetchResumeTest, WriteFailureKeepsTheRecordedCopyForTheNextRun) {
    NginxServer nginx;
    const std::string body = testsupport::PatternBytes(400 * 1024, 23);
    nginx.AddFile("w.bin", body);
    const auto dest = work.path() / "w.bin";
    const Outcome limited =
        Run(Join({"resume-ex", "/w.bin", "--dest", dest.string()}, Server(nginx.port())), "prlimit --fsize=150000");
    EXPECT_FALSE(limited.code.empty()) << "the process must end by itself, not by SIGXFSZ";
    EXPECT_NE(limited.code, "0");
    EXPECT_FALSE(std::filesystem::exists(dest));
    const std::string id = UrlId("/w.bin").value_or("");
    ASSERT_FALSE(id.empty());
    const DWORD recorded = SavedSize(id);
    EXPECT_EQ(recorded, 2 * kSaveLimit);

    const Outcome second = Run(Join({"resume-ex", "/w.bin", "--dest", dest.string()}, Server(nginx.port())));
    EXPECT_EQ(second.code, "0") << second.err;
    EXPECT_EQ(ReadFile(dest), body);
    ASSERT_TRUE(nginx.WaitForAccessLog(4));
    const auto log = nginx.AccessLog();
    EXPECT_EQ(log.back().range, "bytes=" + std::to_string(recorded) + "-" + std::to_string(body.size()));
}
