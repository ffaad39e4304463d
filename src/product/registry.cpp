#include "product/registry.h"

LONG CRegKey::Open(HKEY parent, const wchar_t* name, REGSAM access) noexcept {
  HKEY opened = nullptr;
  const LONG rc = RegOpenKeyExW(parent, name, 0, access, &opened);
  if (rc != ERROR_SUCCESS) return rc;
  Close();
  m_hKey = opened;
  m_samWOW64 = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  return ERROR_SUCCESS;
}

LONG CRegKey::Close() noexcept {
  LONG rc = ERROR_SUCCESS;
  if (m_hKey) {
    rc = RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  m_samWOW64 = 0;
  return rc;
}

LONG CRegKeyEx::OpenLocalMachineKey(REGSAM access, const wchar_t* subkey) noexcept {
  return Open(HKEY_LOCAL_MACHINE, subkey, access);
}

LONG CRegKeyEx::ReadStringValue(const wchar_t* name, std::wstring& out) {
  DWORD type = 0;
  DWORD bytes = 0;
  LONG rc = RegQueryValueExW(m_hKey, name, nullptr, &type, nullptr, &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;

  // An odd byte count gets a buffer one byte short and fails with more data.
  DWORD chars = bytes / sizeof(wchar_t);
  out.assign(chars, L'\0');
  rc = QueryStringIntoBuffer(m_hKey, name, &out[0], &chars);
  if (rc != ERROR_SUCCESS) {
    // The buffer's content is not defined after a failed query, and a value
    // rejected for its missing NUL is not text we want to hand on.
    out.clear();
    return rc;
  }
  const std::wstring::size_type end = out.find(L'\0');
  if (end != std::wstring::npos) out.resize(end);
  return ERROR_SUCCESS;
}

LONG QueryStringIntoBuffer(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD* chars) {
  const DWORD capacity = *chars;
  DWORD bytes = capacity * sizeof(wchar_t);
  *chars = 0;
  DWORD type = 0;
  const LONG rc =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (buffer) {
    if (bytes == 0) {
      // An empty value is a valid empty string; a buffer of no characters
      // has no room for the NUL, so it is left alone.
      if (capacity > 0) buffer[0] = L'\0';
    } else if (bytes % sizeof(wchar_t) != 0) {
      return ERROR_INVALID_DATA;
    } else if (buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
      return ERROR_INVALID_DATA;
    }
  }
  *chars = bytes / sizeof(wchar_t);
  return ERROR_SUCCESS;
}

bool IsNative64BitProcessorType(DWORD processorType) {
  return processorType == PROCESSOR_AMD_X8664 || processorType == PROCESSOR_INTEL_IA64;
}

bool IsNative64BitProcessor() {
  SYSTEM_INFO info = {};
  GetNativeSystemInfo(&info);
  return IsNative64BitProcessorType(info.dwProcessorType);
}

RegistryViewList RegistryViews(bool native64) {
  if (native64) return RegistryViewList{{KEY_WOW64_32KEY, KEY_WOW64_64KEY}, 2};
  return RegistryViewList{{0, 0}, 1};
}
