// Tests of the received-message queue: joining parts, refusing parts that break their own
// lengths, unpacking containers, the owned collection, and the replay of the queue's fuzz corpus.
#include "db/remote/qbmsgq.h"
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/RemoteMsgqFuzz.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(DataMessageQueue, JoinsPartsInOrderAndKeepsMessagesApart) {
    TqbDataMessageQueue q;
    QueueWriteGuard g(q);
    const auto all = Bytes(25, 1);
    EXPECT_EQ(q.AddMessage(40, 7, 25, 10, all.data(), 0, 1000, 3), nullptr);
    // Same message ID and client, other request: a separate message.
    EXPECT_EQ(q.AddMessage(40, 7, 4, 2, all.data(), 0, 1000, 4), nullptr);
    EXPECT_EQ(q.PartialCount(), 2);
    // A later part for no partial message is ignored.
    EXPECT_EQ(q.AppendPart(40, 8, 5, all.data(), 3), nullptr);
    EXPECT_EQ(q.AppendPart(40, 7, 10, all.data() + 10, 3), nullptr);
    // The last part brings more than is missing: only the missing bytes are taken.
    const auto tail = Bytes(9, 21);
    TqbMessageRecord* done = q.AppendPart(40, 7, 9, tail.data(), 3);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(q.Count(), 1);
    TqbMessagePtr rec = q.Pop();
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec.get(), done);
    EXPECT_EQ(rec->MsgID, 40u);
    EXPECT_EQ(rec->ClientID, 7u);
    EXPECT_EQ(rec->RequestID, 3u);
    EXPECT_EQ(rec->ExpiryTick - rec->ArrivalTick, 1000u);
    EXPECT_EQ(rec->DataLength, 25);
    EXPECT_EQ(rec->Data, all);
    EXPECT_EQ(q.PartialCount(), 1);
    EXPECT_EQ(q.Pop(), nullptr);

    // A whole message in one part is complete at once; an empty one too.
    EXPECT_NE(q.AddMessage(41, 7, 3, 3, all.data(), 12, 0, 5), nullptr);
    EXPECT_NE(q.AddMessage(42, 7, 0, 0, nullptr, 0, 0, 6), nullptr);
    EXPECT_EQ(q.Pop()->ErrorCode, 12);
    EXPECT_EQ(q.Pop()->DataLength, 0);
    EXPECT_TRUE(q.IsEmpty());
}

TEST(DataMessageQueue, RefusesPartsThatBreakTheirOwnLengths) {
    TqbDataMessageQueue q(1000, 2);
    QueueWriteGuard g(q);
    const auto data = Bytes(64, 0);
    // A first part longer than the total it announces.
    EXPECT_THROW(q.AddMessage(40, 1, 8, 64, data.data(), 0, 0, 1), EqbCommsException);
    // A total above the cap, even with a small first part.
    EXPECT_THROW(q.AddMessage(40, 1, 1001, 10, data.data(), 0, 0, 1), EqbCommsException);
    EXPECT_EQ(q.PartialCount(), 0);
    EXPECT_TRUE(q.IsEmpty());
    // The partial list is bounded.
    EXPECT_EQ(q.AddMessage(40, 1, 100, 10, data.data(), 0, 0, 1), nullptr);
    EXPECT_EQ(q.AddMessage(40, 1, 100, 10, data.data(), 0, 0, 2), nullptr);
    EXPECT_THROW(q.AddMessage(40, 1, 100, 10, data.data(), 0, 0, 3), EqbCommsException);
    // A client's partial messages go with its connection; old ones expire.
    EXPECT_EQ(q.PurgeClient(1), 2u);
    EXPECT_EQ(q.AddMessage(40, 2, 100, 10, data.data(), 0, 0, 1), nullptr);
    EXPECT_EQ(q.Expire(plat::GetTickCount64(), 60000), 0u);
    EXPECT_EQ(q.Expire(plat::GetTickCount64() + 60001, 60000), 1u);
    EXPECT_EQ(q.PartialCount(), 0);
}

