// The table-file verifier finds seeded damage: B-tree and chain damage, block prefixes, the index
// header's unused slots, index entries held against the records, and a header whose block count
// lies (one problem at once, with the listing bounded), and the header words a table needs: its
// dictionary, and a deleted-block chain that ends with its count; the tool's exit status for each.
#include "TableFileSupport.h"

#include "db/storage/qbsrblob.h"
#include "tests/support/ChildProcess.h"

#include <fstream>

using namespace tabletest;

namespace {

std::string refKey(uint64_t ref) {
    std::string k(8, '\0');
    plat::StoreLE64(reinterpret_cast<uint8_t*>(k.data()), ref);
    return k;
}

// A table with records in index 0 and in its name index of several levels, and a BLOB.
struct Damaged {
    Db db;
    Table t{db, "contacts", contactsDictionary()};
    uint64_t blob = 0;
    uint32_t firstData = 0;
    std::vector<uint64_t> refs;

    Damaged() {
        TqbSrTransaction* tr = db.begin();
        const TqbDataDictionary& d = t.dict();
        std::vector<uint8_t> rec(size_t(d.RecordLength())), key(size_t(d.IndexKeyLength(1)));
        for (int i = 0; i < 400; ++i) {
            d.InitRecord(rec.data());
            setName(rec, "contact " + std::to_string(i * 7919 % 400));
            uint64_t ref;
            DataFileAddRecord(*t.fi, tr, ref, rec.data());
            BuildCompositeKey(d, 1, rec.data(), key.data());
            IndexInsertKey(t.index(0), tr, key0(ref), ref);
            IndexInsertKey(t.index(1), tr, key.data(), ref);
            refs.push_back(ref);
        }
        TableBLOBCreate(*t.fi, tr, blob);
        std::string data(9000, 'b');
        TableBLOBWrite(*t.fi, tr, blob, 0, uint32_t(data.size()), data.data());
        db.commit();
        BLOBResourceManager(*t.fi).Commit();
        firstData = headerWord(kHdrFirstDataBlock);
    }
    void setName(std::vector<uint8_t>& rec, const std::string& name) {
        uint8_t v[41] = {uint8_t(name.size())};
        std::memcpy(v + 1, name.data(), name.size());
        t.dict().SetRecordField(0, rec.data(), v);
    }
    const uint8_t* key0(uint64_t ref) {
        k0 = refKey(ref);
        return reinterpret_cast<const uint8_t*>(k0.data());
    }
    uint32_t headerWord(uint32_t off) {
        return BlockWord(reinterpret_cast<const uint8_t*>(t.block(0).data()), off);
    }
    // Changes the table in a transaction and returns what the verifier says of it then.
    std::string with(const std::function<void(TqbSrTransaction*)>& change) {
        TqbSrTransaction* tr = db.begin();
        change(tr);
        std::string r = t.verify(tr, true);
        db.rollback();
        return r;
    }
    std::string with(uint32_t block, const std::function<void(uint8_t*)>& change) {
        return with([&](TqbSrTransaction* tr) {
            TqbBlockHold h(*t.fi, tr, block, true);
            change(h.p());
        });
    }
    std::string k0;
};

#define EXPECT_FINDS(report, text) EXPECT_NE((report).find(text), std::string::npos) << (report)

} // namespace

