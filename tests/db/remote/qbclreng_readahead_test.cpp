// The remote engine's read-ahead of cursor steps over loopback TCP to a served engine, held against
// the same operations on the in-process engine: rows, bookmarks and codes must be the same.
#include "classlib/DBFilter.h"
#include "db/remote/qbclreng.h"
#include "tests/db/remote/WireServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

// Counts the requests the server receives, by message, ahead of the decoder.
class CountingPlugIn : public TqbCommandPlugIn {
public:
    bool Process(TqbMessageRecord& Message) override {
        std::lock_guard lk(m_);
        ++counts_[Message.MsgID];
        return false;
    }
    int count(qbops::TqbOp Op) {
        std::lock_guard lk(m_);
        return counts_[qbops::Describe(Op).MsgID];
    }

private:
    std::mutex m_;
    std::map<uint32_t, int> counts_;
};

// One engine's view: a client with a database on the server's folder, its own contacts table and
// two cursors on it in name order.
struct Side {
    TqbBaseServerEngine* e = nullptr;
    TqbHandle client = 0, db = 0, cur = 0, other = 0;
    Bytes saved; // a bookmark the script kept
};

std::string nameOf(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "n%05d", i);
    return b;
}

// A served engine and a remote engine on it; the in-process side works on table "local", the
// remote side on table "remote", both built and filled alike, so that every operation done to both
// must answer alike.
struct Pair {
    WireServer srv;
    CountingPlugIn counter;
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> remote{new TQBRemoteServerEngine};
    TqbDataDictionary dict = engineapi::contactsDictionary();
    Side local, far;
    size_t len = 0;
    uint32_t bm = 0;

    explicit Pair(int rows) {
        srv.handler.RemovePlugIn(&srv.plugIn);
        srv.handler.AddPlugIn(&counter);
        srv.handler.AddPlugIn(&srv.plugIn);
        StartLoopbackClient(*t, srv.port());
        remote->SetTransport(t.get());
        len = size_t(dict.RecordLength());
        open(local, *srv.api.engine, "local");
        open(far, *remote, "remote");
        EXPECT_EQ(0, srv.api.engine->CursorGetBookmarkSize(local.cur, bm));
        Bytes all;
        for (int i = 0; i < rows; ++i) {
            Bytes r = rec(nameOf(10 * (i + 1)), i % 7);
            all.insert(all.end(), r.begin(), r.end());
        }
        for (Side* s : {&local, &far}) {
            std::vector<int32_t> errors;
            EXPECT_EQ(0, s->e->RecordInsertBatch(s->other, rows, int32_t(len), all, errors));
            EXPECT_EQ(0, s->e->CursorSetToBegin(s->cur));
        }
    }
    void open(Side& s, TqbBaseServerEngine& e, const std::string& table) {
        s.e = &e;
        uint32_t hash = 0;
        TqbHandle session = 0;
        ASSERT_EQ(0, e.ClientAdd(s.client, "rt", "rt", 10000, hash));
        ASSERT_EQ(0, e.SessionAdd(s.client, 10000, session));
        ASSERT_EQ(0, e.DatabaseOpenPath(s.client, srv.api.dir.str(), qbomReadWrite, qbsmShared, 10000, s.db));
        TqbDataDictionary d = engineapi::contactsDictionary();
        ASSERT_EQ(0, e.TableBuild(s.db, false, table, false, d));
        for (TqbHandle* c : {&s.cur, &s.other})
            ASSERT_EQ(0, e.TableOpen(s.db, table, false, "nameIndex", 0, qbomReadWrite, qbsmShared, 10000, *c,
                                     nullptr));
    }
    Bytes rec(const std::string& name, int service) const {
        return engineapi::contactRecord(dict, WireContact(name, service));
    }
    std::string name(const Bytes& r) const { return engineapi::contactOf(dict, r.data()).name; }

