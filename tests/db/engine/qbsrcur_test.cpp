// Server tables on real files: key maintenance against a model, self-undo inside a client
// transaction, lock waits against the deadline, opening under injected failures, two clients on
// one table, index add and drop, emptying, composite keys and the table list.
#include "tests/db/engine/EngineTestSupport.h"

#include "db/storage/qbsrblob.h"
#include "platform/Messages.h"
#include "platform/testing/FaultyFiles.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

namespace {

using namespace enginetest;

// Commits the database's transaction as the engine does: the table's portal is held for writing
// from the transaction manager's commit until EndCommit.
void commitWithTable(Engine& e, TqbSrBaseTable& t, uint64_t db) {
    bool nested = false;
    int32_t rc = -1;
    t.BeginWrite();
    try {
        rc = e.tm().Commit(db, nested);
    } catch (...) {
        t.EndCommit(db);
        throw;
    }
    t.EndCommit(db);
    ASSERT_EQ(rc, 0);
}

TEST(ServerTable, RandomInsertModifyDeleteKeepsEveryIndexEqualToTheDataFile) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    std::mt19937 rng(1234);
    std::map<uint64_t, Person> model;
    auto randomPerson = [&] {
        static const char* cities[] = {"Bern", "Basel", "Chur", "Sion"};
        Person p;
        p.name = "n" + std::to_string(rng() % 60);
        p.city = cities[rng() % 4];
        p.code = int32_t(rng() % 3000); // collisions on the unique index happen
        p.num = int32_t(rng() % 5);
        return p;
    };
    const TqbLockOwnerID cursor = NewLockOwnerID();
    int violations = 0;
    // Each operation runs in a level of its own inside an outer transaction that commits every 100
    // operations: a failed operation's level is rolled back as an implicit transaction would be.
    e.begin();
    for (int op = 0; op < 1500; ++op) {
        TqbSrTransaction* tr = e.begin();
        const int kind = model.empty() ? 0 : int(rng() % 5) / 2; // inserts twice as often
        Person p = randomPerson();
        auto r = record(d, p);
        uint64_t ref = model.empty() ? 0 : std::next(model.begin(), long(rng() % model.size()))->first;
        try {
            if (kind == 0) {
                t->InsertRecord(*tr, cursor, lmExclusive, ref, r.data(), false);
                model[ref] = p;
            } else if (kind == 1) {
                t->ModifyRecord(*tr, cursor, ref, true, r.data(), false);
                model[ref] = p;
            } else {
                t->DeleteRecord(*tr, cursor, ref, false);
                model.erase(ref);
            }
            e.commit();
        } catch (const EqbException& x) {
            ASSERT_EQ(x.ErrorCode, 9729) << x.Message();
            ++violations;
            e.rollback();
        }
        if (op % 100 == 99) {
            ASSERT_EQ(checkConsistent(*t, tr), "") << "after op " << op;
            e.commit();
            if (op % 500 == 499) {
                ASSERT_EQ(checkConsistent(*t, nullptr), "") << "after op " << op;
                ASSERT_EQ(records(*t, nullptr), model);
            }
            e.begin();
        }
    }
    e.commit();
    EXPECT_GT(violations, 5);
    EXPECT_GT(model.size(), 200u);
    // Still so when read back from disk.
    t.reset();
    TqbSrTable again(e.host, e.bm, e.folder, "PEOPLE");
    EXPECT_EQ(again.GetName(), "people") << "the name on disk";
    again.OpenFiles(false);
    EXPECT_EQ(checkConsistent(again, nullptr), "");
    EXPECT_EQ(records(again, nullptr), model);
}