TEST(Verifier, FindsSeededDamage) {
    Damaged d;
    ASSERT_EQ(d.t.verify(nullptr, true), "");
    const TqbIndexHeaderEntry ix = IndexHeaderEntry(*d.t.fi, nullptr, 1);
    ASSERT_GT(ix.PageCount, 3u);
    const uint32_t ixBlock = d.headerWord(kHdrIndexHeaderBlock);

    // B-tree cycle: the root's second child points at its first. The records under the subtree
    // that was not walked are not listed as missing on top.
    const std::string cycle = d.with(
        ix.Root, [](uint8_t* b) { SetBlockWord(b, kIdxFirstChild + 4, BlockWord(b, kIdxFirstChild)); });
    EXPECT_FINDS(cycle, "used twice: index page and index page");
    EXPECT_EQ(cycle.find("has no entry"), std::string::npos) << cycle;

    // Wrong key count in the index header block.
    EXPECT_FINDS(d.with(ixBlock, [](uint8_t* b) { SetBlockWord(b, kIxhKeyCount + 4, 399); }),
                 "block " + std::to_string(ixBlock) + ": index 1: key count 399 but 400 entries");

    // A block in two structures: the deleted-block chain claims the first data block.
    EXPECT_FINDS(d.with(0,
                        [&](uint8_t* h) {
                            SetBlockWord(h, kHdrDeletedCount, 1);
                            SetBlockWord(h, kHdrDeletedHead, d.firstData);
                        }),
                 "block " + std::to_string(d.firstData) +
                     ": block used twice: deleted-block chain and data chain");

    // Data-chain cycle: the last data block leads back to the first; the walk stops.
    const uint32_t lastData = d.headerWord(kHdrLastDataBlock);
    ASSERT_NE(lastData, d.firstData);
    EXPECT_FINDS(d.with(lastData, [&](uint8_t* b) { SetBlockWord(b, kDataNext, d.firstData); }),
                 "block " + std::to_string(d.firstData) + ": block used twice: data chain and data chain");

    // A BLOB segment that runs past the end of its block.
    const uint32_t blobBlock = uint32_t(d.blob >> d.t.fi->BlockShift);
    const uint32_t off = uint32_t(d.blob & (d.t.fi->BlockSize - 1));
    EXPECT_FINDS(d.with(blobBlock, [&](uint8_t* b) { plat::StoreLE16(b + off + 2, 4096); }),
                 "block " + std::to_string(blobBlock) + ": BLOB segment at " + std::to_string(off) +
                     " runs past its block");
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
    EXPECT_FINDS(d.with(0, [](uint8_t* h) { SetBlockWord(h, kHdrRecordCount, 5); }),
                 "block 0: header: record count differs from the slots in use");
    EXPECT_EQ(d.t.verify(nullptr, true), "");
}

TEST(Verifier, FindsDamagedPrefixesAndIndexHeaderSlots) {
    Damaged d;
    const uint32_t ixBlock = d.headerWord(kHdrIndexHeaderBlock);
    const auto inUseWord = [&](uint32_t block, const std::string& what) {
        EXPECT_FINDS(d.with(block, [](uint8_t* b) { SetBlockWord(b, kBlkLink, 7); }),
                     "block " + std::to_string(block) + ": " + what +
                         ": word +4 of a block in use is not 0xFFFFFFFF");
    };
    inUseWord(d.firstData, "data block");
    inUseWord(ixBlock, "index header");
    inUseWord(IndexHeaderEntry(*d.t.fi, nullptr, 0).Root, "index 0");
    inUseWord(uint32_t(d.blob >> d.t.fi->BlockShift), "BLOB block");
    // A stream block carries its next link at +4, a single-block stream none.
    const uint32_t dict = d.headerWord(kHdrDictBlock);
    EXPECT_FINDS(d.with(dict, [](uint8_t* b) { SetBlockWord(b, kBlkLink, 9); }),
                 "block " + std::to_string(dict) + ": dictionary stream: word +4 differs from the next link");

    // A leaf whose first-child word names a page.
    uint32_t leaf = IndexHeaderEntry(*d.t.fi, nullptr, 1).Root;
    for (;;) {
        const std::string b = d.t.block(leaf);
        if (b[kIdxLeaf] == 1) break;
        leaf = BlockWord(reinterpret_cast<const uint8_t*>(b.data()), kIdxFirstChild);
    }
    EXPECT_FINDS(d.with(leaf, [](uint8_t* b) { SetBlockWord(b, kIdxFirstChild, 3); }),
                 "block " + std::to_string(leaf) + ": index 1: leaf word +32 is not 0xFFFFFFFF");

    // Unused slots of the index header hold nothing: a key count, a flag or a page count left over.
    EXPECT_FINDS(d.with(ixBlock, [](uint8_t* b) { SetBlockWord(b, kIxhKeyCount + 4 * 7, 3); }),
                 "block " + std::to_string(ixBlock) + ": index 7: unused slot is not empty");
    EXPECT_FINDS(d.with(ixBlock, [](uint8_t* b) { b[kIxhFlags + 255] = kIxFlagDups; }),
                 "index 255: unused slot is not empty");
    EXPECT_FINDS(d.with(ixBlock, [](uint8_t* b) { SetBlockWord(b, kIxhPageCount + 4 * 2, 1); }),
                 "index 2: unused slot is not empty");
}

