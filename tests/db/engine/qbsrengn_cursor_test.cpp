// The in-process engine's cursor, record, BLOB and SQL operations through the engine interface:
// writes in implicit and client transactions, batches, key searches, ranges, bookmarks, BLOBs.
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <algorithm>
#include <atomic>
#include <latch>
#include <thread>

using namespace engineapi;
using enginetest::Person;

namespace {

// A table of the people shape in the api's folder, open on index Index.
struct People {
    Api& api;
    TqbServerDataDict dict;
    TqbHandle cursor = 0;
    size_t len = 0;

    People(Api& a, int indexes = 4, const std::string& name = "people", int32_t index = 0)
        : api(a), dict(enginetest::peopleDictionary(indexes)) {
        dict.SetTableName(name);
        EXPECT_EQ(0, api.engine->TableBuild(api.db, false, name, false, dict));
        cursor = open(api.db, name, index);
        len = size_t(dict.RecordLength());
    }
    TqbHandle open(TqbHandle db, const std::string& name, int32_t index) {
        TqbHandle c = 0;
        EXPECT_EQ(0, api.engine->TableOpen(db, name, false, "", index, qbomReadWrite, qbsmShared, 10000, c,
                                           nullptr));
        return c;
    }
    std::vector<uint8_t> rec(const Person& p) const { return enginetest::record(dict, p); }
    TqbResultCode insert(const Person& p, TqbHandle c = 0) {
        return api.engine->RecordInsert(c ? c : cursor, qbltNone, rec(p));
    }
    // Every record the cursor shows from the beginning on, in the order of its index.
    std::vector<Person> walk(TqbHandle c = 0) {
        c = c ? c : cursor;
        std::vector<Person> out;
        EXPECT_EQ(0, api.engine->CursorSetToBegin(c));
        std::vector<uint8_t> r(len);
        TqbResultCode rc;
        while ((rc = api.engine->RecordGetNext(c, qbltNone, r)) == 0)
            out.push_back(enginetest::person(dict, r.data()));
        EXPECT_EQ(8706, rc) << "a walk ends at the end of the table";
        return out;
    }
    // The records as every index shows them, each sorted by name and code.
    std::vector<std::vector<Person>> allIndexes() {
        std::vector<std::vector<Person>> out;
        for (int32_t i = 0; i < dict.IndexCount(); ++i) {
            EXPECT_EQ(0, api.engine->CursorSwitchToIndex(cursor, "", i, false));
            auto w = walk();
            std::sort(w.begin(), w.end(), [](const Person& a, const Person& b) {
                return std::tie(a.name, a.code) < std::tie(b.name, b.code);
            });
            out.push_back(w);
        }
        return out;
    }
    Person current(TqbHandle c = 0) {
        std::vector<uint8_t> r(len);
        EXPECT_EQ(0, api.engine->RecordGet(c ? c : cursor, qbltNone, r));
        return enginetest::person(dict, r.data());
    }
};

// No transaction runs on the api's database: ending one is refused.
bool noTransaction(Api& api) {
    return api.engine->TransactionRollback(api.db) == 10257;
}

std::vector<Person> sortedByName(std::vector<Person> v) {
    std::sort(v.begin(), v.end(), [](const Person& a, const Person& b) {
        return std::tie(a.name, a.code) < std::tie(b.name, b.code);
    });
    return v;
}

std::vector<Person> joined(std::vector<Person> a, const std::vector<Person>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return sortedByName(a);
}

const Person ann{"ann", "oslo", 1, 10}, bob{"bob", "rome", 2, 20}, cid{"cid", "oslo", 3, 30},
    dan{"dan", "kiev", 4, 40};

} // namespace

TEST(EngineRecords, WritesInImplicitTransactionsAreCommittedAndSeenByAnotherClient) {
    Api api;
    People t(api);
    ASSERT_EQ(0, t.insert(ann));
    ASSERT_EQ(0, t.insert(bob));
    ASSERT_EQ(0, t.insert(cid));
    // Modify bob, delete ann (the cursor stands on the record it reads).
    ASSERT_EQ(0, api.engine->CursorSwitchToIndex(t.cursor, "byName", 0, false));
    std::vector<uint8_t> r(t.len);
    ASSERT_EQ(0, api.engine->CursorSetToKey(t.cursor, 0, false, 1, 0, t.rec(bob)));
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    Person bob2 = bob;
    bob2.city = "bern";
    ASSERT_EQ(0, api.engine->RecordModify(t.cursor, t.rec(bob2), true));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    std::vector<uint8_t> deleted(t.len);
    ASSERT_EQ(0, api.engine->RecordDelete(t.cursor, deleted));
    EXPECT_EQ(ann, enginetest::person(t.dict, deleted.data())) << "the deleted record is handed back";
    EXPECT_TRUE(noTransaction(api)) << "no implicit transaction is left behind";

    // Another client on the same folder reads what was committed.
    TqbHandle client2 = 0, session2 = 0, db2 = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, api.engine->ClientAdd(client2, "other", "", 10000, hash));
    ASSERT_EQ(0, api.engine->SessionAdd(client2, 10000, session2));
    ASSERT_EQ(0, api.engine->DatabaseOpenPath(client2, api.dir.str(), qbomReadWrite, qbsmShared, 10000, db2));
    const TqbHandle other = t.open(db2, "people", 1);
    EXPECT_EQ((std::vector<Person>{bob2, cid}), t.walk(other));
}

TEST(EngineRecords, WritesInsideTheClientsTransactionCommitOrRollBackTogether) {
    Api api;
    People t(api);
    ASSERT_EQ(0, t.insert(ann));
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, t.insert(bob));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    std::vector<uint8_t> r(t.len);
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    ASSERT_EQ(0, api.engine->RecordDelete(t.cursor, {}));
    // Writes inside the client's transaction leave it running: its rollback is not refused.
    ASSERT_EQ(0, api.engine->TransactionRollback(api.db));
    EXPECT_EQ((std::vector<Person>{ann}), t.walk()) << "the rollback undid the insert and the delete";
    EXPECT_EQ(10257, api.engine->TransactionCommit(api.db)) << "the rollback ended it";

    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, t.insert(cid));
    ASSERT_EQ(0, api.engine->TransactionCommit(api.db));
    EXPECT_EQ(sortedByName({ann, cid}), sortedByName(t.walk()));
    EXPECT_TRUE(noTransaction(api)) << "the commit ended it";
}

