// Tables cut short by a power cut after each write of their making (TableBuild, TableCreate and the
// engine's first configuration tables): the next start finds no table or the whole one, nothing of
// the make left, and the name can be made again; with the configuration in the table's folder too.
#include "db/engine/qbsrengn.h"
#include "db/storage/qbtbdata.h"
#include "platform/ByteCodec.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr char kFolder[] = "/db";
constexpr char kTable[] = "people";

// A name indexed in an index file of its own, a city and a unique code in the data file.
TqbServerDataDict peopleDictionary() {
    return enginetest::peopleDictionary(3, true);
}

enum class Make { Build, Create, Configuration };

const char* makeName(Make m) {
    return m == Make::Build ? "TableBuild" : m == Make::Create ? "TableCreate" : "configuration";
}

void PrintTo(Make m, std::ostream* os) {
    *os << makeName(m);
}

struct MakeEngine : engineclock::StartedEngine {
    TqbServerDataDict dict = peopleDictionary();
    explicit MakeEngine(const std::string& config) { start(config, kFolder); }

    void make(Make m) {
        if (m == Make::Build) {
            ASSERT_EQ(0, engine->TableBuild(db, false, kTable, false, dict));
            return;
        }
        // Through a cursor of the engine's host, as the engine's own jobs make their tables.
        ASSERT_EQ(0, engine->DatabaseFrame(db, [&](TqbSrDatabase& d) -> TqbResultCode {
            std::shared_ptr<TqbSrBaseCursor> c = engine->Host().NewCursor(d, 10000);
            const int32_t rc = c->TableCreate(kTable, dict, true, qbsmExclusive, false, false, 0, 0);
            TqbSrTablePtr t = c->TablePtr();
            c->Close();
            if (t) engine->TableList().RemoveTable(t.get());
            return rc;
        }));
    }
    TqbResultCode insert(int code) {
        TqbHandle c = 0;
        if (TqbResultCode rc =
                engine->TableOpen(db, kTable, false, "", 0, qbomReadWrite, qbsmShared, 10000, c, nullptr))
            return rc;
        const TqbResultCode rc = engine->RecordInsert(
            c, qbltNone, enginetest::record(dict, {"n" + std::to_string(code), "c", code, 0}));
        EXPECT_EQ(0, engine->CursorClose(c));
        return rc;
    }
    // Empty when the table opens with every index consistent and no rows; "absent" when it is not
    // there at all.
    std::string whole() {
        TqbHandle h = 0;
        const TqbResultCode rc =
            engine->TableOpen(db, kTable, false, "", 0, qbomReadWrite, qbsmShared, 10000, h, nullptr);
        if (rc == 10024) return "absent";
        if (rc != 0) return "open answered " + std::to_string(rc);
        auto c = engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
        std::string problems = enginetest::checkConsistent(*dynamic_cast<TqbSrTable*>(c->Table()), nullptr);
        if (c->Dictionary().IndexCount() != dict.IndexCount() || c->Dictionary().FileCount() != 2)
            problems += "another dictionary\n";
        c.reset();
        int32_t count = -1;
        EXPECT_EQ(0, engine->TableGetRecordCount(h, count));
        if (count != 0) problems += std::to_string(count) + " rows\n";
        EXPECT_EQ(0, engine->CursorClose(h));
        return problems;
    }
};

// What a make or a swap leaves when it is not settled, and table files without a dictionary,
// in either folder (read from the files, not through the engine).
std::vector<std::string> leftovers() {
    std::vector<std::string> out;
    for (const std::string folder : {"/db", "/cfg"}) {
        std::vector<plat::DirEntry> entries;
        plat::DirList(folder, entries);
        for (auto& d : entries) {
            const std::string path = folder + "/" + d.name;
            std::string bytes;
            if (d.name.rfind("_", 0) == 0 || d.name.find(".SWAP") != std::string::npos)
                out.push_back(path);
            else if (d.name.size() > 4 && d.name.substr(d.name.size() - 4) == ".QB2" &&
                     (plat::FileReadAll(path, bytes) != 0 || bytes.size() < kHdrDictBlock + 4 ||
                      plat::LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + kHdrDictBlock) == 0))
                out.push_back(path + " without a dictionary");
        }
    }
    return out;
}

// Each folder's recovery alone, as the first open of the folder runs it: the configuration's own
// saves, which a read-only start never makes, do not tidy up after it.
void recoverFolders() {
    TqbBufferManager bm;
    TqbSrFolderList folders;
    for (const char* f : {"/db", "/cfg"}) {
        TqbSrFolderPtr p = folders.AddFolder(f, false, &bm);
        folders.ReleaseFolder(p);
    }
}

// The table's files in the folder.
int tableFiles() {
    std::vector<plat::DirEntry> entries;
    plat::DirList(kFolder, entries);
    int n = 0;
    for (auto& d : entries)
        n += d.name.rfind(std::string(kTable) + ".", 0) == 0;
    return n;
}

class MakePowerCut : public ::testing::TestWithParam<std::tuple<Make, std::string>> {};

