// TcontactsGridForm: the contacts window's controls, its own table with the checks before a record
// is stored, the record buttons and the group filter.
#include "app/contactsGrid.h"

#include "app/FormControls.h"
#include "app/Unit1.h"
#include "app/Unit1_glue.h"
#include "classlib/SysUtils.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPalette>
#include <QVBoxLayout>

TcontactsGridForm* contactsGridForm = nullptr;

namespace {

const char* const kEditingMessage = "You are currently editing a record.  Choose UPDATE or CANCEL.";
const char* const kShowAllItem = "SHOW ALL CONTACTS";
constexpr int32_t kKeyViolation = 9729;

using appui::label;

using appui::button;

cls::TDBEdit* dbEdit(QWidget* parent, const char* name, cls::TDataSource* source, const char* field, int x,
                     int y, int w) {
    auto* e = new cls::TDBEdit(parent);
    e->setObjectName(name);
    e->SetDataSource(source);
    e->SetDataField(field);
    e->setGeometry(x, y, w, 22);
    return e;
}

// An id goes into the PAGE command as it stands: a blank would end it early and a control
// character (a line end above all) would start a command of its own.
bool idUsable(const std::string& id) {
    for (unsigned char c : id)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

bool fieldBlank(cls::TField* f) {
    return f && (f->IsNull() || f->AsString().empty());
}

} // namespace

TcontactsGridForm::TcontactsGridForm(QWidget* parent) : QDialog(parent) {
    setObjectName("contactsGridForm");
    DataSource1 = std::make_unique<cls::TDataSource>(nullptr);
    DataSource1->SetName("DataSource1");
    buildWindow();
    if (!contactsGridForm) contactsGridForm = this;
    FormCreate();
}

TcontactsGridForm::~TcontactsGridForm() {
    FormDestroy();
    DataSource1->OnStateChange = nullptr;
    if (contactsGridForm == this) contactsGridForm = nullptr;
}

void TcontactsGridForm::buildWindow() {
    setWindowTitle("Contacts Database  -  Pagewright");
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
    cls::TDataSource* src = DataSource1.get();
    // Left, the grid takes the room the window gives; the record's fields keep their size beside
    // it, and the service list, when shown, beside them.
    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(8, 8, 8, 6);
    columns->setSpacing(12);

    // Left: the contacts and the group filter under them.
    auto* left = new QVBoxLayout;
    left->setSpacing(4);
    columns->addLayout(left, 1);
    DBGrid1 = new cls::TDBGrid(this);
    DBGrid1->setObjectName("DBGrid1");
    DBGrid1->setMinimumSize(270, 200);
    DBGrid1->AddColumn("name", "Name", 150);
    DBGrid1->AddColumn("id", "ID / Alias", 100);
    DBGrid1->horizontalHeader()->setStretchLastSection(true);
    DBGrid1->SetDataSource(src);
    left->addWidget(DBGrid1, 1);

    showOnlyLabel = label(this, "showOnlyLabel", "Show only...", 0, 0);
    left->addWidget(showOnlyLabel);
    auto* filter = new QHBoxLayout;
    filter->setSpacing(6);
    GroupSelectComboBox = new QComboBox(this);
    GroupSelectComboBox->setObjectName("GroupSelectComboBox");
    GroupSelectComboBox->setEditable(false);
    GroupSelectComboBox->setFixedHeight(24);
    filter->addWidget(GroupSelectComboBox, 1);
    showAllContactsButton = button(this, "showAllContactsButton", "Show ALL", 0, 0, 78, 24);
    showAllContactsButton->setFixedSize(78, 24);
    filter->addWidget(showAllContactsButton);
    left->addLayout(filter);
    showingGroupsLabel = new QLabel(this);
    showingGroupsLabel->setObjectName("showingGroupsLabel");
    showingGroupsLabel->setFixedHeight(18);
    QPalette red = showingGroupsLabel->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    showingGroupsLabel->setPalette(red);
    // Its room stays when hidden: choosing a group does not move the grid's bottom.
    QSizePolicy keepRoom = showingGroupsLabel->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    showingGroupsLabel->setSizePolicy(keepRoom);
    showingGroupsLabel->hide();
    left->addWidget(showingGroupsLabel);

    // Middle, of fixed size: the record's fields and group memberships, and the record commands.
    auto* fields = new QWidget(this);
    fields->setObjectName("fieldsPanel");
    fields->setFixedSize(280, 356);
    columns->addWidget(fields, 0, Qt::AlignTop);
    nameLabel = label(fields, "nameLabel", "Name:", 0, 4);
    nameEdit = dbEdit(fields, "nameEdit", src, "name", 80, 0, 200);
    idLabel = label(fields, "idLabel", "ID / Alias:", 0, 32);
    idEdit = dbEdit(fields, "idEdit", src, "id", 80, 28, 200);
    serviceLabel = label(fields, "serviceLabel", "Service:", 0, 60);
    ServicenumberEdit = dbEdit(fields, "ServicenumberEdit", src, "servicenumber", 80, 56, 40);
    ServicenumberEdit->SetMaxLength(2);
    passwordLabel = label(fields, "passwordLabel", "Password:", 128, 60);
    passwordEdit = dbEdit(fields, "passwordEdit", src, "password", 200, 56, 80);

    GroupBox1 = new QGroupBox("Group memberships", fields);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(0, 88, 280, 158);
    for (int i = 1; i <= 10; ++i) {
        auto* c = new cls::TDBCheckBox(GroupBox1);
        c->setObjectName(QString("group%1checkbox").arg(i));
        const int col = (i - 1) / 5, row = (i - 1) % 5;
        c->setGeometry(10 + col * 135, 24 + row * 26, 130, 22);
        c->SetDataSource(src);
        c->SetDataField("memberGr" + std::to_string(i));
        c->SetValueChecked("True");
        c->SetValueUnchecked("False");
        groupCheckboxes[i] = c;
    }

    lostLabel = new QLabel(fields);
    lostLabel->setObjectName("lostLabel");
    lostLabel->setGeometry(0, 286, 208, 40);
    lostLabel->setWordWrap(true);
    lostLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lostLabel->setPalette(red);
    lostLabel->hide();

    Insertbutton = button(fields, "Insertbutton", "Insert", 0, 256, 66, 26);
    Updatebutton = button(fields, "Updatebutton", "Update", 71, 256, 66, 26);
    cancelButton = button(fields, "cancelButton", "Cancel", 142, 256, 66, 26);
    deleteButton = button(fields, "deleteButton", "Delete", 214, 256, 66, 26);
    exitButton = button(fields, "exitButton", "Exit", 214, 328, 66, 26);

    // Right: the services for reference (hidden at run time).
    servicelistPanel = new QFrame(this);
    servicelistPanel->setObjectName("servicelistPanel");
    servicelistPanel->setFrameShape(QFrame::Panel);
    servicelistPanel->setFrameShadow(QFrame::Raised);
    servicelistPanel->setFixedSize(194, 244);
    columns->addWidget(servicelistPanel, 0, Qt::AlignTop);
    label(servicelistPanel, "serviceListTitleLabel", " SERVICES LIST - Reference ", 4, 4);
    for (int i = 1; i <= 12; ++i) {
        const std::string number = std::to_string(i) + ":";
        const int y = 26 + (i - 1) * 18;
        label(servicelistPanel, ("serviceNumber" + std::to_string(i) + "Label").c_str(), number.c_str(), 8,
              y);
        auto* l = new QLabel(servicelistPanel);
        l->setObjectName(QString("service%1Label").arg(i));
        l->setGeometry(34, y, 154, 16);
        serviceLabels[i] = l;
    }
    resize(784, 372);

    QObject::connect(Insertbutton, &QPushButton::clicked, this,
                     cls::Guarded([this] { InsertbuttonClick(); }));
    QObject::connect(Updatebutton, &QPushButton::clicked, this,
                     cls::Guarded([this] { UpdatebuttonClick(); }));
    QObject::connect(cancelButton, &QPushButton::clicked, this,
                     cls::Guarded([this] { cancelButtonClick(); }));
    QObject::connect(deleteButton, &QPushButton::clicked, this,
                     cls::Guarded([this] { deleteButtonClick(); }));
    QObject::connect(exitButton, &QPushButton::clicked, this, cls::Guarded([this] { exitButtonClick(); }));
    QObject::connect(showAllContactsButton, &QPushButton::clicked, this,
                     cls::Guarded([this] { showAllContactsButtonClick(); }));
    // Only the user's choice filters: the program's own selection of the first item must not
    // come back here.
    QObject::connect(GroupSelectComboBox, &QComboBox::activated, this,
                     cls::Guarded([this](int) { GroupSelectComboBoxChange(); }));
    DataSource1->OnStateChange = [this](cls::TComponent* sender) { DataSource1StateChange(sender); };
    DataSource1StateChange(DataSource1.get());
}

int TcontactsGridForm::ShowModal() {
    return exec();
}

// ---- Creation, showing, closing ------------------------------------------------------------------

void TcontactsGridForm::FormCreate() {
    contactsTable = nullptr;
}

void TcontactsGridForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    closing_ = false;
    try {
        FormShow();
    } catch (...) {
        cls::Application.HandleException(std::current_exception());
    }
}

