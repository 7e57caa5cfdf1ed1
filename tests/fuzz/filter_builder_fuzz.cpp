// libFuzzer target: arbitrary filter text through the builder and the evaluator.
#include "tests/fuzz/FilterFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunFilterBuilder(data, size);
    return 0;
}
