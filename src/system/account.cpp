#include "system/account.h"

#include "system/scoped_handle.h"
#include "system/seams.h"

namespace {

// EWX_RESTARTAPPS exists from Windows Vista on; the headers show it only to
// code built for that level, and this program is built for XP.
const UINT kExitWindowsRestartApps = 0x00000040;

// A zero-filled GlobalAlloc block, locked for as long as it is held.
class LockedGlobalBlock {
 public:
  explicit LockedGlobalBlock(SIZE_T bytes) : memory_(GlobalAlloc(GMEM_ZEROINIT, bytes)) {
    if (memory_) data_ = GlobalLock(memory_);
  }
  ~LockedGlobalBlock() {
    if (!memory_) return;
    const DWORD saved = GetLastError();
    if (data_) GlobalUnlock(memory_);
    GlobalFree(memory_);
    SetLastError(saved);
  }
  LockedGlobalBlock(const LockedGlobalBlock&) = delete;
  LockedGlobalBlock& operator=(const LockedGlobalBlock&) = delete;

  void* Data() const { return data_; }

 private:
  HGLOBAL memory_ = nullptr;
  void* data_ = nullptr;
};

}  // namespace

OsVersionCache& TheOsVersionCache() {
  static OsVersionCache cache = {false, 0, 0};
  return cache;
}

void LoadOsVersion() {
  OsVersionCache& cache = TheOsVersionCache();
  if (cache.filled) return;
  OSVERSIONINFOW info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  // On failure the zeroed numbers are the answer: not the NT family.
  GetVersionExW(&info);
  cache.majorVersion = info.dwMajorVersion;
  cache.platformId = info.dwPlatformId;
  cache.filled = true;
}

bool IsNt6OrLater() {
  if (!TheOsVersionCache().filled) LoadOsVersion();
  const OsVersionCache& cache = TheOsVersionCache();
  return cache.platformId == VER_PLATFORM_WIN32_NT && cache.majorVersion > 5;
}

bool GroupsHoldEnabled(const TOKEN_GROUPS& groups, PSID sid) {
  for (DWORD i = 0; i < groups.GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = groups.Groups[i];
    if (EqualSid(group.Sid, sid) && (group.Attributes & SE_GROUP_ENABLED)) return true;
  }
  return false;
}

bool TestAdministrator(BOOL* isMember) {
  if (!isMember) return false;
  *isMember = FALSE;
  if (!TheOsVersionCache().filled) LoadOsVersion();
  if (TheOsVersionCache().platformId != VER_PLATFORM_WIN32_NT) return false;

  ScopedKernelHandle token;
  if (!Seams().OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;

  DWORD needed = 0;
  if (Seams().GetTokenInformation(token.Get(), TokenGroups, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;

  LockedGlobalBlock buffer(needed);
  if (!buffer.Data()) return false;
  if (!Seams().GetTokenInformation(token.Get(), TokenGroups, buffer.Data(), needed, &needed))
    return false;

  SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
  ScopedSid administrators;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, administrators.Receive()))
    return false;

  *isMember = GroupsHoldEnabled(*static_cast<const TOKEN_GROUPS*>(buffer.Data()),
                                administrators.Get())
                  ? TRUE
                  : FALSE;
  return true;
}

bool EnableShutdownPrivilege() {
  ScopedKernelHandle token;
  if (!Seams().OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                token.Receive()))
    return false;

  TOKEN_PRIVILEGES wanted;
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &wanted.Privileges[0].Luid)) return false;

  // Whether the token holds the privilege at all (ERROR_NOT_ALL_ASSIGNED) is
  // left to the restart to find out.
  TOKEN_PRIVILEGES previous;
  DWORD previousLength = 0;
  return Seams().AdjustTokenPrivileges(token.Get(), FALSE, &wanted, sizeof previous, &previous,
                                       &previousLength) != FALSE;
}

UINT RestartFlags(bool nt6OrLater) {
  return nt6OrLater ? EWX_REBOOT | kExitWindowsRestartApps : EWX_REBOOT;
}
