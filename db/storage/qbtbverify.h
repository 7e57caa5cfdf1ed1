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
    // Each index entry names a record in use, index 0 and the dictionary's own indexes hold every
    // record once with the key built from it. Off where indexes are filled apart from the records.
    bool EntriesAgainstRecords = true;
    // Problems kept with their text; those beyond are only counted.
    size_t MaxProblems = 1000;
};

struct TqbVerifyReport {
    std::vector<TqbVerifyProblem> Problems; // the first MaxProblems
    uint64_t Count = 0;                     // all that were found
    bool empty() const { return Count == 0; }
};

// The file as the transaction sees it (none: as committed).
TqbVerifyReport VerifyTableFile(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction,
                                const TqbVerifyOptions& Options = {});
// Opens the file on its own (read-only, its own buffer manager) and checks it as committed;
// raises when it cannot be opened at all.
TqbVerifyReport VerifyTableFileOnDisk(const std::string& FileName, const TqbVerifyOptions& Options = {});
// "block N: text" lines, then how many more were found than listed.
std::string FormatVerifyProblems(const TqbVerifyReport& Report);
