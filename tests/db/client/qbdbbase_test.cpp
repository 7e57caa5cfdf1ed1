// Tests of the table dataset on real table files in a temporary folder: opening, walking, key
// search, posting, filters on both sides, Locate, ranges, master/detail and read-only opens.
#include "db/client/qbdbbase.h"

#include "db/client/qbdb.h"

#include "db/base/qblllog.h"
#include "tests/db/client/ClientTestSupport.h"
#include "tests/db/engine/ContactRecords.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using clienttest::codeOf;
using clienttest::Env;
using cls::Variant;

namespace {

struct Row {
    std::string name, id;
    int service;
    int groups; // bit n-1: memberGrn
};

const std::vector<Row> kRows = {
    {"dave", "d1", 40, 0b100},  {"alice", "a1", 10, 0b101}, {"erin", "e1", 50, 0b000},
    {"Carol", "c1", 30, 0b110}, {"bob", "b1", 20, 0b001},
};

struct TableEnv : Env {
    TqbOwned<TqbDatabase> db{new TqbDatabase()};
    TqbOwned<MemoryEventLog> log{new MemoryEventLog()};

    TableEnv() {
        engine->SetEventLog(log.get());
        engine->SetEventLogEnabled(true);
        session->Open();
        session->AddAlias("pageBASE", dir.str());
        db->SetSessionName(session->SessionName());
        db->SetDatabaseName(dir.str());
        db->Open();
    }
    ~TableEnv() { db.reset(); }

    void build(const std::string& name, TqbServerDataDict d) {
        ASSERT_EQ(0, engine->TableBuild(db->DatabaseID(), false, name, false, d));
    }
    void buildContacts(bool idIndex = false) {
        TqbServerDataDict d = engineapi::contactsDictionary();
        if (idIndex) {
            const int32_t id = 1;
            d.AddIndex("idIndex", "", 0, 1, &id, nullptr, true, true, false);
            d.BindIndexHelpers();
        }
        build("contacts", d);
    }
    std::unique_ptr<TqbTable> table(const std::string& tableName = "contacts",
                                    const std::string& index = "nameIndex") {
        auto t = std::make_unique<TqbTable>();
        t->SetSessionName(session->SessionName());
        t->SetDatabaseName("pageBASE");
        t->SetTableName(tableName);
        t->SetIndexName(index);
        return t;
    }
    std::unique_ptr<TqbTable> openContacts() {
        auto t = table();
        t->Open();
        return t;
    }
    void fill(TqbTable& t, const std::vector<Row>& rows = kRows) {
        for (const Row& r : rows) {
            t.Append();
            t.FieldByName("name")->SetAsString(r.name);
            t.FieldByName("id")->SetAsString(r.id);
            t.FieldByName("servicenumber")->SetAsInteger(r.service);
            for (int g = 1; g <= 10; ++g)
                t.FieldByName("memberGr" + std::to_string(g))->SetAsBoolean((r.groups >> (g - 1)) & 1);
            t.Post();
        }
    }
};

std::vector<std::string> walk(cls::TDataSet& t, const char* field = "name") {
    std::vector<std::string> names;
    t.First();
    while (!t.Eof()) {
        names.push_back(t.FieldByName(field)->AsString());
        t.Next();
    }
    return names;
}

using Names = std::vector<std::string>;

} // namespace

TEST(Table, OpensOnTheNameIndexWalksInOrderAndFindsKeys) {
    TableEnv env;
    env.buildContacts();
    auto t = env.openContacts();
    EXPECT_TRUE(t->Active());
    EXPECT_EQ(t->IndexName(), "nameIndex");
    env.fill(*t);
    // The index ignores case, and the walk in both directions follows it.
    EXPECT_EQ(walk(*t), (Names{"alice", "bob", "Carol", "dave", "erin"}));
    t->Last();
    Names back;
    while (!t->Bof()) {
        back.push_back(t->FieldByName("name")->AsString());
        t->Prior();
    }
    EXPECT_EQ(back, (Names{"erin", "dave", "Carol", "bob", "alice"}));
    EXPECT_EQ(t->RecordCount(), 5);
    EXPECT_EQ(t->RecNo(), -1);

    // A hit becomes the current row; a miss keeps it.
    ASSERT_TRUE(t->FindKey({Variant("carol")}));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "Carol");
    EXPECT_EQ(t->FieldByName("servicenumber")->AsInteger(), 30);
    EXPECT_TRUE(t->FieldByName("memberGr2")->AsBoolean());
    EXPECT_FALSE(t->FieldByName("memberGr1")->AsBoolean());
    EXPECT_FALSE(t->FindKey({Variant("zed")}));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "Carol");
    t->Next();
    EXPECT_EQ(t->FieldByName("name")->AsString(), "dave");
    // More values than the index has key fields.
    EXPECT_EQ(codeOf([&] { t->FindKey({Variant("a"), Variant("b")}); }), kDsKeyFieldRange);
    // Values are written only in an editing state.
    EXPECT_EQ(codeOf([&] { t->FieldByName("id")->SetAsString("x"); }), kDsNotEditing);

    // Bookmarks go back to their rows and compare in index order.
    ASSERT_TRUE(t->FindKey({Variant("bob")}));
    const cls::TBookmark bob = t->GetBookmark();
    t->Last();
    const cls::TBookmark erin = t->GetBookmark();
    EXPECT_LT(t->CompareBookmarks(bob, erin), 0);
    EXPECT_EQ(t->CompareBookmarks({}, erin), 1);
    EXPECT_TRUE(t->BookmarkValid(bob));
    t->GotoBookmark(bob);
    EXPECT_EQ(t->FieldByName("name")->AsString(), "bob");

    // Another index order, chosen by name while open.
    t->Close();
    TqbServerDataDict d = engineapi::contactsDictionary();
    auto plain = env.table("contacts", "");
    plain->Open();
    EXPECT_EQ(plain->RecordCount(), 5);
    EXPECT_EQ(codeOf([&] { plain->SetIndexName("nosuch"); }), kQbIndexDoesNotExist);
    plain->SetIndexName("nameIndex");
    EXPECT_EQ(walk(*plain), (Names{"alice", "bob", "Carol", "dave", "erin"}));
}

