// Server configuration model: defaults, alias rules and refusals, users and the login check,
// key procedures with their libraries, and loading from a store.
#include "db/engine/qbsrcfg.h"

#include "db/base/qbhash.h"
#include "db/engine/qbsrcur.h"
#include "db/engine/qbsrfold.h"
#include "tests/support/TestSupport.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

TEST(ServerConfiguration, FreshConfigurationHasTheDefaults) {
    TqbServerConfiguration c;
    TqbGeneralInfo g = c.GeneralInfo();
    EXPECT_EQ(g.ServerName.Str(), "");
    EXPECT_EQ(g.MaxRAM, 10u);
    EXPECT_EQ(g.TempStoreSize, 20u);
    EXPECT_EQ(g.CollectFreq, 300000);
    EXPECT_EQ(g.LstMsgIntvl, 30000);
    EXPECT_EQ(g.KAInterval, 5000);
    EXPECT_EQ(g.KARetries, 5);
    EXPECT_EQ(g.Priority, 2);
    EXPECT_EQ(g.TCPInterface, 0);
    EXPECT_EQ((std::vector<int32_t>{g.TCPPort, g.UDPPortSr, g.UDPPortCl, g.IPXSocketSr, g.IPXSocketCl,
                                    g.SPXSocket}),
              (std::vector<int32_t>{25445, 25445, 25701, 25445, 25701, 25957}));
    EXPECT_TRUE(g.UseSingleUser && g.IPXSPXLFB && g.TCPIPLFB && g.UseEncrypt);
    for (bool f : {g.UseIPXSPX, g.UseTCPIP, g.IsSecure, g.AutoUp, g.AutoMini, g.DebugLog, g.ReadOnly,
                   g.NoAutoSaveCfg, g.CollectEnabld})
        EXPECT_FALSE(f);
    EXPECT_FALSE(c.Loaded());
    EXPECT_FALSE(c.LoginRequired());

    // The protocol layer's ports, 0 when it has none.
    TqbServerConfiguration none(TqbDefaultPorts{0, 0, 0, 0, 0, 0});
    EXPECT_EQ(none.GeneralInfo().TCPPort, 0);
    EXPECT_EQ(none.GeneralInfo().SPXSocket, 0);

    c.SetIsReadOnly(true);
    c.SetNoAutoSaveCfg(true);
    EXPECT_TRUE(c.IsReadOnly() && c.NoAutoSaveCfg());
    c.UpdateGeneralInfo([](TqbGeneralInfo& i) { i.ServerName.Set("PAGES"); });
    EXPECT_EQ(c.GetServerName(), "PAGES");
}

TEST(ServerConfiguration, AliasesAreFoundWhateverTheirCaseAndKeptInFullForm) {
    pwtest::TempDir dir;
    TqbServerConfiguration c;
    EXPECT_EQ(c.AddAlias("PAGEBASE", dir.str()), 0);
    EXPECT_EQ(c.AliasPath("pagebase"), dir.str());
    EXPECT_TRUE(c.AliasExists("PageBase"));
    EXPECT_EQ(c.AddAlias("pageBase", "/elsewhere"), 10009);
    EXPECT_EQ(c.AliasPath("PAGEBASE"), dir.str());

    // A relative path is kept as the full path it names now; a missing folder is allowed.
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(c.AddAlias("rel", "sub/data"), 0);
    EXPECT_EQ(c.AliasPath("REL"), cwd + "/sub/data");

    // Look-ups cut the name to 31 characters, as the caller's records hold it.
    const std::string name31(31, 'n');
    EXPECT_EQ(c.AddAlias(name31, "/x"), 0);
    EXPECT_EQ(c.AliasPath(name31 + "tail"), "/x");

    std::vector<TqbAliasRecord> recs = c.AliasRecords();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].Alias.Str(), name31);
    EXPECT_EQ(recs[1].Alias.Str(), "PAGEBASE");
    EXPECT_EQ(recs[2].Path.Str(), cwd + "/sub/data");

    EXPECT_EQ(c.DeleteAlias("nothing"), 10014);
    EXPECT_EQ(c.DeleteAlias("rel"), 0);
    EXPECT_EQ(c.AliasPath("rel"), "");
}

