// Scrambled table files: a table whose dictionary asks for encryption is scrambled on disk by every
// path that writes its blocks when the configuration allows encryption, plain when it does not,
// and read back whole either way; the configuration tables follow the same setting.
#include "db/base/qblllog.h"
#include "db/base/qbtbcryp.h"
#include "db/engine/qbsrengn.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbtbbase.h"
#include "db/storage/qbtbverify.h"
#include "platform/ByteCodec.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/db/engine/EngineClockSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr char kFolder[] = "/db";
constexpr char kScript[] = "/cfg/pagebase.scr";
// In every note and every BLOB: never on disk in a scrambled table.
constexpr char kSecret[] = "-CONFIDENTIAL-";

// A unique name in an index file of its own, a note indexed in the data file, a BLOB in a BLOB
// file: every kind of block and every file of a table.
TqbServerDataDict vaultDictionary(bool extraField = false) {
    TqbServerDataDict d(4096);
    d.AddFile("keys", "QBX", qbfIndex, 4096);
    d.AddFile("memos", "QBB", qbfBLOB, 4096);
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("note", "", qbtShortString, 60, 0, false);
    d.AddField("memo", "", qbtBLOB, 0, 0, false);
    if (extraField) d.AddField("extra", "", qbtInt32, 0, 0, false);
    const int32_t name = 0, note = 1;
    d.AddIndex("byName", "", 1, 1, &name, nullptr, false, true, false);
    d.AddIndex("byNote", "", 0, 1, &note, nullptr, true, true, false);
    d.SetIsEncrypted(true);
    return d;
}

struct Row {
    std::string note, memo; // memo empty: the field is null
    bool operator==(const Row&) const = default;
};
using Rows = std::map<std::string, Row>; // by name

std::string nameOf(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "r%04d", i);
    return b;
}

// Row i: every other one with a BLOB, some of them longer than a block.
Row rowOf(int i) {
    Row r;
    r.note = "note" + std::string(kSecret) + std::to_string(i);
    if (i % 2 == 0)
        for (int n = 0; r.memo.size() < size_t(600 + (i % 3) * 3000); ++n)
            r.memo += "memo" + std::string(kSecret) + std::to_string(i) + "." + std::to_string(n) + ";";
    return r;
}

// An engine over the installed file system, the folder open as its database; its configuration
// lives in "/cfg". With allowEncrypt set the script file sets ALLOWENCRYPT at the start.
struct Vault : engineclock::StartedEngine {
    TqbServerDataDict dict;

    explicit Vault(const char* allowEncrypt = nullptr, bool extraField = false)
        : dict(vaultDictionary(extraField)) {
        if (allowEncrypt) {
            EXPECT_EQ(0,
                      plat::FileReplaceAtomic(kScript, std::string("ALLOWENCRYPT=") + allowEncrypt + "\r\n"));
            engine->ScriptFile = kScript;
        }
        start("/cfg/", kFolder);
    }

    TqbHandle open(const std::string& table) {
        TqbHandle c = 0;
        EXPECT_EQ(0, engine->TableOpen(db, table, false, "byName", 0, qbomReadWrite, qbsmShared, 10000, c,
                                       nullptr));
        return c;
    }
    void build(const std::string& table) { ASSERT_EQ(0, engine->TableBuild(db, false, table, false, dict)); }

    // Rows first to last-1 in one transaction, each memo in a BLOB of its own.
    void insert(const std::string& table, int first, int last, Rows& want) {
        TqbHandle c = open(table);
        ASSERT_EQ(0, engine->TransactionStart(db, false));
        for (int i = first; i < last; ++i) {
            const Row r = rowOf(i);
            std::vector<uint8_t> rec(size_t(dict.RecordLength()));
            dict.InitRecord(rec.data());
            auto text = [&](int f, const std::string& s) {
                std::vector<uint8_t> v(size_t(dict.FieldLength(f)), 0);
                v[0] = uint8_t(s.size());
                std::memcpy(v.data() + 1, s.data(), s.size());
                dict.SetRecordField(f, rec.data(), v.data());
            };
            text(0, nameOf(i));
            text(1, r.note);
            if (!r.memo.empty()) {
                uint64_t nr = 0;
                ASSERT_EQ(0, engine->BLOBCreate(c, nr));
                ASSERT_EQ(0, engine->BLOBWrite(
                                 c, nr, 0,
                                 std::span(reinterpret_cast<const uint8_t*>(r.memo.data()), r.memo.size())));
                uint8_t b[8];
                plat::StoreLE64(b, nr);
                dict.SetRecordField(2, rec.data(), b);
            }
            ASSERT_EQ(0, engine->RecordInsert(c, qbltNone, rec));
            want[nameOf(i)] = r;
        }
        ASSERT_EQ(0, engine->TransactionCommit(db));
        EXPECT_EQ(0, engine->CursorClose(c));
    }

