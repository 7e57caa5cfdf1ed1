// The built-in socket library: Winsock 1.1-style calls over POSIX sockets, and the asynchronous
// notifications (connect, read, write, close, accept) posted to windows with the re-enabling rules.
#include "platform/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

thread_local int t_lastError = 0;
std::atomic<int> g_startups{0};

int fail(int code) {
    t_lastError = code;
    return SOCKET_ERROR;
}

bool started() {
    if (g_startups.load() > 0) return true;
    t_lastError = WSANOTINITIALISED;
    return false;
}

enum class State { Fresh, Connecting, Connected, Failed, Listening };

// What the library knows of one socket. The socket handle is the descriptor number.
struct Sock {
    int fd = -1;
    uint64_t serial = 0; // tells a watch callback of a closed socket from one of a reused number
    State state = State::Fresh;
    bool datagram = false; // FD_READ for each waiting datagram; no connection events
    bool nonBlocking = false;
    int rcvbuf = -1; // buffer sizes as set; the kernel reports its own (doubled) figures
    int sndbuf = -1;
    int stickyError = 0; // a reset connection keeps failing with this code

    // Notifications.
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    std::vector<std::pair<HWND, UINT>> targets; // every window/message ever asked for (for the purge)
    std::thread::id owner;                      // the thread whose loop watches the descriptor
    WatchId watch = 0;
    short watched = 0;
    bool readPending = false;   // FD_READ posted, no recv since
    bool readWatchKept = false; // still watching for data while FD_READ is pending (see wanted)
    bool writeArmed = false;    // FD_WRITE due when the socket can take data
    bool acceptPending = false; // FD_ACCEPT posted, no accept since
    bool closeSeen = false;     // the end of the connection was noticed (FD_CLOSE at most once)
};

// Never destroyed: a socket may still be closed while static objects are torn down at exit.
struct SockTable {
    std::mutex mu;
    std::unordered_map<SOCKET, Sock> socks;
    uint64_t serial = 0;
};
SockTable& table() {
    static SockTable* t = new SockTable;
    return *t;
}

struct Post {
    HWND hwnd;
    UINT msg;
    SOCKET s;
    LPARAM l;
};

// The notifications one call makes, posted once the table's lock is released: at most three
// (read, close and write from one wake-up), kept in place rather than on the heap.
struct Posts {
    Post p[4];
    size_t n = 0;
};

void deliver(const Posts& posts) {
    for (size_t i = 0; i < posts.n; ++i)
        PostMessage(posts.p[i].hwnd, posts.p[i].msg, posts.p[i].s, posts.p[i].l);
}

void queue(Posts& posts, const Sock& k, SOCKET s, long event, int error) {
    if (k.hwnd && (k.mask & event) && posts.n < std::size(posts.p))
        posts.p[posts.n++] = {k.hwnd, k.msg, s, WSAMAKESELECTREPLY(uint16_t(event), uint16_t(error))};
}

short wanted(const Sock& k) {
    if (!k.hwnd || k.mask == 0 || k.stickyError) return 0;
    switch (k.state) {
    case State::Fresh:
        return k.datagram && (k.mask & FD_READ) && (!k.readPending || k.readWatchKept) ? POLLIN : 0;
    case State::Connecting:
        return POLLOUT;
    case State::Listening:
        return (k.mask & FD_ACCEPT) && !k.acceptPending ? POLLIN : 0;
    case State::Connected: {
        short ev = 0;
        if (!k.closeSeen && (k.mask & (FD_READ | FD_CLOSE))) {
            ev |= POLLRDHUP;
            // Right after FD_READ is posted the reader usually receives before the loop waits
            // again, so the watch is left alone; only a second wake-up with FD_READ still pending
            // drops the interest (no busy loop when nobody receives).
            if ((k.mask & FD_READ) && (!k.readPending || k.readWatchKept)) ev |= POLLIN;
        }
        if (k.writeArmed && (k.mask & FD_WRITE)) ev |= POLLOUT;
        return ev;
    }
    default:
        return 0;
    }
}

void onReady(SOCKET s, uint64_t serial, short revents);

// True when the watch already matches the socket's state, or belongs to another thread's loop:
// syncWatch would leave it alone. Caller holds the table's lock.
bool watchInStep(const Sock& k) {
    if (k.owner != std::this_thread::get_id()) return true;
    const short want = wanted(k);
    return want == k.watched && (want == 0) == (k.watch == 0);
}

// Brings the descriptor watch in line with the socket's state. Watches belong to one thread's loop:
// only the thread that asked for notifications changes them.
void syncWatch(SOCKET s) {
    SockTable& t = table();
    short want;
    WatchId id;
    int fd;
    uint64_t serial;
    {
        std::lock_guard lk(t.mu);
        auto it = t.socks.find(s);
        if (it == t.socks.end()) return;
        Sock& k = it->second;
        if (watchInStep(k)) return;
        want = wanted(k);
        id = k.watch;
        fd = k.fd;
        serial = k.serial;
    }
    WatchId now = id;
    if (want == 0) {
        if (id) UnwatchFd(id);
        now = 0;
    } else if (id) {
        ChangeWatch(id, want);
    } else {
        now = WatchFd(fd, want, [s, serial](int, short rev) { onReady(s, serial, rev); });
    }
    std::lock_guard lk(t.mu);
    auto it = t.socks.find(s);
    if (it == t.socks.end() || it->second.serial != serial) {
        if (now && now != id) UnwatchFd(now);
        return;
    }
    it->second.watch = now;
    it->second.watched = now ? want : 0;
}

int socketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

// A connection-ending error: later calls on the socket report it again, as the platform does.
bool endsConnection(int err) {
    return err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT || err == ENETRESET ||
           err == EHOSTUNREACH || err == ENETUNREACH;
}

