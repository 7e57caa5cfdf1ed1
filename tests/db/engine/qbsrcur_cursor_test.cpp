// Server cursors on real table files: moves, ranges, key searches, bookmarks, writes with extenders,
// write checks, locks, filters, index changes, clients on threads, no table let go under an opening cursor.
#include "tests/db/engine/CursorTestSupport.h"

#include "classlib/DBFilter.h"
#include "db/base/qbhash.h"
#include "platform/Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace enginetest;
using namespace cursortest;

namespace {

// people: name (dups, index 1), city (dups, 2), code (unique, 3), name+num (dups, 4).
struct People : Env {
    const TqbDataDictionary* d = nullptr;
    CursorPtr c;
    explicit People(int n = 0, int32_t index = 0) {
        create("people", peopleDictionary());
        c = open(*a, "people", index);
        d = &c->Dictionary();
        for (int i = 0; i < n; ++i)
            insert(*c, {"n" + std::to_string(i % 10), "c" + std::to_string(i % 3), i, i});
    }
    std::vector<uint8_t> rec(const Person& p) { return record(*d, p); }
    int32_t insert(TqbSrCursor& cur, const Person& p) {
        auto r = rec(p);
        return write(cur, [&] { return cur.RecordInsert(r.data(), lmNone); });
    }
    // Codes of the records a walk returns, forward or backward.
    std::vector<int32_t> walk(TqbSrCursor& cur, bool forward = true) {
        std::vector<int32_t> out;
        std::vector<uint8_t> r(size_t(d->RecordLength()));
        while ((forward ? cur.RecordGetNext(r.data(), lmNone) : cur.RecordGetPrior(r.data(), lmNone)) == 0)
            out.push_back(person(*d, r.data()).code);
        return out;
    }
    int32_t currentCode(TqbSrCursor& cur) {
        std::vector<uint8_t> r(size_t(d->RecordLength()));
        int32_t rc = cur.RecordGet(r.data(), lmNone);
        return rc == 0 ? person(*d, r.data()).code : -rc;
    }
    std::vector<uint8_t> codeKey(int32_t code) { return rec({"", "", code, 0}); }
    std::vector<uint8_t> bookmark(TqbSrCursor& cur) {
        std::vector<uint8_t> b(cur.GetBookmarkSize());
        EXPECT_EQ(cur.GetBookmark(b.data()), 0);
        return b;
    }
};

std::vector<int32_t> iota(int32_t from, int32_t to) {
    std::vector<int32_t> v;
    for (int32_t i = from; i <= to; ++i)
        v.push_back(i);
    return v;
}

} // namespace

TEST(Cursor, WalksTheIndexBothWaysAndAnswersAtTheEnds) {
    People p(30, 3);
    EXPECT_EQ(p.c->SetToBegin(), 0);
    EXPECT_EQ(p.walk(*p.c), iota(0, 29));
    EXPECT_EQ(p.c->Position().State, csEOF);
    EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 8706);
    EXPECT_EQ(p.currentCode(*p.c), -8706);
    auto back = p.walk(*p.c, false);
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, iota(0, 29));
    EXPECT_EQ(p.c->RecordGetPrior(nullptr, lmNone), 8705);
    EXPECT_EQ(p.currentCode(*p.c), -8709);
    uint32_t n = 0;
    EXPECT_EQ(p.c->TableGetRecordCount(n), 0);
    EXPECT_EQ(n, 30u);
}

namespace {

// Advances one millisecond each time it is read, so that time-outs come during a walk.
class TickingClock : public plat::Clock {
public:
    uint64_t NowMs() override { return now_.fetch_add(1); }

private:
    std::atomic<uint64_t> now_{1000000};
};

struct ScopedClock {
    explicit ScopedClock(plat::Clock* c) { plat::SetClock(c); }
    ~ScopedClock() { plat::SetClock(nullptr); }
};

std::vector<uint8_t> peopleFilter(const std::string& text) {
    const std::vector<cls::TFilterField> fields = {{"name", 1, cls::ftString},
                                                   {"city", 2, cls::ftString},
                                                   {"code", 3, cls::ftInteger},
                                                   {"num", 4, cls::ftInteger}};
    return cls::BuildFilterExpression(text, 0, fields);
}

// Records what it hears; refuses one action with a code.
struct Recorder : TqbSrExtender {
    std::vector<int32_t>* log;
    int32_t refuse = -1, with = 0;
    int tag;
    Recorder(std::vector<int32_t>* l, int t) : log(l), tag(t) {}
    int32_t Notify(TqbSrBaseCursor&, int32_t Action) override {
        log->push_back(tag * 100 + Action);
        return Action == refuse ? with : 0;
    }
};

} // namespace

