#pragma once
// The updater's single pass, from startup values to the restart.

#include <windows.h>

// Outcomes of the decision: the target's line, or a refusal by the gate.
enum RunOutcome : int {
  OutcomeNone = 0,              // nothing to update
  OutcomeLine37 = 1,
  OutcomeLine38 = 2,
  OutcomeNotAdministrator = 3,  // set only by the administrator gate
};

// Runs the pass for the module `instance`. Never fails; the exit code of the
// program is 0 whatever happened.
void RunUpdate(HINSTANCE instance);

// True when the update framework announced itself ("LaunchInstaller" = 1).
bool ReadSilentMode();
// Leaves "RebootFlg" = "1" for the framework; true when it was written.
bool SetRebootFlag();

// The decisions of the pass, over plain values.
// "LaunchInstaller" as read: the query's result and the first four bytes.
bool SilentModeFrom(LONG queryResult, DWORD firstFourBytes);
// Whether the update may go on: the token's answer when the test could be
// made, else only off the NT family.
bool AdministratorGatePasses(bool testMade, BOOL isMember, DWORD platformId);
WORD PayloadIdFor(RunOutcome outcome);
