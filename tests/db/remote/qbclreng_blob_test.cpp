// BLOB reads and writes through the remote engine over loopback TCP to a served engine, from one
// byte to several megabytes, with sizes on each side of every part boundary of the request and of
// the reply.
#include "db/remote/qbclreng.h"
#include "tests/db/remote/WireServer.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

namespace {

using Bytes = std::vector<uint8_t>;

// The remote engine on a served engine in this process, or on the server program.
struct BlobWorld {
    std::unique_ptr<WireServer> srv;
    pwtest::TempDir dir;
    std::unique_ptr<pwtest::ChildProcess> program;
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> remote{new TQBRemoteServerEngine};
    TqbHandle client = 0, session = 0, db = 0, cursor = 0;

    explicit BlobWorld(bool serverProgram) {
        uint16_t port = 0;
        std::string folder = dir.str();
        if (serverProgram) {
            program =
                std::make_unique<pwtest::ChildProcess>(PW_DBSERVER, std::vector<std::string>{folder, "0"});
            port = program->port();
            EXPECT_NE(0, port) << program->text;
        } else {
            srv = std::make_unique<WireServer>();
            port = srv->port();
            folder = srv->api.dir.str();
        }
        StartLoopbackClient(*t, port);
        remote->SetTransport(t.get());
        uint32_t hash = 0;
        EXPECT_EQ(0, remote->ClientAdd(client, "b", "b", 10000, hash));
        EXPECT_EQ(0, remote->SessionAdd(client, 10000, session));
        EXPECT_EQ(0, remote->DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, 10000, db));
        TqbServerDataDict docs;
        docs.SetTableName("docs");
        docs.AddField("title", "", qbtShortString, 20, 0, true);
        docs.AddField("body", "", qbtBLOB, 0, 0, false);
        EXPECT_EQ(0, remote->TableBuild(db, false, "docs", false, docs));
        EXPECT_EQ(0, remote->TableOpen(db, "docs", false, "", 0, qbomReadWrite, qbsmShared, 10000, cursor,
                                       nullptr));
    }
    ~BlobWorld() {
        remote->ClientRemove(client);
        remote->SetTransport(nullptr);
        t->SetState(qbsInactive);
        if (program) {
            EXPECT_EQ(0, program->stop());
        }
    }
};

Bytes pattern(size_t n, unsigned salt) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t((i * 131 + i / 251 + salt) & 0xFF);
    return b;
}

// Sizes on each side of the boundaries where a message needs one more part: k parts carry
// k * (part size - header) data bytes; a BLOBRead reply holds 4 bytes before the BLOB's, a BLOBWrite
// request 20.
std::vector<uint32_t> boundarySizes() {
    const uint32_t room = qbMaxMsgSizeSockets - qbMsgHeaderSize;
    std::set<uint32_t> s = {1, 2, 88000, 89000, 100000, 1000000, 3u << 20};
    for (uint32_t k = 1; k <= 6; ++k)
        for (uint32_t head : {4u, 20u})
            for (int d = -1; d <= 1; ++d)
                s.insert(uint32_t(int64_t(k * room - head) + d));
    return {s.begin(), s.end()};
}

class RemoteBLOB : public testing::TestWithParam<bool> {};

TEST_P(RemoteBLOB, ReadsAndWritesOfEverySizeComeBackWhole) {
    BlobWorld w(GetParam());
    for (uint32_t size : boundarySizes()) {
        SCOPED_TRACE(size);
        uint64_t nr = 0;
        ASSERT_EQ(0, w.remote->BLOBCreate(w.cursor, nr));
        const Bytes data = pattern(size, size);
        ASSERT_EQ(0, w.remote->BLOBWrite(w.cursor, nr, 0, data));
        uint32_t length = 0;
        ASSERT_EQ(0, w.remote->BLOBGetLength(w.cursor, nr, length));
        ASSERT_EQ(size, length);
        // The whole BLOB in one read, quickly (a stalled reply would wait for the request's time-out).
        Bytes back(size + 16, 0xEE);
        uint32_t got = 0;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, w.remote->BLOBRead(w.cursor, nr, 0, back, got));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        ASSERT_EQ(size, got);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
        EXPECT_EQ(0xEE, back[size]) << "nothing written past what was read";
        // A read from inside the BLOB gets its rest.
        const uint32_t offset = size / 3;
        ASSERT_EQ(0, w.remote->BLOBRead(w.cursor, nr, offset, back, got));
        ASSERT_EQ(size - offset, got);
        EXPECT_TRUE(std::equal(data.begin() + offset, data.end(), back.begin()));
        ASSERT_EQ(0, w.remote->BLOBFree(w.cursor, nr, false));
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteBLOB, testing::Values(false, true),
                         [](const auto& i) { return i.param ? "ServerProgram" : "InProcess"; });

} // namespace
