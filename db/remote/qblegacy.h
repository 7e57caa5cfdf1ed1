// The legacy transport: a threaded transport bound to one protocol and run by its own thread, as a
// client (connect, log in, send requests in parts, join replies) or as a server (log clients in,
// join request parts, hand requests to the command handler, send replies in parts).
#pragma once
#include "db/base/qbllthrd.h"
#include "db/remote/qbllprot.h"
#include "db/remote/qbtransport.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum TqbProtocolType : uint8_t { ptSingleUser, ptTCPIP, ptIPXSPX, ptRegistry };

class TqbLegacyTransport;

class TqbLegacyTransportThread : public TqbThread {
public:
    // Created suspended; the transport resumes it.
    explicit TqbLegacyTransportThread(TqbLegacyTransport* transport);
    ~TqbLegacyTransportThread() override;
    // The loop ended without being told to.
    bool PrematureStop() const { return prematureStop_.load(); }

protected:
    void Execute() override;
    const char* ClassName() const override { return "TqbLegacyTransportThread"; }

private:
    TqbLegacyTransport* transport_;
    std::atomic<bool> prematureStop_{false};
};

class TqbLegacyTransport : public TqbThreadedTransport {
public:
    // Window message of the hidden window: a connection of a client transport was lost.
    static constexpr plat::UINT kWmConnectionLost = 5105;
    static constexpr uint32_t kStartWaitMs = 2000, kStopWaitMs = 5000;

    explicit TqbLegacyTransport(cls::TComponent* AOwner = nullptr);
    ~TqbLegacyTransport() override;

    TqbProtocolType Protocol() const { return protocolType_; }
    void SetProtocol(TqbProtocolType value);
    // The protocol type ptRegistry stands for; the client layer installs one that reads the client
    // configuration (this layer cannot reach it). Without one, ptRegistry means ptSingleUser.
    static void SetRegistryProtocolResolver(std::function<TqbProtocolType()> resolver);
    static TqbProtocolType ResolveProtocol(TqbProtocolType type);
    // Whether the protocol of that type can run on this machine.
    static bool ProtocolSupported(TqbProtocolType type);

    void SetServerName(const std::string& value) override;
    // The halves of ServerName split at its first "@".
    std::string ServerNamePart() const;
    std::string AddressPart() const;
    void SetRespondToBroadcasts(bool value) override;
    void SetEventLog(TqbBaseLog* log) override;
    void SetEventLogEnabled(bool value) override;

    TqbResultCode EstablishConnection(const std::string& UserName, uint32_t PasswordHash, uint32_t Timeout,
                                      uint32_t& ClientID) override;
    void TerminateConnection(uint32_t ClientID, uint32_t Timeout) override;
    void GetServerNames(cls::TStringList& List, uint32_t Timeout) override;
    std::string GetProtocolName() override;
    int32_t GetConnectionCount() override;
    uint32_t GetConnectionClientID(int32_t Index) override;
    bool HasConnections() override;
    bool IsProtocolAvailable() override;
    void SendReply(uint32_t ClientID, uint32_t RequestID, uint32_t MsgID, TqbResultCode ErrorCode,
                   const uint8_t* Data, uint32_t DataLength) override;
    // Looks the connection up (nothing happens when it is gone), then login, removal, the key
    // check, or the command handler.
    void ProcessReceived(TqbMessagePtr Message) override;

    // Called once the protocol object is made, before its thread starts it: ports, addresses,
    // intervals of the protocol are set here.
    std::function<void(TqbBaseCommsProtocol& protocol)> OnCreateProtocol;
    // The protocol object while the transport is not inactive (else none).
    TqbBaseCommsProtocol* CommsProtocol() const { return protocol_.get(); }
    // Largest message (data bytes) taken from a peer; a larger one ends the connection.
    uint32_t MaxMessageLength = qbMaxMsgTotalLength;
    // How long a message waits for its next part before it is dropped.
    uint64_t PartialExpiryMs = TqbMessageAssembler::kExpiryMs;
    // Messages of all connections still waiting for parts.
    size_t PartialMessageCount();
    // Times the transport thread was made again after it stopped on its own.
    uint32_t ThreadRestarts() const { return restarts_.load(); }

protected:
    void BeforeDestruction() override;
    void EnterInitializing() override;
    void EnterStarting() override;
    void EnterShuttingDown() override;
    void EnterInactive() override;

