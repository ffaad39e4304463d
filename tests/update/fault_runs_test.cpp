// Runs of the real updater that meet what a machine in the field offers:
// a second run after a successful one, two updaters at once, a product
// folder deeper than MAX_PATH. In each the plug-in ends with either its old
// bytes or the payload's, the run leaves nothing of its own behind, and the
// exit code is 0.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "product_install.h"
#include "test_support.h"
#include "updater_driver.h"

namespace {

const std::wstring kNoUpdateEn = L"There is no need to update the program.";
const std::wstring kCompletedEn = L"Update completed.";

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  return std::wstring(buffer, GetTempPathW(MAX_PATH + 1, buffer));
}

// Working folders of earlier runs would show here: "Norlek.tmp" or a sibling.
std::vector<std::wstring> RunLeftovers() {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((TempFolder() + L"Norlek*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return found;
  do found.push_back(fd.cFileName);
  while (FindNextFileW(find, &fd));
  FindClose(find);
  return found;
}

using test::Narrow;

std::vector<std::wstring> Texts(const test::UpdaterRun& run) {
  std::vector<std::wstring> texts;
  for (const test::BoxSeen& box : run.boxes) texts.push_back(box.text);
  return texts;
}

TEST(UpdateRunFaults, SecondRunAfterSuccessFindsNothingToDo) {
  test::ProductInstallation product(L"3.7.3.10900");
  const test::UpdaterRun first = test::RunUpdater();
  EXPECT_EQ(0u, first.exitCode);
  EXPECT_EQ(std::vector<std::wstring>{kCompletedEn}, Texts(first));
  const std::string installed = product.PluginBytes();
  ASSERT_TRUE(installed == test::ReadFileBytes(test::PayloadLibrary(130)));

  const test::UpdaterRun second = test::RunUpdater();
  EXPECT_EQ(0u, second.exitCode);
  EXPECT_EQ(std::vector<std::wstring>{kNoUpdateEn}, Texts(second));
  EXPECT_TRUE(product.PluginBytes() == installed);
  EXPECT_TRUE(RunLeftovers().empty()) << Narrow(RunLeftovers()[0]);
}

TEST(UpdateRunFaults, TwoUpdatersAtOnce) {
  // Silent, as the framework would start them; nobody holds the plug-in.
  test::ScratchKey handshake(test::kHandshakeKey, KEY_WOW64_64KEY);
  handshake.SetDword(L"LaunchInstaller", 1);
  test::ProductInstallation product(L"3.8.0.0");
  const std::wstring command = L"\"" + test::TestVehicle() + L"\"";
  DWORD codes[2] = {1, 1};
  std::thread a([&] { codes[0] = test::RunProcess(command, 120000); });
  std::thread b([&] { codes[1] = test::RunProcess(command, 120000); });
  a.join();
  b.join();
  EXPECT_EQ(0u, codes[0]);
  EXPECT_EQ(0u, codes[1]);
  const std::string now = product.PluginBytes();
  const bool payload = now == test::ReadFileBytes(test::PayloadLibrary(131));
  EXPECT_TRUE(payload || now == product.OriginalBytes()) << "the plug-in holds neither";
  EXPECT_TRUE(payload) << "at least one of the two installed it";
  EXPECT_TRUE(RunLeftovers().empty()) << Narrow(RunLeftovers()[0]);
}

TEST(UpdateRunFaults, ProductFolderDeeperThanMaxPath) {
  test::ScratchDir dir(L"deep");
  std::wstring folder = dir.Path();
  while (folder.size() < 280) {
    folder += L"\\Pellan Tagwise Manager components";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << GetLastError();
  }
  const std::wstring plugin = folder + L"\\TagmindEngineMMLib.dll";
  ASSERT_TRUE(CopyFileW(test::PluginFixture(L"3.7.0.0").c_str(), (L"\\\\?\\" + plugin).c_str(), FALSE));
  test::ScratchKey productKey(test::kProductKey, KEY_WOW64_32KEY);
  productKey.SetString(L"InstalledDir", folder);  // no trailing backslash: one is added
  test::ScratchKey appDb(test::kAppDbKey, KEY_WOW64_32KEY);

  const test::UpdaterRun run = test::RunUpdater();
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ(std::vector<std::wstring>{kCompletedEn}, Texts(run));
  EXPECT_TRUE(test::ReadFileBytes(L"\\\\?\\" + plugin) ==
              test::ReadFileBytes(test::PayloadLibrary(130)));
  std::wstring version;
  EXPECT_TRUE(test::ReadMachineString(test::kPatchRecordKey, L"version", KEY_WOW64_32KEY, &version));
  EXPECT_TRUE(RunLeftovers().empty()) << Narrow(RunLeftovers()[0]);
}

}  // namespace
