// Record locks of two clients through the engine interface: a record read with a write lock stays
// locked through the same cursor's modify or delete, which neither waits for that lock nor frees it;
// a write waiting for another client's record lock holds nothing that client needs.
#include "tests/db/engine/EngineApiSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

using namespace engineapi;

namespace {

// Lock waits of the cursors: a refusal comes soon, and a write that waited for its own cursor's
// lock would fail within the test instead of stalling it.
constexpr uint32_t kMineMs = 2000;
constexpr uint32_t kTheirsMs = 150;

// This client's cursor on contacts holding "Ann" and "Bob", and a second client's cursor on them.
struct TwoClients {
    Api api;
    TqbServerEngine& e = *api.engine;
    TqbServerDataDict dict = contactsDictionary();
    TqbHandle mine = 0, theirs = 0;
    std::vector<uint8_t> buf;

    TwoClients() {
        mine = api.contacts();
        for (const char* name : {"Ann", "Bob"})
            EXPECT_EQ(0, e.RecordInsert(mine, qbltNone, contactRecord(dict, {name, "1", 1, "pw", {}})));
        buf.resize(contactRecord(dict, {}).size());
        TqbHandle client = 0, db = 0;
        uint32_t hash = 0;
        EXPECT_EQ(0, e.ClientAdd(client, "other", "", 10000, hash));
        EXPECT_EQ(0, e.DatabaseOpenPath(client, api.dir.str(), qbomReadWrite, qbsmShared, 10000, db));
        EXPECT_EQ(0, e.TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, 10000,
                                 theirs, nullptr));
        EXPECT_EQ(0, e.CursorSetTimeout(mine, kMineMs));
        EXPECT_EQ(0, e.CursorSetTimeout(theirs, kTheirsMs));
    }
    // Puts the cursor on the first record and reads it with the lock given.
    TqbResultCode first(TqbHandle cursor, TqbLockType lock) {
        if (TqbResultCode rc = e.CursorSetToBegin(cursor)) return rc;
        return e.RecordGetNext(cursor, lock, buf);
    }
    Contact read() { return contactOf(dict, buf.data()); }
    std::vector<uint8_t> withService(int32_t service, const std::string& name = "") {
        Contact c = read();
        c.service = service;
        if (!name.empty()) c.name = name;
        return contactRecord(dict, c);
    }
};

} // namespace

// Outside any transaction the write's own transaction takes the lock over: the write does not wait,
// the other client is refused until it has ended, and then reads what it wrote.
TEST(EngineRecordLocks, AModifyOrDeleteKeepsTheLockItsCursorReadWith) {
    TwoClients t;
    ASSERT_EQ(0, t.first(t.mine, qbltNone));
    ASSERT_EQ(0, t.e.RecordGet(t.mine, qbltWrite, t.buf));
    ASSERT_EQ(0, t.first(t.theirs, qbltNone));
    EXPECT_EQ(10241, t.e.RecordGet(t.theirs, qbltWrite, t.buf));
    ASSERT_EQ(0, t.e.RecordGet(t.mine, qbltNone, t.buf));
    EXPECT_EQ(0, t.e.RecordModify(t.mine, t.withService(7), true));
    ASSERT_EQ(0, t.e.RecordGet(t.theirs, qbltWrite, t.buf)) << "the modify's transaction let the record go";
    EXPECT_EQ("Ann", t.read().name);
    EXPECT_EQ(7, t.read().service);
    EXPECT_EQ(10241, t.e.RecordGet(t.mine, qbltWrite, t.buf)) << "the other client holds it now";
    ASSERT_EQ(0, t.e.RecordReleaseLock(t.theirs, false));

    // A delete the same way; the other client then finds the next record first.
    ASSERT_EQ(0, t.e.RecordGet(t.mine, qbltWrite, t.buf));
    EXPECT_EQ(10241, t.e.RecordGet(t.theirs, qbltWrite, t.buf));
    EXPECT_EQ(0, t.e.RecordDelete(t.mine, {}));
    ASSERT_EQ(0, t.first(t.theirs, qbltWrite));
    EXPECT_EQ("Bob", t.read().name);
    ASSERT_EQ(0, t.e.RecordReleaseLock(t.theirs, false));
    EXPECT_EQ(0, t.first(t.mine, qbltWrite)) << "nothing of the deleted record's lock is left";
}

