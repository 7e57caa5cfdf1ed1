// The remote engine's operations: each checks its handles, builds its one request through the
// operation codec, sends it for the owning proxy object and checks the reply before anything of it
// reaches the caller.
#include "db/remote/qbclreng.h"

#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>

using qbops::TqbOp;
using qbops::TqbRequestWriter;
using Bytes = std::vector<uint8_t>;

namespace {

template <class Owner, class Fill> TqbResultCode ask(Owner& owner, TqbOp Op, Fill&& fill, Bytes& Reply) {
    TqbRequestWriter w(Op);
    fill(w);
    if constexpr (std::is_same_v<Owner, TQBProxyClient>)
        return owner.Send(Op, owner.Timeout(), w, Reply);
    else
        return owner.Send(Op, w, Reply);
}

template <class Owner, class Fill> TqbResultCode tell(Owner& owner, TqbOp Op, Fill&& fill) {
    Bytes reply;
    return ask(owner, Op, std::forward<Fill>(fill), reply);
}

// The caller's data as exactly Length bytes: what the server reads for the record or key.
Bytes exactly(std::span<const uint8_t> Data, size_t Length) {
    Bytes b(Length, 0);
    if (!Data.empty() && Length) std::memcpy(b.data(), Data.data(), std::min(Length, Data.size()));
    return b;
}

// A record, key or bookmark reply: checked against the size asked for, then copied into as much
// of Out as there is.
TqbResultCode sizedInto(std::span<const uint8_t> Reply, size_t Expected, std::span<uint8_t> Out) {
    Bytes tmp(Expected);
    if (TqbResultCode rc = qbops::DecodeSizedReply(Reply, tmp)) return rc;
    if (!Out.empty()) std::memcpy(Out.data(), tmp.data(), std::min(Out.size(), Expected));
    return 0;
}

void toStream(cls::TStream& Stream, std::span<const uint8_t> Data) {
    if (!Data.empty()) Stream.WriteBuffer(Data.data(), int32_t(Data.size()));
}

// The table name without folder and extension.
std::string bareTableName(const std::string& Name) {
    std::string s = Name;
    const size_t slash = s.find_last_of("/\\:");
    if (slash != std::string::npos) s.erase(0, slash + 1);
    const size_t dot = s.find_last_of('.');
    if (dot != std::string::npos) s.erase(dot);
    return s;
}

// Whether count items of size bytes fit one batch message.
bool batchFits(int32_t Count, int32_t Size) {
    return Size > 0 && Count >= 0 && kRemoteBatchBytes / Size >= Count;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Handle checks

template <class F> TqbResultCode TQBRemoteServerEngine::onClient(TqbHandle ClientID, F&& Work) {
    return guarded([&]() -> TqbResultCode {
        auto c = client(ClientID);
        return c ? Work(*c) : kResultInvalidHandle;
    });
}
template <class F> TqbResultCode TQBRemoteServerEngine::onDatabase(TqbHandle DatabaseID, F&& Work) {
    return guarded([&]() -> TqbResultCode {
        auto d = database(DatabaseID);
        return d ? Work(*d) : kResultInvalidHandle;
    });
}
template <class F> TqbResultCode TQBRemoteServerEngine::onCursor(TqbHandle CursorID, F&& Work) {
    return guarded([&]() -> TqbResultCode {
        auto c = cursor(CursorID);
        return c ? Work(*c) : kResultInvalidHandle;
    });
}
template <class F> TqbResultCode TQBRemoteServerEngine::onStatement(TqbHandle StmtID, F&& Work) {
    return guarded([&]() -> TqbResultCode {
        auto s = statement(StmtID);
        return s ? Work(*s) : kResultInvalidHandle;
    });
}
template <class F> TqbResultCode TQBRemoteServerEngine::onAnyClient(F&& Work) {
    return guarded([&]() -> TqbResultCode {
        auto c = clients_.First();
        return c ? Work(*c) : kResultNotApplicable;
    });
}

// The server ID of an optional cursor argument: 0 for none; false for a handle that is no cursor.
bool TQBRemoteServerEngine::optionalCursor(TqbHandle CursorID, uint32_t& ServerID) {
    ServerID = 0;
    if (CursorID == 0) return true;
    auto c = cursor(CursorID);
    if (!c) return false;
    ServerID = c->CursorID;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Properties, server names and logging

bool TQBRemoteServerEngine::GetNoAutoSaveCfg() {
    return false;
}

bool TQBRemoteServerEngine::GetIsReadOnly() {
    bool readOnly = false;
    onAnyClient([&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        bool value = false;
        if (ask(
                c, TqbOp::GetIsReadOnly, [](TqbRequestWriter&) {}, reply) == 0 &&
            qbops::DecodeBoolReply(TqbOp::GetIsReadOnly, reply, value) == 0)
            readOnly = value;
        return 0;
    });
    return readOnly;
}

void TQBRemoteServerEngine::SetNoAutoSaveCfg(bool) {}
void TQBRemoteServerEngine::SetIsReadOnly(bool) {}

TqbResultCode TQBRemoteServerEngine::GetServerNames(cls::TStringList& List, uint32_t Timeout) {
    return guarded([&]() -> TqbResultCode {
        TqbBaseTransport* t = Transport();
        if (!t) {
            List.Clear();
            return kResultNotApplicable;
        }
        t->GetServerNames(List, Timeout);
        return 0;
    });
}

void TQBRemoteServerEngine::LogString(std::string_view S) {
    try {
        LogText(S);
    } catch (...) {
    }
}

void TQBRemoteServerEngine::LogStrings(const std::vector<std::string>& Strings) {
    for (const std::string& s : Strings)
        LogString(s);
}

void TQBRemoteServerEngine::LogFormat(std::string_view Fmt, const QbFormatArgs& Args) {
    try {
        LogTextFmt(Fmt, Args);
    } catch (...) {
    }
}

TqbResultCode TQBRemoteServerEngine::ProcessRequest(TqbHandle ClientID, uint32_t MsgID, uint32_t Timeout,
                                                    std::span<const uint8_t> RequestData, Bytes& Reply) {
    return onClient(ClientID,
                    [&](TQBProxyClient& c) { return c.ProcessRequest(MsgID, Timeout, RequestData, Reply); });
}

TqbResultCode TQBRemoteServerEngine::ProcessRequestNoReply(TqbHandle ClientID, uint32_t MsgID,
                                                           uint32_t Timeout,
                                                           std::span<const uint8_t> RequestData) {
    return onClient(ClientID, [&](TQBProxyClient& c) { return c.Post(MsgID, Timeout, RequestData); });
}

// ---------------------------------------------------------------------------------------------
// Transactions

TqbResultCode TQBRemoteServerEngine::TransactionCommit(TqbHandle DatabaseID) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) {
        return tell(d, TqbOp::TransactionCommit, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U8(1); });
    });
}

