// The remote engine's operation table and its codec: request records, stream-coded requests and
// bounded reply decoders shared by the client proxy and the server's decoder.
#include "db/remote/qbclops.h"

#include "platform/ByteCodec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qbops {

namespace {

using K = TqbFieldKind;
using H = TqbHandleKind;
using RK = TqbRequestKind;
using T = TqbTail;
using P = TqbReplyKind;
using W = TqbTimeoutFrom;

// clang-format off
constexpr TqbField fTransactionCommit[] = {
    {"d", K::Handle, 0, H::Database},
    {"commit", K::U8, 4}};
constexpr TqbField fTransactionRollback[] = {
    {"d", K::Handle, 0, H::Database},
    {"commit", K::U8, 4}};
constexpr TqbField fTransactionStart[] = {
    {"d", K::Handle, 0, H::Database},
    {"failSafe", K::Bool, 4}};
constexpr TqbField fClientAdd[] = {
    {"userName", K::Name, 0},
    {"userNameCopy", K::Name, 32},
    {"timeout", K::U32, 64},
    {"version", K::U32, 68}};
constexpr TqbField fClientSetTimeout[] = {
    {"timeout", K::U32, 0}};
constexpr TqbField fSessionAdd[] = {
    {"timeout", K::U32, 0}};
constexpr TqbField fSessionCloseUnusedTables[] = {
    {"session", K::Handle, 0, H::Session}};
constexpr TqbField fSessionRemove[] = {
    {"session", K::Handle, 0, H::Session}};
constexpr TqbField fSessionSetCurrent[] = {
    {"session", K::Handle, 0, H::Session}};
constexpr TqbField fSessionSetTimeout[] = {
    {"session", K::Handle, 0, H::Session},
    {"timeout", K::U32, 4}};
constexpr TqbField fAliasAdd[] = {
    {"alias", K::Name, 0},
    {"path", K::Path, 32}};
constexpr TqbField fAliasChangePath[] = {
    {"alias", K::Name, 0},
    {"path", K::Path, 32}};
constexpr TqbField fDatabaseClose[] = {
    {"d", K::Handle, 0, H::Database}};
constexpr TqbField fAliasDelete[] = {
    {"alias", K::Name, 0}};
constexpr TqbField fAliasGetPath[] = {
    {"alias", K::Name, 0}};
constexpr TqbField fDatabaseGetFreeSpace[] = {
    {"d", K::Handle, 0, H::Database}};
constexpr TqbField fAliasModify[] = {
    {"client", K::Handle, 0, H::Client},
    {"alias", K::Name, 4},
    {"newName", K::Name, 36},
    {"newPath", K::Path, 68}};
constexpr TqbField fDatabaseOpen[] = {
    {"alias", K::Name, 0},
    {"openMode", K::U8, 32},
    {"shareMode", K::U8, 33},
    {"timeout", K::U32, 34}};
constexpr TqbField fDatabaseOpenPath[] = {
    {"path", K::Path, 0},
    {"openMode", K::U8, 220},
    {"shareMode", K::U8, 221},
    {"timeout", K::U32, 222}};
constexpr TqbField fDatabaseSetTimeout[] = {
    {"d", K::Handle, 0, H::Database},
    {"timeout", K::U32, 4}};
constexpr TqbField fTableExists[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4}};
constexpr TqbField fTableList[] = {
    {"d", K::Handle, 0, H::Database},
    {"mask", K::Mask, 4}};
constexpr TqbField fTableIsLockedExclusive[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4}};
constexpr TqbField fRebuildGetStatus[] = {
    {"rebuild", K::Handle, 0, H::Rebuild}};
constexpr TqbField fTableAddIndex[] = {
    {"d", K::Handle, 0, H::Database},
    {"c", K::Handle, 4, H::Cursor, true},
    {"table", K::Name, 8},
    {"index", K::IndexDesc, 40}};
constexpr TqbField fTableDelete[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4}};
constexpr TqbField fTableDropIndex[] = {
    {"d", K::Handle, 0, H::Database},
    {"c", K::Handle, 4, H::Cursor, true},
    {"table", K::Name, 8},
    {"index", K::Name, 40},
    {"indexID", K::I32, 72}};
constexpr TqbField fTableEmpty[] = {
    {"d", K::Handle, 0, H::Database},
    {"c", K::Handle, 4, H::Cursor, true},
    {"table", K::Name, 8}};
constexpr TqbField fTableGetAutoInc[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fTableGetDictionary[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4}};
constexpr TqbField fTableGetRecordCount[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fTableGetRecordCountAsync[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fTableOpen[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4},
    {"index", K::Name, 36},
    {"indexID", K::I32, 68},
    {"openMode", K::U8, 72},
    {"shareMode", K::U8, 73},
    {"timeout", K::U32, 74}};
constexpr TqbField fTablePack[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4}};
constexpr TqbField fTableReindex[] = {
    {"d", K::Handle, 0, H::Database},
    {"table", K::Name, 4},
    {"index", K::Name, 36},
    {"indexID", K::I32, 68}};
constexpr TqbField fTableRename[] = {
    {"d", K::Handle, 0, H::Database},
    {"oldName", K::Name, 4},
    {"newName", K::Name, 36}};
constexpr TqbField fTableSetAutoInc[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"value", K::U32, 4}};
constexpr TqbField fTableIsLocked[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"lockType", K::U8, 4}};
constexpr TqbField fTableLockAcquire[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"lockType", K::U8, 4}};
constexpr TqbField fTableLockRelease[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"lockType", K::U8, 4},
    {"allLocks", K::Bool, 5}};
constexpr TqbField fCursorClone[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"openMode", K::U8, 4}};
constexpr TqbField fCursorClose[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorCompareBookmarks[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"bookmarkSize", K::U32, 4}};
constexpr TqbField fCursorCopyRecords[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"dest", K::Handle, 4, H::Cursor},
    {"copyBLOBs", K::Bool, 8}};
constexpr TqbField fCursorDeleteRecords[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorGetBookmark[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"bookmarkSize", K::U32, 4}};
constexpr TqbField fBLOBListFreeSpace[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"inMemory", K::Bool, 4}};
constexpr TqbField fCursorOverrideFilter[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"timeout", K::U32, 4}};
constexpr TqbField fCursorResetRange[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorRestoreFilter[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorSetRange[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"directKey", K::Bool, 4},
    {"startFieldCount", K::I32, 5},
    {"startPartialLen", K::I32, 9},
    {"startKeyLength", K::U32, 13},
    {"startInclusive", K::Bool, 17},
    {"endFieldCount", K::I32, 18},
    {"endPartialLen", K::I32, 22},
    {"endKeyLength", K::U32, 26},
    {"endInclusive", K::Bool, 30}};
constexpr TqbField fCursorSetTimeout[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"timeout", K::U32, 4}};
constexpr TqbField fCursorSetToBegin[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorSetToBookmark[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"bookmarkSize", K::U32, 4}};
constexpr TqbField fCursorSetToCursor[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"source", K::Handle, 4, H::Cursor}};
constexpr TqbField fCursorSetToEnd[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fCursorSetToKey[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"searchAction", K::U8, 4},
    {"directKey", K::Bool, 5},
    {"fieldCount", K::I32, 6},
    {"partialLen", K::I32, 10},
    {"keyLength", K::U32, 14}};
