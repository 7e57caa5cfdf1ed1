// Helpers shared by the platform tests: a manual clock per scope, hidden windows destroyed with
// their scope, a thread running a message loop, groups of threads and bounded waits.
#pragma once
#include "platform/Messages.h"
#include "platform/testing/ScopedManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platformtest {

using namespace plat;

// The manual clock of these tests starts at 5 s.
struct ManualClockScope : plat::ScopedManualClock {
    ManualClockScope() : ScopedManualClock(5000) {}
};

// A window procedure for handlers that only look at what arrives: every result is 0.
inline WndProc returning0(std::function<void(UINT, WPARAM, LPARAM)> f) {
    return [f = std::move(f)](HWND, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        f(m, wp, lp);
        return 0;
    };
}

// A hidden window of the calling thread, destroyed with the object.
class Window {
public:
    explicit Window(WndProc proc) : h_(CreateHiddenWindow(std::move(proc))) {}
    ~Window() { DestroyWindow(h_); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    operator HWND() const { return h_; }

private:
    HWND h_;
};

// A pipe whose write end makes a watch on its read end fire.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

using pwtest::waitUntil;

// Threads started together, each given its index, and joined when the group goes.
class ThreadGroup {
public:
    ThreadGroup(int n, const std::function<void(int)>& body) {
        for (int i = 0; i < n; ++i)
            threads_.emplace_back(body, i);
    }
    ~ThreadGroup() { join(); }
    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    std::vector<std::thread> threads_;
};

// A thread that owns one hidden window and runs a GetMessage loop until the object goes.
class LoopThread {
public:
    static constexpr UINT kStop = WM_USER + 999;

    explicit LoopThread(WndProc proc) : proc_(std::move(proc)) {
        std::promise<HWND> made;
        auto hwnd = made.get_future();
        thread_ = std::thread([this, &made] {
            id_ = std::this_thread::get_id();
            made.set_value(CreateHiddenWindow([this](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
                if (m != kStop) return proc_(w, m, wp, lp);
                PostQuitMessage(0);
                return 0;
            }));
            MSG msg;
            while (GetMessage(&msg))
                DispatchMessage(msg);
        });
        hwnd_ = hwnd.get();
    }
    ~LoopThread() {
        PostMessage(hwnd_, kStop, 0, 0);
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    std::thread::id id() const { return id_; }

private:
    WndProc proc_;
    std::thread thread_;
    std::thread::id id_;
    HWND hwnd_ = 0;
};

} // namespace platformtest
