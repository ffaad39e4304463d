// A silent run shows no window, whatever goes wrong. Each case starts the
// updater in silent mode on a machine with a fault, watches every window of
// the child while it runs, and reads Wine's relay trace for its error mode:
// the system's critical-error and fault boxes are turned off before the run
// touches a file. (Wine raises no such box itself, so the trace is what shows
// the mode; on Windows an empty removable drive shows "There is no disk in
// the drive" without it.)

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

#include "product_install.h"
#include "test_support.h"
#include "updater_driver.h"

namespace {

constexpr unsigned long long kQuietErrorMode =
    SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;

using test::Narrow;

// The framework's announcement, in the view the 64-bit test vehicle reads.
class SilentMode {
 public:
  SilentMode() : key_(test::kHandshakeKey, KEY_WOW64_64KEY) { key_.SetDword(L"LaunchInstaller", 1); }

 private:
  test::ScratchKey key_;
};

// The child's relay trace also shows SetErrorMode and the first reads of a
// version resource, so that their order can be checked.
test::UpdaterRun RunSilently() {
  test::UpdaterRunOptions options;
  options.alsoTrace = L"SetErrorMode;GetFileVersionInfoSizeW";
  return test::RunUpdater(options);
}

void ExpectSilence(const test::UpdaterRun& run) {
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_TRUE(run.boxes.empty()) << run.boxes.size() << " message boxes, the first: "
                                 << Narrow(run.boxes.empty() ? L"" : run.boxes[0].text);
  EXPECT_TRUE(run.otherWindows.empty()) << Narrow(run.otherWindows.empty() ? L"" : run.otherWindows[0]);
  // The mode is the first traced call, ahead of the first version read (the
  // updater's own file), and nothing else changes it afterwards.
  ASSERT_FALSE(run.calls.empty()) << "no traced call at all";
  EXPECT_EQ("SetErrorMode", run.calls[0].function);
  ASSERT_FALSE(run.calls[0].args.empty());
  EXPECT_EQ(kQuietErrorMode, run.calls[0].args[0]) << std::hex << run.calls[0].args[0];
  bool versionRead = false;
  for (const test::TracedCall& call : run.calls) {
    EXPECT_NE("MessageBoxW", call.function);
    EXPECT_NE("ExitWindowsEx", call.function);
    if (call.function == "GetFileVersionInfoSizeW") versionRead = true;
    if (call.function == "SetErrorMode" && !call.args.empty()) {
      EXPECT_EQ(kQuietErrorMode, call.args[0]) << "error mode changed later: " << std::hex << call.args[0];
    }
  }
  EXPECT_TRUE(versionRead) << "the trace did not show the version reads";
}

void ExpectNoPatchRecord() {
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_32KEY));
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_64KEY));
}

// TMP and TEMP of this process (and so of the updater it starts), put back
// when it goes.
class TempFolderAt {
 public:
  explicit TempFolderAt(const std::wstring& folder) {
    wchar_t old[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"TMP", old, MAX_PATH)) tmp_ = old;
    if (GetEnvironmentVariableW(L"TEMP", old, MAX_PATH)) temp_ = old;
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
  }
  ~TempFolderAt() {
    SetEnvironmentVariableW(L"TMP", tmp_.empty() ? nullptr : tmp_.c_str());
    SetEnvironmentVariableW(L"TEMP", temp_.empty() ? nullptr : temp_.c_str());
  }
  TempFolderAt(const TempFolderAt&) = delete;
  TempFolderAt& operator=(const TempFolderAt&) = delete;

 private:
  std::wstring tmp_, temp_;
};

using test::LeaveRoomOnSmallDisk;

// The product's folder on a drive that is not there: no such letter, and a
// letter whose target has gone (the harness links R: to a missing folder,
// as a removed stick or an empty drive leaves it).
TEST(SilentFaults, ProductOnADriveThatIsNotThere) {
  SilentMode silent;
  for (const wchar_t* folder : {L"Q:\\Pellan\\", L"R:\\Pellan\\"}) {
    SCOPED_TRACE(Narrow(folder));
    const std::wstring plugin = std::wstring(folder) + L"TagmindEngineMMLib.dll";
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(plugin.c_str()));
    std::cout << Narrow(folder) << ": GetFileAttributesW fails with " << GetLastError() << "\n";
    test::ScratchKey product(test::kProductKey, KEY_WOW64_32KEY);
    product.SetString(L"InstalledDir", folder);
    ExpectSilence(RunSilently());
    ExpectNoPatchRecord();
  }
}

// A plug-in that cannot be read at all (held without sharing: no version,
// nothing to do), and one that can be read but not replaced (held for
// reading only, no service to stop: the update fails).
TEST(SilentFaults, PluginThatCannotBeReadOrReplaced) {
  SilentMode silent;
  for (DWORD share : {0ul, static_cast<DWORD>(FILE_SHARE_READ)}) {
    SCOPED_TRACE(share);
    test::ProductInstallation product(L"3.7.0.0");
    {
      test::HeldFile held(product.PluginPath(), share);
      ASSERT_TRUE(held.IsValid());
      ExpectSilence(RunSilently());
    }
    EXPECT_TRUE(product.PluginBytes() == product.OriginalBytes()) << "the plug-in was changed";
    ExpectNoPatchRecord();
  }
}

// A full disk (the harness's small tmpfs as E:) under the product's folder,
// then under the temporary-files folder.
TEST(SilentFaults, FullDisk) {
  SilentMode silent;
  {
    std::unique_ptr<test::ProductInstallation> product;
    {
      TempFolderAt onSmallDisk(L"E:\\");
      product.reset(new test::ProductInstallation(L"3.7.0.0"));
    }
    ASSERT_EQ(0u, product->PluginPath().rfind(L"E:\\", 0)) << Narrow(product->PluginPath());
    LeaveRoomOnSmallDisk(100 * 1024);
    SCOPED_TRACE("product folder on the full disk");
    ExpectSilence(RunSilently());
    EXPECT_TRUE(product->PluginBytes() == product->OriginalBytes()) << "the plug-in was changed";
    ExpectNoPatchRecord();
    DeleteFileW(L"E:\\filler");
  }
  {
    test::ProductInstallation product(L"3.7.0.0");
    LeaveRoomOnSmallDisk(64 * 1024);
    SCOPED_TRACE("temporary-files folder on the full disk");
    {
      TempFolderAt onSmallDisk(L"E:\\");
      ExpectSilence(RunSilently());
    }
    EXPECT_TRUE(product.PluginBytes() == product.OriginalBytes()) << "the plug-in was changed";
    ExpectNoPatchRecord();
    DeleteFileW(L"E:\\filler");
  }
}

}  // namespace
