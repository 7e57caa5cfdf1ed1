// The database server program as its users meet it: a stop while clients wait for locks, logins of
// unknown users, and its configuration tables kept out of every client's reach.
#include "db/remote/qbclreng.h"

#include "db/base/qbhash.h"

#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/remote/WireServer.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <signal.h>
#include <sys/wait.h>

namespace {

// The server program on a data folder, its configuration in a folder of its own.
struct Server : pwtest::ChildProcess {
    explicit Server(const std::string& data, const std::string& config, std::vector<std::string> more = {})
        : ChildProcess(PW_DBSERVER, args(data, config, std::move(more))) {}
    static std::vector<std::string> args(const std::string& data, const std::string& config,
                                         std::vector<std::string> more) {
        std::vector<std::string> a{data, "0"};
        if (!config.empty()) a.insert(a.end(), {"--config-folder", config});
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    // The exit status, or -1 when the program has not ended within ms (it is then killed).
    int exitWithin(int ms) {
        int status = 0;
        const bool ended = pwtest::waitUntil(
            [&] {
                read(0);
                return waitpid(pid, &status, WNOHANG) == pid;
            },
            ms);
        if (!ended) return -1;
        pid = -1;
        // What it wrote last, up to the pipe's end.
        for (int i = 0; i < 1000 && read(10);)
            ++i;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Whether what was written again after the first Offset bytes (waiting up to a minute).
    bool waitForAfter(const std::string& what, size_t offset) {
        return pwtest::waitUntil(
                   [&] { return !read(100) || text.find(what, offset) != std::string::npos; }) &&
               text.find(what, offset) != std::string::npos;
    }
    int stopWithin(int ms) {
        kill(pid, SIGTERM);
        return exitWithin(ms);
    }
};

// A remote engine with a client and a session, logged in to the server program.
struct Remote {
    TqbOwned<TqbLegacyTransport> t{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> e{new TQBRemoteServerEngine};
    TqbHandle client = 0, session = 0;
    TqbResultCode login = -1;

    explicit Remote(uint16_t port, const std::string& user = "remote", uint32_t hash = 0) {
        StartLoopbackClient(*t, port);
        e->SetTransport(t.get());
        login = e->ClientAdd(client, "remote", user, 5000, hash);
        if (login == 0) {
            EXPECT_EQ(0, e->SessionAdd(client, 5000, session));
        }
    }
    TqbHandle open(const std::string& folder) {
        TqbHandle db = 0;
        EXPECT_EQ(0, e->DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, 5000, db));
        return db;
    }
};

} // namespace

TEST(ServerProgramStop, EndsTheLockWaitsAtOnceAndLogsNothingMisleading) {
    pwtest::TempDir data, config;
    Server srv(data.str(), config.str(), {"--log-requests"});
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    Remote a(port), b(port);
    ASSERT_EQ(0, a.login);
    ASSERT_EQ(0, b.login);
    const TqbHandle dbA = a.open(data.str()), dbB = b.open(data.str());
    TqbDataDictionary built = engineapi::contactsDictionary();
    ASSERT_EQ(0, a.e->TableBuild(dbA, false, "contacts", false, built));
    // b would wait a minute for the record: far longer than the stop may take.
    TqbHandle ca = 0, cb = 0;
    ASSERT_EQ(0, a.e->TableOpen(dbA, "contacts", false, "", 0, qbomReadWrite, qbsmShared, 5000, ca, nullptr));
    ASSERT_EQ(0,
              b.e->TableOpen(dbB, "contacts", false, "", 0, qbomReadWrite, qbsmShared, 60000, cb, nullptr));
    const TqbDataDictionary dict = engineapi::contactsDictionary();
    ASSERT_EQ(0, a.e->RecordInsert(ca, qbltNone, engineapi::contactRecord(dict, WireContact("Ann", 1))));
    std::vector<uint8_t> ra(size_t(dict.RecordLength())), rb(ra.size());
    ASSERT_EQ(0, a.e->CursorSetToBegin(ca));
    ASSERT_EQ(0, a.e->RecordGetNext(ca, qbltWrite, ra));
    ASSERT_EQ(0, b.e->CursorSetToBegin(cb));
    auto waiting = std::async(std::launch::async, [&] { return b.e->RecordGetNext(cb, qbltWrite, rb); });
    // Once the server logged b's request (the one with b's time-out), b waits for a's lock.
    ASSERT_TRUE(srv.waitFor("Msg 2049, Len 13, Tmout 60000")) << srv.text;
    ASSERT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0)));

    // Within 8 s: a stop that waits for b's minute-long lock wait, or the engine's 10 s for clients
    // to leave that the stopped transport can no longer remove, ends only after them.
    EXPECT_EQ(0, srv.stopWithin(8000)) << srv.text;
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(30)));
    // The stopping error; the connection's end only when b's request, logged on arrival, was not
    // yet at work as the transport stopped.
    const TqbResultCode ended = waiting.get();
    EXPECT_TRUE(ended == kResultNotStarted || ended == qbErrConnectionLost) << ended;
    EXPECT_EQ(std::string::npos, srv.text.find("must be started")) << srv.text;
    EXPECT_EQ(std::string::npos, srv.text.find("/1286]")) << srv.text;
}