TqbResultCode TQBRemoteServerEngine::TransactionRollback(TqbHandle DatabaseID) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) {
        return tell(d, TqbOp::TransactionRollback, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U8(0); });
    });
}

TqbResultCode TQBRemoteServerEngine::TransactionStart(TqbHandle DatabaseID, bool FailSafe) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) {
        return tell(d, TqbOp::TransactionStart,
                    [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Bool(FailSafe); });
    });
}

TqbResultCode TQBRemoteServerEngine::TransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                                          const std::vector<TqbHandle>& CursorIDs) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        std::vector<TqbHandle> ids;
        for (TqbHandle h : CursorIDs) {
            auto c = cursor(h);
            if (!c) return kResultInvalidHandle;
            ids.push_back(c->CursorID);
        }
        Bytes reply;
        return d.SendBytes(TqbOp::TransactionStartWith,
                           qbops::EncodeTransactionStartWith(d.DatabaseID, FailSafe, ids), reply);
    });
}

// ---------------------------------------------------------------------------------------------
// Clients and sessions

TqbResultCode TQBRemoteServerEngine::ClientAdd(TqbHandle& ClientID, const std::string& ClientName,
                                               const std::string& UserID, uint32_t Timeout,
                                               uint32_t& PasswordHash) {
    (void)ClientName;
    ClientID = 0;
    return guarded([&]() -> TqbResultCode {
        auto c = std::make_shared<TQBProxyClient>(*this, Transport(), UserID, Timeout);
        if (TqbResultCode rc = c->Connect(PasswordHash)) return rc;
        TQBProxyObject::Register(c);
        clients_.Add(c);
        ClientID = c->Handle();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::ClientRemove(TqbHandle ClientID) {
    return guarded([&]() -> TqbResultCode {
        auto c = client(ClientID);
        return c ? removeClient(c) : kResultInvalidHandle;
    });
}

TqbResultCode TQBRemoteServerEngine::ClientSetTimeout(TqbHandle ClientID, uint32_t Timeout) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        if (c.Timeout() == Timeout) return 0;
        c.SetTimeout(Timeout);
        return tell(c, TqbOp::ClientSetTimeout, [&](TqbRequestWriter& w) { w.U32(Timeout); });
    });
}

TqbResultCode TQBRemoteServerEngine::SessionAdd(TqbHandle ClientID, uint32_t Timeout, TqbHandle& SessionID) {
    SessionID = 0;
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::SessionAdd, [&](TqbRequestWriter& w) { w.U32(Timeout); }, reply))
            return rc;
        uint32_t id = 0;
        if (TqbResultCode rc = qbops::DecodeU32Reply(TqbOp::SessionAdd, reply, id)) return rc;
        auto s = std::make_shared<TQBProxySession>(*this, c.shared_from_this(), Timeout);
        s->SessionID = id;
        TQBProxyObject::Register(s);
        const bool first = c.Sessions().CountGuarded() == 0;
        c.Sessions().Add(s);
        if (first) c.SetCurrentSession(s);
        SessionID = s->Handle();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::SessionCloseUnusedTables(TqbHandle ClientID) {
    return onClient(ClientID, [&](TQBProxyClient& c) {
        auto s = c.CurrentSession();
        const uint32_t id = s ? s->SessionID : 0;
        return tell(c, TqbOp::SessionCloseUnusedTables, [&](TqbRequestWriter& w) { w.U32(id); });
    });
}

TqbResultCode TQBRemoteServerEngine::SessionCount(TqbHandle ClientID, int32_t& Count) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Count = c.Sessions().CountGuarded();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::SessionGetCurrent(TqbHandle ClientID, TqbHandle& SessionID) {
    SessionID = 0;
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        auto s = c.CurrentSession();
        SessionID = s ? s->Handle() : 0;
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::SessionRemove(TqbHandle ClientID, TqbHandle SessionID) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        if (!session(SessionID) || !c.Sessions().Delete(SessionID)) return kResultInvalidHandle;
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::SessionSetCurrent(TqbHandle ClientID, TqbHandle SessionID) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        auto s = session(SessionID);
        if (!s || &s->Client() != &c) return kResultInvalidHandle;
        TqbResultCode rc =
            tell(*s, TqbOp::SessionSetCurrent, [&](TqbRequestWriter& w) { w.U32(s->SessionID); });
        if (rc == 0) c.SetCurrentSession(s);
        return rc;
    });
}

TqbResultCode TQBRemoteServerEngine::SessionSetTimeout(TqbHandle ClientID, TqbHandle SessionID,
                                                       uint32_t Timeout) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        auto s = session(SessionID);
        if (!s || &s->Client() != &c) return kResultInvalidHandle;
        if (!s->ChangeTimeout(Timeout)) return 0;
        return tell(*s, TqbOp::SessionSetTimeout,
                    [&](TqbRequestWriter& w) { w.U32(s->SessionID).U32(Timeout); });
    });
}

// ---------------------------------------------------------------------------------------------
// Aliases and databases

TqbResultCode TQBRemoteServerEngine::AliasAdd(const std::string& Alias, const std::string& Path,
                                              TqbHandle ClientID) {
    return onClient(ClientID, [&](TQBProxyClient& c) {
        return tell(c, TqbOp::AliasAdd, [&](TqbRequestWriter& w) { w.Str(Alias).Str(Path); });
    });
}

TqbResultCode TQBRemoteServerEngine::AliasList(std::vector<TqbAliasRecord>& List, TqbHandle ClientID) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::AliasList, [](TqbRequestWriter&) {}, reply))
            return rc;
        std::vector<TqbAliasRecord> list;
        if (TqbResultCode rc = qbops::DecodeAliasList(reply, list)) return rc;
        List = std::move(list);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::RecoveryAliasList(std::vector<TqbAliasRecord>&, TqbHandle) {
    return kResultCapabilityNotSupported;
}

TqbResultCode TQBRemoteServerEngine::AliasChangePath(const std::string& Alias, const std::string& NewPath,
                                                     TqbHandle ClientID) {
    return onClient(ClientID, [&](TQBProxyClient& c) {
        return tell(c, TqbOp::AliasChangePath, [&](TqbRequestWriter& w) { w.Str(Alias).Str(NewPath); });
    });
}

TqbResultCode TQBRemoteServerEngine::DatabaseClose(TqbHandle DatabaseID) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        d.Close();
        return d.Client().Databases().Delete(DatabaseID) ? 0 : kResultInvalidHandle;
    });
}

TqbResultCode TQBRemoteServerEngine::AliasDelete(const std::string& Alias, TqbHandle ClientID) {
    return onClient(ClientID, [&](TQBProxyClient& c) {
        return tell(c, TqbOp::AliasDelete, [&](TqbRequestWriter& w) { w.Str(Alias); });
    });
}

TqbResultCode TQBRemoteServerEngine::AliasGetPath(const std::string& Alias, TqbHandle ClientID,
                                                  std::string& Path) {
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::AliasGetPath, [&](TqbRequestWriter& w) { w.Str(Alias); }, reply))
            return rc;
        return qbops::DecodePathReply(reply, Path);
    });
}

