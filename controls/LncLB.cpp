// The extension list box: items, selection, geometry, drawing, tab stops, horizontal extent.
#include "controls/LncLB.h"

#include "classlib/SysUtils.h"
#include "classlib/ui/QtText.h"
#include "controls/LncExcpt.h"
#include "controls/LncSrMgr.h"
#include "platform/Text.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <numeric>

// ---- shared helpers ----------------------------------------------------------------------------

namespace {

using cls::toQString;

bool sortsBefore(const std::string& a, const std::string& b) {
    return ctl::LncCompareItems(a, b) < 0;
}

[[noreturn]] void indexError(int index) {
    throw cls::EListError("List index out of bounds (" + std::to_string(index) + ")");
}

} // namespace

int ctl::LncCompareItems(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(plat::AsciiUpper(a[i]));
        unsigned char y = static_cast<unsigned char>(plat::AsciiUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

uint32_t ctl::DialogBaseUnits() {
    QFontMetrics fm(QApplication::font());
    int cx = (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    cx = std::clamp(cx, 1, 0xFFFF);
    int cy = std::clamp(fm.height(), 1, 0xFFFF);
    return uint32_t(cx) | uint32_t(cy) << 16;
}

int ctl::TabbedTextWidth(const QFontMetrics& Fm, const std::string& Text, const std::vector<int>& TabPixels,
                         int AverageWidth) {
    // 64-bit positions: huge tab stops times many tabs must not overflow.
    int64_t x = 0;
    size_t start = 0;
    while (true) {
        size_t tab = Text.find('\t', start);
        size_t len = tab == std::string::npos ? std::string::npos : tab - start;
        x += Fm.horizontalAdvance(toQString(Text.substr(start, len)));
        if (tab == std::string::npos || x > INT_MAX) return static_cast<int>(std::min<int64_t>(x, INT_MAX));
        int64_t next = -1;
        if (TabPixels.size() == 1 && TabPixels[0] > 0) {
            next = (x / TabPixels[0] + 1) * TabPixels[0];
        } else {
            for (int p : TabPixels)
                if (p > x && (next < 0 || p < next)) next = p;
        }
        if (next < 0) {
            int64_t step = std::max(1, 8 * AverageWidth);
            int64_t last = 0;
            for (int p : TabPixels)
                last = std::max<int64_t>(last, p);
            next = x < last ? last : last + ((x - last) / step + 1) * step;
        }
        x = next;
        start = tab + 1;
    }
}

// ---- items -------------------------------------------------------------------------------------

int TLncListItems::Add(const std::string& S) {
    owner_->HandleNeeded();
    const auto& items = owner_->items_;
    int at =
        owner_->sorted_
            ? static_cast<int>(std::upper_bound(items.begin(), items.end(), S, sortsBefore) - items.begin())
            : static_cast<int>(items.size());
    return owner_->insertAt(at, S);
}

void TLncListItems::Insert(int Index, const std::string& S) {
    owner_->HandleNeeded();
    if (Index < 0 || Index > Count()) indexError(Index);
    owner_->insertAt(Index, S);
}

void TLncListItems::Delete(int Index) {
    owner_->HandleNeeded();
    if (Index < 0 || Index >= Count()) indexError(Index);
    owner_->deleteAt(Index);
}

void TLncListItems::Clear() {
    owner_->HandleNeeded();
    owner_->clearAll();
}

int TLncListItems::Count() const {
    return static_cast<int>(owner_->items_.size());
}

const std::string& TLncListItems::Strings(int Index) const {
    if (Index < 0 || Index >= Count()) indexError(Index);
    return owner_->items_[Index];
}

int TLncListItems::IndexOf(const std::string& S) const {
    for (int i = 0; i < Count(); ++i)
        if (plat::SameTextAscii(owner_->items_[i], S)) return i;
    return -1;
}

// ---- the list box ------------------------------------------------------------------------------

TLncCustomListBox::TLncCustomListBox(QWidget* Parent)
    : QAbstractScrollArea(Parent), Items(this), color_(palette().color(QPalette::Base)),
      labels_(new ctl::LabelHost(this)) {
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    verticalScrollBar()->setSingleStep(1);
}

void TLncCustomListBox::HandleNeeded() {
    if (!handleCreated_) CreateWnd();
}

void TLncCustomListBox::CreateWnd() {
    if (!controller_) controller_ = LncFindController(this);
    if (!controller_) throw ENoControllerAssigned();
    handleCreated_ = true;
    applyTabStops();
    recomputeExtent();
    updateScrollBars();
}

void TLncCustomListBox::RecreateWnd() {
    if (!handleCreated_) return;
    handleCreated_ = false;
    CreateWnd();
    viewport()->update();
}

int TLncCustomListBox::insertAt(int Index, const std::string& S) {
    items_.insert(items_.begin() + Index, S);
    if (itemIndex_ >= Index) ++itemIndex_;
    ItemInserted(Index);
    if (horizontalScroll_ && handleCreated_) {
        int w = measure(S);
        if (w > widest_) {
            widest_ = w;
            setExtent();
        }
    }
    updateScrollBars();
    viewport()->update();
    return Index;
}

void TLncCustomListBox::deleteAt(int Index) {
    std::string gone = std::move(items_[Index]);
    items_.erase(items_.begin() + Index);
    if (itemIndex_ == Index)
        itemIndex_ = -1;
    else if (itemIndex_ > Index)
        --itemIndex_;
    ItemDeleted(Index);
    if (horizontalScroll_ && handleCreated_ && measure(gone) >= widest_) recomputeExtent();
    updateScrollBars();
    viewport()->update();
}

void TLncCustomListBox::clearAll() {
    items_.clear();
    itemIndex_ = -1;
    ItemsCleared();
    widest_ = 0;
    setExtent();
    updateScrollBars();
    viewport()->update();
}

void TLncCustomListBox::SetSorted(bool Sorted) {
    if (sorted_ == Sorted) return;
    sorted_ = Sorted;
    if (!sorted_ || items_.size() < 2) return;
    std::vector<int> order(items_.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return sortsBefore(items_[a], items_[b]); });
    std::vector<std::string> sortedItems;
    sortedItems.reserve(items_.size());
    int newIndex = -1;
    for (size_t i = 0; i < order.size(); ++i) {
        sortedItems.push_back(std::move(items_[order[i]]));
        if (order[i] == itemIndex_) newIndex = static_cast<int>(i);
    }
    items_ = std::move(sortedItems);
    itemIndex_ = newIndex;
    ItemsReordered(order);
    viewport()->update();
}

void TLncCustomListBox::SetItemHeight(int Height) {
    if (Height < 1 || Height == itemHeight_) return;
    itemHeight_ = Height;
    updateScrollBars();
    viewport()->update();
}

void TLncCustomListBox::SetItemIndex(int Index) {
    HandleNeeded();
    int old = itemIndex_;
    itemIndex_ = (Index >= 0 && Index < Items.Count()) ? Index : -1;
    if (itemIndex_ >= 0) {
        int top = TopIndex(), rows = visibleRows();
        if (itemIndex_ < top)
            SetTopIndex(itemIndex_);
        else if (itemIndex_ >= top + rows)
            SetTopIndex(itemIndex_ - rows + 1);
    }
    if (old != itemIndex_) {
        RepaintItem(old);
        RepaintItem(itemIndex_);
    }
}

int TLncCustomListBox::TopIndex() const {
    return verticalScrollBar()->value();
}

void TLncCustomListBox::SetTopIndex(int Index) {
    verticalScrollBar()->setValue(Index);
}

int TLncCustomListBox::visibleRows() const {
    return std::max(1, viewport()->height() / itemHeight_);
}

QRect TLncCustomListBox::ItemRect(int Index) const {
    if (Index < 0 || Index >= static_cast<int>(items_.size())) return {};
    int width = std::max(viewport()->width(), horizontalScroll_ ? hExtent_ : 0);
    return QRect(-horizontalScrollBar()->value(), (Index - TopIndex()) * itemHeight_, width, itemHeight_);
}

int TLncCustomListBox::ItemAtPos(const QPoint& Pos, bool Existing) const {
    int count = static_cast<int>(items_.size());
    if (Pos.y() < 0 || Pos.x() < 0 || Pos.x() >= viewport()->width()) return Existing ? -1 : count;
    int index = TopIndex() + Pos.y() / itemHeight_;
    if (index >= count) return Existing ? -1 : count;
    return index;
}

void TLncCustomListBox::SetColor(const QColor& C) {
    color_ = C;
    viewport()->update();
}

void TLncCustomListBox::SetFocus() {
    HandleNeeded();
    setFocus(Qt::OtherFocusReason);
}

void TLncCustomListBox::RepaintItem(int Index) {
    QRect r = ItemRect(Index);
    if (!r.isEmpty()) viewport()->update(r);
}

void TLncCustomListBox::updateScrollBars() {
    int rows = visibleRows();
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setRange(0, std::max(0, static_cast<int>(items_.size()) - rows));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width()));
    horizontalScrollBar()->setRange(0, horizontalScroll_ ? std::max(0, hExtent_ - viewport()->width()) : 0);
}

