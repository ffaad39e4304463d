#include "product_install.h"

#include <gtest/gtest.h>

namespace test {

const wchar_t kProductKey[] = L"Software\\Norlek Corporation\\Tagmind Manager";
const wchar_t kAppDbKey[] =
    L"Software\\Norlek Corporation\\Shared Info\\AppDB\\Pellan Tagwise Manager";
const wchar_t kPatchRecordKey[] =
    L"Software\\Norlek Corporation\\Shared Info\\AppDB\\Pellan Tagwise Manager\\PatchList\\EP0000417263";
const wchar_t kHandshakeKey[] = L"SOFTWARE\\Norlek Corporation\\Pellan Update";
const wchar_t kCompanionKey[] = L"SOFTWARE\\Norlek Corporation\\Vistamo";

std::wstring PluginFixture(const std::wstring& version) {
  return I686BinPath(L"plugins\\plugin-" + version + L".dll");
}

std::wstring PayloadLibrary(WORD id) {
  return std::wstring(TAGMIND_I686_BIN_DIR) + L"\\..\\payloads\\libraries\\TagmindEngineMMLib-" +
         (id == 130 ? L"3.7.6.11250" : L"3.8.6.11250") + L".dll";
}

ProductInstallation::ProductInstallation(const std::wstring& pluginVersion, REGSAM productView)
    : dir_(L"product") {
  product_.reset(new ScratchKey(kProductKey, productView));
  product_->SetString(L"InstalledDir", dir_.Path() + L"\\");
  appDb32_.reset(new ScratchKey(kAppDbKey, KEY_WOW64_32KEY));
  appDb64_.reset(new ScratchKey(kAppDbKey, KEY_WOW64_64KEY));
  if (!pluginVersion.empty()) {
    const std::wstring source = PluginFixture(pluginVersion);
    EXPECT_TRUE(CopyFileW(source.c_str(), PluginPath().c_str(), FALSE))
        << "copying the stand-in plug-in, error " << GetLastError();
    original_ = PluginBytes();
    EXPECT_FALSE(original_.empty());
  }
}

ULONGLONG ProductInstallation::PluginLastWrite() const {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(PluginPath().c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 |
         data.ftLastWriteTime.dwLowDateTime;
}

bool ReadMachineString(const std::wstring& key, const wchar_t* name, REGSAM view,
                       std::wstring* value, DWORD* type, DWORD* bytes) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS)
    return false;
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD t = 0;
  const LONG rc = RegQueryValueExW(h, name, nullptr, &t, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return false;
  if (value) *value = buffer;
  if (type) *type = t;
  if (bytes) *bytes = size;
  return true;
}

bool MachineKeyExists(const std::wstring& key, REGSAM view) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS)
    return false;
  RegCloseKey(h);
  return true;
}

HeldFile::HeldFile(const std::wstring& path, DWORD shareMode)
    : h_(CreateFileW(path.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, 0, nullptr)) {
  EXPECT_NE(INVALID_HANDLE_VALUE, h_) << "holding the file, error " << GetLastError();
}

HeldFile::~HeldFile() {
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
}

CompanionInUse::CompanionInUse(const ScratchDir& dir) : key_(kCompanionKey, KEY_WOW64_32KEY) {
  const std::wstring companion = dir.File(L"Vistamo.exe");
  WriteFileBytes(companion, "MZ companion");
  key_.SetString(L"InstalledPath", companion);
  held_.reset(new HeldFile(companion, FILE_SHARE_READ));
}

}  // namespace test
