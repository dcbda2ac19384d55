#include "portlock.h"

#include "deviceerrors.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The system's largest process id.
qint64 largestPid()
{
    QFile file(QStringLiteral("/proc/sys/kernel/pid_max"));
    bool ok = false;
    const qint64 max = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong(&ok) : 0;
    return ok && max > 0 ? max : 4194304; // the kernel's own limit
}

// When a process started, in seconds since the epoch; nothing when /proc cannot tell.
std::optional<qint64> processStart(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile system(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly) || !system.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Field 22, counted after the command name's closing parenthesis (the name may hold spaces).
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    qint64 bootTime = -1;
    for (const QByteArray &entry : system.readAll().split('\n'))
        if (entry.startsWith("btime "))
            bootTime = entry.mid(6).trimmed().toLongLong();
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (fields.size() < 20 || bootTime < 0 || ticks <= 0)
        return std::nullopt;
    return bootTime + fields.at(19).toLongLong() / ticks;
}

// The users a running process acts as (real, effective, saved, file system); nothing when /proc cannot
// tell.
std::optional<QList<uid_t>> processUsers(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        QList<uid_t> users;
        for (const QByteArray &field : line.mid(4).simplified().split(' ')) {
            bool ok = false;
            const uint user = field.toUInt(&ok);
            if (ok)
                users << uid_t(user);
        }
        return users;
    }
    return std::nullopt;
}

// Whether the process running as `pid` is shown to be another than the one that wrote a lock file
// owned by `owner` and naming `program` after the number ("minicom", as terminal programs and Qt's
// lock files write it; empty when it names none).
bool shownToBeAnother(pid_t pid, const QByteArray &program, uid_t owner)
{
    if (!program.isEmpty()) {
        // The kernel keeps a process's name to 15 bytes; the program's file may be told too.
        const QByteArray name = PortLock::processName(pid).toLocal8Bit();
        const QByteArray file =
            QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName().toLocal8Bit();
        const bool same =
            program == file || program == name || (name.size() == 15 && program.startsWith(name));
        if (!name.isEmpty() && !same)
            return true;
    }
    // A file of root's may have been written by a program that has given up root since.
    if (owner != 0)
        if (const std::optional<QList<uid_t>> users = processUsers(pid); users && !users->contains(owner))
            return true;
    return false;
}

enum class Verdict { Held, BeingWritten, Stale, Unreadable };

struct Judgement {
    Verdict verdict = Verdict::Held;
    pid_t owner = 0; // the process it names, when held
    int error = 0;   // why it cannot be read
};

// What the lock file open at `fd` says.
Judgement judge(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return {Verdict::Unreadable, 0, errno};
    if (!S_ISREG(st.st_mode))
        return {Verdict::Unreadable, 0, 0};
    char buffer[256];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return {Verdict::Unreadable, 0, errno};
    const QByteArray text = QByteArray(buffer, n).trimmed();
    if (text.isEmpty())
        return {std::time(nullptr) - st.st_mtime < PortLock::EmptyLockGraceS ? Verdict::BeingWritten
                                                                             : Verdict::Stale};
    // ASCII decimal, possibly padded with spaces (UUCP's ten columns), then maybe the program's name, on
    // the same line or the next, and more.
    qsizetype end = 0;
    while (end < text.size() && text.at(end) >= '0' && text.at(end) <= '9')
        ++end;
    if (end == 0 || end > 12 || (end < text.size() && !QByteArrayView(" \t\r\n").contains(text.at(end))))
        return {Verdict::Stale};
    const qint64 pid = text.left(end).toLongLong();
    if (pid <= 0 || pid > largestPid())
        return {Verdict::Stale};
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return {Verdict::Stale};
    // A number given out again since the file was written: to another program, or another user's, and
    // to a process that started after the file was written.
    const QByteArray program = text.mid(end).simplified().split(' ').value(0);
    if (shownToBeAnother(pid_t(pid), program, st.st_uid))
        if (const std::optional<qint64> started = processStart(pid_t(pid));
            started && *started > st.st_mtime + 1)
            return {Verdict::Stale};
    return {Verdict::Held, pid_t(pid)};
}

PortLock::Holder holderFrom(const Judgement &judged, const QString &path)
{
    switch (judged.verdict) {
    case Verdict::Held:
        return {judged.owner, path, PortLock::Holder::Running};
    case Verdict::Unreadable:
        return {0, path, PortLock::Holder::Unreadable, judged.error};
    case Verdict::BeingWritten:
    case Verdict::Stale:
        break;
    }
    return {0, path, PortLock::Holder::BeingWritten};
}

// Takes the flock on `fd`, waiting a moment for another program that judges the same file; false when
// it stays taken (someone is at work on the file, or keeps it locked).
bool lockAMoment(int fd)
{
    for (int round = 0; round < 100; ++round) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        ::usleep(10 * 1000);
    }
    return false;
}

