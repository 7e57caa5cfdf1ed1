// Table header block and data blocks: build values, header checks, record slots, the deleted-record
// chain, scans in both directions and a record model against std::map.
#include "TableFileSupport.h"

#include <map>
#include <random>

using dbtest::raised;
using namespace tabletest;

namespace {

int code(const std::function<void()>& f) {
    return raised<EqbException>(f).code;
}

// A dictionary whose records are n bytes of data (record length n + 1 with the null byte).
TqbServerDataDict bytesDictionary(uint32_t blockSize, int32_t bytes) {
    TqbServerDataDict d(blockSize);
    d.SetTableName("recs");
    d.AddField("data", "", qbtByteArray, bytes, 0, false);
    return d;
}

} // namespace

TEST(TableHeader, ContactsHeaderGoldenBytes) {
    const std::string img = BuildTableHeader(contactsDictionary(), false);
    const std::string first = "51420248"
                              "ffffffff"
                              "00000000"
                              "00000000"
                              "00100000"
                              "00000000"
                              "0c000000"
                              "01000000" // 0..31
                              "00000000"
                              "ffffffff"
                              "00000000"
                              "00000000"
                              "ffffffffffffffff"
                              "77000000"
                              "78000000" // 32..63
                              "21000000"
                              "ffffffff"
                              "ffffffff"
                              "00000000"
                              "ffffffffffffffff"
                              "ffffffffffffffff" // 64..95
                              "00000000"
                              "02000000"
                              "01000000"
                              "ffffffff"
                              "0e000000"
                              "00000000"
                              "08520000"; // 96..123
    ASSERT_EQ(img.size(), 4096u);
    EXPECT_EQ(hex(img.substr(0, 124)), first);
    EXPECT_EQ(img.substr(124), std::string(4096 - 124, 'F'));
}

TEST(TableHeader, OpenChecksTheHeader) {
    Db db;
    TqbServerDataDict d = contactsDictionary();
    auto openWith = [&](const std::function<void(std::string&)>& change) {
        std::string img = BuildTableHeader(d, false);
        change(img);
        plat::File f;
        EXPECT_EQ(f.open(db.file("h.QB2"), plat::kFileReadWrite | plat::kFileCreate | plat::kFileTruncate),
                  0);
        EXPECT_EQ(plat::FileWriteExact(f.handle(), 0, img.data(), img.size()), 0);
        f.close();
        auto fi = AllocFileInfo(db.file("h"), "QB2", db.bm.get());
        OpenFile(*fi, true, 0, false, false);
        int c = code([&] { DataFileOpen(*fi); });
        db.bm->RemoveFile(*fi);
        CloseFile(*fi);
        return c;
    };
    auto word = [](uint32_t off, uint32_t v) {
        return [=](std::string& s) { plat::StoreLE32(s.data() + off, v); };
    };
    EXPECT_EQ(openWith([](std::string&) {}), 0);
    EXPECT_EQ(openWith([](std::string& s) { s[2] = 'F'; }), 113);
    EXPECT_EQ(openWith([](std::string& s) { s[3] = 'X'; }), 32);
    EXPECT_EQ(openWith(word(kBlkLink, 0)), 32);
    EXPECT_EQ(openWith(word(kHdrBlockSize, 2048)), 32);
    EXPECT_EQ(openWith(word(kHdrSlotLength, 0)), 32);
    EXPECT_EQ(openWith(word(kHdrRecordLength, 4)), 32);
    EXPECT_EQ(openWith(word(kHdrSlotsPerBlock, 1000)), 32);
    EXPECT_EQ(openWith(word(kHdrBlockCount, 2)), 32); // more blocks than the file has
    EXPECT_EQ(openWith(word(kHdrDeletedCount, 1)), 32);
    EXPECT_EQ(openWith(word(kHdrFirstDataBlock, 5)), 32);
    EXPECT_EQ(openWith(word(kHdrRecordCount, 1)), 32);
    EXPECT_EQ(openWith(word(kHdrIndexHeaderBlock, 9)), 32);
}

