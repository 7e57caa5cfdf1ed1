// BLOB segments and the operations on BLOBs. Every segment reference, size, type and lookup entry
// read from the file is checked before it is used.
#include "db/storage/qbsrblob.h"

#include "db/base/qbllbase.h"
#include "db/storage/QBSRTran.h"
#include "platform/Files.h"

#include <algorithm>
#include <cstring>

namespace {

std::mutex g_folderMutex;
std::string g_fileFolder;

uint32_t round64(uint32_t n) {
    return (n + kSegmentUnit - 1) / kSegmentUnit * kSegmentUnit;
}

[[noreturn]] void raiseRef(int code, const TbtdFileInfo& f, uint64_t ref, const char* extra = nullptr) {
    QbFormatArgs a{f.FileName, uint32_t(ref >> 32), uint32_t(ref)};
    if (code == 51) a.push_back(extra ? extra : "");
    RaiseServerError(code, a);
}

uint16_t segSize(const uint8_t* s) {
    return plat::LoadLE16(s + 2);
}

uint8_t* blobBlock(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t n, TqbBlockHold& hold, bool dirty) {
    if (n == 0 || n >= f.BlockCount) RaiseServerError(33, {f.FileName, n});
    uint8_t* b = hold.get(f, t, n, dirty);
    if (BlockWord(b, kBlkSignature) != kSigBLOB || BlockWord(b, kBlkOwnNumber) != n)
        RaiseServerError(50, {f.FileName, n});
    return b;
}

void addInUse(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, int d) {
    TqbBlockHold h;
    uint8_t* b = blobBlock(f, t, uint32_t(ref >> f.BlockShift), h, true);
    SetBlockWord(b, kBLOBInUse, BlockWord(b, kBLOBInUse) + uint32_t(d));
}

// Next and previous links of a deleted segment.
constexpr uint32_t kSegNext = 4;
constexpr uint32_t kSegPrev = 12;
// Header segment words.
constexpr uint32_t kHdrLength = 4;
constexpr uint32_t kHdrCount = 8;
constexpr uint32_t kHdrLookup = 12;
// Lookup segment words.
constexpr uint32_t kLkOwner = 4;
constexpr uint32_t kLkNext = 12;

} // namespace

uint32_t BLOBLargestSegment(uint32_t bs) {
    return (bs - 48) / kSegmentUnit * kSegmentUnit;
}

uint32_t BLOBDataPerSegment(uint32_t bs) {
    return (bs - kBLOBSegments) / kSegmentUnit * kSegmentUnit - kSegHeaderSize;
}

uint8_t* BLOBGetSegment(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, TqbBlockHold& hold, bool dirty,
                        char expect) {
    const uint64_t off = ref & (uint64_t(f.BlockSize) - 1);
    if (ref == 0 || off < kBLOBSegments || (off - kBLOBSegments) % kSegmentUnit != 0) raiseRef(49, f, ref);
    const uint64_t block = ref >> f.BlockShift;
    if (block == 0 || block >= f.BlockCount) RaiseServerError(33, {f.FileName, uint32_t(block)});
    uint8_t* s = blobBlock(f, t, uint32_t(block), hold, dirty) + off;
    const uint32_t size = segSize(s);
    if (size < kSegmentUnit || size % kSegmentUnit != 0 ||
        off + size > kBLOBSegments + BLOBLargestSegment(f.BlockSize))
        raiseRef(51, f, ref);
    if (expect && char(s[0]) != expect) {
        if (expect == 'H' && s[0] == 'D') raiseRef(48, f, ref);
        raiseRef(51, f, ref);
    }
    return s;
}

TqbBLOBResourceManager& BLOBResourceManager(TbtdFileInfo& f) {
    if (!f.BLOBManager) f.BLOBManager = std::make_shared<TqbBLOBResourceManager>();
    return *f.BLOBManager;
}

// ---------------------------------------------------------------------------------------------
// Segment manager

void TqbBLOBSegmentMgr::addFree(uint64_t ref, uint32_t size) {
    free_.emplace(size, ref);
}

