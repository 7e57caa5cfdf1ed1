// The server's request decoder: every engine request of the operation table run against the
// engine, with each remote client kept to the handles it was given.
#include "db/remote/qbsrdisp.h"

#include "classlib/Classes.h"
#include "db/engine/qbsrengn.h"
#include "db/storage/qblldict.h"

#include "platform/Paths.h"

#include <algorithm>
#include <exception>
#include <filesystem>

using namespace qbops;

namespace {

// The configuration folder holds the users' password hashes and the key procedures: no remote
// client's database.
constexpr TqbResultCode kResultSystemFile = 8449; // "Cannot open a system file."

std::vector<uint8_t> streamBytes(cls::TMemoryStream& m) {
    return std::vector<uint8_t>(m.Memory(), m.Memory() + m.Size());
}

std::vector<uint8_t> sized(uint32_t n) {
    return std::vector<uint8_t>(n, 0);
}

} // namespace

TqbResultCode TqbServerDispatcher::AddClient(const std::string& ClientName, const std::string& UserName,
                                             uint32_t Timeout, uint32_t& PasswordHash, TqbHandle& ClientID) {
    ClientID = 0;
    TqbHandle client = 0;
    if (TqbResultCode rc = engine_.ClientAdd(client, ClientName, UserName, Timeout, PasswordHash)) return rc;
    AdoptClient(client);
    ClientID = client;
    return 0;
}

bool TqbServerDispatcher::AdoptClient(TqbHandle ClientID) {
    std::lock_guard lk(m_);
    return clients_.try_emplace(ClientID).second;
}

TqbResultCode TqbServerDispatcher::RemoveClient(TqbHandle ClientID) {
    {
        std::lock_guard lk(m_);
        if (!clients_.erase(ClientID)) return kResultUnknownClient;
    }
    return engine_.ClientRemove(ClientID);
}

void TqbServerDispatcher::RemoveAllClients() {
    std::vector<TqbHandle> ids;
    {
        std::lock_guard lk(m_);
        for (const auto& [id, handles] : clients_)
            ids.push_back(id);
    }
    for (TqbHandle id : ids)
        RemoveClient(id);
}

size_t TqbServerDispatcher::HandleCount(TqbHandle ClientID) {
    std::lock_guard lk(m_);
    auto it = clients_.find(ClientID);
    return it == clients_.end() ? 0 : it->second.size();
}

TqbResultCode TqbServerDispatcher::owns(TqbHandle client, TqbHandle handle, TqbHandleKind kind, bool zero) {
    if (handle == 0 && zero) return 0;
    if (kind == TqbHandleKind::Client) return handle == client ? 0 : kResultUnknownClient;
    std::lock_guard lk(m_);
    auto c = clients_.find(client);
    if (c == clients_.end()) return kResultUnknownClient;
    return c->second.count({kind, handle}) ? 0 : UnknownHandleCode(kind);
}

void TqbServerDispatcher::give(TqbHandle client, TqbHandle handle, TqbHandleKind kind, TqbHandle parent) {
    if (!handle || handle == kNoRebuildID) return;
    std::lock_guard lk(m_);
    auto c = clients_.find(client);
    if (c != clients_.end()) c->second[{kind, handle}] = parent;
}

void TqbServerDispatcher::take(TqbHandle client, TqbHandle handle, TqbHandleKind kind) {
    std::lock_guard lk(m_);
    auto c = clients_.find(client);
    if (c == clients_.end()) return;
    HandleMap& handles = c->second;
    handles.erase({kind, handle});
    // What lived in a closed session or database goes with it.
    std::vector<TqbHandle> databases;
    if (kind == TqbHandleKind::Session) {
        for (const auto& [key, parent] : handles)
            if (key.first == TqbHandleKind::Database && parent == handle) databases.push_back(key.second);
    } else if (kind == TqbHandleKind::Database) {
        databases.push_back(handle);
    }
    for (TqbHandle db : databases) {
        handles.erase({TqbHandleKind::Database, db});
        std::erase_if(handles, [&](const auto& e) {
            return (e.first.first == TqbHandleKind::Cursor || e.first.first == TqbHandleKind::Statement) &&
                   e.second == db;
        });
    }
}

