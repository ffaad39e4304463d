#pragma once
// Move-only owners for the handle kinds the updater uses. Each knows which
// value means "nothing held" and which call releases it; closing keeps the
// thread's last error intact so that a failure can still be read after an
// early return has released everything.

#include <windows.h>
#include <wincrypt.h>

#include <utility>

template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept = default;
  explicit ScopedHandle(Handle h) noexcept : handle_(h) {}
  ~ScopedHandle() { Close(); }

  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool IsValid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }
  Handle Get() const noexcept { return handle_; }

  // For calls that hand a new handle out through a pointer.
  Handle* Receive() noexcept {
    Close();
    return &handle_;
  }

  Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  void Reset(Handle h = Traits::Invalid()) noexcept {
    Close();
    handle_ = h;
  }
  void Close() noexcept {
    if (IsValid()) {
      const DWORD saved = GetLastError();
      Traits::Close(handle_);
      SetLastError(saved);
      handle_ = Traits::Invalid();
    }
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {  // events, mutexes, tokens, processes: NULL means none
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE means none
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CloseServiceHandle(h); }
};
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};
struct LocalMemTraits {
  using Handle = HLOCAL;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::LocalFree(h); }
};
struct SidTraits {  // AllocateAndInitializeSid
  using Handle = PSID;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::FreeSid(h); }
};

struct CryptProviderTraits {  // CryptAcquireContextW
  using Handle = HCRYPTPROV;
  static Handle Invalid() noexcept { return 0; }
  static void Close(Handle h) noexcept { ::CryptReleaseContext(h, 0); }
};
struct CryptHashTraits {  // CryptCreateHash
  using Handle = HCRYPTHASH;
  static Handle Invalid() noexcept { return 0; }
  static void Close(Handle h) noexcept { ::CryptDestroyHash(h); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedLocalMem = ScopedHandle<LocalMemTraits>;
using ScopedSid = ScopedHandle<SidTraits>;
using ScopedCryptProvider = ScopedHandle<CryptProviderTraits>;
using ScopedCryptHash = ScopedHandle<CryptHashTraits>;
