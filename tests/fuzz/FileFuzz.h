// Shared by the file-format fuzz targets: writes the input to a private temporary file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace pwfuzz {

inline std::string writeTemp(const uint8_t* data, size_t size, const char* suffix) {
    static std::string path = "/tmp/pwfuzz-" + std::to_string(getpid()) + suffix;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return path;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

} // namespace pwfuzz
