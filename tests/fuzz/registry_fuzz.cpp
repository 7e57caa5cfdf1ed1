// libFuzzer target: arbitrary bytes as the registry stand-in's file.
#include "platform/Registry.h"
#include "tests/fuzz/FileFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::Registry reg(plat::RegistryRoot::LocalMachine, pwfuzz::writeTemp(data, size, ".reg"));
    if (reg.OpenKeyReadOnly("\\Software")) {
        for (const auto& name : reg.GetValueNames())
            (void)reg.ValueExists(name);
    }
    return 0;
}
