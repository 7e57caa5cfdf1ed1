// The server configuration model: the general-info record with its defaults, aliases, users and
// user-defined key procedures, the store that keeps them between runs, and the login check.
#pragma once
#include "db/base/qbllbase.h"
#include "db/engine/qbsrcvex.h"
#include "db/storage/qblleng_types.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// Longest alias name, user ID or user name, and longest alias or key-procedure folder path: the
// widths of the columns that keep them.
inline constexpr size_t kMaxAliasName = 31;
inline constexpr size_t kMaxAliasPath = 219;
inline constexpr size_t kMaxUserField = 31;
// Rights byte of a user: five bits.
inline constexpr uint8_t kAllUserRights = 31;
inline constexpr TqbResultCode kResultUnknownUser = 10036;

// Field names are the column names of the general-info system table, which keeps each field on
// its own; the record in memory needs no fixed layout.
struct TqbGeneralInfo {
    TqbShortStr<31> ServerName;
    uint32_t MaxRAM; // buffer-manager limit in MB
    bool UseSingleUser;
    bool UseIPXSPX;
    bool IPXSPXLFB; // listens for broadcasts
    bool UseTCPIP;
    bool TCPIPLFB;
    int32_t TCPPort;
    int32_t UDPPortSr;
    int32_t UDPPortCl;
    int32_t IPXSocketSr;
    int32_t IPXSocketCl;
    int32_t SPXSocket;
    bool IsSecure; // logins required
    bool AutoUp;
    bool AutoMini;
    bool DebugLog;
    bool UseEncrypt;
    bool ReadOnly;
    int32_t LstMsgIntvl; // ms
    int32_t KAInterval;  // ms
    int32_t KARetries;
    int32_t Priority; // -2 lowest .. 2 highest
    int32_t TCPInterface;
    bool NoAutoSaveCfg;
    uint32_t TempStoreSize; // MB
    bool CollectEnabld;
    int32_t CollectFreq; // ms
};

// The ports the protocol layer publishes (0 for each when the socket library cannot be loaded).
struct TqbDefaultPorts {
    int32_t TCPPort = 25445;
    int32_t UDPPortSr = 25445;
    int32_t UDPPortCl = 25701;
    int32_t IPXSocketSr = 25445;
    int32_t IPXSocketCl = 25701;
    int32_t SPXSocket = 25957;
};

TqbGeneralInfo DefaultGeneralInfo(const TqbDefaultPorts& Ports = {});

// The ranges a setting may take (those the script file accepts); ports are 0 .. 65535.
inline constexpr int32_t kMinInterval = 1000, kMaxInterval = 86400000; // LstMsgIntvl, KAInterval
inline constexpr int32_t kMinRetries = 1, kMaxRetries = 100;           // KARetries
inline constexpr int32_t kMinPriority = -2, kMaxPriority = 2;
inline constexpr uint32_t kMinTempStore = 1, kMaxTempStore = 2048; // MB
// The script key's range only: the collection period is kept as set.
inline constexpr int32_t kMinCollectFreq = 30001, kMaxCollectFreq = 3599999;
// Stored settings as they may be used: each value outside its range (a MaxRAM of 0 included)
// replaced by the one in Defaults; the collection period as stored.
TqbGeneralInfo CheckedGeneralInfo(const TqbGeneralInfo& Stored, const TqbGeneralInfo& Defaults);

// ---------------------------------------------------------------------------------------------
// Aliases

