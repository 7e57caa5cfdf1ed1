// Eight clients at once on shared tables through the engine interface: random writes, reads,
// client transactions, table locks, BLOBs and reconnects; afterwards each client finds exactly the
// rows and BLOBs it committed, and the verifier finds nothing wrong in any table file.
#include "tests/db/engine/EngineApiSupport.h"
#include "tests/db/engine/EngineTestSupport.h"

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace engineapi;

namespace {

constexpr int kThreads = 8;
constexpr uint32_t kWaitMs = 300; // lock waits of every object: contention ends in 10241 soon

int opsPerThread() {
    if (const char* v = std::getenv("PW_ENGINE_STRESS_OPS"))
        if (int n = std::atoi(v); n > 0) return n;
    return 100;
}

// Results that only say another client was in the way (lock refused, deadlock victim, the
// operation's time ran out waiting): the operation changed nothing.
bool contention(TqbResultCode rc) {
    return rc == 10241 || rc == 10245 || rc == 15456 || rc == 15461;
}

// The two keyed tables, both open on their name index. A row is a name and a number: the
// contacts' service number (names unique), the people's code (codes unique).
enum Kind { kContacts = 0, kPeople = 1 };

struct Tables {
    TqbServerDataDict contacts = contactsDictionary();
    TqbServerDataDict people = enginetest::peopleDictionary(4);
    TqbServerDataDict docs;
    Tables() {
        docs.SetTableName("docs");
        docs.AddField("title", "", qbtShortString, 20, 0, true);
        docs.AddField("body", "", qbtBLOB, 0, 0, false);
    }
    const TqbServerDataDict& dict(int k) const { return k == kContacts ? contacts : people; }
    std::vector<uint8_t> record(int k, const std::string& name, int32_t value) const {
        if (k == kContacts) return contactRecord(contacts, {name, "id", value, "pw", {}});
        return enginetest::record(people, {name, "c" + std::to_string(value % 5), value, value % 100});
    }
    std::pair<std::string, int32_t> row(int k, const uint8_t* r) const {
        if (k == kContacts) {
            const Contact c = contactOf(contacts, r);
            return {c.name, c.service};
        }
        const enginetest::Person p = enginetest::person(people, r);
        return {p.name, p.code};
    }
};

using Rows = std::map<std::string, int32_t>;
using Blobs = std::map<uint64_t, std::vector<uint8_t>>;

// One client's random run and its model of what it committed.
class Worker {
public:
    Worker(TqbServerEngine& Engine, const Tables& T, const std::string& Dir, int Id)
        : e_(Engine), t_(T), dir_(Dir), id_(Id), prefix_("t" + std::to_string(Id) + "-"),
          rng_(uint32_t(0x5EED0000u + uint32_t(Id))) {}

    void run(int Ops) {
        if (!connect()) return;
        for (int i = 0; i < Ops && !broken_; ++i)
            step();
        if (!broken_ && inTx_) endTransaction(rng_() % 2 == 0);
        if (!broken_) check(e_.ClientRemove(client_), {}, "client remove at the end");
    }

    const std::string& prefix() const { return prefix_; }
    const Rows& rows(int k) const { return rows_[k]; }
    const Blobs& blobs() const { return blobs_; }
    int transactionsCommitted() const { return commits_; }

private:
    // A result outside Allowed (besides 0) fails the test and ends this worker.
    bool check(TqbResultCode rc, std::initializer_list<TqbResultCode> Allowed, const std::string& What,
               bool AllowContention = false) {
        if (rc == 0 || (AllowContention && contention(rc))) return rc == 0;
        for (TqbResultCode a : Allowed)
            if (rc == a) return false;
        fail(What + ": result " + std::to_string(rc));
        return false;
    }
    void fail(const std::string& What) {
        ADD_FAILURE() << "client " << id_ << ", step " << step_ << ": " << What;
        broken_ = true;
    }