TEST(ServerTable, InsideAClientTransactionAKeyViolationAtIndex3LeavesNoPartialKeys) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    const TqbLockOwnerID cursor = NewLockOwnerID();
    TqbSrTransaction* tr = e.begin();
    uint64_t a = 0, b = 0;
    t->InsertRecord(*tr, cursor, lmExclusive, a, record(d, {"anna", "Bern", 1, 1}).data(), true);
    t->InsertRecord(*tr, cursor, lmExclusive, b, record(d, {"bert", "Chur", 2, 1}).data(), true);
    auto snapshot = [&] {
        std::vector<std::vector<std::pair<std::string, uint64_t>>> s;
        for (int i = 0; i < d.IndexCount(); ++i)
            s.push_back(indexEntries(*t, i, tr));
        return s;
    };
    const auto before = snapshot();
    const auto recsBefore = records(*t, tr);

    // Insert: indexes 0 to 2 take the key before index 3 refuses it.
    uint64_t ref = 77;
    auto r = dbtest::raised<EqbException>([&] {
        t->InsertRecord(*tr, cursor, lmExclusive, ref, record(d, {"carl", "Sion", 1, 1}).data(), true);
    });
    EXPECT_EQ(r.code, 9729);
    EXPECT_EQ(r.message, "Key violation.");
    EXPECT_EQ(ref, 0u);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(records(*t, tr), recsBefore);
    EXPECT_EQ(checkConsistent(*t, tr), "");

    // Modify: the changed indexes 1 and 2 get their old keys back, the record stays.
    EXPECT_EQ(dbtest::raised<EqbException>([&] {
                  t->ModifyRecord(*tr, cursor, b, false, record(d, {"zoe", "Basel", 1, 9}).data(), true);
              }).code,
              9729);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(records(*t, tr), recsBefore);
    e.commit();
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    EXPECT_EQ(records(*t, nullptr).size(), 2u);

    // Without a client transaction the partial keys stay until the rollback takes them.
    tr = e.begin();
    EXPECT_EQ(
        dbtest::raised<EqbException>([&] {
            t->InsertRecord(*tr, cursor, lmExclusive, ref, record(d, {"carl", "Sion", 2, 1}).data(), false);
        }).code,
        9729);
    EXPECT_NE(checkConsistent(*t, tr), "") << "partial work left for the rollback";
    e.rollback();
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    EXPECT_EQ(snapshot(), before);

    // A required field left null changes nothing.
    tr = e.begin();
    EXPECT_EQ(dbtest::raised<EqbException>([&] {
                  t->InsertRecord(*tr, cursor, lmExclusive, ref, record(d, {"", "Sion", 5, 1}).data(), true);
              }).code,
              9732);
    e.commit();
    EXPECT_EQ(records(*t, nullptr), recsBefore);
}

