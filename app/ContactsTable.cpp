// Building the contacts table with its first contacts, through an engine of its own on the folder
// (the contacts tool and the tests share it).
#include "app/ContactsTable.h"

#include "classlib/Classes.h"
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"

#include <atomic>
#include <mutex>

namespace {

constexpr TqbResultCode kTableExists = 13060;
constexpr TqbResultCode kNoTable = 10024;
constexpr uint32_t kTimeoutMs = 10000;
// The name the table is built and filled under before it takes its own.
constexpr char kFillSuffix[] = "_mkfill";

void check(TqbResultCode code, const std::string& step) {
    if (code != 0) throw ContactsTableError(step, code);
}

void fillTable(TqbServerEngine& engine, TqbHandle db, const std::string& name, const TqbServerDataDict& dict,
               const std::vector<ContactRow>& rows) {
    TqbHandle cursor = 0;
    bool inTransaction = false;
    try {
        check(engine.TableOpen(db, name, false, "nameIndex", 0, qbomReadWrite, qbsmExclusive, kTimeoutMs,
                               cursor, nullptr),
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
        engine.TableDelete(db, name);
        throw;
    }
}

// Removes the copy an earlier try left under the fill name (none is fine).
void removeFillCopy(TqbServerEngine& engine, TqbHandle db, const std::string& fill) {
    const TqbResultCode rc = engine.TableDelete(db, fill);
    if (rc != kNoTable) check(rc, "removing the unfinished table " + fill + " of an earlier run");
}

bool makeWithClient(TqbServerEngine& engine, const std::string& folder, TqbServerDataDict& dict,
                    const std::vector<ContactRow>& rows, const std::function<std::string()>& lastError,
                    const std::function<void()>& beforeNaming) {
    TqbHandle client = 0, session = 0, db = 0;
    uint32_t hash = 0;
    const std::string name = dict.TableName(), fill = name + kFillSuffix;
    check(engine.ClientAdd(client, "contacts", "", kTimeoutMs, hash), "adding a client");
    try {
        check(engine.SessionAdd(client, kTimeoutMs, session), "adding a session");
        check(engine.DatabaseOpenPath(client, folder, qbomReadWrite, qbsmShared, kTimeoutMs, db),
              "opening the folder");
        // A table of that name is the user's whatever it holds; one that cannot be read is said so.
        cls::TMemoryStream there;
        const TqbResultCode found = engine.TableGetDictionary(db, name, there);
        if (found != 0 && found != kNoTable)
            throw ContactsTableError("reading the table " + name + " there", found, lastError());
        removeFillCopy(engine, db, fill);
        bool made = false;
        if (found == kNoTable) {
            check(engine.TableBuild(db, false, fill, false, dict), "building the table");
            fillTable(engine, db, fill, dict, rows);
            // What goes with the table is there before the table has its name: a run cut short
            // after the rename is not run again.
            if (beforeNaming) beforeNaming();
            const TqbResultCode renamed = engine.TableRename(db, fill, name);
            // Made meanwhile by another: that one stays, this one goes.
            if (renamed == kTableExists)
                removeFillCopy(engine, db, fill);
            else
                check(renamed, "giving the table its name");
            made = renamed == 0;
        }
        check(engine.DatabaseClose(db), "closing the folder");
        check(engine.ClientRemove(client), "removing the client");
        return made;
    } catch (...) {
        engine.ClientRemove(client);
        throw;
    }
}

// Hands on the lines the engine logs between the start and the end of its recovery check.
// and keeps the last error the engine converted into a result code.
class RecoveryLines : public TqbBaseLog {
public:
    explicit RecoveryLines(std::function<void(const std::string&)> To) : to_(std::move(To)) {}
    void WriteText(std::string_view s) override {
        if (s == "Finished recovery check...") inside_ = false;
        if (inside_ && to_) to_(std::string(s));
        if (s == "Performing recovery check...") inside_ = true;
        constexpr std::string_view kConverted = "Exception Cvt: ";
        if (s.substr(0, kConverted.size()) == kConverted) {
            std::lock_guard lk(m_);
            lastError_ = s.substr(kConverted.size());
        }
    }
    void WriteTextFmt(std::string_view fmt, const QbFormatArgs& args) override {
        WriteText(qbFormat(fmt, args));
    }
    std::string LastError() {
        std::lock_guard lk(m_);
        return lastError_;
    }

private:
    std::function<void(const std::string&)> to_;
    std::atomic<bool> inside_{false};
    std::mutex m_;
    std::string lastError_;
};

} // namespace

ContactsTableError::ContactsTableError(const std::string& step, TqbResultCode code, const std::string& detail)
    : std::runtime_error(step + " failed (error " + std::to_string(code) + ")" +
                         (detail.empty() ? "" : ": " + detail)),
      step(step), code(code), detail(detail) {}

bool makeContactsTable(const std::string& folder, TqbServerDataDict dict, const std::vector<ContactRow>& rows,
                       const std::function<void(const std::string&)>& Recovered,
                       const std::function<void()>& BeforeNaming) {
    RecoveryLines lines(Recovered);
    TqbOwned<TqbServerEngine> engine(new TqbServerEngine());
    engine->SetConfigDir(folder + "/");
    // The errors the engine converts reach the log whether or not it is enabled.
    engine->SetEventLog(&lines);
    if (Recovered) engine->SetEventLogEnabled(true);
    engine->Startup();
    try {
        const bool made = makeWithClient(*engine, folder, dict, rows, [&] { return lines.LastError(); }, BeforeNaming);
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
