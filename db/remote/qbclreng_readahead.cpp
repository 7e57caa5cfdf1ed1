// The proxy client's read-ahead of cursor steps: steps with bookmarks fetched many in one request,
// handed out one by one, and dropped (the server cursor put back) before requests that may see
// or change what they hold.
#include "db/remote/qbclreng.h"

#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>

using qbops::TqbOp;

namespace {

// Requests that read or move only the cursors they name, or touch no cursor and no data: the
// read-ahead of the client's other cursors stays. Every other request may change what a cursor
// would read next.
bool ownCursorsOnly(TqbOp Op) {
    switch (Op) {
    case TqbOp::GetIsReadOnly:
    case TqbOp::ClientSetTimeout:
    case TqbOp::SessionSetCurrent:
    case TqbOp::SessionSetTimeout:
    case TqbOp::AliasList:
    case TqbOp::AliasGetPath:
    case TqbOp::DatabaseGetFreeSpace:
    case TqbOp::DatabaseSetTimeout:
    case TqbOp::TableExists:
    case TqbOp::TableList:
    case TqbOp::TableIsLockedExclusive:
    case TqbOp::RebuildGetStatus:
    case TqbOp::TableGetAutoInc:
    case TqbOp::TableGetDictionary:
    case TqbOp::TableGetRecordCount:
    case TqbOp::TableOpen:
    case TqbOp::TableIsLocked:
    case TqbOp::TableLockAcquire:
    case TqbOp::TableLockRelease:
    case TqbOp::CursorClone:
    case TqbOp::CursorClose:
    case TqbOp::CursorCompareBookmarks:
    case TqbOp::CursorGetBookmark:
    case TqbOp::BLOBListFreeSpace:
    case TqbOp::CursorOverrideFilter:
    case TqbOp::CursorResetRange:
    case TqbOp::CursorRestoreFilter:
    case TqbOp::CursorSetRange:
    case TqbOp::CursorSetTimeout:
    case TqbOp::CursorSetToBegin:
    case TqbOp::CursorSetToBookmark:
    case TqbOp::CursorSetToCursor:
    case TqbOp::CursorSetToEnd:
    case TqbOp::CursorSetToKey:
    case TqbOp::CursorSwitchToIndex:
    case TqbOp::CursorSetFilter:
    case TqbOp::RecordExtractKey:
    case TqbOp::RecordGet:
    case TqbOp::RecordGetBatch:
    case TqbOp::RecordGetForKey:
    case TqbOp::RecordGetNext:
    case TqbOp::RecordGetPrior:
    case TqbOp::RecordIsLocked:
    case TqbOp::RecordReleaseLock:
    case TqbOp::BLOBListSegments:
    case TqbOp::BLOBRead:
    case TqbOp::BLOBGetLength:
    case TqbOp::GetServerDateTime:
    case TqbOp::GetServerSystemTime:
    case TqbOp::GetNewGUID:
    case TqbOp::GetServerID:
    case TqbOp::GetServerStatistics:
    case TqbOp::GetCommandHandlerStatistics:
    case TqbOp::GetTransportStatistics:
    case TqbOp::RecordStepBatch:
        return true;
    default:
        return false;
    }
}

// The server cursors a request names.
std::vector<uint32_t> namedCursors(const qbops::TqbOpDesc& d, std::span<const uint8_t> Request) {
    std::vector<uint32_t> ids;
    if (d.RequestKind != qbops::TqbRequestKind::Fixed) return ids;
    for (const qbops::TqbField& f : d.Fields)
        if (f.Kind == qbops::TqbFieldKind::Handle && f.HandleKind == TqbHandleKind::Cursor &&
            Request.size() >= size_t(f.Offset) + 4)
            ids.push_back(plat::LoadLE32(Request.data() + f.Offset));
    return ids;
}

} // namespace

TqbResultCode TQBProxyClient::settle(uint32_t MsgID, std::span<const uint8_t> Request) {
    if (readAhead_.empty()) return 0;
    const qbops::TqbOpDesc* d = qbops::FindByMessage(MsgID);
    std::vector<uint32_t> ids;
    if (d && ownCursorsOnly(d->Op)) {
        ids = namedCursors(*d, Request);
        if (d->Op == TqbOp::CursorClose) {
            for (uint32_t id : ids)
                readAhead_.erase(id);
            return 0;
        }
    } else {
        for (const auto& e : readAhead_)
            ids.push_back(e.first);
    }
    TqbResultCode first = 0;
    for (uint32_t id : ids) {
        auto it = readAhead_.find(id);
        if (it == readAhead_.end()) continue;
        const TQBReadAhead& r = it->second;
        if (r.Ahead()) {
            qbops::TqbRequestWriter w(TqbOp::CursorSetToBookmark);
            w.U32(id).U32(uint32_t(r.Current.size())).Tail(r.Current);
            std::vector<uint8_t> bytes, reply;
            TqbResultCode rc = w.Finish(bytes);
            if (!rc)
                rc = transact(qbops::Describe(TqbOp::CursorSetToBookmark).MsgID,
                              qbops::RequestTimeout(TqbOp::CursorSetToBookmark, r.Timeout, bytes), bytes,
                              reply);
            if (!first) first = rc;
        }
        readAhead_.erase(it);
    }
    return first;
}

