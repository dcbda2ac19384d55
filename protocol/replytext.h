// Reply text: a three-byte answer of the device as the console shows it, three decimals separated by
// one space, each with the fewest digits ("1 2 255", "0 0 0").
#pragma once

#include <QByteArray>
#include <QString>

constexpr int ReplyLength = 3;

// Throws a Failure when fewer than three bytes were read.
QString replyText(const QByteArray &reply);
