// Message table of the spawner's component family, read from its string table at first use.
#include "controls/StConst.h"

#include "controls/LncSrMgr.h"
#include "platform/Resources.h"

const std::vector<TStStringRec>& StStringTable() {
    static const std::vector<TStStringRec> table = [] {
        std::vector<TStStringRec> t;
        pw_controls_strings();
        if (auto res = plat::FindResource("STCONST_STRINGS")) {
            plat::StringTable st(res->data, res->size);
            for (uint32_t i = 0; i < st.Count(); ++i) {
                uint32_t id = st.IdAt(i);
                t.push_back({static_cast<int32_t>(id), st.FindAnsi(id).value_or("")});
            }
        }
        return t;
    }();
    return table;
}

std::string StGetString(int32_t Id) {
    for (const auto& r : StStringTable())
        if (r.Id == Id) return r.Text;
    return {};
}
