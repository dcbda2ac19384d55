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
        throw Failure(QStringLiteral("Le numéro de port « %1 » n'est pas un nombre entier.").arg(text));

    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok);
    if (!ok || value < std::numeric_limits<PortNumber>::min() ||
        value > std::numeric_limits<PortNumber>::max())
        throw Failure(
            QStringLiteral("Le numéro de port « %1 » est hors de l'intervalle de -32768 à 32767.").arg(text));
    return static_cast<PortNumber>(value);
}