// Every header word a record, a delete or the auto-increment changes is read back after a reopen
// with the value written, and every other byte keeps what the file was built with.
TEST(TableHeader, ChangedWordsComeBackAfterAReopenAndTheRestKeepsItsBuiltBytes) {
    Db db;
    std::string built;
    uint64_t r1 = 0, r2 = 0, r3 = 0;
    uint32_t firstData = 0;
    {
        Table t(db, "recs", bytesDictionary(4096, 8));
        built = t.block(0);
        firstData = t.fi->BlockCount;
        TqbSrTransaction* tr = db.begin();
        const std::string rec(9, 'a');
        DataFileAddRecord(*t.fi, tr, r1, rec.data());
        DataFileAddRecord(*t.fi, tr, r2, rec.data());
        DataFileAddRecord(*t.fi, tr, r3, rec.data());
        DataFileDeleteRecord(*t.fi, tr, r2);
        DataFileSetAutoInc(*t.fi, tr, 77);
        db.commit();
    }
    const std::string now = readFile(db.file("recs.QB2")).substr(0, 4096);
    ASSERT_EQ(now.size(), 4096u);
    Table t(db, "recs");
    auto word = [&](uint32_t off) { return plat::LoadLE32(now.data() + off); };
    EXPECT_EQ(word(kHdrBlockCount), firstData + 1);
    EXPECT_EQ(word(kHdrRecordCount), 2u);
    // The new block's free slots are on the deleted chain too: 406 slots, two in use.
    EXPECT_EQ(word(kHdrDeletedRecords), 404u);
    EXPECT_EQ(plat::LoadLE64(now.data() + kHdrDeletedRecordHead), r2);
    EXPECT_EQ(word(kHdrFirstDataBlock), firstData);
    EXPECT_EQ(word(kHdrLastDataBlock), firstData);
    EXPECT_EQ(word(kHdrAutoInc), 77u);
    std::string expected = built;
    for (uint32_t off : {kBlkStamp, kHdrBlockCount, kHdrRecordCount, kHdrDeletedRecords, kHdrFirstDataBlock,
                         kHdrLastDataBlock, kHdrAutoInc})
        std::memcpy(expected.data() + off, now.data() + off, 4);
    std::memcpy(expected.data() + kHdrDeletedRecordHead, now.data() + kHdrDeletedRecordHead, 8);
    EXPECT_EQ(hex(now), hex(expected));

    // The storage layer reads the same values back: the counts, the counter, and the deleted
    // slot is the next one handed out.
    TqbDataFileInfo info;
    DataFileGetRecordInfo(*t.fi, nullptr, info);
    EXPECT_EQ(info.RecordCount, 2u);
    EXPECT_EQ(info.DeletedCount, 404u);
    EXPECT_EQ(info.SlotsPerBlock, 406u);
    EXPECT_EQ(info.RecordLength, 9u);
    EXPECT_EQ(DataFileReadAutoInc(*t.fi, nullptr), 77u);
    TqbSrTransaction* tr = db.begin();
    uint64_t again = 0;
    DataFileAddRecord(*t.fi, tr, again, std::string(9, 'b').data());
    EXPECT_EQ(again, r2);
    EXPECT_EQ(DataFileNextAutoInc(*t.fi, tr), 78u);
    db.commit();
    EXPECT_EQ(t.verify(), "");
}

