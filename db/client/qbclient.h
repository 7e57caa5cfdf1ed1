// The dataset layer's client and session: logging in to an engine (with the login prompt and its
// retries), engine sessions, aliases, the default client and session, and the handling of a lost
// connection.
#pragma once
#include "db/client/qbcllist.h"
#include "db/storage/qblleng.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

class TqbSession;
class TqbBaseClient;
class TqbLegacyTransport;
class TQBRemoteServerEngine;

using TqbConnectionLostEvent = std::function<void(TqbComponent* Sender, bool Starting, bool& Retry)>;
using TqbChooseServerEvent =
    std::function<void(TqbComponent* Sender, cls::TStringList& List, std::string& Name)>;
using TqbFindServersEvent = std::function<void(TqbComponent* Sender, bool Starting)>;
using TqbLoginEvent =
    std::function<void(TqbComponent* Sender, std::string& UserName, std::string& Password, bool& Result)>;
using TqbNotifyEvent = std::function<void(TqbComponent* Sender)>;

// Program-wide login values: the retries a new client allows, and the user name and password
// tried before any prompt (at most 31 characters each are used).
extern int qbPasswordRetries;
extern std::string qbDefaultUserName;
extern std::string qbDefaultPassword;

inline constexpr const char* kAutomaticName = "[automatic]";
// The engine's notification that a client's connection was lost (data: the client's handle).
inline constexpr int kOpConnectionLost = 10;
// Result codes the login raises.
inline constexpr int32_t kLoginUnknownUser = 10036;
inline constexpr int32_t kLoginTimedOut = 288;
inline constexpr int32_t kLoginNoServer = 11278;
// The engine of a client could not be started.
inline constexpr int32_t kDsCannotStartClientEngine = 54547;
// A remote engine of a client has no transport to reach its server.
inline constexpr int32_t kDsNoRemoteTransport = 54587;

// Every client, the default ones among them.
TqbClientList& ClientList();
// The default client ("[automatic]" unless another took the role) and its default session.
TqbBaseClient* DefaultClient();
TqbSession* DefaultSession();
// The session of that name (without regard to case), linked to a client or not.
TqbSession* FindSession(std::string_view name);

class TqbBaseClient : public TqbDBListItem {
public:
    explicit TqbBaseClient(cls::TComponent* AOwner = nullptr);
    ~TqbBaseClient() override;

    const std::string& ClientName() const { return ItemName(); }
    void SetClientName(const std::string& value);
    bool AutoClientName() const { return autoName_; }
    void SetAutoClientName(bool value);
    bool BeepOnLoginError = true;
    bool OwnsEngine() const { return ownsEngine_; }
    TqbHandle ClientID() const { return clientID_; }
    bool IsDefault() const;
    void SetIsDefault(bool value);
    TqbConnectionLostEvent OnConnectionLost;
    int PasswordRetries;
    TqbBaseServerEngine* ServerEngine() const { return engine_; }
    void SetServerEngine(TqbBaseServerEngine* engine);
    int32_t TimeOut() const { return timeOut_; }
    void SetTimeOut(int32_t value);
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value);

    // The sessions of the client, in the order they linked.
    std::vector<TqbSession*> Sessions() const;
    TqbSession* DefaultSessionOfClient() const { return defaultSession_; }

    // Logs in to the engine unless connected; asking is the session whose events prompt.
    void Connect(TqbSession* asking);
    // The servers that answer (54543 unless the client is active).
    void GetServerNames(cls::TStringList& list);
    // The server to ask for: the only one, the asking session's or the user's choice, else the
    // first; empty when none answers.
    std::string ChooseServer(TqbSession* asking);
    TqbResultCode ProcessRequest(uint32_t msgID, uint32_t timeout, std::span<const uint8_t> request,
                                 std::vector<uint8_t>& reply);
    TqbResultCode ProcessRequestNoReply(uint32_t msgID, uint32_t timeout, std::span<const uint8_t> request);

    void ReceiveNotification(int operation, TqbComponent* sender, intptr_t data) override;
    // The built-in reconnect question and the report of a failed reconnect.
    static void DefaultConnectionLost(TqbComponent* sender, bool starting, bool& retry);

