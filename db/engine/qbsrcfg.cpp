// The server configuration model: defaults, alias rules, users with the login check, key
// procedures and their libraries, and the in-memory store.
#include "db/engine/qbsrcfg.h"

#include "db/base/qbllexcp.h"
#include "db/engine/qbsrcur.h"
#include "db/engine/qbsrfold.h"
#include "db/storage/qbllunc.h"
#include "platform/Paths.h"

#include <dlfcn.h>

#include <cstring>

TqbGeneralInfo DefaultGeneralInfo(const TqbDefaultPorts& Ports) {
    TqbGeneralInfo g{};
    g.MaxRAM = 10;
    g.UseSingleUser = true;
    g.IPXSPXLFB = true;
    g.TCPIPLFB = true;
    g.TCPPort = Ports.TCPPort;
    g.UDPPortSr = Ports.UDPPortSr;
    g.UDPPortCl = Ports.UDPPortCl;
    g.IPXSocketSr = Ports.IPXSocketSr;
    g.IPXSocketCl = Ports.IPXSocketCl;
    g.SPXSocket = Ports.SPXSocket;
    g.UseEncrypt = true;
    g.LstMsgIntvl = 30000;
    g.KAInterval = 5000;
    g.KARetries = 5;
    g.Priority = 2;
    g.TempStoreSize = 20;
    g.CollectFreq = 300000;
    return g;
}

TqbGeneralInfo CheckedGeneralInfo(const TqbGeneralInfo& Stored, const TqbGeneralInfo& Defaults) {
    TqbGeneralInfo g = Stored;
    auto keep = [](auto& value, auto fallback, auto lo, auto hi) {
        if (value < lo || value > hi) value = fallback;
    };
    keep(g.MaxRAM, Defaults.MaxRAM, 1u, UINT32_MAX);
    keep(g.LstMsgIntvl, Defaults.LstMsgIntvl, kMinInterval, kMaxInterval);
    keep(g.KAInterval, Defaults.KAInterval, kMinInterval, kMaxInterval);
    keep(g.KARetries, Defaults.KARetries, kMinRetries, kMaxRetries);
    keep(g.Priority, Defaults.Priority, kMinPriority, kMaxPriority);
    keep(g.TempStoreSize, Defaults.TempStoreSize, kMinTempStore, kMaxTempStore);
    for (int32_t TqbGeneralInfo::*port :
         {&TqbGeneralInfo::TCPPort, &TqbGeneralInfo::UDPPortSr, &TqbGeneralInfo::UDPPortCl,
          &TqbGeneralInfo::IPXSocketSr, &TqbGeneralInfo::IPXSocketCl, &TqbGeneralInfo::SPXSocket})
        keep(g.*port, Defaults.*port, 0, 65535);
    return g;
}

// ---------------------------------------------------------------------------------------------
// Aliases

std::string TqbAliasList::GetPath(std::string_view Name) const {
    const auto* item = static_cast<const TqbAliasItem*>(Find(Name));
    return item ? item->Path() : std::string();
}

// ---------------------------------------------------------------------------------------------
// Users

bool ConstantTimeEquals(const void* A, const void* B, size_t Length) {
    const volatile uint8_t* a = static_cast<const volatile uint8_t*>(A);
    const volatile uint8_t* b = static_cast<const volatile uint8_t*>(B);
    uint8_t diff = 0;
    for (size_t i = 0; i < Length; ++i)
        diff = uint8_t(diff | (a[i] ^ b[i]));
    return diff == 0;
}

bool TqbUserList::Insert(TqbUserItem* Item) {
    std::unique_lock lk(m_);
    return list_.Insert(Item);
}

bool TqbUserList::Exists(std::string_view UserID) const {
    return IndexOf(UserID) >= 0;
}

int TqbUserList::IndexOf(std::string_view UserID) const {
    std::shared_lock lk(m_);
    return list_.IndexOf(UserID);
}