TEST(DataMessageQueue, ContainerPopsAsThePackedMessages) {
    std::vector<uint8_t> packed;
    const auto a = Bytes(5, 10), c = Bytes(300, 0);
    AppendPackedMessage(packed, 21, 0, false, a.data(), uint32_t(a.size()));
    AppendPackedMessage(packed, 22, 9990, true, nullptr, 0);
    AppendPackedMessage(packed, 23, 0, false, c.data(), uint32_t(c.size()));
    TqbDataMessageQueue q;
    QueueWriteGuard g(q);
    // Split in two parts, followed by an ordinary message.
    ASSERT_EQ(q.AddMessage(qbmPacked, 9, uint32_t(packed.size()), 100, packed.data(), 0, 50, 77), nullptr);
    ASSERT_NE(q.AppendPart(qbmPacked, 9, uint32_t(packed.size() - 100), packed.data() + 100, 77), nullptr);
    ASSERT_NE(q.AddMessage(30, 9, 1, 1, a.data(), 0, 0, 78), nullptr);
    TqbMessagePtr m1 = q.Pop(), m2 = q.Pop(), m3 = q.Pop(), m4 = q.Pop();
    ASSERT_TRUE(m1 && m2 && m3 && m4);
    EXPECT_EQ(m1->MsgID, 21u);
    EXPECT_EQ(m1->Data, a);
    EXPECT_EQ(m1->ClientID, 9u);
    EXPECT_EQ(m1->ExpiryTick - m1->ArrivalTick, 50u);
    EXPECT_EQ(m2->MsgID, 22u);
    EXPECT_EQ(m2->ErrorCode, 9990);
    EXPECT_TRUE(m2->IsStream);
    EXPECT_EQ(m2->DataLength, 0);
    EXPECT_EQ(m3->MsgID, 23u);
    EXPECT_EQ(m3->DataLength, 300);
    EXPECT_EQ(m3->Data, c);
    EXPECT_FALSE(m3->IsStream);
    EXPECT_EQ(m4->MsgID, 30u);
    EXPECT_EQ(q.Pop(), nullptr);
}

TEST(DataMessageQueue, BadContainerIsDroppedWhole) {
    const auto a = Bytes(5, 10);
    for (uint32_t badLength : {0u, 11u, 200u}) {
        SCOPED_TRACE(badLength);
        std::vector<uint8_t> packed;
        AppendPackedMessage(packed, 21, 0, false, a.data(), uint32_t(a.size()));
        AppendPackedMessage(packed, 22, 0, false, a.data(), uint32_t(a.size()));
        PutU32(packed.data() + 17 + 4, badLength); // the second message's length
        TqbDataMessageQueue q;
        QueueWriteGuard g(q);
        ASSERT_NE(q.AddMessage(qbmPacked, 1, uint32_t(packed.size()), uint32_t(packed.size()), packed.data(),
                               0, 0, 1),
                  nullptr);
        ASSERT_NE(q.AddMessage(31, 1, 1, 1, a.data(), 0, 0, 2), nullptr);
        TqbMessagePtr next = q.Pop();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->MsgID, 31u); // nothing of the bad container came out
        EXPECT_TRUE(q.IsEmpty());
    }
    // A head cut short.
    TqbMessageRecord cut;
    cut.MsgID = qbmPacked;
    cut.Data = {1, 0, 0, 0, 12, 0};
    cut.DataLength = 6;
    std::vector<TqbMessagePtr> out;
    EXPECT_FALSE(UnpackMessages(cut, out));
    EXPECT_TRUE(out.empty());
}

TEST(DataMessageQueue, RemoveHandsTheRecordOverAndDropHeadFreesIt) {
    TqbDataMessageQueue q;
    QueueWriteGuard g(q);
    const uint8_t b = 5;
    TqbMessageRecord* r1 = q.AddMessage(1, 1, 1, 1, &b, 0, 0, 1);
    TqbMessageRecord* r2 = q.AddMessage(2, 1, 1, 1, &b, 0, 0, 2);
    q.AddMessage(3, 1, 1, 1, &b, 0, 0, 3);
    TqbMessagePtr taken = q.Remove(r2);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->MsgID, 2u);
    EXPECT_EQ(q.Remove(r2), nullptr);
    EXPECT_EQ(q.Count(), 2);
    q.DropHead();
    EXPECT_EQ(q.Remove(r1), nullptr);
    EXPECT_EQ(q.Pop()->MsgID, 3u);
}

class RefusingCollection : public TqbCollection {
public:
    bool Insert(TqbCollectionItem*) override { return false; }
};

TEST(Collection, ItemsJoinAndLeaveTheirCollection) {
    auto* c = new TqbCollection;
    auto* a = new TqbCollectionItem(c, 1);
    auto* b = new TqbCollectionItem(c, 2);
    new TqbCollectionItem(c, 3);
    EXPECT_EQ(c->Count(), 3);
    EXPECT_EQ(b->Index(), 1);
    EXPECT_FALSE(c->Insert(a));
    delete b;
    EXPECT_EQ(c->Count(), 2);
    EXPECT_EQ(c->Items(1)->Value(), 3u);
    delete c; // frees the rest (the leak checker sees any left)

    RefusingCollection r;
    try {
        TqbCollectionItem item(&r, 1);
        FAIL() << "refused item was created";
    } catch (const EqbClientException& e) {
        EXPECT_EQ(e.ErrorCode, 1010);
        EXPECT_STREQ(e.what(), "Duplicate item in collection");
    }
}

TEST(DataMessageQueue, FuzzCorpusRunsClean) {
    auto corpus = pwfuzz::Corpus("remote_msgq");
    ASSERT_GE(corpus.size(), 4u);
    pwfuzz::Replay(corpus, pwfuzz::RunRemoteMsgq, 300, 13);
}

} // namespace
