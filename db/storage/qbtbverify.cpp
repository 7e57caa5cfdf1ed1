// Table-file verifier: header fields, the deleted-block chain, data blocks and record slots, the
// dictionary stream, every B-tree and its entries against the records, BLOB blocks and segments,
// and which structure owns each block.
#include "db/storage/qbtbverify.h"

#include "db/base/qbllbase.h"
#include "db/storage/qbsrblob.h"
#include "db/storage/qbsrixhl.h"
#include "db/storage/qbtbdict.h"
#include "db/storage/qbtbstrm.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace {

class Verifier {
public:
    Verifier(TbtdFileInfo& f, TqbSrTransaction* t, const TqbVerifyOptions& o) : f_(f), t_(t), opt_(o) {}

    TqbVerifyReport run() {
        std::vector<uint8_t> h;
        if (!read(0, h)) return std::move(report_);
        try {
            CheckTableHeader(f_, h.data());
            // The committed header is bounded by the file itself (the count the file was opened
            // with came from that header); blocks a transaction added are not on disk yet.
            const uint64_t onDisk = f_.HasDiskFile() ? GetFileSize(f_) >> f_.BlockShift : 0;
            const uint64_t blocks =
                t_ || !f_.HasDiskFile() ? std::max<uint64_t>(onDisk, f_.BlockCount) : onDisk;
            const std::string why = TableHeaderProblem(h.data(), blocks);
            if (!why.empty()) {
                problem(0, "header: " + why);
                return std::move(report_);
            }
        } catch (const EqbException& e) {
            problem(0, std::string("header: ") + e.Message());
            return std::move(report_);
        }
        header_ = h;
        count_ = BlockWord(h.data(), kHdrBlockCount);
        if (hw(kHdrSequentialIndex) != 1) problem(0, "header: sequential-index flag is not 1");
        owner_.assign(count_, nullptr);
        owner_[0] = "header";
        deletedBlocks();
        dataBlocks();
        dictionary();
        indexes();
        if (opt_.ScanAllBlocks) {
            blobs();
            for (uint32_t b = 1; b < count_; ++b)
                if (!owner_[b]) problem(b, "block belongs to no structure");
        }
        return std::move(report_);
    }

private:
    void problem(uint32_t b, std::string text) {
        if (report_.Problems.size() < opt_.MaxProblems) report_.Problems.push_back({b, std::move(text)});
        ++report_.Count;
    }

    // Word +4 of a block in use says so; only a deleted block links on through it.
    void inUse(uint32_t n, const uint8_t* p, const char* what) {
        if (BlockWord(p, kBlkLink) != kNoBlock)
            problem(n, std::string(what) + ": word +4 of a block in use is not 0xFFFFFFFF");
    }

    // A copy of the block; false (with a problem) when it cannot be read.
    bool read(uint32_t n, std::vector<uint8_t>& out) {
        try {
            TqbBlockHold h(f_, t_, n, false);
            out.assign(h.p(), h.p() + f_.BlockSize);
            return true;
        } catch (const std::exception& e) {
            problem(n, std::string("cannot read: ") + e.what());
            return false;
        }
    }

    bool inRange(uint32_t b) const { return b >= 1 && b < count_; }

    // Claims a block for a structure; false when it is out of range or already taken.
    bool claim(uint32_t b, const char* what) {
        if (!inRange(b)) {
            problem(b, std::string(what) + ": block number outside the file");
            return false;
        }
        if (owner_[b]) {
            problem(b, std::string("block used twice: ") + owner_[b] + " and " + what);
            return false;
        }
        owner_[b] = what;
        return true;
    }

    uint32_t hw(uint32_t off) const { return BlockWord(header_.data(), off); }

    void deletedBlocks() {
        uint32_t n = hw(kHdrDeletedHead), seen = 0;
        const uint32_t want = hw(kHdrDeletedCount);
        std::vector<uint8_t> b;
        while (seen < want) {
            if (!claim(n, "deleted-block chain") || !read(n, b)) return;
            if (!isDeleted(n, b)) problem(n, "deleted-block chain: not a deleted block");
            ++seen;
            n = BlockWord(b.data(), kBlkLink);
        }
        // The chain ends where its count does: a link past it would hand out a block in use. The
        // block is left to whatever structure owns it.
        if (n == kNoBlock) return;
        problem(0, "header: deleted-block chain goes on past its count of " + std::to_string(want) +
                       " to block " + std::to_string(n));
        if (inRange(n) && read(n, b) && !isDeleted(n, b))
            problem(n, "deleted-block chain: not a deleted block");
    }

