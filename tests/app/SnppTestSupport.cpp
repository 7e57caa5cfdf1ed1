// Test helpers of the paging client: decipherment, the ports a test owns and the guard on the
// rest, the scripted SNPP server, the loopback peer and the message pump.
#include "tests/app/SnppTestSupport.h"

#include "app/Unit1_crypt.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace snpptest {

std::string Decrypt(const std::string& letters) {
    if (letters.size() % 2 != 0) throw std::invalid_argument("odd number of cipher letters");
    Pc1Cipher c;
    c.reset();
    std::string out;
    out.reserve(letters.size() / 2);
    for (size_t k = 0; k < letters.size(); k += 2) {
        const int hi = letters[k] - 'a', lo = letters[k + 1] - 'a';
        if (hi < 0 || hi > 15 || lo < 0 || lo > 15) throw std::invalid_argument("letter outside a..p");
        c.Assemble();
        const auto cfc = static_cast<uint8_t>(c.inter >> 8), cfd = static_cast<uint8_t>(c.inter & 0xFF);
        const auto plain = static_cast<uint8_t>((hi << 4 | lo) ^ cfc ^ cfd);
        for (auto& b : c.key)
            b ^= plain;
        out.push_back(static_cast<char>(plain));
    }
    return out;
}

bool pumpUntil(const std::function<bool()>& pred, int realMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    for (;;) {
        plat::ProcessPendingMessages();
        QCoreApplication::processEvents();
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{plat::LoopWakeFd(), POLLIN, 0};
        ::poll(&p, 1, 2);
    }
}

void pumpFor(int realMs) {
    pumpUntil([] { return false; }, realMs);
}

namespace {
int listenLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20)
            out += "\\x" + std::to_string(static_cast<int>(c));
        else
            out += c;
    }
    return out;
}
} // namespace

// ---- Owned ports and the guard ------------------------------------------------------------------

namespace {
std::mutex portsMu;
std::multiset<int> ownedPorts;
std::vector<std::string> strayConnects;
int strayTarget = 0; // where a stray connect is sent: the guard's refused port

int guardedConnect(plat::SOCKET s, const plat::SOCKADDR* name, int len) {
    plat::SOCKADDR_IN a{};
    if (name && len >= static_cast<int>(sizeof a) && name->sa_family == plat::WS_AF_INET) {
        std::memcpy(&a, name, sizeof a);
        const int port = ntohs(a.sin_port);
        std::lock_guard<std::mutex> g(portsMu);
        if (ownedPorts.count(port) == 0) {
            char addr[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &a.sin_addr.s_addr, addr, sizeof addr);
            strayConnects.push_back(std::string(addr) + ":" + std::to_string(port));
            a.sin_port = htons(static_cast<uint16_t>(strayTarget));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            name = reinterpret_cast<const plat::SOCKADDR*>(&a);
        }
    }
    return plat::BuiltinWinsock().connect(s, name, len);
}
} // namespace

void ownPort(int port) {
    std::lock_guard<std::mutex> g(portsMu);
    ownedPorts.insert(port);
}

void releasePort(int port) {
    std::lock_guard<std::mutex> g(portsMu);
    const auto at = ownedPorts.find(port);
    if (at != ownedPorts.end()) ownedPorts.erase(at);
}

RefusedPort::RefusedPort() {
    ownPort(held_.port());
}

RefusedPort::~RefusedPort() {
    releasePort(held_.port());
}

PortGuard::PortGuard() {
    {
        std::lock_guard<std::mutex> g(portsMu);
        strayConnects.clear();
        strayTarget = refused_.port();
    }
    plat::WinsockTable t = plat::BuiltinWinsock();
    t.connect = guardedConnect;
    plat::RegisterSocketLibrary("WSOCK32.DLL", t);
}

PortGuard::~PortGuard() {
    plat::UnregisterSocketLibrary("WSOCK32.DLL");
}

std::vector<std::string> PortGuard::strays() const {
    std::lock_guard<std::mutex> g(portsMu);
    return strayConnects;
}

// ---- ScriptedServer ------------------------------------------------------------------------------

ScriptedServer::ScriptedServer(std::string greeting) : greeting_(std::move(greeting)) {
    listenFd_ = listenLoopback(port_);
    ownPort(port_);
    if (::pipe2(wakeFd_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    char b = 1;
    (void)!::write(wakeFd_[1], &b, 1);
    if (thread_.joinable()) thread_.join();
    releasePort(port_);
    ::close(listenFd_);
    ::close(wakeFd_[0]);
    ::close(wakeFd_[1]);
}

void ScriptedServer::setScript(Script s) {
    std::lock_guard<std::mutex> g(mu_);
    script_ = std::move(s);
}

void ScriptedServer::answer(const std::string& lineStart, const std::string& bytes) {
    setScript([lineStart, bytes](const std::string& line) -> std::optional<std::string> {
        if (line.rfind(lineStart, 0) == 0) return bytes;
        return std::nullopt;
    });
}

void ScriptedServer::setGreeting(std::string bytes) {
    std::lock_guard<std::mutex> g(mu_);
    greeting_ = std::move(bytes);
}

std::vector<Page> ScriptedServer::pages() const {
    std::lock_guard<std::mutex> g(mu_);
    return pages_;
}

std::vector<std::string> ScriptedServer::pagerIds() const {
    std::vector<std::string> ids;
    for (const auto& p : pages())
        ids.push_back(p.pagerId);
    return ids;
}

std::vector<std::string> ScriptedServer::texts() const {
    std::vector<std::string> t;
    for (const auto& p : pages())
        t.push_back(p.text);
    return t;
}

std::vector<std::string> ScriptedServer::transcript() const {
    std::lock_guard<std::mutex> g(mu_);
    return transcript_;
}

void ScriptedServer::run() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ++connections_;
            serve(fd);
            ::close(fd);
            ++closed_;
        }
    }
}