void TcontactsGridForm::FormShow() {
    if (!contactsTable) {
        try {
            auto* t = new TqbTable(nullptr);
            // The main window's session: its client logged in to the engine the contacts are in.
            if (Form1 && Form1->contactsSession) t->SetSessionName(Form1->contactsSession->SessionName());
            t->SetDatabaseName(kContactsDatabase);
            t->SetTableName(kContactsTable);
            t->SetIndexName("nameIndex");
            t->BeforePost = [this](cls::TDataSet* ds) { contactsTableBeforePost(ds); };
            t->OnPostError = [](cls::TDataSet* ds, cls::EDatabaseError& e, cls::TDataAction& action) {
                contactsTablePostError(ds, e, action);
            };
            contactsTable = t;
            DataSource1->SetDataSet(contactsTable);
        } catch (...) {
            cls::Application.HandleException(std::current_exception());
        }
    }
    // The program's own engine, when it could not start, is tried as the main window tries it, which
    // says what keeps it from starting in the user's words.
    if (contactsTable && (!Form1 || Form1->ownEngineStarted())) {
        // The window still opens, empty, so that it can be closed again.
        try {
            // The main window's session is a new one after a lost server came back.
            if (Form1 && Form1->contactsSession && !contactsTable->Active())
                contactsTable->SetSessionName(Form1->contactsSession->SessionName());
            contactsTable->Open();
        } catch (const std::exception& e) {
            const std::string why = Form1 ? Form1->contactsTableFailure(e) : std::string();
            if (why.empty())
                cls::Application.HandleException(std::current_exception());
            else
                showException(why);
        } catch (...) {
            cls::Application.HandleException(std::current_exception());
        }
        // An older table has no "password" field: its editor stays detached.
        if (contactsTable->Active() && !contactsTable->FindField("password")) {
            passwordEdit->SetDataSource(nullptr);
            passwordLabel->hide();
            passwordEdit->hide();
        }
    }

    for (int i = 1; i <= kServiceCount; ++i)
        serviceLabels[i]->setText(cls::toQString(services[i].name));

    GroupSelectComboBox->clear();
    GroupSelectComboBox->addItem(kShowAllItem);
    for (int i = 1; i <= 10; ++i) {
        cls::TDBCheckBox* box = groupCheckboxes[i];
        box->setText(cls::toQString(groupNames[i]));
        if (!groupNames[i].empty()) {
            box->setEnabled(true);
            GroupSelectComboBox->addItem(cls::toQString("Group " + std::to_string(i) + ": " + groupNames[i]));
        } else {
            box->setEnabled(false);
        }
    }

    showAllContactsButtonClick();
    // A table that could not be opened: said in the window, and nothing offered on it.
    DataSource1StateChange(DataSource1.get());
}

