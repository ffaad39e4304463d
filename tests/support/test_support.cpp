#include "test_support.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace test {

std::wstring BinDir() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(n);
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring BinPath(const std::wstring& file) { return BinDir() + L"\\" + file; }
std::wstring I686BinPath(const std::wstring& file) {
  return std::wstring(TAGMIND_I686_BIN_DIR) + L"\\" + file;
}

ScratchKey::ScratchKey(const std::wstring& subkey, REGSAM view) : subkey_(subkey), view_(view) {
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | view_, nullptr, &key_, nullptr);
  EXPECT_EQ(ERROR_SUCCESS, rc) << "creating HKLM\\" << std::string(subkey.begin(), subkey.end());
}

ScratchKey::~ScratchKey() {
  if (key_) RegCloseKey(key_);
  DeleteLocalMachineTree(subkey_, view_);
}

void ScratchKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type) {
  SetRaw(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void ScratchKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes));
}

void ScratchKey::SetDword(const wchar_t* name, DWORD value) {
  SetRaw(name, REG_DWORD, &value, sizeof value);
}

void DeleteLocalMachineTree(const std::wstring& subkey, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_ALL_ACCESS | view, &key) !=
      ERROR_SUCCESS)
    return;
  for (;;) {
    wchar_t child[256];
    DWORD len = 256;
    if (RegEnumKeyExW(key, 0, child, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    DeleteLocalMachineTree(subkey + L"\\" + child, view);
  }
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), view, 0);
}

ScratchDir::ScratchDir(const std::wstring& hint) {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  static unsigned counter = 0;
  for (;;) {
    path_ = base + L"\\" + hint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create a scratch folder, error " << GetLastError();
      break;
    }
  }
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

static std::wstring Extended(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC" + path.substr(1);
  return L"\\\\?\\" + path;
}

void RemoveTree(const std::wstring& path) {
  const std::wstring root = Extended(path);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((root + L"\\*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = root + L"\\" + name;
      if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  RemoveDirectoryW(root.c_str());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << "error " << GetLastError();
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_TRUE(ok);
  ASSERT_EQ(bytes.size(), written);
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
  CloseHandle(h);
  return out;
}

ULONGLONG LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return 0;
  return static_cast<ULONGLONG>(d.ftLastWriteTime.dwHighDateTime) << 32 |
         d.ftLastWriteTime.dwLowDateTime;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

ULONGLONG FreeOnSmallDisk() {
  ULARGE_INTEGER free = {};
  GetDiskFreeSpaceExW(L"E:\\", &free, nullptr, nullptr);
  return free.QuadPart;
}

void LeaveRoomOnSmallDisk(ULONGLONG room) {
  DeleteFileW(L"E:\\filler");
  ASSERT_GT(FreeOnSmallDisk(), room + 65536) << "the small disk is too small for this case";
  HANDLE h = CreateFileW(L"E:\\filler", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << "error " << GetLastError();
  const std::string chunk(4096, 'F');
  while (FreeOnSmallDisk() > room) {
    DWORD written = 0;
    if (!WriteFile(h, chunk.data(), 4096, &written, nullptr) || written != 4096) break;
    FlushFileBuffers(h);
  }
  CloseHandle(h);
  ASSERT_LE(FreeOnSmallDisk(), room);
  ASSERT_GE(FreeOnSmallDisk() + 8192, room);
}

DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs) {
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = commandLine;
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 0xFFFFFFFF);
    WaitForSingleObject(pi.hProcess, 5000);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

LANGID ExpectedUiLanguage() {
  wchar_t buf[16];
  DWORD n = GetEnvironmentVariableW(L"TAGMIND_EXPECT_UI_LANGUAGE", buf, 16);
  if (n == 0 || n >= 16) return 0;
  return static_cast<LANGID>(wcstoul(buf, nullptr, 16));
}

}  // namespace test
