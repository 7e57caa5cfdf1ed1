// One user of a shared table for the tests and the benchmark of several users: its own client,
// session, database and table on an in-process engine, writing only its own rows.
#pragma once
#include "db/client/qbcldb.h"
#include "db/client/qbclient.h"
#include "db/client/qbdbbase.h"
#include "db/engine/qbsrengn.h"

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace clienttest {

struct TableUser {
    TqbOwned<TqbClient> client{new TqbClient()};
    TqbOwned<TqbSession> session{new TqbSession()};
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    std::unique_ptr<TqbTable> table{new TqbTable()};
    std::map<std::string, int32_t> rows; // what this user left in the table: name -> service number
    std::string failure;                 // the first failure's step, code and text

    // User number k of the contacts table in folder; timeoutMs for the table's lock waits (-1:
    // the database's).
    TableUser(TqbServerEngine& engine, const std::string& folder, int k, int32_t timeoutMs = -1) {
        const std::string n = "user" + std::to_string(k);
        client->SetServerEngine(&engine);
        client->SetClientName(n);
        session->SetClientName(n);
        session->SetSessionName(n);
        session->Open();
        db->SetSessionName(n);
        db->SetDatabaseName(folder);
        db->Open();
        table->SetSessionName(n);
        table->SetDatabaseName(folder);
        table->SetTableName("contacts");
        table->SetIndexName("nameIndex");
        table->SetTimeout(timeoutMs);
        table->Open();
    }
    ~TableUser() {
        table.reset();
        db.reset();
        session.reset();
        client.reset();
    }

    // Rounds on rows named prefix + number: append and post a row; find the one before by key,
    // edit and post it; every second round find an older one and delete it. Each of those is one
    // operation; the result is how many were done, up to the first failure.
    int64_t work(const std::string& prefix, int rounds) {
        TqbTable& t = *table;
        auto name = [&](int i) { return prefix + std::to_string(i); };
        auto find = [&](const std::string& n) {
            if (!t.FindKey({cls::Variant(n)})) throw std::runtime_error("own row " + n + " missing");
        };
        int64_t ops = 0;
        const char* step = "";
        try {
            for (int i = 0; i < rounds; ++i) {
                step = "append";
                t.Append();
                t.FieldByName("name")->SetAsString(name(i));
                t.FieldByName("servicenumber")->SetAsInteger(i);
                t.Post();
                rows[name(i)] = i;
                ++ops;
                if (i >= 1) {
                    step = "edit";
                    find(name(i - 1));
                    t.Edit();
                    t.FieldByName("servicenumber")->SetAsInteger(1000 + i);
                    t.Post();
                    rows[name(i - 1)] = 1000 + i;
                    ++ops;
                }
                if (i >= 2 && i % 2 == 0) {
                    step = "delete";
                    find(name(i - 2));
                    t.Delete();
                    rows.erase(name(i - 2));
                    ++ops;
                }
            }
        } catch (const EqbDatabaseError& e) {
            failure = std::string(step) + ": " + std::to_string(e.ErrorCode) + " " + e.what();
        } catch (const std::exception& e) {
            failure = std::string(step) + ": " + e.what();
        }
        return ops;
    }
};

} // namespace clienttest