protected:
    void DoOpen() override {}
    void DoClose() override;
    void ChildAdded(TqbDBListItem* child) override;
    void ChildRemoved(TqbDBListItem* child) override;
    [[noreturn]] void RaiseMustBeClosed() override;
    [[noreturn]] void RaiseMustBeOpen() override;

private:
    friend class TqbSession;
    TqbResultCode addClient(const std::string& user, const std::string& password, TqbHandle& id);
    bool prompt(TqbSession* asking, std::string& user, std::string& password);
    void connectionLost();
    // Everything below the client inactive with its handles cleared, without engine calls.
    void dropAll();
    void forgetEngine();
    // A remote engine with its transport from the client configuration, owned by the client.
    TQBRemoteServerEngine* newOwnedEngine();
    void freeOwnedEngine();
    void startTransport(TqbSession* asking);

    bool autoName_ = false;
    bool ownsEngine_ = false;
    TqbHandle clientID_ = 0;
    TqbBaseServerEngine* engine_ = nullptr;
    TqbLegacyTransport* ownedTransport_ = nullptr; // the transport of an owned remote engine
    int32_t timeOut_ = 10000;
    std::string userName_;
    TqbSession* defaultSession_ = nullptr;
};

class TqbClient : public TqbBaseClient {
public:
    using TqbBaseClient::TqbBaseClient;
};

class TqbSession : public TqbDBListItem {
public:
    explicit TqbSession(cls::TComponent* AOwner = nullptr);
    ~TqbSession() override;

    const std::string& SessionName() const { return ItemName(); }
    void SetSessionName(const std::string& value);
    bool AutoSessionName() const { return autoName_; }
    void SetAutoSessionName(bool value);
    std::string ClientName() { return OwnerName(); }
    void SetClientName(const std::string& value) { SetOwnerName(value); }
    std::string CommsEngineName() { return OwnerName(); }
    void SetCommsEngineName(const std::string& value) { SetOwnerName(value); }
    TqbBaseClient* Client();
    TqbHandle SessionID() const { return sessionID_; }
    // The engine taken at open while active, else the client's.
    TqbBaseServerEngine* Engine();
    int32_t TimeOut() const { return timeOut_; }
    void SetTimeOut(int32_t value);
    // TimeOut, or the client's when it is -1.
    uint32_t EffectiveTimeOut();
    bool IsDefault();
    void SetIsDefault(bool value);

    TqbNotifyEvent OnStartup;
    TqbChooseServerEvent OnChooseServer;
    TqbFindServersEvent OnFindServers;
    TqbLoginEvent OnLogin;

    void AddAlias(const std::string& alias, const std::string& path);
    bool IsAlias(const std::string& name);
    void GetAliasNames(cls::TStringList& list);
    TqbResultCode ProcessRequest(uint32_t msgID, uint32_t timeout, std::span<const uint8_t> request,
                                 std::vector<uint8_t>& reply);
    TqbResultCode ProcessRequestNoReply(uint32_t msgID, uint32_t timeout, std::span<const uint8_t> request);

    void DropHandles() override;

protected:
    void BeforeDestruction() override;
    void DoOpen() override;
    void DoClose() override;
    TqbDBListItem* FindOwnerByName() override;
    [[noreturn]] void RaiseMustBeClosed() override;
    [[noreturn]] void RaiseMustBeOpen() override;

private:
    // Opens the session (and client) for the call and closes what was closed before.
    template <class F> auto withOpen(F&& work);
    bool autoName_ = false;
    TqbHandle sessionID_ = 0;
    TqbBaseServerEngine* engine_ = nullptr;
    int32_t timeOut_ = -1;
};
