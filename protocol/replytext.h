// Reply text: a three-byte answer of the device as the console shows it, three decimals separated by
// one space, each with the fewest digits ("1 2 255", "0 0 0"); and the text of what the line brought that
// is no whole answer, which never reads as one ("Réponse incomplète : 240").
#pragma once

#include "linenotice.h"

#include <QByteArray>
#include <QString>

constexpr int ReplyLength = 3;

// Throws a Failure when fewer than three bytes were read.
QString replyText(const QByteArray &reply);

// "1 erreur de trame, 2 octets perdus (débordement du circuit série)": what went wrong, in French.
QString lineErrorsText(const LineErrors &errors);

// "Réponse incomplète : 240", "Erreur de ligne (1 erreur de trame) : 3 octets reçus, écartés ; intacts :
// 1 3.": the box that tells a notice.
QString noticeText(const LineNotice &notice);