    // The table's first file, the one its dictionary lives in; the others hold indexes only.
    bool dataFile() const { return TextCompareNoCase(plat::ExtractFileExt(f_.FileName), ".QB2") == 0; }

    bool isDeleted(uint32_t n, const std::vector<uint8_t>& b) const {
        return BlockWord(b.data(), kBlkSignature) == kSigDeleted && BlockWord(b.data(), kBlkOwnNumber) == n;
    }

    void dataBlocks() {
        const uint32_t slot = hw(kHdrSlotLength), slots = hw(kHdrSlotsPerBlock), rl = hw(kHdrRecordLength);
        uint32_t n = hw(kHdrFirstDataBlock), prev = kNoBlock;
        uint64_t used = 0;
        std::set<uint64_t>& deletedSlots = deletedSlots_;
        std::vector<uint8_t> b;
        while (n != kNoBlock) {
            if (!claim(n, "data chain") || !read(n, b)) return;
            const uint8_t* p = b.data();
            if (BlockWord(p, kBlkSignature) != kSigData || BlockWord(p, kBlkOwnNumber) != n) {
                problem(n, "data chain: not a data block");
                return;
            }
            if (BlockWord(p, kDataSlots) != slots || BlockWord(p, kDataRecordLength) != rl)
                problem(n, "data block: slot count or record length differs from the header");
            if (BlockWord(p, kDataPrior) != prev) problem(n, "data block: previous link is wrong");
            inUse(n, p, "data block");
            for (uint32_t i = 0; i < slots; ++i) {
                const uint8_t flag = p[kDataSlotArea + i * slot];
                const uint64_t ref = (uint64_t(n) << f_.BlockShift) + kDataSlotArea + uint64_t(i) * slot;
                if (flag == kSlotInUse) {
                    ++used;
                    live_.push_back(ref);
                } else if (flag == kSlotDeleted) {
                    deletedSlots.insert(ref);
                } else {
                    problem(n, "data block: slot flag neither in use nor deleted");
                }
            }
            prev = n;
            n = BlockWord(p, kDataNext);
        }
        // Every slot was seen: the index entries can be held against them.
        std::sort(live_.begin(), live_.end());
        recordsKnown_ = true;
        if (prev != hw(kHdrLastDataBlock)) problem(0, "header: last data block is not the end of the chain");
        if (used != hw(kHdrRecordCount)) problem(0, "header: record count differs from the slots in use");
        if (deletedSlots.size() != hw(kHdrDeletedRecords))
            problem(0, "header: deleted-record count differs from the deleted slots");
        // The deleted-record chain reaches every deleted slot once.
        uint64_t ref = BlockRef(header_.data(), kHdrDeletedRecordHead);
        std::set<uint64_t> met;
        for (uint32_t k = 0; k < hw(kHdrDeletedRecords); ++k) {
            if (!deletedSlots.count(ref) || !met.insert(ref).second) {
                problem(uint32_t(ref >> f_.BlockShift),
                        "deleted-record chain: link to a slot that is not free");
                return;
            }
            std::vector<uint8_t> blk;
            if (!read(uint32_t(ref >> f_.BlockShift), blk)) return;
            ref = BlockRef(blk.data() + (ref & (f_.BlockSize - 1)), 1);
        }
        if (hw(kHdrDeletedRecords) && ref != kNoRef) problem(0, "deleted-record chain: not terminated");
        // Without a deleted slot the head names none (its low word says so).
        if (!hw(kHdrDeletedRecords) && uint32_t(ref) != kNoBlock)
            problem(0, "header: deleted-record chain head names " + std::to_string(ref) +
                           " while the deleted-record count is 0");
    }

