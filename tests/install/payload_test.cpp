// Taking a payload out of the resources and putting it in place, on real
// files: the test program carries the updater's resources (ids 130, 131) and
// a few broken containers of its own (payload_test.rc).

#include <gtest/gtest.h>

#include <string>

#include "install/payload.h"
#include "product_install.h"
#include "run/process_values.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

constexpr WORD kHeaderOnly = 900;  // a container that states and holds 0 bytes
constexpr WORD kTruncated = 901;   // payload 130 without its last byte
constexpr WORD kNotSzdd = 902;     // the library itself, not packed

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, n);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

using test::LastWrite;

// An installed plug-in with old content, named by process::TargetPath.
class PayloadTest : public ::testing::Test {
 protected:
  PayloadTest() : dir_(L"payload") {
    process::ModuleHandle = GetModuleHandleW(nullptr);
    target_ = dir_.File(L"TagmindEngineMMLib.dll");
    test::WriteFileBytes(target_, std::string(4096, 'O'));
    process::TargetPath = target_;
  }
  ~PayloadTest() override {
    process::TargetPath.clear();
    test::RemoveTree(WorkingFolder());
  }
  std::wstring WorkingFolder() const { return TempFolder() + L"Norlek.tmp"; }
  bool TargetUntouched() const { return test::ReadFileBytes(target_) == std::string(4096, 'O'); }

  test::ScratchDir dir_;
  std::wstring target_;
};

TEST_F(PayloadTest, EachLineExpandsOverThePlugin) {
  struct Case { WORD id; size_t size; } cases[] = {{130, 278528}, {131, 274944}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    bool restart = true;
    EXPECT_EQ(S_OK, InstallPayload(c.id, restart));
    EXPECT_FALSE(restart) << "cleared by the replacement";
    const std::string installed = test::ReadFileBytes(target_);
    EXPECT_EQ(c.size, installed.size());
    EXPECT_EQ(0u, installed.rfind("MZ", 0));
    EXPECT_TRUE(installed == test::ReadFileBytes(test::PayloadLibrary(c.id)));
    EXPECT_EQ(test::kPayloadTime, LastWrite(target_));
    // Nothing of the run is left: both working files and the folder are gone.
    EXPECT_FALSE(Exists(WorkingFolder())) << "working folder left behind";
  }
}

TEST(WorkingFolder, OneBackslashBeforeTheName) {
  EXPECT_EQ(L"C:\\Temp\\Norlek.tmp\\", WorkingFolderUnder(L"C:\\Temp\\"));
  EXPECT_EQ(L"C:\\Temp\\Norlek.tmp\\", WorkingFolderUnder(L"C:\\Temp"));
  EXPECT_EQ(L"\\Norlek.tmp\\", WorkingFolderUnder(L""));
}

