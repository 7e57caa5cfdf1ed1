// Transactions of a database folder: the transaction with its nesting levels, and the transaction
// manager that numbers them and keeps the next number in the folder's counter file "QBSTRAN.CFG".
#pragma once
#include "db/storage/qbfile.h"
#include "db/storage/qbsrlock.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TqbBufferManager;
class TqbbmRAMPage;
class TqbBaseLog;
class TqbRecoveryEngine;
class TqbBLOBResourceManager;

// One nesting level: the pages that have a copy made at this level.
class TqbSrTransactionLevel {
public:
    TqbSrTransactionLevel(std::unique_ptr<TqbSrTransactionLevel> previous, uint32_t number)
        : Previous(std::move(previous)), LevelNumber(number) {}
    std::unique_ptr<TqbSrTransactionLevel> Previous;
    uint32_t LevelNumber;
    std::vector<TqbbmRAMPage*> Copies;
};

// Journal state of a transaction.
inline constexpr uint8_t kJournalNone = 1;
inline constexpr uint8_t kJournalOpen = 2;

class TqbSrTransaction : public TqbLockTransaction {
public:
    explicit TqbSrTransaction(uint64_t databaseID);
    ~TqbSrTransaction() override;

    uint64_t DatabaseID;
    // Pages the transaction changed, in the order they joined it.
    std::vector<TqbbmRAMPage*> Pages;
    uint32_t TransactionNumber = 0;
    char Signature[4] = {'Q', 'B', 'T', 'Q'};
    uint8_t JournalState = kJournalNone;
    bool FailSafe = false;
    // Folder of the journal that every level-0 commit writing a table file goes through, and the
    // journal's name once it exists.
    std::string JournalFolder;
    std::string JournalName;
    std::unique_ptr<TbtdFileInfo> Journal;

    // A BLOB file's segment manager that freed or handed out segments in the transaction: its
    // pending segments follow the transaction's commit and every rollback.
    void UsesBLOBManager(const std::shared_ptr<TqbBLOBResourceManager>& Manager);
    std::vector<std::weak_ptr<TqbBLOBResourceManager>> BLOBManagers;

    void StartNested();
    void EndNested();
    bool IsNested() const { return level_->LevelNumber > 0; }
    TqbSrTransactionLevel* CurrentLevel() const { return level_.get(); }
    // The identifier handed to clients; unique for the run.
    uint32_t TransactionID() const { return id_; }

private:
    std::unique_ptr<TqbSrTransactionLevel> level_;
    uint32_t id_;
};

// Numbers are never 0 and never 0xFFFFFFFF.
inline constexpr uint32_t kLastTransactionNumber = 0xFFFFFFFE;
inline constexpr char kCounterFileName[] = "QBSTRAN.CFG";

class TqbSrTransactionMgr {
public:
    // Unless ReadOnly, takes the folder (one engine process per folder, through the counter file
    // held open without sharing), recovers its journals with Recovery when given (before any
    // table of the folder opens; a failure fails the creation) and reads the counter file. The
    // next number is the larger of the file's and 1 + the largest stamp in the table headers.
    TqbSrTransactionMgr(TqbBufferManager* BufferManager, bool ReadOnly, std::string FolderPath,
                        TqbLockManager* LockManager, TqbRecoveryEngine* Recovery = nullptr);
    // Unless read-only, writes the counter file back.
    ~TqbSrTransactionMgr();
    TqbSrTransactionMgr(const TqbSrTransactionMgr&) = delete;
    TqbSrTransactionMgr& operator=(const TqbSrTransactionMgr&) = delete;

    int32_t StartTransaction(uint64_t DatabaseID, bool FailSafe, TqbSrTransaction*& Transaction);
    // 0, or 9990 when the database has no transaction. A level-0 commit that fails after its
    // journal was complete marks the folder damaged: no transaction starts until recovery.
    int32_t Commit(uint64_t DatabaseID, bool& Nested);
    int32_t Rollback(uint64_t DatabaseID, bool& Nested);

    TqbSrTransaction* TransactionOf(uint64_t DatabaseID);
    TqbSrTransaction* ActiveTransaction(size_t n);
    size_t ActiveCount();

    uint32_t NextTransactionNumber();
    // None when no transaction is active.
    std::optional<uint32_t> LowestActiveNumber();
    double RenumberDateTime();
    const std::string& FolderPath() const { return folder_; }
    bool Damaged();
    // Recovers the journal a failed commit left (the folder's tables closed); then transactions
    // start again.
    void Recover(TqbRecoveryEngine& Recovery);

    // Test hook: the next number as if read from the counter file.
    void SetNextTransactionNumberForTesting(uint32_t next);

private:
    void readCounterFile();
    void writeCounterFile();
    uint32_t takeNumber();
    void renumber();
    void finish(TqbSrTransaction* t);
    // The BLOB segment managers the transaction used: committed or rolled back with it.
    static void settleBLOBManagers(TqbSrTransaction& t, bool commit);

    TqbBufferManager* bm_;
    TqbLockManager* lm_;
    std::string folder_;
    bool readOnly_;
    std::mutex m_;
    std::vector<std::unique_ptr<TqbSrTransaction>> active_;
    uint32_t next_ = 1;
    double renumberDateTime_ = 0;
    bool damaged_ = false;
    TqbRecoveryEngine* recovery_;
    std::unique_ptr<TbtdFileInfo> counterFile_;
};

// The largest transaction stamp (header offset 12) of the folder's table files; 0 when none.
uint32_t LargestHeaderStamp(const std::string& folder);
