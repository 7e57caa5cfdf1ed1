// Tests of the remote engine: every operation's one request (message, size, key fields, time-out)
// over a recording transport, the replies it refuses, handle checks, batch limits, set-once
// time-outs, index bookkeeping, a lost connection and requests of several threads.
#include "db/remote/qbclreng.h"
#include "tests/db/remote/RecordingTransport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>
#include <thread>

using namespace pwremote;
using qbops::TqbOp;

namespace {

// A client with a session, a database, a table cursor and a statement, each with its own time-out.
struct World {
    TqbOwned<RecordingTransport> transport{new RecordingTransport};
    TqbOwned<TQBRemoteServerEngine> engine{new TQBRemoteServerEngine};
    TqbHandle client = 0, session = 0, database = 0, cursor = 0, stmt = 0;
    int32_t recordLength = ServerDictionary().RecordLength();
    int32_t keyLength = ServerDictionary().IndexKeyLength(1);

    World() {
        engine->SetTransport(transport.get());
        uint32_t hash = 0x1234;
        EXPECT_EQ(engine->ClientAdd(client, "me", "me", 1000, hash), 0);
        EXPECT_EQ(engine->SessionAdd(client, 2000, session), 0);
        EXPECT_EQ(engine->DatabaseOpen(client, "data", qbomReadWrite, qbsmShared, 3000, database), 0);
        EXPECT_EQ(engine->TableOpen(database, "contacts", false, "", 1, qbomReadWrite, qbsmShared, 4000,
                                    cursor, nullptr),
                  0);
        EXPECT_EQ(engine->SQLAlloc(database, 5000, stmt), 0);
        transport->ClearCalls();
    }
    std::shared_ptr<TQBProxyClient> proxyClient() {
        return engine->Registry().Lease<TQBProxyClient>(client, TqbHandleKind::Client);
    }
    RecordedCall only() {
        auto calls = transport->Calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? RecordedCall{} : calls[0];
    }
};

uint32_t at32(const RecordedCall& c, size_t offset) {
    return c.Data.size() >= offset + 4 ? plat::LoadLE32(c.Data.data() + offset) : 0xDEADBEEF;
}

TqbIndexDescriptor someIndex() {
    TqbIndexDescriptor d;
    d.Name = "BYNAME2";
    d.KeyFieldCount = 1;
    d.KeyFields[0] = 1;
    return d;
}

struct OpCase {
    TqbOp Op;
    std::function<TqbResultCode(World&)> Call;
    size_t Size;      // request bytes
    uint32_t First;   // u32 at offset 0 (0: not checked)
    uint32_t Timeout; // the request's wait
    std::function<void(World&, const RecordedCall&)> Extra = {};
    size_t Calls = 1; // requests sent; the operation's own is the last
};

std::vector<OpCase> allOperations(int32_t rl, int32_t kl) {
    const uint32_t c = kServerCursor + 1, d = kServerDatabase + 1, s = kServerSession + 1,
                   st = kServerStmt + 1;
    const uint32_t bm = uint32_t(kl) + 24;
    static std::vector<uint8_t> buf(70000), bookmark(200);
    static std::vector<int32_t> errors;
    static TqbRebuildStatus status;
    static cls::TMemoryStream stream;
    static std::vector<TqbAliasRecord> aliases;
    static std::vector<TqbTableListRecord> tables;
    static TqbDataDictionary dict = ServerDictionary();
    static std::string text;
    static const uint8_t expr[12] = {2, 0, 12, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    auto sp = [](size_t n) { return std::span<uint8_t>(buf.data(), n); };
    auto csp = [](size_t n) { return std::span<const uint8_t>(buf.data(), n); };
    bool flag;
    (void)flag;
    return {
        {TqbOp::GetIsReadOnly, [](World& w) { return w.engine->GetIsReadOnly() ? 0 : 1; }, 0, 0, 1000},
        {TqbOp::TransactionCommit, [](World& w) { return w.engine->TransactionCommit(w.database); }, 5, d,
         3000, [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[4], 1); }},
        {TqbOp::TransactionRollback, [](World& w) { return w.engine->TransactionRollback(w.database); }, 5, d,
         3000, [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[4], 0); }},
        {TqbOp::TransactionStart, [](World& w) { return w.engine->TransactionStart(w.database, true); }, 5, d,
         3000, [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[4], 1); }},
        {TqbOp::TransactionStartWith,
         [](World& w) { return w.engine->TransactionStartWith(w.database, false, {w.cursor}); },
         qbops::EncodeTransactionStartWith(d, false, {c}).size(), 0, 3000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(r.Data, qbops::EncodeTransactionStartWith(d, false, {c}));
         }},
        {TqbOp::ClientSetTimeout, [](World& w) { return w.engine->ClientSetTimeout(w.client, 1500); }, 4,
         1500, 1500},
        {TqbOp::SessionAdd,
         [](World& w) {
             TqbHandle h;
             return w.engine->SessionAdd(w.client, 2500, h);
         },
         4, 2500, 1000},
        {TqbOp::SessionCloseUnusedTables,
         [](World& w) { return w.engine->SessionCloseUnusedTables(w.client); }, 4, s, 1000},
        {TqbOp::SessionRemove, [](World& w) { return w.engine->SessionRemove(w.client, w.session); }, 4, s,
         2000},
        {TqbOp::SessionSetCurrent, [](World& w) { return w.engine->SessionSetCurrent(w.client, w.session); },
         4, s, 2000},
        {TqbOp::SessionSetTimeout,
         [](World& w) { return w.engine->SessionSetTimeout(w.client, w.session, 2100); }, 8, s, 2100,
         [](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 4), 2100u); }},
        {TqbOp::AliasAdd, [](World& w) { return w.engine->AliasAdd("a", "/p", w.client); }, 252, 0, 1000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(r.Data[0], 1);
             EXPECT_EQ(r.Data[32], 2);
         }},
        {TqbOp::AliasList, [](World& w) { return w.engine->AliasList(aliases, w.client); }, 0, 0, 1000,
         [](World&, const RecordedCall&) { EXPECT_EQ(aliases.size(), 2u); }},
        {TqbOp::AliasChangePath, [](World& w) { return w.engine->AliasChangePath("a", "/q", w.client); }, 252,
         0, 1000},
        // The database's cursor and statement are closed first.
        {TqbOp::DatabaseClose, [](World& w) { return w.engine->DatabaseClose(w.database); }, 4, d, 3000,
         [c, st](World& w, const RecordedCall&) {
             auto calls = w.transport->Calls();
             EXPECT_EQ(calls[0].MsgID, 1794u);
             EXPECT_EQ(at32(calls[0], 0), c);
             EXPECT_EQ(calls[1].MsgID, 2307u);
             EXPECT_EQ(at32(calls[1], 0), st);
         },
         3},
        {TqbOp::AliasDelete, [](World& w) { return w.engine->AliasDelete("a", w.client); }, 32, 0, 1000},
        {TqbOp::AliasGetPath, [](World& w) { return w.engine->AliasGetPath("a", w.client, text); }, 32, 0,
         1000, [](World&, const RecordedCall&) { EXPECT_EQ(text, "/srv/data"); }},
        {TqbOp::DatabaseGetFreeSpace,
         [](World& w) {
             int32_t v;
             return w.engine->DatabaseGetFreeSpace(w.database, v);
         },
         4, d, 3000},
        {TqbOp::AliasModify, [](World& w) { return w.engine->AliasModify(w.client, "a", "b", "/c"); }, 288,
         0x100, 1000},
        {TqbOp::DatabaseOpen,
         [](World& w) {
             TqbHandle h;
             return w.engine->DatabaseOpen(w.client, "x", qbomReadOnly, qbsmShared, 3300, h);
         },
         38, 0, 3300, [](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 34), 3300u); }},
        {TqbOp::DatabaseOpenPath,
         [](World& w) {
             TqbHandle h;
             return w.engine->DatabaseOpenPath(w.client, "/d", qbomReadOnly, qbsmExclusive, 3400, h);
         },
         226, 0, 3400, [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[221], qbsmExclusive); }},
        {TqbOp::DatabaseSetTimeout, [](World& w) { return w.engine->DatabaseSetTimeout(w.database, 3100); },
         8, d, 3100},
        {TqbOp::TableExists,
         [](World& w) {
             bool b = false;
             TqbResultCode rc = w.engine->TableExists(w.database, "t", b);
             return rc ? rc : (b ? 0 : 1);
         },
         36, d, 3000},
        {TqbOp::TableList, [](World& w) { return w.engine->TableList(w.database, "*", tables); }, 40, d,
         3000},
        {TqbOp::TableIsLockedExclusive,
         [](World& w) {
             bool b;
             return w.engine->TableIsLockedExclusive(w.database, "t", b);
         },
         36, d, 3000},
        {TqbOp::RebuildGetStatus,
         [](World& w) {
             bool present = false;
             TqbResultCode rc = w.engine->RebuildGetStatus(7, w.client, present, status);
             return rc ? rc : (present && status.PercentDone == 40 ? 0 : 1);
         },
         4, 7, 1000},
        {TqbOp::TableAddIndex,
         [](World& w) { return w.engine->TableAddIndex(w.database, w.cursor, "t", someIndex()); }, 731, d,
         3000, [c](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 4), c); }},
        {TqbOp::TableBuild, [](World& w) { return w.engine->TableBuild(w.database, true, "t", false, dict); },
         0, d, 3000},
        {TqbOp::TableDelete, [](World& w) { return w.engine->TableDelete(w.database, "t"); }, 36, d, 3000},
        {TqbOp::TableDropIndex, [](World& w) { return w.engine->TableDropIndex(w.database, 0, "t", "", 3); },
         76, d, 3000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(at32(r, 4), 0u);
             EXPECT_EQ(at32(r, 72), 3u);
         }},
        {TqbOp::TableEmpty, [](World& w) { return w.engine->TableEmpty(w.database, w.cursor, "t"); }, 40, d,
         3000},
        {TqbOp::TableGetAutoInc,
         [](World& w) {
             uint32_t v;
             return w.engine->TableGetAutoInc(w.cursor, v);
         },
         4, c, 4000},
        {TqbOp::TableGetDictionary,
         [](World& w) { return w.engine->TableGetDictionary(w.database, "x/t.QB2", stream); }, 36, d, 3000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(std::string(r.Data.begin() + 5, r.Data.begin() + 6), "t");
         }},
        {TqbOp::TableGetRecordCount,
         [](World& w) {
             int32_t n;
             return w.engine->TableGetRecordCount(w.cursor, n);
         },
         4, c, 4000},
        {TqbOp::TableGetRecordCountAsync,
         [](World& w) {
             TqbHandle h;
             return w.engine->TableGetRecordCountAsync(w.cursor, h);
         },
         4, c, 4000},
        {TqbOp::TableOpen,
         [](World& w) {
             TqbHandle h;
             return w.engine->TableOpen(w.database, "t", false, "BYNAME", 0, qbomReadOnly, qbsmShared, 4400,
                                        h, nullptr);
         },
         78, d, 4400,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(r.Data[36], 6);
             EXPECT_EQ(at32(r, 74), 4400u);
         }},
        {TqbOp::TablePack,
         [](World& w) {
             TqbHandle h;
             return w.engine->TablePack(w.database, "t", h);
         },
         36, d, 3000},
        {TqbOp::TableReindex,
         [](World& w) {
             TqbHandle h;
             return w.engine->TableReindex(w.database, "t", "", 1, h);
         },
         72, d, 3000, [](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 68), 1u); }},
        {TqbOp::TableRename, [](World& w) { return w.engine->TableRename(w.database, "t", "u"); }, 68, d,
         3000},
        {TqbOp::TableRestructure,
         [](World& w) {
             TqbHandle h;
             return w.engine->TableRestructure(w.database, "t", dict, nullptr, h);
         },
         0, d, 3000},
        {TqbOp::TableSetAutoInc, [](World& w) { return w.engine->TableSetAutoInc(w.cursor, 99); }, 8, c,
         4000},
        {TqbOp::TableIsLocked,
         [](World& w) {
             bool b;
             return w.engine->TableIsLocked(w.cursor, qbltWrite, b);
         },
         5, c, 4000},
        {TqbOp::TableLockAcquire, [](World& w) { return w.engine->TableLockAcquire(w.cursor, qbltWrite); }, 5,
         c, 4000},
        {TqbOp::TableLockRelease,
         [](World& w) { return w.engine->TableLockRelease(w.cursor, qbltWrite, true); }, 6, c, 4000,
         [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[5], 1); }},
        {TqbOp::CursorClone,
         [](World& w) {
             TqbHandle h;
             return w.engine->CursorClone(w.cursor, qbomReadOnly, h);
         },
         5, c, 4000},
        {TqbOp::CursorClose, [](World& w) { return w.engine->CursorClose(w.cursor); }, 4, c, 4000},
        {TqbOp::CursorCompareBookmarks,
         [bm](World& w) {
             int32_t r;
             return w.engine->CursorCompareBookmarks(w.cursor, std::span<const uint8_t>(bookmark.data(), bm),
                                                     std::span<const uint8_t>(bookmark.data(), bm), r);
         },
         8 + 2 * bm, c, 4000},
        {TqbOp::CursorCopyRecords,
         [](World& w) { return w.engine->CursorCopyRecords(w.cursor, w.cursor, true); }, 9, c, 4000},
        {TqbOp::CursorDeleteRecords, [](World& w) { return w.engine->CursorDeleteRecords(w.cursor); }, 4, c,
         4000},
        {TqbOp::CursorGetBookmark,
         [bm](World& w) {
             return w.engine->CursorGetBookmark(w.cursor, std::span<uint8_t>(bookmark.data(), bm));
         },
         8, c, 4000, [bm](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 4), bm); }},
        {TqbOp::BLOBListFreeSpace,
         [](World& w) { return w.engine->BLOBListFreeSpace(w.cursor, true, stream); }, 5, c, 4000},
        {TqbOp::CursorOverrideFilter,
         [](World& w) { return w.engine->CursorOverrideFilter(w.cursor, expr, 77); }, 20, c, 4000,
         [](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 4), 77u); }},
        {TqbOp::CursorResetRange, [](World& w) { return w.engine->CursorResetRange(w.cursor); }, 4, c, 4000},
        {TqbOp::CursorRestoreFilter, [](World& w) { return w.engine->CursorRestoreFilter(w.cursor); }, 4, c,
         4000},
        {TqbOp::CursorSetRange,
         [csp](World& w) {
             return w.engine->CursorSetRange(w.cursor, false, 1, 0, csp(2), true, 1, 0, {}, false);
         },
         31 + size_t(rl), c, 4000,
         [rl](World&, const RecordedCall& r) {
             EXPECT_EQ(at32(r, 13), uint32_t(rl));
             EXPECT_EQ(at32(r, 26), 0u);
         }},
        {TqbOp::CursorSetTimeout, [](World& w) { return w.engine->CursorSetTimeout(w.cursor, 4100); }, 8, c,
         4100},
        {TqbOp::CursorSetToBegin, [](World& w) { return w.engine->CursorSetToBegin(w.cursor); }, 4, c, 4000},
        {TqbOp::CursorSetToBookmark,
         [bm](World& w) {
             return w.engine->CursorSetToBookmark(w.cursor, std::span<const uint8_t>(bookmark.data(), bm));
         },
         8 + bm, c, 4000},
        {TqbOp::CursorSetToCursor, [](World& w) { return w.engine->CursorSetToCursor(w.cursor, w.cursor); },
         8, c, 4000},
        {TqbOp::CursorSetToEnd, [](World& w) { return w.engine->CursorSetToEnd(w.cursor); }, 4, c, 4000},
        {TqbOp::CursorSetToKey,
         [csp](World& w) { return w.engine->CursorSetToKey(w.cursor, 3, true, 1, 0, csp(1)); },
         18 + size_t(kl), c, 4000,
         [kl](World&, const RecordedCall& r) { EXPECT_EQ(at32(r, 14), uint32_t(kl)); }},
        {TqbOp::CursorSwitchToIndex,
         [](World& w) { return w.engine->CursorSwitchToIndex(w.cursor, "BYNAME", 0, true); }, 41, c, 4000},
        {TqbOp::CursorSetFilter, [](World& w) { return w.engine->CursorSetFilter(w.cursor, {}, 0); }, 18, c,
         4000,
         [](World&, const RecordedCall& r) {
             const std::vector<uint8_t> empty(r.Data.begin() + 8, r.Data.end());
             EXPECT_EQ(empty, (std::vector<uint8_t>{2, 0, 10, 0, 0, 0, 0, 0, 0, 0}));
         }},
        {TqbOp::RecordDelete,
         [sp](World& w) { return w.engine->RecordDelete(w.cursor, sp(size_t(w.recordLength))); }, 8, c, 4000},
        {TqbOp::RecordDeleteBatch,
         [bm](World& w) {
             return w.engine->RecordDeleteBatch(w.cursor, 2, int32_t(bm),
                                                std::span<const uint8_t>(buf.data(), 2 * bm), errors);
         },
         12 + 2 * bm, c, 4000, [](World&, const RecordedCall&) { EXPECT_EQ(errors.size(), 2u); }},
        {TqbOp::RecordExtractKey,
         [csp, sp](World& w) {
             return w.engine->RecordExtractKey(w.cursor, csp(size_t(w.recordLength)),
                                               sp(size_t(w.keyLength)));
         },
         9 + size_t(rl), c, 4000, [](World&, const RecordedCall& r) { EXPECT_EQ(r.Data[8], 0); }},
        {TqbOp::RecordGet,
         [sp](World& w) { return w.engine->RecordGet(w.cursor, qbltWrite, sp(size_t(w.recordLength))); }, 13,
         c, 4000,
         [rl, bm](World&, const RecordedCall& r) {
             EXPECT_EQ(at32(r, 4), uint32_t(rl));
             EXPECT_EQ(at32(r, 8), bm);
             EXPECT_EQ(r.Data[12], qbltWrite);
         }},
        {TqbOp::RecordGetBatch,
         [sp](World& w) {
             int32_t n, e;
             return w.engine->RecordGetBatch(w.cursor, 3, w.recordLength, sp(3 * size_t(w.recordLength)), n,
                                             e);
         },
         12, c, 4000},
        {TqbOp::RecordGetForKey,
         [csp, sp](World& w) {
             return w.engine->RecordGetForKey(w.cursor, true, 1, 0, csp(4), sp(size_t(w.recordLength)), true);
         },
         25 + size_t(kl), c, 4000,
         [rl, kl, bm](World&, const RecordedCall& r) {
             EXPECT_EQ(at32(r, 13), uint32_t(rl));
             EXPECT_EQ(at32(r, 17), uint32_t(kl));
             EXPECT_EQ(at32(r, 21), bm);
         }},
        {TqbOp::RecordGetNext,
         [sp](World& w) { return w.engine->RecordGetNext(w.cursor, qbltWrite, sp(size_t(w.recordLength))); },
         13, c, 4000},
        {TqbOp::RecordGetPrior,
         [sp](World& w) { return w.engine->RecordGetPrior(w.cursor, qbltNone, sp(size_t(w.recordLength))); },
         13, c, 4000},
        {TqbOp::RecordInsert,
         [csp](World& w) { return w.engine->RecordInsert(w.cursor, qbltWrite, csp(size_t(w.recordLength))); },
         13 + size_t(rl), c, 4000},
        {TqbOp::RecordInsertBatch,
         [csp](World& w) {
             return w.engine->RecordInsertBatch(w.cursor, 2, w.recordLength, csp(2 * size_t(w.recordLength)),
                                                errors);
         },
         12 + 2 * size_t(rl), c, 4000},
        {TqbOp::RecordIsLocked,
         [](World& w) {
             bool b;
             return w.engine->RecordIsLocked(w.cursor, qbltWrite, b);
         },
         5, c, 4000},
        {TqbOp::RecordModify,
         [csp](World& w) { return w.engine->RecordModify(w.cursor, csp(size_t(w.recordLength)), true); },
         13 + size_t(rl), c, 4000},
        {TqbOp::RecordReleaseLock, [](World& w) { return w.engine->RecordReleaseLock(w.cursor, true); }, 5, c,
         4000},
        {TqbOp::BLOBCreate,
         [](World& w) {
             uint64_t n = 0;
             TqbResultCode rc = w.engine->BLOBCreate(w.cursor, n);
             return rc ? rc : (n == 0x1122334455667788ull ? 0 : 1);
         },
         4, c, 4000},
        {TqbOp::BLOBDelete, [](World& w) { return w.engine->BLOBDelete(w.cursor, 0x0102030405060708ull); },
         12, c, 4000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(plat::LoadLE64(r.Data.data() + 4), 0x0102030405060708ull);
         }},
        {TqbOp::BLOBListSegments, [](World& w) { return w.engine->BLOBListSegments(w.cursor, 5, stream); },
         12, c, 4000},
        {TqbOp::BLOBRead,
         [sp](World& w) {
             uint32_t n = 0;
             TqbResultCode rc = w.engine->BLOBRead(w.cursor, 5, 10, sp(8), n);
             return rc ? rc : (n == 3 ? 0 : 1);
         },
         20, c, 4000,
         [](World&, const RecordedCall& r) {
             EXPECT_EQ(at32(r, 12), 10u);
             EXPECT_EQ(at32(r, 16), 8u);
         }},
        {TqbOp::BLOBFree, [](World& w) { return w.engine->BLOBFree(w.cursor, 5, true); }, 13, c, 4000},
        {TqbOp::BLOBGetLength,
         [](World& w) {
             uint32_t n;
             return w.engine->BLOBGetLength(w.cursor, 5, n);
         },
         12, c, 4000},
        {TqbOp::BLOBTruncate, [](World& w) { return w.engine->BLOBTruncate(w.cursor, 5, 3); }, 16, c, 4000},
        {TqbOp::BLOBWrite, [csp](World& w) { return w.engine->BLOBWrite(w.cursor, 5, 0, csp(6)); }, 26, c,
         4000},
        {TqbOp::BLOBCreateFile,
         [](World& w) {
             uint64_t n;
             return w.engine->BLOBCreateFile(w.cursor, "f.bin", n);
         },
         260, c, 4000},
        {TqbOp::SQLAlloc,
         [](World& w) {
             TqbHandle h;
             return w.engine->SQLAlloc(w.database, 5500, h);
         },
         8, d, 5500},
        {TqbOp::SQLExec,
         [](World& w) {
             TqbHandle h = 0;
             TqbResultCode rc = w.engine->SQLExec(w.stmt, qbomReadOnly, h, stream);
             return rc ? rc : (h ? 0 : 1);
         },
         5, st, 5000},
        {TqbOp::SQLExecDirect,
         [](World& w) {
             TqbHandle h;
             return w.engine->SQLExecDirect(w.database, "select", 5600, qbomReadOnly, h, stream);
         },
         16, d, 5600},
        {TqbOp::SQLFree, [](World& w) { return w.engine->SQLFree(w.stmt); }, 4, st, 5000},
        {TqbOp::SQLPrepare, [](World& w) { return w.engine->SQLPrepare(w.stmt, "q", stream); }, 6, st, 5000},
        {TqbOp::SQLSetParams,
         [csp](World& w) { return w.engine->SQLSetParams(w.stmt, 1, csp(40), csp(3), stream); },
         4 + 2 + 40 + 4 + 3, st, 5000},
        {TqbOp::GetServerDateTime,
         [](World& w) {
             cls::TDateTime t;
             return w.engine->GetServerDateTime(t);
         },
         0, 0, 1000},
        {TqbOp::GetServerSystemTime,
         [](World& w) {
             TqbSystemTime t;
             return w.engine->GetServerSystemTime(t);
         },
         0, 0, 1000},
        {TqbOp::GetNewGUID,
         [](World& w) {
             TqbGUID g;
             return w.engine->GetNewGUID(g);
         },
         0, 0, 1000},
        {TqbOp::GetServerID,
         [](World& w) {
             TqbGUID g;
             return w.engine->GetServerID(g);
         },
         0, 0, 1000},
        {TqbOp::GetServerStatistics,
         [](World& w) {
             TqbServerStatistics s;
             return w.engine->GetServerStatistics(s);
         },
         0, 0, 1000},
        {TqbOp::GetCommandHandlerStatistics,
         [](World& w) {
             int32_t n;
             return w.engine->GetCommandHandlerStatistics(2, n);
         },
         4, 2, 1000},
        {TqbOp::GetTransportStatistics,
         [](World& w) {
             TqbTransportStatistics s;
             return w.engine->GetTransportStatistics(1, 2, s);
         },
         8, 1, 1000},
    };
}

