// Server tables, further: the text of every error the table paths raise, the removal of unused tables
// when closing fails, the flag byte of built files and tables kept in memory, the BLOB free-space
// listing, required fields before default values, and a user key routine's order kept through changes.
#include "tests/db/engine/EngineTestSupport.h"

#include "db/base/qbsrmgr.h"
#include "db/storage/qbsrblob.h"
#include "platform/testing/FaultyFiles.h"

#include <filesystem>

namespace {

using namespace enginetest;

std::string serverText(int32_t code, const QbFormatArgs& args = {}) {
    return qbFormat(ServerStrings().GetText(code), args);
}
dbtest::Raised server(int32_t code, const QbFormatArgs& args = {}) {
    return {serverText(code, args), code};
}
dbtest::Raised compat(int32_t code) {
    return {CompatErrorStrings().GetText(code), code};
}
template <class F> dbtest::Raised raised(F&& f) {
    return dbtest::raised<EqbException>(std::forward<F>(f));
}

struct KeyHost : TqbSrTableHost {
    std::string config;
    std::map<std::string, TqbKeyProcEntry> procs;
    std::vector<std::string> log;
    std::string ConfigFolder() override { return config; }
    bool FindKeyProc(const std::string& key, TqbKeyProcEntry& entry) override {
        auto it = procs.find(key);
        if (it == procs.end()) return false;
        entry = it->second;
        return true;
    }
    void LogError(const std::string& s) override { log.push_back(s); }
};

TEST(TableErrors, EachErrorOfTheTablePathsIsRaisedWithItsOwnText) {
    Engine e;
    auto t = e.build("people", peopleDictionary());
    const TqbDataDictionary& d = t->GetDictionary();
    const std::string folder = e.folder->GetPath();
    const TqbLockOwnerID c = NewLockOwnerID();
    uint64_t ref = 0, a = 0, b = 0;

    EXPECT_EQ(raised([&] { TqbSrTable(e.host, e.bm, e.folder, "people").BuildFiles(d, 0); }),
              server(175, {"people"}));

    TqbSrTransaction* tr = e.begin();
    EXPECT_EQ(raised([&] {
                  t->InsertRecord(*tr, c, lmExclusive, ref, record(d, {"", "x", 1, 1}).data(), true);
              }),
              compat(9732));
    t->InsertRecord(*tr, c, lmExclusive, a, record(d, {"a", "x", 1, 1}).data(), true);
    t->InsertRecord(*tr, c, lmExclusive, b, record(d, {"b", "y", 2, 2}).data(), true);
    EXPECT_EQ(raised([&] {
                  t->InsertRecord(*tr, c, lmExclusive, ref, record(d, {"c", "z", 1, 3}).data(), true);
              }),
              compat(9729));
    EXPECT_EQ(raised([&] {
                  t->ModifyRecord(*tr, c, b, false, record(d, {"b", "y", 1, 2}).data(), true);
              }),
              compat(9729));
    EXPECT_EQ(raised([&] { t->EmptyFiles(tr, true); }), server(176, {folder}));
    std::vector<uint8_t> key(size_t(d.IndexKeyLength(3)));
    EXPECT_EQ(raised([&] {
                  t->BuildCompositeKey(3, record(d, {"a", "x", 1, 1}).data(), 2, 0, key.data());
              }),
              compat(10000));
    EXPECT_EQ(raised([&] { t->IndexData(99); }), server(81, {99}));
    EXPECT_EQ(raised([&] { t->DropIndex(*tr, 99); }), compat(9997));
    TqbKeyPath path;
    KeyPathClear(path);
    KeyPathToEnd(path);
    EXPECT_EQ(raised([&] { t->NextKey(tr, 1, path, key.data(), ref); }), compat(8706));
    KeyPathClear(path);
    KeyPathToBegin(path);
    EXPECT_EQ(raised([&] { t->PriorKey(tr, 1, path, key.data(), ref); }), compat(8705));
    t->DeleteRecord(*tr, c, a, false);
    std::vector<uint8_t> rec(size_t(d.RecordLength()));
    EXPECT_EQ(raised([&] { t->GetRecord(tr, c, a, true, false, lmNone, rec.data()); }),
              server(35, {t->GetFile(0)->FileName, a}));
    e.commit();

    // Another table's user-defined index without its routines.
    TqbServerDataDict ud = peopleDictionary(1);
    ud.AddUserIndex("custom", "", 0, 4, true, true, false);
    auto u = e.build("custom", ud);
    EXPECT_EQ(raised([&] { u->ResolveUserKeyRoutines(); }), server(171));

    // Closing a file fails.
    plat::FaultyFiles faulty(plat::PosixFiles());
    {
        plat::ScopedFiles scoped(faulty);
        faulty.failAt(1, plat::FileOp::Close, EIO);
        const std::string last = t->GetFile(t->GetFileCount() - 1)->FileName;
        EXPECT_EQ(raised([&] { t->CloseFiles(false, nullptr); }),
                  server(3, {last, EIO, plat::FileErrorText(EIO)}));
    }
    EXPECT_EQ(t->GetFileCount(), 0) << "every file is closed all the same";
    EXPECT_EQ(raised([&] { t->ReadRecordUnlocked(nullptr, b, rec.data()); }), server(0));

    // Emptying when the files cannot be renamed (the two marker writes go through): the general
    // error of a failed rename.
    t->OpenFiles(false);
    {
        plat::ScopedFiles scoped(faulty);
        faulty.failAt(3, plat::FileOp::Rename, EXDEV, true);
        EXPECT_EQ(raised([&] { t->EmptyFiles(nullptr, false); }),
                  (dbtest::Raised{
                      qbFormat(GeneralStrings().GetText(274), {EXDEV, plat::FileErrorText(EXDEV)}), 274}));
        faulty.clearFault();
    }
    // Neither finished nor taken back (the marker could not be set back either): the next open
    // finishes it.
    EXPECT_EQ(t->GetFileCount(), 0);
    t->OpenFiles(false);
    EXPECT_EQ(records(*t, nullptr).size(), 0u);
    EXPECT_EQ(checkConsistent(*t, nullptr), "");
}

TEST(TableList, AFailureWhileFreeingATableIsLoggedAndThePassGoesOn) {
    Engine e;
    e.build("people", peopleDictionary());
    e.build("things", peopleDictionary(1));
    KeyHost host;
    TqbSrTableList list(host);
    std::weak_ptr<TqbSrBaseTable> gone[2];
    for (int i = 0; i < 2; ++i) {
        auto t = std::make_shared<TqbSrTable>(host, e.bm, e.folder, i == 0 ? "people" : "things");
        t->OpenFiles(false);
        list.Add(t);
        gone[i] = t;
    }
    const std::string file = list.Items(1)->GetFile(0)->FileName; // freed first: last to first
    plat::FaultyFiles faulty(plat::PosixFiles());
    {
        plat::ScopedFiles scoped(faulty);
        faulty.failAt(1, plat::FileOp::Close, EIO);
        list.RemoveUnused();
    }
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(gone[0].expired() && gone[1].expired()) << "the pass went on after the failure";
    EXPECT_TRUE(faulty.openHandles().empty());
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_EQ(host.log[0],
              "Exception removing unused table: " + serverText(3, {file, EIO, plat::FileErrorText(EIO)}));
}

TEST(ServerTable, BuiltFilesCarryTheirFlagByteAndATableInMemoryLeavesNoFile) {
    Engine e;
    const TqbServerDataDict d = peopleDictionary(4, true);
    TqbSrTable disk(e.host, e.bm, e.folder, "flagged");
    disk.BuildFiles(d, kFileNoContentLocking);
    ASSERT_EQ(disk.GetFileCount(), 2) << "the files stay open";
    for (int32_t f = 0; f < 2; ++f)
        EXPECT_EQ(disk.GetFile(f)->Flags, kFileNoContentLocking);
    EXPECT_EQ(disk.DataFileFlags(), kFileNoContentLocking);
    EXPECT_EQ(checkConsistent(disk, nullptr), "");

    TqbSrTable mem(e.host, e.bm, e.folder, "inmemory");
    mem.BuildFiles(d, kFileNoDiskFile);
    ASSERT_EQ(mem.GetFileCount(), 2);
    EXPECT_FALSE(plat::FileExists(plat::JoinPath(e.folder->GetPath(), "inmemory.QB2")));
    EXPECT_FALSE(plat::FileExists(plat::JoinPath(e.folder->GetPath(), "inmemory.QBX")));
    TqbSrTransaction* tr = e.begin();
    for (int i = 0; i < 300; ++i) {
        uint64_t ref;
        mem.InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref,
                         record(mem.GetDictionary(), {"n" + std::to_string(i), "c", i, i}).data(), false);
    }
    e.commit();
    EXPECT_EQ(records(mem, nullptr).size(), 300u);
    EXPECT_EQ(checkConsistent(mem, nullptr), "");
    mem.EmptyFiles(nullptr, false);
    EXPECT_EQ(records(mem, nullptr).size(), 0u);
    EXPECT_EQ(mem.GetFile(0)->Flags, kFileNoDiskFile);
    EXPECT_EQ(checkConsistent(mem, nullptr), "");
    std::vector<plat::DirEntry> entries;
    plat::DirList(e.folder->GetPath(), entries);
    for (auto& en : entries)
        EXPECT_EQ(en.name.find("inmemory"), std::string::npos) << en.name;
}