// Each way of making a table, cut by the power after each of its write calls, with and without the
// writes no sync made durable: every start then finds no table or the whole table.
TEST_P(MakePowerCut, LeavesNoTableOrTheWholeOne) {
    // Plain names, not a structured binding: the lambdas below take them.
    const Make how = std::get<0>(GetParam());
    const std::string config = std::get<1>(GetParam());
    const std::string what = std::string(makeName(how)) + ", configuration in " + config;
    plat::MemoryFiles mem;
    {
        plat::ScopedFiles useMem(mem);
        ASSERT_EQ(plat::DirCreate("/cfg"), 0);
        ASSERT_EQ(plat::DirCreate(kFolder), 0);
        if (how != Make::Configuration) MakeEngine e(config); // the configuration tables first
    }
    plat::PowerCutFiles rec(mem);
    size_t from = 0, to = 0;
    {
        plat::ScopedFiles use(rec);
        if (how == Make::Configuration) {
            from = rec.eventCount();
            MakeEngine e(config);
            to = rec.eventCount();
        } else {
            MakeEngine e(config);
            from = rec.eventCount();
            e.make(how);
            to = rec.eventCount();
        }
    }
    ASSERT_GT(to - from, 10u) << what;
    int absent = 0, whole = 0, cuts = 0;
    enginetest::forEachPowerCut(rec, from, to, what, [&](size_t n, const std::string& at) {
        // Folders the cut came before are made again (a power cut does not remove them).
        plat::DirCreate("/cfg");
        plat::DirCreate(kFolder);
        ++cuts;
        recoverFolders();
        EXPECT_EQ(leftovers(), std::vector<std::string>()) << "the folders' recovery; " << at;
        MakeEngine e(config);
        ASSERT_EQ(e.engine->State(), qbsStarted) << at;
        EXPECT_EQ(leftovers(), std::vector<std::string>()) << at;
        if (how == Make::Configuration) {
            // Made again by this start, each whole: the user table is the configuration's test.
            EXPECT_EQ(e.whole(), "absent") << at;
            e.make(Make::Build);
        }
        const std::string state = e.whole();
        if (state == "absent") {
            ++absent;
            EXPECT_EQ(tableFiles(), 0) << at;
            EXPECT_NE(n, to) << "the make that reported success was lost; " << at;
            e.make(how == Make::Create ? Make::Create : Make::Build);
            EXPECT_EQ(e.whole(), "") << "made again; " << at;
        } else {
            ++whole;
            EXPECT_EQ(state, "") << at;
            EXPECT_EQ(13060, e.engine->TableBuild(e.db, false, kTable, false, e.dict)) << at;
        }
        // The unique index refuses a code taken, and takes a new one.
        EXPECT_EQ(0, e.insert(1)) << at;
        EXPECT_NE(0, e.insert(1)) << at;
        EXPECT_EQ(0, e.insert(2)) << at;
    });
    if (HasFailure()) return;
    if (how == Make::Configuration)
        std::printf("%s: %d cuts, each start found its tables whole or made them\n", what.c_str(), cuts);
    else
        std::printf("%s: %d cuts, %d left no table, %d the whole one\n", what.c_str(), cuts, absent, whole);
    if (how != Make::Configuration) {
        EXPECT_GT(absent, 0) << what;
        EXPECT_GT(whole, 0) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMakeWhereverTheConfigurationIs, MakePowerCut,
                         ::testing::Combine(::testing::Values(Make::Build, Make::Create, Make::Configuration),
                                            ::testing::Values(std::string("/db/"), std::string("/cfg/"))),
                         [](const auto& info) {
                             return std::string(makeName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == "/db/" ? "_ConfigurationInTheFolder"
                                                                       : "_ConfigurationApart");
                         });

// A table file with a header and no dictionary, as a make cut short used to leave it, in a folder
// whose path is longer than a table name: each operation names the whole file and why it cannot
// open it, and a delete that removes it succeeds.
TEST(HeaderOnlyTable, IsNamedWholeByEveryOperationAndADeleteThatRemovesItSucceeds) {
    plat::MemoryFiles mem;
    plat::ScopedFiles useMem(mem);
    const std::string folder = "/srv/pagewright/served-tables-of-the-desk";
    const std::string file = folder + "/T07.QB2";
    ASSERT_EQ(plat::DirCreate("/cfg"), 0);
    ASSERT_EQ(plat::DirCreate("/srv"), 0);
    ASSERT_EQ(plat::DirCreate("/srv/pagewright"), 0);
    ASSERT_EQ(plat::DirCreate(folder), 0);
    engineclock::StartedEngine e;
    e.start("/cfg/", folder);
    CreateTableFile(file, peopleDictionary(), false);
    size_t seen = 0;
    auto named = [&](const std::string& op) {
        const std::string want =
            "Exception Cvt: The data dictionary is not present in the file [" + file + "]";
        const auto lines = e.log->Lines();
        std::string logged;
        for (size_t i = seen; i < lines.size(); ++i)
            logged += lines[i] + "\n";
        EXPECT_NE(logged.find(want + "\n"), std::string::npos) << op << " logged:\n" << logged;
        seen = lines.size();
    };
    TqbHandle c = 0;
    EXPECT_EQ(9992,
              e.engine->TableOpen(e.db, "T07", false, "", 0, qbomReadWrite, qbsmShared, 10000, c, nullptr));
    named("open");
    EXPECT_EQ(9992, e.engine->TableRename(e.db, "T07", "T08"));
    named("rename");
    EXPECT_EQ(9992, e.engine->TableEmpty(e.db, 0, "T07"));
    named("empty");
    EXPECT_TRUE(plat::FileExists(file));
    EXPECT_EQ(0, e.engine->TableDelete(e.db, "T07"));
    EXPECT_FALSE(plat::FileExists(file));
    EXPECT_EQ(10024, e.engine->TableDelete(e.db, "T07"));
}

} // namespace
