#include "portmapping.h"

std::optional<PortNumber> comPortNumber(QStringView portName)
{
    if (!portName.startsWith(u"COM", Qt::CaseInsensitive))
        return std::nullopt;
    const QStringView digits = portName.mid(3);
    if (digits.isEmpty() || digits.size() > 5 || digits.front() == u'0')
        return std::nullopt;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int number = digits.toInt();
    if (number > 32767)
        return std::nullopt;
    return static_cast<PortNumber>(number);
}
