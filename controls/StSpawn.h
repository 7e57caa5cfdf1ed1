// Process spawner: starts another program with posix_spawn and reports its end, a failure to
// start it, or that it ran longer than its time-out.
#pragma once
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "controls/StBase.h"

enum TStShowState { ssMinimized, ssMaximized, ssNormal, ssMinNotActive };
enum TStSpawnCommand { scOpen, scPrint, scOther };

class TStSpawnApplication : public TStComponent {
public:
    explicit TStSpawnApplication(QObject* AOwner = nullptr);
    ~TStSpawnApplication() override;

    // Every setter acts only while no started program is being waited for.
    const std::string& DefaultDir() const { return defaultDir_; }
    void SetDefaultDir(const std::string& V);
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& V);
    bool NotifyWhenDone() const { return notifyWhenDone_; }
    void SetNotifyWhenDone(bool V);
    const std::string& RunParameters() const { return runParameters_; }
    void SetRunParameters(const std::string& V);
    TStShowState ShowState() const { return showState_; }
    void SetShowState(TStShowState V);
    TStSpawnCommand SpawnCommand() const { return spawnCommand_; }
    void SetSpawnCommand(TStSpawnCommand V);
    // Seconds; values below 0 are ignored, 0 waits without limit.
    int TimeOut() const { return timeOut_; }
    void SetTimeOut(int V);
    const std::string& SpawnCommandStr() const { return spawnCommandStr_; }
    void SetSpawnCommandStr(const std::string& V);

    void SetOnCompleted(std::function<void(QObject*)> H);
    void SetOnSpawnError(std::function<void(QObject*, uint16_t)> H);
    void SetOnTimeOut(std::function<void(QObject*)> H);

    // Starts FileName with RunParameters (split at blanks; single or double quotes group) in
    // DefaultDir. False, with OnSpawnError, when it cannot be started. With NotifyWhenDone the
    // end is reported by OnCompleted (ExitCode then holds the exit status) or, after TimeOut
    // seconds, by OnTimeOut; the events come through the event loop.
    bool Execute();

    bool Idle() const { return idle_; }
    pid_t ProcessId() const { return pid_; }
    // Exit status of the last program that ended (128 + signal number when a signal ended it).
    int ExitCode() const { return exitCode_; }

    // The parameter text as program arguments.
    static std::vector<std::string> SplitParameters(const std::string& Text);

private:
    struct Watch {
        std::mutex lock;
        TStSpawnApplication* target = nullptr;
    };
    void finished(uint64_t run, int status);
    void timedOut(uint64_t run);
    void spawnError(uint16_t code);

    bool idle_ = true;
    std::string defaultDir_;
    std::string fileName_;
    bool notifyWhenDone_ = true;
    std::function<void(QObject*)> onCompleted_;
    std::function<void(QObject*, uint16_t)> onSpawnError_;
    std::function<void(QObject*)> onTimeOut_;
    std::string runParameters_;
    TStShowState showState_ = ssNormal;
    TStSpawnCommand spawnCommand_ = scOpen;
    std::unique_ptr<QTimer> timer_; // the time-out of the running program; none until one starts
    int timeOut_ = 0;
    std::string spawnCommandStr_;

    std::shared_ptr<Watch> watch_;
    uint64_t run_ = 0;
    pid_t pid_ = 0;
    int exitCode_ = 0;
};
