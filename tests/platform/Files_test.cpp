// Tests of the file layer: each case over real files in a temporary folder and over the in-memory
// file system, then the fault-injecting and power-cut wrappers and the folder lock.
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/testing/FaultyFiles.h"
#include "platform/testing/MemoryFiles.h"
#include "platform/testing/PowerCutFiles.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

// A folder on the file system under test, installed for the test's lifetime.
class FilesBoth : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            mem_ = std::make_unique<MemoryFiles>();
            scope_ = std::make_unique<ScopedFiles>(*mem_);
            root_ = "/work";
            ASSERT_EQ(DirCreate(root_), 0);
        } else {
            root_ = temp_.str();
        }
    }
    std::string at(const std::string& name) const { return root_ + "/" + name; }
    std::string content(const std::string& name) const {
        std::string s;
        EXPECT_EQ(FileReadAll(at(name), s), 0) << name;
        return s;
    }

    pwtest::TempDir temp_;
    std::unique_ptr<MemoryFiles> mem_;
    std::unique_ptr<ScopedFiles> scope_;
    std::string root_;
};

TEST_P(FilesBoth, ShareModesDecideBetweenTwoOpens) {
    std::string path = at("t.bin");
    File a, b;
    ASSERT_EQ(a.open(path, kFileReadWrite | kFileCreate, FileShare::Read), 0);
    EXPECT_EQ(b.open(path, kFileReadWrite), kErrSharingViolation);             // a denies writing
    EXPECT_EQ(b.open(path, kFileRead, FileShare::Read), kErrSharingViolation); // a writes
    EXPECT_EQ(b.open(path, kFileRead, FileShare::ReadWrite), 0);
    File c;
    EXPECT_EQ(c.open(path, kFileRead, FileShare::ReadWrite), 0); // two readers that allow the writer
    b.close();
    c.close();
    ASSERT_EQ(a.close(), 0);

    ASSERT_EQ(a.open(path, kFileRead, FileShare::None), 0);
    EXPECT_EQ(b.open(path, kFileRead, FileShare::ReadWrite), kErrSharingViolation);
    a.close();
    ASSERT_EQ(a.open(path, kFileRead, FileShare::Read), 0);
    EXPECT_EQ(b.open(path, kFileRead, FileShare::Read), 0); // readers that both deny writing
    EXPECT_FALSE(FileErrorText(kErrSharingViolation).empty());
}

TEST_P(FilesBoth, TransfersCreationAndSearch) {
    File f;
    ASSERT_EQ(
        f.open(root_ + "\\Data.QB2", kFileReadWrite | kFileCreate | kFileExclusive, FileShare::None, 0600),
        0);
    const uint64_t far = GetParam() ? 70000 : (uint64_t(1) << 32) + 5;
    ASSERT_EQ(FileWriteExact(f.handle(), far, "abcdef", 6), 0);
    uint64_t size = 0;
    ASSERT_EQ(FileSize(f.handle(), size), 0);
    EXPECT_EQ(size, far + 6);
    char buf[8] = {};
    size_t got = 0;
    EXPECT_EQ(FileReadExact(f.handle(), far + 2, buf, 8, &got), EIO); // ends after 4
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buf, 4), "cdef");
    ASSERT_EQ(FileReadExact(f.handle(), far - 2, buf, 3), 0);
    EXPECT_EQ(std::memcmp(buf, "\0\0a", 3), 0);
    ASSERT_EQ(FileTruncate(f.handle(), 10), 0);
    ASSERT_EQ(FileSync(f.handle()), 0);
    ASSERT_EQ(FileSize(f.handle(), size), 0);
    EXPECT_EQ(size, 10u);
    f.close();

    FileStat st;
    ASSERT_EQ(FileStatPath(at("Data.QB2"), st), 0);
    EXPECT_EQ(st.mode & 0777, 0600u);
    EXPECT_EQ(f.open(at("Data.QB2"), kFileWrite | kFileCreate | kFileExclusive), EEXIST);
    EXPECT_EQ(f.open(at("data.qb2"), kFileRead), ENOENT);
    // Any case finds the file; a new file keeps the name as given.
    ASSERT_EQ(f.open(at("data.qb2"), kFileRead | kFileAnyCase), 0);
    f.close();
    EXPECT_EQ(ResolveCaseInsensitive(root_ + "\\DATA.qb2"), at("Data.QB2"));
    EXPECT_EQ(ResolveCaseInsensitive(root_ + "\\New.QB$"), at("New.QB$"));

    ASSERT_EQ(FileReplaceAtomic(at("b.QB$"), "journal"), 0);
    ASSERT_EQ(FileReplaceAtomic(at("a.qb$"), "one"), 0);
    ASSERT_EQ(DirCreate(at("sub.qb$")), 0);
    FileFind find;
    ASSERT_EQ(find.first(root_ + "\\*.QB$"), 0);
    std::vector<std::string> seen{find.entry().name};
    while (find.next())
        seen.push_back(find.entry().name);
    EXPECT_EQ(seen, (std::vector<std::string>{"a.qb$", "b.QB$", "sub.qb$"}));
    EXPECT_EQ(find.first(root_ + "/*.TMP"), ENOENT);
    EXPECT_NE(find.first(root_ + "/missing/*.*"), 0);

    // Renames do not replace unless asked; a folder is synced; removal.
    EXPECT_EQ(FileRename(at("a.qb$"), at("b.QB$")), EEXIST);
    EXPECT_EQ(content("b.QB$"), "journal");
    ASSERT_EQ(FileRename(at("a.qb$"), at("b.QB$"), true), 0);
    EXPECT_EQ(content("b.QB$"), "one");
    EXPECT_FALSE(FileExists(at("a.qb$")));
    EXPECT_EQ(DirSync(root_), 0);
    EXPECT_EQ(FileDelete(at("b.QB$")), 0);
    EXPECT_EQ(FileDelete(at("b.QB$")), ENOENT);
    EXPECT_TRUE(DirectoryExists(at("sub.qb$")));
    EXPECT_EQ(DirRemove(at("sub.qb$")), 0);

    VolumeInfo vol;
    ASSERT_EQ(FileVolume(root_, vol), 0);
    EXPECT_GT(vol.maxFileSize, uint64_t(1) << 31);
    EXPECT_GT(vol.totalBytes, 0u);
}

