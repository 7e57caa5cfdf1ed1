// The main window's recipient modes, name search, message length and quick messages, driven
// through the widgets with synthetic mouse clicks and keys.
#include "tests/app/AppFixture.h"

#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextCursor>

using namespace snpptest;

namespace {

// Records the key presses that reach a widget.
class KeySpy : public QObject {
public:
    explicit KeySpy(QWidget* w) { w->installEventFilter(this); }
    std::vector<int> keys;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) keys.push_back(static_cast<QKeyEvent*>(e)->key());
        return false;
    }
};

class SelectTest : public AppTest {
protected:
    void start(const std::vector<Contact>& contacts, const std::string& groups = "") {
        pwtest::writeFile("snppqorn.ini", "[LOGGING]\nloggingEnabled=0\n[Groups]\n" + groups);
        startApp(contacts);
        list = form->namesListbox;
    }
    int indexOf(const std::string& name) const {
        const int i = list->Items.IndexOf(name);
        EXPECT_GE(i, 0) << name;
        return i;
    }
    // A click on the item's check box, or on its text.
    void clickBox(const std::string& name) {
        const QRect r = list->ItemRect(indexOf(name));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 4, r.center().y()));
    }
    void clickText(const std::string& name) {
        const QRect r = list->ItemRect(indexOf(name));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 60, r.center().y()));
    }
    void clickGroup(int row) {
        QListWidget* g = form->groupsListBox;
        const QRect r = g->visualItemRect(g->item(row));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, r.center());
    }
    std::string selected() const {
        const int i = list->ItemIndex();
        return i < 0 ? "<none>" : list->Items[i];
    }
    bool groupSelected() const { return !form->groupsListBox->selectedItems().isEmpty(); }
    std::string to() const { return labelText(form->toNameLabel); }
    std::string id() const { return labelText(form->toIDlabel); }
    // Sends text to the scripted server with the Send button; returns the pager ids paged.
    std::vector<std::string> sendAndPage(const std::string& text) {
        ScriptedServer server;
        pointService(1, server.port());
        setMessage(text);
        form->sendButton->click();
        EXPECT_TRUE(pumpUntil([&] { return statusLabel() == "DONE" || statusLabel() == "SUCCESS"; }));
        EXPECT_TRUE(pumpUntil([&] { return sendState == 1; }));
        return server.pagerIds();
    }

    TLncCheckList* list = nullptr;
};

const std::vector<Contact> kTeam = {{"Anna", "5551111", 1, "", {2}},
                                    {"Bert", "5552222", 1, "", {2}},
                                    {"Cleo", "5553333", 1, "", {10}},
                                    {"Dirk", "5554444", 0, "", {}}};

} // namespace

TEST_F(SelectTest, AClickOnANameSelectsThatOneRecipient) {
    start(kTeam, "group2Name=Ward\ngroup10Name=Night\n");
    clickGroup(1);
    EXPECT_EQ(to(), "[Group 10]") << "group 10 is not group 1";
    clickGroup(0);
    ASSERT_EQ(to(), "[Group 2]");

    clickText("Bert");
    EXPECT_EQ(id(), "5552222");
    EXPECT_EQ(list->ItemState(indexOf("Bert")), cbUnchecked) << "a click on the text only selects";
    EXPECT_FALSE(groupSelected());
    EXPECT_EQ(sendAndPage("Single"), std::vector<std::string>{"5552222"});
}

TEST_F(SelectTest, CheckingLeavesTheGroupModeAndTheSendGoesToTheChecked) {
    start(kTeam, "group2Name=Ward\n");
    clickGroup(0);
    clickBox("Cleo");
    EXPECT_EQ(to(), "[selected names]");
    EXPECT_FALSE(groupSelected());
    // With a name checked, a click on a name's text changes nothing.
    clickText("Anna");
    EXPECT_EQ(list->ItemState(indexOf("Anna")), cbUnchecked);
    // Unchecking by the program does not leave the multiple mode.
    clickBox("Bert");
    list->SetItemState(indexOf("Bert"), cbUnchecked);
    EXPECT_EQ(to(), "[selected names]");

    // Cleo is not in group 2: the send goes to her alone.
    EXPECT_EQ(sendAndPage("Not the ward"), std::vector<std::string>{"5553333"});
}

