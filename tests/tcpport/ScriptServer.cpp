// Test helpers for the TCP port: the scripted server, the event log and the fixture.
#include "tests/tcpport/ScriptServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tcptest {

namespace {

int loopbackSocket(uint16_t* port, bool listening) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind failed");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    if (listening && ::listen(fd, 8) != 0) throw std::runtime_error("listen failed");
    return fd;
}

} // namespace

Peer::Peer(int fd) : fd_(fd) {
    timeval tv{kHangMs / 1000, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Peer::send(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("server send failed");
        done += size_t(n);
    }
}

void Peer::sendInPieces(std::string_view bytes, size_t piece) {
    for (size_t i = 0; i < bytes.size(); i += piece)
        send(bytes.substr(i, piece));
}

std::string Peer::readExactly(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
        if (r <= 0) throw std::runtime_error("server read ended early");
        got += size_t(r);
    }
    return out;
}

std::string Peer::readLine() {
    std::string line;
    char c;
    while (!line.ends_with("\r\n")) {
        if (::recv(fd_, &c, 1, 0) <= 0)
            throw std::runtime_error("server read ended before the end of the line");
        line.push_back(c);
    }
    line.resize(line.size() - 2);
    return line;
}

std::string Peer::readToEnd() {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r == 0) return out;
        if (r < 0) throw std::runtime_error(errno == ECONNRESET ? "reset" : "server read failed");
        out.append(buf, size_t(r));
    }
}

bool Peer::endsWithReset() {
    try {
        readToEnd();
        return false;
    } catch (const std::runtime_error& e) {
        if (std::string_view(e.what()) != "reset") throw;
        return true;
    }
}

void Peer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Peer::reset() {
    ::linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

ScriptServer::ScriptServer(bool listening) {
    listenFd_ = loopbackSocket(&port_, listening);
}

ScriptServer::~ScriptServer() {
    join();
    ::close(listenFd_);
}

void ScriptServer::run(std::function<void(Peer&)> script) {
    join();
    done_ = false;
    thread_ = std::thread([this, script = std::move(script)] {
        try {
            timeval tv{kHangMs / 1000, 0};
            ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) throw std::runtime_error("nobody connected");
            Peer peer(fd);
            script(peer);
        } catch (const std::exception& e) {
            failure_ = e.what();
        }
        done_ = true;
    });
}

bool ScriptServer::pumpUntilDone() {
    uint64_t end = plat::NowMs() + kHangMs;
    while (!done_ && plat::NowMs() < end)
        plat::PumpUntil([&] { return done_.load(); }, 10);
    return done_;
}

void ScriptServer::join() {
    if (thread_.joinable()) thread_.join();
}

std::string ScriptServer::failure() {
    join();
    return failure_;
}

EventLog::EventLog(TnwdIPPort& port) {
    auto add = [this, &port](Event e) {
        e.connectedInside = port.GetConnected();
        this->add(e);
    };
    port.OnConnected = [add](cls::TComponent*, int code, const std::string& d) { add({'C', code, d}); };
    port.OnDataIn = [add](cls::TComponent*, const std::string& t, bool eol) { add({'D', 0, t, eol}); };
    port.OnDisconnected = [add](cls::TComponent*, int code, const std::string& d) { add({'X', code, d}); };
    port.OnError = [add](cls::TComponent*, int code, const std::string& d) { add({'E', code, d}); };
    port.OnReadyToSend = [add](cls::TComponent*) { add({'R', 0, ""}); };
}

void EventLog::add(const Event& e) {
    events.push_back(e);
    if (then) then(events.back());
}

std::vector<Event> EventLog::of(char kind) const {
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.kind == kind) out.push_back(e);
    return out;
}

std::vector<std::string> EventLog::texts() const {
    std::vector<std::string> out;
    for (const Event& e : of('D'))
        out.push_back(e.text);
    return out;
}

std::string EventLog::eols() const {
    std::string out;
    for (const Event& e : of('D'))
        out += e.eol ? '1' : '0';
    return out;
}

std::string EventLog::data() const {
    std::string out;
    for (const Event& e : of('D'))
        out += e.text;
    return out;
}

bool EventLog::waitFor(char kind, int times) {
    return plat::PumpUntil([&] { return count(kind) >= times; }, kHangMs);
}

void settle() {
    bool back = false;
    plat::HWND h = plat::CreateHiddenWindow([&](plat::HWND, plat::UINT m, plat::WPARAM, plat::LPARAM) {
        if (m == plat::WM_USER) back = true;
        return plat::LRESULT(0);
    });
    for (int round = 0; round < 3; ++round) {
        back = false;
        plat::PostMessage(h, plat::WM_USER, 0, 0);
        plat::PumpUntil([&] { return back; }, kHangMs);
    }
    plat::DestroyWindow(h);
}

void PortTest::SetUp() {
    NwdLoader().SetPath("");
    ASSERT_EQ(NwdLoader().RefCount(), 0);
    plat::SetDispatchExceptionHandler([this](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            escaped.push_back(x.what());
        }
    });
}

void PortTest::TearDown() {
    plat::SetDispatchExceptionHandler(nullptr);
    EXPECT_EQ(NwdLoader().RefCount(), 0); // every port gave its reference back
    EXPECT_EQ(plat::BuiltinWinsockStartupCount(), 0);
}

void PortTest::dial(TnwdIPPort& port, uint16_t to) {
    port.SetRemoteHost("127.0.0.1");
    port.SetRemotePort(to);
    port.SetConnected(true);
}

void PortTest::connect(LoggedPort& port, std::function<void(Peer&)> script) {
    server.run(std::move(script));
    dial(port, server.port());
    ASSERT_TRUE(port.log.waitFor('C'));
    ASSERT_EQ(port.log.of('C')[0].code, 0);
}

} // namespace tcptest
