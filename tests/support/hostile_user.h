// An unprivileged local user for the tests of the privileged programs: the account
// "nobody" plants files, links and programs where the agent will look, and the test then
// checks that the agent, running as root, neither reads nor overwrites nor runs them.
#pragma once

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace testsupport {

// The account the hostile user acts as, or uid/gid -1 when the machine has none.
struct UnprivilegedAccount {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool available() const { return uid != static_cast<uid_t>(-1) && ::geteuid() == 0; }
};

inline UnprivilegedAccount Nobody() {
    UnprivilegedAccount account;
    if (const passwd* entry = ::getpwnam("nobody")) {
        account.uid = entry->pw_uid;
        account.gid = entry->pw_gid;
    }
    return account;
}

// Runs `action` in a child process that has dropped every privilege to `nobody`;
// true when the action returned true there. The test process itself stays root.
inline bool AsUnprivilegedUser(const std::function<bool()>& action) {
    const UnprivilegedAccount account = Nobody();
    if (!account.available()) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const gid_t groups[] = {account.gid};
        if (::setgroups(1, groups) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0) ::_exit(2);
        ::_exit(action() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Lets the unprivileged user into `folder` and everything above it up to `/`, and write
// there when `writable` (mode 1777, as /tmp): the places a local user can plant things.
inline void OpenToUsers(const std::filesystem::path& folder, bool writable = true) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    fs::permissions(folder, writable ? fs::perms::all | fs::perms::sticky_bit
                                     : fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    for (fs::path up = fs::absolute(folder).parent_path(); up != up.root_path(); up = up.parent_path())
        fs::permissions(up, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
}

// Owner uid of a file (not following a link); -1 when it does not exist.
inline uid_t OwnerOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

// Permission bits of a file (not following a link); -1 when it does not exist.
inline int ModeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

}  // namespace testsupport
#endif