    bool connect() {
        uint32_t hash = 0;
        TqbHandle session = 0;
        if (!check(e_.ClientAdd(client_, "stress" + std::to_string(id_), "", kWaitMs, hash), {},
                   "client add") ||
            !check(e_.SessionAdd(client_, kWaitMs, session), {}, "session add") ||
            !check(e_.DatabaseOpenPath(client_, dir_, qbomReadWrite, qbsmShared, kWaitMs, db_), {},
                   "database open"))
            return false;
        const char* names[2] = {"contacts", "people"};
        for (int k = 0; k < 2; ++k)
            if (!open(names[k], 1, cursor_[k])) return false;
        return open("docs", 0, docs_);
    }
    bool open(const std::string& Name, int32_t Index, TqbHandle& Cursor) {
        // An open meets other clients' table and commit locks.
        for (int tries = 0; tries < 50; ++tries) {
            const TqbResultCode rc = e_.TableOpen(db_, Name, false, "", Index, qbomReadWrite, qbsmShared,
                                                  kWaitMs, Cursor, nullptr);
            if (!contention(rc)) return check(rc, {}, "open " + Name);
        }
        fail("open " + Name + " met contention 50 times");
        return false;
    }

    Rows& view(int k) { return inTx_ ? pendingRows_[k] : rows_[k]; }
    Blobs& blobView() { return inTx_ ? pendingBlobs_ : blobs_; }
    std::string freshName() {
        char b[16];
        std::snprintf(b, sizeof b, "%05d", next_++);
        return prefix_ + b;
    }
    int32_t freshValue() { return id_ * 1000000 + next_++; }
    template <class M> auto pick(M& Map) {
        auto it = Map.begin();
        std::advance(it, std::ptrdiff_t(rng_() % Map.size()));
        return it;
    }
    bool valueTaken(int k, int32_t Value) {
        for (auto& [n, v] : view(k))
            if (v == Value) return true;
        return false;
    }

    void step() {
        ++step_;
        const int k = int(rng_() % 2);
        const unsigned r = rng_() % 100;
        if (r < 22)
            insert(k);
        else if (r < 32)
            modify(k);
        else if (r < 42)
            remove(k);
        else if (r < 52)
            search(k);
        else if (r < 57)
            range(k);
        else if (r < 60)
            walk(k);
        else if (r < 66)
            insertBatch(k);
        else if (r < 70)
            readBatch(k);
        else if (r < 78)
            transaction();
        else if (r < 82)
            tableLock(k);
        else if (r < 92)
            blob();
        else if (r < 97)
            cloneAndClose(k);
        else
            reconnect();
    }

    void insert(int k) {
        Rows& v = view(k);
        std::string name = freshName();
        int32_t value = freshValue();
        bool dup = false;
        if (!v.empty() && rng_() % 5 == 0) {
            dup = true;
            if (k == kContacts)
                name = pick(v)->first;
            else
                value = pick(v)->second;
        }
        const TqbResultCode rc = e_.RecordInsert(cursor_[k], qbltNone, t_.record(k, name, value));
        if (rc == 0 && dup) return fail("a duplicate key was inserted");
        if (rc == 9729 && !dup) return fail("a fresh key was refused as a duplicate");
        if (check(rc, {9729}, "insert", true)) v[name] = value;
    }

    // The cursor on Name's row: 0, 8710 when there is none, or contention.
    TqbResultCode locate(int k, const std::string& Name) {
        TqbResultCode rc = e_.CursorSetToKey(cursor_[k], 0, false, 1, 0, t_.record(k, Name, 0));
        if (rc != 0) return rc;
        std::vector<uint8_t> r(size_t(t_.dict(k).RecordLength()));
        rc = e_.RecordGetNext(cursor_[k], qbltNone, r);
        if (rc == 0 && t_.row(k, r.data()).first != Name) {
            fail("a key search for " + Name + " stood on " + t_.row(k, r.data()).first);
            return -1;
        }
        return rc;
    }
    // Locates a row the model holds; false (and the test failed when it is missing) when not there.
    bool locateOwn(int k, const std::string& Name) {
        const TqbResultCode rc = locate(k, Name);
        if (rc == 8710)
            fail("row " + Name + " is missing");
        else if (rc != -1)
            check(rc, {}, "locate " + Name, true);
        return rc == 0;
    }

