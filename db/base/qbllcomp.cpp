// Components: dependents and their notifications, logging, and the state machine.
#include "db/base/qbllcomp.h"

#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// Component

TqbComponent::TqbComponent(cls::TComponent* AOwner) : cls::TComponent(AOwner) {
    // An owner frees what it owns without a word to it; hearing of the owner's end first lets
    // this component run its BeforeDestruction while it is still whole.
    if (AOwner) FreeNotification(AOwner);
}

void TqbComponent::beforeDestructionOnce() {
    if (beforeDestructionDone_) return;
    beforeDestructionDone_ = true;
    BeforeDestruction();
}

void TqbComponent::Free() {
    beforeDestructionOnce();
    delete this;
}

TqbComponent::~TqbComponent() {
    NotifyDependents(kOpGoingAway);
    std::lock_guard g(dependentsMutex_);
    dependents_.clear();
}

void TqbComponent::Notification(cls::TComponent* AComponent, cls::TOperation operation) {
    if (operation == cls::opRemove && AComponent && AComponent == Owner()) beforeDestructionOnce();
    cls::TComponent::Notification(AComponent, operation);
}

void TqbComponent::AddDependent(TqbComponent* component) {
    if (!component) return;
    std::lock_guard g(dependentsMutex_);
    hasDependents_ = true;
    if (std::find(dependents_.begin(), dependents_.end(), component) == dependents_.end())
        dependents_.push_back(component);
}

void TqbComponent::RemoveDependent(TqbComponent* component) {
    std::lock_guard g(dependentsMutex_);
    dependents_.erase(std::remove(dependents_.begin(), dependents_.end(), component), dependents_.end());
}

bool TqbComponent::HasDependent(TqbComponent* component) {
    std::lock_guard g(dependentsMutex_);
    return std::find(dependents_.begin(), dependents_.end(), component) != dependents_.end();
}

void TqbComponent::NotifyDependentsEx(int operation, intptr_t data) {
    if (operation == kOpGoingAway && goingAwayNotified_.load()) return;
    std::vector<TqbComponent*> snapshot;
    {
        std::lock_guard g(dependentsMutex_);
        if (!hasDependents_) return;
        goingAwayNotified_.store(operation == kOpGoingAway);
        snapshot = dependents_;
    }
    // Called without the lock, so that a dependent may remove itself; one removed meanwhile is
    // skipped.
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it)
        if (HasDependent(*it)) (*it)->ReceiveNotification(operation, this, data);
}

std::string TqbComponent::Version() const {
    return qbFormat("%5.4f", {21000 / 10000.0});
}

// ---------------------------------------------------------------------------------------------
// Loggable component

void TqbLoggableComponent::SetEventLog(TqbBaseLog* log) {
    TqbBaseLog* old = eventLog_.load();
    if (log == old) return;
    if (old) {
        RemoveFreeNotification(old);
        old->Notification(this, cls::opRemove);
    }
    if (log) FreeNotification(log);
    eventLog_.store(log);
}

void TqbLoggableComponent::LogText(std::string_view s) {
    TqbBaseLog* log = eventLog_.load();
    if (eventLogEnabled_.load() && log) log->WriteText(s);
}

void TqbLoggableComponent::LogTextFmt(std::string_view fmt, const QbFormatArgs& args) {
    TqbBaseLog* log = eventLog_.load();
    if (eventLogEnabled_.load() && log) log->WriteTextFmt(fmt, args);
}

void TqbLoggableComponent::Notification(cls::TComponent* AComponent, cls::TOperation operation) {
    TqbComponent::Notification(AComponent, operation);
    if (operation == cls::opRemove && AComponent && AComponent == eventLog_.load()) eventLog_.store(nullptr);
}

TqbLoggableComponent::~TqbLoggableComponent() {
    if (TqbBaseLog* log = eventLog_.exchange(nullptr)) {
        RemoveFreeNotification(log);
        log->Notification(this, cls::opRemove);
    }
}

// ---------------------------------------------------------------------------------------------
// State component

namespace {
constexpr uint8_t kNext[9][9] = {
    {0, 1, 1, 1, 1, 1, 1, 7, 8}, // Inactive
    {0, 2, 2, 2, 2, 2, 2, 0, 0}, // Initializing
    {0, 3, 2, 3, 3, 3, 3, 0, 0}, // Starting
    {4, 5, 5, 3, 4, 5, 5, 0, 0}, // Started
    {0, 0, 0, 0, 4, 0, 0, 0, 0}, // Shutting down
    {6, 6, 6, 6, 6, 5, 6, 0, 0}, // Stopping
    {1, 1, 1, 1, 1, 1, 6, 0, 0}, // Stopped
    {7, 7, 7, 7, 7, 7, 7, 7, 7}, // Driver not installed
    {8, 8, 8, 8, 8, 8, 8, 8, 8}, // Failed
};
constexpr const char* kStateNames[9] = {"Inactive", "Initializing",         "Starting",
                                        "Started",  "Shutting down",        "Stopping",
                                        "Stopped",  "Driver not installed", "Failed"};
} // namespace

std::string StateToStr(uint8_t state) {
    return state < 9 ? kStateNames[state] : std::string();
}

uint8_t NextState(uint8_t current, uint8_t target) {
    return current < 9 && target < 9 ? kNext[current][target] : current;
}

void TqbStateComponent::CheckInactive() {
    uint8_t s = State();
    if (s != qbsInactive && s != qbsDriverNotInstalled && s != qbsFailed) RaiseComponentError(1285);
}

void TqbStateComponent::CheckStarted() {
    if (State() != qbsStarted) RaiseComponentError(1286);
}

void TqbStateComponent::WalkTo(uint8_t target, const std::function<void(uint8_t next)>& step) {
    const uint8_t entry = State();
    if (target == entry) return;
    bool stepDone = false;
    try {
        while (State() != target) {
            const uint8_t next = NextState(State(), target);
            if (next == State()) break; // the target cannot be reached from here
            step(next);
            if (OnStateChange) OnStateChange(this);
            stepDone = true;
        }
    } catch (...) {
        // A failed start gives back what its earlier steps took.
        if (entry == qbsInactive && stepDone) {
            try {
                EnterInactive();
            } catch (...) {
            }
        }
        ForceState(entry);
        throw;
    }
}

void TqbStateComponent::SetState(uint8_t target) {
    WalkTo(target, [this](uint8_t next) { EnterState(next); });
}

void TqbStateComponent::EnterState(uint8_t next) {
    ForceState(next);
    RunStateHook(next);
}

void TqbStateComponent::RunStateHook(uint8_t state) {
    switch (state) {
    case qbsInactive:
        EnterInactive();
        break;
    case qbsInitializing:
        EnterInitializing();
        break;
    case qbsStarting:
        EnterStarting();
        break;
    case qbsShuttingDown:
        EnterShuttingDown();
        break;
    default:
        break;
    }
}

void TqbStateComponent::BeforeDestruction() {
    TqbLoggableComponent::BeforeDestruction();
    NotifyDependents(kOpDestroying);
    if (State() == qbsInactive) return;
    try {
        SetState(qbsInactive);
    } catch (const std::exception& e) {
        LogText(e.what()); // the component goes away all the same
    }
}

TqbStringResource& ServerCmpStrings() {
    // Never freed: threads still running at exit may look texts up.
    static TqbStringResource& r = *new TqbStringResource("QB_SERVER_CMP_STRINGS");
    return r;
}
