// Window messages through the per-user rendezvous folder: registered messages by name, broadcast,
// copy data with its bytes, answers, time-outs, and windows that were never published or are gone.
#include "platform/ProcessMessages.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace plat {
namespace {

// A window on a thread of its own that records what it gets and answers copy data with its size.
struct RemoteWindow {
    RemoteWindow() {
        thread = std::thread([this] {
            hwnd = CreateHiddenWindow([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
                if (m == WM_COPYDATA) {
                    auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(l);
                    copied.assign(static_cast<const char*>(cds->lpData), cds->cbData);
                    tag = cds->dwData;
                    return LRESULT(cds->cbData) + LRESULT(w);
                }
                if (m >= 0xC000) {
                    std::lock_guard lk(mu);
                    posts += int(l);
                    cv.notify_all();
                    return 0;
                }
                return 0;
            });
            pwnd = PublishWindow(hwnd);
            ready = true;
            while (!stop)
                PumpUntil([&] { return stop.load(); }, 20);
            DestroyWindow(hwnd);
        });
        while (!ready)
            std::this_thread::yield();
    }
    ~RemoteWindow() {
        stop = true;
        thread.join();
    }
    std::thread thread;
    std::atomic<bool> ready{false}, stop{false};
    HWND hwnd = 0;
    PWND pwnd = 0;
    std::string copied;
    uintptr_t tag = 0;
    std::mutex mu;
    std::condition_variable cv;
    int posts = 0;
};

TEST(ProcessMessages, PostSendCopyDataAndFailures) {
    pwtest::TempDir dir;
    SetProcessMessageFolder(dir.str());
    {
        RemoteWindow r;
        ASSERT_NE(r.pwnd, 0u);
        EXPECT_EQ(r.pwnd >> 32, uint64_t(::getpid()));
        UINT named = RegisterWindowMessage("PagewrightProcessTest");
        EXPECT_TRUE(PostProcessMessage(PWND_BROADCAST, named, 0, 3));
        EXPECT_TRUE(PostProcessMessage(r.pwnd, named, 0, 4));
        {
            std::unique_lock lk(r.mu);
            ASSERT_TRUE(r.cv.wait_for(lk, std::chrono::seconds(10), [&] { return r.posts == 7; }));
        }

        std::string payload(70000, 'q');
        payload[69999] = 'z';
        COPYDATASTRUCT cds{17970, uint32_t(payload.size()), payload.data()};
        LRESULT answer = 0;
        ASSERT_TRUE(
            SendProcessMessageTimeout(r.pwnd, WM_COPYDATA, 5, reinterpret_cast<LPARAM>(&cds), 5000, &answer));
        EXPECT_EQ(answer, 70005);
        EXPECT_EQ(r.copied, payload);
        EXPECT_EQ(r.tag, 17970u);

        // Too much copy data, a window never published, a window of no process: failures.
        std::string huge(kMaxProcessCopyData + 1, 'x');
        COPYDATASTRUCT big{1, uint32_t(huge.size()), huge.data()};
        EXPECT_FALSE(
            SendProcessMessageTimeout(r.pwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&big), 1000, &answer));
        HWND hidden = CreateHiddenWindow([](HWND, UINT, WPARAM, LPARAM) { return LRESULT(1); });
        PWND unpublished = (PWND(uint32_t(::getpid())) << 32) | hidden;
        EXPECT_FALSE(SendProcessMessageTimeout(unpublished, WM_USER, 0, 0, 1000, &answer));
        DestroyWindow(hidden);
        EXPECT_FALSE(SendProcessMessageTimeout((PWND(0x7FFFFFF0) << 32) | 1, WM_USER, 0, 0, 1000, &answer));
    }
}

TEST(ProcessMessages, SendToABusyWindowTimesOut) {
    pwtest::TempDir dir;
    SetProcessMessageFolder(dir.str());
    std::atomic<bool> go{false};
    HWND w = 0;
    PWND pw = 0;
    std::thread busy([&] {
        w = CreateHiddenWindow([](HWND, UINT, WPARAM, LPARAM) { return LRESULT(9); });
        pw = PublishWindow(w);
        go = true;
        // Does not pump until the sender gave up.
        while (go)
            std::this_thread::yield();
        DestroyWindow(w);
    });
    while (!go)
        std::this_thread::yield();
    LRESULT answer = 5;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendProcessMessageTimeout(pw, WM_USER, 0, 0, 300, &answer));
    // The receiving side gives up after the same time-out (on its own clock) and says so.
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(5000));
    EXPECT_EQ(answer, 0);
    go = false;
    busy.join();
}

} // namespace
} // namespace plat
