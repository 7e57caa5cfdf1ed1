// The socket protocols: listening and accepting, connecting with retries, the stream read path
// with its checked part lengths, the bounded send queues, datagrams and server discovery.
#include "db/remote/qbllprot.h"

#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <cerrno>

using namespace plat;

namespace {

constexpr int kSocketBufferSize = 32768;
constexpr uint32_t kDatagramBufferSize = 128;
constexpr int kIPXProtocol = 1000, kSPXProtocol = 1256;
constexpr int32_t kErrConnectFailed = 11278, kErrConnectionGone = 292;
// Posted to the window by a thread whose send would block: the window's thread sends the rest, so
// that the socket tells it (the thread that watches it) when it can take more.
constexpr UINT kWmSendWaiting = WM_USER + 3;

} // namespace

TqbWinsockConnection::TqbWinsockConnection(TqbBaseCommsProtocol* protocol, SOCKET s, bool ipx,
                                           uint32_t maxMsgSize)
    : TqbConnection(protocol), Socket(s), IPX(ipx), Reader(maxMsgSize) {
    int size = kSocketBufferSize;
    Winsock().setsockopt(s, WS_SOL_SOCKET, WS_SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    Winsock().setsockopt(s, WS_SOL_SOCKET, WS_SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    if (!ipx) {
        int nodelay = 0;
        int len = sizeof nodelay;
        if (Winsock().getsockopt(s, WS_IPPROTO_TCP, WS_TCP_NODELAY, reinterpret_cast<char*>(&nodelay),
                                 &len) != SOCKET_ERROR &&
            nodelay) {
            nodelay = 0;
            Winsock().setsockopt(s, WS_IPPROTO_TCP, WS_TCP_NODELAY, reinterpret_cast<const char*>(&nodelay),
                                 sizeof nodelay);
        }
    }
}

TqbWinsockProtocol::TqbWinsockProtocol(const std::string& name, bool listen, bool ipx)
    : TqbBaseCommsProtocol(name, listen, qbMaxMsgSizeSockets), ipx_(ipx) {
    if (!LoadWinsock()) throw EqbWinsockException(GeneralStrings(), 385);
    StreamPort = ipx ? GetSPXSocket() : GetTCPPort();
    DatagramPortServer = ipx ? GetIPXSocketSr() : GetUDPPortSr();
    DatagramPortClient = ipx ? GetIPXSocketCl() : GetUDPPortCl();
}

TqbWinsockProtocol::~TqbWinsockProtocol() {
    ReleaseWindow();
    CloseAll();
    CloseSocket(connectSocket_);
    CloseSocket(datagramSocket_);
    CloseSocket(listenSocket_);
}

void TqbWinsockProtocol::CreateWindow() {
    TqbBaseCommsProtocol::CreateWindow();
    if (!Listening()) return;
    listenSocket_ = CreateSocket(ipx_ ? WS_AF_IPX : WS_AF_INET, WS_SOCK_STREAM, ipx_ ? kSPXProtocol : 0);
    SOCKADDR_IN a{};
    a.sin_family = int16_t(ipx_ ? WS_AF_IPX : WS_AF_INET);
    a.sin_port = (Winsock().htons)(StreamPort);
    a.sin_addr.s_addr = ListenAddress;
    // A server started again on its port must not wait for the old connections' TIME_WAIT.
    const int reuse = 1;
    Winsock().setsockopt(listenSocket_, WS_SOL_SOCKET, WS_SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                         sizeof reuse);
    CheckResult(Winsock().bind(listenSocket_, reinterpret_cast<SOCKADDR*>(&a), sizeof a), false);
    int len = sizeof a;
    if (Winsock().getsockname(listenSocket_, reinterpret_cast<SOCKADDR*>(&a), &len) != SOCKET_ERROR)
        boundStreamPort_ = (Winsock().ntohs)(a.sin_port);
    std::string host;
    uint32_t address = 0;
    if (!GetLocalHost(0, host, address)) throw EqbWinsockException(GeneralStrings(), 387);
    SetLocalName(IPToText(address));
}

void TqbWinsockProtocol::ReleaseWindow() {
    // Notifications of the sockets go to this window: they stop with it.
    TqbBaseCommsProtocol::ReleaseWindow();
}

void TqbWinsockProtocol::Listen() {
    if (!Listening()) throw EqbCommsException(GeneralStrings(), 370);
    if (listening_) return;
    AsyncSelect(listenSocket_, window_, FD_ACCEPT);
    // The system's backlog: a burst of clients connecting at once is queued, not refused.
    CheckResult(Winsock().listen(listenSocket_, WS_SOMAXCONN), false);
    listening_ = true;
}

bool TqbWinsockProtocol::addressOf(const std::string& text, uint16_t port, SOCKADDR_IN& out) {
    if (ipx_) return false; // no IPX addresses can be reached on this system
    uint32_t address = 0;
    std::string official;
    if (!TextToIP(text, address) && !ResolveHost(text, address, official)) return false;
    out = SOCKADDR_IN{};
    out.sin_family = WS_AF_INET;
    out.sin_port = (Winsock().htons)(port);
    out.sin_addr.s_addr = address;
    return true;
}

SOCKET TqbWinsockProtocol::newStreamSocket() {
    SOCKET s = CreateSocket(ipx_ ? WS_AF_IPX : WS_AF_INET, WS_SOCK_STREAM, ipx_ ? kSPXProtocol : 0);
    AsyncSelect(s, window_, FD_CONNECT);
    return s;
}

void TqbWinsockProtocol::issueConnect(SOCKET s, const SOCKADDR_IN& to) {
    int r = Winsock().connect(s, reinterpret_cast<const SOCKADDR*>(&to), sizeof to);
    try {
        CheckResult(r, true);
    } catch (const EqbWinsockException&) {
        connecting_ = false;
        connectError_ = Winsock().WSAGetLastError();
    }
}

int32_t TqbWinsockProtocol::ConnectToServer(const std::string& address, uint32_t& clientID,
                                            uint32_t timeoutMs) {
    if (Listening()) throw EqbCommsException(GeneralStrings(), 369);
    if (address.empty()) return kErrConnectFailed;
    SOCKADDR_IN to;
    if (ipx_) {
        uint8_t net[4] = {}, node[6] = {};
        if (!TextToIPX(address, net, node)) return kErrConnectFailed;
        // The address is well formed, but an SPX socket cannot be made here: this raises.
        CloseSocket(connectSocket_);
        connectSocket_ = newStreamSocket();
        return kErrConnectFailed;
    }
    // "host:port" reaches a server that listens on another port than the protocol's own.
    std::string host = address;
    uint16_t port = StreamPort;
    if (const size_t colon = address.rfind(':'); colon != std::string::npos) {
        const std::string digits = address.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return kErrConnectFailed;
        const unsigned long value = std::stoul(digits);
        if (value == 0 || value > 65535) return kErrConnectFailed;
        host = address.substr(0, colon);
        port = uint16_t(value);
    }
    if (!addressOf(host, port, to)) return kErrConnectFailed;
    CloseSocket(connectSocket_);
    connectSocket_ = newStreamSocket();
    connecting_ = true;
    connectError_ = 0;
    issueConnect(connectSocket_, to);
    const uint64_t start = NowMs();
    uint64_t nextTry = start + 1000;
    while ((connecting_ || connectError_) && NowMs() - start < timeoutMs) {
        if (NowMs() >= nextTry) {
            nextTry += 1000;
            if (connectError_) { // refused or failed: a fresh socket, then try again
                CloseSocket(connectSocket_);
                connectSocket_ = newStreamSocket();
                connectError_ = 0;
                connecting_ = true;
            }
            issueConnect(connectSocket_, to);
        }
        Idle();
    }
    if (connecting_ || connectError_) {
        CloseSocket(connectSocket_);
        connecting_ = false;
        return kErrConnectFailed;
    }
    SOCKET s = connectSocket_;
    connectSocket_ = INVALID_SOCKET;
    auto c = newConnection(s);
    c->PeerAddress = to.sin_addr.s_addr;
    clientID = c->ClientID;
    return 0;
}

std::shared_ptr<TqbWinsockConnection> TqbWinsockProtocol::newConnection(SOCKET s) {
    auto c = std::make_shared<TqbWinsockConnection>(this, s, ipx_, MaxMsgSize());
    AddConnection(c);
    {
        std::lock_guard lk(padlock_);
        bySocket_[s] = c;
    }
    AsyncSelect(s, window_, FD_READ | FD_WRITE | FD_CLOSE);
    return c;
}

std::shared_ptr<TqbWinsockConnection> TqbWinsockProtocol::bySocket(SOCKET s) {
    std::lock_guard lk(padlock_);
    auto it = bySocket_.find(s);
    return it == bySocket_.end() ? nullptr : it->second;
}

void TqbWinsockProtocol::CloseTransport(TqbConnection& c) {
    auto& w = static_cast<TqbWinsockConnection&>(c);
    {
        std::lock_guard lk(padlock_);
        auto it = bySocket_.find(w.Socket);
        if (it != bySocket_.end() && it->second.get() == &w) bySocket_.erase(it);
    }
    std::lock_guard lk(w.Padlock);
    CloseSocket(w.Socket);
    w.SendQueue.clear();
    w.QueuedBytes = 0;
}

bool TqbWinsockProtocol::HandleMessage(UINT msg, WPARAM w, LPARAM l, LRESULT& result) {
    if (msg == kWmSendWaiting) {
        if (auto c = std::static_pointer_cast<TqbWinsockConnection>(FindByClientID(uint32_t(w)))) {
            std::lock_guard lk(c->Padlock);
            c->WouldBlock = false;
            if (!flush(*c)) ConnectionLost(c);
        }
        return true;
    }
    if (msg != WM_QB_SOCKET) return false;
    const SOCKET s = SOCKET(w);
    const uint16_t event = SelectEvent(l), error = SelectError(l);
    if (s == connectSocket_ && event == FD_CONNECT) {
        connecting_ = false;
        connectError_ = error;
        return true;
    }
    if (s == listenSocket_) {
        if (event == FD_ACCEPT && !error) onAccept();
        return true;
    }
    if (s == datagramSocket_) {
        if (event == FD_READ && !error) onDatagram();
        return true;
    }
    auto c = bySocket(s);
    if (!c) {
        if (event == FD_READ) Log("Could not find connection for socket %d", {uint64_t(s)});
        return true;
    }
    if (error) {
        ConnectionLost(c);
        return true;
    }
    switch (event) {
    case FD_READ:
        onStreamRead(c);
        break;
    case FD_WRITE: {
        std::lock_guard lk(c->Padlock);
        c->WouldBlock = false;
        if (!flush(*c)) ConnectionLost(c);
        break;
    }
    case FD_CLOSE:
        onStreamRead(c); // what the peer sent before it closed
        ConnectionLost(c);
        break;
    default:
        break;
    }
    return true;
}

void TqbWinsockProtocol::onAccept() {
    SOCKET s = Winsock().accept(listenSocket_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    std::shared_ptr<TqbWinsockConnection> c;
    try {
        c = newConnection(s);
    } catch (const EqbWinsockException&) {
        CloseSocket(s);
        return;
    }
    SOCKADDR_IN peer{};
    int len = sizeof peer;
    if (Winsock().getpeername(s, reinterpret_cast<SOCKADDR*>(&peer), &len) != SOCKET_ERROR)
        c->PeerAddress = peer.sin_addr.s_addr;
    if (OnAddClient) OnAddClient(this, c->ClientID);
}

void TqbWinsockProtocol::onStreamRead(const std::shared_ptr<TqbWinsockConnection>& c) {
    // Receives until the socket has nothing more (bounded, so one busy peer cannot hold the loop).
    for (int round = 0; round < 64 && !c->Gone; ++round) {
        int n = 0;
        const size_t room = c->Reader.FreeSize();
        if (room > 0) {
            n = Winsock().recv(c->Socket, reinterpret_cast<char*>(c->Reader.FreeSpace()),
                               int(c->Reader.FreeSize()), 0);
            if (n == SOCKET_ERROR) {
                int e = Winsock().WSAGetLastError();
                if (e != WSAEWOULDBLOCK) {
                    ConnectionLost(c);
                    return;
                }
                n = 0;
            }
            c->Reader.Commit(size_t(n));
        }
        drainReader(c);
        // A short read emptied the socket; more data is announced again.
        if (n <= 0 || size_t(n) < room) return;
    }
}

void TqbWinsockProtocol::drainReader(const std::shared_ptr<TqbWinsockConnection>& c) {
    if (c->Reading) return; // a handler is pumping messages: the outer pass goes on afterwards
    c->Reading = true;
    while (!c->Gone) {
        uint8_t* part = nullptr;
        uint32_t length = 0;
        TqbPartReader::Item item = c->Reader.Next(&part, &length);
        if (item == TqbPartReader::Item::None) break;
        if (item == TqbPartReader::Item::KeepAlive) {
            KeepAliveReceived(*c);
            continue;
        }
        if (item == TqbPartReader::Item::Bad) {
            // A length outside 32 .. maximum: nothing after it can be framed.
            Log("Message size %d too large.", {c->Reader.BadLength()});
            ConnectionLost(c);
            break;
        }
        if (!MessageReceived(*c, part, length)) break; // stays for the next read or timer tick
        c->Reader.Consume();
    }
    c->Reading = false;
}

void TqbWinsockProtocol::AfterKeepAlive() {
    std::vector<std::shared_ptr<TqbWinsockConnection>> waiting;
    {
        std::lock_guard lk(padlock_);
        for (auto& [s, c] : bySocket_)
            if (c->Reader.Buffered() >= qbMsgHeaderSize) waiting.push_back(c);
    }
    for (auto& c : waiting)
        onStreamRead(c);
}

bool TqbWinsockProtocol::flush(TqbWinsockConnection& c) {
    while (!c.SendQueue.empty() && !c.WouldBlock) {
        auto& b = c.SendQueue.front();
        int n = Winsock().send(c.Socket, reinterpret_cast<const char*>(b.Data.data() + b.Sent),
                               int(b.Data.size() - b.Sent), 0);
        if (n == SOCKET_ERROR) {
            int e = Winsock().WSAGetLastError();
            if (e == WSAEWOULDBLOCK) {
                c.WouldBlock = true;
                break;
            }
            Log("Unhandled Winsock Exception   %d", {e});
            return false;
        }
        b.Sent += size_t(n);
        if (b.Sent == b.Data.size()) {
            c.QueuedBytes -= b.Data.size();
            c.SendQueue.pop_front();
        }
    }
    return true;
}

bool TqbWinsockProtocol::enqueue(const std::shared_ptr<TqbWinsockConnection>& c, std::vector<uint8_t> block,
                                 bool scramble, bool* blocked) {
    bool ok;
    {
        std::lock_guard lk(c->Padlock);
        if (c->Gone) return false;
        if (c->QueuedBytes && c->QueuedBytes + block.size() > MaxSendQueueBytes) {
            ok = false; // the peer does not read: give up on it rather than grow without end
        } else {
            if (scramble) {
                // Part by part: each part's scrambling starts over.
                for (size_t at = 0; at + qbMsgHeaderSize <= block.size();) {
                    const uint32_t length = GetU32(block.data() + at + 4);
                    ScrambleMsg(block.data() + at, length, c->Key);
                    at += length;
                }
            }
            c->QueuedBytes += block.size();
            TqbWinsockConnection::Block b;
            b.Data = std::move(block);
            c->SendQueue.push_back(std::move(b));
            ok = flush(*c);
            if (blocked) *blocked = c->WouldBlock;
        }
    }
    if (!ok) ConnectionLost(c);
    return ok;
}

bool TqbWinsockProtocol::SendRaw(TqbConnection& c, const uint8_t* data, uint32_t length) {
    auto w = bySocket(static_cast<TqbWinsockConnection&>(c).Socket);
    return w && enqueue(w, std::vector<uint8_t>(data, data + length), false);
}

int32_t TqbWinsockProtocol::SendMsg(uint32_t clientID, const uint8_t* data, uint32_t length, bool lock) {
    return sendBlock(clientID, std::vector<uint8_t>(data, data + length));
}

int32_t TqbWinsockProtocol::SendParts(uint32_t clientID, std::vector<uint8_t> parts, bool lock) {
    return sendBlock(clientID, std::move(parts));
}

// A block of whole parts (the caller's framing is checked here, so that scrambling stays inside it).
int32_t TqbWinsockProtocol::sendBlock(uint32_t clientID, std::vector<uint8_t> block) {
    auto base = FindByClientID(clientID);
    if (!base) return kErrConnectionGone;
    for (size_t at = 0; at < block.size();) {
        const uint32_t length = block.size() - at >= qbMsgHeaderSize ? GetU32(block.data() + at + 4) : 0;
        if (length > MaxMsgSize()) {
            Log("Message size %d too large.", {length});
            return kErrConnectionGone;
        }
        if (length < qbMsgHeaderSize || length > block.size() - at) return kErrConnectionGone;
        at += length;
    }
    auto c = std::static_pointer_cast<TqbWinsockConnection>(base);
    bool blocked = false;
    if (!enqueue(c, std::move(block), true, &blocked)) return kErrConnectionGone;
    if (blocked && !OnWindowThread()) {
        // Only the window's thread hears when the socket can take more: it sends the rest.
        PostMessage(window_, kWmSendWaiting, WPARAM(clientID), 0);
    } else if (blocked) {
        // Up to 25 ms for the write notification, then whatever is left goes out with later ones.
        const uint64_t start = NowMs();
        while (c->WouldBlock && !c->Gone && NowMs() - start < 25)
            Idle();
        if (!FindByClientID(clientID)) return kErrConnectionGone;
        std::lock_guard lk(c->Padlock);
        if (!flush(*c)) {
            ConnectionLost(c);
            return kErrConnectionGone;
        }
    }
    return c->Gone ? kErrConnectionGone : 0;
}

void TqbWinsockProtocol::ReceiveDatagramsOn() {
    if (datagramSocket_ != INVALID_SOCKET) return;
    SOCKET s = CreateSocket(ipx_ ? WS_AF_IPX : WS_AF_INET, WS_SOCK_DGRAM, ipx_ ? kIPXProtocol : 0);
    try {
        if (ipx_) {
            int one = 1;
            SetSockOpt(s, WS_SOL_SOCKET, WS_SO_BROADCAST, sizeof one, &one);
        }
        SOCKADDR_IN a{};
        a.sin_family = int16_t(ipx_ ? WS_AF_IPX : WS_AF_INET);
        a.sin_port = (Winsock().htons)(Listening() ? DatagramPortServer : DatagramPortClient);
        a.sin_addr.s_addr = WS_INADDR_ANY;
        CheckResult(Winsock().bind(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), false);
        int len = sizeof a;
        if (Winsock().getsockname(s, reinterpret_cast<SOCKADDR*>(&a), &len) != SOCKET_ERROR)
            boundDatagramPort_ = (Winsock().ntohs)(a.sin_port);
        AsyncSelect(s, window_, FD_READ | FD_WRITE);
    } catch (...) {
        CloseSocket(s);
        throw;
    }
    datagramSocket_ = s;
}

void TqbWinsockProtocol::ReceiveDatagramsOff() {
    CloseSocket(datagramSocket_);
    boundDatagramPort_ = 0;
}

void TqbWinsockProtocol::SendDatagram(const std::string& address, const uint8_t* data, uint32_t length) {
    const uint16_t port = Listening() ? DatagramPortClient : DatagramPortServer;
    SOCKADDR_IN to{};
    if (address.empty()) {
        if (ipx_) return;
        to.sin_family = WS_AF_INET;
        to.sin_port = (Winsock().htons)(port);
        to.sin_addr.s_addr = BroadcastAddress;
    } else if (!addressOf(address, port, to)) {
        return;
    }
    SOCKET s = CreateSocket(ipx_ ? WS_AF_IPX : WS_AF_INET, WS_SOCK_DGRAM, ipx_ ? kIPXProtocol : 0);
    int one = 1;
    Winsock().setsockopt(s, WS_SOL_SOCKET, WS_SO_BROADCAST, reinterpret_cast<const char*>(&one), sizeof one);
    Winsock().sendto(s, reinterpret_cast<const char*>(data), int(length), 0, reinterpret_cast<SOCKADDR*>(&to),
                     sizeof to);
    CloseSocket(s);
}

bool TqbWinsockProtocol::discoveryAnswerAllowed() {
    // Token bucket: a burst of queries (or forged senders) gets at most the rate in answers.
    const uint64_t now = NowMs();
    const double rate = DiscoveryAnswersPerSecond;
    if (!refilled_) {
        tokens_ = rate;
        refilled_ = true;
    } else {
        tokens_ = std::min(rate, tokens_ + rate * double(now - lastRefillMs_) / 1000.0);
    }
    lastRefillMs_ = now;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
}

void TqbWinsockProtocol::onDatagram() {
    uint8_t buf[kDatagramBufferSize];
    SOCKADDR_IN from{};
    int fromLen = sizeof from;
    int n = Winsock().recvfrom(datagramSocket_, reinterpret_cast<char*>(buf), sizeof buf, 0,
                               reinterpret_cast<SOCKADDR*>(&from), &fromLen);
    if (n == SOCKET_ERROR || n < 0) return;
    const std::string sender = IPToText(from.sin_addr.s_addr);
    if (OnReceiveDatagram) OnReceiveDatagram(this, sender, buf, uint32_t(n));
    bool answer = false;
    {
        std::lock_guard lk(discoveryLock_);
        std::string name, local;
        if (collecting_) {
            if (DecodeDiscoveryAnswer(buf, size_t(n), name, local))
                found_.insert(name == sender ? name : name + "@" + sender);
        } else if (Listening() && IsDiscoveryQuery(buf, size_t(n))) {
            answer = discoveryAnswerAllowed();
        }
    }
    if (answer) {
        std::vector<uint8_t> a = EncodeDiscoveryAnswer(ServerName(), LocalName());
        SendDatagram(sender, a.data(), uint32_t(a.size()));
    }
}

void TqbWinsockProtocol::GetServerNames(std::vector<std::string>& list, uint32_t timeoutMs) {
    ReceiveDatagramsOn();
    {
        std::lock_guard lk(discoveryLock_);
        collecting_ = true;
        found_.clear();
    }
    std::vector<uint8_t> q = DiscoveryQuery();
    SendDatagram("", q.data(), uint32_t(q.size()));
    const uint64_t start = NowMs(), wait = std::min<uint32_t>(timeoutMs, 500);
    while (NowMs() - start < wait)
        Idle();
    {
        std::lock_guard lk(discoveryLock_);
        list.assign(found_.begin(), found_.end());
        collecting_ = false;
    }
    ReceiveDatagramsOff();
}

TqbTCPIPProtocol::TqbTCPIPProtocol(const std::string& name, bool listen)
    : TqbWinsockProtocol(name, listen, false) {}

bool TqbTCPIPProtocol::ClassSupported() {
    return IsProtocolInstalled(qbipTCPIP);
}

TqbIPXSPXProtocol::TqbIPXSPXProtocol(const std::string& name, bool listen)
    : TqbWinsockProtocol(name, listen, true) {}

bool TqbIPXSPXProtocol::ClassSupported() {
    return IsProtocolInstalled(qbipIPXSPX);
}
