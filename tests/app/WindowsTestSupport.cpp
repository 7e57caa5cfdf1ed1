// Helpers for the tests of the paging client's secondary windows.
#include "tests/app/WindowsTestSupport.h"

#include "app/Unit1.h"
#include "classlib/MemTable.h"
#include "tests/app/AppFixture.h"

#include <QApplication>
#include <QKeyEvent>

namespace wintest {

using snpptest::openContacts;

void key(QWidget* w, int qtKey, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, qtKey, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

void type(QWidget* w, const QString& text) {
    for (QChar c : text) {
        const char16_t u = c.toUpper().unicode();
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == ' ';
        key(w, plain ? int(u) : int(Qt::Key_unknown), QString(c));
    }
}

void retype(QWidget* lineEdit, const QString& text) {
    QKeyEvent selectAll(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    QApplication::sendEvent(lineEdit, &selectAll);
    if (text.isEmpty())
        key(lineEdit, Qt::Key_Delete);
    else
        type(lineEdit, text);
}

std::vector<std::string> storedNames() {
    cls::TMemTable t;
    openContacts(t);
    std::vector<std::string> names;
    for (t.First(); !t.Eof(); t.Next())
        names.push_back(t.FieldByName("name")->AsString());
    return names;
}

std::string storedField(const std::string& name, const std::string& field) {
    cls::TMemTable t;
    openContacts(t);
    if (!t.FindKey({cls::Variant(name)})) return "<missing>";
    cls::TField* f = t.FieldByName(field);
    return f->IsNull() ? "<null>" : f->AsString();
}

} // namespace wintest
