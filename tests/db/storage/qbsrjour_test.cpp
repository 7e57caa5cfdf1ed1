// Start-up recovery: what each kind of journal gets, the checks that keep an untrusted journal from
// writing anything, scrambled replay, and a replay that fails.
#include "db/base/qblllog.h"
#include "db/base/qbtbcryp.h"
#include "db/storage/qbsrjour.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/JournalTestSupport.h"
#include "tests/db/storage/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace storetest;
using dbtest::raised;

namespace {

using Rec = journaltest::Image;
using journaltest::journalBytes;

// Answers as told and keeps every question.
struct ScriptedPrompt : TqbJournalPrompt {
    int answer = kJournalCommit;
    std::vector<int> kinds;
    std::vector<std::string> errors;
    int Ask(int Kind, const std::string&, const std::string&, const std::string&,
            const std::string& error) override {
        kinds.push_back(Kind);
        errors.push_back(error);
        return answer;
    }
};

std::string blockOf(const std::string& img, uint32_t bs, uint32_t n) {
    return img.substr(size_t(n) * bs, bs);
}

class RecoveryTest : public ::testing::TestWithParam<bool> {
protected:
    Folder folder{GetParam()};
    const uint32_t bs = 4096;
    std::string before = tableImage(bs, 4);
    std::string after = [&] {
        std::string a = before + tableImage(bs, 2).substr(bs); // one block added
        plat::StoreLE32(&a[kHdrBlockCount], 5);
        plat::StoreLE32(&a[kBlkStamp], 9);
        std::memset(&a[2 * bs + 16], 'Z', bs - 16);
        plat::StoreLE32(&a[4 * bs + kBlkOwnNumber], 4);
        return a;
    }();
    std::vector<Rec> records() {
        std::string name = folder.file("T.QB2");
        return {{2, true, name, blockOf(before, bs, 2)}, {2, false, name, blockOf(after, bs, 2)},
                {4, true, name, std::string(bs, 'F')},   {4, false, name, blockOf(after, bs, 4)},
                {0, true, name, blockOf(before, bs, 0)}, {0, false, name, blockOf(after, bs, 0)}};
    }
    bool journalKept(const std::string& name) { return plat::FileExists(folder.file(name)); }
    // A complete journal of recs over the table, answered: the answer's outcome, the journal gone.
    void recoverComplete(const std::string& table, const std::vector<Rec>& recs, int answer) {
        putFile(folder.file("T.QB2"), table);
        putFile(folder.file("5_1.QB$"), journalBytes(1, recs));
        ScriptedPrompt p;
        p.answer = answer;
        TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
        EXPECT_EQ(p.kinds, std::vector<int>{jkComplete});
        EXPECT_FALSE(journalKept("5_1.QB$"));
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), answer == kJournalCommit ? after : before));
    }
};

