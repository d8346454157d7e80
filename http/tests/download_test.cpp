// Downloads against real servers: plain and GET_DATA bodies, failures that must leave the
// older destination alone, gzip bodies, the throttled range sequence and the answers to
// range requests that must never land in the file.
#include <unistd.h>

#include "http/tests/http_client_fixture.h"

namespace {

using testsupport::NginxServer;
using testsupport::PatternBytes;
using testsupport::ReadBytes;
using testsupport::ScriptedServer;
namespace fs = std::filesystem;

class DownloadTest : public HttpClientTest {
protected:
    DWORD GzipFailureCount() {
        DWORD count = 0;
        ReadDwordRegistryData(HKEY_LOCAL_MACHINE,
                              (gv_agentRootKey + "\\KRTracking\\GzipDecompressionDetails\\").c_str(),
                              "GZIP_DECOMPRESSION_FAILURE_COUNT", &count);
        return count;
    }
    std::string ErrorLog() { return ReadBytes(machine.drivePath('C', "Agent/logs/zqerror.log")); }
    std::vector<std::string> Ranges(const NginxServer& nginx) {
        std::vector<std::string> ranges;
        for (const auto& entry : nginx.AccessLog())
            ranges.push_back(entry.method + " " + (entry.range.empty() ? "-" : entry.range));
        return ranges;
    }
};

// The bytes the scripted server sends for "body_size": 0, 1, ..., 255 over and over.
std::string ServerPattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 256);
    return bytes;
}

std::string Letters(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

TEST_F(DownloadTest, BodiesLandByteExact) {
    NginxServer nginx;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{70001}, std::size_t{5'000'000}}) {
        SCOPED_TRACE(size);
        const std::string binary = PatternBytes(size, static_cast<unsigned>(size));
        nginx.AddFile("bin/" + std::to_string(size), binary);
        const auto dest = temp.path() / "new" / std::to_string(size) / "file";
        EXPECT_EQ(GetEx(nginx.port(), "/bin/" + std::to_string(size), dest.string(), nullptr, DOWNLOAD_FILE), 0u);
        EXPECT_EQ(ReadBytes(dest), binary);
        EXPECT_EQ(FilesIn(dest.parent_path()), std::vector<std::string>{dest.filename().string()});

        const std::string text = Letters(size);
        nginx.AddFile("text/" + std::to_string(size), text);
        std::optional<std::string> data;
        EXPECT_EQ(GetEx(nginx.port(), "/text/" + std::to_string(size), std::nullopt, &data, GET_DATA), 0u);
        ASSERT_TRUE(data.has_value());
        EXPECT_EQ(*data, text);
    }
    // The GET_DATA temporary files are gone again; only the process's private folder
    // they were in stays (until the process ends), empty.
    for (const std::string& name : FilesIn(temp.path())) {
        if (name == "new") continue;
        EXPECT_EQ(name.rfind("zq" + std::to_string(getpid()) + "-", 0), 0u) << name;
        EXPECT_TRUE(std::filesystem::is_empty(temp.path() / name)) << name;
    }
}

