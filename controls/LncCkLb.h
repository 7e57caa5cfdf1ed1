// The check-list box: an owner-drawn list box in which every item carries a check state
// (unchecked, checked, grayed) drawn as a framed box left of the text, with an optional glyph.
#pragma once
#include <QColor>
#include <QImage>
#include <cstdint>
#include <functional>
#include <vector>

#include "controls/LncLB.h"

enum TCheckBoxState : uint8_t { cbUnchecked = 0, cbChecked = 1, cbGrayed = 2 };
enum TLncCheckStyle { csCheck = 0, csX = 1 };

namespace ctl {
// Images of one size drawn by index: the glyphs of a check list.
class ImageList {
public:
    ImageList(int Width, int Height) : width_(Width), height_(Height) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Count() const { return static_cast<int>(images_.size()); }
    // Scaled to the list's size; its index.
    int Add(const QImage& Image);
    void Draw(QPainter& Canvas, int X, int Y, int Index) const;

private:
    int width_, height_;
    std::vector<QImage> images_;
};
} // namespace ctl

class TLncCheckList : public TLncCustomListBox {
public:
    explicit TLncCheckList(QWidget* Parent = nullptr);

    // Unchecked outside the items; setting outside the items does nothing.
    TCheckBoxState ItemState(int Index) const;
    void SetItemState(int Index, TCheckBoxState State);
    // Number of items whose state is State.
    int StateCount(TCheckBoxState State) const;
    // Glyph of an item: -1 (or an index outside Glyphs) for none.
    int ItemGlyph(int Index) const;
    void SetItemGlyph(int Index, int Glyph);

    bool BoxClickOnly() const { return boxClickOnly_; }
    void SetBoxClickOnly(bool V) { boxClickOnly_ = V; }
    QColor BoxColor() const { return boxColor_; }
    void SetBoxColor(const QColor& C);
    int BoxMargin() const { return boxMargin_; }
    // Accepted only when >= 1 and ItemHeight - 2 x value > 0.
    void SetBoxMargin(int V);
    QColor CheckColor() const;
    void SetCheckColor(const QColor& C);
    TLncCheckStyle CheckStyle() const { return checkStyle_; }
    void SetCheckStyle(TLncCheckStyle S);
    const ctl::ImageList* Glyphs() const { return glyphs_; }
    void SetGlyphs(const ctl::ImageList* G);
    bool ShowGlyphs() const { return showGlyphs_; }
    void SetShowGlyphs(bool V);
    bool ThreeState() const { return threeState_; }
    void SetThreeState(bool V) { threeState_ = V; }
    bool WantDblClicks() const { return wantDblClicks_; }
    void SetWantDblClicks(bool V);

    // Box side of the current geometry (always odd) and the x past which a click is not in the box.
    int BoxSize() const;
    int BoxRightEdge(const QRect& ItemRect) const;
    // The state after one click on an item in State.
    TCheckBoxState NextState(TCheckBoxState State) const;

    std::function<void(QObject* Sender, int Index, TCheckBoxState OldState, TCheckBoxState NewState)>
        OnStateChange;

protected:
    void ItemInserted(int Index) override;
    void ItemDeleted(int Index) override;
    void ItemsCleared() override;
    void ItemsReordered(const std::vector<int>& NewOrder) override;
    void DrawItem(QPainter& Canvas, int Index, const QRect& Rect, int State) override;
    void MouseDown(const QPoint& Pos) override;
    void DoubleClick(const QPoint& Pos) override;
    void KeyPress(char& Key) override;

private:
    void cycle(int Index);
    void drawMark(QPainter& Canvas, int X0, int Y0, int S) const;

    std::vector<uint8_t> states_;
    std::vector<int> glyphIndex_;
    bool boxClickOnly_ = true;
    QColor boxColor_ = Qt::white;
    int boxMargin_ = 1;
    QColor checkColor_; // invalid: the window text colour
    TLncCheckStyle checkStyle_ = csCheck;
    const ctl::ImageList* glyphs_ = nullptr;
    bool showGlyphs_ = false;
    bool threeState_ = false;
    bool wantDblClicks_ = true;
    QImage grayPattern_;
};