    // Every row in name order, its BLOB read whole.
    Rows rows(const std::string& table) {
        Rows out;
        TqbHandle c = open(table);
        std::vector<uint8_t> rec(size_t(dict.RecordLength()));
        EXPECT_EQ(0, engine->CursorSetToBegin(c));
        while (engine->RecordGetNext(c, qbltNone, rec) == 0) {
            const uint8_t* p = rec.data();
            const std::string name(reinterpret_cast<const char*>(p + dict.FieldOffset(0) + 1),
                                   p[dict.FieldOffset(0)]);
            Row& r = out[name];
            r.note.assign(reinterpret_cast<const char*>(p + dict.FieldOffset(1) + 1), p[dict.FieldOffset(1)]);
            if (!dict.IsRecordFieldNull(2, p)) {
                const uint64_t nr = plat::LoadLE64(p + dict.FieldOffset(2));
                uint32_t length = 0;
                EXPECT_EQ(0, engine->BLOBGetLength(c, nr, length)) << name;
                std::vector<uint8_t> b(length);
                uint32_t got = 0;
                EXPECT_EQ(0, engine->BLOBRead(c, nr, 0, b, got)) << name;
                r.memo.assign(b.begin(), b.begin() + got);
            }
        }
        EXPECT_EQ(0, engine->CursorClose(c));
        return out;
    }

    // Empty when every index holds every row and the verifier finds nothing in any file.
    std::string consistency(const std::string& table) {
        TqbHandle h = open(table);
        auto c = engine->Registry().LeaseAs<TqbSrBaseCursor>(h, TqbHandleKind::Cursor);
        std::string problems =
            c ? enginetest::checkConsistent(*dynamic_cast<TqbSrTable*>(c->Table()), nullptr)
              : std::string("not open");
        c.reset();
        EXPECT_EQ(0, engine->CursorClose(h));
        return problems;
    }

    void waitForJob(TqbHandle id) {
        ASSERT_TRUE(engine->RebuildWaitIdle(120000));
        TqbRebuildStatus s{};
        bool present = false;
        ASSERT_EQ(0, engine->RebuildGetStatus(id, client, present, s));
        ASSERT_TRUE(present);
        ASSERT_EQ(0, s.ErrorCode);
    }
};

std::string fileText(const std::string& path) {
    std::string s;
    EXPECT_EQ(0, plat::FileReadAll(path, s)) << path;
    return s;
}

uint32_t encryptedFlag(const std::string& bytes) {
    return bytes.size() >= 24 ? plat::LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + kHdrEncrypted)
                              : 99;
}

// Each file of the table marked and scrambled (or neither): row's note, name and memo are found in
// the data, index and BLOB file exactly when it is plain. In a scrambled data file every block but
// the header comes out of the scrambler as a block of its kind that names its own number.
void expectOnDisk(const std::string& table, bool scrambled, int row = 2) {
    const std::map<std::string, std::string> texts{
        {"QB2", rowOf(row).note}, {"QBX", nameOf(row)}, {"QBB", rowOf(row).memo.substr(0, 24)}};
    for (const auto& [ext, text] : texts) {
        const std::string path = std::string(kFolder) + "/" + table + "." + ext;
        const std::string bytes = fileText(path);
        EXPECT_EQ(encryptedFlag(bytes), scrambled ? 1u : 0u) << path;
        EXPECT_EQ(bytes.find(text) == std::string::npos, scrambled) << path << " holds " << text;
        if (ext != "QB2" || !scrambled) continue;
        for (size_t at = 4096; at + 4096 <= bytes.size(); at += 4096) {
            std::string block = bytes.substr(at, 4096);
            EXPECT_NE(block.substr(0, 2), "QB") << path << " at " << at << " is plain";
            ScrambleBlock(block.data(), block.size(), at,
                          TableKeySelect(table) ? TqbScrambleKey::B : TqbScrambleKey::A);
            const auto* b = reinterpret_cast<const uint8_t*>(block.data());
            EXPECT_TRUE((block.substr(0, 2) == "QB" && block[3] == 'H') || block.substr(0, 4) == "DEAD")
                << path << " at " << at;
            EXPECT_EQ(plat::LoadLE32(b + 8), at / 4096) << path << " at " << at;
        }
    }
}

