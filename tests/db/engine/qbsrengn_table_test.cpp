// The in-process engine's table operations and table locks through the engine interface: build,
// open, delete, rename, empty, index add and drop, auto-increment, dictionaries, record counts,
// the read-only refusals and client table locks between two clients.
#include "tests/db/engine/EngineApiSupport.h"

#include "db/storage/qbtbdata.h"
#include "platform/Files.h"
#include "platform/testing/FaultyFiles.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

using namespace engineapi;

namespace {

std::string streamBytes(cls::TMemoryStream& s) {
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
}

std::string dictionaryBytes(const TqbDataDictionary& d) {
    std::string s;
    d.WriteToStream(s);
    return s;
}

// A 32-bit word of the header block of a table's data file, as it lies on disk.
uint32_t headerWord(const std::string& dataFile, uint32_t offset) {
    std::ifstream f(dataFile, std::ios::binary);
    std::vector<char> h(offset + 4);
    f.read(h.data(), std::streamsize(h.size()));
    EXPECT_TRUE(f.good()) << dataFile;
    return plat::LoadLE32(reinterpret_cast<const uint8_t*>(h.data()) + offset);
}

TqbIndexDescriptor idIndex(bool allowDups) {
    TqbIndexDescriptor d;
    d.Name = "idIndex";
    d.KeyFieldCount = 1;
    d.KeyFields[0] = 1;
    d.AllowDups = allowDups;
    return d;
}

// The contacts table with its "nameIndex" unique.
TqbServerDataDict uniqueContacts() {
    TqbServerDataDict d = contactsDictionary();
    const int32_t name = 0;
    d.RemoveIndex(d.GetIndexFromName("nameIndex"));
    d.AddIndex("nameIndex", "", 0, 1, &name, nullptr, false, true, true);
    d.BindIndexHelpers();
    return d;
}

// Records go in and come out through the cursor inside the engine's own frame and write path.
struct Tables : Api {
    TqbServerDataDict dict = uniqueContacts();

    TqbHandle contacts(const std::string& name = "contacts") {
        EXPECT_EQ(0, engine->TableBuild(db, false, name, false, dict));
        return open(name);
    }

    TqbResultCode insert(TqbHandle cursor, const std::string& name, const std::string& id = "") {
        Contact contact;
        contact.name = name;
        contact.id = id.empty() ? name : id;
        const std::vector<uint8_t> rec = contactRecord(dict, contact);
        return engine->CursorFrame(cursor, [&](TqbSrBaseCursor& c) {
            return engine->seCursorWrite(c, false, true, false,
                                         [&] { return c.RecordInsert(rec.data(), lmNone); });
        });
    }
    void insertAll(TqbHandle cursor, const std::vector<std::string>& names) {
        for (const std::string& n : names)
            ASSERT_EQ(0, insert(cursor, n));
    }
    // Names in the cursor's order, from the start.
    std::vector<std::string> names(TqbHandle cursor) {
        std::vector<std::string> out;
        EXPECT_EQ(0, engine->CursorFrame(cursor, [&](TqbSrBaseCursor& c) -> TqbResultCode {
            std::vector<uint8_t> buf(size_t(dict.RecordLength()));
            if (int32_t rc = c.SetToBegin()) return rc;
            for (;;) {
                const int32_t rc = c.RecordGetNext(buf.data(), lmNone);
                if (rc == 8706) return 0;
                if (rc != 0) return rc;
                out.push_back(contactOf(dict, buf.data()).name);
            }
        }));
        return out;
    }
    // The result of an open (a cursor handle in cursor).
    TqbResultCode openCode(TqbHandle database, const std::string& table, const std::string& index,
                           TqbShareMode share, TqbHandle& cursor, TqbOpenMode mode = qbomReadWrite,
                           uint32_t timeout = 10000) {
        return engine->TableOpen(database, table, false, index, 0, mode, share, timeout, cursor, nullptr);
    }
    TqbHandle open(const std::string& table, const std::string& index = "nameIndex",
                   TqbShareMode share = qbsmShared) {
        TqbHandle cursor = 0;
        EXPECT_EQ(0, openCode(db, table, index, share, cursor));
        return cursor;
    }
    std::string dictionaryOf(const std::string& table) {
        cls::TMemoryStream s;
        EXPECT_EQ(0, engine->TableGetDictionary(db, table, s));
        return streamBytes(s);
    }
    // Closes every cursor of the database by closing it, with a new database on the folder.
    void reopenDatabase() {
        TqbHandle fresh = 0;
        ASSERT_EQ(0, engine->DatabaseOpenPath(client, dir.str(), qbomReadWrite, qbsmShared, 10000, fresh));
        ASSERT_EQ(0, engine->DatabaseClose(db));
        db = fresh;
    }
    bool fileThere(const std::string& name) { return plat::FileExists(dir.file(name)); }
    bool locked(TqbHandle cursor, TqbLockType type) {
        bool is = true;
        EXPECT_EQ(0, engine->TableIsLocked(cursor, type, is));
        return is;
    }
};

// A second client of the same engine on the same folder.
struct OtherClient {
    TqbHandle client = 0, session = 0, db = 0;
    explicit OtherClient(Api& api, uint32_t timeout = 10000) {
        uint32_t hash = 0;
        EXPECT_EQ(0, api.engine->ClientAdd(client, "other", "", 10000, hash));
        EXPECT_EQ(0, api.engine->SessionAdd(client, 10000, session));
        EXPECT_EQ(
            0, api.engine->DatabaseOpenPath(client, api.dir.str(), qbomReadWrite, qbsmShared, timeout, db));
    }
};

// Records the replace flag of every rename that reaches the file layer.
class RenameLog final : public plat::FileSystemWrapper {
public:
    using FileSystemWrapper::FileSystemWrapper;
    int rename(const std::string& from, const std::string& to, bool replace) override {
        {
            std::lock_guard lk(m_);
            replaces_.push_back(replace);
        }
        return FileSystemWrapper::rename(from, to, replace);
    }
    std::vector<bool> replaces() {
        std::lock_guard lk(m_);
        return replaces_;
    }

private:
    std::mutex m_;
    std::vector<bool> replaces_;
};

} // namespace

