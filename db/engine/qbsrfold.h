// Folders: one per data directory the engine has open, with the directory's lock manager and
// transaction manager shared by every database opened on it, and the engine's list of them.
#pragma once
#include "db/base/qbllbase.h"
#include "db/storage/QBSRTran.h"
#include "db/storage/qbsrjour.h"
#include "db/storage/qbsrlock.h"
#include "platform/Files.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class TqbBufferManager;

// Longest folder path a database may use.
inline constexpr size_t kMaxFolderPath = 219;
// The one-process-per-folder lock file.
inline constexpr char kFolderLockName[] = "QBSERVER.LCK";

// The folder's identity: its full path with "." and ".." and symbolic links resolved, case kept.
// Empty when the path names no folder.
std::string CanonicalFolderPath(std::string_view Path);

// How the journals of a folder are recovered: who is asked, where it is told, the alias shown.
class TqbFolderRecovery {
public:
    TqbJournalPrompt* Prompt = nullptr;
    TqbRecoveryLog Log;
    // The alias of a folder (its canonical path); empty when it has none.
    std::function<std::string(const std::string& Folder)> AliasOf;

    // Recovers the journals of a folder this process holds; files reported and kept before are
    // not asked about again. Raises as the recovery check does.
    void Run(const std::string& Folder, std::string Alias = {});
    // Finishes or undoes the file swaps left in a folder this process holds (after Run), logging
    // those that stay unsettled.
    void SettleSwaps(const std::string& Folder);

private:
    std::mutex mu_;
    std::set<std::string> known_;
};

// Constant after construction except the reference count, which the folder list changes under its
// write lock.
class TqbSrFolder {
public:
    // Takes the folder for this process (unless ReadOnly), recovers the journals left in it
    // (through Recovery; unless DeferJournals), then finishes or undoes the file swaps left in it,
    // then makes the lock manager and the transaction manager. 10018 for a path that names no
    // folder or is longer than kMaxFolderPath; 160 when another process holds the folder; 1 when
    // its lock file cannot be opened.
    TqbSrFolder(std::string_view Path, TqbBufferManager* BufferManager, bool ReadOnly,
                TqbFolderRecovery* Recovery = nullptr, bool DeferJournals = false);
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
    // False while journal recovery was deferred (see TqbSrFolderList::SetDeferJournals).
    bool JournalsChecked() const { return journalsChecked_.load(); }
    TqbLockManager& LockManager() { return *lockManager_; }
    TqbSrTransactionMgr& TransactionMgr() { return *transactionMgr_; }

private:
    std::string path_;
    uint32_t hash_;
    bool readOnly_;
    friend class TqbSrFolderList; // marks a deferred folder checked
    std::atomic<bool> journalsChecked_{true};
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
    TqbSrFolderList() = default;

    // Who is asked about the journals of folders as they open, and where it is told. Set before use.
    TqbFolderRecovery& Recovery() { return recovery_; }
    // While set, folders that open leave their journals for RecoverFolder (the configuration
    // folder, opened before the recovery check, keeps its system tables out of any journal's
    // reach until then: they are written under another name and renamed once complete).
    void SetDeferJournals(bool Defer);
    // The start-up check of one folder: its journals are recovered unless another process holds
    // the folder (logged and left). A folder already open here is checked when it was not yet.
    void RecoverFolder(const std::string& Alias, std::string_view Path);
    // RecoverFolder for each folder opened with its journals deferred and not yet checked.
    void RecoverDeferred();

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
    TqbFolderRecovery recovery_;
    bool deferJournals_ = false;
    // The folders that opened with their journals deferred and have not been checked since.
    std::set<std::string> deferred_;
};
