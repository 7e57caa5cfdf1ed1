// Helpers of the benchmarks: the plain reference servers' listening socket, and a reporter that
// keeps each benchmark's rate so that main() can print ratios.
#pragma once
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdint>
#include <map>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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

// Prints the usual table and keeps items per second by benchmark name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
        }
    }
    // The rate of the first benchmark whose name starts with prefix; 0 when none ran.
    double rate(const std::string& prefix) const {
        for (auto& [name, v] : rates)
            if (name.rfind(prefix, 0) == 0) return v;
        return 0;
    }
    std::map<std::string, double> rates;
};

} // namespace pwbench
