// B-tree indexes over index blocks: every page is checked when read (kind, index, key length,
// level, count), so that a damaged file raises 80 instead of reading outside a block or looping.
#include "db/storage/qbtbindx.h"

#include <algorithm>
#include <cstring>
#include <vector>

uint32_t IndexMaxKeys(uint32_t bs, uint32_t kl, bool refsOnly, bool leaf) {
    const uint32_t area = bs - kIdxBody;
    uint32_t per = (refsOnly ? 0 : kl) + (leaf ? 8 : 12);
    uint32_t m = area / per;
    return m % 2 == 0 ? m - 1 : m;
}

namespace {

[[noreturn]] void badIndexBlock(const TbtdFileInfo& f, uint32_t n) {
    RaiseServerError(80, {f.FileName, n});
}

// One index being worked on, with its index header block held.
struct IxCtx {
    IxCtx(TbtdFileInfo& file, TqbSrTransaction* tr, int32_t index) : f(file), t(tr), idx(index) {}
    TbtdFileInfo& f;
    TqbSrTransaction* t;
    int32_t idx;
    uint32_t kl = 0;
    bool dups = false;
    bool refsOnly = false;
    uint32_t mLeaf = 0, mInner = 0;
    TqbKeyCompare cmp = nullptr;
    const void* cd = nullptr;
    bool partial = false;
    uint32_t headerBlock = 0;
    uint32_t headerStamp = 0; // the header block's transaction stamp when it was read
    TqbBlockHold hold;
    uint8_t* hdr = nullptr;

    uint32_t root() const { return BlockWord(hdr, kIxhRoot + 4 * uint32_t(idx)); }
    void setRoot(uint32_t v) { SetBlockWord(hdr, kIxhRoot + 4 * uint32_t(idx), v); }
    void addKeys(int d) {
        uint32_t off = kIxhKeyCount + 4 * uint32_t(idx);
        SetBlockWord(hdr, off, BlockWord(hdr, off) + uint32_t(d));
    }
    void addPages(int d) {
        uint32_t off = kIxhPageCount + 4 * uint32_t(idx);
        SetBlockWord(hdr, off, BlockWord(hdr, off) + uint32_t(d));
    }
    uint32_t stamp() const { return headerStamp; }
};

uint8_t* readIndexHeader(TbtdFileInfo& f, TqbSrTransaction* t, TqbBlockHold& hold, bool dirty,
                         uint32_t& number, uint32_t* stamp = nullptr) {
    if (!f.BufferManager) RaiseServerError(0);
    uint8_t* b = hold.getNamedInHeader(f, t, kHdrIndexHeaderBlock, dirty, number, stamp);
    if (!b) RaiseServerError(33, {f.FileName, number});
    if (BlockWord(b, kBlkSignature) != kSigIndex || BlockWord(b, kBlkOwnNumber) != number ||
        b[kIdxIsPage] != 0 || plat::LoadLE16(b + kIdxNumber) != 0xFFFF)
        badIndexBlock(f, number);
    return b;
}

void checkIndexNo(int32_t idx) {
    if (idx < 0 || idx >= kMaxIndexes) RaiseServerError(81, {idx});
}

IxCtx openIndex(const TqbIndexData& d, TqbSrTransaction* t, bool dirty) {
    checkIndexNo(d.IndexNo);
    IxCtx c{*d.FileInfo, t, d.IndexNo};
    c.hdr = readIndexHeader(c.f, t, c.hold, dirty, c.headerBlock, &c.headerStamp);
    c.kl = plat::LoadLE16(c.hdr + kIxhKeyLength + 2 * uint32_t(c.idx));
    uint8_t flags = c.hdr[kIxhFlags + uint32_t(c.idx)];
    c.dups = flags & kIxFlagDups;
    c.refsOnly = flags & kIxFlagRefsOnly;
    if (c.kl == 0 || c.kl > kMaxKeyLength || (c.refsOnly && c.kl != 8)) badIndexBlock(c.f, c.headerBlock);
    c.mLeaf = IndexMaxKeys(c.f.BlockSize, c.kl, c.refsOnly, true);
    c.mInner = IndexMaxKeys(c.f.BlockSize, c.kl, c.refsOnly, false);
    c.cmp = d.Compare;
    c.cd = d.CompareData;
    if (!c.refsOnly && !c.cmp) RaiseServerError(0);
    return c;
}

struct Page {
    TqbBlockHold hold;
    uint8_t* b = nullptr;
    uint32_t n = 0;
    uint32_t M = 0;
    uint32_t kl = 0;
    bool leaf = true;
    bool refsOnly = false;

