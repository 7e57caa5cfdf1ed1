// Replays the corpora of the filter fuzz targets (and bit-flipped variants of each input) through
// the same harnesses, so that CI runs them under the sanitizers without clang.
#include "tests/fuzz/FilterFuzz.h"
#include "tests/fuzz/FuzzReplay.h"

#include <gtest/gtest.h>

TEST(FilterFuzzReplay, EvaluatorAndBuilderCorporaRunClean) {
    std::vector<std::string> eval = pwfuzz::Corpus("filter_eval"), builder = pwfuzz::Corpus("filter_builder");
    ASSERT_GT(eval.size(), 10u);
    ASSERT_GT(builder.size(), 10u);
    pwfuzz::Replay(eval, pwfuzz::RunFilterEval);
    pwfuzz::Replay(builder, pwfuzz::RunFilterBuilder);
}
