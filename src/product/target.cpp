#include "product/target.h"

#include "product/registry.h"
#include "product/version_block.h"
#include "run/process_values.h"

namespace {

const wchar_t kProductKey[] = L"Software\\Norlek Corporation\\Tagmind Manager";
const wchar_t kPluginFileName[] = L"TagmindEngineMMLib.dll";

WORD Major(const VS_FIXEDFILEINFO* info) { return HIWORD(info->dwFileVersionMS); }
WORD Minor(const VS_FIXEDFILEINFO* info) { return LOWORD(info->dwFileVersionMS); }
WORD Third(const VS_FIXEDFILEINFO* info) { return HIWORD(info->dwFileVersionLS); }

}  // namespace

std::wstring PluginPathInFolder(const std::wstring& folder) {
  if (folder.empty()) return std::wstring();
  std::wstring path = folder;
  if (path.back() != L'\\') path += L'\\';
  return path + kPluginFileName;
}

std::wstring LocateTarget() {
  std::wstring path;
  FirstFoundView(KEY_READ, kProductKey, [&path](CRegKeyEx& key) {
    std::wstring folder;
    if (key.ReadStringValue(L"InstalledDir", folder) != ERROR_SUCCESS) return;
    path = PluginPathInFolder(folder);
  });
  return path;
}

bool VersionAtLeast(const VS_FIXEDFILEINFO* info, WORD m) {
  if (!info) return false;
  if (Major(info) != 3) return Major(info) > 3;
  if (Minor(info) != m) return Minor(info) > m;
  return true;
}

bool VersionAtMost(const VS_FIXEDFILEINFO* info, WORD m) {
  if (!info) return false;
  if (Major(info) != 3) return Major(info) < 3;
  if (Minor(info) != m) return Minor(info) < m;
  return Third(info) <= 5;
}

TargetLine LineOfVersion(const VS_FIXEDFILEINFO* info) {
  if (VersionAtLeast(info, 7) && VersionAtMost(info, 7)) return TargetLine::Line37;
  if (VersionAtLeast(info, 8) && VersionAtMost(info, 8)) return TargetLine::Line38;
  return TargetLine::None;
}

TargetLine ClassifyFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return TargetLine::None;
  VersionBlock block;
  if (!block.Load(path)) return TargetLine::None;
  return LineOfVersion(block.FixedInfo());
}

TargetLine ClassifyTarget() { return ClassifyFile(process::TargetPath); }