    void dictionary() {
        const uint32_t first = hw(kHdrDictBlock);
        if (first == 0) {
            // Only a table's data file carries the dictionary; without it the table never opens.
            if (dataFile()) problem(0, "header: no data dictionary (word +116 is 0)");
            return;
        }
        const uint32_t room = f_.BlockSize - kStrmData;
        uint32_t n = first;
        uint64_t total = 0, got = 0;
        std::string stream;
        std::vector<uint8_t> b;
        for (bool isFirst = true;; isFirst = false) {
            if (!claim(n, "dictionary stream") || !read(n, b)) return;
            const uint8_t* p = b.data();
            if (BlockWord(p, kBlkSignature) != kSigStream || BlockWord(p, kBlkOwnNumber) != n ||
                BlockWord(p, kStrmType) != kStreamTypeDICT || BlockWord(p, kStrmFirst) != first) {
                problem(n, "dictionary stream: not a block of this stream");
                return;
            }
            if (isFirst) total = BlockWord(p, kStrmLength);
            const uint64_t take = std::min<uint64_t>(room, total - got);
            stream.append(reinterpret_cast<const char*>(p) + kStrmData, size_t(take));
            got += take;
            const uint32_t next = BlockWord(p, kStrmNext);
            // A stream block carries its next link at +4 too.
            if (BlockWord(p, kBlkLink) != next)
                problem(n, "dictionary stream: word +4 differs from the next link");
            if (got == total) {
                if (next != kNoBlock) problem(n, "dictionary stream: chain goes on past its length");
                break;
            }
            if (next == kNoBlock) {
                problem(n, "dictionary stream: chain ends before its length");
                return;
            }
            n = next;
        }
        try {
            auto d = std::make_unique<TqbServerDataDict>();
            d->ReadFromStream(stream);
            if (uint32_t(d->RecordLength()) != hw(kHdrRecordLength) || d->BlockSize() != f_.BlockSize ||
                uint32_t(d->FieldCount()) != hw(kHdrFieldCount))
                problem(first,
                        "dictionary: record length, block size or field count differs from the header");
            if (uint32_t(d->IndexCount()) != hw(kHdrIndexCount))
                problem(0, "header: index count " + std::to_string(hw(kHdrIndexCount)) +
                               " but the dictionary has " + std::to_string(d->IndexCount()) + " indexes");
            d->BindIndexHelpers();
            dict_ = std::move(d);
        } catch (const std::exception& e) {
            problem(first, std::string("dictionary: ") + e.what());
        }
    }

    struct IndexWalk {
        int32_t idx = 0;
        uint32_t kl = 0;
        bool refsOnly = false, dups = false;
        TqbKeyCompare cmp = nullptr;
        const void* cd = nullptr;
        uint64_t entries = 0, pages = 0;
        std::vector<uint8_t> lastKey;
        uint64_t lastRef = 0;
        bool haveLast = false;
        // Against the records: entries met per record (in live_ order); whether every record
        // must have one; whether its key is built from the record by the dictionary.
        bool checkRefs = false, everyRecord = false, buildKey = false;
        bool cut = false; // part of the tree was not walked
        std::vector<uint8_t> met;
        std::vector<uint8_t> record, built;
    };

