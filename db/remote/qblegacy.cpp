// The legacy transport and its thread: protocol choice, the thread's life, sending requests and
// replies in parts, joining received parts, login, the client-ID check, removal and connection loss.
#include "db/remote/qblegacy.h"

#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr TqbResultCode kErrCannotStart = 291, kErrUnknownUser = 10036, kErrNoAddClient = 15448;
constexpr uint64_t kExpiryCheckMs = 100;

std::mutex g_resolverMutex;
std::function<TqbProtocolType()> g_resolver;

// The name and address halves of a server name: split at the first "@", each at most 31 characters.
void splitServerName(const std::string& s, std::string& name, std::string& address) {
    const auto at = s.find('@');
    name = s.substr(0, at);
    address = at == std::string::npos ? s : s.substr(at + 1);
    if (name.size() > 31) name.resize(31);
    if (address.size() > 31) address.resize(31);
}

// A client that did not prove its password, or named no user the server knows, is logged alike.
void logBadPassword(TqbBaseTransport& t, uint32_t connID, uint32_t msgClientID, uint32_t msgID) {
    t.LogError("Hanging up due to bad client password", {});
    t.LogError("  ClientID (actual) %d", {connID});
    t.LogError("  ClientID (msg)    %d", {msgClientID});
    t.LogError("  MsgID             %d", {msgID});
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The thread

TqbLegacyTransportThread::TqbLegacyTransportThread(TqbLegacyTransport* transport)
    : TqbThread(true), transport_(transport) {}

TqbLegacyTransportThread::~TqbLegacyTransportThread() {
    Terminate();
    WaitFor();
}

void TqbLegacyTransportThread::Execute() {
    TqbLegacyTransport* t = transport_;
    bool started = false;
    try {
        t->threadStartup();
        started = true;
    } catch (const std::exception& e) {
        t->protocol_->StartedEvent().Signal();
        t->LogError("Transport thread startup (%s) error: %s", {t->displayName(), e.what()});
    } catch (...) {
        t->protocol_->StartedEvent().Signal();
        t->LogError("Transport thread startup (%s) error: %s", {t->displayName(), "unknown exception"});
    }
    {
        std::lock_guard lk(t->readyMutex_);
        t->ready_ = true;
    }
    t->readyCv_.notify_all();
    while (!Terminated()) {
        if (!started) {
            plat::WaitForWork(50); // the start has failed: nothing to run until told to stop
            continue;
        }
        try {
            t->threadPass();
        } catch (const std::exception& e) {
            t->LogError("Transport thread (%s) error: %s", {t->displayName(), e.what()});
        } catch (...) {
            break; // not ours to go on from: the transport makes a new thread
        }
    }
    if (!Terminated()) prematureStop_.store(true);
    t->threadShutdown();
}

// ---------------------------------------------------------------------------------------------
// Construction, properties

TqbLegacyTransport::TqbLegacyTransport(cls::TComponent* AOwner) : TqbThreadedTransport(AOwner) {
    window_ = plat::CreateHiddenWindow(
        [this](plat::HWND, plat::UINT m, plat::WPARAM w, plat::LPARAM l) { return windowProc(m, w, l); });
    SetProtocol(ptRegistry);
}

void TqbLegacyTransport::BeforeDestruction() {
    stopThread();
    TqbThreadedTransport::BeforeDestruction();
}

TqbLegacyTransport::~TqbLegacyTransport() {
    stopThread();
    WaitForDispatched();
    if (window_) plat::DestroyWindow(window_);
    window_ = 0;
    protocol_.reset();
}

void TqbLegacyTransport::SetRegistryProtocolResolver(std::function<TqbProtocolType()> resolver) {
    std::lock_guard lk(g_resolverMutex);
    g_resolver = std::move(resolver);
}

TqbProtocolType TqbLegacyTransport::ResolveProtocol(TqbProtocolType type) {
    if (type != ptRegistry) return type;
    std::function<TqbProtocolType()> r;
    {
        std::lock_guard lk(g_resolverMutex);
        r = g_resolver;
    }
    TqbProtocolType t = r ? r() : ptSingleUser;
    return t == ptRegistry ? ptSingleUser : t;
}

bool TqbLegacyTransport::ProtocolSupported(TqbProtocolType type) {
    switch (ResolveProtocol(type)) {
    case ptTCPIP:
        return TqbTCPIPProtocol::ClassSupported();
    case ptIPXSPX:
        return TqbIPXSPXProtocol::ClassSupported();
    default:
        return true;
    }
}

void TqbLegacyTransport::SetProtocol(TqbProtocolType value) {
    CheckInactive();
    protocolType_ = value;
    if (value == ptSingleUser) {
        SetServerNameRequired(false);
        SetServerName("Local");
    }
    ForceState(ProtocolSupported(value) ? qbsInactive : qbsDriverNotInstalled);
}

void TqbLegacyTransport::SetServerName(const std::string& value) {
    TqbThreadedTransport::SetServerName(value);
    splitServerName(GetServerName(), namePart_, addressPart_);
}

std::string TqbLegacyTransport::ServerNamePart() const {
    return namePart_;
}

std::string TqbLegacyTransport::AddressPart() const {
    return addressPart_;
}

void TqbLegacyTransport::SetRespondToBroadcasts(bool value) {
    const bool changed = value != GetRespondToBroadcasts();
    TqbThreadedTransport::SetRespondToBroadcasts(value);
    if (!changed || State() != qbsStarted || !protocol_) return;
    runOnThread(
        [this, value] {
            if (value)
                protocol_->ReceiveDatagramsOn();
            else
                protocol_->ReceiveDatagramsOff();
        },
        kStopWaitMs);
}

void TqbLegacyTransport::SetEventLog(TqbBaseLog* log) {
    TqbThreadedTransport::SetEventLog(log);
    if (protocol_) protocol_->EventLog = log;
}

void TqbLegacyTransport::SetEventLogEnabled(bool value) {
    TqbThreadedTransport::SetEventLogEnabled(value);
    if (protocol_) protocol_->EventLogEnabled = value;
}

std::string TqbLegacyTransport::GetProtocolName() {
    if (protocol_) return protocol_->GetProtocolName();
    switch (ResolveProtocol(protocolType_)) {
    case ptTCPIP:
        return "TCP/IP (QB)";
    case ptIPXSPX:
        return "IPX/SPX (QB)";
    default:
        return "Single User (QB)";
    }
}

int32_t TqbLegacyTransport::GetConnectionCount() {
    return protocol_ ? int32_t(protocol_->ConnectionCount()) : 0;
}

uint32_t TqbLegacyTransport::GetConnectionClientID(int32_t Index) {
    return protocol_ && Index >= 0 ? protocol_->ConnectionClientID(size_t(Index)) : 0;
}

bool TqbLegacyTransport::IsProtocolAvailable() {
    return ProtocolSupported(protocolType_);
}

bool TqbLegacyTransport::HasConnections() {
    return State() == qbsStarted && protocol_ && protocol_->ConnectionCount() > 0;
}

size_t TqbLegacyTransport::PartialMessageCount() {
    std::lock_guard lk(peersMutex_);
    size_t n = 0;
    for (auto& [id, p] : peers_)
        if (p.Assembler) n += p.Assembler->Pending();
    return n;
}

// ---------------------------------------------------------------------------------------------
// Logging

// The component's name, or its protocol's when it has none.
std::string TqbLegacyTransport::displayName() {
    return Name().empty() ? GetProtocolName() : Name();
}

void TqbLegacyTransport::log(std::string_view fmt, const QbFormatArgs& args) {
    LogTextFmt(fmt, args);
}

// ---------------------------------------------------------------------------------------------
// States and the thread

TqbBaseCommsProtocol* TqbLegacyTransport::createProtocol(TqbProtocolType type, const std::string& name,
                                                         bool listen) {
    switch (ResolveProtocol(type)) {
    case ptTCPIP:
        return new TqbTCPIPProtocol(name, listen);
    case ptIPXSPX:
        return new TqbIPXSPXProtocol(name, listen);
    default:
        return new TqbSingleUserProtocol(name, listen);
    }
}

// A new protocol object, wired to this transport.
void TqbLegacyTransport::makeProtocol() {
    const bool listen = GetMode() == qbtmListen;
    protocol_.reset(createProtocol(protocolType_, namePart_, listen));
    // A socket takes sends from any thread; the single-user partner is reached from the window's.
    socketProtocol_ = dynamic_cast<TqbWinsockProtocol*>(protocol_.get()) != nullptr;
    protocol_->OnReceiveMsg = [this](TqbBaseCommsProtocol*, uint32_t id, uint32_t len, const uint8_t* data) {
        return receive(id, len, data);
    };
    if (listen) {
        protocol_->OnAddClient = [this](TqbBaseCommsProtocol*, uint32_t id) { peerAdded(id); };
        auto gone = [this](TqbBaseCommsProtocol*, uint32_t id) { removeClient(id, true); };
        protocol_->OnConnectionLost = gone;
        protocol_->OnHangUp = gone;
        protocol_->OnReceiveDatagram = [this](TqbBaseCommsProtocol*, const std::string& from, const uint8_t*,
                                              uint32_t) {
            if (LogsOption(qbtpLogRequests)) LogTextFmt("Rcvd datagram from %s", {from});
        };
    } else {
        protocol_->OnConnectionLost = [this](TqbBaseCommsProtocol*, uint32_t id) { connectionLost(id); };
        protocol_->OnHangUp = [this](TqbBaseCommsProtocol*, uint32_t id) { failPending(id); };
    }
    protocol_->EventLog = EventLog();
    protocol_->EventLogEnabled = GetEventLogEnabled();
    if (OnCreateProtocol) OnCreateProtocol(*protocol_);
}

void TqbLegacyTransport::EnterInitializing() {
    if (protocol_) {
        EnterShuttingDown();
        EnterInactive();
    }
    const bool listen = GetMode() == qbtmListen;
    if (!listen && ServerNameRequired() && GetServerName().empty()) RaiseComponentError(1289);
    makeProtocol();
    if (listen) {
        // The server is known by its local name; the name may only change while inactive.
        const uint8_t state = State();
        ForceState(qbsInactive);
        TqbThreadedTransport::SetServerName(protocol_->LocalName());
        ForceState(state);
    }
    {
        std::lock_guard lk(readyMutex_);
        ready_ = false;
    }
    std::lock_guard lk(threadMutex_);
    thread_ = std::make_unique<TqbLegacyTransportThread>(this);
}

void TqbLegacyTransport::EnterStarting() {
    TqbLegacyTransportThread* t;
    {
        std::lock_guard lk(threadMutex_);
        t = thread_.get();
    }
    if (!t) return;
    t->Start();
    if (t->Terminated()) return;
    // Started and, for a server, listening.
    {
        std::unique_lock lk(readyMutex_);
        readyCv_.wait_for(lk, std::chrono::milliseconds(kStartWaitMs), [this] { return ready_; });
    }
    if (!protocol_->Started())
        throw EqbException(GeneralStrings(), kErrCannotStart, {protocol_->GetProtocolName()});
}

void TqbLegacyTransport::EnterShuttingDown() {
    stopThread();
}

void TqbLegacyTransport::EnterInactive() {
    stopThread();
    WaitForDispatched(); // requests at work on pool threads reply through the protocol
    {
        std::lock_guard lk(peersMutex_);
        peers_.clear();
    }
    protocol_.reset();
}

void TqbLegacyTransport::stopThread() {
    std::unique_ptr<TqbLegacyTransportThread> t;
    std::vector<std::unique_ptr<TqbLegacyTransportThread>> retired;
    {
        std::lock_guard lk(threadMutex_);
        t = std::move(thread_);
        retired = std::move(retired_);
    }
    if (t) {
        t->Terminate();
        wakeThread();
        t->WaitForEx(kStopWaitMs);
    }
    // Freeing waits for a thread that has not ended within the wait.
}

void TqbLegacyTransport::threadStartup() {
    protocol_->Startup();
    protocolWindow_ = protocol_->Window();
    if (GetMode() == qbtmListen) {
        protocol_->Listen();
        if (GetRespondToBroadcasts()) protocol_->ReceiveDatagramsOn();
    }
}

void TqbLegacyTransport::threadPass() {
    protocol_->Idle();
    runQueued();
    if (TqbRequestPtr r = NextRequest()) {
        try {
            SendRequest(r);
        } catch (...) {
            EndSend(r, qbErrTransport); // its caller hears of it now, not at its time-out
            RequestSent();
            throw;
        }
        RequestSent();
    }
    const uint64_t now = plat::NowMs();
    if (now - lastExpiry_ >= kExpiryCheckMs) {
        lastExpiry_ = now;
        std::lock_guard lk(peersMutex_);
        for (auto& [id, p] : peers_)
            if (p.Assembler) p.Assembler->Expire(now);
    }
}

void TqbLegacyTransport::threadShutdown() {
    log("Transport thread (%s) shut down.", {displayName()});
    protocolWindow_ = 0;
    if (protocol_) protocol_->Shutdown();
    runQueued(); // callers may still wait for these
    TqbLegacyTransportThread* self = nullptr;
    {
        std::lock_guard lk(threadMutex_);
        self = thread_.get();
    }
    if (self && self->PrematureStop() && self->ThreadID() == std::this_thread::get_id()) threadEnded(self);
}

// A thread that stopped on its own is kept (it cannot free itself) and a new one takes over, with
// a new protocol: the old one's sockets told the old thread's window, which ended with it. Its
// connections are gone, and reported as such.
void TqbLegacyTransport::threadEnded(TqbLegacyTransportThread* thread) {
    log("Transport thread (%s) prematurely stopped.", {displayName()});
    WaitForDispatched();
    std::vector<uint32_t> gone;
    for (size_t i = 0, n = protocol_->ConnectionCount(); i < n; ++i)
        gone.push_back(protocol_->ConnectionClientID(i));
    {
        std::lock_guard lk(peersMutex_); // what they hold counts against the old protocol's budget
        for (auto& [id, p] : peers_)
            p.Assembler.reset();
    }
    std::unique_ptr<TqbBaseCommsProtocol> old = std::move(protocol_);
    makeProtocol();
    old.reset(); // closes what it had, without notifications
    for (uint32_t id : gone) {
        if (GetMode() == qbtmListen)
            removeClient(id, true);
        else
            connectionLost(id);
    }
    std::lock_guard lk(threadMutex_);
    if (thread_.get() != thread) return;
    retired_.push_back(std::move(thread_));
    thread_ = std::make_unique<TqbLegacyTransportThread>(this);
    ++restarts_;
    thread_->Start();
}

bool TqbLegacyTransport::CanSendOnCaller(const TqbRequest& Req) {
    return Req.MsgID() != qbmConnect && GetMode() == qbtmSend && State() == qbsStarted &&
           socketProtocol_.load() && protocolWindow_.load() != 0;
}

// An empty message ends the protocol's wait for input at once.
void TqbLegacyTransport::wakeThread() {
    if (plat::HWND w = protocolWindow_.load()) plat::PostMessage(w, 0, 0, 0);
}

void TqbLegacyTransport::runQueued() {
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lk(queuedMutex_);
        work.swap(queued_);
    }
    for (auto& fn : work)
        fn();
}

