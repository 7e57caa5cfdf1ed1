// The table-file verifier: walks every structure of a table file and reports each broken
// invariant with its block number, without ever trusting a value it has not checked.
#pragma once
#include "db/storage/qbtbindx.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TqbVerifyProblem {
    uint32_t Block = 0;
    std::string Text;
};

struct TqbVerifyOptions {
    // Key order per index number; without one, composite indexes take theirs from the file's
    // dictionary, references-only indexes compare references, and others are not checked for order.
    std::map<int32_t, std::pair<TqbKeyCompare, const void*>> Compare;
    // Off for files mostly made of holes: blocks that no chain reaches are then neither searched
    // for BLOB blocks nor reported.
    bool ScanAllBlocks = true;
};

// The file as the transaction sees it (none: as committed).
std::vector<TqbVerifyProblem> VerifyTableFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                              const TqbVerifyOptions& Options = {});
// "block N: text" lines.
std::string FormatVerifyProblems(const std::vector<TqbVerifyProblem>& Problems);
