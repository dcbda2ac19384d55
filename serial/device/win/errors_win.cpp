// What GetLastError() codes mean to the console on Windows.
#include "deviceerrors.h"

#include <windows.h>

namespace {

using Cause = OpenFailure;
// After a USB adapter is pulled out, its driver answers reads, writes and waits with any of the codes
// marked gone: "access denied" there means that the device has gone, while at open it means that
// another program holds the port (a COM port is opened exclusively).
constexpr SystemErrorMeaning table[] = {
    {ERROR_FILE_NOT_FOUND, Cause::Missing, DeviceText::Missing, true},
    {ERROR_PATH_NOT_FOUND, Cause::Missing, DeviceText::Missing, false},
    {ERROR_INVALID_NAME, Cause::Missing, DeviceText::Missing, false},
    {ERROR_BAD_UNIT, Cause::Missing, DeviceText::Missing, true},
    {ERROR_DEV_NOT_EXIST, Cause::Missing, DeviceText::Missing, true},
    {ERROR_ACCESS_DENIED, Cause::Busy, DeviceText::Busy, true},
    {ERROR_SHARING_VIOLATION, Cause::Busy, DeviceText::Busy, false},
    {ERROR_BUSY, Cause::Busy, DeviceText::Busy, false},
    {ERROR_PRIVILEGE_NOT_HELD, Cause::Other, u"accès refusé", false},
    {ERROR_INVALID_FUNCTION, Cause::Other, DeviceText::NotSerial, false},
    {ERROR_NOT_SUPPORTED, Cause::Other, DeviceText::NotSerial, false},
    // A Bluetooth serial port connects to its device when it is opened; the USB CDC driver gives the
    // same code for a write that the device does not take in time.
    {ERROR_SEM_TIMEOUT, Cause::Other,
     u"le port ne répond pas (délai dépassé ; un port Bluetooth a besoin de son appareil allumé et à portée)",
     false, u"le périphérique ne prend plus les octets envoyés (délai dépassé)"},
    {ERROR_BAD_COMMAND, Cause::Other, DeviceText::Gone, true},
    {ERROR_NOT_READY, Cause::Other, DeviceText::Gone, true},
    {ERROR_BROKEN_PIPE, Cause::Other, DeviceText::Gone, true},
    {ERROR_GEN_FAILURE, Cause::Other, DeviceText::Gone, true},
    {ERROR_OPERATION_ABORTED, Cause::Other, DeviceText::Gone, true},
    {ERROR_DEVICE_REMOVED, Cause::Other, DeviceText::Gone, true},
    {ERROR_DEVICE_NOT_CONNECTED, Cause::Other, DeviceText::Gone, true},
    {ERROR_INVALID_HANDLE, Cause::Other, DeviceText::Gone, true},
    {433, Cause::Other, {}, true}, // ERROR_NO_SUCH_DEVICE, which mingw does not name
};

} // namespace

std::span<const SystemErrorMeaning> systemErrorTable()
{
    return table;
}

QString systemErrorText(int code)
{
    return QStringLiteral("erreur Windows %1").arg(code);
}
