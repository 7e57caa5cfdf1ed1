// Tests of the list family: ownership through back links, sorted and unsorted lists, queues,
// string and pointer lists, and lists shared by threads.
#include "classlib/Classes.h"
#include "db/base/qbllbase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> liveItems{0};

// An item whose lifetime the tests can see.
class Counted : public TqbIntListItem {
public:
    explicit Counted(intptr_t key) : TqbIntListItem(key) { ++liveItems; }
    ~Counted() override { --liveItems; }
};

class Named : public TqbUCStrListItem {
public:
    explicit Named(std::string_view key) : TqbUCStrListItem(key) { ++liveItems; }
    ~Named() override { --liveItems; }
};

class ListsTest : public ::testing::Test {
protected:
    void SetUp() override { liveItems = 0; }
    void TearDown() override { EXPECT_EQ(liveItems.load(), 0) << "items leaked or freed twice"; }
};

std::vector<intptr_t> keysOf(const TqbList& l) {
    std::vector<intptr_t> r;
    for (int i = 0; i < l.Count(); ++i)
        r.push_back(static_cast<TqbIntListItem*>(l.Items(i))->IntKey());
    return r;
}

} // namespace

TEST_F(ListsTest, SortedInsertSearchAndDuplicates) {
    TqbList l;
    for (intptr_t k : {50, 10, 40, 20, 30})
        EXPECT_TRUE(l.Insert(new Counted(k)));
    EXPECT_EQ(keysOf(l), (std::vector<intptr_t>{10, 20, 30, 40, 50}));
    auto* dup = new Counted(30);
    EXPECT_FALSE(l.Insert(dup)); // neither linked nor freed
    EXPECT_EQ(dup->OwnerCount(), 0);
    dup->Free();
    EXPECT_EQ(l.Items(5), nullptr);
    l.Delete(45); // absent: nothing
    l.Delete(20);
    TqbListItem* r = l.Remove(30);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(liveItems.load(), 4); // removed, not freed
    r->Free();
    EXPECT_TRUE(l.SetSorted(false));
    EXPECT_FALSE(l.SetSorted(true)); // not while items are present
    l.Insert(new Counted(5));        // unsorted: appended
    EXPECT_EQ(keysOf(l), (std::vector<intptr_t>{10, 40, 50, 5}));
    EXPECT_EQ(l.IndexOf(50), 2); // linear search
}

TEST_F(ListsTest, StringKeysWithAndWithoutCase) {
    TqbList l;
    EXPECT_TRUE(l.Insert(new Named("Smith")));
    auto* upper = new Named("SMITH");
    EXPECT_FALSE(l.Insert(upper)); // equal without regard to case
    upper->Free();
    EXPECT_TRUE(l.Exists("smith"));
    TqbList cs;
    cs.Insert(new TqbStrListItem("Smith"));
    EXPECT_TRUE(cs.Insert(new TqbStrListItem("smith")));
    // Word keys sort unsigned.
    TqbList w;
    w.Insert(new TqbWord32ListItem(0xFFFFFFF0u));
    w.Insert(new TqbWord32ListItem(1));
    EXPECT_EQ(static_cast<TqbWord32ListItem*>(w.Items(0))->DWordKey(), 1u);
}

TEST_F(ListsTest, ItemInTwoListsLivesUntilTheLastDeletesIt) {
    TqbList a, b;
    auto* item = new Counted(7);
    a.Insert(item);
    b.Insert(item);
    a.Delete(7);
    EXPECT_EQ(b.Find(7), item);
    b.Delete(7);
    EXPECT_EQ(liveItems.load(), 0);

    // Freeing an item takes it out of every list.
    auto* other = new Counted(8);
    a.Insert(other);
    b.Insert(other);
    other->Free();
    EXPECT_TRUE(a.IsEmpty() && b.IsEmpty());

    // Without back links an item is freed by whichever list deletes it.
    auto* loose = new Counted(9);
    loose->SetKeepBackLinks(false);
    a.Insert(loose);
    EXPECT_EQ(loose->OwnerCount(), 0);
    a.Delete(9);
    EXPECT_EQ(liveItems.load(), 0);

    // Remove-from-all: deleting from one list takes it out of every list; removing does not free.
    TqbList c;
    auto* all = new Counted(3);
    all->SetRemoveFromAll(true);
    a.Insert(all);
    b.Insert(all);
    c.Insert(all);
    b.Delete(3);
    EXPECT_TRUE(a.IsEmpty() && c.IsEmpty());
    EXPECT_EQ(liveItems.load(), 0);
    auto* kept = new Counted(4);
    kept->SetRemoveFromAll(true);
    a.Insert(kept);
    b.Insert(kept);
    EXPECT_EQ(a.Remove(4), kept);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(liveItems.load(), 1);
    kept->Free();
}

