// TsendingMemoForm: the results window, one read-only memo with a vertical scroll bar.
#include "app/results.h"

#include "classlib/ui/QtText.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

TsendingMemoForm* sendingMemoForm = nullptr;

int TResultsLines::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(lines_.size());
}

QVariant TResultsLines::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= lines_.size()) return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return cls::toQString(lines_[size_t(index.row())]);
    return {};
}

void TResultsLines::append(std::vector<std::string> lines) {
    if (lines.empty()) return;
    const int first = int(lines_.size());
    beginInsertRows(QModelIndex(), first, first + int(lines.size()) - 1);
    lines_.insert(lines_.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    endInsertRows();
}

void TResultsLines::clear() {
    if (lines_.empty()) return;
    beginResetModel();
    lines_.clear();
    endResetModel();
}

namespace {

// Each line is one run of plain text. The style's item painting lays a line out three times
// (its size, its elision, its drawing); this draws it once, with the same colours and margin.
class PlainLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QWidget* widget = option.widget;
        const QStyle* style = widget ? widget->style() : QApplication::style();
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (option.state & QStyle::State_Active) ? QPalette::Active
                                                                                   : QPalette::Inactive;
        if (selected) painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        const QString text = index.data(Qt::DisplayRole).toString();
        if (!text.isEmpty()) {
            const QFontMetrics& metrics = option.fontMetrics;
            const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
            const int baseline =
                option.rect.top() + (option.rect.height() - metrics.height()) / 2 + metrics.ascent();
            // A line wider than the view runs on past the row's end only, where the view clips it.
            painter->setFont(option.font);
            painter->setPen(
                option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
            painter->drawText(QPoint(option.rect.left() + margin, baseline), text);
        }
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor =
                option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
        }
    }
};

} // namespace

TResultsMemo::TResultsMemo(QWidget* parent) : QListView(parent), lines_(new TResultsLines(this)) {
    setModel(lines_);
    setItemDelegate(new PlainLineDelegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Every line is one text line: the view places them without asking each for its size.
    setUniformItemSizes(true);
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* copyAction = new QAction(tr("&Copy"), this);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, [this] { copy(); });
    auto* selectAllAction = new QAction(tr("Select &All"), this);
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    selectAllAction->setShortcutContext(Qt::WidgetShortcut);
    connect(selectAllAction, &QAction::triggered, this, [this] { selectAll(); });
    addAction(copyAction);
    addAction(selectAllAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TResultsMemo::appendLines(std::vector<std::string> lines) {
    if (lines.empty()) return;
    const QScrollBar* bar = verticalScrollBar();
    const bool atEnd = lineCount() == 0 || bar->value() == bar->maximum();
    lines_->append(std::move(lines));
    if (atEnd) scrollToBottom();
}

void TResultsMemo::clear() {
    lines_->clear();
}

int TResultsMemo::lineCount() const {
    return int(lines_->lines().size());
}

QString TResultsMemo::line(int index) const {
    const auto& all = lines_->lines();
    return index >= 0 && size_t(index) < all.size() ? cls::toQString(all[size_t(index)]) : QString();
}

QString TResultsMemo::selectedText() const {
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList text;
    for (const QModelIndex& i : rows)
        text << i.data().toString();
    return text.join(u'\n');
}

void TResultsMemo::copy() const {
    // One empty line selected is still a line to copy.
    if (selectionModel()->hasSelection()) QApplication::clipboard()->setText(selectedText());
}

TsendingMemoForm::TsendingMemoForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("sendingMemoForm");
    setWindowTitle("SNPP Results");
    resize(320, 240);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    sendingMemo = new TResultsMemo(this);
    sendingMemo->setObjectName("sendingMemo");
    layout->addWidget(sendingMemo);
    if (!sendingMemoForm) sendingMemoForm = this;
}

std::string TsendingMemoForm::linesText() const {
    std::string text;
    for (const std::string& line : sendingMemo->lines())
        text += line + '\n';
    if (!text.empty()) text.pop_back(); // lines are joined, not ended
    return text;
}

TsendingMemoForm::~TsendingMemoForm() {
    if (sendingMemoForm == this) sendingMemoForm = nullptr;
}
