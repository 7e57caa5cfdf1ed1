// Intermediate engine: command handlers following the engine's state step by step, their links
// and statistics, the server statistics record and the server information helpers.
#include "db/engine/qbsrintm.h"

#include "db/engine/qbsrcfg.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/EngineOpStubs.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Trace = std::vector<std::string>;

// An engine that answers the server information group through the intermediate engine's helpers
// and keeps its flags in a configuration; its state hooks are traced.
class InfoEngine final : public TqbIntermediateServerEngine {
public:
    InfoEngine(Trace& trace) : trace_(trace) {}
    PW_STUB_TYPES
    TqbServerConfiguration Config;
    TqbServerCounts Counts;
    uint32_t UpTime = 0;

    bool GetNoAutoSaveCfg() override { return Config.NoAutoSaveCfg(); }
    bool GetIsReadOnly() override { return Config.IsReadOnly(); }
    void SetNoAutoSaveCfg(bool v) override { Config.SetNoAutoSaveCfg(v); }
    void SetIsReadOnly(bool v) override { Config.SetIsReadOnly(v); }
    void LogString(std::string_view s) override { trace_.push_back("log " + std::string(s)); }
    void LogStrings(const std::vector<std::string>&) override {}
    void LogFormat(std::string_view, const QbFormatArgs&) override {}
    PW_STUB_ENGINE_OPERATIONS

    TqbResultCode GetServerNames(cls::TStringList& List, uint32_t) override {
        List.Clear();
        List.Add(kDirectServerName);
        return 0;
    }
    TqbResultCode GetServerStatistics(TqbServerStatistics& Stats) override {
        FillServerStatistics(Stats, Config.GetServerName(), Counts, 1234, Config.GeneralInfo().MaxRAM,
                             UpTime);
        return 0;
    }
    TqbResultCode GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) override {
        return HandlerTransportCount(Index, TransportCount);
    }
    TqbResultCode GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                         TqbTransportStatistics& Stats) override {
        return HandlerTransportStatistics(HandlerIndex, TransportIndex, UpTime, Stats);
    }

protected:
    void EnterInitializing() override { trace_.push_back("engine Initializing"); }
    void EnterShuttingDown() override { trace_.push_back("engine ShuttingDown"); }
    void EnterInactive() override { trace_.push_back("engine Inactive"); }
    void EnterStarting() override { trace_.push_back("engine Starting"); }

private:
    Trace& trace_;
};

// A command handler with a number of transports that each report a message count.
class Handler final : public TqbCommandHandlerLink {
public:
    Handler(std::string name, Trace& trace, int32_t transports = 0)
        : name_(std::move(name)), trace_(trace), transports_(transports) {}
    std::string FailOn; // a state whose step raises

    void SetState(uint8_t target) override {
        trace_.push_back(name_ + " " + StateToStr(target));
        if (FailOn == StateToStr(target)) throw std::runtime_error(name_ + " failed");
        TqbCommandHandlerLink::SetState(target);
    }
    int32_t TransportCount() override { return transports_; }
    void GetTransportStatistics(int32_t Index, TqbTransportStatistics& Stats) override {
        Stats.Name.Set(name_ + std::to_string(Index));
        Stats.MsgCount = 50 * (Index + 1);
    }

protected:
    PW_EMPTY_STATE_HOOKS

private:
    std::string name_;
    Trace& trace_;
    int32_t transports_;
};

TEST(IntermediateEngine, HandlersTakeEachStepBeforeTheEngineLastToFirst) {
    Trace trace;
    TqbOwned<InfoEngine> e(new InfoEngine(trace));
    TqbOwned<Handler> h1(new Handler("h1", trace)), h2(new Handler("h2", trace));
    e->AddCommandHandler(h1.get());
    e->AddCommandHandler(h2.get());
    e->AddCommandHandler(h1.get()); // once only
    EXPECT_EQ(e->GetCommandHandlerCount(), 2);
    EXPECT_EQ(h1->ServerEngine(), e.get());

    e->SetState(qbsInactive);
    EXPECT_TRUE(trace.empty());

    const std::string init = StateToStr(qbsInitializing), starting = StateToStr(qbsStarting),
                      started = StateToStr(qbsStarted);
    e->Startup();
    EXPECT_EQ(trace, (Trace{"h2 " + init, "h1 " + init, "engine Initializing", "h2 " + starting,
                            "h1 " + starting, "engine Starting", "h2 " + started, "h1 " + started}));
    EXPECT_EQ(e->State(), qbsStarted);
    EXPECT_EQ(h1->State(), qbsStarted);
    EXPECT_EQ(h2->State(), qbsStarted);

    trace.clear();
    e->Stop();
    EXPECT_EQ(trace,
              (Trace{"h2 " + StateToStr(qbsStopping), "h1 " + StateToStr(qbsStopping), "engine ShuttingDown",
                     "h2 " + StateToStr(qbsStopped), "h1 " + StateToStr(qbsStopped), "engine Inactive"}));
    EXPECT_EQ(e->State(), qbsStopped);
}

