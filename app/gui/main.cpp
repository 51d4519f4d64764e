// tagsmith: the desktop program.
#include <QApplication>

#include "app/gui/TagsmithApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ts::gui::CTagsmithApp theApp;
    return theApp.InitInstance(argc, argv);
}
