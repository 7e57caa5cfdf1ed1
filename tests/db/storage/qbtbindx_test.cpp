// B-tree indexes: page capacities, the index header block, a model of random inserts, deletes,
// searches and steps against std::multiset, and key paths across other transactions' changes.
#include "TableFileSupport.h"

#include <random>
#include <set>

using dbtest::raised;
using namespace tabletest;

namespace {

int code(const std::function<void()>& f) {
    return raised<EqbException>(f).code;
}

// Indexes 1 and 2 on an Int32 (5-byte keys, large pages), 3 and 4 on 1023 bytes (1024-byte keys:
// three keys a page in 4 KB blocks), 5 and 6 on a 40-character name ignoring case (42-byte keys);
// the even ones allow duplicates.
TqbServerDataDict treeDictionary(uint32_t blockSize) {
    TqbServerDataDict d(blockSize);
    d.SetTableName("tree");
    d.AddField("k", "", qbtInt32, 0, 0, false);
    d.AddField("big", "", qbtByteArray, 1023, 0, false);
    d.AddField("name", "", qbtShortString, 40, 0, false);
    const int32_t k = 0, big = 1, name = 2;
    d.AddIndex("k", "", 0, 1, &k, nullptr, false, true, false);
    d.AddIndex("kDups", "", 0, 1, &k, nullptr, true, true, false);
    d.AddIndex("big", "", 0, 1, &big, nullptr, false, true, false);
    d.AddIndex("bigDups", "", 0, 1, &big, nullptr, true, true, false);
    d.AddIndex("name", "", 0, 1, &name, nullptr, false, true, true);
    d.AddIndex("nameDups", "", 0, 1, &name, nullptr, true, true, true);
    return d;
}

size_t keyLength(int idx) {
    return idx <= 2 ? 5 : (idx <= 4 ? 1024 : 42);
}

// Names share a long prefix (in mixed case, with accents) and end in the value's digits, so that
// comparisons pass many equal bytes before the one that decides.
constexpr char kNamePrefix[] = "Stra\xDF\xE9-Name, L\xC4NGER than 8";

std::vector<uint8_t> keyOf(int idx, int32_t v) {
    if (idx >= 5) {
        const std::string s = kNamePrefix + std::to_string(v + 1000000000LL);
        std::vector<uint8_t> k(42, 0);
        k[0] = uint8_t(s.size());
        std::memcpy(k.data() + 1, s.data(), s.size());
        k[41] = 0; // the null bit clear
        return k;
    }
    if (idx <= 2) {
        std::vector<uint8_t> k(5, 0);
        plat::StoreLE32(k.data(), uint32_t(v));
        return k;
    }
    std::vector<uint8_t> k(1024, 0);
    for (int i = 0; i < 4; ++i)
        k[size_t(i)] = uint8_t(uint32_t(v) >> (24 - 8 * i));
    return k;
}

int32_t valueOf(int idx, const uint8_t* k) {
    if (idx >= 5) {
        const size_t prefix = std::strlen(kNamePrefix);
        return int32_t(std::stoll(std::string(reinterpret_cast<const char*>(k) + 1 + prefix, k[0] - prefix)) -
                       1000000000LL);
    }
    if (idx <= 2) return int32_t(plat::LoadLE32(k));
    return int32_t(uint32_t(k[0]) << 24 | uint32_t(k[1]) << 16 | uint32_t(k[2]) << 8 | k[3]);
}

using Entry = std::pair<int32_t, uint64_t>;

struct Cursor {
    TqbKeyPath path{};
    std::vector<uint8_t> key;
    uint64_t ref = 0;
};

// Steps the cursor and checks the entry against the model's.
void expectStep(Table& t, int idx, TqbSrTransaction* tr, Cursor& c, bool forward, std::optional<Entry> want) {
    TqbIndexData d = t.index(idx);
    const bool got = forward ? IndexNextKey(d, tr, c.path, c.key.data(), c.ref)
                             : IndexPriorKey(d, tr, c.path, c.key.data(), c.ref);
    ASSERT_EQ(got, want.has_value());
    if (want) {
        ASSERT_EQ(valueOf(idx, c.key.data()), want->first);
        ASSERT_EQ(c.ref, want->second);
    }
}

std::optional<Entry> after(const std::multiset<Entry>& m, std::multiset<Entry>::const_iterator it) {
    if (it == m.end() || ++it == m.end()) return std::nullopt;
    return *it;
}

std::optional<Entry> before(const std::multiset<Entry>& m, std::multiset<Entry>::const_iterator it) {
    if (it == m.begin()) return std::nullopt;
    return *--it;
}

void treeModel(Db& db, Table& t, int idx, uint64_t ops, int32_t keyRange, uint32_t seed, int insertPct = 50) {
    const bool dups = t.dict().IndexAllowDups(idx);
    std::mt19937_64 rng(seed);
    std::multiset<Entry> model, committed;
    TqbIndexData d = t.index(idx);
    Cursor kept; // a cursor left standing across batches
    bool keptSet = false;
    uint32_t maxPages = 0;
    const uint64_t batch = 2000;
    for (uint64_t done = 0; done < ops;) {
        TqbSrTransaction* tr = db.begin();
        for (uint64_t i = 0; i < batch; ++i, ++done) {
            const int op = int(rng() % 100);
            const int32_t v = int32_t(rng() % uint64_t(keyRange));
            auto key = keyOf(idx, v);
            if (op < insertPct) {
                uint64_t ref = 1 + rng() % (uint64_t(1) << 40);
                if (!model.empty() && rng() % 10 == 0)
                    ref = std::next(model.begin(), long(rng() % model.size()))->second;
                bool present =
                    dups ? model.count({v, ref}) > 0
                         : model.lower_bound({v, 0}) != model.end() && model.lower_bound({v, 0})->first == v;
                ASSERT_EQ(IndexInsertKey(d, tr, key.data(), ref), !present) << v;
                if (!present) model.insert({v, ref});
            } else if (op < insertPct + 35) {
                Entry e{v, 1 + rng() % 1000};
                if (!model.empty() && rng() % 10 < 8)
                    e = *std::next(model.begin(), long(rng() % model.size()));
                auto k2 = keyOf(idx, e.first);
                auto it = model.find(e);
                // A unique index finds the key whatever reference is asked for.
                if (!dups) {
                    auto lb = model.lower_bound({e.first, 0});
                    it = lb != model.end() && lb->first == e.first ? lb : model.end();
                }
                ASSERT_EQ(IndexDeleteKey(d, tr, k2.data(), e.second), it != model.end());
                if (it != model.end()) model.erase(it);
            } else if (op < insertPct + 45) {
                // Search into the gap (mode 1) and step both ways.
                Cursor c;
                c.key = key;
                uint64_t ref = 0;
                const bool found = IndexFindKey(d, tr, key.data(), ref, 1, c.path);
                ASSERT_TRUE(found);
                auto lb = model.lower_bound({v, 0});
                Cursor p = c;
                if (lb != model.end() && lb->first == v) {
                    ASSERT_EQ(ref, lb->second);
                    c.ref = p.ref = ref;
                    ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, tr, c, true, dups ? after(model, lb) : *lb));
                } else {
                    c.ref = p.ref = 0;
                    ASSERT_NO_FATAL_FAILURE(expectStep(
                        t, idx, tr, c, true, lb == model.end() ? std::nullopt : std::optional<Entry>(*lb)));
                }
                ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, tr, p, false, before(model, lb)));
            } else {
                // Exact search of an entry (mode 0), then a few steps forward.
                if (model.empty()) continue;
                auto it = std::next(model.begin(), long(rng() % model.size()));
                Cursor c;
                c.key = keyOf(idx, it->first);
                uint64_t ref = it->second;
                ASSERT_TRUE(IndexFindKey(d, tr, c.key.data(), ref, 0, c.path));
                auto first = model.lower_bound({it->first, 0});
                ASSERT_EQ(ref, first->second);
                c.ref = ref;
                auto at = first;
                if (!dups) {
                    ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, tr, c, true, *at));
                }
                for (int s = 0; s < 3; ++s) {
                    ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, tr, c, true, after(model, at)));
                    if (++at == model.end()) break;
                }
            }
        }
        if (rng() % 5 == 0) {
            db.rollback();
            model = committed;
        } else {
            db.commit();
            committed = model;
        }
        // A cursor positioned before this batch continues from its entry.
        if (keptSet) {
            auto it = model.upper_bound({valueOf(idx, kept.key.data()), kept.ref});
            if (dups || it == model.end() || it->first != valueOf(idx, kept.key.data())) {
                ASSERT_NO_FATAL_FAILURE(
                    expectStep(t, idx, nullptr, kept, true,
                               it == model.end() ? std::nullopt : std::optional<Entry>(*it)));
            }
        }
        keptSet = false;
        if (!model.empty()) {
            auto it = std::next(model.begin(), long(rng() % model.size()));
            kept.key = keyOf(idx, it->first);
            uint64_t ref = it->second;
            IndexFindKey(d, nullptr, kept.key.data(), ref, 0, kept.path);
            kept.ref = ref;
            auto first = model.lower_bound({it->first, 0});
            if (!dups) IndexNextKey(d, nullptr, kept.path, kept.key.data(), kept.ref); // onto the entry
            keptSet = kept.ref == first->second;
        }
        // The whole index in both directions.
        Cursor w;
        w.key.resize(keyLength(idx));
        KeyPathToBegin(w.path);
        for (const Entry& e : model)
            ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, nullptr, w, true, e));
        ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, nullptr, w, true, std::nullopt));
        KeyPathToEnd(w.path);
        for (auto it = model.rbegin(); it != model.rend(); ++it)
            ASSERT_NO_FATAL_FAILURE(expectStep(t, idx, nullptr, w, false, *it));
        ASSERT_EQ(IndexHeaderEntry(*t.fi, nullptr, idx).KeyCount, model.size());
        maxPages = std::max(maxPages, IndexHeaderEntry(*t.fi, nullptr, idx).PageCount);
        ASSERT_EQ(t.verify(), "");
    }
    // The tree grew well past a root and its children.
    EXPECT_GE(maxPages, 3u);
    // Deleting every entry leaves no page behind.
    TqbSrTransaction* tr = db.begin();
    for (const Entry& e : model) {
        auto k = keyOf(idx, e.first);
        ASSERT_TRUE(IndexDeleteKey(d, tr, k.data(), e.second));
    }
    db.commit();
    const TqbIndexHeaderEntry h = IndexHeaderEntry(*t.fi, nullptr, idx);
    EXPECT_EQ(h.Root, kNoBlock);
    EXPECT_EQ(h.PageCount, 0u);
    EXPECT_EQ(h.KeyCount, 0u);
    EXPECT_EQ(t.verify(), "");
}

} // namespace

