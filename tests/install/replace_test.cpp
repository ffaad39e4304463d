// Putting a prepared file over the installed plug-in, with the service cycle
// on the real resident-manager stand-in and real sharing violations.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "install/replace.h"
#include "manager_fixture.h"
#include "product_install.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

using test::ManagerBehaviour;
using test::ManagerFixture;

bool LogHas(const ManagerFixture& m, const std::string& line) {
  return m.Log().find(line + "\r\n") != std::string::npos;
}
size_t LogCount(const ManagerFixture& m, const std::string& line) {
  const std::string log = m.Log();
  size_t n = 0;
  for (size_t at = log.find(line + "\r\n"); at != std::string::npos;
       at = log.find(line + "\r\n", at + 1))
    if (at == 0 || log[at - 1] == '\n') ++n;
  return n;
}

// A source, a target with other content, and a folder for the manager's log.
class ReplaceTest : public ::testing::Test {
 protected:
  ReplaceTest() : dir_(L"replace") {
    source_ = dir_.File(L"new.dll");
    target_ = dir_.File(L"TagmindEngineMMLib.dll");
    test::WriteFileBytes(source_, std::string(70000, 'N'));
    test::WriteFileBytes(target_, std::string(50000, 'O'));
  }
  ManagerBehaviour Behaviour() const {
    ManagerBehaviour b;
    b.logFile = dir_.File(L"mgr.log");
    return b;
  }
  bool TargetReplaced() const { return test::ReadFileBytes(target_) == std::string(70000, 'N'); }
  bool TargetUntouched() const { return test::ReadFileBytes(target_) == std::string(50000, 'O'); }
  void CompanionInUse() { companion_.reset(new test::CompanionInUse(dir_)); }
  DWORD Replace(HRESULT* hr, bool* flag) {
    const DWORD start = GetTickCount();
    bool restart = true;  // cleared on entry
    *hr = ReplaceTargetFile(source_, target_, restart);
    *flag = restart;
    return GetTickCount() - start;
  }

  test::ScratchDir dir_;
  std::wstring source_, target_;
  std::unique_ptr<test::CompanionInUse> companion_;
};

TEST_F(ReplaceTest, NotInUseIsOneCopyWithoutTheService) {
  ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(S_OK, hr);
  EXPECT_FALSE(flag);
  EXPECT_TRUE(TargetReplaced());
  EXPECT_FALSE(LogHas(manager, "stop requested")) << manager.Log();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), manager.State());
}

// The tests run as root, and Wine lets root write through the read-only
// attribute; Windows refuses such a copy with access denied. That answer is
// injected, for the first copy only.
BOOL WINAPI CopyRefusedWithAccessDenied(LPCWSTR, LPCWSTR, BOOL) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(ReplaceTest, OtherErrorsEndAtOnce) {
  ManagerBehaviour b = Behaviour();
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::ScopedSeams seams;
  Seams().CopyFileW = CopyRefusedWithAccessDenied;
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), hr);
  EXPECT_FALSE(flag);
  EXPECT_TRUE(TargetUntouched());
  EXPECT_FALSE(LogHas(manager, "stop requested")) << manager.Log();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), manager.State());
}

TEST_F(ReplaceTest, InUseWithoutServiceKeepsTheSharingViolation) {
  test::HeldFile holder(target_, FILE_SHARE_READ);
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070020), hr);
  EXPECT_FALSE(flag);
  EXPECT_TRUE(TargetUntouched());
}

// Wine never refuses CopyFileW with a lock violation (LockFileEx does not stop
// another process's I/O there), so the first copy's answer is injected.
BOOL WINAPI CopyRefusedWithLockViolation(LPCWSTR, LPCWSTR, BOOL) {
  SetLastError(ERROR_LOCK_VIOLATION);
  return FALSE;
}

TEST_F(ReplaceTest, LockViolationWithStoppedServiceKeepsTheError) {
  ManagerFixture manager(Behaviour(), SERVICE_STOPPED);  // installed, not started
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::ScopedSeams seams;
  Seams().CopyFileW = CopyRefusedWithLockViolation;
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070021), hr);
  EXPECT_FALSE(flag);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), manager.State());
  EXPECT_FALSE(LogHas(manager, "stop requested")) << manager.Log();
}

TEST_F(ReplaceTest, ServiceThatStopsAtOnceIsRestartedAfterTheCopy) {
  ManagerBehaviour b = Behaviour();
  b.heldFile = target_;
  b.holdSharesRead = true;  // as a loaded library: readable, not writable
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  HRESULT hr;
  bool flag;
  const DWORD elapsed = Replace(&hr, &flag);
  EXPECT_EQ(S_OK, hr);
  EXPECT_FALSE(flag) << "the companion was not in use";
  EXPECT_TRUE(TargetReplaced());
  EXPECT_LT(elapsed, 1500u) << "no wait when the first look sees it stopped";
  EXPECT_TRUE(manager.WaitForState(SERVICE_RUNNING, 10000));
  EXPECT_EQ(2u, LogCount(manager, "started")) << manager.Log();
}

