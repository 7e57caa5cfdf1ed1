// The check-list box: per-item check states kept in step with the items, the click and key
// cycles, and the drawing of box, frame, mark, glyph and text.
#include "controls/LncCkLb.h"

#include <QPainter>
#include <cstdlib>

// ---- image list --------------------------------------------------------------------------------

int ctl::ImageList::Add(const QImage& Image) {
    images_.push_back(Image.scaled(width_, height_));
    return Count() - 1;
}

void ctl::ImageList::Draw(QPainter& Canvas, int X, int Y, int Index) const {
    if (Index >= 0 && Index < Count()) Canvas.drawImage(X, Y, images_[Index]);
}

// ---- check list --------------------------------------------------------------------------------

namespace {
// Frame colours of the box.
const QColor kFrameOuter(192, 204, 216);
const QColor kFrameOuterTopLeft(80, 100, 128);
const QColor kFrameInnerTopLeft(0, 0, 0);
const QColor kFrameInnerBottomRight(128, 152, 176);

// A one-pixel line, both ends included, clipped to a rectangle.
void line(QPainter& c, int x0, int y0, int x1, int y1, const QColor& col, const QRect& clip) {
    int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    while (true) {
        if (clip.contains(x0, y0)) c.fillRect(x0, y0, 1, 1, col);
        if (x0 == x1 && y0 == y1) break;
        int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}
} // namespace

TLncCheckList::TLncCheckList(QWidget* Parent) : TLncCustomListBox(Parent) {
    resize(121, 150);
    grayPattern_ = LncLoadBitmap("LTGRAYBITMAP");
}

TCheckBoxState TLncCheckList::ItemState(int Index) const {
    if (Index < 0 || Index >= static_cast<int>(states_.size())) return cbUnchecked;
    return static_cast<TCheckBoxState>(states_[Index]);
}

void TLncCheckList::SetItemState(int Index, TCheckBoxState State) {
    if (Index < 0 || Index >= Items.Count()) return;
    if (static_cast<int>(states_.size()) < Items.Count()) states_.resize(Items.Count(), cbUnchecked);
    TCheckBoxState old = static_cast<TCheckBoxState>(states_[Index]);
    states_[Index] = State;
    RepaintItem(Index);
    if (OnStateChange) OnStateChange(this, Index, old, State);
}

int TLncCheckList::StateCount(TCheckBoxState State) const {
    int n = 0, count = Items.Count();
    for (int i = 0; i < count; ++i)
        if (ItemState(i) == State) ++n;
    return n;
}

int TLncCheckList::ItemGlyph(int Index) const {
    if (Index < 0 || Index >= static_cast<int>(glyphIndex_.size())) return -1;
    return glyphIndex_[Index];
}

void TLncCheckList::SetItemGlyph(int Index, int Glyph) {
    if (Index < 0 || Index >= static_cast<int>(glyphIndex_.size())) return;
    glyphIndex_[Index] = Glyph;
    RepaintItem(Index);
}

void TLncCheckList::SetBoxColor(const QColor& C) {
    boxColor_ = C;
    viewport()->update();
}

void TLncCheckList::SetBoxMargin(int V) {
    if (V < 1 || ItemHeight() - 2 * V <= 0 || V == boxMargin_) return;
    boxMargin_ = V;
    viewport()->update();
}

QColor TLncCheckList::CheckColor() const {
    return checkColor_.isValid() ? checkColor_ : palette().color(QPalette::Text);
}

void TLncCheckList::SetCheckColor(const QColor& C) {
    checkColor_ = C;
    viewport()->update();
}

void TLncCheckList::SetCheckStyle(TLncCheckStyle S) {
    checkStyle_ = S;
    viewport()->update();
}

void TLncCheckList::SetGlyphs(const ctl::ImageList* G) {
    glyphs_ = G;
    viewport()->update();
}

void TLncCheckList::SetShowGlyphs(bool V) {
    showGlyphs_ = V;
    viewport()->update();
}

void TLncCheckList::SetWantDblClicks(bool V) {
    if (wantDblClicks_ == V) return;
    wantDblClicks_ = V;
    RecreateWnd();
}

int TLncCheckList::BoxSize() const {
    int s = ItemHeight() - 2 * boxMargin_;
    return s % 2 == 0 ? s - 1 : s;
}

int TLncCheckList::BoxRightEdge(const QRect& ItemRect) const {
    return ItemRect.left() + ItemHeight() - boxMargin_ / 2;
}

TCheckBoxState TLncCheckList::NextState(TCheckBoxState State) const {
    switch (State) {
    case cbUnchecked:
        return threeState_ ? cbGrayed : cbChecked;
    case cbChecked:
        return cbUnchecked;
    default:
        return cbChecked;
    }
}

void TLncCheckList::cycle(int Index) {
    SetItemState(Index, NextState(ItemState(Index)));
}

// ---- the state list follows the items ----------------------------------------------------------

void TLncCheckList::ItemInserted(int Index) {
    if (Index <= static_cast<int>(states_.size())) states_.insert(states_.begin() + Index, cbUnchecked);
    if (Index <= static_cast<int>(glyphIndex_.size())) glyphIndex_.insert(glyphIndex_.begin() + Index, -1);
}

void TLncCheckList::ItemDeleted(int Index) {
    if (Index < static_cast<int>(states_.size())) states_.erase(states_.begin() + Index);
    if (Index < static_cast<int>(glyphIndex_.size())) glyphIndex_.erase(glyphIndex_.begin() + Index);
}

void TLncCheckList::ItemsCleared() {
    states_.clear();
    glyphIndex_.clear();
}

void TLncCheckList::ItemsReordered(const std::vector<int>& NewOrder) {
    std::vector<uint8_t> states(NewOrder.size(), cbUnchecked);
    std::vector<int> glyphs(NewOrder.size(), -1);
    for (size_t i = 0; i < NewOrder.size(); ++i) {
        states[i] = ItemState(NewOrder[i]);
        glyphs[i] = ItemGlyph(NewOrder[i]);
    }
    states_ = std::move(states);
    glyphIndex_ = std::move(glyphs);
}

// ---- input -------------------------------------------------------------------------------------

void TLncCheckList::MouseDown(const QPoint& Pos) {
    int index = ItemAtPos(Pos, true);
    QRect rect = index >= 0 ? ItemRect(index) : QRect();
    int boxRight = BoxRightEdge(rect);
    if (index < 0) {
        // Nothing to check: only the ordinary handling of a click right of the box area.
        if (Pos.x() > boxRight) DefaultMouseDown(Pos);
        return;
    }
    if (Pos.x() <= boxRight) RepaintItem(index);
    bool outsideBox = Pos.x() < rect.left() || Pos.x() > boxRight;
    if (!(boxClickOnly_ && outsideBox)) cycle(index);
    DefaultMouseDown(Pos);
}

void TLncCheckList::DoubleClick(const QPoint& Pos) {
    // Without double clicks the second press of a double click is one more press.
    if (wantDblClicks_)
        TLncCustomListBox::DoubleClick(Pos);
    else
        MouseDown(Pos);
}

void TLncCheckList::KeyPress(char& Key) {
    TLncCustomListBox::KeyPress(Key);
    // Only Space checks: other characters must not check recipients behind the user's back.
    if (Key != ' ') return;
    int index = ItemIndex();
    if (index < 0 || index >= Items.Count()) return;
    cycle(index);
    Click();
}

// ---- drawing -----------------------------------------------------------------------------------

void TLncCheckList::drawMark(QPainter& c, int x0, int y0, int s) const {
    // The mark keeps 3 pixels from the box's edges.
    QRect area(x0 + 3, y0 + 3, s - 6, s - 6);
    if (area.width() < 1 || area.height() < 1) return;
    QColor col = CheckColor();
    int l = area.left(), t = area.top(), r = area.right(), b = area.bottom();
    if (checkStyle_ == csCheck) {
        // A short stroke down from the left, then a long stroke up to the right, three pixels thick.
        int ax = l, ay = t + (area.height() - 3) / 2;
        int bx = l + (area.width() - 1) / 3, by = b - 2;
        int cx = r, cy = t;
        for (int d = 0; d < 3; ++d) {
            line(c, ax, ay + d, bx, by + d, col, area);
            line(c, bx, by + d, cx, cy + d, col, area);
        }
    } else {
        // Both diagonals, two pixels thick.
        for (int d = 0; d < 2; ++d) {
            line(c, l + d, t, r + d, b, col, area);
            line(c, l + d, b, r + d, t, col, area);
        }
    }
}

void TLncCheckList::DrawItem(QPainter& c, int Index, const QRect& Rect, int State) {
    c.fillRect(Rect, Color());
    QColor textColor = palette().color(QPalette::Text);
    State &= ~(odChecked | odGrayed);
    TCheckBoxState st = ItemState(Index);
    if (st == cbChecked) State |= odChecked;
    if (st == cbGrayed) State |= odGrayed;

    int s = BoxSize();
    int x0 = Rect.left() + boxMargin_, y0 = Rect.top() + boxMargin_;
    if (s >= 2) {
        if ((State & odGrayed) && !grayPattern_.isNull())
            c.fillRect(x0, y0, s, s, QBrush(grayPattern_));
        else
            c.fillRect(x0, y0, s, s, boxColor_);
        // Outer rectangle, then its upper-left edge darker; an inner edge black at the upper
        // left and blue-gray at the lower right.
        c.fillRect(x0, y0, s, 1, kFrameOuter);
        c.fillRect(x0, y0 + s - 1, s, 1, kFrameOuter);
        c.fillRect(x0, y0, 1, s, kFrameOuter);
        c.fillRect(x0 + s - 1, y0, 1, s, kFrameOuter);
        c.fillRect(x0, y0, s - 1, 1, kFrameOuterTopLeft);
        c.fillRect(x0, y0, 1, s - 1, kFrameOuterTopLeft);
        if (s >= 4) {
            c.fillRect(x0 + 1, y0 + 1, s - 3, 1, kFrameInnerTopLeft);
            c.fillRect(x0 + 1, y0 + 1, 1, s - 3, kFrameInnerTopLeft);
            c.fillRect(x0 + 1, y0 + s - 2, s - 2, 1, kFrameInnerBottomRight);
            c.fillRect(x0 + s - 2, y0 + 1, 1, s - 2, kFrameInnerBottomRight);
        }
        if (State & (odChecked | odGrayed)) drawMark(c, x0, y0, s);
    }

    int textX = Rect.left() + boxMargin_ + std::max(s, 0) + boxMargin_;
    int glyph = ItemGlyph(Index);
    if (showGlyphs_ && glyphs_ && glyph >= 0) {
        int gx = Rect.left() + boxMargin_ + std::max(s, 0) + boxMargin_;
        int gy = Rect.top() + (Rect.height() - glyphs_->Height()) / 2;
        glyphs_->Draw(c, gx, gy, glyph);
        textX += boxMargin_ + glyphs_->Width();
    }

    QRect textArea(textX - 1, Rect.top(), Rect.right() - textX + 2, Rect.height());
    if (State & odSelected) {
        c.fillRect(textArea, palette().color(QPalette::Highlight));
        textColor = palette().color(QPalette::HighlightedText);
    }
    DrawText(c, Rect, textX, Items[Index], textColor);
    if (State & odFocused) {
        c.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
        c.setBrush(Qt::NoBrush);
        c.drawRect(textArea.adjusted(0, 0, -1, -1));
    }
}