TEST(BTree, PageCapacities) {
    EXPECT_EQ(IndexMaxKeys(4096, 20, false, true), 145u);
    EXPECT_EQ(IndexMaxKeys(4096, 20, false, false), 125u);
    EXPECT_EQ(IndexMaxKeys(4096, 1024, false, true), 3u);
    EXPECT_EQ(IndexMaxKeys(4096, 8, true, true), 507u);
    EXPECT_EQ(IndexMaxKeys(65536, 32, false, false), 1487u);
}

TEST(BTree, ModelSmallestPagesUnique) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    treeModel(db, t, 3, scaled(26000), 600, 1);
}

TEST(BTree, ModelSmallestPagesDuplicates) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    treeModel(db, t, 4, scaled(26000), 150, 2);
}

TEST(BTree, ModelLargePagesUnique) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    treeModel(db, t, 1, scaled(26000), 1000000, 3, 53);
}

TEST(BTree, ModelLargePagesDuplicates) {
    Db db;
    Table t(db, "tree", treeDictionary(65536));
    treeModel(db, t, 2, scaled(26000), 3000, 4, 62);
}

TEST(BTree, ModelNamesWithLongCommonPrefixesUnique) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    treeModel(db, t, 5, scaled(26000), 1000000, 5);
}

TEST(BTree, ModelNamesWithLongCommonPrefixesDuplicates) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    treeModel(db, t, 6, scaled(26000), 2000, 6, 60);
}