TEST_P(RecoveryTest, CompleteJournalsRollForwardOrBackAndIncompleteOnesGo) {
    for (int answer : {kJournalCommit, kJournalRollback}) {
        recoverComplete(before, records(), answer);
        // A rollback also takes back the block the transaction added.
        ScriptedPrompt p;
        p.answer = answer;
        putFile(folder.file("T.QB2"), after);
        putFile(folder.file("5_2.qb$"), journalBytes(1, records()));
        TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), answer == kJournalCommit ? after : before));
    }
    // State 0: nothing reached the tables.
    putFile(folder.file("T.QB2"), before);
    putFile(folder.file("6_1.QB$"), journalBytes(0, records()));
    ScriptedPrompt p;
    TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
    EXPECT_EQ(p.kinds, std::vector<int>{jkIncomplete});
    EXPECT_FALSE(journalKept("6_1.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
    // No answer is no rollback: the journal stays and the start fails.
    putFile(folder.file("7_1.QB$"), journalBytes(1, records()));
    p.answer = 0;
    EXPECT_EQ(raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); }).code,
              183);
    EXPECT_TRUE(journalKept("7_1.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
}

// A commit writes the blocks it adds straight to the table before its journal is complete, and the
// journal holds no image of them: a roll forward keeps them; a rollback, and an incomplete journal
// (whose records name the table), cut them off. A complete journal whose table lacks them (a rollback
// cut short had cut them off) cannot roll forward: it writes nothing and stays until rolled back.
TEST_P(RecoveryTest, BlocksAddedOutsideTheJournalRollForwardOrAreCutOff) {
    std::vector<Rec> recs = records();
    std::erase_if(recs, [](const Rec& r) { return r.block == 4; });
    const std::string grown = before + blockOf(after, bs, 4);
    for (int answer : {kJournalCommit, kJournalRollback})
        recoverComplete(grown, recs, answer);
    putFile(folder.file("T.QB2"), grown);
    putFile(folder.file("6_1.QB$"), journalBytes(0, recs));
    ScriptedPrompt p;
    TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
    EXPECT_EQ(p.kinds, std::vector<int>{jkIncomplete});
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before)); // cut back to its header's count

    // A rollback cut short after it had cut the file: only a rollback can finish.
    putFile(folder.file("T.QB2"), before);
    putFile(folder.file("7_1.QB$"), journalBytes(1, recs));
    p.kinds.clear();
    EXPECT_EQ(raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); }).code,
              183);
    EXPECT_EQ(p.kinds, (std::vector<int>{jkComplete, jkReplayFailed}));
    EXPECT_TRUE(journalKept("7_1.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
    p.answer = kJournalRollback;
    TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
    EXPECT_FALSE(journalKept("7_1.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
    // Neither can finish: the journal is not trusted at all.
    recs[0].bytes = std::string(bs, 'F'); // the before image of block 2 has no signature
    putFile(folder.file("8_1.QB$"), journalBytes(1, recs));
    p.kinds.clear();
    EXPECT_EQ(raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); }).code,
              32);
    EXPECT_EQ(p.kinds, std::vector<int>{jkSkipped});
    EXPECT_TRUE(journalKept("8_1.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
}

TEST_P(RecoveryTest, AnUntrustworthyJournalIsKeptWritesNothingAndFailsTheStart) {
    putFile(folder.file("T.QB2"), before);
    auto recs = [&](auto change) {
        auto r = records();
        change(r);
        return journalBytes(1, r);
    };
    std::string full = journalBytes(1, records());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"truncated record", full.substr(0, full.size() - 100)},
        {"block size 70000", recs([](auto& r) { r[1].size = 70000; })},
        {"wrong record signature", recs([](auto& r) { r[3].signature = 0x48524658; })},
        {"outside the folder", recs([](auto& r) { r[1].name = "/etc/passwd"; })},
        {"another folder's table", recs([](auto& r) { r[1].name = "/elsewhere/U.QB2"; })},
        {"block past the end", recs([](auto& r) { r[3].block = 100000; })},
        {"unterminated name", recs([](auto& r) { r[1].name = std::string(300, 'x'); })},
        {"unknown state", journalBytes(7, records())},
    };
    for (const auto& [what, bytes] : cases) {
        putFile(folder.file("7.QB$"), bytes);
        ScriptedPrompt p;
        auto got = raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); });
        EXPECT_EQ(got.code, 32) << what;
        EXPECT_NE(got.message.find("7.QB$"), std::string::npos) << what << ": " << got.message;
        EXPECT_EQ(p.kinds, std::vector<int>{jkSkipped}) << what;
        EXPECT_TRUE(journalKept("7.QB$")) << what;
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before)) << what;
    }
}

