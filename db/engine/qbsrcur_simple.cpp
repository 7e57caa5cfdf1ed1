// The simple table and cursor (record order only, reference bookmarks) and the merge sort's run
// tables built on them.
#include "db/engine/qbsrcur_simple.h"
#include "db/engine/qbsrcvex.h"

#include "db/base/qbhash.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbdict.h"
#include "platform/ByteCodec.h"
#include "platform/Paths.h"

#include <cstring>
#include <limits>

namespace {

// Bookmark layout.
constexpr size_t kBmChecksum = 0, kBmState = 8, kBmKeyValid = 9, kBmRef = 12;

uint32_t bookmarkChecksum(const uint8_t* b) {
    return HashBytes(b + 4, kSimpleBookmarkSize - 4);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Table

void TqbSrSimpleTable::BuildFiles(const TqbDataDictionary& Dictionary, uint8_t FileFlags) {
    for (int32_t i = 1; i < Dictionary.FileCount(); ++i)
        if (Dictionary.FileType(i) == qbfIndex) RaiseServerError(192, {name_, "TqbSrSimpleTable"});
    PortalWriteGuard g(portal_);
    closeFilesQuietly();
    const bool onDisk = (FileFlags & kFileNoDiskFile) == 0;
    const bool encrypted = Dictionary.IsEncrypted() && host_.UseEncrypt();
    const std::string base = plat::JoinPath(folder_->GetPath(), name_);
    TqbServerDataDict d(Dictionary.BlockSize());
    d.Assign(&Dictionary);
    d.SetTableName(name_);
    d.SetIsEncrypted(encrypted);
    const std::string header = BuildTableHeader(d, encrypted);
    const uint64_t db = (uint64_t(1) << 63) | NewLockOwnerID(); // a transaction of its own
    TqbSrTransactionMgr& tm = folder_->TransactionMgr();
    TqbSrTransaction* t = nullptr;
    std::vector<std::string> made;
    try {
        for (int32_t i = 0; i < d.FileCount(); ++i) {
            const std::string ext = i == 0 ? std::string("QB2") : d.FileExt(i);
            if (onDisk) {
                if (plat::FileExists(base + "." + ext)) RaiseServerError(175, {name_});
                CreateTableFile(base + "." + ext, d, encrypted);
                made.push_back(base + "." + ext);
            }
            files_.push_back(AllocFileInfo(base, ext, &bm_));
            TbtdFileInfo& f = *files_.back();
            f.Flags = FileFlags;
            f.KeySelect = keySelection_;
            OpenFile(f, true, 0, false, false);
            if (onDisk) {
                DataFileOpen(f);
                continue;
            }
            const auto* h = reinterpret_cast<const uint8_t*>(header.data());
            f.BlockSize = d.BlockSize();
            f.BlockShift = BlockSizeToShift(f.BlockSize);
            f.BlockCount = 1;
            f.Encrypted = encrypted;
            f.RecordLength = BlockWord(h, kHdrRecordLength);
            f.SlotLength = BlockWord(h, kHdrSlotLength);
            f.Version = BlockWord(h, kHdrVersion);
            f.MaxBlockCount = kMaxBlockCount;
            f.MaxBLOBSegmentSize = GetMaxBLOBSegmentSize(f);
            if (!t)
                if (int32_t rc = tm.StartTransaction(db, false, t)) RaiseResultCode(rc);
            TqbBlockRelease r;
            uint8_t* b = bm_.AddBlock(f, t, 0, r);
            std::memcpy(b, header.data(), header.size());
            r();
        }
        if (!t)
            if (int32_t rc = tm.StartTransaction(db, false, t)) RaiseResultCode(rc);
        d.SaveToTableFile(*files_[0], t);
        bool nested;
        t = nullptr;
        if (int32_t rc = tm.Commit(db, nested)) RaiseResultCode(rc);
        if (!onDisk)
            for (auto& f : files_)
                DataFileOpen(*f);
        d.BindIndexHelpers();
        BLOBResourceManager(*files_[size_t(d.BLOBFileNumber())]);
        dict_ = std::move(d);
    } catch (...) {
        if (t) {
            bool nested;
            try {
                tm.Rollback(db, nested);
            } catch (...) {
            }
        }
        closeFilesQuietly();
        for (auto& n : made)
            plat::FileDelete(n);
        throw;
    }
}

void TqbSrSimpleTable::lockContent(TqbSrTransaction& t) {
    requireFiles();
    if ((files_[0]->Flags & kFileNoContentLocking) == 0) AcquireContentLock(t, lmExclusive, false);
}

void TqbSrSimpleTable::insert(TqbSrTransaction& t, TqbLockOwnerID cursor, uint8_t mode, uint64_t& ref,
                              const void* data, bool defaults) {
    lockContent(t);
    PortalReadGuard g(portal_);
    requireFiles();
    std::vector<uint8_t> rec(size_t(dict_.RecordLength()));
    std::memcpy(rec.data(), data, rec.size());
    if (defaults && dict_.DefaultFieldCount() > 0) dict_.SetDefaultFieldValues(rec.data());
    if (!dict_.CheckRequiredFields(rec.data())) RaiseResultCode(9732);
    AssignAutoInc(&t, rec.data());
    DataFileAddRecord(*files_[0], &t, ref, rec.data());
    if (mode == lmNone) return;
    // The new record's lock fails only when the operation's time has run out: the record goes
    // again, or its caller would be told of a failed insert that stays.
    try {
        LockRecord(&t, cursor, ref, false, mode);
    } catch (...) {
        DataFileDeleteRecord(*files_[0], &t, ref);
        ref = 0;
        throw;
    }
}

void TqbSrSimpleTable::InsertRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint8_t LockMode,
                                    uint64_t& Ref, const void* Data, bool Explicit) {
    (void)Explicit; // no keys: nothing partial to undo
    insert(Transaction, CursorID, LockMode, Ref, Data, true);
}

void TqbSrSimpleTable::InsertRecordNoDefault(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID,
                                             uint8_t LockMode, uint64_t& Ref, const void* Data,
                                             bool Explicit) {
    (void)Explicit;
    insert(Transaction, CursorID, LockMode, Ref, Data, false);
}

void TqbSrSimpleTable::ModifyRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                                    bool ReleaseLock, const void* NewData, bool Explicit,
                                    uint64_t DatabaseID) {
    (void)Explicit;
    (void)DatabaseID;
    lockContent(Transaction);
    PortalReadGuard g(portal_);
    requireFiles();
    if (!dict_.CheckRequiredFields(static_cast<const uint8_t*>(NewData))) RaiseResultCode(9732);
    std::vector<uint8_t> old(size_t(dict_.RecordLength()));
    GetRecord(&Transaction, CursorID, Ref, false, false, lmExclusive, old.data());
    DataFileWriteRecord(*files_[0], &Transaction, Ref, NewData);
    if (ReleaseLock) UnlockRecord(&Transaction, Ref, CursorID);
}

