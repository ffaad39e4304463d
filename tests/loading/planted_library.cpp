// A library planted beside a program under the name of a system library
// (version.dll with PLANTED_VERSION, else lz32.dll). It does nothing but tell
// that it was there, in the folder named by TAGMIND_PLANT_MARKERS: its
// DllMain adds a line to "<name>.attached" ("static" when the loader bound it
// to an import table at start-up, "dynamic" for a LoadLibrary), and each of
// its functions, which carry the system library's names and fail, adds one to
// "<name>.called": the function and the file of the module that called it.
// Each line ends with the program's path. Nothing is forwarded to the real
// library.

#include <windows.h>

#ifdef _MSC_VER
#include <intrin.h>
#define PLANTED_CALLER() _ReturnAddress()
#else
#define PLANTED_CALLER() __builtin_return_address(0)
#endif

#include <string>

namespace {

#ifdef PLANTED_VERSION
const wchar_t kPlantedName[] = L"version.dll";
#else
const wchar_t kPlantedName[] = L"lz32.dll";
#endif

void LeaveMarker(const char* kind, const wchar_t* what) {
  wchar_t folder[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"TAGMIND_PLANT_MARKERS", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  const std::wstring marker = std::wstring(folder) + L"\\" + kPlantedName + what;
  HANDLE h = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  wchar_t program[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::string line = std::string(kind) + " ";
  char path[MAX_PATH * 3] = {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, program, static_cast<int>(length), path,
                                        MAX_PATH * 3, nullptr, nullptr);
  line.append(path, static_cast<size_t>(bytes > 0 ? bytes : 0));
  line += '\n';
  DWORD written = 0;
  WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(h);
}

// The file of the module that holds `code`.
std::string ModuleOf(void* code) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(code), &module))
    return "?";
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  char text[MAX_PATH * 3] = {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), text,
                                        MAX_PATH * 3, nullptr, nullptr);
  return std::string(text, static_cast<size_t>(bytes > 0 ? bytes : 0));
}

void Called(const char* function, void* caller) {
  LeaveMarker((std::string(function) + " by " + ModuleOf(caller) + " in").c_str(), L".called");
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // The loader passes a non-null reserved pointer for the libraries it binds
  // at start-up and null for LoadLibrary.
  if (reason == DLL_PROCESS_ATTACH) LeaveMarker(reserved ? "static" : "dynamic", L".attached");
  return TRUE;
}

// version.dll
DWORD WINAPI PlantedGetFileVersionInfoSizeW(LPCWSTR, LPDWORD) {
  Called("GetFileVersionInfoSizeW", PLANTED_CALLER());
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}
BOOL WINAPI PlantedGetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) {
  Called("GetFileVersionInfoW", PLANTED_CALLER());
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return FALSE;
}
BOOL WINAPI PlantedVerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) {
  Called("VerQueryValueW", PLANTED_CALLER());
  return FALSE;
}

// lz32.dll
INT WINAPI PlantedLZInit(INT) {
  Called("LZInit", PLANTED_CALLER());
  return -1;
}
LONG WINAPI PlantedLZCopy(INT, INT) {
  Called("LZCopy", PLANTED_CALLER());
  return -1;
}
void WINAPI PlantedLZClose(INT) { Called("LZClose", PLANTED_CALLER()); }
INT WINAPI PlantedLZOpenFileW(LPWSTR, LPOFSTRUCT, WORD) {
  Called("LZOpenFileW", PLANTED_CALLER());
  return -1;
}

}  // extern "C"
