// The base cursor's bulk work: copying records (whole or by fields, with three ways to carry
// BLOBs), deleting every visible record, sorting a table in place, creating and emptying tables.
#include "db/engine/qbsrcur_cursor.h"

#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrcur_simple.h"
#include "db/engine/qbsrsort.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbindx.h"
#include "platform/ByteCodec.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kBLOBChunk = 1048576;

// An implicit transaction around bulk work: rolled back unless committed.
class ImplicitTransaction {
public:
    explicit ImplicitTransaction(TqbSrDatabase& d) : d_(d) { rc_ = d_.BeginImplicit(started_); }
    ~ImplicitTransaction() {
        if (!done_) try {
                d_.EndImplicit(started_, false);
            } catch (...) {
            }
    }
    int32_t Result() const { return rc_; }
    // Commits on 0 (the commit's result), rolls back otherwise (Result unchanged).
    int32_t End(int32_t Result) {
        done_ = true;
        const int32_t rc = d_.EndImplicit(started_, Result == 0);
        return Result == 0 ? rc : Result;
    }

private:
    TqbSrDatabase& d_;
    bool started_ = false;
    bool done_ = false;
    int32_t rc_ = 0;
};

} // namespace

int32_t CopyBLOB(TqbSrBaseCursor& Target, TqbSrBaseCursor& Source, uint64_t Nr, uint64_t& Out,
                 std::vector<uint8_t>& Buffer, uint64_t* Bytes) {
    std::string fileName;
    bool isFile;
    {
        TqbSrBaseTable& t = *Source.Table();
        TqbSrContentLock g(Source, 1);
        isFile = TableBLOBGetFileName(*t.GetFile(t.GetDictionary().BLOBFileNumber()),
                                      Source.Database().Transaction(), Nr, fileName);
    }
    if (isFile) return Target.BLOBCreateFile(fileName, Out);
    if (int32_t rc = Target.BLOBCreate(Out)) return rc;
    if (Buffer.empty()) Buffer.resize(kBLOBChunk);
    for (uint64_t offset = 0;;) {
        uint32_t got = 0;
        if (int32_t rc = Source.BLOBRead(Nr, offset, kBLOBChunk, Buffer.data(), got)) return rc;
        if (got == 0) return 0;
        if (int32_t rc = Target.BLOBWrite(Out, offset, got, Buffer.data())) return rc;
        offset += got;
        if (Bytes) *Bytes += got;
        if (got < kBLOBChunk) return 0; // a short read ends at the BLOB's end
    }
}

namespace {

// A BLOB of the source carried into the target: 0 null, 1 copied, else linked.
int32_t carryBLOB(TqbSrBaseCursor& target, TqbSrBaseCursor& source, uint8_t mode, uint64_t nr, uint64_t& out,
                  std::vector<uint8_t>& buffer) {
    if (mode != 1) return target.BLOBCreateLink(source.Table()->GetName(), nr, out);
    return CopyBLOB(target, source, nr, out, buffer);
}

// Copies every source record the source cursor shows (and the callback lets through) into the
// target; Fields maps target field i to source field Fields[i] (none: the same layout).
int32_t copyInto(TqbSrBaseCursor& target, TqbSrBaseCursor& source, const std::vector<int32_t>* fields,
                 uint8_t blobMode, const TqbSrCopyCallback& callback, void* arg1, void* arg2) {
    const TqbDataDictionary& td = target.Dictionary();
    const TqbDataDictionary& sd = source.Dictionary();
    ImplicitTransaction tx(target.Database());
    if (tx.Result()) return tx.Result();
    std::vector<uint8_t> src(size_t(sd.RecordLength())), dst(size_t(td.RecordLength())), chunk;
    std::vector<int32_t> blobFields;
    for (int32_t i = 0; i < td.FieldCount(); ++i)
        if (IsBLOBFieldType(td.FieldType(i))) blobFields.push_back(i);
    int32_t autoField = -1;
    const bool hasAuto = td.HasAutoIncField(autoField);
    uint32_t largest = 0;
    int32_t rc = source.SetToBegin();
    while (rc == 0) {
        rc = source.RecordGetNext(src.data(), lmNone);
        if (rc != 0) break;
        bool include = true;
        if (callback) callback(source, src.data(), include, arg1, arg2);
        if (!include) continue;
        if (!fields) {
            std::memcpy(dst.data(), src.data(), dst.size());
        } else {
            td.InitRecord(dst.data());
            for (int32_t i = 0; i < int32_t(fields->size()); ++i) {
                const int32_t from = (*fields)[size_t(i)];
                if (!sd.IsRecordFieldNull(from, src.data()))
                    td.SetRecordField(i, dst.data(), src.data() + sd.FieldOffset(from));
            }
        }
        for (int32_t f : blobFields) {
            if (td.IsRecordFieldNull(f, dst.data())) continue;
            const uint64_t nr = plat::LoadLE64(dst.data() + td.FieldOffset(f));
            if (blobMode == 0) {
                td.SetRecordFieldNull(f, dst.data(), true);
                continue;
            }
            if (uint32_t(nr) == 0xFFFFFFFFu) continue; // refers to no BLOB
            uint64_t made = 0;
            if ((rc = carryBLOB(target, source, blobMode, nr, made, chunk)) != 0) break;
            plat::StoreLE64(dst.data() + td.FieldOffset(f), made);
        }
        if (rc != 0) break;
        if ((rc = target.RecordInsert(dst.data(), lmNone)) != 0) break;
        if (hasAuto && !td.IsRecordFieldNull(autoField, dst.data()))
            largest = std::max(largest, plat::LoadLE32(dst.data() + td.FieldOffset(autoField)));
    }
    if (rc == 8706) {
        rc = 0;
        // The counter only ever moves forward: a target that counted further keeps its count.
        uint32_t now = 0;
        if (hasAuto && largest > 0 && (rc = target.TableGetAutoInc(now)) == 0 && largest > now)
            rc = target.TableSetAutoInc(largest);
    }
    return tx.End(rc);
}

} // namespace

