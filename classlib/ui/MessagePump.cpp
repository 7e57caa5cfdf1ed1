// The Qt side of the message layer: a socket notifier on the loop's wake descriptor and a
// single-shot timer for the next window timer, both running the pending messages. After a socket
// was served the pump looks for the next reply a little while before giving way to Qt.
#include "classlib/ui/MessagePump.h"

#include "platform/Messages.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>

namespace cls {
namespace {

// A near server answers within tens of microseconds, while putting the thread to sleep and waking
// it again through Qt's poll costs about as much again (far more on a virtual machine). So after a
// socket was served the loop is looked at for this long before the pump gives way...
constexpr qint64 kAwaitNs = 50'000;
// ...and for no longer than this in all, so painting and input still run every few milliseconds.
constexpr qint64 kHoldNs = 8'000'000;

class MessagePump : public QObject {
public:
    explicit MessagePump(QObject* parent)
        : QObject(parent), notifier_(plat::LoopWakeFd(), QSocketNotifier::Read, this), timer_(this) {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { pump(); });
        connect(&timer_, &QTimer::timeout, this, [this] { pump(); });
        pump();
    }

private:
    // Re-entered from nested loops (a modal dialog opened by a message handler): each level
    // runs what is pending and re-arms the timer for the next window timer; only the outermost
    // level awaits replies.
    void pump() {
        ++depth_;
        if (plat::ProcessPendingMessages() && depth_ == 1) awaitReplies();
        --depth_;
        int64_t d = plat::NextTimerDelayMs();
        if (d < 0)
            timer_.stop();
        else
            timer_.start(int(std::min<int64_t>(d, INT_MAX)));
    }

    void awaitReplies() {
        QElapsedTimer held;
        held.start();
        while (held.nsecsElapsed() < kHoldNs) {
            const qint64 from = held.nsecsElapsed();
            bool ready;
            while (!(ready = plat::WaitForWork(0)) && held.nsecsElapsed() - from < kAwaitNs) {
            }
            if (!ready) return;
            plat::ProcessPendingMessages();
        }
    }

    QSocketNotifier notifier_;
    QTimer timer_;
    int depth_ = 0;
};

thread_local QPointer<MessagePump> t_pump;

} // namespace

void InstallMessagePump() {
    if (t_pump) return;
    QCoreApplication* app = QCoreApplication::instance();
    QObject* parent = app && app->thread() == QThread::currentThread() ? app : nullptr;
    t_pump = new MessagePump(parent);
}

bool MessagePumpInstalled() {
    return !t_pump.isNull();
}

} // namespace cls