TEST(EngineTables, BuildAndOpenGiveTheHandleTheDictionaryAndTheIndexNumber) {
    Tables t;
    ASSERT_EQ(0, t.engine->TableBuild(t.db, false, "contacts", false, t.dict));
    cls::TMemoryStream s;
    TqbHandle cursor = 0;
    ASSERT_EQ(0, t.engine->TableOpen(t.db, "contacts", false, "nameIndex", 0, qbomReadWrite, qbsmShared,
                                     10000, cursor, &s));
    const std::string bytes = streamBytes(s);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(cursor, plat::LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data())));
    const int32_t nameIndex = t.dict.GetIndexFromName("nameIndex");
    EXPECT_EQ(uint32_t(nameIndex),
              plat::LoadLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - 4));
    const std::string dictPart = bytes.substr(4, bytes.size() - 8);
    EXPECT_EQ(dictionaryBytes(t.dict), dictPart);
    TqbServerDataDict back;
    back.ReadFromStream(dictPart);
    EXPECT_EQ("nameIndex", back.IndexName(nameIndex));
    EXPECT_FALSE(back.IndexAllowDups(nameIndex));
    // The dictionary operation gives the same bytes, open or not, under any case of the name.
    EXPECT_EQ(dictPart, t.dictionaryOf("CONTACTS"));
    t.reopenDatabase();
    EXPECT_EQ(dictPart, t.dictionaryOf("contacts"));
    cls::TMemoryStream none;
    EXPECT_EQ(10024, t.engine->TableGetDictionary(t.db, "missing", none));
    EXPECT_EQ(10039, t.engine->TableGetDictionary(t.db, "contacts.QB2", none));
    EXPECT_EQ(0, none.Size());
}

// Opens that ask for the dictionary stream, as every dataset and remote open does, read the table's
// shared dictionary while another client's inserts build keys from it (the thread sanitizer sees
// any write among them); the dictionary stays as it was.
TEST(EngineTables, OpensWithTheDictionaryStreamBesideAnotherClientsInserts) {
    Tables t;
    const TqbHandle writer = t.contacts();
    const std::string before = t.dictionaryOf("contacts");
    OtherClient other(t);
    constexpr int kRounds = 200;
    std::thread opener([&] {
        for (int i = 0; i < kRounds; ++i) {
            cls::TMemoryStream s;
            TqbHandle c = 0;
            ASSERT_EQ(0, t.engine->TableOpen(other.db, "contacts", false, "nameIndex", 0, qbomReadWrite,
                                             qbsmShared, 10000, c, &s));
            ASSERT_EQ(0, t.engine->CursorClose(c));
        }
    });
    for (int i = 0; i < kRounds; ++i)
        EXPECT_EQ(0, t.insert(writer, "Contact " + std::to_string(i)));
    opener.join();
    EXPECT_EQ(before, t.dictionaryOf("contacts"));
    EXPECT_EQ(size_t(kRounds), t.names(writer).size());
}

