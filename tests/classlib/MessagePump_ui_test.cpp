// Tests of the Qt message pump: the GUI thread's queue runs under Qt's event loop, also inside
// a modal dialog opened by a message handler.
#include "classlib/ui/MessagePump.h"
#include "platform/Messages.h"
#include "platform/testing/ScopedManualClock.h"
#include "tests/classlib/QtLoop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace plat;
using namespace std::chrono_literals;
using qttest::runQtUntil;

namespace {

struct ManualClockScope : plat::ScopedManualClock {
    ManualClockScope() : ScopedManualClock(5000) {}
};

} // namespace

TEST(MessagePump, QtLoopRunsPostedMessagesAndTimers) {
    cls::InstallMessagePump();
    cls::InstallMessagePump(); // a second install is harmless
    EXPECT_TRUE(cls::MessagePumpInstalled());
    ManualClockScope mc;
    std::vector<UINT> seen;
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        seen.push_back(m);
        return 0;
    });
    PostMessage(w, WM_USER + 1, 0, 0);
    std::thread([&] { PostMessage(w, WM_USER + 2, 0, 0); }).join();
    runQtUntil([&] { return seen.size() == 2; });
    EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));

    SetTimer(w, 1, 333);
    for (int i = 1; i <= 3; ++i) {
        mc.clock.Advance(333);
        runQtUntil([&] { return seen.size() == size_t(2 + i); });
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), WM_TIMER), 3);
    DestroyWindow(w);
}

TEST(MessagePump, ModalDialogKeepsPostedMessagesTimersAndDescriptorsRunning) {
    cls::InstallMessagePump();
    ManualClockScope mc;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);

    QDialog dlg;
    std::atomic<int> posted{0}, ticks{0}, reads{0};
    std::atomic<bool> dialogUp{false};
    int outsideModal = 0;
    bool finished = false;
    auto checkModal = [&] {
        if (QApplication::activeModalWidget() != &dlg) ++outsideModal;
    };
    auto maybeClose = [&] {
        if (posted == 3 && ticks >= 3 && reads >= 2) dlg.accept();
    };
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER) { // opens the dialog from inside a dispatched message
            QTimer::singleShot(60000, &dlg, &QDialog::reject); // safety only
            QTimer::singleShot(0, &dlg, [&] { dialogUp = true; });
            dlg.exec();
            finished = true;
        } else if (m == WM_USER + 1) {
            checkModal();
            ++posted;
        } else if (m == WM_TIMER) {
            checkModal();
            ++ticks;
        }
        maybeClose();
        return 0;
    });
    WatchId watch = WatchFd(fds[0], POLLIN, [&](int fd, short) {
        char buf[8];
        if (read(fd, buf, sizeof buf) > 0) {
            checkModal();
            ++reads;
        }
        maybeClose();
    });
    SetTimer(w, 1, 333);
    PostMessage(w, WM_USER, 0, 0);

    // Another thread feeds the loop while the dialog is up.
    std::thread feeder([&] {
        for (int i = 0; i < 6000 && !dialogUp; ++i)
            std::this_thread::sleep_for(10ms);
        for (int i = 0; i < 3; ++i)
            PostMessage(w, WM_USER + 1, 0, 0);
        ASSERT_EQ(write(fds[1], "a", 1), 1);
        for (int i = 0; i < 6000 && reads < 1; ++i)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(write(fds[1], "b", 1), 1);
        for (int i = 1; i <= 3; ++i) {
            mc.clock.Advance(333);
            for (int j = 0; j < 60000 && ticks < i; ++j)
                std::this_thread::sleep_for(1ms);
        }
    });
    runQtUntil([&] { return finished; });
    feeder.join();
    EXPECT_EQ(dlg.result(), QDialog::Accepted); // closed by the handlers, not by the safety timer
    EXPECT_EQ(posted, 3);
    EXPECT_GE(ticks, 3);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(outsideModal, 0);
    UnwatchFd(watch);
    close(fds[0]);
    close(fds[1]);
    DestroyWindow(w);
}

TEST(MessagePump, TimersKeepFiringInsideADialogOpenedByATimerHandler) {
    // Real clock: the dialog opens inside WM_TIMER, so the nested loop must re-arm Qt's timer itself.
    cls::InstallMessagePump();
    QDialog dlg;
    int ticks = 0, insideModal = 0;
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m != WM_TIMER) return 0;
        if (++ticks == 1) {
            QTimer::singleShot(60000, &dlg, &QDialog::reject); // safety only
            dlg.exec();
        } else if (QApplication::activeModalWidget() == &dlg && ++insideModal == 3) {
            dlg.accept();
        }
        return 0;
    });
    SetTimer(w, 7, 20);
    runQtUntil([&] { return dlg.result() == QDialog::Accepted || ticks > 1000; });
    EXPECT_EQ(insideModal, 3);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    DestroyWindow(w);
}

TEST(MessagePump, AConversationThatNeverPausesStillLetsQtRun) {
    // Two ends of a socket pair answer each other at once, for ever: the pump keeps serving them
    // but must give way to Qt's own events every few milliseconds.
    cls::InstallMessagePump();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    long exchanges = 0;
    auto answer = [&](int fd, short) {
        char c;
        if (read(fd, &c, 1) == 1) {
            ++exchanges;
            EXPECT_EQ(write(fd, &c, 1), 1);
        }
    };
    WatchId a = WatchFd(sv[0], POLLIN, answer);
    WatchId b = WatchFd(sv[1], POLLIN, answer);
    ASSERT_EQ(write(sv[0], "x", 1), 1);
    int qtTicks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++qtTicks; });
    tick.start(5);
    runQtUntil([&] { return qtTicks >= 5; });
    EXPECT_GE(qtTicks, 5);
    EXPECT_GT(exchanges, 100); // and the conversation went on meanwhile
    UnwatchFd(a);
    UnwatchFd(b);
    close(sv[0]);
    close(sv[1]);
}

TEST(MessagePump, WhatAConversationStartsInQtRunsWhileItGoesOn) {
    // A timer started by the conversation's own handler, which Qt's loop did not know of when it
    // last waited, and then a call queued by it run while the conversation goes on.
    cls::InstallMessagePump();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    long exchanges = 0;
    long atTimer = -1, atQueued = -1;
    QObject context;
    auto answer = [&](int fd, short) {
        char c;
        if (read(fd, &c, 1) != 1) return;
        ++exchanges;
        if (exchanges == 200) QTimer::singleShot(2, &context, [&] { atTimer = exchanges; });
        if (atTimer >= 0 && exchanges == atTimer + 100) {
            QMetaObject::invokeMethod(
                &context,
                [&] {
                    atQueued = exchanges;
                    context.setObjectName("done");
                },
                Qt::QueuedConnection);
        }
        EXPECT_EQ(write(fd, &c, 1), 1);
    };
    WatchId a = WatchFd(sv[0], POLLIN, answer);
    WatchId b = WatchFd(sv[1], POLLIN, answer);
    ASSERT_EQ(write(sv[0], "x", 1), 1);
    // No other timer of Qt's is running: its loop's own time-out would end each wait too early.
    QEventLoop loop;
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    QObject::connect(&context, &QObject::objectNameChanged, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_GE(atTimer, 200);
    EXPECT_GE(atQueued, atTimer + 100);
    const long then = exchanges;
    runQtUntil([&] { return exchanges > then + 100; }); // and it still goes on
    UnwatchFd(a);
    UnwatchFd(b);
    close(sv[0]);
    close(sv[1]);
}