TEST(ServerTable, BLOBFreeSpaceIsListedForEachFileWithBLOBs) {
    Engine e;
    TqbServerDataDict d(4096);
    d.AddField("name", "", qbtShortString, 20, 0, true);
    d.AddField("memo", "", qbtBLOB, 0, 0, false);
    auto t = e.build("memos", d);
    std::string none;
    e.build("people", peopleDictionary())->BLOBListFreeSpace(true, none);
    EXPECT_EQ(none, "") << "a table without BLOBs lists nothing";

    TbtdFileInfo& f = *t->GetFile(t->GetDictionary().BLOBFileNumber());
    TqbSrTransaction* tr = e.begin();
    uint64_t one = 0, two = 0;
    const std::string text(3000, 'b');
    for (uint64_t* nr : {&one, &two}) {
        TableBLOBCreate(f, tr, *nr);
        TableBLOBWrite(f, tr, *nr, 0, uint32_t(text.size()), text.data());
    }
    e.commit();
    tr = e.begin();
    TableBLOBDelete(f, tr, one);
    const std::string head = f.FileName + "\r\n" + std::string(f.FileName.size(), '-') + "\r\n";
    std::string pending;
    t->BLOBListFreeSpace(false, pending);
    EXPECT_EQ(pending.rfind(head + "Transaction list\r\nSegment ", 0), 0u) << pending;
    EXPECT_NE(pending.find(", Action 1\r\n"), std::string::npos) << pending;
    e.commit();
    BLOBResourceManager(f).Commit(); // as the engine's commit does for the tables it wrote
    std::string freed;
    t->BLOBListFreeSpace(true, freed);
    EXPECT_EQ(freed.rfind(head + "In-memory deleted chain\r\nSegment ", 0), 0u) << freed;
    std::string after;
    t->BLOBListFreeSpace(false, after);
    EXPECT_EQ(after, head + "Transaction list\r\n") << "nothing pending after the commit";
}

