// The dataset framework driven through the in-memory table: the record window, resync, the editing
// cycle and its events, the silent abort, bookmarks, temporary states, data links, native field
// formats, calculated and lookup fields, loading, master/detail, parameters and definitions.
#include "classlib/MemTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace cls;

namespace {

const char* kDb = "testdb";
using V = std::vector<std::string>;

// A field's stored bytes read as a T (all bytes 0x5A where nothing was written).
template <class T> T native(TField* f) {
    T v;
    std::memset(&v, 0x5A, sizeof v);
    EXPECT_TRUE(f->GetData(&v)) << f->FieldName();
    return v;
}

std::string rowName(int i) {
    char b[16]; // room for any int
    std::snprintf(b, sizeof b, "p%02d", i);
    return b;
}

class RecLink : public TDataLink {
public:
    std::vector<std::string> events;
    TField* target = nullptr;
    std::string pending;

    std::vector<std::string> take() { return std::exchange(events, {}); }

protected:
    void ActiveChanged() override { events.push_back(Active() ? "active" : "inactive"); }
    void DataSetChanged() override { events.push_back("changed"); }
    void DataSetScrolled(int d) override { events.push_back("scrolled " + std::to_string(d)); }
    void EditingChanged() override { events.push_back(Editing() ? "editing" : "not editing"); }
    void RecordChanged(TField* f) override {
        events.push_back("record " + (f ? f->FieldName() : std::string("*")));
    }
    void UpdateData() override {
        events.push_back("update");
        if (target && !pending.empty()) target->SetAsString(pending);
        pending.clear();
    }
};

class DataSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMemDatabase::DropAll();
        TMemDatabase::CreateTable(
            kDb, "people",
            {{"name", ftString, 20},
             {"age", ftInteger},
             {"score", ftFloat},
             {"active", ftBoolean},
             {"born", ftDate},
             {"seen", ftDateTime},
             {"at", ftTime},
             {"small", ftSmallint},
             {"w", ftWord},
             {"raw", ftBytes, 4},
             {"vb", ftVarBytes, 6},
             {"cost", ftCurrency}},
            {{"byName", "name", ixCaseInsensitive | ixUnique}, {"byAge", "age;name", 0}});
        form_ = std::make_unique<TComponent>();
    }
    void TearDown() override {
        form_.reset();
        TMemDatabase::DropAll();
    }

    TMemTable* table(const std::string& index = "byName", bool open = true) {
        auto* t = new TMemTable(form_.get());
        t->SetDatabaseName(kDb);
        t->SetTableName("people");
        t->SetIndexName(index);
        if (open) t->Open();
        return t;
    }

    void fill(int n) {
        TMemTable* t = table("");
        for (int i = 0; i < n; ++i) {
            t->Append();
            t->FieldByName("name")->SetAsString(rowName(i));
            t->FieldByName("age")->SetAsInteger(i % 7);
            t->FieldByName("active")->SetAsBoolean(i % 2 == 0);
            t->Post();
        }
        delete t;
    }

    TDataSource* sourceFor(TDataSet* t) {
        auto* src = new TDataSource(form_.get());
        src->SetDataSet(t);
        return src;
    }

    // The "groups" table with gid 0..count-1 named "G<gid>", open on index.
    TMemTable* groups(int count, const std::string& index) {
        TMemDatabase::CreateTable(kDb, "groups", {{"gid", ftInteger}, {"gname", ftString, 10}},
                                  {{"byGid", "gid", 0}});
        auto* g = new TMemTable(form_.get());
        g->SetDatabaseName(kDb);
        g->SetTableName("groups");
        g->SetIndexName(index);
        g->Open();
        for (int i = 0; i < count; ++i) {
            g->Append();
            g->FieldByName("gid")->SetAsInteger(i);
            g->FieldByName("gname")->SetAsString("G" + std::to_string(i));
            g->Post();
        }
        return g;
    }

    std::string name(TDataSet* t) { return t->FieldByName("name")->AsString(); }

    // The names of every record in the dataset's current order.
    std::vector<std::string> names(TDataSet* t) {
        std::vector<std::string> r;
        for (t->First(); !t->Eof(); t->Next())
            r.push_back(name(t));
        return r;
    }

    // The names the link's window shows, top to bottom.
    std::vector<std::string> window(RecLink& link) {
        std::vector<std::string> r;
        int active = link.ActiveRecord();
        for (int i = 0; i < link.RecordCount(); ++i) {
            link.SetActiveRecord(i);
            r.push_back(name(link.DataSet()));
        }
        link.SetActiveRecord(active);
        return r;
    }

    std::unique_ptr<TComponent> form_;
};

} // namespace
TEST_F(DataSetTest, NavigationKeepsAWindowOfSeveralRecordsAroundTheActiveOne) {
    fill(20);
    TMemTable* t = table();
    auto* src = sourceFor(t);
    RecLink link;
    link.SetBufferCount(5);
    link.SetDataSource(src);
    ASSERT_TRUE(link.Active());
    EXPECT_EQ(window(link), (V{"p00", "p01", "p02", "p03", "p04"}));

    for (int i = 1; i <= 7; ++i) {
        t->Next();
        std::vector<std::string> w = window(link);
        ASSERT_EQ(w.size(), 5u);
        ASSERT_EQ(w[link.ActiveRecord()], rowName(i)); // the active record is always in the window
        for (int k = 1; k < 5; ++k)
            ASSERT_EQ(w[k], rowName(std::stoi(w[0].substr(1)) + k));
    }
    EXPECT_EQ(link.ActiveRecord(), 4);

    EXPECT_EQ(t->MoveBy(-100), -7);
    EXPECT_EQ(t->MoveBy(100), 19);
    EXPECT_TRUE(t->Eof());
    EXPECT_EQ(window(link), (V{"p15", "p16", "p17", "p18", "p19"}));
    t->Prior();
    link.SetBufferCount(2); // a smaller window keeps the active record in it
    EXPECT_EQ(window(link)[link.ActiveRecord()], "p18");
}