TEST_F(ListsTest, EmptyAndDestructionReleaseLastToFirst) {
    std::vector<intptr_t> order;
    class Noting : public Counted {
    public:
        Noting(intptr_t k, std::vector<intptr_t>& o) : Counted(k), o_(o) {}
        ~Noting() override { o_.push_back(IntKey()); }
        std::vector<intptr_t>& o_;
    };
    {
        TqbList l;
        TqbList other;
        for (intptr_t k = 1; k <= 4; ++k)
            l.Insert(new Noting(k, order));
        other.Insert(l.Items(1)); // key 2 survives the list's end
        l.Empty();
        EXPECT_EQ(order, (std::vector<intptr_t>{4, 3, 1}));
        EXPECT_EQ(other.Count(), 1);
        l.Insert(new Noting(10, order));
    }
    EXPECT_EQ(order, (std::vector<intptr_t>{4, 3, 1, 2, 10})); // 'other' ends first
}

TEST_F(ListsTest, QueueStringAndPointerLists) {
    TqbQueue q;
    EXPECT_EQ(q.Dequeue(), nullptr);
    for (intptr_t k : {3, 1, 2})
        q.Enqueue(new Counted(k));
    q.Delete(1);
    auto* first = static_cast<Counted*>(q.Dequeue());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->IntKey(), 3); // first in, first out
    first->Free();

    TqbStringList s;
    EXPECT_TRUE(s.Insert("beta"));
    EXPECT_TRUE(s.Insert("Alpha"));
    EXPECT_FALSE(s.Insert("beta"));
    int obj;
    s.SetObject(1, &obj);
    EXPECT_EQ(s.Strings(0), "Alpha");
    EXPECT_EQ(s.Strings(7), "");

    // To and from the class library's string list: its order is kept, sorting switched off.
    cls::TStringList libList;
    libList.AddObject("zeta", &obj);
    libList.Add("alpha");
    libList.Add("zeta");
    TqbStringList fromLib;
    fromLib.Assign(libList);
    ASSERT_EQ(fromLib.Count(), 3);
    EXPECT_EQ(fromLib.Objects(0), &obj);
    EXPECT_EQ(fromLib.Strings(2), "zeta");

    TqbPointerList p;
    p.Append(&obj);
    p.SetCount(3);
    EXPECT_EQ(p.Items(3), nullptr);
    EXPECT_EQ(p.RemoveAt(0), &obj);
}

TEST_F(ListsTest, ThreadsDeleteOneItemFromTwoListsAtOnce) {
    TqbThreadList a, b;
    constexpr int kItems = 3000;
    for (int i = 0; i < kItems; ++i) {
        auto* it = new Counted(i);
        a.BeginWrite()->Insert(it);
        a.EndWrite();
        b.BeginWrite()->Insert(it);
        b.EndWrite();
    }
    auto worker = [](TqbThreadList& l, bool up) {
        for (int n = 0; n < kItems; ++n) {
            int k = up ? n : kItems - 1 - n;
            l.BeginWrite()->Delete(k);
            l.EndWrite();
        }
    };
    std::thread t1(worker, std::ref(a), true), t2(worker, std::ref(b), false);
    t1.join();
    t2.join();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(liveItems.load(), 0); // each freed exactly once (ASan catches a double free)
}

TEST_F(ListsTest, ThreadsAddReadAndFreeConcurrently) {
    TqbThreadList shared;
    constexpr int kThreads = 8, kPer = 500;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            TqbThreadList own;
            for (int i = 0; i < kPer; ++i) {
                intptr_t key = t * 100000 + i;
                auto* it = new Counted(key);
                shared.BeginWrite()->Insert(it);
                shared.EndWrite();
                own.BeginWrite()->Insert(it);
                own.EndWrite();
                bool found = shared.BeginRead()->Exists(key);
                shared.EndRead();
                ASSERT_TRUE(found);
                if (i % 3 == 0) it->Free(); // leaves both lists under their write locks
            }
            // The rest leave with the thread's own list; they stay in the shared one.
        });
    for (auto& t : ts)
        t.join();
    int expected = kThreads * (kPer - (kPer + 2) / 3);
    EXPECT_EQ(shared.Count(), expected);
    EXPECT_EQ(liveItems.load(), expected);
    for (int i = 0; i < shared.Count(); ++i)
        EXPECT_EQ(shared.Items(i)->OwnerCount(), 1);
    shared.Empty();
}