void ScriptedServer::serve(int fd) {
    auto say = [&](const std::string& bytes) {
        if (bytes.empty()) return;
        {
            std::lock_guard<std::mutex> g(mu_);
            transcript_.push_back("S: " + printable(bytes));
        }
        writeAll(fd, bytes);
    };
    std::string greeting;
    {
        std::lock_guard<std::mutex> g(mu_);
        greeting = greeting_;
    }
    say(greeting);
    Page current;
    bool havePager = false, haveMess = false;
    std::string buf;
    char tmp[4096];
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> g(mu_);
            transcript_.push_back("C: <closed>");
            return;
        }
        buf.append(tmp, static_cast<size_t>(n));
        size_t lf;
        while ((lf = buf.find('\n')) != std::string::npos) {
            std::string raw = buf.substr(0, lf + 1);
            buf.erase(0, lf + 1);
            std::string line = raw.substr(0, raw.size() - 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            Script script;
            {
                std::lock_guard<std::mutex> g(mu_);
                transcript_.push_back("C: " + printable(raw));
                script = script_;
            }
            if (script) {
                if (auto r = script(line)) {
                    if (*r == kHangUp) {
                        std::lock_guard<std::mutex> g(mu_);
                        transcript_.push_back("S: <closed>");
                        return;
                    }
                    say(*r);
                    continue;
                }
            }
            const std::string verb = line.substr(0, 4);
            const std::string arg = line.size() > 5 ? line.substr(5) : std::string();
            if (verb == "PAGE") {
                const size_t blank = arg.find(' ');
                current.pagerId = arg.substr(0, blank);
                current.pin = blank == std::string::npos ? std::string() : arg.substr(blank + 1);
                havePager = !current.pagerId.empty();
                say(havePager ? "250 Pager ID Accepted\r\n" : "550 Error, Invalid Pager ID\r\n");
            } else if (verb == "MESS") {
                static const std::string marker = "SNPPENCRYPTED128";
                if (haveMess) {
                    say("503 ERROR, Message Already Entered\r\n");
                } else if (arg.compare(0, marker.size(), marker) != 0) {
                    say("550 ERROR, Invalid Message\r\n");
                } else {
                    try {
                        current.text = Decrypt(arg.substr(marker.size()));
                        haveMess = true;
                        say("250 Message OK\r\n");
                    } catch (...) {
                        say("550 ERROR, Invalid Message\r\n");
                    }
                }
            } else if (verb == "HOLD") {
                current.hold = arg;
                say("250 Delayed Messaging Selected\r\n");
            } else if (verb == "LOGI") {
                say("250 Login Accepted\r\n");
            } else if (verb == "SEND") {
                if (!havePager || !haveMess) {
                    say("503 Error, Pager ID or Message Incomplete\r\n");
                } else {
                    {
                        std::lock_guard<std::mutex> g(mu_);
                        pages_.push_back(current);
                    }
                    current = Page{"", "", "", current.hold};
                    havePager = haveMess = false;
                    say("250 Message Sent Successfully\r\n");
                }
            } else if (verb == "QUIT") {
                say("221 OK, Goodbye\r\n");
                return;
            } else {
                say("500 Command Not Implemented, Try Again\r\n");
            }
        }
    }
}

// ---- LoopbackPeer --------------------------------------------------------------------------------

LoopbackPeer::LoopbackPeer() {
    listenFd_ = listenLoopback(port_);
    ownPort(port_);
    ::fcntl(listenFd_, F_SETFL, O_NONBLOCK);
}

LoopbackPeer::~LoopbackPeer() {
    if (fd_ >= 0) ::close(fd_);
    releasePort(port_);
    ::close(listenFd_);
}

bool LoopbackPeer::tryAccept() {
    if (fd_ >= 0) return true;
    fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd_ >= 0) {
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd_ >= 0;
}

void LoopbackPeer::send(const std::string& bytes) {
    if (fd_ >= 0) writeAll(fd_, bytes);
}

void LoopbackPeer::readAvailable() {
    if (fd_ < 0 || eof_) return;
    char tmp[4096];
    for (;;) {
        ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n > 0) {
            in_.append(tmp, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof_ = true;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

std::string LoopbackPeer::received() {
    readAvailable();
    return in_;
}

std::string LoopbackPeer::waitLine(int realMs) {
    std::string line;
    pumpUntil(
        [&] {
            readAvailable();
            const size_t lf = in_.find('\n');
            if (lf == std::string::npos) return false;
            line = in_.substr(0, lf + 1);
            in_.erase(0, lf + 1);
            return true;
        },
        realMs);
    return line;
}

bool LoopbackPeer::peerClosed() {
    readAvailable();
    return eof_;
}

} // namespace snpptest