bool TqbLegacyTransport::runOnThread(std::function<void()> fn, uint32_t waitMs) {
    // What fn refers to lives only as long as the caller waits: once it stops waiting, fn never runs.
    struct Done {
        TqbEvent event;
        std::mutex m;
        bool ran = false, cancelled = false;
    };
    bool direct;
    {
        std::lock_guard lk(threadMutex_);
        const bool running = thread_ && thread_->ThreadID() != std::thread::id() && !thread_->Finished();
        direct = !running || thread_->ThreadID() == std::this_thread::get_id();
    }
    if (direct) {
        fn(); // no thread to hand it to, or already on it
        return true;
    }
    auto done = std::make_shared<Done>();
    {
        std::lock_guard lk(queuedMutex_);
        queued_.push_back([done, fn = std::move(fn)] {
            std::lock_guard g(done->m);
            if (done->cancelled) return;
            fn();
            done->ran = true;
            done->event.Signal();
        });
    }
    wakeThread();
    done->event.TryWait(waitMs);
    std::lock_guard g(done->m);
    if (!done->ran) done->cancelled = true;
    return done->ran;
}

// ---------------------------------------------------------------------------------------------
// Receiving

TqbMessageAssembler* TqbLegacyTransport::assemblerFor(uint32_t connID) {
    // Under peersMutex_.
    Peer& p = peers_[connID];
    if (p.Removed) return nullptr;
    if (!p.Assembler) {
        p.Assembler = std::make_unique<TqbMessageAssembler>(
            MaxMessageLength, TqbMessageAssembler::kMaxPending, TqbMessageAssembler::kMaxPendingBytes,
            PartialExpiryMs, &protocol_->Reassembly);
        p.Assembler->EventLog = LogsOption(qbtpLogErrors) ? EventLog() : nullptr;
        p.Assembler->EventLogEnabled = p.Assembler->EventLog != nullptr;
    }
    return p.Assembler.get();
}

