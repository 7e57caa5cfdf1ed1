// The server's request decoder over a real engine on a temporary folder: requests encoded as the
// proxy encodes them, run by the engine, replies decoded as the proxy decodes them; another
// client's handles and malformed requests refused before they reach the engine.
#include "db/remote/qbsrdisp.h"

#include "classlib/DBFilter.h"
#include "db/remote/qblegacy.h"
#include "platform/ProcessMessages.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/remote/WireServer.h"
#include "tests/fuzz/FuzzReplay.h"
#include "tests/fuzz/RemoteRequestFuzz.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace qbops;

namespace {

using Bytes = std::vector<uint8_t>;
using engineapi::Contact;

// A started engine with the decoder in front of it, and remote clients logged in through it.
struct Server {
    engineapi::Api api{false};
    TqbServerDispatcher disp{*api.engine};

    Server() { api.engine->Startup(); }

    TqbHandle login() {
        uint32_t hash = 0;
        TqbHandle client = 0;
        EXPECT_EQ(0, disp.AddClient("remote", "", 10000, hash, client));
        return client;
    }
    TqbDispatchResult send(TqbHandle client, TqbOp op, const Bytes& request) {
        TqbDispatchResult r = disp.Dispatch(client, Describe(op).MsgID, request);
        EXPECT_TRUE(r.Handled);
        return r;
    }
    // Sends a request and expects success; returns the reply.
    Bytes ok(TqbHandle client, TqbOp op, const Bytes& request) {
        TqbDispatchResult r = send(client, op, request);
        EXPECT_EQ(0, r.ErrorCode) << Describe(op).Name;
        return r.Reply;
    }
    uint32_t okU32(TqbHandle client, TqbOp op, const Bytes& request) {
        uint32_t v = 0;
        EXPECT_EQ(0, DecodeU32Reply(op, ok(client, op, request), v)) << Describe(op).Name;
        return v;
    }
};

Bytes request(TqbRequestWriter& w) {
    Bytes out;
    EXPECT_EQ(0, w.Finish(out));
    return out;
}

// A remote client's session, its folder opened by path and the contacts table open on it.
struct Remote {
    Server& s;
    TqbHandle client, session = 0, db = 0, cursor = 0;
    TqbDataDictionary dict;
    uint32_t len = 0;

    Remote(Server& server, bool build) : s(server), client(server.login()) {
        session = s.okU32(client, TqbOp::SessionAdd, request(TqbRequestWriter(TqbOp::SessionAdd).U32(10000)));
        s.ok(client, TqbOp::SessionSetCurrent,
             request(TqbRequestWriter(TqbOp::SessionSetCurrent).U32(session)));
        db = s.okU32(client, TqbOp::DatabaseOpenPath,
                     request(TqbRequestWriter(TqbOp::DatabaseOpenPath)
                                 .Str(s.api.dir.str())
                                 .U8(qbomReadWrite)
                                 .U8(qbsmShared)
                                 .U32(10000)));
        if (build) {
            Bytes b;
            EXPECT_EQ(0, EncodeTableBuild(db, false, "contacts", engineapi::contactsDictionary(), b));
            s.ok(client, TqbOp::TableBuild, b);
        }
        Bytes open = s.ok(client, TqbOp::TableOpen,
                          request(TqbRequestWriter(TqbOp::TableOpen)
                                      .U32(db)
                                      .Str("contacts")
                                      .Str("nameIndex")
                                      .I32(0)
                                      .U8(qbomReadWrite)
                                      .U8(qbsmShared)
                                      .U32(10000)));
        int32_t index = -1;
        EXPECT_EQ(0, DecodeTableOpenReply(open, cursor, dict, index));
        EXPECT_EQ(1, index);
        len = uint32_t(dict.RecordLength());
    }

