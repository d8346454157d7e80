// test-server-host: starts the test kit's servers on Linux for a Windows test program
// running under Wine, which cannot start nginx or tinyproxy itself. It listens on a free
// loopback port, prints "127.0.0.1:PORT" on its first line, and serves one request per
// connection (server_host_protocol.h) until SIGTERM or SIGINT, when it stops every server
// it started. scripts/windows-test runs it and hands its address to the test programs.
// PostgreSQL and MariaDB (database_servers.h) are started once, on first request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <map>
#include <sstream>
#include <memory>
#include <variant>

#include "tests/support/database_servers.h"
#include "tests/support/http_fixtures.h"
#include "tests/support/server_host_protocol.h"
#include "tests/support/standin_server.h"

namespace {

using namespace testsupport;
using serverhost::Fields;

volatile std::sig_atomic_t stopping = 0;

void OnStopSignal(int) { stopping = 1; }

using Server = std::variant<std::unique_ptr<NginxServer>, std::unique_ptr<TinyProxy>, std::unique_ptr<ScriptedServer>,
                            std::unique_ptr<StandinServer>, std::unique_ptr<TestCertificates>>;

class Host {
public:
    Fields Handle(const std::string& verb, const Fields& in) {
        if (verb == "nginx") return StartNginx(in);
        if (verb == "tinyproxy") {
            auto proxy = std::make_unique<TinyProxy>(Get(in, "user"), Get(in, "password"));
            Fields out{{"port", std::to_string(proxy->port())}, {"folder", proxy->folder().string()}};
            out["id"] = Keep(std::move(proxy));
            return out;
        }
        if (verb == "scripted") {
            auto server = std::make_unique<ScriptedServer>(Get(in, "scenario"));
            Fields out{{"port", std::to_string(server->port())}, {"folder", server->folder().string()}};
            out["id"] = Keep(std::move(server));
            return out;
        }
        if (verb == "standin") {
            auto server = std::make_unique<StandinServer>();
            Fields out{{"port", std::to_string(server->port())},
                       {"root", server->root().string()},
                       {"state", server->state().string()}};
            out["id"] = Keep(std::move(server));
            return out;
        }
        if (verb == "certificates") {
            auto certificates = std::make_unique<TestCertificates>();
            Fields out{{"authority", certificates->authority().string()}};
            out["id"] = Keep(std::move(certificates));
            return out;
        }
        if (verb == "issue") return Issue(in);
        if (verb == "database") return Database(in);
        if (verb == "stop" || verb == "start") return StopOrStart(verb, in);
        if (verb == "release") {
            if (servers_.erase(Get(in, "id")) == 0) throw std::runtime_error("no server " + Get(in, "id"));
            return {};
        }
        throw std::runtime_error("unknown request " + verb);
    }

private:
    static std::string Get(const Fields& in, const std::string& key) {
        const auto found = in.find(key);
        return found == in.end() ? std::string() : found->second;
    }

    std::string Keep(Server server) {
        const std::string id = std::to_string(++lastId_);
        servers_.emplace(id, std::move(server));
        return id;
    }

    template <typename Type>
    Type& Find(const Fields& in) {
        const auto found = servers_.find(Get(in, "id"));
        if (found == servers_.end() || !std::holds_alternative<std::unique_ptr<Type>>(found->second)) {
            throw std::runtime_error("no such server " + Get(in, "id"));
        }
        return *std::get<std::unique_ptr<Type>>(found->second);
    }

    Fields StartNginx(const Fields& in) {
        NginxOptions options;
        options.https = Get(in, "https") == "1";
        if (in.count("sslProtocols")) options.sslProtocols = Get(in, "sslProtocols");
        options.extraConfig = Get(in, "extraConfig");
        options.sslCiphers = Get(in, "sslCiphers");
        if (in.count("certificate")) {
            options.certificate = CertificateFiles{Get(in, "certificate"), Get(in, "key"), {}, {}};
        }
        auto nginx = std::make_unique<NginxServer>(options);
        Fields out{{"port", std::to_string(nginx->port())},
                   {"httpsPort", std::to_string(nginx->httpsPort())},
                   {"root", nginx->root().string()},
                   {"folder", nginx->folder().string()},
                   {"certificate", nginx->certificate().string()},
                   {"key", nginx->key().string()},
                   {"pid", std::to_string(nginx->pid())}};
        out["id"] = Keep(std::move(nginx));
        return out;
    }

