// What errno codes mean to the console on Linux.
#include "deviceerrors.h"

#include <cerrno>
#include <cstring>

namespace {

using Cause = OpenFailure;
constexpr SystemErrorMeaning table[] = {
    {ENOENT, Cause::Missing, DeviceText::Missing, false},
    {ENODEV, Cause::Missing, DeviceText::Missing, true},
    {ENXIO, Cause::Missing, DeviceText::Missing, true},
    {EACCES, Cause::Other, u"accès refusé (l'utilisateur doit appartenir au groupe dialout)", false},
    {EPERM, Cause::Other, u"accès refusé (l'utilisateur doit appartenir au groupe dialout)", false},
    {EBUSY, Cause::Busy, DeviceText::Busy, false},
    {EWOULDBLOCK, Cause::Busy, DeviceText::Busy, false}, // another program's flock
    {ENOTTY, Cause::Other, DeviceText::NotSerial, false},
    {EINVAL, Cause::Other, DeviceText::NotSerial, false},
    {EIO, Cause::Other, u"erreur d'entrée-sortie (port absent ou débranché)", true},
    {EPIPE, Cause::Other, {}, true},
    {EBADF, Cause::Other, {}, true},
};

} // namespace

std::span<const SystemErrorMeaning> systemErrorTable()
{
    return table;
}

QString systemErrorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}