TEST(EngineRecords, UniqueViolationOnTheLastIndexLeavesTheOtherIndexesAndTheDataUnchanged) {
    Api api;
    People t(api);
    for (const Person& p : {ann, bob, cid})
        ASSERT_EQ(0, t.insert(p));
    const auto before = t.allIndexes();
    ASSERT_EQ(5u, before.size());
    ASSERT_EQ(3u, before[0].size());

    // byCode (index 3) is unique: indexes 0 to 2 took their keys before it refused.
    Person dup{"eve", "lima", 2, 50};
    EXPECT_EQ(9729, t.insert(dup)) << "implicit transaction";
    EXPECT_EQ(before, t.allIndexes());

    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    EXPECT_EQ(9729, t.insert(dup)) << "client transaction";
    EXPECT_EQ(before, t.allIndexes()) << "inside the transaction";
    // A failed insert undoes itself: the transaction stays good and commits.
    ASSERT_EQ(0, api.engine->TransactionCommit(api.db));
    EXPECT_EQ(before, t.allIndexes()) << "after the commit";

    // A modify onto a taken code is refused the same way.
    ASSERT_EQ(0, api.engine->CursorSwitchToIndex(t.cursor, "byName", 0, false));
    ASSERT_EQ(0, api.engine->CursorSetToKey(t.cursor, 0, false, 1, 0, t.rec(cid)));
    std::vector<uint8_t> r(t.len);
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    Person cid2 = cid;
    cid2.code = 1;
    cid2.city = "york";
    EXPECT_EQ(9729, api.engine->RecordModify(t.cursor, t.rec(cid2), true));
    EXPECT_EQ(before, t.allIndexes());
}

TEST(EngineRecords, AnInsertWhoseTimeRunsOutLeavesNothingBehind) {
    Api api;
    People t(api, 4, "people", 1);
    ASSERT_EQ(0, t.insert(ann));
    const auto before = t.allIndexes();
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, t.insert(bob)) << "the transaction holds the table's content lock from now on";
    // Time runs out once the record and its keys are in, when the new record is locked.
    ASSERT_EQ(0, api.engine->CursorSetTimeout(t.cursor, 1));
    std::vector<int32_t> errors;
    const auto r = t.rec(cid);
    EXPECT_EQ(15461, api.engine->RecordInsert(t.cursor, qbltWrite, r)) << "single insert, locking the record";
    EXPECT_EQ(0, api.engine->RecordInsertBatch(t.cursor, 1, int32_t(t.len), r, errors));
    EXPECT_EQ((std::vector<int32_t>{15461}), errors) << "batch entry";
    ASSERT_EQ(0, api.engine->CursorSetTimeout(t.cursor, 10000));
    ASSERT_EQ(0, api.engine->TransactionCommit(api.db)) << "a failed insert undoes itself";
    auto want = before;
    for (auto& index : want)
        index = sortedByName(joined(index, {bob}));
    EXPECT_EQ(want, t.allIndexes()) << "cid is in no index and no data";
    // Both failed inserts left the name free.
    EXPECT_EQ(0, t.insert(cid));
}

TEST(EngineRecords, InsertBatchReportsEachEntryAndKeepsTheOthers) {
    Api api;
    People t(api);
    const size_t stride = t.len + 3;
    const std::vector<Person> in{ann, bob, Person{"ada", "oslo", 1, 11}, dan};
    std::vector<uint8_t> data(stride * in.size(), 0xEE);
    for (size_t i = 0; i < in.size(); ++i) {
        auto r = t.rec(in[i]);
        std::copy(r.begin(), r.end(), data.begin() + std::ptrdiff_t(i * stride));
    }
    std::vector<int32_t> errors;
    ASSERT_EQ(0, api.engine->RecordInsertBatch(t.cursor, 4, int32_t(stride), data, errors));
    EXPECT_EQ((std::vector<int32_t>{0, 0, 9729, 0}), errors);
    // Nothing of the refused record is kept in any index, though the others were committed.
    const std::vector<Person> kept = sortedByName({ann, bob, dan});
    for (const auto& index : t.allIndexes())
        EXPECT_EQ(kept, index);
    EXPECT_TRUE(noTransaction(api));

    // Sizes that do not fit are refused before anything is written.
    EXPECT_EQ(9986, api.engine->RecordInsertBatch(t.cursor, 2, int32_t(t.len) - 1, data, errors))
        << "records shorter than the table's";
    EXPECT_EQ(9986, api.engine->RecordInsertBatch(t.cursor, 5, int32_t(stride), data, errors))
        << "more records than the data holds";
    EXPECT_EQ(9986, api.engine->RecordInsertBatch(t.cursor, 1, -1, data, errors));
    EXPECT_EQ(0, api.engine->RecordInsertBatch(t.cursor, 0, int32_t(stride), {}, errors));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(kept, sortedByName(t.walk()));
}

TEST(EngineRecords, GetBatchReadsOnlyWhatTheCallerHasRoomFor) {
    Api api;
    People t(api, 1, "people", 1);
    for (const Person& p : {ann, bob, cid, dan})
        ASSERT_EQ(0, t.insert(p));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    int32_t count = -7, error = -7;
    // A count of 0 reads one record, given room for it; a negative count is refused. Refused
    // requests do not move the cursor.
    std::vector<uint8_t> one(t.len);
    EXPECT_EQ(9986, api.engine->RecordGetBatch(t.cursor, 0, int32_t(t.len), {}, count, error));
    EXPECT_EQ(0, count);
    EXPECT_EQ(9986, api.engine->RecordGetBatch(t.cursor, -3, int32_t(t.len), one, count, error));
    EXPECT_EQ(0, count);
    for (const Person& p : {ann, bob}) {
        ASSERT_EQ(0, api.engine->RecordGetBatch(t.cursor, 0, int32_t(t.len), one, count, error));
        EXPECT_EQ(1, count);
        EXPECT_EQ(0, error);
        EXPECT_EQ(p, enginetest::person(t.dict, one.data()));
    }
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    std::vector<uint8_t> small(t.len * 2);
    EXPECT_EQ(9986, api.engine->RecordGetBatch(t.cursor, 2, int32_t(t.len) - 1, small, count, error))
        << "a record length shorter than the table's";
    EXPECT_EQ(9986, api.engine->RecordGetBatch(t.cursor, 3, int32_t(t.len), small, count, error))
        << "more records than the buffer holds";
    EXPECT_EQ(0, count);

    const size_t stride = t.len + 4;
    std::vector<uint8_t> buf(stride * 3, 0xEE);
    ASSERT_EQ(0, api.engine->RecordGetBatch(t.cursor, 3, int32_t(stride), buf, count, error));
    EXPECT_EQ(3, count);
    EXPECT_EQ(0, error);
    const std::vector<Person> first{ann, bob, cid};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i], enginetest::person(t.dict, buf.data() + i * stride))
            << "the batch began at the start";
        for (size_t b = t.len; b < stride; ++b)
            EXPECT_EQ(0xEE, buf[i * stride + b]) << "nothing written between the slices";
    }
    ASSERT_EQ(0, api.engine->RecordGetBatch(t.cursor, 3, int32_t(stride), buf, count, error));
    EXPECT_EQ(1, count);
    EXPECT_EQ(8706, error) << "the last read's result";
    EXPECT_EQ(dan, enginetest::person(t.dict, buf.data()));
}

