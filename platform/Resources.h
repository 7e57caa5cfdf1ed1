// Raw-data resources compiled into the program, and the reader of "STR0" string tables.
//
// String-table layout (little-endian): "STR0", u32 count, count x {u32 id, u32 offset,
// u32 length in UTF-16 units} sorted by id, then the UTF-16LE texts at their offsets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct ResourceData {
    const unsigned char* data = nullptr;
    size_t size = 0;
};

// Registers a resource under a name (matched without regard to case). A second registration of
// the same name replaces the first.
void RegisterResource(std::string_view name, const unsigned char* data, size_t size);
std::optional<ResourceData> FindResource(std::string_view name);

// Read-only view of one string table. Every offset is checked against the resource's size: an
// entry whose text lies outside the resource is treated as missing.
class StringTable {
public:
    StringTable() = default;
    StringTable(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    // First four bytes are "STR0" and the directory fits inside the resource.
    bool HasSignature() const;
    bool Valid() const;
    uint32_t Count() const;
    uint32_t IdAt(uint32_t index) const;

    // Halving search over the directory.
    std::optional<std::u16string> Find(uint32_t id) const;
    // The text converted to Windows-1252.
    std::optional<std::string> FindAnsi(uint32_t id) const;

private:
    uint32_t u32(size_t at) const;
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

// Builds the bytes of a table from (id, text) pairs; ids are sorted, a later duplicate wins.
std::vector<unsigned char> BuildStringTable(std::vector<std::pair<uint32_t, std::u16string>> entries);

} // namespace plat
