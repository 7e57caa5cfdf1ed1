// Helpers of the engine tests: a clock that passes time only when the engine waits on it, a
// monitor whose extenders record what they hear, a cursor operation held open on a thread, and an
// engine started on a folder with that clock.
#pragma once
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace engineclock {

// Time moves only through waits: a wait of N ms that nobody ends moves the clock N ms on.
// BeforeWait runs first, on the waiting thread; with RealWaits the wait is a real one.
struct StepClock : TqbEngineClock {
    std::atomic<uint32_t> Now{100000};
    std::atomic<uint32_t> Waits{0}, LastWaitMs{0};
    std::atomic<bool> RealWaits{false};
    std::atomic<bool> LastWaitSignalled{false};
    std::function<void()> BeforeWait;
    uint32_t Tick() override { return Now.load(); }
    bool WaitFor(TqbEvent& Event, uint32_t TimeoutMs) override {
        ++Waits;
        LastWaitMs = TimeoutMs;
        if (BeforeWait) BeforeWait();
        if (RealWaits) return LastWaitSignalled = Event.TryWait(TimeoutMs) == 0;
        // Short pauses are only counted; a longer wait sees whether its event came (0 would wait
        // without limit).
        if (TimeoutMs > 10 && Event.TryWait(1) == 0) return true;
        Now += TimeoutMs;
        return false;
    }
};

// Offers every client and database it is interested in an extender that records each action it
// hears and refuses the action in Refuse (0: none) with 7777.
class ExtenderMonitor : public TqbServerMonitor, public TqbSrObjectExtenderSource {
public:
    std::atomic<int32_t> Refuse{0};
    std::unique_ptr<TqbSrObjectExtender> MakeExtender(TqbServerObject&) override {
        return std::make_unique<Recorder>(*this);
    }
    std::vector<int32_t> Actions() {
        std::lock_guard lk(m_);
        return heard_;
    }
    void Clear() {
        std::lock_guard lk(m_);
        heard_.clear();
    }

protected:
    void EnterInitializing() override {}
    void EnterShuttingDown() override {}
    void EnterInactive() override {}
    void EnterStarting() override {}

private:
    struct Recorder : TqbSrObjectExtender {
        explicit Recorder(ExtenderMonitor& m) : monitor(m) {}
        ExtenderMonitor& monitor;
        int32_t Notify(TqbServerObject&, int32_t Action) override {
            std::lock_guard lk(monitor.m_);
            monitor.heard_.push_back(Action);
            return Action == monitor.Refuse.load() ? 7777 : 0;
        }
    };
    std::mutex m_;
    std::vector<int32_t> heard_;
};

// A cursor operation that stays inside the engine's frame on its own thread until finish().
struct HeldCursor {
    TqbEvent entered, release;
    std::thread thread;
    TqbResultCode result = -1;
    HeldCursor(TqbServerEngine& e, TqbHandle cursor) {
        thread = std::thread([&e, cursor, this] {
            result = e.CursorFrame(cursor, [&](TqbSrBaseCursor&) {
                entered.Signal();
                return release.TryWait(20000) == 0 ? 0 : 15461;
            });
        });
        EXPECT_EQ(0u, entered.TryWait(20000));
    }
    ~HeldCursor() {
        if (thread.joinable()) finish();
    }
    void finish() {
        release.Signal();
        thread.join();
        EXPECT_EQ(0, result);
    }
};

// An engine with the step clock and a log in memory, started with its configuration in ConfigDir:
// one client and session, and Folder open as a database.
struct StartedEngine {
    TqbOwned<MemoryEventLog> log{new MemoryEventLog()};
    TqbOwned<TqbServerEngine> engine{new TqbServerEngine()};
    std::shared_ptr<StepClock> clock{std::make_shared<StepClock>()};
    TqbHandle client = 0, session = 0, db = 0;

    void start(const std::string& ConfigDir, const std::string& Folder) {
        engine->SetClock(clock);
        engine->SetConfigDir(ConfigDir);
        engine->SetEventLog(log.get());
        engine->SetEventLogEnabled(true);
        engine->Startup();
        uint32_t hash = 0;
        EXPECT_EQ(0, engine->ClientAdd(client, "test", "", 10000, hash));
        EXPECT_EQ(0, engine->SessionAdd(client, 10000, session));
        EXPECT_EQ(0, engine->DatabaseOpenPath(client, Folder, qbomReadWrite, qbsmShared, 10000, db));
    }
    ~StartedEngine() { engine->Shutdown(); }
};

} // namespace engineclock
