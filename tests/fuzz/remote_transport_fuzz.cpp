// libFuzzer target: arbitrary parts into a server transport's receive path and a client
// transport's reply assembly.
#include "tests/fuzz/RemoteTransportFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteTransport(data, size);
    return 0;
}
