// The in-process engine's rebuild jobs: reindex, pack, restructure and the background record count,
// each prepared on the calling thread and run on a rebuild thread of its own, with its status.
#include "db/engine/qbsrcvex.h"
#include "db/engine/qbsrengn.h"

#include "db/base/qbsrmgr.h"
#include "db/engine/qbconvqb.h"
#include "db/engine/qbsrfmap.h"
#include "db/engine/qbsrswap.h"
#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbindx.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

namespace {

enum JobKind { jkReindex, jkPack, jkRestructure, jkCount };

constexpr uint32_t kCheckpointBytes = 1048576;
constexpr size_t kCopyChunkBytes = 1048576;
constexpr uint64_t kBLOBCommitBytes = 10485760;
constexpr int32_t kStatusEvery = 10;
constexpr int32_t kCountStatusEvery = 128;

const char* kindName(int kind) {
    switch (kind) {
    case jkReindex:
        return "Reindex";
    case jkPack:
        return "Pack";
    case jkRestructure:
        return "Restructure";
    default:
        return "Record count";
    }
}

void check(int32_t code) {
    if (code != 0) RaiseResultCode(code);
}

bool isStringType(int32_t t) {
    return t == qbtShortString || t == qbtShortAnsiStr || t == qbtNullString || t == qbtNullAnsiStr ||
           t == qbtWideString;
}

// An empty string value: a short string of length 0, or a null-terminated one that starts with
// its terminator.
bool emptyString(int32_t type, const uint8_t* value, int32_t length) {
    if (length <= 0) return true;
    if (type == qbtShortString || type == qbtShortAnsiStr) return value[0] == 0;
    if (type == qbtWideString) return length < 2 || (value[0] == 0 && value[1] == 0);
    return value[0] == 0;
}

// The extensions of a dictionary's files, the data file first.
std::vector<std::string> fileExts(const TqbDataDictionary& d) {
    std::vector<std::string> exts{"QB2"};
    for (int32_t i = 1; i < d.FileCount(); ++i)
        exts.push_back(d.FileExt(i));
    return exts;
}

// Each file of a swap opened without sharing while its names change: an open elsewhere refuses
// the swap, and no other open gets in until the names are settled.
class FileClaims {
public:
    ~FileClaims() { Release(); }
    // False when a file is open elsewhere.
    bool Claim(const std::string& path) {
        plat::FileHandle h{};
        const int err = plat::FileOpen(path, plat::kFileReadWrite, plat::FileShare::None, h);
        if (err == plat::kErrSharingViolation) return false;
        if (err) RaiseServerError(4, {path, err, plat::FileErrorText(err)});
        handles_.push_back(h);
        return true;
    }
    void Release() {
        for (plat::FileHandle h : handles_)
            plat::FileClose(h);
        handles_.clear();
    }

private:
    std::vector<plat::FileHandle> handles_;
};

// Copies each file of Table, as its last commit left it, to "<New>.<ext>" in Folder, made durable
// with its name before the copy's first commit journals any of its blocks.
void copyTableFiles(TqbSrBaseTable& Table, const std::string& Folder, const std::string& New,
                    const std::vector<std::string>& Exts) {
    std::vector<uint8_t> buffer(kCopyChunkBytes);
    for (size_t i = 0; i < Exts.size(); ++i) {
        TbtdFileInfo* from = Table.GetFile(int32_t(i));
        if (!from) RaiseServerError(0);
        const std::string path = plat::JoinPath(Folder, New + "." + Exts[i]);
        const uint64_t size = GetFileSize(*from);
        plat::File to;
        if (int err = to.open(path, plat::kFileReadWrite | plat::kFileCreate | plat::kFileExclusive,
                              plat::FileShare::None))
            RaiseServerError(1, {path, err, plat::FileErrorText(err)});
        for (uint64_t at = 0; at < size;) {
            const size_t n = size_t(std::min<uint64_t>(buffer.size(), size - at));
            ReadFileExactAt(*from, at, uint32_t(n), buffer.data());
            if (int err = plat::FileWriteExact(to.handle(), at, buffer.data(), n))
                RaiseServerError(6, {path, err, plat::FileErrorText(err)});
            at += n;
        }
        if (int err = plat::FileSync(to.handle(), false))
            RaiseServerError(9, {path, err, plat::FileErrorText(err)});
        if (int err = to.close()) RaiseServerError(3, {path, err, plat::FileErrorText(err)});
    }
    SyncFolder(Folder);
}

} // namespace

// The job block: what a job holds from its preparation to the end of its thread. Every object it
// uses is held by shared ownership, so a client that goes meanwhile frees nothing of it.
struct TqbServerEngine::TqbRebuildJobBlock : public TqbObject {
    explicit TqbRebuildJobBlock(TqbServerEngine& E) : Engine(E) {}
    ~TqbRebuildJobBlock() override { Engine.releaseJob(*this, true); }

