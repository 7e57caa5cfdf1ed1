// Every operation of the engine interface as one entry of a table, called with arguments drawn
// from a small pool (handles, numbers, names, byte buffers); for the tests that call them all and
// for the engine's fuzz target.
#pragma once
#include "classlib/Classes.h"
#include "db/storage/qblldict.h"
#include "db/storage/qblleng.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace engineops {

// What an operation is called with. Output buffers are sized by the caller (OutSize), inputs come
// from In; the operation may be handed sizes that do not match its buffers.
struct Args {
    TqbHandle H[3] = {};
    int32_t I[4] = {};
    uint32_t U = 0;
    bool B[2] = {};
    std::string S[2];
    std::vector<uint8_t> In;
    size_t OutSize = 0;
    std::vector<TqbHandle> List;

    // Filled by the operations that hand out something, for later calls to use.
    std::vector<TqbHandle> Made;
    uint64_t BLOBNr = 0;
};

enum class Check : uint8_t {
    Started,  // refused with 15459 before the engine is started
    KindOnly, // runs in any state; an unknown handle gives its kind's code
    None,     // takes no handle and answers in any state
};

struct Op {
    const char* Name;
    Check Kind;
    std::function<TqbResultCode(TqbBaseServerEngine&, Args&)> Run;
};

// The kind of handle an operation takes first (None: it takes no handle).
inline TqbHandleKind TargetOf(std::string_view Name) {
    static const std::vector<std::string_view> clientOps = {
        "ClientRemove",      "ClientSetTimeout",  "SessionAdd",      "SessionCloseUnusedTables",
        "SessionCount",      "SessionGetCurrent", "SessionRemove",   "SessionSetCurrent",
        "SessionSetTimeout", "AliasAdd",          "AliasList",       "RecoveryAliasList",
        "AliasChangePath",   "AliasDelete",       "AliasGetPath",    "AliasModify",
        "DatabaseOpen",      "DatabaseOpenPath",  "RebuildGetStatus"};
    static const std::vector<std::string_view> databaseOps = {"TransactionCommit",  "TransactionRollback",
                                                              "TransactionStart",   "TransactionStartWith",
                                                              "DatabaseClose",      "DatabaseGetFreeSpace",
                                                              "DatabaseSetTimeout", "TableExists",
                                                              "TableList",          "TableIsLockedExclusive",
                                                              "TableAddIndex",      "TableBuild",
                                                              "TableDelete",        "TableDropIndex",
                                                              "TableEmpty",         "TableGetDictionary",
                                                              "TableOpen",          "TablePack",
                                                              "TableReindex",       "TableRename",
                                                              "TableRestructure",   "SQLAlloc",
                                                              "SQLExecDirect"};
    auto in = [&](const std::vector<std::string_view>& v) {
        return std::find(v.begin(), v.end(), Name) != v.end();
    };
    if (Name == "SessionRemove") return TqbHandleKind::Session;
    if (in(clientOps)) return TqbHandleKind::Client;
    if (in(databaseOps)) return TqbHandleKind::Database;
    if (Name == "ClientAdd" || Name.starts_with("Get") || Name.starts_with("SQL")) return TqbHandleKind::None;
    return TqbHandleKind::Cursor;
}

inline std::span<uint8_t> outBuf(std::vector<uint8_t>& store, const Args& a) {
    store.assign(a.OutSize, 0);
    return store;
}

// A small dictionary for TableBuild and TableRestructure: a name and a number, indexed on the name.
inline TqbDataDictionary& opsDictionary() {
    thread_local TqbDataDictionary d = [] {
        TqbDataDictionary x;
        x.AddField("name", "", qbtShortString, 20, 0, true);
        x.AddField("n", "", qbtInt32, 0, 0, false);
        const int32_t f = 0;
        x.AddIndex("nameIndex", "", 0, 1, &f, nullptr, false, true, true);
        return x;
    }();
    return d;
}