// ---- tab stops and extent ----------------------------------------------------------------------

void TLncCustomListBox::SetTabStops(const std::vector<std::string>& Stops) {
    for (const auto& s : Stops) {
        int64_t v = 0;
        if (!cls::TryStrToInt(s, v) || v < INT_MIN || v > INT_MAX)
            throw cls::EConvertError("'" + s + "' is not a valid integer value");
    }
    tabStops_ = Stops;
    if (handleCreated_) {
        applyTabStops();
        recomputeExtent();
    }
    viewport()->update();
    if (OnTabStopsChange) OnTabStopsChange(this);
}

void TLncCustomListBox::applyTabStops() {
    avgWidth_ = TextWidth(LncGetString(30281)) / 52;
    int base = std::max<int>(1, ctl::DialogBaseUnits() & 0xFFFF);
    tabPixels_.clear();
    tabDialogUnits_.clear();
    size_t n = std::min<size_t>(tabStops_.size(), 100);
    for (size_t i = 0; i < n; ++i) {
        int64_t entry = 0;
        cls::TryStrToInt(tabStops_[i], entry); // checked when assigned
        long long px = entry * avgWidth_;
        px = std::clamp<long long>(px, INT_MIN / 4, INT_MAX / 4);
        tabPixels_.push_back(static_cast<int>(px));
        tabDialogUnits_.push_back(static_cast<int>(px * 4 / base));
    }
}

