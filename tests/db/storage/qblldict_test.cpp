// Data dictionary, its value stream and "DICT" stream blocks, index helpers and composite keys.
#include "TableFileSupport.h"

#include "db/storage/qbtbstrm.h"

#include <random>

using dbtest::raised;
using namespace tabletest;

namespace {

int code(const std::function<void()>& f) {
    return raised<EqbException>(f).code;
}

int sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

std::string str(std::string_view s) {
    return "\x06" + std::string(1, char(s.size())) + std::string(s);
}

// The contacts dictionary's stream, written down from the value encoding: tags 8/9 Booleans,
// 2 and 3 integers, 6 strings.
std::string contactsStream() {
    std::string s = "\x08"; // not encrypted
    s += std::string("\x02\x01") + str("Data/DataDict File") + str("QB2") +
         std::string("\x03\x00\x10\x02\x00", 5);
    s += "\x02\x0e"; // 14 fields
    auto field = [&](std::string_view name, std::string_view desc, int units, int offset, int length,
                     int type, bool required) {
        s += str(name) + str(desc);
        for (int v : {units, 0, offset, length, type}) {
            s += '\x02';
            s += char(v);
        }
        s += required ? "\x09" : "\x08";
        s += "\x08"; // no validity record
    };
    field("name", "Contact name", 40, 0, 41, 46, true);
    field("id", "Pager ID or alias", 40, 41, 41, 46, false);
    field("servicenumber", "Paging service", 2, 82, 4, 8, false);
    field("password", "Pager PIN", 20, 86, 21, 46, false);
    for (int i = 1; i <= 10; ++i)
        field("memberGr" + std::to_string(i), "Group " + std::to_string(i), 0, 106 + i, 1, 0, false);
    s += "\x02\x75"; // logical record length 117
    s += "\x02\x02"; // two indexes, the second written
    s += str("nameIndex") + str("Contacts by name") + std::string("\x02\x00\x02\x2a\x02\x01\x02\x00", 8);
    s += "\x09\x09\x09";
    return s;
}

// Enough fields that the dictionary's stream needs three 4 KB blocks.
TqbServerDataDict wideDictionary(const char* name) {
    TqbServerDataDict d(4096);
    d.SetTableName(name);
    for (int i = 0; i < 150; ++i)
        d.AddField("field_with_a_long_name_" + std::to_string(i), std::string(40, 'd'), qbtInt8, 0, 0, false);
    return d;
}

} // namespace

TEST(DataDictionary, ContactsStreamGoldenBytesAndRoundTrip) {
    TqbServerDataDict d = contactsDictionary();
    EXPECT_EQ(d.RecordLength(), 119);
    std::string s;
    d.WriteToStream(s);
    EXPECT_EQ(hex(s), hex(contactsStream()));

    TqbDataDictionary back;
    back.SetTableName("contacts");
    back.ReadFromStream(s);
    std::string again;
    back.WriteToStream(again);
    EXPECT_EQ(again, s);
    EXPECT_EQ(back.GetIndexFromName("NAMEINDEX"), 1);
    EXPECT_EQ(back.IndexKeyLength(1), 42);
    EXPECT_EQ(back.FieldOffset(back.GetFieldFromName("MEMBERGR10")), 116);
    // Index 0 comes from the constructor, never from the stream.
    EXPECT_EQ(back.IndexKeyLength(0), 8);
    EXPECT_EQ(back.IndexName(0), "Sequential Access Index");

    // Validity values of every length, helper names and flags come back as written.
    TqbDataDictionary v;
    TqbValidityCheck wide;
    wide.HasDefault = wide.HasMaximum = true;
    wide.Maximum = std::string(400, 'z');
    wide.Default = std::string(400, 'a');
    wide.Picture = "###";
    v.AddField("code", "", qbtShortString, 10, 0, false);
    v.AddField("text", "", qbtWideString, 199, 0, false, &wide);
    v.AddField("n", "", qbtDouble, 12, 3, true);
    const int32_t keyFields[2] = {0, 2};
    const std::string helpers[2] = {"NumbersOnly", ""};
    v.AddIndex("codes", "", 0, 2, keyFields, helpers, false, false, true);
    v.AddUserIndex("user", "", 0, 12, true, true, false);
    std::string vs;
    v.WriteToStream(vs);
    TqbDataDictionary vb;
    vb.ReadFromStream(vs);
    std::string vs2;
    vb.WriteToStream(vs2);
    EXPECT_EQ(vs2, vs);
    ASSERT_NE(vb.FieldVCheck(1), nullptr);
    EXPECT_EQ(vb.FieldVCheck(1)->Maximum, wide.Maximum);
    EXPECT_EQ(vb.IndexDesc(1).HelperNames[0], "NumbersOnly");
    EXPECT_TRUE(vb.IsIndexDescUserDefined(2));
    EXPECT_FALSE(vb.IndexIsAscending(1));
    EXPECT_EQ(vb.FieldDecPl(2), 3);
}

