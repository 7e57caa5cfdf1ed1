// The remote operation table against the wire records it must produce: every row's message ID,
// record size, field offsets and time-out source, golden request bytes, the stream coders, and the
// request reader and reply decoders on short, oversized and malformed bytes.
#include "db/remote/qbclops.h"

#include "app/ContactsTable.h"
#include "platform/ByteCodec.h"

#include <gtest/gtest.h>

#include <map>

using namespace qbops;

namespace {

using Bytes = std::vector<uint8_t>;
using W = TqbTimeoutFrom;

struct Row {
    TqbOp op;
    uint32_t msg;
    int size; // -1: stream-coded
    std::vector<int> offsets;
    W timeout;
};

// Written down from the wire description, not from the table under test.
const std::vector<Row> kRows = {
    {TqbOp::GetIsReadOnly, 2816, 0, {}, W::Client},
    {TqbOp::TransactionCommit, 1025, 5, {0, 4}, W::Database},
    {TqbOp::TransactionRollback, 1025, 5, {0, 4}, W::Database},
    {TqbOp::TransactionStart, 1024, 5, {0, 4}, W::Database},
    {TqbOp::TransactionStartWith, 1026, -1, {}, W::Database},
    {TqbOp::ClientSetTimeout, 14, 4, {0}, W::Client},
    {TqbOp::SessionAdd, 512, 4, {0}, W::Client},
    {TqbOp::SessionCloseUnusedTables, 517, 4, {0}, W::Client},
    {TqbOp::SessionRemove, 513, 4, {0}, W::Session},
    {TqbOp::SessionSetCurrent, 515, 4, {0}, W::Session},
    {TqbOp::SessionSetTimeout, 516, 8, {0, 4}, W::Session},
    {TqbOp::AliasAdd, 260, 252, {0, 32}, W::Client},
    {TqbOp::AliasList, 258, 0, {}, W::Client},
    {TqbOp::AliasChangePath, 264, 252, {0, 32}, W::Client},
    {TqbOp::DatabaseClose, 257, 4, {0}, W::Database},
    {TqbOp::AliasDelete, 263, 32, {0}, W::Client},
    {TqbOp::AliasGetPath, 268, 32, {0}, W::Client},
    {TqbOp::DatabaseGetFreeSpace, 266, 4, {0}, W::Database},
    {TqbOp::AliasModify, 267, 288, {0, 4, 36, 68}, W::Client},
    {TqbOp::DatabaseOpen, 256, 38, {0, 32, 33, 34}, W::Request},
    {TqbOp::DatabaseOpenPath, 261, 226, {0, 220, 221, 222}, W::Request},
    {TqbOp::DatabaseSetTimeout, 265, 8, {0, 4}, W::Database},
    {TqbOp::TableExists, 269, 36, {0, 4}, W::Database},
    {TqbOp::TableList, 259, 40, {0, 4}, W::Database},
    {TqbOp::TableIsLockedExclusive, 270, 36, {0, 4}, W::Database},
    {TqbOp::RebuildGetStatus, 771, 4, {0}, W::Client},
    {TqbOp::TableAddIndex, 1305, 731, {0, 4, 8, 40}, W::Database},
    {TqbOp::TableBuild, 1300, -1, {}, W::Database},
    {TqbOp::TableDelete, 1301, 36, {0, 4}, W::Database},
    {TqbOp::TableDropIndex, 1306, 76, {0, 4, 8, 40, 72}, W::Database},
    {TqbOp::TableEmpty, 1304, 40, {0, 4, 8}, W::Database},
    {TqbOp::TableGetAutoInc, 1308, 4, {0}, W::Cursor},
    {TqbOp::TableGetDictionary, 1299, 36, {0, 4}, W::Database},
    {TqbOp::TableGetRecordCount, 1303, 4, {0}, W::Cursor},
    {TqbOp::TableGetRecordCountAsync, 1309, 4, {0}, W::Cursor},
    {TqbOp::TableOpen, 1280, 78, {0, 4, 36, 68, 72, 73, 74}, W::Request},
    {TqbOp::TablePack, 769, 36, {0, 4}, W::Database},
    {TqbOp::TableReindex, 768, 72, {0, 4, 36, 68}, W::Database},
    {TqbOp::TableRename, 1302, 68, {0, 4, 36}, W::Database},
    {TqbOp::TableRestructure, 770, -1, {}, W::Database},
    {TqbOp::TableSetAutoInc, 1307, 8, {0, 4}, W::Cursor},
    {TqbOp::TableIsLocked, 1298, 5, {0, 4}, W::Cursor},
    {TqbOp::TableLockAcquire, 1296, 5, {0, 4}, W::Cursor},
    {TqbOp::TableLockRelease, 1297, 6, {0, 4, 5}, W::Cursor},
    {TqbOp::CursorClone, 1802, 5, {0, 4}, W::Cursor},
    {TqbOp::CursorClose, 1794, 4, {0}, W::Cursor},
    {TqbOp::CursorCompareBookmarks, 1801, 8, {0, 4}, W::Cursor},
    {TqbOp::CursorCopyRecords, 1808, 9, {0, 4, 8}, W::Cursor},
    {TqbOp::CursorDeleteRecords, 1809, 4, {0}, W::Cursor},
    {TqbOp::CursorGetBookmark, 1795, 8, {0, 4}, W::Cursor},
    {TqbOp::BLOBListFreeSpace, 1545, 5, {0, 4}, W::Cursor},
    {TqbOp::CursorOverrideFilter, 1805, 8, {0, 4}, W::Cursor},
    {TqbOp::CursorResetRange, 1800, 4, {0}, W::Cursor},
    {TqbOp::CursorRestoreFilter, 1806, 4, {0}, W::Cursor},
    {TqbOp::CursorSetRange, 1799, 31, {0, 4, 5, 9, 13, 17, 18, 22, 26, 30}, W::Cursor},
    {TqbOp::CursorSetTimeout, 1807, 8, {0, 4}, W::Cursor},
    {TqbOp::CursorSetToBegin, 1792, 4, {0}, W::Cursor},
    {TqbOp::CursorSetToBookmark, 1796, 8, {0, 4}, W::Cursor},
    {TqbOp::CursorSetToCursor, 1803, 8, {0, 4}, W::Cursor},
    {TqbOp::CursorSetToEnd, 1793, 4, {0}, W::Cursor},
    {TqbOp::CursorSetToKey, 1797, 18, {0, 4, 5, 6, 10, 14}, W::Cursor},
    {TqbOp::CursorSwitchToIndex, 1798, 41, {0, 4, 36, 40}, W::Cursor},
    {TqbOp::CursorSetFilter, 1804, 8, {0, 4}, W::Cursor},
    {TqbOp::RecordDelete, 2052, 8, {0, 4}, W::Cursor},
    {TqbOp::RecordDeleteBatch, 2061, 12, {0, 4, 8}, W::Cursor},
    {TqbOp::RecordExtractKey, 2055, 9, {0, 4, 8}, W::Cursor},
    {TqbOp::RecordGet, 2048, 13, {0, 4, 8, 12}, W::Cursor},
    {TqbOp::RecordGetBatch, 2057, 12, {0, 4, 8}, W::Cursor},
    {TqbOp::RecordGetForKey, 2056, 25, {0, 4, 5, 9, 13, 17, 21}, W::Cursor},
    {TqbOp::RecordGetNext, 2049, 13, {0, 4, 8, 12}, W::Cursor},
    {TqbOp::RecordGetPrior, 2050, 13, {0, 4, 8, 12}, W::Cursor},
    {TqbOp::RecordInsert, 2053, 13, {0, 4, 8, 12}, W::Cursor},
    {TqbOp::RecordInsertBatch, 2058, 12, {0, 4, 8}, W::Cursor},
    {TqbOp::RecordIsLocked, 2062, 5, {0, 4}, W::Cursor},
    {TqbOp::RecordModify, 2054, 13, {0, 4, 8, 12}, W::Cursor},
    {TqbOp::RecordReleaseLock, 2051, 5, {0, 4}, W::Cursor},
    {TqbOp::BLOBCreate, 1536, 4, {0}, W::Cursor},
    {TqbOp::BLOBDelete, 1537, 12, {0, 4}, W::Cursor},
    {TqbOp::BLOBListSegments, 1546, 12, {0, 4}, W::Cursor},
    {TqbOp::BLOBRead, 1538, 20, {0, 4, 12, 16}, W::Cursor},
    {TqbOp::BLOBFree, 1544, 13, {0, 4, 12}, W::Cursor},
    {TqbOp::BLOBGetLength, 1539, 12, {0, 4}, W::Cursor},
    {TqbOp::BLOBTruncate, 1540, 16, {0, 4, 12}, W::Cursor},
    {TqbOp::BLOBWrite, 1541, 20, {0, 4, 12, 16}, W::Cursor},
    {TqbOp::BLOBCreateFile, 1543, 260, {0, 4}, W::Cursor},
    {TqbOp::SQLAlloc, 2304, 8, {0, 4}, W::Request},
    {TqbOp::SQLExec, 2305, 5, {0, 4}, W::Statement},
    {TqbOp::SQLExecDirect, 2306, 9, {0, 4, 8}, W::Request},
    {TqbOp::SQLFree, 2307, 4, {0}, W::Statement},
    {TqbOp::SQLPrepare, 2308, 4, {0}, W::Statement},
    {TqbOp::SQLSetParams, 2309, -1, {}, W::Statement},
    {TqbOp::GetServerDateTime, 12, 0, {}, W::Client},
    {TqbOp::GetServerSystemTime, 16, 0, {}, W::Client},
    {TqbOp::GetNewGUID, 17, 0, {}, W::Client},
    {TqbOp::GetServerID, 18, 0, {}, W::Client},
    {TqbOp::GetServerStatistics, 2817, 0, {}, W::Client},
    {TqbOp::GetCommandHandlerStatistics, 2818, 4, {0}, W::Client},
    {TqbOp::GetTransportStatistics, 2819, 8, {0, 4}, W::Client},
};

// Fixed reply sizes of the rows that have one.
const std::map<TqbOp, int> kFixedReplies = {
    {TqbOp::GetIsReadOnly, 1},
    {TqbOp::SessionAdd, 4},
    {TqbOp::AliasGetPath, 220},
    {TqbOp::DatabaseGetFreeSpace, 4},
    {TqbOp::DatabaseOpen, 4},
    {TqbOp::DatabaseOpenPath, 4},
    {TqbOp::TableExists, 1},
    {TqbOp::TableIsLockedExclusive, 1},
    {TqbOp::RebuildGetStatus, 30},
    {TqbOp::TableGetAutoInc, 4},
    {TqbOp::TableGetRecordCount, 4},
    {TqbOp::TableGetRecordCountAsync, 4},
    {TqbOp::TablePack, 4},
    {TqbOp::TableReindex, 4},
    {TqbOp::TableRestructure, 4},
    {TqbOp::TableIsLocked, 1},
    {TqbOp::CursorClone, 4},
    {TqbOp::CursorCompareBookmarks, 4},
    {TqbOp::RecordIsLocked, 1},
    {TqbOp::BLOBCreate, 8},
    {TqbOp::BLOBGetLength, 4},
    {TqbOp::BLOBCreateFile, 8},
    {TqbOp::SQLAlloc, 4},
    {TqbOp::GetServerDateTime, 8},
    {TqbOp::GetServerSystemTime, 16},
    {TqbOp::GetNewGUID, 16},
    {TqbOp::GetServerID, 16},
    {TqbOp::GetServerStatistics, 328},
    {TqbOp::GetCommandHandlerStatistics, 4},
    {TqbOp::GetTransportStatistics, 368},
};

Bytes bytes(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(uint8_t(x));
    return b;
}

Bytes finish(TqbRequestWriter& w) {
    Bytes out;
    EXPECT_EQ(0, w.Finish(out));
    return out;
}

TEST(OperationTable, EveryRowAsOnTheWire) {
    ASSERT_EQ(kRows.size() + 1, kOpCount); // the login row is the transport's
    for (const Row& row : kRows) {
        const TqbOpDesc& d = Describe(row.op);
        SCOPED_TRACE(d.Name);
        EXPECT_EQ(row.msg, d.MsgID);
        EXPECT_EQ(row.timeout, d.TimeoutFrom);
        if (row.size < 0) {
            EXPECT_EQ(TqbRequestKind::Stream, d.RequestKind);
            continue;
        }
        EXPECT_EQ(TqbRequestKind::Fixed, d.RequestKind);
        EXPECT_EQ(row.size, d.FixedSize);
        ASSERT_EQ(row.offsets.size(), d.Fields.size());
        size_t end = 0;
        for (size_t i = 0; i < row.offsets.size(); ++i) {
            EXPECT_EQ(row.offsets[i], d.Fields[i].Offset) << d.Fields[i].Name;
            end = d.Fields[i].Offset + FieldSize(d.Fields[i].Kind);
        }
        EXPECT_EQ(size_t(row.size), end);
        auto fixed = kFixedReplies.find(row.op);
        if (fixed != kFixedReplies.end()) {
            EXPECT_EQ(TqbReplyKind::Fixed, d.ReplyKind);
            EXPECT_EQ(fixed->second, d.ReplySize);
        } else {
            EXPECT_NE(TqbReplyKind::Fixed, d.ReplyKind);
        }
        if (d.TimeoutFrom == W::Request) {
            EXPECT_EQ(TqbFieldKind::U32, d.Fields[size_t(d.TimeoutField)].Kind);
        }
    }
    EXPECT_EQ(TqbOp::TransactionCommit, FindByMessage(1025)->Op);
    EXPECT_EQ(TqbOp::RecordGetPrior, FindByMessage(2050)->Op);
    EXPECT_EQ(nullptr, FindByMessage(kMsgLogin));
    EXPECT_EQ(nullptr, FindByMessage(9));
    EXPECT_EQ(nullptr, FindByMessage(4242));
    // Field sizes of the short strings and the descriptor block.
    EXPECT_EQ(32u, FieldSize(TqbFieldKind::Name));
    EXPECT_EQ(220u, FieldSize(TqbFieldKind::Path));
    EXPECT_EQ(36u, FieldSize(TqbFieldKind::Mask));
    EXPECT_EQ(256u, FieldSize(TqbFieldKind::FileName));
    EXPECT_EQ(691u, FieldSize(TqbFieldKind::IndexDesc));
}

TEST(OperationTable, GoldenRequests) {
    TqbRequestWriter get(TqbOp::RecordGet);
    get.U32(0x01020304).U32(100).U32(32).U8(2);
    EXPECT_EQ(bytes({0x04, 0x03, 0x02, 0x01, 100, 0, 0, 0, 32, 0, 0, 0, 2}), finish(get));

    TqbRequestWriter filter(TqbOp::CursorSetFilter);
    filter.U32(7).U32(5000).Tail({});
    EXPECT_EQ(bytes({7, 0, 0, 0, 0x88, 0x13, 0, 0, 2, 0, 10, 0, 0, 0, 0, 0, 0, 0}), finish(filter));

    // An expression goes with the size its header gives, not the buffer's.
    Bytes expr = bytes({5, 0, 6, 0, 0xAA, 0xBB, 0xCC, 0xDD});
    TqbRequestWriter over(TqbOp::CursorOverrideFilter);
    over.U32(1).U32(0).Tail(expr);
    EXPECT_EQ(bytes({1, 0, 0, 0, 0, 0, 0, 0, 5, 0, 6, 0, 0xAA, 0xBB}), finish(over));

    TqbRequestWriter open(TqbOp::DatabaseOpenPath);
    open.Str("/data").U8(qbomReadWrite).U8(qbsmShared).U32(0x11223344);
    Bytes o = finish(open);
    ASSERT_EQ(226u, o.size());
    EXPECT_EQ(Bytes({5, '/', 'd', 'a', 't', 'a', 0}), Bytes(o.begin(), o.begin() + 7));
    EXPECT_EQ(bytes({1, 1, 0x44, 0x33, 0x22, 0x11}), Bytes(o.begin() + 220, o.end()));
    EXPECT_EQ(0x11223344u, RequestTimeout(TqbOp::DatabaseOpenPath, 77, o));
    EXPECT_EQ(77u, RequestTimeout(TqbOp::RecordGet, 77, o));

    TqbRequestWriter blob(TqbOp::BLOBWrite);
    blob.U32(9).U64(0x0102030405060708ull).U32(16).U32(3).Tail(bytes({'a', 'b', 'c'}));
    EXPECT_EQ(bytes({9, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 16, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c'}),
              finish(blob));

    TqbRequestWriter sql(TqbOp::SQLExecDirect);
    std::string q = "select";
    sql.U32(2).U32(10).U8(0).Tail(std::span(reinterpret_cast<const uint8_t*>(q.data()), q.size()));
    EXPECT_EQ(bytes({2, 0, 0, 0, 10, 0, 0, 0, 0, 's', 'e', 'l', 'e', 'c', 't', 0}), finish(sql));
}

TEST(OperationTable, NamesTooLongAreRefusedNotCut) {
    Bytes out;
    for (size_t extra : {0, 1}) {
        TqbRequestWriter path(TqbOp::DatabaseOpenPath);
        path.Str(std::string(219 + extra, 'p')).U8(0).U8(0).U32(0);
        EXPECT_EQ(extra ? kResultNameTooLong : 0, path.Finish(out));
        TqbRequestWriter table(TqbOp::TableOpen);
        table.U32(1).Str(std::string(31 + extra, 't')).Str("").I32(0).U8(0).U8(0).U32(0);
        EXPECT_EQ(extra ? kResultNameTooLong : 0, table.Finish(out));
        TqbRequestWriter mask(TqbOp::TableList);
        mask.U32(1).Str(std::string(35 + extra, '*'));
        EXPECT_EQ(extra ? kResultNameTooLong : 0, mask.Finish(out));
        TqbRequestWriter file(TqbOp::BLOBCreateFile);
        file.U32(1).Str(std::string(255 + extra, 'f'));
        EXPECT_EQ(extra ? kResultNameTooLong : 0, file.Finish(out));
        Bytes build;
        EXPECT_EQ(extra ? kResultNameTooLong : 0,
                  EncodeTableBuild(1, false, std::string(31 + extra, 'b'), contactsDictionary(), build));
        TqbIndexDescriptor desc;
        desc.Name = std::string(31 + extra, 'i');
        uint8_t block[kIndexDescSize];
        EXPECT_EQ(extra ? kResultNameTooLong : 0, EncodeIndexDesc(desc, block));
    }
    // A refused request leaves the caller's buffer alone.
    out = bytes({1, 2, 3});
    TqbRequestWriter alias(TqbOp::AliasDelete);
    alias.Str(std::string(40, 'a'));
    EXPECT_EQ(kResultNameTooLong, alias.Finish(out));
    EXPECT_EQ(bytes({1, 2, 3}), out);
}

TEST(OperationTable, WriterRefusesMisuse) {
    EXPECT_THROW(TqbRequestWriter(TqbOp::RecordGet).U8(1), std::logic_error);           // a u32 comes first
    EXPECT_THROW(TqbRequestWriter{TqbOp::TableBuild}, std::logic_error);                // stream-coded
    EXPECT_THROW(TqbRequestWriter(TqbOp::RecordGet).U32(1).Tail({}), std::logic_error); // no tail there
    Bytes out;
    TqbRequestWriter missing(TqbOp::RecordGet);
    missing.U32(1);
    EXPECT_THROW(missing.Finish(out), std::logic_error);
    // A tail that disagrees with its size field never goes out.
    TqbRequestWriter insert(TqbOp::RecordInsert);
    insert.U32(1).U32(100).U32(0).U8(0).Tail(Bytes(99));
    EXPECT_EQ(kResultMessageUnrecognized, insert.Finish(out));
}

TEST(OperationTable, ReaderRefusesMalformedRequests) {
    auto check = [](TqbOp op, const Bytes& b) { return TqbRequestReader(Describe(op), b).Check(); };
    TqbRequestWriter get(TqbOp::RecordGet);
    get.U32(1).U32(100).U32(32).U8(0);
    Bytes ok = finish(get);
    EXPECT_EQ(0, check(TqbOp::RecordGet, ok));
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordGet, Bytes(ok.begin(), ok.end() - 1)));
    ok.push_back(0);
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordGet, ok));
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordGet, {}));

    // A length byte above its field's limit.
    TqbRequestWriter del(TqbOp::TableDelete);
    del.U32(1).Str("t");
    Bytes name = finish(del);
    name[4] = 32;
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::TableDelete, name));
    name[4] = 31;
    EXPECT_EQ(0, check(TqbOp::TableDelete, name));

    // Tails against their size fields.
    Bytes insert(13 + 10);
    plat::StoreLE32(insert.data() + 4, 10);
    EXPECT_EQ(0, check(TqbOp::RecordInsert, insert));
    plat::StoreLE32(insert.data() + 4, 11);
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordInsert, insert));
    Bytes batch(12 + 8);
    plat::StoreLE32(batch.data() + 4, 4); // record length
    plat::StoreLE32(batch.data() + 8, 2); // count
    EXPECT_EQ(0, check(TqbOp::RecordInsertBatch, batch));
    plat::StoreLE32(batch.data() + 8, 0xFFFFFFFE); // a negative count times a length
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordInsertBatch, batch));
    plat::StoreLE32(batch.data() + 4, 0x80000000);
    plat::StoreLE32(batch.data() + 8, 0x7FFFFFFF);
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::RecordInsertBatch, batch));
    Bytes range(31 + 5);
    plat::StoreLE32(range.data() + 13, 2);
    plat::StoreLE32(range.data() + 26, 3);
    TqbRequestReader rr(Describe(TqbOp::CursorSetRange), range);
    ASSERT_EQ(0, rr.Check());
    EXPECT_EQ(2u, rr.TailFirst().size());
    EXPECT_EQ(3u, rr.TailSecond().size());
    plat::StoreLE32(range.data() + 26, 0xFFFFFFFF); // would wrap a 32-bit sum
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::CursorSetRange, range));

    // A filter's size word must match what follows; text must end in its one zero byte.
    Bytes filter = bytes({1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 10, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(0, check(TqbOp::CursorSetFilter, filter));
    filter[10] = 11;
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::CursorSetFilter, filter));
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::CursorSetFilter, Bytes(8)));
    Bytes text = bytes({1, 0, 0, 0, 'a', 'b', 0});
    EXPECT_EQ(0, check(TqbOp::SQLPrepare, text));
    EXPECT_EQ("ab", TqbRequestReader(Describe(TqbOp::SQLPrepare), text).TailText());
    text.back() = 'c';
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::SQLPrepare, text));
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::SQLPrepare, bytes({1, 0, 0, 0, 'a', 0, 'b', 0})));
    EXPECT_EQ(kResultMessageUnrecognized, check(TqbOp::SQLPrepare, bytes({1, 0, 0, 0})));
}