TqbResultCode TQBRemoteServerEngine::DatabaseGetFreeSpace(TqbHandle DatabaseID, int32_t& FreeSpace) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, TqbOp::DatabaseGetFreeSpace, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID); }, reply))
            return rc;
        uint32_t v = 0;
        if (TqbResultCode rc = qbops::DecodeU32Reply(TqbOp::DatabaseGetFreeSpace, reply, v)) return rc;
        FreeSpace = int32_t(v);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::AliasModify(TqbHandle ClientID, const std::string& Alias,
                                                 const std::string& NewName, const std::string& NewPath) {
    return onClient(ClientID, [&](TQBProxyClient& c) {
        return tell(c, TqbOp::AliasModify,
                    [&](TqbRequestWriter& w) { w.U32(c.ClientID()).Str(Alias).Str(NewName).Str(NewPath); });
    });
}

TqbResultCode TQBRemoteServerEngine::openDatabase(TqbHandle ClientID, TqbOp Op, const std::string& Name,
                                                  TqbOpenMode OpenMode, TqbShareMode ShareMode,
                                                  uint32_t Timeout, TqbHandle& DatabaseID) {
    DatabaseID = 0;
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op, [&](TqbRequestWriter& w) { w.Str(Name).U8(OpenMode).U8(ShareMode).U32(Timeout); },
                reply))
            return rc;
        uint32_t id = 0;
        if (TqbResultCode rc = qbops::DecodeU32Reply(Op, reply, id)) return rc;
        auto d = std::make_shared<TQBProxyDatabase>(*this, c.shared_from_this(), Timeout);
        d->DatabaseID = id;
        TQBProxyObject::Register(d);
        c.Databases().Add(d);
        DatabaseID = d->Handle();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::DatabaseOpen(TqbHandle ClientID, const std::string& Alias,
                                                  TqbOpenMode OpenMode, TqbShareMode ShareMode,
                                                  uint32_t Timeout, TqbHandle& DatabaseID) {
    return openDatabase(ClientID, TqbOp::DatabaseOpen, Alias, OpenMode, ShareMode, Timeout, DatabaseID);
}

TqbResultCode TQBRemoteServerEngine::DatabaseOpenPath(TqbHandle ClientID, const std::string& Path,
                                                      TqbOpenMode OpenMode, TqbShareMode ShareMode,
                                                      uint32_t Timeout, TqbHandle& DatabaseID) {
    return openDatabase(ClientID, TqbOp::DatabaseOpenPath, Path, OpenMode, ShareMode, Timeout, DatabaseID);
}

TqbResultCode TQBRemoteServerEngine::DatabaseSetTimeout(TqbHandle DatabaseID, uint32_t Timeout) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        if (!d.ChangeTimeout(Timeout)) return 0;
        return tell(d, TqbOp::DatabaseSetTimeout,
                    [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U32(Timeout); });
    });
}

TqbResultCode TQBRemoteServerEngine::databaseFlag(TqbHandle DatabaseID, TqbOp Op, const std::string& Name,
                                                  bool& Value) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, Op, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Str(Name); }, reply))
            return rc;
        return qbops::DecodeBoolReply(Op, reply, Value);
    });
}

TqbResultCode TQBRemoteServerEngine::TableExists(TqbHandle DatabaseID, const std::string& TableName,
                                                 bool& Exists) {
    return databaseFlag(DatabaseID, TqbOp::TableExists, TableName, Exists);
}

TqbResultCode TQBRemoteServerEngine::TableList(TqbHandle DatabaseID, const std::string& Mask,
                                               std::vector<TqbTableListRecord>& List) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, TqbOp::TableList, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Str(Mask); }, reply))
            return rc;
        std::vector<TqbTableListRecord> list;
        if (TqbResultCode rc = qbops::DecodeTableList(reply, list)) return rc;
        List = std::move(list);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::TableIsLockedExclusive(TqbHandle DatabaseID,
                                                            const std::string& TableName, bool& IsLocked) {
    return databaseFlag(DatabaseID, TqbOp::TableIsLockedExclusive, TableName, IsLocked);
}

TqbResultCode TQBRemoteServerEngine::RebuildGetStatus(TqbHandle RebuildID, TqbHandle ClientID,
                                                      bool& IsPresent, TqbRebuildStatus& Status) {
    IsPresent = false;
    return onClient(ClientID, [&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::RebuildGetStatus, [&](TqbRequestWriter& w) { w.U32(RebuildID); }, reply))
            return rc;
        return qbops::DecodeRebuildStatusReply(reply, Status, IsPresent);
    });
}

// ---------------------------------------------------------------------------------------------
// Table operations

TqbResultCode TQBRemoteServerEngine::TableAddIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                                   const std::string& TableName,
                                                   const TqbIndexDescriptor& IndexDesc) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        uint32_t c = 0;
        if (!optionalCursor(CursorID, c)) return kResultInvalidHandle;
        std::array<uint8_t, qbops::kIndexDescSize> desc{};
        if (TqbResultCode rc = qbops::EncodeIndexDesc(IndexDesc, desc)) return rc;
        return tell(d, TqbOp::TableAddIndex,
                    [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U32(c).Str(TableName).Raw(desc); });
    });
}

TqbResultCode TQBRemoteServerEngine::TableBuild(TqbHandle DatabaseID, bool OverWrite,
                                                const std::string& TableName, bool ForServer,
                                                TqbDataDictionary& Dictionary) {
    (void)ForServer;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes req, reply;
        if (TqbResultCode rc = qbops::EncodeTableBuild(d.DatabaseID, OverWrite, TableName, Dictionary, req))
            return rc;
        return d.SendBytes(TqbOp::TableBuild, req, reply);
    });
}

TqbResultCode TQBRemoteServerEngine::TableDelete(TqbHandle DatabaseID, const std::string& TableName) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) {
        return tell(d, TqbOp::TableDelete, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Str(TableName); });
    });
}

TqbResultCode TQBRemoteServerEngine::TableDropIndex(TqbHandle DatabaseID, TqbHandle CursorID,
                                                    const std::string& TableName,
                                                    const std::string& IndexName, int32_t IndexID) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        uint32_t c = 0;
        if (!optionalCursor(CursorID, c)) return kResultInvalidHandle;
        return tell(d, TqbOp::TableDropIndex, [&](TqbRequestWriter& w) {
            w.U32(d.DatabaseID).U32(c).Str(TableName).Str(IndexName).I32(IndexID);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::TableEmpty(TqbHandle DatabaseID, TqbHandle CursorID,
                                                const std::string& TableName) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        uint32_t c = 0;
        if (!optionalCursor(CursorID, c)) return kResultInvalidHandle;
        return tell(d, TqbOp::TableEmpty,
                    [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U32(c).Str(TableName); });
    });
}

