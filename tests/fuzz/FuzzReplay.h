// Replay of a fuzz target's corpus in the unit tests: each saved input as it is, then variants with
// a few bytes changed, cut short or grown, so that CI runs the harness under the sanitizers.
#pragma once
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace pwfuzz {

// Every file of tests/fuzz/corpus/<name>.
inline std::vector<std::string> Corpus(const char* name) {
    std::vector<std::string> r;
    std::filesystem::path dir =
        std::filesystem::path(pwtest::sourceDir()) / "tests" / "fuzz" / "corpus" / name;
    for (auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) r.push_back(pwtest::readFile(e.path().string()));
    return r;
}

// With PW_WRITE_FUZZ_CORPUS set, saves the seeds as tests/fuzz/corpus/<name>/seed<i>; false when a
// file could not be written.
inline bool WriteCorpus(const char* name, const std::vector<std::string>& seeds) {
    if (!std::getenv("PW_WRITE_FUZZ_CORPUS")) return true;
    const std::string dir = pwtest::sourceDir() + "/tests/fuzz/corpus/" + name;
    std::filesystem::create_directories(dir);
    for (size_t i = 0; i < seeds.size(); ++i) {
        FILE* f = std::fopen((dir + "/seed" + std::to_string(i)).c_str(), "wb");
        if (!f) return false;
        std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
        std::fclose(f);
    }
    return true;
}

template <class Run>
void Replay(const std::vector<std::string>& inputs, Run run, int variants = 40, unsigned seed = 7) {
    std::mt19937 rng(seed);
    for (const std::string& in : inputs) {
        run(reinterpret_cast<const uint8_t*>(in.data()), in.size());
        for (int m = 0; m < variants; ++m) {
            std::string x = in;
            if (!x.empty())
                for (int k = 0; k <= static_cast<int>(rng() % 3); ++k)
                    x[rng() % x.size()] = static_cast<char>(rng());
            if (m % 7 == 3 && !x.empty()) x.resize(rng() % x.size());
            if (m % 11 == 5) x += x.substr(0, rng() % (x.size() + 1));
            run(reinterpret_cast<const uint8_t*>(x.data()), x.size());
        }
    }
}

} // namespace pwfuzz