TEST(BTree, HeaderBlockAndClear) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbSrTransaction* tr = db.begin();
    for (int idx = 1; idx <= 4; ++idx)
        for (int32_t v = 0; v < idx * 10; ++v) {
            auto k = keyOf(idx, v);
            ASSERT_TRUE(IndexInsertKey(t.index(idx), tr, k.data(), uint64_t(v + 1)));
        }
    db.commit();
    EXPECT_EQ(IndexHeaderEntry(*t.fi, nullptr, 3).KeyCount, 30u);
    // Dropping index 2 moves every later entry down, the key counts with them.
    const TqbIndexHeaderEntry three = IndexHeaderEntry(*t.fi, nullptr, 3);
    const TqbIndexHeaderEntry four = IndexHeaderEntry(*t.fi, nullptr, 4);
    tr = db.begin();
    IndexClear(t.index(2), tr);
    IndexHeaderDeleteIndex(*t.fi, tr, 2);
    const TqbIndexHeaderEntry now2 = IndexHeaderEntry(*t.fi, tr, 2), now3 = IndexHeaderEntry(*t.fi, tr, 3);
    EXPECT_EQ(now2.KeyCount, three.KeyCount);
    EXPECT_EQ(now2.Root, three.Root);
    EXPECT_EQ(now2.PageCount, three.PageCount);
    EXPECT_EQ(now3.KeyCount, four.KeyCount);
    EXPECT_EQ(now3.Flags, four.Flags);
    EXPECT_EQ(IndexHeaderEntry(*t.fi, tr, 255).Root, kNoBlock);
    EXPECT_EQ(IndexHeaderEntry(*t.fi, tr, 5).KeyLength, 42u);
    EXPECT_EQ(IndexHeaderEntry(*t.fi, tr, 6).KeyLength, 0u); // the last index's old slot
    db.rollback();

    tr = db.begin();
    IndexClear(t.index(3), tr);
    const TqbIndexHeaderEntry cleared = IndexHeaderEntry(*t.fi, tr, 3);
    EXPECT_EQ(cleared.Root, kNoBlock);
    EXPECT_EQ(cleared.PageCount, 0u);
    EXPECT_EQ(t.verify(tr), "");
    db.commit();
    EXPECT_EQ(code([&] { IndexHeaderEntry(*t.fi, nullptr, 256); }), 81);
}

