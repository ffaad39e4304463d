// The plug-in is never lost: every copy over it has a backup behind it, a
// copy that fails after it may have written is undone, and a copy that
// "succeeds" is read back. Faults are real where Wine can make them (a full
// disk is a small tmpfs mounted as drive E: by the harness) and injected
// through the copy seam where it cannot (a copy that reports success over
// the wrong bytes, a failure without an error code).

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "install/payload.h"
#include "install/replace.h"
#include "manager_fixture.h"
#include "product_install.h"
#include "system/seams.h"
#include "test_support.h"
#include "updater_driver.h"

namespace {

const wchar_t kPluginName[] = L"TagmindEngineMMLib.dll";

using test::Narrow;

std::vector<std::wstring> Entries(const std::wstring& folder, const wchar_t* pattern = L"*") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = fd.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return names;
}

std::string Listing(const std::vector<std::wstring>& names) {
  std::string out;
  for (const std::wstring& n : names) out += " " + Narrow(n);
  return out;
}

using test::LastWrite;

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring path(buffer, n);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// ScratchDir (and so ProductInstallation) takes its parent from the
// temporary-files folder, and a child process inherits it; TMP and TEMP
// point elsewhere while this lives.
class TempFolderAt {
 public:
  explicit TempFolderAt(const wchar_t* folder) : tmp_(Get(L"TMP")), temp_(Get(L"TEMP")) {
    SetEnvironmentVariableW(L"TMP", folder);
    SetEnvironmentVariableW(L"TEMP", folder);
  }
  ~TempFolderAt() {
    SetEnvironmentVariableW(L"TMP", tmp_.empty() ? nullptr : tmp_.c_str());
    SetEnvironmentVariableW(L"TEMP", temp_.empty() ? nullptr : temp_.c_str());
  }

 private:
  static std::wstring Get(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    value.resize(GetEnvironmentVariableW(name, &value[0], 32768));
    return value;
  }
  std::wstring tmp_, temp_;
};

using test::FreeOnSmallDisk;
using test::LeaveRoomOnSmallDisk;

// Bytes that are neither the old plug-in's nor the payload's.
std::string Pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

// ---------------------------------------------------------------------------
// The decisions

TEST(RollbackDecisions, WhichCopiesAreUndone) {
  struct Case {
    bool copied;
    DWORD error;
    bool holdsSource;
    HRESULT result;
    bool putBack;
  } cases[] = {
      {true, 0, true, S_OK, false},
      {true, 0, false, kReplacementNotVerified, true},
      {false, ERROR_SHARING_VIOLATION, false, static_cast<HRESULT>(0x80070020), false},
      {false, ERROR_LOCK_VIOLATION, false, static_cast<HRESULT>(0x80070021), false},
      {false, ERROR_DISK_FULL, false, static_cast<HRESULT>(0x80070070), true},
      {false, ERROR_HANDLE_DISK_FULL, false, static_cast<HRESULT>(0x80070027), true},
      {false, ERROR_ACCESS_DENIED, false, static_cast<HRESULT>(0x80070005), true},
      {false, ERROR_WRITE_FAULT, false, static_cast<HRESULT>(0x8007001D), true},
      // A refusal without a code must not read as success.
      {false, 0, false, E_FAIL, true},
  };
  for (const Case& c : cases) {
    const CopyVerdict v = JudgeCopy(c.copied, c.error, c.holdsSource);
    EXPECT_EQ(c.result, v.result) << std::hex << "copied " << c.copied << " error " << c.error
                                  << " gives 0x" << v.result;
    EXPECT_EQ(c.putBack, v.putBack) << "copied " << c.copied << " error " << c.error;
  }
  EXPECT_EQ(static_cast<HRESULT>(0x80070570), kReplacementNotVerified);
}

