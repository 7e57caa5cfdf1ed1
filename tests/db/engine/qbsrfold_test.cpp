// Folders: one folder per real directory whatever the spelling, case kept apart, reference counts,
// the process's hold on the folder, the text of each error and the recovery of journals at first use.
#include "db/base/qbsrmgr.h"
#include "db/engine/qbsrfold.h"
#include "db/storage/qbfile.h"
#include "db/storage/qbsrbase.h"
#include "platform/Paths.h"
#include "platform/testing/FaultyFiles.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

struct FolderTest : ::testing::Test {
    pwtest::TempDir dir;
    TqbBufferManager bm;
    TqbSrFolderList list;
    std::string sub(const std::string& name) {
        fs::create_directories(dir.path() / name);
        return (dir.path() / name).string();
    }
};

TEST_F(FolderTest, EverySpellingOfOneDirectoryIsOneFolderAndCaseIsKeptApart) {
    const std::string data = sub("Data");
    const std::string lower = sub("data");
    fs::create_directory_symlink(data, dir.path() / "link");

    TqbSrFolderPtr a = list.AddFolder(data, false, &bm);
    for (std::string other :
         {data + "/", data + "/../Data", (dir.path() / "link").string(), dir.str() + "\\Data"}) {
        TqbSrFolderPtr b = list.AddFolder(other, false, &bm);
        EXPECT_EQ(a, b) << other;
        EXPECT_EQ(&a->LockManager(), &b->LockManager());
        list.ReleaseFolder(b);
        EXPECT_EQ(b, nullptr) << "the caller's reference is cleared";
    }
    EXPECT_EQ(a->GetPath(), data) << "the real path, never upper-cased";
    TqbSrFolderPtr c = list.AddFolder(lower, false, &bm);
    EXPECT_NE(a, c) << "two directories differing in case are two folders";
    EXPECT_EQ(c->TransactionMgr().FolderPath(), lower);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.IndexOfPath(lower + "/."), 1);
    EXPECT_EQ(list.IndexOfPath(sub("none")), -1);

    // Count 1 released twice: gone at the first, the second finds nothing.
    TqbSrFolderPtr again = c;
    list.ReleaseFolder(c);
    EXPECT_EQ(list.Count(), 1);
    list.ReleaseFolder(again);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(a->RefCount(), 1);
    a->ReleaseIfUsed();
    a->ReleaseIfUsed();
    EXPECT_EQ(a->RefCount(), 0);
    list.RemoveUnused();
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(FolderTest, MissingOrOverlongPathsAreRefusedAndAFolderIsHeldForOneProcess) {
    EXPECT_EQ(dbtest::raised<EqbException>([&] { list.AddFolder(dir.file("missing"), false, &bm); }).code,
              10018);
    std::string deep = dir.str();
    while (deep.size() <= kMaxFolderPath)
        deep = sub(fs::relative(deep, dir.path()).string() + "/abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(dbtest::raised<EqbException>([&] { list.AddFolder(deep, false, &bm); }).code, 10018);

    const std::string data = sub("held");
    TqbSrFolderPtr f = list.AddFolder(data, false, &bm);
    EXPECT_TRUE(plat::FileExists(plat::JoinPath(data, kFolderLockName)));
    // A second holder (as another engine process would be) is refused.
    auto r = dbtest::raised<EqbException>([&] { TqbSrFolder other(data, &bm, false); });
    EXPECT_EQ(r.code, 160);
    // Read-only users take no hold.
    TqbSrFolder reader(data, &bm, true);
    EXPECT_EQ(reader.GetPath(), data);
}

// Every error a folder raises carries its code's own text.
TEST_F(FolderTest, EachErrorIsRaisedWithItsOwnText) {
    const std::string missing = dir.file("missing");
    EXPECT_EQ(dbtest::raised<EqbException>([&] { list.AddFolder(missing, false, &bm); }),
              (dbtest::Raised{CompatErrorStrings().GetText(10018), 10018}));
    EXPECT_EQ(dbtest::raised<EqbException>([&] { TqbSrFolder f(missing, &bm, false); }),
              (dbtest::Raised{CompatErrorStrings().GetText(10018), 10018}));

    const std::string data = sub("held");
    TqbSrFolderPtr f = list.AddFolder(data, false, &bm);
    EXPECT_EQ(dbtest::raised<EqbException>([&] { TqbSrFolder other(data, &bm, false); }),
              (dbtest::Raised{ServerStrings().GetText(160), 160}));
    list.ReleaseFolder(f);

    // The lock file cannot be opened at all: not another process, so not 160.
    const std::string other = sub("locked");
    plat::FaultyFiles faulty(plat::PosixFiles());
    plat::ScopedFiles scoped(faulty);
    faulty.failAt(1, plat::FileOp::Open, EACCES);
    EXPECT_EQ(dbtest::raised<EqbException>([&] { TqbSrFolder f2(other, &bm, false); }),
              (dbtest::Raised{qbFormat(ServerStrings().GetText(1), {plat::JoinPath(other, kFolderLockName),
                                                                    EACCES, plat::FileErrorText(EACCES)}),
                              1}));
    EXPECT_TRUE(faulty.faultFired());
}

TEST_F(FolderTest, JournalsLeftInAFolderAreSettledWhenItIsFirstUsed) {
    const std::string data = sub("crashed");
    // A journal cut off inside its header: nothing reached the tables, so it goes.
    const std::string journal = plat::JoinPath(data, "T0001.QB$");
    pwtest::writeFile(journal, "JQ");
    TqbSrFolderPtr f = list.AddFolder(data, false, &bm);
    EXPECT_FALSE(plat::FileExists(journal));
    EXPECT_FALSE(f->TransactionMgr().Damaged());
}

} // namespace