TEST(EngineTables, BuildRefusesBadNamesExistingAndOpenTablesAndReadOnlyDatabases) {
    Tables t;
    TqbHandle c = 0;
    for (const std::string bad : {"contacts.QB2", "sub/contacts", "..\\contacts", "", "a:b"}) {
        EXPECT_EQ(10039, t.engine->TableBuild(t.db, false, bad, false, t.dict)) << bad;
        EXPECT_EQ(10039, t.openCode(t.db, bad, "", qbsmShared, c)) << bad;
    }
    const TqbHandle cursor = t.contacts();
    t.insertAll(cursor, {"ann", "bob"});
    EXPECT_EQ(10031, t.engine->TableBuild(t.db, true, "contacts", false, t.dict));
    t.reopenDatabase();
    EXPECT_EQ(13060, t.engine->TableBuild(t.db, false, "contacts", false, t.dict));
    EXPECT_EQ(13060, t.engine->TableBuild(t.db, false, "Contacts", false, t.dict));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(t.open("contacts")));
    TqbHandle ro = 0;
    ASSERT_EQ(0, t.engine->DatabaseOpenPath(t.client, t.dir.str(), qbomReadOnly, qbsmShared, 10000, ro));
    EXPECT_EQ(10501, t.engine->TableBuild(ro, false, "other", false, t.dict));
    EXPECT_FALSE(t.fileThere("other.QB2"));
    // Over the table once nothing holds it open: a new, empty table.
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableBuild(t.db, true, "contacts", false, t.dict));
    EXPECT_TRUE(t.names(t.open("contacts")).empty());
}

TEST(EngineTables, DeleteRefusesOpenTablesAndBadNamesThenRemovesEveryFile) {
    Tables t;
    const TqbHandle cursor = t.contacts();
    t.insertAll(cursor, {"ann"});
    EXPECT_EQ(10031, t.engine->TableDelete(t.db, "contacts"));
    EXPECT_EQ(10031, t.engine->TableDelete(t.db, "CONTACTS"));
    EXPECT_EQ(10039, t.engine->TableDelete(t.db, ""));
    EXPECT_EQ(10039, t.engine->TableDelete(t.db, "../contacts"));
    EXPECT_EQ(10024, t.engine->TableDelete(t.db, "missing"));
    EXPECT_EQ((std::vector<std::string>{"ann"}), t.names(cursor));
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableDelete(t.db, "Contacts"));
    for (const auto& e : std::filesystem::directory_iterator(t.dir.path()))
        EXPECT_NE(0, TextCompareNoCase(e.path().stem().string(), "contacts")) << e.path();
    TqbHandle c = 0;
    EXPECT_EQ(10024, t.openCode(t.db, "contacts", "", qbsmShared, c));
    // The name is free again.
    EXPECT_EQ(0, t.engine->TableBuild(t.db, false, "contacts", false, t.dict));
    // A damaged table: its dictionary cannot be read, yet it can be removed, and the delete that
    // removed it succeeded.
    std::ofstream(t.dir.file("junk.QB2"), std::ios::binary) << std::string(8192, 'x');
    cls::TMemoryStream s;
    const TqbResultCode damaged = t.engine->TableGetDictionary(t.db, "junk", s);
    EXPECT_NE(0, damaged);
    EXPECT_NE(10024, damaged);
    EXPECT_EQ(0, t.engine->TableDelete(t.db, "junk"));
    EXPECT_FALSE(t.fileThere("junk.QB2"));
}

TEST(EngineTables, RenameMovesTheTableAndNeverReplacesAnother) {
    Tables t;
    t.insertAll(t.contacts(), {"ann", "bob"});
    t.insertAll(t.contacts("friends"), {"zoe"});
    EXPECT_EQ(10031, t.engine->TableRename(t.db, "contacts", "people"));
    t.reopenDatabase();
    RenameLog log(plat::PosixFiles());
    {
        plat::ScopedFiles files(log);
        for (const std::string bad : {"people.QB2", "sub/people", "", "p*"})
            EXPECT_EQ(10039, t.engine->TableRename(t.db, "contacts", bad)) << bad;
        EXPECT_EQ(13060, t.engine->TableRename(t.db, "contacts", "friends"));
        EXPECT_EQ(13060, t.engine->TableRename(t.db, "contacts", "FRIENDS"));
        EXPECT_EQ(10024, t.engine->TableRename(t.db, "missing", "people"));
        ASSERT_EQ(0, t.engine->TableRename(t.db, "CONTACTS", "people"));
    }
    const std::vector<bool> replaces = log.replaces();
    ASSERT_FALSE(replaces.empty());
    EXPECT_TRUE(std::none_of(replaces.begin(), replaces.end(), [](bool r) { return r; }));
    EXPECT_TRUE(t.fileThere("people.QB2"));
    EXPECT_FALSE(t.fileThere("contacts.QB2"));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(t.open("people")));
    EXPECT_EQ((std::vector<std::string>{"zoe"}), t.names(t.open("friends")));
    TqbHandle c = 0;
    EXPECT_EQ(10024, t.openCode(t.db, "contacts", "", qbsmShared, c));
    // Only the case of the name changes.
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableRename(t.db, "people", "People"));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(t.open("people")));
}

