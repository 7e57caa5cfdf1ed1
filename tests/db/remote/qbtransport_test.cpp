// Tests of the transport framework over a transport whose sending thread is scripted: waits and
// time-outs, posts, late and early replies, request lifetime under load, and the server side's
// command handler, engine manager, thread pool and state walk.
#include "db/base/qblllog.h"
#include "db/remote/qbtransport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct SentReply {
    uint32_t ClientID, RequestID, MsgID;
    TqbResultCode ErrorCode;
    std::vector<uint8_t> Data;
};

// A transport whose sending thread hands each request to a script (by default: sent at once).
class TestTransport : public TqbThreadedTransport {
public:
    using Script = std::function<void(TestTransport&, const TqbRequestPtr&)>;
    explicit TestTransport(std::string name = "Test") : name_(std::move(name)) {}

    Script OnSend;
    std::function<void()> OnInitializing;
    std::vector<std::string>* Trace = nullptr;

    void RequestQueued() override {
        std::lock_guard g(mu_);
        kick_ = true;
        cv_.notify_all();
    }
    void SendReply(uint32_t ClientID, uint32_t RequestID, uint32_t MsgID, TqbResultCode ErrorCode,
                   const uint8_t* Data, uint32_t DataLength) override {
        CheckStarted();
        std::lock_guard g(mu_);
        replies_.push_back(
            {ClientID, RequestID, MsgID, ErrorCode, std::vector<uint8_t>(Data, Data + DataLength)});
    }
    std::string GetProtocolName() override { return name_; }
    std::vector<SentReply> Replies() {
        std::lock_guard g(mu_);
        return replies_;
    }

protected:
    void EnterInitializing() override {
        if (Trace) Trace->push_back(name_ + " init");
        if (OnInitializing) OnInitializing();
    }
    void EnterStarting() override {
        stop_ = false;
        thread_ = std::thread([this] { run(); });
    }
    void EnterShuttingDown() override { stopThread(); }
    void EnterInactive() override { stopThread(); }
    void BeforeDestruction() override {
        stopThread();
        TqbThreadedTransport::BeforeDestruction();
    }

private:
    void run() {
        for (;;) {
            {
                std::unique_lock g(mu_);
                cv_.wait(g, [this] { return stop_ || kick_; });
                if (stop_) return;
                kick_ = false;
            }
            while (TqbRequestPtr req = NextRequest()) {
                if (OnSend) {
                    OnSend(*this, req);
                } else {
                    BeginSend(req);
                    EndSend(req, 0);
                }
            }
        }
    }
    void stopThread() {
        {
            std::lock_guard g(mu_);
            stop_ = true;
            cv_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

    std::string name_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool kick_ = false, stop_ = false;
    std::thread thread_;
    std::vector<SentReply> replies_;
};

// A reply cut into parts as the peer sends it.
void DeliverReply(TqbThreadedTransport& t, uint32_t requestID, uint32_t msgID, TqbResultCode err,
                  const std::vector<uint8_t>& data, uint32_t partSize, bool* taken = nullptr) {
    TqbMsgHeader h;
    h.MsgID = msgID;
    h.RequestID = requestID;
    h.ErrorCode = err;
    h.TotalLength = uint32_t(data.size());
    h.MsgType = qbmtReply;
    uint32_t at = 0;
    bool all = true;
    do {
        uint32_t n = std::min<uint32_t>(partSize, uint32_t(data.size()) - at);
        h.FirstPart = at == 0;
        h.LastPart = at + n == data.size();
        all = t.HandleReplyPart(h, data.data() + at, n) && all;
        at += n;
    } while (at < data.size());
    if (taken) *taken = all;
}

struct Fixture {
    TqbOwned<MemoryEventLog> log{new MemoryEventLog};
    TqbOwned<TestTransport> t{new TestTransport};
    Fixture() {
        t->SetEventLog(log.get());
        t->SetEventLogEnabled(true);
        t->SetEventLogOptions(qbLogOption(qbtpLogErrors) | qbLogOption(qbtpLogRequests) |
                              qbLogOption(qbtpLogReplies));
    }
    bool Logged(const std::string& line) {
        auto lines = log->Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST(Transport, RequestTimesOutAndItsLateReplyIsDropped) {
    Fixture f;
    f.t->Startup();
    uint32_t sentID = 0;
    f.t->OnSend = [&](TestTransport& t, const TqbRequestPtr& r) {
        sentID = r->ID();
        t.BeginSend(r);
        t.EndSend(r, 0); // sent, and no reply ever comes
    };
    uint32_t replyMsg = 0;
    TqbResultCode cbErr = -1;
    const uint8_t data[3] = {1, 2, 3};
    auto start = Clock::now();
    TqbResultCode err =
        f.t->Request(0, 7, 1290, 1000, data, 3, [&](uint32_t m, TqbResultCode e, const uint8_t*, uint32_t) {
            replyMsg = m;
            cbErr = e;
        });
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(err, 288);
    EXPECT_EQ(cbErr, 288);
    EXPECT_EQ(replyMsg, 1290u);
    EXPECT_GE(elapsed, 1500);
    // The aborted request left the pending list at once and was not kept alive.
    EXPECT_EQ(f.t->PendingCount(), 0u);
    EXPECT_EQ(f.t->RequestIDs()->LiveCount(), 0u);
    EXPECT_TRUE(f.Logged("*** Req " + std::to_string(sentID) + " aborted, Clnt 7, Err 288, Tmout 1000"));

    bool taken = true;
    DeliverReply(*f.t, sentID, 1290, 0, {9, 9}, 100, &taken);
    EXPECT_FALSE(taken);
    EXPECT_TRUE(f.Logged("Could not find Request " + std::to_string(sentID) + ", msgID 1290"));
}

TEST(Transport, ReplyInPartsReachesTheCaller) {
    Fixture f;
    f.t->Startup();
    std::vector<uint8_t> reply(1000);
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = uint8_t(i * 7);
    f.t->OnSend = [&](TestTransport& t, const TqbRequestPtr& r) {
        t.BeginSend(r);
        t.EndSend(r, 0);
        DeliverReply(t, r->ID(), 1291, 5, reply, 300);
    };
    std::vector<uint8_t> got;
    uint32_t gotMsg = 0;
    TqbResultCode err = f.t->Request(0, 3, 1290, 5000, nullptr, 0,
                                     [&](uint32_t m, TqbResultCode, const uint8_t* d, uint32_t n) {
                                         gotMsg = m;
                                         got.assign(d, d + n);
                                     });
    EXPECT_EQ(err, 5);
    EXPECT_EQ(gotMsg, 1291u);
    EXPECT_EQ(got, reply);
    EXPECT_EQ(f.t->PendingCount(), 0u);
    EXPECT_TRUE(f.Logged("Reply: 1, Clnt 3, Msg 1291, Len 1000, Err 5"));
}

TEST(Request, ReplyAssemblyRefusesPartsThatBreakTheirLengths) {
    auto ids = std::make_shared<TqbRequestIDs>();
    TqbRequest r(1, qbrmReq, 0, 0, nullptr, 40, ids);
    const uint8_t d[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    // A later part before any first part has nothing to append to.
    EXPECT_FALSE(r.AddToReply(d, 4));
    // A first part longer than its total, or a total above the cap.
    EXPECT_FALSE(r.StartReply(40, 0, 16, 8, d));
    EXPECT_FALSE(r.StartReply(40, 0, 4, 2000, d, 1000));
    EXPECT_EQ(r.ReplyLength(), -1);
    EXPECT_TRUE(r.StartReply(41, 0, 4, 10, d));
    EXPECT_FALSE(r.StartReply(41, 0, 4, 10, d)); // a second first part
    // More than is missing: only the missing bytes are taken, and the waiter is released.
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        r.WaitForReply(0);
        released = true;
    });
    EXPECT_TRUE(r.AddToReply(d + 4, 12));
    EXPECT_TRUE(pwtest::waitUntil([&] { return released.load(); }, 20000));
    if (!released) r.Signal();
    waiter.join();
    EXPECT_TRUE(r.ReplyComplete());
    EXPECT_EQ(r.ReplyData(), std::vector<uint8_t>(d, d + 10));
    EXPECT_FALSE(r.AddToReply(d, 1));
    EXPECT_FALSE(r.Abort());
    EXPECT_EQ(r.ErrorCode(), 0);
}

TEST(Request, IdentifiersSkipLiveOnesAndZero) {
    auto ids = std::make_shared<TqbRequestIDs>();
    ids->SetNextForTesting(0xFFFFFFFF);
    auto a = std::make_unique<TqbRequest>(1, qbrmReq, 0, 0, nullptr, 40, ids);
    auto b = std::make_unique<TqbRequest>(1, qbrmReq, 0, 0, nullptr, 40, ids);
    EXPECT_EQ(a->ID(), 0xFFFFFFFFu);
    EXPECT_EQ(b->ID(), 1u);
    ids->SetNextForTesting(1); // wrapped round onto a live request
    auto c = std::make_unique<TqbRequest>(1, qbrmReq, 0, 0, nullptr, 40, ids);
    EXPECT_EQ(c->ID(), 2u);
    b.reset();
    ids->SetNextForTesting(1);
    auto d = std::make_unique<TqbRequest>(1, qbrmReq, 0, 0, nullptr, 40, ids);
    EXPECT_EQ(d->ID(), 1u);
}

TEST(Transport, PostReturnsAtOnceOrWhenSent) {
    Fixture f;
    f.t->Startup();
    std::mutex gateMu;
    std::condition_variable gateCv;
    bool open = false;
    std::atomic<int> taken{0};
    TqbResultCode sendResult = 0;
    f.t->OnSend = [&](TestTransport& t, const TqbRequestPtr& r) {
        ++taken;
        std::unique_lock g(gateMu);
        gateCv.wait(g, [&] { return open; });
        t.BeginSend(r);
        t.EndSend(r, sendResult);
    };
    auto openGate = [&](bool v) {
        std::lock_guard g(gateMu);
        open = v;
        gateCv.notify_all();
    };

    // Mode 1: back at once, the request lives on until it was sent.
    const uint8_t data[2] = {4, 5};
    EXPECT_EQ(f.t->Post(0, 1, 2, data, 2, 1000, qbrmPost), 0);
    ASSERT_TRUE(pwtest::waitUntil([&] { return taken == 1; }));
    EXPECT_EQ(f.t->RequestIDs()->LiveCount(), 1u);
    openGate(true);
    EXPECT_TRUE(pwtest::waitUntil([&] { return f.t->RequestIDs()->LiveCount() == 0; }));

    // Mode 2: waits until sent; a failed send gives its error.
    openGate(false);
    taken = 0;
    for (TqbResultCode code : {0, 10054}) {
        sendResult = code;
        const int before = taken;
        std::atomic<bool> back{false};
        TqbResultCode got = -1;
        std::thread poster([&] {
            got = f.t->Post(0, 1, 2, data, 2, 0, qbrmPostWait);
            back = true;
        });
        ASSERT_TRUE(pwtest::waitUntil([&] { return taken == before + 1; }));
        EXPECT_FALSE(back.load()); // the sending thread still holds it
        openGate(true);
        poster.join();
        EXPECT_EQ(got, code);
        openGate(false);
    }
    openGate(true);
    EXPECT_TRUE(pwtest::waitUntil([&] { return f.t->RequestIDs()->LiveCount() == 0; }));
}

TEST(Transport, PostAbortedInTheQueueIsDroppedUnsent) {
    Fixture f;
    f.t->Startup();
    std::mutex gateMu;
    std::condition_variable gateCv;
    bool open = false;
    std::vector<uint32_t> sentMsgs;
    f.t->OnSend = [&](TestTransport& t, const TqbRequestPtr& r) {
        t.LogRequestLine(*r);
        std::unique_lock g(gateMu);
        gateCv.wait(g, [&] { return open; });
        sentMsgs.push_back(r->MsgID());
        t.BeginSend(r);
        t.EndSend(r, 0);
    };
    const uint8_t data[2] = {4, 0xA5};
    EXPECT_EQ(f.t->Post(0, 1, 2, data, 2, 1000, qbrmPost), 0);
    ASSERT_TRUE(pwtest::waitUntil([&] { return f.t->QueuedCount() == 0; })); // the sender holds it
    // Queued behind it, this one's wait runs out before it could go.
    EXPECT_EQ(f.t->Post(0, 1, 3, data, 1, 50, qbrmPostWait), 288);
    {
        std::lock_guard g(gateMu);
        open = true;
        gateCv.notify_all();
    }
    ASSERT_TRUE(pwtest::waitUntil([&] { return f.t->RequestIDs()->LiveCount() == 0; }));
    std::lock_guard g(gateMu);
    EXPECT_EQ(sentMsgs, std::vector<uint32_t>{2});
    auto lines = f.log->Lines();
    auto at = std::find(lines.begin(), lines.end(), "Post: 1, Clnt 1, Msg 2, Len 2, Tmout 1000");
    ASSERT_NE(at, lines.end());
    ASSERT_GE(lines.end() - at, 3);
    EXPECT_EQ(at[1], "Data");
    EXPECT_EQ(at[2], "0000: 04 A5");
    EXPECT_TRUE(f.Logged("*** Req 2 aborted, Clnt 1, Err 288, Tmout 50"));
}

TEST(Transport, FailedSendEndsTheWaitWithItsError) {
    Fixture f;
    f.t->Startup();
    f.t->OnSend = [](TestTransport& t, const TqbRequestPtr& r) {
        t.BeginSend(r);
        t.EndSend(r, 10054);
    };
    uint32_t replyMsg = 0;
    auto start = Clock::now();
    EXPECT_EQ(f.t->Request(0, 1, 300, 60000, nullptr, 0,
                           [&](uint32_t m, TqbResultCode, const uint8_t*, uint32_t) { replyMsg = m; }),
              10054);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(50)); // not the time-out
    EXPECT_EQ(replyMsg, 300u);
    EXPECT_EQ(f.t->PendingCount(), 0u);
    // A lost connection ends every pending request of its client with 292.
    f.t->OnSend = [](TestTransport& t, const TqbRequestPtr& r) { t.BeginSend(r); };
    std::vector<std::thread> callers;
    std::atomic<int> lost{0};
    for (uint32_t client : {1u, 1u, 2u})
        callers.emplace_back([&, client] {
            if (f.t->Request(0, client, 300, 60000, nullptr, 0, nullptr) == 292) ++lost;
        });
    ASSERT_TRUE(pwtest::waitUntil([&] { return f.t->PendingCount() == 3; }));
    EXPECT_EQ(f.t->FailPendingOfClient(1, 292), 2u);
    ASSERT_TRUE(pwtest::waitUntil([&] { return lost == 2; }));
    EXPECT_EQ(f.t->PendingCount(), 1u);
    f.t->FailAll(292);
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(lost, 3);
}

// A plug-in that takes one message ID and replies with the request's own identity.
class EchoPlugIn : public TqbCommandPlugIn {
public:
    explicit EchoPlugIn(uint32_t msg) : msg_(msg) {}
    bool Process(TqbMessageRecord& m) override {
        if (m.MsgID != msg_) return false;
        ++Count;
        TqbBaseTransport::Reply(m.MsgID, 0, m.Data.data(), uint32_t(m.Data.size()));
        return true;
    }
    std::atomic<int> Count{0};

private:
    uint32_t msg_;
};

class TestManager : public TqbBaseEngineManager {
public:
    bool Process(TqbBaseCommandHandler*, TqbMessageRecord& m) override {
        if (m.MsgID != 41) return false;
        TqbBaseTransport::Reply(m.MsgID, 7, nullptr, 0);
        return true;
    }
};

TqbMessagePtr Message(uint32_t msg, uint32_t client, uint32_t request, std::vector<uint8_t> data = {}) {
    auto m = std::make_unique<TqbMessageRecord>();
    m->MsgID = msg;
    m->ClientID = client;
    m->RequestID = request;
    m->DataLength = int32_t(data.size());
    m->Data = std::move(data);
    return m;
}

TEST(CommandHandler, PlugInsThenEngineManagerElse153) {
    Fixture f;
    f.t->SetMode(qbtmListen);
    TqbOwned<TqbBaseCommandHandler> h(new TqbBaseCommandHandler);
    TqbOwned<TestManager> m(new TestManager);
    EchoPlugIn* p = new EchoPlugIn(40);
    TqbOwned<EchoPlugIn> owned(p);
    h->AddPlugIn(p);
    h->SetEngineManager(m.get());
    EXPECT_EQ(m->CommandHandlerCount(), 1);
    f.t->SetCommandHandler(h.get());
    f.t->SetEnabled(true);
    EXPECT_EQ(h->GetTransportCount(), 1);
    f.t->Startup();

    f.t->DispatchRequest(Message(40, 5, 100, {1, 2}));
    f.t->DispatchRequest(Message(41, 6, 101));
    f.t->DispatchRequest(Message(42, 7, 102, {3}));
    auto r = f.t->Replies();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].ClientID, 5u);
    EXPECT_EQ(r[0].RequestID, 100u);
    EXPECT_EQ(r[0].Data, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(r[1].ErrorCode, 7);
    EXPECT_EQ(r[1].RequestID, 101u);
    EXPECT_EQ(r[2].MsgID, 42u);
    EXPECT_EQ(r[2].ErrorCode, 153);
    EXPECT_TRUE(r[2].Data.empty());
    EXPECT_EQ(r[2].ClientID, 7u);
    EXPECT_EQ(f.t->MsgCount(), 3);

    TqbTransportStatistics stats{};
    h->GetTransportStatistics(0, stats);
    EXPECT_EQ(stats.MsgCount, 3);
    EXPECT_EQ(stats.Name.Str(), "Test");

    // A manager that goes leaves the handler without one; the handler's end frees its transport link.
    m.reset();
    EXPECT_EQ(h->EngineManager(), nullptr);
    h.reset();
    EXPECT_EQ(f.t->GetCommandHandler(), nullptr);
}

TEST(CommandHandler, MsgCountIsExactUnderAThreadPool) {
    Fixture f;
    TqbOwned<TqbThreadPool> pool(new TqbThreadPool);
    pool->SetMaxCount(6);
    TqbOwned<TqbBaseCommandHandler> h(new TqbBaseCommandHandler);
    TqbOwned<EchoPlugIn> p(new EchoPlugIn(40));
    h->AddPlugIn(p.get());
    f.t->SetCommandHandler(h.get());
    f.t->SetThreadPool(pool.get());
    f.t->Startup();
    constexpr int kThreads = 8, kEach = 250;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < kEach; ++k) {
                uint32_t id = uint32_t(i * kEach + k);
                f.t->DispatchRequest(Message(40, uint32_t(i), id, {uint8_t(id), uint8_t(id >> 8)}));
            }
        });
    for (auto& t : threads)
        t.join();
    f.t->WaitForDispatched();
    EXPECT_EQ(f.t->MsgCount(), kThreads * kEach);
    EXPECT_EQ(p->Count, kThreads * kEach);
    // Each reply went out for its own client and request, on whichever pool thread ran it.
    auto replies = f.t->Replies();
    ASSERT_EQ(replies.size(), size_t(kThreads * kEach));
    std::set<uint32_t> seen;
    for (auto& r : replies) {
        EXPECT_EQ(r.ClientID, r.RequestID / kEach);
        ASSERT_EQ(r.Data.size(), 2u);
        EXPECT_EQ(uint32_t(r.Data[0] | r.Data[1] << 8), r.RequestID);
        seen.insert(r.RequestID);
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kEach));
    f.t->ResetMsgCount();
    EXPECT_EQ(f.t->MsgCount(), 0);
}

