// Test helpers for the TCP port: a scripted server on 127.0.0.1 (a thread with plain POSIX sockets)
// and a log of the port's events.
#pragma once
#include "tcpport/nwdIPPort.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tcptest {

// Generous bound for "does not hang"; nothing waits for it to pass.
constexpr uint64_t kHangMs = 20000;

// One accepted connection, seen from the server. Reads fail (throw) after kHangMs without data.
class Peer {
public:
    explicit Peer(int fd);
    ~Peer();
    void send(std::string_view bytes);
    // Many small writes, each its own segment.
    void sendInPieces(std::string_view bytes, size_t piece);
    std::string readExactly(size_t n);
    std::string readLine(); // up to CR LF, without it
    // Everything until the client closes. Throws on a reset.
    std::string readToEnd();
    // True when the connection ended with a reset rather than a close.
    bool endsWithReset();
    void close();
    void reset(); // abortive close: the client sees a reset
    int fd() const { return fd_; }

private:
    int fd_;
};

class ScriptServer {
public:
    ScriptServer(); // listens on a port the system picks
    ~ScriptServer();
    uint16_t port() const { return port_; }
    // Accepts the next connection on the server thread and runs the script on it.
    void run(std::function<void(Peer&)> script);
    void join();
    bool done() const { return done_.load(); }
    // What went wrong inside the script; empty when nothing did.
    std::string failure();

private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::mutex mu_;
    std::string failure_;
};

// A port bound on 127.0.0.1 that refuses connections (bound, not listening).
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

struct Event {
    char kind; // 'C' connected, 'D' data, 'X' disconnected, 'E' error, 'R' ready to send
    int code = 0;
    std::string text; // description, or the data
    bool eol = false;
    bool connectedInside = false; // Connected as read inside the handler
};

// Records every event of a port. Extra actions can be hooked per kind.
class EventLog {
public:
    explicit EventLog(TnwdIPPort& port);
    std::vector<Event> events;
    std::function<void(const Event&)> then; // runs inside the handler, after recording

    int count(char kind) const;
    std::vector<Event> of(char kind) const;
    std::string data() const; // every delivery joined
    bool waitFor(char kind, int times = 1);
    bool waitForData(size_t bytes);

private:
    TnwdIPPort& port_;
};

// Runs the loop until the posted marker comes back: whatever was queued before has been handled.
void settle();

// CPU time this thread has used, in milliseconds.
double threadCpuMs();

} // namespace tcptest
