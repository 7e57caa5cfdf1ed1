// Profile files: defaults, number rules, case-insensitive names, write order, hand-edited files
// and safe rewrites, all on real files in a temporary folder.
#include "platform/Profile.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using plat::ProfileFile;
namespace fs = std::filesystem;

TEST(Profile, MissingFileGivesDefaultsAndReadsNeverCreateIt) {
    pwtest::TempDir dir;
    const std::string path = dir.file("snppqorn.ini");
    ProfileFile ini(path);
    EXPECT_EQ(ini.ReadString("GENERAL", "message1", "Hi"), "Hi");
    EXPECT_EQ(ini.ReadInteger("General", "timeout", 45), 45);
    EXPECT_TRUE(ini.ReadBool("LOGGING", "loggingEnabled", true));
    EXPECT_TRUE(ini.ReadSections().empty());
    // Erasing in a missing file is no write either.
    ini.EraseSection("General");
    ini.DeleteKey("General", "timeout");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Profile, IntegersAndBooleansFollowTheNumberRule) {
    // Texts that are not a 32-bit number give the default, 45.
    const std::pair<std::string, int> numbers[] = {
        {"  42  ", 42},     {"$1F", 31},        {"0x10", 16},  {"$FFFFFFFF", -1},
        {"2147483648", 45}, {"$100000000", 45}, {"12abc", 45}, {"", 45}};
    std::string text = "[n]\nmin=-2147483648\nzero=0\ntwo=2\nyes=yes\n";
    for (size_t i = 0; i < std::size(numbers); ++i)
        text += "k" + std::to_string(i) + "=" + numbers[i].first + "\n";
    pwtest::TempDir dir;
    pwtest::writeFile(dir.file("a.ini"), text);
    ProfileFile ini(dir.file("a.ini"));
    for (size_t i = 0; i < std::size(numbers); ++i)
        EXPECT_EQ(ini.ReadInteger("n", "k" + std::to_string(i), 45), numbers[i].second) << numbers[i].first;
    EXPECT_EQ(ini.ReadInteger("n", "min", 0), INT32_MIN);
    EXPECT_FALSE(ini.ReadBool("n", "zero", true));
    EXPECT_TRUE(ini.ReadBool("n", "two", false));
    EXPECT_TRUE(ini.ReadBool("n", "yes", true));
}

TEST(Profile, SectionsKeysAndTheFileNameMatchWhateverTheirCase) {
    pwtest::TempDir dir;
    pwtest::writeFile(dir.file("SNPPQORN.INI"), "[GENERAL]\nhidecheckAllButton=1\nMessage1=Hello\n");
    ProfileFile ini(dir.str() + "\\snppqorn.ini");
    EXPECT_TRUE(ini.ReadBool("general", "HIDECHECKALLBUTTON", false));

    // A write under another spelling replaces the value in place, in the existing file.
    ini.WriteBool("General", "hideCheckAllButton", false);
    EXPECT_EQ(pwtest::readFile(dir.file("SNPPQORN.INI")),
              "[GENERAL]\nhideCheckAllButton=0\nMessage1=Hello\n");
    EXPECT_FALSE(fs::exists(dir.file("snppqorn.ini")));
}

TEST(Profile, WrittenFileReadsBackWithTheSameValuesInWriteOrder) {
    pwtest::TempDir dir;
    const std::string path = dir.file("snppqorn.ini");
    ProfileFile ini(path);
    ini.WriteInteger("General", "timeout", 30);
    ini.WriteString("General", "message2", "  padded  ");
    ini.WriteBool("LOGGING", "loggingEnabled", true);
    ini.WriteBool("General", "hideCheckAllButton", false);
    ini.WriteString("Groups", "group1Name", "Caf\xE9 \x80 staff = all");

    const std::string written = "[General]\n"
                                "timeout=30\n"
                                "message2=\"  padded  \"\n"
                                "hideCheckAllButton=0\n"
                                "\n"
                                "[LOGGING]\n"
                                "loggingEnabled=1\n"
                                "\n"
                                "[Groups]\n"
                                "group1Name=Caf\xE9 \x80 staff = all\n";
    EXPECT_EQ(pwtest::readFile(path), written);

    ProfileFile again(path);
    EXPECT_EQ(again.ReadString("GENERAL", "message2", "Hi"), "  padded  ");
    EXPECT_EQ(again.ReadString("Groups", "group1Name", ""), "Caf\xE9 \x80 staff = all");
    EXPECT_EQ(again.ReadSection("general"),
              (std::vector<std::string>{"timeout", "message2", "hideCheckAllButton"}));
    // Rewriting a value again changes nothing in the order.
    again.WriteInteger("General", "timeout", 30);
    EXPECT_EQ(pwtest::readFile(path), written);
}

