// Harness of the reply-framing fuzz target, shared with the unit test that replays it in CI: the
// lines must not depend on how the bytes were cut into segments, and must match a byte-at-a-time
// reading of the stream.
#pragma once
#include "app/ReplyLines.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace pwfuzz {

// The lines a byte-at-a-time reader takes from the whole stream.
inline std::vector<std::string> ReferenceReplyLines(std::string_view bytes, size_t maxLine) {
    std::vector<std::string> out;
    std::string cur;
    bool skipping = false, afterCr = false;
    for (char c : bytes) {
        const bool end = c == '\r' || c == '\n';
        if (afterCr) {
            afterCr = false;
            if (c == '\n') continue;
        }
        if (skipping) {
            skipping = !end;
            afterCr = c == '\r';
            continue;
        }
        cur += c;
        if (end) {
            out.push_back(cur);
            cur.clear();
            afterCr = c == '\r';
        } else if (cur.size() == maxLine) {
            out.push_back(cur);
            cur.clear();
            skipping = true;
        }
    }
    return out;
}

// Input: line bound, segment seed, then the stream.
inline void RunReplyLines(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const size_t maxLine = 1 + data[0] % 64;
    uint32_t seed = data[1];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<std::string> got;
    ReplyLines framer(maxLine);
    std::string line;
    for (size_t at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t n = 1 + (seed >> 16) % 23;
        framer.append(bytes.substr(at, n));
        at += n;
        while (framer.next(line))
            got.push_back(line);
    }
    if (got != ReferenceReplyLines(bytes, maxLine)) std::abort();
    for (const std::string& l : got)
        if (l.empty() || l.size() > maxLine || (l.back() != '\n' && l.back() != '\r' && l.size() != maxLine))
            std::abort();
}

} // namespace pwfuzz
