// The engine's configuration as it starts: kept in its configuration folder's tables across
// restarts, with the script file applied after them and persisted, and nothing written once the
// configuration is read-only.
#include "db/engine/qbsqlbas.h"
#include "db/engine/qbsrcfgs.h"
#include "db/engine/qbsrscr.h"
#include "tests/db/engine/EngineApiSupport.h"

#include <filesystem>
#include <fstream>
#include <map>

using namespace engineapi;

namespace {

bool hasTable(const std::string& folder, const std::string& name) {
    return std::filesystem::exists(std::filesystem::path(folder) / (name + ".QB2"));
}

// A second engine on the same configuration folder, started.
TqbOwned<TqbServerEngine> restart(Api& api, const std::string& script = {}) {
    TqbOwned<TqbServerEngine> e(new TqbServerEngine());
    e->SetClock(api.clock);
    e->SetConfigDir(api.dir.file("cfg") + "/");
    e->ScriptFile = script;
    e->Startup();
    return e;
}

} // namespace

TEST(EngineConfiguration, AnEmptyFolderGetsItsTablesAndAliasesSurviveARestart) {
    Api api;
    const std::string cfg = api.dir.file("cfg");
    for (const char* t : {"QBSINFO", "QBSALIAS", "QBSUSER"})
        EXPECT_TRUE(hasTable(cfg, t)) << t;
    ASSERT_EQ(0, api.engine->AliasAdd("pageBASE", api.dir.str(), api.client));
    api.engine->Shutdown();

    auto e = restart(api);
    TqbHandle client = 0, db = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, e->ClientAdd(client, "again", "", 1000, hash));
    std::string path;
    EXPECT_EQ(0, e->AliasGetPath("pagebase", client, path));
    EXPECT_TRUE(std::filesystem::equivalent(path, api.dir.path())) << path;
    EXPECT_EQ(0, e->DatabaseOpen(client, "pageBASE", qbomReadWrite, qbsmShared, 1000, db));
    e->Shutdown();
}

TEST(EngineConfiguration, TheScriptIsAppliedAfterTheTablesAndKept) {
    Api api(false);
    const std::string script = api.dir.file("pagebase.scr");
    std::filesystem::create_directory(api.dir.path() / "data");
    {
        std::ofstream f(script, std::ios::binary);
        f << "MAXRAM=32\r\nUSELOGIN=1\r\n[somebodyElse]\r\nMAXRAM=5\r\n[qbServerEngine1]\r\ncontactsDB="
          << api.dir.file("data") << "\r\nmissing=" << api.dir.file("nowhere") << "\r\n";
    }
    api.engine->SetName("qbServerEngine1");
    api.engine->ScriptFile = script;
    api.engine->Startup();
    EXPECT_EQ(32u, api.engine->MaxRAM());
    // Logins are now checked: only the default administrator gets in.
    TqbHandle client = 0;
    uint32_t hash = 12345;
    EXPECT_EQ(10036, api.engine->ClientAdd(client, "c", "nobody", 1000, hash));
    hash = DefaultAdministratorHash();
    ASSERT_EQ(0, api.engine->ClientAdd(client, "c", DefaultAdministratorID(), 1000, hash));
    std::string path;
    EXPECT_EQ(0, api.engine->AliasGetPath("contactsDB", client, path));
    EXPECT_FALSE(path.empty());
    EXPECT_EQ(0, api.engine->AliasGetPath("missing", client, path));
    EXPECT_TRUE(path.empty()) << path;
    api.engine->ClientRemove(client);
    api.engine->Shutdown();

    // Without the script the settings come from the tables.
    auto e = restart(api);
    EXPECT_EQ(32u, e->MaxRAM());
    hash = 1;
    EXPECT_EQ(10036, e->ClientAdd(client, "c", DefaultAdministratorID(), 1000, hash));
    e->Shutdown();
}

TEST(EngineConfiguration, AReadOnlyConfigurationWritesNothing) {
    Api api(false);
    const std::string script = api.dir.file("ro.scr");
    {
        std::ofstream f(script);
        f << "READONLY=TRUE\nMAXRAM=40\n";
    }
    api.engine->ScriptFile = script;
    api.engine->Startup();
    EXPECT_TRUE(api.engine->GetIsReadOnly());
    // The script comes after the users' table got its default administrator; what the load writes
    // after the script is not written.
    const std::string cfg = api.dir.file("cfg");
    for (const char* t : {"QBSINFO", "QBSALIAS"})
        EXPECT_FALSE(hasTable(cfg, t)) << t;
    TqbHandle client = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, api.engine->ClientAdd(client, "c", "", 1000, hash));
    EXPECT_EQ(0, api.engine->AliasAdd("data", api.dir.str(), client));
    EXPECT_FALSE(hasTable(cfg, "QBSALIAS"));
    api.engine->Shutdown();
}

