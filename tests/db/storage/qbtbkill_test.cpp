// Kill test: a child process commits inserts, deletes and BLOB writes into a table with two
// indexes and reports each commit; it is killed with SIGKILL at random moments. After every kill
// the folder is recovered, the table verifies clean and every reported commit is there.
#include "TableFileSupport.h"

#include "db/storage/qbsrblob.h"
#include "db/storage/qbsrjour.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

using namespace tabletest;

namespace {

TqbServerDataDict killDictionary() {
    TqbServerDataDict d(4096);
    d.SetTableName("kill");
    d.AddField("name", "", qbtShortString, 30, 0, false);
    d.AddField("id", "", qbtInt32, 0, 0, false);
    d.AddField("memo", "", qbtBLOB, 0, 0, false);
    const int32_t name = 0, id = 1;
    d.AddIndex("nameIndex", "", 0, 1, &name, nullptr, true, true, true);
    d.AddIndex("idIndex", "", 0, 1, &id, nullptr, false, true, false);
    return d;
}

std::string memoOf(int32_t id) {
    return std::string(size_t(id * 997 % 9000), char('a' + id % 26));
}

// The database objects of one process over the folder.
struct Session {
    explicit Session(const std::string& folder) : folder(folder) {
        bm.SetMaxRAM(64);
        tm = std::make_unique<TqbSrTransactionMgr>(&bm, false, folder, nullptr);
    }
    ~Session() {
        if (t) {
            bm.RemoveFile(*t);
            CloseFile(*t);
        }
        tm.reset();
    }
    void open() {
        t = AllocFileInfo(folder + "/kill", "QB2", &bm);
        OpenFile(*t, true, 0, false, false);
        DataFileOpen(*t);
        dict.LoadFromTableFile(*t, nullptr);
        dict.BindIndexHelpers();
        for (int i = 1; i <= 2; ++i)
            compare[i] = MakeIndexCompareInfo(dict, i);
    }
    TqbIndexData index(int i) {
        TqbIndexData d;
        d.FileInfo = t.get();
        d.IndexNo = i;
        d.Compare = [](const uint8_t* a, const uint8_t* b, const void* c) {
            return CompareCompositeKeys(a, b, *static_cast<const TqbCompositeCompareData*>(c));
        };
        d.CompareData = &compare[i];
        return d;
    }
    std::vector<uint8_t> key(int i, const uint8_t* rec) {
        std::vector<uint8_t> k(size_t(dict.IndexKeyLength(i)));
        BuildCompositeKey(dict, i, rec, k.data());
        return k;
    }
    // The record of an id through idIndex; none when it is not there.
    std::optional<uint64_t> find(int32_t id) {
        std::vector<uint8_t> rec(size_t(dict.RecordLength()));
        dict.InitRecord(rec.data());
        dict.SetRecordField(1, rec.data(), &id);
        auto k = key(2, rec.data());
        TqbKeyPath p;
        uint64_t ref = 0;
        if (!IndexFindKey(index(2), nullptr, k.data(), ref, 0, p)) return std::nullopt;
        return ref;
    }

    std::string folder;
    TqbBufferManager bm;
    std::unique_ptr<TqbSrTransactionMgr> tm;
    std::unique_ptr<TbtdFileInfo> t;
    TqbServerDataDict dict;
    TqbCompositeCompareData compare[3];
};

// The child: commits forever from id next on, writing each committed id to the pipe (negative
// for a delete).
[[noreturn]] void child(const std::string& folder, int32_t next, int fd) {
    try {
        Session s(folder);
        s.open();
        std::vector<uint8_t> rec(size_t(s.dict.RecordLength()));
        for (;; ++next) {
            TqbSrTransaction* tr = nullptr;
            s.tm->StartTransaction(1, true, tr);
            s.dict.InitRecord(rec.data());
            const std::string name = "n" + std::to_string(next % 97);
            uint8_t v[31] = {uint8_t(name.size())};
            std::memcpy(v + 1, name.data(), name.size());
            s.dict.SetRecordField(0, rec.data(), v);
            s.dict.SetRecordField(1, rec.data(), &next);
            uint64_t blob;
            TableBLOBCreate(*s.t, tr, blob);
            const std::string memo = memoOf(next);
            TableBLOBWrite(*s.t, tr, blob, 0, uint32_t(memo.size()), memo.data());
            s.dict.SetRecordField(2, rec.data(), &blob);
            uint64_t ref;
            DataFileAddRecord(*s.t, tr, ref, rec.data());
            for (int i = 1; i <= 2; ++i)
                IndexInsertKey(s.index(i), tr, s.key(i, rec.data()).data(), ref);
            int32_t report[2] = {next, 0};
            // Every third commit also deletes an older record with its BLOB and keys.
            if (next % 3 == 0)
                if (auto old = s.find(next - 2)) {
                    std::vector<uint8_t> o(rec.size());
                    DataFileReadRecord(*s.t, tr, *old, o.data());
                    for (int i = 1; i <= 2; ++i)
                        IndexDeleteKey(s.index(i), tr, s.key(i, o.data()).data(), *old);
                    uint64_t ob;
                    std::memcpy(&ob, o.data() + s.dict.FieldOffset(2), 8);
                    TableBLOBDelete(*s.t, tr, ob);
                    DataFileDeleteRecord(*s.t, tr, *old);
                    report[1] = next - 2;
                }
            bool nested;
            s.tm->Commit(1, nested);
            BLOBResourceManager(*s.t).Commit();
            if (write(fd, report, sizeof report) != sizeof report) _exit(4);
        }
    } catch (...) {
        _exit(3);
    }
}

} // namespace

