#include "install/replace.h"

#include <cstring>
#include <vector>

#include "install/manager_service.h"
#include "manager/observe_app.h"
#include "product/registry.h"
#include "system/hresult.h"
#include "system/paths.h"
#include "system/scoped_handle.h"
#include "system/seams.h"

namespace {

const wchar_t kCompanionKey[] = L"SOFTWARE\\Norlek Corporation\\Vistamo";
constexpr HRESULT kManagerStillThere = HrFromWin32(ERROR_SERVICE_REQUEST_TIMEOUT);

constexpr DWORD kChunkBytes = 64 * 1024;

// Only these two mean that the resident service may hold the plug-in, so
// they lead to the service cycle rather than to an immediate put-back. A
// sharing violation comes before anything is written; a lock violation may
// come from a write, and whatever it changed is undone at the end unless the
// cycle's own copy replaced the file.
bool MeansFileInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}
bool RefusedAsInUse(HRESULT hr) {
  return hr == HrFromWin32(ERROR_SHARING_VIOLATION) || hr == HrFromWin32(ERROR_LOCK_VIOLATION);
}

// A failure must never read as success, even when the platform gave no code.
HRESULT FailureFrom(DWORD error) { return error ? HrFromWin32(static_cast<long>(error)) : E_FAIL; }
HRESULT LastFailure() { return FailureFrom(GetLastError()); }

// For comparing only: whoever else has the file open, reading it is harmless.
ScopedFileHandle OpenToRead(const std::wstring& path) {
  return ScopedFileHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool Rewind(HANDLE file) {
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) != FALSE;
}

