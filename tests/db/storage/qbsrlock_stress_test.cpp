// Randomized stress of the lock manager: 8 threads take and release table, record and content
// locks with short time-outs for about a second; no incompatible grants, nothing left behind.
#include "db/storage/qbsrlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kTables = 3;
constexpr int kRecords = 8;
constexpr int kContents = 2;

struct Shared {
    TqbLockManager lm;
    TqbFileRecordLocks file;
    TqbLockContainer content[kContents];
    // Who holds each record exclusively, as the callers were told: a second owner is a double grant.
    std::atomic<TqbLockOwnerID> recordHolder[kRecords] = {};
    std::atomic<int> violations{0}, lastLine{0}; // lastLine: where one was seen
    void violation(int line) {
        ++violations;
        lastLine = line;
    }
    std::atomic<int> grants{0};
    std::atomic<int> timeouts{0};
};

// Granted entries of a container: distinct owners, pairwise compatible in the order they could
// have come in.
void checkGranted(Shared& s, TqbLockContainer& c) {
    auto g = c.GrantedEntries();
    for (size_t i = 0; i < g.size(); ++i)
        for (size_t j = i + 1; j < g.size(); ++j) {
            bool ok = g[i].OwnerID != g[j].OwnerID && (LockModesCompatible(g[i].Mode, g[j].Mode) ||
                                                       LockModesCompatible(g[j].Mode, g[i].Mode));
            if (!ok) s.violation(__LINE__);
        }
}

bool holds(TqbLockContainer& c, TqbLockOwnerID owner) {
    for (const auto& e : c.GrantedEntries())
        if (e.OwnerID == owner) return true;
    return false;
}

bool holdsTable(Shared& s, uint32_t table, TqbLockOwnerID owner) {
    bool h = false;
    s.lm.TableLocks().WithContainer(table, [&](TqbLockContainer& c) { h = holds(c, owner); });
    return h;
}

void checkTable(Shared& s, uint32_t table) {
    s.lm.TableLocks().WithContainer(table, [&](TqbLockContainer& c) { checkGranted(s, c); });
}