TEST(RollbackDecisions, TheBackupLivesBesideTheSource) {
  const std::wstring deep(250, L'd');
  struct Case {
    std::wstring source, target, backup;
  } cases[] = {
      {L"C:\\Temp\\Norlek.tmp\\TagmindEngineMMLib.dll", L"D:\\Product\\TagmindEngineMMLib.dll",
       L"C:\\Temp\\Norlek.tmp\\TagmindEngineMMLib.dll.old"},
      {L"\\\\?\\C:\\" + deep + L"\\TagmindEngineMMLib.dll", L"D:\\P\\TagmindEngineMMLib.dll",
       L"\\\\?\\C:\\" + deep + L"\\TagmindEngineMMLib.dll.old"},
      // Reaching 260 characters only with the backup's own name: the long form.
      {L"C:\\" + deep + L"\\x.dll", L"D:\\P\\TagmindEngineMMLib.dll",
       L"\\\\?\\C:\\" + deep + L"\\TagmindEngineMMLib.dll.old"},
      // No folder to put it in, or no name to give it: no backup, so no copy.
      {L"TagmindEngineMMLib.dll", L"D:\\P\\TagmindEngineMMLib.dll", L""},
      {L"\\TagmindEngineMMLib.dll", L"D:\\P\\TagmindEngineMMLib.dll", L""},
      {L"C:\\T\\TagmindEngineMMLib.dll", L"D:\\P\\", L""},
      {L"C:\\T\\TagmindEngineMMLib.dll", L"TagmindEngineMMLib.dll", L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.backup, BackupPathFor(c.source, c.target)) << Narrow(c.source);
}

// ---------------------------------------------------------------------------
// One replacement: the expanded file in a working folder of its own, the
// plug-in in a product folder of its own (on the small disk when asked).

class RollbackTest : public ::testing::Test {
 protected:
  explicit RollbackTest(const wchar_t* productParent = nullptr,
                        const wchar_t* workParent = nullptr) {
    {
      std::unique_ptr<TempFolderAt> at(workParent ? new TempFolderAt(workParent) : nullptr);
      work_.reset(new test::ScratchDir(L"work"));
    }
    {
      std::unique_ptr<TempFolderAt> at(productParent ? new TempFolderAt(productParent) : nullptr);
      product_.reset(new test::ScratchDir(L"product"));
    }
    source_ = work_->File(kPluginName);
    target_ = product_->File(kPluginName);
  }
  void Prepare(const std::string& payload, const std::string& plugin) {
    payload_ = payload;
    original_ = plugin;
    test::WriteFileBytes(source_, payload_);
    test::WriteFileBytes(target_, original_);
    // An old time, so that a put-back plug-in shows that it got its own back.
    FILETIME old = {0xD53E8000u, 0x01C8E0A1u};
    HANDLE h = CreateFileW(target_.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    SetFileTime(h, &old, &old, &old);
    CloseHandle(h);
    originalTime_ = LastWrite(target_);
  }
  HRESULT Replace(bool* flag) {
    bool restart = true;  // cleared on entry
    const HRESULT hr = ReplaceTargetFile(source_, target_, restart);
    *flag = restart;
    return hr;
  }
  std::string TargetBytes() const { return test::ReadFileBytes(target_); }
  void ExpectOriginal() const {
    EXPECT_TRUE(TargetBytes() == original_)
        << "the plug-in holds " << TargetBytes().size() << " bytes that are not its own";
    EXPECT_EQ(originalTime_, LastWrite(target_)) << "not the plug-in's own last-write time";
  }
  void ExpectPayload() const {
    EXPECT_TRUE(TargetBytes() == payload_) << "the plug-in is not the payload";
  }
  // Nothing of the replacement stays: the working folder holds the source
  // only, the product folder the plug-in only.
  void ExpectNoBackupLeft() const {
    EXPECT_EQ(std::vector<std::wstring>{kPluginName}, Entries(work_->Path()))
        << Listing(Entries(work_->Path()));
    EXPECT_EQ(std::vector<std::wstring>{kPluginName}, Entries(product_->Path()))
        << Listing(Entries(product_->Path()));
  }

  std::unique_ptr<test::ScratchDir> work_, product_;
  std::wstring source_, target_;
  std::string payload_, original_;
  ULONGLONG originalTime_ = 0;
};

// Copies that Wine does not make: each writes what a faulty copy would leave.
int g_copyCalls = 0;
BOOL WINAPI RealCopy(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  ++g_copyCalls;
  return ::CopyFileW(from, to, failIfExists);
}
BOOL WINAPI RefusedUntouched(LPCWSTR, LPCWSTR, BOOL) {
  ++g_copyCalls;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI HalfWrittenThenDiskFull(LPCWSTR from, LPCWSTR to, BOOL) {
  ++g_copyCalls;
  const std::string bytes = test::ReadFileBytes(from);
  test::WriteFileBytes(to, bytes.substr(0, bytes.size() / 2));
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}
// A copy refused by its write into a range the holder has locked: part of
// the file may already be new.
BOOL WINAPI HalfWrittenThenLocked(LPCWSTR from, LPCWSTR to, BOOL) {
  ++g_copyCalls;
  const std::string bytes = test::ReadFileBytes(from);
  test::WriteFileBytes(to, bytes.substr(0, bytes.size() / 2));
  SetLastError(ERROR_LOCK_VIOLATION);
  return FALSE;
}
BOOL WINAPI TruncatedWithoutCode(LPCWSTR, LPCWSTR to, BOOL) {
  ++g_copyCalls;
  test::WriteFileBytes(to, "");
  SetLastError(0);
  return FALSE;
}
BOOL WINAPI SucceedsWithOtherBytes(LPCWSTR from, LPCWSTR to, BOOL) {
  ++g_copyCalls;
  test::WriteFileBytes(to, Pattern(test::ReadFileBytes(from).size(), 'X'));
  SetLastError(0xdeadbeef);
  return TRUE;
}
BOOL WINAPI SucceedsOneByteShort(LPCWSTR from, LPCWSTR to, BOOL) {
  ++g_copyCalls;
  const std::string bytes = test::ReadFileBytes(from);
  test::WriteFileBytes(to, bytes.substr(0, bytes.size() - 1));
  return TRUE;
}

TEST_F(RollbackTest, EachCopyOutcomeLeavesOldOrNewBytes) {
  struct Case {
    const char* what;
    decltype(&::CopyFileW) copy;
    HRESULT result;
    bool replaced;  // else the original is expected
  } cases[] = {
      {"a real copy", RealCopy, S_OK, true},
      {"refused before writing", RefusedUntouched, static_cast<HRESULT>(0x80070005), false},
      {"half written, then the disk is full", HalfWrittenThenDiskFull,
       static_cast<HRESULT>(0x80070070), false},
      {"emptied, then refused without a code", TruncatedWithoutCode, E_FAIL, false},
      // In use, but no service to stop: the cycle ends before its own copy.
      {"half written, then a locked range", HalfWrittenThenLocked,
       static_cast<HRESULT>(0x80070021), false},
      {"success over other bytes", SucceedsWithOtherBytes, kReplacementNotVerified, false},
      {"success one byte short", SucceedsOneByteShort, kReplacementNotVerified, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
    test::ScopedSeams seams;
    Seams().CopyFileW = c.copy;
    g_copyCalls = 0;
    bool flag;
    const HRESULT hr = Replace(&flag);
    EXPECT_EQ(c.result, hr) << std::hex << "0x" << hr;
    EXPECT_FALSE(flag);
    EXPECT_EQ(1, g_copyCalls) << "one copy, no service cycle";
    if (c.replaced) {
      ExpectPayload();
    } else {
      ExpectOriginal();
    }
    ExpectNoBackupLeft();
  }
}

TEST_F(RollbackTest, WithoutBackupThePluginIsNotTouched) {
  Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
  test::ScopedSeams seams;
  Seams().CopyFileW = RealCopy;
  {
    SCOPED_TRACE("a file of the backup's name is there already");
    const std::wstring planted = work_->File(std::wstring(kPluginName) + L".old");
    test::WriteFileBytes(planted, "planted");
    g_copyCalls = 0;
    bool flag;
    EXPECT_EQ(static_cast<HRESULT>(0x80070050), Replace(&flag)) << "ERROR_FILE_EXISTS";
    EXPECT_EQ(0, g_copyCalls);
    ExpectOriginal();
    EXPECT_EQ("planted", test::ReadFileBytes(planted)) << "not this run's file to change";
    ASSERT_TRUE(DeleteFileW(planted.c_str()));
  }
  {
    SCOPED_TRACE("no plug-in to keep");
    ASSERT_TRUE(DeleteFileW(target_.c_str()));
    g_copyCalls = 0;
    bool flag;
    EXPECT_EQ(static_cast<HRESULT>(0x80070002), Replace(&flag));
    EXPECT_EQ(0, g_copyCalls);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(target_.c_str()));
    EXPECT_EQ(std::vector<std::wstring>{kPluginName}, Entries(work_->Path()));
  }
}

// ---------------------------------------------------------------------------
// A real full disk (TAGMIND_SMALL_DISK).

class RollbackOnFullDisk : public RollbackTest {
 protected:
  RollbackOnFullDisk() : RollbackTest(L"E:\\") {}
  ~RollbackOnFullDisk() override { DeleteFileW(L"E:\\filler"); }
};

// The copy as the platform makes it, with the target as the copy left it.
std::string g_afterCopy;
BOOL WINAPI CopyAndLook(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  const BOOL ok = ::CopyFileW(from, to, failIfExists);
  const DWORD error = GetLastError();
  g_afterCopy = test::ReadFileBytes(to);
  SetLastError(error);
  return ok;
}

TEST_F(RollbackOnFullDisk, TruncatedPluginIsPutBack) {
  ASSERT_EQ(0u, target_.rfind(L"E:\\", 0)) << Narrow(target_);
  Prepare(test::ReadFileBytes(test::PayloadLibrary(130)),
          test::ReadFileBytes(test::PluginFixture(L"3.7.0.0")));
  ASSERT_EQ(278528u, payload_.size());
  // The payload does not fit, not even in the room that the old plug-in frees.
  LeaveRoomOnSmallDisk(100 * 1024);
  ASSERT_LT(FreeOnSmallDisk() + original_.size(), payload_.size());
  test::ScopedSeams seams;
  Seams().CopyFileW = CopyAndLook;
  bool flag;
  const HRESULT hr = Replace(&flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070070), hr) << std::hex << "0x" << hr;
  EXPECT_FALSE(flag);
  // The fault is real: the copy emptied the plug-in before it gave up.
  EXPECT_FALSE(g_afterCopy == original_) << "the copy left the plug-in as it was";
  EXPECT_FALSE(g_afterCopy == payload_);
  ExpectOriginal();
  ExpectNoBackupLeft();
}

// The working folder on the small disk: the expanded file is there, but the
// plug-in's bytes are not allowed room beside it.
class BackupOnFullDisk : public RollbackTest {
 protected:
  BackupOnFullDisk() : RollbackTest(nullptr, L"E:\\") {}
  ~BackupOnFullDisk() override { DeleteFileW(L"E:\\filler"); }
};

TEST_F(BackupOnFullDisk, NoRoomForTheBackupMeansNoCopy) {
  ASSERT_EQ(0u, source_.rfind(L"E:\\", 0)) << Narrow(source_);
  Prepare(test::ReadFileBytes(test::PayloadLibrary(131)), Pattern(300000, 'O'));
  LeaveRoomOnSmallDisk(100 * 1024);
  test::ScopedSeams seams;
  Seams().CopyFileW = RealCopy;
  g_copyCalls = 0;
  bool flag;
  const HRESULT hr = Replace(&flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070070), hr) << std::hex << "0x" << hr;
  EXPECT_EQ(0, g_copyCalls) << "the plug-in was offered to a copy without a backup";
  ExpectOriginal();
  ExpectNoBackupLeft();  // the partial backup is this run's own: removed
}

// ---------------------------------------------------------------------------
// The service cycle keeps its results, the second copy included.

class RollbackCycle : public RollbackTest {
 protected:
  explicit RollbackCycle(const wchar_t* productParent = nullptr)
      : RollbackTest(productParent), logs_(L"logs") {}
  test::ManagerBehaviour Behaviour() const {
    test::ManagerBehaviour b;
    b.logFile = logs_.File(L"mgr.log");
    b.heldFile = target_;
    b.holdSharesRead = true;  // as a loaded library: readable, not writable
    return b;
  }
  void CompanionInUse() { companion_.reset(new test::CompanionInUse(logs_)); }
  // The cycle's start request was made: the service runs again, started
  // twice in all.
  static void ExpectStartedAgain(const test::ManagerFixture& m) {
    EXPECT_TRUE(m.WaitForState(SERVICE_RUNNING, 10000)) << "start requested";
    EXPECT_EQ(2u, Starts(m)) << m.Log();
  }
  static size_t Starts(const test::ManagerFixture& m) {
    const std::string log = m.Log();
    size_t n = 0;
    for (size_t at = log.find("started\r\n"); at != std::string::npos;
         at = log.find("started\r\n", at + 1))
      if (at == 0 || log[at - 1] == '\n') ++n;
    return n;
  }
  // Declared before the manager in each test, so the service lets go of the
  // files before the folders go.
  test::ScratchDir logs_;
  std::unique_ptr<test::CompanionInUse> companion_;
};

class RollbackCycleOnFullDisk : public RollbackCycle {
 protected:
  RollbackCycleOnFullDisk() : RollbackCycle(L"E:\\") {}
  ~RollbackCycleOnFullDisk() override { DeleteFileW(L"E:\\filler"); }
};

TEST_F(RollbackCycleOnFullDisk, SecondCopyOnFullDiskIsUndoneAndTheServiceRestarted) {
  Prepare(test::ReadFileBytes(test::PayloadLibrary(130)),
          test::ReadFileBytes(test::PluginFixture(L"3.7.0.0")));
  LeaveRoomOnSmallDisk(100 * 1024);
  test::ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  bool flag;
  const HRESULT hr = Replace(&flag);
  EXPECT_EQ(static_cast<HRESULT>(0x80070070), hr) << std::hex << "0x" << hr;
  EXPECT_TRUE(flag) << "the companion was in use and the cycle reached the second copy";
  ExpectStartedAgain(manager);
  ExpectOriginal();
  ExpectNoBackupLeft();
}

TEST_F(RollbackCycle, HolderThatRefusesReadersIsBackedUpOnceStopped) {
  // Held without any sharing: not even the backup can read it until the
  // service has stopped; the cycle runs as for a refused copy.
  Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
  test::ManagerBehaviour b = Behaviour();
  b.holdSharesRead = false;
  {
    test::ManagerFixture manager(b);
    ASSERT_TRUE(manager.Ready()) << manager.Error();
    bool flag;
    const HRESULT hr = Replace(&flag);
    EXPECT_EQ(S_OK, hr) << std::hex << "0x" << hr;
    EXPECT_FALSE(flag);
    ExpectStartedAgain(manager);
  }
  // Started again, the service holds the new file as exclusively as the old.
  ExpectPayload();
  ExpectNoBackupLeft();
}

// The service keeps a byte-range lock on the plug-in while it runs, so that
// nobody else can read it (Wine keeps such locks but never enforces them on
// reads, so the refusal is injected for reads of that very file).
FileIdentity g_lockedFile;
int g_lockedReads = 0;
BOOL WINAPI ReadRefusedWhileServiceRuns(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD got,
                                        LPOVERLAPPED overlapped) {
  BY_HANDLE_FILE_INFORMATION info = {};
  SERVICE_STATUS_PROCESS status;
  if (GetFileInformationByHandle(file, &info) && IsSameWorkingFile(info, g_lockedFile) &&
      test::QueryManagerStatus(status) && status.dwCurrentState != SERVICE_STOPPED) {
    ++g_lockedReads;
    *got = 0;
    SetLastError(ERROR_LOCK_VIOLATION);
    return FALSE;
  }
  return ::ReadFile(file, buffer, wanted, got, overlapped);
}

TEST_F(RollbackCycle, PluginLockedAgainstReadersIsBackedUpOnceStopped) {
  // The backup's first attempt fails half-way as in use; the one after the
  // stop must start afresh rather than trip over the first one's file.
  Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
  {
    HANDLE h = CreateFileW(target_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    CloseHandle(h);
    g_lockedFile = IdentityOf(info);
  }
  test::ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::ScopedSeams seams;
  Seams().ReadFile = ReadRefusedWhileServiceRuns;
  g_lockedReads = 0;
  bool flag;
  const HRESULT hr = Replace(&flag);
  EXPECT_EQ(S_OK, hr) << std::hex << "0x" << hr;
  EXPECT_EQ(1, g_lockedReads) << "one refused read, before the stop";
  EXPECT_FALSE(flag);
  ExpectStartedAgain(manager);
  ExpectPayload();
  ExpectNoBackupLeft();
}

// The first copy is the platform's (refused: the service holds the file),
// the second one reports success over other bytes.
BOOL WINAPI RealThenOtherBytes(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  if (++g_copyCalls == 1) return ::CopyFileW(from, to, failIfExists);
  test::WriteFileBytes(to, Pattern(test::ReadFileBytes(from).size(), 'X'));
  return TRUE;
}

TEST_F(RollbackCycle, UnverifiedSecondCopyIsUndoneAndTheServiceRestarted) {
  Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
  test::ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  CompanionInUse();
  test::ScopedSeams seams;
  Seams().CopyFileW = RealThenOtherBytes;
  g_copyCalls = 0;
  bool flag;
  const HRESULT hr = Replace(&flag);
  EXPECT_EQ(kReplacementNotVerified, hr) << std::hex << "0x" << hr;
  EXPECT_EQ(2, g_copyCalls);
  EXPECT_TRUE(flag);
  ExpectStartedAgain(manager);
  ExpectOriginal();
  ExpectNoBackupLeft();
}

// Memory runs out while the service is stopped (any allocation of the
// second copy's way could throw; the copy itself stands in for it).
BOOL WINAPI RealThenOutOfMemory(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  if (++g_copyCalls == 1) return ::CopyFileW(from, to, failIfExists);
  throw std::bad_alloc();
}

TEST_F(RollbackCycle, ExhaustedMemoryAfterTheStopStillRestartsTheService) {
  Prepare(Pattern(70000, 'N'), Pattern(50000, 'O'));
  test::ManagerFixture manager(Behaviour());
  ASSERT_TRUE(manager.Ready()) << manager.Error();
  test::ScopedSeams seams;
  Seams().CopyFileW = RealThenOutOfMemory;
  g_copyCalls = 0;
  bool flag;
  EXPECT_THROW(Replace(&flag), std::bad_alloc);
  EXPECT_EQ(2, g_copyCalls);
  ExpectStartedAgain(manager);
  ExpectOriginal();
  ExpectNoBackupLeft();
}

// ---------------------------------------------------------------------------
// The real updater (the test vehicle) end to end on a full disk.

void ExpectFailureBox(const test::UpdaterRun& run, const std::wstring& code) {
  EXPECT_EQ(0u, run.exitCode);
  ASSERT_EQ(1u, run.boxes.size()) << "message boxes seen";
  const std::wstring prefix = L"Update failed.\r\n(code = 0x";
  const std::wstring& text = run.boxes[0].text;
  EXPECT_EQ(0u, text.rfind(prefix, 0)) << Narrow(text);
  if (!code.empty()) {
    EXPECT_EQ(prefix + code + L")", text) << Narrow(text);
  }
  EXPECT_TRUE(run.boxes[0].iconShown);
  ASSERT_EQ(1u, run.calls.size());
  EXPECT_EQ("MessageBoxW", run.calls[0].function);
  ASSERT_EQ(4u, run.calls[0].args.size());
  EXPECT_EQ(static_cast<unsigned long long>(MB_ICONERROR), run.calls[0].args[3]);
}

void ExpectNoPatchRecord() {
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_32KEY));
  EXPECT_FALSE(test::MachineKeyExists(test::kPatchRecordKey, KEY_WOW64_64KEY));
}