    TqbServerEngine& Engine;
    int Kind = jkReindex;
    TqbHandle RebuildID = 0;
    int32_t ClientID = 0;
    std::shared_ptr<TqbServerObject> Client;
    std::shared_ptr<TqbSrDatabase> Database; // the job's own
    TqbSrFolderPtr Folder;                   // counted in the engine's folder list
    std::shared_ptr<TqbSrBaseCursor> Source, Target;
    std::string TableName;
    int32_t Index = 0;
    int32_t Total = 0;
    bool TableLocked = false;
    // Pack and restructure.
    std::unique_ptr<TqbSrFieldMapList> FieldMap;
    TqbFileSwap Swap;
    bool SwapPrepared = false;
    std::vector<int32_t> KeyProcCopies; // indexes whose key procedure was copied for the target
    uint32_t RAMLimit = 0;
    // Record count.
    bool Walk = false;
    std::unique_ptr<TqbSrFilter> Filter;
    // Progress.
    int32_t Read = 0, Written = 0;
    bool Released = false;
};

// ---------------------------------------------------------------------------------------------
// Preparation

std::unique_ptr<TqbServerEngine::TqbRebuildJobBlock> TqbServerEngine::newJob(TqbSrDatabase& Database,
                                                                             int Kind) {
    auto job = std::make_unique<TqbRebuildJobBlock>(*this);
    job->Kind = Kind;
    if (Database.Client) {
        job->Client = Database.Client->shared_from_this();
        job->ClientID = int32_t(Database.Client->Handle());
    }
    // A count of the folder's own, so the folder stays the engine's one for the job's length.
    job->Folder = folders_.AddFolder(Database.Folder().GetPath(), GetIsReadOnly(), bm_.get());
    auto db = std::make_shared<TqbSrDatabase>(*host_, job->Folder, Database.Timeout());
    db->AliasName = Database.AliasName;
    db->OpenMode = Database.OpenMode;
    db->ShareMode = Database.ShareMode;
    db->Client = Database.Client;
    job->Database = std::move(db);
    return job;
}

std::shared_ptr<TqbSrBaseCursor> TqbServerEngine::openJobTable(TqbRebuildJobBlock& Job,
                                                               const std::string& TableName,
                                                               const std::string& IndexName,
                                                               int32_t IndexID) {
    std::shared_ptr<TqbSrBaseCursor> c = host_->NewCursor(*Job.Database, Job.Database->Timeout());
    c->Open(TableName, IndexName, IndexID, true, qbsmExclusive, seIsSystemTable(TableName), false, false);
    return c;
}

namespace {

// The table's record count from its header, in a transaction of the job's database.
int32_t headerCount(TqbSrDatabase& db, TqbSrBaseCursor& c) {
    // A table without a data file (one that lives in memory only, or whose files a swap has
    // taken away) has no header to count from.
    TbtdFileInfo* file = c.Table() ? c.Table()->GetFile(0) : nullptr;
    if (!file) RaiseResultCode(kResultInvalidParameter);
    bool started = false;
    check(db.BeginImplicit(started));
    TqbDataFileInfo info;
    try {
        TqbSrContentLock g(c, 1);
        DataFileGetRecordInfo(*file, db.Transaction(), info);
    } catch (...) {
        db.EndImplicit(started, false);
        throw;
    }
    check(db.EndImplicit(started, true));
    return int32_t(std::min<uint32_t>(info.RecordCount, INT32_MAX));
}

} // namespace

template <class T>
TqbResultCode TqbServerEngine::startJob(std::unique_ptr<TqbRebuildJobBlock> Job, TqbHandle& RebuildID) {
    const TqbHandle id = rebuildStatus_.AddStatus(Job->ClientID, Job->Total);
    Job->RebuildID = id;
    auto block = std::make_unique<TqbSrRebuildJob>();
    block->Owned = std::move(Job);
    {
        std::lock_guard lk(rebuildMutex_);
        ++rebuildRunning_;
    }
    try {
        rebuildThreads_.Reap();
        rebuildThreads_.Start<T>(rebuildWorker_, std::move(block));
    } catch (...) {
        // The block went with the thread that never ran, releasing what it held.
        {
            std::lock_guard lk(rebuildMutex_);
            --rebuildRunning_;
        }
        rebuildCv_.notify_all();
        TqbRebuildStatus gone;
        rebuildStatus_.MarkFinished(id);
        rebuildStatus_.GetStatus(id, gone);
        throw;
    }
    RebuildID = id;
    return 0;
}

TqbResultCode TqbServerEngine::seStartReindex(TqbSrDatabase& Database, const std::string& TableName,
                                              const std::string& IndexName, int32_t IndexID,
                                              TqbHandle& RebuildID) {
    auto job = newJob(Database, jkReindex);
    job->TableName = TableName;
    job->Source = openJobTable(*job, TableName, IndexName, IndexID);
    job->Index = job->Source->IndexNumber();
    job->Total = headerCount(*job->Database, *job->Source);
    // The client table lock, taken on the table itself: the job's cursor stays the job's.
    job->Source->Table()->AcquireCursorContentLock(job->Source->CursorID(), lmExclusive);
    job->TableLocked = true;
    // The index is rebuilt in a copy of the table's files that is swapped in once complete, so that
    // a crash or a failure leaves the old index or the new one, never one half built. A table that
    // lives in memory only (nothing of it outlives the process) is rebuilt where it is.
    if (dynamic_cast<TqbSrTable*>(job->Source->Table()) && !(job->Source->DataFileFlags() & kFileNoDiskFile))
        prepareTarget(*job, job->Source->Dictionary());
    return startJob<TqbSrReindexThread>(std::move(job), RebuildID);
}

