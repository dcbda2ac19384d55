#include "portlock.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
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

enum class Verdict { Held, BeingWritten, Stale };

// What the lock file open at `fd` says; `owner` is the process it names.
Verdict judge(int fd, pid_t *owner)
{
    *owner = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return Verdict::Stale;
    char buffer[128];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    const QByteArray text = QByteArray(buffer, n > 0 ? n : 0).trimmed();
    if (text.isEmpty())
        return std::time(nullptr) - st.st_mtime < PortLock::EmptyLockGraceS ? Verdict::BeingWritten
                                                                            : Verdict::Stale;
    // ASCII decimal, possibly padded with spaces (UUCP's ten columns), then maybe more lines.
    qsizetype end = 0;
    while (end < text.size() && text.at(end) >= '0' && text.at(end) <= '9')
        ++end;
    if (end == 0 || end > 12 || (end < text.size() && !QByteArrayView(" \t\r\n").contains(text.at(end))))
        return Verdict::Stale;
    const qint64 pid = text.left(end).toLongLong();
    if (pid <= 0 || pid > largestPid())
        return Verdict::Stale;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return Verdict::Stale;
    // A process started after the file was written has been given a number that was free again.
    if (const std::optional<qint64> started = processStart(pid_t(pid)); started && *started > st.st_mtime + 1)
        return Verdict::Stale;
    *owner = pid_t(pid);
    return Verdict::Held;
}

// Looks at the lock file at `path`: who holds it, or nothing when there is none (a stale one is
// removed). Two programs may judge the same stale file at once: only the one that holds its flock and
// still finds it at `path` removes it; the other looks again.
std::optional<PortLock::Holder> holderOf(const QString &path)
{
    const QByteArray local = QFile::encodeName(path);
    for (int round = 0; round < 20; ++round) {
        const int fd = ::open(local.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        pid_t owner = 0;
        const Verdict verdict = judge(fd, &owner);
        if (verdict != Verdict::Stale) {
            ::close(fd);
            return PortLock::Holder{owner, path};
        }
        ::flock(fd, LOCK_EX);
        struct stat judged {
        }, now{};
        const bool same = ::fstat(fd, &judged) == 0 && ::stat(local.constData(), &now) == 0 &&
                          judged.st_ino == now.st_ino && judged.st_dev == now.st_dev;
        if (same && judge(fd, &owner) == Verdict::Stale)
            ::unlink(local.constData());
        ::close(fd);
        if (same)
            return std::nullopt;
    }
    return PortLock::Holder{0, path}; // the file keeps changing under us: someone is at work on it
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

PortLock::PortLock(const QString &devicePath, QStringList folders)
    : m_device(devicePath), m_folders(std::move(folders))
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

    // Written whole under a name of this process's own, then linked into place: link() fails when a
    // lock file is there already, and the lock never shows empty.
    const QByteArray local = QFile::encodeName(writable);
    const QByteArray own = local + '.' + QByteArray::number(qint64(::getpid()));
    const int fd = ::open(own.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::nullopt;
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    const bool linked = written && ::link(own.constData(), local.constData()) == 0;
    const int linkError = errno;
    ::unlink(own.constData());
    if (!linked) {
        // Made meanwhile by another program: it holds the port.
        if (written && linkError == EEXIST)
            return holderOf(writable);
        return std::nullopt;
    }
    m_path = writable;
    return std::nullopt;
}

void PortLock::release()
{
    if (m_path.isEmpty())
        return;
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly) && file.read(128).trimmed().toLongLong() == ::getpid())
        QFile::remove(m_path);
    m_path.clear();
}
