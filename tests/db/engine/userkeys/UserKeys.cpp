// A library of user-defined key routines for the engine tests: the key is the record's "code" field
// (bytes 42..45 of the test table's records) reversed in order; records whose code is negative get none.
#include <cstdint>
#include <cstring>

extern "C" {

int32_t BuildReversedCode(const void* Record, int32_t RecordLength, void* Key, int32_t KeyLength) {
    if (RecordLength < 46 || KeyLength != 4) return 0;
    int32_t code;
    std::memcpy(&code, static_cast<const uint8_t*>(Record) + 42, 4);
    if (code < 0) return 0;
    std::memcpy(Key, &code, 4);
    return 1;
}

int32_t CompareReversedCode(const void* Key1, const void* Key2, int32_t) {
    int32_t a, b;
    std::memcpy(&a, Key1, 4);
    std::memcpy(&b, Key2, 4);
    return a < b ? 1 : (a > b ? -1 : 0);
}
}
