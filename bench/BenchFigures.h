// Figures of each benchmark over its repetitions, kept while Google Benchmark prints its
// table, for the ratio lines a benchmark prints at the end; and the quick mode CI runs them in.
#pragma once
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace pwbench {

// PW_BENCH_QUICK set: each benchmark runs briefly on less data, to show that it still runs (CI);
// its figures mean nothing then.
inline bool quick() {
    static const bool q = std::getenv("PW_BENCH_QUICK") != nullptr;
    return q;
}
// A benchmark's own minimum time, iteration count and data size, cut down in quick mode.
inline double minTime(double seconds) {
    return quick() ? 0.001 : seconds;
}
inline int64_t iterations(int64_t n) {
    return quick() ? 1 : n;
}
inline int64_t size(int64_t normal, int64_t inQuickMode) {
    return quick() ? inQuickMode : normal;
}

// A figure that a ratio line needs and no run gave (the benchmark failed, or was filtered out).
struct MissingFigure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Figures {
    double realTime = 0; // per iteration, in the benchmark's time unit
    double cpuTime = 0;  // the benchmark thread's CPU per iteration, same unit
    double itemsPerSecond = 0;
};

// Keeps per benchmark run its figure over its repetitions: the "median" aggregate when there is
// one (a run slowed by the machine's load does not move it), else the "mean", else the mean of
// the runs (the other aggregates are spreads, not figures).
class FiguresReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.str(); // with its arguments, without the aggregate
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median" || (r.aggregate_name == "mean" && !medians_.count(name)))
                    means_[name] = figures(r);
                if (r.aggregate_name == "median") medians_.insert(name);
                continue;
            }
            Sum& s = sums_[name];
            const Figures f = figures(r);
            s.total.realTime += f.realTime;
            s.total.cpuTime += f.cpuTime;
            s.total.itemsPerSecond += f.itemsPerSecond;
            ++s.runs;
        }
    }

    // Items per second of one benchmark, named as get() takes it; MissingFigure when it has none.
    double rate(const std::string& name) const {
        const double r = get(name).itemsPerSecond;
        if (!(r > 0)) throw MissingFigure(name + " counted no items per second");
        return r;
    }

    // By full run name ("BM_X/8/real_time/threads:2"), or by a leading part of it that ends at a
    // '/' ("BM_X", "BM_X/8"): the first such run. MissingFigure when none ran to its end.
    Figures get(const std::string& name) const {
        const std::string* key = find(name);
        if (!key) throw MissingFigure("no figure for " + name + ": it did not run, or it failed");
        if (auto m = means_.find(*key); m != means_.end()) return m->second;
        const Sum& s = sums_.at(*key);
        const double n = s.runs;
        return {s.total.realTime / n, s.total.cpuTime / n, s.total.itemsPerSecond / n};
    }

private:
    static Figures figures(const Run& r) {
        auto it = r.counters.find("items_per_second");
        return {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime(),
                it == r.counters.end() ? 0 : it->second.value};
    }
    const std::string* find(const std::string& name) const {
        if (auto s = sums_.find(name); s != sums_.end() && s->second.runs > 0) return &s->first;
        for (auto& [key, sum] : sums_)
            if (sum.runs > 0 && key.size() > name.size() && key.compare(0, name.size(), name) == 0 &&
                key[name.size()] == '/')
                return &key;
        return nullptr;
    }
    struct Sum {
        Figures total;
        int runs = 0;
    };
    std::map<std::string, Figures> means_; // per run name: its median, else its mean
    std::set<std::string> medians_;
    std::map<std::string, Sum> sums_;
};

// Google Benchmark's Initialize with the repetitions of all benchmarks run in random order, so
// that a side and its reference meet the same changes in the machine's load (an option on the
// command line still wins).
inline void initializeInterleaved(int argc, char** argv) {
    static std::vector<char*> args;
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.assign(argv, argv + argc);
    args.insert(args.begin() + 1, interleave);
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
}

// Repetitions for a benchmark whose figure is a median: one in quick mode.
inline int repetitions(int n) {
    return quick() ? 1 : n;
}

// Targets missed so far in this program.
inline int& missedTargets() {
    static int n = 0;
    return n;
}

// The note of a figure held to a target, e.g. "(target <= 10 MB)": met, or marked missed.
inline std::string target(bool met, const std::string& what) {
    if (!met) ++missedTargets();
    return "(target " + what + (met ? ")" : ": MISSED)");
}

// Prints a benchmark's ratio lines; a missing figure ends them with a message instead of a line
// with a 0 in it. The exit status of the benchmark program: 1 also when a full run missed a target
// (a quick run's figures mean nothing).
template <class Print> int printRatios(Print&& print) {
    try {
        print();
    } catch (const MissingFigure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 1;
    }
    std::fflush(stdout);
    if (missedTargets() == 0) return 0;
    std::fprintf(stderr, "benchmark missed %d target%s%s\n", missedTargets(), missedTargets() > 1 ? "s" : "",
                 quick() ? " (quick mode: figures without meaning, not a failure)" : "");
    return quick() ? 0 : 1;
}

} // namespace pwbench