    Bytes rec(const Contact& c) { return engineapi::contactRecord(dict, c); }
    TqbDispatchResult insert(const Contact& c) {
        return s.send(
            client, TqbOp::RecordInsert,
            request(TqbRequestWriter(TqbOp::RecordInsert).U32(cursor).U32(len).U32(0).U8(0).Tail(rec(c))));
    }
    // Steps forward; the contact read, or the code that ended the walk.
    TqbResultCode next(Contact& out) {
        TqbDispatchResult r =
            s.send(client, TqbOp::RecordGetNext,
                   request(TqbRequestWriter(TqbOp::RecordGetNext).U32(cursor).U32(len).U32(0).U8(qbltNone)));
        if (r.ErrorCode) return r.ErrorCode;
        Bytes b(len);
        EXPECT_EQ(0, DecodeSizedReply(r.Reply, b));
        out = engineapi::contactOf(dict, b.data());
        return 0;
    }
    std::vector<std::string> walk() {
        s.ok(client, TqbOp::CursorSetToBegin, request(TqbRequestWriter(TqbOp::CursorSetToBegin).U32(cursor)));
        std::vector<std::string> names;
        Contact c;
        TqbResultCode rc;
        while ((rc = next(c)) == 0)
            names.push_back(c.name);
        EXPECT_EQ(8706, rc) << "a walk ends at the end of the table";
        return names;
    }
};

Contact contact(const std::string& name, int service) {
    return WireContact(name, service);
}

TEST(ServerDecoder, ContactsFlowThroughTheWireRecords) {
    Server s;
    Remote r(s, true);
    for (auto& c : {contact("Carol", 2), contact("alice", 1), contact("Bob", 2)})
        ASSERT_EQ(0, r.insert(c).ErrorCode);
    EXPECT_EQ(9729, r.insert(contact("BOB", 3)).ErrorCode) << "the unique name index holds";
    EXPECT_EQ((std::vector<std::string>{"alice", "Bob", "Carol"}), r.walk());

    // A key search by field values.
    TqbDispatchResult found = s.send(r.client, TqbOp::RecordGetForKey,
                                     request(TqbRequestWriter(TqbOp::RecordGetForKey)
                                                 .U32(r.cursor)
                                                 .Bool(false)
                                                 .I32(1)
                                                 .I32(0)
                                                 .U32(r.len)
                                                 .U32(r.len)
                                                 .U32(0)
                                                 .Tail(r.rec(contact("bob", 0)))));
    ASSERT_EQ(0, found.ErrorCode);
    Bytes b(r.len);
    ASSERT_EQ(0, DecodeSizedReply(found.Reply, b));
    EXPECT_EQ("Bob", engineapi::contactOf(r.dict, b.data()).name);
    EXPECT_EQ("Bob-id", engineapi::contactOf(r.dict, b.data()).id);

    // A batch from the start: three records, then the end of the table.
    s.ok(r.client, TqbOp::CursorSetToBegin, request(TqbRequestWriter(TqbOp::CursorSetToBegin).U32(r.cursor)));
    TqbDispatchResult batch =
        s.send(r.client, TqbOp::RecordGetBatch,
               request(TqbRequestWriter(TqbOp::RecordGetBatch).U32(r.cursor).I32(10).U32(r.len)));
    Bytes records(10 * r.len);
    int32_t got = 0, error = 0;
    ASSERT_EQ(0, DecodeBatchReply(batch.Reply, 10, int32_t(r.len), records, got, error));
    ASSERT_EQ(3, got);
    EXPECT_EQ(8706, error);
    EXPECT_EQ("Carol", engineapi::contactOf(r.dict, records.data() + 2 * r.len).name);

    // A record count, and the server filter: only service 2.
    EXPECT_EQ(3u, s.okU32(r.client, TqbOp::TableGetRecordCount,
                          request(TqbRequestWriter(TqbOp::TableGetRecordCount).U32(r.cursor))));
    std::vector<cls::TFilterField> fields = {
        {"name", 1, cls::ftString}, {"id", 2, cls::ftString}, {"servicenumber", 3, cls::ftInteger}};
    Bytes expr = cls::BuildFilterExpression("servicenumber = 2", 0, fields);
    s.ok(r.client, TqbOp::CursorSetFilter,
         request(TqbRequestWriter(TqbOp::CursorSetFilter).U32(r.cursor).U32(0).Tail(expr)));
    EXPECT_EQ((std::vector<std::string>{"Bob", "Carol"}), r.walk());
    // No expression travels as the empty one, which lets every record through again.
    s.ok(r.client, TqbOp::CursorSetFilter,
         request(TqbRequestWriter(TqbOp::CursorSetFilter).U32(r.cursor).U32(0).Tail({})));
    EXPECT_EQ(3u, r.walk().size());

    // A second cursor by clone, a bookmark there and back.
    uint32_t clone = s.okU32(r.client, TqbOp::CursorClone,
                             request(TqbRequestWriter(TqbOp::CursorClone).U32(r.cursor).U8(qbomReadOnly)));
    uint32_t bmSize = r.dict.GetBookmarkSize(1);
    s.ok(r.client, TqbOp::CursorSetToBegin, request(TqbRequestWriter(TqbOp::CursorSetToBegin).U32(clone)));
    Bytes bm = s.ok(r.client, TqbOp::CursorGetBookmark,
                    request(TqbRequestWriter(TqbOp::CursorGetBookmark).U32(r.cursor).U32(bmSize)));
    ASSERT_EQ(bmSize, bm.size());
    s.ok(r.client, TqbOp::CursorSetToBookmark,
         request(TqbRequestWriter(TqbOp::CursorSetToBookmark).U32(clone).U32(bmSize).Tail(bm)));
    s.ok(r.client, TqbOp::CursorClose, request(TqbRequestWriter(TqbOp::CursorClose).U32(clone)));
    EXPECT_EQ(kResultUnknownCursor,
              s.send(r.client, TqbOp::CursorClose, request(TqbRequestWriter(TqbOp::CursorClose).U32(clone)))
                  .ErrorCode);

    // The dictionary by name, and transactions by stream.
    Bytes dictStream = s.ok(r.client, TqbOp::TableGetDictionary,
                            request(TqbRequestWriter(TqbOp::TableGetDictionary).U32(r.db).Str("contacts")));
    TqbDataDictionary d2;
    d2.ReadFromStream(std::string_view(reinterpret_cast<const char*>(dictStream.data()), dictStream.size()));
    EXPECT_EQ(r.dict.RecordLength(), d2.RecordLength());
    s.ok(r.client, TqbOp::TransactionStartWith, EncodeTransactionStartWith(r.db, false, {r.cursor}));
    ASSERT_EQ(0, r.insert(contact("Dan", 4)).ErrorCode);
    s.ok(r.client, TqbOp::TransactionRollback,
         request(TqbRequestWriter(TqbOp::TransactionRollback).U32(r.db).U8(0)));
    EXPECT_EQ(3u, r.walk().size()) << "the rolled back insert is gone";
    s.ok(r.client, TqbOp::TransactionStart,
         request(TqbRequestWriter(TqbOp::TransactionStart).U32(r.db).Bool(false)));
    ASSERT_EQ(0, r.insert(contact("Dan", 4)).ErrorCode);
    s.ok(r.client, TqbOp::TransactionCommit,
         request(TqbRequestWriter(TqbOp::TransactionCommit).U32(r.db).U8(1)));
    EXPECT_EQ(4u, r.walk().size());

    // Table locks: the release's all-locks flag reaches the engine.
    auto tableLocked = [&] {
        bool locked = false;
        EXPECT_EQ(0, DecodeBoolReply(
                         TqbOp::TableIsLocked,
                         s.ok(r.client, TqbOp::TableIsLocked,
                              request(TqbRequestWriter(TqbOp::TableIsLocked).U32(r.cursor).U8(qbltWrite))),
                         locked));
        return locked;
    };
    for (int i = 0; i < 2; ++i)
        s.ok(r.client, TqbOp::TableLockAcquire,
             request(TqbRequestWriter(TqbOp::TableLockAcquire).U32(r.cursor).U8(qbltWrite)));
    s.ok(r.client, TqbOp::TableLockRelease,
         request(TqbRequestWriter(TqbOp::TableLockRelease).U32(r.cursor).U8(qbltWrite).Bool(false)));
    EXPECT_TRUE(tableLocked()) << "one of two locks released";
    s.ok(r.client, TqbOp::TableLockRelease,
         request(TqbRequestWriter(TqbOp::TableLockRelease).U32(r.cursor).U8(qbltWrite).Bool(true)));
    EXPECT_FALSE(tableLocked()) << "all of them released";

    // Closing the database forgets the cursors that lived in it.
    size_t held = s.disp.HandleCount(r.client);
    s.ok(r.client, TqbOp::DatabaseClose, request(TqbRequestWriter(TqbOp::DatabaseClose).U32(r.db)));
    EXPECT_EQ(held - 2, s.disp.HandleCount(r.client));
    EXPECT_EQ(kResultUnknownCursor, r.insert(contact("Eve", 1)).ErrorCode);
}

TEST(ServerDecoder, BLOBsThroughTheWireRecords) {
    Server s;
    Remote r(s, true);
    TqbServerDataDict docs;
    docs.SetTableName("docs");
    docs.AddField("title", "", qbtShortString, 20, 0, true);
    docs.AddField("body", "", qbtBLOB, 0, 0, false);
    Bytes build;
    ASSERT_EQ(0, EncodeTableBuild(r.db, false, "docs", docs, build));
    s.ok(r.client, TqbOp::TableBuild, build);
    Bytes open = s.ok(r.client, TqbOp::TableOpen,
                      request(TqbRequestWriter(TqbOp::TableOpen)
                                  .U32(r.db)
                                  .Str("docs")
                                  .Str("")
                                  .I32(0)
                                  .U8(qbomReadWrite)
                                  .U8(qbsmShared)
                                  .U32(10000)));
    TqbHandle c = 0;
    int32_t index = -1;
    TqbDataDictionary d;
    ASSERT_EQ(0, DecodeTableOpenReply(open, c, d, index));
    EXPECT_EQ(0, index);

    uint64_t nr = 0;
    Bytes created = s.ok(r.client, TqbOp::BLOBCreate, request(TqbRequestWriter(TqbOp::BLOBCreate).U32(c)));
    ASSERT_EQ(8u, created.size());
    nr = plat::LoadLE64(created.data());
    Bytes text(5000);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = uint8_t(i * 7 + 3);
    s.ok(r.client, TqbOp::BLOBWrite,
         request(
             TqbRequestWriter(TqbOp::BLOBWrite).U32(c).U64(nr).U32(0).U32(uint32_t(text.size())).Tail(text)));
    EXPECT_EQ(5000u, s.okU32(r.client, TqbOp::BLOBGetLength,
                             request(TqbRequestWriter(TqbOp::BLOBGetLength).U32(c).U64(nr))));
    Bytes read = s.ok(r.client, TqbOp::BLOBRead,
                      request(TqbRequestWriter(TqbOp::BLOBRead).U32(c).U64(nr).U32(4500).U32(1000)));
    Bytes back(1000);
    uint32_t got = 0;
    ASSERT_EQ(0, DecodeCountedReply(read, back, got));
    ASSERT_EQ(500u, got) << "only what the BLOB holds travels back";
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 500, text.begin() + 4500));
    s.ok(r.client, TqbOp::BLOBTruncate,
         request(TqbRequestWriter(TqbOp::BLOBTruncate).U32(c).U64(nr).U32(10)));
    EXPECT_FALSE(s.ok(r.client, TqbOp::BLOBListSegments,
                      request(TqbRequestWriter(TqbOp::BLOBListSegments).U32(c).U64(nr)))
                     .empty());
    s.ok(r.client, TqbOp::BLOBFree, request(TqbRequestWriter(TqbOp::BLOBFree).U32(c).U64(nr).Bool(false)));
    EXPECT_EQ(10u, s.okU32(r.client, TqbOp::BLOBGetLength,
                           request(TqbRequestWriter(TqbOp::BLOBGetLength).U32(c).U64(nr))));
    // A read larger than the server will hold for one reply is refused before any memory is taken.
    EXPECT_EQ(kResultMessageUnrecognized,
              s.send(r.client, TqbOp::BLOBRead,
                     request(TqbRequestWriter(TqbOp::BLOBRead).U32(c).U64(nr).U32(0).U32(0xFFFFFFF0u)))
                  .ErrorCode);
}