TEST(EngineTables, EmptyWithAndWithoutACursorLeavesAUsableTable) {
    Tables t;
    const TqbHandle shared = t.contacts();
    t.insertAll(shared, {"ann", "bob", "cid"});
    // Emptying through a cursor takes one opened exclusive.
    EXPECT_EQ(10253, t.engine->TableEmpty(t.db, shared, ""));
    // Without a cursor the table may not be open elsewhere.
    EXPECT_EQ(10031, t.engine->TableEmpty(t.db, 0, "contacts"));
    EXPECT_EQ(3u, t.names(shared).size());
    t.reopenDatabase();
    const TqbHandle own = t.open("contacts", "nameIndex", qbsmExclusive);
    ASSERT_EQ(0, t.engine->TableEmpty(t.db, own, ""));
    int32_t count = -1;
    EXPECT_EQ(0, t.engine->TableGetRecordCount(own, count));
    EXPECT_EQ(0, count);
    EXPECT_TRUE(t.names(own).empty());
    // The unique index was emptied with the data: the same names go in again, and both indexes
    // hold them.
    t.insertAll(own, {"cid", "ann"});
    EXPECT_EQ((std::vector<std::string>{"ann", "cid"}), t.names(own));
    EXPECT_EQ(9729, t.insert(own, "ann"));
    t.reopenDatabase();
    EXPECT_EQ((std::vector<std::string>{"cid", "ann"}), t.names(t.open("contacts", "")));
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableEmpty(t.db, 0, "contacts"));
    EXPECT_EQ(10024, t.engine->TableEmpty(t.db, 0, "missing"));
    EXPECT_EQ(10039, t.engine->TableEmpty(t.db, 0, "x.QB2"));
    const TqbHandle again = t.open("contacts");
    EXPECT_TRUE(t.names(again).empty());
    t.insertAll(again, {"dan"});
    EXPECT_EQ((std::vector<std::string>{"dan"}), t.names(again));
    EXPECT_EQ(dictionaryBytes(t.dict), t.dictionaryOf("contacts"));
}

TEST(EngineTables, EmptyWithoutACursorKeepsTheBlockSizeAndLosesNothingOnFailure) {
    Tables t;
    TqbServerDataDict big = uniqueContacts();
    ASSERT_TRUE(big.SetBlockSize(8192));
    ASSERT_EQ(0, t.engine->TableBuild(t.db, false, "big", false, big));
    t.insertAll(t.open("big"), {"ann", "bob"});
    t.reopenDatabase();
    {
        // The new files are swapped in by renames: the first one fails.
        plat::FaultyFiles faulty(plat::PosixFiles());
        plat::ScopedFiles files(faulty);
        faulty.failAt(1, plat::FileOp::Rename);
        EXPECT_NE(0, t.engine->TableEmpty(t.db, 0, "big"));
        EXPECT_TRUE(faulty.faultFired());
    }
    EXPECT_EQ(dictionaryBytes(big), t.dictionaryOf("big"));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(t.open("big")));
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableEmpty(t.db, 0, "big"));
    TqbServerDataDict back;
    back.ReadFromStream(t.dictionaryOf("big"));
    EXPECT_EQ(8192u, back.BlockSize());
    EXPECT_EQ(8192u, headerWord(t.dir.file("big.QB2"), 16));
    EXPECT_TRUE(t.names(t.open("big")).empty());
}