TEST(EngineRecords, SingleRecordBuffersAndLockTypesAreChecked) {
    Api api;
    People t(api);
    ASSERT_EQ(0, t.insert(ann));
    std::vector<uint8_t> shortBuf(t.len - 1), r(t.len);
    EXPECT_EQ(9986, api.engine->RecordInsert(t.cursor, qbltNone,
                                             std::span<const uint8_t>(t.rec(bob)).first(t.len - 1)));
    EXPECT_EQ(9986, api.engine->RecordInsert(t.cursor, TqbLockType(3), t.rec(bob)));
    EXPECT_EQ(1u, t.walk().size()) << "nothing inserted";
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    EXPECT_EQ(9986, api.engine->RecordGetNext(t.cursor, qbltNone, shortBuf));
    EXPECT_EQ(9986, api.engine->RecordGetNext(t.cursor, TqbLockType(7), r));
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltWrite, r));
    bool locked = false;
    EXPECT_EQ(9986, api.engine->RecordIsLocked(t.cursor, TqbLockType(200), locked));
    EXPECT_EQ(0, api.engine->RecordIsLocked(t.cursor, qbltNone, locked));
    EXPECT_TRUE(locked);
    EXPECT_EQ(0, api.engine->RecordReleaseLock(t.cursor, false));
    EXPECT_EQ(0, api.engine->RecordIsLocked(t.cursor, qbltNone, locked));
    EXPECT_FALSE(locked);
    EXPECT_EQ(9986, api.engine->RecordGet(t.cursor, qbltNone, shortBuf));
    EXPECT_EQ(9986, api.engine->RecordModify(t.cursor, std::span<const uint8_t>(t.rec(bob)).first(4), false));
    EXPECT_EQ(9986, api.engine->RecordDelete(t.cursor, shortBuf));
    EXPECT_EQ((std::vector<Person>{ann}), t.walk()) << "refused writes changed nothing";
    EXPECT_EQ(15511, api.engine->RecordGet(t.cursor + 1, qbltNone, r));
}

TEST(EngineCursors, KeySearchHitsMissesAndPartialKeys) {
    Api api;
    const TqbHandle c = api.contacts();
    const TqbServerDataDict d = contactsDictionary();
    for (const char* n : {"alma", "bert", "berta", "carl"})
        ASSERT_EQ(0, api.engine->RecordInsert(c, qbltNone, contactRecord(d, {n, "id", 1, "", {}})));
    std::vector<uint8_t> r(size_t(d.RecordLength()));
    auto key = [&](const std::string& n) { return contactRecord(d, {n, "", 0, "", {}}); };

    ASSERT_EQ(0, api.engine->CursorSetToKey(c, 0, false, 1, 0, key("bert")));
    ASSERT_EQ(0, api.engine->RecordGetNext(c, qbltNone, r));
    EXPECT_EQ("bert", contactOf(d, r.data()).name);
    EXPECT_EQ(8710, api.engine->CursorSetToKey(c, 0, false, 1, 0, key("bob"))) << "a missing key";
    ASSERT_EQ(0, api.engine->CursorSetToKey(c, 3, false, 1, 0, key("bob"))) << "at or after";
    ASSERT_EQ(0, api.engine->RecordGetNext(c, qbltNone, r));
    EXPECT_EQ("carl", contactOf(d, r.data()).name);
    // The first three characters: "ber" finds bert, then berta.
    ASSERT_EQ(0, api.engine->CursorSetToKey(c, 0, false, 0, 3, key("ber")));
    ASSERT_EQ(0, api.engine->RecordGetNext(c, qbltNone, r));
    EXPECT_EQ("bert", contactOf(d, r.data()).name);
    ASSERT_EQ(0, api.engine->RecordGetForKey(c, false, 0, 3, key("ber"), r, true));
    EXPECT_EQ("bert", contactOf(d, r.data()).name);
    ASSERT_EQ(0, api.engine->RecordGetForKey(c, false, 0, 3, key("ber"), r, false));
    EXPECT_EQ("berta", contactOf(d, r.data()).name);
    EXPECT_EQ(8710, api.engine->RecordGetForKey(c, false, 0, 3, key("ber"), r, false));
    EXPECT_EQ(8710, api.engine->RecordGetForKey(c, false, 1, 0, key("dora"), r, true));
    // Every key field given: the name index ignores case, the row found is the cursor's place.
    ASSERT_EQ(0, api.engine->RecordGetForKey(c, false, 1, 0, key("BERT"), r, true));
    EXPECT_EQ("bert", contactOf(d, r.data()).name);
    ASSERT_EQ(0, api.engine->RecordGetNext(c, qbltNone, r));
    EXPECT_EQ("berta", contactOf(d, r.data()).name);
    ASSERT_EQ(0, api.engine->RecordGetForKey(c, false, 1, 0, key("Bert"), r, true));
    ASSERT_EQ(0, api.engine->RecordGetPrior(c, qbltNone, r));
    EXPECT_EQ("alma", contactOf(d, r.data()).name);
    ASSERT_EQ(0, api.engine->RecordGetForKey(c, false, 1, 0, key("bert"), r, true));
    EXPECT_EQ(8710, api.engine->RecordGetForKey(c, false, 1, 0, key("bert"), r, false)) << "a unique key";

    // A key of the index's own bytes, as RecordExtractKey gives it.
    std::vector<uint8_t> k(size_t(d.IndexKeyLength(1)));
    ASSERT_EQ(0, api.engine->RecordExtractKey(c, key("carl"), k));
    ASSERT_EQ(0, api.engine->CursorSetToKey(c, 0, true, 0, 0, k));
    ASSERT_EQ(0, api.engine->RecordGetNext(c, qbltNone, r));
    EXPECT_EQ("carl", contactOf(d, r.data()).name);
    EXPECT_EQ(9986,
              api.engine->CursorSetToKey(c, 0, true, 0, 0, std::span<const uint8_t>(k).first(k.size() - 1)))
        << "direct key shorter than the index's";
    EXPECT_EQ(9986,
              api.engine->CursorSetToKey(c, 0, false, 1, 0, std::span<const uint8_t>(key("x")).first(5)))
        << "field values shorter than a record";
    EXPECT_EQ(9986, api.engine->RecordExtractKey(c, key("carl"), std::span<uint8_t>(k).first(k.size() - 1)));
    EXPECT_EQ(9986,
              api.engine->RecordGetForKey(c, true, 0, 0, std::span<const uint8_t>(k).first(2), r, true));
}