TEST(ServerDecoder, AnotherClientsHandlesAreRefused) {
    Server s;
    Remote a(s, true);
    Remote b(s, false);
    ASSERT_EQ(0, a.insert(contact("Ann", 1)).ErrorCode);
    // b's requests naming a's cursor, database and session; nothing of them reaches the engine.
    TqbDispatchResult r = s.send(b.client, TqbOp::RecordInsert,
                                 request(TqbRequestWriter(TqbOp::RecordInsert)
                                             .U32(a.cursor)
                                             .U32(a.len)
                                             .U32(0)
                                             .U8(0)
                                             .Tail(a.rec(contact("Mallory", 1)))));
    EXPECT_EQ(kResultUnknownCursor, r.ErrorCode);
    EXPECT_EQ(kResultUnknownDatabase,
              s.send(b.client, TqbOp::TableDelete,
                     request(TqbRequestWriter(TqbOp::TableDelete).U32(a.db).Str("contacts")))
                  .ErrorCode);
    EXPECT_EQ(kResultUnknownSession, s.send(b.client, TqbOp::SessionRemove,
                                            request(TqbRequestWriter(TqbOp::SessionRemove).U32(a.session)))
                                         .ErrorCode);
    EXPECT_EQ(kResultUnknownCursor,
              s.send(b.client, TqbOp::CursorSetToCursor,
                     request(TqbRequestWriter(TqbOp::CursorSetToCursor).U32(b.cursor).U32(a.cursor)))
                  .ErrorCode)
        << "a second handle field is checked too";
    EXPECT_EQ(kResultUnknownCursor, s.send(b.client, TqbOp::TransactionStartWith,
                                           EncodeTransactionStartWith(b.db, false, {a.cursor}))
                                        .ErrorCode)
        << "and the cursors of a stream";
    EXPECT_EQ(kResultUnknownClient,
              s.send(b.client, TqbOp::AliasModify,
                     request(TqbRequestWriter(TqbOp::AliasModify).U32(a.client).Str("x").Str("y").Str("")))
                  .ErrorCode);
    EXPECT_EQ((std::vector<std::string>{"Ann"}), a.walk()) << "a's table as a left it";

    // A client that is not logged in is refused; a removed one loses its handles.
    EXPECT_EQ(kResultUnknownClient, s.send(0x12345, TqbOp::CursorSetToBegin, EncodeU32(a.cursor)).ErrorCode);
    EXPECT_EQ(0, s.disp.RemoveClient(b.client));
    EXPECT_EQ(0u, s.disp.HandleCount(b.client));
    EXPECT_EQ(kResultUnknownClient, s.send(b.client, TqbOp::CursorSetToBegin, EncodeU32(b.cursor)).ErrorCode);
    EXPECT_EQ(kResultUnknownClient, s.disp.RemoveClient(b.client));
}

