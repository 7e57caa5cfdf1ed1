// The intermediate engine between the engine interface and both concrete engines: the command
// handlers that follow its state and their statistics, and the server information that an
// engine reports about itself (names, time, GUIDs, free space, statistics).
#pragma once
#include "db/storage/qblleng.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TqbIntermediateServerEngine;

// Serves an engine to remote clients through its transports and follows the engine's state.
class TqbCommandHandlerLink : public TqbStateComponent {
public:
    explicit TqbCommandHandlerLink(cls::TComponent* AOwner = nullptr) : TqbStateComponent(AOwner) {}
    virtual void SetServerEngine(TqbIntermediateServerEngine* Engine) { engine_.store(Engine); }
    TqbIntermediateServerEngine* ServerEngine() const { return engine_.load(); }
    virtual int32_t TransportCount() = 0;
    // Everything but MsgsPerSecond, which the engine works out; Index is in range.
    virtual void GetTransportStatistics(int32_t Index, TqbTransportStatistics& Stats) = 0;

protected:
    // A handler that goes leaves its engine's list, so the engine never calls a freed handler.
    void BeforeDestruction() override;

private:
    std::atomic<TqbIntermediateServerEngine*> engine_{nullptr};
};

// Numbers of live server objects for the server statistics.
struct TqbServerCounts {
    int32_t Clients = 0;
    int32_t Sessions = 0;
    int32_t Databases = 0;
    int32_t Tables = 0; // open tables
    int32_t Cursors = 0;
};

inline constexpr int32_t kServerVersion = 21000;
inline constexpr TqbResultCode kResultIndexOutOfRange = 8712;

class TqbIntermediateServerEngine : public TqbBaseServerEngine {
public:
    explicit TqbIntermediateServerEngine(cls::TComponent* AOwner = nullptr) : TqbBaseServerEngine(AOwner) {}

    // Each step on the way goes to every command handler (last to first) before the engine takes
    // it. A failing step puts the engine back as a failed walk does; handlers keep the steps they
    // took.
    void SetState(uint8_t target) override;

    // The engine does not own its handlers; it sets and clears their link to it. Not from a
    // handler's own SetState.
    void AddCommandHandler(TqbCommandHandlerLink* Handler);
    void RemoveCommandHandler(TqbCommandHandlerLink* Handler);
    // Null outside 0 .. count - 1.
    TqbCommandHandlerLink* GetCommandHandler(int32_t Index);
    int32_t GetCommandHandlerCount();

protected:
    ~TqbIntermediateServerEngine() override = default;
    // Clears every handler's link first, so no handler calls an engine that is going.
    void BeforeDestruction() override;

    // The statistics of an engine that answers them itself. 8712 for an index out of range.
    TqbResultCode HandlerTransportCount(int32_t Index, int32_t& TransportCount);
    TqbResultCode HandlerTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                             uint32_t UpTimeSeconds, TqbTransportStatistics& Stats);
    void FillServerStatistics(TqbServerStatistics& Stats, std::string_view ServerName,
                              const TqbServerCounts& Counts, uint32_t RAMUsed, uint32_t MaxRAM,
                              uint32_t UpTimeSeconds);

private:
    TqbReadWritePortal handlersPortal_;
    std::vector<TqbCommandHandlerLink*> handlers_;
};

// ---------------------------------------------------------------------------------------------
// Server information

// The one server name an in-process engine lists.
inline constexpr char kDirectServerName[] = "Direct";
// Seconds from StartTick to NowTick of the 32-bit tick count, across its wrap.
uint32_t UpTimeSeconds(uint32_t StartTick, uint32_t NowTick);
// The local date and time.
cls::TDateTime ServerDateTime();
// The date and time in UTC; DayOfWeek 0 is Sunday.
TqbSystemTime ServerSystemTime();
// 16 random bytes marked as a random (version 4) GUID.
TqbGUID NewServerGUID();
// Free space on the folder's volume in KB, at most 2147483647; -1 when it cannot be read.
int32_t FolderFreeSpaceKB(const std::string& Folder);