TEST(Table, AKeySearchFillsTheWindowAroundTheRowItFindsWithThatRowsBookmark) {
    TableEnv env;
    env.buildContacts();
    auto t = env.openContacts();
    std::vector<Row> rows;
    for (int k = 0; k < 12; ++k)
        rows.push_back({(k < 10 ? "r0" : "r") + std::to_string(k), "i" + std::to_string(k), k, 0});
    env.fill(*t, rows);
    // A window of five rows, as a grid keeps.
    cls::TDataSource src(nullptr);
    src.SetDataSet(t.get());
    cls::TDataLink link;
    link.SetBufferCount(5);
    link.SetDataSource(&src);
    ASSERT_TRUE(link.Active());
    auto window = [&] {
        Names names;
        const int active = link.ActiveRecord();
        for (int i = 0; i < link.RecordCount(); ++i) {
            link.SetActiveRecord(i);
            names.push_back(t->FieldByName("name")->AsString() + "/" + t->FieldByName("id")->AsString());
        }
        link.SetActiveRecord(active);
        names.push_back("active " + std::to_string(active));
        return names;
    };
    auto bookmarkOf = [&](int moves) {
        t->First();
        t->MoveBy(moves);
        return t->GetBookmark();
    };

    // In the middle, at the start and at the end of the table.
    ASSERT_TRUE(t->FindKey({Variant("R06")}));
    EXPECT_EQ(window(), (Names{"r04/i4", "r05/i5", "r06/i6", "r07/i7", "r08/i8", "active 2"}));
    EXPECT_FALSE(t->Bof());
    EXPECT_FALSE(t->Eof());
    const cls::TBookmark found = t->GetBookmark();
    EXPECT_EQ(t->CompareBookmarks(found, bookmarkOf(6)), 0);
    t->GotoBookmark(found);
    EXPECT_EQ(t->FieldByName("name")->AsString(), "r06");
    t->Next();
    EXPECT_EQ(t->FieldByName("name")->AsString(), "r07");
    ASSERT_TRUE(t->FindKey({Variant("r01")}));
    EXPECT_EQ(window(), (Names{"r00/i0", "r01/i1", "r02/i2", "r03/i3", "r04/i4", "active 1"}));
    t->Prior();
    EXPECT_EQ(t->FieldByName("name")->AsString(), "r00");
    ASSERT_TRUE(t->FindKey({Variant("r11")}));
    EXPECT_EQ(window(), (Names{"r07/i7", "r08/i8", "r09/i9", "r10/i10", "r11/i11", "active 4"}));
    EXPECT_EQ(t->CompareBookmarks(t->GetBookmark(), bookmarkOf(11)), 0);
    // A miss keeps the window; Locate through the index fills it as FindKey does.
    ASSERT_TRUE(t->FindKey({Variant("r03")}));
    EXPECT_FALSE(t->FindKey({Variant("r035")}));
    EXPECT_EQ(window(), (Names{"r01/i1", "r02/i2", "r03/i3", "r04/i4", "r05/i5", "active 2"}));
    ASSERT_TRUE(t->Locate("name", Variant("r09"), 0));
    EXPECT_EQ(window(), (Names{"r07/i7", "r08/i8", "r09/i9", "r10/i10", "r11/i11", "active 2"}));

    // The row read by the search stands for the current row only once: a later refresh reads
    // what another table object wrote since.
    ASSERT_TRUE(t->FindKey({Variant("r05")}));
    auto other = env.openContacts();
    ASSERT_TRUE(other->FindKey({Variant("r05")}));
    other->Edit();
    other->FieldByName("id")->SetAsString("changed");
    other->Post();
    EXPECT_EQ(t->FieldByName("id")->AsString(), "i5");
    t->Refresh();
    EXPECT_EQ(t->FieldByName("id")->AsString(), "changed");

    // Through a client filter the window holds only the rows it accepts.
    t->SetOnFilterRecord([](cls::TDataSet* ds, bool& accept) {
        accept = ds->FieldByName("servicenumber")->AsInteger() % 2 == 0;
    });
    t->SetFiltered(true);
    EXPECT_FALSE(t->FindKey({Variant("r05")}));
    ASSERT_TRUE(t->FindKey({Variant("r06")}));
    EXPECT_EQ(window(), (Names{"r02/i2", "r04/i4", "r06/i6", "r08/i8", "r10/i10", "active 2"}));
    EXPECT_EQ(t->CompareBookmarks(t->GetBookmark(), found), 0);
}

