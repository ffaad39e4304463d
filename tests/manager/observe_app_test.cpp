// CObserveApp against real named objects: the events it creates are checked
// from a second process (this executable in its --probe-events mode), the
// mutex probes against the stand-in manager service.

#include "manager/observe_app.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "manager_fixture.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

struct EventCase {
  const wchar_t* name;
  HANDLE (CObserveApp::*accessor)() const;
  const wchar_t* otherNamespace;  // the same name in the namespace it must not be in
};

const EventCase kEvents[] = {
    {L"Global\\NorlekTagmindMgrRunning-Exist-All", &CObserveApp::ExistAllEvent,
     L"NorlekTagmindMgrRunning-Exist-All"},
    {L"NorlekTagmindMgrRunning-Activate-User", &CObserveApp::ActivateUserEvent,
     L"Global\\NorlekTagmindMgrRunning-Activate-User"},
    {L"NorlekTagmindMgrRunning-Modify-User", &CObserveApp::ModifyUserEvent,
     L"Global\\NorlekTagmindMgrRunning-Modify-User"},
    {L"Global\\NorlekTagmindMgrRunning-Modify-All", &CObserveApp::ModifyAllEvent,
     L"NorlekTagmindMgrRunning-Modify-All"},
    {L"NorlekTagmindMgrRunning-Shutdown-User", &CObserveApp::ShutdownUserEvent,
     L"Global\\NorlekTagmindMgrRunning-Shutdown-User"},
    {L"Global\\NorlekTagmindMgrRunning-Shutdown-All", &CObserveApp::ShutdownAllEvent,
     L"NorlekTagmindMgrRunning-Shutdown-All"},
};
const wchar_t kShutdownAll[] = L"Global\\NorlekTagmindMgrRunning-Shutdown-All";
const wchar_t kExistAll[] = L"Global\\NorlekTagmindMgrRunning-Exist-All";

using test::Narrow;

// Bit i: event i of kEvents opens; bit 8 + i: its name in the other namespace.
DWORD ProbeNamesHere() {
  DWORD found = 0;
  for (int i = 0; i < 6; ++i) {
    const wchar_t* names[2] = {kEvents[i].name, kEvents[i].otherNamespace};
    for (int j = 0; j < 2; ++j) {
      HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, names[j]);
      if (h) {
        found |= 1u << (i + 8 * j);
        CloseHandle(h);
      }
    }
  }
  return found;
}

DWORD ProbeNamesFromAnotherProcess() {
  return test::RunProcess(test::QuoteArgument(test::BinPath(L"observe_app_test.exe")) +
                          L" --probe-events");
}

// An event named `name` that this test holds, with the given SDDL security.
HANDLE CreateHeldEvent(const wchar_t* name, const wchar_t* sddl, BOOL manualReset, BOOL signalled) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      sddl, SDDL_REVISION_1, &sa.lpSecurityDescriptor, nullptr));
  SetLastError(0xdeadbeef);
  HANDLE h = CreateEventW(&sa, manualReset, signalled, name);
  EXPECT_TRUE(h != nullptr && GetLastError() == 0)
      << Narrow(name) << ": handle " << h << ", error " << GetLastError();
  LocalFree(sa.lpSecurityDescriptor);
  return h;
}

// The DACL of a kernel object as SDDL text ("" when it has none).
std::wstring DaclText(HANDLE h) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &sd) != ERROR_SUCCESS)
    return L"(unreadable)";
  std::wstring text;
  LPWSTR sddl = nullptr;
  if (dacl && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                  sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    text = sddl;
    LocalFree(sddl);
  }
  LocalFree(sd);
  return text;
}

struct Ace {
  int type;
  DWORD mask;
  bool everyone;
};

// The entries of a kernel object's DACL; false when it has none.
bool ReadDacl(HANDLE h, std::string* error, Ace* aces, DWORD* count) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD rc = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                             &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    *error = "GetSecurityInfo error " + std::to_string(rc);
    return false;
  }
  bool ok = dacl != nullptr;
  *count = 0;
  if (ok) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    for (DWORD i = 0; i < dacl->AceCount && i < 8; ++i) {
      ACE_HEADER* header = nullptr;
      GetAce(dacl, i, reinterpret_cast<void**>(&header));
      // Allowed and denied entries share one layout.
      ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      aces[i] = {header->AceType, ace->Mask, EqualSid(&ace->SidStart, everyone) != FALSE};
      ++*count;
    }
    FreeSid(everyone);
  } else {
    *error = "no DACL";
  }
  LocalFree(sd);
  return ok;
}

int g_allowedAceCalls = 0;
BOOL WINAPI RefuseAllowedAce(PACL, DWORD, DWORD, PSID) {
  ++g_allowedAceCalls;
  SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
  return FALSE;
}

