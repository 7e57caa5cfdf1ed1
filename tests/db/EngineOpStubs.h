// Engine operations that a test engine does not exercise: each answers "Capability not
// supported", so a test engine states only what it tests.
#pragma once
#include "db/storage/qblleng.h"

#include <span>
#include <string>
#include <vector>

// clang-format off
#define PW_STUB_OP(Name, ...) TqbResultCode Name(__VA_ARGS__) override { return 12289; }

// State hooks of a test component that does nothing on entering a state.
#define PW_EMPTY_STATE_HOOKS \
    void EnterInitializing() override {} \
    void EnterShuttingDown() override {} \
    void EnterInactive() override {} \
    void EnterStarting() override {}

// The types the operation lists below name.
#define PW_STUB_TYPES \
    using Text = const std::string&; \
    using Bytes = std::span<const uint8_t>; \
    using Buffer = std::span<uint8_t>;

// Every operation but the four of the server information group below.
#define PW_STUB_ENGINE_OPERATIONS \
    PW_STUB_OP(ClientAdd, TqbHandle&, Text, Text, uint32_t, uint32_t&) \
    PW_STUB_OP(ClientSetTimeout, TqbHandle, uint32_t) \
    PW_STUB_OP(DatabaseOpen, TqbHandle, Text, TqbOpenMode, TqbShareMode, uint32_t, TqbHandle&) \
    PW_STUB_OP(DatabaseSetTimeout, TqbHandle, uint32_t) \
    PW_STUB_OP(CursorClose, TqbHandle) \
    PW_STUB_OP(TableOpen, TqbHandle, Text, bool, Text, int32_t, TqbOpenMode, TqbShareMode, uint32_t, TqbHandle&, cls::TStream*) \
    PW_STUB_OP(CursorSetToBegin, TqbHandle) \
    PW_STUB_OP(RecordInsertBatch, TqbHandle, int32_t, int32_t, Bytes, std::vector<int32_t>&) \
    PW_STUB_OP(SQLAlloc, TqbHandle, uint32_t, TqbHandle&) \
    PW_STUB_OP(TransactionCommit, TqbHandle) \
    PW_STUB_OP(TransactionRollback, TqbHandle) \
    PW_STUB_OP(TransactionStart, TqbHandle, bool) \
    PW_STUB_OP(TransactionStartWith, TqbHandle, bool, const std::vector<TqbHandle>&) \
    PW_STUB_OP(ClientRemove, TqbHandle) \
    PW_STUB_OP(SessionAdd, TqbHandle, uint32_t, TqbHandle&) \
    PW_STUB_OP(SessionCloseUnusedTables, TqbHandle) \
    PW_STUB_OP(SessionCount, TqbHandle, int32_t&) \
    PW_STUB_OP(SessionGetCurrent, TqbHandle, TqbHandle&) \
    PW_STUB_OP(SessionRemove, TqbHandle, TqbHandle) \
    PW_STUB_OP(SessionSetCurrent, TqbHandle, TqbHandle) \
    PW_STUB_OP(SessionSetTimeout, TqbHandle, TqbHandle, uint32_t) \
    PW_STUB_OP(AliasAdd, Text, Text, TqbHandle) \
    PW_STUB_OP(AliasList, std::vector<TqbAliasRecord>&, TqbHandle) \
    PW_STUB_OP(RecoveryAliasList, std::vector<TqbAliasRecord>&, TqbHandle) \
    PW_STUB_OP(AliasChangePath, Text, Text, TqbHandle) \
    PW_STUB_OP(DatabaseClose, TqbHandle) \
    PW_STUB_OP(AliasDelete, Text, TqbHandle) \
    PW_STUB_OP(AliasGetPath, Text, TqbHandle, std::string&) \
    PW_STUB_OP(DatabaseGetFreeSpace, TqbHandle, int32_t&) \
    PW_STUB_OP(AliasModify, TqbHandle, Text, Text, Text) \
    PW_STUB_OP(DatabaseOpenPath, TqbHandle, Text, TqbOpenMode, TqbShareMode, uint32_t, TqbHandle&) \
    PW_STUB_OP(TableExists, TqbHandle, Text, bool&) \
    PW_STUB_OP(TableList, TqbHandle, Text, std::vector<TqbTableListRecord>&) \
    PW_STUB_OP(TableIsLockedExclusive, TqbHandle, Text, bool&) \
    PW_STUB_OP(RebuildGetStatus, TqbHandle, TqbHandle, bool&, TqbRebuildStatus&) \
    PW_STUB_OP(TableAddIndex, TqbHandle, TqbHandle, Text, const TqbIndexDescriptor&) \
    PW_STUB_OP(TableBuild, TqbHandle, bool, Text, bool, TqbDataDictionary&) \
    PW_STUB_OP(TableDelete, TqbHandle, Text) \
    PW_STUB_OP(TableDropIndex, TqbHandle, TqbHandle, Text, Text, int32_t) \
    PW_STUB_OP(TableEmpty, TqbHandle, TqbHandle, Text) \
    PW_STUB_OP(TableGetAutoInc, TqbHandle, uint32_t&) \
    PW_STUB_OP(TableGetDictionary, TqbHandle, Text, cls::TStream&) \
    PW_STUB_OP(TableGetRecordCount, TqbHandle, int32_t&) \
    PW_STUB_OP(TableGetRecordCountAsync, TqbHandle, TqbHandle&) \
    PW_STUB_OP(TablePack, TqbHandle, Text, TqbHandle&) \
    PW_STUB_OP(TableReindex, TqbHandle, Text, Text, int32_t, TqbHandle&) \
    PW_STUB_OP(TableRename, TqbHandle, Text, Text) \
    PW_STUB_OP(TableRestructure, TqbHandle, Text, TqbDataDictionary&, const cls::TStringList*, TqbHandle&) \
    PW_STUB_OP(TableSetAutoInc, TqbHandle, uint32_t) \
    PW_STUB_OP(TableIsLocked, TqbHandle, TqbLockType, bool&) \
    PW_STUB_OP(TableLockAcquire, TqbHandle, TqbLockType) \
    PW_STUB_OP(TableLockRelease, TqbHandle, TqbLockType, bool) \
    PW_STUB_OP(CursorClone, TqbHandle, TqbOpenMode, TqbHandle&) \
    PW_STUB_OP(CursorCompareBookmarks, TqbHandle, Bytes, Bytes, int32_t&) \
    PW_STUB_OP(CursorCopyRecords, TqbHandle, TqbHandle, bool) \
    PW_STUB_OP(CursorDeleteRecords, TqbHandle) \
    PW_STUB_OP(CursorGetBookmark, TqbHandle, Buffer) \
    PW_STUB_OP(CursorGetBookmarkSize, TqbHandle, uint32_t&) \
    PW_STUB_OP(BLOBListFreeSpace, TqbHandle, bool, cls::TStream&) \
    PW_STUB_OP(CursorOverrideFilter, TqbHandle, Bytes, uint32_t) \
    PW_STUB_OP(CursorResetRange, TqbHandle) \
    PW_STUB_OP(CursorRestoreFilter, TqbHandle) \
    PW_STUB_OP(CursorSetRange, TqbHandle, bool, int32_t, int32_t, Bytes, bool, int32_t, int32_t, Bytes, bool) \
    PW_STUB_OP(CursorSetTimeout, TqbHandle, uint32_t) \
    PW_STUB_OP(CursorSetToBookmark, TqbHandle, Bytes) \
    PW_STUB_OP(CursorSetToCursor, TqbHandle, TqbHandle) \
    PW_STUB_OP(CursorSetToEnd, TqbHandle) \
    PW_STUB_OP(CursorSetToKey, TqbHandle, TqbSearchAction, bool, int32_t, int32_t, Bytes) \
    PW_STUB_OP(CursorSwitchToIndex, TqbHandle, Text, int32_t, bool) \
    PW_STUB_OP(CursorSetFilter, TqbHandle, Bytes, uint32_t) \
    PW_STUB_OP(RecordDelete, TqbHandle, Buffer) \
    PW_STUB_OP(RecordDeleteBatch, TqbHandle, int32_t, int32_t, Bytes, std::vector<int32_t>&) \
    PW_STUB_OP(RecordExtractKey, TqbHandle, Bytes, Buffer) \
    PW_STUB_OP(RecordGet, TqbHandle, TqbLockType, Buffer) \
    PW_STUB_OP(RecordGetBatch, TqbHandle, int32_t, int32_t, Buffer, int32_t&, int32_t&) \
    PW_STUB_OP(RecordGetForKey, TqbHandle, bool, int32_t, int32_t, Bytes, Buffer, bool) \
    PW_STUB_OP(RecordGetNext, TqbHandle, TqbLockType, Buffer) \
    PW_STUB_OP(RecordGetPrior, TqbHandle, TqbLockType, Buffer) \
    PW_STUB_OP(RecordInsert, TqbHandle, TqbLockType, Bytes) \
    PW_STUB_OP(RecordIsLocked, TqbHandle, TqbLockType, bool&) \
    PW_STUB_OP(RecordModify, TqbHandle, Bytes, bool) \
    PW_STUB_OP(RecordReleaseLock, TqbHandle, bool) \
    PW_STUB_OP(BLOBCreate, TqbHandle, uint64_t&) \
    PW_STUB_OP(BLOBDelete, TqbHandle, uint64_t) \
    PW_STUB_OP(BLOBListSegments, TqbHandle, uint64_t, cls::TStream&) \
    PW_STUB_OP(BLOBRead, TqbHandle, uint64_t, uint32_t, Buffer, uint32_t&) \
    PW_STUB_OP(BLOBFree, TqbHandle, uint64_t, bool) \
    PW_STUB_OP(BLOBGetLength, TqbHandle, uint64_t, uint32_t&) \
    PW_STUB_OP(BLOBTruncate, TqbHandle, uint64_t, uint32_t) \
    PW_STUB_OP(BLOBWrite, TqbHandle, uint64_t, uint32_t, Bytes) \
    PW_STUB_OP(BLOBCreateFile, TqbHandle, Text, uint64_t&) \
    PW_STUB_OP(SQLExec, TqbHandle, TqbOpenMode, TqbHandle&, cls::TStream&) \
    PW_STUB_OP(SQLExecDirect, TqbHandle, Text, uint32_t, TqbOpenMode, TqbHandle&, cls::TStream&) \
    PW_STUB_OP(SQLFree, TqbHandle) \
    PW_STUB_OP(SQLPrepare, TqbHandle, Text, cls::TStream&) \
    PW_STUB_OP(SQLSetParams, TqbHandle, uint16_t, Bytes, Bytes, cls::TStream&) \
    PW_STUB_OP(GetServerDateTime, cls::TDateTime&) \
    PW_STUB_OP(GetServerSystemTime, TqbSystemTime&) \
    PW_STUB_OP(GetNewGUID, TqbGUID&) \
    PW_STUB_OP(GetServerID, TqbGUID&)

// Server names and statistics.
#define PW_STUB_SERVER_INFO_OPERATIONS \
    PW_STUB_OP(GetServerNames, cls::TStringList&, uint32_t) \
    PW_STUB_OP(GetServerStatistics, TqbServerStatistics&) \
    PW_STUB_OP(GetCommandHandlerStatistics, int32_t, int32_t&) \
    PW_STUB_OP(GetTransportStatistics, int32_t, int32_t, TqbTransportStatistics&)
// clang-format on
