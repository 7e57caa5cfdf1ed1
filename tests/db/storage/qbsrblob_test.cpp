// BLOB storage: segment sizes at their boundaries, segment reuse across commits and rollbacks,
// links, file BLOBs kept inside their folder, and a model against std::string.
#include "TableFileSupport.h"

#include "db/storage/qbsrblob.h"

#include <map>
#include <random>

using dbtest::raised;
using namespace tabletest;

namespace {

int code(const std::function<void()>& f) {
    return raised<EqbException>(f).code;
}

TqbServerDataDict blobDictionary() {
    TqbServerDataDict d(4096);
    d.SetTableName("blobs");
    d.AddField("memo", "", qbtBLOB + 1, 0, 0, false);
    return d;
}

std::string readAll(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t blob, const TqbBLOBLinkCallback& cb = {}) {
    int32_t err = 0;
    const uint64_t len = TableBLOBGetLength(f, t, blob, err, cb);
    std::string s(size_t(len), '\0');
    uint32_t got = 0;
    TableBLOBRead(f, t, blob, 0, uint32_t(len), s.data(), got, err, cb);
    s.resize(got);
    return s;
}

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    std::mt19937 r(seed);
    for (auto& c : s)
        c = char(r());
    return s;
}

struct BlobTable {
    Db db;
    Table t{db, "blobs", blobDictionary()};
    TbtdFileInfo& f() { return *t.fi; }
    TqbSrTransaction* begin() { return db.begin(); }
    void commit() { db.commit(); }
    void rollback() { db.rollback(); }
};

} // namespace

// The transaction manager alone settles the BLOB segments, at every nesting level: nothing a
// rolled-back delete freed is handed out, and nothing of the outer level is lost.
TEST(BLOB, RollbacksThroughTheTransactionManagerHandNothingOutTwice) {
    Db db;
    Table table{db, "blobs", blobDictionary()};
    TbtdFileInfo& f = *table.fi;
    const std::string a = pattern(3000, 5), b = pattern(2500, 6), c = pattern(4000, 7), d = pattern(700, 8);
    auto create = [&](TqbSrTransaction* t, const std::string& data) {
        uint64_t blob;
        TableBLOBCreate(f, t, blob);
        TableBLOBWrite(f, t, blob, 0, uint32_t(data.size()), data.data());
        return blob;
    };
    const uint64_t first = create(db.begin(), a);
    db.commit();

    TqbSrTransaction* t = db.begin();
    TableBLOBDelete(f, t, first);
    db.rollback();
    const uint64_t second = create(db.begin(), b);
    db.commit();
    EXPECT_EQ(readAll(f, nullptr, first), a);
    EXPECT_EQ(readAll(f, nullptr, second), b);
    EXPECT_EQ(table.verify(), "");

    // A nested level deletes and rolls back; the outer level goes on and commits.
    t = db.begin();
    const uint64_t third = create(t, c);
    TableBLOBDelete(f, t, second);
    ASSERT_EQ(db.begin(), t);
    TableBLOBDelete(f, t, first);
    db.rollback();
    EXPECT_TRUE(t->IsNested() == false);
    const uint64_t fourth = create(t, d);
    db.commit();
    EXPECT_EQ(readAll(f, nullptr, first), a);
    EXPECT_EQ(readAll(f, nullptr, third), c);
    EXPECT_EQ(readAll(f, nullptr, fourth), d);
    EXPECT_EQ(table.verify(), "");
    // What the outer level freed is free: the next BLOB of its size takes no new block.
    const uint32_t blocks = f.BlockCount;
    create(db.begin(), b);
    db.commit();
    EXPECT_EQ(f.BlockCount, blocks);
    EXPECT_EQ(table.verify(), "");
}

