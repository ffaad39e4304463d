#pragma once
// Putting the expanded plug-in over the installed one, with the stop and
// restart of the product's resident service when the file is in use.

#include <windows.h>

#include <string>

// Copies source over target. When the copy is refused because the file is in
// use (sharing or lock violation) and the manager service runs, stops the
// service, waits up to 9 x 2 s, asks the manager to shut down if it is still
// there, copies again and starts the service again.
// Returns 0 when the target holds the source's content, else a failing
// HRESULT. restartNeeded is cleared on entry and set when the companion
// application held its file while the cycle went on to its second copy.
HRESULT ReplaceTargetFile(const std::wstring& source, const std::wstring& target,
                          bool& restartNeeded);

// The companion application's "InstalledPath", or empty.
std::wstring ReadCompanionPath();

// The pause between two looks at the stopping service, and how many pauses.
constexpr DWORD kManagerPollIntervalMs = 2000;
constexpr int kManagerPollWaits = 9;
