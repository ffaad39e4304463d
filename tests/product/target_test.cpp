#include "product/target.h"
#include "product/version_block.h"

#include <gtest/gtest.h>

#include <string>

#include "run/process_values.h"
#include "test_support.h"

// Readable names in failure messages.
void PrintTo(TargetLine line, std::ostream* os) {
  switch (line) {
    case TargetLine::None: *os << "None"; return;
    case TargetLine::Line37: *os << "Line37"; return;
    case TargetLine::Line38: *os << "Line38"; return;
  }
  *os << "TargetLine(" << static_cast<int>(line) << ")";
}

namespace {

const wchar_t kProductKey[] = L"Software\\Norlek Corporation\\Tagmind Manager";

using test::Narrow;

std::wstring Plugin(const std::wstring& name) {
  return test::I686BinPath(L"plugins\\" + name + L".dll");
}

bool IsFile(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The product key lives at a fixed path: every test starts and ends without
// it in either view.
class ProductKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override {
    Clean();
    process::TargetPath.clear();
  }
  static void Clean() {
    test::DeleteLocalMachineTree(kProductKey, KEY_WOW64_32KEY);
    test::DeleteLocalMachineTree(kProductKey, KEY_WOW64_64KEY);
  }
};

TEST_F(ProductKeyTest, InstalledDirBecomesThePluginPath) {
  struct Case {
    const char* what;
    DWORD type;           // REG_NONE: no value at all
    std::wstring folder;  // for REG_DWORD: ignored
    std::wstring path;
  } cases[] = {
      {"plain folder", REG_SZ, L"C:\\Program Files\\Product",
       L"C:\\Program Files\\Product\\TagmindEngineMMLib.dll"},
      {"trailing backslash", REG_SZ, L"C:\\Program Files\\Product\\",
       L"C:\\Program Files\\Product\\TagmindEngineMMLib.dll"},
      {"trailing slash", REG_SZ, L"C:/Program Files/Product/",
       L"C:/Program Files/Product/\\TagmindEngineMMLib.dll"},
      {"used as stored", REG_EXPAND_SZ, L"%ProgramFiles%\\Product ",
       L"%ProgramFiles%\\Product \\TagmindEngineMMLib.dll"},
      {"empty", REG_SZ, L"", L""},
      {"missing", REG_NONE, L"", L""},
      {"number", REG_DWORD, L"", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScratchKey product(kProductKey, KEY_WOW64_32KEY);
    if (c.type == REG_DWORD)
      product.SetDword(L"InstalledDir", 1);
    else if (c.type != REG_NONE)
      product.SetString(L"InstalledDir", c.folder, c.type);
    const std::wstring path = LocateTarget();
    EXPECT_EQ(c.path, path) << Narrow(path);
    process::TargetPath = path;
    if (path.empty()) {
      EXPECT_EQ(TargetLine::None, ClassifyTarget());
    }
  }
}

TEST_F(ProductKeyTest, TheFirstViewWithTheKeyDecides) {
  {
    SCOPED_TRACE("no product key");
    EXPECT_EQ(L"", LocateTarget());
  }
  {
    SCOPED_TRACE("only in the 64-bit view: found after the 32-bit open fails");
    test::ScratchKey key64(kProductKey, KEY_WOW64_64KEY);
    key64.SetString(L"InstalledDir", L"C:\\Sixty Four");
    EXPECT_EQ(L"C:\\Sixty Four\\TagmindEngineMMLib.dll", LocateTarget());
  }
  {
    SCOPED_TRACE("in both views: the 32-bit one wins");
    test::ScratchKey key32(kProductKey, KEY_WOW64_32KEY);
    test::ScratchKey key64(kProductKey, KEY_WOW64_64KEY);
    key32.SetString(L"InstalledDir", L"C:\\Thirty Two");
    key64.SetString(L"InstalledDir", L"C:\\Sixty Four");
    EXPECT_EQ(L"C:\\Thirty Two\\TagmindEngineMMLib.dll", LocateTarget());
  }
  {
    SCOPED_TRACE("the 32-bit key without the value: the 64-bit one is not asked");
    test::ScratchKey key32(kProductKey, KEY_WOW64_32KEY);
    test::ScratchKey key64(kProductKey, KEY_WOW64_64KEY);
    key64.SetString(L"InstalledDir", L"C:\\Sixty Four");
    EXPECT_EQ(L"", LocateTarget());
  }
}

TEST(ClassifyFile, EveryRowOfTheVersionTableOnRealLibraries) {
  struct Case {
    const wchar_t* version;
    TargetLine line;
  } cases[] = {
      {L"3.7.0.0", TargetLine::Line37},     {L"3.7.3.10900", TargetLine::Line37},
      {L"3.7.5.65535", TargetLine::Line37}, {L"3.7.6.0", TargetLine::None},
      {L"3.7.6.11250", TargetLine::None},   {L"3.8.0.0", TargetLine::Line38},
      {L"3.8.5.12000", TargetLine::Line38}, {L"3.8.6.11250", TargetLine::None},
      {L"3.6.9.9999", TargetLine::None},    {L"3.9.0.0", TargetLine::None},
      {L"3.70.0.0", TargetLine::None},      {L"2.7.0.0", TargetLine::None},
      {L"4.7.0.0", TargetLine::None},
  };
  for (const Case& c : cases) {
    const std::wstring path = Plugin(std::wstring(L"plugin-") + c.version);
    ASSERT_TRUE(IsFile(path)) << Narrow(path) << " missing: build the i686 tree first";
    EXPECT_EQ(c.line, ClassifyFile(path)) << Narrow(c.version);
  }
}

TEST(ClassifyFile, NoLineWithoutAReadableVersion) {
  test::ScratchDir dir(L"classify");
  const std::wstring folder = dir.File(L"TagmindEngineMMLib.dll");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring garbage = dir.File(L"garbage.dll");
  test::WriteFileBytes(garbage, std::string(4096, 'M'));
  const std::wstring noVersion = Plugin(L"plugin-noversion");
  ASSERT_TRUE(IsFile(noVersion)) << Narrow(noVersion);

  struct Case {
    const char* what;
    std::wstring path;
  } cases[] = {
      {"a folder named like the plug-in", folder},
      {"a library without a version resource", noVersion},
      {"a file that is no library", garbage},
      {"a missing file", dir.File(L"missing.dll")},
      {"an empty path", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(TargetLine::None, ClassifyFile(c.path)) << c.what;
}

// The stand-in built to the size of the 3.7 replacement (its filler lives
// inside the resource section) is still a library whose version reads.
TEST(ClassifyFile, ExactSizeStandInIsARegularLibrary) {
  const std::wstring path = Plugin(L"plugin-sized-278528");
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) << Narrow(path);
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_EQ(278528u, data.nFileSizeLow);
  HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, image) << "error " << GetLastError();
  EXPECT_NE(nullptr, FindResourceW(image, L"PADDING", RT_RCDATA));
  FreeLibrary(image);
  EXPECT_EQ(TargetLine::None, ClassifyFile(path));  // 3.7.6.11250 is past line 3.7
}

// The run's own sequence: locate, long-path form, classify.
TEST_F(ProductKeyTest, ClassifyTargetReadsTheInstalledPlugin) {
  test::ScratchDir dir(L"installed");
  // Deep enough that the plug-in's path takes the long-path form.
  std::wstring folder = dir.Path();
  for (int i = 0; i < 3; ++i) {
    folder += L"\\" + std::wstring(90, static_cast<wchar_t>(L'a' + i));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << GetLastError();
  }
  struct Case {
    const wchar_t* version;
    TargetLine line;
  } cases[] = {{L"3.7.5.65535", TargetLine::Line37},
               {L"3.8.0.0", TargetLine::Line38},
               {L"4.7.0.0", TargetLine::None}};
  test::ScratchKey product(kProductKey, KEY_WOW64_32KEY);
  product.SetString(L"InstalledDir", folder + L"\\");
  for (const Case& c : cases) {
    const std::wstring located = LocateTarget();
    ASSERT_EQ(folder + L"\\TagmindEngineMMLib.dll", located);
    ASSERT_GE(located.size(), 260u);
    ASSERT_TRUE(CopyFileW(Plugin(std::wstring(L"plugin-") + c.version).c_str(),
                          (L"\\\\?\\" + located).c_str(), FALSE))
        << GetLastError();
    process::TargetPath = L"\\\\?\\" + located;
    EXPECT_EQ(c.line, ClassifyTarget()) << Narrow(c.version);
  }
}

VS_FIXEDFILEINFO Version(WORD major, WORD minor, WORD third, WORD fourth) {
  VS_FIXEDFILEINFO info = {};  // signature and the rest are never looked at
  info.dwFileVersionMS = MAKELONG(minor, major);
  info.dwFileVersionLS = MAKELONG(fourth, third);
  return info;
}

TEST(VersionBounds, ComparesAllFourFieldsAsUnsigned16Bit) {
  struct Case {
    WORD v[4];
    WORD m;
    bool atLeast, atMost;
  } cases[] = {
      {{3, 7, 0, 0}, 7, true, true},
      {{3, 7, 5, 65535}, 7, true, true},
      {{3, 7, 6, 0}, 7, true, false},
      {{3, 7, 65535, 65535}, 7, true, false},
      {{3, 6, 65535, 65535}, 7, false, true},
      {{3, 8, 0, 0}, 7, true, false},
      {{3, 8, 0, 0}, 8, true, true},
      {{3, 8, 5, 0}, 8, true, true},
      {{3, 70, 0, 0}, 7, true, false},
      {{2, 65535, 65535, 65535}, 7, false, true},
      {{4, 0, 0, 0}, 7, true, false},
      {{65535, 7, 0, 0}, 7, true, false},  // unsigned: never read as -1
      {{0, 0, 0, 0}, 0, false, true},
      {{3, 0, 0, 0}, 0, true, true},
      {{3, 65535, 5, 1}, 65535, true, true},
  };
  for (const Case& c : cases) {
    const VS_FIXEDFILEINFO info = Version(c.v[0], c.v[1], c.v[2], c.v[3]);
    EXPECT_EQ(c.atLeast, VersionAtLeast(&info, c.m))
        << c.v[0] << "." << c.v[1] << "." << c.v[2] << "." << c.v[3] << " >= 3." << c.m;
    EXPECT_EQ(c.atMost, VersionAtMost(&info, c.m))
        << c.v[0] << "." << c.v[1] << "." << c.v[2] << "." << c.v[3] << " <= 3." << c.m << ".5";
  }
  EXPECT_FALSE(VersionAtLeast(nullptr, 7));
  EXPECT_FALSE(VersionAtMost(nullptr, 7));
  EXPECT_EQ(TargetLine::None, LineOfVersion(nullptr));
}

TEST(VersionBounds, OnlyAWholeFixedInfoIsRead) {
  // A damaged resource can state a root value shorter than the fixed file
  // information; the version would then come from whatever follows it.
  const VS_FIXEDFILEINFO info = Version(3, 7, 0, 0);
  struct Case {
    const void* value;
    UINT bytes;
    bool read;
  } cases[] = {
      {&info, sizeof info, true},
      {&info, sizeof info + 4, true},
      {&info, sizeof info - 1, false},
      {&info, 8, false},
      {&info, 0, false},
      {nullptr, sizeof info, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.read ? &info : nullptr, FixedInfoOf(c.value, c.bytes)) << c.bytes << " bytes";
  }
}

}  // namespace
