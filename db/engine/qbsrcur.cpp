// Server tables: files, locks, record primitives and the table list.
#include "db/engine/qbsrcur.h"
#include "db/engine/qbsrcvex.h"

#include "db/engine/qbsrswap.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbdata.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <exception>

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
      name_(ResolveTableName(folder_->GetPath(), TableName)), id_(TableIDs().Acquire()), dict_(4096),
      keySelection_(TableKeySelect(name_)) {
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
    openFiles(KeySelection);
}

void TqbSrBaseTable::openFiles(bool KeySelection) {
    closeFilesQuietly();
    // A swap of the table's files that a failure or a crash interrupted is finished (or undone)
    // before anything is read.
    if (!folder_->ReadOnly()) {
        const char phase = TqbFileSwap::Pending(folder_->GetPath(), name_);
        if (TqbFileSwap::Recover(folder_->GetPath(), name_))
            host_.LogError(qbFormat("Interrupted file swap of table %s %s at its open",
                                    {name_, std::string(phase == 'C' ? "finished" : "undone")}));
    } else if (TqbFileSwap::Pending(folder_->GetPath(), name_) == 'C')
        RaiseResultCode(10243); // a reader could see old and new files mixed until a writer settles it
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
        fileFlags_ = files_[0]->Flags;
        bindIndexes();
    } catch (...) {
        closeFilesQuietly();
        throw;
    }
}

