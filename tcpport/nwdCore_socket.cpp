// Unit nwdCore: the connection object under the TCP port: numbered properties, connecting, sending,
// the receive loop with its line buffer, disconnecting, and the hidden window's notifications.
#include "tcpport/nwdCore.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

using namespace plat;

namespace {

constexpr uint32_t kDefaultLineLength = 2048;
constexpr uint32_t kMaxLineLength = 65535; // the buffer's offsets are 16-bit
constexpr size_t kMaxEolLength = 65535;
// How long a graceful close may wait for the socket to take what is still queued for sending.
constexpr int kCloseFlushTimeoutMs = 5000;

const char* const kRecvErrorText = "Winsock error in recv()";

const WinsockTable& ws() {
    return NwdLoader().Ws();
}

std::string dotted(uint32_t addr) {
    if (addr == 0) return std::string();
    const auto* b = reinterpret_cast<const unsigned char*>(&addr);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

int lastError() {
    int e = ws().WSAGetLastError();
    return e ? e : WSAEINVAL;
}

} // namespace

// ---- life cycle ----

NwdConnection::NwdConnection(TnwdCoreCallback callback, void* owner)
    : callback_(std::move(callback)), owner_(owner) {}

std::unique_ptr<NwdConnection> NwdConnection::Create(TnwdCoreCallback callback, void* owner) {
    std::unique_ptr<NwdConnection> c(new NwdConnection(std::move(callback), owner));
    c->hwnd_ = NwdLoader().CreateNotifyWindow(
        [self = c.get()](HWND, UINT m, WPARAM w, LPARAM l) { return self->windowProc(m, w, l); });
    if (c->hwnd_ == 0) return nullptr;
    try {
        c->buf_.assign(kDefaultLineLength + 1, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    c->capacity_ = kDefaultLineLength;
    c->loaded_ = NwdLoader().Load();
    // Initial values, through the same routines as the property sets.
    c->Set(kNwdEOL, 0, 0, {});
    c->Set(kNwdInBufferSize, 0, 2048);
    c->Set(kNwdKeepAlive, 0, 0);
    c->Set(kNwdLinger, 0, 1);
    c->Set(kNwdLocalPort, 0, 0);
    c->Set(kNwdMaxLineLength, 0, kDefaultLineLength);
    c->Set(kNwdOutBufferSize, 0, 2048);
    c->Set(kNwdRemoteHost, 0, 0, {});
    c->Set(kNwdRemotePort, 0, 0);
    c->lastError_.clear();
    return c;
}

NwdConnection::~NwdConnection() {
    *alive_ = false;
    ws().WSACancelBlockingCall();
    if (socket_ != INVALID_SOCKET) {
        ws().WSAAsyncSelect(socket_, hwnd_, 0, 0);
        closeSocket(true);
    }
    if (loaded_) NwdLoader().Unload();
    if (hwnd_) DestroyWindow(hwnd_);
}

void NwdConnection::fire(int event, int32_t code, const char* text, const char* data, uint32_t count,
                         bool eol) {
    if (!callback_) return;
    TnwdEventParams p;
    p.Code = code;
    p.Text = text ? text : "";
    p.Data = data;
    p.Count = count;
    p.Eol = eol ? 1 : 0;
    callback_(owner_, event, &p);
}

void NwdConnection::fireStatus(int event, int code) {
    std::string text = code == 0 ? std::string("OK") : NwdResultText(code);
    fire(event, code, text.c_str());
}

// ---- properties ----

int64_t NwdConnection::Get(int number, int index, std::string* bytes) {
    std::string text;
    int64_t value = 0;
    switch (number) {
    case kNwdAcceptData:
        value = acceptData_;
        break;
    case kNwdBytesSent:
        value = bytesSent_;
        break;
    case kNwdConnected:
        value = connected_;
        break;
    case kNwdEOL:
        text = eol_;
        value = int64_t(eol_.size());
        break;
    case kNwdInBufferSize:
        value = inBufferSize_;
        break;
    case kNwdKeepAlive:
        value = keepAlive_;
        break;
    case kNwdLinger:
        value = linger_;
        break;
    case kNwdLocalHost: {
        char name[101] = {};
        if (ws().gethostname(name, sizeof name) == SOCKET_ERROR)
            text = NwdResultText(lastError());
        else
            text.assign(name, strnlen(name, 100));
        value = int64_t(text.size());
        break;
    }
    case kNwdLocalPort:
        value = localPort_;
        break;
    case kNwdMaxLineLength:
        value = capacity_;
        break;
    case kNwdOutBufferSize:
        value = outBufferSize_;
        break;
    case kNwdRemoteHost:
        text = dotted(remoteAddr_);
        value = int64_t(text.size());
        break;
    case kNwdRemotePort:
        value = remotePort_;
        break;
    case kNwdSocketHandle:
        value = socket_ == INVALID_SOCKET ? -1 : int64_t(socket_);
        break;
    case kNwdWinsockInfo:
        text = NwdLoader().Description();
        value = int64_t(text.size());
        break;
    case kNwdWinsockLoaded:
        value = loaded_;
        break;
    case kNwdMaxDatagram:
        value = NwdLoader().MaxDatagram();
        break;
    case kNwdMaxSockets:
        value = NwdLoader().MaxSockets();
        break;
    case kNwdLibraryPath:
        text = NwdLoader().GetPath();
        value = int64_t(text.size());
        break;
    case kNwdWinsockStatus:
        text = NwdLoader().Status();
        value = int64_t(text.size());
        break;
    default:
        break;
    }
    if (bytes) *bytes = std::move(text);
    return value;
}

int NwdConnection::Set(int number, int index, int64_t value, std::string_view bytes) {
    lastError_.clear();
    int r;
    bool open = socket_ != INVALID_SOCKET;
    switch (number) {
    case kNwdAcceptData:
        acceptData_ = value != 0;
        if (acceptData_ && connected_) postRead();
        r = 0;
        break;
    case kNwdConnected:
        r = value != 0 ? connect() : disconnect(0);
        break;
    case kNwdDataToSend:
        r = send(bytes);
        break;
    case kNwdEOL:
        r = setEOL(bytes);
        break;
    case kNwdInBufferSize:
        r = setBufferSize(true, int32_t(value));
        break;
    case kNwdKeepAlive:
        r = setKeepAlive(value != 0);
        break;
    case kNwdLinger:
        r = setLinger(value != 0);
        break;
    case kNwdLocalPort:
        r = open ? kNwdLocalPortBusy : 0;
        if (r == 0) localPort_ = uint16_t(value);
        break;
    case kNwdMaxLineLength:
        r = open ? kNwdMaxLineBusy : setMaxLineLength(value);
        break;
    case kNwdOutBufferSize:
        r = setBufferSize(false, int32_t(value));
        break;
    case kNwdRemoteHost:
        r = open ? kNwdRemoteHostBusy : setRemoteHost(bytes);
        break;
    case kNwdRemotePort:
        r = open ? kNwdRemotePortBusy : 0;
        if (r == 0) remotePort_ = uint16_t(value);
        break;
    case kNwdWinsockLoaded:
        r = setWinsockLoaded(value != 0);
        if (r != 0) {
            lastError_ = NwdLoader().Description();
            return r;
        }
        break;
    case kNwdLibraryPath:
        NwdLoader().SetPath(bytes);
        r = 0;
        break;
    default:
        r = -1;
        break;
    }
    if (r != 0) lastError_ = NwdResultText(r);
    return r;
}

int NwdConnection::setRemoteHost(std::string_view text) {
    if (text.empty()) {
        remoteAddr_ = 0;
        return 0;
    }
    // The name is a zero-terminated text; one with a zero inside names no host.
    if (text.find('\0') != std::string_view::npos) return WSAHOST_NOT_FOUND;
    std::string name(text);
    ws().WSACancelBlockingCall();
    uint32_t a = ws().inet_addr(name.c_str());
    if (a != WS_INADDR_NONE) {
        remoteAddr_ = a;
        return 0;
    }
    HOSTENT* h = ws().gethostbyname(name.c_str());
    if (h && h->h_length == 4 && h->h_addr_list && h->h_addr_list[0]) {
        std::memcpy(&remoteAddr_, h->h_addr_list[0], 4);
        return 0;
    }
    // Also when the library is not loaded: no success with an empty address.
    int e = ws().WSAGetLastError();
    return e ? e : WSAHOST_NOT_FOUND;
}

int NwdConnection::setBufferSize(bool in, int32_t value) {
    int32_t& field = in ? inBufferSize_ : outBufferSize_;
    if (socket_ == INVALID_SOCKET) {
        field = value;
        return 0;
    }
    int opt = in ? WS_SO_RCVBUF : WS_SO_SNDBUF;
    if (ws().setsockopt(socket_, WS_SOL_SOCKET, opt, reinterpret_cast<const char*>(&value), sizeof value) ==
        SOCKET_ERROR)
        return lastError();
    int32_t back = 0;
    int len = sizeof back;
    if (ws().getsockopt(socket_, WS_SOL_SOCKET, opt, reinterpret_cast<char*>(&back), &len) == SOCKET_ERROR)
        return lastError();
    field = back;
    return 0;
}

int NwdConnection::setKeepAlive(bool value) {
    if (socket_ == INVALID_SOCKET) {
        keepAlive_ = value;
        return 0;
    }
    int32_t v = value;
    if (ws().setsockopt(socket_, WS_SOL_SOCKET, WS_SO_KEEPALIVE, reinterpret_cast<const char*>(&v),
                        sizeof v) == SOCKET_ERROR)
        return lastError();
    int32_t back = 0;
    int len = sizeof back;
    if (ws().getsockopt(socket_, WS_SOL_SOCKET, WS_SO_KEEPALIVE, reinterpret_cast<char*>(&back), &len) ==
        SOCKET_ERROR)
        return lastError();
    keepAlive_ = back != 0;
    return 0;
}

int NwdConnection::setLinger(bool value) {
    if (socket_ != INVALID_SOCKET) {
        // True: graceful close (linger off); False: abortive close (linger on, no time).
        LINGER l{uint16_t(value ? 0 : 1), 0};
        if (ws().setsockopt(socket_, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&l),
                            sizeof l) == SOCKET_ERROR)
            return lastError();
    }
    linger_ = value;
    return 0;
}

int NwdConnection::setMaxLineLength(int64_t value) {
    // 0 would never leave room to receive; above 65535 the buffer's offsets cannot count.
    if (value < 1 || value > int64_t(kMaxLineLength)) return WSAEINVAL;
    try {
        std::vector<char> fresh(size_t(value) + 1, 0);
        buf_.swap(fresh);
    } catch (const std::bad_alloc&) {
        return kNwdOutOfMemory;
    }
    capacity_ = uint32_t(value);
    start_ = count_ = scanned_ = 0;
    return 0;
}

int NwdConnection::setEOL(std::string_view bytes) {
    if (bytes.size() > kMaxEolLength) return WSAEINVAL;
    try {
        eol_.assign(bytes);
    } catch (const std::bad_alloc&) {
        return kNwdOutOfMemory;
    }
    scanned_ = 0;
    if (connected_) postRead(); // what is buffered is cut again with the new sequence
    return 0;
}

int NwdConnection::setWinsockLoaded(bool value) {
    if (value) {
        if (loaded_) return 0; // one reference per object
        if (!NwdLoader().Load()) return WSANOTINITIALISED;
        loaded_ = true;
        return 0;
    }
    if (!loaded_) return 0;
    // The socket goes before the library does, without events.
    if (socket_ != INVALID_SOCKET) {
        ws().WSAAsyncSelect(socket_, hwnd_, 0, 0);
        closeSocket(true);
        connected_ = false;
        clearState();
    }
    NwdLoader().Unload();
    loaded_ = false;
    return 0;
}

void NwdConnection::postRead() {
    if (socket_ != INVALID_SOCKET)
        PostMessage(hwnd_, kNwdNotifyMessage, socket_, WSAMAKESELECTREPLY(uint16_t(FD_READ), 0));
}

// ---- connecting, sending, disconnecting ----

int NwdConnection::connect() {
    if (socket_ != INVALID_SOCKET) return kNwdAlreadyConnected;
    if (remoteAddr_ == 0) return kNwdAddressInvalid;
    if (remotePort_ == 0) return kNwdPortZero;
    disconnectPending_ = false;
    closePending_ = false;
    recvErrorReported_ = false;
    start_ = count_ = scanned_ = 0;
    sendQueue_.clear();
    sendOffset_ = 0;
    const WinsockTable& w = ws();
    SOCKET s = w.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return lastError();
    auto fail = [&]() {
        int e = lastError();
        w.closesocket(s);
        return e;
    };
    SOCKADDR_IN local{};
    local.sin_family = WS_AF_INET;
    local.sin_port = (w.htons)(localPort_);
    local.sin_addr.s_addr = WS_INADDR_ANY;
    if (w.bind(s, reinterpret_cast<const SOCKADDR*>(&local), sizeof local) == SOCKET_ERROR) return fail();
    // Option failures are not fatal: the connection works with the system's defaults.
    int32_t keep = keepAlive_;
    w.setsockopt(s, WS_SOL_SOCKET, WS_SO_KEEPALIVE, reinterpret_cast<const char*>(&keep), sizeof keep);
    LINGER l{uint16_t(linger_ ? 0 : 1), 0};
    w.setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    w.setsockopt(s, WS_SOL_SOCKET, WS_SO_RCVBUF, reinterpret_cast<const char*>(&inBufferSize_),
                 sizeof inBufferSize_);
    w.setsockopt(s, WS_SOL_SOCKET, WS_SO_SNDBUF, reinterpret_cast<const char*>(&outBufferSize_),
                 sizeof outBufferSize_);
    int32_t one = 1;
    w.setsockopt(s, WS_SOL_SOCKET, WS_SO_OOBINLINE, reinterpret_cast<const char*>(&one), sizeof one);
    if (w.WSAAsyncSelect(s, hwnd_, kNwdNotifyMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) ==
        SOCKET_ERROR)
        return fail();
    SOCKADDR_IN remote{};
    remote.sin_family = WS_AF_INET;
    remote.sin_port = (w.htons)(remotePort_);
    remote.sin_addr.s_addr = remoteAddr_;
    if (w.connect(s, reinterpret_cast<const SOCKADDR*>(&remote), sizeof remote) == SOCKET_ERROR) {
        int e = w.WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return fail();
    }
    socket_ = s;
    return 0;
}

int NwdConnection::send(std::string_view bytes) {
    if (!connected_) {
        ws().WSASetLastError(WSAENOTCONN);
        return WSAENOTCONN;
    }
    bytesSent_ = 0;
    if (bytes.empty()) return 0;
    if (sendOffset_ < sendQueue_.size()) {
        // Earlier bytes are still waiting: these go after them.
        try {
            sendQueue_.append(bytes);
        } catch (const std::bad_alloc&) {
            return kNwdOutOfMemory;
        }
        return 0;
    }
    int chunk = int(std::min<size_t>(bytes.size(), INT32_MAX));
    int n = ws().send(socket_, bytes.data(), chunk, 0);
    if (n == SOCKET_ERROR) {
        int e = lastError();
        if (e != WSAEWOULDBLOCK) return e;
        n = 0;
    }
    n = std::clamp(n, 0, chunk);
    bytesSent_ = n;
    if (size_t(n) == bytes.size()) return 0;
    // The socket took less than given: the rest waits for the next write notification.
    try {
        sendQueue_.assign(bytes.substr(size_t(n)));
    } catch (const std::bad_alloc&) {
        return kNwdOutOfMemory;
    }
    sendOffset_ = 0;
    int r = flushSendQueue();
    return r == WSAEWOULDBLOCK ? 0 : r;
}

// Hands queued bytes to the socket until it takes no more. 0 when the queue is empty, WSAEWOULDBLOCK
// when bytes are left for the next write notification, else the socket's error (the queue is dropped).
int NwdConnection::flushSendQueue() {
    while (sendOffset_ < sendQueue_.size()) {
        size_t left = sendQueue_.size() - sendOffset_;
        int chunk = int(std::min<size_t>(left, INT32_MAX));
        int n = ws().send(socket_, sendQueue_.data() + sendOffset_, chunk, 0);
        if (n == SOCKET_ERROR) {
            int e = lastError();
            if (e == WSAEWOULDBLOCK) return e;
            sendQueue_.clear();
            sendOffset_ = 0;
            return e;
        }
        if (n <= 0) return WSAEWOULDBLOCK;
        sendOffset_ += size_t(std::min(n, chunk));
    }
    sendQueue_.clear();
    sendOffset_ = 0;
    return 0;
}

// Closes the socket. With flush (and a graceful close), what is still queued for sending goes out
// first, waiting a bounded time for the peer to take it.
int NwdConnection::closeSocket(bool flush) {
    const WinsockTable& w = ws();
    SOCKET s = socket_;
    if (flush && linger_ && sendOffset_ < sendQueue_.size()) {
        uint32_t blocking = 0;
        int32_t timeout = kCloseFlushTimeoutMs;
        if (w.ioctlsocket(s, WS_FIONBIO, &blocking) != SOCKET_ERROR) {
            w.setsockopt(s, WS_SOL_SOCKET, WS_SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                         sizeof timeout);
            while (sendOffset_ < sendQueue_.size()) {
                int chunk = int(std::min<size_t>(sendQueue_.size() - sendOffset_, INT32_MAX));
                int n = w.send(s, sendQueue_.data() + sendOffset_, chunk, 0);
                if (n <= 0) break;
                sendOffset_ += size_t(std::min(n, chunk));
            }
        }
    }
    sendQueue_.clear();
    sendOffset_ = 0;
    socket_ = INVALID_SOCKET;
    if (w.closesocket(s) == SOCKET_ERROR) return lastError();
    return 0;
}

void NwdConnection::clearState() {
    acceptData_ = true;
    receiving_ = false;
    disconnectPending_ = false;
    closePending_ = false;
    start_ = count_ = scanned_ = 0;
    sendQueue_.clear();
    sendOffset_ = 0;
}

int NwdConnection::disconnect(int code) {
    if (socket_ == INVALID_SOCKET) {
        connected_ = false;
        clearState();
        return 0;
    }
    if (receiving_) {
        // Inside a data event: done as soon as the handler returns.
        disconnectPending_ = true;
        return 0;
    }
    Token alive = alive_;
    SOCKET s = socket_;
    ws().WSAAsyncSelect(s, hwnd_, 0, 0);
    std::exception_ptr failure;
    if (acceptData_) {
        try {
            runLoop(Mode::Drain);
        } catch (...) {
            if (!*alive) throw;
            failure = std::current_exception();
        }
        if (!*alive) return 0;
    }
    int r = 0;
    if (socket_ == s) {
        r = closeSocket(true);
        connected_ = false;
        clearState();
        fireStatus(kNwdEventDisconnected, code);
    }
    if (failure) std::rethrow_exception(failure);
    if (!*alive) return 0;
    return r;
}

// ---- notifications ----

LRESULT NwdConnection::windowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kNwdNotifyMessage) return 0;
    SOCKET s = SOCKET(wParam);
    if (s == INVALID_SOCKET || s != socket_) return 0;
    int event = WSAGETSELECTEVENT(lParam);
    int error = WSAGETSELECTERROR(lParam);
    switch (event) {
    case FD_READ:
        onRead();
        break;
    case FD_WRITE:
        onWrite();
        break;
    case FD_CONNECT:
        onConnect(s, error);
        break;
    case FD_CLOSE:
        onClose(error);
        break;
    default:
        break;
    }
    return 0;
}