TEST(ServerProgramConfiguration, IsKeptApartAndItsTablesAreRefusedToRemoteClients) {
    pwtest::TempDir data, config;
    {
        Server srv(data.str(), config.str());
        const uint16_t port = srv.port();
        ASSERT_NE(0, port) << srv.text;
        EXPECT_TRUE(std::filesystem::exists(config.path() / "QBSUSER.QB2"));
        EXPECT_FALSE(std::filesystem::exists(data.path() / "QBSUSER.QB2")) << "not among the served tables";
        Remote r(port);
        ASSERT_EQ(0, r.login);
        TqbHandle cursor = 0;
        const TqbHandle db = r.open(data.str());
        EXPECT_EQ(8449, r.e->TableOpen(db, "QBSUSER", false, "", 0, qbomReadOnly, qbsmShared, 5000, cursor,
                                       nullptr));
        EXPECT_EQ(8449, r.e->TableDelete(db, "QBSUSER"));
        // The server's own saves still work: an alias it keeps across a restart.
        EXPECT_EQ(0, r.e->AliasAdd("served", data.str(), r.client));
        EXPECT_EQ(0, r.e->ClientRemove(r.client));
        EXPECT_EQ(0, srv.stopWithin(30000)) << srv.text;
    }
    Server srv(data.str(), config.str());
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    Remote r(port);
    ASSERT_EQ(0, r.login);
    std::string path;
    EXPECT_EQ(0, r.e->AliasGetPath("served", r.client, path));
    EXPECT_FALSE(path.empty());
    EXPECT_EQ(0, r.e->ClientRemove(r.client));
    EXPECT_EQ(0, srv.stopWithin(30000)) << srv.text;

    // Without the option the tables go into a folder of their own inside the served one, which
    // only the server's user may read; a named folder that does not exist stops the start.
    pwtest::TempDir plain;
    {
        Server byDefault(plain.str(), "");
        ASSERT_NE(0, byDefault.port()) << byDefault.text;
        EXPECT_TRUE(std::filesystem::exists(plain.path() / ".pwdbserver" / "QBSUSER.QB2"));
        EXPECT_FALSE(std::filesystem::exists(plain.path() / "QBSUSER.QB2"));
        EXPECT_EQ(std::filesystem::perms::owner_all,
                  std::filesystem::status(plain.path() / ".pwdbserver").permissions() &
                      std::filesystem::perms::all);
        EXPECT_EQ(0, byDefault.stopWithin(30000));
    }
    Server missing(plain.str(), plain.file("nowhere"));
    EXPECT_EQ(1, missing.exitWithin(30000)) << missing.text;
}