TEST(Cursor, RangesHoldAtBothEndsWhereverTheCursorStarts) {
    People p(30, 3);
    auto lo = p.codeKey(10), hi = p.codeKey(20);
    ASSERT_EQ(p.c->SetRange(false, 1, 0, lo.data(), true, 1, 0, hi.data(), false), 0);
    EXPECT_EQ(p.walk(*p.c), iota(10, 19));
    // A record inserted below the start puts the cursor outside the range: the next move
    // comes back to the start rather than walking up to it.
    ASSERT_EQ(p.insert(*p.c, {"x", "y", -5, 0}), 0);
    EXPECT_EQ(p.currentCode(*p.c), -5);
    EXPECT_EQ(p.walk(*p.c), iota(10, 19));
    ASSERT_EQ(p.insert(*p.c, {"x", "y", 50, 0}), 0);
    auto back = p.walk(*p.c, false);
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, iota(10, 19));
    // An exclusive start and an inclusive end; the count agrees with the walk.
    ASSERT_EQ(p.c->SetRange(false, 1, 0, lo.data(), false, 1, 0, hi.data(), true), 0);
    EXPECT_EQ(p.walk(*p.c), iota(11, 20));
    uint32_t n = 0;
    EXPECT_EQ(p.c->TableGetRecordCount(n), 0);
    EXPECT_EQ(n, 10u);
    // Keys built from values over part of a composite index (name+num: the name only, and
    // the first character of it).
    auto c4 = p.open(*p.a, "people", 4);
    auto n3 = p.rec({"n3", "", 0, 0});
    ASSERT_EQ(c4->SetRange(false, 1, 0, n3.data(), true, 1, 0, n3.data(), true), 0);
    EXPECT_EQ(p.walk(*c4), (std::vector<int32_t>{23, 13, 3})); // descending numbers
    ASSERT_EQ(c4->ResetRange(), 0);
    auto m = p.rec({"n", "", 0, 0});
    ASSERT_EQ(c4->SetToKey(0, false, 0, 1, m.data()), 0);
    EXPECT_EQ(c4->RecordGetNext(nullptr, lmNone), 0);
    EXPECT_EQ(p.currentCode(*c4), 29); // the whole index descends: "n9" with the highest number
    // Index 0's key is the reference: values make no key for it.
    EXPECT_EQ(p.c->SwitchToIndex(0, false), 0);
    EXPECT_EQ(p.c->SetToKey(0, false, 1, 0, n3.data()), 10048);
}

TEST(Cursor, DeletingTheCurrentRecordAlwaysLeavesADeletedGap) {
    // Small tables keep the key path on its key; large ones rebalance and lose it. Both
    // answer 8708 and go on with the next record.
    for (int n : {5, 400}) {
        People p(n, 3);
        auto k = p.codeKey(n / 2);
        ASSERT_EQ(p.c->SetToKey(0, false, 1, 0, k.data()), 0);
        ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
        ASSERT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 0);
        EXPECT_EQ(p.c->Position().State, csBetween);
        EXPECT_EQ(p.currentCode(*p.c), -8708) << n;
        EXPECT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 8708);
        EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
        EXPECT_EQ(p.currentCode(*p.c), n / 2 + 1);
        EXPECT_EQ(p.c->RecordGetPrior(nullptr, lmNone), 0);
        EXPECT_EQ(p.currentCode(*p.c), n / 2 - 1);
    }
}