void NwdConnection::onConnect(SOCKET s, int code) {
    Token alive = alive_;
    // Connected reads True only once the connection is made.
    if (code == 0) connected_ = true;
    int32_t one = 1;
    ws().setsockopt(s, WS_SOL_SOCKET, WS_SO_OOBINLINE, reinterpret_cast<const char*>(&one), sizeof one);
    fireStatus(kNwdEventConnected, code);
    if (!*alive) return;
    if (code != 0 && socket_ == s) {
        // A failed attempt ends without a disconnected event.
        ws().WSAAsyncSelect(s, hwnd_, 0, 0);
        closeSocket(false);
        connected_ = false;
        clearState();
    }
}

void NwdConnection::onRead() {
    if (acceptData_ && !receiving_) runLoop(Mode::Normal);
}

void NwdConnection::onWrite() {
    int r = flushSendQueue();
    if (r == WSAEWOULDBLOCK) return; // the next write notification goes on with it
    if (r != 0) {
        std::string text = NwdResultText(r);
        fire(kNwdEventError, r, text.c_str());
        return;
    }
    fire(kNwdEventReadyToSend, 0, "");
}

void NwdConnection::onClose(int code) {
    if (receiving_) {
        // The running loop reads to the end; the close is carried out when it returns.
        closePending_ = true;
        closeCode_ = code;
        return;
    }
    Token alive = alive_;
    closePending_ = false;
    std::exception_ptr failure;
    try {
        runLoop(Mode::Close);
    } catch (...) {
        if (!*alive) throw;
        failure = std::current_exception();
    }
    if (!*alive) return;
    try {
        disconnect(code); // nothing more when the loop already closed the socket
    } catch (...) {
        if (!failure) throw;
    }
    if (failure) std::rethrow_exception(failure);
}

