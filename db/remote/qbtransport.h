// The transport framework between engines and protocols: requests and the wait for their
// replies, the command handler and engine manager on the server side, the base transport with
// the thread's current transport, and the threaded transport with its send queue and pending list.
#pragma once
#include "classlib/Classes.h"
#include "db/base/qbllbase.h"
#include "db/base/qbllcomp.h"
#include "db/base/qbllthrd.h"
#include "db/engine/qbsrintm.h"
#include "db/remote/qbllcomm.h"
#include "db/remote/qbmsgq.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class TqbBaseTransport;
class TqbBaseCommandHandler;
class TqbBaseEngineManager;

constexpr TqbResultCode qbErrUnhandledRequest = 153;
constexpr TqbResultCode qbErrReplyTimeout = 288;
constexpr TqbResultCode qbErrConnectionLost = 292;
constexpr TqbResultCode qbErrTransport = 293;
// Notification to a transport's dependents: a connection was lost (data = client ID).
constexpr int qbNotifyConnectionLost = 10;

enum TqbReplyMode : uint8_t { qbrmReq = 0, qbrmPost = 1, qbrmPostWait = 2 };
enum TqbTransportMode : uint8_t { qbtmSend = 0, qbtmListen = 1 };
enum TqbTransportLogOption : uint8_t { qbtpLogErrors = 0, qbtpLogRequests = 1, qbtpLogReplies = 2 };
using TqbTransportLogOptions = uint8_t; // bit (1 << option)
constexpr TqbTransportLogOptions qbLogOption(TqbTransportLogOption o) {
    return TqbTransportLogOptions(1u << o);
}

using TqbReplyCallback =
    std::function<void(uint32_t ReplyMsgID, TqbResultCode ErrorCode, const uint8_t* Data, uint32_t Length)>;
// Server login: fills the password hash, the new client ID, the error code, the secure flag and
// the server version.
using TqbAddClientEvent =
    std::function<void(TqbBaseTransport* Sender, const std::string& UserName, uint32_t Timeout,
                       uint32_t ClientVersion, uint32_t& PasswordHash, uint32_t& ClientID,
                       TqbResultCode& ErrorCode, bool& Secure, uint32_t& ServerVersion)>;
using TqbRemoveClientEvent =
    std::function<void(TqbBaseTransport* Sender, uint32_t ClientID, TqbResultCode& ErrorCode)>;
using TqbTransportConnectionLostEvent = std::function<void(TqbBaseTransport* Sender, uint32_t ClientID)>;

// Hands out request identifiers: a 32-bit counter that skips 0 and every identifier still held
// by a live request. Shared by a transport and its requests, so requests may outlive it.
class TqbRequestIDs {
public:
    uint32_t Acquire();
    void Release(uint32_t ID);
    size_t LiveCount();
    // For tests: the next value the counter tries.
    void SetNextForTesting(uint32_t Next);

private:
    std::mutex mu_;
    uint32_t next_ = 1;
    std::unordered_set<uint32_t> live_;
};

// One request travelling through a transport. Shared (std::shared_ptr) by the caller, the send
// queue, the sending thread and the pending list; it goes when the last of them lets it go. Its
// end is decided once, under its state lock: the reply completes it, a send failure or a lost
// connection fails it, or the waiting caller aborts it; whatever comes later is ignored.
class TqbRequest : public TqbObject {
public:
    TqbRequest(uint32_t ClientID, uint8_t ReplyMode, uint32_t Timeout, uint32_t DataLength,
               const uint8_t* Data, uint32_t MsgID, std::shared_ptr<TqbRequestIDs> IDs = nullptr);
    ~TqbRequest() override;
    TqbRequest(const TqbRequest&) = delete;
    TqbRequest& operator=(const TqbRequest&) = delete;

    uint32_t ID() const { return id_; }
    uint32_t ClientID() const { return clientID_; }
    uint32_t MsgID() const { return msgID_; }
    uint8_t ReplyMode() const { return replyMode_; }
    uint32_t Timeout() const { return timeout_; }
    const std::vector<uint8_t>& Data() const { return data_; }
    uint32_t DataLength() const { return uint32_t(data_.size()); }

    // Sending progress, for the sending thread (which holds the padlock).
    uint32_t BytesToSend() const { return bytesToSend_; }
    uint32_t SendOffset() const { return sendOffset_; }
    void AdvanceSend(uint32_t Bytes);