TEST(Cursor, BookmarksAreCheckedAndOrderedAndEndsNeedNoRecord) {
    People p(20, 3);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    auto bof = p.bookmark(*p.c);
    auto k = p.codeKey(7);
    ASSERT_EQ(p.c->SetToKey(0, false, 1, 0, k.data()), 0);
    auto gap = p.bookmark(*p.c);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    auto on7 = p.bookmark(*p.c);
    ASSERT_EQ(p.c->SetToEnd(), 0);
    auto eof = p.bookmark(*p.c);
    int32_t r = 0;
    const std::vector<std::vector<uint8_t>*> order = {&bof, &gap, &on7, &eof};
    for (size_t i = 0; i < order.size(); ++i)
        for (size_t j = 0; j < order.size(); ++j) {
            ASSERT_EQ(p.c->CompareBookmarks(order[i]->data(), order[i]->size(), order[j]->data(),
                                            order[j]->size(), r),
                      0);
            EXPECT_EQ(r < 0 ? -1 : (r > 0 ? 1 : 0), i < j ? -1 : (i > j ? 1 : 0)) << i << " " << j;
        }
    // A state-0 bookmark counts as the beginning: equal to itself and to BOF.
    auto zero = bof;
    zero[8] = 0;
    plat::StoreLE32(zero.data(), HashBytes(zero.data() + 4, zero.size() - 4));
    ASSERT_EQ(p.c->CompareBookmarks(zero.data(), zero.size(), zero.data(), zero.size(), r), 0);
    EXPECT_EQ(r, 0);
    ASSERT_EQ(p.c->CompareBookmarks(zero.data(), zero.size(), bof.data(), bof.size(), r), 0);
    EXPECT_EQ(r, 0);

    // Back to each place; the gap returns the record it stands before.
    ASSERT_EQ(p.c->SetToBookmark(gap.data(), gap.size()), 0);
    EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    EXPECT_EQ(p.currentCode(*p.c), 7);
    ASSERT_EQ(p.c->SetToBookmark(on7.data(), on7.size()), 0);
    EXPECT_EQ(p.currentCode(*p.c), 7);

    // Damaged, foreign, made-up or short bookmarks change nothing.
    auto other = p.open(*p.a, "people", 2);
    auto foreign = p.bookmark(*other);
    auto forged = on7;
    forged[8] = 7;
    plat::StoreLE32(forged.data(), HashBytes(forged.data() + 4, forged.size() - 4));
    auto damaged = on7;
    damaged[25] ^= 1;
    for (auto* b : {&foreign, &forged, &damaged}) {
        EXPECT_EQ(p.c->SetToBookmark(b->data(), b->size()), 10021);
        EXPECT_EQ(p.currentCode(*p.c), 7);
    }
    EXPECT_EQ(p.c->SetToBookmark(on7.data(), on7.size() - 1), 10021);
    EXPECT_EQ(p.c->SetToBookmark(nullptr, 0), 10021);

    // An end bookmark whose reference was made up restores the end without reading it.
    auto odd = eof;
    plat::StoreLE64(odd.data() + 12, 0x123456789ull);
    plat::StoreLE32(odd.data(), HashBytes(odd.data() + 4, odd.size() - 4));
    EXPECT_EQ(p.c->SetToBookmark(odd.data(), odd.size()), 0);
    EXPECT_EQ(p.c->Position().State, csEOF);

    // The record of a bookmark has gone: the gap where it was, marked deleted.
    ASSERT_EQ(p.c->SetToBookmark(on7.data(), on7.size()), 0);
    ASSERT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 0);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    ASSERT_EQ(p.c->SetToBookmark(on7.data(), on7.size()), 0);
    EXPECT_EQ(p.currentCode(*p.c), -8708);
    EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    EXPECT_EQ(p.currentCode(*p.c), 8);
}