constexpr TqbField fCursorSwitchToIndex[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"index", K::Name, 4},
    {"indexID", K::I32, 36},
    {"posnOnRec", K::Bool, 40}};
constexpr TqbField fCursorSetFilter[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"timeout", K::U32, 4}};
constexpr TqbField fRecordDelete[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4}};
constexpr TqbField fRecordDeleteBatch[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"count", K::I32, 4},
    {"bookmarkSize", K::U32, 8}};
constexpr TqbField fRecordExtractKey[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"keyLength", K::U32, 4},
    {"noRecord", K::Bool, 8}};
constexpr TqbField fRecordGet[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"bookmarkSize", K::U32, 8},
    {"lockType", K::U8, 12}};
constexpr TqbField fRecordGetBatch[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"count", K::I32, 4},
    {"recordLength", K::U32, 8}};
constexpr TqbField fRecordGetForKey[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"directKey", K::Bool, 4},
    {"fieldCount", K::I32, 5},
    {"partialLen", K::I32, 9},
    {"recordLength", K::U32, 13},
    {"dataLength", K::U32, 17},
    {"bookmarkSize", K::U32, 21}};
constexpr TqbField fRecordGetNext[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"bookmarkSize", K::U32, 8},
    {"lockType", K::U8, 12}};
constexpr TqbField fRecordGetPrior[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"bookmarkSize", K::U32, 8},
    {"lockType", K::U8, 12}};
constexpr TqbField fRecordInsert[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"bookmarkSize", K::U32, 8},
    {"lockType", K::U8, 12}};
constexpr TqbField fRecordInsertBatch[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"count", K::I32, 8}};
constexpr TqbField fRecordIsLocked[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"lockType", K::U8, 4}};
constexpr TqbField fRecordModify[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"recordLength", K::U32, 4},
    {"bookmarkSize", K::U32, 8},
    {"releaseLock", K::Bool, 12}};
constexpr TqbField fRecordReleaseLock[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"allLocks", K::Bool, 4}};
constexpr TqbField fBLOBCreate[] = {
    {"c", K::Handle, 0, H::Cursor}};
constexpr TqbField fBLOBDelete[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4}};
constexpr TqbField fBLOBListSegments[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4}};
constexpr TqbField fBLOBRead[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4},
    {"offset", K::U32, 12},
    {"length", K::U32, 16}};
constexpr TqbField fBLOBFree[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4},
    {"readOnly", K::Bool, 12}};
constexpr TqbField fBLOBGetLength[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4}};
constexpr TqbField fBLOBTruncate[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4},
    {"newLength", K::U32, 12}};
constexpr TqbField fBLOBWrite[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"blob", K::U64, 4},
    {"offset", K::U32, 12},
    {"length", K::U32, 16}};
constexpr TqbField fBLOBCreateFile[] = {
    {"c", K::Handle, 0, H::Cursor},
    {"fileName", K::FileName, 4}};
constexpr TqbField fSQLAlloc[] = {
    {"d", K::Handle, 0, H::Database},
    {"timeout", K::U32, 4}};
constexpr TqbField fSQLExec[] = {
    {"stmt", K::Handle, 0, H::Statement},
    {"openMode", K::U8, 4}};
constexpr TqbField fSQLExecDirect[] = {
    {"d", K::Handle, 0, H::Database},
    {"timeout", K::U32, 4},
    {"openMode", K::U8, 8}};
constexpr TqbField fSQLFree[] = {
    {"stmt", K::Handle, 0, H::Statement}};
constexpr TqbField fSQLPrepare[] = {
    {"stmt", K::Handle, 0, H::Statement}};
constexpr TqbField fGetCommandHandlerStatistics[] = {
    {"handler", K::I32, 0}};
constexpr TqbField fGetTransportStatistics[] = {
    {"handler", K::I32, 0},
    {"transport", K::I32, 4}};
