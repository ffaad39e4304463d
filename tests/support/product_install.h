#pragma once
// A simulated installation of the product in the test's prefix, as a 32-bit
// product sits on a 64-bit machine: its keys in the 32-bit registry view, the
// application database entry in both views, the stand-in plug-in in a folder
// of its own.

#include <windows.h>

#include <memory>
#include <string>

#include "test_support.h"

namespace test {

extern const wchar_t kProductKey[];      // "Software\Norlek Corporation\Tagmind Manager"
extern const wchar_t kAppDbKey[];        // the product's entry of the application database
extern const wchar_t kPatchRecordKey[];  // kAppDbKey + "\PatchList\EP0000417263"
extern const wchar_t kHandshakeKey[];    // "SOFTWARE\Norlek Corporation\Pellan Update"
extern const wchar_t kCompanionKey[];    // "SOFTWARE\Norlek Corporation\Vistamo"

// A stand-in plug-in of the i686 tree, by version ("3.7.0.0").
std::wstring PluginFixture(const std::wstring& version);
// The library that payload 130 (3.7.6.11250) or 131 (3.8.6.11250) expands to.
std::wstring PayloadLibrary(WORD id);

class ProductInstallation {
 public:
  // pluginVersion: a stand-in fixture version, or empty for no plug-in file.
  explicit ProductInstallation(const std::wstring& pluginVersion, REGSAM productView = KEY_WOW64_32KEY);
  ProductInstallation(const ProductInstallation&) = delete;
  ProductInstallation& operator=(const ProductInstallation&) = delete;

  const std::wstring& Folder() const { return dir_.Path(); }
  std::wstring PluginPath() const { return dir_.File(L"TagmindEngineMMLib.dll"); }
  std::string PluginBytes() const { return ReadFileBytes(PluginPath()); }
  std::string OriginalBytes() const { return original_; }
  ULONGLONG PluginLastWrite() const;

 private:
  ScratchDir dir_;
  std::unique_ptr<ScratchKey> product_, appDb32_, appDb64_;
  std::string original_;
};

// A string value under HKEY_LOCAL_MACHINE in one view; false when absent.
bool ReadMachineString(const std::wstring& key, const wchar_t* name, REGSAM view,
                       std::wstring* value, DWORD* type = nullptr, DWORD* bytes = nullptr);
bool MachineKeyExists(const std::wstring& key, REGSAM view);

// FILETIME of 2010-11-25 11:00:00 UTC.
constexpr ULONGLONG kPayloadTime = 129351564000000000ULL;

// Holds a file open in this process with the given share mode until destroyed.
class HeldFile {
 public:
  HeldFile(const std::wstring& path, DWORD shareMode);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool IsValid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// The companion application's file in `dir`, registered as its
// "InstalledPath" in the 32-bit view and held by this process without write
// sharing: an update that reaches the service cycle then needs a restart.
class CompanionInUse {
 public:
  explicit CompanionInUse(const ScratchDir& dir);
  CompanionInUse(const CompanionInUse&) = delete;
  CompanionInUse& operator=(const CompanionInUse&) = delete;

 private:
  ScratchKey key_;
  std::unique_ptr<HeldFile> held_;
};

}  // namespace test