TEST(Cursor, AGapIsKeptByItsNeighbourSoAFoundPlaceSurvivesAnotherCommit) {
    People p(0, 2);
    // city has duplicates: c0 holds codes 0, 3, 6, ...
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(p.insert(*p.c, {"n", "c" + std::to_string(i % 3), i, i}), 0);
    auto key = p.rec({"", "c1", 0, 0});
    auto lost = p.open(*p.a, "people", 2), kept = p.open(*p.a, "people", 2);
    for (int action : {1, 2, 3})
        for (int32_t partial : {0, 1}) {
            // Found before another database commits (its key path goes) and after.
            ASSERT_EQ(lost->SetToKey(action, false, 1, partial, key.data()), 0);
            auto other = p.open(*p.b, "people", 0);
            ASSERT_EQ(p.insert(*other, {"m", "c" + std::to_string(action), 1000 + action * 10 + partial, 0}),
                      0);
            other->Close();
            ASSERT_EQ(kept->SetToKey(action, false, 1, partial, key.data()), 0);
            auto a = p.walk(*lost), b = p.walk(*kept);
            EXPECT_EQ(a, b) << action << " " << partial;
            if (action != 2 || partial == 0) {
                EXPECT_FALSE(a.empty());
            }
        }
}

TEST(Cursor, AFilterTimeOutLeavesTheCursorOnTheLastRecordItLookedAt) {
    People p(40, 3);
    TickingClock clock;
    ScopedClock sc(&clock);
    auto none = peopleFilter("code < 0");
    ASSERT_EQ(p.c->SetFilter(none.data(), none.size(), 10), 0);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 15444);
    EXPECT_EQ(p.c->Position().State, csOnRecord);
    EXPECT_EQ(p.currentCode(*p.c), -8709);
    // Resuming goes on from there to the end.
    int32_t rc;
    int rounds = 0;
    while ((rc = p.c->RecordGetNext(nullptr, lmNone)) == 15444)
        ++rounds;
    EXPECT_EQ(rc, 8706);
    EXPECT_GT(rounds, 0);
}

TEST(Cursor, ARecordDeletedByAnotherDatabaseIsSeenAsDeleted) {
    People p(10, 3);
    auto k = p.codeKey(4);
    ASSERT_EQ(p.c->SetToKey(0, false, 1, 0, k.data()), 0);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    auto other = p.open(*p.b, "people", 3);
    ASSERT_EQ(other->SetToKey(0, false, 1, 0, k.data()), 0);
    ASSERT_EQ(other->RecordGetNext(nullptr, lmNone), 0);
    ASSERT_EQ(write(*other, [&] { return other->RecordDelete(nullptr); }), 0);
    EXPECT_EQ(p.currentCode(*p.c), -8708);
    EXPECT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    EXPECT_EQ(p.currentCode(*p.c), 5);
}

TEST(Cursor, ChangesByAnotherCursorOfTheTransactionNeitherSkipNorRepeat) {
    People p(0, 3);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(p.insert(*p.c, {"n", "c", 1000 + i * 10, 0}), 0);
    ASSERT_EQ(p.a->StartTransaction(), 0);
    auto walker = p.open(*p.a, "people", 3);
    std::vector<int32_t> seen;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(walker->RecordGetNext(nullptr, lmNone), 0);
        seen.push_back(p.currentCode(*walker));
    }
    // The writer splits and merges the pages under the walker inside the same transaction,
    // and the walker steps in between: the page stamps moved at the first change only.
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(p.insert(*p.c, {"w", "c", i, 0}), 0);
        if (i % 60 == 59) {
            ASSERT_EQ(walker->RecordGetNext(nullptr, lmNone), 0);
            seen.push_back(p.currentCode(*walker));
        }
    }
    for (int i = 0; i < 300; i += 2) {
        auto k = p.codeKey(i);
        ASSERT_EQ(p.c->SetToKey(0, false, 1, 0, k.data()), 0);
        ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
        ASSERT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 0);
        if (i % 60 == 58) {
            ASSERT_EQ(walker->RecordGetNext(nullptr, lmNone), 0);
            seen.push_back(p.currentCode(*walker));
        }
    }
    int32_t rc;
    std::vector<uint8_t> r(size_t(p.d->RecordLength()));
    while ((rc = walker->RecordGetNext(r.data(), lmNone)) == 0)
        seen.push_back(person(*p.d, r.data()).code);
    EXPECT_EQ(rc, 8706);
    std::vector<int32_t> want;
    for (int i = 0; i < 40; ++i)
        want.push_back(1000 + i * 10);
    EXPECT_EQ(seen, want);
    ASSERT_EQ(p.a->Commit(), 0);
}

