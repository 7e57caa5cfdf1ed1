// Harness of the filter evaluator's fuzz target, shared by the server's filter over engine records
// and the datasets' evaluator; the unit tests replay its corpus under the sanitizers.
#pragma once
#include "db/base/qbllexcp.h"
#include "db/engine/qbconvqb.h"
#include "db/engine/qbsrfltr.h"
#include "tests/fuzz/FilterFuzz.h"

#include <cstdlib>
#include <vector>

namespace pwfuzz {

// One field of every kind of field type, numbered from 1 in this order.
inline const TqbRecordLayout& FilterFuzzLayout() {
    static const TqbRecordLayout layout = [] {
        const std::vector<std::pair<int32_t, int32_t>> types = {
            {qbtBoolean, 1},     {qbtChar, 1},         {qbtWideChar, 2},   {qbtByte, 1},
            {qbtWord16, 2},      {qbtWord32, 4},       {qbtInt8, 1},       {qbtInt16, 2},
            {qbtInt32, 4},       {qbtAutoInc, 4},      {qbtSingle, 4},     {qbtDouble, 8},
            {qbtExtended, 10},   {qbtComp, 8},         {qbtCurrency, 8},   {qbtStDate, 4},
            {qbtStTime, 4},      {qbtDateTime, 8},     {qbtBLOB, 8},       {qbtByteArray, 5},
            {qbtShortString, 6}, {qbtShortAnsiStr, 3}, {qbtNullString, 6}, {qbtNullAnsiStr, 4},
            {qbtWideString, 8}};
        TqbRecordLayout l;
        int32_t at = 0;
        for (auto [t, len] : types) {
            l.Fields.push_back({t, at, len, "f" + std::to_string(l.Fields.size() + 1)});
            at += len;
        }
        l.NullBitsOffset = at;
        return l;
    }();
    return layout;
}

// Records: zeros, all 0xFF (short-string length bytes beyond their fields, strings without
// terminators), every field null, and one from the input's own bytes.
inline std::vector<std::vector<uint8_t>> FilterFuzzRecords(const uint8_t* data, size_t size) {
    size_t len = size_t(FilterFuzzLayout().RecordLength());
    std::vector<std::vector<uint8_t>> r(4, std::vector<uint8_t>(len, 0));
    std::fill(r[1].begin(), r[1].begin() + FilterFuzzLayout().NullBitsOffset, 0xFF);
    std::fill(r[2].begin() + FilterFuzzLayout().NullBitsOffset, r[2].end(), 0xFF);
    for (size_t k = 0; size && k < len; ++k)
        r[3][k] = data[(k * 7) % size];
    return r;
}

// Arbitrary bytes as an expression: refused with 10050 at set time, or evaluated with the same
// answer every time, by the server's filter over engine records and by the datasets' evaluator.
inline void RunFilterEval(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> records = FilterFuzzRecords(data, size);
    try {
        TqbSrFilter f(FilterFuzzLayout(), 0, data, size);
        for (const auto& rec : records) {
            bool first = f.MatchesRecord(rec.data());
            if (f.MatchesRecord(rec.data()) != first) std::abort();
        }
    } catch (const EqbServerException& e) {
        if (e.ErrorCode != 10050) std::abort();
    }
    try {
        cls::TFilterExpression x(data, size);
        for (int i = 0; i < 4; ++i) {
            FilterFuzzRecord r(i);
            bool first = x.Matches(r);
            if (x.Matches(r) != first) std::abort();
        }
    } catch (const cls::EFilterFormatError&) {
    }
}

} // namespace pwfuzz
