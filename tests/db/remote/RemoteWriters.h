// Remote clients that write one contacts table through a served engine at the same time, each on
// its own connection and thread, each transaction as a program makes it: start, insert a row, read
// it back by its name, commit. Used by the server program's tests and its benchmark.
#pragma once
#include "app/ContactsTable.h"
#include "classlib/Classes.h"
#include "db/remote/qbclreng.h"
#include "db/remote/qblegacy.h"
#include "tests/db/remote/RemoteTestSupport.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pwremote {

// Time-outs of the writers' clients, tables and databases: what a dataset asks for unless told.
inline constexpr uint32_t kWriterTimeoutMs = 10000;

// One remote client with its own transport, the contacts table open on "nameIndex".
class RemoteWriter {
public:
    // The folder's contacts table (built first when build is set) through the server at port.
    TqbResultCode open(uint16_t port, const std::string& folder, bool build = false) {
        StartLoopbackClient(*transport_, port);
        engine_->SetTransport(transport_.get());
        uint32_t hash = 0;
        if (TqbResultCode rc = engine_->ClientAdd(client_, "writer", "", kWriterTimeoutMs, hash)) return rc;
        TqbHandle session = 0;
        if (TqbResultCode rc = engine_->SessionAdd(client_, kWriterTimeoutMs, session)) return rc;
        if (TqbResultCode rc =
                engine_->DatabaseOpenPath(client_, folder, qbomReadWrite, qbsmShared, kWriterTimeoutMs, db_))
            return rc;
        if (build) {
            TqbServerDataDict d = contactsDictionary();
            if (TqbResultCode rc = engine_->TableBuild(db_, true, "contacts", false, d)) return rc;
        }
        // With the dictionary stream, as a dataset opens its table.
        cls::TMemoryStream stream;
        if (TqbResultCode rc = engine_->TableOpen(db_, "contacts", false, "nameIndex", 0, qbomReadWrite,
                                                  qbsmShared, kWriterTimeoutMs, cursor_, &stream))
            return rc;
        return 0;
    }
    // One transaction that adds the named contact; 0, or the first failure (the transaction then
    // rolled back). A row read back under another name fails with -1.
    TqbResultCode addContact(const std::string& name, int64_t number) {
        ContactRow c;
        c.name = name;
        c.id = "555" + std::to_string(number);
        c.service = int32_t(number % 12 + 1);
        const std::vector<uint8_t> row = contactRecord(dict_, c);
        std::vector<uint8_t> back(row.size());
        TqbResultCode rc = engine_->TransactionStart(db_, false);
        if (rc) return rc;
        rc = engine_->RecordInsert(cursor_, qbltNone, row);
        if (!rc) rc = engine_->RecordGetForKey(cursor_, false, 1, 0, row, back, true);
        if (!rc && back != row) rc = -1;
        if (!rc) rc = engine_->TransactionCommit(db_);
        if (rc) engine_->TransactionRollback(db_);
        return rc;
    }
    // The table's row count; -1 when it cannot be had.
    int32_t rowCount() {
        int32_t n = 0;
        return engine_->TableGetRecordCount(cursor_, n) == 0 ? n : -1;
    }
    ~RemoteWriter() {
        if (client_) engine_->ClientRemove(client_);
        engine_->SetTransport(nullptr);
        transport_->SetState(qbsInactive);
    }

private:
    TqbOwned<TqbLegacyTransport> transport_{new TqbLegacyTransport};
    TqbOwned<TQBRemoteServerEngine> engine_{new TQBRemoteServerEngine};
    TqbServerDataDict dict_ = contactsDictionary();
    TqbHandle client_ = 0, db_ = 0, cursor_ = 0;
};

struct WritersOutcome {
    int64_t commits = 0;
    std::map<TqbResultCode, int64_t> failures; // by result code; an open that failed counts too
    double seconds = 0;                        // from the first connection to the last commit
    int64_t failed() const {
        int64_t n = 0;
        for (auto& [code, count] : failures)
            n += count;
        return n;
    }
    std::string describe() const {
        std::string s = std::to_string(commits) + " commits";
        for (auto& [code, count] : failures)
            s += ", " + std::to_string(count) + " x " + std::to_string(code);
        return s;
    }
};

// clients writers on threads of their own, each connecting and opening the table (while the
// others may be writing already) and adding transactions rows named after tag, the client and the
// row.
inline WritersOutcome RunWriters(uint16_t port, const std::string& folder, int clients, int transactions,
                                 const std::string& tag) {
    WritersOutcome out;
    std::mutex m;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            int64_t commits = 0;
            std::map<TqbResultCode, int64_t> failures;
            RemoteWriter writer;
            if (TqbResultCode rc = writer.open(port, folder)) {
                ++failures[rc];
            } else {
                for (int n = 0; n < transactions; ++n) {
                    const int64_t number = int64_t(i) * transactions + n;
                    const std::string name = tag + "-" + std::to_string(i) + "-" + std::to_string(n);
                    if (TqbResultCode rc = writer.addContact(name, number))
                        ++failures[rc];
                    else
                        ++commits;
                }
            }
            std::lock_guard g(m);
            out.commits += commits;
            for (auto& [code, count] : failures)
                out.failures[code] += count;
        });
    for (auto& t : threads)
        t.join();
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

} // namespace pwremote
