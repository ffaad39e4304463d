// Run from a folder deep enough that its own path is longer than MAX_PATH
// (see module_path_deep.cmake): writes what the updater's code reads about
// the running program, its path, version and description, one a line in
// UTF-8, to the file named by the only argument. Exit code 0 when the path
// was read, 1 when it was not, 2 when the report could not be written.

#include <windows.h>

#include <string>

#include "product/self_description.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring path;
  const bool found = GetOwnModulePath(path);
  const std::wstring report = path + L"\n" + ReadOwnVersion() + L"\n" + ReadPatchName() + L"\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, report.data(), static_cast<int>(report.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, report.data(), static_cast<int>(report.size()), &utf8[0], size,
                      nullptr, nullptr);
  HANDLE file =
      CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, utf8.data(), static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != static_cast<DWORD>(size)) return 2;
  return found ? 0 : 1;
}
