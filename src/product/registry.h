#pragma once
// The one registry key holder of the updater, always under HKEY_LOCAL_MACHINE,
// the strict string query beneath it, and the two ways of visiting the
// 32-bit and 64-bit registry views.

#include <windows.h>

#include <string>

// The few members of the platform library's key holder that the updater uses.
// mingw-w64 has no such library, so this is our own: it holds one key, takes a
// new one only when the open succeeds, and releases what it holds on Close and
// on destruction.
class CRegKey {
 public:
  CRegKey() noexcept = default;
  ~CRegKey() { Close(); }
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  // RegOpenKeyExW(parent, name, 0, access). On failure the code is returned
  // and the holder keeps what it held; on success the old key is closed and
  // the view bits (access & 0x300) are remembered.
  LONG Open(HKEY parent, const wchar_t* name, REGSAM access) noexcept;
  // Releases the held key, if any; the view bits become 0 either way.
  LONG Close() noexcept;

  operator HKEY() const noexcept { return m_hKey; }

  HKEY m_hKey = nullptr;   // the open key, null when nothing is held
  REGSAM m_samWOW64 = 0;   // KEY_WOW64_32KEY / KEY_WOW64_64KEY of the last open
  void* m_pTM = nullptr;   // transaction link: every open here is a plain one
};

// Error contract: every LONG is ERROR_SUCCESS (0) or a Win32 code, passed on
// unchanged from the platform except ERROR_INVALID_DATA (13), which this class
// adds for a value that is not REG_SZ/REG_EXPAND_SZ, has an odd byte count or
// lacks its terminating NUL. A failed open leaves the holder as it was. A
// failed ReadStringValue leaves `out` untouched when the value could not be
// found or is no string, and empty when its data was rejected.
class CRegKeyEx : public CRegKey {
 public:
  CRegKeyEx() noexcept = default;
  virtual ~CRegKeyEx() { CloseKey(); }

  LONG OpenLocalMachineKey(REGSAM access, const wchar_t* subkey) noexcept;
  // The text of a REG_SZ or REG_EXPAND_SZ value, as stored (no expansion), up
  // to its first NUL.
  LONG ReadStringValue(const wchar_t* name, std::wstring& out);
  void CloseKey() noexcept { Close(); }
  HKEY Handle() const noexcept { return m_hKey; }
};

// Reads a string value into `buffer` of *chars characters, or only measures it
// when `buffer` is null. On success *chars is the length in characters
// including the terminating NUL; on failure it is 0.
LONG QueryStringIntoBuffer(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD* chars);

// Whether the machine's processor is 64-bit, so that the registry has two
// views. Asked anew on every call.
bool IsNative64BitProcessor();
// The decision behind it, for a SYSTEM_INFO.dwProcessorType.
bool IsNative64BitProcessorType(DWORD processorType);

// The views to visit, in order: 32-bit first on a 64-bit machine, else the
// plain open without a view bit.
struct RegistryViewList {
  REGSAM views[2];
  unsigned count;
};
RegistryViewList RegistryViews(bool native64);

// Opens HKLM\subkey with access | view for the first view in which it opens
// and runs work(CRegKeyEx&) there, once. What happens after the open (a
// missing value, say) never leads to the other view. Returns 0 when the work
// ran, else the code of the last failed open.
template <typename Work>
LONG FirstFoundView(REGSAM access, const wchar_t* subkey, Work&& work) {
  const RegistryViewList list = RegistryViews(IsNative64BitProcessor());
  LONG rc = ERROR_FILE_NOT_FOUND;
  for (unsigned i = 0; i < list.count; ++i) {
    CRegKeyEx key;
    rc = key.OpenLocalMachineKey(access | list.views[i], subkey);
    if (rc == ERROR_SUCCESS) {
      work(key);
      return rc;
    }
  }
  return rc;
}

// Runs work(CRegKeyEx&) in every view in which HKLM\subkey opens, each with a
// holder of its own; a view that does not open is skipped. Returns the number
// of views in which the work ran.
template <typename Work>
unsigned EveryView(REGSAM access, const wchar_t* subkey, Work&& work) {
  const RegistryViewList list = RegistryViews(IsNative64BitProcessor());
  unsigned opened = 0;
  for (unsigned i = 0; i < list.count; ++i) {
    CRegKeyEx key;
    if (key.OpenLocalMachineKey(access | list.views[i], subkey) != ERROR_SUCCESS) continue;
    ++opened;
    work(key);
  }
  return opened;
}