TEST(EngineTables, IndexesAddedAndDroppedKeepTheHeaderCountAndServeCursors) {
    Tables t;
    const TqbHandle cursor = t.contacts();
    ASSERT_EQ(0, t.insert(cursor, "ann", "3"));
    ASSERT_EQ(0, t.insert(cursor, "bob", "1"));
    ASSERT_EQ(0, t.insert(cursor, "cid", "1"));
    t.reopenDatabase();
    const std::string file = t.dir.file("contacts.QB2");
    const uint32_t built = headerWord(file, kHdrIndexCount);
    EXPECT_EQ(uint32_t(t.dict.IndexCount()), built);
    // A unique index over duplicate ids fails and changes nothing.
    EXPECT_EQ(9729, t.engine->TableAddIndex(t.db, 0, "contacts", idIndex(false)));
    EXPECT_EQ(built, headerWord(file, kHdrIndexCount));
    EXPECT_EQ(dictionaryBytes(t.dict), t.dictionaryOf("contacts"));
    ASSERT_EQ(0, t.engine->TableAddIndex(t.db, 0, "contacts", idIndex(true)));
    EXPECT_EQ(built + 1, headerWord(file, kHdrIndexCount));
    EXPECT_EQ((std::vector<std::string>{"bob", "cid", "ann"}), t.names(t.open("contacts", "idIndex")));
    EXPECT_EQ(10031, t.engine->TableDropIndex(t.db, 0, "contacts", "idIndex", 0));
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableDropIndex(t.db, 0, "contacts", "idIndex", 0));
    EXPECT_EQ(built, headerWord(file, kHdrIndexCount));
    TqbHandle c = 0;
    EXPECT_EQ(9997, t.openCode(t.db, "contacts", "idIndex", qbsmShared, c));
    // Through a cursor opened exclusive: add, then drop by number.
    const TqbHandle own = t.open("contacts", "nameIndex", qbsmExclusive);
    ASSERT_EQ(0, t.engine->TableAddIndex(t.db, own, "", idIndex(true)));
    EXPECT_EQ(built + 1, headerWord(file, kHdrIndexCount));
    EXPECT_EQ(9997, t.engine->TableDropIndex(t.db, own, "", "", 0));
    ASSERT_EQ(0, t.engine->TableDropIndex(t.db, own, "", "", int32_t(built)));
    EXPECT_EQ(built, headerWord(file, kHdrIndexCount));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob", "cid"}), t.names(own));
}

// Without a cursor the engine's own cursor would make the change part of the client's transaction
// and leave with the table before that transaction ends: inside one it is refused and changes
// nothing; the transaction goes on, and after it the same changes are made.
TEST(EngineTables, ChangesByTableNameWaitForTheClientsTransactionToEnd) {
    Tables t;
    t.insertAll(t.contacts(), {"ann", "bob"});
    t.reopenDatabase();
    const std::string file = t.dir.file("contacts.QB2");
    const uint32_t built = headerWord(file, kHdrIndexCount);
    const std::string dict = t.dictionaryOf("contacts");
    ASSERT_EQ(0, t.engine->TransactionStart(t.db, false));
    EXPECT_EQ(10756, t.engine->TableAddIndex(t.db, 0, "contacts", idIndex(true)));
    EXPECT_EQ(10756, t.engine->TableDropIndex(t.db, 0, "contacts", "nameIndex", 0));
    EXPECT_EQ(10756, t.engine->TableEmpty(t.db, 0, "contacts"));
    EXPECT_EQ(dict, t.dictionaryOf("contacts"));
    EXPECT_EQ(built, headerWord(file, kHdrIndexCount));
    EXPECT_EQ(0, t.engine->TransactionCommit(t.db)) << "the refusals did not fail the transaction";
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(t.open("contacts")));
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->TableAddIndex(t.db, 0, "contacts", idIndex(true)));
    EXPECT_EQ(built + 1, headerWord(file, kHdrIndexCount));
    ASSERT_EQ(0, t.engine->TableEmpty(t.db, 0, "contacts"));
    EXPECT_TRUE(t.names(t.open("contacts")).empty());
}

