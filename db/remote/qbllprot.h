// Protocols that carry the remote engine's messages: the common base with connections, keep-alive
// and the notification window; TCP/IP and IPX/SPX over sockets; single user between two processes.
#pragma once
#include "db/base/qbllbase.h"
#include "db/base/qblllog.h"
#include "db/remote/qbllcomm.h"
#include "db/remote/qbllwsck.h"
#include "platform/ProcessMessages.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TqbBaseCommsProtocol;

// One connection of a protocol, with its scrambling key and keep-alive state.
class TqbConnection {
public:
    explicit TqbConnection(TqbBaseCommsProtocol* protocol);
    virtual ~TqbConnection() = default;
    TqbConnection(const TqbConnection&) = delete;
    TqbConnection& operator=(const TqbConnection&) = delete;

    // Unique among this process's connections, never 0.
    uint32_t Identity() const { return identity_; }

    std::string Name;
    TqbScrambleKey Key;
    uint32_t ClientID = 0;
    bool HungUp = false;        // this side hung up
    bool CloseNotified = false; // the closed notification ran
    TqbPadlock Padlock;         // held while a message is sent or processed
    TqbBaseCommsProtocol* Protocol;
    uint32_t Unanswered = 0; // keep-alives sent without an answer
    // When the last-message interval runs out, on the clock of the window timers (plat::NowMs).
    uint64_t LastMsgDue = 0;
    bool AnswerDue = false;
    uint64_t KeepAlivesReceived = 0;
    uint64_t KeepAlivesSent = 0;
    std::atomic<bool> Gone{false}; // out of the protocol's lists

private:
    uint32_t identity_;
};

using TqbClientEvent = std::function<void(TqbBaseCommsProtocol* Listener, uint32_t ClientID)>;
using TqbReceiveDatagramEvent = std::function<void(TqbBaseCommsProtocol* Listener, const std::string& Address,
                                                   const uint8_t* Data, uint32_t Length)>;
// Data is one whole part, unscrambled; returns whether it was taken.
using TqbReceiveMsgEvent = std::function<bool(TqbBaseCommsProtocol* Listener, uint32_t ClientID,
                                              uint32_t Length, const uint8_t* Data)>;

class TqbBaseCommsProtocol {
public:
    // name: the server-name half of the transport's name; listen: a server.
    TqbBaseCommsProtocol(const std::string& name, bool listen, uint32_t maxMsgSize);
    virtual ~TqbBaseCommsProtocol();
    TqbBaseCommsProtocol(const TqbBaseCommsProtocol&) = delete;
    TqbBaseCommsProtocol& operator=(const TqbBaseCommsProtocol&) = delete;

    virtual void ReleaseWindow();
    // The notification window on the calling thread, with the keep-alive timer.
    virtual void CreateWindow();
    // 0 and the new client ID, or 11278.
    virtual int32_t ConnectToServer(const std::string& address, uint32_t& clientID, uint32_t timeoutMs) = 0;
    virtual void GetServerNames(std::vector<std::string>& list, uint32_t timeoutMs) = 0;
    virtual std::string GetProtocolName() const = 0;
    void HangUp(const std::shared_ptr<TqbConnection>& c);
    void HangUpByClientID(uint32_t clientID);
    virtual void Listen() = 0;
    // One part (header included); 0, or 292 when the connection is gone or the send failed.
    virtual int32_t SendMsg(uint32_t clientID, const uint8_t* data, uint32_t length, bool lock) = 0;
    // The parts of one message, one after the other (each with its header); as SendMsg for each.
    // Here they go one by one; a stream protocol hands them to the socket together.
    virtual int32_t SendParts(uint32_t clientID, std::vector<uint8_t> parts, bool lock);
    virtual void ReceiveDatagramsOn() = 0;
    virtual void SendDatagram(const std::string& address, const uint8_t* data, uint32_t length) = 0;
    void Shutdown();
    void Startup();
    virtual void ReceiveDatagramsOff() = 0;
    virtual bool Supported() const { return true; }
    // Dispatches waiting messages of this thread, or waits up to 1 ms for some.
    virtual void Idle();

