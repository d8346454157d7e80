// Files and folders on drive paths: dispositions, share modes, copy, move, delete,
// directory searches, folders and the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::MachineRoot;
const auto& Put = testsupport::WriteFile;
const auto& Slurp = testsupport::ReadFile;

class Files : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(root.drivePath('c', "work")); }
    MachineRoot root;
};

struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

TEST_F(Files, Dispositions) {
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD error;          // last error after the call
        std::string content;  // file content afterwards ("-" missing)
    } cases[] = {
        {CREATE_NEW, false, true, 0, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, 0, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
        {OPEN_EXISTING, true, true, 0, "old"},
        {OPEN_ALWAYS, false, true, 0, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
        {TRUNCATE_EXISTING, true, true, 0, ""},
    };
    const auto host = root.drivePath('c', "work/f.txt");
    for (const auto& c : cases) {
        std::filesystem::remove(host);
        if (c.exists) Put(host, "old");
        SetLastError(12345);
        Handle h(CreateFileA("C:\\work\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_EQ(h.ok(), c.opens) << c.disposition << " " << c.exists;
        EXPECT_EQ(GetLastError(), c.error) << c.disposition << " " << c.exists;
        if (c.content == "-") {
            EXPECT_FALSE(std::filesystem::exists(host));
        } else {
            EXPECT_EQ(Slurp(host), c.content) << c.disposition << " " << c.exists;
        }
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileA("C:\\nope\\f.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\nope\\f.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\work\\f.txt", GENERIC_READ, 0, nullptr, 9, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A folder opens only with backup semantics.
    EXPECT_EQ(CreateFileA("C:\\work", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Handle dir(CreateFileA("C:\\work", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_TRUE(dir.ok());
}

TEST_F(Files, ShareModesBetweenHandles) {
    Put(root.drivePath('c', "work/s.txt"), "x");
    const char* path = "C:\\work\\s.txt";
    struct Case {
        DWORD access1, share1, access2, share2;
        bool secondOpens;
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ, true},
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // second must share write
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {0, 0, GENERIC_READ, FILE_SHARE_READ, true},  // attribute-only access does not conflict
    };
    for (const auto& c : cases) {
        Handle first(CreateFileA(path, c.access1, c.share1, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(first.ok());
        SetLastError(0);
        Handle second(CreateFileA(path, c.access2, c.share2, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(second.ok(), c.secondOpens) << c.access1 << "/" << c.share1 << " " << c.access2 << "/" << c.share2;
        if (!c.secondOpens) {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
    }
    // Closing the first handle lifts the conflict; a conflicting CREATE_ALWAYS truncates nothing.
    {
        HANDLE first = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(Slurp(root.drivePath('c', "work/s.txt")), "x");
        EXPECT_FALSE(DeleteFileA(path));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_TRUE(CloseHandle(first));
        Handle again(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(again.ok());
    }
    {
        Handle deletable(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
        EXPECT_TRUE(DeleteFileA(path));
    }
}

TEST_F(Files, ReadWriteSeekSizeAndEnd) {
    Handle h(CreateFileA("C:\\work\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(h.ok());
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(h.h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
    EXPECT_TRUE(FlushFileBuffers(h.h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h.h, &size));
    EXPECT_EQ(size.QuadPart, 10);
    EXPECT_EQ(SetFilePointer(h.h, -4, nullptr, FILE_END), 6u);
    char buffer[16] = {};
    ASSERT_TRUE(::ReadFile(h.h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "6789");
    ASSERT_TRUE(::ReadFile(h.h, buffer, sizeof buffer, &n, nullptr));  // end of file
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h.h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 131u);
    LARGE_INTEGER to{};
    to.QuadPart = 3;
    ASSERT_TRUE(SetFilePointerEx(h.h, to, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h.h));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h.h, &high), 3u);
    EXPECT_EQ(high, 0u);
    FILETIME created{}, written{};
    ASSERT_TRUE(GetFileTime(h.h, &created, nullptr, &written));
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](FILETIME t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    EXPECT_LE(ticks(written), ticks(now) + 10000000ULL);
    EXPECT_GT(ticks(written), ticks(now) - 600 * 10000000ULL);

    // Access is enforced per handle, and stale handles are refused.
    Handle reader(CreateFileA("C:\\work\\ro.bin", GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_FALSE(::WriteFile(reader.h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE stale = CreateFileA("C:\\work\\st.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_TRUE(CloseHandle(stale));
    EXPECT_FALSE(::WriteFile(stale, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(stale));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
}

TEST_F(Files, AppendOnlyAccessAppends) {
    Put(root.drivePath('c', "work/log.txt"), "one\n");
    Handle h(CreateFileA("C:\\work\\log.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    ASSERT_TRUE(h.ok());
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(h.h, "two\n", 4, &n, nullptr));
    EXPECT_EQ(Slurp(root.drivePath('c', "work/log.txt")), "one\ntwo\n");
}

TEST_F(Files, CopyWithAndWithoutOverwrite) {
    Put(root.drivePath('c', "work/a.txt"), "source");
    Put(root.drivePath('c', "work/b.txt"), "target");
    EXPECT_FALSE(CopyFileA("C:\\work\\a.txt", "C:\\work\\b.txt", TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Slurp(root.drivePath('c', "work/b.txt")), "target");
    EXPECT_TRUE(CopyFileA("C:\\work\\a.txt", "C:\\work\\b.txt", FALSE));
    EXPECT_EQ(Slurp(root.drivePath('c', "work/b.txt")), "source");
    EXPECT_TRUE(CopyFileW(u"C:\\work\\a.txt", u"C:\\work\\c.txt", TRUE));
    EXPECT_EQ(Slurp(root.drivePath('c', "work/c.txt")), "source");
    EXPECT_EQ(std::filesystem::last_write_time(root.drivePath('c', "work/c.txt")),
              std::filesystem::last_write_time(root.drivePath('c', "work/a.txt")));

    EXPECT_FALSE(CopyFileA("C:\\work\\missing.txt", "C:\\work\\d.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CopyFileA("C:\\work\\a.txt", "C:\\nodir\\d.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CopyFileA("C:\\work\\a.txt", "C:\\work\\a.txt", FALSE));  // onto itself: data kept
    EXPECT_EQ(Slurp(root.drivePath('c', "work/a.txt")), "source");
    {
        Handle locked(CreateFileA("C:\\work\\b.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(CopyFileA("C:\\work\\a.txt", "C:\\work\\b.txt", FALSE));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_FALSE(CopyFileA("C:\\work\\b.txt", "C:\\work\\e.txt", FALSE));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    // A large file crosses several buffers.
    std::string big(300000, 'z');
    big[123456] = 'q';
    Put(root.drivePath('c', "work/big.bin"), big);
    EXPECT_TRUE(CopyFileA("C:\\work\\big.bin", "C:\\work\\big2.bin", FALSE));
    EXPECT_EQ(Slurp(root.drivePath('c', "work/big2.bin")), big);
}

TEST_F(Files, DeleteMoveAttributesAndFolders) {
    Put(root.drivePath('c', "work/a.txt"), "a");
    Put(root.drivePath('c', "work/b.txt"), "b");
    EXPECT_EQ(GetFileAttributesA("C:\\work"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(GetFileAttributesA("C:\\work\\a.txt") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(u"C:\\work\\zz"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\nodir\\zz"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_FALSE(MoveFileExA("C:\\work\\a.txt", "C:\\work\\b.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA("C:\\work\\a.txt", "C:\\work\\b.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(Slurp(root.drivePath('c', "work/b.txt")), "a");
    EXPECT_FALSE(MoveFileExA("C:\\work\\a.txt", "C:\\work\\c.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_FALSE(DeleteFileA("C:\\work\\a.txt"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\work"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFileW(u"C:\\work\\b.txt"));

    EXPECT_TRUE(CreateDirectoryA("C:\\work\\d", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\work\\d", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(u"C:\\work\\x\\y", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    Put(root.drivePath('c', "work/d/f"), "");
    EXPECT_FALSE(RemoveDirectoryA("C:\\work\\d"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryA("C:\\work\\d\\f"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_TRUE(DeleteFileA("C:\\work\\d\\f"));
    EXPECT_TRUE(RemoveDirectoryA("C:\\work\\d"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\work\\d"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, CreateDirectoryWithParents) {
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, u"C:\\work\\a\\b\\\\c\\", nullptr), 0);
    EXPECT_TRUE(std::filesystem::is_directory(root.drivePath('c', "work/a/b/c")));
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, u"C:\\work\\a\\b\\c", nullptr), int(ERROR_ALREADY_EXISTS));
    Put(root.drivePath('c', "work/file"), "");
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "C:\\work\\file", nullptr), int(ERROR_FILE_EXISTS));
    EXPECT_NE(SHCreateDirectoryExA(nullptr, "C:\\work\\file\\sub", nullptr), 0);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "", nullptr), int(ERROR_BAD_PATHNAME));
    // A drive folder that does not exist yet is created too.
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "D:\\new\\deep", nullptr), 0);
    EXPECT_TRUE(std::filesystem::is_directory(root.drivePath('d', "new/deep")));
}

// Links planted where a file is created or opened: CREATE_NEW never goes through one, and
// FILE_FLAG_OPEN_REPARSE_POINT keeps every disposition off the link's target.
TEST_F(Files, LinksAreNotFollowedWhenTheCallerSaysSo) {
    namespace fs = std::filesystem;
    const auto target = root.drivePath('c', "work/target");
    const auto link = root.drivePath('c', "work/link");
    struct Case {
        DWORD disposition;
        DWORD flags;
        bool opens;
    } const cases[] = {
        {CREATE_NEW, 0, false},
        {CREATE_ALWAYS, 0, true},  // without the flag the link is followed, as on Windows
        {CREATE_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, false},
        {OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, false},
        {OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, false},
        {TRUNCATE_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.disposition << " " << c.flags);
        Put(target, "precious");
        fs::remove(link);
        fs::create_symlink(target, link);
        Handle h(CreateFileA("C:\\work\\link", GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                             FILE_ATTRIBUTE_NORMAL | c.flags, nullptr));
        EXPECT_EQ(h.ok(), c.opens);
        if (!c.opens) {
            EXPECT_EQ(Slurp(target), "precious");
        }
        EXPECT_TRUE(fs::is_symlink(link));
    }
    // A dangling link is no free name either.
    fs::remove(target);
    Handle dangling(CreateFileA("C:\\work\\link", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_FALSE(dangling.ok());
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(fs::exists(target));
    // A plain file opens with the flag as without it.
    Put(target, "plain");
    Handle plain(CreateFileA("C:\\work\\target", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    EXPECT_TRUE(plain.ok());
}

// A folder made with an owner-only descriptor lets nobody else in, whatever the umask; a
// descriptor text this host cannot honour is refused rather than taken loosely.
TEST_F(Files, OwnerOnlyFoldersFromASecurityDescriptor) {
    namespace fs = std::filesystem;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;GA;;;OW)",
                                                                     SDDL_REVISION_1, &descriptor, &size));
    EXPECT_GT(size, 0u);
    const mode_t saved = ::umask(0);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    EXPECT_TRUE(CreateDirectoryA("C:\\work\\private", &attributes));
    EXPECT_TRUE(CreateDirectoryA("C:\\work\\open", nullptr));
    ::umask(saved);
    EXPECT_EQ(fs::status(root.drivePath('c', "work/private")).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(root.drivePath('c', "work/open")).permissions(), fs::perms::all);
    // A link (even a dangling one) in the way is no folder of ours.
    fs::create_symlink(root.drivePath('c', "work/elsewhere"), root.drivePath('c', "work/planted"));
    EXPECT_FALSE(CreateDirectoryA("C:\\work\\planted", &attributes));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(fs::exists(root.drivePath('c', "work/elsewhere")));
    EXPECT_EQ(LocalFree(descriptor), nullptr);

    for (const char* text : {"", "D:(A;;FA;;;OW)", "D:P", "D:P(A;;FA;;;WD)", "D:P(A;;FR;;;OW)", "D:P(D;;FA;;;BU)",
                             "O:SYD:P(A;;FA;;;OW)", "D:P(A;;FA;;;OW", "D:P(A;XX;FA;;;OW)"}) {
        SCOPED_TRACE(text);
        PSECURITY_DESCRIPTOR refused = nullptr;
        EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &refused, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(refused, nullptr);
    }
}

std::multiset<std::string> FindAll(const char* pattern, DWORD* error = nullptr) {
    std::multiset<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return names;
    }
    do names.insert(data.cFileName);
    while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    return names;
}

TEST_F(Files, FindWithWildcards) {
    for (const char* name : {"a.txt", "b.txt", "ab.log", "readme", "A.TXT"}) Put(root.drivePath('c', std::string("work/") + name), "x");
    std::filesystem::create_directories(root.drivePath('c', "work/sub.d"));
    using S = std::multiset<std::string>;
    struct Case {
        const char* pattern;
        S names;
    } cases[] = {
        {"C:\\work\\*.txt", S{"a.txt", "b.txt"}},
        {"C:\\work\\?.txt", S{"a.txt", "b.txt"}},
        {"C:\\work\\a*", S{"a.txt", "ab.log"}},
        {"C:\\work\\*", S{".", "..", "a.txt", "b.txt", "ab.log", "readme", "A.TXT", "sub.d"}},
        {"C:\\work\\*.*", S{".", "..", "a.txt", "b.txt", "ab.log", "readme", "A.TXT", "sub.d"}},
        {"C:\\work\\readme.*", S{"readme"}},
        {"C:\\work\\*b*", S{"b.txt", "ab.log", "sub.d"}},
        {"C:/work/sub.d", S{"sub.d"}},  // a folder named without wildcards
        {"C:\\work\\a.txt", S{"a.txt"}},
    };
    for (const auto& c : cases) EXPECT_EQ(FindAll(c.pattern), c.names) << c.pattern;

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("C:\\work\\sub.d", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    FindClose(find);
    find = FindFirstFileA("C:\\work\\a.txt", &data);
    EXPECT_EQ(data.nFileSizeLow, 1u);
    FindClose(find);

    DWORD error = 0;
    EXPECT_TRUE(FindAll("C:\\work\\*.none", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(FindAll("C:\\nodir\\*", &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(FindAll("C:\\work\\missing", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    // Drive roots have no dot entries.
    EXPECT_EQ(FindAll("C:\\*"), S{"work"});

    WIN32_FIND_DATAW wide;
    Put(root.drivePath('c', "work/Grüße.txt"), "");
    find = FindFirstFileW(u"C:\\work\\Gr*", &wide);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(wide.cFileName), u"Grüße.txt");
    EXPECT_FALSE(FindNextFileW(find, &wide));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
}

TEST_F(Files, DirectoriesAndEnvironment) {
    char buffer[512];
    const auto cwd = std::filesystem::current_path();
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\work"));
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    EXPECT_EQ(std::string(buffer, n), std::filesystem::canonical(root.drivePath('c', "work")).string());
    EXPECT_EQ(GetCurrentDirectoryA(2, buffer), n + 1);
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\missing"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::filesystem::current_path(cwd);

    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 19u);
    EXPECT_STREQ(buffer, "C:\\Windows\\system32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 5), 20u);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
    n = GetTempPathA(sizeof buffer, buffer);
    ASSERT_GT(n, 0u);
    EXPECT_TRUE(buffer[n - 1] == '/' || buffer[n - 1] == '\\');
    n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    EXPECT_TRUE(std::filesystem::equivalent(std::string(buffer, n), "/proc/self/exe"));
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 4), 4u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[3], '\0');

    ASSERT_TRUE(SetEnvironmentVariableA("VANTORRA_TEST_VAR", "value"));
    EXPECT_EQ(GetEnvironmentVariableA("VANTORRA_TEST_VAR", buffer, sizeof buffer), 5u);
    EXPECT_EQ(GetEnvironmentVariableA("vantorra_test_var", buffer, sizeof buffer), 5u);  // any case
    EXPECT_EQ(GetEnvironmentVariableA("VANTORRA_TEST_VAR", buffer, 3), 6u);
    WCHAR wide[16];
    EXPECT_EQ(GetEnvironmentVariableW(u"VANTORRA_TEST_VAR", wide, 16), 5u);
    EXPECT_EQ(std::u16string(wide), u"value");
    EXPECT_EQ(ExpandEnvironmentStringsA("[%VANTORRA_TEST_VAR%] %NOT_SET_ANYWHERE% 100%", buffer, sizeof buffer),
              std::strlen("[value] %NOT_SET_ANYWHERE% 100%") + 1);
    EXPECT_STREQ(buffer, "[value] %NOT_SET_ANYWHERE% 100%");
    ASSERT_TRUE(SetEnvironmentVariableA("VANTORRA_TEST_VAR", nullptr));
    EXPECT_EQ(GetEnvironmentVariableA("VANTORRA_TEST_VAR", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
    EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
}

}  // namespace