TEST(RemoteEngine, EveryOperationSendsItsOneRequest) {
    World probe;
    auto cases = allOperations(probe.recordLength, probe.keyLength);
    std::set<TqbOp> covered;
    for (const OpCase& oc : cases) {
        SCOPED_TRACE(qbops::Describe(oc.Op).Name);
        World w;
        ASSERT_EQ(oc.Call(w), 0);
        const auto calls = w.transport->Calls();
        ASSERT_EQ(calls.size(), oc.Calls);
        const RecordedCall r = calls.back();
        const qbops::TqbOpDesc& d = qbops::Describe(oc.Op);
        EXPECT_EQ(r.MsgID, d.MsgID);
        EXPECT_EQ(r.ClientID, 0x100u);
        if (oc.Size) {
            EXPECT_EQ(r.Data.size(), oc.Size);
        }
        if (oc.First) {
            EXPECT_EQ(at32(r, 0), oc.First);
        }
        EXPECT_EQ(r.Timeout, oc.Timeout);
        if (d.RequestKind == qbops::TqbRequestKind::Fixed) {
            EXPECT_EQ(qbops::TqbRequestReader(d, r.Data).Check(), 0);
        }
        if (oc.Extra) oc.Extra(w, r);
        covered.insert(oc.Op);
    }
    // Every operation of the table but the login, which the transport carries.
    EXPECT_EQ(covered.size(), qbops::kOpCount - 1);
}

