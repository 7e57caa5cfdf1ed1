// Window messages between processes: each process that publishes a window binds one Unix-domain
// datagram socket "<folder>/<pid>" and a thread that delivers what arrives to its windows.
#include "platform/Messages_impl.h"
#include "platform/ProcessMessages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plat {

using namespace msgimpl;

namespace {

constexpr uint32_t kMagic = 0x314D5750; // "PWM1"
enum Kind : uint32_t { kPost = 1, kSend = 2, kReply = 3 };

// Native layout: both ends are processes of this build on this machine.
struct Head {
    uint32_t magic;
    uint32_t kind;
    uint32_t target; // window handle in the receiving process; HWND_BROADCAST for all
    uint32_t message;
    uint64_t wParam;
    int64_t lParam;
    uint64_t copyTag;   // dwData of a WM_COPYDATA
    int64_t deadlineNs; // the sender's monotonic clock (the machine's): later, it stopped waiting
    uint32_t timeoutMs;
    uint32_t nameLen; // registered message name, after the head
    uint32_t dataLen; // copy data, after the name
    uint32_t ok;      // replies
    int64_t result;   // replies
};
constexpr size_t kMaxName = 255;
constexpr size_t kMaxPacket = sizeof(Head) + kMaxName + kMaxProcessCopyData;

struct Port {
    std::mutex mu;
    pid_t pid = 0;
    int fd = -1;
    std::string folder;
    std::set<HWND> published;
};

Port& P() {
    static Port* p = new Port; // never destroyed: its thread runs until the process ends
    return *p;
}

std::string defaultFolder() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) {
        struct stat st;
        if (::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode)) return std::string(xdg) + "/pagewright-msg";
    }
    return "/tmp/pagewright-msg-" + std::to_string(::getuid());
}

// The folder exists, is a real folder of this user and no one else may enter it.
bool prepareFolder(const std::string& f) {
    ::mkdir(f.c_str(), 0700);
    struct stat st;
    if (::lstat(f.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    return (st.st_mode & 077) == 0 || ::chmod(f.c_str(), 0700) == 0;
}

bool makeAddress(const std::string& path, sockaddr_un* a) {
    if (path.size() >= sizeof a->sun_path) return false;
    std::memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    std::memcpy(a->sun_path, path.data(), path.size());
    return true;
}

std::string registeredName(UINT m) {
    std::lock_guard lk(G().mu);
    for (const auto& [name, id] : G().registered)
        if (id == m) return name;
    return {};
}

std::atomic<int> g_workers{0};
constexpr int kMaxWorkers = 32;

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void reply(const sockaddr_un& to, socklen_t toLen, bool ok, LRESULT result) {
    Head r{};
    r.magic = kMagic;
    r.kind = kReply;
    r.ok = ok ? 1 : 0;
    r.result = result;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::sendto(fd, &r, sizeof r, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), toLen);
    ::close(fd);
}

// A send runs on a worker of its own: a window that answers by sending to another process (or
// back to this one) must not wait for this process's socket thread.
void deliverSend(Head h, HWND target, UINT m, std::vector<char> data, sockaddr_un from, socklen_t fromLen) {
    const int64_t left = h.deadlineNs - monotonicNs();
    if (left <= 0) return; // the sender gave up: do not act on it any more
    COPYDATASTRUCT cds{uintptr_t(h.copyTag), h.dataLen, h.dataLen ? data.data() : nullptr};
    LPARAM l = m == WM_COPYDATA ? reinterpret_cast<LPARAM>(&cds) : LPARAM(h.lParam);
    LRESULT res = 0;
    bool ok = SendMessageTimeout(target, m, WPARAM(h.wParam), l, uint32_t((left + 999999) / 1000000), &res);
    reply(from, fromLen, ok, res);
}

void deliver(const Head& h, std::string_view name, const char* data, const sockaddr_un& from,
             socklen_t fromLen) {
    UINT m = h.message;
    if (!name.empty()) m = RegisterWindowMessage(name);
    std::vector<HWND> targets;
    {
        std::lock_guard lk(P().mu);
        if (h.target == HWND_BROADCAST)
            targets.assign(P().published.begin(), P().published.end());
        else if (P().published.count(h.target))
            targets.push_back(h.target);
    }
    if (h.kind == kPost) {
        for (HWND w : targets)
            PostMessage(w, m, WPARAM(h.wParam), LPARAM(h.lParam));
        return;
    }
    if (targets.size() != 1 || m == 0 || g_workers.load() >= kMaxWorkers) {
        reply(from, fromLen, false, 0);
        return;
    }
    ++g_workers;
    std::thread([h, target = targets[0], m, d = std::vector<char>(data, data + h.dataLen), from,
                 fromLen]() mutable {
        deliverSend(h, target, m, std::move(d), from, fromLen);
        --g_workers;
    }).detach();
}

void serve(int fd) {
    std::vector<char> buf(kMaxPacket);
    for (;;) {
        sockaddr_un from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        {
            std::lock_guard lk(P().mu);
            if (P().fd != fd) { // the folder changed: this socket is retired
                ::close(fd);
                return;
            }
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        // Everything is checked before use: a short or inconsistent packet is dropped.
        Head h;
        if (size_t(n) < sizeof h) continue;
        std::memcpy(&h, buf.data(), sizeof h);
        if (h.magic != kMagic || (h.kind != kPost && h.kind != kSend) || h.nameLen > kMaxName ||
            h.dataLen > kMaxProcessCopyData || size_t(n) != sizeof h + h.nameLen + h.dataLen)
            continue;
        if (h.kind == kPost && h.dataLen) continue;
        std::string_view name(buf.data() + sizeof h, h.nameLen);
        deliver(h, name, buf.data() + sizeof h + h.nameLen, from, fromLen);
    }
}

// The process's socket, opened on first use (again in a forked child).
bool openPort() {
    Port& p = P();
    std::lock_guard lk(p.mu);
    if (p.fd >= 0 && p.pid == ::getpid()) return true;
    if (p.fd >= 0) { // inherited from the parent: its thread did not come along
        ::close(p.fd);
        p.fd = -1;
        p.published.clear();
    } else if (p.pid != ::getpid()) {
        p.published.clear();
    }
    if (p.folder.empty()) p.folder = defaultFolder();
    if (!prepareFolder(p.folder)) return false;
    sockaddr_un a;
    std::string path = p.folder + "/" + std::to_string(::getpid());
    if (!makeAddress(path, &a)) return false;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::unlink(path.c_str()); // left by an earlier process of the same number
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return false;
    }
    int size = int(kMaxPacket * 4);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    p.fd = fd;
    p.pid = ::getpid();
    std::thread(serve, fd).detach();
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        std::atexit([] {
            Port& q = P();
            if (q.fd >= 0 && q.pid == ::getpid()) ::unlink((q.folder + "/" + std::to_string(q.pid)).c_str());
        });
    });
    return true;
}