TEST_F(DownloadTest, FailuresLeaveTheOlderDestinationAsItWas) {
    NginxServer nginx;
    nginx.AddFile("file.bin", "fresh content");
    ScriptedServer scripted(R"({"routes": {
        "/short": {"body_size": 100000, "close_after_bytes": 50000},
        "/reset": {"body_size": 100000, "reset_after_bytes": 50000},
        "/nolength": {"body": "close-delimited body", "content_length": null}}})");
    // Conditional requests on with the file's own date: the server answers 304.
    HttpRequestHandles first;
    ASSERT_EQ(Request(nginx.port(), "/file.bin", &first), 0u);
    std::optional<WideString> stamp;
    ASSERT_EQ(GetFilelastmodifiedTime(first.hRequest, &stamp), 0u);
    CloseRequestHandles(first);

    struct Case {
        const char* name;
        int port;
        std::string path;
        bool conditional;
        DWORD result;  // 0: any failure code
    } const cases[] = {
        {"not found", nginx.port(), "/missing.bin", false, 404},
        {"server error", nginx.port(), "/status/500", false, 500},
        {"not modified", nginx.port(), "/file.bin", true, HTTP_RESULT_NOT_MODIFIED},
        {"refused", testsupport::UnusedLoopbackPort(), "/file.bin", false, ERROR_WINHTTP_CANNOT_CONNECT},
        {"short body", scripted.port(), "/short", false, 0},
        {"reset mid-body", scripted.port(), "/reset", false, 0},
        {"no Content-Length", scripted.port(), "/nolength", false, HTTP_RESULT_PARTIAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ifModifiedSinceEnabled = c.conditional ? 1 : 0;
        lastModifiedTime = stamp;
        const auto folder = temp.path() / c.name;
        const auto dest = folder / "dest.bin";
        testsupport::WriteFile(dest, "older content");
        const DWORD result = GetEx(c.port, c.path, dest.string(), nullptr, DOWNLOAD_FILE);
        if (c.result) {
            EXPECT_EQ(result, c.result);
        } else {
            EXPECT_NE(result, 0u);
        }
        EXPECT_EQ(ReadBytes(dest), "older content");
        EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"dest.bin"});
    }
    EXPECT_TRUE(log->has("InternetGetRequestEx : Only partial file downloaded. GetFileSize returns :  20\n"));
    EXPECT_TRUE(log->has("InternetGetRequestEx :File not modified since the time: "));
}

TEST_F(DownloadTest, GzipBodiesAreDecodedOrFetchedAgainPlain) {
    NginxServer nginx;
    const std::string first = Letters(200000);
    const std::string second = "second member\n";
    std::string corrupt = Gzip(first);
    corrupt[corrupt.size() / 2] ^= 0x40;
    nginx.AddFile("good.xml", first);
    nginx.AddFile("good.xml.gz", Gzip(first));
    nginx.AddFile("multi.xml", first + second);
    nginx.AddFile("multi.xml.gz", Gzip(first) + Gzip(second));
    nginx.AddFile("corrupt.xml", first);
    nginx.AddFile("corrupt.xml.gz", corrupt);
    nginx.AddFile("plain.txt", first);
    struct Case {
        const char* name;
        std::string path;
        bool gzip;
        DWORD failures;  // the registry counter afterwards
        const char* line;
    } const cases[] = {
        {"good", "/good.xml", true, 0, "InternetGetRequestEx : File Decompressed successfully.\n"},
        {"two members", "/multi.xml", true, 0, "InternetGetRequestEx : File Decompressed successfully.\n"},
        {"not asked for", "/good.xml", false, 0, "InternetGetRequestEx : Successfully downloaded the file"},
        {"deflate is not gzip", "/deflate/plain.txt", true, 0,
         "InternetGetRequestEx : Response Header doesn't contain content-Encoding as gzip \n"},
        {"corrupt falls back", "/corrupt.xml", true, 1,
         "InternetGetRequestEx : File Decompression failure. So need to download the original file.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.reset();  // the old capture closes the log it shares with the new one
        log = std::make_unique<LogCapture>(4);
        const auto dest = temp.path() / "gz" / "dest.xml";
        EXPECT_EQ(GetEx(nginx.port(), c.path, dest.string(), nullptr, DOWNLOAD_FILE, c.gzip), 0u);
        const std::string expected = c.path == "/multi.xml" ? first + second : first;
        EXPECT_EQ(ReadBytes(dest), expected);
        EXPECT_TRUE(log->has(c.line));
        EXPECT_EQ(GzipFailureCount(), c.failures);
        EXPECT_EQ(FilesIn(dest.parent_path()), std::vector<std::string>{"dest.xml"});
    }
    // The failure is written to zqerror.log: the date, then the line for the file (a text
    // file: CR LF on Windows).
    const std::string errors = ErrorLog();
#ifdef _WIN32
    const std::string lineEnds = "\r\n\r\n";
#else
    const std::string lineEnds = "\n\n";
#endif
    EXPECT_NE(errors.find("\tGzip file Decompression failed for the file " + (temp.path() / "gz" / "dest.xml").string() +
                          lineEnds),
              std::string::npos)
        << errors;
    DWORD stampSeconds = 0;
    EXPECT_EQ(ReadDwordRegistryData(HKEY_LOCAL_MACHINE, (gv_agentRootKey + "\\KRTracking\\").c_str(),
                                    "LastKRDataModifiedTime", &stampSeconds),
              0u);
    EXPECT_GT(stampSeconds, 0u);

    // GET_DATA ends with the data when the plain repeat works, and the repeat is unconditional.
    ifModifiedSinceEnabled = 1;
    lastModifiedTime = WTEXT("Sat, 01 Jan 2000 10:00:00 GMT");
    std::optional<std::string> data;
    EXPECT_EQ(GetEx(nginx.port(), "/corrupt.xml", std::nullopt, &data, GET_DATA, true), 0u);
    EXPECT_EQ(data.value_or(""), first);
    EXPECT_EQ(GzipFailureCount(), 2u);
    ASSERT_TRUE(nginx.WaitForAccessLog(8));
    const auto entries = nginx.AccessLog();
    ASSERT_EQ(entries.size(), 8u);
    EXPECT_EQ(entries[6].ifModifiedSince, "Sat, 01 Jan 2000 10:00:00 GMT");
    EXPECT_EQ(entries[6].acceptEncoding, "gzip");
    EXPECT_EQ(entries[7].ifModifiedSince, "") << "the plain repeat is unconditional";
    EXPECT_EQ(entries[7].acceptEncoding, "");
}

TEST_F(DownloadTest, GzipMarksFromTheServerAreTakenOnlyWhenAskedFor) {
    const std::string packed = Gzip("packed text");
    std::string hex;
    for (unsigned char c : packed) {
        static const char* digits = "0123456789abcdef";
        hex += digits[c >> 4], hex += digits[c & 15];
    }
    ScriptedServer server(R"({"routes": {
        "/packed": {"headers": [["Content-Encoding", "gzip"]], "body_hex": ")" + hex + R"("},
        "/empty": {"headers": [["Content-Encoding", "gzip"]], "body": ""}}})");
    const auto dest = temp.path() / "raw.bin";
    EXPECT_EQ(GetEx(server.port(), "/packed", dest.string(), nullptr, DOWNLOAD_FILE, false), 0u);
    EXPECT_EQ(ReadBytes(dest), packed) << "stored without decoding";
    EXPECT_EQ(GetEx(server.port(), "/packed", dest.string(), nullptr, DOWNLOAD_FILE, true), 0u);
    EXPECT_EQ(ReadBytes(dest), "packed text");
    EXPECT_EQ(GetEx(server.port(), "/empty", dest.string(), nullptr, DOWNLOAD_FILE, true), 0u);
    EXPECT_EQ(ReadBytes(dest), "");
    EXPECT_EQ(GzipFailureCount(), 0u);
}

