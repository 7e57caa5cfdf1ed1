// The contacts tool run as a program on a temporary folder: the first run makes the contacts table
// with the demo contacts, a later run leaves a changed table as it is, a bad folder is refused; the
// contacts' record images.
#include "db/storage/qbtbdata.h"
#include "db/storage/qbtbverify.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "tests/db/JournalTestSupport.h"
#include "tests/db/engine/EngineApiSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>

extern char** environ;

using namespace engineapi;

namespace {

struct ToolRun {
    int status = -1; // exit status; -1 when it did not exit normally
    std::string output;
};

// Starts the tool with args, its standard output and error both going to the scratch folder's
// "tool-output.txt"; 0 when it cannot start.
pid_t startTool(const pwtest::TempDir& scratch, const std::vector<std::string>& args) {
    const std::string tool = PW_BINARY_DIR "/tools/mkcontacts";
    const std::string out = scratch.file("tool-output.txt");
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        ADD_FAILURE() << "cannot start " << tool << ": " << std::strerror(err);
        return 0;
    }
    return pid;
}

// Runs the tool with args, its standard output and error both captured.
ToolRun runTool(const pwtest::TempDir& scratch, const std::vector<std::string>& args) {
    const pid_t pid = startTool(scratch, args);
    ToolRun run;
    if (pid == 0) return run;
    const std::string out = scratch.file("tool-output.txt");
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.output = pwtest::readFile(out);
    return run;
}

// The contacts table's data file in folder, its name matched without regard to case.
std::string tableFile(const std::filesystem::path& folder) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::string n = e.path().filename().string();
        std::transform(n.begin(), n.end(), n.begin(),
                       [](unsigned char ch) { return char(std::tolower(ch)); });
        if (n == "contacts.qb2") return e.path().string();
    }
    return {};
}

// An engine of the test's own on the tool's folder, with the contacts table open on "nameIndex"
// and its dictionary as stored in the table.
struct Look {
    Api api{false};
    TqbDataDictionary dict;
    TqbHandle cursor = 0;

    explicit Look(const std::string& folder) {
        api.startAndConnect(folder);
        cls::TMemoryStream s;
        EXPECT_EQ(0, api.engine->TableGetDictionary(api.db, "contacts", s));
        dict.ReadFromStream(std::string_view(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size())));
        EXPECT_EQ(0, api.engine->TableOpen(api.db, "contacts", false, "nameIndex", 0, qbomReadWrite,
                                           qbsmShared, 10000, cursor, nullptr));
    }
    // Every contact in index order; f runs on each with the cursor on it.
    std::vector<Contact> walk(const std::function<void(const Contact&)>& f = {}) {
        std::vector<Contact> out;
        EXPECT_EQ(0, api.engine->CursorSetToBegin(cursor));
        std::vector<uint8_t> r(size_t(dict.RecordLength()));
        TqbResultCode rc;
        while ((rc = api.engine->RecordGetNext(cursor, qbltNone, r)) == 0) {
            out.push_back(contactOf(dict, r.data()));
            if (f) f(out.back());
        }
        EXPECT_EQ(8706, rc) << "a walk ends at the end of the table";
        return out;
    }
};

std::vector<std::string> namesOf(const std::vector<Contact>& cs) {
    std::vector<std::string> names;
    for (const Contact& c : cs)
        names.push_back(c.name);
    return names;
}

} // namespace

