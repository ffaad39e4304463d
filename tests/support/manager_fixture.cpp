#include "manager_fixture.h"

#include <string>

namespace test {

const wchar_t kManagerServiceName[] = L"TagmindMgr";
const wchar_t kManagerFixtureExe[] = L"tagmind_mgr_fixture.exe";

namespace {

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~ServiceHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

// Its own, as the file reader below: the fixture service is built from this
// file without the rest of the test support.
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string Describe(const char* what, DWORD error) {
  return std::string(what) + " failed with error " + std::to_string(error);
}

std::wstring Decimal(DWORD value) { return std::to_wstring(value); }

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');  // before the closing quote
  out += L'"';
  return out;
}

std::wstring ManagerBehaviour::Arguments() const {
  std::wstring out;
  auto add = [&out](const std::wstring& option) { out += L" " + QuoteArgument(option); };
  if (!logFile.empty()) add(L"--log=" + logFile);
  if (!heldFile.empty()) add(L"--hold=" + heldFile);
  if (holdSharesRead) add(L"--hold-share-read");
  if (mutexAll) add(L"--mutex-all");
  if (mutexUser) add(L"--mutex-user");
  if (ownEvents) add(L"--events");
  if (shutdownOnEvent) add(L"--shutdown-on-event");
  if (releaseDelayMs) add(L"--release-delay-ms=" + Decimal(releaseDelayMs));
  if (stopDelayMs == kForever) {
    add(L"--stop-never");
  } else if (stopDelayMs) {
    add(L"--stop-delay-ms=" + Decimal(stopDelayMs));
  }
  if (startPendingMs == kForever) {
    add(L"--start-pending-forever");
  } else if (startPendingMs) {
    add(L"--start-pending-ms=" + Decimal(startPendingMs));
  }
  if (failStartCode) add(L"--fail-start=" + Decimal(failStartCode));
  if (failStopPendingMs) add(L"--fail-stop-pending-ms=" + Decimal(failStopPendingMs));
  return out;
}

std::wstring ManagerFixturePath() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + kManagerFixtureExe;
}

DWORD InstallManagerService(const std::wstring& binaryPathAndArguments) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return GetLastError();
  // Wine keeps a deleted service for about two seconds after its last handle
  // closed; a left-over from a test that died is removed first.
  DWORD error = 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    ServiceHandle service(CreateServiceW(
        manager.Get(), kManagerServiceName, kManagerServiceName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
        binaryPathAndArguments.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) return 0;
    error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      const DWORD removed = RemoveManagerService(1000);
      if (removed) return removed;
    } else if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
      return error;
    }
    Sleep(50);
  }
  return error;
}

bool QueryManagerStatus(SERVICE_STATUS_PROCESS& status) {
  ZeroMemory(&status, sizeof status);
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  ServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName, SERVICE_QUERY_STATUS));
  if (!service) return false;
  DWORD needed = 0;
  return QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed) != FALSE;
}

bool WaitForManagerState(DWORD state, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    SERVICE_STATUS_PROCESS status;
    if (QueryManagerStatus(status) && status.dwCurrentState == state) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

DWORD StartManagerService(DWORD wanted, DWORD timeoutMs) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return GetLastError();
  ServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName, SERVICE_START));
  if (!service) return GetLastError();
  if (!StartServiceW(service.Get(), 0, nullptr)) return GetLastError();
  return WaitForManagerState(wanted, timeoutMs) ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD RemoveManagerService(DWORD graceMs) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return GetLastError();
  {
    ServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName,
                                       SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
      const DWORD error = GetLastError();
      return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
    }
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<LPBYTE>(&status), sizeof status, &needed) &&
        status.dwCurrentState != SERVICE_STOPPED) {
      const DWORD pid = status.dwProcessId;
      SERVICE_STATUS ignored;
      // A service that refuses the request (still starting) gets no grace;
      // one that is stopping already may finish in time.
      const bool asked = ControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored) ||
                         status.dwCurrentState == SERVICE_STOP_PENDING;
      if (!WaitForManagerState(SERVICE_STOPPED, asked ? graceMs : 0) && pid) {
        // It will not stop (a stop that never ends, a start that never
        // ends): end its process, as a crash would.
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process) {
          TerminateProcess(process, ERROR_PROCESS_ABORTED);
          WaitForSingleObject(process, 10000);
          CloseHandle(process);
        }
      }
    }
    if (!DeleteService(service.Get())) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return error;
    }
  }
  // The name is free once the last handle is closed and Wine has let go.
  for (int attempt = 0; attempt < 300; ++attempt) {
    ServiceHandle service(OpenServiceW(manager.Get(), kManagerServiceName, SERVICE_QUERY_STATUS));
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    Sleep(50);
  }
  return ERROR_SERVICE_MARKED_FOR_DELETE;
}

ManagerFixture::ManagerFixture(const ManagerBehaviour& behaviour, DWORD wanted, DWORD timeoutMs)
    : behaviour_(behaviour) {
  const std::wstring command =
      QuoteArgument(ManagerFixturePath()) + L" --service" + behaviour.Arguments();
  if (DWORD error = InstallManagerService(command)) {
    error_ = Describe("installing the service", error);
    return;
  }
  if (wanted == SERVICE_STOPPED) return;
  if (DWORD error = StartManagerService(wanted, timeoutMs)) {
    SERVICE_STATUS_PROCESS status;
    const bool read = QueryManagerStatus(status);
    error_ = Describe("starting the service", error) + "; state " +
             (read ? std::to_string(status.dwCurrentState) : std::string("unknown")) +
             ", exit code " + (read ? std::to_string(status.dwWin32ExitCode) : std::string("-")) +
             "; command line " + Narrow(command) + "; log: " + Log();
  }
}

ManagerFixture::~ManagerFixture() { RemoveManagerService(3000); }

DWORD ManagerFixture::State() const {
  SERVICE_STATUS_PROCESS status;
  return QueryManagerStatus(status) ? status.dwCurrentState : 0;
}

std::string ManagerFixture::Log() const {
  std::string out;
  if (behaviour_.logFile.empty()) return out;
  HANDLE h = CreateFileW(behaviour_.logFile.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) out.append(buffer, got);
  CloseHandle(h);
  return out;
}

bool ManagerFixture::WaitForLogLine(const std::string& line, DWORD timeoutMs) const {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::string log = "\n" + Log();
    if (log.find("\n" + line + "\r\n") != std::string::npos) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

}  // namespace test