// The configuration folder is no remote client's database, by whatever name it is given; the key
// procedures' table (which names libraries the server loads) is refused as the other system tables.
TEST(ServerProgramConfiguration, ItsFolderAndTheKeyProceduresTableAreRefusedToRemoteClients) {
    pwtest::TempDir data, apart;
    std::filesystem::create_directory(data.path() / "sub");
    std::filesystem::create_directory_symlink(apart.path(), data.path() / "link");
    auto backslashed = [](std::string p) {
        std::replace(p.begin(), p.end(), '/', '\\');
        return p;
    };
    for (const bool byDefault : {true, false}) {
        SCOPED_TRACE(byDefault ? "default configuration folder" : "--config-folder");
        Server srv(data.str(), byDefault ? "" : apart.str());
        const uint16_t port = srv.port();
        ASSERT_NE(0, port) << srv.text;
        const std::string config = byDefault ? data.file(".pwdbserver") : apart.str();
        ASSERT_TRUE(std::filesystem::exists(config + "/QBSUSER.QB2"));
        Remote r(port);
        ASSERT_EQ(0, r.login);
        std::vector<std::string> names{config, config + "/", config + "//", backslashed(config),
                                       config + "/../" + std::filesystem::path(config).filename().string()};
        if (byDefault)
            names.push_back(data.file("sub") + "/.././.pwdbserver/");
        else
            names.push_back(data.file("link"));
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            TqbHandle db = 0;
            EXPECT_EQ(8449, r.e->DatabaseOpenPath(r.client, name, qbomReadWrite, qbsmShared, 5000, db));
            EXPECT_EQ(8449, r.e->AliasAdd("cfg", name, r.client));
            EXPECT_EQ(8449, r.e->AliasModify(r.client, "served", "", name));
        }
        // A spelling in another case is another folder here, and none.
        TqbHandle none = 0;
        EXPECT_NE(0, r.e->DatabaseOpenPath(r.client, byDefault ? data.file(".PWDBSERVER") : config + "X",
                                           qbomReadWrite, qbsmShared, 5000, none));
        EXPECT_TRUE(srv.waitFor("refused the configuration folder as a database: " + config)) << srv.text;
        std::string path;
        EXPECT_EQ(0, r.e->AliasGetPath("cfg", r.client, path));
        EXPECT_EQ("", path) << "no alias was made";

        // The served folder and its other folders open; the key procedures' table is no table there.
        const TqbHandle db = r.open(data.str());
        ASSERT_NE(0u, db);
        TqbHandle sub = 0;
        EXPECT_EQ(0, r.e->DatabaseOpenPath(r.client, data.file("sub"), qbomReadWrite, qbsmShared, 5000, sub));
        for (const char* name : {"QBSINDEX", "qbsindex", "SAVINDEX", "XXSINDEX"}) {
            SCOPED_TRACE(name);
            TqbDataDictionary built = engineapi::contactsDictionary();
            EXPECT_EQ(8449, r.e->TableBuild(db, false, name, false, built));
            TqbHandle cursor = 0;
            EXPECT_EQ(8449, r.e->TableOpen(db, name, false, "", 0, qbomReadWrite, qbsmShared, 5000, cursor,
                                           nullptr));
            EXPECT_EQ(8449, r.e->TableDelete(db, name));
        }
        TqbDataDictionary built = engineapi::contactsDictionary();
        ASSERT_EQ(0, r.e->TableBuild(db, false, "keys", false, built));
        EXPECT_EQ(8449, r.e->TableRename(db, "keys", "QBSINDEX"));
        EXPECT_FALSE(std::filesystem::exists(data.path() / "QBSINDEX.QB2"));
        EXPECT_FALSE(std::filesystem::exists(config + "/QBSINDEX.QB2"));
        EXPECT_EQ(0, r.e->TableDelete(db, "keys"));
        EXPECT_EQ(0, r.e->ClientRemove(r.client));
        EXPECT_EQ(0, srv.stopWithin(30000)) << srv.text;
    }
    // Served, the configuration folder would open to no client: the server does not start on it.
    for (const std::string& config : {data.str(), data.str() + "/", data.file("sub") + "/.."}) {
        Server same(data.str(), config);
        EXPECT_EQ(1, same.exitWithin(30000)) << same.text;
        EXPECT_NE(same.text.find("the configuration folder cannot be the served folder"), std::string::npos)
            << same.text;
    }
}

TEST(ServerProgramLogin, AnUnknownUserIsLoggedAsAWrongPasswordIs) {
    pwtest::TempDir data, config;
    const std::string users = data.file("users.txt");
    {
        std::ofstream f(users);
        f << "ann:secret\n";
    }
    Server srv(data.str(), config.str(), {"--users", users});
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    {
        Remote wrong(port, "ann", HashShStr("guess"));
        EXPECT_EQ(10036, wrong.login);
    }
    ASSERT_TRUE(srv.waitFor("Hanging up due to bad client password")) << srv.text;
    const size_t before = srv.text.size();
    {
        Remote unknown(port, "nobody", HashShStr("secret"));
        EXPECT_EQ(10036, unknown.login);
    }
    Remote ann(port, "ann", HashShStr("secret"));
    EXPECT_EQ(0, ann.login) << "the server goes on after both";
    EXPECT_TRUE(srv.waitForAfter("Hanging up due to bad client password", before)) << srv.text;
    EXPECT_EQ(0, ann.e->ClientRemove(ann.client));
    EXPECT_EQ(0, srv.stopWithin(30000)) << srv.text;
}