TqbResultCode TQBRemoteServerEngine::cursorU32(TqbHandle CursorID, TqbOp Op, uint32_t& Value) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op, [&](TqbRequestWriter& w) { w.U32(c.CursorID); }, reply))
            return rc;
        return qbops::DecodeU32Reply(Op, reply, Value);
    });
}

TqbResultCode TQBRemoteServerEngine::TableGetAutoInc(TqbHandle CursorID, uint32_t& Value) {
    return cursorU32(CursorID, TqbOp::TableGetAutoInc, Value);
}

TqbResultCode TQBRemoteServerEngine::TableGetDictionary(TqbHandle DatabaseID, const std::string& TableName,
                                                        cls::TStream& Stream) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, TqbOp::TableGetDictionary,
                [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Str(bareTableName(TableName)); }, reply))
            return rc;
        toStream(Stream, reply);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::TableGetRecordCount(TqbHandle CursorID, int32_t& Count) {
    uint32_t v = 0;
    TqbResultCode rc = cursorU32(CursorID, TqbOp::TableGetRecordCount, v);
    if (rc == 0) Count = int32_t(v);
    return rc;
}

TqbResultCode TQBRemoteServerEngine::TableGetRecordCountAsync(TqbHandle CursorID, TqbHandle& RebuildID) {
    RebuildID = kNoRebuildID;
    return cursorU32(CursorID, TqbOp::TableGetRecordCountAsync, RebuildID);
}

TqbResultCode TQBRemoteServerEngine::TableOpen(TqbHandle DatabaseID, const std::string& TableName,
                                               bool ForServer, const std::string& IndexName, int32_t IndexID,
                                               TqbOpenMode OpenMode, TqbShareMode ShareMode, uint32_t Timeout,
                                               TqbHandle& CursorID, cls::TStream* Stream) {
    (void)ForServer;
    CursorID = 0;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        const std::string bare = bareTableName(TableName);
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, TqbOp::TableOpen,
                [&](TqbRequestWriter& w) {
                    w.U32(d.DatabaseID)
                        .Str(bare)
                        .Str(IndexName)
                        .I32(IndexID)
                        .U8(OpenMode)
                        .U8(ShareMode)
                        .U32(Timeout);
                },
                reply))
            return rc;
        auto c = std::make_shared<TQBProxyCursor>(*this, d.shared_from_this(), bare, OpenMode, ShareMode,
                                                  Timeout, 4096, false);
        uint32_t id = 0;
        int32_t index = 0;
        TqbResultCode rc = qbops::DecodeTableOpenReply(reply, id, c->Dictionary, index);
        if (rc != 0) {
            // The server may have opened a cursor all the same: the proxy closes it as it goes.
            if (reply.size() >= 4) c->CursorID = plat::LoadLE32(reply.data());
            return rc;
        }
        c->CursorID = id;
        c->SetIndex(index, "");
        c->TakeRecordLength();
        addCursor(d, c);
        CursorID = c->Handle();
        if (Stream) {
            Bytes out = reply;
            plat::StoreLE32(out.data(), CursorID);
            toStream(*Stream, out);
        }
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::rebuildOf(TqbHandle DatabaseID, TqbOp Op, const std::string& TableName,
                                               const std::string* IndexName, int32_t IndexID,
                                               TqbHandle& RebuildID) {
    RebuildID = kNoRebuildID;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, Op,
                [&](TqbRequestWriter& w) {
                    w.U32(d.DatabaseID).Str(TableName);
                    if (IndexName) w.Str(*IndexName).I32(IndexID);
                },
                reply))
            return rc;
        return qbops::DecodeU32Reply(Op, reply, RebuildID);
    });
}

TqbResultCode TQBRemoteServerEngine::TablePack(TqbHandle DatabaseID, const std::string& TableName,
                                               TqbHandle& RebuildID) {
    return rebuildOf(DatabaseID, TqbOp::TablePack, TableName, nullptr, 0, RebuildID);
}

TqbResultCode TQBRemoteServerEngine::TableReindex(TqbHandle DatabaseID, const std::string& TableName,
                                                  const std::string& IndexName, int32_t IndexID,
                                                  TqbHandle& RebuildID) {
    return rebuildOf(DatabaseID, TqbOp::TableReindex, TableName, &IndexName, IndexID, RebuildID);
}

TqbResultCode TQBRemoteServerEngine::TableRename(TqbHandle DatabaseID, const std::string& OldName,
                                                 const std::string& NewName) {
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) {
        return tell(d, TqbOp::TableRename,
                    [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).Str(OldName).Str(NewName); });
    });
}

TqbResultCode TQBRemoteServerEngine::TableRestructure(TqbHandle DatabaseID, const std::string& TableName,
                                                      TqbDataDictionary& NewDictionary,
                                                      const cls::TStringList* FieldMap,
                                                      TqbHandle& RebuildID) {
    RebuildID = kNoRebuildID;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        Bytes req, reply;
        if (TqbResultCode rc =
                qbops::EncodeTableRestructure(d.DatabaseID, TableName, NewDictionary, FieldMap, req))
            return rc;
        if (TqbResultCode rc = d.SendBytes(TqbOp::TableRestructure, req, reply)) return rc;
        return qbops::DecodeU32Reply(TqbOp::TableRestructure, reply, RebuildID);
    });
}

TqbResultCode TQBRemoteServerEngine::TableSetAutoInc(TqbHandle CursorID, uint32_t Value) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::TableSetAutoInc, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(Value); });
    });
}

TqbResultCode TQBRemoteServerEngine::cursorFlag(TqbHandle CursorID, TqbOp Op, uint8_t Arg, bool& Value) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U8(Arg); }, reply))
            return rc;
        return qbops::DecodeBoolReply(Op, reply, Value);
    });
}

TqbResultCode TQBRemoteServerEngine::TableIsLocked(TqbHandle CursorID, TqbLockType LockType, bool& IsLocked) {
    return cursorFlag(CursorID, TqbOp::TableIsLocked, LockType, IsLocked);
}

TqbResultCode TQBRemoteServerEngine::TableLockAcquire(TqbHandle CursorID, TqbLockType LockType) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::TableLockAcquire, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U8(LockType); });
    });
}

TqbResultCode TQBRemoteServerEngine::TableLockRelease(TqbHandle CursorID, TqbLockType LockType,
                                                      bool AllLocks) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::TableLockRelease,
                    [&](TqbRequestWriter& w) { w.U32(c.CursorID).U8(LockType).Bool(AllLocks); });
    });
}

// ---------------------------------------------------------------------------------------------
// Cursors

void TQBRemoteServerEngine::addCursor(TQBProxyDatabase& Database,
                                      const std::shared_ptr<TQBProxyCursor>& Cursor) {
    TQBProxyObject::Register(Cursor);
    Database.Cursors().Add(Cursor);
}