TEST_F(DownloadTest, ThrottledDownloadAsksForTheRangesOfTheBlocks) {
    NginxServer nginx;
    gv_dataTransferRateKBps = 1;  // blocks of 500 bytes
    struct Case {
        std::size_t size;
        std::vector<std::string> requests;
    } const cases[] = {
        {0, {"HEAD -"}},
        {1000, {"HEAD -", "GET bytes=0-499", "GET bytes=500-999"}},
        {1200, {"HEAD -", "GET bytes=0-499", "GET bytes=500-999", "GET bytes=1000-1200"}},
    };
    std::size_t logged = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        sleeps.clear();
        const std::string body = PatternBytes(c.size, 7);
        nginx.AddFile("t" + std::to_string(c.size), body);
        const auto dest = temp.path() / ("throttled" + std::to_string(c.size));
        EXPECT_EQ(GetByBitrate(nginx.port(), "/t" + std::to_string(c.size), dest.string(), nullptr, DOWNLOAD_FILE), 0u);
        EXPECT_EQ(ReadBytes(dest), body);
        logged += c.requests.size();
        ASSERT_TRUE(nginx.WaitForAccessLog(logged));
        const auto all = Ranges(nginx);
        EXPECT_EQ(std::vector<std::string>(all.end() - static_cast<long>(c.requests.size()), all.end()), c.requests);
        // One pause after every block; loopback blocks take well under 450 ms.
        const auto pauses = Sleeps();
        EXPECT_EQ(pauses.size(), c.requests.size() - 1);
        for (DWORD pause : pauses) EXPECT_TRUE(pause > 150 && pause <= 600) << pause;
    }
    // GET_DATA through the same path.
    nginx.AddFile("text.txt", "throttled text that spans two blocks " + Letters(600));
    std::optional<std::string> data;
    EXPECT_EQ(GetByBitrate(nginx.port(), "/text.txt", std::nullopt, &data, GET_DATA), 0u);
    EXPECT_EQ(data.value_or(""), "throttled text that spans two blocks " + Letters(600));
}

