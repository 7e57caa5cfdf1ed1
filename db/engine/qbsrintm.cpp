// The intermediate engine's command handlers, their statistics, and the server information
// helpers.
#include "db/engine/qbsrintm.h"

#include "platform/Files.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <system_error>

void TqbCommandHandlerLink::BeforeDestruction() {
    if (TqbIntermediateServerEngine* e = ServerEngine()) e->RemoveCommandHandler(this);
    TqbStateComponent::BeforeDestruction();
}

void TqbIntermediateServerEngine::SetState(uint8_t target) {
    if (target == State()) return;
    PortalReadGuard g(handlersPortal_);
    WalkTo(target, [this](uint8_t next) {
        for (auto it = handlers_.rbegin(); it != handlers_.rend(); ++it)
            (*it)->SetState(next);
        StepTo(next);
    });
}

void TqbIntermediateServerEngine::AddCommandHandler(TqbCommandHandlerLink* Handler) {
    if (!Handler) return;
    {
        PortalWriteGuard g(handlersPortal_);
        if (std::find(handlers_.begin(), handlers_.end(), Handler) != handlers_.end()) return;
        handlers_.push_back(Handler);
    }
    Handler->SetServerEngine(this);
}

void TqbIntermediateServerEngine::RemoveCommandHandler(TqbCommandHandlerLink* Handler) {
    {
        PortalWriteGuard g(handlersPortal_);
        auto it = std::find(handlers_.begin(), handlers_.end(), Handler);
        if (it == handlers_.end()) return;
        handlers_.erase(it);
    }
    Handler->SetServerEngine(nullptr);
}

TqbCommandHandlerLink* TqbIntermediateServerEngine::GetCommandHandler(int32_t Index) {
    PortalReadGuard g(handlersPortal_);
    return Index >= 0 && size_t(Index) < handlers_.size() ? handlers_[size_t(Index)] : nullptr;
}

int32_t TqbIntermediateServerEngine::GetCommandHandlerCount() {
    PortalReadGuard g(handlersPortal_);
    return int32_t(handlers_.size());
}

void TqbIntermediateServerEngine::BeforeDestruction() {
    {
        PortalWriteGuard g(handlersPortal_);
        for (TqbCommandHandlerLink* h : handlers_)
            h->SetServerEngine(nullptr);
        handlers_.clear();
    }
    TqbBaseServerEngine::BeforeDestruction();
}

TqbResultCode TqbIntermediateServerEngine::HandlerTransportCount(int32_t Index, int32_t& TransportCount) {
    PortalReadGuard g(handlersPortal_);
    if (Index < 0 || size_t(Index) >= handlers_.size()) return kResultIndexOutOfRange;
    TransportCount = handlers_[size_t(Index)]->TransportCount();
    return 0;
}

TqbResultCode TqbIntermediateServerEngine::HandlerTransportStatistics(int32_t HandlerIndex,
                                                                      int32_t TransportIndex,
                                                                      uint32_t UpTimeSeconds,
                                                                      TqbTransportStatistics& Stats) {
    PortalReadGuard g(handlersPortal_);
    if (HandlerIndex < 0 || size_t(HandlerIndex) >= handlers_.size()) return kResultIndexOutOfRange;
    TqbCommandHandlerLink* h = handlers_[size_t(HandlerIndex)];
    if (TransportIndex < 0 || TransportIndex >= h->TransportCount()) return kResultIndexOutOfRange;
    Stats = TqbTransportStatistics{};
    h->GetTransportStatistics(TransportIndex, Stats);
    // In the first second there is no rate yet (and no division by zero).
    Stats.MsgsPerSecond = UpTimeSeconds ? double(Stats.MsgCount) / double(UpTimeSeconds) : 0.0;
    return 0;
}

void TqbIntermediateServerEngine::FillServerStatistics(TqbServerStatistics& Stats,
                                                       std::string_view ServerName,
                                                       const TqbServerCounts& Counts, uint32_t RAMUsed,
                                                       uint32_t MaxRAM, uint32_t UpTimeSeconds) {
    Stats = TqbServerStatistics{};
    Stats.ServerName.Set(ServerName);
    Stats.Version = kServerVersion;
    Stats.StateText.Set(StateToStr(State()));
    Stats.ClientCount = Counts.Clients;
    Stats.SessionCount = Counts.Sessions;
    Stats.DatabaseCount = Counts.Databases;
    Stats.TableCount = Counts.Tables;
    Stats.CursorCount = Counts.Cursors;
    Stats.RAMUsed = RAMUsed;
    Stats.MaxRAM = MaxRAM;
    Stats.UpTimeSeconds = UpTimeSeconds;
    Stats.CommandHandlerCount = GetCommandHandlerCount();
}

// ---------------------------------------------------------------------------------------------
// Server information

uint32_t UpTimeSeconds(uint32_t StartTick, uint32_t NowTick) {
    return uint32_t(NowTick - StartTick) / 1000u;
}

cls::TDateTime ServerDateTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    return cls::EncodeDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) +
           cls::EncodeTime(t.tm_hour, std::min(t.tm_min, 59), std::min(t.tm_sec, 59),
                           int(ts.tv_nsec / 1000000));
}

TqbSystemTime ServerSystemTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    TqbSystemTime s{};
    s.Year = uint16_t(t.tm_year + 1900);
    s.Month = uint16_t(t.tm_mon + 1);
    s.DayOfWeek = uint16_t(t.tm_wday);
    s.Day = uint16_t(t.tm_mday);
    s.Hour = uint16_t(t.tm_hour);
    s.Minute = uint16_t(t.tm_min);
    s.Second = uint16_t(std::min(t.tm_sec, 59)); // no leap second in the record
    s.Milliseconds = uint16_t(ts.tv_nsec / 1000000);
    return s;
}

TqbGUID NewServerGUID() {
    uint8_t b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n > 0)
            got += size_t(n);
        else if (n < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    TqbGUID g{};
    std::memcpy(&g, b, sizeof g);
    g.D3 = uint16_t((g.D3 & 0x0FFF) | 0x4000);  // version 4: random
    g.D4[0] = uint8_t((g.D4[0] & 0x3F) | 0x80); // the standard variant
    return g;
}

int32_t FolderFreeSpaceKB(const std::string& Folder) {
    plat::VolumeInfo v;
    if (Folder.empty() || plat::FileVolume(Folder, v) != 0) return -1;
    // 2 TB and more free would not fit the signed field.
    return int32_t(std::min<uint64_t>(v.freeBytes / 1024u, uint64_t(std::numeric_limits<int32_t>::max())));
}