TEST(Table, OpeningNeedsATableNameAndADatabase) {
    TableEnv env;
    env.buildContacts();
    auto unnamed = env.table("");
    EXPECT_EQ(codeOf([&] { unnamed->Open(); }), kDsNoTableName);
    EXPECT_FALSE(unnamed->Active());
    auto nodb = env.table();
    nodb->SetDatabaseName("nosuchdatabase");
    EXPECT_EQ(codeOf([&] { nodb->Open(); }), kDsNoDatabase);
    auto missing = env.table("nosuchtable");
    EXPECT_NE(codeOf([&] { missing->Open(); }), 0);
    EXPECT_FALSE(missing->Active());
    EXPECT_EQ(missing->CursorID(), 0u);
}

TEST(Table, AppendsEditsCancelsAndDeletesRowsThatLastInTheFile) {
    TableEnv env;
    env.buildContacts();
    {
        auto t = env.openContacts();
        env.fill(*t);
        // Edit and Post.
        ASSERT_TRUE(t->FindKey({Variant("bob")}));
        t->Edit();
        EXPECT_EQ(t->State(), cls::dsEdit);
        t->FieldByName("servicenumber")->SetAsInteger(21);
        t->FieldByName("password")->SetAsString("secret");
        t->Post();
        EXPECT_EQ(t->State(), cls::dsBrowse);
        EXPECT_EQ(t->FieldByName("name")->AsString(), "bob");
        // Cancel of an edit keeps the stored row; Cancel of an append adds nothing.
        t->Edit();
        t->FieldByName("servicenumber")->SetAsInteger(99);
        t->Cancel();
        EXPECT_EQ(t->FieldByName("servicenumber")->AsInteger(), 21);
        t->Append();
        t->FieldByName("name")->SetAsString("frank");
        t->Cancel();
        EXPECT_EQ(t->RecordCount(), 5);
        // A second row with a name the unique index holds is refused and the insert stays open.
        t->Append();
        t->FieldByName("name")->SetAsString("ALICE");
        EXPECT_NE(codeOf([&] { t->Post(); }), 0);
        EXPECT_EQ(t->State(), cls::dsInsert);
        t->Cancel();
        // A null field reads as null and empty.
        ASSERT_TRUE(t->FindKey({Variant("dave")}));
        EXPECT_TRUE(t->FieldByName("password")->IsNull());
        // Delete.
        t->Delete();
        EXPECT_EQ(walk(*t), (Names{"alice", "bob", "Carol", "erin"}));
    }
    // Everything posted is in the table file for a new cursor.
    auto again = env.openContacts();
    EXPECT_EQ(walk(*again), (Names{"alice", "bob", "Carol", "erin"}));
    ASSERT_TRUE(again->FindKey({Variant("bob")}));
    EXPECT_EQ(again->FieldByName("servicenumber")->AsInteger(), 21);
    EXPECT_EQ(again->FieldByName("password")->AsString(), "secret");

    // A row that another table deleted meanwhile is simply gone.
    auto other = env.openContacts();
    ASSERT_TRUE(again->FindKey({Variant("Carol")}));
    ASSERT_TRUE(other->FindKey({Variant("Carol")}));
    other->Delete();
    again->Delete();
    EXPECT_EQ(walk(*again), (Names{"alice", "bob", "erin"}));
    // The row another table inserted can be edited here: the insert left no lock behind.
    other->Append();
    other->FieldByName("name")->SetAsString("gina");
    other->Post();
    ASSERT_TRUE(again->FindKey({Variant("gina")}));
    again->Edit();
    again->FieldByName("id")->SetAsString("g1");
    again->Post();
}

