// TlogonForm: the "Administrator Logon" window, a masked password entry with two buttons.
#pragma once
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

class TlogonForm : public QDialog {
    Q_OBJECT
public:
    explicit TlogonForm(QWidget* parent = nullptr);
    ~TlogonForm() override;

    // Shows the window modally; returns mrOk or mrCancel (cls::ModalResult).
    int ShowModal();
    // Places the window 100 pixels right of and below the main window's corner, focus in the edit.
    void FormShow();

    QLineEdit* passwordEdit = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
};

extern TlogonForm* logonForm;
