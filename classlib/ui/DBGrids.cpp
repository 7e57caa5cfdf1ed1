// The read-only data grid: its data link, its item model over the dataset's record window, and the
// two-way tie between the selected row and the dataset's current record.
#include "classlib/ui/DBGrids.h"

#include "classlib/ui/Application.h"
#include "classlib/ui/QtText.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

namespace cls {
namespace {

// The grid asks the dataset to keep every record in its buffer window (one more for a record
// being inserted), so that the view scrolls over all of them; past this many it shows a window
// around the current record and the arrow keys move the dataset at the window's edges.
constexpr int kMaxWindow = 10000;
constexpr int kUnknownCountWindow = 256; // a dataset that cannot count its records

} // namespace

class TDBGrid::Link : public TDataLink {
public:
    explicit Link(TDBGrid* grid) : grid_(grid) {}

protected:
    void ActiveChanged() override { grid_->linkActiveChanged(); }
    void LayoutChanged() override { grid_->linkActiveChanged(); }
    void DataSetChanged() override { grid_->linkDataSetChanged(); }
    void DataSetScrolled(int distance) override { grid_->linkScrolled(distance); }
    void RecordChanged(TField* field) override { grid_->linkRecordChanged(field); }

private:
    TDBGrid* grid_;
};

class TDBGrid::Model : public QAbstractTableModel {
public:
    explicit Model(TDBGrid* grid) : QAbstractTableModel(grid), grid_(grid) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(grid_->rows_.size());
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(grid_->shown_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid()) return {};
        return toQString(grid_->CellText(index.row(), index.column()));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= static_cast<int>(grid_->shown_.size()))
            return QAbstractTableModel::headerData(section, orientation, role);
        const TColumn& c = grid_->shown_[static_cast<size_t>(section)];
        if (!c.Title.Caption.empty()) return toQString(c.Title.Caption);
        return toQString(c.Field() ? c.Field()->DisplayName() : c.FieldName);
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    void beginReset() { beginResetModel(); }
    void endReset() { endResetModel(); }
    void rowsChanged(int first, int last) {
        int cols = columnCount({});
        if (cols > 0 && first <= last) emit dataChanged(index(first, 0), index(last, cols - 1));
    }

private:
    TDBGrid* grid_;
};

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), link_(std::make_unique<Link>(this)) {
    model_ = new Model(this);
    setModel(model_);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (!selecting_ && current.isValid()) userChangedRow(current.row());
            });
}

// The link goes first, quietly: nothing may call back into a grid being destroyed.
TDBGrid::~TDBGrid() {
    link_.reset();
}

TDataSource* TDBGrid::DataSource() const {
    return link_->DataSource();
}

void TDBGrid::SetDataSource(TDataSource* source) {
    link_->SetDataSource(source);
    if (!source) linkActiveChanged(); // a link leaving its source hears nothing when it was inactive
}

void TDBGrid::AddColumn(const std::string& fieldName, const std::string& title, int width) {
    TColumn c;
    c.FieldName = fieldName;
    c.Title.Caption = title;
    c.Width = width;
    columns_.push_back(std::move(c));
    linkActiveChanged();
}

void TDBGrid::ClearColumns() {
    columns_.clear();
    linkActiveChanged();
}

int TDBGrid::Row() const {
    QModelIndex i = currentIndex();
    return i.isValid() ? i.row() : -1;
}

int TDBGrid::RowCount() const {
    return static_cast<int>(rows_.size());
}

std::string TDBGrid::CellText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return {};
    const auto& cells = rows_[static_cast<size_t>(row)].cells;
    if (column < 0 || column >= static_cast<int>(cells.size())) return {};
    return cells[static_cast<size_t>(column)];
}

// ---- following the data link ----