TEST(RemoteEngine, RepliesOfTheWrongSizeAreRefusedAndLeaveTheCallersBufferAlone) {
    World probe;
    auto cases = allOperations(probe.recordLength, probe.keyLength);
    for (const OpCase& oc : cases) {
        const qbops::TqbOpDesc& d = qbops::Describe(oc.Op);
        if (d.ReplyKind == qbops::TqbReplyKind::None || d.ReplyKind == qbops::TqbReplyKind::Stream) continue;
        if (oc.Op == TqbOp::GetIsReadOnly) continue; // answers false, not a code
        for (int delta : {-1, +1}) {
            SCOPED_TRACE(std::string(d.Name) + (delta < 0 ? " short" : " long"));
            World w;
            w.transport->Responder = [delta](const RecordedCall& c) {
                CannedReply r = FakeServer()(c);
                if (delta < 0 && r.Data.empty())
                    r.Data.assign(1, 0); // an empty reply cannot shrink
                else if (delta < 0)
                    r.Data.pop_back();
                else
                    r.Data.push_back(0xEE);
                return r;
            };
            EXPECT_EQ(oc.Call(w), qbops::kResultMessageUnrecognized);
        }
    }
}

TEST(RemoteEngine, ARecordReplyLongerThanTheRecordNeverWritesPastTheBuffer) {
    World w;
    std::vector<uint8_t> buf(size_t(w.recordLength) + 16, 0xAB);
    w.transport->Responder = [&](const RecordedCall&) {
        return CannedReply{0, std::vector<uint8_t>(size_t(w.recordLength) + 16, 0x11)};
    };
    EXPECT_EQ(w.engine->RecordGet(w.cursor, qbltNone, std::span<uint8_t>(buf.data(), size_t(w.recordLength))),
              qbops::kResultMessageUnrecognized);
    EXPECT_EQ(buf, std::vector<uint8_t>(size_t(w.recordLength) + 16, 0xAB));
    // A BLOB read that claims more bytes than were asked for.
    w.transport->Responder = [](const RecordedCall&) {
        return CannedReply{0, qbops::EncodeCountedReply(std::vector<uint8_t>(32, 0x22))};
    };
    uint32_t n = 99;
    EXPECT_EQ(w.engine->BLOBRead(w.cursor, 1, 0, std::span<uint8_t>(buf.data(), 8), n),
              qbops::kResultMessageUnrecognized);
    EXPECT_EQ(buf[8], 0xAB);
}