// The clock stands still, so the time left is exactly what a test sets.
struct LockTest : ::testing::Test {
    plat::ManualClock clock;
    Engine e;
    std::unique_ptr<TqbSrTable> t;
    TqbSrTransaction t1{11}, t2{12};
    void SetUp() override {
        plat::SetClock(&clock);
        t = e.build("people", peopleDictionary(1));
    }
    void TearDown() override {
        e.folder->LockManager().ReleaseTransactionLocks(t1, false);
        e.folder->LockManager().ReleaseTransactionLocks(t2, false);
        SetThreadDeadline(0);
        plat::SetClock(nullptr);
    }
    int32_t code(const std::function<void()>& f) { return dbtest::raised<EqbException>(f).code; }
    // Moves the clock on once a lock request waits, so its time-out comes.
    template <class F> auto ticking(std::function<bool()> waiting, F&& f) {
        std::atomic<bool> stop{false};
        std::thread ticker([&] {
            while (!stop) {
                if (waiting()) clock.Advance(5);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        auto r = dbtest::raised<EqbException>(f);
        stop = true;
        ticker.join();
        return r;
    }
};

TEST_F(LockTest, DeadlineRefusalTimeOutAndDeadlockGiveTheirErrors) {
    t->AcquireContentLock(t1, lmExclusive, false);
    // 3 ms left: refused before the lock manager is asked (which would time out: 189).
    SetThreadDeadline(3);
    EXPECT_EQ(code([&] { t->AcquireContentLock(t2, lmShare, false); }), 190);
    EXPECT_EQ(code([&] { t->AcquireTableLock(NewLockOwnerID(), lmExclusive); }), 190);
    EXPECT_EQ(code([&] { t->AcquireCursorContentLock(NewLockOwnerID(), lmShare); }), 190);
    EXPECT_FALSE(t->HasContentLock(t2));
    SetThreadDeadline(20);
    auto timedOut = ticking([&] { return t->ContentLockContainer().WaitingCount() > 0; },
                            [&] { t->AcquireContentLock(t2, lmShare, false); });
    EXPECT_EQ(timedOut.code, 189);
    EXPECT_EQ(timedOut.message, "A lock request (type Share, content of table 'people') timed out.");
    SetThreadDeadline(20); // the clock moved on while the request waited
    auto refused = dbtest::raised<EqbException>([&] { t->AcquireContentLock(t2, lmShare, true); });
    EXPECT_EQ(refused.code, 188);
    EXPECT_EQ(refused.message, "A lock request (type Share, content of table 'people', file ) was rejected.");
    EXPECT_EQ(t->AcquireContentLockNoWait(t2), 188);
    // Held already: nothing is asked, not even the deadline.
    SetThreadDeadline(1);
    t->AcquireContentLock(t1, lmShare, false);
    e.folder->LockManager().ReleaseTransactionLocks(t1, false);

    // Both hold Share; the second waits to convert to Exclusive; the first asking too is the victim.
    SetThreadDeadline(0);
    t->AcquireContentLock(t1, lmShare, false);
    t->AcquireContentLock(t2, lmShare, false);
    std::atomic<int32_t> second{-1};
    std::thread waiter([&] {
        SetThreadDeadline(60000);
        second = code([&] { t->AcquireContentLock(t2, lmExclusive, false); });
    });
    ASSERT_TRUE(dbtest::waitUntil([&] { return t->ContentLockContainer().ConvertingCount() == 1; }));
    SetThreadDeadline(60000);
    auto dead = dbtest::raised<EqbException>([&] { t->AcquireContentLock(t1, lmExclusive, false); });
    EXPECT_EQ(dead.code, 186);
    EXPECT_EQ(dead.message,
              "A lock request (type Exclusive, content of table 'people') resulted in a deadlock.  "
              "Transaction " +
                  std::to_string(t1.TransactionID()) + " was chosen as the victim.");
    e.folder->LockManager().ReleaseTransactionLocks(t1, false);
    waiter.join();
    EXPECT_EQ(second.load(), 0) << "the survivor gets its lock";
    EXPECT_TRUE(t->HasContentLock(t2));
}

TEST_F(LockTest, TableAndCursorContentLocksUseTheTableIdentity) {
    SetThreadDeadline(0);
    TqbSrTable other(e.host, e.bm, e.folder, "other");
    EXPECT_NE(t->TableID(), other.TableID());
    EXPECT_NE(t->TableID(), 0u);
    const TqbLockOwnerID c1 = NewLockOwnerID(), c2 = NewLockOwnerID();
    t->AcquireTableLock(c1, lmExclusive);
    EXPECT_TRUE(t->HasTableLock(c1, lmExclusive));
    EXPECT_TRUE(t->HasTableLock(c2, lmNone));
    SetThreadDeadline(20);
    auto tableWaiting = [&] {
        bool w = false;
        e.folder->LockManager().TableLocks().WithContainer(
            t->TableID(), [&](TqbLockContainer& c) { w = c.WaitingCount() > 0; });
        return w;
    };
    auto r = ticking(tableWaiting, [&] { t->AcquireTableLock(c2, lmShare); });
    EXPECT_EQ(r.code, 189);
    EXPECT_EQ(r.message, "A lock request (type Share, table people) timed out.");
    SetThreadDeadline(0);
    t->ReleaseTableLock(c1, true);
    t->AcquireTableLock(c2, lmShare);
    // A cursor content lock is refused at once while the data file holds a record lock.
    TqbSrTransaction* tr = e.begin();
    uint64_t ref = 0;
    t->InsertRecord(*tr, c1, lmExclusive, ref, record(t->GetDictionary(), {"x", "y", 1, 1}).data(), false);
    EXPECT_EQ(code([&] { t->AcquireCursorContentLock(c2, lmShare); }), 188);
    e.commit();
    t->AcquireCursorContentLock(c2, lmShare);
    EXPECT_TRUE(t->HasCursorContentLock(c2));
    t->ReleaseCursorContentLock(c2, true);
    t->ReleaseTableLock(c2, true);
}

TEST(ServerTable, OpeningWithAFailureAtEachStepLeavesNoFileOpen) {
    Engine e;
    {
        auto t = e.build("split", peopleDictionary(4, true));
        ASSERT_EQ(t->GetFileCount(), 2);
        TqbSrTransaction* tr = e.begin();
        uint64_t ref;
        t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref,
                        record(t->GetDictionary(), {"a", "b", 1, 2}).data(), false);
        e.commit();
        EXPECT_EQ(checkConsistent(*t, nullptr), "");
    }
    TqbSrTable t(e.host, e.bm, e.folder, "split");
    plat::FaultyFiles faulty(plat::PosixFiles());
    plat::ScopedFiles scoped(faulty);
    int failures = 0;
    for (uint64_t n = 1;; ++n) {
        faulty.reset();
        faulty.failAt(n);
        bool opened = true;
        try {
            t.OpenFiles(false);
        } catch (const EqbException&) {
            opened = false;
        }
        const bool fired = faulty.faultFired();
        faulty.clearFault();
        if (opened) {
            if (!fired) {
                EXPECT_EQ(t.GetFileCount(), 2);
                EXPECT_EQ(records(t, nullptr).size(), 1u);
                t.CloseFiles(false, nullptr);
                EXPECT_TRUE(faulty.openHandles().empty());
                break;
            }
            t.CloseFiles(false, nullptr); // the failed call did not matter (a retried read)
        } else {
            ++failures;
            EXPECT_EQ(t.GetFileCount(), 0) << "call " << n;
        }
        EXPECT_TRUE(faulty.openHandles().empty()) << "a file left open after a failure at call " << n;
        ASSERT_LT(n, 500u);
    }
    EXPECT_GE(failures, 6) << "both files' open, header and dictionary reads fail in turn";
}

TEST(ServerTable, TwoClientsInsertIntoOneTableAndLoseNoRow) {
    Engine e;
    auto t = e.build("shared", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    constexpr int kRows = 150;
    // Waits for the other client's locks are bounded by the clients' time-out: generous, so that a
    // loaded machine's slow commits do not count as a lost row.
    auto client1 = std::make_shared<TqbServerObject>(60000), client2 = std::make_shared<TqbServerObject>(60000);
    std::string errors[2];
    auto insertAll = [&](const std::shared_ptr<TqbServerObject>& client, uint64_t db, int base) {
        const TqbLockOwnerID cursor = NewLockOwnerID();
        for (int i = 0; i < kRows; ++i) {
            TqbActivation op(client);
            ASSERT_TRUE(op.Active());
            SetThreadDeadline(client->Timeout());
            TqbSrTransaction* tr = nullptr;
            ASSERT_EQ(e.tm().StartTransaction(db, false, tr), 0);
            uint64_t ref = 0;
            Person p{"w" + std::to_string(base + i), "c" + std::to_string(i % 7), base + i, i};
            t->InsertRecord(*tr, cursor, lmExclusive, ref, record(d, p).data(), false);
            commitWithTable(e, *t, db);
            // Read back outside any transaction, as another client's cursor would: under the
            // table's read content lock, which outside a transaction is its portal.
            std::vector<uint8_t> r(size_t(d.RecordLength()));
            {
                PortalReadGuard g(*t);
                t->GetRecord(nullptr, cursor, ref, true, false, lmNone, r.data());
            }
            ASSERT_EQ(person(d, r.data()), p);
        }
    };
    auto work = [&](const std::shared_ptr<TqbServerObject>& client, uint64_t db, int base) {
        try {
            insertAll(client, db, base);
        } catch (const std::exception& x) {
            // Raised in a thread it would end the whole run; here it fails the test with its reason.
            errors[base == 0 ? 0 : 1] = x.what();
        }
    };
    std::thread a(work, client1, 1, 0), b(work, client2, 2, 100000);
    a.join();
    b.join();
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1], "");
    auto all = records(*t, nullptr);
    ASSERT_EQ(all.size(), size_t(2 * kRows));
    std::set<int32_t> codes;
    for (auto& [ref, p] : all)
        codes.insert(p.code);
    EXPECT_EQ(codes.size(), size_t(2 * kRows));
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
}

TEST(ServerTable, IndexesAddedToAFilledTableGetTheirKeysAndDroppedOnesGo) {
    Engine e;
    auto t = e.build("people", peopleDictionary(2));
    const TqbLockOwnerID cursor = NewLockOwnerID();
    TqbSrTransaction* tr = e.begin();
    for (int i = 0; i < 40; ++i) {
        uint64_t ref;
        t->InsertRecord(*tr, cursor, lmExclusive, ref,
                        record(t->GetDictionary(), {"p" + std::to_string(i), "c", i % 3, i}).data(), true);
    }
    e.commit();
    TqbIndexDesc byNum;
    byNum.Name = "byNum";
    byNum.KeyFieldCount = 1;
    byNum.KeyFields[0] = 3;
    tr = e.begin();
    EXPECT_EQ(t->AddIndex(*tr, byNum), 3);
    e.commit();
    EXPECT_EQ(t->GetDictionary().IndexCount(), 4);
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    EXPECT_EQ(indexEntries(*t, 3, nullptr).size(), 40u);
    // A unique index the records do not allow is refused and leaves the table as it was.
    TqbIndexDesc byCode = byNum;
    byCode.Name = "byCode";
    byCode.KeyFields[0] = 2;
    tr = e.begin();
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->AddIndex(*tr, byCode); }).code, 9729);
    e.rollback();
    EXPECT_EQ(t->GetDictionary().IndexCount(), 4);
    tr = e.begin();
    t->DropIndex(*tr, 1);
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->DropIndex(*tr, 0); }).code, 9997);
    e.commit();
    EXPECT_EQ(t->GetDictionary().IndexCount(), 3);
    EXPECT_EQ(t->GetDictionary().IndexName(2), "byNum");
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    // The dictionary on disk says the same.
    t->OpenFiles(false);
    EXPECT_EQ(t->GetDictionary().IndexName(1), "byCity");
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
}