void TqbLegacyTransport::forgetPeer(uint32_t connID) {
    std::lock_guard lk(peersMutex_);
    peers_.erase(connID);
}

// A peer that broke the framing or its limits: what it was sending is dropped, and so is the peer.
void TqbLegacyTransport::badPeer(uint32_t connID, const TqbMsgHeader& h) {
    LogError("Bad message part, hanging up: Clnt %d, Msg %d, Req %d, Len %d, Total %d",
             {connID, h.MsgID, h.RequestID, h.PartLength, h.TotalLength});
    {
        std::lock_guard lk(peersMutex_);
        auto it = peers_.find(connID);
        if (it != peers_.end()) it->second.Assembler.reset();
    }
    protocol_->HangUpByClientID(connID);
}

bool TqbLegacyTransport::receive(uint32_t connID, uint32_t length, const uint8_t* data) {
    TqbMsgHeader h;
    if (!DecodeHeader(data, length, h)) {
        badPeer(connID, h);
        return true;
    }
    if (GetMode() == qbtmListen) {
        // Every part but a login's carries the ID the connection is known by; a part under any
        // other, or unreadable with the wrong key, comes from a client that did not log in right.
        if (h.MsgID != qbmLogin && h.ClientID != connID) {
            logBadPassword(*this, connID, h.ClientID, h.MsgID);
            protocol_->HangUpByClientID(connID);
            return true;
        }
        receiveRequest(connID, h, length, data);
        return true;
    }
    if (h.MsgType != qbmtReply) {
        LogError("Bad msg type %d, Clnt %d, Msg %d", {h.MsgType, h.ClientID, h.MsgID});
        return true; // a client takes no requests
    }
    receiveReply(connID, h, length, data);
    return true;
}

