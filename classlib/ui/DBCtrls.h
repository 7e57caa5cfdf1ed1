// Data-aware controls bound to one field through a data source: the field data link, the line
// edit (TDBEdit) and the check box (TDBCheckBox).
#pragma once
#include "classlib/DB.h"

#include <QCheckBox>
#include <QLineEdit>
#include <functional>
#include <string>

namespace cls {

// The link a single-field control keeps to its data source: it finds the field by name, tells the
// control when the record or the editing state changes, and asks it for its value when the
// record is written (only when the user changed it).
class TFieldDataLink : public TDataLink {
public:
    const std::string& FieldName() const { return fieldName_; }
    void SetFieldName(const std::string& name);
    // The bound field while the data source is active and the dataset has a field of that name.
    TField* Field() const { return field_; }
    // The field accepts a value from the user (editing state aside).
    bool CanModify() const { return !ReadOnly() && field_ && field_->CanModify(); }
    bool Modified() const { return modified_; }
    void SetModified() { modified_ = true; }
    // Throws away the user's change: the control shows the field again.
    void Reset();

    std::function<void()> OnDataChange;    // show the field's value
    std::function<void()> OnEditingChange; // the editing state or the field changed
    std::function<void()> OnUpdateData;    // write the control's value into the field

protected:
    void ActiveChanged() override;
    void LayoutChanged() override;
    void RecordChanged(TField* field) override;
    void EditingChanged() override;
    void UpdateData() override;

private:
    void updateField();

    std::string fieldName_;
    TField* field_ = nullptr;
    bool modified_ = false;
};

// A line edit showing one field. Typing into it puts the dataset in edit state when its data
// source allows auto-edit; the text is written into the field when the record is posted.
// MaxLength limits what the user types (0: no limit of its own); a text field's size limits it too.
class TDBEdit : public QLineEdit {
public:
    explicit TDBEdit(QWidget* parent = nullptr);
    ~TDBEdit() override;

    TDataSource* DataSource() const { return link_.DataSource(); }
    void SetDataSource(TDataSource* source);
    const std::string& DataField() const { return link_.FieldName(); }
    void SetDataField(const std::string& name) { link_.SetFieldName(name); }
    TField* Field() const { return link_.Field(); }
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int value);
    // The text shown, in the system's code page.
    std::string Text() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void dataChange();
    void editingChange();
    void updateData();
    void userEdited(const QString& text);
    int limit() const;
    void applyLimit(int shown);

    TFieldDataLink link_;
    int maxLength_ = 0;
    bool showing_ = false;
};

// A check box showing one field: checked when a Boolean field is true, or when the field's text
// is ValueChecked. A user's click puts the dataset in edit state (auto-edit) and is written into
// the field when the record is posted: the Boolean value, or ValueChecked / ValueUnchecked as text.
class TDBCheckBox : public QCheckBox {
public:
    explicit TDBCheckBox(QWidget* parent = nullptr);
    ~TDBCheckBox() override;

    TDataSource* DataSource() const { return link_.DataSource(); }
    void SetDataSource(TDataSource* source);
    const std::string& DataField() const { return link_.FieldName(); }
    void SetDataField(const std::string& name) { link_.SetFieldName(name); }
    TField* Field() const { return link_.Field(); }
    const std::string& ValueChecked() const { return valueChecked_; }
    void SetValueChecked(const std::string& value);
    const std::string& ValueUnchecked() const { return valueUnchecked_; }
    void SetValueUnchecked(const std::string& value);

private:
    void dataChange();
    void updateData();
    void userClicked(bool checked);
    bool fieldChecked() const;

    TFieldDataLink link_;
    std::string valueChecked_ = "True";
    std::string valueUnchecked_ = "False";
    bool showing_ = false;
};

} // namespace cls