TEST(ServerTable, EmptyingBuildsNewFilesAsideAndIsRefusedInAClientTransaction) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    TqbSrTransaction* tr = e.begin();
    uint64_t ref;
    t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref,
                    record(t->GetDictionary(), {"a", "b", 1, 1}).data(), true);
    e.commit();
    tr = e.begin();
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->EmptyFiles(tr, true); }).code, 176);
    EXPECT_EQ(records(*t, tr).size(), 1u);
    t->EmptyFiles(tr, false);
    e.commit();
    EXPECT_EQ(records(*t, nullptr).size(), 0u);
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    EXPECT_EQ(t->GetDictionary().IndexCount(), 5);
    EXPECT_FALSE(plat::FileExists(plat::JoinPath(e.folder->GetPath(), "_EMPT1.QB2")));
    tr = e.begin();
    t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref,
                    record(t->GetDictionary(), {"a", "b", 1, 1}).data(), false);
    e.commit();
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
}

TEST(ServerTable, CompositeSearchKeysClampWhatCallersGive) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    auto r = record(d, {"abcdef", "x", 7, 3});
    const int32_t kl = d.IndexKeyLength(4);
    std::vector<uint8_t> whole(size_t(kl) + 16, 0xEE), big(size_t(kl) + 16, 0xEE), part(size_t(kl), 0);
    t->BuildCompositeKey(4, r.data(), 0, 0, whole.data());
    // Counts beyond the index and lengths beyond the field give what fits, and nothing past the key.
    t->BuildCompositeKey(4, r.data(), 0, 99, big.data());
    EXPECT_EQ(big, whole);
    t->BuildCompositeKey(4, r.data(), 5000, 0, big.data());
    EXPECT_EQ(big[size_t(kl)], 0xEE);
    t->BuildCompositeKey(4, r.data(), 3, 0, part.data());
    EXPECT_FALSE(d.IsKeyFieldNull(4, 0, part.data()));
    EXPECT_TRUE(d.IsKeyFieldNull(4, 1, part.data()));
    EXPECT_EQ(part[0], 3) << "the length byte of a partial short string";
    // A partial key on a number field.
    EXPECT_EQ(
        dbtest::raised<EqbException>([&] { t->BuildCompositeKey(3, r.data(), 2, 0, part.data()); }).code,
        10000);
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->CheckDirectKey(4, size_t(kl) + 1); }).code, 9729);
    t->CheckDirectKey(4, size_t(kl));
}