void onReady(SOCKET s, uint64_t serial, short revents) {
    SockTable& t = table();
    Posts posts;
    bool sync;
    {
        std::lock_guard lk(t.mu);
        auto it = t.socks.find(s);
        if (it == t.socks.end() || it->second.serial != serial) return;
        Sock& k = it->second;
        switch (k.state) {
        case State::Fresh:
            if (k.datagram && (revents & POLLIN) && (k.mask & FD_READ)) {
                if (k.readPending) {
                    k.readWatchKept = false;
                } else {
                    k.readPending = true;
                    k.readWatchKept = true;
                    queue(posts, k, s, FD_READ, 0);
                }
            }
            break;
        case State::Connecting:
            if (revents & (POLLOUT | POLLERR | POLLHUP)) {
                int err = socketError(k.fd);
                if (err == 0) {
                    k.state = State::Connected;
                    queue(posts, k, s, FD_CONNECT, 0);
                    queue(posts, k, s, FD_WRITE, 0);
                    k.writeArmed = false;
                } else if (err == ECONNRESET || err == ECONNABORTED) {
                    // Only an established connection can be reset (a refused attempt says so):
                    // the connect succeeded and the peer dropped it before anyone looked.
                    k.state = State::Connected;
                    k.stickyError = ErrnoToWsa(err);
                    k.closeSeen = true;
                    queue(posts, k, s, FD_CONNECT, 0);
                    queue(posts, k, s, FD_CLOSE, k.stickyError);
                } else {
                    k.state = State::Failed;
                    k.stickyError = ErrnoToWsa(err, true);
                    queue(posts, k, s, FD_CONNECT, k.stickyError);
                }
            }
            break;
        case State::Listening:
            if ((revents & POLLIN) && !k.acceptPending) {
                k.acceptPending = true;
                queue(posts, k, s, FD_ACCEPT, 0);
            }
            break;
        case State::Connected: {
            if ((revents & POLLERR) && !k.stickyError) {
                int err = socketError(k.fd);
                if (err) k.stickyError = ErrnoToWsa(err);
            }
            bool closed = k.stickyError != 0 || (revents & (POLLRDHUP | POLLHUP));
            if (!k.closeSeen) {
                if ((revents & POLLIN) && k.readPending) k.readWatchKept = false;
                if ((revents & POLLIN) && (k.mask & FD_READ) && !k.readPending && !k.stickyError) {
                    // Readable without a hang-up means data; otherwise a peek tells data from the end.
                    char c;
                    ssize_t n = (revents & (POLLRDHUP | POLLHUP | POLLERR))
                                    ? ::recv(k.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT)
                                    : 1;
                    if (n > 0) {
                        k.readPending = true;
                        k.readWatchKept = true;
                        queue(posts, k, s, FD_READ, 0);
                    } else if (n == 0) {
                        closed = true;
                    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        k.stickyError = ErrnoToWsa(errno);
                        closed = true;
                    }
                }
                if (closed) {
                    // Data still waiting was announced first; the reader drains it on FD_CLOSE.
                    k.closeSeen = true;
                    queue(posts, k, s, FD_CLOSE, k.stickyError);
                }
            }
            if ((revents & POLLOUT) && k.writeArmed && !k.stickyError) {
                k.writeArmed = false;
                queue(posts, k, s, FD_WRITE, 0);
            }
            break;
        }
        default:
            break;
        }
        sync = !watchInStep(k); // checked in this hold: most wake-ups leave the watch as it is
    }
    deliver(posts);
    if (sync) syncWatch(s);
}

// Runs f on the socket's record under the lock; WSAENOTSOCK when the handle names no socket.
template <class F> int withSock(SOCKET s, F&& f) {
    std::lock_guard lk(table().mu);
    auto it = table().socks.find(s);
    if (it == table().socks.end()) return fail(WSAENOTSOCK);
    return f(it->second);
}

int fdOf(SOCKET s) {
    std::lock_guard lk(table().mu);
    auto it = table().socks.find(s);
    return it == table().socks.end() ? -1 : it->second.fd;
}