TEST_F(ReplaceTest, ServiceThatStopsAfterTheNinthWaitNeedsNoEscalation) {
  ManagerBehaviour b = Behaviour();
  b.heldFile = target_;
  b.holdSharesRead = true;  // as a loaded library: readable, not writable
  b.mutexAll = true;
  b.shutdownOnEvent = true;  // would end at once if the event were set
  b.stopDelayMs = test::StopDelayForPolls(9);
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  HRESULT hr;
  bool flag;
  const DWORD elapsed = Replace(&hr, &flag);
  EXPECT_EQ(S_OK, hr);
  EXPECT_TRUE(TargetReplaced());
  EXPECT_GE(elapsed, 17000u);
  EXPECT_FALSE(LogHas(manager, "shutdown event seen")) << manager.Log();
  EXPECT_TRUE(manager.WaitForState(SERVICE_RUNNING, 10000));
}

TEST_F(ReplaceTest, NeverStoppedWithoutManagerCopiesAnyway) {
  // The plug-in is held by this process until just before the second copy;
  // the service accepts the stop and never gets there, and no manager
  // instance holds a mutex, so no event is set and the copy goes ahead.
  ManagerBehaviour b = Behaviour();
  b.stopDelayMs = test::kForever;
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  HANDLE held = CreateFileW(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  std::thread release([held] {
    Sleep(16000);
    CloseHandle(held);
  });
  HRESULT hr;
  bool flag;
  const DWORD elapsed = Replace(&hr, &flag);
  release.join();
  EXPECT_EQ(S_OK, hr);
  EXPECT_TRUE(TargetReplaced());
  EXPECT_GE(elapsed, 18000u) << "nine waits of 2 s";
  EXPECT_TRUE(LogHas(manager, "stop requested")) << manager.Log();
  EXPECT_FALSE(LogHas(manager, "shutdown event seen")) << manager.Log();
}

TEST_F(ReplaceTest, ManagerThatKeepsItsMutexStopsTheUpdate) {
  ManagerBehaviour b = Behaviour();
  b.heldFile = target_;
  b.holdSharesRead = true;  // as a loaded library: readable, not writable
  b.mutexAll = true;
  b.shutdownOnEvent = true;
  b.releaseDelayMs = 5000;  // sees the event, but is still there right after it
  b.stopDelayMs = test::kForever;
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x8007041D), hr);
  EXPECT_FALSE(flag) << "no second copy, so no restart";
  EXPECT_TRUE(manager.WaitForLogLine("shutdown event seen", 5000)) << manager.Log();
  EXPECT_TRUE(manager.WaitForState(SERVICE_STOPPED, 15000));
  EXPECT_TRUE(TargetUntouched()) << "no second copy";
  EXPECT_EQ(1u, LogCount(manager, "started")) << "no start request: " << manager.Log();
}

TEST_F(ReplaceTest, SessionMutexAloneIsAskedToShutDownToo) {
  ManagerBehaviour b = Behaviour();
  b.heldFile = target_;
  b.holdSharesRead = true;  // as a loaded library: readable, not writable
  b.mutexUser = true;
  b.shutdownOnEvent = true;
  b.releaseDelayMs = 5000;
  b.stopDelayMs = test::kForever;
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x8007041D), hr);
  EXPECT_TRUE(manager.WaitForLogLine("shutdown event seen", 5000)) << manager.Log();
  EXPECT_TRUE(TargetUntouched());
}

TEST_F(ReplaceTest, CompanionInUseAsksForRestart) {
  ManagerBehaviour b = Behaviour();
  b.heldFile = target_;
  b.holdSharesRead = true;  // as a loaded library: readable, not writable
  ManagerFixture manager(b);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(S_OK, hr);
  EXPECT_TRUE(flag);
  EXPECT_TRUE(TargetReplaced());
}

TEST_F(ReplaceTest, SecondCopyRefusedStillRestartsTheService) {
  // Held by this process, not by the service: stopping the service frees nothing.
  ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  test::HeldFile holder(target_, FILE_SHARE_READ);
  HRESULT hr;
  bool flag;
  Replace(&hr, &flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070020), hr);
  EXPECT_TRUE(flag) << "the companion was in use and the cycle reached the second copy";
  EXPECT_TRUE(TargetUntouched());
  EXPECT_TRUE(manager.WaitForState(SERVICE_RUNNING, 10000)) << "start requested";
  EXPECT_EQ(2u, LogCount(manager, "started")) << manager.Log();
}

TEST(ReadCompanionPath, FirstViewThatOpensDecides) {
  {
    test::ScratchKey only32(test::kCompanionKey, KEY_WOW64_32KEY);
    only32.SetString(L"InstalledPath", L"C:\\Vistamo\\Vistamo.exe");
    EXPECT_EQ(L"C:\\Vistamo\\Vistamo.exe", ReadCompanionPath());
  }
  {
    // The 32-bit view has the key but not the value: the 64-bit one is not asked.
    test::ScratchKey key32(test::kCompanionKey, KEY_WOW64_32KEY);
    test::ScratchKey key64(test::kCompanionKey, KEY_WOW64_64KEY);
    key64.SetString(L"InstalledPath", L"C:\\x64\\Vistamo.exe");
    EXPECT_EQ(L"", ReadCompanionPath());
  }
  {
    test::ScratchKey only64(test::kCompanionKey, KEY_WOW64_64KEY);
    only64.SetString(L"InstalledPath", L"%ProgramFiles%\\V.exe", REG_EXPAND_SZ);
    EXPECT_EQ(L"%ProgramFiles%\\V.exe", ReadCompanionPath());
  }
}

}  // namespace
