// Buffer manager: pages and their index per file, block access, private copies per nesting level,
// the LRU list and the RAM limit.
#include "db/storage/qbsrbase.h"

#include "db/base/qblllog.h"
#include "platform/Messages.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <malloc.h>
#include <map>
#include <mutex>
#include <sanitizer/asan_interface.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Block buffers of every buffer manager, in slabs of whole memory pages: a slab whose buffers are
// all free goes back to the system at once, and GiveBack returns the pages of the free buffers of
// the others. (Buffers from the general heap straddle its pages: after a large transaction the
// few still cached would keep twice their size, among the pages of the freed ones.) The lowest
// slab with room serves first, so that the buffers in use gather. Under AddressSanitizer each
// buffer is followed by a poisoned gap, as a heap block is.
class TqbBufferSlabs {
public:
    uint8_t* Alloc(uint32_t size) {
        std::lock_guard lk(mu_);
        std::set<uintptr_t>& open = open_[size];
        if (open.empty()) {
            const uint32_t stride = size + kGap;
            const size_t slots = std::max<size_t>(1, kSlabBytes / stride);
            const size_t bytes = (slots * stride + pageSize() - 1) / pageSize() * pageSize();
            void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base == MAP_FAILED) throw std::bad_alloc();
            ASAN_POISON_MEMORY_REGION(base, bytes);
            Slab s{static_cast<uint8_t*>(base), bytes, stride, 0, {}};
            for (size_t i = slots; i-- > 0;)
                s.Free.push_back(uint32_t(i));
            slabs_.emplace(uintptr_t(base), std::move(s));
            open.insert(uintptr_t(base));
        }
        Slab& s = slabs_.at(*open.begin());
        const uint32_t slot = s.Free.back();
        s.Free.pop_back();
        ++s.Used;
        if (s.Free.empty()) open.erase(open.begin());
        uint8_t* b = s.Base + size_t(slot) * s.Stride;
        ASAN_UNPOISON_MEMORY_REGION(b, size);
        return b;
    }

    void Free(uint8_t* b, uint32_t size) {
        std::lock_guard lk(mu_);
        auto it = slabs_.upper_bound(uintptr_t(b));
        --it;
        Slab& s = it->second;
        ASAN_POISON_MEMORY_REGION(b, size);
        s.Free.push_back(uint32_t((b - s.Base) / s.Stride));
        if (--s.Used == 0) {
            // The shadow outlives the mapping: whatever is mapped here next starts clean.
            ASAN_UNPOISON_MEMORY_REGION(s.Base, s.Bytes);
            ::munmap(s.Base, s.Bytes);
            open_[size].erase(it->first);
            slabs_.erase(it);
        } else {
            open_[size].insert(it->first);
        }
    }

    void GiveBack() {
        std::lock_guard lk(mu_);
        for (auto& [base, s] : slabs_)
            for (uint32_t slot : s.Free) {
                // Only the pages that lie wholly inside the free buffer.
                const uintptr_t from =
                    (base + uintptr_t(slot) * s.Stride + pageSize() - 1) / pageSize() * pageSize();
                const uintptr_t to = (base + uintptr_t(slot + 1) * s.Stride) / pageSize() * pageSize();
                if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
            }
    }

private:
    static size_t pageSize() {
        static const size_t p = size_t(::sysconf(_SC_PAGESIZE));
        return p;
    }
    static constexpr size_t kSlabBytes = 256 * 1024;
#if defined(__SANITIZE_ADDRESS__)
    static constexpr uint32_t kGap = 64;
#else
    static constexpr uint32_t kGap = 0;
#endif
    struct Slab {
        uint8_t* Base;
        size_t Bytes;
        uint32_t Stride;
        uint32_t Used;
        std::vector<uint32_t> Free; // slot numbers, the lowest last
    };
    std::mutex mu_;
    std::map<uintptr_t, Slab> slabs_;
    std::map<uint32_t, std::set<uintptr_t>> open_; // per buffer size: the slabs with a free slot
};