    bool Aborted() const;
    bool Finished() const; // completed, failed or aborted
    TqbResultCode ErrorCode() const;
    // -1 until set.
    int32_t ReplyMsgID() const;
    // -1 until the first reply part arrived.
    int32_t ReplyLength() const;
    // The reply data; read it only after the wait ended without an abort.
    const std::vector<uint8_t>& ReplyData() const { return reply_; }

    // Reply assembly. The first part gives the message ID, error and total (at most MaxTotal, and
    // the part no longer than it); later parts append at most the missing bytes and are ignored
    // before a first part. False when the part is refused or the request already ended. The
    // request is complete when every byte arrived; its waiter is then released, unless Release
    // is false (the caller then calls Signal itself, after what must come first).
    virtual bool StartReply(uint32_t ReplyMsgID, TqbResultCode ErrorCode, uint32_t PartLength,
                            uint32_t TotalLength, const uint8_t* Data,
                            uint32_t MaxTotal = qbMaxMsgTotalLength, bool Release = true);
    virtual bool AddToReply(const uint8_t* Data, uint32_t Length, bool Release = true);
    bool ReplyComplete() const;

    // Ends the request with an error (send failure, lost connection): the reply message ID
    // becomes the request's own. False when it had ended already.
    bool Fail(TqbResultCode ErrorCode);
    // The request went out: a Post&Wait caller stops waiting. False when it had ended already.
    bool MarkSent();
    // The waiting caller gives up: 288 (or the given code), reply message ID = own message ID.
    // False when the request ended first (then its outcome stands).
    bool Abort(TqbResultCode ErrorCode = qbErrReplyTimeout);

    virtual void Signal() { event_.Signal(); }
    // Waits for the end (0 = without limit). 0 when the request ended; otherwise it is aborted
    // with 288 and 288 is returned, unless it ended in the meantime.
    virtual TqbResultCode WaitForReply(uint32_t Timeout);

    // The padlock the sending thread holds while the request's parts go out.
    void Lock() { padlock_.Lock(); }
    void Unlock() { padlock_.Unlock(); }

private:
    enum class End : uint8_t { None, Done, Aborted };
    bool finish(End how, TqbResultCode err, bool ownMsgID);

    mutable std::mutex stateMu_;
    End end_ = End::None;
    uint32_t bytesToSend_;
    uint32_t clientID_;
    TqbResultCode errorCode_ = 0;
    TqbEvent event_;
    uint32_t msgID_;
    TqbPadlock padlock_;
    std::vector<uint8_t> reply_;
    int32_t replyLength_ = -1;
    uint8_t replyMode_;
    int32_t replyMsgID_ = -1;
    uint32_t replyReceived_ = 0;
    std::vector<uint8_t> data_;
    uint32_t sendOffset_ = 0;
    uint32_t timeout_;
    uint32_t id_ = 0;
    std::shared_ptr<TqbRequestIDs> ids_;
};
using TqbRequestPtr = std::shared_ptr<TqbRequest>;

// Takes requests a command handler offers before its engine manager; true when handled (it then
// replied through TqbBaseTransport::Reply).
class TqbCommandPlugIn : public TqbComponent {
public:
    using TqbComponent::TqbComponent;
    virtual bool Process(TqbMessageRecord& Message) = 0;
};

// Server-side dispatcher of received requests: plug-ins in order, then the engine manager, else
// a reply with 153 and no data. Its state walk takes its enabled transports along.
class TqbBaseCommandHandler : public TqbCommandHandlerLink {
public:
    explicit TqbBaseCommandHandler(cls::TComponent* AOwner = nullptr);
    ~TqbBaseCommandHandler() override;

    TqbBaseEngineManager* EngineManager() const { return engineManager_.load(); }
    virtual void SetEngineManager(TqbBaseEngineManager* Manager);

    virtual void AddTransport(TqbBaseTransport* Transport);
    virtual void RemoveTransport(TqbBaseTransport* Transport);
    virtual TqbBaseTransport* GetTransport(int32_t Index);
    virtual int32_t GetTransportCount();
    void AddPlugIn(TqbCommandPlugIn* PlugIn);
    void RemovePlugIn(TqbCommandPlugIn* PlugIn);
    int32_t PlugInCount();

    virtual void Process(TqbMessagePtr Message);
    void SetState(uint8_t NewState) override;