TEST(EngineCursors, RangesAndIndexSwitchingGiveTheirCodes) {
    Api api;
    People t(api, 4, "people", 1);
    for (const Person& p : {ann, bob, cid, dan})
        ASSERT_EQ(0, t.insert(p));
    ASSERT_EQ(0, api.engine->CursorSetRange(t.cursor, false, 1, 0, t.rec(bob), true, 1, 0, t.rec(cid), true));
    EXPECT_EQ((std::vector<Person>{bob, cid}), t.walk());
    ASSERT_EQ(0, api.engine->CursorSetRange(t.cursor, false, 1, 0, t.rec(bob), false, 0, 0, {}, false));
    EXPECT_EQ((std::vector<Person>{cid, dan}), t.walk()) << "exclusive start, open end";
    ASSERT_EQ(0, api.engine->CursorResetRange(t.cursor));
    EXPECT_EQ(4u, t.walk().size());
    EXPECT_EQ(9986,
              api.engine->CursorSetRange(t.cursor, false, 1, 0, std::span<const uint8_t>(t.rec(bob)).first(3),
                                         true, 0, 0, {}, false));

    // Unknown indexes, by name or number; a name never falls back to the number.
    EXPECT_EQ(9997, api.engine->CursorSwitchToIndex(t.cursor, "nosuch", 0, false));
    EXPECT_EQ(9997, api.engine->CursorSwitchToIndex(t.cursor, "", -1, false));
    EXPECT_EQ(9997, api.engine->CursorSwitchToIndex(t.cursor, "", 5, false));
    EXPECT_EQ(9997, api.engine->CursorSwitchToIndex(t.cursor, std::string(40, 'b'), 0, false));
    // The cursor's own index: nothing is done, it stays on its record.
    ASSERT_EQ(0, api.engine->CursorSetToKey(t.cursor, 0, false, 1, 0, t.rec(cid)));
    std::vector<uint8_t> r(t.len);
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    EXPECT_EQ(0, api.engine->CursorSwitchToIndex(t.cursor, "BYNAME", 0, false));
    EXPECT_EQ(cid, t.current());
    // Another index, keeping the record.
    ASSERT_EQ(0, api.engine->CursorSwitchToIndex(t.cursor, "byCode", 0, true));
    EXPECT_EQ(cid, t.current());
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    EXPECT_EQ(dan, enginetest::person(t.dict, r.data())) << "in code order from cid on";

    // Index 0 has no key of its own.
    ASSERT_EQ(0, api.engine->CursorSwitchToIndex(t.cursor, "", 0, false));
    std::vector<uint8_t> k(64);
    EXPECT_EQ(10764, api.engine->CursorSetRange(t.cursor, false, 1, 0, t.rec(bob), true, 0, 0, {}, false));
    EXPECT_EQ(10764, api.engine->CursorResetRange(t.cursor));
    EXPECT_EQ(10764, api.engine->CursorSetToKey(t.cursor, 0, false, 1, 0, t.rec(bob)));
    EXPECT_EQ(10764, api.engine->RecordExtractKey(t.cursor, t.rec(bob), k));
}

namespace {
// Ann, Bob, Cid and Dan on the cursor's name index; answers the cursor's bookmark size.
uint32_t fourOnNames(Api& api, People& t) {
    for (const Person& p : {ann, bob, cid, dan})
        EXPECT_EQ(0, t.insert(p));
    uint32_t size = 0;
    EXPECT_EQ(0, api.engine->CursorGetBookmarkSize(t.cursor, size));
    return size;
}
} // namespace

// A step with its bookmark reaches the rows and bookmarks the two calls reach, both ways; at an
// end or with too little room for the bookmark it answers as those calls do and stays put.
TEST(EngineCursors, StepWithBookmarkMatchesAStepAndABookmark) {
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    TqbHandle other = 0;
    ASSERT_EQ(0, api.engine->CursorClone(t.cursor, qbomReadOnly, other));
    std::vector<uint8_t> r1(t.len), r2(t.len), bm1(size), bm2(size);
    for (const bool forward : {true, false}) {
        ASSERT_EQ(0, forward ? api.engine->CursorSetToBegin(t.cursor) : api.engine->CursorSetToEnd(t.cursor));
        ASSERT_EQ(0, forward ? api.engine->CursorSetToBegin(other) : api.engine->CursorSetToEnd(other));
        int rows = 0;
        for (;;) {
            std::fill(bm1.begin(), bm1.end(), 0xEE);
            const TqbResultCode a = api.engine->RecordStepWithBookmark(t.cursor, forward, qbltNone, r1, bm1);
            const TqbResultCode b = forward ? api.engine->RecordGetNext(other, qbltNone, r2)
                                            : api.engine->RecordGetPrior(other, qbltNone, r2);
            ASSERT_EQ(a, b);
            if (a != 0) {
                EXPECT_EQ(std::vector<uint8_t>(size, 0xEE), bm1) << "no bookmark at an end";
                break;
            }
            ASSERT_EQ(0, api.engine->CursorGetBookmark(other, bm2));
            EXPECT_EQ(enginetest::person(t.dict, r2.data()), enginetest::person(t.dict, r1.data()));
            EXPECT_EQ(bm2, bm1);
            ++rows;
        }
        EXPECT_EQ(4, rows);
    }
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r1));
    EXPECT_EQ(9986, api.engine->RecordStepWithBookmark(t.cursor, true, qbltNone, r1,
                                                       std::span<uint8_t>(bm1).first(size - 1)));
    ASSERT_EQ(0, api.engine->RecordStepWithBookmark(t.cursor, true, qbltNone, r1, bm1));
    EXPECT_EQ(bob, enginetest::person(t.dict, r1.data())) << "the refused step did not move";
    ASSERT_EQ(0, api.engine->CursorClose(other));
}

