// Rebuilds cut short by a power cut after each of their writes: the next start finds every index
// holding every row, the verifier finds nothing, and a unique index still refuses a duplicate; with
// the engine's configuration in the table's folder too.
#include "db/base/qblllog.h"
#include "db/engine/qbsrengn.h"
#include "platform/ByteCodec.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kRows = 600; // of about 1 KB: the job commits after every 1,000 or so, here mid-way
constexpr char kFolder[] = "/db";

// A unique name, a city shared by many, padding.
// With a note: the dictionary a restructure gives it.
TqbServerDataDict citizensDictionary(bool withNote = false) {
    TqbServerDataDict d(4096);
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("city", "", qbtShortString, 20, 0, false);
    for (int i = 0; i < 4; ++i)
        d.AddField("pad" + std::to_string(i), "", qbtShortString, 250, 0, false);
    if (withNote) d.AddField("note", "", qbtShortString, 40, 0, false);
    const int32_t name = 0, city = 1;
    d.AddIndex("byName", "", 0, 1, &name, nullptr, false, true, false);
    d.AddIndex("byCity", "", 0, 1, &city, nullptr, true, true, false);
    return d;
}

std::string nameOf(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "n%05d", i);
    return b;
}

// An engine started over the installed file system with the folder as its database; its
// configuration lives in "/cfg" unless given.
struct FolderEngine : engineclock::StartedEngine {
    TqbServerDataDict dict = citizensDictionary();
    int rows = kRows;
    int32_t counted = -1;
    int32_t fields = 0; // of the table consistency() saw

    explicit FolderEngine(const std::string& configDir = "/cfg/", int Rows = kRows) : rows(Rows) {
        start(configDir, kFolder);
    }

    TqbHandle open(const std::string& index = "") {
        TqbHandle c = 0;
        EXPECT_EQ(0, engine->TableOpen(db, "citizens", false, index, 0, qbomReadWrite, qbsmShared, 10000, c,
                                       nullptr));
        return c;
    }
    std::vector<uint8_t> row(int i) {
        std::vector<uint8_t> r(size_t(dict.RecordLength()));
        dict.InitRecord(r.data());
        auto set = [&](int f, const std::string& s) {
            std::vector<uint8_t> v(size_t(dict.FieldLength(f)), 0);
            v[0] = uint8_t(s.size());
            std::memcpy(v.data() + 1, s.data(), s.size());
            dict.SetRecordField(f, r.data(), v.data());
        };
        set(0, nameOf(i));
        set(1, "c" + std::to_string(i % 7));
        for (int f = 2; f < dict.FieldCount(); ++f)
            set(f, std::string(size_t(std::min(200, dict.FieldLength(f) - 1)), char('A' + (i + f) % 26)));
        return r;
    }
    // The result of inserting row i in a transaction of its own.
    TqbResultCode insert(int i) {
        TqbHandle c = open();
        TqbResultCode rc = engine->RecordInsert(c, qbltNone, row(i));
        EXPECT_EQ(0, engine->CursorClose(c));
        return rc;
    }
    // Empty when every index holds every row and the verifier finds nothing; AllOrNone takes an
    // empty table too.
    std::string consistency(bool AllOrNone = false) {
        TqbHandle h = open();
        auto c = engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
        if (!c) return "not open";
        std::string problems = enginetest::checkConsistent(*dynamic_cast<TqbSrTable*>(c->Table()), nullptr);
        fields = c->Dictionary().FieldCount();
        int32_t count = 0;
        EXPECT_EQ(0, engine->TableGetRecordCount(h, count));
        counted = count;
        if (count != rows && !(AllOrNone && count == 0)) problems += std::to_string(count) + " rows\n";
        EXPECT_EQ(0, engine->CursorClose(h));
        return problems;
    }
};

// Names a swap leaves behind when it is not settled.
std::vector<std::string> leftovers() {
    std::vector<plat::DirEntry> entries;
    plat::DirList(kFolder, entries);
    std::vector<std::string> out;
    for (auto& d : entries)
        if (d.name.rfind("_", 0) == 0 || d.name.find(".SWAP") != std::string::npos ||
            d.name.find(".QB$") != std::string::npos)
            out.push_back(d.name);
    return out;
}