void TDBGrid::bindColumns() {
    shown_.clear();
    TDataSet* ds = link_->Active() ? link_->DataSet() : nullptr;
    if (columns_.empty()) {
        if (!ds) return;
        for (TField* f : ds->Fields()) {
            if (!f->Visible) continue;
            TColumn c;
            c.FieldName = f->FieldName();
            c.field_ = f;
            shown_.push_back(std::move(c));
        }
        return;
    }
    for (TColumn c : columns_) {
        c.field_ = ds ? ds->FindField(c.FieldName) : nullptr;
        shown_.push_back(std::move(c));
    }
}

void TDBGrid::applyWidths() {
    QFontMetrics fm = fontMetrics();
    for (size_t i = 0; i < shown_.size(); ++i) {
        const TColumn& c = shown_[i];
        int w = c.Width;
        if (w <= 0) {
            int chars = c.Field() ? std::max(1, c.Field()->DisplayWidth) : 10;
            QString title =
                model_->headerData(static_cast<int>(i), Qt::Horizontal, Qt::DisplayRole).toString();
            w = std::max(chars * fm.averageCharWidth(), fm.horizontalAdvance(title)) + 12;
        }
        horizontalHeader()->resizeSection(static_cast<int>(i), w);
    }
}

void TDBGrid::ensureWindow() {
    if (!link_->Active()) return;
    TDataSet* ds = link_->DataSet();
    if (ds->State() == dsSetKey) return;
    int n = -1;
    try {
        n = ds->RecordCount();
    } catch (...) {
        n = -1;
    }
    int want = n < 0 ? kUnknownCountWindow : std::clamp(n + 1, 1, kMaxWindow);
    if (want != link_->BufferCount()) link_->SetBufferCount(want);
}

std::vector<std::string> TDBGrid::readActiveCells() const {
    std::vector<std::string> cells;
    cells.reserve(shown_.size());
    for (const TColumn& c : shown_) {
        std::string t;
        if (c.Field()) {
            try {
                t = c.Field()->DisplayText();
            } catch (...) {
                t.clear(); // a value that cannot be shown must not fail the dataset's operation
            }
        }
        cells.push_back(std::move(t));
    }
    return cells;
}

// Reads the rows of the link's window by making each the active record for a moment, as the
// dataset's fields always read the active record.
std::vector<TDBGrid::RowData> TDBGrid::readRows() const {
    std::vector<RowData> rows;
    if (!link_->Active()) return rows;
    TDataSet* ds = link_->DataSet();
    if (ds->State() == dsSetKey) return rows;
    int n = link_->RecordCount();
    int saved = link_->ActiveRecord();
    struct Restore {
        TDataLink* l;
        int r;
        ~Restore() { l->SetActiveRecord(r); }
    } restore{link_.get(), saved};
    rows.reserve(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
        link_->SetActiveRecord(r);
        RowData row;
        row.cells = readActiveCells();
        row.bookmark = ds->GetBookmark();
        rows.push_back(std::move(row));
    }
    return rows;
}

void TDBGrid::refreshRows() {
    std::vector<RowData> fresh = readRows();
    bool sameRows = fresh.size() == rows_.size();
    for (size_t i = 0; sameRows && i < fresh.size(); ++i)
        sameRows = fresh[i].bookmark == rows_[i].bookmark;
    if (sameRows) {
        rows_ = std::move(fresh);
        model_->rowsChanged(0, static_cast<int>(rows_.size()) - 1);
    } else {
        model_->beginReset();
        rows_ = std::move(fresh);
        model_->endReset();
    }
    selectCurrent();
}

void TDBGrid::linkActiveChanged() {
    model_->beginReset();
    bindColumns();
    rows_.clear();
    ensureWindow();
    rows_ = readRows();
    model_->endReset();
    applyWidths();
    selectCurrent();
}

void TDBGrid::linkDataSetChanged() {
    ensureWindow();
    refreshRows();
}

void TDBGrid::linkScrolled(int distance) {
    if (distance != 0 || static_cast<int>(rows_.size()) != link_->RecordCount())
        refreshRows();
    else
        selectCurrent();
}

