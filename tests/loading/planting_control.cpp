// The control of the planting test: a program that imports version.dll and
// lz32.dll statically, as the updater did before it loaded them itself. Run
// beside planted copies with native-first overrides, it must load them, which
// shows that the planting is real and the overrides reach a child process.
// Exit code: what the version query answered (0 from a planted library).

#include <windows.h>

#include <lzexpand.h>
#include <winver.h>

int wmain() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(self, &ignored);
  LZClose(-1);
  return static_cast<int>(size);
}