    void indexes() {
        const uint32_t ixb = hw(kHdrIndexHeaderBlock);
        if (ixb == kNoBlock) return;
        std::vector<uint8_t> b;
        if (!claim(ixb, "index header") || !read(ixb, b)) return;
        const uint8_t* p = b.data();
        if (BlockWord(p, kBlkSignature) != kSigIndex || BlockWord(p, kBlkOwnNumber) != ixb ||
            p[kIdxIsPage] != 0 || plat::LoadLE16(p + kIdxNumber) != 0xFFFF) {
            problem(ixb, "index header: not an index header block");
            return;
        }
        inUse(ixb, p, "index header");
        if (BlockWord(p, kIdxFirstChild) != kNoBlock)
            problem(ixb, "index header: word +32 is not 0xFFFFFFFF");
        for (int32_t i = 0; i < kMaxIndexes; ++i) {
            const uint32_t kl = plat::LoadLE16(p + kIxhKeyLength + 2 * i);
            const uint8_t flags = p[kIxhFlags + i];
            const uint32_t root = BlockWord(p, kIxhRoot + 4 * i);
            if (kl == 0) {
                if (flags != 0 || root != kNoBlock || BlockWord(p, kIxhKeyCount + 4 * i) != 0 ||
                    BlockWord(p, kIxhPageCount + 4 * i) != 0)
                    problem(ixb, "index " + std::to_string(i) + ": unused slot is not empty");
                continue;
            }
            IndexWalk w;
            w.idx = i;
            w.kl = kl;
            w.refsOnly = flags & kIxFlagRefsOnly;
            w.dups = flags & kIxFlagDups;
            if (kl > kMaxKeyLength || (w.refsOnly && kl != 8)) {
                problem(ixb, "index " + std::to_string(i) + ": bad key length");
                continue;
            }
            if (auto it = opt_.Compare.find(i); it != opt_.Compare.end()) {
                w.cmp = it->second.first;
                w.cd = it->second.second;
            } else if (dict_ && i < dict_->IndexCount() && !dict_->IsIndexDescUserDefined(i) &&
                       uint32_t(dict_->IndexKeyLength(i)) == kl) {
                compare_.push_back(
                    std::make_unique<TqbCompositeCompareData>(MakeIndexCompareInfo(*dict_, i)));
                w.cmp = [](const uint8_t* a, const uint8_t* c, const void* d) {
                    return CompareCompositeKeys(a, c, *static_cast<const TqbCompositeCompareData*>(d));
                };
                w.cd = compare_.back().get();
            }
            againstRecords(w);
            if (root != kNoBlock) page(w, root, 0, true, 0);
            // Records under a page that could not be walked are not reported once more.
            if (w.everyRecord && !w.cut)
                for (size_t r = 0; r < live_.size(); ++r)
                    if (!w.met[r])
                        problem(uint32_t(live_[r] >> f_.BlockShift),
                                "index " + std::to_string(i) + ": record at " + std::to_string(live_[r]) +
                                    " has no entry");
            if (w.entries != BlockWord(p, kIxhKeyCount + 4 * i))
                problem(ixb, "index " + std::to_string(i) + ": key count " +
                                 std::to_string(BlockWord(p, kIxhKeyCount + 4 * i)) + " but " +
                                 std::to_string(w.entries) + " entries");
            if (w.pages != BlockWord(p, kIxhPageCount + 4 * i))
                problem(ixb, "index " + std::to_string(i) + ": page count differs from the pages reached");
        }
    }

    // What the walk can hold against the records: the entries of a table file's own indexes name
    // its records; index 0 and the dictionary's composite indexes hold every record once.
    void againstRecords(IndexWalk& w) {
        if (!opt_.EntriesAgainstRecords || !recordsKnown_ || !dict_) return;
        const int32_t i = w.idx;
        const bool described = i < dict_->IndexCount() && dict_->IndexFileNumber(i) == 0;
        if (i > 0 && !described) return;
        w.checkRefs = true;
        w.met.assign(live_.size(), 0);
        if (w.refsOnly) {
            w.everyRecord = true;
        } else if (described && !dict_->IsIndexDescUserDefined(i) &&
                   uint32_t(dict_->IndexKeyLength(i)) == w.kl) {
            // A key routine of the program's own may leave records out; a dictionary key may not.
            w.everyRecord = w.buildKey = true;
            w.record.assign(std::max<size_t>(hw(kHdrRecordLength), size_t(dict_->RecordLength())), 0);
            w.built.resize(w.kl);
        }
    }

