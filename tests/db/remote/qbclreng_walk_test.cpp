// Remote walks over loopback TCP to a served engine, held against the same operations on the
// in-process engine: rows, bookmarks and codes must be the same, also while another client changes
// the table, and every step goes to the server as its own request.
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

// Counts the requests the server receives by message ID and size, ahead of the decoder.
struct CountingPlugIn : TqbCommandPlugIn {
    std::mutex mu;
    std::map<std::pair<uint32_t, size_t>, int> seen;
    bool Process(TqbMessageRecord& m) override {
        std::lock_guard lk(mu);
        ++seen[{m.MsgID, size_t(m.DataLength)}];
        return false;
    }
    std::map<std::pair<uint32_t, size_t>, int> take() {
        std::lock_guard lk(mu);
        return std::exchange(seen, {});
    }
};

// One engine's client with its own contacts table and two cursors on it in name order.
struct Side {
    TqbBaseServerEngine* e = nullptr;
    TqbHandle db = 0, cur = 0, other = 0;
    Bytes saved; // a bookmark the script kept
};

std::string nameOf(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "n%05d", i);
    return b;
}

// The in-process side works on table "local", the remote side on table "remote" of the same
// served engine; both are filled alike, so every operation done to both must answer alike.
struct Pair {
    WireServer srv;
    CountingPlugIn counter;
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> remote{new TQBRemoteServerEngine};
    TqbDataDictionary dict = engineapi::contactsDictionary();
    Side local, far;
    size_t len = size_t(dict.RecordLength());
    uint32_t bm = 0;
    Bytes last; // what the remote side's last operation gave out

    explicit Pair(int rows) {
        srv.handler.RemovePlugIn(&srv.plugIn);
        srv.handler.AddPlugIn(&counter);
        srv.handler.AddPlugIn(&srv.plugIn);
        StartLoopbackClient(*t, srv.port());
        remote->SetTransport(t.get());
        fill(rows);
    }
    void fill(int rows) {
        Bytes all;
        for (int i = 1; i <= rows; ++i) {
            Bytes r = rec(nameOf(10 * i), i % 7);
            all.insert(all.end(), r.begin(), r.end());
        }
        for (Side* s : {&local, &far}) {
            s->e = s == &local ? static_cast<TqbBaseServerEngine*>(srv.api.engine.get()) : remote.get();
            TqbHandle client = 0, session = 0;
            uint32_t hash = 0;
            TqbDataDictionary d = dict;
            const std::string table = s == &local ? "local" : "remote";
            ASSERT_EQ(0, s->e->ClientAdd(client, "rt", "rt", 10000, hash));
            ASSERT_EQ(0, s->e->SessionAdd(client, 10000, session));
            ASSERT_EQ(0, s->e->DatabaseOpenPath(client, srv.api.dir.str(), qbomReadWrite, qbsmShared, 10000,
                                                s->db));
            ASSERT_EQ(0, s->e->TableBuild(s->db, false, table, false, d));
            for (TqbHandle* c : {&s->cur, &s->other})
                ASSERT_EQ(0, s->e->TableOpen(s->db, table, false, "nameIndex", 0, qbomReadWrite, qbsmShared,
                                             10000, *c, nullptr));
            std::vector<int32_t> errors;
            ASSERT_EQ(0, s->e->RecordInsertBatch(s->other, rows, int32_t(len), all, errors));
        }
        ASSERT_EQ(0, local.e->CursorGetBookmarkSize(local.cur, bm));
    }
    Bytes rec(const std::string& name, int service) const {
        return engineapi::contactRecord(dict, WireContact(name, service));
    }
    std::string name(const Bytes& r) const { return engineapi::contactOf(dict, r.data()).name; }

    // Runs op on both sides: the same code and, on success, the same bytes out.
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
    // A step with its bookmark; the record and the bookmark go out together.
    TqbResultCode step(bool forward) {
        return both("step", [&](Side& s, Bytes& out) {
            Bytes r(len), b(bm);
            const TqbResultCode rc = s.e->RecordStepWithBookmark(s.cur, forward, qbltNone, r, b);
            out = r;
            out.insert(out.end(), b.begin(), b.end());
            return rc;
        });
    }
    // Steps to the end (and once more); the rows' names.
    std::vector<std::string> walk(bool forward = true) {
        std::vector<std::string> names;
        while (step(forward) == 0)
            names.push_back(name(last));
        EXPECT_NE(0, step(forward)) << "a step past the end fails again";
        return names;
    }
};

