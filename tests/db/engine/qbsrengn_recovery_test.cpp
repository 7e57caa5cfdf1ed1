// The engine's start-up recovery check: every alias folder's journals (the configuration folder's
// too), asked about through the program's hook with the alias and the folder, each logged between
// the check's lines; without a hook a complete journal rolls forward.
#include "tests/db/JournalTestSupport.h"
#include "tests/db/engine/EngineApiSupport.h"

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace engineapi;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Question {
    int kind;
    std::string alias, path, file, error;
};

// The folder (also the configuration folder, as the paging program has it) holds the contacts
// table as it was before a commit of one more contact, a complete journal of that commit, an
// incomplete journal and a file that is no journal; the engine is stopped.
struct LeftBehind {
    Api api{false};
    std::string table, before, after;

    LeftBehind() {
        api.engine->SetConfigDir(api.dir.str() + "/");
        api.startAndConnect();
        EXPECT_EQ(0, api.engine->AliasAdd("Contacts", api.dir.str(), api.client));
        TqbHandle cursor = api.contacts();
        const TqbServerDataDict d = contactsDictionary();
        EXPECT_EQ(
            0, api.engine->RecordInsert(cursor, qbltNone, contactRecord(d, {"Ada", "5550001", 1, "", {}})));
        table = api.dir.file("contacts.QB2");
        before = readFile(table);
        EXPECT_EQ(
            0, api.engine->RecordInsert(cursor, qbltNone, contactRecord(d, {"Bob", "5550002", 1, "", {}})));
        after = readFile(table);
        EXPECT_EQ(0, api.engine->CursorClose(cursor));
        renew();
        EXPECT_NE(before, after);
        writeFile(table, before);
        writeFile(api.dir.file("12_1.QB$"),
                  journaltest::journalBytes(1, journaltest::changeImages(table, before, after)));
        writeFile(api.dir.file("13_1.QB$"), journaltest::journalBytes(0, {}));
        writeFile(api.dir.file("7.QB$"), "meeting notes\n");
    }
    // Stops the engine; the next start is the next run of the program: an engine that has read
    // nothing yet.
    void renew() {
        if (api.engine->State() == qbsStarted) api.engine->Shutdown();
        api.engine.reset(new TqbServerEngine());
        api.engine->SetClock(api.clock);
        api.engine->SetConfigDir(api.dir.str() + "/");
        api.engine->SetEventLog(api.log.get());
        api.engine->SetEventLogEnabled(true);
    }
    bool exists(const std::string& name) { return std::filesystem::exists(api.dir.file(name)); }
    // The lines the last start wrote between the check's own.
    std::vector<std::string> checkLines(size_t from) {
        std::vector<std::string> all = api.log->Lines();
        all.erase(all.begin(), all.begin() + ptrdiff_t(std::min(from, all.size())));
        auto first = std::find(all.begin(), all.end(), "Performing recovery check...");
        auto last = std::find(all.begin(), all.end(), "Finished recovery check...");
        EXPECT_TRUE(first != all.end() && last != all.end() && first < last);
        return first < last ? std::vector<std::string>(first + 1, last) : std::vector<std::string>{};
    }
    int32_t contactCount() {
        TqbHandle db = 0, cursor = 0;
        EXPECT_EQ(0, api.engine->DatabaseOpen(api.client, "contacts", qbomReadWrite, qbsmShared, 10000, db));
        EXPECT_EQ(0, api.engine->TableOpen(db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared,
                                           10000, cursor, nullptr));
        int32_t n = -1;
        EXPECT_EQ(0, api.engine->TableGetRecordCount(cursor, n));
        api.engine->CursorClose(cursor);
        api.engine->DatabaseClose(db);
        return n;
    }
};

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(RecoveryCheck, EveryJournalIsAskedAboutWithItsAliasAndLoggedBetweenTheCheckLines) {
    LeftBehind left;
    TqbServerEngine& e = *left.api.engine;
    std::vector<Question> asked;
    e.OnJournalPrompt = [&](int Kind, const std::string& Alias, const std::string& Path,
                            const std::string& FileName, const std::string& ErrorText) {
        asked.push_back({Kind, Alias, Path, FileName, ErrorText});
        return kJournalRollback;
    };
    const size_t from = left.api.log->LineCount();
    left.api.startAndConnect();
    ASSERT_EQ(e.State(), qbsStarted);

    std::sort(asked.begin(), asked.end(),
              [](const Question& a, const Question& b) { return a.kind < b.kind; });
    ASSERT_EQ(asked.size(), 3u);
    const std::string folder = CanonicalFolderPath(left.api.dir.str());
    EXPECT_EQ(asked[0].kind, jkComplete);
    EXPECT_EQ(asked[0].file, "12_1.QB$");
    EXPECT_EQ(asked[1].kind, jkIncomplete);
    EXPECT_EQ(asked[1].file, "13_1.QB$");
    EXPECT_EQ(asked[2].kind, jkSkipped);
    EXPECT_EQ(asked[2].file, "7.QB$");
    EXPECT_NE(asked[2].error.find("7.QB$] is not a Quillbase formatted file"), std::string::npos)
        << asked[2].error;
    for (const Question& q : asked) {
        EXPECT_EQ(q.alias, "Contacts") << q.file;
        EXPECT_EQ(q.path, folder) << q.file;
    }
    const std::vector<std::string> lines = left.checkLines(from);
    const std::string at = " (alias Contacts, " + folder + "): ";
    EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$" + at + "Complete journal file found!"));
    EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$ rolled back."));
    EXPECT_TRUE(hasLine(lines, "Journal file 13_1.QB$" + at + "Incomplete journal file found!"));
    EXPECT_TRUE(hasLine(lines, "Journal file 13_1.QB$ deleted; nothing was replayed."));
    EXPECT_TRUE(hasLine(lines, "Journal file 7.QB$ kept; it is no journal."));
    EXPECT_EQ(lines.size(), 6u);

    // Rolled back; the stray file stays and stands in nobody's way.
    EXPECT_EQ(readFile(left.table), left.before);
    EXPECT_FALSE(left.exists("12_1.QB$"));
    EXPECT_FALSE(left.exists("13_1.QB$"));
    EXPECT_EQ(readFile(left.api.dir.file("7.QB$")), "meeting notes\n");
    EXPECT_EQ(left.contactCount(), 1);
    EXPECT_EQ(asked.size(), 3u); // opening the folder asks nothing again

    // Nor does it keep the configuration kept in the folder from being saved.
    EXPECT_EQ(0, e.AliasAdd("Other", left.api.dir.str(), left.api.client));
    left.renew();
    left.api.startAndConnect();
    std::vector<TqbAliasRecord> aliases;
    EXPECT_EQ(0, left.api.engine->AliasList(aliases, left.api.client));
    EXPECT_TRUE(std::any_of(aliases.begin(), aliases.end(),
                            [](const TqbAliasRecord& a) { return a.Alias.Str() == "Other"; }));
}