// Waits for the job Id to end and checks that it ended well; returns the records it wrote.
int32_t jobWritten(FolderEngine& e, TqbHandle id) {
    EXPECT_TRUE(e.engine->RebuildWaitIdle(120000));
    TqbRebuildStatus s{};
    bool present = false;
    EXPECT_EQ(0, e.engine->RebuildGetStatus(id, e.client, present, s));
    EXPECT_TRUE(present);
    EXPECT_EQ(s.ErrorCode, 0);
    return s.RecordsWritten;
}

TEST(ReindexPowerCut, EveryIndexHoldsEveryRowAndAUniqueIndexRefusesADuplicateAfterACutAnywhere) {
    plat::MemoryFiles mem;
    std::string before;
    plat::ScopedFiles useMem(mem);
    ASSERT_EQ(plat::DirCreate("/cfg"), 0);
    ASSERT_EQ(plat::DirCreate(kFolder), 0);
    {
        FolderEngine e;
        ASSERT_EQ(0, e.engine->TableBuild(e.db, false, "citizens", false, e.dict));
        TqbHandle c = e.open();
        ASSERT_EQ(0, e.engine->TransactionStart(e.db, false));
        for (int i = 0; i < kRows; ++i)
            ASSERT_EQ(0, e.engine->RecordInsert(c, qbltNone, e.row(i)));
        ASSERT_EQ(0, e.engine->TransactionCommit(e.db));
        ASSERT_EQ(0, e.engine->CursorClose(c));
        ASSERT_EQ(e.consistency(), "");
    }
    ASSERT_EQ(plat::FileReadAll("/db/citizens.QB2", before), 0);

    plat::PowerCutFiles rec(mem);
    size_t from = 0, to = 0;
    {
        plat::ScopedFiles use(rec);
        FolderEngine e;
        from = rec.eventCount();
        TqbHandle id = 0;
        ASSERT_EQ(0, e.engine->TableReindex(e.db, "citizens", "byName", 0, id));
        ASSERT_EQ(jobWritten(e, id), kRows);
        to = rec.eventCount();
    }
    ASSERT_GT(to - from, 30u);

    // A cut after each write call (a write cut short between its pages is the commit tests' part).
    int undone = 0, finished = 0;
    enginetest::forEachPowerCut(rec, from, to, "", [&](size_t n, const std::string& at) {
        {
            FolderEngine e;
            EXPECT_EQ(e.consistency(), "") << at;
            EXPECT_EQ(leftovers(), std::vector<std::string>()) << at;
        }
        // The old table's bytes: the reindex was undone.
        std::string now;
        ASSERT_EQ(plat::FileReadAll("/db/citizens.QB2", now), 0);
        (now == before ? undone : finished)++;
        if (n == to) {
            EXPECT_NE(now, before) << "the reindex that reported success was lost; " << at;
        }
        // The last row the job reaches and the first: both names are taken.
        FolderEngine e;
        EXPECT_NE(0, e.insert(kRows - 1)) << at;
        EXPECT_NE(0, e.insert(0)) << at;
        EXPECT_EQ(0, e.insert(kRows)) << "a new name is taken; " << at;
    });
    if (HasFailure()) return;
    EXPECT_GT(undone, 10);
    EXPECT_GT(finished, 10);
}

enum class Job { Pack, Restructure, Reindex, Empty };

const char* jobName(Job j) {
    switch (j) {
    case Job::Pack:
        return "pack";
    case Job::Restructure:
        return "restructure";
    case Job::Reindex:
        return "reindex";
    default:
        return "empty";
    }
}

void PrintTo(Job j, std::ostream* os) {
    *os << jobName(j);
}

