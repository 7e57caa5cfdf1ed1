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

// True when every character of s has a Windows-1252 byte, so that fromQString keeps it.
inline bool IsAnsiText(const QString& s) {
    for (QChar c : s) {
        char16_t u = c.unicode();
        if (u != u'?' && plat::Utf16CharToAnsi(u) == '?') return false;
    }
    return true;
}

} // namespace cls