void TqbBLOBSegmentMgr::load(TbtdFileInfo& f, TqbSrTransaction* t) {
    if (loaded_) return;
    free_.clear();
    pending_.clear();
    TqbBlockHold header(f, t, 0, false);
    uint64_t ref = BlockRef(header.p(), kHdrFirstDeletedSegment);
    const uint64_t last = BlockRef(header.p(), kHdrLastDeletedSegment);
    header.release();
    // No file has more segments than its blocks can hold.
    const uint64_t bound = uint64_t(f.BlockCount) * (BLOBLargestSegment(f.BlockSize) / kSegmentUnit);
    uint64_t prev = kNoRef, n = 0;
    while (uint32_t(ref) != kNoBlock) {
        if (++n > bound) raiseRef(51, f, ref, " (deleted chain loops)");
        TqbBlockHold h;
        const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 'D');
        if (BlockRef(s, kSegPrev) != prev) raiseRef(51, f, ref, " (deleted chain)");
        addFree(ref, segSize(s));
        prev = ref;
        ref = BlockRef(s, kSegNext);
    }
    if (prev != (uint32_t(last) == kNoBlock ? kNoRef : last)) raiseRef(51, f, last, " (deleted chain tail)");
    loaded_ = true;
}

void TqbBLOBSegmentMgr::unlink(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref) {
    TqbBlockHold h, n, p, header(f, t, 0, true);
    uint8_t* s = BLOBGetSegment(f, t, ref, h, true, 'D');
    const uint64_t next = BlockRef(s, kSegNext), prev = BlockRef(s, kSegPrev);
    if (uint32_t(prev) == kNoBlock)
        SetBlockRef(header.p(), kHdrFirstDeletedSegment, next);
    else
        SetBlockRef(BLOBGetSegment(f, t, prev, p, true, 'D'), kSegNext, next);
    if (uint32_t(next) == kNoBlock)
        SetBlockRef(header.p(), kHdrLastDeletedSegment, prev);
    else
        SetBlockRef(BLOBGetSegment(f, t, next, n, true, 'D'), kSegPrev, prev);
}

// Writes a deleted segment and appends it to the tail of the file's deleted chain.
void TqbBLOBSegmentMgr::makeDeleted(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, uint32_t size) {
    TqbBlockHold header(f, t, 0, true), h;
    uint8_t* s = h.get(f, t, uint32_t(ref >> f.BlockShift), true) + (ref & (f.BlockSize - 1));
    s[0] = 'D';
    s[1] = 0;
    plat::StoreLE16(s + 2, uint16_t(size));
    SetBlockRef(s, kSegNext, kNoRef);
    const uint64_t last = BlockRef(header.p(), kHdrLastDeletedSegment);
    SetBlockRef(s, kSegPrev, uint32_t(last) == kNoBlock ? kNoRef : last);
    std::memset(s + kSegHeaderSize, '0', size - kSegHeaderSize);
    if (uint32_t(last) == kNoBlock) {
        SetBlockRef(header.p(), kHdrFirstDeletedSegment, ref);
    } else {
        TqbBlockHold lh;
        SetBlockRef(BLOBGetSegment(f, t, last, lh, true, 'D'), kSegNext, ref);
    }
    SetBlockRef(header.p(), kHdrLastDeletedSegment, ref);
    // Inside a transaction it stays pending: a rollback makes the space what it was before.
    pending_.push_back({ref, size, 1});
}

// The transaction settles the manager's pending segments at its commit or rollback.
void TqbBLOBSegmentMgr::joinTransaction(TbtdFileInfo& f, TqbSrTransaction* t) {
    if (t && f.BLOBManager) t->UsesBLOBManager(f.BLOBManager);
}

uint64_t TqbBLOBSegmentMgr::NewSegment(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t Size) {
    joinTransaction(f, t);
    load(f, t);
    const uint32_t size = round64(std::max<uint32_t>(Size, kSegmentUnit));
    const uint32_t largest = BLOBLargestSegment(f.BlockSize);
    if (size > largest) RaiseServerError(115, {Size});
    uint64_t ref = 0;
    uint32_t have = 0;
    // A segment freed earlier in this transaction first, then the free list.
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const TqbBLOBSegListItem& i) { return i.Action == 1 && i.Size >= size; });
    if (it != pending_.end()) {
        ref = it->Ref;
        have = it->Size;
        pending_.erase(it);
    } else if (auto fit = free_.lower_bound(size); fit != free_.end()) {
        ref = fit->second;
        have = fit->first;
        free_.erase(fit);
        pending_.push_back({ref, have, 2});
    }
    if (ref) {
        unlink(f, t, ref);
    } else {
        uint32_t n;
        TqbBlockHold nb;
        uint8_t* b = nb.newBlock(f, t, n);
        InitBlockPrefix(b, kSigBLOB);
        SetBlockWord(b, kBLOBInUse, 0);
        std::memset(b + 20, 0, f.BlockSize - 20);
        ref = (uint64_t(n) << f.BlockShift) + kBLOBSegments;
        have = largest;
    }
    {
        TqbBlockHold h;
        uint8_t* s = h.get(f, t, uint32_t(ref >> f.BlockShift), true) + (ref & (f.BlockSize - 1));
        std::memset(s, 0, size);
        plat::StoreLE16(s + 2, uint16_t(size));
    }
    addInUse(f, t, ref, 1);
    if (have > size) makeDeleted(f, t, ref + size, have - size);
    return ref;
}