class TqbAliasItem : public TqbUCStrListItem {
public:
    TqbAliasItem(std::string_view Name, std::string_view Path) : TqbUCStrListItem(Name), path_(Path) {}
    const std::string& Name() const { return KeyStr(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Callers take its read lock to look aliases up and its write lock to change them.
class TqbAliasList : public TqbThreadList {
public:
    TqbAliasItem* Items(int Index) const { return static_cast<TqbAliasItem*>(TqbList::Items(Index)); }
    // The alias's path; empty when there is no such alias.
    std::string GetPath(std::string_view Name) const;
};

// ---------------------------------------------------------------------------------------------
// Users

class TqbUserItem : public TqbUCStrListItem {
public:
    TqbUserItem(std::string_view UserID, std::string_view LastName, std::string_view FirstName,
                uint32_t PwdHash, uint8_t Rights)
        : TqbUCStrListItem(UserID), lastName_(LastName), firstName_(FirstName), pwdHash_(PwdHash),
          rights_(Rights) {}
    const std::string& UserID() const { return KeyStr(); }
    const std::string& LastName() const { return lastName_; }
    const std::string& FirstName() const { return firstName_; }
    uint8_t Rights() const { return rights_; }
    // For the store that keeps the users; a login never hands it out.
    uint32_t PwdHash() const { return pwdHash_; }

private:
    std::string lastName_, firstName_;
    uint32_t pwdHash_;
    uint8_t rights_;
};

// What a client learns of its user: no password hash.
struct TqbLoginUser {
    std::string UserID, LastName, FirstName;
    uint8_t Rights = 0;
};

// Guards itself: the store fills it while the engine starts, logins read it from any thread.
class TqbUserList : public TqbObject {
public:
    bool Insert(TqbUserItem* Item);
    bool Exists(std::string_view UserID) const;
    int IndexOf(std::string_view UserID) const;
    int Count() const;
    void Empty();
    // Copies, so that no caller holds an item the list may free.
    std::vector<TqbLoginUser> Users() const;
    // 0 for an empty user ID, all bits set for an unknown one, else the user's hash. Internal: for
    // the store and the remote login handler, never for an unproved caller.
    uint32_t PwdHash(std::string_view UserID) const;
    // 0 and the user when UserID names a user whose hash equals PasswordHash; 10036 otherwise,
    // the same for an empty, an unknown user and a wrong password, in time that does not depend
    // on which.
    TqbResultCode CheckLogin(std::string_view UserID, uint32_t PasswordHash, TqbLoginUser& User) const;

private:
    mutable std::shared_mutex m_;
    TqbList list_;
};

// Equality of two byte ranges of the same length in time that depends only on the length.
bool ConstantTimeEquals(const void* A, const void* B, size_t Length);

// ---------------------------------------------------------------------------------------------
// Key procedures

struct TqbKeyProcEntry;

// The user-defined key routines of one index of one table.
class TqbKeyProcItem : public TqbUCStrListItem {
public:
    // Path: the table's folder; Table: its name without extension.
    TqbKeyProcItem(std::string_view Path, std::string_view Table, int32_t IndexID, std::string_view DLL,
                   std::string_view BuildKey, std::string_view CompareKey);
    ~TqbKeyProcItem() override;

    int32_t IndexID() const { return indexID_; }
    const std::string& Path() const { return path_; }
    const std::string& Table() const { return table_; }
    const std::string& DLL() const { return dll_; }
    const std::string& BuildKey() const { return buildKey_; }
    const std::string& CompareKey() const { return compareKey_; }

    // Loads the library from LibraryFolder (a library named with another folder is refused) and
    // finds both routines; false, with nothing left loaded, when any of the three is missing.
    bool Load(std::string_view LibraryFolder);
    void Unload();
    bool Loaded() const { return module_ != nullptr; }
    void* BuildKeyProc() const { return buildProc_; }
    void* CompareKeyProc() const { return compareProc_; }

private:
    int32_t indexID_;
    std::string path_, table_, dll_, buildKey_, compareKey_;
    void* module_ = nullptr;
    void* buildProc_ = nullptr;
    void* compareProc_ = nullptr;
};

class TqbKeyProcList : public TqbObject {
public:
    // "<folder>\<table>.QB2|<index>", the folder in the form the engine's folders use.
    static std::string ComposeKey(std::string_view Path, std::string_view Table, int32_t IndexID);

    bool Insert(TqbKeyProcItem* Item);
    void Empty();
    int Count() const;
    // Valid until the list next changes.
    TqbKeyProcItem* Items(int Index) const;
    bool Exists(std::string_view Path, std::string_view Table, int32_t IndexID) const;
    int IndexOf(std::string_view Path, std::string_view Table, int32_t IndexID) const;
    void Delete(std::string_view Path, std::string_view Table, int32_t IndexID);
    // By composed key, as a table asks for it; false when none.
    bool Find(const std::string& Key, TqbKeyProcEntry& Entry) const;

private:
    mutable std::mutex m_;
    TqbList list_;
};

// ---------------------------------------------------------------------------------------------
// The configuration

class TqbServerConfiguration;

// Keeps a configuration between runs. Load raises when it cannot read what it keeps.
class TqbConfigStore {
public:
    virtual ~TqbConfigStore() = default;
    virtual void Load(TqbServerConfiguration& Config) = 0;
    virtual void SaveInfo(const TqbServerConfiguration& Config) = 0;
    virtual void SaveAliases(const TqbServerConfiguration& Config) = 0;
    virtual void SaveUsers(const TqbServerConfiguration& Config) = 0;
    // Saves what the load had to leave unsaved until the folder's journals were recovered.
    virtual void SaveHeld(const TqbServerConfiguration&) {}
};

struct TqbUserRecord {
    std::string UserID, LastName, FirstName;
    uint32_t PwdHash = 0;
    uint8_t Rights = 0;
};
struct TqbKeyProcRecord {
    std::string Path, Table;
    int32_t IndexID = 0;
    std::string DLL, BuildKey, CompareKey;
};

// A store in memory, for an engine that keeps nothing on disk and for tests. What it was last
// given it loads back.
class TqbMemoryConfigStore : public TqbConfigStore {
public:
    void Load(TqbServerConfiguration& Config) override;
    void SaveInfo(const TqbServerConfiguration& Config) override;
    void SaveAliases(const TqbServerConfiguration& Config) override;
    void SaveUsers(const TqbServerConfiguration& Config) override;

    std::mutex Mutex; // guards the members below
    bool HasInfo = false;
    TqbGeneralInfo Info{};
    std::vector<TqbAliasRecord> Aliases;
    std::vector<TqbUserRecord> Users;
    std::vector<TqbKeyProcRecord> KeyProcs;
};

class TqbServerConfiguration : public TqbObject {
public:
    explicit TqbServerConfiguration(const TqbDefaultPorts& Ports = {});
    ~TqbServerConfiguration() override;
    TqbServerConfiguration(const TqbServerConfiguration&) = delete;
    TqbServerConfiguration& operator=(const TqbServerConfiguration&) = delete;

    // Loads from Store unless loaded already. Marked loaded only when the load succeeded; a failed
    // load puts the defaults back, leaves no alias, user or key procedure behind and raises again.
    void Load(TqbConfigStore& Store);
    bool Loaded() const { return loaded_.load(); }
    // Back to the state of construction: defaults, empty lists, not loaded.
    void Reset();

    // ---- general info ----------------------------------------------------------------------------
    TqbGeneralInfo GeneralInfo() const;
    void SetGeneralInfo(const TqbGeneralInfo& Info);
    // Settings read back from a store, which may hold anything: checked against the ranges first.
    // ReadOnly and NoAutoSaveCfg stay on when they were on.
    void SetStoredGeneralInfo(const TqbGeneralInfo& Info);
    template <class F> void UpdateGeneralInfo(F&& Change) {
        std::lock_guard lk(infoMutex_);
        Change(info_);
    }
    std::string GetServerName() const;
    bool IsReadOnly() const;
    void SetIsReadOnly(bool Value);
    bool NoAutoSaveCfg() const;
    void SetNoAutoSaveCfg(bool Value);

    // ---- aliases ----------------------------------------------------------------------------------
    // Result codes: 0; 10009 when the name exists; 9986 for an empty name or one longer than 31;
    // 10018 for an empty path or one whose full form is longer than 219 characters (never cut).
    TqbResultCode AddAlias(std::string_view Name, std::string_view Path);
    // 0, or 10014 for an unknown alias.
    TqbResultCode DeleteAlias(std::string_view Name);
    // 0; 10014 for an unknown alias; the path's codes as AddAlias. The alias stays as it was on failure.
    TqbResultCode ChangeAliasPath(std::string_view Name, std::string_view NewPath);
    // An empty NewName keeps the name, an empty NewPath the path. Every check comes before any
    // change, so a refused change leaves the alias as it was: 10014 unknown alias; 10009 when
    // NewName names another alias; the name and path codes of AddAlias.
    TqbResultCode ModifyAlias(std::string_view Name, std::string_view NewName, std::string_view NewPath);
    // The alias's path, the name cut to 31 characters; empty when there is no such alias.
    std::string AliasPath(std::string_view Name) const;
    bool AliasExists(std::string_view Name) const;
    // One record per alias, in name order.
    std::vector<TqbAliasRecord> AliasRecords() const;
    TqbAliasList& AliasList() { return aliases_; }

    // ---- users ------------------------------------------------------------------------------------
    // 0; 9986 for an empty user ID or a field longer than 31 characters; 10009 when the ID exists.
    TqbResultCode AddUser(std::string_view UserID, std::string_view LastName, std::string_view FirstName,
                          uint32_t PwdHash, uint8_t Rights);
    TqbUserList& UserList() { return users_; }
    const TqbUserList& UserList() const { return users_; }
    // Whether a client must prove a user: whenever the configuration is secure, also when it
    // holds no user (then nobody gets in).
    bool LoginRequired() const;
    // A client's login. Without a required login: 0, no user, PasswordHash as given. Otherwise
    // the user's check: 0 with the user (PasswordHash as given: it was proved equal to the
    // stored one), or 10036 with PasswordHash set to 0, so no stored hash ever reaches a caller.
    TqbResultCode Login(std::string_view UserID, uint32_t& PasswordHash, TqbLoginUser& User,
                        bool& HasUser) const;

    // ---- key procedures ---------------------------------------------------------------------------
    // 0; 10018 for a folder path longer than 219 characters; 9986 for an empty table name or library.
    TqbResultCode AddKeyProc(std::string_view Path, std::string_view Table, int32_t IndexID,
                             std::string_view DLL, std::string_view BuildKey, std::string_view CompareKey);
    TqbKeyProcList& KeyProcList() { return keyProcs_; }
    const TqbKeyProcList& KeyProcList() const { return keyProcs_; }

    // For callers that change the configuration as a whole.
    TqbPadlock& Padlock() { return padlock_; }

private:
    TqbResultCode checkedAliasPath(std::string_view Path, std::string& Full) const;
    TqbResultCode insertAlias(std::string_view Name, std::string_view Path);

    TqbDefaultPorts ports_;
    mutable TqbAliasList aliases_; // its portal is taken by the const look-ups too
    mutable std::mutex infoMutex_;
    TqbGeneralInfo info_;
    TqbKeyProcList keyProcs_;
    TqbUserList users_;
    TqbPadlock padlock_;
    std::atomic<bool> loaded_{false};
};