void TqbLegacyTransport::receiveRequest(uint32_t connID, const TqbMsgHeader& h, uint32_t length,
                                        const uint8_t* data) {
    if (LogsOption(qbtpLogRequests))
        LogRequestLine("Req", h.RequestID, h.ClientID, h.MsgID, data + qbMsgHeaderSize,
                       length - qbMsgHeaderSize, h.TimeOut);
    TqbMessage m;
    TqbMessageAssembler::Result r;
    {
        std::lock_guard lk(peersMutex_);
        TqbMessageAssembler* a = assemblerFor(connID);
        if (!a) return; // removed: nothing more is taken from it
        r = a->AddPart(data, length, plat::NowMs(), m);
    }
    // A later part of a message that never started, or was dropped, is dropped in turn; only a
    // peer that breaks the framing is hung up.
    if (r == TqbMessageAssembler::Result::Incomplete || r == TqbMessageAssembler::Result::Ignored) return;
    if (r == TqbMessageAssembler::Result::Bad) {
        badPeer(connID, h);
        return;
    }
    auto rec = std::make_unique<TqbMessageRecord>();
    rec->MsgID = m.Header.MsgID;
    rec->ClientID = connID;
    rec->RequestID = m.Header.RequestID;
    rec->ArrivalTick = uint32_t(plat::NowMs());
    rec->ExpiryTick = rec->ArrivalTick + m.Header.TimeOut;
    rec->ErrorCode = 0;
    rec->DataLength = int32_t(m.Data.size());
    rec->Data = std::move(m.Data);
    try {
        // A login changes how the connection's next parts are read: it is done before them.
        if (rec->MsgID == qbmLogin)
            ProcessReceived(std::move(rec));
        else
            DispatchRequest(std::move(rec));
    } catch (const std::exception& e) {
        // What the handler raised ends this request only, as it would on a pool thread.
        LogError("Transport thread (%s) error: %s", {displayName(), e.what()});
    }
}