// Runs the job on "citizens" to its successful end.
void runJob(FolderEngine& e, Job j) {
    TqbHandle id = 0;
    TqbServerDataDict noted = citizensDictionary(true);
    switch (j) {
    case Job::Pack:
        ASSERT_EQ(0, e.engine->TablePack(e.db, "citizens", id));
        break;
    case Job::Restructure:
        ASSERT_EQ(0, e.engine->TableRestructure(e.db, "citizens", noted, nullptr, id));
        break;
    case Job::Reindex:
        ASSERT_EQ(0, e.engine->TableReindex(e.db, "citizens", "byCity", 0, id));
        break;
    case Job::Empty:
        ASSERT_EQ(0, e.engine->TableEmpty(e.db, 0, "citizens"));
        return;
    }
    jobWritten(e, id);
}

// Each job that rebuilds a table's files, cut by the power after each of its write calls, with the
// configuration in the table's folder (as the paging program keeps it) and apart: every start
// opens the folder and finds the old table or the new one, whole, and nothing of the job left.
class RebuildPowerCut : public ::testing::TestWithParam<std::tuple<Job, std::string>> {};

TEST_P(RebuildPowerCut, LeavesTheOldTableOrTheNewOne) {
    constexpr int kFew = 12; // one commit of the job's copy
    // Plain names, not a structured binding: the lambdas below take them.
    const Job job = std::get<0>(GetParam());
    const std::string config = std::get<1>(GetParam());
    const std::string what = std::string(jobName(job)) + ", configuration in " + config;
    plat::MemoryFiles mem;
    {
        plat::ScopedFiles useMem(mem);
        ASSERT_EQ(plat::DirCreate("/cfg"), 0);
        ASSERT_EQ(plat::DirCreate(kFolder), 0);
        FolderEngine e(config, kFew);
        ASSERT_EQ(0, e.engine->TableBuild(e.db, false, "citizens", false, e.dict));
        for (int i = 0; i < kFew; ++i)
            ASSERT_EQ(0, e.insert(i));
    }
    plat::PowerCutFiles rec(mem);
    size_t from = 0, to = 0;
    {
        plat::ScopedFiles use(rec);
        FolderEngine e(config, kFew);
        from = rec.eventCount();
        runJob(e, job);
        to = rec.eventCount();
    }
    ASSERT_GT(to - from, 10u) << what;
    int oldOnes = 0, newOnes = 0;
    enginetest::forEachPowerCut(rec, from, to, what, [&](size_t n, const std::string& at) {
        FolderEngine e(config, kFew);
        ASSERT_EQ(e.engine->State(), qbsStarted) << at;
        EXPECT_EQ(e.consistency(job == Job::Empty), "") << at;
        EXPECT_EQ(leftovers(), std::vector<std::string>()) << at;
        const bool isNew = job == Job::Empty         ? e.counted == 0
                           : job == Job::Restructure ? e.fields == e.dict.FieldCount() + 1
                                                     : n == to;
        (isNew ? newOnes : oldOnes)++;
        if (job == Job::Restructure && isNew) e.dict = citizensDictionary(true);
        if (n == to && job != Job::Reindex && job != Job::Pack) {
            EXPECT_TRUE(isNew) << "the job that reported success was lost; " << at;
        }
        // A unique index still refuses a name taken, and takes a new one.
        if (e.counted != 0) {
            EXPECT_NE(0, e.insert(kFew - 1)) << at;
        }
        EXPECT_EQ(0, e.insert(kFew)) << at;
    });
    if (HasFailure()) return;
    if (job == Job::Empty || job == Job::Restructure) {
        EXPECT_GT(oldOnes, 0) << what;
        EXPECT_GT(newOnes, 0) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryJobWhereverTheConfigurationIs, RebuildPowerCut,
                         ::testing::Combine(::testing::Values(Job::Reindex, Job::Pack, Job::Restructure,
                                                              Job::Empty),
                                            ::testing::Values(std::string("/db/"), std::string("/cfg/"))),
                         [](const auto& info) {
                             return std::string(jobName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == "/db/" ? "_ConfigurationInTheFolder"
                                                                       : "_ConfigurationApart");
                         });

} // namespace
