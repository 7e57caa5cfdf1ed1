// Script and alias files: every keyword with its limits, line and section rules, DELETESCRIPT,
// and aliases defined only for existing folders of a length the alias table keeps.
#include "db/engine/qbsrscr.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using G = TqbGeneralInfo;
using Field = int64_t (*)(const G&);
#define FIELD(m) [](const G& g) { return int64_t(g.m); }

int64_t after(const std::string& line, Field f) {
    TqbServerConfiguration c;
    TqbScriptApplier(c, "e", "").ApplyScriptText(line);
    return f(c.GeneralInfo());
}

TEST(ScriptFile, EveryKeywordTakesValuesInsideItsLimitsOnly) {
    struct Ranged {
        const char* Key;
        Field F;
        int64_t Lo, Hi, Default;
    };
    for (const Ranged& r : {Ranged{"MAXRAM", FIELD(MaxRAM), 1, 4294967295, 10},
                            Ranged{"LASTMSGINTVAL", FIELD(LstMsgIntvl), 1000, 86400000, 30000},
                            Ranged{"ALIVEINTERVAL", FIELD(KAInterval), 1000, 86400000, 5000},
                            Ranged{"ALIVERETRIES", FIELD(KARetries), 1, 100, 5},
                            Ranged{"TEMPSTORESIZE", FIELD(TempStoreSize), 1, 2048, 20},
                            Ranged{"COLLECTFREQ", FIELD(CollectFreq), 30001, 3599999, 300000},
                            Ranged{"TCPINTERFACE", FIELD(TCPInterface), INT32_MIN, INT32_MAX, 0}})
        for (int64_t v : {r.Lo - 1, r.Lo, r.Hi, r.Hi + 1})
            EXPECT_EQ(after(r.Key + ("=" + std::to_string(v)), r.F), v < r.Lo || v > r.Hi ? r.Default : v)
                << r.Key << "=" << v;
    EXPECT_EQ(after("maxram=64", FIELD(MaxRAM)), 64);
    for (const char* bad : {"MAXRAM=99999999999999999999999", "MAXRAM= 5", "MAXRAM=+5", "MAXRAM=$10",
                            "MAXRAM=0x10", "MAXRAM =64", "TCPINTERFACE=ab"})
        EXPECT_EQ(after(bad, FIELD(MaxRAM)) + after(bad, FIELD(TCPInterface)), 10) << bad;

    for (auto [value, priority] : {std::pair{"lowest", -2},
                                   {"BELOW NORMAL", -1},
                                   {"belownormal", -1},
                                   {"Normal", 0},
                                   {"above normal", 1},
                                   {"AboveNormal", 1},
                                   {"HIGHEST", 2},
                                   {"High", 0},
                                   {" HIGHEST", 0}})
        EXPECT_EQ(after(std::string("PRIORITY=") + value, FIELD(Priority)), priority) << value;

    struct Flag {
        const char* Key;
        Field F;
        bool Default;
    };
    for (const Flag& f :
         {Flag{"USESINGLEUSER", FIELD(UseSingleUser), true}, Flag{"USEIPXSPX", FIELD(UseIPXSPX), false},
          Flag{"USETCPIP", FIELD(UseTCPIP), false}, Flag{"USELOGIN", FIELD(IsSecure), false},
          Flag{"AUTOUPSERVER", FIELD(AutoUp), false}, Flag{"AUTOMINIMIZE", FIELD(AutoMini), false},
          Flag{"IPXSPXLFB", FIELD(IPXSPXLFB), true}, Flag{"TCPIPLFB", FIELD(TCPIPLFB), true},
          Flag{"ALLOWENCRYPT", FIELD(UseEncrypt), true}, Flag{"READONLY", FIELD(ReadOnly), false},
          Flag{"NOAUTOSAVECFG", FIELD(NoAutoSaveCfg), false},
          Flag{"COLLECTENABLD", FIELD(CollectEnabld), false}})
        for (auto [value, expected] : {std::pair{"1", 1},
                                       {"yes", 1},
                                       {"tRuE", 1},
                                       {"0", 0},
                                       {"No", 0},
                                       {"FALSE", 0},
                                       {"2", int(f.Default)},
                                       {"ja", int(f.Default)}})
            EXPECT_EQ(after(std::string(f.Key) + "=" + value, f.F), expected) << f.Key << "=" << value;

    TqbServerConfiguration c;
    TqbScriptApplier(c, "e", "").ApplyScriptText("SERVERNAME=abcdefghijklmnopqrstuvwxyz0123456789");
    EXPECT_EQ(c.GetServerName(), "abcdefghijklmnopqrstuvwxyz01234");
}

