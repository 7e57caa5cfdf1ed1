// The in-process engine's cursor, record, BLOB and SQL operations: each one the cursor's own
// operation inside the frame, writes inside the engine's write (implicit transactions).
#include "db/engine/qbsrengn.h"

#include "db/storage/qbsrblob.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr TqbResultCode kNoAssociatedIndex = 10764;
constexpr TqbResultCode kIndexDoesNotExist = 9997;
constexpr TqbResultCode kBLOBModified = 13058;

// Extender actions of reads and queries.
constexpr int32_t kActionRead = 0;
constexpr int32_t kActionReadDone = 1;
constexpr int32_t kActionQuery = 11;

// The record lock of a client's lock type: 2 locks exclusively, 0 and 1 take none; other values
// come from a broken or hostile caller.
bool recordLockMode(TqbLockType Type, uint8_t& Mode) {
    if (Type > qbltWrite) return false;
    Mode = Type == qbltWrite ? lmExclusive : lmNone;
    return true;
}

size_t recordLength(TqbSrBaseCursor& c) {
    return size_t(c.Dictionary().RecordLength());
}

size_t keyLength(TqbSrBaseCursor& c) {
    return size_t(c.Dictionary().IndexKeyLength(c.IndexNumber()));
}

// A caller's record buffer: empty (none) or room for a whole record, which the cursor writes or
// reads in full.
bool recordFits(TqbSrBaseCursor& c, size_t Size, bool MayBeEmpty) {
    return (MayBeEmpty && Size == 0) || Size >= recordLength(c);
}

// Key data given as key bytes (DirectKey) or as a record image of field values; empty: none.
bool keyDataFits(TqbSrBaseCursor& c, bool DirectKey, size_t Size) {
    return Size == 0 || Size >= (DirectKey ? keyLength(c) : recordLength(c));
}

template <class S> auto* dataOrNull(S Span) {
    return Span.empty() ? nullptr : Span.data();
}

// A read the engine runs: the extenders asked before (action 0), told after a success (1).
template <class F> TqbResultCode notifiedRead(TqbSrBaseCursor& c, F&& Read) {
    if (TqbResultCode rc = c.NotifyExtenders(kActionRead, eaNoUndo)) return rc;
    const TqbResultCode rc = Read();
    if (rc == 0) c.NotifyExtenders(kActionReadDone, eaNoUndo);
    return rc;
}

// A read (Read(data, lock mode)) and, on success, the bookmark of the place it left the cursor at.
template <class F>
TqbResultCode readWithBookmark(TqbSrBaseCursor& c, TqbLockType LockType, std::span<uint8_t> Data,
                               std::span<uint8_t> Bookmark, F&& Read) {
    uint8_t mode;
    if (!recordLockMode(LockType, mode) || !recordFits(c, Data.size(), true) ||
        Bookmark.size() < c.GetBookmarkSize())
        return kResultInvalidParameter;
    const TqbResultCode r = notifiedRead(c, [&] { return Read(dataOrNull(Data), mode); });
    return r != 0 ? r : c.GetBookmark(Bookmark.data());
}

// RecordGetForKey's work inside its frame; with Bookmark, then the bookmark of the record found.
TqbResultCode getForKey(TqbSrBaseCursor& c, bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                        std::span<const uint8_t> KeyData, std::span<uint8_t> Data, bool FirstCall,
                        uint8_t* Bookmark = nullptr) {
    if (!keyDataFits(c, DirectKey, KeyData.size()) || !recordFits(c, Data.size(), true))
        return kResultInvalidParameter;
    // With no extender to hear of the read in between, the cursor reads and takes the bookmark in
    // one hold of its locks.
    if (Bookmark && !c.HasExtenders())
        return c.RecordGetForKeyWithBookmark(DirectKey, FieldCount, PartialLen, dataOrNull(KeyData),
                                             dataOrNull(Data), FirstCall, Bookmark);
    const TqbResultCode r = notifiedRead(c, [&] {
        return c.RecordGetForKey(DirectKey, FieldCount, PartialLen, dataOrNull(KeyData), dataOrNull(Data),
                                 FirstCall);
    });
    return r != 0 || !Bookmark ? r : c.GetBookmark(Bookmark);
}

TqbResultCode getWithBookmark(TqbSrBaseCursor& c, TqbLockType LockType, std::span<uint8_t> Data,
                              std::span<uint8_t> Bookmark) {
    return readWithBookmark(c, LockType, Data, Bookmark,
                            [&](uint8_t* d, uint8_t mode) { return c.RecordGet(d, mode); });
}

