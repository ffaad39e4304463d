#pragma once
// Control of the product's resident manager, the service "TagmindMgr" of the
// local machine. Every call opens its own handles on the service control
// manager and closes them (the service handle first) before it returns.
//
// Contract: the two queries never fail; a manager that cannot be reached or
// read counts as absent (false) or stopped (SERVICE_STOPPED). Start and stop
// return HrFromWin32 of the first call that failed.

#include <windows.h>

// Whether the service control manager can be reached and the service opened.
bool ManagerServiceExists();

// The service's dwCurrentState, or SERVICE_STOPPED (1) when it cannot be read.
DWORD QueryManagerState();

// Starts the service without arguments and reads its state once, without
// waiting: 0 running, 1 still starting (or an unknown state), 0x80070426 when
// it already reports stopped or stop pending, else the failing call's HRESULT.
HRESULT StartManager();

// Asks the service to stop, without waiting: 0 when the request was accepted.
HRESULT StopManager();

// What StartManager makes of the state read right after the start request.
HRESULT StartResultFromState(DWORD state);
