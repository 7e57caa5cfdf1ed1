// The database server program's threads and resident memory while many remote clients wait at once
// for one client's table lock, and after their waits: 200, 500 and 1,500 clients (or the counts given
// as arguments), each count on a fresh server, two rounds each (PW_BENCH_ROUNDS changes that).
// A waiter that fails, or threads that are not given back, fail the run.
#include "bench/BenchSupport.h"
#include "tests/db/remote/LockWaiters.h"
#include "tests/support/ChildProcess.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kPoolThreads = 16;

// The process's resident memory in MB, from its status; -1 when it cannot be read.
double residentMB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// Each waiter costs the server a thread and an open file, and this program a thread: soft limits
// go up to the hard ones, for the server too.
void raiseLimits() {
    for (int what : {RLIMIT_NOFILE, RLIMIT_NPROC}) {
        rlimit r{};
        if (getrlimit(what, &r) == 0 && r.rlim_cur < r.rlim_max) {
            r.rlim_cur = r.rlim_max;
            setrlimit(what, &r);
        }
    }
}

// One server for clients waiters in rounds rounds; false when anything failed.
bool measure(const std::filesystem::path& base, int clients, int rounds) {
    const std::filesystem::path dir = base / std::to_string(clients);
    std::filesystem::create_directories(dir);
    pwtest::ChildProcess server(PW_DBSERVER, {dir.string(), "0"});
    const uint16_t port = server.port();
    if (port == 0) {
        std::fprintf(stderr, "benchmark failed: the server did not start: %s\n", server.text.c_str());
        return false;
    }
    const int fixedThreads = pwtest::threadCount(server.pid);
    std::printf("no clients: server threads %d, resident memory %.1f MB\n", fixedThreads,
                residentMB(server.pid));
    if (TqbResultCode rc = pwremote::RemoteWriter().open(port, dir.string(), true)) {
        std::fprintf(stderr, "benchmark failed: the table was not built (%d)\n", int(rc));
        return false;
    }
    bool good = true;
    for (int round = 1; round <= rounds; ++round) {
        double whileMB = 0;
        int whileThreads = 0;
        pwremote::LockWaiters waiters(port);
        const pwremote::WaitOutcome out = waiters.run(dir.string(), server.pid, clients, fixedThreads, [&] {
            whileThreads = pwtest::threadCount(server.pid);
            whileMB = residentMB(server.pid);
        });
        int after = 0;
        const bool back = pwtest::waitUntil(
            [&] { return (after = pwtest::threadCount(server.pid)) <= fixedThreads + kPoolThreads; });
        std::printf("%d clients waiting, round %d: server threads %d while they wait, %d after; resident "
                    "memory %.1f MB while they wait, %.1f MB after\n",
                    clients, round, whileThreads, after, whileMB, residentMB(server.pid));
        std::fflush(stdout);
        if (!out.holder.empty() || !out.allWaited || !out.failures.empty() || !back) {
            std::fprintf(stderr,
                         "benchmark failed: holder %s, %s, %zu kinds of waiter failure, %d threads after\n",
                         out.holder.empty() ? "sound" : out.holder.c_str(),
                         out.allWaited ? "all waited" : "not all waited", out.failures.size(), after);
            good = false;
        }
    }
    return server.stop() == 0 && good;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv); // takes the options every benchmark is run with
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::max(1, std::atoi(argv[i])));
    if (counts.empty()) counts = pwbench::quick() ? std::vector<int>{20} : std::vector<int>{200, 500, 1500};
    int rounds = pwbench::quick() ? 1 : 2;
    if (const char* n = std::getenv("PW_BENCH_ROUNDS")) rounds = std::max(1, std::atoi(n));
    raiseLimits();
    const char* base = std::getenv("PW_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-waits-" + std::to_string(::getpid()));
    bool good = true;
    for (int clients : counts)
        good = measure(dir, clients, rounds) && good;
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return good ? 0 : 1;
}
