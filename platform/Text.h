// The system's 8-bit text: Windows-1252 in std::string, and its conversion to and from UTF-16.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// One Windows-1252 byte as a UTF-16 unit. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of the same value.
char16_t AnsiCharToUtf16(unsigned char c);

// A UTF-16 unit as a Windows-1252 byte; characters outside the code page give '?'.
char Utf16CharToAnsi(char16_t u);

std::u16string AnsiToUtf16(std::string_view s);
// The same into out, which has room for s.size() units.
void AnsiToUtf16(std::string_view s, char16_t* out);
std::string Utf16ToAnsi(std::u16string_view s);

// UTF-8 (source files, the Linux locale) to and from Windows-1252.
std::string Utf8ToAnsi(std::string_view s);
// The UTF-8 sequence at s[i] (i < s.size()): its length, with the code point in cp; 0 when it is
// malformed there, -1 when it runs past the end of s.
int DecodeUtf8(std::string_view s, size_t i, char32_t& cp);
std::string AnsiToUtf8(std::string_view s);

// ASCII-only case folding, independent of the process locale.
char AsciiUpper(char c);
std::string AsciiUpper(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

} // namespace plat
