// libFuzzer target: a server's reply bytes in arbitrary segments, framed into reply lines.
#include "tests/fuzz/ReplyLinesFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunReplyLines(data, size);
    return 0;
}