TEST(RemoteEngine, AHandleOfAnotherKindSendsNothing) {
    World probe;
    auto cases = allOperations(probe.recordLength, probe.keyLength);
    for (const OpCase& oc : cases) {
        if (oc.Op == TqbOp::GetIsReadOnly || oc.Op >= TqbOp::GetServerDateTime)
            continue; // they name no handle
        SCOPED_TRACE(qbops::Describe(oc.Op).Name);
        World w;
        // Every handle becomes a live one of another kind: the statement, or for a statement the cursor.
        const TqbHandle stmt = w.stmt, cursor = w.cursor;
        w.client = w.session = w.database = w.cursor = stmt;
        w.stmt = cursor;
        EXPECT_EQ(oc.Call(w), kResultInvalidHandle);
        EXPECT_TRUE(w.transport->Calls().empty());
    }
}

TEST(RemoteEngine, BatchesBeyondOneMessageAreRefusedBeforeSending) {
    World w;
    std::vector<uint8_t> data(66 * 1000);
    std::vector<int32_t> errors;
    // 65500 div 1000 = 65.
    EXPECT_EQ(w.engine->RecordInsertBatch(w.cursor, 66, 1000, data, errors), kResultRowFetchLimit);
    int32_t n = 0, e = 0;
    EXPECT_EQ(w.engine->RecordGetBatch(w.cursor, 66, 1000, data, n, e), kResultRowFetchLimit);
    EXPECT_EQ(w.engine->RecordDeleteBatch(w.cursor, 66, 1000, data, errors), kResultRowFetchLimit);
    EXPECT_EQ(w.engine->RecordGetBatch(w.cursor, 1, 0, data, n, e), kResultRowFetchLimit);
    EXPECT_TRUE(w.transport->Calls().empty());
    // 65 records fit, and the first record's non-zero code is the result.
    w.transport->Responder = [](const RecordedCall&) {
        std::vector<int32_t> codes(65, 0);
        codes[3] = 10025;
        codes[9] = 7;
        return CannedReply{0, qbops::EncodeCodesReply(codes)};
    };
    EXPECT_EQ(w.engine->RecordInsertBatch(w.cursor, 65, 1000, data, errors), 10025);
    EXPECT_EQ(errors.size(), 65u);
    EXPECT_EQ(errors[9], 7);
    EXPECT_EQ(w.only().Data.size(), 12u + 65000u);
}