void TqbSrSimpleTable::DeleteRecord(TqbSrTransaction& Transaction, TqbLockOwnerID CursorID, uint64_t Ref,
                                    bool AlreadyLocked, uint64_t DatabaseID) {
    lockContent(Transaction);
    PortalReadGuard g(portal_);
    requireFiles();
    std::vector<uint8_t> rec(size_t(dict_.RecordLength()));
    GetRecord(&Transaction, CursorID, Ref, AlreadyLocked, false, lmExclusive, rec.data());
    DeleteRecordBLOBs(&Transaction, rec.data());
    DataFileDeleteRecord(*files_[0], &Transaction, Ref);
    NotifyCursorsOfChange(DatabaseID, Ref, CursorID);
}

// ---------------------------------------------------------------------------------------------
// Cursor

TqbSrSimpleCursor::TqbSrSimpleCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database)
    : TqbSrBaseCursor(Host, Timeout, Database) {}

TqbSrSimpleCursor::~TqbSrSimpleCursor() {
    try {
        if (table_) table_->ReleaseTableLock(id_, true);
    } catch (...) {
    }
}

TqbSrTablePtr TqbSrSimpleCursor::NewTable(const std::string& TableName) {
    return std::make_shared<TqbSrSimpleTable>(host_, host_.BufferManager(), database_.FolderPtr(), TableName);
}

void TqbSrSimpleCursor::noIndexes() {
    RaiseServerError(192, {table_ ? table_->GetName() : std::string(), "TqbSrSimpleCursor"});
}

void TqbSrSimpleCursor::noRanges() {
    RaiseServerError(194, {table_ ? table_->GetName() : std::string(), "TqbSrSimpleCursor"});
}

void TqbSrSimpleCursor::Open(const std::string& TableName, const std::string& IndexName, int32_t IndexID,
                             bool ReadWrite, uint8_t ShareMode, bool KeySelection, bool ExclContentLock,
                             bool OpenFlag) {
    TqbSrBaseCursor::Open(TableName, IndexName, IndexID, ReadWrite, ShareMode, KeySelection, ExclContentLock,
                          OpenFlag);
    SetToBegin();
}