// A path that does not fit the column that keeps it would come back cut, naming another folder:
// it is refused and nothing is stored.
TEST(ServerConfiguration, AliasPathsAndNamesThatDoNotFitAreRefusedNotCut) {
    TqbServerConfiguration c;
    const std::string fits = "/" + std::string(218, 'p');
    const std::string tooLong = fits + "q";
    EXPECT_EQ(c.AddAlias("fits", fits), 0);
    EXPECT_EQ(c.AliasPath("fits").size(), 219u);
    EXPECT_EQ(c.AddAlias("long", tooLong), 10018);
    EXPECT_EQ(c.AddAlias("huge", "/" + std::string(400, 'p')), 10018);
    EXPECT_EQ(c.AddAlias("empty", ""), 10018);
    EXPECT_EQ(c.AddAlias("", "/x"), kResultInvalidParameter);
    EXPECT_EQ(c.AddAlias(std::string(32, 'n'), "/x"), kResultInvalidParameter);
    EXPECT_FALSE(c.AliasExists("long") || c.AliasExists("huge") || c.AliasExists("empty"));

    EXPECT_EQ(c.ChangeAliasPath("fits", tooLong), 10018);
    EXPECT_EQ(c.ChangeAliasPath("fits", ""), 10018);
    EXPECT_EQ(c.AliasPath("fits"), fits);
    EXPECT_EQ(c.ChangeAliasPath("none", "/y"), 10014);
    EXPECT_EQ(c.ChangeAliasPath("none", ""), 10014);
    EXPECT_EQ(c.ChangeAliasPath("FITS", "/y"), 0);
    EXPECT_EQ(c.AliasPath("fits"), "/y");
}

// Modify checks everything before it changes anything: a refused modification leaves the alias
// as it was (before, the old alias was gone when the new name turned out to be taken).
TEST(ServerConfiguration, AliasModifyChecksBeforeItChanges) {
    TqbServerConfiguration c;
    ASSERT_EQ(c.AddAlias("contacts", "/data/a"), 0);
    ASSERT_EQ(c.AddAlias("archive", "/data/b"), 0);

    EXPECT_EQ(c.ModifyAlias("contacts", "ARCHIVE", "/data/c"), 10009);
    EXPECT_EQ(c.AliasPath("contacts"), "/data/a");
    EXPECT_EQ(c.AliasPath("archive"), "/data/b");
    EXPECT_EQ(c.ModifyAlias("contacts", "", "/" + std::string(300, 'p')), 10018);
    EXPECT_EQ(c.ModifyAlias("contacts", std::string(32, 'n'), ""), kResultInvalidParameter);
    EXPECT_EQ(c.AliasPath("contacts"), "/data/a");
    EXPECT_EQ(c.ModifyAlias("missing", "x", "/y"), 10014);

    // Empty new name keeps the name, empty new path the path; a change of case only is allowed.
    EXPECT_EQ(c.ModifyAlias("contacts", "", "/data/d"), 0);
    EXPECT_EQ(c.AliasPath("contacts"), "/data/d");
    EXPECT_EQ(c.ModifyAlias("contacts", "people", ""), 0);
    EXPECT_EQ(c.AliasPath("people"), "/data/d");
    EXPECT_FALSE(c.AliasExists("contacts"));
    EXPECT_EQ(c.ModifyAlias("people", "PEOPLE", ""), 0);
    std::vector<TqbAliasRecord> recs = c.AliasRecords();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].Alias.Str(), "PEOPLE");
}