TEST(BTree, StepsAtTheEndsReadNoPages) {
    // A file info without a buffer manager raises at the first block it would read.
    TbtdFileInfo none;
    TqbIndexData d;
    d.FileInfo = &none;
    TqbKeyPath p;
    uint8_t key[8];
    uint64_t ref = 0;
    KeyPathToEnd(p);
    EXPECT_FALSE(IndexNextKey(d, nullptr, p, key, ref));
    KeyPathToBegin(p);
    EXPECT_FALSE(IndexPriorKey(d, nullptr, p, key, ref));
    KeyPathClear(p);
    EXPECT_NE(raised<EqbException>([&] { IndexNextKey(d, nullptr, p, key, ref); }).message, "<none>");
}

TEST(BTree, FindModes) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbSrTransaction* tr = db.begin();
    TqbIndexData d = t.index(2);
    for (int32_t v : {10, 20, 20, 20, 30}) {
        auto k = keyOf(2, v);
        static uint64_t ref = 100;
        ASSERT_TRUE(IndexInsertKey(d, tr, k.data(), ref--));
    }
    // Equal keys come out by reference.
    TqbKeyPath p;
    auto k20 = keyOf(2, 20);
    uint64_t ref = 0;
    ASSERT_TRUE(IndexFindKey(d, tr, k20.data(), ref, 0, p));
    EXPECT_EQ(ref, 97u);
    EXPECT_EQ(p.Position, uint32_t(kpOnKey));
    ref = 0;
    ASSERT_TRUE(IndexFindKey(d, tr, k20.data(), ref, 2, p));
    std::vector<uint8_t> cur(5);
    uint64_t curRef = 0;
    EXPECT_EQ(p.Position, uint32_t(kpOnKey));
    auto k25 = keyOf(2, 25);
    ref = 0;
    EXPECT_FALSE(IndexFindKey(d, tr, k25.data(), ref, 0, p));
    EXPECT_EQ(p.Position, uint32_t(kpNone));
    ASSERT_TRUE(IndexFindKey(d, tr, k25.data(), ref, 3, p));
    EXPECT_EQ(ref, 96u); // the entry of 30
    auto k99 = keyOf(2, 99);
    EXPECT_FALSE(IndexFindKey(d, tr, k99.data(), ref, 3, p));
    EXPECT_EQ(p.Position, uint32_t(kpEOF));
    EXPECT_TRUE(IndexFindKey(d, tr, k99.data(), ref, 1, p));
    std::memcpy(cur.data(), k99.data(), 5);
    ASSERT_TRUE(IndexPriorKey(d, tr, p, cur.data(), curRef));
    EXPECT_EQ(valueOf(2, cur.data()), 30);
    // The same key and reference twice answers False.
    auto k10 = keyOf(2, 10);
    EXPECT_FALSE(IndexInsertKey(d, tr, k10.data(), 100));
    EXPECT_FALSE(IndexDeleteKey(d, tr, k10.data(), 1));
    db.commit();
}

