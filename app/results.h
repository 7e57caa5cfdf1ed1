// TsendingMemoForm: the results window ("SNPP Results") with its read-only memo sendingMemo.
#pragma once
#include <QWidget>
#include <string>

class QPlainTextEdit;

class TsendingMemoForm : public QWidget {
    Q_OBJECT
public:
    explicit TsendingMemoForm(QWidget* parent = nullptr);
    ~TsendingMemoForm() override;
    QPlainTextEdit* sendingMemo = nullptr;
    // The memo's lines, as the system's text.
    std::string linesText() const;
};

extern TsendingMemoForm* sendingMemoForm;
