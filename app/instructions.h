// TInstructionsForm: the "Instructions  -  Pagewright" window with the fixed operating instructions.
#pragma once
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>

class TInstructionsForm : public QDialog {
    Q_OBJECT
public:
    explicit TInstructionsForm(QWidget* parent = nullptr);
    ~TInstructionsForm() override;

    void okButtonClick();

    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* okButton = nullptr;
};

extern TInstructionsForm* InstructionsForm;
