// The event-log interface of the database layer, and an in-memory log.
#pragma once
#include "db/base/qbllbase.h"
#include "db/base/qbllcomp.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A log that components write lines to. The system itself has no concrete log: whoever embeds
// the layer supplies one. A concrete log may batch its output and enable the flush timer, which
// calls TimerTick (disable the timer, then Flush) a second later on a thread of its own.
class TqbBaseLog : public TqbComponent {
public:
    static constexpr uint32_t kTimerIntervalMs = 1000;

    explicit TqbBaseLog(cls::TComponent* AOwner = nullptr) : TqbComponent(AOwner) {}

    virtual void TimerTick();
    virtual void SetOption(int32_t value);
    virtual void SetFileName(std::string_view name);
    virtual void EmptyHook() {}
    virtual void Flush() {}
    virtual void WriteText(std::string_view s) = 0;
    virtual void WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) = 0;

    int32_t Option();
    std::string FileName();
    void SetTimerEnabled(bool enabled);
    bool TimerEnabled();
    ~TqbBaseLog() override;

protected:
    void BeforeDestruction() override;
    TqbPadlock lock_; // guards the log's own state

private:
    void stopTimer();
    int32_t option_ = 0;
    std::string fileName_;
    std::mutex timerMutex_;
    std::condition_variable timerCv_;
    std::thread timerThread_;
    bool timerEnabled_ = false;
    bool timerStop_ = false;
    uint64_t timerDue_ = 0;
};

// Keeps every line in memory; for tests and for embedders that show the log themselves.
class MemoryEventLog : public TqbBaseLog {
public:
    using TqbBaseLog::TqbBaseLog;
    void WriteText(std::string_view s) override;
    void WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) override;
    std::vector<std::string> Lines();
    size_t LineCount();

private:
    std::vector<std::string> lines_;
};
