// The message cipher: key schedule, keystream step and block encipherment.
#include "app/Unit1_crypt.h"

#include <stdexcept>
#include <utility>

namespace {
// Products are taken in 32 bits and cut to 16, so no signed overflow can happen.
inline uint16_t mul16(uint16_t a, uint16_t b) {
    return static_cast<uint16_t>((uint32_t{a} * uint32_t{b}) & 0xFFFFu);
}
inline uint16_t add16(uint16_t a, uint16_t b) {
    return static_cast<uint16_t>((uint32_t{a} + uint32_t{b}) & 0xFFFFu);
}
} // namespace

void Pc1Cipher::reset() {
    for (size_t k = 0; k < key.size(); ++k)
        key[k] = static_cast<uint8_t>(kStoredKey[k]);
    x1a0.fill(0);
    x1a2 = ws = i = inter = res = 0;
}

void Pc1Cipher::code() {
    uint16_t wd = add16(x1a2, i);
    uint16_t wa = x1a0[i & 7];
    uint16_t wc = 0x015A;
    const uint16_t wb = 0x4E35;
    std::swap(wa, ws);
    std::swap(wa, wd);
    if (wa != 0) wa = mul16(wa, wb);
    std::swap(wa, wc);
    if (wa != 0) {
        wa = mul16(wa, ws);
        wc = add16(wa, wc);
    }
    std::swap(wa, ws);
    wa = mul16(wa, wb);
    wd = add16(wc, wd);
    wa = add16(wa, 1);
    x1a2 = wd;
    x1a0[i & 7] = wa;
    res = wa ^ wd;
    i = add16(i, 1);
}

void Pc1Cipher::Assemble() {
    x1a0[0] = static_cast<uint16_t>(key[0] * 256 + key[1]);
    code();
    inter = res;
    for (int j = 1; j <= 7; ++j) {
        x1a0[j] = x1a0[j - 1] ^ static_cast<uint16_t>(key[2 * j] * 256 + key[2 * j + 1]);
        code();
        inter ^= res;
    }
    i = 0;
}

std::string Pc1Cipher::Crypt(std::string_view text) {
    if (text.size() > kMaxBlock) throw std::length_error("cipher block longer than 16500 bytes");
    reset();
    std::string out;
    out.reserve(text.size() * 2);
    for (char ch : text) {
        uint8_t c = static_cast<uint8_t>(ch);
        Assemble();
        const uint8_t cfc = static_cast<uint8_t>(inter >> 8);
        const uint8_t cfd = static_cast<uint8_t>(inter & 0xFF);
        for (auto& k : key)
            k ^= c;
        c ^= static_cast<uint8_t>(cfc ^ cfd);
        out.push_back(static_cast<char>('a' + (c >> 4)));
        out.push_back(static_cast<char>('a' + (c & 15)));
    }
    return out;
}
