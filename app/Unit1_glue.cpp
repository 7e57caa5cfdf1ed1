// The main window's ties to the other windows, the dialog service and the application object.
#include "app/Unit1_glue.h"

#include "app/Unit1.h"
#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/results.h"

#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <utility>

void showMessage(const std::string& text) {
    cls::ShowMessage(text);
}

void showException(const std::string& text) {
    cls::Application.ShowException(text);
}

// The title goes to the application object only: as the application's display name the window
// system would add it to every window caption a second time.
void setApplicationTitle(const std::string& title) {
    cls::Application.SetTitle(title);
}

void placeBeside(QWidget* window, const QWidget* main) {
    constexpr int kGap = 8;
    const QRect m = main->frameGeometry();
    const QSize size = window->frameGeometry().size();
    const QScreen* screen = main->screen();
    const QRect room = screen ? screen->availableGeometry() : QRect(m.topLeft(), size);
    int x = m.right() + 1 + kGap; // right of the main window, else left of it, else as far right as fits
    if (x + size.width() > room.right() + 1) {
        x = m.left() - kGap - size.width();
        if (x < room.left()) x = std::max(room.left(), room.right() + 1 - size.width());
    }
    const int y = std::clamp(m.top(), room.top(), std::max(room.top(), room.bottom() + 1 - size.height()));
    window->move(x, y);
}

void hideOtherWindowsControls() {
    if (configForm) configForm->servicesTabSheet->hide();
    if (contactsGridForm) {
        contactsGridForm->servicelistPanel->hide();
        contactsGridForm->serviceLabel->hide();
        contactsGridForm->ServicenumberEdit->hide();
        contactsGridForm->passwordLabel->hide();
        contactsGridForm->passwordEdit->hide();
    }
}

void hidePasswordEditor() {
    if (contactsGridForm) {
        contactsGridForm->passwordLabel->hide();
        contactsGridForm->passwordEdit->hide();
        contactsGridForm->passwordEdit->SetDataSource(nullptr);
    }
}

void contactsLosing() {
    if (contactsGridForm && contactsGridForm->isVisible()) contactsGridForm->keepEdit();
}

void contactsReconnected(bool back) {
    if (contactsGridForm && contactsGridForm->isVisible()) contactsGridForm->contactsBack(back);
}

void TForm1::reportException(const std::string& what) {
    showException(what);
}

// A fast server produces lines far quicker than a screen shows them, and updating and painting the
// memo once per line would cost more than the dialogue itself: a line after a quiet spell shows at
// once, and a burst of lines is added twice a second, still quicker than one reads them.
void TForm1::resultsAdd(std::string line) {
    if (!sendingMemoForm) return;
    pendingResults_.push_back(std::move(line));
    if (!resultsTimer_) {
        resultsTimer_ = new QTimer(this);
        resultsTimer_->setSingleShot(true);
        connect(resultsTimer_, &QTimer::timeout, this, [this] { resultsFlush(); });
    }
    if (resultsTimer_->isActive()) return;
    const uint64_t now = plat::NowMs();
    const uint64_t next = lastResultsFlush_ + kResultsFlushMs;
    resultsTimer_->start(now >= next ? 0 : int(next - now));
}

void TForm1::resultsFlush() {
    if (pendingResults_.empty()) return;
    lastResultsFlush_ = plat::NowMs();
    std::vector<std::string> lines = std::exchange(pendingResults_, {});
    if (sendingMemoForm) sendingMemoForm->sendingMemo->appendLines(std::move(lines));
}

void TForm1::resultsClear() {
    pendingResults_.clear();
    if (sendingMemoForm) sendingMemoForm->sendingMemo->clear();
}

void TForm1::resultsShow() {
    if (!sendingMemoForm) return;
    if (!sendingMemoForm->isVisible()) placeBeside(sendingMemoForm, this);
    sendingMemoForm->show();
    sendingMemoForm->raise();
}

void TForm1::resultsClose() {
    if (sendingMemoForm) sendingMemoForm->close();
}