// A row in edit stays locked until its post: a table of another client is refused the row
// meanwhile (as its delete is), and takes it once the post is done, seeing the posted values.
TEST(Table, AnEditedRowStaysLockedUntilItsPost) {
    TableEnv env;
    env.buildContacts();
    auto mine = env.openContacts();
    env.fill(*mine);
    TqbOwned<TqbClient> client(new TqbClient());
    client->SetServerEngine(env.engine.get());
    client->SetClientName("second");
    TqbOwned<TqbSession> session(new TqbSession());
    session->SetSessionName("secondSession");
    session->SetClientName("second");
    session->Open();
    auto theirs = env.table();
    theirs->SetSessionName("secondSession");
    theirs->SetTimeout(150); // its refusals come soon
    theirs->Open();
    mine->SetTimeout(2000); // a post that waited for its own edit's lock fails within the test

    ASSERT_TRUE(mine->FindKey({Variant("bob")}));
    ASSERT_TRUE(theirs->FindKey({Variant("bob")}));
    mine->Edit();
    mine->FieldByName("servicenumber")->SetAsInteger(22);
    EXPECT_EQ(codeOf([&] { theirs->Edit(); }), 10241);
    // A post the unique name index refuses keeps the row locked for the next one.
    mine->FieldByName("name")->SetAsString("dave");
    EXPECT_NE(codeOf([&] { mine->Post(); }), 0);
    EXPECT_EQ(mine->State(), cls::dsEdit);
    EXPECT_EQ(codeOf([&] { theirs->Edit(); }), 10241);
    mine->FieldByName("name")->SetAsString("bob");
    EXPECT_EQ(theirs->State(), cls::dsBrowse);
    EXPECT_EQ(codeOf([&] { theirs->Delete(); }), 10241);
    EXPECT_EQ(codeOf([&] { mine->Post(); }), 0);
    EXPECT_EQ(mine->State(), cls::dsBrowse);

    theirs->Edit();
    EXPECT_EQ(theirs->FieldByName("servicenumber")->AsInteger(), 22);
    theirs->FieldByName("servicenumber")->SetAsInteger(23);
    EXPECT_EQ(codeOf([&] { mine->Edit(); }), 10241) << "the other table's edit holds the row now";
    theirs->Post();
    mine->Refresh();
    mine->Edit();
    EXPECT_EQ(mine->FieldByName("servicenumber")->AsInteger(), 23);
    mine->Cancel();
    theirs.reset();
}

TEST(Table, FiltersOnTheServerAndInTheClientAndSwitchesWhileFiltered) {
    TableEnv env;
    env.buildContacts();
    auto t = env.openContacts();
    env.fill(*t);
    t->SetFilter("memberGr3=true");
    t->SetFiltered(true);
    EXPECT_EQ(t->FilterEval(), qbfeServer);
    EXPECT_FALSE(t->HasClientFilters());
    EXPECT_EQ(walk(*t), (Names{"alice", "Carol", "dave"}));

    // The same text evaluated in the client: the engine's filter is cleared.
    t->SetFilterEval(qbfeClient);
    EXPECT_TRUE(t->HasClientFilters());
    EXPECT_EQ(walk(*t), (Names{"alice", "Carol", "dave"}));
    // Counted by a scan through the client filter, from where the dataset stands and back.
    ASSERT_TRUE(t->FindKey({Variant("carol")}));
    EXPECT_EQ(t->RecordCount(), 3);
    EXPECT_EQ(t->FieldByName("name")->AsString(), "Carol");
    t->Next();
    EXPECT_EQ(t->FieldByName("name")->AsString(), "dave");
    ASSERT_EQ(t->Filters().size(), 1u);
    t->DeactivateFilter(t->Filters()[0].get());
    EXPECT_EQ(walk(*t), (Names{"alice", "bob", "Carol", "dave", "erin"}));
    EXPECT_EQ(codeOf([&] { t->DeactivateFilter(t->Filters()[0].get()); }), kQbNotApplicable);
    t->ActivateFilter(t->Filters()[0].get());
    EXPECT_EQ(codeOf([&] { t->ActivateFilter(nullptr); }), kQbFilterHandleInvalid);

    // And back to the server; another group.
    t->SetFilterEval(qbfeServer);
    EXPECT_FALSE(t->HasClientFilters());
    EXPECT_TRUE(t->Filters().empty());
    t->SetFilter("memberGr1=true");
    EXPECT_EQ(walk(*t), (Names{"alice", "bob"}));
    // FindKey through the server filter.
    EXPECT_FALSE(t->FindKey({Variant("dave")}));
    EXPECT_TRUE(t->FindKey({Variant("bob")}));

    // Filtered off shows every row; on again the filter applies.
    t->SetFiltered(false);
    EXPECT_EQ(t->RecordCount(), 5);
    EXPECT_EQ(walk(*t).size(), 5u);
    t->SetFiltered(true);
    EXPECT_EQ(walk(*t), (Names{"alice", "bob"}));
    // An empty text switches Filtered off.
    t->SetFilter("");
    EXPECT_FALSE(t->Filtered());
    EXPECT_EQ(walk(*t).size(), 5u);

    // A filter set before opening, for the client.
    t->Close();
    t->SetFilterEval(qbfeClient);
    t->SetFilter("memberGr2=true");
    t->SetFiltered(true);
    t->Open();
    EXPECT_TRUE(t->HasClientFilters());
    EXPECT_EQ(walk(*t), (Names{"Carol"}));
    // FindFirst/FindNext use the filter while Filtered is off.
    t->SetFiltered(false);
    EXPECT_TRUE(t->FindFirst());
    EXPECT_EQ(t->FieldByName("name")->AsString(), "Carol");
    EXPECT_FALSE(t->FindNext());
    EXPECT_EQ(walk(*t).size(), 5u);
}

