// The daily log: file name per day, line format with a fixed clock, appending, folder creation and
// write errors.
#include "app/Unit1_log.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {
std::tm at(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}
} // namespace

TEST(DailyLog, FileNameAndLineFormat) {
    EXPECT_EQ(DailyLog::fileName(".\\logs\\", at(2024, 3, 7, 14, 5, 9)), ".\\logs\\03_07_24.txt");
    EXPECT_EQ(DailyLog::fileName("logs", at(2009, 12, 31, 0, 0, 0)), "logs\\12_31_09.txt");
    EXPECT_EQ(DailyLog::timeStamp(at(2024, 3, 7, 14, 5, 9)), "3/7/2024 2:05:09 PM");
    EXPECT_EQ(DailyLog::timeStamp(at(2024, 11, 23, 0, 0, 0)), "11/23/2024 12:00:00 AM");
    EXPECT_EQ(DailyLog::timeStamp(at(2024, 11, 23, 12, 30, 59)), "11/23/2024 12:30:59 PM");
}

TEST(DailyLog, AppendsOneLinePerEventAndStartsANewFileEachDay) {
    pwtest::TempDir dir;
    DailyLog log;
    std::tm now = at(2024, 3, 7, 9, 1, 2);
    log.setTimeSource([&] { return now; });
    const std::string folder = dir.str() + "/logs"; // no separator at the end, folder missing
    std::string error;
    ASSERT_TRUE(log.append(folder, "Message Sent OK, SRVC:Tarvo", error)) << error;
    now = at(2024, 3, 7, 23, 59, 59);
    ASSERT_TRUE(log.append(folder, "line\r\nwith breaks", error)) << error;
    now = at(2024, 3, 8, 0, 0, 1);
    ASSERT_TRUE(log.append(folder + "/", "next day", error)) << error;

    EXPECT_EQ(pwtest::readFile(folder + "/03_07_24.txt"),
              "3/7/2024 9:01:02 AM, Message Sent OK, SRVC:Tarvo\r\n"
              "3/7/2024 11:59:59 PM, line  with breaks\r\n");
    EXPECT_EQ(pwtest::readFile(folder + "/03_08_24.txt"), "3/8/2024 12:00:01 AM, next day\r\n");
}

TEST(DailyLog, ReportsAFolderThatCannotBeCreated) {
    pwtest::TempDir dir;
    DailyLog log;
    std::string error;
    // A file stands where the folder's parent should be.
    pwtest::writeFile(dir.file("blocker"), "x");
    EXPECT_FALSE(log.append(dir.file("blocker") + "/logs/", "text", error));
    EXPECT_FALSE(error.empty());
    // A read-only folder refuses the file.
    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir.file("ro"));
        ::chmod(dir.file("ro").c_str(), 0555);
        error.clear();
        EXPECT_FALSE(log.append(dir.file("ro"), "text", error));
        EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    }
}

TEST(DailyLog, EachFileFailureIsReportedAndLeavesNoFileOpen) {
    plat::MemoryFiles mem;
    plat::FaultyFiles faulty(mem);
    plat::ScopedFiles scope(faulty);
    DailyLog log;
    log.setTimeSource([] { return at(2024, 3, 7, 9, 1, 2); });
    std::string error;
    ASSERT_TRUE(log.append("/logs", "first", error)) << error;
    for (auto [op, text] : {std::pair{plat::FileOp::Open, "cannot open /logs/03_07_24.txt: "},
                            std::pair{plat::FileOp::Write, "cannot write /logs/03_07_24.txt: "},
                            std::pair{plat::FileOp::Close, "cannot write /logs/03_07_24.txt: "}}) {
        faulty.failAt(1, op, ENOSPC);
        EXPECT_FALSE(log.append("/logs", "lost", error));
        EXPECT_EQ(error, text + plat::FileErrorText(ENOSPC));
        EXPECT_EQ(mem.openCount(), 0u);
    }
    faulty.clearFault();
    ASSERT_TRUE(log.append("/logs", "last", error)) << error;
    EXPECT_EQ(mem.files().at("/logs/03_07_24.txt"),
              "3/7/2024 9:01:02 AM, first\r\n3/7/2024 9:01:02 AM, lost\r\n3/7/2024 9:01:02 AM, last\r\n");
}