// A batch's failed entries undo their own partial work in the table, also in an implicit
// transaction, since the other entries are committed.
class SelfUndoScope {
public:
    explicit SelfUndoScope(TqbSrBaseCursor& c) : c_(c) { c_.SetUndoOwnFailures(true); }
    ~SelfUndoScope() { c_.SetUndoOwnFailures(false); }
    SelfUndoScope(const SelfUndoScope&) = delete;
    SelfUndoScope& operator=(const SelfUndoScope&) = delete;

private:
    TqbSrBaseCursor& c_;
};

// A batch of Count entries of Size bytes each (at least MinSize) inside Data; a count of 0 or
// less is an empty batch.
bool batchFits(int32_t Count, int32_t Size, size_t MinSize, size_t DataSize) {
    if (Count <= 0) return true;
    if (Size < 0 || size_t(Size) < MinSize) return false;
    return uint64_t(Count) * uint64_t(Size) <= DataSize;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Cursors

TqbResultCode TqbServerEngine::CursorClone(TqbHandle CursorID, TqbOpenMode OpenMode, TqbHandle& NewCursorID) {
    NewCursorID = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (OpenMode > qbomReadWrite) return kResultInvalidParameter;
        std::shared_ptr<TqbSrBaseCursor> clone;
        if (TqbResultCode rc = c.Clone(OpenMode == qbomReadWrite && !GetIsReadOnly(), clone)) return rc;
        try {
            NewCursorID = RegisterCursor(clone);
        } catch (...) {
            clone->Close();
            throw;
        }
        return 0;
    });
}

TqbResultCode TqbServerEngine::CursorClose(TqbHandle CursorID) {
    TqbInFlight flight(*this);
    auto cursor = registry_.LeaseAs<TqbSrBaseCursor>(CursorID, TqbHandleKind::Cursor);
    if (!cursor) return UnknownHandleCode(TqbHandleKind::Cursor);
    try {
        TqbDeadlineScope deadline(cursor->Timeout());
        // Idle: closing now. In use: its operation's end frees it. Inside a transaction: its end.
        cursor->RequestClose();
        if (cursor->CanClose(true) && cursor->ShouldClose()) closeCursor(*cursor);
        return 0;
    } catch (...) {
        return ConvertException(std::current_exception());
    }
}

TqbResultCode TqbServerEngine::CursorCompareBookmarks(TqbHandle CursorID, std::span<const uint8_t> Bookmark1,
                                                      std::span<const uint8_t> Bookmark2, int32_t& Result) {
    Result = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (TqbResultCode rc = c.NotifyExtenders(kActionQuery, eaNoUndo)) return rc;
        return c.CompareBookmarks(dataOrNull(Bookmark1), Bookmark1.size(), dataOrNull(Bookmark2),
                                  Bookmark2.size(), Result);
    });
}

TqbResultCode TqbServerEngine::CursorCopyRecords(TqbHandle SourceCursorID, TqbHandle DestCursorID,
                                                 bool CopyBLOBs) {
    // The destination's deadline; both clients held in the one global order.
    return TwoCursorFrame(DestCursorID, SourceCursorID, [&](TqbSrBaseCursor& dest, TqbSrBaseCursor& source) {
        return seCursorWrite(dest, false, false, true,
                             [&] { return dest.CopyRecords(source, CopyBLOBs ? 1 : 0); });
    });
}

TqbResultCode TqbServerEngine::CursorDeleteRecords(TqbHandle CursorID) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return seCursorWrite(c, false, false, true, [&] { return c.DeleteRecords(); });
    });
}

TqbResultCode TqbServerEngine::CursorGetBookmark(TqbHandle CursorID, std::span<uint8_t> Bookmark) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (Bookmark.size() < c.GetBookmarkSize()) return kResultInvalidParameter;
        return c.GetBookmark(Bookmark.data());
    });
}

TqbResultCode TqbServerEngine::CursorGetBookmarkSize(TqbHandle CursorID, uint32_t& Size) {
    Size = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        Size = uint32_t(c.GetBookmarkSize());
        return 0;
    });
}