TEST(OperationTable, TransactionStartWithWriterEncoding) {
    Bytes b = EncodeTransactionStartWith(5, true, {300, 70000, 0x80000001u});
    EXPECT_EQ(bytes({2, 5, 9, 2, 3, 3, 0x2C, 0x01, 4, 0x70, 0x11, 0x01, 0x00, 4, 0x01, 0, 0, 0x80}), b);
    EXPECT_EQ(bytes({2, 5, 8, 2, 0}), EncodeTransactionStartWith(5, false, {}));

    TqbHandle db = 0;
    bool failSafe = false;
    std::vector<TqbHandle> cursors;
    ASSERT_EQ(0, DecodeTransactionStartWith(b, db, failSafe, cursors));
    EXPECT_EQ(5u, db);
    EXPECT_TRUE(failSafe);
    EXPECT_EQ((std::vector<TqbHandle>{300, 70000, 0x80000001u}), cursors);

    Bytes trailing = b;
    trailing.push_back(0);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTransactionStartWith(trailing, db, failSafe, cursors));
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeTransactionStartWith(Bytes(b.begin(), b.end() - 1), db, failSafe, cursors));
    // A count far beyond the bytes, and a flag that is no Boolean.
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeTransactionStartWith(bytes({2, 5, 9, 4, 0, 0, 0, 0x40}), db, failSafe, cursors));
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeTransactionStartWith(bytes({2, 5, 2, 1, 2, 0}), db, failSafe, cursors));
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeTransactionStartWith(bytes({2, 5, 9, 2, 0xFF}), db, failSafe, cursors));
}

