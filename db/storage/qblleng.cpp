// The engine interface's own operations: monitors, interests, state forwarding and the process-wide
// engine registration.
#include "db/storage/qblleng.h"

#include <algorithm>
#include <mutex>

// ---------------------------------------------------------------------------------------------
// Registration

namespace {
// Never destroyed, so that an engine that outlives static destruction can still leave the list.
std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<TqbBaseServerEngine*>& registry() {
    static auto* engines = new std::vector<TqbBaseServerEngine*>;
    return *engines;
}
} // namespace

std::vector<TqbBaseServerEngine*> RegisteredServerEngines() {
    std::lock_guard lk(registryMutex());
    return registry();
}

// ---------------------------------------------------------------------------------------------
// Interests

void TqbInterestStructure::Add(TqbServerMonitor* monitor, TqbServerObjectClass cls) {
    PortalWriteGuard g(portal_);
    auto& monitors = byClass_[cls];
    if (std::find(monitors.begin(), monitors.end(), monitor) == monitors.end()) monitors.push_back(monitor);
    auto& classes = byMonitor_[monitor];
    if (std::find(classes.begin(), classes.end(), cls) == classes.end()) classes.push_back(cls);
}

void TqbInterestStructure::Remove(TqbServerMonitor* monitor, TqbServerObjectClass cls) {
    PortalWriteGuard g(portal_);
    if (auto it = byClass_.find(cls); it != byClass_.end()) {
        std::erase(it->second, monitor);
        if (it->second.empty()) byClass_.erase(it);
    }
    if (auto it = byMonitor_.find(monitor); it != byMonitor_.end()) {
        std::erase(it->second, cls);
        if (it->second.empty()) byMonitor_.erase(it);
    }
}

void TqbInterestStructure::RemoveAll(TqbServerMonitor* monitor) {
    PortalWriteGuard g(portal_);
    auto it = byMonitor_.find(monitor);
    if (it == byMonitor_.end()) return;
    for (auto c = it->second.rbegin(); c != it->second.rend(); ++c) {
        if (auto ci = byClass_.find(*c); ci != byClass_.end()) {
            std::erase(ci->second, monitor);
            if (ci->second.empty()) byClass_.erase(ci);
        }
    }
    byMonitor_.erase(it);
}

std::vector<TqbServerMonitor*> TqbInterestStructure::Monitors(TqbServerObjectClass cls) {
    PortalReadGuard g(portal_);
    auto it = byClass_.find(cls);
    return it == byClass_.end() ? std::vector<TqbServerMonitor*>{} : it->second;
}

std::vector<TqbServerObjectClass> TqbInterestStructure::Classes(TqbServerMonitor* monitor) {
    PortalReadGuard g(portal_);
    auto it = byMonitor_.find(monitor);
    return it == byMonitor_.end() ? std::vector<TqbServerObjectClass>{} : it->second;
}

size_t TqbInterestStructure::ClassEntryCount() {
    PortalReadGuard g(portal_);
    return byClass_.size();
}

size_t TqbInterestStructure::MonitorEntryCount() {
    PortalReadGuard g(portal_);
    return byMonitor_.size();
}

// ---------------------------------------------------------------------------------------------
// Engine

TqbBaseServerEngine::TqbBaseServerEngine(cls::TComponent* AOwner)
    : TqbStateComponent(AOwner), monitors_(std::make_unique<std::vector<TqbServerMonitor*>>()),
      interests_(std::make_unique<TqbInterestStructure>()) {
    std::lock_guard lk(registryMutex());
    registry().push_back(this);
    registered_ = true;
}

TqbBaseServerEngine::~TqbBaseServerEngine() {
    unregister();
}

void TqbBaseServerEngine::unregister() {
    std::lock_guard lk(registryMutex());
    if (!registered_) return;
    std::erase(registry(), this);
    registered_ = false;
}

void TqbBaseServerEngine::BeforeDestruction() {
    {
        PortalWriteGuard g(monitorsPortal_);
        if (monitors_)
            for (auto it = monitors_->rbegin(); it != monitors_->rend(); ++it)
                (*it)->SetEngine(nullptr);
        monitors_.reset();
    }
    interests_.reset();
    unregister();
    TqbStateComponent::BeforeDestruction();
}

void TqbBaseServerEngine::Notification(cls::TComponent* AComponent, cls::TOperation operation) {
    TqbLoggableComponent::Notification(AComponent, operation);
}

void TqbBaseServerEngine::SetState(uint8_t target) {
    if (target == State()) return;
    if (!monitors_) {
        TqbStateComponent::SetState(target);
        return;
    }
    PortalReadGuard g(monitorsPortal_);
    WalkTo(target, [this](uint8_t next) { StepTo(next); });
}