// A failed start does not leave the engine half started: it gives back what it took.
TEST(IntermediateEngine, AHandlerThatFailsAStepStopsTheWalkAndTheEngineGoesBack) {
    Trace trace;
    TqbOwned<InfoEngine> e(new InfoEngine(trace));
    TqbOwned<Handler> h1(new Handler("h1", trace)), h2(new Handler("h2", trace));
    e->AddCommandHandler(h1.get());
    e->AddCommandHandler(h2.get());
    h1->FailOn = StateToStr(qbsStarting);
    int changes = 0;
    e->OnStateChange = [&](TqbComponent*) { ++changes; };
    EXPECT_THROW(e->Startup(), std::runtime_error);
    EXPECT_EQ(e->State(), qbsInactive);
    EXPECT_EQ(h2->State(), qbsStarting);
    EXPECT_EQ(changes, 1); // once for the step taken
    EXPECT_EQ(trace, (Trace{"h2 " + StateToStr(qbsInitializing), "h1 " + StateToStr(qbsInitializing),
                            "engine Initializing", "h2 " + StateToStr(qbsStarting),
                            "h1 " + StateToStr(qbsStarting), "engine Inactive"}));
}

// The engine clears its handlers' links when it goes, so no handler calls a freed engine.
TEST(IntermediateEngine, HandlerLinksAreClearedOnRemovalAndWhenTheEngineGoes) {
    Trace trace;
    TqbOwned<Handler> h1(new Handler("h1", trace)), h2(new Handler("h2", trace));
    {
        TqbOwned<InfoEngine> e(new InfoEngine(trace));
        e->AddCommandHandler(h1.get());
        e->AddCommandHandler(h2.get());
        e->RemoveCommandHandler(h1.get());
        EXPECT_EQ(h1->ServerEngine(), nullptr);
        EXPECT_EQ(e->GetCommandHandler(0), h2.get());
        EXPECT_EQ(e->GetCommandHandler(1), nullptr);
        EXPECT_EQ(e->GetCommandHandler(-1), nullptr);
        EXPECT_EQ(h2->ServerEngine(), e.get());
    }
    EXPECT_EQ(h2->ServerEngine(), nullptr);

    // A handler that goes first leaves the engine's list.
    TqbOwned<InfoEngine> e(new InfoEngine(trace));
    {
        TqbOwned<Handler> h3(new Handler("h3", trace));
        e->AddCommandHandler(h3.get());
    }
    EXPECT_EQ(e->GetCommandHandlerCount(), 0);
    e->Startup();
    EXPECT_EQ(e->State(), qbsStarted);
}

