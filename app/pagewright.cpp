// Program body: the application object, its windows in order, the message loop.
#include "app/Unit1.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pagewright");
    TForm1 form;
    form.show();
    return app.exec();
}
