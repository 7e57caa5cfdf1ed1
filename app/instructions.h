// TInstructionsForm: the "Instructions  -  Pagewright" window (a shell until the windows of the paging client
// are built).
#pragma once
#include <QWidget>

class TInstructionsForm : public QWidget {
    Q_OBJECT
public:
    explicit TInstructionsForm(QWidget* parent = nullptr);
    ~TInstructionsForm() override;
};

extern TInstructionsForm* InstructionsForm;
