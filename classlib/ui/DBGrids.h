// The read-only data grid (TDBGrid): a table view over a dataset's records, one row per record in
// the dataset's order, that follows the current record and moves it when the user picks a row.
#pragma once
#include "classlib/DB.h"

#include <QTableView>
#include <memory>
#include <string>
#include <vector>

namespace cls {

struct TColumnTitle {
    std::string Caption;
};

// One column: the field it shows, its title and its width in pixels (0: from the field's
// DisplayWidth).
class TColumn {
public:
    std::string FieldName;
    TColumnTitle Title;
    int Width = 0;
    // The field shown while the grid's data source is active; nullptr for a name the dataset lacks.
    TField* Field() const { return field_; }

private:
    friend class TDBGrid;
    TField* field_ = nullptr;
};

class TDBGrid : public QTableView {
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    TDataSource* DataSource() const;
    void SetDataSource(TDataSource* source);

    // Columns set by the program; with none, the grid shows one column per visible field, titled
    // with its display label.
    void AddColumn(const std::string& fieldName, const std::string& title = {}, int width = 0);
    void ClearColumns();
    // The columns shown.
    int ColumnCount() const { return static_cast<int>(shown_.size()); }
    const TColumn& Columns(int index) const { return shown_.at(static_cast<size_t>(index)); }

    // The row of the current record; -1 when there is none.
    int Row() const;
    int RowCount() const;
    // The text shown in a cell, in the system's code page.
    std::string CellText(int row, int column) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    class Link;
    class Model;
    friend class Link;
    friend class Model;

    struct RowData {
        std::vector<std::string> cells;
        TBookmark bookmark;
    };

    void linkActiveChanged();
    void linkDataSetChanged();
    void linkScrolled(int distance);
    void linkRecordChanged(TField* field);
    void bindColumns();
    void applyWidths();
    void ensureWindow();
    void refreshRows();
    std::vector<RowData> readRows() const;
    std::vector<std::string> readActiveCells() const;
    void selectCurrent();
    void userChangedRow(int row);
    void moveToChosenRow();

    Model* model_ = nullptr; // owned as a child
    std::unique_ptr<Link> link_;
    std::vector<TColumn> columns_; // set by the program
    std::vector<TColumn> shown_;   // in use
    std::vector<RowData> rows_;
    bool selecting_ = false;
    bool moveQueued_ = false;
    int chosenRow_ = -1;
    TBookmark chosenBookmark_;
};

} // namespace cls
