// The protocol base: connections and their lists, the notification window, receiving with
// keep-alive bookkeeping, the keep-alive pass and the once-only closed notification.
#include "db/remote/qbllprot.h"

#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <poll.h>

namespace {

constexpr int32_t kErrConnectionGone = 292;
std::atomic<uint32_t> g_nextIdentity{0};

uint32_t newIdentity() {
    uint32_t id;
    do {
        id = ++g_nextIdentity;
    } while (id == 0);
    return id;
}

} // namespace

TqbConnection::TqbConnection(TqbBaseCommsProtocol* protocol) : Protocol(protocol), identity_(newIdentity()) {
    ClientID = identity_;
    LastMsgDue = plat::NowMs() + protocol->LastMsgInterval;
}

TqbBaseCommsProtocol::TqbBaseCommsProtocol(const std::string& name, bool listen, uint32_t maxMsgSize)
    : listen_(listen), serverName_(name), maxMsgSize_(maxMsgSize) {}

TqbBaseCommsProtocol::~TqbBaseCommsProtocol() {
    ReleaseWindow();
}

void TqbBaseCommsProtocol::Log(std::string_view fmt, const QbFormatArgs& args) {
    if (EventLog && EventLogEnabled) EventLog->WriteTextFmt(fmt, args);
}

bool TqbBaseCommsProtocol::OnWindowThread() const {
    return window_ && windowThread_ == std::this_thread::get_id();
}

void TqbBaseCommsProtocol::CreateWindow() {
    window_ = plat::CreateHiddenWindow(
        [this](plat::HWND, plat::UINT m, plat::WPARAM w, plat::LPARAM l) { return windowProc(m, w, l); });
    if (!window_) {
        Log("Could not create notification window.");
        throw EqbCommsException(GeneralStrings(), 368);
    }
    windowThread_ = std::this_thread::get_id();
    plat::SetTimer(window_, kKeepAliveTimer, KeepAliveInterval);
}

void TqbBaseCommsProtocol::ReleaseWindow() {
    if (!window_) return;
    plat::KillTimer(window_, kKeepAliveTimer);
    plat::DestroyWindow(window_);
    window_ = 0;
}

void TqbBaseCommsProtocol::Startup() {
    if (started_) return;
    CreateWindow();
    started_ = true;
    startedEvent_.Signal();
}

void TqbBaseCommsProtocol::Shutdown() {
    if (!started_) return;
    ReleaseWindow();
    started_ = false;
}

void TqbBaseCommsProtocol::Idle() {
    // One poll of the loop's descriptors, whose findings the dispatch takes without asking the
    // system again; returns at once when something waits.
    pollfd loop{plat::LoopWakeFd(), POLLIN, 0};
    plat::PollWithLoop(&loop, 1, 1);
    plat::ProcessPendingMessages();
}

int32_t TqbBaseCommsProtocol::SendParts(uint32_t clientID, std::vector<uint8_t> parts, bool lock) {
    for (size_t at = 0; at + qbMsgHeaderSize <= parts.size();) {
        const uint32_t length = GetU32(parts.data() + at + 4);
        if (length < qbMsgHeaderSize || length > parts.size() - at) return kErrConnectionGone;
        if (const int32_t r = SendMsg(clientID, parts.data() + at, length, lock)) return r;
        at += length;
    }
    return 0;
}

void TqbBaseCommsProtocol::SetKeepAliveInterval(uint32_t ms) {
    KeepAliveInterval = ms;
    if (window_) plat::SetTimer(window_, kKeepAliveTimer, ms);
}

std::unique_ptr<TqbMessageAssembler> TqbBaseCommsProtocol::NewAssembler() {
    auto a = std::make_unique<TqbMessageAssembler>(qbMaxMsgTotalLength, TqbMessageAssembler::kMaxPending,
                                                   TqbMessageAssembler::kMaxPendingBytes,
                                                   TqbMessageAssembler::kExpiryMs, &Reassembly);
    a->EventLog = EventLog;
    a->EventLogEnabled = EventLogEnabled;
    return a;
}

plat::LRESULT TqbBaseCommsProtocol::windowProc(plat::UINT msg, plat::WPARAM w, plat::LPARAM l) {
    if (msg == plat::WM_TIMER && w == kKeepAliveTimer) {
        KeepAliveTick();
        return 0;
    }
    if (msg == kWmConnectionClosed) {
        connectionClosed(uint32_t(w));
        return 0;
    }
    plat::LRESULT r = 0;
    HandleMessage(msg, w, l, r);
    return r;
}

void TqbBaseCommsProtocol::AddConnection(const std::shared_ptr<TqbConnection>& c) {
    std::lock_guard lk(padlock_);
    c->Key.SetKey(0);
    connections_.push_back(c);
    byClientID_[c->ClientID] = c;
    if (listen_) listening_.push_back(c);
}

std::shared_ptr<TqbConnection> TqbBaseCommsProtocol::FindByClientID(uint32_t clientID) {
    std::lock_guard lk(padlock_);
    auto it = byClientID_.find(clientID);
    return it == byClientID_.end() ? nullptr : it->second;
}

size_t TqbBaseCommsProtocol::ConnectionCount() {
    std::lock_guard lk(padlock_);
    return connections_.size();
}

uint32_t TqbBaseCommsProtocol::ConnectionClientID(size_t index) {
    std::lock_guard lk(padlock_);
    return index < connections_.size() ? connections_[index]->ClientID : 0;
}