TEST(EngineConfiguration, ItsTablesAreNoClientsTablesAndStillLoadAndSave) {
    Api api;
    TqbServerEngine& e = *api.engine;
    const std::string cfg = api.dir.file("cfg");
    const std::string users = pwtest::readFile(cfg + "/QBSUSER.QB2");
    ASSERT_FALSE(users.empty());
    TqbHandle db = 0, cursor = 0;
    ASSERT_EQ(0, e.DatabaseOpenPath(api.client, cfg, qbomReadWrite, qbsmShared, 1000, db));
    // Every way a client could read or replace the password hashes, in any spelling.
    for (const char* name : {"QBSUSER", "qbsUser", "QBSINFO", "QBSALIAS", "SAVUSER", "XXSUSER", "QBSINDEX",
                             "qbsIndex", "SAVINDEX", "XXSINDEX"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(8449, e.TableOpen(db, name, false, "", 0, qbomReadOnly, qbsmShared, 1000, cursor, nullptr));
        EXPECT_EQ(0u, cursor);
        cls::TMemoryStream dict;
        EXPECT_EQ(8449, e.TableGetDictionary(db, name, dict));
        TqbServerDataDict d = contactsDictionary();
        EXPECT_EQ(8449, e.TableBuild(db, true, name, false, d));
        EXPECT_EQ(8449, e.TableDelete(db, name));
        EXPECT_EQ(8449, e.TableRename(db, name, "stolen"));
        EXPECT_EQ(8449, e.TableEmpty(db, 0, name));
        TqbIndexDescriptor index;
        index.Name = "byHash";
        index.KeyFieldCount = 1;
        index.KeyFields[0] = 3;
        EXPECT_EQ(8449, e.TableAddIndex(db, 0, name, index));
        EXPECT_EQ(8449, e.TableDropIndex(db, 0, name, "", 1));
        TqbHandle job = 0;
        EXPECT_EQ(8449, e.TablePack(db, name, job));
        EXPECT_EQ(8449, e.TableReindex(db, name, "", 0, job));
    }
    // A client's table may not take a configuration table's place either; from the data folder too.
    EXPECT_NE(0u, api.contacts("people"));
    EXPECT_EQ(8449, e.TableRename(api.db, "people", "QBSUSER"));
    EXPECT_EQ(8449,
              e.TableOpen(api.db, "QBSUSER", false, "", 0, qbomReadOnly, qbsmShared, 1000, cursor, nullptr));
    // Nor may it take the key procedures' table's place, which names the libraries the engine loads.
    EXPECT_EQ(8449, e.TableRename(api.db, "people", "QBSINDEX"));
    EXPECT_FALSE(plat::FileExists(cfg + "/QBSINDEX.QB2"));
    EXPECT_FALSE(plat::FileExists(api.dir.file("QBSINDEX.QB2")));
    EXPECT_EQ(users, pwtest::readFile(cfg + "/QBSUSER.QB2")) << "the users' table is untouched";

    // The engine itself still reads and writes them: an alias is saved and loaded after a restart.
    ASSERT_EQ(0, e.AliasAdd("kept", api.dir.str(), api.client));
    ASSERT_EQ(0, e.DatabaseClose(db));
    e.Shutdown();
    auto again = restart(api);
    TqbHandle client = 0;
    uint32_t hash = 0;
    ASSERT_EQ(0, again->ClientAdd(client, "again", "", 1000, hash));
    std::string path;
    EXPECT_EQ(0, again->AliasGetPath("kept", client, path));
    EXPECT_FALSE(path.empty());
    EXPECT_EQ(1, again->Configuration().UserList().Count()) << "the default administrator, read back";
    again->Shutdown();
}

TEST(EngineConfiguration, TheCollectionPeriodComesBackAfterARestartAsItWasSet) {
    // Set, saved and read back as set: the range 30001 .. 3599999 is the script key's only.
    for (int32_t set : {60000, 100, 30000, 1, 3599999, 3600000}) {
        SCOPED_TRACE(set);
        Api api;
        api.engine->SetCollectFrequency(set);
        EXPECT_EQ(set, api.engine->CollectFrequency());
        api.engine->Shutdown();
        auto e = restart(api);
        EXPECT_EQ(set, e->CollectFrequency());
        e->Shutdown();
    }
}

namespace {
// Tells each garbage collection pass: the engine asks its SQL engine first in every pass.
class PassWatch : public TqbBaseSQLEngine {
public:
    TqbEvent Pass;
    TqbResultCode SQLAlloc(TqbHandle, uint32_t, TqbHandle&) override { return 15462; }
    TqbResultCode SQLReserved2() override { return 0; }
    TqbResultCode SQLExec(TqbHandle, TqbOpenMode, TqbHandle&, cls::TStream&) override { return 15462; }
    TqbResultCode SQLExecDirect(TqbHandle, const std::string&, uint32_t, TqbOpenMode, TqbHandle&,
                                cls::TStream&) override {
        return 15462;
    }
    TqbResultCode SQLReserved5() override { return 0; }
    TqbResultCode SQLFree(TqbHandle) override { return 15462; }
    TqbResultCode SQLPrepare(TqbHandle, const std::string&, cls::TStream&) override { return 15462; }
    TqbResultCode SQLReserved8() override { return 0; }
    TqbResultCode SQLSetParams(TqbHandle, uint16_t, std::span<const uint8_t>, std::span<const uint8_t>,
                               cls::TStream&) override {
        return 15462;
    }
    void CollectGarbage() override { Pass.Signal(); }
};
} // namespace

TEST(EngineConfiguration, ACollectionPeriodOf100MsCollects) {
    TqbOwned<PassWatch> watch(new PassWatch()); // outlives the engine
    Api api(false);
    api.engine->SetSQLEngine(watch.get());
    api.engine->SetCollectGarbage(true);
    api.engine->SetCollectFrequency(100);
    api.startAndConnect();
    const TqbHandle cursor = api.contacts();
    ASSERT_EQ(0, api.engine->CursorClose(cursor));
    EXPECT_EQ(1, api.engine->Counts().Tables) << "an unused table stays open until a collection";
    // Two passes: the second begins after the first closed the table. 10 s is far below the
    // least period the script allows (30 s).
    for (int pass = 0; pass < 2; ++pass)
        ASSERT_EQ(0u, watch->Pass.TryWait(10000)) << "no collection pass " << pass;
    EXPECT_EQ(0, api.engine->Counts().Tables);
    api.engine->Shutdown();
    api.engine->SetSQLEngine(nullptr);
}

// Read-only and no-auto-save set before the start hold against the stored settings: nothing is
// written, neither the configuration tables nor a client's table.
TEST(EngineConfiguration, ReadOnlyAndNoAutoSaveSetBeforeTheStartHold) {
    const auto folderBytes = [](const std::string& folder) {
        std::map<std::string, std::string> files;
        for (const auto& f : std::filesystem::directory_iterator(folder))
            files[f.path().filename().string()] = pwtest::readFile(f.path().string());
        return files;
    };
    {
        // A fresh configuration folder stays empty.
        Api api(false);
        api.engine->SetIsReadOnly(true);
        EXPECT_TRUE(api.engine->GetIsReadOnly());
        api.startAndConnect();
        EXPECT_TRUE(api.engine->GetIsReadOnly());
        EXPECT_TRUE(folderBytes(api.dir.file("cfg")).empty());
    }
    Api api; // its tables stored, neither read-only nor without saves
    api.engine->Shutdown();
    const std::string cfg = api.dir.file("cfg");
    const auto stored = folderBytes(cfg);
    ASSERT_TRUE(stored.count("QBSINFO.QB2"));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        TqbOwned<TqbServerEngine> e(new TqbServerEngine());
        e->SetClock(api.clock);
        e->SetConfigDir(cfg + "/");
        e->SetIsReadOnly(true);
        e->Startup();
        EXPECT_TRUE(e->GetIsReadOnly());
        TqbHandle client = 0, db = 0;
        uint32_t hash = 0;
        ASSERT_EQ(0, e->ClientAdd(client, "ro", "", 1000, hash));
        ASSERT_EQ(0, e->DatabaseOpenPath(client, api.dir.str(), qbomReadWrite, qbsmShared, 1000, db));
        TqbServerDataDict d = contactsDictionary();
        EXPECT_EQ(10501, e->TableBuild(db, false, "contacts", false, d));
        EXPECT_FALSE(hasTable(api.dir.str(), "contacts"));
        e->SetMaxRAM(77);
        e->Shutdown();
        EXPECT_EQ(stored, folderBytes(cfg)) << "the configuration tables as they were";
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        TqbOwned<TqbServerEngine> e(new TqbServerEngine());
        e->SetClock(api.clock);
        e->SetConfigDir(cfg + "/");
        e->SetNoAutoSaveCfg(true);
        e->Startup();
        EXPECT_TRUE(e->GetNoAutoSaveCfg());
        e->SetMaxRAM(77);
        EXPECT_EQ(77u, e->MaxRAM());
        e->Shutdown();
        EXPECT_EQ(stored, folderBytes(cfg)) << "nothing saved";
    }
    // A plain start afterwards: the stored settings, unchanged.
    auto e = restart(api);
    EXPECT_FALSE(e->GetIsReadOnly());
    EXPECT_FALSE(e->GetNoAutoSaveCfg());
    EXPECT_EQ(10u, e->MaxRAM());
    e->Shutdown();
    // Switched off before the start, they stay off although the script, applied by the load,
    // switches them on.
    const std::string script = api.dir.file("on.scr");
    {
        std::ofstream f(script);
        f << "READONLY=TRUE\nNOAUTOSAVECFG=TRUE\n";
    }
    TqbOwned<TqbServerEngine> off(new TqbServerEngine());
    off->SetClock(api.clock);
    off->SetConfigDir(cfg + "/");
    off->ScriptFile = script;
    off->SetIsReadOnly(false);
    off->SetNoAutoSaveCfg(false);
    off->Startup();
    EXPECT_FALSE(off->GetIsReadOnly());
    EXPECT_FALSE(off->GetNoAutoSaveCfg());
    off->Shutdown();
}
