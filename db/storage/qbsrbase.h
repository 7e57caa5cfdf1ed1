// Buffer manager: blocks of table files cached in RAM pages, one private copy per nesting level
// of the transaction that changes them, LRU and the RAM limit, and the durable commit through a
// journal.
#pragma once
#include "db/base/qbllbase.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbfile.h"
#include "db/storage/qblltemp.h"
#include "db/storage/qbtbbase.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TqbBaseLog;
class TqbbmRAMPage;
struct TqbbmPageList;

// One copy of a page for one nesting level.
struct TqbbmModifiedBlock {
    TqbbmRAMPage* Page = nullptr;
    TqbSrTransactionLevel* Level = nullptr;
    uint8_t* Buffer = nullptr;
    TqbbmModifiedBlock* Previous = nullptr; // the older copy
};

// One cached block.
class TqbbmRAMPage {
public:
    TqbBufferManager* Manager = nullptr;
    TbtdFileInfo* File = nullptr; // none while on the recycle list
    uint32_t BlockNumber = 0;
    uint32_t BlockSize = 0;
    uint8_t* Block = nullptr;             // the committed block
    TqbbmModifiedBlock* Newest = nullptr; // copies, newest first
    TqbSrTransaction* Transaction = nullptr;
    std::atomic<int32_t> RefCount{0};
    uint64_t LastUse = 0;
    bool NewBlock = false; // made for a block added by the current transaction
    int32_t TempBlock = -1;
    TqbBaseTempStorage* TempStore = nullptr; // the storage that holds TempBlock
    bool HasDiskFile = true;
    bool LeakReported = false;
    // Buffers replaced while the page was held (a commit, a rollback, a merge of levels): a holder
    // may still read them, so they go only once nobody holds the page. Guarded by the padlock;
    // HasRetired lets a release without the padlock see that it may have to free them.
    std::vector<uint8_t*> Retired;
    std::atomic<bool> HasRetired{false};
    // The list the page is on (LRU, in a transaction, parked or recycled) and its links there.
    TqbbmPageList* List = nullptr;
    TqbbmRAMPage* Prev = nullptr;
    TqbbmRAMPage* Next = nullptr;
};

// An intrusive list of pages, oldest first. A page is on one list at a time.
struct TqbbmPageList {
    TqbbmRAMPage* Head = nullptr;
    TqbbmRAMPage* Tail = nullptr;
    size_t Count = 0;
    void Append(TqbbmRAMPage* p);
    void Remove(TqbbmRAMPage* p);
    // A page of this list, not its tail, to the tail.
    void MoveToTail(TqbbmRAMPage* p);
};

class TqbBufferManager {
public:
    static constexpr uint32_t kDefaultMaxRAM = 10; // MB
    static constexpr uint64_t kIdleTakeoverMs = 300000;
    static constexpr uint8_t kNewBufferFill = 70;

    static constexpr uint32_t kTempBlockSize = 65536;

    // Pages of in-memory tables go to a temporary storage of TempStoreSize MB (none when 0) in
    // TempPath (empty: the system's temporary folder) when RAM runs short.
    TqbBufferManager(std::string TempPath = {}, uint32_t TempStoreSize = 0);
    virtual ~TqbBufferManager();
    TqbBufferManager(const TqbBufferManager&) = delete;
    TqbBufferManager& operator=(const TqbBufferManager&) = delete;

    void SetMaxRAM(uint32_t MB);
    uint32_t MaxRAM();
    uint32_t GetRAMUsed(); // whole MB
    uint64_t RAMUsedBytes();
    void Lock() { padlock_.Lock(); }
    void Unlock() { padlock_.Unlock(); }
    void BeginRenumber() { padlock_.Lock(); }
    void EndRenumber() { padlock_.Unlock(); }
    // Stamps 1 on every cached page in no transaction (renumbering).
    void StampIdlePages();
    uint32_t GetTempStoreSize();
    // Replaces the temporary storage; refused (server error 0) while pages are parked in it.
    // A file's own storage (TbtdFileInfo::TempStore) takes its pages instead.
    void SetTempStoreSize(uint32_t MB);
    // Where leaked references (pinned pages idle for five minutes) are reported.
    void SetLog(TqbBaseLog* log);