TEST_F(DownloadTest, ThrottlePausesFollowTheClock) {
    NginxServer nginx;
    nginx.AddFile("one-block", std::string(300, 'x'));
    gv_dataTransferRateKBps = 1;
    struct Case {
        const char* name;
        SYSTEMTIME start, end;
        DWORD pause;
    } const cases[] = {
        {"fast block", {2026, 12, 2, 8, 10, 0, 0, 0}, {2026, 12, 2, 8, 10, 0, 0, 200}, 400},
        {"slow block", {2026, 12, 2, 8, 10, 0, 0, 0}, {2026, 12, 2, 8, 10, 0, 0, 700}, 100},
        {"across midnight", {2026, 12, 2, 8, 23, 59, 59, 900}, {2026, 12, 3, 9, 0, 0, 0, 50}, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sleeps.clear();
        int calls = 0;
        winhttp_seam::SetLocalTimeFunction([&](LPSYSTEMTIME now) { *now = calls++ % 2 == 0 ? c.start : c.end; });
        EXPECT_EQ(GetByBitrate(nginx.port(), "/one-block", (temp.path() / "one").string(), nullptr, DOWNLOAD_FILE), 0u);
        EXPECT_EQ(Sleeps(), std::vector<DWORD>{c.pause});
    }
}

TEST_F(DownloadTest, RangeAnswersThatDoNotFitNeverLandInTheFile) {
    // 40960 is a multiple of the pattern's period, so the rest of the body is the pattern again.
    const std::string body = ServerPattern(100000);
    ScriptedServer server(R"({"routes": {
        "/whole-again": [{"body_size": 100000, "stall_after_bytes": 40960}, {"status": 200, "body_size": 100000}],
        "/proper-range": [{"body_size": 100000, "stall_after_bytes": 40960},
                          {"status": 206, "headers": [["Content-Range", "bytes 40960-99999/100000"]], "body_size": 59040}],
        "/wrong-range": [{"body_size": 100000, "stall_after_bytes": 40960},
                         {"status": 206, "headers": [["Content-Range", "bytes 0-99999/100000"]], "body_size": 100000}],
        "/error-page": [{"body_size": 100000, "stall_after_bytes": 40960}, {"status": 416, "body": "no"}]}})");
    gv_httpRequestTimeout = 300;
    // The bodies stay out of the log (no TRACE): the capture is read back in text mode on
    // Windows, where the pattern's 0x1A would end it.
    log.reset();
    log = std::make_unique<LogCapture>(3);
    struct Case {
        const char* path;
        DWORD result;
    } const cases[] = {
        {"/whole-again", 0}, {"/proper-range", 0}, {"/wrong-range", ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"/error-page", 416}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::optional<std::string> data;
        EXPECT_EQ(GetEx(server.port(), c.path, std::nullopt, &data, GET_DATA), c.result);
        if (c.result == 0) {
            EXPECT_EQ(data.value_or(""), AsText(body));
        } else {
            EXPECT_FALSE(data.has_value());
        }
    }
    EXPECT_EQ(CountInLog("InternetGetRequestEx : second attempt to recover from previous error\n"), 4);
    EXPECT_TRUE(log->has("InternetGetRequestByBitrate: Content-Range Header message: Range: bytes=40960-100000\n"));
}

