// Timer pool: interval triggers multiplexed onto one window timer of a hidden window.
#include "controls/LncTimer.h"

#include "controls/LncExcpt.h"

#include <algorithm>

namespace {
constexpr uintptr_t kTimerId = 1;
constexpr int64_t kEarlyFire = 27; // a trigger may fire this much early: the common interval's grain
constexpr int64_t kMinInterval = 55;
constexpr int64_t kNoTimer = 4294967295;
} // namespace

TLncTimerPool::TLncTimerPool(QObject* AOwner) : QObject(AOwner) {
    wnd_ = plat::CreateHiddenWindow([this](plat::HWND, plat::UINT msg, plat::WPARAM wp, plat::LPARAM) {
        if (msg == plat::WM_TIMER && wp == kTimerId) Tick();
        return plat::LRESULT(0);
    });
}

TLncTimerPool::~TLncTimerPool() {
    interval_ = 0;
    if (timerSet_) StopSystemTimer();
    triggers_.clear();
    if (wnd_) plat::DestroyWindow(wnd_);
}

uint32_t TLncTimerPool::TickCount() {
    return static_cast<uint32_t>(plat::NowMs());
}

bool TLncTimerPool::StartSystemTimer(uint32_t Ms) {
    return plat::SetTimer(wnd_, kTimerId, Ms) != 0;
}

void TLncTimerPool::StopSystemTimer() {
    plat::KillTimer(wnd_, kTimerId);
}

const TLncTriggerRec* TLncTimerPool::Trigger(int32_t Handle) const {
    auto it =
        std::find_if(triggers_.begin(), triggers_.end(), [&](const auto& t) { return t.Handle == Handle; });
    return it == triggers_.end() ? nullptr : &*it;
}

int32_t TLncTimerPool::AddTrigger(const TTriggerEvent& OnTrigger, uint32_t Interval, bool Repeat,
                                  bool Enabled) {
    // Handles are never reused while a trigger holds them.
    while (Trigger(nextHandle_) || nextHandle_ <= 0)
        nextHandle_ = nextHandle_ <= 0 ? 1 : nextHandle_ + 1;
    TLncTriggerRec t;
    t.Handle = nextHandle_++;
    t.Interval = Interval;
    t.LastTick = TickCount();
    t.OnTrigger = OnTrigger;
    t.Enabled = Enabled;
    t.Repeat = Repeat;
    triggers_.push_back(std::move(t));
    triggersChanged();
    return triggers_.back().Handle;
}

void TLncTimerPool::SetTriggerEnabled(int32_t Handle, bool Enabled) {
    for (auto& t : triggers_)
        if (t.Handle == Handle) {
            if (Enabled && !t.Enabled) t.LastTick = TickCount();
            t.Enabled = Enabled;
            triggersChanged();
            return;
        }
}

void TLncTimerPool::RemoveTrigger(int32_t Handle) {
    auto it =
        std::find_if(triggers_.begin(), triggers_.end(), [&](const auto& t) { return t.Handle == Handle; });
    if (it == triggers_.end()) return;
    triggers_.erase(it);
    triggersChanged();
}

void TLncTimerPool::triggersChanged() {
    enabled_ = static_cast<int>(
        std::count_if(triggers_.begin(), triggers_.end(), [](auto& t) { return t.Enabled; }));
    interval_ = computeInterval(TickCount());
    ResetTimer();
}

uint32_t TLncTimerPool::computeInterval(uint32_t now) const {
    int64_t I = kNoTimer;
    for (const auto& t : triggers_) {
        if (!t.Enabled) continue;
        if (int64_t(t.Interval) < I) I = t.Interval;
        int64_t since = uint32_t(now - t.LastTick);
        int64_t left = std::max<int64_t>(0, int64_t(t.Interval) - since);
        if (left < I) I = left;
    }
    if (I < kMinInterval) I = kMinInterval;
    if (I == kNoTimer) return 0;
    // Reduce until the interval divides every trigger's interval, so each is hit on a tick.
    bool again = true;
    while (again && I > kMinInterval) {
        again = false;
        for (const auto& t : triggers_) {
            int64_t rest = int64_t(t.Interval) % I;
            if (rest != 0) {
                I -= rest;
                again = true;
                break;
            }
        }
    }
    if (I < kMinInterval) I = kMinInterval;
    return static_cast<uint32_t>(I);
}

void TLncTimerPool::ResetTimer() {
    if (timerSet_) {
        StopSystemTimer();
        timerSet_ = false;
    }
    if (interval_ != 0 && enabled_ > 0) {
        if (!StartSystemTimer(interval_)) throw ENoTimersAvailable();
        timerSet_ = true;
    }
}

void TLncTimerPool::Tick() {
    uint32_t now = TickCount();
    // Handlers may add or remove triggers: walk a snapshot of the handles and look each one up.
    std::vector<int32_t> handles;
    handles.reserve(triggers_.size());
    for (const auto& t : triggers_)
        handles.push_back(t.Handle);
    for (int32_t h : handles) {
        auto find = [&]() -> TLncTriggerRec* {
            for (auto& t : triggers_)
                if (t.Handle == h) return &t;
            return nullptr;
        };
        TLncTriggerRec* t = find();
        if (!t || !t->Enabled) continue;
        int64_t since = uint32_t(now - t->LastTick);
        if (since < int64_t(t->Interval) - kEarlyFire) continue;
        t->LastTick = now;
        t->ElapsedTime = static_cast<int32_t>(std::min<int64_t>(int64_t(t->ElapsedTime) + since, 2147483647));
        uint32_t interval = t->Interval;
        int32_t elapsed = t->ElapsedTime;
        bool repeat = t->Repeat;
        TTriggerEvent own = t->OnTrigger; // the handler may remove its own record
        if (own) own(this, h, interval, elapsed);
        if (OnAllTriggers) OnAllTriggers(this, h, interval, elapsed);
        if (!repeat) RemoveTrigger(h);
    }
}