struct Disk {
    plat::MemoryFiles mem;
    plat::ScopedFiles use{mem};
    Disk() {
        EXPECT_EQ(plat::DirCreate("/cfg"), 0);
        EXPECT_EQ(plat::DirCreate(kFolder), 0);
    }
};

// A client's table; names that select the engine's own key are system files no client builds.
class EveryPath : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryPath, ScramblesTheBlocksItWritesAndTheyReadBackWhole) {
    Disk disk;
    const std::string vault = GetParam();
    Rows want;
    {
        Vault v;
        const TqbResultCode built = v.engine->TableBuild(v.db, false, vault, false, v.dict);
        ASSERT_EQ(0, built);
        v.insert(vault, 0, 40, want);
        EXPECT_EQ(v.rows(vault), want);
    }
    expectOnDisk(vault, true);
    {
        Vault v;
        EXPECT_EQ(v.rows(vault), want) << "after a restart";
        // Some rows go, so that the pack moves the others and their BLOBs.
        TqbHandle c = v.open(vault);
        ASSERT_EQ(0, v.engine->CursorSetToBegin(c));
        std::vector<uint8_t> rec(size_t(v.dict.RecordLength()));
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(0, v.engine->RecordGetNext(c, qbltNone, rec));
            if (i % 3 == 0) {
                ASSERT_EQ(0, v.engine->RecordDelete(c, {}));
                want.erase(nameOf(i));
            }
        }
        ASSERT_EQ(0, v.engine->CursorClose(c));
        TqbHandle id = 0;
        ASSERT_EQ(0, v.engine->TablePack(v.db, vault, id));
        v.waitForJob(id);
        EXPECT_EQ(v.rows(vault), want) << "after the pack";
        EXPECT_EQ(v.consistency(vault), "");
    }
    expectOnDisk(vault, true);
    {
        Vault v(nullptr, true);
        TqbServerDataDict wider = vaultDictionary(true);
        TqbHandle id = 0;
        ASSERT_EQ(0, v.engine->TableRestructure(v.db, vault, wider, nullptr, id));
        v.waitForJob(id);
        EXPECT_EQ(v.rows(vault), want) << "after the restructure";
        EXPECT_EQ(v.consistency(vault), "");
        ASSERT_EQ(0, v.engine->TableReindex(v.db, vault, "byNote", 0, id));
        v.waitForJob(id);
        EXPECT_EQ(v.rows(vault), want) << "after the reindex";
        EXPECT_EQ(v.consistency(vault), "");
    }
    expectOnDisk(vault, true);
    {
        Vault v(nullptr, true);
        ASSERT_EQ(0, v.engine->TableEmpty(v.db, 0, vault));
        EXPECT_TRUE(v.rows(vault).empty());
        want.clear();
        v.insert(vault, 100, 130, want);
        EXPECT_EQ(v.rows(vault), want) << "after emptying";
        EXPECT_EQ(v.consistency(vault), "");
    }
    expectOnDisk(vault, true, 100);
    Vault v(nullptr, true);
    EXPECT_EQ(v.rows(vault), want);
}

INSTANTIATE_TEST_SUITE_P(ScrambledTables, EveryPath, ::testing::Values("vault"));

// The configuration tables: marked and scrambled, or neither, and read by the table verifier
// whatever key their name selects.
void expectConfiguration(bool scrambled, const std::vector<std::pair<std::string, std::string>>& texts) {
    for (const auto& [table, text] : texts) {
        const std::string path = "/cfg/" + table + ".QB2";
        const std::string bytes = fileText(path);
        EXPECT_EQ(encryptedFlag(bytes), scrambled ? 1u : 0u) << path;
        EXPECT_EQ(bytes.find(text) == std::string::npos, scrambled) << path << " holds " << text;
        EXPECT_EQ(FormatVerifyProblems(VerifyTableFileOnDisk(path)), "") << path;
    }
}