    uint8_t* GetBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber, TqbBlockRelease& Release, bool MarkDirty,
                      TqbSrTransaction* Transaction);
    uint8_t* AddBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t BlockNumber,
                      TqbBlockRelease& Release);
    // Reads and validates the header the first time and fills the file info from it.
    uint8_t* AddFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, TqbBlockRelease& Release,
                     bool MarkDirty);
    // Joins a cached page to the transaction and gives its copy.
    uint8_t* DirtyBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber, TqbSrTransaction* Transaction);
    uint32_t GetLSN(TbtdFileInfo& FileInfo, uint32_t BlockNumber);
    // A word of block 0 as the transaction sees it, without a hold on the block.
    uint32_t HeaderWord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t Offset);
    // The block whose number that word holds, in the same hold of the padlock; null (nothing held)
    // when the number is 0 or past the file's end. Number gets the word either way; Stamp, when
    // given, the block's GetLSN as it stood when the block was handed out.
    uint8_t* GetBlockNamedInHeader(TbtdFileInfo& FileInfo, uint32_t Offset, TqbBlockRelease& Release,
                                   bool MarkDirty, TqbSrTransaction* Transaction, uint32_t& Number,
                                   uint32_t* Stamp = nullptr);

    void StartTransaction(TqbSrTransaction& Transaction, bool FailSafe, const std::string& JournalFolder);
    // A failure raises 183. When it comes after the journal was complete, the transaction has
    // ended, the files' cached pages are dropped, the journal stays for recovery and
    // CommitLeftJournal tells so.
    void CommitTransaction(TqbSrTransaction& Transaction);
    // Writes the pages changed at level 0 only; pages with a copy of a nested level stay in the
    // transaction.
    void CommitPartial(TqbSrTransaction& Transaction);
    void RollbackTransaction(TqbSrTransaction& Transaction);
    // Writes the newest copy of each of the file's pages; other files stay in the transaction.
    void CommitFileChanges(TbtdFileInfo& FileInfo, TqbSrTransaction& Transaction);
    bool CommitLeftJournal(const TqbSrTransaction& Transaction);

    void RemoveFile(TbtdFileInfo& FileInfo);
    void TrimToMaxRAM();
    // Frees idle pages, oldest first, until at most Bytes (at most MaxRAM) are in use: a job that
    // commits whenever it passes the limit makes room for a fair amount of work before its next.
    void TrimTo(uint64_t Bytes);
    void ReleaseUnusedMemory();
    virtual void FreeRecycledPages();

    // For checks.
    size_t PageCount();
    size_t RecycledCount();
    TqbbmRAMPage* FindPage(TbtdFileInfo& FileInfo, uint32_t BlockNumber);
    // The file's cached pages: idle ones in order of use, oldest first, then those in a
    // transaction, then parked ones.
    std::vector<uint32_t> CachedBlocks(TbtdFileInfo& FileInfo);

    void ReleasePage(TqbbmRAMPage* page);

