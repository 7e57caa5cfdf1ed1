// Server tables with indexes: key building, record insert, modify and delete with the keys of every
// index, index add and drop, user-defined key routines, and the table list.
#include "db/engine/qbsrcur.h"
#include "db/engine/qbsrcvex.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbtbdata.h"
#include "platform/Paths.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

namespace {

// The reference key of index 0.
struct RefKey {
    explicit RefKey(uint64_t ref) { plat::StoreLE64(b, ref); }
    uint8_t b[8];
};

// The dictionary goes to the data file with the header's count of indexes.
void saveDictionary(TqbServerDataDict& Dictionary, TbtdFileInfo& DataFile, TqbSrTransaction& Transaction) {
    Dictionary.SaveToTableFile(DataFile, &Transaction);
    TqbBlockHold header(DataFile, &Transaction, 0, true);
    SetBlockWord(header.p(), kHdrIndexCount, uint32_t(Dictionary.IndexCount()));
}

} // namespace

TqbSrTable::~TqbSrTable() {
    closeFilesQuietly();
    unloadUserKeys();
}

void TqbSrTable::keyViolation() {
    RaiseResultCode(9729);
}

void TqbSrTable::bindIndexes() {
    dict_.BindIndexHelpers();
    compare_.assign(size_t(dict_.IndexCount()), TqbCompositeCompareData{});
    for (int32_t i = 1; i < dict_.IndexCount(); ++i)
        if (!dict_.IsIndexDescUserDefined(i)) compare_[size_t(i)] = MakeIndexCompareInfo(dict_, i);
    userKeys_.resize(size_t(dict_.IndexCount()));
    for (int32_t i = 0; i < dict_.IndexCount(); ++i)
        userKeys_[size_t(i)].KeyLength = dict_.IndexKeyLength(i);
}

TqbIndexData TqbSrTable::IndexData(int32_t Index) {
    if (Index < 0 || Index >= dict_.IndexCount()) RaiseServerError(81, {Index});
    TqbIndexData d;
    d.FileInfo = files_.at(size_t(dict_.IndexFileNumber(Index))).get();
    d.IndexNo = Index;
    if (Index == 0) return d; // references only
    if (dict_.IsIndexDescUserDefined(Index)) {
        const UserKey& u = userKeys_[size_t(Index)];
        if (!u.Compare) RaiseServerError(171);
        d.Compare = [](const uint8_t* a, const uint8_t* b, const void* data) {
            auto* k = static_cast<const UserKey*>(data);
            int32_t r = k->Compare(a, b, k->KeyLength);
            return r < 0 ? -1 : (r > 0 ? 1 : 0);
        };
        d.CompareData = &u;
    } else {
        d.Compare = CompositeKeyComparer(compare_[size_t(Index)]);
        d.CompareData = &compare_[size_t(Index)];
    }
    return d;
}