    void entry(IndexWalk& w, uint32_t n, const uint8_t* key, uint64_t ref) {
        if (!w.checkRefs) return;
        auto who = [&] { return "index " + std::to_string(w.idx) + ": entry for " + std::to_string(ref); };
        auto it = std::lower_bound(live_.begin(), live_.end(), ref);
        if (it == live_.end() || *it != ref) {
            problem(n,
                    who() + (deletedSlots_.count(ref) ? " names a deleted record" : " names no record slot"));
            return;
        }
        uint8_t& met = w.met[size_t(it - live_.begin())];
        if (met) {
            problem(n, who() + ": the record has two entries");
            return;
        }
        met = 1;
        if (!w.buildKey) return;
        try {
            const uint32_t blk = uint32_t(ref >> f_.BlockShift);
            TqbBlockHold h(f_, t_, blk, false);
            std::memcpy(w.record.data(), h.p() + (ref & (f_.BlockSize - 1)) + 1, hw(kHdrRecordLength));
            std::fill(w.built.begin(), w.built.end(), 0);
            BuildCompositeKey(*dict_, w.idx, w.record.data(), w.built.data());
        } catch (const std::exception& e) {
            problem(n, who() + ": " + e.what());
            return;
        }
        // As the index compares: a case-blind index keeps its key when the record's compares equal.
        bool same;
        try {
            same =
                w.cmp ? w.cmp(w.built.data(), key, w.cd) == 0 : std::memcmp(w.built.data(), key, w.kl) == 0;
        } catch (const std::exception&) {
            same = false;
        }
        if (!same) problem(n, who() + ": key differs from the record's");
    }

    void page(IndexWalk& w, uint32_t n, uint32_t level, bool isRoot, int depth) {
        const std::string who = "index " + std::to_string(w.idx);
        const bool cutBefore = w.cut;
        w.cut = true; // until the page proves walkable
        if (depth >= kMaxKeyPathLevels) {
            problem(n, who + ": deeper than 32 levels");
            return;
        }
        if (!claim(n, "index page")) return;
        std::vector<uint8_t> b;
        if (!read(n, b)) return;
        ++w.pages;
        const uint8_t* p = b.data();
        const uint32_t lvl = p[kIdxLevel];
        const bool leaf = lvl == 1;
        if (BlockWord(p, kBlkSignature) != kSigIndex || BlockWord(p, kBlkOwnNumber) != n ||
            p[kIdxIsPage] != 1 || plat::LoadLE16(p + kIdxNumber) != uint32_t(w.idx) ||
            plat::LoadLE16(p + kIdxKeyLength) != w.kl || p[kIdxRefsOnly] != (w.refsOnly ? 1 : 0)) {
            problem(n, who + ": not a page of this index");
            return;
        }
        if (lvl < 1 || lvl > kMaxKeyPathLevels || p[kIdxLeaf] != (leaf ? 1 : 0) || (level && lvl != level)) {
            problem(n, who + ": level does not fall by one");
            return;
        }
        const uint32_t M = IndexMaxKeys(f_.BlockSize, w.kl, w.refsOnly, leaf);
        const uint32_t cnt = BlockWord(p, kIdxCount);
        if (BlockWord(p, kIdxMaxCount) != M || cnt > M) {
            problem(n, who + ": key count or maximum wrong");
            return;
        }
        w.cut = cutBefore;
        if (!isRoot && cnt < M / 2) problem(n, who + ": page filled below half");
        if (isRoot && cnt == 0) problem(n, who + ": empty root");
        inUse(n, p, who.c_str());
        if (leaf && BlockWord(p, kIdxFirstChild) != kNoBlock)
            problem(n, who + ": leaf word +32 is not 0xFFFFFFFF");
        const uint32_t refBase = leaf ? kIdxBody : kIdxBody + 4 * M;
        const uint32_t keyBase = leaf ? kIdxBody + 8 * M : kIdxBody + 12 * M;
        for (uint32_t i = 0; i <= cnt; ++i) {
            if (!leaf) page(w, BlockWord(p, kIdxFirstChild + 4 * i), lvl - 1, false, depth + 1);
            if (i == cnt) break;
            const uint8_t* key = w.refsOnly ? p + refBase + 8 * i : p + keyBase + w.kl * i;
            const uint64_t ref = plat::LoadLE64(p + refBase + 8 * i);
            order(w, n, key, ref);
            entry(w, n, key, ref);
            ++w.entries;
        }
    }

