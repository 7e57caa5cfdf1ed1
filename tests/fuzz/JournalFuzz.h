// Harness of the journal-recovery fuzz target, shared with the unit test that replays its corpus
// under the sanitizers in CI.
#pragma once
#include "db/storage/qbsrblob.h"
#include "db/storage/qbsrjour.h"
#include "db/storage/qbtbindx.h"
#include "db/storage/qbtbstrm.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/storage/TableImage.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace pwfuzz {

// The first byte answers the recovery question (odd: Commit, even: Rollback); the rest is the
// journal, found beside a table "T.QB2" of four 4 KB blocks in a folder on an in-memory file
// system. A journal that fails its checks must leave the table as it was and stay in place; one
// that passes must be gone afterwards, and the table must still open, every block of it a known
// kind carrying its own number.
inline bool tableOpens(const std::string& file) {
    if (file.size() < 4096) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(file.data());
    TbtdFileInfo fi;
    fi.FileName = "/db/T.QB2";
    const uint32_t bs = BlockWord(p, kHdrBlockSize);
    try {
        CheckTableHeaderFields(fi, p, file.size() / (bs ? bs : 1));
    } catch (const EqbException&) {
        return false;
    }
    const std::set<uint32_t> kinds = {kSigData, kSigIndex, kSigBLOB, kSigStream, kSigDeleted};
    for (uint32_t b = 1; b < BlockWord(p, kHdrBlockCount); ++b) {
        const uint8_t* blk = p + size_t(b) * bs;
        if (!kinds.count(BlockWord(blk, kBlkSignature)) || BlockWord(blk, kBlkOwnNumber) != b) return false;
    }
    return true;
}

inline void RunJournalRecovery(const uint8_t* data, size_t size) {
    struct Answer : TqbJournalPrompt {
        int a;
        int Ask(int, const std::string&, const std::string&, const std::string&,
                const std::string&) override {
            return a;
        }
    } answer;
    answer.a = size && (data[0] & 1) ? kJournalCommit : kJournalRollback;
    plat::MemoryFiles mem;
    plat::ScopedFiles use(mem);
    const std::string table = storetest::tableImage(4096, 4);
    mem.put("/db/T.QB2", table);
    mem.put("/db/1.QB$",
            size ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string());
    bool failed = false;
    try {
        TqbRecoveryEngine(&answer).CheckFolder("F", "/db");
    } catch (const EqbException&) {
        failed = true;
    }
    auto files = mem.files();
    if (failed && (files["/db/T.QB2"] != table || !files.count("/db/1.QB$"))) std::abort();
    // A file that is no journal stays, and nothing is written.
    if (!failed && files.count("/db/1.QB$") && files["/db/T.QB2"] != table) std::abort();
    if (!failed && !tableOpens(files["/db/T.QB2"])) std::abort();
}

} // namespace pwfuzz