int TLncCustomListBox::TextWidth(const std::string& Text) const {
    return fontMetrics().horizontalAdvance(toQString(Text));
}

int TLncCustomListBox::measure(const std::string& S) const {
    if (!tabPixels_.empty() && S.find('\t') != std::string::npos)
        return ctl::TabbedTextWidth(fontMetrics(), S, tabPixels_, avgWidth_);
    return TextWidth(S);
}

void TLncCustomListBox::recomputeExtent() {
    widest_ = 0;
    if (horizontalScroll_ && handleCreated_)
        for (const auto& s : items_)
            widest_ = std::max(widest_, measure(s));
    setExtent();
}

void TLncCustomListBox::setExtent() {
    hExtent_ = (horizontalScroll_ && handleCreated_) ? std::min(widest_, INT_MAX - 21) + 5 + 16 : 0;
    updateScrollBars();
}

void TLncCustomListBox::SetHorizontalScroll(bool On) {
    if (horizontalScroll_ == On) return;
    horizontalScroll_ = On;
    setHorizontalScrollBarPolicy(On ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (!On) horizontalScrollBar()->setValue(0);
    RecreateWnd();
    recomputeExtent();
}

// ---- drawing -----------------------------------------------------------------------------------

void TLncCustomListBox::DrawText(QPainter& Canvas, const QRect& Rect, int X, const std::string& Text,
                                 const QColor& Pen) {
    QFontMetrics fm = fontMetrics();
    int y = Rect.top() + (Rect.height() - fm.height()) / 2;
    Canvas.save();
    Canvas.setClipRect(Rect);
    Canvas.setFont(font());
    Canvas.setPen(Pen);
    Canvas.drawText(QPoint(X, y + fm.ascent()), toQString(Text));
    Canvas.restore();
}

void TLncCustomListBox::DrawItem(QPainter& Canvas, int Index, const QRect& Rect, int State) {
    bool selected = State & odSelected;
    Canvas.fillRect(Rect, selected ? palette().color(QPalette::Highlight) : color_);
    DrawText(Canvas, Rect, Rect.left() + 2, items_[Index],
             palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
    if (State & odFocused) {
        Canvas.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
        Canvas.drawRect(Rect.adjusted(0, 0, -1, -1));
    }
}

void TLncCustomListBox::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    int bottom = 0;
    QImage bitmap;
    int count = static_cast<int>(items_.size());
    for (int i = TopIndex(); i < count; ++i) {
        QRect r = ItemRect(i);
        if (r.top() >= viewport()->height()) break;
        if (bitmap.size() != r.size()) bitmap = QImage(r.size(), QImage::Format_RGB32);
        int state = 0;
        if (i == itemIndex_) state |= odSelected;
        if (i == itemIndex_ && hasFocus()) state |= odFocused;
        {
            QPainter canvas(&bitmap);
            try {
                DrawItem(canvas, i, QRect(QPoint(0, 0), r.size()), state);
            } catch (...) {
                cls::HandleCurrentException();
            }
        }
        p.drawImage(r.topLeft(), bitmap);
        bottom = r.bottom() + 1;
    }
    if (bottom < viewport()->height())
        p.fillRect(QRect(0, bottom, viewport()->width(), viewport()->height() - bottom), color_);
}

// ---- input -------------------------------------------------------------------------------------

void TLncCustomListBox::Click() {
    if (OnClick) OnClick(this);
}

void TLncCustomListBox::DefaultMouseDown(const QPoint& Pos) {
    if (!hasFocus()) setFocus(Qt::MouseFocusReason);
    int index = ItemAtPos(Pos, true);
    if (index < 0) return;
    SetItemIndex(index);
    Click();
}

void TLncCustomListBox::MouseDown(const QPoint& Pos) {
    DefaultMouseDown(Pos);
}

void TLncCustomListBox::DoubleClick(const QPoint& Pos) {
    DefaultMouseDown(Pos);
    if (ItemAtPos(Pos, true) >= 0 && OnDblClick) OnDblClick(this);
}

void TLncCustomListBox::KeyPress(char& Key) {
    if (OnKeyPress) OnKeyPress(this, Key);
}

void TLncCustomListBox::mousePressEvent(QMouseEvent* E) {
    if (E->button() != Qt::LeftButton) return;
    try {
        HandleNeeded();
        MouseDown(E->position().toPoint());
    } catch (...) {
        cls::HandleCurrentException();
    }
}

void TLncCustomListBox::mouseDoubleClickEvent(QMouseEvent* E) {
    if (E->button() != Qt::LeftButton) return;
    try {
        HandleNeeded();
        DoubleClick(E->position().toPoint());
    } catch (...) {
        cls::HandleCurrentException();
    }
}

void TLncCustomListBox::keyPressEvent(QKeyEvent* E) {
    try {
        HandleNeeded();
        int count = static_cast<int>(items_.size());
        int rows = visibleRows();
        int target = -2;
        switch (E->key()) {
        case Qt::Key_Up:
            target = itemIndex_ < 0 ? 0 : itemIndex_ - 1;
            break;
        case Qt::Key_Down:
            target = itemIndex_ < 0 ? 0 : itemIndex_ + 1;
            break;
        case Qt::Key_Home:
            target = 0;
            break;
        case Qt::Key_End:
            target = count - 1;
            break;
        case Qt::Key_PageUp:
            target = itemIndex_ < 0 ? 0 : itemIndex_ - (rows - 1);
            break;
        case Qt::Key_PageDown:
            target = itemIndex_ < 0 ? 0 : itemIndex_ + (rows - 1);
            break;
        default:
            break;
        }
        if (target != -2) {
            E->accept();
            if (count == 0) return;
            target = std::clamp(target, 0, count - 1);
            if (target != itemIndex_) {
                SetItemIndex(target);
                Click();
            }
            return;
        }
        QString text = E->text();
        if (text.isEmpty()) {
            E->ignore();
            return;
        }
        E->accept();
        char key = plat::Utf16CharToAnsi(text.at(0).unicode());
        KeyPress(key);
    } catch (...) {
        cls::HandleCurrentException();
    }
}

void TLncCustomListBox::showEvent(QShowEvent* E) {
    QAbstractScrollArea::showEvent(E);
    try {
        HandleNeeded();
    } catch (...) {
        cls::HandleCurrentException();
    }
}

void TLncCustomListBox::resizeEvent(QResizeEvent* E) {
    QAbstractScrollArea::resizeEvent(E);
    updateScrollBars();
}

void TLncCustomListBox::scrollContentsBy(int, int) {
    viewport()->update();
}
