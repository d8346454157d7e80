// gzip decoding of downloaded files: members, trailing bytes, failures and the limits
// that keep a hostile body from filling the disk.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
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

using testsupport::ReadBytes;
using testsupport::TempDir;

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

std::string RandomText(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>('a' + generator() % 26);
    return text;
}

// Writes a gzip file of `size` zero bytes without holding them in memory.
void WriteZerosGzip(const std::filesystem::path& path, std::size_t size) {
    gzFile file = gzopen(path.string().c_str(), "wb9");
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
        // Bytes after a member that start no other member end the body, as gzip(1) takes them.
        {"garbage after the member", good + "garbage!", true, first},
        {"zeros after the member", good + std::string(1000, '\0'), true, first},
        {"one stray byte after the member", good + "\x1f", true, first},
        {"garbage after two members", good + Gzip(second) + "trailer", true, first + second},
        {"a damaged member after the magic", good + Gzip(second).substr(0, 12), false, ""},
        {"not gzip", "plain text that is not compressed", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto source = dir.path() / "body.gz";
        const auto target = dir.path() / "body";
        testsupport::WriteFile(source, c.input);
        testsupport::WriteFile(target, "older content");
        EXPECT_EQ(DecompressGzipFile(source.string().c_str(), target.string().c_str()), c.decoded);
        // A failure leaves the target as it was and nothing beside it.
        EXPECT_EQ(ReadBytes(target), c.decoded ? c.output : std::string("older content"));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
}

TEST(DecompressGzipFile, DecodesInPlaceAndLeavesEmptyInputAlone) {
    TempDir dir;
    const auto file = dir.path() / "data.tmp";
    const std::string text = RandomText(70000, 3);
    testsupport::WriteFile(file, Gzip(text));
    ASSERT_TRUE(DecompressGzipFile(file.string().c_str(), file.string().c_str()));
    EXPECT_EQ(ReadBytes(file), text);

    const auto empty = dir.path() / "empty.tmp";
    const auto target = dir.path() / "untouched";
    testsupport::WriteFile(empty, "");
    EXPECT_TRUE(DecompressGzipFile(empty.string().c_str(), target.string().c_str()));
    EXPECT_FALSE(std::filesystem::exists(target));

    EXPECT_FALSE(DecompressGzipFile((dir.path() / "missing.gz").string().c_str(), target.string().c_str()));
    EXPECT_FALSE(DecompressGzipFile(nullptr, target.string().c_str()));
}

TEST(DecompressGzipFile, MemoryStaysFlatWhateverTheExpansion) {
    const DWORD savedRatio = gv_httpMaxGzipRatio;
    gv_httpMaxGzipRatio = 100000;  // zeros expand about 1000 times
    TempDir dir;
    const auto file = dir.path() / "zeros.gz";
    constexpr std::size_t kSize = 192u << 20;
    WriteZerosGzip(file, kSize);
    ASSERT_LT(std::filesystem::file_size(file), 1u << 20);
    const long before = PeakRssKiB();
    ASSERT_TRUE(DecompressGzipFile(file.string().c_str(), file.string().c_str()));
    const long after = PeakRssKiB();
    EXPECT_EQ(std::filesystem::file_size(file), kSize);
    EXPECT_LT(after - before, 16 * 1024) << "peak grew by " << (after - before) << " KiB";
    gv_httpMaxGzipRatio = savedRatio;
}

TEST(DecompressGzipFile, AFailedWriteIsAFailure) {
#ifdef _WIN32
    GTEST_SKIP() << "makes the write fail through a file size limit (setrlimit) in a forked child, which Windows has not";
#else
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
        _exit(DecompressGzipFile(source.string().c_str(), target.string().c_str()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut-short output was reported as decoded";
    EXPECT_EQ(ReadBytes(target), "older content");
#endif
}

// A second member whose magic straddles a read of the decoder: the first byte ends one
// read, the second starts the next.
TEST(DecompressGzipFile, AMemberStartingAtAReadBoundaryIsStillAMember) {
    constexpr std::size_t kRead = 256 * 1024;
    // Random bytes do not compress: the member's size follows the data's size exactly.
    std::size_t size = kRead;
    std::string member;
    for (int round = 0; round < 8; ++round) {
        member = Gzip(RandomBytes(size, 9));
        if (member.size() == kRead - 1) break;
        size = size + (kRead - 1) - member.size();
    }
    ASSERT_EQ(member.size(), kRead - 1);
    const std::string data = RandomBytes(size, 9);
    TempDir dir;
    const auto file = dir.path() / "two.gz";
    testsupport::WriteFile(file, member + Gzip("tail"));
    ASSERT_TRUE(DecompressGzipFile(file.string().c_str(), file.string().c_str()));
    EXPECT_EQ(ReadBytes(file), data + "tail");
    testsupport::WriteFile(file, member + "\x1f" + "garbage");
    ASSERT_TRUE(DecompressGzipFile(file.string().c_str(), file.string().c_str()));
    EXPECT_EQ(ReadBytes(file), data);
}

// A hostile body cannot fill the disk: decoding stops at the agent's size limit and at its
// expansion ratio, and the target keeps its older content.
TEST(DecompressGzipFile, StopsAtTheSizeAndRatioLimits) {
    const DWORD savedSize = gv_httpMaxGzipSize;
    const DWORD savedRatio = gv_httpMaxGzipRatio;
    struct Case {
        const char* name;
        std::size_t zeros;      // a body of zero bytes, expanding about 1000 times
        std::size_t random;     // a body that does not compress
        DWORD maxSize, maxRatio;
        bool decoded;
        const char* line;
    } const cases[] = {
        {"bomb over the ratio", 64u << 20, 0, 256u << 20, 200, false, "(HTTPMaxGzipRatio)"},
        {"small bodies may expand further", 1u << 20, 0, 256u << 20, 200, true, nullptr},
        {"a ratio raised for it", 64u << 20, 0, 256u << 20, 2000, true, nullptr},
        {"over the size", 0, 3u << 20, 2u << 20, 200, false, "the data passes the limit of 2097152 bytes (HTTPMaxGzipSize)"},
        {"within the size", 0, 3u << 20, 4u << 20, 200, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(4);
        gv_httpMaxGzipSize = c.maxSize;
        gv_httpMaxGzipRatio = c.maxRatio;
        TempDir dir;
        const auto source = dir.path() / "body.gz";
        const auto target = dir.path() / "body";
        if (c.zeros) WriteZerosGzip(source, c.zeros);
        else testsupport::WriteFile(source, Gzip(RandomBytes(c.random, 4)));
        testsupport::WriteFile(target, "older content");
        EXPECT_EQ(DecompressGzipFile(source.string().c_str(), target.string().c_str()), c.decoded);
        if (c.decoded) {
            EXPECT_EQ(std::filesystem::file_size(target), c.zeros + c.random);
        } else {
            EXPECT_EQ(ReadBytes(target), "older content");
            EXPECT_TRUE(log.has(c.line)) << log.text();
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    }
    gv_httpMaxGzipSize = savedSize;
    gv_httpMaxGzipRatio = savedRatio;
}

}  // namespace