// A file that only bears the extension is reported by name and kept; the other journals of the
// folder are recovered, the folder opens, and the file is not asked about again.
TEST_P(RecoveryTest, AFileThatIsNoJournalIsReportedKeptAndTheCheckGoesOn) {
    std::string zeroedHeader = journalBytes(1, records());
    std::memset(zeroedHeader.data(), 0, kJournalHeaderSize);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"wrong journal signature", "JQBX\1\0\0\0"},
        {"short and not a header", "JQX"},
        {"a header lost to a power cut", zeroedHeader},
        {"a text file", "meeting notes\n"},
    };
    for (const auto& [what, bytes] : cases) {
        putFile(folder.file("T.QB2"), before);
        putFile(folder.file("7.QB$"), bytes);
        putFile(folder.file("5_1.QB$"), journalBytes(1, records()));
        ScriptedPrompt p;
        MemoryEventLog log;
        std::set<std::string> known;
        EXPECT_NO_THROW(TqbRecoveryEngine(&p, &log).CheckFolder("A", folder.path(), &known)) << what;
        std::vector<int> kinds = p.kinds;
        std::sort(kinds.begin(), kinds.end());
        EXPECT_EQ(kinds, (std::vector<int>{jkComplete, jkSkipped})) << what;
        const size_t skipped = size_t(std::find(p.kinds.begin(), p.kinds.end(), jkSkipped) - p.kinds.begin());
        ASSERT_LT(skipped, p.errors.size()) << what;
        EXPECT_NE(p.errors[skipped].find("[" + folder.file("7.QB$") + "] is not a Quillbase formatted file"),
                  std::string::npos)
            << what << ": " << p.errors[skipped];
        EXPECT_EQ(getFile(folder.file("7.QB$")), bytes) << what;
        EXPECT_FALSE(journalKept("5_1.QB$")) << what;
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), after)) << what;
        const std::string lines = [&] {
            std::string all;
            for (const std::string& l : log.Lines())
                all += l + "\n";
            return all;
        }();
        EXPECT_NE(lines.find("Journal file 7.QB$ (alias A, " + folder.path() +
                             "): Error processing file! Skipped the file"),
                  std::string::npos)
            << what << ":\n"
            << lines;
        EXPECT_NE(lines.find("Journal file 7.QB$ kept"), std::string::npos) << lines;
        EXPECT_NE(lines.find("Journal file 5_1.QB$ rolled forward."), std::string::npos) << lines;
        // Asked once: the next check of the folder in this run passes it by.
        p.kinds.clear();
        TqbRecoveryEngine(&p).CheckFolder("A", folder.path(), &known);
        EXPECT_TRUE(p.kinds.empty()) << what;
        EXPECT_TRUE(journalKept("7.QB$")) << what;
    }
}