bool toPosix(const SOCKADDR* name, int namelen, sockaddr_in* out, int* error) {
    if (!name || namelen < int(sizeof(SOCKADDR_IN))) {
        *error = WSAEFAULT;
        return false;
    }
    SOCKADDR_IN in;
    std::memcpy(&in, name, sizeof in);
    if (in.sin_family != WS_AF_INET) {
        *error = WSAEAFNOSUPPORT;
        return false;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = in.sin_port;
    out->sin_addr.s_addr = in.sin_addr.s_addr;
    return true;
}

int fromPosix(const sockaddr_in& a, SOCKADDR* name, int* namelen) {
    if (!name || !namelen || *namelen < int(sizeof(SOCKADDR_IN))) return fail(WSAEFAULT);
    SOCKADDR_IN out{};
    out.sin_family = WS_AF_INET;
    out.sin_port = a.sin_port;
    out.sin_addr.s_addr = a.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
    return 0;
}

SOCKET addSock(int fd, State state) {
    std::lock_guard lk(table().mu);
    Sock k;
    k.fd = fd;
    k.serial = ++table().serial;
    k.state = state;
    table().socks[SOCKET(fd)] = k;
    return SOCKET(fd);
}

// ---- entry points ----

SOCKET wsSocket(int af, int type, int protocol) {
    if (!started()) return INVALID_SOCKET;
    if (af != WS_AF_INET) return fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
    int ptype;
    if (type == WS_SOCK_STREAM && (protocol == 0 || protocol == WS_IPPROTO_TCP))
        ptype = SOCK_STREAM;
    else if (type == WS_SOCK_DGRAM && (protocol == 0 || protocol == WS_IPPROTO_UDP))
        ptype = SOCK_DGRAM;
    else if (type != WS_SOCK_STREAM && type != WS_SOCK_DGRAM)
        return fail(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
    else
        return fail(WSAEPROTONOSUPPORT), INVALID_SOCKET;
    int fd = ::socket(AF_INET, ptype | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(ErrnoToWsa(errno)), INVALID_SOCKET;
    SOCKET s = addSock(fd, State::Fresh);
    std::lock_guard lk(table().mu);
    table().socks[s].datagram = ptype == SOCK_DGRAM;
    return s;
}

int wsClosesocket(SOCKET s) {
    if (!started()) return SOCKET_ERROR;
    Sock k;
    {
        std::lock_guard lk(table().mu);
        auto it = table().socks.find(s);
        if (it == table().socks.end()) return fail(WSAENOTSOCK);
        k = it->second;
        table().socks.erase(it);
    }
    if (k.watch && k.owner == std::this_thread::get_id()) UnwatchFd(k.watch);
    // Notifications still queued would reach whatever socket reuses the number.
    for (auto [h, m] : k.targets) {
        SOCKET sock = s;
        UINT msg = m;
        RemoveQueuedMessages(h, [sock, msg](const MSG& x) { return x.message == msg && x.wParam == sock; });
    }
    if (::close(k.fd) != 0 && errno != EINTR) return fail(ErrnoToWsa(errno));
    return 0;
}

int wsBind(SOCKET s, const SOCKADDR* name, int namelen) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    sockaddr_in a;
    int err;
    if (!toPosix(name, namelen, &a, &err)) return fail(err);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail(ErrnoToWsa(errno));
    return 0;
}

// Errors that the platform reports through FD_CONNECT rather than from connect itself.
bool reportedLater(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET || err == ENETDOWN || err == EHOSTDOWN;
}

int wsConnect(SOCKET s, const SOCKADDR* name, int namelen) {
    if (!started()) return SOCKET_ERROR;
    sockaddr_in a;
    int err;
    if (!toPosix(name, namelen, &a, &err)) return fail(err);
    int fd;
    {
        std::lock_guard lk(table().mu);
        auto it = table().socks.find(s);
        if (it == table().socks.end()) return fail(WSAENOTSOCK);
        Sock& k = it->second;
        if (k.state == State::Connecting) return fail(WSAEALREADY);
        if (k.state == State::Connected) return fail(WSAEISCONN);
        if (k.state == State::Listening) return fail(WSAEINVAL);
        fd = k.fd;
    }
    int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int e = errno;
    Posts posts;
    int result;
    {
        std::lock_guard lk(table().mu);
        auto it = table().socks.find(s);
        if (it == table().socks.end()) return fail(WSAENOTSOCK);
        Sock& k = it->second;
        if (r == 0) {
            k.state = State::Connected;
            k.stickyError = 0;
            queue(posts, k, s, FD_CONNECT, 0);
            queue(posts, k, s, FD_WRITE, 0);
            result = 0;
        } else if (e == EINPROGRESS) {
            k.state = State::Connecting;
            k.stickyError = 0;
            result = fail(WSAEWOULDBLOCK);
        } else if (k.nonBlocking && k.hwnd && (k.mask & FD_CONNECT) && reportedLater(e)) {
            k.state = State::Failed;
            k.stickyError = ErrnoToWsa(e, true);
            queue(posts, k, s, FD_CONNECT, k.stickyError);
            result = fail(WSAEWOULDBLOCK);
        } else {
            result = fail(ErrnoToWsa(e, true));
        }
    }
    deliver(posts);
    syncWatch(s);
    return result;
}

int wsListen(SOCKET s, int backlog) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    if (::listen(fd, backlog) != 0) return fail(ErrnoToWsa(errno));
    withSock(s, [](Sock& k) {
        k.state = State::Listening;
        return 0;
    });
    syncWatch(s);
    return 0;
}

SOCKET wsAccept(SOCKET s, SOCKADDR* addr, int* addrlen) {
    if (!started()) return INVALID_SOCKET;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK), INVALID_SOCKET;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int nfd = ::accept4(fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    int e = errno;
    withSock(s, [](Sock& k) {
        k.acceptPending = false;
        return 0;
    });
    syncWatch(s);
    if (nfd < 0) return fail(ErrnoToWsa(e)), INVALID_SOCKET;
    if (addr && fromPosix(a, addr, addrlen) != 0) {
        ::close(nfd);
        return INVALID_SOCKET;
    }
    SOCKET ns = addSock(nfd, State::Connected);
    // The new socket takes over the listener's notification request.
    Sock parent;
    {
        std::lock_guard lk(table().mu);
        auto it = table().socks.find(s);
        if (it != table().socks.end()) parent = it->second;
    }
    if (parent.hwnd && parent.mask) {
        Posts posts;
        {
            std::lock_guard lk(table().mu);
            Sock& k = table().socks[ns];
            k.hwnd = parent.hwnd;
            k.msg = parent.msg;
            k.mask = parent.mask;
            k.targets = {{parent.hwnd, parent.msg}};
            k.owner = std::this_thread::get_id();
            k.nonBlocking = true;
            ::fcntl(nfd, F_SETFL, ::fcntl(nfd, F_GETFL) | O_NONBLOCK);
            queue(posts, k, ns, FD_WRITE, 0);
        }
        deliver(posts);
        syncWatch(ns);
    }
    return ns;
}

int wsGetpeername(SOCKET s, SOCKADDR* name, int* namelen) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return fail(ErrnoToWsa(errno));
    return fromPosix(a, name, namelen);
}

int wsGetsockname(SOCKET s, SOCKADDR* name, int* namelen) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return fail(ErrnoToWsa(errno));
    return fromPosix(a, name, namelen);
}

// A Boolean or integer option value: a 32-bit integer, or one byte when the caller passed less.
bool readIntOption(const char* optval, int optlen, int* value) {
    if (!optval || optlen < 1) return false;
    if (optlen >= 4) {
        int32_t v;
        std::memcpy(&v, optval, 4);
        *value = v;
    } else {
        *value = static_cast<unsigned char>(optval[0]);
    }
    return true;
}

