// The base server cursor: opening and initialisation, content and record locks, extenders, record
// read and delete, write checks, auto-increment, filters and change notes; the database stand-in.
#include "db/engine/qbsrcur_cursor.h"

#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrswap.h"
#include "db/storage/qbtbdata.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>

// ---------------------------------------------------------------------------------------------
// Database

namespace {
std::atomic<uint64_t> nextDatabaseID{1};
}

TqbSrDatabase::TqbSrDatabase(TqbSrCursorHost& Host, TqbSrFolderPtr Folder, uint32_t Timeout,
                             const TqbServerObject* Parent)
    : TqbServerObject(Timeout, Parent), host_(Host), folder_(std::move(Folder)), id_(nextDatabaseID++) {}

TqbSrDatabase::~TqbSrDatabase() {
    if (Transaction()) {
        bool nested;
        try {
            folder_->TransactionMgr().Rollback(id_, nested);
        } catch (...) {
        }
    }
}

TqbSrTransaction* TqbSrDatabase::Transaction() {
    return folder_->TransactionMgr().TransactionOf(id_);
}

int32_t TqbSrDatabase::StartTransaction(bool FailSafe) {
    TqbSrTransaction* t = nullptr;
    const int32_t rc = folder_->TransactionMgr().StartTransaction(id_, FailSafe, t);
    if (rc == 0) implicit_ = false;
    return rc;
}

bool TqbSrDatabase::CanClose(bool Mark) {
    const bool own = TqbServerObject::CanClose(Mark);
    const bool cursors = cursors_.CanClose(Mark);
    return statements_.CanClose(Mark) && cursors && own;
}

void TqbSrDatabase::RequestClose() {
    TqbServerObject::RequestClose();
    cursors_.RequestClose();
    statements_.RequestClose();
}

void TqbSrDatabase::ForceClose() {
    // The transaction goes back when the database is freed, after the operations that may still
    // use it have ended; here everything is only marked.
    RequestClose();
}

bool TqbSrDatabase::ShouldClose() {
    if (!TqbServerObject::ShouldClose()) return false;
    if (!InTransaction()) return cursors_.ShouldClose() && statements_.ShouldClose();
    for (auto& o : cursors_.Snapshot())
        if (o->State() != sosClosing) return false;
    for (auto& o : statements_.Snapshot())
        if (o->State() != sosClosing) return false;
    while (InTransaction())
        Rollback();
    return true;
}

void TqbSrDatabase::forEachTable(const std::function<void(const TqbSrTablePtr&)>& f) {
    std::vector<TqbSrTablePtr> tables;
    for (int i = 0, n = host_.Tables().Count(); i < n; ++i)
        if (TqbSrTablePtr t = host_.Tables().Items(i); t && t->FolderPtr() == folder_) tables.push_back(t);
    std::sort(tables.begin(), tables.end(), [](auto& a, auto& b) { return a->TableID() < b->TableID(); });
    for (auto& t : tables)
        f(t);
}

int32_t TqbSrDatabase::Commit() {
    TqbSrTransaction* t = Transaction();
    if (!t) return 9990;
    bool nested = t->IsNested();
    if (nested) return folder_->TransactionMgr().Commit(id_, nested);
    // Readers outside transactions wait while the pages change; then the other databases'
    // cursors find their places again.
    // Held by shared ownership: a table another client closes meanwhile stays until its EndCommit.
    std::vector<TqbSrTablePtr> held;
    forEachTable([&](const TqbSrTablePtr& table) {
        table->BeginWrite();
        held.push_back(table);
    });
    int32_t rc;
    try {
        rc = folder_->TransactionMgr().Commit(id_, nested);
    } catch (...) {
        for (auto& table : held)
            table->EndCommit(id_);
        implicit_ = false;
        throw;
    }
    for (auto& table : held)
        table->EndCommit(id_);
    implicit_ = false;
    return rc;
}

int32_t TqbSrDatabase::Rollback() {
    if (!Transaction()) return 9990;
    bool nested;
    const int32_t rc = folder_->TransactionMgr().Rollback(id_, nested);
    // The pages under this database's key paths are the ones from before.
    forEachTable([](const TqbSrTablePtr& table) { table->NoteIndexChange(-1); });
    if (!nested) implicit_ = false;
    return rc;
}

int32_t TqbSrDatabase::BeginImplicit(bool& Started) {
    Started = false;
    if (Transaction()) return 0;
    TqbSrTransaction* t = nullptr;
    const int32_t rc = folder_->TransactionMgr().StartTransaction(id_, false, t);
    if (rc == 0) {
        Started = true;
        implicit_ = true;
    }
    return rc;
}

