// TcontactsGridForm: the "Contacts Database  -  Pagewright" window, where contacts and their group
// memberships are added, edited and deleted through a table of its own on "contacts".
#pragma once
#include "classlib/ui/DBCtrls.h"
#include "classlib/ui/DBGrids.h"
#include "db/client/qbdbbase.h"

#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TcontactsGridForm : public QDialog {
    Q_OBJECT
public:
    explicit TcontactsGridForm(QWidget* parent = nullptr);
    ~TcontactsGridForm() override;

    // Shows the window modally; returns when it is closed.
    int ShowModal();

    void FormCreate();
    void FormShow();
    void FormClose();
    void FormDestroy();

    // Checks a record before it is stored; a refused record stays in edit or insert state.
    void contactsTableBeforePost(cls::TDataSet* DataSet);
    // A record the table refused: a name already taken is said in the user's words.
    static void contactsTablePostError(cls::TDataSet* DataSet, cls::EDatabaseError& E,
                                       cls::TDataAction& Action);

    void InsertbuttonClick();
    void UpdatebuttonClick();
    void cancelButtonClick();
    void deleteButtonClick();
    void exitButtonClick();
    void DataSource1StateChange(cls::TComponent* Sender);
    void GroupSelectComboBoxChange();
    void showAllContactsButtonClick();
    // The contacts server connection is lost, its handles not yet gone: the record being typed is
    // kept, to be stored after a reconnect.
    void keepEdit();
    // After a reconnect (back) the table opens on the main window's new session, with the record
    // kept being typed again; after a failed one the window says what is not stored yet.
    void contactsBack(bool back);

    // The window's own table: nil until the window is first shown.
    TqbTable* contactsTable = nullptr;
    std::unique_ptr<cls::TDataSource> DataSource1;

    cls::TDBGrid* DBGrid1 = nullptr;
    QLabel* nameLabel = nullptr;
    cls::TDBEdit* nameEdit = nullptr;
    QLabel* idLabel = nullptr;
    cls::TDBEdit* idEdit = nullptr;
    QLabel* serviceLabel = nullptr;
    cls::TDBEdit* ServicenumberEdit = nullptr;
    QLabel* passwordLabel = nullptr;
    cls::TDBEdit* passwordEdit = nullptr;
    QGroupBox* GroupBox1 = nullptr;                      // "Group memberships"
    std::array<cls::TDBCheckBox*, 11> groupCheckboxes{}; // group1checkbox .. group10checkbox
    QPushButton* Insertbutton = nullptr;
    QPushButton* Updatebutton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* exitButton = nullptr;
    QLabel* showOnlyLabel = nullptr; // "Show only..."
    QComboBox* GroupSelectComboBox = nullptr;
    QPushButton* showAllContactsButton = nullptr; // "Show ALL"
    QLabel* showingGroupsLabel = nullptr;
    QLabel* lostLabel = nullptr; // says why the contacts are not shown
    QFrame* servicelistPanel = nullptr;
    std::array<QLabel*, 13> serviceLabels{}; // service1Label .. service12Label

    // How many times the group filter handler has run (it must not run for the program's own
    // changes of the combo box).
    int groupFilterChanges() const { return groupFilterChanges_; }

    // Every way of closing (Exit, the close box, Escape) ends here; the table is closed.
    void done(int r) override;

protected:
    void showEvent(QShowEvent* e) override;

private:
    void buildWindow();
    // A record being inserted or edited, kept over a lost server connection.
    struct Edit {
        bool inserting = false;
        std::string name; // the record's name before the edit
        std::vector<std::pair<std::string, cls::Variant>> values;
    };
    Edit editInProgress() const;
    void resumeEdit(const Edit& edit);
    bool editing() const;
    // Shows the record kept over a loss in the editors while the table is closed.
    void showKept();
    void reopenTable();
    // Runs op on the table; a lost contacts server is the main window's one question, and after a
    // reconnect op runs again. False when it did not complete.
    bool onContacts(const std::function<void()>& op);

    int groupFilterChanges_ = 0;
    bool closing_ = false;
    std::optional<Edit> kept_;              // typed, not stored: the server was lost
    std::optional<std::string> keptDelete_; // the contact whose delete the lost server kept from it
};

extern TcontactsGridForm* contactsGridForm;