// A removed session takes its databases and their cursors along; the client keeps the rest.
TEST(ServerDecoder, ASessionsRemovalTakesWhatLivedInIt) {
    Server s;
    Remote a(s, true);
    const TqbHandle second =
        s.okU32(a.client, TqbOp::SessionAdd, request(TqbRequestWriter(TqbOp::SessionAdd).U32(1000)));
    ASSERT_EQ(4u, s.disp.HandleCount(a.client)) << "two sessions, the database and the cursor";
    s.ok(a.client, TqbOp::SessionRemove, request(TqbRequestWriter(TqbOp::SessionRemove).U32(a.session)));
    EXPECT_EQ(1u, s.disp.HandleCount(a.client)) << "only the other session is left";
    EXPECT_EQ(kResultUnknownCursor, s.send(a.client, TqbOp::CursorSetToBegin, EncodeU32(a.cursor)).ErrorCode);
    EXPECT_EQ(kResultUnknownDatabase,
              s.send(a.client, TqbOp::TableExists,
                     request(TqbRequestWriter(TqbOp::TableExists).U32(a.db).Str("contacts")))
                  .ErrorCode);
    s.ok(a.client, TqbOp::SessionSetCurrent, request(TqbRequestWriter(TqbOp::SessionSetCurrent).U32(second)));
}

