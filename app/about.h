// TAboutForm: the "About" window with the product, the maker, support contacts and the version.
#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);
    ~TAboutForm() override;

    // Shows the window modally; returns when it is closed.
    int ShowModal();
    // Places the window 50 pixels right of and below the main window's corner.
    void FormShow();
    void okButtonClick();

    QLabel* versionLabel = nullptr; // the main window sets "Version: 3.10"
    QPushButton* okButton = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
};

extern TAboutForm* AboutForm;
