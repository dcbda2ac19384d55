// What errno codes mean to the console on Linux.
#include "deviceerrors.h"
#include "posixerrors.h"

#include <QFile>
#include <vector>

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

using Cause = OpenFailure;
constexpr SystemErrorMeaning table[] = {
    {ENOENT, Cause::Missing, DeviceText::Missing, false},
    {ENODEV, Cause::Missing, DeviceText::Missing, true},
    {ENXIO, Cause::Missing, DeviceText::Missing, true},
    // The device's own open says which group the user lacks (accessRefusedText).
    {EACCES, Cause::Other, u"accès refusé", false},
    {EPERM, Cause::Other, u"accès refusé", false},
    {EBUSY, Cause::Busy, DeviceText::Busy, false},
    {EWOULDBLOCK, Cause::Busy, DeviceText::Busy, false}, // another program's flock
    {ENOTTY, Cause::Other, DeviceText::NotSerial, false},
    {EINVAL, Cause::Other, DeviceText::NotSerial, false},
    {EIO, Cause::Other, u"erreur d'entrée-sortie (port absent ou débranché)", true},
    {EPIPE, Cause::Other, {}, true},
    {EBADF, Cause::Other, {}, true},
};

} // namespace

QString accessRefusedText(const QString &devicePath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) == 0) {
        std::vector<char> buffer(16384);
        group entry{};
        group *found = nullptr;
        if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            return QStringLiteral("accès refusé (l'utilisateur doit appartenir au groupe %1, celui de %2)")
                .arg(QString::fromLocal8Bit(found->gr_name), devicePath);
    }
    return QStringLiteral("accès refusé");
}

std::span<const SystemErrorMeaning> systemErrorTable()
{
    return table;
}

QString systemErrorText(int code)
{
    // strerror() may share one buffer between threads; the open runs on a thread of its own.
    return QString::fromLocal8Bit(std::generic_category().message(code).c_str());
}
