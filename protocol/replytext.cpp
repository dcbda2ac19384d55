#include "replytext.h"

#include "failure.h"

QString replyText(const QByteArray &reply)
{
    if (reply.size() < ReplyLength)
        throw Failure(QStringLiteral("La réponse lue ne compte que %1 octet(s) au lieu de %2 : %3.")
                          .arg(reply.size())
                          .arg(ReplyLength)
                          .arg(QString::fromLatin1(reply.toHex(' '))));
    return QStringLiteral("%1 %2 %3")
        .arg(static_cast<quint8>(reply.at(0)))
        .arg(static_cast<quint8>(reply.at(1)))
        .arg(static_cast<quint8>(reply.at(2)));
}
