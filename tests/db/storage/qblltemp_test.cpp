// Tests of the temporary storage over real files and over the in-memory file system.
#include "db/base/qbllexcp.h"
#include "db/storage/qblltemp.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/db/DbTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using dbtest::raised;

namespace {

std::string blockOf(char c) {
    return std::string(65536, c);
}

// 1000000 bytes of 64 KB blocks: 1 MB in 16 blocks; the 17th write is refused until a block is
// read back, which frees it for the next write; what was read is zero in the file afterwards.
TEST(TqbTempStorageMM, FillsUpReusesAndZeroesWhatWasRead) {
    pwtest::TempDir dir;
    TqbTempStorageMM st;
    st.Create(dir.str(), 65536, 1000000);
    EXPECT_EQ(st.Size(), 1048576);
    EXPECT_EQ(st.BlockCount(), 16);
    EXPECT_TRUE(st.HasSpaceFor(16));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(st.WriteBlock(blockOf(char('a' + i)).data()), i);
    EXPECT_TRUE(st.IsFull());
    EXPECT_FALSE(st.HasSpaceFor(1));
    auto full = raised<EqbException>([&] { st.WriteBlock(blockOf('x').data()); });
    EXPECT_EQ(full.code, 257);
    EXPECT_NE(full.message.find("reaching 1 MB"), std::string::npos) << full.message;

    std::string back(65536, '\0');
    st.ReadBlock(5, back.data());
    EXPECT_EQ(back, blockOf('f'));
    EXPECT_EQ(st.WriteBlock(blockOf('y').data()), 5);
    st.ReadBlock(5, back.data());
    EXPECT_EQ(back, blockOf('y'));
    std::string onDisk(65536, '\1');
    ASSERT_EQ(plat::FileReadExact(st.MapFile().handle(), 5 * 65536, onDisk.data(), onDisk.size()), 0);
    EXPECT_EQ(onDisk, std::string(65536, '\0'));
    st.ReleaseBlock(0);
    EXPECT_EQ(st.BlocksInUse(), 14);
    // A free block, or one outside the storage, gives nothing back.
    EXPECT_EQ(raised<EqbException>([&] { st.ReadBlock(5, back.data()); }).code, 260);
    EXPECT_EQ(raised<EqbException>([&] { st.ReleaseBlock(16); }).code, 260);
    EXPECT_EQ(raised<EqbException>([&] { st.ReadBlock(-1, back.data()); }).code, 260);

    // A block count that is no multiple of 8, and blocks that do not start on a page.
    TqbTempStorageMM odd;
    odd.Create(dir.str(), 100000, 524288);
    EXPECT_EQ(odd.BlockCount(), 5);
    std::string b(100000, '\0');
    for (int i = 0; i < 5; ++i) {
        b.assign(100000, char('0' + i));
        EXPECT_EQ(odd.WriteBlock(b.data()), i);
    }
    EXPECT_EQ(raised<EqbException>([&] { odd.WriteBlock(b.data()); }).code, 257);
    odd.ReadBlock(3, b.data());
    EXPECT_EQ(b, std::string(100000, '3'));
}

// The file is the process's own: created anew with owner-only access, never through a planted
// link or over another file, and gone from its folder while still in use.
TEST(TqbTempStorageMM, TheMapFileIsPrivateAndLeavesNothingBehind) {
    pwtest::TempDir dir;
    TqbTempStorageMM first;
    first.Create(dir.str(), 65536, 1);
    first.WriteBlock(blockOf('a').data());
    std::string name = first.FileName();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.substr(0, dir.str().size() + 1), dir.str() + "/");
    EXPECT_EQ(name.substr(name.size() - 4), ".TMP");
    EXPECT_FALSE(plat::FileExists(name));
    struct stat s {};
    ASSERT_EQ(::fstat(int(first.MapFile().handle()), &s), 0);
    EXPECT_EQ(s.st_mode & 0777, 0600u);
    EXPECT_EQ(s.st_nlink, 0u);

    // The next names are taken already: a link to a victim file and someone else's file.
    std::string stem = name.substr(0, name.size() - 4);
    size_t digits = stem.find_last_not_of("0123456789") + 1;
    long n = std::stol(stem.substr(digits));
    std::string victim = dir.file("victim"), base = stem.substr(0, digits);
    pwtest::writeFile(victim, "keep");
    ASSERT_EQ(::symlink(victim.c_str(), (base + std::to_string(n + 1) + ".TMP").c_str()), 0);
    pwtest::writeFile(base + std::to_string(n + 2) + ".TMP", "other");
    TqbTempStorageMM second;
    second.Create(dir.str(), 65536, 1);
    second.WriteBlock(blockOf('b').data());
    EXPECT_EQ(second.FileName(), base + std::to_string(n + 3) + ".TMP");
    EXPECT_EQ(pwtest::readFile(victim), "keep");
    EXPECT_EQ(pwtest::readFile(base + std::to_string(n + 2) + ".TMP"), "other");
}

// Each file routine's failure on the way gives the storage's error with the system's text, and
// leaves the storage usable and no file open or mapped.
TEST(TqbTempStorageMM, FileFailuresGiveTheirErrorsAndLeaveNothingOpen) {
    plat::MemoryFiles mem;
    plat::FaultyFiles faulty(mem);
    plat::ScopedFiles scope(faulty);
    ASSERT_EQ(plat::DirCreate("/tmp"), 0);
    struct Case {
        plat::FileOp op;
        int32_t code;
        const char* where;
    };
    for (Case c :
         {Case{plat::FileOp::Open, 258, "Could not create map file /tmp/"},
          Case{plat::FileOp::Truncate, 259, "Could not open map file /tmp/"},
          Case{plat::FileOp::Map, 260, "WriteBlock: Could not create view for block 0 of map file"}}) {
        {
            TqbTempStorageMM st;
            st.Create("/tmp", 65536, 1);
            faulty.failAt(1, c.op, ENOSPC);
            auto r = raised<EqbException>([&] { st.WriteBlock(blockOf('a').data()); });
            faulty.clearFault();
            EXPECT_EQ(r.code, c.code) << plat::FileOpName(c.op);
            EXPECT_NE(r.message.find(c.where), std::string::npos) << r.message;
            EXPECT_NE(r.message.find(plat::FileErrorText(ENOSPC)), std::string::npos) << r.message;
            EXPECT_EQ(st.BlocksInUse(), 0);
            EXPECT_EQ(st.WriteBlock(blockOf('b').data()), 0); // usable afterwards
            faulty.failAt(1, plat::FileOp::Map, EIO);
            std::string back(65536, '\0');
            EXPECT_EQ(raised<EqbException>([&] { st.ReadBlock(0, back.data()); }).code, 260);
            faulty.clearFault();
            st.ReadBlock(0, back.data());
            EXPECT_EQ(back, blockOf('b'));
        }
        EXPECT_EQ(mem.openCount(), 0u);
        EXPECT_EQ(mem.mapCount(), 0u);
        EXPECT_TRUE(mem.files().empty());
    }
    EXPECT_EQ(raised<EqbException>([] { TqbTempStorageMM().Create("/tmp", 0, 1); }).code, 256);
}

} // namespace