TEST(DataDictionary, StreamDecodingRefusesBadBytesAndKeepsTheDictionary) {
    const std::string good = contactsStream();
    TqbDataDictionary d = contactsDictionary();
    std::string before;
    d.WriteToStream(before);
    // Every cut of the stream and every single-byte change that breaks it raises 32.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_EQ(code([&] { d.ReadFromStream(std::string_view(good).substr(0, n)); }), 32) << n;
    }
    auto patched = [&](size_t at, std::string_view bytes) {
        std::string s = good;
        s.replace(at, bytes.size(), bytes);
        return s;
    };
    const size_t idxCount = good.find(str("nameIndex")) - 2;
    EXPECT_EQ(code([&] { d.ReadFromStream(patched(idxCount, std::string("\x03\x01\x01", 3))); }),
              32); // 257 indexes
    const size_t keyCount = good.find(std::string("\x02\x01\x02\x00\x09", 5), idxCount);
    EXPECT_EQ(code([&] { d.ReadFromStream(patched(keyCount, "\x02\x11")); }), 32); // 17 key fields
    const size_t fieldCount = good.find("\x02\x0e");
    EXPECT_EQ(code([&] { d.ReadFromStream(patched(fieldCount, "\x02\x7f")); }), 32);
    const size_t offset = good.find(str("id")) + 4 + 19 + 4;
    EXPECT_EQ(code([&] { d.ReadFromStream(patched(offset, "\x02\x2a")); }), 32)
        << "offset not where the fields put it";
    EXPECT_EQ(code([&] { d.ReadFromStream(good + "x"); }), 32);
    std::string after;
    d.WriteToStream(after);
    EXPECT_EQ(after, before);
}

// Units come from files and the wire: they are checked against the longest record before a length
// is computed from them, and the lengths of all fields together never outgrow it either.
TEST(DataDictionary, UnitsAreCheckedBeforeALengthIsComputed) {
    const int32_t longest = 65536 - 36;
    const std::tuple<int, int32_t, int32_t> largest[] = {
        {qbtWideString, longest / 2 - 1, longest},
        {qbtNullString, longest - 1, longest},
        {qbtNullAnsiStr, longest - 1, longest},
        {qbtByteArray, longest, longest},
    };
    for (auto [fieldType, units, length] : largest) {
        const int type = fieldType; // a lambda below takes it: clang 14 refuses a captured binding
        TqbDataDictionary d;
        d.AddField("f", "", type, units, 0, false);
        EXPECT_EQ(d.FieldLength(0), length) << type;
        for (int32_t bad : {units + 1, INT32_MAX, INT32_MAX / 2, -1, INT32_MIN})
            EXPECT_EQ(code([&] { d.AddField("g", "", type, bad, 0, false); }), 338) << type << " " << bad;
        EXPECT_EQ(code([&] { d.AddField("h", "", qbtBoolean, 0, 0, false); }), 326) << type;
    }
    // A stream naming such units is refused whole.
    std::string s =
        "\x08" + std::string("\x02\x01") + str("Data") + str("QB2") + std::string("\x03\x00\x10\x02\x00", 5);
    s += "\x02\x01" + str("w") + str("") +
         std::string("\x04\xff\xff\xff\x7f\x02\x00\x02\x00\x02\x00\x02\x32\x08\x08", 15);
    s += "\x02\x00\x02\x01";
    TqbDataDictionary d = contactsDictionary();
    EXPECT_EQ(code([&] { d.ReadFromStream(s); }), 32);
    EXPECT_EQ(d.FieldCount(), 14);
}

