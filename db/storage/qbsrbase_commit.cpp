// Buffer manager: commit and rollback of transaction levels, the journal writer, and the durable
// level-0 commit (journal, table writes, syncs, journal deletion) that a crash cannot tear.
#include "db/storage/qbsrbase.h"

#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace {

// Run-unique part of journal names, so a journal kept from an earlier run is never reused.
std::atomic<uint32_t> g_journalCounter{0};

// A failed commit is reported as 183 with the cause behind it.
[[noreturn]] void raiseCommitFailed(const std::string& cause) {
    try {
        RaiseServerError(183);
    } catch (EqbServerException& e) {
        throw EqbServerException(e.Message() + " [" + cause + "]", 183);
    }
}

std::string causeOf(std::exception_ptr ep) {
    try {
        std::rethrow_exception(ep);
    } catch (const cls::Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace

void TqbBufferManager::freeCopy(TqbbmModifiedBlock* m) {
    retire(m->Page, m->Buffer);
    delete m;
}

void TqbBufferManager::leaveTransaction(TqbbmRAMPage* p) {
    for (TqbbmModifiedBlock* m = p->Newest; m;) {
        TqbbmModifiedBlock* prev = m->Previous;
        freeCopy(m);
        m = prev;
    }
    p->Newest = nullptr;
    p->Transaction = nullptr;
    // A hold reaching past the transaction is dated from its end.
    if (p->RefCount.load() > 0) p->LastUse = plat::CoarseNowMs();
    place(p); // back on the LRU list as its newest page
}

void TqbBufferManager::forgetLeft(TqbSrTransaction& t) {
    auto left = [&t](TqbbmRAMPage* p) { return p->Transaction != &t; };
    std::erase_if(t.Pages, left);
    for (TqbSrTransactionLevel* l = t.CurrentLevel(); l; l = l->Previous.get())
        std::erase_if(l->Copies, left);
}

void TqbBufferManager::StartTransaction(TqbSrTransaction& Transaction, bool FailSafe,
                                        const std::string& JournalFolder) {
    std::lock_guard lk(padlock_);
    Transaction.FailSafe = FailSafe;
    Transaction.JournalFolder = JournalFolder;
    Transaction.JournalState = kJournalNone;
    if (FailSafe) openJournal(Transaction);
}

bool TqbBufferManager::CommitLeftJournal(const TqbSrTransaction& Transaction) {
    std::lock_guard lk(padlock_);
    return leftJournal_.count(Transaction.TransactionID()) != 0;
}

// A nested level: each copy merges into the outer level's copy, or moves there.
void TqbBufferManager::commitLevel(TqbSrTransaction& t) {
    TqbSrTransactionLevel* level = t.CurrentLevel();
    TqbSrTransactionLevel* outer = level->Previous.get();
    for (TqbbmRAMPage* p : level->Copies) {
        TqbbmModifiedBlock* m = p->Newest;
        if (!m || m->Level != level) continue;
        if (m->Previous && m->Previous->Level == outer) {
            std::memcpy(m->Previous->Buffer, m->Buffer, p->BlockSize);
            p->Newest = m->Previous;
            freeCopy(m);
        } else {
            m->Level = outer;
            outer->Copies.push_back(p);
        }
    }
    level->Copies.clear();
}

void TqbBufferManager::CommitTransaction(TqbSrTransaction& Transaction) {
    std::lock_guard lk(padlock_);
    if (Transaction.IsNested()) {
        commitLevel(Transaction);
    } else {
        std::vector<TqbbmRAMPage*> pages = Transaction.Pages;
        writeDurably(Transaction, pages);
        if (Transaction.Journal) closeJournal(Transaction, true);
    }
    TrimToMaxRAM();
    giveBackFreed();
}

void TqbBufferManager::CommitPartial(TqbSrTransaction& Transaction) {
    std::lock_guard lk(padlock_);
    std::vector<TqbbmRAMPage*> pages;
    for (TqbbmRAMPage* p : Transaction.Pages)
        if (p->Newest && !p->Newest->Previous && p->Newest->Level->LevelNumber == 0) pages.push_back(p);
    writeDurably(Transaction, pages);
    TrimToMaxRAM();
    giveBackFreed();
}

void TqbBufferManager::CommitFileChanges(TbtdFileInfo& FileInfo, TqbSrTransaction& Transaction) {
    std::lock_guard lk(padlock_);
    std::vector<TqbbmRAMPage*> pages;
    for (TqbbmRAMPage* p : Transaction.Pages)
        if (p->File == &FileInfo) pages.push_back(p);
    writeDurably(Transaction, pages);
}

void TqbBufferManager::rollbackPage(TqbbmRAMPage* p, TqbSrTransaction& t) {
    TqbbmModifiedBlock* m = p->Newest;
    if (!m || m->Level != t.CurrentLevel()) return;
    p->Newest = m->Previous;
    freeCopy(m);
    if (p->Newest) return;
    leaveTransaction(p);
    if (p->NewBlock && p->File) {
        // The block never existed outside the transaction.
        detach(p);
        p->NewBlock = false;
        place(p);
    }
}

void TqbBufferManager::RollbackTransaction(TqbSrTransaction& Transaction) {
    std::lock_guard lk(padlock_);
    TqbSrTransactionLevel* level = Transaction.CurrentLevel();
    std::vector<TqbbmRAMPage*> copies;
    copies.swap(level->Copies);
    std::set<TbtdFileInfo*> files;
    for (TqbbmRAMPage* p : copies) {
        if (p->File) files.insert(p->File);
        rollbackPage(p, Transaction);
    }
    forgetLeft(Transaction);
    // A file's block count follows its header as the transaction now sees it.
    for (TbtdFileInfo* f : files)
        if (TqbbmRAMPage* h = f->Block0Page)
            f->BlockCount = BlockWord(
                h->Transaction == &Transaction && h->Newest ? h->Newest->Buffer : h->Block, kHdrBlockCount);
    if (!Transaction.IsNested() && Transaction.Journal) {
        try {
            closeJournal(Transaction, true);
        } catch (...) {
            // A journal still in state 0 is deleted at the next start without touching a table.
        }
    }
    TrimToMaxRAM();
    giveBackFreed();
}

// ---------------------------------------------------------------------------------------------
// Journal writer

void TqbBufferManager::openJournal(TqbSrTransaction& t) {
    if (t.Journal) return;
    const std::string folder = t.JournalFolder.empty() ? "." : t.JournalFolder;
    plat::FileHandle h = plat::kNoFile;
    std::string name;
    int err = EEXIST;
    for (int attempt = 0; attempt < 1000 && err == EEXIST; ++attempt) {
        name = PathMakeFull(folder, std::to_string(t.TransactionNumber) + "_" +
                                        std::to_string(++g_journalCounter) + "." + kJournalExtension);
        err = plat::FileOpen(
            name, plat::kFileReadWrite | plat::kFileCreate | plat::kFileExclusive | plat::kFileNoFollow,
            plat::FileShare::None, h, 0600);
    }
    if (err) RaiseServerError(1, {name, err, plat::FileErrorText(err)});
    auto j = std::make_unique<TbtdFileInfo>();
    j->FileName = name;
    j->Handle = h;
    j->ReadWrite = true;
    t.Journal = std::move(j);
    t.JournalName = name;
    t.JournalState = kJournalOpen;
    // InitJournal: the header with state 0, durable before any record, and a durable name. A disk
    // may keep later writes and lose earlier unsynced ones: a journal whose records outlived its
    // header would be no journal at all to the recovery.
    uint8_t header[kJournalHeaderSize];
    plat::StoreLE32(header, kJournalSignature);
    plat::StoreLE32(header + 4, 0);
    try {
        WriteFileExactAt(*t.Journal, 0, kJournalHeaderSize, header);
        FlushFile(*t.Journal);
        SyncFolder(folder);
    } catch (...) {
        try {
            closeJournal(t, true);
        } catch (...) {
        }
        throw;
    }
}

void TqbBufferManager::closeJournal(TqbSrTransaction& t, bool remove) {
    if (!t.Journal) return;
    std::unique_ptr<TbtdFileInfo> j = std::move(t.Journal);
    t.JournalState = kJournalNone;
    if (IsFileOpen(*j)) {
        try {
            CloseFile(*j);
        } catch (...) {
            if (remove) DeleteFileChecked(j->FileName);
            throw;
        }
    }
    if (remove) {
        DeleteFileChecked(j->FileName);
        SyncFolder(t.JournalFolder.empty() ? "." : t.JournalFolder);
    }
    t.JournalName.clear();
}

// ---------------------------------------------------------------------------------------------
// The durable level-0 commit

namespace {

uint8_t* imageOf(TqbbmRAMPage* p) {
    return p->Newest ? p->Newest->Buffer : p->Block;
}

// Cuts each file back to its committed end, as far as it can: whatever lies past the block count
// of a header is never read, so a file left longer only wastes room.
void cutBack(const std::vector<TbtdFileInfo*>& files, const std::map<TbtdFileInfo*, uint32_t>& end) {
    for (TbtdFileInfo* f : files) {
        try {
            const uint64_t size = uint64_t(end.at(f)) << f->BlockShift;
            if (GetFileSize(*f) > size) FileRoutines().SetEndOfFile(*f, size);
        } catch (...) {
        }
    }
}

constexpr size_t kWriteRunBytes = 1048576;

// Writes each page's image to its file, neighbouring blocks of a file in one write of up to
// kWriteRunBytes: a commit writes thousands of blocks, and a call each costs more than their copy.
void writeImages(std::vector<TqbbmRAMPage*> pages) {
    std::sort(pages.begin(), pages.end(), [](const TqbbmRAMPage* a, const TqbbmRAMPage* b) {
        return a->File != b->File ? std::less<>()(a->File, b->File) : a->BlockNumber < b->BlockNumber;
    });
    std::vector<uint8_t> run;
    for (size_t i = 0; i < pages.size();) {
        TqbbmRAMPage* first = pages[i];
        size_t j = i + 1, bytes = first->BlockSize;
        while (j < pages.size() && pages[j]->File == first->File &&
               pages[j]->BlockNumber == pages[j - 1]->BlockNumber + 1 &&
               pages[j]->BlockSize == first->BlockSize && bytes + first->BlockSize <= kWriteRunBytes) {
            bytes += first->BlockSize;
            ++j;
        }
        const uint64_t at = uint64_t(first->BlockNumber) << first->File->BlockShift;
        if (j == i + 1) {
            WriteFileBlock(*first->File, at, first->BlockSize, imageOf(first));
        } else {
            run.resize(bytes);
            for (size_t k = i; k < j; ++k)
                std::memcpy(&run[(k - i) * first->BlockSize], imageOf(pages[k]), first->BlockSize);
            WriteFileBlock(*first->File, at, uint32_t(bytes), run.data());
        }
        i = j;
    }
}

} // namespace

// Every file written gets its header stamped with the transaction's number inside the same
// journal, so that a rollback at recovery gives back the header exactly as it was.
void TqbBufferManager::stampHeaders(TqbSrTransaction& t, std::vector<TqbbmRAMPage*>& pages) {
    std::set<TbtdFileInfo*> files;
    for (TqbbmRAMPage* p : pages)
        files.insert(p->File);
    for (TbtdFileInfo* f : files) {
        TqbbmRAMPage* h = f->Block0Page;
        // A header the transaction changed is written with its changes when they are written.
        if (h && h->Transaction == &t) continue;
        TqbBlockRelease release;
        GetBlock(*f, 0, release, false, &t);
        release();
        h = f->Block0Page;
        if (BlockWord(h->Block, kBlkStamp) == t.TransactionNumber) continue;
        makeDirty(h, t);
        pages.push_back(h);
    }
}

void TqbBufferManager::adoptImages(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& pages) {
    for (TqbbmRAMPage* p : pages) {
        TqbbmModifiedBlock* m = p->Newest;
        if (m) {
            std::swap(p->Block, m->Buffer);
            SetBlockWord(p->Block, kBlkStamp, t.TransactionNumber);
        }
        p->NewBlock = false;
        leaveTransaction(p);
    }
    forgetLeft(t);
}

// The cache of the files involved can no longer be trusted: their pages go, held ones too (their
// holders keep their buffers), so that the next reader reads the disk; the journal stays for
// recovery, and the folder refuses writes until then.
void TqbBufferManager::failAfterJournal(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& pages) {
    std::set<TbtdFileInfo*> files;
    for (TqbbmRAMPage* p : pages)
        files.insert(p->File);
    for (TqbbmRAMPage* p : t.Pages)
        leaveTransaction(p);
    forgetLeft(t);
    for (TbtdFileInfo* f : files) {
        for (TqbbmRAMPage* p : pagesOf(*f)) {
            if (p->Transaction) continue; // another transaction's changes stay with it
            if (p->RefCount.load() > 0) {
                detach(p);
                place(p);
            } else {
                freePage(p);
            }
        }
        if (f->Block0Page) continue;
        try {
            // The block count as the disk has it (the header is never scrambled).
            uint8_t count[4];
            ReadFileExactAt(*f, kHdrBlockCount, 4, count);
            f->BlockCount = plat::LoadLE32(count);
        } catch (...) {
        }
    }
    if (t.Journal) {
        try {
            closeJournal(t, false);
        } catch (...) {
        }
    }
    t.Journal.reset();
    t.JournalState = kJournalNone;
    leftJournal_.insert(t.TransactionID());
}

void TqbBufferManager::writeDurably(TqbSrTransaction& t, const std::vector<TqbbmRAMPage*>& selected) {
    std::vector<TqbbmRAMPage*> disk, memory;
    for (TqbbmRAMPage* p : selected)
        (p->HasDiskFile && p->File ? disk : memory).push_back(p);
    if (disk.empty()) {
        adoptImages(t, memory);
        return;
    }
    leftJournal_.erase(t.TransactionID());
    std::string folder = PathExpand(t.JournalFolder.empty() ? "." : t.JournalFolder);
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\'))
        folder.pop_back();

    // Before anything reaches a disk: the headers of the files written join, every image carries
    // the stamp, and every name fits the journal and lies in its folder. Other pages of the
    // transaction (other files, other levels) stay in it.
    stampHeaders(t, disk);
    for (TqbbmRAMPage* p : disk) {
        SetBlockWord(imageOf(p), kBlkStamp, t.TransactionNumber);
        if (p->File->FileName.size() >= kJournalNameSize || PathExtractDir(p->File->FileName) != folder)
            raiseCommitFailed("table file " + p->File->FileName + " cannot be journaled in " + folder);
    }

    // Blocks the transaction added past a file's committed end (only known when its header is in
    // this commit): the header on disk does not count them until the commit completes, and a
    // rollback cuts the file back to that count. So they need no before images, and where there
    // are enough of them to be worth a sync of their own, no after images either: they go
    // straight to their table, made durable with the journal before it is marked complete.
    std::map<TbtdFileInfo*, uint32_t> committedEnd;
    for (TqbbmRAMPage* p : disk)
        if (p->BlockNumber == 0) committedEnd[p->File] = BlockWord(p->Block, kHdrBlockCount);
    auto added = [&](TqbbmRAMPage* p) {
        auto end = committedEnd.find(p->File);
        return p->BlockNumber != 0 && end != committedEnd.end() && p->BlockNumber >= end->second;
    };
    std::map<TbtdFileInfo*, uint64_t> addedBytes;
    for (TqbbmRAMPage* p : disk)
        if (added(p)) addedBytes[p->File] += p->BlockSize;
    std::vector<TqbbmRAMPage*> journaled, grownPages;
    for (TqbbmRAMPage* p : disk)
        (added(p) && addedBytes[p->File] >= kDirectAddedBytes ? grownPages : journaled).push_back(p);
    std::vector<TbtdFileInfo*> grown;
    for (TqbbmRAMPage* p : grownPages)
        if (std::find(grown.begin(), grown.end(), p->File) == grown.end()) grown.push_back(p->File);

    // 1. The journal's images, durable before the added blocks go straight to their tables (so
    // that a journal cut short still names every table that may have grown past its header's
    // count, and the recovery cuts it back); then the journal marked complete.
    bool markedComplete = false;
    try {
        openJournal(t);
        TbtdFileInfo& j = *t.Journal;
        // The records go out in writes of about kWriteRunBytes.
        uint64_t pos = kJournalHeaderSize;
        std::vector<uint8_t> recs;
        auto writeRecords = [&] {
            if (recs.empty()) return;
            WriteFileExactAt(j, pos, uint32_t(recs.size()), recs.data());
            pos += recs.size();
            recs.clear();
        };
        for (TqbbmRAMPage* p : journaled)
            for (int before = added(p) ? 0 : 1; before >= 0; --before) {
                // Only the name's padding needs zeros: the image covers the rest of the record.
                const std::string& name = p->File->FileName;
                const size_t at = recs.size();
                recs.resize(at + kJournalRecordHeaderSize + p->BlockSize);
                uint8_t* rec = &recs[at];
                plat::StoreLE32(&rec[0], kJournalRecordSignature);
                plat::StoreLE32(&rec[4], p->BlockNumber);
                plat::StoreLE32(&rec[8], p->BlockSize);
                plat::StoreLE32(&rec[12], uint32_t(before));
                std::memcpy(&rec[16], name.data(), name.size());
                std::memset(&rec[16 + name.size()], 0, kJournalRecordHeaderSize - 16 - name.size());
                std::memcpy(&rec[kJournalRecordHeaderSize], before ? p->Block : imageOf(p), p->BlockSize);
                if (recs.size() >= kWriteRunBytes) writeRecords();
            }
        writeRecords();
        FlushFile(j);
        writeImages(grownPages);
        for (TbtdFileInfo* f : grown)
            FlushFile(*f);
        uint8_t complete[4];
        plat::StoreLE32(complete, 1);
        markedComplete = true;
        WriteFileExactAt(j, 4, 4, complete);
        FlushFile(j);
    } catch (...) {
        std::string cause = causeOf(std::current_exception());
        bool gone = true;
        try {
            closeJournal(t, true);
        } catch (...) {
            gone = false;
        }
        if (gone || !markedComplete) {
            // A journal left in state 0 is deleted at the next start without touching a table, so
            // nothing can finish this commit: the added blocks go back to the disk.
            cutBack(grown, committedEnd);
        } else {
            // A journal that may carry state 1 can be rolled forward at the next start: until then
            // the outcome is open, and the folder waits for recovery.
            adoptImages(t, memory);
            failAfterJournal(t, disk);
        }
        raiseCommitFailed(cause);
    }

    // 2. The tables: blocks 0 to 2 of each file after its other blocks; each file made durable.
    std::vector<TqbbmRAMPage*> body, heads;
    for (TqbbmRAMPage* p : journaled)
        (p->BlockNumber > 2 ? body : heads).push_back(p);
    std::vector<TbtdFileInfo*> files;
    for (TqbbmRAMPage* p : journaled)
        if (std::find(files.begin(), files.end(), p->File) == files.end()) files.push_back(p->File);
    auto writeTables = [&] {
        writeImages(body);
        writeImages(heads);
        for (TbtdFileInfo* f : files)
            FlushFile(*f);
    };
    try {
        writeTables();
    } catch (...) {
        std::string cause = causeOf(std::current_exception());
        try {
            // The journal is complete: rolling forward once more finishes the commit.
            for (TbtdFileInfo* f : files)
                ReopenFile(*f);
            writeTables();
        } catch (...) {
            failAfterJournal(t, disk);
            raiseCommitFailed(cause);
        }
    }

    // 3. The journal goes only once the tables are durable.
    try {
        closeJournal(t, true);
    } catch (...) {
        // The tables are complete, but the journal would replay these images over later
        // commits: the folder waits for recovery all the same.
        std::string cause = causeOf(std::current_exception());
        adoptImages(t, memory);
        failAfterJournal(t, disk);
        raiseCommitFailed(cause);
    }
    adoptImages(t, disk);
    adoptImages(t, memory);
}
