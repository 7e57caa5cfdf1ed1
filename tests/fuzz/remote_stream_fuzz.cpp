// libFuzzer target: a remote connection's byte stream in arbitrary chunks, through the part reader
// and the message assembler.
#include "tests/fuzz/RemoteWireFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteStream(data, size);
    return 0;
}
