// Harness of the journal-recovery fuzz target, shared with the unit test that replays its corpus
// under the sanitizers in CI.
#pragma once
#include "db/storage/qbsrjour.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/storage/TableImage.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace pwfuzz {

// The first byte answers the recovery question (odd: Commit, even: Rollback); the rest is the
// journal, found beside a table "T.QB2" of four 4 KB blocks in a folder on an in-memory file
// system. A journal that fails its checks must leave the table as it was and stay in place; one
// that passes must be gone afterwards.
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
    if (!failed && files.count("/db/1.QB$")) std::abort();
}

} // namespace pwfuzz