TEST(Verifier, HoldsEveryIndexEntryAgainstTheRecords) {
    Damaged d;
    const TqbDataDictionary& dict = d.t.dict();
    std::vector<uint8_t> rec(size_t(dict.RecordLength())), key(size_t(dict.IndexKeyLength(1)));
    const uint64_t ref = d.refs[17], other = d.refs[18];
    const std::string at = std::to_string(ref);
    const auto keyOf = [&](TqbSrTransaction* tr, uint64_t r) {
        DataFileReadRecord(*d.t.fi, tr, r, rec.data());
        BuildCompositeKey(dict, 1, rec.data(), key.data());
        return key.data();
    };

    // A record missing from the name index, and one missing from index 0.
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        ASSERT_TRUE(IndexDeleteKey(d.t.index(1), tr, keyOf(tr, ref), ref));
    }),
                 "index 1: record at " + at + " has no entry");
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        ASSERT_TRUE(IndexDeleteKey(d.t.index(0), tr, d.key0(ref), ref));
    }),
                 "index 0: record at " + at + " has no entry");

    // A record with two entries: a second one under another record's key.
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        ASSERT_TRUE(IndexInsertKey(d.t.index(1), tr, keyOf(tr, other), ref));
    }),
                 "index 1: entry for " + at + ": the record has two entries");

    // A record changed without its key: the entry's key is no longer the record's.
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        DataFileReadRecord(*d.t.fi, tr, ref, rec.data());
        d.setName(rec, "renamed behind the index");
        DataFileWriteRecord(*d.t.fi, tr, ref, rec.data());
    }),
                 "index 1: entry for " + at + ": key differs from the record's");

    // A record deleted with its entries left behind.
    const std::string deleted = d.with([&](TqbSrTransaction* tr) { DataFileDeleteRecord(*d.t.fi, tr, ref); });
    EXPECT_FINDS(deleted, "index 0: entry for " + at + " names a deleted record");
    EXPECT_FINDS(deleted, "index 1: entry for " + at + " names a deleted record");

    // Entries naming positions that hold no record: offset 8 of block 0, and past a slot's start.
    EXPECT_FINDS(
        d.with([&](TqbSrTransaction* tr) { ASSERT_TRUE(IndexInsertKey(d.t.index(0), tr, d.key0(8), 8)); }),
        "index 0: entry for 8 names no record slot");
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        ASSERT_TRUE(IndexInsertKey(d.t.index(1), tr, keyOf(tr, ref), ref + 1));
    }),
                 "index 1: entry for " + std::to_string(ref + 1) + " names no record slot");
    EXPECT_EQ(d.t.verify(nullptr, true), "");
}

// The name index is blind to case, and the engine keeps an entry's key when the record's new key
// compares equal to it: a record renamed only in case is sound. The header's index count and
// sequential-index flag are what the dictionary and the file make them.
TEST(Verifier, ComparesKeysAsTheirIndexAndChecksTheHeadersIndexWords) {
    Damaged d;
    const TqbDataDictionary& dict = d.t.dict();
    ASSERT_TRUE(dict.IndexIsCaseInsensitive(1));
    std::vector<uint8_t> rec(size_t(dict.RecordLength()));
    const uint64_t ref = d.refs[17];
    const auto renamed = [&](const std::function<std::string(std::string)>& to) {
        return d.with([&](TqbSrTransaction* tr) {
            DataFileReadRecord(*d.t.fi, tr, ref, rec.data());
            uint8_t v[41] = {};
            bool isNull = false;
            dict.GetRecordField(0, rec.data(), v, isNull);
            d.setName(rec, to(std::string(reinterpret_cast<const char*>(v + 1), v[0])));
            DataFileWriteRecord(*d.t.fi, tr, ref, rec.data());
        });
    };
    EXPECT_EQ(renamed([](std::string n) {
                  for (char& c : n)
                      c = char(std::toupper(uint8_t(c)));
                  return n;
              }),
              "");
    EXPECT_FINDS(renamed([](std::string n) { return n + "x"; }),
                 "index 1: entry for " + std::to_string(ref) + ": key differs from the record's");

    const uint32_t indexes = uint32_t(dict.IndexCount());
    ASSERT_EQ(d.headerWord(kHdrIndexCount), indexes);
    for (uint32_t count : {0u, indexes - 1, indexes + 1, 21u}) {
        SCOPED_TRACE(count);
        EXPECT_FINDS(d.with(0, [&](uint8_t* h) { SetBlockWord(h, kHdrIndexCount, count); }),
                     "block 0: header: index count " + std::to_string(count) + " but the dictionary has " +
                         std::to_string(indexes) + " indexes");
    }
    for (uint32_t flag : {0u, 2u})
        EXPECT_FINDS(d.with(0, [&](uint8_t* h) { SetBlockWord(h, kHdrSequentialIndex, flag); }),
                     "block 0: header: sequential-index flag is not 1");
    EXPECT_EQ(d.t.verify(nullptr, true), "");
}

