// Runs a test program inside a small Linux guest under QEMU, on the guest kernel's real drivers, and
// plays the device at the far end of the guest's second serial port.
//
//   qemu_host GUEST_PROGRAM [MODULE...]
//
// The guest boots the host's Debian kernel with an initramfs made here (make-initramfs.sh, which also
// takes the MODULEs a rig needs loaded, such as a virtual USB bus), sees the host's files read-only over
// virtio-9p, and runs GUEST_PROGRAM as a QtTest program on the offscreen platform. Its ttyS0 is the console
// (kept in console.log), its ttyS1 an emulated 16550 whose far end is a pseudo-terminal here, the line under
// test; its ttyS3 another, on which the guest commands the device (tests/rig/commandpeer.h: recv, send,
// break; breaks go through QMP). The guest writes its test log and exit status to a results folder shared
// writable over virtio-9p. Exit status 0 when the guest's tests all passed. LIAISON_GUEST_TESTS, when set,
// names the test functions to run (all by default). QEMU is killed whatever happens: at a deadline, on a
// signal, and by the kernel if this process dies.
#include <QByteArray>
#include <QCollator>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef LIAISON_INITRAMFS_SCRIPT
#error "LIAISON_INITRAMFS_SCRIPT names make-initramfs.sh"
#endif

namespace {

constexpr int DeadlineMs = 170000; // the whole run, boot included

QElapsedTimer sinceStart;

void say(const QString &text)
{
    std::printf("qemu_host %6.1f s: %s\n", double(sinceStart.elapsed()) / 1000, qPrintable(text));
    std::fflush(stdout);
}

struct HostFailure {
    QString why;
};

[[noreturn]] void giveUp(const QString &why)
{
    throw HostFailure{why};
}

pid_t qemuPid = -1;

void killQemu()
{
    if (qemuPid > 0) {
        ::kill(qemuPid, SIGKILL);
        ::waitpid(qemuPid, nullptr, 0);
        qemuPid = -1;
    }
}

// Kills QEMU when it goes out of scope, before the work folder that QEMU writes in is removed.
struct QemuGuard {
    ~QemuGuard() { killQemu(); }
};

// The newest kernel in /boot whose modules are installed: the guest loads its 9p modules from there.
std::optional<QString> guestKernelVersion()
{
    QStringList versions;
    for (const QString &name :
         QDir(QStringLiteral("/boot")).entryList({QStringLiteral("vmlinuz-*")}, QDir::Files)) {
        const QString version = name.mid(8);
        if (QFileInfo::exists(QStringLiteral("/lib/modules/%1/modules.dep").arg(version)))
            versions << version;
    }
    if (versions.isEmpty())
        return std::nullopt;
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(versions.begin(), versions.end(), collator);
    return versions.last();
}

// The kernel proper, out of its self-decompressing image: QEMU boots it directly (PVH), which saves
// the emulated guest decompressing it (about 8 s). The image as it is when it holds no xz stream.
QString unpackedKernel(const QString &image, const QString &folder)
{
    QFile file(image);
    if (!file.open(QIODevice::ReadOnly))
        giveUp(QStringLiteral("cannot read %1").arg(image));
    const QByteArray bytes = file.readAll();
    const qsizetype xz = bytes.indexOf(QByteArray::fromHex("fd377a585a00")); // an xz stream's magic
    if (xz < 0) {
        say(QStringLiteral("%1 holds no xz stream: the guest decompresses it itself").arg(image));
        return image;
    }
    QProcess unxz;
    unxz.setStandardOutputFile(folder + QStringLiteral("/vmlinux"));
    unxz.start(QStringLiteral("xz"), {QStringLiteral("-dcq"), QStringLiteral("--single-stream")});
    if (!unxz.waitForStarted()) {
        say(QStringLiteral("no xz here (Debian package xz-utils): the guest decompresses its kernel itself"));
        return image;
    }
    unxz.write(bytes.mid(xz));
    unxz.closeWriteChannel();
    unxz.waitForFinished(60000);
    return unxz.exitCode() == 0 ? folder + QStringLiteral("/vmlinux") : image;
}

// QEMU's machine protocol on QEMU's standard input and output: one JSON object a line.
class Qmp {
public:
    // The greeting, then the capabilities negotiated.
    bool start(int in, int out, int ms)
    {
        m_in = in;
        m_fd = out;
        return !reply(ms).isEmpty() && !command("qmp_capabilities").contains(QLatin1String("error"));
    }
    // Sends a command and returns its reply (events that come meanwhile are passed over).
    QJsonObject command(const char *name, const QJsonObject &arguments = {})
    {
        QJsonObject message{{QStringLiteral("execute"), QLatin1String(name)}};
        if (!arguments.isEmpty())
            message.insert(QStringLiteral("arguments"), arguments);
        const QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
        if (::write(m_in, line.constData(), size_t(line.size())) != line.size())
            return {};
        for (;;) {
            const QJsonObject answer = reply(10000);
            if (answer.isEmpty() || !answer.contains(QLatin1String("event")))
                return answer;
        }
    }

private:
    // The next JSON object; QEMU's own messages on the same output ("char device redirected to...")
    // are passed over.
    QJsonObject reply(int ms)
    {
        for (;;) {
            while (!m_buffer.contains('\n')) {
                pollfd pfd{m_fd, POLLIN, 0};
                char chunk[4096];
                const ssize_t n = ::poll(&pfd, 1, ms) > 0 ? ::read(m_fd, chunk, sizeof chunk) : -1;
                if (n <= 0)
                    return {};
                m_buffer.append(chunk, n);
            }
            const qsizetype end = m_buffer.indexOf('\n');
            const QJsonDocument line = QJsonDocument::fromJson(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            if (line.isObject())
                return line.object();
        }
    }

    int m_in = -1; // QEMU's
    int m_fd = -1;
    QByteArray m_buffer;
};

void writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            giveUp(QStringLiteral("cannot write to the guest's serial line"));
        } else {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 20);
        }
    }
}