    Fields Issue(const Fields& in) {
        CertificateOptions options;
        options.hosts.clear();
        const std::string hosts = Get(in, "hosts");
        for (size_t pos = 0; pos <= hosts.size();) {
            const size_t comma = hosts.find(',', pos);
            const std::string host = hosts.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            if (!host.empty()) options.hosts.push_back(host);
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        options.validFromDays = std::stoi(Get(in, "validFromDays"));
        options.validToDays = std::stoi(Get(in, "validToDays"));
        options.selfSigned = Get(in, "selfSigned") == "1";
        options.key = Get(in, "key") == "rsa" ? KeyKind::Rsa : KeyKind::Ec;
        const CertificateFiles files = Find<TestCertificates>(in).Issue(Get(in, "name"), options);
        return {{"certificate", files.certificate.string()},
                {"key", files.key.string()},
                {"der", files.der},
                {"keyPin", files.keyPin}};
    }

    Fields StopOrStart(const std::string& verb, const Fields& in) {
        const auto found = servers_.find(Get(in, "id"));
        if (found == servers_.end()) throw std::runtime_error("no server " + Get(in, "id"));
        if (auto* nginx = std::get_if<std::unique_ptr<NginxServer>>(&found->second)) {
            if (verb == "stop") (*nginx)->Stop(Get(in, "signal") == "term" ? SIGTERM : SIGQUIT);
            else (*nginx)->Start();
            return {{"pid", std::to_string((*nginx)->pid())}};
        }
        if (auto* standin = std::get_if<std::unique_ptr<StandinServer>>(&found->second)) {
            if (verb == "stop") (*standin)->Stop();
            else (*standin)->Start();
            return {};
        }
        throw std::runtime_error("server " + Get(in, "id") + " cannot be stopped and started");
    }

    // The program's PostgreSQL or MariaDB server (kind=postgres|mariadb), started on first use
    // and kept until the host ends: action=start (its port), fresh (drops the databases
    // earlier programs made, so each starts as on a server of its own), sql (text=, run as the
    // administrator, on database= for PostgreSQL; status and output), stop, start again, restart (PostgreSQL).
    static Fields Database(const Fields& in) {
        const std::string kind = Get(in, "kind"), action = Get(in, "action");
        std::string output;
        if (kind == "postgres") {
            PostgresServer& server = PostgresServer::Instance();
            if (action == "start") return {{"port", std::to_string(server.port())}};
            if (action == "fresh") {
                server.Psql("select datname from pg_database where not datistemplate and datname <> 'postgres'", &output);
                std::istringstream names(output);
                for (std::string name; std::getline(names, name);)
                    if (!name.empty()) server.Psql("drop database \"" + name + "\" with (force)");
                return {};
            }
            if (action == "sql") {
                const std::string database = Get(in, "database");
                const int status = server.Psql(Get(in, "text"), &output, database.empty() ? "postgres" : database);
                return {{"status", std::to_string(status)}, {"output", output}};
            }
            if (action == "stop") return {{"done", server.Stop() ? "1" : "0"}};
            if (action == "restart") return {{"done", server.Restart() ? "1" : "0"}};
            if (action == "resume") return {{"done", server.Start() ? "1" : "0"}};
        } else if (kind == "mariadb") {
            MariaDbServer& server = MariaDbServer::Instance();
            if (action == "start") return {{"port", std::to_string(server.port())}};
            if (action == "fresh") {
                server.Sql("select schema_name from information_schema.schemata where schema_name not in "
                           "('mysql', 'information_schema', 'performance_schema', 'sys', 't')",
                           &output);
                std::istringstream names(output);
                for (std::string name; std::getline(names, name);)
                    if (!name.empty()) server.Sql("drop database `" + name + "`");
                server.Sql("drop database t; create database t");
                return {};
            }
            if (action == "sql") {
                const int status = server.Sql(Get(in, "text"), &output);
                return {{"status", std::to_string(status)}, {"output", output}};
            }
            if (action == "stop") return {{"done", server.Stop() ? "1" : "0"}};
            if (action == "resume") return {{"done", server.Start() ? "1" : "0"}};
        }
        throw std::runtime_error("database: no action " + action + " for " + kind);
    }

    std::map<std::string, Server> servers_;
    int lastId_ = 0;
};

std::string ReadLine(int connection) {
    std::string line;
    char c;
    while (line.size() < (16u << 20)) {
        const ssize_t got = recv(connection, &c, 1, 0);
        if (got <= 0 || c == '\n') break;
        line += c;
    }
    return line;
}

void SendAll(int connection, const std::string& text) {
    for (size_t sent = 0; sent < text.size();) {
        const ssize_t n = send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

int main() {
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // Close-on-exec: the servers started here must not hold a connection open after it ends.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("test-server-host: cannot listen");
        return 1;
    }
    std::cout << "127.0.0.1:" << ntohs(address.sin_port) << std::endl;

    Host host;
    while (!stopping) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0) continue;
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        std::string answer;
        try {
            std::string verb;
            const Fields in = serverhost::Parse(ReadLine(connection), &verb);
            answer = serverhost::Format("ok", host.Handle(verb, in));
        } catch (const std::exception& error) {
            answer = serverhost::Format("error", {{"message", error.what()}});
        }
        SendAll(connection, answer);
        shutdown(connection, SHUT_RDWR);
        close(connection);
    }
    close(listener);
    return 0;  // the servers stop with `host`
}
