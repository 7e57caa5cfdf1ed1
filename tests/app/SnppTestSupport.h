// Test helpers of the paging client: the decipherment of MESS payloads, a scripted SNPP server on
// a thread, a same-thread loopback peer, and pumping the GUI thread's message loop.
#pragma once
#include "tests/support/TestSupport.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace snpptest {

// Recovers the text from cipher letters (throws std::invalid_argument on letters outside a..p or
// an odd count).
std::string Decrypt(const std::string& letters);

// Runs the GUI thread's message queue and Qt's events until pred() holds or realMs of real time
// pass. Returns pred().
bool pumpUntil(const std::function<bool()>& pred, int realMs = 10000);
// Runs the queue for about realMs of real time.
void pumpFor(int realMs);

// Loopback ports the running test owns; a connect elsewhere is a fault of the test (see PortGuard).
void ownPort(int port);
void releasePort(int port);

// A loopback port bound and never listening: a connect to it is refused, and no other program can
// take it while the object lives.
class RefusedPort {
public:
    RefusedPort();
    ~RefusedPort();
    int port() const { return held_.port(); }

private:
    pwtest::LoopbackPort held_;
};

// While it lives, the program's sockets library lets connects reach only ports the test owns; any
// other connect (a built-in host's fixed port, say) is recorded and sent to a refused port instead.
class PortGuard {
public:
    PortGuard();
    ~PortGuard();
    int refusedPort() const { return refused_.port(); }
    // "address:port" of every connect that was headed elsewhere.
    std::vector<std::string> strays() const;

private:
    RefusedPort refused_;
};

// One page as the scripted server took it.
struct Page {
    std::string pagerId;
    std::string pin;
    std::string text; // deciphered
    std::string hold;
};

// An SNPP server on 127.0.0.1 that runs on its own thread, one connection at a time. By default it
// answers as an RFC 1861 level-2 server and deciphers every MESS; a script can replace the reply to
// any line. Every byte exchanged is kept in a transcript ("C: ..." and "S: ..." lines).
class ScriptedServer {
public:
    // Returns the bytes to send for one received line (without its CR LF); nullopt = default reply,
    // kHangUp = close the connection without a reply.
    using Script = std::function<std::optional<std::string>(const std::string& line)>;
    static constexpr const char* kHangUp = "<hang up>";

    // greeting "" = accepts and never answers.
    explicit ScriptedServer(std::string greeting = "220 SNPP Gateway Ready\r\n");
    ~ScriptedServer(); // stops accepting and closes everything
    int port() const { return port_; }
    void setScript(Script s);
    // A script that answers bytes to every line starting with lineStart (bytes "" = no answer).
    void answer(const std::string& lineStart, const std::string& bytes);
    void setGreeting(std::string bytes);
    std::vector<Page> pages() const;
    std::vector<std::string> pagerIds() const; // of the pages, in order
    std::vector<std::string> texts() const;
    std::vector<std::string> transcript() const;
    int connections() const { return connections_.load(); }
    int closedConnections() const { return closed_.load(); }

private:
    void run();
    void serve(int fd);

    int listenFd_ = -1;
    int port_ = 0;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mu_;
    Script script_;
    std::string greeting_;
    std::vector<Page> pages_;
    std::vector<std::string> transcript_;
    std::atomic<int> connections_{0};
    std::atomic<int> closed_{0};
};

// A server end that the test drives from its own thread: accept, send bytes, read what arrived.
class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    int port() const { return port_; }
    bool tryAccept();
    void send(const std::string& bytes);
    // Everything received so far (non-blocking).
    std::string received();
    // Takes received bytes up to and including the first LF once there, running the GUI thread's
    // queue meanwhile; empty after realMs.
    std::string waitLine(int realMs = 10000);
    // True once the client closed its end.
    bool peerClosed();

private:
    void readAvailable();
    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    bool eof_ = false;
    std::string in_;
};

} // namespace snpptest
