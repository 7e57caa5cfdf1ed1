// Process spawner: posix_spawn, a thread that waits for the program's end, and the events.
#include "controls/StSpawn.h"

#include "classlib/SysUtils.h"

#include <QMetaObject>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

// The error numbers of the original platform's program start.
uint16_t spawnErrorCode(int err) {
    switch (err) {
    case ENOENT:
        return 2; // file not found
    case ENOTDIR:
        return 3; // path not found
    case EACCES:
    case EPERM:
        return 5; // access denied
    case ENOMEM:
    case EAGAIN:
        return 8; // out of memory
    case ENOEXEC:
    case E2BIG:
        return 11; // bad format
    default:
        return 31; // nothing can start it
    }
}

template <typename F> void safely(F&& f) {
    try {
        f();
    } catch (...) {
        cls::HandleCurrentException();
    }
}

} // namespace

TStSpawnApplication::TStSpawnApplication(QObject* AOwner) : TStComponent(AOwner) {}

TStSpawnApplication::~TStSpawnApplication() {
    if (watch_) {
        std::lock_guard<std::mutex> g(watch_->lock);
        watch_->target = nullptr;
    }
}

void TStSpawnApplication::SetDefaultDir(const std::string& V) {
    if (idle_) defaultDir_ = V;
}
void TStSpawnApplication::SetFileName(const std::string& V) {
    if (idle_) fileName_ = V;
}
void TStSpawnApplication::SetNotifyWhenDone(bool V) {
    if (idle_) notifyWhenDone_ = V;
}
void TStSpawnApplication::SetRunParameters(const std::string& V) {
    if (idle_) runParameters_ = V;
}
void TStSpawnApplication::SetShowState(TStShowState V) {
    if (idle_) showState_ = V;
}
void TStSpawnApplication::SetSpawnCommand(TStSpawnCommand V) {
    if (idle_) spawnCommand_ = V;
}
void TStSpawnApplication::SetTimeOut(int V) {
    if (idle_ && V >= 0) timeOut_ = V;
}
void TStSpawnApplication::SetSpawnCommandStr(const std::string& V) {
    if (idle_) spawnCommandStr_ = V;
}
void TStSpawnApplication::SetOnCompleted(std::function<void(QObject*)> H) {
    if (idle_) onCompleted_ = std::move(H);
}
void TStSpawnApplication::SetOnSpawnError(std::function<void(QObject*, uint16_t)> H) {
    if (idle_) onSpawnError_ = std::move(H);
}
void TStSpawnApplication::SetOnTimeOut(std::function<void(QObject*)> H) {
    if (idle_) onTimeOut_ = std::move(H);
}

std::vector<std::string> TStSpawnApplication::SplitParameters(const std::string& Text) {
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false;
    char quote = 0;
    for (char c : Text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                cur += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inArg = true;
        } else if (c == ' ' || c == '\t') {
            if (inArg) args.push_back(cur);
            cur.clear();
            inArg = false;
        } else {
            cur += c;
            inArg = true;
        }
    }
    if (inArg) args.push_back(cur);
    return args;
}

void TStSpawnApplication::spawnError(uint16_t code) {
    if (onSpawnError_) safely([&] { onSpawnError_(this, code); });
}

bool TStSpawnApplication::Execute() {
    if (!idle_) return false;
    // Printing and other verbs belong to a desktop's file associations, which this platform has not.
    if (spawnCommand_ != scOpen || fileName_.empty()) {
        spawnError(fileName_.empty() ? 2 : 31);
        return false;
    }
    std::vector<std::string> args{fileName_};
    for (auto& a : SplitParameters(runParameters_))
        args.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!defaultDir_.empty()) posix_spawn_file_actions_addchdir_np(&actions, defaultDir_.c_str());
    pid_t pid = 0;
    int err = posix_spawnp(&pid, fileName_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        spawnError(spawnErrorCode(err));
        return false;
    }
    pid_ = pid;
    uint64_t run = ++run_;
    if (notifyWhenDone_) idle_ = false;

    // A thread waits for the end (also without NotifyWhenDone, so that no zombie is left) and
    // hands the status to the event loop while this component still exists.
    if (!watch_) {
        watch_ = std::make_shared<Watch>();
        watch_->target = this;
    }
    bool notify = notifyWhenDone_;
    std::thread([watch = watch_, pid, run, notify] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!notify) return;
        std::lock_guard<std::mutex> g(watch->lock);
        if (TStSpawnApplication* t = watch->target)
            QMetaObject::invokeMethod(
                t, [t, run, status] { t->finished(run, status); }, Qt::QueuedConnection);
    }).detach();

    if (notifyWhenDone_ && timeOut_ > 0) {
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        QObject::connect(timer_.get(), &QTimer::timeout, this, [this, run] { timedOut(run); });
        timer_->start(timeOut_ * 1000);
    }
    return true;
}

void TStSpawnApplication::finished(uint64_t run, int status) {
    if (run != run_ || idle_) return; // a program already given up on by its time-out
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    timer_.reset();
    idle_ = true;
    if (onCompleted_) safely([&] { onCompleted_(this); });
}

void TStSpawnApplication::timedOut(uint64_t run) {
    if (run != run_ || idle_) return;
    idle_ = true;
    if (onTimeOut_) safely([&] { onTimeOut_(this); });
}