// A program without windows: the first button for a complete journal, and the log says so.
TEST(RecoveryCheck, WithoutAHookACompleteJournalRollsForwardAndIsLogged) {
    LeftBehind left;
    const size_t from = left.api.log->LineCount();
    left.api.startAndConnect();
    const std::vector<std::string> lines = left.checkLines(from);
    EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$ rolled forward.")) << ::testing::PrintToString(lines);
    EXPECT_EQ(readFile(left.table), left.after);
    EXPECT_FALSE(left.exists("12_1.QB$"));
    EXPECT_EQ(left.contactCount(), 2);
}

// A journal that cannot be trusted keeps the engine from starting (its tables may need it), and says
// which file it is.
TEST(RecoveryCheck, AnUntrustworthyJournalFailsTheStartAndNamesItself) {
    LeftBehind left;
    std::string j = readFile(left.api.dir.file("12_1.QB$"));
    j.resize(j.size() - 100);
    writeFile(left.api.dir.file("12_1.QB$"), j);
    try {
        left.api.engine->Startup();
        ADD_FAILURE() << "the engine started";
    } catch (const EqbException& x) {
        EXPECT_NE(x.Message().find("12_1.QB$"), std::string::npos) << x.Message();
        EXPECT_EQ(ServerErrorToResult(x.ErrorCode), 9992) << x.Message();
    }
    EXPECT_NE(left.api.engine->State(), qbsStarted);
    EXPECT_TRUE(left.exists("12_1.QB$"));
    EXPECT_EQ(readFile(left.table), left.before);
}

// The images of the commit that added Bob, named as another file of the folder.
std::vector<journaltest::Image> imagesAs(const LeftBehind& left, const std::string& file) {
    std::vector<journaltest::Image> images = journaltest::changeImages(left.table, left.before, left.after);
    for (journaltest::Image& i : images)
        i.name = file;
    return images;
}