TEST(Cursor, ExtenderRefusalsUndoInListOrderAndWriteNothing) {
    std::vector<int32_t> log; // outlives the cursor, which says goodbye when it closes
    People p(3, 3);
    auto first = std::make_unique<Recorder>(&log, 1), second = std::make_unique<Recorder>(&log, 2),
         deaf = std::make_unique<Recorder>(&log, 3);
    second->refuse = eaInsert;
    second->with = 4242;
    deaf->Interest.set(eaDelete); // hears deletes only
    p.c->AddExtender(std::move(first));
    auto* sec = second.get();
    p.c->AddExtender(std::move(second));
    p.c->AddExtender(std::move(deaf));
    EXPECT_EQ(p.insert(*p.c, {"a", "b", 99, 0}), 4242);
    EXPECT_EQ(log, (std::vector<int32_t>{102, 202, 104}));
    uint32_t n = 0;
    ASSERT_EQ(p.c->TableGetRecordCount(n), 0);
    EXPECT_EQ(n, 3u);

    log.clear();
    sec->refuse = eaModify;
    ASSERT_EQ(p.c->SetToBegin(), 0);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    auto changed = p.rec({"zz", "b", 0, 0});
    EXPECT_EQ(write(*p.c, [&] { return p.c->RecordModify(changed.data(), false); }), 4242);
    EXPECT_EQ(log, (std::vector<int32_t>{105, 205, 107}));
    EXPECT_EQ(p.currentCode(*p.c), 0);

    log.clear();
    sec->refuse = -1;
    ASSERT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 0);
    EXPECT_EQ(log, (std::vector<int32_t>{108, 208, 308, 109, 209}));
    log.clear();
    ASSERT_EQ(p.insert(*p.c, {"a", "b", 99, 0}), 0);
    EXPECT_EQ(log, (std::vector<int32_t>{102, 202, 103, 203}));
}

TEST(Cursor, WritesAreCheckedForModeLocksAndPlace) {
    People p(3, 3);
    auto ro = p.open(*p.a, "people", 3, false);
    EXPECT_EQ(ro->EnsureWritable(false, false), 10763);
    EXPECT_EQ(p.c->EnsureWritable(false, false), 10257);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    EXPECT_EQ(p.c->EnsureWritable(true, false), 8709);
    // A client table lock of another cursor keeps this one from writing; its own does not.
    auto locker = p.open(*p.a, "people", 3);
    p.c->Table()->AcquireCursorContentLock(locker->CursorID(), lmExclusive);
    EXPECT_EQ(p.c->EnsureWritable(false, false), 10245);
    EXPECT_EQ(locker->EnsureWritable(false, false), 10257);
    p.c->Table()->ReleaseCursorContentLock(locker->CursorID(), true);
    // A current record that fails the filter cannot be written.
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    auto f = peopleFilter("code > 100");
    ASSERT_EQ(p.c->SetFilter(f.data(), f.size(), 0), 0);
    EXPECT_EQ(p.c->EnsureWritable(true, false), 8709);
    EXPECT_EQ(write(*p.c, [&] { return p.c->RecordDelete(nullptr); }), 8709);
    ASSERT_EQ(p.c->SetFilter(nullptr, 0, 0), 0);
    // A read with a lock holds the record until released.
    bool locked = false;
    ASSERT_EQ(p.c->RecordGet(nullptr, lmExclusive), 0);
    ASSERT_EQ(p.c->RecordIsLocked(lmExclusive, locked), 0);
    EXPECT_TRUE(locked);
    p.c->RecordReleaseLock();
    ASSERT_EQ(p.c->RecordIsLocked(lmExclusive, locked), 0);
    EXPECT_FALSE(locked);
    // Auto-increment read and set go through the data file's header.
    ASSERT_EQ(write(*p.c, [&] { return p.c->TableSetAutoInc(77); }), 0);
    uint32_t v = 0;
    ASSERT_EQ(p.c->TableGetAutoInc(v), 0);
    EXPECT_EQ(v, 77u);
}

