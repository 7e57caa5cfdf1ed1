// The server program killed (SIGKILL) while a remote client builds tables, then started again: every
// build it acknowledged is whole, the one it was cut in is absent or whole and can be made again, and
// no table file is left without its dictionary. A table file with a header only is named whole in
// the server's log, and a delete that removes it answers 0.
#include "db/engine/qbsrfold.h"
#include "db/remote/qbclreng.h"
#include "db/storage/qbtbdata.h"
#include "platform/ByteCodec.h"

#include "tests/db/engine/EngineTestSupport.h"
#include "tests/db/remote/WireServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

namespace {

// A name indexed in an index file of its own, a city and a unique code in the data file.
TqbServerDataDict peopleDictionary() {
    return enginetest::peopleDictionary(3, true);
}

std::string tableName(int i) {
    char b[8];
    std::snprintf(b, sizeof b, "T%03d", i);
    return b;
}

struct Server : pwtest::ChildProcess {
    Server(const std::string& data, const std::string& config)
        : ChildProcess(PW_DBSERVER, {data, "0", "--config-folder", config}) {}
};

// A remote client of the server at port with the folder open as its database.
struct Remote {
    TqbOwned<TqbLegacyTransport> transport{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> engine{new TQBRemoteServerEngine};
    TqbHandle client = 0, session = 0, db = 0;
    TqbResultCode opened = -1;

    Remote(uint16_t port, const std::string& folder) {
        StartLoopbackClient(*transport, port);
        engine->SetTransport(transport.get());
        uint32_t hash = 0;
        opened = engine->ClientAdd(client, "builder", "", 10000, hash);
        if (!opened) opened = engine->SessionAdd(client, 10000, session);
        if (!opened) opened = engine->DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, 10000, db);
    }
    ~Remote() {
        engine->SetTransport(nullptr);
        transport->SetState(qbsInactive);
    }
    // 0 with the table's dictionary as built, 10024 when it is not there, else what was wrong.
    TqbResultCode check(const std::string& name) {
        TqbHandle c = 0;
        cls::TMemoryStream s;
        const TqbResultCode rc =
            engine->TableOpen(db, name, false, "", 0, qbomReadWrite, qbsmShared, 10000, c, &s);
        if (rc) return rc;
        const TqbServerDataDict want = peopleDictionary();
        TqbServerDataDict got;
        cls::TMemoryStream d;
        TqbResultCode result = engine->TableGetDictionary(db, name, d);
        if (!result) {
            got.ReadFromStream(std::string_view(reinterpret_cast<const char*>(d.Memory()), size_t(d.Size())));
            if (got.FieldCount() != want.FieldCount() || got.IndexCount() != want.IndexCount() ||
                got.FileCount() != want.FileCount())
                result = -2;
        }
        int32_t count = -1;
        if (!result && (engine->TableGetRecordCount(c, count) != 0 || count != 0)) result = -3;
        engine->CursorClose(c);
        return result;
    }
};

// Table files of the folder whose header names no dictionary, and what a make or a swap leaves
// when it is not settled.
std::vector<std::string> broken(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("_", 0) == 0 || n.find(".SWAP") != std::string::npos) out.push_back(n);
        if (e.path().extension() != ".QB2") continue;
        const std::string bytes = pwtest::readFile(e.path().string());
        if (bytes.size() < kHdrDictBlock + 4 ||
            plat::LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + kHdrDictBlock) == 0)
            out.push_back(n + " without a dictionary");
    }
    return out;
}

int killRounds() {
    const char* s = std::getenv("PW_SERVER_BUILD_KILLS");
    return s ? std::max(1, std::atoi(s)) : 4;
}