// A plug-in that holds every request until the gate opens.
class GatePlugIn : public TqbCommandPlugIn {
public:
    bool Process(TqbMessageRecord&) override {
        ++Entered;
        std::unique_lock g(mu_);
        cv_.wait(g, [this] { return open_; });
        return true;
    }
    void Open() {
        std::lock_guard g(mu_);
        open_ = true;
        cv_.notify_all();
    }
    std::atomic<int> Entered{0};

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

TEST(CommandHandler, PoolThatDropsQueuedRequestsDoesNotHangItsTransport) {
    Fixture f;
    auto* pool = new TqbThreadPool;
    pool->SetMaxCount(1);
    TqbOwned<TqbBaseCommandHandler> h(new TqbBaseCommandHandler);
    TqbOwned<GatePlugIn> p(new GatePlugIn);
    h->AddPlugIn(p.get());
    f.t->SetCommandHandler(h.get());
    f.t->SetThreadPool(pool);
    for (uint32_t i = 0; i < 3; ++i)
        f.t->DispatchRequest(Message(40, 1, i));
    ASSERT_TRUE(pwtest::waitUntil([&] { return p->Entered == 1; }));
    // The pool goes with two requests still queued: they are dropped unrun.
    std::atomic<bool> gone{false};
    std::thread closer([&] {
        pool->Free();
        gone = true;
    });
    // The pool stays whole while it waits for its running request.
    ASSERT_TRUE(pwtest::waitUntil([&] { return pool->QueuedCount() == 0; }));
    p->Open();
    const bool ended = pwtest::waitUntil([&] { return gone.load(); }, 20000);
    if (!ended) {
        closer.detach();
        FAIL() << "the transport waits for requests the pool dropped";
    }
    closer.join();
    EXPECT_EQ(f.t->ThreadPool(), nullptr);
    EXPECT_EQ(f.t->MsgCount(), 1);
}

TEST(CommandHandler, SetStateStepsEnabledTransportsAndSurvivesAFailingOne) {
    TqbOwned<MemoryEventLog> log(new MemoryEventLog);
    TqbOwned<TqbBaseCommandHandler> h(new TqbBaseCommandHandler);
    h->SetEventLog(log.get());
    h->SetEventLogEnabled(true);
    std::vector<std::string> trace;
    TqbOwned<TestTransport> a(new TestTransport("Good")), b(new TestTransport("Bad")),
        c(new TestTransport("Off"));
    for (TestTransport* t : {a.get(), b.get(), c.get()}) {
        t->Trace = &trace;
        t->SetCommandHandler(h.get());
    }
    a->SetEnabled(true);
    b->SetEnabled(true);
    b->OnInitializing = [] { throw EqbException("no driver", 291); };
    h->SetState(qbsStarted);
    EXPECT_EQ(h->State(), qbsStarted);
    EXPECT_EQ(a->State(), qbsStarted);
    EXPECT_EQ(b->State(), qbsFailed);
    EXPECT_FALSE(b->GetEnabled());
    EXPECT_EQ(c->State(), qbsInactive);
    // Last to first; the failed one is left out of later steps.
    EXPECT_EQ(trace, (std::vector<std::string>{"Bad init", "Good init"}));
    auto lines = log->Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Transport state failure: Bad"), lines.end());
    // Stopping is not a step the handler takes.
    h->SetState(qbsStopped);
    EXPECT_EQ(h->State(), qbsStarted);
    h->SetState(qbsInactive);
    EXPECT_EQ(a->State(), qbsInactive);
    EXPECT_EQ(h->State(), qbsInactive);
}

TEST(Transport, PropertiesGuardedByState) {
    Fixture f;
    f.t->SetServerName(std::string(70, 'x'));
    EXPECT_EQ(f.t->GetServerName().size(), 63u);
    uint32_t client = 0;
    f.t->SetMode(qbtmListen);
    EXPECT_THROW(f.t->EstablishConnection("u", 0, 100, client), EqbServerComponentError);
    f.t->SetMode(qbtmSend);
    f.t->SetServerName("");
    EXPECT_THROW(f.t->EstablishConnection("u", 0, 100, client), EqbServerComponentError);
    EXPECT_THROW(f.t->Request(0, 1, 2, 10, nullptr, 0, nullptr), EqbServerComponentError); // not started
    f.t->Startup();
    EXPECT_THROW(f.t->SetMode(qbtmListen), EqbServerComponentError);
    EXPECT_THROW(f.t->SetServerName("other"), EqbServerComponentError);
    // Disabling a started transport tells its dependents and shuts it down.
    f.t->SetEnabled(true);
    f.t->SetEnabled(false);
    EXPECT_EQ(f.t->State(), qbsInactive);
}

// Connection loss reaches the transport's dependents with the client ID.
class LossListener : public TqbComponent {
public:
    void ReceiveNotification(int op, TqbComponent*, intptr_t data) override {
        if (op == qbNotifyConnectionLost) Client = uint32_t(data);
    }
    uint32_t Client = 0;
};

TEST(Transport, ConnectionLostNotifiesDependents) {
    Fixture f;
    TqbOwned<LossListener> l(new LossListener);
    f.t->AddDependent(l.get());
    f.t->OnConnectionLost(f.t.get(), 77);
    EXPECT_EQ(l->Client, 77u);
    f.t->RemoveDependent(l.get());
}

// Many callers with tiny time-outs while replies come early, late, twice or never: every call
// ends with its own reply or 288, and no request outlives the run.
TEST(Transport, RequestLifetimeUnderRacingRepliesAndTimeouts) {
    int ops = 1500;
    if (const char* s = std::getenv("PW_XPORT_STRESS_OPS")) ops = std::max(1, std::atoi(s));
    Fixture f;
    f.t->SetEventLogOptions(0);
    f.t->SetReplyGraceMs(0);
    f.t->Startup();
    struct Sent {
        uint32_t ID, Msg;
        std::vector<uint8_t> Data;
    };
    std::mutex sentMu;
    std::condition_variable sentCv;
    std::deque<Sent> sent;
    std::atomic<bool> done{false};
    f.t->OnSend = [&](TestTransport& t, const TqbRequestPtr& r) {
        t.BeginSend(r);
        t.EndSend(r, 0);
        std::lock_guard g(sentMu);
        sent.push_back({r->ID(), r->MsgID(), r->Data()});
        sentCv.notify_one();
    };
    std::thread replier([&] {
        std::mt19937 rng(99);
        for (;;) {
            Sent s;
            {
                std::unique_lock g(sentMu);
                sentCv.wait(g, [&] { return done || !sent.empty(); });
                if (sent.empty()) return;
                s = std::move(sent.front());
                sent.pop_front();
            }
            switch (rng() % 5) {
            case 0:
                break; // never answered
            case 1:
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
                [[fallthrough]];
            default: {
                // The reply is the request's data reversed, in one to three parts, sometimes twice.
                std::vector<uint8_t> reply(s.Data.rbegin(), s.Data.rend());
                DeliverReply(*f.t, s.ID, s.Msg + 1, 0, reply, 1 + uint32_t(rng() % 6));
                if (rng() % 4 == 0) DeliverReply(*f.t, s.ID, s.Msg + 1, 0, reply, 100);
            }
            }
        }
    });
    std::atomic<int> replied{0}, timedOut{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 8; ++c)
        callers.emplace_back([&, c] {
            std::mt19937 rng{uint32_t(c)};
            for (int i = c; i < ops; i += 8) {
                std::vector<uint8_t> data(1 + rng() % 12);
                for (auto& b : data)
                    b = uint8_t(rng());
                std::vector<uint8_t> got;
                uint32_t gotMsg = 0;
                TqbResultCode err = f.t->Request(
                    0, uint32_t(c), 1000 + uint32_t(i), 1 + rng() % 3, data.data(), uint32_t(data.size()),
                    [&](uint32_t m, TqbResultCode, const uint8_t* d, uint32_t n) {
                        gotMsg = m;
                        if (d) got.assign(d, d + n);
                    });
                if (err == 288) {
                    ++timedOut;
                    if (gotMsg != 1000u + uint32_t(i)) ++wrong;
                } else if (err == 0 && gotMsg == 1001u + uint32_t(i) &&
                           got == std::vector<uint8_t>(data.rbegin(), data.rend())) {
                    ++replied;
                } else {
                    ++wrong;
                }
            }
        });
    for (auto& c : callers)
        c.join();
    {
        std::lock_guard g(sentMu);
        done = true;
        sentCv.notify_all();
    }
    replier.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(replied + timedOut, ops);
    if (ops >= 200) { // both endings happened
        EXPECT_GT(replied, 0);
        EXPECT_GT(timedOut, 0);
    }
    EXPECT_EQ(f.t->PendingCount(), 0u);
    EXPECT_EQ(f.t->RequestIDs()->LiveCount(), 0u);
}

} // namespace
