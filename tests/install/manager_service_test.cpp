// The four service operations against Wine's real service control manager,
// with the stand-in manager service installed and started as each case needs.

#include "install/manager_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "manager_fixture.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

// HRESULTs in hexadecimal, for readable failure messages.
std::string Hex(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

const HRESULT kNotInstalled = static_cast<HRESULT>(0x80070424);         // 1060
const HRESULT kNotActive = static_cast<HRESULT>(0x80070426);            // 1062
const HRESULT kAlreadyRunning = static_cast<HRESULT>(0x80070420);       // 1056
const HRESULT kCannotAcceptControl = static_cast<HRESULT>(0x80070425);  // 1061

// A caller that looks only after the service has moved on: the status query
// is held back until the real state is g_awaitedState, then answered for real.
DWORD g_awaitedState = 0;
BOOL WINAPI QueryWhenStateReached(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer,
                                  DWORD size, LPDWORD needed) {
  const DWORD start = GetTickCount();
  for (;;) {
    SERVICE_STATUS_PROCESS now;
    if (test::QueryManagerStatus(now) && now.dwCurrentState == g_awaitedState) break;
    if (GetTickCount() - start > 10000) break;
    Sleep(10);
  }
  return QueryServiceStatusEx(service, level, buffer, size, needed);
}

DWORD g_queryError = 0;
BOOL WINAPI QueryFails(SC_HANDLE, SC_STATUS_TYPE, LPBYTE buffer, DWORD size, LPDWORD) {
  memset(buffer, 0xAB, size);  // whatever a failed call leaves behind
  SetLastError(g_queryError);
  return FALSE;
}

TEST(StartResultFromState, MapsEveryState) {
  struct Case {
    DWORD state;
    HRESULT result;
  } cases[] = {
      {SERVICE_STOPPED, kNotActive},
      {SERVICE_START_PENDING, S_FALSE},
      {SERVICE_STOP_PENDING, kNotActive},
      {SERVICE_RUNNING, S_OK},
      {SERVICE_CONTINUE_PENDING, S_FALSE},
      {SERVICE_PAUSE_PENDING, S_FALSE},
      {SERVICE_PAUSED, S_FALSE},
      {0, S_FALSE},
      {99, S_FALSE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Hex(c.result), Hex(StartResultFromState(c.state))) << "state " << c.state;
}

TEST(ManagerService, NotInstalled) {
  ASSERT_EQ(0u, test::RemoveManagerService(0));
  EXPECT_FALSE(ManagerServiceExists());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryManagerState());
  EXPECT_EQ(Hex(kNotInstalled), Hex(StopManager()));
  EXPECT_EQ(Hex(kNotInstalled), Hex(StartManager()));
}

TEST(ManagerService, ReadsTheStateOfAnInstalledService) {
  struct Case {
    const char* what;
    DWORD startPendingMs;
    DWORD wanted;
  } cases[] = {
      {"running", 0, SERVICE_RUNNING},
      {"installed, never started", 0, SERVICE_STOPPED},
      {"starting for good", test::kForever, SERVICE_START_PENDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ManagerBehaviour behaviour;
    behaviour.startPendingMs = c.startPendingMs;
    test::ManagerFixture manager(behaviour, c.wanted);
    ASSERT_TRUE(manager.Ready()) << manager.Error();
    EXPECT_TRUE(ManagerServiceExists());
    EXPECT_EQ(c.wanted, QueryManagerState());
  }
}

TEST(ManagerService, StopRequestIsAcceptedAndAStoppedServiceRefusesIt) {
  test::ScratchDir dir(L"mgr");
  const std::wstring plugin = dir.File(L"TagmindEngineMMLib.dll");
  const std::wstring update = dir.File(L"update.dll");
  test::WriteFileBytes(plugin, "old");
  test::WriteFileBytes(update, "new");
  test::ManagerBehaviour behaviour;
  behaviour.logFile = dir.File(L"manager.log");
  behaviour.heldFile = plugin;
  behaviour.holdSharesRead = true;  // as a loaded library: readable, not writable
  test::ManagerFixture manager(behaviour);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  SetLastError(0xdeadbeef);
  ASSERT_FALSE(CopyFileW(update.c_str(), plugin.c_str(), FALSE));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("old", test::ReadFileBytes(plugin));

  EXPECT_EQ(Hex(S_OK), Hex(StopManager()));
  // This stand-in stops before the request returns, and lets go of the file.
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryManagerState());
  EXPECT_TRUE(CopyFileW(update.c_str(), plugin.c_str(), FALSE)) << "error " << GetLastError();
  EXPECT_EQ("new", test::ReadFileBytes(plugin));
  EXPECT_EQ("started\r\nrunning\r\nstop requested\r\nstopped\r\n", manager.Log());
  EXPECT_EQ(Hex(kNotActive), Hex(StopManager()));
}

TEST(ManagerService, ImmediateStopIsAnsweredEveryTime) {
  // A service that reports stopped from inside its control handler may end
  // before the answer to that very request is back; the stand-in must not, or
  // the updater's stop would now and then fail with 0x8007006D (broken pipe)
  // although the service stopped. Repeated, because it is a race.
  test::ManagerFixture manager{test::ManagerBehaviour()};
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  for (int round = 0; round < 20; ++round) {
    if (round) {
      ASSERT_EQ(0u, test::StartManagerService(SERVICE_RUNNING, 10000)) << "round " << round;
    }
    ASSERT_EQ(Hex(S_OK), Hex(StopManager())) << "round " << round;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryManagerState()) << "round " << round;
  }
}

