// The remote engine's one operation table (message ID, request record, reply shape, time-out
// source of every engine request) and the codec that the client proxy and the server both use.
#pragma once
#include "db/storage/qblldict.h"
#include "db/storage/qblleng.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qbops {

// Every engine operation that travels as a request message.
enum class TqbOp : uint8_t {
    GetIsReadOnly,
    TransactionCommit,
    TransactionRollback,
    TransactionStart,
    TransactionStartWith,
    ClientAdd, // the login; the transport sends and answers it
    ClientSetTimeout,
    SessionAdd,
    SessionCloseUnusedTables,
    SessionRemove,
    SessionSetCurrent,
    SessionSetTimeout,
    AliasAdd,
    AliasList,
    AliasChangePath,
    DatabaseClose,
    AliasDelete,
    AliasGetPath,
    DatabaseGetFreeSpace,
    AliasModify,
    DatabaseOpen,
    DatabaseOpenPath,
    DatabaseSetTimeout,
    TableExists,
    TableList,
    TableIsLockedExclusive,
    RebuildGetStatus,
    TableAddIndex,
    TableBuild,
    TableDelete,
    TableDropIndex,
    TableEmpty,
    TableGetAutoInc,
    TableGetDictionary,
    TableGetRecordCount,
    TableGetRecordCountAsync,
    TableOpen,
    TablePack,
    TableReindex,
    TableRename,
    TableRestructure,
    TableSetAutoInc,
    TableIsLocked,
    TableLockAcquire,
    TableLockRelease,
    CursorClone,
    CursorClose,
    CursorCompareBookmarks,
    CursorCopyRecords,
    CursorDeleteRecords,
    CursorGetBookmark,
    BLOBListFreeSpace,
    CursorOverrideFilter,
    CursorResetRange,
    CursorRestoreFilter,
    CursorSetRange,
    CursorSetTimeout,
    CursorSetToBegin,
    CursorSetToBookmark,
    CursorSetToCursor,
    CursorSetToEnd,
    CursorSetToKey,
    CursorSwitchToIndex,
    CursorSetFilter,
    RecordDelete,
    RecordDeleteBatch,
    RecordExtractKey,
    RecordGet,
    RecordGetBatch,
    RecordGetForKey,
    RecordGetNext,
    RecordGetPrior,
    RecordInsert,
    RecordInsertBatch,
    RecordIsLocked,
    RecordModify,
    RecordReleaseLock,
    BLOBCreate,
    BLOBDelete,
    BLOBListSegments,
    BLOBRead,
    BLOBFree,
    BLOBGetLength,
    BLOBTruncate,
    BLOBWrite,
    BLOBCreateFile,
    SQLAlloc,
    SQLExec,
    SQLExecDirect,
    SQLFree,
    SQLPrepare,
    SQLSetParams,
    GetServerDateTime,
    GetServerSystemTime,
    GetNewGUID,
    GetServerID,
    GetServerStatistics,
    GetCommandHandlerStatistics,
    GetTransportStatistics,
    Count
};
inline constexpr size_t kOpCount = size_t(TqbOp::Count);

// Message IDs the transport itself uses around the engine requests.
inline constexpr uint32_t kMsgKeyCheck = 9;
inline constexpr uint32_t kMsgLogin = 15;

// A field of a fixed request record. Short-string fields (Name, Path, Mask, FileName) are a length
// byte and the characters, zero-padded to the field's size.
enum class TqbFieldKind : uint8_t {
    U8,        // 1 byte
    Bool,      // 1 byte, 0 or 1 (any non-zero reads as true)
    U32,       // 4 bytes
    I32,       // 4 bytes, signed
    Handle,    // 4 bytes: a server handle of HandleKind
    U64,       // 8 bytes (BLOB numbers)
    Name,      // 32 bytes, at most 31 characters
    Path,      // 220 bytes, at most 219
    Mask,      // 36 bytes, at most 35
    FileName,  // 256 bytes, at most 255
    IndexDesc, // 691 bytes: an index descriptor (EncodeIndexDesc)
};
size_t FieldSize(TqbFieldKind Kind);
// Most characters a short-string field holds; 0 for the other kinds.
size_t FieldMaxChars(TqbFieldKind Kind);

struct TqbField {
    const char* Name;
    TqbFieldKind Kind;
    uint16_t Offset;
    TqbHandleKind HandleKind = TqbHandleKind::None; // for Handle fields
    bool ZeroAllowed = false;                       // Handle fields: 0 means "none"
};