// ---- the receive loop ----

// Runs the loop with the running mark set. However it ends (an exception from a handler included),
// the mark is cleared and a disconnect asked for meanwhile is carried out.
void NwdConnection::runLoop(Mode mode) {
    Token alive = alive_;
    receiving_ = true;
    Exit exit = Exit::Stop;
    try {
        exit = receive(mode, alive);
    } catch (...) {
        if (!*alive) throw;
        receiving_ = false;
        if (mode != Mode::Drain && socket_ != INVALID_SOCKET) {
            if (disconnectPending_)
                disconnect(0);
            else if (closePending_)
                onClose(closeCode_);
            else
                postRead(); // what is left is delivered with the next message
        }
        throw;
    }
    if (!*alive) return;
    receiving_ = false;
    if (mode == Mode::Drain || socket_ == INVALID_SOCKET) return;
    if (exit == Exit::PeerClosed || disconnectPending_) {
        disconnect(0);
        return;
    }
    if (closePending_) onClose(closeCode_);
}

NwdConnection::Exit NwdConnection::receive(Mode mode, const Token& alive) {
    const SOCKET s = socket_;
    bool emptied = false; // the last read took less than it had room for: nothing was left
    while (s != INVALID_SOCKET && socket_ == s) {
        if (!acceptData_) return Exit::Stop;
        if (count_ > 0 && !deliverLines(s, alive)) return Exit::Stop; // nothing buffered: no call
        // Another read would almost always find nothing; data that comes meanwhile brings its own
        // read notification (the descriptor watch is level-triggered), so that read is saved.
        if (emptied && mode == Mode::Normal && count_ < capacity_) return Exit::Stop;
        if (count_ == capacity_) {
            if (!deliverFull(s, alive)) return Exit::Stop;
            continue;
        }
        if (disconnectPending_ && mode == Mode::Normal) return Exit::Stop;
        if (mode == Mode::Drain) {
            // The program is closing: what is buffered goes out, nothing more is read.
            deliverRest(s, alive);
            return Exit::Stop;
        }
        compact();
        int room = int(capacity_ - count_);
        int n = ws().recv(s, buf_.data() + count_, room, 0);
        if (n > 0) {
            count_ += uint32_t(std::min(n, room));
            emptied = n < room;
            continue;
        }
        if (n == 0) {
            // The peer closed: everything buffered goes out, then the connection is closed.
            if (!deliverRest(s, alive)) return Exit::Stop;
            return Exit::PeerClosed;
        }
        int e = ws().WSAGetLastError();
        if (e == WSAEWOULDBLOCK || e == WSAENOTSOCK) return Exit::Stop;
        if (!recvErrorReported_) {
            recvErrorReported_ = true;
            fire(kNwdEventError, e, kRecvErrorText);
        }
        return Exit::Stop;
    }
    return Exit::Stop;
}

