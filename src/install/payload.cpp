#include "install/payload.h"

#include <sddl.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "install/replace.h"
#include "run/process_values.h"
#include "system/hresult.h"
#include "system/paths.h"
#include "system/seams.h"
#include "system/system_libraries.h"

// SHA-256 arrived with Windows XP SP3; an XP-level build sees it only from
// that service pack's headers on.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

namespace {

const wchar_t kPluginName[] = L"TagmindEngineMMLib.dll";
const unsigned char kSzddSignature[8] = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33};
constexpr size_t kSzddHeaderSize = 14;

// How many unique names are tried once "Norlek.tmp" is taken. Each is
// 32 random bits, so only a name that already exists can use one up.
constexpr int kSiblingAttempts = 8;

struct PayloadDigest {
  WORD id;
  BYTE sha256[kSha256Bytes];
};

// Written at build time from the very libraries that were packed.
const PayloadDigest kPayloadDigests[] = {
#include "payload_digests.inc"
    {0, {0}}  // end
};

// A failure must never read as success, even when the platform gave no code.
HRESULT LastFailure() {
  const DWORD error = GetLastError();
  return error ? HrFromWin32(static_cast<long>(error)) : E_FAIL;
}

// SetFileInformationByHandle came with Windows Vista. Through it a file or
// folder is deleted by the handle that was checked, not by its name again.
struct DispositionInfo {
  BOOLEAN DeleteFile;
};
constexpr int kFileDispositionInfo = 4;
using SetFileInformationByHandleFunction = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

bool DeleteThroughHandle(HANDLE handle) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return false;
  const SetFileInformationByHandleFunction setInformation =
      reinterpret_cast<SetFileInformationByHandleFunction>(reinterpret_cast<void (*)()>(
          Seams().GetProcAddress(kernel, "SetFileInformationByHandle")));
  if (!setInformation) return false;
  DispositionInfo info = {TRUE};
  return setInformation(handle, kFileDispositionInfo, &info, sizeof info) != FALSE;
}

// The folder, held from its creation to the end of the run without delete
// sharing, so that it cannot be renamed, removed or swapped for a link
// meanwhile. At the end it is removed if it is empty, unless the run
// decided to leave it.
class HeldFolder {
 public:
  explicit HeldFolder(const std::wstring& path)
      : path_(path),
        handle_(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)) {
    if (!handle_) {
      error_ = LastFailure();
      return;
    }
    // Between its creation and this open the name could have been given to
    // a junction by whoever may rename things in the temporary-files folder;
    // working through it would put every file somewhere else.
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle_.Get(), &info)) {
      error_ = LastFailure();
    } else if (!IsPlainFolder(info)) {
      error_ = E_FAIL;
      keep_ = true;  // not this run's to remove
    }
    if (FAILED(error_)) handle_.Close();
  }
  ~HeldFolder() {
    if (keep_) return;
    // Removed through the handle where Windows can (only when empty); on
    // Windows XP by name, which the folder's ACL keeps anyone else from
    // having put anything under.
    if (!handle_ || !DeleteThroughHandle(handle_.Get())) {
      handle_.Close();
      RemoveDirectoryW(path_.c_str());
    }
  }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  HRESULT Error() const { return error_; }
  void Keep() { keep_ = true; }

 private:
  std::wstring path_;
  ScopedFileHandle handle_;
  HRESULT error_ = S_OK;
  bool keep_ = false;
};

// A working file that this run creates, and deletes again at the end.
class CreatedFile {
 public:
  explicit CreatedFile(const std::wstring& path) : path_(path) {}
  ~CreatedFile() {
    if (made_) DeleteOwnWorkingFile(path_, identity_);
  }
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;