TEST(IntermediateEngine, CommandHandlerAndTransportStatistics) {
    Trace trace;
    TqbOwned<InfoEngine> e(new InfoEngine(trace));
    int32_t count = -5;
    EXPECT_EQ(e->GetCommandHandlerStatistics(0, count), kResultIndexOutOfRange);
    TqbOwned<Handler> h1(new Handler("tcp", trace, 2)), h2(new Handler("single", trace, 0));
    e->AddCommandHandler(h1.get());
    e->AddCommandHandler(h2.get());
    EXPECT_EQ(e->GetCommandHandlerStatistics(-1, count), kResultIndexOutOfRange);
    EXPECT_EQ(e->GetCommandHandlerStatistics(2, count), kResultIndexOutOfRange);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(e->GetCommandHandlerStatistics(0, count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(e->GetCommandHandlerStatistics(1, count), 0);
    EXPECT_EQ(count, 0);

    TqbTransportStatistics s{};
    EXPECT_EQ(e->GetTransportStatistics(2, 0, s), kResultIndexOutOfRange);
    EXPECT_EQ(e->GetTransportStatistics(0, 2, s), kResultIndexOutOfRange);
    EXPECT_EQ(e->GetTransportStatistics(0, -1, s), kResultIndexOutOfRange);
    EXPECT_EQ(e->GetTransportStatistics(1, 0, s), kResultIndexOutOfRange);
    // In the first second the rate is 0 (no division by zero).
    EXPECT_EQ(e->GetTransportStatistics(0, 1, s), 0);
    EXPECT_EQ(s.Name.Str(), "tcp1");
    EXPECT_EQ(s.MsgCount, 100);
    EXPECT_EQ(s.MsgsPerSecond, 0.0);
    EXPECT_FALSE(std::isnan(s.MsgsPerSecond));
    e->UpTime = 40;
    EXPECT_EQ(e->GetTransportStatistics(0, 1, s), 0);
    EXPECT_DOUBLE_EQ(s.MsgsPerSecond, 2.5);
}

TEST(IntermediateEngine, ServerStatisticsAndNames) {
    Trace trace;
    TqbOwned<InfoEngine> e(new InfoEngine(trace));
    TqbOwned<Handler> h(new Handler("h", trace));
    e->AddCommandHandler(h.get());
    e->Config.UpdateGeneralInfo([](TqbGeneralInfo& g) {
        g.ServerName.Set("PAGESERVER");
        g.MaxRAM = 32;
    });
    e->Counts = {1, 2, 3, 4, 5};
    e->UpTime = 77;
    e->Startup();
    TqbServerStatistics s;
    ASSERT_EQ(e->GetServerStatistics(s), 0);
    EXPECT_EQ(s.ServerName.Str(), "PAGESERVER");
    EXPECT_EQ(s.Version, 21000);
    EXPECT_EQ(s.StateText.Str(), StateToStr(qbsStarted));
    EXPECT_FALSE(s.StateText.Str().empty());
    EXPECT_EQ(
        (std::vector<int32_t>{s.ClientCount, s.SessionCount, s.DatabaseCount, s.TableCount, s.CursorCount}),
        (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(s.RAMUsed, 1234u);
    EXPECT_EQ(s.MaxRAM, 32u);
    EXPECT_EQ(s.UpTimeSeconds, 77u);
    EXPECT_EQ(s.CommandHandlerCount, 1);

    cls::TStringList names;
    names.Add("stale");
    EXPECT_EQ(e->GetServerNames(names, 0), 0);
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names[0], "Direct");

    e->SetIsReadOnly(true);
    EXPECT_TRUE(e->GetIsReadOnly() && e->Config.GeneralInfo().ReadOnly);
    EXPECT_FALSE(e->GetNoAutoSaveCfg());
}

TEST(ServerInformation, UpTimeAcrossTheTickWrapAndTheClock) {
    EXPECT_EQ(UpTimeSeconds(1000, 1000), 0u);
    EXPECT_EQ(UpTimeSeconds(1000, 11999), 10u);
    EXPECT_EQ(UpTimeSeconds(0xFFFFF000u, 0x00001000u), 8u);

    // The UTC record and the local date-time name the same moment (taken a moment apart).
    const TqbSystemTime st = ServerSystemTime();
    const cls::TDateTime local = ServerDateTime();
    const time_t now = time(nullptr);
    tm utc{}, loc{};
    gmtime_r(&now, &utc);
    localtime_r(&now, &loc);
    EXPECT_EQ(st.Year, utc.tm_year + 1900);
    EXPECT_GE(st.Month, 1);
    EXPECT_LE(st.Month, 12);
    EXPECT_LE(st.DayOfWeek, 6);
    EXPECT_LE(st.Milliseconds, 999);
    const cls::TDateTime expected = cls::EncodeDate(loc.tm_year + 1900, loc.tm_mon + 1, loc.tm_mday) +
                                    cls::EncodeTime(loc.tm_hour, loc.tm_min, std::min(loc.tm_sec, 59), 0);
    EXPECT_NEAR(local, expected, 5.0 / 86400);
}

TEST(ServerInformation, GUIDsAreRandomVersion4) {
    TqbGUID a = NewServerGUID(), b = NewServerGUID();
    EXPECT_EQ(a.D3 >> 12, 4);
    EXPECT_EQ(a.D4[0] & 0xC0, 0x80);
    EXPECT_NE(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(ServerInformation, FreeSpaceInKilobytesClampedToTheField) {
    pwtest::TempDir dir;
    EXPECT_GE(FolderFreeSpaceKB(dir.str()), 0);
    EXPECT_EQ(FolderFreeSpaceKB(dir.file("missing/deeper")), -1);
    EXPECT_EQ(FolderFreeSpaceKB(""), -1);

    plat::MemoryFiles mem;
    plat::ScopedFiles use(mem);
    mem.setCapacity(10ull << 20);
    EXPECT_EQ(FolderFreeSpaceKB("/"), 10240);
    // 3 TB free does not fit the signed field: the largest value, not a negative one.
    mem.setCapacity(3ull << 40);
    EXPECT_EQ(FolderFreeSpaceKB("/"), 2147483647);
}

} // namespace
