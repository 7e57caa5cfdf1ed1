// Process-wide user data of the extension controls and the alpha character set.
#include "controls/LncUser.h"

#include "platform/Text.h"

#include <QChar>

TLncUserData::TLncUserData() {
    for (auto& s : charSets_) {
        s.set();
        s.reset(0);
    }
    forceCase_.fill(0);
    for (int i = 0; i < kSetCount; ++i)
        subst_[i] = static_cast<unsigned char>(241 + i);
}

TLncUserData& LncDefaultUserData() {
    static TLncUserData data;
    return data;
}

const TLncCharSet& LncAlphaCharSet() {
    static const TLncCharSet set = [] {
        TLncCharSet s;
        for (unsigned char c : {' ', ',', '-', '.'})
            s.set(c);
        for (int c = 'A'; c <= 'Z'; ++c)
            s.set(c);
        for (int c = 'a'; c <= 'z'; ++c)
            s.set(c);
        for (int c = 128; c < 256; ++c)
            if (QChar(plat::AnsiCharToUtf16(static_cast<unsigned char>(c))).isLetter()) s.set(c);
        return s;
    }();
    return set;
}
