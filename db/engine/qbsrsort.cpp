// The merge sort: records collected in a 1 MB buffer, each full buffer sorted and written as a run,
// runs merged five at a time until the rest can be handed out by one final merge.
#include "db/engine/qbsrsort.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbtbdata.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

[[noreturn]] void raiseSortFailure(int32_t code, const char* where) {
    throw EqbServerException(CompatErrorStrings().GetText(code) + " [" + where + "]", code);
}

} // namespace

int64_t SortRunStoreSize(int64_t Count, int32_t RecordLength) {
    const int64_t block = 65536;
    const int64_t slots = std::max<int64_t>(1, (block - kDataSlotArea) / (RecordLength + 1));
    return (Count / slots + 1) * block + 2 * block;
}

// ---------------------------------------------------------------------------------------------

TqbSrBaseSortEngine::TqbSrBaseSortEngine(const TqbSrSortSpec& Spec, const TqbDataDictionary& Dictionary)
    : recordLength_(Dictionary.RecordLength()) {
    if (Spec.FieldCount < 0 || Spec.FieldCount > kSortMaxFields)
        RaiseGeneralError(320, {Dictionary.TableName(), Spec.FieldCount});
    const TqbIndexDesc& index = Dictionary.IndexDesc(Spec.Index);
    for (int32_t i = 0; i < Spec.FieldCount; ++i) {
        const int32_t n = Spec.Fields[size_t(i)];
        SortField f;
        f.Desc = Dictionary.FieldDesc(n);
        // Positions the index has no key field for (all of them on the sequential index) are
        // compared by the default helper.
        if (i < index.KeyFieldCount) f.Helper = Dictionary.IndexHelper(Spec.Index, i);
        if (!f.Helper) f.Helper = TqbSrIndexHelper::FindHelper("", f.Desc.FieldType);
        f.Length = f.Desc.Length;
        f.CaseInsensitive = index.IsCaseInsensitive;
        f.Descending = Spec.Descending[size_t(i)];
        f.NullByte = Dictionary.LogicalRecordLength() + n / 8;
        f.NullMask = uint8_t(1 << (n % 8));
        fields_.push_back(std::move(f));
    }
}

int TqbSrBaseSortEngine::CompareRecords(const uint8_t* R1, const uint8_t* R2) const {
    for (const SortField& f : fields_) {
        const bool n1 = R1[f.NullByte] & f.NullMask, n2 = R2[f.NullByte] & f.NullMask;
        if (n1 && n2) continue;
        int c;
        if (n1)
            c = -1;
        else if (n2)
            c = 1;
        else
            c = f.Helper->CompareKey(R1 + f.Desc.Offset, R2 + f.Desc.Offset, f.CaseInsensitive, f.Length,
                                     f.Desc);
        if (c != 0) return (c < 0) != f.Descending ? -1 : 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------

TqbSrMergeSortEngine::TqbSrMergeSortEngine(const TqbSrSortSpec& Spec, const TqbDataDictionary& Dictionary,
                                           TqbSrSortRunStore& Runs)
    : TqbSrBaseSortEngine(Spec, Dictionary), store_(Runs), buffer_(size_t(kSortRunBufferSize)),
      perBuffer_(kSortRunBufferSize / recordLength_) {
    order_.reserve(size_t(perBuffer_));
}

TqbSrMergeSortEngine::~TqbSrMergeSortEngine() {
    merge_.clear();
    runs_.clear();
}

int32_t TqbSrMergeSortEngine::Put(const uint8_t* Record) {
    // The sort hands records out once; one put after that would be lost.
    if (phase_ == phGetting) RaiseServerError(0);
    phase_ = phPutting;
    if (inBuffer_ == perBuffer_)
        if (int32_t rc = flushRun()) return rc;
    std::memcpy(buffer_.data() + size_t(inBuffer_) * size_t(recordLength_), Record, size_t(recordLength_));
    ++inBuffer_;
    ++total_;
    return 0;
}

bool TqbSrMergeSortEngine::Get(uint8_t* Record) {
    if (phase_ != phGetting) {
        phase_ = phGetting;
        readPos_ = 0;
        if (inBuffer_ > 0) {
            if (runs_.empty())
                sortBuffer();
            else if (int32_t rc = flushRun())
                raiseSortFailure(rc, "TqbSrMergeSortEngine.Get");
        }
        if (!runs_.empty()) {
            std::vector<uint8_t> moved(static_cast<size_t>(recordLength_));
            while (runs_.size() > size_t(kSortMergeWidth)) {
                openMergeSet();
                runs_.push_back(store_.CreateRun(mergeStoreSize_));
                TqbSrSortRun* out = runs_.back().get();
                while (nextMerged(moved.data()))
                    if (int32_t rc = out->Put(moved.data())) raiseSortFailure(rc, "msMergeCursors");
                ++merges_;
            }
            openMergeSet();
        }
    }
    if (!merge_.empty()) return nextMerged(Record);
    if (readPos_ >= inBuffer_) return false;
    std::memcpy(Record, slot(order_[size_t(readPos_++)]), size_t(recordLength_));
    return true;
}

void TqbSrMergeSortEngine::sortBuffer() {
    order_.resize(size_t(inBuffer_));
    std::iota(order_.begin(), order_.end(), 0u);
    if (inBuffer_ < 2) return;
    uint32_t* o = order_.data();
    auto less = [&](uint32_t a, uint32_t b) { return CompareRecords(slot(a), slot(b)) < 0; };
    // Quicksort with an explicit stack; the smaller side is worked on first, so 32 entries hold
    // any buffer.
    struct Range {
        int32_t lo, hi;
    };
    std::array<Range, 32> stack;
    int sp = 0;
    stack[sp++] = {0, inBuffer_ - 1};
    while (sp > 0) {
        auto [lo, hi] = stack[size_t(--sp)];
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo + 1) / 2;
            int32_t i, j, p;
            if (hi - lo + 1 >= 16) {
                if (less(o[mid], o[lo])) std::swap(o[lo], o[mid]);
                if (less(o[hi], o[lo])) std::swap(o[lo], o[hi]);
                if (less(o[hi], o[mid])) std::swap(o[mid], o[hi]);
                std::swap(o[mid], o[hi - 1]);
                p = hi - 1;
                i = lo + 1;
                j = hi - 2;
            } else {
                p = mid;
                i = lo;
                j = hi;
            }
            const uint32_t pivot = o[p];
            for (;;) {
                while (less(o[i], pivot))
                    ++i;
                while (less(pivot, o[j]))
                    --j;
                if (i == j) {
                    ++i;
                    --j;
                } else if (j > i) {
                    std::swap(o[i], o[j]);
                    ++i;
                    --j;
                }
                if (j < i) break;
            }
            if (j - lo < hi - i) {
                if (i < hi) stack[size_t(sp++)] = {i, hi};
                hi = j;
            } else {
                if (j > lo) stack[size_t(sp++)] = {lo, j};
                lo = i;
            }
        }
    }
}