TEST(EngineTables, AutoIncrementAndRecordCountsWithAndWithoutARange) {
    Tables t;
    const TqbHandle cursor = t.contacts();
    uint32_t value = 99;
    ASSERT_EQ(0, t.engine->TableGetAutoInc(cursor, value));
    EXPECT_EQ(0u, value);
    ASSERT_EQ(0, t.engine->TableSetAutoInc(cursor, 41));
    ASSERT_EQ(0, t.engine->TableGetAutoInc(cursor, value));
    EXPECT_EQ(41u, value);
    t.insertAll(cursor, {"ann", "bob", "cid", "dan", "eve"});
    int32_t count = -1;
    ASSERT_EQ(0, t.engine->TableGetRecordCount(cursor, count));
    EXPECT_EQ(5, count);
    Contact bob, dan;
    bob.name = "bob";
    dan.name = "dan";
    const std::vector<uint8_t> from = contactRecord(t.dict, bob), to = contactRecord(t.dict, dan);
    ASSERT_EQ(0, t.engine->CursorFrame(cursor, [&](TqbSrBaseCursor& c) {
        return c.SetRange(false, 1, 0, from.data(), true, 1, 0, to.data(), false);
    }));
    ASSERT_EQ(0, t.engine->TableGetRecordCount(cursor, count));
    EXPECT_EQ(2, count);
    // The count kept to the cursor's view; the value survives the table's closing.
    t.reopenDatabase();
    const TqbHandle again = t.open("contacts");
    ASSERT_EQ(0, t.engine->TableGetAutoInc(again, value));
    EXPECT_EQ(41u, value);
    ASSERT_EQ(0, t.engine->TableGetRecordCount(again, count));
    EXPECT_EQ(5, count);
    EXPECT_EQ(15511, t.engine->TableGetRecordCount(cursor, count));
    EXPECT_EQ(15511, t.engine->TableSetAutoInc(0x12345678, 1));
}

TEST(EngineTables, EveryWriterIsRefusedOnAReadOnlyEngineAndDatabase) {
    Tables t;
    t.insertAll(t.contacts(), {"ann", "bob"});
    t.reopenDatabase();
    TqbHandle ro = 0;
    ASSERT_EQ(0, t.engine->DatabaseOpenPath(t.client, t.dir.str(), qbomReadOnly, qbsmShared, 10000, ro));
    TqbHandle rebuild = 0;
    auto writers = [&](TqbHandle database) {
        std::vector<TqbResultCode> r;
        r.push_back(t.engine->TableDelete(database, "contacts"));
        r.push_back(t.engine->TableRename(database, "contacts", "people"));
        r.push_back(t.engine->TableEmpty(database, 0, "contacts"));
        r.push_back(t.engine->TableAddIndex(database, 0, "contacts", idIndex(true)));
        r.push_back(t.engine->TableDropIndex(database, 0, "contacts", "nameIndex", 0));
        r.push_back(t.engine->TablePack(database, "contacts", rebuild));
        r.push_back(t.engine->TableReindex(database, "contacts", "nameIndex", 0, rebuild));
        TqbServerDataDict d = uniqueContacts();
        r.push_back(t.engine->TableRestructure(database, "contacts", d, nullptr, rebuild));
        return r;
    };
    EXPECT_EQ(std::vector<TqbResultCode>(8, 10501), writers(ro));
    // A read/write open through the read-only database is refused; a read-only one reads.
    TqbHandle c = 0;
    EXPECT_EQ(10501, t.openCode(ro, "contacts", "nameIndex", qbsmShared, c));
    ASSERT_EQ(0, t.openCode(ro, "contacts", "nameIndex", qbsmExclusive, c, qbomReadOnly));
    EXPECT_EQ(10501, t.engine->TableEmpty(ro, c, ""));
    EXPECT_EQ(10763, t.engine->TableSetAutoInc(c, 5));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(c));
    ASSERT_EQ(0, t.engine->DatabaseClose(ro));

    t.engine->SetIsReadOnly(true);
    EXPECT_EQ(std::vector<TqbResultCode>(8, 10763), writers(t.db));
    EXPECT_EQ(10501, t.engine->TableBuild(t.db, false, "other", false, t.dict));
    // The read-only engine opens read-only even when read/write is asked.
    const TqbHandle cursor = t.open("contacts", "nameIndex", qbsmExclusive);
    ASSERT_NE(0u, cursor);
    EXPECT_EQ(10763, t.engine->TableAddIndex(t.db, cursor, "", idIndex(true)));
    EXPECT_EQ(10763, t.engine->TableDropIndex(t.db, cursor, "", "nameIndex", 0));
    EXPECT_EQ(10763, t.engine->TableEmpty(t.db, cursor, ""));
    EXPECT_EQ(10763, t.engine->TableSetAutoInc(cursor, 5));
    EXPECT_EQ(10763, t.insert(cursor, "cid"));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob"}), t.names(cursor));
    EXPECT_FALSE(t.fileThere("people.QB2"));
    EXPECT_FALSE(t.fileThere("other.QB2"));
    // The mode is made read-only before the database's mode is looked at: no refusal.
    t.reopenDatabase();
    ASSERT_EQ(0, t.engine->DatabaseOpenPath(t.client, t.dir.str(), qbomReadOnly, qbsmShared, 10000, ro));
    EXPECT_EQ(0, t.openCode(ro, "contacts", "nameIndex", qbsmShared, c));
    t.engine->SetIsReadOnly(false);
}