TqbBufferSlabs& bufferSlabs() {
    static TqbBufferSlabs* slabs = new TqbBufferSlabs; // outlives every buffer manager
    return *slabs;
}

} // namespace

// Four levels of 256-way nodes indexed by the bytes of the block number, most significant first.
struct TqbbmPageIndex {
    struct Node {
        std::array<void*, 256> Slot{};
        int Count = 0;
    };
    Node Root;

    TqbbmRAMPage* Find(uint32_t block) const {
        const Node* n = &Root;
        for (int shift = 24; shift > 0; shift -= 8) {
            n = static_cast<const Node*>(n->Slot[(block >> shift) & 255]);
            if (!n) return nullptr;
        }
        return static_cast<TqbbmRAMPage*>(n->Slot[block & 255]);
    }

    void Put(uint32_t block, TqbbmRAMPage* page) {
        Node* n = &Root;
        for (int shift = 24; shift > 0; shift -= 8) {
            void*& s = n->Slot[(block >> shift) & 255];
            if (!s) {
                s = new Node;
                ++n->Count;
            }
            n = static_cast<Node*>(s);
        }
        void*& leaf = n->Slot[block & 255];
        if (!leaf && page) ++n->Count;
        if (leaf && !page) --n->Count;
        leaf = page;
    }

    // Removes the entry and every node left empty.
    void Remove(uint32_t block) { removeFrom(&Root, block, 24); }

    ~TqbbmPageIndex() { freeNode(&Root, 24); }

private:
    static bool removeFrom(Node* n, uint32_t block, int shift) {
        void*& s = n->Slot[shift > 0 ? (block >> shift) & 255 : block & 255];
        if (!s) return n->Count == 0;
        if (shift == 0 || removeFrom(static_cast<Node*>(s), block, shift - 8)) {
            if (shift > 0) delete static_cast<Node*>(s);
            s = nullptr;
            --n->Count;
        }
        return n->Count == 0;
    }
    static void freeNode(Node* n, int shift) {
        if (shift == 0) return;
        for (void* s : n->Slot)
            if (s) {
                freeNode(static_cast<Node*>(s), shift - 8);
                delete static_cast<Node*>(s);
            }
    }
};

void TqbbmPageList::Append(TqbbmRAMPage* p) {
    p->List = this;
    p->Prev = Tail;
    p->Next = nullptr;
    (Tail ? Tail->Next : Head) = p;
    Tail = p;
    ++Count;
}

void TqbbmPageList::Remove(TqbbmRAMPage* p) {
    (p->Prev ? p->Prev->Next : Head) = p->Next;
    (p->Next ? p->Next->Prev : Tail) = p->Prev;
    p->Prev = p->Next = nullptr;
    p->List = nullptr;
    --Count;
}

void TqbbmPageList::MoveToTail(TqbbmRAMPage* p) {
    (p->Prev ? p->Prev->Next : Head) = p->Next;
    p->Next->Prev = p->Prev;
    p->Prev = Tail;
    p->Next = nullptr;
    Tail->Next = p;
    Tail = p;
}

void TqbBlockRelease::operator()() {
    if (!page_) return;
    TqbbmRAMPage* p = page_;
    page_ = nullptr;
    p->Manager->ReleasePage(p);
}

// ---------------------------------------------------------------------------------------------

TqbBufferManager::TqbBufferManager(std::string TempPath, uint32_t TempStoreSize)
    : tempPath_(std::move(TempPath)), tempStoreSize_(0) {
    SetTempStoreSize(TempStoreSize);
}

uint32_t TqbBufferManager::GetTempStoreSize() {
    std::lock_guard lk(padlock_);
    return tempStoreSize_;
}

