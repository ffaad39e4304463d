#pragma once
// What the run asks about the machine and its own process: the Windows
// family and major version (read once per process), membership of the
// Administrators group, and the shutdown privilege for the restart.
// Nothing here reports an error code; a failing call is a false answer.

#include <windows.h>

// Filled on first use and never refreshed. When GetVersionExW fails both
// numbers stay 0, which reads as "not the NT family".
struct OsVersionCache {
  bool filled;
  DWORD majorVersion;
  DWORD platformId;  // VER_PLATFORM_WIN32_NT (2) for the NT family
};

OsVersionCache& TheOsVersionCache();

// Fills the cache unless it is filled already.
void LoadOsVersion();

// NT family, major version 6 or later.
bool IsNt6OrLater();

// True when the test could be made; only then does *isMember carry the
// answer: whether the process token holds the Administrators group enabled
// (a deny-only entry does not count). Outside the NT family the test is never
// made. *isMember is set to FALSE before anything else is tried.
bool TestAdministrator(BOOL* isMember);

// Enables SeShutdownPrivilege in the process token. True when the adjustment
// call succeeded, which includes a token that does not hold the privilege at
// all (the call then changes nothing); the restart itself tells the rest.
bool EnableShutdownPrivilege();

// The walk over a token's groups: true when an entry equal to sid has
// SE_GROUP_ENABLED set. Entries are visited in order and the first enabled
// match ends the walk.
bool GroupsHoldEnabled(const TOKEN_GROUPS& groups, PSID sid);

// ExitWindowsEx flags for the restart: applications registered for restart
// come back on NT 6 and later (EWX_REBOOT | EWX_RESTARTAPPS), a plain reboot
// elsewhere.
UINT RestartFlags(bool nt6OrLater);