inline const std::vector<Op>& AllOps() {
    using E = TqbBaseServerEngine;
    static const std::vector<Op> ops = {
        {"GetServerNames", Check::None,
         [](E& e, Args& a) {
             cls::TStringList l;
             return e.GetServerNames(l, a.U);
         }},
        {"TransactionCommit", Check::Started, [](E& e, Args& a) { return e.TransactionCommit(a.H[0]); }},
        {"TransactionRollback", Check::Started, [](E& e, Args& a) { return e.TransactionRollback(a.H[0]); }},
        {"TransactionStart", Check::Started, [](E& e, Args& a) { return e.TransactionStart(a.H[0], a.B[0]); }},
        {"TransactionStartWith", Check::Started,
         [](E& e, Args& a) { return e.TransactionStartWith(a.H[0], a.B[0], a.List); }},
        {"ClientAdd", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             uint32_t hash = a.U;
             const TqbResultCode rc = e.ClientAdd(h, a.S[0], a.S[1], 2000, hash);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"ClientRemove", Check::KindOnly, [](E& e, Args& a) { return e.ClientRemove(a.H[0]); }},
        {"ClientSetTimeout", Check::Started, [](E& e, Args& a) { return e.ClientSetTimeout(a.H[0], a.U); }},
        {"SessionAdd", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             const TqbResultCode rc = e.SessionAdd(a.H[0], a.U, h);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"SessionCloseUnusedTables", Check::Started,
         [](E& e, Args& a) { return e.SessionCloseUnusedTables(a.H[0]); }},
        {"SessionCount", Check::Started,
         [](E& e, Args& a) {
             int32_t n = 0;
             return e.SessionCount(a.H[0], n);
         }},
        {"SessionGetCurrent", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             return e.SessionGetCurrent(a.H[0], h);
         }},
        {"SessionRemove", Check::KindOnly, [](E& e, Args& a) { return e.SessionRemove(a.H[0], a.H[1]); }},
        {"SessionSetCurrent", Check::Started, [](E& e, Args& a) { return e.SessionSetCurrent(a.H[0], a.H[1]); }},
        {"SessionSetTimeout", Check::Started,
         [](E& e, Args& a) { return e.SessionSetTimeout(a.H[0], a.H[1], a.U); }},
        {"AliasAdd", Check::Started, [](E& e, Args& a) { return e.AliasAdd(a.S[0], a.S[1], a.H[0]); }},
        {"AliasList", Check::Started,
         [](E& e, Args& a) {
             std::vector<TqbAliasRecord> l;
             return e.AliasList(l, a.H[0]);
         }},
        {"RecoveryAliasList", Check::KindOnly,
         [](E& e, Args& a) {
             std::vector<TqbAliasRecord> l;
             return e.RecoveryAliasList(l, a.H[0]);
         }},
        {"AliasChangePath", Check::Started, [](E& e, Args& a) { return e.AliasChangePath(a.S[0], a.S[1], a.H[0]); }},
        {"DatabaseClose", Check::KindOnly, [](E& e, Args& a) { return e.DatabaseClose(a.H[0]); }},
        {"AliasDelete", Check::Started, [](E& e, Args& a) { return e.AliasDelete(a.S[0], a.H[0]); }},
        {"AliasGetPath", Check::Started,
         [](E& e, Args& a) {
             std::string p;
             return e.AliasGetPath(a.S[0], a.H[0], p);
         }},
        {"DatabaseGetFreeSpace", Check::Started,
         [](E& e, Args& a) {
             int32_t kb = 0;
             return e.DatabaseGetFreeSpace(a.H[0], kb);
         }},
        {"AliasModify", Check::Started, [](E& e, Args& a) { return e.AliasModify(a.H[0], a.S[0], a.S[1], ""); }},
        {"DatabaseOpen", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             const TqbResultCode rc = e.DatabaseOpen(a.H[0], a.S[0], TqbOpenMode(a.I[0] & 1),
                                                     TqbShareMode(a.I[1] & 1), a.U, h);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"DatabaseOpenPath", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             const TqbResultCode rc = e.DatabaseOpenPath(a.H[0], a.S[0], TqbOpenMode(a.I[0] & 1),
                                                         TqbShareMode(a.I[1] & 1), a.U, h);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"DatabaseSetTimeout", Check::Started, [](E& e, Args& a) { return e.DatabaseSetTimeout(a.H[0], a.U); }},
        {"TableExists", Check::Started,
         [](E& e, Args& a) {
             bool x = false;
             return e.TableExists(a.H[0], a.S[0], x);
         }},
        {"TableList", Check::Started,
         [](E& e, Args& a) {
             std::vector<TqbTableListRecord> l;
             return e.TableList(a.H[0], a.S[0], l);
         }},
        {"TableIsLockedExclusive", Check::Started,
         [](E& e, Args& a) {
             bool x = false;
             return e.TableIsLockedExclusive(a.H[0], a.S[0], x);
         }},
        {"RebuildGetStatus", Check::KindOnly,
         [](E& e, Args& a) {
             bool present = false;
             TqbRebuildStatus st{};
             return e.RebuildGetStatus(a.H[1], a.H[0], present, st);
         }},
        {"TableAddIndex", Check::Started,
         [](E& e, Args& a) {
             TqbIndexDescriptor d;
             d.Name = a.S[1];
             d.KeyFieldCount = a.I[0] & 3;
             d.KeyFields[0] = a.I[1] & 3;
             d.AllowDups = a.B[1];
             return e.TableAddIndex(a.H[0], a.H[1], a.S[0], d);
         }},
        {"TableBuild", Check::Started,
         [](E& e, Args& a) { return e.TableBuild(a.H[0], a.B[0], a.S[0], a.B[1], opsDictionary()); }},
        {"TableDelete", Check::Started, [](E& e, Args& a) { return e.TableDelete(a.H[0], a.S[0]); }},
        {"TableDropIndex", Check::Started,
         [](E& e, Args& a) { return e.TableDropIndex(a.H[0], a.H[1], a.S[0], a.S[1], a.I[0]); }},
        {"TableEmpty", Check::Started, [](E& e, Args& a) { return e.TableEmpty(a.H[0], a.H[1], a.S[0]); }},
        {"TableGetAutoInc", Check::Started,
         [](E& e, Args& a) {
             uint32_t v = 0;
             return e.TableGetAutoInc(a.H[0], v);
         }},
        {"TableGetDictionary", Check::Started,
         [](E& e, Args& a) {
             cls::TMemoryStream s;
             return e.TableGetDictionary(a.H[0], a.S[0], s);
         }},
        {"TableGetRecordCount", Check::Started,
         [](E& e, Args& a) {
             int32_t n = 0;
             return e.TableGetRecordCount(a.H[0], n);
         }},
        {"TableGetRecordCountAsync", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             return e.TableGetRecordCountAsync(a.H[0], h);
         }},
        {"TableOpen", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             cls::TMemoryStream s;
             const TqbResultCode rc = e.TableOpen(a.H[0], a.S[0], a.B[0], a.S[1], a.I[0], TqbOpenMode(a.I[1] & 1),
                                                  TqbShareMode(a.I[2] & 1), a.U, h, a.B[1] ? &s : nullptr);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"TablePack", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             return e.TablePack(a.H[0], a.S[0], h);
         }},
        {"TableReindex", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             return e.TableReindex(a.H[0], a.S[0], a.S[1], a.I[0], h);
         }},
        {"TableRename", Check::Started, [](E& e, Args& a) { return e.TableRename(a.H[0], a.S[0], a.S[1]); }},
        {"TableRestructure", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             cls::TStringList map;
             map.Add(a.S[1]);
             return e.TableRestructure(a.H[0], a.S[0], opsDictionary(), a.B[0] ? &map : nullptr, h);
         }},
        {"TableSetAutoInc", Check::Started, [](E& e, Args& a) { return e.TableSetAutoInc(a.H[0], a.U); }},
        {"TableIsLocked", Check::Started,
         [](E& e, Args& a) {
             bool x = false;
             return e.TableIsLocked(a.H[0], TqbLockType(a.I[0] & 7), x);
         }},
        {"TableLockAcquire", Check::Started,
         [](E& e, Args& a) { return e.TableLockAcquire(a.H[0], TqbLockType(a.I[0] & 7)); }},
        {"TableLockRelease", Check::Started,
         [](E& e, Args& a) { return e.TableLockRelease(a.H[0], TqbLockType(a.I[0] & 7), a.B[0]); }},
        {"CursorClone", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             const TqbResultCode rc = e.CursorClone(a.H[0], TqbOpenMode(a.I[0] & 1), h);
             if (rc == 0) a.Made.push_back(h);
             return rc;
         }},
        {"CursorClose", Check::KindOnly, [](E& e, Args& a) { return e.CursorClose(a.H[0]); }},
        {"CursorCompareBookmarks", Check::Started,
         [](E& e, Args& a) {
             int32_t r = 0;
             const size_t half = a.In.size() / 2;
             return e.CursorCompareBookmarks(a.H[0], std::span(a.In).first(half), std::span(a.In).subspan(half),
                                             r);
         }},
        {"CursorCopyRecords", Check::Started,
         [](E& e, Args& a) { return e.CursorCopyRecords(a.H[0], a.H[1], a.B[0]); }},
        {"CursorDeleteRecords", Check::Started, [](E& e, Args& a) { return e.CursorDeleteRecords(a.H[0]); }},
        {"CursorGetBookmark", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.CursorGetBookmark(a.H[0], outBuf(b, a));
         }},
        {"CursorGetBookmarkSize", Check::Started,
         [](E& e, Args& a) {
             uint32_t n = 0;
             return e.CursorGetBookmarkSize(a.H[0], n);
         }},
        {"BLOBListFreeSpace", Check::Started,
         [](E& e, Args& a) {
             cls::TMemoryStream s;
             return e.BLOBListFreeSpace(a.H[0], a.B[0], s);
         }},
        {"CursorOverrideFilter", Check::Started,
         [](E& e, Args& a) { return e.CursorOverrideFilter(a.H[0], a.In, a.U); }},
        {"CursorResetRange", Check::Started, [](E& e, Args& a) { return e.CursorResetRange(a.H[0]); }},
        {"CursorRestoreFilter", Check::Started, [](E& e, Args& a) { return e.CursorRestoreFilter(a.H[0]); }},
        {"CursorSetRange", Check::Started,
         [](E& e, Args& a) {
             const size_t half = a.In.size() / 2;
             return e.CursorSetRange(a.H[0], a.B[0], a.I[0], a.I[1], std::span(a.In).first(half), a.B[1], a.I[2],
                                     a.I[3], std::span(a.In).subspan(half), !a.B[1]);
         }},
        {"CursorSetTimeout", Check::Started, [](E& e, Args& a) { return e.CursorSetTimeout(a.H[0], a.U); }},
        {"CursorSetToBegin", Check::Started, [](E& e, Args& a) { return e.CursorSetToBegin(a.H[0]); }},
        {"CursorSetToBookmark", Check::Started,
         [](E& e, Args& a) { return e.CursorSetToBookmark(a.H[0], a.In); }},
        {"CursorSetToCursor", Check::Started,
         [](E& e, Args& a) { return e.CursorSetToCursor(a.H[0], a.H[1]); }},
        {"CursorSetToEnd", Check::Started, [](E& e, Args& a) { return e.CursorSetToEnd(a.H[0]); }},
        {"CursorSetToKey", Check::Started,
         [](E& e, Args& a) {
             return e.CursorSetToKey(a.H[0], TqbSearchAction(a.I[0] & 7), a.B[0], a.I[1], a.I[2], a.In);
         }},
        {"CursorSwitchToIndex", Check::Started,
         [](E& e, Args& a) { return e.CursorSwitchToIndex(a.H[0], a.S[0], a.I[0], a.B[0]); }},
        {"CursorSetFilter", Check::Started, [](E& e, Args& a) { return e.CursorSetFilter(a.H[0], a.In, a.U); }},
        {"RecordDelete", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordDelete(a.H[0], outBuf(b, a));
         }},
        {"RecordDeleteBatch", Check::Started,
         [](E& e, Args& a) {
             std::vector<int32_t> errors;
             return e.RecordDeleteBatch(a.H[0], a.I[0], a.I[1], a.In, errors);
         }},
        {"RecordExtractKey", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordExtractKey(a.H[0], a.In, outBuf(b, a));
         }},
        {"RecordGet", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordGet(a.H[0], TqbLockType(a.I[0] & 7), outBuf(b, a));
         }},
        {"RecordGetBatch", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             int32_t n = 0, err = 0;
             return e.RecordGetBatch(a.H[0], a.I[0], a.I[1], outBuf(b, a), n, err);
         }},
        {"RecordGetForKey", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordGetForKey(a.H[0], a.B[0], a.I[0], a.I[1], a.In, outBuf(b, a), a.B[1]);
         }},
        {"RecordGetForKeyWithBookmark", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b, m;
             m.assign(size_t(a.U % 4096), 0);
             return e.RecordGetForKeyWithBookmark(a.H[0], a.B[0], a.I[0], a.I[1], a.In, outBuf(b, a), a.B[1], m);
         }},
        {"RecordGetNext", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordGetNext(a.H[0], TqbLockType(a.I[0] & 7), outBuf(b, a));
         }},
        {"RecordGetPrior", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             return e.RecordGetPrior(a.H[0], TqbLockType(a.I[0] & 7), outBuf(b, a));
         }},
        {"RecordStepWithBookmark", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b, m;
             m.assign(size_t(a.U % 4096), 0);
             return e.RecordStepWithBookmark(a.H[0], a.B[0], TqbLockType(a.I[0] & 7), outBuf(b, a), m);
         }},
        {"RecordGetWithBookmark", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b, m;
             m.assign(size_t(a.U % 4096), 0);
             return e.RecordGetWithBookmark(a.H[0], TqbLockType(a.I[0] & 7), outBuf(b, a), m);
         }},
        {"RecordInsertThenGet", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b, m;
             m.assign(size_t(a.U % 4096), 0);
             bool endFailed = false;
             TqbResultCode read = 0;
             return e.RecordInsertThenGet(a.H[0], a.B[0], TqbLockType(a.I[0] & 7), a.In, outBuf(b, a), m,
                                          endFailed, read);
         }},
        {"RecordInsert", Check::Started,
         [](E& e, Args& a) { return e.RecordInsert(a.H[0], TqbLockType(a.I[0] & 7), a.In); }},
        {"RecordInsertBatch", Check::Started,
         [](E& e, Args& a) {
             std::vector<int32_t> errors;
             return e.RecordInsertBatch(a.H[0], a.I[0], a.I[1], a.In, errors);
         }},
        {"RecordIsLocked", Check::Started,
         [](E& e, Args& a) {
             bool x = false;
             return e.RecordIsLocked(a.H[0], TqbLockType(a.I[0] & 7), x);
         }},
        {"RecordModify", Check::Started, [](E& e, Args& a) { return e.RecordModify(a.H[0], a.In, a.B[0]); }},
        {"RecordReleaseLock", Check::Started, [](E& e, Args& a) { return e.RecordReleaseLock(a.H[0], a.B[0]); }},
        {"BLOBCreate", Check::Started,
         [](E& e, Args& a) {
             uint64_t nr = 0;
             const TqbResultCode rc = e.BLOBCreate(a.H[0], nr);
             if (rc == 0) a.BLOBNr = nr;
             return rc;
         }},
        {"BLOBDelete", Check::Started, [](E& e, Args& a) { return e.BLOBDelete(a.H[0], a.BLOBNr); }},
        {"BLOBListSegments", Check::Started,
         [](E& e, Args& a) {
             cls::TMemoryStream s;
             return e.BLOBListSegments(a.H[0], a.BLOBNr, s);
         }},
        {"BLOBRead", Check::Started,
         [](E& e, Args& a) {
             std::vector<uint8_t> b;
             uint32_t n = 0;
             return e.BLOBRead(a.H[0], a.BLOBNr, a.U, outBuf(b, a), n);
         }},
        {"BLOBFree", Check::Started, [](E& e, Args& a) { return e.BLOBFree(a.H[0], a.BLOBNr, false); }},
        {"BLOBGetLength", Check::Started,
         [](E& e, Args& a) {
             uint32_t n = 0;
             return e.BLOBGetLength(a.H[0], a.BLOBNr, n);
         }},
        {"BLOBTruncate", Check::Started, [](E& e, Args& a) { return e.BLOBTruncate(a.H[0], a.BLOBNr, a.U); }},
        {"BLOBWrite", Check::Started, [](E& e, Args& a) { return e.BLOBWrite(a.H[0], a.BLOBNr, a.U, a.In); }},
        {"BLOBCreateFile", Check::Started,
         [](E& e, Args& a) {
             uint64_t nr = 0;
             return e.BLOBCreateFile(a.H[0], a.S[0], nr);
         }},
        {"SQLAlloc", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             return e.SQLAlloc(a.H[0], a.U, h);
         }},
        {"SQLExec", Check::None,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             cls::TMemoryStream s;
             return e.SQLExec(a.H[0], TqbOpenMode(a.I[0] & 1), h, s);
         }},
        {"SQLExecDirect", Check::Started,
         [](E& e, Args& a) {
             TqbHandle h = 0;
             cls::TMemoryStream s;
             return e.SQLExecDirect(a.H[0], a.S[0], a.U, TqbOpenMode(a.I[0] & 1), h, s);
         }},
        {"SQLFree", Check::None, [](E& e, Args& a) { return e.SQLFree(a.H[0]); }},
        {"SQLPrepare", Check::None,
         [](E& e, Args& a) {
             cls::TMemoryStream s;
             return e.SQLPrepare(a.H[0], a.S[0], s);
         }},
        {"SQLSetParams", Check::None,
         [](E& e, Args& a) {
             cls::TMemoryStream s;
             const size_t half = a.In.size() / 2;
             return e.SQLSetParams(a.H[0], uint16_t(a.I[0]), std::span<const uint8_t>(a.In).first(half),
                                   std::span<const uint8_t>(a.In).subspan(half), s);
         }},
        {"GetServerDateTime", Check::None,
         [](E& e, Args&) {
             cls::TDateTime t{};
             return e.GetServerDateTime(t);
         }},
        {"GetServerSystemTime", Check::None,
         [](E& e, Args&) {
             TqbSystemTime t{};
             return e.GetServerSystemTime(t);
         }},
        {"GetNewGUID", Check::None,
         [](E& e, Args&) {
             TqbGUID g{};
             return e.GetNewGUID(g);
         }},
        {"GetServerID", Check::None,
         [](E& e, Args&) {
             TqbGUID g{};
             return e.GetServerID(g);
         }},
        {"GetServerStatistics", Check::None,
         [](E& e, Args&) {
             TqbServerStatistics s{};
             return e.GetServerStatistics(s);
         }},
        {"GetCommandHandlerStatistics", Check::None,
         [](E& e, Args& a) {
             int32_t n = 0;
             return e.GetCommandHandlerStatistics(a.I[0], n);
         }},
        {"GetTransportStatistics", Check::None,
         [](E& e, Args& a) {
             TqbTransportStatistics s{};
             return e.GetTransportStatistics(a.I[0], a.I[1], s);
         }},
    };
    return ops;
}

} // namespace engineops
