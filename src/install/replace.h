#pragma once
// Putting the expanded plug-in over the installed one, with the stop and
// restart of the product's resident service when the file is in use.

#include <windows.h>

#include <string>

#include "system/hresult.h"

// Copies source over target. When the copy is refused because the file is in
// use (sharing or lock violation) and the manager service runs, stops the
// service, waits up to 9 x 2 s, asks the manager to shut down if it is still
// there, copies again and starts the service again.
// Before anything is written the plug-in's bytes are kept in a file of the
// source's folder (BackupPathFor); a copy that fails after it may have
// written, or that succeeds without leaving the source's bytes, is undone
// from it, and so is whatever a refused copy changed when the replacement
// fails in the end. Without that backup the plug-in is not touched at all.
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

// Where the plug-in's bytes wait while it is replaced: in the source's folder
// (the run's working folder), under the target's file name with ".old" added,
// so that nothing in the product's folder changes but the plug-in itself.
// Empty when either path lacks its folder or its file name.
std::wstring BackupPathFor(const std::wstring& source, const std::wstring& target);

// A copy over the plug-in that "succeeded" but left other bytes than the
// source's (or bytes that could not be read back).
constexpr HRESULT kReplacementNotVerified = HrFromWin32(ERROR_FILE_CORRUPT);

// What one copy over the plug-in comes to: its result, and whether the
// original has to be put back at once. A refusal with a sharing or lock
// violation leads to the service cycle instead (the cycle's own copy, or the
// put-back when the replacement fails, settles the file); any other failure
// may have emptied it (a full disk truncates it), and a failure that names no
// error is still a failure.
struct CopyVerdict {
  HRESULT result;
  bool putBack;
};
CopyVerdict JudgeCopy(bool copied, DWORD copyError, bool targetHoldsSource);
