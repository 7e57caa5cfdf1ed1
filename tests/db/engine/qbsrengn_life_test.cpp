// The in-process engine's start and stop with their log lines, the configuration load, the
// shut-down's wait for clients, garbage collection and the engine's properties.
#include "tests/db/engine/EngineApiSupport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace engineapi;
using engineclock::HeldCursor;

namespace {

std::vector<std::string> linesFrom(MemoryEventLog& log, size_t first) {
    std::vector<std::string> all = log.Lines();
    return {all.begin() + ptrdiff_t(std::min(first, all.size())), all.end()};
}

// A store whose load fails while Fail is set.
struct FailingStore : TqbMemoryConfigStore {
    std::atomic<bool>* Fail;
    void Load(TqbServerConfiguration& Config) override {
        if (Fail->load()) throw std::runtime_error("configuration unreadable");
        TqbMemoryConfigStore::Load(Config);
    }
};

} // namespace

TEST(EngineLife, StartAndStopWriteTheirLinesAndNothingRunsBeforeTheStart) {
    Api api(false);
    TqbServerEngine& e = *api.engine;
    TqbHandle id = 0;
    uint32_t hash = 0;
    int32_t count = 0;
    std::vector<TqbAliasRecord> aliases;
    TqbServerStatistics stats{};
    EXPECT_EQ(15459, e.ClientAdd(id, "c", "", 0, hash));
    EXPECT_EQ(15459, e.SessionCount(1, count));
    EXPECT_EQ(15459, e.AliasList(aliases, 1));
    EXPECT_EQ(15459, e.TransactionStart(1, false));
    EXPECT_EQ(15459, e.GetServerStatistics(stats));
    EXPECT_EQ(15504, e.ClientRemove(1)); // the kind-only operations run in any state
    EXPECT_EQ(15508, e.DatabaseClose(1));

    e.Startup();
    EXPECT_EQ(qbsStarted, e.State());
    std::vector<std::string> start = linesFrom(*api.log, 0);
    // A configuration folder without users gets the default administrator, and says so.
    ASSERT_EQ(6u, start.size());
    EXPECT_EQ("Default administrator account created", start[2]);
    start.erase(start.begin() + 2);
    EXPECT_EQ("QB Server initializing...", start[0]);
    EXPECT_EQ(0u, start[1].rfind("  Version: 2.1000 ", 0)) << start[1];
    EXPECT_EQ("Performing recovery check...", start[2]);
    EXPECT_EQ("Finished recovery check...", start[3]);
    EXPECT_EQ("QB Server started.", start[4]);
    e.Shutdown();
    EXPECT_EQ(qbsInactive, e.State());
    const std::vector<std::string> stop = linesFrom(*api.log, 6);
    EXPECT_EQ((std::vector<std::string>{"QB Server preparing for shutdown.", "QB Server shutting down."}),
              stop);
}

TEST(EngineLife, AFailedConfigurationLoadFailsTheStartInsteadOfRunningWithoutUsers) {
    std::atomic<bool> fail{true};
    auto store = std::make_unique<FailingStore>();
    store->Fail = &fail;
    store->HasInfo = true;
    store->Info = DefaultGeneralInfo();
    store->Info.IsSecure = true;
    store->Users.push_back({"Admin", "Administrator", "", 1234, kAllUserRights});
    Api api(false);
    TqbServerEngine& e = *api.engine;
    e.SetConfigStore(std::move(store));
    EXPECT_THROW(e.Startup(), std::exception);
    EXPECT_EQ(qbsInactive, e.State());
    EXPECT_FALSE(e.Configuration().Loaded());
    // A second start reads the configuration again: logins are still required.
    fail = false;
    e.Startup();
    TqbHandle id = 0;
    uint32_t hash = 0;
    EXPECT_EQ(10036, e.ClientAdd(id, "c", "", 0, hash));
    hash = 1234;
    EXPECT_EQ(0, e.ClientAdd(id, "c", "admin", 0, hash));
}

