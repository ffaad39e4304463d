// The other process that the system tests need.
//
//   system_probe hold FILE SHARE READY RELEASE
//     opens FILE for reading with share mode SHARE (hexadecimal), sets the
//     event READY and keeps the file open until the event RELEASE is set.
//     Exit code 0; 2 when the file or an event could not be opened.
//   system_probe report RESULT
//     writes what this process learns about itself, one line of key=value
//     pairs, to the file RESULT:
//       platform major nt6   the OS version cache and IsNt6OrLater
//       made member opens    TestAdministrator and how often it opened the token
//       admin                attributes of S-1-5-32-544 in the token (none when absent)
//       shutdown privilege   EnableShutdownPrivilege and SeShutdownPrivilege
//                            afterwards (absent, enabled or disabled)
//     Exit code 0; 2 when RESULT could not be written.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "system/account.h"
#include "system/seams.h"

namespace {

int tokenOpens = 0;

BOOL WINAPI CountingOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  ++tokenOpens;
  return ::OpenProcessToken(process, access, token);
}

std::vector<BYTE> QueryToken(TOKEN_INFORMATION_CLASS what) {
  std::vector<BYTE> data;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return data;
  DWORD needed = 0;
  GetTokenInformation(token, what, nullptr, 0, &needed);
  data.resize(needed);
  if (needed == 0 || !GetTokenInformation(token, what, data.data(), needed, &needed)) data.clear();
  CloseHandle(token);
  return data;
}

std::string AdministratorsAttributes() {
  std::vector<BYTE> data = QueryToken(TokenGroups);
  if (data.empty()) return "unknown";
  BYTE sidBytes[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sidBytes;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sidBytes, &sidSize))
    return "unknown";
  const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(data.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (EqualSid(groups->Groups[i].Sid, sidBytes)) {
      char text[16];
      std::snprintf(text, sizeof text, "0x%lx", groups->Groups[i].Attributes);
      return text;
    }
  }
  return "none";
}

std::string ShutdownPrivilegeState() {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &luid)) return "unknown";
  std::vector<BYTE> data = QueryToken(TokenPrivileges);
  if (data.empty()) return "unknown";
  const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(data.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
      return (p.Attributes & SE_PRIVILEGE_ENABLED) ? "enabled" : "disabled";
  }
  return "absent";
}

int Report(const wchar_t* resultPath) {
  Seams().OpenProcessToken = CountingOpenProcessToken;
  BOOL member = 2;  // neither TRUE nor FALSE: shows whether it was written
  const bool made = TestAdministrator(&member);
  const int opens = tokenOpens;
  const bool nt6 = IsNt6OrLater();
  const OsVersionCache cache = TheOsVersionCache();
  const bool shutdown = EnableShutdownPrivilege();

  char line[512];
  std::snprintf(line, sizeof line,
                "platform=%lu major=%lu nt6=%d made=%d member=%d opens=%d admin=%s shutdown=%d "
                "privilege=%s",
                cache.platformId, cache.majorVersion, nt6 ? 1 : 0, made ? 1 : 0,
                static_cast<int>(member), opens, AdministratorsAttributes().c_str(),
                shutdown ? 1 : 0, ShutdownPrivilegeState().c_str());

  HANDLE file = CreateFileW(resultPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  const DWORD length = static_cast<DWORD>(std::strlen(line));
  const BOOL ok = WriteFile(file, line, length, &written, nullptr);
  CloseHandle(file);
  return ok && written == length ? 0 : 2;
}

int Hold(const wchar_t* path, const wchar_t* shareText, const wchar_t* readyName,
         const wchar_t* releaseName) {
  const DWORD share = static_cast<DWORD>(std::wcstoul(shareText, nullptr, 16));
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
  HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, releaseName);
  HANDLE file = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  int code = 2;
  if (ready && release && file != INVALID_HANDLE_VALUE) {
    SetEvent(ready);
    WaitForSingleObject(release, 120000);
    code = 0;
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (release) CloseHandle(release);
  if (ready) CloseHandle(ready);
  return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && std::wcscmp(argv[1], L"hold") == 0) return Hold(argv[2], argv[3], argv[4], argv[5]);
  if (argc == 3 && std::wcscmp(argv[1], L"report") == 0) return Report(argv[2]);
  return 1;
}