  // CREATE_NEW: an existing file, a link or anything else under the name is
  // never reused (nor written through), whoever put it there.
  HRESULT Create(DWORD access, DWORD flags, ScopedFileHandle* file) {
    file->Reset(CreateFileW(path_.c_str(), access, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
    if (!*file) return LastFailure();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file->Get(), &info)) {
      // Made, but not known well enough to be found again at the end: it
      // goes now, through the handle that made it.
      const HRESULT hr = LastFailure();
      DeleteThroughHandle(file->Get());
      file->Close();
      return hr;
    }
    identity_ = IdentityOf(info);
    made_ = (flags & FILE_FLAG_DELETE_ON_CLOSE) == 0;
    return IsPlainSingleFile(info) ? S_OK : E_FAIL;
  }

  const std::wstring& Path() const { return path_; }
  const FileIdentity& Identity() const { return identity_; }

 private:
  std::wstring path_;
  FileIdentity identity_;
  bool made_ = false;  // deleted at the end; a delete-on-close file goes by itself
};

// The whole container straight from the resource memory. A short or failed
// write (a full disk) must not go on to expand into a broken library; the
// rest is offered again so that the platform names the reason.
HRESULT WriteWhole(HANDLE file, const void* data, DWORD size) {
  const BYTE* next = static_cast<const BYTE*>(data);
  DWORD left = size;
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(file, next, left, &written, nullptr)) return LastFailure();
    if (written == 0) return E_FAIL;
    next += written;
    left -= written;
  }
  return S_OK;
}

bool Rewind(HANDLE file) {
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) != FALSE;
}

// A second handle to the same open file, for the LZ functions to own and
// close; the original stays open.
HANDLE Duplicate(HANDLE file) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return INVALID_HANDLE_VALUE;
  return copy;
}

// The LZ functions take the 32-bit file handles of the old file API; a
// Win32 file handle is such a handle.
HFILE AsHfile(HANDLE h) { return static_cast<HFILE>(reinterpret_cast<INT_PTR>(h)); }

// An LZ handle: negative values are errors, not handles.
class ScopedLzFile {
 public:
  ScopedLzFile(const LzFunctions& lz, INT h) : lz_(lz), h_(h) {}
  ~ScopedLzFile() { Close(); }
  ScopedLzFile(const ScopedLzFile&) = delete;
  ScopedLzFile& operator=(const ScopedLzFile&) = delete;
  bool IsValid() const { return h_ >= 0; }
  INT Get() const { return h_; }
  void Close() {
    if (h_ >= 0) lz_.LZClose(h_);
    h_ = -1;
  }

 private:
  const LzFunctions& lz_;
  INT h_;
};

// File to file, never in memory, through handles that this run holds: the
// LZ functions get duplicates, so that the files stay open (and unshared)
// after LZClose. LZCopy does not notice a truncated container, so the count
// it reports is held against the stated length.
HRESULT Expand(const LzFunctions& lz, HANDLE container, HANDLE expanded, uint32_t statedLength) {
  if (!Rewind(container)) return LastFailure();
  ScopedFileHandle source(Duplicate(container));
  if (!source) return LastFailure();
  ScopedFileHandle dest(Duplicate(expanded));
  if (!dest) return LastFailure();

  // From here the LZ handles own the duplicates: LZClose closes them.
  ScopedLzFile lzSource(lz, lz.LZInit(AsHfile(source.Get())));
  if (!lzSource.IsValid()) return E_FAIL;
  source.Release();
  ScopedLzFile lzDest(lz, AsHfile(dest.Release()));
  const LONG count = lz.LZCopy(lzSource.Get(), lzDest.Get());
  lzSource.Close();
  lzDest.Close();
  if (count <= 0) return E_FAIL;
  if (static_cast<uint32_t>(count) != statedLength) return E_FAIL;
  return S_OK;
}

HRESULT CheckPayloadDigest(WORD id, HANDLE expanded) {
  BYTE recorded[kSha256Bytes] = {};
  if (!RecordedPayloadDigest(id, recorded)) return E_FAIL;
  BYTE actual[kSha256Bytes] = {};
  const HRESULT hr = Sha256OfFile(expanded, actual);
  if (FAILED(hr)) return hr;
  return std::memcmp(recorded, actual, kSha256Bytes) == 0 ? S_OK : kPayloadDigestMismatch;
}

