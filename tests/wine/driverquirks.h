// DriverQuirks: what real Windows serial drivers do and wine's do not, played at the boundary between the
// console's serial device and Win32 (the table of win32calls.h). Each quirk wraps only the calls it
// concerns; everything else runs for real under wine, on the rig's pseudo-terminal.
//
// The device keeps one read pending and never waits for events, so the quirks of drivers' WaitCommEvent
// have no call to wrap any more: their rows show that the console needs none of it. What drivers do to
// reads is wrapped instead: reads that end at once or pending with nothing, reads aborted while the port
// lives, reads ended by an unplug's error code, and reads that the wrapper holds pending on the caller's
// OVERLAPPED though bytes are queued, until cancelled, then ended by a watcher thread as that driver
// would, at once or late; freed memory is filled with 0xDD (operator delete below), so a read that ends
// in a block the device has already freed is seen.
#pragma once

#include "lineerrorknobs.h"
#include "win32calls.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <new>
#include <thread>

#include <windows.h>

// Every allocation of the test program and of the console's code it links: freed blocks are poisoned.
inline void *poisonNew(std::size_t size)
{
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
inline void poisonDelete(void *p) noexcept
{
    if (!p)
        return;
    std::memset(p, 0xDD, _msize(p));
    std::free(p);
}
void *operator new(std::size_t size)
{
    return poisonNew(size);
}
void *operator new[](std::size_t size)
{
    return poisonNew(size);
}
void operator delete(void *p) noexcept
{
    poisonDelete(p);
}
void operator delete[](void *p) noexcept
{
    poisonDelete(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    poisonDelete(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    poisonDelete(p);
}

namespace quirks {

enum class Quirk {
    None,
    // What drivers do with WaitCommEvent, which the device no longer calls:
    SignalsOnlyArrivals, // USB CDC: EV_RXCHAR for bytes that arrive while a wait is pending, never for
                         // bytes already queued when the wait was armed
    FirstWaitRefused,    // error 87 on the first wait (reported of a CH340 driver), then real waits
    EveryWaitRefused,    // error 87 on every wait
    WaitsEndAtOnce,      // every wait ends at once with EV_RXCHAR, bytes or none
    // And the rest:
    XonXoffReportedZero, // GetCommState gives both characters as 0; SetCommState refuses them equal
    WritesCutShort,      // every write takes at most 3 bytes, which go out 20 ms later
    WritesNeverEnd,      // a write stays in flight (a stuck USB adapter)
    WaitEndsLate,        // a read stays pending until cancelled, and ends 600 ms after that (a slow
                         // USB driver)
    SlowOpen,            // CreateFile takes 1.5 s (a Bluetooth port connecting)
    ReadsEndEmpty,       // a read finds nothing waiting and returns at once with 0 bytes, whatever the
                         // timeouts say
    PurgeMissesArrivals, // bytes arrive just after the first purge of the input (it waits for the test
                         // to send them), with the line errors of quirks::lineErrors
    DeviceNeverStops,    // as PurgeMissesArrivals, and every later purge of the open misses the bytes
                         // too, a framing error reported with them again each time: the device keeps
                         // sending them
    ReadsPendThenEmpty,  // a read that finds nothing queued goes pending and ends at once with 0 bytes
    ReadBlindToQueue,    // a read that finds nothing queued stays pending when bytes arrive
                         // (they stay queued), until it is cancelled
};

inline std::atomic<Quirk> active{Quirk::None};
inline std::atomic<DWORD> unplugged{0};   // when set, every call on the port fails with this code
inline std::atomic<DWORD> writeError{0};  // when set, WriteFile fails with this code
inline std::atomic<int> opens{0};         // CreateFile calls so far
inline std::atomic<int> writesStarted{0}; // WriteFile calls so far
inline std::atomic<int> readsStarted{0};  // ReadFile calls so far
inline std::atomic<int> statusCalls{0};   // ClearCommError calls so far
// When set, ClearCommError alone fails with this code (a port gone while a read stays pending).
inline std::atomic<DWORD> statusError{0};
// The next readsToEnd reads that find nothing queued end at once, pending first (or failing at once when
// readsFailAtOnce), with this error and no byte.
inline std::atomic<DWORD> readEndsWith{0};
inline std::atomic<int> readsToEnd{0};
inline std::atomic<bool> readsFailAtOnce{false};
// Bytes reads brought since the last ClearCommError, and the block of the last read started.
inline std::atomic<DWORD> readSinceLook{0};
inline std::atomic<OVERLAPPED *> lastRead{nullptr};
inline std::atomic<bool> purgeMissed{false};
inline std::atomic<bool> purgeWaiting{false}; // the missed purge waits for the test's bytes
inline std::atomic<bool> freedBlockWritten{false};

// The read the test holds pending for the device.
struct HeldRead {
    std::mutex mutex;
    bool pending = false;
    HANDLE port = nullptr;
    OVERLAPPED *ov = nullptr;
    HANDLE event = nullptr;
    ULONGLONG cancelledAt = 0;
    ULONGLONG endsAfterMs = 600; // after the cancel
};
inline HeldRead heldRead;

// A write the test reports as pending and ends itself a little later, as a UART's driver does.
// Its bytes reach the line only then; a purge of the output before then drops them.
struct SlowWrite {
    std::mutex mutex;
    HANDLE port = nullptr;
    OVERLAPPED *ov = nullptr;
    char bytes[3] = {};
    DWORD size = 0;
    ULONGLONG due = 0;
};
inline SlowWrite slowWrite;
inline Win32SerialCalls real;
// The read ended by readEndsWith, whose result GetOverlappedResult gives.
inline std::atomic<OVERLAPPED *> endedRead{nullptr};

constexpr ULONG_PTR StatusPending = 0x103;

inline bool heldReadPending()
{
    const std::lock_guard lock(heldRead.mutex);
    return heldRead.pending;
}

// Ends the held read, cancelled, with nothing read; the caller holds its mutex. A device that freed
// the read's blocks before the read ended would have them written here: that is noted, and nothing is
// written.
inline void endHeldRead()
{
    HeldRead &r = heldRead;
    if (r.ov->hEvent != r.event) {
        freedBlockWritten = true;
    } else {
        r.ov->InternalHigh = 0;
        r.ov->Internal = 0xC0000120; // STATUS_CANCELLED
        SetEvent(r.event);
    }
    r.pending = false;
}

inline BOOL WINAPI cancelIoEx(HANDLE port, OVERLAPPED *ov)
{
    const BOOL ok = real.cancelIoEx(port, ov);
    const std::lock_guard lock(heldRead.mutex);
    if (heldRead.pending && heldRead.port == port && heldRead.cancelledAt == 0)
        heldRead.cancelledAt = GetTickCount64();
    return ok;
}

// Ends slow writes and the held read as the driver of the active quirk would.
inline void watch(std::atomic<bool> &running)
{
    while (running) {
        Sleep(2);
        {
            const std::lock_guard lock(slowWrite.mutex);
            if (slowWrite.ov && GetTickCount64() >= slowWrite.due) {
                OVERLAPPED own{};
                own.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                DWORD written = 0;
                if (!real.writeFile(slowWrite.port, slowWrite.bytes, slowWrite.size, &written, &own) &&
                    GetLastError() == ERROR_IO_PENDING)
                    real.getOverlappedResult(slowWrite.port, &own, &written, TRUE);
                CloseHandle(own.hEvent);
                slowWrite.ov->InternalHigh = written;
                slowWrite.ov->Internal = 0;
                SetEvent(slowWrite.ov->hEvent);
                slowWrite.ov = nullptr;
            }
        }
        const std::lock_guard lock(heldRead.mutex);
        if (heldRead.pending && heldRead.cancelledAt != 0 &&
            GetTickCount64() - heldRead.cancelledAt >= heldRead.endsAfterMs)
            endHeldRead();
    }
}

inline BOOL WINAPI clearCommError(HANDLE port, DWORD *errors, COMSTAT *status)
{
    ++statusCalls;
    if (const DWORD code = unplugged ? unplugged.load() : statusError.load()) {
        SetLastError(code);
        return FALSE;
    }
    const BOOL ok = real.clearCommError(port, errors, status);
    const bool bytes = readSinceLook.exchange(0) > 0 || (status && status->cbInQue > 0);
    if (ok && errors)
        *errors |= bytes ? lineErrors.exchange(0) : errorsWithoutByte.exchange(0);
    return ok;
}

inline BOOL WINAPI readFile(HANDLE port, void *buffer, DWORD size, DWORD *read, OVERLAPPED *ov)
{
    ++readsStarted;
    lastRead = ov;
    bool nothingQueued = false;
    if (readsToEnd > 0 || active == Quirk::ReadsEndEmpty || active == Quirk::ReadsPendThenEmpty ||
        active == Quirk::ReadBlindToQueue) {
        DWORD errors = 0;
        COMSTAT queue{};
        // Wine reports no error flags, so this look takes none from the device's own.
        nothingQueued = real.clearCommError(port, &errors, &queue) && queue.cbInQue == 0;
    }
    if (readsToEnd > 0 && readEndsWith && nothingQueued) {
        --readsToEnd;
        if (readsFailAtOnce) {
            SetLastError(readEndsWith);
            return FALSE;
        }
        endedRead = ov;
        ov->Internal = 0xC0000120; // STATUS_CANCELLED
        ov->InternalHigh = 0;
        SetEvent(ov->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (const DWORD code = unplugged) {
        SetLastError(code);
        return FALSE;
    }
    if (active == Quirk::ReadsPendThenEmpty && nothingQueued) {
        ov->Internal = 0;
        ov->InternalHigh = 0;
        SetEvent(ov->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (active == Quirk::WaitEndsLate || (active == Quirk::ReadBlindToQueue && nothingQueued)) {
        const std::lock_guard lock(heldRead.mutex);
        heldRead.endsAfterMs = active == Quirk::WaitEndsLate ? 600 : 0;
        heldRead.pending = true;
        heldRead.port = port;
        heldRead.ov = ov;
        heldRead.event = ov->hEvent;
        heldRead.cancelledAt = 0;
        ov->Internal = StatusPending;
        ResetEvent(ov->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (active == Quirk::ReadsEndEmpty && nothingQueued) {
        *read = 0;
        ov->Internal = 0;
        ov->InternalHigh = 0;
        SetEvent(ov->hEvent);
        return TRUE;
    }
    const BOOL ok = real.readFile(port, buffer, size, read, ov);
    if (ok && read)
        readSinceLook += *read;
    return ok;
}

inline BOOL WINAPI writeFile(HANDLE port, const void *bytes, DWORD size, DWORD *written, OVERLAPPED *ov)
{
    ++writesStarted;
    const DWORD code = unplugged ? unplugged.load() : writeError.load();
    if (code) {
        SetLastError(code);
        return FALSE;
    }
    if (active == Quirk::WritesNeverEnd) {
        ov->Internal = StatusPending;
        ResetEvent(ov->hEvent);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (active != Quirk::WritesCutShort)
        return real.writeFile(port, bytes, size, written, ov);
    // At most 3 bytes, which go out 20 ms later, from the watcher.
    const std::lock_guard lock(slowWrite.mutex);
    slowWrite.port = port;
    slowWrite.ov = ov;
    slowWrite.size = std::min<DWORD>(size, 3);
    std::memcpy(slowWrite.bytes, bytes, slowWrite.size);
    slowWrite.due = GetTickCount64() + 20;
    ResetEvent(ov->hEvent);
    ov->Internal = StatusPending;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

inline BOOL WINAPI purgeComm(HANDLE port, DWORD flags)
{
    if (flags & PURGE_TXABORT) {
        const std::lock_guard lock(slowWrite.mutex);
        if (slowWrite.ov && slowWrite.port == port) {
            slowWrite.ov->InternalHigh = 0;
            slowWrite.ov->Internal = 0xC0000120; // STATUS_CANCELLED: the bytes never went out
            SetEvent(slowWrite.ov->hEvent);
            slowWrite.ov = nullptr;
        }
    }
    const bool missesAll =
        active == Quirk::DeviceNeverStops && purgeMissed && readsStarted == 0 && (flags & PURGE_RXCLEAR);
    if (missesAll) {
        // The device sent its bytes again, spoiled again, as the purge dropped them.
        lineErrors = CE_FRAME;
        return TRUE;
    }
    const BOOL ok = real.purgeComm(port, flags);
    if ((flags & PURGE_RXCLEAR) &&
        (active == Quirk::PurgeMissesArrivals || active == Quirk::DeviceNeverStops) &&
        !purgeMissed.exchange(true)) {
        // Returns once the test's bytes have arrived, as if they had come just after the purge.
        purgeWaiting = true;
        DWORD errors = 0;
        COMSTAT status{};
        for (int i = 0; i < 250 && real.clearCommError(port, &errors, &status) && status.cbInQue < 3; ++i)
            Sleep(20);
    }
    return ok;
}

inline BOOL WINAPI getOverlappedResult(HANDLE port, OVERLAPPED *ov, DWORD *count, BOOL wait)
{
    OVERLAPPED *ended = ov;
    if (endedRead.compare_exchange_strong(ended, nullptr)) {
        *count = 0;
        SetLastError(readEndsWith);
        return FALSE;
    }
    if (const DWORD code = unplugged) {
        SetLastError(code);
        return FALSE;
    }
    const BOOL ok = real.getOverlappedResult(port, ov, count, wait);
    if (ok && ov == lastRead)
        readSinceLook += *count;
    return ok;
}

inline BOOL WINAPI getCommState(HANDLE port, DCB *dcb)
{
    const BOOL ok = real.getCommState(port, dcb);
    if (ok && active == Quirk::XonXoffReportedZero)
        dcb->XonChar = dcb->XoffChar = 0;
    return ok;
}

inline BOOL WINAPI setCommState(HANDLE port, DCB *dcb)
{
    // The in-box driver refuses a state whose Xon and Xoff characters are equal.
    if (active == Quirk::XonXoffReportedZero && dcb->XonChar == dcb->XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return real.setCommState(port, dcb);
}

inline HANDLE WINAPI createFile(const wchar_t *name, DWORD access, DWORD share, SECURITY_ATTRIBUTES *security,
                                DWORD creation, DWORD flags, HANDLE templateFile)
{
    ++opens;
    if (active == Quirk::SlowOpen)
        Sleep(1500);
    return real.createFile(name, access, share, security, creation, flags, templateFile);
}

// Puts every wrapper in the device's table; with Quirk::None they only pass the calls on.
inline void install(Quirk quirk)
{
    active = quirk;
    unplugged = 0;
    writeError = 0;
    lineErrors = 0;
    errorsWithoutByte = 0;
    readsFailAtOnce = false;
    readSinceLook = 0;
    lastRead = nullptr;
    opens = 0;
    writesStarted = 0;
    readsStarted = 0;
    statusCalls = 0;
    statusError = 0;
    readEndsWith = 0;
    readsToEnd = 0;
    purgeMissed = false;
    purgeWaiting = false;
    endedRead = nullptr;
    freedBlockWritten = false;
    Win32SerialCalls &calls = win32SerialCalls();
    calls.createFile = createFile;
    calls.getCommState = getCommState;
    calls.setCommState = setCommState;
    calls.clearCommError = clearCommError;
    calls.readFile = readFile;
    calls.writeFile = writeFile;
    calls.getOverlappedResult = getOverlappedResult;
    calls.cancelIoEx = cancelIoEx;
    calls.purgeComm = purgeComm;
    installed = true;
}

} // namespace quirks
