// Folders: one per data directory the engine has open, with the directory's lock manager and
// transaction manager shared by every database opened on it, and the engine's list of them.
#pragma once
#include "db/base/qbllbase.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrlock.h"
#include "platform/Files.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TqbBufferManager;
class TqbJournalPrompt;
class TqbBaseLog;

// Longest folder path a database may use.
inline constexpr size_t kMaxFolderPath = 219;
// The one-process-per-folder lock file.
inline constexpr char kFolderLockName[] = "QBSERVER.LCK";

// The folder's identity: its full path with "." and ".." and symbolic links resolved, case kept.
// Empty when the path names no folder.
std::string CanonicalFolderPath(std::string_view Path);

// Constant after construction except the reference count, which the folder list changes under its
// write lock.
class TqbSrFolder {
public:
    // Takes the folder for this process (unless ReadOnly), recovers the journals left in it, then
    // finishes or undoes the file swaps left in it, then makes the lock manager and the transaction
    // manager. 10018 for a path that names no folder or is longer than kMaxFolderPath; 160 when
    // another process holds the folder; 1 when its lock file cannot be opened.
    TqbSrFolder(std::string_view Path, TqbBufferManager* BufferManager, bool ReadOnly,
                TqbJournalPrompt* Prompt = nullptr, TqbBaseLog* Log = nullptr);
    ~TqbSrFolder();
    TqbSrFolder(const TqbSrFolder&) = delete;
    TqbSrFolder& operator=(const TqbSrFolder&) = delete;

    void AddRef() { refs_.fetch_add(1); }
    // True when the count reached 0.
    bool Release() { return refs_.fetch_sub(1) - 1 <= 0; }
    void ReleaseIfUsed();
    int32_t RefCount() const { return refs_.load(); }

    // The canonical path, used for every file of the folder.
    const std::string& GetPath() const { return path_; }
    uint32_t PathHash() const { return hash_; }
    bool ReadOnly() const { return readOnly_; }
    TqbLockManager& LockManager() { return *lockManager_; }
    TqbSrTransactionMgr& TransactionMgr() { return *transactionMgr_; }

private:
    std::string path_;
    uint32_t hash_;
    bool readOnly_;
    plat::FolderLock folderLock_;
    std::unique_ptr<TqbLockManager> lockManager_;
    std::unique_ptr<TqbSrTransactionMgr> transactionMgr_;
    std::atomic<int32_t> refs_{0};
};

using TqbSrFolderPtr = std::shared_ptr<TqbSrFolder>;

// The engine's folders. Its portal guards the list and the reference counts; a folder leaves the
// list at count 0 and is freed when the last table or database holding it lets go.
class TqbSrFolderList {
public:
    TqbSrFolderList(TqbJournalPrompt* Prompt = nullptr, TqbBaseLog* Log = nullptr)
        : prompt_(Prompt), log_(Log) {}

    TqbSrFolderList* BeginWrite() {
        portal_.BeginWrite();
        return this;
    }
    void EndWrite() { portal_.EndWrite(); }

    // The folder of the path (made on first use), with its count raised.
    TqbSrFolderPtr AddFolder(std::string_view Path, bool ReadOnly, TqbBufferManager* BufferManager);
    // Lowers the count; at 0 the folder leaves the list. Clears the caller's reference either way.
    void ReleaseFolder(TqbSrFolderPtr& Folder);
    // -1 when the path's folder is not open.
    int IndexOfPath(std::string_view Path);
    // Folders at count 0 leave the list.
    void RemoveUnused();
    int Count();

private:
    int indexOfCanonical(const std::string& canonical);
    TqbReadWritePortal portal_;
    std::vector<TqbSrFolderPtr> folders_;
    TqbJournalPrompt* prompt_;
    TqbBaseLog* log_;
};
