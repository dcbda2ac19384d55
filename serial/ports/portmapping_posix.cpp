// Port numbers on Linux: the serial, USB and ACM ranges, then pseudo-terminals from 100 up (a
// pseudo-terminal number then fits the three-digit Com box).
#include "portmapping.h"

#include <limits>

namespace {

struct Range {
    int first;
    int last;
    const char *prefix;
};
constexpr Range ranges[] = {
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 96, "/dev/ttyACM"},
    {100, std::numeric_limits<PortNumber>::max(), "/dev/pts/"},
};

} // namespace

std::optional<QString> devicePathForPort(PortNumber number)
{
    for (const Range &r : ranges) {
        if (number >= r.first && number <= r.last)
            return QString::fromLatin1(r.prefix) + QString::number(number - r.first);
    }
    return std::nullopt;
}

std::optional<PortNumber> portNumberForDevice(const QString &path)
{
    for (const Range &r : ranges) {
        const QString prefix = QString::fromLatin1(r.prefix);
        if (!path.startsWith(prefix))
            continue;
        const QStringView rest = QStringView(path).mid(prefix.size());
        bool ok = !rest.isEmpty() && (rest == u"0" || !rest.startsWith(u'0'));
        for (QChar c : rest)
            ok = ok && c >= u'0' && c <= u'9';
        const qlonglong offset = ok ? rest.toLongLong(&ok) : -1;
        if (ok && offset <= r.last - r.first)
            return static_cast<PortNumber>(r.first + offset);
    }
    return std::nullopt;
}

QString portDisplayName(PortNumber number)
{
    const std::optional<QString> path = devicePathForPort(number);
    return path ? QStringLiteral("COM%1 (%2)").arg(number).arg(*path) : QStringLiteral("COM%1").arg(number);
}

QString validPortNumbers()
{
    return QStringLiteral(
        "1 à 96 (1 à 32 : /dev/ttyS0 à /dev/ttyS31, 33 à 64 : /dev/ttyUSB0 à /dev/ttyUSB31, "
        "65 à 96 : /dev/ttyACM0 à /dev/ttyACM31) et 100 à 32767 (pseudo-terminaux "
        "/dev/pts/0 et suivants)");
}
