#include "install/manager_service.h"

#include "system/hresult.h"
#include "system/scoped_handle.h"
#include "system/seams.h"

namespace {

const wchar_t kManagerServiceName[] = L"TagmindMgr";

// The queries ask only for what they need, so that they still answer for a
// caller that may not control services.
const DWORD kQueryManagerAccess = SC_MANAGER_CONNECT;       // 1
const DWORD kControlManagerAccess = SC_MANAGER_ALL_ACCESS;  // 0xF003F
const DWORD kExistsServiceAccess = SERVICE_QUERY_CONFIG;    // 1
const DWORD kStateServiceAccess = SERVICE_QUERY_STATUS;     // 4
const DWORD kStartServiceAccess = SERVICE_QUERY_STATUS | SERVICE_START;  // 0x14
const DWORD kStopServiceAccess = SERVICE_STOP;                           // 0x20

// Reads the status into a zero-filled record; false when the query failed.
bool ReadStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  ZeroMemory(&status, sizeof status);
  DWORD needed = 0;
  return Seams().QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<LPBYTE>(&status), sizeof status,
                                      &needed) != FALSE;
}

}  // namespace

// In each operation the service handle is declared after the manager handle,
// so that it is closed first on every way out.

bool ManagerServiceExists() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, kQueryManagerAccess));
  if (!manager) return false;
  ScopedServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName,
                                           kExistsServiceAccess));
  return service.IsValid();
}

DWORD QueryManagerState() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, kQueryManagerAccess));
  if (!manager) return SERVICE_STOPPED;
  ScopedServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName,
                                           kStateServiceAccess));
  if (!service) return SERVICE_STOPPED;
  SERVICE_STATUS_PROCESS status;
  if (!ReadStatus(service.Get(), status)) return SERVICE_STOPPED;
  return status.dwCurrentState;
}

HRESULT StartResultFromState(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return S_OK;
    case SERVICE_STOPPED:
    case SERVICE_STOP_PENDING:
      return HrFromWin32(ERROR_SERVICE_NOT_ACTIVE);  // 0x80070426
    default:  // start pending, or a state that says nothing yet
      return S_FALSE;
  }
}

HRESULT StartManager() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, kControlManagerAccess));
  if (!manager) return HrFromLastError();
  ScopedServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName,
                                           kStartServiceAccess));
  if (!service) return HrFromLastError();
  if (!StartServiceW(service.Get(), 0, nullptr)) return HrFromLastError();

  // One look straight away: the caller does not wait for the start.
  SERVICE_STATUS_PROCESS status;
  if (!ReadStatus(service.Get(), status)) {
    const HRESULT hr = HrFromLastError();
    if (hr != S_OK) return hr;
    // A failure without an error code leaves the zero-filled state.
  }
  return StartResultFromState(status.dwCurrentState);
}

HRESULT StopManager() {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, kControlManagerAccess));
  if (!manager) return HrFromLastError();
  ScopedServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName,
                                           kStopServiceAccess));
  if (!service) return HrFromLastError();
  // Only the request: the caller polls QueryManagerState for the outcome.
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof status);
  if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) return HrFromLastError();
  return S_OK;
}
