// The working folder and its files against whatever else is in the
// temporary-files folder: planted folders, files and Unix links (made by
// plant_working_folder.sh before the program starts, one prefix per case),
// and other holders during the run. The program carries the updater's
// resources.

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "install/payload.h"
#include "product_install.h"
#include "run/process_values.h"
#include "system/seams.h"
#include "test_support.h"

namespace {

const wchar_t kVictims[] = L"C:\\victims";

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, n);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> NorlekEntries() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((TempFolder() + L"Norlek*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(fd.cFileName);
  while (FindNextFileW(find, &fd));
  FindClose(find);
  return names;
}

// Everything reachable under a path, links followed as Wine follows them:
// relative name -> content, "<dir>" or "<unreadable>".
using Snapshot = std::map<std::wstring, std::string>;

std::string ContentOf(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
  CloseHandle(h);
  return test::ReadFileBytes(path);
}

void TakeSnapshot(const std::wstring& path, const std::wstring& name, Snapshot* into) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    (*into)[name] = "<missing>";
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    (*into)[name] = ContentOf(path);
    return;
  }
  (*into)[name] = "<dir>";
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring child = fd.cFileName;
    if (child == L"." || child == L"..") continue;
    TakeSnapshot(path + L"\\" + child, name + L"\\" + child, into);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

Snapshot SnapshotOf(const std::wstring& path) {
  Snapshot s;
  TakeSnapshot(path, L"", &s);
  return s;
}

std::string Describe(const Snapshot& s) {
  std::string text;
  for (const auto& entry : s) {
    text += std::string(entry.first.begin(), entry.first.end()) + " = " +
            entry.second.substr(0, 40) + "\n";
  }
  return text;
}

using test::Narrow;

// What another holder can do with the run's files while the plug-in is
// copied, seen from inside the copy.
struct DuringCopy {
  int copies = 0;
  std::wstring source;
  std::wstring folder;  // ends in a backslash
  bool containerGone = false;
  DWORD writeOpen = 0;    // error of a write open
  DWORD deleteOpen = 0;   // error of an open for deletion
  DWORD deleteFile = 0;   // error of DeleteFileW
  DWORD moveFile = 0;     // error of MoveFileW of the file
  DWORD moveFolder = 0;   // error of MoveFileW of the folder
  bool readerOpens = false;
};
DuringCopy* g_during = nullptr;

DWORD ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }

DWORD OpenError(const std::wstring& path, DWORD access) {
  SetLastError(0xdeadbeef);
  HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

BOOL WINAPI ObservingCopy(LPCWSTR source, LPCWSTR target, BOOL failIfExists) {
  if (g_during && g_during->copies++ == 0) {
    DuringCopy& d = *g_during;
    d.source = source;
    d.folder = d.source.substr(0, d.source.find_last_of(L'\\') + 1);
    d.containerGone = !Exists(d.source + L".tmp");
    d.writeOpen = OpenError(d.source, GENERIC_WRITE);
    d.deleteOpen = OpenError(d.source, DELETE);
    SetLastError(0xdeadbeef);
    d.deleteFile = ErrorOf(DeleteFileW(source));
    SetLastError(0xdeadbeef);
    d.moveFile = ErrorOf(MoveFileW(source, (TempFolder() + L"moved-away.dll").c_str()));
    std::wstring folder = d.folder;
    folder.pop_back();
    SetLastError(0xdeadbeef);
    d.moveFolder = ErrorOf(MoveFileW(folder.c_str(), (TempFolder() + L"moved-folder").c_str()));
    HANDLE reader = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    d.readerOpens = reader != INVALID_HANDLE_VALUE;
    if (d.readerOpens) CloseHandle(reader);
  }
  return CopyFileW(source, target, failIfExists);
}

// An installed plug-in with old content, and a run whose copy is watched.
class RunFolder : public ::testing::Test {
 protected:
  RunFolder() : dir_(L"product") {
    process::ModuleHandle = GetModuleHandleW(nullptr);
    target_ = dir_.File(L"TagmindEngineMMLib.dll");
    test::WriteFileBytes(target_, std::string(4096, 'O'));
    process::TargetPath = target_;
    Seams().CopyFileW = ObservingCopy;
    g_during = &during_;
  }
  ~RunFolder() override {
    g_during = nullptr;
    process::TargetPath.clear();
  }

  bool PluginIsPayload(WORD id) const {
    return test::ReadFileBytes(target_) == test::ReadFileBytes(test::PayloadLibrary(id));
  }
  bool PluginUntouched() const { return test::ReadFileBytes(target_) == std::string(4096, 'O'); }

  test::ScopedSeams seams_;
  test::ScratchDir dir_;
  std::wstring target_;
  DuringCopy during_;
};

TEST_F(RunFolder, IsFreshAndClosedToOthersDuringTheCopy) {
  bool restart = true;
  ASSERT_EQ(S_OK, InstallPayload(131, restart));
  EXPECT_FALSE(restart);
  EXPECT_TRUE(PluginIsPayload(131));
  ASSERT_EQ(1, during_.copies);
  EXPECT_EQ(TempFolder() + L"Norlek.tmp\\", during_.folder) << "the free name is taken first";
  EXPECT_TRUE(during_.containerGone) << "the container outlived the expansion";
  // The expanded file is shared for reading only, and not for deletion;
  // the folder is held against renaming.
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), during_.writeOpen);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), during_.deleteOpen);
  EXPECT_NE(0u, during_.deleteFile) << "DeleteFileW of the expanded file succeeded";
  EXPECT_NE(0u, during_.moveFile) << "MoveFileW of the expanded file succeeded";
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), during_.moveFolder);
  EXPECT_TRUE(during_.readerOpens) << "a reader, as CopyFileW is, must get in";
  EXPECT_FALSE(Exists(TempFolder() + L"moved-away.dll"));
  EXPECT_FALSE(Exists(TempFolder() + L"moved-folder"));
  EXPECT_TRUE(NorlekEntries().empty()) << "left behind: " << Narrow(NorlekEntries().front());
}

TEST_F(RunFolder, TakenNameGivesAFreshSibling) {
  const std::wstring first = PrepareWorkingFolder();
  const std::wstring second = PrepareWorkingFolder();
  EXPECT_EQ(TempFolder() + L"Norlek.tmp\\", first);
  ASSERT_EQ(TempFolder().size() + 20, second.size()) << Narrow(second);
  EXPECT_EQ(0u, second.rfind(TempFolder() + L"Norlek-", 0)) << Narrow(second);
  EXPECT_EQ(second.size() - 5, second.rfind(L".tmp\\")) << Narrow(second);
  const std::wstring third = PrepareWorkingFolder();
  EXPECT_NE(second, third);
  for (const std::wstring& folder : {first, second, third}) {
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << Narrow(folder) << " missing or not empty";
  }
}

// The DACL read back as text, or why it could not be read.
std::wstring DaclText(const std::wstring& path, PSECURITY_DESCRIPTOR* keep = nullptr) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return L"<error " + std::to_wstring(rc) + L">";
  LPWSTR text = nullptr;
  std::wstring result = L"<unconvertible>";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    result = text;
    LocalFree(text);
  }
  if (keep) *keep = descriptor;
  else LocalFree(descriptor);
  return result;
}

PSECURITY_DESCRIPTOR g_folderDescriptor = nullptr;
std::wstring g_folderDacl, g_controlDacl;

BOOL WINAPI ReadingFolderSecurity(LPCWSTR source, LPCWSTR target, BOOL failIfExists) {
  std::wstring folder(source);
  folder.resize(folder.find_last_of(L'\\'));
  g_folderDacl = DaclText(folder, &g_folderDescriptor);
  return CopyFileW(source, target, failIfExists);
}

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

