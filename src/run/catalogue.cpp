#include "run/catalogue.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "run/process_values.h"

StringEntry FindStringEntry(const void* block, size_t bytes, UINT position) {
  const StringEntry absent = {nullptr, 0};
  if (block == nullptr) return absent;
  const unsigned char* base = static_cast<const unsigned char*>(block);
  const size_t units = bytes / sizeof(WORD);  // an odd last byte is no code unit
  const auto countAt = [base](size_t at) {
    WORD count;
    std::memcpy(&count, base + at * sizeof(WORD), sizeof count);
    return static_cast<size_t>(count);
  };

  size_t at = 0;
  for (UINT i = 0; i < position; ++i) {
    if (at >= units) return absent;
    at += 1 + countAt(at);
  }
  if (at >= units) return absent;
  const size_t length = countAt(at);
  // A count that runs past the block would read beyond the resource.
  if (length == 0 || length > units - at - 1) return absent;
  return {reinterpret_cast<const wchar_t*>(base + (at + 1) * sizeof(WORD)), length};
}

namespace {

// The catalogue's entry for `id`, pointing into the loaded resource, which
// stays mapped as long as the module does.
StringEntry FindCatalogueEntry(UINT id) {
  const StringEntry absent = {nullptr, 0};
  const UINT block = id / 16 + 1;
  // Resource ids are 16 bits: a larger block number would wrap around onto
  // another block and yield the text of an unrelated id.
  if (block > 0xFFFF) return absent;
  const HMODULE module = process::ModuleHandle ? process::ModuleHandle : GetModuleHandleW(nullptr);

  // Language 0 leaves the choice to the platform, per block.
  const HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), 0);
  if (found == nullptr) return absent;
  const HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return absent;
  const void* data = LockResource(loaded);
  const DWORD bytes = SizeofResource(module, found);
  if (data == nullptr || bytes == 0) return absent;
  return FindStringEntry(data, bytes, id % 16);
}

}  // namespace

std::wstring LoadCatalogueText(UINT id) {
  const StringEntry entry = FindCatalogueEntry(id);
  return entry.text ? std::wstring(entry.text, entry.length) : std::wstring();
}

HRESULT FormatCatalogueText(std::wstring& out, UINT id, ...) {
  const StringEntry entry = FindCatalogueEntry(id);
  if (entry.text == nullptr) return E_FAIL;
  const std::wstring format(entry.text, entry.length);

  // Count and format with the same (msvcrt) engine, so that the length
  // counted is the length written. No va_list is live while allocating.
  va_list args;
  va_start(args, id);
  const int needed = _vscwprintf(format.c_str(), args);
  va_end(args);
  if (needed < 0) return E_FAIL;

  std::wstring text(static_cast<size_t>(needed), L'\0');
  va_start(args, id);
  const int written = _vsnwprintf(&text[0], text.size(), format.c_str(), args);
  va_end(args);
  if (written != needed) return E_FAIL;
  out.swap(text);
  return S_OK;
}
