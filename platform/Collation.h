// The one collation of the system, shared by index keys, the server filter and the client filter.
//
// Fixed and table-driven over Windows-1252 bytes, independent of the process locale, so that an
// index never changes order with the environment. Three levels: the base letter (punctuation <
// digits < letters), then the accent, then the case (lower before upper); with noCase the third
// level is ignored. Every byte has its own weights, so two texts compare equal only when they are
// equal byte for byte (or differ only in case, with noCase). Changing these tables changes the
// order of stored indexes.
#pragma once
#include <string>
#include <string_view>

namespace plat {

int CollateAnsi(std::string_view a, std::string_view b, bool noCase);
// UTF-16 text: characters of Windows-1252 as above; any other character after all of them, by
// its code unit.
int CollateWide(std::u16string_view a, std::u16string_view b, bool noCase);

} // namespace plat
