#pragma once
// version.dll and lz32.dll are not among the libraries that Windows always
// takes from the system folder, so a static import would let a copy planted
// beside the updater run inside it, elevated. They are loaded at run time,
// from the system folder only.

#include <windows.h>

struct VersionFunctions {
  DWORD(WINAPI* GetFileVersionInfoSizeW)(LPCWSTR, LPDWORD);
  BOOL(WINAPI* GetFileVersionInfoW)(LPCWSTR, DWORD, DWORD, LPVOID);
  BOOL(WINAPI* VerQueryValueW)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
};

struct LzFunctions {
  INT(WINAPI* LZInit)(INT);
  LONG(WINAPI* LZCopy)(INT, INT);
  void(WINAPI* LZClose)(INT);
};

// The functions of the system folder's library, loaded on first use and kept
// for the life of the process; null when that library cannot be loaded from
// the system folder or lacks one of the functions.
const VersionFunctions* VersionLibrary();
const LzFunctions* LzLibrary();

// Narrows every later library load of the process, the system's own loads on
// its behalf included, to the system folder where Windows can
// (SetDefaultDllDirectories); elsewhere takes the current folder out of the
// search. The run calls it first; the two loaders above do not rely on it.
void RestrictLibrarySearch();
