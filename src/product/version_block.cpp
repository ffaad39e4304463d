#include "product/version_block.h"

#include <new>

#include "system/system_libraries.h"

bool VersionBlock::Load(const std::wstring& path) {
  data_.reset();
  // Without the system's version library every file reads as one without a
  // version resource.
  const VersionFunctions* version = VersionLibrary();
  if (!version) return false;
  DWORD ignored = 0;
  const DWORD size = version->GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block) return false;
  if (!version->GetFileVersionInfoW(path.c_str(), 0, size, block.get())) return false;
  data_ = std::move(block);
  return true;
}

const void* VersionBlock::Query(const wchar_t* subBlock, UINT* bytes) const {
  void* value = nullptr;
  *bytes = 0;
  if (!data_) return nullptr;
  // The call's own answer is not trusted on its own: only a value with a
  // pointer and a length counts. A block exists only when the library did.
  VersionLibrary()->VerQueryValueW(data_.get(), subBlock, &value, bytes);
  if (!value || *bytes == 0) {
    *bytes = 0;
    return nullptr;
  }
  return value;
}

const VS_FIXEDFILEINFO* FixedInfoOf(const void* value, UINT bytes) {
  if (!value || bytes < sizeof(VS_FIXEDFILEINFO)) return nullptr;
  return static_cast<const VS_FIXEDFILEINFO*>(value);
}

const VS_FIXEDFILEINFO* VersionBlock::FixedInfo() const {
  UINT bytes = 0;
  const void* value = Query(L"\\", &bytes);
  return FixedInfoOf(value, bytes);
}

bool VersionBlock::QueryText(const wchar_t* subBlock, std::wstring& text) const {
  text.clear();
  if (!data_) return false;
  void* value = nullptr;
  UINT chars = 0;
  if (!VersionLibrary()->VerQueryValueW(data_.get(), subBlock, &value, &chars)) return false;
  if (value) {
    const wchar_t* begin = static_cast<const wchar_t*>(value);
    const wchar_t* end = begin;
    while (end != begin + chars && *end != L'\0') ++end;
    text.assign(begin, end);
  }
  return true;
}