    size_t ConnectionCount();
    uint32_t ConnectionClientID(size_t index); // 0 when out of range
    bool UpdateClientID(uint32_t oldID, uint32_t newID);
    bool SetKey(uint32_t clientID, uint32_t seed);
    // The connection's key seed (0 when there is no such connection).
    uint32_t KeySeed(uint32_t clientID);
    // Whether the client's connection still stands: it has not hung up and was not lost.
    bool HasClient(uint32_t clientID) { return FindByClientID(clientID) != nullptr; }
    uint64_t KeepAlivesReceived(uint32_t clientID);
    uint64_t KeepAlivesSent(uint32_t clientID);
    // Takes a new interval and restarts the timer.
    void SetKeepAliveInterval(uint32_t ms);
    // An assembler for one connection's parts, within the protocol's shared reassembly budget and
    // logging to its event log.
    std::unique_ptr<TqbMessageAssembler> NewAssembler();

    bool Listening() const { return listen_; }
    const std::string& ServerName() const { return serverName_; }
    uint32_t MaxMsgSize() const { return maxMsgSize_; }
    const std::string& LocalName() const { return localName_; }
    bool Started() const { return started_; }
    TqbEvent& StartedEvent() { return startedEvent_; }
    plat::HWND Window() const { return window_; }

    uint32_t KeepAliveInterval = 5000;
    uint32_t KeepAliveRetries = 5;
    uint32_t LastMsgInterval = 30000;
    TqbBaseLog* EventLog = nullptr;
    bool EventLogEnabled = false;
    // Messages waiting for parts, over all connections together.
    TqbReassemblyBudget Reassembly;

    TqbClientEvent OnAddClient;
    TqbClientEvent OnConnectionLost;
    TqbClientEvent OnHangUp;
    TqbReceiveDatagramEvent OnReceiveDatagram;
    TqbReceiveMsgEvent OnReceiveMsg;

protected:
    static constexpr plat::UINT kWmConnectionClosed = plat::WM_USER + 2;
    static constexpr uintptr_t kKeepAliveTimer = 1;

    // Messages of the window other than the timer and the closed notification.
    virtual bool HandleMessage(plat::UINT msg, plat::WPARAM w, plat::LPARAM l, plat::LRESULT& result) {
        return false;
    }
    // Ends the connection's transport (socket, partner) once it is out of the lists.
    virtual void CloseTransport(TqbConnection& c) = 0;
    // Bytes as they are (the keep-alive).
    virtual bool SendRaw(TqbConnection& c, const uint8_t* data, uint32_t length) = 0;
    // Called by the keep-alive timer after its pass, for readers with waiting bytes.
    virtual void AfterKeepAlive() {}

    void AddConnection(const std::shared_ptr<TqbConnection>& c);
    std::shared_ptr<TqbConnection> FindByClientID(uint32_t clientID);
    // Unscrambles the part and hands it to OnReceiveMsg; a part not taken is scrambled again.
    bool MessageReceived(TqbConnection& c, uint8_t* part, uint32_t length);
    void KeepAliveReceived(TqbConnection& c);
    void KeepAliveTick();
    // Hangs up for the other side (OnConnectionLost).
    void ConnectionLost(const std::shared_ptr<TqbConnection>& c);
    void Log(std::string_view fmt, const QbFormatArgs& args = {});
    void SetLocalName(const std::string& s) { localName_ = s; }
    bool OnWindowThread() const;
    // Closes every connection without notifications (destructors of the protocols).
    void CloseAll();

    TqbPadlock padlock_; // the connection lists and the keep-alive state
    plat::HWND window_ = 0;

private:
    plat::LRESULT windowProc(plat::UINT msg, plat::WPARAM w, plat::LPARAM l);
    void connectionClosed(uint32_t identity);

    bool listen_;
    std::string serverName_;
    uint32_t maxMsgSize_;
    std::string localName_ = "Local";
    bool started_ = false;
    TqbEvent startedEvent_;
    std::thread::id windowThread_;
    std::vector<std::shared_ptr<TqbConnection>> connections_;
    std::map<uint32_t, std::shared_ptr<TqbConnection>> byClientID_;
    std::vector<std::shared_ptr<TqbConnection>> listening_;
    std::map<uint32_t, std::shared_ptr<TqbConnection>> closing_; // hung up, notification not yet run
};

