// Resource registry and "STR0" string-table reading and building.
#include "platform/Resources.h"

#include "platform/Text.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace plat {

namespace {
std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, ResourceData>& registry() {
    static std::map<std::string, ResourceData> r;
    return r;
}
} // namespace

void RegisterResource(std::string_view name, const unsigned char* data, size_t size) {
    std::lock_guard<std::mutex> g(registryMutex());
    registry()[AsciiUpper(name)] = ResourceData{data, size};
}

std::optional<ResourceData> FindResource(std::string_view name) {
    std::lock_guard<std::mutex> g(registryMutex());
    auto it = registry().find(AsciiUpper(name));
    if (it == registry().end()) return std::nullopt;
    return it->second;
}

uint32_t StringTable::u32(size_t at) const {
    return uint32_t(data_[at]) | uint32_t(data_[at + 1]) << 8 | uint32_t(data_[at + 2]) << 16 |
           uint32_t(data_[at + 3]) << 24;
}

bool StringTable::HasSignature() const {
    return data_ && size_ >= 4 && std::equal(data_, data_ + 4, "STR0");
}

bool StringTable::Valid() const {
    if (!HasSignature() || size_ < 8) return false;
    uint64_t count = u32(4);
    return 8 + count * 12 <= size_;
}

uint32_t StringTable::Count() const {
    return Valid() ? u32(4) : 0;
}

uint32_t StringTable::IdAt(uint32_t index) const {
    return index < Count() ? u32(8 + size_t(index) * 12) : 0;
}

std::optional<std::u16string> StringTable::Find(uint32_t id) const {
    if (!Valid()) return std::nullopt;
    int64_t lo = 0, hi = int64_t(u32(4)) - 1;
    while (lo <= hi) {
        int64_t mid = (lo + hi) / 2;
        size_t e = 8 + size_t(mid) * 12;
        uint32_t eid = u32(e);
        if (eid == id) {
            uint64_t off = u32(e + 4), len = u32(e + 8);
            if (off + len * 2 > size_) return std::nullopt;
            std::u16string s(len, u'\0');
            for (uint64_t i = 0; i < len; ++i)
                s[i] = char16_t(data_[off + 2 * i] | data_[off + 2 * i + 1] << 8);
            return s;
        }
        if (eid < id)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return std::nullopt;
}

std::optional<std::string> StringTable::FindAnsi(uint32_t id) const {
    auto s = Find(id);
    if (!s) return std::nullopt;
    return Utf16ToAnsi(*s);
}

std::vector<unsigned char> BuildStringTable(std::vector<std::pair<uint32_t, std::u16string>> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<uint32_t, std::u16string>> uniq;
    for (auto& e : entries) {
        if (!uniq.empty() && uniq.back().first == e.first)
            uniq.back() = std::move(e);
        else
            uniq.push_back(std::move(e));
    }
    std::vector<unsigned char> out{'S', 'T', 'R', '0'};
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    put32(static_cast<uint32_t>(uniq.size()));
    uint32_t offset = 8 + 12 * static_cast<uint32_t>(uniq.size());
    for (auto& [id, text] : uniq) {
        put32(id);
        put32(offset);
        put32(static_cast<uint32_t>(text.size()));
        offset += 2 * static_cast<uint32_t>(text.size());
    }
    for (auto& [id, text] : uniq)
        for (char16_t u : text) {
            out.push_back(static_cast<unsigned char>(u & 0xFF));
            out.push_back(static_cast<unsigned char>(u >> 8));
        }
    return out;
}

} // namespace plat
