#pragma once
// Path forms and file probes shared by the run and the installation steps.
// None of these reports an error: a failing platform call is the negative
// answer (false, or the path unchanged).

#include <cstddef>
#include <string>

// The path as file calls should receive it: from 260 characters on, with
// "\\?\" in front, or "\\?\UNC" in place of the first backslash of a share
// path. Shorter paths and paths that carry the prefix already come back as
// they are; nothing else is normalised.
std::wstring LongPathForm(const std::wstring& path);

// 7 for "\\?\UNC\...", 4 for any other "\\?\..." (lower-case "unc" included),
// 0 for a path without the prefix.
size_t LongPathPrefixLength(const std::wstring& path);

// Creates the directory and whichever of its parents are missing. True when
// the directory exists afterwards, whoever made it.
bool CreateDirectoryTree(const std::wstring& path);

// True when the path names an existing directory.
bool IsDirectory(const std::wstring& path);

// True exactly when another holder keeps the existing file open so that an
// exclusive write open fails with a sharing violation. The file is not changed.
bool IsFileLocked(const std::wstring& path);

// The two decisions inside CreateDirectoryTree, over the text alone.
//
// Index where the path's root ends: past a long-path prefix, the drive ("X:"
// or "X:\"), or for a path that starts with a backslash the share
// (\\server\share, \\?\UNC\server\share; a single leading backslash counts
// the same way). Nothing at or before it is ever created.
size_t DirectoryRootEnd(const std::wstring& path);

// Length of the parent that has to exist before the path can be created (it
// keeps its trailing backslash; one trailing backslash of the path itself is
// ignored), or 0 when the last separator lies within the root, so that the
// path is created directly.
size_t DirectoryParentLength(const std::wstring& path);
