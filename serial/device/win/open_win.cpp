// Opening the port: CreateFile for overlapped I/O, the line at 9600 baud 8N1 without flow control (read
// back, for a driver may keep what it cannot do), reads that end as soon as one byte is there, DTR
// raised, then a settle and the purge of what the line held, with the errors that came with it.
#include "serialdevice_win.h"

#include "deviceerrors.h"

namespace windevice {

bool isNotSupported(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_INVALID_PARAMETER;
}

HANDLE openConfigured(const QString &path, const QString &name, DWORD *lineErrors)
{
    *lineErrors = 0;
    // Share mode 0: the port is ours alone while it is open.
    const HANDLE handle =
        win32().createFile(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw openFailureFor(name, int(GetLastError()));
    }
    auto refuse = [&](const QString &what, DWORD error) {
        win32().closePort(handle);
        throw OpenFailure(
            OpenFailure::Other,
            openFailureMessage(
                name, what + (error ? QStringLiteral(" (%1)").arg(openErrorText(int(error))) : QString())));
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!win32().getCommState(handle, &dcb))
        refuse(QStringLiteral("ce n'est pas un port série"), GetLastError());
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE; // 0x00 is a byte like any other
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // Unused without software flow control, but a driver refuses the whole state when the two
    // characters are equal, and some report both as 0: set them, and limits any input buffer allows.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 256;
    dcb.XoffLim = 256;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!win32().setCommState(handle, &dcb))
        refuse(QStringLiteral("réglage de la ligne à 9600 bauds 8N1 impossible"), GetLastError());
    // Read the settings back: a driver may keep what it cannot do.
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!win32().getCommState(handle, &applied) || applied.BaudRate != CBR_9600 || applied.ByteSize != 8 ||
        applied.Parity != NOPARITY || applied.StopBits != ONESTOPBIT || applied.fOutxCtsFlow ||
        applied.fOutxDsrFlow || applied.fOutX || applied.fInX)
        refuse(QStringLiteral("le port n'accepte pas 9600 bauds 8N1 sans contrôle de flux"), 0);

    // A read returns at once with what is waiting, or, when nothing is, as soon as one byte arrives;
    // writes have no time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = ReadWaitMs;
    if (!win32().setCommTimeouts(handle, &timeouts))
        refuse(QStringLiteral("réglage des délais impossible"), GetLastError());

    if (!win32().escapeCommFunction(handle, SETDTR)) {
        const DWORD error = GetLastError();
        if (!isNotSupported(error))
            refuse(QStringLiteral("impossible de lever DTR"), error);
    }

    // What the line held before it was opened, and whatever came while it settled, would shift every
    // three-byte answer after it: drop it. The driver's error flags (CE_FRAME, ...) stay set until
    // ClearCommError reads them, and stand for bytes dropped or still queued: purge again until a look
    // finds the queue empty, so that the flags it clears went with dropped bytes only. A device that
    // never stops sending keeps the last look's flags: they are counted as the line's errors.
    Sleep(SerialDevice::SettleMs);
    for (int tries = 0; tries < 8; ++tries) {
        win32().purgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);
        COMSTAT status{};
        if (!win32().clearCommError(handle, lineErrors, &status)) {
            *lineErrors = 0; // the watch that follows refuses a port that cannot say this
            break;
        }
        if (status.cbInQue == 0) {
            *lineErrors = 0;
            break;
        }
    }
    return handle;
}

} // namespace windevice
