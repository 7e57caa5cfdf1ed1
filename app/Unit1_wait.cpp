// Waiting for the contacts server: the windows painted meanwhile, input made during the wait
// dropped, and the check of whether the server answers at all.
#include "app/Unit1_wait.h"

#include "app/Unit1.h"
#include "app/Unit1_glue.h"
#include "db/base/qbhash.h"
#include "db/client/qbclcfg.h"
#include "db/remote/qbclreng.h"
#include "db/remote/qblegacy.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <chrono>
#include <future>
#include <thread>

namespace {

constexpr auto kPaintOnly =
    QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers;

// Paints what is due and sends it to the display: the window system's queue (and with it what was
// drawn) is taken only when the loop is woken, not at every pass.
void paintPending() {
    if (QAbstractEventDispatcher* events = QAbstractEventDispatcher::instance()) events->wakeUp();
    QCoreApplication::processEvents(kPaintOnly);
}

// Keys and clicks made while a server is waited for are dropped: run afterwards, each would act on
// what the wait has changed, or start another wait.
class InputDropped : public QObject {
public:
    InputDropped() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputDropped() override {
        // What came in meanwhile waits in the window system's queue, held back by the wait: it is
        // taken now, and dropped.
        constexpr auto kNoTimers = QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers;
        if (QAbstractEventDispatcher* events = QAbstractEventDispatcher::instance()) {
            for (int round = 0; round < 3; ++round) {
                events->wakeUp();
                events->processEvents(kNoTimers);
            }
        }
        QCoreApplication::instance()->removeEventFilter(this);
    }
    InputDropped(const InputDropped&) = delete;
    InputDropped& operator=(const InputDropped&) = delete;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }
};

} // namespace

void runWhilePainting(const std::function<void()>& work) {
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread worker([&] {
        work();
        finished.set_value();
    });
    do
        paintPending();
    while (done.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready);
    worker.join();
}

struct ServerWait::Held {
    InputDropped input;
    TForm1* form;
    std::string text;
};

ServerWait::ServerWait(TForm1* form, const std::string& server)
    : held_(new Held{{}, form, "Connecting to the contacts server " + server + " ..."}) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    form->setStatusBarText(held_->text);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) w->repaint();
    paintPending();
}

ServerWait::~ServerWait() {
    QApplication::restoreOverrideCursor();
    if (held_->form->statusBarText() == held_->text) held_->form->setStatusBarText("");
}

bool TForm1::serverAnswers(std::string& why) {
    const std::string server = contactsServer();
    if (server.empty()) return true;
    // A transport of its own: one that has given up on a connect may not connect again.
    const uint32_t timeout = uint32_t(contactsClient ? contactsClient->TimeOut() : 10000);
    TqbResultCode rc = 0;
    try {
        TqbProtocolClass protocol = kDefaultProtocolClass;
        std::string protocolName;
        ReadProtocol(protocol, protocolName);
        TqbOwned<TqbLegacyTransport> transport(new TqbLegacyTransport());
        transport->SetMode(qbtmSend);
        transport->SetProtocol(protocol == TqbProtocolClass::TCPIP    ? ptTCPIP
                               : protocol == TqbProtocolClass::IPXSPX ? ptIPXSPX
                                                                      : ptSingleUser);
        transport->SetServerName(server);
        TqbOwned<TQBRemoteServerEngine> engine(new TQBRemoteServerEngine());
        engine->TimeOut = timeout;
        engine->SetTransport(transport.get());
        transport->SetEnabled(true);
        transport->SetState(qbsStarted);
        engine->SetState(qbsStarted);
        runWhilePainting([&] {
            TqbHandle id = 0;
            uint32_t hash = HashShStr(qbDefaultPassword);
            rc = engine->ClientAdd(id, qbDefaultUserName, qbDefaultUserName, timeout, hash);
            if (rc == 0) engine->ClientRemove(id);
            // A transport still connecting stops once its connect has given up: waited for here.
            engine.reset(); // before its transport, which it still knows
            transport.reset();
        });
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    // A login refused is an answer too: the reconnect's own login then asks for the user's.
    if (rc == 0 || rc == kLoginUnknownUser) return true;
    why = EqbDatabaseError::CreateViaCode(rc).what();
    return false;
}