// How a request is laid out.
enum class TqbRequestKind : uint8_t {
    Fixed,     // the fields, then the tail the TailRule describes
    Stream,    // a stream of the operation's own coder (TableBuild, TableRestructure, ...)
    Transport, // sent and answered by the transport (login), never by the decoder
};

// The variable data after a fixed record, and how its length is bound to the fields before it.
enum class TqbTail : uint8_t {
    None,       // nothing after the fields
    Field,      // length = field TailA
    Sum,        // length = field TailA + field TailB
    Product,    // length = field TailA * field TailB
    Twice,      // length = 2 * field TailA (two bookmarks)
    Expression, // a filter expression: its size is its second 16-bit word (at least 4 bytes)
    ZText,      // text ended by one zero byte, the last byte of the request
    Rest,       // any length (checked by the operation itself)
};

// What a successful reply holds.
enum class TqbReplyKind : uint8_t {
    None,    // nothing
    Fixed,   // exactly ReplySize bytes
    Sized,   // exactly the size the request asked for (record, bookmark or key length), or none
    Stream,  // any bytes for the caller's stream (parsed by a stream decoder where the proxy needs them)
    Codes,   // one 32-bit code per record sent
    Records, // a list of ReplySize-byte records
    Batch,   // RecordGetBatch: u32 count, i32 error, count records
    Counted, // BLOBRead: u32 count, count bytes
};

// Whose time-out a request waits with.
enum class TqbTimeoutFrom : uint8_t {
    Client,
    Session,
    Database,
    Cursor,
    Statement,
    Request, // the request's own time-out field (TimeoutField)
};

struct TqbOpDesc {
    TqbOp Op;
    const char* Name;
    uint32_t MsgID;
    TqbRequestKind RequestKind;
    uint16_t FixedSize; // bytes of the fixed record (Fixed requests)
    std::span<const TqbField> Fields;
    TqbTail Tail;
    int8_t TailA; // field indexes for the tail rule, -1 none
    int8_t TailB;
    TqbReplyKind ReplyKind;
    uint16_t ReplySize; // Fixed: the size; Records: one record's size
    TqbTimeoutFrom TimeoutFrom;
    int8_t TimeoutField; // field index for TqbTimeoutFrom::Request, else -1
};

// The table, one row per TqbOp in enum order.
std::span<const TqbOpDesc> OperationTable();
const TqbOpDesc& Describe(TqbOp Op);
// The row a request message names; nullptr for a message that is no engine request. 1025 names
// TransactionCommit (its flag byte tells a commit from a rollback).
const TqbOpDesc* FindByMessage(uint32_t MsgID);

// Result codes of the codec.
// A name or path longer than its field: refused, never cut to another name. The in-process engine
// answers the same code for a name beyond its limit.
inline constexpr TqbResultCode kResultNameTooLong = 9986;
// An argument the request cannot carry (a descriptor block of the wrong size, ...).
inline constexpr TqbResultCode kResultInvalidArgument = 9986;
// A request or reply whose bytes do not fit its record (short, oversized, bad length byte).
inline constexpr TqbResultCode kResultMessageUnrecognized = 15522;
// A request the server has no handler for.
inline constexpr TqbResultCode kResultNotHandled = 153;
// The most data one size field of a request may ask the server to send back or hold.
inline constexpr uint32_t kMaxWireData = 16u << 20;

// ---- requests -----------------------------------------------------------------------------------

// Builds one Fixed request: the fields are given in table order with the setter of their kind,
// then the tail (when the row has one), then Finish. A setter of the wrong kind or order, a missing
// field or a tail the row does not have is a programming error (std::logic_error). A short string
// longer than its field makes Finish return kResultNameTooLong; a tail whose length disagrees
// with its size fields makes it return kResultMessageUnrecognized.
class TqbRequestWriter {
public:
    explicit TqbRequestWriter(TqbOp Op);

    TqbRequestWriter& U8(uint8_t Value);
    TqbRequestWriter& Bool(bool Value);
    TqbRequestWriter& U32(uint32_t Value); // U32, I32 and Handle fields
    TqbRequestWriter& I32(int32_t Value);
    TqbRequestWriter& U64(uint64_t Value);
    TqbRequestWriter& Str(std::string_view Value);         // Name, Path, Mask, FileName
    TqbRequestWriter& Raw(std::span<const uint8_t> Block); // IndexDesc: exactly its size
    TqbRequestWriter& Tail(std::span<const uint8_t> Data);
    TqbRequestWriter& Tail(std::span<const uint8_t> A, std::span<const uint8_t> B); // two parts