TEST(OperationTable, TableStreamsRoundTrip) {
    TqbServerDataDict dict = contactsDictionary();
    Bytes build;
    ASSERT_EQ(0, EncodeTableBuild(7, true, "contacts", dict, build));
    EXPECT_EQ(bytes({7, 0, 0, 0, 1, 8, 'c', 'o'}), Bytes(build.begin(), build.begin() + 8));
    TqbHandle db = 0;
    bool over = false;
    std::string name;
    TqbDataDictionary back;
    ASSERT_EQ(0, DecodeTableBuild(build, db, over, name, back));
    EXPECT_EQ(7u, db);
    EXPECT_TRUE(over);
    EXPECT_EQ("contacts", name);
    EXPECT_EQ(dict.RecordLength(), back.RecordLength());
    EXPECT_EQ(dict.IndexCount(), back.IndexCount());
    build.push_back(0);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableBuild(build, db, over, name, back));

    cls::TStringList map;
    map.Add("name=name");
    map.Add("id");
    Bytes restr;
    ASSERT_EQ(0, EncodeTableRestructure(3, "contacts", dict, &map, restr));
    EXPECT_EQ(bytes({2, 'i', 'd', 0}), Bytes(restr.end() - 4, restr.end()));
    cls::TStringList mapBack;
    bool hasMap = false;
    ASSERT_EQ(0, DecodeTableRestructure(restr, db, name, back, mapBack, hasMap));
    EXPECT_TRUE(hasMap);
    ASSERT_EQ(2, mapBack.Count());
    EXPECT_EQ("name=name", mapBack.Strings(0));
    EXPECT_EQ("id", mapBack.Strings(1));
    // Without its terminating byte, or with bytes after it, the stream is refused.
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeTableRestructure(Bytes(restr.begin(), restr.end() - 1), db, name, back, mapBack, hasMap));
    restr.push_back(1);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableRestructure(restr, db, name, back, mapBack, hasMap));
    Bytes noMap;
    ASSERT_EQ(0, EncodeTableRestructure(3, "contacts", dict, nullptr, noMap));
    ASSERT_EQ(0, DecodeTableRestructure(noMap, db, name, back, mapBack, hasMap));
    EXPECT_FALSE(hasMap);
    EXPECT_EQ(0, mapBack.Count());
}