// An alias the server's administrator set on the configuration folder opens nothing for a remote
// client; the engine's own clients still open it.
TEST(ServerDecoder, AnAliasOfTheConfigurationFolderIsRefused) {
    Server s;
    const TqbHandle client = s.login();
    ASSERT_EQ(0, s.api.engine->AliasAdd("config", s.api.dir.file("cfg"), client));
    TqbDispatchResult r = s.send(
        client, TqbOp::DatabaseOpen,
        request(
            TqbRequestWriter(TqbOp::DatabaseOpen).Str("CONFIG").U8(qbomReadOnly).U8(qbsmShared).U32(1000)));
    EXPECT_EQ(8449, r.ErrorCode);
    EXPECT_EQ(0u, s.disp.HandleCount(client));
    const std::string line = "refused the configuration folder as a database: " + s.api.dir.file("cfg");
    const auto lines = s.api.log->Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(line) != std::string::npos; }));
    TqbHandle db = 0;
    EXPECT_EQ(0, s.api.engine->DatabaseOpen(client, "config", qbomReadOnly, qbsmShared, 1000, db));
}

TEST(ServerDecoder, TransportMessagesAndUnknownOnes) {
    Server s;
    TqbHandle client = s.login();
    TqbDispatchResult key = s.disp.Dispatch(client, kMsgKeyCheck, {});
    EXPECT_TRUE(key.Handled);
    EXPECT_EQ(0, key.ErrorCode);
    EXPECT_FALSE(s.disp.Dispatch(client, kMsgLogin, Bytes(72)).Handled) << "the transport answers the login";
    EXPECT_FALSE(s.disp.Dispatch(client, 4242, {}).Handled);
    EXPECT_FALSE(s.disp.Dispatch(client, 2080, Bytes(22)).Handled) << "no request of the operation table";
    bool readOnly = true;
    ASSERT_EQ(0, DecodeBoolReply(TqbOp::GetIsReadOnly, s.ok(client, TqbOp::GetIsReadOnly, {}), readOnly));
    EXPECT_FALSE(readOnly);
    TqbGUID id{};
    ASSERT_EQ(0, DecodeFixedReply(TqbOp::GetServerID, s.ok(client, TqbOp::GetServerID, {}),
                                  std::span(reinterpret_cast<uint8_t*>(&id), sizeof id)));
    TqbServerStatistics stats{};
    ASSERT_EQ(0, DecodeFixedReply(TqbOp::GetServerStatistics, s.ok(client, TqbOp::GetServerStatistics, {}),
                                  std::span(reinterpret_cast<uint8_t*>(&stats), sizeof stats)));
    EXPECT_EQ(1, stats.ClientCount);
}

