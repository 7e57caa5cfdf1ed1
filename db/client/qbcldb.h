// The dataset layer's database (one database of the engine opened for a session, by alias or by
// folder path) and the table proxy that ties each dataset to its database, session and engine.
#pragma once
#include "db/client/qbclient.h"

#include <string>
#include <string_view>

class TqbBaseDatabase;

// What a table proxy asks of the dataset that owns it.
class TqbProxyDataSet {
public:
    virtual ~TqbProxyDataSet() = default;
    virtual cls::TDataSet* ProxyDataSet() = 0;
    // The proxy closes: the dataset closes too, unless it is the one closing the proxy.
    virtual void ProxyClosing() = 0;
    // Its database became exclusive or read-only.
    virtual void ForceExclusive() = 0;
    virtual void ForceReadOnly() = 0;
    // The connection went: its handles are gone, no engine call may be made for them.
    virtual void ConnectionDropped() = 0;
};

// A table name without folder and extension, at most 31 characters.
std::string TableNameProper(std::string_view name);

class TqbBaseDatabase : public TqbDBListItem {
public:
    explicit TqbBaseDatabase(cls::TComponent* AOwner = nullptr);
    ~TqbBaseDatabase() override;

    const std::string& DatabaseName() const { return ItemName(); }
    void SetDatabaseName(const std::string& value);
    bool AutoDatabaseName() const { return autoName_; }
    void SetAutoDatabaseName(bool value);
    bool Connected() const { return Active(); }
    void SetConnected(bool value) { SetActive(value); }
    TqbHandle DatabaseID() const { return databaseID_; }
    // Opens the database when it is closed.
    TqbHandle GetDatabaseID();
    const std::string& AliasName() const { return aliasName_; }
    void SetAliasName(const std::string& value);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool value);
    bool FailSafe = false; // kept for the component's users; no effect here
    int32_t Timeout() const { return timeout_; }
    void SetTimeout(int32_t value);
    // Timeout, or the session's when it is -1.
    uint32_t GetTimeout();
    std::string SessionName() { return OwnerName(); }
    void SetSessionName(const std::string& value) { SetOwnerName(value); }
    TqbSession* Session();
    TqbBaseServerEngine* Engine() const { return engine_; }

    void GetTableDictionary(const std::string& tableName, cls::TStream& stream);
    int TableCount() const { return int(ChildItems().size()); }
    cls::TDataSet* DataSets(int index);

    void DropHandles() override;

protected:
    void DoOpen() override;
    void DoClose() override;
    TqbDBListItem* FindOwnerByName() override;
    [[noreturn]] void RaiseMustBeClosed() override;
    [[noreturn]] void RaiseMustBeOpen() override;

private:
    void checkClosed();
    template <class F> void eachDataSet(F&& f);
    bool autoName_ = false;
    TqbHandle databaseID_ = 0;
    std::string aliasName_;
    bool exclusive_ = false;
    bool readOnly_ = false;
    int32_t timeout_ = -1;
    TqbBaseServerEngine* engine_ = nullptr;
};

class TqbDatabase : public TqbBaseDatabase {
public:
    using TqbBaseDatabase::TqbBaseDatabase;
};

// The level-4 item of a dataset: named after the table, owned (in the chain) by the database the
// dataset names, within the session the dataset names.
class TqbTableProxy : public TqbDBListItem {
public:
    // AOwner: the dataset component; dataSet: its side of the link.
    TqbTableProxy(cls::TComponent* AOwner, TqbProxyDataSet* dataSet);
    ~TqbTableProxy() override;

    const std::string& TableName() const { return ItemName(); }
    void SetTableName(const std::string& value) { SetItemName(value); }
    std::string DatabaseName() { return OwnerName(); }
    void SetDatabaseName(const std::string& value) { SetOwnerName(value); }
    const std::string& SessionName() const { return sessionName_; }
    void SetSessionName(const std::string& value);
    TqbSession* Session();
    TqbBaseDatabase* Database() { return dynamic_cast<TqbBaseDatabase*>(Owner()); }
    TqbProxyDataSet* DataSet() const { return dataSet_; }
    TqbBaseServerEngine* Engine() const { return engine_; }
    bool Closing() const { return closing_; }
    // The dataset goes first: the proxy no longer calls it.
    void ForgetDataSet() { dataSet_ = nullptr; }

    void DropHandles() override;
    void OpenAgain() override;

protected:
    void DoOpen() override;
    void DoClose() override;
    TqbDBListItem* FindOwnerByName() override;
    [[noreturn]] void RaiseMustBeClosed() override;
    [[noreturn]] void RaiseMustBeOpen() override;

private:
    TqbProxyDataSet* dataSet_;
    bool reopenDataSet_ = false; // its dataset was open when the connection went
    TqbBaseServerEngine* engine_ = nullptr;
    std::string sessionName_;
    bool closing_ = false;
};