void TqbServerEngine::prepareTarget(TqbRebuildJobBlock& Job, const TqbDataDictionary& TargetDict) {
    TqbSrBaseCursor& source = *Job.Source;
    // A table that lives in memory only has no files to swap: closing them would lose it.
    if (source.DataFileFlags() & kFileNoDiskFile) RaiseResultCode(kResultInvalidParameter);
    const TqbDataDictionary& sd = source.Dictionary();
    const std::string& folder = Job.Folder->GetPath();
    const std::string sourceName = source.Table()->GetName();
    Job.Swap.Table = sourceName;
    Job.Swap.OldExts = fileExts(sd);
    Job.Swap.NewExts = fileExts(TargetDict);
    if (Job.Kind == jkReindex)
        Job.Swap.ReserveNames(folder, kReindexCopyPrefix, "_RIDXSV");
    else
        Job.Swap.ReserveNames(folder, Job.Kind == jkPack ? kPackCopyPrefix : kRestructureCopyPrefix,
                              "_PACKSV");
    // The target's user-defined indexes use the source's routines, copied under the target's name.
    TqbServerConfiguration& config = Configuration();
    for (int32_t i = 1; i < TargetDict.IndexCount(); ++i) {
        if (!TargetDict.IsIndexDescUserDefined(i)) continue;
        TqbKeyProcEntry e;
        if (!config.KeyProcList().Find(TqbKeyProcList::ComposeKey(folder, sourceName, i), e))
            RaiseServerError(171);
        if (!config.KeyProcList().Exists(folder, Job.Swap.New, i)) {
            check(config.AddKeyProc(folder, Job.Swap.New, i, e.Library, e.BuildKey, e.CompareKey));
            Job.KeyProcCopies.push_back(i);
        }
    }
    // An earlier swap whose clean-up is still due goes first: this one takes its marker's place.
    TqbFileSwap::Recover(folder, sourceName);
    // From here a crash takes the target away again, until the swap is committed.
    Job.Swap.Prepare(folder);
    Job.SwapPrepared = true;
    if (Job.Kind == jkReindex) return; // its thread copies the table's files
    auto target = host_->NewCursor(*Job.Database, Job.Database->Timeout());
    Job.Target = target;
    const uint8_t flags = uint8_t(source.DataFileFlags() & ~kFileNoDiskFile);
    check(target->TableCreate(Job.Swap.New, TargetDict, true, qbsmExclusive, false, false, flags, 0));
    if (auto* t = dynamic_cast<TqbSrTable*>(target->Table())) t->ResolveUserKeyRoutines();
    const uint32_t maxRAM = bm_->MaxRAM();
    Job.RAMLimit = maxRAM + maxRAM / 10;
}

TqbResultCode TqbServerEngine::seStartPack(TqbSrDatabase& Database, const std::string& TableName,
                                           TqbHandle& RebuildID) {
    auto job = newJob(Database, jkPack);
    job->TableName = TableName;
    job->Source = openJobTable(*job, TableName, "", 0);
    job->Total = headerCount(*job->Database, *job->Source);
    TqbServerDataDict copy(job->Source->Dictionary().BlockSize());
    copy.Assign(&job->Source->Dictionary());
    prepareTarget(*job, copy);
    return startJob<TqbSrPackThread>(std::move(job), RebuildID);
}

TqbResultCode TqbServerEngine::seStartRestructure(TqbSrDatabase& Database, const std::string& TableName,
                                                  const TqbDataDictionary& NewDictionary,
                                                  const cls::TStringList* FieldMap, TqbHandle& RebuildID) {
    auto job = newJob(Database, jkRestructure);
    job->TableName = TableName;
    job->Source = openJobTable(*job, TableName, "", 0);
    job->Total = headerCount(*job->Database, *job->Source);
    const TqbDataDictionary& sd = job->Source->Dictionary();
    // The field map: the lines given, else every target field the source has by name.
    job->FieldMap = std::make_unique<TqbSrFieldMapList>(sd, NewDictionary);
    if (FieldMap) {
        check(job->FieldMap->AddStringList(*FieldMap));
    } else {
        for (int32_t i = 0; i < NewDictionary.FieldCount(); ++i)
            if (sd.GetFieldFromName(NewDictionary.FieldName(i)) >= 0)
                check(job->FieldMap->AddPair("", NewDictionary.FieldName(i)));
    }
    // A user-defined index cannot be built over records its routines never saw.
    for (int32_t i = 1; i < NewDictionary.IndexCount(); ++i) {
        if (!NewDictionary.IsIndexDescUserDefined(i)) continue;
        if (i >= sd.IndexCount()) {
            if (job->Total > 0) RaiseResultCode(10012);
        } else if (!sd.IsIndexDescUserDefined(i) || sd.IndexKeyLength(i) != NewDictionary.IndexKeyLength(i)) {
            RaiseResultCode(10012);
        }
    }
    // Every pair must convert before anything is built.
    for (int i = 0; i < job->FieldMap->Count(); ++i) {
        const TqbSrFieldMapField s = job->FieldMap->SourceField(i), t = job->FieldMap->TargetField(i);
        if (ConvertFieldValue(nullptr, nullptr, s.FieldType, t.FieldType, s.Length, t.Length) != 0)
            RaiseServerError(179, {s.Name, t.Name});
    }
    prepareTarget(*job, NewDictionary);
    return startJob<TqbSrRestructureThread>(std::move(job), RebuildID);
}