TEST(ServerDecoder, MalformedRequestsGetAnErrorNotACrash) {
    Server s;
    Remote r(s, true);
    ASSERT_EQ(0, r.insert(contact("Ann", 1)).ErrorCode);
    // Every request one byte short of its record, and every handle-bearing one with a forged handle.
    for (const TqbOpDesc& d : OperationTable()) {
        if (d.RequestKind == TqbRequestKind::Transport) continue;
        SCOPED_TRACE(d.Name);
        if (d.RequestKind == TqbRequestKind::Stream || d.FixedSize > 0) {
            Bytes shortReq(d.RequestKind == TqbRequestKind::Stream ? 3 : d.FixedSize - 1, 0);
            TqbDispatchResult res = s.send(r.client, d.Op, shortReq);
            EXPECT_EQ(kResultMessageUnrecognized, res.ErrorCode);
            EXPECT_TRUE(res.Reply.empty());
        }
    }
    // Lengths that lie about what follows.
    Bytes insert = request(TqbRequestWriter(TqbOp::RecordInsert)
                               .U32(r.cursor)
                               .U32(r.len)
                               .U32(0)
                               .U8(0)
                               .Tail(r.rec(contact("Zed", 1))));
    plat::StoreLE32(insert.data() + 4, r.len + 1);
    EXPECT_EQ(kResultMessageUnrecognized, s.send(r.client, TqbOp::RecordInsert, insert).ErrorCode);
    // A record length the engine's buffer rule refuses: shorter than the cursor's records.
    EXPECT_NE(0, s.send(r.client, TqbOp::RecordGetNext,
                        request(TqbRequestWriter(TqbOp::RecordGetNext).U32(r.cursor).U32(3).U32(0).U8(0)))
                     .ErrorCode);
    EXPECT_EQ(
        kResultMessageUnrecognized,
        s.send(r.client, TqbOp::RecordGetBatch,
               request(TqbRequestWriter(TqbOp::RecordGetBatch).U32(r.cursor).I32(0x7FFFFFFF).U32(r.len)))
            .ErrorCode);
    EXPECT_EQ(kResultMessageUnrecognized, s.send(r.client, TqbOp::RecordExtractKey,
                                                 request(TqbRequestWriter(TqbOp::RecordExtractKey)
                                                             .U32(r.cursor)
                                                             .U32(41)
                                                             .Bool(true)
                                                             .Tail(r.rec(contact("x", 1)))))
                                              .ErrorCode)
        << "a record sent with the no-record flag";

    // Random bytes for every message, with the client's own handles in front now and then.
    std::mt19937 rng(1234);
    const uint32_t own[] = {r.cursor, r.db, r.session};
    for (int round = 0; round < 20; ++round) {
        for (const TqbOpDesc& d : OperationTable()) {
            if (d.RequestKind == TqbRequestKind::Transport) continue;
            Bytes b(rng() % (d.FixedSize + 16));
            for (auto& x : b)
                x = uint8_t(rng());
            // Real handles only where random values cannot change the table or wait on a lock.
            static const std::set<TqbOp> readers = {TqbOp::RecordGet,
                                                    TqbOp::RecordGetNext,
                                                    TqbOp::RecordGetPrior,
                                                    TqbOp::RecordGetForKey,
                                                    TqbOp::RecordGetBatch,
                                                    TqbOp::RecordExtractKey,
                                                    TqbOp::CursorSetToKey,
                                                    TqbOp::CursorSetToBookmark,
                                                    TqbOp::CursorGetBookmark,
                                                    TqbOp::CursorCompareBookmarks,
                                                    TqbOp::TableGetRecordCount,
                                                    TqbOp::TableExists,
                                                    TqbOp::TableIsLockedExclusive,
                                                    TqbOp::BLOBRead,
                                                    TqbOp::BLOBGetLength,
                                                    TqbOp::RecordIsLocked,
                                                    TqbOp::TableIsLocked,
                                                    TqbOp::DatabaseGetFreeSpace};
            bool real = rng() % 2 && b.size() >= 4 && readers.count(d.Op);
            if (real) plat::StoreLE32(b.data(), own[rng() % 3]);
            TqbDispatchResult res = s.disp.Dispatch(r.client, d.MsgID, b);
            EXPECT_TRUE(res.Handled);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Ann"}), r.walk()) << "the table as it was";
}

struct WireClient {
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    uint32_t id = 0;

    explicit WireClient(uint16_t port) { StartLoopbackClient(*t, port); }
    TqbResultCode login(const std::string& user, uint32_t hash) {
        return t->EstablishConnection(user, hash, 5000, id);
    }
    TqbResultCode call(TqbOp op, const Bytes& data, Bytes* reply = nullptr) {
        return call(Describe(op).MsgID, data, reply);
    }
    TqbResultCode call(uint32_t msg, const Bytes& data, Bytes* reply = nullptr) {
        return t->Request(0, id, msg, 5000, data.data(), uint32_t(data.size()),
                          [&](uint32_t, TqbResultCode, const uint8_t* d, uint32_t n) {
                              if (reply) reply->assign(d, d + n);
                          });
    }
};

TEST(ServerDecoderOverTCP, ContactsThroughALegacyTransport) {
    WireServer srv;
    WireClient cli(srv.port());
    ASSERT_EQ(0, cli.login("anyone", 0));
    EXPECT_FALSE(srv.disp.AdoptClient(cli.id)) << "the connection's ID is the engine client the login made";

    Bytes reply;
    uint32_t session = 0, db = 0;
    ASSERT_EQ(0, cli.call(TqbOp::SessionAdd, request(TqbRequestWriter(TqbOp::SessionAdd).U32(5000)), &reply));
    ASSERT_EQ(0, DecodeU32Reply(TqbOp::SessionAdd, reply, session));
    ASSERT_EQ(0, cli.call(TqbOp::DatabaseOpenPath,
                          request(TqbRequestWriter(TqbOp::DatabaseOpenPath)
                                      .Str(srv.api.dir.str())
                                      .U8(qbomReadWrite)
                                      .U8(qbsmShared)
                                      .U32(5000)),
                          &reply));
    ASSERT_EQ(0, DecodeU32Reply(TqbOp::DatabaseOpenPath, reply, db));
    Bytes build;
    ASSERT_EQ(0, EncodeTableBuild(db, false, "contacts", engineapi::contactsDictionary(), build));
    ASSERT_EQ(0, cli.call(TqbOp::TableBuild, build));
    ASSERT_EQ(0, cli.call(TqbOp::TableOpen,
                          request(TqbRequestWriter(TqbOp::TableOpen)
                                      .U32(db)
                                      .Str("contacts")
                                      .Str("nameIndex")
                                      .I32(0)
                                      .U8(qbomReadWrite)
                                      .U8(qbsmShared)
                                      .U32(5000)),
                          &reply));
    TqbHandle cursor = 0;
    int32_t index = -1;
    TqbDataDictionary dict;
    ASSERT_EQ(0, DecodeTableOpenReply(reply, cursor, dict, index));
    uint32_t len = uint32_t(dict.RecordLength());
    for (const char* name : {"Zoe", "Adam"}) {
        Bytes rec = engineapi::contactRecord(dict, contact(name, 1));
        ASSERT_EQ(
            0,
            cli.call(
                TqbOp::RecordInsert,
                request(TqbRequestWriter(TqbOp::RecordInsert).U32(cursor).U32(len).U32(0).U8(0).Tail(rec))));
    }
    ASSERT_EQ(0, cli.call(TqbOp::CursorSetToBegin, EncodeU32(cursor)));
    std::vector<std::string> names;
    Bytes record(len);
    while (cli.call(TqbOp::RecordGetNext,
                    request(TqbRequestWriter(TqbOp::RecordGetNext).U32(cursor).U32(len).U32(0).U8(0)),
                    &reply) == 0) {
        ASSERT_EQ(0, DecodeSizedReply(reply, record));
        names.push_back(engineapi::contactOf(dict, record.data()).name);
    }
    EXPECT_EQ((std::vector<std::string>{"Adam", "Zoe"}), names);
    EXPECT_EQ(153, cli.call(4242, {}, &reply));

    // The connection's end removes the engine client and what it left open.
    cli.t->TerminateConnection(cli.id, 5000);
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.api.engine->Counts().Clients == 0; }, 20000));
    EXPECT_EQ(kResultUnknownClient, srv.disp.RemoveClient(cli.id));
}