TEST(Verifier, ABlockCountBeyondTheFileIsOneProblemAndTheListingIsBounded) {
    Damaged d;
    // The file as committed, copied through its open handle (the table keeps it open alone).
    std::string image(size_t(GetFileSize(*d.t.fi)), '\0');
    ReadFileExactAt(*d.t.fi, 0, uint32_t(image.size()), image.data());
    const uint32_t blocks = uint32_t(image.size() / d.t.fi->BlockSize);
    auto* h = reinterpret_cast<uint8_t*>(image.data());
    const std::string bad = d.db.file("bad.QB2");
    const auto save = [&] { ASSERT_EQ(plat::FileReplaceAtomic(bad, image), 0); };

    save();
    EXPECT_TRUE(VerifyTableFileOnDisk(bad).empty()) << FormatVerifyProblems(VerifyTableFileOnDisk(bad));
    for (uint32_t count : {16777226u, blocks + 1}) {
        SetBlockWord(h, kHdrBlockCount, count);
        save();
        const TqbVerifyReport r = VerifyTableFileOnDisk(bad);
        EXPECT_EQ(r.Count, 1u) << count;
        EXPECT_EQ(FormatVerifyProblems(r), "block 0: header: block count beyond the file\n") << count;
    }

    // Past the bound the problems are counted, not listed: every record lost from both indexes.
    SetBlockWord(h, kHdrBlockCount, blocks);
    const uint32_t ixBlock = d.headerWord(kHdrIndexHeaderBlock);
    for (uint32_t i : {0u, 1u}) {
        SetBlockWord(h + size_t(ixBlock) * d.t.fi->BlockSize, kIxhRoot + 4 * i, kNoBlock);
        SetBlockWord(h + size_t(ixBlock) * d.t.fi->BlockSize, kIxhKeyCount + 4 * i, 0);
        SetBlockWord(h + size_t(ixBlock) * d.t.fi->BlockSize, kIxhPageCount + 4 * i, 0);
    }
    save();
    TqbVerifyOptions o;
    o.ScanAllBlocks = false;
    o.MaxProblems = 500;
    const TqbVerifyReport r = VerifyTableFileOnDisk(bad, o);
    EXPECT_EQ(r.Count, 800u);
    ASSERT_EQ(r.Problems.size(), 500u);
    const std::string text = FormatVerifyProblems(r);
    EXPECT_EQ(text.substr(text.size() - 23), "\nand 300 more problems\n");
}

