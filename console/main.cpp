#include "bounded.h"
#include "consolewindow.h"
#include "serialdevice.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QApplication app(argc, argv);
        ConsoleWindow::setUpApplication();

        ConsoleWindow window;
        window.show();
        status = QApplication::exec();
    }
    // A port's final close or an abandoned open may still be waiting in the system: no thread of the
    // program outlives main.
    return finishWorkBeside(status, SerialDevice::ReleaseWaitMs);
}
