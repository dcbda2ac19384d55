// Port mapping: the device that each port number (the number typed in the "Com" box) names.
//
// Linux:
//   1 .. 32        /dev/ttyS0  .. /dev/ttyS31   (Com 1 is the first serial port)
//   33 .. 64       /dev/ttyUSB0 .. /dev/ttyUSB31
//   65 .. 96       /dev/ttyACM0 .. /dev/ttyACM31
//   100 .. 32767   /dev/pts/0 upwards (pseudo-terminals: simulators, socat pairs)
// Windows:
//   1 .. 32767     \\.\COM1 upwards
//
// Every other number names no device. The mapping lives in one file per platform.
#pragma once

#include "portnumber.h"

#include <QString>
#include <optional>

// The device path that a port number names, or nothing when the number names no device.
std::optional<QString> devicePathForPort(PortNumber number);

// The port number that names a device path, or nothing when no number names it.
std::optional<PortNumber> portNumberForDevice(const QString &path);

// The number of a Windows port name: "COM3" (any case) gives 3; nothing for "LPT1", "COM0", "COM03".
// The same on every platform: the port list merges what Windows sources name with it.
std::optional<PortNumber> comPortNumber(QStringView portName);

// How messages name a port: "COM3 (/dev/ttyS2)" on Linux, "COM3" on Windows.
QString portDisplayName(PortNumber number);

// The numbers that name a device, in French, for the message that refuses any other.
QString validPortNumbers();
