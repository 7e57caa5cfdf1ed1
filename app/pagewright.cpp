// Program body: the application object with its title, the windows in their creation order, and
// the message loop.
#include "app/Adminlogon.h"
#include "app/Unit1.h"
#include "app/about.h"
#include "app/config.h"
#include "app/contactsGrid.h"
#include "app/instructions.h"
#include "app/results.h"
#include "app/sendLater.h"
#include "app/viewContact.h"
#include "classlib/ui/Application.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    cls::Application.Initialize();
    cls::Application.SetTitle("Pagewright");
    QApplication::setApplicationName("Pagewright");
    cls::Application.CreateForm<TForm1>();
    cls::Application.CreateForm<TcontactsGridForm>();
    cls::Application.CreateForm<TviewContactForm>();
    cls::Application.CreateForm<TInstructionsForm>();
    cls::Application.CreateForm<TsendingMemoForm>();
    cls::Application.CreateForm<TconfigForm>();
    cls::Application.CreateForm<TAboutForm>();
    cls::Application.CreateForm<TlogonForm>();
    cls::Application.CreateForm<TSendLaterForm>();
    return cls::Application.Run();
}
