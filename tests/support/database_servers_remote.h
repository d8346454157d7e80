// The PostgreSQL and MariaDB servers of database_servers.h for a Windows test program under
// Wine: test-server-host starts them on the Linux side (one each per run) and runs their
// administrator's SQL there; the program reaches them on loopback through the host's drivers.
#pragma once

#include <stdexcept>
#include <string>

#include "tests/support/server_host_protocol.h"

namespace testsupport {

class RemoteDatabase {
public:
    int port() const { return port_; }

protected:
    explicit RemoteDatabase(const char* kind) : kind_(kind) {
        port_ = std::stoi(serverhost::AskHost("database", {{"kind", kind_}, {"action", "start"}}).at("port"));
        // The host's server outlives this program: it starts empty, as a server of its own would.
        serverhost::AskHost("database", {{"kind", kind_}, {"action", "fresh"}});
    }
    // Runs SQL as the server's administrator on the Linux side; its exit status.
    int RunSql(const std::string& sql, std::string* output, const std::string& database = "") const {
        serverhost::Fields answer = serverhost::AskHost(
            "database", {{"kind", kind_}, {"action", "sql"}, {"text", sql}, {"database", database}});
        if (output) *output = answer["output"];
        return std::stoi(answer.at("status"));
    }
    bool Act(const char* action) const {
        return serverhost::AskHost("database", {{"kind", kind_}, {"action", action}})["done"] == "1";
    }

private:
    std::string kind_;
    int port_ = 0;
};

class PostgresServer : public RemoteDatabase {
public:
    static PostgresServer& Instance() {
        static PostgresServer server;
        return server;
    }
    std::string connectionString(const std::string& database = "postgres") const {
        return PostgresConnectionString(port(), database);
    }
    int Psql(const std::string& sql, std::string* output = nullptr, const std::string& database = "postgres") const {
        return RunSql(sql, output, database);
    }
    bool Restart() const { return Act("restart"); }
    bool Stop() const { return Act("stop"); }
    bool Start() const { return Act("resume"); }

private:
    PostgresServer() : RemoteDatabase("postgres") {}
};

class MariaDbServer : public RemoteDatabase {
public:
    static MariaDbServer& Instance() {
        static MariaDbServer server;
        return server;
    }
    std::string connectionString() const {
        return MariaDbConnectionString(port());
    }
    int Sql(const std::string& sql, std::string* output = nullptr) const { return RunSql(sql, output); }
    bool Stop() { return Act("stop"); }
    bool Start() { return Act("resume"); }

private:
    MariaDbServer() : RemoteDatabase("mariadb") {}
};

}  // namespace testsupport