// A read with its bookmark answers what a read and a bookmark answer: on the record an insert left
// the cursor on, after a step, at both ends. With too little room for the bookmark it is refused
// before it reads or locks anything.
TEST(EngineCursors, GetWithBookmarkMatchesAReadAndABookmark) {
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    std::vector<uint8_t> r1(t.len), r2(t.len), bm1(size), bm2(size);
    auto same = [&](const char* where) -> TqbResultCode {
        std::fill(r1.begin(), r1.end(), 0xEE);
        std::fill(bm1.begin(), bm1.end(), 0xEE);
        const TqbResultCode a = api.engine->RecordGetWithBookmark(t.cursor, qbltNone, r1, bm1);
        const TqbResultCode b = api.engine->RecordGet(t.cursor, qbltNone, r2);
        EXPECT_EQ(a, b) << where;
        if (a != 0) {
            EXPECT_EQ(std::vector<uint8_t>(size, 0xEE), bm1) << where << ": no bookmark off a record";
            return a;
        }
        EXPECT_EQ(0, api.engine->CursorGetBookmark(t.cursor, bm2)) << where;
        EXPECT_EQ(enginetest::person(t.dict, r2.data()), enginetest::person(t.dict, r1.data())) << where;
        EXPECT_EQ(bm2, bm1) << where;
        return a;
    };
    const Person eve{"eve", "lima", 5, 50};
    ASSERT_EQ(0, t.insert(eve));
    ASSERT_EQ(0, same("after an insert"));
    EXPECT_EQ(eve, enginetest::person(t.dict, r1.data()));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    EXPECT_EQ(8709, same("at the beginning"));
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r2));
    ASSERT_EQ(0, same("after a step"));
    EXPECT_EQ(ann, enginetest::person(t.dict, r1.data()));
    // The bookmark leads back to the record read with it.
    ASSERT_EQ(0, api.engine->CursorSetToEnd(t.cursor));
    EXPECT_EQ(8706, same("at the end"));
    ASSERT_EQ(0, api.engine->CursorSetToBookmark(t.cursor, bm2));
    EXPECT_EQ(ann, t.current());

    bool locked = true;
    EXPECT_EQ(9986, api.engine->RecordGetWithBookmark(t.cursor, qbltWrite, r1,
                                                      std::span<uint8_t>(bm1).first(size - 1)));
    ASSERT_EQ(0, api.engine->RecordIsLocked(t.cursor, qbltNone, locked));
    EXPECT_FALSE(locked) << "the refused read took no lock";
    EXPECT_EQ(9986, api.engine->RecordGetWithBookmark(t.cursor, qbltNone,
                                                      std::span<uint8_t>(r1).first(t.len - 1), bm1));
    ASSERT_EQ(0, api.engine->RecordGetWithBookmark(t.cursor, qbltWrite, r1, bm1));
    ASSERT_EQ(0, api.engine->RecordIsLocked(t.cursor, qbltNone, locked));
    EXPECT_TRUE(locked);
    EXPECT_EQ(0, api.engine->RecordReleaseLock(t.cursor, false));
    EXPECT_EQ(15511, api.engine->RecordGetWithBookmark(t.cursor + 1, qbltNone, r1, bm1));
}

// An insert with its read answers what its steps answer one by one (the interface's own way): the
// stored row and its bookmark with the cursor on it; a refused insert after the positioning leaves
// the cursor at the end; a read refused for want of room leaves the insert done; a stale handle
// fails the positioning when one was asked for.
TEST(EngineCursors, InsertThenGetAnswersAsItsSteps) {
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    for (const bool oneCall : {true, false}) {
        SCOPED_TRACE(oneCall ? "one operation" : "step by step");
        auto insertThenGet = [&](TqbHandle c, bool toEnd, TqbLockType lock, const std::vector<uint8_t>& rec,
                                 std::span<uint8_t> data, std::span<uint8_t> bm, bool& endFailed,
                                 TqbResultCode& read) {
            TqbBaseServerEngine& e = *api.engine;
            return oneCall ? e.RecordInsertThenGet(c, toEnd, lock, rec, data, bm, endFailed, read)
                           : e.TqbBaseServerEngine::RecordInsertThenGet(c, toEnd, lock, rec, data, bm,
                                                                        endFailed, read);
        };
        const Person p1{oneCall ? "eve" : "fay", "lima", 5, 50}, p2{oneCall ? "abe" : "amy", "kiev", 6, 60};
        std::vector<uint8_t> r1(t.len), r2(t.len), bm1(size), bm2(size);
        bool endFailed = true;
        TqbResultCode read = -1;
        ASSERT_EQ(0, insertThenGet(t.cursor, true, qbltWrite, t.rec(p1), r1, bm1, endFailed, read));
        EXPECT_FALSE(endFailed);
        EXPECT_EQ(0, read);
        ASSERT_EQ(0, api.engine->RecordGetWithBookmark(t.cursor, qbltNone, r2, bm2));
        EXPECT_EQ(r2, r1);
        EXPECT_EQ(bm2, bm1);
        EXPECT_EQ(p1, enginetest::person(t.dict, r1.data()));
        // Too little room for the bookmark: the insert is done, the read refused.
        read = 0;
        ASSERT_EQ(0, insertThenGet(t.cursor, false, qbltNone, t.rec(p2), r1,
                                   std::span<uint8_t>(bm1).first(size - 1), endFailed, read));
        EXPECT_EQ(9986, read);
        EXPECT_EQ(p2, t.current());
        // A refused insert after the positioning: the cursor is at the end.
        EXPECT_EQ(9986, insertThenGet(t.cursor, true, TqbLockType(7), t.rec(p2), r1, bm1, endFailed, read));
        EXPECT_FALSE(endFailed);
        EXPECT_EQ(8706, api.engine->RecordGet(t.cursor, qbltNone, r2));
        // A stale handle: the positioning's failure when one was asked for.
        EXPECT_EQ(15511, insertThenGet(t.cursor + 1, true, qbltNone, t.rec(p2), r1, bm1, endFailed, read));
        EXPECT_TRUE(endFailed);
        EXPECT_EQ(15511, insertThenGet(t.cursor + 1, false, qbltNone, t.rec(p2), {}, {}, endFailed, read));
        EXPECT_FALSE(endFailed);
    }
    EXPECT_EQ(8u, t.walk().size());
}

// A key search with its bookmark answers what the search and a bookmark answer one by one: the
// row found with the bookmark of the cursor's place on it, a miss with nothing, too little room
// for the bookmark refused.
TEST(EngineCursors, GetForKeyWithBookmarkAnswersAsItsSteps) {
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    for (const bool oneCall : {true, false}) {
        SCOPED_TRACE(oneCall ? "one operation" : "step by step");
        auto getForKey = [&](const Person& p, std::span<uint8_t> data, std::span<uint8_t> bm) {
            TqbBaseServerEngine& e = *api.engine;
            return oneCall ? e.RecordGetForKeyWithBookmark(t.cursor, false, 1, 0, t.rec(p), data, true, bm)
                           : e.TqbBaseServerEngine::RecordGetForKeyWithBookmark(t.cursor, false, 1, 0,
                                                                                t.rec(p), data, true, bm);
        };
        std::vector<uint8_t> r1(t.len), r2(t.len), bm1(size, 0xEE), bm2(size);
        ASSERT_EQ(0, getForKey(cid, r1, bm1));
        EXPECT_EQ(cid, enginetest::person(t.dict, r1.data()));
        ASSERT_EQ(0, api.engine->CursorGetBookmark(t.cursor, bm2));
        EXPECT_EQ(bm2, bm1);
        ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r2));
        EXPECT_EQ(dan, enginetest::person(t.dict, r2.data())) << "the cursor stands on the row found";
        ASSERT_EQ(0, api.engine->CursorSetToBookmark(t.cursor, bm1));
        EXPECT_EQ(cid, t.current());
        std::fill(bm1.begin(), bm1.end(), 0xEE);
        EXPECT_EQ(8710, getForKey({"zed", "x", 1, 1}, r1, bm1));
        EXPECT_EQ(std::vector<uint8_t>(size, 0xEE), bm1) << "no bookmark for a miss";
        EXPECT_EQ(9986, getForKey(bob, r1, std::span<uint8_t>(bm1).first(size - 1)));
    }
}

