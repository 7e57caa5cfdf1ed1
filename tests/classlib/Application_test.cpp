// Tests of the application object: windows in creation order, the loop that ends when the main
// window closes, and the exception display for dispatched messages and guarded handlers.
#include "classlib/SysUtils.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "platform/Messages.h"
#include "tests/classlib/QtLoop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QPushButton>
#include <QTimer>
#include <stdexcept>
#include <thread>

using namespace plat;
using cls::Application;
using qttest::runQtUntil;

namespace {

std::vector<std::string> g_destroyed;

class NamedForm : public QWidget {
public:
    explicit NamedForm(std::string name, int refuseCloses = 0)
        : name_(std::move(name)), refuse_(refuseCloses) {}
    ~NamedForm() override { g_destroyed.push_back(name_); }

protected:
    void closeEvent(QCloseEvent* ev) override {
        if (refuse_ > 0) {
            --refuse_;
            ev->ignore();
        }
    }

private:
    std::string name_;
    int refuse_;
};

} // namespace

TEST(Application, RunEndsWhenTheMainWindowClosesAndFreesTheWindowsMainFirst) {
    Application.Initialize();
    g_destroyed.clear();
    auto* main = Application.CreateForm<NamedForm>("main", 1); // refuses the first close
    auto* second = Application.CreateForm<NamedForm>("second");
    Application.CreateForm<NamedForm>("third");

    // Posted window messages run inside Run; a refused close leaves the loop running.
    bool mainShownAtMessage = false, stillRunning = false;
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == WM_USER) {
            mainShownAtMessage = main->isVisible();
            main->close(); // refused
            PostMessage(w, WM_USER + 1, 0, 0);
        } else if (m == WM_USER + 1) {
            stillRunning = !Application.Terminated() && main->isVisible();
            second->show();
            main->close(); // accepted: ends the loop although another window is open
        }
        return 0;
    });
    PostMessage(w, WM_USER, 0, 0);
    QTimer::singleShot(60000, [] { Application.Terminate(99); }); // safety only
    int code = Application.Run();
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(mainShownAtMessage);
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"main", "third", "second"}));
    EXPECT_EQ(Application.MainForm(), nullptr);
    DestroyWindow(w);
}

TEST(Application, ExceptionInADispatchedMessageIsShownAndTheNextMessageRuns) {
    Application.Initialize();
    Application.SetTitle("Pagewright");
    cls::ScriptedDialogs dlg;
    std::vector<int> ran;
    HWND w = CreateHiddenWindow([&](HWND, UINT m, WPARAM wp, LPARAM) -> LRESULT {
        if (m == WM_USER) throw std::runtime_error("Table not found");
        if (m == WM_USER + 2) cls::Abort();
        ran.push_back(int(wp));
        return 0;
    });
    PostMessage(w, WM_USER, 0, 0);
    PostMessage(w, WM_USER + 1, 2, 0);
    PostMessage(w, WM_USER + 2, 3, 0); // a silent abort: nothing shown
    PostMessage(w, WM_USER + 1, 4, 0);
    runQtUntil([&] { return ran.size() == 2; });
    EXPECT_EQ(ran, (std::vector<int>{2, 4}));
    auto boxes = dlg.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Table not found");
    EXPECT_EQ(boxes[0].caption, "Pagewright");

    // Thrown while dispatching on another thread: shown on the GUI thread.
    std::thread([] {
        HWND t = CreateHiddenWindow(
            [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("worker failed"); });
        PostMessage(t, WM_USER, 0, 0);
        MSG m;
        while (PeekMessage(&m, true))
            DispatchMessage(m);
        DestroyWindow(t);
    }).join();
    runQtUntil([&] { return dlg.Texts().size() == 2; });
    EXPECT_EQ(dlg.Texts().back(), "worker failed");
    DestroyWindow(w);
}

TEST(Application, GuardedSignalHandlerShowsItsExceptionAndOnlyThatHandlerIsAbandoned) {
    Application.Initialize();
    cls::ScriptedDialogs dlg;
    QPushButton button;
    std::vector<std::string> steps;
    QObject::connect(&button, &QPushButton::clicked, cls::Guarded([&] {
        steps.push_back("first");
        throw std::runtime_error("Error: No message entered");
        steps.push_back("never");
    }));
    QObject::connect(&button, &QPushButton::clicked,
                     cls::Guarded([&](bool checked) { steps.push_back(checked ? "checked" : "second"); }));
    button.click();
    EXPECT_EQ(steps, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(dlg.Texts(), (std::vector<std::string>{"Error: No message entered"}));

    // Whatever is thrown is shown, also what is not a std::exception; an abort is not.
    cls::Guarded([] { throw 42; })();
    cls::Guarded([] { cls::Abort(); })();
    EXPECT_EQ(dlg.Texts().size(), 2u);
}
