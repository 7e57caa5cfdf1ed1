// The application object: window ownership, the Qt-driven message loop, main-window close,
// and the exception display.
#include "classlib/ui/Application.h"

#include "classlib/SysUtils.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/MessagePump.h"
#include "platform/Messages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace cls {

TApplication Application;

namespace {

bool onGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

// Ends the loop when the main window has really closed (its close was not refused).
class CloseWatch : public QObject {
public:
    CloseWatch(TApplication& app, QWidget* main) : app_(app), main_(main) { main->installEventFilter(this); }

protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        if (obj == main_ && ev->type() == QEvent::Close)
            QTimer::singleShot(0, this, [this] {
                if (main_ && !main_->isVisible()) app_.Terminate();
            });
        return false;
    }

private:
    TApplication& app_;
    QPointer<QWidget> main_;
};

} // namespace

TApplication::TApplication() = default;

TApplication::~TApplication() = default; // windows must be gone with the QApplication: Run frees them

void TApplication::Initialize() {
    InstallMessagePump();
    SetApplicationExceptionHandler([this](const std::exception& e) { ShowException(e.what()); });
    plat::SetDispatchExceptionHandler([this](std::exception_ptr e) { HandleException(e); });
}

void TApplication::adopt(QWidget* form) {
    forms_.emplace_back(form);
}

int TApplication::Run() {
    QWidget* main = MainForm();
    if (!main || terminated_) {
        DestroyForms();
        return 0;
    }
    closeWatch_ = std::make_unique<CloseWatch>(*this, main);
    running_ = true;
    main->show();
    int code = terminated_ ? 0 : QApplication::exec();
    running_ = false;
    closeWatch_.reset();
    DestroyForms();
    terminated_ = false; // this run is over; a later Run starts afresh
    return code;
}

void TApplication::Terminate(int exitCode) {
    terminated_ = true;
    if (running_) QCoreApplication::exit(exitCode);
}

void TApplication::DestroyForms() {
    std::vector<QPointer<QWidget>> forms;
    forms.swap(forms_);
    if (forms.empty()) return;
    delete forms.front().data();
    for (auto it = forms.rbegin(); it != forms.rend() - 1; ++it)
        delete it->data();
}

void TApplication::HandleException(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (...) {
        HandleCurrentException(); // the class library's hook: silent for EAbort, else ShowException
    }
}

void TApplication::ShowException(const std::string& message) {
    if (onGuiThread()) {
        try {
            dialogs().MessageBox(message, title_, MsgButtons::Ok, MsgDlgType::Error);
        } catch (...) {
            std::fprintf(stderr, "%s\n", message.c_str()); // the display itself failed: keep the loop alive
        }
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [this, message] { ShowException(message); }, Qt::QueuedConnection);
    else
        std::fprintf(stderr, "%s\n", message.c_str());
}

} // namespace cls
