// The line errors that the driver played by driverquirks.h reports, set by a test or by WinePeer. Apart
// from driverquirks.h, which replaces the program's operator new, so that WinePeer can set them in any
// program; they take effect only once the quirks are installed.
#pragma once

#include <atomic>

#include <windows.h>

namespace quirks {

inline std::atomic<bool> installed{false};
// When set, the next ClearCommError that finds bytes queued or read since the call before reports these
// errors (CE_FRAME, CE_BREAK, ...) with them, as a driver does for bytes the line spoiled; wine's never
// does.
inline std::atomic<DWORD> lineErrors{0};
// When set, the next ClearCommError that finds no byte queued and none read since the call before
// reports these errors, as a driver does for an error that brought no byte.
inline std::atomic<DWORD> errorsWithoutByte{0};

} // namespace quirks