TEST(EngineTables, BackgroundJobsCheckBeforeTheyStart) {
    Tables t;
    const TqbHandle cursor = t.contacts();
    TqbHandle rebuild = 7;
    EXPECT_EQ(15511, t.engine->TableGetRecordCountAsync(0x7777, rebuild));
    EXPECT_EQ(TqbHandle(-1), rebuild);
    rebuild = 7;
    EXPECT_EQ(10039, t.engine->TablePack(t.db, "a/b", rebuild));
    EXPECT_EQ(TqbHandle(-1), rebuild);
    EXPECT_EQ(10039, t.engine->TableReindex(t.db, "x.QB2", "nameIndex", 0, rebuild));
    EXPECT_EQ(15508, t.engine->TablePack(0x7777, "contacts", rebuild));
    // Past the checks the job starts and gives its rebuild id.
    EXPECT_EQ(0, t.engine->TableGetRecordCountAsync(cursor, rebuild));
    EXPECT_NE(TqbHandle(-1), rebuild);
    EXPECT_TRUE(t.engine->RebuildWaitIdle(60000));
}

TEST(EngineTables, LockTypesOutsideReadAndWriteAreRefused) {
    Tables t;
    const TqbHandle cursor = t.contacts();
    EXPECT_FALSE(t.locked(cursor, qbltNone));
    EXPECT_EQ(0, t.engine->TableLockAcquire(cursor, qbltNone));
    bool locked = true;
    EXPECT_EQ(kResultInvalidParameter, t.engine->TableIsLocked(cursor, TqbLockType(3), locked));
    EXPECT_FALSE(locked);
    EXPECT_EQ(kResultInvalidParameter, t.engine->TableLockAcquire(cursor, TqbLockType(7)));
    for (TqbLockType type : {qbltRead, qbltWrite}) {
        EXPECT_FALSE(t.locked(cursor, type));
    }
    // Nothing was taken: writes go on.
    EXPECT_EQ(0, t.insert(cursor, "ann"));
}

TEST(EngineTables, ClientTableLocksKeepOtherClientsOutUntilReleased) {
    Tables t;
    const TqbHandle mine = t.contacts();
    t.insertAll(mine, {"ann"});
    OtherClient other(t);
    TqbHandle theirs = 0;
    ASSERT_EQ(0, t.openCode(other.db, "contacts", "nameIndex", qbsmShared, theirs, qbomReadWrite, 200));
    ASSERT_EQ(0, t.engine->TableLockAcquire(mine, qbltWrite));
    EXPECT_TRUE(t.locked(mine, qbltWrite));
    EXPECT_FALSE(t.locked(mine, qbltRead));
    // The other client waits its 200 ms for the lock, then gives up; its writes are refused.
    EXPECT_EQ(10245, t.engine->TableLockAcquire(theirs, qbltRead));
    EXPECT_FALSE(t.locked(theirs, qbltRead));
    EXPECT_EQ(10245, t.insert(theirs, "zed"));
    EXPECT_EQ(0, t.insert(mine, "bob"));
    ASSERT_EQ(0, t.engine->TableLockRelease(mine, qbltWrite, false));
    EXPECT_FALSE(t.locked(mine, qbltWrite));
    // Now the other client reads-locks the table: nobody writes, itself included.
    ASSERT_EQ(0, t.engine->TableLockAcquire(theirs, qbltRead));
    EXPECT_TRUE(t.locked(theirs, qbltRead));
    EXPECT_EQ(10245, t.insert(mine, "cid"));
    EXPECT_EQ(10245, t.insert(theirs, "cid"));
    // Its lock goes with its cursor.
    ASSERT_EQ(0, t.engine->DatabaseClose(other.db));
    EXPECT_EQ(0, t.insert(mine, "cid"));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob", "cid"}), t.names(mine));
}

