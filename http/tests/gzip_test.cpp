// gzip decoding of downloaded files and reading the GET_DATA temporary file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "agent/agent.h"
#include "http/http.h"
#include "http/tests/http_client_fixture.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

std::string RandomText(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>('a' + generator() % 26);
    return text;
}

// Writes a gzip file of `size` zero bytes without holding them in memory.
void WriteZerosGzip(const std::filesystem::path& path, std::size_t size) {
    gzFile file = gzopen(path.c_str(), "wb9");
    ASSERT_NE(file, nullptr);
    const std::string block(1 << 20, '\0');
    for (std::size_t done = 0; done < size; done += block.size())
        ASSERT_EQ(gzwrite(file, block.data(), static_cast<unsigned>(block.size())), static_cast<int>(block.size()));
    gzclose(file);
}

long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

TEST(DecompressGzipFile, DecodesGoodBrokenAndOddInputs) {
    const std::string first = RandomText(300000, 1);
    const std::string second = RandomText(1000, 2);
    const std::string good = Gzip(first);
    std::string corrupt = good;
    corrupt[corrupt.size() / 2] ^= 0x55;
    struct Case {
        const char* name;
        std::string input;
        bool decoded;
        std::string output;  // expected target content when decoded
    } const cases[] = {
        {"single member", good, true, first},
        {"two members", good + Gzip(second), true, first + second},
        {"empty member", Gzip(""), true, ""},
        {"flipped byte", corrupt, false, ""},
        {"cut short", good.substr(0, good.size() - 100), false, ""},
        {"only the header", good.substr(0, 10), false, ""},
        {"garbage after the member", good + "garbage!", false, ""},
        {"not gzip", "plain text that is not compressed", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto source = dir.path() / "body.gz";
        const auto target = dir.path() / "body";
        testsupport::WriteFile(source, c.input);
        testsupport::WriteFile(target, "older content");
        EXPECT_EQ(DecompressGzipFile(source.c_str(), target.c_str()), c.decoded);
        // A failure leaves the target as it was and nothing beside it.
        EXPECT_EQ(ReadFile(target), c.decoded ? c.output : std::string("older content"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
}

TEST(DecompressGzipFile, DecodesInPlaceAndLeavesEmptyInputAlone) {
    TempDir dir;
    const auto file = dir.path() / "data.tmp";
    const std::string text = RandomText(70000, 3);
    testsupport::WriteFile(file, Gzip(text));
    ASSERT_TRUE(DecompressGzipFile(file.c_str(), file.c_str()));
    EXPECT_EQ(ReadFile(file), text);

    const auto empty = dir.path() / "empty.tmp";
    const auto target = dir.path() / "untouched";
    testsupport::WriteFile(empty, "");
    EXPECT_TRUE(DecompressGzipFile(empty.c_str(), target.c_str()));
    EXPECT_FALSE(std::filesystem::exists(target));

    EXPECT_FALSE(DecompressGzipFile((dir.path() / "missing.gz").c_str(), target.c_str()));
    EXPECT_FALSE(DecompressGzipFile(nullptr, target.c_str()));
}

TEST(DecompressGzipFile, MemoryStaysFlatWhateverTheExpansion) {
    TempDir dir;
    const auto file = dir.path() / "zeros.gz";
    constexpr std::size_t kSize = 192u << 20;
    WriteZerosGzip(file, kSize);
    ASSERT_LT(std::filesystem::file_size(file), 1u << 20);
    const long before = PeakRssKiB();
    ASSERT_TRUE(DecompressGzipFile(file.c_str(), file.c_str()));
    const long after = PeakRssKiB();
    EXPECT_EQ(std::filesystem::file_size(file), kSize);
    EXPECT_LT(after - before, 16 * 1024) << "peak grew by " << (after - before) << " KiB";
}

TEST(DecompressGzipFile, AFailedWriteIsAFailure) {
    TempDir dir;
    const auto source = dir.path() / "big.gz";
    const auto target = dir.path() / "big";
    WriteZerosGzip(source, 8u << 20);
    testsupport::WriteFile(target, "older content");
    // A child with a file-size limit below the decoded size: the write must fail.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1u << 20, 1u << 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(DecompressGzipFile(source.c_str(), target.c_str()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-short output was reported as decoded";
    EXPECT_EQ(ReadFile(target), "older content");
}

TEST(LoadDatafromFile, ReadsTheWholeTemporaryFileAsText) {
    TempDir dir;
    const std::string savedTemp = gv_tempDir;
    gv_tempDir = dir.str();
    const std::string name = DataTempFileName();
    EXPECT_EQ(name, dir.str() + "\\zq" + std::to_string(GetCurrentThreadId()) + ".tmp");
    const std::string content = std::string("line one\r\nline two\r\n") + std::string(3000, 'x') +
                                std::string("\0after a zero byte\r", 19) + "\n";
    testsupport::WriteFile(dir.path() / ("zq" + std::to_string(GetCurrentThreadId()) + ".tmp"), content);
    std::optional<std::string> data;
    ASSERT_EQ(LoadDatafromFile(&data), 1);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(*data, std::string("line one\nline two\n") + std::string(3000, 'x') +
                         std::string("\0after a zero byte\n", 19));
    EXPECT_EQ(LoadDatafromFile(nullptr), 0);

    std::filesystem::remove_all(dir.path());
    data.reset();
    EXPECT_EQ(LoadDatafromFile(&data), 0);
    EXPECT_FALSE(data.has_value());
    gv_tempDir = savedTemp;
}

TEST(TemporaryFileNames, FollowTheDestinationOrTheTemporaryFolder) {
    const std::string tid = std::to_string(GetCurrentThreadId());
    EXPECT_EQ(DownloadTempFileName(u"C:\\a\\b.zip"), u"C:\\a\\b.zip" + std::u16string(tid.begin(), tid.end()) + u".tmp");
    // Without TEMP the host's temporary folder takes the GET_DATA file, never "\zq...".
    const std::string savedTemp = gv_tempDir;
    gv_tempDir.clear();
    const std::string name = DataTempFileName();
    EXPECT_NE(name.rfind("\\zq", 0), 0u);
    EXPECT_EQ(name, std::filesystem::temp_directory_path().string() + "\\zq" + tid + ".tmp");
    gv_tempDir = savedTemp;
}

}  // namespace
