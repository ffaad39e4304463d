#pragma once
// Runs the real updater executable the way a person would meet it: every
// message box it shows is read back from the real window (caption, text,
// buttons) and dismissed with OK, and Wine's relay trace of the child tells
// the exact arguments of its MessageBoxW and ExitWindowsEx calls.

#include <windows.h>

#include <string>
#include <vector>

namespace test {

struct BoxSeen {
  std::wstring caption;
  std::wstring text;
  std::vector<int> buttonIds;  // control ids of the box's buttons
  bool iconShown = false;      // the icon control shows an icon
};

struct TracedCall {
  std::string function;            // "MessageBoxW", "ExitWindowsEx" (without the library)
  std::vector<unsigned long long> args;  // numeric arguments as traced (strings: their address)
};

struct UpdaterRun {
  DWORD exitCode = 0xFFFFFFFF;  // 0xFFFFFFFF: did not start or did not end in time
  std::vector<BoxSeen> boxes;
  std::vector<std::wstring> otherWindows;  // visible windows that are no message box
  std::vector<TracedCall> calls;           // in call order
};

struct UpdaterRunOptions {
  std::wstring exe;                        // default: the test vehicle of this build
  bool administratorsDenyOnly = false;     // token whose Administrators group is deny-only
  DWORD timeoutMs = 120000;
  // More calls for the relay trace, as Wine's RelayInclude names them
  // ("kernel32.CopyFileW", or "SetErrorMode" for whichever library has it).
  std::wstring alsoTrace;
};

UpdaterRun RunUpdater(const UpdaterRunOptions& options = UpdaterRunOptions());

// The test vehicle: the updater built for x86-64 from the same sources.
std::wstring TestVehicle();

}  // namespace test