int TqbSrTable::CompareKeys(int32_t Index, const uint8_t* Key1, const uint8_t* Key2) {
    if (Index == 0) {
        uint64_t a = plat::LoadLE64(Key1), b = plat::LoadLE64(Key2);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    TqbIndexData d = IndexData(Index);
    return d.Compare(Key1, Key2, d.CompareData);
}

bool TqbSrTable::BuildKey(int32_t Index, const uint8_t* Record, uint8_t* Key) {
    if (dict_.IsIndexDescUserDefined(Index)) {
        const UserKey& u = userKeys_.at(size_t(Index));
        if (!u.Build) RaiseServerError(171);
        return u.Build(Record, dict_.RecordLength(), Key, u.KeyLength) != 0;
    }
    ::BuildCompositeKey(dict_, Index, Record, Key);
    return true;
}

void TqbSrTable::BuildCompositeKey(int32_t Index, const uint8_t* Record, int32_t PartialLen,
                                   int32_t FieldCount, uint8_t* Key) {
    if (Index < 1 || Index >= dict_.IndexCount()) RaiseServerError(81, {Index});
    const TqbIndexDesc& d = dict_.IndexDesc(Index);
    if (d.KeyFieldCount == kUserDefinedKey) RaiseServerError(171);
    // Counts and lengths come from clients: they never reach past the key or the field.
    FieldCount = std::clamp(FieldCount, 0, d.KeyFieldCount);
    PartialLen = std::max(PartialLen, 0);
    if (PartialLen > 0) {
        const int32_t whole = FieldCount > 0 ? std::min(FieldCount, d.KeyFieldCount - 1) : 0;
        const TqbFieldDesc& f = dict_.FieldDesc(d.KeyFields[size_t(whole)]);
        if (!IsStringFieldType(f.FieldType)) RaiseResultCode(10000);
        PartialLen = std::min(PartialLen, std::max(f.Units, 1));
    }
    ::BuildCompositeKey(dict_, Index, Record, Key, FieldCount, PartialLen);
}

void TqbSrTable::CheckDirectKey(int32_t Index, size_t Length) {
    if (Index < 0 || Index >= dict_.IndexCount() || Length != size_t(dict_.IndexKeyLength(Index)))
        keyViolation();
}

// ---------------------------------------------------------------------------------------------
// Key navigation

bool TqbSrTable::FindKey(TqbSrTransaction* Transaction, int32_t Index, const uint8_t* Key, uint64_t& Ref,
                         int Mode, TqbKeyPath& Path, bool PartialKey) {
    TqbIndexData d = IndexData(Index);
    d.PartialKey = PartialKey;
    return IndexFindKey(d, Transaction, Key, Ref, Mode, Path);
}

void TqbSrTable::NextKey(TqbSrTransaction* Transaction, int32_t Index, TqbKeyPath& Path, uint8_t* Key,
                         uint64_t& Ref) {
    if (!IndexNextKey(IndexData(Index), Transaction, Path, Key, Ref)) RaiseResultCode(8706);
}

void TqbSrTable::PriorKey(TqbSrTransaction* Transaction, int32_t Index, TqbKeyPath& Path, uint8_t* Key,
                          uint64_t& Ref) {
    if (!IndexPriorKey(IndexData(Index), Transaction, Path, Key, Ref)) RaiseResultCode(8705);
}

void TqbSrTable::ReadNextRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, int32_t Index,
                                TqbKeyPath& Path, uint8_t* Key, uint64_t& Ref, bool NoLock, uint8_t LockMode,
                                void* Data) {
    NextKey(Transaction, Index, Path, Key, Ref);
    GetRecord(Transaction, CursorID, Ref, NoLock, false, LockMode, Data);
}

void TqbSrTable::ReadPriorRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, int32_t Index,
                                 TqbKeyPath& Path, uint8_t* Key, uint64_t& Ref, bool NoLock, uint8_t LockMode,
                                 void* Data) {
    PriorKey(Transaction, Index, Path, Key, Ref);
    GetRecord(Transaction, CursorID, Ref, NoLock, false, LockMode, Data);
}

// ---------------------------------------------------------------------------------------------
// Key maintenance

void TqbSrTable::insertKeys(TqbSrTransaction& t, uint64_t ref, const uint8_t* record, bool explicitTx) {
    // Keys are built on the stack: an undo builds them again from the same record.
    uint8_t key[kMaxKeyLength];
    int32_t reached = 0; // indexes below this one hold the record's key
    try {
        RefKey rk(ref);
        if (!IndexInsertKey(IndexData(0), &t, rk.b, ref)) keyViolation();
        reached = 1;
        if (keySink_) {
            for (int32_t i = 1; i < dict_.IndexCount(); ++i) {
                std::memset(key, 0, size_t(dict_.IndexKeyLength(i)));
                if (BuildKey(i, record, key)) keySink_(i, key, ref);
            }
            return;
        }
        for (; reached < dict_.IndexCount(); ++reached) {
            std::memset(key, 0, size_t(dict_.IndexKeyLength(reached)));
            if (!BuildKey(reached, record, key)) continue;
            if (!IndexInsertKey(IndexData(reached), &t, key, ref)) keyViolation();
        }
    } catch (...) {
        if (explicitTx)
            for (int32_t i = reached; i-- > 0;) {
                RefKey rk(ref);
                if (i > 0) {
                    std::memset(key, 0, size_t(dict_.IndexKeyLength(i)));
                    if (!BuildKey(i, record, key)) continue;
                }
                IndexDeleteKey(IndexData(i), &t, i == 0 ? rk.b : key, ref);
            }
        throw;
    }
}

