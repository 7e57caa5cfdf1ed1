// Rebuild status records and their list: overflow-free percentage, updates by ID, a finished
// status read once, and the records of a departing client dropped.
#include "db/engine/qbsrstat.h"

int32_t RebuildPercentDone(int32_t RecordsRead, int32_t TotalRecords, int32_t Previous) {
    if (RecordsRead < 0 || TotalRecords <= 0) return Previous;
    if (RecordsRead < (1 << 24)) return RecordsRead * 100 / TotalRecords;
    const int32_t total = TotalRecords >> 7;
    if (total == 0) return Previous;
    return (RecordsRead >> 7) * 100 / total;
}

TqbSrRebuildStatus::TqbSrRebuildStatus(int32_t ClientID, int32_t TotalRecords, uint32_t Now)
    : clientID_(ClientID) {
    status_.StartTick = Now;
    status_.TotalRecords = TotalRecords;
}

void TqbSrRebuildStatus::Update(int32_t RecordsRead, int32_t RecordsWritten, int32_t ErrorCode,
                                uint32_t Now) {
    std::lock_guard lk(m_);
    status_.RecordsRead = RecordsRead;
    status_.RecordsWritten = RecordsWritten;
    status_.ErrorCode = ErrorCode;
    status_.SnapshotTick = Now;
    status_.PercentDone = RebuildPercentDone(RecordsRead, status_.TotalRecords, status_.PercentDone);
}

void TqbSrRebuildStatus::MarkFinished() {
    std::lock_guard lk(m_);
    status_.Finished = 1;
}

TqbRebuildStatus TqbSrRebuildStatus::Status() const {
    std::lock_guard lk(m_);
    return status_;
}

TqbSrRebuildStatusList::TqbSrRebuildStatusList(TqbClock Clock, uint32_t Capacity)
    : clock_(Clock ? std::move(Clock) : TqbClock(TickCount)), ids_(Capacity) {}

TqbSrRebuildStatusList::~TqbSrRebuildStatusList() = default;

TqbSrRebuildStatus* TqbSrRebuildStatusList::find(TqbHandle RebuildID) const {
    return ids_.FindAs<TqbSrRebuildStatus>(RebuildID, TqbHandleKind::Rebuild);
}

void TqbSrRebuildStatusList::remove(TqbHandle RebuildID) {
    ids_.Remove(RebuildID, TqbHandleKind::Rebuild);
    items_.erase(RebuildID);
}

TqbHandle TqbSrRebuildStatusList::AddStatus(int32_t ClientID, int32_t TotalRecords) {
    auto status = std::make_unique<TqbSrRebuildStatus>(ClientID, TotalRecords, clock_());
    std::lock_guard lk(m_);
    const TqbHandle id = ids_.Add(TqbHandleKind::Rebuild, status.get());
    try {
        items_.emplace(id, std::move(status));
    } catch (...) {
        ids_.Remove(id, TqbHandleKind::Rebuild);
        throw;
    }
    return id;
}

bool TqbSrRebuildStatusList::Update(TqbHandle RebuildID, int32_t RecordsRead, int32_t RecordsWritten,
                                    int32_t ErrorCode) {
    const uint32_t now = clock_();
    std::lock_guard lk(m_);
    TqbSrRebuildStatus* s = find(RebuildID);
    if (!s) return false;
    s->Update(RecordsRead, RecordsWritten, ErrorCode, now);
    return true;
}

void TqbSrRebuildStatusList::MarkFinished(TqbHandle RebuildID) {
    std::lock_guard lk(m_);
    if (TqbSrRebuildStatus* s = find(RebuildID)) s->MarkFinished();
}

bool TqbSrRebuildStatusList::GetStatus(TqbHandle RebuildID, TqbRebuildStatus& Status) {
    std::lock_guard lk(m_);
    return take(find(RebuildID), RebuildID, Status);
}

bool TqbSrRebuildStatusList::GetClientStatus(int32_t ClientID, TqbHandle RebuildID,
                                             TqbRebuildStatus& Status) {
    std::lock_guard lk(m_);
    TqbSrRebuildStatus* s = find(RebuildID);
    return take(s && s->ClientID() == ClientID ? s : nullptr, RebuildID, Status);
}

bool TqbSrRebuildStatusList::take(TqbSrRebuildStatus* s, TqbHandle RebuildID, TqbRebuildStatus& Status) {
    if (!s) return false;
    Status = s->Status();
    if (Status.Finished) remove(RebuildID);
    return true;
}

void TqbSrRebuildStatusList::RemoveClient(int32_t ClientID) {
    std::lock_guard lk(m_);
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->second->ClientID() == ClientID) {
            ids_.Remove(it->first, TqbHandleKind::Rebuild);
            it = items_.erase(it);
        } else {
            ++it;
        }
    }
}

int TqbSrRebuildStatusList::Count() const {
    std::lock_guard lk(m_);
    return int(items_.size());
}