TEST(CObserveApp, SixEventsExistForOtherProcessesOnlyWhileItLives) {
  ASSERT_EQ(0u, ProbeNamesFromAnotherProcess()) << "left-over objects before the test";
  {
    CObserveApp app;
    for (const EventCase& e : kEvents) EXPECT_NE(nullptr, (app.*e.accessor)()) << Narrow(e.name);
    // Exactly these names, each in its own namespace and nowhere else.
    EXPECT_EQ(0x3Fu, ProbeNamesFromAnotherProcess());
  }
  EXPECT_EQ(0u, ProbeNamesFromAnotherProcess()) << "events outlived the object";
}

TEST(CObserveApp, NewEventsAreManualResetAndNotSignalled) {
  CObserveApp app;
  for (const EventCase& e : kEvents) {
    SCOPED_TRACE(Narrow(e.name));
    HANDLE named = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, e.name);
    ASSERT_NE(nullptr, named) << "error " << GetLastError();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(named, 0)) << "signalled when new";
    // The member holds that very object; a manual-reset event stays set
    // through any number of waits.
    ASSERT_TRUE(SetEvent((app.*e.accessor)()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(named, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(named, 0)) << "auto-reset event";
    CloseHandle(named);
  }
}

TEST(CObserveApp, CreatedEventsLetEveryoneUseButNotResecureThem) {
  CObserveApp app;
  for (const EventCase& e : kEvents) {
    SCOPED_TRACE(Narrow(e.name));
    Ace aces[8];
    DWORD count = 0;
    std::string error;
    ASSERT_TRUE(ReadDacl((app.*e.accessor)(), &error, aces, &count)) << error;
    ASSERT_EQ(2u, count) << Narrow(DaclText((app.*e.accessor)()));
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, aces[0].type) << "the deny entry must come first";
    EXPECT_EQ(static_cast<DWORD>(WRITE_DAC | WRITE_OWNER), aces[0].mask);
    EXPECT_TRUE(aces[0].everyone);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, aces[1].type);
    // Windows stores the generic right mapped to the event's rights.
    EXPECT_TRUE(aces[1].mask == GENERIC_ALL || aces[1].mask == EVENT_ALL_ACCESS)
        << std::hex << aces[1].mask;
    EXPECT_TRUE(aces[1].everyone);
  }
}

TEST(CObserveApp, OpensEventsThatExistAlreadyWithoutChangingThem) {
  // A manager that runs first: Shutdown-All already signalled with its own
  // security, Exist-All an auto-reset event, also signalled.
  HANDLE shutdownAll = CreateHeldEvent(kShutdownAll, L"D:(A;;GA;;;WD)", TRUE, TRUE);
  HANDLE existAll = CreateHeldEvent(kExistAll, L"D:(A;;GA;;;WD)", FALSE, TRUE);
  ASSERT_TRUE(shutdownAll && existAll);
  const std::wstring before = DaclText(shutdownAll);
  {
    CObserveApp app;
    ASSERT_NE(nullptr, app.ShutdownAllEvent());
    ASSERT_NE(nullptr, app.ExistAllEvent());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(app.ShutdownAllEvent(), 0)) << "state reset";
    EXPECT_EQ(before, DaclText(shutdownAll)) << "security replaced";
    // Still auto-reset: one wait takes the signal.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(app.ExistAllEvent(), 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(existAll, 0)) << "re-created as manual-reset";
  }
  // Teardown does not reset what it leaves behind.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shutdownAll, 0));
  CloseHandle(existAll);
  CloseHandle(shutdownAll);
}

TEST(CObserveApp, SignalsAnEventWhoseOwnerRefusesItFullAccess) {
  // Everyone may only wait on and set it: CreateEventW must fail here, or
  // the test would not reach the narrower open.
  HANDLE owned = CreateHeldEvent(kShutdownAll, L"D:(A;;0x00100002;;;WD)", TRUE, FALSE);
  ASSERT_NE(nullptr, owned);
  SetLastError(0xdeadbeef);
  HANDLE full = CreateEventW(nullptr, TRUE, FALSE, kShutdownAll);
  ASSERT_EQ(nullptr, full) << "this platform grants full access anyway";
  ASSERT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  CObserveApp app;
  ASSERT_NE(nullptr, app.ShutdownAllEvent());
  EXPECT_TRUE(SetEvent(app.ShutdownAllEvent())) << "error " << GetLastError();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(owned, 0));
  EXPECT_NE(nullptr, app.ExistAllEvent()) << "the other events are unaffected";
  CloseHandle(owned);
}

TEST(CObserveApp, IncompleteDescriptorStillGivesEventsWithDefaultSecurity) {
  // An ACL that cannot take its second entry (too small, on Windows): the
  // half-built descriptor, which would hold only the deny entry, must not be
  // used, and the events still come into being.
  test::ScopedSeams seams;
  Seams().AddAccessAllowedAce = RefuseAllowedAce;
  g_allowedAceCalls = 0;
  CObserveApp app;
  EXPECT_EQ(6, g_allowedAceCalls) << "the descriptor is built afresh for every event";
  EXPECT_EQ(0x3Fu, ProbeNamesFromAnotherProcess());
  for (const EventCase& e : kEvents) {
    SCOPED_TRACE(Narrow(e.name));
    ASSERT_NE(nullptr, (app.*e.accessor)());
    Ace aces[8];
    DWORD count = 0;
    std::string error;
    if (ReadDacl((app.*e.accessor)(), &error, aces, &count)) {
      for (DWORD i = 0; i < count; ++i) EXPECT_NE(ACCESS_DENIED_ACE_TYPE, aces[i].type);
    }
  }
}