TEST(Table, OnFilterRecordAndFindKeyPutTheRangeBackOnEveryWayOut) {
    TableEnv env;
    env.buildContacts();
    auto t = env.openContacts();
    env.fill(*t, {{"ann", "x", 1, 0},
                  {"bea", "x", 2, 0},
                  {"bea2", "x", 3, 0},
                  {"cid", "x", 4, 0},
                  {"dan", "x", 5, 0},
                  {"eve", "x", 6, 0}});
    t->SetRange({Variant("b")}, {Variant("d")});
    EXPECT_EQ(walk(*t), (Names{"bea", "bea2", "cid"}));

    bool rejectBea = true;
    bool raise = false;
    t->SetOnFilterRecord([&](cls::TDataSet* ds, bool& accept) {
        if (raise) throw std::runtime_error("handler failed");
        accept = !(rejectBea && ds->FieldByName("name")->AsString() == "bea");
    });
    t->SetFiltered(true);
    EXPECT_TRUE(t->HasClientFilters());
    EXPECT_EQ(walk(*t), (Names{"bea2", "cid"}));
    // The handler rejects the only row of the key: not found, the range is in force again.
    EXPECT_FALSE(t->FindKey({Variant("bea")}));
    EXPECT_TRUE(t->RangeActive());
    EXPECT_EQ(t->SavedRangeDepth(), 0u);
    EXPECT_EQ(walk(*t), (Names{"bea2", "cid"}));
    EXPECT_TRUE(t->FindKey({Variant("cid")}));
    EXPECT_EQ(t->FieldByName("servicenumber")->AsInteger(), 4);
    EXPECT_EQ(walk(*t), (Names{"bea2", "cid"}));
    rejectBea = false;
    EXPECT_TRUE(t->FindKey({Variant("bea")}));
    EXPECT_EQ(t->FieldByName("servicenumber")->AsInteger(), 2);

    // A handler that raises accepts the record, and that is logged.
    std::vector<std::string> shown;
    cls::SetApplicationExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
    raise = true;
    const size_t linesBefore = env.log->LineCount();
    EXPECT_TRUE(t->FindKey({Variant("cid")}));
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), "handler failed");
    bool logged = false;
    for (const std::string& line : env.log->Lines())
        logged = logged || line.find("OnFilterRecord") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_GT(env.log->LineCount(), linesBefore);

    // An exception out of the search (here from the application's handler) still puts the
    // range back.
    cls::SetApplicationExceptionHandler(
        [](const std::exception&) { throw std::logic_error("display failed"); });
    EXPECT_THROW(t->FindKey({Variant("bea2")}), std::logic_error);
    cls::SetApplicationExceptionHandler(nullptr);
    raise = false;
    EXPECT_TRUE(t->RangeActive());
    EXPECT_EQ(t->SavedRangeDepth(), 0u);
    EXPECT_EQ(walk(*t), (Names{"bea", "bea2", "cid"}));

    t->CancelRange();
    EXPECT_FALSE(t->RangeActive());
    EXPECT_EQ(walk(*t).size(), 6u);
}

