// Requests, the command handler and engine manager, the base transport and the threaded
// transport.
#include "db/remote/qbtransport.h"

#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <cstring>

namespace {
thread_local TqbBaseTransport* tlsTransport = nullptr;
thread_local uint32_t tlsClientID = 0;
thread_local uint32_t tlsRequestID = 0;

constexpr size_t kMaxServerName = 63;
} // namespace

// ---------------------------------------------------------------------------------------------
// Request identifiers

uint32_t TqbRequestIDs::Acquire() {
    std::lock_guard g(mu_);
    for (;;) {
        uint32_t id = next_++;
        if (id != 0 && live_.insert(id).second) return id;
    }
}

void TqbRequestIDs::Release(uint32_t ID) {
    std::lock_guard g(mu_);
    live_.erase(ID);
}

size_t TqbRequestIDs::LiveCount() {
    std::lock_guard g(mu_);
    return live_.size();
}

void TqbRequestIDs::SetNextForTesting(uint32_t Next) {
    std::lock_guard g(mu_);
    next_ = Next;
}

// ---------------------------------------------------------------------------------------------
// Request

TqbRequest::TqbRequest(uint32_t ClientID, uint8_t ReplyMode, uint32_t Timeout, uint32_t DataLength,
                       const uint8_t* Data, uint32_t MsgID, std::shared_ptr<TqbRequestIDs> IDs)
    : bytesToSend_(Data ? DataLength : 0), clientID_(ClientID), msgID_(MsgID), replyMode_(ReplyMode),
      timeout_(Timeout), ids_(std::move(IDs)) {
    if (Data && DataLength) data_.assign(Data, Data + DataLength);
    if (ids_) id_ = ids_->Acquire();
}

TqbRequest::~TqbRequest() {
    if (ids_) ids_->Release(id_);
}

void TqbRequest::AdvanceSend(uint32_t Bytes) {
    Bytes = std::min(Bytes, bytesToSend_);
    bytesToSend_ -= Bytes;
    sendOffset_ += Bytes;
}

bool TqbRequest::Aborted() const {
    std::lock_guard g(stateMu_);
    return end_ == End::Aborted;
}

bool TqbRequest::Finished() const {
    std::lock_guard g(stateMu_);
    return end_ != End::None;
}

TqbResultCode TqbRequest::ErrorCode() const {
    std::lock_guard g(stateMu_);
    return errorCode_;
}

int32_t TqbRequest::ReplyMsgID() const {
    std::lock_guard g(stateMu_);
    return replyMsgID_;
}

int32_t TqbRequest::ReplyLength() const {
    std::lock_guard g(stateMu_);
    return replyLength_;
}

bool TqbRequest::finish(End how, TqbResultCode err, bool ownMsgID) {
    {
        std::lock_guard g(stateMu_);
        if (end_ != End::None) return false;
        end_ = how;
        errorCode_ = err;
        if (ownMsgID) replyMsgID_ = int32_t(msgID_);
    }
    if (how == End::Done) Signal();
    return true;
}

bool TqbRequest::StartReply(uint32_t ReplyMsgID, TqbResultCode ErrorCode, uint32_t PartLength,
                            uint32_t TotalLength, const uint8_t* Data, uint32_t MaxTotal, bool Release) {
    bool complete = false;
    {
        std::lock_guard g(stateMu_);
        if (end_ != End::None || replyLength_ >= 0) return false;
        if (PartLength > TotalLength || TotalLength > MaxTotal || (PartLength && !Data)) return false;
        replyMsgID_ = int32_t(ReplyMsgID);
        errorCode_ = ErrorCode;
        replyLength_ = int32_t(TotalLength);
        reply_.resize(TotalLength);
        if (PartLength) std::memcpy(reply_.data(), Data, PartLength);
        replyReceived_ = PartLength;
        complete = replyReceived_ == TotalLength;
        if (complete) end_ = End::Done;
    }
    if (complete && Release) Signal();
    return true;
}

bool TqbRequest::AddToReply(const uint8_t* Data, uint32_t Length, bool Release) {
    bool complete = false;
    {
        std::lock_guard g(stateMu_);
        // Nothing to append to before a first part, nor after the end.
        if (end_ != End::None || replyLength_ < 0) return false;
        uint32_t n = std::min(Length, uint32_t(replyLength_) - replyReceived_);
        if (n && !Data) return false;
        if (n) std::memcpy(reply_.data() + replyReceived_, Data, n);
        replyReceived_ += n;
        complete = replyReceived_ == uint32_t(replyLength_);
        if (complete) end_ = End::Done;
    }
    if (complete && Release) Signal();
    return true;
}