    void order(IndexWalk& w, uint32_t n, const uint8_t* key, uint64_t ref) {
        const uint32_t len = w.refsOnly ? 8 : w.kl;
        if (w.haveLast) {
            int c = 0;
            if (w.refsOnly) {
                uint64_t a = plat::LoadLE64(w.lastKey.data()), b = plat::LoadLE64(key);
                c = a < b ? -1 : (a > b ? 1 : 0);
            } else if (w.cmp) {
                try {
                    c = w.cmp(w.lastKey.data(), key, w.cd);
                } catch (const std::exception&) {
                    c = 0;
                }
            } else {
                c = -1;
            }
            if (c == 0 && w.dups) c = int64_t(w.lastRef) < int64_t(ref) ? -1 : 1;
            if (c >= 0) problem(n, "index " + std::to_string(w.idx) + ": entries out of order");
        }
        w.lastKey.assign(key, key + len);
        w.lastRef = ref;
        w.haveLast = true;
    }

    struct Seg {
        char type;
        uint32_t size;
        bool referenced = false;
    };

    void blobs() {
        const uint32_t largest = BLOBLargestSegment(f_.BlockSize);
        std::map<uint64_t, Seg> segs;
        std::vector<uint8_t> b;
        for (uint32_t n = 1; n < count_; ++n) {
            if (owner_[n]) continue;
            if (!read(n, b)) continue;
            const uint8_t* p = b.data();
            if (BlockWord(p, kBlkSignature) != kSigBLOB || BlockWord(p, kBlkOwnNumber) != n) continue;
            owner_[n] = "BLOB block";
            inUse(n, p, "BLOB block");
            uint32_t off = kBLOBSegments, inUse = 0;
            while (off < kBLOBSegments + largest) {
                const uint8_t* s = p + off;
                const uint32_t size = plat::LoadLE16(s + 2);
                const char type = char(s[0]);
                if (size < kSegmentUnit || size % kSegmentUnit || off + size > kBLOBSegments + largest) {
                    problem(n, "BLOB segment at " + std::to_string(off) + " runs past its block");
                    break;
                }
                if (type != 'H' && type != 'C' && type != 'L' && type != 'D') {
                    problem(n, "BLOB segment at " + std::to_string(off) + " has an unknown type");
                    break;
                }
                if (type != 'D') ++inUse;
                segs[(uint64_t(n) << f_.BlockShift) + off] = {type, size};
                off += size;
            }
            if (off == kBLOBSegments + largest && inUse != BlockWord(p, kBLOBInUse))
                problem(n, "BLOB block: segments in use differ from its count");
        }
        const uint32_t D = BLOBDataPerSegment(f_.BlockSize);
        uint32_t headers = 0;
        for (auto& [ref, sg] : segs) {
            if (sg.type != 'H') continue;
            ++headers;
            const uint32_t blk = uint32_t(ref >> f_.BlockShift);
            if (!read(blk, b)) continue;
            const uint8_t* s = b.data() + (ref & (f_.BlockSize - 1));
            const uint32_t length = BlockWord(s, 4), count = BlockWord(s, 8);
            if (count == kBLOBLinkMark || count == kBLOBFileMark) continue;
            uint64_t l = BlockRef(s, 12), sum = 0;
            uint32_t entries = 0;
            while (entries < count) {
                auto it = segs.find(l);
                if (it == segs.end() || it->second.type != 'L' || it->second.referenced) {
                    problem(blk, "BLOB lookup chain broken");
                    break;
                }
                it->second.referenced = true;
                std::vector<uint8_t> lb;
                if (!read(uint32_t(l >> f_.BlockShift), lb)) break;
                const uint8_t* ls = lb.data() + (l & (f_.BlockSize - 1));
                if (BlockRef(ls, 4) != ref)
                    problem(uint32_t(l >> f_.BlockShift), "BLOB lookup segment of another BLOB");
                const uint32_t cap = (it->second.size - kSegHeaderSize) / kLookupEntrySize;
                for (uint32_t i = 0; i < cap && entries < count; ++i, ++entries) {
                    const uint8_t* e = ls + kSegHeaderSize + i * kLookupEntrySize;
                    const uint64_t c = plat::LoadLE64(e);
                    const uint32_t bytes = plat::LoadLE32(e + 8);
                    auto ct = segs.find(c);
                    if (ct == segs.end() || ct->second.type != 'C' || ct->second.referenced) {
                        problem(uint32_t(l >> f_.BlockShift),
                                "BLOB lookup entry names no free content segment");
                        continue;
                    }
                    ct->second.referenced = true;
                    if (bytes == 0 || bytes > D || bytes + kSegHeaderSize > ct->second.size)
                        problem(uint32_t(c >> f_.BlockShift), "BLOB content byte count too large");
                    sum += bytes;
                }
                l = BlockRef(ls, 12);
            }
            if (sum != length) problem(blk, "BLOB lookup entries do not add up to its length");
        }
        if (headers != hw(kHdrBLOBCount)) problem(0, "header: BLOB count differs from the BLOB headers");
        for (auto& [ref, sg] : segs)
            if ((sg.type == 'C' || sg.type == 'L') && !sg.referenced)
                problem(uint32_t(ref >> f_.BlockShift), "BLOB segment belongs to no BLOB");
        // The deleted-segment chain: doubly linked, every deleted segment once.
        uint64_t ref = BlockRef(header_.data(), kHdrFirstDeletedSegment), prev = kNoRef;
        size_t deleted = 0, onChain = 0;
        for (auto& [r, sg] : segs)
            deleted += sg.type == 'D';
        while (uint32_t(ref) != kNoBlock) {
            auto it = segs.find(ref);
            if (it == segs.end() || it->second.type != 'D' || it->second.referenced) {
                problem(uint32_t(ref >> f_.BlockShift), "deleted-segment chain broken");
                return;
            }
            it->second.referenced = true;
            ++onChain;
            if (!read(uint32_t(ref >> f_.BlockShift), b)) return;
            const uint8_t* s = b.data() + (ref & (f_.BlockSize - 1));
            if (BlockRef(s, 12) != prev)
                problem(uint32_t(ref >> f_.BlockShift), "deleted-segment chain: wrong back link");
            prev = ref;
            ref = BlockRef(s, 4);
        }
        const uint64_t last = BlockRef(header_.data(), kHdrLastDeletedSegment);
        if (prev != (uint32_t(last) == kNoBlock ? kNoRef : last))
            problem(0, "header: last deleted segment is wrong");
        if (onChain != deleted) problem(0, "deleted segments missing from the deleted-segment chain");
    }

