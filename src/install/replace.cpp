#include "install/replace.h"

#include "install/manager_service.h"
#include "manager/observe_app.h"
#include "product/registry.h"
#include "system/hresult.h"
#include "system/paths.h"
#include "system/seams.h"

namespace {

const wchar_t kCompanionKey[] = L"SOFTWARE\\Norlek Corporation\\Vistamo";
constexpr HRESULT kManagerStillThere = HrFromWin32(ERROR_SERVICE_REQUEST_TIMEOUT);

// Only these two mean that the resident service may hold the plug-in.
bool MeansFileInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

HRESULT CopyOver(const std::wstring& source, const std::wstring& target) {
  if (Seams().CopyFileW(source.c_str(), target.c_str(), FALSE)) return S_OK;
  return HrFromLastError();
}

// One look right after the stop request, then one after each pause.
bool WaitForManagerToStop() {
  bool stopped = QueryManagerState() == SERVICE_STOPPED;
  for (int wait = 0; wait < kManagerPollWaits && !stopped; ++wait) {
    Sleep(kManagerPollIntervalMs);
    stopped = QueryManagerState() == SERVICE_STOPPED;
  }
  return stopped;
}

bool ManagerInstancePresent(const CObserveApp& app) {
  return app.MutexAllExists() || app.MutexUserExists();
}

// The service did not stop in time: ask every manager instance to shut down.
// The second look follows at once, so an instance that is still there at that
// instant keeps the file and the update gives up.
HRESULT AskManagerToShutDown() {
  CObserveApp app;
  if (ManagerInstancePresent(app) && app.ShutdownAllEvent()) SetEvent(app.ShutdownAllEvent());
  return ManagerInstancePresent(app) ? kManagerStillThere : S_OK;
}

}  // namespace

std::wstring ReadCompanionPath() {
  std::wstring path;
  FirstFoundView(KEY_READ, kCompanionKey, [&](CRegKeyEx& key) {
    // A value that fails its checks leaves the path empty; nothing else matters here.
    key.ReadStringValue(L"InstalledPath", path);
  });
  return path;
}

HRESULT ReplaceTargetFile(const std::wstring& source, const std::wstring& target,
                          bool& restartNeeded) {
  restartNeeded = false;
  if (Seams().CopyFileW(source.c_str(), target.c_str(), FALSE)) return S_OK;
  const DWORD firstError = GetLastError();
  const HRESULT firstResult = HrFromWin32(static_cast<long>(firstError));
  if (!MeansFileInUse(firstError)) return firstResult;
  if (!ManagerServiceExists()) return firstResult;
  if (QueryManagerState() == SERVICE_STOPPED) return firstResult;

  // Probed before the stop: once the product stops, the companion lets go too.
  const bool companionInUse = IsFileLocked(LongPathForm(ReadCompanionPath()));

  HRESULT hr = StopManager();
  if (FAILED(hr)) return hr;
  if (!WaitForManagerToStop()) hr = AskManagerToShutDown();
  if (FAILED(hr)) return hr;

  if (companionInUse) restartNeeded = true;
  hr = CopyOver(source, target);
  StartManager();
  return hr;
}