void TqbBLOBSegmentMgr::DeleteSegment(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref) {
    joinTransaction(f, t);
    load(f, t);
    uint32_t size;
    {
        TqbBlockHold h;
        const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 0);
        if (s[0] == 'D') raiseRef(51, f, ref, " (segment freed twice)");
        size = segSize(s);
    }
    makeDeleted(f, t, ref, size);
    addInUse(f, t, ref, -1);
}

void TqbBLOBSegmentMgr::Commit() {
    for (const auto& i : pending_)
        if (i.Action == 1) addFree(i.Ref, i.Size);
    pending_.clear();
}

void TqbBLOBSegmentMgr::Rollback() {
    loaded_ = false;
    free_.clear();
    pending_.clear();
}

void TqbBLOBSegmentMgr::ListFreeSpace(std::string& out, bool InMemory) const {
    if (InMemory) {
        out += "In-memory deleted chain\r\n";
        for (const auto& [size, ref] : free_)
            out += qbFormat("Segment %d:%d, Len %d\r\n", {uint32_t(ref >> 32), uint32_t(ref), size});
    } else {
        out += "Transaction list\r\n";
        for (const auto& i : pending_)
            out += qbFormat("Segment %d:%d, Len %d, Action %d\r\n",
                            {uint32_t(i.Ref >> 32), uint32_t(i.Ref), i.Size, i.Action});
    }
}

// ---------------------------------------------------------------------------------------------
// BLOBs

namespace {

struct Entry {
    uint64_t Ref;
    uint32_t Bytes;
};

struct BLOBHeader {
    uint32_t length = 0;
    uint32_t count = 0;
    uint64_t lookup = 0;
    uint32_t size = 0;
    bool isLink() const { return count == kBLOBLinkMark; }
    bool isFile() const { return count == kBLOBFileMark; }
};

BLOBHeader readHeader(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref) {
    TqbBlockHold h;
    const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 'H');
    return {BlockWord(s, kHdrLength), BlockWord(s, kHdrCount), BlockRef(s, kHdrLookup), segSize(s)};
}

void writeHeader(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, uint32_t length, uint32_t count,
                 uint64_t lookup) {
    TqbBlockHold h;
    uint8_t* s = BLOBGetSegment(f, t, ref, h, true, 'H');
    SetBlockWord(s, kHdrLength, length);
    SetBlockWord(s, kHdrCount, count);
    SetBlockRef(s, kHdrLookup, lookup);
}

struct LookupList {
    std::vector<uint64_t> segs;
    std::vector<uint32_t> caps;
    uint64_t capacity = 0;
    std::vector<Entry> entries;
};

// The lookup chain of a normal BLOB, checked against its header.
LookupList readLookup(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t blob, const BLOBHeader& hd) {
    LookupList l;
    const uint32_t D = BLOBDataPerSegment(f.BlockSize);
    uint64_t ref = hd.count ? hd.lookup : 0;
    uint64_t sum = 0;
    while (l.entries.size() < hd.count) {
        if (uint32_t(ref) == kNoBlock || ref == 0 || l.segs.size() > hd.count)
            raiseRef(51, f, blob, " (lookup chain)");
        TqbBlockHold h;
        const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 'L');
        if (BlockRef(s, kLkOwner) != blob) raiseRef(51, f, blob, " (lookup owner)");
        const uint32_t cap = (segSize(s) - kSegHeaderSize) / kLookupEntrySize;
        l.segs.push_back(ref);
        l.caps.push_back(cap);
        l.capacity += cap;
        for (uint32_t i = 0; i < cap && l.entries.size() < hd.count; ++i) {
            const uint8_t* e = s + kSegHeaderSize + i * kLookupEntrySize;
            Entry en{plat::LoadLE64(e), plat::LoadLE32(e + 8)};
            if (en.Bytes == 0 || en.Bytes > D) raiseRef(51, f, blob, " (lookup entry)");
            sum += en.Bytes;
            l.entries.push_back(en);
        }
        ref = BlockRef(s, kLkNext);
    }
    if (sum != hd.length) raiseRef(51, f, blob, " (length)");
    return l;
}