TEST(DataDictionary, BuildingRules) {
    TqbDataDictionary d;
    EXPECT_EQ(code([&] { d.CheckValid(); }), 323);
    d.AddField("a", "", qbtShortString, 10, 0, false);
    d.AddField("b", "", qbtShortString, 20, 0, false);
    d.AddField("c", "", qbtShortString, 30, 0, false);
    EXPECT_EQ(d.FieldOffset(1), 11);
    EXPECT_EQ(d.FieldOffset(2), 32);
    EXPECT_EQ(d.LogicalRecordLength(), 63);
    EXPECT_EQ(d.RecordLength(), 64);
    EXPECT_EQ(code([&] { d.AddField("B", "", qbtInt8, 0, 0, false); }), 341);
    EXPECT_EQ(code([&] { d.AddField("r", "", 30, 0, 0, false); }), 325);
    // A length byte cannot tell more than 255 characters.
    EXPECT_EQ(code([&] { d.AddField("long", "", qbtShortString, 256, 0, false); }), 338);
    d.AddField("byte", "", qbtByte, 7, 0, false);
    EXPECT_EQ(d.FieldUnits(3), 3);
    d.AddField("auto", "", qbtAutoInc, 3, 0, true);
    EXPECT_FALSE(d.FieldRequired(4));
    EXPECT_EQ(d.FieldUnits(4), 10);
    EXPECT_EQ(code([&] { d.FieldLength(5); }), 320);

    TqbDataDictionary one;
    one.AddField("flag", "", qbtBoolean, 0, 0, false);
    EXPECT_EQ(one.LogicalRecordLength(), 8);
    EXPECT_EQ(one.RecordLength(), 9);

    TqbDataDictionary big;
    big.AddField("bytes", "", qbtByteArray, 4096 - 36 - 1, 0, false);
    EXPECT_NO_THROW(big.CheckValid());
    TqbDataDictionary tooBig;
    tooBig.AddField("bytes", "", qbtByteArray, 4096 - 36, 0, false);
    EXPECT_EQ(code([&] { tooBig.CheckValid(); }), 326);

    EXPECT_EQ(code([&] { d.AddFile("", "a.b", qbfIndex, 4096); }), 334);
    EXPECT_EQ(code([&] { d.AddFile("", "", qbfIndex, 4096); }), 334);
    EXPECT_EQ(code([&] { d.AddFile("", "QB2", qbfIndex, 4096); }), 335);
    EXPECT_EQ(d.AddFile("", "qb2", qbfIndex, 4096), 1); // extensions compare exactly
    EXPECT_EQ(code([&] { d.AddFile("", "DAT", qbfData, 4096); }), 336);
    EXPECT_EQ(d.AddFile("", "BLB", qbfBLOB, 8192), 2);
    EXPECT_EQ(d.BLOBFileNumber(), 2);
    EXPECT_EQ(code([&] { d.AddFile("", "BL2", qbfBLOB, 4096); }), 330);
    EXPECT_EQ(code([&] { d.AddFile("", "X", qbfIndex, 2048); }), 339);

    int32_t fields[9] = {3, 3, 3, 3, 3, 3, 3, 3, 3};
    EXPECT_EQ(code([&] { d.AddIndex("bad", "", 7, 1, fields, nullptr, false, true, false); }), 332);
    int32_t missing = 99;
    EXPECT_EQ(code([&] { d.AddIndex("bad", "", 0, 1, &missing, nullptr, false, true, false); }), 324);
    int32_t nine = d.AddIndex("nine", "", 0, 9, fields, nullptr, false, true, false);
    EXPECT_EQ(d.IndexKeyLength(nine), 9 + 2); // two bytes of null bits above 8 fields
    EXPECT_EQ(d.GetBookmarkSize(nine), 11 + 24);
    EXPECT_EQ(code([&] { d.AddIndex("NINE", "", 0, 1, fields, nullptr, false, true, false); }), 342);
    EXPECT_EQ(code([&] { d.AddUserIndex("u", "", 0, 1025, false, true, false); }), 340);

    // 257 indexes are one too many.
    TqbDataDictionary many;
    many.AddField("f", "", qbtInt32, 0, 0, false);
    const int32_t f0 = 0;
    for (int i = 1; i < 256; ++i)
        many.AddIndex("i" + std::to_string(i), "", 0, 1, &f0, nullptr, true, true, false);
    EXPECT_NO_THROW(many.CheckValid());
    many.AddIndex("last", "", 0, 1, &f0, nullptr, true, true, false);
    EXPECT_EQ(code([&] { many.CheckValid(); }), 82);

    // Once built, only indexes may be added.
    TqbServerDataDict built = contactsDictionary();
    built.SetBuiltFlag();
    EXPECT_EQ(code([&] { built.AddField("x", "", qbtInt8, 0, 0, false); }), 328);
    EXPECT_EQ(code([&] { built.SetBlockSize(8192); }), 328);
    const int32_t id = 1;
    EXPECT_EQ(built.AddIndex("idIndex", "", 0, 1, &id, nullptr, false, true, true), 2);
}