void TqbBufferManager::SetTempStoreSize(uint32_t MB) {
    std::lock_guard lk(padlock_);
    // Parked pages live only there.
    for (TqbbmRAMPage* p = parked_.Head; p; p = p->Next)
        if (p->TempStore == temp_.get()) RaiseServerError(0);
    temp_.reset();
    tempStoreSize_ = MB;
    if (MB == 0) return;
    temp_ = std::make_unique<TqbTempStorageMM>();
    temp_->Create(tempPath_, kTempBlockSize, int64_t(MB) * 1048576);
}

bool TqbBufferManager::park(TqbbmRAMPage* p) {
    TqbBaseTempStorage* store = p->File && p->File->TempStore ? p->File->TempStore.get() : temp_.get();
    if (!store || !p->Block || p->BlockSize > kTempBlockSize || !store->HasSpaceFor(1)) return false;
    thread_local std::vector<uint8_t> staging;
    staging.assign(kTempBlockSize, 0);
    std::memcpy(staging.data(), p->Block, p->BlockSize);
    p->TempBlock = store->WriteBlock(staging.data());
    p->TempStore = store;
    freeBuffer(p->Block, p->BlockSize);
    place(p);
    return true;
}

void TqbBufferManager::unpark(TqbbmRAMPage* p) {
    if (p->TempBlock < 0) return;
    thread_local std::vector<uint8_t> staging;
    staging.resize(kTempBlockSize);
    p->TempStore->ReadBlock(p->TempBlock, staging.data());
    p->Block = allocBuffer(p->BlockSize);
    std::memcpy(p->Block, staging.data(), p->BlockSize);
    p->TempBlock = -1;
    p->TempStore = nullptr;
    place(p);
}
TqbBufferManager::~TqbBufferManager() {
    std::lock_guard lk(padlock_);
    for (TqbbmPageList* l : {&lru_, &recycle_, &inTransaction_, &parked_})
        while (l->Head) {
            TqbbmRAMPage* p = l->Head;
            if (p->File) detach(p);
            l->Remove(p);
            for (TqbbmModifiedBlock* m = p->Newest; m;) {
                TqbbmModifiedBlock* prev = m->Previous;
                freeCopy(m);
                m = prev;
            }
            p->RefCount = 0;
            reclaim(p);
            freeBuffer(p->Block, p->BlockSize);
            delete p;
        }
    dropSpares();
}

void TqbBufferManager::SetMaxRAM(uint32_t MB) {
    std::lock_guard lk(padlock_);
    maxRAM_ = MB;
}

uint32_t TqbBufferManager::MaxRAM() {
    std::lock_guard lk(padlock_);
    return maxRAM_;
}

uint32_t TqbBufferManager::GetRAMUsed() {
    std::lock_guard lk(padlock_);
    return uint32_t(ramBytes_ / 1048576);
}

uint64_t TqbBufferManager::RAMUsedBytes() {
    std::lock_guard lk(padlock_);
    return ramBytes_;
}

void TqbBufferManager::SetLog(TqbBaseLog* log) {
    std::lock_guard lk(padlock_);
    log_ = log;
}

void TqbBufferManager::StampIdlePages() {
    std::lock_guard lk(padlock_);
    std::vector<TqbbmRAMPage*> idle;
    for (TqbbmPageList* l : {&lru_, &parked_})
        for (TqbbmRAMPage* p = l->Head; p; p = p->Next)
            idle.push_back(p);
    for (TqbbmRAMPage* p : idle) {
        unpark(p);
        if (p->RefCount.load() > 0) {
            // A holder may be reading the block: the stamped one is a new buffer.
            uint8_t* stamped = allocBuffer(p->BlockSize);
            std::memcpy(stamped, p->Block, p->BlockSize);
            std::swap(stamped, p->Block);
            retire(p, stamped);
        }
        SetBlockWord(p->Block, kBlkStamp, 1);
    }
}