TEST(ManagerService, StopTakesAsLongAsTheServiceSays) {
  // Stopped after the second of the updater's 2000-ms waits, in real time.
  test::ManagerBehaviour behaviour;
  behaviour.stopDelayMs = test::StopDelayForPolls(2);
  test::ManagerFixture manager(behaviour);
  ASSERT_TRUE(manager.Ready()) << manager.Error();

  ASSERT_EQ(Hex(S_OK), Hex(StopManager()));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), QueryManagerState());
  EXPECT_EQ(Hex(kCannotAcceptControl), Hex(StopManager())) << "a second request while stopping";
  Sleep(2000);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), QueryManagerState());
  Sleep(2000);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryManagerState());
}

TEST(ManagerService, StartReportsTheStateSeenRightAfterTheRequest) {
  struct Case {
    const char* what;
    test::ManagerBehaviour behaviour;
    DWORD lookWhen;  // 0: at once; else the query waits for this state
    HRESULT result;
    DWORD stateAfter;
  };
  test::ManagerBehaviour running, pending, failing, failingSlowly;
  pending.startPendingMs = test::kForever;
  failing.failStartCode = 1064;
  failingSlowly.failStartCode = 1064;
  failingSlowly.failStopPendingMs = 3000;
  const Case cases[] = {
      {"runs at once", running, 0, S_OK, SERVICE_RUNNING},
      {"stays start pending", pending, 0, S_FALSE, SERVICE_START_PENDING},
      {"fails: stopped", failing, SERVICE_STOPPED, kNotActive, SERVICE_STOPPED},
      {"fails: stop pending", failingSlowly, SERVICE_STOP_PENDING, kNotActive,
       SERVICE_STOP_PENDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ManagerFixture manager(c.behaviour, SERVICE_STOPPED);
    ASSERT_TRUE(manager.Ready()) << manager.Error();
    test::ScopedSeams seams;
    if (c.lookWhen) {
      // Wine answers a start at the service's first report, which here is
      // start pending; the failure follows within microseconds, so only a
      // caller slower than that sees it (as a loaded Windows machine may).
      g_awaitedState = c.lookWhen;
      Seams().QueryServiceStatusEx = QueryWhenStateReached;
    }
    EXPECT_EQ(Hex(c.result), Hex(StartManager()));
    SERVICE_STATUS_PROCESS status;
    ASSERT_TRUE(test::QueryManagerStatus(status));
    EXPECT_EQ(c.stateAfter, status.dwCurrentState);
  }
}

TEST(ManagerService, StartOfARunningServiceFails) {
  test::ManagerFixture manager(test::ManagerBehaviour{});
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  EXPECT_EQ(Hex(kAlreadyRunning), Hex(StartManager()));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryManagerState());
}

TEST(ManagerService, StatusThatCannotBeReadCountsAsStoppedOrAsTheQuerysError) {
  // Wine's status query does not fail for an open service handle.
  struct Case {
    DWORD error;
    HRESULT startResult;
  } cases[] = {
      {ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005)},
      {0, S_FALSE},  // no code: the zero-filled state, which says nothing yet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "query error " << c.error);
    test::ManagerFixture manager(test::ManagerBehaviour{}, SERVICE_STOPPED);
    ASSERT_TRUE(manager.Ready()) << manager.Error();
    test::ScopedSeams seams;
    Seams().QueryServiceStatusEx = QueryFails;
    g_queryError = c.error;
    EXPECT_EQ(Hex(c.startResult), Hex(StartManager()));
    ASSERT_TRUE(manager.WaitForState(SERVICE_RUNNING, 10000)) << "the start itself went ahead";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryManagerState()) << "a running service";
    EXPECT_TRUE(ManagerServiceExists());
  }
}

}  // namespace