TEST(DataFile, SlotsChainsAndReferences) {
    Db db;
    Table t(db, "recs", bytesDictionary(4096, 8)); // record length 9, slot 10, 406 slots per block
    TqbSrTransaction* tr = db.begin();
    const uint32_t firstData = t.fi->BlockCount;
    std::string rec(9, 'a');
    uint64_t r1, r2, r3;
    DataFileAddRecord(*t.fi, tr, r1, rec.data());
    EXPECT_EQ(r1, uint64_t(firstData) * 4096 + 32);
    {
        // Every slot of the new block is free and linked to the next; the body of each is zero.
        std::string b = t.block(firstData, tr);
        EXPECT_EQ(plat::LoadLE32(b.data()), kSigData);
        EXPECT_EQ(plat::LoadLE32(b.data() + kDataSlots), 406u);
        EXPECT_EQ(uint8_t(b[32 + 10]), 0xFF);
        EXPECT_EQ(plat::LoadLE64(b.data() + 32 + 10 + 1), r1 + 20);
        EXPECT_EQ(plat::LoadLE64(b.data() + 32 + 405 * 10 + 1), kNoRef);
        EXPECT_EQ(b.substr(32 + 10 + 9, 1), std::string(1, '\0'));
        EXPECT_EQ(b.substr(32 + 406 * 10), std::string(4096 - 32 - 4060, 'F'));
    }
    rec[0] = 'b';
    DataFileAddRecord(*t.fi, tr, r2, rec.data());
    rec[0] = 'c';
    DataFileAddRecord(*t.fi, tr, r3, rec.data());
    EXPECT_EQ(r2, r1 + 10);
    DataFileDeleteRecord(*t.fi, tr, r2);
    EXPECT_EQ(code([&] { DataFileReadRecord(*t.fi, tr, r2, rec.data()); }), 35);
    EXPECT_EQ(code([&] { DataFileDeleteRecord(*t.fi, tr, r2); }), 35);
    uint64_t r4;
    DataFileAddRecord(*t.fi, tr, r4, rec.data());
    EXPECT_EQ(r4, r2); // last freed, first reused
    // References that are not slots: off the slot grid, inside the prefix, in the tail of the
    // block past the last slot, outside the file.
    std::string out(9, 0);
    EXPECT_EQ(code([&] { DataFileReadRecord(*t.fi, tr, r1 + 1, out.data()); }), 36);
    EXPECT_EQ(code([&] { DataFileReadRecord(*t.fi, tr, uint64_t(firstData) * 4096 + 12, out.data()); }), 36);
    EXPECT_EQ(
        code([&] { DataFileReadRecord(*t.fi, tr, uint64_t(firstData) * 4096 + 32 + 406 * 10, out.data()); }),
        36);
    EXPECT_EQ(code([&] { DataFileReadRecord(*t.fi, tr, 0, out.data()); }), 36);
    EXPECT_EQ(
        code([&] { DataFileReadRecord(*t.fi, tr, uint64_t(t.fi->BlockCount) * 4096 + 32, out.data()); }), 33);
    EXPECT_EQ(code([&] { DataFileReadRecord(*t.fi, tr, 1 * 4096 + 32, out.data()); }),
              37); // index header block

    // Auto-increment raises instead of starting again.
    DataFileSetAutoInc(*t.fi, tr, 0xFFFFFFFE);
    EXPECT_EQ(DataFileNextAutoInc(*t.fi, tr), 0xFFFFFFFFu);
    EXPECT_EQ(code([&] { DataFileNextAutoInc(*t.fi, tr); }), 184);
    EXPECT_EQ(DataFileReadAutoInc(*t.fi, tr), 0xFFFFFFFFu);
    db.commit();
    EXPECT_EQ(t.verify(), "");
    TqbDataFileInfo info;
    DataFileGetRecordInfo(*t.fi, nullptr, info);
    EXPECT_EQ(info.RecordCount, 3u);
    EXPECT_EQ(info.DeletedCount, 403u);
    EXPECT_EQ(info.SlotsPerBlock, 406u);
}

TEST(DataFile, EmptyTableScansReturnNothing) {
    Db db;
    Table t(db, "recs", bytesDictionary(8192, 30));
    uint64_t r = 99;
    DataFileNextRecord(*t.fi, nullptr, 0, nullptr, r);
    EXPECT_EQ(r, 0u);
    DataFilePriorRecord(*t.fi, nullptr, 0, nullptr, r);
    EXPECT_EQ(r, 0u);
}