uint8_t* TqbBufferManager::allocBuffer(uint32_t size) {
    uint8_t* b = nullptr;
    for (auto& [bytes, list] : spare_)
        if (bytes == size && !list.empty()) {
            b = list.back();
            list.pop_back();
            spareBytes_ -= size;
            ASAN_UNPOISON_MEMORY_REGION(b, size);
            break;
        }
    if (!b) b = bufferSlabs().Alloc(size);
    ramBytes_ += size; // every caller fills the whole buffer: a copy, or the fill byte
    return b;
}

void TqbBufferManager::freeBuffer(uint8_t*& buf, uint32_t size) {
    if (!buf) return;
    ramBytes_ -= size;
    if (spareBytes_ + size <= std::min<uint64_t>(kSpareBufferBytes, uint64_t(maxRAM_) * 1048576 / 4)) {
        auto it = std::find_if(spare_.begin(), spare_.end(), [&](const auto& e) { return e.first == size; });
        if (it == spare_.end()) it = spare_.insert(spare_.end(), {size, {}});
        it->second.push_back(buf);
        spareBytes_ += size;
        // A holder that kept a freed buffer still faults under AddressSanitizer.
        ASAN_POISON_MEMORY_REGION(buf, size);
    } else {
        bufferSlabs().Free(buf, size);
        freedBytes_.fetch_add(size, std::memory_order_relaxed);
    }
    buf = nullptr;
}

void TqbBufferManager::giveBackFreed() {
    if (freedBytes_.load(std::memory_order_relaxed) < kGiveBackBytes) return;
    freedBytes_.store(0, std::memory_order_relaxed);
    std::lock_guard lk(padlock_);
    // The spares too: their pages are not needed until the next large transaction. The pages'
    // own records lie in the general heap.
    dropSpares();
    bufferSlabs().GiveBack();
    malloc_trim(0);
}

void TqbBufferManager::dropSpares() {
    for (auto& [size, list] : spare_)
        for (uint8_t* b : list) {
            bufferSlabs().Free(b, size);
            freedBytes_.fetch_add(size, std::memory_order_relaxed);
        }
    spare_.clear();
    spareBytes_ = 0;
}

void TqbBufferManager::retire(TqbbmRAMPage* p, uint8_t*& buf) {
    if (!buf) return;
    if (p->RefCount.load() == 0) {
        freeBuffer(buf, p->BlockSize);
        return;
    }
    p->Retired.push_back(buf);
    p->HasRetired.store(true);
    buf = nullptr;
}

void TqbBufferManager::reclaim(TqbbmRAMPage* p) {
    if (p->Retired.empty() || p->RefCount.load() > 0) return;
    for (uint8_t*& b : p->Retired)
        freeBuffer(b, p->BlockSize);
    p->Retired.clear();
    p->HasRetired.store(false);
}

void TqbBufferManager::place(TqbbmRAMPage* p) {
    TqbbmPageList* to = !p->File            ? &recycle_
                        : p->Transaction    ? &inTransaction_
                        : p->TempBlock >= 0 ? &parked_
                                            : &lru_;
    if (p->List) p->List->Remove(p);
    to->Append(p);
}

std::vector<TqbbmRAMPage*> TqbBufferManager::pagesOf(TbtdFileInfo& f) {
    std::vector<TqbbmRAMPage*> r;
    for (TqbbmPageList* l : {&lru_, &inTransaction_, &parked_})
        for (TqbbmRAMPage* p = l->Head; p; p = p->Next)
            if (p->File == &f) r.push_back(p);
    return r;
}

inline void TqbBufferManager::checkFile(TbtdFileInfo& f) {
    CheckFileInfo(f, true);
    if (f.BlockSize == 0) RaiseServerError(0);
}

void TqbBufferManager::indexPut(TbtdFileInfo& f, uint32_t block, TqbbmRAMPage* p) {
    if (block == 0) {
        f.Block0Page = p;
        return;
    }
    if (!f.PageIndex) {
        if (!p) return;
        f.PageIndex = new TqbbmPageIndex;
    }
    if (p)
        f.PageIndex->Put(block, p);
    else
        f.PageIndex->Remove(block);
}