TEST(DataDictionary, RecordAndKeyNullBits) {
    TqbDataDictionary d = contactsDictionary();
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    d.InitRecord(rec.data());
    for (int32_t f = 0; f < d.FieldCount(); ++f)
        EXPECT_TRUE(d.IsRecordFieldNull(f, rec.data()));
    EXPECT_FALSE(d.CheckRequiredFields(rec.data()));
    const int32_t service = 7;
    d.SetRecordField(2, rec.data(), &service);
    EXPECT_FALSE(d.IsRecordFieldNull(2, rec.data()));
    EXPECT_EQ(rec[117], 0xFB); // bit 2 of the first null byte cleared
    d.SetRecordFieldNull(2, rec.data(), true);
    EXPECT_EQ(rec[82], 0);
    EXPECT_TRUE(d.IsRecordFieldNull(0, nullptr));

    TqbDataDictionary v;
    TqbValidityCheck def;
    def.HasDefault = true;
    def.Default = std::string("\x05\x00\x00\x00", 4);
    v.AddField("n", "", qbtInt32, 0, 0, false, &def);
    EXPECT_EQ(v.DefaultFieldCount(), 1);
    std::vector<uint8_t> r(size_t(v.RecordLength()));
    v.InitRecord(r.data());
    v.SetDefaultFieldValues(r.data());
    EXPECT_FALSE(v.IsRecordFieldNull(0, r.data()));
    EXPECT_EQ(r[0], 5);
}

