// Smoke runs of the shipped 32-bit updater under wine32. It runs as a WOW64
// process in the 64-bit prefix, as on a 64-bit Windows machine: its registry
// default is the 32-bit view, which is where it must read the handshake.

#include <gtest/gtest.h>

#include <memory>

#include "manager_fixture.h"
#include "product_install.h"
#include "test_support.h"

namespace {

const DWORD kRunTimeoutMs = 8 * 60 * 1000;  // qemu makes each start slow

std::wstring ShippedExe() { return test::I686BinPath(L"TagmindEngineMMLibUpdater.exe"); }

DWORD RunShipped() {
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ShippedExe().c_str()));
  return test::RunProcess(L"\"" + ShippedExe() + L"\"", kRunTimeoutMs);
}

TEST(ShippedUpdater, SilentRunWithoutProductStartsAndExitsZero) {
  test::ScratchKey handshake(test::kHandshakeKey, KEY_WOW64_32KEY);
  handshake.SetDword(L"LaunchInstaller", 1);
  EXPECT_EQ(0u, RunShipped());
  EXPECT_FALSE(test::ReadMachineString(test::kHandshakeKey, L"RebootFlg", KEY_WOW64_32KEY, nullptr));
}

TEST(ShippedUpdater, SilentUpdateOfABusyInstallation) {
  // Line 3.7, the plug-in held by the resident service as a loaded library,
  // the companion application's file held by another process (this one).
  test::ProductInstallation product(L"3.7.0.0");
  test::ScratchDir dir(L"smoke");
  test::ManagerBehaviour behaviour;
  behaviour.logFile = dir.File(L"mgr.log");
  behaviour.heldFile = product.PluginPath();
  behaviour.holdSharesRead = true;
  test::ManagerFixture manager(behaviour);
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::CompanionInUse companion(dir);
  // The handshake only in the 32-bit view: a 64-bit reading would be interactive.
  test::ScratchKey handshake(test::kHandshakeKey, KEY_WOW64_32KEY);
  handshake.SetDword(L"LaunchInstaller", 1);
  test::ScratchKey handshake64(test::kHandshakeKey, KEY_WOW64_64KEY);

  EXPECT_EQ(0u, RunShipped());

  EXPECT_TRUE(product.PluginBytes() == test::ReadFileBytes(test::PayloadLibrary(130)))
      << "the plug-in is not the 3.7.6.11250 library";
  EXPECT_EQ(test::kPayloadTime, product.PluginLastWrite());
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    std::wstring version;
    EXPECT_TRUE(test::ReadMachineString(test::kPatchRecordKey, L"version", view, &version)) << view;
    EXPECT_EQ(L"3.9.0.11260", version);
  }
  EXPECT_TRUE(manager.WaitForState(SERVICE_RUNNING, 20000)) << manager.Log();
  EXPECT_NE(std::string::npos, manager.Log().find("stop requested")) << manager.Log();
  std::wstring flag;
  DWORD type = 0, bytes = 0;
  EXPECT_TRUE(test::ReadMachineString(test::kHandshakeKey, L"RebootFlg", KEY_WOW64_32KEY, &flag,
                                      &type, &bytes));
  EXPECT_EQ(L"1", flag);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(4u, bytes);
  EXPECT_FALSE(test::ReadMachineString(test::kHandshakeKey, L"RebootFlg", KEY_WOW64_64KEY, nullptr))
      << "written in the 64-bit view";
}

}  // namespace