// A rebuild's copy that its undone swap took away leaves a journal naming a file that is gone: its
// records are left out, and those of the table in the same journal still roll forward.
TEST(RecoveryCheck, TheRecordsOfACopyTakenAwayAreLeftOutAndTheTablesRollForward) {
    LeftBehind left;
    std::vector<journaltest::Image> images = imagesAs(left, left.api.dir.file("_RIDX2.QB2"));
    for (const journaltest::Image& i : journaltest::changeImages(left.table, left.before, left.after))
        images.push_back(i);
    writeFile(left.api.dir.file("12_1.QB$"), journaltest::journalBytes(1, images));
    const size_t from = left.api.log->LineCount();
    left.api.startAndConnect();
    ASSERT_EQ(left.api.engine->State(), qbsStarted);
    const std::vector<std::string> lines = left.checkLines(from);
    EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$: the records of _RIDX2.QB2 are left out: a rebuild's "
                               "copy taken away with its undone swap."))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$ rolled forward.")) << ::testing::PrintToString(lines);
    EXPECT_FALSE(left.exists("12_1.QB$"));
    EXPECT_FALSE(left.exists("_RIDX2.QB2"));
    EXPECT_EQ(readFile(left.table), left.after);
    EXPECT_EQ(left.contactCount(), 2);
}

// A journal naming a missing file that is no undone copy (a table moved away, the copy of a swap
// still pending) keeps its folder closed: the start says so with its code and log line, and the
// engine goes on; an engine whose configuration is elsewhere refuses only that folder's opening.
TEST(RecoveryCheck, AJournalOfAMissingTableIsReportedWithItsCodeAtStartAndAtOpen) {
    for (const std::string& missing : {std::string("people.QB2"), std::string("_PACK1.QB2")}) {
        LeftBehind left;
        writeFile(left.api.dir.file("12_1.QB$"),
                  journaltest::journalBytes(1, imagesAs(left, left.api.dir.file(missing))));
        if (missing == "_PACK1.QB2")
            writeFile(left.api.dir.file("contacts.SWAP"),
                      "PWSWAP 1\nP\ncontacts\n_PACK1\n_PACKSV1\nQB2\nQB2\n");
        const size_t from = left.api.log->LineCount();
        // Tried again, the start fails again: a failed check never passes for a done one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            int32_t code = 0;
            try {
                left.api.engine->Startup();
            } catch (const EqbException& x) {
                code = ServerErrorToResult(x.ErrorCode);
                EXPECT_NE(x.Message().find(missing), std::string::npos) << x.Message();
            }
            EXPECT_EQ(code, 9992) << missing << ", attempt " << attempt;
            EXPECT_NE(left.api.engine->State(), qbsStarted);
        }
        std::vector<std::string> lines = left.api.log->Lines();
        lines.erase(lines.begin(), lines.begin() + ptrdiff_t(from));
        EXPECT_TRUE(hasLine(lines, "Journal file 12_1.QB$ kept; the folder stays closed."))
            << ::testing::PrintToString(lines);
        EXPECT_TRUE(left.exists("12_1.QB$"));
        EXPECT_EQ(readFile(left.table), left.before);

        pwtest::TempDir config;
        left.renew();
        TqbServerEngine& e = *left.api.engine;
        e.SetConfigDir(config.str() + "/");
        e.Startup();
        ASSERT_EQ(e.State(), qbsStarted);
        TqbHandle client = 0, db = 0;
        uint32_t hash = 0;
        ASSERT_EQ(0, e.ClientAdd(client, "test", "", 10000, hash));
        TqbHandle session = 0;
        ASSERT_EQ(0, e.SessionAdd(client, 10000, session));
        EXPECT_EQ(9992, e.DatabaseOpenPath(client, left.api.dir.str(), qbomReadWrite, qbsmShared, 10000, db))
            << missing;
        EXPECT_EQ(0, e.DatabaseOpenPath(client, config.str(), qbomReadWrite, qbsmShared, 10000, db));
        lines = left.api.log->Lines();
        EXPECT_GE(
            std::count(lines.begin(), lines.end(), "Journal file 12_1.QB$ kept; the folder stays closed."), 2)
            << missing;
        EXPECT_EQ(readFile(left.table), left.before);
    }
}

} // namespace
