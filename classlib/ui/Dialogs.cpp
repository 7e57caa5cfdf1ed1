// The dialog service: the Qt implementation, the scripted one for tests, and the shortcuts.
#include "classlib/ui/Dialogs.h"

#include "classlib/ui/Application.h"
#include "platform/Text.h"

#include <QApplication>
#include <QMessageBox>
#include <atomic>

namespace cls {
namespace {

std::atomic<DialogService*> g_service{nullptr};

QString toQString(const std::string& s) {
    std::u16string u = plat::AnsiToUtf16(s);
    return QString::fromUtf16(u.data(), qsizetype(u.size()));
}

const char* captionOf(MsgDlgType type) {
    switch (type) {
    case MsgDlgType::Warning:
        return "Warning";
    case MsgDlgType::Error:
        return "Error";
    case MsgDlgType::Information:
        return "Information";
    case MsgDlgType::Confirmation:
        return "Confirm";
    case MsgDlgType::Custom:
        break;
    }
    return "";
}

} // namespace

DialogService& dialogs() {
    static QtDialogs real;
    DialogService* s = g_service.load();
    return s ? *s : real;
}

void setDialogs(DialogService* service) {
    g_service.store(service);
}

void ShowMessage(const std::string& text) {
    dialogs().MessageBox(text, Application.Title(), MsgButtons::Ok, MsgDlgType::Custom);
}

int MessageDlg(const std::string& text, MsgDlgType type, MsgButtons buttons) {
    std::string caption = type == MsgDlgType::Custom ? Application.Title() : captionOf(type);
    return dialogs().MessageBox(text, caption, buttons, type);
}

void Beep() {
    dialogs().Beep();
}

int QtDialogs::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                          MsgDlgType type) {
    QMessageBox box;
    box.setWindowTitle(toQString(caption));
    box.setText(toQString(text));
    switch (type) {
    case MsgDlgType::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgDlgType::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case MsgDlgType::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgDlgType::Confirmation:
        box.setIcon(QMessageBox::Question);
        break;
    case MsgDlgType::Custom:
        break;
    }
    switch (buttons) {
    case MsgButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MsgButtons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case MsgButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case MsgButtons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return mrOk;
    case QMessageBox::Yes:
        return mrYes;
    case QMessageBox::No:
        return mrNo;
    default:
        return mrCancel; // closed by Escape or the title bar
    }
}

void QtDialogs::Beep() {
    QApplication::beep();
}

ScriptedDialogs::ScriptedDialogs() : previous_(g_service.exchange(this)) {}

ScriptedDialogs::~ScriptedDialogs() {
    DialogService* self = this;
    g_service.compare_exchange_strong(self, previous_);
}

void ScriptedDialogs::Answer(int result) {
    std::lock_guard lk(mu_);
    answers_.push_back(result);
}

std::vector<ScriptedDialogs::Shown> ScriptedDialogs::Boxes() const {
    std::lock_guard lk(mu_);
    return boxes_;
}

std::vector<std::string> ScriptedDialogs::Texts() const {
    std::lock_guard lk(mu_);
    std::vector<std::string> t;
    for (const Shown& s : boxes_)
        t.push_back(s.text);
    return t;
}

int ScriptedDialogs::Beeps() const {
    std::lock_guard lk(mu_);
    return beeps_;
}

void ScriptedDialogs::Clear() {
    std::lock_guard lk(mu_);
    boxes_.clear();
    answers_.clear();
    beeps_ = 0;
}

int ScriptedDialogs::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                                MsgDlgType type) {
    std::lock_guard lk(mu_);
    boxes_.push_back(Shown{text, caption, buttons, type});
    if (!answers_.empty()) {
        int r = answers_.front();
        answers_.pop_front();
        return r;
    }
    return buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoCancel ? mrYes : mrOk;
}

void ScriptedDialogs::Beep() {
    std::lock_guard lk(mu_);
    ++beeps_;
}

} // namespace cls
