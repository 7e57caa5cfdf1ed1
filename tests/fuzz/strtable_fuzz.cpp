// libFuzzer target: arbitrary bytes as a "STR0" string-table resource.
#include "platform/Resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::StringTable t(data, size);
    uint32_t n = t.Count();
    for (uint32_t i = 0; i < n && i < 64; ++i)
        (void)t.FindAnsi(t.IdAt(i));
    (void)t.Find(0);
    (void)t.Find(0xFFFFFFFFu);
    return 0;
}