TEST(Cursor, OverridingAFilterKeepsTheUsersFilterWhateverHappens) {
    People p(20, 3);
    auto even = peopleFilter("num < 10"), big = peopleFilter("code > 5");
    ASSERT_EQ(p.c->SetFilter(even.data(), even.size(), 0), 0);
    EXPECT_EQ(p.c->RestoreFilter(), 0); // nothing kept: the user's filter stays
    ASSERT_EQ(p.c->OverrideFilter(big.data(), big.size(), 0), 0);
    ASSERT_EQ(p.c->OverrideFilter(big.data(), big.size(), 0), 0);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    EXPECT_EQ(p.walk(*p.c), iota(6, 9)); // both filters forward
    auto back = p.walk(*p.c, false);     // the temporary one alone backward
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, iota(6, 19));
    ASSERT_EQ(p.c->RestoreFilter(), 0);
    ASSERT_EQ(p.c->SetToBegin(), 0);
    EXPECT_EQ(p.walk(*p.c), iota(0, 9));
}

TEST(Cursor, DroppingAnIndexRenumbersTheCursorsAbove) {
    People p;
    p.c->Close();
    auto c = p.open(*p.a, "people", 3, true, qbsmExclusive);
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(p.insert(*c, {"n" + std::to_string(11 - i), "c", i, i}), 0);
    EXPECT_EQ(write(*c, [&] { return c->TableDropIndex("", 3); }), 10035);
    EXPECT_EQ(write(*c, [&] { return c->TableDropIndex("", 0); }), 9997);
    EXPECT_EQ(write(*c, [&] { return c->TableDropIndex("byCity", 0); }), 0);
    EXPECT_EQ(c->IndexNumber(), 2);
    ASSERT_EQ(c->SetToBegin(), 0);
    EXPECT_EQ(p.walk(*c), iota(0, 11));
    // The table's keys follow the new numbers.
    ASSERT_EQ(p.insert(*c, {"n99", "c", 99, 0}), 0);
    EXPECT_EQ(checkConsistent(*dynamic_cast<TqbSrTable*>(c->Table()), nullptr), "");
    TqbIndexDesc bad;
    EXPECT_EQ(write(*c, [&] { return c->TableAddIndex(bad); }), 10023);
    c->Close();
    auto shared = p.open(*p.a, "people", 2);
    EXPECT_EQ(write(*shared, [&] { return shared->TableDropIndex("byName", 0); }), 10253);
}

TEST(Cursor, OpeningFailuresLeaveNothingOpenAndLocksFollowTheMode) {
    People p;
    EXPECT_EQ(code([&] { return (p.open(*p.a, "nosuch"), 0); }), 149);
    EXPECT_EQ(code([&] { return (p.open(*p.a, "bad.QB2"), 0); }), 193);
    p.c->Close();
    p.host.Tables().RemoveUnused();
    EXPECT_EQ(code([&] { return (p.open(*p.a, "people", 9), 0); }), 150);
    EXPECT_EQ(p.host.Tables().Count(), 0);
    auto ro = p.open(*p.a, "people", 0, false);
    const uint32_t id = ro->Table()->TableID();
    TqbLockManager& lm = ro->Table()->LockManager();
    EXPECT_TRUE(lm.HasTableLock(id, ro->CursorID(), lmShare));
    auto rw = p.open(*p.a, "people", 0, true);
    EXPECT_TRUE(lm.HasTableLock(id, rw->CursorID(), lmIntentShared));
    ro->Close();
    rw->Close();
    auto ex = p.open(*p.a, "people", 0, true, qbsmExclusive);
    EXPECT_TRUE(lm.HasTableLock(id, ex->CursorID(), lmExclusive));
    SetThreadDeadline(100);
    EXPECT_EQ(code([&] { return (p.open(*p.b, "people"), 0); }), 189);
    SetThreadDeadline(20000);
}

