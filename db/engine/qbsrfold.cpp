// Folders and the folder list.
#include "db/engine/qbsrfold.h"

#include "db/engine/qbsrswap.h"

#include "db/base/qbhash.h"
#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbllunc.h"
#include "db/storage/qbsrjour.h"
#include "platform/Paths.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

std::string CanonicalFolderPath(std::string_view Path) {
    if (Path.empty()) return {};
    std::string full;
    try {
        full = PathExpandUNC(plat::ToNativePath(Path));
    } catch (const EqbException&) {
        return {};
    }
    if (&plat::Files() == &plat::PosixFiles()) {
        // Symbolic links too: two spellings of one directory are one folder.
        char buf[PATH_MAX];
        if (!::realpath(full.c_str(), buf)) return {};
        full = buf;
    }
    full = plat::ExcludeTrailingPathDelimiter(full);
    return plat::DirectoryExists(full) ? full : std::string();
}

namespace {
[[noreturn]] void raiseNoFolder() {
    throw EqbServerException(CompatErrorStrings(), 10018);
}
} // namespace

void TqbFolderRecovery::Run(const std::string& Folder, std::string Alias) {
    if (Alias.empty() && AliasOf) Alias = AliasOf(Folder);
    std::set<std::string> known;
    {
        std::lock_guard lk(mu_);
        known = known_;
    }
    // Asked outside the lock: the question may wait for the operator.
    try {
        TqbRecoveryEngine engine(Prompt, Log);
        engine.UndoneCopy = TqbFileSwap::IsUndoneCopy;
        engine.CheckFolder(Alias, Folder, &known);
    } catch (...) {
        std::lock_guard lk(mu_);
        known_.insert(known.begin(), known.end());
        throw;
    }
    std::lock_guard lk(mu_);
    known_.insert(known.begin(), known.end());
}

void TqbFolderRecovery::SettleSwaps(const std::string& Folder) {
    std::vector<std::string> failed;
    TqbFileSwap::RecoverFolder(Folder, failed);
    // A table whose swap could not be settled now tries again when it is opened.
    if (Log)
        for (auto& f : failed)
            Log("File swap left unfinished: " + f);
}

TqbSrFolder::TqbSrFolder(std::string_view Path, TqbBufferManager* BufferManager, bool ReadOnly,
                         TqbFolderRecovery* Recovery, bool DeferJournals)
    : path_(CanonicalFolderPath(Path)), hash_(HashShStr(path_)), readOnly_(ReadOnly) {
    if (path_.empty() || path_.size() > kMaxFolderPath) raiseNoFolder();
    if (!ReadOnly) {
        if (int err = folderLock_.acquire(path_, kFolderLockName)) {
            if (err == plat::kErrSharingViolation) RaiseServerError(160);
            // Not another process: the lock file itself could not be made or opened.
            RaiseServerError(1, {plat::JoinPath(path_, kFolderLockName), err, plat::FileErrorText(err)});
        }
        // Before any table of the folder opens: what a crash left half-committed is settled, then
        // file swaps it interrupted are finished or undone. Never the other way round: undoing a
        // swap deletes the copy that a journal left may still write into. Deferred, both wait.
        TqbFolderRecovery fallback;
        TqbFolderRecovery& r = Recovery ? *Recovery : fallback;
        if (DeferJournals) {
            journalsChecked_ = false;
        } else {
            r.Run(path_);
            r.SettleSwaps(path_);
        }
    }
    lockManager_ = std::make_unique<TqbLockManager>();
    transactionMgr_ =
        std::make_unique<TqbSrTransactionMgr>(BufferManager, ReadOnly, path_, lockManager_.get());
}

TqbSrFolder::~TqbSrFolder() {
    transactionMgr_.reset();
    lockManager_.reset();
}

void TqbSrFolder::ReleaseIfUsed() {
    int32_t n = refs_.load();
    while (n > 0 && !refs_.compare_exchange_weak(n, n - 1)) {
    }
}

