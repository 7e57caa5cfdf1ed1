// The main window's contacts database on table files: the engine, client, session and table that the
// first showing connects, the alias on the current directory, and a contact posted by a program
// that is then killed outright.
#include "tests/app/AppFixture.h"

#include "db/storage/qbtbverify.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>

extern char** environ;

using namespace snpptest;

namespace {

std::vector<std::string> listedNames(const TForm1& form) {
    std::vector<std::string> names;
    for (int i = 0; i < form.namesListbox->Items.Count(); ++i)
        names.push_back(form.namesListbox->Items[i]);
    return names;
}

// The contacts table's data file in the current directory, its name matched without regard to case.
std::string contactsFile() {
    for (const auto& e : std::filesystem::directory_iterator(".")) {
        std::string n = e.path().filename().string();
        std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (n == "contacts.qb2") return e.path().string();
    }
    return {};
}

// Runs the program in a child process that posts one contact through its contacts window; answers
// what the child wrote once it reported the post (or ended, or the bound ran out), the child still
// running in the first case.
struct PostingChild {
    pid_t pid = -1;
    int input = -1;
    std::string output;

    PostingChild(const std::string& folder, const std::string& name, const std::string& id) {
        int fds[2], in[2];
        if (::pipe(fds) != 0) return;
        if (::pipe(in) != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        const std::string child = PW_BINARY_DIR "/tests/app/contacts_post_child";
        std::vector<char*> argv{const_cast<char*>(child.c_str()), const_cast<char*>(folder.c_str()),
                                const_cast<char*>(name.c_str()), const_cast<char*>(id.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        posix_spawn_file_actions_addclose(&actions, in[0]);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        if (posix_spawn(&pid, child.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        ::close(in[0]);
        input = in[1]; // the child waits on it until it is killed or this end closes
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (pid > 0 && output.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            output.append(buf, size_t(n));
        }
        ::close(fds[0]);
    }
    // Kills the child outright; true when SIGKILL is what ended it.
    bool kill() {
        if (pid <= 0) return false;
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    ~PostingChild() {
        kill();
        if (input >= 0) ::close(input);
    }
};

} // namespace

TEST_F(AppTest, TheFirstShowingConnectsAndRegistersTheAliasOnTheCurrentDirectoryOnce) {
    cls::ScriptedDialogs dialogs;
    startApp({{"Bert", "5552222", 1}, {"anna", "5551111", 1}});
    EXPECT_EQ(form->qbServerEngine1->State(), qbsStarted);
    ASSERT_TRUE(form->contactsOpen());
    EXPECT_EQ(form->contactsTable->IndexName(), "nameIndex");
    EXPECT_EQ(form->contactsTable->SessionName(), form->contactsSession->SessionName());
    EXPECT_EQ(form->contactsSession->ClientName(), form->contactsClient->ClientName());
    // In name order, whatever the case, and on the first record.
    EXPECT_EQ(listedNames(*form), (std::vector<std::string>{"anna", "Bert"}));
    form->contactsTable->First();
    EXPECT_EQ(form->contactsTable->FieldByName("name")->AsString(), "anna");
    std::string path;
    ASSERT_EQ(0, form->qbServerEngine1->AliasGetPath("pagebase", form->contactsClient->ClientID(), path));
    EXPECT_EQ(std::filesystem::path(path), std::filesystem::current_path());

    // Started again, the program finds its alias kept with the engine and adds none; every object
    // connects again.
    restartApp();
    showApp();
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{});
    EXPECT_EQ(listedNames(*form), (std::vector<std::string>{"anna", "Bert"}));
    ASSERT_TRUE(form->lookupContact("Bert"));
    EXPECT_EQ(lookupId, "5552222");
}

TEST_F(AppTest, AContactPostedJustBeforeTheProgramIsKilledIsThereAfterTheRestart) {
    seedContacts({{"Anna", "5551111", 1}});
    {
        PostingChild child(dir.str(), "Zoe", "5550200");
        ASSERT_EQ(child.output, "posted\n");
        ASSERT_TRUE(child.kill());
    }
    // The next start recovers the folder the killed program left.
    showApp();
    EXPECT_EQ(listedNames(*form), (std::vector<std::string>{"Anna", "Zoe"}));
    ASSERT_TRUE(form->lookupContact("Zoe"));
    EXPECT_EQ(lookupId, "5550200");
    EXPECT_EQ(lookupService, 1);
    restartApp();

    const std::string file = contactsFile();
    ASSERT_FALSE(file.empty());
    const TqbVerifyReport report = VerifyTableFileOnDisk(file);
    EXPECT_TRUE(report.empty()) << FormatVerifyProblems(report);
}