// Offset (from start_) of the first complete end-of-line sequence, or npos. The search goes on from
// where the last one stopped, so a long line is scanned once.
size_t NwdConnection::findEol() {
    std::string_view data(buf_.data() + start_, count_);
    size_t from = std::min<size_t>(scanned_, count_);
    size_t pos = data.find(eol_, from);
    if (pos == std::string_view::npos) {
        size_t keep = eol_.size() - 1;
        scanned_ = uint32_t(count_ > keep ? count_ - keep : 0);
    }
    return pos;
}

void NwdConnection::compact() {
    if (start_ == 0) return;
    if (count_ > 0) std::memmove(buf_.data(), buf_.data() + start_, count_);
    start_ = 0;
}

// Delivers each complete line (EOL empty: everything buffered). False when the loop must stop: the
// handler turned AcceptData off, the socket went, or this object is gone.
bool NwdConnection::deliverLines(SOCKET s, const Token& alive) {
    while (count_ > 0) {
        size_t len, used;
        if (eol_.empty()) {
            len = used = count_;
        } else {
            size_t pos = findEol();
            if (pos == std::string_view::npos) break;
            len = pos;
            used = pos + eol_.size();
        }
        const char* p = buf_.data() + start_;
        start_ += uint32_t(used);
        count_ -= uint32_t(used);
        scanned_ = 0;
        if (count_ == 0) start_ = 0; // the bytes stay in place until the handler has them
        fire(kNwdEventDataIn, 0, "", p, uint32_t(len), true);
        if (!*alive || socket_ != s || !acceptData_) return false;
    }
    return true;
}

bool NwdConnection::deliverFull(SOCKET s, const Token& alive) {
    const char* p = buf_.data() + start_;
    uint32_t len = count_;
    start_ = count_ = scanned_ = 0;
    fire(kNwdEventDataIn, 0, "", p, len, false);
    return *alive && socket_ == s;
}

// The complete lines, then what is left as a partial line.
bool NwdConnection::deliverRest(SOCKET s, const Token& alive) {
    if (!deliverLines(s, alive)) return false;
    if (count_ == 0 || !acceptData_) return true;
    const char* p = buf_.data() + start_;
    uint32_t len = count_;
    start_ = count_ = scanned_ = 0;
    fire(kNwdEventDataIn, 0, "", p, len, false);
    return *alive && socket_ == s;
}