TEST(EngineLife, ShutdownWaitsTenSecondsOnTheEngineClockThenFreesTheClientsLeft) {
    Api api;
    TqbServerEngine& e = *api.engine;
    api.contacts();
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    e.Shutdown();
    EXPECT_EQ(1u, api.clock->Waits.load());
    EXPECT_EQ(TqbServerEngine::kShutdownWaitMs, api.clock->LastWaitMs.load());
    const TqbServerCounts c = e.Counts();
    EXPECT_EQ(0, c.Clients + c.Sessions + c.Databases + c.Cursors + c.Tables);
    EXPECT_EQ(0, e.Folders().Count());
    EXPECT_EQ(15504, e.ClientRemove(api.client));
}

TEST(EngineLife, TheLastClientLeavingEndsTheShutdownWait) {
    Api api;
    TqbServerEngine& e = *api.engine;
    TqbEvent waiting;
    api.clock->RealWaits = true;
    api.clock->BeforeWait = [&] { waiting.Signal(); };
    std::thread leaver([&] {
        ASSERT_EQ(0u, waiting.TryWait(20000));
        EXPECT_EQ(0, e.ClientRemove(api.client));
    });
    e.Shutdown();
    leaver.join();
    EXPECT_TRUE(api.clock->LastWaitSignalled.load());
}

TEST(EngineLife, ShutdownFreesNothingUnderAnOperationStillRunning) {
    Api api;
    TqbServerEngine& e = *api.engine;
    TqbEvent shutdownWaiting, inactive, entered;
    api.clock->BeforeWait = [&] { shutdownWaiting.Signal(); };
    e.OnStateChange = [&](TqbComponent*) {
        if (e.State() == qbsInactive) inactive.Signal();
    };
    bool finishedUnderIt = true;
    int32_t sessionsSeen = 0;
    std::thread op([&] {
        e.ClientFrame(api.client, [&](TqbSrClient& c) {
            entered.Signal();
            EXPECT_EQ(0u, shutdownWaiting.TryWait(20000));
            // The shut-down has gone past its wait; it must not end while this runs.
            finishedUnderIt = inactive.TryWait(300) == 0;
            sessionsSeen = c.SessionCount();
            return 0;
        });
    });
    ASSERT_EQ(0u, entered.TryWait(20000));
    e.Shutdown();
    op.join();
    EXPECT_FALSE(finishedUnderIt);
    EXPECT_EQ(1, sessionsSeen);
    EXPECT_EQ(0, e.Counts().Clients);
    e.OnStateChange = nullptr;
}

// The last operation ends about when the shut-down starts to wait for it, on either side of the
// moment: the wait must end every time (the operation wakes a waiter it sees, or the waiter sees
// the count at zero).
TEST(EngineLife, AnOperationEndingAsTheShutdownWaitsForItAlwaysEndsTheWait) {
    for (int round = 0; round < 60; ++round) {
        Api api;
        TqbServerEngine& e = *api.engine;
        TqbEvent entered, inactive;
        e.OnStateChange = [&](TqbComponent*) {
            if (e.State() == qbsInactive) inactive.Signal();
        };
        std::thread op([&] {
            e.ClientFrame(api.client, [&](TqbSrClient& c) {
                entered.Signal();
                // The shut-down asks the client to close just before it waits for the operations.
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (c.State() != sosCloseRequested && std::chrono::steady_clock::now() < giveUp)
                    std::this_thread::yield();
                // Then a few more steps, more each round, so the end falls on both sides of the wait.
                std::atomic<int> steps{0};
                while (steps.fetch_add(1) < round * round * 20) {
                }
                return 0;
            });
        });
        ASSERT_EQ(0u, entered.TryWait(20000));
        std::thread stopper([&] { e.Shutdown(); });
        op.join();
        if (inactive.TryWait(20000) != 0) {
            // The shut-down waits for ever: nothing can be freed safely.
            std::fprintf(stderr, "round %d: the shut-down never saw the operation end\n", round);
            std::abort();
        }
        stopper.join();
        EXPECT_EQ(0, e.Counts().Clients);
        e.OnStateChange = nullptr;
    }
}

