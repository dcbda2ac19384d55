// Reception by the Windows serial device, under wine on the test rig (tests/wine: compeer plays the
// device on a Linux pseudo-terminal at the far end of COMn):
//   scripts/wine-test.sh bench_wine_receive.exe [ANSWERS] [IDLE_S]   with LIAISON_WINE_PEER_COM=n
// - idle, the port open and nothing arriving: the process's CPU time, the calls the device makes on
//   the port (counted through the table of win32calls.h, wrapped here), the event loop's wake-ups (its
//   dispatcher's awake() signal), and the CPU time again as Linux counts it (Z:\proc/self/stat);
// - answer to box: time from the device's third answer byte being written to the line (its first two
//   went 15 ms before) to the console's showAnswer(), over many answers at random moments.
// Figures go to standard error: standard output is the rig's channel.
#include "../tests/rig/consolefixture.h"
#include "../tests/wine/winepeer.h"
#include "benchutil.h"
#include "consolewindow.h"
#include "win32calls.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> clearCommErrors{0}, waitCommEvents{0}, readFiles{0}, overlappedResults{0};
Win32SerialCalls real;

BOOL WINAPI countClearCommError(HANDLE port, DWORD *errors, COMSTAT *status)
{
    ++clearCommErrors;
    return real.clearCommError(port, errors, status);
}
// Only a device that waits for events has WaitCommEvent in its table.
template <typename Calls> void countWaits(Calls &calls)
{
    if constexpr (requires { calls.waitCommEvent; }) {
        static const decltype(calls.waitCommEvent) realWait = calls.waitCommEvent;
        calls.waitCommEvent = [](HANDLE port, DWORD *mask, OVERLAPPED *ov) -> BOOL {
            ++waitCommEvents;
            return realWait(port, mask, ov);
        };
    }
}
BOOL WINAPI countReadFile(HANDLE port, void *buffer, DWORD size, DWORD *read, OVERLAPPED *ov)
{
    ++readFiles;
    return real.readFile(port, buffer, size, read, ov);
}
BOOL WINAPI countOverlappedResult(HANDLE port, OVERLAPPED *ov, DWORD *count, BOOL wait)
{
    ++overlappedResults;
    return real.getOverlappedResult(port, ov, count, wait);
}