TEST(ServerDecoderOverTCP, LoginFollowsTheEnginesUsers) {
    WireServer srv(0x0123456);
    {
        WireClient cli(srv.port());
        EXPECT_EQ(kResultUnknownUser, cli.login("bob", 0x0123456)) << "an unknown user";
    }
    {
        WireClient cli(srv.port());
        EXPECT_EQ(kResultUnknownUser, cli.login("ann", 0x0654321)) << "a wrong password fails the key check";
    }
    WireClient cli(srv.port());
    ASSERT_EQ(0, cli.login("ANN", 0x0123456));
    Bytes reply;
    EXPECT_EQ(0, cli.call(TqbOp::SessionAdd, request(TqbRequestWriter(TqbOp::SessionAdd).U32(5000)), &reply));
    EXPECT_EQ(4u, reply.size());
    // The engine client of the refused password went with its connection.
    EXPECT_TRUE(pwtest::waitUntil([&] { return srv.api.engine->Counts().Clients == 1; }, 20000));
}

// The server program as a child process.
struct ServerProcess : pwtest::ChildProcess {
    explicit ServerProcess(std::vector<std::string> args) : ChildProcess(PW_DBSERVER, std::move(args)) {}
};

// Logs in, opens the folder and the contacts table (building it first when asked); the cursor.
TqbHandle openContacts(WireClient& cli, const std::string& folder, bool build, TqbDataDictionary& dict) {
    Bytes reply;
    uint32_t db = 0;
    EXPECT_EQ(0, cli.login("remote", 0));
    EXPECT_EQ(0, cli.call(TqbOp::SessionAdd, request(TqbRequestWriter(TqbOp::SessionAdd).U32(5000))));
    EXPECT_EQ(0,
              cli.call(TqbOp::DatabaseOpenPath,
                       request(TqbRequestWriter(TqbOp::DatabaseOpenPath).Str(folder).U8(1).U8(1).U32(5000)),
                       &reply));
    EXPECT_EQ(0, DecodeU32Reply(TqbOp::DatabaseOpenPath, reply, db));
    if (build) {
        Bytes b;
        EXPECT_EQ(0, EncodeTableBuild(db, false, "contacts", engineapi::contactsDictionary(), b));
        EXPECT_EQ(0, cli.call(TqbOp::TableBuild, b));
    }
    EXPECT_EQ(0, cli.call(TqbOp::TableOpen,
                          request(TqbRequestWriter(TqbOp::TableOpen)
                                      .U32(db)
                                      .Str("contacts")
                                      .Str("nameIndex")
                                      .I32(0)
                                      .U8(1)
                                      .U8(1)
                                      .U32(5000)),
                          &reply));
    TqbHandle cursor = 0;
    int32_t index = 0;
    EXPECT_EQ(0, DecodeTableOpenReply(reply, cursor, dict, index));
    return cursor;
}