TqbResultCode TqbServerEngine::seStartRecordCount(TqbSrBaseCursor& Cursor, TqbHandle& RebuildID) {
    auto job = newJob(Cursor.Database(), jkCount);
    job->TableName = Cursor.Table()->GetName();
    auto* indexed = dynamic_cast<TqbSrCursor*>(&Cursor);
    if (indexed) {
        // The clone lives on the job's own database: the client's objects may go meanwhile.
        check(indexed->CloneOn(*job->Database, false, job->Source));
        TqbSrBaseCursor& clone = *job->Source;
        if (TqbSrFilter* f = clone.ActiveFilter()) {
            job->Filter = std::make_unique<TqbSrFilter>(RecordLayoutOf(clone.Dictionary()), f->Timeout(),
                                                        f->Expression().data(), f->Expression().size());
            check(
                clone.SetFilter(nullptr, 0, 0)); // every record in range is read; the filter says which count
        }
        job->Walk = job->Filter || clone.RangeActive();
        job->Total = headerCount(*job->Database, clone);
    } else {
        // A cursor of a table without indexes lives in its database alone: counted at once.
        uint32_t n = 0;
        check(Cursor.TableGetRecordCount(n));
        job->Total = job->Read = job->Written = int32_t(std::min<uint32_t>(n, INT32_MAX));
    }
    return startJob<TqbSrGetRecordCountThread>(std::move(job), RebuildID);
}

TqbResultCode TqbServerEngine::seStartRebuildJob(const TqbRebuildRequest& Request, TqbHandle& RebuildID) {
    switch (Request.Kind) {
    case TqbRebuildKind::Reindex:
        return seStartReindex(*Request.Database, Request.TableName, Request.IndexName, Request.IndexID,
                              RebuildID);
    case TqbRebuildKind::Pack:
        return seStartPack(*Request.Database, Request.TableName, RebuildID);
    case TqbRebuildKind::Restructure:
        return seStartRestructure(*Request.Database, Request.TableName, *Request.NewDictionary,
                                  Request.FieldMap, RebuildID);
    case TqbRebuildKind::RecordCount:
        return seStartRecordCount(*Request.Cursor, RebuildID);
    }
    return kResultInvalidParameter;
}

// ---------------------------------------------------------------------------------------------
// Status

TqbResultCode TqbServerEngine::RebuildGetStatus(TqbHandle RebuildID, TqbHandle ClientID, bool& IsPresent,
                                                TqbRebuildStatus& Status) {
    IsPresent = false;
    Status = {};
    // Also while the engine starts or shuts down; the client's handle is checked, nothing more.
    if (!registry_.Lease(ClientID, TqbHandleKind::Client)) return UnknownHandleCode(TqbHandleKind::Client);
    IsPresent = rebuildStatus_.GetClientStatus(int32_t(ClientID), RebuildID, Status);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Ending a job

void TqbServerEngine::closeJobCursor(std::shared_ptr<TqbSrBaseCursor>& Cursor) {
    if (!Cursor) return;
    TqbSrTablePtr table = Cursor->TablePtr();
    std::shared_ptr<TqbSrBaseCursor> c = std::move(Cursor);
    c->Close();
    c.reset();
    // Its files close now, so that they may be renamed or deleted.
    if (table) TableList().RemoveTable(table.get());
}

void TqbServerEngine::releaseJob(TqbRebuildJobBlock& Job, bool DiscardTarget) {
    if (Job.Released) return;
    Job.Released = true;
    auto quietly = [&](const char* what, auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            seLogError(
                "%s job of table %s: %s failed: %s",
                {std::string(kindName(Job.Kind)), Job.TableName, std::string(what), std::string(e.what())},
                GetIsReadOnly());
        }
    };
    if (Job.Database && Job.Database->InTransaction())
        quietly("rollback", [&] {
            while (Job.Database->InTransaction())
                Job.Database->Rollback();
        });
    if (Job.TableLocked && Job.Source)
        quietly("table lock release",
                [&] { Job.Source->Table()->ReleaseCursorContentLock(Job.Source->CursorID(), true); });
    Job.TableLocked = false;
    quietly("target close", [&] { closeJobCursor(Job.Target); });
    if (DiscardTarget && Job.SwapPrepared && Job.Folder)
        quietly("target removal", [&] { Job.Swap.Discard(Job.Folder->GetPath()); });
    Job.SwapPrepared = false;
    if (Job.Folder)
        for (int32_t i : Job.KeyProcCopies)
            quietly("key procedure removal",
                    [&] { Configuration().KeyProcList().Delete(Job.Folder->GetPath(), Job.Swap.New, i); });
    Job.KeyProcCopies.clear();
    quietly("source close", [&] { closeJobCursor(Job.Source); });
    Job.Filter.reset();
    Job.FieldMap.reset();
    Job.Database.reset();
    if (Job.Folder) folders_.ReleaseFolder(Job.Folder);
    Job.Client.reset();
}