TEST(Table, LocatesThroughAnIndexOrByAScanAndLeavesTheFilterAsItWas) {
    TableEnv env;
    env.buildContacts(true);
    auto t = env.openContacts();
    env.fill(*t);
    // The current index ignores case: a case-insensitive Locate on name uses it.
    ASSERT_TRUE(t->Locate("name", Variant("CAROL"), cls::loCaseInsensitive));
    EXPECT_EQ(t->FieldByName("id")->AsString(), "c1");
    EXPECT_EQ(t->LookupCursor(), 0u);
    ASSERT_TRUE(t->Locate("name", Variant("Da"), cls::loCaseInsensitive | cls::loPartialKey));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "dave");
    // Another index begins with id: a lookup cursor on it.
    ASSERT_TRUE(t->Locate("id", Variant("e1"), 0));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "erin");
    EXPECT_NE(t->LookupCursor(), 0u);
    EXPECT_FALSE(t->Locate("id", Variant("zz"), 0));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "erin");
    // No index begins with servicenumber: a scan with a temporary filter.
    ASSERT_TRUE(t->Locate("servicenumber", Variant(int64_t(20)), 0));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "bob");
    // A case-sensitive search for a name of another case finds nothing.
    EXPECT_FALSE(t->Locate("name", Variant("CAROL"), 0));
    ASSERT_TRUE(t->Locate("name;servicenumber",
                          Variant(std::vector<Variant>{Variant("Carol"), Variant(int64_t(30))}), 0));
    EXPECT_EQ(t->FieldByName("id")->AsString(), "c1");
    EXPECT_EQ(t->Lookup("id", Variant("a1"), "name").AsString(), "alice");
    EXPECT_TRUE(t->Lookup("id", Variant("none"), "name").IsNull());
    EXPECT_EQ(t->FieldByName("id")->AsString(), "c1"); // Lookup does not move

    // The dataset's own filter is in force after a scanning Locate, on either side.
    for (TqbFilterEvaluationType eval : {qbfeServer, qbfeClient}) {
        t->SetFiltered(false);
        t->SetFilterEval(eval);
        t->SetFilter("memberGr1=true");
        t->SetFiltered(true);
        EXPECT_TRUE(t->Locate("servicenumber", Variant(int64_t(20)), 0));
        EXPECT_EQ(t->FieldByName("name")->AsString(), "bob");
        EXPECT_FALSE(t->Locate("servicenumber", Variant(int64_t(40)), 0)); // dave is filtered out
        EXPECT_EQ(walk(*t), (Names{"alice", "bob"}));
    }
}

TEST(Table, ADetailFollowsItsMastersKey) {
    TableEnv env;
    env.buildContacts();
    TqbServerDataDict m;
    m.SetTableName("messages");
    m.AddField("contact", "", qbtShortString, 40, 0, true);
    m.AddField("text", "", qbtShortString, 80, 0, false);
    const int32_t contact = 0;
    m.AddIndex("contactIndex", "", 0, 1, &contact, nullptr, true, true, true);
    m.BindIndexHelpers();
    env.build("messages", m);

    auto master = env.openContacts();
    env.fill(*master);
    auto detail = env.table("messages", "contactIndex");
    detail->Open();
    for (auto [who, text] : {std::pair{"bob", "hi bob"}, {"alice", "hi alice"}, {"bob", "bye bob"}}) {
        detail->Append();
        detail->FieldByName("contact")->SetAsString(who);
        detail->FieldByName("text")->SetAsString(text);
        detail->Post();
    }
    cls::TDataSource source(nullptr);
    source.SetDataSet(master.get());
    EXPECT_EQ(codeOf([&] { master->SetMasterSource(&source); }), kDsCircularLink);
    detail->SetMasterSource(&source);
    detail->SetMasterFields("name");

    ASSERT_TRUE(master->FindKey({Variant("bob")}));
    EXPECT_EQ(walk(*detail, "text"), (Names{"hi bob", "bye bob"}));
    master->First(); // alice
    EXPECT_EQ(walk(*detail, "text"), (Names{"hi alice"}));
    ASSERT_TRUE(master->FindKey({Variant("erin")}));
    EXPECT_TRUE(walk(*detail, "text").empty());
    // A new detail row takes the master's key.
    detail->Append();
    detail->FieldByName("text")->SetAsString("hi erin");
    detail->Post();
    EXPECT_EQ(detail->FieldByName("contact")->AsString(), "erin");
    EXPECT_EQ(walk(*detail, "text"), (Names{"hi erin"}));
    // Without a master the detail shows everything again.
    detail->SetMasterSource(nullptr);
    EXPECT_EQ(walk(*detail, "text").size(), 4u);
}

TEST(Table, ATableTheEngineReportsReadOnlyOpensReadOnly) {
#ifdef PW_REMOTE_CLIENT_TESTS
    GTEST_SKIP() << "the engine's read-only switch is the server's own setting, not one of the wire";
#endif
    TableEnv env;
    // A folder the engine first met while it was read-only stays read-only: its tables open
    // read-only once the engine is writable again.
    std::filesystem::create_directory(env.dir.path() / "ro");
    const std::string roPath = env.dir.file("ro");
    TqbOwned<TqbDatabase> ro(new TqbDatabase());
    ro->SetSessionName(env.session->SessionName());
    ro->SetDatabaseName(roPath);
    ro->Open();
    TqbServerDataDict d = engineapi::contactsDictionary();
    ASSERT_EQ(0, env.engine->TableBuild(ro->DatabaseID(), false, "contacts", false, d));
    {
        auto t = env.table();
        t->SetDatabaseName(roPath);
        t->Open();
        env.fill(*t, {{"ann", "a", 1, 0}});
    }
    ro->Close();
    env.engine->SetIsReadOnly(true);
    ro->Open();
    env.engine->SetIsReadOnly(false);
    auto t = env.table();
    t->SetDatabaseName(roPath);
    t->Open();
    EXPECT_TRUE(t->ReadOnly());
    EXPECT_FALSE(t->CanModify());
    EXPECT_EQ(walk(*t), (Names{"ann"}));
    EXPECT_THROW(t->Edit(), cls::EDatabaseError);
    // Asked for read-only from the start, the table opens without a second try.
    t->Close();
    auto t2 = env.table();
    t2->SetDatabaseName(roPath);
    t2->SetReadOnly(true);
    t2->Open();
    EXPECT_EQ(walk(*t2), (Names{"ann"}));
}

