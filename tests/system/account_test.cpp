#include "system/account.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "system/scoped_handle.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

// ---- helpers ---------------------------------------------------------------

// Puts the process-wide OS version cache back when it goes out of scope.
class ScopedOsVersion {
 public:
  ScopedOsVersion() : saved_(TheOsVersionCache()) {}
  explicit ScopedOsVersion(const OsVersionCache& value) : ScopedOsVersion() {
    TheOsVersionCache() = value;
  }
  ~ScopedOsVersion() { TheOsVersionCache() = saved_; }
  ScopedOsVersion(const ScopedOsVersion&) = delete;
  ScopedOsVersion& operator=(const ScopedOsVersion&) = delete;

 private:
  OsVersionCache saved_;
};

// What the token seams saw. Seams are plain function pointers, so the
// substitutes keep their state here.
struct TokenRecord {
  int opens = 0;
  DWORD access = 0;
  HANDLE token = nullptr;
  int queries = 0;
  int failQuery = 0;        // 1 or 2: that GetTokenInformation call fails ...
  DWORD failError = 0;      // ... with this error
  bool firstQueryOk = false;  // the sizing call succeeds instead of failing
  bool shrinkNeeded = false;  // the sizing call reports too small a length
};
TokenRecord record;

BOOL WINAPI RecordingOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  ++record.opens;
  record.access = access;
  const BOOL ok = ::OpenProcessToken(process, access, token);
  if (ok) record.token = *token;
  return ok;
}

BOOL WINAPI FailingOpenProcessToken(HANDLE, DWORD access, PHANDLE) {
  ++record.opens;
  record.access = access;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI ScriptedGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, LPVOID data,
                                        DWORD length, PDWORD needed) {
  const int call = ++record.queries;
  if (call == 1 && record.firstQueryOk) {
    *needed = 0;
    return TRUE;
  }
  if (call == record.failQuery) {
    SetLastError(record.failError);
    return FALSE;
  }
  const BOOL ok = ::GetTokenInformation(token, what, data, length, needed);
  if (call == 1 && record.shrinkNeeded) *needed = 4;
  return ok;
}

BOOL WINAPI FailingAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD,
                                         PTOKEN_PRIVILEGES, PDWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// True when the handle no longer names anything in this process.
bool Closed(HANDLE h) {
  DWORD flags = 0;
  SetLastError(0xdeadbeef);
  return !GetHandleInformation(h, &flags) && GetLastError() == ERROR_INVALID_HANDLE;
}

std::vector<BYTE> Sid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size)) << GetLastError();
  sid.resize(size);
  return sid;
}

LUID ShutdownLuid() {
  LUID luid = {};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &luid));
  return luid;
}

// "enabled", "disabled" or "absent": SeShutdownPrivilege in this process's token.
std::string ShutdownState() {
  ScopedKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return "no token";
  DWORD needed = 0;
  GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &needed);
  std::vector<BYTE> data(needed);
  if (!needed || !GetTokenInformation(token.Get(), TokenPrivileges, data.data(), needed, &needed))
    return "no privileges";
  const LUID luid = ShutdownLuid();
  const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(data.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
      return (p.Attributes & SE_PRIVILEGE_ENABLED) ? "enabled" : "disabled";
  }
  return "absent";
}

void SetShutdownPrivilege(DWORD attributes) {
  ScopedKernelHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Receive()));
  TOKEN_PRIVILEGES tp = {};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid = ShutdownLuid();
  tp.Privileges[0].Attributes = attributes;
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &tp, 0, nullptr, nullptr));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

// The key=value line that "system_probe report" writes.
using Report = std::map<std::string, std::string>;

Report ParseReport(const std::string& line) {
  Report out;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return out;
}

std::string Show(const Report& report) {
  std::string out;
  for (const auto& kv : report) out += kv.first + "=" + kv.second + " ";
  return out;
}

// Runs the probe as given (or under the primary token when one is given) and
// returns its report; an empty report when it failed.
Report RunReport(const std::wstring& probe, const test::ScratchDir& dir, HANDLE primary = nullptr) {
  const std::wstring result = dir.File(L"report.txt");
  DeleteFileW(result.c_str());
  std::wstring cmd = L"\"" + probe + L"\" report \"" + result + L"\"";
  DWORD code = 0xFFFFFFFF;
  if (!primary) {
    code = test::RunProcess(cmd);
  } else {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessAsUserW(primary, nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &si, &pi)) {
      ADD_FAILURE() << "CreateProcessAsUserW error " << GetLastError();
      return Report();
    }
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(pi.hProcess, &code);
    } else {
      TerminateProcess(pi.hProcess, 0xFFFFFFFF);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  EXPECT_EQ(0u, code) << "probe exit code";
  return ParseReport(test::ReadFileBytes(result));
}