// Writes the entries into the chain's segments (which have room for them all).
void writeLookup(TbtdFileInfo& f, TqbSrTransaction* t, const LookupList& l) {
    size_t e = 0;
    for (size_t k = 0; k < l.segs.size(); ++k) {
        TqbBlockHold h;
        uint8_t* s = BLOBGetSegment(f, t, l.segs[k], h, true, 'L');
        for (uint32_t i = 0; i < l.caps[k] && e < l.entries.size(); ++i, ++e) {
            uint8_t* p = s + kSegHeaderSize + i * kLookupEntrySize;
            plat::StoreLE64(p, l.entries[e].Ref);
            plat::StoreLE32(p + 8, l.entries[e].Bytes);
        }
    }
}

// A new chain sized for n entries; the old one is freed. Returns the first segment (0 for none).
uint64_t rebuildLookup(TbtdFileInfo& f, TqbSrTransaction* t, TqbBLOBSegmentMgr& m, uint64_t blob,
                       LookupList& l, size_t n) {
    for (uint64_t s : l.segs)
        m.DeleteSegment(f, t, s);
    l.segs.clear();
    l.caps.clear();
    l.capacity = 0;
    const uint32_t fullCap = (BLOBLargestSegment(f.BlockSize) - kSegHeaderSize) / kLookupEntrySize;
    size_t left = n;
    while (left > 0) {
        const uint32_t cap = uint32_t(std::min<size_t>(left, fullCap));
        const uint64_t ref = m.NewSegment(f, t, cap * kLookupEntrySize + kSegHeaderSize);
        TqbBlockHold h;
        uint8_t* s = BLOBGetSegment(f, t, ref, h, true, 0);
        s[0] = 'L';
        SetBlockRef(s, kLkOwner, blob);
        SetBlockRef(s, kLkNext, kNoRef);
        const uint32_t realCap = (segSize(s) - kSegHeaderSize) / kLookupEntrySize;
        h.release();
        if (!l.segs.empty()) {
            TqbBlockHold p;
            SetBlockRef(BLOBGetSegment(f, t, l.segs.back(), p, true, 'L'), kLkNext, ref);
        }
        l.segs.push_back(ref);
        l.caps.push_back(realCap);
        l.capacity += realCap;
        left -= std::min<size_t>(left, realCap);
    }
    return l.segs.empty() ? 0 : l.segs.front();
}

uint64_t newContent(TbtdFileInfo& f, TqbSrTransaction* t, TqbBLOBSegmentMgr& m, uint32_t bytes) {
    const uint64_t ref = m.NewSegment(f, t, bytes + kSegHeaderSize);
    TqbBlockHold h;
    BLOBGetSegment(f, t, ref, h, true, 0)[0] = 'C';
    return ref;
}

struct LinkDepth {
    static thread_local int depth;
    LinkDepth(TbtdFileInfo& f, uint64_t ref) {
        if (depth >= kMaxBLOBLinkDepth) raiseRef(51, f, ref, " (links nested too deep)");
        ++depth;
    }
    ~LinkDepth() { --depth; }
};
thread_local int LinkDepth::depth = 0;

void readLink(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, std::string& table, uint64_t& linked) {
    TqbBlockHold h;
    const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 'H');
    const uint32_t size = segSize(s);
    const uint32_t n = s[kSegHeaderSize];
    if (kSegHeaderSize + 1 + n + 8 > size) raiseRef(51, f, ref, " (link)");
    table.assign(reinterpret_cast<const char*>(s) + kSegHeaderSize + 1, n);
    linked = plat::LoadLE64(s + kSegHeaderSize + 1 + n);
}

// Asks the callback about the linked BLOB, no deeper than the link limit.
uint64_t followLink(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref, const TqbBLOBLinkCallback& cb,
                    TqbBLOBLinkRequest request, uint64_t offset, uint32_t length, void* buffer) {
    std::string table;
    uint64_t linked;
    readLink(f, t, ref, table, linked);
    if (!cb) raiseRef(51, f, ref, " (no link callback)");
    LinkDepth depth(f, ref);
    return cb(table, linked, request, offset, length, buffer);
}

