#pragma once
// The updater's own file version and description, read from the version
// resource of the running program; they name the patch record.

#include <windows.h>

#include <string>

// The running program's path, however long: the buffer grows by half until
// the name fits. True when the path is non-empty.
bool GetOwnModulePath(std::wstring& out);
// The next capacity after a cut name: 260, 390, 585, 877, ...
DWORD NextModulePathCapacity(DWORD capacity);

// "major.minor.third.fourth" of the own file version, the fourth field
// zero-padded to five digits; empty when it cannot be read.
std::wstring ReadOwnVersion();
// The own "FileDescription" in the chosen language; empty when there is none.
std::wstring ReadPatchName();

// The same, for any file and, for the description, given UI languages.
std::wstring ReadFileVersionText(const std::wstring& path);
std::wstring ReadFileDescription(const std::wstring& path, LANGID user, LANGID system);
std::wstring FormatFileVersion(const VS_FIXEDFILEINFO& info);

// One entry of a version resource's translation table.
struct TranslationEntry {
  WORD language;
  WORD codePage;
};

// The language whose string block to read: the user's UI language if an
// entry with code page 1200 has it, else the system's, else 1033.
LANGID ChooseTranslation(const TranslationEntry* entries, size_t count, LANGID user,
                         LANGID system);
// The same over the translation table of a version block.
LANGID ChooseTranslation(const void* block, LANGID user, LANGID system);
