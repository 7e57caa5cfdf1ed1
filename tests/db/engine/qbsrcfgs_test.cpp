// Configuration in system tables over real folders: defaults and the default administrator, round
// trips, read-only switches, key procedures, refused tables, and saves interrupted at every step by
// a crash or a failing file routine.
#include "db/engine/qbsrcfgs.h"

#include "db/base/qbhash.h"
#include "db/engine/qbsrcur_cursor.h"
#include "platform/Files.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

// A cursor host whose tables are scrambled when their dictionaries ask for it.
struct ScramblingHost : TqbSrCursorHost {
    using TqbSrCursorHost::TqbSrCursorHost;
    bool UseEncrypt() override { return true; }
};

// One run of an engine over the configuration folder: its own buffer manager, folders and store.
struct EngineRun {
    std::vector<std::string> log;
    TqbBufferManager bm;
    TqbSrFolderList folders;
    ScramblingHost host{bm};
    TqbTableConfigStore store;
    TqbServerConfiguration config;
    explicit EngineRun(const std::string& dir)
        : store(host, folders, bm, dir, [this](const std::string& t) { log.push_back(t); }) {
        bm.SetMaxRAM(64);
    }
    void load() { config.Load(store); }
    bool logged(const std::string& part) const {
        return std::any_of(log.begin(), log.end(),
                           [&](auto& l) { return l.find(part) != std::string::npos; });
    }
};

std::vector<std::string> aliases(const TqbServerConfiguration& c) {
    std::vector<std::string> out;
    for (const TqbAliasRecord& a : c.AliasRecords())
        out.push_back(a.Alias.Str() + "=" + a.Path.Str());
    return out;
}