TqbResultCode TQBRemoteServerEngine::CursorClone(TqbHandle CursorID, TqbOpenMode OpenMode,
                                                 TqbHandle& NewCursorID) {
    NewCursorID = 0;
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::CursorClone, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U8(OpenMode); }, reply))
            return rc;
        uint32_t id = 0;
        if (TqbResultCode rc = qbops::DecodeU32Reply(TqbOp::CursorClone, reply, id)) return rc;
        auto n = std::make_shared<TQBProxyCursor>(*this, c.DatabasePtr(), c.TableName, OpenMode, c.ShareMode,
                                                  c.Timeout(), c.Dictionary.BlockSize(), c.KeylessBookmarks);
        n->CursorID = id;
        n->Dictionary.Assign(&c.Dictionary);
        n->SetIndex(c.IndexID(), c.IndexName());
        n->TakeRecordLength();
        addCursor(c.Database(), n);
        NewCursorID = n->Handle();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::CursorClose(TqbHandle CursorID) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        return c.Database().Cursors().Delete(CursorID) ? 0 : kResultInvalidHandle;
    });
}

TqbResultCode TQBRemoteServerEngine::CursorCompareBookmarks(TqbHandle CursorID,
                                                            std::span<const uint8_t> Bookmark1,
                                                            std::span<const uint8_t> Bookmark2,
                                                            int32_t& Result) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        if (Bookmark1.size() != Bookmark2.size()) return kResultInvalidParameter;
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::CursorCompareBookmarks,
                [&](TqbRequestWriter& w) {
                    w.U32(c.CursorID).U32(uint32_t(Bookmark1.size())).Tail(Bookmark1, Bookmark2);
                },
                reply))
            return rc;
        uint32_t v = 0;
        if (TqbResultCode rc = qbops::DecodeU32Reply(TqbOp::CursorCompareBookmarks, reply, v)) return rc;
        Result = int32_t(v);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::CursorCopyRecords(TqbHandle SourceCursorID, TqbHandle DestCursorID,
                                                       bool CopyBLOBs) {
    return onCursor(SourceCursorID, [&](TQBProxyCursor& s) -> TqbResultCode {
        auto d = cursor(DestCursorID);
        if (!d) return kResultInvalidHandle;
        return tell(s, TqbOp::CursorCopyRecords,
                    [&](TqbRequestWriter& w) { w.U32(s.CursorID).U32(d->CursorID).Bool(CopyBLOBs); });
    });
}

TqbResultCode TQBRemoteServerEngine::cursorOnly(TqbHandle CursorID, TqbOp Op) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, Op, [&](TqbRequestWriter& w) { w.U32(c.CursorID); });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorDeleteRecords(TqbHandle CursorID) {
    return cursorOnly(CursorID, TqbOp::CursorDeleteRecords);
}

TqbResultCode TQBRemoteServerEngine::CursorGetBookmark(TqbHandle CursorID, std::span<uint8_t> Bookmark) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::CursorGetBookmark,
                [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(uint32_t(Bookmark.size())); }, reply))
            return rc;
        return qbops::DecodeSizedReply(reply, Bookmark);
    });
}

TqbResultCode TQBRemoteServerEngine::CursorGetBookmarkSize(TqbHandle CursorID, uint32_t& Size) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Size = c.BookmarkSize();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBListFreeSpace(TqbHandle CursorID, bool InMemory,
                                                       cls::TStream& Stream) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::BLOBListFreeSpace, [&](TqbRequestWriter& w) { w.U32(c.CursorID).Bool(InMemory); },
                reply))
            return rc;
        toStream(Stream, reply);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::filter(TqbHandle CursorID, TqbOp Op, std::span<const uint8_t> Expression,
                                            uint32_t Timeout) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, Op, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(Timeout).Tail(Expression); });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorOverrideFilter(TqbHandle CursorID,
                                                          std::span<const uint8_t> Expression,
                                                          uint32_t Timeout) {
    return filter(CursorID, TqbOp::CursorOverrideFilter, Expression, Timeout);
}

TqbResultCode TQBRemoteServerEngine::CursorSetFilter(TqbHandle CursorID, std::span<const uint8_t> Expression,
                                                     uint32_t Timeout) {
    return filter(CursorID, TqbOp::CursorSetFilter, Expression, Timeout);
}

TqbResultCode TQBRemoteServerEngine::CursorResetRange(TqbHandle CursorID) {
    return cursorOnly(CursorID, TqbOp::CursorResetRange);
}

TqbResultCode TQBRemoteServerEngine::CursorRestoreFilter(TqbHandle CursorID) {
    return cursorOnly(CursorID, TqbOp::CursorRestoreFilter);
}

// Bytes of a key or record argument: the current index's key length with a direct key, else the
// record length; none without data.
static size_t keyDataLength(TQBProxyCursor& c, bool DirectKey, std::span<const uint8_t> Data) {
    if (Data.empty()) return 0;
    return size_t(DirectKey ? c.KeyLength() : c.RecordLength());
}

TqbResultCode TQBRemoteServerEngine::CursorSetRange(TqbHandle CursorID, bool DirectKey,
                                                    int32_t StartFieldCount, int32_t StartPartialLen,
                                                    std::span<const uint8_t> StartKey, bool StartInclusive,
                                                    int32_t EndFieldCount, int32_t EndPartialLen,
                                                    std::span<const uint8_t> EndKey, bool EndInclusive) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        const Bytes start = exactly(StartKey, keyDataLength(c, DirectKey, StartKey));
        const Bytes end = exactly(EndKey, keyDataLength(c, DirectKey, EndKey));
        return tell(c, TqbOp::CursorSetRange, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID)
                .Bool(DirectKey)
                .I32(StartFieldCount)
                .I32(StartPartialLen)
                .U32(uint32_t(start.size()))
                .Bool(StartInclusive)
                .I32(EndFieldCount)
                .I32(EndPartialLen)
                .U32(uint32_t(end.size()))
                .Bool(EndInclusive)
                .Tail(start, end);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorSetTimeout(TqbHandle CursorID, uint32_t Timeout) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        if (!c.ChangeTimeout(Timeout)) return 0;
        return tell(c, TqbOp::CursorSetTimeout, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(Timeout); });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorSetToBegin(TqbHandle CursorID) {
    return cursorOnly(CursorID, TqbOp::CursorSetToBegin);
}

