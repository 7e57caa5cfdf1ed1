// Transactions and the transaction manager of a database folder, with the counter file.
#include "db/storage/QBSRTran.h"

#include "classlib/SysUtils.h"
#include "db/base/qbllbase.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrbase.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbsrjour.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>
#include <atomic>
#include <ctime>

namespace {

std::atomic<uint32_t> g_transactionIDs{0};

cls::TDateTime nowDateTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return cls::EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
           cls::EncodeTime(tm.tm_hour, tm.tm_min, std::min(tm.tm_sec, 59), 0);
}

} // namespace

TqbSrTransaction::TqbSrTransaction(uint64_t databaseID)
    : DatabaseID(databaseID), level_(std::make_unique<TqbSrTransactionLevel>(nullptr, 0)),
      id_(++g_transactionIDs) {}

TqbSrTransaction::~TqbSrTransaction() = default;

void TqbSrTransaction::UsesBLOBManager(const std::shared_ptr<TqbBLOBResourceManager>& Manager) {
    for (const auto& m : BLOBManagers)
        if (m.lock() == Manager) return;
    BLOBManagers.push_back(Manager);
}

void TqbSrTransaction::StartNested() {
    uint32_t n = level_->LevelNumber + 1;
    level_ = std::make_unique<TqbSrTransactionLevel>(std::move(level_), n);
}

void TqbSrTransaction::EndNested() {
    if (level_->Previous) level_ = std::move(level_->Previous);
}

// ---------------------------------------------------------------------------------------------

uint32_t LargestHeaderStamp(const std::string& folder) {
    uint32_t largest = 0;
    plat::FileFind find;
    if (find.first(PathMakeFull(folder.empty() ? "." : folder, "*.QB2")) != 0) return 0;
    do {
        if (find.entry().isDir) continue;
        plat::File f;
        uint8_t h[16];
        if (f.open(find.path(), plat::kFileRead) != 0 || plat::FileReadExact(f.handle(), 0, h, sizeof h) != 0)
            continue;
        if (plat::LoadLE32(h) == kSigHeader) largest = std::max(largest, plat::LoadLE32(h + kBlkStamp));
    } while (find.next());
    return largest;
}

TqbSrTransactionMgr::TqbSrTransactionMgr(TqbBufferManager* BufferManager, bool ReadOnly,
                                         std::string FolderPath, TqbLockManager* LockManager,
                                         TqbRecoveryEngine* Recovery)
    : bm_(BufferManager), lm_(LockManager), folder_(std::move(FolderPath)), readOnly_(ReadOnly),
      recovery_(Recovery) {
    readCounterFile();
}

TqbSrTransactionMgr::~TqbSrTransactionMgr() {
    try {
        writeCounterFile();
    } catch (...) {
        // The next start rebuilds the number from the table headers.
    }
    if (counterFile_ && IsFileOpen(*counterFile_)) {
        try {
            CloseFile(*counterFile_);
        } catch (...) {
        }
    }
}

void TqbSrTransactionMgr::readCounterFile() {
    const std::string name = PathMakeFull(folder_.empty() ? "." : folder_, kCounterFileName);
    uint32_t stored = 0;
    double stamp = 0;
    auto parse = [&](const uint8_t* b) {
        plat::ByteReader r(b, 12);
        stored = r.u32();
        uint64_t bits = r.u64();
        std::memcpy(&stamp, &bits, 8);
    };
    if (readOnly_) {
        std::string data;
        if (plat::FileReadAll(plat::ResolveCaseInsensitive(name), data) == 0 && data.size() >= 12)
            parse(reinterpret_cast<const uint8_t*>(data.data()));
    } else {
        // Held open without sharing while the manager lives: one engine process per folder.
        counterFile_ = std::make_unique<TbtdFileInfo>();
        counterFile_->FileName = name;
        bool exists = plat::FileExists(plat::ResolveCaseInsensitive(name));
        OpenFile(*counterFile_, true, 0, !exists, false);
        uint8_t b[12];
        if (exists && ReadFileBuffer(*counterFile_, 12, b) == 12) parse(b);
        if (recovery_) {
            try {
                recovery_->CheckFolder("", folder_);
            } catch (...) {
                CloseFile(*counterFile_);
                throw;
            }
        }
    }
    // Whatever the file says, numbers continue above every stamp on disk.
    uint32_t largest = LargestHeaderStamp(folder_);
    uint64_t next = std::max<uint64_t>(stored, uint64_t(largest) + 1);
    next_ = uint32_t(std::min<uint64_t>(next, kLastTransactionNumber + 1));
    if (next_ == 0) next_ = 1;
    renumberDateTime_ = next > stored ? 0 : stamp;
}

void TqbSrTransactionMgr::writeCounterFile() {
    if (readOnly_ || !counterFile_ || !IsFileOpen(*counterFile_)) return;
    uint8_t b[12];
    uint64_t bits;
    std::memcpy(&bits, &renumberDateTime_, 8);
    plat::StoreLE32(b, next_);
    plat::StoreLE64(b + 4, bits);
    WriteFileExactAt(*counterFile_, 0, 12, b);
}

void TqbSrTransactionMgr::SetNextTransactionNumberForTesting(uint32_t next) {
    std::lock_guard lk(m_);
    next_ = next;
}

uint32_t TqbSrTransactionMgr::NextTransactionNumber() {
    std::lock_guard lk(m_);
    return next_;
}