std::string readFileName(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t ref) {
    TqbBlockHold h;
    const uint8_t* s = BLOBGetSegment(f, t, ref, h, false, 'H');
    const uint32_t n = s[kSegHeaderSize];
    if (kSegHeaderSize + 1 + n > segSize(s)) raiseRef(51, f, ref, " (file name)");
    return std::string(reinterpret_cast<const char*>(s) + kSegHeaderSize + 1, n);
}

// The full path of a file BLOB's name; names that could leave the folder are refused.
std::string confinedPath(const TbtdFileInfo& f, const std::string& name) {
    const std::string folder = BLOBFileFolder();
    bool ok = !folder.empty() && !name.empty() && name[0] != '/' && name[0] != '\\' &&
              name.find(':') == std::string::npos && name.find('\0') == std::string::npos;
    size_t start = 0;
    while (ok && start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        std::string_view part(name.data() + start, end - start);
        if (part == ".." || part == "." || part.empty()) ok = false;
        start = end + 1;
    }
    if (!ok) RaiseGeneralError(338, {f.FileName, 1});
    std::string rel = name;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    return folder + "/" + rel;
}

uint64_t createHeader(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t size) {
    TqbBLOBResourceManager& rm = BLOBResourceManager(f);
    std::lock_guard lk(rm.Padlock);
    const uint64_t ref = rm.Segments().NewSegment(f, t, size);
    {
        TqbBlockHold h;
        BLOBGetSegment(f, t, ref, h, true, 0)[0] = 'H';
    }
    TqbBlockHold header(f, t, 0, true);
    SetBlockWord(header.p(), kHdrBLOBCount, BlockWord(header.p(), kHdrBLOBCount) + 1);
    return ref;
}

} // namespace

void SetBLOBFileFolder(const std::string& Folder) {
    std::lock_guard lk(g_folderMutex);
    g_fileFolder = Folder;
}

std::string BLOBFileFolder() {
    std::lock_guard lk(g_folderMutex);
    return g_fileFolder;
}

void TableBLOBCreate(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t& BLOBNr) {
    BLOBNr = createHeader(f, t, kSegmentUnit);
}

namespace {

// A link or file BLOB: its header marked, a name after it and, for a link, the linked number.
uint64_t createNamedHeader(TbtdFileInfo& f, TqbSrTransaction* t, uint32_t mark, const std::string& name,
                           const uint64_t* linked) {
    const uint32_t n = uint32_t(name.size());
    const uint64_t ref = createHeader(f, t, kSegHeaderSize + 1 + n + (linked ? 8 : 0));
    TqbBlockHold h;
    uint8_t* s = BLOBGetSegment(f, t, ref, h, true, 'H');
    SetBlockWord(s, kHdrCount, mark);
    SetBlockWord(s, kHdrLookup, kNoBlock);
    s[kSegHeaderSize] = uint8_t(n);
    std::memcpy(s + kSegHeaderSize + 1, name.data(), n);
    if (linked) plat::StoreLE64(s + kSegHeaderSize + 1 + n, *linked);
    return ref;
}

} // namespace

void TableBLOBCreateLink(TbtdFileInfo& f, TqbSrTransaction* t, const std::string& TableName, uint64_t& BLOBNr,
                         uint64_t LinkedBLOBNr) {
    if (TableName.empty() || TableName.size() > 255) RaiseGeneralError(338, {f.FileName, 2});
    BLOBNr = createNamedHeader(f, t, kBLOBLinkMark, TableName, &LinkedBLOBNr);
}

void TableBLOBCreateFile(TbtdFileInfo& f, TqbSrTransaction* t, const std::string& FileName,
                         uint64_t& BLOBNr) {
    if (FileName.size() > 255) RaiseGeneralError(338, {f.FileName, 1});
    confinedPath(f, FileName);
    BLOBNr = createNamedHeader(f, t, kBLOBFileMark, FileName, nullptr);
}

