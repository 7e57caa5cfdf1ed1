// Path helpers with both separators, and the case-insensitive file lookup in a real folder.
#include "platform/Paths.h"

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace plat;
namespace fs = std::filesystem;

TEST(Paths, SplittingAcceptsBothSeparators) {
    for (const char* p : {"C:\\dir.x\\sub/file.tar.QB2", "C:/dir.x/sub\\file.tar.QB2"}) {
        PathParts parts = SplitPath(p);
        EXPECT_EQ(parts.folder, std::string(p).substr(0, 13)) << p;
        EXPECT_EQ(parts.name, "file.tar");
        EXPECT_EQ(parts.ext, ".QB2");
        EXPECT_EQ(ExtractFileName(p), "file.tar.QB2");
        EXPECT_EQ(ExtractFileDir(p), parts.folder.substr(0, 12));
    }
    // A dot in a folder name is no extension.
    EXPECT_EQ(ExtractFileExt("C:\\dir.x\\file"), "");
    EXPECT_EQ(ExtractFileDir("/file.ini"), "/");
}

TEST(Paths, ExtensionsAndSeparatorsAreAddedOnce) {
    EXPECT_EQ(ChangeFileExt("data\\contacts.QB2", ".QB$"), "data\\contacts.QB$");
    EXPECT_EQ(ChangeFileExt("dir.x/contacts", ".TMP"), "dir.x/contacts.TMP");
    EXPECT_EQ(IncludeTrailingPathDelimiter(".\\logs\\"), ".\\logs\\");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");

    EXPECT_EQ(JoinPath("C:\\data\\", "\\contacts.QB2"), "C:\\data/contacts.QB2");
    EXPECT_EQ(ToNativePath(".\\logs\\06_01_24.log"), "./logs/06_01_24.log");
}

TEST(Paths, FileNamesResolveWhateverTheirCaseButFoldersStayAsGiven) {
    pwtest::TempDir dir;
    fs::create_directory(dir.path() / "MixedCase");
    const std::string folder = (dir.path() / "MixedCase").string();
    pwtest::writeFile(folder + "/Contacts.QB2", "x");
    pwtest::writeFile(folder + "/QBSTRAN.CFG", "y");

    EXPECT_EQ(ResolveCaseInsensitive(folder + "\\", "CONTACTS.qb2"), folder + "/Contacts.QB2");
    // Missing: the name as given, so that a new file gets it.
    EXPECT_EQ(ResolveCaseInsensitive(folder, "New.QB$"), folder + "/New.QB$");
    // The folder is never case-folded or searched: a wrongly cased folder finds nothing.
    EXPECT_EQ(ResolveCaseInsensitive(dir.str() + "/mixedcase", "contacts.qb2"),
              dir.str() + "/mixedcase/contacts.qb2");
    // An exact match wins over another spelling, and several spellings resolve the same way each time.
    pwtest::writeFile(folder + "/contacts.qb2", "z");
    EXPECT_EQ(ResolveCaseInsensitive(folder, "contacts.qb2"), folder + "/contacts.qb2");
    EXPECT_EQ(ResolveCaseInsensitive(folder, "CONTACTS.qb2"), folder + "/Contacts.QB2");
    EXPECT_EQ(ResolveCaseInsensitive(folder, "*.QB2"), folder + "/*.QB2"); // no wildcards

    // An empty folder means the current directory.
    fs::path old = fs::current_path();
    fs::current_path(folder);
    EXPECT_EQ(ResolveCaseInsensitive("", "qbstran.cfg"), "QBSTRAN.CFG");
    fs::current_path(old);
}