TEST(MkContacts, FirstRunMakesTheDemoTableAndLaterRunsNeverOverwriteIt) {
    pwtest::TempDir scratch, folder;
    ToolRun first = runTool(scratch, {folder.str()});
    ASSERT_EQ(0, first.status) << first.output;
    EXPECT_NE(std::string::npos, first.output.find("made")) << first.output;
    {
        Look look(folder.str());
        // The fields the paging client reads, by name, with their types and sizes.
        const std::vector<std::pair<std::string, int32_t>> fields = {
            {"name", qbtShortString},     {"id", qbtShortString},    {"servicenumber", qbtInt32},
            {"password", qbtShortString}, {"memberGr1", qbtBoolean}, {"memberGr2", qbtBoolean},
            {"memberGr3", qbtBoolean},    {"memberGr4", qbtBoolean}, {"memberGr5", qbtBoolean},
            {"memberGr6", qbtBoolean},    {"memberGr7", qbtBoolean}, {"memberGr8", qbtBoolean},
            {"memberGr9", qbtBoolean},    {"memberGr10", qbtBoolean}};
        ASSERT_EQ(int32_t(fields.size()), look.dict.FieldCount());
        for (int32_t i = 0; i < look.dict.FieldCount(); ++i) {
            EXPECT_EQ(fields[size_t(i)].first, look.dict.FieldName(i));
            EXPECT_EQ(fields[size_t(i)].second, look.dict.FieldType(i)) << fields[size_t(i)].first;
        }
        EXPECT_EQ(41, look.dict.FieldLength(0));
        EXPECT_EQ(41, look.dict.FieldLength(1));
        EXPECT_EQ(21, look.dict.FieldLength(3));
        const int32_t ix = look.dict.GetIndexFromName("nameIndex");
        ASSERT_GE(ix, 0);
        EXPECT_TRUE(look.dict.IndexIsCaseInsensitive(ix));
        EXPECT_FALSE(look.dict.IndexAllowDups(ix));

        const std::vector<Contact> rows = look.walk();
        EXPECT_EQ((std::vector<std::string>{"Ada Lovelace", "Alan Turing", "Grace Hopper", "Ken Thompson"}),
                  namesOf(rows));
        ASSERT_EQ(kDemoContacts.size(), rows.size());
        for (const Contact& row : rows) {
            auto demo = std::find_if(kDemoContacts.begin(), kDemoContacts.end(),
                                     [&](const ContactRow& d) { return d.name == row.name; });
            ASSERT_NE(demo, kDemoContacts.end()) << row.name;
            EXPECT_EQ(demo->id, row.id);
            EXPECT_EQ(1, row.service) << row.name;
            EXPECT_EQ(demo->password, row.password);
            EXPECT_TRUE(std::equal(std::begin(row.groups), std::end(row.groups), std::begin(demo->groups)))
                << row.name;
        }
        EXPECT_EQ("4711", rows[2].password);
        EXPECT_TRUE(rows[2].groups[0] && rows[2].groups[1] && !rows[2].groups[2]);

        // The user's own changes: one contact edited, one deleted, one added.
        look.walk([&](const Contact& c) {
            std::vector<uint8_t> r(size_t(look.dict.RecordLength()));
            if (c.name == "Grace Hopper") {
                Contact changed = c;
                changed.id = "5559999";
                EXPECT_EQ(
                    0, look.api.engine->RecordModify(look.cursor, contactRecord(look.dict, changed), true));
            } else if (c.name == "Ken Thompson") {
                EXPECT_EQ(0, look.api.engine->RecordDelete(look.cursor, r));
            }
        });
        EXPECT_EQ(0, look.api.engine->RecordInsert(look.cursor, qbltNone,
                                                   contactRecord(look.dict, {"Zoe", "5550200", 2, "", {}})));
    }

    ToolRun second = runTool(scratch, {folder.str()});
    ASSERT_EQ(0, second.status) << second.output;
    EXPECT_NE(std::string::npos, second.output.find("exists already")) << second.output;
    {
        Look look(folder.str());
        const std::vector<Contact> rows = look.walk();
        EXPECT_EQ((std::vector<std::string>{"Ada Lovelace", "Alan Turing", "Grace Hopper", "Zoe"}),
                  namesOf(rows));
        ASSERT_EQ(4u, rows.size());
        EXPECT_EQ("5559999", rows[2].id);
        EXPECT_EQ(2, rows[3].service);
    }

    const std::string file = tableFile(folder.path());
    ASSERT_FALSE(file.empty());
    const TqbVerifyReport report = VerifyTableFileOnDisk(file);
    EXPECT_TRUE(report.empty()) << FormatVerifyProblems(report);
}