struct LoggingHost : TqbSrTableHost {
    std::vector<std::string> log;
    std::string config;
    std::map<std::string, TqbKeyProcEntry> procs;
    void LogError(const std::string& s) override { log.push_back(s); }
    std::string ConfigFolder() override { return config; }
    bool FindKeyProc(const std::string& key, TqbKeyProcEntry& entry) override {
        auto it = procs.find(key);
        if (it == procs.end()) return false;
        entry = it->second;
        return true;
    }
};

TEST(TableList, FindsNamesWithoutCaseAndFreesOnlyUnusedTables) {
    Engine e;
    e.build("people", peopleDictionary());
    e.build("things", peopleDictionary(1));
    LoggingHost host;
    TqbSrTableList list(host);
    auto a = std::make_shared<TqbSrTable>(host, e.bm, e.folder, "People");
    auto b = std::make_shared<TqbSrTable>(host, e.bm, e.folder, "things");
    a->OpenFiles(false);
    b->OpenFiles(false);
    list.Add(a);
    list.Add(b);
    EXPECT_EQ(list.FindByName("PEOPLE"), a);
    EXPECT_EQ(list.FindByFolderAndName(*e.folder, "Things"), b);
    EXPECT_EQ(list.FindByID(b->TableID()), b);
    a->IncUseCount();
    std::weak_ptr<TqbSrBaseTable> wa = a, wb = b;
    a.reset();
    b.reset();
    list.RemoveUnused();
    EXPECT_EQ(list.Count(), 1) << "a table in use survives";
    EXPECT_TRUE(wb.expired());
    auto left = wa.lock();
    EXPECT_FALSE(list.RemoveTable(left.get()));
    left->DecUseCount();
    left->DecUseCount();
    EXPECT_EQ(left->GetUseCount(), 0);
    EXPECT_TRUE(list.RemoveTable(left.get()));
    EXPECT_EQ(list.Count(), 0);
}