int writeIntOption(int value, char* optval, int* optlen) {
    if (!optval || !optlen || *optlen < 4) return fail(WSAEFAULT);
    int32_t v = value;
    std::memcpy(optval, &v, 4);
    *optlen = 4;
    return 0;
}

int wsSetsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    auto setInt = [&](int plevel, int pname, int v) {
        if (::setsockopt(fd, plevel, pname, &v, sizeof v) != 0) return fail(ErrnoToWsa(errno));
        return 0;
    };
    int v = 0;
    if (level == WS_IPPROTO_TCP) {
        if (optname != WS_TCP_NODELAY) return fail(WSAENOPROTOOPT);
        if (!readIntOption(optval, optlen, &v)) return fail(WSAEFAULT);
        return setInt(IPPROTO_TCP, TCP_NODELAY, v != 0);
    }
    if (level != WS_SOL_SOCKET) return fail(WSAEINVAL);
    switch (optname) {
    case WS_SO_LINGER: {
        if (!optval || optlen < int(sizeof(LINGER))) return fail(WSAEFAULT);
        LINGER l;
        std::memcpy(&l, optval, sizeof l);
        ::linger pl{l.l_onoff != 0, l.l_linger};
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &pl, sizeof pl) != 0) return fail(ErrnoToWsa(errno));
        return 0;
    }
    case WS_SO_DONTLINGER: {
        if (!readIntOption(optval, optlen, &v)) return fail(WSAEFAULT);
        ::linger pl{v == 0, 0};
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &pl, sizeof pl) != 0) return fail(ErrnoToWsa(errno));
        return 0;
    }
    case WS_SO_RCVBUF:
    case WS_SO_SNDBUF: {
        if (!readIntOption(optval, optlen, &v)) return fail(WSAEFAULT);
        if (v < 0) return fail(WSAEINVAL);
        bool rcv = optname == WS_SO_RCVBUF;
        if (setInt(SOL_SOCKET, rcv ? SO_RCVBUF : SO_SNDBUF, v) != 0) return SOCKET_ERROR;
        return withSock(s, [&](Sock& k) {
            (rcv ? k.rcvbuf : k.sndbuf) = v;
            return 0;
        });
    }
    case WS_SO_SNDTIMEO:
    case WS_SO_RCVTIMEO: {
        if (!readIntOption(optval, optlen, &v)) return fail(WSAEFAULT);
        if (v < 0) return fail(WSAEINVAL);
        timeval tv{v / 1000, (v % 1000) * 1000};
        int pname = optname == WS_SO_SNDTIMEO ? SO_SNDTIMEO : SO_RCVTIMEO;
        if (::setsockopt(fd, SOL_SOCKET, pname, &tv, sizeof tv) != 0) return fail(ErrnoToWsa(errno));
        return 0;
    }
    case WS_SO_KEEPALIVE:
    case WS_SO_OOBINLINE:
    case WS_SO_REUSEADDR:
    case WS_SO_BROADCAST:
    case WS_SO_DONTROUTE:
    case WS_SO_DEBUG: {
        if (!readIntOption(optval, optlen, &v)) return fail(WSAEFAULT);
        int pname = optname == WS_SO_KEEPALIVE   ? SO_KEEPALIVE
                    : optname == WS_SO_OOBINLINE ? SO_OOBINLINE
                    : optname == WS_SO_REUSEADDR ? SO_REUSEADDR
                    : optname == WS_SO_BROADCAST ? SO_BROADCAST
                    : optname == WS_SO_DONTROUTE ? SO_DONTROUTE
                                                 : SO_DEBUG;
        if (pname == SO_DEBUG) return 0; // needs privileges on Linux; has no effect worth keeping
        return setInt(SOL_SOCKET, pname, v != 0);
    }
    default:
        return fail(WSAENOPROTOOPT);
    }
}

int wsGetsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (!started()) return SOCKET_ERROR;
    Sock k;
    {
        std::lock_guard lk(table().mu);
        auto it = table().socks.find(s);
        if (it == table().socks.end()) return fail(WSAENOTSOCK);
        k = it->second;
    }
    auto getInt = [&](int plevel, int pname, int* out) {
        socklen_t len = sizeof *out;
        if (::getsockopt(k.fd, plevel, pname, out, &len) != 0) return fail(ErrnoToWsa(errno));
        return 0;
    };
    int v = 0;
    if (level == WS_IPPROTO_TCP) {
        if (optname != WS_TCP_NODELAY) return fail(WSAENOPROTOOPT);
        if (getInt(IPPROTO_TCP, TCP_NODELAY, &v) != 0) return SOCKET_ERROR;
        return writeIntOption(v != 0, optval, optlen);
    }
    if (level != WS_SOL_SOCKET) return fail(WSAEINVAL);
    switch (optname) {
    case WS_SO_LINGER: {
        if (!optval || !optlen || *optlen < int(sizeof(LINGER))) return fail(WSAEFAULT);
        ::linger pl{};
        socklen_t len = sizeof pl;
        if (::getsockopt(k.fd, SOL_SOCKET, SO_LINGER, &pl, &len) != 0) return fail(ErrnoToWsa(errno));
        LINGER l{uint16_t(pl.l_onoff != 0), uint16_t(pl.l_linger)};
        std::memcpy(optval, &l, sizeof l);
        *optlen = sizeof l;
        return 0;
    }
    case WS_SO_DONTLINGER: {
        ::linger pl{};
        socklen_t len = sizeof pl;
        if (::getsockopt(k.fd, SOL_SOCKET, SO_LINGER, &pl, &len) != 0) return fail(ErrnoToWsa(errno));
        return writeIntOption(pl.l_onoff == 0, optval, optlen);
    }
    case WS_SO_RCVBUF:
    case WS_SO_SNDBUF: {
        bool rcv = optname == WS_SO_RCVBUF;
        int set = rcv ? k.rcvbuf : k.sndbuf;
        if (set >= 0) return writeIntOption(set, optval, optlen);
        if (getInt(SOL_SOCKET, rcv ? SO_RCVBUF : SO_SNDBUF, &v) != 0) return SOCKET_ERROR;
        return writeIntOption(v, optval, optlen);
    }
    case WS_SO_ERROR: {
        if (k.stickyError) return writeIntOption(k.stickyError, optval, optlen);
        if (getInt(SOL_SOCKET, SO_ERROR, &v) != 0) return SOCKET_ERROR;
        return writeIntOption(v ? ErrnoToWsa(v) : 0, optval, optlen);
    }
    case WS_SO_TYPE:
        if (getInt(SOL_SOCKET, SO_TYPE, &v) != 0) return SOCKET_ERROR;
        return writeIntOption(v == SOCK_STREAM ? WS_SOCK_STREAM : WS_SOCK_DGRAM, optval, optlen);
    case WS_SO_ACCEPTCONN:
        return writeIntOption(k.state == State::Listening, optval, optlen);
    case WS_SO_KEEPALIVE:
    case WS_SO_OOBINLINE:
    case WS_SO_REUSEADDR:
    case WS_SO_BROADCAST:
    case WS_SO_DONTROUTE: {
        int pname = optname == WS_SO_KEEPALIVE   ? SO_KEEPALIVE
                    : optname == WS_SO_OOBINLINE ? SO_OOBINLINE
                    : optname == WS_SO_REUSEADDR ? SO_REUSEADDR
                    : optname == WS_SO_BROADCAST ? SO_BROADCAST
                                                 : SO_DONTROUTE;
        if (getInt(SOL_SOCKET, pname, &v) != 0) return SOCKET_ERROR;
        return writeIntOption(v != 0, optval, optlen);
    }
    case WS_SO_SNDTIMEO:
    case WS_SO_RCVTIMEO: {
        timeval tv{};
        socklen_t len = sizeof tv;
        int pname = optname == WS_SO_SNDTIMEO ? SO_SNDTIMEO : SO_RCVTIMEO;
        if (::getsockopt(k.fd, SOL_SOCKET, pname, &tv, &len) != 0) return fail(ErrnoToWsa(errno));
        return writeIntOption(int(tv.tv_sec * 1000 + tv.tv_usec / 1000), optval, optlen);
    }
    default:
        return fail(WSAENOPROTOOPT);
    }
}

int wsIoctlsocket(SOCKET s, int32_t cmd, uint32_t* argp) {
    if (!started()) return SOCKET_ERROR;
    if (!argp) return fail(WSAEFAULT);
    if (cmd == WS_FIONBIO) {
        return withSock(s, [&](Sock& k) {
            bool on = *argp != 0;
            // A socket with notifications stays non-blocking.
            if (!on && k.hwnd && k.mask) return fail(WSAEINVAL);
            int fl = ::fcntl(k.fd, F_GETFL);
            if (fl < 0 || ::fcntl(k.fd, F_SETFL, on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK) != 0)
                return fail(ErrnoToWsa(errno));
            k.nonBlocking = on;
            return 0;
        });
    }
    if (cmd == WS_FIONREAD) {
        int fd = fdOf(s);
        if (fd < 0) return fail(WSAENOTSOCK);
        int n = 0;
        if (::ioctl(fd, FIONREAD, &n) != 0) return fail(ErrnoToWsa(errno));
        *argp = uint32_t(n);
        return 0;
    }
    return fail(WSAEINVAL);
}

int toPosixFlags(int flags) {
    int f = 0;
    if (flags & WS_MSG_OOB) f |= MSG_OOB;
    if (flags & WS_MSG_PEEK) f |= MSG_PEEK;
    return f;
}

// Checks before a transfer: the socket exists and has not been reset.
int transferCheck(SOCKET s, int* fd) {
    SockTable& t = table();
    std::lock_guard lk(t.mu);
    auto it = t.socks.find(s);
    if (it == t.socks.end()) return WSAENOTSOCK;
    *fd = it->second.fd;
    return it->second.stickyError;
}

// A reset noticed by a call rather than by the watch: it sticks to the socket, and FD_CLOSE is
// still posted once, since the watch stops looking at a reset socket.
void noteReset(Posts& posts, Sock& k, SOCKET s, int err) {
    k.stickyError = ErrnoToWsa(err);
    if (k.state == State::Connected && !k.closeSeen) {
        k.closeSeen = true;
        queue(posts, k, s, FD_CLOSE, k.stickyError);
    }
}

// Records the outcome of a receive: it re-enables FD_READ; a reset sticks to the socket. True when
// the watch is then to be synced. Caller holds the table's lock.
bool noteReceive(Posts& posts, Sock& k, SOCKET s, int err) {
    k.readPending = false;
    if (endsConnection(err)) noteReset(posts, k, s, err);
    return !watchInStep(k);
}

void afterReceive(SOCKET s, int err) {
    SockTable& t = table();
    Posts posts;
    bool sync;
    {
        std::lock_guard lk(t.mu);
        auto it = t.socks.find(s);
        if (it == t.socks.end()) return;
        sync = noteReceive(posts, it->second, s, err);
    }
    deliver(posts);
    if (sync) syncWatch(s);
}

