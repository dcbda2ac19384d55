// Win32SerialCalls: the Win32 functions that the Windows serial device calls on its port, through one
// table. The product calls the real functions, which the table holds from the start; a test may wrap
// one entry to make that call behave as a real driver does where wine is kinder (an error after an
// unplug, a write cut short, a slow open), while every other call runs for real.
#pragma once

#include <windows.h>

struct Win32SerialCalls {
    decltype(&::CreateFileW) createFile = &::CreateFileW;
    decltype(&::CloseHandle) closePort = &::CloseHandle; // the port's handle only
    decltype(&::GetCommState) getCommState = &::GetCommState;
    decltype(&::SetCommState) setCommState = &::SetCommState;
    decltype(&::SetCommTimeouts) setCommTimeouts = &::SetCommTimeouts;
    decltype(&::EscapeCommFunction) escapeCommFunction = &::EscapeCommFunction;
    decltype(&::PurgeComm) purgeComm = &::PurgeComm;
    decltype(&::ClearCommError) clearCommError = &::ClearCommError;
    decltype(&::ReadFile) readFile = &::ReadFile;
    decltype(&::WriteFile) writeFile = &::WriteFile;
    decltype(&::GetOverlappedResult) getOverlappedResult = &::GetOverlappedResult;
    decltype(&::CancelIoEx) cancelIoEx = &::CancelIoEx;
};

// The one table the device calls through.
Win32SerialCalls &win32SerialCalls();