    int32_t TransportCount() override { return GetTransportCount(); }
    void GetTransportStatistics(int32_t Index, TqbTransportStatistics& Stats) override;

protected:
    void BeforeDestruction() override;
    void Notification(cls::TComponent* AComponent, cls::TOperation Operation) override;
    void EnterInitializing() override {}
    void EnterShuttingDown() override {}
    void EnterInactive() override {}
    void EnterStarting() override {}

private:
    friend class TqbBaseEngineManager;
    std::mutex listMu_;
    std::vector<TqbCommandPlugIn*> plugIns_;
    std::vector<TqbBaseTransport*> transports_;
    std::atomic<TqbBaseEngineManager*> engineManager_{nullptr};
};

// Owns nothing but knows its command handlers; a subclass answers the requests no plug-in took.
class TqbBaseEngineManager : public TqbComponent {
public:
    explicit TqbBaseEngineManager(cls::TComponent* AOwner = nullptr) : TqbComponent(AOwner) {}
    ~TqbBaseEngineManager() override;

    virtual void AddCommandHandler(TqbBaseCommandHandler* Handler);
    virtual TqbBaseCommandHandler* GetCommandHandler(int32_t Index);
    virtual void RemoveCommandHandler(TqbBaseCommandHandler* Handler);
    int32_t CommandHandlerCount();
    // True when handled (a reply went through TqbBaseTransport::Reply).
    virtual bool Process(TqbBaseCommandHandler* Handler, TqbMessageRecord& Message) { return false; }

protected:
    void BeforeDestruction() override;

private:
    std::mutex mu_;
    std::vector<TqbBaseCommandHandler*> handlers_;
};

// The abstract transport. Client side: Request, Post, EstablishConnection, TerminateConnection,
// GetServerNames. Server side: Process hands complete requests to the command handler, which
// answers through the class-level Reply on the same thread.
class TqbBaseTransport : public TqbStateComponent {
public:
    explicit TqbBaseTransport(cls::TComponent* AOwner = nullptr);
    ~TqbBaseTransport() override;

    // Properties.
    virtual TqbBaseCommandHandler* GetCommandHandler() const { return commandHandler_.load(); }
    virtual void SetCommandHandler(TqbBaseCommandHandler* Handler);
    virtual bool GetEnabled() const { return enabled_.load(); }
    // Disabling a transport that is not inactive notifies dependents (4) and shuts it down.
    virtual void SetEnabled(bool Value);
    virtual TqbTransportLogOptions GetEventLogOptions() const { return logOptions_.load(); }
    virtual void SetEventLogOptions(TqbTransportLogOptions Value) { logOptions_.store(Value); }
    virtual TqbTransportMode GetMode() const { return mode_.load(); }
    virtual void SetMode(TqbTransportMode Value); // inactive only (1285)
    virtual void SetOnStateChange(std::function<void(TqbComponent*)> Handler) {
        OnStateChange = std::move(Handler);
    }
    virtual bool GetRespondToBroadcasts() const { return respondToBroadcasts_.load(); }
    virtual void SetRespondToBroadcasts(bool Value) { respondToBroadcasts_.store(Value); }
    virtual std::string GetServerName() const;
    virtual void SetServerName(const std::string& Value); // inactive only (1285); at most 63 characters
    bool ServerNameRequired() const { return serverNameRequired_.load(); }
    void SetServerNameRequired(bool Value) { serverNameRequired_.store(Value); }
    int32_t MsgCount() const { return msgCount_.load(); }
    virtual void ResetMsgCount() { msgCount_.store(0); }

    TqbAddClientEvent OnAddClient;
    // Defaults to ConnectionLost, which passes notification 10 with the client ID to dependents.
    TqbTransportConnectionLostEvent OnConnectionLost;
    TqbRemoveClientEvent OnRemoveClient;

    // Connections.
    virtual uint32_t GetConnectionClientID(int32_t Index) { return 0; }
    virtual int32_t GetConnectionCount() { return 0; }
    virtual bool HasConnections() { return false; }
    virtual std::string GetProtocolName() { return std::string(); }
    virtual int32_t GetProtocolQuery() { return 0; }
    virtual bool IsProtocolAvailable() { return false; }

