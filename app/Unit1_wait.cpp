// Waiting for the contacts server: the windows painted meanwhile, input made during the wait
// dropped, and the check of whether the server answers at all.
#include "app/Unit1_wait.h"

#include "app/Unit1.h"
#include "app/Unit1_glue.h"
#include "db/base/qbhash.h"
#include "db/client/qbclcfg.h"
#include "db/remote/qbclreng.h"
#include "db/remote/qblegacy.h"

#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QBPrompt.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QPointer>
#include <QWindow>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr auto kPaintOnly =
    QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers;

// Paints what is due and sends it to the display: the window system's queue (and with it what was
// drawn) is taken only when the loop is woken, not at every pass.
void paintPending() {
    if (QAbstractEventDispatcher* events = QAbstractEventDispatcher::instance()) events->wakeUp();
    QCoreApplication::processEvents(kPaintOnly);
}

bool isInput(QEvent::Type type) {
    switch (type) {
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

// The widget an event is for: the window system hands mouse events to a widget's window first.
QWidget* widgetOf(QObject* o) {
    if (o->isWidgetType()) return static_cast<QWidget*>(o);
    if (auto* window = qobject_cast<QWindow*>(o))
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowHandle() == window) return w;
    return nullptr;
}

// Keys and clicks made while a server is waited for are dropped: run afterwards, each would act on
// what the wait has changed, or start another wait. A window the wait itself opens (a log-on, a
// message) is the user's to answer: it takes input, under the normal cursor.
class InputDropped : public QObject {
public:
    InputDropped() : before_(QApplication::activeModalWidget()) {
        QCoreApplication::instance()->installEventFilter(this);
    }
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
        for (size_t i = 0; i < answering_.size(); ++i)
            QApplication::restoreOverrideCursor();
    }
    InputDropped(const InputDropped&) = delete;
    InputDropped& operator=(const InputDropped&) = delete;

protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Show || e->type() == QEvent::Hide) {
            cursorFor(o, e->type() == QEvent::Show);
            return false;
        }
        return isInput(e->type()) && !toWindowOfTheWait(o);
    }

private:
    bool toWindowOfTheWait(QObject* o) const {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == before_) return false;
        for (QObject* p = widgetOf(o); p; p = p->parent())
            if (p == modal) return true;
        return false;
    }
    void cursorFor(QObject* o, bool shown) {
        if (!o->isWidgetType()) return;
        auto* w = static_cast<QWidget*>(o);
        if (!w->isWindow() || !w->isModal() || w == before_) return;
        auto at = std::find(answering_.begin(), answering_.end(), w);
        if (shown && at == answering_.end()) {
            answering_.emplace_back(w);
            QApplication::setOverrideCursor(Qt::ArrowCursor);
        } else if (!shown && at != answering_.end()) {
            answering_.erase(at);
            QApplication::restoreOverrideCursor();
        }
    }

    QPointer<QWidget> before_;                 // the window in front when the wait began
    std::vector<QPointer<QWidget>> answering_; // windows of the wait's own, shown
};

// The busy cursor and the status bar naming the server, painted at once; afterwards the status
// bar says what it said before (when nothing else has been said meanwhile).
class WaitShown {
public:
    WaitShown(TForm1* form, std::string text, std::string after)
        : form_(form), text_(std::move(text)), after_(std::move(after)) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        form_->setStatusBarText(text_);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible()) w->repaint();
        paintPending();
    }
    ~WaitShown() {
        QApplication::restoreOverrideCursor();
        if (form_->statusBarText() == text_) form_->setStatusBarText(after_);
    }
    WaitShown(const WaitShown&) = delete;
    WaitShown& operator=(const WaitShown&) = delete;

private:
    TForm1* form_;
    std::string text_, after_;
};

enum class Probe { Connected, Refused, Failed, Unknown };

