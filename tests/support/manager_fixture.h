#pragma once
// Installs, starts and removes the stand-in for the product's resident
// manager: the real Windows service "TagmindMgr", run by
// tagmind_mgr_fixture.exe (tests/fixtures/manager_service, where its command
// line is described). This file does not depend on GoogleTest, so that the
// fixture executable's --install/--start/--remove modes share it.
//
// Use: declare the ScratchDir that holds the log and the held file BEFORE the
// ManagerFixture, so that the service has let go of them when the folder goes.
//
//   test::ScratchDir dir(L"mgr");
//   test::ManagerBehaviour b;
//   b.logFile = dir.File(L"mgr.log");
//   b.mutexAll = true;
//   test::ManagerFixture manager(b);            // installed and running
//   ASSERT_TRUE(manager.Ready()) << manager.Error();
//   ...                                          // stopped and deleted at scope end

#include <windows.h>

#include <string>

namespace test {

// Service name and the fixture executable's file name.
extern const wchar_t kManagerServiceName[];
extern const wchar_t kManagerFixtureExe[];

// A delay that never ends.
const DWORD kForever = INFINITE;

// The updater reads the state right after its stop request and then after
// each wait of 2000 ms. A stop delay of (polls × 2000 − 1000) ms puts the
// stopped state half-way between reads: read number `polls` (0 = the one right
// after the request) is the first to see it.
inline DWORD StopDelayForPolls(unsigned polls) { return polls == 0 ? 0 : polls * 2000 - 1000; }

// What the stand-in does; every field maps to one command-line option.
struct ManagerBehaviour {
  std::wstring logFile;          // --log=: one line per event (see the fixture's source)
  std::wstring heldFile;         // --hold=: held open without sharing while it runs
  bool holdSharesRead = false;   // --hold-share-read: ... but readable by others
  bool mutexAll = false;         // --mutex-all: holds Global\NorlekTagmindMgrRunning-MutexAll
  bool mutexUser = false;        // --mutex-user: holds NorlekTagmindMgrRunning-MutexUser
  bool ownEvents = false;        // --events: creates and holds the six events first
  bool shutdownOnEvent = false;  // --shutdown-on-event: Global\...-Shutdown-All ends it
  DWORD releaseDelayMs = 0;      // --release-delay-ms=: from seeing that event to letting go
  DWORD stopDelayMs = 0;        // --stop-delay-ms=: stop pending this long (kForever: --stop-never)
  DWORD startPendingMs = 0;     // --start-pending-ms=: start pending this long (kForever)
  DWORD failStartCode = 0;      // --fail-start=: reports stopped with this exit code at start
  DWORD failStopPendingMs = 0;  // --fail-stop-pending-ms=: ... after this long in stop pending

  // The options, quoted for a command line, each preceded by a space.
  std::wstring Arguments() const;
};

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring QuoteArgument(const std::wstring& argument);

// The fixture executable in the folder of the running program.
std::wstring ManagerFixturePath();

// Creates the service (demand start, own process, LocalSystem) with this
// binary path and arguments; waits out a deleted predecessor that Wine still
// keeps. 0 or the Win32 error of CreateServiceW.
DWORD InstallManagerService(const std::wstring& binaryPathAndArguments);

// StartServiceW without arguments, then waits up to timeoutMs for `wanted`.
// 0, the Win32 error of the start, or ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD StartManagerService(DWORD wanted, DWORD timeoutMs);

// The service's status; false when it cannot be read (not installed...).
bool QueryManagerStatus(SERVICE_STATUS_PROCESS& status);

// Polls every 20 ms until the service reports `state`; false on time-out.
bool WaitForManagerState(DWORD state, DWORD timeoutMs);

// Asks the service to stop, gives it graceMs, then terminates its process;
// deletes it and waits until its name is free again. 0 when it is gone (also
// when it was never there), else the Win32 error that stood in the way.
DWORD RemoveManagerService(DWORD graceMs);

class ManagerFixture {
 public:
  // Installs the stand-in with `behaviour`. wanted: SERVICE_RUNNING or
  // SERVICE_START_PENDING start it and wait for that state; SERVICE_STOPPED
  // only installs it.
  explicit ManagerFixture(const ManagerBehaviour& behaviour, DWORD wanted = SERVICE_RUNNING,
                          DWORD timeoutMs = 20000);
  // Stops it (terminating it if it will not stop) and deletes it.
  ~ManagerFixture();
  ManagerFixture(const ManagerFixture&) = delete;
  ManagerFixture& operator=(const ManagerFixture&) = delete;

  bool Ready() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  DWORD State() const;  // dwCurrentState, or 0 when it cannot be read
  bool WaitForState(DWORD state, DWORD timeoutMs) const {
    return WaitForManagerState(state, timeoutMs);
  }
  std::string Log() const;  // the log file as it is now
  // Waits until the log holds `line` (a whole line); false on time-out.
  bool WaitForLogLine(const std::string& line, DWORD timeoutMs) const;

 private:
  ManagerBehaviour behaviour_;
  std::string error_;
};

}  // namespace test