TEST(RollbackRun, FullProductDiskKeepsThePlugin) {
  std::unique_ptr<test::ProductInstallation> product;
  {
    TempFolderAt onSmallDisk(L"E:\\");
    product.reset(new test::ProductInstallation(L"3.7.0.0"));
  }
  ASSERT_EQ(0u, product->PluginPath().rfind(L"E:\\", 0)) << Narrow(product->PluginPath());
  const ULONGLONG originalTime = product->PluginLastWrite();
  LeaveRoomOnSmallDisk(100 * 1024);
  const test::UpdaterRun run = test::RunUpdater();
  ExpectFailureBox(run, L"80070070");
  EXPECT_TRUE(product->PluginBytes() == product->OriginalBytes()) << "the plug-in was changed";
  EXPECT_EQ(originalTime, product->PluginLastWrite());
  ExpectNoPatchRecord();
  EXPECT_EQ(std::vector<std::wstring>{kPluginName}, Entries(product->Folder()))
      << Listing(Entries(product->Folder()));
  EXPECT_TRUE(Entries(TempFolder(), L"Norlek*").empty()) << Listing(Entries(TempFolder(), L"Norlek*"));
  DeleteFileW(L"E:\\filler");
}

TEST(RollbackRun, FullTemporaryDiskKeepsThePlugin) {
  // The updater's temporary-files folder is the small disk (it inherits TMP
  // and TEMP). Either the expansion does not fit, or it fits and the
  // plug-in's backup does not (a plug-in bigger than the payload).
  struct Case {
    const char* what;
    size_t pluginSize;  // 0: the fixture as it is
    ULONGLONG room;
    const wchar_t* code;  // empty: any code
  } cases[] = {
      {"no room to expand", 0, 147398 + 65536, L""},
      {"no room for the backup", 300000, 500000, L"80070070"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ProductInstallation product(L"3.7.0.0");
    std::string original = product.OriginalBytes();
    if (c.pluginSize) {
      // Bytes after the image keep the version resource readable.
      original += std::string(c.pluginSize - original.size(), '\0');
      test::WriteFileBytes(product.PluginPath(), original);
    }
    LeaveRoomOnSmallDisk(c.room);
    test::UpdaterRun run;
    {
      TempFolderAt onSmallDisk(L"E:\\");
      run = test::RunUpdater();
    }
    ExpectFailureBox(run, c.code);
    EXPECT_TRUE(product.PluginBytes() == original) << "the plug-in was changed";
    ExpectNoPatchRecord();
    EXPECT_EQ(std::vector<std::wstring>{L"filler"}, Entries(L"E:"))
        << "left on the small disk:" << Listing(Entries(L"E:"));
    DeleteFileW(L"E:\\filler");
  }
}

}  // namespace
