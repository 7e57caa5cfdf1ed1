// The in-process engine's cursor, record, BLOB and SQL operations.
#include "db/engine/qbsrengn.h"

TqbResultCode TqbServerEngine::CursorClone(TqbHandle, TqbOpenMode, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorClose(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorCompareBookmarks(TqbHandle, std::span<const uint8_t>,
                                                      std::span<const uint8_t>, int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorCopyRecords(TqbHandle, TqbHandle, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorDeleteRecords(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorGetBookmark(TqbHandle, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorGetBookmarkSize(TqbHandle, uint32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBListFreeSpace(TqbHandle, bool, cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorOverrideFilter(TqbHandle, std::span<const uint8_t>, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorResetRange(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorRestoreFilter(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetRange(TqbHandle, bool, int32_t, int32_t, std::span<const uint8_t>,
                                              bool, int32_t, int32_t, std::span<const uint8_t>, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetTimeout(TqbHandle, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetToBegin(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetToBookmark(TqbHandle, std::span<const uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetToCursor(TqbHandle, TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetToEnd(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetToKey(TqbHandle, TqbSearchAction, bool, int32_t, int32_t,
                                              std::span<const uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSwitchToIndex(TqbHandle, const std::string&, int32_t, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::CursorSetFilter(TqbHandle, std::span<const uint8_t>, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordDelete(TqbHandle, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordDeleteBatch(TqbHandle, int32_t, int32_t, std::span<const uint8_t>,
                                                 std::vector<int32_t>&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordExtractKey(TqbHandle, std::span<const uint8_t>, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordGet(TqbHandle, TqbLockType, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordGetBatch(TqbHandle, int32_t, int32_t, std::span<uint8_t>, int32_t&,
                                              int32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordGetForKey(TqbHandle, bool, int32_t, int32_t, std::span<const uint8_t>,
                                               std::span<uint8_t>, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordGetNext(TqbHandle, TqbLockType, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordGetPrior(TqbHandle, TqbLockType, std::span<uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordInsert(TqbHandle, TqbLockType, std::span<const uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordInsertBatch(TqbHandle, int32_t, int32_t, std::span<const uint8_t>,
                                                 std::vector<int32_t>&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordIsLocked(TqbHandle, TqbLockType, bool&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordModify(TqbHandle, std::span<const uint8_t>, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::RecordReleaseLock(TqbHandle, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBCreate(TqbHandle, uint64_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBDelete(TqbHandle, uint64_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBListSegments(TqbHandle, uint64_t, cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBRead(TqbHandle, uint64_t, uint32_t, std::span<uint8_t>, uint32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBFree(TqbHandle, uint64_t, bool) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBGetLength(TqbHandle, uint64_t, uint32_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBTruncate(TqbHandle, uint64_t, uint32_t) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBWrite(TqbHandle, uint64_t, uint32_t, std::span<const uint8_t>) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::BLOBCreateFile(TqbHandle, const std::string&, uint64_t&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLAlloc(TqbHandle, uint32_t, TqbHandle&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLExec(TqbHandle, TqbOpenMode, TqbHandle&, cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLExecDirect(TqbHandle, const std::string&, uint32_t, TqbOpenMode, TqbHandle&,
                                             cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLFree(TqbHandle) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLPrepare(TqbHandle, const std::string&, cls::TStream&) {
    return kResultUnknownServerError;
}

TqbResultCode TqbServerEngine::SQLSetParams(TqbHandle, uint16_t, std::span<const uint8_t>,
                                            std::span<const uint8_t>, cls::TStream&) {
    return kResultUnknownServerError;
}
