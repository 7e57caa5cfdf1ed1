// Conversion of exceptions into result codes: the conversion table, codes the engine raises,
// result codes raised as they are, other exceptions, and the conversion's log line.
#include "db/engine/qbsrcvex.h"

#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"
#include "db/storage/qbfile.h"

#include <gtest/gtest.h>

#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

namespace {

TqbResultCode convert(int32_t code) {
    return ConvertServerException(std::make_exception_ptr(EqbException("x", code)), nullptr, false);
}

// The fixed conversion table, by result: every server error that gives it.
const std::map<TqbResultCode, std::vector<int32_t>> kFixedTable = {
    {15360, {0}},   {15361, {1}},          {15362, {2}},
    {15363, {3}},   {15366, {4}},          {15367, {5}},
    {15368, {6}},   {15369, {7}},          {15370, {8}},
    {15371, {9}},   {15372, {10}},         {9992, {32}},
    {15409, {33}},  {10503, {34}},         {15411, {35}},
    {15412, {36}},  {15413, {37}},         {11896, {48, 50, 51}},
    {10030, {49}},  {10029, {52}},         {9998, {53}},
    {10502, {54}},  {15421, {64}},         {15422, {65}},
    {15423, {66}},  {15424, {80}},         {15425, {81}},
    {15426, {82}},  {15427, {83}},         {15428, {84}},
    {15429, {85}},  {15430, {86}},         {15431, {87}},
    {15432, {88}},  {15433, {112}},        {15460, {113}},
    {15488, {114}}, {15514, {115}},        {9990, {144, 145, 148, 151, 152, 185}},
    {10014, {146}}, {10018, {147}},        {10024, {149}},
    {9997, {150}},  {15522, {153}},        {10253, {160, 162}},
    {10501, {161}}, {10763, {163, 10763}}, {10241, {164, 165, 168, 187, 188}},
    {10242, {166}}, {10245, {167, 189}},   {8709, {169}},
    {10020, {172}}, {8706, {173}},         {8705, {174}},
    {13060, {175}}, {10019, {179}},        {10021, {182}},
    {9218, {183}},  {9479, {184}},         {15456, {186}},
    {15461, {190}}, {15462, {191}},        {10054, {192}},
    {10039, {193}}, {15570, {194}},        {10031, {195}},
    {15489, {196}}, {15379, {257}},        {15392, {272}},
    {15393, {273}}, {15394, {274}},        {11271, {368, 369, 370, 384, 386, 387}},
};

TEST(ConvertServerException, FixedTableRowByRow) {
    for (const auto& [result, errors] : kFixedTable)
        for (int32_t e : errors)
            EXPECT_EQ(convert(e), result) << "server error " << e;
}

TEST(ConvertServerException, CodesNeitherServerErrorsNorResultCodesAreUnknown) {
    for (int32_t code : {11, 31, 38, 116, 154, 181, 199, 261, 388, 432, 433, 434, 8448, 8460, 15571, 20000,
                         -1, int32_t(0x80000000)})
        EXPECT_EQ(convert(code), kResultUnknownServerError) << code;
}

// Result codes that the engine raises as they are (key violations, end of table, missing folders,
// ...) stay themselves rather than turning into "unknown".
TEST(ConvertServerException, ResultCodesRaisedAsTheyArePassThrough) {
    for (int32_t code : {8449, 8705, 8706, 8709, 9729, 9732, 9997, 10000, 10002, 10018, 10243, 10257, 10764,
                         13058, 15444, 15459, 15504, 15570})
        EXPECT_EQ(convert(code), code);
}

// Every error text of the server and general tables is a code something in the engine may raise;
// none of them may come back as "unknown", and each result has a text of its own.
TEST(ConvertServerException, EveryCodeWithAnErrorTextHasItsOwnResult) {
    std::set<int32_t> seen;
    for (TqbStringResource* table : {&ServerStrings(), &GeneralStrings()})
        for (int32_t id = 0; id < 432; ++id) {
            if (table->GetText(id).empty()) continue;
            seen.insert(id);
            const TqbResultCode rc = convert(id);
            EXPECT_NE(rc, kResultUnknownServerError) << "server error " << id;
            EXPECT_FALSE(CompatErrorStrings().GetText(rc).empty()) << "result " << rc << " of " << id;
        }
    // The tables were really read: the sample covers the dictionary and network codes.
    EXPECT_TRUE(seen.count(171) && seen.count(338) && seen.count(385) && seen.count(417));
}

TEST(ConvertServerException, OtherExceptionsAndTheLogLine) {
    MemoryEventLog log;
    auto ptr = [](auto e) { return std::make_exception_ptr(e); };
    EXPECT_EQ(ConvertServerException(ptr(std::bad_alloc()), &log, false), kResultInsufficientMemory);
    EXPECT_EQ(ConvertServerException(ptr(cls::EConvertError("'x' is not a number")), &log, false),
              kResultUnexpectedException);
    EXPECT_EQ(ConvertServerException(ptr(std::runtime_error("odd")), &log, false),
              kResultUnexpectedException);
    EXPECT_EQ(ConvertServerException(ptr(42), &log, false), kResultUnexpectedException);
    EXPECT_EQ(ConvertServerException(nullptr, &log, false), kResultUnexpectedException);
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Exception Cvt: 'x' is not a number");
    EXPECT_EQ(lines[2], "Exception Cvt: odd");
    EXPECT_EQ(lines[3], "Exception Cvt: ");

    // A message with format characters is written as it stands.
    EXPECT_EQ(ConvertServerException(ptr(EqbException("50% done %s", 173)), &log, false), 8706);
    EXPECT_EQ(log.Lines().back(), "Exception Cvt: 50% done %s");

    // Read-only engines and engines without a log write nothing; the result is the same.
    const size_t before = log.LineCount();
    EXPECT_EQ(ConvertServerException(ptr(EqbException("y", 173)), &log, true), 8706);
    EXPECT_EQ(ConvertServerException(ptr(EqbException("y", 173)), nullptr, false), 8706);
    EXPECT_EQ(log.LineCount(), before);
}

} // namespace