TEST(RemoteEngine, TimeOutsAreSentOnlyWhenTheyChange) {
    World w;
    EXPECT_EQ(w.engine->CursorSetTimeout(w.cursor, 4000), 0);
    EXPECT_EQ(w.engine->DatabaseSetTimeout(w.database, 3000), 0);
    EXPECT_EQ(w.engine->SessionSetTimeout(w.client, w.session, 2000), 0);
    EXPECT_EQ(w.engine->ClientSetTimeout(w.client, 1000), 0);
    EXPECT_TRUE(w.transport->Calls().empty());
    EXPECT_EQ(w.engine->CursorSetTimeout(w.cursor, 4321), 0);
    EXPECT_EQ(w.engine->CursorSetTimeout(w.cursor, 4321), 0);
    auto calls = w.transport->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(at32(calls[0], 4), 4321u);
    // The cursor's later requests wait with the new time-out.
    EXPECT_EQ(w.engine->CursorSetToBegin(w.cursor), 0);
    EXPECT_EQ(w.transport->Calls().back().Timeout, 4321u);
}

TEST(RemoteEngine, ReadsWithoutABufferStillNameTheirLengths) {
    World w;
    const uint32_t bm = uint32_t(w.keyLength) + 24;
    EXPECT_EQ(w.engine->RecordGet(w.cursor, qbltRead, {}), 0);
    // A step without a buffer asks for nothing, with or without a lock.
    EXPECT_EQ(w.engine->RecordGetNext(w.cursor, qbltRead, {}), 0);
    EXPECT_EQ(w.engine->RecordGetNext(w.cursor, qbltNone, {}), 0);
    EXPECT_EQ(w.engine->RecordGetPrior(w.cursor, qbltNone, {}), 0);
    auto calls = w.transport->Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].Data.size(), 13u);
    EXPECT_EQ(at32(calls[0], 4), uint32_t(w.recordLength));
    EXPECT_EQ(at32(calls[0], 8), bm);
    for (size_t i = 1; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].MsgID, i == 3 ? 2050u : 2049u);
        EXPECT_EQ(calls[i].Data.size(), 13u);
        EXPECT_EQ(at32(calls[i], 4), 0u);
        EXPECT_EQ(at32(calls[i], 8), 0u);
        EXPECT_EQ(calls[i].Data[12], i == 1 ? uint8_t(qbltRead) : uint8_t(qbltNone));
    }
}