constexpr TqbOpDesc kTable[] = {
    {TqbOp::GetIsReadOnly, "GetIsReadOnly", 2816, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 1, W::Client, -1},
    {TqbOp::TransactionCommit, "TransactionCommit", 1025, RK::Fixed, 5, fTransactionCommit, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TransactionRollback, "TransactionRollback", 1025, RK::Fixed, 5, fTransactionRollback, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TransactionStart, "TransactionStart", 1024, RK::Fixed, 5, fTransactionStart, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TransactionStartWith, "TransactionStartWith", 1026, RK::Stream, 0, {}, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::ClientAdd, "ClientAdd", 15, RK::Transport, 72, fClientAdd, T::None, -1, -1, P::Fixed, 25, W::Client, -1},
    {TqbOp::ClientSetTimeout, "ClientSetTimeout", 14, RK::Fixed, 4, fClientSetTimeout, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::SessionAdd, "SessionAdd", 512, RK::Fixed, 4, fSessionAdd, T::None, -1, -1, P::Fixed, 4, W::Client, -1},
    {TqbOp::SessionCloseUnusedTables, "SessionCloseUnusedTables", 517, RK::Fixed, 4, fSessionCloseUnusedTables, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::SessionRemove, "SessionRemove", 513, RK::Fixed, 4, fSessionRemove, T::None, -1, -1, P::None, 0, W::Session, -1},
    {TqbOp::SessionSetCurrent, "SessionSetCurrent", 515, RK::Fixed, 4, fSessionSetCurrent, T::None, -1, -1, P::None, 0, W::Session, -1},
    {TqbOp::SessionSetTimeout, "SessionSetTimeout", 516, RK::Fixed, 8, fSessionSetTimeout, T::None, -1, -1, P::None, 0, W::Session, -1},
    {TqbOp::AliasAdd, "AliasAdd", 260, RK::Fixed, 252, fAliasAdd, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::AliasList, "AliasList", 258, RK::Fixed, 0, {}, T::None, -1, -1, P::Records, 252, W::Client, -1},
    {TqbOp::AliasChangePath, "AliasChangePath", 264, RK::Fixed, 252, fAliasChangePath, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::DatabaseClose, "DatabaseClose", 257, RK::Fixed, 4, fDatabaseClose, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::AliasDelete, "AliasDelete", 263, RK::Fixed, 32, fAliasDelete, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::AliasGetPath, "AliasGetPath", 268, RK::Fixed, 32, fAliasGetPath, T::None, -1, -1, P::Fixed, 220, W::Client, -1},
    {TqbOp::DatabaseGetFreeSpace, "DatabaseGetFreeSpace", 266, RK::Fixed, 4, fDatabaseGetFreeSpace, T::None, -1, -1, P::Fixed, 4, W::Database, -1},
    {TqbOp::AliasModify, "AliasModify", 267, RK::Fixed, 288, fAliasModify, T::None, -1, -1, P::None, 0, W::Client, -1},
    {TqbOp::DatabaseOpen, "DatabaseOpen", 256, RK::Fixed, 38, fDatabaseOpen, T::None, -1, -1, P::Fixed, 4, W::Request, 3},
    {TqbOp::DatabaseOpenPath, "DatabaseOpenPath", 261, RK::Fixed, 226, fDatabaseOpenPath, T::None, -1, -1, P::Fixed, 4, W::Request, 3},
    {TqbOp::DatabaseSetTimeout, "DatabaseSetTimeout", 265, RK::Fixed, 8, fDatabaseSetTimeout, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableExists, "TableExists", 269, RK::Fixed, 36, fTableExists, T::None, -1, -1, P::Fixed, 1, W::Database, -1},
    {TqbOp::TableList, "TableList", 259, RK::Fixed, 40, fTableList, T::None, -1, -1, P::Records, 48, W::Database, -1},
    {TqbOp::TableIsLockedExclusive, "TableIsLockedExclusive", 270, RK::Fixed, 36, fTableIsLockedExclusive, T::None, -1, -1, P::Fixed, 1, W::Database, -1},
    {TqbOp::RebuildGetStatus, "RebuildGetStatus", 771, RK::Fixed, 4, fRebuildGetStatus, T::None, -1, -1, P::Fixed, 30, W::Client, -1},
    {TqbOp::TableAddIndex, "TableAddIndex", 1305, RK::Fixed, 731, fTableAddIndex, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableBuild, "TableBuild", 1300, RK::Stream, 0, {}, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableDelete, "TableDelete", 1301, RK::Fixed, 36, fTableDelete, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableDropIndex, "TableDropIndex", 1306, RK::Fixed, 76, fTableDropIndex, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableEmpty, "TableEmpty", 1304, RK::Fixed, 40, fTableEmpty, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableGetAutoInc, "TableGetAutoInc", 1308, RK::Fixed, 4, fTableGetAutoInc, T::None, -1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::TableGetDictionary, "TableGetDictionary", 1299, RK::Fixed, 36, fTableGetDictionary, T::None, -1, -1, P::Stream, 0, W::Database, -1},
    {TqbOp::TableGetRecordCount, "TableGetRecordCount", 1303, RK::Fixed, 4, fTableGetRecordCount, T::None, -1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::TableGetRecordCountAsync, "TableGetRecordCountAsync", 1309, RK::Fixed, 4, fTableGetRecordCountAsync, T::None, -1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::TableOpen, "TableOpen", 1280, RK::Fixed, 78, fTableOpen, T::None, -1, -1, P::Stream, 0, W::Request, 6},
    {TqbOp::TablePack, "TablePack", 769, RK::Fixed, 36, fTablePack, T::None, -1, -1, P::Fixed, 4, W::Database, -1},
    {TqbOp::TableReindex, "TableReindex", 768, RK::Fixed, 72, fTableReindex, T::None, -1, -1, P::Fixed, 4, W::Database, -1},
    {TqbOp::TableRename, "TableRename", 1302, RK::Fixed, 68, fTableRename, T::None, -1, -1, P::None, 0, W::Database, -1},
    {TqbOp::TableRestructure, "TableRestructure", 770, RK::Stream, 0, {}, T::None, -1, -1, P::Fixed, 4, W::Database, -1},
    {TqbOp::TableSetAutoInc, "TableSetAutoInc", 1307, RK::Fixed, 8, fTableSetAutoInc, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::TableIsLocked, "TableIsLocked", 1298, RK::Fixed, 5, fTableIsLocked, T::None, -1, -1, P::Fixed, 1, W::Cursor, -1},
    {TqbOp::TableLockAcquire, "TableLockAcquire", 1296, RK::Fixed, 5, fTableLockAcquire, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::TableLockRelease, "TableLockRelease", 1297, RK::Fixed, 6, fTableLockRelease, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorClone, "CursorClone", 1802, RK::Fixed, 5, fCursorClone, T::None, -1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::CursorClose, "CursorClose", 1794, RK::Fixed, 4, fCursorClose, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorCompareBookmarks, "CursorCompareBookmarks", 1801, RK::Fixed, 8, fCursorCompareBookmarks, T::Twice, 1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::CursorCopyRecords, "CursorCopyRecords", 1808, RK::Fixed, 9, fCursorCopyRecords, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorDeleteRecords, "CursorDeleteRecords", 1809, RK::Fixed, 4, fCursorDeleteRecords, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorGetBookmark, "CursorGetBookmark", 1795, RK::Fixed, 8, fCursorGetBookmark, T::None, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::BLOBListFreeSpace, "BLOBListFreeSpace", 1545, RK::Fixed, 5, fBLOBListFreeSpace, T::None, -1, -1, P::Stream, 0, W::Cursor, -1},
    {TqbOp::CursorOverrideFilter, "CursorOverrideFilter", 1805, RK::Fixed, 8, fCursorOverrideFilter, T::Expression, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorResetRange, "CursorResetRange", 1800, RK::Fixed, 4, fCursorResetRange, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorRestoreFilter, "CursorRestoreFilter", 1806, RK::Fixed, 4, fCursorRestoreFilter, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetRange, "CursorSetRange", 1799, RK::Fixed, 31, fCursorSetRange, T::Sum, 4, 8, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetTimeout, "CursorSetTimeout", 1807, RK::Fixed, 8, fCursorSetTimeout, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetToBegin, "CursorSetToBegin", 1792, RK::Fixed, 4, fCursorSetToBegin, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetToBookmark, "CursorSetToBookmark", 1796, RK::Fixed, 8, fCursorSetToBookmark, T::Field, 1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetToCursor, "CursorSetToCursor", 1803, RK::Fixed, 8, fCursorSetToCursor, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetToEnd, "CursorSetToEnd", 1793, RK::Fixed, 4, fCursorSetToEnd, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetToKey, "CursorSetToKey", 1797, RK::Fixed, 18, fCursorSetToKey, T::Field, 5, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSwitchToIndex, "CursorSwitchToIndex", 1798, RK::Fixed, 41, fCursorSwitchToIndex, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::CursorSetFilter, "CursorSetFilter", 1804, RK::Fixed, 8, fCursorSetFilter, T::Expression, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::RecordDelete, "RecordDelete", 2052, RK::Fixed, 8, fRecordDelete, T::None, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordDeleteBatch, "RecordDeleteBatch", 2061, RK::Fixed, 12, fRecordDeleteBatch, T::Product, 1, 2, P::Codes, 0, W::Cursor, -1},
    {TqbOp::RecordExtractKey, "RecordExtractKey", 2055, RK::Fixed, 9, fRecordExtractKey, T::Rest, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordGet, "RecordGet", 2048, RK::Fixed, 13, fRecordGet, T::None, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordGetBatch, "RecordGetBatch", 2057, RK::Fixed, 12, fRecordGetBatch, T::None, -1, -1, P::Batch, 0, W::Cursor, -1},
    {TqbOp::RecordGetForKey, "RecordGetForKey", 2056, RK::Fixed, 25, fRecordGetForKey, T::Field, 5, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordGetNext, "RecordGetNext", 2049, RK::Fixed, 13, fRecordGetNext, T::None, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordGetPrior, "RecordGetPrior", 2050, RK::Fixed, 13, fRecordGetPrior, T::None, -1, -1, P::Sized, 0, W::Cursor, -1},
    {TqbOp::RecordInsert, "RecordInsert", 2053, RK::Fixed, 13, fRecordInsert, T::Field, 1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::RecordInsertBatch, "RecordInsertBatch", 2058, RK::Fixed, 12, fRecordInsertBatch, T::Product, 1, 2, P::Codes, 0, W::Cursor, -1},
    {TqbOp::RecordIsLocked, "RecordIsLocked", 2062, RK::Fixed, 5, fRecordIsLocked, T::None, -1, -1, P::Fixed, 1, W::Cursor, -1},
    {TqbOp::RecordModify, "RecordModify", 2054, RK::Fixed, 13, fRecordModify, T::Field, 1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::RecordReleaseLock, "RecordReleaseLock", 2051, RK::Fixed, 5, fRecordReleaseLock, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::BLOBCreate, "BLOBCreate", 1536, RK::Fixed, 4, fBLOBCreate, T::None, -1, -1, P::Fixed, 8, W::Cursor, -1},
    {TqbOp::BLOBDelete, "BLOBDelete", 1537, RK::Fixed, 12, fBLOBDelete, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::BLOBListSegments, "BLOBListSegments", 1546, RK::Fixed, 12, fBLOBListSegments, T::None, -1, -1, P::Stream, 0, W::Cursor, -1},
    {TqbOp::BLOBRead, "BLOBRead", 1538, RK::Fixed, 20, fBLOBRead, T::None, -1, -1, P::Counted, 0, W::Cursor, -1},
    {TqbOp::BLOBFree, "BLOBFree", 1544, RK::Fixed, 13, fBLOBFree, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::BLOBGetLength, "BLOBGetLength", 1539, RK::Fixed, 12, fBLOBGetLength, T::None, -1, -1, P::Fixed, 4, W::Cursor, -1},
    {TqbOp::BLOBTruncate, "BLOBTruncate", 1540, RK::Fixed, 16, fBLOBTruncate, T::None, -1, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::BLOBWrite, "BLOBWrite", 1541, RK::Fixed, 20, fBLOBWrite, T::Field, 3, -1, P::None, 0, W::Cursor, -1},
    {TqbOp::BLOBCreateFile, "BLOBCreateFile", 1543, RK::Fixed, 260, fBLOBCreateFile, T::None, -1, -1, P::Fixed, 8, W::Cursor, -1},
    {TqbOp::SQLAlloc, "SQLAlloc", 2304, RK::Fixed, 8, fSQLAlloc, T::None, -1, -1, P::Fixed, 4, W::Request, 1},
    {TqbOp::SQLExec, "SQLExec", 2305, RK::Fixed, 5, fSQLExec, T::None, -1, -1, P::Stream, 0, W::Statement, -1},
    {TqbOp::SQLExecDirect, "SQLExecDirect", 2306, RK::Fixed, 9, fSQLExecDirect, T::ZText, -1, -1, P::Stream, 0, W::Request, 1},
    {TqbOp::SQLFree, "SQLFree", 2307, RK::Fixed, 4, fSQLFree, T::None, -1, -1, P::None, 0, W::Statement, -1},
    {TqbOp::SQLPrepare, "SQLPrepare", 2308, RK::Fixed, 4, fSQLPrepare, T::ZText, -1, -1, P::Stream, 0, W::Statement, -1},
    {TqbOp::SQLSetParams, "SQLSetParams", 2309, RK::Stream, 0, {}, T::None, -1, -1, P::Stream, 0, W::Statement, -1},
    {TqbOp::GetServerDateTime, "GetServerDateTime", 12, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 8, W::Client, -1},
    {TqbOp::GetServerSystemTime, "GetServerSystemTime", 16, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 16, W::Client, -1},
    {TqbOp::GetNewGUID, "GetNewGUID", 17, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 16, W::Client, -1},
    {TqbOp::GetServerID, "GetServerID", 18, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 16, W::Client, -1},
    {TqbOp::GetServerStatistics, "GetServerStatistics", 2817, RK::Fixed, 0, {}, T::None, -1, -1, P::Fixed, 328, W::Client, -1},
    {TqbOp::GetCommandHandlerStatistics, "GetCommandHandlerStatistics", 2818, RK::Fixed, 4, fGetCommandHandlerStatistics, T::None, -1, -1, P::Fixed, 4, W::Client, -1},
    {TqbOp::GetTransportStatistics, "GetTransportStatistics", 2819, RK::Fixed, 8, fGetTransportStatistics, T::None, -1, -1, P::Fixed, 368, W::Client, -1},
};
// clang-format on