    // Client operations. Request blocks until the reply came (the callback then runs on the
    // caller's thread with the reply data still owned by the request), the wait of Timeout + 500
    // ms ran out (288), or sending failed / the connection went (its code, 292); it returns the
    // error code. Post: ReplyMode 1 returns at once, 2 waits until the request was sent.
    virtual TqbResultCode Request(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, uint32_t Timeout,
                                  const uint8_t* Data, uint32_t DataLength, const TqbReplyCallback& Callback);
    virtual TqbResultCode Post(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, const uint8_t* Data,
                               uint32_t DataLength, uint32_t Timeout, uint8_t ReplyMode);
    // Send mode (1288) and, when required, a server name (1289) are checked here.
    virtual TqbResultCode EstablishConnection(const std::string& UserName, uint32_t PasswordHash,
                                              uint32_t Timeout, uint32_t& ClientID);
    virtual void TerminateConnection(uint32_t ClientID, uint32_t Timeout) {}
    virtual void GetServerNames(cls::TStringList& List, uint32_t Timeout) { List.Clear(); }

    // Server side. Makes this the thread's current transport; with a command handler counts the
    // message and hands it over.
    virtual void Process(TqbMessagePtr Message);
    // Sends a reply to a client's request; checks that the transport is started (1286).
    virtual void SendReply(uint32_t ClientID, uint32_t RequestID, uint32_t MsgID, TqbResultCode ErrorCode,
                           const uint8_t* Data, uint32_t DataLength);
    // Class level: replies through the calling thread's current transport, client and request
    // (nothing happens on a thread that has no current transport).
    static void Reply(uint32_t MsgID, TqbResultCode ErrorCode, const uint8_t* Data, uint32_t DataLength);

    // The calling thread's current transport, client and request.
    virtual void SetCurrentTransport() { SetCurrent(this, CurrentClientID(), CurrentRequestID()); }
    static void SetCurrent(TqbBaseTransport* Transport, uint32_t ClientID, uint32_t RequestID);
    static TqbBaseTransport* CurrentTransport();
    static uint32_t CurrentClientID();
    static uint32_t CurrentRequestID();

    // The default connection-lost routine: notification 10 with the client ID to dependents.
    void ConnectionLost(uint32_t ClientID);

    // Logging, each only when its option is on and the event log is set and enabled.
    bool LogsOption(TqbTransportLogOption Option) const;
    void LogError(std::string_view Fmt, const QbFormatArgs& Args);
    // "%s: %d, Clnt %d, Msg %d, Len %d, Tmout %d" and the data.
    void LogRequestLine(const TqbRequest& Req);
    void LogRequestLine(const char* ModeText, uint32_t RequestID, uint32_t ClientID, uint32_t MsgID,
                        const uint8_t* Data, uint32_t Length, uint32_t Timeout);
    // "Reply: %d, Clnt %d, Msg %d, Len %d, Err %d" and the data.
    void LogReplyLine(uint32_t RequestID, uint32_t ClientID, int32_t MsgID, const uint8_t* Data,
                      int32_t Length, TqbResultCode ErrorCode);
    // "*** Req %d aborted, Clnt %d, Err %d, Tmout %d".
    void LogAborted(const TqbRequest& Req);
    static const char* ReplyModeText(uint8_t ReplyMode);

protected:
    void BeforeDestruction() override;
    // Empty hooks around loading.
    virtual void BeforeLoad() {}
    virtual void AfterLoad() {}
    void Loaded() override;
    // Handler set while loading, applied afterwards.
    TqbBaseCommandHandler* loadedCommandHandler_ = nullptr;

private:
    friend class TqbBaseCommandHandler;
    void logData(const uint8_t* Data, size_t Length);
    std::atomic<TqbBaseCommandHandler*> commandHandler_{nullptr};
    std::atomic<bool> enabled_{false};
    std::atomic<TqbTransportLogOptions> logOptions_{0};
    std::atomic<TqbTransportMode> mode_{qbtmSend};
    std::atomic<int32_t> msgCount_{0};
    std::atomic<bool> respondToBroadcasts_{false};
    mutable std::mutex nameMu_;
    std::string serverName_;
    std::atomic<bool> serverNameRequired_{true};
};

// A transport with a send queue, a pending list of requests that wait for their replies, and an
// optional thread pool for the requests it receives. A subclass supplies the sending thread: it
// takes requests with NextRequest and sends them between BeginSend and EndSend, and gives reply
// parts to HandleReplyPart.
class TqbThreadedTransport : public TqbBaseTransport {
public:
    explicit TqbThreadedTransport(cls::TComponent* AOwner = nullptr);
    ~TqbThreadedTransport() override;

    TqbThreadPool* ThreadPool() const { return threadPool_.load(); }
    void SetThreadPool(TqbThreadPool* Pool);

