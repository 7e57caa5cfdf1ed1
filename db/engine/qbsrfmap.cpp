// Field map of a restructure: pairs of field descriptions looked up by name in the old and the
// new dictionary.
#include "db/engine/qbsrfmap.h"

#include "classlib/Classes.h"

namespace {
bool describe(const TqbDataDictionary& dict, std::string_view name, TqbSrFieldMapField& out) {
    const int32_t n = dict.GetFieldFromName(name);
    if (n < 0) return false;
    const TqbFieldDesc& f = dict.FieldDesc(n);
    out = {f.Name, n, f.Offset, f.Length, f.FieldType};
    return true;
}
} // namespace

TqbSrFieldMapList::TqbSrFieldMapList(const TqbDataDictionary& SourceDict,
                                     const TqbDataDictionary& TargetDict) {
    sourceDict_.Assign(&SourceDict);
    targetDict_.Assign(&TargetDict);
}

TqbResultCode TqbSrFieldMapList::AddPair(std::string_view SourceName, std::string_view TargetName) {
    if (SourceName.empty()) SourceName = TargetName;
    std::lock_guard lk(m_);
    TqbSrFieldMapListItem item;
    if (!describe(sourceDict_, SourceName, item.Source) || !describe(targetDict_, TargetName, item.Target))
        return kResultUnknownFieldName;
    items_.push_back(std::move(item));
    return 0;
}

TqbResultCode TqbSrFieldMapList::addLine(std::string_view Line) {
    const size_t eq = Line.find('=');
    if (eq == std::string_view::npos) return AddPair({}, Line);
    return AddPair(Line.substr(eq + 1), Line.substr(0, eq));
}

TqbResultCode TqbSrFieldMapList::AddStringList(const cls::TStringList& List) {
    for (int i = 0; i < List.Count(); ++i)
        if (TqbResultCode rc = addLine(List.Strings(i))) return rc;
    return 0;
}

int TqbSrFieldMapList::Count() const {
    std::lock_guard lk(m_);
    return int(items_.size());
}

TqbSrFieldMapField TqbSrFieldMapList::SourceField(int Index) const {
    std::lock_guard lk(m_);
    return items_.at(size_t(Index)).Source;
}

TqbSrFieldMapField TqbSrFieldMapList::TargetField(int Index) const {
    std::lock_guard lk(m_);
    return items_.at(size_t(Index)).Target;
}
