// libFuzzer target: arbitrary bytes as a sequence of engine operations with their handles, counts,
// lengths, names and buffers (a remote peer sends all of them), run against the in-process engine.
#include "tests/fuzz/EngineApiFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunEngineApi(data, size);
    return 0;
}