TqbResultCode TQBRemoteServerEngine::CursorSetToBookmark(TqbHandle CursorID,
                                                         std::span<const uint8_t> Bookmark) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::CursorSetToBookmark, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).U32(uint32_t(Bookmark.size())).Tail(Bookmark);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorSetToCursor(TqbHandle DestCursorID, TqbHandle SourceCursorID) {
    return onCursor(DestCursorID, [&](TQBProxyCursor& d) -> TqbResultCode {
        auto s = cursor(SourceCursorID);
        if (!s) return kResultInvalidHandle;
        return tell(d, TqbOp::CursorSetToCursor,
                    [&](TqbRequestWriter& w) { w.U32(d.CursorID).U32(s->CursorID); });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorSetToEnd(TqbHandle CursorID) {
    return cursorOnly(CursorID, TqbOp::CursorSetToEnd);
}

TqbResultCode TQBRemoteServerEngine::CursorSetToKey(TqbHandle CursorID, TqbSearchAction SearchAction,
                                                    bool DirectKey, int32_t FieldCount, int32_t PartialLen,
                                                    std::span<const uint8_t> KeyData) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        const Bytes key = exactly(KeyData, keyDataLength(c, DirectKey, KeyData));
        return tell(c, TqbOp::CursorSetToKey, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).U8(SearchAction).Bool(DirectKey).I32(FieldCount).I32(PartialLen);
            w.U32(uint32_t(key.size())).Tail(key);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::CursorSwitchToIndex(TqbHandle CursorID, const std::string& IndexName,
                                                         int32_t IndexID, bool PosnOnRec) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        TqbResultCode rc = tell(c, TqbOp::CursorSwitchToIndex, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).Str(IndexName).I32(IndexID).Bool(PosnOnRec);
        });
        if (rc == 0) c.SetIndex(IndexID, IndexName);
        return rc;
    });
}

// ---------------------------------------------------------------------------------------------
// Records

TqbResultCode TQBRemoteServerEngine::RecordDelete(TqbHandle CursorID, std::span<uint8_t> Data) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        const uint32_t len = Data.empty() ? 0 : uint32_t(c.RecordLength());
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::RecordDelete, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(len); }, reply))
            return rc;
        return sizedInto(reply, len, Data);
    });
}

TqbResultCode TQBRemoteServerEngine::codesBatch(TqbHandle CursorID, TqbOp Op, int32_t Count, int32_t Size,
                                                std::span<const uint8_t> Items,
                                                std::vector<int32_t>& Errors) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        if (!batchFits(Count, Size)) return kResultRowFetchLimit;
        const size_t bytes = size_t(Count) * size_t(Size);
        if (Items.size() < bytes) return kResultInvalidParameter;
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op,
                [&](TqbRequestWriter& w) {
                    // Deletes name the count first, inserts the record length.
                    w.U32(c.CursorID);
                    if (Op == TqbOp::RecordDeleteBatch)
                        w.I32(Count).I32(Size);
                    else
                        w.I32(Size).I32(Count);
                    w.Tail(Items.first(bytes));
                },
                reply))
            return rc;
        TqbResultCode first = 0;
        if (TqbResultCode rc = qbops::DecodeCodesReply(reply, Count, Errors, first)) return rc;
        return first;
    });
}

TqbResultCode TQBRemoteServerEngine::RecordDeleteBatch(TqbHandle CursorID, int32_t BookmarkCount,
                                                       int32_t BookmarkSize,
                                                       std::span<const uint8_t> Bookmarks,
                                                       std::vector<int32_t>& Errors) {
    return codesBatch(CursorID, TqbOp::RecordDeleteBatch, BookmarkCount, BookmarkSize, Bookmarks, Errors);
}

TqbResultCode TQBRemoteServerEngine::RecordExtractKey(TqbHandle CursorID, std::span<const uint8_t> Data,
                                                      std::span<uint8_t> Key) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        const uint32_t keyLen = uint32_t(c.KeyLength());
        const Bytes record = exactly(Data, Data.empty() ? 0 : size_t(c.RecordLength()));
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::RecordExtractKey,
                [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(keyLen).Bool(Data.empty()).Tail(record); },
                reply))
            return rc;
        return sizedInto(reply, keyLen, Key);
    });
}

TqbResultCode TQBRemoteServerEngine::recordRead(TqbHandle CursorID, TqbOp Op, TqbLockType LockType,
                                                std::span<uint8_t> Data) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        // A plain read names the lengths even without a buffer; a step without one asks for nothing.
        const bool sizes = !Data.empty() || Op == TqbOp::RecordGet;
        const uint32_t len = sizes ? uint32_t(c.RecordLength()) : 0;
        // A buffer the engine would refuse is refused before the cursor moves.
        if (!Data.empty() && Data.size() < len) return kResultInvalidParameter;
        const uint32_t bm = sizes ? c.BookmarkSize() : 0;
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U32(len).U32(bm).U8(LockType); }, reply))
            return rc;
        if (Data.empty()) return 0;
        return sizedInto(reply, len, Data);
    });
}

TqbResultCode TQBRemoteServerEngine::RecordGet(TqbHandle CursorID, TqbLockType LockType,
                                               std::span<uint8_t> Data) {
    return recordRead(CursorID, TqbOp::RecordGet, LockType, Data);
}

TqbResultCode TQBRemoteServerEngine::RecordGetNext(TqbHandle CursorID, TqbLockType LockType,
                                                   std::span<uint8_t> Data) {
    return recordRead(CursorID, TqbOp::RecordGetNext, LockType, Data);
}

TqbResultCode TQBRemoteServerEngine::RecordGetPrior(TqbHandle CursorID, TqbLockType LockType,
                                                    std::span<uint8_t> Data) {
    return recordRead(CursorID, TqbOp::RecordGetPrior, LockType, Data);
}

TqbResultCode TQBRemoteServerEngine::RecordStepWithBookmark(TqbHandle CursorID, bool Forward,
                                                            TqbLockType LockType, std::span<uint8_t> Data,
                                                            std::span<uint8_t> Bookmark) {
    // The step and the bookmark go as their own requests; a bookmark buffer the bookmark would not
    // fit is refused before the cursor moves.
    uint32_t size = 0;
    if (TqbResultCode rc = CursorGetBookmarkSize(CursorID, size)) return rc;
    if (Bookmark.size() < size) return kResultInvalidParameter;
    return TqbIntermediateServerEngine::RecordStepWithBookmark(CursorID, Forward, LockType, Data, Bookmark);
}

TqbResultCode TQBRemoteServerEngine::RecordGetBatch(TqbHandle CursorID, int32_t RequestCount,
                                                    int32_t RecordLength, std::span<uint8_t> Data,
                                                    int32_t& ReturnCount, int32_t& Error) {
    ReturnCount = 0;
    Error = 0;
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        const int32_t count = BatchReadCount(RequestCount);
        if (!batchFits(count, RecordLength)) return kResultRowFetchLimit;
        const size_t bytes = size_t(count) * size_t(RecordLength);
        if (Data.size() < bytes) return kResultInvalidParameter;
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::RecordGetBatch,
                [&](TqbRequestWriter& w) { w.U32(c.CursorID).I32(RequestCount).I32(RecordLength); }, reply))
            return rc;
        return qbops::DecodeBatchReply(reply, count, RecordLength, Data.first(bytes), ReturnCount, Error);
    });
}

