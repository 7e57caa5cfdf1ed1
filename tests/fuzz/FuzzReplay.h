// Replays a fuzz target's corpus (and changed variants of each input) through its harness, so that
// CI runs it under the sanitizers without clang.
#pragma once
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace pwfuzz {

inline std::vector<std::string> corpus(const char* name) {
    std::vector<std::string> r;
    std::filesystem::path dir = std::filesystem::path(PW_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / name;
    for (auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) r.push_back(pwtest::readFile(e.path().string()));
    return r;
}

// Each input as it is, then with a few random bytes changed, cut short or grown.
template <class Run> void replay(const std::vector<std::string>& inputs, Run run) {
    std::mt19937 rng(7);
    for (const std::string& in : inputs) {
        run(reinterpret_cast<const uint8_t*>(in.data()), in.size());
        for (int m = 0; m < 40; ++m) {
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