int TqbUserList::Count() const {
    std::shared_lock lk(m_);
    return list_.Count();
}

void TqbUserList::Empty() {
    std::unique_lock lk(m_);
    list_.Empty();
}

std::vector<TqbLoginUser> TqbUserList::Users() const {
    std::shared_lock lk(m_);
    std::vector<TqbLoginUser> out;
    for (int i = 0; i < list_.Count(); ++i) {
        const auto* u = static_cast<const TqbUserItem*>(list_.Items(i));
        out.push_back({u->UserID(), u->LastName(), u->FirstName(), u->Rights()});
    }
    return out;
}

uint32_t TqbUserList::PwdHash(std::string_view UserID) const {
    if (UserID.empty()) return 0;
    std::shared_lock lk(m_);
    const auto* u = static_cast<const TqbUserItem*>(list_.Find(UserID));
    return u ? u->PwdHash() : 0xFFFFFFFFu;
}

TqbResultCode TqbUserList::CheckLogin(std::string_view UserID, uint32_t PasswordHash,
                                      TqbLoginUser& User) const {
    std::shared_lock lk(m_);
    const auto* u = UserID.empty() ? nullptr : static_cast<const TqbUserItem*>(list_.Find(UserID));
    // An unknown user is compared too, against a value no hash of 28 bits can take, so that the
    // answer takes as long as for a wrong password.
    const uint32_t stored = u ? u->PwdHash() : 0xFFFFFFFFu;
    const bool same = ConstantTimeEquals(&stored, &PasswordHash, sizeof stored);
    if (!u || !same) return kResultUnknownUser;
    User = {u->UserID(), u->LastName(), u->FirstName(), u->Rights()};
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Key procedures

TqbKeyProcItem::TqbKeyProcItem(std::string_view Path, std::string_view Table, int32_t IndexID,
                               std::string_view DLL, std::string_view BuildKey, std::string_view CompareKey)
    : TqbUCStrListItem(TqbKeyProcList::ComposeKey(Path, Table, IndexID)), indexID_(IndexID), path_(Path),
      table_(Table), dll_(DLL), buildKey_(BuildKey), compareKey_(CompareKey) {}

TqbKeyProcItem::~TqbKeyProcItem() {
    Unload();
}

bool TqbKeyProcItem::Load(std::string_view LibraryFolder) {
    Unload();
    // Code named by configuration comes from the configuration's own folder, by full path, so
    // no search path can bring in another library.
    const std::string folder = CanonicalFolderPath(LibraryFolder);
    const std::string native = plat::ToNativePath(dll_);
    const std::string dllFolder = plat::ExtractFileDir(native);
    const std::string file = plat::ExtractFileName(native);
    if (folder.empty() || file.empty()) return false;
    if (!dllFolder.empty() && CanonicalFolderPath(dllFolder) != folder) return false;
    void* h = dlopen(plat::JoinPath(folder, file).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return false;
    void* build = dlsym(h, buildKey_.c_str());
    void* compare = build ? dlsym(h, compareKey_.c_str()) : nullptr;
    if (!build || !compare) {
        dlclose(h);
        return false;
    }
    module_ = h;
    buildProc_ = build;
    compareProc_ = compare;
    return true;
}

void TqbKeyProcItem::Unload() {
    if (module_) dlclose(module_);
    module_ = buildProc_ = compareProc_ = nullptr;
}

std::string TqbKeyProcList::ComposeKey(std::string_view Path, std::string_view Table, int32_t IndexID) {
    // The folder as the engine's folders spell it, so that a table finds its entry; a folder
    // that does not exist (yet) keeps its full form.
    std::string folder = CanonicalFolderPath(Path);
    if (folder.empty()) {
        try {
            folder = plat::ExcludeTrailingPathDelimiter(PathExpandUNC(plat::ToNativePath(Path)));
        } catch (const EqbException&) {
            folder = std::string(Path);
        }
    }
    return folder + "\\" + std::string(Table) + ".QB2|" + std::to_string(IndexID);
}

bool TqbKeyProcList::Insert(TqbKeyProcItem* Item) {
    std::lock_guard lk(m_);
    return list_.Insert(Item);
}

void TqbKeyProcList::Empty() {
    std::lock_guard lk(m_);
    list_.Empty();
}

int TqbKeyProcList::Count() const {
    std::lock_guard lk(m_);
    return list_.Count();
}

TqbKeyProcItem* TqbKeyProcList::Items(int Index) const {
    std::lock_guard lk(m_);
    return static_cast<TqbKeyProcItem*>(list_.Items(Index));
}

bool TqbKeyProcList::Exists(std::string_view Path, std::string_view Table, int32_t IndexID) const {
    return IndexOf(Path, Table, IndexID) >= 0;
}

int TqbKeyProcList::IndexOf(std::string_view Path, std::string_view Table, int32_t IndexID) const {
    const std::string key = ComposeKey(Path, Table, IndexID);
    std::lock_guard lk(m_);
    return list_.IndexOf(key);
}

void TqbKeyProcList::Delete(std::string_view Path, std::string_view Table, int32_t IndexID) {
    const std::string key = ComposeKey(Path, Table, IndexID);
    std::lock_guard lk(m_);
    list_.Delete(key);
}

bool TqbKeyProcList::Find(const std::string& Key, TqbKeyProcEntry& Entry) const {
    std::lock_guard lk(m_);
    const auto* item = static_cast<const TqbKeyProcItem*>(list_.Find(Key));
    if (!item) return false;
    Entry = {item->DLL(), item->BuildKey(), item->CompareKey()};
    return true;
}

// ---------------------------------------------------------------------------------------------
// In-memory store

void TqbMemoryConfigStore::Load(TqbServerConfiguration& Config) {
    std::lock_guard lk(Mutex);
    if (HasInfo) Config.SetStoredGeneralInfo(Info);
    // A record that the configuration refuses means the store does not hold what it should.
    auto check = [](TqbResultCode rc, const std::string& what) {
        if (rc) throw EqbException("Configuration entry refused [" + what + "]", rc);
    };
    for (const TqbAliasRecord& a : Aliases)
        check(Config.AddAlias(a.Alias.View(), a.Path.View()), a.Alias.Str());
    for (const TqbUserRecord& u : Users)
        check(Config.AddUser(u.UserID, u.LastName, u.FirstName, u.PwdHash, u.Rights), u.UserID);
    for (const TqbKeyProcRecord& k : KeyProcs)
        check(Config.AddKeyProc(k.Path, k.Table, k.IndexID, k.DLL, k.BuildKey, k.CompareKey), k.Table);
}

void TqbMemoryConfigStore::SaveInfo(const TqbServerConfiguration& Config) {
    TqbGeneralInfo g = Config.GeneralInfo();
    std::lock_guard lk(Mutex);
    Info = g;
    HasInfo = true;
}

void TqbMemoryConfigStore::SaveAliases(const TqbServerConfiguration& Config) {
    auto records = Config.AliasRecords();
    std::lock_guard lk(Mutex);
    Aliases = std::move(records);
}

void TqbMemoryConfigStore::SaveUsers(const TqbServerConfiguration& Config) {
    std::vector<TqbUserRecord> users;
    for (const TqbLoginUser& u : Config.UserList().Users())
        users.push_back({u.UserID, u.LastName, u.FirstName, Config.UserList().PwdHash(u.UserID), u.Rights});
    std::lock_guard lk(Mutex);
    Users = std::move(users);
}

// ---------------------------------------------------------------------------------------------
// The configuration

TqbServerConfiguration::TqbServerConfiguration(const TqbDefaultPorts& Ports)
    : ports_(Ports), info_(DefaultGeneralInfo(Ports)) {}

TqbServerConfiguration::~TqbServerConfiguration() {
    users_.Empty();
    keyProcs_.Empty();
    PortalWriteGuard g(aliases_);
    aliases_.Empty();
}

void TqbServerConfiguration::Load(TqbConfigStore& Store) {
    std::lock_guard lk(padlock_);
    if (loaded_.load()) return;
    try {
        Store.Load(*this);
    } catch (...) {
        Reset();
        throw;
    }
    loaded_.store(true);
}

void TqbServerConfiguration::Reset() {
    std::lock_guard lk(padlock_);
    loaded_.store(false);
    SetGeneralInfo(DefaultGeneralInfo(ports_));
    {
        PortalWriteGuard g(aliases_);
        aliases_.Empty();
    }
    users_.Empty();
    keyProcs_.Empty();
}

TqbGeneralInfo TqbServerConfiguration::GeneralInfo() const {
    std::lock_guard lk(infoMutex_);
    return info_;
}

void TqbServerConfiguration::SetStoredGeneralInfo(const TqbGeneralInfo& Info) {
    TqbGeneralInfo g = CheckedGeneralInfo(Info, DefaultGeneralInfo(ports_));
    std::lock_guard lk(infoMutex_);
    // Switched on before the load, these hold through it: a stored setting turns them on, never off.
    g.ReadOnly = g.ReadOnly || info_.ReadOnly;
    g.NoAutoSaveCfg = g.NoAutoSaveCfg || info_.NoAutoSaveCfg;
    info_ = g;
}

void TqbServerConfiguration::SetGeneralInfo(const TqbGeneralInfo& Info) {
    std::lock_guard lk(infoMutex_);
    info_ = Info;
}

std::string TqbServerConfiguration::GetServerName() const {
    std::lock_guard lk(infoMutex_);
    return info_.ServerName.Str();
}

bool TqbServerConfiguration::IsReadOnly() const {
    std::lock_guard lk(infoMutex_);
    return info_.ReadOnly;
}

void TqbServerConfiguration::SetIsReadOnly(bool Value) {
    UpdateGeneralInfo([&](TqbGeneralInfo& g) { g.ReadOnly = Value; });
}

bool TqbServerConfiguration::NoAutoSaveCfg() const {
    std::lock_guard lk(infoMutex_);
    return info_.NoAutoSaveCfg;
}

void TqbServerConfiguration::SetNoAutoSaveCfg(bool Value) {
    UpdateGeneralInfo([&](TqbGeneralInfo& g) { g.NoAutoSaveCfg = Value; });
}

TqbResultCode TqbServerConfiguration::checkedAliasPath(std::string_view Path, std::string& Full) const {
    if (Path.empty()) return 10018;
    try {
        Full = PathExpandUNC(Path);
    } catch (const EqbException&) {
        return 10018;
    }
    // A longer path would be cut where it is kept and name another folder after a restart.
    return Full.size() > kMaxAliasPath ? 10018 : 0;
}

TqbResultCode TqbServerConfiguration::insertAlias(std::string_view Name, std::string_view Path) {
    auto* item = new TqbAliasItem(Name, Path);
    if (aliases_.Insert(item)) return 0;
    item->Free();
    return 10009;
}

TqbResultCode TqbServerConfiguration::AddAlias(std::string_view Name, std::string_view Path) {
    if (Name.empty() || Name.size() > kMaxAliasName) return kResultInvalidParameter;
    std::string full;
    if (TqbResultCode rc = checkedAliasPath(Path, full)) return rc;
    PortalWriteGuard g(aliases_);
    return insertAlias(Name, full);
}

TqbResultCode TqbServerConfiguration::DeleteAlias(std::string_view Name) {
    PortalWriteGuard g(aliases_);
    if (!aliases_.Exists(Name.substr(0, kMaxAliasName))) return 10014;
    aliases_.Delete(Name.substr(0, kMaxAliasName));
    return 0;
}

TqbResultCode TqbServerConfiguration::ChangeAliasPath(std::string_view Name, std::string_view NewPath) {
    // An empty path names no folder (and would keep the old one in ModifyAlias).
    if (NewPath.empty()) return AliasExists(Name) ? 10018 : 10014;
    return ModifyAlias(Name, {}, NewPath);
}

TqbResultCode TqbServerConfiguration::ModifyAlias(std::string_view Name, std::string_view NewName,
                                                  std::string_view NewPath) {
    Name = Name.substr(0, kMaxAliasName);
    if (NewName.size() > kMaxAliasName) return kResultInvalidParameter;
    std::string full;
    if (!NewPath.empty())
        if (TqbResultCode rc = checkedAliasPath(NewPath, full)) return rc;
    PortalWriteGuard g(aliases_);
    const auto* old = static_cast<const TqbAliasItem*>(aliases_.Find(Name));
    if (!old) return 10014;
    const std::string name = NewName.empty() ? old->Name() : std::string(NewName);
    if (NewPath.empty()) full = old->Path();
    if (CompareShStrNoCase(name, old->Name(), 255) != 0 && aliases_.Exists(name)) return 10009;
    aliases_.Delete(Name);
    return insertAlias(name, full);
}

std::string TqbServerConfiguration::AliasPath(std::string_view Name) const {
    PortalReadGuard g(aliases_);
    return aliases_.GetPath(Name.substr(0, kMaxAliasName));
}

bool TqbServerConfiguration::AliasExists(std::string_view Name) const {
    PortalReadGuard g(aliases_);
    return aliases_.Exists(Name.substr(0, kMaxAliasName));
}

std::vector<TqbAliasRecord> TqbServerConfiguration::AliasRecords() const {
    PortalReadGuard g(aliases_);
    std::vector<TqbAliasRecord> out(size_t(aliases_.Count()));
    for (int i = 0; i < aliases_.Count(); ++i) {
        out[size_t(i)].Alias.Set(aliases_.Items(i)->Name());
        out[size_t(i)].Path.Set(aliases_.Items(i)->Path());
    }
    return out;
}

TqbResultCode TqbServerConfiguration::AddUser(std::string_view UserID, std::string_view LastName,
                                              std::string_view FirstName, uint32_t PwdHash, uint8_t Rights) {
    if (UserID.empty() || UserID.size() > kMaxUserField || LastName.size() > kMaxUserField ||
        FirstName.size() > kMaxUserField)
        return kResultInvalidParameter;
    auto* item = new TqbUserItem(UserID, LastName, FirstName, PwdHash, Rights);
    if (users_.Insert(item)) return 0;
    item->Free();
    return 10009;
}

bool TqbServerConfiguration::LoginRequired() const {
    std::lock_guard lk(infoMutex_);
    return info_.IsSecure;
}

TqbResultCode TqbServerConfiguration::Login(std::string_view UserID, uint32_t& PasswordHash,
                                            TqbLoginUser& User, bool& HasUser) const {
    HasUser = false;
    if (!LoginRequired()) return 0;
    if (users_.CheckLogin(UserID, PasswordHash, User) != 0) {
        PasswordHash = 0;
        return kResultUnknownUser;
    }
    HasUser = true;
    return 0;
}

TqbResultCode TqbServerConfiguration::AddKeyProc(std::string_view Path, std::string_view Table,
                                                 int32_t IndexID, std::string_view DLL,
                                                 std::string_view BuildKey, std::string_view CompareKey) {
    if (Path.size() > kMaxAliasPath) return 10018;
    if (Table.empty() || DLL.empty()) return kResultInvalidParameter;
    auto* item = new TqbKeyProcItem(Path, Table, IndexID, DLL, BuildKey, CompareKey);
    if (keyProcs_.Insert(item)) return 0;
    item->Free();
    return 10009;
}
