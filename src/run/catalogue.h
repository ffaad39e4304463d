#pragma once
// The message catalogue: the localized texts of the updater, read from the
// string tables of process::ModuleHandle (of the running program while that
// is null). The language is never named here: the platform picks it per
// block of 16 ids, from the user's UI language, then the system's, then
// English (United States).
//
// Contract: a text that is absent, in whatever way, reads as an empty string;
// only FormatCatalogueText reports failure, E_FAIL, and then leaves `out`
// as it was.

#include <windows.h>

#include <cstddef>
#include <string>

// Ids of the texts the run shows.
constexpr UINT kTextCaption = 1024;
constexpr UINT kTextNotAdministrator = 1040;
constexpr UINT kTextNoUpdateNeeded = 1057;
constexpr UINT kTextUpdateCompleted = 1058;
constexpr UINT kTextUpdateFailed = 1060;  // a format: the HRESULT as %08x
constexpr UINT kTextRestartNeeded = 1061;

std::wstring LoadCatalogueText(UINT id);

// The text of `id` used as a wide printf format with the arguments that
// follow (the standard msvcrt conversion rules).
HRESULT FormatCatalogueText(std::wstring& out, UINT id, ...);

// One entry of a string-table block: `length` code units at `text`, not
// terminated. A null `text` means the entry is absent.
struct StringEntry {
  const wchar_t* text;
  size_t length;
};

// The entry at `position` (0 to 15) of a string-table block of `bytes`
// bytes: 16 entries in order, each a 16-bit count and that many UTF-16 code
// units. Absent when the walk runs off the block, when the entry's count is
// 0, or when its text would end past the block.
StringEntry FindStringEntry(const void* block, size_t bytes, UINT position);
