// Server tables: files, locks, record primitives and the table list.
#include "db/engine/qbsrcur.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbdata.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>

namespace {

[[noreturn]] void raiseCode(int32_t code) {
    throw EqbServerException(CompatErrorStrings().GetText(code), code);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Identities and names

uint32_t TqbSrTableIDs::Acquire() {
    std::lock_guard lk(m_);
    for (;;) {
        uint32_t id = next_++;
        if (id != 0 && live_.insert(id).second) return id;
    }
}

void TqbSrTableIDs::Release(uint32_t ID) {
    std::lock_guard lk(m_);
    live_.erase(ID);
}

TqbSrTableIDs& TableIDs() {
    static TqbSrTableIDs ids;
    return ids;
}

std::string ResolveTableName(const std::string& Folder, std::string_view Name) {
    std::string path = plat::ResolveCaseInsensitive(Folder, std::string(Name) + ".QB2");
    std::string file = plat::ExtractFileName(path);
    return file.size() == Name.size() + 4 ? file.substr(0, Name.size()) : std::string(Name);
}

// ---------------------------------------------------------------------------------------------
// Base table

TqbSrBaseTable::TqbSrBaseTable(TqbSrTableHost& Host, TqbBufferManager& BufferManager, TqbSrFolderPtr Folder,
                               std::string_view TableName)
    : host_(Host), bm_(BufferManager), folder_(std::move(Folder)),
      name_(ResolveTableName(folder_->GetPath(), TableName)), id_(TableIDs().Acquire()), dict_(4096) {
    dict_.SetTableName(name_);
}

TqbSrBaseTable::~TqbSrBaseTable() {
    closeFilesQuietly();
    TableIDs().Release(id_);
}

TbtdFileInfo* TqbSrBaseTable::GetFile(int32_t File) const {
    return File >= 0 && File < GetFileCount() ? files_[size_t(File)].get() : nullptr;
}

void TqbSrBaseTable::DecUseCount() {
    int32_t n = useCount_.load();
    while (n > 0 && !useCount_.compare_exchange_weak(n, n - 1)) {
    }
}

void TqbSrBaseTable::requireFiles() const {
    if (files_.empty()) RaiseServerError(0);
}

namespace {

// Out of the buffer manager and closed, whatever fails: used where an error is already on its way.
void closeFileQuietly(TqbBufferManager& bm, TbtdFileInfo& f) {
    f.BLOBManager.reset();
    try {
        bm.RemoveFile(f);
    } catch (...) {
    }
    try {
        if (IsFileOpen(f)) CloseFile(f);
    } catch (...) {
    }
}

// One file of the table opened and known to the buffer manager, or nothing open on failure.
std::unique_ptr<TbtdFileInfo> openTableFile(const std::string& base, const std::string& ext,
                                            TqbBufferManager& bm, bool readWrite, bool keySelection) {
    std::unique_ptr<TbtdFileInfo> f = AllocFileInfo(base, ext, &bm);
    f->KeySelect = keySelection;
    OpenFile(*f, readWrite, 0, false, false);
    try {
        DataFileOpen(*f);
    } catch (...) {
        closeFileQuietly(bm, *f);
        throw;
    }
    return f;
}

} // namespace

void TqbSrBaseTable::closeFilesQuietly() {
    while (!files_.empty()) {
        std::unique_ptr<TbtdFileInfo> f = std::move(files_.back());
        files_.pop_back();
        closeFileQuietly(bm_, *f);
    }
}

void TqbSrBaseTable::OpenFiles(bool KeySelection) {
    PortalWriteGuard g(portal_);
    closeFilesQuietly();
    const std::string base = plat::JoinPath(folder_->GetPath(), name_);
    const bool rw = !folder_->ReadOnly();
    try {
        files_.push_back(openTableFile(base, "QB2", bm_, rw, KeySelection));
        TqbServerDataDict d(4096);
        d.LoadFromTableFile(*files_[0], nullptr);
        d.SetTableName(name_);
        d.BindIndexHelpers();
        for (int32_t i = 1; i < d.FileCount(); ++i)
            files_.push_back(openTableFile(base, d.FileExt(i), bm_, rw, KeySelection));
        BLOBResourceManager(*files_[size_t(d.BLOBFileNumber())]);
        dict_ = std::move(d);
        keySelection_ = KeySelection;
        bindIndexes();
    } catch (...) {
        closeFilesQuietly();
        throw;
    }
}

void TqbSrBaseTable::CloseFiles(bool Commit, TqbSrTransaction* Transaction) {
    PortalWriteGuard g(portal_);
    if (Commit && Transaction)
        for (auto& f : files_)
            bm_.CommitFileChanges(*f, *Transaction);
    closeFilesQuietly();
}

void TqbSrBaseTable::CommitChanges(TqbSrTransaction& Transaction) {
    PortalReadGuard g(portal_);
    for (auto& f : files_)
        bm_.CommitFileChanges(*f, Transaction);
}

void TqbSrBaseTable::SetFileFlags(uint8_t Flags) {
    PortalWriteGuard g(portal_);
    for (auto& f : files_)
        f->Flags = Flags;
}

void TqbSrBaseTable::SetFileFlagBit(int Bit) {
    if (Bit < 0 || Bit > 7) return;
    PortalWriteGuard g(portal_);
    for (auto& f : files_)
        f->Flags = uint8_t(f->Flags | (1u << Bit));
}

void TqbSrBaseTable::SetOwnerCursor(TqbLockOwnerID Cursor) {
    PortalWriteGuard g(portal_);
    for (auto& f : files_)
        f->OwnerCursor = Cursor;
}

void TqbSrBaseTable::EndCommit(uint64_t DatabaseID) {
    ResetOtherCursors(DatabaseID);
    EndWrite();
}

// ---------------------------------------------------------------------------------------------
// Locks

void TqbSrBaseTable::AcquireCursorContentLock(TqbLockOwnerID CursorID, uint8_t Mode) {
    requireFiles();
    std::shared_ptr<TqbRecordLockHash> records = files_[0]->RecordLocks.Hash(false);
    if (records && records->Count() > 0)
        RaiseServerError(188,
                         {LockModeToText(lmExclusive), ContentLockResourceText(name_), files_[0]->FileName});
    uint32_t timeout = ThreadLockTimeout();
    CheckTableLockResult(LockManager().AcquireCursorContentLock(cursorContent_, CursorID, Mode, timeout),
                         Mode, ContentLockResourceText(name_));
}

void TqbSrBaseTable::AcquireContentLock(TqbSrTransaction& Transaction, uint8_t Mode, bool Conditional) {
    TqbTransContainer* tc = Transaction.TransContainer();
    const uint8_t held = tc ? tc->GetContentLockMode(&transContent_) : uint8_t(lmNone);
    if (held != lmNone && LockModeCovers(held, Mode)) return;
    uint32_t timeout = ThreadLockTimeout();
    if (held == lmShare && Mode == lmExclusive && transContent_.GrantedEntries().size() > 1 &&
        transContent_.HasDeadlock())
        RaiseLockDeadlock(Mode, ContentLockResourceText(name_), int32_t(Transaction.TransactionID()));
    CheckTableLockResult(LockManager().AcquireContentLock(transContent_, dynamic_cast<TqbSrTable*>(this),
                                                          Mode, timeout, Conditional, Transaction),
                         Mode, ContentLockResourceText(name_));
}

int32_t TqbSrBaseTable::AcquireContentLockNoWait(TqbSrTransaction& Transaction) {
    try {
        TqbLockResult r = LockManager().AcquireContentLock(transContent_, dynamic_cast<TqbSrTable*>(this),
                                                           lmExclusive, 0, true, Transaction);
        return r == lrGranted ? 0 : (r == lrTimedOut ? 187 : 188);
    } catch (...) {
        return 15520;
    }
}

void TqbSrBaseTable::AcquireTableLock(TqbLockOwnerID CursorID, uint8_t Mode) {
    uint32_t timeout = ThreadLockTimeout();
    CheckTableLockResult(LockManager().AcquireTableLock(id_, Mode, CursorID, timeout, false), Mode,
                         TableLockResourceText(name_));
}

bool TqbSrBaseTable::HasCursorContentLock(TqbLockOwnerID CursorID) {
    return LockManager().HasCursorContentLock(cursorContent_, CursorID);
}

bool TqbSrBaseTable::HasContentLock(TqbSrTransaction& Transaction) {
    return LockManager().HasContentLock(transContent_, Transaction);
}

bool TqbSrBaseTable::HasTableLock(TqbLockOwnerID CursorID, uint8_t Mode) {
    return Mode == lmNone || LockManager().HasTableLock(id_, CursorID, Mode);
}

void TqbSrBaseTable::ReleaseCursorContentLock(TqbLockOwnerID CursorID, bool All) {
    if (All)
        LockManager().ReleaseCursorContentLockAll(cursorContent_, CursorID);
    else
        LockManager().ReleaseCursorContentLock(cursorContent_, CursorID);
}

void TqbSrBaseTable::ReleaseContentLock(TqbSrTransaction& Transaction) {
    LockManager().ReleaseContentLock(transContent_, Transaction);
}

void TqbSrBaseTable::ReleaseTableLock(TqbLockOwnerID CursorID, bool All) {
    if (All)
        LockManager().ReleaseTableLockAll(id_, CursorID);
    else
        LockManager().ReleaseTableLock(id_, CursorID);
}

// ---------------------------------------------------------------------------------------------
// Records

namespace {
TqbLockOwnerID ownerOf(TqbSrTransaction* t, TqbLockOwnerID cursor) {
    return t ? t->LockOwnerID : cursor;
}
} // namespace

void TqbSrBaseTable::LockRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                                bool Conditional, uint8_t LockMode) {
    requireFiles();
    ::LockRecord(*files_[0], LockManager(), Transaction, Ref, Conditional, CursorID,
                 ownerOf(Transaction, CursorID), LockMode);
}

void TqbSrBaseTable::GetRecord(TqbSrTransaction* Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                               bool NoLock, bool Conditional, uint8_t LockMode, void* Data) {
    if (!NoLock) LockRecord(Transaction, CursorID, Ref, Conditional, LockMode);
    if (Data) ReadRecordUnlocked(Transaction, Ref, Data);
}

void TqbSrBaseTable::ReadRecordUnlocked(TqbSrTransaction* Transaction, uint64_t Ref, void* Data) {
    requireFiles();
    DataFileReadRecord(*files_[0], Transaction, Ref, Data);
}

bool TqbSrBaseTable::IsRecordLocked(uint64_t Ref) {
    requireFiles();
    return LockManager().IsRecordLocked(Ref, files_[0]->RecordLocks);
}

void TqbSrBaseTable::RelaxRecordLock(TqbLockOwnerID CursorID, uint64_t Ref, TqbSrTransaction* Transaction) {
    requireFiles();
    RelaxRecord(*files_[0], LockManager(), Ref, CursorID, ownerOf(Transaction, CursorID));
}

void TqbSrBaseTable::UnlockRecord(TqbSrTransaction* Transaction, uint64_t Ref, TqbLockOwnerID CursorID) {
    requireFiles();
    ::UnlockRecord(*files_[0], LockManager(), Transaction, Ref, CursorID, ownerOf(Transaction, CursorID));
}

void TqbSrBaseTable::UnlockCursorRecord(TqbLockOwnerID CursorID, uint64_t Ref,
                                        TqbSrTransaction* Transaction) {
    UnlockRecord(Transaction, Ref, CursorID);
}

void TqbSrBaseTable::GetNextRecord(TqbSrTransaction* Transaction, uint64_t Ref, void* Data,
                                   uint64_t& NextRef) {
    requireFiles();
    DataFileNextRecord(*files_[0], Transaction, Ref, Data, NextRef);
}

void TqbSrBaseTable::GetPriorRecord(TqbSrTransaction* Transaction, uint64_t Ref, void* Data,
                                    uint64_t& PriorRef) {
    requireFiles();
    DataFilePriorRecord(*files_[0], Transaction, Ref, Data, PriorRef);
}

void TqbSrBaseTable::AssignAutoInc(TqbSrTransaction* Transaction, uint8_t* Record) {
    int32_t field;
    if (!dict_.HasAutoIncField(field)) return;
    uint32_t v = 0;
    if (!dict_.IsRecordFieldNull(field, Record)) v = plat::LoadLE32(Record + dict_.FieldOffset(field));
    if (v != 0) return;
    uint8_t b[4];
    plat::StoreLE32(b, DataFileNextAutoInc(*files_[0], Transaction));
    dict_.SetRecordField(field, Record, b);
}

void TqbSrBaseTable::DeleteRecordBLOBs(TqbSrTransaction* Transaction, const uint8_t* Record) {
    if (!dict_.HasBLOBFields()) return;
    TbtdFileInfo& blobFile = *files_[size_t(dict_.BLOBFileNumber())];
    for (int32_t i = 0; i < dict_.FieldCount(); ++i) {
        if (!IsBLOBFieldType(dict_.FieldType(i)) || dict_.IsRecordFieldNull(i, Record)) continue;
        uint64_t nr = plat::LoadLE64(Record + dict_.FieldOffset(i));
        if (uint32_t(nr) != 0xFFFFFFFFu) TableBLOBDelete(blobFile, Transaction, nr);
    }
}

void TqbSrBaseTable::NotifyCursorsOfChange(uint64_t DatabaseID, uint64_t Ref, TqbLockOwnerID ChangedBy) {
    for (auto& o : cursors_.Snapshot()) {
        auto* c = dynamic_cast<TqbSrTableCursor*>(o.get());
        if (!c || c->CursorID() == ChangedBy || c->DatabaseID() != DatabaseID) continue;
        std::lock_guard lk(c->KeyPathLock());
        c->NotifyRecordChanged(Ref);
    }
}

void TqbSrBaseTable::ResetOtherCursors(uint64_t DatabaseID) {
    // Never the cursor's client padlock: that client may hold it while it waits for this table's
    // portal, which the commit holds.
    for (auto& o : cursors_.Snapshot()) {
        auto* c = dynamic_cast<TqbSrTableCursor*>(o.get());
        if (!c || c->DatabaseID() == DatabaseID) continue;
        std::lock_guard lk(c->KeyPathLock());
        c->ClearKeyPath();
    }
}

// ---------------------------------------------------------------------------------------------
// Emptying

namespace {

// Creates a table's files from a dictionary under base (no extension): the data file with its
// dictionary stream, every further file, and the index headers with one entry per index. On
// failure the files made are deleted again.
void buildTableFiles(TqbBufferManager& bm, TqbSrFolder& folder, const std::string& base,
                     const TqbDataDictionary& dictionary, bool encrypted, bool keySelection) {
    std::vector<std::string> made;
    std::vector<std::unique_ptr<TbtdFileInfo>> files;
    const uint64_t db = (uint64_t(1) << 63) | NewLockOwnerID(); // a transaction of its own
    bool started = false;
    auto cleanup = [&] {
        if (started) {
            bool nested;
            try {
                folder.TransactionMgr().Rollback(db, nested);
            } catch (...) {
            }
        }
        for (auto it = files.rbegin(); it != files.rend(); ++it)
            closeFileQuietly(bm, **it);
        files.clear();
    };
    try {
        TqbServerDataDict d(dictionary.BlockSize());
        d.Assign(&dictionary);
        d.SetTableName(plat::ExtractFileName(base));
        d.SetIsEncrypted(encrypted);
        for (int32_t i = 0; i < d.FileCount(); ++i) {
            std::string name = base + "." + (i == 0 ? std::string("QB2") : d.FileExt(i));
            if (plat::FileExists(name)) RaiseServerError(175, {plat::ExtractFileName(base)});
            CreateTableFile(name, d, encrypted);
            made.push_back(name);
            files.push_back(
                openTableFile(base, i == 0 ? std::string("QB2") : d.FileExt(i), bm, true, keySelection));
        }
        TqbSrTransaction* t = nullptr;
        if (int32_t rc = folder.TransactionMgr().StartTransaction(db, false, t)) raiseCode(rc);
        started = true;
        std::vector<bool> hasHeader(size_t(d.FileCount()), false);
        for (int32_t i = 0; i < d.IndexCount(); ++i) {
            TbtdFileInfo& f = *files[size_t(d.IndexFileNumber(i))];
            if (!hasHeader[size_t(d.IndexFileNumber(i))]) {
                IndexHeaderCreate(f, t);
                hasHeader[size_t(d.IndexFileNumber(i))] = true;
            }
            IndexHeaderAddIndex(f, t, i, i == 0, d.IndexAllowDups(i), uint32_t(d.IndexKeyLength(i)));
        }
        d.SaveToTableFile(*files[0], t);
        bool nested;
        started = false;
        folder.TransactionMgr().Commit(db, nested);
        cleanup();
    } catch (...) {
        cleanup();
        for (auto& n : made)
            plat::FileDelete(n);
        throw;
    }
}

} // namespace

void TqbSrTable::BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) {
    (void)FileFlags;
    buildTableFiles(bm_, *folder_, plat::JoinPath(folder_->GetPath(), name_), Dictionary,
                    Dictionary.IsEncrypted() && host_.UseEncrypt(), keySelection_);
}

