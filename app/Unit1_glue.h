// Where the main window meets what it borrows: the dialog service, the application object and the
// other windows.
#pragma once
#include <string>

class QWidget;

// A message box with an OK button, through the dialog service.
void showMessage(const std::string& text);
// The application's standard display of an exception that escaped a handler.
void showException(const std::string& text);
void setApplicationTitle(const std::string& title);
// Places a window that is about to be shown beside the main window (right of it where the screen
// has room, else left of it), its top level with the main window's.
void placeBeside(QWidget* window, const QWidget* main);
// At the main window's first showing: hide the configuration window's Services tab and the
// contacts window's service and password editors.
void hideOtherWindowsControls();
// The contacts table has no "password" field: its editor is hidden in the contacts window.
void hidePasswordEditor();
// The contacts server connection is lost, its handles not yet gone: the contacts window keeps the
// record being typed.
void contactsLosing();
// After a reconnect to the contacts server (back), on a new session, the contacts window opens its
// table on it; after a failed one it says what is not stored yet.
void contactsReconnected(bool back);