std::string folder() {
    std::lock_guard lk(P().mu);
    if (P().folder.empty()) P().folder = defaultFolder();
    return P().folder;
}

// Process ids with a socket in the folder.
std::vector<pid_t> peers(const std::string& f) {
    std::vector<pid_t> out;
    DIR* d = ::opendir(f.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long v = std::strtol(e->d_name, &end, 10);
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && end && *end == '\0' && v > 0)
            out.push_back(pid_t(v));
    }
    ::closedir(d);
    return out;
}

std::vector<char> packet(Kind kind, HWND target, UINT message, WPARAM w, LPARAM l, uint32_t timeoutMs,
                         bool* ok) {
    *ok = false;
    Head h{};
    h.magic = kMagic;
    h.kind = kind;
    h.target = target;
    h.message = message;
    h.wParam = w;
    h.lParam = l;
    h.timeoutMs = timeoutMs;
    h.deadlineNs = monotonicNs() + int64_t(timeoutMs) * 1000000;
    std::string name;
    if (message >= 0xC000) {
        name = registeredName(message);
        if (name.empty() || name.size() > kMaxName) return {};
        h.message = 0;
    }
    const char* data = nullptr;
    if (message == WM_COPYDATA) {
        if (kind != kSend || !l) return {};
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(l);
        if (cds->cbData > kMaxProcessCopyData || (cds->cbData && !cds->lpData)) return {};
        h.copyTag = cds->dwData;
        h.dataLen = cds->cbData;
        h.lParam = 0;
        data = static_cast<const char*>(cds->lpData);
    }
    h.nameLen = uint32_t(name.size());
    std::vector<char> out(sizeof h + h.nameLen + h.dataLen);
    std::memcpy(out.data(), &h, sizeof h);
    if (!name.empty()) std::memcpy(out.data() + sizeof h, name.data(), name.size());
    if (h.dataLen) std::memcpy(out.data() + sizeof h + h.nameLen, data, h.dataLen);
    *ok = true;
    return out;
}