// A cursor with extenders: the key search with its bookmark tells them of the read before and
// after it, as the search alone does, and a read they refuse leaves the bookmark untouched.
TEST(EngineCursors, GetForKeyWithBookmarkTellsTheExtenders) {
    std::vector<int32_t> heard; // outlives the engine: the extender hears the cursor close too
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    struct Recorder : TqbSrExtender {
        std::vector<int32_t>* heard;
        int32_t refused = 0;
        explicit Recorder(std::vector<int32_t>* h) : heard(h) {}
        int32_t Notify(TqbSrBaseCursor&, int32_t Action) override {
            heard->push_back(Action);
            return Action == 0 ? refused : 0;
        }
    };
    auto owned = std::make_unique<Recorder>(&heard);
    Recorder* recorder = owned.get();
    {
        auto cursor = api.engine->Registry().LeaseAs<TqbSrBaseCursor>(t.cursor, TqbHandleKind::Cursor);
        ASSERT_NE(cursor, nullptr);
        cursor->AddExtender(std::move(owned));
    }
    std::vector<uint8_t> r(t.len), bm(size, 0xEE), alone(size);
    ASSERT_EQ(0, api.engine->RecordGetForKeyWithBookmark(t.cursor, false, 1, 0, t.rec(cid), r, true, bm));
    EXPECT_EQ(cid, enginetest::person(t.dict, r.data()));
    EXPECT_EQ((std::vector<int32_t>{0, 1}), heard);
    ASSERT_EQ(0, api.engine->CursorGetBookmark(t.cursor, alone));
    EXPECT_EQ(alone, bm);
    heard.clear();
    recorder->refused = 9999;
    std::fill(bm.begin(), bm.end(), 0xEE);
    EXPECT_EQ(9999, api.engine->RecordGetForKeyWithBookmark(t.cursor, false, 1, 0, t.rec(bob), r, true, bm));
    EXPECT_EQ((std::vector<int32_t>{0}), heard);
    EXPECT_EQ(std::vector<uint8_t>(size, 0xEE), bm) << "no bookmark for a refused read";
}

TEST(EngineCursors, BookmarksCloneSetToCursorAndClose) {
    Api api;
    People t(api, 1, "people", 1);
    const uint32_t size = fourOnNames(api, t);
    ASSERT_GT(size, 24u);
    std::vector<uint8_t> r(t.len), bmBob(size), bmDan(size), bmCid(size);
    auto to = [&](const Person& p, std::vector<uint8_t>& bm) {
        ASSERT_EQ(0, api.engine->CursorSetToKey(t.cursor, 0, false, 1, 0, t.rec(p)));
        ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
        ASSERT_EQ(0, api.engine->CursorGetBookmark(t.cursor, bm));
    };
    to(bob, bmBob);
    to(cid, bmCid);
    to(dan, bmDan);
    EXPECT_EQ(9986, api.engine->CursorGetBookmark(t.cursor, std::span<uint8_t>(bmBob).first(size - 1)));
    ASSERT_EQ(0, api.engine->CursorSetToBookmark(t.cursor, bmBob));
    EXPECT_EQ(bob, t.current());
    int32_t order = 0;
    ASSERT_EQ(0, api.engine->CursorCompareBookmarks(t.cursor, bmBob, bmDan, order));
    EXPECT_LT(order, 0);
    std::vector<uint8_t> forged = bmBob;
    forged[size - 1] ^= 0x5A;
    EXPECT_EQ(10021, api.engine->CursorSetToBookmark(t.cursor, forged));
    EXPECT_EQ(10021,
              api.engine->CursorSetToBookmark(t.cursor, std::span<const uint8_t>(bmBob).first(size - 2)));

    // The clone stands where its cursor stood; SetToCursor puts one where another is.
    TqbHandle clone = 0;
    ASSERT_EQ(0, api.engine->CursorClone(t.cursor, qbomReadOnly, clone));
    EXPECT_EQ(bob, t.current(clone));
    ASSERT_EQ(0, api.engine->CursorSetToBookmark(t.cursor, bmDan));
    ASSERT_EQ(0, api.engine->CursorSetToCursor(clone, t.cursor));
    EXPECT_EQ(dan, t.current(clone));
    EXPECT_EQ(10763, t.insert(ann, clone)) << "a read-only clone";

    // A delete batch: entries that fail are reported and do not stop the others.
    std::vector<uint8_t> bms;
    for (auto* bm : {&bmBob, &bmDan, &bmBob, &bmCid})
        bms.insert(bms.end(), bm->begin(), bm->end());
    std::vector<int32_t> errors;
    EXPECT_EQ(9986, api.engine->RecordDeleteBatch(t.cursor, 4, int32_t(size) + 1, bms, errors));
    EXPECT_EQ(9986, api.engine->RecordDeleteBatch(t.cursor, 5, int32_t(size), bms, errors));
    ASSERT_EQ(0, api.engine->RecordDeleteBatch(t.cursor, 4, int32_t(size), bms, errors));
    ASSERT_EQ(4u, errors.size());
    EXPECT_EQ(0, errors[0]);
    EXPECT_EQ(0, errors[1]);
    EXPECT_NE(0, errors[2]) << "bob was gone already";
    EXPECT_EQ(0, errors[3]);
    EXPECT_EQ((std::vector<Person>{ann}), t.walk());

    ASSERT_EQ(0, api.engine->CursorClose(clone));
    EXPECT_EQ(15511, api.engine->CursorSetToBegin(clone));
    EXPECT_EQ(15511, api.engine->CursorClose(clone));
}

TEST(EngineBLOBs, CreateWriteReadTruncateAndFree) {
    Api api;
    TqbServerDataDict d;
    d.SetTableName("docs");
    d.AddField("title", "", qbtShortString, 20, 0, true);
    d.AddField("body", "", qbtBLOB, 0, 0, false);
    ASSERT_EQ(0, api.engine->TableBuild(api.db, false, "docs", false, d));
    TqbHandle c = 0;
    ASSERT_EQ(
        0, api.engine->TableOpen(api.db, "docs", false, "", 0, qbomReadWrite, qbsmShared, 10000, c, nullptr));

    uint64_t nr = 0;
    ASSERT_EQ(0, api.engine->BLOBCreate(c, nr));
    std::vector<uint8_t> text(5000);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = uint8_t(i * 7 + 3);
    ASSERT_EQ(0, api.engine->BLOBWrite(c, nr, 0, text));
    uint32_t length = 0;
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(5000u, length);
    std::vector<uint8_t> back(1000, 0);
    uint32_t got = 0;
    ASSERT_EQ(0, api.engine->BLOBRead(c, nr, 4500, back, got));
    ASSERT_EQ(500u, got);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 500, text.begin() + 4500));
    ASSERT_EQ(0, api.engine->BLOBTruncate(c, nr, 10));
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(10u, length);
    cls::TMemoryStream segments;
    ASSERT_EQ(0, api.engine->BLOBListSegments(c, nr, segments));
    EXPECT_GT(segments.Size(), 0);
    cls::TMemoryStream space;
    EXPECT_EQ(0, api.engine->BLOBListFreeSpace(c, true, space));
    EXPECT_TRUE(noTransaction(api)) << "the free-space look leaves no transaction";
    EXPECT_EQ(0, api.engine->BLOBFree(c, nr, false)) << "a BLOB with content stays";
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(10u, length);

    uint64_t empty = 0;
    ASSERT_EQ(0, api.engine->BLOBCreate(c, empty));
    EXPECT_EQ(13058, api.engine->BLOBFree(c, empty, false)) << "an empty BLOB is deleted";
    EXPECT_NE(0, api.engine->BLOBGetLength(c, empty, length)) << "and its deletion was committed";
    EXPECT_EQ(0, api.engine->BLOBFree(0xDEAD, 1, true)) << "read-only: nothing to do, nothing checked";

    ASSERT_EQ(0, api.engine->BLOBDelete(c, nr));
    EXPECT_NE(0, api.engine->BLOBGetLength(c, nr, length));
}

