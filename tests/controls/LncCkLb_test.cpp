// Check-list box: the state model, the click and key cycles with their events, drawing at the
// box geometry and colours, tab stops and the horizontal extent.
#include "controls/LncCkLb.h"
#include "controls/LncExcpt.h"
#include "controls/LncSrMgr.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using Strings = std::vector<std::string>;

class CheckListTest : public testing::Test {
protected:
    void SetUp() override {
        form.resize(300, 400);
        controller = new TLncController(&form);
        list = new TLncCheckList(&form);
        list->setObjectName("namesListbox");
        list->setGeometry(10, 10, 200, 150);
        list->SetItemHeight(16);
        list->SetSorted(true);
        list->OnClick = [this](QObject* s) {
            EXPECT_EQ(s, list);
            events.push_back("click");
        };
        list->OnDblClick = [this](QObject*) { events.push_back("dblclick"); };
        list->OnStateChange = [this](QObject* s, int i, TCheckBoxState o, TCheckBoxState n) {
            EXPECT_EQ(s, list);
            events.push_back("state " + std::to_string(i) + " " + std::to_string(o) + ">" +
                             std::to_string(n));
        };
        form.show();
    }

    void fill(std::initializer_list<const char*> names) {
        for (const char* n : names)
            list->Items.Add(n);
    }
    // Left clicks at a point of the item area (viewport coordinates).
    void click(int x, int y) { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(x, y)); }
    void doubleClick(int x, int y) {
        click(x, y);
        QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(x, y),
                        list->viewport()->mapToGlobal(QPointF(x, y)), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &dbl);
        QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, QPoint(x, y));
    }
    // One letter per item: '-' unchecked, 'x' checked, 'g' grayed, '?' anything else.
    std::string states() const {
        std::string s;
        for (int i = 0; i < list->Items.Count(); ++i)
            s += "-xg?"[std::min(unsigned(list->ItemState(i)), 3u)];
        return s;
    }
    Strings items() const {
        Strings s;
        for (int i = 0; i < list->Items.Count(); ++i)
            s.push_back(list->Items[i]);
        return s;
    }
    // The events since the last call.
    Strings take() { return std::exchange(events, {}); }

    QWidget form;
    TLncController* controller;
    TLncCheckList* list;
    Strings events;
};

QColor pixel(const QImage& img, int x, int y) {
    return QColor(img.pixel(x, y));
}

} // namespace

TEST_F(CheckListTest, StateModel) {
    list->SetItemState(0, cbChecked); // no item: nothing, no event
    EXPECT_EQ(list->ItemState(0), cbUnchecked);
    fill({"Moss", "Cole"});
    list->SetItemState(2, cbChecked);
    list->SetItemState(1, cbChecked); // Moss
    list->SetItemState(1, cbChecked); // the event comes also when nothing changes
    EXPECT_EQ(take(), (Strings{"state 1 0>1", "state 1 1>1"}));

    // Sorted adds keep every state with its item.
    list->SetItemIndex(1);
    for (const char* n : {"abel", "Zeta", "cole"})
        list->Items.Add(n);
    EXPECT_EQ(items(), (Strings{"abel", "Cole", "cole", "Moss", "Zeta"}));
    EXPECT_EQ(states(), "---x-");
    EXPECT_EQ(list->ItemIndex(), 3); // the selection follows its item
    list->SetItemState(4, cbGrayed);

    list->Items.Delete(1);
    EXPECT_EQ(states(), "--xg");
    list->Items.Insert(0, "first"); // an insert at a place shifts the states behind it
    EXPECT_EQ(states(), "---xg");
    EXPECT_THROW(list->Items.Delete(5), cls::EListError);

    // Clear and refill: every state unchecked.
    list->Items.Clear();
    fill({"a", "b", "c"});
    EXPECT_EQ(list->StateCount(cbUnchecked), 3);

    // Sorting an unsorted list takes the states along.
    TLncCheckList plain(&form);
    for (const char* n : {"c", "a", "b"})
        plain.Items.Add(n);
    plain.SetItemState(0, cbChecked);
    plain.SetItemIndex(0);
    plain.SetSorted(true);
    EXPECT_EQ(plain.ItemState(2), cbChecked); // "c"
    EXPECT_EQ(plain.ItemIndex(), 2);
}

TEST_F(CheckListTest, MouseClickCycle) {
    fill({"alpha", "beta", "gamma"});
    int y = 16 + 8; // "beta"
    click(5, y);
    click(5, y);
    EXPECT_EQ(take(), (Strings{"state 1 0>1", "click", "state 1 1>0", "click"}));
    EXPECT_EQ(list->ItemIndex(), 1); // a box click selects too

    list->SetThreeState(true);
    for (int i = 0; i < 3; ++i)
        click(5, y);
    EXPECT_EQ(take(), (Strings{"state 1 0>2", "click", "state 1 2>1", "click", "state 1 1>0", "click"}));

    // The box area ends at left + ItemHeight - BoxMargin div 2 = 16.
    list->SetThreeState(false);
    click(16, 8);
    click(17, 8);
    EXPECT_EQ(take(), (Strings{"state 0 0>1", "click", "click"}));

    // A text click with BoxClickOnly only selects; without it the state cycles.
    click(100, 40);
    EXPECT_EQ(list->ItemIndex(), 2);
    EXPECT_EQ(take(), Strings{"click"});
    list->SetBoxClickOnly(false);
    click(100, 40);
    EXPECT_EQ(take(), (Strings{"state 2 0>1", "click"}));

    // Below the last item, and with the right button, nothing happens.
    click(5, 100);
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, QPoint(5, 8));
    list->SetItemIndex(0); // selecting from the program is no click
    EXPECT_TRUE(take().empty());
}

