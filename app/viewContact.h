// TviewContactForm: the "Contact Information" window, showing one contact read-only; the main
// window fills its labels before showing it.
#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>

class TviewContactForm : public QDialog {
    Q_OBJECT
public:
    explicit TviewContactForm(QWidget* parent = nullptr);
    ~TviewContactForm() override;

    // Shows the window modally; returns when it is closed.
    int ShowModal();
    void okbuttonClick();

    // The values shown after " Name: ", " ID/Alias: " and " Service: ".
    QLabel* nameLabel = nullptr;
    QLabel* idLabel = nullptr;
    QLabel* serviceLabel = nullptr;
    QPushButton* okbutton = nullptr;
};

extern TviewContactForm* viewContactForm;