// A primary token derived from this process's token by CreateRestrictedToken.
ScopedKernelHandle RestrictedPrimaryToken(DWORD denyCount, SID_AND_ATTRIBUTES* deny,
                                          DWORD deleteCount, LUID_AND_ATTRIBUTES* remove) {
  ScopedKernelHandle self, restricted, primary;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(),
                               TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                               self.Receive()))
      << GetLastError();
  EXPECT_TRUE(CreateRestrictedToken(self.Get(), 0, denyCount, deny, deleteCount, remove, 0,
                                    nullptr, restricted.Receive()))
      << GetLastError();
  EXPECT_TRUE(DuplicateTokenEx(restricted.Get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                               TokenPrimary, primary.Receive()))
      << GetLastError();
  return primary;
}

// ---- OS version ------------------------------------------------------------

TEST(OsVersion, NtSixAndRestartFlagsFromTheCache) {
  struct Case {
    DWORD major, platform;
    bool nt6;
    UINT flags;
  } cases[] = {
      {6, VER_PLATFORM_WIN32_NT, true, 0x42},          {10, VER_PLATFORM_WIN32_NT, true, 0x42},
      {0xFFFFFFFF, VER_PLATFORM_WIN32_NT, true, 0x42}, {5, VER_PLATFORM_WIN32_NT, false, 0x02},
      {4, VER_PLATFORM_WIN32_NT, false, 0x02},         {4, VER_PLATFORM_WIN32_WINDOWS, false, 0x02},
      {6, VER_PLATFORM_WIN32_WINDOWS, false, 0x02},    {0, 0, false, 0x02},
  };
  for (const Case& c : cases) {
    ScopedOsVersion cache(OsVersionCache{true, c.major, c.platform});
    EXPECT_EQ(c.nt6, IsNt6OrLater()) << "major " << c.major << " platform " << c.platform;
    EXPECT_EQ(c.flags, RestartFlags(IsNt6OrLater())) << "major " << c.major;
    EXPECT_EQ(c.major, TheOsVersionCache().majorVersion) << "a filled cache is never reloaded";
  }
}

TEST(OsVersion, FilledOnceFromGetVersionEx) {
  OSVERSIONINFOW direct = {};
  direct.dwOSVersionInfoSize = sizeof direct;
  ASSERT_TRUE(GetVersionExW(&direct));

  ScopedOsVersion restore;
  TheOsVersionCache() = OsVersionCache{false, 0, 0};
  LoadOsVersion();
  EXPECT_TRUE(TheOsVersionCache().filled);
  EXPECT_EQ(direct.dwMajorVersion, TheOsVersionCache().majorVersion);
  EXPECT_EQ(direct.dwPlatformId, TheOsVersionCache().platformId);

  TheOsVersionCache() = OsVersionCache{true, 99, 7};
  LoadOsVersion();
  EXPECT_EQ(99u, TheOsVersionCache().majorVersion);
  EXPECT_EQ(7u, TheOsVersionCache().platformId);

  // The first question fills it.
  TheOsVersionCache() = OsVersionCache{false, 0, 0};
  EXPECT_EQ(direct.dwMajorVersion > 5, IsNt6OrLater());
  EXPECT_TRUE(TheOsVersionCache().filled);
}

// Wine answers GetVersionExW per program name (AppDefaults), so copies of the
// probe under their own names see the system families that this machine is not.
TEST(OsVersion, AnswersUnderOtherWindowsVersions) {
  struct Case {
    const wchar_t* version;
    const char* platform;
    const char* major;
    const char* nt6;
    const char* made;
    const char* member;
    const char* opens;
  } cases[] = {
      // Windows 98: no test, and the token is not even opened.
      {L"win98", "1", "4", "0", "0", "0", "0"},
      {L"winxp", "2", "5", "0", "1", "1", "1"},
      {L"win7", "2", "6", "1", "1", "1", "1"},
  };
  test::ScratchDir dir(L"osver");
  for (const Case& c : cases) {
    const std::wstring name = std::wstring(L"sysprobe-") + c.version + L".exe";
    const std::wstring probe = dir.File(name);
    ASSERT_TRUE(CopyFileW(test::BinPath(L"system_probe.exe").c_str(), probe.c_str(), FALSE))
        << GetLastError();
    const std::wstring appKey = L"Software\\Wine\\AppDefaults\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, appKey.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    const std::wstring version = c.version;
    const LONG set =
        RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, set);

    Report report = RunReport(probe, dir);
    RegDeleteKeyW(HKEY_CURRENT_USER, appKey.c_str());

    const std::string seen = Show(report);
    EXPECT_EQ(c.platform, report["platform"]) << seen;
    EXPECT_EQ(c.major, report["major"]) << seen;
    EXPECT_EQ(c.nt6, report["nt6"]) << seen;
    EXPECT_EQ(c.made, report["made"]) << seen;
    EXPECT_EQ(c.member, report["member"]) << "written FALSE even without a test; " << seen;
    EXPECT_EQ(c.opens, report["opens"]) << seen;
  }
}

