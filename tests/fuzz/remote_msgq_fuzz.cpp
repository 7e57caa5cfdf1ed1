// libFuzzer target: the received-message queue (first and later parts, container unpacking).
#include "tests/fuzz/RemoteMsgqFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteMsgq(data, size);
    return 0;
}
