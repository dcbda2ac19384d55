// Envoyer and answers over a pseudo-terminal:
// - parse and hand-off time of long lists typed in ListeCar (the Envoyer operation returns once every
//   byte is in the link's hands);
// - every one of those bytes read back at the other side, count and order checked;
// - time from the third answer byte written at the peer to the answer box being shown.
#include "../tests/ptypair.h"
#include "benchutil.h"
#include "consolewindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

class TimingSink : public QuietSink {
public:
    void showAnswer(const QString &text) override
    {
        shownAt = clock.nsecsElapsed();
        last = text;
        QuietSink::showAnswer(text);
    }
    QElapsedTimer clock;
    qint64 shownAt = 0;
    QString last;
};

bool sendList(ConsoleWindow &window, TimingSink &sink, PtyPair &pty, int values)
{
    QString list;
    QByteArray expected;
    list.reserve(values * 4);
    for (int i = 0; i < values; ++i) {
        const int v = (i * 131 + i / 256) % 256;
        if (i)
            list += u' ';
        list += QString::number(v);
        expected.append(static_cast<char>(v));
    }
    window.findChild<QLineEdit *>(QStringLiteral("ListeCar"))->setText(list);

    QElapsedTimer clock;
    clock.start();
    // The operation that a click on Envoyer runs, timed alone: a click also repaints the window, and
    // laying out a text box that holds a million values is the toolkit's cost, not the list's.
    try {
        window.Envoyer_Click();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "Envoyer failed: %s\n", e.what());
        sink.failed = true;
    }
    const double handOffMs = double(clock.nsecsElapsed()) / 1e6;
    const qsizetype queued = window.link().outputQueued();

    // Then the peer reads everything while the console's event loop drains its queue.
    const QByteArray got = pty.readWhileConsoleRuns(expected.size());
    const double totalMs = double(clock.nsecsElapsed()) / 1e6;

    const bool same = got == expected;
    std::printf("%8d values: parse and hand-off %8.2f ms (%lld bytes queued at return); all read at the peer "
                "after %8.1f ms: %lld of %lld bytes, order %s\n",
                values, handOffMs, static_cast<long long>(queued), totalMs,
                static_cast<long long>(got.size()), static_cast<long long>(expected.size()),
                same ? "intact" : "WRONG");
    return same && !sink.failed;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int answers = argc > 1 ? std::max(1, atoi(argv[1])) : 500;

    PtyPair pty;
    TimingSink sink;
    ConsoleWindow window(&sink);
    window.show();
    if (!pty.isValid() || !QTest::qWaitForWindowExposed(&window))
        return 1;
    window.findChild<QLineEdit *>(QStringLiteral("Port"))->setText(pty.portText());
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("Connecter")), Qt::LeftButton);
    if (sink.failed)
        return 1;

    bool ok = true;
    for (int values : {10000, 100000, 1000000})
        ok = sendList(window, sink, pty, values) && ok;

    // Answers: two bytes first, then the third, timed to the box being shown.
    sink.clock.start();
    QList<double> micros;
    for (int i = 0; i < answers && ok; ++i) {
        const int before = sink.answers;
        pty.send(QByteArray::fromHex("0102"));
        QTest::qWait(1);
        const qint64 sentAt = sink.clock.nsecsElapsed();
        pty.send(QByteArray(1, static_cast<char>(i & 0xff)));
        QElapsedTimer limit;
        limit.start();
        while (sink.answers == before && limit.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (sink.answers != before + 1 || sink.last != QStringLiteral("1 2 %1").arg(i & 0xff)) {
            std::fprintf(stderr, "answer %d: got \"%s\"\n", i, qPrintable(sink.last));
            return 1;
        }
        micros << double(sink.shownAt - sentAt) / 1000.0;
    }
    printFigures("third answer byte to answer box shown", micros, "us");
    return ok ? 0 : 1;
}