TEST(BLOB, SizesAtSegmentBoundaries) {
    BlobTable b;
    EXPECT_EQ(BLOBLargestSegment(4096), 4032u);
    EXPECT_EQ(BLOBDataPerSegment(4096), 4012u);
    TqbSrTransaction* t = b.begin();
    uint64_t blob;
    TableBLOBCreate(b.f(), t, blob);
    EXPECT_EQ(readAll(b.f(), t, blob), "");
    {
        TqbBlockHold h;
        const uint8_t* s = BLOBGetSegment(b.f(), t, blob, h, false, 'H');
        EXPECT_EQ(plat::LoadLE16(s + 2), 64u);
    }
    auto segments = [&]() {
        std::string list;
        TableBLOBListSegments(b.f(), t, blob, list);
        return std::count(list.begin(), list.end(), '\n') - 1;
    };
    for (size_t n : {size_t(1), size_t(4011), size_t(4012)}) {
        TableBLOBTruncate(b.f(), t, blob, 0);
        const std::string data = pattern(n, uint32_t(n));
        TableBLOBWrite(b.f(), t, blob, 0, uint32_t(n), data.data());
        EXPECT_EQ(readAll(b.f(), t, blob), data);
        EXPECT_EQ(segments(), 1) << n;
    }
    std::string data = pattern(4012, 4012);
    TableBLOBWrite(b.f(), t, blob, 4012, 1, "x");
    EXPECT_EQ(segments(), 2);
    EXPECT_EQ(readAll(b.f(), t, blob), data + "x");
    // Offset equal to the length appends; one beyond is refused.
    TableBLOBWrite(b.f(), t, blob, 4013, 2, "yz");
    EXPECT_EQ(readAll(b.f(), t, blob), data + "xyz");
    EXPECT_EQ(code([&] { TableBLOBWrite(b.f(), t, blob, 4016, 1, "!"); }), 53);
    EXPECT_EQ(code([&] { TableBLOBWrite(b.f(), t, blob, 2147483647, 1, "!"); }), 115);
    EXPECT_EQ(code([&] { TableBLOBTruncate(b.f(), t, blob, 5000); }), 52);
    // Overwriting in the middle keeps the rest.
    TableBLOBWrite(b.f(), t, blob, 4010, 4, "ABCD");
    data.replace(4010, 2, "AB");
    EXPECT_EQ(readAll(b.f(), t, blob), data + "CDz");
    std::string list;
    TableBLOBListSegments(b.f(), t, blob, list);
    EXPECT_EQ(list.substr(0, list.find('\n') + 1), "Segment list for BLOB " + std::to_string(blob >> 32) +
                                                       ":" + std::to_string(uint32_t(blob)) + " \r\n");
    EXPECT_NE(list.find(", Len 4012\r\nSegment 1, "), std::string::npos);
    EXPECT_NE(list.find(", Len 3\r\n"), std::string::npos);
    TableBLOBTruncate(b.f(), t, blob, 0);
    list.clear();
    TableBLOBListSegments(b.f(), t, blob, list);
    EXPECT_NE(list.find("BLOB has been truncated to length zero."), std::string::npos);
    EXPECT_EQ(t ? b.t.verify(t) : "", "");
    TableBLOBDelete(b.f(), t, blob);
    uint32_t got;
    int32_t err;
    char c;
    EXPECT_EQ(code([&] { TableBLOBRead(b.f(), t, blob, 0, 1, &c, got, err); }), 48);
    EXPECT_EQ(code([&] { TableBLOBWrite(b.f(), t, blob, 0, 1, "x"); }), 48);
    EXPECT_EQ(code([&] { TableBLOBRead(b.f(), t, blob + 1, 0, 1, &c, got, err); }), 49);
    b.commit();
    EXPECT_EQ(b.t.verify(), "");
}

