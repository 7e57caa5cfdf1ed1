// The main window's contacts database on table files: the engine, client, session and table that the
// first showing connects, the alias on the current directory (in a run folder copied or moved too),
// a start that cannot open the contacts, and a contact posted by a program that is then killed
// outright.
#include "tests/app/AppFixture.h"

#include "app/contactsGrid.h"
#include "db/storage/qbtbverify.h"

#include <QApplication>
#include <QTest>

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

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// A contact added as a user does: Insert, name and ID typed in, Update, Exit.
void addInContactsWindow(const std::string& name, const std::string& id) {
    TcontactsGridForm contacts;
    contacts.show();
    QApplication::processEvents();
    QTest::mouseClick(contacts.Insertbutton, Qt::LeftButton);
    typeKeys(contacts.nameEdit, name);
    typeKeys(contacts.idEdit, id);
    QTest::mouseClick(contacts.Updatebutton, Qt::LeftButton);
    QTest::mouseClick(contacts.exitButton, Qt::LeftButton);
}

// The pager ID stored for name in the contacts table of folder (no program running).
std::string idIn(const fs::path& folder, const std::string& name) {
    const fs::path here = fs::current_path();
    fs::current_path(folder);
    const std::string id = storedField(name, "id");
    fs::current_path(here);
    return id;
}

std::string aliasPath(const TForm1& form) {
    std::string path;
    EXPECT_EQ(0, form.qbServerEngine1->AliasGetPath("pagebase", form.contactsClient->ClientID(), path));
    return path;
}

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

// The program's configuration, and its alias with it, goes with a run folder that is copied or
// moved: a folder with a contacts table of its own keeps its contacts in itself; one without keeps
// the alias as the user set it.
TEST_F(WindowTest, ACopiedOrMovedRunFolderKeepsItsContactsInItself) {
    const fs::path top = fs::current_path();
    const fs::path a = top / "A", b = top / "B", c = top / "C", d = top / "D", moved = top / "A moved";
    fs::create_directory(a);
    fs::current_path(a);
    startApp({{"Alice", "5551234", 1}});
    restartApp();
    for (const fs::path& copy : {b, c, d})
        fs::copy(a, copy, fs::copy_options::recursive);
    fs::current_path(d);
    dropContacts();

    // The program started in folder: no message, its contacts listed, the alias on aliasTo, and a
    // contact added through the contacts window when one is given.
    const auto run = [&](const fs::path& folder, const Names& listed, const fs::path& aliasTo,
                         const Contact& add = {}) {
        fs::current_path(folder);
        showApp();
        EXPECT_EQ(dialogs.Texts(), Names{}) << folder;
        EXPECT_EQ(listedNames(*form), listed) << folder;
        EXPECT_TRUE(fs::equivalent(aliasPath(*form), aliasTo)) << folder;
        if (!add.name.empty()) addInContactsWindow(add.name, add.id);
        restartApp();
    };

    // A copy: what is added there is there, and only there; at the next start as well.
    run(b, {"Alice"}, b, {"Bob", "5550002"});
    run(b, {"Alice", "Bob"}, b);
    EXPECT_EQ(idIn(b, "Bob"), "5550002");
    EXPECT_EQ(idIn(a, "Bob"), "<missing>");

    // The original moved away: the other copy starts with its contacts and keeps new ones.
    fs::rename(a, moved);
    run(c, {"Alice"}, c, {"Carol", "5550003"});
    EXPECT_EQ(idIn(c, "Carol"), "5550003");
    EXPECT_EQ(idIn(moved, "Carol"), "<missing>");
    fs::rename(moved, a);

    // No contacts table of its own: the alias naming another folder is the user's choice.
    run(d, {"Alice"}, a, {"Dave", "5550004"});
    EXPECT_EQ(idIn(a, "Dave"), "5550004");

    // That folder gone, the start says which one, and how to go on.
    fs::rename(a, moved);
    fs::current_path(d);
    showApp();
    EXPECT_EQ(
        dialogs.Texts(),
        Names{"The contacts folder " + a.string() +
              " (alias \"pagebase\") does not exist. Bring it back, or quit Pagewright, make a contacts "
              "table (\"contacts\") in " +
              d.string() + " with the tool mkcontacts (mkcontacts " + d.string() +
              "), then start Pagewright again."});
    EXPECT_EQ(listedNames(*form), Names{});
    restartApp();
    fs::current_path(top);
}

// What keeps the contacts closed at the start is said once, in the user's words, and the window
// works without them.
TEST_F(WindowTest, AStartThatCannotOpenTheContactsSaysWhyOnce) {
    const std::string folder = fs::current_path().string();
    seedContacts({{"Alice", "5551234", 1}});
    for (int start = 1; start <= 2; ++start) {
        ContactsStore other(true); // another program's engine on the folder
        other.table();
        dialogs.Clear();
        showApp();
        EXPECT_EQ(dialogs.Texts(),
                  Names{"The contacts folder " + folder +
                        " is in use by another program (another Pagewright, or a database server on it). "
                        "Pagewright runs without contacts: close the other program, then start Pagewright "
                        "again."});
        EXPECT_FALSE(form->contactsOpen());
        EXPECT_EQ(statusBar(), "Error: Contacts database not available");
        sendTo("Alice");
        EXPECT_EQ(statusBar(), "Error: Contacts database not available");
        EXPECT_EQ(dialogs.Texts().size(), 1u);
        // The Contacts window tries again and says the same, once, in the same words.
        auto contacts = std::make_unique<TcontactsGridForm>();
        bool active = true;
        whenShown(contacts.get(), [&] {
            active = contacts->contactsTable && contacts->contactsTable->Active();
            QTest::mouseClick(contacts->exitButton, Qt::LeftButton);
        });
        form->ContactsDatabase1->trigger();
        EXPECT_FALSE(active);
        ASSERT_EQ(dialogs.Texts().size(), 2u);
        EXPECT_EQ(dialogs.Texts()[1], dialogs.Texts()[0]);
        contacts.reset();
        restartApp();
    }
    // The other program gone, the contacts are there.
    dialogs.Clear();
    showApp();
    EXPECT_EQ(dialogs.Texts(), Names{});
    EXPECT_EQ(listedNames(*form), Names{"Alice"});
}