// An image that does not fit its block is found before anything is written: the journal stays, the
// table is untouched, and the error names the journal and the block.
TEST_P(RecoveryTest, ImagesThatDoNotFitTheirBlockWriteNothing) {
    struct Case {
        const char* what;
        size_t record; // into records()
        uint32_t offset, value;
        int answer;
        const char* named;
        bool asked = false; // the image only stands in the way of its own direction
    };
    const Case cases[] = {
        {"header own number", 5, kBlkOwnNumber, 1, kJournalCommit, "after image of block 0"},
        {"header block size", 5, kHdrBlockSize, 8192, kJournalCommit, "after image of block 0"},
        {"header record length", 5, kHdrRecordLength, 5000, kJournalCommit, "after image of block 0"},
        {"header encrypted flag", 5, kHdrEncrypted, 1, kJournalRollback, "after image of block 0"},
        {"header count past the file", 5, kHdrBlockCount, 6, kJournalCommit, "after image of block 0", true},
        {"block own number", 1, kBlkOwnNumber, 3, kJournalCommit, "after image of block 2"},
        {"block signature", 3, kBlkSignature, 0x58585858, kJournalCommit, "after image of block 4"},
        {"before image a rollback writes", 0, kBlkOwnNumber, 7, kJournalRollback, "before image of block 2"},
        {"old header", 4, kBlkLink, 0, kJournalRollback, "before image of block 0"},
    };
    for (const Case& c : cases) {
        putFile(folder.file("T.QB2"), before);
        auto recs = records();
        plat::StoreLE32(&recs[c.record].bytes[c.offset], c.value);
        putFile(folder.file("8.QB$"), journalBytes(1, recs));
        ScriptedPrompt p;
        p.answer = c.answer;
        auto got = raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); });
        const bool afterImage = std::string_view(c.named).starts_with("after");
        EXPECT_EQ(got.code, afterImage && !c.asked ? 32 : 183) << c.what;
        EXPECT_NE(got.message.find("8.QB$"), std::string::npos) << c.what << ": " << got.message;
        EXPECT_NE(got.message.find(std::string(c.named) + " of "), std::string::npos)
            << c.what << ": " << got.message;
        EXPECT_TRUE(journalKept("8.QB$")) << c.what;
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before)) << c.what;
        const bool after = std::string_view(c.named).starts_with("after");
        const std::vector<int> kinds =
            after && !c.asked ? std::vector<int>{jkSkipped} : std::vector<int>{jkComplete, jkReplayFailed};
        EXPECT_EQ(p.kinds, kinds) << c.what;
        if (after && !c.asked) continue;
        // Rolled the other way, the image is not written: nothing is in the way.
        p.answer = after ? kJournalRollback : kJournalCommit;
        TqbRecoveryEngine(&p).CheckFolder("A", folder.path());
        EXPECT_FALSE(journalKept("8.QB$")) << c.what;
        EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), after ? before : this->after)) << c.what;
    }
    // The added block lands one further on: block 4 would be a hole in the table.
    putFile(folder.file("T.QB2"), before);
    auto recs = records();
    recs[3].block = 5;
    plat::StoreLE32(&recs[3].bytes[kBlkOwnNumber], 5);
    plat::StoreLE32(&recs[5].bytes[kHdrBlockCount], 6);
    putFile(folder.file("8.QB$"), journalBytes(1, recs));
    ScriptedPrompt p;
    auto got = raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", folder.path()); });
    EXPECT_NE(got.message.find("block 4 of "), std::string::npos) << got.message;
    EXPECT_TRUE(journalKept("8.QB$"));
    EXPECT_TRUE(sameBytes(getFile(folder.file("T.QB2")), before));
}

TEST_P(RecoveryTest, ReplayScramblesEncryptedTablesAsACommitDoes) {
    std::string enc = tableImage(bs, 3, 0, true);
    putFile(folder.file("E.QB2"), enc);
    std::string image = blockOf(enc, bs, 2);
    image[100] = 'Q';
    putFile(folder.file("8.QB$"), journalBytes(1, {{2, false, folder.file("E.QB2"), image}}));
    TqbRecoveryEngine().CheckFolder("A", folder.path());
    std::string disk = blockOf(getFile(folder.file("E.QB2")), bs, 2);
    ScrambleBlock(disk.data(), bs, 2 * bs, TqbScrambleKey::A);
    EXPECT_TRUE(sameBytes(disk, image));
    // A table whose name selects key B gets key B.
    SetTableKeySelector([](std::string_view n) { return n == "E"; });
    putFile(folder.file("9.QB$"), journalBytes(1, {{2, false, folder.file("E.QB2"), image}}));
    TqbRecoveryEngine().CheckFolder("A", folder.path());
    SetTableKeySelector(nullptr);
    disk = blockOf(getFile(folder.file("E.QB2")), bs, 2);
    ScrambleBlock(disk.data(), bs, 2 * bs, TqbScrambleKey::B);
    EXPECT_TRUE(sameBytes(disk, image));
}

