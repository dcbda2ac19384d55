// PortNumber: the 16-bit signed number typed in the console's "Com" box; 1 is the first serial port.
// Which device a number names is the serial layer's business (portmapping.h).
#pragma once

#include <QString>
#include <QtGlobal>

using PortNumber = qint16;

// Converts the text of the port box to a port number. Accepts an optional sign and decimal digits,
// with spaces around them ignored ("2", " 2 ", "-1", "+7", "007"). Throws Failure, naming the text,
// for an empty text, anything that is not a whole decimal number, or a number outside -32768..32767.
PortNumber parsePortText(const QString &text);