TEST_F(SelectTest, SelectAllAndDeselectAll) {
    start(kTeam, "group2Name=Ward\n");
    std::vector<int> stored;
    auto old = list->OnStateChange;
    list->OnStateChange = [&](QObject* s, int i, TCheckBoxState o, TCheckBoxState n) {
        stored.push_back(i);
        old(s, i, o, n);
    };
    form->checkAllButton->click();
    EXPECT_EQ(stored, (std::vector<int>{0, 1, 2, 3})) << "every item stored, first to last";

    form->uncheckAllButton->click();
    EXPECT_EQ(list->StateCount(cbChecked), 0);
    // With nothing to send to, Send says so.
    setMessage("Anyone?");
    form->sendButton->click();
    EXPECT_EQ(statusBar(), "Error: No recipient selected");

    // A chosen group survives "De-select All".
    form->checkAllButton->click();
    clickGroup(0);
    EXPECT_EQ(list->StateCount(cbChecked), 0) << "choosing a group unchecks every name";
    form->uncheckAllButton->click();
    EXPECT_EQ(to(), "[Group 2]");

    EXPECT_EQ(sendAndPage("Ward round"), (std::vector<std::string>{"5551111", "5552222"}));
}

namespace {
// Names whose order differs between a byte order and a dictionary order (case, punctuation,
// a letter above the ASCII range).
const std::vector<Contact> kNames = {{"adams", "1"},    {"Baker", "2"}, {"baxter", "3"}, {"Carl_x", "4"},
                                     {"CARLA", "5"},    {"Dora", "6"},  {"o'Neil", "7"}, {"Oates", "8"},
                                     {"\xC9mile", "9"}, {"zoe", "10"}};
} // namespace

TEST_F(SelectTest, TheSearchFindsTheFirstNameNotLessThanTheTextInListOrder) {
    start(kNames);
    ASSERT_EQ(list->Items.Count(), 10);
    for (int i = 1; i < list->Items.Count(); ++i)
        ASSERT_LT(compareNames(list->Items[i - 1], list->Items[i]), 0) << "the list is in the search's order";

    // Texts that are no name's prefix; every prefix is checked below.
    const std::pair<const char*, const char*> cases[] = {{"\xFF", "\xC9mile"}, {"ae", "Baker"}};
    for (const auto& [typed, expect] : cases) {
        form->typeNameedit->setText(cls::toQString(typed));
        EXPECT_EQ(selected(), expect) << "typed " << typed;
    }
    // Every prefix of every name, starting from wherever the last search left the selection.
    for (int i = 0; i < list->Items.Count(); ++i) {
        const std::string name = list->Items[i];
        for (size_t n = 1; n <= name.size(); ++n) {
            const std::string t = name.substr(0, n);
            form->typeNameedit->setText(cls::toQString(t));
            int first = 0;
            while (compareNames(list->Items[first], t) < 0)
                ++first;
            EXPECT_EQ(list->ItemIndex(), first) << "typed " << t;
        }
    }
    EXPECT_EQ(to(), "[ ]") << "the search only moves the selection";
}

TEST_F(SelectTest, EnterUpAndDownInTheSearchEditAreConsumed) {
    start(kNames);
    QLineEdit* edit = form->typeNameedit;
    KeySpy parent(edit->parentWidget());
    int returnPressed = 0;
    QObject::connect(edit, &QLineEdit::returnPressed, [&] { ++returnPressed; });

    // A key the edit does not use reaches its parent (the spy sees what is not consumed).
    QTest::keyClick(edit, Qt::Key_F5);
    ASSERT_EQ(parent.keys, std::vector<int>{Qt::Key_F5});
    parent.keys.clear();

    QTest::keyClicks(edit, "bak");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(id(), "2");
    EXPECT_EQ(returnPressed, 0);

    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(to(), "baxter");
    for (int k = 0; k < 3; ++k)
        QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(to(), "adams") << "the first stays selected";
    EXPECT_TRUE(parent.keys.empty()) << "Enter, Up and Down go no further than the handler";
    EXPECT_EQ(cls::fromQString(edit->text()), "bak");

    list->SetItemIndex(list->Items.Count() - 1);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(selected(), "\xC9mile") << "the last stays selected";

    // With a name checked the search keys move the selection only.
    clickBox("Dora");
    edit->clear();
    EXPECT_EQ(selected(), "adams") << "empty text selects the first name";
    QTest::keyClicks(edit, "oa");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(selected(), "Oates");
    EXPECT_EQ(to(), "[selected names]");

    // An empty list: the search has nothing to move.
    list->Items.Clear();
    QTest::keyClicks(edit, "x");
    EXPECT_EQ(selected(), "<none>");
}