    TqbResultCode Finish(std::vector<uint8_t>& Out);

private:
    const TqbField& next(std::initializer_list<TqbFieldKind> kinds);

    const TqbOpDesc& d_;
    std::vector<uint8_t> buf_;
    size_t field_ = 0;
    bool tailSet_ = false;
    TqbResultCode error_ = 0;
};

// Reads one Fixed request after Check() accepted it: the fields by index, and the tail.
class TqbRequestReader {
public:
    TqbRequestReader(const TqbOpDesc& Desc, std::span<const uint8_t> Data);
    // 0, or kResultMessageUnrecognized when the record is short, a short string's length byte is
    // above its field's limit, or the tail's length disagrees with its rule.
    TqbResultCode Check() const { return error_; }

    uint8_t U8(size_t Field) const;
    bool Bool(size_t Field) const;
    uint32_t U32(size_t Field) const;
    int32_t I32(size_t Field) const;
    uint64_t U64(size_t Field) const;
    std::string Str(size_t Field) const;
    std::span<const uint8_t> Raw(size_t Field) const;
    std::span<const uint8_t> Tail() const;
    // Splits a Sum tail at field TailA's length.
    std::span<const uint8_t> TailFirst() const;
    std::span<const uint8_t> TailSecond() const;
    // ZText tail without its terminating zero.
    std::string TailText() const;

private:
    const uint8_t* at(size_t Field, TqbFieldKind kind) const;

    const TqbOpDesc& d_;
    std::span<const uint8_t> data_;
    TqbResultCode error_ = 0;
};

// The time-out a request of Op waits with, given the owner's time-out and the request bytes.
uint32_t RequestTimeout(TqbOp Op, uint32_t OwnerTimeout, std::span<const uint8_t> Request);

// The 10-byte expression sent when a filter is set without one.
std::span<const uint8_t> EmptyFilterExpression();

// ---- stream-coded requests ------------------------------------------------------------------------

// TransactionStartWith: the component writer's values (database, fail-safe flag, cursor count,
// each cursor). Decoding refuses bad tags, negative counts and trailing bytes.
std::vector<uint8_t> EncodeTransactionStartWith(TqbHandle DatabaseID, bool FailSafe,
                                                const std::vector<TqbHandle>& CursorIDs);
TqbResultCode DecodeTransactionStartWith(std::span<const uint8_t> Data, TqbHandle& DatabaseID, bool& FailSafe,
                                         std::vector<TqbHandle>& CursorIDs);

// TableBuild: database, overwrite, table name (32-byte field), dictionary stream.
TqbResultCode EncodeTableBuild(TqbHandle DatabaseID, bool OverWrite, std::string_view TableName,
                               const TqbDataDictionary& Dictionary, std::vector<uint8_t>& Out);
TqbResultCode DecodeTableBuild(std::span<const uint8_t> Data, TqbHandle& DatabaseID, bool& OverWrite,
                               std::string& TableName, TqbDataDictionary& Dictionary);

// TableRestructure: database, table name, dictionary, field-map lines as short strings, a 0 byte.
// A field-map line of more than 255 characters is refused (kResultNameTooLong).
TqbResultCode EncodeTableRestructure(TqbHandle DatabaseID, std::string_view TableName,
                                     const TqbDataDictionary& Dictionary, const cls::TStringList* FieldMap,
                                     std::vector<uint8_t>& Out);
// HasFieldMap is false when the stream carries no lines.
TqbResultCode DecodeTableRestructure(std::span<const uint8_t> Data, TqbHandle& DatabaseID,
                                     std::string& TableName, TqbDataDictionary& Dictionary,
                                     cls::TStringList& FieldMap, bool& HasFieldMap);

// SQLSetParams: statement, u16 count, count 40-byte descriptors, u32 data length, data.
inline constexpr size_t kParamDescSize = 40;
TqbResultCode EncodeSQLSetParams(TqbHandle StmtID, uint16_t ParamCount, std::span<const uint8_t> ParamDescs,
                                 std::span<const uint8_t> ParamData, std::vector<uint8_t>& Out);
TqbResultCode DecodeSQLSetParams(std::span<const uint8_t> Data, TqbHandle& StmtID, uint16_t& ParamCount,
                                 std::span<const uint8_t>& ParamDescs, std::span<const uint8_t>& ParamData);

