// The server's filter: a cursor's compiled filter expression evaluated against engine records,
// with the time-out of a move that skips records.
#pragma once
#include "classlib/NativeValues.h"

#include <cstdint>
#include <string>
#include <vector>

// The part of a table's dictionary the filter reads: each field's type, place and name, and
// where the null bits lie (one bit per field, set = null).
struct TqbFilterField {
    int32_t FieldType = 0;
    int32_t Offset = 0;
    int32_t Length = 0;
    std::string Name;
};
struct TqbRecordLayout {
    std::vector<TqbFilterField> Fields;
    int32_t NullBitsOffset = 0;
    int32_t RecordLength() const { return NullBitsOffset + int32_t((Fields.size() + 7) / 8); }
};

class TqbDataDictionary;
// The layout of a table's records as its dictionary describes them (dictionary field n is the
// expression's field n + 1).
TqbRecordLayout RecordLayoutOf(const TqbDataDictionary& Dictionary);

// Used under its cursor's activation only; holds no lock.
class TqbSrFilter {
public:
    // Copies the block (Length bytes given by the caller, of which the header's size is used) and
    // validates it once: a malformed or cyclic block raises server error 10050. A nil or empty
    // block, or a total size of 0, lets every record pass. Timeout 0: no time-out.
    TqbSrFilter(const TqbRecordLayout& Dictionary, uint32_t Timeout, const void* Expression, size_t Length);
    TqbSrFilter(const TqbSrFilter&) = delete;
    TqbSrFilter& operator=(const TqbSrFilter&) = delete;

    // Record holds Dictionary.RecordLength() bytes.
    bool MatchesRecord(const uint8_t* Record);
    void BeginTimeout();
    // True with Result 15444 when the clock has passed the deadline (equal is not past).
    bool TimedOut(int32_t& Result) const;

    uint32_t Timeout() const { return timeout_; }
    const std::vector<uint8_t>& Expression() const { return expr_.Bytes(); }

private:
    class RecordAccess : public cls::TFilterRecord {
    public:
        explicit RecordAccess(const TqbSrFilter& f) : f_(f) {}
        int FieldCount() const override;
        std::string_view FieldName(int fieldNo) const override;
        bool FieldValue(int fieldNo, cls::TFilterValue& value) const override;
        const void* Layout() const override { return &f_.layout_; }
        const uint8_t* record = nullptr;

    private:
        const TqbSrFilter& f_;
    };

    TqbRecordLayout layout_;
    std::vector<cls::TNativeKind> kinds_;
    uint32_t timeout_;
    uint64_t deadline_ = 0;
    cls::TFilterExpression expr_;
    RecordAccess access_{*this};
};