TEST_F(DownloadTest, AStalledBodyIsRecoveredWithARangeFromNginx) {
    NginxServer nginx;
    const std::string text = Letters(100000);
    nginx.AddFile("stalls.txt", text);
    gv_httpRequestTimeout = 300;
    std::optional<std::string> data;
    EXPECT_EQ(GetEx(nginx.port(), "/slow/stalls.txt", std::nullopt, &data, GET_DATA), 0u);
    EXPECT_EQ(data.value_or(""), text);
    ASSERT_TRUE(nginx.WaitForAccessLog(2));
    const auto entries = nginx.AccessLog();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[1].range.rfind("bytes=", 0), 0u);
    EXPECT_NE(entries[1].range, "bytes=0-100000");
}

TEST_F(DownloadTest, ThrottledBlocksAnsweredBadlyEndTheDownloadOrRestartIt) {
    const std::string head = R"({"status": 200, "headers": [["Content-Length", "1000"]], "body": ""})";
    ScriptedServer server(R"({"routes": {
        "/whole-again": [)" + head + R"(, {"status": 206, "headers": [["Content-Range", "bytes 0-499/1000"]], "body_size": 500},
                         {"status": 200, "body_size": 1000}],
        "/nothing": [)" + head + R"(, {"raw": ""}],
        "/empty-blocks": [)" + head + R"(, {"status": 206, "headers": [["Content-Range", "bytes 0-499/1000"]], "body": ""}],
        "/wrong-start": [)" + head + R"(, {"status": 206, "headers": [["Content-Range", "bytes 0-499/1000"]], "body_size": 500}],
        "/overshoot": [)" + head + R"(, {"status": 206, "headers": [["Content-Range", "bytes 0-499/1000"]], "body_size": 500},
                       {"status": 206, "headers": [["Content-Range", "bytes 500-1199/1200"]], "body_size": 700}]}})");
    gv_dataTransferRateKBps = 1;
    struct Case {
        const char* path;
        DWORD result;  // 1: any failure code
        std::size_t requests;
    } const cases[] = {
        {"/whole-again", 0, 3},                      // a 200 to the second block restarts the file
        {"/nothing", 1, 7},                          // closed without a status: 12152, a restart, five rounds
        {"/empty-blocks", HTTP_RESULT_PARTIAL, 4},   // three rounds without a byte
        {"/wrong-start", ERROR_WINHTTP_INVALID_SERVER_RESPONSE, 3},
        {"/overshoot", HTTP_RESULT_PARTIAL, 3},      // more bytes than announced: the size check
    };
    std::size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto dest = temp.path() / (std::string(c.path + 1) + ".bin");
        const DWORD result = GetByBitrate(server.port(), c.path, dest.string(), nullptr, DOWNLOAD_FILE);
        if (c.result == 1) {
            EXPECT_NE(result, 0u);
        } else {
            EXPECT_EQ(result, c.result);
        }
        if (c.result == 0) {
            EXPECT_EQ(ReadBytes(dest), ServerPattern(1000));
        } else {
            EXPECT_FALSE(std::filesystem::exists(dest));
        }
        seen += c.requests;
        EXPECT_TRUE(server.WaitForRequests(seen));
        EXPECT_EQ(server.Requests().size(), seen);
    }
    EXPECT_EQ(FilesIn(temp.path()), std::vector<std::string>{"whole-again.bin"});
}