TEST_F(CheckListTest, DoubleClicks) {
    fill({"alpha", "beta"});
    doubleClick(5, 8);
    // The second press of a double click is the double click: one state change.
    EXPECT_EQ(take(), (Strings{"state 0 0>1", "click", "click", "dblclick"}));

    list->SetWantDblClicks(false);
    doubleClick(5, 24);
    EXPECT_EQ(take(), (Strings{"state 1 0>1", "click", "state 1 1>0", "click"}));
}

TEST_F(CheckListTest, KeyboardSpaceOnly) {
    fill({"alpha", "beta", "gamma"});
    list->SetFocus();
    QTest::keyClick(list, Qt::Key_Space); // no current item
    EXPECT_TRUE(take().empty());
    list->SetItemIndex(1);
    list->OnKeyPress = [&](QObject*, char& k) {
        if (k == 'q') k = ' '; // a handler may turn a key into Space
    };
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_EQ(take(), (Strings{"state 1 0>1", "click"}));
    QTest::keyClick(list, Qt::Key_Return); // other keys check nothing
    EXPECT_TRUE(take().empty());
    QTest::keyClick(list, Qt::Key_Q);
    EXPECT_EQ(take(), (Strings{"state 1 1>0", "click"}));
    list->OnKeyPress = [](QObject*, char& k) { k = 0; }; // a consumed key does nothing
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_TRUE(take().empty());

    // Navigation keys move the selection and report it as a click; at the end there is no change.
    list->OnKeyPress = nullptr;
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(take(), (Strings{"click"}));
}

TEST_F(CheckListTest, HandlerExceptionsReachTheExceptionDisplay) {
    fill({"alpha", "beta"});
    Strings shown;
    cls::SetApplicationExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
    list->OnClick = [](QObject*) { throw cls::Exception("lookup failed"); };
    click(5, 8);
    list->SetFocus();
    QTest::keyClick(list, Qt::Key_Space);
    cls::SetApplicationExceptionHandler(nullptr);
    EXPECT_EQ(shown, (Strings{"lookup failed", "lookup failed"}));
    // The state changes before the click went through; the list stays usable.
    EXPECT_EQ(states(), "--");
    EXPECT_EQ(list->ItemIndex(), 0);
}

TEST_F(CheckListTest, MissingControllerRaises) {
    QWidget bare;
    auto* orphan = new TLncCheckList(&bare);
    EXPECT_THAT([&] { orphan->Items.Add("x"); },
                testing::ThrowsMessage<ENoControllerAssigned>(testing::StrEq("No Controller assigned")));
    EXPECT_EQ(orphan->Items.Count(), 0);

    // Shown without a controller: the failure reaches the exception display.
    Strings reported;
    cls::SetApplicationExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
    bare.show();
    cls::SetApplicationExceptionHandler(nullptr);
    EXPECT_EQ(reported, Strings{"No Controller assigned"});

    // An explicitly assigned controller from elsewhere is enough; its destruction unassigns it.
    auto* foreign = new TLncController;
    orphan->SetController(foreign);
    EXPECT_EQ(orphan->Items.Add("x"), 0);
    delete foreign;
    EXPECT_EQ(orphan->Controller(), nullptr);
}

TEST_F(CheckListTest, BoxMarginKeepsABox) {
    list->SetItemHeight(16);
    list->SetBoxMargin(8); // 16 - 16 leaves no box
    EXPECT_EQ(list->BoxMargin(), 1);
    list->SetBoxMargin(7);
    EXPECT_EQ(list->BoxSize(), 1);
}

