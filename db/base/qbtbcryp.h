// Table-block scrambler: hides the blocks of encrypted table files by XOR with one of two fixed
// 4096-byte keystreams. Scrambling and unscrambling are the same operation.
#pragma once
#include <cstddef>
#include <cstdint>

enum class TqbScrambleKey { A, B };

// Only length rounded down to a multiple of 16 is processed; the keystream starts at
// (4096 - ((position >> 8) & 4080)) mod 4096, taken from the low 32 bits of the file position.
void ScrambleBlock(void* buffer, size_t length, uint64_t position, TqbScrambleKey key);

// The entry points of the block read (unscramble) and block write (scramble), one pair per key.
inline void ScrambleBlockA(void* b, size_t len, uint64_t pos) {
    ScrambleBlock(b, len, pos, TqbScrambleKey::A);
}
inline void UnscrambleBlockA(void* b, size_t len, uint64_t pos) {
    ScrambleBlock(b, len, pos, TqbScrambleKey::A);
}
inline void ScrambleBlockB(void* b, size_t len, uint64_t pos) {
    ScrambleBlock(b, len, pos, TqbScrambleKey::B);
}
inline void UnscrambleBlockB(void* b, size_t len, uint64_t pos) {
    ScrambleBlock(b, len, pos, TqbScrambleKey::B);
}
