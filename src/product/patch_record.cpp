#include "product/patch_record.h"

#include <windows.h>

#include "product/registry.h"
#include "run/process_values.h"
#include "system/scoped_handle.h"

namespace {

const wchar_t kProductEntry[] =
    L"Software\\Norlek Corporation\\Shared Info\\AppDB\\Pellan Tagwise Manager";
const wchar_t kRecordKey[] = L"PatchList\\EP0000417263";
const wchar_t kPatchId[] = L"EP0000417263";
const REGSAM kRecordAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// The text up to its first NUL, stored with that NUL.
bool SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
         ERROR_SUCCESS;
}

}  // namespace

bool WritePatchRecord() {
  bool written = false;
  // A view keeps what it received even when a later view fails, and every
  // view is visited even after one has the whole record.
  EveryView(kRecordAccess, kProductEntry, [&written](CRegKeyEx& product) {
    ScopedRegKey record;
    DWORD disposition = 0;
    if (RegCreateKeyExW(product.Handle(), kRecordKey, 0, nullptr, 0, kRecordAccess, nullptr,
                        record.Receive(), &disposition) != ERROR_SUCCESS)
      return;
    if (SetText(record.Get(), L"patchid", kPatchId) &&
        SetText(record.Get(), L"patchname", process::PatchName.c_str()) &&
        SetText(record.Get(), L"version", process::OwnVersion.c_str()))
      written = true;
  });
  return written;
}