TEST_F(DataSetTest, ResyncFollowsChangesMadeThroughAnotherTableObject) {
    fill(10);
    TMemTable* a = table();
    TMemTable* b = table();
    RecLink link;
    link.SetBufferCount(3);
    link.SetDataSource(sourceFor(a));
    ASSERT_TRUE(a->FindKey({"p05"}));
    // The active record vanishes: the dataset moves on to the next one without an error.
    ASSERT_TRUE(b->FindKey({"p05"}));
    b->Delete();
    a->Refresh();
    EXPECT_EQ(name(a), "p06");
    // Editing a row another object deleted fails and leaves the dataset browsing.
    ASSERT_TRUE(b->FindKey({"p06"}));
    b->Delete();
    EXPECT_THROW(a->Edit(), EDatabaseError);
    EXPECT_EQ(a->State(), dsBrowse);
    // Deleting it again is no error either.
    a->Delete();
    EXPECT_EQ(a->RecordCount(), 8);
}

TEST_F(DataSetTest, EditingCycleFiresItsEventsInOrder) {
    fill(10);
    TMemTable* t = table();
    std::vector<std::string> ev;
    const std::pair<TDataSetNotifyEvent TDataSet::*, const char*> events[] = {
        {&TDataSet::BeforeInsert, "BeforeInsert"}, {&TDataSet::AfterInsert, "AfterInsert"},
        {&TDataSet::BeforeEdit, "BeforeEdit"},     {&TDataSet::AfterEdit, "AfterEdit"},
        {&TDataSet::BeforePost, "BeforePost"},     {&TDataSet::AfterPost, "AfterPost"},
        {&TDataSet::BeforeCancel, "BeforeCancel"}, {&TDataSet::AfterCancel, "AfterCancel"},
        {&TDataSet::BeforeDelete, "BeforeDelete"}, {&TDataSet::AfterDelete, "AfterDelete"},
        {&TDataSet::BeforeScroll, "BeforeScroll"}, {&TDataSet::AfterScroll, "AfterScroll"}};
    for (const auto& e : events)
        t->*e.first = [&ev, label = e.second](TDataSet*) { ev.push_back(label); };
    t->OnNewRecord = [&ev](TDataSet* ds) {
        ev.push_back("OnNewRecord");
        ds->FieldByName("age")->SetAsInteger(-1);
    };
    ASSERT_TRUE(t->FindKey({"p03"}));
    ev.clear();
    t->Insert();
    EXPECT_FALSE(t->Modified()); // the defaults of OnNewRecord do not count as a change
    EXPECT_EQ(t->FieldByName("age")->AsInteger(), -1);
    t->FieldByName("name")->SetAsString("p03a");
    t->Post();
    EXPECT_EQ(ev, (V{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
                     "BeforePost", "AfterPost"}));

    ev.clear();
    t->Append();
    t->FieldByName("name")->SetAsString("zzz");
    t->Cancel();
    EXPECT_EQ(ev, (V{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
                     "BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}));
    EXPECT_EQ(name(t), "p09"); // back on the last record

    ASSERT_TRUE(t->FindKey({"p07"}));
    ev.clear();
    t->Delete();
    EXPECT_EQ(ev, (V{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
    EXPECT_EQ(TMemDatabase::RowCount(kDb, "people"), 10);

    // Browse mode is restored by a move: a changed record is posted.
    t->Edit();
    t->FieldByName("age")->SetAsInteger(1);
    t->Next();
    ASSERT_TRUE(t->FindKey({"p08"}));
    EXPECT_EQ(t->FieldByName("age")->AsInteger(), 1);
}

TEST_F(DataSetTest, SilentAbortInBeforePostKeepsTheEditAndTheStoredRecord) {
    fill(5);
    TMemTable* t = table();
    TMemTable* other = table();
    int shown = 0;
    SetApplicationExceptionHandler([&](const std::exception&) { ++shown; });
    t->BeforePost = [](TDataSet* ds) {
        if (ds->FieldByName("name")->AsString().empty()) Abort();
    };
    ASSERT_TRUE(t->FindKey({"p02"}));
    t->Edit();
    t->FieldByName("name")->SetAsString("");
    t->FieldByName("age")->SetAsInteger(42);
    try {
        t->Post();
        FAIL() << "Post went through";
    } catch (const EAbort& e) {
        HandleException(e); // the exception display stays silent
    }
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(t->State(), dsEdit);
    EXPECT_EQ(t->FieldByName("age")->AsInteger(), 42); // the user's edit is still there
    ASSERT_TRUE(other->FindKey({"p02"}));
    EXPECT_EQ(other->FieldByName("age")->AsInteger(), 2); // and nothing was stored
    SetApplicationExceptionHandler(nullptr);
}

TEST_F(DataSetTest, PostErrorEventCanRetryOrAbort) {
    fill(3);
    TMemTable* t = table();
    int calls = 0;
    t->OnPostError = [&](TDataSet* ds, EDatabaseError&, TDataAction& action) {
        ds->FieldByName("name")->SetAsString("p01b");
        action = ++calls == 1 ? daRetry : daAbort;
    };
    t->Insert();
    t->FieldByName("name")->SetAsString("P01"); // the unique index ignores case
    t->Post();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(name(t), "p01b");
    t->Insert();
    t->FieldByName("name")->SetAsString("p00");
    EXPECT_THROW(t->Post(), EAbort);
    EXPECT_EQ(t->State(), dsInsert);
}

TEST_F(DataSetTest, BookmarksFollowTheCurrentOrderAndDieWithTheirRecord) {
    fill(12);
    TMemTable* t = table();
    // By name p06 < p07, by age p07 (0) < p06 (6).
    ASSERT_TRUE(t->FindKey({"p06"}));
    TBookmark b6 = t->GetBookmark();
    t->Next();
    TBookmark b7 = t->GetBookmark();
    EXPECT_LT(t->CompareBookmarks(b6, b7), 0);
    t->SetIndexName("byAge");
    EXPECT_GT(t->CompareBookmarks(b6, b7), 0);
    EXPECT_EQ(t->CompareBookmarks(TBookmark(), b7), 1);
    t->GotoBookmark(b6);
    EXPECT_EQ(name(t), "p06");
    t->Delete();
    EXPECT_FALSE(t->BookmarkValid(b6));
    EXPECT_THROW(t->GotoBookmark(b6), EDatabaseError);
    EXPECT_THROW(t->GotoBookmark(TBookmark()), EDatabaseError);
}

TEST_F(DataSetTest, TemporaryStatesAreRestoredAndStayHiddenFromControls) {
    fill(6);
    TMemTable* t = table();
    auto* src = sourceFor(t);
    std::vector<TDataSetState> seen;
    src->OnStateChange = [&](TComponent*) { seen.push_back(src->State()); };

    std::vector<TDataSetState> inside;
    t->SetOnFilterRecord([&](TDataSet* ds, bool& accept) {
        inside.push_back(ds->State());
        accept = ds->FieldByName("active")->AsBoolean();
    });
    t->SetFiltered(true);
    EXPECT_EQ(t->RecordCount(), 3);
    ASSERT_FALSE(inside.empty());
    for (TDataSetState s : inside)
        EXPECT_EQ(s, dsFilter);
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_TRUE(seen.empty());
    t->SetFiltered(false);

    // A filter handler that raises keeps the record and reports the error.
    int reported = 0;
    SetApplicationExceptionHandler([&](const std::exception&) { ++reported; });
    t->SetOnFilterRecord([](TDataSet*, bool&) { throw EDatabaseError("broken handler"); });
    t->SetFiltered(true);
    EXPECT_EQ(t->RecordCount(), 6);
    EXPECT_GT(reported, 0);
    EXPECT_EQ(t->State(), dsBrowse);
    SetApplicationExceptionHandler(nullptr);
}

TEST_F(DataSetTest, DataLinksHearRecordDataSetAndStateChanges) {
    fill(4);
    TMemTable* t = table();
    auto* src = new TDataSource(form_.get());
    RecLink link;
    link.SetDataSource(src);
    src->SetDataSet(t);
    EXPECT_EQ(link.take().back(), "active");

    t->Next();
    EXPECT_EQ(link.take(), (V{"scrolled 1"}));
    t->Edit();
    EXPECT_EQ(link.take(), (V{"editing", "record *"}));
    t->FieldByName("age")->SetAsInteger(9);
    EXPECT_EQ(link.take(), (V{"record age"}));

    // Post asks the controls for their pending values first.
    link.target = t->FieldByName("name");
    link.pending = "fromControl";
    std::string seenInBeforePost;
    t->BeforePost = [&](TDataSet* ds) { seenInBeforePost = ds->FieldByName("name")->AsString(); };
    t->Post();
    EXPECT_EQ(seenInBeforePost, "fromControl");
    EXPECT_NE(std::find(link.events.begin(), link.events.end(), "not editing"), link.events.end());
    EXPECT_EQ(link.take().back(), "changed");

    t->DisableControls();
    t->First();
    t->Next();
    EXPECT_TRUE(link.events.empty());
    t->EnableControls();
    EXPECT_EQ(link.take(), (V{"changed"}));

    t->Close();
    EXPECT_EQ(link.take(), (V{"inactive"}));

    // A source that goes away detaches its links.
    delete src;
    EXPECT_EQ(link.DataSource(), nullptr);
    EXPECT_FALSE(link.Active());
}

TEST_F(DataSetTest, FieldsKeepTheirNativeFormats) {
    fill(1);
    TMemTable* t = table();
    t->Edit();
    auto f = [&](const char* n) { return t->FieldByName(n); };

    f("born")->SetAsDateTime(0);
    EXPECT_EQ(native<int32_t>(f("born")), 693594);
    EXPECT_THROW(f("born")->SetAsString("2023-02-29"), EConvertError);
    f("at")->SetAsString("01:00:00");
    EXPECT_EQ(native<int32_t>(f("at")), 3600000);
    f("seen")->SetAsDateTime(0.5);
    EXPECT_DOUBLE_EQ(native<double>(f("seen")), 693594.0 * 86400000 + 43200000);

    f("active")->SetAsBoolean(true);
    EXPECT_EQ(native<int16_t>(f("active")), -1);
    EXPECT_THROW(f("active")->SetAsString("maybe"), EConvertError);

    f("name")->SetAsString("Zo\xEB and a name longer than twenty");
    EXPECT_EQ(std::string(native<std::array<char, 21>>(f("name")).data()), "Zo\xEB and a name longe");
    f("score")->SetAsFloat(12.3456);
    f("cost")->SetAsString("0.1");
    EXPECT_DOUBLE_EQ(native<double>(f("cost")), 0.1);

    EXPECT_THROW(f("small")->SetAsInteger(40000), EDatabaseError);
    f("small")->SetAsInteger(-5);
    EXPECT_THROW(f("w")->SetAsInteger(-1), EDatabaseError);
    f("w")->SetAsInteger(65535);
    EXPECT_EQ(native<uint16_t>(f("w")), 65535);

    EXPECT_THROW(f("age")->SetAsString("abc"), EConvertError);
    f("age")->SetAsString("");
    int32_t zero = 123;
    EXPECT_FALSE(f("age")->GetData(&zero));
    EXPECT_EQ(zero, 0); // a null value reads as zeros

    f("raw")->SetAsString("ab");
    f("vb")->SetAsString("xyz");
    EXPECT_EQ(std::string(native<std::array<char, 8>>(f("vb")).data(), 5), std::string("\x03\x00xyz", 5));
    t->Post();

    // Everything comes back the same through the stored row.
    TMemTable* other = table();
    ASSERT_TRUE(other->FindKey({"Zo\xEB and a name longe"}));
    for (const char* n : {"born", "at", "seen", "active", "score", "cost", "small", "w", "raw", "vb"})
        EXPECT_EQ(other->FieldByName(n)->AsVariant(), f(n)->AsVariant()) << n;
    EXPECT_TRUE(other->FieldByName("age")->AsVariant().IsNull());

    t->Edit();
    // OnValidate sees the new value and can refuse it; the old value stays.
    f("score")->OnValidate = [](TField* v) {
        if (v->AsFloat() < 0) throw EDatabaseError("negative");
    };
    EXPECT_THROW(f("score")->SetAsFloat(-1), EDatabaseError);
    EXPECT_DOUBLE_EQ(f("score")->AsFloat(), 12.3456);
    t->Cancel();
}

TEST_F(DataSetTest, CalculatedAndLookupFieldsAreComputedPerRecord) {
    fill(3);
    TMemTable* lookup = groups(3, "");
    TMemTable* t = table("byName", false);
    auto define = [](TField* f, const char* name, TFieldKind kind, int size) {
        f->SetFieldName(name);
        f->SetFieldKind(kind);
        if (size) f->SetSize(size);
        return f;
    };
    TField* nameF = define(new TStringField(t), "name", fkData, 5); // the table's size wins at open
    TField* ageF = define(new TIntegerField(t), "age", fkData, 0);
    TField* label = define(new TStringField(t), "label", fkCalculated, 30);
    TField* grp = define(new TStringField(t), "grp", fkLookup, 0);
    grp->SetLookupDataSet(lookup);
    grp->KeyFields = "age";
    grp->LookupKeyFields = "gid";
    grp->LookupResultField = "gname";
    for (TField* f : {nameF, ageF, label, grp})
        f->SetDataSet(t);
    t->OnCalcFields = [&](TDataSet* ds) {
        ds->FieldByName("label")->SetAsString(ds->FieldByName("name")->AsString() + "/" +
                                              ds->FieldByName("age")->AsString());
    };
    t->Open();
    EXPECT_EQ(nameF->Size(), 20);
    t->Next();
    t->Edit();
    ageF->SetAsInteger(2);
    EXPECT_EQ(label->AsString(), "p01/2"); // recomputed as soon as a data field changes
    EXPECT_EQ(grp->AsString(), "G2");
    t->Post();
    EXPECT_EQ(t->Lookup("name", "p00", "label").AsString(), "p00/0");

    // The lookup dataset going away leaves the lookup field empty, not dangling.
    delete lookup;
    t->Refresh();
    EXPECT_TRUE(grp->IsNull());
}

TEST_F(DataSetTest, OpeningWhileLoadingWaitsForLoaded) {
    fill(2);
    TMemTable* t = table("byName", false);
    t->BeginLoading();
    t->Open();
    EXPECT_FALSE(t->Active());
    t->EndLoading();
    EXPECT_EQ(name(t), "p00");
}

TEST_F(DataSetTest, MasterDetailShowsTheRowsOfTheCurrentMaster) {
    TMemTable* master = groups(3, "byGid");
    fill(14); // ages 0..6
    master->First();
    auto* msrc = sourceFor(master);
    TMemTable* detail = table("byAge");
    detail->SetMasterSource(msrc);
    detail->SetMasterFields("gid");
    master->Next();
    EXPECT_EQ(names(detail), (V{"p01", "p08"}));
    // A loop of master and detail is refused.
    EXPECT_THROW(detail->SetMasterSource(sourceFor(detail)), EDatabaseError);
    EXPECT_THROW(msrc->SetDataSet(detail), EDatabaseError);

    master->Close();
    EXPECT_EQ(detail->RecordCount(), 14);
}

TEST_F(DataSetTest, LocateLookupAndFindRecord) {
    fill(12);
    TMemTable* t = table();
    EXPECT_FALSE(t->Locate("name", "P06", 0));
    EXPECT_TRUE(t->Locate("age;active", VarArrayOf({3, false}), 0));
    EXPECT_EQ(name(t), "p03");
    EXPECT_THROW(t->Locate("age;active", 3, 0), EDatabaseError);
    Variant v = t->Lookup("name", "p04", "age;active");
    EXPECT_EQ(v, VarArrayOf({4, true}));
    EXPECT_EQ(name(t), "p03"); // Lookup does not move
    t->SetFilter("age = 2");   // FindFirst/FindNext use the filter without switching it on
    EXPECT_TRUE(t->FindFirst());
    EXPECT_TRUE(t->FindNext());
    EXPECT_EQ(name(t), "p09");
    EXPECT_FALSE(t->FindNext());
    EXPECT_EQ(t->RecordCount(), 12);
}

TEST_F(DataSetTest, KeySearchRangesAndIndexSwitch) {
    fill(10);
    TMemTable* t = table("byAge");
    EXPECT_FALSE(t->FindKey({3, "p04"}));
    t->FindNearest({99});
    EXPECT_EQ(name(t), "p06"); // past the end: the last record
    t->SetKey();
    t->FieldByName("age")->SetAsInteger(1);
    t->SetKeyFieldCount(1);                                               // search on the leading field only
    EXPECT_THROW(t->FieldByName("score")->SetAsFloat(1), EDatabaseError); // not a key field
    EXPECT_TRUE(t->GotoKey());
    EXPECT_EQ(name(t), "p01");
    t->SetRange({2}, {3});
    EXPECT_EQ(names(t), (V{"p02", "p09", "p03"}));
    t->CancelRange();
    ASSERT_TRUE(t->FindKey({0, "p07"}));
    t->SetIndexFieldNames("name");
    EXPECT_EQ(name(t), "p07"); // the current record survives the switch
    EXPECT_THROW(t->SetIndexFieldNames("score"), EDatabaseError);
    t->SetIndexName("");
    EXPECT_THROW(t->FindKey({"p01"}), EDatabaseError); // no index
}

TEST(Params, ValuesByNameAndNativeData) {
    TParams p;
    p.CreateParam(ftInteger, "Id", ptInput).SetAsInteger(7);
    p.CreateParam(ftUnknown, "when", ptInput).SetValue(Variant::FromDateTime(EncodeDate(1899, 12, 30)));
    EXPECT_THROW(p.ParamByName("missing"), EDatabaseError);

    TParams fresh;
    fresh.CreateParam(ftUnknown, "id", ptInput);
    fresh.CreateParam(ftUnknown, "other", ptInput);
    fresh.AssignValues(p);
    EXPECT_EQ(fresh.ParamByName("id").AsInteger(), 7);
    EXPECT_TRUE(fresh.ParamByName("other").IsNull());

    double ms = 0;
    ASSERT_EQ(p.ParamByName("when").GetDataSize(), 8);
    ASSERT_TRUE(p.ParamByName("when").GetData(&ms));
    EXPECT_DOUBLE_EQ(ms, 693594.0 * 86400000);
}

TEST(FieldKinds, AKindWithoutAFieldClassIsRefused) {
    TComponent owner;
    TFieldDef cursor;
    cursor.DataType = ftCursor;
    EXPECT_THROW(cursor.CreateField(&owner, nullptr), EDatabaseError);
    EXPECT_EQ(owner.ComponentCount(), 0);
}

// Field names match as the collation has them, case aside: ASCII letters of either case, accented
// letters with their own capitals, nothing else.
TEST(Fields, NamesMatchCaseAsideAndNothingElse) {
    TComponent owner;
    TMemTable t(&owner);
    for (const char* n : {"servicenumber", "a@b", "Caf\xE9", "x1"}) {
        auto* f = new TStringField(&owner);
        f->SetFieldName(n);
        f->SetDataSet(&t);
    }
    const TFields& fs = t.Fields();
    const std::pair<const char*, const char*> found[] = {{"serviceNumber", "servicenumber"},
                                                         {"SERVICENUMBER", "servicenumber"},
                                                         {"A@B", "a@b"},
                                                         {"CAF\xC9", "Caf\xE9"},
                                                         {"X1", "x1"}};
    for (const auto& [asked, name] : found) {
        ASSERT_NE(fs.FindField(asked), nullptr) << asked;
        EXPECT_EQ(fs.FindField(asked)->FieldName(), name);
    }
    // The same letters but for their accent, and bytes whose bits differ as a case would.
    for (const char* n : {"servicenumbe\xF2", "a`b", "A`B", "Cafe", "x\x11", "servicenumbe"})
        EXPECT_EQ(fs.FindField(n), nullptr) << n;
}