// Looks at the lock file at `path`: what keeps the port, or nothing when there is no lock (a stale one
// is removed). Two programs may judge the same stale file at once: only the one that holds its flock and
// still finds it at `path` removes it; the other looks again.
std::optional<PortLock::Holder> holderOf(const QString &path)
{
    const QByteArray local = QFile::encodeName(path);
    for (int round = 0; round < 20; ++round) {
        // Non-blocking: a pipe left at that name would hold the open.
        const int fd = ::open(local.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                return std::nullopt;
            return PortLock::Holder{0, path, PortLock::Holder::Unreadable, errno};
        }
        Judgement judged = judge(fd);
        if (judged.verdict != Verdict::Stale) {
            ::close(fd);
            return holderFrom(judged, path);
        }
        if (!lockAMoment(fd)) {
            ::close(fd);
            return PortLock::Holder{0, path, PortLock::Holder::BeingWritten};
        }
        struct stat opened {
        }, now{};
        const bool same = ::fstat(fd, &opened) == 0 && ::stat(local.constData(), &now) == 0 &&
                          opened.st_ino == now.st_ino && opened.st_dev == now.st_dev;
        if (same && (judged = judge(fd)).verdict == Verdict::Stale) {
            const int error = ::unlink(local.constData()) == 0 ? 0 : errno;
            ::close(fd);
            if (error != 0 && error != ENOENT)
                return PortLock::Holder{0, path, PortLock::Holder::StaleKept, error};
            return std::nullopt;
        }
        ::close(fd);
    }
    return PortLock::Holder{0, path, PortLock::Holder::BeingWritten}; // the file keeps changing under us
}

} // namespace

QStringList PortLock::defaultFolders()
{
    // Debian's /var/lock is a link to /run/lock; elsewhere they may differ, and programs use either.
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

QString PortLock::fileName(const QString &devicePath)
{
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(u'/', u'_');
    return QStringLiteral("LCK..") + name;
}

PortLock::PortLock(QString devicePath, QStringList folders)
    : m_device(std::move(devicePath)), m_folders(std::move(folders))
{
}

QString PortLock::processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

std::optional<PortLock::Holder> PortLock::acquire()
{
    QStringList seen;
    QString writable;
    for (const QString &folder : std::as_const(m_folders)) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real))
            continue;
        seen << real;
        const QString path = real + u'/' + fileName(m_device);
        if (std::optional<Holder> holder = holderOf(path))
            return holder;
        if (writable.isEmpty() && ::access(QFile::encodeName(real).constData(), W_OK) == 0)
            writable = path;
    }
    if (writable.isEmpty())
        return std::nullopt;

    // Written whole under a name that no one can foresee, in a file made new (never one that was left
    // there, never through a link), then linked into place: link() fails when a lock file is there
    // already, and the lock never shows empty.
    const QByteArray local = QFile::encodeName(writable);
    QByteArray own = local + ".XXXXXX";
    const int fd = ::mkostemp(own.data(), O_CLOEXEC);
    if (fd < 0)
        return Holder{0, writable, Holder::NotMade, errno};
    // The number in UUCP's ten columns, then the name the kernel knows this process by, as other terminal
    // programs write it: after a crash, a number given out again to another program is then told stale.
    const QByteArray name = processName(::getpid()).toLocal8Bit();
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') +
                               (name.isEmpty() ? QByteArray() : ' ' + name) + '\n';
    int error = 0;
    if (::fchmod(fd, 0644) != 0) // every program judges it
        error = errno;
    else if (const ssize_t n = ::write(fd, content.constData(), size_t(content.size())); n != content.size())
        error = n < 0 ? errno : ENOSPC;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    std::optional<Holder> holder;
    for (int round = 0; error == 0 && round < 20; ++round) {
        if (::link(own.constData(), local.constData()) == 0) {
            m_path = writable;
            break;
        }
        if (errno != EEXIST) {
            error = errno;
            break;
        }
        // Made meanwhile by another program, which holds the port, unless its lock was stale and has
        // gone: then try again.
        if ((holder = holderOf(writable)))
            break;
        if (round == 19)
            holder = Holder{0, writable, Holder::BeingWritten};
    }
    ::unlink(own.constData());
    if (error != 0)
        return Holder{0, writable, Holder::NotMade, error};
    return holder;
}

QString PortLock::refusalText(const Holder &holder)
{
    const QString busy = DeviceText::Busy.toString();
    const QString file = holder.lockFile;
    switch (holder.kind) {
    case Holder::Running: {
        // The file too: a number given out again to a program that started before the file was
        // written cannot be told from its holder, and someone may have to remove the file.
        const QString program = processName(holder.pid);
        // One pass: a program's name may hold "%1".
        const QString pid = QString::number(holder.pid);
        return busy +
               (program.isEmpty()
                    ? QStringLiteral(" (processus %1, fichier de verrou %2)").arg(pid, file)
                    : QStringLiteral(" (%1, processus %2, fichier de verrou %3)").arg(program, pid, file));
    }
    case Holder::BeingWritten:
        return busy + QStringLiteral(" (fichier de verrou %1 en cours d'écriture)").arg(file);
    case Holder::Unreadable:
        if (holder.error == ELOOP)
            return busy + QStringLiteral(" (le fichier de verrou %1 est un lien)").arg(file);
        if (holder.error == 0)
            return busy +
                   QStringLiteral(" (le fichier de verrou %1 n'est pas un fichier ordinaire)").arg(file);
        return busy + QStringLiteral(" (fichier de verrou %1 illisible : %2)")
                          .arg(file, systemErrorText(holder.error));
    case Holder::StaleKept:
        return QStringLiteral("le fichier de verrou %1 est périmé mais ne peut pas être supprimé (%2) ; "
                              "un administrateur doit le supprimer")
            .arg(file, systemErrorText(holder.error));
    case Holder::NotMade:
        break;
    }
    return QStringLiteral("impossible de créer le fichier de verrou %1 (%2)")
        .arg(file, systemErrorText(holder.error));
}

OpenFailure::Cause PortLock::refusalCause(const Holder &holder)
{
    return holder.kind == Holder::StaleKept || holder.kind == Holder::NotMade ? OpenFailure::Other
                                                                              : OpenFailure::Busy;
}

void PortLock::release()
{
    if (m_path.isEmpty())
        return;
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly) &&
        file.read(128).simplified().split(' ').value(0).toLongLong() == ::getpid())
        QFile::remove(m_path);
    m_path.clear();
}
