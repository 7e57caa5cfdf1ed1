// Tests of the dataset layer's exception texts, the standalone list and the range stack.
#include "db/client/qbcllist.h"

#include "db/base/qbllbase.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// A plain level-1 item, enough for the list and message tests.
class Item : public TqbDBListItem {
public:
    explicit Item(const std::string& name, cls::TComponent* owner = nullptr) : TqbDBListItem(owner) {
        SetLevel(1);
        SetOwnerless(true);
        SetNameLabel("ClientName");
        StoreName(name);
    }
    int opens = 0;

protected:
    void DoOpen() override { ++opens; }
};

void* poolBuffer(uint32_t size) {
    void* p = nullptr;
    PoolGetMem(p, size);
    return p;
}

} // namespace

TEST(DatasetErrors, MessageFramesCarryTheCodeInHexAndDecimal) {
    EqbDatabaseError e = EqbDatabaseError::CreateViaCode(8706);
    EXPECT_EQ(e.Message(), "Quillbase: At end of table. [$2202/8706]");
    EXPECT_EQ(e.ErrorCode, 8706);
    EXPECT_EQ(EqbDatabaseError::Create("boom").Message(), "Quillbase: boom [no error code]");
    EXPECT_EQ(EqbDatabaseError::Create("boom").ErrorCode, 0);

    TqbOwned<Item> named(new Item("c"));
    named->SetName("Client1");
    TqbOwned<Item> unnamed(new Item("d"));
    EXPECT_EQ(EqbDatabaseError::ComponentDescription(nullptr), "<nil pointer>");
    EXPECT_EQ(EqbDatabaseError::ComponentDescription(unnamed.get()), "<unnamed Item instance>");
    try {
        EqbDatabaseError::RaiseError(named.get(), kDsClientMustBeActive);
        FAIL();
    } catch (const EqbDatabaseError& x) {
        EXPECT_EQ(
            x.Message(),
            "Quillbase: Client1: The Client must be active before performing this operation [no error code]");
        EXPECT_EQ(x.ErrorCode, kDsClientMustBeActive);
    }
    try {
        EqbDatabaseError::RaiseErrorFmt(nullptr, kDsClientNameExists, {"abc"});
        FAIL();
    } catch (const EqbDatabaseError& x) {
        EXPECT_EQ(x.Message(), "Quillbase: <nil pointer>: Client name [abc] already exists [$d50e/54542]");
    }
    // Codes of the general and client tables.
    EXPECT_EQ(DatasetCodeText(1008), "Invalid Parameter");
    EXPECT_FALSE(DatasetCodeText(10036).empty());
    EXPECT_NO_THROW(EqbDatabaseError::Check(0));
    EXPECT_THROW(EqbDatabaseError::Check(10036), EqbDatabaseError);
    // An item with no name cannot open; the message names the property.
    TqbOwned<Item> empty(new Item(""));
    try {
        empty->Open();
        FAIL();
    } catch (const EqbDatabaseError& x) {
        EXPECT_EQ(x.ErrorCode, kDsSpecifyName);
        EXPECT_NE(x.Message().find("Please specify a [ClientName]"), std::string::npos) << x.Message();
    }
    EXPECT_FALSE(empty->Active());
}

TEST(DatasetErrors, PathNames) {
    for (const char* p : {".", "..", "C:\\data", "sub\\dir", "/tmp/db", "x:"})
        EXPECT_TRUE(IsPathName(p)) << p;
    for (const char* a : {"pageBASE", "...", "a.b", ""})
        EXPECT_FALSE(IsPathName(a)) << a;
}

TEST(StandaloneList, FindsTheLatestByNameAndClosesAllFromTheEnd) {
    TqbClientList list;
    TqbOwned<Item> a(new Item("Alpha")), b(new Item("beta")), a2(new Item("ALPHA"));
    list.Add(a.get());
    list.Add(b.get());
    list.Add(a2.get());
    TqbDBListItem* found = nullptr;
    ASSERT_TRUE(list.FindByName("alpha", found));
    EXPECT_EQ(found, a2.get());
    EXPECT_FALSE(list.FindByName("gamma", found));
    EXPECT_EQ(found, nullptr);
    a->Open();
    b->Open();
    list.CloseAll();
    EXPECT_FALSE(a->Active());
    EXPECT_FALSE(b->Active());
    list.Remove(a2.get());
    EXPECT_EQ(list.Count(), 2);
    // Lookups from other threads while items come and go.
    std::thread t([&] {
        for (int i = 0; i < 2000; ++i) {
            TqbDBListItem* f = nullptr;
            list.FindByName("beta", f);
            EXPECT_EQ(f, b.get());
        }
    });
    for (int i = 0; i < 2000; ++i) {
        list.Add(a2.get());
        list.Remove(a2.get());
    }
    t.join();
    list.Remove(a.get());
    list.Remove(b.get());
}

TEST(RangeStack, PushPopAndTheBufferThatWasCurrent) {
    TqbTableRangeStack s;
    EXPECT_FALSE(s.IsRangeActive());
    EXPECT_EQ(s.CurrentSize(), -1);
    void* first = poolBuffer(20000);
    s.SetCurrent(first, 20000);
    s.Push();
    EXPECT_FALSE(s.IsRangeActive());
    EXPECT_FALSE(s.IsEmpty());
    // A buffer current at the pop is released, not lost (the leak checker sees one kept).
    s.SetCurrent(poolBuffer(20000), 20000);
    s.PopToCurrent();
    EXPECT_EQ(s.Current(), first);
    EXPECT_EQ(s.CurrentSize(), 20000);
    EXPECT_TRUE(s.IsEmpty());
    s.PopToCurrent();
    EXPECT_EQ(s.Current(), nullptr);
    EXPECT_EQ(s.CurrentSize(), 0);
    s.SetCurrent(poolBuffer(64), 64);
    s.Push();
    s.SetCurrent(poolBuffer(30000), 30000);
    s.Push();
    EXPECT_EQ(s.Depth(), 2u);
    s.Clear();
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.CurrentSize(), -1);
}
