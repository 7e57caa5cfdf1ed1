// The engine's configuration as it starts: kept in its configuration folder's tables across
// restarts, with the script file applied after them and persisted, and nothing written once the
// configuration is read-only.
#include "db/engine/qbsrcfgs.h"
#include "db/engine/qbsrscr.h"
#include "tests/db/engine/EngineApiSupport.h"

#include <filesystem>
#include <fstream>

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