void TqbSrSimpleCursor::OpenTableFiles(const std::string& TableName, bool OpenFlag, bool KeySelection,
                                       uint8_t ShareMode, bool ReadWrite) {
    TqbSrBaseCursor::OpenTableFiles(TableName, OpenFlag, KeySelection, ShareMode, ReadWrite);
    const TqbDataDictionary& d = table_->GetDictionary();
    bool refused = false;
    for (int32_t i = 1; i < d.FileCount(); ++i)
        refused = refused || d.FileType(i) == qbfIndex;
    // Writes through a table without keys would leave the indexes behind the records.
    refused = refused || (ReadWrite && d.IndexCount() > 1);
    if (refused) {
        TqbSrTablePtr t = std::move(table_);
        t->CloseFiles(false, nullptr);
        RaiseServerError(192, {t->GetName(), "TqbSrSimpleCursor"});
    }
}

void TqbSrSimpleCursor::ResolveIndex(TqbSrBaseTable& Table, const std::string& IndexName, bool ReadWrite,
                                     int32_t& IndexID) {
    (void)IndexName;
    IndexID = 0;
    TbtdFileInfo* f = Table.GetFile(0);
    if (ReadWrite && f && !f->ReadWrite) RaiseServerError(163, {Table.GetName()});
}

int32_t TqbSrSimpleCursor::TableAddIndex(const TqbIndexDesc&) {
    noIndexes();
}
int32_t TqbSrSimpleCursor::IndexEmpty() {
    noIndexes();
}
int32_t TqbSrSimpleCursor::TableDropIndex(const std::string&, int32_t) {
    noIndexes();
}
int32_t TqbSrSimpleCursor::RecordExtractKey(const uint8_t*, uint8_t*) {
    noIndexes();
}
int32_t TqbSrSimpleCursor::RecordGetForKey(bool, int32_t, int32_t, const uint8_t*, uint8_t*, bool) {
    noIndexes();
}
int32_t TqbSrSimpleCursor::SetToKey(int, bool, int32_t, int32_t, const uint8_t*) {
    noIndexes();
}
int32_t TqbSrSimpleCursor::SwitchToIndex(int32_t, bool) {
    noIndexes();
}
int TqbSrSimpleCursor::CompareKeyToRange(const uint8_t*) {
    noRanges();
}
int32_t TqbSrSimpleCursor::ResetRange() {
    noRanges();
}
int32_t TqbSrSimpleCursor::SetRange(bool, int32_t, int32_t, const uint8_t*, bool, int32_t, int32_t,
                                    const uint8_t*, bool) {
    noRanges();
}

// Bookmarks ---------------------------------------------------------------------------------

int32_t TqbSrSimpleCursor::CheckBookmark(const uint8_t* b, size_t Size) {
    if (!b || Size != kSimpleBookmarkSize) return 10021;
    if (plat::LoadLE32(b + kBmChecksum) != bookmarkChecksum(b)) return 10021;
    // The bytes the cursor never sets, and a state it never has, mark a foreign block.
    if (plat::LoadLE32(b + 4) != 0 || b[10] != 0 || b[11] != 0 || plat::LoadLE32(b + 20) != 0 ||
        b[kBmState] > csOnRecord || b[kBmKeyValid] > 1)
        return 10021;
    return 0;
}

int32_t TqbSrSimpleCursor::GetBookmark(uint8_t* b) {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    std::memset(b, 0, kSimpleBookmarkSize);
    b[kBmState] = pos_.State;
    b[kBmKeyValid] = pos_.KeyValid ? 1 : 0;
    plat::StoreLE64(b + kBmRef, pos_.Ref);
    plat::StoreLE32(b + kBmChecksum, bookmarkChecksum(b));
    return 0;
}

int32_t TqbSrSimpleCursor::CompareBookmarks(const uint8_t* b1, size_t Size1, const uint8_t* b2, size_t Size2,
                                            int32_t& Result) {
    if (int32_t rc = CheckBookmark(b1, Size1)) return rc;
    if (int32_t rc = CheckBookmark(b2, Size2)) return rc;
    // An unknown position counts as before the first record, so the order stays antisymmetric.
    auto rank = [](uint8_t s) { return s == csUnknown || s == csBOF ? 0 : s == csEOF ? 2 : 1; };
    const int r1 = rank(b1[kBmState]), r2 = rank(b2[kBmState]);
    if (r1 != r2) {
        Result = r1 < r2 ? -1 : 1;
        return 0;
    }
    const uint64_t ref1 = plat::LoadLE64(b1 + kBmRef), ref2 = plat::LoadLE64(b2 + kBmRef);
    Result = r1 != 1 || ref1 == ref2 ? 0 : ref1 < ref2 ? -1 : 1;
    return 0;
}