TqbResultCode TQBRemoteServerEngine::RecordGetForKey(TqbHandle CursorID, bool DirectKey, int32_t FieldCount,
                                                     int32_t PartialLen, std::span<const uint8_t> KeyData,
                                                     std::span<uint8_t> Data, bool FirstCall) {
    (void)FirstCall;
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        const uint32_t len = Data.empty() ? 0 : uint32_t(c.RecordLength());
        const Bytes key = exactly(KeyData, keyDataLength(c, DirectKey, KeyData));
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::RecordGetForKey,
                [&](TqbRequestWriter& w) {
                    w.U32(c.CursorID).Bool(DirectKey).I32(FieldCount).I32(PartialLen).U32(len);
                    w.U32(uint32_t(key.size())).U32(c.BookmarkSize()).Tail(key);
                },
                reply))
            return rc;
        return sizedInto(reply, len, Data);
    });
}

TqbResultCode TQBRemoteServerEngine::RecordInsert(TqbHandle CursorID, TqbLockType LockType,
                                                  std::span<const uint8_t> Data) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        const Bytes record = exactly(Data, size_t(c.RecordLength()));
        return tell(c, TqbOp::RecordInsert, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).U32(uint32_t(record.size())).U32(c.BookmarkSize()).U8(LockType).Tail(record);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::RecordInsertBatch(TqbHandle CursorID, int32_t RecordCount,
                                                       int32_t RecordLength, std::span<const uint8_t> Data,
                                                       std::vector<int32_t>& Errors) {
    return codesBatch(CursorID, TqbOp::RecordInsertBatch, RecordCount, RecordLength, Data, Errors);
}

TqbResultCode TQBRemoteServerEngine::RecordIsLocked(TqbHandle CursorID, TqbLockType LockType,
                                                    bool& IsLocked) {
    return cursorFlag(CursorID, TqbOp::RecordIsLocked, LockType, IsLocked);
}

TqbResultCode TQBRemoteServerEngine::RecordModify(TqbHandle CursorID, std::span<const uint8_t> Data,
                                                  bool RelLock) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        const Bytes record = exactly(Data, size_t(c.RecordLength()));
        return tell(c, TqbOp::RecordModify, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).U32(uint32_t(record.size())).U32(c.BookmarkSize()).Bool(RelLock).Tail(record);
        });
    });
}

TqbResultCode TQBRemoteServerEngine::RecordReleaseLock(TqbHandle CursorID, bool AllLocks) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::RecordReleaseLock,
                    [&](TqbRequestWriter& w) { w.U32(c.CursorID).Bool(AllLocks); });
    });
}

// ---------------------------------------------------------------------------------------------
// BLOBs

TqbResultCode TQBRemoteServerEngine::blobNumber(TqbHandle CursorID, TqbOp Op, const std::string* FileName,
                                                uint64_t& BLOBNr) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op,
                [&](TqbRequestWriter& w) {
                    w.U32(c.CursorID);
                    if (FileName) w.Str(*FileName);
                },
                reply))
            return rc;
        uint8_t b[8];
        if (TqbResultCode rc = qbops::DecodeFixedReply(Op, reply, b)) return rc;
        BLOBNr = plat::LoadLE64(b);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBCreate(TqbHandle CursorID, uint64_t& BLOBNr) {
    return blobNumber(CursorID, TqbOp::BLOBCreate, nullptr, BLOBNr);
}

TqbResultCode TQBRemoteServerEngine::BLOBCreateFile(TqbHandle CursorID, const std::string& FileName,
                                                    uint64_t& BLOBNr) {
    return blobNumber(CursorID, TqbOp::BLOBCreateFile, &FileName, BLOBNr);
}

TqbResultCode TQBRemoteServerEngine::BLOBDelete(TqbHandle CursorID, uint64_t BLOBNr) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::BLOBDelete, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U64(BLOBNr); });
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBListSegments(TqbHandle CursorID, uint64_t BLOBNr,
                                                      cls::TStream& Stream) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::BLOBListSegments, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U64(BLOBNr); },
                reply))
            return rc;
        toStream(Stream, reply);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBRead(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                              std::span<uint8_t> Buffer, uint32_t& BytesRead) {
    BytesRead = 0;
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::BLOBRead,
                [&](TqbRequestWriter& w) {
                    w.U32(c.CursorID).U64(BLOBNr).U32(Offset).U32(uint32_t(Buffer.size()));
                },
                reply))
            return rc;
        return qbops::DecodeCountedReply(reply, Buffer, BytesRead);
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBFree(TqbHandle CursorID, uint64_t BLOBNr, bool ReadOnly) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::BLOBFree,
                    [&](TqbRequestWriter& w) { w.U32(c.CursorID).U64(BLOBNr).Bool(ReadOnly); });
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBGetLength(TqbHandle CursorID, uint64_t BLOBNr, uint32_t& Length) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, TqbOp::BLOBGetLength, [&](TqbRequestWriter& w) { w.U32(c.CursorID).U64(BLOBNr); }, reply))
            return rc;
        return qbops::DecodeU32Reply(TqbOp::BLOBGetLength, reply, Length);
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBTruncate(TqbHandle CursorID, uint64_t BLOBNr, uint32_t NewLength) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::BLOBTruncate,
                    [&](TqbRequestWriter& w) { w.U32(c.CursorID).U64(BLOBNr).U32(NewLength); });
    });
}

TqbResultCode TQBRemoteServerEngine::BLOBWrite(TqbHandle CursorID, uint64_t BLOBNr, uint32_t Offset,
                                               std::span<const uint8_t> Buffer) {
    return onCursor(CursorID, [&](TQBProxyCursor& c) {
        return tell(c, TqbOp::BLOBWrite, [&](TqbRequestWriter& w) {
            w.U32(c.CursorID).U64(BLOBNr).U32(Offset).U32(uint32_t(Buffer.size())).Tail(Buffer);
        });
    });
}

// ---------------------------------------------------------------------------------------------
// SQL statements

TqbResultCode TQBRemoteServerEngine::SQLAlloc(TqbHandle DatabaseID, uint32_t Timeout, TqbHandle& StmtID) {
    StmtID = 0;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        auto s = std::make_shared<TqbProxySQLStmt>(*this, d.shared_from_this(), Timeout);
        Bytes reply;
        if (TqbResultCode rc = ask(
                *s, TqbOp::SQLAlloc, [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U32(Timeout); }, reply))
            return rc;
        if (TqbResultCode rc = qbops::DecodeU32Reply(TqbOp::SQLAlloc, reply, s->StmtID)) return rc;
        TQBProxyObject::Register(s);
        d.Statements().Add(s);
        StmtID = s->Handle();
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::resultCursor(TQBProxyDatabase& Database, std::span<const uint8_t> Reply,
                                                  TqbOpenMode OpenMode, uint32_t Timeout, TqbHandle& CursorID,
                                                  cls::TStream& Stream) {
    auto c = std::make_shared<TQBProxyCursor>(*this, Database.shared_from_this(), "", OpenMode, qbsmShared,
                                              Timeout, 65536, true);
    uint32_t id = 0;
    if (TqbResultCode rc = qbops::DecodeCursorStreamReply(Reply, id, c->Dictionary)) {
        if (Reply.size() >= 4) c->CursorID = plat::LoadLE32(Reply.data());
        return rc;
    }
    Bytes out(Reply.begin(), Reply.end());
    if (id != 0) {
        c->CursorID = id;
        c->SetIndex(0, "");
        c->TakeRecordLength();
        addCursor(Database, c);
        CursorID = c->Handle();
    }
    plat::StoreLE32(out.data(), CursorID);
    toStream(Stream, out);
    return 0;
}

TqbResultCode TQBRemoteServerEngine::SQLExec(TqbHandle StmtID, TqbOpenMode OpenMode, TqbHandle& CursorID,
                                             cls::TStream& Stream) {
    CursorID = 0;
    return onStatement(StmtID, [&](TqbProxySQLStmt& s) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                s, TqbOp::SQLExec, [&](TqbRequestWriter& w) { w.U32(s.StmtID).U8(OpenMode); }, reply))
            return rc;
        return resultCursor(s.Database(), reply, OpenMode, s.Timeout(), CursorID, Stream);
    });
}