TqbbmRAMPage* TqbBufferManager::FindPage(TbtdFileInfo& f, uint32_t block) {
    std::lock_guard lk(padlock_);
    if (block == 0) return f.Block0Page;
    return f.PageIndex ? f.PageIndex->Find(block) : nullptr;
}

// A page may leave its block when it belongs to a file, is in no transaction and nobody holds it.
// However long a holder keeps it, a held page stays: its buffer must not change under the holder.
bool TqbBufferManager::removable(TqbbmRAMPage* p) {
    if (!p->File || p->Transaction || p->TempBlock >= 0) return false;
    if (p->RefCount.load() == 0) return true;
    if (!p->LeakReported && plat::CoarseNowMs() - p->LastUse >= kIdleTakeoverMs) {
        p->LeakReported = true;
        if (log_)
            log_->WriteTextFmt("Block %d of %s has been held for more than 5 minutes",
                               {p->BlockNumber, p->File->FileName});
    }
    return false;
}

void TqbBufferManager::detach(TqbbmRAMPage* p) {
    indexPut(*p->File, p->BlockNumber, nullptr);
    p->File = nullptr;
}

void TqbBufferManager::dropTempBlock(TqbbmRAMPage* p) {
    if (p->TempBlock < 0) return;
    p->TempStore->ReleaseBlock(p->TempBlock);
    p->TempBlock = -1;
    p->TempStore = nullptr;
}

void TqbBufferManager::freePage(TqbbmRAMPage* p) {
    if (p->File) detach(p);
    dropTempBlock(p);
    p->List->Remove(p);
    reclaim(p);
    freeBuffer(p->Block, p->BlockSize);
    delete p;
}

TqbbmRAMPage* TqbBufferManager::allocPage(TbtdFileInfo& f, uint32_t block) {
    TqbbmRAMPage* p = recycle_.Head;
    while (p && p->RefCount.load() > 0)
        p = p->Next;
    if (p) {
        recycle_.Remove(p);
        reclaim(p);
    } else if (ramBytes_ + f.BlockSize > uint64_t(maxRAM_) * 1048576) {
        for (TqbbmRAMPage* q = lru_.Head; q; q = q->Next) {
            if (!removable(q)) continue;
            // A page of an in-memory table has nowhere else to be: it is parked, not taken over.
            if (!q->HasDiskFile) {
                park(q);
                break;
            }
            p = q;
            detach(p);
            lru_.Remove(p);
            reclaim(p);
            break;
        }
    }
    if (!p) {
        p = new TqbbmRAMPage;
        p->Manager = this;
    } else if (p->BlockSize != f.BlockSize) {
        freeBuffer(p->Block, p->BlockSize);
    }
    if (!p->Block) p->Block = allocBuffer(f.BlockSize);
    std::memset(p->Block, kNewBufferFill, f.BlockSize);
    p->File = &f;
    p->BlockNumber = block;
    p->BlockSize = f.BlockSize;
    p->NewBlock = false;
    p->HasDiskFile = f.HasDiskFile();
    p->LeakReported = false;
    p->RefCount = 0;
    indexPut(f, block, p);
    place(p);
    return p;
}

inline void TqbBufferManager::touch(TqbbmRAMPage* p) {
    if (p->List != &lru_ || lru_.Tail == p) return; // a page read again and again stays put
    lru_.MoveToTail(p);
}

void TqbBufferManager::loadBlock(TqbbmRAMPage* p) {
    try {
        ReadFileBlock(*p->File, uint64_t(p->BlockNumber) << p->File->BlockShift, p->BlockSize, p->Block);
    } catch (...) {
        detach(p);
        place(p);
        throw;
    }
}