int wsRecv(SOCKET s, char* buf, int len, int flags) {
    if (!started()) return SOCKET_ERROR;
    SockTable& t = table();
    int fd, sticky;
    {
        std::unique_lock lk(t.mu);
        auto it = t.socks.find(s);
        if (it == t.socks.end()) return fail(WSAENOTSOCK);
        Sock& k = it->second;
        if (!k.stickyError && k.nonBlocking && len >= 0 && (buf || len == 0)) {
            // A receive that cannot block is made in the same hold as the check and the record of
            // its outcome: one lock a reply instead of two.
            ssize_t n = ::recv(k.fd, buf, size_t(len), toPosixFlags(flags) | MSG_DONTWAIT);
            int e = n < 0 ? errno : 0;
            Posts posts;
            bool sync = noteReceive(posts, k, s, e);
            lk.unlock();
            deliver(posts);
            if (sync) syncWatch(s);
            if (n < 0) return fail(ErrnoToWsa(e));
            return int(n);
        }
        fd = k.fd;
        sticky = k.stickyError;
    }
    if (sticky) {
        afterReceive(s, 0);
        return fail(sticky);
    }
    if (len < 0 || (!buf && len > 0)) return fail(WSAEFAULT);
    ssize_t n = ::recv(fd, buf, size_t(len), toPosixFlags(flags)); // may block: not under the lock
    int e = n < 0 ? errno : 0;
    afterReceive(s, e);
    if (n < 0) return fail(ErrnoToWsa(e));
    return int(n);
}

int wsRecvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
    if (!started()) return SOCKET_ERROR;
    int fd;
    if (int err = transferCheck(s, &fd)) return fail(err);
    if (len < 0 || (!buf && len > 0)) return fail(WSAEFAULT);
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t n = ::recvfrom(fd, buf, size_t(len), toPosixFlags(flags), reinterpret_cast<sockaddr*>(&a), &alen);
    int e = n < 0 ? errno : 0;
    afterReceive(s, e);
    if (n < 0) return fail(ErrnoToWsa(e));
    if (from && fromPosix(a, from, fromlen) != 0) return SOCKET_ERROR;
    return int(n);
}

// Records the outcome of a send: "would block" re-arms FD_WRITE; a reset sticks to the socket.
void afterSend(SOCKET s, int err) {
    if (err == 0) return; // nothing to record: the lock is not needed
    SockTable& t = table();
    Posts posts;
    bool sync = false;
    {
        std::lock_guard lk(t.mu);
        auto it = t.socks.find(s);
        if (it == t.socks.end()) return;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            it->second.writeArmed = true;
            sync = !watchInStep(it->second);
        } else if (endsConnection(err)) {
            noteReset(posts, it->second, s, err);
            sync = !watchInStep(it->second);
        }
    }
    deliver(posts);
    if (sync) syncWatch(s);
}

int wsSend(SOCKET s, const char* buf, int len, int flags) {
    if (!started()) return SOCKET_ERROR;
    int fd;
    if (int err = transferCheck(s, &fd)) return fail(err);
    if (len < 0 || (!buf && len > 0)) return fail(WSAEFAULT);
    ssize_t n = ::send(fd, buf, size_t(len), toPosixFlags(flags) | MSG_NOSIGNAL);
    int e = n < 0 ? errno : 0;
    afterSend(s, e);
    if (n < 0) return fail(ErrnoToWsa(e));
    return int(n);
}

int wsSendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
    if (!started()) return SOCKET_ERROR;
    int fd;
    if (int err = transferCheck(s, &fd)) return fail(err);
    if (len < 0 || (!buf && len > 0)) return fail(WSAEFAULT);
    ssize_t n;
    if (to) {
        sockaddr_in a;
        int err;
        if (!toPosix(to, tolen, &a, &err)) return fail(err);
        n = ::sendto(fd, buf, size_t(len), toPosixFlags(flags) | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        n = ::send(fd, buf, size_t(len), toPosixFlags(flags) | MSG_NOSIGNAL);
    }
    int e = n < 0 ? errno : 0;
    afterSend(s, e);
    if (n < 0) return fail(ErrnoToWsa(e));
    return int(n);
}

int wsShutdown(SOCKET s, int how) {
    if (!started()) return SOCKET_ERROR;
    int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    int phow = how == WS_SD_RECEIVE ? SHUT_RD
               : how == WS_SD_SEND  ? SHUT_WR
               : how == WS_SD_BOTH  ? SHUT_RDWR
                                    : -1;
    if (phow < 0) return fail(WSAEINVAL);
    if (::shutdown(fd, phow) != 0) return fail(ErrnoToWsa(errno));
    return 0;
}

int wsSelect(int, WS_FD_SET* readfds, WS_FD_SET* writefds, WS_FD_SET* exceptfds, const TIMEVAL* timeout) {
    if (!started()) return SOCKET_ERROR;
    std::vector<pollfd> pfds;
    std::vector<std::pair<SOCKET, int>> who; // socket and set (0 read, 1 write, 2 except)
    WS_FD_SET* sets[3] = {readfds, writefds, exceptfds};
    const short evs[3] = {POLLIN, POLLOUT, POLLPRI};
    for (int i = 0; i < 3; ++i) {
        if (!sets[i]) continue;
        if (sets[i]->fd_count > WS_FD_SETSIZE) return fail(WSAEINVAL);
        for (uint32_t j = 0; j < sets[i]->fd_count; ++j) {
            int fd = fdOf(sets[i]->fd_array[j]);
            if (fd < 0) return fail(WSAENOTSOCK);
            pfds.push_back({fd, evs[i], 0});
            who.emplace_back(sets[i]->fd_array[j], i);
        }
    }
    if (pfds.empty()) return fail(WSAEINVAL);
    int ms = -1;
    if (timeout) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return fail(WSAEINVAL);
        int64_t t = int64_t(timeout->tv_sec) * 1000 + timeout->tv_usec / 1000;
        ms = int(t > INT32_MAX ? INT32_MAX : t);
    }
    int r = ::poll(pfds.data(), pfds.size(), ms);
    if (r < 0) return fail(ErrnoToWsa(errno));
    for (auto* set : sets)
        if (set) set->fd_count = 0;
    int total = 0;
    for (size_t i = 0; i < pfds.size(); ++i) {
        short hit = pfds[i].revents & (pfds[i].events | POLLERR | POLLHUP);
        if (!hit) continue;
        WS_FD_SET* set = sets[who[i].second];
        set->fd_array[set->fd_count++] = who[i].first;
        ++total;
    }
    return total;
}

