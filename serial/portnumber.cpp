#include "portnumber.h"

#include "failure.h"

#include <limits>

PortNumber parsePortText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        throw Failure(QStringLiteral("Le numéro de port est vide : tapez un nombre entier, par exemple 1."));

    // Only plain decimal: a sign, then ASCII digits. QString::toInt alone would also take other
    // scripts' digits, which a technician never means here.
    qsizetype digitsFrom = (trimmed.front() == u'-' || trimmed.front() == u'+') ? 1 : 0;
    bool allDigits = trimmed.size() > digitsFrom;
    for (qsizetype i = digitsFrom; i < trimmed.size() && allDigits; ++i)
        allDigits = trimmed.at(i) >= u'0' && trimmed.at(i) <= u'9';
    if (!allDigits)
        throw Failure(QStringLiteral("Le numéro de port « %1 » n'est pas un nombre entier.").arg(text));

    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok);
    if (!ok || value < std::numeric_limits<PortNumber>::min() ||
        value > std::numeric_limits<PortNumber>::max())
        throw Failure(
            QStringLiteral("Le numéro de port « %1 » est hors de l'intervalle de -32768 à 32767.").arg(text));
    return static_cast<PortNumber>(value);
}

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
    {1000, std::numeric_limits<PortNumber>::max(), "/dev/pts/"},
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