void TableBLOBDelete(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr) {
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    TqbBLOBResourceManager& rm = BLOBResourceManager(f);
    std::lock_guard lk(rm.Padlock);
    TqbBLOBSegmentMgr& m = rm.Segments();
    if (!hd.isLink() && !hd.isFile()) {
        LookupList l = readLookup(f, t, BLOBNr, hd);
        for (const Entry& e : l.entries)
            m.DeleteSegment(f, t, e.Ref);
        for (uint64_t s : l.segs)
            m.DeleteSegment(f, t, s);
    }
    m.DeleteSegment(f, t, BLOBNr);
    TqbBlockHold header(f, t, 0, true);
    SetBlockWord(header.p(), kHdrBLOBCount, BlockWord(header.p(), kHdrBLOBCount) - 1);
}

bool TableBLOBDeleteIfEmpty(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr) {
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (hd.isLink() || hd.isFile() || hd.length != 0) return false;
    TableBLOBDelete(f, t, BLOBNr);
    return true;
}

uint64_t TableBLOBGetLength(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, int32_t& Error,
                            const TqbBLOBLinkCallback& cb) {
    Error = 0;
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (hd.isLink()) return followLink(f, t, BLOBNr, cb, blrLength, 0, 0, nullptr);
    if (hd.isFile()) {
        plat::FileStat st{};
        Error = plat::FileStatPath(confinedPath(f, readFileName(f, t, BLOBNr)), st);
        return Error ? 0 : st.size;
    }
    return hd.length;
}

bool TableBLOBGetFileName(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, std::string& FileName) {
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (!hd.isFile()) return false;
    FileName = readFileName(f, t, BLOBNr);
    return true;
}

void TableBLOBRead(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, uint64_t Offset, uint32_t Length,
                   void* Buffer, uint32_t& BytesRead, int32_t& Error, const TqbBLOBLinkCallback& cb) {
    BytesRead = 0;
    Error = 0;
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (hd.isLink()) {
        BytesRead = uint32_t(
            std::min<uint64_t>(Length, followLink(f, t, BLOBNr, cb, blrRead, Offset, Length, Buffer)));
        return;
    }
    if (hd.isFile()) {
        plat::File file;
        Error = file.open(confinedPath(f, readFileName(f, t, BLOBNr)), plat::kFileRead);
        if (Error) return;
        size_t got = 0;
        Error = plat::FileReadExact(file.handle(), Offset, Buffer, Length, &got);
        // The end of the file ends the read.
        if (Error == EIO) Error = 0;
        BytesRead = uint32_t(got);
        return;
    }
    if (Offset >= hd.length) return;
    const uint32_t n = uint32_t(std::min<uint64_t>(Length, hd.length - Offset));
    const LookupList l = readLookup(f, t, BLOBNr, hd);
    const uint32_t D = BLOBDataPerSegment(f.BlockSize);
    uint64_t pos = Offset;
    auto* out = static_cast<uint8_t*>(Buffer);
    while (BytesRead < n) {
        const size_t i = size_t(pos / D);
        const uint32_t in = uint32_t(pos % D);
        const Entry& e = l.entries[i];
        if (in >= e.Bytes) raiseRef(51, f, BLOBNr, " (lookup entry)");
        const uint32_t take = std::min(n - BytesRead, e.Bytes - in);
        TqbBlockHold h;
        const uint8_t* s = BLOBGetSegment(f, t, e.Ref, h, false, 'C');
        if (kSegHeaderSize + e.Bytes > segSize(s)) raiseRef(51, f, e.Ref, " (content size)");
        std::memcpy(out + BytesRead, s + kSegHeaderSize + in, take);
        BytesRead += take;
        pos += take;
    }
}