int wsFDIsSet(SOCKET s, WS_FD_SET* set) {
    if (!set) return 0;
    for (uint32_t i = 0; i < set->fd_count && i < WS_FD_SETSIZE; ++i)
        if (set->fd_array[i] == s) return 1;
    return 0;
}

uint32_t wsHtonl(uint32_t v) {
    return htonl(v);
}
uint16_t wsHtons(uint16_t v) {
    return htons(v);
}

uint32_t wsInetAddr(const char* cp) {
    if (!cp) return WS_INADDR_NONE;
    in_addr a{};
    if (::inet_aton(cp, &a) == 0) return WS_INADDR_NONE;
    return a.s_addr;
}

char* wsInetNtoa(IN_ADDR in) {
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

// Per-thread storage behind the returned HOSTENT, as the platform keeps one per thread.
struct HostStorage {
    std::string name;
    std::vector<uint32_t> addrs;
    std::vector<char*> list;
    char* aliases[1] = {nullptr};
    HOSTENT h{};

    HOSTENT* fill(std::string n, std::vector<uint32_t> a) {
        name = std::move(n);
        addrs = std::move(a);
        list.clear();
        for (uint32_t& x : addrs)
            list.push_back(reinterpret_cast<char*>(&x));
        list.push_back(nullptr);
        h.h_name = name.data();
        h.h_aliases = aliases;
        h.h_addrtype = WS_AF_INET;
        h.h_length = 4;
        h.h_addr_list = list.data();
        return &h;
    }
};
thread_local HostStorage t_host;

HOSTENT* wsGethostbyname(const char* name) {
    if (!started()) return nullptr;
    if (!name) {
        t_lastError = WSAEFAULT;
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int r = ::getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0) {
        t_lastError = ResolverErrorToWsa(r);
        return nullptr;
    }
    std::vector<uint32_t> addrs;
    std::string canon = res->ai_canonname ? res->ai_canonname : name;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        if (std::find(addrs.begin(), addrs.end(), a) == addrs.end()) addrs.push_back(a);
    }
    ::freeaddrinfo(res);
    if (addrs.empty()) {
        t_lastError = WSANO_DATA;
        return nullptr;
    }
    return t_host.fill(std::move(canon), std::move(addrs));
}

HOSTENT* wsGethostbyaddr(const char* addr, int len, int type) {
    if (!started()) return nullptr;
    if (!addr || len < 4) {
        t_lastError = WSAEFAULT;
        return nullptr;
    }
    if (type != WS_AF_INET) {
        t_lastError = WSAEAFNOSUPPORT;
        return nullptr;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    std::memcpy(&a.sin_addr.s_addr, addr, 4);
    char host[NI_MAXHOST];
    int r =
        ::getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (r != 0) {
        t_lastError = ResolverErrorToWsa(r);
        return nullptr;
    }
    return t_host.fill(host, {a.sin_addr.s_addr});
}

int wsGethostname(char* name, int namelen) {
    if (!started()) return SOCKET_ERROR;
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return fail(ErrnoToWsa(errno));
    size_t n = std::strlen(buf);
    if (!name || namelen < 0 || size_t(namelen) < n + 1) return fail(WSAEFAULT);
    std::memcpy(name, buf, n + 1);
    return 0;
}

// Service and protocol look-ups through the system's databases (reentrant versions).
struct ServStorage {
    servent se{};
    char buf[1024];
    SERVENT out{};
    SERVENT* fill(servent* p) {
        if (!p) {
            t_lastError = WSANO_DATA;
            return nullptr;
        }
        out.s_name = p->s_name;
        out.s_aliases = p->s_aliases;
        out.s_port = int16_t(p->s_port);
        out.s_proto = p->s_proto;
        return &out;
    }
};
thread_local ServStorage t_serv;

SERVENT* wsGetservbyname(const char* name, const char* proto) {
    if (!started()) return nullptr;
    servent* p = nullptr;
    if (!name || ::getservbyname_r(name, proto, &t_serv.se, t_serv.buf, sizeof t_serv.buf, &p) != 0)
        p = nullptr;
    return t_serv.fill(p);
}

SERVENT* wsGetservbyport(int port, const char* proto) {
    if (!started()) return nullptr;
    servent* p = nullptr;
    if (::getservbyport_r(port, proto, &t_serv.se, t_serv.buf, sizeof t_serv.buf, &p) != 0) p = nullptr;
    return t_serv.fill(p);
}

struct ProtoStorage {
    protoent pe{};
    char buf[1024];
    PROTOENT out{};
    PROTOENT* fill(protoent* p) {
        if (!p) {
            t_lastError = WSANO_DATA;
            return nullptr;
        }
        out.p_name = p->p_name;
        out.p_aliases = p->p_aliases;
        out.p_proto = int16_t(p->p_proto);
        return &out;
    }
};
thread_local ProtoStorage t_proto;

PROTOENT* wsGetprotobyname(const char* name) {
    if (!started()) return nullptr;
    protoent* p = nullptr;
    if (!name || ::getprotobyname_r(name, &t_proto.pe, t_proto.buf, sizeof t_proto.buf, &p) != 0) p = nullptr;
    return t_proto.fill(p);
}

PROTOENT* wsGetprotobynumber(int number) {
    if (!started()) return nullptr;
    protoent* p = nullptr;
    if (::getprotobynumber_r(number, &t_proto.pe, t_proto.buf, sizeof t_proto.buf, &p) != 0) p = nullptr;
    return t_proto.fill(p);
}

int wsAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, long lEvent) {
    if (!started()) return SOCKET_ERROR;
    if (lEvent != 0 && !IsWindow(hWnd)) return fail(WSAEINVAL);
    WatchId stale = 0;
    int r = withSock(s, [&](Sock& k) {
        int fl = ::fcntl(k.fd, F_GETFL);
        if (fl < 0 || ::fcntl(k.fd, F_SETFL, fl | O_NONBLOCK) != 0) return fail(ErrnoToWsa(errno));
        k.nonBlocking = true;
        if (k.watch && k.owner != std::this_thread::get_id()) k.watch = 0; // left to the other loop
        if (k.watch) stale = k.watch;
        k.watch = 0;
        k.watched = 0;
        k.owner = std::this_thread::get_id();
        k.hwnd = lEvent ? hWnd : 0;
        k.msg = wMsg;
        k.mask = lEvent;
        if (lEvent) {
            std::pair<HWND, UINT> t{hWnd, wMsg};
            if (std::find(k.targets.begin(), k.targets.end(), t) == k.targets.end()) k.targets.push_back(t);
        }
        // A new request looks at the socket afresh: waiting data, free space and a listener's
        // pending connection are announced again.
        k.readPending = false;
        k.acceptPending = false;
        if (k.state == State::Connected) k.writeArmed = true;
        return 0;
    });
    if (stale) UnwatchFd(stale);
    if (r == 0) syncWatch(s);
    return r;
}

