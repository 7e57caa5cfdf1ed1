// Progress of the long table jobs (reindex, pack, restructure, background record count): one
// status record per job, found by its 32-bit rebuild ID, read by clients while the job runs.
#pragma once
#include "db/base/qbllbase.h"
#include "db/storage/qblleng_handles.h"
#include "db/storage/qblleng_types.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

// Share of TotalRecords that RecordsRead has reached, in whole percent (truncated), so that no
// product leaves 32 bits: counts from 2^24 on are divided by 128 first. Previous stays when
// there is nothing to divide by (a total of 0, or below 128 for large counts) and for negative
// counts. A total fixed at the start may be passed when records were added meanwhile (above 100).
int32_t RebuildPercentDone(int32_t RecordsRead, int32_t TotalRecords, int32_t Previous);

// One job's progress. Guards itself.
class TqbSrRebuildStatus : public TqbObject {
public:
    TqbSrRebuildStatus(int32_t ClientID, int32_t TotalRecords, uint32_t Now);
    void Update(int32_t RecordsRead, int32_t RecordsWritten, int32_t ErrorCode, uint32_t Now);
    void MarkFinished();
    TqbRebuildStatus Status() const;
    int32_t ClientID() const { return clientID_; }

private:
    mutable std::mutex m_;
    TqbRebuildStatus status_{};
    const int32_t clientID_;
};

// Owns the status records. Jobs and clients reach a record only by its ID, under the list's
// lock, so a record removed while its job still runs is never touched again: the job's next
// update finds the ID gone.
class TqbSrRebuildStatusList : public TqbObject {
public:
    using TqbClock = std::function<uint32_t()>;
    // Clock: the tick count in ms (the system's unless given).
    explicit TqbSrRebuildStatusList(TqbClock Clock = {}, uint32_t Capacity = TqbHandleRegistry::kMaxIndex);
    ~TqbSrRebuildStatusList() override;
    TqbSrRebuildStatusList(const TqbSrRebuildStatusList&) = delete;
    TqbSrRebuildStatusList& operator=(const TqbSrRebuildStatusList&) = delete;

    // A new record, started now with every counter 0; its rebuild ID. std::bad_alloc when as many
    // jobs as the capacity allows are registered.
    TqbHandle AddStatus(int32_t ClientID, int32_t TotalRecords);
    // False when the ID names no record (already read finished, or its client went away).
    bool Update(TqbHandle RebuildID, int32_t RecordsRead, int32_t RecordsWritten, int32_t ErrorCode);
    // An unknown ID does nothing.
    void MarkFinished(TqbHandle RebuildID);
    // A copy of the record; a finished one is removed by this read, so it is read once.
    bool GetStatus(TqbHandle RebuildID, TqbRebuildStatus& Status);
    // The same for the job's own client only: another client's job is not found (nor used up).
    bool GetClientStatus(int32_t ClientID, TqbHandle RebuildID, TqbRebuildStatus& Status);
    // Drops every record of the client.
    void RemoveClient(int32_t ClientID);
    int Count() const;

private:
    TqbSrRebuildStatus* find(TqbHandle RebuildID) const;
    // Copies S out and removes it when finished; the list's lock is held. False for none.
    bool take(TqbSrRebuildStatus* S, TqbHandle RebuildID, TqbRebuildStatus& Status);
    void remove(TqbHandle RebuildID);

    TqbClock clock_;
    mutable std::mutex m_;
    TqbHandleRegistry ids_;
    std::map<TqbHandle, std::unique_ptr<TqbSrRebuildStatus>> items_;
};
