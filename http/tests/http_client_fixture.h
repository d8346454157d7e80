// Test fixture for the HTTP client: a private machine root and log, the client's
// process-wide state put back before each case, the pause seam recording instead of
// sleeping, and short calls for the long argument lists of the client.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "http/http.h"
#include "runtime/runtime.h"
#include "runtime/tests/log_capture.h"
#include "tests/support/http_fixtures.h"
#include "tests/support/test_support.h"

// Skips a case on Windows, printing why: for what only the host build can show (failures
// injected into WinHTTP, POSIX users and permissions).
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif
// True under Wine, whose WinHTTP differs from Windows' in ways listed in http/README.md;
// cases skip (or leave out a check) there only with the reason, and still run on Windows.
inline bool RunningOnWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
#define SKIP_ON_WINE(reason)            \
    if (!RunningOnWine()) {                \
    } else                                 \
        GTEST_SKIP() << (reason)

inline constexpr const char* kNeedsInjectedFailures =
    "injects WinHTTP failures, which the system's WinHTTP cannot be made to give";

// One gzip member holding `data`.
inline std::string Gzip(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, data.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// What a GET_DATA caller receives for a body: the text with CR LF pairs as LF.
inline std::string AsText(std::string bytes) {
    std::string::size_type out = 0;
    for (std::string::size_type i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        bytes[out++] = bytes[i];
    }
    bytes.resize(out);
    return bytes;
}

inline WideString W(const std::string& text) {
    WideString wide;
    ChangeUtf8ToWideStr(text.c_str(), &wide);
    return wide;
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<LogCapture>(4);
        ifModifiedSinceEnabled = 0;
        lastModifiedTime.reset();
        gv_httpRequestTimeout = 60000;
        gv_httpConnectionTimeout = 30000;
        gv_dataTransferRateKBps = 1024;
        ResetHttpSizeLimits();
        gv_tempDir = temp.str();
        gv_agentInstallDir = std::string("C:\\Agent\\");
        ResetServerTrust();
        winhttp_seam::ClearInjectedFailures();
        winhttp_seam::SetSleepFunction([this](DWORD ms) {
            std::lock_guard lock(sleepMutex);
            sleeps.push_back(ms);
        });
    }
    void TearDown() override {
        winhttp_seam::ClearInjectedFailures();
        winhttp_seam::SetSleepFunction(nullptr);
        winhttp_seam::SetLocalTimeFunction(nullptr);
        SetTransferProgressObserver(nullptr);
        ResetHttpSizeLimits();
        ifModifiedSinceEnabled = 0;
        lastModifiedTime.reset();
        gv_agentInstallDir.reset();
        ResetServerTrust();
        log.reset();
    }

    // No key pins, no relaxed checks, and no configured server address (a test that
    // wants trust on first use names its server).
    static void ResetServerTrust() {
        gv_serverKeyPin.reset();
        gv_dsKeyPin.reset();
        gv_allowAnyServerCertificate = 0;
        gv_allowLegacyTlsVersions = 0;
        gv_allowRedirectToOtherHosts = 0;
        for (auto* address : {&gv_serverName, &gv_serverFlatName, &gv_lastAccessName, &gv_serverIPAddress,
                              &gv_serverSecIPAddress, &gv_dsServerName, &gv_dsFlatName, &gv_dsLastAccessName,
                              &gv_dsIPAddress, &gv_dsSecIPAddress}) {
            address->reset();
        }
        gv_dsEnabled.reset();
    }

    std::vector<DWORD> Sleeps() {
        std::lock_guard lock(sleepMutex);
        return sleeps;
    }
    int CountInLog(const std::string& needle) const {
        const std::string text = log->text();
        int count = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }
    // Files left in a folder (to show that no temporary file stays behind).
    static std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // One request through GetInternetRequestHandle on 127.0.0.1.
    DWORD Request(int port, const std::string& path, HttpRequestHandles* handles, DWORD mode = DOWNLOAD_FILE,
                  bool keepAlive = true, bool gzip = false, const char* protocol = "http",
                  const WCHAR* destination = nullptr) {
        const WideString object = W(path);
        return GetInternetRequestHandle(false, protocol, WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr,
                                        nullptr, nullptr, nullptr, object.c_str(), destination, mode, keepAlive,
                                        handles, gzip);
    }
    DWORD GetEx(int port, const std::string& path, const std::optional<std::string>& destination,
                std::optional<std::string>* data, DWORD mode, bool gzip = false, const char* protocol = "http") {
        const WideString object = W(path);
        const std::optional<WideString> dest = destination ? std::optional(W(*destination)) : std::nullopt;
        return InternetGetRequestEx(false, protocol, WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                    nullptr, nullptr, object.c_str(), dest ? dest->c_str() : nullptr, data, mode, true,
                                    gzip);
    }
    DWORD GetByBitrate(int port, const std::string& path, const std::optional<std::string>& destination,
                       std::optional<std::string>* data, DWORD mode) {
        const WideString object = W(path);
        const std::optional<WideString> dest = destination ? std::optional(W(*destination)) : std::nullopt;
        return InternetGetRequestByBitrate(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr,
                                           nullptr, nullptr, nullptr, object.c_str(), dest ? dest->c_str() : nullptr,
                                           data, mode, true);
    }
    DWORD Post(int port, const std::string& path, const char* data, std::optional<std::string>* reply, DWORD mode,
               DWORD postLength = 0, const char* protocol = "http") {
        const WideString object = W(path);
        return InternetSendRequestEx(false, protocol, WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                     nullptr, nullptr, object.c_str(), data, reply, mode, true, postLength);
    }
    DWORD PostFile(int port, const std::string& path, const char* file, std::optional<std::string>* reply,
                   DWORD chunk = 65536) {
        const WideString object = W(path);
        return InternetSendRequestByBitRate(false, "http", WTEXT("127.0.0.1"), static_cast<INTERNET_PORT>(port), nullptr,
                                            nullptr, nullptr, nullptr, object.c_str(), file, reply, POST_BY_BITRATE,
                                            true, chunk);
    }

    testsupport::MachineRoot machine;
    testsupport::TempDir temp;
    std::unique_ptr<LogCapture> log;
    std::mutex sleepMutex;
    std::vector<DWORD> sleeps;
};