TqbHandle TqbServerDispatcher::parentOf(TqbHandle client, TqbHandle handle, TqbHandleKind kind) {
    std::lock_guard lk(m_);
    auto c = clients_.find(client);
    if (c == clients_.end()) return 0;
    auto h = c->second.find({kind, handle});
    return h == c->second.end() ? 0 : h->second;
}

TqbResultCode TqbServerDispatcher::refuseConfigFolder(TqbHandle client, const std::string& path) {
    auto* engine = dynamic_cast<TqbServerEngine*>(&engine_);
    if (!engine || path.empty()) return 0;
    // The same folder by any name: either separator, "..", a trailing separator, a link, or a
    // spelling a case-blind file system takes.
    std::error_code ec;
    if (!std::filesystem::equivalent(plat::ToNativePath(path), plat::ToNativePath(engine->ConfigDir()), ec))
        return 0;
    engine_.LogString("Client " + std::to_string(client) +
                      " refused the configuration folder as a database: " + path);
    return kResultSystemFile;
}

TqbDispatchResult TqbServerDispatcher::Dispatch(TqbHandle ClientID, uint32_t MsgID,
                                                std::span<const uint8_t> Request) {
    TqbDispatchResult out;
    if (MsgID == kMsgKeyCheck) {
        out.Handled = true;
        return out;
    }
    const TqbOpDesc* d = FindByMessage(MsgID);
    if (!d) return out;
    out.Handled = true;
    {
        std::lock_guard lk(m_);
        if (!clients_.count(ClientID)) {
            out.ErrorCode = kResultUnknownClient;
            return out;
        }
    }
    try {
        if (d->RequestKind == TqbRequestKind::Stream)
            out.ErrorCode = runStream(ClientID, *d, Request, out.Reply);
        else
            out.ErrorCode = run(ClientID, *d, Request, out.Reply);
    } catch (const std::exception&) {
        // The engine raises nothing; this is the decoder's own failure (memory, a bad row).
        out.ErrorCode = kResultUnknownServerError;
    }
    // A failed operation sends no data that could be taken for a result.
    if (out.ErrorCode && d->ReplyKind != TqbReplyKind::Codes && d->ReplyKind != TqbReplyKind::Batch)
        out.Reply.clear();
    return out;
}

TqbResultCode TqbServerDispatcher::runStream(TqbHandle client, const TqbOpDesc& d,
                                             std::span<const uint8_t> request, std::vector<uint8_t>& reply) {
    switch (d.Op) {
    case TqbOp::TransactionStartWith: {
        TqbHandle db = 0;
        bool failSafe = false;
        std::vector<TqbHandle> cursors;
        if (TqbResultCode rc = DecodeTransactionStartWith(request, db, failSafe, cursors)) return rc;
        if (TqbResultCode rc = owns(client, db, TqbHandleKind::Database)) return rc;
        for (TqbHandle c : cursors)
            if (TqbResultCode rc = owns(client, c, TqbHandleKind::Cursor)) return rc;
        return engine_.TransactionStartWith(db, failSafe, cursors);
    }
    case TqbOp::TableBuild: {
        TqbHandle db = 0;
        bool overWrite = false;
        std::string name;
        TqbDataDictionary dict;
        if (TqbResultCode rc = DecodeTableBuild(request, db, overWrite, name, dict)) return rc;
        if (TqbResultCode rc = owns(client, db, TqbHandleKind::Database)) return rc;
        return engine_.TableBuild(db, overWrite, name, false, dict);
    }
    case TqbOp::TableRestructure: {
        TqbHandle db = 0, rebuild = kNoRebuildID;
        std::string name;
        TqbDataDictionary dict;
        cls::TStringList map;
        bool hasMap = false;
        if (TqbResultCode rc = DecodeTableRestructure(request, db, name, dict, map, hasMap)) return rc;
        if (TqbResultCode rc = owns(client, db, TqbHandleKind::Database)) return rc;
        TqbResultCode rc = engine_.TableRestructure(db, name, dict, hasMap ? &map : nullptr, rebuild);
        give(client, rebuild, TqbHandleKind::Rebuild);
        reply = EncodeU32(rebuild);
        return rc;
    }
    case TqbOp::SQLSetParams: {
        TqbHandle stmt = 0;
        uint16_t count = 0;
        std::span<const uint8_t> descs, data;
        if (TqbResultCode rc = DecodeSQLSetParams(request, stmt, count, descs, data)) return rc;
        if (TqbResultCode rc = owns(client, stmt, TqbHandleKind::Statement)) return rc;
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.SQLSetParams(stmt, count, descs, data, m);
        reply = streamBytes(m);
        return rc;
    }
    default:
        return kResultMessageUnrecognized;
    }
}