    // Runs op on both sides and expects the same code and, on success, the same bytes out.
    template <class Op> TqbResultCode both(const char* what, Op&& op) {
        Bytes outL, outF;
        const TqbResultCode l = op(local, outL), f = op(far, outF);
        EXPECT_EQ(l, f) << what;
        if (l == 0) {
            EXPECT_EQ(outL, outF) << what;
        }
        last = outF;
        return l;
    }
    Bytes last; // what the remote side's last operation gave out
    // A step with its bookmark: the record and bookmark go out together.
    TqbResultCode step(bool forward, TqbLockType lock = qbltNone) {
        return both(forward ? "forward step" : "backward step", [&](Side& s, Bytes& out) {
            Bytes r(len), b(bm);
            const TqbResultCode rc = s.e->RecordStepWithBookmark(s.cur, forward, lock, r, b);
            out = r;
            out.insert(out.end(), b.begin(), b.end());
            return rc;
        });
    }
    // Walks to the end; the rows' names.
    std::vector<std::string> walk() {
        std::vector<std::string> names;
        while (step(true) == 0)
            names.push_back(name(last));
        EXPECT_NE(0, step(true)) << "a step past the end fails again";
        return names;
    }
};

TEST(RemoteReadAhead, WalksGiveTheRowsBookmarksAndEndCodeOfTheInProcessWalk) {
    Pair p(300);
    const int before = p.counter.count(qbops::TqbOp::RecordStepBatch);
    std::vector<std::string> names = p.walk();
    ASSERT_EQ(300u, names.size());
    EXPECT_EQ(nameOf(10), names.front());
    EXPECT_EQ(nameOf(3000), names.back());
    // A handful of requests (batches of 1, 2, 4 ... rows), not one or two per row.
    EXPECT_LE(p.counter.count(qbops::TqbOp::RecordStepBatch) - before, 11);
    EXPECT_EQ(0, p.counter.count(qbops::TqbOp::CursorGetBookmark));

    // Plain steps read ahead too: a walk of 300 rows in ten requests or fewer.
    ASSERT_EQ(0, p.far.e->CursorSetToBegin(p.far.cur));
    const int plain = p.counter.count(qbops::TqbOp::RecordStepBatch);
    Bytes r(p.len);
    int rows = 0;
    TqbResultCode rc = 0;
    while ((rc = p.far.e->RecordGetNext(p.far.cur, qbltNone, r)) == 0)
        ++rows;
    EXPECT_EQ(300, rows);
    EXPECT_LE(p.counter.count(qbops::TqbOp::RecordStepBatch) - plain, 10);
    ASSERT_EQ(0, p.local.e->CursorSetToEnd(p.local.cur));
    EXPECT_EQ(p.local.e->RecordGetNext(p.local.cur, qbltNone, r), rc) << "the end code";

    // Within a range, from both ends.
    p.both("range", [&](Side& s, Bytes&) {
        return s.e->CursorSetRange(s.cur, false, 1, 0, p.rec(nameOf(1000), 0), true, 1, 0,
                                   p.rec(nameOf(2000), 0), false);
    });
    names = p.walk();
    ASSERT_EQ(100u, names.size());
    EXPECT_EQ(nameOf(1000), names.front());
    EXPECT_EQ(nameOf(1990), names.back());
    p.both("to the end", [](Side& s, Bytes&) { return s.e->CursorSetToEnd(s.cur); });
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0, p.step(false));
    EXPECT_NE(0, p.step(false));

    // Through a server filter: every seventh row.
    p.both("reset", [](Side& s, Bytes&) { return s.e->CursorResetRange(s.cur); });
    const std::vector<cls::TFilterField> fields = {{"servicenumber", 3, cls::ftInteger}};
    const Bytes filter = cls::BuildFilterExpression("servicenumber = 3", 0, fields);
    p.both("filter", [&](Side& s, Bytes&) { return s.e->CursorSetFilter(s.cur, filter, 0); });
    p.both("begin", [](Side& s, Bytes&) { return s.e->CursorSetToBegin(s.cur); });
    names = p.walk();
    EXPECT_EQ(300u / 7 + 1, names.size());
}

