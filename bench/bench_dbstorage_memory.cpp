// Memory of one large transaction: 1,000,000 contacts-shaped rows with their name index inserted in
// one transaction through the storage layer with the default RAM limit, beside SQLite inserting the
// same rows in one transaction with a page cache of the same size (rollback journal, synchronous
// FULL, one prepared statement). Each side runs in a child process of its own; its peak resident
// memory over the insert and its resident memory once the commit returned are measured above what
// it held before the insert, and printed with the limit (medians of the repetitions).
#include "bench/BenchSupport.h"
#include "bench/ContactsStore.h"
#include "bench/SQLiteContacts.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string g_folder;
int g_rows = 0;

// What one child measured, in bytes (seconds for the time).
struct Memory {
    double seconds = 0, before = 0, peak = 0, after = 0;
};
std::map<std::string, std::vector<Memory>> g_runs;

// "VmRSS" or "VmHWM" of this process, in bytes.
double statusBytes(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, std::strlen(key), key) == 0 && line[std::strlen(key)] == ':')
            return std::strtod(line.c_str() + std::strlen(key) + 1, nullptr) * 1024;
    return 0;
}

// The peak resident size starts again from the present one.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

std::string nameOf(int i) {
    return "Contact " + std::to_string(int64_t(i) * 48271 % g_rows + g_rows);
}

template <class Setup, class Insert> Memory measure(Setup&& setup, Insert&& insert) {
    setup();
    Memory m;
    m.before = statusBytes("VmRSS");
    resetPeak();
    const auto t0 = std::chrono::steady_clock::now();
    insert();
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.peak = statusBytes("VmHWM");
    m.after = statusBytes("VmRSS");
    return m;
}

Memory ours(const std::string& folder) {
    std::unique_ptr<pwbench::ContactsStore> store;
    std::unique_ptr<pwbench::ContactsTable> table;
    return measure(
        [&] {
            store = std::make_unique<pwbench::ContactsStore>(folder, TqbBufferManager::kDefaultMaxRAM);
            table = std::make_unique<pwbench::ContactsTable>(*store, folder + "/contacts.QB2");
        },
        [&] { table->fill(g_rows, nameOf); });
}

Memory sqlite(const std::string& folder) {
    std::unique_ptr<pwbench::SQLiteContacts> db;
    return measure(
        [&] {
            db = std::make_unique<pwbench::SQLiteContacts>(
                folder + "/contacts.db", "PRAGMA synchronous=FULL;", TqbBufferManager::kDefaultMaxRAM);
        },
        [&] {
            db->exec("BEGIN");
            for (int i = 0; i < g_rows; ++i)
                db->insert(i, nameOf(i));
            db->exec("COMMIT");
        });
}

// Runs one side in a child process; false when the child failed.
bool runChild(Memory (*side)(const std::string&), const std::string& folder, Memory& out) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        int status = 1;
        try {
            Memory m = side(folder);
            status = ::write(fds[1], &m, sizeof m) == ssize_t(sizeof m) ? 0 : 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
        ::_exit(status);
    }
    ::close(fds[1]);
    bool got = pid > 0 && ::read(fds[0], &out, sizeof out) == ssize_t(sizeof out);
    ::close(fds[0]);
    int status = 1;
    if (pid > 0) ::waitpid(pid, &status, 0);
    std::filesystem::remove_all(folder);
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void run(benchmark::State& state, const std::string& name, Memory (*side)(const std::string&)) {
    for (auto _ : state) {
        Memory m;
        if (!runChild(side, g_folder + "/" + name, m)) {
            state.SkipWithError("the child process failed");
            return;
        }
        state.SetIterationTime(m.seconds);
        state.counters["peak_MB"] = (m.peak - m.before) / 1048576;
        state.counters["after_commit_MB"] = (m.after - m.before) / 1048576;
        g_runs[name].push_back(m);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * g_rows);
}

void BM_BulkMemory_Storage(benchmark::State& state) {
    run(state, "storage", ours);
}
void BM_BulkMemory_SQLite(benchmark::State& state) {
    run(state, "sqlite", sqlite);
}

// The median of one figure of a side's runs.
double median(const std::string& side, double Memory::*field) {
    auto it = g_runs.find(side);
    if (it == g_runs.end() || it->second.empty())
        throw pwbench::MissingFigure("no memory figures of " + side + ": it did not run, or it failed");
    std::vector<double> v;
    for (const Memory& m : it->second)
        v.push_back(m.*field - (field == &Memory::seconds ? 0 : m.before));
    std::nth_element(v.begin(), v.begin() + ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
}

} // namespace

BENCHMARK(BM_BulkMemory_Storage)
    ->Iterations(1)
    ->Repetitions(pwbench::repetitions(3))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkMemory_SQLite)
    ->Iterations(1)
    ->Repetitions(pwbench::repetitions(3))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const char* base = std::getenv("PW_BENCH_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("pw-bulkmem-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    g_folder = dir.string();
    g_rows = int(pwbench::size(1000000, 20000));
    pwbench::initializeInterleaved(argc, argv);
    pwbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int status = pwbench::printRatios([&] {
        const double mb = 1048576, limit = TqbBufferManager::kDefaultMaxRAM;
        const double peak = median("storage", &Memory::peak) / mb,
                     after = median("storage", &Memory::after) / mb;
        const double sPeak = median("sqlite", &Memory::peak) / mb,
                     sAfter = median("sqlite", &Memory::after) / mb;
        std::printf("%d rows in one transaction, resident memory above the start (medians):\n", g_rows);
        std::printf("  storage (limit %.0f MB): peak %.1f MB, after the commit %.1f MB %s\n", limit, peak,
                    after,
                    pwbench::target(after <= limit, "<= " + std::to_string(int(limit)) + " MB").c_str());
        std::printf("  SQLite (cache %.0f MB):  peak %.1f MB, after the commit %.1f MB\n", limit, sPeak,
                    sAfter);
        std::printf("  ratios to SQLite: peak %.2f, after the commit %.2f\n", peak / std::max(sPeak, 0.1),
                    after / std::max(sAfter, 0.1));
    });
    std::filesystem::remove_all(dir);
    benchmark::Shutdown();
    return status;
}
