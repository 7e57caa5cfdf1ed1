// Tests of table datasets used by several users at once: each thread has its own client, session,
// database and table on one in-process engine and writes only its own rows of one table.
#include "db/client/qbdbbase.h"

#include "db/client/qbdb.h"

#include "tests/db/client/ClientTestSupport.h"

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
using cls::Variant;

namespace {

// One user: its own client, session, database and table on the shared engine.
struct User {
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    std::unique_ptr<TqbTable> table{new TqbTable()};
    std::map<std::string, int> rows; // what this user left in the table: name -> service number
    std::vector<std::string> failures;

    User(TqbServerEngine& engine, const std::string& folder, int k) {
        const std::string n = std::to_string(k);
        client->SetServerEngine(&engine);
        client->SetClientName("user" + n);
        session->SetClientName("user" + n);
        session->SetSessionName("session" + n);
        session->Open();
        db->SetSessionName("session" + n);
        db->SetDatabaseName(folder);
        db->Open();
        table->SetSessionName("session" + n);
        table->SetDatabaseName(folder);
        table->SetTableName("contacts");
        table->SetIndexName("nameIndex");
        // A lock wait this long on rows nobody else touches is a stall, not a busy table.
        table->SetTimeout(5000);
        table->Open();
    }
    ~User() {
        table.reset();
        db.reset();
        session.reset();
        client.reset();
    }

    // Appends, edits and deletes rows of its own; stops at the first failure.
    void work(int k, int rounds) {
        auto name = [&](int i) { return "u" + std::to_string(k) + "-" + std::to_string(i); };
        TqbTable& t = *table;
        std::string step;
        try {
            for (int i = 0; i < rounds; ++i) {
                step = "append";
                t.Append();
                t.FieldByName("name")->SetAsString(name(i));
                t.FieldByName("servicenumber")->SetAsInteger(i);
                t.Post();
                rows[name(i)] = i;
                if (i >= 1) {
                    step = "edit";
                    if (!t.FindKey({Variant(name(i - 1))})) throw std::runtime_error("own row missing");
                    t.Edit();
                    t.FieldByName("servicenumber")->SetAsInteger(1000 + i);
                    t.Post();
                    rows[name(i - 1)] = 1000 + i;
                }
                if (i >= 2 && i % 2 == 0) {
                    step = "delete";
                    if (!t.FindKey({Variant(name(i - 2))})) throw std::runtime_error("own row missing");
                    t.Delete();
                    rows.erase(name(i - 2));
                }
            }
        } catch (const EqbDatabaseError& e) {
            failures.push_back(step + ": " + std::to_string(e.ErrorCode) + " " + e.what());
        } catch (const std::exception& e) {
            failures.push_back(step + ": " + e.what());
        }
    }
};

// Runs each user's rounds on a thread of its own. The lock waits end by the tables' time-out; a run
// that outlasts the watchdog is a stall, and ends the test program rather than hang it.
void runUsers(std::vector<std::unique_ptr<User>>& users, int rounds) {
    std::mutex m;
    std::condition_variable cv;
    size_t done = 0;
    std::vector<std::thread> threads;
    for (size_t k = 0; k < users.size(); ++k)
        threads.emplace_back([&, k] {
            users[k]->work(int(k), rounds);
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
        std::vector<std::unique_ptr<User>> users;
        for (int k = 0; k < count; ++k)
            users.push_back(std::make_unique<User>(*env.engine, env.dir.str(), k));
        runUsers(users, count == 2 ? 60 : 16);

        auto check = std::make_unique<TqbTable>();
        check->SetSessionName(env.session->SessionName());
        check->SetDatabaseName(env.dir.str());
        check->SetTableName("contacts");
        check->SetIndexName("nameIndex");
        check->Open();
        std::map<std::string, int> expected, found;
        for (auto& u : users) {
            for (const std::string& f : u->failures)
                ADD_FAILURE() << f;
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