TqbResultCode TqbServerEngine::BLOBListFreeSpace(TqbHandle CursorID, bool InMemory, cls::TStream& Stream) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        std::string text;
        if (c.Dictionary().HasBLOBFields()) {
            TqbSrDatabase& db = c.Database();
            // Only a look: a transaction started here is always rolled back.
            bool started = false;
            if (TqbResultCode rc = db.BeginImplicit(started)) return rc;
            try {
                TbtdFileInfo* f = c.Table()->GetFile(c.Dictionary().BLOBFileNumber());
                if (f) {
                    TqbBLOBResourceManager& m = BLOBResourceManager(*f);
                    std::lock_guard lk(m.Padlock);
                    if (InMemory) m.Segments().ListFreeSpace(text, true);
                    m.Segments().ListFreeSpace(text, false);
                }
            } catch (...) {
                db.EndImplicit(started, false);
                throw;
            }
            db.EndImplicit(started, false);
        }
        if (!text.empty()) Stream.WriteBuffer(text.data(), int32_t(text.size()));
        return 0;
    });
}

TqbResultCode TqbServerEngine::CursorOverrideFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                                    uint32_t Timeout) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return c.OverrideFilter(dataOrNull(Expression), Expression.size(), Timeout);
    });
}

TqbResultCode TqbServerEngine::CursorResetRange(TqbHandle CursorID) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (c.IndexNumber() == 0) return kNoAssociatedIndex;
        return c.ResetRange();
    });
}

TqbResultCode TqbServerEngine::CursorRestoreFilter(TqbHandle CursorID) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) { return c.RestoreFilter(); });
}

TqbResultCode TqbServerEngine::CursorSetRange(TqbHandle CursorID, bool DirectKey, int32_t StartFieldCount,
                                              int32_t StartPartialLen, std::span<const uint8_t> StartKey,
                                              bool StartInclusive, int32_t EndFieldCount,
                                              int32_t EndPartialLen, std::span<const uint8_t> EndKey,
                                              bool EndInclusive) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (c.IndexNumber() == 0) return kNoAssociatedIndex;
        if (!keyDataFits(c, DirectKey, StartKey.size()) || !keyDataFits(c, DirectKey, EndKey.size()))
            return kResultInvalidParameter;
        return c.SetRange(DirectKey, StartFieldCount, StartPartialLen, dataOrNull(StartKey), StartInclusive,
                          EndFieldCount, EndPartialLen, dataOrNull(EndKey), EndInclusive);
    });
}

TqbResultCode TqbServerEngine::CursorSetTimeout(TqbHandle CursorID, uint32_t Timeout) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        c.SetTimeout(Timeout);
        return 0;
    });
}

TqbResultCode TqbServerEngine::CursorSetToBegin(TqbHandle CursorID) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) { return c.SetToBegin(); });
}

TqbResultCode TqbServerEngine::CursorSetToBookmark(TqbHandle CursorID, std::span<const uint8_t> Bookmark) {
    return CursorFrame(
        CursorID, [&](TqbSrBaseCursor& c) { return c.SetToBookmark(dataOrNull(Bookmark), Bookmark.size()); });
}

TqbResultCode TqbServerEngine::CursorSetToCursor(TqbHandle DestCursorID, TqbHandle SourceCursorID) {
    // The source is held too: it may belong to another client whose thread moves it.
    return TwoCursorFrame(DestCursorID, SourceCursorID, [](TqbSrBaseCursor& dest, TqbSrBaseCursor& source) {
        return dest.SetToCursor(source);
    });
}

TqbResultCode TqbServerEngine::CursorSetToEnd(TqbHandle CursorID) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) { return c.SetToEnd(); });
}

TqbResultCode TqbServerEngine::CursorSetToKey(TqbHandle CursorID, TqbSearchAction SearchAction,
                                              bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                              std::span<const uint8_t> KeyData) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (c.IndexNumber() == 0) return kNoAssociatedIndex;
        if (!keyDataFits(c, DirectKey, KeyData.size())) return kResultInvalidParameter;
        return c.SetToKey(SearchAction, DirectKey, FieldCount, PartialLen, dataOrNull(KeyData));
    });
}

TqbResultCode TqbServerEngine::CursorSwitchToIndex(TqbHandle CursorID, const std::string& IndexName,
                                                   int32_t IndexID, bool PosnOnRec) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        const TqbServerDataDict& d = c.Dictionary();
        int32_t index = IndexID;
        // A name that is given must be found: it never falls back to the number.
        if (!IndexName.empty()) index = IndexName.size() > 31 ? -1 : d.GetIndexFromName(IndexName);
        if (index < 0 || index >= d.IndexCount()) return kIndexDoesNotExist;
        if (index == c.IndexNumber()) return 0;
        return c.SwitchToIndex(index, PosnOnRec);
    });
}