bool TqbBaseCommsProtocol::UpdateClientID(uint32_t oldID, uint32_t newID) {
    std::lock_guard lk(padlock_);
    auto it = byClientID_.find(oldID);
    if (it == byClientID_.end()) return false;
    if (oldID == newID) return true;
    if (byClientID_.count(newID)) return false; // would hide another connection
    auto c = it->second;
    byClientID_.erase(it);
    c->ClientID = newID;
    byClientID_[newID] = c;
    return true;
}

bool TqbBaseCommsProtocol::SetKey(uint32_t clientID, uint32_t seed) {
    auto c = FindByClientID(clientID);
    if (!c) return false;
    std::lock_guard lk(c->Padlock);
    c->Key.SetKey(seed);
    return true;
}

uint32_t TqbBaseCommsProtocol::KeySeed(uint32_t clientID) {
    auto c = FindByClientID(clientID);
    return c ? c->Key.Seed() : 0;
}

uint64_t TqbBaseCommsProtocol::KeepAlivesReceived(uint32_t clientID) {
    auto c = FindByClientID(clientID);
    std::lock_guard lk(padlock_);
    return c ? c->KeepAlivesReceived : 0;
}

uint64_t TqbBaseCommsProtocol::KeepAlivesSent(uint32_t clientID) {
    auto c = FindByClientID(clientID);
    std::lock_guard lk(padlock_);
    return c ? c->KeepAlivesSent : 0;
}

void TqbBaseCommsProtocol::HangUp(const std::shared_ptr<TqbConnection>& c) {
    {
        std::lock_guard lk(padlock_);
        if (!c || c->Gone) return;
        c->Gone = true;
        std::erase(connections_, c);
        std::erase(listening_, c);
        auto it = byClientID_.find(c->ClientID);
        if (it != byClientID_.end() && it->second == c) byClientID_.erase(it);
        closing_[c->Identity()] = c;
    }
    CloseTransport(*c);
    // The handlers run from the window, outside the locks of whoever hung up.
    if (!window_ || !plat::PostMessage(window_, kWmConnectionClosed, c->Identity(), 0))
        connectionClosed(c->Identity());
}

void TqbBaseCommsProtocol::HangUpByClientID(uint32_t clientID) {
    auto c = FindByClientID(clientID);
    if (!c) return;
    c->HungUp = true;
    HangUp(c);
}

void TqbBaseCommsProtocol::ConnectionLost(const std::shared_ptr<TqbConnection>& c) {
    HangUp(c);
}

void TqbBaseCommsProtocol::connectionClosed(uint32_t identity) {
    std::shared_ptr<TqbConnection> c;
    {
        std::lock_guard lk(padlock_);
        auto it = closing_.find(identity);
        if (it == closing_.end()) return;
        c = it->second;
        closing_.erase(it);
        if (c->CloseNotified) return;
        c->CloseNotified = true;
    }
    if (c->HungUp) {
        if (OnHangUp) OnHangUp(this, c->ClientID);
    } else if (OnConnectionLost) {
        OnConnectionLost(this, c->ClientID);
    }
}

void TqbBaseCommsProtocol::CloseAll() {
    std::vector<std::shared_ptr<TqbConnection>> all;
    {
        std::lock_guard lk(padlock_);
        all = connections_;
        for (auto& [id, c] : closing_)
            all.push_back(c);
        connections_.clear();
        byClientID_.clear();
        listening_.clear();
        closing_.clear();
    }
    for (auto& c : all) {
        if (!c->Gone) {
            c->Gone = true;
            CloseTransport(*c);
        }
    }
}

void TqbBaseCommsProtocol::KeepAliveReceived(TqbConnection& c) {
    std::lock_guard lk(padlock_);
    c.AnswerDue = true;
    c.Unanswered = 0; // an answer: the peer is alive
    ++c.KeepAlivesReceived;
    c.LastMsgDue = plat::NowMs() + LastMsgInterval;
}

bool TqbBaseCommsProtocol::MessageReceived(TqbConnection& c, uint8_t* part, uint32_t length) {
    {
        std::lock_guard lk(padlock_);
        c.LastMsgDue = plat::NowMs() + LastMsgInterval;
        c.Unanswered = 0;
        c.AnswerDue = false;
    }
    if (length > maxMsgSize_) {
        Log("Message size %d too large.", {length});
        return false;
    }
    {
        std::lock_guard lk(c.Padlock);
        ScrambleMsg(part, length, c.Key);
    }
    // The handler runs without the connection's padlock: a caller that its reply wakes sends its
    // next request at once, and must not wait for this thread to leave the handler.
    bool taken = OnReceiveMsg ? OnReceiveMsg(this, c.ClientID, length, part) : true;
    if (!taken) {
        std::lock_guard lk(c.Padlock);
        ScrambleMsg(part, length, c.Key); // kept as it came, for the next try
    }
    return taken;
}

void TqbBaseCommsProtocol::KeepAliveTick() {
    std::vector<std::shared_ptr<TqbConnection>> ping, drop;
    const uint64_t now = plat::NowMs();
    {
        std::lock_guard lk(padlock_);
        for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
            TqbConnection& c = **it;
            if (c.Unanswered < KeepAliveRetries) {
                if (c.AnswerDue || now >= c.LastMsgDue) {
                    c.AnswerDue = false;
                    ++c.Unanswered;
                    ++c.KeepAlivesSent;
                    ping.push_back(*it);
                }
            } else {
                drop.push_back(*it);
            }
        }
    }
    const std::vector<uint8_t> ka = KeepAliveBytes();
    for (auto& c : ping)
        SendRaw(*c, ka.data(), uint32_t(ka.size()));
    for (auto& c : drop)
        ConnectionLost(c);
    AfterKeepAlive();
}