void TqbLegacyTransport::ProcessReceived(TqbMessagePtr msg) {
    std::shared_ptr<std::recursive_mutex> busy;
    {
        std::lock_guard lk(peersMutex_);
        auto it = peers_.find(msg->ClientID);
        if (it == peers_.end() || it->second.Removed) return; // its connection is gone
        busy = it->second.Busy;
    }
    // One request of a connection at a time, also on pool threads. Not the login: it runs on the
    // transport thread, which must never wait for a pool thread (that may wait to send on it).
    std::unique_lock one(*busy, std::defer_lock);
    if (msg->MsgID != qbmLogin && !one.try_lock()) {
        TqbBlockingWait blocking; // behind the connection's running request, which may need a thread
        one.lock();
    }
    SetCurrent(this, msg->ClientID, msg->RequestID);
    switch (msg->MsgID) {
    case qbmLogin:
        login(*msg);
        break;
    case qbmClientRemove:
        removeClient(msg->ClientID, false);
        break;
    case qbmKeyCheck:
        // Readable means both sides have the same key: the login is complete.
        sendReply(msg->ClientID, msg->ClientID, msg->RequestID, qbmKeyCheck, 0, nullptr, 0);
        break;
    default:
        Process(std::move(msg));
        break;
    }
}

void TqbLegacyTransport::peerAdded(uint32_t connID) {
    std::lock_guard lk(peersMutex_);
    assemblerFor(connID);
}