TEST(ServerTable, UserKeyRoutinesLoadOnlyFromTheConfigurationFolder) {
    Engine e;
    TqbServerDataDict d = peopleDictionary(1);
    d.AddUserIndex("custom", "", 0, 4, true, true, false);
    LoggingHost host;
    auto t = std::make_shared<TqbSrTable>(host, e.bm, e.folder, "custom");
    t->BuildFiles(d, 0);
    t->OpenFiles(false);
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->ResolveUserKeyRoutines(); }).code, 171)
        << "not configured";
    pwtest::TempDir config, elsewhere;
    host.config = config.str();
    const std::string key = e.folder->GetPath() + "\\custom.QB2|2";
    // Named with a folder outside the configuration folder: refused before anything is loaded.
    host.procs[key] = {elsewhere.file("keys.so"), "build", "compare"};
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->ResolveUserKeyRoutines(); }).code, 171);
    // A plain name is looked for in the configuration folder only, never on a search path.
    host.procs[key] = {"libc.so.6", "strlen", "strcmp"};
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->ResolveUserKeyRoutines(); }).code, 171);
    // Writing needs the routines.
    TqbSrTransaction* tr = e.begin();
    uint64_t ref;
    EXPECT_EQ(dbtest::raised<EqbException>([&] {
                  t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, record(d, {"a", "b", 1, 1}).data(),
                                  true);
              }).code,
              171);
    e.commit();
    EXPECT_TRUE(records(*t, nullptr).empty());
}

} // namespace

namespace {

// A client's cursor on the table: its key path is what its own operations move and what the table
// changes when another cursor writes or another database commits. It counts the table's calls that
// came without its key-path lock held by the calling thread.
struct FakeCursor : TqbSrTableCursor {
    explicit FakeCursor(uint64_t db, const TqbServerObject* client = nullptr)
        : TqbSrTableCursor(10000, client), db_(db) {}
    uint64_t DatabaseID() const override { return db_; }
    TqbLockOwnerID CursorID() const override { return id_; }
    void NotifyRecordChanged(uint64_t ref) override {
        checkLocks();
        changed.push_back(ref);
    }
    void ClearKeyPath() override {
        checkLocks();
        keyPath = 0;
        ++cleared;
    }
    void checkLocks() {
        if (KeyPathLock().LockCount() != 1) ++unguarded;
        // Only where no other thread uses the client's padlock: its count is not ours to read then.
        if (watchClientPadlock && Padlock()->LockCount() != 0) ++underClientPadlock;
    }
    // The cursor's own operation moves it onto a record.
    void moveTo(uint64_t ref) {
        std::lock_guard lk(KeyPathLock());
        keyPath = ref;
    }
    uint64_t position() {
        std::lock_guard lk(KeyPathLock());
        return keyPath;
    }
    uint64_t db_;
    TqbLockOwnerID id_ = NewLockOwnerID();
    bool watchClientPadlock = false;
    // Guarded by the key-path lock.
    uint64_t keyPath = 0;
    std::vector<uint64_t> changed;
    int cleared = 0, unguarded = 0, underClientPadlock = 0;
};

TEST(ServerTable, CursorsOfTheWritingDatabaseHearOfChangesAndOthersLoseTheirKeyPathAtCommit) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    auto same = std::make_shared<FakeCursor>(1), other = std::make_shared<FakeCursor>(2);
    auto writer = std::make_shared<FakeCursor>(1);
    for (auto& c : {same, other, writer}) {
        c->watchClientPadlock = true;
        c->moveTo(99);
        t->GetCursorList().Add(c);
    }
    const TqbDataDictionary& d = t->GetDictionary();
    TqbSrTransaction* tr = e.begin();
    uint64_t ref;
    t->InsertRecord(*tr, writer->CursorID(), lmExclusive, ref, record(d, {"a", "b", 1, 1}).data(), true);
    // Name and the name+number index change; city and code stay.
    t->ModifyRecord(*tr, writer->CursorID(), ref, false, record(d, {"z", "b", 1, 1}).data(), true, 1);
    EXPECT_EQ(same->changed, (std::vector<uint64_t>{ref, ref}));
    t->DeleteRecord(*tr, writer->CursorID(), ref, true, 1);
    EXPECT_EQ(same->changed.size(), 3u);
    EXPECT_TRUE(writer->changed.empty()) << "the cursor that made the change";
    EXPECT_TRUE(other->changed.empty()) << "another database's cursor is not told";
    commitWithTable(e, *t, 1);
    EXPECT_EQ(other->cleared, 1);
    EXPECT_EQ(other->position(), 0u);
    EXPECT_EQ(same->cleared + writer->cleared, 0);
    EXPECT_EQ(same->position(), 99u);
    for (auto& c : {same, other, writer}) {
        // Under the cursor's own key-path lock; its client's padlock may be held by a thread that
        // waits for this table.
        EXPECT_EQ(c->unguarded, 0);
        EXPECT_EQ(c->underClientPadlock, 0);
    }
}

