// The serial ports present on this computer, for the messages that teach the user which number to type.
//
// Contract:
// - listSerialPorts() asks the system, one file per platform (portlist_posix.cpp reads sysfs,
//   portlist_win.cpp asks SetupAPI, the registry and the DOS device names). It never opens a port: an
//   open raises DTR and RTS, which resets some devices. It never throws. It gives nothing where the
//   system's list cannot be read at all (no sysfs in a build chroot), which is not the same as a list
//   with no port; a port it cannot read, it leaves out. The list is sorted: numbered ports by number,
//   then those no number names.
// - Merging what several Windows sources say, and the French sentence, are the same on every platform.
#pragma once

#include "portmapping.h"

#include <QList>
#include <QString>
#include <optional>

struct PresentPort {
    std::optional<PortNumber> number; // nothing: the device lies beyond every range of numbers
    QString device;                   // "/dev/ttyUSB0" on Linux, "COM3" on Windows
    QString name;                     // what the system calls it ("FT232R USB UART"); may be empty

    bool operator==(const PresentPort &) const = default;
};

// The ports present, or nothing when the system's list cannot be read.
using PortListing = std::optional<QList<PresentPort>>;
PortListing listSerialPorts();

// Numbered ports by number, then the others by device, in natural order ("ttyUSB9" before "ttyUSB10").
void sortPresentPorts(QList<PresentPort> &ports);

// The most ports a sentence names; it counts the others.
constexpr qsizetype MostPortsNamed = 8;

// "Ports série présents : COM3 (USB-SERIAL CH340), COM33 (/dev/ttyUSB0, FT232R USB UART)." or
// "Aucun port série n'est présent sur cet ordinateur.", in number order, at most MostPortsNamed named
// and then "et N autres"; for a list that could not be read, a sentence that says so.
QString presentPortsSentence(const PortListing &listing);

// `message`, then the sentence naming the ports present now.
QString withPresentPorts(const QString &message);

// One port as a Windows source gives it: its port name ("COM3") and, where the source has one, its
// friendly name ("USB-SERIAL CH340 (COM3)").
struct ComPortRecord {
    QString portName;
    QString friendlyName;
};

// The ports that Windows sources name, the most trusted source first (SetupAPI's Ports class, the
// registry's SERIALCOMM, the DOS device names): every COMn that any source names, once, with the
// friendly name of the first source that has one, its trailing "(COMn)" left out. Other port names
// (LPT1, a malformed name) are left out.
QList<PresentPort> mergeComPortSources(const QList<QList<ComPortRecord>> &sources);

// A name from the system, made fit for a message: control characters become spaces, runs of spaces
// one, and a name longer than a message can carry is cut.
QString cleanDeviceName(QString name);