void TcontactsGridForm::done(int r) {
    if (!closing_) {
        closing_ = true;
        try {
            FormClose();
        } catch (...) {
            cls::Application.HandleException(std::current_exception());
        }
    }
    QDialog::done(r);
}

void TcontactsGridForm::FormClose() {
    // Left unstored, as a record being typed is when the window closes.
    kept_.reset();
    keptDelete_.reset();
    if (contactsTable) contactsTable->Close();
}

void TcontactsGridForm::FormDestroy() {
    if (!contactsTable) return;
    DataSource1->SetDataSet(nullptr);
    contactsTable->BeforePost = nullptr;
    delete contactsTable;
    contactsTable = nullptr;
}

// ---- Before a record is stored -------------------------------------------------------------------

void TcontactsGridForm::contactsTableBeforePost(cls::TDataSet* DataSet) {
    cls::TField* name = DataSet->FieldByName("name");
    cls::TField* id = DataSet->FieldByName("id");
    if (name->AsString().empty() || id->AsString().empty()) {
        cls::ShowMessage("Name and ID must have values");
        cls::Abort();
    }
    if (!idUsable(id->AsString())) {
        cls::ShowMessage("The ID / Alias must not contain blanks or control characters");
        cls::Abort();
    }
    // The service edit is hidden at run time; without a service the contact could not be paged.
    cls::TField* service = DataSet->FindField("servicenumber");
    if (fieldBlank(service)) service->SetAsInteger(1);
}

