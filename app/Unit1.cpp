// TForm1: the main window of the paging client.
#include "app/Unit1.h"

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Form1");
    setWindowTitle("Pagewright");
}
