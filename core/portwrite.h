// PortWrite: a block of bytes handed to the serial link in one write. Its bytes go out whole and in
// order, nothing added or removed, and successive writes go out in call order.
#pragma once

#include <QByteArray>

using PortWrite = QByteArray;
