// libFuzzer target: arbitrary bytes as remote engine requests, decoded by the server's decoder and
// run against the in-process engine.
#include "tests/fuzz/RemoteRequestFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteRequests(data, size);
    return 0;
}