TEST(PayloadTime, IsTheReleaseInstant) {
  const FILETIME t = PayloadFileTime();
  EXPECT_EQ(test::kPayloadTime, static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
}

TEST_F(PayloadTest, MissingResourceWritesNoFile) {
  bool restart = true;
  EXPECT_EQ(E_FAIL, InstallPayload(132, restart));
  EXPECT_TRUE(restart) << "the caller's flag is left as it was";
  EXPECT_TRUE(TargetUntouched());
  // The working folder was made before the look-up and stays, empty.
  ASSERT_TRUE(Exists(WorkingFolder()));
  EXPECT_TRUE(RemoveDirectoryW(WorkingFolder().c_str())) << "not empty";
}

TEST_F(PayloadTest, BrokenContainersReplaceNothing) {
  // A truncated container expands "successfully" to a shorter file under
  // LZCopy; the stated length is what tells it apart.
  struct Case { WORD id; const char* what; } cases[] = {
      {kHeaderOnly, "header only"}, {kTruncated, "one byte short"}, {kNotSzdd, "not a container"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool restart = false;
    EXPECT_EQ(E_FAIL, InstallPayload(c.id, restart));
    EXPECT_TRUE(TargetUntouched());
    EXPECT_FALSE(Exists(WorkingFolder() + L"\\TagmindEngineMMLib.dll"));
    EXPECT_FALSE(Exists(WorkingFolder() + L"\\TagmindEngineMMLib.dll.tmp"));
  }
}

DWORD WINAPI NoTempPath(DWORD, LPWSTR) {
  SetLastError(ERROR_ENVVAR_NOT_FOUND);
  return 0;
}

TEST_F(PayloadTest, UnknownTemporaryFolderWritesNothing) {
  // Wine always finds a temporary-files folder; Windows can report none.
  test::ScopedSeams seams;
  Seams().GetTempPathW = NoTempPath;
  bool restart = false;
  EXPECT_TRUE(FAILED(InstallPayload(130, restart)));
  EXPECT_TRUE(TargetUntouched());
  EXPECT_FALSE(Exists(WorkingFolder()));
  EXPECT_FALSE(Exists(L"Norlek.tmp")) << "relative folder in the current directory";
  EXPECT_FALSE(Exists(L"\\Norlek.tmp")) << "folder at the root of the current drive";
}

TEST_F(PayloadTest, LongWorkingFileNamesTakeTheLongForm) {
  // A temporary-files folder so deep that the compressed file's name reaches
  // 260 characters while the expanded file's name stays below.
  // folder + "Norlek.tmp\\" + "TagmindEngineMMLib.dll.tmp" = 260 exactly.
  const size_t folderLength = 260 - 11 - 26;
  std::wstring deep = dir_.Path();
  while (deep.size() + 1 < folderLength) {
    const size_t remaining = folderLength - 1 - deep.size();  // each level costs 1 + its name
    deep += L"\\" + std::wstring(remaining > 43 ? 40 : remaining - 1, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
  }
  ASSERT_EQ(folderLength, deep.size() + 1);
  SetEnvironmentVariableW(L"TMP", deep.c_str());
  bool restart = false;
  const HRESULT hr = InstallPayload(131, restart);
  SetEnvironmentVariableW(L"TMP", nullptr);
  EXPECT_EQ(S_OK, hr);
  EXPECT_TRUE(test::ReadFileBytes(target_) == test::ReadFileBytes(test::PayloadLibrary(131)));
}

// A temporary-files folder on a real disk that fills up: the harness mounts
// a small tmpfs as drive E:, and a filler file leaves just the room wanted.
class PayloadOnFullDisk : public PayloadTest {
 protected:
  PayloadOnFullDisk() {
    SetEnvironmentVariableW(L"TMP", L"E:\\");
    SetEnvironmentVariableW(L"TEMP", L"E:\\");
  }
  ~PayloadOnFullDisk() override { DeleteFileW(L"E:\\filler"); }

  static DWORD ContainerSize(WORD id) {
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"PATCH");
    return r ? SizeofResource(nullptr, r) : 0;
  }
};

TEST_F(PayloadOnFullDisk, ContainerThatDoesNotFit) {
  ASSERT_EQ(L"E:\\", TempFolder());
  test::LeaveRoomOnSmallDisk(ContainerSize(130) / 2);
  bool restart = false;
  EXPECT_EQ(static_cast<HRESULT>(0x80070070), InstallPayload(130, restart)) << "disk full";
  EXPECT_TRUE(TargetUntouched());
  EXPECT_FALSE(Exists(L"E:\\Norlek.tmp\\TagmindEngineMMLib.dll.tmp"));
}

TEST_F(PayloadOnFullDisk, ExpansionThatDoesNotFit) {
  ASSERT_EQ(L"E:\\", TempFolder());
  // The container fits; its 278528 expanded bytes do not.
  test::LeaveRoomOnSmallDisk(ContainerSize(130) + 65536);
  bool restart = false;
  EXPECT_TRUE(FAILED(InstallPayload(130, restart)));
  EXPECT_TRUE(TargetUntouched()) << "a partial expansion must not replace the plug-in";
  EXPECT_FALSE(Exists(L"E:\\Norlek.tmp\\TagmindEngineMMLib.dll"));
}

}  // namespace