// The 691-byte index descriptor of TableAddIndex: name (32), description (64), file number, key
// length, key field count, 16 key fields (i32 each), 16 helper names (32 each), allow-dups,
// ascending, case-insensitive (one byte each), 4 reserved zero bytes.
inline constexpr size_t kIndexDescSize = 691;
TqbResultCode EncodeIndexDesc(const TqbIndexDescriptor& Desc, std::span<uint8_t, kIndexDescSize> Out);
TqbResultCode DecodeIndexDesc(std::span<const uint8_t> Block, TqbIndexDescriptor& Desc);

// ---- replies --------------------------------------------------------------------------------------
// Every decoder copies at most what the caller expects and answers kResultMessageUnrecognized when
// the reply's size disagrees with its shape; the caller's output is left untouched then.

// Fixed replies (scalars, Booleans, GUIDs, statistics, rebuild status): exactly Out.size() bytes,
// which must be the row's ReplySize.
TqbResultCode DecodeFixedReply(TqbOp Op, std::span<const uint8_t> Reply, std::span<uint8_t> Out);
TqbResultCode DecodeU32Reply(TqbOp Op, std::span<const uint8_t> Reply, uint32_t& Value);
TqbResultCode DecodeBoolReply(TqbOp Op, std::span<const uint8_t> Reply, bool& Value);
// Sized replies (record, bookmark, key): exactly Out.size() bytes; an empty Out takes an empty reply.
TqbResultCode DecodeSizedReply(std::span<const uint8_t> Reply, std::span<uint8_t> Out);
// Codes: exactly Count codes; First is the first non-zero one (0 when all are 0).
TqbResultCode DecodeCodesReply(std::span<const uint8_t> Reply, int32_t Count, std::vector<int32_t>& Codes,
                               TqbResultCode& First);
std::vector<uint8_t> EncodeCodesReply(const std::vector<int32_t>& Codes);
// Batch: at most RequestCount records of RecordLength bytes, into Out (RequestCount*RecordLength).
TqbResultCode DecodeBatchReply(std::span<const uint8_t> Reply, int32_t RequestCount, int32_t RecordLength,
                               std::span<uint8_t> Out, int32_t& ReturnCount, int32_t& Error);
std::vector<uint8_t> EncodeBatchReply(int32_t ReturnCount, int32_t Error, std::span<const uint8_t> Records);
// Counted (BLOBRead): at most Out.size() bytes.
TqbResultCode DecodeCountedReply(std::span<const uint8_t> Reply, std::span<uint8_t> Out, uint32_t& Count);
std::vector<uint8_t> EncodeCountedReply(std::span<const uint8_t> Bytes);
// Records lists.
TqbResultCode DecodeAliasList(std::span<const uint8_t> Reply, std::vector<TqbAliasRecord>& List);
TqbResultCode DecodeTableList(std::span<const uint8_t> Reply, std::vector<TqbTableListRecord>& List);
// AliasGetPath: the 220-byte path field.
std::vector<uint8_t> EncodePathReply(std::string_view Path);
TqbResultCode DecodePathReply(std::span<const uint8_t> Reply, std::string& Path);
// RebuildGetStatus: the 29-byte status record, then the present flag.
std::vector<uint8_t> EncodeRebuildStatusReply(const TqbRebuildStatus& Status, bool IsPresent);
TqbResultCode DecodeRebuildStatusReply(std::span<const uint8_t> Reply, TqbRebuildStatus& Status,
                                       bool& IsPresent);
// TableOpen: cursor ID, dictionary, index number.
TqbResultCode DecodeTableOpenReply(std::span<const uint8_t> Reply, TqbHandle& CursorID,
                                   TqbDataDictionary& Dictionary, int32_t& IndexID);
// SQLExec / SQLExecDirect: cursor ID (0: no result set), then the dictionary when there is one.
TqbResultCode DecodeCursorStreamReply(std::span<const uint8_t> Reply, TqbHandle& CursorID,
                                      TqbDataDictionary& Dictionary);

// Little helpers shared by both sides.
std::vector<uint8_t> EncodeU32(uint32_t Value);
std::vector<uint8_t> EncodeU64(uint64_t Value);
std::vector<uint8_t> EncodeBool(bool Value);
// A record struct's bytes (the fixed records of qblleng_types.h are packed as they travel).
template <class T> std::vector<uint8_t> EncodeRecord(const T& Record) {
    auto p = reinterpret_cast<const uint8_t*>(&Record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

} // namespace qbops