void TDBGrid::linkRecordChanged(TField*) {
    int r = link_->ActiveRecord();
    if (r < 0 || r >= static_cast<int>(rows_.size()) ||
        static_cast<int>(rows_.size()) != link_->RecordCount()) {
        refreshRows();
        return;
    }
    RowData& row = rows_[static_cast<size_t>(r)];
    row.cells = readActiveCells();
    row.bookmark = link_->DataSet()->GetBookmark();
    model_->rowsChanged(r, r);
}

// The dataset moved: the view follows without taking it for a choice of the user.
void TDBGrid::selectCurrent() {
    QItemSelectionModel* sel = selectionModel();
    if (!sel) return;
    selecting_ = true;
    int r = link_->Active() ? link_->ActiveRecord() : -1;
    if (r >= 0 && r < static_cast<int>(rows_.size()) && !shown_.empty()) {
        int col = std::clamp(currentIndex().column(), 0, static_cast<int>(shown_.size()) - 1);
        QModelIndex i = model_->index(r, col);
        sel->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(i);
    } else
        sel->clear();
    selecting_ = false;
}

// ---- the user's choice of a row ----

// The move runs once the view has finished handling the click or key: posting a record being
// edited re-reads the rows, which must not happen under the view's own event handling.
void TDBGrid::userChangedRow(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return;
    chosenRow_ = row;
    chosenBookmark_ = rows_[static_cast<size_t>(row)].bookmark;
    if (moveQueued_) return;
    moveQueued_ = true;
    QMetaObject::invokeMethod(
        this, [this] { moveToChosenRow(); }, Qt::QueuedConnection);
}

void TDBGrid::moveToChosenRow() {
    moveQueued_ = false;
    if (!link_->Active()) return;
    TDataSet* ds = link_->DataSet();
    TDataSetState st = ds->State();
    if (st != dsBrowse && st != dsEdit && st != dsInsert) {
        selectCurrent();
        return;
    }
    int r = chosenRow_;
    bool unchanged = r >= 0 && r < static_cast<int>(rows_.size()) &&
                     rows_[static_cast<size_t>(r)].bookmark == chosenBookmark_;
    if (!unchanged) {
        r = -1;
        for (size_t i = 0; !chosenBookmark_.empty() && i < rows_.size(); ++i)
            if (rows_[i].bookmark == chosenBookmark_) r = static_cast<int>(i);
    }
    int active = link_->ActiveRecord();
    try {
        if (r == active) {
            // already there
        } else if (st == dsBrowse && r >= 0) {
            ds->MoveBy(r - active);
        } else if (!chosenBookmark_.empty()) {
            // Leaving a record being edited posts it (or drops an untouched insert), which may
            // reorder the rows: the chosen record is found again by its bookmark.
            ds->GotoBookmark(chosenBookmark_);
        } else if (r >= 0) {
            ds->MoveBy(r - active);
        }
    } catch (...) {
        selectCurrent();
        Application.HandleException(std::current_exception());
        return;
    }
    selectCurrent();
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    // At the edges of a window that does not hold every record, the arrows move the dataset.
    int rows = static_cast<int>(rows_.size());
    if (link_->Active() && rows > 0 && rows == link_->BufferCount() && event->modifiers() == Qt::NoModifier) {
        TDataSet* ds = link_->DataSet();
        int r = Row();
        bool down = event->key() == Qt::Key_Down && r == rows - 1 && !ds->Eof();
        bool up = event->key() == Qt::Key_Up && r == 0 && !ds->Bof();
        if (down || up) {
            try {
                ds->MoveBy(down ? 1 : -1);
            } catch (...) {
                selectCurrent();
                Application.HandleException(std::current_exception());
            }
            event->accept();
            return;
        }
    }
    QTableView::keyPressEvent(event);
}

} // namespace cls
