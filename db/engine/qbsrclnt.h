// Clients (one connected user of the engine) and their sessions, with the extender lists that
// clients and databases carry.
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

// Watches the operations on a client or a database; may refuse them. Interest empty: hears every
// action below 80.
class TqbSrObjectExtender {
public:
    virtual ~TqbSrObjectExtender() = default;
    std::bitset<80> Interest;
    // 0 agrees; anything else refuses the operation with that result.
    virtual int32_t Notify(TqbServerObject& Object, int32_t Action) = 0;
};

// A monitor that offers extenders for the clients or databases it is interested in (null: none).
class TqbSrObjectExtenderSource {
public:
    virtual ~TqbSrObjectExtenderSource() = default;
    virtual std::unique_ptr<TqbSrObjectExtender> MakeExtender(TqbServerObject& Object) = 0;
};

// Extenders in the order they were added.
class TqbSrExtenderList {
public:
    void Add(std::unique_ptr<TqbSrObjectExtender> Extender);
    // 0 when every interested extender agrees; else the first refusal, after every earlier
    // extender heard UndoAction (nothing for 74).
    int32_t Notify(TqbServerObject& Object, int32_t Action, int32_t UndoAction);
    size_t Count();

private:
    std::mutex m_;
    std::vector<std::unique_ptr<TqbSrObjectExtender>> items_;
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