TEST(ServerConfiguration, AliasesChangeAndAreReadFromManyThreads) {
    TqbServerConfiguration c;
    std::atomic<bool> wrong{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const std::string name = "alias" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                const std::string path = "/data/" + std::to_string(t) + "/" + std::to_string(i);
                if (c.AddAlias(name, path) != 0 || c.AliasPath(name) != path) wrong = true;
                if (c.ModifyAlias(name, "", path + "x") != 0 || c.AliasPath(name) != path + "x") wrong = true;
                c.AliasRecords();
                if (c.DeleteAlias(name) != 0) wrong = true;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_FALSE(wrong.load());
    EXPECT_TRUE(c.AliasRecords().empty());
}

TEST(ServerConfiguration, UsersAndTheirHashQuery) {
    TqbServerConfiguration c;
    EXPECT_EQ(c.AddUser("Admin", "Administrator", "", HashShStr("secret"), kAllUserRights), 0);
    EXPECT_EQ(c.AddUser("ADMIN", "Other", "", 1, 0), 10009);
    EXPECT_EQ(c.AddUser("", "Nobody", "", 0, 0), kResultInvalidParameter);
    EXPECT_EQ(c.AddUser(std::string(32, 'u'), "", "", 0, 0), kResultInvalidParameter);
    EXPECT_EQ(c.AddUser("u", std::string(32, 'l'), "", 0, 0), kResultInvalidParameter);
    EXPECT_EQ(c.UserList().Count(), 1);
    EXPECT_TRUE(c.UserList().Exists("admin"));
    EXPECT_EQ(c.UserList().PwdHash("aDmIn"), HashShStr("secret"));
    EXPECT_EQ(c.UserList().PwdHash(""), 0u);
    EXPECT_EQ(c.UserList().PwdHash("guest"), 0xFFFFFFFFu);
    std::vector<TqbLoginUser> users = c.UserList().Users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].LastName, "Administrator");
    EXPECT_EQ(users[0].Rights, kAllUserRights);
}

// The engine checks the password itself and answers alike for every kind of failure; an empty
// user ID with the empty password's hash (0, the hash query's answer for "") does not get in.
TEST(ServerConfiguration, LoginCheckProvesTheHashAndHandsOutNone) {
    TqbServerConfiguration c;
    ASSERT_EQ(c.AddUser("Admin", "Administrator", "Ann", HashShStr("secret"), 7), 0);
    TqbLoginUser u;
    EXPECT_EQ(c.UserList().CheckLogin("admin", HashShStr("secret"), u), 0);
    EXPECT_EQ(u.UserID, "Admin");
    EXPECT_EQ(u.FirstName, "Ann");
    EXPECT_EQ(u.Rights, 7);
    TqbLoginUser none;
    EXPECT_EQ(c.UserList().CheckLogin("admin", HashShStr("guess"), none), kResultUnknownUser);
    EXPECT_EQ(c.UserList().CheckLogin("nobody", HashShStr("secret"), none), kResultUnknownUser);
    EXPECT_EQ(c.UserList().CheckLogin("nobody", 0xFFFFFFFFu, none), kResultUnknownUser);
    EXPECT_EQ(c.UserList().CheckLogin("", HashShStr(""), none), kResultUnknownUser);
    EXPECT_EQ(c.UserList().CheckLogin("", 0, none), kResultUnknownUser);
    EXPECT_EQ(none.UserID, "");

    // Secure means a login is needed, also when there is nobody to log in as.
    TqbServerConfiguration empty;
    empty.UpdateGeneralInfo([](TqbGeneralInfo& g) { g.IsSecure = true; });
    EXPECT_TRUE(empty.LoginRequired());
    EXPECT_EQ(empty.UserList().CheckLogin("", 0, none), kResultUnknownUser);

    // The login as a client makes it: the caller's own hash back on success, never the stored one.
    uint32_t hash = HashShStr("guess");
    bool hasUser = true;
    EXPECT_EQ(c.Login("admin", hash, u, hasUser), 0); // not secure: anyone, no user
    EXPECT_FALSE(hasUser);
    EXPECT_EQ(hash, HashShStr("guess"));
    c.UpdateGeneralInfo([](TqbGeneralInfo& g) { g.IsSecure = true; });
    EXPECT_EQ(c.Login("admin", hash, u, hasUser), kResultUnknownUser);
    EXPECT_EQ(hash, 0u);
    EXPECT_FALSE(hasUser);
    hash = HashShStr("secret");
    EXPECT_EQ(c.Login("ADMIN", hash, u, hasUser), 0);
    EXPECT_TRUE(hasUser);
    EXPECT_EQ(hash, HashShStr("secret"));
    hash = HashShStr("anything");
    EXPECT_EQ(c.Login("stranger", hash, u, hasUser), kResultUnknownUser);
    EXPECT_EQ(hash, 0u);

    const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 3, 5};
    EXPECT_TRUE(ConstantTimeEquals(a, a, 4));
    EXPECT_FALSE(ConstantTimeEquals(a, b, 4));
    EXPECT_TRUE(ConstantTimeEquals(a, b, 3));
}

