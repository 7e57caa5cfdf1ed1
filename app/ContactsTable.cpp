// Building the contacts table with its first contacts, through an engine of its own on the folder
// (the contacts tool and the tests share it).
#include "app/ContactsTable.h"

#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"

#include <atomic>

namespace {

constexpr TqbResultCode kTableExists = 13060;
constexpr uint32_t kTimeoutMs = 10000;

void check(TqbResultCode code, const std::string& step) {
    if (code != 0) throw ContactsTableError(step, code);
}

void fillTable(TqbServerEngine& engine, TqbHandle db, const TqbServerDataDict& dict,
               const std::vector<ContactRow>& rows) {
    TqbHandle cursor = 0;
    bool inTransaction = false;
    try {
        check(engine.TableOpen(db, dict.TableName(), false, "nameIndex", 0, qbomReadWrite, qbsmExclusive,
                               kTimeoutMs, cursor, nullptr),
              "opening the new table");
        check(engine.TransactionStart(db, true), "starting a transaction");
        inTransaction = true;
        for (const ContactRow& c : rows)
            check(engine.RecordInsert(cursor, qbltNone, contactRecord(dict, c)),
                  "storing the contact \"" + c.name + "\"");
        inTransaction = false;
        check(engine.TransactionCommit(db), "committing the contacts");
        const TqbHandle open = cursor;
        cursor = 0;
        check(engine.CursorClose(open), "closing the table");
    } catch (...) {
        if (inTransaction) engine.TransactionRollback(db);
        if (cursor) engine.CursorClose(cursor);
        engine.TableDelete(db, dict.TableName());
        throw;
    }
}

bool makeWithClient(TqbServerEngine& engine, const std::string& folder, TqbServerDataDict& dict,
                    const std::vector<ContactRow>& rows) {
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    check(engine.ClientAdd(client, "contacts", "", kTimeoutMs, hash), "adding a client");
    try {
        check(engine.SessionAdd(client, kTimeoutMs, session), "adding a session");
        check(engine.DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, kTimeoutMs, db),
              "opening the folder");
        const TqbResultCode built = engine.TableBuild(db, false, dict.TableName(), false, dict);
        if (built != kTableExists) {
            check(built, "building the table");
            fillTable(engine, db, dict, rows);
        }
        check(engine.DatabaseClose(db), "closing the folder");
        check(engine.ClientRemove(client), "removing the client");
        return built != kTableExists;
    } catch (...) {
        engine.ClientRemove(client);
        throw;
    }
}

// Hands on the lines the engine logs between the start and the end of its recovery check.
class RecoveryLines : public TqbBaseLog {
public:
    explicit RecoveryLines(std::function<void(const std::string&)> To) : to_(std::move(To)) {}
    void WriteText(std::string_view s) override {
        if (s == "Finished recovery check...") inside_ = false;
        if (inside_ && to_) to_(std::string(s));
        if (s == "Performing recovery check...") inside_ = true;
    }
    void WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) override {
        WriteText(qbFormat(fmt, args));
    }

private:
    std::function<void(const std::string&)> to_;
    std::atomic<bool> inside_{false};
};

} // namespace

ContactsTableError::ContactsTableError(const std::string& step, TqbResultCode code)
    : std::runtime_error(step + " failed (error " + std::to_string(code) + ")"), step(step), code(code) {}

bool makeContactsTable(const std::string& folder, TqbServerDataDict dict, const std::vector<ContactRow>& rows,
                       const std::function<void(const std::string&)>& Recovered) {
    RecoveryLines lines(Recovered);
    TqbOwned<TqbServerEngine> engine(new TqbServerEngine());
    engine->SetConfigDir(folder + "/");
    if (Recovered) {
        engine->SetEventLog(&lines);
        engine->SetEventLogEnabled(true);
    }
    engine->Startup();
    try {
        const bool made = makeWithClient(*engine, folder, dict, rows);
        engine->Shutdown();
        return made;
    } catch (...) {
        try {
            if (engine->State() == qbsStarted) engine->Shutdown();
        } catch (...) {
            // The first failure is the one to report.
        }
        throw;
    }
}
