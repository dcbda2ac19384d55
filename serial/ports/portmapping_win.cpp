// Port numbers on Windows: number n names the device \\.\COMn, from 1 up.
#include "portmapping.h"

namespace {

constexpr QStringView DevicePrefix = u"\\\\.\\COM";

} // namespace

std::optional<QString> devicePathForPort(PortNumber number)
{
    if (number < 1)
        return std::nullopt;
    return DevicePrefix.toString() + QString::number(number);
}

std::optional<PortNumber> portNumberForDevice(const QString &path)
{
    // The port's own name ("COM3") follows the four characters \\.\ of the device namespace.
    if (!path.startsWith(DevicePrefix, Qt::CaseInsensitive))
        return std::nullopt;
    return comPortNumber(QStringView(path).mid(4));
}

QString portDisplayName(PortNumber number)
{
    return QStringLiteral("COM%1").arg(number);
}

QString validPortNumbers()
{
    return QStringLiteral("1 à 32767 (COM1 et suivants)");
}