TEST(OperationTable, IndexDescriptorBlock) {
    TqbIndexDescriptor d;
    d.Name = "byName";
    d.Description = "names";
    d.FileNumber = 1;
    d.KeyLength = 42;
    d.KeyFieldCount = 2;
    d.KeyFields[0] = 0;
    d.KeyFields[1] = 3;
    d.HelperNames[1] = "helper";
    d.AllowDups = true;
    d.IsAscending = false;
    d.IsCaseInsensitive = true;
    uint8_t block[kIndexDescSize];
    ASSERT_EQ(0, EncodeIndexDesc(d, block));
    EXPECT_EQ(6, block[0]);
    EXPECT_EQ(5, block[32]);
    EXPECT_EQ(1u, plat::LoadLE32(block + 96));
    EXPECT_EQ(42u, plat::LoadLE32(block + 100));
    EXPECT_EQ(2u, plat::LoadLE32(block + 104));
    EXPECT_EQ(3u, plat::LoadLE32(block + 112));
    EXPECT_EQ(6, block[172 + 32]);
    EXPECT_EQ(bytes({1, 0, 1, 0, 0, 0, 0}), Bytes(block + 684, block + 691));
    TqbIndexDescriptor back;
    ASSERT_EQ(0, DecodeIndexDesc(block, back));
    EXPECT_EQ("byName", back.Name);
    EXPECT_EQ("names", back.Description);
    EXPECT_EQ(42, back.KeyLength);
    EXPECT_EQ(3, back.KeyFields[1]);
    EXPECT_EQ("helper", back.HelperNames[1]);
    EXPECT_TRUE(back.AllowDups);
    EXPECT_FALSE(back.IsAscending);
    block[32] = 64; // description longer than its field
    EXPECT_EQ(kResultMessageUnrecognized, DecodeIndexDesc(block, back));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeIndexDesc(std::span<const uint8_t>(block, 690), back));
}