std::vector<std::string> users(const TqbServerConfiguration& c) {
    std::vector<std::string> out;
    for (const TqbLoginUser& u : c.UserList().Users())
        out.push_back(u.UserID + "/" + u.LastName + "/" + u.FirstName + "/" +
                      std::to_string(c.UserList().PwdHash(u.UserID)) + "/" + std::to_string(u.Rights));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> files(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename() != kFolderLockName &&
            e.path().filename() != kCounterFileName)
            out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

const std::vector<std::string> kThreeTables{"QBSALIAS.QB2", "QBSINFO.QB2", "QBSUSER.QB2"};

// A table of the folder with any layout and rows, made as another program would make it.
void makeTable(const std::string& dir, const std::string& name,
               const std::vector<std::pair<int32_t, int32_t>>& fields,
               const std::vector<std::vector<std::string>>& rows,
               const std::vector<std::string>& names = {}) {
    TqbBufferManager bm;
    TqbSrFolderList folders;
    TqbSrCursorHost host(bm);
    SetThreadDeadline(20000);
    TqbSrFolderPtr folder = folders.AddFolder(dir, false, &bm);
    TqbServerDataDict d(4096);
    for (size_t i = 0; i < fields.size(); ++i)
        d.AddField(i < names.size() ? names[i] : "F" + std::to_string(i), "", fields[i].first,
                   fields[i].second, 0, false);
    {
        TqbSrTable t(host, bm, folder, name);
        t.BuildFiles(d, 0);
        t.CloseFiles(false, nullptr);
    }
    {
        auto db = std::make_shared<TqbSrDatabase>(host, folder, 10000);
        auto c = std::make_shared<TqbSrCursor>(host, 10000, *db);
        c->Open(name, "", 0, true, qbsmShared, true, false, false);
        ASSERT_EQ(db->StartTransaction(), 0);
        for (const auto& row : rows) {
            std::vector<uint8_t> r(size_t(d.RecordLength()));
            d.InitRecord(r.data());
            for (int32_t f = 0; f < int32_t(row.size()); ++f) {
                std::vector<uint8_t> v(size_t(d.FieldLength(f)), 0);
                if (d.FieldType(f) == qbtShortString) {
                    v[0] = uint8_t(row[size_t(f)].size());
                    std::memcpy(v.data() + 1, row[size_t(f)].data(), row[size_t(f)].size());
                } else if (v.size() >= 4) {
                    plat::StoreLE32(v.data(), uint32_t(std::stol(row[size_t(f)])));
                } else {
                    v[0] = uint8_t(std::stol(row[size_t(f)]));
                }
                d.SetRecordField(f, r.data(), v.data());
            }
            ASSERT_EQ(c->RecordInsert(r.data(), lmNone), 0);
        }
        ASSERT_EQ(db->Commit(), 0);
        c->Close();
    }
    folders.ReleaseFolder(folder);
    SetThreadDeadline(0);
}

struct ConfigTables : ::testing::Test {
    pwtest::TempDir dir;
    std::string sub(const std::string& name) {
        const std::string p = dir.file(name);
        std::filesystem::create_directories(p);
        return p;
    }
};

TEST_F(ConfigTables, AnEmptyFolderGivesTheDefaultsAndOneDefaultAdministrator) {
    {
        EngineRun r(dir.str());
        r.load();
        const TqbGeneralInfo g = r.config.GeneralInfo(), d = DefaultGeneralInfo();
        EXPECT_EQ(g.MaxRAM, d.MaxRAM);
        EXPECT_EQ(g.TempStoreSize, d.TempStoreSize);
        EXPECT_EQ(g.CollectFreq, d.CollectFreq);
        EXPECT_TRUE(g.UseEncrypt && !g.ReadOnly && !g.IsSecure);
        const std::string admin = DefaultAdministratorID();
        EXPECT_EQ(admin.size(), 5u);
        EXPECT_EQ(users(r.config),
                  (std::vector<std::string>{admin + "/Administrator//" +
                                            std::to_string(HashShStr("quenbordix")) + "/31"}));
        EXPECT_TRUE(aliases(r.config).empty());
        EXPECT_TRUE(r.logged("Default administrator account created"));
        EXPECT_EQ(files(dir.str()), kThreeTables) << "the three tables and nothing left of their saves";
    }
    // The next run reads the stored account: it is not made again.
    EngineRun again(dir.str());
    again.load();
    EXPECT_EQ(users(again.config).size(), 1u);
    EXPECT_FALSE(again.logged("Default administrator"));
}

TEST_F(ConfigTables, EveryGeneralInfoFieldRoundTrips) {
    TqbGeneralInfo g{};
    g.ServerName.Set("Paging server 7");
    g.MaxRAM = 3000000000u; // beyond a signed 32-bit value
    g.UseSingleUser = false;
    g.UseIPXSPX = true;
    g.IPXSPXLFB = false;
    g.UseTCPIP = true;
    g.TCPIPLFB = false;
    g.TCPPort = 1001;
    g.UDPPortSr = 1002;
    g.UDPPortCl = 1003;
    g.IPXSocketSr = 1004;
    g.IPXSocketCl = 1005;
    g.SPXSocket = 65535;
    g.IsSecure = true;
    g.AutoUp = true;
    g.AutoMini = true;
    g.DebugLog = true;
    g.UseEncrypt = false;
    g.ReadOnly = false;
    g.LstMsgIntvl = 86400000;
    g.KAInterval = 1000;
    g.KARetries = 100;
    g.Priority = -2;
    g.TCPInterface = 3;
    g.NoAutoSaveCfg = true;
    g.TempStoreSize = 2048;
    g.CollectEnabld = true;
    g.CollectFreq = 3599999;
    {
        EngineRun r(dir.str());
        r.config.SetGeneralInfo(g);
        r.config.AddUser("u", "", "", 1, 1);
        r.store.SaveInfo(r.config, true);
        r.store.SaveUsers(r.config);
        EXPECT_EQ(files(dir.str()), std::vector<std::string>{"QBSINFO.QB2"}) << "no automatic save";
    }
    EngineRun r(dir.str());
    r.load();
    const TqbGeneralInfo b = r.config.GeneralInfo();
    EXPECT_EQ(b.ServerName.Str(), "Paging server 7");
    EXPECT_EQ(b.MaxRAM, g.MaxRAM);
    EXPECT_EQ((std::vector<bool>{b.UseSingleUser, b.UseIPXSPX, b.IPXSPXLFB, b.UseTCPIP, b.TCPIPLFB,
                                 b.IsSecure, b.AutoUp, b.AutoMini, b.DebugLog, b.UseEncrypt, b.ReadOnly,
                                 b.NoAutoSaveCfg, b.CollectEnabld}),
              (std::vector<bool>{false, true, false, true, false, true, true, true, true, false, false, true,
                                 true}));
    EXPECT_EQ((std::vector<int64_t>{b.TCPPort, b.UDPPortSr, b.UDPPortCl, b.IPXSocketSr, b.IPXSocketCl,
                                    b.SPXSocket, b.LstMsgIntvl, b.KAInterval, b.KARetries, b.Priority,
                                    b.TCPInterface, b.TempStoreSize, b.CollectFreq}),
              (std::vector<int64_t>{1001, 1002, 1003, 1004, 1005, 65535, 86400000, 1000, 100, -2, 3, 2048,
                                    3599999}));
}

// Stored values out of their ranges are not applied: each gives its default.
TEST_F(ConfigTables, StoredSettingsOutOfRangeGiveTheirDefaults) {
    {
        EngineRun r(dir.str());
        TqbGeneralInfo g = DefaultGeneralInfo();
        g.MaxRAM = 0;
        g.KARetries = 0;
        g.TempStoreSize = 70000; // more than the column holds
        g.CollectFreq = -5;
        g.TCPPort = 70000;
        r.config.SetGeneralInfo(g);
        r.store.SaveInfo(r.config, true);
    }
    EngineRun r(dir.str());
    r.load();
    const TqbGeneralInfo b = r.config.GeneralInfo(), d = DefaultGeneralInfo();
    EXPECT_EQ((std::vector<int64_t>{b.MaxRAM, b.KARetries, b.TempStoreSize, b.TCPPort}),
              (std::vector<int64_t>{d.MaxRAM, d.KARetries, d.TempStoreSize, d.TCPPort}));
    EXPECT_EQ(-5, b.CollectFreq) << "the period as set: the collection's timer bounds it";
}

TEST_F(ConfigTables, ReadOnlyOrNoAutoSaveWritesNothing) {
    for (bool readOnly : {true, false}) {
        pwtest::TempDir folder;
        {
            EngineRun r(folder.str());
            r.load();
            r.config.UpdateGeneralInfo(
                [&](TqbGeneralInfo& g) { (readOnly ? g.ReadOnly : g.NoAutoSaveCfg) = true; });
            r.store.SaveInfo(r.config, true);
        }
        std::filesystem::remove(folder.file("QBSUSER.QB2"));
        std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> before;
        for (const std::string& f : files(folder.str()))
            before[f] = {pwtest::readFile(folder.file(f)), std::filesystem::last_write_time(folder.file(f))};

        EngineRun r(folder.str());
        r.load();
        EXPECT_EQ(users(r.config).size(), 1u) << "the default account, in memory only";
        EXPECT_EQ(r.config.AddAlias("extra", sub("extra")), 0);
        r.store.SaveAliases(r.config);
        r.store.SaveUsers(r.config);
        r.store.SaveInfo(r.config);
        for (auto& [f, was] : before) {
            EXPECT_EQ(pwtest::readFile(folder.file(f)), was.first) << f;
            EXPECT_EQ(std::filesystem::last_write_time(folder.file(f)), was.second) << f;
        }
        EXPECT_EQ(files(folder.str()), (std::vector<std::string>{"QBSALIAS.QB2", "QBSINFO.QB2"}));
    }
}

TEST_F(ConfigTables, AliasesAndUsersRoundTripAndStoredUsersStopTheDefaultAccount) {
    const std::string a = sub("a"), b = sub("b b");
    std::vector<std::string> wantAliases, wantUsers;
    {
        EngineRun r(dir.str());
        ASSERT_EQ(r.config.AddAlias("First", a), 0);
        ASSERT_EQ(r.config.AddAlias("second", b), 0);
        ASSERT_EQ(r.config.AddUser("jo", "Smith", "Jo", HashShStr("pw"), 5), 0);
        ASSERT_EQ(r.config.AddUser(std::string(31, 'x'), std::string(31, 'l'), std::string(31, 'f'),
                                   0xFFFFFFFu, 31),
                  0);
        r.store.SaveAliases(r.config);
        r.store.SaveUsers(r.config);
        wantAliases = aliases(r.config);
        wantUsers = users(r.config);
    }
    EngineRun r(dir.str());
    r.load();
    EXPECT_EQ(aliases(r.config), wantAliases);
    EXPECT_EQ(users(r.config), wantUsers);
    EXPECT_FALSE(r.logged("Default administrator"));
}

TEST_F(ConfigTables, KeyProceduresComeFromQBSINDEX) {
    makeTable(dir.str(), "QBSINDEX",
              {{qbtShortString, 219},
               {qbtShortString, 31},
               {qbtInt32, 0},
               {qbtShortString, 255},
               {qbtShortString, 31},
               {qbtShortString, 31}},
              {{dir.str(), "people", "2", "libkeys.so", "Build", "Compare"},
               {dir.str(), "places", "-1", "other.so", "B2", "C2"}});
    EngineRun r(dir.str());
    r.load();
    ASSERT_EQ(r.config.KeyProcList().Count(), 2);
    TqbKeyProcEntry e;
    ASSERT_TRUE(r.config.KeyProcList().Find(TqbKeyProcList::ComposeKey(dir.str(), "people", 2), e));
    EXPECT_EQ((std::vector<std::string>{e.Library, e.BuildKey, e.CompareKey}),
              (std::vector<std::string>{"libkeys.so", "Build", "Compare"}));
    EXPECT_TRUE(r.config.KeyProcList().Exists(dir.str(), "places", -1));
    EXPECT_TRUE(plat::FileExists(dir.file("QBSINDEX.QB2"))) << "read, never written";
}

// Tables with other fields than the engine's: defaults and a log line, and the save replaces them;
// the users of a configuration that requires logins are not replaced by the default account.
TEST_F(ConfigTables, ATableWithOtherFieldsGivesDefaultsOrStopsASecureStart) {
    const std::vector<std::pair<int32_t, int32_t>> odd{{qbtInt32, 0}, {qbtShortString, 10}};
    for (const char* t : {"QBSINFO", "QBSALIAS", "QBSUSER", "QBSINDEX"})
        makeTable(dir.str(), t, odd, {{"7", "x"}});
    {
        EngineRun r(dir.str());
        r.load();
        EXPECT_EQ(r.config.GeneralInfo().MaxRAM, DefaultGeneralInfo().MaxRAM);
        EXPECT_TRUE(aliases(r.config).empty());
        EXPECT_EQ(users(r.config).size(), 1u);
        EXPECT_EQ(r.config.KeyProcList().Count(), 0);
        for (const char* t : {"QBSINFO", "QBSALIAS", "QBSUSER", "QBSINDEX"})
            EXPECT_TRUE(r.logged(std::string("Configuration table ") + t + " has fields other than expected"))
                << t;
    }
    {
        EngineRun r(dir.str());
        r.load();
        for (const char* t : {"QBSINFO", "QBSALIAS", "QBSUSER"})
            EXPECT_FALSE(r.logged(std::string("Configuration table ") + t + " has")) << t << " was replaced";
        EXPECT_TRUE(r.logged("QBSINDEX has fields other than expected")) << "never written";
        EXPECT_EQ(users(r.config).size(), 1u);
    }

    // Secure: the load raises and leaves the table as it was.
    pwtest::TempDir secure;
    {
        EngineRun r(secure.str());
        r.config.UpdateGeneralInfo([](TqbGeneralInfo& g) { g.IsSecure = true; });
        r.store.SaveInfo(r.config, true);
    }
    makeTable(secure.str(), "QBSUSER", odd, {{"7", "x"}});
    const std::string stored = pwtest::readFile(secure.file("QBSUSER.QB2"));
    EngineRun r(secure.str());
    EXPECT_THROW(r.load(), EqbException);
    EXPECT_EQ(users(r.config).size(), 0u);
    EXPECT_EQ(pwtest::readFile(secure.file("QBSUSER.QB2")), stored);
    EXPECT_TRUE(r.logged("QBSUSER has fields other than expected"));
}

// Stored users of which none can be taken do not open the default account: without a user nobody
// logs in, and the table stays for repair; a configuration requiring logins does not start.
TEST_F(ConfigTables, StoredUsersNoneOfWhichIsUsableMakeNoDefaultAccount) {
    for (bool secure : {false, true}) {
        pwtest::TempDir folder;
        if (secure) {
            EngineRun r(folder.str());
            r.config.UpdateGeneralInfo([](TqbGeneralInfo& g) { g.IsSecure = true; });
            r.store.SaveInfo(r.config, true);
        }
        makeTable(folder.str(), "QBSUSER",
                  {{qbtShortString, 31},
                   {qbtShortString, 31},
                   {qbtShortString, 31},
                   {qbtWord32, 10},
                   {qbtByteArray, 1}},
                  {{"", "Nobody", "", "5", "31"}}, {"User", "LastName", "FirstName", "PwdHash", "Rights"});
        const std::string stored = pwtest::readFile(folder.file("QBSUSER.QB2"));
        EngineRun r(folder.str());
        if (secure) {
            EXPECT_THROW(r.load(), EqbException);
        } else {
            r.load();
            EXPECT_TRUE(r.logged("holds no usable user"));
        }
        EXPECT_TRUE(users(r.config).empty());
        EXPECT_FALSE(r.logged("Default administrator"));
        EXPECT_EQ(pwtest::readFile(folder.file("QBSUSER.QB2")), stored);
    }
}

// A crash stops a save after each of its steps: the next load finds the old contents (or, once
// the new table is in place, the new ones), never nothing, and its own saves leave no remains.
TEST_F(ConfigTables, ACrashAfterEachSaveStepLosesNeitherAliasesNorUsers) {
    const std::string a = sub("a"), b = sub("b");
    for (int step = 1; step <= 7; ++step) {
        for (bool firstSave : {false, true}) {
            pwtest::TempDir folder;
            const std::string at = "step " + std::to_string(step) + (firstSave ? ", first save" : "");
            std::vector<std::string> oldAliases, oldUsers, newAliases, newUsers;
            if (!firstSave) {
                EngineRun r(folder.str());
                ASSERT_EQ(r.config.AddAlias("old", a), 0);
                ASSERT_EQ(r.config.AddUser("keeper", "K", "", 42, 3), 0);
                r.store.SaveAliases(r.config);
                r.store.SaveUsers(r.config);
                oldAliases = aliases(r.config);
                oldUsers = users(r.config);
            }
            {
                EngineRun r(folder.str());
                ASSERT_EQ(r.config.AddAlias("old", a), 0);
                ASSERT_EQ(r.config.AddAlias("new", b), 0);
                ASSERT_EQ(r.config.AddUser("keeper", "K", "", 42, 3), 0);
                ASSERT_EQ(r.config.AddUser("second", "S", "", 43, 1), 0);
                newAliases = aliases(r.config);
                newUsers = users(r.config);
                r.store.StopSaveAfterStep(step);
                EXPECT_THROW(r.store.SaveAliases(r.config), EqbSaveStopped) << at;
                EXPECT_THROW(r.store.SaveUsers(r.config), EqbSaveStopped) << at;
            }
            EngineRun r(folder.str());
            r.load();
            // Once whole, the new table may stand in for the old one; from step 6 it is in place.
            const bool newOnes = step >= 6 || (firstSave && step >= 4);
            EXPECT_EQ(aliases(r.config), newOnes ? newAliases : oldAliases) << at;
            if (firstSave && !newOnes) {
                EXPECT_TRUE(r.logged("Default administrator")) << at;
            } else {
                EXPECT_EQ(users(r.config), newOnes ? newUsers : oldUsers) << at;
                EXPECT_FALSE(r.logged("Default administrator")) << at;
            }
            EXPECT_EQ(files(folder.str()), kThreeTables) << at;
        }
    }
}

// A file routine fails once at each point of a save: the save reports it (or the new table was in
// place already), and the next load finds the old or the new contents with nothing left over.
TEST_F(ConfigTables, AFailingFileRoutineAtEachPointOfASaveLosesNothing) {
    const std::string a = sub("a"), b = sub("b");
    for (plat::FileOp op : {plat::FileOp::Rename, plat::FileOp::Remove, plat::FileOp::Write,
                            plat::FileOp::Sync, plat::FileOp::SyncDir, plat::FileOp::Open}) {
        int raised = 0;
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 400u);
            const std::string at = std::string(plat::FileOpName(op)) + " " + std::to_string(n);
            pwtest::TempDir folder;
            std::vector<std::string> oldAliases, newAliases;
            {
                EngineRun r(folder.str());
                ASSERT_EQ(r.config.AddAlias("old", a), 0);
                r.store.SaveAliases(r.config);
                oldAliases = aliases(r.config);
            }
            bool fired = false, failed = false;
            {
                EngineRun r(folder.str());
                ASSERT_EQ(r.config.AddAlias("old", a), 0);
                ASSERT_EQ(r.config.AddAlias("new", b), 0);
                newAliases = aliases(r.config);
                plat::FaultyFiles faulty(plat::PosixFiles());
                plat::ScopedFiles use(faulty);
                faulty.failAt(n, op);
                try {
                    r.store.SaveAliases(r.config);
                } catch (const EqbException&) {
                    failed = true;
                }
                fired = faulty.faultFired();
            }
            raised += failed;
            EngineRun r(folder.str());
            ASSERT_NO_THROW(r.load()) << at;
            if (failed) {
                EXPECT_TRUE(aliases(r.config) == oldAliases || aliases(r.config) == newAliases) << at;
            } else {
                EXPECT_EQ(aliases(r.config), newAliases) << at;
            }
            EXPECT_EQ(files(folder.str()), kThreeTables) << at;
            if (!fired) break;
        }
        EXPECT_GT(raised, 0) << plat::FileOpName(op);
    }
}

