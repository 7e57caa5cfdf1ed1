// Unit nwdIPPort: TnwdIPPort, the non-visual TCP client component over the socket core, whose
// properties are the core's numbered properties and whose events are the core's callback events.
#pragma once
#include "tcpport/nwdCore.h"

class EnwdIPPort : public ECorbexBase {
public:
    using ECorbexBase::ECorbexBase;
    [[noreturn]] void Raise() const override { throw *this; }
};

using TConnectedEvent =
    std::function<void(cls::TComponent* Sender, int StatusCode, const std::string& Description)>;
using TDataInEvent = std::function<void(cls::TComponent* Sender, const std::string& Text, bool EOL)>;
using TDisconnectedEvent =
    std::function<void(cls::TComponent* Sender, int StatusCode, const std::string& Description)>;
using TErrorEvent =
    std::function<void(cls::TComponent* Sender, int ErrorCode, const std::string& Description)>;
using TReadyToSendEvent = std::function<void(cls::TComponent* Sender)>;

class TnwdIPPort : public TnwdCore {
public:
    // Makes the core; a test can pass one that fails.
    using CoreFactory = std::function<std::unique_ptr<NwdConnection>(TnwdCoreCallback, void*)>;

    // Raises EnwdIPPort -1 "Netwarden! IPPort: Error creating component" when the core cannot be made.
    explicit TnwdIPPort(cls::TComponent* AOwner = nullptr);
    TnwdIPPort(cls::TComponent* AOwner, const CoreFactory& factory);
    // An open socket is closed without events.
    ~TnwdIPPort() override;

    std::unique_ptr<ECorbexBase> CreateException(int32_t Code, const std::string& Text) override;

    // Every refused assignment raises EnwdIPPort with the core's code and "<code>: <text>".
    std::string GetEOL() const;
    void SetEOL(const std::string& Value);
    int32_t GetInBufferSize() const;
    void SetInBufferSize(int32_t Value);
    bool GetKeepAlive() const;
    void SetKeepAlive(bool Value);
    bool GetLinger() const;
    void SetLinger(bool Value);
    std::string GetLocalHost() const;
    void SetLocalHost(const std::string&) {} // read-only: writes are ignored
    uint16_t GetLocalPort() const;
    void SetLocalPort(uint16_t Value);
    uint32_t GetMaxLineLength() const;
    void SetMaxLineLength(uint32_t Value);
    int32_t GetOutBufferSize() const;
    void SetOutBufferSize(int32_t Value);
    std::string GetRemoteHost() const;
    void SetRemoteHost(const std::string& Value);
    uint16_t GetRemotePort() const;
    void SetRemotePort(uint16_t Value);
    std::string GetWinsockInfo() const;
    void SetWinsockInfo(const std::string&) {} // read-only
    bool GetWinsockLoaded() const;
    void SetWinsockLoaded(bool Value);
    std::string GetWinsockStatus() const;
    void SetWinsockStatus(const std::string&) {} // read-only
    // Run-time properties.
    bool GetConnected() const;
    void SetConnected(bool Value);
    void SetDataToSend(const std::string& Value); // write-only

    TConnectedEvent OnConnected;
    TDataInEvent OnDataIn;
    TDisconnectedEvent OnDisconnected;
    TErrorEvent OnError;
    TReadyToSendEvent OnReadyToSend;

    // The event dispatcher the core calls: numbers 1..5 are the five events, others do nothing.
    int DispatchEvent(int Event, const TnwdEventParams* Params);

private:
    void fireDataIn(const char* data, uint32_t count, bool eol);
    int64_t get(int number, std::string* bytes = nullptr) const;
    void set(int number, int64_t value, std::string_view bytes = {});

    std::unique_ptr<NwdConnection> core_;
};
