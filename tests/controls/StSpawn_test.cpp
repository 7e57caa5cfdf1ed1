// Process spawner: runs programs through posix_spawn and reports completion, exit codes, start
// failures and time-outs through its events.
#include "controls/StSpawn.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// Pumps the event loop until pred() holds; the bound only guards against a hang.
bool waitFor(const std::function<bool()>& pred, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

struct Events {
    int completed = 0, timedOut = 0;
    std::vector<uint16_t> errors;
    void attach(TStSpawnApplication& s) {
        s.SetOnCompleted([this](QObject*) { ++completed; });
        s.SetOnTimeOut([this](QObject*) { ++timedOut; });
        s.SetOnSpawnError([this](QObject*, uint16_t e) { errors.push_back(e); });
    }
};

} // namespace

TEST(StSpawn, RunsShellCommandsAndReportsExitCodes) {
    pwtest::TempDir dir;
    TStSpawnApplication s;
    Events ev;
    ev.attach(s);
    s.SetFileName("/bin/sh");
    s.SetRunParameters("-c 'echo \"$0 ran\" > out.txt; exit 3' \"the script\"");
    s.SetDefaultDir(dir.str());
    ASSERT_TRUE(s.Execute());
    EXPECT_FALSE(s.Idle());
    // Settings do not change while the program runs.
    s.SetFileName("/bin/false");
    EXPECT_EQ(s.FileName(), "/bin/sh");
    EXPECT_FALSE(s.Execute());
    ASSERT_TRUE(waitFor([&] { return ev.completed == 1; }));
    EXPECT_EQ(s.ExitCode(), 3);
    EXPECT_EQ(pwtest::readFile(dir.file("out.txt")), "the script ran\n");
    EXPECT_TRUE(ev.errors.empty());

    // A program ended by a signal.
    s.SetFileName("/bin/sh");
    s.SetRunParameters("-c 'kill -TERM $$'");
    ASSERT_TRUE(s.Execute());
    ASSERT_TRUE(waitFor([&] { return ev.completed == 2; }));
    EXPECT_EQ(s.ExitCode(), 128 + SIGTERM);
    EXPECT_EQ(ev.timedOut, 0);
}

TEST(StSpawn, StartFailuresAreReported) {
    pwtest::TempDir dir;
    TStSpawnApplication s;
    Events ev;
    ev.attach(s);
    s.SetFileName(dir.file("no-such-program"));
    EXPECT_FALSE(s.Execute());
    pwtest::writeFile(dir.file("plain.txt"), "not a program\n");
    s.SetFileName(dir.file("plain.txt")); // not executable
    EXPECT_FALSE(s.Execute());
    s.SetFileName("/bin/true");
    s.SetDefaultDir(dir.file("missing-dir"));
    EXPECT_FALSE(s.Execute());
    s.SetDefaultDir("");
    s.SetSpawnCommand(scPrint);
    EXPECT_FALSE(s.Execute());
    s.SetFileName("");
    s.SetSpawnCommand(scOpen);
    EXPECT_FALSE(s.Execute());
    EXPECT_EQ(ev.errors, (std::vector<uint16_t>{2, 5, 2, 31, 2}));
    EXPECT_TRUE(s.Idle());
    QCoreApplication::processEvents();
    EXPECT_EQ(ev.completed, 0);
}

TEST(StSpawn, TimeOutAndNoNotification) {
    TStSpawnApplication s;
    Events ev;
    ev.attach(s);
    s.SetFileName("sleep");
    s.SetRunParameters("30");
    s.SetTimeOut(1);
    ASSERT_TRUE(s.Execute());
    pid_t pid = s.ProcessId();
    ASSERT_TRUE(waitFor([&] { return ev.timedOut == 1; }));
    EXPECT_TRUE(s.Idle());
    kill(pid, SIGKILL);
    QCoreApplication::processEvents();
    EXPECT_EQ(ev.completed, 0); // the program that timed out is no longer reported

    // Without NotifyWhenDone the component stays idle and reports nothing.
    TStSpawnApplication quiet;
    Events q;
    q.attach(quiet);
    quiet.SetNotifyWhenDone(false);
    quiet.SetFileName("/bin/true");
    ASSERT_TRUE(quiet.Execute());
    EXPECT_TRUE(quiet.Idle());
    QCoreApplication::processEvents();
    EXPECT_EQ(q.completed, 0);

    // A component destroyed while its program runs gets no late event.
    int late = 0;
    {
        TStSpawnApplication gone;
        gone.SetOnCompleted([&](QObject*) { ++late; });
        gone.SetFileName("/bin/true");
        ASSERT_TRUE(gone.Execute());
    }
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(late, 0);
}

TEST(StSpawn, ParameterSplitting) {
    using V = std::vector<std::string>;
    EXPECT_EQ(TStSpawnApplication::SplitParameters("-c 'x y' \"it's\" ''"), (V{"-c", "x y", "it's", ""}));
    EXPECT_EQ(TStSpawnApplication::SplitParameters("a'b c'd"), (V{"ab cd"}));
    EXPECT_EQ(TStSpawnApplication::SplitParameters("'open"), (V{"open"}));
}