static_assert(std::size(kTable) == kOpCount, "one row per operation");

constexpr bool rowsInOrder() {
    for (size_t i = 0; i < std::size(kTable); ++i)
        if (size_t(kTable[i].Op) != i) return false;
    return true;
}
static_assert(rowsInOrder(), "rows in the order of TqbOp");

} // namespace

size_t FieldSize(TqbFieldKind Kind) {
    switch (Kind) {
    case K::U8:
    case K::Bool:
        return 1;
    case K::U32:
    case K::I32:
    case K::Handle:
        return 4;
    case K::U64:
        return 8;
    case K::Name:
        return 32;
    case K::Path:
        return 220;
    case K::Mask:
        return 36;
    case K::FileName:
        return 256;
    case K::IndexDesc:
        return kIndexDescSize;
    }
    return 0;
}

size_t FieldMaxChars(TqbFieldKind Kind) {
    switch (Kind) {
    case K::Name:
    case K::Path:
    case K::Mask:
    case K::FileName:
        return FieldSize(Kind) - 1;
    default:
        return 0;
    }
}

std::span<const TqbOpDesc> OperationTable() {
    return kTable;
}

const TqbOpDesc& Describe(TqbOp Op) {
    if (size_t(Op) >= kOpCount) throw std::out_of_range("no such remote operation");
    return kTable[size_t(Op)];
}

const TqbOpDesc* FindByMessage(uint32_t MsgID) {
    for (const TqbOpDesc& d : kTable)
        if (d.MsgID == MsgID && d.RequestKind != RK::Transport) return &d;
    return nullptr;
}