void TqbServerEngine::jobProgress(TqbRebuildJobBlock& Job, int32_t ErrorCode) {
    rebuildStatus_.Update(Job.RebuildID, Job.Read, Job.Written, ErrorCode);
    if (OnRebuildProgress) OnRebuildProgress(Job.RebuildID, Job.Read);
}

void TqbServerEngine::runJob(TqbSrRebuildJob& Block) {
    auto& job = static_cast<TqbRebuildJobBlock&>(*Block.Owned);
    int32_t result = 0;
    try {
        switch (job.Kind) {
        case jkReindex:
            runReindex(job);
            break;
        case jkCount:
            runCount(job);
            break;
        default:
            runCopy(job);
            break;
        }
        releaseJob(job, false);
    } catch (...) {
        const std::exception_ptr e = std::current_exception();
        result = ConvertServerException(e, nullptr, true);
        std::string text = "unknown error";
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            text = x.what();
        } catch (...) {
        }
        seLogError("%s job of table %s failed (%d): %s",
                   {std::string(kindName(job.Kind)), job.TableName, result, text}, GetIsReadOnly());
        releaseJob(job, true);
    }
    rebuildStatus_.Update(job.RebuildID, job.Read, job.Written, result);
    rebuildStatus_.MarkFinished(job.RebuildID);
    {
        std::lock_guard lk(rebuildMutex_);
        --rebuildRunning_;
    }
    rebuildCv_.notify_all();
}

void TqbServerEngine::TqbRebuildWorker::Reindex(TqbSrRebuildJob& Job) {
    engine_.runJob(Job);
}

void TqbServerEngine::TqbRebuildWorker::PackRestructure(TqbSrRebuildJob& Job) {
    engine_.runJob(Job);
}

void TqbServerEngine::TqbRebuildWorker::GetRecordCount(TqbSrRebuildJob& Job) {
    engine_.runJob(Job);
}

bool TqbServerEngine::RebuildWaitIdle(uint32_t TimeoutMs) {
    std::unique_lock lk(rebuildMutex_);
    return rebuildCv_.wait_for(lk, std::chrono::milliseconds(TimeoutMs),
                               [&] { return rebuildRunning_ == 0; });
}

void TqbServerEngine::RebuildStopAll() {
    rebuildStop_.store(true);
    rebuildThreads_.JoinAll();
    rebuildStop_.store(false);
}

// ---------------------------------------------------------------------------------------------
// Commits

TqbResultCode TqbServerEngine::seCommitAndContinue(TqbSrDatabase& Database, TqbSrClient* Client) {
    if (Database.TransactionFailed.exchange(false)) {
        while (Database.InTransaction())
            Database.Rollback();
        return 15443;
    }
    if (Client)
        if (TqbResultCode rc = Client->Extenders().Notify(Database, 39, eaNoUndo)) return rc;
    if (TqbResultCode rc = Database.Commit()) return rc;
    if (TqbResultCode rc = Database.StartTransaction()) return rc;
    if (Client) Client->Extenders().Notify(Database, 40, eaNoUndo);
    return 0;
}

void TqbServerEngine::commitAndContinue(TqbRebuildJobBlock& Job) {
    TqbResultCode rc;
    try {
        rc = seCommitAndContinue(*Job.Database, dynamic_cast<TqbSrClient*>(Job.Client.get()));
    } catch (const EqbException& e) {
        rc = e.ErrorCode;
    }
    if (rc != 0) RaiseServerError(183);
}