// ---- Administrators group ---------------------------------------------------

TEST(GroupsHoldEnabled, WalksEveryEntryForAnEnabledMatch) {
  std::vector<BYTE> admins = Sid(WinBuiltinAdministratorsSid);
  std::vector<BYTE> users = Sid(WinBuiltinUsersSid);
  std::vector<BYTE> everyone = Sid(WinWorldSid);
  // S-1-1-32-544: the Administrators numbers under another authority.
  SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
  ScopedSid lookAlike;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 2, 32, 544, 0, 0, 0, 0, 0, 0, lookAlike.Receive()));

  using Entry = std::pair<PSID, DWORD>;
  const PSID A = admins.data(), U = users.data(), E = everyone.data(), L = lookAlike.Get();
  struct Case {
    const char* what;
    std::vector<Entry> groups;
    bool enabled;
  } cases[] = {
      {"no groups", {}, false},
      {"enabled as by default (0x7)", {{A, 0x7}}, true},
      {"enabled owner (0xF)", {{A, 0xF}}, true},
      {"enabled bit alone", {{A, SE_GROUP_ENABLED}}, true},
      {"deny-only (0x19)", {{A, 0x19}}, false},
      {"mandatory, enabled by default, but disabled", {{A, 0x3}}, false},
      {"absent", {{E, 0x7}, {U, 0x7}}, false},
      {"last of several", {{E, 0x7}, {U, 0x7}, {L, 0x7}, {A, 0x7}}, true},
      {"deny-only entry, enabled one later", {{A, 0x10}, {U, 0x7}, {A, 0x7}}, true},
      {"look-alike only", {{U, 0x7}, {L, 0xF}}, false},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> buffer(sizeof(TOKEN_GROUPS) + c.groups.size() * sizeof(SID_AND_ATTRIBUTES));
    TOKEN_GROUPS* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
    groups->GroupCount = static_cast<DWORD>(c.groups.size());
    SID_AND_ATTRIBUTES* entries = groups->Groups;
    for (size_t i = 0; i < c.groups.size(); ++i) {
      entries[i].Sid = c.groups[i].first;
      entries[i].Attributes = c.groups[i].second;
    }
    EXPECT_EQ(c.enabled, GroupsHoldEnabled(*groups, A)) << c.what;
  }
}

TEST(TestAdministrator, NoTestOutsideTheNtFamily) {
  test::ScopedSeams seams;
  Seams().OpenProcessToken = RecordingOpenProcessToken;
  const OsVersionCache outside[] = {{true, 4, VER_PLATFORM_WIN32_WINDOWS},
                                    {true, 0, 0},  // GetVersionExW failed
                                    {true, 6, VER_PLATFORM_WIN32_WINDOWS}};
  for (const OsVersionCache& os : outside) {
    ScopedOsVersion cache(os);
    record = TokenRecord();
    BOOL member = TRUE;
    EXPECT_FALSE(TestAdministrator(&member)) << "platform " << os.platformId;
    EXPECT_EQ(FALSE, member) << "platform " << os.platformId;
    EXPECT_EQ(0, record.opens) << "platform " << os.platformId;
  }
  record = TokenRecord();
  EXPECT_FALSE(TestAdministrator(nullptr));
  EXPECT_EQ(0, record.opens);
}

TEST(TestAdministrator, ElevatedTokenIsAMember) {
  test::ScopedSeams seams;
  Seams().OpenProcessToken = RecordingOpenProcessToken;
  record = TokenRecord();
  BOOL member = 2;
  EXPECT_TRUE(TestAdministrator(&member));
  EXPECT_EQ(TRUE, member);
  EXPECT_EQ(1, record.opens);
  EXPECT_EQ(static_cast<DWORD>(TOKEN_QUERY), record.access);
  EXPECT_TRUE(Closed(record.token)) << "the token is given back";
}

