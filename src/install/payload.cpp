#include "install/payload.h"

#include <lzexpand.h>

#include <cstring>
#include <vector>

#include "install/replace.h"
#include "run/process_values.h"
#include "system/hresult.h"
#include "system/paths.h"
#include "system/scoped_handle.h"
#include "system/seams.h"

namespace {

const wchar_t kPluginName[] = L"TagmindEngineMMLib.dll";
const unsigned char kSzddSignature[8] = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33};
constexpr size_t kSzddHeaderSize = 14;

// An LZ handle: negative values are errors, not handles.
class ScopedLzFile {
 public:
  explicit ScopedLzFile(INT h) : h_(h) {}
  ~ScopedLzFile() { Close(); }
  ScopedLzFile(const ScopedLzFile&) = delete;
  ScopedLzFile& operator=(const ScopedLzFile&) = delete;
  bool IsValid() const { return h_ >= 0; }
  INT Get() const { return h_; }
  void Close() {
    if (h_ >= 0) LZClose(h_);
    h_ = -1;
  }

 private:
  INT h_;
};

// The LZ functions take the 32-bit file handles of the old file API; a
// Win32 file handle is such a handle.
HFILE AsHfile(HANDLE h) { return static_cast<HFILE>(reinterpret_cast<INT_PTR>(h)); }

// The whole container straight from the resource memory. A short or failed
// write (a full disk) must not go on to expand into a broken library; the
// rest is offered again so that the platform names the reason.
HRESULT WriteWhole(const std::wstring& path, const void* data, DWORD size) {
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr));
  if (!file) return HrFromLastError();
  const BYTE* next = static_cast<const BYTE*>(data);
  DWORD left = size;
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(file.Get(), next, left, &written, nullptr)) return HrFromLastError();
    if (written == 0) return E_FAIL;
    next += written;
    left -= written;
  }
  return S_OK;
}

// File to file, never in memory. The files are opened here rather than by
// LZOpenFileW, whose path goes through OpenFile and its 128-character limit,
// so that a deep temporary-files folder works as well as a short one.
// LZCopy does not notice a truncated container, so the count it reports is
// held against the stated length.
HRESULT Expand(const std::wstring& compressed, const std::wstring& expanded,
               uint32_t statedLength) {
  ScopedFileHandle source(CreateFileW(compressed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  if (!source) return HrFromLastError();
  ScopedFileHandle dest(CreateFileW(expanded.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr));
  if (!dest) return HrFromLastError();

  // From here the LZ handles own the files: LZClose closes them.
  ScopedLzFile lzSource(LZInit(AsHfile(source.Get())));
  if (!lzSource.IsValid()) return E_FAIL;
  source.Release();
  ScopedLzFile lzDest(AsHfile(dest.Release()));
  const LONG count = LZCopy(lzSource.Get(), lzDest.Get());
  lzSource.Close();
  lzDest.Close();
  if (count <= 0) return E_FAIL;
  if (static_cast<uint32_t>(count) != statedLength) return E_FAIL;
  return S_OK;
}

void StampReleaseTime(const std::wstring& path) {
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const FILETIME t = PayloadFileTime();
  SetFileTime(file.Get(), &t, &t, &t);
}

}  // namespace

FILETIME PayloadFileTime() {
  SYSTEMTIME st = {};
  st.wYear = 2010;
  st.wMonth = 11;
  st.wDayOfWeek = 0;
  st.wDay = 25;
  st.wHour = 11;
  FILETIME ft = {};
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

bool SzddStatedLength(const void* data, size_t size, uint32_t* length) {
  if (!data || size < kSzddHeaderSize) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  if (std::memcmp(bytes, kSzddSignature, sizeof kSzddSignature) != 0 || bytes[8] != 'A')
    return false;
  *length = static_cast<uint32_t>(bytes[10]) | static_cast<uint32_t>(bytes[11]) << 8 |
            static_cast<uint32_t>(bytes[12]) << 16 | static_cast<uint32_t>(bytes[13]) << 24;
  return true;
}

std::wstring WorkingFolderUnder(const std::wstring& tempFolder) {
  std::wstring folder = tempFolder;
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder + L"Norlek" + L".tmp\\";
}

std::wstring PrepareWorkingFolder() {
  const DWORD needed = Seams().GetTempPathW(0, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring temp(needed + 1, L'\0');
  const DWORD length = Seams().GetTempPathW(needed + 1, &temp[0]);
  if (length == 0 || length > needed) return std::wstring();
  temp.resize(length);
  const std::wstring folder = WorkingFolderUnder(temp);
  CreateDirectoryTree(folder);
  return folder;
}

HRESULT InstallPayload(WORD id, bool& restartNeeded) {
  const std::wstring folder = PrepareWorkingFolder();
  if (folder.empty()) return E_FAIL;

  HMODULE module = process::ModuleHandle;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"PATCH");
  if (!found) return E_FAIL;
  const DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return E_FAIL;
  uint32_t statedLength = 0;
  if (!SzddStatedLength(data, size, &statedLength)) return E_FAIL;

  const std::wstring compressed = LongPathForm(folder + kPluginName + L".tmp");
  const std::wstring expanded = LongPathForm(folder + kPluginName);

  HRESULT hr = WriteWhole(compressed, data, size);
  if (SUCCEEDED(hr)) hr = Expand(compressed, expanded, statedLength);
  DeleteFileW(compressed.c_str());
  if (FAILED(hr)) {
    // A partial expansion must not be mistaken for a library later on.
    DeleteFileW(expanded.c_str());
    RemoveDirectoryW(folder.c_str());
    return hr;
  }

  StampReleaseTime(expanded);
  hr = ReplaceTargetFile(expanded, process::TargetPath, restartNeeded);
  DeleteFileW(expanded.c_str());
  RemoveDirectoryW(folder.c_str());
  return hr;
}