TqbResultCode TqbServerEngine::CursorSetFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                               uint32_t Timeout) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return c.SetFilter(dataOrNull(Expression), Expression.size(), Timeout);
    });
}

// ---------------------------------------------------------------------------------------------
// Records

TqbResultCode TqbServerEngine::RecordDelete(TqbHandle CursorID, std::span<uint8_t> Data) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (!recordFits(c, Data.size(), true)) return kResultInvalidParameter;
        return seCursorWrite(c, true, true, true, [&] { return c.RecordDelete(dataOrNull(Data)); });
    });
}

TqbResultCode TqbServerEngine::RecordDeleteBatch(TqbHandle CursorID, int32_t BookmarkCount,
                                                 int32_t BookmarkSize, std::span<const uint8_t> Bookmarks,
                                                 std::vector<int32_t>& Errors) {
    Errors.clear();
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (BookmarkCount <= 0) return 0;
        if (BookmarkSize < 0 || size_t(BookmarkSize) != c.GetBookmarkSize() ||
            !batchFits(BookmarkCount, BookmarkSize, c.GetBookmarkSize(), Bookmarks.size()))
            return kResultInvalidParameter;
        Errors.assign(size_t(BookmarkCount), 0);
        return seCursorWrite(c, false, true, true, [&]() -> TqbResultCode {
            for (int32_t i = 0; i < BookmarkCount; ++i) {
                const uint8_t* bookmark = Bookmarks.data() + size_t(i) * size_t(BookmarkSize);
                TqbResultCode rc = c.SetToBookmark(bookmark, size_t(BookmarkSize));
                // The record is read and locked first: what fails there changed nothing, and the
                // batch goes on. A delete that fails after that may have changed the table in
                // part, and ends the batch.
                if (rc == 0) {
                    try {
                        rc = c.EnsureWritable(true, true);
                    } catch (...) {
                        rc = ConvertException(std::current_exception());
                    }
                }
                if (rc == 0) rc = c.RecordDelete(nullptr);
                Errors[size_t(i)] = rc;
            }
            return 0;
        });
    });
}

TqbResultCode TqbServerEngine::RecordExtractKey(TqbHandle CursorID, std::span<const uint8_t> Data,
                                                std::span<uint8_t> Key) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (c.IndexNumber() == 0) return kNoAssociatedIndex;
        if (!recordFits(c, Data.size(), true) || Key.size() < keyLength(c)) return kResultInvalidParameter;
        return notifiedRead(c, [&] { return c.RecordExtractKey(dataOrNull(Data), Key.data()); });
    });
}

TqbResultCode TqbServerEngine::RecordGet(TqbHandle CursorID, TqbLockType LockType, std::span<uint8_t> Data) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        uint8_t mode;
        if (!recordLockMode(LockType, mode) || !recordFits(c, Data.size(), true))
            return kResultInvalidParameter;
        return notifiedRead(c, [&] { return c.RecordGet(dataOrNull(Data), mode); });
    });
}

TqbResultCode TqbServerEngine::RecordGetBatch(TqbHandle CursorID, int32_t RequestCount, int32_t RecordLength,
                                              std::span<uint8_t> Data, int32_t& ReturnCount, int32_t& Error) {
    ReturnCount = 0;
    Error = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        const int32_t count = BatchReadCount(RequestCount);
        if (count < 0 || !batchFits(count, RecordLength, recordLength(c), Data.size()))
            return kResultInvalidParameter;
        for (int32_t i = 0; i < count; ++i) {
            Error = c.RecordGetNext(Data.data() + size_t(i) * size_t(RecordLength), lmNone);
            if (Error != 0) break;
            ++ReturnCount;
        }
        return ReturnCount == 0 && Error == 15444 ? 15444 : 0;
    });
}

TqbResultCode TqbServerEngine::RecordGetForKey(TqbHandle CursorID, bool DirectKey, int32_t FieldCount,
                                               int32_t PartialLen, std::span<const uint8_t> KeyData,
                                               std::span<uint8_t> Data, bool FirstCall) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return getForKey(c, DirectKey, FieldCount, PartialLen, KeyData, Data, FirstCall);
    });
}