TEST(BlobStream, WritesReadsSeeksAndTruncatesAcrossChunks) {
    TableEnv env;
    TqbServerDataDict d;
    d.SetTableName("notes");
    d.AddField("title", "", qbtShortString, 20, 0, true);
    d.AddField("body", "", qbtBLOB, 0, 0, false);
    const int32_t title = 0;
    d.AddIndex("titleIndex", "", 0, 1, &title, nullptr, false, true, false);
    d.BindIndexHelpers();
    env.build("notes", d);
    auto t = env.table("notes", "titleIndex");
    t->Open();
    cls::TField* body = t->FieldByName("body");
    ASSERT_TRUE(body->IsBlob());

    // 150000 bytes: three engine writes of at most 64000.
    std::string data(150000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + (i * 7 + i / 251) % 26);
    t->Append();
    t->FieldByName("title")->SetAsString("doc");
    {
        auto s = t->CreateBlobStream(body, cls::bmWrite);
        EXPECT_EQ(s->Write(data.data(), int32_t(data.size())), int32_t(data.size()));
        EXPECT_EQ(s->Position(), int64_t(data.size()));
    }
    t->Post();
    t->Append();
    t->FieldByName("title")->SetAsString("empty");
    t->Post();

    ASSERT_TRUE(t->FindKey({Variant("doc")}));
    {
        auto s = t->CreateBlobStream(body, cls::bmRead);
        EXPECT_EQ(s->Size(), int64_t(data.size()));
        std::string back(data.size(), '\0');
        EXPECT_EQ(s->Read(back.data(), 70000), 70000);
        EXPECT_EQ(s->Read(back.data() + 70000, 90000), 80000);
        EXPECT_EQ(back, data);
        char tail[16];
        EXPECT_EQ(s->Read(tail, 16), 0); // past the end: nothing, no error
        EXPECT_EQ(s->Seek(-5, cls::soEnd), int64_t(data.size() - 5));
        EXPECT_EQ(s->Read(tail, 16), 5);
        EXPECT_EQ(std::string(tail, 5), data.substr(data.size() - 5));
        // Never before the start: the next read is from the first byte.
        EXPECT_EQ(s->Seek(-200000, cls::soCurrent), 0);
        EXPECT_EQ(s->Seek(-1, cls::soBeginning), 0);
        EXPECT_EQ(s->Read(tail, 4), 4);
        EXPECT_EQ(std::string(tail, 4), data.substr(0, 4));
    }
    EXPECT_EQ(body->AsString(), data);
    // Writing needs the edit state.
    EXPECT_EQ(codeOf([&] { t->CreateBlobStream(body, cls::bmWrite); }), kDsBlobNotEditing);

    // Truncated in an edit, and a piece written over the middle.
    t->Edit();
    {
        auto s = t->CreateBlobStream(body, cls::bmReadWrite);
        s->Seek(70000, cls::soBeginning);
        static_cast<TqbBlobStream*>(s.get())->Truncate();
        s->Seek(100, cls::soBeginning);
        s->Write("XYZ", 3);
    }
    t->Post();
    std::string expect = data.substr(0, 70000);
    expect.replace(100, 3, "XYZ");
    auto again = env.table("notes", "titleIndex");
    again->Open();
    ASSERT_TRUE(again->FindKey({Variant("doc")}));
    EXPECT_EQ(again->FieldByName("body")->AsString(), expect);

    // A null BLOB reads nothing; it cuts at 0 but not further.
    ASSERT_TRUE(t->FindKey({Variant("empty")}));
    EXPECT_TRUE(body->IsNull());
    {
        auto s = t->CreateBlobStream(body, cls::bmRead);
        char c;
        EXPECT_EQ(s->Read(&c, 1), 0);
        EXPECT_EQ(s->Size(), 0);
    }
    t->Edit();
    {
        auto s = t->CreateBlobStream(body, cls::bmReadWrite);
        auto* blob = static_cast<TqbBlobStream*>(s.get());
        blob->Truncate();
        s->Seek(10, cls::soBeginning);
        EXPECT_EQ(codeOf([&] { blob->Truncate(); }), kQbInvalidBlobOffset);
    }
    t->Cancel();
}

