// Helpers for the tests of the paging client's secondary windows: user-like keys and typing, and
// reading the contacts table behind the windows' backs.
#pragma once
#include <QWidget>
#include <string>
#include <vector>

namespace wintest {

// One key press and release sent to w, as a user's key.
void key(QWidget* w, int qtKey, const QString& text = {});
// Types text into w one key event per character.
void type(QWidget* w, const QString& text);
// Replaces the text of a line edit as a user would: select all, then type.
void retype(QWidget* lineEdit, const QString& text);

// The contacts stored in the "contacts" table, in "nameIndex" order, read through a table of the
// test's own.
std::vector<std::string> storedNames();
// One field of the stored contact name, as text; "<missing>" when there is no such contact,
// "<null>" for a blank field.
std::string storedField(const std::string& name, const std::string& field);

} // namespace wintest