TqbResultCode TQBProxyClient::Step(TQBProxyCursor& Cursor, bool Forward, TqbLockType LockType,
                                   std::span<uint8_t> Data, std::span<uint8_t> Bookmark) {
    if (ForceClosed()) return kResultConnectionLost;
    const uint32_t id = Cursor.CursorID, len = uint32_t(Cursor.RecordLength()), bm = Cursor.BookmarkSize();
    const uint32_t row = len + bm;
    // Buffers the engine would refuse are refused before the cursor moves.
    if ((!Data.empty() && Data.size() < len) || (!Bookmark.empty() && Bookmark.size() < bm))
        return kResultInvalidParameter;
    std::lock_guard lk(requestMutex_);
    TQBReadAhead& r = readAhead_[id];
    if (r.RowSize != row) r = TQBReadAhead{};
    r.RowSize = row;
    r.Timeout = Cursor.Timeout();
    auto handOut = [&](const uint8_t* p) {
        if (!Data.empty()) std::memcpy(Data.data(), p, len);
        if (!Bookmark.empty()) std::memcpy(Bookmark.data(), p + len, bm);
        r.Current.assign(p + len, p + row);
    };
    const bool readsAhead = Forward && LockType == qbltNone;
    if (readsAhead && r.Next < r.Count) {
        handOut(r.Rows.data() + size_t(r.Next++) * row);
        return 0;
    }
    if (readsAhead && r.End) {
        const TqbResultCode rc = r.End;
        readAhead_.erase(id);
        return rc;
    }
    // A step the server makes: from the caller's row when the server cursor went past it.
    const std::vector<uint8_t> start = r.Ahead() ? r.Current : std::vector<uint8_t>();
    const int32_t most = std::max<int32_t>(1, (kRemoteStepBatchBytes - 8) / int32_t(std::max(row, 1u)));
    const int32_t n = readsAhead ? std::min(r.Batch, most) : 1;
    qbops::TqbRequestWriter w(TqbOp::RecordStepBatch);
    w.U32(id).I32(n).U32(len).U32(bm).Bool(Forward).U8(LockType).U32(uint32_t(start.size())).Tail(start);
    std::vector<uint8_t> bytes, reply;
    TqbResultCode rc = w.Finish(bytes);
    if (!rc)
        rc = transact(qbops::Describe(TqbOp::RecordStepBatch).MsgID,
                      qbops::RequestTimeout(TqbOp::RecordStepBatch, r.Timeout, bytes), bytes, reply);
    std::vector<uint8_t> rows(size_t(n) * row);
    int32_t got = 0, error = 0;
    if (!rc) rc = qbops::DecodeBatchReply(reply, n, int32_t(row), rows, got, error);
    // The server only stops early at a failed step.
    if (!rc && (got == 0 || got < n) && !error) rc = qbops::kResultMessageUnrecognized;
    if (rc || got == 0) {
        // Where the server cursor stands now is its own business: nothing here knows better.
        readAhead_.erase(id);
        return rc ? rc : error;
    }
    handOut(rows.data());
    const int32_t batch = std::min(2 * r.Batch, most);
    r.Rows = std::move(rows);
    r.Count = got;
    r.Next = 1;
    r.End = error;
    r.Batch = readsAhead ? batch : 1;
    return 0;
}

bool TQBProxyClient::KnownBookmark(uint32_t CursorID, std::span<uint8_t> Bookmark) {
    std::lock_guard lk(requestMutex_);
    auto it = readAhead_.find(CursorID);
    if (it == readAhead_.end() || it->second.Current.empty() || Bookmark.size() < it->second.Current.size())
        return false;
    const std::vector<uint8_t>& b = it->second.Current;
    std::memcpy(Bookmark.data(), b.data(), b.size());
    std::fill(Bookmark.begin() + ptrdiff_t(b.size()), Bookmark.end(), uint8_t(0));
    return true;
}
