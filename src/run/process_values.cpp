#include "run/process_values.h"

namespace process {

// Defined together so that they come into being in this order, empty,
// before the entry point runs.
HINSTANCE ModuleHandle = nullptr;
std::wstring OwnVersion;
std::wstring PatchName;
std::wstring TargetPath;

}  // namespace process