namespace {

bool isString(K kind) {
    return FieldMaxChars(kind) != 0;
}

// Length of a tail as its rule and the fields say; false when the fields cannot describe one.
bool tailLength(const TqbOpDesc& d, const uint8_t* rec, uint64_t& out) {
    auto field = [&](int8_t i) -> uint64_t {
        const TqbField& f = d.Fields[size_t(i)];
        uint32_t v = plat::LoadLE32(rec + f.Offset);
        return f.Kind == K::I32 ? uint64_t(int64_t(int32_t(v))) : uint64_t(v);
    };
    auto nonNegative = [&](int8_t i) {
        const TqbField& f = d.Fields[size_t(i)];
        return f.Kind != K::I32 || int32_t(plat::LoadLE32(rec + f.Offset)) >= 0;
    };
    switch (d.Tail) {
    case T::Field:
        out = field(d.TailA);
        return true;
    case T::Sum:
        out = field(d.TailA) + field(d.TailB);
        return true;
    case T::Twice:
        out = 2 * field(d.TailA);
        return true;
    case T::Product:
        if (!nonNegative(d.TailA) || !nonNegative(d.TailB)) return false;
        out = field(d.TailA) * field(d.TailB);
        return true;
    default:
        return false;
    }
}

// Whether tail bytes agree with the row's tail rule, given the fixed record before them.
bool tailFits(const TqbOpDesc& d, const uint8_t* rec, std::span<const uint8_t> tail) {
    switch (d.Tail) {
    case T::None:
        return tail.empty();
    case T::Rest:
        return true;
    case T::ZText:
        return !tail.empty() && tail.back() == 0 && std::find(tail.begin(), tail.end(), 0) == tail.end() - 1;
    case T::Expression:
        return tail.size() >= 4 && plat::LoadLE16(tail.data() + 2) == tail.size();
    default: {
        uint64_t n = 0;
        return tailLength(d, rec, n) && n == tail.size();
    }
    }
}

constexpr uint8_t kEmptyFilter[10] = {2, 0, 10, 0, 0, 0, 0, 0, 0, 0};

} // namespace

std::span<const uint8_t> EmptyFilterExpression() {
    return kEmptyFilter;
}

// ---- request writer ---------------------------------------------------------------------------------

TqbRequestWriter::TqbRequestWriter(TqbOp Op) : d_(Describe(Op)), buf_(d_.FixedSize, 0) {
    if (d_.RequestKind == RK::Stream) throw std::logic_error("stream-coded request has its own encoder");
}

const TqbField& TqbRequestWriter::next(std::initializer_list<TqbFieldKind> kinds) {
    if (tailSet_ || field_ >= d_.Fields.size()) throw std::logic_error("request field out of order");
    const TqbField& f = d_.Fields[field_];
    if (std::find(kinds.begin(), kinds.end(), f.Kind) == kinds.end())
        throw std::logic_error(std::string("wrong kind for request field ") + f.Name);
    ++field_;
    return f;
}

TqbRequestWriter& TqbRequestWriter::U8(uint8_t Value) {
    buf_[next({K::U8, K::Bool}).Offset] = Value;
    return *this;
}

TqbRequestWriter& TqbRequestWriter::Bool(bool Value) {
    buf_[next({K::Bool, K::U8}).Offset] = Value ? 1 : 0;
    return *this;
}

TqbRequestWriter& TqbRequestWriter::U32(uint32_t Value) {
    plat::StoreLE32(buf_.data() + next({K::U32, K::I32, K::Handle}).Offset, Value);
    return *this;
}

TqbRequestWriter& TqbRequestWriter::I32(int32_t Value) {
    return U32(uint32_t(Value));
}

TqbRequestWriter& TqbRequestWriter::U64(uint64_t Value) {
    plat::StoreLE64(buf_.data() + next({K::U64}).Offset, Value);
    return *this;
}

TqbRequestWriter& TqbRequestWriter::Str(std::string_view Value) {
    const TqbField& f = next({K::Name, K::Path, K::Mask, K::FileName});
    if (Value.size() > FieldMaxChars(f.Kind)) {
        // Never cut: a shorter name could name another table or folder.
        if (!error_) error_ = kResultNameTooLong;
        return *this;
    }
    buf_[f.Offset] = uint8_t(Value.size());
    if (!Value.empty()) std::memcpy(buf_.data() + f.Offset + 1, Value.data(), Value.size());
    return *this;
}

TqbRequestWriter& TqbRequestWriter::Raw(std::span<const uint8_t> Block) {
    const TqbField& f = next({K::IndexDesc});
    if (Block.size() != FieldSize(f.Kind)) throw std::logic_error("raw block of the wrong size");
    std::memcpy(buf_.data() + f.Offset, Block.data(), Block.size());
    return *this;
}

TqbRequestWriter& TqbRequestWriter::Tail(std::span<const uint8_t> Data) {
    return Tail(Data, {});
}

TqbRequestWriter& TqbRequestWriter::Tail(std::span<const uint8_t> A, std::span<const uint8_t> B) {
    if (d_.Tail == T::None || tailSet_ || field_ != d_.Fields.size())
        throw std::logic_error("request tail out of order");
    tailSet_ = true;
    if (d_.Tail == T::Expression && B.empty()) {
        // An expression goes with the size its header gives; none at all is the empty one.
        if (A.empty())
            A = EmptyFilterExpression();
        else if (A.size() >= 4 && plat::LoadLE16(A.data() + 2) >= 4 &&
                 plat::LoadLE16(A.data() + 2) <= A.size())
            A = A.first(plat::LoadLE16(A.data() + 2));
    }
    if (d_.Tail == T::ZText && B.empty() && (A.empty() || A.back() != 0)) {
        buf_.insert(buf_.end(), A.begin(), A.end());
        buf_.push_back(0);
        return *this;
    }
    buf_.insert(buf_.end(), A.begin(), A.end());
    buf_.insert(buf_.end(), B.begin(), B.end());
    return *this;
}

TqbResultCode TqbRequestWriter::Finish(std::vector<uint8_t>& Out) {
    if (field_ != d_.Fields.size()) throw std::logic_error(std::string("request fields missing: ") + d_.Name);
    if (d_.Tail != T::None && d_.Tail != T::Rest && !tailSet_)
        throw std::logic_error(std::string("request tail missing: ") + d_.Name);
    if (error_) return error_;
    if (!tailFits(d_, buf_.data(), std::span<const uint8_t>(buf_).subspan(d_.FixedSize)))
        return kResultMessageUnrecognized;
    Out = std::move(buf_);
    buf_.clear();
    return 0;
}

// ---- request reader ---------------------------------------------------------------------------------

TqbRequestReader::TqbRequestReader(const TqbOpDesc& Desc, std::span<const uint8_t> Data)
    : d_(Desc), data_(Data) {
    if (d_.RequestKind != RK::Fixed || data_.size() < d_.FixedSize) {
        error_ = kResultMessageUnrecognized;
        return;
    }
    for (const TqbField& f : d_.Fields)
        if (isString(f.Kind) && data_[f.Offset] > FieldMaxChars(f.Kind)) error_ = kResultMessageUnrecognized;
    if (!error_ && !tailFits(d_, data_.data(), data_.subspan(d_.FixedSize)))
        error_ = kResultMessageUnrecognized;
}

const uint8_t* TqbRequestReader::at(size_t Field, TqbFieldKind kind) const {
    if (error_ || Field >= d_.Fields.size()) throw std::logic_error("request field read out of range");
    const TqbField& f = d_.Fields[Field];
    bool fits = f.Kind == kind || (kind == K::U32 && (f.Kind == K::I32 || f.Kind == K::Handle)) ||
                (kind == K::U8 && f.Kind == K::Bool) || (kind == K::Name && isString(f.Kind));
    if (!fits) throw std::logic_error(std::string("wrong kind for request field ") + f.Name);
    return data_.data() + f.Offset;
}