inline uint8_t* TqbBufferManager::handOut(TqbbmRAMPage* p, TqbSrTransaction* t, TqbBlockRelease& release) {
    if (!p->Retired.empty()) reclaim(p); // what an earlier holder left, when its release did not see it
    ++p->RefCount;
    // The stamp dates a long hold. A page in a transaction is never taken over, and leaving it
    // stamps a page still held: hand-outs inside a transaction read no clock.
    if (!p->Transaction) p->LastUse = plat::CoarseNowMs();
    p->LeakReported = false;
    release = TqbBlockRelease(p);
    return visible(p, t);
}

inline uint8_t* TqbBufferManager::visible(TqbbmRAMPage* p, TqbSrTransaction* t) {
    return t && p->Transaction == t && p->Newest ? p->Newest->Buffer : p->Block;
}

void TqbBufferManager::ReleasePage(TqbbmRAMPage* page) {
    // The last holder of a page with retired buffers frees them. A release that misses a buffer
    // retired meanwhile leaves it to the page's next use or removal.
    if (page->HasRetired.load()) {
        std::lock_guard lk(padlock_);
        --page->RefCount;
        reclaim(page);
        return;
    }
    --page->RefCount;
}

void TqbBufferManager::makeDirty(TqbbmRAMPage* p, TqbSrTransaction& t) {
    // The content locks keep other transactions away from a changed block; sharing a copy would
    // mix their changes.
    if (p->Transaction && p->Transaction != &t) RaiseServerError(0);
    TqbSrTransactionLevel* level = t.CurrentLevel();
    if (p->Newest && p->Newest->Level == level) return;
    auto* m = new TqbbmModifiedBlock;
    m->Page = p;
    m->Level = level;
    m->Buffer = allocBuffer(p->BlockSize);
    std::memcpy(m->Buffer, p->Newest ? p->Newest->Buffer : p->Block, p->BlockSize);
    m->Previous = p->Newest;
    p->Newest = m;
    level->Copies.push_back(p);
    if (!p->Transaction) {
        p->Transaction = &t;
        t.Pages.push_back(p);
        place(p); // off the LRU list until the transaction ends
    }
}

inline void TqbBufferManager::checkBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber) {
    checkFile(FileInfo);
    if (BlockNumber >= FileInfo.BlockCount) RaiseServerError(33, {FileInfo.FileName, BlockNumber});
}

inline TqbbmRAMPage* TqbBufferManager::cachedPage(TbtdFileInfo& FileInfo, uint32_t BlockNumber) {
    TqbbmRAMPage* p = BlockNumber == 0
                          ? FileInfo.Block0Page
                          : (FileInfo.PageIndex ? FileInfo.PageIndex->Find(BlockNumber) : nullptr);
    if (!p) {
        p = allocPage(FileInfo, BlockNumber);
        if (p->HasDiskFile) loadBlock(p);
    } else {
        touch(p);
        if (p->TempBlock >= 0) unpark(p);
    }
    return p;
}

uint8_t* TqbBufferManager::GetBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber, TqbBlockRelease& Release,
                                    bool MarkDirty, TqbSrTransaction* Transaction) {
    std::lock_guard lk(padlock_);
    checkBlock(FileInfo, BlockNumber);
    return getCheckedBlock(FileInfo, BlockNumber, Release, MarkDirty, Transaction, nullptr);
}

uint8_t* TqbBufferManager::getBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber, TqbBlockRelease& Release,
                                    bool MarkDirty, TqbSrTransaction* Transaction, TqbbmRAMPage** Page) {
    checkBlock(FileInfo, BlockNumber);
    return getCheckedBlock(FileInfo, BlockNumber, Release, MarkDirty, Transaction, Page);
}

uint8_t* TqbBufferManager::getCheckedBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber,
                                           TqbBlockRelease& Release, bool MarkDirty,
                                           TqbSrTransaction* Transaction, TqbbmRAMPage** Page) {
    if (MarkDirty && !Transaction) RaiseServerError(0);
    TqbbmRAMPage* p = cachedPage(FileInfo, BlockNumber);
    if (MarkDirty) makeDirty(p, *Transaction);
    if (Page) *Page = p;
    return handOut(p, Transaction, Release);
}