int32_t TqbSrSimpleCursor::SetToBookmark(const uint8_t* b, size_t Size) {
    if (int32_t rc = CheckBookmark(b, Size)) return rc;
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    pos_.State = b[kBmState];
    pos_.Ref = plat::LoadLE64(b + kBmRef);
    pos_.KeyValid = b[kBmKeyValid] != 0;
    pos_.Deleted = false;
    if (pos_.State == csUnknown || pos_.State == csBOF || pos_.State == csEOF || pos_.Ref == 0) {
        // Nothing to read at either end.
        if (pos_.State != csEOF) pos_.State = csBOF;
        pos_.Ref = 0;
        pos_.KeyValid = false;
        return 0;
    }
    try {
        table_->GetRecord(database_.Transaction(), id_, pos_.Ref, true, false, lmNone, record_.data());
    } catch (const EqbException&) {
        // The record went: the cursor stands in its gap.
        pos_.State = csBetween;
        pos_.Deleted = true;
        pos_.KeyValid = false;
    }
    return 0;
}

int32_t TqbSrSimpleCursor::SetToCursor(TqbSrBaseCursor& Source) {
    if (Source.Table() != table_.get()) return 10020;
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    pos_ = Source.Position();
    return 0;
}

int32_t TqbSrSimpleCursor::Clone(bool ReadWrite, std::shared_ptr<TqbSrBaseCursor>& Cursor) {
    auto c = std::make_shared<TqbSrSimpleCursor>(host_, Timeout(), database_);
    c->Open(table_->GetName(), "", 0, ReadWrite && readWrite_, qbsmShared, table_->GetKeySelection(), false,
            false);
    c->pos_ = pos_;
    if (filter_) {
        const auto& e = filter_->Expression();
        c->SetFilter(e.data(), e.size(), filter_->Timeout());
    }
    Cursor = std::move(c);
    return 0;
}

// Moves ---------------------------------------------------------------------------------------

void TqbSrSimpleCursor::setEnd(uint8_t state) {
    pos_.State = state;
    pos_.Ref = 0;
    pos_.Deleted = false;
    pos_.KeyValid = false;
}

int32_t TqbSrSimpleCursor::SetToBegin() {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    setEnd(csBOF);
    return 0;
}

int32_t TqbSrSimpleCursor::SetToEnd() {
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    setEnd(csEOF);
    return 0;
}

int32_t TqbSrSimpleCursor::step(uint8_t* record, uint8_t lockMode, bool forward) {
    if (forward && pos_.State == csEOF) return 8706;
    if (!forward && pos_.State == csBOF) return 8705;
    TqbSrTransaction* t = database_.Transaction();
    uint8_t* buf = record ? record : record_.data();
    {
        TqbSrContentLock g(*this, 1);
        std::lock_guard lk(padlock_);
        if (filter_) filter_->BeginTimeout();
        uint64_t ref = pos_.State == csUnknown || pos_.State == csBOF || pos_.State == csEOF ? 0 : pos_.Ref;
        for (;;) {
            uint64_t found = 0;
            if (forward)
                table_->GetNextRecord(t, ref, buf, found);
            else
                table_->GetPriorRecord(t, ref, buf, found);
            if (found == 0) {
                setEnd(forward ? csEOF : csBOF);
                return forward ? 8706 : 8705;
            }
            pos_.State = csOnRecord;
            pos_.Ref = found;
            pos_.Deleted = false;
            pos_.KeyValid = true;
            if (passesFilter(buf)) break;
            int32_t rc;
            if (filter_->TimedOut(rc)) return rc;
            ref = found;
        }
    }
    if (lockMode != lmNone) {
        if (int32_t rc = checkTableLock()) return rc;
        table_->GetRecord(t, id_, pos_.Ref, false, false, lockMode, buf);
        lockedRef_ = pos_.Ref;
    }
    if (record) std::memcpy(record_.data(), record, record_.size());
    return 0;
}

int32_t TqbSrSimpleCursor::RecordGetNext(uint8_t* Record, uint8_t LockMode) {
    return step(Record, LockMode, true);
}