TEST(BTree, CorruptPagesRaiseInsteadOfReadingOutside) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbSrTransaction* tr = db.begin();
    TqbIndexData d = t.index(3);
    for (int32_t v = 10; v < 50; ++v) {
        auto k = keyOf(3, v);
        ASSERT_TRUE(IndexInsertKey(d, tr, k.data(), uint64_t(v + 1)));
    }
    db.commit();
    const uint32_t root = IndexHeaderEntry(*t.fi, nullptr, 3).Root;
    auto damaged = [&](uint32_t off, uint32_t value, bool byte) {
        tr = db.begin();
        {
            TqbBlockHold h(*t.fi, tr, root, true);
            if (byte)
                h.p()[off] = uint8_t(value);
            else
                SetBlockWord(h.p(), off, value);
        }
        TqbKeyPath p;
        auto k = keyOf(3, 7);
        uint64_t ref = 0;
        int c = code([&] { IndexFindKey(d, tr, k.data(), ref, 0, p); });
        int c2 = code([&] { IndexInsertKey(d, tr, keyOf(3, 1).data(), 5); });
        const bool flagged = !t.verify(tr).empty();
        db.rollback();
        EXPECT_TRUE(flagged);
        EXPECT_EQ(c2, c);
        return c;
    };
    EXPECT_EQ(damaged(kIdxCount, 4, false), 80);         // more keys than fit
    EXPECT_EQ(damaged(kIdxMaxCount, 5, false), 80);      // a capacity the formula does not give
    EXPECT_EQ(damaged(kIdxNumber, 4, true), 80);         // a page of another index
    EXPECT_EQ(damaged(kIdxLevel, 33, true), 80);         // deeper than any path
    EXPECT_EQ(damaged(kIdxFirstChild, root, false), 80); // a child that is its own parent
    EXPECT_EQ(damaged(kBlkSignature, kSigData, false), 80);
    EXPECT_EQ(damaged(kIdxFirstChild, 0x7FFFFFF0, false), 33);
}

TEST(BTree, FailedDeleteStillDropsAnEmptiedRoot) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbSrTransaction* tr = db.begin();
    TqbIndexData d = t.index(3); // three keys a page
    for (int32_t v : {10, 20, 30, 40}) {
        auto k = keyOf(3, v);
        ASSERT_TRUE(IndexInsertKey(d, tr, k.data(), uint64_t(v)));
    }
    auto k40 = keyOf(3, 40);
    ASSERT_TRUE(IndexDeleteKey(d, tr, k40.data(), 40));
    // Root [20] over [10] and [30]: looking for 25 merges both children into the root's place.
    ASSERT_EQ(IndexHeaderEntry(*t.fi, tr, 3).PageCount, 3u);
    auto k25 = keyOf(3, 25);
    EXPECT_FALSE(IndexDeleteKey(d, tr, k25.data(), 25));
    const TqbIndexHeaderEntry h = IndexHeaderEntry(*t.fi, tr, 3);
    EXPECT_EQ(h.PageCount, 1u);
    EXPECT_EQ(h.KeyCount, 3u);
    EXPECT_EQ(t.verify(tr), "");
    db.commit();
}

