// mkcontacts: builds the paging client's contacts table with the demo contacts in a folder, through
// the in-process engine (its configuration tables go to the same folder). A table that is there
// already is never touched. Exit status 0 when the table was made or was there, 1 on failure, 2 on
// a wrong command line.
#include "app/ContactsTable.h"
#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrengn.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

constexpr uint32_t kTimeoutMs = 10000;
constexpr TqbResultCode kTableExists = 13060;

std::string describe(TqbResultCode code) {
    std::string text;
    try {
        text = CompatErrorStrings().GetText(code);
    } catch (const std::exception&) {
    }
    return "error " + std::to_string(code) + (text.empty() ? "" : ": " + text);
}

// A step that failed: what was being done and the engine's answer.
struct Failure {
    std::string what;
    TqbResultCode code;
};

void check(TqbResultCode code, const char* what) {
    if (code != 0) throw Failure{what, code};
}

// Stores the demo contacts in one transaction; on any failure the table made a moment ago is
// removed again, so that the next run starts afresh instead of finding a half-filled table.
void fillTable(TqbServerEngine& engine, TqbHandle db, const std::string& table) {
    TqbHandle cursor = 0;
    bool inTransaction = false;
    try {
        check(engine.TableOpen(db, table, false, "nameIndex", 0, qbomReadWrite, qbsmExclusive, kTimeoutMs,
                               cursor, nullptr),
              "opening the new table");
        check(engine.TransactionStart(db, true), "starting a transaction");
        inTransaction = true;
        TqbServerDataDict dict = contactsDictionary();
        for (const ContactRow& c : kDemoContacts)
            check(engine.RecordInsert(cursor, qbltNone, contactRecord(dict, c)),
                  ("storing the demo contact \"" + c.name + "\"").c_str());
        inTransaction = false;
        check(engine.TransactionCommit(db), "committing the demo contacts");
        check(engine.CursorClose(cursor), "closing the table");
    } catch (const Failure&) {
        if (inTransaction) engine.TransactionRollback(db);
        if (cursor) engine.CursorClose(cursor);
        engine.TableDelete(db, table);
        throw;
    }
}

// Returns true when the table was made, false when it was there already.
bool makeContacts(TqbServerEngine& engine, const std::string& folder) {
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    check(engine.ClientAdd(client, "mkcontacts", "", kTimeoutMs, hash), "adding a client");
    try {
        check(engine.SessionAdd(client, kTimeoutMs, session), "adding a session");
        check(engine.DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, kTimeoutMs, db),
              "opening the folder");
        TqbServerDataDict dict = contactsDictionary();
        const TqbResultCode built = engine.TableBuild(db, false, dict.TableName(), false, dict);
        if (built != kTableExists) {
            check(built, "building the table");
            fillTable(engine, db, dict.TableName());
        }
        check(engine.DatabaseClose(db), "closing the folder");
        check(engine.ClientRemove(client), "removing the client");
        return built != kTableExists;
    } catch (const Failure&) {
        engine.ClientRemove(client);
        throw;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkcontacts <folder>\n"
                             "Builds the contacts table with demo contacts unless the folder has one.\n");
        return 2;
    }
    std::error_code ec;
    std::string folder = std::filesystem::absolute(argv[1], ec).lexically_normal().string();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (ec || !std::filesystem::is_directory(folder, ec)) {
        std::fprintf(stderr, "%s: no such folder\n", argv[1]);
        return 1;
    }
    TqbOwned<TqbServerEngine> engine(new TqbServerEngine());
    try {
        engine->SetConfigDir(folder + "/");
        engine->Startup();
        const bool made = makeContacts(*engine, folder);
        engine->Shutdown();
        if (made)
            std::printf("%s: contacts table made with %zu demo contacts\n", folder.c_str(),
                        kDemoContacts.size());
        else
            std::printf("%s: contacts table exists already, left as it is\n", folder.c_str());
        return 0;
    } catch (const Failure& f) {
        std::fprintf(stderr, "%s: %s failed (%s)\n", folder.c_str(), f.what.c_str(),
                     describe(f.code).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", folder.c_str(), e.what());
    }
    try {
        if (engine->State() == qbsStarted) engine->Shutdown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: stopping the engine: %s\n", folder.c_str(), e.what());
    }
    return 1;
}