TEST(KillTest, EveryReportedCommitSurvivesSigkill) {
    pwtest::TempDir dir;
    const std::string folder = dir.str();
    {
        Session s(folder);
        CreateTableFile(folder + "/kill.QB2", killDictionary(), false);
        s.t = AllocFileInfo(folder + "/kill", "QB2", &s.bm);
        OpenFile(*s.t, true, 0, false, false);
        DataFileOpen(*s.t);
        TqbSrTransaction* tr = nullptr;
        s.tm->StartTransaction(1, false, tr);
        TqbServerDataDict d = killDictionary();
        IndexHeaderCreate(*s.t, tr);
        for (int32_t i = 0; i < d.IndexCount(); ++i)
            IndexHeaderAddIndex(*s.t, tr, i, i == 0, d.IndexAllowDups(i), uint32_t(d.IndexKeyLength(i)));
        d.SaveToTableFile(*s.t, tr);
        bool nested;
        s.tm->Commit(1, nested);
    }
    std::mt19937 rng(12345);
    std::map<int32_t, bool> reported; // id -> present
    int32_t next = 1;
    const int rounds = int(scaled(50));
    for (int round = 0; round < rounds; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            child(folder, next, fds[1]);
        }
        close(fds[1]);
        // Let it report a few commits, then kill it at a random moment.
        const int want = 1 + int(rng() % 4);
        int got = 0;
        int32_t report[2];
        while (got < want) {
            pollfd p{fds[0], POLLIN, 0};
            ASSERT_GT(poll(&p, 1, 30000), 0) << "the child stopped reporting";
            ASSERT_EQ(read(fds[0], report, sizeof report), ssize_t(sizeof report));
            reported[report[0]] = true;
            if (report[1]) reported[report[1]] = false;
            ++got;
        }
        usleep(useconds_t(rng() % 20000));
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with " << WEXITSTATUS(status);
        // Reports that made it into the pipe before the kill count too.
        while (read(fds[0], report, sizeof report) == ssize_t(sizeof report)) {
            reported[report[0]] = true;
            if (report[1]) reported[report[1]] = false;
        }
        close(fds[0]);

        TqbRecoveryEngine().CheckFolder("kill", folder);
        Session s(folder);
        s.open();
        TqbVerifyOptions o;
        o.EntriesAgainstRecords = false; // records without index entries
        ASSERT_EQ(FormatVerifyProblems(VerifyTableFile(*s.t, nullptr, o)), "") << "round " << round;
        // A commit that landed but was killed before its report counts as well.
        next = reported.empty() ? 1 : reported.rbegin()->first + 1;
        for (; s.find(next); ++next) {
            reported[next] = true;
            if (next % 3 == 0 && reported.count(next - 2)) reported[next - 2] = false;
        }
        std::vector<uint8_t> rec(size_t(s.dict.RecordLength()));
        for (const auto& [id, present] : reported) {
            auto ref = s.find(id);
            ASSERT_EQ(ref.has_value(), present) << "id " << id << " round " << round;
            if (!ref) continue;
            DataFileReadRecord(*s.t, nullptr, *ref, rec.data());
            uint64_t blob;
            std::memcpy(&blob, rec.data() + s.dict.FieldOffset(2), 8);
            int32_t err;
            const std::string memo = memoOf(id);
            std::string buf(memo.size(), '\0');
            uint32_t n = 0;
            TableBLOBRead(*s.t, nullptr, blob, 0, uint32_t(buf.size()), buf.data(), n, err);
            ASSERT_EQ(buf.substr(0, n), memo) << "id " << id;
        }
    }
    EXPECT_GT(reported.size(), size_t(rounds));
}