// A dataset's walk: each row is a step (2049 or 2050, 13 bytes) and then the row's bookmark (1795,
// 8 bytes), one request per operation, locked or not, forward or back.
TEST(RemoteEngine, AWalkSendsEachStepAndBookmarkAsItsOwnRequest) {
    World w;
    const uint32_t bm = uint32_t(w.keyLength) + 24, c = kServerCursor + 1;
    std::vector<uint8_t> rec(size_t(w.recordLength)), bookmark(bm);
    const bool forward[] = {true, true, true, false, true};
    for (bool f : forward)
        ASSERT_EQ(w.engine->RecordStepWithBookmark(w.cursor, f, qbltNone, rec, bookmark), 0);
    ASSERT_EQ(w.engine->RecordGetNext(w.cursor, qbltNone, rec), 0);
    auto calls = w.transport->Calls();
    ASSERT_EQ(calls.size(), 2 * std::size(forward) + 1);
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        const RecordedCall& r = calls[i];
        const bool step = i % 2 == 0;
        const uint32_t msg = !step ? 1795u : i / 2 < std::size(forward) && !forward[i / 2] ? 2050u : 2049u;
        EXPECT_EQ(r.MsgID, msg);
        EXPECT_EQ(at32(r, 0), c);
        EXPECT_EQ(r.Timeout, 4000u);
        if (step) {
            ASSERT_EQ(r.Data.size(), 13u);
            EXPECT_EQ(at32(r, 4), uint32_t(w.recordLength));
            EXPECT_EQ(at32(r, 8), bm);
            EXPECT_EQ(r.Data[12], uint8_t(qbltNone));
        } else {
            ASSERT_EQ(r.Data.size(), 8u);
            EXPECT_EQ(at32(r, 4), bm);
        }
    }
}

TEST(RemoteEngine, ReadOnlyIsFalseWithoutClientsAndAskedOtherwise) {
    TqbOwned<RecordingTransport> t(new RecordingTransport);
    TqbOwned<TQBRemoteServerEngine> e(new TQBRemoteServerEngine);
    e->SetTransport(t.get());
    EXPECT_FALSE(e->GetIsReadOnly());
    EXPECT_TRUE(t->Calls().empty());
    EXPECT_EQ(e->RecoveryAliasList(*std::make_unique<std::vector<TqbAliasRecord>>(), 0),
              kResultCapabilityNotSupported);
    // Local fallbacks without a server to ask.
    TqbGUID g{};
    EXPECT_EQ(e->GetNewGUID(g), 0);
    EXPECT_EQ(g.D3 >> 12, 4);
    cls::TDateTime now = 0;
    EXPECT_EQ(e->GetServerDateTime(now), 0);
    EXPECT_GT(now, 40000.0);
    TqbHandle c;
    uint32_t hash = 0;
    ASSERT_EQ(e->ClientAdd(c, "u", "u", 100, hash), 0);
    EXPECT_TRUE(e->GetIsReadOnly()); // the fake answers true
    EXPECT_EQ(t->Calls().back().MsgID, 2816u);
    // A failing server keeps the local answer and reports the failure.
    t->Responder = [](const RecordedCall&) { return CannedReply{15459, {}}; };
    TqbSystemTime st{};
    EXPECT_EQ(e->GetServerSystemTime(st), 15459);
    EXPECT_GE(st.Year, 2020);
}

TEST(RemoteEngine, TablesKeepTheirDictionaryIndexAndBookmarkSize) {
    World w;
    const TqbDataDictionary dict = ServerDictionary();
    auto c = w.engine->Registry().Lease<TQBProxyCursor>(w.cursor, TqbHandleKind::Cursor);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->IndexID(), 1);
    EXPECT_EQ(c->IndexName(), "BYID");
    EXPECT_EQ(c->RecordLength(), dict.RecordLength());
    uint32_t size = 0;
    EXPECT_EQ(w.engine->CursorGetBookmarkSize(w.cursor, size), 0);
    EXPECT_EQ(size, uint32_t(dict.IndexKeyLength(1)) + 24);
    // By name: the number comes from the dictionary; by number: the name does.
    EXPECT_EQ(w.engine->CursorSwitchToIndex(w.cursor, "byname", 0, false), 0);
    EXPECT_EQ(c->IndexID(), 2);
    EXPECT_EQ(w.engine->CursorGetBookmarkSize(w.cursor, size), 0);
    EXPECT_EQ(size, uint32_t(dict.IndexKeyLength(2)) + 24);
    EXPECT_EQ(w.engine->CursorSwitchToIndex(w.cursor, "", 1, false), 0);
    EXPECT_EQ(c->IndexName(), "BYID");
    // A refused switch changes nothing.
    const auto server = w.transport->Responder;
    w.transport->Responder = [](const RecordedCall&) { return CannedReply{10022, {}}; };
    EXPECT_EQ(w.engine->CursorSwitchToIndex(w.cursor, "", 2, false), 10022);
    EXPECT_EQ(c->IndexID(), 1);
    w.transport->Responder = server;

    // A clone takes the dictionary and index over without asking for them.
    TqbHandle clone = 0;
    ASSERT_EQ(w.engine->CursorClone(w.cursor, qbomReadOnly, clone), 0);
    auto cc = w.engine->Registry().Lease<TQBProxyCursor>(clone, TqbHandleKind::Cursor);
    EXPECT_EQ(cc->IndexName(), "BYID");
    EXPECT_EQ(cc->Dictionary.FieldCount(), 2);
    EXPECT_EQ(cc->CursorID, kServerCursor + 1 + 1u);

    // The open sends the bare table name and fills the caller's stream with the handle.
    cls::TMemoryStream s;
    TqbHandle h = 0;
    ASSERT_EQ(w.engine->TableOpen(w.database, "C:\\data\\People.QB2", false, "", 2, qbomReadWrite, qbsmShared,
                                  10, h, &s),
              0);
    const RecordedCall open = w.transport->Calls().back();
    EXPECT_EQ(std::string(open.Data.begin() + 5, open.Data.begin() + 5 + open.Data[4]), "People");
    ASSERT_GE(s.Size(), 8);
    EXPECT_EQ(plat::LoadLE32(s.Memory()), h);
    EXPECT_EQ(plat::LoadLE32(s.Memory() + s.Size() - 4), 2u);
    TqbDataDictionary back;
    back.ReadFromStream(
        std::string_view(reinterpret_cast<const char*>(s.Memory()) + 4, size_t(s.Size()) - 8));
    EXPECT_EQ(back.IndexName(2), "BYNAME");

    // A statement's result cursor has keyless bookmarks.
    TqbHandle result = 0;
    cls::TMemoryStream rs;
    ASSERT_EQ(w.engine->SQLExec(w.stmt, qbomReadOnly, result, rs), 0);
    EXPECT_EQ(w.engine->CursorGetBookmarkSize(result, size), 0);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(plat::LoadLE32(rs.Memory()), result);
}

