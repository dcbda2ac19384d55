#include "bytelist.h"

#include "failure.h"

#include <array>

namespace {

int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    int value = 99;
    if (u >= u'0' && u <= u'9')
        value = u - u'0';
    else if (u >= u'a' && u <= u'f')
        value = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        value = u - u'A' + 10;
    return value < base ? value : -1;
}

QString describeValue(qsizetype position, QStringView text)
{
    // A pasted run of text with no space in it can be very long: show its start.
    constexpr qsizetype Shown = 40;
    const QString shown = text.size() > Shown ? text.left(Shown).toString() + u'…' : text.toString();
    return QStringLiteral("La valeur n° %1 de la liste, « %2 »,").arg(position).arg(shown);
}

} // namespace

const PortWrite &singleByteWrite(std::uint8_t value)
{
    static const std::array<PortWrite, 256> writes = [] {
        std::array<PortWrite, 256> all;
        for (int v = 0; v < 256; ++v)
            all[v] = PortWrite(1, static_cast<char>(v));
        return all;
    }();
    return writes[value];
}

std::optional<std::uint8_t> parseByteValue(QStringView text)
{
    int base = 10;
    if (text.size() > 2 && text.at(0) == u'0' && (text.at(1) == u'x' || text.at(1) == u'X')) {
        base = 16;
        text = text.mid(2);
    }
    if (text.isEmpty())
        return std::nullopt;
    int value = 0;
    for (QChar c : text) {
        const int digit = digitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        value = value * base + digit;
        if (value > 255)
            return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

std::uint8_t ByteListReader::next()
{
    Q_ASSERT(!m_done);
    const qsizetype space = m_list.indexOf(u' ', m_from);
    const QStringView value = space < 0 ? m_list.mid(m_from) : m_list.mid(m_from, space - m_from);

    if (const auto byte = parseByteValue(value)) {
        m_done = space < 0;
        m_from = space + 1;
        ++m_position;
        return *byte;
    }
    m_done = true;
    if (value.isEmpty()) {
        const QString where = m_list.isEmpty()  ? QStringLiteral("la liste est vide")
                              : m_position == 1 ? QStringLiteral("la liste commence par une espace")
                              : space < 0       ? QStringLiteral("la liste finit par une espace")
                                                : QStringLiteral("deux espaces se suivent");
        throw Failure(
            QStringLiteral("La valeur n° %1 de la liste est vide (%2) : séparez les valeurs par une "
                           "seule espace.")
                .arg(m_position)
                .arg(where));
    }
    bool isNumber = true;
    const bool hex = value.size() > 2 && value.at(0) == u'0' && (value.at(1) == u'x' || value.at(1) == u'X');
    for (QChar c : hex ? value.mid(2) : value)
        isNumber = isNumber && digitValue(c, hex ? 16 : 10) >= 0;
    if (isNumber)
        throw Failure(describeValue(m_position, value) +
                      QStringLiteral(" est hors de l'intervalle de 0 à 255."));
    throw Failure(describeValue(m_position, value) +
                  QStringLiteral(" n'est pas un nombre (décimal, ou hexadécimal écrit 0x1F)."));
}