TEST(MkContacts, RefusesAMissingFolderAndAWrongCommandLine) {
    pwtest::TempDir scratch, folder;
    const std::string missing = folder.file("nowhere");
    ToolRun run = runTool(scratch, {missing});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.output.find("no such folder")) << run.output;
    pwtest::writeFile(folder.file("plain"), "x");
    run = runTool(scratch, {folder.file("plain")});
    EXPECT_EQ(1, run.status);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(2, runTool(scratch, {}).status);
    EXPECT_EQ(2, runTool(scratch, {"a", "b"}).status);
    EXPECT_TRUE(tableFile(folder.path()).empty());
}

// A run after one cut short: the journal it rolls forward and the stray file it keeps are said by
// name, and the configuration it could save only once the journal was recovered is stored.
TEST(MkContacts, SaysWhichJournalItRolledForwardAndWhichFileItKeptAndStoresItsConfiguration) {
    pwtest::TempDir scratch, folder;
    ASSERT_EQ(0, runTool(scratch, {folder.str()}).status);
    const std::string file = tableFile(folder.path());
    const std::string before = pwtest::readFile(file);
    std::string after;
    {
        Look look(folder.str());
        EXPECT_EQ(0, look.api.engine->RecordInsert(look.cursor, qbltNone,
                                                   contactRecord(look.dict, {"Zoe", "5550200", 2, "", {}})));
        after = pwtest::readFile(file);
    }
    ASSERT_NE(before, after);
    pwtest::writeFile(file, before);
    pwtest::writeFile(folder.file("12_1.QB$"),
                      journaltest::journalBytes(1, journaltest::changeImages(file, before, after)));
    pwtest::writeFile(folder.file("7.QB$"), "meeting notes\n");
    // The users' table is made again, with the default administrator, in the run that recovers.
    ASSERT_TRUE(std::filesystem::remove(folder.file("QBSUSER.QB2")));

    const ToolRun run = runTool(scratch, {folder.str()});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(folder.str() + ": Journal file 12_1.QB$ rolled forward."))
        << run.output;
    EXPECT_NE(std::string::npos,
              run.output.find(folder.str() + ": Journal file 7.QB$ kept; it is no journal."))
        << run.output;
    EXPECT_NE(std::string::npos, run.output.find("exists already")) << run.output;
    EXPECT_EQ(pwtest::readFile(file), after);
    EXPECT_FALSE(std::filesystem::exists(folder.file("12_1.QB$")));
    EXPECT_EQ(pwtest::readFile(folder.file("7.QB$")), "meeting notes\n");
    EXPECT_TRUE(std::filesystem::exists(folder.file("QBSUSER.QB2"))) << run.output;

    // A run with nothing to recover says nothing of it.
    const ToolRun quiet = runTool(scratch, {folder.str()});
    EXPECT_EQ(0, quiet.status) << quiet.output;
    EXPECT_EQ(std::string::npos, quiet.output.find("12_1.QB$")) << quiet.output;
}

namespace {

// The folder's files that no finished run leaves: the fill table and a make's or a swap's copies.
std::vector<std::string> unfinished(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string n = e.path().filename().string();
        if (n.find("_mkfill") != std::string::npos || n.rfind("_", 0) == 0 ||
            n.find(".SWAP") != std::string::npos)
            out.push_back(n);
    }
    return out;
}

// True once the folder holds a file whose name (in lower case) starts with one of prefixes and,
// unless empty, ends with suffix.
bool shows(const std::filesystem::path& folder, std::initializer_list<const char*> prefixes,
           const std::string& suffix) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        std::string n = e.path().filename().string();
        std::transform(n.begin(), n.end(), n.begin(),
                       [](unsigned char ch) { return char(std::tolower(ch)); });
        for (const char* p : prefixes)
            if (n.rfind(p, 0) == 0 && n.size() >= suffix.size() &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                return true;
    }
    return false;
}