// Every client writes and commits on one table while the others do the same, and reads through its
// cursor between: a commit holds the table's portal and clears the other cursors' key paths while
// their clients hold their padlocks and wait for the portal.
TEST(ServerTable, ClientsCommittingAndWritingOnOneTableNeverWaitOnEachOther) {
    Engine e;
    auto t = e.build("shared", peopleDictionary(2));
    const TqbDataDictionary& d = t->GetDictionary();
    constexpr int kClients = 3, kCommits = 40;
    std::vector<std::shared_ptr<TqbServerObject>> clients;
    std::vector<std::shared_ptr<FakeCursor>> cursors;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_shared<TqbServerObject>(10000));
        cursors.push_back(std::make_shared<FakeCursor>(uint64_t(i + 1), clients.back().get()));
        t->GetCursorList().Add(cursors.back());
    }
    auto work = [&](int i, int from, int to) {
        const uint64_t db = uint64_t(i + 1);
        FakeCursor& cursor = *cursors[size_t(i)];
        std::vector<uint8_t> r(size_t(d.RecordLength()));
        for (int n = from; n < to; ++n) {
            // The cursor's operation runs under its client's padlock from here to its end.
            TqbActivation op(cursors[size_t(i)]);
            ASSERT_TRUE(op.Active());
            SetThreadDeadline(cursor.Timeout());
            TqbSrTransaction* tr = nullptr;
            ASSERT_EQ(e.tm().StartTransaction(db, false, tr), 0);
            uint64_t ref = 0;
            const Person p{"c" + std::to_string(i), "n" + std::to_string(n), i * 1000 + n, n};
            t->InsertRecord(*tr, cursor.CursorID(), lmExclusive, ref, record(d, p).data(), false);
            cursor.moveTo(ref);
            commitWithTable(e, *t, db);
            // Reads where its cursor stands, unless another commit has cleared that meanwhile.
            PortalReadGuard g(*t);
            if (uint64_t at = cursor.position()) {
                t->GetRecord(nullptr, cursor.CursorID(), at, true, false, lmNone, r.data());
                ASSERT_EQ(person(d, r.data()), p);
            }
        }
    };
    auto client = [&](int i, int from, int to) {
        try {
            work(i, from, to);
        } catch (const EqbException& x) {
            ADD_FAILURE() << "client " << i << ": " << x.Message();
        }
    };
    finishesWithin(std::chrono::seconds(60), "clients committing on one table", [&] {
        // One round of each client alone first: ThreadSanitizer then knows every lock order used,
        // even where the clients together would stall at once.
        for (int i = 0; i < kClients; ++i)
            client(i, 0, 1);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back(client, i, 1, kCommits);
        for (auto& th : threads)
            th.join();
    });
    EXPECT_EQ(records(*t, nullptr).size(), size_t(kClients * kCommits));
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
    int cleared = 0;
    for (auto& c : cursors) {
        EXPECT_EQ(c->unguarded, 0) << "a key path changed without its cursor's key-path lock";
        cleared += c->cleared;
    }
    EXPECT_EQ(cleared, kClients * kCommits * (kClients - 1)) << "each commit clears every other cursor";
}

} // namespace

