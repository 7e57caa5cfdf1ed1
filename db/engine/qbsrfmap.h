// The field map of a restructure: which field of the old table fills which field of the new one,
// built from "NEW=OLD" and "NAME" lines against copies of both dictionaries.
#pragma once
#include "db/base/qbllbase.h"
#include "db/storage/qblleng_types.h"
#include "db/storage/qbtbdict.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace cls {
class TStringList;
}

// A name that one of the dictionaries lacks.
inline constexpr TqbResultCode kResultUnknownFieldName = 10038;

// One side of a pair: where the field lies in its record.
struct TqbSrFieldMapField {
    std::string Name; // at most 31 characters
    int32_t Number = 0;
    int32_t Offset = 0;
    int32_t Length = 0; // bytes
    int32_t FieldType = 0;
    bool operator==(const TqbSrFieldMapField&) const = default;
};

struct TqbSrFieldMapListItem {
    TqbSrFieldMapField Source;
    TqbSrFieldMapField Target;
};

// Pairs in the order they were added. Adding takes the list's lock.
class TqbSrFieldMapList : public TqbObject {
public:
    TqbSrFieldMapList(const TqbDataDictionary& SourceDict, const TqbDataDictionary& TargetDict);

    // SourceName empty: the target's name. 0, or 10038 when either name is missing (compared
    // without regard to case).
    TqbResultCode AddPair(std::string_view SourceName, std::string_view TargetName);
    // Each line "TARGET=SOURCE" or "NAME" in order; the first refused line's result ends it.
    TqbResultCode AddStringList(const cls::TStringList& List);
    int Count() const;
    // Copies; an index out of range raises std::out_of_range.
    TqbSrFieldMapField SourceField(int Index) const;
    TqbSrFieldMapField TargetField(int Index) const;

private:
    TqbResultCode addLine(std::string_view Line);

    mutable std::mutex m_;
    std::vector<TqbSrFieldMapListItem> items_;
    TqbServerDataDict sourceDict_{4096};
    TqbServerDataDict targetDict_{4096};
};
