// The merge sort: sorted permutations across buffer and run boundaries, the comparison rules
// (descending fields, nulls, case), and failing runs that stop the sort and leave no run behind.
#include "tests/db/engine/BulkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>

namespace {

using namespace bulktest;
using dbtest::raised;

TqbServerDataDict sortDictionary(bool caseInsensitive = false) {
    TqbServerDataDict d = rowDictionary();
    d.SetTableName("sortme");
    const int32_t byName[2] = {fName, fKey};
    d.AddIndex("byName", "", 0, 2, byName, nullptr, true, true, caseInsensitive);
    d.BindIndexHelpers();
    return d;
}

uint32_t idOf(const TqbDataDictionary& d, const uint8_t* rec) {
    return row(d, rec).id;
}

// Runs kept in memory: the seam's contract without tables, with a run that fails on request.
class MemoryRuns : public TqbSrSortRunStore {
public:
    int32_t failNextAfter = -1; // the run made as number failRun fails its Next after that many
    int failRun = -1;
    int32_t failCode = 0;
    int live = 0, made = 0;
    size_t maxRunRecords = 1u << 22;

    class Run : public TqbSrSortRun {
    public:
        Run(MemoryRuns& s, int32_t len, int32_t failAfter) : s_(s), len_(len), failAfter_(failAfter) {
            ++s_.live;
        }
        ~Run() override { --s_.live; }
        int32_t Put(const uint8_t* r) override {
            if (recs_.size() >= s_.maxRunRecords) return 257; // a merge that repeats records ends here
            recs_.emplace_back(r, r + len_);
            return 0;
        }
        int64_t RecordCount() override { return int64_t(recs_.size()); }
        int32_t First(uint8_t* r) override {
            pos_ = 0;
            return read(r);
        }
        int32_t Next(uint8_t* r) override {
            if (failAfter_ >= 0 && nexts_++ >= failAfter_) return s_.failCode;
            ++pos_;
            return read(r);
        }

    private:
        int32_t read(uint8_t* r) {
            if (pos_ >= recs_.size()) return 8706;
            std::memcpy(r, recs_[pos_].data(), size_t(len_));
            return 0;
        }
        MemoryRuns& s_;
        int32_t len_;
        int32_t failAfter_;
        int32_t nexts_ = 0;
        size_t pos_ = 0;
        std::deque<std::vector<uint8_t>> recs_;
    };