namespace {

TEST(ServerTable, DeletingARecordDeletesItsBLOBs) {
    Engine e;
    TqbServerDataDict d(4096);
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("memo", "", qbtBLOB, 0, 0, false);
    d.AddField("note", "", qbtBLOB, 0, 0, false);
    auto t = e.build("memos", d);
    const TqbDataDictionary& dd = t->GetDictionary();
    TqbSrTransaction* tr = e.begin();
    uint64_t blob = 0, ref = 0;
    TbtdFileInfo& f = *t->GetFile(dd.BLOBFileNumber());
    TableBLOBCreate(f, tr, blob);
    const std::string text(9000, 'm');
    TableBLOBWrite(f, tr, blob, 0, uint32_t(text.size()), text.data());
    std::vector<uint8_t> r(size_t(dd.RecordLength()));
    dd.InitRecord(r.data());
    uint8_t name[21] = {1, 'x'};
    dd.SetRecordField(0, r.data(), name);
    std::vector<uint8_t> nr(size_t(dd.FieldLength(1)), 0);
    plat::StoreLE64(nr.data(), blob);
    dd.SetRecordField(1, r.data(), nr.data()); // "note" stays null
    t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, r.data(), true);
    e.commit();
    int32_t err = 0;
    tr = e.begin();
    EXPECT_EQ(TableBLOBGetLength(f, tr, blob, err), text.size());
    EXPECT_EQ(err, 0);
    t->DeleteRecord(*tr, NewLockOwnerID(), ref, false);
    e.commit();
    EXPECT_NE(dbtest::raised<EqbException>([&] { TableBLOBGetLength(f, nullptr, blob, err); }).code + err, 0)
        << "the BLOB went with its record";
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
}

} // namespace

namespace {

TEST(ServerTable, KeyNavigationWalksAnIndexAndReadsItsRecords) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    TqbSrTransaction* tr = e.begin();
    for (const char* n : {"dora", "anna", "carl", "bert"}) {
        uint64_t ref;
        t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, record(d, {n, "x", n[0], 0}).data(), true);
    }
    e.commit();
    std::vector<uint8_t> key(size_t(d.IndexKeyLength(1))), rec(size_t(d.RecordLength()));
    t->BuildCompositeKey(1, record(d, {"CARL", "", 0, 0}).data(), 0, 0, key.data());
    TqbKeyPath path;
    KeyPathClear(path);
    uint64_t ref = 0;
    ASSERT_TRUE(t->FindKey(nullptr, 1, key.data(), ref, 0, path)) << "the name index ignores case";
    t->ReadNextRecord(nullptr, 0, 1, path, key.data(), ref, true, lmNone, rec.data());
    EXPECT_EQ(person(d, rec.data()).name, "dora");
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->NextKey(nullptr, 1, path, key.data(), ref); }).message,
              "At end of table.");
    KeyPathClear(path);
    KeyPathToEnd(path);
    std::vector<std::string> back;
    for (;;) {
        auto r = dbtest::raised<EqbException>(
            [&] { t->ReadPriorRecord(nullptr, 0, 1, path, key.data(), ref, true, lmNone, rec.data()); });
        if (r.code) {
            EXPECT_EQ(r.code, 8705);
            break;
        }
        back.push_back(person(d, rec.data()).name);
    }
    EXPECT_EQ(back, (std::vector<std::string>{"dora", "carl", "bert", "anna"}));
}

TEST(ServerTable, ADeleteThatFindsAKeyMissingKeepsItsCodeAndLogsTheCause) {
    Engine e;
    LoggingHost host;
    auto t = std::make_unique<TqbSrTable>(host, e.bm, e.folder, "people");
    t->BuildFiles(peopleDictionary(), 0);
    t->OpenFiles(false);
    const TqbDataDictionary& d = t->GetDictionary();
    TqbSrTransaction* tr = e.begin();
    uint64_t ref;
    auto r = record(d, {"anna", "Bern", 1, 1});
    const TqbLockOwnerID cursor = NewLockOwnerID();
    t->InsertRecord(*tr, cursor, lmExclusive, ref, r.data(), true);
    std::vector<uint8_t> key(size_t(d.IndexKeyLength(2)));
    t->BuildKey(2, r.data(), key.data());
    ASSERT_TRUE(IndexDeleteKey(t->IndexData(2), tr, key.data(), ref)); // a damaged index
    EXPECT_EQ(dbtest::raised<EqbException>([&] { t->DeleteRecord(*tr, cursor, ref, false); }).code, 9729);
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_EQ(host.log[0], "Table people: key missing from index 2");
    e.rollback();
}

} // namespace