void TableBLOBWrite(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, uint64_t Offset, uint32_t Length,
                    const void* Data) {
    if (Offset + Length > uint64_t(kMaxBLOBSize)) RaiseServerError(115, {uint64_t(Offset + Length)});
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (hd.isLink() || hd.isFile()) raiseRef(54, f, BLOBNr);
    if (Offset > hd.length)
        RaiseServerError(53,
                         {f.FileName, uint32_t(BLOBNr >> 32), uint32_t(BLOBNr), uint32_t(Offset), hd.length});
    if (Length == 0) return;
    TqbBLOBResourceManager& rm = BLOBResourceManager(f);
    std::lock_guard lk(rm.Padlock);
    TqbBLOBSegmentMgr& m = rm.Segments();
    LookupList l = readLookup(f, t, BLOBNr, hd);
    const uint32_t D = BLOBDataPerSegment(f.BlockSize);
    const uint32_t newLen = uint32_t(std::max<uint64_t>(hd.length, Offset + Length));
    const size_t need = (newLen + D - 1) / D;
    uint64_t lookup = hd.lookup;
    if (l.capacity < need) lookup = rebuildLookup(f, t, m, BLOBNr, l, need);
    const size_t oldCount = l.entries.size();
    l.entries.resize(need, Entry{0, 0});
    const auto* in = static_cast<const uint8_t*>(Data);
    uint64_t pos = Offset;
    uint32_t done = 0;
    for (size_t i = size_t(Offset / D); i < need; ++i) {
        const uint32_t held = uint32_t(std::min<uint64_t>(D, newLen - uint64_t(i) * D));
        Entry& e = l.entries[i];
        if (i >= oldCount) {
            e.Ref = newContent(f, t, m, held);
        } else if (held > e.Bytes) {
            TqbBlockHold h;
            const uint32_t cap = segSize(BLOBGetSegment(f, t, e.Ref, h, false, 'C')) - kSegHeaderSize;
            h.release();
            if (held > cap) {
                // Grown past its segment: a larger one takes the old bytes.
                const uint64_t nr = newContent(f, t, m, held);
                TqbBlockHold a, b;
                const uint8_t* from = BLOBGetSegment(f, t, e.Ref, a, false, 'C');
                uint8_t* to = BLOBGetSegment(f, t, nr, b, true, 'C');
                std::memcpy(to + kSegHeaderSize, from + kSegHeaderSize, e.Bytes);
                a.release();
                b.release();
                m.DeleteSegment(f, t, e.Ref);
                e.Ref = nr;
            }
        }
        e.Bytes = held;
        if (done < Length) {
            const uint32_t at = uint32_t(pos - uint64_t(i) * D);
            const uint32_t take = std::min(Length - done, held - at);
            TqbBlockHold h;
            uint8_t* s = BLOBGetSegment(f, t, e.Ref, h, true, 'C');
            std::memcpy(s + kSegHeaderSize + at, in + done, take);
            done += take;
            pos += take;
        }
    }
    writeLookup(f, t, l);
    writeHeader(f, t, BLOBNr, newLen, uint32_t(need), need ? lookup : 0);
}

void TableBLOBTruncate(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, uint64_t NewLength) {
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    if (hd.isLink() || hd.isFile()) raiseRef(54, f, BLOBNr);
    if (NewLength > hd.length)
        RaiseServerError(
            52, {f.FileName, uint32_t(BLOBNr >> 32), uint32_t(BLOBNr), uint32_t(NewLength), hd.length});
    if (NewLength == hd.length) return;
    TqbBLOBResourceManager& rm = BLOBResourceManager(f);
    std::lock_guard lk(rm.Padlock);
    TqbBLOBSegmentMgr& m = rm.Segments();
    LookupList l = readLookup(f, t, BLOBNr, hd);
    const uint32_t D = BLOBDataPerSegment(f.BlockSize);
    const size_t keep = size_t((NewLength + D - 1) / D);
    for (size_t i = keep; i < l.entries.size(); ++i)
        m.DeleteSegment(f, t, l.entries[i].Ref);
    l.entries.resize(keep);
    if (keep) l.entries.back().Bytes = uint32_t(NewLength - uint64_t(keep - 1) * D);
    const uint64_t lookup = rebuildLookup(f, t, m, BLOBNr, l, keep);
    writeLookup(f, t, l);
    writeHeader(f, t, BLOBNr, uint32_t(NewLength), uint32_t(keep), lookup);
}

void TableBLOBListSegments(TbtdFileInfo& f, TqbSrTransaction* t, uint64_t BLOBNr, std::string& out) {
    const BLOBHeader hd = readHeader(f, t, BLOBNr);
    out += qbFormat("Segment list for BLOB %d:%d \r\n", {uint32_t(BLOBNr >> 32), uint32_t(BLOBNr)});
    if (hd.isLink()) {
        out += "This is a BLOB link.";
        return;
    }
    if (hd.isFile()) {
        out += "This is a file BLOB.";
        return;
    }
    if (hd.count == 0) {
        out += "BLOB has been truncated to length zero.";
        return;
    }
    const LookupList l = readLookup(f, t, BLOBNr, hd);
    for (size_t i = 0; i < l.entries.size(); ++i)
        out += qbFormat("Segment %d, %d:%d, Len %d\r\n", {uint32_t(i), uint32_t(l.entries[i].Ref >> 32),
                                                          uint32_t(l.entries[i].Ref), l.entries[i].Bytes});
}