    void modify(int k) {
        Rows& v = view(k);
        if (v.empty()) return insert(k);
        const auto [name, old] = *pick(v);
        if (!locateOwn(k, name)) return;
        std::string newName = name;
        int32_t value = freshValue();
        bool dup = false;
        if (v.size() > 1 && rng_() % 6 == 0) {
            auto other = pick(v);
            if (other->first != name) {
                dup = true;
                if (k == kContacts)
                    newName = other->first;
                else
                    value = other->second;
            }
        } else if (k == kContacts && rng_() % 2 == 0) {
            newName = freshName(); // the key itself changes
        }
        const TqbResultCode rc = e_.RecordModify(cursor_[k], t_.record(k, newName, value), true);
        if (rc == 0 && dup) return fail("a modify onto a taken key went through");
        if (rc == 9729 && !dup) return fail("a modify onto a free key was refused");
        if (!check(rc, {9729}, "modify", true)) return;
        v.erase(name);
        v[newName] = value;
    }

    void remove(int k) {
        Rows& v = view(k);
        if (v.empty()) return;
        const std::string name = pick(v)->first;
        if (!locateOwn(k, name)) return;
        std::vector<uint8_t> r(size_t(t_.dict(k).RecordLength()));
        const TqbResultCode rc = e_.RecordDelete(cursor_[k], r);
        if (rc != 0) mayFail_ = true; // a failed delete fails the client's transaction
        if (!check(rc, {}, "delete", true)) return;
        if (t_.row(k, r.data()) != std::make_pair(name, v[name])) return fail("deleted the wrong row");
        v.erase(name);
    }

    void search(int k) {
        Rows& v = view(k);
        const bool known = !v.empty() && rng_() % 4 != 0;
        const std::string name = known ? pick(v)->first : freshName();
        std::vector<uint8_t> r(size_t(t_.dict(k).RecordLength()));
        const TqbResultCode rc = e_.RecordGetForKey(cursor_[k], false, 1, 0, t_.record(k, name, 0), r, true);
        if (rc == 8710 && known) return fail("key search misses " + name);
        if (!check(rc, {8710}, "key search", true)) return;
        if (!known) return fail("key search finds " + name + ", never inserted");
        if (t_.row(k, r.data()) != std::make_pair(name, v[name])) fail("key search read another row");
    }

    // Walks the cursor from where it stands; false when the walk was cut short by contention.
    bool collect(int k, std::vector<std::pair<std::string, int32_t>>& Out) {
        std::vector<uint8_t> r(size_t(t_.dict(k).RecordLength()));
        for (;;) {
            const TqbResultCode rc = e_.RecordGetNext(cursor_[k], qbltNone, r);
            if (rc == 8706) return true;
            if (rc != 0) {
                check(rc, {8705, 8708, 8709}, "walk", true);
                return false;
            }
            Out.push_back(t_.row(k, r.data()));
        }
    }
    bool sameAsModel(int k, const std::vector<std::pair<std::string, int32_t>>& Got,
                     const std::string& What) {
        const Rows& v = view(k);
        std::vector<std::pair<std::string, int32_t>> want(v.begin(), v.end());
        if (Got == want) return true;
        fail(What + ": " + std::to_string(Got.size()) + " own rows, the model has " +
             std::to_string(want.size()));
        return false;
    }

    void range(int k) {
        std::string end = prefix_;
        end.back() = '.'; // the first name after every name of this prefix
        TqbResultCode rc = e_.CursorSetRange(cursor_[k], false, 1, 0, t_.record(k, prefix_, 0), true, 1, 0,
                                             t_.record(k, end, 0), false);
        if (!check(rc, {}, "set range", true)) return;
        std::vector<std::pair<std::string, int32_t>> got;
        if (check(e_.CursorSetToBegin(cursor_[k]), {}, "range begin", true) && collect(k, got))
            sameAsModel(k, got, "range over own names");
        check(e_.CursorResetRange(cursor_[k]), {}, "reset range");
    }

