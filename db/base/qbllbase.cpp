// Base routines: timers, comparisons, 64-bit values, length-prefixed strings, character sets,
// paths, directory search, bits and validity checks.
#include "db/base/qbllbase.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Sync.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace {

template <class T> int cmp3(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

[[noreturn]] void raiseInvalidParameter(const char* routine, int parameter) {
    RaiseResourceErrorFmt<EqbServerException>(GeneralStrings(), 338, {routine, parameter});
}

[[noreturn]] void raiseInvalidPath() {
    RaiseResourceError<EqbServerException>(GeneralStrings(), 417);
}

std::string checked(std::string s, size_t limit) {
    if (s.size() > limit) raiseInvalidPath();
    return s;
}

bool isSep(char c) {
    return c == '\\' || c == '/';
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Timers

uint32_t TickCount() {
    return plat::GetTickCount();
}

void TimerStart(TimerRecord& timer, uint32_t timeoutMs) {
    timer = TimerRecord{};
    if (timeoutMs == 0) {
        timer.NeverExpires = true;
        return;
    }
    timeoutMs = std::clamp<uint32_t>(timeoutMs, 1, 3600000);
    timer.Start = TickCount();
    timer.Expiry = timer.Start + timeoutMs;
    timer.StartBeforeExpiry = timer.Start < timer.Expiry;
}

bool TimerExpired(const TimerRecord& timer) {
    if (timer.NeverExpires) return false;
    uint32_t now = TickCount();
    if (timer.Start <= timer.Expiry) return !(timer.Start <= now && now < timer.Expiry);
    return !(now >= timer.Start || now < timer.Expiry);
}

// ---------------------------------------------------------------------------------------------
// Comparisons

int CompareByte(uint8_t a, uint8_t b) {
    return cmp3(a, b);
}
int CompareWord(uint16_t a, uint16_t b) {
    return cmp3(a, b);
}
int CompareDWord(uint32_t a, uint32_t b) {
    return cmp3(a, b);
}
int CompareShortInt(int8_t a, int8_t b) {
    return cmp3(a, b);
}
int CompareSmallInt(int16_t a, int16_t b) {
    return cmp3(a, b);
}
int CompareLongInt(int32_t a, int32_t b) {
    return cmp3(a, b);
}

int CompareBuffers(const void* a, const void* b, size_t len) {
    if (len == 0) return 0;
    int c = std::memcmp(a, b, len);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

namespace {
template <bool NoCase> int compareShStrImpl(std::string_view a, std::string_view b, int maxLen) {
    size_t cap = maxLen < 0 ? 0 : size_t(maxLen);
    size_t la = std::min(a.size(), cap), lb = std::min(b.size(), cap);
    size_t n = std::min(la, lb);
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = a[i], y = b[i];
        if constexpr (NoCase) {
            x = static_cast<unsigned char>(plat::AsciiUpper(char(x)));
            y = static_cast<unsigned char>(plat::AsciiUpper(char(y)));
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return cmp3(la, lb);
}
} // namespace

int CompareShStr(std::string_view a, std::string_view b, int maxLen) {
    return compareShStrImpl<false>(a, b, maxLen);
}
int CompareShStrNoCase(std::string_view a, std::string_view b, int maxLen) {
    return compareShStrImpl<true>(a, b, maxLen);
}

int TextCompareNoCase(std::string_view a, std::string_view b) {
    return collateAnsi(a, b, true);
}

int PCharCompareNoCase(const char* a, const char* b) {
    return collateAnsi(a ? a : "", b ? b : "", true);
}

int PCharCompareNoCaseLen(const char* a, const char* b, size_t maxLen) {
    std::string_view x = a ? std::string_view(a, strnlen(a, maxLen)) : std::string_view();
    std::string_view y = b ? std::string_view(b, strnlen(b, maxLen)) : std::string_view();
    return collateAnsi(x, y, true);
}

// ---------------------------------------------------------------------------------------------
// 64-bit values

int U64Compare(const U64& a, const U64& b) {
    if (a.Hi != b.Hi) return a.Hi < b.Hi ? -1 : 1;
    return cmp3(a.Lo, b.Lo);
}
U64 U64ShiftLeft(const U64& v, unsigned n) {
    return U64::From(n >= 64 ? 0 : v.Value() << n);
}
U64 U64ShiftRight(const U64& v, unsigned n) {
    return U64::From(n >= 64 ? 0 : v.Value() >> n);
}
U64 U64Sub(const U64& a, const U64& b) {
    return U64::From(a.Value() - b.Value());
}
U64 U64SubDWord(const U64& a, uint32_t d) {
    return U64::From(a.Value() - d);
}
U64 U64AddDWord(const U64& a, uint32_t d) {
    return U64::From(a.Value() + d);
}
U64 U64MulDWord(const U64& a, uint32_t d) {
    return U64::From(a.Value() * d);
}
U64 U64DivDWord(const U64& a, uint32_t d) {
    if (d == 0) throw std::domain_error("U64DivDWord: division by zero");
    return U64::From(a.Value() / d);
}
uint32_t U64ModDWord(const U64& a, uint32_t d) {
    if (d == 0) throw std::domain_error("U64ModDWord: division by zero");
    return uint32_t(a.Value() % d);
}

// ---------------------------------------------------------------------------------------------
// Length-prefixed strings and character sets

std::string ShStrConcat(std::string_view a, std::string_view b) {
    if (a.size() + b.size() > kShStrMax) raiseInvalidParameter("ShStrConcat", 2);
    std::string r(a);
    r.append(b);
    return r;
}

std::string ShStrAddChar(std::string_view s, char c) {
    if (s.size() + 1 > kShStrMax) raiseInvalidParameter("ShStrAddChar", 2);
    std::string r(s);
    r.push_back(c);
    return r;
}

void ShStrSplit(std::string_view s, std::string_view delimiters, std::string& head, std::string& tail) {
    size_t p = s.find_first_of(delimiters);
    if (p == std::string_view::npos) {
        head = std::string(s);
        tail.clear();
    } else {
        head = std::string(s.substr(0, p));
        tail = std::string(s.substr(p + 1));
    }
}

std::string ShStrUpper(std::string_view s) {
    return plat::AsciiUpper(s);
}

std::string PCharToShStr(const char* p) {
    return p ? std::string(p, strnlen(p, kShStrMax)) : std::string();
}

void PCharToShStrMax(const char* p, size_t maxLen, std::string& s) {
    s = p ? std::string(p, strnlen(p, std::min(maxLen, kShStrMax))) : std::string();
}

char* ShStrToPChar(char* dest, size_t destSize, std::string_view s) {
    if (!dest) return nullptr;
    if (s.size() + 1 > destSize) raiseInvalidParameter("ShStrToPChar", 2);
    std::memcpy(dest, s.data(), s.size());
    dest[s.size()] = '\0';
    return dest;
}

namespace {
uint8_t emptyShStr[2] = {0, 0};
}

uint8_t* ShStrNew(std::string_view s) {
    if (s.empty()) return emptyShStr;
    if (s.size() > kShStrMax) raiseInvalidParameter("ShStrNew", 1);
    void* p;
    PoolGetMem(p, uint32_t(s.size() + 2));
    auto* b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(s.size());
    std::memcpy(b + 1, s.data(), s.size());
    b[s.size() + 1] = 0;
    return b;
}

void ShStrDispose(uint8_t*& p) {
    if (p && p != emptyShStr) {
        void* v = p;
        PoolFreeMem(v, uint32_t(p[0]) + 2);
    }
    p = nullptr;
}

size_t ShStrToWideChars(std::string_view s, char16_t* dest, size_t capacity) {
    if (s.size() + 1 > capacity) raiseInvalidParameter("ShStrToWideChars", 3);
    for (size_t i = 0; i < s.size(); ++i)
        dest[i] = plat::AnsiCharToUtf16(static_cast<unsigned char>(s[i]));
    dest[s.size()] = 0;
    return s.size();
}

size_t PCharToWideChars(const char* p, char16_t* dest, size_t capacity) {
    return ShStrToWideChars(p ? std::string_view(p) : std::string_view(), dest, capacity);
}

void WideCharsToShStr(const char16_t* w, size_t len, std::string& s) {
    if (!w) len = 0;
    s = plat::Utf16ToAnsi(std::u16string_view(w ? w : u"", std::min(len, kShStrMax)));
}

char* WideCharsToPChar(const char16_t* w, size_t len, char* dest, size_t destSize) {
    if (!dest) return nullptr;
    std::string a = plat::Utf16ToAnsi(std::u16string_view(w ? w : u"", w ? len : 0));
    return ShStrToPChar(dest, destSize, a);
}

void WideCharsCopyZ(const char16_t* src, char16_t* dest, size_t bytes, size_t destUnits) {
    size_t units = bytes / 2;
    if (units + 1 > destUnits) raiseInvalidParameter("WideCharsCopyZ", 3);
    std::memcpy(dest, src, bytes);
    dest[units] = 0;
}

// ---------------------------------------------------------------------------------------------
// Paths

void PathFindDotAndSlash(std::string_view path, size_t& dot, size_t& slash) {
    dot = path.rfind('.');
    slash = path.find_last_of("\\/");
    if (dot != std::string_view::npos && slash != std::string_view::npos && dot < slash)
        dot = std::string_view::npos;
}

std::string PathExpand(std::string_view path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(plat::ToNativePath(path), ec).lexically_normal().string();
    if (ec) raiseInvalidPath();
    return checked(p, 255);
}

std::string PathExeName() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

bool PathHasExt(std::string_view path) {
    size_t dot, slash;
    PathFindDotAndSlash(path, dot, slash);
    return dot != std::string_view::npos;
}

std::string PathExtractExt(std::string_view path) {
    size_t dot, slash;
    PathFindDotAndSlash(path, dot, slash);
    if (dot == std::string_view::npos) return {};
    return checked(std::string(path.substr(dot + 1)), 3);
}

std::string PathExtractFileRoot(std::string_view path) {
    size_t dot, slash;
    PathFindDotAndSlash(path, dot, slash);
    size_t from = slash == std::string_view::npos ? 0 : slash + 1;
    size_t to = dot == std::string_view::npos ? path.size() : dot;
    return checked(std::string(path.substr(from, to - from)), 31);
}

std::string PathExtractTableName(std::string_view path) {
    return PathExtractFileRoot(path);
}

std::string PathExtractDir(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string_view::npos) return {};
    // The root folder keeps its separator, so that it still names the root.
    return checked(std::string(path.substr(0, slash == 0 ? 1 : slash)), 219);
}

void PathForceExt(std::string_view path, std::string_view ext, std::string& result) {
    if (ext.size() > 3) raiseInvalidPath();
    size_t dot, slash;
    PathFindDotAndSlash(path, dot, slash);
    std::string base(dot == std::string_view::npos ? path : path.substr(0, dot));
    if (ext.empty())
        result = base;
    else if (base.empty())
        result = std::string();
    else
        result = base + "." + std::string(ext);
    if (result.size() > 255) raiseInvalidPath();
}

std::string PathMakeName(std::string_view name, std::string_view ext) {
    if (name.size() > 35 || ext.size() > 3) raiseInvalidPath();
    return std::string(name) + "." + std::string(ext);
}

std::string PathMakeFull(std::string_view dir, std::string_view name) {
    std::string r(dir);
    if (!r.empty() && !isSep(r.back())) r.push_back('/');
    r.append(name);
    return r;
}

bool PathDirectoryExists(std::string_view path) {
    if (path.empty() || path.find_first_of("*?") != std::string_view::npos) return false;
    return plat::DirectoryExists(path) || plat::DirectoryExists(plat::ResolveCaseInsensitive(path));
}

bool PathFileExists(std::string_view path) {
    if (path.empty() || path.find_first_of("*?") != std::string_view::npos) return false;
    plat::FileStat st;
    return plat::FileStatPath(plat::ResolveCaseInsensitive(path), st) == 0 && !st.isDir;
}

// ---------------------------------------------------------------------------------------------
// Directory search

struct TqbFindState {
    std::string folder;
    std::string pattern;
    int kinds = 0;
    int attrFlags = 0;
    std::vector<std::string> names;
    size_t next = 0;
};

namespace {

uint16_t dosDate(const std::tm& t) {
    return uint16_t(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}
uint16_t dosTime(const std::tm& t) {
    return uint16_t((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

// Fills rec from the next entry of the search that passes both filters.
int findFill(TqbFindRec& rec) {
    auto& st = *rec.Handle;
    while (st.next < st.names.size()) {
        const std::string& name = st.names[st.next++];
        std::string full = st.folder.empty() ? name : plat::JoinPath(st.folder, name);
        plat::FileStat s;
        if (plat::FileStatPath(full, s) != 0) continue;
        bool dir = s.isDir;
        int kindBit = dir ? 2 : 1;
        int attr = 0;
        if (s.readOnly) attr |= 2;
        if (name[0] == '.') attr |= 4;
        if (!dir) attr |= 16;
        if (attr == 0) attr = 1;
        if (!(st.kinds & kindBit) || !(st.attrFlags & attr)) continue;
        std::tm t{};
        time_t mt = time_t(s.mtimeNs / 1000000000);
        localtime_r(&mt, &t);
        rec.Name = name;
        rec.Date = t.tm_year >= 80 ? dosDate(t) : 0;
        rec.Time = t.tm_year >= 80 ? dosTime(t) : 0;
        rec.SizeLow = dir ? 0 : uint32_t(s.size);
        rec.SizeHigh = dir ? 0 : uint32_t(s.size >> 32);
        rec.Kind = dir ? 1 : 0;
        rec.Attr = uint8_t(attr);
        return 0;
    }
    return 18;
}

} // namespace

int PathFindFirst(std::string_view path, int kinds, int attrFlags, TqbFindRec& rec) {
    PathFindClose(rec);
    size_t slash = path.find_last_of("\\/");
    auto st = std::make_shared<TqbFindState>();
    st->folder =
        slash == std::string_view::npos ? std::string() : plat::ToNativePath(path.substr(0, slash + 1));
    st->pattern = std::string(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
    st->kinds = kinds;
    st->attrFlags = attrFlags;
    std::vector<plat::DirEntry> entries;
    if (plat::DirList(st->folder, entries) != 0) return 3;
    for (auto& e : entries)
        if (e.name.size() <= 35 && plat::FileNameMatches(st->pattern, e.name)) st->names.push_back(e.name);
    std::sort(st->names.begin(), st->names.end());
    rec.Handle = st;
    if (findFill(rec) != 0) {
        PathFindClose(rec);
        return 2;
    }
    return 0;
}

int PathFindNext(TqbFindRec& rec) {
    if (!rec.Handle) return 6; // invalid handle
    return findFill(rec);
}

void PathFindClose(TqbFindRec& rec) {
    rec.Handle.reset();
}

// ---------------------------------------------------------------------------------------------
// Bits and validity

void BitSetAll(uint8_t* bits, uint32_t n) {
    std::memset(bits, 255, (size_t(n) + 7) / 8);
}

bool IsValidBlockSize(uint32_t size) {
    return size == 4096 || size == 8192 || size == 16384 || size == 32768 || size == 65536;
}

int BlockSizeCode(uint32_t size) {
    switch (size) {
    case 8192:
        return 1;
    case 16384:
        return 2;
    case 32768:
        return 3;
    case 65536:
        return 4;
    default:
        return 0;
    }
}

namespace {
bool hasForbidden(std::string_view s) {
    return s.find_first_of("\"*./:<>?\\|") != std::string_view::npos;
}
} // namespace

bool IsValidName(std::string_view s, size_t maxLen) {
    return !s.empty() && s.size() <= maxLen && !hasForbidden(s);
}
bool IsValidTableName(std::string_view s) {
    return IsValidName(s, 31);
}
bool IsValidExtension(std::string_view s) {
    return !s.empty() && !hasForbidden(s.substr(0, 3));
}
bool IsValidKeyLength(int32_t len) {
    return len >= 1 && len <= 1024;
}
