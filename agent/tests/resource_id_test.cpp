// The resource identifier's registry step and the document path handed to the server
// lookup, and the time helpers of the download bookkeeping.
#include <ctime>

#include "agent/tests/agent_fixture.h"

namespace {
struct Recorder {
    int calls = 0;
    std::string path;
};
}  // namespace

TEST_F(AgentTest, ResourceIdPresentAsksNoServer) {
    Recorder recorder;
    SetResourceIdLookup([&recorder](const std::string& path, std::optional<std::string>*) {
        ++recorder.calls;
        recorder.path = path;
        return DWORD{0};
    });
    Prepare();
    std::optional<std::string> id;
    EXPECT_EQ(GetResourceID(&id), 0u);
    EXPECT_EQ(id, "RES-42");
    EXPECT_EQ(recorder.calls, 0);
}

TEST_F(AgentTest, ResourceIdMissingAtLogoffAsksNoServer) {
    Recorder recorder;
    SetResourceIdLookup([&recorder](const std::string&, std::optional<std::string>*) {
        ++recorder.calls;
        return DWORD{0};
    });
    systemDetails.clear();
    Prepare();
    gv_sessionEventName = "LogOff";
    std::optional<std::string> id;
    EXPECT_EQ(GetResourceID(&id), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(recorder.calls, 0);
    EXPECT_TRUE(Logged("GetResourceID : Unable to get the ZQ Agent Resource ID from Registry , So trying to get the same from server .\n"));
}

TEST_F(AgentTest, DocumentPaths) {
    SKIP_WITHOUT_MACHINE_PROFILE();
    struct Case {
        std::string customerId, nameSpace, computer;
        std::optional<std::string> localDomain;
        std::string path;
    };
    const Case cases[] = {
        {"ABC12", "CORP", "PC-01", std::nullopt, "/client-data/abc12/domains/corp/resources/pc-01.xml"},
        {"ABC12", "CORP", "PC-01", "CORP.EXAMPLE", "/client-data/abc12/domains/corp.example/resources/pc-01.xml"},
        {"CORP7", "CORP", "PC-01", "Corp.Example", "/client-data/corp.example7/domains/corp.example/resources/pc-01.xml"},
        {"ABC12", "C", "PC-01", "CORP.EXAMPLE", "/client-data/abc12/domains/c/resources/pc-01.xml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.customerId + " " + c.nameSpace);
        TearDown();
        SetUp();
        Recorder recorder;
        SetResourceIdLookup([&recorder](const std::string& path, std::optional<std::string>*) {
            ++recorder.calls;
            recorder.path = path;
            return DWORD{12029};
        });
        systemDetails.clear();
        if (c.localDomain) systemDetails["LocalDomainName"] = *c.localDomain;
        root["CustomerId"] = c.customerId;
        profile = "[computer]\nname = " + c.computer + "\njoin_status = 3\njoin_name = " + c.nameSpace + "\n";
        EXPECT_EQ(Run(), 0);  // a failed lookup does not fail the start-up
        EXPECT_EQ(recorder.calls, 1);
        EXPECT_EQ(recorder.path, c.path);
        EXPECT_FALSE(gv_resourceId.has_value());
        EXPECT_FALSE(Registry(gv_systemDetailsKey, "ZQAgentResourceID").has_value());
    }
}

TEST_F(AgentTest, ServerLookupResultIsRecorded) {
    SetResourceIdLookup([](const std::string&, std::optional<std::string>* id) {
        *id = "RES-77";
        return DWORD{0};
    });
    systemDetails.clear();
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(gv_resourceId, "RES-77");
    EXPECT_EQ(Registry(gv_systemDetailsKey, "ZQAgentResourceID"), "RES-77");
    EXPECT_TRUE(Logged("GetResourceIDFromServer : The Resource ID from the server is given  by RES-77 \n"));
    const std::string text = LogText();
    EXPECT_NE(text.find("SendServiceMsg : "), std::string::npos);  // the agent service was notified

    // A loaded document without the row: success, nothing written.
    TearDown();
    SetUp();
    SetResourceIdLookup([](const std::string&, std::optional<std::string>*) { return DWORD{0}; });
    systemDetails.clear();
    ASSERT_EQ(Run(), 0);
    EXPECT_FALSE(gv_resourceId.has_value());
    EXPECT_FALSE(Registry(gv_systemDetailsKey, "ZQAgentResourceID").has_value());
}

TEST_F(AgentTest, IdentifiersFromTheServerMustBePrintableShortAndFlat) {
    struct Case {
        const char* name;
        std::string id;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"plain", "RES-1001", true},
        {"255 characters", std::string(255, 'a'), true},
        {"non-ASCII letters, 255 characters", "\xC3\xA9" + std::string(254, 'b'), true},
        {"blank inside", "RES 7", true},
        {"256 characters", std::string(256, 'a'), false},
        {"slash", "../../etc/x", false},
        {"backslash", "..\\Windows", false},
        {"dot", ".", false},
        {"dot dot", "..", false},
        {"line break", "RES-1\nGetResourceID : forged", false},
        {"control character", std::string("RES\x01"), false},
        {"delete", "RES\x7F", false},
        {"C1 control", "RES\xC2\x85", false},
        {"NUL inside", std::string("RES\0X", 5), false},
        {"invalid UTF-8", "RES\xFF", false},
        {"cut UTF-8 sequence", "RES\xC3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SetResourceIdLookup([&c](const std::string&, std::optional<std::string>* id) {
            *id = c.id;
            return DWORD{0};
        });
        systemDetails.clear();
        ASSERT_EQ(Run(), 0);  // a refused identifier does not fail the start-up
        const std::string text = LogText();
        if (c.accepted) {
            EXPECT_EQ(gv_resourceId, c.id);
            EXPECT_EQ(RegistryUtf8(gv_systemDetailsKey, "ZQAgentResourceID"), c.id);
            EXPECT_NE(text.find("SendServiceMsg : "), std::string::npos);
        } else {
            EXPECT_FALSE(gv_resourceId.has_value());
            EXPECT_FALSE(Registry(gv_systemDetailsKey, "ZQAgentResourceID").has_value());
            EXPECT_EQ(text.find("SendServiceMsg : "), std::string::npos) << "the agent service is not told";
            EXPECT_TRUE(Logged("GetResourceIDFromServer : The resource id from the server is refused: it is not "
                               "printable text of at most 255 characters without path separators (" +
                               std::to_string(c.id.size()) + " bytes) \n"));
            EXPECT_EQ(text.find("forged"), std::string::npos) << "the value never reaches the log";
        }
    }
}

