// libFuzzer target: arbitrary bytes through one of the table-file harnesses.
#include "tests/fuzz/TableFileFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunTableFileWalk(data, size);
    return 0;
}
