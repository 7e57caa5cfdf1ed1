// TconfigForm: the "Configuration  -  Pagewright" window, which edits the settings, writes them to
// the settings file and puts them into effect at once.
#pragma once
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <array>
#include <string>

// One page of a tab control whose tab shows while the page is visible: hiding the page (as the
// main window does with the Services page) hides its tab.
class TTabSheet : public QWidget {
public:
    TTabSheet(QTabWidget* pages, const QString& caption);
    void setVisible(bool visible) override;
    bool TabVisible() const;

private:
    QTabWidget* pages_;
    QWidget* holder_; // what the tab control switches; the sheet fills it
};

class TconfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TconfigForm(QWidget* parent = nullptr);
    ~TconfigForm() override;

    // Shows the window modally; returns when it is closed.
    int ShowModal();

    void FormShow();
    void SaveButtonClick();
    void CancelButtonClick();

    // An edit by its name, without regard to case; nullptr when there is none.
    QLineEdit* findEdit(const std::string& name) const;

    QTabWidget* PageControl1 = nullptr;
    TTabSheet* GeneralTabSheet = nullptr;
    TTabSheet* servicesTabSheet = nullptr; // hidden by the main window at its first showing
    TTabSheet* GroupsTabSheet = nullptr;
    TTabSheet* MessagesTabSheet = nullptr;
    TTabSheet* HelpTabSheet = nullptr; // never shown

    QLineEdit* timeoutEdit = nullptr;
    QLineEdit* loggingDirEdit = nullptr;
    QCheckBox* loggingEnabledCheckbox = nullptr;
    QCheckBox* hideCheckallCheckbox = nullptr;
    QLineEdit* helpWordDirEdit = nullptr;
    QLineEdit* helpWordProgramEdit = nullptr;
    QLineEdit* helpWordFileEdit = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* CancelButton = nullptr;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void buildWindow();
    void buildGeneral();
    void buildServices();
    void buildGroups();
    void buildMessages();
    void buildHelp();
    std::string editText(const std::string& name) const;
    // A character the settings file cannot hold is named, selected and refused; true when one was.
    bool refusedCharacter();
    void setEditText(const std::string& name, const std::string& text);
};

extern TconfigForm* configForm;
