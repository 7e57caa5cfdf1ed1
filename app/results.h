// TsendingMemoForm: the results window ("SNPP Results") with its read-only memo sendingMemo, a view
// of lines that only ever grows at its end or is cleared.
#pragma once
#include <QAbstractListModel>
#include <QListView>
#include <QWidget>
#include <string>
#include <vector>

// The memo's lines: a list that grows at its end a batch at a time. Lines stay in the system's
// text and become Qt text only when shown or copied: a fast send adds thousands that nobody sees.
class TResultsLines : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    void append(std::vector<std::string> lines);
    void clear();
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::vector<std::string> lines_;
};

// The results memo. A text document spends some ten thousand instructions on each line it takes
// in, two lines a page; the memo keeps its lines in a list model instead, where adding a batch
// costs one model update. Lines are selected whole and copied as text.
class TResultsMemo : public QListView {
public:
    explicit TResultsMemo(QWidget* parent = nullptr);
    // Adds lines at the end; a view that showed the last line keeps showing it.
    void appendLines(std::vector<std::string> lines);
    void clear();
    int lineCount() const;
    QString line(int index) const;
    const std::vector<std::string>& lines() const { return lines_->lines(); }
    // The selected lines in their order, joined by line ends, as the clipboard gets them.
    QString selectedText() const;
    void copy() const;

private:
    TResultsLines* lines_;
};

class TsendingMemoForm : public QWidget {
    Q_OBJECT
public:
    explicit TsendingMemoForm(QWidget* parent = nullptr);
    ~TsendingMemoForm() override;
    TResultsMemo* sendingMemo = nullptr;
    // The memo's lines, as the system's text.
    std::string linesText() const;
};

extern TsendingMemoForm* sendingMemoForm;
