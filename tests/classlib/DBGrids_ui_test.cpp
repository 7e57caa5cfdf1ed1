// Tests of the read-only data grid over the in-memory contacts table: rows in index order,
// following inserts, deletes, edits and filters, and the tie between the selected row and the
// dataset's current record in both directions.
#include "classlib/ui/DBCtrls.h"
#include "classlib/ui/DBGrids.h"
#include "tests/classlib/ContactsFixture.h"

#include <gtest/gtest.h>

#include <QMouseEvent>

using namespace cls;

namespace {

class DBGridTest : public pwtest::ContactsFormTest {
protected:
    void SetUp() override {
        ContactsFormTest::SetUp();
        addContact("Carol", "300", true);
        addContact("alice", "100", true);
        addContact("Bob", "200", false);
        addContact("dave", "400", false);
        table->First();
        grid = new TDBGrid(form.get());
        grid->AddColumn("name", "Name");
        grid->AddColumn("id", "ID / Alias", 120);
        grid->SetDataSource(source.get());
        grid->setGeometry(0, 0, 400, 300);
        nameEdit = bind<TDBEdit>("name", 310);
        nameEdit->resize(200, 24);
        form->resize(420, 360);
        form->show();
    }

    std::vector<std::string> names() const {
        std::vector<std::string> r;
        for (int i = 0; i < grid->RowCount(); ++i)
            r.push_back(grid->CellText(i, 0));
        return r;
    }