TEST(EngineBLOBs, AFailedWriteFailsTheClientsTransaction) {
    Api api;
    TqbServerDataDict d;
    d.SetTableName("docs");
    d.AddField("title", "", qbtShortString, 20, 0, true);
    d.AddField("body", "", qbtBLOB, 0, 0, false);
    ASSERT_EQ(0, api.engine->TableBuild(api.db, false, "docs", false, d));
    TqbHandle c = 0;
    ASSERT_EQ(
        0, api.engine->TableOpen(api.db, "docs", false, "", 0, qbomReadWrite, qbsmShared, 10000, c, nullptr));
    uint64_t nr = 0;
    ASSERT_EQ(0, api.engine->BLOBCreate(c, nr));
    const std::vector<uint8_t> bytes(300, 0x41);
    ASSERT_EQ(0, api.engine->BLOBWrite(c, nr, 0, bytes));

    // A good write alone commits.
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, api.engine->BLOBWrite(c, nr, 300, bytes));
    ASSERT_EQ(0, api.engine->TransactionCommit(api.db));
    uint32_t length = 0;
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(600u, length);

    // With a failed write after it, the commit rolls back instead, the good write included.
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, api.engine->BLOBWrite(c, nr, 600, bytes));
    EXPECT_NE(0, api.engine->BLOBWrite(c, nr + 0x10000000000ull, 0, bytes)) << "no such BLOB";
    EXPECT_EQ(15443, api.engine->TransactionCommit(api.db));
    EXPECT_TRUE(noTransaction(api)) << "the failed commit rolled back and ended the transaction";
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(600u, length);

    // A transaction that began after the failed one is good again.
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, api.engine->BLOBTruncate(c, nr, 100));
    ASSERT_EQ(0, api.engine->TransactionCommit(api.db));
    ASSERT_EQ(0, api.engine->BLOBGetLength(c, nr, length));
    EXPECT_EQ(100u, length);
}

TEST(EngineSQL, EveryStatementOperationAnswersThatThereIsNoSQLEngine) {
    Api api;
    TqbHandle stmt = 0, cursor = 0;
    cls::TMemoryStream s;
    EXPECT_EQ(15462, api.engine->SQLAlloc(api.db, 1000, stmt));
    EXPECT_EQ(15462, api.engine->SQLExec(1, qbomReadOnly, cursor, s));
    EXPECT_EQ(15462,
              api.engine->SQLExecDirect(api.db, "select * from people", 1000, qbomReadOnly, cursor, s));
    EXPECT_EQ(15462, api.engine->SQLFree(1));
    EXPECT_EQ(15462, api.engine->SQLPrepare(1, "select 1", s));
    EXPECT_EQ(15462, api.engine->SQLSetParams(1, 0, {}, {}, s));
    EXPECT_EQ(15508, api.engine->SQLAlloc(api.client, 1000, stmt)) << "a client handle is no database";
    const auto lines = api.log->Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("is not attached to a SQL engine") != std::string::npos;
    }));
    api.engine->Shutdown();
    EXPECT_EQ(15459, api.engine->SQLFree(1));
}

namespace {

// Records the actions its cursors' extenders hear; refuses Refuse with 4242.
struct ActionLog : TqbSrMonitor {
    std::vector<int32_t> actions;
    int32_t refuse = -1;
    std::string ClassName() const override { return "ActionLog"; }
    std::unique_ptr<TqbSrExtender> MakeExtender(TqbSrBaseCursor&) override {
        struct E : TqbSrExtender {
            ActionLog& log;
            explicit E(ActionLog& l) : log(l) {}
            int32_t Notify(TqbSrBaseCursor&, int32_t Action) override {
                log.actions.push_back(Action);
                return Action == log.refuse ? 4242 : 0;
            }
        };
        return std::make_unique<E>(*this);
    }
};

} // namespace

TEST(EngineCursors, ReadsAndQueriesAskTheExtendersFirst) {
    ActionLog monitor; // outlives the engine, whose cursors tell it they close
    Api api;
    api.engine->Host().Monitors.push_back(&monitor);
    People t(api, 1, "people", 1);
    ASSERT_EQ(0, t.insert(ann));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    std::vector<uint8_t> r(t.len);
    monitor.actions.clear();
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    EXPECT_EQ((std::vector<int32_t>{0, 1}), monitor.actions) << "before the read, after its success";
    monitor.refuse = 0;
    monitor.actions.clear();
    std::fill(r.begin(), r.end(), uint8_t(0));
    EXPECT_EQ(4242, api.engine->RecordGet(t.cursor, qbltNone, r));
    EXPECT_EQ((std::vector<int32_t>{0}), monitor.actions);
    EXPECT_EQ(std::vector<uint8_t>(t.len, 0), r) << "a refused read reads nothing";
    monitor.refuse = 11;
    bool locked = true;
    EXPECT_EQ(4242, api.engine->RecordIsLocked(t.cursor, qbltNone, locked));
    uint32_t size = 0;
    ASSERT_EQ(0, api.engine->CursorGetBookmarkSize(t.cursor, size));
    std::vector<uint8_t> bm(size);
    ASSERT_EQ(0, api.engine->CursorGetBookmark(t.cursor, bm));
    int32_t order = 7;
    EXPECT_EQ(4242, api.engine->CursorCompareBookmarks(t.cursor, bm, bm, order));
    monitor.refuse = -1;
    EXPECT_EQ(0, api.engine->CursorCompareBookmarks(t.cursor, bm, bm, order));
    EXPECT_EQ(0, order);
    // The key of the current record, with the read's actions around it.
    std::vector<uint8_t> key(size_t(t.dict.IndexKeyLength(1))), want(key.size());
    monitor.actions.clear();
    ASSERT_EQ(0, api.engine->RecordExtractKey(t.cursor, {}, key));
    ASSERT_EQ(0, api.engine->RecordExtractKey(t.cursor, t.rec(ann), want));
    EXPECT_EQ(want, key);
    EXPECT_EQ((std::vector<int32_t>{0, 1, 0, 1}), monitor.actions);
}