TqbResultCode TqbServerDispatcher::run(TqbHandle client, const TqbOpDesc& d, std::span<const uint8_t> request,
                                       std::vector<uint8_t>& reply) {
    TqbRequestReader r(d, request);
    if (TqbResultCode rc = r.Check()) return rc;
    for (size_t i = 0; i < d.Fields.size(); ++i) {
        const TqbField& f = d.Fields[i];
        if (f.Kind != TqbFieldKind::Handle) continue;
        if (TqbResultCode rc = owns(client, r.U32(i), f.HandleKind, f.ZeroAllowed)) return rc;
    }
    // A size the client asks the server to fill and send back.
    auto bounded = [](uint64_t n) { return n <= kMaxWireData; };
    auto lock = [&](size_t i) { return TqbLockType(r.U8(i)); };
    auto openMode = [&](size_t i) { return TqbOpenMode(r.U8(i)); };
    auto shareMode = [&](size_t i) { return TqbShareMode(r.U8(i)); };
    // The value is read after the call that fills it: arguments have no order of their own.
    auto u32Reply = [&](TqbResultCode rc, const auto& v) {
        if (!rc) reply = EncodeU32(uint32_t(v));
        return rc;
    };
    auto boolReply = [&](TqbResultCode rc, const bool& v) {
        if (!rc) reply = EncodeBool(v);
        return rc;
    };
    // Reads into a buffer of n bytes that becomes the reply.
    auto sizedCall = [&](uint64_t n, auto&& call) -> TqbResultCode {
        if (!bounded(n)) return kResultMessageUnrecognized;
        reply = sized(uint32_t(n));
        return call(std::span<uint8_t>(reply));
    };
    auto rebuildReply = [&](TqbResultCode rc, const TqbHandle& rebuild) {
        give(client, rebuild, TqbHandleKind::Rebuild);
        reply = EncodeU32(rebuild);
        return rc;
    };
    // The operation's object: the first field when it is a handle (cursor, database, session, ...).
    const TqbHandle c = !d.Fields.empty() && d.Fields[0].Kind == TqbFieldKind::Handle ? r.U32(0) : 0;

    switch (d.Op) {
    case TqbOp::GetIsReadOnly: {
        bool readOnly = engine_.GetIsReadOnly();
        return boolReply(0, readOnly);
    }
    case TqbOp::TransactionCommit:
    case TqbOp::TransactionRollback:
        return r.U8(1) ? engine_.TransactionCommit(c) : engine_.TransactionRollback(c);
    case TqbOp::TransactionStart:
        return engine_.TransactionStart(c, r.Bool(1));
    case TqbOp::ClientSetTimeout:
        return engine_.ClientSetTimeout(client, r.U32(0));
    case TqbOp::SessionAdd: {
        TqbHandle s = 0;
        TqbResultCode rc = engine_.SessionAdd(client, r.U32(0), s);
        if (!rc) give(client, s, TqbHandleKind::Session);
        return u32Reply(rc, s);
    }
    case TqbOp::SessionCloseUnusedTables:
        // The session named is the one the proxy holds current.
        if (TqbResultCode rc = engine_.SessionSetCurrent(client, c)) return rc;
        return engine_.SessionCloseUnusedTables(client);
    case TqbOp::SessionRemove: {
        TqbResultCode rc = engine_.SessionRemove(client, c);
        if (!rc) take(client, c, TqbHandleKind::Session);
        return rc;
    }
    case TqbOp::SessionSetCurrent:
        return engine_.SessionSetCurrent(client, c);
    case TqbOp::SessionSetTimeout:
        return engine_.SessionSetTimeout(client, c, r.U32(1));
    case TqbOp::AliasAdd:
        if (TqbResultCode rc = refuseConfigFolder(client, r.Str(1))) return rc;
        return engine_.AliasAdd(r.Str(0), r.Str(1), client);
    case TqbOp::AliasList: {
        std::vector<TqbAliasRecord> list;
        TqbResultCode rc = engine_.AliasList(list, client);
        for (const auto& a : list) {
            auto b = EncodeRecord(a);
            reply.insert(reply.end(), b.begin(), b.end());
        }
        return rc;
    }
    case TqbOp::AliasChangePath:
        if (TqbResultCode rc = refuseConfigFolder(client, r.Str(1))) return rc;
        return engine_.AliasChangePath(r.Str(0), r.Str(1), client);
    case TqbOp::DatabaseClose: {
        TqbResultCode rc = engine_.DatabaseClose(c);
        if (!rc) take(client, c, TqbHandleKind::Database);
        return rc;
    }
    case TqbOp::AliasDelete:
        return engine_.AliasDelete(r.Str(0), client);
    case TqbOp::AliasGetPath: {
        std::string path;
        TqbResultCode rc = engine_.AliasGetPath(r.Str(0), client, path);
        if (!rc) {
            if (path.size() > FieldMaxChars(TqbFieldKind::Path)) return kResultNameTooLong;
            reply = EncodePathReply(path);
        }
        return rc;
    }
    case TqbOp::DatabaseGetFreeSpace: {
        int32_t space = 0;
        return u32Reply(engine_.DatabaseGetFreeSpace(c, space), space);
    }
    case TqbOp::AliasModify:
        if (TqbResultCode rc = refuseConfigFolder(client, r.Str(3))) return rc;
        return engine_.AliasModify(client, r.Str(1), r.Str(2), r.Str(3));
    case TqbOp::DatabaseOpen:
    case TqbOp::DatabaseOpenPath: {
        TqbHandle db = 0;
        std::string path = r.Str(0);
        if (d.Op == TqbOp::DatabaseOpen && engine_.AliasGetPath(r.Str(0), client, path)) path.clear();
        if (TqbResultCode rc = refuseConfigFolder(client, path)) return rc;
        TqbResultCode rc =
            d.Op == TqbOp::DatabaseOpen
                ? engine_.DatabaseOpen(client, r.Str(0), openMode(1), shareMode(2), r.U32(3), db)
                : engine_.DatabaseOpenPath(client, r.Str(0), openMode(1), shareMode(2), r.U32(3), db);
        if (!rc) {
            // The database lives in the client's current session and closes with it.
            TqbHandle session = 0;
            engine_.SessionGetCurrent(client, session);
            give(client, db, TqbHandleKind::Database, session);
        }
        return u32Reply(rc, db);
    }
    case TqbOp::DatabaseSetTimeout:
        return engine_.DatabaseSetTimeout(c, r.U32(1));
    case TqbOp::TableExists: {
        bool exists = false;
        return boolReply(engine_.TableExists(c, r.Str(1), exists), exists);
    }
    case TqbOp::TableList: {
        std::vector<TqbTableListRecord> list;
        TqbResultCode rc = engine_.TableList(c, r.Str(1), list);
        for (const auto& t : list) {
            auto b = EncodeRecord(t);
            reply.insert(reply.end(), b.begin(), b.end());
        }
        return rc;
    }
    case TqbOp::TableIsLockedExclusive: {
        bool locked = false;
        return boolReply(engine_.TableIsLockedExclusive(c, r.Str(1), locked), locked);
    }
    case TqbOp::RebuildGetStatus: {
        bool present = false;
        TqbRebuildStatus status{};
        TqbResultCode rc = engine_.RebuildGetStatus(c, client, present, status);
        // A finished job's status is read once; its handle goes with it.
        if (!rc && (!present || status.Finished)) take(client, c, TqbHandleKind::Rebuild);
        if (!rc) reply = EncodeRebuildStatusReply(status, present);
        return rc;
    }
    case TqbOp::TableAddIndex: {
        TqbIndexDescriptor desc;
        if (TqbResultCode rc = DecodeIndexDesc(r.Raw(3), desc)) return rc;
        return engine_.TableAddIndex(c, r.U32(1), r.Str(2), desc);
    }
    case TqbOp::TableDelete:
        return engine_.TableDelete(c, r.Str(1));
    case TqbOp::TableDropIndex:
        return engine_.TableDropIndex(c, r.U32(1), r.Str(2), r.Str(3), r.I32(4));
    case TqbOp::TableEmpty:
        return engine_.TableEmpty(c, r.U32(1), r.Str(2));
    case TqbOp::TableGetAutoInc: {
        uint32_t v = 0;
        return u32Reply(engine_.TableGetAutoInc(c, v), v);
    }
    case TqbOp::TableGetDictionary: {
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.TableGetDictionary(c, r.Str(1), m);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::TableGetRecordCount: {
        int32_t n = 0;
        return u32Reply(engine_.TableGetRecordCount(c, n), n);
    }
    case TqbOp::TableGetRecordCountAsync: {
        TqbHandle rebuild = kNoRebuildID;
        return rebuildReply(engine_.TableGetRecordCountAsync(c, rebuild), rebuild);
    }
    case TqbOp::TableOpen: {
        TqbHandle cursor = 0;
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.TableOpen(c, r.Str(1), false, r.Str(2), r.I32(3), openMode(4),
                                             shareMode(5), r.U32(6), cursor, &m);
        if (!rc) give(client, cursor, TqbHandleKind::Cursor, c);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::TablePack: {
        TqbHandle rebuild = kNoRebuildID;
        return rebuildReply(engine_.TablePack(c, r.Str(1), rebuild), rebuild);
    }
    case TqbOp::TableReindex: {
        TqbHandle rebuild = kNoRebuildID;
        return rebuildReply(engine_.TableReindex(c, r.Str(1), r.Str(2), r.I32(3), rebuild), rebuild);
    }
    case TqbOp::TableRename:
        return engine_.TableRename(c, r.Str(1), r.Str(2));
    case TqbOp::TableSetAutoInc:
        return engine_.TableSetAutoInc(c, r.U32(1));
    case TqbOp::TableIsLocked: {
        bool locked = false;
        return boolReply(engine_.TableIsLocked(c, lock(1), locked), locked);
    }
    case TqbOp::TableLockAcquire:
        return engine_.TableLockAcquire(c, lock(1));
    case TqbOp::TableLockRelease:
        return engine_.TableLockRelease(c, lock(1), r.Bool(2));
    case TqbOp::CursorClone: {
        TqbHandle clone = 0;
        TqbResultCode rc = engine_.CursorClone(c, openMode(1), clone);
        if (!rc) give(client, clone, TqbHandleKind::Cursor, parentOf(client, c, TqbHandleKind::Cursor));
        return u32Reply(rc, clone);
    }
    case TqbOp::CursorClose: {
        TqbResultCode rc = engine_.CursorClose(c);
        if (!rc) take(client, c, TqbHandleKind::Cursor);
        return rc;
    }
    case TqbOp::CursorCompareBookmarks: {
        int32_t result = 0;
        auto t = r.Tail();
        size_t half = t.size() / 2;
        return u32Reply(engine_.CursorCompareBookmarks(c, t.first(half), t.subspan(half), result), result);
    }
    case TqbOp::CursorCopyRecords:
        return engine_.CursorCopyRecords(c, r.U32(1), r.Bool(2));
    case TqbOp::CursorDeleteRecords:
        return engine_.CursorDeleteRecords(c);
    case TqbOp::CursorGetBookmark:
        return sizedCall(r.U32(1), [&](std::span<uint8_t> b) { return engine_.CursorGetBookmark(c, b); });
    case TqbOp::BLOBListFreeSpace: {
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.BLOBListFreeSpace(c, r.Bool(1), m);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::CursorOverrideFilter:
        return engine_.CursorOverrideFilter(c, r.Tail(), r.U32(1));
    case TqbOp::CursorSetFilter:
        return engine_.CursorSetFilter(c, r.Tail(), r.U32(1));
    case TqbOp::CursorResetRange:
        return engine_.CursorResetRange(c);
    case TqbOp::CursorRestoreFilter:
        return engine_.CursorRestoreFilter(c);
    case TqbOp::CursorSetRange:
        return engine_.CursorSetRange(c, r.Bool(1), r.I32(2), r.I32(3), r.TailFirst(), r.Bool(5), r.I32(6),
                                      r.I32(7), r.TailSecond(), r.Bool(9));
    case TqbOp::CursorSetTimeout:
        return engine_.CursorSetTimeout(c, r.U32(1));
    case TqbOp::CursorSetToBegin:
        return engine_.CursorSetToBegin(c);
    case TqbOp::CursorSetToBookmark:
        return engine_.CursorSetToBookmark(c, r.Tail());
    case TqbOp::CursorSetToCursor:
        return engine_.CursorSetToCursor(c, r.U32(1));
    case TqbOp::CursorSetToEnd:
        return engine_.CursorSetToEnd(c);
    case TqbOp::CursorSetToKey:
        return engine_.CursorSetToKey(c, r.U8(1), r.Bool(2), r.I32(3), r.I32(4), r.Tail());
    case TqbOp::CursorSwitchToIndex:
        return engine_.CursorSwitchToIndex(c, r.Str(1), r.I32(2), r.Bool(3));
    case TqbOp::RecordDelete:
        return sizedCall(r.U32(1), [&](std::span<uint8_t> b) { return engine_.RecordDelete(c, b); });
    case TqbOp::RecordDeleteBatch: {
        std::vector<int32_t> errors;
        int32_t count = r.I32(1);
        TqbResultCode rc = engine_.RecordDeleteBatch(c, count, int32_t(r.U32(2)), r.Tail(), errors);
        if (errors.size() == size_t(count)) reply = EncodeCodesReply(errors);
        return rc;
    }
    case TqbOp::RecordExtractKey: {
        // The flag and the record must agree: a record with "no record" is a malformed request.
        if (r.Bool(2) != r.Tail().empty()) return kResultMessageUnrecognized;
        return sizedCall(r.U32(1),
                         [&](std::span<uint8_t> b) { return engine_.RecordExtractKey(c, r.Tail(), b); });
    }
    case TqbOp::RecordGet:
    case TqbOp::RecordGetNext:
    case TqbOp::RecordGetPrior:
        return sizedCall(r.U32(1), [&](std::span<uint8_t> b) {
            if (d.Op == TqbOp::RecordGet) return engine_.RecordGet(c, lock(3), b);
            if (d.Op == TqbOp::RecordGetNext) return engine_.RecordGetNext(c, lock(3), b);
            return engine_.RecordGetPrior(c, lock(3), b);
        });
    case TqbOp::RecordGetBatch: {
        int32_t asked = r.I32(1), count = BatchReadCount(asked), length = int32_t(r.U32(2)), got = 0,
                error = 0;
        if (count < 0 || length < 0 || !bounded(uint64_t(count) * uint64_t(length)))
            return kResultMessageUnrecognized;
        std::vector<uint8_t> records(size_t(count) * size_t(length));
        TqbResultCode rc = engine_.RecordGetBatch(c, asked, length, records, got, error);
        got = std::clamp(got, 0, count);
        reply = EncodeBatchReply(got, error,
                                 std::span<const uint8_t>(records).first(size_t(got) * size_t(length)));
        return rc;
    }
    case TqbOp::RecordGetForKey:
        // The wire carries no first-call flag: every request starts its search anew.
        return sizedCall(r.U32(4), [&](std::span<uint8_t> b) {
            return engine_.RecordGetForKey(c, r.Bool(1), r.I32(2), r.I32(3), r.Tail(), b, true);
        });
    case TqbOp::RecordInsert:
        return engine_.RecordInsert(c, lock(3), r.Tail());
    case TqbOp::RecordInsertBatch: {
        std::vector<int32_t> errors;
        int32_t count = r.I32(2);
        TqbResultCode rc = engine_.RecordInsertBatch(c, count, int32_t(r.U32(1)), r.Tail(), errors);
        if (errors.size() == size_t(count)) reply = EncodeCodesReply(errors);
        return rc;
    }
    case TqbOp::RecordIsLocked: {
        bool locked = false;
        return boolReply(engine_.RecordIsLocked(c, lock(1), locked), locked);
    }
    case TqbOp::RecordModify:
        return engine_.RecordModify(c, r.Tail(), r.Bool(3));
    case TqbOp::RecordReleaseLock:
        return engine_.RecordReleaseLock(c, r.Bool(1));
    case TqbOp::BLOBCreate:
    case TqbOp::BLOBCreateFile: {
        uint64_t blob = 0;
        TqbResultCode rc = d.Op == TqbOp::BLOBCreate ? engine_.BLOBCreate(c, blob)
                                                     : engine_.BLOBCreateFile(c, r.Str(1), blob);
        if (!rc) reply = EncodeU64(blob);
        return rc;
    }
    case TqbOp::BLOBDelete:
        return engine_.BLOBDelete(c, r.U64(1));
    case TqbOp::BLOBListSegments: {
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.BLOBListSegments(c, r.U64(1), m);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::BLOBRead: {
        uint32_t length = r.U32(3), got = 0;
        if (!bounded(length)) return kResultMessageUnrecognized;
        std::vector<uint8_t> bytes(length);
        TqbResultCode rc = engine_.BLOBRead(c, r.U64(1), r.U32(2), bytes, got);
        if (!rc) reply = EncodeCountedReply(std::span<const uint8_t>(bytes).first(std::min(got, length)));
        return rc;
    }
    case TqbOp::BLOBFree:
        return engine_.BLOBFree(c, r.U64(1), r.Bool(2));
    case TqbOp::BLOBGetLength: {
        uint32_t length = 0;
        return u32Reply(engine_.BLOBGetLength(c, r.U64(1), length), length);
    }
    case TqbOp::BLOBTruncate:
        return engine_.BLOBTruncate(c, r.U64(1), r.U32(2));
    case TqbOp::BLOBWrite:
        return engine_.BLOBWrite(c, r.U64(1), r.U32(2), r.Tail());
    case TqbOp::SQLAlloc: {
        TqbHandle stmt = 0;
        TqbResultCode rc = engine_.SQLAlloc(c, r.U32(1), stmt);
        if (!rc) give(client, stmt, TqbHandleKind::Statement, c);
        return u32Reply(rc, stmt);
    }
    case TqbOp::SQLExec:
    case TqbOp::SQLExecDirect: {
        TqbHandle cursor = 0, parent = c;
        cls::TMemoryStream m;
        TqbResultCode rc = d.Op == TqbOp::SQLExec
                               ? engine_.SQLExec(c, openMode(1), cursor, m)
                               : engine_.SQLExecDirect(c, r.TailText(), r.U32(1), openMode(2), cursor, m);
        if (d.Op == TqbOp::SQLExec) parent = parentOf(client, c, TqbHandleKind::Statement);
        if (!rc) give(client, cursor, TqbHandleKind::Cursor, parent);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::SQLFree: {
        TqbResultCode rc = engine_.SQLFree(c);
        if (!rc) take(client, c, TqbHandleKind::Statement);
        return rc;
    }
    case TqbOp::SQLPrepare: {
        cls::TMemoryStream m;
        TqbResultCode rc = engine_.SQLPrepare(c, r.TailText(), m);
        reply = streamBytes(m);
        return rc;
    }
    case TqbOp::GetServerDateTime: {
        cls::TDateTime t = 0;
        TqbResultCode rc = engine_.GetServerDateTime(t);
        if (!rc) reply = EncodeRecord(t);
        return rc;
    }
    case TqbOp::GetServerSystemTime: {
        TqbSystemTime t{};
        TqbResultCode rc = engine_.GetServerSystemTime(t);
        if (!rc) reply = EncodeRecord(t);
        return rc;
    }
    case TqbOp::GetNewGUID:
    case TqbOp::GetServerID: {
        TqbGUID g{};
        TqbResultCode rc = d.Op == TqbOp::GetNewGUID ? engine_.GetNewGUID(g) : engine_.GetServerID(g);
        if (!rc) reply = EncodeRecord(g);
        return rc;
    }
    case TqbOp::GetServerStatistics: {
        TqbServerStatistics s{};
        TqbResultCode rc = engine_.GetServerStatistics(s);
        if (!rc) reply = EncodeRecord(s);
        return rc;
    }
    case TqbOp::GetCommandHandlerStatistics: {
        int32_t n = 0;
        return u32Reply(engine_.GetCommandHandlerStatistics(r.I32(0), n), n);
    }
    case TqbOp::GetTransportStatistics: {
        TqbTransportStatistics s{};
        TqbResultCode rc = engine_.GetTransportStatistics(r.I32(0), r.I32(1), s);
        if (!rc) reply = EncodeRecord(s);
        return rc;
    }
    default:
        return kResultMessageUnrecognized;
    }
}

// ---- the server's parts around the decoder -----------------------------------------------------------

bool TqbDispatchPlugIn::Process(TqbMessageRecord& Message) {
    std::span<const uint8_t> data(
        Message.Data.data(), std::min<size_t>(Message.Data.size(), size_t(std::max(0, Message.DataLength))));
    TqbDispatchResult r = dispatcher_.Dispatch(Message.ClientID, Message.MsgID, data);
    if (!r.Handled) return false;
    TqbBaseTransport::Reply(Message.MsgID, r.ErrorCode, r.Reply.data(), uint32_t(r.Reply.size()));
    return true;
}

TqbAddClientEvent ServerLoginHandler(TqbServerEngine& Engine, TqbServerDispatcher& Dispatcher) {
    return [&Engine, &Dispatcher](TqbBaseTransport*, const std::string& UserName, uint32_t Timeout, uint32_t,
                                  uint32_t& PasswordHash, uint32_t& ClientID, TqbResultCode& ErrorCode,
                                  bool& Secure, uint32_t&) {
        PasswordHash = 0;
        Secure = false;
        TqbServerConfiguration& config = Engine.Configuration();
        if (config.LoginRequired()) {
            // The key check after the login proves the password; the engine's own check passes
            // with the stored hash.
            uint32_t stored = UserName.empty() ? 0xFFFFFFFFu : config.UserList().PwdHash(UserName);
            if (stored == 0xFFFFFFFFu) {
                ErrorCode = kResultUnknownUser;
                return;
            }
            PasswordHash = stored;
            Secure = true;
        }
        uint32_t hash = PasswordHash;
        TqbHandle client = 0;
        ErrorCode = Dispatcher.AddClient("remote " + UserName, UserName, Timeout, hash, client);
        if (ErrorCode) {
            PasswordHash = 0;
            Secure = false;
            return;
        }
        ClientID = client;
    };
}

TqbRemoveClientEvent ServerRemoveHandler(TqbServerDispatcher& Dispatcher) {
    return [&Dispatcher](TqbBaseTransport*, uint32_t ClientID, TqbResultCode& ErrorCode) {
        ErrorCode = Dispatcher.RemoveClient(ClientID);
    };
}
