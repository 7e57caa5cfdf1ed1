// Remote clients that all wait at once for the table lock of one other client, as a program's users
// would: the server's threads while they wait and after. Used by the server program's tests and its
// benchmark of the memory such waits take.
#pragma once
#include "tests/db/remote/RemoteWriters.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <sys/types.h>

namespace pwremote {

struct WaitOutcome {
    std::string holder;                    // what failed for the lock's holder; empty when nothing
    int during = 0;                        // the server's threads while every waiter held one
    bool allWaited = false;                // every waiter's request held a server thread at once
    std::map<TqbResultCode, int> failures; // of the waiters, by result code
};

// All on one transport, each client on a thread of its own.
class LockWaiters {
public:
    // Lock waits of the waiters' tables: longer than any start of them all.
    static constexpr uint32_t kWaitMs = 120000;

    explicit LockWaiters(uint16_t port) {
        StartLoopbackClient(*transport_, port);
        engine_->SetTransport(transport_.get());
    }
    ~LockWaiters() {
        engine_->SetTransport(nullptr);
        transport_->SetState(qbsInactive);
    }

    // clients clients that each open the folder's contacts table and ask for its read lock while
    // the holder keeps its write lock in a transaction; the holder commits once the server runs
    // them all (a thread each), after whileWaiting ran. The server is the process server, with
    // fixedThreads threads of its own.
    WaitOutcome run(const std::string& folder, pid_t server, int clients, int fixedThreads,
                    const std::function<void()>& whileWaiting = {}) {
        WaitOutcome out;
        TqbHandle holder = 0, holderDb = 0, holderCursor = 0;
        auto step = [&](const char* what, TqbResultCode rc) {
            if (rc && out.holder.empty()) out.holder = std::string(what) + ": " + std::to_string(rc);
        };
        step("open", open(folder, holder, holderDb, holderCursor));
        step("transaction start", engine_->TransactionStart(holderDb, false));
        step("write lock", engine_->TableLockAcquire(holderCursor, qbltWrite));
        std::mutex m;
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i)
            threads.emplace_back([&] {
                TqbHandle client = 0, db = 0, cursor = 0;
                TqbResultCode rc = open(folder, client, db, cursor);
                if (!rc) rc = engine_->TableLockAcquire(cursor, qbltRead);
                if (!rc) rc = engine_->TableLockRelease(cursor, qbltRead, true);
                if (client) engine_->ClientRemove(client);
                if (rc) {
                    std::lock_guard g(m);
                    ++out.failures[rc];
                }
            });
        // Every waiter's request holds a server thread; the bound only guards against a hang.
        out.allWaited = pwtest::waitUntil(
            [&] { return (out.during = pwtest::threadCount(server)) >= fixedThreads + clients; }, 90000);
        if (out.allWaited && whileWaiting) whileWaiting();
        step("commit", engine_->TransactionCommit(holderDb));
        step("write lock release", engine_->TableLockRelease(holderCursor, qbltWrite, true));
        for (auto& t : threads)
            t.join();
        engine_->ClientRemove(holder);
        return out;
    }

private:
    // A client with the folder's contacts table open; 0 or the first failure.
    TqbResultCode open(const std::string& folder, TqbHandle& client, TqbHandle& db, TqbHandle& cursor) {
        uint32_t hash = 0;
        TqbHandle session = 0;
        cls::TMemoryStream stream;
        TqbResultCode rc = engine_->ClientAdd(client, "waiter", "", kWaitMs, hash);
        if (!rc) rc = engine_->SessionAdd(client, kWaitMs, session);
        if (!rc) rc = engine_->DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, kWaitMs, db);
        if (!rc)
            rc = engine_->TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared, kWaitMs,
                                    cursor, &stream);
        return rc;
    }

    TqbOwned<TqbLegacyTransport> transport_{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> engine_{new TQBRemoteServerEngine};
};

} // namespace pwremote