void TqbBaseServerEngine::StepTo(uint8_t next) {
    PortalReadGuard g(monitorsPortal_);
    // Every monitor reaches a state before the engine; a stop also shuts down and deactivates.
    if (monitors_)
        for (auto it = monitors_->rbegin(); it != monitors_->rend(); ++it)
            (*it)->SetState(next);
    ForceState(next);
    RunStateHook(next == qbsStopped    ? uint8_t(qbsInactive)
                 : next == qbsStopping ? uint8_t(qbsShuttingDown)
                                       : next);
}

std::vector<TqbServerMonitor*>
TqbBaseServerEngine::GetInterestedMonitors(TqbServerObjectClass ServerObjectClass) {
    return interests_ ? interests_->Monitors(ServerObjectClass) : std::vector<TqbServerMonitor*>{};
}

std::vector<TqbServerMonitor*> TqbBaseServerEngine::Monitors() {
    PortalReadGuard g(monitorsPortal_);
    return monitors_ ? *monitors_ : std::vector<TqbServerMonitor*>{};
}

void TqbBaseServerEngine::AddInterest(TqbServerMonitor* Monitor, TqbServerObjectClass ServerObjectClass) {
    if (interests_ && Monitor) interests_->Add(Monitor, ServerObjectClass);
}

void TqbBaseServerEngine::AddMonitor(TqbServerMonitor* Monitor) {
    if (!Monitor) return;
    PortalWriteGuard g(monitorsPortal_);
    if (!monitors_) return;
    if (std::find(monitors_->begin(), monitors_->end(), Monitor) == monitors_->end())
        monitors_->push_back(Monitor);
    Monitor->SetEngine(this);
}

TqbResultCode TqbBaseServerEngine::ProcessRequest(TqbHandle, uint32_t, uint32_t, std::span<const uint8_t>,
                                                  std::vector<uint8_t>&) {
    return 0;
}

TqbResultCode TqbBaseServerEngine::ProcessRequestNoReply(TqbHandle, uint32_t, uint32_t,
                                                         std::span<const uint8_t>) {
    return 0;
}

void TqbBaseServerEngine::RemoveAllInterest(TqbServerMonitor* Monitor) {
    if (interests_) interests_->RemoveAll(Monitor);
}

void TqbBaseServerEngine::RemoveInterest(TqbServerMonitor* Monitor, TqbServerObjectClass ServerObjectClass) {
    if (interests_) interests_->Remove(Monitor, ServerObjectClass);
}

void TqbBaseServerEngine::RemoveMonitor(TqbServerMonitor* Monitor) {
    if (!Monitor) return;
    Monitor->SetEngine(nullptr);
    {
        PortalWriteGuard g(monitorsPortal_);
        if (monitors_) std::erase(*monitors_, Monitor);
    }
    RemoveAllInterest(Monitor);
}

TqbResultCode TqbBaseServerEngine::RecordStepWithBookmark(TqbHandle CursorID, bool Forward,
                                                          TqbLockType LockType, std::span<uint8_t> Data,
                                                          std::span<uint8_t> Bookmark) {
    const TqbResultCode r =
        Forward ? RecordGetNext(CursorID, LockType, Data) : RecordGetPrior(CursorID, LockType, Data);
    return r == 0 ? CursorGetBookmark(CursorID, Bookmark) : r;
}

TqbResultCode TqbBaseServerEngine::RecordInsertThenGet(TqbHandle CursorID, bool ToEnd, TqbLockType LockType,
                                                       std::span<const uint8_t> Record,
                                                       std::span<uint8_t> Data, std::span<uint8_t> Bookmark,
                                                       bool& EndFailed, TqbResultCode& ReadResult) {
    EndFailed = false;
    ReadResult = 0;
    if (ToEnd) {
        if (const TqbResultCode r = CursorSetToEnd(CursorID)) {
            EndFailed = true;
            return r;
        }
    }
    if (const TqbResultCode r = RecordInsert(CursorID, LockType, Record)) return r;
    if (!Data.empty()) ReadResult = RecordGetWithBookmark(CursorID, qbltNone, Data, Bookmark);
    return 0;
}

TqbResultCode TqbBaseServerEngine::RecordGetForKeyWithBookmark(TqbHandle CursorID, bool DirectKey,
                                                               int32_t FieldCount, int32_t PartialLen,
                                                               std::span<const uint8_t> KeyData,
                                                               std::span<uint8_t> Data, bool FirstCall,
                                                               std::span<uint8_t> Bookmark) {
    const TqbResultCode r =
        RecordGetForKey(CursorID, DirectKey, FieldCount, PartialLen, KeyData, Data, FirstCall);
    return r == 0 ? CursorGetBookmark(CursorID, Bookmark) : r;
}

TqbResultCode TqbBaseServerEngine::RecordGetWithBookmark(TqbHandle CursorID, TqbLockType LockType,
                                                         std::span<uint8_t> Data,
                                                         std::span<uint8_t> Bookmark) {
    const TqbResultCode r = RecordGet(CursorID, LockType, Data);
    return r == 0 ? CursorGetBookmark(CursorID, Bookmark) : r;
}