void TqbSrTable::InsertKey(TqbSrTransaction& Transaction, int32_t Index, const uint8_t* Key, uint64_t Ref) {
    acquireWriteContentLock(Transaction);
    PortalReadGuard g(portal_);
    requireFiles();
    if (!IndexInsertKey(IndexData(Index), &Transaction, Key, Ref)) keyViolation();
}

void TqbSrTable::deleteKeys(TqbSrTransaction& t, uint64_t ref, const uint8_t* record) {
    RefKey rk(ref);
    if (!IndexDeleteKey(IndexData(0), &t, rk.b, ref)) {
        host_.LogError("Table " + name_ + ": record reference missing from index 0");
        keyViolation();
    }
    uint8_t key[kMaxKeyLength];
    for (int32_t i = 1; i < dict_.IndexCount(); ++i) {
        std::memset(key, 0, size_t(dict_.IndexKeyLength(i)));
        if (!BuildKey(i, record, key)) continue;
        if (!IndexDeleteKey(IndexData(i), &t, key, ref)) {
            host_.LogError("Table " + name_ + ": key missing from index " + std::to_string(i));
            keyViolation();
        }
    }
}

void TqbSrTable::insertRecord(TqbSrTransaction& t, TqbLockOwnerID cursor, uint8_t mode, uint64_t& ref,
                              const void* data, bool explicitTx, bool defaults) {
    acquireWriteContentLock(t);
    PortalReadGuard g(portal_);
    requireFiles();
    // Most records fit the stack; a larger one takes the heap.
    const size_t length = size_t(dict_.RecordLength());
    uint8_t small[4096];
    std::vector<uint8_t> large(length > sizeof small ? length : 0);
    uint8_t* rec = large.empty() ? small : large.data();
    std::memcpy(rec, data, length);
    // A required field must be given: its default value fills only optional fields.
    if (!dict_.CheckRequiredFields(rec)) RaiseResultCode(9732);
    if (defaults && dict_.DefaultFieldCount() > 0) dict_.SetDefaultFieldValues(rec);
    AssignAutoInc(&t, rec);
    uint64_t added = 0;
    DataFileAddRecord(*files_[0], &t, added, rec);
    try {
        insertKeys(t, added, rec, explicitTx);
    } catch (...) {
        if (explicitTx) {
            DataFileDeleteRecord(*files_[0], &t, added);
            ref = 0;
        }
        throw;
    }
    // The new record's lock fails only when the operation's time has run out; the insert is then
    // undone like one whose keys were refused, or its caller would be told of a record that stays.
    try {
        LockRecord(&t, cursor, added, false, mode);
    } catch (...) {
        if (explicitTx) {
            deleteKeys(t, added, rec);
            DataFileDeleteRecord(*files_[0], &t, added);
            ref = 0;
        }
        throw;
    }
    ref = added;
}

void TqbSrTable::InsertRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode,
                              uint64_t& Ref, const void* Data, bool Explicit) {
    insertRecord(Transaction, CursorID, LockMode, Ref, Data, Explicit, true);
}

void TqbSrTable::InsertRecordNoDefault(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID,
                                       uint8_t LockMode, uint64_t& Ref, const void* Data, bool Explicit) {
    insertRecord(Transaction, CursorID, LockMode, Ref, Data, Explicit, false);
}

