#pragma once
// The one place where Win32 error codes become HRESULTs.

#include <windows.h>

// A positive Win32 code e becomes 0x80070000 | (e & 0xFFFF); zero and
// negative values (already HRESULTs) pass unchanged.
constexpr HRESULT HrFromWin32(long e) {
  return e > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<unsigned long>(e) & 0xFFFFu))
               : static_cast<HRESULT>(e);
}

// HrFromWin32 of the calling thread's last error.
inline HRESULT HrFromLastError() { return HrFromWin32(static_cast<long>(GetLastError())); }