TEST(ServerTable, RequiredFieldsAreCheckedBeforeDefaultValuesFillNullFields) {
    Engine e;
    TqbServerDataDict d(4096);
    TqbValidityCheck v;
    v.HasDefault = true;
    v.Default = std::string("\x04none", 5) + std::string(16, '\0');
    d.AddField("name", "", qbtShortString, 20, 0, true, &v);
    d.AddField("city", "", qbtShortString, 20, 0, false, &v);
    auto t = e.build("defaults", d);
    const TqbDataDictionary& dd = t->GetDictionary();
    ASSERT_EQ(dd.DefaultFieldCount(), 2);
    std::vector<uint8_t> r(size_t(dd.RecordLength()));
    dd.InitRecord(r.data());
    TqbSrTransaction* tr = e.begin();
    uint64_t ref = 0;
    // A required field left null is refused although it has a default; an optional one gets it.
    EXPECT_EQ(raised([&] { t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, r.data(), true); }),
              compat(9732));
    uint8_t name[21] = {1, 'x'};
    dd.SetRecordField(0, r.data(), name);
    t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, r.data(), true);
    e.commit();
    std::vector<uint8_t> back(r.size());
    t->ReadRecordUnlocked(nullptr, ref, back.data());
    EXPECT_FALSE(dd.IsRecordFieldNull(1, back.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back.data() + dd.FieldOffset(1)), 5), "\x04none");
}

