// The table-file verifier finds seeded damage: a B-tree cycle, a wrong key count, a block used by
// two structures, a data-chain cycle and a BLOB segment running past its block.
#include "TableFileSupport.h"

#include "db/storage/qbsrblob.h"

using namespace tabletest;

namespace {

// A table with records, a name index of several levels and a BLOB.
struct Damaged {
    Db db;
    Table t{db, "contacts", contactsDictionary()};
    uint64_t blob = 0;
    uint32_t firstData = 0;

    Damaged() {
        TqbSrTransaction* tr = db.begin();
        const TqbDataDictionary& d = t.dict();
        std::vector<uint8_t> rec(size_t(d.RecordLength())), key(size_t(d.IndexKeyLength(1)));
        for (int i = 0; i < 400; ++i) {
            d.InitRecord(rec.data());
            std::string name = "contact " + std::to_string(i * 7919 % 400);
            uint8_t v[41] = {uint8_t(name.size())};
            std::memcpy(v + 1, name.data(), name.size());
            d.SetRecordField(0, rec.data(), v);
            uint64_t ref;
            DataFileAddRecord(*t.fi, tr, ref, rec.data());
            BuildCompositeKey(d, 1, rec.data(), key.data());
            IndexInsertKey(t.index(1), tr, key.data(), ref);
        }
        TableBLOBCreate(*t.fi, tr, blob);
        std::string data(9000, 'b');
        TableBLOBWrite(*t.fi, tr, blob, 0, uint32_t(data.size()), data.data());
        db.commit();
        BLOBResourceManager(*t.fi).Commit();
        firstData = BlockWord(reinterpret_cast<const uint8_t*>(t.block(0).data()), kHdrFirstDataBlock);
    }
    // Changes one block in a transaction and returns what the verifier says of it then.
    std::string with(uint32_t block, const std::function<void(uint8_t*)>& change) {
        TqbSrTransaction* tr = db.begin();
        {
            TqbBlockHold h(*t.fi, tr, block, true);
            change(h.p());
        }
        std::string r = t.verify(tr);
        db.rollback();
        return r;
    }
};

} // namespace

TEST(Verifier, FindsSeededDamage) {
    Damaged d;
    ASSERT_EQ(d.t.verify(), "");
    const TqbIndexHeaderEntry ix = IndexHeaderEntry(*d.t.fi, nullptr, 1);
    ASSERT_GT(ix.PageCount, 3u);
    const uint32_t ixBlock =
        BlockWord(reinterpret_cast<const uint8_t*>(d.t.block(0).data()), kHdrIndexHeaderBlock);

    // B-tree cycle: the root's second child points at its first.
    std::string r = d.with(
        ix.Root, [](uint8_t* b) { SetBlockWord(b, kIdxFirstChild + 4, BlockWord(b, kIdxFirstChild)); });
    EXPECT_NE(r.find("used twice: index page and index page"), std::string::npos) << r;

    // Wrong key count in the index header block.
    r = d.with(ixBlock, [](uint8_t* b) { SetBlockWord(b, kIxhKeyCount + 4, 399); });
    EXPECT_NE(r.find("block " + std::to_string(ixBlock) + ": index 1: key count 399 but 400 entries"),
              std::string::npos)
        << r;

    // A block in two structures: the deleted-block chain claims the first data block.
    r = d.with(0, [&](uint8_t* h) {
        SetBlockWord(h, kHdrDeletedCount, 1);
        SetBlockWord(h, kHdrDeletedHead, d.firstData);
    });
    EXPECT_NE(r.find("block " + std::to_string(d.firstData) +
                     ": block used twice: deleted-block chain and data chain"),
              std::string::npos)
        << r;

    // Data-chain cycle: the last data block leads back to the first; the walk stops.
    const uint32_t lastData =
        BlockWord(reinterpret_cast<const uint8_t*>(d.t.block(0).data()), kHdrLastDataBlock);
    ASSERT_NE(lastData, d.firstData);
    r = d.with(lastData, [&](uint8_t* b) { SetBlockWord(b, kDataNext, d.firstData); });
    EXPECT_NE(
        r.find("block " + std::to_string(d.firstData) + ": block used twice: data chain and data chain"),
        std::string::npos)
        << r;

    // A BLOB segment that runs past the end of its block.
    const uint32_t blobBlock = uint32_t(d.blob >> d.t.fi->BlockShift);
    const uint32_t off = uint32_t(d.blob & (d.t.fi->BlockSize - 1));
    r = d.with(blobBlock, [&](uint8_t* b) { plat::StoreLE16(b + off + 2, 4096); });
    EXPECT_NE(r.find("block " + std::to_string(blobBlock) + ": BLOB segment at " + std::to_string(off) +
                     " runs past its block"),
              std::string::npos)
        << r;
    // Reading that BLOB raises instead of copying outside the block.
    TqbSrTransaction* tr = d.db.begin();
    {
        TqbBlockHold h(*d.t.fi, tr, blobBlock, true);
        plat::StoreLE16(h.p() + off + 2, 4096);
    }
    int32_t err;
    EXPECT_EQ(dbtest::raised<EqbException>([&] { TableBLOBGetLength(*d.t.fi, tr, d.blob, err); }).code, 51);
    d.db.rollback();

    // Slots in use that the header does not count.
    r = d.with(0, [](uint8_t* h) { SetBlockWord(h, kHdrRecordCount, 5); });
    EXPECT_NE(r.find("block 0: header: record count differs from the slots in use"), std::string::npos) << r;
    EXPECT_EQ(d.t.verify(), "");
}
