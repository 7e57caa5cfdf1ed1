// Process-wide user data of the extension controls (user character sets, case forcing,
// substitution characters) and the alpha character set.
#pragma once
#include <array>
#include <bitset>
#include <cstdint>

using TLncCharSet = std::bitset<256>;

class TLncUserData {
public:
    TLncUserData();

    static constexpr int kSetCount = 8;
    // Index 0..7 for user sets 1..8.
    const TLncCharSet& UserCharSet(int Index) const { return charSets_.at(Index); }
    void SetUserCharSet(int Index, const TLncCharSet& Set) { charSets_.at(Index) = Set; }
    uint8_t ForceCase(int Index) const { return forceCase_.at(Index); }
    void SetForceCase(int Index, uint8_t Value) { forceCase_.at(Index) = Value; }
    unsigned char SubstChar(int Index) const { return subst_.at(Index); }
    void SetSubstChar(int Index, unsigned char C) { subst_.at(Index) = C; }

private:
    std::array<TLncCharSet, kSetCount> charSets_;
    std::array<uint8_t, kSetCount> forceCase_;
    std::array<unsigned char, kSetCount> subst_;
};

// The default instance, made on first use.
TLncUserData& LncDefaultUserData();

// Blank, comma, hyphen, full stop, A-Z, a-z and every Windows-1252 letter from 128 to 255.
const TLncCharSet& LncAlphaCharSet();
