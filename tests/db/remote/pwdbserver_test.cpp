// The server program under more remote writers of one table than it runs requests at once: every
// transaction commits, none waits out its lock time-out behind requests that wait for its locks.
// Its threads are given back once waiting clients are served. And the check that fails a test whose
// child process reported a sanitizer error.
#include "tests/db/remote/RemoteWriters.h"
#include "tests/db/remote/WireServer.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Kills the server when the writers are not done in time, which ends their waits.
pwremote::WritersOutcome runGuarded(pwtest::ChildProcess& server, uint16_t port, const std::string& folder,
                                    int clients, int transactions, const std::string& tag) {
    auto run = std::async(std::launch::async,
                          [&] { return pwremote::RunWriters(port, folder, clients, transactions, tag); });
    if (run.wait_for(std::chrono::minutes(4)) != std::future_status::ready) {
        ADD_FAILURE() << "the writers did not finish: the server is stopped";
        ::kill(server.pid, SIGKILL);
    }
    return run.get();
}

TEST(ServerProgram, MoreWritersOfOneTableThanPoolThreadsAllCommit) {
    pwtest::TempDir dir;
    pwtest::ChildProcess srv(PW_DBSERVER, {dir.str(), "0"});
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    {
        pwremote::RemoteWriter builder;
        ASSERT_EQ(0, builder.open(port, dir.str(), true));
    }
    // More clients than the server runs requests at once, each holding the table's lock in turn.
    constexpr int kClients = 24, kTransactions = 3;
    const pwremote::WritersOutcome out = runGuarded(srv, port, dir.str(), kClients, kTransactions, "w");
    EXPECT_EQ(0, out.failed()) << out.describe();
    EXPECT_EQ(kClients * kTransactions, out.commits) << out.describe();

    // Every committed row is there once.
    pwremote::RemoteWriter reader;
    ASSERT_EQ(0, reader.open(port, dir.str()));
    EXPECT_EQ(kClients * kTransactions, reader.rowCount());
    EXPECT_EQ(0, srv.stop()) << srv.text;
}

// Remote clients that wait at once for a table lock another client holds, all on one transport;
// each waits on a thread of its own, as a program's users would.
struct LockWaiters {
    TqbOwned<TqbLegacyTransport> transport{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> engine{new TQBRemoteServerEngine};
    // Lock waits of the waiters' tables: longer than any start of them all.
    static constexpr uint32_t kWaitMs = 120000;

    explicit LockWaiters(uint16_t port) {
        StartLoopbackClient(*transport, port);
        engine->SetTransport(transport.get());
    }
    ~LockWaiters() {
        engine->SetTransport(nullptr);
        transport->SetState(qbsInactive);
    }
    // A client with the folder's contacts table open; 0 or the first failure.
    TqbResultCode open(const std::string& folder, TqbHandle& client, TqbHandle& db, TqbHandle& cursor) {
        uint32_t hash = 0;
        TqbHandle session = 0;
        cls::TMemoryStream stream;
        TqbResultCode rc = engine->ClientAdd(client, "waiter", "", kWaitMs, hash);
        if (!rc) rc = engine->SessionAdd(client, kWaitMs, session);
        if (!rc) rc = engine->DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, kWaitMs, db);
        if (!rc)
            rc = engine->TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, kWaitMs,
                                   cursor, &stream);
        return rc;
    }
    // clients clients that each open the table and ask for its read lock while the holder keeps
    // its write lock in a transaction; the holder commits once the server runs them all (a thread
    // each). The server's threads while they wait; the failures of the waiters by code.
    int run(uint16_t port, const std::string& folder, pid_t server, int clients, int fixedThreads,
            std::map<TqbResultCode, int>& failures) {
        TqbHandle holder = 0, holderDb = 0, holderCursor = 0;
        EXPECT_EQ(0, open(folder, holder, holderDb, holderCursor));
        EXPECT_EQ(0, engine->TransactionStart(holderDb, false));
        EXPECT_EQ(0, engine->TableLockAcquire(holderCursor, qbltWrite));
        std::mutex m;
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i)
            threads.emplace_back([&] {
                TqbHandle client = 0, db = 0, cursor = 0;
                TqbResultCode rc = open(folder, client, db, cursor);
                if (!rc) rc = engine->TableLockAcquire(cursor, qbltRead);
                if (!rc) rc = engine->TableLockRelease(cursor, qbltRead, true);
                if (client) engine->ClientRemove(client);
                if (rc) {
                    std::lock_guard g(m);
                    ++failures[rc];
                }
            });
        // Every waiter's request holds a server thread; the bound only guards against a hang.
        int during = 0;
        EXPECT_TRUE(pwtest::waitUntil(
            [&] { return (during = pwtest::threadCount(server)) >= fixedThreads + clients; }, 90000))
            << during << " server threads";
        EXPECT_EQ(0, engine->TransactionCommit(holderDb));
        EXPECT_EQ(0, engine->TableLockRelease(holderCursor, qbltWrite, true));
        for (auto& t : threads)
            t.join();
        engine->ClientRemove(holder);
        return during;
    }
};

// Each request that waits for a lock keeps its server thread; once the waits end, the server is
// back to its fixed threads and its pool's size. And again.
TEST(ServerProgram, ThreadsOfWaitingClientsAreGivenBack) {
    pwtest::TempDir dir;
    pwtest::ChildProcess srv(PW_DBSERVER, {dir.str(), "0"});
    const uint16_t port = srv.port();
    ASSERT_NE(0, port) << srv.text;
    // No request has run yet: the pool has no thread.
    const int fixedThreads = pwtest::threadCount(srv.pid);
    ASSERT_GT(fixedThreads, 0);
    {
        pwremote::RemoteWriter builder;
        ASSERT_EQ(0, builder.open(port, dir.str(), true));
    }
    constexpr int kClients = 200, kPoolThreads = 16;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::map<TqbResultCode, int> failures;
        LockWaiters waiters(port);
        const int during = waiters.run(port, dir.str(), srv.pid, kClients, fixedThreads, failures);
        EXPECT_TRUE(failures.empty()) << failures.size() << " kinds of failure, first "
                                      << (failures.empty() ? 0 : failures.begin()->first);
        int after = 0;
        EXPECT_TRUE(pwtest::waitUntil([&] {
            return (after = pwtest::threadCount(srv.pid)) <= fixedThreads + kPoolThreads;
        })) << after
            << " server threads after the waits, " << during << " during them, " << fixedThreads << " fixed";
    }
    EXPECT_EQ(0, srv.stop()) << srv.text;
}

// A sanitizer's report in what a child process wrote fails the test that started it, whether the
// child ended by itself or was stopped.
TEST(ChildProcess, ASanitizerReportInItsOutputFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            pwtest::ChildProcess c("/bin/sh",
                                   {"-c", "echo start; echo '==1==WARNING: ThreadSanitizer: data race' >&2"});
            EXPECT_EQ(0, c.wait());
        },
        "WARNING: ThreadSanitizer: data race");
    EXPECT_NONFATAL_FAILURE(
        {
            pwtest::ChildProcess c("/bin/sh",
                                   {"-c", "echo 'x.cpp:1:2: runtime error: shift' >&2; exec sleep 60"});
            EXPECT_TRUE(c.waitFor("runtime error"));
        },
        "runtime error: shift");
    pwtest::ChildProcess clean("/bin/sh", {"-c", "echo all well"});
    EXPECT_EQ(0, clean.wait());
    EXPECT_EQ("", clean.sanitizerReport());
}

} // namespace