private:
    uint8_t* allocBuffer(uint32_t size); // not filled: each caller writes every byte
    void trimTo(uint64_t limit);         // with the padlock held
    // Both with the padlock held.
    uint32_t headerWord(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t offset);
    uint8_t* getBlock(TbtdFileInfo& f, uint32_t n, TqbBlockRelease& release, bool dirty, TqbSrTransaction* t,
                      TqbbmRAMPage** page = nullptr);
    // getBlock after checkBlock.
    inline uint8_t* getCheckedBlock(TbtdFileInfo& f, uint32_t n, TqbBlockRelease& release, bool dirty,
                                    TqbSrTransaction* t, TqbbmRAMPage** page = nullptr);
    static uint32_t lsnOf(const TqbbmRAMPage* p);
    void freeBuffer(uint8_t*& buf, uint32_t size);
    TqbbmRAMPage* allocPage(TbtdFileInfo& f, uint32_t block);
    bool removable(TqbbmRAMPage* p);
    // Moves the page to the end of the list its state puts it on: the recycle list without a
    // file, the transaction list while in one, the parked list while in temporary storage, else
    // the LRU list. Only the LRU list is walked for a page to take over.
    void place(TqbbmRAMPage* p);
    // Frees the page's buffer, or keeps it until the page's last holder releases it.
    void retire(TqbbmRAMPage* p, uint8_t*& buf);
    // Frees the retired buffers once nobody holds the page.
    void reclaim(TqbbmRAMPage* p);
    // Every page of the file, on whichever list.
    std::vector<TqbbmRAMPage*> pagesOf(TbtdFileInfo& f);
    // Takes pages no longer in the transaction out of its page list and its levels' lists.
    void forgetLeft(TqbSrTransaction& t);
    void detach(TqbbmRAMPage* p);
    void freePage(TqbbmRAMPage* p);
    // Frees the page's block in temporary storage, when it has one.
    void dropTempBlock(TqbbmRAMPage* p);
    void indexPut(TbtdFileInfo& f, uint32_t block, TqbbmRAMPage* p);
    // The hot path of every block access, inline in its own file (defined there only).
    // The file is open and has the block.
    inline void checkBlock(TbtdFileInfo& f, uint32_t block);
    // The block's page, read in when not cached.
    inline TqbbmRAMPage* cachedPage(TbtdFileInfo& f, uint32_t block);
    inline uint8_t* handOut(TqbbmRAMPage* p, TqbSrTransaction* t, TqbBlockRelease& release);
    // The buffer the transaction sees: its newest copy, else the committed block.
    static inline uint8_t* visible(TqbbmRAMPage* p, TqbSrTransaction* t);
    void makeDirty(TqbbmRAMPage* p, TqbSrTransaction& t);
    inline void touch(TqbbmRAMPage* p);
    inline void checkFile(TbtdFileInfo& f);
    void loadBlock(TqbbmRAMPage* p);
    // In-memory tables: the committed block to temporary storage and back.
    bool park(TqbbmRAMPage* p);
    void unpark(TqbbmRAMPage* p);

    void freeCopy(TqbbmModifiedBlock* m);
    // The page's copies go and the page is no longer the transaction's; forgetLeft then takes it
    // out of the transaction's lists (one pass for many pages).
    void leaveTransaction(TqbbmRAMPage* p);
    void commitLevel(TqbSrTransaction& t);
    void rollbackPage(TqbbmRAMPage* p, TqbSrTransaction& t);
    // The durable write of level-0 images: journal, table writes, syncs, journal deletion.
    void writeDurably(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& pages);
    // Stamps the header of each file of pages that the transaction has not changed; those
    // headers join pages.
    void stampHeaders(TqbSrTransaction& t, std::vector<TqbbmRAMPage*>& pages);
    void failAfterJournal(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& pages);
    void adoptImages(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& pages);

    // Journal writer.
    void openJournal(TqbSrTransaction& t);
    void closeJournal(TqbSrTransaction& t, bool remove);

    // Freed block buffers kept for the next page or copy, so that a run of new blocks neither
    // calls the allocator nor faults in fresh memory for each; by size, at most kSpareBufferBytes
    // and a quarter of the RAM limit.
    static constexpr uint64_t kSpareBufferBytes = 16 * 1048576;
    std::vector<std::pair<uint32_t, std::vector<uint8_t*>>> spare_;
    uint64_t spareBytes_ = 0;
    void dropSpares();
    // Buffers handed back to the allocator since the heap was last trimmed. The allocator keeps
    // the memory of small blocks freed in the middle of its heap: after a large transaction the
    // process would keep every page it ever changed.
    static constexpr uint64_t kGiveBackBytes = 32 * 1048576;
    std::atomic<uint64_t> freedBytes_{0};
    // Returns the heap's free memory to the system once enough was freed (after a commit or a
    // rollback).
    void giveBackFreed();

    TqbPadlock padlock_;
    std::string tempPath_;
    uint32_t tempStoreSize_;
    std::unique_ptr<TqbTempStorageMM> temp_;
    uint32_t maxRAM_ = kDefaultMaxRAM;
    uint64_t ramBytes_ = 0;
    TqbbmPageList lru_;
    TqbbmPageList recycle_;
    TqbbmPageList inTransaction_;
    TqbbmPageList parked_;
    // Identifiers of transactions whose failed commit left a complete journal.
    std::set<uint32_t> leftJournal_;
    TqbBaseLog* log_ = nullptr;
};

// The journal of a commit: header and record layout.
inline constexpr uint32_t kJournalSignature = 0x4842514A;       // 'J','Q','B','H'
inline constexpr uint32_t kJournalRecordSignature = 0x4852464A; // 'J','F','R','H'
inline constexpr uint32_t kJournalHeaderSize = 8;
inline constexpr uint32_t kJournalRecordHeaderSize = 276;
inline constexpr uint32_t kJournalNameSize = 260;
inline constexpr char kJournalExtension[] = "QB$";
// From this many bytes of blocks a commit adds to a file, they go straight to the file (one more
// sync of it) instead of into the journal as well.
inline constexpr uint64_t kDirectAddedBytes = 64 * 1024;