    TbtdFileInfo& f_;
    TqbSrTransaction* t_;
    const TqbVerifyOptions& opt_;
    TqbVerifyReport report_;
    std::vector<uint64_t> live_; // references of the records in use, ascending
    std::set<uint64_t> deletedSlots_;
    bool recordsKnown_ = false;
    std::vector<uint8_t> header_;
    uint32_t count_ = 0;
    std::vector<const char*> owner_;
    std::unique_ptr<TqbServerDataDict> dict_;
    std::vector<std::unique_ptr<TqbCompositeCompareData>> compare_;
};

} // namespace

TqbVerifyReport VerifyTableFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                const TqbVerifyOptions& Options) {
    return Verifier(FileInfo, Transaction, Options).run();
}

TqbVerifyReport VerifyTableFileOnDisk(const std::string& FileName, const TqbVerifyOptions& Options) {
    TqbBufferManager bm;
    auto fi = AllocFileInfo(FileName, "QB2", &bm);
    // An encrypted file is read with the key its table's name selects, as the engine opens it.
    fi->KeySelect = TableKeySelect(PathExtractTableName(FileName));
    OpenFile(*fi, false, 2, false, false);
    TqbVerifyReport r;
    try {
        TqbBlockRelease rel;
        bm.AddFile(*fi, nullptr, rel, false);
        rel();
        r = VerifyTableFile(*fi, nullptr, Options);
    } catch (...) {
        bm.RemoveFile(*fi);
        CloseFile(*fi);
        throw;
    }
    bm.RemoveFile(*fi);
    CloseFile(*fi);
    return r;
}

std::string FormatVerifyProblems(const TqbVerifyReport& Report) {
    std::string s;
    for (const auto& p : Report.Problems)
        s += "block " + std::to_string(p.Block) + ": " + p.Text + "\n";
    if (Report.Count > Report.Problems.size())
        s += "and " + std::to_string(Report.Count - Report.Problems.size()) + " more problems\n";
    return s;
}
