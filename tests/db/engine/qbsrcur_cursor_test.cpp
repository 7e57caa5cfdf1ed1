// Server cursors on real table files: moves, ranges, key searches, bookmarks, writes with
// extenders, write checks, locks, filters, index changes, and two clients on two threads.
#include "tests/db/engine/CursorTestSupport.h"

#include "classlib/DBFilter.h"
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
