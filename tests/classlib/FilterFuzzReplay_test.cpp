// Replays the corpus of the filter builder's fuzz target (and bit-flipped variants of each input)
// through the same harness, so that CI runs them under the sanitizers without clang.
#include "tests/fuzz/FilterFuzz.h"
#include "tests/fuzz/FuzzReplay.h"

#include <gtest/gtest.h>

TEST(FilterFuzzReplay, BuilderCorpusRunsClean) {
    std::vector<std::string> builder = pwfuzz::Corpus("filter_builder");
    ASSERT_GT(builder.size(), 10u);
    pwfuzz::Replay(builder, pwfuzz::RunFilterBuilder);
}
