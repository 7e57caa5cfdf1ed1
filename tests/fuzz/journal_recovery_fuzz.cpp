// libFuzzer target: arbitrary bytes as a journal file found at start-up, recovered on an in-memory
// file system beside one table.
#include "tests/fuzz/JournalFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunJournalRecovery(data, size);
    return 0;
}