namespace {

// What the verifier program says of a file, and its exit status.
std::pair<int, std::string> runVerifier(const std::string& file) {
    pwtest::ChildProcess tool(PW_BINARY_DIR "/tools/qbverify", {file});
    const int status = tool.wait();
    return {status, tool.text};
}

// The committed file of a table, as bytes.
std::string imageOf(Damaged& d) {
    std::string image(size_t(GetFileSize(*d.t.fi)), '\0');
    ReadFileExactAt(*d.t.fi, 0, uint32_t(image.size()), image.data());
    return image;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

// A deleted-block chain whose head names a block while no block is counted deleted: the next
// block a table takes would be that block, here the dictionary's.
TEST(Verifier, ADeletedBlockChainHeadBeyondItsCountIsReported) {
    pwtest::TempDir disk;
    Damaged d;
    std::string image = imageOf(d);
    auto* h = reinterpret_cast<uint8_t*>(image.data());
    ASSERT_EQ(BlockWord(h, kHdrDeletedCount), 0u);
    ASSERT_EQ(BlockWord(h, kHdrDeletedHead), kNoBlock);
    const uint32_t dict = BlockWord(h, kHdrDictBlock);
    const std::string file = disk.file("contacts.QB2");
    writeFile(file, image);
    auto [sound, soundText] = runVerifier(file);
    EXPECT_EQ(sound, 0) << soundText;
    EXPECT_EQ(soundText, file + ": no problems found\n");

    SetBlockWord(h, kHdrDeletedHead, dict);
    writeFile(file, image);
    auto [status, text] = runVerifier(file);
    EXPECT_EQ(status, 1) << text;
    EXPECT_FINDS(text, "block 0: header: deleted-block chain goes on past its count of 0 to block " +
                           std::to_string(dict) + "\n");
    EXPECT_FINDS(text, "block " + std::to_string(dict) + ": deleted-block chain: not a deleted block\n");
    EXPECT_FINDS(text, file + ": 2 problem(s)\n");

    // The deleted-record chain alike: with every slot in use, a head that names one.
    TqbSrTransaction* tr = d.db.begin();
    std::vector<uint8_t> rec(size_t(d.t.dict().RecordLength()));
    d.t.dict().InitRecord(rec.data());
    for (;;) {
        TqbBlockHold hb(*d.t.fi, tr, 0, false);
        if (BlockWord(hb.p(), kHdrDeletedRecords) == 0) break;
        hb.release();
        uint64_t ref = 0;
        DataFileAddRecord(*d.t.fi, tr, ref, rec.data());
    }
    EXPECT_EQ(d.t.verify(tr), "");
    {
        TqbBlockHold hb(*d.t.fi, tr, 0, true);
        SetBlockRef(hb.p(), kHdrDeletedRecordHead, d.refs[3]);
    }
    EXPECT_EQ(d.t.verify(tr), "block 0: header: deleted-record chain head names " +
                                  std::to_string(d.refs[3]) + " while the deleted-record count is 0\n");
    d.db.rollback();

    // The same past a chain of one: the freed block links on to a block in use.
    EXPECT_FINDS(d.with([&](TqbSrTransaction* tr) {
        uint32_t freed = 0;
        TqbBlockHold nb;
        nb.newBlock(*d.t.fi, tr, freed);
        TqbBlockHold hb(*d.t.fi, tr, 0, true);
        FreeBlock(hb.p(), nb.p());
        SetBlockWord(nb.p(), kBlkLink, dict);
    }),
                 "block 0: header: deleted-block chain goes on past its count of 1 to block " +
                     std::to_string(dict));
}

// A table file whose header names no dictionary never opens: a header alone, as a build cut
// short leaves it, and a whole table with its dictionary word cleared.
TEST(Verifier, ATableFileWithoutItsDictionaryIsReported) {
    pwtest::TempDir disk;
    const std::string bare = disk.file("contacts.QB2");
    CreateTableFile(bare, contactsDictionary(), false);
    ASSERT_EQ(std::filesystem::file_size(bare), 4096u);
    EXPECT_EQ(FormatVerifyProblems(VerifyTableFileOnDisk(bare)),
              "block 0: header: no data dictionary (word +116 is 0)\n");
    auto [status, text] = runVerifier(bare);
    EXPECT_EQ(status, 1) << text;
    EXPECT_EQ(text, "block 0: header: no data dictionary (word +116 is 0)\n" + bare + ": 1 problem(s)\n");

    Damaged d;
    std::string image = imageOf(d);
    SetBlockWord(reinterpret_cast<uint8_t*>(image.data()), kHdrDictBlock, 0);
    const std::string cleared = disk.file("cleared.QB2");
    writeFile(cleared, image);
    auto [clearedStatus, clearedText] = runVerifier(cleared);
    EXPECT_EQ(clearedStatus, 1) << clearedText;
    EXPECT_FINDS(clearedText, "block 0: header: no data dictionary (word +116 is 0)\n");
}
