// Table-block scrambler and the fixed generator of its two keystreams.
#include "db/base/qbtbcryp.h"

#include <array>
#include <cstring>

namespace {

// Additive lagged-Fibonacci generator, x[n] = x[n-24] + x[n-55] mod 2^32 (220 bytes of state),
// seeded through a linear congruential sequence. Its output is part of the encrypted file format:
// never change the seeds or the steps.
class KeystreamGenerator {
public:
    explicit KeystreamGenerator(uint32_t seed) {
        uint32_t x = seed;
        for (uint32_t& s : state_) {
            x = x * 1664525u + 1013904223u;
            s = x;
        }
        for (int i = 0; i < 220; ++i)
            next();
    }
    ~KeystreamGenerator() {
        volatile uint32_t* p = state_.data();
        for (size_t i = 0; i < state_.size(); ++i)
            p[i] = 0;
    }
    uint32_t next() {
        uint32_t v = state_[j_] + state_[k_];
        state_[k_] = v;
        j_ = j_ == 0 ? 54 : j_ - 1;
        k_ = k_ == 0 ? 54 : k_ - 1;
        return v;
    }

private:
    std::array<uint32_t, 55> state_{};
    size_t j_ = 23, k_ = 54;
};

struct Keystream {
    explicit Keystream(uint32_t seed) {
        KeystreamGenerator g(seed);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            uint32_t v = g.next();
            for (int b = 0; b < 4; ++b)
                bytes[i + size_t(b)] = uint8_t(v >> (8 * b));
        }
    }
    ~Keystream() {
        volatile uint8_t* p = bytes.data();
        for (size_t i = 0; i < bytes.size(); ++i)
            p[i] = 0;
    }
    std::array<uint8_t, 4096> bytes{};
};

const Keystream& keystream(TqbScrambleKey key) {
    static const Keystream a(0x51B2C0DEu), b(0x7A3E9F15u);
    return key == TqbScrambleKey::A ? a : b;
}

} // namespace

void ScrambleBlock(void* buffer, size_t length, uint64_t position, TqbScrambleKey key) {
    const uint8_t* ks = keystream(key).bytes.data();
    auto* p = static_cast<uint8_t*>(buffer);
    size_t offset = (uint32_t(position) >> 8) & 4080u;
    size_t k = (4096 - offset) % 4096;
    size_t strides = length / 16;
    for (size_t s = 0; s < strides; ++s) {
        // Four 32-bit words per stride; byte-wise XOR gives the same bytes on any byte order.
        for (size_t i = 0; i < 16; ++i)
            p[s * 16 + i] ^= ks[k + i];
        k = (k + 16) % 4096;
    }
}