TEST_F(SelectTest, QuickMessagesAndTheLengthLabel) {
    // A hand-edited settings file can hold a longer quick message than the memo takes.
    const std::string longest = "10 " + std::string(1190, 'x') + " end";
    start(kTeam, "[GENERAL]\nmessage7=" + longest + "\n");
    form->messageMemo->setFocus();
    typeKeys(form->messageMemo, "Caf\xE9 at 5");
    EXPECT_EQ(labelText(form->lengthLabel), "(9 chars.)");

    form->pickButtons[3]->click();
    quickMessages[5].clear();
    form->pickButtons[5]->click();
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), "Call the office") << "empty: no change";
    EXPECT_EQ(labelText(form->lengthLabel), "(15 chars.)");

    form->pickButtons[7]->click();
    const std::string cut = longest.substr(0, 999);
    EXPECT_EQ(cls::fromQString(form->messageMemo->toPlainText()), cut);
    EXPECT_EQ(labelText(form->lengthLabel), "(999 chars.)");

    // A full memo refuses further keys wherever the cursor stands, and keeps its text as it was.
    QPlainTextEdit* memo = form->messageMemo;
    for (int at : {0, 3, 999}) {
        QTextCursor c = memo->textCursor();
        c.setPosition(at);
        memo->setTextCursor(c);
        typeKeys(memo, "zyx");
        EXPECT_EQ(cls::fromQString(memo->toPlainText()), cut) << "cursor at " << at;
        EXPECT_EQ(memo->textCursor().position(), at);
    }
    // With room for two, two of three keys go in where the cursor stands.
    QTest::keyClick(memo, Qt::Key_Backspace);
    QTest::keyClick(memo, Qt::Key_Backspace);
    QTextCursor c = memo->textCursor();
    c.setPosition(3);
    memo->setTextCursor(c);
    typeKeys(memo, "zyx");
    EXPECT_EQ(cls::fromQString(memo->toPlainText()), "10 zy" + cut.substr(3, 994));
    EXPECT_EQ(labelText(form->lengthLabel), "(999 chars.)");
}

// The message is one line: Tab moves the focus as in every other box, Return adds nothing, and a
// tab or line break that comes by paste is a blank in the memo and in the page.
TEST_F(SelectTest, TabInTheMessageMovesTheFocusAndNoTabOrLineBreakIsPaged) {
    start(kTeam);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QPlainTextEdit* memo = form->messageMemo;
    memo->setFocus();
    ASSERT_TRUE(memo->hasFocus());
    QTest::keyClicks(memo, "Back at");
    QTest::keyClick(memo, Qt::Key_Tab);
    EXPECT_FALSE(memo->hasFocus());
    EXPECT_TRUE(QApplication::focusWidget() && QApplication::focusWidget()->window() == form.get());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(memo->hasFocus());
    memo->moveCursor(QTextCursor::End);
    QTest::keyClick(memo, Qt::Key_Return);
    QTest::keyClicks(memo, " 5");
    EXPECT_EQ(cls::fromQString(memo->toPlainText()), "Back at 5");

    QApplication::clipboard()->setText("\tpm\r\nroom\n2\u2029B");
    QTest::keyClick(memo, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(cls::fromQString(memo->toPlainText()), "Back at 5 pm room 2 B");
    EXPECT_EQ(labelText(form->lengthLabel), "(21 chars.)");

    ScriptedServer server;
    pointService(1, server.port());
    selectSingle("Anna");
    QTest::mouseClick(form->sendButton, Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return statusLabel() == "SUCCESS" && sendState == 1; }));
    EXPECT_EQ(server.texts(), std::vector<std::string>{"Back at 5 pm room 2 B"});
}
