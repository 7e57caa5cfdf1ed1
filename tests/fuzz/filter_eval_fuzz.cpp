// libFuzzer target: arbitrary bytes as a compiled filter expression (they come from the network),
// evaluated by the server's filter over engine records of every field type and by the datasets.
#include "tests/fuzz/FilterEvalFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunFilterEval(data, size);
    return 0;
}