uint8_t TqbRequestReader::U8(size_t Field) const {
    return *at(Field, K::U8);
}
bool TqbRequestReader::Bool(size_t Field) const {
    return *at(Field, K::U8) != 0;
}
uint32_t TqbRequestReader::U32(size_t Field) const {
    return plat::LoadLE32(at(Field, K::U32));
}
int32_t TqbRequestReader::I32(size_t Field) const {
    return int32_t(U32(Field));
}
uint64_t TqbRequestReader::U64(size_t Field) const {
    return plat::LoadLE64(at(Field, K::U64));
}
std::string TqbRequestReader::Str(size_t Field) const {
    const uint8_t* p = at(Field, K::Name);
    return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
}
std::span<const uint8_t> TqbRequestReader::Raw(size_t Field) const {
    return std::span<const uint8_t>(at(Field, K::IndexDesc), kIndexDescSize);
}
std::span<const uint8_t> TqbRequestReader::Tail() const {
    return error_ ? std::span<const uint8_t>() : data_.subspan(d_.FixedSize);
}
std::span<const uint8_t> TqbRequestReader::TailFirst() const {
    if (error_ || d_.Tail != T::Sum) return {};
    return Tail().first(plat::LoadLE32(data_.data() + d_.Fields[size_t(d_.TailA)].Offset));
}
std::span<const uint8_t> TqbRequestReader::TailSecond() const {
    if (error_ || d_.Tail != T::Sum) return {};
    return Tail().subspan(TailFirst().size());
}
std::string TqbRequestReader::TailText() const {
    auto t = Tail();
    if (t.empty()) return {};
    return std::string(reinterpret_cast<const char*>(t.data()), t.size() - 1);
}

uint32_t RequestTimeout(TqbOp Op, uint32_t OwnerTimeout, std::span<const uint8_t> Request) {
    const TqbOpDesc& d = Describe(Op);
    if (d.TimeoutFrom != W::Request) return OwnerTimeout;
    const TqbField& f = d.Fields[size_t(d.TimeoutField)];
    if (Request.size() < size_t(f.Offset) + 4) return OwnerTimeout;
    return plat::LoadLE32(Request.data() + f.Offset);
}

// ---- stream-coded requests ------------------------------------------------------------------------

