// Window messages between processes of one user: windows that other processes can post and send to,
// over Unix-domain datagram sockets in a per-user rendezvous folder (one socket per process).
#pragma once
#include "platform/Messages.h"

#include <cstdint>
#include <string>

namespace plat {

// A window that other processes can reach: (process id << 32) | window handle; 0 = none.
// It fits a WPARAM or LPARAM, so windows can be passed in messages.
using PWND = uint64_t;
constexpr PWND PWND_BROADCAST = ~PWND(0);

// The rendezvous folder of the process (default: "pagewright-msg" under $XDG_RUNTIME_DIR, else
// "/tmp/pagewright-msg-<uid>"; created with mode 0700 and refused when another user owns it).
// Set it before the first PublishWindow; tests use a folder of their own.
void SetProcessMessageFolder(const std::string& path);
std::string ProcessMessageFolder();

// Makes a window of this process reachable from others; 0 when the process's socket cannot be opened.
// Only published windows receive messages from other processes.
PWND PublishWindow(HWND hwnd);
void UnpublishWindow(HWND hwnd);

// Registered message numbers (0xC000 and up) travel by name, so both processes agree on them.
// PWND_BROADCAST posts to every published window of every process in the folder.
bool PostProcessMessage(PWND to, UINT message, WPARAM wParam, LPARAM lParam);
// Waits up to timeoutMs (real time) for the window's answer; false when the window is gone, does not
// answer in time or the socket fails. With WM_COPYDATA, lParam points to a COPYDATASTRUCT whose bytes
// (at most kMaxProcessCopyData) are copied to the other process. While waiting, messages sent to this
// thread's windows are answered.
bool SendProcessMessageTimeout(PWND to, UINT message, WPARAM wParam, LPARAM lParam, uint32_t timeoutMs,
                               LRESULT* result);
constexpr uint32_t kMaxProcessCopyData = 131072;

} // namespace plat