TEST(ScrambledTables, TheConfigurationTablesFollowTheSettingAndOldFilesStayReadable) {
    Disk disk;
    // Field names of the dictionaries and values of the rows, none of them in a scrambled file.
    const std::vector<std::pair<std::string, std::string>> config{
        {"QBSINFO", "LstMsgIntvl"}, {"QBSALIAS", "secretAlias"}, {"QBSUSER", "Administrator"}};
    Rows plain, scrambled;
    {
        Vault v;
        ASSERT_EQ(0, v.engine->AliasAdd("secretAlias", kFolder, v.client));
    }
    expectConfiguration(true, config);

    // Not allowed: new tables and the configuration tables the engine writes are plain.
    {
        Vault v("0");
        v.build("plain");
        v.insert("plain", 0, 12, plain);
    }
    expectOnDisk("plain", false);
    expectConfiguration(false, {config[0], config[1]});
    // The users' table is written when it has no user: now plain.
    ASSERT_EQ(0, plat::FileDelete("/cfg/QBSUSER.QB2"));
    { Vault v; }
    expectConfiguration(false, config);

    // Allowed again: the plain table stays plain, rows added to it too; a new one is scrambled.
    {
        Vault v("1");
        EXPECT_EQ(v.rows("plain"), plain);
        v.insert("plain", 12, 20, plain);
        v.build("scrambled");
        v.insert("scrambled", 0, 12, scrambled);
    }
    expectOnDisk("plain", false, 18);
    expectOnDisk("scrambled", true);
    expectConfiguration(true, {config[0], config[1]});

    // Not allowed: the scrambled table stays scrambled, rows added to it too.
    {
        Vault v("0");
        EXPECT_EQ(v.rows("scrambled"), scrambled);
        v.insert("scrambled", 12, 20, scrambled);
        EXPECT_EQ(v.rows("plain"), plain);
    }
    expectOnDisk("scrambled", true, 18);
    Vault v;
    EXPECT_EQ(v.rows("scrambled"), scrambled);
    EXPECT_EQ(v.rows("plain"), plain);
    EXPECT_EQ(v.consistency("scrambled"), "");
}

// The setting read from the script at a folder's first start reaches the default administrator's
// table as well, although that user is made before the script is read.
TEST(ScrambledTables, AFolderFirstStartedWithoutEncryptionHasEveryConfigurationTablePlain) {
    Disk disk;
    const std::vector<std::pair<std::string, std::string>> config{
        {"QBSINFO", "LstMsgIntvl"}, {"QBSALIAS", "plainAlias"}, {"QBSUSER", "Administrator"}};
    {
        Vault v("FALSE");
        ASSERT_EQ(0, v.engine->AliasAdd("plainAlias", kFolder, v.client));
    }
    expectConfiguration(false, config);
    { Vault v("FALSE"); }
    expectConfiguration(false, config);
    { Vault v; }
    expectConfiguration(false, config);
}

std::vector<std::string> journals() {
    std::vector<plat::DirEntry> entries;
    plat::DirList(kFolder, entries);
    std::vector<std::string> out;
    for (auto& e : entries)
        if (e.name.size() > 4 && e.name.substr(e.name.size() - 4) == ".QB$") out.push_back(e.name);
    return out;
}

TEST(ScrambledTables, AJournalReplayedAfterAPowerCutWritesScrambledBlocks) {
    plat::MemoryFiles mem;
    Rows before, after;
    {
        plat::ScopedFiles use(mem);
        ASSERT_EQ(plat::DirCreate("/cfg"), 0);
        ASSERT_EQ(plat::DirCreate(kFolder), 0);
        Vault v;
        v.build("vault");
        v.insert("vault", 0, 10, before);
    }
    plat::PowerCutFiles rec(mem);
    size_t from = 0, to = 0;
    after = before;
    {
        plat::ScopedFiles use(rec);
        Vault v;
        from = rec.eventCount();
        v.insert("vault", 10, 30, after);
        to = rec.eventCount();
    }
    const std::vector<plat::FileEvent> events = rec.events();
    int replayed = 0;
    for (size_t n = from; n <= to; ++n)
        for (bool drop : {false, true}) {
            if (n > from && events[n - 1].more) continue;
            const std::string at = "event " + std::to_string(n) + " of " + std::to_string(from) + ".." +
                                   std::to_string(to) + (drop ? ", unsynced writes lost" : "");
            plat::MemoryFiles cut;
            ASSERT_EQ(plat::PowerCutFiles::Restore(cut, rec.diskAfter(n, drop)), 0);
            plat::ScopedFiles use(cut);
            const bool journal = !journals().empty();
            Rows now;
            {
                Vault v;
                now = v.rows("vault");
                EXPECT_TRUE(now == before || now == after) << at << ": " << now.size() << " rows";
                EXPECT_EQ(v.consistency("vault"), "") << at;
            }
            expectOnDisk("vault", true);
            if (journal && now == after) ++replayed;
            if (HasFailure()) return; // the first disk that shows a fault is enough
        }
    EXPECT_GT(replayed, 0) << "no cut left a journal to roll forward";
}

} // namespace