    uint32_t count() const { return BlockWord(b, kIdxCount); }
    void setCount(uint32_t v) { SetBlockWord(b, kIdxCount, v); }
    uint32_t level() const { return b[kIdxLevel]; }
    uint8_t* refAt(uint32_t i) const { return b + (leaf ? kIdxBody : kIdxBody + 4 * M) + 8 * i; }
    uint8_t* keyAt(uint32_t i) const {
        return refsOnly ? refAt(i) : b + (leaf ? kIdxBody + 8 * M : kIdxBody + 12 * M) + kl * i;
    }
    uint64_t ref(uint32_t i) const { return plat::LoadLE64(refAt(i)); }
    uint8_t* childAt(uint32_t i) const { return b + kIdxFirstChild + 4 * i; }
    uint32_t child(uint32_t i) const { return plat::LoadLE32(childAt(i)); }
    void setChild(uint32_t i, uint32_t v) { plat::StoreLE32(childAt(i), v); }
};

// expectLevel 0: any level (the root).
void readPage(IxCtx& c, Page& p, uint32_t n, uint32_t expectLevel, bool dirty) {
    if (n == 0 || n >= c.f.BlockCount) RaiseServerError(33, {c.f.FileName, n});
    p.b = p.hold.get(c.f, c.t, n, dirty);
    p.n = n;
    const uint8_t* b = p.b;
    const uint32_t level = b[kIdxLevel];
    if (BlockWord(b, kBlkSignature) != kSigIndex || BlockWord(b, kBlkOwnNumber) != n || b[kIdxIsPage] != 1 ||
        plat::LoadLE16(b + kIdxNumber) != uint32_t(c.idx) || plat::LoadLE16(b + kIdxKeyLength) != c.kl ||
        b[kIdxRefsOnly] != (c.refsOnly ? 1 : 0) || level < 1 || level > kMaxKeyPathLevels ||
        b[kIdxLeaf] != (level == 1 ? 1 : 0) || (expectLevel && level != expectLevel))
        badIndexBlock(c.f, n);
    p.leaf = level == 1;
    p.kl = c.kl;
    p.refsOnly = c.refsOnly;
    p.M = p.leaf ? c.mLeaf : c.mInner;
    if (BlockWord(b, kIdxMaxCount) != p.M || p.count() > p.M) badIndexBlock(c.f, n);
}

void newPage(IxCtx& c, Page& p, bool leaf, uint32_t level) {
    p.b = p.hold.newBlock(c.f, c.t, p.n);
    uint8_t* b = p.b;
    InitBlockPrefix(b, kSigIndex);
    b[kIdxIsPage] = 1;
    b[kIdxLeaf] = leaf ? 1 : 0;
    b[kIdxLevel] = uint8_t(level);
    b[kIdxRefsOnly] = c.refsOnly ? 1 : 0;
    plat::StoreLE16(b + kIdxNumber, uint16_t(c.idx));
    plat::StoreLE16(b + kIdxKeyLength, uint16_t(c.kl));
    p.leaf = leaf;
    p.kl = c.kl;
    p.refsOnly = c.refsOnly;
    p.M = leaf ? c.mLeaf : c.mInner;
    SetBlockWord(b, kIdxCount, 0);
    SetBlockWord(b, kIdxMaxCount, p.M);
    SetBlockWord(b, kIdxFirstChild, kNoBlock);
    std::memset(b + kIdxBody, 0, c.f.BlockSize - kIdxBody);
    c.addPages(1);
}

void freePage(IxCtx& c, Page& p) {
    TqbBlockHold header(c.f, c.t, 0, true);
    FreeBlock(header.p(), p.b);
    p.hold.release();
    p.b = nullptr;
    c.addPages(-1);
}

int cmpRef(uint64_t a, uint64_t b) {
    return int64_t(a) < int64_t(b) ? -1 : (int64_t(a) > int64_t(b) ? 1 : 0);
}

int cmpKey(const IxCtx& c, const uint8_t* a, const uint8_t* b) {
    if (c.refsOnly) {
        uint64_t x = plat::LoadLE64(a), y = plat::LoadLE64(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return c.cmp(a, b, c.cd);
}

int cmpEntry(const IxCtx& c, const uint8_t* key, uint64_t ref, bool useRef, const Page& p, uint32_t i) {
    int r = cmpKey(c, key, p.keyAt(i));
    if (r == 0 && useRef) r = cmpRef(ref, p.ref(i));
    return r;
}

// Binary search over count entries; compare(i) is below 0 when the key sorts before entry i.
template <class Compare> bool bisect(uint32_t count, uint32_t& pos, Compare&& compare) {
    int64_t lo = 0, hi = int64_t(count) - 1;
    while (lo <= hi) {
        const int64_t mid = (lo + hi) / 2;
        const int r = compare(uint32_t(mid));
        if (r == 0) {
            pos = uint32_t(mid);
            return true;
        }
        if (r < 0)
            hi = mid - 1;
        else
            lo = mid + 1;
    }
    pos = uint32_t(lo);
    return false;
}

bool search(const IxCtx& c, const Page& p, const uint8_t* key, uint64_t ref, bool useRef, uint32_t& pos) {
    if (!c.refsOnly && !useRef) {
        // Keys alone: the page's key array and the compare routine are looked up once.
        const uint8_t* keys = p.keyAt(0);
        const size_t kl = p.kl;
        const TqbKeyCompare cmp = c.cmp;
        const void* cd = c.cd;
        return bisect(p.count(), pos, [&](uint32_t i) { return cmp(key, keys + kl * i, cd); });
    }
    return bisect(p.count(), pos, [&](uint32_t i) { return cmpEntry(c, key, ref, useRef, p, i); });
}

void moveEntries(Page& d, uint32_t di, const Page& s, uint32_t si, uint32_t n) {
    if (!n) return;
    std::memmove(d.refAt(di), s.refAt(si), 8 * size_t(n));
    if (!d.refsOnly) std::memmove(d.keyAt(di), s.keyAt(si), size_t(d.kl) * n);
}

void moveChildren(Page& d, uint32_t di, const Page& s, uint32_t si, uint32_t n) {
    if (n) std::memmove(d.childAt(di), s.childAt(si), 4 * size_t(n));
}

void setEntry(Page& p, uint32_t i, const uint8_t* key, uint64_t ref) {
    plat::StoreLE64(p.refAt(i), ref);
    if (!p.refsOnly) std::memmove(p.keyAt(i), key, p.kl);
}

// Inserts before entry pos; in an inner node rightChild goes right of the new entry.
void insertEntry(Page& p, uint32_t pos, const uint8_t* key, uint64_t ref, uint32_t rightChild) {
    const uint32_t cnt = p.count();
    moveEntries(p, pos + 1, p, pos, cnt - pos);
    if (!p.leaf) moveChildren(p, pos + 2, p, pos + 1, cnt - pos);
    setEntry(p, pos, key, ref);
    if (!p.leaf) p.setChild(pos + 1, rightChild);
    p.setCount(cnt + 1);
}

// Removes entry i (and in an inner node the child right of it).
void removeEntry(Page& p, uint32_t i) {
    const uint32_t cnt = p.count();
    moveEntries(p, i, p, i + 1, cnt - i - 1);
    if (!p.leaf) moveChildren(p, i + 1, p, i + 2, cnt - i - 1);
    p.setCount(cnt - 1);
}

void copyEntry(Page& d, uint32_t di, const Page& s, uint32_t si) {
    uint8_t key[kMaxKeyLength];
    std::memcpy(key, s.keyAt(si), s.refsOnly ? 8 : s.kl);
    setEntry(d, di, key, s.ref(si));
}

// k entries from the left page into the right one through separator s of the parent.
void rotateRight(Page& parent, uint32_t s, Page& L, Page& R, uint32_t k) {
    const uint32_t cL = L.count(), cR = R.count();
    moveEntries(R, k, R, 0, cR);
    if (!R.leaf) moveChildren(R, k, R, 0, cR + 1);
    copyEntry(R, k - 1, parent, s);
    moveEntries(R, 0, L, cL - k + 1, k - 1);
    if (!R.leaf) moveChildren(R, 0, L, cL - k + 1, k);
    copyEntry(parent, s, L, cL - k);
    L.setCount(cL - k);
    R.setCount(cR + k);
}

// k entries from the right page into the left one through separator s of the parent.
void rotateLeft(Page& parent, uint32_t s, Page& L, Page& R, uint32_t k) {
    const uint32_t cL = L.count(), cR = R.count();
    copyEntry(L, cL, parent, s);
    moveEntries(L, cL + 1, R, 0, k - 1);
    if (!L.leaf) moveChildren(L, cL + 1, R, 0, k);
    copyEntry(parent, s, R, k - 1);
    moveEntries(R, 0, R, k, cR - k);
    if (!R.leaf) moveChildren(R, 0, R, k, cR - k + 1);
    L.setCount(cL + k);
    R.setCount(cR - k);
}

void splitChild(IxCtx& c, Page& parent, uint32_t pos, Page& C) {
    const uint32_t h = C.M / 2;
    Page N;
    newPage(c, N, C.leaf, C.level());
    moveEntries(N, 0, C, h + 1, h);
    if (!C.leaf) moveChildren(N, 0, C, h + 1, h + 1);
    insertEntry(parent, pos, C.keyAt(h), C.ref(h), N.n);
    C.setCount(h);
    N.setCount(h);
}

// Makes room in a full child before the insert walks into it.
void relieve(IxCtx& c, Page& parent, uint32_t pos, Page& child) {
    const uint32_t level = child.level();
    if (pos < parent.count()) {
        Page r;
        readPage(c, r, parent.child(pos + 1), level, true);
        if (r.count() < r.M - 1) {
            rotateRight(parent, pos, child, r, std::max<uint32_t>(1, (child.count() - r.count()) / 2));
            return;
        }
    }
    if (pos > 0) {
        Page l;
        readPage(c, l, parent.child(pos - 1), level, true);
        if (l.count() < l.M - 1) {
            rotateLeft(parent, pos - 1, l, child, std::max<uint32_t>(1, (child.count() - l.count()) / 2));
            return;
        }
    }
    splitChild(c, parent, pos, child);
}

void merge(IxCtx& c, Page& parent, uint32_t s, Page& L, Page& R) {
    const uint32_t h = L.M / 2;
    if (L.count() != h || R.count() != h) RaiseServerError(83, {c.f.FileName, L.n, R.n});
    copyEntry(L, h, parent, s);
    moveEntries(L, h + 1, R, 0, h);
    if (!L.leaf) moveChildren(L, h + 1, R, 0, h + 1);
    L.setCount(2 * h + 1);
    removeEntry(parent, s);
    freePage(c, R);
}

// Gives a child holding only the minimum more entries before the delete walks into it.
void refill(IxCtx& c, Page& parent, uint32_t pos, Page& child) {
    const uint32_t level = child.level();
    const uint32_t h = child.M / 2;
    Page r, l;
    if (pos < parent.count()) {
        readPage(c, r, parent.child(pos + 1), level, true);
        if (r.count() > h) {
            rotateLeft(parent, pos, child, r, std::max<uint32_t>(1, (r.count() - child.count()) / 2));
            return;
        }
    }
    if (pos > 0) {
        readPage(c, l, parent.child(pos - 1), level, true);
        if (l.count() > h) {
            rotateRight(parent, pos - 1, l, child, std::max<uint32_t>(1, (l.count() - child.count()) / 2));
            return;
        }
        merge(c, parent, pos - 1, l, child);
    } else if (r.b) {
        merge(c, parent, pos, child, r);
    } else {
        badIndexBlock(c.f, parent.n);
    }
}

// The first (last) entry of the subtree under page n.
void extremeEntry(IxCtx& c, uint32_t n, uint32_t level, bool first, uint8_t* key, uint64_t& ref) {
    Page p;
    for (;;) {
        readPage(c, p, n, level, false);
        if (p.count() == 0) badIndexBlock(c.f, n);
        if (p.leaf) break;
        n = p.child(first ? 0 : p.count());
        level = p.level() - 1;
    }
    uint32_t i = first ? 0 : p.count() - 1;
    std::memcpy(key, p.keyAt(i), c.refsOnly ? 8 : c.kl);
    ref = p.ref(i);
}

void collapseRoot(IxCtx& c) {
    uint32_t root = c.root();
    if (root == kNoBlock) return;
    Page p;
    readPage(c, p, root, 0, true);
    if (p.count() != 0) return;
    c.setRoot(p.leaf ? kNoBlock : p.child(0));
    freePage(c, p);
}

void freeSubtree(IxCtx& c, uint32_t n, uint32_t level) {
    Page p;
    readPage(c, p, n, level, true);
    if (!p.leaf)
        for (uint32_t i = 0; i <= p.count(); ++i)
            freeSubtree(c, p.child(i), p.level() - 1);
    readPage(c, p, n, level, true);
    freePage(c, p);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Index header block

void IndexHeaderCreate(TbtdFileInfo& f, TqbSrTransaction* t) {
    TqbBlockHold header(f, t, 0, true);
    uint32_t n;
    TqbBlockHold hold;
    uint8_t* b = hold.newBlock(f, t, n);
    InitBlockPrefix(b, kSigIndex);
    b[kIdxIsPage] = 0;
    b[kIdxLeaf] = 0;
    b[kIdxLevel] = 0;
    b[kIdxRefsOnly] = 0;
    plat::StoreLE16(b + kIdxNumber, 0xFFFF);
    plat::StoreLE16(b + kIdxKeyLength, 0);
    SetBlockWord(b, kIdxCount, 0);
    SetBlockWord(b, kIdxMaxCount, 0);
    SetBlockWord(b, kIdxFirstChild, kNoBlock);
    std::memset(b + kIdxBody, 0, f.BlockSize - kIdxBody);
    for (uint32_t i = 0; i < kMaxIndexes; ++i)
        SetBlockWord(b, kIxhRoot + 4 * i, kNoBlock);
    SetBlockWord(header.p(), kHdrIndexHeaderBlock, n);
}

void IndexHeaderAddIndex(TbtdFileInfo& f, TqbSrTransaction* t, int32_t IndexNo, bool RefsOnly, bool AllowDups,
                         uint32_t KeyLength) {
    checkIndexNo(IndexNo);
    if (!RefsOnly && (KeyLength < 1 || KeyLength > kMaxKeyLength)) RaiseGeneralError(340, {KeyLength});
    TqbBlockHold hold;
    uint32_t hb;
    uint8_t* b = readIndexHeader(f, t, hold, true, hb);
    const uint32_t i = uint32_t(IndexNo);
    if (RefsOnly) {
        plat::StoreLE16(b + kIxhKeyLength + 2 * i, 8);
        b[kIxhFlags + i] = kIxFlagRefsOnly;
        TqbBlockHold header(f, t, 0, true);
        SetBlockWord(header.p(), kHdrSequentialIndex, 1);
    } else {
        plat::StoreLE16(b + kIxhKeyLength + 2 * i, uint16_t(KeyLength));
        b[kIxhFlags + i] = AllowDups ? kIxFlagDups : 0;
    }
    SetBlockWord(b, kIxhRoot + 4 * i, kNoBlock);
    SetBlockWord(b, kIxhKeyCount + 4 * i, 0);
    SetBlockWord(b, kIxhPageCount + 4 * i, 0);
}

void IndexHeaderDeleteIndex(TbtdFileInfo& f, TqbSrTransaction* t, int32_t IndexNo) {
    checkIndexNo(IndexNo);
    TqbBlockHold hold;
    uint32_t hb;
    uint8_t* b = readIndexHeader(f, t, hold, true, hb);
    const uint32_t i = uint32_t(IndexNo), later = kMaxIndexes - i - 1;
    std::memmove(b + kIxhKeyLength + 2 * i, b + kIxhKeyLength + 2 * (i + 1), 2 * later);
    std::memmove(b + kIxhFlags + i, b + kIxhFlags + i + 1, later);
    std::memmove(b + kIxhKeyCount + 4 * i, b + kIxhKeyCount + 4 * (i + 1), 4 * later);
    std::memmove(b + kIxhRoot + 4 * i, b + kIxhRoot + 4 * (i + 1), 4 * later);
    std::memmove(b + kIxhPageCount + 4 * i, b + kIxhPageCount + 4 * (i + 1), 4 * later);
    const uint32_t last = kMaxIndexes - 1;
    plat::StoreLE16(b + kIxhKeyLength + 2 * last, 0);
    b[kIxhFlags + last] = 0;
    SetBlockWord(b, kIxhKeyCount + 4 * last, 0);
    SetBlockWord(b, kIxhRoot + 4 * last, kNoBlock);
    SetBlockWord(b, kIxhPageCount + 4 * last, 0);
}

TqbIndexHeaderEntry IndexHeaderEntry(TbtdFileInfo& f, TqbSrTransaction* t, int32_t IndexNo) {
    checkIndexNo(IndexNo);
    TqbBlockHold hold;
    uint32_t hb;
    const uint8_t* b = readIndexHeader(f, t, hold, false, hb);
    const uint32_t i = uint32_t(IndexNo);
    return {plat::LoadLE16(b + kIxhKeyLength + 2 * i), b[kIxhFlags + i], BlockWord(b, kIxhKeyCount + 4 * i),
            BlockWord(b, kIxhRoot + 4 * i), BlockWord(b, kIxhPageCount + 4 * i)};
}

// ---------------------------------------------------------------------------------------------
// Insert and delete

bool IndexInsertKey(const TqbIndexData& d, TqbSrTransaction* t, const uint8_t* Key, uint64_t RefNr) {
    IxCtx c = openIndex(d, t, true);
    const uint32_t root = c.root();
    if (root == kNoBlock) {
        Page p;
        newPage(c, p, true, 1);
        insertEntry(p, 0, Key, RefNr, kNoBlock);
        c.setRoot(p.n);
        c.addKeys(1);
        return true;
    }
    Page cur;
    readPage(c, cur, root, 0, true);
    if (cur.count() == cur.M) {
        if (cur.level() + 1 > uint32_t(kMaxKeyPathLevels)) badIndexBlock(c.f, root);
        Page nr;
        newPage(c, nr, false, cur.level() + 1);
        nr.setChild(0, root);
        c.setRoot(nr.n);
        splitChild(c, nr, 0, cur);
        cur = std::move(nr);
    }
    for (;;) {
        uint32_t pos;
        if (search(c, cur, Key, RefNr, c.dups, pos)) return false;
        if (cur.leaf) {
            insertEntry(cur, pos, Key, RefNr, kNoBlock);
            c.addKeys(1);
            return true;
        }
        Page child;
        readPage(c, child, cur.child(pos), cur.level() - 1, true);
        if (child.count() == child.M) {
            relieve(c, cur, pos, child);
            continue;
        }
        cur = std::move(child);
    }
}

bool IndexDeleteKey(const TqbIndexData& d, TqbSrTransaction* t, const uint8_t* Key, uint64_t RefNr) {
    IxCtx c = openIndex(d, t, true);
    if (c.root() == kNoBlock) return false;
    bool deleted = false;
    {
        uint8_t key[kMaxKeyLength];
        std::memcpy(key, Key, c.refsOnly ? 8 : c.kl);
        uint64_t ref = RefNr;
        Page cur;
        readPage(c, cur, c.root(), 0, true);
        for (;;) {
            uint32_t pos;
            const bool found = search(c, cur, key, ref, c.dups, pos);
            if (cur.leaf) {
                if (found) {
                    removeEntry(cur, pos);
                    deleted = true;
                }
                break;
            }
            const uint32_t level = cur.level() - 1;
            if (found) {
                Page L, R;
                readPage(c, L, cur.child(pos), level, true);
                readPage(c, R, cur.child(pos + 1), level, true);
                const uint32_t h = L.M / 2;
                if (R.count() > h || L.count() > h) {
                    // Replace the entry by its neighbour in the fuller subtree, then delete that.
                    const bool right = R.count() > h;
                    extremeEntry(c, right ? R.n : L.n, level, right, key, ref);
                    setEntry(cur, pos, key, ref);
                    cur = std::move(right ? R : L);
                } else {
                    merge(c, cur, pos, L, R);
                    cur = std::move(L);
                }
                continue;
            }
            Page child;
            readPage(c, child, cur.child(pos), level, true);
            if (child.count() <= child.M / 2) {
                refill(c, cur, pos, child);
                continue;
            }
            cur = std::move(child);
        }
    }
    // Whatever the answer, merges on the way may have emptied the root.
    collapseRoot(c);
    if (deleted) c.addKeys(-1);
    return deleted;
}

void IndexClear(const TqbIndexData& d, TqbSrTransaction* t) {
    IxCtx c = openIndex(d, t, true);
    const uint32_t root = c.root();
    if (root != kNoBlock) freeSubtree(c, root, 0);
    c.setRoot(kNoBlock);
    SetBlockWord(c.hdr, kIxhPageCount + 4 * uint32_t(c.idx), 0);
    SetBlockWord(c.hdr, kIxhKeyCount + 4 * uint32_t(c.idx), 0);
}

// ---------------------------------------------------------------------------------------------
// Key paths

void KeyPathClear(TqbKeyPath& p) {
    std::memset(&p, 0, sizeof p);
    p.Position = kpNone;
}
void KeyPathToBegin(TqbKeyPath& p) {
    KeyPathClear(p);
    p.Position = kpBOF;
}
void KeyPathToEnd(TqbKeyPath& p) {
    KeyPathClear(p);
    p.Position = kpEOF;
}

namespace {

struct PathWalker {
    IxCtx& c;
    TqbKeyPath& path;

    TqbKeyPathLevel& deepest() { return path.Levels[path.LevelCount - 1]; }
    void push(uint32_t page, int32_t element) {
        if (path.LevelCount >= uint32_t(kMaxKeyPathLevels)) badIndexBlock(c.f, page);
        path.Levels[path.LevelCount++] = {page, element};
    }

    // Walks from the root; true when an equal entry was met (the deepest level is on it),
    // else the deepest level is the leaf position where the entry would go.
    bool locate(const uint8_t* key, uint64_t ref, bool useRef) {
        Page p;
        return locate(key, ref, useRef, p);
    }
    // The same, leaving the deepest level's page held in p.
    bool locate(const uint8_t* key, uint64_t ref, bool useRef, Page& p) {
        path.LevelCount = 0;
        uint32_t n = c.root(), level = 0;
        for (;;) {
            readPage(c, p, n, level, false);
            uint32_t pos;
            const bool found = search(c, p, key, ref, useRef, pos);
            push(n, int32_t(pos));
            if (found) return true;
            if (p.leaf) {
                if (p.count() == 0) badIndexBlock(c.f, n);
                if (pos >= p.count()) {
                    deepest().Element = int32_t(p.count() - 1);
                    path.Position = kpGapAfter;
                } else {
                    path.Position = kpGapBefore;
                }
                return false;
            }
            n = p.child(pos);
            level = p.level() - 1;
        }
    }

    // Down from page n (its level) to the first or last entry of its subtree.
    void descend(uint32_t n, uint32_t level, bool first) {
        Page p;
        for (;;) {
            readPage(c, p, n, level, false);
            if (p.count() == 0) badIndexBlock(c.f, n);
            if (p.leaf) {
                push(n, first ? 0 : int32_t(p.count() - 1));
                path.Position = kpOnKey;
                return;
            }
            const uint32_t ci = first ? 0 : p.count();
            push(n, int32_t(ci));
            n = p.child(ci);
            level = p.level() - 1;
        }
    }

    // Reads the page of the deepest level; false when the path no longer fits the index.
    bool readDeepest(Page& p) {
        if (path.LevelCount == 0 || path.LevelCount > uint32_t(kMaxKeyPathLevels)) return false;
        const TqbKeyPathLevel& l = deepest();
        try {
            readPage(c, p, l.Page, 0, false);
        } catch (const EqbException&) {
            return false;
        }
        return l.Element >= 0 && uint32_t(l.Element) < p.count();
    }

    // Up to the ancestor whose child we came from; checks that it still leads there.
    bool up(Page& p) {
        const uint32_t from = deepest().Page;
        --path.LevelCount;
        if (path.LevelCount == 0) return true;
        const TqbKeyPathLevel& l = deepest();
        try {
            readPage(c, p, l.Page, 0, false);
        } catch (const EqbException&) {
            return false;
        }
        return !p.leaf && l.Element >= 0 && uint32_t(l.Element) <= p.count() &&
               p.child(uint32_t(l.Element)) == from;
    }

    // From the entry of the deepest level to its successor (predecessor); false when the path
    // does not fit the index any more.
    bool step(bool forward) {
        Page p;
        if (!readDeepest(p)) return false;
        TqbKeyPathLevel& l = deepest();
        if (!p.leaf) {
            const uint32_t ci = uint32_t(l.Element) + (forward ? 1 : 0);
            l.Element = int32_t(ci);
            descend(p.child(ci), p.level() - 1, forward);
            return true;
        }
        if (forward ? uint32_t(l.Element) + 1 < p.count() : l.Element > 0) {
            l.Element += forward ? 1 : -1;
            path.Position = kpOnKey;
            return true;
        }
        for (;;) {
            if (!up(p)) return false;
            if (path.LevelCount == 0) {
                path.Position = forward ? kpEOF : kpBOF;
                return true;
            }
            TqbKeyPathLevel& a = deepest();
            if (forward ? uint32_t(a.Element) < p.count() : a.Element > 0) {
                if (!forward) --a.Element;
                path.Position = kpOnKey;
                return true;
            }
        }
    }

    bool move(bool forward) {
        switch (path.Position) {
        case kpBOF:
        case kpEOF:
            if ((path.Position == kpBOF) != forward) return true; // nothing on that side
            path.LevelCount = 0;
            descend(c.root(), 0, forward);
            return true;
        case kpGapBefore:
        case kpGapAfter: {
            // The gap next to the entry: stepping across it lands on the entry itself.
            const bool onSide = (path.Position == kpGapBefore) == forward;
            if (onSide) {
                Page p;
                if (!readDeepest(p)) return false;
                path.Position = kpOnKey;
                return true;
            }
            return step(forward);
        }
        case kpOnKey:
            return step(forward);
        default:
            return false;
        }
    }

    void current(uint8_t* key, uint64_t& ref) {
        Page p;
        readPage(c, p, deepest().Page, 0, false);
        current(p, key, ref);
    }
    // The same from the deepest level's page, already read into p.
    void current(const Page& p, uint8_t* key, uint64_t& ref) {
        const uint32_t e = uint32_t(deepest().Element);
        if (e >= p.count()) badIndexBlock(c.f, p.n);
        std::memcpy(key, p.keyAt(e), c.refsOnly ? 8 : c.kl);
        ref = p.ref(e);
    }
};

// The path is put back on its entry (or the gap where the entry was), keeping which side of it.
void reposition(IxCtx& c, TqbKeyPath& path, const uint8_t* key, uint64_t ref) {
    const uint32_t was = path.Position;
    PathWalker w{c, path};
    if (w.locate(key, ref, c.dups)) path.Position = was == kpGapBefore || was == kpGapAfter ? was : kpOnKey;
}

bool stepKey(const TqbIndexData& d, TqbSrTransaction* t, TqbKeyPath& path, uint8_t* Key, uint64_t& RefNr,
             bool forward) {
    if (path.Position == (forward ? kpEOF : kpBOF)) return false;
    IxCtx c = openIndex(d, t, false);
    if (c.root() == kNoBlock) {
        forward ? KeyPathToEnd(path) : KeyPathToBegin(path);
        path.Stamp = c.stamp();
        return false;
    }
    if (path.Position == kpNone) KeyPathToBegin(path);
    const uint32_t stamp = c.stamp();
    const bool positioned = path.Position != kpBOF && path.Position != kpEOF;
    if (positioned && path.Stamp != stamp) reposition(c, path, Key, RefNr);
    PathWalker w{c, path};
    if (!w.move(forward)) {
        // The index changed under the path within one stamp: start again from its entry.
        reposition(c, path, Key, RefNr);
        if (!w.move(forward)) badIndexBlock(c.f, c.headerBlock);
    }
    path.Stamp = stamp;
    if (path.Position != kpOnKey) return false;
    w.current(Key, RefNr);
    return true;
}

} // namespace

bool IndexNextKey(const TqbIndexData& d, TqbSrTransaction* t, TqbKeyPath& path, uint8_t* Key,
                  uint64_t& RefNr) {
    return stepKey(d, t, path, Key, RefNr, true);
}

bool IndexPriorKey(const TqbIndexData& d, TqbSrTransaction* t, TqbKeyPath& path, uint8_t* Key,
                   uint64_t& RefNr) {
    return stepKey(d, t, path, Key, RefNr, false);
}

bool IndexFindKey(const TqbIndexData& d, TqbSrTransaction* t, const uint8_t* Key, uint64_t& RefNr, int Mode,
                  TqbKeyPath& path, uint8_t* FoundKey) {
    IxCtx c = openIndex(d, t, false);
    const uint32_t stamp = c.stamp();
    if (c.root() == kNoBlock) {
        Mode ? KeyPathToEnd(path) : KeyPathClear(path);
        path.Stamp = stamp;
        return Mode != 0;
    }
    KeyPathClear(path);
    path.Stamp = stamp;
    PathWalker w{c, path};
    uint8_t cur[kMaxKeyLength];
    uint64_t curRef = 0;
    const bool useRef = c.dups && RefNr != 0;
    Page at;
    if (w.locate(Key, RefNr, useRef, at)) {
        path.Position = kpGapBefore;
        w.current(at, cur, curRef);
        RefNr = curRef;
        auto equal = [&]() { return cmpKey(c, Key, cur) == 0; };
        if (Mode == 2) {
            path.Position = kpOnKey;
            while (w.move(true) && path.Position == kpOnKey) {
                w.current(cur, curRef);
                if (!equal()) break;
            }
            return true;
        }
        if (c.dups || d.PartialKey) {
            path.Position = kpOnKey;
            while (w.move(false) && path.Position == kpOnKey) {
                w.current(cur, curRef);
                if (!equal()) break;
            }
            w.move(true);
            w.current(cur, curRef);
            RefNr = curRef;
        }
        if (FoundKey) std::memcpy(FoundKey, cur, c.refsOnly ? 8 : c.kl);
        return true;
    }
    switch (Mode) {
    case 0:
        KeyPathClear(path);
        path.Stamp = stamp;
        return false;
    case 3:
        w.move(true);
        if (path.Position != kpOnKey) return false;
        w.current(cur, curRef);
        RefNr = curRef;
        return true;
    default:
        return true;
    }
}