uint32_t TqbBufferManager::HeaderWord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                      uint32_t Offset) {
    std::lock_guard lk(padlock_);
    return headerWord(FileInfo, Transaction, Offset);
}

// Read under the padlock: no commit or rollback swaps the buffer meanwhile.
uint32_t TqbBufferManager::headerWord(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                      uint32_t Offset) {
    checkBlock(FileInfo, 0);
    if (Offset > FileInfo.BlockSize - 4) RaiseServerError(0);
    return BlockWord(visible(cachedPage(FileInfo, 0), Transaction), Offset);
}

uint8_t* TqbBufferManager::GetBlockNamedInHeader(TbtdFileInfo& FileInfo, uint32_t Offset,
                                                 TqbBlockRelease& Release, bool MarkDirty,
                                                 TqbSrTransaction* Transaction, uint32_t& Number,
                                                 uint32_t* Stamp) {
    std::lock_guard lk(padlock_);
    Number = headerWord(FileInfo, Transaction, Offset);
    if (Number == 0 || Number >= FileInfo.BlockCount) return nullptr;
    TqbbmRAMPage* p = nullptr;
    // headerWord checked the file, and the number is inside it.
    uint8_t* b = getCheckedBlock(FileInfo, Number, Release, MarkDirty, Transaction, &p);
    if (Stamp) *Stamp = lsnOf(p);
    return b;
}

uint8_t* TqbBufferManager::AddBlock(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                    uint32_t BlockNumber, TqbBlockRelease& Release) {
    std::lock_guard lk(padlock_);
    checkFile(FileInfo);
    if (!Transaction) RaiseServerError(0);
    TqbbmRAMPage* p = FindPage(FileInfo, BlockNumber);
    if (p && (p->Transaction || p->RefCount.load() > 0)) RaiseServerError(0);
    if (p) {
        unpark(p);
        std::memset(p->Block, kNewBufferFill, p->BlockSize);
    } else
        p = allocPage(FileInfo, BlockNumber);
    p->NewBlock = true;
    makeDirty(p, *Transaction);
    return handOut(p, Transaction, Release);
}

uint8_t* TqbBufferManager::AddFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                   TqbBlockRelease& Release, bool MarkDirty) {
    std::lock_guard lk(padlock_);
    CheckFileInfo(FileInfo, true);
    if (!FileInfo.Block0Page && FileInfo.HasDiskFile()) {
        std::array<uint8_t, kHeaderCheckedSize> h;
        if (GetFileSize(FileInfo) < kHeaderCheckedSize) RaiseServerError(32, {FileInfo.FileName});
        ReadFileExactAt(FileInfo, 0, kHeaderCheckedSize, h.data());
        CheckTableHeader(FileInfo, h.data());
        FileInfo.BlockSize = BlockWord(h.data(), kHdrBlockSize);
        FileInfo.BlockShift = BlockSizeToShift(FileInfo.BlockSize);
        FileInfo.BlockCount = BlockWord(h.data(), kHdrBlockCount);
        FileInfo.Encrypted = BlockWord(h.data(), kHdrEncrypted) == 1;
        FileInfo.RecordLength = BlockWord(h.data(), kHdrRecordLength);
        FileInfo.SlotLength = BlockWord(h.data(), kHdrSlotLength);
        FileInfo.Version = BlockWord(h.data(), kHdrVersion);
        FileInfo.MaxBlockCount = MaxBlockCountFor(GetMaxFileSize(FileInfo), FileInfo.BlockSize);
        FileInfo.MaxBLOBSegmentSize = GetMaxBLOBSegmentSize(FileInfo);
        if (FileInfo.BlockCount == 0) RaiseServerError(32, {FileInfo.FileName});
    }
    return GetBlock(FileInfo, 0, Release, MarkDirty, Transaction);
}