bool TqbRequest::ReplyComplete() const {
    std::lock_guard g(stateMu_);
    return end_ == End::Done && replyLength_ >= 0 && replyReceived_ == uint32_t(replyLength_);
}

bool TqbRequest::Fail(TqbResultCode ErrorCode) {
    return finish(End::Done, ErrorCode, true);
}

bool TqbRequest::MarkSent() {
    return finish(End::Done, 0, false);
}

bool TqbRequest::Abort(TqbResultCode ErrorCode) {
    return finish(End::Aborted, ErrorCode, true);
}

TqbResultCode TqbRequest::WaitForReply(uint32_t Timeout) {
    if (event_.TryWait(Timeout) == 0) return 0;
    if (Abort(qbErrReplyTimeout)) return qbErrReplyTimeout;
    return 0; // it ended just as the wait ran out
}

// ---------------------------------------------------------------------------------------------
// Command handler

TqbBaseCommandHandler::TqbBaseCommandHandler(cls::TComponent* AOwner) : TqbCommandHandlerLink(AOwner) {}

TqbBaseCommandHandler::~TqbBaseCommandHandler() = default;

void TqbBaseCommandHandler::SetEngineManager(TqbBaseEngineManager* Manager) {
    TqbBaseEngineManager* old = engineManager_.load();
    if (old == Manager) return;
    if (old) old->RemoveCommandHandler(this);
    if (Manager) Manager->AddCommandHandler(this);
}

void TqbBaseCommandHandler::AddTransport(TqbBaseTransport* Transport) {
    if (!Transport) return;
    {
        std::lock_guard g(listMu_);
        if (std::find(transports_.begin(), transports_.end(), Transport) != transports_.end()) return;
        transports_.push_back(Transport);
    }
    Transport->commandHandler_.store(this);
}

void TqbBaseCommandHandler::RemoveTransport(TqbBaseTransport* Transport) {
    {
        std::lock_guard g(listMu_);
        auto it = std::find(transports_.begin(), transports_.end(), Transport);
        if (it == transports_.end()) return;
        transports_.erase(it);
    }
    TqbBaseCommandHandler* self = this;
    Transport->commandHandler_.compare_exchange_strong(self, nullptr);
}

TqbBaseTransport* TqbBaseCommandHandler::GetTransport(int32_t Index) {
    std::lock_guard g(listMu_);
    return Index >= 0 && size_t(Index) < transports_.size() ? transports_[size_t(Index)] : nullptr;
}

int32_t TqbBaseCommandHandler::GetTransportCount() {
    std::lock_guard g(listMu_);
    return int32_t(transports_.size());
}

void TqbBaseCommandHandler::AddPlugIn(TqbCommandPlugIn* PlugIn) {
    if (!PlugIn) return;
    {
        std::lock_guard g(listMu_);
        if (std::find(plugIns_.begin(), plugIns_.end(), PlugIn) != plugIns_.end()) return;
        plugIns_.push_back(PlugIn);
    }
    FreeNotification(PlugIn);
}

void TqbBaseCommandHandler::RemovePlugIn(TqbCommandPlugIn* PlugIn) {
    std::lock_guard g(listMu_);
    plugIns_.erase(std::remove(plugIns_.begin(), plugIns_.end(), PlugIn), plugIns_.end());
}

void TqbBaseCommandHandler::Notification(cls::TComponent* AComponent, cls::TOperation Operation) {
    // A plug-in that goes is no longer offered requests.
    if (Operation == cls::opRemove && AComponent) {
        std::lock_guard g(listMu_);
        plugIns_.erase(std::remove_if(plugIns_.begin(), plugIns_.end(),
                                      [&](TqbCommandPlugIn* p) {
                                          return static_cast<cls::TComponent*>(p) == AComponent;
                                      }),
                       plugIns_.end());
    }
    TqbCommandHandlerLink::Notification(AComponent, Operation);
}

int32_t TqbBaseCommandHandler::PlugInCount() {
    std::lock_guard g(listMu_);
    return int32_t(plugIns_.size());
}