TEST(ScriptFile, LinesSectionsAndTheirLimits) {
    // Sections pick the engine by name in any case; lines before the first header always apply.
    const std::string text =
        "  A=1 \r\n[other]\r\nB=2\r\n[Engine1]\nC=3\r[x]y\rD=4\n[OTHER]\nE=5\n[ENGINE1]\nF=6";
    EXPECT_EQ(ParseScript(text, "engine1"),
              (std::vector<TqbScriptPair>{{"A", "1"}, {"C", "3"}, {"D", "4"}, {"F", "6"}}));
    // Two characters or fewer, a leading or a final only "=", no "=" at all: nothing.
    EXPECT_EQ(ParseScript("A=\n=5\n=a=b\nKEY=\nNOEQUALS\nK=v=w\n\t[a]]\n", "e"),
              (std::vector<TqbScriptPair>{{"K", "v=w"}}));
    // Trimmed first, then cut to 255 characters: the last digit is dropped.
    const std::string longLine = "  TCPINTERFACE=" + std::string(241, '0') + "79";
    EXPECT_EQ(after(longLine, FIELD(TCPInterface)), 7);
    // Alias file: ";" splits, no trimming, no sections, names cut to 31.
    EXPECT_EQ(ParseAliasFile("MAXRAM;32\r\n;x\nab\nk;\n M;1\n[s]\n" + std::string(40, 'n') + ";v"),
              (std::vector<TqbScriptPair>{{"MAXRAM", "32"}, {" M", "1"}, {std::string(31, 'n'), "v"}}));
}

TEST(ScriptFile, DeleteScriptOnTheFirstLineStillAppliesTheRest) {
    pwtest::TempDir dir;
    const std::string script = dir.file("pagebase.scr");
    pwtest::writeFile(script, "DELETESCRIPT=YES\r\nMAXRAM=64\r\n[other]\r\nREADONLY=1\r\n");
    TqbServerConfiguration c;
    int readOnlyCalls = 0;
    TqbScriptHooks hooks;
    hooks.ReadOnlyChanged = [&] { ++readOnlyCalls; };
    // The file's name is matched without regard to case.
    TqbScriptApplier a(c, "qbServerEngine1", dir.file("PAGEBASE.SCR"), hooks);
    EXPECT_TRUE(a.ProcessScriptFile());
    EXPECT_FALSE(std::filesystem::exists(script));
    EXPECT_EQ(c.GeneralInfo().MaxRAM, 64u);
    EXPECT_FALSE(c.IsReadOnly());
    EXPECT_EQ(readOnlyCalls, 0);
    EXPECT_FALSE(a.ProcessScriptFile()); // gone: nothing happens

    // A section of another engine deletes nothing; READONLY tells the engine at once.
    pwtest::writeFile(script, "[other]\nDELETESCRIPT=1\n[QBSERVERENGINE1]\nDELETESCRIPT=no\nREADONLY=yes\n");
    EXPECT_TRUE(a.ProcessScriptFile());
    EXPECT_TRUE(std::filesystem::exists(script));
    EXPECT_TRUE(c.IsReadOnly());
    EXPECT_EQ(readOnlyCalls, 1);
}

TEST(ScriptFile, AliasesOnlyForExistingFoldersTheAliasTableCanKeep) {
    pwtest::TempDir dir;
    std::filesystem::create_directory(dir.file("data"));
    // A folder whose path is exactly as long as the alias table keeps, and one inside it.
    const std::string full = dir.file(std::string(218 - dir.str().size(), 'f'));
    ASSERT_EQ(full.size(), kMaxAliasPath);
    std::filesystem::create_directories(full + "/deeper");

    TqbServerConfiguration c;
    TqbScriptApplier a(c, "e", "");
    a.ApplyScriptText("DATA=" + dir.file("data") + "\nNONE=" + dir.file("missing") +
                      "\nSTAR=" + dir.file("d*ta") + "\nFULL=" + full + "\nDEEP=" + full + "/deeper\n");
    EXPECT_EQ(c.AliasPath("data"), dir.file("data"));
    EXPECT_EQ(c.AliasPath("FULL"), full);
    for (const char* none : {"NONE", "STAR", "DEEP"})
        EXPECT_FALSE(c.AliasExists(none)) << none;

    // The alias file: a too-long path is refused, not cut to the folder above it.
    pwtest::writeFile(dir.file(kAliasFileName),
                      "PAGES;" + dir.file("data") + "\r\nLONG;" + full + "/deeper\r\nMAXRAM;32\r\n");
    EXPECT_TRUE(a.ProcessAliasFile(dir.file("qbalias.SC$")));
    EXPECT_EQ(c.AliasPath("PAGES"), dir.file("data"));
    EXPECT_FALSE(c.AliasExists("LONG"));
    EXPECT_EQ(c.GeneralInfo().MaxRAM, 32u);
    EXPECT_FALSE(a.ProcessAliasFile(dir.file("absent")));

    // The engine's own alias operation gets the pair; its refusal goes no further.
    std::vector<TqbScriptPair> seen;
    TqbScriptHooks hooks;
    hooks.AliasAdd = [&](std::string_view n, std::string_view p) {
        seen.push_back({std::string(n), std::string(p)});
        return TqbResultCode(10009);
    };
    TqbScriptApplier hooked(c, "e", "", hooks);
    hooked.ApplyScriptText("PAGES=" + dir.file("data") + "\nX=" + dir.file("missing"));
    EXPECT_EQ(seen, (std::vector<TqbScriptPair>{{"PAGES", dir.file("data")}}));
}

} // namespace