// The server's own tables are scrambled with key B, and recovery knows them without being told.
TEST_P(RecoveryTest, SystemTablesReplayWithKeyB) {
    const std::string enc = tableImage(bs, 3, 0, true);
    std::string image = blockOf(enc, bs, 2);
    image[100] = 'Q';
    for (const char* name : {"QBSUSER", "savIndex", "xxsaliasOLD"}) {
        const std::string file = folder.file(std::string(name) + ".QB2");
        putFile(file, enc);
        putFile(folder.file("10.QB$"), journalBytes(1, {{2, false, file, image}}));
        TqbRecoveryEngine().CheckFolder("A", folder.path());
        std::string disk = blockOf(getFile(file), bs, 2);
        ScrambleBlock(disk.data(), bs, 2 * bs, TqbScrambleKey::B);
        EXPECT_TRUE(sameBytes(disk, image)) << name;
    }
    EXPECT_TRUE(IsSystemTableName("qbsaliasXYZ")); // of the rest only five characters count
    EXPECT_FALSE(IsSystemTableName("QBSINFOX"));
    EXPECT_FALSE(IsSystemTableName("QBS"));
    EXPECT_FALSE(IsSystemTableName("contacts"));
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, RecoveryTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Memory" : "Disk"; });

TEST(RecoveryPolicy, WithNoOneToAskACompleteJournalRollsForwardAndIsLogged) {
    Folder folder(true);
    putFile(folder.file("T.QB2"), tableImage(4096, 3));
    std::string image = tableImage(4096, 3).substr(4096, 4096);
    image[200] = '!';
    putFile(folder.file("3_1.QB$"), journalBytes(1, {{1, false, folder.file("T.QB2"), image}}));
    putFile(folder.file("4_1.QB$"), journalBytes(0, {{1, false, folder.file("T.QB2"), image}}));
    MemoryEventLog log;
    TqbRecoveryEngine(nullptr, &log).CheckFolder("Contacts", folder.path());
    EXPECT_EQ(getFile(folder.file("T.QB2"))[4096 + 200], '!');
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::string at = " (alias Contacts, " + folder.path() + "): ";
    // In the folder's order: which journal comes first is the listing's business.
    if (lines[0].find("4_1.QB$") != std::string::npos)
        std::rotate(lines.begin(), lines.begin() + 2, lines.end());
    EXPECT_EQ(lines[0], "Journal file 3_1.QB$" + at + "Complete journal file found!");
    EXPECT_EQ(lines[1], "Journal file 3_1.QB$ rolled forward.");
    EXPECT_EQ(lines[2], "Journal file 4_1.QB$" + at + "Incomplete journal file found!");
    EXPECT_EQ(lines[3], "Journal file 4_1.QB$ deleted; nothing was replayed.");
    EXPECT_FALSE(plat::FileExists(folder.file("4_1.QB$")));
}

// A replay that fails keeps the journal (the next start tries again) and fails the start.
TEST(RecoveryPolicy, AFailedReplayKeepsTheJournalAndFailsTheStart) {
    plat::MemoryFiles mem;
    plat::FaultyFiles faulty(mem);
    plat::ScopedFiles use(faulty);
    plat::DirCreate("/db");
    putFile("/db/T.QB2", tableImage(4096, 3));
    std::string image1 = blockOf(tableImage(4096, 3), 4096, 1), image = blockOf(tableImage(4096, 3), 4096, 2);
    image1[100] = image[100] = 'r';
    putFile("/db/4_1.QB$", journalBytes(1, {{1, false, "/db/T.QB2", image1}, {2, false, "/db/T.QB2", image}}));
    faulty.failAt(2, plat::FileOp::Write, ENOSPC);
    ScriptedPrompt p;
    auto got = raised<EqbServerException>([&] { TqbRecoveryEngine(&p).CheckFolder("A", "/db"); });
    EXPECT_EQ(got.code, 183);
    EXPECT_EQ(p.kinds, (std::vector<int>{jkComplete, jkReplayFailed}));
    EXPECT_NE(p.errors[1].find(plat::FileErrorText(ENOSPC)), std::string::npos) << p.errors[1];
    EXPECT_TRUE(plat::FileExists("/db/4_1.QB$"));
    EXPECT_TRUE(faulty.openHandles().empty());
    // The next start finishes it.
    TqbRecoveryEngine().CheckFolder("A", "/db");
    EXPECT_EQ(getFile("/db/T.QB2").substr(2 * 4096), image);
    EXPECT_FALSE(plat::FileExists("/db/4_1.QB$"));
}

} // namespace