TEST(ServerTable, AUserKeyRoutineKeepsItsOrderThroughInsertModifyAndDelete) {
    Engine e;
    TqbServerDataDict d = peopleDictionary(1);
    ASSERT_EQ(d.FieldOffset(2), 42) << "where the test routines read the code";
    const int32_t custom = d.AddUserIndex("custom", "", 0, 4, true, true, false);
    KeyHost host;
    pwtest::TempDir config;
    std::filesystem::copy_file(PW_TEST_USERKEYS, config.file("userkeys.so"));
    host.config = config.str();
    auto t = std::make_shared<TqbSrTable>(host, e.bm, e.folder, "custom");
    t->BuildFiles(d, 0);
    t->OpenFiles(false);
    host.procs[e.folder->GetPath() + "\\custom.QB2|" + std::to_string(custom)] = {
        "userkeys.so", "BuildReversedCode", "CompareReversedCode"};
    t->ResolveUserKeyRoutines();
    const TqbDataDictionary& dd = t->GetDictionary();
    // The codes in the index's order: the routine sorts them high to low and leaves out negative ones.
    auto codes = [&] {
        std::vector<int32_t> out;
        auto recs = records(*t, nullptr);
        for (auto& [key, ref] : indexEntries(*t, custom, nullptr))
            out.push_back(recs.at(ref).code);
        EXPECT_EQ(checkConsistent(*t, nullptr), "");
        return out;
    };
    std::map<int32_t, uint64_t> refs;
    TqbSrTransaction* tr = e.begin();
    for (int32_t code : {5, -1, 9, 2, 7}) {
        uint64_t ref;
        t->InsertRecord(*tr, NewLockOwnerID(), lmExclusive, ref, record(dd, {"p", "c", code, 0}).data(),
                        false);
        refs[code] = ref;
    }
    e.commit();
    EXPECT_EQ(codes(), (std::vector<int32_t>{9, 7, 5, 2}));
    tr = e.begin();
    t->ModifyRecord(*tr, NewLockOwnerID(), refs[2], true, record(dd, {"p", "c", 11, 0}).data(), false);
    t->ModifyRecord(*tr, NewLockOwnerID(), refs[9], true, record(dd, {"p", "c", -3, 0}).data(), false);
    t->ModifyRecord(*tr, NewLockOwnerID(), refs[-1], true, record(dd, {"p", "c", 6, 0}).data(), false);
    e.commit();
    EXPECT_EQ(codes(), (std::vector<int32_t>{11, 7, 6, 5}));
    tr = e.begin();
    t->DeleteRecord(*tr, NewLockOwnerID(), refs[7], false);
    t->DeleteRecord(*tr, NewLockOwnerID(), refs[9], false);
    e.commit();
    EXPECT_EQ(codes(), (std::vector<int32_t>{11, 6, 5}));
    // A key found through the routine's order.
    uint8_t key[4];
    plat::StoreLE32(key, 6);
    uint64_t found = 0;
    TqbKeyPath path;
    KeyPathClear(path);
    EXPECT_TRUE(t->FindKey(nullptr, custom, key, found, 0, path));
    EXPECT_EQ(found, refs[-1]);
}

} // namespace

namespace {

// Files flagged for no content locking are written without asking for the content lock; the others
// ask for it, and with too little time left are refused before the lock manager is asked.
TEST(ServerTable, WritesTakeNoContentLockOnFilesFlaggedForNone) {
    Engine e;
    for (uint8_t flags : {uint8_t(0), kFileNoContentLocking}) {
        TqbSrTable t(e.host, e.bm, e.folder, flags ? "unlocked" : "locked");
        t.BuildFiles(peopleDictionary(), flags);
        TqbSrTransaction* tr = e.begin();
        const TqbLockOwnerID c = NewLockOwnerID();
        uint64_t ref = 0;
        SetThreadDeadline(3);
        auto r = raised([&] {
            t.InsertRecord(*tr, c, lmNone, ref, record(t.GetDictionary(), {"a", "b", 1, 1}).data(), true);
        });
        SetThreadDeadline(0);
        EXPECT_EQ(r.code, flags ? 0 : 190) << r;
        EXPECT_EQ(t.HasContentLock(*tr), !flags && r.code == 0);
        e.commit();
        EXPECT_EQ(records(t, nullptr).size(), flags ? 1u : 0u);
    }
    // Set on an open table, the flag holds for its later writes too.
    TqbSrTable t(e.host, e.bm, e.folder, "later");
    t.BuildFiles(peopleDictionary(), 0);
    t.SetFileFlagBit(2);
    EXPECT_EQ(t.DataFileFlags(), kFileNoContentLocking);
    TqbSrTransaction* tr = e.begin();
    uint64_t ref = 0;
    SetThreadDeadline(3);
    auto r = raised([&] {
        t.InsertRecord(*tr, NewLockOwnerID(), lmNone, ref, record(t.GetDictionary(), {"a", "b", 1, 1}).data(),
                       true);
    });
    SetThreadDeadline(0);
    EXPECT_EQ(r.code, 0) << r;
    e.commit();
    EXPECT_EQ(checkConsistent(t, nullptr), "");
}

} // namespace
