// Linked only into the updater's twin build for the tests. Wine answers some
// platform calls that Windows can refuse (a token query, a privilege
// adjustment), so the end-to-end tests need exactly one of those answers
// replaced: TAGMIND_INJECT names which. Everything else stays real.

#include <windows.h>

#include <cwchar>

#include "system/seams.h"

namespace {

BOOL WINAPI FailingGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI FailingAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD,
                                         PTOKEN_PRIVILEGES, PDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

struct Injector {
  Injector() {
    wchar_t what[64] = {};
    if (!GetEnvironmentVariableW(L"TAGMIND_INJECT", what, 64)) return;
    if (!wcscmp(what, L"token-query-fails")) Seams().GetTokenInformation = FailingGetTokenInformation;
    if (!wcscmp(what, L"adjust-privileges-fails"))
      Seams().AdjustTokenPrivileges = FailingAdjustTokenPrivileges;
  }
} injector;

}  // namespace
