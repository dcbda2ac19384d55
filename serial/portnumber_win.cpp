// Port numbers on Windows: number n names the device \\.\COMn, from 1 up.
#include "portnumber.h"

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
    if (!path.startsWith(DevicePrefix, Qt::CaseInsensitive))
        return std::nullopt;
    const QStringView rest = QStringView(path).mid(DevicePrefix.size());
    bool ok = !rest.isEmpty() && !rest.startsWith(u'0');
    for (QChar c : rest)
        ok = ok && c >= u'0' && c <= u'9';
    const int number = ok ? rest.toInt(&ok) : 0;
    if (!ok || number < 1 || number > 32767)
        return std::nullopt;
    return static_cast<PortNumber>(number);
}

QString portDisplayName(PortNumber number)
{
    return QStringLiteral("COM%1").arg(number);
}

QString validPortNumbers()
{
    return QStringLiteral("1 à 32767 (COM1 et suivants)");
}