void TqbLegacyTransport::login(const TqbMessageRecord& msg) {
    const uint32_t connID = msg.ClientID;
    TqbLoginRequest req;
    if (!DecodeLoginRequest(msg.Data.data(), msg.Data.size(), req)) {
        sendReply(connID, connID, msg.RequestID, qbmLogin, kErrUnknownUser, nullptr, 0);
        return;
    }
    if (!OnAddClient) {
        sendReply(connID, connID, msg.RequestID, qbmLogin, kErrNoAddClient, nullptr, 0);
        refuseClient(connID);
        return;
    }
    uint32_t passwordHash = 0, newID = connID, serverVersion = uint32_t(kServerVersion);
    TqbResultCode err = 0;
    bool secure = false;
    OnAddClient(this, req.UserName, req.TimeOut, req.ClientVersion, passwordHash, newID, err, secure,
                serverVersion);
    // The client hangs up on the refusal.
    if (err == kErrUnknownUser) logBadPassword(*this, connID, msg.ClientID, qbmLogin);
    TqbLoginReply reply;
    reply.ClientID = newID;
    reply.ServerVersion = serverVersion;
    reply.LoginCode = LoginKeySeed(protocol_->KeySeed(connID), passwordHash, secure);
    reply.LastMsgInterval = protocol_->LastMsgInterval;
    reply.KeepAliveInterval = protocol_->KeepAliveInterval;
    reply.KeepAliveRetries = protocol_->KeepAliveRetries;
    reply.Secure = secure;
    if (err == 0 && newID != connID) {
        std::lock_guard lk(peersMutex_);
        if (peers_.count(newID)) err = kErrUnknownUser; // the ID names another connection
    }
    const std::vector<uint8_t> data = EncodeLoginReply(reply);
    // Under the ID the client knows the connection by; the single-user protocol finds it by that.
    sendReply(connID, connID, msg.RequestID, qbmLogin, err, data.data(), uint32_t(data.size()));
    if (err) return;
    // This runs on the transport thread, so nothing more of this client is read before it is
    // known by its new ID.
    bool moved;
    {
        std::lock_guard lk(peersMutex_);
        auto it = peers_.find(connID);
        moved = it != peers_.end() && protocol_->UpdateClientID(connID, newID);
        if (moved) {
            it->second.LoggedIn = true;
            auto node = peers_.extract(it);
            node.key() = newID;
            peers_.insert(std::move(node));
        }
    }
    if (!moved) refuseClient(connID);
}

void TqbLegacyTransport::removeClient(uint32_t clientID, bool closed) {
    {
        std::lock_guard lk(peersMutex_);
        auto it = peers_.find(clientID);
        if (it == peers_.end()) return;
        // Only a client that logged in was added, so only it is removed.
        const bool tell = !it->second.Removed && it->second.LoggedIn;
        if (closed) {
            peers_.erase(it);
        } else {
            it->second.Removed = true;
            it->second.Assembler.reset();
        }
        if (!tell) return;
    }
    if (OnRemoveClient) {
        TqbResultCode err = 0;
        OnRemoveClient(this, clientID, err);
    } else {
        log("Transport %s: no handler removes client %d", {displayName(), clientID});
    }
}

// Removed without telling anyone: the client never got in.
void TqbLegacyTransport::refuseClient(uint32_t clientID) {
    {
        std::lock_guard lk(peersMutex_);
        auto it = peers_.find(clientID);
        if (it != peers_.end()) {
            it->second.Removed = true;
            it->second.Assembler.reset();
        }
    }
    protocol_->HangUpByClientID(clientID);
}

// ---------------------------------------------------------------------------------------------
// Sending

TqbResultCode TqbLegacyTransport::sendParts(TqbMsgHeader h, const uint8_t* data, uint32_t length,
                                            uint32_t sendTo, const std::function<void()>& afterFirst) {
    if (!protocol_) return qbErrConnectionLost;
    // Every part of the message is built first, then all go to the protocol together.
    const uint32_t room = protocol_->MaxMsgSize() - qbMsgHeaderSize;
    const size_t count = length == 0 ? 1 : (size_t(length) + room - 1) / room;
    std::vector<uint8_t> parts(size_t(length) + count * qbMsgHeaderSize);
    h.TotalLength = length;
    uint32_t sent = 0;
    uint8_t* at = parts.data();
    do {
        const uint32_t n = std::min(room, length - sent);
        h.FirstPart = sent == 0;
        h.LastPart = sent + n == length;
        h.PartLength = n + qbMsgHeaderSize;
        EncodeHeader(h, at);
        if (n) std::memcpy(at + qbMsgHeaderSize, data + sent, n);
        at += h.PartLength;
        sent += n;
    } while (sent < length);
    if (afterFirst) afterFirst();
    return protocol_->SendParts(sendTo, std::move(parts), true);
}

