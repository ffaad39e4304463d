#include "product/self_description.h"

#include <cwchar>

#include "product/version_block.h"
#include "system/system_libraries.h"

namespace {

const WORD kUnicodeCodePage = 1200;
const LANGID kEnglishUs = 0x0409;

std::wstring DescriptionPath(LANGID language) {
  wchar_t path[64];
  std::swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription",
                static_cast<unsigned>(language), static_cast<unsigned>(kUnicodeCodePage));
  return path;
}

}  // namespace

DWORD NextModulePathCapacity(DWORD capacity) { return capacity + capacity / 2; }

bool GetOwnModulePath(std::wstring& out) {
  out.clear();
  DWORD capacity = MAX_PATH;
  for (;;) {
    out.assign(capacity, L'\0');
    // A cut name comes back as the full capacity (without a NUL on XP).
    const DWORD n = GetModuleFileNameW(nullptr, &out[0], capacity);
    if (n < capacity) break;
    capacity = NextModulePathCapacity(capacity);
  }
  const std::wstring::size_type end = out.find(L'\0');
  if (end != std::wstring::npos) out.resize(end);
  return !out.empty();
}

std::wstring FormatFileVersion(const VS_FIXEDFILEINFO& info) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%d.%d.%d.%05d", static_cast<int>(HIWORD(info.dwFileVersionMS)),
                static_cast<int>(LOWORD(info.dwFileVersionMS)),
                static_cast<int>(HIWORD(info.dwFileVersionLS)),
                static_cast<int>(LOWORD(info.dwFileVersionLS)));
  return text;
}

std::wstring ReadFileVersionText(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  VersionBlock block;
  if (!block.Load(path)) return std::wstring();
  const VS_FIXEDFILEINFO* info = block.FixedInfo();
  if (!info) return std::wstring();
  return FormatFileVersion(*info);
}

LANGID ChooseTranslation(const TranslationEntry* entries, size_t count, LANGID user,
                         LANGID system) {
  LANGID chosen = 0;
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].codePage != kUnicodeCodePage) continue;
    if (entries[i].language == user && (chosen == 0 || chosen == system)) chosen = user;
    if (entries[i].language == system && chosen == 0) chosen = system;
  }
  return chosen != 0 ? chosen : kEnglishUs;
}

LANGID ChooseTranslation(const void* block, LANGID user, LANGID system) {
  void* table = nullptr;
  UINT bytes = 0;
  const VersionFunctions* version = VersionLibrary();
  if (block && version)
    version->VerQueryValueW(block, L"\\VarFileInfo\\Translation", &table, &bytes);
  if (!table) bytes = 0;
  return ChooseTranslation(static_cast<const TranslationEntry*>(table),
                           bytes / sizeof(TranslationEntry), user, system);
}

std::wstring ReadFileDescription(const std::wstring& path, LANGID user, LANGID system) {
  std::wstring text;
  if (path.empty()) return text;
  VersionBlock block;
  if (!block.Load(path)) return text;
  const LANGID chosen = ChooseTranslation(block.Data(), user, system);
  if (block.QueryText(DescriptionPath(chosen).c_str(), text)) return text;
  block.QueryText(DescriptionPath(0).c_str(), text);
  return text;
}

std::wstring ReadOwnVersion() {
  std::wstring path;
  if (!GetOwnModulePath(path)) return std::wstring();
  return ReadFileVersionText(path);
}

std::wstring ReadPatchName() {
  std::wstring path;
  if (!GetOwnModulePath(path)) return std::wstring();
  return ReadFileDescription(path, GetUserDefaultUILanguage(), GetSystemDefaultUILanguage());
}