TEST(EngineTables, ReleasingAllTableLocksKeepsTheExclusiveOpen) {
    Tables t;
    t.contacts();
    t.reopenDatabase();
    const TqbHandle own = t.open("contacts", "nameIndex", qbsmExclusive);
    ASSERT_EQ(0, t.engine->TableLockAcquire(own, qbltWrite));
    ASSERT_EQ(0, t.engine->TableLockAcquire(own, qbltWrite));
    ASSERT_EQ(0, t.engine->TableLockRelease(own, qbltWrite, true));
    EXPECT_FALSE(t.locked(own, qbltWrite));
    // Its open waits the 100 ms of its database and gives up.
    OtherClient other(t, 100);
    TqbHandle theirs = 0;
    EXPECT_NE(0, t.openCode(other.db, "contacts", "", qbsmShared, theirs, qbomReadWrite, 100));
    EXPECT_EQ(0u, theirs);
    EXPECT_EQ(0, t.insert(own, "ann"));
}

TEST(EngineTables, AWaitingLockerGetsTheLockWhenTheHolderReleasesIt) {
    Tables t;
    const TqbHandle mine = t.contacts();
    OtherClient other(t);
    TqbHandle theirs = 0;
    ASSERT_EQ(0, t.openCode(other.db, "contacts", "nameIndex", qbsmShared, theirs, qbomReadWrite, 20000));
    ASSERT_EQ(0, t.engine->TableLockAcquire(mine, qbltWrite));
    auto waiter =
        std::async(std::launch::async, [&] { return t.engine->TableLockAcquire(theirs, qbltWrite); });
    TqbSrTablePtr table = t.engine->TableList().FindByName("contacts");
    ASSERT_TRUE(table);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (table->CursorContentLockContainer().WaitingCount() == 0 &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    ASSERT_EQ(1u, table->CursorContentLockContainer().WaitingCount());
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::milliseconds(0)));
    ASSERT_EQ(0, t.engine->TableLockRelease(mine, qbltWrite, true));
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(0, waiter.get());
    EXPECT_TRUE(t.locked(theirs, qbltWrite));
    EXPECT_EQ(10245, t.insert(mine, "ann"));
    EXPECT_EQ(0, t.insert(theirs, "ann"));
}

namespace {

// Hears the table actions of every cursor opened after it was added; refuses one of them.
struct TableActions final : TqbSrMonitor {
    std::mutex m;
    std::vector<int32_t> heard;
    int32_t refuse = -1;
    std::string ClassName() const override { return "TableActions"; }
    std::unique_ptr<TqbSrExtender> MakeExtender(TqbSrBaseCursor&) override {
        struct E final : TqbSrExtender {
            TableActions& owner;
            explicit E(TableActions& o) : owner(o) {
                for (int a = 11; a <= 28; ++a)
                    Interest.set(size_t(a));
            }
            int32_t Notify(TqbSrBaseCursor&, int32_t Action) override {
                std::lock_guard lk(owner.m);
                owner.heard.push_back(Action);
                return Action == owner.refuse ? 9999 : 0;
            }
        };
        return std::make_unique<E>(*this);
    }
    std::vector<int32_t> take() {
        std::lock_guard lk(m);
        return std::exchange(heard, {});
    }
};

} // namespace

TEST(EngineTables, ExtendersHearTheActionsAndMayRefuseTheChange) {
    TableActions actions; // outlives the engine's cursors
    Tables t;
    t.engine->Host().Monitors.push_back(&actions);
    t.insertAll(t.contacts(), {"ann", "bob"});
    t.reopenDatabase();
    const TqbHandle own = t.open("contacts", "nameIndex", qbsmExclusive);
    actions.take();
    uint32_t value = 0;
    ASSERT_EQ(0, t.engine->TableGetAutoInc(own, value));
    ASSERT_EQ(0, t.engine->TableLockAcquire(own, qbltWrite));
    ASSERT_EQ(0, t.engine->TableLockRelease(own, qbltWrite, true));
    EXPECT_EQ((std::vector<int32_t>{11, 26, 27}), actions.take());
    // A change that fails is followed by its undo action.
    ASSERT_EQ(0, t.insert(own, "cid", "ann"));
    EXPECT_EQ(9729, t.engine->TableAddIndex(t.db, own, "", idIndex(false)));
    EXPECT_EQ((std::vector<int32_t>{22, 23}), actions.take());
    // A refused empty changes nothing, through the client's cursor or the engine's own.
    actions.refuse = 14;
    EXPECT_EQ(9999, t.engine->TableEmpty(t.db, own, ""));
    EXPECT_EQ((std::vector<std::string>{"ann", "bob", "cid"}), t.names(own));
    t.reopenDatabase();
    EXPECT_EQ(9999, t.engine->TableEmpty(t.db, 0, "contacts"));
    actions.refuse = -1;
    EXPECT_EQ((std::vector<std::string>{"ann", "bob", "cid"}), t.names(t.open("contacts")));
}