    TqbResultCode Request(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, uint32_t Timeout,
                          const uint8_t* Data, uint32_t DataLength,
                          const TqbReplyCallback& Callback) override;
    TqbResultCode Post(uint32_t TransportID, uint32_t ClientID, uint32_t MsgID, const uint8_t* Data,
                       uint32_t DataLength, uint32_t Timeout, uint8_t ReplyMode) override;

    // A new request with an identifier of this transport.
    TqbRequestPtr NewRequest(uint32_t ClientID, uint8_t ReplyMode, uint32_t Timeout, const uint8_t* Data,
                             uint32_t DataLength, uint32_t MsgID);
    // Queues the request and waits for it with Timeout + 500 ms (0 = without limit). A request that
    // did not end in time is aborted (288), logged and taken out of the pending list, so that a
    // late reply finds nothing. Returns the request's error code.
    virtual TqbResultCode QueueAndWait(const TqbRequestPtr& Req);
    // Appends to the send queue, then RequestQueued; or, when nothing queued or being sent could go
    // before it and the subclass can, sends it on the calling thread at once.
    void Enqueue(const TqbRequestPtr& Req);
    // Wakes the sending thread (nothing here).
    virtual void RequestQueued() {}
    // The time a Request waits beyond its time-out (500 ms).
    uint32_t ReplyGraceMs() const { return replyGraceMs_.load(); }
    void SetReplyGraceMs(uint32_t Ms) { replyGraceMs_.store(Ms); }

    // Sending side. The next queued request that is not aborted (null when none); a request whose
    // caller gave up before it went out is dropped unsent. RequestSent follows once it was sent.
    TqbRequestPtr NextRequest();
    void RequestSent();
    size_t QueuedCount();
    // Before the first part goes out: a request that waits for a reply enters the pending list.
    void BeginSend(const TqbRequestPtr& Req);
    // After the last part (SendError 0) or at the first failure: a failed request leaves the
    // pending list and its waiter gets the error at once; a Post&Wait caller is released.
    void EndSend(const TqbRequestPtr& Req, TqbResultCode SendError);

    // Pending list.
    TqbRequestPtr FindPending(uint32_t RequestID);
    TqbRequestPtr TakePending(uint32_t RequestID);
    bool RemovePending(const TqbRequest& Req);
    size_t PendingCount();
    // Every pending request of the client ends with the code (292 on a lost connection).
    size_t FailPendingOfClient(uint32_t ClientID, TqbResultCode ErrorCode);
    // Every queued and pending request ends with the code.
    void FailAll(TqbResultCode ErrorCode);

    // One reply part (header decoded, Data the part's data bytes). An unknown request ID is
    // logged ("Could not find Request %d, msgID %d") and dropped; a part the request refuses is
    // dropped; the last part takes the request out of the pending list and releases its waiter.
    // False when the part was dropped.
    bool HandleReplyPart(const TqbMsgHeader& Header, const uint8_t* Data, uint32_t Length);

    // A complete received request: run on a pool thread when a thread pool is set, else here.
    void DispatchRequest(TqbMessagePtr Message);
    // Runs one received request: sets the thread's current transport, client and request, then
    // Process. A subclass may look up the connection first.
    virtual void ProcessReceived(TqbMessagePtr Message);
    // Waits until no dispatched request is running on the pool.
    void WaitForDispatched();

    std::shared_ptr<TqbRequestIDs> RequestIDs() const { return ids_; }

protected:
    void BeforeDestruction() override;
    void Notification(cls::TComponent* AComponent, cls::TOperation Operation) override;
    // Whether the calling thread can send the request itself (nothing here), and the sending:
    // a request that only waits for the sending thread to take it is not handed over.
    virtual bool CanSendOnCaller(const TqbRequest& Req) { return false; }
    virtual void SendOnCaller(const TqbRequestPtr& Req) {}

private:
    struct DispatchTicket;
    void dispatchDone();
    std::shared_ptr<TqbRequestIDs> ids_ = std::make_shared<TqbRequestIDs>();
    std::atomic<TqbThreadPool*> threadPool_{nullptr};
    std::atomic<uint32_t> replyGraceMs_{500};
    std::mutex queueMu_;
    std::deque<TqbRequestPtr> sendQueue_;
    int sending_ = 0; // requests taken from the queue or sent by their callers, not yet sent
    std::mutex pendingMu_;
    std::unordered_map<uint32_t, TqbRequestPtr> pending_;
    std::mutex dispatchMu_;
    std::condition_variable dispatchCv_;
    int dispatched_ = 0;
};