// A child whose token holds Administrators for deny only: the test is made
// and says no.
TEST(TestAdministrator, DenyOnlyGroupIsNoMember) {
  std::vector<BYTE> admins = Sid(WinBuiltinAdministratorsSid);
  SID_AND_ATTRIBUTES deny = {admins.data(), 0};
  ScopedKernelHandle primary = RestrictedPrimaryToken(1, &deny, 0, nullptr);
  ASSERT_TRUE(primary.IsValid());
  test::ScratchDir dir(L"admin");
  Report report = RunReport(test::BinPath(L"system_probe.exe"), dir, primary.Get());
  const std::string seen = Show(report);
  EXPECT_EQ("0x19", report["admin"]) << "the child's token must hold the group deny-only; " << seen;
  EXPECT_EQ("1", report["made"]) << seen;
  EXPECT_EQ("0", report["member"]) << seen;
}

// Wine always answers token queries; Windows can refuse them. Each refusal
// must end in "could not test", with the token closed.
TEST(TestAdministrator, RefusedTokenQueriesAnswerFalse) {
  struct Case {
    const char* what;
    bool openFails;
    bool firstQueryOk;
    int failQuery;
    DWORD failError;
    bool shrinkNeeded;
  } cases[] = {
      {"token not opened", true, false, 0, 0, false},
      {"sizing query succeeds", false, true, 0, 0, false},
      {"sizing query denied", false, false, 1, ERROR_ACCESS_DENIED, false},
      {"sizing query fails with another error", false, false, 1, ERROR_INVALID_PARAMETER, false},
      {"group query fails", false, false, 2, ERROR_ACCESS_DENIED, false},
      {"group query finds the buffer too small", false, false, 0, 0, true},
  };
  for (const Case& c : cases) {
    test::ScopedSeams seams;
    Seams().OpenProcessToken = c.openFails ? FailingOpenProcessToken : RecordingOpenProcessToken;
    Seams().GetTokenInformation = ScriptedGetTokenInformation;
    record = TokenRecord();
    record.firstQueryOk = c.firstQueryOk;
    record.failQuery = c.failQuery;
    record.failError = c.failError;
    record.shrinkNeeded = c.shrinkNeeded;
    BOOL member = TRUE;
    EXPECT_FALSE(TestAdministrator(&member)) << c.what;
    EXPECT_EQ(FALSE, member) << c.what;
    EXPECT_EQ(1, record.opens) << c.what;
    if (!c.openFails) {
      EXPECT_TRUE(Closed(record.token)) << c.what << ": token left open";
    }
  }
}

// ---- shutdown privilege ---------------------------------------------------

TEST(EnableShutdownPrivilege, EnablesItInTheProcessToken) {
  test::ScopedSeams seams;
  Seams().OpenProcessToken = RecordingOpenProcessToken;
  SetShutdownPrivilege(0);
  ASSERT_EQ("disabled", ShutdownState());

  record = TokenRecord();
  EXPECT_TRUE(EnableShutdownPrivilege());
  EXPECT_EQ("enabled", ShutdownState());
  EXPECT_EQ(static_cast<DWORD>(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY), record.access);
  EXPECT_TRUE(Closed(record.token)) << "the token is given back";

  // Already enabled.
  EXPECT_TRUE(EnableShutdownPrivilege());
  EXPECT_EQ("enabled", ShutdownState());
}

TEST(EnableShutdownPrivilege, RefusedAdjustmentAnswersFalse) {
  SetShutdownPrivilege(0);
  {
    test::ScopedSeams seams;
    Seams().OpenProcessToken = FailingOpenProcessToken;
    EXPECT_FALSE(EnableShutdownPrivilege()) << "token not opened";
  }
  {
    test::ScopedSeams seams;
    Seams().OpenProcessToken = RecordingOpenProcessToken;
    Seams().AdjustTokenPrivileges = FailingAdjustTokenPrivileges;
    record = TokenRecord();
    EXPECT_FALSE(EnableShutdownPrivilege()) << "adjustment refused";
    EXPECT_TRUE(Closed(record.token)) << "token left open";
  }
  EXPECT_EQ("disabled", ShutdownState());
}

// A token without the privilege: the adjustment succeeds and changes
// nothing, and the answer is still true (the restart will tell).
TEST(EnableShutdownPrivilege, TokenWithoutThePrivilegeStillAnswersTrue) {
  LUID_AND_ATTRIBUTES remove = {ShutdownLuid(), 0};
  ScopedKernelHandle primary = RestrictedPrimaryToken(0, nullptr, 1, &remove);
  ASSERT_TRUE(primary.IsValid());
  test::ScratchDir dir(L"shutdown");
  Report report = RunReport(test::BinPath(L"system_probe.exe"), dir, primary.Get());
  const std::string seen = Show(report);
  EXPECT_EQ("absent", report["privilege"]) << seen;
  EXPECT_EQ("1", report["shutdown"]) << seen;
}

}  // namespace