namespace {

// The even keys 0 to 38 of index 3, each with reference key + 1, in one committed transaction.
void insertEvenKeys(Db& db, const TqbIndexData& d) {
    TqbSrTransaction* tr = db.begin();
    for (int32_t v = 0; v < 40; v += 2) {
        auto k = keyOf(3, v);
        ASSERT_TRUE(IndexInsertKey(d, tr, k.data(), uint64_t(v + 1)));
    }
    db.commit();
}

} // namespace

TEST(BTree, APathWithAnyOtherStampIsPositionedAgain) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbIndexData d = t.index(3);
    ASSERT_NO_FATAL_FAILURE(insertEvenKeys(db, d));
    Cursor c;
    c.key = keyOf(3, 20);
    uint64_t ref = 21;
    ASSERT_TRUE(IndexFindKey(d, nullptr, c.key.data(), ref, 0, c.path));
    c.ref = ref;
    // Another transaction reshapes the tree; then the path's stamp is made newer than the index
    // header's (as after renumbering), which must not make the path look current.
    TqbSrTransaction* tr = db.begin();
    for (int32_t v = 1; v < 40; v += 2) {
        auto k = keyOf(3, v);
        ASSERT_TRUE(IndexInsertKey(d, tr, k.data(), uint64_t(v + 1)));
    }
    db.commit();
    c.path.Stamp = 0xFFFFFFF0;
    ASSERT_NO_FATAL_FAILURE(expectStep(t, 3, nullptr, c, true, Entry{20, 21}));
    ASSERT_NO_FATAL_FAILURE(expectStep(t, 3, nullptr, c, true, Entry{21, 22}));
    ASSERT_NO_FATAL_FAILURE(expectStep(t, 3, nullptr, c, false, Entry{20, 21}));
}

// A search dates its path with the index header's stamp as the buffer manager gives it: the
// committed stamp outside a transaction, the transaction's number inside the one changing the
// index, so that a path taken before a change is positioned again and one taken after is not.
TEST(BTree, ASearchDatesItsPathWithTheHeaderStamp) {
    Db db;
    Table t(db, "tree", treeDictionary(4096));
    TqbIndexData d = t.index(3);
    ASSERT_NO_FATAL_FAILURE(insertEvenKeys(db, d));
    const uint32_t header = db.bm->HeaderWord(*t.fi, nullptr, kHdrIndexHeaderBlock);
    auto k20 = keyOf(3, 20);
    uint64_t ref = 21;
    TqbKeyPath before;
    ASSERT_TRUE(IndexFindKey(d, nullptr, k20.data(), ref, 0, before));
    EXPECT_EQ(before.Stamp, db.bm->GetLSN(*t.fi, header));

    TqbSrTransaction* tr = db.begin();
    auto k21 = keyOf(3, 21);
    ASSERT_TRUE(IndexInsertKey(d, tr, k21.data(), 22));
    TqbKeyPath inside;
    ref = 21;
    ASSERT_TRUE(IndexFindKey(d, tr, k20.data(), ref, 0, inside));
    EXPECT_EQ(inside.Stamp, tr->TransactionNumber);
    EXPECT_EQ(inside.Stamp, db.bm->GetLSN(*t.fi, header));
    EXPECT_NE(inside.Stamp, before.Stamp);
    db.commit();
    Cursor c;
    c.key = k20;
    c.ref = 21;
    c.path = before;
    c.path.Position = kpOnKey;
    ASSERT_NO_FATAL_FAILURE(expectStep(t, 3, nullptr, c, true, Entry{21, 22}));
}
