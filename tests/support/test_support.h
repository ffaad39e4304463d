#pragma once
// Shared fixtures for the Wine tests: scratch registry keys and folders that
// each test owns and removes, child processes, and the build's paths.

#include <windows.h>

#include <string>
#include <vector>

#include "test_config.h"

namespace test {

// The folder of the running test executable's build (Windows form, no
// trailing backslash) and a file inside it.
std::wstring BinDir();
std::wstring BinPath(const std::wstring& file);
std::wstring I686BinPath(const std::wstring& file);

// A key under HKEY_LOCAL_MACHINE in one registry view (0, KEY_WOW64_32KEY or
// KEY_WOW64_64KEY), created on construction and deleted with everything
// below it on destruction.
class ScratchKey {
 public:
  ScratchKey(const std::wstring& subkey, REGSAM view);
  ~ScratchKey();
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  HKEY Get() const { return key_; }
  const std::wstring& Path() const { return subkey_; }
  void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
  // Writes exactly these bytes, for values that break the string rules.
  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes);
  void SetDword(const wchar_t* name, DWORD value);

 private:
  std::wstring subkey_;
  REGSAM view_;
  HKEY key_ = nullptr;
};

// Deletes a key of HKEY_LOCAL_MACHINE and its subtree in one view, if present.
void DeleteLocalMachineTree(const std::wstring& subkey, REGSAM view);

// A fresh folder under the temporary-files folder, removed with its content.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& hint = L"t");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& Path() const { return path_; }  // no trailing backslash
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Recursively removes a folder (long paths included).
void RemoveTree(const std::wstring& path);
// Writes bytes to a file, replacing it.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);

// The file's last-write time as one number, 0 when it cannot be read.
ULONGLONG LastWrite(const std::wstring& path);

// Failure messages in plain ASCII: anything else becomes '?'.
std::string Narrow(const std::wstring& text);

// The harness's small disk E: (TAGMIND_SMALL_DISK): its free bytes, and a
// filler file E:\filler that leaves at most `room` bytes free (and no less
// than room - 8 KiB). The caller deletes the filler when it is done.
ULONGLONG FreeOnSmallDisk();
void LeaveRoomOnSmallDisk(ULONGLONG room);

// Starts a program, waits up to timeoutMs, returns its exit code (or
// 0xFFFFFFFF when it could not start or did not end in time: then it is killed).
DWORD RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// The UI language the harness promised through TAGMIND_EXPECT_UI_LANGUAGE
// (hexadecimal, such as 0411), or 0 when none was promised.
LANGID ExpectedUiLanguage();

}  // namespace test

#include "system/seams.h"

namespace test {
// Puts the platform seams back as they were when it goes out of scope.
class ScopedSeams {
 public:
  ScopedSeams() : saved_(Seams()) {}
  ~ScopedSeams() { Seams() = saved_; }
  ScopedSeams(const ScopedSeams&) = delete;
  ScopedSeams& operator=(const ScopedSeams&) = delete;

 private:
  PlatformSeams saved_;
};
}  // namespace test
