// A child process of the app tests: the paging client started in a folder posts one contact through
// its contacts window, says "posted" on its standard output and then waits to be killed.
#include "app/Unit1.h"
#include "app/contactsGrid.h"
#include "classlib/ui/Application.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: contacts_post_child <folder> <name> <id>\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (::chdir(argv[1]) != 0) return 1;
    QApplication qtApp(argc, argv);
    cls::Application.Initialize();
    TForm1 main;
    TcontactsGridForm contacts;
    main.show();
    QApplication::processEvents();
    contacts.show();
    QApplication::processEvents();
    if (!contacts.contactsTable || !contacts.contactsTable->Active()) return 1;
    contacts.InsertbuttonClick();
    contacts.contactsTable->FieldByName("name")->SetAsString(argv[2]);
    contacts.contactsTable->FieldByName("id")->SetAsString(argv[3]);
    contacts.UpdatebuttonClick();
    if (contacts.contactsTable->State() != cls::dsBrowse) return 1;
    std::printf("posted\n");
    std::fflush(stdout);
    // The test kills the process here. Its end of the input pipe closes when it ends, whatever way,
    // so the process never outlives it.
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 3;
}
