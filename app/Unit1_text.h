// Conversions between the system's Windows-1252 text and QString, for the paging client's windows.
#pragma once
#include "platform/Text.h"

#include <QString>
#include <string>
#include <string_view>

inline QString toQ(std::string_view s) {
    std::u16string u = plat::AnsiToUtf16(s);
    return QString::fromUtf16(u.data(), static_cast<qsizetype>(u.size()));
}

inline std::string fromQ(const QString& s) {
    return plat::Utf16ToAnsi(
        std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size())));
}
