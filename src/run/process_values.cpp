#include "run/process_values.h"

#include "manager/observe_app.h"

namespace process {

// Defined together so that they come into being in this order, empty,
// before the entry point runs.
HINSTANCE ModuleHandle = nullptr;
// The resident manager's window message (manager/observe_app.h); registered
// here so that it happens before the strings come into being.
UINT ObserveAppNotifyMessage = RegisterWindowMessageW(L"CObserveAppNotify");
std::wstring OwnVersion;
std::wstring PatchName;
std::wstring TargetPath;

}  // namespace process