// A socket connection: its receive reader and its bounded send queue.
class TqbWinsockConnection : public TqbConnection {
public:
    TqbWinsockConnection(TqbBaseCommsProtocol* protocol, plat::SOCKET s, bool ipx, uint32_t maxMsgSize);

    plat::SOCKET Socket;
    bool IPX;
    uint32_t PeerAddress = 0;
    TqbPartReader Reader;
    struct Block {
        std::vector<uint8_t> Data;
        size_t Sent = 0;
    };
    std::deque<Block> SendQueue;
    size_t QueuedBytes = 0;
    bool WouldBlock = false;
    bool Reading = false; // a pass over the reader is under way (handlers may pump messages)
};

class TqbWinsockProtocol : public TqbBaseCommsProtocol {
public:
    // Raises EqbWinsockException 385 when the socket library cannot be loaded.
    TqbWinsockProtocol(const std::string& name, bool listen, bool ipx);
    ~TqbWinsockProtocol() override;

    void CreateWindow() override;
    void ReleaseWindow() override;
    int32_t ConnectToServer(const std::string& address, uint32_t& clientID, uint32_t timeoutMs) override;
    void GetServerNames(std::vector<std::string>& list, uint32_t timeoutMs) override;
    void Listen() override;
    int32_t SendMsg(uint32_t clientID, const uint8_t* data, uint32_t length, bool lock) override;
    // One block for the socket, so that no short last part waits for the acknowledgement of the
    // parts before it.
    int32_t SendParts(uint32_t clientID, std::vector<uint8_t> parts, bool lock) override;
    void ReceiveDatagramsOn() override;
    void ReceiveDatagramsOff() override;
    void SendDatagram(const std::string& address, const uint8_t* data, uint32_t length) override;

    // Ports in host order, taken when the sockets are made (0: any free port); the defaults are the
    // protocol's. Broadcasts go to BroadcastAddress (network order; all ones by default).
    uint16_t StreamPort = 0;
    uint16_t DatagramPortServer = 0;
    uint16_t DatagramPortClient = 0;
    uint32_t BroadcastAddress = plat::WS_INADDR_NONE;
    uint32_t ListenAddress = plat::WS_INADDR_ANY;
    // Discovery answers per second at most; a burst of queries gets no more.
    uint32_t DiscoveryAnswersPerSecond = 10;
    // Bytes a connection may have waiting to be sent; more hangs it up. A message finding the queue
    // empty is taken whole, whatever its size.
    size_t MaxSendQueueBytes = size_t(4) << 20;

    uint16_t BoundStreamPort() const { return boundStreamPort_; }
    uint16_t BoundDatagramPort() const { return boundDatagramPort_; }

protected:
    bool HandleMessage(plat::UINT msg, plat::WPARAM w, plat::LPARAM l, plat::LRESULT& result) override;
    void CloseTransport(TqbConnection& c) override;
    bool SendRaw(TqbConnection& c, const uint8_t* data, uint32_t length) override;
    void AfterKeepAlive() override;

private:
    bool addressOf(const std::string& text, uint16_t port, plat::SOCKADDR_IN& out);
    plat::SOCKET newStreamSocket();
    void issueConnect(plat::SOCKET s, const plat::SOCKADDR_IN& to);
    std::shared_ptr<TqbWinsockConnection> bySocket(plat::SOCKET s);
    std::shared_ptr<TqbWinsockConnection> newConnection(plat::SOCKET s);
    void onAccept();
    void onStreamRead(const std::shared_ptr<TqbWinsockConnection>& c);
    void drainReader(const std::shared_ptr<TqbWinsockConnection>& c);
    void onDatagram();
    // Sends queued blocks until the socket blocks or the queue is empty; false after a socket error.
    bool flush(TqbWinsockConnection& c);
    // Queues the block (parts, each scrambled when asked) and sends what the socket takes.
    bool enqueue(const std::shared_ptr<TqbWinsockConnection>& c, std::vector<uint8_t> block, bool scramble,
                 bool* blocked = nullptr);
    int32_t sendBlock(uint32_t clientID, std::vector<uint8_t> block);
    bool discoveryAnswerAllowed();