TqbSrFolderPtr TqbSrFolderList::AddFolder(std::string_view Path, bool ReadOnly,
                                          TqbBufferManager* BufferManager) {
    std::string canonical = CanonicalFolderPath(Path);
    if (canonical.empty() || canonical.size() > kMaxFolderPath) raiseNoFolder();
    PortalWriteGuard g(portal_);
    int i = indexOfCanonical(canonical);
    TqbSrFolderPtr f;
    if (i >= 0) {
        f = folders_[size_t(i)];
    } else {
        f = std::make_shared<TqbSrFolder>(canonical, BufferManager, ReadOnly, &recovery_, deferJournals_);
        if (!f->JournalsChecked()) deferred_.insert(canonical);
        folders_.push_back(f);
    }
    f->AddRef();
    return f;
}

void TqbSrFolderList::SetDeferJournals(bool Defer) {
    PortalWriteGuard g(portal_);
    deferJournals_ = Defer;
}

void TqbSrFolderList::RecoverFolder(const std::string& Alias, std::string_view Path) {
    std::string canonical = CanonicalFolderPath(Path);
    if (canonical.empty() || canonical.size() > kMaxFolderPath) {
        if (recovery_.Log)
            recovery_.Log("Journals of " + std::string(Path) + " not checked: no such folder.");
        return;
    }
    // Nothing else opens folders while the engine starts; the folder's own lock keeps other
    // processes out while its journals are settled.
    PortalWriteGuard g(portal_);
    deferred_.erase(canonical);
    int i = indexOfCanonical(canonical);
    if (i >= 0) {
        TqbSrFolder& f = *folders_[size_t(i)];
        if (!f.JournalsChecked()) {
            recovery_.Run(canonical, Alias);
            recovery_.SettleSwaps(canonical);
            f.journalsChecked_ = true;
        }
        return;
    }
    plat::FolderLock lock;
    if (int err = lock.acquire(canonical, kFolderLockName)) {
        if (recovery_.Log)
            recovery_.Log("Journals not checked: " + plat::FolderLock::ErrorText(canonical, err) + ".");
        return;
    }
    recovery_.Run(canonical, Alias);
    recovery_.SettleSwaps(canonical);
}

void TqbSrFolderList::RecoverDeferred() {
    std::set<std::string> left;
    {
        PortalWriteGuard g(portal_);
        left.swap(deferred_);
    }
    for (const std::string& f : left)
        RecoverFolder({}, f);
}

void TqbSrFolderList::ReleaseFolder(TqbSrFolderPtr& Folder) {
    TqbSrFolderPtr f = std::move(Folder);
    Folder.reset();
    if (!f) return;
    TqbSrFolderPtr gone; // freed (when nothing else holds it) outside the portal
    PortalWriteGuard g(portal_);
    auto it = std::find(folders_.begin(), folders_.end(), f);
    if (it == folders_.end()) return;
    if (f->Release()) {
        gone = std::move(*it);
        folders_.erase(it);
    }
}

int TqbSrFolderList::indexOfCanonical(const std::string& canonical) {
    uint32_t h = HashShStr(canonical);
    for (size_t i = 0; i < folders_.size(); ++i)
        if (folders_[i]->PathHash() == h && folders_[i]->GetPath() == canonical) return int(i);
    return -1;
}

int TqbSrFolderList::IndexOfPath(std::string_view Path) {
    std::string canonical = CanonicalFolderPath(Path);
    if (canonical.empty()) return -1;
    PortalReadGuard g(portal_);
    return indexOfCanonical(canonical);
}

void TqbSrFolderList::RemoveUnused() {
    std::vector<TqbSrFolderPtr> gone;
    {
        PortalWriteGuard g(portal_);
        for (size_t i = folders_.size(); i-- > 0;)
            if (folders_[i]->RefCount() <= 0) {
                gone.push_back(std::move(folders_[i]));
                folders_.erase(folders_.begin() + ptrdiff_t(i));
            }
    }
}

int TqbSrFolderList::Count() {
    PortalReadGuard g(portal_);
    return int(folders_.size());
}
