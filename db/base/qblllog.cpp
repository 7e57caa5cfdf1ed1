// The event-log base with its flush timer, and the in-memory log.
#include "db/base/qblllog.h"

#include "platform/Sync.h"

#include <chrono>

void TqbBaseLog::TimerTick() {
    std::lock_guard g(lock_);
    SetTimerEnabled(false);
    Flush();
}

void TqbBaseLog::SetOption(int32_t value) {
    std::lock_guard g(lock_);
    option_ = value;
}

void TqbBaseLog::SetFileName(std::string_view name) {
    std::lock_guard g(lock_);
    fileName_ = std::string(name);
}

int32_t TqbBaseLog::Option() {
    std::lock_guard g(lock_);
    return option_;
}

std::string TqbBaseLog::FileName() {
    std::lock_guard g(lock_);
    return fileName_;
}

void TqbBaseLog::SetTimerEnabled(bool enabled) {
    std::unique_lock lk(timerMutex_);
    if (timerStop_) return;
    timerEnabled_ = enabled;
    if (enabled) {
        timerDue_ = plat::GetTickCount64() + kTimerIntervalMs;
        if (!timerThread_.joinable()) {
            timerThread_ = std::thread([this] {
                std::unique_lock l(timerMutex_);
                while (!timerStop_) {
                    if (!timerEnabled_) {
                        timerCv_.wait(l);
                        continue;
                    }
                    uint64_t now = plat::GetTickCount64();
                    if (now < timerDue_) {
                        timerCv_.wait_for(l, std::chrono::milliseconds(timerDue_ - now));
                        continue;
                    }
                    l.unlock();
                    try {
                        TimerTick();
                    } catch (...) {
                        // A failed flush must not end the timer's thread.
                    }
                    l.lock();
                    if (timerEnabled_ && plat::GetTickCount64() >= timerDue_) timerEnabled_ = false;
                }
            });
        }
    }
    lk.unlock();
    timerCv_.notify_all();
}

bool TqbBaseLog::TimerEnabled() {
    std::lock_guard lk(timerMutex_);
    return timerEnabled_;
}

void TqbBaseLog::stopTimer() {
    {
        std::lock_guard lk(timerMutex_);
        timerStop_ = true;
    }
    timerCv_.notify_all();
    if (timerThread_.joinable() && timerThread_.get_id() != std::this_thread::get_id()) timerThread_.join();
}

void TqbBaseLog::BeforeDestruction() {
    stopTimer(); // the tick calls overridden operations: stop it while they still exist
    TqbComponent::BeforeDestruction();
}

TqbBaseLog::~TqbBaseLog() {
    stopTimer();
    if (timerThread_.joinable()) timerThread_.detach();
}

void MemoryEventLog::WriteText(std::string_view s) {
    std::lock_guard g(lock_);
    lines_.emplace_back(s);
}

void MemoryEventLog::WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) {
    WriteText(qbFormat(fmt, args));
}

std::vector<std::string> MemoryEventLog::Lines() {
    std::lock_guard g(lock_);
    return lines_;
}

size_t MemoryEventLog::LineCount() {
    std::lock_guard g(lock_);
    return lines_.size();
}