TqbResultCode TqbServerEngine::RecordGetForKeyWithBookmark(TqbHandle CursorID, bool DirectKey,
                                                           int32_t FieldCount, int32_t PartialLen,
                                                           std::span<const uint8_t> KeyData,
                                                           std::span<uint8_t> Data, bool FirstCall,
                                                           std::span<uint8_t> Bookmark) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (Bookmark.size() < c.GetBookmarkSize()) return kResultInvalidParameter;
        return getForKey(c, DirectKey, FieldCount, PartialLen, KeyData, Data, FirstCall, Bookmark.data());
    });
}

TqbResultCode TqbServerEngine::RecordGetNext(TqbHandle CursorID, TqbLockType LockType,
                                             std::span<uint8_t> Data) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        uint8_t mode;
        if (!recordLockMode(LockType, mode) || !recordFits(c, Data.size(), true))
            return kResultInvalidParameter;
        return notifiedRead(c, [&] { return c.RecordGetNext(dataOrNull(Data), mode); });
    });
}

TqbResultCode TqbServerEngine::RecordGetPrior(TqbHandle CursorID, TqbLockType LockType,
                                              std::span<uint8_t> Data) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        uint8_t mode;
        if (!recordLockMode(LockType, mode) || !recordFits(c, Data.size(), true))
            return kResultInvalidParameter;
        return notifiedRead(c, [&] { return c.RecordGetPrior(dataOrNull(Data), mode); });
    });
}

TqbResultCode TqbServerEngine::RecordStepWithBookmark(TqbHandle CursorID, bool Forward, TqbLockType LockType,
                                                      std::span<uint8_t> Data, std::span<uint8_t> Bookmark) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return readWithBookmark(c, LockType, Data, Bookmark, [&](uint8_t* d, uint8_t mode) {
            return Forward ? c.RecordGetNext(d, mode) : c.RecordGetPrior(d, mode);
        });
    });
}

TqbResultCode TqbServerEngine::RecordGetWithBookmark(TqbHandle CursorID, TqbLockType LockType,
                                                     std::span<uint8_t> Data, std::span<uint8_t> Bookmark) {
    return CursorFrame(CursorID,
                       [&](TqbSrBaseCursor& c) { return getWithBookmark(c, LockType, Data, Bookmark); });
}

TqbResultCode TqbServerEngine::seRecordInsert(TqbSrBaseCursor& c, TqbLockType LockType,
                                              std::span<const uint8_t> Data) {
    uint8_t mode;
    if (!recordLockMode(LockType, mode) || !recordFits(c, Data.size(), false)) return kResultInvalidParameter;
    // Inside the client's transaction a failed insert undoes itself: the transaction stays good.
    // The work holds one pointer, so its function object needs no block of its own.
    const struct {
        TqbSrBaseCursor& c;
        const uint8_t* record;
        uint8_t mode;
    } insert{c, Data.data(), mode};
    return seCursorWrite(c, false, true, false,
                         [&insert] { return insert.c.RecordInsert(insert.record, insert.mode); });
}

TqbResultCode TqbServerEngine::RecordInsert(TqbHandle CursorID, TqbLockType LockType,
                                            std::span<const uint8_t> Data) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) { return seRecordInsert(c, LockType, Data); });
}

TqbResultCode TqbServerEngine::RecordInsertThenGet(TqbHandle CursorID, bool ToEnd, TqbLockType LockType,
                                                   std::span<const uint8_t> Record, std::span<uint8_t> Data,
                                                   std::span<uint8_t> Bookmark, bool& EndFailed,
                                                   TqbResultCode& ReadResult) {
    EndFailed = ToEnd; // a refusal of the frame is the positioning's, as it would be its own call's
    ReadResult = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        // Each step answers as the operation of its own would: an exception is its code, and a later
        // step has its own deadline (the first one has the frame's).
        bool first = true;
        auto step = [&](auto&& Work) -> TqbResultCode {
            std::optional<TqbDeadlineScope> deadline;
            if (!std::exchange(first, false)) deadline.emplace(c.Timeout());
            try {
                return Work();
            } catch (...) {
                return ConvertException(std::current_exception());
            }
        };
        if (ToEnd) {
            if (const TqbResultCode rc = step([&] { return c.SetToEnd(); })) return rc;
            EndFailed = false;
        }
        if (const TqbResultCode rc = step([&] { return seRecordInsert(c, LockType, Record); })) return rc;
        if (!Data.empty()) ReadResult = step([&] { return getWithBookmark(c, qbltNone, Data, Bookmark); });
        return 0;
    });
}