    void walk(int k) {
        if (!check(e_.CursorSetToBegin(cursor_[k]), {}, "walk begin", true)) return;
        std::vector<std::pair<std::string, int32_t>> all, own;
        if (!collect(k, all)) return;
        for (auto& row : all) {
            if (row.first.size() < 3 || row.first[0] != 't' || row.first[2] != '-')
                return fail("a row nobody wrote: " + row.first);
            if (row.first.compare(0, prefix_.size(), prefix_) == 0) own.push_back(row);
        }
        sameAsModel(k, own, "walk");
    }

    void insertBatch(int k) {
        Rows& v = view(k);
        const size_t len = size_t(t_.dict(k).RecordLength());
        const int n = 2 + int(rng_() % 4);
        std::vector<uint8_t> data;
        std::vector<std::pair<std::string, int32_t>> rows;
        for (int i = 0; i < n; ++i) {
            std::string name = freshName();
            int32_t value = freshValue();
            if (rng_() % 5 == 0 && !rows.empty()) { // a duplicate of an earlier entry
                if (k == kContacts)
                    name = rows.front().first;
                else
                    value = rows.front().second;
            }
            rows.emplace_back(name, value);
            auto r = t_.record(k, name, value);
            r.resize(len);
            data.insert(data.end(), r.begin(), r.end());
        }
        std::vector<int32_t> errors;
        const TqbResultCode brc = e_.RecordInsertBatch(cursor_[k], n, int32_t(len), data, errors);
        if (!check(brc, {}, "insert batch", true)) return;
        if (errors.size() != size_t(n))
            return fail("insert batch gave " + std::to_string(errors.size()) + " codes");
        for (int i = 0; i < n; ++i) {
            const auto& [name, value] = rows[size_t(i)];
            const bool dup = k == kContacts ? v.count(name) != 0 : valueTaken(k, value);
            if (errors[size_t(i)] == 0 && dup) return fail("insert batch took a duplicate");
            if (errors[size_t(i)] == 9729 && !dup) return fail("insert batch refused a fresh key");
            if (check(errors[size_t(i)], {9729}, "insert batch entry", true)) v[name] = value;
        }
    }

    void readBatch(int k) {
        const size_t len = size_t(t_.dict(k).RecordLength());
        if (!check(e_.CursorSetToBegin(cursor_[k]), {}, "batch begin", true)) return;
        std::vector<uint8_t> buf(len * 8);
        int32_t count = -1, error = -1;
        if (!check(e_.RecordGetBatch(cursor_[k], 8, int32_t(len), buf, count, error), {}, "read batch", true))
            return;
        if (count < 0 || count > 8) return fail("read batch count " + std::to_string(count));
        if (count < 8) check(error, {8706, 8705, 8708, 8709}, "read batch end", true);
        const Rows& v = view(k);
        for (int i = 0; i < count; ++i) {
            const auto row = t_.row(k, buf.data() + size_t(i) * len);
            if (row.first.compare(0, prefix_.size(), prefix_) != 0) continue;
            auto it = v.find(row.first);
            if (it == v.end() || it->second != row.second) return fail("read batch read " + row.first);
        }
    }

    void transaction() {
        if (inTx_) return endTransaction(rng_() % 3 != 0);
        if (!check(e_.TransactionStart(db_, false), {}, "transaction start", true)) return;
        inTx_ = true;
        mayFail_ = false;
        pendingRows_[0] = rows_[0];
        pendingRows_[1] = rows_[1];
        pendingBlobs_ = blobs_;
    }
    void endTransaction(bool Commit) {
        inTx_ = false;
        if (!Commit) {
            check(e_.TransactionRollback(db_), {}, "rollback");
            return;
        }
        const TqbResultCode rc = e_.TransactionCommit(db_);
        if (rc == 15443 && mayFail_) return;
        if (!check(rc, {}, "commit")) return;
        rows_[0] = std::move(pendingRows_[0]);
        rows_[1] = std::move(pendingRows_[1]);
        blobs_ = std::move(pendingBlobs_);
        ++commits_;
    }

