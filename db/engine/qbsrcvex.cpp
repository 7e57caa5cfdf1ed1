// Conversion of exceptions into result codes: the conversion table of server error codes, the
// result-code categories, and the log line of each conversion.
#include "db/engine/qbsrcvex.h"

#include "db/base/qbllexcp.h"
#include "db/base/qblllog.h"
#include "db/base/qbsrmgr.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <new>
#include <string>
#include <utility>

namespace {

struct Row {
    int32_t Error;
    TqbResultCode Result;
};

// Sorted by error code. The first part is the fixed table; the rows marked "also" give the other
// codes that the engine raises a result of their own, so that none of them reads as unknown.
constexpr Row kTable[] = {
    {0, 15360},
    {1, 15361},
    {2, 15362},
    {3, 15363},
    {4, 15366},
    {5, 15367},
    {6, 15368},
    {7, 15369},
    {8, 15370},
    {9, 15371},
    {10, 15372},
    {32, 9992},
    {33, 15409},
    {34, 10503},
    {35, 15411},
    {36, 15412},
    {37, 15413},
    {48, 11896},
    {49, 10030},
    {50, 11896},
    {51, 11896},
    {52, 10029},
    {53, 9998},
    {54, 10502},
    {64, 15421},
    {65, 15422},
    {66, 15423},
    {80, 15424},
    {81, 15425},
    {82, 15426},
    {83, 15427},
    {84, 15428},
    {85, 15429},
    {86, 15430},
    {87, 15431},
    {88, 15432},
    {112, 15433},
    {113, 15460},
    {114, 15488},
    {115, 15514},
    {144, 9990},
    {145, 9990},
    {146, 10014},
    {147, 10018},
    {148, 9990},
    {149, 10024},
    {150, 9997},
    {151, 9990},
    {152, 9990},
    {153, 15522},
    {160, 10253},
    {161, 10501},
    {162, 10253},
    {163, 10763},
    {164, 10241},
    {165, 10241},
    {166, 10242},
    {167, 10245},
    {168, 10241},
    {169, 8709},
    {170, 8449},  // also: a key routine's library or routine cannot be loaded
    {171, 12289}, // also: a table's user-defined key routines are not configured
    {172, 10020},
    {173, 8706},
    {174, 8705},
    {175, 13060},
    {176, 10756}, // also: the database is already in a transaction
    {177, 10009}, // also: alias exists
    {178, 10000}, // also: BLOB fields cannot be compared
    {179, 10019},
    {180, 10257}, // also: no transaction
    {182, 10021},
    {183, 9218},
    {184, 9479},
    {185, 9990},
    {186, 15456},
    {187, 10241},
    {188, 10241},
    {189, 10245},
    {190, 15461},
    {191, 15462},
    {192, 10054},
    {193, 10039},
    {194, 15570},
    {195, 10031},
    {196, 15489},
    {197, 9473},  // also: a sort failed (its temporary storage or memory ran out)
    {198, 10000}, // also: BLOB or byte-array field under DISTINCT
    // Temporary storage and map files ("also" except 257).
    {256, 9473},
    {257, 15379},
    {258, 15361},
    {259, 15361},
    {260, 9473},
    {272, 15392},
    {273, 15393},
    {274, 15394},
    // Waits, transports and portals (all "also").
    {288, 15445},
    {289, 11271},
    {290, 12289},
    {291, 11278},
    {292, 11278},
    {293, 11271},
    {294, 15461},
    // Dictionaries and index helpers (all "also").
    {320, 9986},
    {321, 10756},
    {322, 10756},
    {323, 10756},
    {324, 10023},
    {325, 10000},
    {326, 9985},
    {327, 10756},
    {328, 10756},
    {329, 9992},
    {330, 10756},
    {331, 10756},
    {332, 9986},
    {333, 10039},
    {334, 10039},
    {335, 10009},
    {336, 10756},
    {337, 10023},
    {338, 9986},
    {339, 9985},
    {340, 10023},
    {341, 10009},
    {342, 10027},
    {343, 10009},
    {344, 10023},
    {345, 10000},
    // Network (385 "also").
    {368, 11271},
    {369, 11271},
    {370, 11271},
    {384, 11271},
    {385, 11271},
    {386, 11271},
    {387, 11271},
    // Configuration (all "also").
    {416, 15433},
    {417, 9986},
    {418, 10009},
    {419, 9986},
};

constexpr bool sortedByError() {
    for (size_t i = 1; i < std::size(kTable); ++i)
        if (kTable[i - 1].Error >= kTable[i].Error) return false;
    return true;
}
static_assert(sortedByError());

// First and last code of each category of the result-code table.
constexpr std::pair<int32_t, int32_t> kCategories[] = {
    {8449, 8459},   {8705, 8715},   {8961, 8969},   {9217, 9222},   {9473, 9501},   {9729, 9751},
    {9985, 10066},  {10241, 10260}, {10497, 10504}, {10753, 10772}, {11009, 11113}, {11265, 11278},
    {11521, 11522}, {11777, 11961}, {12033, 12040}, {12289, 12294}, {12545, 12550}, {12801, 12812},
    {13057, 13062}, {13313, 13315}, {13569, 13594}, {15360, 15570},
};

std::string messageOf(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const cls::Exception& x) {
        return x.Message();
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return {};
    }
}

} // namespace

bool IsCompatResultCode(int32_t Code) {
    return std::any_of(std::begin(kCategories), std::end(kCategories),
                       [&](const auto& c) { return Code >= c.first && Code <= c.second; });
}

TqbResultCode ServerErrorToResult(int32_t ErrorCode) {
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), ErrorCode,
                               [](const Row& r, int32_t code) { return r.Error < code; });
    if (it != std::end(kTable) && it->Error == ErrorCode) return it->Result;
    return IsCompatResultCode(ErrorCode) ? ErrorCode : kResultUnknownServerError;
}

TqbResultCode ConvertServerException(const std::exception_ptr& E, TqbBaseLog* EventLog, bool ReadOnly) {
    if (!E) return kResultUnexpectedException;
    try {
        if (EventLog && !ReadOnly) EventLog->WriteTextFmt("Exception Cvt: %s", {messageOf(E)});
    } catch (...) {
        // A log that fails must not change the result.
    }
    try {
        std::rethrow_exception(E);
    } catch (const EqbException& x) {
        return ServerErrorToResult(x.ErrorCode);
    } catch (const std::bad_alloc&) {
        return kResultInsufficientMemory;
    } catch (...) {
        return kResultUnexpectedException;
    }
}

void RaiseResultCode(int32_t Code) {
    throw EqbServerException(CompatErrorStrings().GetText(Code), Code);
}