TEST(IndexHelpers, RegistryAndNumbersOnly) {
    StartIndexHelpers();
    auto r = raised<EqbException>([] { TqbSrIndexHelper::Register<TqbSrNumbersOnlyIH>("NumbersOnly", 0); });
    EXPECT_EQ(r.code, 343);
    EXPECT_EQ(r.message, "Index helper [NumbersOnly] is already registered.");
    r = raised<EqbException>([] { TqbSrIndexHelper::FindHelper("NumbersOnly", qbtInt32); });
    EXPECT_EQ(r.message, "Index helper [NumbersOnly] does not support field type [qbtInt32].");
    EXPECT_EQ(code([] { TqbSrIndexHelper::FindHelper("Nope", qbtInt32); }), 344);

    // A helper class of our own comes and goes with Unregister.
    struct Mine : TqbSrIndexHelper {};
    TqbSrIndexHelper::Register<Mine>("Mine", FieldTypeSet({qbtInt32}));
    EXPECT_NE(TqbSrIndexHelper::FindHelper("Mine", qbtInt32), nullptr);
    TqbSrIndexHelper::Unregister<Mine>();
    EXPECT_EQ(code([] { TqbSrIndexHelper::FindHelper("Mine", qbtInt32); }), 344);
    EXPECT_NE(TqbSrIndexHelper::FindHelper("", qbtShortString), nullptr);

    TqbDataDictionary d;
    d.AddField("phone", "", qbtShortString, 20, 0, false);
    TqbSrIndexHelper* h = TqbSrIndexHelper::FindHelper("NumbersOnly", qbtShortString);
    uint8_t src[21] = {8, 'A', '1', '-', 'B', '2', ' ', 'C', '3'};
    uint8_t key[21];
    std::memset(key, 0xEE, sizeof key);
    h->BuildKey(src, key, 10, d.FieldDesc(0));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 11), std::string("\x03"
                                                                         "123\0\0\0\0\0\0\0",
                                                                         11));
    h->BuildKey(src, key, 2, d.FieldDesc(0));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 3), "\x02"
                                                            "12");
}