TEST(OperationTable, SQLParamsStream) {
    Bytes descs(2 * kParamDescSize, 0xD5), data = bytes({1, 2, 3});
    Bytes b;
    ASSERT_EQ(0, EncodeSQLSetParams(4, 2, descs, data, b));
    EXPECT_EQ(4u + 2 + 80 + 4 + 3, b.size());
    TqbHandle stmt = 0;
    uint16_t count = 0;
    std::span<const uint8_t> d2, data2;
    ASSERT_EQ(0, DecodeSQLSetParams(b, stmt, count, d2, data2));
    EXPECT_EQ(4u, stmt);
    EXPECT_EQ(2, count);
    EXPECT_EQ(descs, Bytes(d2.begin(), d2.end()));
    EXPECT_EQ(data, Bytes(data2.begin(), data2.end()));
    b[4] = 3; // one descriptor more than the bytes hold
    EXPECT_EQ(kResultMessageUnrecognized, DecodeSQLSetParams(b, stmt, count, d2, data2));
    EXPECT_EQ(kResultInvalidArgument, EncodeSQLSetParams(4, 3, descs, data, b));
}

TEST(OperationTable, ReplyDecodersAreBounded) {
    uint32_t v = 0;
    EXPECT_EQ(0, DecodeU32Reply(TqbOp::SessionAdd, bytes({1, 2, 0, 0}), v));
    EXPECT_EQ(0x201u, v);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeU32Reply(TqbOp::SessionAdd, bytes({1, 2, 0}), v));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeU32Reply(TqbOp::SessionAdd, bytes({1, 2, 0, 0, 0}), v));
    bool flag = false;
    EXPECT_EQ(kResultMessageUnrecognized, DecodeBoolReply(TqbOp::TableExists, {}, flag));
    TqbServerStatistics stats{};
    EXPECT_EQ(kResultMessageUnrecognized,
              DecodeFixedReply(TqbOp::GetServerStatistics, Bytes(400),
                               std::span(reinterpret_cast<uint8_t*>(&stats), sizeof stats)));

    uint8_t record[8] = {};
    EXPECT_EQ(kResultMessageUnrecognized, DecodeSizedReply(Bytes(9, 0xEE), record));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeSizedReply(Bytes(7, 0xEE), record));
    EXPECT_EQ(0, record[7]);
    EXPECT_EQ(0, DecodeSizedReply({}, {}));

    std::vector<int32_t> codes;
    TqbResultCode first = -1;
    EXPECT_EQ(0, DecodeCodesReply(EncodeCodesReply({0, 9729, 5}), 3, codes, first));
    EXPECT_EQ(9729, first);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeCodesReply(EncodeCodesReply({0, 0}), 3, codes, first));

    // A batch claims more records than were asked for, or than its bytes hold.
    uint8_t out[2 * 4] = {};
    int32_t n = 0, err = 0;
    Bytes batch = EncodeBatchReply(2, 8706, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(0, DecodeBatchReply(batch, 2, 4, out, n, err));
    EXPECT_EQ(2, n);
    EXPECT_EQ(8706, err);
    EXPECT_EQ(8, out[7]);
    Bytes liar = EncodeBatchReply(3, 0, Bytes(12));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeBatchReply(liar, 2, 4, out, n, err));
    batch.pop_back();
    EXPECT_EQ(kResultMessageUnrecognized, DecodeBatchReply(batch, 2, 4, out, n, err));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeBatchReply(bytes({0, 0, 0}), 2, 4, out, n, err));

    uint8_t blob[4] = {};
    uint32_t got = 0;
    EXPECT_EQ(0, DecodeCountedReply(EncodeCountedReply(bytes({9, 8})), blob, got));
    EXPECT_EQ(2u, got);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeCountedReply(EncodeCountedReply(Bytes(5)), blob, got));
    Bytes counted = EncodeCountedReply(bytes({1, 2}));
    counted.push_back(3);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeCountedReply(counted, blob, got));

    std::vector<TqbAliasRecord> aliases;
    TqbAliasRecord a{};
    a.Alias.Set("pagebase");
    a.Path.Set("/srv/pages");
    Bytes list = EncodeRecord(a);
    ASSERT_EQ(0, DecodeAliasList(list, aliases));
    ASSERT_EQ(1u, aliases.size());
    EXPECT_EQ("/srv/pages", aliases[0].Path.Str());
    list[0] = 32; // alias length byte beyond its field
    EXPECT_EQ(kResultMessageUnrecognized, DecodeAliasList(list, aliases));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeAliasList(Bytes(253), aliases));
    std::vector<TqbTableListRecord> tables;
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableList(Bytes(47), tables));

    std::string path;
    EXPECT_EQ(0, DecodePathReply(EncodePathReply("/x"), path));
    EXPECT_EQ("/x", path);
    Bytes badPath = EncodePathReply("/x");
    badPath[0] = 220;
    EXPECT_EQ(kResultMessageUnrecognized, DecodePathReply(badPath, path));
    EXPECT_EQ(kResultMessageUnrecognized, DecodePathReply(Bytes(219), path));

    TqbRebuildStatus st{};
    st.PercentDone = 50;
    TqbRebuildStatus stBack{};
    bool present = false;
    Bytes status = EncodeRebuildStatusReply(st, true);
    ASSERT_EQ(30u, status.size());
    ASSERT_EQ(0, DecodeRebuildStatusReply(status, stBack, present));
    EXPECT_EQ(50, stBack.PercentDone);
    EXPECT_TRUE(present);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeRebuildStatusReply(Bytes(29), stBack, present));
}

