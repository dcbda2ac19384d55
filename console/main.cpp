#include "consolewindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("liaison-serie"));
    QApplication::setApplicationDisplayName(QStringLiteral("Test liaison série"));
    QApplication::setWindowIcon(ConsoleWindow::applicationIcon());

    ConsoleWindow window;
    window.show();
    return QApplication::exec();
}