namespace {

// Random adds, deletes, writes and reads across several data blocks, checked against a map after
// every batch, with commits and rollbacks; scans compare the order in both directions.
void recordModel(Db& db, Table& t, uint32_t recordLength, uint64_t ops, uint32_t seed) {
    std::mt19937 rng(seed);
    std::map<uint64_t, std::string> model, committed;
    auto randomRecord = [&]() {
        std::string r(recordLength, 0);
        for (auto& c : r)
            c = char(rng());
        return r;
    };
    std::string buf(recordLength, 0);
    const uint64_t batch = 400;
    for (uint64_t done = 0; done < ops;) {
        TqbSrTransaction* tr = db.begin();
        for (uint64_t i = 0; i < batch; ++i, ++done) {
            const int op = int(rng() % 10);
            if (op < 5 || model.empty()) {
                std::string r = randomRecord();
                uint64_t ref;
                DataFileAddRecord(*t.fi, tr, ref, r.data());
                ASSERT_EQ(model.count(ref), 0u);
                model[ref] = r;
            } else {
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                if (op < 8) {
                    DataFileDeleteRecord(*t.fi, tr, it->first);
                    model.erase(it);
                } else if (op < 9) {
                    it->second = randomRecord();
                    DataFileWriteRecord(*t.fi, tr, it->first, it->second.data());
                } else {
                    DataFileReadRecord(*t.fi, tr, it->first, buf.data());
                    ASSERT_EQ(buf, it->second);
                }
            }
        }
        if (rng() % 4 == 0) {
            db.rollback();
            model = committed;
        } else {
            db.commit();
            committed = model;
        }
        // Both scans give the model's records in order.
        uint64_t ref = 0;
        auto it = model.begin();
        for (;;) {
            DataFileNextRecord(*t.fi, nullptr, ref, buf.data(), ref);
            if (ref == 0) break;
            ASSERT_NE(it, model.end());
            ASSERT_EQ(ref, it->first);
            ASSERT_EQ(buf, it->second);
            ++it;
        }
        ASSERT_EQ(it, model.end());
        auto rit = model.rbegin();
        for (ref = 0;;) {
            DataFilePriorRecord(*t.fi, nullptr, ref, nullptr, ref);
            if (ref == 0) break;
            ASSERT_NE(rit, model.rend());
            ASSERT_EQ(ref, rit->first);
            ++rit;
        }
        ASSERT_EQ(rit, model.rend());
        TqbDataFileInfo info;
        DataFileGetRecordInfo(*t.fi, nullptr, info);
        ASSERT_EQ(info.RecordCount, model.size());
        TqbVerifyOptions o;
        o.ScanAllBlocks = t.fi->BlockCount < 10000;
        o.EntriesAgainstRecords = false; // records without index entries
        ASSERT_EQ(FormatVerifyProblems(VerifyTableFile(*t.fi, nullptr, o)), "");
    }
}

} // namespace

TEST(DataFile, RecordModelAcrossBlocks) {
    Db db;
    // 200-byte records: 19 slots per 4 KB block, so the model spans many blocks.
    Table t(db, "recs", bytesDictionary(4096, 199));
    recordModel(db, t, 200, scaled(20000), 7);
    EXPECT_GE(t.fi->BlockCount, 6u);
}

TEST(DataFile, ReferencesAboveFourGigabytes) {
    // A sparse file of 64 KB blocks whose data blocks lie past block 65536.
    Db db(false);
    Table t(db, "big", bytesDictionary(65536, 8000));
    TqbSrTransaction* tr = db.begin();
    {
        TqbBlockHold h(*t.fi, tr, 0, true);
        SetBlockWord(h.p(), kHdrBlockCount, 65537);
    }
    t.fi->BlockCount = 65537;
    db.commit();
    recordModel(db, t, 8001, scaled(800), 11);
    uint64_t last;
    DataFilePriorRecord(*t.fi, nullptr, 0, nullptr, last);
    EXPECT_GT(last, uint64_t(1) << 32);
    EXPECT_GE(t.fi->BlockCount, 65537u + 3);
}