TEST(EngineRecords, AFailedDeleteFailsTheClientsTransaction) {
    ActionLog monitor; // outlives the engine, whose cursors tell it they close
    Api api;
    api.engine->Host().Monitors.push_back(&monitor);
    People t(api, 1, "people", 1);
    ASSERT_EQ(0, t.insert(ann));
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, t.insert(bob));
    ASSERT_EQ(0, api.engine->CursorSetToBegin(t.cursor));
    std::vector<uint8_t> r(t.len);
    ASSERT_EQ(0, api.engine->RecordGetNext(t.cursor, qbltNone, r));
    monitor.refuse = eaDelete;
    EXPECT_EQ(4242, api.engine->RecordDelete(t.cursor, {}));
    monitor.refuse = -1;
    EXPECT_EQ(15443, api.engine->TransactionCommit(api.db)) << "the commit rolls back instead";
    EXPECT_TRUE(noTransaction(api));
    EXPECT_EQ((std::vector<Person>{ann}), t.walk()) << "the insert before the failed delete is gone";

    // The range delete fails the transaction the same way.
    ASSERT_EQ(0, api.engine->TransactionStart(api.db, false));
    ASSERT_EQ(0, t.insert(cid));
    monitor.refuse = eaDelete;
    EXPECT_EQ(4242, api.engine->CursorDeleteRecords(t.cursor));
    monitor.refuse = -1;
    EXPECT_EQ(15443, api.engine->TransactionCommit(api.db));
    EXPECT_EQ((std::vector<Person>{ann}), t.walk());
}

TEST(EngineCursors, DeleteRecordsTakesWhatTheRangeShowsAndFiltersAreChecked) {
    Api api;
    People t(api, 1, "people", 1);
    for (const Person& p : {ann, bob, cid, dan})
        ASSERT_EQ(0, t.insert(p));
    ASSERT_EQ(0, api.engine->CursorSetRange(t.cursor, false, 1, 0, t.rec(bob), true, 1, 0, t.rec(cid), true));
    ASSERT_EQ(0, api.engine->CursorDeleteRecords(t.cursor));
    ASSERT_EQ(0, api.engine->CursorResetRange(t.cursor));
    EXPECT_EQ((std::vector<Person>{ann, dan}), t.walk());
    EXPECT_TRUE(noTransaction(api));

    // Filter bytes that make no filter are refused; the cursor reads on as before.
    const std::vector<uint8_t> junk{0xFF, 0x01, 0x02};
    EXPECT_NE(0, api.engine->CursorSetFilter(t.cursor, junk, 0));
    EXPECT_NE(0, api.engine->CursorOverrideFilter(t.cursor, junk, 0));
    EXPECT_EQ(0, api.engine->CursorRestoreFilter(t.cursor));
    EXPECT_EQ(0, api.engine->CursorSetFilter(t.cursor, {}, 0));
    EXPECT_EQ(0, api.engine->CursorSetTimeout(t.cursor, 5000));
    EXPECT_EQ((std::vector<Person>{ann, dan}), t.walk());
}

namespace {

// A second client with its database on the api's folder.
TqbHandle secondClientDatabase(Api& api) {
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    EXPECT_EQ(0, api.engine->ClientAdd(client, "other", "", 10000, hash));
    EXPECT_EQ(0, api.engine->SessionAdd(client, 10000, session));
    EXPECT_EQ(0, api.engine->DatabaseOpenPath(client, api.dir.str(), qbomReadWrite, qbsmShared, 10000, db));
    return db;
}

} // namespace

TEST(EngineCursors, CopyingBetweenTwoClientsBothWaysAtOnceFinishes) {
    Api api;
    const TqbHandle db2 = secondClientDatabase(api);
    const std::vector<Person> L{ann, bob, cid}, R{dan, Person{"eli", "rome", 5, 50}};
    for (int round = 0; round < 24; ++round) {
        // Each client copies from its own table into the other client's table.
        People left(api, 2, "left" + std::to_string(round), 1);
        People right(api, 2, "right" + std::to_string(round), 1);
        ASSERT_EQ(0, api.engine->CursorClose(right.cursor));
        right.cursor = right.open(db2, "right" + std::to_string(round), 1);
        for (const Person& p : L)
            ASSERT_EQ(0, left.insert(p));
        for (const Person& p : R)
            ASSERT_EQ(0, right.insert(p));

        TqbResultCode toRight = -1, toLeft = -1;
        enginetest::finishesWithin(std::chrono::seconds(60), "copies both ways", [&] {
            std::latch go(2);
            std::thread a([&] {
                go.arrive_and_wait();
                toRight = api.engine->CursorCopyRecords(left.cursor, right.cursor, false);
            });
            std::thread b([&] {
                go.arrive_and_wait();
                toLeft = api.engine->CursorCopyRecords(right.cursor, left.cursor, false);
            });
            a.join();
            b.join();
        });
        EXPECT_EQ(0, toRight);
        EXPECT_EQ(0, toLeft);
        const auto l = sortedByName(left.walk()), r = sortedByName(right.walk());
        // One copy ran first and the other then took its result along.
        const bool rightFirst = l == joined(joined(L, L), R) && r == joined(L, R);
        const bool leftFirst = l == joined(L, R) && r == joined(joined(R, R), L);
        EXPECT_TRUE(rightFirst || leftFirst) << "left " << l.size() << ", right " << r.size();
    }
}

TEST(EngineCursors, SetToCursorHoldsTheOtherClientsCursorWhileItMoves) {
    Api api;
    People t(api, 1, "people", 1);
    const std::vector<Person> all{ann, bob, cid, dan};
    for (const Person& p : all)
        ASSERT_EQ(0, t.insert(p));
    const TqbHandle other = t.open(secondClientDatabase(api), "people", 1);
    std::atomic<bool> done{false};
    int placed = 0;
    enginetest::finishesWithin(std::chrono::seconds(60), "set to a moving cursor", [&] {
        std::thread mover([&] {
            std::vector<uint8_t> r(t.len);
            while (!done.load())
                if (api.engine->RecordGetNext(other, qbltNone, r) != 0) api.engine->CursorSetToBegin(other);
        });
        std::vector<uint8_t> r(t.len);
        // Until the cursor was placed a hundred times, however the threads take turns.
        while (placed < 100) {
            TqbResultCode rc = api.engine->CursorSetToCursor(t.cursor, other);
            if (rc == 0) rc = api.engine->RecordGet(t.cursor, qbltNone, r);
            if (rc != 0) {
                EXPECT_TRUE(rc == 8705 || rc == 8706 || rc == 8709) << rc;
                continue;
            }
            const Person p = enginetest::person(t.dict, r.data());
            EXPECT_NE(all.end(), std::find(all.begin(), all.end(), p));
            ++placed;
        }
        done.store(true);
        mover.join();
    });
}