void TqbLegacyTransport::SendReply(uint32_t ClientID, uint32_t RequestID, uint32_t MsgID,
                                   TqbResultCode ErrorCode, const uint8_t* Data, uint32_t DataLength) {
    // The reply of a request that was still at work when the transport began to stop goes
    // nowhere: its client's connection ends with the transport, which is no error to report.
    const uint8_t state = State();
    if (state == qbsShuttingDown || state == qbsStopping || state == qbsStopped) return;
    CheckStarted();
    sendReply(ClientID, ClientID, RequestID, MsgID, ErrorCode, Data, DataLength);
}

// headerID: the client ID the reply carries; sendTo: the ID its connection is found by.
void TqbLegacyTransport::sendReply(uint32_t headerID, uint32_t sendTo, uint32_t RequestID, uint32_t MsgID,
                                   TqbResultCode ErrorCode, const uint8_t* Data, uint32_t DataLength) {
    TqbMsgHeader h;
    h.MsgID = MsgID;
    h.ClientID = headerID;
    h.RequestID = RequestID;
    h.ErrorCode = ErrorCode;
    h.MsgType = qbmtReply;
    if (const TqbResultCode r = sendParts(h, Data, DataLength, sendTo, nullptr)) {
        // A client that hung up while its request was at work is no fault of the send.
        if (!protocol_ || !protocol_->HasClient(sendTo)) return;
        LogError("Snd Err %d: %s, Req %d, Clnt %d, Msg %d, Len %d, Tmout %d",
                 {r, "tpSendReply", -1, headerID, MsgID, DataLength, 0});
    } else {
        LogReplyLine(RequestID, headerID, int32_t(MsgID), Data, int32_t(DataLength), ErrorCode);
    }
}

// Message 13 never goes out: the protocol connects, and the reply is the new connection's ID.
void TqbLegacyTransport::connectRequest(const TqbRequestPtr& req) {
    std::string address;
    if (req->DataLength() >= qbShortStringField) GetShortString(req->Data().data(), address);
    uint32_t id = 0;
    const TqbResultCode r = protocol_->ConnectToServer(address, id, req->Timeout());
    uint8_t reply[4];
    PutU32(reply, id);
    if (!req->StartReply(qbmConnect, r, 4, 4, reply, qbMaxMsgTotalLength, false))
        return; // its caller gave up
    LogReplyLine(req->ID(), id, qbmConnect, reply, 4, r);
    req->Signal();
}

void TqbLegacyTransport::SendRequest(const TqbRequestPtr& req) {
    LogRequestLine(*req);
    if (req->MsgID() == qbmConnect) {
        connectRequest(req);
        return;
    }
    TqbMsgHeader h;
    h.MsgID = req->MsgID();
    h.ClientID = req->ClientID();
    h.RequestID = req->ID();
    h.TimeOut = req->Timeout();
    h.MsgType = qbmtRequest;
    req->Lock();
    const TqbResultCode r =
        sendParts(h, req->Data().data(), req->DataLength(), req->ClientID(), [&] { BeginSend(req); });
    if (r)
        LogError("Snd Err %d: %s, Req %d, Clnt %d, Msg %d, Len %d, Tmout %d",
                 {r, "tpSendRequest", -1, req->ClientID(), req->MsgID(), req->DataLength(), req->Timeout()});
    EndSend(req, r);
    req->Unlock();
}

// ---------------------------------------------------------------------------------------------
// Replies and connection loss (client)

void TqbLegacyTransport::receiveReply(uint32_t connID, const TqbMsgHeader& h, uint32_t length,
                                      const uint8_t* data) {
    TqbRequestPtr req = FindPending(h.RequestID);
    if (!req) {
        LogError("Could not find Request %d, msgID %d", {h.RequestID, h.MsgID});
        return;
    }
    // A reply comes over the request's connection and, after the login, under its client ID.
    if (req->ClientID() != connID || (h.MsgID != qbmLogin && h.ClientID != req->ClientID())) {
        LogError("Reply for another client dropped: Req %d, Clnt %d, Msg %d, expected Clnt %d",
                 {h.RequestID, h.ClientID, h.MsgID, req->ClientID()});
        return;
    }
    TqbMessage m;
    TqbMessageAssembler::Result r;
    {
        std::lock_guard lk(peersMutex_);
        TqbMessageAssembler* a = assemblerFor(connID);
        if (!a) return;
        r = a->AddPart(data, length, plat::NowMs(), m);
    }
    if (r == TqbMessageAssembler::Result::Incomplete || r == TqbMessageAssembler::Result::Ignored) return;
    if (r == TqbMessageAssembler::Result::Bad) {
        badPeer(connID, h);
        return;
    }
    // Whole now: the request takes it as one part (or is gone, when its caller gave up meanwhile).
    TqbMsgHeader whole = m.Header;
    whole.FirstPart = whole.LastPart = 1;
    whole.TotalLength = uint32_t(m.Data.size());
    HandleReplyPart(whole, m.Data.data(), whole.TotalLength);
}