TEST(BLOB, SplitAndReuseFollowTheTransaction) {
    BlobTable b;
    TqbSrTransaction* t = b.begin();
    TqbBLOBSegmentMgr& m = BLOBResourceManager(b.f()).Segments();
    const uint64_t big = m.NewSegment(b.f(), t, 128);
    const uint64_t other = m.NewSegment(b.f(), t, 64);
    b.commit();
    // A freed 128-byte segment asked for 64 bytes: a used 64 and a deleted 64 remainder.
    t = b.begin();
    m.DeleteSegment(b.f(), t, big);
    b.commit();
    t = b.begin();
    EXPECT_EQ(m.NewSegment(b.f(), t, 64), big);
    {
        TqbBlockHold h;
        const uint8_t* rest = BLOBGetSegment(b.f(), t, big + 64, h, false, 'D');
        EXPECT_EQ(plat::LoadLE16(rest + 2), 64u);
    }
    // Rolled back: the split never happened and its remainder is not handed out.
    b.rollback();
    t = b.begin();
    const uint64_t again = m.NewSegment(b.f(), t, 128);
    EXPECT_EQ(again, big);
    b.rollback();
    t = b.begin();
    m.DeleteSegment(b.f(), t, other);
    b.commit();
    EXPECT_EQ(b.t.verify(), "");

    // Content freed in a committed transaction is reused; freed in a rolled-back one, it is not.
    t = b.begin();
    uint64_t blob;
    TableBLOBCreate(b.f(), t, blob);
    const std::string data = pattern(3000, 1);
    TableBLOBWrite(b.f(), t, blob, 0, 3000, data.data());
    b.commit();
    std::string before;
    t = b.begin();
    TableBLOBListSegments(b.f(), t, blob, before);
    TableBLOBDelete(b.f(), t, blob);
    b.rollback();
    t = b.begin();
    uint64_t second;
    TableBLOBCreate(b.f(), t, second);
    TableBLOBWrite(b.f(), t, second, 0, 3000, data.data());
    b.commit();
    EXPECT_EQ(readAll(b.f(), nullptr, blob), data);
    EXPECT_EQ(b.t.verify(), "");
    t = b.begin();
    TableBLOBDelete(b.f(), t, blob);
    b.commit();
    const uint32_t blocks = b.f().BlockCount;
    t = b.begin();
    uint64_t third;
    TableBLOBCreate(b.f(), t, third);
    TableBLOBWrite(b.f(), t, third, 0, 3000, data.data());
    b.commit();
    EXPECT_EQ(b.f().BlockCount, blocks); // made of the freed segments
    EXPECT_EQ(b.t.verify(), "");
}

TEST(BLOB, LinksAndFileBLOBs) {
    BlobTable b;
    TqbSrTransaction* t = b.begin();
    uint64_t link;
    TableBLOBCreateLink(b.f(), t, "other", link, 0x1234);
    std::string askedTable;
    uint64_t askedBlob = 0;
    TqbBLOBLinkCallback cb = [&](const std::string& table, uint64_t blob, TqbBLOBLinkRequest req,
                                 uint64_t off, uint32_t len, void* buf) -> uint64_t {
        askedTable = table;
        askedBlob = blob;
        const std::string content = "linked bytes";
        if (req == blrLength) return content.size();
        const size_t n = std::min<size_t>(len, content.size() - size_t(off));
        std::memcpy(buf, content.data() + off, n);
        return n;
    };
    EXPECT_EQ(readAll(b.f(), t, link, cb), "linked bytes");
    EXPECT_EQ(askedTable, "other");
    EXPECT_EQ(askedBlob, 0x1234u);
    EXPECT_EQ(code([&] { TableBLOBWrite(b.f(), t, link, 0, 1, "x"); }), 54);
    EXPECT_EQ(code([&] { readAll(b.f(), t, link); }), 51); // no callback to follow it
    // A link that leads back to itself ends at the depth limit.
    int depth = 0;
    TqbBLOBLinkCallback loop = [&](const std::string&, uint64_t, TqbBLOBLinkRequest, uint64_t, uint32_t,
                                   void*) -> uint64_t {
        ++depth;
        int32_t err;
        return TableBLOBGetLength(b.f(), t, link, err, loop);
    };
    int32_t err;
    EXPECT_EQ(code([&] { TableBLOBGetLength(b.f(), t, link, err, loop); }), 51);
    EXPECT_EQ(depth, kMaxBLOBLinkDepth);

    // File BLOBs name files inside the configured folder only.
    SetBLOBFileFolder("");
    uint64_t fb;
    EXPECT_EQ(code([&] { TableBLOBCreateFile(b.f(), t, "notes.txt", fb); }), 338);
    plat::DirCreate("/db/files");
    SetBLOBFileFolder("/db/files");
    {
        plat::File f;
        ASSERT_EQ(f.open("/db/files/notes.txt", plat::kFileReadWrite | plat::kFileCreate), 0);
        ASSERT_EQ(plat::FileWriteExact(f.handle(), 0, "file content", 12), 0);
    }
    for (const char* bad : {"../secret", "/etc/passwd", "a/../../b", "C:\\x", "a\\..\\..\\b", "", "./x"})
        EXPECT_EQ(code([&] { TableBLOBCreateFile(b.f(), t, bad, fb); }), 338) << bad;
    TableBLOBCreateFile(b.f(), t, "notes.txt", fb);
    EXPECT_EQ(readAll(b.f(), t, fb), "file content");
    std::string name;
    EXPECT_TRUE(TableBLOBGetFileName(b.f(), t, fb, name));
    EXPECT_EQ(name, "notes.txt");
    EXPECT_FALSE(TableBLOBGetFileName(b.f(), t, link, name));
    EXPECT_EQ(code([&] { TableBLOBWrite(b.f(), t, fb, 0, 1, "x"); }), 54);
    EXPECT_EQ(code([&] { TableBLOBTruncate(b.f(), t, fb, 0); }), 54);
    std::string list;
    TableBLOBListSegments(b.f(), t, fb, list);
    EXPECT_NE(list.find("This is a file BLOB."), std::string::npos);
    b.commit();
    SetBLOBFileFolder("");
    EXPECT_EQ(b.t.verify(), "");
}

