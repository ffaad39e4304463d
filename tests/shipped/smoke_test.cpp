// Smoke runs of the shipped 32-bit updater. It runs as a WOW64 process in the
// 64-bit prefix, as on a 64-bit Windows machine: its registry default is the
// 32-bit view.

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const DWORD kRunTimeoutMs = 8 * 60 * 1000;  // qemu makes each start slow

std::wstring ShippedExe() { return test::I686BinPath(L"TagmindEngineMMLibUpdater.exe"); }

TEST(ShippedUpdater, SilentRunWithoutProductStartsAndExitsZero) {
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ShippedExe().c_str()));
  test::ScratchKey handshake(L"SOFTWARE\\Norlek Corporation\\Pellan Update", KEY_WOW64_32KEY);
  handshake.SetDword(L"LaunchInstaller", 1);

  EXPECT_EQ(0u, test::RunProcess(L"\"" + ShippedExe() + L"\"", kRunTimeoutMs));

  // No product, nothing to do: the handshake key gets no restart flag.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExW(handshake.Get(), L"RebootFlg", nullptr, nullptr, nullptr, nullptr));
}

}  // namespace