TEST(ServerProgramKilled, DuringRemoteBuildsLeavesEveryTableAbsentOrWholeAndMakeableAgain) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> after(0, 6);
    int acknowledged = 0, inFlight = 0, inFlightAbsent = 0, inFlightWhole = 0;
    const int rounds = killRounds();
    for (int round = 0; round < rounds; ++round) {
        pwtest::TempDir data, apart;
        const std::string config = apart.str(); // the server keeps it apart from what it serves
        std::atomic<int> acked{0}, tried{0};
        {
            Server srv(data.str(), config);
            const uint16_t port = srv.port();
            ASSERT_NE(0, port) << srv.text;
            Remote r(port, data.str());
            ASSERT_EQ(0, r.opened);
            std::atomic<bool> stop{false};
            auto builds = std::async(std::launch::async, [&] {
                TqbServerDataDict d = peopleDictionary();
                while (!stop) {
                    tried++;
                    if (r.engine->TableBuild(r.db, false, tableName(tried), false, d) != 0) return;
                    acked++;
                }
            });
            // Killed as the build after a few acknowledged ones is asked for: it is then on its way
            // or running in the server.
            const int want = after(rng);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (tried <= want && builds.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            ::kill(srv.pid, SIGKILL);
            srv.wait();
            stop = true;
            ASSERT_EQ(std::future_status::ready, builds.wait_for(std::chrono::seconds(60)));
        }
        const std::string what = "round " + std::to_string(round) + ", " + std::to_string(acked) +
                                 " builds acknowledged of " + std::to_string(tried);
        Server srv(data.str(), config);
        const uint16_t port = srv.port();
        ASSERT_NE(0, port) << srv.text;
        EXPECT_EQ(broken(data.str()), std::vector<std::string>()) << what;
        Remote r(port, data.str());
        ASSERT_EQ(0, r.opened) << what;
        for (int i = 1; i <= acked; ++i)
            EXPECT_EQ(0, r.check(tableName(i))) << tableName(i) << ", " << what;
        acknowledged += acked;
        if (tried > acked) {
            ++inFlight;
            const std::string cut = tableName(tried);
            const TqbResultCode rc = r.check(cut);
            EXPECT_TRUE(rc == 0 || rc == 10024) << cut << " answered " << rc << ", " << what;
            (rc == 0 ? inFlightWhole : inFlightAbsent)++;
            TqbServerDataDict d = peopleDictionary();
            // Made again when it is not there; a whole one is refused as there.
            EXPECT_EQ(rc == 0 ? 13060 : 0, r.engine->TableBuild(r.db, false, cut, false, d)) << what;
            EXPECT_EQ(0, r.check(cut)) << what;
        }
        EXPECT_EQ(srv.stop(), 0) << srv.text;
        if (HasFailure()) return;
    }
    std::printf(
        "%d kills: %d builds acknowledged and whole; %d kills inside a build: %d left no table, %d the "
        "whole one\n",
        rounds, acknowledged, inFlight, inFlightAbsent, inFlightWhole);
}

// A table file with a header and no dictionary: the open is refused and the server's log names the
// file whole; the delete that removes it answers 0.
TEST(ServerProgramKilled, AHeaderOnlyTableIsNamedWholeAndItsDeleteSucceeds) {
    pwtest::TempDir top, config;
    // A path longer than a table name may be.
    const std::string data = top.file("tables-served-to-the-front-desk");
    ASSERT_TRUE(std::filesystem::create_directory(data));
    const std::string file = CanonicalFolderPath(data) + "/T07.QB2";
    CreateTableFile(file, peopleDictionary(), false);
    Server srv(data, config.str());
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    Remote r(port, data);
    ASSERT_EQ(0, r.opened);
    EXPECT_EQ(9992, r.check("T07"));
    EXPECT_TRUE(srv.waitFor("The data dictionary is not present in the file [" + file + "]")) << srv.text;
    EXPECT_EQ(0, r.engine->TableDelete(r.db, "T07"));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(10024, r.engine->TableDelete(r.db, "T07"));
    EXPECT_EQ(srv.stop(), 0) << srv.text;
}

} // namespace
