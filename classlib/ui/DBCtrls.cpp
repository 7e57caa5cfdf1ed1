// Data-aware controls bound to one field: the field data link, TDBEdit and TDBCheckBox.
#include "classlib/ui/DBCtrls.h"

#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"
#include "classlib/ui/QtText.h"

#include <QKeyEvent>
#include <QValidator>
#include <algorithm>

namespace cls {

// ---- TFieldDataLink ----

void TFieldDataLink::SetFieldName(const std::string& name) {
    if (name == fieldName_) return;
    fieldName_ = name;
    updateField();
}

void TFieldDataLink::Reset() {
    modified_ = false;
    if (OnDataChange) OnDataChange();
}

// A missing field leaves the control empty and read-only rather than failing the dataset's open.
void TFieldDataLink::updateField() {
    TField* f = nullptr;
    if (Active() && !fieldName_.empty()) f = DataSet()->FindField(fieldName_);
    field_ = f;
    modified_ = false;
    if (OnEditingChange) OnEditingChange();
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::ActiveChanged() {
    updateField();
}

void TFieldDataLink::LayoutChanged() {
    updateField();
}

void TFieldDataLink::RecordChanged(TField* field) {
    if (field && field != field_) return;
    modified_ = false;
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::EditingChanged() {
    if (OnEditingChange) OnEditingChange();
}

void TFieldDataLink::UpdateData() {
    if (!modified_) return;
    if (field_ && OnUpdateData) OnUpdateData();
    modified_ = false;
}

namespace {

// Lets through only text the system's code page can hold, so that what is typed is what is stored.
class AnsiValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override { return IsAnsiText(input) ? Acceptable : Invalid; }
};

// Runs a user-input handler; an exception from the dataset (a refused edit, say) goes to the
// application's exception display and the control shows the field again.
template <class F> void userAction(TFieldDataLink& link, F fn) {
    try {
        fn();
    } catch (...) {
        link.Reset();
        Application.HandleException(std::current_exception());
    }
}

} // namespace

// ---- TDBEdit ----

TDBEdit::TDBEdit(QWidget* parent) : QLineEdit(parent) {
    setValidator(new AnsiValidator(this));
    link_.OnDataChange = [this] { dataChange(); };
    link_.OnEditingChange = [this] { editingChange(); };
    link_.OnUpdateData = [this] { updateData(); };
    connect(this, &QLineEdit::textEdited, this, [this](const QString& t) { userEdited(t); });
    editingChange();
}

TDBEdit::~TDBEdit() {
    link_.OnDataChange = nullptr;
    link_.OnEditingChange = nullptr;
    link_.OnUpdateData = nullptr;
}

void TDBEdit::SetDataSource(TDataSource* source) {
    link_.SetDataSource(source);
}

void TDBEdit::SetMaxLength(int value) {
    maxLength_ = std::max(0, value);
    applyLimit(int(text().size()));
}

std::string TDBEdit::Text() const {
    return fromQString(text());
}

// The smaller of MaxLength and a text field's size; 0 when neither limits.
int TDBEdit::limit() const {
    int n = maxLength_;
    TField* f = link_.Field();
    if (f && (f->DataType() == ftString || f->DataType() == ftFixedChar) && f->Size() > 0)
        n = n > 0 ? std::min(n, f->Size()) : f->Size();
    return n;
}

// A stored value longer than the limit is still shown whole (QLineEdit would cut it); the user
// can shorten it but not lengthen it.
void TDBEdit::applyLimit(int shown) {
    int n = limit();
    setMaxLength(n > 0 ? std::max(n, shown) : 32767);
}

void TDBEdit::dataChange() {
    TField* f = link_.Field();
    QString t;
    if (f) {
        try {
            t = toQString(f->Text());
        } catch (...) {
            t.clear(); // a value the field cannot show is shown empty, not thrown into the dataset
        }
    }
    showing_ = true;
    applyLimit(int(t.size()));
    setText(t);
    showing_ = false;
    editingChange();
}

void TDBEdit::editingChange() {
    setReadOnly(!(link_.Active() && link_.CanModify()));
}

void TDBEdit::updateData() {
    TField* f = link_.Field();
    f->SetText(fromQString(text()));
}

// The text has already changed; putting the dataset in edit state shows the field again, so the
// user's text and cursor are put back afterwards.
void TDBEdit::userEdited(const QString& typed) {
    if (showing_) return;
    userAction(link_, [&] {
        int cursor = cursorPosition();
        if (!link_.Field() || !link_.Edit()) {
            link_.Reset();
            Beep();
            return;
        }
        if (text() != typed) {
            showing_ = true;
            applyLimit(int(typed.size()));
            setText(typed);
            setCursorPosition(cursor);
            showing_ = false;
        } else
            applyLimit(int(typed.size()));
        link_.SetModified();
    });
}

void TDBEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && link_.Modified()) {
        link_.Reset();
        selectAll();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

// ---- TDBCheckBox ----

TDBCheckBox::TDBCheckBox(QWidget* parent) : QCheckBox(parent) {
    link_.OnDataChange = [this] { dataChange(); };
    link_.OnUpdateData = [this] { updateData(); };
    connect(this, &QAbstractButton::clicked, this, [this](bool checked) { userClicked(checked); });
}

TDBCheckBox::~TDBCheckBox() {
    link_.OnDataChange = nullptr;
    link_.OnUpdateData = nullptr;
}

void TDBCheckBox::SetDataSource(TDataSource* source) {
    link_.SetDataSource(source);
}

void TDBCheckBox::SetValueChecked(const std::string& value) {
    valueChecked_ = value;
    dataChange();
}

void TDBCheckBox::SetValueUnchecked(const std::string& value) {
    valueUnchecked_ = value;
    dataChange();
}

// A null field, or text that is neither value, shows unchecked and stays as it is unless clicked.
bool TDBCheckBox::fieldChecked() const {
    TField* f = link_.Field();
    if (!f) return false;
    try {
        if (f->IsNull()) return false;
        if (f->DataType() == ftBoolean) return f->AsBoolean();
        return SameText(f->Text(), valueChecked_);
    } catch (...) {
        return false;
    }
}

void TDBCheckBox::dataChange() {
    showing_ = true;
    setChecked(fieldChecked());
    showing_ = false;
}

void TDBCheckBox::updateData() {
    TField* f = link_.Field();
    if (f->DataType() == ftBoolean)
        f->SetAsBoolean(isChecked());
    else
        f->SetAsString(isChecked() ? valueChecked_ : valueUnchecked_);
}

void TDBCheckBox::userClicked(bool checked) {
    if (showing_) return;
    userAction(link_, [&] {
        if (!link_.Field() || !link_.CanModify() || !link_.Edit()) {
            link_.Reset();
            Beep();
            return;
        }
        showing_ = true;
        setChecked(checked);
        showing_ = false;
        link_.SetModified();
    });
}

} // namespace cls
