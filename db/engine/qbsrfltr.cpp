// The server's filter over engine records, through the shared evaluator and the native codec.
#include "db/engine/qbsrfltr.h"

#include "db/base/qbllexcp.h"
#include "db/base/qbsrmgr.h"
#include "db/engine/qbconvqb.h"
#include "db/storage/qblldict.h"
#include "platform/Messages.h"

TqbRecordLayout RecordLayoutOf(const TqbDataDictionary& Dictionary) {
    TqbRecordLayout layout;
    for (int32_t n = 0; n < Dictionary.FieldCount(); ++n)
        layout.Fields.push_back({Dictionary.FieldType(n), Dictionary.FieldOffset(n),
                                 Dictionary.FieldLength(n), Dictionary.FieldName(n)});
    layout.NullBitsOffset = Dictionary.LogicalRecordLength();
    return layout;
}

TqbSrFilter::TqbSrFilter(const TqbRecordLayout& Dictionary, uint32_t Timeout, const void* Expression,
                         size_t Length)
    : layout_(Dictionary), timeout_(Timeout) {
    kinds_.reserve(layout_.Fields.size());
    for (const TqbFilterField& f : layout_.Fields)
        kinds_.push_back(QbNativeKind(f.FieldType));
    try {
        expr_ = cls::TFilterExpression(Expression, Expression ? Length : 0);
    } catch (const cls::EFilterFormatError& e) {
        throw EqbServerException(CompatErrorStrings(), e.ErrorCode);
    }
}

bool TqbSrFilter::MatchesRecord(const uint8_t* Record) {
    if (expr_.IsEmpty()) return true;
    access_.record = Record;
    return expr_.Matches(access_);
}

void TqbSrFilter::BeginTimeout() {
    deadline_ = plat::NowMs() + timeout_;
}

bool TqbSrFilter::TimedOut(int32_t& Result) const {
    if (timeout_ == 0 || plat::NowMs() <= deadline_) return false;
    Result = 15444;
    return true;
}

int TqbSrFilter::RecordAccess::FieldCount() const {
    return static_cast<int>(f_.layout_.Fields.size());
}

std::string_view TqbSrFilter::RecordAccess::FieldName(int fieldNo) const {
    if (fieldNo < 1 || fieldNo > FieldCount()) return {};
    return f_.layout_.Fields[size_t(fieldNo - 1)].Name;
}

// Fields whose place lies outside the record read as no value.
bool TqbSrFilter::RecordAccess::FieldValue(int fieldNo, cls::TFilterValue& value) const {
    if (fieldNo < 1 || fieldNo > FieldCount() || !record) return false;
    size_t n = size_t(fieldNo - 1);
    const TqbFilterField& f = f_.layout_.Fields[n];
    int32_t recLen = f_.layout_.RecordLength();
    if (f.Offset < 0 || f.Length < 0 || f.Offset + int64_t(f.Length) > f_.layout_.NullBitsOffset ||
        f_.layout_.NullBitsOffset > recLen)
        return false;
    bool isNull = record[size_t(f_.layout_.NullBitsOffset) + n / 8] & (1u << (n % 8));
    cls::DecodeNative(f_.kinds_[n], record + f.Offset, size_t(f.Length), isNull, value);
    return true;
}