TqbResultCode TQBRemoteServerEngine::SQLExecDirect(TqbHandle DatabaseID, const std::string& Query,
                                                   uint32_t Timeout, TqbOpenMode OpenMode,
                                                   TqbHandle& CursorID, cls::TStream& Stream) {
    CursorID = 0;
    return onDatabase(DatabaseID, [&](TQBProxyDatabase& d) -> TqbResultCode {
        const std::span<const uint8_t> text(reinterpret_cast<const uint8_t*>(Query.data()), Query.size());
        Bytes reply;
        if (TqbResultCode rc = ask(
                d, TqbOp::SQLExecDirect,
                [&](TqbRequestWriter& w) { w.U32(d.DatabaseID).U32(Timeout).U8(OpenMode).Tail(text); },
                reply))
            return rc;
        return resultCursor(d, reply, OpenMode, Timeout, CursorID, Stream);
    });
}

TqbResultCode TQBRemoteServerEngine::SQLFree(TqbHandle StmtID) {
    return onStatement(StmtID, [&](TqbProxySQLStmt& s) -> TqbResultCode {
        return s.Database().Statements().Delete(StmtID) ? 0 : kResultInvalidHandle;
    });
}

TqbResultCode TQBRemoteServerEngine::SQLPrepare(TqbHandle StmtID, const std::string& Query,
                                                cls::TStream& Stream) {
    return onStatement(StmtID, [&](TqbProxySQLStmt& s) -> TqbResultCode {
        const std::span<const uint8_t> text(reinterpret_cast<const uint8_t*>(Query.data()), Query.size());
        Bytes reply;
        if (TqbResultCode rc = ask(
                s, TqbOp::SQLPrepare, [&](TqbRequestWriter& w) { w.U32(s.StmtID).Tail(text); }, reply))
            return rc;
        toStream(Stream, reply);
        return 0;
    });
}

TqbResultCode TQBRemoteServerEngine::SQLSetParams(TqbHandle StmtID, uint16_t ParamCount,
                                                  std::span<const uint8_t> ParamDescs,
                                                  std::span<const uint8_t> ParamData, cls::TStream& Stream) {
    return onStatement(StmtID, [&](TqbProxySQLStmt& s) -> TqbResultCode {
        Bytes req, reply;
        if (TqbResultCode rc = qbops::EncodeSQLSetParams(s.StmtID, ParamCount, ParamDescs, ParamData, req))
            return rc;
        if (TqbResultCode rc = s.SendBytes(TqbOp::SQLSetParams, req, reply)) return rc;
        toStream(Stream, reply);
        return 0;
    });
}

// ---------------------------------------------------------------------------------------------
// Server information

TqbResultCode TQBRemoteServerEngine::serverRecord(TqbOp Op, std::span<uint8_t> Out,
                                                  const std::function<void(TqbRequestWriter&)>& Fill) {
    return onAnyClient([&](TQBProxyClient& c) -> TqbResultCode {
        Bytes reply;
        if (TqbResultCode rc = ask(
                c, Op,
                [&](TqbRequestWriter& w) {
                    if (Fill) Fill(w);
                },
                reply))
            return rc;
        return qbops::DecodeFixedReply(Op, reply, Out);
    });
}

template <class T> static std::span<uint8_t> bytesOf(T& Record) {
    return std::span<uint8_t>(reinterpret_cast<uint8_t*>(&Record), sizeof(T));
}

TqbResultCode TQBRemoteServerEngine::GetServerDateTime(cls::TDateTime& DateTime) {
    DateTime = ServerDateTime();
    if (clients_.CountGuarded() == 0) return 0;
    uint8_t b[8];
    TqbResultCode rc = serverRecord(TqbOp::GetServerDateTime, b, {});
    if (rc == 0) std::memcpy(&DateTime, b, 8);
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetServerSystemTime(TqbSystemTime& SystemTime) {
    SystemTime = ServerSystemTime();
    if (clients_.CountGuarded() == 0) return 0;
    TqbSystemTime t{};
    TqbResultCode rc = serverRecord(TqbOp::GetServerSystemTime, bytesOf(t), {});
    if (rc == 0) SystemTime = t;
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetNewGUID(TqbGUID& GUID) {
    GUID = NewServerGUID();
    if (clients_.CountGuarded() == 0) return 0;
    TqbGUID g{};
    TqbResultCode rc = serverRecord(TqbOp::GetNewGUID, bytesOf(g), {});
    if (rc == 0) GUID = g;
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetServerID(TqbGUID& ServerID) {
    TqbGUID g{};
    TqbResultCode rc = serverRecord(TqbOp::GetServerID, bytesOf(g), {});
    if (rc == 0) ServerID = g;
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetServerStatistics(TqbServerStatistics& Stats) {
    TqbServerStatistics s{};
    TqbResultCode rc = serverRecord(TqbOp::GetServerStatistics, bytesOf(s), {});
    if (rc == 0) Stats = s;
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetCommandHandlerStatistics(int32_t Index, int32_t& TransportCount) {
    uint8_t b[4];
    TqbResultCode rc =
        serverRecord(TqbOp::GetCommandHandlerStatistics, b, [&](TqbRequestWriter& w) { w.I32(Index); });
    if (rc == 0) TransportCount = int32_t(plat::LoadLE32(b));
    return rc;
}

TqbResultCode TQBRemoteServerEngine::GetTransportStatistics(int32_t HandlerIndex, int32_t TransportIndex,
                                                            TqbTransportStatistics& Stats) {
    TqbTransportStatistics s{};
    TqbResultCode rc = serverRecord(TqbOp::GetTransportStatistics, bytesOf(s),
                                    [&](TqbRequestWriter& w) { w.I32(HandlerIndex).I32(TransportIndex); });
    if (rc == 0) Stats = s;
    return rc;
}