void TqbSrTable::ModifyRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                              bool ReleaseLock, const void* NewData, bool Explicit, uint64_t DatabaseID) {
    acquireWriteContentLock(Transaction);
    PortalReadGuard g(portal_);
    requireFiles();
    const size_t len = size_t(dict_.RecordLength());
    std::vector<uint8_t> now(len), old(len);
    std::memcpy(now.data(), NewData, len);
    if (!dict_.CheckRequiredFields(now.data())) RaiseResultCode(9732);
    GetRecord(&Transaction, CursorID, Ref, false, false, lmExclusive, old.data());

    struct Change {
        int32_t Index;
        bool HadOld, HasNew;
        std::vector<uint8_t> Old, New;
        bool OldOut = false, NewIn = false;
    };
    std::vector<Change> changes;
    try {
        for (int32_t i = 1; i < dict_.IndexCount(); ++i) {
            Change c{i, false, false, std::vector<uint8_t>(size_t(dict_.IndexKeyLength(i))),
                     std::vector<uint8_t>(size_t(dict_.IndexKeyLength(i)))};
            c.HadOld = BuildKey(i, old.data(), c.Old.data());
            c.HasNew = BuildKey(i, now.data(), c.New.data());
            if (c.HadOld == c.HasNew && (!c.HadOld || CompareKeys(i, c.Old.data(), c.New.data()) == 0))
                continue;
            changes.push_back(std::move(c));
            Change& ch = changes.back();
            TqbIndexData d = IndexData(i);
            if (ch.HadOld) {
                if (!IndexDeleteKey(d, &Transaction, ch.Old.data(), Ref)) keyViolation();
                ch.OldOut = true;
            }
            if (ch.HasNew) {
                if (!IndexInsertKey(d, &Transaction, ch.New.data(), Ref)) keyViolation();
                ch.NewIn = true;
            }
        }
    } catch (...) {
        if (Explicit)
            for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
                TqbIndexData d = IndexData(it->Index);
                if (it->NewIn) IndexDeleteKey(d, &Transaction, it->New.data(), Ref);
                if (it->OldOut) IndexInsertKey(d, &Transaction, it->Old.data(), Ref);
            }
        throw;
    }
    DataFileWriteRecord(*files_[0], &Transaction, Ref, now.data());
    for (size_t i = 0; i < changes.size(); ++i)
        NotifyCursorsOfChange(DatabaseID, Ref, CursorID);
    if (ReleaseLock) UnlockRecord(&Transaction, Ref, CursorID);
}

void TqbSrTable::DeleteRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                              bool AlreadyLocked, uint64_t DatabaseID) {
    acquireWriteContentLock(Transaction);
    PortalReadGuard g(portal_);
    requireFiles();
    std::vector<uint8_t> rec(size_t(dict_.RecordLength()));
    GetRecord(&Transaction, CursorID, Ref, AlreadyLocked, false, lmExclusive, rec.data());
    deleteKeys(Transaction, Ref, rec.data());
    DeleteRecordBLOBs(&Transaction, rec.data());
    DataFileDeleteRecord(*files_[0], &Transaction, Ref);
    NotifyCursorsOfChange(DatabaseID, Ref, CursorID);
}

// ---------------------------------------------------------------------------------------------
// Index add and drop

void TqbSrTable::restoreDictionary(const TqbDataDictionary& before, const std::vector<UserKey>& keys) {
    dict_.ClearBuiltFlag();
    dict_.Assign(&before);
    dict_.SetBuiltFlag();
    userKeys_ = keys;
    bindIndexes();
}

void TqbSrTable::fillIndex(TqbSrTransaction& t, int32_t index) {
    if (dict_.IsIndexDescUserDefined(index) && !userKeys_[size_t(index)].Build) return;
    std::vector<uint8_t> rec(size_t(dict_.RecordLength())), key(size_t(dict_.IndexKeyLength(index)));
    TqbIndexData d = IndexData(index);
    uint64_t ref = 0, next = 0;
    for (;;) {
        DataFileNextRecord(*files_[0], &t, ref, rec.data(), next);
        if (next == 0) break;
        ref = next;
        if (BuildKey(index, rec.data(), key.data()) && !IndexInsertKey(d, &t, key.data(), ref))
            keyViolation();
    }
}

