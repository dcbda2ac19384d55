// Start-up time: from starting a process to the console window being shown (exposed) on screen.
// The program runs itself as the child that starts the console exactly as the real entry does,
// many times, and prints the median.
#include "consolewindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QWindow>

#include <cstdio>

#include "benchutil.h"

namespace {

class ExposeWatcher : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = qobject_cast<QWindow *>(watched);
        if (event->type() == QEvent::Expose && window && window->isExposed()) {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QCoreApplication::exit(0);
        }
        return false;
    }
};

int child(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ConsoleWindow::setUpApplication();
    ConsoleWindow window;
    ExposeWatcher watcher;
    window.winId(); // creates the native window so that its expose can be watched
    window.windowHandle()->installEventFilter(&watcher);
    window.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return child(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    QList<double> millis;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        while (!process.canReadLine() && process.waitForReadyRead(10000)) {
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (!process.readLine().startsWith("shown")) {
            std::fprintf(stderr, "run %d: the window was never shown\n", i);
            return 1;
        }
        process.waitForFinished(5000);
        millis << ms;
    }
    std::printf("platform: %s\n", qgetenv("QT_QPA_PLATFORM").isEmpty()
                                      ? (qEnvironmentVariableIsSet("DISPLAY") ? "xcb" : "default")
                                      : qgetenv("QT_QPA_PLATFORM").constData());
    printFigures("process start to window shown", millis, "ms");
    return 0;
}
