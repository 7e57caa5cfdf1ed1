// The results memo: lines in the order added, empty lines kept and as tall as the others, the last
// line kept in view unless the reader scrolled away, and whole lines copied in their order.
#include "app/results.h"

#include "classlib/ui/QtText.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

namespace {

std::vector<std::string> numbered(int from, int count) {
    std::vector<std::string> lines;
    for (int i = from; i < from + count; ++i)
        lines.push_back("Sending to: Contact " + std::to_string(i) + " ...");
    return lines;
}

bool inView(const TResultsMemo& memo, int row) {
    const QRect r = memo.visualRect(memo.model()->index(row, 0));
    return !r.isEmpty() && memo.viewport()->rect().contains(r);
}

TEST(ResultsWindow, LinesKeepTheirOrderAndTheLastStaysInView) {
    TsendingMemoForm form;
    form.resize(320, 240);
    form.show();
    TResultsMemo& memo = *form.sendingMemo;
    // An empty line first: the view's uniform line height must not come from it.
    memo.appendLines({"", "CONNECTING TO SERVICE: One ..."});
    memo.appendLines(numbered(0, 300));
    memo.appendLines({"", "300 of 300 MESSAGES SENT OK"});
    QApplication::processEvents();
    ASSERT_EQ(memo.lineCount(), 304);
    EXPECT_EQ(memo.line(0), "");
    EXPECT_EQ(memo.line(2), "Sending to: Contact 0 ...");
    EXPECT_EQ(memo.line(303), "300 of 300 MESSAGES SENT OK");
    const std::string text = form.linesText();
    EXPECT_EQ(text.substr(0, 32), "\nCONNECTING TO SERVICE: One ...\n");
    EXPECT_EQ(text.substr(text.size() - 29), "\n\n300 of 300 MESSAGES SENT OK");
    const int empty = memo.visualRect(memo.model()->index(0, 0)).height();
    EXPECT_GT(empty, 0);
    EXPECT_EQ(empty, memo.visualRect(memo.model()->index(3, 0)).height());
    EXPECT_TRUE(inView(memo, 303));

    // A reader who scrolled back is left where they are.
    memo.scrollToTop();
    memo.appendLines(numbered(300, 50));
    QApplication::processEvents();
    EXPECT_TRUE(inView(memo, 0));
    EXPECT_FALSE(inView(memo, 353));
    memo.scrollToBottom();
    memo.appendLines({"last"});
    QApplication::processEvents();
    EXPECT_TRUE(inView(memo, 354));

    memo.clear();
    EXPECT_EQ(memo.lineCount(), 0);
    EXPECT_EQ(form.linesText(), "");
    memo.appendLines({"again"});
    EXPECT_EQ(form.linesText(), "again");
}

TEST(ResultsWindow, CopyGivesTheSelectedLinesInTheirOrder) {
    TsendingMemoForm form;
    form.show();
    TResultsMemo& memo = *form.sendingMemo;
    memo.appendLines({"first", "", "third", "fourth"});
    QApplication::processEvents();
    auto* selection = memo.selectionModel();
    // Picked last line first: the copy still follows the memo's order, the empty line included.
    selection->select(memo.model()->index(3, 0), QItemSelectionModel::Select);
    selection->select(memo.model()->index(1, 0), QItemSelectionModel::Select);
    selection->select(memo.model()->index(0, 0), QItemSelectionModel::Select);
    QApplication::clipboard()->setText("before");
    memo.setFocus();
    QTest::keySequence(&memo, QKeySequence::Copy);
    EXPECT_EQ(QApplication::clipboard()->text(), "first\n\nfourth");
    // Nothing selected: the clipboard keeps what it had.
    selection->clearSelection();
    QApplication::clipboard()->setText("kept");
    memo.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), "kept");
    selection->select(memo.model()->index(1, 0), QItemSelectionModel::Select);
    memo.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), "");
    QTest::keySequence(&memo, QKeySequence::SelectAll);
    memo.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), "first\n\nthird\nfourth");
}

// Lines are drawn as text, a selected one on the highlight colour; system text shows as Qt text.
TEST(ResultsWindow, LinesAreDrawnAndTheSelectedOneHighlighted) {
    TsendingMemoForm form;
    form.resize(320, 240);
    form.show();
    TResultsMemo& memo = *form.sendingMemo;
    memo.appendLines({std::string("Sending to: Ren") + char(0xE9) + "e ...", "MESSAGE SENT OK", ""});
    EXPECT_EQ(memo.line(0), QString::fromUtf8("Sending to: Ren\u00e9e ..."));
    memo.selectionModel()->select(memo.model()->index(1, 0), QItemSelectionModel::Select);
    QApplication::processEvents();
    const QImage image = memo.viewport()->grab().toImage();
    auto rowOf = [&](int row) { return memo.visualRect(memo.model()->index(row, 0)); };
    // Pixels of one row unlike its left edge: the text drawn in it.
    auto inked = [&](int row) {
        const QRect r = rowOf(row);
        const QRgb edge = image.pixel(r.left() + 1, r.center().y());
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x < std::min(r.right(), image.width()); ++x)
                n += image.pixel(x, y) != edge;
        return n;
    };
    const QRgb base = image.pixel(rowOf(2).left() + 1, rowOf(2).center().y());
    EXPECT_EQ(base, image.pixel(rowOf(0).left() + 1, rowOf(0).center().y()));
    EXPECT_NE(base, image.pixel(rowOf(1).left() + 1, rowOf(1).center().y()));
    EXPECT_GT(inked(0), 50);
    EXPECT_GT(inked(1), 50);
    EXPECT_EQ(inked(2), 0);
}

} // namespace
