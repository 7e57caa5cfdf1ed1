// Tests of table datasets used by several users at once: each thread has its own client, session,
// database and table on one in-process engine and writes only its own rows of one table.
#include "db/client/qbdbbase.h"

#include "db/client/qbdb.h"

#include "tests/db/client/ClientTestSupport.h"
#include "tests/db/client/TableUser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using clienttest::Env;
using clienttest::TableUser;

namespace {

// Runs each user's rounds on a thread of its own. The lock waits end by the tables' time-out; a run
// that outlasts the watchdog is a stall, and ends the test program rather than hang it.
void runUsers(std::vector<std::unique_ptr<TableUser>>& users, int rounds) {
    std::mutex m;
    std::condition_variable cv;
    size_t done = 0;
    std::vector<std::thread> threads;
    for (size_t k = 0; k < users.size(); ++k)
        threads.emplace_back([&, k] {
            users[k]->work("u" + std::to_string(k) + "-", rounds);
            std::lock_guard lk(m);
            ++done;
            cv.notify_all();
        });
    {
        std::unique_lock lk(m);
        if (!cv.wait_for(lk, std::chrono::minutes(3), [&] { return done == users.size(); })) {
            std::fprintf(stderr, "dataset users stalled: %zu of %zu done\n", done, users.size());
            std::abort();
        }
    }
    for (auto& th : threads)
        th.join();
}

} // namespace

// Users on different rows of one table never wait for each other: none is chosen as a deadlock
// victim or times out, and every row each one left is there with its last value.
TEST(TableUsers, OnTheirOwnRowsOfOneTableNeitherDeadlockNorTimeOut) {
    for (const int count : {2, 8}) {
        SCOPED_TRACE(std::to_string(count) + " users");
        Env env;
        TqbOwned<TqbDatabase> db{new TqbDatabase()};
        clienttest::openContactsFolder(env, *db);
        std::vector<std::unique_ptr<TableUser>> users;
        // Waits for the other users' writes are short: one this long on rows nobody else touches
        // is a stall, however busy the machine.
        for (int k = 0; k < count; ++k)
            users.push_back(std::make_unique<TableUser>(*env.engine, env.dir.str(), k, 30000));
        runUsers(users, count == 2 ? 60 : 16);

        auto check = std::make_unique<TqbTable>();
        check->SetSessionName(env.session->SessionName());
        check->SetDatabaseName(env.dir.str());
        check->SetTableName("contacts");
        check->SetIndexName("nameIndex");
        check->Open();
        std::map<std::string, int32_t> expected, found;
        for (auto& u : users) {
            EXPECT_EQ(u->failure, "");
            expected.insert(u->rows.begin(), u->rows.end());
        }
        for (check->First(); !check->Eof(); check->Next())
            found[check->FieldByName("name")->AsString()] = check->FieldByName("servicenumber")->AsInteger();
        EXPECT_EQ(found, expected);
        check.reset();
        users.clear();
        db.reset();
    }
}
