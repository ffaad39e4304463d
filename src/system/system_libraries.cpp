#include "system/system_libraries.h"

#include <string>

#include "system/seams.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);

// A function of a loaded library as the type it is declared with.
template <typename Function>
bool Bind(HMODULE module, const char* name, Function& function) {
  // Through the plain function-pointer type: FARPROC's own signature means nothing.
  function = reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(Seams().GetProcAddress(module, name)));
  return function != nullptr;
}

template <typename Function>
Function KernelFunction(const char* name) {
  Function function = nullptr;
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel) Bind(kernel, name, function);
  return function;
}

// Windows XP, and Vista or 7 without the loader update, lack the function;
// the LOAD_LIBRARY_SEARCH_* flags came with it, so it also tells whether
// LoadLibraryExW understands them.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
  return KernelFunction<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
}

std::wstring SystemFolderFile(const wchar_t* name) {
  std::wstring folder(MAX_PATH, L'\0');
  for (;;) {
    const UINT n = GetSystemDirectoryW(&folder[0], static_cast<UINT>(folder.size()));
    if (n == 0) return std::wstring();
    if (n < folder.size()) {
      folder.resize(n);
      break;
    }
    folder.assign(n, L'\0');  // n counts the terminator when the buffer was short
  }
  if (folder.back() != L'\\') folder += L'\\';
  return folder + name;
}

// Always by the full path: a bare name would be answered with any module of
// that name that is loaded already, wherever it came from (a copy beside the
// updater that some library's import pulled in). The search flags then decide
// where the library's own imports are looked for: in the system folder only,
// or there first (the altered search path) where Windows lacks the flags.
HMODULE LoadFromSystemFolder(const wchar_t* name) {
  const std::wstring path = SystemFolderFile(name);
  if (path.empty()) return nullptr;
  const DWORD flags =
      FindSetDefaultDllDirectories() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH;
  return LoadLibraryExW(path.c_str(), nullptr, flags);
}

const VersionFunctions* LoadVersionLibrary() {
  static VersionFunctions functions = {};
  const HMODULE module = LoadFromSystemFolder(L"version.dll");
  if (!module) return nullptr;
  if (Bind(module, "GetFileVersionInfoSizeW", functions.GetFileVersionInfoSizeW) &&
      Bind(module, "GetFileVersionInfoW", functions.GetFileVersionInfoW) &&
      Bind(module, "VerQueryValueW", functions.VerQueryValueW))
    return &functions;  // the module stays loaded for the life of the process
  FreeLibrary(module);
  return nullptr;
}

const LzFunctions* LoadLzLibrary() {
  static LzFunctions functions = {};
  const HMODULE module = LoadFromSystemFolder(L"lz32.dll");
  if (!module) return nullptr;
  if (Bind(module, "LZInit", functions.LZInit) && Bind(module, "LZCopy", functions.LZCopy) &&
      Bind(module, "LZClose", functions.LZClose))
    return &functions;
  FreeLibrary(module);
  return nullptr;
}

}  // namespace

void RestrictLibrarySearch() {
  if (const SetDefaultDllDirectoriesFunction setDefault = FindSetDefaultDllDirectories()) {
    if (setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  }
  // Without it the application's folder stays first in the search; at least
  // the current folder, which whoever started the updater chose, goes.
  if (const SetDllDirectoryFunction setDirectory =
          KernelFunction<SetDllDirectoryFunction>("SetDllDirectoryW"))
    setDirectory(L"");
}

const VersionFunctions* VersionLibrary() {
  static const VersionFunctions* const loaded = LoadVersionLibrary();
  return loaded;
}

const LzFunctions* LzLibrary() {
  static const LzFunctions* const loaded = LoadLzLibrary();
  return loaded;
}