TEST_P(FilesBoth, ReplaceKeepsTheModeAndMappingsReachTheFile) {
    ASSERT_EQ(FileReplaceAtomic(at("cfg.ini"), "old", 0640), 0);
    ASSERT_EQ(FileReplaceAtomic(at("cfg.ini"), "new text"), 0);
    EXPECT_EQ(content("cfg.ini"), "new text");
    FileStat st;
    ASSERT_EQ(FileStatPath(at("cfg.ini"), st), 0);
    EXPECT_EQ(st.mode & 0777, 0640u);
    std::vector<DirEntry> entries;
    ASSERT_EQ(DirList(root_, entries), 0);
    EXPECT_EQ(entries.size(), 1u); // no temporary file left beside it

    File f;
    ASSERT_EQ(f.open(at("map.bin"), kFileReadWrite | kFileCreate), 0);
    ASSERT_EQ(FileTruncate(f.handle(), 8192), 0);
    void* p = nullptr;
    ASSERT_EQ(FileMap(f.handle(), 4096, 4096, true, p), 0);
    std::memcpy(p, "mapped", 6);
    ASSERT_EQ(FileUnmap(p, 4096), 0);
    char buf[6];
    ASSERT_EQ(FileReadExact(f.handle(), 4096, buf, 6), 0);
    EXPECT_EQ(std::string(buf, 6), "mapped");
}

