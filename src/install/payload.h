#pragma once
// Taking the matching replacement library out of the updater's resources and
// putting it in place of the installed plug-in.

#include <windows.h>

#include <cstdint>
#include <string>

// Resource ids of the two payloads, type "PATCH", neutral language.
constexpr WORD kPayloadLine37 = 130;
constexpr WORD kPayloadLine38 = 131;

// Writes payload `id` to the working folder, expands it, stamps it with the
// fixed release time and hands it to ReplaceTargetFile for process::TargetPath.
// E_FAIL (or the failing call's HRESULT) when the payload cannot be written
// or expanded whole; otherwise ReplaceTargetFile's result. restartNeeded is
// only ever written by ReplaceTargetFile.
HRESULT InstallPayload(WORD id, bool& restartNeeded);

// The working folder under the temporary-files folder, ending in a backslash,
// after an attempt to create it. Empty when the temporary-files folder cannot
// be determined: a relative folder would land wherever the process happens
// to run.
std::wstring PrepareWorkingFolder();

// "Norlek.tmp\" appended to a temporary-files folder, with exactly one
// backslash between them.
std::wstring WorkingFolderUnder(const std::wstring& tempFolder);

// The expanded length an SZDD container states, or false when the bytes are
// no such container.
bool SzddStatedLength(const void* data, size_t size, uint32_t* length);

// 2010-11-25 11:00:00 UTC, the time every installed copy carries.
FILETIME PayloadFileTime();
