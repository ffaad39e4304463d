#include "run/update_run.h"

#include <string>

#include "install/payload.h"
#include "product/patch_record.h"
#include "product/registry.h"
#include "product/self_description.h"
#include "product/target.h"
#include "run/catalogue.h"
#include "run/process_values.h"
#include "system/account.h"
#include "system/paths.h"
#include "system/system_libraries.h"

namespace {

// Carried in the catalogue as the failure text without a code.
constexpr UINT kTextUpdateFailedPlain = 1059;
const wchar_t kHandshakeKey[] = L"SOFTWARE\\Norlek Corporation\\Pellan Update";
constexpr REGSAM kReadWriteAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

void Show(const std::wstring& text, const std::wstring& caption, UINT type) {
  MessageBoxW(nullptr, text.c_str(), caption.c_str(), type);
}

std::wstring FailureText(HRESULT hr) {
  std::wstring text;
  if (SUCCEEDED(FormatCatalogueText(text, kTextUpdateFailed, static_cast<unsigned>(hr))))
    return text;
  // Still tell the user that the update failed, without the code.
  return LoadCatalogueText(kTextUpdateFailedPlain);
}

void RequestRestart() {
  if (!EnableShutdownPrivilege()) return;
  ExitWindowsEx(RestartFlags(IsNt6OrLater()), 0);
}

void RunUpdateBranch(RunOutcome outcome, bool silent, const std::wstring& caption) {
  bool restartNeeded = false;
  const HRESULT hr = InstallPayload(PayloadIdFor(outcome), restartNeeded);
  if (SUCCEEDED(hr)) {
    WritePatchRecord();
    if (!silent) Show(LoadCatalogueText(kTextUpdateCompleted), caption, MB_OK);
  } else if (!silent) {
    Show(FailureText(hr), caption, MB_ICONERROR);
  }
  if (!restartNeeded) return;
  if (silent) {
    SetRebootFlag();
    return;
  }
  Show(LoadCatalogueText(kTextRestartNeeded), caption, MB_ICONWARNING);
  RequestRestart();
}

}  // namespace

bool SilentModeFrom(LONG queryResult, DWORD firstFourBytes) {
  // After a failed query (more data included) the buffer is undefined.
  return queryResult == ERROR_SUCCESS && firstFourBytes == 1;
}

bool AdministratorGatePasses(bool testMade, BOOL isMember, DWORD platformId) {
  if (testMade) return isMember != FALSE;
  return platformId != VER_PLATFORM_WIN32_NT;
}

WORD PayloadIdFor(RunOutcome outcome) {
  return outcome == OutcomeLine37 ? kPayloadLine37 : kPayloadLine38;
}

bool ReadSilentMode() {
  CRegKeyEx key;
  if (key.OpenLocalMachineKey(KEY_READ, kHandshakeKey) != ERROR_SUCCESS) return false;
  DWORD value = 0;
  DWORD bytes = sizeof value;
  DWORD type = 0;
  const LONG rc = RegQueryValueExW(key.Handle(), L"LaunchInstaller", nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &bytes);
  return SilentModeFrom(rc, value);
}

bool SetRebootFlag() {
  CRegKeyEx key;
  if (key.OpenLocalMachineKey(kReadWriteAccess, kHandshakeKey) != ERROR_SUCCESS) return false;
  static const wchar_t kOne[] = L"1";
  return RegSetValueExW(key.Handle(), L"RebootFlg", 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(kOne), sizeof kOne) == ERROR_SUCCESS;
}

void RunUpdate(HINSTANCE instance) {
  // Before anything touches a file, and in both modes: a fault must reach the
  // run as an error code, never as a system box that waits for a click (no
  // disk in the drive, a crash report). The silent flag is not known yet, and
  // an interactive run shows only its own outcome box as well.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Libraries that the system loads for the run later on (a message box's
  // theme, a hash provider) come from the system folder, not from beside us.
  RestrictLibrarySearch();
  process::ModuleHandle = instance;
  process::OwnVersion = ReadOwnVersion();
  process::PatchName = ReadPatchName();
  process::TargetPath = LongPathForm(LocateTarget());
  const std::wstring caption = LoadCatalogueText(kTextCaption);
  const bool silent = ReadSilentMode();

  RunOutcome outcome = static_cast<RunOutcome>(static_cast<int>(ClassifyTarget()));
  if (outcome == OutcomeLine37 || outcome == OutcomeLine38) {
    BOOL isMember = FALSE;
    const bool made = TestAdministrator(&isMember);
    if (!made && !TheOsVersionCache().filled) LoadOsVersion();
    if (!AdministratorGatePasses(made, isMember, TheOsVersionCache().platformId))
      outcome = OutcomeNotAdministrator;
  }

  switch (outcome) {
    case OutcomeNone:
      if (!silent) Show(LoadCatalogueText(kTextNoUpdateNeeded), caption, MB_OK);
      break;
    case OutcomeNotAdministrator:
      if (!silent) Show(LoadCatalogueText(kTextNotAdministrator), caption, MB_ICONWARNING);
      break;
    case OutcomeLine37:
    case OutcomeLine38:
      RunUpdateBranch(outcome, silent, caption);
      break;
  }
}