int32_t TqbSrDatabase::EndImplicit(bool Started, bool DoCommit) {
    if (!Started) return 0;
    if (DoCommit) return Commit();
    // A write that failed leaves the record locked by its cursor if the cursor had locked it.
    if (TqbSrTransaction* t = Transaction()) folder_->LockManager().ReturnAdoptedRecordLocks(*t);
    return Rollback();
}

// ---------------------------------------------------------------------------------------------
// Construction, opening and closing

TqbSrBaseCursor::TqbSrBaseCursor(TqbSrCursorHost& Host, uint32_t Timeout, TqbSrDatabase& Database)
    : TqbSrTableCursor(Timeout, &Database), host_(Host), database_(Database),
      databaseID_(Database.DatabaseID()), id_(NewLockOwnerID()) {
    KeyPathClear(pos_.KeyPath);
    KeyPathClear(savedPos_.KeyPath);
}

TqbSrBaseCursor::~TqbSrBaseCursor() {
    try {
        Close();
    } catch (...) {
    }
}

void TqbSrBaseCursor::Close() {
    if (closed_) return;
    closed_ = true;
    if (!table_) return;
    releaseLockedRecord();
    linked_.clear();
    if (exclusive_) table_->SetOwnerCursor(0);
    extenders_.clear();
    table_->ReleaseTableLock(id_, true);
    // A client's lock on the table goes with its cursor: left behind, it would refuse every
    // other cursor's writes for good.
    table_->ReleaseCursorContentLock(id_, true);
    filter_.reset();
    savedFilter_.reset();
    // The lists hold the cursor: it leaves them last, and may go with them.
    TqbSrTablePtr table = table_;
    TqbSrDatabase& database = database_;
    TqbSrCursorHost& host = host_;
    const bool owns = ownsTable_;
    std::shared_ptr<TqbServerObject> self;
    try {
        self = shared_from_this();
    } catch (const std::bad_weak_ptr&) {
    }
    table->GetCursorList().Remove(this);
    database.Cursors().Remove(this);
    if (owns) host.Tables().RemoveTable(table.get());
}

void TqbSrBaseCursor::OpenTableFiles(const std::string& TableName, bool OpenFlag, bool KeySelection,
                                     uint8_t ShareMode, bool ReadWrite) {
    (void)OpenFlag;
    (void)ShareMode;
    (void)ReadWrite;
    TqbSrFolder& folder = database_.Folder();
    if (!IsValidTableName(TableName)) RaiseServerError(193, {TableName});
    const std::string name = ResolveTableName(folder.GetPath(), TableName);
    // A table whose files a crash left amid a swap is there: the open settles the swap.
    if (!plat::FileExists(plat::JoinPath(folder.GetPath(), name + ".QB2")) &&
        !TqbFileSwap::Pending(folder.GetPath(), name))
        RaiseServerError(149, {TableName, folder.GetPath()});
    TqbSrTablePtr t = NewTable(TableName);
    t->OpenFiles(KeySelection);
    if (auto* indexed = dynamic_cast<TqbSrTable*>(t.get())) indexed->ResolveUserKeyRoutines();
    table_ = std::move(t);
}

void TqbSrBaseCursor::Open(const std::string& TableName, const std::string& IndexName, int32_t IndexID,
                           bool ReadWrite, uint8_t ShareMode, bool KeySelection, bool ExclContentLock,
                           bool OpenFlag) {
    index_ = IndexID;
    TqbSrTableList& list = host_.Tables();
    list.BeginWrite();
    bool listLocked = true, fresh = false, added = false, tableLock = false;
    try {
        table_ = list.FindByFolderAndName(database_.Folder(), TableName);
        if (table_) {
            table_->IncUseCount();
            list.EndWrite();
            listLocked = false;
        } else {
            OpenTableFiles(TableName, OpenFlag, KeySelection, ShareMode, ReadWrite);
            fresh = true;
            table_->IncUseCount();
        }
        // Taken for a table opened here too, so that an exclusive open keeps later ones out.
        table_->AcquireTableLock(id_, ShareMode == qbsmExclusive ? lmExclusive
                                                                 : (ReadWrite ? lmIntentShared : lmShare));
        tableLock = true;
        int32_t index = IndexID;
        ResolveIndex(*table_, IndexName, ReadWrite, index);
        index_ = index;
        if (fresh) {
            list.Add(table_);
            added = true;
        }
        Init(ReadWrite, ShareMode, ExclContentLock);
    } catch (...) {
        if (listLocked) list.EndWrite();
        if (table_) {
            if (tableLock) table_->ReleaseTableLock(id_, true);
            table_->DecUseCount();
            table_->GetCursorList().Remove(this);
            database_.Cursors().Remove(this);
            // A table opened here that never joined the list is closed with its files.
            if (added) list.RemoveTable(table_.get());
            table_.reset();
        }
        throw;
    }
    if (listLocked) list.EndWrite();
    table_->DecUseCount();
}

