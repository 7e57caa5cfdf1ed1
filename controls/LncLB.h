// The extension list box: a self-drawn list of 8-bit texts with a controller link, an attached
// label, tab stops and an optional horizontal scroll bar.
#pragma once
#include <QAbstractScrollArea>
#include <QPointer>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "controls/LncBase.h"

class TLncCustomListBox;

namespace ctl {

// Average character width (low word) and height (high word) of the program's default font, the
// base of dialog units.
uint32_t DialogBaseUnits();
// The sorted list's order: bytes compared after ASCII upper-casing; -1, 0 or 1. The name search of
// a window over a sorted list uses it too, so that search and order agree.
int LncCompareItems(std::string_view a, std::string_view b);

// Text width with tabs expanded to the given pixel positions (past the last one, every eight
// average character widths).
int TabbedTextWidth(const QFontMetrics& Fm, const std::string& Text, const std::vector<int>& TabPixels,
                    int AverageWidth);

} // namespace ctl

// The items of a list box: adding, inserting, deleting and clearing go through the box so that
// everything kept per item follows.
class TLncListItems {
public:
    explicit TLncListItems(TLncCustomListBox* Owner) : owner_(Owner) {}
    // Sorted boxes insert at the sorted place (after equal texts); the index of the new item.
    int Add(const std::string& S);
    void Insert(int Index, const std::string& S);
    void Delete(int Index);
    void Clear();
    int Count() const;
    const std::string& operator[](int Index) const { return Strings(Index); }
    const std::string& Strings(int Index) const;
    // First item equal to S without regard to ASCII case; -1 when none.
    int IndexOf(const std::string& S) const;

private:
    TLncCustomListBox* owner_;
};

class TLncCustomListBox : public QAbstractScrollArea {
public:
    enum DrawFlag { odSelected = 1, odFocused = 2, odChecked = 4, odGrayed = 8 };

    explicit TLncCustomListBox(QWidget* Parent = nullptr);

    TLncListItems Items;

    bool Sorted() const { return sorted_; }
    void SetSorted(bool Sorted);
    int ItemHeight() const { return itemHeight_; }
    virtual void SetItemHeight(int Height);
    int ItemIndex() const { return itemIndex_; }
    // -1 (or an index outside the items) clears the selection; the item is scrolled into view.
    void SetItemIndex(int Index);
    int TopIndex() const;
    void SetTopIndex(int Index);
    // Item rectangle in client coordinates (empty outside the items).
    QRect ItemRect(int Index) const;
    // Item under a client point; with Existing False a point below the items gives Count.
    int ItemAtPos(const QPoint& Pos, bool Existing) const;
    QColor Color() const { return color_; }
    void SetColor(const QColor& C);
    void SetFocus();

    TLncController* Controller() const { return controller_; }
    void SetController(TLncController* C) { controller_ = C; }
    TLncLabelInfo& LabelInfo() { return labels_->Info(); }
    TLncAttachedLabel* AttachedLabel() const { return labels_->Label(); }
    std::string About() const { return "v3.08"; }
    void SetAbout(const std::string&) {}

    bool HorizontalScroll() const { return horizontalScroll_; }
    void SetHorizontalScroll(bool On);
    // Each entry must be an integer (cls::EConvertError otherwise): tab positions in average
    // character widths, at most 100 used.
    const std::vector<std::string>& TabStops() const { return tabStops_; }
    void SetTabStops(const std::vector<std::string>& Stops);
    // What the window was given: tab stops in dialog units, and the horizontal extent in pixels.
    const std::vector<int>& TabStopDialogUnits() const { return tabDialogUnits_; }
    const std::vector<int>& TabStopPixels() const { return tabPixels_; }
    int HorizontalExtent() const { return hExtent_; }

    // The window exists once the first item, selection or focus needs it; it needs a controller
    // (ENoControllerAssigned when the form has none).
    void HandleNeeded();
    bool HandleAllocated() const { return handleCreated_; }

    std::function<void(QObject* Sender)> OnClick;
    std::function<void(QObject* Sender)> OnDblClick;
    std::function<void(QObject* Sender, char& Key)> OnKeyPress;
    std::function<void(QObject* Sender)> OnTabStopsChange;

protected:
    friend class TLncListItems;

    virtual void CreateWnd();
    void RecreateWnd();
    // Hooks for what is kept per item: called after the item list changed.
    virtual void ItemInserted(int Index) {}
    virtual void ItemDeleted(int Index) {}
    virtual void ItemsCleared() {}
    // NewOrder[i] is the old index of the item now at i.
    virtual void ItemsReordered(const std::vector<int>& NewOrder) {}
    // Draws one item into Canvas (an off-screen bitmap of the item's size; Rect is its area).
    virtual void DrawItem(QPainter& Canvas, int Index, const QRect& Rect, int State);
    // Left button down at a client point.
    virtual void MouseDown(const QPoint& Pos);
    // The ordinary handling of a left click: focus, select the item under the point, OnClick.
    void DefaultMouseDown(const QPoint& Pos);
    virtual void DoubleClick(const QPoint& Pos);
    // A character key after the key-down handling; runs OnKeyPress.
    virtual void KeyPress(char& Key);
    void Click();
    void RepaintItem(int Index);
    void DrawText(QPainter& Canvas, const QRect& Rect, int X, const std::string& Text, const QColor& Pen);
    int TextWidth(const std::string& Text) const;

    void paintEvent(QPaintEvent* E) override;
    void mousePressEvent(QMouseEvent* E) override;
    void mouseDoubleClickEvent(QMouseEvent* E) override;
    void keyPressEvent(QKeyEvent* E) override;
    void showEvent(QShowEvent* E) override;
    void resizeEvent(QResizeEvent* E) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    int insertAt(int Index, const std::string& S);
    void deleteAt(int Index);
    void clearAll();
    int visibleRows() const;
    void updateScrollBars();
    void applyTabStops();
    int measure(const std::string& S) const;
    void recomputeExtent();
    void setExtent();

    std::vector<std::string> items_;
    bool sorted_ = false;
    int itemHeight_ = 16;
    int itemIndex_ = -1;
    QColor color_;
    bool handleCreated_ = false;
    bool horizontalScroll_ = false;
    std::vector<std::string> tabStops_;
    std::vector<int> tabPixels_;
    std::vector<int> tabDialogUnits_;
    int avgWidth_ = 0;
    int widest_ = 0;
    int hExtent_ = 0;
    QPointer<TLncController> controller_;
    ctl::LabelHost* labels_;
};
