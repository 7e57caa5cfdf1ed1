// The fixed collation over Windows-1252 bytes and the key comparers built on it.
#include "db/base/qbllbase.h"

#include "platform/Collation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

int effectiveLength(const KeyCompareDesc& d) {
    int32_t l = d.PartialLength != 0 ? d.PartialLength : d.FieldLength;
    return l < 0 ? 0 : l;
}

std::string_view shStrCut(const void* p, int l) {
    auto* b = static_cast<const unsigned char*>(p);
    size_t n = b[0] < size_t(l) ? b[0] : size_t(l);
    return std::string_view(reinterpret_cast<const char*>(b + 1), n);
}

std::string_view pCharCut(const void* p, int l) {
    auto* s = static_cast<const char*>(p);
    return std::string_view(s, strnlen(s, size_t(l)));
}

// Wide texts in keys need not be aligned: copy the units out.
std::u16string wideCut(const void* p, size_t maxUnits) {
    auto* b = static_cast<const unsigned char*>(p);
    std::u16string r;
    for (size_t i = 0; i < maxUnits; ++i) {
        char16_t u;
        std::memcpy(&u, b + 2 * i, 2);
        if (u == 0) break;
        r.push_back(u);
    }
    return r;
}

} // namespace

int collateAnsi(std::string_view a, std::string_view b, bool noCase) {
    return plat::CollateAnsi(a, b, noCase);
}

int collateWide(std::u16string_view a, std::u16string_view b, bool noCase) {
    return plat::CollateWide(a, b, noCase);
}

int KeyCompareU64(const void* a, const void* b, const KeyCompareDesc& d) {
    U64 x, y;
    std::memcpy(&x.Lo, a, 4);
    std::memcpy(&x.Hi, static_cast<const char*>(a) + 4, 4);
    std::memcpy(&y.Lo, b, 4);
    std::memcpy(&y.Hi, static_cast<const char*>(b) + 4, 4);
    return ApplyDirection(d.Ascending, U64Compare(x, y));
}

int KeyCompareBytes(const void* a, const void* b, const KeyCompareDesc& d) {
    return ApplyDirection(d.Ascending, CompareBuffers(a, b, size_t(effectiveLength(d))));
}

int KeyCompareShStr(const void* a, const void* b, const KeyCompareDesc& d) {
    int l = effectiveLength(d);
    auto x = shStrCut(a, l), y = shStrCut(b, l);
    return ApplyDirection(d.Ascending, d.NoCase ? CompareShStrNoCase(x, y, l) : CompareShStr(x, y, l));
}

int KeyComparePChar(const void* a, const void* b, const KeyCompareDesc& d) {
    int l = effectiveLength(d);
    auto x = pCharCut(a, l), y = pCharCut(b, l);
    return ApplyDirection(d.Ascending, d.NoCase ? CompareShStrNoCase(x, y, l) : CompareShStr(x, y, l));
}

int KeyCompareShStrLocale(const void* a, const void* b, const KeyCompareDesc& d) {
    int l = effectiveLength(d);
    return ApplyDirection(d.Ascending, collateAnsi(shStrCut(a, l), shStrCut(b, l), d.NoCase));
}

int KeyComparePCharLocale(const void* a, const void* b, const KeyCompareDesc& d) {
    int l = effectiveLength(d);
    return ApplyDirection(d.Ascending, collateAnsi(pCharCut(a, l), pCharCut(b, l), d.NoCase));
}

int KeyCompareWideChar(const void* a, const void* b, const KeyCompareDesc& d) {
    char16_t x, y;
    std::memcpy(&x, a, 2);
    std::memcpy(&y, b, 2);
    return ApplyDirection(d.Ascending,
                          collateWide(std::u16string_view(&x, 1), std::u16string_view(&y, 1), d.NoCase));
}

int KeyCompareWideStrLocale(const void* a, const void* b, const KeyCompareDesc& d) {
    size_t l = size_t(effectiveLength(d));
    return ApplyDirection(d.Ascending, collateWide(wideCut(a, l), wideCut(b, l), d.NoCase));
}
