// Reception by the Windows serial device, under wine on the test rig (tests/wine: compeer plays the
// device on a Linux pseudo-terminal at the far end of COMn):
//   scripts/wine-test.sh bench_wine_receive.exe [ANSWERS] [IDLE_S]   with LIAISON_WINE_PEER_COM=n
// - idle, first with the port closed, then open with nothing arriving: wake-ups a second (voluntary
//   context switches, as Linux counts them in /proc/<pid>/task/*/status) of this program's threads and
//   of the wineserver that serves it, the CPU time of each, the event loop's wake-ups (its dispatcher's
//   awake() signal), and the calls the device makes on the port (counted through the table of
//   win32calls.h, wrapped here);
// - answer to box: time from the device's third answer byte being written to the line (its first two
//   went 15 ms before) to the console's showAnswer(), over many answers at random moments.
// The source builds as well against an older device (in a second build tree), so that both designs
// can be compared on one machine. Figures go to standard error: standard output is the rig's channel.
#include "../tests/rig/consolefixture.h"
#include "../tests/wine/winepeer.h"
#include "benchutil.h"
#include "consolewindow.h"
#include "win32calls.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
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

// What Linux counts for a process, all its threads: voluntary context switches (each one a wake-up
// from a sleep) and CPU seconds; -1 where /proc cannot be read.
struct LinuxCounts {
    qint64 wakeUps = -1;
    double cpu = -1;
};

LinuxCounts linuxCounts(const QString &pid)
{
    LinuxCounts counts;
    if (pid.isEmpty())
        return counts;
    const QString dir = QStringLiteral("Z:/proc/%1/task").arg(pid);
    for (const QString &task : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(dir + u'/' + task + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                counts.wakeUps = std::max<qint64>(counts.wakeUps, 0) + line.mid(24).trimmed().toLongLong();
    }
    QFile stat(QStringLiteral("Z:/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        // After the command's closing parenthesis: state is field 3, utime 14 and stime 15.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            counts.cpu = double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / 100.0;
    }
    return counts;
}

// The Linux process of this prefix (other prefixes may have theirs running beside it) whose name
// starts with `name`: its environment names the same WINEPREFIX. Empty when none is found. Not
// /proc/self: under wine the wineserver opens files for the program, and "self" is the wineserver.
QString linuxPid(const QByteArray &name)
{
    const QByteArray prefix = "WINEPREFIX=" + qgetenv("WINEPREFIX");
    for (const QString &pid : QDir(QStringLiteral("Z:/proc")).entryList(QDir::Dirs)) {
        if (pid.toLongLong() <= 0)
            continue;
        QFile comm(QStringLiteral("Z:/proc/%1/comm").arg(pid));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith(name))
            continue;
        QFile environment(QStringLiteral("Z:/proc/%1/environ").arg(pid));
        if (environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(prefix))
            return pid;
    }
    return {};
}

// Runs the event loop for `ms` as the console's own would: nothing but its events wakes it.
void runLoopFor(int ms)
{
    QEventLoop loop;
    // Coarse: Qt runs a precise timer on a multimedia timer, which adds wake-ups of its own.
    QTimer::singleShot(ms, Qt::CoarseTimer, &loop, &QEventLoop::quit);
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

    // "wineserver64" on Debian, whose wineserver is a wrapper of that. Linux keeps 15 characters of a
    // process's name: wine names the program's after its executable.
    const QString server = linuxPid("wineserver");
    const QString program =
        linuxPid(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15).toLocal8Bit());
    if (program.isEmpty())
        std::fprintf(stderr, "this program's Linux process not found: its figures are left out\n");
    if (server.isEmpty())
        std::fprintf(stderr, "no wineserver found for WINEPREFIX=%s: its figures are left out\n",
                     qgetenv("WINEPREFIX").constData());
    // Idle for idleSeconds: what it costs this program and its wineserver, a second.
    auto idle = [&](const char *what) {
        runLoopFor(1000);
        const long calls0[] = {clearCommErrors, waitCommEvents, readFiles, overlappedResults};
        const long wake0 = wakeUps;
        const LinuxCounts self0 = linuxCounts(program), server0 = linuxCounts(server);
        const Clock::time_point start = Clock::now();
        runLoopFor(idleSeconds * 1000);
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        const LinuxCounts self1 = linuxCounts(program), server1 = linuxCounts(server);
        const long calls1[] = {clearCommErrors, waitCommEvents, readFiles, overlappedResults};
        const double selfWakes = double(self1.wakeUps - self0.wakeUps) / s;
        const double serverWakes = double(server1.wakeUps - server0.wakeUps) / s;
        std::fprintf(stderr,
                     "%s, idle %.1f s, a second: wake-ups %.1f (program %.1f, wineserver %.1f), "
                     "CPU %.1f ms (program %.1f, wineserver %.1f), event-loop wake-ups %.1f\n",
                     what, s, selfWakes + serverWakes, selfWakes, serverWakes,
                     (self1.cpu - self0.cpu + server1.cpu - server0.cpu) * 1000 / s,
                     (self1.cpu - self0.cpu) * 1000 / s, (server1.cpu - server0.cpu) * 1000 / s,
                     double(wakeUps - wake0) / s);
        std::fprintf(stderr,
                     "%s, calls a second: ClearCommError %.1f, WaitCommEvent %.1f, ReadFile %.1f, "
                     "GetOverlappedResult %.1f\n",
                     what, double(calls1[0] - calls0[0]) / s, double(calls1[1] - calls0[1]) / s,
                     double(calls1[2] - calls0[2]) / s, double(calls1[3] - calls0[3]) / s);
    };

    WinePeer peer;
    TimingSink sink;
    ConsoleWindow window(&sink);
    window.show();
    std::fprintf(stderr, "COM%d, Linux processes: program %s, wineserver %s, %s\n", peer.com(),
                 qPrintable(program), qPrintable(server),
                 qEnvironmentVariableIsSet("LIAISON_WINE_NO_SHIM") ? "without the modem-line shim"
                                                                   : "with the modem-line shim");
    idle("port closed");
    findBox(&window, QStringLiteral("Port"))->setText(QString::number(peer.com()));
    click(&window, QStringLiteral("Connecter"));
    if (sink.failed || !window.link().isOpen())
        return 1;
    idle("port open");

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