// Watches folder (its names and sizes) while the tool runs and kills it with SIGKILL once it has
// shown `at` changes (at once for 0). The number of changes seen; status: how the tool ended.
int killAtChange(pid_t pid, const std::filesystem::path& folder, int at, int& status) {
    auto look = [&] {
        std::vector<std::pair<std::string, uintmax_t>> seen;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
            std::error_code sizeError;
            const uintmax_t size = e.is_regular_file(sizeError) ? e.file_size(sizeError) : 0;
            seen.emplace_back(e.path().filename().string(), sizeError ? 0 : size);
        }
        std::sort(seen.begin(), seen.end());
        return seen;
    };
    int changes = 0;
    auto last = look();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (changes < at) {
        if (waitpid(pid, &status, WNOHANG) == pid) return changes;
        if (std::chrono::steady_clock::now() > deadline) break; // a tool that hangs is killed
        auto now = look();
        if (now != last) {
            ++changes;
            last = std::move(now);
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return changes;
}

int killRounds() {
    const char* s = std::getenv("PW_MKCONTACTS_KILLS");
    return s ? std::max(1, std::atoi(s)) : 10;
}

} // namespace

// The tool killed at a random moment of its run and run again, each round in a new folder: the
// second run always ends with exactly the four demo contacts, read by an engine of the test's own.
TEST(MkContacts, KilledAnywhereAndRunAgainItEndsWithTheFourDemoContacts) {
    pwtest::TempDir scratch;
    // How many changes of its folder a whole run shows here: the kills land after any of them.
    int whole = 0;
    {
        pwtest::TempDir folder;
        const pid_t pid = startTool(scratch, {folder.str()});
        ASSERT_NE(pid, 0);
        int status = 0;
        whole = killAtChange(pid, folder.path(), std::numeric_limits<int>::max(), status);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_GT(whole, 0);
    }
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> anywhere(1, whole), soon(0, 3);
    int killed = 0, made = 0, found = 0;
    const int rounds = killRounds();
    for (int round = 0; round < rounds; ++round) {
        pwtest::TempDir folder;
        const pid_t pid = startTool(scratch, {folder.str()});
        ASSERT_NE(pid, 0);
        int status = 0;
        bool ended = false;
        // A third of the kills land while the table is being made (within a few changes of its
        // first file), a third while it is filled (within a few changes of its data file under a
        // contacts name), the rest after any change of the folder.
        const int kind = round % 3;
        int changes = anywhere(rng);
        if (kind != 0) {
            while (!ended && !(kind == 1 ? shows(folder.path(), {"contacts", "_make"}, "")
                                         : shows(folder.path(), {"contacts"}, ".qb2")))
                ended = waitpid(pid, &status, WNOHANG) == pid;
            changes = soon(rng);
        }
        if (!ended) killAtChange(pid, folder.path(), changes, status);
        const std::string what = "round " + std::to_string(round) + ", kill " + std::to_string(changes) +
                                 " changes of the folder after " +
                                 (kind == 0   ? "the start"
                                  : kind == 1 ? "the table's first file showed"
                                              : "its data file showed");
        killed += WIFSIGNALED(status) ? 1 : 0;
        const ToolRun again = runTool(scratch, {folder.str()});
        ASSERT_EQ(0, again.status) << what << "\n" << again.output;
        if (again.output.find("contacts table made") != std::string::npos)
            ++made;
        else if (again.output.find("exists already") != std::string::npos)
            ++found;
        else
            ADD_FAILURE() << what << "\n" << again.output;
        EXPECT_EQ(unfinished(folder.path()), std::vector<std::string>()) << what;
        Look look(folder.str());
        EXPECT_EQ((std::vector<std::string>{"Ada Lovelace", "Alan Turing", "Grace Hopper", "Ken Thompson"}),
                  namesOf(look.walk()))
            << what << "\n"
            << again.output;
        // The demo's groups come with its contacts, whenever the first run was cut.
        std::string settings;
        EXPECT_EQ(0, plat::FileReadAll(plat::JoinPath(folder.str(), "snppqorn.ini"), settings)) << what;
        EXPECT_NE(settings.find("Pioneers"), std::string::npos) << what << "\n" << settings;
        if (HasFailure()) return;
    }
    std::printf("%d rounds: %d runs killed, then %d second runs made the table and %d found it whole\n",
                rounds, killed, made, found);
}