TEST_F(RunFolder, GrantsOnlySystemAndAdministrators) {
  // Wine keeps no descriptor of its own for a file: it turns the DACL into
  // Unix permissions and reads back what those mean (the owner standing in
  // for Administrators, no protection flag). What it does show is whether
  // anyone else was let in. A folder made the ordinary way beside it is the
  // control: the same reading must differ.
  const std::wstring control = TempFolder() + L"control";
  ASSERT_TRUE(CreateDirectoryW(control.c_str(), nullptr));
  g_controlDacl = DaclText(control);
  RemoveDirectoryW(control.c_str());
  Seams().CopyFileW = ReadingFolderSecurity;
  bool restart = false;
  ASSERT_EQ(S_OK, InstallPayload(130, restart));
  ASSERT_NE(nullptr, g_folderDescriptor) << Narrow(g_folderDacl);
  EXPECT_NE(g_controlDacl, g_folderDacl) << "the folder got the default security";

  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(g_folderDescriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl) << "no DACL: everyone may enter";
  PSID owner = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(g_folderDescriptor, &owner, &defaulted));
  bool systemHasAll = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, header->AceType) << Narrow(g_folderDacl);
    ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    EXPECT_TRUE(SidIs(sid, WinLocalSystemSid) || SidIs(sid, WinBuiltinAdministratorsSid) ||
                (owner && EqualSid(sid, owner)))
        << "ACE " << i << " lets in someone else: " << Narrow(g_folderDacl);
    if (SidIs(sid, WinLocalSystemSid)) {
      systemHasAll = (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS &&
                     (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                         (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    }
  }
  EXPECT_TRUE(systemHasAll) << Narrow(g_folderDacl);
  std::printf("working folder: %ls\ncontrol folder: %ls\n", g_folderDacl.c_str(),
              g_controlDacl.c_str());
  LocalFree(g_folderDescriptor);
}

// Windows XP has no SetFileInformationByHandle: the checked files and the
// folder are deleted by name instead.
int g_dispositionLookups = 0;
FARPROC WINAPI WithoutSetFileInformation(HMODULE module, LPCSTR name) {
  if (!IS_INTRESOURCE(name) && std::string(name) == "SetFileInformationByHandle") {
    ++g_dispositionLookups;
    return nullptr;
  }
  return GetProcAddress(module, name);
}

TEST_F(RunFolder, WithoutHandleDeletionTheNamesAreDeletedAfterTheCheck) {
  Seams().GetProcAddress = WithoutSetFileInformation;
  bool restart = false;
  EXPECT_EQ(S_OK, InstallPayload(130, restart));
  EXPECT_TRUE(PluginIsPayload(130));
  EXPECT_GE(g_dispositionLookups, 2) << "the expanded file and the folder";
  EXPECT_TRUE(NorlekEntries().empty()) << "left behind: " << Narrow(NorlekEntries().front());
}

FARPROC WINAPI WithoutLzCopy(HMODULE module, LPCSTR name) {
  if (!IS_INTRESOURCE(name) && std::string(name) == "LZCopy") return nullptr;
  return GetProcAddress(module, name);
}

TEST_F(RunFolder, WithoutTheLzLibraryNothingIsInstalled) {
  // The LZ functions are bound once per process: this case runs alone.
  Seams().GetProcAddress = WithoutLzCopy;
  bool restart = true;
  EXPECT_TRUE(FAILED(InstallPayload(130, restart)));
  EXPECT_TRUE(restart) << "the caller's flag is left as it was";
  EXPECT_TRUE(PluginUntouched());
  EXPECT_EQ(0, during_.copies);
  EXPECT_TRUE(NorlekEntries().empty()) << "left behind: " << Narrow(NorlekEntries().front());
}

// A run over what plant_working_folder.sh left: the planted things and the
// victims behind the links stay as they were, byte for byte, and the run
// works in a fresh sibling of its own that is gone afterwards.
class PlantedWorkingFolder : public RunFolder {
 protected:
  void RunOverPlanted() {
    const std::wstring planted = TempFolder() + L"Norlek.tmp";
    ASSERT_EQ(std::string("victim expanded\n"), ContentOf(std::wstring(kVictims) + L"\\expanded"))
        << "the harness planted nothing";
    const Snapshot victimsBefore = SnapshotOf(kVictims);
    const Snapshot plantedBefore = SnapshotOf(planted);
    const std::vector<std::wstring> entriesBefore = NorlekEntries();

    bool restart = true;
    EXPECT_EQ(S_OK, InstallPayload(130, restart));
    EXPECT_FALSE(restart);
    EXPECT_TRUE(PluginIsPayload(130)) << "the plug-in is not exactly the payload";

    EXPECT_EQ(victimsBefore, SnapshotOf(kVictims))
        << "before:\n" << Describe(victimsBefore) << "after:\n" << Describe(SnapshotOf(kVictims));
    EXPECT_EQ(plantedBefore, SnapshotOf(planted))
        << "before:\n" << Describe(plantedBefore) << "after:\n" << Describe(SnapshotOf(planted));
    EXPECT_EQ(entriesBefore, NorlekEntries()) << "the run's own folder was left behind";
    ASSERT_EQ(1, during_.copies);
    EXPECT_EQ(0u, during_.folder.rfind(TempFolder() + L"Norlek-", 0))
        << "copied from " << Narrow(during_.source);
    EXPECT_FALSE(Exists(during_.folder));
  }
};

TEST_F(PlantedWorkingFolder, FolderWithFilesIsLeftAlone) { RunOverPlanted(); }
TEST_F(PlantedWorkingFolder, FileOfTheFolderNameIsLeftAlone) { RunOverPlanted(); }
TEST_F(PlantedWorkingFolder, LinksInPlaceOfTheWorkingFilesAreNotFollowed) { RunOverPlanted(); }
TEST_F(PlantedWorkingFolder, FolderThatIsALinkIsNotFollowed) { RunOverPlanted(); }
TEST_F(PlantedWorkingFolder, DanglingLinkAsTheFolderIsNotFollowed) { RunOverPlanted(); }

// The checks behind every re-open and every deletion of a working file,
// first over plain values...
BY_HANDLE_FILE_INFORMATION Info(DWORD attributes, DWORD volume, DWORD high, DWORD low,
                                DWORD links) {
  BY_HANDLE_FILE_INFORMATION info = {};
  info.dwFileAttributes = attributes;
  info.dwVolumeSerialNumber = volume;
  info.nFileIndexHigh = high;
  info.nFileIndexLow = low;
  info.nNumberOfLinks = links;
  return info;
}

TEST(WorkingFiles, OnlyThePlainFileThisRunCreatedIsItsOwn) {
  FileIdentity created;
  created.volume = 0x1234;
  created.indexHigh = 1;
  created.indexLow = 77;
  struct Case {
    const char* what;
    BY_HANDLE_FILE_INFORMATION info;
    bool plain, same;
  } cases[] = {
      {"the file itself", Info(FILE_ATTRIBUTE_ARCHIVE, 0x1234, 1, 77, 1), true, true},
      {"normal attribute", Info(FILE_ATTRIBUTE_NORMAL, 0x1234, 1, 77, 1), true, true},
      {"another file", Info(FILE_ATTRIBUTE_ARCHIVE, 0x1234, 1, 78, 1), true, false},
      {"same low index, other high", Info(FILE_ATTRIBUTE_ARCHIVE, 0x1234, 2, 77, 1), true, false},
      {"another volume", Info(FILE_ATTRIBUTE_ARCHIVE, 0x4321, 1, 77, 1), true, false},
      {"a reparse point", Info(FILE_ATTRIBUTE_REPARSE_POINT, 0x1234, 1, 77, 1), false, false},
      {"a folder", Info(FILE_ATTRIBUTE_DIRECTORY, 0x1234, 1, 77, 1), false, false},
      {"a second name", Info(FILE_ATTRIBUTE_ARCHIVE, 0x1234, 1, 77, 2), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.plain, IsPlainSingleFile(c.info));
    EXPECT_EQ(c.same, IsSameWorkingFile(c.info, created));
  }
}

TEST(WorkingFolder, OnlyAPlainFolderIsHeld) {
  struct Case {
    const char* what;
    DWORD attributes;
    bool plain;
  } cases[] = {
      {"a folder", FILE_ATTRIBUTE_DIRECTORY, true},
      {"a folder with other attributes",
       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, true},
      {"a junction or a folder link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"a file", FILE_ATTRIBUTE_ARCHIVE, false},
      {"a file link", FILE_ATTRIBUTE_REPARSE_POINT, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.plain, IsPlainFolder(Info(c.attributes, 1, 0, 1, 1))) << c.what;
}

TEST(WorkingFolder, SiblingNames) {
  struct Case {
    const wchar_t* temp;
    DWORD unique;
    const wchar_t* folder;
  } cases[] = {
      {L"C:\\Temp\\", 0x0012ABCDu, L"C:\\Temp\\Norlek-0012ABCD.tmp\\"},
      {L"C:\\Temp", 0xFFFFFFFFu, L"C:\\Temp\\Norlek-FFFFFFFF.tmp\\"},
      {L"", 0, L"\\Norlek-00000000.tmp\\"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.folder, WorkingFolderSibling(c.temp, c.unique));
}

// ... then on Wine, through a Unix link that the harness put at
// C:\users\root\Temp\link-to-victim. Wine opens the link's target even
// with FILE_FLAG_OPEN_REPARSE_POINT and reports no reparse point, so only
// the file's identity tells the link apart; DeleteFileW through it would
// delete the victim.
FileIdentity IdentityOfPath(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                         FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(GetFileInformationByHandle(h, &info));
  CloseHandle(h);
  return IdentityOf(info);
}

TEST(WorkingFiles, LinkInPlaceOfAWorkingFileIsNotTaken) {
  const std::wstring link = TempFolder() + L"link-to-victim";
  const std::wstring victim = std::wstring(kVictims) + L"\\expanded";
  ASSERT_EQ(std::string("victim expanded\n"), ContentOf(link)) << "the harness planted no link";
  test::ScratchDir dir(L"own");
  const std::wstring own = dir.File(L"TagmindEngineMMLib.dll");
  test::WriteFileBytes(own, "own bytes");
  const FileIdentity ownIdentity = IdentityOfPath(own);

  ScopedFileHandle held;
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(FAILED(OpenOwnWorkingFile(link, ownIdentity, &held)));
  EXPECT_FALSE(held.IsValid());
  EXPECT_FALSE(DeleteOwnWorkingFile(link, ownIdentity));
  EXPECT_EQ(std::string("victim expanded\n"), ContentOf(victim)) << "the victim was touched";
  EXPECT_TRUE(Exists(link));

  // The file itself is taken, and held so that no writer gets in.
  ASSERT_EQ(S_OK, OpenOwnWorkingFile(own, ownIdentity, &held));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenError(own, GENERIC_WRITE));
  held.Close();
  // A second name for it (a hard link: another way in) makes it nobody's.
  const std::wstring second = dir.File(L"second-name");
  ASSERT_TRUE(CreateHardLinkW(second.c_str(), own.c_str(), nullptr)) << GetLastError();
  EXPECT_TRUE(FAILED(OpenOwnWorkingFile(own, ownIdentity, &held)));
  EXPECT_FALSE(DeleteOwnWorkingFile(own, ownIdentity));
  ASSERT_TRUE(DeleteFileW(second.c_str()));
  EXPECT_TRUE(DeleteOwnWorkingFile(own, ownIdentity));
  EXPECT_FALSE(Exists(own));
}

}  // namespace
