// Replays the corpus of the journal-recovery fuzz target through its harness.
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/JournalFuzz.h"

#include <gtest/gtest.h>

TEST(JournalFuzzReplay, RecoveryOfChangedJournalsRunsClean) {
    std::vector<std::string> inputs = pwfuzz::Corpus("journal_recovery");
    ASSERT_GE(inputs.size(), 5u);
    pwfuzz::Replay(inputs, pwfuzz::RunJournalRecovery);
}