namespace {

// A 32-byte name field after a check that it fits.
bool putName(plat::ByteWriter& w, std::string_view name) {
    if (name.size() > FieldMaxChars(K::Name)) return false;
    w.u8(uint8_t(name.size()));
    w.bytes(name);
    w.zeros(31 - name.size());
    return true;
}

bool getName(plat::ByteReader& r, std::string& name) {
    std::string_view field = r.view(32);
    if (!r.ok() || uint8_t(field[0]) > 31) return false;
    name.assign(field.substr(1, uint8_t(field[0])));
    return true;
}

// The dictionary at the reader's position, up to its end; false when the bytes are no dictionary.
bool getDictionary(plat::ByteReader& r, size_t length, TqbDataDictionary& dict) {
    std::string_view bytes = r.view(length);
    if (!r.ok()) return false;
    try {
        dict.ReadFromStream(bytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string dictionaryBytes(const TqbDataDictionary& dict) {
    std::string s;
    dict.WriteToStream(s);
    return s;
}

std::vector<uint8_t> toBytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

std::vector<uint8_t> EncodeTransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                                const std::vector<TqbHandle>& CursorIDs) {
    cls::TMemoryStream m;
    cls::TWriter w(m);
    w.WriteInteger(int32_t(DatabaseID));
    w.WriteBoolean(FailSafe);
    w.WriteInteger(int32_t(CursorIDs.size()));
    for (TqbHandle c : CursorIDs)
        w.WriteInteger(int32_t(c));
    return std::vector<uint8_t>(m.Memory(), m.Memory() + m.Size());
}

TqbResultCode DecodeTransactionStartWith(std::span<const uint8_t> Data, TqbHandle& DatabaseID, bool& FailSafe,
                                         std::vector<TqbHandle>& CursorIDs) {
    cls::TMemoryStream m;
    if (!Data.empty()) m.WriteBuffer(Data.data(), int32_t(Data.size()));
    m.SetPosition(0);
    cls::TReader r(m);
    try {
        TqbHandle db = TqbHandle(r.ReadInteger());
        bool failSafe = r.ReadBoolean();
        int32_t count = r.ReadInteger();
        // Each cursor takes at least two bytes, so a count beyond that is a lie.
        if (count < 0 || size_t(count) * 2 > Data.size()) return kResultMessageUnrecognized;
        std::vector<TqbHandle> ids;
        for (int32_t i = 0; i < count; ++i)
            ids.push_back(TqbHandle(r.ReadInteger()));
        if (m.Position() != m.Size()) return kResultMessageUnrecognized;
        DatabaseID = db;
        FailSafe = failSafe;
        CursorIDs = std::move(ids);
        return 0;
    } catch (const std::exception&) {
        return kResultMessageUnrecognized;
    }
}

TqbResultCode EncodeTableBuild(TqbHandle DatabaseID, bool OverWrite, std::string_view TableName,
                               const TqbDataDictionary& Dictionary, std::vector<uint8_t>& Out) {
    std::string s;
    plat::ByteWriter w(s);
    w.u32(DatabaseID);
    w.u8(OverWrite ? 1 : 0);
    if (!putName(w, TableName)) return kResultNameTooLong;
    w.bytes(dictionaryBytes(Dictionary));
    Out = toBytes(s);
    return 0;
}

TqbResultCode DecodeTableBuild(std::span<const uint8_t> Data, TqbHandle& DatabaseID, bool& OverWrite,
                               std::string& TableName, TqbDataDictionary& Dictionary) {
    plat::ByteReader r(Data.data(), Data.size());
    TqbHandle db = r.u32();
    bool over = r.u8() != 0;
    std::string name;
    if (!getName(r, name)) return kResultMessageUnrecognized;
    TqbDataDictionary dict;
    if (!getDictionary(r, r.remaining(), dict)) return kResultMessageUnrecognized;
    DatabaseID = db;
    OverWrite = over;
    TableName = std::move(name);
    Dictionary = std::move(dict);
    return 0;
}

TqbResultCode EncodeTableRestructure(TqbHandle DatabaseID, std::string_view TableName,
                                     const TqbDataDictionary& Dictionary, const cls::TStringList* FieldMap,
                                     std::vector<uint8_t>& Out) {
    std::string s;
    plat::ByteWriter w(s);
    w.u32(DatabaseID);
    if (!putName(w, TableName)) return kResultNameTooLong;
    w.bytes(dictionaryBytes(Dictionary));
    if (FieldMap) {
        for (int i = 0; i < FieldMap->Count(); ++i) {
            const std::string& line = FieldMap->Strings(i);
            // An empty line would read as the end of the map.
            if (line.empty()) continue;
            if (!w.shortString(line)) return kResultNameTooLong;
        }
    }
    w.u8(0);
    Out = toBytes(s);
    return 0;
}

TqbResultCode DecodeTableRestructure(std::span<const uint8_t> Data, TqbHandle& DatabaseID,
                                     std::string& TableName, TqbDataDictionary& Dictionary,
                                     cls::TStringList& FieldMap, bool& HasFieldMap) {
    plat::ByteReader r(Data.data(), Data.size());
    TqbHandle db = r.u32();
    std::string name;
    if (!getName(r, name)) return kResultMessageUnrecognized;
    TqbDataDictionary dict;
    size_t used = 0;
    try {
        dict.ReadFromStream(
            std::string_view(reinterpret_cast<const char*>(Data.data()) + r.pos(), r.remaining()), &used);
    } catch (const std::exception&) {
        return kResultMessageUnrecognized;
    }
    r.skip(used);
    std::vector<std::string> lines;
    for (;;) {
        size_t n = r.u8();
        if (!r.ok()) return kResultMessageUnrecognized;
        if (n == 0) break;
        lines.emplace_back(r.view(n));
    }
    if (!r.ok() || r.remaining() != 0) return kResultMessageUnrecognized;
    DatabaseID = db;
    TableName = std::move(name);
    Dictionary = std::move(dict);
    FieldMap.Clear();
    for (auto& l : lines)
        FieldMap.Add(l);
    HasFieldMap = !lines.empty();
    return 0;
}

TqbResultCode EncodeSQLSetParams(TqbHandle StmtID, uint16_t ParamCount, std::span<const uint8_t> ParamDescs,
                                 std::span<const uint8_t> ParamData, std::vector<uint8_t>& Out) {
    if (ParamDescs.size() != size_t(ParamCount) * kParamDescSize || ParamData.size() > kMaxWireData)
        return kResultInvalidArgument;
    std::string s;
    plat::ByteWriter w(s);
    w.u32(StmtID);
    w.u16(ParamCount);
    w.bytes(ParamDescs.data(), ParamDescs.size());
    w.u32(uint32_t(ParamData.size()));
    w.bytes(ParamData.data(), ParamData.size());
    Out = toBytes(s);
    return 0;
}

TqbResultCode DecodeSQLSetParams(std::span<const uint8_t> Data, TqbHandle& StmtID, uint16_t& ParamCount,
                                 std::span<const uint8_t>& ParamDescs, std::span<const uint8_t>& ParamData) {
    plat::ByteReader r(Data.data(), Data.size());
    TqbHandle stmt = r.u32();
    uint16_t count = r.u16();
    size_t descAt = r.pos();
    r.skip(size_t(count) * kParamDescSize);
    uint32_t dataLength = r.u32();
    size_t dataAt = r.pos();
    r.skip(dataLength);
    if (!r.ok() || r.remaining() != 0) return kResultMessageUnrecognized;
    StmtID = stmt;
    ParamCount = count;
    ParamDescs = Data.subspan(descAt, size_t(count) * kParamDescSize);
    ParamData = Data.subspan(dataAt, dataLength);
    return 0;
}

TqbResultCode EncodeIndexDesc(const TqbIndexDescriptor& Desc, std::span<uint8_t, kIndexDescSize> Out) {
    if (Desc.Name.size() > 31 || Desc.Description.size() > 63) return kResultNameTooLong;
    for (const std::string& h : Desc.HelperNames)
        if (h.size() > 31) return kResultNameTooLong;
    std::fill(Out.begin(), Out.end(), 0);
    plat::ByteSpanWriter w(Out.data(), Out.size());
    auto str = [&](const std::string& s, size_t field) {
        size_t at = w.pos();
        w.u8(uint8_t(s.size()));
        w.bytes(s.data(), s.size());
        w.seek(at + field);
    };
    str(Desc.Name, 32);
    str(Desc.Description, 64);
    w.i32(Desc.FileNumber);
    w.i32(Desc.KeyLength);
    w.i32(Desc.KeyFieldCount);
    for (int32_t f : Desc.KeyFields)
        w.i32(f);
    for (const std::string& h : Desc.HelperNames)
        str(h, 32);
    w.u8(Desc.AllowDups);
    w.u8(Desc.IsAscending);
    w.u8(Desc.IsCaseInsensitive);
    return w.ok() ? 0 : kResultMessageUnrecognized;
}

TqbResultCode DecodeIndexDesc(std::span<const uint8_t> Block, TqbIndexDescriptor& Desc) {
    if (Block.size() != kIndexDescSize) return kResultMessageUnrecognized;
    plat::ByteReader r(Block.data(), Block.size());
    TqbIndexDescriptor d;
    auto str = [&](std::string& s, size_t field) {
        size_t at = r.pos();
        s = r.shortString(field - 1);
        r.seek(at + field);
    };
    str(d.Name, 32);
    str(d.Description, 64);
    d.FileNumber = r.i32();
    d.KeyLength = r.i32();
    d.KeyFieldCount = r.i32();
    for (int32_t& f : d.KeyFields)
        f = r.i32();
    for (std::string& h : d.HelperNames)
        str(h, 32);
    d.AllowDups = r.u8() != 0;
    d.IsAscending = r.u8() != 0;
    d.IsCaseInsensitive = r.u8() != 0;
    if (!r.ok()) return kResultMessageUnrecognized;
    Desc = std::move(d);
    return 0;
}

// ---- replies ----------------------------------------------------------------------------------------

TqbResultCode DecodeFixedReply(TqbOp Op, std::span<const uint8_t> Reply, std::span<uint8_t> Out) {
    const TqbOpDesc& d = Describe(Op);
    if (d.ReplyKind != P::Fixed || Out.size() != d.ReplySize)
        throw std::logic_error("not a fixed reply of that size");
    if (Reply.size() != Out.size()) return kResultMessageUnrecognized;
    std::memcpy(Out.data(), Reply.data(), Out.size());
    return 0;
}

TqbResultCode DecodeU32Reply(TqbOp Op, std::span<const uint8_t> Reply, uint32_t& Value) {
    uint8_t b[4];
    if (TqbResultCode rc = DecodeFixedReply(Op, Reply, b)) return rc;
    Value = plat::LoadLE32(b);
    return 0;
}

TqbResultCode DecodeBoolReply(TqbOp Op, std::span<const uint8_t> Reply, bool& Value) {
    uint8_t b[1];
    if (TqbResultCode rc = DecodeFixedReply(Op, Reply, b)) return rc;
    Value = b[0] != 0;
    return 0;
}

TqbResultCode DecodeSizedReply(std::span<const uint8_t> Reply, std::span<uint8_t> Out) {
    if (Reply.size() != Out.size()) return kResultMessageUnrecognized;
    if (!Out.empty()) std::memcpy(Out.data(), Reply.data(), Out.size());
    return 0;
}

TqbResultCode DecodeCodesReply(std::span<const uint8_t> Reply, int32_t Count, std::vector<int32_t>& Codes,
                               TqbResultCode& First) {
    if (Count < 0 || Reply.size() != size_t(Count) * 4) return kResultMessageUnrecognized;
    Codes.resize(size_t(Count));
    First = 0;
    for (size_t i = 0; i < Codes.size(); ++i) {
        Codes[i] = int32_t(plat::LoadLE32(Reply.data() + 4 * i));
        if (!First) First = Codes[i];
    }
    return 0;
}

std::vector<uint8_t> EncodeCodesReply(const std::vector<int32_t>& Codes) {
    std::vector<uint8_t> out(Codes.size() * 4);
    for (size_t i = 0; i < Codes.size(); ++i)
        plat::StoreLE32(out.data() + 4 * i, uint32_t(Codes[i]));
    return out;
}

TqbResultCode DecodeBatchReply(std::span<const uint8_t> Reply, int32_t RequestCount, int32_t RecordLength,
                               std::span<uint8_t> Out, int32_t& ReturnCount, int32_t& Error) {
    if (Reply.size() < 8 || RequestCount < 0 || RecordLength < 0) return kResultMessageUnrecognized;
    uint32_t n = plat::LoadLE32(Reply.data());
    uint64_t bytes = uint64_t(n) * uint64_t(RecordLength);
    if (n > uint32_t(RequestCount) || Reply.size() - 8 != bytes || bytes > Out.size())
        return kResultMessageUnrecognized;
    if (bytes) std::memcpy(Out.data(), Reply.data() + 8, size_t(bytes));
    ReturnCount = int32_t(n);
    Error = int32_t(plat::LoadLE32(Reply.data() + 4));
    return 0;
}

std::vector<uint8_t> EncodeBatchReply(int32_t ReturnCount, int32_t Error, std::span<const uint8_t> Records) {
    std::vector<uint8_t> out(8 + Records.size());
    plat::StoreLE32(out.data(), uint32_t(ReturnCount));
    plat::StoreLE32(out.data() + 4, uint32_t(Error));
    if (!Records.empty()) std::memcpy(out.data() + 8, Records.data(), Records.size());
    return out;
}

TqbResultCode DecodeCountedReply(std::span<const uint8_t> Reply, std::span<uint8_t> Out, uint32_t& Count) {
    if (Reply.size() < 4) return kResultMessageUnrecognized;
    uint32_t n = plat::LoadLE32(Reply.data());
    if (n > Out.size() || Reply.size() - 4 != n) return kResultMessageUnrecognized;
    if (n) std::memcpy(Out.data(), Reply.data() + 4, n);
    Count = n;
    return 0;
}

std::vector<uint8_t> EncodeCountedReply(std::span<const uint8_t> Bytes) {
    std::vector<uint8_t> out(4 + Bytes.size());
    plat::StoreLE32(out.data(), uint32_t(Bytes.size()));
    if (!Bytes.empty()) std::memcpy(out.data() + 4, Bytes.data(), Bytes.size());
    return out;
}

namespace {
template <class R, size_t... N>
TqbResultCode decodeRecords(std::span<const uint8_t> Reply, std::vector<R>& List,
                            TqbShortStr<N> R::*... strs) {
    if (Reply.size() % sizeof(R) != 0) return kResultMessageUnrecognized;
    std::vector<R> out(Reply.size() / sizeof(R));
    for (size_t i = 0; i < out.size(); ++i) {
        std::memcpy(&out[i], Reply.data() + i * sizeof(R), sizeof(R));
        // A length byte beyond its field is a damaged record, not a longer name.
        if ((((out[i].*strs).Len > N) || ...)) return kResultMessageUnrecognized;
    }
    List = std::move(out);
    return 0;
}
} // namespace

TqbResultCode DecodeAliasList(std::span<const uint8_t> Reply, std::vector<TqbAliasRecord>& List) {
    return decodeRecords(Reply, List, &TqbAliasRecord::Alias, &TqbAliasRecord::Path);
}

TqbResultCode DecodeTableList(std::span<const uint8_t> Reply, std::vector<TqbTableListRecord>& List) {
    return decodeRecords(Reply, List, &TqbTableListRecord::TableName, &TqbTableListRecord::Extension);
}

std::vector<uint8_t> EncodePathReply(std::string_view Path) {
    std::vector<uint8_t> out(220, 0);
    size_t n = std::min<size_t>(Path.size(), 219);
    out[0] = uint8_t(n);
    if (n) std::memcpy(out.data() + 1, Path.data(), n);
    return out;
}

TqbResultCode DecodePathReply(std::span<const uint8_t> Reply, std::string& Path) {
    if (Reply.size() != 220 || Reply[0] > 219) return kResultMessageUnrecognized;
    Path.assign(reinterpret_cast<const char*>(Reply.data()) + 1, Reply[0]);
    return 0;
}

std::vector<uint8_t> EncodeRebuildStatusReply(const TqbRebuildStatus& Status, bool IsPresent) {
    std::vector<uint8_t> out = EncodeRecord(Status);
    out.push_back(IsPresent ? 1 : 0);
    return out;
}

TqbResultCode DecodeRebuildStatusReply(std::span<const uint8_t> Reply, TqbRebuildStatus& Status,
                                       bool& IsPresent) {
    if (Reply.size() != sizeof(TqbRebuildStatus) + 1) return kResultMessageUnrecognized;
    std::memcpy(&Status, Reply.data(), sizeof(TqbRebuildStatus));
    IsPresent = Reply.back() != 0;
    return 0;
}

TqbResultCode DecodeTableOpenReply(std::span<const uint8_t> Reply, TqbHandle& CursorID,
                                   TqbDataDictionary& Dictionary, int32_t& IndexID) {
    if (Reply.size() < 8) return kResultMessageUnrecognized;
    plat::ByteReader r(Reply.data(), Reply.size());
    TqbHandle cursor = r.u32();
    TqbDataDictionary dict(Dictionary.BlockSize());
    if (!getDictionary(r, Reply.size() - 8, dict)) return kResultMessageUnrecognized;
    int32_t index = r.i32();
    if (!r.ok() || index < 0 || index >= dict.IndexCount()) return kResultMessageUnrecognized;
    CursorID = cursor;
    Dictionary = std::move(dict);
    IndexID = index;
    return 0;
}

TqbResultCode DecodeCursorStreamReply(std::span<const uint8_t> Reply, TqbHandle& CursorID,
                                      TqbDataDictionary& Dictionary) {
    plat::ByteReader r(Reply.data(), Reply.size());
    TqbHandle cursor = r.u32();
    if (!r.ok()) return kResultMessageUnrecognized;
    if (cursor == 0) {
        if (r.remaining() != 0) return kResultMessageUnrecognized;
        CursorID = 0;
        return 0;
    }
    TqbDataDictionary dict(Dictionary.BlockSize());
    if (!getDictionary(r, r.remaining(), dict)) return kResultMessageUnrecognized;
    CursorID = cursor;
    Dictionary = std::move(dict);
    return 0;
}

std::vector<uint8_t> EncodeU32(uint32_t Value) {
    std::vector<uint8_t> out(4);
    plat::StoreLE32(out.data(), Value);
    return out;
}

std::vector<uint8_t> EncodeU64(uint64_t Value) {
    std::vector<uint8_t> out(8);
    plat::StoreLE64(out.data(), Value);
    return out;
}

std::vector<uint8_t> EncodeBool(bool Value) {
    return {uint8_t(Value ? 1 : 0)};
}

} // namespace qbops