// A transaction the client starts after the locked read takes the lock over the same way and keeps
// it until its commit or rollback.
TEST(EngineRecordLocks, AClientTransactionAfterTheLockedReadKeepsTheLockToItsEnd) {
    TwoClients t;
    ASSERT_EQ(0, t.first(t.theirs, qbltNone));

    ASSERT_EQ(0, t.first(t.mine, qbltWrite));
    ASSERT_EQ(0, t.e.TransactionStart(t.api.db, false));
    EXPECT_EQ(0, t.e.RecordModify(t.mine, t.withService(9), false));
    EXPECT_EQ(10241, t.e.RecordGet(t.theirs, qbltWrite, t.buf)) << "the transaction holds the record";
    ASSERT_EQ(0, t.e.TransactionCommit(t.api.db));
    ASSERT_EQ(0, t.e.RecordGet(t.theirs, qbltWrite, t.buf)) << "the commit let the record go";
    EXPECT_EQ(9, t.read().service);
    ASSERT_EQ(0, t.e.RecordReleaseLock(t.theirs, false));

    ASSERT_EQ(0, t.first(t.mine, qbltWrite));
    ASSERT_EQ(0, t.e.TransactionStart(t.api.db, false));
    EXPECT_EQ(0, t.e.RecordDelete(t.mine, {}));
    EXPECT_EQ(10241, t.e.RecordGet(t.theirs, qbltWrite, t.buf)) << "the transaction holds the record";
    ASSERT_EQ(0, t.e.TransactionRollback(t.api.db));
    ASSERT_EQ(0, t.first(t.theirs, qbltWrite)) << "the rollback let the record go";
    EXPECT_EQ("Ann", t.read().name) << "and brought it back";
}

// A write that fails after taking the lock over gives it back to its cursor: the record stays
// locked for a second try, which then goes through.
TEST(EngineRecordLocks, AFailedWriteLeavesTheRecordLockedByItsCursor) {
    TwoClients t;
    ASSERT_EQ(0, t.first(t.theirs, qbltNone));
    ASSERT_EQ(0, t.first(t.mine, qbltWrite));
    EXPECT_EQ(9729, t.e.RecordModify(t.mine, t.withService(5, "Bob"), true)) << "the name is taken";
    EXPECT_EQ(10241, t.e.RecordGet(t.theirs, qbltWrite, t.buf)) << "the cursor still holds the record";
    ASSERT_EQ(0, t.e.RecordGet(t.mine, qbltNone, t.buf));
    EXPECT_EQ(0, t.e.RecordModify(t.mine, t.withService(5), true));
    ASSERT_EQ(0, t.e.RecordGet(t.theirs, qbltWrite, t.buf));
    EXPECT_EQ(5, t.read().service);
}

// A delete that waits for another client's record lock holds nothing meanwhile: the holder's own
// write of that record and its insert of another go ahead at once, and the waiting delete gets the
// record when the holder's write has ended.
TEST(EngineRecordLocks, AWriteWaitingForARecordLockHoldsNothingTheHolderNeeds) {
    TwoClients t;
    ASSERT_EQ(0, t.first(t.mine, qbltWrite));
    const Contact ann = t.read();
    ASSERT_EQ(0, t.first(t.theirs, qbltNone));
    ASSERT_EQ(0, t.e.CursorSetTimeout(t.theirs, 10000)); // gives up only if nobody lets it in
    const uint64_t ref =
        t.e.Registry().LeaseAs<TqbSrBaseCursor>(t.mine, TqbHandleKind::Cursor)->Position().Ref;
    TqbSrTablePtr table = t.e.TableList().FindByName("contacts");
    ASSERT_TRUE(table);
    auto waiting = [&] {
        bool w = false;
        if (TqbRecordLockHash* h = table->GetFile(0)->RecordLocks.HashPtr(false))
            h->WithContainer(ref, [&](TqbLockContainer& c) { w = c.WaitingCount() > 0; });
        return w;
    };
    auto deleter = std::async(std::launch::async, [&] { return t.e.RecordDelete(t.theirs, {}); });
    ASSERT_TRUE(pwtest::waitUntil(waiting, 10000));

    EXPECT_EQ(0, t.e.RecordInsert(t.mine, qbltNone, contactRecord(t.dict, {"Cy", "3", 3, "", {}})));
    ASSERT_EQ(0, t.first(t.mine, qbltNone));
    ASSERT_EQ(0, t.e.RecordGet(t.mine, qbltNone, t.buf));
    ASSERT_EQ(ann.name, t.read().name);
    EXPECT_EQ(0, t.e.RecordModify(t.mine, t.withService(8), true));
    ASSERT_EQ(std::future_status::ready, deleter.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(0, deleter.get());
    ASSERT_EQ(0, t.first(t.mine, qbltNone));
    EXPECT_EQ("Bob", t.read().name) << "the delete took the record the write had let go";
}
