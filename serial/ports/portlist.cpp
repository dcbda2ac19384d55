#include "portlist.h"

#include <QStringList>

#include <algorithm>

namespace {

// Longest name a message carries for one port: names come from the devices themselves.
constexpr qsizetype LongestName = 64;

// Device names in natural order: "/dev/ttyUSB9" before "/dev/ttyUSB10".
bool naturalLess(const QString &a, const QString &b)
{
    auto split = [](const QString &s) {
        qsizetype digits = s.size();
        while (digits > 0 && s.at(digits - 1).isDigit())
            --digits;
        return std::pair{QStringView(s).left(digits), QStringView(s).mid(digits)};
    };
    const auto [stemA, indexA] = split(a);
    const auto [stemB, indexB] = split(b);
    if (stemA != stemB)
        return stemA < stemB;
    if (indexA.size() != indexB.size())
        return indexA.size() < indexB.size();
    return indexA < indexB;
}

} // namespace

void sortPresentPorts(QList<PresentPort> &ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const PresentPort &a, const PresentPort &b) {
        if (a.number.has_value() != b.number.has_value())
            return a.number.has_value();
        if (a.number)
            return *a.number < *b.number;
        return naturalLess(a.device, b.device);
    });
}

namespace {

QString describe(const PresentPort &port)
{
    // A port beyond the ranges of numbers is present, but the console cannot reach it: it is named by
    // its device.
    const QString head = port.number ? QStringLiteral("COM%1").arg(*port.number) : port.device;
    QStringList details;
    // On Windows the device is the COM name itself: said once.
    if (port.number && !port.device.isEmpty() && port.device.compare(head, Qt::CaseInsensitive) != 0)
        details << port.device;
    if (!port.name.isEmpty())
        details << port.name;
    if (!port.number)
        details << QStringLiteral("sans numéro de Com");
    return details.isEmpty() ? head : head + QStringLiteral(" (") + details.join(QStringLiteral(", ")) + u')';
}

} // namespace

QString presentPortsSentence(const PortListing &listing)
{
    if (!listing)
        return QStringLiteral("La liste des ports série présents n'a pas pu être lue sur cet ordinateur.");
    QList<PresentPort> ports = *listing;
    if (ports.isEmpty())
        return QStringLiteral("Aucun port série n'est présent sur cet ordinateur.");
    sortPresentPorts(ports);
    QStringList named;
    for (qsizetype i = 0; i < std::min(ports.size(), MostPortsNamed); ++i)
        named << describe(ports.at(i));
    QString sentence = (ports.size() == 1 ? QStringLiteral("Port série présent : ")
                                          : QStringLiteral("Ports série présents : ")) +
                       named.join(QStringLiteral(", "));
    const qsizetype others = ports.size() - named.size();
    if (others == 1)
        sentence += QStringLiteral(" et 1 autre");
    else if (others > 1)
        sentence += QStringLiteral(" et %1 autres").arg(others);
    return sentence + u'.';
}

QString withPresentPorts(const QString &message)
{
    return message + u' ' + presentPortsSentence(listSerialPorts());
}

QString cleanDeviceName(QString name)
{
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = u' ';
    }
    name = name.simplified();
    if (name.size() > LongestName)
        name = name.left(LongestName - 1).trimmed() + QChar(0x2026);
    return name;
}

QList<PresentPort> mergeComPortSources(const QList<QList<ComPortRecord>> &sources)
{
    QList<PresentPort> ports;
    for (const QList<ComPortRecord> &source : sources) {
        for (const ComPortRecord &record : source) {
            const std::optional<PortNumber> number = comPortNumber(record.portName.trimmed());
            if (!number)
                continue;
            const QString comName = QStringLiteral("COM%1").arg(*number);
            // Windows ends a friendly name with the port it names: the sentence says it first already.
            QString name = cleanDeviceName(record.friendlyName);
            const QString suffix = QStringLiteral("(%1)").arg(comName);
            if (name.endsWith(suffix, Qt::CaseInsensitive))
                name = name.chopped(suffix.size()).trimmed();
            if (name.compare(comName, Qt::CaseInsensitive) == 0)
                name.clear();
            const auto known = std::find_if(ports.begin(), ports.end(),
                                            [&](const PresentPort &p) { return p.number == number; });
            if (known == ports.end())
                ports.append({number, comName, name});
            else if (known->name.isEmpty())
                known->name = name;
        }
    }
    sortPresentPorts(ports);
    return ports;
}
