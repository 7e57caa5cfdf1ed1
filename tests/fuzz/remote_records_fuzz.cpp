// libFuzzer target: the login reply, discovery answer, login request and header parsers.
#include "tests/fuzz/RemoteWireFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteRecords(data, size);
    return 0;
}
