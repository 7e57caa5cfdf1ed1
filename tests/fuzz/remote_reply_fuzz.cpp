// libFuzzer target: the remote engine's reply parsers (table open and statement result streams with
// their dictionaries, record batches, BLOB reads, records, bookmarks, keys and lists).
#include "tests/fuzz/RemoteReplyFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pwfuzz::RunRemoteReply(data, size);
    return 0;
}
