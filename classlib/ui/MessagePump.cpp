// The Qt side of the message layer: a socket notifier on the loop's wake descriptor and a
// single-shot timer for the next window timer, both running the pending messages.
#include "classlib/ui/MessagePump.h"

#include "platform/Messages.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <dlfcn.h>
#include <poll.h>

namespace cls {
namespace {

// Qt's glib loop polls the message layer's descriptor and the layer then asks it which watch is
// ready: two calls per socket event. Polling the layer's own descriptors in glib's place finds
// both at once. Looked up at run time, so a Qt built without glib simply keeps its own poll.
// Glib's poll record is struct pollfd on Unix.
void pollThroughTheMessageLayer() {
    using PollFunc = int (*)(pollfd*, unsigned, int);
    using SetPollFunc = void (*)(void*, PollFunc);
    using GetContext = void* (*)();
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib")) return;
    auto setPoll = reinterpret_cast<SetPollFunc>(dlsym(RTLD_DEFAULT, "g_main_context_set_poll_func"));
    auto threadContext =
        reinterpret_cast<GetContext>(dlsym(RTLD_DEFAULT, "g_main_context_get_thread_default"));
    auto defaultContext = reinterpret_cast<GetContext>(dlsym(RTLD_DEFAULT, "g_main_context_default"));
    if (!setPoll || !threadContext || !defaultContext) return;
    void* context = threadContext();
    if (!context) context = defaultContext();
    setPoll(context,
            [](pollfd* fds, unsigned n, int timeoutMs) { return plat::PollWithLoop(fds, n, timeoutMs); });
}

constexpr int kAloneMs = 5; // well under a frame

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
    // runs what is pending and re-arms the timer for the next window timer.
    void pump() {
        plat::ProcessPendingMessages();
        // A conversation's replies that follow each other closely are served here, not one per
        // round of Qt's loop; Qt gets its turn as soon as it has something, or after kAloneMs.
        plat::ProcessWhileOutsideIdle(kAloneMs);
        // The timer is re-armed only when the next due time moved: a round per reply stays cheap.
        const int64_t d = plat::NextTimerDelayMs();
        if (d < 0) {
            timer_.stop();
            return;
        }
        const uint64_t due = plat::NowMs() + uint64_t(d);
        if (timer_.isActive() && due == armedDue_) return;
        armedDue_ = due;
        timer_.start(int(std::min<int64_t>(d, INT_MAX)));
    }

    QSocketNotifier notifier_;
    QTimer timer_;
    uint64_t armedDue_ = 0; // on the message layer's clock
};

thread_local QPointer<MessagePump> t_pump;

} // namespace

void InstallMessagePump() {
    if (t_pump) return;
    QCoreApplication* app = QCoreApplication::instance();
    QObject* parent = app && app->thread() == QThread::currentThread() ? app : nullptr;
    t_pump = new MessagePump(parent);
    if (parent) pollThroughTheMessageLayer();
}

bool MessagePumpInstalled() {
    return !t_pump.isNull();
}

} // namespace cls
