// Real PostgreSQL and MariaDB servers for integration tests, each started at most once
// per test program on a free loopback port in a temporary folder of its own, and
// stopped by PID when the program ends.
#pragma once

#include <string>

namespace testsupport {

// The servers' ODBC connection strings, the same whether a server runs beside the test
// program or on the Linux side of a Wine run.
inline std::string PostgresConnectionString(int port, const std::string& database) {
    return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port) + ";Database=" + database +
           ";Uid=postgres;Pwd=secret;";
}
inline std::string MariaDbConnectionString(int port) {
    return "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + std::to_string(port) +
           ";Database=t;Uid=tester;Pwd=secret;";
}

}  // namespace testsupport

#ifdef _WIN32
#include "tests/support/database_servers_remote.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/support/test_support.h"

namespace testsupport {

// A port nothing listens on right now (the kernel's choice for port 0).
inline int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

// Runs a shell command; its exit status.
inline int RunCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the shell command once this process has ended, however it ended: a watcher process
// waits for the end of a pipe only this process holds. A test that crashes thus still
// stops its server and removes its folder.
inline void RunWhenProcessEnds(const std::string& command) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const pid_t watcher = fork();
    if (watcher == 0) {
        close(fds[1]);
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        char byte;
        while (read(fds[0], &byte, 1) > 0) {
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    if (watcher < 0) close(fds[1]);
    // The write end stays open (and is not inherited by programs this process starts).
}

class PostgresServer {
public:
    // The program's server, started on first use.
    static PostgresServer& Instance() {
        static PostgresServer server;
        return server;
    }
    int port() const { return port_; }
    std::string connectionString(const std::string& database = "postgres") const {
        return PostgresConnectionString(port_, database);
    }
    // Runs SQL through psql as the superuser on the database; its exit status.
    int Psql(const std::string& sql, std::string* output = nullptr, const std::string& database = "postgres") const {
        const std::string out = (dir_.path() / "psql.out").string();
        const int rc = RunCommand("PGPASSWORD=secret psql -X -q -t -A -h 127.0.0.1 -p " + std::to_string(port_) +
                                  " -U postgres -d " + ShellQuote(database) + " -c " + ShellQuote(sql) + " >" + out +
                                  " 2>&1");
        if (output) *output = ReadFile(out);
        return rc;
    }

    // Stops the server (fast: sessions are cut) and starts it again on the same port, as
    // an administrator's restart does; true when it is back.
    bool Restart() const {
        return RunCommand("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() + " -l " + dir_.str() +
                          "/server.log -w -t 60 -m fast restart >/dev/null 2>&1") == 0;
    }

    // Stops the server (sessions are cut) until Start: a database gone from under a client.
    bool Stop() const {
        return RunCommand("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() + " -m fast -w -t 60 stop >/dev/null 2>&1") == 0;
    }
    // Starts a stopped server again on its port; true when it accepts connections.
    bool Start() const {
        return RunCommand("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() + " -l " + dir_.str() +
                          "/server.log -w -t 60 -o \"-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                          " -k " + dir_.str() + " -c fsync=off\" start >/dev/null 2>&1") == 0;
    }

    ~PostgresServer() {
        if (started_) RunCommand("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() + " -m immediate -w stop >/dev/null 2>&1");
    }

private:
    PostgresServer() {
        const std::string dir = dir_.str();
        if (RunCommand("chown postgres: " + dir) != 0) throw std::runtime_error("chown for PostgreSQL failed");
        WriteFile(dir_.path() / "pw", "secret\n");
        RunCommand("chown postgres: " + dir + "/pw");
        if (RunCommand("runuser -u postgres -- " + bin_ + "/initdb -D " + data() +
                       " -U postgres --pwfile=" + dir + "/pw --auth=scram-sha-256 -E UTF8 --locale=C.UTF-8"
                       " --no-sync >" + dir + "/initdb.log 2>&1") != 0)
            throw std::runtime_error("initdb failed: " + ReadFile(dir_.path() / "initdb.log"));
        // Another program may take the port between the probe and the start: try again.
        for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
            port_ = FreeLoopbackPort();
            started_ = RunCommand("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() + " -l " + dir +
                                  "/server.log -w -t 60 -o \"-c listen_addresses=127.0.0.1 -p " +
                                  std::to_string(port_) + " -k " + dir + " -c fsync=off" + StatementStatistics() +
                                  "\" start >/dev/null 2>&1") == 0;
        }
        if (!started_) throw std::runtime_error("PostgreSQL did not start: " + ReadFile(dir_.path() / "server.log"));
        RunWhenProcessEnds("runuser -u postgres -- " + bin_ + "/pg_ctl -D " + data() +
                           " -m immediate -w stop >/dev/null 2>&1; rm -rf " + ShellQuote(dir));
    }
    std::string data() const { return dir_.str() + "/data"; }
    // Statement counters for benchmarks, where the module is installed.
    std::string StatementStatistics() const {
        return std::filesystem::exists("/usr/lib/postgresql/15/lib/pg_stat_statements.so")
                   ? " -c shared_preload_libraries=pg_stat_statements"
                   : "";
    }

    TempDir dir_;
    std::string bin_ = "/usr/lib/postgresql/15/bin";
    int port_ = 0;
    bool started_ = false;
};

class MariaDbServer {
public:
    static MariaDbServer& Instance() {
        static MariaDbServer server;
        return server;
    }
    int port() const { return port_; }
    std::string connectionString() const {
        return MariaDbConnectionString(port_);
    }
    // Runs SQL through the client as root over the socket; its exit status.
    int Sql(const std::string& sql, std::string* output = nullptr) const {
        const std::string out = (dir_.path() / "sql.out").string();
        const int rc = RunCommand("mariadb --no-defaults -N -B --socket=" + socket() + " -uroot t -e " +
                                  ShellQuote(sql) + " >" + out + " 2>&1");
        if (output) *output = ReadFile(out);
        return rc;
    }

    // Stops the server until Start: a database gone from under a client.
    bool Stop() {
        if (pid_ <= 0) return false;
        kill(pid_, SIGTERM);
        int status = 0;
        const bool stopped = waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return stopped;
    }
    // Starts a stopped server again on its port; true when it answers.
    bool Start() {
        if (pid_ > 0) return true;
        Launch();
        if (pid_ <= 0) return false;
        // The new process is stopped however this program ends, as the first one is.
        const std::string ours = "grep -qaF -- " + ShellQuote(dir_.str()) + " /proc/" + std::to_string(pid_) + "/cmdline";
        RunWhenProcessEnds("if " + ours + "; then kill " + std::to_string(pid_) + "; fi");
        return true;
    }

    ~MariaDbServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }

private:
    MariaDbServer() {
        const std::string dir = dir_.str();
        // A temporary folder of its own: the server's temporary tables are files named
        // after process and thread, and /tmp is shared with every other test running.
        std::filesystem::create_directory(dir_.path() / "tmp");
        // Table names ignore case, as they do on Windows where the store comes from.
        if (RunCommand("mariadb-install-db --no-defaults --datadir=" + dir + "/data --tmpdir=" + dir +
                       "/tmp --user=root --skip-test-db --lower-case-table-names=1"
                       " --auth-root-authentication-method=socket >" + dir + "/install.log 2>&1") != 0)
            throw std::runtime_error("mariadb-install-db failed: " + ReadFile(dir_.path() / "install.log"));
        WriteFile(dir_.path() / "init.sql",
                  "CREATE USER IF NOT EXISTS 'tester'@'127.0.0.1' IDENTIFIED BY 'secret';\n"
                  "GRANT ALL ON *.* TO 'tester'@'127.0.0.1';\nCREATE DATABASE IF NOT EXISTS t;\n");
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
            port_ = FreeLoopbackPort();
            Launch();
        }
        if (pid_ <= 0) throw std::runtime_error("MariaDB did not start: " + ReadFile(dir_.path() / "err.log"));
        // Only our server: the process must still be the one serving this folder.
        const std::string ours = "grep -qaF -- " + ShellQuote(dir) + " /proc/" + std::to_string(pid_) + "/cmdline";
        RunWhenProcessEnds("if " + ours + "; then kill " + std::to_string(pid_) + "; fi; while " + ours +
                           "; do sleep 0.1; done; rm -rf " + ShellQuote(dir));
    }

    // Starts the server on port_; pid_ stays -1 when it did not come up.
    void Launch() {
        const std::string dir = dir_.str();
        {
            pid_ = fork();
            if (pid_ == 0) {
                const std::string portArg = "--port=" + std::to_string(port_);
                const std::string dataArg = "--datadir=" + dir + "/data";
                const std::string tmpArg = "--tmpdir=" + dir + "/tmp";
                const std::string socketArg = "--socket=" + socket();
                const std::string pidArg = "--pid-file=" + dir + "/pid";
                const std::string errArg = "--log-error=" + dir + "/err.log";
                const std::string initArg = "--init-file=" + dir + "/init.sql";
                execlp("mariadbd", "mariadbd", "--no-defaults", dataArg.c_str(), tmpArg.c_str(), "--user=root",
                       "--bind-address=127.0.0.1", portArg.c_str(), socketArg.c_str(), pidArg.c_str(),
                       errArg.c_str(), "--skip-name-resolve", "--skip-log-bin", "--character-set-server=utf8mb4",
                       "--lower-case-table-names=1", "--innodb-flush-log-at-trx-commit=0", initArg.c_str(),
                       static_cast<char*>(nullptr));
                _exit(127);
            }
            bool died = false;
            const bool ready = WaitUntil(
                [&] {
                    int status = 0;
                    died = waitpid(pid_, &status, WNOHANG) == pid_;
                    return died || Sql("SELECT 1") == 0;
                },
                std::chrono::seconds(60));
            if (died) {
                pid_ = -1;
            } else if (!ready) {
                int status = 0;
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
            }
        }
    }
    std::string socket() const { return dir_.str() + "/sock"; }

    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace testsupport
#endif
