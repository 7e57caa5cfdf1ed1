// Placeholders of the base cursor's BLOB and bulk operations until their definitions land in
// qbsrcur_blob.cpp and qbsrcur_copy.cpp (this file goes then): each answers "Capability not supported.".
#include "db/engine/qbsrcur_cursor.h"

namespace {
constexpr int32_t kNotSupported = 12289;
}

int64_t TqbSrBaseCursor::GetLinkedBLOBLength(const std::string&, uint64_t, int32_t& Error) {
    Error = kNotSupported;
    return -1;
}
TqbSrBaseCursor* TqbSrBaseCursor::GetLinkedCursor(const std::string&) {
    return nullptr;
}
int32_t TqbSrBaseCursor::BLOBCreate(uint64_t&) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBCreateLink(const std::string&, uint64_t, uint64_t&) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::TableCreate(const std::string&, const TqbDataDictionary&, bool, uint8_t, bool, bool,
                                     uint8_t, uint32_t) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBCreateFile(const std::string&, uint64_t&) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBDelete(uint64_t) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBFree(uint64_t) {
    return kNotSupported;
}
int64_t TqbSrBaseCursor::BLOBGetLength(uint64_t, int32_t& Error) {
    Error = kNotSupported;
    return -1;
}
int32_t TqbSrBaseCursor::BLOBListSegments(uint64_t, std::string&) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBRead(uint64_t, uint64_t, uint32_t, void*, uint32_t& BytesRead) {
    BytesRead = 0;
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBTruncate(uint64_t, uint64_t) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::BLOBWrite(uint64_t, uint64_t, uint32_t, const void*) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::CopyRecords(TqbSrBaseCursor&, uint8_t, const TqbSrCopyCallback&, void*, void*) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::CopyRecordParts(TqbSrBaseCursor&, const int32_t*, int32_t, uint8_t,
                                         const TqbSrCopyCallback&, void*, void*) {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::DeleteRecords() {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::TableEmpty() {
    return kNotSupported;
}
int32_t TqbSrBaseCursor::SortRecords(const int32_t*, int32_t, const bool*) {
    return kNotSupported;
}