TEST(Table, EditsKeysAndChoosesIndexesByTheirFields) {
    TableEnv env;
    env.buildContacts(true);
    auto t = env.openContacts();
    env.fill(*t);
    // A key set field by field in the set-key state; only key fields are taken.
    t->SetKey();
    EXPECT_EQ(t->State(), cls::dsSetKey);
    t->FieldByName("name")->SetAsString("erin");
    EXPECT_EQ(codeOf([&] { t->FieldByName("id")->SetAsString("x"); }), kDsNotKeyField);
    t->Post();
    EXPECT_EQ(t->State(), cls::dsBrowse);
    ASSERT_TRUE(t->GotoKey());
    EXPECT_EQ(t->FieldByName("id")->AsString(), "e1");
    // Cancel puts back the key that was set before.
    t->EditKey();
    t->FieldByName("name")->SetAsString("nobody");
    t->Cancel();
    t->First();
    ASSERT_TRUE(t->GotoKey());
    EXPECT_EQ(t->FieldByName("name")->AsString(), "erin");

    // The index whose fields are named; its order and its keys.
    t->SetIndexFieldNames("id");
    EXPECT_EQ(t->IndexFieldNames(), "id");
    EXPECT_EQ(t->IndexName(), "");
    EXPECT_EQ(walk(*t, "id"), (Names{"a1", "b1", "c1", "d1", "e1"}));
    ASSERT_TRUE(t->FindKey({Variant("c1")}));
    EXPECT_EQ(t->FieldByName("name")->AsString(), "Carol");
    t->SetIndexName("nameIndex");
    EXPECT_EQ(walk(*t).front(), "alice");
    // Chosen by fields before opening.
    t->Close();
    t->SetIndexFieldNames("id");
    t->Open();
    EXPECT_EQ(walk(*t, "id").front(), "a1");
    EXPECT_EQ(t->IndexDefs().Count(), 3);
    EXPECT_EQ(t->IndexDefs()[1].Fields, "name");
    EXPECT_TRUE(t->IndexDefs()[1].Options & cls::ixCaseInsensitive);
}

// An append's post answers with the row and bookmark the engine holds for it, whether the read came
// with the insert or after the state change, also after another table inserted rows meanwhile. A
// data source that moves the cursor when it hears of the state change is heard: the row read is
// the one it moved to.
TEST(Table, AnAppendsPostShowsTheRowAndBookmarkTheEngineHolds) {
    TableEnv env;
    env.buildContacts();
    auto t = env.openContacts();
    auto other = env.openContacts();
    env.fill(*other, {kRows[0], kRows[1]});
    const TqbHandle cursor = t->CursorID();
    uint32_t size = 0;
    ASSERT_EQ(0, env.engine->CursorGetBookmarkSize(cursor, size));
    auto post = [&](const std::string& name, int service) {
        t->Append();
        t->FieldByName("name")->SetAsString(name);
        t->FieldByName("servicenumber")->SetAsInteger(service);
        t->Post();
    };
    auto engineHolds = [&](const std::string& name) {
        std::vector<uint8_t> rec(size_t(t->PhysRecLen())), bm(size);
        ASSERT_EQ(0, env.engine->RecordGetWithBookmark(cursor, qbltNone, rec, bm));
        const auto c = engineapi::contactOf(t->Dictionary(), rec.data());
        EXPECT_EQ(c.name, name);
        EXPECT_EQ(t->FieldByName("name")->AsString(), c.name);
        EXPECT_EQ(t->FieldByName("servicenumber")->AsInteger(), c.service);
        EXPECT_TRUE(t->FieldByName("password")->IsNull());
        const cls::TBookmark mine = t->GetBookmark();
        ASSERT_EQ(mine.size(), size_t(t->BookmarkSize()));
        EXPECT_EQ(0, std::memcmp(mine.data(), bm.data(), size)) << name;
    };
    post("mia", 7);
    engineHolds("mia");
    env.fill(*other, {kRows[2]});
    post("abe", 8); // before every row in the index: the end is not where it lands
    engineHolds("abe");
    const cls::TBookmark abe = t->GetBookmark();
    t->First();
    t->GotoBookmark(abe);
    EXPECT_EQ(t->FieldByName("name")->AsString(), "abe");

    // A listener that moves the cursor to the beginning: Post then reads the first row.
    cls::TDataSource source(nullptr);
    source.SetDataSet(t.get());
    source.OnStateChange = [&](cls::TComponent*) {
        if (t->State() == cls::dsBrowse) {
            EXPECT_EQ(0, env.engine->CursorSetToBegin(cursor));
        }
    };
    post("zed", 9);
    EXPECT_EQ(t->FieldByName("name")->AsString(), "abe");
    source.OnStateChange = nullptr;
    post("yan", 10);
    engineHolds("yan");
    source.SetDataSet(nullptr);
    // Under disabled controls the read comes with the insert again.
    t->DisableControls();
    post("kim", 11);
    t->EnableControls();
    engineHolds("kim");
    EXPECT_EQ(walk(*t), (Names{"abe", "alice", "dave", "erin", "kim", "mia", "yan", "zed"}));
}