    int32_t recordLength = 0;
    std::unique_ptr<TqbSrSortRun> CreateRun(int64_t StoreSize) override {
        EXPECT_GT(StoreSize, 0);
        return std::make_unique<Run>(*this, recordLength, made++ == failRun ? failNextAfter : -1);
    }
};

TqbSrSortSpec keyThenNameDescending(int32_t index) {
    TqbSrSortSpec s;
    s.FieldCount = 2;
    s.Fields[0] = 0;
    s.Fields[1] = 1;
    s.Descending[1] = true;
    s.Index = index;
    return s;
}

struct SortRun {
    std::vector<uint32_t> ids; // output order
    int32_t runs = 0, merges = 0;
    size_t leftAfterGet = 0;
};

SortRun sortRows(const TqbDataDictionary& d, const std::vector<Row>& rows, const TqbSrSortSpec& spec,
                 MemoryRuns& store) {
    store.recordLength = d.RecordLength();
    SortRun out;
    TqbSrMergeSortEngine sort(spec, d, store);
    for (const Row& r : rows)
        EXPECT_EQ(sort.Put(image(d, r).data()), 0);
    EXPECT_EQ(sort.TotalPut(), int64_t(rows.size()));
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    while (sort.Get(rec.data()))
        out.ids.push_back(idOf(d, rec.data()));
    EXPECT_FALSE(sort.Get(rec.data())) << "stays at the end";
    out.runs = sort.RunsWritten();
    out.merges = sort.IntermediateMerges();
    out.leftAfterGet = sort.RunCount();
    return out;
}

// Sorted by the rule, and every row exactly once.
void expectSortedPermutation(const std::vector<Row>& rows, const std::vector<uint32_t>& ids) {
    std::vector<Row> sorted;
    for (uint32_t id : ids)
        sorted.push_back(id < rows.size() ? rows[id] : Row{});
    EXPECT_EQ(sortedPermutationProblem(rows, sorted), "");
}

TEST(MergeSort, SortedPermutationAcrossBufferAndRunBoundaries) {
    const TqbDataDictionary d = sortDictionary();
    const int32_t per = kSortRunBufferSize / d.RecordLength();
    ASSERT_GT(per, 5000);
    struct Case {
        size_t n;
        int32_t runs, merges;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 0, 0},
        {size_t(per - 1), 0, 0},      // straight from the buffer
        {size_t(2 * per + 1), 3, 0},  // three runs, one final merge
        {size_t(11 * per), 11, 2},    // 11 -> 7 -> 3
        {size_t(26 * per - 7), 26, 6} // 26 -> 22 -> 18 -> 14 -> 10 -> 6 -> 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        auto rows = randomRows(c.n, uint32_t(c.n) + 7);
        MemoryRuns store;
        SortRun out = sortRows(d, rows, keyThenNameDescending(1), store);
        expectSortedPermutation(rows, out.ids);
        EXPECT_EQ(out.runs, c.runs);
        EXPECT_EQ(out.merges, c.merges);
        EXPECT_EQ(out.leftAfterGet, 0u) << "every run freed once read";
        EXPECT_EQ(store.live, 0);
    }
}

// The in-memory sort on inputs that break naive partitions: all equal, sorted, reversed, and
// sizes around the switch to the median of three.
TEST(MergeSort, BufferSortHandlesEqualSortedAndReversedInput) {
    const TqbDataDictionary d = sortDictionary();
    const int32_t per = kSortRunBufferSize / d.RecordLength();
    for (size_t n : {size_t(2), size_t(3), size_t(15), size_t(16), size_t(17), size_t(100), size_t(per)}) {
        for (int shape = 0; shape < 4; ++shape) {
            SCOPED_TRACE(testing::Message() << n << " shape " << shape);
            std::vector<Row> rows(n);
            for (size_t i = 0; i < n; ++i) {
                rows[i].id = uint32_t(i);
                rows[i].name = "x";
                rows[i].key = shape == 0   ? 5
                              : shape == 1 ? int32_t(i)
                              : shape == 2 ? int32_t(n - i)
                                           : int32_t(i % 3);
            }
            MemoryRuns store;
            SortRun out = sortRows(d, rows, keyThenNameDescending(1), store);
            expectSortedPermutation(rows, out.ids);
            EXPECT_EQ(out.runs, 0);
        }
    }
}