uint8_t* TqbBufferManager::DirtyBlock(TbtdFileInfo& FileInfo, uint32_t BlockNumber,
                                      TqbSrTransaction* Transaction) {
    std::lock_guard lk(padlock_);
    TqbbmRAMPage* p = FindPage(FileInfo, BlockNumber);
    if (!p || !Transaction) RaiseServerError(0);
    unpark(p);
    makeDirty(p, *Transaction);
    return p->Newest->Buffer;
}

uint32_t TqbBufferManager::GetLSN(TbtdFileInfo& FileInfo, uint32_t BlockNumber) {
    std::lock_guard lk(padlock_);
    TqbbmRAMPage* p = FindPage(FileInfo, BlockNumber);
    if (!p) RaiseServerError(0);
    unpark(p);
    return lsnOf(p);
}

// Under the padlock, with the page in RAM.
uint32_t TqbBufferManager::lsnOf(const TqbbmRAMPage* p) {
    return p->Transaction ? p->Transaction->TransactionNumber : BlockWord(p->Block, kBlkStamp);
}

void TqbBufferManager::RemoveFile(TbtdFileInfo& FileInfo) {
    std::lock_guard lk(padlock_);
    const auto pages = pagesOf(FileInfo);
    std::set<TqbSrTransaction*> left;
    for (TqbbmRAMPage* p : pages)
        if (p->Transaction) {
            left.insert(p->Transaction);
            leaveTransaction(p);
        }
    // The transactions' page lists are cleaned while their pages still exist.
    for (TqbSrTransaction* t : left)
        forgetLeft(*t);
    for (TqbbmRAMPage* p : pages) {
        if (p->RefCount.load() > 0) {
            // The file's own storage may go with the file.
            dropTempBlock(p);
            detach(p); // the holder's buffer stays valid; the page waits on the recycle list
            place(p);
        } else {
            freePage(p);
        }
    }
    delete FileInfo.PageIndex;
    FileInfo.PageIndex = nullptr;
    FileInfo.Block0Page = nullptr;
}

void TqbBufferManager::FreeRecycledPages() {
    std::lock_guard lk(padlock_);
    for (TqbbmRAMPage* p = recycle_.Head; p;) {
        TqbbmRAMPage* next = p->Next;
        if (p->RefCount.load() == 0) {
            recycle_.Remove(p);
            reclaim(p);
            freeBuffer(p->Block, p->BlockSize);
            delete p;
        }
        p = next;
    }
}

void TqbBufferManager::TrimToMaxRAM() {
    std::lock_guard lk(padlock_);
    trimTo(uint64_t(maxRAM_) * 1048576);
}

void TqbBufferManager::TrimTo(uint64_t Bytes) {
    std::lock_guard lk(padlock_);
    trimTo(std::min<uint64_t>(Bytes, uint64_t(maxRAM_) * 1048576));
}

void TqbBufferManager::trimTo(uint64_t limit) {
    if (ramBytes_ <= limit) return;
    FreeRecycledPages();
    for (TqbbmRAMPage* p = lru_.Head; p && ramBytes_ > limit;) {
        TqbbmRAMPage* next = p->Next;
        if (removable(p)) {
            if (p->HasDiskFile)
                freePage(p);
            else
                park(p);
        }
        p = next;
    }
}

void TqbBufferManager::ReleaseUnusedMemory() {
    FreeRecycledPages();
    std::lock_guard lk(padlock_);
    dropSpares();
}

size_t TqbBufferManager::PageCount() {
    std::lock_guard lk(padlock_);
    return lru_.Count + inTransaction_.Count + parked_.Count;
}

size_t TqbBufferManager::RecycledCount() {
    std::lock_guard lk(padlock_);
    return recycle_.Count;
}

std::vector<uint32_t> TqbBufferManager::CachedBlocks(TbtdFileInfo& FileInfo) {
    std::lock_guard lk(padlock_);
    std::vector<uint32_t> r;
    for (TqbbmRAMPage* p : pagesOf(FileInfo))
        r.push_back(p->BlockNumber);
    return r;
}