int32_t TqbSrBaseCursor::CopyRecords(TqbSrBaseCursor& SourceCursor, uint8_t BLOBMode,
                                     const TqbSrCopyCallback& Callback, void* CallbackArg1,
                                     void* CallbackArg2) {
    if (SourceCursor.Table() == table_.get()) RaiseServerError(196);
    bool blobs = false;
    if (!Dictionary().HasSameFields(SourceCursor.Dictionary(), blobs)) RaiseGeneralError(114);
    return copyInto(*this, SourceCursor, nullptr, BLOBMode, Callback, CallbackArg1, CallbackArg2);
}

int32_t TqbSrBaseCursor::CopyRecordParts(TqbSrBaseCursor& SourceCursor, const int32_t* FieldNumbers,
                                         int32_t FieldCount, uint8_t BLOBMode,
                                         const TqbSrCopyCallback& Callback, void* CallbackArg1,
                                         void* CallbackArg2) {
    if (SourceCursor.Table() == table_.get()) RaiseServerError(196);
    if (FieldCount < 0 || (FieldCount > 0 && !FieldNumbers)) RaiseGeneralError(114);
    std::vector<int32_t> fields(FieldNumbers, FieldNumbers + FieldCount);
    bool blobs = false;
    if (!Dictionary().HasSameFieldSubset(SourceCursor.Dictionary(), fields, blobs) ||
        FieldCount > Dictionary().FieldCount())
        RaiseGeneralError(114);
    return copyInto(*this, SourceCursor, &fields, BLOBMode, Callback, CallbackArg1, CallbackArg2);
}

int32_t TqbSrBaseCursor::DeleteRecords() {
    if (int32_t rc = SetToBegin()) return rc;
    ImplicitTransaction tx(database_);
    if (tx.Result()) return tx.Result();
    std::vector<uint8_t> buf(record_.size());
    int32_t rc;
    for (;;) {
        rc = pos_.State == csOnRecord && !pos_.Deleted ? RecordGet(buf.data(), lmExclusive) : 8709;
        if (rc == 8709 || rc == 8708) rc = RecordGetNext(buf.data(), lmExclusive);
        if (rc != 0) break;
        if ((rc = RecordDelete(buf.data())) != 0) break;
    }
    return tx.End(rc == 8706 ? 0 : rc);
}

