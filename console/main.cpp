#include "consolewindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ConsoleWindow::setUpApplication();

    ConsoleWindow window;
    window.show();
    return QApplication::exec();
}
