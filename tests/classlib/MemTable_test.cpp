// The contacts stand-in used the way the paging client uses its table: open on "nameIndex", walk in
// name order, look contacts up by key, edit through a second table object, filter by group.
#include "classlib/MemTable.h"
#include "tests/classlib/ContactsFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace cls;

namespace {

class ContactsTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMemDatabase::DropAll();
        CreateContactsTable("pageBASE");
        main_ = open();
        add("Carol", "300", 2, {3});
        add("alice", "100", 1, {1, 3});
        add("Bob", "200", 1, {});
        add("dave", "400", 12, {3, 10});
        main_->First();
    }
    void TearDown() override {
        main_.reset();
        TMemDatabase::DropAll();
    }

    static std::unique_ptr<TMemTable> open() { return pwtest::openContacts("pageBASE"); }

    void add(const std::string& name, const std::string& id, int service, std::vector<int> groups) {
        main_->Append();
        main_->FieldByName("name")->SetAsString(name);
        main_->FieldByName("id")->SetAsString(id);
        main_->FieldByName("servicenumber")->SetAsInteger(service);
        main_->FieldByName("password")->SetAsString("pin" + id);
        for (int g = 1; g <= 10; ++g)
            main_->FieldByName("memberGr" + std::to_string(g))
                ->SetAsBoolean(std::find(groups.begin(), groups.end(), g) != groups.end());
        main_->Post();
    }

    static std::vector<std::string> names(TDataSet* t) {
        std::vector<std::string> r;
        for (t->First(); !t->Eof(); t->Next())
            r.push_back(t->FieldByName("name")->AsString());
        return r;
    }

    std::unique_ptr<TMemTable> main_;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(ContactsTest, GroupFilterShowsOnlyMembersAndShowAllBringsEveryoneBack) {
    auto window = open();
    window->SetFilter("memberGr3=true");
    window->SetFiltered(true);
    EXPECT_EQ(names(window.get()), (Names{"alice", "Carol", "dave"}));

    window->SetFilter("memberGr10=true"); // another group while filtered: only dave
    // A record edited out of the group leaves the filtered view.
    window->First();
    window->Edit();
    window->FieldByName("memberGr10")->SetAsBoolean(false);
    window->Post();
    EXPECT_TRUE(window->IsEmpty());

    // Emptying the filter text while filtered switches filtering off ("Show ALL").
    window->SetFilter("");
    EXPECT_FALSE(window->Filtered());
    EXPECT_EQ(window->RecordCount(), 4);

    // A text that does not compile changes nothing.
    window->SetFilter("memberGr2=true");
    window->SetFiltered(true);
    EXPECT_THROW(window->SetFilter("memberGr2 = = true"), EFilterError);
    EXPECT_EQ(window->Filter(), "memberGr2=true");

    // A filter set while closed applies at open; one that does not compile stops the open.
    window->Close();
    window->SetFilter("servicenumber = 1");
    window->Open();
    EXPECT_EQ(window->RecordCount(), 2);
    window->Close();
    window->SetFilter("servicenumber = 'x'");
    EXPECT_THROW(window->Open(), EFilterError);
    EXPECT_FALSE(window->Active());
}

TEST_F(ContactsTest, OnFilterRecordNarrowsKeySearches) {
    main_->SetOnFilterRecord(
        [](TDataSet* ds, bool& accept) { accept = ds->FieldByName("servicenumber")->AsInteger() == 1; });
    main_->SetFiltered(true);
    EXPECT_EQ(names(main_.get()), (Names{"alice", "Bob"}));
    EXPECT_FALSE(main_->FindKey({"Carol"}));
    main_->FindNearest({"c"});
    EXPECT_EQ(main_->FieldByName("name")->AsString(), "Bob"); // nothing after "c" passes: the last that does
}

TEST_F(ContactsTest, OlderTableWithoutPasswordAndOtherFailures) {
    TMemDatabase::DropAll();
    CreateContactsTable("pageBASE", false);
    auto old = open();
    EXPECT_THROW(old->FieldByName("password"), EDatabaseError);

    TMemTable missing;
    missing.SetDatabaseName("pageBASE");
    missing.SetTableName("nosuch");
    EXPECT_THROW(missing.Open(), EDatabaseError);
    missing.SetTableName("contacts");
    missing.SetIndexName("noIndex");
    EXPECT_THROW(missing.Open(), EDatabaseError);
    missing.SetIndexName("NAMEINDEX");
    missing.SetReadOnly(true);
    missing.Open();
    EXPECT_THROW(missing.Append(), EDatabaseError);
    EXPECT_THROW(TMemDatabase::CreateTable("pageBASE", "CONTACTS", {{"a", ftInteger}}, {}), EDatabaseError);
    EXPECT_THROW(TMemDatabase::CreateTable("pageBASE", "t", {{"a", ftString, 0}}, {}), EDatabaseError);
    EXPECT_THROW(TMemDatabase::CreateTable("pageBASE", "t", {{"a", ftInteger}}, {{"ix", "b", 0}}),
                 EDatabaseError);
}

TEST_F(ContactsTest, KeySearchesAndTheListFollowTheContactsWindowsChanges) {
    // The main window looks every recipient up in turn while the contacts window may change rows.
    auto window = open();
    ASSERT_TRUE(main_->FindKey({"bob"}));
    window->Append();
    window->FieldByName("name")->SetAsString("Aaron");
    window->FieldByName("id")->SetAsString("050");
    window->Post();
    ASSERT_TRUE(main_->FindKey({"aaron"}));
    EXPECT_FALSE(main_->FieldByName("memberGr3")->AsBoolean()); // null memberships are not "true"
    ASSERT_TRUE(window->FindKey({"Carol"}));
    window->Edit();
    window->FieldByName("id")->SetAsString("333");
    window->Post();
    ASSERT_TRUE(window->FindKey({"Bob"}));
    window->Delete();
    EXPECT_FALSE(main_->FindKey({"Bob"}));
    // lookupContact: FindKey on the name, then id, serviceNumber and password.
    ASSERT_TRUE(main_->FindKey({"CAROL"}));
    EXPECT_EQ(main_->FieldByName("id")->AsString(), "333");
    EXPECT_EQ(main_->FieldByName("serviceNumber")->AsInteger(), 2); // field names ignore case too
    EXPECT_EQ(main_->FieldByName("password")->AsString(), "pin300");
    EXPECT_EQ(names(main_.get()), (Names{"Aaron", "alice", "Carol", "dave"}));

    for (int k = 0; k < 300; ++k) {
        main_->Append();
        main_->FieldByName("name")->SetAsString("Contact " + std::to_string(1000 + k * 7 % 300));
        main_->FieldByName("id")->SetAsString(std::to_string(5000 + k * 7 % 300));
        main_->Post();
    }
    for (int k = 0; k < 300; ++k) {
        ASSERT_TRUE(main_->FindKey({"CONTACT " + std::to_string(1000 + k)})) << k;
        ASSERT_EQ(main_->FieldByName("id")->AsString(), std::to_string(5000 + k));
    }
    main_->FindNearest({"Contact 1299x"});
    EXPECT_EQ(main_->FieldByName("name")->AsString(), "dave");
}