// The comparison of prepared keys agrees with comparing field by field through CompareFieldValues
// (or the field's own helper) under the null-bit rules, for whole keys, leading fields and partial
// strings, in both directions and with and without case.
TEST(IndexHelpers, PreparedComparisonAgreesFieldByField) {
    // A helper with an order of its own: the key's parts are not compared by their type.
    struct Backwards : TqbSrIndexHelper {
        int CompareKey(const uint8_t* a, const uint8_t* b, bool, int32_t, const TqbFieldDesc&) override {
            const int32_t x = int32_t(plat::LoadLE32(a)), y = int32_t(plat::LoadLE32(b));
            return x < y ? 1 : (y < x ? -1 : 0);
        }
    };
    TqbSrIndexHelper::Register<Backwards>("Backwards", FieldTypeSet({qbtInt32}));
    TqbDataDictionary d;
    d.AddField("name", "", qbtShortString, 24, 0, false);
    d.AddField("n", "", qbtInt32, 0, 0, false);
    d.AddField("note", "", qbtNullString, 12, 0, false);
    d.AddField("w", "", qbtWideString, 6, 0, false);
    const int32_t fields[4] = {0, 1, 2, 3};
    const std::string plain[4], own[4] = {"NumbersOnly", "Backwards", "", ""};
    d.AddIndex("asc", "", 0, 4, fields, plain, true, true, true);
    d.AddIndex("desc", "", 0, 4, fields, plain, true, false, false);
    d.AddIndex("own", "", 0, 4, fields, own, true, true, true);
    d.BindIndexHelpers();

    std::mt19937 rng(7);
    const std::string letters = "aAbB0\xE9\xC9\xDF\xFF -";
    auto text = [&](size_t max) {
        std::string s = rng() % 2 ? "Common prefix " : "";
        for (size_t n = rng() % 6; n > 0; --n)
            s += letters[rng() % letters.size()];
        return s.substr(0, max);
    };
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    auto key = [&](int idx) {
        d.InitRecord(rec.data());
        const std::string name = text(24), note = text(11);
        uint8_t sh[32] = {};
        sh[0] = uint8_t(name.size());
        std::memcpy(sh + 1, name.data(), name.size());
        const int32_t n = int32_t(rng() % 5) - 2;
        char nt[32] = {};
        std::memcpy(nt, note.data(), note.size());
        char16_t w[16] = {};
        for (size_t i = 0; i < 3; ++i)
            w[i] = rng() % 3 ? char16_t(u'a' + rng() % 3) : char16_t(u'\x100' + rng() % 2);
        const void* values[4] = {sh, &n, nt, w};
        for (int f = 0; f < 4; ++f)
            if (rng() % 8) d.SetRecordField(f, rec.data(), values[f]);
        std::vector<uint8_t> k(size_t(d.IndexKeyLength(idx)));
        BuildCompositeKey(d, idx, rec.data(), k.data());
        return k;
    };
    // Field by field, as the key's description says.
    auto reference = [&](const uint8_t* a, const uint8_t* b, int idx, int fieldCount, int partial) {
        const TqbIndexDesc& x = d.IndexDesc(idx);
        const uint8_t* n1 = a + x.KeyLength - 1;
        const uint8_t* n2 = b + x.KeyLength - 1;
        const int whole = partial ? fieldCount : (fieldCount ? fieldCount : 4);
        int offset = 0;
        for (int k = 0; k < whole + (partial ? 1 : 0); ++k) {
            const TqbFieldDesc& f = d.FieldDesc(k);
            const bool z1 = (*n1 >> k) & 1, z2 = (*n2 >> k) & 1;
            int r;
            if (z1 || z2)
                r = z1 == z2 ? 0 : (z1 ? -1 : 1);
            else if (idx == 3 && k == 1)
                r = -CompareFieldValues(a + offset, b + offset, f.FieldType, true, f.Length);
            else
                r = CompareFieldValues(a + offset, b + offset, f.FieldType, x.IsCaseInsensitive,
                                       k == whole ? std::min(partial + 1, f.Length) : f.Length);
            if (r) return x.IsAscending ? r : -r;
            offset += f.Length;
        }
        return 0;
    };
    int equal = 0, decidedLate = 0, loneString = 0;
    for (int round = 0; round < 6000; ++round) {
        const int idx = 1 + round % 3;
        const std::vector<uint8_t> a = key(idx), b = rng() % 4 ? key(idx) : a;
        const int fieldCount = int(rng() % 4), partial = rng() % 3 ? 0 : 1 + int(rng() % 20);
        if (partial && fieldCount != 0) continue; // a partial string only on the first field here
        const TqbCompositeCompareData c = MakeIndexCompareInfo(d, idx, fieldCount, partial);
        // Looked up once for the type orders, never past a helper with an order of its own.
        ASSERT_EQ(c.PartCount < 0, idx == 3 && ((fieldCount == 0 && partial == 0) || fieldCount >= 2));
        const int want = reference(a.data(), b.data(), idx, fieldCount, partial);
        ASSERT_EQ(sign(CompareCompositeKeys(a.data(), b.data(), c)), sign(want)) << round;
        ASSERT_EQ(sign(CompareCompositeKeys(b.data(), a.data(), c)), -sign(want)) << round;
        // The index's compare routine, one of its own for a lone short string, agrees as well.
        const TqbCompositeComparer cmp = CompositeKeyComparer(c);
        ASSERT_EQ(sign(cmp(a.data(), b.data(), &c)), sign(want)) << round;
        ASSERT_EQ(sign(cmp(b.data(), a.data(), &c)), -sign(want)) << round;
        loneString += c.PartCount == 1 && !c.Parts[0].Helper;
        equal += want == 0;
        decidedLate += want != 0 && reference(a.data(), b.data(), idx, 1, 0) == 0;
    }
    // Both outcomes and decisions past the first field were met.
    EXPECT_GT(equal, 100);
    EXPECT_GT(decidedLate, 100);
    EXPECT_GT(loneString, 500);
    TqbSrIndexHelper::Unregister<Backwards>();
}