    // A left click on a row, as the mouse gives it; the move itself runs from the event loop.
    void clickRow(int row) {
        QModelIndex i = grid->model()->index(row, 0);
        grid->scrollTo(i);
        QPoint p = grid->visualRect(i).center();
        for (auto [type, buttons] : {std::pair(QEvent::MouseButtonPress, Qt::LeftButton),
                                     std::pair(QEvent::MouseButtonRelease, Qt::NoButton)}) {
            QMouseEvent e(type, p, grid->viewport()->mapToGlobal(p), Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(grid->viewport(), &e);
        }
        QApplication::processEvents();
    }
    static void key(QWidget* w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        pwtest::key(w, k, {}, mods);
        QApplication::processEvents();
    }

    TDBGrid* grid = nullptr;
    TDBEdit* nameEdit = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(DBGridTest, ShowsOneRowPerRecordInIndexOrder) {
    EXPECT_EQ(names(), (Names{"alice", "Bob", "Carol", "dave"}));
    EXPECT_EQ(grid->CellText(2, 1), "300");
    EXPECT_EQ(grid->model()->flags(grid->model()->index(0, 0)) & Qt::ItemIsEditable, 0);

    // Without columns of its own the grid shows the visible fields under their display labels.
    TDBGrid all(form.get());
    for (TField* f : table->Fields())
        f->Visible = f->FieldName() == "name" || f->FieldName() == "memberGr1";
    table->FieldByName("memberGr1")->displayLabel = "Group 1";
    all.SetDataSource(source.get());
    ASSERT_EQ(all.ColumnCount(), 2);
    EXPECT_EQ(all.model()->headerData(1, Qt::Horizontal).toString(), "Group 1");
    EXPECT_EQ(all.CellText(1, 1), "False");

    // Closing empties the grid, opening fills it again.
    table->Close();
    EXPECT_EQ(grid->RowCount(), 0);
    EXPECT_EQ(grid->Columns(0).Field(), nullptr);
    table->Open();
    EXPECT_EQ(names(), (Names{"alice", "Bob", "Carol", "dave"}));

    // Windows-1252 text shows as the same characters.
    table->Edit();
    table->FieldByName("name")->SetAsString("caf\xE9 \x80");
    EXPECT_EQ(grid->model()->data(grid->model()->index(grid->Row(), 0)).toString(),
              QString::fromUtf8("caf\u00e9 \u20ac"));
}

TEST_F(DBGridTest, FollowsInsertPostEditAndDelete) {
    table->Append();
    table->FieldByName("name")->SetAsString("Bea");
    EXPECT_EQ(grid->CellText(4, 0), "Bea"); // the row being inserted shows what is set
    table->Post();
    EXPECT_EQ(grid->Row(), 1);

    // An edit moves the row to its new place when posted.
    table->Edit();
    table->FieldByName("name")->SetAsString("Zack");
    table->Post();
    EXPECT_EQ(names(), (Names{"alice", "Bob", "Carol", "dave", "Zack"}));
    EXPECT_EQ(grid->Row(), 4);

    table->Delete();
    EXPECT_EQ(grid->CellText(grid->Row(), 0), current());

    // An insert in the middle shows a blank row there until it is cancelled.
    table->First();
    table->Next();
    table->Insert();
    EXPECT_EQ(names(), (Names{"alice", "", "Bob", "Carol", "dave"}));
    table->Cancel();
    EXPECT_EQ(names(), (Names{"alice", "Bob", "Carol", "dave"}));

    // Emptying the table leaves no rows and no selection.
    table->First();
    while (!table->IsEmpty())
        table->Delete();
    EXPECT_EQ(grid->RowCount(), 0);
    EXPECT_EQ(grid->Row(), -1);
}

TEST_F(DBGridTest, FollowsTheFilter) {
    table->SetFilter("memberGr1=true");
    table->SetFiltered(true);
    EXPECT_EQ(names(), (Names{"alice", "Carol"}));
    table->SetFiltered(false);
    EXPECT_EQ(grid->RowCount(), 4);
}

TEST_F(DBGridTest, SelectedRowAndCurrentRecordFollowEachOther) {
    clickRow(2);
    EXPECT_EQ(nameEdit->text(), "Carol");
    grid->setFocus();
    key(grid, Qt::Key_Down);
    key(grid, Qt::Key_Up);
    key(grid, Qt::Key_Up);
    EXPECT_EQ(current(), "Bob");
    EXPECT_EQ(table->State(), dsBrowse);
    table->MoveBy(2);
    EXPECT_EQ(grid->Row(), 3);
}

TEST_F(DBGridTest, ChoosingAnotherRowWhileEditingPostsFirst) {
    // alice is renamed in the edit and then Bob is clicked: the new name is stored and Bob is
    // current although posting moved the rows.
    nameEdit->selectAll();
    nameEdit->insert("Zed");
    clickRow(1);
    EXPECT_EQ(table->State(), dsBrowse);
    EXPECT_EQ(names(), (Names{"Bob", "Carol", "dave", "Zed"}));
    EXPECT_EQ(current(), "Bob");

    // A refused post keeps the record being edited current and selected.
    table->BeforePost = [](TDataSet* ds) {
        if (ds->FieldByName("name")->AsString().empty()) Abort();
    };
    nameEdit->selectAll();
    nameEdit->del();
    clickRow(2);
    EXPECT_EQ(table->State(), dsEdit);
    EXPECT_EQ(grid->Row(), 0);
    EXPECT_EQ(dialogs.Texts(), Names{}); // the abort is silent
    table->Cancel();
    EXPECT_EQ(current(), "Bob");

    // Leaving an untouched insert drops it.
    table->Append();
    clickRow(1);
    EXPECT_EQ(names(), (Names{"Bob", "Carol", "dave", "Zed"}));
    EXPECT_EQ(current(), "Carol");
}

// Past the records the grid keeps at once, the arrows at the window's edges move the dataset on.
TEST_F(DBGridTest, ArrowsMovePastAWindowThatDoesNotHoldEveryRecord) {
    CreateContactsTable("big");
    auto bigTable = pwtest::openContacts("big");
    TMemTable& big = *bigTable;
    const int n = 10003;
    for (int i = 0; i < n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "r%05d", i);
        pwtest::addContact(big, name, "", false);
    }
    big.First();
    TDataSource bigSource(nullptr);
    bigSource.SetDataSet(&big);
    TDBGrid g(form.get());
    g.AddColumn("name", "Name");
    g.SetDataSource(&bigSource);
    g.setGeometry(0, 0, 300, 200);
    int window = g.RowCount();
    ASSERT_GT(window, 1);
    ASSERT_LT(window, n);
    g.setFocus();
    key(&g, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(big.FieldByName("name")->AsString(), g.CellText(window - 1, 0));
    for (int i = 0; i < n - window + 2; ++i)
        key(&g, Qt::Key_Down);
    EXPECT_EQ(g.CellText(g.Row(), 0), "r10002");
    EXPECT_EQ(g.Row(), window - 1);
    key(&g, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < n; ++i)
        key(&g, Qt::Key_Up);
    EXPECT_EQ(big.FieldByName("name")->AsString(), "r00000");
    EXPECT_EQ(g.CellText(0, 0), "r00000");
}

TEST_F(DBGridTest, GridAndDataSourceCanGoInEitherOrder) {
    {
        TDBGrid g(form.get());
        g.SetDataSource(source.get());
        EXPECT_EQ(g.RowCount(), 4);
    }
    source.reset();
    EXPECT_EQ(grid->RowCount(), 0);
    table->Next();
    EXPECT_EQ(current(), "Bob");
}

} // namespace