void TqbSrBaseCursor::Init(bool ReadWrite, uint8_t ShareMode, bool ExclContentLock) {
    filter_.reset();
    savedFilter_.reset();
    overriding_ = false;
    newRecord_ = oldRecord_ = nullptr;
    readWrite_ = ReadWrite && !host_.IsReadOnly();
    TqbServerObjectPtr self = shared_from_this();
    table_->GetCursorList().Add(self);
    database_.Cursors().Add(self);
    for (TqbSrMonitor* m : host_.Monitors) {
        try {
            if (auto e = m->MakeExtender(*this)) extenders_.push_back(std::move(e));
        } catch (const std::exception& e) {
            host_.LogError("Monitor [" + m->ClassName() + "] exception, bcInit: " + e.what());
        }
    }
    record_.assign(size_t(Dictionary().RecordLength()), 0);
    if (ShareMode == qbsmExclusive) {
        table_->SetOwnerCursor(id_);
        exclusive_ = true;
    }
    if (ExclContentLock)
        if (TqbSrTransaction* t = database_.Transaction()) table_->AcquireContentLock(*t, lmExclusive, false);
}

bool TqbSrBaseCursor::CanClose(bool Mark) {
    if (table_ && database_.InTransaction() && (DataFileFlags() & 2) == 0) {
        closeAfterTransaction_ = true;
        return false;
    }
    return TqbServerObject::CanClose(Mark);
}

bool TqbSrBaseCursor::ShouldClose() {
    if (database_.InTransaction()) return false;
    return State() == sosClosing;
}

