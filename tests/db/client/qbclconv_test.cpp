// Tests of the client-side conversions: type mapping, descriptors, and values both ways over real
// record images of a dictionary.
#include "db/client/qbclconv.h"

#include "classlib/SysUtils.h"
#include "db/base/qbllexcp.h"
#include "db/storage/qbstdate.h"
#include "platform/ByteCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Logical {
    uint16_t type, length, sub;
};
Logical logical(int32_t engineType, int32_t units) {
    Logical l{};
    EngineTypeToLogical(engineType, units, l.type, l.length, l.sub);
    return l;
}

// A record image with one field of the type, and its framework buffer.
struct OneField {
    TqbDataDictionary dict;
    std::vector<uint8_t> record, value;
    OneField(int32_t type, int32_t units) {
        dict.AddField("f", "", type, units, 0, false);
        record.assign(size_t(dict.RecordLength()), 0xCC);
        value.assign(64 + size_t(units) * 2, 0xEE);
    }
    int32_t size() const { return dict.FieldLength(0); }
    uint8_t* field() { return record.data() + dict.FieldOffset(0); }
    bool to() { return ValueToEngine(dict.FieldType(0), size(), value.data(), field()); }
    bool from() { return ValueFromEngine(dict.FieldType(0), size(), field(), value.data()); }
    void setText(const std::string& s) { std::memcpy(value.data(), s.c_str(), s.size() + 1); }
    std::string text() const { return reinterpret_cast<const char*>(value.data()); }
    double dbl() const {
        double d;
        std::memcpy(&d, value.data(), 8);
        return d;
    }
    void setDbl(double d) { std::memcpy(value.data(), &d, 8); }
};

} // namespace

TEST(ClientConv, TypeTableAndTheTypesWithoutALogicalForm) {
    EXPECT_EQ(logical(qbtBoolean, 0).type, qbfltBool);
    EXPECT_EQ(logical(qbtAutoInc, 10).sub, qbfstAutoInc);
    EXPECT_EQ(logical(qbtCurrency, 0).sub, qbfstMoney);
    EXPECT_EQ(logical(qbtByte, 0).type, qbfltWord16);
    EXPECT_EQ(logical(qbtInt8, 0).type, qbfltInt16);
    EXPECT_EQ(logical(qbtStDate, 0).type, qbfltDate);
    EXPECT_EQ(logical(qbtDateTime, 0).length, 8);
    EXPECT_EQ(logical(qbtBLOB + 1, 0).sub, qbfstMemo);
    EXPECT_EQ(logical(qbtBLOB + 4, 0).sub, qbfstGraphic);
    EXPECT_EQ(logical(qbtByteArray, 16).length, 16);
    // Text fields are strings of the characters they hold, long ones included: a string of 9000
    // characters lies inside the record and must not be taken for a BLOB number.
    for (int32_t t : {qbtShortString, qbtNullString, qbtNullAnsiStr, qbtWideString}) {
        EXPECT_EQ(logical(t, 40).type, qbfltString) << t;
        EXPECT_EQ(logical(t, 40).length, 40) << t;
    }
    EXPECT_EQ(logical(qbtNullString, 9000).type, qbfltString);
    EXPECT_EQ(logical(qbtWideString, 8193).length, 8193);
    // BLOB numbers keep their 64 bits.
    EXPECT_EQ(logical(qbtBLOB, 0).length, 8);
    for (int32_t bad : {26, 30, 44, 51}) {
        try {
            logical(bad, 0);
            ADD_FAILURE() << bad;
        } catch (const EqbClientException& e) {
            EXPECT_EQ(e.ErrorCode, 1008);
            EXPECT_EQ(e.Message(), "Invalid Parameter");
        }
    }
}