void TqbBaseCommandHandler::Process(TqbMessagePtr Message) {
    if (!Message) return;
    std::vector<TqbCommandPlugIn*> plugIns;
    {
        std::lock_guard g(listMu_);
        plugIns = plugIns_;
    }
    for (TqbCommandPlugIn* p : plugIns)
        if (p->Process(*Message)) return;
    if (TqbBaseEngineManager* m = EngineManager())
        if (m->Process(this, *Message)) return;
    TqbBaseTransport::Reply(Message->MsgID, qbErrUnhandledRequest, nullptr, 0);
}

void TqbBaseCommandHandler::SetState(uint8_t NewState) {
    if (NewState == State() || NewState == qbsStopping || NewState == qbsStopped) return;
    WalkTo(NewState, [this](uint8_t next) {
        std::vector<TqbBaseTransport*> transports;
        {
            std::lock_guard g(listMu_);
            transports = transports_;
        }
        for (auto it = transports.rbegin(); it != transports.rend(); ++it) {
            TqbBaseTransport* t = *it;
            if (!t->GetEnabled()) continue;
            try {
                t->SetState(next);
            } catch (const std::exception&) {
                LogTextFmt("Transport state failure: %s", {t->GetProtocolName()});
                // The handler goes on without it.
                try {
                    t->ForceState(qbsFailed);
                } catch (...) {
                }
                try {
                    t->enabled_.store(false);
                } catch (...) {
                }
            }
        }
        EnterState(next);
    });
}

void TqbBaseCommandHandler::GetTransportStatistics(int32_t Index, TqbTransportStatistics& Stats) {
    TqbBaseTransport* t = GetTransport(Index);
    if (!t) return;
    Stats.Name.Set(t->GetProtocolName());
    Stats.StateText.Set(StateToStr(t->State()));
    Stats.ServerName.Set(t->GetServerName());
    Stats.ConnectionCount = t->GetConnectionCount();
    Stats.MsgCount = t->MsgCount();
}

void TqbBaseCommandHandler::BeforeDestruction() {
    if (State() != qbsInactive) {
        try {
            SetState(qbsInactive);
        } catch (const std::exception& e) {
            LogText(e.what());
        }
    }
    std::vector<TqbBaseTransport*> transports;
    {
        std::lock_guard g(listMu_);
        plugIns_.clear();
        transports = transports_;
    }
    for (auto it = transports.rbegin(); it != transports.rend(); ++it)
        RemoveTransport(*it);
    if (TqbBaseEngineManager* m = EngineManager()) m->RemoveCommandHandler(this);
    TqbCommandHandlerLink::BeforeDestruction();
}

// ---------------------------------------------------------------------------------------------
// Engine manager

TqbBaseEngineManager::~TqbBaseEngineManager() = default;

void TqbBaseEngineManager::AddCommandHandler(TqbBaseCommandHandler* Handler) {
    if (!Handler) return;
    {
        std::lock_guard g(mu_);
        if (std::find(handlers_.begin(), handlers_.end(), Handler) != handlers_.end()) return;
        handlers_.push_back(Handler);
    }
    Handler->engineManager_.store(this);
}

TqbBaseCommandHandler* TqbBaseEngineManager::GetCommandHandler(int32_t Index) {
    std::lock_guard g(mu_);
    return Index >= 0 && size_t(Index) < handlers_.size() ? handlers_[size_t(Index)] : nullptr;
}

void TqbBaseEngineManager::RemoveCommandHandler(TqbBaseCommandHandler* Handler) {
    {
        std::lock_guard g(mu_);
        auto it = std::find(handlers_.begin(), handlers_.end(), Handler);
        if (it == handlers_.end()) return;
        handlers_.erase(it);
    }
    TqbBaseEngineManager* self = this;
    Handler->engineManager_.compare_exchange_strong(self, nullptr);
}

int32_t TqbBaseEngineManager::CommandHandlerCount() {
    std::lock_guard g(mu_);
    return int32_t(handlers_.size());
}