void TcontactsGridForm::contactsTablePostError(cls::TDataSet* DataSet, cls::EDatabaseError& E,
                                               cls::TDataAction& Action) {
    // The name index is unique: its key violation means the name is taken.
    const auto* d = dynamic_cast<const EqbDatabaseError*>(&E);
    if (!d || d->ErrorCode != kKeyViolation) return;
    cls::ShowMessage("A contact named \"" + DataSet->FieldByName("name")->AsString() + "\" already exists.");
    Action = cls::daAbort; // the record stays to be put right
}

// ---- Record buttons ------------------------------------------------------------------------------

void TcontactsGridForm::InsertbuttonClick() {
    if (!contactsTable || !contactsTable->Active()) return; // nothing to insert into: said in the window
    if (contactsTable->State() != cls::dsBrowse) {
        cls::ShowMessage(kEditingMessage);
        return;
    }
    contactsTable->Append();
    nameEdit->setFocus();
}

void TcontactsGridForm::UpdatebuttonClick() {
    if (!contactsTable || (!editing() && !kept_)) return;
    onContacts([&] {
        // The record kept over a lost server is put back (reopening the table does it too).
        if (!editing()) {
            if (!kept_) return;
            resumeEdit(*kept_);
        }
        kept_.reset();
        contactsTable->Post();
    });
}

void TcontactsGridForm::cancelButtonClick() {
    if (contactsTable) contactsTable->Cancel();
}

void TcontactsGridForm::deleteButtonClick() {
    cls::Beep();
    if (!contactsTable) return;
    std::string name;
    if (contactsTable->Active()) {
        if (contactsTable->State() != cls::dsBrowse) {
            cls::ShowMessage(kEditingMessage);
            return;
        }
        // Taken before the question: a server lost meanwhile may reopen the table on another record.
        name = contactsTable->FieldByName("name")->AsString();
        if (cls::MessageDlg("Delete this contact?", cls::MsgDlgType::Confirmation, cls::MsgButtons::YesNo) !=
            cls::mrYes)
            return;
    } else if (keptDelete_) {
        name = *keptDelete_; // asked about already
    } else {
        return; // nothing to delete: said in the window
    }
    const bool done = onContacts([&] {
        if (contactsTable->FindKey({cls::Variant(name)})) contactsTable->Delete();
    });
    keptDelete_ = done ? std::nullopt : std::optional<std::string>(name);
    DataSource1StateChange(DataSource1.get());
}

void TcontactsGridForm::exitButtonClick() {
    close();
}

void TcontactsGridForm::DataSource1StateChange(cls::TComponent*) {
    const cls::TDataSetState s = DataSource1->State();
    const bool editing = s == cls::dsEdit || s == cls::dsInsert;
    // A closed table (a lost server) offers nothing but leaving the window, and storing or deleting
    // what the loss kept from it.
    const bool open = s != cls::dsInactive;
    deleteButton->setEnabled(open ? !editing : keptDelete_.has_value());
    Insertbutton->setEnabled(open && !editing);
    cancelButton->setEnabled(editing);
    Updatebutton->setEnabled(editing || (!open && kept_));
    if (open || closing_ || !isVisible()) {
        lostLabel->hide();
        return;
    }
    showKept();
    const std::string server = Form1 ? Form1->contactsServer() : std::string();
    std::string said = "The contacts are not available.";
    if (!server.empty()) {
        said = "The connection to the contacts server " + server + " has been lost: ";
        if (kept_)
            said += "the record is not stored yet. Update stores it once the server answers.";
        else if (keptDelete_)
            said += "\"" + *keptDelete_ + "\" is not deleted yet. Delete deletes it once the server answers.";
        else
            said += "contacts cannot be shown or changed until it answers.";
    }
    lostLabel->setText(cls::toQString(said));
    lostLabel->show();
}

// ---- A lost contacts server ----------------------------------------------------------------------

TcontactsGridForm::Edit TcontactsGridForm::editInProgress() const {
    // What is typed but still in the editors counts too.
    contactsTable->UpdateRecord();
    Edit edit;
    edit.inserting = contactsTable->State() == cls::dsInsert;
    if (!edit.inserting) edit.name = contactsTable->FieldByName("name")->OldValue().AsString();
    const cls::TFields& fields = contactsTable->Fields();
    for (int i = 0; i < fields.Count(); ++i)
        edit.values.emplace_back(fields.Fields(i)->FieldName(), fields.Fields(i)->AsVariant());
    return edit;
}