// A plain connect to a TCP/IP server's address. A host that refuses it has answered at once, where
// the engine's own connect would try again every second until its time-out.
Probe probeServer(const std::string& server, uint32_t timeoutMs, std::string& why) {
    std::string address = server.substr(server.find('@') == std::string::npos ? 0 : server.find('@') + 1);
    address.resize(std::min<size_t>(address.size(), 31));
    std::string host = address, port = std::to_string(GetTCPPort());
    if (const size_t colon = address.rfind(':'); colon != std::string::npos) {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // What cannot be looked up here is left to the engine, which says why in its words.
    if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return Probe::Unknown;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        freeaddrinfo(found);
        return Probe::Unknown; // no socket here says nothing about the server
    }
    int err = 0;
    if (::connect(s, found->ai_addr, found->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            int ready;
            do
                ready = ::poll(&p, 1, int(std::min<uint32_t>(timeoutMs, 600000)));
            while (ready < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            if (ready <= 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = ETIMEDOUT;
        }
    }
    freeaddrinfo(found);
    ::close(s);
    if (err == 0) return Probe::Connected;
    if (err == ECONNREFUSED) {
        why = "Connection refused by " + host + " on port " + port + ".";
        return Probe::Refused;
    }
    why = err == ETIMEDOUT ? "Timed out waiting for reply" : std::generic_category().message(err);
    return Probe::Failed;
}

} // namespace

void runWhilePainting(const std::function<void()>& work, const std::function<void()>& whenSlow) {
    // Work this short is not worth a sign: nothing else runs meanwhile, as in any handler.
    constexpr auto kSlow = std::chrono::milliseconds(150);
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread worker([&] {
        work();
        finished.set_value();
    });
    if (!whenSlow || done.wait_for(kSlow) != std::future_status::ready) {
        if (whenSlow) whenSlow();
        do
            paintPending();
        while (done.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready);
    }
    worker.join();
}

struct ServerWait::Held {
    InputDropped input; // first: what the first painting lets through is dropped as well
    WaitShown shown;
};

ServerWait::ServerWait(TForm1* form, const std::string& server)
    : held_(new Held{{}, {form, "Connecting to the contacts server " + server + " ...", ""}}) {}

ServerWait::~ServerWait() = default;

bool TForm1::serverAnswers(std::string& why, bool* refused, const std::function<void()>& whenSlow) {
    if (refused) *refused = false;
    const std::string server = contactsServer();
    if (server.empty()) return true;
    // A transport of its own: one that has given up on a connect may not connect again.
    const uint32_t timeout = uint32_t(contactsClient ? contactsClient->TimeOut() : 10000);
    TqbResultCode rc = 0;
    Probe probe = Probe::Unknown;
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
        runWhilePainting(
            [&] {
                if (protocol == TqbProtocolClass::TCPIP) probe = probeServer(server, timeout, why);
                if (probe == Probe::Connected || probe == Probe::Unknown) {
                    TqbHandle id = 0;
                    uint32_t hash = HashShStr(qbDefaultPassword);
                    rc = engine->ClientAdd(id, qbDefaultUserName, qbDefaultUserName, timeout, hash);
                    if (rc == 0) engine->ClientRemove(id);
                }
                // A transport still connecting stops once its connect has given up: waited for here.
                engine.reset(); // before its transport, which it still knows
                transport.reset();
            },
            whenSlow);
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    if (probe == Probe::Refused || probe == Probe::Failed) {
        if (refused) *refused = probe == Probe::Refused;
        return false;
    }
    // A login refused is an answer too: the reconnect's own login then asks for the user's.
    if (rc == 0 || rc == kLoginUnknownUser) return true;
    why = EqbDatabaseError::CreateViaCode(rc).what();
    return false;
}

bool TForm1::serverResponsive() {
    const std::string server = contactsServer();
    if (server.empty()) return true;
    // A use that comes in while the server is asked (a queued call) waits for nothing more.
    if (checkingServer_) return false;
    checkingServer_ = true;
    bool answers = false, refused = false;
    std::string why;
    {
        // Shown only once it takes long enough to be seen; from then on input is dropped.
        const std::string before = statusBarText();
        std::optional<InputDropped> input;
        std::optional<WaitShown> shown;
        answers = serverAnswers(why, &refused, [&] {
            input.emplace();
            shown.emplace(this, "Waiting for the contacts server " + server + " ...", before);
        });
        shown.reset();
    }
    checkingServer_ = false;
    // A refused connection means the server went: the use finds the loss, and asks about it.
    if (answers || refused) return true;
    setStatusBarText("Error: The contacts server " + server + " does not answer: " + why);
    return false;
}

void TForm1::askServerLogin(std::string& user, std::string& password, bool& ok) {
    // The first time only because no user was given; later because the server refused the one typed.
    if (loginsAsked_++ > 0) {
        cls::MessageDlg("The contacts server " + contactsServer() +
                            " does not accept this user name and password. Type them again.",
                        cls::MsgDlgType::Error, cls::MsgButtons::Ok);
        password.clear();
    }
    ok = cls::ExecuteLoginDialog(user, password);
    loginCancelled_ = !ok;
}

bool TForm1::loginRefused(const std::exception& e) {
    const auto* d = dynamic_cast<const EqbDatabaseError*>(&e);
    const std::string server = contactsServer();
    if (!d || d->ErrorCode != kLoginUnknownUser || server.empty() || loginsAsked_ == 0) return false;
    const std::string how =
        loginCancelled_ ? "Logging on to the contacts server " + server + " was cancelled"
                        : "The contacts server " + server + " did not accept the user name and password";
    showException(how + ": Pagewright runs without contacts. Their next use asks again.");
    return true;
}
