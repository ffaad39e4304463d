#include "system/paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "system/scoped_handle.h"
#include "test_support.h"

namespace {

using test::Narrow;

// head followed by 'x' up to exactly length characters.
std::wstring Sized(const std::wstring& head, size_t length) {
  return head + std::wstring(length - head.size(), L'x');
}

TEST(LongPathForm, PrefixesFrom260CharactersOn) {
  const std::wstring drive259 = Sized(L"C:\\dir\\", 259);
  const std::wstring drive260 = Sized(L"C:\\dir\\", 260);
  const std::wstring share300 = Sized(L"\\\\server\\share\\", 300);
  const std::wstring share260 = Sized(L"\\\\server\\share\\", 260);
  const std::wstring prefixed300 = Sized(L"\\\\?\\C:\\dir\\", 300);
  const std::wstring prefixedShare300 = Sized(L"\\\\?\\UNC\\server\\share\\", 300);
  const std::wstring single300 = Sized(L"\\dir\\", 300);
  const std::wstring relative300 = Sized(L"dir\\..\\", 300);
  const std::wstring slashes300 = Sized(L"C:/dir/./", 300);
  struct Case {
    std::wstring in, out;
  } cases[] = {
      {L"", L""},
      {L"C:", L"C:"},
      {L"\\\\?", L"\\\\?"},
      {L"\\\\?\\", L"\\\\?\\"},
      {L"C:\\short\\path.dll", L"C:\\short\\path.dll"},
      {L"\\\\server\\share\\a.dll", L"\\\\server\\share\\a.dll"},
      {drive259, drive259},
      {drive260, L"\\\\?\\" + drive260},
      {share260, L"\\\\?\\UNC" + share260.substr(1)},
      {share300, L"\\\\?\\UNC" + share300.substr(1)},
      {prefixed300, prefixed300},
      {prefixedShare300, prefixedShare300},
      // One leading backslash is no share; relative parts, "." and ".." and
      // forward slashes are not the concern of this form.
      {single300, L"\\\\?\\" + single300},
      {relative300, L"\\\\?\\" + relative300},
      {slashes300, L"\\\\?\\" + slashes300},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.out, LongPathForm(c.in)) << "input (" << c.in.size() << " chars) " << Narrow(c.in);
  }
  EXPECT_EQ(264u, LongPathForm(drive260).size());
  const std::wstring share = LongPathForm(share300);
  EXPECT_EQ(306u, share.size());
  EXPECT_EQ(0u, share.rfind(L"\\\\?\\UNC\\server\\share\\", 0)) << Narrow(share.substr(0, 30));
}

