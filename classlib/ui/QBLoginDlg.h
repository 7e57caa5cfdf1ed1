// The database client's login dialog and server selection dialog.
#pragma once
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

// Asks for a user name and a password; OK accepts only when both are filled in.
class TQBLoginDialog : public QDialog {
public:
    explicit TQBLoginDialog(QWidget* parent = nullptr);
    void btnOKClick();

    QLabel* lblUserName;
    QLineEdit* edtUserName;
    QLabel* lblPassword;
    QLineEdit* edtPassword;
    QPushButton* btnOK;
    QPushButton* btnCancel;
};

// Picks one of the servers that answered.
class TQBPickServerDlg : public QDialog {
public:
    explicit TQBPickServerDlg(QWidget* parent = nullptr);

    QFrame* Bevel1;
    QLabel* Label1;
    QComboBox* CBNames;
    QPushButton* OKBtn;
};