int32_t TqbSrTable::AddIndex(TqbSrTransaction& Transaction, const TqbIndexDesc& Desc) {
    acquireWriteContentLock(Transaction);
    PortalWriteGuard g(portal_);
    requireFiles();
    TqbServerDataDict before(dict_.BlockSize());
    before.Assign(&dict_);
    const std::vector<UserKey> keysBefore = userKeys_;
    try {
        dict_.ClearBuiltFlag();
        int32_t n;
        if (Desc.KeyFieldCount == kUserDefinedKey)
            n = dict_.AddUserIndex(Desc.Name, Desc.Description, Desc.FileNumber, Desc.KeyLength,
                                   Desc.AllowDups, Desc.IsAscending, Desc.IsCaseInsensitive);
        else
            n = dict_.AddIndex(Desc.Name, Desc.Description, Desc.FileNumber, Desc.KeyFieldCount,
                               Desc.KeyFields.data(), Desc.HelperNames.data(), Desc.AllowDups,
                               Desc.IsAscending, Desc.IsCaseInsensitive);
        dict_.SetBuiltFlag();
        bindIndexes();
        TbtdFileInfo& f = *files_.at(size_t(Desc.FileNumber));
        IndexHeaderAddIndex(f, &Transaction, n, false, Desc.AllowDups, uint32_t(dict_.IndexKeyLength(n)));
        saveDictionary(dict_, *files_[0], Transaction);
        fillIndex(Transaction, n);
        return n;
    } catch (...) {
        restoreDictionary(before, keysBefore);
        throw;
    }
}

void TqbSrTable::DropIndex(TqbSrTransaction& Transaction, int32_t Index) {
    acquireWriteContentLock(Transaction);
    PortalWriteGuard g(portal_);
    requireFiles();
    if (Index < 1 || Index >= dict_.IndexCount()) RaiseResultCode(9997);
    // Index pages carry their index's number: the later indexes are built again under their new
    // numbers rather than left with pages that name another index.
    for (int32_t i = Index; i < dict_.IndexCount(); ++i)
        IndexClear(IndexData(i), &Transaction);
    std::vector<bool> holds(files_.size(), false);
    for (int32_t i = 0; i < dict_.IndexCount(); ++i)
        holds[size_t(dict_.IndexFileNumber(i))] = true;
    TqbServerDataDict before(dict_.BlockSize());
    before.Assign(&dict_);
    const std::vector<UserKey> keysBefore = userKeys_;
    try {
        dict_.ClearBuiltFlag();
        dict_.RemoveIndex(Index);
        dict_.SetBuiltFlag();
        saveDictionary(dict_, *files_[0], Transaction);
        for (size_t f = 0; f < files_.size(); ++f)
            if (holds[f]) IndexHeaderDeleteIndex(*files_[f], &Transaction, Index);
        if (size_t(Index) < userKeys_.size()) userKeys_.erase(userKeys_.begin() + Index);
        bindIndexes();
        for (int32_t i = Index; i < dict_.IndexCount(); ++i)
            fillIndex(Transaction, i);
    } catch (...) {
        restoreDictionary(before, keysBefore);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// User-defined key routines

void TqbSrTable::unloadUserKeys() {
    for (auto& u : userKeys_)
        u.Build = nullptr, u.Compare = nullptr;
    for (void* h : libraries_)
        dlclose(h);
    libraries_.clear();
}

void TqbSrTable::ResolveUserKeyRoutines() {
    PortalWriteGuard g(portal_);
    unloadUserKeys();
    bindIndexes();
    const std::string config = CanonicalFolderPath(host_.ConfigFolder());
    for (int32_t i = 1; i < dict_.IndexCount(); ++i) {
        if (!dict_.IsIndexDescUserDefined(i)) continue;
        const std::string key = folder_->GetPath() + "\\" + name_ + ".QB2|" + std::to_string(i);
        TqbKeyProcEntry e;
        if (!host_.FindKeyProc(key, e) || config.empty()) RaiseServerError(171);
        // Code named by configuration is loaded from the configuration folder only, by full path,
        // so no search path can bring in another library.
        const std::string folder = plat::ExtractFileDir(plat::ToNativePath(e.Library));
        if (!folder.empty() && CanonicalFolderPath(folder) != config) RaiseServerError(171);
        const std::string file = plat::ExtractFileName(plat::ToNativePath(e.Library));
        if (file.empty()) RaiseServerError(171);
        void* h = dlopen(plat::JoinPath(config, file).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) RaiseServerError(171);
        auto build = reinterpret_cast<TqbUserBuildKey>(dlsym(h, e.BuildKey.c_str()));
        auto compare = reinterpret_cast<TqbUserCompareKey>(dlsym(h, e.CompareKey.c_str()));
        if (!build || !compare) {
            dlclose(h);
            RaiseServerError(171);
        }
        libraries_.push_back(h);
        userKeys_[size_t(i)].Build = build;
        userKeys_[size_t(i)].Compare = compare;
    }
}

// ---------------------------------------------------------------------------------------------
// Table list

void TqbSrTableList::Add(const TqbSrTablePtr& Table) {
    PortalWriteGuard g(portal_);
    tables_.push_back(Table);
}

bool TqbSrTableList::Remove(const TqbSrBaseTable* Table) {
    TqbSrTablePtr gone;
    PortalWriteGuard g(portal_);
    auto it = std::find_if(tables_.begin(), tables_.end(), [&](auto& t) { return t.get() == Table; });
    if (it == tables_.end()) return false;
    gone = std::move(*it);
    tables_.erase(it);
    return true;
}

int TqbSrTableList::Count() {
    PortalReadGuard g(portal_);
    return int(tables_.size());
}

TqbSrTablePtr TqbSrTableList::Items(int Index) {
    PortalReadGuard g(portal_);
    return Index >= 0 && size_t(Index) < tables_.size() ? tables_[size_t(Index)] : nullptr;
}

TqbSrTablePtr TqbSrTableList::FindByID(uint32_t TableID) {
    PortalReadGuard g(portal_);
    for (auto& t : tables_)
        if (t->TableID() == TableID) return t;
    return nullptr;
}

namespace {
bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
               return up(x) == up(y);
           });
}
} // namespace