TEST(OperationTable, CursorStreamReplies) {
    TqbServerDataDict dict = contactsDictionary();
    std::string ds;
    dict.WriteToStream(ds);
    Bytes reply = EncodeU32(0x55);
    reply.insert(reply.end(), ds.begin(), ds.end());
    Bytes sql = reply;
    Bytes index = EncodeU32(1);
    reply.insert(reply.end(), index.begin(), index.end());

    TqbHandle cursor = 0;
    int32_t indexID = -1;
    TqbDataDictionary back;
    ASSERT_EQ(0, DecodeTableOpenReply(reply, cursor, back, indexID));
    EXPECT_EQ(0x55u, cursor);
    EXPECT_EQ(1, indexID);
    EXPECT_EQ("nameIndex", back.IndexName(1));
    // An index number the dictionary lacks, and a dictionary cut short.
    plat::StoreLE32(reply.data() + reply.size() - 4, uint32_t(dict.IndexCount()));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableOpenReply(reply, cursor, back, indexID));
    Bytes cut(reply.begin(), reply.begin() + 4 + ds.size() / 2);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableOpenReply(cut, cursor, back, indexID));
    EXPECT_EQ(kResultMessageUnrecognized, DecodeTableOpenReply(bytes({1, 0, 0}), cursor, back, indexID));

    ASSERT_EQ(0, DecodeCursorStreamReply(sql, cursor, back));
    EXPECT_EQ(0x55u, cursor);
    ASSERT_EQ(0, DecodeCursorStreamReply(EncodeU32(0), cursor, back));
    EXPECT_EQ(0u, cursor);
    EXPECT_EQ(kResultMessageUnrecognized, DecodeCursorStreamReply(bytes({0, 0, 0, 0, 1}), cursor, back));
}

} // namespace
