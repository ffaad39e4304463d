#pragma once
// Where the installed plug-in is, and which update line its version is on.

#include <windows.h>

#include <string>

// Scoped, so that None cannot meet another name of the global namespace.
enum class TargetLine { None = 0, Line37 = 1, Line38 = 2 };

// The plug-in's full path from the product's "InstalledDir" (first registry
// view in which the product key opens), or empty.
std::wstring LocateTarget();
// The plug-in's path inside `folder`, exactly as stored: a backslash is added
// unless the text already ends in one; an empty folder gives an empty path.
std::wstring PluginPathInFolder(const std::wstring& folder);

// The line of the file at process::TargetPath.
TargetLine ClassifyTarget();
// The line of the file at `path`: None for a missing path, a folder, a file
// without a readable version resource.
TargetLine ClassifyFile(const std::wstring& path);
// The line of a file version: major 3, minor 7 or 8, third at most 5.
TargetLine LineOfVersion(const VS_FIXEDFILEINFO* info);

// The file version compared with 3.m.0.0 (at least) and 3.m.5.65535 (at
// most), field by field as unsigned 16-bit numbers. False without `info`.
bool VersionAtLeast(const VS_FIXEDFILEINFO* info, WORD m);
bool VersionAtMost(const VS_FIXEDFILEINFO* info, WORD m);
