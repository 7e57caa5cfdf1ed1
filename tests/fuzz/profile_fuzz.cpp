// libFuzzer target: arbitrary bytes as a settings (INI) file, read section by section.
#include "platform/Profile.h"
#include "tests/fuzz/FileFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::ProfileFile ini(pwfuzz::writeTemp(data, size, ".ini"));
    for (const auto& section : ini.ReadSections()) {
        for (const auto& line : ini.ReadSectionValues(section))
            (void)line;
        (void)ini.ReadInteger(section, "timeout", 45);
        (void)ini.ReadString(section, "quickMsg1", "");
    }
    return 0;
}