TEST(EngineLife, GarbageTimerRunsOnlyWhenCollectionIsOn) {
    Api off;
    EXPECT_FALSE(off.engine->GarbageTimerRunning());
    Api on(false);
    on.engine->SetCollectGarbage(true);
    on.engine->SetCollectFrequency(60000);
    on.startAndConnect();
    EXPECT_TRUE(on.engine->GarbageTimerRunning());
    on.engine->SetCollectGarbage(false);
    EXPECT_FALSE(on.engine->GarbageTimerRunning());
    on.engine->Shutdown();
    EXPECT_FALSE(on.engine->GarbageTimerRunning());
}

TEST(EngineLife, GarbagePassFreesAMarkedClientWithItsTablesAndFolders) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const TqbHandle cursor = api.contacts();
    ASSERT_EQ(0, e.TransactionStart(api.db, false));
    {
        // Removed while one of its cursors works inside its transaction: only marked.
        HeldCursor held(e, cursor);
        EXPECT_EQ(0, e.ClientRemove(api.client));
        EXPECT_EQ(15504, e.ClientRemove(api.client));
    }
    EXPECT_EQ(1, e.Counts().Clients);
    EXPECT_EQ(1, e.Counts().Tables);
    EXPECT_EQ(0, e.seCollectGarbage());
    const TqbServerCounts c = e.Counts();
    EXPECT_EQ(0, c.Clients + c.Sessions + c.Databases + c.Cursors + c.Tables);
    EXPECT_EQ(0, e.Folders().Count());
}

TEST(EngineLife, DeepCollectionOnlyAfterFiveMinutesOnTheEngineClock) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const uint32_t started = e.LastDeepCollection();
    EXPECT_EQ(api.clock->Now.load(), started);
    api.clock->Now += TqbServerEngine::kDeepCollectionMs - 1;
    e.seCollectGarbage();
    EXPECT_EQ(started, e.LastDeepCollection());
    api.clock->Now += 1;
    e.seCollectGarbage();
    EXPECT_EQ(api.clock->Now.load(), e.LastDeepCollection());
}

TEST(EngineLife, PropertiesKeepToTheirBoundsAndReachTheGeneralInfo) {
    Api api(false);
    auto owned = std::make_unique<TqbMemoryConfigStore>();
    TqbMemoryConfigStore* store = owned.get();
    TqbServerEngine& e = *api.engine;
    e.SetConfigStore(std::move(owned));
    EXPECT_EQ(10u, e.MaxRAM());
    EXPECT_EQ(300000, e.CollectFrequency());
    EXPECT_FALSE(e.CollectGarbage());
    e.SetMaxRAM(0);
    EXPECT_EQ(1u, e.MaxRAM());
    e.SetMaxRAM(0xFFFFFFFFu);
    EXPECT_EQ(TqbServerEngine::kMaxRAMLimit, e.MaxRAM());
    EXPECT_EQ(TqbServerEngine::kMaxRAMLimit, e.BufferManager().MaxRAM());
    e.SetCollectFrequency(-5);
    EXPECT_EQ(-5, e.CollectFrequency()) << "kept as set";
    {
        std::lock_guard lk(store->Mutex);
        EXPECT_EQ(TqbServerEngine::kMaxRAMLimit, store->Info.MaxRAM);
        EXPECT_EQ(-5, store->Info.CollectFreq);
    }
    // An empty configuration folder is the current directory.
    e.SetConfigDir("");
    EXPECT_EQ(std::filesystem::current_path().string() + "/", e.ConfigDir());
    e.SetConfigDir("/some/where/");
    EXPECT_EQ("/some/where/", e.ConfigDir());
}
