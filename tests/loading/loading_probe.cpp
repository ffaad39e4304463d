// The updater's own code in a process of its own, for the loading tests:
// VersionLibrary and LzLibrary keep what they loaded for the life of the
// process, so each way of loading needs a fresh one.
//
//   loading_probe MODE FILE RESULT
//
// MODE picks what kernel32 and the system libraries seem to offer:
//   system               everything, as Windows 8 and later (and Wine) have it
//   fallback             no SetDefaultDllDirectories (Windows XP, Vista and 7
//                        without the loader update)
//   no-version-function  version.dll without VerQueryValueW
//   no-lz-function       lz32.dll without LZCopy
// The probe narrows its library search as the run does, loads both libraries,
// reads FILE's version as the updater reads its target, and writes to RESULT
// one key=value line per fact:
//   asked_set_default    how often SetDefaultDllDirectories was looked up
//   asked_set_dll_directory  how often SetDllDirectoryW was (the fallback)
//   version lz           1 when the library's functions came, else 0
//   version_module lz_module  the file of the module whose VerQueryValueW or
//                        LZCopy the probe got (empty when none; lz32.dll hands
//                        its functions on to kernel32.dll)
//   file_version line description  ReadFileVersionText, ClassifyFile (0 None,
//                        1 Line37, 2 Line38) and ReadFileDescription of FILE
// Exit code 0; 2 for a wrong command line or when RESULT cannot be written.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "product/self_description.h"
#include "product/target.h"
#include "system/seams.h"
#include "system/system_libraries.h"

namespace {

const char* hidden = nullptr;  // the export that this probe's kernel32 or library lacks
int askedSetDefault = 0;
int askedSetDllDirectory = 0;

FARPROC WINAPI ProbeGetProcAddress(HMODULE module, LPCSTR name) {
  if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0) {
    if (!std::strcmp(name, "SetDefaultDllDirectories")) ++askedSetDefault;
    if (!std::strcmp(name, "SetDllDirectoryW")) ++askedSetDllDirectory;
    if (hidden && !std::strcmp(name, hidden)) return nullptr;
  }
  return ::GetProcAddress(module, name);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}

// The file of the module that holds `code`.
std::wstring ModuleOf(const void* code) {
  HMODULE module = nullptr;
  if (!code || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   static_cast<LPCWSTR>(code), &module))
    return std::wstring();
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const std::wstring mode = argv[1];
  if (mode == L"fallback") hidden = "SetDefaultDllDirectories";
  else if (mode == L"no-version-function") hidden = "VerQueryValueW";
  else if (mode == L"no-lz-function") hidden = "LZCopy";
  else if (mode != L"system") return 2;
  Seams().GetProcAddress = ProbeGetProcAddress;

  RestrictLibrarySearch();
  const VersionFunctions* version = VersionLibrary();
  const LzFunctions* lz = LzLibrary();
  const std::wstring file = argv[2];
  const std::wstring fileVersion = ReadFileVersionText(file);
  const int line = static_cast<int>(ClassifyFile(file));
  const std::wstring description = ReadFileDescription(file, 0x0409, 0x0409);

  FILE* out = _wfopen(argv[3], L"wb");
  if (!out) return 2;
  std::fprintf(out, "asked_set_default=%d\n", askedSetDefault);
  std::fprintf(out, "asked_set_dll_directory=%d\n", askedSetDllDirectory);
  std::fprintf(out, "version=%d\n", version ? 1 : 0);
  std::fprintf(out, "version_module=%s\n",
               Utf8(ModuleOf(version ? reinterpret_cast<const void*>(version->VerQueryValueW)
                                     : nullptr)).c_str());
  std::fprintf(out, "lz=%d\n", lz ? 1 : 0);
  std::fprintf(out, "lz_module=%s\n",
               Utf8(ModuleOf(lz ? reinterpret_cast<const void*>(lz->LZCopy) : nullptr)).c_str());
  std::fprintf(out, "file_version=%s\n", Utf8(fileVersion).c_str());
  std::fprintf(out, "line=%d\n", line);
  std::fprintf(out, "description=%s\n", Utf8(description).c_str());
  std::fclose(out);
  return 0;
}