TEST(BLOB, ModelWithCommitsAndRollbacks) {
    BlobTable b;
    std::mt19937 rng(5);
    std::map<uint64_t, std::string> model, committed;
    const uint64_t ops = scaled(5000);
    {
        // One BLOB grows in appends past a full lookup segment (334 entries) first.
        TqbSrTransaction* t = b.begin();
        uint64_t blob;
        TableBLOBCreate(b.f(), t, blob);
        std::string& s = model[blob];
        while (s.size() <= 340 * 4012) {
            const std::string data = pattern(1 + rng() % 30000, rng());
            TableBLOBWrite(b.f(), t, blob, s.size(), uint32_t(data.size()), data.data());
            s += data;
        }
        b.commit();
        committed = model;
        ASSERT_EQ(readAll(b.f(), nullptr, blob), s);
        ASSERT_EQ(b.t.verify(), "");
    }
    for (uint64_t done = 0; done < ops;) {
        TqbSrTransaction* t = b.begin();
        for (int i = 0; i < 30; ++i, ++done) {
            const int op = int(rng() % 100);
            if (op < 10 || model.empty()) {
                uint64_t blob;
                TableBLOBCreate(b.f(), t, blob);
                model[blob] = "";
                continue;
            }
            auto it = std::next(model.begin(), long(rng() % model.size()));
            std::string& s = it->second;
            if (op < 60) {
                static const size_t sizes[] = {0, 1, 4011, 4012, 4013, 8024, 100, 20000};
                size_t n = rng() % 2 ? sizes[rng() % 8] : rng() % 9000;
                const size_t off = rng() % 3 ? s.size() : rng() % (s.size() + 1);
                const std::string data = pattern(n, rng());
                TableBLOBWrite(b.f(), t, it->first, off, uint32_t(n), data.data());
                if (off + n > s.size()) s.resize(off + n);
                s.replace(off, n, data);
            } else if (op < 75) {
                const size_t n = s.empty() ? 0 : rng() % (s.size() + 1);
                TableBLOBTruncate(b.f(), t, it->first, n);
                s.resize(n);
            } else if (op < 80) {
                TableBLOBDelete(b.f(), t, it->first);
                model.erase(it);
            } else {
                const size_t off = rng() % (s.size() + 1), len = rng() % 10000;
                std::string buf(len, '\0');
                uint32_t got;
                int32_t err;
                TableBLOBRead(b.f(), t, it->first, off, uint32_t(len), buf.data(), got, err);
                ASSERT_EQ(got, std::min(len, s.size() - off));
                ASSERT_EQ(buf.substr(0, got), s.substr(off, got));
            }
        }
        ASSERT_EQ(b.t.verify(t), "");
        if (rng() % 3 == 0) {
            b.rollback();
            model = committed;
        } else {
            b.commit();
            committed = model;
        }
        ASSERT_EQ(b.t.verify(), "");
        for (const auto& [blob, s] : model)
            ASSERT_EQ(readAll(b.f(), nullptr, blob), s);
    }
}