TEST(Cursor, ClonesSwitchesAndCopiedPlacesMoveOnTheirOwn) {
    People p(12, 3);
    auto k = p.codeKey(3), e = p.codeKey(8);
    ASSERT_EQ(p.c->SetRange(false, 1, 0, k.data(), true, 1, 0, e.data(), true), 0);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    std::shared_ptr<TqbSrBaseCursor> clone;
    ASSERT_EQ(p.c->Clone(true, clone), 0);
    auto* cc = static_cast<TqbSrCursor*>(clone.get());
    EXPECT_EQ(p.walk(*cc), iota(4, 8));
    EXPECT_EQ(p.currentCode(*p.c), 3);
    // Another index, on the same record.
    ASSERT_EQ(p.c->SwitchToIndex(1, true), 0);
    EXPECT_EQ(p.currentCode(*p.c), 3);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    EXPECT_EQ(p.currentCode(*p.c), 4); // names n0..n9, n10, n11: n3 then n4
    auto other = p.open(*p.a, "people", 3);
    ASSERT_EQ(other->SetToCursor(*p.c), 0);
    EXPECT_EQ(p.currentCode(*other), 4);
    People q;
    EXPECT_EQ(other->SetToCursor(*q.c), 10020);
}

TEST(Cursor, AFailedModifyLeavesTheRecordToTheWholeTransaction) {
    People p(5, 3);
    auto other = p.open(*p.a, "people", 3);
    ASSERT_EQ(p.a->StartTransaction(), 0);
    auto k = p.codeKey(2);
    for (auto* c : {p.c.get(), other.get()}) {
        ASSERT_EQ(c->SetToKey(0, false, 1, 0, k.data()), 0);
        ASSERT_EQ(c->RecordGetNext(nullptr, lmNone), 0);
    }
    auto clash = p.rec({"x", "y", 4, 0}), fine = p.rec({"x", "y", 40, 0});
    EXPECT_EQ(write(*p.c, [&] { return p.c->RecordModify(clash.data(), false); }), 9729);
    EXPECT_EQ(write(*other, [&] { return other->RecordModify(fine.data(), false); }), 0);
    // A delete refused by the filter gives back only its own read's lock.
    auto f = peopleFilter("code < 0");
    ASSERT_EQ(other->SetFilter(f.data(), f.size(), 0), 0);
    EXPECT_EQ(write(*other, [&] { return other->RecordDelete(nullptr); }), 8709);
    ASSERT_EQ(p.c->SetToKey(0, false, 1, 0, p.codeKey(40).data()), 0);
    ASSERT_EQ(p.c->RecordGetNext(nullptr, lmNone), 0);
    auto again = p.rec({"x", "y", 41, 0});
    EXPECT_EQ(write(*p.c, [&] { return p.c->RecordModify(again.data(), false); }), 0);
    ASSERT_EQ(p.a->Commit(), 0);
    EXPECT_EQ(p.currentCode(*p.c), 41);
}

TEST(Cursor, CountingAgainstAPassedDeadlineRaises190) {
    People p(50, 3);
    plat::ManualClock clock;
    ScopedClock sc(&clock);
    auto f = peopleFilter("code > 10");
    ASSERT_EQ(p.c->SetFilter(f.data(), f.size(), 0), 0);
    uint32_t n = 0;
    SetThreadDeadline(1000);
    ASSERT_EQ(p.c->TableGetRecordCount(n), 0);
    EXPECT_EQ(n, 39u);
    clock.Advance(2000);
    EXPECT_EQ(code([&] { return p.c->TableGetRecordCount(n); }), 190);
    SetThreadDeadline(20000);
}