void worker(Shared& s, unsigned seed, std::chrono::steady_clock::time_point end) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    const TqbLockOwnerID cursors[2] = {NewLockOwnerID(), NewLockOwnerID()};
    auto tr = std::make_unique<TqbLockTransaction>();
    std::set<std::pair<uint32_t, TqbLockOwnerID>> tables;   // table, cursor
    std::set<std::pair<int, TqbLockOwnerID>> cursorContent; // container, cursor
    std::set<int> cursorRecords[2];                         // records held by each cursor as owner
    std::set<int> txRecords;                                // records held by the transaction
    std::set<int> txContent;                                // containers held by the transaction
    const uint8_t modes[] = {lmIntentShared,          lmIntentExclusive, lmShare,
                             lmSharedIntentExclusive, lmUpdate,          lmExclusive};

    auto takeRecordSlot = [&](int rec, TqbLockOwnerID owner, bool alreadyHeld) {
        TqbLockOwnerID expected = alreadyHeld ? owner : 0;
        if (!alreadyHeld && !s.recordHolder[rec].compare_exchange_strong(expected, owner))
            s.violation(__LINE__);
        if (alreadyHeld && s.recordHolder[rec].load() != owner) s.violation(__LINE__);
    };
    auto endTransaction = [&](bool recordsOnly) {
        for (int rec : txRecords)
            s.recordHolder[rec] = 0;
        txRecords.clear();
        if (!recordsOnly) txContent.clear();
        s.lm.ReleaseTransactionLocks(*tr, recordsOnly);
        if (!recordsOnly) {
            if (tr->TransContainer() != nullptr) s.violation(__LINE__);
            if (pick(2)) tr = std::make_unique<TqbLockTransaction>();
        }
    };

    for (int round = 0; std::chrono::steady_clock::now() < end && round < 200000; ++round) {
        const int action = pick(100);
        const uint32_t timeout = 1 + uint32_t(pick(3));
        if (action < 20) { // table lock
            uint32_t table = uint32_t(pick(kTables));
            TqbLockOwnerID cur = cursors[pick(2)];
            bool before = holdsTable(s, table, cur);
            TqbLockResult r = s.lm.AcquireTableLock(table, modes[pick(6)], cur, timeout, pick(4) == 0);
            if (r == lrGranted) {
                tables.emplace(table, cur);
                checkTable(s, table);
                ++s.grants;
            } else {
                ++s.timeouts;
                if (!before && holdsTable(s, table, cur)) s.violation(__LINE__);
            }
        } else if (action < 35) { // record lock of a cursor
            int k = pick(2), rec = pick(kRecords);
            bool before = cursorRecords[k].count(rec) != 0;
            TqbLockResult r = s.lm.AcquireRecordLock(uint64_t(rec) * 64, s.file, cursors[k], cursors[k],
                                                     nullptr, timeout, pick(4) == 0, lmExclusive);
            if (r == lrGranted) {
                takeRecordSlot(rec, cursors[k], before);
                cursorRecords[k].insert(rec);
                ++s.grants;
            } else if (before) {
                s.violation(__LINE__); // the owner's own cursor is never refused
            }
        } else if (action < 45) { // record lock of the transaction through either cursor
            int rec = pick(kRecords), k = pick(2);
            bool before = txRecords.count(rec) != 0;
            bool cursorsOwn = cursorRecords[k].count(rec) != 0;
            TqbLockResult r = s.lm.AcquireRecordLock(uint64_t(rec) * 64, s.file, cursors[k], tr->LockOwnerID,
                                                     tr.get(), timeout, false, lmExclusive);
            if (r == lrGranted && cursorsOwn) {
                // The cursor's own lock passed to the transaction without being free.
                TqbLockOwnerID expected = cursors[k];
                if (!s.recordHolder[rec].compare_exchange_strong(expected, tr->LockOwnerID))
                    s.violation(__LINE__);
                cursorRecords[k].erase(rec);
                txRecords.insert(rec);
                ++s.grants;
            } else if (r == lrGranted) {
                takeRecordSlot(rec, tr->LockOwnerID, before);
                txRecords.insert(rec);
                ++s.grants;
            } else if (cursorsOwn) {
                s.violation(__LINE__); // its own cursor's lock never stands in its way
            }
            if (before && pick(3) == 0) s.lm.RelaxRecordLock(uint64_t(rec) * 64, s.file, tr->LockOwnerID);
        } else if (action < 55) { // content lock of the transaction
            int c = pick(kContents);
            bool before = txContent.count(c) != 0;
            uint8_t mode = pick(2) ? lmShare : (pick(2) ? lmExclusive : lmIntentShared);
            TqbLockResult r =
                s.lm.AcquireContentLock(s.content[c], nullptr, mode, timeout, pick(3) == 0, *tr);
            if (r == lrGranted) {
                txContent.insert(c);
                checkGranted(s, s.content[c]);
                if (tr->TransContainer() == nullptr ||
                    tr->TransContainer()->GetContentLockMode(&s.content[c]) !=
                        s.content[c].OwnerMode(tr->LockOwnerID))
                    s.violation(__LINE__);
                ++s.grants;
            } else if (!before && holds(s.content[c], tr->LockOwnerID)) {
                s.violation(__LINE__);
            }
        } else if (action < 63) { // content lock of a cursor
            int c = pick(kContents);
            TqbLockOwnerID cur = cursors[pick(2)];
            bool before = holds(s.content[c], cur);
            uint8_t mode = pick(2) ? lmIntentShared : (pick(2) ? lmShare : lmExclusive);
            TqbLockResult r = s.lm.AcquireCursorContentLock(s.content[c], cur, mode, timeout);
            if (r == lrGranted) {
                cursorContent.emplace(c, cur);
                checkGranted(s, s.content[c]);
                ++s.grants;
            } else if (!before && holds(s.content[c], cur)) {
                s.violation(__LINE__);
            }
        } else if (action < 93) { // give something back
            int what = pick(3);
            if (what == 0 && !tables.empty()) {
                auto it = std::next(tables.begin(), pick(int(tables.size())));
                if (pick(2)) {
                    s.lm.ReleaseTableLockAll(it->first, it->second);
                } else {
                    s.lm.ReleaseTableLock(it->first, it->second);
                    if (holdsTable(s, it->first, it->second)) continue;
                }
                tables.erase(it);
            } else if (what == 1) {
                int k = pick(2);
                if (cursorRecords[k].empty()) continue;
                int rec = *std::next(cursorRecords[k].begin(), pick(int(cursorRecords[k].size())));
                s.recordHolder[rec] = 0;
                s.lm.ReleaseRecordLockAll(uint64_t(rec) * 64, s.file, cursors[k], nullptr);
                cursorRecords[k].erase(rec);
            } else if (!cursorContent.empty()) {
                auto it = std::next(cursorContent.begin(), pick(int(cursorContent.size())));
                s.lm.ReleaseCursorContentLockAll(s.content[it->first], it->second);
                cursorContent.erase(it);
            }
        } else {
            endTransaction(pick(3) == 0);
        }
    }

    for (auto [table, cur] : tables)
        s.lm.ReleaseTableLockAll(table, cur);
    for (auto [c, cur] : cursorContent)
        s.lm.ReleaseCursorContentLockAll(s.content[c], cur);
    for (int k = 0; k < 2; ++k)
        for (int rec : cursorRecords[k]) {
            s.recordHolder[rec] = 0;
            s.lm.ReleaseRecordLockAll(uint64_t(rec) * 64, s.file, cursors[k], nullptr);
        }
    endTransaction(false);
}

} // namespace

TEST(LockStress, EightThreadsKeepEveryGrantCompatibleAndLeaveNothingBehind) {
    Shared s;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
    std::vector<std::thread> threads;
    std::random_device rd;
    const unsigned base = rd();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker, std::ref(s), base + unsigned(t) * 7919u, end);
    for (auto& th : threads)
        th.join();

    EXPECT_EQ(s.violations.load(), 0) << "seed base " << base << ", line " << s.lastLine.load();
    EXPECT_GT(s.grants.load(), 300);
    EXPECT_GT(s.timeouts.load(), 0); // the locks were contended
    EXPECT_EQ(s.lm.TableContainerCount(), 0u);
    ASSERT_NE(s.file.Hash(false), nullptr);
    EXPECT_EQ(s.file.Hash(false)->Count(), 0u);
    for (auto& c : s.content)
        EXPECT_TRUE(c.IsEmpty());
    EXPECT_EQ(s.lm.TransContainerCount(), 0u);
    for (auto& h : s.recordHolder)
        EXPECT_EQ(h.load(), 0u);
}
