// Shared by the contacts-table tests: the contacts table in its own in-memory database, and for the
// data-aware control tests a shown form whose data source is bound to it, with dialogs scripted.
#pragma once
#include "classlib/MemTable.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <memory>
#include <string>

namespace pwtest {

// A table object of its own on the contacts of db, in "nameIndex" order, as each window makes one.
inline std::unique_ptr<cls::TMemTable> openContacts(const char* db) {
    auto table = std::make_unique<cls::TMemTable>();
    table->SetDatabaseName(db);
    table->SetTableName("contacts");
    table->SetIndexName("nameIndex");
    table->Open();
    return table;
}

inline void addContact(cls::TMemTable& table, const std::string& name, const std::string& id, bool group1) {
    table.Append();
    table.FieldByName("name")->SetAsString(name);
    table.FieldByName("id")->SetAsString(id);
    table.FieldByName("memberGr1")->SetAsBoolean(group1);
    table.Post();
}

inline void key(QWidget* w, int k, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, k, mods, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, k, mods, text);
    QApplication::sendEvent(w, &release);
}

// The derived fixture adds its contacts and controls, then shows the form.
class ContactsFormTest : public testing::Test {
protected:
    static constexpr const char* kDb = "formTest";

    void SetUp() override {
        cls::Application.Initialize();
        cls::TMemDatabase::DropAll();
        cls::CreateContactsTable(kDb);
        table = openContacts(kDb);
        source = std::make_unique<cls::TDataSource>(nullptr);
        source->SetDataSet(table.get());
        form = std::make_unique<QWidget>();
    }
    void TearDown() override {
        form.reset();
        source.reset();
        table.reset();
        cls::TMemDatabase::DropAll();
    }

    void addContact(const std::string& name, const std::string& id, bool group1) {
        pwtest::addContact(*table, name, id, group1);
    }
    std::string current() const { return table->FieldByName("name")->AsString(); }

    // A data-aware control on the form at (0, y), bound to field.
    template <class Control> Control* bind(const char* field, int y) {
        auto* c = new Control(form.get());
        c->move(0, y);
        c->SetDataSource(source.get());
        c->SetDataField(field);
        return c;
    }

    // What is stored, read through a second table on the same data, not through the controls' dataset.
    std::string stored(const std::string& name, const std::string& field) {
        auto t = openContacts(kDb);
        if (!t->FindKey({cls::Variant(name)})) return "<missing>";
        cls::TField* f = t->FieldByName(field);
        return f->IsNull() ? "<null>" : f->AsString();
    }

    cls::ScriptedDialogs dialogs;
    std::unique_ptr<cls::TMemTable> table;
    std::unique_ptr<cls::TDataSource> source;
    std::unique_ptr<QWidget> form;
};

} // namespace pwtest
