#include "portlock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The process id a lock file names: ASCII decimal, possibly padded with spaces (the ten-column format
// of UUCP) and followed by more lines (a program name, a host name). 0 when it names none.
pid_t lockOwner(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.read(128).trimmed();
    qsizetype end = 0;
    while (end < text.size() && text.at(end) >= '0' && text.at(end) <= '9')
        ++end;
    bool ok = false;
    const long pid = text.left(end).toLong(&ok);
    return ok && pid > 0 ? pid_t(pid) : 0;
}

bool isRunning(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
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

pid_t PortLock::acquire()
{
    QStringList seen;
    QString writable;
    for (const QString &folder : std::as_const(m_folders)) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real))
            continue;
        seen << real;
        const QString path = real + u'/' + fileName(m_device);
        const pid_t owner = lockOwner(path);
        if (owner > 0 && isRunning(owner))
            return owner;
        if (QFileInfo::exists(path) && owner > 0)
            QFile::remove(path); // stale: its program has ended
        if (writable.isEmpty() && ::access(QFile::encodeName(real).constData(), W_OK) == 0)
            writable = path;
    }
    if (writable.isEmpty())
        return 0;

    const QByteArray local = QFile::encodeName(writable);
    const int fd = ::open(local.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        // Made meanwhile by another program: it holds the port if it runs.
        const pid_t owner = errno == EEXIST ? lockOwner(writable) : 0;
        return owner > 0 && isRunning(owner) ? owner : 0;
    }
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    if (!written) {
        ::unlink(local.constData());
        return 0;
    }
    m_path = writable;
    return 0;
}

void PortLock::release()
{
    if (m_path.isEmpty())
        return;
    if (lockOwner(m_path) == ::getpid())
        QFile::remove(m_path);
    m_path.clear();
}
