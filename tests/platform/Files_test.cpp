// Tests of the file layer over real files in a temporary folder.
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace plat;

namespace {

TEST(Files, WritesReadsAndRefusesAnOpenItsShareModeForbids) {
    pwtest::TempDir dir;
    std::string path = dir.str() + "\\data.bin";
    File a;
    ASSERT_EQ(a.open(path, kFileReadWrite | kFileCreate | kFileExclusive, FileShare::Read), 0);
    const char text[] = "0123456789";
    ASSERT_EQ(FileWriteExact(a.handle(), 1ull << 32, text, 10), 0);
    uint64_t size = 0;
    ASSERT_EQ(FileSize(a.handle(), size), 0);
    EXPECT_EQ(size, (1ull << 32) + 10);
    char back[10];
    ASSERT_EQ(FileReadExact(a.handle(), (1ull << 32), back, 10), 0);
    EXPECT_EQ(std::string(back, 10), "0123456789");

    File b;
    EXPECT_EQ(b.open(path, kFileRead, FileShare::Read), kErrSharingViolation); // a writes
    EXPECT_EQ(b.open(path, kFileReadWrite), kErrSharingViolation);             // a denies writing
    EXPECT_EQ(b.open(path, kFileRead, FileShare::ReadWrite), 0);
    b.close();
    ASSERT_EQ(a.close(), 0);
    EXPECT_EQ(b.open(path, kFileReadWrite), 0);
}

} // namespace