// This (wine) process's CPU time as Linux counts it, all its threads; -1 when /proc cannot be read.
double linuxCpuSeconds()
{
    QFile stat(QStringLiteral("Z:/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // After the command's closing parenthesis: state is field 3, utime 14 and stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / 100.0 : -1;
}

// Runs the event loop for `ms` as the console's own would: nothing but its events wakes it.
void runLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

class TimingSink : public QuietSink {
public:
    void showAnswer(const QString &text) override
    {
        shownAt = Clock::now();
        QuietSink::showAnswer(text);
        shown.fetch_add(1);
    }
    Clock::time_point shownAt;
    std::atomic<int> shown{0};
};

// On standard error, in microseconds.
void printSpread(const char *what, QList<double> samples)
{
    if (samples.isEmpty())
        return;
    std::sort(samples.begin(), samples.end());
    std::fprintf(stderr, "%s: n=%lld  min %.0f  p10 %.0f  median %.0f  p90 %.0f  max %.0f us\n", what,
                 static_cast<long long>(samples.size()), quantile(samples, 0), quantile(samples, 0.1),
                 quantile(samples, 0.5), quantile(samples, 0.9), samples.last());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ConsoleWindow::setUpApplication();
    const int answers = argc > 1 ? std::max(1, atoi(argv[1])) : 300;
    const int idleSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    if (!WinePeer::available()) {
        std::fprintf(stderr, "run under the test rig: scripts/wine-test.sh with LIAISON_WINE_PEER_COM\n");
        return 2;
    }
    Win32SerialCalls &calls = win32SerialCalls();
    calls.clearCommError = countClearCommError;
    countWaits(calls);
    calls.readFile = countReadFile;
    calls.getOverlappedResult = countOverlappedResult;
    std::atomic<long> wakeUps{0};
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     [&] { wakeUps.fetch_add(1, std::memory_order_relaxed); });

    WinePeer peer;
    TimingSink sink;
    ConsoleWindow window(&sink);
    window.show();
    findBox(&window, QStringLiteral("Port"))->setText(QString::number(peer.com()));
    click(&window, QStringLiteral("Connecter"));
    if (sink.failed || !window.link().isOpen())
        return 1;
    std::fprintf(stderr, "COM%d open, %s\n", peer.com(),
                 qEnvironmentVariableIsSet("LIAISON_WINE_NO_SHIM") ? "without the modem-line shim"
                                                                   : "with the modem-line shim");

    // Idle.
    runLoopFor(1000);
    const long calls0[] = {clearCommErrors, waitCommEvents, readFiles, overlappedResults};
    const long wake0 = wakeUps;
    const double linux0 = linuxCpuSeconds();
    const double cpu0 = processCpuSeconds();
    const Clock::time_point idleStart = Clock::now();
    runLoopFor(idleSeconds * 1000);
    const double idleS = std::chrono::duration<double>(Clock::now() - idleStart).count();
    const double cpu = processCpuSeconds() - cpu0;
    const double linux1 = linuxCpuSeconds();
    const long wakes = wakeUps - wake0;
    const long calls1[] = {clearCommErrors, waitCommEvents, readFiles, overlappedResults};
    std::fprintf(stderr, "idle %.1f s: CPU %.3f s (GetProcessTimes), %.3f s per 10 s\n", idleS, cpu,
                 cpu * 10 / idleS);
    if (linux0 >= 0 && linux1 >= 0)
        std::fprintf(stderr, "idle: CPU as Linux counts it %.2f s\n", linux1 - linux0);
    std::fprintf(stderr,
                 "idle per second: event-loop wake-ups %.1f; ClearCommError %.1f, WaitCommEvent %.1f, "
                 "ReadFile %.1f, GetOverlappedResult %.1f\n",
                 double(wakes) / idleS, double(calls1[0] - calls0[0]) / idleS,
                 double(calls1[1] - calls0[1]) / idleS, double(calls1[2] - calls0[2]) / idleS,
                 double(calls1[3] - calls0[3]) / idleS);

    // Answers: the rig's channel blocks its caller, so the device's side runs on a thread of its own
    // while the console's event loop runs here.
    QList<double> fromWrite;  // third byte's "send" asked of the rig -> box shown
    QList<double> fromOnLine; // the rig said the byte is on the line -> box shown
    std::atomic<bool> done{false};
    bool ok = true;
    std::thread device([&] {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> pause(5, 25);
        for (int i = 0; i < answers && ok; ++i) {
            const int before = sink.shown;
            peer.send(QByteArray::fromHex("0102"));
            Sleep(15);
            const Clock::time_point asked = Clock::now();
            peer.send(QByteArray(1, char(i & 0xff)));
            const Clock::time_point onLine = Clock::now();
            const Clock::time_point limit = onLine + std::chrono::seconds(2);
            while (sink.shown == before && Clock::now() < limit)
                Sleep(1);
            if (sink.shown != before + 1) {
                std::fprintf(stderr, "answer %d not shown\n", i);
                ok = false;
                break;
            }
            const Clock::time_point shownAt = sink.shownAt;
            fromWrite << std::chrono::duration<double, std::micro>(shownAt - asked).count();
            fromOnLine << std::chrono::duration<double, std::micro>(shownAt - onLine).count();
            Sleep(DWORD(pause(random)));
        }
        done = true;
    });
    while (!done)
        runLoopFor(50);
    device.join();
    printSpread("third byte asked of the rig -> answer shown", fromWrite);
    printSpread("third byte on the line (rig's ok) -> shown", fromOnLine);
    window.close();
    return ok && !sink.failed ? 0 : 1;
}
