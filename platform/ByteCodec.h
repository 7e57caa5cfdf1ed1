// Bounds-checked little-endian byte codec for every on-disk and wire format: a reader that fails
// cleanly at the end of its bytes, and writers into a growing string or a fixed buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace plat {

// Unchecked loads and stores for code that has checked its bounds already.
inline uint16_t LoadLE16(const void* p) {
    auto b = static_cast<const uint8_t*>(p);
    return uint16_t(b[0] | (b[1] << 8));
}
inline uint32_t LoadLE32(const void* p) {
    auto b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t LoadLE64(const void* p) {
    auto b = static_cast<const uint8_t*>(p);
    return uint64_t(LoadLE32(b)) | (uint64_t(LoadLE32(b + 4)) << 32);
}
inline void StoreLE16(void* p, uint16_t v) {
    auto b = static_cast<uint8_t*>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}
inline void StoreLE32(void* p, uint32_t v) {
    auto b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = uint8_t(v >> (8 * i));
}
inline void StoreLE64(void* p, uint64_t v) {
    StoreLE32(p, uint32_t(v));
    StoreLE32(static_cast<uint8_t*>(p) + 4, uint32_t(v >> 32));
}

// Reads from a span of bytes. A read past the end (or a seek outside) gives 0 / nothing and puts
// the reader in the failed state, which stays: a parser reads a whole record and checks ok() once.
class ByteReader {
public:
    ByteReader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), size_(size) {}
    explicit ByteReader(std::string_view s) : ByteReader(s.data(), s.size()) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t size() const { return size_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    // Whether count more bytes are there; failing when not.
    bool need(size_t count) {
        if (ok_ && count <= size_ - pos_) return true;
        ok_ = false;
        return false;
    }
    void fail() { ok_ = false; }

    uint8_t u8() { return need(1) ? p_[pos_++] : 0; }
    uint16_t u16() { return take<uint16_t>(2, LoadLE16); }
    uint32_t u32() { return take<uint32_t>(4, LoadLE32); }
    uint64_t u64() { return take<uint64_t>(8, LoadLE64); }
    int8_t i8() { return int8_t(u8()); }
    int16_t i16() { return int16_t(u16()); }
    int32_t i32() { return int32_t(u32()); }
    int64_t i64() { return int64_t(u64()); }

    // count bytes into out; on failure out is zero-filled.
    bool bytes(void* out, size_t count) {
        if (!need(count)) {
            if (count) std::memset(out, 0, count);
            return false;
        }
        if (count) std::memcpy(out, p_ + pos_, count);
        pos_ += count;
        return true;
    }
    // A view of the next count bytes (empty on failure).
    std::string_view view(size_t count) {
        if (!need(count)) return {};
        std::string_view v(reinterpret_cast<const char*>(p_) + pos_, count);
        pos_ += count;
        return v;
    }
    void skip(size_t count) {
        if (need(count)) pos_ += count;
    }
    void seek(size_t pos) {
        if (ok_ && pos <= size_)
            pos_ = pos;
        else
            ok_ = false;
    }
    // A length byte and that many bytes; maxLen bounds the length (a longer one fails).
    std::string shortString(size_t maxLen = 255) {
        size_t n = u8();
        if (n > maxLen) {
            ok_ = false;
            return {};
        }
        return std::string(view(n));
    }

private:
    template <class T, class F> T take(size_t n, F load) {
        if (!need(n)) return 0;
        T v = T(load(p_ + pos_));
        pos_ += n;
        return v;
    }

    const uint8_t* p_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Appends to a string.
class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(std::string& out) : out_(&out) {}
    ByteWriter(const ByteWriter&) = delete;
    ByteWriter& operator=(const ByteWriter&) = delete;

    void u8(uint8_t v) { out_->push_back(char(v)); }
    void u16(uint16_t v) { put(&v, 2, StoreLE16); }
    void u32(uint32_t v) { put(&v, 4, StoreLE32); }
    void u64(uint64_t v) { put(&v, 8, StoreLE64); }
    void i8(int8_t v) { u8(uint8_t(v)); }
    void i16(int16_t v) { u16(uint16_t(v)); }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void bytes(const void* p, size_t n) { out_->append(static_cast<const char*>(p), n); }
    void bytes(std::string_view s) { out_->append(s); }
    void zeros(size_t n) { out_->append(n, '\0'); }
    // A length byte and the text; false (and nothing written) when it is longer than 255.
    bool shortString(std::string_view s) {
        if (s.size() > 255) return false;
        u8(uint8_t(s.size()));
        bytes(s);
        return true;
    }

    size_t size() const { return out_->size(); }
    const std::string& str() const { return *out_; }
    std::string take() { return std::move(*out_); }

private:
    template <class T, class F> void put(const T* v, size_t n, F store) {
        char b[8];
        store(b, *v);
        out_->append(b, n);
    }

    std::string own_;
    std::string* out_ = &own_;
};

// Writes into a fixed buffer at any position; a write outside it writes nothing and fails, and
// the failed state stays.
class ByteSpanWriter {
public:
    ByteSpanWriter(void* data, size_t size) : p_(static_cast<uint8_t*>(data)), size_(size) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    void seek(size_t pos) {
        if (ok_ && pos <= size_)
            pos_ = pos;
        else
            ok_ = false;
    }

    void u8(uint8_t v) {
        if (need(1)) p_[pos_++] = v;
    }
    void u16(uint16_t v) { put(v, 2, StoreLE16); }
    void u32(uint32_t v) { put(v, 4, StoreLE32); }
    void u64(uint64_t v) { put(v, 8, StoreLE64); }
    void i16(int16_t v) { u16(uint16_t(v)); }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void bytes(const void* src, size_t n) {
        if (!need(n)) return;
        if (n) std::memcpy(p_ + pos_, src, n);
        pos_ += n;
    }
    void fill(uint8_t v, size_t n) {
        if (!need(n)) return;
        std::memset(p_ + pos_, v, n);
        pos_ += n;
    }

private:
    bool need(size_t n) {
        if (ok_ && n <= size_ - pos_) return true;
        ok_ = false;
        return false;
    }
    template <class T, class F> void put(T v, size_t n, F store) {
        if (!need(n)) return;
        store(p_ + pos_, v);
        pos_ += n;
    }

    uint8_t* p_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

} // namespace plat