TEST(RemoteWalk, WalksGiveTheRowsBookmarksAndEndCodeOfTheInProcessWalk) {
    Pair p(300);
    // Buffers too short for a record or a bookmark are refused before the cursor moves.
    p.both("short record", [&](Side& s, Bytes&) {
        Bytes r(p.len - 1);
        return s.e->RecordGetNext(s.cur, qbltNone, r);
    });
    p.both("short bookmark", [&](Side& s, Bytes&) {
        Bytes r(p.len), b(p.bm - 1);
        return s.e->RecordStepWithBookmark(s.cur, true, qbltNone, r, b);
    });
    p.counter.take();
    std::vector<std::string> names = p.walk();
    ASSERT_EQ(300u, names.size());
    EXPECT_EQ(nameOf(3000), names.back());
    // Each step its own 13-byte request, each row's bookmark its own 8-byte one, and nothing else.
    const uint32_t step = qbops::Describe(qbops::TqbOp::RecordGetNext).MsgID,
                   bookmark = qbops::Describe(qbops::TqbOp::CursorGetBookmark).MsgID;
    const std::map<std::pair<uint32_t, size_t>, int> expected = {{{step, 13}, 302}, {{bookmark, 8}, 300}};
    EXPECT_EQ(expected, p.counter.take());

    // Within a range and through a server filter (every seventh row), forward and backward.
    const Bytes filter =
        cls::BuildFilterExpression("servicenumber = 3", 0, {{"servicenumber", 3, cls::ftInteger}});
    p.both("range", [&](Side& s, Bytes&) {
        return s.e->CursorSetRange(s.cur, false, 1, 0, p.rec(nameOf(1000), 0), true, 1, 0,
                                   p.rec(nameOf(2500), 0), false);
    });
    p.both("begin", [](Side& s, Bytes&) { return s.e->CursorSetToBegin(s.cur); });
    EXPECT_EQ(150u, p.walk().size());
    p.both("filter", [&](Side& s, Bytes&) { return s.e->CursorSetFilter(s.cur, filter, 0); });
    p.both("end", [](Side& s, Bytes&) { return s.e->CursorSetToEnd(s.cur); });
    names = p.walk(false);
    EXPECT_EQ(22u, names.size());
    EXPECT_EQ(nameOf(2480), names.front());
}

TEST(RemoteWalk, InterleavedOperationsAnswerAsInProcess) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Pair p(200);
        std::mt19937 rng(seed);
        int here = 0; // the number in the name of the row the last step reached
        for (int i = 0; i < 500 && !testing::Test::HasFailure(); ++i) {
            const int op = int(rng() % 20), key = int(rng() % 2200), service = int(rng() % 9);
            // Near: a row just ahead of the walk.
            const int near = key % 2 ? here + 1 + key % 9 : key,
                      nearRow = key % 2 ? here - here % 10 + 10 : key - key % 10;
            const auto read = [&](const char* what, auto call) {
                p.both(what, [&](Side& s, Bytes& out) {
                    out.resize(std::max<size_t>(p.len, p.bm));
                    return call(s, out);
                });
            };
            if (op < 8 && p.step(true) == 0) here = std::stoi(p.name(p.last).substr(1, 5));
            if (op == 8)
                read("next", [&](Side& s, Bytes& o) { return s.e->RecordGetNext(s.cur, qbltNone, o); });
            if (op == 9) p.step(false);
            if (op == 10) read("get", [&](Side& s, Bytes& o) { return s.e->RecordGet(s.cur, qbltNone, o); });
            if (op == 11)
                p.both("bookmark", [&](Side& s, Bytes& o) {
                    o.resize(p.bm);
                    const TqbResultCode rc = s.e->CursorGetBookmark(s.cur, o);
                    s.saved = o;
                    return rc;
                });
            if (op == 12)
                p.both("to bookmark", [&](Side& s, Bytes&) {
                    return s.saved.empty() ? s.e->CursorSetToBegin(s.cur)
                                           : s.e->CursorSetToBookmark(s.cur, s.saved);
                });
            if (op == 13 || op == 14)
                // The current row changed: another service, or another name (a move in the index).
                p.both("modify", [&](Side& s, Bytes&) {
                    Bytes r(p.len);
                    if (TqbResultCode rc = s.e->RecordGet(s.cur, qbltNone, r)) return rc;
                    return s.e->RecordModify(s.cur, p.rec(op == 13 ? p.name(r) : nameOf(key), service), true);
                });
            if (op == 15) read("delete", [&](Side& s, Bytes& o) { return s.e->RecordDelete(s.cur, o); });
            if (op == 16)
                p.both("insert by the other cursor", [&](Side& s, Bytes&) {
                    return s.e->RecordInsert(s.other, qbltNone, p.rec(nameOf(near), 1));
                });
            if (op == 17)
                p.both("delete by the other cursor", [&](Side& s, Bytes&) {
                    Bytes r(p.len);
                    const TqbResultCode rc =
                        s.e->RecordGetForKey(s.other, false, 1, 0, p.rec(nameOf(nearRow), 0), r, true);
                    return rc ? rc : s.e->RecordDelete(s.other, {});
                });
            if (op == 18)
                read("locked step", [&](Side& s, Bytes& o) {
                    const TqbResultCode rc = s.e->RecordGetNext(s.cur, qbltWrite, o);
                    s.e->RecordReleaseLock(s.cur, true);
                    return rc;
                });
            if (op == 19)
                p.both("begin or end", [&](Side& s, Bytes&) {
                    return key % 2 ? s.e->CursorSetToBegin(s.cur) : s.e->CursorSetToEnd(s.cur);
                });
        }
        p.walk();
    }
}