TEST(Files, ReadOnlyFilesAndMissingFoldersGiveTheSystemsErrors) {
    pwtest::TempDir dir;
    std::string path = dir.file("ro.dat");
    ASSERT_EQ(FileReplaceAtomic(path, "x", 0444), 0);
    FileStat st;
    ASSERT_EQ(FileStatPath(path, st), 0);
    EXPECT_TRUE(st.readOnly);
    File f;
    EXPECT_EQ(f.open(path, kFileRead), 0);
    EXPECT_EQ(f.open(dir.file("none/x.dat"), kFileWrite | kFileCreate), ENOENT);
    EXPECT_EQ(FileErrorText(ENOENT), std::string(strerror(ENOENT)));
    // A symbolic link is refused where the caller asks so.
    ASSERT_EQ(::symlink(path.c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(f.open(dir.file("link"), kFileWrite | kFileCreate | kFileNoFollow), ELOOP);
}

// Every routine that an atomic replace and a read call fails once in turn: each failure is
// reported, the file holds the old or the new content, no temporary file stays, nothing is open.
TEST(FaultyFiles, EachFailureIsReportedAndLeavesNoFileOpen) {
    MemoryFiles mem;
    FaultyFiles faulty(mem);
    ScopedFiles scope(faulty);
    ASSERT_EQ(DirCreate("/db"), 0);
    ASSERT_EQ(FileReplaceAtomic("/db/QBSTRAN.CFG", "old"), 0);

    faulty.reset();
    std::string back;
    ASSERT_EQ(FileReplaceAtomic("/db/QBSTRAN.CFG", "new"), 0);
    ASSERT_EQ(FileReadAll("/db/QBSTRAN.CFG", back), 0);
    const uint64_t total = faulty.calls();
    ASSERT_GE(total, 8u);

    for (int err : {EIO, ENOSPC}) {
        for (uint64_t n = 1; n <= total; ++n) {
            ASSERT_EQ(FileReplaceAtomic("/db/QBSTRAN.CFG", "old"), 0);
            faulty.failAt(n, FileOp::Any, err);
            int r1 = FileReplaceAtomic("/db/QBSTRAN.CFG", "new");
            int r2 = FileReadAll("/db/QBSTRAN.CFG", back);
            faulty.clearFault();
            ASSERT_TRUE(faulty.faultFired()) << n;
            EXPECT_TRUE(r1 == err || r2 == err) << n;
            EXPECT_TRUE(faulty.openHandles().empty()) << n;
            EXPECT_EQ(mem.openCount(), 0u) << n;
            std::string now = mem.files().at("/db/QBSTRAN.CFG");
            EXPECT_TRUE(now == "old" || now == "new") << n;
            if (r2 == 0) {
                EXPECT_EQ(back, now) << n;
            }
            EXPECT_EQ(mem.files().size(), 1u) << n;
        }
    }
    // A named routine fails at its own count.
    faulty.failAt(2, FileOp::Write, EIO, true);
    File f;
    ASSERT_EQ(f.open("/db/w", kFileWrite | kFileCreate), 0);
    EXPECT_EQ(FileWriteExact(f.handle(), 0, "a", 1), 0);
    EXPECT_EQ(FileWriteExact(f.handle(), 1, "b", 1), EIO);
    EXPECT_EQ(FileWriteExact(f.handle(), 1, "b", 1), EIO);
    EXPECT_STREQ(FileOpName(FileOp::Write), "write");
}

// The wrapper over real files and over memory: what each prefix of the recorded changes leaves
// on disk with and without the unsynced ones, and a real power cut.
TEST_P(FilesBoth, PowerCutKeepsOnlySyncedDataAndEveryPrefixCanBeMaterialised) {
    const std::string t0 = at("t.QB2"), j0 = at("1.QB$"), n0 = at("n.cfg");
    ASSERT_EQ(FileReplaceAtomic(t0, "AAAA"), 0);
    FileSystem& inner = Files();
    PowerCutFiles cut(inner);
    ScopedFiles scope(cut);

    File t, j;
    ASSERT_EQ(t.open(t0, kFileReadWrite), 0);
    ASSERT_EQ(FileWriteExact(t.handle(), 0, "B", 1), 0);                    // 0: unsynced yet
    ASSERT_EQ(FileSync(t.handle()), 0);                                     // 1
    ASSERT_EQ(FileWriteExact(t.handle(), 1, "C", 1), 0);                    // 2: never synced
    ASSERT_EQ(j.open(j0, kFileWrite | kFileCreate | kFileWriteThrough), 0); // 3
    ASSERT_EQ(FileWriteExact(j.handle(), 0, "jj", 2), 0);                   // 4 and its sync 5
    ASSERT_EQ(DirSync(root_), 0);                                           // 6
    ASSERT_EQ(FileReplaceAtomic(n0, "n"), 0); // create, write, sync, rename, folder sync
    ASSERT_EQ(FileDelete(j0), 0);             // a removal never made durable
    ASSERT_EQ(cut.eventCount(), 13u);

    using Disk = std::map<std::string, std::string>;
    EXPECT_EQ(cut.diskAfter(0, false), (Disk{{t0, "AAAA"}}));
    EXPECT_EQ(cut.diskAfter(1, false), (Disk{{t0, "BAAA"}}));
    EXPECT_EQ(cut.diskAfter(1, true), (Disk{{t0, "AAAA"}}));
    EXPECT_EQ(cut.diskAfter(3, true), (Disk{{t0, "BAAA"}}));
    EXPECT_EQ(cut.diskAfter(4, false), (Disk{{j0, ""}, {t0, "BCAA"}}));
    EXPECT_EQ(cut.diskAfter(6, true), (Disk{{t0, "BAAA"}})); // the journal's name not synced
    EXPECT_EQ(cut.diskAfter(7, true), (Disk{{j0, "jj"}, {t0, "BAAA"}}));
    Disk end{{j0, "jj"}, {n0, "n"}, {t0, "BAAA"}};
    EXPECT_EQ(cut.diskAfter(13, true), end);
    EXPECT_EQ(cut.diskAfter(13, false), (Disk{{n0, "n"}, {t0, "BCAA"}}));

    MemoryFiles other;
    ASSERT_EQ(PowerCutFiles::Restore(other, end), 0);
    std::map<std::string, std::string> restored;
    for (auto& [p, c] : other.files())
        restored[p] = c;
    EXPECT_EQ(restored.size(), 3u);
    EXPECT_EQ(restored[MemoryFiles::normalise(t0)], "BAAA");

    cut.cutPower();
    EXPECT_EQ(content("t.QB2"), "BAAA");
    EXPECT_EQ(content("1.QB$"), "jj");
    EXPECT_EQ(content("n.cfg"), "n");
    if (mem_) {
        EXPECT_EQ(mem_->openCount(), 0u);
    }
    char c;
    EXPECT_EQ(FileReadExact(t.handle(), 0, &c, 1), EIO);
    EXPECT_EQ(t.close(), 0);
    EXPECT_EQ(cut.eventCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, FilesBoth, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Memory" : "Disk"; });

TEST(FolderLock, ASecondProcessIsRefusedUntilTheFirstLetsGo) {
    pwtest::TempDir dir;
    FolderLock lock;
    ASSERT_EQ(lock.acquire(dir.str(), "engine.lck"), 0);
    FolderLock again;
    EXPECT_EQ(again.acquire(dir.str(), "engine.lck"), kErrSharingViolation);

    auto childResult = [&] {
        pid_t pid = ::fork();
        if (pid == 0) {
            FolderLock other;
            _exit(other.acquire(dir.str(), "engine.lck") == kErrSharingViolation ? 10 : 20);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(childResult(), 10);
    lock.release();
    EXPECT_EQ(childResult(), 20);
    EXPECT_TRUE(FileExists(dir.file("engine.lck")));
    EXPECT_EQ(FolderLock::ErrorText("/db", kErrSharingViolation),
              "The folder /db is in use by another process");
    EXPECT_EQ(again.acquire(dir.file("missing"), "engine.lck"), ENOENT);
}

// The umask in force for the scope.
struct ScopedUmask {
    explicit ScopedUmask(mode_t m) : old(::umask(m)) {}
    ~ScopedUmask() { ::umask(old); }
    mode_t old;
};

uint32_t modeOf(const std::string& path) {
    FileStat st;
    EXPECT_EQ(FileStatPath(path, st), 0) << path;
    return st.mode & 07777;
}

// A process number no process has now: that of a child that ended and was reaped.
pid_t deadPid() {
    pid_t pid = ::fork();
    if (pid == 0) _exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// The hidden name a replace of target by the process pid writes first.
std::string tempOf(const pwtest::TempDir& dir, const std::string& target, pid_t pid, int n) {
    return dir.file("." + target + ".tmp" + std::to_string(pid) + "_" + std::to_string(n));
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<DirEntry> entries;
    EXPECT_EQ(DirList(folder, entries), 0);
    std::vector<std::string> out;
    for (auto& e : entries)
        out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Files, ANewFileTakesWhatTheUmaskLeavesAndAReplacedOneKeepsItsOwnMode) {
    pwtest::TempDir dir;
    for (auto [mask, want] : {std::pair<mode_t, uint32_t>{022, 0644}, {077, 0600}, {002, 0664}}) {
        SCOPED_TRACE(mask);
        ScopedUmask u(mask);
        const std::string p = dir.file("new" + std::to_string(mask) + ".ini");
        ASSERT_EQ(FileReplaceAtomic(p, "one"), 0);
        EXPECT_EQ(modeOf(p), want);
        ASSERT_EQ(FileReplaceAtomic(p, "two"), 0);
        EXPECT_EQ(modeOf(p), want);
    }
    // A private file stays private under a wider umask, a shared one shared under a narrower one.
    {
        ScopedUmask u(022);
        const std::string p = dir.file("pins.ini");
        ASSERT_EQ(FileReplaceAtomic(p, "1234", 0600), 0);
        EXPECT_EQ(modeOf(p), 0600u);
        ASSERT_EQ(FileReplaceAtomic(p, "5678"), 0);
        EXPECT_EQ(modeOf(p), 0600u);
    }
    {
        ScopedUmask u(077);
        const std::string p = dir.file("shared.ini");
        ASSERT_EQ(FileReplaceAtomic(p, "a"), 0);
        ASSERT_EQ(::chmod(p.c_str(), 0640), 0);
        ASSERT_EQ(FileReplaceAtomic(p, "b"), 0);
        EXPECT_EQ(modeOf(p), 0640u);
    }
    std::string back;
    ASSERT_EQ(FileReadAll(dir.file("pins.ini"), back), 0);
    EXPECT_EQ(back, "5678");
}

// What dead writers of a file left goes with its next save; a file whose writer may still rename
// it stays: its process runs, or it holds the file (a writer of another process space).
TEST(Files, ASaveRemovesWhatDeadWritersOfItsFileLeftAndNothingElse) {
    pwtest::TempDir dir;
    const pid_t dead = deadPid();
    const std::string target = "XXSALIAS.DONE";
    const std::string deadOwn = tempOf(dir, target, dead, 3),
                      deadCase = tempOf(dir, "xxsalias.done", dead, 9),
                      deadOther = tempOf(dir, "XXSINFO.DONE", dead, 4),
                      live = tempOf(dir, target, ::getpid(), 99999), held = tempOf(dir, target, dead, 5);
    for (const std::string& f : {deadOwn, deadCase, deadOther, live, held})
        ASSERT_EQ(FileReplaceAtomic(f, "half"), 0);
    // Names of the user's that only look alike.
    for (const char* f : {".notes.tmp", "XXSALIAS.DONE.tmp1_2", ".x.tmp12_", ".x.tmp_3", ".x.tmp1a_2"})
        ASSERT_EQ(FileReplaceAtomic(dir.file(f), "mine"), 0);
    File holder;
    ASSERT_EQ(holder.open(held, kFileWrite, FileShare::None), 0);

    ASSERT_EQ(FileReplaceAtomic(dir.file(target), "complete\n"), 0);
    EXPECT_FALSE(FileExists(deadOwn));
    EXPECT_FALSE(FileExists(deadCase));
    EXPECT_TRUE(FileExists(deadOther)); // another file's: its own save or the folder's clean-up
    EXPECT_TRUE(FileExists(live));
    EXPECT_TRUE(FileExists(held));

    // The whole folder: every dead writer's file that nobody holds.
    ASSERT_EQ(RemoveReplaceLeftovers(dir.str()), 0);
    EXPECT_FALSE(FileExists(deadOther));
    EXPECT_TRUE(FileExists(held));
    holder.close();
    ASSERT_EQ(RemoveReplaceLeftovers(dir.str()), 0);
    EXPECT_EQ(namesIn(dir.str()),
              (std::vector<std::string>{"." + target + ".tmp" + std::to_string(::getpid()) + "_99999",
                                        ".notes.tmp", ".x.tmp12_", ".x.tmp1a_2", ".x.tmp_3", "XXSALIAS.DONE",
                                        "XXSALIAS.DONE.tmp1_2"}));
    EXPECT_EQ(RemoveReplaceLeftovers(dir.file("missing")), ENOENT);
}

// Stops a writer at its rename: it says so on a pipe, then waits to be killed.
class StopAtRename : public FileSystemWrapper {
public:
    StopAtRename(FileSystem& inner, int say) : FileSystemWrapper(inner), say_(say) {}

protected:
    int enter(FileOp op) override {
        if (op == FileOp::Rename) {
            [[maybe_unused]] ssize_t n = ::write(say_, "r", 1);
            for (;;)
                ::pause();
        }
        return 0;
    }

private:
    int say_;
};

TEST(Files, AWriterKilledBeforeItsRenameLeavesAFileThatTheNextSaveRemoves) {
    pwtest::TempDir dir;
    const std::string target = dir.file("snppqorn.ini");
    ASSERT_EQ(FileReplaceAtomic(target, "old\n"), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        StopAtRename stop(PosixFiles(), ready[1]);
        ScopedFiles scope(stop);
        FileReplaceAtomic(target, "cut short\n");
        _exit(1);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    const bool stopped = ::poll(&p, 1, 60000) == 1;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ASSERT_TRUE(stopped);

    // Its file, written and synced, is left beside the old one.
    const std::vector<std::string> names = namesIn(dir.str());
    ASSERT_EQ(names.size(), 2u);
    const std::string prefix = ".snppqorn.ini.tmp" + std::to_string(child) + "_";
    ASSERT_EQ(names[0].substr(0, prefix.size()), prefix);
    std::string back;
    ASSERT_EQ(FileReadAll(dir.file(names[0]), back), 0);
    EXPECT_EQ(back, "cut short\n");
    ASSERT_EQ(FileReadAll(target, back), 0);
    EXPECT_EQ(back, "old\n");

    ASSERT_EQ(FileReplaceAtomic(target, "new\n"), 0);
    EXPECT_EQ(namesIn(dir.str()), std::vector<std::string>{"snppqorn.ini"});
    ASSERT_EQ(FileReadAll(target, back), 0);
    EXPECT_EQ(back, "new\n");
}
} // namespace