TEST(LongPathPrefixLength, CountsOnlyTheExactPrefixes) {
  struct Case {
    const wchar_t* in;
    size_t out;
  } cases[] = {
      {L"\\\\?\\UNC\\srv\\share", 7}, {L"\\\\?\\UNC\\", 7},         {L"\\\\?\\unc\\srv\\share", 4},
      {L"\\\\?\\Unc\\srv", 4},        {L"\\\\?\\UNC", 4},           {L"\\\\?\\UNCx\\srv", 4},
      {L"\\\\?\\UN", 4},              {L"\\\\?\\", 4},              {L"\\\\?\\C:\\x", 4},
      {L"\\\\?\\C:", 4},              {L"C:\\x", 0},                {L"\\\\srv\\share", 0},
      {L"\\\\.\\C:\\x", 0},           {L"\\??\\C:\\x", 0},          {L"//?/C:/x", 0},
      {L"\\\\?", 0},                  {L"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, LongPathPrefixLength(c.in)) << Narrow(c.in);
}

// Where the root ends and which parent has to exist first, over the text
// alone: share paths cannot be created end to end here (Wine has no shares).
TEST(CreateDirectoryTreeDecision, RootAndParentOfEachPathKind) {
  struct Case {
    const wchar_t* path;
    size_t root;
    const wchar_t* parent;  // empty: created directly
  } cases[] = {
      {L"C:\\a\\b\\c\\", 2, L"C:\\a\\b\\"},
      {L"C:\\a\\b\\c", 2, L"C:\\a\\b\\"},
      {L"C:\\a\\", 2, L""},
      {L"C:\\a", 2, L""},
      {L"C:\\", 2, L""},
      {L"X:", 1, L""},
      {L"X:a\\b", 0, L"X:a\\"},
      {L"C", 0, L""},
      {L"\\\\?\\C:\\a\\b", 6, L"\\\\?\\C:\\a\\"},
      {L"\\\\?\\C:\\a", 6, L""},
      {L"\\\\?\\X:", 5, L""},
      {L"\\\\?\\", 4, L""},
      {L"\\\\srv\\share\\dir\\sub", 11, L"\\\\srv\\share\\dir\\"},
      {L"\\\\srv\\share\\dir\\", 11, L""},
      {L"\\\\srv\\share\\dir", 11, L""},
      {L"\\\\srv\\share\\", 11, L""},
      {L"\\\\srv\\share", 11, L""},
      {L"\\\\srv", 5, L""},
      {L"\\\\?\\UNC\\srv\\share\\dir\\sub", 17, L"\\\\?\\UNC\\srv\\share\\dir\\"},
      {L"\\\\?\\UNC\\srv\\share\\dir", 17, L""},
      {L"\\\\?\\UNC\\srv\\share", 17, L""},
      {L"\\\\?\\UNC\\", 7, L""},
      // A single leading backslash counts as a share too: the root ends at
      // the second backslash counted from the third character.
      {L"\\dir\\sub\\x\\y", 8, L"\\dir\\sub\\x\\"},
      {L"\\dir\\sub\\x", 8, L""},
      {L"\\d\\s", 4, L""},
      // Relative paths have no root at all.
      {L"rel\\a\\b", 0, L"rel\\a\\"},
      {L"rel\\a\\", 0, L"rel\\"},
      {L"rel\\", 0, L""},
      {L"rel", 0, L""},
      {L"", 0, L""},
  };
  for (const Case& c : cases) {
    const std::wstring path = c.path;
    EXPECT_EQ(c.root, DirectoryRootEnd(path)) << Narrow(path);
    EXPECT_EQ(std::wstring(c.parent), path.substr(0, DirectoryParentLength(path))) << Narrow(path);
  }
}

// The creations that CreateDirectoryTree attempts, outermost first, when
// nothing exists yet.
std::vector<std::wstring> CreationOrder(const std::wstring& path) {
  std::vector<std::wstring> order;
  const size_t parent = DirectoryParentLength(path);
  if (parent) order = CreationOrder(path.substr(0, parent));
  order.push_back(path);
  return order;
}

TEST(CreateDirectoryTreeDecision, SharePathsNeverOfferServerOrShare) {
  struct Case {
    const wchar_t* path;
    std::vector<std::wstring> order;
  } cases[] = {
      {L"\\\\srv\\share\\dir\\sub", {L"\\\\srv\\share\\dir\\", L"\\\\srv\\share\\dir\\sub"}},
      {L"\\\\?\\UNC\\srv\\share\\a\\b\\",
       {L"\\\\?\\UNC\\srv\\share\\a\\", L"\\\\?\\UNC\\srv\\share\\a\\b\\"}},
      {L"\\top\\share\\a\\b", {L"\\top\\share\\a\\", L"\\top\\share\\a\\b"}},
      {L"C:\\a\\b\\c\\", {L"C:\\a\\", L"C:\\a\\b\\", L"C:\\a\\b\\c\\"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::wstring> order = CreationOrder(c.path);
    EXPECT_EQ(c.order, order) << Narrow(c.path) << " first attempt " << Narrow(order.front());
  }
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(CreateDirectoryTree, CreatesTheMissingParents) {
  test::ScratchDir dir(L"tree");
  ASSERT_TRUE(CreateDirectoryW(dir.File(L"a").c_str(), nullptr));
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(CreateDirectoryTree(dir.File(L"a\\b\\c\\"))) << "error " << GetLastError();
  EXPECT_TRUE(IsDirectory(dir.File(L"a\\b")));
  EXPECT_TRUE(IsDirectory(dir.File(L"a\\b\\c")));

  // Nothing exists below the scratch folder, and no trailing backslash.
  EXPECT_TRUE(CreateDirectoryTree(dir.File(L"x\\y\\z")));
  EXPECT_TRUE(IsDirectory(dir.File(L"x\\y\\z")));
}

TEST(CreateDirectoryTree, ExistingDirectoryIsSuccess) {
  test::ScratchDir dir(L"tree");
  ASSERT_TRUE(CreateDirectoryW(dir.File(L"here").c_str(), nullptr));
  for (const std::wstring& path : {dir.File(L"here"), dir.File(L"here\\"), dir.Path()}) {
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CreateDirectoryTree(path)) << Narrow(path);
    // Nothing was attempted: a CreateDirectoryW would have left 183.
    EXPECT_EQ(0xdeadbeefu, GetLastError()) << Narrow(path);
  }
}

TEST(CreateDirectoryTree, FileInTheWayFails) {
  test::ScratchDir dir(L"tree");
  test::WriteFileBytes(dir.File(L"f"), "keep");
  EXPECT_FALSE(CreateDirectoryTree(dir.File(L"f")));
  EXPECT_FALSE(CreateDirectoryTree(dir.File(L"f\\")));
  EXPECT_FALSE(CreateDirectoryTree(dir.File(L"f\\sub\\deeper")));
  EXPECT_EQ("keep", test::ReadFileBytes(dir.File(L"f")));
  EXPECT_FALSE(IsDirectory(dir.File(L"f")));
}

TEST(CreateDirectoryTree, NothingToCreateOnFails) {
  EXPECT_FALSE(CreateDirectoryTree(L""));
  EXPECT_FALSE(Exists(L"Q:\\"));  // the prefix maps only C: and Z:
  EXPECT_FALSE(CreateDirectoryTree(L"Q:\\a\\b"));
  EXPECT_FALSE(CreateDirectoryTree(L"Q:"));
}

TEST(CreateDirectoryTree, RelativePathsStartAtTheCurrentFolder) {
  test::ScratchDir dir(L"tree");
  wchar_t saved[MAX_PATH];
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, saved));
  ASSERT_TRUE(SetCurrentDirectoryW(dir.Path().c_str()));
  const bool made = CreateDirectoryTree(L"rel\\a\\b");
  SetCurrentDirectoryW(saved);
  EXPECT_TRUE(made);
  EXPECT_TRUE(IsDirectory(dir.File(L"rel\\a\\b")));
}

TEST(CreateDirectoryTree, PathsBeyond260Characters) {
  test::ScratchDir dir(L"tree");
  const std::wstring component(40, L'd');
  for (const wchar_t* top : {L"plain", L"prefixed"}) {
    std::wstring path = dir.File(top);
    while (path.size() < 320) path += L"\\" + component;
    if (std::wstring(top) == L"prefixed") path = LongPathForm(path);
    ASSERT_GE(path.size(), 320u);
    EXPECT_TRUE(CreateDirectoryTree(path)) << top << ", " << path.size() << " chars";
    EXPECT_TRUE(IsDirectory(LongPathForm(path))) << top;
    // Every level was made, not only the last.
    const std::wstring middle = path.substr(0, path.find(component) + component.size());
    EXPECT_TRUE(IsDirectory(middle)) << Narrow(middle);
  }
}

TEST(IsDirectory, TellsDirectoriesFromEverythingElse) {
  test::ScratchDir dir(L"isdir");
  test::WriteFileBytes(dir.File(L"file"), "x");
  ASSERT_TRUE(CreateDirectoryW(dir.File(L"sub").c_str(), nullptr));
  struct Case {
    std::wstring path;
    bool directory;
  } cases[] = {
      {dir.Path(), true},           {dir.File(L"sub"), true},      {dir.File(L"sub\\"), true},
      {dir.File(L"file"), false},   {dir.File(L"missing"), false}, {L"", false},
      {L"C:\\", true},              {LongPathForm(dir.File(L"sub")), true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.directory, IsDirectory(c.path)) << Narrow(c.path);
}

// The ANSI retry must not find a different folder whose name the code page
// only approximates (a fullwidth letter would become its ASCII look-alike).
TEST(IsDirectory, AnsiRetryDoesNotMatchLookAlikes) {
  const std::wstring fullwidthA = L"\xFF41";
  char narrow[8] = {};
  const int bytes =
      WideCharToMultiByte(CP_THREAD_ACP, 0, fullwidthA.c_str(), -1, narrow, 8, nullptr, nullptr);
  if (bytes != 2 || narrow[0] != 'a')
    GTEST_SKIP() << "the thread code page " << GetACP() << " has no best fit for U+FF41";
  test::ScratchDir dir(L"isdir");
  ASSERT_TRUE(CreateDirectoryW(dir.File(L"a").c_str(), nullptr));
  ASSERT_TRUE(IsDirectory(dir.File(L"a")));
  EXPECT_FALSE(IsDirectory(dir.File(fullwidthA)));
}

// Another process holding a file open, until Release or destruction.
class Holder {
 public:
  Holder(const std::wstring& file, DWORD share,
         const std::wstring& program = test::BinPath(L"system_probe.exe")) {
    static int counter = 0;
    const std::wstring base = L"system-paths-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter);
    const std::wstring readyName = base + L"-ready", releaseName = base + L"-release";
    ready_.Reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    release_.Reset(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    wchar_t shareText[16];
    wsprintfW(shareText, L"%lx", share);
    std::wstring cmd = L"\"" + program + L"\" hold \"" + file + L"\" " +
                       shareText + L" " + readyName + L" " + releaseName;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!ready_ || !release_ ||
        !CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return;
    CloseHandle(pi.hThread);
    process_.Reset(pi.hProcess);
    HANDLE waits[2] = {ready_.Get(), process_.Get()};
    holding_ = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool Holding() const { return holding_; }
  // Lets the holder close the file and end; its exit code (0 when it held).
  DWORD Release() {
    DWORD code = 0xFFFFFFFF;
    if (!process_) return code;
    SetEvent(release_.Get());
    if (WaitForSingleObject(process_.Get(), 30000) != WAIT_OBJECT_0)
      TerminateProcess(process_.Get(), 0xFFFFFFFF);
    GetExitCodeProcess(process_.Get(), &code);
    process_.Reset();
    holding_ = false;
    return code;
  }

 private:
  ScopedKernelHandle ready_, release_, process_;
  bool holding_ = false;
};

TEST(IsFileLocked, TrueWhileAnotherProcessHoldsTheFile) {
  test::ScratchDir dir(L"locked");
  std::wstring deep = dir.Path();
  while (deep.size() < 280) deep += L"\\" + std::wstring(40, L'd');
  ASSERT_TRUE(CreateDirectoryTree(deep));
  const std::wstring files[] = {dir.File(L"TagmindEngineMMLib.dll"),
                                LongPathForm(deep + L"\\TagmindEngineMMLib.dll")};
  // Every holder blocks an exclusive write open, whatever it shares.
  const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
  for (const std::wstring& file : files) {
    test::WriteFileBytes(file, "plug-in bytes");
    for (DWORD share : shares) {
      Holder holder(file, share);
      ASSERT_TRUE(holder.Holding()) << "share 0x" << std::hex << share << ", " << Narrow(file);
      EXPECT_TRUE(IsFileLocked(file)) << "share 0x" << std::hex << share << ", " << Narrow(file);
      EXPECT_EQ(0u, holder.Release());
      EXPECT_FALSE(IsFileLocked(file)) << "after release, share 0x" << std::hex << share;
    }
    EXPECT_EQ("plug-in bytes", test::ReadFileBytes(file));
  }
}

// The plug-in held as a loaded image by a running program: a program's own
// file stands in for it.
TEST(IsFileLocked, TrueForTheImageOfARunningProgram) {
  test::ScratchDir dir(L"locked");
  const std::wstring program = dir.File(L"holder.exe");
  ASSERT_TRUE(CopyFileW(test::BinPath(L"system_probe.exe").c_str(), program.c_str(), FALSE));
  test::WriteFileBytes(dir.File(L"other"), "x");
  {
    Holder holder(dir.File(L"other"), FILE_SHARE_READ, program);
    ASSERT_TRUE(holder.Holding());
    EXPECT_TRUE(IsFileLocked(program));
  }
  EXPECT_FALSE(IsFileLocked(program)) << "after the program ended";
}

TEST(IsFileLocked, FalseForEverythingElse) {
  test::ScratchDir dir(L"locked");
  test::WriteFileBytes(dir.File(L"free"), "free bytes");
  // Windows refuses the write open of a read-only file (access denied);
  // Wine run as root opens it. The refusal itself is injected below.
  test::WriteFileBytes(dir.File(L"readonly"), "ro");
  ASSERT_TRUE(SetFileAttributesW(dir.File(L"readonly").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryW(dir.File(L"folder").c_str(), nullptr));
  const std::wstring cases[] = {dir.File(L"free"), dir.File(L"readonly"), dir.File(L"folder"),
                                dir.File(L"missing"), L""};
  for (const std::wstring& path : cases) EXPECT_FALSE(IsFileLocked(path)) << Narrow(path);
  EXPECT_EQ("free bytes", test::ReadFileBytes(dir.File(L"free")));
  EXPECT_EQ("ro", test::ReadFileBytes(dir.File(L"readonly")));
}

DWORD injectedError = 0;
int injectedOpens = 0;

HANDLE WINAPI RefusingCreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE) {
  ++injectedOpens;
  SetLastError(injectedError);
  return INVALID_HANDLE_VALUE;
}

// Only a sharing violation means "in use"; every other refusal of the write
// open is a plain no.
TEST(IsFileLocked, OnlyASharingViolationCounts) {
  test::ScratchDir dir(L"locked");
  test::WriteFileBytes(dir.File(L"file"), "bytes");
  test::ScopedSeams seams;
  Seams().CreateFileW = RefusingCreateFileW;
  struct Case {
    DWORD error;
    bool locked;
  } cases[] = {
      {ERROR_SHARING_VIOLATION, true},  {ERROR_ACCESS_DENIED, false},
      {ERROR_LOCK_VIOLATION, false},    {ERROR_WRITE_PROTECT, false},
      {ERROR_FILE_NOT_FOUND, false},    {ERROR_INVALID_PARAMETER, false},
  };
  for (const Case& c : cases) {
    injectedError = c.error;
    injectedOpens = 0;
    EXPECT_EQ(c.locked, IsFileLocked(dir.File(L"file"))) << "open refused with " << c.error;
    EXPECT_EQ(1, injectedOpens) << "error " << c.error;
  }
  // Missing files and folders are answered before any open.
  injectedError = ERROR_SHARING_VIOLATION;
  injectedOpens = 0;
  EXPECT_FALSE(IsFileLocked(dir.File(L"missing")));
  EXPECT_FALSE(IsFileLocked(dir.Path()));
  EXPECT_EQ(0, injectedOpens);
}

}  // namespace