int32_t TqbSrBaseCursor::SortRecords(const int32_t* SortFields, int32_t FieldCount, const bool* Descending) {
    if (int32_t rc = CheckExclusiveWrite()) return rc;
    TqbSrSortSpec spec;
    if (FieldCount < 0 || FieldCount > kSortMaxFields || (FieldCount > 0 && !SortFields))
        RaiseGeneralError(320, {table_->GetName(), FieldCount});
    spec.FieldCount = FieldCount;
    for (int32_t i = 0; i < FieldCount; ++i) {
        spec.Fields[size_t(i)] = SortFields[i];
        spec.Descending[size_t(i)] = Descending && Descending[i];
    }
    spec.Index = index_;
    // The run tables go with the sort, whatever the outcome.
    TqbSrSimpleRunStore runs(host_, database_, Dictionary());
    TqbSrMergeSortEngine sort(spec, Dictionary(), runs);
    std::vector<uint8_t> buf(record_.size());
    // Pass 1 keeps the references of the records it sorts: pass 2 writes the sorted records back
    // into exactly those, in record order, whatever the index, range or filter.
    std::vector<uint64_t> refs;
    {
        ImplicitTransaction tx(database_);
        if (tx.Result()) return tx.Result();
        int32_t rc = SetToBegin();
        while (rc == 0 && (rc = RecordGetNext(buf.data(), lmNone)) == 0) {
            refs.push_back(pos_.Ref);
            rc = sort.Put(buf.data());
        }
        if ((rc = tx.End(rc == 8706 ? 0 : rc)) != 0) return rc;
    }
    std::sort(refs.begin(), refs.end());
    ImplicitTransaction tx(database_);
    if (tx.Result()) return tx.Result();
    TqbSrTransaction& t = *database_.Transaction();
    int32_t rc = 0;
    struct Note {
        TqbSrBaseTable& t;
        ~Note() { t.NoteIndexChange(-1); }
    } note{*table_};
    table_->AcquireContentLock(t, lmExclusive, false);
    // The records only change places: their keys leave every index first and come back with
    // them, so a unique index never sees a key twice on the way.
    auto* indexed = dynamic_cast<TqbSrTable*>(table_.get());
    const TqbDataDictionary& d = Dictionary();
    std::vector<uint8_t> key(kMaxKeyLength);
    auto keys = [&](uint64_t ref, const uint8_t* record, bool insert) {
        for (int32_t i = 1; indexed && i < d.IndexCount(); ++i) {
            if (!indexed->BuildKey(i, record, key.data())) continue;
            const TqbIndexData data = indexed->IndexData(i);
            if (!(insert ? IndexInsertKey(data, &t, key.data(), ref)
                         : IndexDeleteKey(data, &t, key.data(), ref)))
                throw EqbServerException(CompatErrorStrings().GetText(9729), 9729);
        }
    };
    {
        PortalReadGuard<TqbSrBaseTable> g(*table_);
        if (indexed)
            for (uint64_t ref : refs) {
                table_->GetRecord(&t, id_, ref, false, false, lmExclusive, record_.data());
                keys(ref, record_.data(), false);
            }
    }
    for (uint64_t ref : refs) {
        // Fewer records than were put would be a fault of the sort: nothing may be lost.
        if (!sort.Get(buf.data())) RaiseServerError(0);
        // Extenders see the record being replaced.
        if (!extenders_.empty()) {
            table_->GetRecord(&t, id_, ref, false, false, lmExclusive, record_.data());
            oldRecord_ = record_.data();
        }
        newRecord_ = buf.data();
        if ((rc = NotifyExtenders(eaModify, eaModifyFailed)) != 0) break;
        try {
            if (indexed) {
                PortalReadGuard<TqbSrBaseTable> g(*table_);
                DataFileWriteRecord(*table_->GetFile(0), &t, ref, buf.data());
                keys(ref, buf.data(), true);
            } else {
                table_->ModifyRecord(t, id_, ref, false, buf.data(), explicitTransaction(), DatabaseID());
            }
        } catch (...) {
            NotifyExtenders(eaModifyFailed, eaNoUndo);
            oldRecord_ = newRecord_ = nullptr;
            throw;
        }
        table_->NotifyCursorsOfChange(DatabaseID(), ref, id_);
        NotifyExtenders(eaModified, eaNoUndo);
    }
    oldRecord_ = newRecord_ = nullptr;
    rc = tx.End(rc);
    SetToBegin();
    return rc;
}