TEST(RemoteEngine, ABadTableOpenReplyClosesTheServerCursor) {
    World w;
    w.transport->Responder = [](const RecordedCall& c) {
        if (c.MsgID != 1280) return FakeServer()(c);
        std::vector<uint8_t> r = {0x44, 0x33, 0x22, 0x11, 9, 9, 9};
        return CannedReply{0, r};
    };
    TqbHandle h = 123;
    EXPECT_EQ(w.engine->TableOpen(w.database, "t", false, "", 0, qbomReadOnly, qbsmShared, 10, h, nullptr),
              qbops::kResultMessageUnrecognized);
    EXPECT_EQ(h, 0u);
    auto calls = w.transport->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].MsgID, 1794u);
    EXPECT_EQ(at32(calls[1], 0), 0x11223344u);
}

TEST(RemoteEngine, StartWithSendsTheServersCursorIDs) {
    World w;
    TqbHandle second = 0;
    ASSERT_EQ(w.engine->CursorClone(w.cursor, qbomReadWrite, second), 0);
    w.transport->ClearCalls();
    ASSERT_EQ(w.engine->TransactionStartWith(w.database, true, {w.cursor, second}), 0);
    TqbHandle d = 0;
    bool failSafe = false;
    std::vector<TqbHandle> ids;
    ASSERT_EQ(qbops::DecodeTransactionStartWith(w.only().Data, d, failSafe, ids), 0);
    EXPECT_EQ(d, kServerDatabase + 1);
    EXPECT_TRUE(failSafe);
    EXPECT_EQ(ids, (std::vector<TqbHandle>{kServerCursor + 1, kServerCursor + 2}));
    w.transport->ClearCalls();
    EXPECT_EQ(w.engine->TransactionStartWith(w.database, true, {w.cursor, w.stmt}), kResultInvalidHandle);
    EXPECT_TRUE(w.transport->Calls().empty());
}

TEST(RemoteEngine, NamesTooLongForTheirFieldsAreNeverSent) {
    World w;
    TqbHandle h = 0;
    EXPECT_EQ(w.engine->DatabaseOpenPath(w.client, std::string(220, 'p'), qbomReadOnly, qbsmShared, 10, h),
              qbops::kResultNameTooLong);
    EXPECT_EQ(w.engine->DatabaseOpen(w.client, std::string(32, 'a'), qbomReadOnly, qbsmShared, 10, h),
              qbops::kResultNameTooLong);
    EXPECT_EQ(w.engine->TableDelete(w.database, std::string(32, 't')), qbops::kResultNameTooLong);
    EXPECT_TRUE(w.transport->Calls().empty());
    EXPECT_EQ(w.engine->DatabaseOpenPath(w.client, std::string(219, 'p'), qbomReadOnly, qbsmShared, 10, h),
              0);
}

TEST(RemoteEngine, MissingAndForeignRepliesGiveTheirCodes) {
    World w;
    w.transport->Responder = [](const RecordedCall&) {
        CannedReply r;
        r.None = true;
        return r;
    };
    EXPECT_EQ(w.engine->CursorSetToBegin(w.cursor), kResultNotApplicable);
    w.transport->Responder = [](const RecordedCall&) {
        CannedReply r;
        r.MsgID = 1793;
        r.Data = {1, 2, 3, 4};
        return r;
    };
    uint32_t v = 5;
    EXPECT_EQ(w.engine->TableGetAutoInc(w.cursor, v), kResultReplyMismatch);
    EXPECT_EQ(v, 5u);
}

TEST(RemoteEngine, AfterALostConnectionClosingSucceedsAndEverythingElseFails) {
    World w;
    auto pc = w.proxyClient();
    pc->SetForceClosed();
    std::vector<uint8_t> rec(size_t(w.recordLength));
    EXPECT_EQ(w.engine->RecordGet(w.cursor, qbltNone, rec), kResultConnectionLost);
    EXPECT_EQ(w.engine->CursorSetToBegin(w.cursor), kResultConnectionLost);
    EXPECT_EQ(w.engine->ProcessRequestNoReply(w.client, 1792, 0, {}), kResultConnectionLost);
    TqbHandle h;
    EXPECT_EQ(w.engine->SessionAdd(w.client, 1, h), kResultConnectionLost);
    EXPECT_EQ(w.engine->CursorClose(w.cursor), 0);
    EXPECT_EQ(w.engine->SQLFree(w.stmt), 0);
    EXPECT_EQ(w.engine->DatabaseClose(w.database), 0);
    EXPECT_EQ(w.engine->SessionRemove(w.client, w.session), 0);
    EXPECT_EQ(w.engine->ClientRemove(w.client), 0);
    EXPECT_TRUE(w.transport->Calls().empty());
    EXPECT_TRUE(w.transport->Posts().empty());
    EXPECT_TRUE(w.transport->Terminated().empty());
}

class Listener : public TqbComponent {
public:
    void ReceiveNotification(int op, TqbComponent* sender, intptr_t data) override {
        Ops.push_back({op, data});
    }
    std::vector<std::pair<int, intptr_t>> Ops;
};

TEST(RemoteEngine, ALostConnectionRemovesItsClientAndTellsTheDependents) {
    World w;
    TqbOwned<Listener> l(new Listener);
    w.engine->AddDependent(l.get());
    TqbHandle other = 0;
    uint32_t hash = 0;
    ASSERT_EQ(w.engine->ClientAdd(other, "b", "b", 10, hash), 0);
    w.transport->ClearCalls();
    w.transport->LoseConnection(0x100);
    ASSERT_EQ(l->Ops.size(), 1u);
    EXPECT_EQ(l->Ops[0], (std::pair<int, intptr_t>{10, intptr_t(w.client)}));
    // Its objects are gone without a word to the server; the other client stays.
    EXPECT_TRUE(w.transport->Calls().empty());
    EXPECT_TRUE(w.transport->Terminated().empty());
    EXPECT_EQ(w.engine->CursorSetToBegin(w.cursor), kResultInvalidHandle);
    EXPECT_EQ(w.engine->ClientRemove(w.client), kResultInvalidHandle);
    int32_t n = -1;
    EXPECT_EQ(w.engine->SessionCount(other, n), 0);
    // An unknown client ID changes nothing.
    w.transport->LoseConnection(0x999);
    EXPECT_EQ(l->Ops.size(), 1u);
    EXPECT_EQ(w.engine->ClientRemove(other), 0);
    EXPECT_EQ(w.transport->Terminated(), (std::vector<uint32_t>{0x101}));
    w.engine->RemoveDependent(l.get());
}