// The power fails after every change a save makes to the disk, with and without what no sync made
// durable: the next load finds the old aliases or the new ones, and the new ones once the save
// has returned.
TEST(ConfigTablesPowerCut, APowerCutAfterEachStepOfASaveLosesNoAlias) {
    plat::MemoryFiles mem;
    std::vector<std::string> oldAliases, newAliases;
    {
        plat::ScopedFiles use(mem);
        ASSERT_EQ(plat::DirCreate("/cfg"), 0);
        EngineRun r("/cfg");
        ASSERT_EQ(r.config.AddAlias("old", "/data/a"), 0);
        r.store.SaveAliases(r.config);
        oldAliases = aliases(r.config);
    }
    plat::PowerCutFiles rec(mem);
    size_t from = 0, to = 0;
    {
        plat::ScopedFiles use(rec);
        EngineRun r("/cfg");
        ASSERT_EQ(r.config.AddAlias("old", "/data/a"), 0);
        ASSERT_EQ(r.config.AddAlias("new", "/data/b"), 0);
        newAliases = aliases(r.config);
        from = rec.eventCount();
        r.store.SaveAliases(r.config);
        to = rec.eventCount();
    }
    ASSERT_GT(to - from, 10u);
    int sawOld = 0, sawNew = 0;
    for (size_t n = from; n <= to; ++n)
        for (bool drop : {false, true}) {
            const std::string at =
                "event " + std::to_string(n) + " of " + std::to_string(to) + (drop ? ", unsynced lost" : "");
            plat::MemoryFiles after;
            ASSERT_EQ(plat::PowerCutFiles::Restore(after, rec.diskAfter(n, drop)), 0);
            plat::ScopedFiles use(after);
            EngineRun r("/cfg");
            ASSERT_NO_THROW(r.load()) << at;
            const std::vector<std::string> got = aliases(r.config);
            EXPECT_TRUE(got == oldAliases || got == newAliases) << at;
            if (n == to) {
                EXPECT_EQ(got, newAliases) << at;
            }
            (got == newAliases ? sawNew : sawOld)++;
            std::vector<plat::DirEntry> left;
            plat::DirList("/cfg", left);
            for (const plat::DirEntry& e : left)
                EXPECT_TRUE(e.name.rfind("SAV", 0) != 0 && e.name.rfind("XXS", 0) != 0)
                    << e.name << "; " << at;
        }
    EXPECT_GT(sawOld, 5);
    EXPECT_GT(sawNew, 5);
}

} // namespace