// Sends one packet to a process; a socket nobody serves any more is removed.
bool sendTo(int fd, const std::string& f, pid_t pid, const std::vector<char>& pkt) {
    sockaddr_un a;
    std::string path = f + "/" + std::to_string(pid);
    if (!makeAddress(path, &a)) return false;
    if (::sendto(fd, pkt.data(), pkt.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
        ssize_t(pkt.size()))
        return true;
    if (errno == ECONNREFUSED) ::unlink(path.c_str());
    return false;
}

int senderSocket(uint32_t timeoutMs) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = int(kMaxPacket * 2);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    timeval tv{time_t(timeoutMs / 1000), suseconds_t((timeoutMs % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

} // namespace

void SetProcessMessageFolder(const std::string& path) {
    bool reopen = false;
    {
        Port& p = P();
        std::lock_guard lk(p.mu);
        if (p.folder == path) return;
        if (p.fd >= 0 && p.pid == ::getpid()) {
            ::unlink((p.folder + "/" + std::to_string(p.pid)).c_str());
            ::shutdown(p.fd, SHUT_RDWR); // wakes its thread, which closes it
            p.fd = -1;
            reopen = !p.published.empty();
        }
        p.folder = path;
    }
    if (reopen) openPort();
}

std::string ProcessMessageFolder() {
    return folder();
}

PWND PublishWindow(HWND hwnd) {
    if (!IsWindow(hwnd) || !openPort()) return 0;
    std::lock_guard lk(P().mu);
    P().published.insert(hwnd);
    return (PWND(uint32_t(::getpid())) << 32) | hwnd;
}

void UnpublishWindow(HWND hwnd) {
    std::lock_guard lk(P().mu);
    P().published.erase(hwnd);
}

bool PostProcessMessage(PWND to, UINT message, WPARAM wParam, LPARAM lParam) {
    if (to == 0) return false;
    const bool broadcast = to == PWND_BROADCAST;
    bool ok;
    std::vector<char> pkt =
        packet(kPost, broadcast ? HWND_BROADCAST : HWND(to & 0xFFFFFFFFu), message, wParam, lParam, 0, &ok);
    if (!ok) return false;
    int fd = senderSocket(1000);
    if (fd < 0) return false;
    std::string f = folder();
    bool sent = false;
    if (broadcast) {
        for (pid_t pid : peers(f))
            sent |= sendTo(fd, f, pid, pkt);
    } else {
        sent = sendTo(fd, f, pid_t(to >> 32), pkt);
    }
    ::close(fd);
    return sent;
}

bool SendProcessMessageTimeout(PWND to, UINT message, WPARAM wParam, LPARAM lParam, uint32_t timeoutMs,
                               LRESULT* result) {
    if (result) *result = 0;
    if (to == 0 || to == PWND_BROADCAST) return false;
    bool ok;
    std::vector<char> pkt = packet(kSend, HWND(to & 0xFFFFFFFFu), message, wParam, lParam, timeoutMs, &ok);
    if (!ok) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = senderSocket(timeoutMs);
    if (fd < 0) return false;
    // An automatic (abstract) address, so the other side can answer.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0 ||
        !sendTo(fd, folder(), pid_t(to >> 32), pkt)) {
        ::close(fd);
        return false;
    }
    OutsideWatchRound outside;
    auto me = currentShared();
    bool drained = false, answered = false;
    Head r{};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pf[2] = {{fd, POLLIN, 0}, {me->evfd, POLLIN, 0}};
        if (::poll(pf, 2, int(std::min<int64_t>(left.count(), 60000))) < 0 && errno != EINTR) break;
        if (pf[1].revents & POLLIN) {
            drained |= me->drain();
            processSent(*me); // a message sent to this thread meanwhile (it may be the answer's cause)
        }
        if (pf[0].revents & POLLIN) {
            ssize_t n = ::recv(fd, &r, sizeof r, MSG_DONTWAIT);
            if (n == ssize_t(sizeof r) && r.magic == kMagic && r.kind == kReply) {
                answered = true;
                break;
            }
        }
    }
    if (drained && me->external) me->wake(); // wake-ups taken here may belong to an outer loop
    ::close(fd);
    if (!answered || !r.ok) return false;
    if (result) *result = LRESULT(r.result);
    return true;
}

} // namespace plat
