#include "updater_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "test_support.h"

namespace test {
namespace {

const wchar_t kRelayKey[] = L"Software\\Wine\\Debug";

// Which calls of the child Wine traces; read by the child when it starts.
void TraceTheseCalls(const std::wstring& alsoTrace) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRelayKey, 0, nullptr, 0,
                                           KEY_SET_VALUE, nullptr, &key, nullptr));
  std::wstring value = L"user32.MessageBoxW;user32.ExitWindowsEx";
  if (!alsoTrace.empty()) value += L";" + alsoTrace;
  RegSetValueExW(key, L"RelayInclude", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// A primary token like ours, but with the Administrators group for deny only.
HANDLE DenyOnlyAdministratorsToken() {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return nullptr;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                           0, 0, 0, 0, &admins);
  SID_AND_ATTRIBUTES deny = {admins, 0};
  HANDLE restricted = nullptr, primary = nullptr;
  if (CreateRestrictedToken(own, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted)) {
    DuplicateTokenEx(restricted, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                     TokenPrimary, &primary);
    CloseHandle(restricted);
  }
  FreeSid(admins);
  CloseHandle(own);
  return primary;
}

struct WindowScan {
  DWORD pid;
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindowsOf(HWND hwnd, LPARAM param) {
  WindowScan* scan = reinterpret_cast<WindowScan*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == scan->pid) scan->windows.push_back(hwnd);
  return TRUE;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return name;
}

std::wstring TextOf(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, &text[0], static_cast<int>(text.size()))));
  return text;
}

BOOL CALLBACK CollectButtons(HWND child, LPARAM param) {
  if (ClassOf(child) == L"Button" && IsWindowVisible(child))
    reinterpret_cast<std::vector<int>*>(param)->push_back(GetDlgCtrlID(child));
  return TRUE;
}

BoxSeen ReadBox(HWND box) {
  BoxSeen seen;
  seen.caption = TextOf(box);
  HWND text = GetDlgItem(box, 0xFFFF);
  if (text) seen.text = TextOf(text);
  EnumChildWindows(box, CollectButtons, reinterpret_cast<LPARAM>(&seen.buttonIds));
  HWND icon = GetDlgItem(box, 1088);
  seen.iconShown = icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
  return seen;
}

std::string ReadWholeFile(const std::wstring& path) { return ReadFileBytes(path); }

// Relay lines of one thread: "0114:Call user32.MessageBoxW(00000000,1400 L\"..\",..,00000030) ret=..";
// the function is named without its library.
std::vector<TracedCall> TracedCallsOf(DWORD threadId, size_t logOffset) {
  std::vector<TracedCall> calls;
  wchar_t logPath[MAX_PATH * 2] = {};
  if (!GetEnvironmentVariableW(L"TAGMIND_RUN_LOG", logPath, MAX_PATH * 2)) return calls;
  const std::string log = ReadWholeFile(logPath);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%04lx:Call ", static_cast<unsigned long>(threadId));
  size_t pos = std::min(logOffset, log.size());
  while ((pos = log.find(prefix, pos)) != std::string::npos) {
    const size_t lineEnd = log.find('\n', pos);
    const std::string line = log.substr(pos, lineEnd - pos);
    pos = lineEnd;
    const size_t open = line.find('(');
    const size_t close = line.rfind(") ret=");
    if (open == std::string::npos || close == std::string::npos) continue;
    // "library.Function" only: not the loader's "Call PE DLL (...)" lines.
    const std::string qualified = line.substr(std::char_traits<char>::length(prefix),
                                              open - std::char_traits<char>::length(prefix));
    const size_t dot = qualified.find('.');
    if (dot == std::string::npos || qualified.find(' ') != std::string::npos) continue;
    TracedCall call;
    call.function = qualified.substr(dot + 1);
    // Arguments are hexadecimal numbers, strings followed by their quoted text.
    std::string args = line.substr(open + 1, close - open - 1);
    size_t i = 0;
    while (i < args.size()) {
      call.args.push_back(std::strtoull(args.c_str() + i, nullptr, 16));
      size_t next = i;
      bool inQuote = false;
      for (; next < args.size(); ++next) {
        if (args[next] == '"' && (next == 0 || args[next - 1] != '\\')) inQuote = !inQuote;
        if (args[next] == ',' && !inQuote) break;
      }
      i = next + 1;
    }
    calls.push_back(call);
  }
  return calls;
}

size_t LogSize() {
  wchar_t logPath[MAX_PATH * 2] = {};
  if (!GetEnvironmentVariableW(L"TAGMIND_RUN_LOG", logPath, MAX_PATH * 2)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(logPath, GetFileExInfoStandard, &data)) return 0;
  return data.nFileSizeLow;
}

}  // namespace

std::wstring TestVehicle() { return BinPath(L"TagmindEngineMMLibUpdater.exe"); }

UpdaterRun RunUpdater(const UpdaterRunOptions& options) {
  UpdaterRun run;
  TraceTheseCalls(options.alsoTrace);
  const std::wstring exe = options.exe.empty() ? TestVehicle() : options.exe;
  std::wstring commandLine = L"\"" + exe + L"\"";

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  const size_t logOffset = LogSize();
  // The child inherits WINEDEBUG from our environment when it starts.
  SetEnvironmentVariableW(L"WINEDEBUG", L"+relay");
  BOOL started;
  if (options.administratorsDenyOnly) {
    HANDLE token = DenyOnlyAdministratorsToken();
    EXPECT_NE(nullptr, token) << "cannot build a deny-only token";
    started = token && CreateProcessAsUserW(token, nullptr, &commandLine[0], nullptr, nullptr,
                                            FALSE, 0, nullptr, nullptr, &si, &pi);
    if (token) CloseHandle(token);
  } else {
    started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &si, &pi);
  }
  SetEnvironmentVariableW(L"WINEDEBUG", nullptr);
  if (!started) {
    ADD_FAILURE() << "cannot start the updater, error " << GetLastError();
    return run;
  }

  std::set<HWND> known;
  const DWORD deadline = GetTickCount() + options.timeoutMs;
  for (;;) {
    const bool ended = WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0;
    WindowScan scan = {pi.dwProcessId, {}};
    EnumWindows(CollectWindowsOf, reinterpret_cast<LPARAM>(&scan));
    for (HWND hwnd : scan.windows) {
      if (known.count(hwnd) || !IsWindowVisible(hwnd)) continue;
      known.insert(hwnd);
      if (ClassOf(hwnd) == L"#32770") {
        run.boxes.push_back(ReadBox(hwnd));
        HWND ok = GetDlgItem(hwnd, IDOK);
        if (ok) PostMessageW(ok, BM_CLICK, 0, 0);
      } else {
        run.otherWindows.push_back(ClassOf(hwnd) + L": " + TextOf(hwnd));
      }
    }
    if (ended) break;
    if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
      ADD_FAILURE() << "the updater did not end in time";
      TerminateProcess(pi.hProcess, 0xFFFFFFFF);
      WaitForSingleObject(pi.hProcess, 5000);
      break;
    }
  }
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  run.calls = TracedCallsOf(pi.dwThreadId, logOffset);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return run;
}

}  // namespace test
