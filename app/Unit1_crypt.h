// The message cipher of the main window: a PC1 stream cipher with a 128-bit key whose output is
// written as two letters a..p per byte. Every block starts from the same key and state.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class Pc1Cipher {
public:
    // The stored key: the same for every service and every block.
    static constexpr std::string_view kStoredKey = "vqmelsorbk704219";
    // The longest block one call enciphers (the length is counted in 16 bits on the wire side).
    static constexpr size_t kMaxBlock = 16500;

    // Enciphers one block; returns 2 x size letters. An empty block gives an empty text; a block
    // longer than kMaxBlock is refused with std::length_error.
    std::string Crypt(std::string_view text);

    // Resets key and state to their values at the start of a block.
    void reset();
    // Key schedule of one byte: leaves the keystream word in inter.
    void Assemble();
    // One keystream step: uses and advances i.
    void code();

    std::array<uint8_t, 16> key{};
    std::array<uint16_t, 8> x1a0{};
    uint16_t x1a2 = 0, ws = 0, i = 0, inter = 0, res = 0;
};
