// Helpers of the benchmarks: the plain reference servers' listening socket, and the reporter
// that keeps each benchmark's figures so that main() can print ratios.
#pragma once
#include "bench/BenchFigures.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace pwbench {

// A listening TCP socket on 127.0.0.1 with a port the system chose; raises when none can be made.
inline int listenLoopback(uint16_t& port, const char* who) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(std::string(who) + ": bind/listen failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Blocking whole-buffer receive and send of the plain reference servers; false when the peer is gone.
inline bool readAll(int fd, uint8_t* p, size_t n) {
    while (n) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

inline bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// The reporter that keeps each benchmark's mean figures for the ratio lines.
using RatioReporter = FiguresReporter;

} // namespace pwbench