bool TqbSrBaseCursor::FreeIfClosing() {
    if (State() != sosClosing && !(closeAfterTransaction_ && !database_.InTransaction())) return false;
    Close();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Locks

uint8_t TqbSrBaseCursor::DataFileFlags() {
    TbtdFileInfo* f = table_ ? table_->GetFile(0) : nullptr;
    return f ? f->Flags : 0;
}

bool TqbSrBaseCursor::contentLocksSkipped() {
    return (DataFileFlags() & 4) != 0 || (exclusive_ && !Dictionary().HasBLOBFields());
}

void TqbSrBaseCursor::AcquireContentLock(int Mode) {
    if (contentLocksSkipped()) return;
    if (TqbSrTransaction* t = database_.Transaction()) {
        if (Mode == 0) {
            table_->BeginWrite();
            ++portalWrites_;
        } else {
            table_->AcquireContentLock(*t, Mode == 2 ? lmExclusive : lmShare, false);
        }
        return;
    }
    if (readLocks_.fetch_add(1) == 0) table_->BeginRead();
}

void TqbSrBaseCursor::ReleaseContentLock(bool KeepInTransaction) {
    if (contentLocksSkipped()) return;
    if (TqbSrTransaction* t = database_.Transaction(); t && readLocks_.load() == 0) {
        if (KeepInTransaction) return;
        table_->ReleaseContentLock(*t);
        if (portalWrites_ > 0) {
            --portalWrites_;
            table_->EndWrite();
        }
        return;
    }
    // Taken outside a transaction (one may have started since): the portal goes with the last.
    if (readLocks_.load() > 0 && readLocks_.fetch_sub(1) == 1) table_->EndRead();
}

int32_t TqbSrBaseCursor::AcquireContentLockNoWait() {
    if (contentLocksSkipped()) return 0;
    TqbSrTransaction* t = database_.Transaction();
    return t ? table_->AcquireContentLockNoWait(*t) : 0;
}

TqbSrContentLock::TqbSrContentLock(TqbSrBaseCursor& Cursor, int Mode) : c_(Cursor) {
    if (!c_.contentLocksSkipped()) take(Mode, c_.database_.Transaction());
}

TqbSrContentLock::TqbSrContentLock(TqbSrBaseCursor& Cursor, int Mode, TqbSrTransaction* Transaction)
    : c_(Cursor) {
    if (!c_.contentLocksSkipped()) take(Mode, Transaction);
}

void TqbSrContentLock::take(int Mode, TqbSrTransaction* t) {
    if (t) {
        // Held until the transaction ends.
        c_.table_->AcquireContentLock(*t, Mode == 2 ? lmExclusive : lmShare, false);
        return;
    }
    if (c_.readLocks_.fetch_add(1) == 0) c_.table_->BeginRead();
    portal_ = true;
}

TqbSrContentLock::~TqbSrContentLock() {
    if (portal_ && c_.readLocks_.fetch_sub(1) == 1) c_.table_->EndRead();
}

int32_t TqbSrBaseCursor::insertNotified(const uint8_t* Record, uint8_t LockMode, bool Defaults,
                                        const std::function<void(uint64_t, TqbSrTransaction&)>& Place) {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    newRecord_ = Record;
    if (int32_t rc = NotifyExtenders(eaInsert, eaInsertFailed)) {
        newRecord_ = nullptr;
        return rc;
    }
    try {
        uint64_t ref = 0;
        {
            TqbSrContentLock g(*this, 2);
            // Cursors walking the table's indexes find their places again, whatever happened.
            struct Note {
                TqbSrBaseTable& table;
                ~Note() { table.NoteIndexChange(-1); }
            } note{*table_};
            if (Defaults)
                table_->InsertRecord(*t, id_, LockMode, ref, Record, explicitTransaction());
            else
                table_->InsertRecordNoDefault(*t, id_, LockMode, ref, Record, explicitTransaction());
        }
        Place(ref, *t);
    } catch (...) {
        NotifyExtenders(eaInsertFailed, eaNoUndo);
        newRecord_ = nullptr;
        throw;
    }
    NotifyExtenders(eaInserted, eaNoUndo);
    newRecord_ = nullptr;
    return 0;
}

int32_t TqbSrBaseCursor::checkTableLock() {
    TqbLockContainer& c = table_->CursorContentLockContainer();
    if (!c.HasGranted()) return 0;
    return c.SummaryMode() == lmExclusive && c.OwnerMode(id_) == lmExclusive ? 0 : 10245;
}

void TqbSrBaseCursor::giveBackRecord(TqbSrTransaction* t, uint64_t ref) {
    table_->UnlockRecord(t, ref, id_);
    // A lock the transaction still holds from an earlier write is the transaction's, not this
    // cursor's alone: its other cursors may still write the record.
    if (t) table_->RelaxRecordLock(id_, ref, t);
    if (lockedRef_ == ref) lockedRef_ = 0;
}

void TqbSrBaseCursor::releaseLockedRecord() {
    if (lockedRef_ == 0 || !table_) return;
    const uint64_t ref = lockedRef_;
    lockedRef_ = 0;
    table_->UnlockCursorRecord(id_, ref, database_.Transaction());
}

void TqbSrBaseCursor::RecordReleaseLock() {
    if (pos_.State != csOnRecord) return;
    table_->UnlockRecord(database_.Transaction(), pos_.Ref, id_);
    if (lockedRef_ == pos_.Ref) lockedRef_ = 0;
}

void TqbSrBaseCursor::TableLockRelease(bool AllLocks) {
    // The client's table locks only; the lock the open took stays while the cursor is open.
    table_->ReleaseCursorContentLock(id_, AllLocks);
}

int32_t TqbSrBaseCursor::RecordIsLocked(uint8_t LockMode, bool& IsLocked) {
    (void)LockMode;
    IsLocked = false;
    TqbSrContentLock g(*this, 1);
    syncPosition();
    if (pos_.State != csOnRecord || pos_.Deleted) return 8709;
    IsLocked = table_->IsRecordLocked(pos_.Ref);
    return 0;
}

int32_t TqbSrBaseCursor::CheckExclusiveWrite() {
    if (!exclusive_) return 10253;
    if (readWrite_) return 0;
    return (DataFileFlags() & 2) != 0 ? 0 : 10763;
}

// ---------------------------------------------------------------------------------------------
// Extenders

void TqbSrBaseCursor::AddExtender(std::unique_ptr<TqbSrExtender> Extender) {
    extenders_.push_back(std::move(Extender));
}

int32_t TqbSrBaseCursor::RecordGetForKeyWithBookmark(bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                                     const uint8_t* KeyData, uint8_t* Record, bool FirstCall,
                                                     uint8_t* Bookmark) {
    const int32_t r = RecordGetForKey(DirectKey, FieldCount, PartialLen, KeyData, Record, FirstCall);
    return r != 0 ? r : GetBookmark(Bookmark);
}

int32_t TqbSrBaseCursor::NotifyExtenders(int32_t Action, int32_t UndoAction) {
    for (size_t i = 0; i < extenders_.size(); ++i) {
        TqbSrExtender& e = *extenders_[i];
        const bool hears =
            e.Interest.none() || (Action >= 0 && Action < 80 && e.Interest.test(size_t(Action)));
        if (!hears) continue;
        if (int32_t rc = e.Notify(*this, Action)) {
            for (size_t j = 0; j < i; ++j)
                extenders_[j]->Notify(*this, UndoAction);
            return rc;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Records

bool TqbSrBaseCursor::passesFilter(const uint8_t* Record) {
    return !filter_ || filter_->MatchesRecord(Record);
}

namespace {
int32_t offRecordCode(const TqbSrPosition& p) {
    if (p.State == csEOF) return 8706;
    return p.Deleted ? 8708 : 8709;
}
} // namespace

int32_t TqbSrBaseCursor::RecordGet(uint8_t* Record, uint8_t LockMode) {
    uint64_t ref;
    {
        TqbSrContentLock g(*this, 1);
        std::lock_guard lk(padlock_);
        syncPosition();
        if (pos_.State != csOnRecord || pos_.Deleted) return offRecordCode(pos_);
        ref = pos_.Ref;
    }
    TqbSrTransaction* t = database_.Transaction();
    if (LockMode != lmNone) {
        if (int32_t rc = checkTableLock()) return rc;
        table_->LockRecord(t, id_, ref, false, LockMode);
        lockedRef_ = ref;
    }
    uint8_t* buf = Record ? Record : record_.data();
    TqbSrContentLock g(*this, 1);
    std::lock_guard lk(padlock_);
    syncPosition();
    int32_t rc = 0;
    if (pos_.State != csOnRecord || pos_.Deleted || pos_.Ref != ref)
        rc = offRecordCode(pos_);
    else {
        table_->GetRecord(t, id_, ref, true, false, lmNone, buf);
        if (!passesFilter(buf)) rc = 8709;
    }
    if (rc != 0) {
        if (LockMode != lmNone) giveBackRecord(t, ref);
        return rc;
    }
    if (Record) std::memcpy(record_.data(), Record, record_.size());
    return 0;
}

int32_t TqbSrBaseCursor::RecordDelete(uint8_t* Record) {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    TqbSrContentLock g(*this, 2);
    syncPosition();
    if (pos_.Deleted) return 8708;
    if (pos_.State != csOnRecord) return 8709;
    const uint64_t ref = pos_.Ref;
    uint8_t* buf = Record;
    if (!buf && (filter_ || !extenders_.empty())) buf = record_.data();
    int32_t rc = 0;
    auto releaseLocks = [&] {
        giveBackRecord(t, ref);
        releaseLockedRecord();
    };
    if (buf) {
        table_->GetRecord(t, id_, ref, false, false, lmExclusive, buf);
        if (!passesFilter(buf)) {
            releaseLocks();
            return 8709;
        }
    }
    oldRecord_ = buf;
    rc = NotifyExtenders(eaDelete, eaDeleteFailed);
    if (rc != 0) {
        oldRecord_ = nullptr;
        releaseLocks();
        return rc;
    }
    try {
        struct Note {
            TqbSrBaseTable& t;
            ~Note() { t.NoteIndexChange(-1); }
        } note{*table_};
        table_->DeleteRecord(*t, id_, ref, buf != nullptr, DatabaseID());
    } catch (...) {
        NotifyExtenders(eaDeleteFailed, eaNoUndo);
        oldRecord_ = nullptr;
        releaseLocks();
        throw;
    }
    table_->RelaxRecordLock(id_, ref, t);
    // The gap where the record was, whatever the key path did.
    pos_.State = csBetween;
    pos_.Deleted = true;
    if (pos_.KeyPath.Position != kpBOF && pos_.KeyPath.Position != kpEOF) KeyPathClear(pos_.KeyPath);
    NotifyExtenders(eaDeleted, eaNoUndo);
    oldRecord_ = nullptr;
    if (database_.IsImplicit()) releaseLocks();
    return 0;
}

int32_t TqbSrBaseCursor::EnsureWritable(bool LockCurrent, bool ReleaseFlag) {
    (void)ReleaseFlag;
    if (!readWrite_) return 10763;
    if (int32_t rc = checkTableLock()) return rc;
    if (LockCurrent) {
        // The read with an Exclusive lock, which a record the cursor may not see gives back.
        const int32_t rc = RecordGet(nullptr, lmExclusive);
        if (rc == 8706 || rc == 8708) return 8709;
        if (rc != 0) return rc;
    }
    return database_.InTransaction() ? 0 : 10257;
}

int32_t TqbSrBaseCursor::LockCurrentAhead(uint64_t& Ref) {
    Ref = 0;
    if (database_.InTransaction() || exclusive_) return 0;
    uint64_t current;
    {
        TqbSrContentLock g(*this, 1);
        std::lock_guard lk(padlock_);
        syncPosition();
        // Off a record: the write's own read says so.
        if (pos_.State != csOnRecord || pos_.Deleted) return 0;
        current = pos_.Ref;
    }
    if (table_->CursorHoldsRecordLock(id_, current)) return 0;
    const int32_t rc = RecordGet(nullptr, lmExclusive);
    if (rc == 8706 || rc == 8708) return 8709;
    if (rc == 0) Ref = lockedRef_;
    return rc;
}

void TqbSrBaseCursor::ReleaseLockAhead(uint64_t Ref) {
    if (Ref != 0 && !database_.InTransaction()) giveBackRecord(nullptr, Ref);
}

int32_t TqbSrBaseCursor::RecordInsertLocked(const uint8_t* Record) {
    TqbSrContentLock g(*this, 2);
    return RecordInsert(Record, lmExclusive);
}

int32_t TqbSrBaseCursor::GetRecordField(int32_t Field, const uint8_t* Record, void* Value, bool& IsNull) {
    Dictionary().GetRecordField(Field, Record, Value, IsNull);
    return 0;
}

int32_t TqbSrBaseCursor::TableGetAutoInc(uint32_t& Value) {
    TqbSrContentLock g(*this, 1);
    Value = DataFileReadAutoInc(*table_->GetFile(0), database_.Transaction());
    return 0;
}

int32_t TqbSrBaseCursor::TableSetAutoInc(uint32_t Value) {
    TqbSrTransaction* t = database_.Transaction();
    if (!t) return 10257;
    TqbSrContentLock g(*this, 2);
    DataFileSetAutoInc(*table_->GetFile(0), t, Value);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Filters and positions

int32_t TqbSrBaseCursor::SetFilter(const void* Expression, size_t Length, uint32_t Timeout) {
    filter_.reset();
    if (Expression)
        filter_ = std::make_unique<TqbSrFilter>(RecordLayoutOf(Dictionary()), Timeout, Expression, Length);
    return 0;
}

int32_t TqbSrBaseCursor::OverrideFilter(const void* Expression, size_t Length, uint32_t Timeout) {
    std::unique_ptr<TqbSrFilter> f;
    if (Expression)
        f = std::make_unique<TqbSrFilter>(RecordLayoutOf(Dictionary()), Timeout, Expression, Length);
    if (!overriding_) {
        savedFilter_ = std::move(filter_);
        overriding_ = true;
    }
    filter_ = std::move(f);
    return 0;
}

int32_t TqbSrBaseCursor::RestoreFilter() {
    if (!overriding_) return 0;
    filter_ = std::move(savedFilter_);
    overriding_ = false;
    return 0;
}

void TqbSrBaseCursor::SavePosition() {
    savedPos_ = pos_;
    savedKey_ = key_;
}

void TqbSrBaseCursor::RestorePosition() {
    pos_ = savedPos_;
    key_ = savedKey_;
    // The index may have changed since: the place is found again from the key.
    if (pos_.KeyPath.Position != kpBOF && pos_.KeyPath.Position != kpEOF) KeyPathClear(pos_.KeyPath);
}

void TqbSrBaseCursor::NotifyRecordChanged(uint64_t Ref) {
    if (Ref != 0) noted_.store(Ref);
}

void TqbSrBaseCursor::ClearKeyPath() {
    pathLost_.store(true);
}

void TqbSrBaseCursor::NotifyRecordChanged(int32_t Kind, uint64_t RecordRef, int32_t IndexNumber) {
    if (!(Kind == 1 || (Kind == 2 && IndexNumber == index_))) return;
    if (RecordRef != pos_.Ref || pos_.State != csOnRecord) return;
    pos_.Deleted = true;
    pos_.State = csBetween;
    if (pos_.KeyPath.Position != kpBOF && pos_.KeyPath.Position != kpEOF) KeyPathClear(pos_.KeyPath);
}
