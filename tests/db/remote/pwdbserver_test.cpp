// The server program under more remote writers of one table than it runs requests at once: every
// transaction commits, none waits out its lock time-out behind requests that wait for its locks.
// Its threads are given back once waiting clients are served. And the check that fails a test whose
// child process reported a sanitizer error.
#include "tests/db/remote/LockWaiters.h"
#include "tests/db/remote/RemoteWriters.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <future>

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
        pwremote::LockWaiters waiters(port);
        const pwremote::WaitOutcome out = waiters.run(dir.str(), srv.pid, kClients, fixedThreads);
        EXPECT_EQ("", out.holder);
        EXPECT_TRUE(out.allWaited) << out.during << " server threads";
        EXPECT_TRUE(out.failures.empty()) << out.failures.size() << " kinds of failure, first "
                                          << (out.failures.empty() ? 0 : out.failures.begin()->first);
        int after = 0;
        EXPECT_TRUE(pwtest::waitUntil([&] {
            return (after = pwtest::threadCount(srv.pid)) <= fixedThreads + kPoolThreads;
        })) << after
            << " server threads after the waits, " << out.during << " during them, " << fixedThreads
            << " fixed";
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
