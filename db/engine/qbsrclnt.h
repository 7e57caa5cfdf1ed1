// Clients (one connected user of the engine) and their sessions, and the monitors that offer
// extenders for clients and databases.
#pragma once
#include "db/engine/qbsrcfg.h"
#include "db/engine/qbsrcur_cursor.h"

#include <bitset>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqbSrClient;
class TqbSrSession;

// A monitor that offers extenders for the clients or databases it is interested in (null: none).
// The engine asks each monitor interested in the object's class that is also such a source.
class TqbSrObjectExtenderSource {
public:
    virtual ~TqbSrObjectExtenderSource() = default;
    virtual std::unique_ptr<TqbSrObjectExtender> MakeExtender(TqbServerObject& Object) = 0;
};

// A session of a client: the databases it opened.
class TqbSrSession : public TqbServerObject {
public:
    TqbSrSession(TqbSrClient& Client, uint32_t Timeout, bool IsFirst);
    TqbSrClient& Client() { return client_; }
    TqbSrDatabaseList& Databases() { return databases_; }
    bool IsFirst() const { return isFirst_; }

    bool CanClose(bool Mark) override;
    void ForceClose() override;
    void RequestClose() override;
    bool ShouldClose() override;

private:
    TqbSrClient& client_;
    TqbSrDatabaseList databases_;
    const bool isFirst_;
};

// One connected user. Its padlock is shared by its sessions, databases and cursors, so the
// operations on one client's objects run one at a time.
class TqbSrClient : public TqbServerObject {
public:
    // User: the configuration's user record when logins are checked, else null.
    TqbSrClient(const TqbLoginUser* User, uint32_t Timeout, std::string ClientName);
    ~TqbSrClient() override;

    bool CanClose(bool Mark) override;
    void ForceClose() override;
    void RequestClose() override;
    bool ShouldClose() override;

    const std::string& ClientName() const { return name_; }
    const std::string& UserID() const { return userID_; }
    const std::string& LastName() const { return lastName_; }
    const std::string& FirstName() const { return firstName_; }
    uint8_t Rights() const { return rights_; }
    TqbSrExtenderList& Extenders() { return extenders_; }

    // The session list; the current session is null when none (a removed current session
    // leaves it null, never dangling).
    std::vector<std::shared_ptr<TqbSrSession>> Sessions();
    int32_t SessionCount();
    void AddSession(const std::shared_ptr<TqbSrSession>& Session);
    bool RemoveSession(const TqbSrSession* Session);
    std::shared_ptr<TqbSrSession> CurrentSession();
    // Null: the first session again.
    void SetCurrentSession(const std::shared_ptr<TqbSrSession>& Session);
    // The session made with the client, handed out once by the first SessionAdd; null after that.
    std::shared_ptr<TqbSrSession> TakeFirstSession();

    bool Added = false; // ClientAdd accepted it

private:
    std::string name_, userID_, lastName_, firstName_;
    uint8_t rights_ = 0;
    TqbSrExtenderList extenders_;
    std::mutex sessionsMutex_;
    std::vector<std::shared_ptr<TqbSrSession>> sessions_;
    std::weak_ptr<TqbSrSession> first_, current_;
    std::shared_ptr<TqbSrSession> untaken_; // the first session until SessionAdd hands it out
};