uintptr_t wsAsyncUnsupported() {
    t_lastError = WSAEOPNOTSUPP;
    return 0;
}
uintptr_t wsAsyncGetHostByAddr(HWND, UINT, const char*, int, int, char*, int) {
    return wsAsyncUnsupported();
}
uintptr_t wsAsyncGetHostByName(HWND, UINT, const char*, char*, int) {
    return wsAsyncUnsupported();
}
uintptr_t wsAsyncGetProtoByNumber(HWND, UINT, int, char*, int) {
    return wsAsyncUnsupported();
}
uintptr_t wsAsyncGetProtoByName(HWND, UINT, const char*, char*, int) {
    return wsAsyncUnsupported();
}
uintptr_t wsAsyncGetServByPort(HWND, UINT, int, const char*, char*, int) {
    return wsAsyncUnsupported();
}
uintptr_t wsAsyncGetServByName(HWND, UINT, const char*, const char*, char*, int) {
    return wsAsyncUnsupported();
}
int wsCancelAsyncRequest(uintptr_t) {
    return fail(WSAEINVAL);
}

// Calls never block the message loop here, so there are no blocking hooks to run or cancel.
thread_local FARPROC t_blockingHook = nullptr;
FARPROC wsSetBlockingHook(FARPROC hook) {
    FARPROC old = t_blockingHook;
    t_blockingHook = hook;
    return old;
}
int wsUnhookBlockingHook() {
    t_blockingHook = nullptr;
    return 0;
}
int wsCancelBlockingCall() {
    return 0;
}
int wsIsBlocking() {
    return 0;
}

int wsGetLastError() {
    return t_lastError;
}
void wsSetLastError(int e) {
    t_lastError = e;
}

int wsStartup(WORD wVersionRequired, WSADATA* data) {
    uint8_t major = wVersionRequired & 0xFF, minor = wVersionRequired >> 8;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (!data) return WSAEFAULT;
    WORD granted = (major > 2 || (major == 2 && minor >= 2)) ? MAKEWORD(2, 2) : wVersionRequired;
    *data = WSADATA{};
    data->wVersion = granted;
    data->wHighVersion = MAKEWORD(2, 2);
    std::snprintf(data->szDescription, sizeof data->szDescription, "%s", kBuiltinWinsockDescription);
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", kBuiltinWinsockStatus);
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    data->lpVendorInfo = nullptr;
    ++g_startups;
    return 0;
}

int wsCleanup() {
    int n = g_startups.load();
    while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= 0) return fail(WSANOTINITIALISED);
    return 0;
}

const WinsockTable kBuiltin = {
    wsAccept,
    wsBind,
    wsClosesocket,
    wsConnect,
    wsGetpeername,
    wsGetsockname,
    wsGetsockopt,
    wsHtonl,
    wsHtons,
    wsInetAddr,
    wsInetNtoa,
    wsIoctlsocket,
    wsListen,
    wsHtonl,
    wsHtons,
    wsRecv,
    wsRecvfrom,
    wsSelect,
    wsSend,
    wsSendto,
    wsSetsockopt,
    wsShutdown,
    wsSocket,
    wsGethostbyaddr,
    wsGethostbyname,
    wsGetprotobyname,
    wsGetprotobynumber,
    wsGetservbyname,
    wsGetservbyport,
    wsGethostname,
    wsAsyncSelect,
    wsAsyncGetHostByAddr,
    wsAsyncGetHostByName,
    wsAsyncGetProtoByNumber,
    wsAsyncGetProtoByName,
    wsAsyncGetServByPort,
    wsAsyncGetServByName,
    wsCancelAsyncRequest,
    wsSetBlockingHook,
    wsUnhookBlockingHook,
    wsGetLastError,
    wsSetLastError,
    wsCancelBlockingCall,
    wsIsBlocking,
    wsStartup,
    wsCleanup,
    wsFDIsSet,
};

} // namespace

const WinsockTable& BuiltinWinsock() {
    return kBuiltin;
}

int BuiltinWinsockStartupCount() {
    return g_startups.load();
}

int ErrnoToWsa(int err, bool connecting) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return connecting ? WSAEWOULDBLOCK : WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return WSAEINVAL;
    }
}

int ResolverErrorToWsa(int eaiError) {
    switch (eaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return ErrnoToWsa(errno);
    default:
        return WSANO_RECOVERY;
    }
}

} // namespace plat