void AppendHex(std::wstring& text, DWORD value) {
  const wchar_t digits[] = L"0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
}

// The provider that knows SHA-256. Windows XP SP3 registers it under its
// own name, which is tried when no default is set for the provider type.
bool AcquireAesProvider(ScopedCryptProvider* provider) {
  if (CryptAcquireContextW(provider->Receive(), nullptr, nullptr, PROV_RSA_AES,
                           CRYPT_VERIFYCONTEXT))
    return true;
  const DWORD error = GetLastError();
  if (CryptAcquireContextW(provider->Receive(), nullptr, MS_ENH_RSA_AES_PROV_XP_W, PROV_RSA_AES,
                           CRYPT_VERIFYCONTEXT))
    return true;
  SetLastError(error);
  return false;
}

bool RandomValue(DWORD* value) {
  ScopedCryptProvider provider;
  if (!AcquireAesProvider(&provider)) return false;
  return CryptGenRandom(provider.Get(), sizeof *value, reinterpret_cast<BYTE*>(value)) != FALSE;
}

std::wstring TemporaryFilesFolder() {
  const DWORD needed = Seams().GetTempPathW(0, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring temp(needed + 1, L'\0');
  const DWORD length = Seams().GetTempPathW(needed + 1, &temp[0]);
  if (length == 0 || length > needed) return std::wstring();
  temp.resize(length);
  return temp;
}

}  // namespace

const wchar_t kWorkingFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

std::wstring WorkingFolderSibling(const std::wstring& tempFolder, DWORD unique) {
  std::wstring folder = tempFolder;
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  folder += L"Norlek-";
  AppendHex(folder, unique);
  return folder + L".tmp\\";
}

std::wstring PrepareWorkingFolder() {
  const std::wstring temp = TemporaryFilesFolder();
  if (temp.empty()) return std::wstring();
  CreateDirectoryTree(temp);

  // A system without security (the Windows 9x line) has no ACL to set;
  // anywhere else a folder without it is not made at all.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kWorkingFolderSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr) &&
      GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
    return std::wstring();
  const ScopedLocalMem ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};

  // Only a folder that CreateDirectoryW makes here is this run's: an
  // existing one (a leftover, or planted, or a link) is never used.
  std::wstring folder = WorkingFolderUnder(temp);
  for (int attempt = 0;; ++attempt) {
    if (CreateDirectoryW(folder.c_str(), &attributes)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == kSiblingAttempts)
      return std::wstring();
    DWORD unique = 0;
    if (!RandomValue(&unique)) return std::wstring();
    folder = WorkingFolderSibling(temp, unique);
  }
}

bool RecordedPayloadDigest(WORD id, BYTE digest[kSha256Bytes]) {
  for (const PayloadDigest& entry : kPayloadDigests) {
    if (entry.id == 0) break;
    if (entry.id == id) {
      std::memcpy(digest, entry.sha256, kSha256Bytes);
      return true;
    }
  }
  return false;
}

HRESULT Sha256OfFile(HANDLE file, BYTE digest[kSha256Bytes]) {
  ScopedCryptProvider provider;
  if (!AcquireAesProvider(&provider)) return LastFailure();
  ScopedCryptHash hash;
  if (!CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Receive())) return LastFailure();
  if (!Rewind(file)) return LastFailure();
  std::vector<BYTE> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, &buffer[0], static_cast<DWORD>(buffer.size()), &got, nullptr))
      return LastFailure();
    if (got == 0) break;
    if (!CryptHashData(hash.Get(), &buffer[0], got, 0)) return LastFailure();
  }
  DWORD length = kSha256Bytes;
  if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0)) return LastFailure();
  return length == kSha256Bytes ? S_OK : E_FAIL;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.indexHigh = info.nFileIndexHigh;
  identity.indexLow = info.nFileIndexLow;
  return identity;
}

