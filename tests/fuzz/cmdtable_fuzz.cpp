// libFuzzer target: arbitrary bytes as a command-table text file of the controller.
#include "controls/LncCmd.h"
#include "tests/fuzz/FileFuzz.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TLncCommandTable table;
    try {
        table.LoadFromFile(pwfuzz::writeTemp(data, size, ".cmd"));
    } catch (const std::exception&) {
    }
    return 0;
}
