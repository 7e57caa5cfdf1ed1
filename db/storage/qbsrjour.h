// Start-up recovery of journal files: every "*.QB$" of a database folder is checked in full, then
// rolled forward or back as the operator (or the policy standing in for one) decides.
#pragma once
#include "db/storage/qbfile.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

class TqbBaseServerEngine;
class TqbBaseLog;

// What the recovery asks about a journal.
enum TqbJournalKind : int {
    jkComplete = 0,     // recovery is possible: Commit or Rollback
    jkIncomplete = 1,   // nothing reached the tables; the journal is deleted
    jkReplayFailed = 2, // the journal is kept and the start fails
    jkSkipped = 3,      // unreadable: kept; a journal that cannot be trusted also fails the start,
                        // a file that is no journal at all does not
};
// Answers: 1 the first button ("&Commit" or "&OK"), 2 "&Rollback". Any other answer to a
// complete journal leaves it in place and fails the start.
inline constexpr int kJournalCommit = 1;
inline constexpr int kJournalRollback = 2;

class TqbJournalPrompt {
public:
    virtual ~TqbJournalPrompt() = default;
    virtual int Ask(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
                    const std::string& ErrorText) = 0;
};

// The question put through a function (the program installs it); without one the first button
// answers.
class TqbJournalPromptHook : public TqbJournalPrompt {
public:
    using Hook = std::function<int(int Kind, const std::string& Alias, const std::string& Path,
                                   const std::string& FileName, const std::string& ErrorText)>;
    explicit TqbJournalPromptHook(Hook H = nullptr) : hook_(std::move(H)) {}
    int Ask(int Kind, const std::string& Alias, const std::string& Path, const std::string& FileName,
            const std::string& ErrorText) override {
        return hook_ ? hook_(Kind, Alias, Path, FileName, ErrorText) : kJournalCommit;
    }

private:
    Hook hook_;
};

// The texts of the journal dialog, per kind.
struct TqbJournalTexts {
    const char* OKCaption;
    bool RollbackShown;
    const char* Completeness;
    const char* Action;
    bool Green;
    bool ExceptionShown;
};
const TqbJournalTexts& JournalTexts(int Kind);
inline constexpr char kJournalCaption[] = "Quillbase Journal Recovery";

// One record of a checked journal.
struct TqbJournalRecord {
    uint32_t BlockNumber = 0;
    uint32_t BlockSize = 0;
    bool Before = false;
    uint64_t ImageOffset = 0; // in the journal
    size_t Table = 0;         // index into TqbJournalCheck::Tables
};

// A journal read and checked against its folder; nothing trusted that was not checked.
struct TqbJournalCheck {
    bool Complete = false;
    // Incomplete: the tables its whole records name (in the folder, with a valid header).
    std::vector<std::string> Tables; // resolved table files inside the journal's folder
    // Per table: the block count of its header's before image (-1 without one).
    std::vector<int64_t> OldCounts;
    std::vector<TqbJournalRecord> Records;
    // Why a rollback would write a before image the table cannot take (empty: it can).
    std::string RollbackProblem;
    // Why a roll forward cannot finish (empty: it can): a header counting blocks that the commit
    // wrote straight to the table and that a rollback cut short has cut off again.
    std::string CommitProblem;
    // The files whose records were left out: gone, and no table's data (see CheckJournal).
    std::vector<std::string> Dropped;
};

// True when the file begins as a journal does (or cannot be read, as while its commit writes it):
// a file of the extension that is no journal is no commit waiting for recovery.
bool IsJournalFile(const std::string& Name);

// Raises server error 32 with the journal's name and the reason when anything fails a check; every
// after image must fit its block (a header that opens, or a known block kind with its own number).
// IsJournal (when given) tells whether the file had a journal's header at all. The records of a
// file that does not exist and whose table name UndoneCopy accepts are left out (a rebuild's copy
// that went with its undone swap); any other missing file fails the check.
using TqbUndoneCopyTest = std::function<bool(const std::string& Folder, const std::string& Table)>;
TqbJournalCheck CheckJournal(const std::string& JournalName, bool* IsJournal = nullptr,
                             const TqbUndoneCopyTest& UndoneCopy = {});

// Where the recovery reports each journal found and what became of it.
using TqbRecoveryLog = std::function<void(const std::string& Line)>;

class TqbRecoveryEngine {
public:
    // Without a prompt the first button answers.
    explicit TqbRecoveryEngine(TqbJournalPrompt* Prompt = nullptr, TqbBaseLog* Log = nullptr);
    TqbRecoveryEngine(TqbJournalPrompt* Prompt, TqbRecoveryLog Log);
    virtual ~TqbRecoveryEngine() = default;

    // Tells the files of rebuilds' copies that their undone swaps took away (see CheckJournal).
    TqbUndoneCopyTest UndoneCopy;

    // Every folder of the engine's recovery alias list (asked with ClientID). A journal that could
    // not be recovered is kept in place, and the start fails with the error of the first.
    virtual void Check(TqbBaseServerEngine& Engine, uint32_t ClientID = 0);
    // One folder (also for folders opened by path, before any table of them opens). Files that are
    // no journal are reported, kept and skipped; those already in Known (full names) are skipped
    // unreported, and those kept now are added to it.
    void CheckFolder(const std::string& Alias, const std::string& Folder,
                     std::set<std::string>* Known = nullptr);
    // Writes the after images (Commit) or the before images of a checked journal, makes the tables
    // durable; rolled back, a table gets back its size from before the transaction.
    static void Replay(const std::string& JournalName, const TqbJournalCheck& Journal, bool Commit);

protected:
    // The folder of one alias; an engine may put its own guard around it.
    virtual void CheckAliasFolder(const std::string& Alias, const std::string& Folder) {
        CheckFolder(Alias, Folder);
    }
    void log(const std::string& line) {
        if (log_) log_(line);
    }

private:
    struct Failure {
        std::string Text;
        int32_t Code;
    };
    void recoverOne(const std::string& alias, const std::string& folder, const std::string& journal,
                    std::vector<Failure>& failures, std::set<std::string>* known);

    TqbJournalPromptHook default_;
    TqbJournalPrompt* prompt_;
    TqbRecoveryLog log_;
};

// Cuts each table file of an incomplete journal back to the block count of its header: blocks a
// commit wrote past it before its journal was complete are never read.
void CutToHeaderCounts(const TqbJournalCheck& Journal);