TqbSrTablePtr TqbSrTableList::FindByName(std::string_view Name) {
    PortalReadGuard g(portal_);
    for (auto& t : tables_)
        if (sameName(t->GetName(), Name)) return t;
    return nullptr;
}

TqbSrTablePtr TqbSrTableList::FindByFolderAndName(const TqbSrFolder& Folder, std::string_view Name) {
    PortalReadGuard g(portal_);
    for (auto& t : tables_)
        if (&t->GetFolder() == &Folder && sameName(t->GetName(), Name)) return t;
    return nullptr;
}

void TqbSrTableList::freeTables(std::vector<TqbSrTablePtr>& gone) {
    for (auto& t : gone) {
        try {
            t->CloseFiles(false, nullptr);
        } catch (const std::exception& e) {
            host_.LogError(qbFormat("Exception removing unused table: %s", {e.what()}));
        }
        t.reset();
    }
}

bool TqbSrTableList::RemoveTable(const TqbSrBaseTable* Table) {
    std::vector<TqbSrTablePtr> gone;
    {
        PortalWriteGuard g(portal_);
        auto it = std::find_if(tables_.begin(), tables_.end(), [&](auto& t) { return t.get() == Table; });
        if (it == tables_.end() || !unused(**it)) return false;
        gone.push_back(std::move(*it));
        tables_.erase(it);
    }
    freeTables(gone);
    return true;
}

void TqbSrTableList::RemoveUnused() {
    std::vector<TqbSrTablePtr> gone;
    {
        PortalWriteGuard g(portal_);
        for (size_t i = tables_.size(); i-- > 0;)
            if (unused(*tables_[i])) {
                gone.push_back(std::move(tables_[i]));
                tables_.erase(tables_.begin() + ptrdiff_t(i));
            }
    }
    freeTables(gone);
}
