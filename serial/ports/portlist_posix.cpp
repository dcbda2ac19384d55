// The serial ports present on Linux, from sysfs.
#include "portlist_posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// One line of a sysfs attribute, or nothing when it cannot be read.
std::optional<QString> attribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Attributes are short; a name from a device is cut later anyway.
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// Whether the ttyS at `ttyDir` has a UART behind it. The serial core makes ttyS0 to ttyS3 on every PC,
// whatever its hardware, and reports the type of each as 0 (unknown) where it found no UART. Without
// that attribute (kernels before it), the legacy ports that the 8250 driver makes for itself hang off its
// "serial8250" platform device, while ports the firmware describes hang off their own device (PNP, ACPI,
// PCI): only those are taken.
bool hasUart(const QString &ttyDir, const QString &deviceDir)
{
    if (const std::optional<QString> type = attribute(ttyDir + QStringLiteral("/type"))) {
        bool ok = false;
        const int value = type->toInt(&ok);
        return ok && value != 0;
    }
    return !deviceDir.split(u'/').contains(QStringLiteral("serial8250"));
}

// The product name of the USB device behind a tty: the first directory above its device that is a USB
// device (it has an idVendor). Nothing when the tty is not on USB, or when that device gives no name (a
// hub further up has a name of its own, which is not this device's).
QString usbProductName(const QString &deviceDir, const QString &sysfsRoot)
{
    QDir dir(deviceDir);
    for (int level = 0; level < 4 && dir.absolutePath().startsWith(sysfsRoot); ++level) {
        if (QFileInfo::exists(dir.filePath(QStringLiteral("idVendor"))))
            return cleanDeviceName(attribute(dir.filePath(QStringLiteral("product"))).value_or(QString()));
        if (!dir.cdUp())
            break;
    }
    return {};
}

} // namespace

PortListing serialPortsInSysfs(const QString &sysfsRoot)
{
    static const QRegularExpression serialName(QStringLiteral("^tty(S|USB|ACM)(0|[1-9][0-9]{0,8})$"));
    const QString root = QFileInfo(sysfsRoot).canonicalFilePath();
    const QDir ttys(sysfsRoot + QStringLiteral("/class/tty"));
    if (root.isEmpty() || !ttys.isReadable())
        return std::nullopt;
    QList<PresentPort> ports;
    for (const QString &name : ttys.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = serialName.match(name);
        if (!match.hasMatch())
            continue;
        const QString ttyDir = ttys.filePath(name);
        // A tty with no device behind it is made by software, not a port.
        const QString deviceDir = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
        if (deviceDir.isEmpty())
            continue;
        if (match.captured(1) == u"S" && !hasUart(ttyDir, deviceDir))
            continue;
        const QString device = QStringLiteral("/dev/") + name;
        ports.append({portNumberForDevice(device), device, usbProductName(deviceDir, root)});
    }
    sortPresentPorts(ports);
    return ports;
}

PortListing listSerialPorts()
{
    return serialPortsInSysfs(QStringLiteral("/sys"));
}