TEST_F(CheckListTest, RenderedBoxesFramesMarksAndSelection) {
    QPalette pal = list->palette();
    pal.setColor(QPalette::Highlight, QColor(0, 0, 200));
    pal.setColor(QPalette::HighlightedText, QColor(255, 255, 0));
    list->setPalette(pal);
    list->SetColor(QColor(240, 240, 240));
    list->SetCheckColor(QColor(255, 0, 0));
    list->SetThreeState(true);
    fill({"a checked", "b grayed", "c plain", "d selected"});
    list->SetItemState(0, cbChecked);
    list->SetItemState(1, cbGrayed);
    list->SetItemIndex(3);
    QImage img = list->viewport()->grab().toImage();
    ASSERT_GE(img.height(), 64);

    // Item 2: an unchecked box of side 13 at (1, 1) inside the item.
    int top = 32, x0 = 1, y0 = top + 1, s = 13, mid = s / 2;
    EXPECT_EQ(pixel(img, x0 + mid, y0), QColor(80, 100, 128));          // outer top
    EXPECT_EQ(pixel(img, x0 + mid, y0 + s - 1), QColor(192, 204, 216)); // outer bottom
    EXPECT_EQ(pixel(img, x0 + mid, y0 + mid), QColor(Qt::white));       // BoxColor, no mark
    EXPECT_EQ(pixel(img, 0, top + 8), QColor(240, 240, 240));           // the margin has the list's colour

    // Item 0: the tick in CheckColor, inside the 3-pixel inset.
    EXPECT_EQ(pixel(img, x0 + 3 + 2, 1 + 3 + 6 - 2), QColor(255, 0, 0)); // the tick's lowest point

    // Item 1: the light-gray dither with the mark.
    QColor a = pixel(img, x0 + 2, 16 + 1 + 2), b = pixel(img, x0 + 3, 16 + 1 + 2);
    EXPECT_TRUE((a == QColor(192, 192, 192) && b == QColor(Qt::white)) ||
                (b == QColor(192, 192, 192) && a == QColor(Qt::white)));
    EXPECT_EQ(pixel(img, x0 + 3 + 2, 16 + 1 + 3 + 6 - 2), QColor(255, 0, 0));

    // Item 3 is selected: highlight from one pixel left of the text start (x 15).
    EXPECT_EQ(pixel(img, 14, 48 + 8), QColor(0, 0, 200));
    EXPECT_EQ(pixel(img, 13, 48 + 8), QColor(192, 204, 216)); // still the box frame
}

TEST_F(CheckListTest, GlyphsMoveTheText) {
    ctl::ImageList glyphs(10, 10);
    QImage green(4, 4, QImage::Format_RGB32);
    green.fill(QColor(0, 160, 0));
    glyphs.Add(green);
    fill({"one", "two"});
    list->SetGlyphs(&glyphs);
    list->SetShowGlyphs(true);
    list->SetItemGlyph(0, 0);
    list->SetItemGlyph(1, 5); // outside the list: none
    list->SetItemIndex(0);
    QImage img = list->viewport()->grab().toImage();
    EXPECT_EQ(pixel(img, 24, 12), QColor(0, 160, 0));
    EXPECT_EQ(pixel(img, 25, 8), list->palette().color(QPalette::Highlight)); // text at 15 + 1 + 10
    EXPECT_NE(pixel(img, 24, 8), list->palette().color(QPalette::Highlight));
    list->Items.Add("a0");
    EXPECT_EQ(list->ItemGlyph(0), -1); // the glyph indexes follow their items
    EXPECT_EQ(list->ItemGlyph(1), 0);
}

TEST_F(CheckListTest, TabStopsAndHorizontalExtent) {
    QFont f = list->font();
    f.setPixelSize(12);
    list->setFont(f);
    QFontMetrics fm(f);
    int avg = fm.horizontalAdvance(QString::fromStdString(LncGetString(30281))) / 52;
    ASSERT_GT(avg, 0);
    int base = int(ctl::DialogBaseUnits() & 0xFFFF);
    int changes = 0;
    list->OnTabStopsChange = [&](QObject*) { ++changes; };

    list->SetTabStops({"10", "20"});
    list->Items.Add("x"); // creates the window: the stops are applied
    EXPECT_EQ(list->TabStopPixels(), (std::vector<int>{10 * avg, 20 * avg}));
    EXPECT_EQ(list->TabStopDialogUnits(), (std::vector<int>{10 * avg * 4 / base, 20 * avg * 4 / base}));
    for (Strings bad : {Strings{"10", "x2"}, Strings{""}, Strings{"99999999999"}})
        EXPECT_THROW(list->SetTabStops(bad), cls::EConvertError);
    EXPECT_EQ(list->TabStops(), (Strings{"10", "20"}));
    EXPECT_EQ(changes, 1);
    list->SetTabStops(Strings(150, "1"));
    EXPECT_EQ(list->TabStopPixels().size(), 100u);
    EXPECT_EQ(changes, 2);

    // Without HorizontalScroll no extent is set.
    EXPECT_EQ(list->HorizontalExtent(), 0);
    list->SetHorizontalScroll(true);
    auto w = [&](const char* s) { return fm.horizontalAdvance(QString(s)); };
    list->SetTabStops({});
    list->Items.Add("a much longer item text");
    list->Items.Add("mid");
    EXPECT_EQ(list->HorizontalExtent(), w("a much longer item text") + 21);
    list->Items.Delete(list->Items.IndexOf("A MUCH LONGER ITEM TEXT"));
    EXPECT_EQ(list->HorizontalExtent(), std::max(w("x"), w("mid")) + 21);

    // Tabbed texts are measured at the pixel tab positions.
    list->SetTabStops({"30", "40"});
    list->Items.Add("ab\tc\td");
    EXPECT_EQ(list->HorizontalExtent(), 40 * avg + w("d") + 21);
    // Huge stops and many tabs stay within range.
    list->SetTabStops({"2000000000"});
    list->Items.Add("a\t\t\t\t\t\t\t\tb");
    EXPECT_GT(list->HorizontalExtent(), 0);
}
