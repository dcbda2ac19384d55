// What a system error code means to the console: one table per platform (errors_posix.cpp for errno,
// errors_win.cpp for GetLastError()) says, for each code it knows, why a port could not be opened (the
// cause, which decides whether the message also names the ports present), the French text of that, and
// whether the same code from a read, a write or a wait on an open port means that the device has gone
// (unplugged, switched off, its driver unloaded) rather than that one request was refused. The texts
// that both platforms give are written once, here; the lookups are the same on every platform.
#pragma once

#include "failure.h"
#include "linenotice.h"

#include <QString>
#include <QStringView>
#include <span>

// Why the device failed, for the user: a French reason, and whether it means that the device is gone
// rather than refusing one request.
struct DeviceError {
    QString reason;
    bool gone = false;
};

namespace DeviceText {
inline constexpr QStringView Busy = u"le port est occupé par un autre programme";
inline constexpr QStringView Missing = u"le port n'existe pas";
inline constexpr QStringView Gone = u"le périphérique ne répond plus (port absent ou débranché)";
inline constexpr QStringView NotSerial = u"ce n'est pas un port série";
} // namespace DeviceText

struct SystemErrorMeaning {
    int code = 0;
    OpenFailure::Cause cause = OpenFailure::Other; // when the port is opened
    QStringView openText;    // when the port is opened; empty: the system's own text for the code
    bool gone = false;       // from I/O on an open port: the device has gone (its text is DeviceText::Gone)
    QStringView ioText = {}; // from I/O, when not gone; empty: the system's own text for the code
};

// The platform's table, and the system's own text for a code (strerror, "erreur Windows 8").
std::span<const SystemErrorMeaning> systemErrorTable();
QString systemErrorText(int code);

// The table's row for `code`, or nothing.
const SystemErrorMeaning *systemErrorMeaning(int code);

// Why a port could not be opened, from the code the system gave.
OpenFailure::Cause openErrorCause(int code);
// What the code means when a port is opened, in French: "le port est occupé par un autre programme", ...
QString openErrorText(int code);
// What it means when reading, writing or waiting on an open port.
DeviceError ioError(int code);

// The message for a port that cannot be opened: "Impossible d'ouvrir le port COM3 : <what>."
QString openFailureMessage(const QString &name, const QString &what);
// The failure of an open that the system refused with `code`.
OpenFailure openFailureFor(const QString &name, int code);
