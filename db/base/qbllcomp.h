// Components of the database layer: dependents and their notifications, the loggable component
// and the state component with its fixed next-state table.
#pragma once
#include "classlib/Classes.h"
#include "db/base/qbllexcp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TqbStringResource;
class TqbBaseLog;

using TqbOperation = cls::TOperation;

// A component of the class library that also keeps a list of dependents. Free() runs
// BeforeDestruction while the object is whole and then destroys it; a component freed with its
// owner gets the same (it hears of the owner's end before the owner frees it).
class TqbComponent : public cls::TComponent {
public:
    // Dependents' notification operations sent by the layer itself.
    static constexpr int kOpDestroying = 4; // about to be destroyed
    static constexpr int kOpGoingAway = 5;  // goes away (sent at most once)

    explicit TqbComponent(cls::TComponent* AOwner = nullptr);
    ~TqbComponent() override;
    void Free();

    void Notification(cls::TComponent* AComponent, cls::TOperation operation) override;
    bool IsLoading() const { return ComponentState() & cls::csLoading; }
    bool IsDesigning() const { return ComponentState() & cls::csDesigning; }

    void AddDependent(TqbComponent* component);
    void RemoveDependent(TqbComponent* component);
    bool HasDependent(TqbComponent* component);
    virtual void NotifyDependents(int operation) { NotifyDependentsEx(operation, 0); }
    void NotifyDependentsEx(int operation, intptr_t data);
    void ForwardNotification(TqbComponent* dependent, int operation) {
        dependent->ReceiveNotification(operation, this, 0);
    }
    virtual void ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) {}

    std::string Version() const;
    void SetVersion(std::string_view) {}

protected:
    virtual void BeforeDestruction() {}

private:
    void beforeDestructionOnce();
    bool beforeDestructionDone_ = false;
    std::mutex dependentsMutex_;
    std::vector<TqbComponent*> dependents_;
    bool hasDependents_ = false;
    std::atomic<bool> goingAwayNotified_{false};
};

// unique_ptr deleter for components.
struct TqbFree {
    void operator()(TqbComponent* c) const {
        if (c) c->Free();
    }
};
template <class T> using TqbOwned = std::unique_ptr<T, TqbFree>;

// Writes to an optional event log when logging is enabled.
class TqbLoggableComponent : public TqbComponent {
public:
    explicit TqbLoggableComponent(cls::TComponent* AOwner = nullptr) : TqbComponent(AOwner) {}
    TqbBaseLog* EventLog() const { return eventLog_.load(); }
    virtual void SetEventLog(TqbBaseLog* log);
    virtual bool GetEventLogEnabled() const { return eventLogEnabled_.load(); }
    virtual void SetEventLogEnabled(bool value) { eventLogEnabled_.store(value); }
    virtual void LogText(std::string_view s);
    virtual void LogTextFmt(std::string_view fmt, const QbFormatArgs& args);
    void Notification(cls::TComponent* AComponent, cls::TOperation operation) override;
    ~TqbLoggableComponent() override;

private:
    std::atomic<TqbBaseLog*> eventLog_{nullptr};
    std::atomic<bool> eventLogEnabled_{false};
};

enum TqbState : uint8_t {
    qbsInactive = 0,
    qbsInitializing = 1,
    qbsStarting = 2,
    qbsStarted = 3,
    qbsShuttingDown = 4,
    qbsStopping = 5,
    qbsStopped = 6,
    qbsDriverNotInstalled = 7,
    qbsFailed = 8,
};

// Display name of a state; any other value gives an empty string.
std::string StateToStr(uint8_t state);
// Next state on the way from a state to a target (9 x 9).
uint8_t NextState(uint8_t current, uint8_t target);

// Nine-state life cycle: SetState walks the next-state table one step at a time, calling the
// hook of each state it enters and then OnStateChange.
class TqbStateComponent : public TqbLoggableComponent {
public:
    explicit TqbStateComponent(cls::TComponent* AOwner = nullptr) : TqbLoggableComponent(AOwner) {}

    uint8_t State() const { return state_.load(); }
    std::function<void(TqbComponent* sender)> OnStateChange;

    // Raise component error 1285 unless inactive (or driver not installed, or failed).
    virtual void CheckInactive();
    // Raise component error 1286 unless started.
    virtual void CheckStarted();
    // When a hook or OnStateChange raises, the state goes back to the one held on entry and the
    // exception goes on; a failed walk up from Inactive first lets EnterInactive give back what
    // the earlier steps took.
    virtual void SetState(uint8_t target);
    void Startup() { SetState(qbsStarted); }
    void Shutdown() { SetState(qbsInactive); }
    void Stop() { SetState(qbsStopped); }

protected:
    virtual void EnterInitializing() = 0;
    virtual void EnterShuttingDown() = 0;
    virtual void EnterInactive() = 0;
    virtual void EnterStarting() = 0;
    void BeforeDestruction() override;
    // Sets the state without walking the table or calling any hook.
    void ForceState(uint8_t state) { state_.store(state); }
    // One step of the walk: the state, then the hook of the state entered (none for the others).
    void EnterState(uint8_t next);
    // The hook of a state: EnterInactive, EnterInitializing, EnterStarting or EnterShuttingDown.
    void RunStateHook(uint8_t state);
    // The walk of SetState: step(next) for each state on the way to target (it stores the state
    // and calls the hook), then OnStateChange; with the rollback described at SetState.
    void WalkTo(uint8_t target, const std::function<void(uint8_t next)>& step);

private:
    std::atomic<uint8_t> state_{qbsInactive};
};

// "QB_SERVER_CMP_STRINGS": component state error texts and the message frames.
TqbStringResource& ServerCmpStrings();