void TqbLegacyTransport::failPending(uint32_t clientID) {
    forgetPeer(clientID);
    FailPendingOfClient(clientID, qbErrConnectionLost);
}

void TqbLegacyTransport::connectionLost(uint32_t clientID) {
    if (window_) plat::PostMessage(window_, kWmConnectionLost, clientID, 0);
    failPending(clientID);
}

plat::LRESULT TqbLegacyTransport::windowProc(plat::UINT msg, plat::WPARAM w, plat::LPARAM) {
    if (msg == kWmConnectionLost) {
        if (OnConnectionLost) OnConnectionLost(this, uint32_t(w));
        return 0;
    }
    if (msg == 17) return 1; // the session may end
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Client operations

TqbResultCode TqbLegacyTransport::EstablishConnection(const std::string& UserName, uint32_t PasswordHash,
                                                      uint32_t Timeout, uint32_t& ClientID) {
    TqbThreadedTransport::EstablishConnection(UserName, PasswordHash, Timeout, ClientID); // mode and name
    CheckStarted();
    auto hangUp = [this](uint32_t id) {
        if (!runOnThread([this, id] { protocol_->HangUpByClientID(id); }, kStopWaitMs))
            protocol_->HangUpByClientID(id);
    };

    // 1. The protocol connects.
    uint8_t name[qbShortStringField];
    PutShortString(name, addressPart_);
    uint32_t provisional = 0;
    TqbResultCode r = Request(0, 0, qbmConnect, Timeout, name, sizeof name,
                              [&](uint32_t, TqbResultCode, const uint8_t* d, uint32_t n) {
                                  if (n == 4) provisional = GetU32(d);
                              });
    if (r) return r;

    // 2. The login.
    const std::vector<uint8_t> login = EncodeLoginRequest({UserName, Timeout, qbClientVersion});
    TqbLoginReply reply;
    bool readable = false;
    r = Request(0, provisional, qbmLogin, Timeout, login.data(), uint32_t(login.size()),
                [&](uint32_t, TqbResultCode, const uint8_t* d, uint32_t n) {
                    readable = DecodeLoginReply(d, n, reply);
                });
    if (!r && !readable) r = kErrUnknownUser;
    if (r) {
        hangUp(provisional);
        return r;
    }
    bool keyed = false;
    const bool ran = runOnThread(
        [&] {
            if (!protocol_->UpdateClientID(provisional, reply.ClientID)) return;
            forgetPeer(provisional);
            protocol_->SetKey(reply.ClientID, LoginKeySeed(reply.LoginCode, PasswordHash, reply.Secure));
            protocol_->KeepAliveRetries = reply.KeepAliveRetries;
            protocol_->LastMsgInterval = reply.LastMsgInterval;
            protocol_->SetKeepAliveInterval(reply.KeepAliveInterval);
            keyed = true;
        },
        Timeout ? Timeout + 500 : kStopWaitMs);
    if (!ran || !keyed) {
        hangUp(keyed ? reply.ClientID : provisional);
        return kErrUnknownUser;
    }

    // 3. Both sides now scramble with the same key, or the server cannot read this.
    r = Request(0, reply.ClientID, qbmKeyCheck, Timeout, nullptr, 0, nullptr);
    if (r) {
        hangUp(reply.ClientID);
        return r == qbErrReplyTimeout ? qbErrReplyTimeout : kErrUnknownUser;
    }
    ClientID = reply.ClientID;
    return 0;
}

void TqbLegacyTransport::TerminateConnection(uint32_t ClientID, uint32_t Timeout) {
    if (!protocol_) return;
    if (!runOnThread([this, ClientID] { protocol_->HangUpByClientID(ClientID); },
                     Timeout ? Timeout : kStopWaitMs))
        protocol_->HangUpByClientID(ClientID);
}

void TqbLegacyTransport::GetServerNames(cls::TStringList& List, uint32_t Timeout) {
    List.Clear();
    const bool wasStarted = State() == qbsStarted;
    const bool required = ServerNameRequired();
    if (!wasStarted) {
        SetServerNameRequired(false);
        SetState(qbsStarted);
    }
    std::vector<std::string> names;
    if (protocol_) runOnThread([&] { protocol_->GetServerNames(names, Timeout); }, Timeout + kStopWaitMs);
    for (auto& n : names)
        List.Add(n);
    if (!wasStarted) {
        SetState(qbsInactive);
        SetServerNameRequired(required);
    }
}
