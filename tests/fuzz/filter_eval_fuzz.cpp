// libFuzzer target: arbitrary bytes as a compiled filter expression (they may come from a file or
// the network), evaluated against records of every field class.
#include "tests/fuzz/FilterFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunFilterEval(data, size);
    return 0;
}