// Killed as soon as the table has its name, the tool has already made the settings file that goes
// with it: the run that finds the table whole writes none (the folder is the user's by then).
TEST(MkContacts, TheSettingsFileIsThereBeforeTheTableHasItsName) {
    pwtest::TempDir scratch, folder;
    const pid_t pid = startTool(scratch, {folder.str()});
    ASSERT_NE(pid, 0);
    int status = 0;
    bool ended = false;
    while (!ended && !shows(folder.path(), {"contacts.qb2"}, ""))
        ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) killAtChange(pid, folder.path(), 0, status);
    EXPECT_TRUE(std::filesystem::exists(folder.file("snppqorn.ini")));
    const ToolRun again = runTool(scratch, {folder.str()});
    EXPECT_EQ(0, again.status) << again.output;
    std::string settings;
    EXPECT_EQ(0, plat::FileReadAll(plat::JoinPath(folder.str(), "snppqorn.ini"), settings));
    EXPECT_NE(settings.find("Systems"), std::string::npos) << settings;
}

// A table an earlier run built and did not finish filling is its own: the next run makes it again.
// A contacts table whose file has no dictionary is said so, and the run fails, the file untouched.
TEST(MkContacts, MakesAnUnfinishedTableOfItsOwnAgainAndRefusesATableWithoutADictionary) {
    pwtest::TempDir scratch, folder;
    {
        Api api(false);
        api.startAndConnect(folder.str());
        const TqbHandle c = api.contacts("contacts_mkfill");
        EXPECT_EQ(
            0, api.engine->RecordInsert(c, qbltNone, contactRecord(contactsDictionary(), kDemoContacts[0])));
        EXPECT_EQ(0, api.engine->CursorClose(c));
    }
    const ToolRun run = runTool(scratch, {folder.str()});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("contacts table made")) << run.output;
    EXPECT_EQ(unfinished(folder.path()), std::vector<std::string>());
    {
        Look look(folder.str());
        EXPECT_EQ(4u, look.walk().size());
    }

    pwtest::TempDir bare;
    const std::string file = bare.file("contacts.QB2");
    CreateTableFile(file, contactsDictionary(), false);
    const std::string before = pwtest::readFile(file);
    const ToolRun refused = runTool(scratch, {bare.str()});
    EXPECT_EQ(1, refused.status) << refused.output;
    EXPECT_EQ(std::string::npos, refused.output.find("exists already")) << refused.output;
    EXPECT_NE(std::string::npos,
              refused.output.find("The data dictionary is not present in the file [" + file + "]"))
        << refused.output;
    EXPECT_EQ(pwtest::readFile(file), before);
}

TEST(ContactsTable, RecordImagesCutLongTextAndSkipFieldsAnOlderTableLacks) {
    const TqbServerDataDict d = contactsDictionary();
    Contact c{std::string(300, 'n'), "5550101", 3, std::string(30, 'p'), {}};
    c.groups[9] = true;
    const std::vector<uint8_t> r = contactRecord(d, c);
    const Contact back = contactOf(d, r.data());
    EXPECT_EQ(std::string(40, 'n'), back.name);
    EXPECT_EQ("5550101", back.id);
    EXPECT_EQ(3, back.service);
    EXPECT_EQ(std::string(20, 'p'), back.password);
    EXPECT_TRUE(back.groups[9]);
    EXPECT_FALSE(back.groups[8]);

    // No "password" field: the groups follow "servicenumber" directly.
    TqbServerDataDict older;
    older.SetTableName("contacts");
    older.AddField("name", "", qbtShortString, 40, 0, true);
    older.AddField("id", "", qbtShortString, 40, 0, false);
    older.AddField("servicenumber", "", qbtInt32, 2, 0, false);
    for (int i = 1; i <= 10; ++i)
        older.AddField("memberGr" + std::to_string(i), "", qbtBoolean, 0, 0, false);
    const std::vector<uint8_t> o = contactRecord(older, c);
    ASSERT_EQ(size_t(older.RecordLength()), o.size());
    EXPECT_EQ(1, o[size_t(older.FieldOffset(older.GetFieldFromName("memberGr10")))]);
    EXPECT_EQ(0, o[size_t(older.FieldOffset(older.GetFieldFromName("memberGr1")))]);
    EXPECT_FALSE(d.CheckRequiredFields(contactRecord(d, {"", "1", 1, "", {}}).data()))
        << "no name stays null";
}