int32_t TqbSrBaseCursor::TableCreate(const std::string& TableName, const TqbDataDictionary& Dictionary,
                                     bool ReadWrite, uint8_t ShareMode, bool FileFlag, bool Overwrite,
                                     uint8_t Options, uint32_t TempStoreSize) {
    (void)FileFlag;
    std::string name = TableName.substr(0, 31);
    const bool temporary = (Options & kFileNoDiskFile) != 0;
    TqbServerDataDict dict(Dictionary.BlockSize());
    dict.Assign(&Dictionary);
    if (temporary && dict.BlockSize() < 65536) dict.SetBlockSize(65536);
    const bool named = !name.empty();
    // A table on disk needs a name of its own.
    if (!named && !temporary) RaiseServerError(193, {TableName});
    if (!named) name = std::to_string(id_);
    TqbSrFolder& folder = database_.Folder();
    TqbSrTableList& list = host_.Tables();
    list.BeginWrite();
    bool listLocked = true, added = false, tableLock = false;
    TqbSrTablePtr t;
    try {
        if (named) {
            if (list.FindByFolderAndName(folder, name)) RaiseServerError(195, {name});
            if (!IsValidTableName(name)) RaiseServerError(193, {name});
            const std::string onDisk = ResolveTableName(folder.GetPath(), name);
            if (!temporary && plat::FileExists(plat::JoinPath(folder.GetPath(), onDisk + ".QB2"))) {
                if (!Overwrite) RaiseServerError(175, {name});
                std::vector<std::string> exts;
                for (int32_t i = 1; i < dict.FileCount(); ++i)
                    exts.push_back(dict.FileExt(i));
                DeleteTableFiles(folder.GetPath(), onDisk, exts);
            }
        }
        // The table's pages leave RAM for a storage of that many bytes in the configuration folder
        // instead of the buffer manager's.
        if (TempStoreSize != 0) {
            tempStore_ = std::make_shared<TqbTempStorageMM>();
            tempStore_->Create(host_.ConfigFolder(), TqbBufferManager::kTempBlockSize, TempStoreSize);
        }
        t = NewTable(name);
        t->IncUseCount();
        t->BuildFiles(dict, Options);
        // Tables on disk are built and closed; those in memory stay open from their building.
        if (t->GetFileCount() == 0) t->OpenFiles(false);
        t->SetFileFlags(Options);
        for (int32_t f = 0; tempStore_ && f < t->GetFileCount(); ++f)
            t->GetFile(f)->TempStore = tempStore_;
        table_ = t;
        t->AcquireTableLock(id_, ShareMode == qbsmExclusive ? lmExclusive
                                                            : (ReadWrite ? lmIntentShared : lmShare));
        tableLock = true;
        int32_t index = 0;
        ResolveIndex(*t, "", ReadWrite, index);
        index_ = index;
        list.Add(t);
        added = true;
        list.EndWrite();
        listLocked = false;
        Init(ReadWrite, ShareMode, false);
    } catch (...) {
        if (listLocked) list.EndWrite();
        if (t) {
            if (tableLock) t->ReleaseTableLock(id_, true);
            t->DecUseCount();
            t->GetCursorList().Remove(this);
            database_.Cursors().Remove(this);
            if (added)
                list.RemoveTable(t.get());
            else
                t->CloseFiles(false, nullptr);
            table_.reset();
        }
        tempStore_.reset();
        throw;
    }
    t->DecUseCount();
    return 0;
}

int32_t TqbSrBaseCursor::TableEmpty() {
    if (int32_t rc = CheckExclusiveWrite()) return rc;
    ImplicitTransaction tx(database_);
    if (tx.Result()) return tx.Result();
    TqbSrTransaction* t = database_.Transaction();
    {
        TqbSrContentLock g(*this, 2);
        if ((DataFileFlags() & kFileNoDiskFile) == 0) {
            table_->EmptyFiles(t, explicitTransaction());
        } else {
            // Nothing to build again on disk: the records go one by one, inside the transaction.
            std::vector<uint8_t> rec(record_.size());
            for (uint64_t next = 0;;) {
                table_->GetNextRecord(t, 0, rec.data(), next);
                if (next == 0) break;
                table_->DeleteRecord(*t, id_, next, false, DatabaseID());
            }
        }
        table_->NoteIndexChange(-1);
    }
    const int32_t rc = tx.End(0);
    SetToBegin();
    return rc;
}
