#include "framedecoder.h"

#include "callframe.h"

namespace {

enum class Match { Yes, No, NeedMore };

// Whether a frame starts at `at`, and its length when it does.
Match frameAt(const QByteArray &buffer, qsizetype at, qsizetype &length)
{
    const qsizetype available = buffer.size() - at;
    auto byte = [&](qsizetype i) { return static_cast<std::uint8_t>(buffer.at(at + i)); };
    if (byte(0) != 0x01)
        return Match::No;
    if (available < 2)
        return Match::NeedMore;
    const int bodyLength = byte(1);
    if (bodyLength != 1 && bodyLength != 2)
        return Match::No;
    length = 2 + bodyLength + 2;
    const qsizetype end = 2 + bodyLength;
    if (available > end && byte(end) != 0x04)
        return Match::No;
    if (available > end + 1 && byte(end + 1) != 0x00)
        return Match::No;
    return available >= length ? Match::Yes : Match::NeedMore;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QChar(u'0'));
}

} // namespace

QString DecodedItem::describe() const
{
    if (kind == Stray)
        return hex(bytes) + QStringLiteral("  (octets hors trame)");
    if (const CallMember *m = findCallMember(group, member)) {
        const QString name = groupName(m->group);
        return member < 0 ? QStringLiteral("%1  %2 %3").arg(hex(bytes), name, QString::fromUtf16(m->role))
                          : QStringLiteral("%1  %2 %3 %4")
                                .arg(hex(bytes), name, twoDigits(member), QString::fromUtf16(m->role));
    }
    return member < 0 ? QStringLiteral("%1  groupe %2 (inconnu)").arg(hex(bytes), twoDigits(group))
                      : QStringLiteral("%1  groupe %2 membre %3 (inconnu)")
                            .arg(hex(bytes), twoDigits(group), twoDigits(member));
}

QList<DecodedItem> FrameDecoder::feed(QByteArrayView bytes)
{
    m_buffer.append(bytes);
    QList<DecodedItem> items;
    qsizetype at = 0;
    while (at < m_buffer.size()) {
        qsizetype length = 0;
        const Match match = frameAt(m_buffer, at, length);
        if (match == Match::NeedMore)
            break;
        if (match == Match::No) {
            m_stray.append(m_buffer.at(at));
            ++at;
            // A long run of stray bytes is reported in lines of StrayLine bytes, as it comes.
            if (m_stray.size() == StrayLine) {
                items.append({DecodedItem::Stray, m_stray});
                m_stray.clear();
            }
            continue;
        }
        if (!m_stray.isEmpty()) {
            items.append({DecodedItem::Stray, m_stray});
            m_stray.clear();
        }
        DecodedItem frame{DecodedItem::Frame, m_buffer.mid(at, length)};
        frame.group = static_cast<std::uint8_t>(m_buffer.at(at + 2));
        frame.member = length == 6 ? static_cast<std::uint8_t>(m_buffer.at(at + 3)) : -1;
        items.append(frame);
        at += length;
    }
    m_buffer.remove(0, at);
    return items;
}

QList<DecodedItem> FrameDecoder::flush()
{
    m_stray.append(m_buffer);
    m_buffer.clear();
    QList<DecodedItem> items;
    if (!m_stray.isEmpty())
        items.append({DecodedItem::Stray, m_stray});
    m_stray.clear();
    return items;
}