namespace {

void stopWhenAsked(const std::atomic<bool>& stop) {
    if (stop.load()) RaiseResultCode(kResultUnknownServerError);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Reindex

void TqbServerEngine::runReindex(TqbRebuildJobBlock& Job) {
    TqbSrDatabase& db = *Job.Database;
    if (Job.SwapPrepared) {
        copyTableFiles(*Job.Source->Table(), Job.Folder->GetPath(), Job.Swap.New, Job.Swap.NewExts);
        if (OnRebuildSwapStep) OnRebuildSwapStep("copied");
        Job.Target = openJobTable(Job, Job.Swap.New, "", Job.Index);
    }
    TqbSrBaseCursor& c = Job.Target ? *Job.Target : *Job.Source;
    auto* table = dynamic_cast<TqbSrTable*>(c.Table());
    if (!table) RaiseServerError(0);
    const TqbDataDictionary& d = c.Dictionary();
    const int32_t index = Job.Index;
    check(db.StartTransaction());
    check(c.IndexEmpty());
    commitAndContinue(Job);
    const int32_t step =
        std::max<int32_t>(1, int32_t(kCheckpointBytes / uint32_t(std::max(d.RecordLength(), 1))));
    int32_t checkpoint = step, mark = kStatusEvery;
    std::vector<uint8_t> rec(size_t(d.RecordLength())), key(size_t(d.IndexKeyLength(index)));
    const TqbIndexData data = table->IndexData(index);
    uint64_t ref = 0;
    for (;;) {
        stopWhenAsked(rebuildStop_);
        uint64_t next = 0;
        {
            TqbSrTransaction* t = db.Transaction();
            TqbSrContentLock lock(c, 2);
            PortalReadGuard<TqbSrBaseTable> g(*table);
            table->GetNextRecord(t, ref, rec.data(), next);
            if (next == 0) break;
            ref = next;
            ++Job.Read;
            std::fill(key.begin(), key.end(), 0);
            // A record its user routine makes no key for has none in the index, as when it was
            // inserted: the index is rebuilt as the inserts would have left it.
            bool made = true;
            if (index == 0)
                plat::StoreLE64(key.data(), ref);
            else
                made = table->BuildKey(index, rec.data(), key.data());
            if (made) {
                if (!IndexInsertKey(data, t, key.data(), ref)) {
                    if (index == 0) RaiseServerError(85);
                    RaiseResultCode(9729);
                }
                ++Job.Written;
            }
        }
        if (Job.Read >= checkpoint) {
            checkpoint += step;
            commitAndContinue(Job);
        }
        if (Job.Read >= mark) {
            mark += kStatusEvery;
            jobProgress(Job, 0);
        }
    }
    if (!Job.Target) table->NoteIndexChange(-1);
    if (db.Commit() != 0) RaiseServerError(183);
    if (Job.Target) swapFiles(Job);
}

// ---------------------------------------------------------------------------------------------
// Pack and restructure

namespace {

struct CopyState {
    std::vector<uint8_t> buffer;
    uint64_t bytes = 0; // BLOB bytes since the last commit
};

// A new BLOB of the target holding Length bytes of Value.
uint64_t writeBLOB(TqbSrBaseCursor& target, const uint8_t* value, uint32_t length, CopyState& s) {
    uint64_t nr = 0;
    check(target.BLOBCreate(nr));
    if (length > 0) check(target.BLOBWrite(nr, 0, length, value));
    s.bytes += length;
    return nr;
}

// The restructured record: every target field null, then filled pair by pair.
void mapRecord(TqbSrFieldMapList& map, TqbSrBaseCursor& source, TqbSrBaseCursor& target, const uint8_t* src,
               uint8_t* dst, CopyState& s) {
    const TqbDataDictionary& sd = source.Dictionary();
    const TqbDataDictionary& td = target.Dictionary();
    td.InitRecord(dst);
    for (int32_t f = 0; f < td.FieldCount(); ++f)
        td.SetRecordFieldNull(f, dst, true);
    for (int i = 0; i < map.Count(); ++i) {
        const TqbSrFieldMapField sf = map.SourceField(i), tf = map.TargetField(i);
        if (sd.IsRecordFieldNull(sf.Number, src)) continue;
        const uint8_t* value = src + sf.Offset;
        if (!IsBLOBFieldType(tf.FieldType)) {
            std::vector<uint8_t> out(size_t(std::max(tf.Length, 1)), 0);
            if (ConvertFieldValue(value, out.data(), sf.FieldType, tf.FieldType, sf.Length, tf.Length) != 0)
                RaiseServerError(179, {sf.Name, tf.Name});
            td.SetRecordField(tf.Number, dst, out.data());
            continue;
        }
        if (isStringType(sf.FieldType) && emptyString(sf.FieldType, value, sf.Length)) continue;
        uint64_t nr = 0;
        if (IsBLOBFieldType(sf.FieldType)) {
            const uint64_t from = plat::LoadLE64(value);
            if (uint32_t(from) == 0xFFFFFFFFu) continue; // refers to no BLOB
            check(CopyBLOB(target, source, from, nr, s.buffer, &s.bytes));
        } else if (sf.FieldType == qbtShortString || sf.FieldType == qbtShortAnsiStr) {
            nr = writeBLOB(target, value + 1, std::min<uint32_t>(value[0], uint32_t(sf.Length - 1)), s);
        } else {
            nr = writeBLOB(target, value, uint32_t(sf.Length), s);
        }
        uint8_t b[8];
        plat::StoreLE64(b, nr);
        td.SetRecordField(tf.Number, dst, b);
    }
}

// The packed record: as it is, each BLOB copied into a new one of the target.
void packRecord(TqbSrBaseCursor& source, TqbSrBaseCursor& target, const uint8_t* src, uint8_t* dst,
                CopyState& s) {
    const TqbDataDictionary& td = target.Dictionary();
    std::memcpy(dst, src, size_t(td.RecordLength()));
    for (int32_t f = 0; f < td.FieldCount(); ++f) {
        if (!IsBLOBFieldType(td.FieldType(f)) || td.IsRecordFieldNull(f, dst)) continue;
        const uint64_t from = plat::LoadLE64(dst + td.FieldOffset(f));
        if (uint32_t(from) == 0xFFFFFFFFu) continue;
        uint64_t nr = 0;
        check(CopyBLOB(target, source, from, nr, s.buffer, &s.bytes));
        plat::StoreLE64(dst + td.FieldOffset(f), nr);
    }
}

// The keys of a packed table's indexes from 1 up, held while its records are copied and then
// added index by index in key order. In record order they would land all over each index, and
// every commit of the copy would write most of the index's pages again.
class HeldKeys {
public:
    HeldKeys(TqbSrTable& Table, uint64_t LimitBytes) : table_(Table), limit_(LimitBytes) {
        const TqbDataDictionary& d = Table.Dictionary();
        held_.resize(size_t(std::max(d.IndexCount(), 1)));
        for (int32_t i = 1; i < d.IndexCount(); ++i)
            held_[size_t(i)].Length = size_t(d.IndexKeyLength(i));
    }
    void Add(int32_t Index, const uint8_t* Key, uint64_t Ref) {
        Held& h = held_.at(size_t(Index));
        const size_t at = h.Entries.size();
        h.Entries.resize(at + h.Length + 8);
        std::memcpy(&h.Entries[at], Key, h.Length);
        plat::StoreLE64(&h.Entries[at + h.Length], Ref);
        bytes_ += h.Length + 8;
    }
    // The keys held take as much memory as the job lets the buffer manager take.
    bool Full() const { return bytes_ >= limit_; }
    // Every held key into its index; AfterEach runs after each key (the job commits when due).
    void InsertAll(TqbSrDatabase& Database, const std::function<void()>& AfterEach) {
        for (size_t i = 1; i < held_.size(); ++i) {
            Held& h = held_[i];
            const size_t size = h.Length + 8, count = size ? h.Entries.size() / size : 0;
            const TqbIndexData data = table_.IndexData(int32_t(i));
            const uint8_t* base = h.Entries.data();
            std::vector<uint32_t> order(count);
            for (size_t k = 0; k < count; ++k)
                order[k] = uint32_t(k);
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                const uint8_t* ka = base + size_t(a) * size;
                const uint8_t* kb = base + size_t(b) * size;
                const int c = data.Compare(ka, kb, data.CompareData);
                return c != 0 ? c < 0 : plat::LoadLE64(ka + h.Length) < plat::LoadLE64(kb + h.Length);
            });
            for (uint32_t k : order) {
                const uint8_t* entry = base + size_t(k) * size;
                TqbSrTransaction* t = Database.Transaction();
                if (!t) RaiseServerError(180);
                table_.InsertKey(*t, int32_t(i), entry, plat::LoadLE64(entry + h.Length));
                AfterEach();
            }
            std::vector<uint8_t>().swap(h.Entries);
        }
        bytes_ = 0;
    }

private:
    struct Held {
        size_t Length = 0;            // of a key
        std::vector<uint8_t> Entries; // each a key and its record's reference
    };
    TqbSrTable& table_;
    std::vector<Held> held_;
    uint64_t bytes_ = 0, limit_;
};

} // namespace