bool IsPlainSingleFile(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info.nNumberOfLinks == 1;
}

bool IsPlainFolder(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool IsSameWorkingFile(const BY_HANDLE_FILE_INFORMATION& info, const FileIdentity& created) {
  const FileIdentity found = IdentityOf(info);
  return IsPlainSingleFile(info) && found.volume == created.volume &&
         found.indexHigh == created.indexHigh && found.indexLow == created.indexLow;
}

HRESULT OpenOwnWorkingFile(const std::wstring& path, const FileIdentity& created,
                           ScopedFileHandle* held) {
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return LastFailure();
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file.Get(), &info)) return LastFailure();
  if (!IsSameWorkingFile(info, created)) return E_FAIL;
  *held = std::move(file);
  return S_OK;
}

bool DeleteOwnWorkingFile(const std::wstring& path, const FileIdentity& created) {
  ScopedFileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file.Get(), &info) || !IsSameWorkingFile(info, created))
    return false;
  if (DeleteThroughHandle(file.Get())) return true;  // gone when the handle closes
  // Windows XP: by name, right after the check; the folder is this run's
  // and open to nobody else.
  file.Close();
  return DeleteFileW(path.c_str()) != FALSE;
}

HRESULT InstallPayload(WORD id, bool& restartNeeded) {
  const std::wstring folder = PrepareWorkingFolder();
  if (folder.empty()) return E_FAIL;
  HeldFolder heldFolder(folder);
  if (FAILED(heldFolder.Error())) return heldFolder.Error();

  HMODULE module = process::ModuleHandle;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"PATCH");
  const DWORD size = found ? SizeofResource(module, found) : 0;
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) {
    // A build without the payload: the empty folder stays as a trace.
    heldFolder.Keep();
    return E_FAIL;
  }
  uint32_t statedLength = 0;
  if (!SzddStatedLength(data, size, &statedLength)) return E_FAIL;
  const LzFunctions* lz = LzLibrary();
  if (!lz) return E_FAIL;

  // Declared in the order of the clean-up: the expanded file is deleted
  // before the folder is removed.
  CreatedFile expandedFile(LongPathForm(folder + kPluginName));
  ScopedFileHandle expanded;
  {
    // The container is deleted as its only handle closes, right after the
    // expansion, whatever happens to its name meanwhile.
    CreatedFile containerFile(LongPathForm(folder + kPluginName + L".tmp"));
    ScopedFileHandle container;
    HRESULT hr = containerFile.Create(GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_FLAG_DELETE_ON_CLOSE, &container);
    if (SUCCEEDED(hr)) hr = WriteWhole(container.Get(), data, size);
    ScopedFileHandle writer;
    if (SUCCEEDED(hr)) hr = expandedFile.Create(GENERIC_READ | GENERIC_WRITE | DELETE, 0, &writer);
    if (SUCCEEDED(hr)) hr = Expand(*lz, container.Get(), writer.Get(), statedLength);
    if (FAILED(hr)) return hr;  // a partial expansion goes with the folder
    const FILETIME t = PayloadFileTime();
    SetFileTime(writer.Get(), &t, &t, &t);
    // The writing handle has to go before the copy: a file open for writing
    // cannot be the source of CopyFileW on Windows. The name is opened again
    // at once, and only the very file just written is taken.
    writer.Close();
    hr = OpenOwnWorkingFile(expandedFile.Path(), expandedFile.Identity(), &expanded);
    if (FAILED(hr)) return hr;
  }

  // From here to the end of the copy nobody can write, rename or delete the
  // file; what is checked is what is copied.
  HRESULT hr = CheckPayloadDigest(id, expanded.Get());
  if (FAILED(hr)) return hr;
  hr = ReplaceTargetFile(expandedFile.Path(), process::TargetPath, restartNeeded);
  expanded.Close();
  return hr;
}
