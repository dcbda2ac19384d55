// Time from a call button's click to all of its bytes being readable at the other side of a
// pseudo-terminal, over many presses of every button.
#include "../tests/ptypair.h"
#include "benchutil.h"
#include "consolewindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int presses = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;

    PtyPair pty;
    if (!pty.isValid()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    QuietSink sink;
    ConsoleWindow window(&sink);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    window.findChild<QLineEdit *>(QStringLiteral("Port"))->setText(pty.portText());
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("Connecter")), Qt::LeftButton);
    if (sink.failed)
        return 1;

    QList<QPushButton *> buttons;
    for (QPushButton *b : window.findChildren<QPushButton *>())
        if (b->objectName() != QLatin1String("Connecter") && b->objectName() != QLatin1String("Envoyer"))
            buttons << b;

    QList<double> micros;
    qsizetype total = 0;
    for (int i = 0; i < presses; ++i) {
        QPushButton *b = buttons.at(i % buttons.size());
        const qsizetype expected = b->objectName() == QLatin1String("Prof") ? 5 : 6;
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(b, Qt::LeftButton);
        // The console hands its writes to the kernel from the event loop, as it does in the program.
        QByteArray got;
        while (got.size() < expected) {
            QCoreApplication::processEvents();
            got += pty.readAvailable(got.isEmpty() ? 0 : 1);
        }
        micros << double(clock.nsecsElapsed()) / 1000.0;
        total += got.size();
        if (got.size() != expected || got.at(0) != 0x01) {
            std::fprintf(stderr, "press %d: unexpected bytes %s\n", i, got.toHex(' ').constData());
            return 1;
        }
    }
    std::printf("%d presses of %lld buttons, %lld bytes read at the peer, all as expected\n", presses,
                static_cast<long long>(buttons.size()), static_cast<long long>(total));
    printFigures("click to bytes readable at the peer", micros, "us");
    return 0;
}