TqbResultCode TqbServerEngine::RecordInsertBatch(TqbHandle CursorID, int32_t RecordCount,
                                                 int32_t RecordLength, std::span<const uint8_t> Data,
                                                 std::vector<int32_t>& Errors) {
    Errors.clear();
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (RecordCount <= 0) return 0;
        if (!batchFits(RecordCount, RecordLength, recordLength(c), Data.size()))
            return kResultInvalidParameter;
        Errors.assign(size_t(RecordCount), 0);
        return seCursorWrite(c, false, true, false, [&]() -> TqbResultCode {
            SelfUndoScope undo(c);
            for (int32_t i = 0; i < RecordCount; ++i) {
                const uint8_t* record = Data.data() + size_t(i) * size_t(RecordLength);
                try {
                    Errors[size_t(i)] = c.RecordInsert(record, lmExclusive);
                } catch (...) {
                    Errors[size_t(i)] = ConvertException(std::current_exception());
                }
            }
            return 0;
        });
    });
}

TqbResultCode TqbServerEngine::RecordIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) {
    IsLocked = false;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        uint8_t mode;
        if (!recordLockMode(LockType, mode)) return kResultInvalidParameter;
        if (TqbResultCode rc = c.NotifyExtenders(kActionQuery, eaNoUndo)) return rc;
        return c.RecordIsLocked(mode, IsLocked);
    });
}

TqbResultCode TqbServerEngine::RecordModify(TqbHandle CursorID, std::span<const uint8_t> Data, bool RelLock) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (!recordFits(c, Data.size(), false)) return kResultInvalidParameter;
        // A failed modify undoes itself inside the client's transaction.
        return seCursorWrite(c, true, false, false, [&] { return c.RecordModify(Data.data(), RelLock); });
    });
}

TqbResultCode TqbServerEngine::RecordReleaseLock(TqbHandle CursorID, bool AllLocks) {
    (void)AllLocks; // the cursor holds at most the lock of its current record
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        c.RecordReleaseLock();
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// BLOBs

namespace {
uint32_t spanLength(size_t Size) {
    return uint32_t(std::min<size_t>(Size, std::numeric_limits<uint32_t>::max()));
}
} // namespace

TqbResultCode TqbServerEngine::BLOBCreate(TqbHandle CursorID, uint64_t& BLOBNr) {
    BLOBNr = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return seCursorWrite(c, false, false, true, [&] { return c.BLOBCreate(BLOBNr); });
    });
}

TqbResultCode TqbServerEngine::BLOBDelete(TqbHandle CursorID, uint64_t BLOBNr) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return seCursorWrite(c, false, false, true, [&] { return c.BLOBDelete(BLOBNr); });
    });
}

TqbResultCode TqbServerEngine::BLOBListSegments(TqbHandle CursorID, uint64_t BLOBNr, cls::TStream& Stream) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        std::string text;
        if (TqbResultCode rc = c.BLOBListSegments(BLOBNr, text)) return rc;
        if (!text.empty()) Stream.WriteBuffer(text.data(), int32_t(text.size()));
        return 0;
    });
}

TqbResultCode TqbServerEngine::BLOBRead(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                        std::span<uint8_t> Buffer, uint32_t& BytesRead) {
    BytesRead = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return c.BLOBRead(BLOBNr, Offset, spanLength(Buffer.size()), Buffer.data(), BytesRead);
    });
}

TqbResultCode TqbServerEngine::BLOBFree(TqbHandle CursorID, uint64_t BLOBNr, bool ReadOnly) {
    if (ReadOnly) return 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        // An empty BLOB deleted (13058) is a success: its implicit transaction is committed, and a
        // commit that fails is reported.
        bool emptied = false;
        const TqbResultCode rc = seCursorWrite(c, false, false, true, [&]() -> TqbResultCode {
            const TqbResultCode r = c.BLOBFree(BLOBNr);
            emptied = r == kBLOBModified;
            return emptied ? 0 : r;
        });
        return rc == 0 && emptied ? kBLOBModified : rc;
    });
}

TqbResultCode TqbServerEngine::BLOBGetLength(TqbHandle CursorID, uint64_t BLOBNr, uint32_t& Length) {
    Length = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        int32_t error = 0;
        const int64_t n = c.BLOBGetLength(BLOBNr, error);
        if (error) return error;
        Length = uint32_t(std::clamp<int64_t>(n, 0, std::numeric_limits<uint32_t>::max()));
        return 0;
    });
}