TEST(Profile, HandEditedFileIsReadWithoutErrorAndItsOtherLinesSurviveAWrite) {
    pwtest::TempDir dir;
    const std::string path = dir.file("edited.ini");
    const std::string longValue(100 * 1024, 'x');
    const std::string text = "; settings written by hand\r\n"
                             "orphan=before any section\r\n"
                             "\r\n"
                             "  [ General ]  \r\n"
                             "# a hash comment\r\n"
                             "timeout = 60 \r\n"
                             "timeout=99\r\n"
                             "just some words\r\n"
                             "message1='single'\r\n"
                             "long=" +
                             longValue +
                             "\r\n"
                             "\r\n"
                             "[Groups\r\n"
                             "group1Name=Sales\r\n"
                             "[general]\r\n"
                             "message2=second block\r\n"
                             "[Empty]";
    pwtest::writeFile(path, text);
    ProfileFile ini(path);
    EXPECT_EQ(ini.ReadInteger("General", "timeout", 45), 60);
    EXPECT_EQ(ini.ReadString("General", "message1", ""), "single");
    EXPECT_EQ(ini.ReadString("General", "orphan", "none"), "none");
    EXPECT_TRUE(ini.SectionExists("Empty"));
    EXPECT_EQ(ini.ReadSection("General"),
              (std::vector<std::string>{"timeout", "message1", "long", "message2"}));

    // A new key lands after the last key of the section's first block; CR LF is kept.
    ini.WriteString("General", "message3", "third");
    ini.WriteInteger("General", "timeout", 30);
    std::string expected = text;
    expected.replace(expected.find("timeout = 60 "), 13, "timeout=30");
    expected.replace(expected.find("\r\n\r\n[Groups"), 0, "\r\nmessage3=third");
    expected += "\r\n";
    EXPECT_EQ(pwtest::readFile(path), expected);

    // Deleting the first of two duplicates would expose the second: both go.
    ini.DeleteKey("GENERAL", "TIMEOUT");
    EXPECT_EQ(ini.ReadInteger("General", "timeout", 45), 45);
    EXPECT_EQ(ini.ReadString("General", "message2", ""), "second block");

    // Erasing a section removes every block of it, and nothing else.
    ini.EraseSection("general");
    EXPECT_FALSE(ini.SectionExists("General"));
    EXPECT_EQ(ini.ReadString("Groups", "group1Name", ""), "Sales");
    EXPECT_TRUE(ini.SectionExists("Empty"));
    EXPECT_EQ(pwtest::readFile(path).rfind("; settings written by hand\r\norphan=before any section\r\n", 0),
              0u);
}

TEST(Profile, WritesReplaceTheFileWholeOrRefuseClearly) {
    pwtest::TempDir dir;
    const std::string path = dir.file("s.ini");
    ProfileFile ini(path);
    ini.WriteString("General", "message1", "Hi");
    ::chmod(path.c_str(), 0640);
    ini.WriteString("General", "message2", "There");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // Only the settings file is left in the folder: no temporary file remains.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // Names and values that cannot be stored are refused without touching the file.
    const std::string before = pwtest::readFile(path);
    EXPECT_THROW(ini.WriteString("General", "message3", "two\nlines"), plat::ProfileError);
    EXPECT_THROW(ini.WriteString("Gen]eral", "a", "x"), plat::ProfileError);
    EXPECT_EQ(pwtest::readFile(path), before);

    // A folder that does not exist: the write fails and nothing is created.
    ProfileFile nowhere(dir.file("missing/s.ini"));
    EXPECT_THROW(nowhere.WriteInteger("General", "timeout", 1), plat::ProfileError);
    EXPECT_FALSE(fs::exists(dir.file("missing")));

    // A settings "file" that cannot be read reads as defaults, and is never overwritten.
    fs::create_directory(dir.file("dir.ini"));
    ProfileFile unreadable(dir.file("dir.ini"));
    EXPECT_EQ(unreadable.ReadInteger("General", "timeout", 45), 45);
    EXPECT_THROW(unreadable.WriteInteger("General", "timeout", 1), plat::ProfileError);
    EXPECT_TRUE(fs::is_directory(dir.file("dir.ini")));
}

// Every file routine a write calls fails in turn: the write is refused with the file holding the
// old or the new settings whole, or (a failed name lookup that the folder search makes good) done;
// no file stays open.
TEST(Profile, AFailingFileRoutineLeavesTheOldOrTheNewFileAndNothingOpen) {
    plat::MemoryFiles mem;
    plat::FaultyFiles faulty(mem);
    plat::ScopedFiles scope(faulty);
    ProfileFile ini("\\cfg\\S.INI");
    ASSERT_EQ(plat::DirCreate("/cfg"), 0);
    ini.WriteString("General", "a", "old");
    faulty.reset();
    ini.WriteString("General", "a", "old");
    const uint64_t calls = faulty.calls();
    for (uint64_t n = 1; n <= calls; ++n) {
        ini.WriteString("General", "a", "old");
        faulty.failAt(n, plat::FileOp::Any, EIO);
        bool refused = false;
        try {
            ini.WriteString("General", "a", "new");
        } catch (const plat::ProfileError&) {
            refused = true;
        }
        faulty.clearFault();
        EXPECT_EQ(mem.openCount(), 0u) << n;
        ASSERT_EQ(mem.files().size(), 1u) << n;
        std::string a = ini.ReadString("General", "a", "");
        EXPECT_TRUE(a == "new" || (refused && a == "old")) << n;
    }
}

// A settings file is made as open as the umask lets it be, never writable by everyone; one the
// user made private stays so through every write.
TEST(Profile, ANewFileIsNoMoreOpenThanTheUmaskAndAPrivateOneStaysPrivate) {
    pwtest::TempDir dir;
    const mode_t old = ::umask(022);
    const std::string path = dir.file("snppqorn.ini");
    ProfileFile ini(path);
    ini.WriteString("Servers", "server1", "snpp.example.net");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ini.WriteString("Servers", "server2", "other.example.net");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ::umask(old);
    EXPECT_EQ(ini.ReadString("Servers", "server2", ""), "other.example.net");
}
