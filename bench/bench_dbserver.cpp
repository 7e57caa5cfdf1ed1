// The database server program under many remote writers of one table: commits per second of 50
// clients beside those of 16 (as many as the server runs requests at once) in the same run, each
// client on its own connection and thread doing 200 transactions of start, insert, read back by key,
// commit, with the time-outs a dataset uses. Every transaction must commit: a run with a failure
// fails. Prints both rates, their ratio 50 / 16, and the server's CPU time per commit.
// The median of the repetitions is the figure; PW_BENCH_TRANSACTIONS changes the 200.
#include "bench/BenchSupport.h"
#include "tests/db/remote/RemoteWriters.h"
#include "tests/support/ChildProcess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

int g_transactions = 200;
std::string g_folder;
uint16_t g_port = 0;
pid_t g_server = -1;
int g_run = 0;

// User and system CPU time of the server process so far, in seconds.
double serverCpuSeconds() {
    std::ifstream f("/proc/" + std::to_string(g_server) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

void BM_Writers(benchmark::State& state) {
    const int clients = int(state.range(0));
    int64_t commits = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpuBefore = serverCpuSeconds();
        const pwremote::WritersOutcome out =
            pwremote::RunWriters(g_port, g_folder, clients, g_transactions, "run" + std::to_string(++g_run));
        cpu += serverCpuSeconds() - cpuBefore;
        if (out.failed() != 0) {
            state.SkipWithError(("transactions failed: " + out.describe()).c_str());
            break;
        }
        state.SetIterationTime(out.seconds);
        commits += out.commits;
    }
    state.SetItemsProcessed(commits);
    if (commits) state.counters["server_cpu_us_per_commit"] = cpu * 1e6 / double(commits);
}

} // namespace

BENCHMARK(BM_Writers)
    ->ArgName("clients")
    ->Arg(16)
    ->Arg(50)
    ->Iterations(1)
    ->Repetitions(pwbench::repetitions(3))
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    if (const char* n = std::getenv("PW_BENCH_TRANSACTIONS")) g_transactions = std::max(1, std::atoi(n));
    g_transactions = int(pwbench::size(g_transactions, 2));
    const char* base = std::getenv("PW_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-server-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    pwbench::initializeInterleaved(argc, argv);
    int status = 1;
    {
        pwtest::ChildProcess server(PW_DBSERVER, {g_folder, "0"});
        g_server = server.pid;
        g_port = server.port();
        TqbResultCode built = -1;
        if (g_port != 0) built = pwremote::RemoteWriter().open(g_port, g_folder, true);
        if (g_port == 0) {
            std::fprintf(stderr, "benchmark failed: the server did not start: %s\n", server.text.c_str());
        } else if (built != 0) {
            std::fprintf(stderr, "benchmark failed: the table was not built (%d)\n", int(built));
        } else {
            pwbench::RatioReporter reporter;
            benchmark::RunSpecifiedBenchmarks(&reporter);
            status = pwbench::printRatios([&] {
                const double few = reporter.rate("BM_Writers/clients:16"),
                             many = reporter.rate("BM_Writers/clients:50");
                std::printf("commits per second: 50 clients %.0f, 16 clients %.0f, ratio %.3f\n", many, few,
                            many / few);
            });
        }
        if (server.stop() != 0) status = 1;
    }
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