TEST(ClientConv, DescriptorsOfFieldsAndIndexes) {
    TqbDataDictionary d;
    d.AddField("name", "", qbtNullString, 30, 0, true);
    d.AddField("n", "", qbtInt32, 5, 0, false);
    TqbValidityCheck v;
    v.HasDefault = true;
    v.Default = std::string(4, '\0');
    d.AddField("dflt", "", qbtInt32, 5, 0, false, &v);
    d.AddField("money", "", qbtCurrency, 12, 2, false);
    const int32_t keys[] = {1, 0};
    d.AddIndex("byN", "", 0, 2, keys, nullptr, false, false, true);
    d.AddUserIndex("user", "", 0, 12, true, true, false);

    TqbFieldDescRec f, l;
    EngineFieldToFieldDesc(d.FieldDesc(0), f);
    EXPECT_EQ(f.FieldNum, 1);
    EXPECT_EQ(f.Name, "name");
    EXPECT_EQ(f.FldType, qbtNullString);
    EXPECT_EQ(f.Len, 31);
    EXPECT_EQ(f.VChk, 1);
    FieldDescToLogical(f, l);
    EXPECT_EQ(l.FldType, qbfltString);
    EXPECT_EQ(l.Len, 30);
    EXPECT_EQ(l.Units1, 30);
    EXPECT_EQ(l.VChk, 0);
    EngineFieldToFieldDesc(d.FieldDesc(1), f);
    EXPECT_EQ(f.VChk, 0);
    EXPECT_EQ(f.Offset, 31);
    EngineFieldToFieldDesc(d.FieldDesc(2), f);
    EXPECT_EQ(f.VChk, 1); // a default value
    EngineFieldToFieldDesc(d.FieldDesc(3), f);
    EXPECT_EQ(f.Units1, 12);
    EXPECT_EQ(f.Units2, 2);

    TqbIndexDescRec x;
    EngineIndexToIndexDesc(d.IndexDesc(d.GetIndexFromName("byN")), x);
    EXPECT_EQ(x.Name, "byN");
    EXPECT_EQ(x.Format, "BTREE");
    EXPECT_TRUE(x.Unique);
    EXPECT_TRUE(x.Descending);
    EXPECT_TRUE(x.Maintained);
    EXPECT_TRUE(x.CaseInsensitive);
    EXPECT_FALSE(x.ExpIdx);
    ASSERT_EQ(x.FldsInKey, 2);
    EXPECT_EQ(x.KeyFields[0], 2);
    EXPECT_EQ(x.KeyFields[1], 1);
    EngineIndexToIndexDesc(d.IndexDesc(d.GetIndexFromName("user")), x);
    EXPECT_TRUE(x.ExpIdx);
    EXPECT_EQ(x.FldsInKey, 0);
    EXPECT_EQ(x.KeyLen, 12);
    EXPECT_FALSE(x.Unique);
}

TEST(ClientConv, FrameworkKindsForQueryParameters) {
    int32_t t = 0, s = 0;
    FrameworkTypeToEngine(1, 20, t, s);
    EXPECT_EQ(t, qbtNullString);
    EXPECT_EQ(s, 20);
    FrameworkTypeToEngine(7, 0, t, s);
    EXPECT_EQ(t, qbtCurrency);
    EXPECT_EQ(s, 8);
    FrameworkTypeToEngine(13, 256, t, s);
    EXPECT_EQ(t, qbtShortString);
    FrameworkTypeToEngine(13, 300, t, s);
    EXPECT_EQ(t, 44);
    EXPECT_EQ(s, 0);
    FrameworkTypeToEngine(24, 10, t, s);
    EXPECT_EQ(t, qbtWideString);
    FrameworkTypeToEngine(16, 0, t, s);
    EXPECT_EQ(t, qbtBLOB + 1);
    EXPECT_EQ(s, 8);
    FrameworkTypeToEngine(22, 10, t, s);
    EXPECT_EQ(t, 44);
    EXPECT_EQ(ProtocolFromName("TCP/IP"), 1);
    EXPECT_EQ(ProtocolFromName("IPX/SPX"), 2);
    EXPECT_EQ(ProtocolFromName("tcp/ip"), 0);
}