    // One request off the send queue, in parts (the transport thread). Virtual for tests.
    virtual void SendRequest(const TqbRequestPtr& request);
    // A queued request is sent at once, not at the thread's next look at its queue.
    void RequestQueued() override { wakeThread(); }
    // A client's request goes out on its caller's thread while the protocol runs (the connect is
    // the transport thread's: its protocol waits for the connection there).
    bool CanSendOnCaller(const TqbRequest& Req) override;
    void SendOnCaller(const TqbRequestPtr& Req) override { SendRequest(Req); }

private:
    friend class TqbLegacyTransportThread;
    struct Peer {
        std::unique_ptr<TqbMessageAssembler> Assembler;
        bool Removed = false;
        bool LoggedIn = false;
        std::shared_ptr<std::recursive_mutex> Busy = std::make_shared<std::recursive_mutex>();
    };

    void threadStartup();
    void threadPass();
    void threadShutdown();
    void threadEnded(TqbLegacyTransportThread* thread);
    void stopThread();
    void runQueued();
    // Runs fn on the transport thread and waits for it (up to waitMs); false when it did not run.
    bool runOnThread(std::function<void()> fn, uint32_t waitMs);
    void wakeThread();

    void log(std::string_view fmt, const QbFormatArgs& args = {});
    std::string displayName();
    void sendReply(uint32_t headerID, uint32_t sendTo, uint32_t requestID, uint32_t msgID, TqbResultCode err,
                   const uint8_t* data, uint32_t length);

    bool receive(uint32_t connID, uint32_t length, const uint8_t* data);
    void receiveRequest(uint32_t connID, const TqbMsgHeader& h, uint32_t length, const uint8_t* data);
    void receiveReply(uint32_t connID, const TqbMsgHeader& h, uint32_t length, const uint8_t* data);
    TqbMessageAssembler* assemblerFor(uint32_t connID);
    void badPeer(uint32_t connID, const TqbMsgHeader& h);
    void login(const TqbMessageRecord& msg);
    void removeClient(uint32_t clientID, bool closed);
    void refuseClient(uint32_t clientID);
    void peerAdded(uint32_t connID);
    void connectionLost(uint32_t clientID);
    void failPending(uint32_t clientID);
    void connectRequest(const TqbRequestPtr& request);
    TqbResultCode sendParts(TqbMsgHeader h, const uint8_t* data, uint32_t length, uint32_t sendTo,
                            const std::function<void()>& afterFirst);
    void forgetPeer(uint32_t connID);
    TqbBaseCommsProtocol* createProtocol(TqbProtocolType type, const std::string& name, bool listen);
    void makeProtocol();
    plat::LRESULT windowProc(plat::UINT msg, plat::WPARAM w, plat::LPARAM l);

    TqbProtocolType protocolType_ = ptRegistry;
    plat::HWND window_ = 0;
    std::unique_ptr<TqbBaseCommsProtocol> protocol_;
    std::string namePart_, addressPart_;
    std::unique_ptr<TqbLegacyTransportThread> thread_;
    std::vector<std::unique_ptr<TqbLegacyTransportThread>> retired_; // ended on their own
    std::mutex threadMutex_;
    std::atomic<uint32_t> restarts_{0};
    std::mutex readyMutex_;
    std::condition_variable readyCv_;
    bool ready_ = false; // the thread has started the protocol, or failed to
    std::atomic<plat::HWND> protocolWindow_{0};
    std::atomic<bool> socketProtocol_{false};

    std::mutex peersMutex_;
    std::map<uint32_t, Peer> peers_;
    uint64_t lastExpiry_ = 0;

    std::mutex queuedMutex_;
    std::deque<std::function<void()>> queued_;
};
