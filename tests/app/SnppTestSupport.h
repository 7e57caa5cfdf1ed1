// Test helpers of the paging client: the decipherment of MESS payloads, a scripted SNPP server on
// a thread, a same-thread loopback peer, and pumping the GUI thread's message loop.
#pragma once
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
    // Returns the bytes to send for one received line (without its CR LF); nullopt = default reply.
    // closeAfter = true closes the connection after sending.
    struct Reply {
        std::string bytes;
        bool closeAfter = false;
    };
    using Script = std::function<std::optional<Reply>(const std::string& line, int connection)>;

    ScriptedServer();
    ~ScriptedServer();
    int port() const { return port_; }
    void setScript(Script s);
    void setGreeting(std::string bytes); // default "220 SNPP Gateway Ready\r\n"
    std::vector<Page> pages() const;
    std::vector<std::string> transcript() const;
    int connections() const { return connections_.load(); }
    int closedConnections() const { return closed_.load(); }
    // Stops accepting and closes everything.
    void stop();

private:
    void run();
    void serve(int fd, int connection);

    int listenFd_ = -1;
    int port_ = 0;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mu_;
    Script script_;
    std::string greeting_ = "220 SNPP Gateway Ready\r\n";
    std::vector<Page> pages_;
    std::vector<std::string> transcript_;
    std::atomic<int> connections_{0};
    std::atomic<int> closed_{0};
    std::atomic<bool> stopping_{false};
};

// A server end that the test drives from its own thread: accept, send bytes, read what arrived.
class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    int port() const { return port_; }
    bool accepted() { return tryAccept(); }
    bool tryAccept();
    void send(const std::string& bytes);
    // Everything received so far (non-blocking).
    std::string received();
    // Takes received bytes up to and including the first LF; empty when none yet.
    std::string takeLine();
    // True once the client closed its end.
    bool peerClosed();
    void closeClient();

private:
    void readAvailable();
    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    bool eof_ = false;
    std::string in_;
};

} // namespace snpptest
