// The files of the engine and its tools: none more open than the umask lets it be, and what replaces
// in the configuration folder left when they were killed goes at the engine's next start.
#include "platform/Files.h"
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace engineapi;

namespace {

// A process number no process has now: that of a child that ended and was reaped.
pid_t deadPid() {
    pid_t pid = ::fork();
    if (pid == 0) _exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// What a replace of target by process pid writes before its rename.
std::string leftOf(const std::string& folder, const std::string& target, pid_t pid) {
    const std::string name = "." + target + ".tmp" + std::to_string(pid) + "_7";
    std::ofstream(folder + "/" + name) << "cut short\n";
    return folder + "/" + name;
}

bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

} // namespace

TEST(EngineFiles, AStartRemovesWhatKilledReplacesLeftInItsConfigurationFolder) {
    Api api;
    api.engine->Shutdown();
    const std::string cfg = api.dir.file("cfg");
    const pid_t dead = deadPid();
    const std::string alias = leftOf(cfg, "XXSALIAS.DONE", dead), user = leftOf(cfg, "XXSUSER.DONE", dead),
                      marker = leftOf(cfg, "QBSALIAS.SWP", dead),
                      running = leftOf(cfg, "XXSINFO.DONE", ::getpid()),
                      data = leftOf(api.dir.str(), "XXSALIAS.DONE", dead);

    TqbOwned<TqbServerEngine> e(new TqbServerEngine());
    e->SetClock(api.clock);
    e->SetConfigDir(cfg + "/");
    e->Startup();
    EXPECT_FALSE(exists(alias));
    EXPECT_FALSE(exists(user));
    EXPECT_FALSE(exists(marker));
    EXPECT_TRUE(exists(running)) << "a writer that still runs";
    EXPECT_TRUE(exists(data)) << "not the engine's configuration folder";
    e->Shutdown();
}

// The tool run under each umask: its tables, journals' counter, lock and settings file have no
// permission the umask takes away, and the settings file has all the others it asks for.
TEST(EngineFiles, MkcontactsMakesNoFileMoreOpenThanTheUmask) {
    for (mode_t mask : {mode_t(022), mode_t(077)}) {
        SCOPED_TRACE(mask);
        pwtest::TempDir dir;
        const mode_t old = ::umask(mask);
        int status;
        {
            pwtest::ChildProcess tool(PW_BINARY_DIR "/tools/mkcontacts", {dir.str()});
            status = tool.wait();
            EXPECT_EQ(status, 0) << tool.text;
        }
        ::umask(old);
        size_t files = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
            struct stat st {};
            ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & mask, 0u) << e.path() << " mode " << std::oct << (st.st_mode & 07777);
            ++files;
        }
        EXPECT_GE(files, 4u);
        struct stat ini {};
        ASSERT_EQ(::stat(dir.file("snppqorn.ini").c_str(), &ini), 0);
        EXPECT_EQ(ini.st_mode & 07777, 0666u & ~mask);
    }
}