void TqbBaseEngineManager::BeforeDestruction() {
    std::vector<TqbBaseCommandHandler*> handlers;
    {
        std::lock_guard g(mu_);
        handlers = handlers_;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        RemoveCommandHandler(*it);
    TqbComponent::BeforeDestruction();
}

// ---------------------------------------------------------------------------------------------
// Base transport

TqbBaseTransport::TqbBaseTransport(cls::TComponent* AOwner) : TqbStateComponent(AOwner) {
    OnConnectionLost = [](TqbBaseTransport* Sender, uint32_t ClientID) { Sender->ConnectionLost(ClientID); };
}

TqbBaseTransport::~TqbBaseTransport() = default;

void TqbBaseTransport::SetCommandHandler(TqbBaseCommandHandler* Handler) {
    if (IsLoading()) {
        loadedCommandHandler_ = Handler;
        return;
    }
    TqbBaseCommandHandler* old = commandHandler_.load();
    if (old == Handler) return;
    if (old) old->RemoveTransport(this);
    if (Handler) Handler->AddTransport(this);
}

void TqbBaseTransport::Loaded() {
    TqbStateComponent::Loaded();
    if (loadedCommandHandler_) {
        TqbBaseCommandHandler* h = loadedCommandHandler_;
        loadedCommandHandler_ = nullptr;
        SetCommandHandler(h);
    }
}

void TqbBaseTransport::SetEnabled(bool Value) {
    if (enabled_.exchange(Value) == Value) return;
    if (!Value && State() != qbsInactive) {
        NotifyDependents(kOpDestroying);
        SetState(qbsInactive);
    }
}

void TqbBaseTransport::SetMode(TqbTransportMode Value) {
    if (Value == mode_.load()) return;
    CheckInactive();
    mode_.store(Value);
}

std::string TqbBaseTransport::GetServerName() const {
    std::lock_guard g(nameMu_);
    return serverName_;
}

void TqbBaseTransport::SetServerName(const std::string& Value) {
    std::string v = Value.substr(0, kMaxServerName);
    {
        std::lock_guard g(nameMu_);
        if (v == serverName_) return;
    }
    CheckInactive();
    std::lock_guard g(nameMu_);
    serverName_ = std::move(v);
}

TqbResultCode TqbBaseTransport::Request(uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                        const TqbReplyCallback&) {
    CheckStarted();
    return qbErrTransport;
}

TqbResultCode TqbBaseTransport::Post(uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t,
                                     uint8_t) {
    CheckStarted();
    return qbErrTransport;
}

TqbResultCode TqbBaseTransport::EstablishConnection(const std::string&, uint32_t, uint32_t,
                                                    uint32_t& ClientID) {
    ClientID = 0;
    if (GetMode() != qbtmSend) RaiseComponentError(1288);
    if (ServerNameRequired() && GetServerName().empty()) RaiseComponentError(1289);
    return qbErrTransport;
}

void TqbBaseTransport::Process(TqbMessagePtr Message) {
    SetCurrentTransport();
    TqbBaseCommandHandler* h = GetCommandHandler();
    if (!h) return;
    msgCount_.fetch_add(1);
    h->Process(std::move(Message));
}

void TqbBaseTransport::SendReply(uint32_t, uint32_t, uint32_t, TqbResultCode, const uint8_t*, uint32_t) {
    CheckStarted();
}

void TqbBaseTransport::Reply(uint32_t MsgID, TqbResultCode ErrorCode, const uint8_t* Data,
                             uint32_t DataLength) {
    if (TqbBaseTransport* t = tlsTransport)
        t->SendReply(tlsClientID, tlsRequestID, MsgID, ErrorCode, Data, DataLength);
}

void TqbBaseTransport::SetCurrent(TqbBaseTransport* Transport, uint32_t ClientID, uint32_t RequestID) {
    tlsTransport = Transport;
    tlsClientID = ClientID;
    tlsRequestID = RequestID;
}

TqbBaseTransport* TqbBaseTransport::CurrentTransport() {
    return tlsTransport;
}
uint32_t TqbBaseTransport::CurrentClientID() {
    return tlsClientID;
}
uint32_t TqbBaseTransport::CurrentRequestID() {
    return tlsRequestID;
}

void TqbBaseTransport::ConnectionLost(uint32_t ClientID) {
    NotifyDependentsEx(qbNotifyConnectionLost, intptr_t(ClientID));
}

bool TqbBaseTransport::LogsOption(TqbTransportLogOption Option) const {
    return (GetEventLogOptions() & qbLogOption(Option)) && EventLog() && GetEventLogEnabled();
}

void TqbBaseTransport::LogError(std::string_view Fmt, const QbFormatArgs& Args) {
    if (LogsOption(qbtpLogErrors)) LogTextFmt(Fmt, Args);
}

const char* TqbBaseTransport::ReplyModeText(uint8_t ReplyMode) {
    switch (ReplyMode) {
    case qbrmPost:
        return "Post";
    case qbrmPostWait:
        return "Post&Wait";
    default:
        return "Req";
    }
}

void TqbBaseTransport::logData(const uint8_t* Data, size_t Length) {
    if (!Data || !Length) return;
    LogText("Data");
    static const char hex[] = "0123456789ABCDEF";
    for (size_t at = 0; at < Length; at += 16) {
        std::string line = qbFormat("%.4x:", {int64_t(at)});
        for (size_t i = at; i < std::min(Length, at + 16); ++i) {
            line += ' ';
            line += hex[Data[i] >> 4];
            line += hex[Data[i] & 15];
        }
        LogText(line);
    }
}

void TqbBaseTransport::LogRequestLine(const char* ModeText, uint32_t RequestID, uint32_t ClientID,
                                      uint32_t MsgID, const uint8_t* Data, uint32_t Length,
                                      uint32_t Timeout) {
    if (!LogsOption(qbtpLogRequests)) return;
    LogTextFmt("%s: %d, Clnt %d, Msg %d, Len %d, Tmout %d",
               {ModeText, RequestID, ClientID, MsgID, Length, Timeout});
    logData(Data, Length);
}

void TqbBaseTransport::LogRequestLine(const TqbRequest& Req) {
    LogRequestLine(ReplyModeText(Req.ReplyMode()), Req.ID(), Req.ClientID(), Req.MsgID(), Req.Data().data(),
                   Req.DataLength(), Req.Timeout());
}

void TqbBaseTransport::LogReplyLine(uint32_t RequestID, uint32_t ClientID, int32_t MsgID, const uint8_t* Data,
                                    int32_t Length, TqbResultCode ErrorCode) {
    if (!LogsOption(qbtpLogReplies)) return;
    LogTextFmt("Reply: %d, Clnt %d, Msg %d, Len %d, Err %d", {RequestID, ClientID, MsgID, Length, ErrorCode});
    logData(Data, size_t(std::max(Length, 0)));
}

void TqbBaseTransport::LogAborted(const TqbRequest& Req) {
    if (!LogsOption(qbtpLogRequests)) return;
    LogTextFmt("*** Req %d aborted, Clnt %d, Err %d, Tmout %d",
               {Req.ID(), Req.ClientID(), Req.ErrorCode(), Req.Timeout()});
}

void TqbBaseTransport::BeforeDestruction() {
    if (TqbBaseCommandHandler* h = GetCommandHandler()) h->RemoveTransport(this);
    TqbStateComponent::BeforeDestruction();
    if (tlsTransport == this) SetCurrent(nullptr, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Threaded transport

TqbThreadedTransport::TqbThreadedTransport(cls::TComponent* AOwner) : TqbBaseTransport(AOwner) {}

TqbThreadedTransport::~TqbThreadedTransport() = default;

void TqbThreadedTransport::SetThreadPool(TqbThreadPool* Pool) {
    TqbThreadPool* old = threadPool_.exchange(Pool);
    if (old == Pool) return;
    if (old) RemoveFreeNotification(old);
    if (Pool) FreeNotification(Pool);
}

void TqbThreadedTransport::Notification(cls::TComponent* AComponent, cls::TOperation Operation) {
    if (Operation == cls::opRemove && AComponent) {
        TqbThreadPool* pool = threadPool_.load();
        if (pool && static_cast<cls::TComponent*>(pool) == AComponent) {
            WaitForDispatched();
            threadPool_.compare_exchange_strong(pool, nullptr);
        }
    }
    TqbBaseTransport::Notification(AComponent, Operation);
}

TqbRequestPtr TqbThreadedTransport::NewRequest(uint32_t ClientID, uint8_t ReplyMode, uint32_t Timeout,
                                               const uint8_t* Data, uint32_t DataLength, uint32_t MsgID) {
    return std::make_shared<TqbRequest>(ClientID, ReplyMode, Timeout, DataLength, Data, MsgID, ids_);
}

void TqbThreadedTransport::Enqueue(const TqbRequestPtr& Req) {
    bool now = false;
    {
        std::lock_guard g(queueMu_);
        // A caller's requests keep their order: none overtakes one that is queued or going out.
        now = sendQueue_.empty() && sending_ == 0 && CanSendOnCaller(*Req);
        if (now)
            ++sending_;
        else
            sendQueue_.push_back(Req);
    }
    if (!now) {
        RequestQueued();
        return;
    }
    try {
        SendOnCaller(Req);
    } catch (...) {
        EndSend(Req, qbErrTransport); // as the sending thread ends a request it could not send
    }
    RequestSent();
}

TqbResultCode TqbThreadedTransport::QueueAndWait(const TqbRequestPtr& Req) {
    Enqueue(Req);
    const uint64_t full = uint64_t(Req->Timeout()) + ReplyGraceMs();
    uint32_t wait = Req->Timeout() ? uint32_t(std::min<uint64_t>(full, UINT32_MAX)) : 0;
    if (Req->WaitForReply(wait) != 0) {
        // Out of the pending list at once: a late reply finds nothing.
        RemovePending(*Req);
        LogAborted(*Req);
    }
    return Req->ErrorCode();
}

TqbResultCode TqbThreadedTransport::Request(uint32_t, uint32_t ClientID, uint32_t MsgID, uint32_t Timeout,
                                            const uint8_t* Data, uint32_t DataLength,
                                            const TqbReplyCallback& Callback) {
    CheckStarted();
    TqbRequestPtr req = NewRequest(ClientID, qbrmReq, Timeout, Data, DataLength, MsgID);
    TqbResultCode err = QueueAndWait(req);
    if (Callback) {
        // An aborted request's reply buffer is not ours to read: the late reply may still land.
        bool aborted = req->Aborted();
        const std::vector<uint8_t>& reply = req->ReplyData();
        if (aborted || reply.empty())
            Callback(uint32_t(req->ReplyMsgID()), err, nullptr, 0);
        else
            Callback(uint32_t(req->ReplyMsgID()), err, reply.data(), uint32_t(reply.size()));
    }
    return err;
}

TqbResultCode TqbThreadedTransport::Post(uint32_t, uint32_t ClientID, uint32_t MsgID, const uint8_t* Data,
                                         uint32_t DataLength, uint32_t Timeout, uint8_t ReplyMode) {
    CheckStarted();
    uint8_t mode = ReplyMode == qbrmPostWait ? qbrmPostWait : qbrmPost;
    TqbRequestPtr req = NewRequest(ClientID, mode, Timeout, Data, DataLength, MsgID);
    Enqueue(req);
    if (mode == qbrmPost) return 0;
    if (req->WaitForReply(Timeout) != 0) LogAborted(*req);
    return req->ErrorCode();
}

TqbRequestPtr TqbThreadedTransport::NextRequest() {
    std::lock_guard g(queueMu_);
    while (!sendQueue_.empty()) {
        TqbRequestPtr req = std::move(sendQueue_.front());
        sendQueue_.pop_front();
        if (!req->Aborted()) {
            ++sending_;
            return req;
        }
    }
    return nullptr;
}

void TqbThreadedTransport::RequestSent() {
    std::lock_guard g(queueMu_);
    if (sending_ > 0) --sending_;
}

size_t TqbThreadedTransport::QueuedCount() {
    std::lock_guard g(queueMu_);
    return sendQueue_.size();
}

void TqbThreadedTransport::BeginSend(const TqbRequestPtr& Req) {
    if (Req->ReplyMode() != qbrmReq) return;
    std::lock_guard g(pendingMu_);
    // Entered only while its caller still waits; an abort after this takes it out again.
    if (!Req->Finished()) pending_[Req->ID()] = Req;
}

void TqbThreadedTransport::EndSend(const TqbRequestPtr& Req, TqbResultCode SendError) {
    if (SendError) {
        RemovePending(*Req);
        Req->Fail(SendError);
        return;
    }
    if (Req->ReplyMode() == qbrmPostWait) Req->MarkSent();
}

TqbRequestPtr TqbThreadedTransport::FindPending(uint32_t RequestID) {
    std::lock_guard g(pendingMu_);
    auto it = pending_.find(RequestID);
    return it == pending_.end() ? nullptr : it->second;
}

TqbRequestPtr TqbThreadedTransport::TakePending(uint32_t RequestID) {
    std::lock_guard g(pendingMu_);
    auto it = pending_.find(RequestID);
    if (it == pending_.end()) return nullptr;
    TqbRequestPtr req = std::move(it->second);
    pending_.erase(it);
    return req;
}

bool TqbThreadedTransport::RemovePending(const TqbRequest& Req) {
    std::lock_guard g(pendingMu_);
    auto it = pending_.find(Req.ID());
    if (it == pending_.end() || it->second.get() != &Req) return false;
    pending_.erase(it);
    return true;
}

size_t TqbThreadedTransport::PendingCount() {
    std::lock_guard g(pendingMu_);
    return pending_.size();
}

size_t TqbThreadedTransport::FailPendingOfClient(uint32_t ClientID, TqbResultCode ErrorCode) {
    std::vector<TqbRequestPtr> lost;
    {
        std::lock_guard g(pendingMu_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second->ClientID() == ClientID) {
                lost.push_back(std::move(it->second));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& r : lost)
        r->Fail(ErrorCode);
    return lost.size();
}

void TqbThreadedTransport::FailAll(TqbResultCode ErrorCode) {
    std::deque<TqbRequestPtr> queued;
    std::unordered_map<uint32_t, TqbRequestPtr> pending;
    {
        std::lock_guard g(queueMu_);
        queued.swap(sendQueue_);
    }
    {
        std::lock_guard g(pendingMu_);
        pending.swap(pending_);
    }
    for (auto& r : queued)
        r->Fail(ErrorCode);
    for (auto& [id, r] : pending)
        r->Fail(ErrorCode);
}

bool TqbThreadedTransport::HandleReplyPart(const TqbMsgHeader& Header, const uint8_t* Data, uint32_t Length) {
    TqbRequestPtr req = FindPending(Header.RequestID);
    if (!req) {
        LogError("Could not find Request %d, msgID %d", {Header.RequestID, Header.MsgID});
        return false;
    }
    bool taken = Header.FirstPart ? req->StartReply(Header.MsgID, Header.ErrorCode, Length,
                                                    Header.TotalLength, Data, qbMaxMsgTotalLength, false)
                                  : req->AddToReply(Data, Length, false);
    if (!taken) return false;
    if (req->ReplyComplete()) {
        // Out of the list and logged before its caller goes on.
        RemovePending(*req);
        LogReplyLine(req->ID(), req->ClientID(), req->ReplyMsgID(), req->ReplyData().data(),
                     req->ReplyLength(), req->ErrorCode());
        req->Signal();
    }
    return true;
}

void TqbThreadedTransport::ProcessReceived(TqbMessagePtr Message) {
    SetCurrent(this, Message->ClientID, Message->RequestID);
    Process(std::move(Message));
}

// A received request on its way through the pool. The pool may drop its queued work when it
// closes, or keep a finished method for a while: the count of running requests goes down once,
// when the request ran or when its ticket went unrun, whichever comes first.
struct TqbThreadedTransport::DispatchTicket {
    TqbThreadedTransport* Transport;
    TqbMessagePtr Message;
    std::atomic<bool> Done{false};
    void finish() {
        if (!Done.exchange(true)) Transport->dispatchDone();
    }
    ~DispatchTicket() { finish(); }
};

void TqbThreadedTransport::dispatchDone() {
    std::lock_guard g(dispatchMu_);
    if (--dispatched_ == 0) dispatchCv_.notify_all();
}

void TqbThreadedTransport::DispatchRequest(TqbMessagePtr Message) {
    if (!Message) return;
    TqbThreadPool* pool = ThreadPool();
    if (!pool) {
        ProcessReceived(std::move(Message));
        return;
    }
    {
        std::lock_guard g(dispatchMu_);
        ++dispatched_;
    }
    auto ticket = std::make_shared<DispatchTicket>();
    ticket->Transport = this;
    ticket->Message = std::move(Message);
    pool->ProcessRequest(0, [ticket](intptr_t) {
        TqbThreadedTransport* t = ticket->Transport;
        try {
            t->ProcessReceived(std::move(ticket->Message));
        } catch (const std::exception& e) {
            t->LogError("%s", {e.what()});
        }
        SetCurrent(nullptr, 0, 0);
        ticket->finish();
    });
}

void TqbThreadedTransport::WaitForDispatched() {
    std::unique_lock g(dispatchMu_);
    dispatchCv_.wait(g, [this] { return dispatched_ == 0; });
}

void TqbThreadedTransport::BeforeDestruction() {
    NotifyDependents(kOpGoingAway);
    WaitForDispatched();
    SetThreadPool(nullptr);
    // Callers still waiting hear that the transport went instead of waiting for ever.
    FailAll(qbErrConnectionLost);
    TqbBaseTransport::BeforeDestruction();
}