TEST(CursorThreads, AReaderWalksInOrderWhileAnotherClientWrites) {
    People p(100, 3);
    auto reader = p.open(*p.a, "people", 3);
    auto writer = p.open(*p.b, "people", 3);
    std::atomic<bool> done{false};
    std::atomic<int> walks{0};
    std::string readerProblem;
    std::thread r([&] {
        SetThreadDeadline(20000);
        std::vector<uint8_t> rec(size_t(p.d->RecordLength()));
        while (!done.load() || walks.load() == 0) {
            if (reader->SetToBegin() != 0) readerProblem = "begin";
            int32_t last = INT32_MIN, rc, seen = 0;
            while ((rc = reader->RecordGetNext(rec.data(), lmNone)) == 0) {
                const int32_t code = person(*p.d, rec.data()).code;
                if (code <= last) readerProblem = "out of order";
                last = code;
                ++seen;
            }
            if (rc != 8706) readerProblem = "walk ended with " + std::to_string(rc);
            if (seen < 100) readerProblem = "records lost";
            walks.fetch_add(1);
        }
    });
    SetThreadDeadline(20000);
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(p.insert(*writer, {"w", "x", 1000 + i, i}), 0);
        if (i % 3 == 0) {
            auto changed = p.rec({"w", "y", 5000 + i, i});
            ASSERT_EQ(write(*writer, [&] { return writer->RecordModify(changed.data(), false); }), 0);
        }
        if (i % 5 == 0) {
            ASSERT_EQ(write(*writer, [&] { return writer->RecordDelete(nullptr); }), 0);
        }
    }
    done.store(true);
    r.join();
    EXPECT_EQ(readerProblem, "");
    EXPECT_GT(walks.load(), 0);
    EXPECT_EQ(checkConsistent(*dynamic_cast<TqbSrTable*>(reader->Table()), nullptr), "");
}

TEST(CursorThreads, TwoClientsWriteOneTableAndBothSeeEveryRecord) {
    People p(20, 3);
    std::vector<CursorPtr> cursors = {p.open(*p.a, "people", 3), p.open(*p.b, "people", 2)};
    std::atomic<int> failures{0};
    auto work = [&](int who) {
        SetThreadDeadline(20000);
        TqbSrCursor& c = *cursors[size_t(who)];
        for (int i = 0; i < 60; ++i) {
            auto r =
                p.rec({"t" + std::to_string(who), "c" + std::to_string(i % 4), 10000 * (who + 1) + i, i});
            if (write(c, [&] { return c.RecordInsert(r.data(), lmNone); }) != 0) failures.fetch_add(1);
            uint32_t n = 0;
            if (c.TableGetRecordCount(n) != 0 || n < 20) failures.fetch_add(1);
        }
    };
    std::thread t(work, 1);
    work(0);
    t.join();
    EXPECT_EQ(failures.load(), 0);
    for (auto& c : cursors) {
        ASSERT_EQ(c->SetToBegin(), 0);
        EXPECT_EQ(p.walk(*c).size(), 140u);
    }
    EXPECT_EQ(checkConsistent(*dynamic_cast<TqbSrTable*>(cursors[0]->Table()), nullptr), "");
}

TEST(CursorThreads, ATableIsLetGoOfOnlyWhenNoCursorIsOpeningOnIt) {
    // Four clients each open a cursor, close it and let the table go if it is unused, as a rebuild
    // job ends: a cursor that opens meanwhile must find its table listed and its files open.
    Env e;
    e.create("people", peopleDictionary());
    std::atomic<int> lost{0}, opened{0};
    auto work = [&](TqbSrDatabase& db) {
        SetThreadDeadline(20000);
        TqbSrTableList& list = e.host.Tables();
        for (int i = 0; i < 2000; ++i) {
            CursorPtr c;
            // A fresh open may meet the files of the instance the other client is letting go.
            if (code([&] {
                    c = e.open(db, "people", 3);
                    return 0;
                }) != 0)
                continue;
            opened.fetch_add(1);
            TqbSrTablePtr t = c->TablePtr();
            int32_t files = 0;
            {
                PortalReadGuard<TqbSrBaseTable> g(*t);
                files = t->GetFileCount();
            }
            if (files == 0 || list.FindByFolderAndName(*e.folder, "people") != t) lost.fetch_add(1);
            c->Close();
            c.reset();
            list.RemoveTable(t.get());
        }
    };
    std::vector<std::shared_ptr<TqbSrDatabase>> dbs = {e.a, e.b};
    while (dbs.size() < 4)
        dbs.push_back(std::make_shared<TqbSrDatabase>(e.host, e.folder, 10000));
    std::vector<std::thread> others;
    for (size_t i = 1; i < dbs.size(); ++i)
        others.emplace_back(work, std::ref(*dbs[i]));
    work(*dbs[0]);
    for (auto& t : others)
        t.join();
    EXPECT_GT(opened.load(), 4000);
    EXPECT_EQ(lost.load(), 0) << "a table was closed under a cursor that had just opened on it";
}
