// SQLite's side of the contacts benchmarks: the contacts table with its unique name index, and one
// prepared statement that inserts a row as ContactsTable::insert does (name, ID, service number).
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pwbench {

struct SQLiteContacts {
    sqlite3* db = nullptr;
    sqlite3_stmt* insertRow = nullptr;

    // Settings: pragmas run before the table is made, e.g. "PRAGMA synchronous=FULL;"; the page
    // cache is cacheMB as large as the storage layer's RAM limit.
    SQLiteContacts(const std::string& path, const std::string& settings, uint32_t cacheMB) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("sqlite3_open");
        exec(settings + "PRAGMA cache_size=-" + std::to_string(cacheMB * 1024) + ";");
        exec("CREATE TABLE contacts(name TEXT, id TEXT, servicenumber INTEGER, password TEXT, "
             "g1 INTEGER, g2 INTEGER, g3 INTEGER, g4 INTEGER, g5 INTEGER, g6 INTEGER, g7 INTEGER, "
             "g8 INTEGER, g9 INTEGER, g10 INTEGER);"
             "CREATE UNIQUE INDEX nameIndex ON contacts(name);");
        if (sqlite3_prepare_v2(db, "INSERT INTO contacts(name, id, servicenumber) VALUES(?, ?, ?)", -1,
                               &insertRow, nullptr) != SQLITE_OK)
            fail("prepare");
    }
    ~SQLiteContacts() {
        sqlite3_finalize(insertRow);
        sqlite3_close(db);
    }
    SQLiteContacts(const SQLiteContacts&) = delete;
    SQLiteContacts& operator=(const SQLiteContacts&) = delete;

    void exec(const std::string& sql) {
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql.c_str());
    }
    // Row i named Name; outside a transaction it is one of its own.
    void insert(int i, const std::string& name) {
        const std::string id = "ID" + std::to_string(i);
        sqlite3_bind_text(insertRow, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insertRow, 2, id.c_str(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insertRow, 3, i % 12 + 1);
        if (sqlite3_step(insertRow) != SQLITE_DONE) fail("insert");
        sqlite3_reset(insertRow);
    }

private:
    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
};

} // namespace pwbench
