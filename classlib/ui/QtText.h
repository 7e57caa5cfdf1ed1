// The Qt boundary of the system's text: Windows-1252 std::string to and from QString.
#pragma once
#include "platform/Text.h"

#include <QString>
#include <string>
#include <string_view>

namespace cls {

inline QString toQString(std::string_view s) {
    QString q(qsizetype(s.size()), Qt::Uninitialized);
    plat::AnsiToUtf16(s, reinterpret_cast<char16_t*>(q.data()));
    return q;
}

// Characters outside the code page become '?' (see IsAnsiText to refuse them instead).
inline std::string fromQString(const QString& s) {
    return plat::Utf16ToAnsi(
        std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size())));
}

// The first character of s that has no Windows-1252 byte, whole (a surrogate pair is one
// character); empty when every character has one.
inline QString FirstNonAnsiChar(const QString& s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t u = s[i].unicode();
        if (u == u'?' || plat::Utf16CharToAnsi(u) != '?') continue;
        const bool pair = QChar::isHighSurrogate(u) && i + 1 < s.size() && s[i + 1].isLowSurrogate();
        return s.mid(i, pair ? 2 : 1);
    }
    return {};
}

// True when every character of s has a Windows-1252 byte, so that fromQString keeps it.
inline bool IsAnsiText(const QString& s) {
    return FirstNonAnsiChar(s).isEmpty();
}

// A character's code point as the user can look it up: "U+1F600".
inline QString CodePointName(const QString& c) {
    return "U+" + QString::number(c.toUcs4().value(0), 16).toUpper().rightJustified(4, '0');
}

} // namespace cls
