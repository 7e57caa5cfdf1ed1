// Tests of the little-endian byte codec: exact bytes, and reads and writes past the end.
#include "platform/ByteCodec.h"

#include <gtest/gtest.h>

using namespace plat;

namespace {

TEST(ByteCodec, WritesAndReadsLittleEndianValues) {
    std::string out;
    ByteWriter w(out);
    w.u8(0x01);
    w.u16(0x0302);
    w.u32(0x07060504);
    w.u64(0x0F0E0D0C0B0A0908ull);
    w.i32(-2);
    EXPECT_TRUE(w.shortString("abc"));
    EXPECT_FALSE(w.shortString(std::string(256, 'x')));
    EXPECT_EQ(out, std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
                               "\xFE\xFF\xFF\xFF\x03"
                               "abc",
                               23));

    ByteReader r(out);
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x0302);
    EXPECT_EQ(r.u32(), 0x07060504u);
    EXPECT_EQ(r.u64(), 0x0F0E0D0C0B0A0908ull);
    EXPECT_EQ(r.i32(), -2);
    EXPECT_EQ(r.shortString(), "abc");
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteCodec, ReadingPastTheEndFailsAndStaysFailed) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    ByteReader r(bytes, sizeof bytes);
    r.skip(2);
    EXPECT_EQ(r.u32(), 0u); // three bytes left: nothing is read
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0); // and nothing more after a failure
    EXPECT_EQ(r.remaining(), 0u);

    ByteReader s(bytes, sizeof bytes);
    char buf[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(s.bytes(buf, 6));
    EXPECT_EQ(buf[0], 0);
    ByteReader t(bytes, sizeof bytes);
    t.seek(6);
    EXPECT_FALSE(t.ok());
    ByteReader u(bytes, sizeof bytes);
    u.skip(~size_t(0)); // a length near the top of the range does not wrap
    EXPECT_FALSE(u.ok());
    // A length byte that claims more than there is, or more than allowed.
    const uint8_t str[] = {4, 'a', 'b'};
    ByteReader v(str, sizeof str);
    EXPECT_EQ(v.shortString(), "");
    EXPECT_FALSE(v.ok());
    ByteReader x(str, sizeof str);
    EXPECT_EQ(x.shortString(1), "");
    EXPECT_FALSE(x.ok());
}

TEST(ByteCodec, SpanWriterNeverWritesOutsideItsBuffer) {
    uint8_t buf[8] = {};
    ByteSpanWriter w(buf, 6);
    w.u32(0xAABBCCDD);
    w.u32(0x11223344); // two bytes left
    EXPECT_FALSE(w.ok());
    w.seek(0);
    w.u8(0x55); // failed state stays
    EXPECT_EQ(buf[0], 0xDD);
    EXPECT_EQ(buf[4], 0);
    EXPECT_EQ(buf[6], 0);
    ByteSpanWriter z(buf, 8);
    z.seek(4);
    z.u16(0x0201);
    z.fill(0xEE, 2);
    EXPECT_TRUE(z.ok());
    EXPECT_EQ(LoadLE32(buf + 4), 0xEEEE0201u);
    z.fill(0, 1);
    EXPECT_FALSE(z.ok());
}

} // namespace