std::optional<uint32_t> TqbSrTransactionMgr::LowestActiveNumber() {
    std::lock_guard lk(m_);
    std::optional<uint32_t> low;
    for (auto& t : active_)
        if (!low || t->TransactionNumber < *low) low = t->TransactionNumber;
    return low;
}

double TqbSrTransactionMgr::RenumberDateTime() {
    std::lock_guard lk(m_);
    return renumberDateTime_;
}

bool TqbSrTransactionMgr::Damaged() {
    std::lock_guard lk(m_);
    return damaged_;
}

void TqbSrTransactionMgr::Recover(TqbRecoveryEngine& Recovery) {
    Recovery.CheckFolder("", folder_);
    uint32_t largest = LargestHeaderStamp(folder_);
    std::lock_guard lk(m_);
    if (largest >= next_)
        next_ = uint32_t(std::min<uint64_t>(uint64_t(largest) + 1, kLastTransactionNumber + 1));
    damaged_ = false;
}

// Committed blocks keep numbers below every active transaction: the active ones move down to
// start at 2, and cached pages outside any transaction are stamped 1.
void TqbSrTransactionMgr::renumber() {
    if (bm_) bm_->BeginRenumber();
    if (active_.empty()) {
        next_ = 2;
    } else {
        uint32_t low = kLastTransactionNumber + 1, high = 0;
        for (auto& t : active_)
            low = std::min(low, t->TransactionNumber);
        uint32_t delta = low - 2;
        for (auto& t : active_) {
            t->TransactionNumber -= delta;
            high = std::max(high, t->TransactionNumber);
        }
        next_ = high + 1;
    }
    renumberDateTime_ = nowDateTime();
    if (bm_) {
        bm_->StampIdlePages();
        bm_->EndRenumber();
    }
}

int32_t TqbSrTransactionMgr::StartTransaction(uint64_t DatabaseID, bool FailSafe,
                                              TqbSrTransaction*& Transaction) {
    std::unique_lock lk(m_);
    if (damaged_) {
        std::string text = ServerStrings().GetText(183);
        throw EqbServerException(text + " [the journal in " + folder_ + " must be recovered first]", 183);
    }
    for (auto& t : active_)
        if (t->DatabaseID == DatabaseID) {
            t->StartNested();
            Transaction = t.get();
            return 0;
        }
    if (next_ > kLastTransactionNumber) renumber();
    auto t = std::make_unique<TqbSrTransaction>(DatabaseID);
    t->TransactionNumber = next_++;
    TqbSrTransaction* raw = t.get();
    active_.push_back(std::move(t));
    if (next_ > kLastTransactionNumber) renumber();
    lk.unlock();
    if (bm_) {
        try {
            bm_->StartTransaction(*raw, FailSafe, folder_);
        } catch (...) {
            finish(raw);
            throw;
        }
    }
    Transaction = raw;
    return 0;
}

TqbSrTransaction* TqbSrTransactionMgr::TransactionOf(uint64_t DatabaseID) {
    std::lock_guard lk(m_);
    for (auto& t : active_)
        if (t->DatabaseID == DatabaseID) return t.get();
    return nullptr;
}

TqbSrTransaction* TqbSrTransactionMgr::ActiveTransaction(size_t n) {
    std::lock_guard lk(m_);
    return n < active_.size() ? active_[n].get() : nullptr;
}

size_t TqbSrTransactionMgr::ActiveCount() {
    std::lock_guard lk(m_);
    return active_.size();
}

void TqbSrTransactionMgr::finish(TqbSrTransaction* t) {
    if (lm_) lm_->ReleaseTransactionLocks(*t, false);
    std::lock_guard lk(m_);
    std::erase_if(active_, [t](auto& p) { return p.get() == t; });
}

// A commit hands the segments the transaction freed to the free lists. A rollback, at any level,
// drops what the managers hold: they read the deleted chains again as the blocks now stand, so
// nothing undone is handed out. A nested commit leaves them pending in the outer level.
void TqbSrTransactionMgr::settleBLOBManagers(TqbSrTransaction& t, bool commit) {
    for (const auto& w : t.BLOBManagers)
        if (auto m = w.lock()) commit ? m->Commit() : m->Rollback();
    if (!t.IsNested()) t.BLOBManagers.clear();
}

int32_t TqbSrTransactionMgr::Commit(uint64_t DatabaseID, bool& Nested) {
    TqbSrTransaction* t = TransactionOf(DatabaseID);
    if (!t) return 9990;
    Nested = t->IsNested();
    try {
        if (bm_) bm_->CommitTransaction(*t);
    } catch (...) {
        if (bm_ && bm_->CommitLeftJournal(*t)) {
            {
                std::lock_guard lk(m_);
                damaged_ = true;
            }
            settleBLOBManagers(*t, false);
            finish(t);
        }
        throw;
    }
    if (Nested) {
        t->EndNested();
    } else {
        settleBLOBManagers(*t, true);
        finish(t);
    }
    return 0;
}

int32_t TqbSrTransactionMgr::Rollback(uint64_t DatabaseID, bool& Nested) {
    TqbSrTransaction* t = TransactionOf(DatabaseID);
    if (!t) return 9990;
    Nested = t->IsNested();
    if (bm_) bm_->RollbackTransaction(*t);
    settleBLOBManagers(*t, false);
    if (Nested)
        t->EndNested();
    else
        finish(t);
    return 0;
}
