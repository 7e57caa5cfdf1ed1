// The merge sort of a table's records: the sort order, runs sorted in a fixed buffer and kept in
// run tables, and their merge five at a time.
#pragma once
#include "db/storage/qblldict.h"
#include "db/storage/qbsrixhl.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

inline constexpr int32_t kSortRunBufferSize = 1048576;
inline constexpr int kSortMaxFields = 16;
inline constexpr int kSortMergeWidth = 5;

// What to sort by: up to 16 field numbers with a descending flag each, and the index whose
// key-field helpers and case-insensitive flag compare them.
struct TqbSrSortSpec {
    std::array<int32_t, kSortMaxFields> Fields{};
    int32_t FieldCount = 0;
    std::array<bool, kSortMaxFields> Descending{};
    int32_t Index = 0;
};

// One run: written once in order, then read once from its start.
class TqbSrSortRun {
public:
    virtual ~TqbSrSortRun() = default;
    // 0 or the failing result.
    virtual int32_t Put(const uint8_t* Record) = 0;
    virtual int64_t RecordCount() = 0;
    // The first record, then each next one: 0, 8706 after the last, or the failing result.
    virtual int32_t First(uint8_t* Record) = 0;
    virtual int32_t Next(uint8_t* Record) = 0;
};

// Where the runs live. CreateRun raises when no run can be made; a run's table goes when the run
// object is freed.
class TqbSrSortRunStore {
public:
    virtual ~TqbSrSortRunStore() = default;
    // StoreSize: the bytes the run's blocks will take.
    virtual std::unique_ptr<TqbSrSortRun> CreateRun(int64_t StoreSize) = 0;
};

// The bytes a run of Count records takes in blocks of 64 KB: its data blocks (record slots behind
// each block's prefix) plus room for the header and dictionary blocks.
int64_t SortRunStoreSize(int64_t Count, int32_t RecordLength);

class TqbSrBaseSortEngine {
public:
    // Raises 320 for a field number the dictionary does not have or more than 16 fields, and the
    // helper registry's error for a field no helper compares.
    TqbSrBaseSortEngine(const TqbSrSortSpec& Spec, const TqbDataDictionary& Dictionary);
    virtual ~TqbSrBaseSortEngine() = default;
    TqbSrBaseSortEngine(const TqbSrBaseSortEngine&) = delete;
    TqbSrBaseSortEngine& operator=(const TqbSrBaseSortEngine&) = delete;

    // The next record in sort order into Record; false after the last.
    virtual bool Get(uint8_t* Record) = 0;
    // 0, or the failure of a run that had to be written (the record is then not taken).
    virtual int32_t Put(const uint8_t* Record) = 0;

    // Field by field: two nulls are equal, a null comes first, a descending field turns the
    // order round (nulls too).
    int CompareRecords(const uint8_t* R1, const uint8_t* R2) const;
    int32_t RecordLength() const { return recordLength_; }

protected:
    struct SortField {
        TqbFieldDesc Desc;
        TqbSrIndexHelper* Helper = nullptr;
        int32_t Length = 0;
        bool CaseInsensitive = false;
        bool Descending = false;
        int32_t NullByte = 0;
        uint8_t NullMask = 0;
    };
    int32_t recordLength_;
    std::vector<SortField> fields_;
};

class TqbSrMergeSortEngine : public TqbSrBaseSortEngine {
public:
    TqbSrMergeSortEngine(const TqbSrSortSpec& Spec, const TqbDataDictionary& Dictionary,
                         TqbSrSortRunStore& Runs);
    // Frees every run left, and with it its table.
    ~TqbSrMergeSortEngine() override;

    bool Get(uint8_t* Record) override;
    int32_t Put(const uint8_t* Record) override;

    // For checks.
    int32_t RecordsPerBuffer() const { return perBuffer_; }
    size_t RunCount() const { return runs_.size(); }
    int32_t RunsWritten() const { return runsWritten_; }
    int32_t IntermediateMerges() const { return merges_; }
    int64_t TotalPut() const { return total_; }

private:
    enum Phase : uint8_t { phNew = 0, phPutting = 1, phGetting = 2 };
    struct MergeEntry {
        TqbSrSortRun* Run = nullptr;
        std::vector<uint8_t> Record; // the run's current record
    };

    const uint8_t* slot(uint32_t n) const { return buffer_.data() + size_t(n) * size_t(recordLength_); }
    void sortBuffer();
    // The buffer as a new run; 0 or the failing result (no run is kept then).
    int32_t flushRun();
    void openMergeSet();
    // False when the merge set is empty.
    bool nextMerged(uint8_t* Record);
    void dropRun(TqbSrSortRun* Run);

    TqbSrSortRunStore& store_;
    std::vector<uint8_t> buffer_;
    std::vector<uint32_t> order_; // the buffer's records in sort order
    int32_t perBuffer_;
    int32_t inBuffer_ = 0;
    std::vector<std::unique_ptr<TqbSrSortRun>> runs_; // oldest first
    std::vector<MergeEntry> merge_;
    int64_t mergeStoreSize_ = 0;
    int32_t readPos_ = 0;
    Phase phase_ = phNew;
    int64_t total_ = 0;
    int32_t runsWritten_ = 0;
    int32_t merges_ = 0;
};