TEST(ClientConv, NumbersBooleansAndCurrency) {
    OneField b(qbtBoolean, 0);
    plat::StoreLE16(b.value.data(), 5);
    EXPECT_TRUE(b.to());
    EXPECT_EQ(*b.field(), 1);
    EXPECT_TRUE(b.from());
    EXPECT_EQ(int16_t(plat::LoadLE16(b.value.data())), -1);

    OneField c(qbtCurrency, 12);
    c.setDbl(12.3456);
    EXPECT_TRUE(c.to());
    EXPECT_EQ(int64_t(plat::LoadLE64(c.field())), 123456);
    c.setDbl(0);
    EXPECT_TRUE(c.from());
    EXPECT_DOUBLE_EQ(c.dbl(), 12.3456);
    // Too large for the 64-bit integer: saturates, never an undefined conversion.
    c.setDbl(1e300);
    EXPECT_TRUE(c.to());
    EXPECT_EQ(int64_t(plat::LoadLE64(c.field())), INT64_MAX);

    OneField u(qbtByte, 3), s(qbtInt8, 3);
    *u.field() = 0xF0;
    *s.field() = 0xF0;
    u.from();
    s.from();
    EXPECT_EQ(plat::LoadLE16(u.value.data()), 0xF0);
    EXPECT_EQ(int16_t(plat::LoadLE16(s.value.data())), -16);

    OneField e(qbtExtended, 10), f(qbtSingle, 5), k(qbtComp, 10);
    e.setDbl(-2.5);
    f.setDbl(0.25);
    k.setDbl(41.6);
    EXPECT_TRUE(e.to() && f.to() && k.to());
    EXPECT_EQ(int64_t(plat::LoadLE64(k.field())), 42);
    e.setDbl(0);
    f.setDbl(0);
    EXPECT_TRUE(e.from() && f.from() && k.from());
    EXPECT_DOUBLE_EQ(e.dbl(), -2.5);
    EXPECT_DOUBLE_EQ(f.dbl(), 0.25);
    EXPECT_DOUBLE_EQ(k.dbl(), 42.0);
}

TEST(ClientConv, DatesTimesAndTimeStamps) {
    OneField d(qbtStDate, 0);
    plat::StoreLE32(d.value.data(), uint32_t(cls::DateDelta));
    EXPECT_TRUE(d.to());
    int32_t day = 0, month = 0, year = 0;
    StDateToDMY(int32_t(plat::LoadLE32(d.field())), day, month, year);
    EXPECT_EQ(year * 10000 + month * 100 + day, 18991230);
    plat::StoreLE32(d.value.data(), 0);
    EXPECT_TRUE(d.from());
    EXPECT_EQ(int32_t(plat::LoadLE32(d.value.data())), cls::DateDelta);
    // Blank from the engine; a day the engine cannot store.
    plat::StoreLE32(d.field(), uint32_t(kBlankStDate));
    EXPECT_FALSE(d.from());
    plat::StoreLE32(d.value.data(), 5);
    EXPECT_FALSE(d.to());
    EXPECT_EQ(plat::LoadLE32(d.field()), 0u);

    OneField t(qbtStTime, 0);
    plat::StoreLE32(t.field(), 3600);
    EXPECT_TRUE(t.from());
    EXPECT_EQ(plat::LoadLE32(t.value.data()), 3600000u);
    plat::StoreLE32(t.value.data(), 7199999);
    EXPECT_TRUE(t.to());
    EXPECT_EQ(plat::LoadLE32(t.field()), 7199u);
    plat::StoreLE32(t.field(), uint32_t(kBlankStTime));
    EXPECT_FALSE(t.from());

    OneField s(qbtDateTime, 0);
    s.setDbl(cls::MSecsPerDay / 2.0);
    EXPECT_TRUE(s.to());
    double days;
    std::memcpy(&days, s.field(), 8);
    EXPECT_DOUBLE_EQ(days, 0.5);
    s.setDbl(0);
    EXPECT_TRUE(s.from());
    EXPECT_DOUBLE_EQ(s.dbl(), cls::MSecsPerDay / 2.0);
}