TEST(MergeSort, ComparisonRules) {
    const TqbDataDictionary d = sortDictionary(true);
    TqbSrSortSpec spec = keyThenNameDescending(1);
    TqbSrMergeSortEngine sort(spec, d, *std::make_unique<MemoryRuns>());
    auto cmp = [&](const Row& a, const Row& b) {
        return sort.CompareRecords(image(d, a).data(), image(d, b).data());
    };
    Row nullKey{true, false, 0, "m"}, low{false, false, -5, "m"}, high{false, false, 7, "m"};
    EXPECT_EQ(cmp(nullKey, low), -1) << "a null comes first";
    EXPECT_EQ(cmp(low, nullKey), 1);
    EXPECT_EQ(cmp(low, high), -1) << "signed integers";
    Row nullName{false, true, 1, ""}, a{false, false, 1, "a"}, b{false, false, 1, "b"},
        bUpper{false, false, 1, "B"};
    EXPECT_EQ(cmp(b, a), -1) << "descending";
    EXPECT_EQ(cmp(nullName, a), 1) << "a descending null sorts last";
    EXPECT_EQ(cmp(a, nullName), -1);
    EXPECT_EQ(cmp(nullName, nullName), 0);
    EXPECT_EQ(cmp(b, bUpper), 0) << "the index is case-insensitive";
    Row bothNull{true, true, 0, ""};
    EXPECT_EQ(cmp(bothNull, bothNull), 0);

    const TqbDataDictionary exact = sortDictionary(false);
    TqbSrMergeSortEngine caseSort(spec, exact, *std::make_unique<MemoryRuns>());
    EXPECT_NE(caseSort.CompareRecords(image(exact, b).data(), image(exact, bUpper).data()), 0);

    // The sequential index has no key fields: every position takes the default helper (with the
    // index's case flag).
    TqbSrMergeSortEngine byRef(keyThenNameDescending(0), exact, *std::make_unique<MemoryRuns>());
    EXPECT_EQ(byRef.CompareRecords(image(exact, low).data(), image(exact, high).data()), -1);
    // More sort fields than the index has key fields.
    TqbSrSortSpec three = keyThenNameDescending(1);
    three.FieldCount = 3;
    three.Fields[2] = 2;
    TqbSrMergeSortEngine wide(three, exact, *std::make_unique<MemoryRuns>());
    Row c = a;
    c.id = 9;
    EXPECT_EQ(wide.CompareRecords(image(exact, a).data(), image(exact, c).data()), -1) << "pad compared too";

    TqbSrSortSpec bad = spec;
    bad.Fields[1] = 12;
    EXPECT_EQ(raised<EqbException>([&] {
                  TqbSrMergeSortEngine s(bad, exact, *std::make_unique<MemoryRuns>());
              }).code,
              320);
    bad = spec;
    bad.FieldCount = 17;
    EXPECT_EQ(raised<EqbException>([&] {
                  TqbSrMergeSortEngine s(bad, exact, *std::make_unique<MemoryRuns>());
              }).code,
              320);
}

// A run whose step fails with anything but the end stops the sort with that code instead of
// giving its record again; whatever happened, no run is left once the sort is freed.
TEST(MergeSort, FailingRunRaisesAndLeavesNoRun) {
    const TqbDataDictionary d = sortDictionary();
    const int32_t per = kSortRunBufferSize / d.RecordLength();
    for (int failRun : {0, 2, 8}) { // a first run, a later one of the final merge, a merged run
        SCOPED_TRACE(failRun);
        auto rows = randomRows(size_t(7 * per + 3), 99);
        MemoryRuns store;
        store.recordLength = d.RecordLength();
        store.failRun = failRun;
        store.failNextAfter = 40;
        store.failCode = 15412;
        store.maxRunRecords = rows.size();
        {
            TqbSrMergeSortEngine sort(keyThenNameDescending(1), d, store);
            for (const Row& r : rows)
                ASSERT_EQ(sort.Put(image(d, r).data()), 0);
            std::vector<uint8_t> rec(size_t(d.RecordLength()));
            std::vector<uint32_t> ids;
            auto r = raised<EqbException>([&] {
                while (ids.size() <= rows.size() && sort.Get(rec.data()))
                    ids.push_back(idOf(d, rec.data()));
            });
            EXPECT_EQ(r.code, 15412);
            EXPECT_NE(r.message.find("msGetNextRecord"), std::string::npos) << r.message;
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "no record twice";
            EXPECT_GT(store.live, 0);
        }
        EXPECT_EQ(store.live, 0);
    }
}

TEST(MergeSort, PutAfterGetIsRefused) {
    const TqbDataDictionary d = sortDictionary();
    MemoryRuns store;
    store.recordLength = d.RecordLength();
    TqbSrMergeSortEngine sort(keyThenNameDescending(1), d, store);
    auto rec = image(d, Row{});
    ASSERT_EQ(sort.Put(rec.data()), 0);
    ASSERT_TRUE(sort.Get(rec.data()));
    EXPECT_EQ(raised<EqbException>([&] { sort.Put(rec.data()); }).code, 0);
}

} // namespace
