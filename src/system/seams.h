#pragma once
// A few platform answers that Wine cannot produce (a token query or a
// privilege adjustment that fails, a copy refused with a lock violation) are
// reached through these pointers, so that a test can substitute exactly that
// one call. The product never changes them: each holds the real function.

#include <windows.h>

struct PlatformSeams {
  decltype(&::OpenProcessToken) OpenProcessToken = ::OpenProcessToken;
  decltype(&::GetTokenInformation) GetTokenInformation = ::GetTokenInformation;
  decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges = ::AdjustTokenPrivileges;
  decltype(&::CopyFileW) CopyFileW = ::CopyFileW;
  // Reads of the plug-in refused with a lock violation (a byte-range lock of
  // its holder), which Wine never reports.
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::GetTempPathW) GetTempPathW = ::GetTempPathW;
  // The in-use probe's write open refused with access denied, as Windows
  // refuses it for a read-only file (Wine run as root opens that file).
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
  // A descriptor that cannot be completed, and a service whose status is read
  // only after it has moved on (a slow caller), which Wine shows only by chance.
  decltype(&::AddAccessAllowedAce) AddAccessAllowedAce = ::AddAccessAllowedAce;
  decltype(&::QueryServiceStatusEx) QueryServiceStatusEx = ::QueryServiceStatusEx;
  // A kernel32 without SetDefaultDllDirectories (Windows XP, Vista and 7
  // without the loader update), or a system library that lacks a function.
  decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
};

// The process-wide table; tests restore it with ScopedSeams (tests/support).
PlatformSeams& Seams();