// Reads what the line holds now, without waiting.
void drain(int fd, QByteArray &into)
{
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        into.append(chunk, n);
}

// The device: carries out one command from the guest and gives its answer.
QByteArray obey(const QByteArray &command, int line, QByteArray &received, Qmp &qmp)
{
    drain(line, received); // so that recv sees everything sent before the command
    if (command.startsWith("recv ")) {
        const QByteArray taken = received.left(command.mid(5).toLongLong());
        received.remove(0, taken.size());
        return "data " + taken.toHex();
    }
    if (command.startsWith("send ")) {
        writeAll(line, QByteArray::fromHex(command.mid(5)));
        return "ok";
    }
    if (command == "break") {
        const QJsonObject reply =
            qmp.command("chardev-send-break", {{QStringLiteral("id"), QStringLiteral("s1")}});
        if (!reply.contains(QLatin1String("return")))
            giveUp(QStringLiteral("QEMU sent no break: %1")
                       .arg(QString::fromUtf8(QJsonDocument(reply).toJson())));
        say(QStringLiteral("device: a break"));
        return "ok";
    }
    return "error unknown command " + command.left(100);
}

// The pseudo-terminal here of QEMU's character device `id`, raw.
int openChardev(Qmp &qmp, const QString &id)
{
    QString pty;
    for (const QJsonValue &c : qmp.command("query-chardev").value(QLatin1String("return")).toArray())
        if (c[QLatin1String("label")].toString() == id)
            pty = c[QLatin1String("filename")].toString().remove(QStringLiteral("pty:"));
    const int fd = ::open(pty.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        giveUp(QStringLiteral("no pseudo-terminal for QEMU's %1 (%2)").arg(id, pty));
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    say(QStringLiteral("QEMU's %1 is %2 here").arg(id, pty));
    return fd;
}

// A stop asked for by a signal: the device loop sees it and everything ends as on a failure.
volatile std::sig_atomic_t stopSignal = 0;

void onSignal(int signal)
{
    stopSignal = signal;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void runGuest(const QString &guest, const QStringList &modules)
{
    const QString qemu = QStandardPaths::findExecutable(QStringLiteral("qemu-system-x86_64"));
    if (qemu.isEmpty())
        giveUp(QStringLiteral("qemu-system-x86_64 is missing (Debian package qemu-system-x86)"));
    const std::optional<QString> version = guestKernelVersion();
    if (!version)
        giveUp(QStringLiteral("no kernel in /boot with its modules (Debian package linux-image-amd64)"));
    if (!QFileInfo(guest).isExecutable())
        giveUp(QStringLiteral("no guest program %1").arg(guest));
    if (::access("/dev/kvm", F_OK) != 0)
        say(QStringLiteral("no /dev/kvm, as expected: QEMU emulates the guest's processor (TCG)"));

    // Work folder beside the guest program, which the guest sees; its results folder is shared writable.
    QTemporaryDir work(QFileInfo(guest).absolutePath() + QStringLiteral("/qemu-XXXXXX"));
    if (!work.isValid())
        giveUp(QStringLiteral("no work folder beside %1").arg(guest));
    if (work.path().contains(QLatin1Char(' ')))
        giveUp(QStringLiteral("the QEMU command line cannot name %1: it holds a space").arg(work.path()));
    const QString results = work.filePath(QStringLiteral("results"));
    // The guest program's folder is shared on its own too: a build under /tmp is hidden in the guest by
    // its own /tmp.
    const QString programDir = QFileInfo(guest).absolutePath();
    QDir().mkpath(results);
    QFile run(results + QStringLiteral("/run.sh"));
    if (!run.open(QIODevice::WriteOnly))
        giveUp(QStringLiteral("cannot write %1").arg(run.fileName()));
    run.write(
        QStringLiteral(
            "mkdir -m 700 /tmp/runtime && cd /tmp && exec env -i HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime "
            "PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen %1 -o %2/guest.txt,txt -o -,txt %3\n")
            .arg(guest, results, qEnvironmentVariable("LIAISON_GUEST_TESTS"))
            .toLocal8Bit());
    run.close();

    const QString kernel = unpackedKernel(QStringLiteral("/boot/vmlinuz-") + *version, work.path());
    const QString initramfs = work.filePath(QStringLiteral("initramfs.cpio"));
    if (QProcess::execute(QStringLiteral(LIAISON_INITRAMFS_SCRIPT),
                          QStringList{initramfs, *version} + modules) != 0)
        giveUp(QStringLiteral("no initramfs for kernel %1").arg(*version));
    say(QStringLiteral("kernel %1 (%2), initramfs made").arg(*version, kernel));

    const QString console = work.filePath(QStringLiteral("console.log"));
    // ttyS0 is the console, ttyS1 the line under test, ttyS3 (on an interrupt of its own) the device's
    // orders. No path here holds a space (checked above).
    QStringList arguments =
        QStringLiteral("-accel tcg -M pc -m 1024 -nodefaults -no-user-config -display none -no-reboot "
                       "-kernel %1 -initrd %2 "
                       "-chardev file,id=console,path=%3 -serial chardev:console "
                       "-chardev pty,id=s1 -serial chardev:s1 "
                       "-chardev pty,id=ctl -device isa-serial,chardev=ctl,index=3,irq=5 "
                       "-fsdev local,id=host,path=/,security_model=none,readonly=on,multidevs=remap "
                       "-device virtio-9p-pci,fsdev=host,mount_tag=host "
                       "-fsdev local,id=results,security_model=none,path=%4 "
                       "-device virtio-9p-pci,fsdev=results,mount_tag=results "
                       "-fsdev local,id=program,security_model=none,readonly=on,path=%5 "
                       "-device virtio-9p-pci,fsdev=program,mount_tag=program "
                       "-qmp stdio")
            .arg(kernel, initramfs, console, results, programDir)
            .split(QLatin1Char(' '));
    arguments << QStringLiteral("-append")
              << QStringLiteral("console=ttyS0 quiet panic=-1 guest_results=%1 guest_program=%2")
                     .arg(results, programDir);

    // fork and exec rather than QProcess: the child asks the kernel to kill it when this process dies.
    std::vector<QByteArray> storage{qemu.toLocal8Bit()};
    for (const QString &a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argvQemu;
    for (QByteArray &a : storage)
        argvQemu.push_back(a.data());
    argvQemu.push_back(nullptr);
    const QByteArray qemuLog = work.filePath(QStringLiteral("qemu.log")).toLocal8Bit();
    const pid_t parent = ::getpid();
    const QElapsedTimer bootClock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    int toQemu[2], fromQemu[2];
    if (::pipe2(toQemu, O_CLOEXEC) != 0 || ::pipe2(fromQemu, O_CLOEXEC) != 0)
        giveUp(QStringLiteral("no pipes for QEMU's machine protocol"));
    qemuPid = ::fork();
    if (qemuPid < 0)
        giveUp(QStringLiteral("cannot start QEMU"));
    if (qemuPid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int log = ::open(qemuLog.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(toQemu[0], 0);
        ::dup2(fromQemu[1], 1);
        ::dup2(log, 2);
        ::execv(argvQemu[0], argvQemu.data());
        ::_exit(127);
    }
    ::close(toQemu[0]);
    ::close(fromQemu[1]);
    QemuGuard qemuGuard;
    say(QStringLiteral("QEMU started (process %1)").arg(qemuPid));

    Qmp qmp;
    if (!qmp.start(toQemu[1], fromQemu[0], 10000))
        giveUp(QStringLiteral("no QMP from QEMU: %1")
                   .arg(QString::fromLocal8Bit(readFile(QString::fromLocal8Bit(qemuLog)))));
    const int line = openChardev(qmp, QStringLiteral("s1"));
    const int control = openChardev(qmp, QStringLiteral("ctl"));

    // Play the device until the guest powers off.
    QByteArray received;
    qint64 firstLineMs = -1;
    qint64 testStartMs = -1;
    int status = -1;
    bool timedOut = false;
    QByteArray commands;
    for (;;) {
        pollfd pfd[] = {{line, POLLIN, 0}, {control, POLLIN, 0}};
        if (::poll(pfd, 2, 50) > 0) {
            drain(line, received);
            drain(control, commands);
            for (qsizetype end; (end = commands.indexOf('\n')) >= 0; commands.remove(0, end + 1))
                writeAll(control, obey(commands.left(end).trimmed(), line, received, qmp) + '\n');
        }
        if (firstLineMs < 0 || testStartMs < 0) {
            const QByteArray log = readFile(console);
            if (firstLineMs < 0 && log.contains("guest: init"))
                firstLineMs = bootClock.elapsed();
            if (testStartMs < 0 && log.contains("guest: running"))
                testStartMs = bootClock.elapsed();
        }
        if (::waitpid(qemuPid, &status, WNOHANG) == qemuPid) {
            qemuPid = -1;
            break;
        }
        if (stopSignal)
            giveUp(QStringLiteral("stopped by signal %1").arg(int(stopSignal)));
        if (sinceStart.elapsed() > DeadlineMs) {
            timedOut = true;
            killQemu();
            break;
        }
    }
    ::close(line);
    ::close(control);
    const qint64 totalMs = bootClock.elapsed();

    say(QStringLiteral("boot to the guest's init %1 s, to its test %2 s, QEMU ran %3 s")
            .arg(double(firstLineMs) / 1000, 0, 'f', 1)
            .arg(double(testStartMs) / 1000, 0, 'f', 1)
            .arg(double(totalMs) / 1000, 0, 'f', 1));
    const QByteArray guestStatus = readFile(results + QStringLiteral("/status")).trimmed();
    QString failure;
    if (timedOut)
        failure = QStringLiteral("the guest did not end within %1 s: QEMU killed").arg(DeadlineMs / 1000);
    else if (guestStatus.isEmpty())
        failure = QStringLiteral("the guest ended without a result");
    else if (guestStatus != "0")
        failure =
            QStringLiteral("the guest's tests failed (status %1)").arg(QString::fromLatin1(guestStatus));
    // The test's log as the guest wrote it; on a failure, the guest's whole console instead (the
    // test's log as far as it went, the kernel's and init's messages), and QEMU's own.
    const QByteArray shown = failure.isEmpty()
                                 ? readFile(results + QStringLiteral("/guest.txt"))
                                 : "---- guest console ----\n" + readFile(console).right(20000) +
                                       "\n---- QEMU ----\n" + readFile(QString::fromLocal8Bit(qemuLog));
    std::fwrite(shown.constData(), 1, size_t(shown.size()), stdout);
    if (!failure.isEmpty())
        giveUp(failure);
}

} // namespace

int main(int argc, char **argv)
{
    sinceStart.start();
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGHUP, onSignal);
    if (argc < 2) {
        std::fprintf(stderr, "usage: qemu_host GUEST_PROGRAM [MODULE...]\n");
        return 2;
    }
    QStringList modules;
    for (int i = 2; i < argc; ++i)
        modules << QString::fromLocal8Bit(argv[i]);
    try {
        runGuest(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath(), modules);
    } catch (const HostFailure &failure) {
        say(QStringLiteral("FAIL: ") + failure.why);
        return 1;
    }
    say(QStringLiteral("PASS"));
    return 0;
}