TEST(ServerProgram, ServesAFolderAndKeepsItsRecordsOverARestart) {
    pwtest::TempDir dir;
    {
        ServerProcess srv({dir.str(), "0"});
        ASSERT_GT(srv.pid, 0);
        uint16_t port = srv.port();
        ASSERT_NE(0, port) << srv.text;
        {
            WireClient cli(port);
            TqbDataDictionary dict;
            TqbHandle cursor = openContacts(cli, dir.str(), true, dict);
            Bytes rec = engineapi::contactRecord(dict, contact("Ann", 3));
            ASSERT_EQ(0, cli.call(TqbOp::RecordInsert, request(TqbRequestWriter(TqbOp::RecordInsert)
                                                                   .U32(cursor)
                                                                   .U32(uint32_t(rec.size()))
                                                                   .U32(0)
                                                                   .U8(0)
                                                                   .Tail(rec))));
            cli.t->TerminateConnection(cli.id, 5000);
        }
        EXPECT_EQ(0, srv.stop());
    }
    ServerProcess srv({dir.str(), "0"});
    uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    WireClient cli(port);
    TqbDataDictionary dict;
    TqbHandle cursor = openContacts(cli, dir.str(), false, dict);
    Bytes reply, record(size_t(dict.RecordLength()));
    ASSERT_EQ(
        0,
        cli.call(
            TqbOp::RecordGetNext,
            request(
                TqbRequestWriter(TqbOp::RecordGetNext).U32(cursor).U32(uint32_t(record.size())).U32(0).U8(0)),
            &reply));
    ASSERT_EQ(0, DecodeSizedReply(reply, record));
    EXPECT_EQ("Ann", engineapi::contactOf(dict, record.data()).name);
    EXPECT_EQ(3, engineapi::contactOf(dict, record.data()).service);
    cli.t->TerminateConnection(cli.id, 5000);
    EXPECT_EQ(0, srv.stop());

    ServerProcess wrong({dir.str(), "port"});
    EXPECT_EQ(2, wrong.wait());
    ServerProcess missing({dir.file("nothing-here"), "0"});
    EXPECT_EQ(1, missing.wait());
}

TEST(ServerProgram, AClientWaitingForALockHoldsUpNoOther) {
    pwtest::TempDir dir;
    ServerProcess srv({dir.str(), "0", "--log-requests"});
    uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    WireClient a(port), b(port);
    TqbDataDictionary dict;
    TqbHandle ca = openContacts(a, dir.str(), true, dict);
    TqbHandle cb = openContacts(b, dir.str(), false, dict);
    const uint32_t len = uint32_t(dict.RecordLength());
    Bytes rec = engineapi::contactRecord(dict, contact("Ann", 1));
    ASSERT_EQ(0,
              a.call(TqbOp::RecordInsert,
                     request(TqbRequestWriter(TqbOp::RecordInsert).U32(ca).U32(len).U32(0).U8(0).Tail(rec))));
    auto lockFirst = [&](WireClient& c, TqbHandle cursor) {
        EXPECT_EQ(0, c.call(TqbOp::CursorSetToBegin, EncodeU32(cursor)));
        return c.call(
            TqbOp::RecordGetNext,
            request(TqbRequestWriter(TqbOp::RecordGetNext).U32(cursor).U32(len).U32(0).U8(qbltWrite)));
    };
    ASSERT_EQ(0, lockFirst(a, ca));
    // b asks for the record a holds (waiting up to its cursor's 5 s); once the server has b's
    // request, a lets the record go, which only a server that serves a meanwhile can take in.
    TqbResultCode bResult = -1;
    std::thread waiter([&] { bResult = lockFirst(b, cb); });
    EXPECT_TRUE(srv.waitFor("Clnt " + std::to_string(b.id) + ", Msg 2049,")) << srv.text;
    EXPECT_EQ(0, a.call(TqbOp::RecordReleaseLock,
                        request(TqbRequestWriter(TqbOp::RecordReleaseLock).U32(ca).Bool(true))));
    waiter.join();
    EXPECT_EQ(0, bResult) << "b got the record a let go while b waited";
    a.t->TerminateConnection(a.id, 5000);
    b.t->TerminateConnection(b.id, 5000);
    EXPECT_EQ(0, srv.stop());
}

TEST(ServerProgram, ServesOverTheSingleUserProtocol) {
    pwtest::TempDir data, messages;
    plat::SetProcessMessageFolder(messages.str());
    ServerProcess srv(
        {data.str(), "0", "--single-user", "--name", "local", "--message-folder", messages.str()});
    ASSERT_GT(srv.pid, 0);
    ASSERT_TRUE(srv.waitFor("listening single-user as local\n")) << srv.text;
    TqbOwned<TqbLegacyTransport> t(new TqbLegacyTransport);
    t->SetProtocol(ptSingleUser);
    t->SetState(qbsStarted);
    uint32_t id = 0;
    ASSERT_EQ(0, t->EstablishConnection("remote", 0, 20000, id));
    Bytes req, reply;
    ASSERT_EQ(0, TqbRequestWriter(TqbOp::SessionAdd).U32(5000).Finish(req));
    ASSERT_EQ(0, t->Request(
                     0, id, Describe(TqbOp::SessionAdd).MsgID, 5000, req.data(), uint32_t(req.size()),
                     [&](uint32_t, TqbResultCode, const uint8_t* d, uint32_t n) { reply.assign(d, d + n); }));
    EXPECT_EQ(4u, reply.size());
    t->TerminateConnection(id, 5000);
    t->SetState(qbsInactive);
    EXPECT_EQ(0, srv.stop());
}

TEST(ServerDecoder, RequestFuzzCorpusRunsClean) {
    pwfuzz::Replay(pwfuzz::Corpus("remote_request"), pwfuzz::RunRemoteRequests, 20);
    pwfuzz::EndWorld();
}

} // namespace