// Up to `wanted` bytes, fewer only at the end of the file.
bool ReadUpTo(HANDLE file, char* buffer, DWORD wanted, DWORD* got) {
  *got = 0;
  while (*got < wanted) {
    DWORD n = 0;
    if (!Seams().ReadFile(file, buffer + *got, wanted - *got, &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

// Both files from their first byte. S_OK when they hold the same bytes,
// S_FALSE when they differ, a failure when one cannot be read.
HRESULT CompareContent(HANDLE a, HANDLE b) {
  LARGE_INTEGER sizeA = {}, sizeB = {};
  if (!GetFileSizeEx(a, &sizeA) || !GetFileSizeEx(b, &sizeB)) return LastFailure();
  if (sizeA.QuadPart != sizeB.QuadPart) return S_FALSE;
  if (!Rewind(a) || !Rewind(b)) return LastFailure();
  std::vector<char> bufferA(kChunkBytes), bufferB(kChunkBytes);
  for (;;) {
    DWORD gotA = 0, gotB = 0;
    if (!ReadUpTo(a, &bufferA[0], kChunkBytes, &gotA) ||
        !ReadUpTo(b, &bufferB[0], kChunkBytes, &gotB))
      return LastFailure();
    if (gotA != gotB || std::memcmp(&bufferA[0], &bufferB[0], gotA) != 0)
      return S_FALSE;
    if (gotA < kChunkBytes) return S_OK;
  }
}

bool SameContent(const std::wstring& pathA, const std::wstring& pathB) {
  ScopedFileHandle a = OpenToRead(pathA);
  ScopedFileHandle b = OpenToRead(pathB);
  return a && b && CompareContent(a.Get(), b.Get()) == S_OK;
}

// The whole of `from` into `to`, which ends where `from` ends. A short write
// is offered again so that the platform names the reason (a full disk).
HRESULT CopyContent(HANDLE from, HANDLE to) {
  if (!Rewind(from) || !Rewind(to)) return LastFailure();
  std::vector<char> buffer(kChunkBytes);
  for (;;) {
    DWORD got = 0;
    if (!ReadUpTo(from, &buffer[0], kChunkBytes, &got)) return LastFailure();
    for (DWORD done = 0; done < got;) {
      DWORD written = 0;
      if (!WriteFile(to, &buffer[0] + done, got - done, &written, nullptr)) return LastFailure();
      if (written == 0) return E_FAIL;
      done += written;
    }
    if (got < kChunkBytes) break;
  }
  return SetEndOfFile(to) ? S_OK : LastFailure();
}

// The plug-in's bytes and times as they were before this run wrote to it.
// The file is created new (an existing file of that name, left over or
// planted, is never taken for the backup) and held open without write or
// delete sharing until the replacement is settled, so that nobody can change
// it meanwhile. It is deleted at the end, unless the plug-in could not be
// put back: then it is the last good copy and stays.
class PluginBackup {
 public:
  explicit PluginBackup(const std::wstring& path) : path_(path) {}
  ~PluginBackup() {
    if (!keep_) Discard();
  }
  PluginBackup(const PluginBackup&) = delete;
  PluginBackup& operator=(const PluginBackup&) = delete;

  bool Made() const { return complete_; }

  // The plug-in is opened first and shared for reading only, so a holder
  // that may write to it (or that refuses readers) answers with a sharing
  // violation before any backup file exists.
  HRESULT Make(const std::wstring& plugin) {
    if (path_.empty()) return E_FAIL;
    ScopedFileHandle original(CreateFileW(plugin.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!original) return LastFailure();
    if (!GetFileTime(original.Get(), &created_, &accessed_, &written_)) return LastFailure();
    file_.Reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return LastFailure();
    ours_ = true;
    HRESULT hr = CopyContent(original.Get(), file_.Get());
    if (SUCCEEDED(hr)) hr = CompareContent(original.Get(), file_.Get());
    if (hr == S_FALSE) hr = E_FAIL;
    complete_ = hr == S_OK;
    // A plug-in locked against reading fails here as in use; the attempt
    // after the service's stop needs the name free again.
    if (!complete_) Discard();
    return hr;
  }

  // Makes sure the plug-in holds its old bytes again: rewritten in place
  // (its own attributes and security stay) only when it differs, then read
  // back against the backup.
  HRESULT PutBack(const std::wstring& plugin) {
    if (!complete_) return E_FAIL;
    if (HoldsBackup(plugin)) {
      keep_ = false;
      return S_OK;
    }
    HRESULT hr;
    {
      ScopedFileHandle target(CreateFileW(plugin.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      hr = target ? CopyContent(file_.Get(), target.Get()) : LastFailure();
      if (SUCCEEDED(hr)) SetFileTime(target.Get(), &created_, &accessed_, &written_);
    }
    if (SUCCEEDED(hr) && !HoldsBackup(plugin)) hr = E_FAIL;
    keep_ = FAILED(hr);
    return hr;
  }

 private:
  void Discard() {
    file_.Close();
    if (ours_) DeleteFileW(path_.c_str());
    ours_ = false;
  }
  bool HoldsBackup(const std::wstring& plugin) const {
    ScopedFileHandle now = OpenToRead(plugin);
    return now && CompareContent(now.Get(), file_.Get()) == S_OK;
  }

  std::wstring path_;
  ScopedFileHandle file_;
  FILETIME created_ = {}, accessed_ = {}, written_ = {};
  bool ours_ = false;      // this run created the file
  bool complete_ = false;  // it holds the plug-in's bytes
  bool keep_ = false;      // the plug-in could not be put back
};

// One copy over the plug-in, checked; undone from the backup when it failed
// after it may have written, or when the target does not hold the source.
HRESULT CopyOverChecked(const std::wstring& source, const std::wstring& target,
                        PluginBackup& backup) {
  const bool copied = Seams().CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
  const DWORD error = copied ? 0 : GetLastError();
  const CopyVerdict verdict = JudgeCopy(copied, error, copied && SameContent(source, target));
  if (verdict.putBack) backup.PutBack(target);
  return verdict.result;
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

std::wstring BackupPathFor(const std::wstring& source, const std::wstring& target) {
  const size_t sourceSlash = source.find_last_of(L'\\');
  const size_t targetSlash = target.find_last_of(L'\\');
  if (sourceSlash == std::wstring::npos || sourceSlash == 0) return std::wstring();
  if (targetSlash == std::wstring::npos || targetSlash + 1 == target.size()) return std::wstring();
  return LongPathForm(source.substr(0, sourceSlash + 1) + target.substr(targetSlash + 1) + L".old");
}

CopyVerdict JudgeCopy(bool copied, DWORD copyError, bool targetHoldsSource) {
  if (copied) {
    if (targetHoldsSource) return {S_OK, false};
    return {kReplacementNotVerified, true};
  }
  return {FailureFrom(copyError), !MeansFileInUse(copyError)};
}

namespace {

// Once armed, asks for the service's start when it goes, on every way out,
// exhausted memory included; the answer is not waited for.
class ManagerRestart {
 public:
  ManagerRestart() = default;
  ~ManagerRestart() {
    if (armed_) StartManager();
  }
  ManagerRestart(const ManagerRestart&) = delete;
  ManagerRestart& operator=(const ManagerRestart&) = delete;

  void Arm() { armed_ = true; }

 private:
  bool armed_ = false;
};

HRESULT ReplaceWithBackup(const std::wstring& source, const std::wstring& target,
                          PluginBackup& backup, ManagerRestart& restart,
                          bool& restartNeeded) {
  // A plug-in that cannot even be read for its backup because it is in use
  // would refuse the copy for the same reason: that is the first copy's
  // answer, and the backup is made once the service has let go.
  HRESULT firstResult = backup.Make(target);
  if (SUCCEEDED(firstResult)) firstResult = CopyOverChecked(source, target, backup);
  if (!RefusedAsInUse(firstResult)) return firstResult;
  if (!ManagerServiceExists()) return firstResult;
  if (QueryManagerState() == SERVICE_STOPPED) return firstResult;

  // Probed before the stop: once the product stops, the companion lets go too.
  const bool companionInUse = IsFileLocked(LongPathForm(ReadCompanionPath()));

  HRESULT hr = StopManager();
  if (FAILED(hr)) return hr;
  if (!WaitForManagerToStop()) hr = AskManagerToShutDown();
  if (FAILED(hr)) return hr;

  // The service is stopped now, and comes back to whichever library is then
  // in place: the new one, checked, or the old one, put back.
  restart.Arm();
  if (companionInUse) restartNeeded = true;
  hr = backup.Made() ? S_OK : backup.Make(target);
  if (SUCCEEDED(hr)) hr = CopyOverChecked(source, target, backup);
  return hr;
}

}  // namespace

HRESULT ReplaceTargetFile(const std::wstring& source, const std::wstring& target,
                          bool& restartNeeded) {
  restartNeeded = false;
  PluginBackup backup(BackupPathFor(source, target));
  ManagerRestart restart;  // goes first: the start request follows the put-back
  const HRESULT hr = ReplaceWithBackup(source, target, backup, restart, restartNeeded);
  // However the replacement ended in failure, the plug-in leaves with its own
  // bytes: a copy refused with a lock violation was refused by a write, so it
  // may have changed the file before the service cycle gave up. Nothing is
  // rewritten when the bytes are still the original's.
  if (FAILED(hr) && backup.Made()) backup.PutBack(target);
  return hr;
}
