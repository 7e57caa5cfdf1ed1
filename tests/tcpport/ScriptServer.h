// Test helpers for the TCP port: a scripted server on 127.0.0.1 (a thread with plain POSIX sockets),
// a log of the port's events and the fixture the port tests share.
#pragma once
#include "tcpport/nwdIPPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
    ~Peer() { close(); }
    void send(std::string_view bytes);
    // Many small writes, each its own segment.
    void sendInPieces(std::string_view bytes, size_t piece);
    std::string readExactly(size_t n);
    std::string readLine(); // up to CR LF, without it
    // Everything until the client closes. Throws "reset" on a reset.
    std::string readToEnd();
    // True when the connection ended with a reset rather than a close.
    bool endsWithReset();
    void close();
    void reset(); // abortive close: the client sees a reset

private:
    int fd_;
};

class ScriptServer {
public:
    // Listens on a port the system picks; one not listening refuses connections.
    explicit ScriptServer(bool listening = true);
    ~ScriptServer();
    uint16_t port() const { return port_; }
    // Accepts the next connection on the server thread and runs the script on it.
    void run(std::function<void(Peer&)> script);
    void join();
    // Runs the loop until the script has finished; false after kHangMs. Finishing posts nothing that
    // would wake the loop, so it looks again every few milliseconds.
    bool pumpUntilDone();
    // Waits for the script; what went wrong inside it, empty when nothing did.
    std::string failure();

private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::string failure_;
};

struct Event {
    char kind; // 'C' connected, 'D' data, 'X' disconnected, 'E' error, 'R' ready to send
    int code = 0;
    std::string text; // description, or the data
    bool eol = false;
    bool connectedInside = false; // Connected as read inside the handler
};

// Records events: every event of a port, or whatever add() is given. Extra actions can be hooked.
class EventLog {
public:
    EventLog() = default;
    explicit EventLog(TnwdIPPort& port);
    std::vector<Event> events;
    std::function<void(const Event&)> then; // runs inside the handler, after recording

    void add(const Event& e);
    int count(char kind) const { return int(of(kind).size()); }
    std::vector<Event> of(char kind) const;
    std::vector<std::string> texts() const; // of every delivery
    std::string eols() const;               // '1' or '0' per delivery: whether it ended a line
    std::string data() const;               // every delivery joined
    bool waitFor(char kind, int times = 1);
};

// A port with its events recorded.
struct LoggedPort : TnwdIPPort {
    explicit LoggedPort(const std::string& eol = "") { SetEOL(eol); }
    EventLog log{*this};
};

// Runs the loop until the posted marker comes back: whatever was queued before has been handled.
void settle();

// "code: text" of the EnwdIPPort that f raises, or "no exception".
template <class F> std::string messageOf(F&& f) {
    try {
        f();
    } catch (const EnwdIPPort& e) {
        return e.what();
    }
    return "no exception";
}

// Every port test starts and ends with no library reference held and no library started, and
// collects what handlers let escape from the message loop.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts connecting port to 127.0.0.1:to.
    static void dial(TnwdIPPort& port, uint16_t to);
    // Connects port to the server, which runs script; the connect must succeed.
    void connect(LoggedPort& port, std::function<void(Peer&)> script);

    ScriptServer server;
    std::vector<std::string> escaped;
};

} // namespace tcptest