TEST_F(AgentTest, WithoutServerLookupTheStepFailsCleanly) {
    systemDetails.clear();
    Prepare();
    gv_clientDataPath = "client-data/abc12/domains/workgroup";
    gv_localComputerName = "PC-01";
    std::optional<std::string> id;
    EXPECT_EQ(GetResourceID(&id), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_FALSE(id.has_value());
    EXPECT_TRUE(Logged("GetResourceIDFromServer : Unable to get the reource id xml from "
                       "/client-data/abc12/domains/workgroup/resources/pc-01.xml path and the error code is 120 \n"));
}

TEST(TimeHelpersTest, UnixSecondsAndZones) {
    SYSTEMTIME t{2024, 2, 4, 29, 12, 30, 15, 500};
    LONGLONG seconds = 0;
    SystemTimeToUnixSeconds(t, &seconds);
    EXPECT_EQ(seconds, 1709209815);
    SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0};
    SystemTimeToUnixSeconds(epoch, &seconds);
    EXPECT_EQ(seconds, 0);

    const char* saved = std::getenv("TZ");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;
    for (const char* zone : {"UTC", "Europe/Berlin", "Australia/Sydney", "America/New_York"}) {
        setenv("TZ", zone, 1);
        tzset();
        // A local standard wall-clock time goes back to UTC.
        SYSTEMTIME local{2024, 1, 1, 15, 9, 0, 0, 0};
        LONGLONG asUtc = 0;
        SystemTimeToUnixSeconds(local, &asUtc);
        EXPECT_EQ(GetTimeInSeconds(local), static_cast<int>(asUtc + ::timezone)) << zone;
        const long before = static_cast<long>(std::time(nullptr));
        const int now = GetCurrentUnixSeconds();
        const long after = static_cast<long>(std::time(nullptr));
        EXPECT_GE(now, before) << zone;
        EXPECT_LE(now, after) << zone;
    }
    if (previous) setenv("TZ", previous->c_str(), 1);
    else unsetenv("TZ");
    tzset();

    // Past the 32-bit range the seconds stop at the bound instead of wrapping to 1901.
    setenv("TZ", "UTC", 1);
    tzset();
    const std::pair<SYSTEMTIME, int> bounds[] = {
        {SYSTEMTIME{2038, 1, 2, 19, 3, 14, 7, 0}, 2147483647},
        {SYSTEMTIME{2038, 1, 2, 19, 3, 14, 8, 0}, 2147483647},
        {SYSTEMTIME{2100, 6, 2, 1, 0, 0, 0, 0}, 2147483647},
        {SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0}, -2147483647 - 1},
    };
    for (const auto& [time, expected] : bounds) EXPECT_EQ(GetTimeInSeconds(time), expected) << time.wYear;
    if (previous) setenv("TZ", previous->c_str(), 1);
    else unsetenv("TZ");
    tzset();

    const WideString millis = GetCurrentTimeMillisText();
    ASSERT_GE(millis.size(), 13u);
    const long long value = std::stoll(std::string(millis.begin(), millis.end()));
    EXPECT_NEAR(static_cast<double>(value) / 1000.0, static_cast<double>(std::time(nullptr)), 2.0);
}