TEST(IndexHelpers, CompositeKeys) {
    TqbDataDictionary d;
    d.AddField("name", "", qbtShortString, 10, 0, false);
    d.AddField("n", "", qbtInt32, 0, 0, false);
    const int32_t both[2] = {0, 1};
    d.AddIndex("asc", "", 0, 2, both, nullptr, true, true, true);
    d.AddIndex("desc", "", 0, 2, both, nullptr, true, false, true);
    const int32_t numFirst[2] = {1, 0};
    d.AddIndex("num", "", 0, 2, numFirst, nullptr, true, true, false);
    d.BindIndexHelpers();
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    auto key = [&](const char* name, int32_t n, int idx = 1) {
        d.InitRecord(rec.data());
        if (name) {
            uint8_t v[11] = {};
            v[0] = uint8_t(std::strlen(name));
            std::memcpy(v + 1, name, v[0]);
            d.SetRecordField(0, rec.data(), v);
        }
        d.SetRecordField(1, rec.data(), &n);
        std::vector<uint8_t> k(size_t(d.IndexKeyLength(idx)));
        BuildCompositeKey(d, idx, rec.data(), k.data());
        return k;
    };
    auto cmp = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int idx, int fields = 0,
                   int partial = 0) {
        return CompareCompositeKeys(a.data(), b.data(), MakeIndexCompareInfo(d, idx, fields, partial));
    };
    EXPECT_EQ(cmp(key(nullptr, 1), key("A", 1), 1), -1);
    EXPECT_EQ(cmp(key(nullptr, 1, 2), key("A", 1, 2), 2), 1);
    EXPECT_EQ(cmp(key(nullptr, 1), key(nullptr, 1), 1), 0);
    EXPECT_EQ(cmp(key("abc", 1), key("ABC", 2), 1, 1), 0);
    EXPECT_EQ(cmp(key("abc", 1), key("ABC", 2), 1), -1);
    EXPECT_EQ(cmp(key("Smith", 1), key("Smithers", 1), 1, 0, 3), 0);
    EXPECT_NE(cmp(key("Smith", 1), key("Smithers", 1), 1), 0);
    // A partial length on a number would match every record: refused.
    EXPECT_EQ(code([&] { MakeIndexCompareInfo(d, 3, 0, 2); }), 338);
    EXPECT_EQ(code([&] { BuildCompositeKey(d, 3, rec.data(), std::vector<uint8_t>(20).data(), 0, 2); }), 338);

    // A short string's key part holds its real length and zeros after it, whatever the record
    // held behind the string before.
    d.InitRecord(rec.data());
    uint8_t stale[11] = {10, 'S', 'm', 'i', 't', 'h', 'e', 'r', 's', '!', '!'};
    d.SetRecordField(0, rec.data(), stale);
    rec[0] = 5; // now "Smith", the tail still there
    std::vector<uint8_t> k1(size_t(d.IndexKeyLength(1)));
    BuildCompositeKey(d, 1, rec.data(), k1.data());
    std::vector<uint8_t> k2 = key("Smith", 0);
    int32_t zero = 0;
    d.SetRecordField(1, rec.data(), &zero);
    BuildCompositeKey(d, 1, rec.data(), k1.data());
    EXPECT_EQ(k1, k2);
    // A partial key holds that many characters.
    std::vector<uint8_t> p(size_t(d.IndexKeyLength(1)));
    BuildCompositeKey(d, 1, rec.data(), p.data(), 0, 3);
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p.data()) + 1, 3), "Smi");
    EXPECT_EQ(p[4], 0);
    EXPECT_TRUE(d.IsKeyFieldNull(1, 1, p.data()));
}