    void tableLock(int k) {
        const TqbLockType type = rng_() % 2 ? qbltWrite : qbltRead;
        if (!check(e_.TableLockAcquire(cursor_[k], type), {}, "table lock", true)) return;
        bool locked = false;
        check(e_.TableIsLocked(cursor_[k], type, locked), {}, "table lock query");
        if (!locked) fail("a table lock taken is not held");
        if (type == qbltWrite)
            insert(k);
        else
            search(k);
        if (!broken_) check(e_.TableLockRelease(cursor_[k], type, false), {}, "table unlock");
    }

    void blob() {
        Blobs& v = blobView();
        const unsigned r = rng_() % 4;
        if (v.empty() || r == 0) {
            uint64_t nr = 0;
            TqbResultCode rc = e_.BLOBCreate(docs_, nr);
            if (rc != 0) mayFail_ = true;
            if (!check(rc, {}, "BLOB create", true)) return;
            std::vector<uint8_t> bytes(1 + rng_() % 3000);
            for (auto& b : bytes)
                b = uint8_t(rng_());
            v[nr] = {};
            rc = e_.BLOBWrite(docs_, nr, 0, bytes);
            if (rc != 0) mayFail_ = true;
            // A refused write leaves the BLOB empty.
            if (check(rc, {}, "BLOB write", true)) v[nr] = bytes;
            return;
        }
        const auto it = pick(v);
        const uint64_t nr = it->first;
        if (r == 1) {
            std::vector<uint8_t> back(it->second.size() + 16);
            uint32_t got = 0;
            if (!check(e_.BLOBRead(docs_, nr, 0, back, got), {}, "BLOB read", true)) return;
            back.resize(got);
            if (back != it->second) fail("BLOB " + std::to_string(nr) + " reads other bytes");
        } else if (r == 2) {
            const TqbResultCode rc = e_.BLOBFree(docs_, nr, false);
            if (rc != 0) mayFail_ = true;
            // A BLOB left empty by a failed write is deleted by its free.
            if (check(rc, {13058}, "BLOB free", true) == false && rc == 13058) {
                if (!it->second.empty()) return fail("a BLOB with content was deleted by its free");
                v.erase(it);
            }
        } else {
            const TqbResultCode rc = e_.BLOBDelete(docs_, nr);
            if (rc != 0) mayFail_ = true;
            if (check(rc, {}, "BLOB delete", true)) v.erase(nr);
        }
    }

    void cloneAndClose(int k) {
        TqbHandle clone = 0;
        if (!check(e_.CursorClone(cursor_[k], rng_() % 2 ? qbomReadOnly : qbomReadWrite, clone), {}, "clone",
                   true))
            return;
        const Rows& v = view(k);
        if (!v.empty()) {
            const std::string name = pick(v)->first;
            std::vector<uint8_t> r(size_t(t_.dict(k).RecordLength()));
            TqbResultCode rc = e_.RecordGetForKey(clone, false, 1, 0, t_.record(k, name, 0), r, true);
            if (rc == 0 && t_.row(k, r.data()).first != name)
                fail("the clone read another row");
            else if (rc == 8710)
                fail("the clone misses " + name);
            else
                check(rc, {}, "clone key search", true);
        }
        check(e_.CursorClose(clone), {}, "clone close");
    }

    void reconnect() {
        // Removing the client rolls its transaction back.
        inTx_ = false;
        if (!check(e_.ClientRemove(client_), {}, "client remove")) return;
        connect();
    }