int32_t TqbSrMergeSortEngine::flushRun() {
    sortBuffer();
    std::unique_ptr<TqbSrSortRun> run = store_.CreateRun(SortRunStoreSize(inBuffer_, recordLength_));
    for (int32_t k = 0; k < inBuffer_; ++k)
        if (int32_t rc = run->Put(slot(order_[size_t(k)]))) return rc;
    runs_.push_back(std::move(run));
    ++runsWritten_;
    inBuffer_ = 0;
    return 0;
}

void TqbSrMergeSortEngine::openMergeSet() {
    merge_.clear();
    mergeStoreSize_ = 0;
    size_t k = 0;
    while (merge_.size() < size_t(kSortMergeWidth) && k < runs_.size()) {
        MergeEntry e{runs_[k].get(), std::vector<uint8_t>(size_t(recordLength_))};
        const int32_t rc = e.Run->First(e.Record.data());
        if (rc == 8706) {
            runs_.erase(runs_.begin() + long(k));
            continue;
        }
        if (rc != 0) raiseSortFailure(rc, "msGetNextRecord.1");
        mergeStoreSize_ += SortRunStoreSize(e.Run->RecordCount(), recordLength_);
        merge_.push_back(std::move(e));
        ++k;
    }
}

bool TqbSrMergeSortEngine::nextMerged(uint8_t* Record) {
    if (merge_.empty()) return false;
    size_t best = 0;
    for (size_t k = 1; k < merge_.size(); ++k)
        if (CompareRecords(merge_[k].Record.data(), merge_[best].Record.data()) < 0) best = k;
    std::memcpy(Record, merge_[best].Record.data(), size_t(recordLength_));
    const int32_t rc = merge_[best].Run->Next(merge_[best].Record.data());
    if (rc == 8706) {
        TqbSrSortRun* done = merge_[best].Run;
        merge_[best] = std::move(merge_.back());
        merge_.pop_back();
        dropRun(done);
    } else if (rc != 0) {
        // The run would give the same record again and again.
        raiseSortFailure(rc, best == 0 ? "msGetNextRecord.1" : "msGetNextRecord.2");
    }
    return true;
}

void TqbSrMergeSortEngine::dropRun(TqbSrSortRun* Run) {
    auto it = std::find_if(runs_.begin(), runs_.end(), [&](auto& r) { return r.get() == Run; });
    if (it != runs_.end()) runs_.erase(it);
}