int32_t TqbSrSimpleCursor::RecordGetPrior(uint8_t* Record, uint8_t LockMode) {
    return step(Record, LockMode, false);
}

int32_t TqbSrSimpleCursor::TableGetRecordCount(uint32_t& Count) {
    Count = 0;
    if (!filter_) {
        TqbSrContentLock g(*this, 1);
        TqbDataFileInfo info;
        DataFileGetRecordInfo(*table_->GetFile(0), database_.Transaction(), info);
        Count = info.RecordCount;
        return 0;
    }
    SavePosition();
    SetToBegin();
    int32_t rc;
    uint32_t n = 0;
    while ((rc = RecordGetNext(nullptr, lmNone)) == 0)
        ++n;
    RestorePosition();
    if (rc != 8706) return rc;
    Count = n;
    return 0;
}

// Writes --------------------------------------------------------------------------------------

int32_t TqbSrSimpleCursor::insert(const uint8_t* record, uint8_t lockMode, bool defaults) {
    return insertNotified(record, lockMode, defaults, [&](uint64_t ref, TqbSrTransaction&) {
        {
            std::lock_guard lk(padlock_);
            pos_.State = csOnRecord;
            pos_.Ref = ref;
            pos_.Deleted = false;
            pos_.KeyValid = true;
        }
        if (lockMode != lmNone) lockedRef_ = ref;
    });
}

int32_t TqbSrSimpleCursor::RecordInsert(const uint8_t* Record, uint8_t LockMode) {
    return insert(Record, LockMode, true);
}

int32_t TqbSrSimpleCursor::RecordInsertNoDefault(const uint8_t* Record, uint8_t LockMode) {
    return insert(Record, LockMode, false);
}

int32_t TqbSrSimpleCursor::RecordModify(const uint8_t* Record, bool RelLock) {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    if (pos_.Deleted) return 8708;
    if (pos_.State != csOnRecord) return pos_.State == csBOF ? 8705 : pos_.State == csEOF ? 8706 : 8709;
    newRecord_ = Record;
    oldRecord_ = record_.data();
    if (int32_t rc = NotifyExtenders(eaModify, eaModifyFailed)) {
        newRecord_ = oldRecord_ = nullptr;
        return rc;
    }
    try {
        TqbSrContentLock g(*this, 2);
        table_->ModifyRecord(*t, id_, pos_.Ref, RelLock, Record, explicitTransaction(), DatabaseID());
    } catch (...) {
        NotifyExtenders(eaModifyFailed, eaNoUndo);
        newRecord_ = oldRecord_ = nullptr;
        throw;
    }
    pos_.KeyValid = true;
    std::memcpy(record_.data(), Record, record_.size());
    NotifyExtenders(eaModified, eaNoUndo);
    newRecord_ = oldRecord_ = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Run tables of the merge sort

namespace {

class SimpleRun : public TqbSrSortRun {
public:
    explicit SimpleRun(std::shared_ptr<TqbSrSimpleCursor> c) : c_(std::move(c)) {}
    ~SimpleRun() override {
        try {
            c_->Close();
        } catch (...) {
        }
    }
    int32_t Put(const uint8_t* Record) override {
        const int32_t rc = c_->RecordInsert(Record, lmNone);
        if (rc == 0) ++count_;
        return rc;
    }
    int64_t RecordCount() override { return count_; }
    int32_t First(uint8_t* Record) override {
        if (int32_t rc = c_->SetToBegin()) return rc;
        return c_->RecordGetNext(Record, lmNone);
    }
    int32_t Next(uint8_t* Record) override { return c_->RecordGetNext(Record, lmNone); }

private:
    std::shared_ptr<TqbSrSimpleCursor> c_;
    int64_t count_ = 0;
};

} // namespace

std::unique_ptr<TqbSrSortRun> TqbSrSimpleRunStore::CreateRun(int64_t StoreSize) {
    auto c = std::make_shared<TqbSrSimpleCursor>(host_, ThreadTimeRemaining(), database_);
    const uint32_t size = uint32_t(std::min<int64_t>(StoreSize, std::numeric_limits<uint32_t>::max()));
    if (int32_t rc = c->TableCreate("", dict_, true, qbsmExclusive, false, true,
                                    kFileNoDiskFile | kFileNoContentLocking, size))
        RaiseResultCode(rc);
    c->TakeTableOwnership();
    return std::make_unique<SimpleRun>(std::move(c));
}