// Another client's changes to the rows ahead of a walk show at the walk's next step, as they do in
// the in-process engine.
TEST(RemoteWalk, AnotherClientsChangesShowAtTheNextStep) {
    Pair p(40);
    // Client B of the served engine, with a cursor on each side's table.
    TqbBaseServerEngine& e = *p.srv.api.engine;
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, e.ClientAdd(client, "b", "b", 10000, hash));
    ASSERT_EQ(0, e.SessionAdd(client, 10000, session));
    ASSERT_EQ(0, e.DatabaseOpenPath(client, p.srv.api.dir.str(), qbomReadWrite, qbsmShared, 10000, db));
    std::map<Side*, TqbHandle> b;
    for (Side* s : {&p.local, &p.far})
        ASSERT_EQ(0, e.TableOpen(db, s == &p.local ? "local" : "remote", false, "nameIndex", 0, qbomReadWrite,
                                 qbsmShared, 10000, b[s], nullptr));
    auto forAll = [&](auto fn) {
        for (Side* s : {&p.local, &p.far})
            fn(b[s]);
    };
    Bytes r(p.len);
    // A walks rows 1 to 4.
    for (int i = 1; i <= 4; ++i) {
        ASSERT_EQ(0, p.step(true));
        ASSERT_EQ(nameOf(10 * i), p.name(p.last));
    }
    // B deletes rows 5 and 6: A's next row is 7.
    forAll([&](TqbHandle c) {
        for (int i : {5, 6}) {
            ASSERT_EQ(0, e.RecordGetForKey(c, false, 1, 0, p.rec(nameOf(10 * i), 0), r, true));
            ASSERT_EQ(0, e.RecordDelete(c, {}));
        }
    });
    ASSERT_EQ(0, p.step(true));
    EXPECT_EQ(nameOf(70), p.name(p.last));
    // B changes row 8 and inserts a row before row 9: A reads both as B left them.
    forAll([&](TqbHandle c) {
        ASSERT_EQ(0, e.RecordGetForKey(c, false, 1, 0, p.rec(nameOf(80), 0), r, true));
        ASSERT_EQ(0, e.RecordModify(c, p.rec(nameOf(80), 6), false));
        ASSERT_EQ(0, e.RecordInsert(c, qbltNone, p.rec(nameOf(85), 2)));
    });
    ASSERT_EQ(0, p.step(true));
    EXPECT_EQ(nameOf(80), p.name(p.last));
    EXPECT_EQ(6, engineapi::contactOf(p.dict, p.last.data()).service);
    ASSERT_EQ(0, p.step(true));
    EXPECT_EQ(nameOf(85), p.name(p.last));
    // Without a bookmark: a plain step reads the same.
    forAll([&](TqbHandle c) {
        ASSERT_EQ(0, e.RecordGetForKey(c, false, 1, 0, p.rec(nameOf(90), 0), r, true));
        ASSERT_EQ(0, e.RecordModify(c, p.rec(nameOf(90), 5), false));
    });
    p.both("next", [&](Side& s, Bytes& out) {
        out.resize(p.len);
        return s.e->RecordGetNext(s.cur, qbltNone, out);
    });
    EXPECT_EQ(5, engineapi::contactOf(p.dict, p.last.data()).service);
    EXPECT_EQ(0, e.ClientRemove(client));
}

} // namespace