TEST_F(DownloadTest, ADownloadWithoutDestinationOrWithAnUnknownModeCreatesNothing) {
    NginxServer nginx;
    nginx.AddFile("file.bin", "content");
    EXPECT_EQ(GetEx(nginx.port(), "/file.bin", std::nullopt, nullptr, DOWNLOAD_FILE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetByBitrate(nginx.port(), "/file.bin", std::nullopt, nullptr, DOWNLOAD_FILE), ERROR_INVALID_PARAMETER);
    EXPECT_NE(GetEx(nginx.port(), "/file.bin", (temp.path() / "x").string(), nullptr, POST_DATA), 0u);
    EXPECT_TRUE(log->has("InternetGetRequestEx : Error occured while creating the file --> 87 \n"));
    EXPECT_TRUE(FilesIn(temp.path()).empty());
}

TEST_F(DownloadTest, DownloadModeIsLoggedButDataFilesNeverAsk) {
    NginxServer nginx;
    nginx.AddFile("patch.bin", "patch");
    nginx.AddFile("data.xml", "<x/>");
    writeValue(HKEY_LOCAL_MACHINE, (gv_agentRootKey + "\\Settings").c_str(), "DownloadMode", "1", REG_DWORD);
    // Mode 1 hands only file downloads to the resumable downloader: data stays plain.
    std::optional<std::string> patch;
    EXPECT_EQ(GetEx(nginx.port(), "/patch.bin", std::nullopt, &patch, GET_DATA), 0u);
    EXPECT_EQ(patch.value_or(""), "patch");
    EXPECT_EQ(CountInLog("InternetGetDownloader : Download Mode 1\n"), 1);
    std::optional<std::string> data;
    EXPECT_EQ(GetEx(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA), 0u);
    EXPECT_EQ(GetByBitrate(nginx.port(), "/data.xml", std::nullopt, &data, GET_DATA), 0u);
    EXPECT_EQ(data.value_or(""), "<x/>");
    EXPECT_EQ(CountInLog("InternetGetDownloader : Vantorra Server & Port -> "), 1);
}

TEST_F(DownloadTest, AThrottledBlockThatFailsBeforeAnyStatusReportsItsOwnCode) {
    NginxServer nginx;
    nginx.AddFile("file.bin", std::string(1000, 'z'));
    gv_dataTransferRateKBps = 1;
    // The server goes away during the pause after the first block.
    winhttp_seam::SetSleepFunction([&nginx](DWORD) { nginx.Stop(); });
    const auto dest = temp.path() / "file.bin";
    EXPECT_EQ(GetByBitrate(nginx.port(), "/file.bin", dest.string(), nullptr, DOWNLOAD_FILE),
              ERROR_WINHTTP_CANNOT_CONNECT);
    EXPECT_TRUE(log->has("InternetGetRequestByBitrate : Failed with the http status code 0 \n"));
    EXPECT_TRUE(FilesIn(temp.path()).empty());
}

// ---- Size limits and the gzip end of a body ----

// A GET_DATA body is read into memory only up to the agent's limit: an announced length
// over it is refused before the body is read, a body without one is cut off at it.
TEST_F(DownloadTest, DataInMemoryStopsAtTheLimit) {
    NginxServer nginx;
    nginx.AddFile("fits.txt", Letters(100000));
    nginx.AddFile("over.txt", Letters(100001));
    ScriptedServer scripted(R"({"routes": {"/unannounced": {"body_size": 5000000, "content_length": null,
                                                              "close": true}}})");
    gv_httpMaxDataSize = 100000;
    gv_dataTransferRateKBps = 400;  // 200000-byte blocks
    struct Case {
        const char* name;
        int port;
        const char* path;
        bool throttled;
        DWORD result;
    } const cases[] = {
        {"at the limit", nginx.port(), "/fits.txt", false, 0},
        {"one byte over", nginx.port(), "/over.txt", false, HTTP_RESULT_FILE_TOO_LARGE},
        {"throttled, at the limit", nginx.port(), "/fits.txt", true, 0},
        {"throttled, one byte over", nginx.port(), "/over.txt", true, HTTP_RESULT_FILE_TOO_LARGE},
        {"no Content-Length", scripted.port(), "/unannounced", false, HTTP_RESULT_FILE_TOO_LARGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> data;
        const DWORD result = c.throttled ? GetByBitrate(c.port, c.path, std::nullopt, &data, GET_DATA)
                                         : GetEx(c.port, c.path, std::nullopt, &data, GET_DATA);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(data.has_value(), c.result == 0);
        if (data) {
            EXPECT_EQ(*data, Letters(100000));
        }
    }
    EXPECT_TRUE(log->has("InternetGetRequestEx : the body of 100001 bytes is over the limit of 100000 bytes for data "
                         "in memory (HTTPMaxDataSize)\n"));
    EXPECT_TRUE(log->has("InternetGetRequestByBitrate : the body of 100001 bytes is over the limit of 100000 bytes"));
    // The throttled download asked for no block of the body over the limit.
    ASSERT_TRUE(nginx.WaitForAccessLog(5));
    for (const auto& entry : nginx.AccessLog()) {
        if (entry.target == "/over.txt") {
            EXPECT_TRUE(entry.method == "HEAD" || entry.range.empty());
        }
    }
    // A file download is no data in memory: the limit does not apply.
    const auto dest = temp.path() / "over.txt";
    EXPECT_EQ(GetEx(nginx.port(), "/over.txt", dest.string(), nullptr, DOWNLOAD_FILE), 0u);
    EXPECT_EQ(ReadBytes(dest), Letters(100001));
}