TEST(CObserveAppWithoutManager, ProbesAnswerFalse) {
  CObserveApp app;
  EXPECT_FALSE(app.MutexAllExists());
  EXPECT_FALSE(app.MutexUserExists());
  // An object of another type under the mutex's name is no mutex.
  HANDLE lookalike =
      CreateEventW(nullptr, TRUE, FALSE, L"Global\\NorlekTagmindMgrRunning-MutexAll");
  ASSERT_NE(nullptr, lookalike);
  EXPECT_FALSE(app.MutexAllExists());
  CloseHandle(lookalike);
}

TEST(CObserveAppWithManager, ProbesSeeTheMutexesTheManagerHolds) {
  struct Case {
    bool mutexAll, mutexUser;
  } cases[] = {{true, false}, {false, true}, {false, false}, {true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "manager holds all=" << c.mutexAll << " user=" << c.mutexUser);
    test::ScratchDir dir(L"mgr");
    test::ManagerBehaviour behaviour;
    behaviour.logFile = dir.File(L"manager.log");
    behaviour.mutexAll = c.mutexAll;
    behaviour.mutexUser = c.mutexUser;
    {
      test::ManagerFixture manager(behaviour);
      ASSERT_TRUE(manager.Ready()) << manager.Error();
      CObserveApp app;
      EXPECT_EQ(c.mutexAll, app.MutexAllExists());
      EXPECT_EQ(c.mutexUser, app.MutexUserExists());
    }
    CObserveApp after;
    EXPECT_FALSE(after.MutexAllExists()) << "the manager's mutex outlived it";
    EXPECT_FALSE(after.MutexUserExists()) << "the manager's mutex outlived it";
  }
}

TEST(CObserveAppWithManager, OpensTheEventsOfAManagerThatRunsFirst) {
  test::ManagerBehaviour behaviour;
  behaviour.ownEvents = true;
  test::ManagerFixture manager(behaviour);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  ASSERT_EQ(0x3Fu, ProbeNamesHere()) << "the manager's events";
  CObserveApp app;
  for (const EventCase& e : kEvents) {
    SCOPED_TRACE(Narrow(e.name));
    // Whether CreateEventW or the narrower open gave it (the manager's DACL
    // denies the rights to re-secure), the event is the manager's, untouched.
    ASSERT_NE(nullptr, (app.*e.accessor)());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject((app.*e.accessor)(), 0));
  }
}

// The escalation's order (probe, SetEvent, probe again at once) against
// managers that watch the event, let go only later, or ignore it.
TEST(CObserveAppWithManager, ShutdownAllEventEndsAManagerThatWatchesIt) {
  struct Case {
    const char* what;
    bool watches;
    DWORD releaseDelayMs;
  } cases[] = {
      {"watches the event", true, 0},
      {"lets go 1.5 s after the event", true, 1500},
      {"ignores the event", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScratchDir dir(L"mgr");
    test::ManagerBehaviour behaviour;
    behaviour.logFile = dir.File(L"manager.log");
    behaviour.mutexUser = true;
    behaviour.shutdownOnEvent = c.watches;
    behaviour.releaseDelayMs = c.releaseDelayMs;
    test::ManagerFixture manager(behaviour);
    ASSERT_TRUE(manager.Ready()) << manager.Error();

    CObserveApp app;
    ASSERT_FALSE(app.MutexAllExists());
    ASSERT_TRUE(app.MutexUserExists());
    ASSERT_NE(nullptr, app.ShutdownAllEvent());
    ASSERT_TRUE(SetEvent(app.ShutdownAllEvent()));
    const bool stillThere = app.MutexAllExists() || app.MutexUserExists();
    if (c.releaseDelayMs || !c.watches) {
      EXPECT_TRUE(stillThere) << "re-probed at once";
    }

    if (c.watches) {
      EXPECT_TRUE(manager.WaitForState(SERVICE_STOPPED, 10000)) << "state " << manager.State();
      EXPECT_FALSE(app.MutexUserExists());
      EXPECT_EQ("started\r\nrunning\r\nshutdown event seen\r\nstopped\r\n", manager.Log());
    } else {
      Sleep(2500);
      EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), manager.State());
      EXPECT_TRUE(app.MutexUserExists());
      EXPECT_EQ(std::string::npos, manager.Log().find("shutdown event seen"));
    }
  }
}

TEST(ProcessValues, TheObserveAppNotifyMessageIsRegistered) {
  EXPECT_GE(process::ObserveAppNotifyMessage, 0xC000u);
  EXPECT_EQ(RegisterWindowMessageW(L"CObserveAppNotify"), process::ObserveAppNotifyMessage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--probe-events")
    return static_cast<int>(ProbeNamesHere());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