    TqbServerEngine& e_;
    const Tables& t_;
    std::string dir_;
    int id_;
    std::string prefix_;
    std::mt19937 rng_;
    TqbHandle client_ = 0, db_ = 0, cursor_[2] = {0, 0}, docs_ = 0;
    Rows rows_[2], pendingRows_[2];
    Blobs blobs_, pendingBlobs_;
    bool inTx_ = false, mayFail_ = false, broken_ = false;
    int next_ = 0, step_ = 0, commits_ = 0;
};

// Every row of a table whose name starts with Prefix, through a fresh client's cursor.
Rows rowsOf(Api& api, const Tables& t, int k, const std::string& Name, const std::string& Prefix) {
    TqbHandle c = 0;
    EXPECT_EQ(0,
              api.engine->TableOpen(api.db, Name, false, "", 1, qbomReadOnly, qbsmShared, 10000, c, nullptr));
    Rows out;
    EXPECT_EQ(0, api.engine->CursorSetToBegin(c));
    std::vector<uint8_t> r(size_t(t.dict(k).RecordLength()));
    TqbResultCode rc;
    while ((rc = api.engine->RecordGetNext(c, qbltNone, r)) == 0) {
        auto [name, value] = t.row(k, r.data());
        if (name.compare(0, Prefix.size(), Prefix) == 0) {
            EXPECT_TRUE(out.emplace(name, value).second) << name;
        }
    }
    EXPECT_EQ(8706, rc);
    EXPECT_EQ(0, api.engine->CursorClose(c));
    return out;
}

} // namespace

TEST(EngineStress, EightClientsKeepExactlyWhatTheyCommittedAndLeaveSoundFiles) {
    Api api;
    const Tables t;
    for (const char* name : {"contacts", "people", "docs"}) {
        TqbServerDataDict d = std::string(name) == "docs"     ? t.docs
                              : std::string(name) == "people" ? t.people
                                                              : t.contacts;
        d.SetTableName(name);
        ASSERT_EQ(0, api.engine->TableBuild(api.db, false, name, false, d));
    }
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; ++i)
        workers.push_back(std::make_unique<Worker>(*api.engine, t, api.dir.str(), i));
    const int ops = opsPerThread();
    enginetest::finishesWithin(std::chrono::seconds(300), "stress run", [&] {
        std::vector<std::thread> threads;
        for (auto& w : workers)
            threads.emplace_back([&w, ops] { w->run(ops); });
        for (auto& th : threads)
            th.join();
    });

    // Each client's rows and BLOBs are exactly what it committed.
    int commits = 0;
    size_t rows[2] = {0, 0};
    TqbHandle docs = 0;
    ASSERT_EQ(0, api.engine->TableOpen(api.db, "docs", false, "", 0, qbomReadWrite, qbsmShared, 10000, docs,
                                       nullptr));
    for (auto& w : workers) {
        commits += w->transactionsCommitted();
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(w->rows(k), rowsOf(api, t, k, k == kContacts ? "contacts" : "people", w->prefix()))
                << w->prefix() << " in table " << k;
            rows[k] += w->rows(k).size();
        }
        for (const auto& [nr, bytes] : w->blobs()) {
            std::vector<uint8_t> back(bytes.size() + 16);
            uint32_t got = 0;
            ASSERT_EQ(0, api.engine->BLOBRead(docs, nr, 0, back, got)) << w->prefix() << " BLOB " << nr;
            back.resize(got);
            EXPECT_EQ(bytes, back) << w->prefix() << " BLOB " << nr;
        }
    }
    EXPECT_GT(commits, 0) << "client transactions were committed";
    EXPECT_GT(rows[kContacts] + rows[kPeople], size_t(kThreads)) << "rows were kept";
    EXPECT_EQ(rows[kContacts], rowsOf(api, t, kContacts, "contacts", "").size()) << "rows nobody committed";
    EXPECT_EQ(rows[kPeople], rowsOf(api, t, kPeople, "people", "").size()) << "rows nobody committed";

    // Every table file is sound once the engine has let go of it.
    api.engine->Shutdown();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(api.dir.str())) {
        const std::string path = entry.path().string();
        if (entry.path().extension() != ".QB2") continue;
        ++files;
        const TqbVerifyReport report = VerifyTableFileOnDisk(path);
        EXPECT_TRUE(report.empty()) << path << "\n" << FormatVerifyProblems(report);
    }
    EXPECT_EQ(3, files);
}