// A gzip bomb from the server is stopped at the expansion ratio and answered by the plain
// download; bytes after the last member are ignored, as gzip(1) does, without a fallback.
TEST_F(DownloadTest, GzipBombsStopAndTrailingBytesAreIgnored) {
    NginxServer nginx;
    const std::string text = Letters(150000);
    {
        // 64 MiB of zeros, about 64 KiB on the wire.
        const std::string zeros(1 << 20, '\0');
        std::string packed;
        for (int i = 0; i < 64; ++i) packed += Gzip(zeros);
        nginx.AddFile("bomb.xml.gz", packed);
    }
    nginx.AddFile("bomb.xml", "the plain document");
    nginx.AddFile("trail.xml", text);
    nginx.AddFile("trail.xml.gz", Gzip(text) + std::string("\0\0\0\0trailing garbage", 20));
    struct Case {
        const char* name;
        const char* path;
        DWORD mode;
        std::string expected;
        DWORD failures;  // GZIP_DECOMPRESSION_FAILURE_COUNT afterwards
        const char* line;
    } const cases[] = {
        {"bomb as data", "/bomb.xml", GET_DATA, "the plain document", 1, "(HTTPMaxGzipRatio)"},
        {"bomb as a file", "/bomb.xml", DOWNLOAD_FILE, "the plain document", 2, "(HTTPMaxGzipRatio)"},
        {"trailing bytes", "/trail.xml", DOWNLOAD_FILE, text, 2,
         "DecompressGzipFile : bytes after the last gzip member ignored\n"},
        {"trailing bytes as data", "/trail.xml", GET_DATA, text, 2, "InternetGetRequestEx : File Decompressed successfully.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto folder = temp.path() / c.name;
        const auto dest = folder / "dest.xml";
        std::optional<std::string> data;
        EXPECT_EQ(GetEx(nginx.port(), c.path, c.mode == DOWNLOAD_FILE ? std::optional(dest.string()) : std::nullopt,
                        &data, c.mode, true),
                  0u);
        EXPECT_EQ(c.mode == DOWNLOAD_FILE ? ReadBytes(dest) : data.value_or(""), c.expected);
        EXPECT_EQ(GzipFailureCount(), c.failures);
        EXPECT_TRUE(log->has(c.line));
        if (c.mode == DOWNLOAD_FILE) {
            EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"dest.xml"});
        }
    }
}

// Bodies reach the log at TRACE only, and never with a password in them.
TEST_F(DownloadTest, BodiesAreLoggedAtTraceWithoutPasswords) {
    NginxServer nginx;
    nginx.AddFile("config.xml", "<Config user=\"admin\" password=\"hunter22\"><pwd>s3cret</pwd></Config>");
    for (const BYTE level : {BYTE{3}, BYTE{4}}) {
        SCOPED_TRACE(static_cast<int>(level));
        log.reset();
        log = std::make_unique<LogCapture>(level);
        std::optional<std::string> data;
        ASSERT_EQ(GetEx(nginx.port(), "/config.xml", std::nullopt, &data, GET_DATA), 0u);
        EXPECT_EQ(data.value_or(""), "<Config user=\"admin\" password=\"hunter22\"><pwd>s3cret</pwd></Config>");
        EXPECT_FALSE(log->has("hunter22"));
        EXPECT_FALSE(log->has("s3cret"));
        EXPECT_EQ(log->has("[TRACE] Data in memory : <Config user=\"admin\" password=\"****\"><pwd>****</pwd></Config>"),
                  level == 4);
        EXPECT_FALSE(log->has("[DEBUG] Data in memory"));
    }
}

}  // namespace