void TqbSrBaseTable::EmptyFiles(TqbSrTransaction* Transaction, bool Explicit) {
    // Rows emptied this way could not come back with the client's rollback.
    if (Explicit) RaiseServerError(176, {folder_->GetPath()});
    requireFiles();
    PortalWriteGuard g(portal_);
    const uint8_t flags = files_[0]->Flags;
    TqbServerDataDict copy(dict_.BlockSize());
    copy.Assign(&dict_);
    std::vector<std::string> exts{"QB2"};
    for (int32_t i = 1; i < copy.FileCount(); ++i)
        exts.push_back(copy.FileExt(i));
    // The empty files are built beside the table first, so a failure leaves the table as it was.
    std::string tmp;
    for (int n = 1;; ++n) {
        tmp = "_EMPT" + std::to_string(n);
        if (!plat::FileExists(plat::JoinPath(folder_->GetPath(), tmp + ".QB2"))) break;
    }
    const std::string tmpBase = plat::JoinPath(folder_->GetPath(), tmp);
    buildTableFiles(bm_, *folder_, tmpBase, copy, copy.IsEncrypted(), keySelection_);
    if (Transaction)
        for (auto& f : files_)
            bm_.CommitFileChanges(*f, *Transaction);
    closeFilesQuietly();
    const std::string base = plat::JoinPath(folder_->GetPath(), name_);
    for (auto& e : exts)
        if (int err = plat::FileRename(tmpBase + "." + e, base + "." + e, true))
            RaiseServerError(9, {base + "." + e, err, plat::FileErrorText(err)});
    SyncFolder(folder_->GetPath());
    OpenFiles(keySelection_);
    for (auto& f : files_)
        f->Flags = flags;
}
