// String-table reader: opening and checking a "STR0" table, look-ups by id, the global readers.
#include "db/base/qbsrmgr.h"

#include "db/base/qbllexcp.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <mutex>

void registerDbBaseStrings(); // generated from db/base/strings/*.str

namespace {

// The reader's own error; its text comes from "QBSRMGR_STRINGS" unless that table is the one
// being opened (or is unusable), in which case the message is empty but still coded by class.
[[noreturn]] void raiseReaderError(int32_t code, const QbFormatArgs& args, bool selfTable) {
    std::string text;
    if (!selfTable) {
        try {
            text = qbFormat(SrMgrStrings().GetText(code), args);
        } catch (const std::exception&) {
        }
    }
    throw EqbStringResourceError(text);
}

// Directory in bounds, ids strictly ascending, every text inside the resource.
bool wellFormed(const plat::StringTable& t, size_t size, const unsigned char* data) {
    if (!t.Valid()) return false;
    uint32_t count = t.Count();
    auto u32 = [&](size_t at) {
        return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
               uint32_t(data[at + 3]) << 24;
    };
    for (uint32_t i = 0; i < count; ++i) {
        size_t e = 8 + size_t(i) * 12;
        uint64_t off = u32(e + 4), len = u32(e + 8);
        if (off + 2 * len > size) return false;
        if (i > 0 && u32(e) <= u32(e - 12)) return false;
    }
    return true;
}

} // namespace

TqbStringResource::TqbStringResource(std::string_view resourceName) {
    openResource(resourceName);
}

void TqbStringResource::openResource(std::string_view name) {
    std::lock_guard g(padlock_);
    registerDbBaseStrings();
    std::string n(name.substr(0, 255));
    bool self = plat::SameTextAscii(n, "QBSRMGR_STRINGS");
    auto res = plat::FindResource(n);
    if (!res) raiseReaderError(3, {n}, self);
    plat::StringTable t(res->data, res->size);
    if (!t.HasSignature() || !wellFormed(t, res->size, res->data)) raiseReaderError(5, {}, self);
    table_ = t;
    name_ = n;
    open_ = true;
}

void TqbStringResource::ChangeResource(std::string_view resourceName) {
    {
        std::lock_guard g(padlock_);
        table_ = plat::StringTable();
        name_.clear();
        open_ = false;
    }
    if (!resourceName.empty()) openResource(resourceName);
}

std::u16string TqbStringResource::findText(int32_t id, bool& found) {
    std::optional<std::u16string> s;
    {
        std::lock_guard g(padlock_);
        if (open_ && id >= 0) s = table_.Find(uint32_t(id));
    }
    found = s.has_value();
    if (!found && raiseIfMissing_) raiseReaderError(1, {id}, false);
    return s ? std::move(*s) : std::u16string();
}

std::string TqbStringResource::GetText(int32_t id) {
    bool found;
    return plat::Utf16ToAnsi(findText(id, found));
}

char* TqbStringResource::GetTextBuf(int32_t id, char* buffer, size_t size) {
    if (!buffer || size == 0) return buffer;
    bool found = false;
    std::u16string w;
    try {
        w = findText(id, found);
    } catch (const EqbStringResourceError&) {
        w.clear(); // the buffer form never raises: an unknown id is an empty text
    }
    // The longest prefix, in whole characters, whose 8-bit form fits: one byte per character,
    // a surrogate pair included.
    size_t units = 0, bytes = 0;
    while (units < w.size() && bytes < size - 1) {
        bool pair = units + 1 < w.size() && w[units] >= 0xD800 && w[units] <= 0xDBFF &&
                    w[units + 1] >= 0xDC00 && w[units + 1] <= 0xDFFF;
        units += pair ? 2 : 1;
        ++bytes;
    }
    std::string a = plat::Utf16ToAnsi(std::u16string_view(w).substr(0, units));
    if (a.size() > size - 1) a.resize(size - 1); // cannot happen with a one-byte code page; kept safe
    std::memcpy(buffer, a.data(), a.size());
    buffer[a.size()] = '\0';
    return buffer;
}

TqbStringResource& SrMgrStrings() {
    // Never freed: threads still running at exit may look texts up.
    static TqbStringResource& r = *new TqbStringResource("QBSRMGR_STRINGS");
    return r;
}

TqbStringResource& GeneralStrings() {
    // Never freed: threads still running at exit may look texts up.
    static TqbStringResource& r = *new TqbStringResource("QB_GENERAL_STRINGS");
    return r;
}

TqbStringResource& CompatErrorStrings() {
    // Never freed: threads still running at exit may look texts up.
    static TqbStringResource& r = *new TqbStringResource("QB_COMPAT_ERROR_STRINGS");
    return r;
}
