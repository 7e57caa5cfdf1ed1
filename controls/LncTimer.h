// Timer pool: any number of interval triggers multiplexed onto one window timer of a hidden
// window, so that the extension controls of a form share a single system timer.
#pragma once
#include <QObject>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"

using TTriggerEvent =
    std::function<void(QObject* Sender, int32_t Handle, uint32_t Interval, int32_t ElapsedTime)>;

struct TLncTriggerRec {
    int32_t Handle = 0;
    int32_t ElapsedTime = 0; // saturates at 2147483647
    uint32_t Interval = 0;
    uint32_t LastTick = 0;
    TTriggerEvent OnTrigger;
    bool Enabled = false;
    bool Repeat = true; // False: removed after it fires once
};

class TLncTimerPool : public QObject {
public:
    explicit TLncTimerPool(QObject* AOwner = nullptr);
    ~TLncTimerPool() override;

    // Adds a trigger firing every Interval ms (once when Repeat is False); its handle.
    int32_t AddTrigger(const TTriggerEvent& OnTrigger, uint32_t Interval, bool Repeat = true,
                       bool Enabled = true);
    // Enabling restarts the trigger's interval from now. Unknown handles do nothing.
    void SetTriggerEnabled(int32_t Handle, bool Enabled);
    // Unknown handles do nothing.
    void RemoveTrigger(int32_t Handle);
    // Called for every timer message of the hidden window.
    virtual void Tick();
    // Stops the system timer and starts it again with the common interval when a trigger is enabled.
    void ResetTimer();

    int Count() const { return static_cast<int>(triggers_.size()); }
    const TLncTriggerRec* Trigger(int32_t Handle) const;
    uint32_t CommonInterval() const { return interval_; }
    int EnabledCount() const { return enabled_; }
    // Whether the system timer is running, and with which period.
    bool TimerActive() const { return timerSet_; }
    plat::HWND Window() const { return wnd_; }

    std::string About() const { return "v3.08"; }
    void SetAbout(const std::string&) {}
    TTriggerEvent OnAllTriggers;

    // The tick count the pool measures with (32-bit milliseconds of the injectable clock).
    static uint32_t TickCount();

protected:
    // The system timer; a False result means no timer was available.
    virtual bool StartSystemTimer(uint32_t Ms);
    virtual void StopSystemTimer();

private:
    void triggersChanged();
    uint32_t computeInterval(uint32_t now) const;

    std::vector<TLncTriggerRec> triggers_;
    plat::HWND wnd_ = 0;
    uint32_t interval_ = 0;
    int enabled_ = 0;
    bool timerSet_ = false;
    int32_t nextHandle_ = 1;
};