void TcontactsGridForm::resumeEdit(const Edit& edit) {
    // The record edited may have gone meanwhile: what was typed is then a new one.
    if (edit.inserting || !contactsTable->FindKey({cls::Variant(edit.name)}))
        contactsTable->Append();
    else
        contactsTable->Edit();
    for (const auto& [name, value] : edit.values)
        if (cls::TField* f = contactsTable->FindField(name)) f->SetAsVariant(value);
}

bool TcontactsGridForm::editing() const {
    const cls::TDataSetState s = contactsTable ? contactsTable->State() : cls::dsInactive;
    return s == cls::dsEdit || s == cls::dsInsert;
}

void TcontactsGridForm::keepEdit() {
    if (!editing()) return;
    try {
        kept_ = editInProgress();
    } catch (const std::exception&) {
        // What an editor holds that its field refuses is lost with the connection, as on Cancel.
    }
}

void TcontactsGridForm::showKept() {
    if (!kept_) return;
    auto value = [&](const std::string& field) -> const cls::Variant* {
        for (const auto& [name, v] : kept_->values)
            if (cls::SameText(name, field)) return &v;
        return nullptr;
    };
    for (cls::TDBEdit* e : {nameEdit, idEdit, ServicenumberEdit, passwordEdit})
        if (const cls::Variant* v = value(e->DataField()); v && !v->IsNull())
            e->setText(cls::toQString(v->AsString()));
    for (int i = 1; i <= 10; ++i)
        if (const cls::Variant* v = value(groupCheckboxes[i]->DataField()); v && !v->IsNull()) try {
                groupCheckboxes[i]->setChecked(v->AsBoolean());
            } catch (const std::exception&) {
                // a value the box cannot show stays unticked; the record keeps it
            }
}

bool TcontactsGridForm::onContacts(const std::function<void()>& op) {
    if (!Form1 || Form1->contactsServer().empty()) {
        op();
        return true;
    }
    return Form1->withContacts(op);
}

void TcontactsGridForm::contactsBack(bool back) {
    if (back)
        reopenTable();
    else
        DataSource1StateChange(DataSource1.get());
}

void TcontactsGridForm::reopenTable() {
    if (!contactsTable || contactsTable->Active() || !Form1 || !Form1->contactsSession) return;
    contactsTable->SetSessionName(Form1->contactsSession->SessionName());
    try {
        contactsTable->Open();
    } catch (...) {
        cls::Application.HandleException(std::current_exception());
    }
    showAllContactsButtonClick();
    if (!contactsTable->Active()) return;
    // As if the server had never gone: the record typed is being typed again, the contact whose
    // delete waits is the one shown.
    if (keptDelete_) contactsTable->FindKey({cls::Variant(*keptDelete_)});
    keptDelete_.reset();
    if (!kept_) return;
    try {
        resumeEdit(*kept_);
        kept_.reset();
    } catch (...) {
        cls::Application.HandleException(std::current_exception());
    }
}

// ---- Group filter --------------------------------------------------------------------------------

void TcontactsGridForm::GroupSelectComboBoxChange() {
    ++groupFilterChanges_;
    const int index = GroupSelectComboBox->currentIndex();
    if (index < 0) return;
    const std::string item = cls::fromQString(GroupSelectComboBox->itemText(index));
    if (item == kShowAllItem) {
        showAllContactsButtonClick();
        return;
    }
    // "Group n: name": the number is the 7th character, or 10 when the 8th is "0".
    if (item.size() < 7 || item[6] < '0' || item[6] > '9') return;
    const int number = item.size() > 7 && item[7] == '0' ? 10 : item[6] - '0';
    if (contactsTable) {
        contactsTable->SetFilter("memberGr" + std::to_string(number) + "=true");
        contactsTable->SetFiltered(true);
    }
    showingGroupsLabel->setText(cls::toQString("Showing " + item));
    showingGroupsLabel->setVisible(true);
    showAllContactsButton->setEnabled(true);
}

void TcontactsGridForm::showAllContactsButtonClick() {
    showingGroupsLabel->setVisible(false);
    if (contactsTable) contactsTable->SetFiltered(false);
    GroupSelectComboBox->setCurrentIndex(0);
    showAllContactsButton->setEnabled(false);
}