void TqbServerEngine::runCopy(TqbRebuildJobBlock& Job) {
    TqbSrDatabase& db = *Job.Database;
    TqbSrBaseCursor& source = *Job.Source;
    TqbSrBaseCursor& target = *Job.Target;
    const TqbDataDictionary& sd = source.Dictionary();
    const TqbDataDictionary& td = target.Dictionary();
    const int32_t step =
        std::max<int32_t>(1, int32_t(kCheckpointBytes / uint32_t(std::max(sd.RecordLength(), 1))));
    int32_t checkpoint = step;
    check(db.StartTransaction());
    check(source.SetToBegin());
    int32_t autoField = -1;
    const bool hasAuto = td.HasAutoIncField(autoField);
    uint32_t highest = 0;
    std::vector<uint8_t> src(size_t(sd.RecordLength())), dst(size_t(td.RecordLength()));
    CopyState state;
    auto ramFull = [&] { return Job.RAMLimit > 0 && bm_->GetRAMUsed() >= Job.RAMLimit; };
    auto commitNow = [&] {
        state.bytes = 0;
        commitAndContinue(Job);
        // The commit leaves the cache full of idle pages, most of them the job's own, read or
        // written once: kept, they would have the next commit come after a block or two.
        bm_->TrimTo(0);
    };
    // A pack's keys were unique in the source under the same dictionary, so none can be refused
    // later than it would have been.
    auto* targetTable = Job.Kind == jkPack ? dynamic_cast<TqbSrTable*>(target.Table()) : nullptr;
    std::optional<HeldKeys> held;
    int32_t keysAdded = 0;
    auto addHeldKeys = [&] {
        held->InsertAll(db, [&] {
            stopWhenAsked(rebuildStop_);
            if (++keysAdded % step == 0 || ramFull()) commitNow();
        });
    };
    // A failed copy leaves the table with no sink that points into this frame.
    struct SinkReset {
        TqbSrTable* Table = nullptr;
        ~SinkReset() {
            if (Table) Table->SetKeySink(nullptr);
        }
    } sinkReset;
    if (targetTable && td.IndexCount() > 1) {
        held.emplace(*targetTable, uint64_t(std::max<uint32_t>(Job.RAMLimit, 1)) * 1048576);
        targetTable->SetKeySink([&](int32_t i, const uint8_t* k, uint64_t r) { held->Add(i, k, r); });
        sinkReset.Table = targetTable;
    }
    for (;;) {
        stopWhenAsked(rebuildStop_);
        const int32_t rc = source.RecordGetNext(src.data(), lmNone);
        if (rc == 8706) break;
        check(rc);
        ++Job.Read;
        if (Job.Kind == jkPack)
            packRecord(source, target, src.data(), dst.data(), state);
        else
            mapRecord(*Job.FieldMap, source, target, src.data(), dst.data(), state);
        // A packed record is stored as it was (no default fills a field left null); a restructured
        // one gets the defaults of the fields nothing filled.
        check(Job.Kind == jkPack ? target.RecordInsertNoDefault(dst.data(), lmNone)
                                 : target.RecordInsert(dst.data(), lmNone));
        ++Job.Written;
        if (hasAuto && !td.IsRecordFieldNull(autoField, dst.data()))
            highest = std::max(highest, plat::LoadLE32(dst.data() + td.FieldOffset(autoField)));
        if (Job.Read >= checkpoint || state.bytes >= kBLOBCommitBytes || ramFull()) {
            checkpoint += step;
            commitNow();
        }
        if (held && held->Full()) addHeldKeys();
        if (Job.Read % kStatusEvery == 0) jobProgress(Job, 0);
    }
    if (held) {
        targetTable->SetKeySink(nullptr);
        sinkReset.Table = nullptr;
        addHeldKeys();
    }
    if (hasAuto) {
        // The counter never goes back: values handed out to records since deleted stay used.
        uint32_t before = 0;
        int32_t field = -1;
        if (sd.HasAutoIncField(field)) check(source.TableGetAutoInc(before));
        check(target.TableSetAutoInc(std::max(highest, before)));
    }
    if (db.Commit() != 0) RaiseServerError(183);
    swapFiles(Job);
}

