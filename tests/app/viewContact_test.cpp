// The modal windows keeping the message queue (posted messages and window timers) running while
// they are open.
#include "app/about.h"
#include "app/contactsGrid.h"
#include "app/viewContact.h"

#include "classlib/ui/Dialogs.h"
#include "platform/Messages.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QTimer>
#include <functional>

using namespace snpptest;

namespace {

using Windows = WindowTest;

// Runs a window modally; while it is open, a hidden window gets a posted message and its timer
// ticks, and then the window is closed by close(). Returns false when the queue stalled.
bool queueRunsWhileModal(QDialog* form, const std::function<int()>& showModal) {
    int posted = 0, ticks = 0;
    plat::HWND hwnd = plat::CreateHiddenWindow([&](plat::HWND, plat::UINT msg, plat::WPARAM, plat::LPARAM) {
        if (msg == plat::WM_USER + 7) ++posted;
        if (msg == plat::WM_TIMER) ++ticks;
        return plat::LRESULT(0);
    });
    bool closedByCheck = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, form, [&] {
        if (!form->isVisible()) return;
        if (posted == 0) plat::PostMessage(hwnd, plat::WM_USER + 7, 0, 0);
        if (posted >= 1 && ticks >= 3) {
            closedByCheck = true;
            form->close();
        }
    });
    check.start(5);
    QTimer watchdog; // generous: only there so that a stall fails instead of hanging
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, form, [&] { form->close(); });
    watchdog.start(30000);
    plat::SetTimer(hwnd, 1, 10);
    // The timers must fire on the real clock here.
    plat::SetClock(nullptr);
    showModal();
    plat::KillTimer(hwnd, 1);
    plat::DestroyWindow(hwnd);
    return closedByCheck && posted >= 1 && ticks >= 3;
}

TEST_F(Windows, ModalWindowsKeepTheMessageQueueRunning) {
    startApp({{"Alice", "5551234", 1, "", {}}});
    TviewContactForm view;
    EXPECT_TRUE(queueRunsWhileModal(&view, [&] { return view.ShowModal(); }));
    TAboutForm about;
    EXPECT_TRUE(queueRunsWhileModal(&about, [&] { return about.ShowModal(); }));
    TcontactsGridForm contacts;
    EXPECT_TRUE(queueRunsWhileModal(&contacts, [&] { return contacts.ShowModal(); }));
    EXPECT_FALSE(contacts.contactsTable->Active());
}

} // namespace