// A library opened with RTLD_NOLOAD is found only when something still has it loaded.
bool libraryLoaded(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

TEST(ServerConfiguration, KeyProceduresByTableAndIndexWithTheirLibraries) {
    pwtest::TempDir data, config, other;
    std::filesystem::copy_file(PW_TEST_USERKEYS, config.file("keys.so"));
    std::filesystem::copy_file(PW_TEST_USERKEYS, other.file("keys.so"));
    TqbServerConfiguration c;
    ASSERT_EQ(c.AddKeyProc(data.str(), "contacts", 2, "keys.so", "BuildReversedCode", "CompareReversedCode"),
              0);
    ASSERT_EQ(c.AddKeyProc(data.str(), "contacts", 3, "keys.so", "BuildReversedCode", "NoSuchRoutine"), 0);
    EXPECT_EQ(c.AddKeyProc(data.str(), "CONTACTS", 2, "x.so", "a", "b"), 10009);
    EXPECT_EQ(c.AddKeyProc("/" + std::string(219, 'p'), "t", 1, "x.so", "a", "b"), 10018);
    EXPECT_EQ(c.AddKeyProc(data.str(), "", 1, "x.so", "a", "b"), kResultInvalidParameter);

    // The key is what a table of that folder asks for: its folder, the table file and the index.
    const std::string key = CanonicalFolderPath(data.str()) + "\\contacts.QB2|2";
    EXPECT_EQ(TqbKeyProcList::ComposeKey(data.str() + "/", "contacts", 2), key);
    TqbKeyProcEntry entry;
    ASSERT_TRUE(c.KeyProcList().Find(key, entry));
    EXPECT_EQ(entry.Library + " " + entry.BuildKey + " " + entry.CompareKey,
              "keys.so BuildReversedCode CompareReversedCode");
    EXPECT_FALSE(c.KeyProcList().Find(CanonicalFolderPath(data.str()) + "\\contacts.QB2|4", entry));
    EXPECT_TRUE(c.KeyProcList().Exists(data.str(), "Contacts", 3));
    EXPECT_EQ(c.KeyProcList().IndexOf(data.str(), "contacts", 2), 0);

    TqbKeyProcItem* good = c.KeyProcList().Items(0);
    TqbKeyProcItem* bad = c.KeyProcList().Items(1);
    ASSERT_TRUE(good && bad);
    EXPECT_TRUE(good->Load(config.str()));
    EXPECT_TRUE(good->BuildKeyProc() && good->CompareKeyProc());
    EXPECT_TRUE(libraryLoaded(config.file("keys.so")));
    good->Unload();
    EXPECT_FALSE(good->Loaded());
    EXPECT_FALSE(libraryLoaded(config.file("keys.so")));

    // A missing compare routine fails the load and leaves no library loaded.
    EXPECT_FALSE(bad->Load(config.str()));
    EXPECT_FALSE(bad->Loaded() || bad->BuildKeyProc() || bad->CompareKeyProc());
    EXPECT_FALSE(libraryLoaded(config.file("keys.so")));

    // Only the configuration's folder is a source of code.
    TqbKeyProcItem elsewhere(data.str(), "t", 1, other.file("keys.so"), "BuildReversedCode",
                             "CompareReversedCode");
    EXPECT_FALSE(elsewhere.Load(config.str()));
    EXPECT_FALSE(libraryLoaded(other.file("keys.so")));
    TqbKeyProcItem named(data.str(), "t", 1, config.file("keys.so"), "BuildReversedCode",
                         "CompareReversedCode");
    EXPECT_TRUE(named.Load(config.str()));

    c.KeyProcList().Delete(data.str(), "CONTACTS", 2);
    EXPECT_EQ(c.KeyProcList().Count(), 1);
}

TEST(ServerConfiguration, LoadsWhatTheStoreKeptOnce) {
    TqbMemoryConfigStore store;
    {
        TqbServerConfiguration c;
        c.UpdateGeneralInfo([](TqbGeneralInfo& g) {
            g.ServerName.Set("PAGES");
            g.MaxRAM = 64;
            g.IsSecure = true;
        });
        ASSERT_EQ(c.AddAlias("pagebase", "/data/pages"), 0);
        ASSERT_EQ(c.AddUser("Admin", "Administrator", "", HashShStr("secret"), 31), 0);
        store.SaveInfo(c);
        store.SaveAliases(c);
        store.SaveUsers(c);
    }
    store.KeyProcs.push_back({"/data/pages", "contacts", 2, "keys.so", "B", "C"});

    TqbServerConfiguration c;
    c.Load(store);
    EXPECT_TRUE(c.Loaded());
    EXPECT_EQ(c.GetServerName(), "PAGES");
    EXPECT_EQ(c.GeneralInfo().MaxRAM, 64u);
    EXPECT_TRUE(c.LoginRequired());
    EXPECT_EQ(c.AliasPath("PAGEBASE"), "/data/pages");
    TqbLoginUser u;
    EXPECT_EQ(c.UserList().CheckLogin("admin", HashShStr("secret"), u), 0);
    EXPECT_EQ(c.KeyProcList().Count(), 1);

    // Stored values outside their ranges are not used: a MaxRAM of 0 would give the buffer
    // manager no memory at all. The collection period is kept as set: the script's range is the
    // script's.
    store.Info.MaxRAM = 0;
    store.Info.CollectFreq = 1;
    store.Info.KARetries = 101;
    store.Info.Priority = -3;
    store.Info.TempStoreSize = 2049;
    store.Info.LstMsgIntvl = 999;
    store.Info.TCPPort = 70000;
    store.Info.KAInterval = 86400000; // at the edge: kept
    TqbServerConfiguration checked;
    checked.Load(store);
    TqbGeneralInfo g = checked.GeneralInfo();
    EXPECT_EQ((std::vector<int64_t>{g.MaxRAM, g.CollectFreq, g.KARetries, g.Priority, g.TempStoreSize,
                                    g.LstMsgIntvl, g.TCPPort, g.KAInterval}),
              (std::vector<int64_t>{10, 1, 5, 2, 20, 30000, 25445, 86400000}));
    EXPECT_EQ(checked.GetServerName(), "PAGES");

    // Loaded once: a second load changes nothing.
    store.Aliases.clear();
    c.Load(store);
    EXPECT_EQ(c.AliasPath("pagebase"), "/data/pages");
}

// A store that fails after it has given part of what it keeps.
class FailingStore : public TqbMemoryConfigStore {
public:
    void Load(TqbServerConfiguration& Config) override {
        TqbMemoryConfigStore::Load(Config);
        throw std::runtime_error("the users cannot be read");
    }
};

// A failed load is not a loaded configuration: it does not go on with what it got so far, nor
// with the defaults and no users, and the next load tries again.
TEST(ServerConfiguration, FailedLoadLeavesNothingLoaded) {
    FailingStore failing;
    failing.HasInfo = true;
    failing.Info = DefaultGeneralInfo();
    failing.Info.IsSecure = true;
    failing.Info.MaxRAM = 99;
    failing.Aliases.resize(1);
    failing.Aliases[0].Alias.Set("pagebase");
    failing.Aliases[0].Path.Set("/data/pages");
    TqbServerConfiguration c;
    EXPECT_THROW(c.Load(failing), std::runtime_error);
    EXPECT_FALSE(c.Loaded());
    EXPECT_FALSE(c.AliasExists("pagebase"));
    EXPECT_EQ(c.GeneralInfo().MaxRAM, 10u);

    // A record the configuration refuses fails the load the same way.
    TqbMemoryConfigStore badRecord;
    badRecord.Users.push_back({"", "Nobody", "", 0, 0});
    EXPECT_THROW(c.Load(badRecord), EqbException);
    EXPECT_FALSE(c.Loaded());

    TqbMemoryConfigStore good;
    good.Users.push_back({"Admin", "Administrator", "", 5, 31});
    c.Load(good);
    EXPECT_TRUE(c.Loaded());
    EXPECT_EQ(c.UserList().Count(), 1);
}

} // namespace