void TqbSrBaseTable::CloseFiles(bool Commit, TqbSrTransaction* Transaction) {
    PortalWriteGuard g(portal_);
    // Changes that cannot be written keep the files open: the error goes up with nothing lost.
    if (Commit && Transaction)
        for (auto& f : files_)
            bm_.CommitFileChanges(*f, *Transaction);
    // Every file is closed whatever fails; the first failure is then raised for the caller to
    // report.
    std::exception_ptr first;
    while (!files_.empty()) {
        std::unique_ptr<TbtdFileInfo> f = std::move(files_.back());
        files_.pop_back();
        f->BLOBManager.reset();
        try {
            bm_.RemoveFile(*f);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
        try {
            if (IsFileOpen(*f)) CloseFile(*f);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
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
    if (!files_.empty()) fileFlags_ = Flags;
}

void TqbSrBaseTable::SetFileFlagBit(int Bit) {
    if (Bit < 0 || Bit > 7) return;
    PortalWriteGuard g(portal_);
    for (auto& f : files_)
        f->Flags = uint8_t(f->Flags | (1u << Bit));
    if (!files_.empty()) fileFlags_ = files_[0]->Flags;
}

void TqbSrBaseTable::BLOBListFreeSpace(bool InMemory, std::string& Stream) {
    PortalReadGuard g(portal_);
    bool first = true;
    for (size_t i = 0; i < files_.size(); ++i) {
        TbtdFileInfo* f = files_[i].get();
        // BLOB storage: the file the dictionary keeps its BLOBs in, and files made for BLOBs.
        const bool blobs = (dict_.HasBLOBFields() && int32_t(i) == dict_.BLOBFileNumber()) ||
                           (int32_t(i) < dict_.FileCount() && dict_.FileType(int32_t(i)) == qbfBLOB);
        std::shared_ptr<TqbBLOBResourceManager> m = f->BLOBManager;
        if (!blobs || !m) continue;
        if (!first) Stream += "\r\n";
        first = false;
        Stream += f->FileName + "\r\n" + std::string(f->FileName.size(), '-') + "\r\n";
        std::lock_guard lk(m->Padlock);
        m->Segments().ListFreeSpace(Stream, InMemory);
    }
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

void TqbSrBaseTable::acquireWriteContentLock(TqbSrTransaction& Transaction) {
    if (fileFlags_.load() & kFileNoContentLocking) return;
    AcquireContentLock(Transaction, lmExclusive, false);
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

bool TqbSrBaseTable::CursorHoldsRecordLock(TqbLockOwnerID CursorID, uint64_t Ref) {
    requireFiles();
    return LockManager().HoldsRecordLock(Ref, files_[0]->RecordLocks, CursorID);
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
// Building and emptying

namespace {

// The extensions of a table's files, data file first.
std::vector<std::string> fileExts(const TqbDataDictionary& d) {
    std::vector<std::string> exts{"QB2"};
    for (int32_t i = 1; i < d.FileCount(); ++i)
        exts.push_back(d.FileExt(i));
    return exts;
}

// A file without a disk file: its header lives only in the buffer manager, as block 0.
std::unique_ptr<TbtdFileInfo> makeMemoryFile(TqbBufferManager& bm, TqbSrTransaction& t,
                                             const std::string& base, const std::string& ext,
                                             const TqbDataDictionary& d, uint8_t flags, bool encrypted) {
    const std::string img = BuildTableHeader(d, encrypted);
    const auto* h = reinterpret_cast<const uint8_t*>(img.data());
    std::unique_ptr<TbtdFileInfo> f = AllocFileInfo(base, ext, &bm);
    f->Flags = flags;
    f->BlockSize = BlockWord(h, kHdrBlockSize);
    f->BlockShift = BlockWord(h, kHdrBlockShift);
    f->BlockCount = 1;
    f->RecordLength = BlockWord(h, kHdrRecordLength);
    f->SlotLength = BlockWord(h, kHdrSlotLength);
    f->Encrypted = encrypted;
    f->MaxBlockCount = kMaxBlockCount;
    f->MaxBLOBSegmentSize = GetMaxBLOBSegmentSize(*f);
    OpenFile(*f, true, 0, true, false);
    try {
        TqbBlockRelease r;
        uint8_t* b = bm.AddBlock(*f, &t, 0, r);
        std::memcpy(b, img.data(), img.size());
        r();
    } catch (...) {
        closeFileQuietly(bm, *f);
        throw;
    }
    return f;
}

} // namespace

void TqbSrBaseTable::addFile(TqbSrTransaction* Transaction, const std::string& Extension,
                             const TqbDataDictionary& Dictionary, uint8_t Flags, const std::string& Name) {
    const std::string base = plat::JoinPath(folder_->GetPath(), Name);
    const bool encrypted = Dictionary.IsEncrypted() && host_.UseEncrypt();
    std::unique_ptr<TbtdFileInfo> f;
    if (Flags & kFileNoDiskFile) {
        if (!Transaction) RaiseServerError(0);
        f = makeMemoryFile(bm_, *Transaction, base, Extension, Dictionary, Flags, encrypted);
    } else {
        const std::string name = base + "." + Extension;
        if (plat::FileExists(name)) RaiseServerError(175, {Name});
        CreateTableFile(name, Dictionary, encrypted);
        try {
            f = openTableFile(base, Extension, bm_, true, keySelection_);
        } catch (...) {
            plat::FileDelete(name);
            throw;
        }
        f->Flags = Flags;
    }
    f->KeySelect = keySelection_;
    files_.push_back(std::move(f));
}

void TqbSrBaseTable::buildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags,
                                const std::string& Name) {
    closeFilesQuietly();
    TqbServerDataDict d(Dictionary.BlockSize());
    d.Assign(&Dictionary);
    d.SetTableName(name_);
    d.SetIsEncrypted(Dictionary.IsEncrypted() && host_.UseEncrypt());
    const uint64_t db = (uint64_t(1) << 63) | NewLockOwnerID(); // a transaction of its own
    bool started = false;
    size_t made = 0;
    try {
        TqbSrTransaction* t = nullptr;
        if (int32_t rc = folder_->TransactionMgr().StartTransaction(db, false, t)) RaiseResultCode(rc);
        started = true;
        const std::vector<std::string> exts = fileExts(d);
        for (auto& e : exts) {
            addFile(t, e, d, FileFlags, Name);
            ++made;
        }
        // The files exist for good before the commit's journal names them.
        if (!(FileFlags & kFileNoDiskFile)) SyncFolder(folder_->GetPath());
        std::vector<bool> hasHeader(files_.size(), false);
        for (int32_t i = 0; i < d.IndexCount(); ++i) {
            const size_t file = size_t(d.IndexFileNumber(i));
            if (!hasHeader.at(file)) {
                IndexHeaderCreate(*files_[file], t);
                hasHeader[file] = true;
            }
            IndexHeaderAddIndex(*files_[file], t, i, i == 0, d.IndexAllowDups(i),
                                uint32_t(d.IndexKeyLength(i)));
        }
        d.SaveToTableFile(*files_[0], t);
        if (d.BLOBFileNumber() >= 0 && size_t(d.BLOBFileNumber()) < files_.size())
            BLOBResourceManager(*files_[size_t(d.BLOBFileNumber())]);
        bool nested;
        started = false;
        if (int32_t rc = folder_->TransactionMgr().Commit(db, nested)) RaiseResultCode(rc);
        d.BindIndexHelpers();
        dict_ = std::move(d);
        fileFlags_ = FileFlags;
        bindIndexes();
    } catch (...) {
        if (started) {
            bool nested;
            try {
                folder_->TransactionMgr().Rollback(db, nested);
            } catch (...) {
            }
        }
        closeFilesQuietly();
        // A commit that left its journal names these files: its recovery needs them.
        if (!(FileFlags & kFileNoDiskFile) && !folder_->TransactionMgr().Damaged()) {
            const std::vector<std::string> exts = fileExts(d);
            for (size_t i = 0; i < made && i < exts.size(); ++i)
                plat::FileDelete(plat::JoinPath(folder_->GetPath(), Name + "." + exts[i]));
        }
        throw;
    }
}

void TqbSrTable::BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) {
    PortalWriteGuard g(portal_);
    makeFiles(Dictionary, FileFlags);
}

void TqbSrBaseTable::makeFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) {
    // Files in memory have nothing for a crash to leave; a job's copy is guarded by its own swap.
    if ((FileFlags & kFileNoDiskFile) || TqbFileSwap::IsCopyName(name_)) {
        buildFiles(Dictionary, FileFlags, name_);
        return;
    }
    closeFilesQuietly();
    const std::string& folder = folder_->GetPath();
    // A make of this name cut short and not yet settled is settled first: it may leave the table.
    TqbFileSwap::Recover(folder, name_);
    if (plat::FileExists(plat::JoinPath(folder, ResolveTableName(folder, name_) + ".QB2")))
        RaiseServerError(175, {name_});
    // The files are built and committed under a name of their own and moved in whole: a crash
    // before the swap's commit leaves no table, one after it the whole table, once recovered.
    TqbFileSwap swap;
    swap.Table = name_;
    swap.OldExts = swap.NewExts = fileExts(Dictionary);
    swap.ReserveNames(folder, kMakeCopyPrefix, "_MAKESV");
    buildBeside(swap, Dictionary, FileFlags);
    try {
        swap.MoveIn(folder);
    } catch (...) {
        // Left to the next open or start to finish when it cannot be taken back.
        swap.Undo(folder);
        throw;
    }
    swap.CleanUp(folder);
    reopenFiles(FileFlags);
}

void TqbSrBaseTable::buildBeside(TqbFileSwap& Swap, const TqbDataDictionary& Dictionary, uint8_t FileFlags) {
    const std::string& folder = folder_->GetPath();
    try {
        Swap.Prepare(folder);
        buildFiles(Dictionary, FileFlags, Swap.New);
        closeFilesQuietly();
        Swap.Commit(folder);
    } catch (...) {
        closeFilesQuietly();
        // A marker left behind is discarded again by the next open or start.
        try {
            Swap.Discard(folder);
        } catch (...) {
        }
        throw;
    }
}

void TqbSrBaseTable::reopenFiles(uint8_t FileFlags) {
    openFiles(keySelection_);
    for (auto& f : files_)
        f->Flags = FileFlags;
    fileFlags_ = FileFlags;
}

void TqbSrBaseTable::EmptyFiles(TqbSrTransaction* Transaction, bool Explicit) {
    // Rows emptied this way could not come back with the client's rollback.
    if (Explicit) RaiseServerError(176, {folder_->GetPath()});
    PortalWriteGuard g(portal_);
    requireFiles();
    const uint8_t flags = files_[0]->Flags;
    TqbServerDataDict copy(dict_.BlockSize());
    copy.Assign(&dict_);
    if (Transaction)
        for (auto& f : files_)
            bm_.CommitFileChanges(*f, *Transaction);
    if (flags & kFileNoDiskFile) {
        // Nothing on disk to keep: the new files simply take the old ones' place.
        closeFilesQuietly();
        buildFiles(copy, flags, name_);
        return;
    }
    const std::string& folder = folder_->GetPath();
    // An earlier swap whose clean-up is still due goes first: this one takes its marker's place.
    TqbFileSwap::Recover(folder, name_);
    TqbFileSwap swap;
    swap.Table = name_;
    swap.OldExts = swap.NewExts = fileExts(copy);
    swap.ReserveNames(folder, kEmptyCopyPrefix, "_EMPTSV");
    closeFilesQuietly();
    // Opens the table again on whatever files it has now, with its flag byte.
    auto reopen = [&] { reopenFiles(flags); };
    // The empty files are built beside the table first; a failure up to the commit of the swap
    // leaves the table as it was.
    try {
        buildBeside(swap, copy, flags);
    } catch (...) {
        try {
            reopen();
        } catch (...) {
        }
        throw;
    }
    try {
        swap.MoveIn(folder);
    } catch (...) {
        // The old files come back when they can; else the swap stays for the next open or the
        // folder's start-up to finish, and the table stays closed until then.
        if (swap.Undo(folder)) {
            try {
                reopen();
            } catch (...) {
            }
        }
        throw;
    }
    swap.CleanUp(folder);
    reopen();
}