TqbResultCode TqbServerEngine::BLOBTruncate(TqbHandle CursorID, uint64_t BLOBNr, uint32_t NewLength) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) {
        return seCursorWrite(c, false, false, true, [&] { return c.BLOBTruncate(BLOBNr, NewLength); });
    });
}

TqbResultCode TqbServerEngine::BLOBWrite(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                         std::span<const uint8_t> Buffer) {
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (Buffer.size() > std::numeric_limits<uint32_t>::max()) return kResultInvalidParameter;
        // A write that failed half-way inside the client's transaction fails that transaction.
        return seCursorWrite(c, false, false, true, [&] {
            return c.BLOBWrite(BLOBNr, Offset, uint32_t(Buffer.size()), dataOrNull(Buffer));
        });
    });
}

TqbResultCode TqbServerEngine::BLOBCreateFile(TqbHandle CursorID, const std::string& FileName,
                                              uint64_t& BLOBNr) {
    BLOBNr = 0;
    return CursorFrame(CursorID, [&](TqbSrBaseCursor& c) -> TqbResultCode {
        if (FileName.empty() || FileName.size() > 255) return kResultInvalidParameter;
        return seCursorWrite(c, false, false, true, [&] { return c.BLOBCreateFile(FileName, BLOBNr); });
    });
}

// ---------------------------------------------------------------------------------------------
// SQL statements: handed to the SQL engine; without one every operation fails (15462).

namespace {

// Work(sql) under a deadline of the SQL operations (when FixedDeadline), exceptions converted.
template <class F> TqbResultCode sqlCall(TqbServerEngine& Engine, bool FixedDeadline, F&& Work) {
    try {
        std::optional<TqbDeadlineScope> deadline;
        if (FixedDeadline) deadline.emplace(kSQLDeadlineMs);
        return Work(RequireSQLEngine(Engine.SQLEngine(), Engine.seGetServerName()));
    } catch (...) {
        return Engine.ConvertException(std::current_exception());
    }
}

} // namespace

TqbResultCode TqbServerEngine::SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) {
    StmtID = 0;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase&) {
        return sqlCall(*this, true,
                       [&](TqbBaseSQLEngine& sql) { return sql.SQLAlloc(DatabaseID, Timeout, StmtID); });
    });
}

TqbResultCode TqbServerEngine::SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                                       cls::TStream& Stream) {
    CursorID = 0;
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    return sqlCall(*this, false,
                   [&](TqbBaseSQLEngine& sql) { return sql.SQLExec(StmtID, OpenMode, CursorID, Stream); });
}

TqbResultCode TqbServerEngine::SQLExecDirect(TqbHandle DatabaseID, const std::string& Query, uint32_t Timeout,
                                             TqbOpenMode OpenMode, TqbHandle& CursorID,
                                             cls::TStream& Stream) {
    CursorID = 0;
    return DatabaseFrame(DatabaseID, [&](TqbSrDatabase&) {
        return sqlCall(*this, true, [&](TqbBaseSQLEngine& sql) {
            return sql.SQLExecDirect(DatabaseID, Query, Timeout, OpenMode, CursorID, Stream);
        });
    });
}

TqbResultCode TqbServerEngine::SQLFree(TqbHandle StmtID) {
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    return sqlCall(*this, true, [&](TqbBaseSQLEngine& sql) { return sql.SQLFree(StmtID); });
}

TqbResultCode TqbServerEngine::SQLPrepare(TqbHandle StmtID, const std::string& Query, cls::TStream& Stream) {
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    return sqlCall(*this, true, [&](TqbBaseSQLEngine& sql) { return sql.SQLPrepare(StmtID, Query, Stream); });
}

TqbResultCode TqbServerEngine::SQLSetParams(TqbHandle StmtID, uint16_t ParamCount,
                                            std::span<const uint8_t> ParamDescs,
                                            std::span<const uint8_t> ParamData, cls::TStream& Stream) {
    if (State() != qbsStarted) return kResultNotStarted;
    TqbInFlight flight(*this);
    return sqlCall(*this, true, [&](TqbBaseSQLEngine& sql) {
        return sql.SQLSetParams(StmtID, ParamCount, ParamDescs, ParamData, Stream);
    });
}