TEST(ClientConv, TextsStayInsideTheirFields) {
    // A short string of 5 characters: a longer text is cut to 5, and the byte after the field
    // (the next field or the null bits) is untouched.
    OneField s(qbtShortString, 5);
    s.setText("abcdefghijklmnop");
    EXPECT_TRUE(s.to());
    EXPECT_EQ(s.field()[0], 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.field() + 1), 5), "abcde");
    EXPECT_EQ(s.record[size_t(s.size())], 0xCC);
    std::fill(s.value.begin(), s.value.end(), 0xEE);
    s.field()[0] = 200; // a length byte beyond the field
    EXPECT_TRUE(s.from());
    EXPECT_EQ(s.text(), "abcde");
    EXPECT_EQ(s.value[6], 0xEE);

    OneField z(qbtNullString, 4);
    z.setText("wxyz-more");
    EXPECT_TRUE(z.to());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(z.field())), "wxyz");
    EXPECT_EQ(z.record[5], 0xCC);
    std::fill(z.value.begin(), z.value.end(), 0xEE);
    EXPECT_TRUE(z.from());
    EXPECT_EQ(z.text(), "wxyz");
    EXPECT_EQ(z.value[5], 0xEE);

    // A wide string of 3 characters is 8 bytes: at most 3 characters, counted in characters.
    OneField w(qbtWideString, 3);
    w.setText("\xE9t\xE9-long");
    EXPECT_TRUE(w.to());
    EXPECT_EQ(plat::LoadLE16(w.field()), 0xE9u);
    EXPECT_EQ(plat::LoadLE16(w.field() + 4), 0xE9u);
    EXPECT_EQ(plat::LoadLE16(w.field() + 6), 0u);
    EXPECT_EQ(w.record[8], 0xCC);
    std::fill(w.value.begin(), w.value.end(), 0xEE);
    plat::StoreLE16(w.field() + 6, 'x'); // no terminator in the field
    EXPECT_TRUE(w.from());
    EXPECT_EQ(w.text(), "\xE9t\xE9");
    EXPECT_EQ(w.value[4], 0xEE);

    OneField c(qbtChar, 1), wc(qbtWideChar, 1);
    c.setText("Q");
    wc.setText("\x80");
    EXPECT_TRUE(c.to() && wc.to());
    EXPECT_EQ(plat::LoadLE16(wc.field()), 0x20ACu);
    std::fill(c.value.begin(), c.value.end(), 0xEE);
    std::fill(wc.value.begin(), wc.value.end(), 0xEE);
    EXPECT_TRUE(c.from() && wc.from());
    EXPECT_EQ(c.text(), "Q");
    EXPECT_EQ(wc.text(), "\x80");

    // A long text field round-trips as text.
    OneField big(qbtNullString, 9000);
    const std::string long_(9000, 'm');
    big.setText(long_);
    EXPECT_TRUE(big.to());
    big.value.assign(big.value.size(), 0);
    EXPECT_TRUE(big.from());
    EXPECT_EQ(big.text(), long_);
}

TEST(ClientConv, BlobNumbersKeepAll64Bits) {
    OneField b(qbtBLOB + 1, 0);
    plat::StoreLE64(b.value.data(), 0x1122334455667788ull);
    EXPECT_TRUE(b.to());
    EXPECT_EQ(plat::LoadLE64(b.field()), 0x1122334455667788ull);
    plat::StoreLE64(b.field(), 0xA1B2C3D4E5F60718ull);
    EXPECT_TRUE(b.from());
    EXPECT_EQ(plat::LoadLE64(b.value.data()), 0xA1B2C3D4E5F60718ull);

    OneField r(qbtByteArray, 6);
    std::memcpy(r.value.data(), "\0\1\2\3\4\5", 6);
    EXPECT_TRUE(r.to());
    EXPECT_EQ(std::memcmp(r.field(), "\0\1\2\3\4\5", 6), 0);
    EXPECT_EQ(r.record[6], 0xCC);

    uint8_t in[16] = {}, out[16] = {};
    EXPECT_FALSE(ValueToEngine(30, 8, in, out));
    EXPECT_FALSE(ValueFromEngine(51, 8, in, out));
}