TEST(RemoteReadAhead, InterleavedOperationsAnswerAsInProcess) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Pair p(200);
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return int(rng() % unsigned(n)); };
        int here = 0; // the number in the name of the row the last step reached
        for (int i = 0; i < 500; ++i) {
            const int op = pick(20);
            const int key = pick(2200);
            const int service = pick(9);
            if (op < 8) {
                if (p.step(true) == 0) here = std::stoi(p.name(p.last).substr(1, 5));
            } else if (op == 8) {
                p.both("next", [&](Side& s, Bytes& out) {
                    out.resize(p.len);
                    return s.e->RecordGetNext(s.cur, qbltNone, out);
                });
            } else if (op == 9) {
                p.step(false);
            } else if (op == 10) {
                p.both("get", [&](Side& s, Bytes& out) {
                    out.resize(p.len);
                    return s.e->RecordGet(s.cur, qbltNone, out);
                });
            } else if (op == 11) {
                p.both("bookmark", [&](Side& s, Bytes& out) {
                    out.resize(p.bm);
                    const TqbResultCode rc = s.e->CursorGetBookmark(s.cur, out);
                    s.saved = out;
                    return rc;
                });
            } else if (op == 12) {
                p.both("to bookmark", [&](Side& s, Bytes&) {
                    return s.saved.empty() ? s.e->CursorSetToBegin(s.cur)
                                           : s.e->CursorSetToBookmark(s.cur, s.saved);
                });
            } else if (op == 13 || op == 14) {
                // The current row changed: another service, or another name (a move in the index).
                p.both("modify", [&](Side& s, Bytes&) {
                    Bytes r(p.len);
                    if (TqbResultCode rc = s.e->RecordGet(s.cur, qbltNone, r)) return rc;
                    const std::string name = op == 13 ? p.name(r) : nameOf(key);
                    return s.e->RecordModify(s.cur, p.rec(name, service), true);
                });
            } else if (op == 15) {
                p.both("delete", [&](Side& s, Bytes& out) {
                    out.resize(p.len);
                    return s.e->RecordDelete(s.cur, out);
                });
            } else if (op == 16) {
                // The client's other cursor inserts or deletes a row just ahead of the walk, or
                // anywhere.
                const int at = key % 2 ? here + 1 + key % 9 : key;
                p.both("insert by the other cursor", [&](Side& s, Bytes&) {
                    return s.e->RecordInsert(s.other, qbltNone, p.rec(nameOf(at), 1));
                });
            } else if (op == 17) {
                const int at = key % 2 ? here - here % 10 + 10 : key - key % 10;
                p.both("delete by the other cursor", [&](Side& s, Bytes&) {
                    Bytes r(p.len);
                    if (TqbResultCode rc =
                            s.e->RecordGetForKey(s.other, false, 1, 0, p.rec(nameOf(at), 0), r, true))
                        return rc;
                    return s.e->RecordDelete(s.other, {});
                });
            } else if (op == 18) {
                p.both("locked step", [&](Side& s, Bytes& out) {
                    out.resize(p.len);
                    const TqbResultCode rc = s.e->RecordGetNext(s.cur, qbltWrite, out);
                    s.e->RecordReleaseLock(s.cur, true);
                    return rc;
                });
            } else {
                p.both("begin or end", [&](Side& s, Bytes&) {
                    return key % 2 ? s.e->CursorSetToBegin(s.cur) : s.e->CursorSetToEnd(s.cur);
                });
            }
            if (testing::Test::HasFailure()) return;
        }
        p.walk();
    }
}

TEST(RemoteReadAhead, AnotherClientsInsertShowsOnceAPositioningCallDroppedTheFetchedRows) {
    Pair p(40);
    // Rows 1..7 are fetched by the third fetch (1, 2, 4 rows); the caller stands on row 5.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(0, p.step(true));
    Bytes r(p.len), b(p.bm);
    ASSERT_EQ(0, p.far.e->CursorGetBookmark(p.far.cur, b));
    // Another client (the in-process one) puts a row between rows 5 and 6 of the remote table.
    TqbHandle other = 0;
    ASSERT_EQ(0, p.srv.api.engine->TableOpen(p.local.db, "remote", false, "nameIndex", 0, qbomReadWrite,
                                             qbsmShared, 10000, other, nullptr));
    ASSERT_EQ(0, p.srv.api.engine->RecordInsert(other, qbltNone, p.rec(nameOf(55), 1)));
    // The next row comes from the fetch, made before the insert.
    ASSERT_EQ(0, p.far.e->RecordGetNext(p.far.cur, qbltNone, r));
    EXPECT_EQ(nameOf(60), p.name(r));
    // Going back to row 5 drops the fetched rows: the new row shows.
    ASSERT_EQ(0, p.far.e->CursorSetToBookmark(p.far.cur, b));
    ASSERT_EQ(0, p.far.e->RecordStepWithBookmark(p.far.cur, true, qbltNone, r, b));
    EXPECT_EQ(nameOf(55), p.name(r));
    ASSERT_EQ(0, p.far.e->RecordGetNext(p.far.cur, qbltNone, r));
    EXPECT_EQ(nameOf(60), p.name(r));
}

} // namespace