void TqbServerEngine::swapFiles(TqbRebuildJobBlock& Job) {
    const std::string& folder = Job.Folder->GetPath();
    TqbFileSwap& swap = Job.Swap;
    auto step = [&](const char* name) {
        if (OnRebuildSwapStep) OnRebuildSwapStep(name);
    };
    closeJobCursor(Job.Target);
    // The source stays open with its exclusive lock across the swap: an open meanwhile finds the
    // table and waits for the lock, and then sees the new files.
    TqbSrTablePtr table = Job.Source->TablePtr();
    table->CloseFiles(false, nullptr);
    auto reopen = [&] {
        table->OpenFiles(table->GetKeySelection());
        if (auto* t = dynamic_cast<TqbSrTable*>(table.get())) t->ResolveUserKeyRoutines();
        table->NoteIndexChange(-1);
    };
    FileClaims claims;
    try {
        step("closed");
        for (auto& e : swap.OldExts)
            if (!claims.Claim(plat::JoinPath(folder, swap.Table + "." + e))) RaiseResultCode(10031);
        for (auto& e : swap.NewExts)
            if (!claims.Claim(plat::JoinPath(folder, swap.New + "." + e))) RaiseResultCode(10031);
        step("claimed");
        swap.Commit(folder);
    } catch (...) {
        claims.Release();
        // Not committed: the target goes and the source comes back as it was.
        try {
            swap.Discard(folder);
            Job.SwapPrepared = false;
            reopen();
        } catch (...) {
        }
        throw;
    }
    Job.SwapPrepared = false; // committed: finished from here, never discarded
    try {
        step("commit");
        swap.MoveIn(folder);
        step("move");
    } catch (...) {
        claims.Release();
        // The old files come back when they can; else the next open finishes the swap.
        try {
            if (swap.Undo(folder)) reopen();
        } catch (...) {
        }
        throw;
    }
    claims.Release();
    if (!swap.CleanUp(folder))
        seLogError("%s of table %s: the saved files %s stay until the next open",
                   {std::string(kindName(Job.Kind)), swap.Table, swap.Saved}, GetIsReadOnly());
    step("clean");
    reopen();
}

// ---------------------------------------------------------------------------------------------
// Background record count

void TqbServerEngine::runCount(TqbRebuildJobBlock& Job) {
    if (!Job.Source) return; // counted when the job was started
    TqbSrBaseCursor& c = *Job.Source;
    if (!Job.Walk) {
        Job.Read = Job.Written = Job.Total;
        return;
    }
    std::vector<uint8_t> rec(size_t(c.Dictionary().RecordLength()));
    // Any failure of a read ends the walk: the counts so far are the job's answer.
    try {
        check(c.SetToBegin());
        while (c.RecordGetNext(rec.data(), lmNone) == 0) {
            stopWhenAsked(rebuildStop_);
            ++Job.Read;
            if (!Job.Filter || Job.Filter->MatchesRecord(rec.data())) ++Job.Written;
            if (Job.Read % kCountStatusEvery == 0) jobProgress(Job, 0);
        }
    } catch (const EqbException& e) {
        if (rebuildStop_.load()) throw;
        seLogError("Record count of table %s ended at a failed read: %s",
                   {Job.TableName, std::string(e.what())}, GetIsReadOnly());
    }
}
