// Message table of the spawner's component family, read from its string table at first use.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TStStringRec {
    int32_t Id;
    std::string Text;
};

// Every record of the family's string table, in id order.
const std::vector<TStStringRec>& StStringTable();
// Text of Id; empty when the table has none.
std::string StGetString(int32_t Id);
