#include "system/paths.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "system/scoped_handle.h"
#include "system/seams.h"

namespace {

const size_t kLongPathThreshold = 260;
const wchar_t kBackslash = L'\\';

bool StartsWithLongPathPrefix(const std::wstring& path) {
  return path.size() >= 4 && path[0] == kBackslash && path[1] == kBackslash && path[2] == L'?' &&
         path[3] == kBackslash;
}

}  // namespace

std::wstring LongPathForm(const std::wstring& path) {
  if (path.size() < 4 || StartsWithLongPathPrefix(path) || path.size() < kLongPathThreshold)
    return path;
  if (path[0] == kBackslash && path[1] == kBackslash) return L"\\\\?\\UNC" + path.substr(1);
  return L"\\\\?\\" + path;
}

size_t LongPathPrefixLength(const std::wstring& path) {
  if (!StartsWithLongPathPrefix(path)) return 0;
  if (path.size() < 8) return 4;
  // Only the upper-case spelling, which is the one LongPathForm writes.
  if (path.compare(4, 4, L"UNC\\") == 0) return 7;
  return 4;
}

size_t DirectoryRootEnd(const std::wstring& path) {
  const size_t p = LongPathPrefixLength(path);
  const size_t n = path.size();
  if (n <= p + 1) return p;
  if (n == p + 2 && path[p + 1] == L':') return p + 1;
  if (n > p + 2 && path[p + 1] == L':' && path[p + 2] == kBackslash) return p + 2;
  if (path[p] == kBackslash) {
    // A share: the root runs to the backslash after the share name, so that
    // neither the server nor the share is ever offered for creation.
    int seen = 0;
    for (size_t i = (p == 0 ? p + 2 : p + 1); i < n; ++i) {
      if (path[i] == kBackslash && ++seen == 2) return i;
    }
    return n;
  }
  return p;
}

size_t DirectoryParentLength(const std::wstring& path) {
  const size_t n = path.size();
  if (n == 0) return 0;
  const std::ptrdiff_t r = static_cast<std::ptrdiff_t>(DirectoryRootEnd(path));
  std::ptrdiff_t i = static_cast<std::ptrdiff_t>(n) - 1;
  if (path[static_cast<size_t>(i)] == kBackslash) --i;
  while (i >= r && path[static_cast<size_t>(i)] != kBackslash) --i;
  if (i <= r) return 0;
  return static_cast<size_t>(i) + 1;
}

bool CreateDirectoryTree(const std::wstring& path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  const size_t parent = DirectoryParentLength(path);
  if (parent == 0) return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
  if (CreateDirectoryTree(path.substr(0, parent)) && CreateDirectoryW(path.c_str(), nullptr))
    return true;
  // Someone else may have made it in the meantime; that is success too.
  return IsDirectory(path);
}

bool IsDirectory(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Systems without working wide-character file calls still answer through
    // the ANSI one. A name that the code page can only approximate would
    // name some other file there, so such a name gets no second chance.
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1,
                                    nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy) return false;
    std::vector<char> narrow(static_cast<size_t>(bytes));
    if (WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, narrow.data(),
                            bytes, nullptr, &lossy) != bytes ||
        lossy)
      return false;
    attributes = GetFileAttributesA(narrow.data());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFileLocked(const std::wstring& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  ScopedFileHandle file(Seams().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) return false;
  // Access denied (read-only file) and lock violations are not "in use".
  return GetLastError() == ERROR_SHARING_VIOLATION;
}
