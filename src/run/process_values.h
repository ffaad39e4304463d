#pragma once
// The values that the run sets once at startup and other operations read.

#include <windows.h>

#include <string>

namespace process {

extern HINSTANCE ModuleHandle;   // whose resources hold the catalogue and payloads
extern std::wstring OwnVersion;  // the updater's file version as text
extern std::wstring PatchName;   // the updater's file description
extern std::wstring TargetPath;  // long-path form of the installed plug-in, or empty

}  // namespace process