TEST(DictStream, SpansBlocksAndARewriteFreesTheSurplus) {
    Db db;
    Table t(db, "wide", wideDictionary("wide"));
    std::string s;
    t.dict().WriteToStream(s);
    ASSERT_GT(s.size(), 2 * (4096 - 32));
    EXPECT_EQ(t.verify(), "");
    const uint32_t blocksBefore = t.fi->BlockCount;

    // The reading side gets the same dictionary back.
    {
        TqbServerDataDict back;
        back.LoadFromTableFile(*t.fi, nullptr);
        std::string s2;
        back.WriteToStream(s2);
        EXPECT_EQ(s2, s);
        EXPECT_TRUE(back.TableBuilt());
    }

    // Rewritten with short descriptions the stream fits one block; the other two are freed and
    // the chain ends at the first.
    TqbServerDataDict shorter(4096);
    shorter.SetTableName("wide");
    for (int i = 0; i < 150; ++i)
        shorter.AddField("f" + std::to_string(i), "", qbtInt8, 0, 0, false);
    TqbSrTransaction* tr = db.begin();
    shorter.SaveToTableFile(*t.fi, tr);
    db.commit();
    std::string header = t.block(0);
    ASSERT_EQ(header.size(), 4096u);
    const uint32_t oldBlocks = uint32_t((s.size() + 4063) / 4064);
    EXPECT_EQ(plat::LoadLE32(header.data() + kHdrDeletedCount), oldBlocks - 1);
    EXPECT_EQ(t.fi->BlockCount, blocksBefore);
    EXPECT_EQ(t.verify(), "");
    {
        TqbServerDataDict back;
        back.LoadFromTableFile(*t.fi, nullptr);
        EXPECT_EQ(back.GetFieldFromName("f149"), 149);
    }
    // The freed blocks come back last freed first.
    tr = db.begin();
    uint32_t first = 0;
    std::string big(5000, 'x');
    WriteTableStream(*t.fi, tr, first, 0x54534554, true, big);
    const uint32_t dictFirst = plat::LoadLE32(header.data() + kHdrDictBlock);
    EXPECT_EQ(first, plat::LoadLE32(header.data() + kHdrDeletedHead));
    std::string back;
    ReadTableStream(*t.fi, tr, first, back, 0x54534554);
    EXPECT_EQ(back, big);
    // A stream read as another type, or from a block of another stream, is refused.
    EXPECT_EQ(code([&] { ReadTableStream(*t.fi, tr, first, back, kStreamTypeDICT); }), 64);
    EXPECT_EQ(code([&] { ReadTableStream(*t.fi, tr, t.fi->BlockCount, back); }), 33);
    EXPECT_NE(dictFirst, first);
    db.rollback();
}

TEST(DictStream, BrokenChainsRaiseInsteadOfLooping) {
    Db db;
    Table t(db, "loop", wideDictionary("loop"));
    const std::string header = t.block(0);
    ASSERT_EQ(header.size(), 4096u);
    const uint32_t first = plat::LoadLE32(header.data() + kHdrDictBlock);
    TqbSrTransaction* tr = db.begin();
    // The second block of the chain points back at the first.
    uint32_t second;
    {
        TqbBlockHold b(*t.fi, tr, first, false);
        second = BlockWord(b.p(), kStrmNext);
    }
    {
        TqbBlockHold b(*t.fi, tr, second, true);
        SetBlockWord(b.p(), kStrmNext, first);
    }
    TqbServerDataDict back;
    EXPECT_EQ(code([&] { back.LoadFromTableFile(*t.fi, tr); }), 64);
    EXPECT_NE(t.verify(tr), "");
    {
        TqbBlockHold b(*t.fi, tr, second, true);
        SetBlockWord(b.p(), kStrmNext, second);
        SetBlockWord(b.p(), kStrmLength, 0);
    }
    {
        // A length no file could hold.
        TqbBlockHold b(*t.fi, tr, first, true);
        SetBlockWord(b.p(), kStrmLength, 0x7FFFFFFF);
    }
    EXPECT_EQ(code([&] { back.LoadFromTableFile(*t.fi, tr); }), 64);
    db.rollback();
    TqbServerDataDict ok;
    EXPECT_NO_THROW(ok.LoadFromTableFile(*t.fi, nullptr));
}
