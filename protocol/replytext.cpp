#include "replytext.h"

#include "failure.h"

#include <QStringList>

namespace {

// The values of `bytes` in decimal, one space between them.
QString decimals(const QByteArray &bytes)
{
    QStringList values;
    for (const char byte : bytes)
        values << QString::number(static_cast<quint8>(byte));
    return values.join(u' ');
}

} // namespace

QString replyText(const QByteArray &reply)
{
    if (reply.size() < ReplyLength)
        throw Failure(QStringLiteral("La réponse lue ne compte que %1 octet(s) au lieu de %2 : %3.")
                          .arg(reply.size())
                          .arg(ReplyLength)
                          .arg(QString::fromLatin1(reply.toHex(' '))));
    return decimals(reply.left(ReplyLength));
}

QString lineErrorsText(const LineErrors &errors)
{
    QStringList parts;
    const auto add = [&parts](int count, const char *one, const char *many) {
        if (count > 0)
            parts << QString::fromUtf8(count == 1 ? one : many).arg(count);
    };
    add(errors.frame, "%1 erreur de trame", "%1 erreurs de trame");
    add(errors.parity, "%1 erreur de parité", "%1 erreurs de parité");
    add(errors.damaged, "%1 octet abîmé (trame ou parité)", "%1 octets abîmés (trame ou parité)");
    add(errors.breaks, "%1 coupure de ligne (break)", "%1 coupures de ligne (break)");
    add(errors.overrun, "%1 octet perdu (débordement du circuit série)",
        "%1 octets perdus (débordement du circuit série)");
    add(errors.bufferOverrun, "%1 octet perdu (tampon de réception plein)",
        "%1 octets perdus (tampon de réception plein)");
    return parts.join(QStringLiteral(", "));
}

QString noticeText(const LineNotice &notice)
{
    QString whole = decimals(notice.whole);
    if (notice.wholeCount > notice.whole.size())
        whole += QStringLiteral(" …");
    if (notice.errors.total() == 0)
        return QStringLiteral("Réponse incomplète : %1").arg(whole);
    const QString what = QStringLiteral("Erreur de ligne (%1)").arg(lineErrorsText(notice.errors));
    if (notice.received == 0)
        return what + QStringLiteral(", aucun octet reçu.");
    const QString received = notice.received == 1
                                 ? QStringLiteral("1 octet reçu, écarté")
                                 : QStringLiteral("%1 octets reçus, écartés").arg(notice.received);
    if (notice.wholeCount == 0)
        return QStringLiteral("%1 : %2 ; aucun intact.").arg(what, received);
    return QStringLiteral("%1 : %2 ; intacts : %3.").arg(what, received, whole);
}