TEST(RemoteEngine, AConnectionLostDuringARequestFailsItAsLost) {
    World w;
    RecordingTransport* t = w.transport.get();
    t->DuringRequest = [t](const RecordedCall&) { t->LoseConnection(0x100); };
    t->Responder = [](const RecordedCall&) {
        CannedReply r;
        r.None = true;
        r.Return = kResultConnectionLost;
        return r;
    };
    auto pc = w.proxyClient();
    EXPECT_EQ(w.engine->CursorSetToEnd(w.cursor), kResultConnectionLost);
    EXPECT_TRUE(pc->ForceClosed());
}

TEST(RemoteEngine, TheTransportGoingAwayUnlinksTheEngine) {
    World w;
    TqbOwned<Listener> l(new Listener);
    w.engine->AddDependent(l.get());
    w.transport->NotifyDependents(TqbComponent::kOpGoingAway);
    EXPECT_EQ(w.engine->Transport(), nullptr);
    ASSERT_FALSE(l->Ops.empty());
    EXPECT_EQ(l->Ops[0].first, TqbComponent::kOpDestroying);
    EXPECT_EQ(w.engine->CursorSetToBegin(w.cursor), kResultConnectionLost);
    w.engine->RemoveDependent(l.get());
}

TEST(RemoteEngine, FailuresComeBackAsCodesNeverAsExceptions) {
    World w;
    w.transport->ConnectResult = 10036;
    TqbHandle c = 77;
    uint32_t hash = 0;
    EXPECT_EQ(w.engine->ClientAdd(c, "x", "x", 10, hash), 10036);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(w.engine->ClientList().CountGuarded(), 1);
    w.transport->Responder = [](const RecordedCall&) -> CannedReply { throw std::runtime_error("wire"); };
    EXPECT_NE(w.engine->TransactionStart(w.database, false), 0);
    EXPECT_NE(w.engine->TransactionStartWith(w.database, false, {w.cursor}), 0);
    w.transport->Responder = [](const RecordedCall&) { return CannedReply{10240, {}}; };
    EXPECT_EQ(w.engine->TransactionStart(w.database, false), 10240);
    EXPECT_EQ(w.engine->TransactionCommit(w.database), 10240);
}

TEST(RemoteEngine, RequestsOfOneClientGoOneAtATimeAndKeepTheirOwnReplies) {
    World w;
    std::vector<TqbHandle> cursors;
    for (int i = 0; i < 4; ++i) {
        TqbHandle h;
        ASSERT_EQ(w.engine->CursorClone(w.cursor, qbomReadOnly, h), 0);
        cursors.push_back(h);
    }
    std::atomic<int> inside{0}, most{0};
    w.transport->Responder = [&](const RecordedCall& c) {
        if (c.MsgID != 2049) return FakeServer()(c);
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        for (int i = 0; i < 200; ++i)
            std::this_thread::yield();
        // The record names the cursor it was read for.
        std::vector<uint8_t> rec(plat::LoadLE32(c.Data.data() + 4), uint8_t(plat::LoadLE32(c.Data.data())));
        --inside;
        return CannedReply{0, rec};
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (TqbHandle h : cursors)
        threads.emplace_back([&, h] {
            auto pc = w.engine->Registry().Lease<TQBProxyCursor>(h, TqbHandleKind::Cursor);
            std::vector<uint8_t> rec(size_t(w.recordLength));
            for (int i = 0; i < 50; ++i) {
                if (w.engine->RecordGetNext(h, qbltWrite, rec) != 0 || rec[0] != uint8_t(pc->CursorID))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(most.load(), 1);
}

TEST(RemoteEngine, EnginesListThemselvesWhileTheyLive) {
    auto before = RemoteServerEngines().size();
    {
        TqbOwned<TQBRemoteServerEngine> e(new TQBRemoteServerEngine);
        auto list = RemoteServerEngines();
        EXPECT_EQ(list.size(), before + 1);
        EXPECT_EQ(list.back(), e.get());
        // The dataset client starts the engine it logs in through; the state walk holds nothing here.
        e->Startup();
        EXPECT_EQ(e->State(), qbsStarted);
        e->Shutdown();
        EXPECT_EQ(e->State(), qbsInactive);
    }
    EXPECT_EQ(RemoteServerEngines().size(), before);
}

TEST(RemoteEngine, DestroyingTheEngineLogsItsClientsOff) {
    TqbOwned<RecordingTransport> t(new RecordingTransport);
    {
        TqbOwned<TQBRemoteServerEngine> e(new TQBRemoteServerEngine);
        e->SetTransport(t.get());
        TqbHandle c, s;
        uint32_t hash = 0;
        ASSERT_EQ(e->ClientAdd(c, "u", "u", 100, hash), 0);
        ASSERT_EQ(e->SessionAdd(c, 100, s), 0);
        t->ClearCalls();
    }
    auto calls = t->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].MsgID, 513u);
    EXPECT_EQ(t->Terminated(), (std::vector<uint32_t>{0x100}));
    EXPECT_FALSE(t->HasDependent(nullptr));
}

TEST(RemoteEngine, ServerNamesAndRawRequestsGoToTheTransport) {
    World w;
    cls::TStringList names;
    EXPECT_EQ(w.engine->GetServerNames(names, 100), 0);
    ASSERT_EQ(names.Count(), 1);
    EXPECT_EQ(names[0], "srv@127.0.0.1");
    std::vector<uint8_t> reply;
    const uint8_t req[3] = {1, 2, 3};
    EXPECT_EQ(w.engine->ProcessRequest(w.client, 1303, 55, req, reply), 0);
    EXPECT_EQ(w.only().Timeout, 55u);
    EXPECT_EQ(reply.size(), 4u);
    EXPECT_EQ(w.engine->ProcessRequestNoReply(w.client, 1792, 66, req), 0);
    ASSERT_EQ(w.transport->Posts().size(), 1u);
    EXPECT_EQ(w.transport->Posts()[0].Timeout, 66u);
}

} // namespace
