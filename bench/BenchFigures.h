// Mean figures of each benchmark over its repetitions, kept while Google Benchmark prints its
// table, for the ratio lines a benchmark prints at the end.
#pragma once
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace pwbench {

struct Figures {
    double realTime = 0; // per iteration, in the benchmark's time unit
    double cpuTime = 0;  // the benchmark thread's CPU per iteration, same unit
    double itemsPerSecond = 0;
};

// Keeps per benchmark function the mean over its repetitions: the "mean" aggregate when there is
// one, else the mean of the runs (the other aggregates are spreads, not figures).
class FiguresReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string& name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "mean") means_[name] = figures(r);
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

    // Items per second of one benchmark function; 0 when it did not run.
    double rate(const std::string& function) const { return get(function).itemsPerSecond; }

    // All zero when the benchmark did not run.
    Figures get(const std::string& function) const {
        if (auto m = means_.find(function); m != means_.end()) return m->second;
        auto s = sums_.find(function);
        if (s == sums_.end() || s->second.runs == 0) return {};
        const double n = s->second.runs;
        return {s->second.total.realTime / n, s->second.total.cpuTime / n,
                s->second.total.itemsPerSecond / n};
    }

private:
    static Figures figures(const Run& r) {
        auto it = r.counters.find("items_per_second");
        return {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime(),
                it == r.counters.end() ? 0 : it->second.value};
    }
    struct Sum {
        Figures total;
        int runs = 0;
    };
    std::map<std::string, Figures> means_;
    std::map<std::string, Sum> sums_;
};

} // namespace pwbench
