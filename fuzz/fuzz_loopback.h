// A loopback listener for targets that play the server: one socket per process on a
// port the kernel picks, and one connection at a time answered with the input's bytes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace fuzzloopback {

// The process's listening socket; its port in `port`.
inline int Listener(int& port) {
    static int fd = -1;
    static int boundPort = 0;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            abort();
        boundPort = ntohs(address.sin_port);
    }
    port = boundPort;
    return fd;
}

// Waits up to waitMs for a connection, reads the request head, answers with `answer` and
// closes. False when no connection came.
inline bool ServeOnce(int listener, const std::string& answer, int waitMs) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, waitMs) <= 0) return false;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return true;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd readable{client, POLLIN, 0};
        if (poll(&readable, 1, 5000) <= 0) break;
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<size_t>(got));
    }
    for (size_t sent = 0; sent < answer.size();) {
        const ssize_t put = send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
    }
    shutdown(client, SHUT_WR);
    close(client);
    return true;
}

}  // namespace fuzzloopback