    bool ipx_;
    plat::SOCKET listenSocket_ = plat::INVALID_SOCKET;
    plat::SOCKET datagramSocket_ = plat::INVALID_SOCKET;
    bool listening_ = false;
    uint16_t boundStreamPort_ = 0, boundDatagramPort_ = 0;
    std::map<plat::SOCKET, std::shared_ptr<TqbWinsockConnection>> bySocket_;

    // Connect under way.
    plat::SOCKET connectSocket_ = plat::INVALID_SOCKET;
    bool connecting_ = false;
    int connectError_ = 0;

    // Discovery.
    TqbPadlock discoveryLock_;
    bool collecting_ = false;
    std::set<std::string> found_;
    double tokens_ = 0;
    uint64_t lastRefillMs_ = 0;
    bool refilled_ = false;
};

class TqbTCPIPProtocol : public TqbWinsockProtocol {
public:
    TqbTCPIPProtocol(const std::string& name, bool listen);
    std::string GetProtocolName() const override { return "TCP/IP (QB)"; }
    bool Supported() const override { return ClassSupported(); }
    static bool ClassSupported();
};

// Linux has no IPX: the protocol reports itself not supported; its sockets cannot be made.
class TqbIPXSPXProtocol : public TqbWinsockProtocol {
public:
    TqbIPXSPXProtocol(const std::string& name, bool listen);
    std::string GetProtocolName() const override { return "IPX/SPX (QB)"; }
    bool Supported() const override { return ClassSupported(); }
    static bool ClassSupported();
};

// Single user: a connection to the partner window in the other process.
class TqbSingleUserConnection : public TqbConnection {
public:
    using TqbConnection::TqbConnection;
    plat::PWND Partner = 0;
    plat::HWND Window = 0;
    std::vector<uint8_t> SendBuffer = std::vector<uint8_t>(qbMaxMsgSizeSingleUser);
    bool PartnerClosed = false; // the partner sent the close record
};

class TqbSingleUserProtocol : public TqbBaseCommsProtocol {
public:
    static constexpr plat::UINT kFoundMsg = 5113;
    static constexpr plat::LPARAM kAcknowledge = 17969;
    static constexpr uintptr_t kDataRecord = 17970, kCloseRecord = 17971;

    TqbSingleUserProtocol(const std::string& name, bool listen);
    ~TqbSingleUserProtocol() override;

    std::string GetProtocolName() const override { return "Single User (QB)"; }
    void CreateWindow() override;
    void ReleaseWindow() override;
    int32_t ConnectToServer(const std::string& address, uint32_t& clientID, uint32_t timeoutMs) override;
    void GetServerNames(std::vector<std::string>& list, uint32_t timeoutMs) override;
    void Listen() override {}
    int32_t SendMsg(uint32_t clientID, const uint8_t* data, uint32_t length, bool lock) override;
    void ReceiveDatagramsOn() override { datagrams_ = true; }
    void ReceiveDatagramsOff() override { datagrams_ = false; }
    void SendDatagram(const std::string&, const uint8_t*, uint32_t) override {}

    plat::PWND Self() const { return self_; }
    plat::UINT ConnectMessage() const { return connectMsg_; }
    plat::UINT FindMessage() const { return findMsg_; }

protected:
    bool HandleMessage(plat::UINT msg, plat::WPARAM w, plat::LPARAM l, plat::LRESULT& result) override;
    void CloseTransport(TqbConnection& c) override;
    bool SendRaw(TqbConnection& c, const uint8_t* data, uint32_t length) override;

private:
    plat::LRESULT onCopyData(uint32_t clientID, const plat::COPYDATASTRUCT* cds);
    bool sendCopy(plat::PWND to, uint32_t clientID, uintptr_t tag, const uint8_t* data, uint32_t length);

    plat::UINT connectMsg_;
    plat::UINT findMsg_;
    plat::PWND self_ = 0;
    plat::PWND partner_ = 0;
    bool datagrams_ = false;
};
