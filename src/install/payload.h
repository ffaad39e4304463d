#pragma once
// Taking the matching replacement library out of the updater's resources and
// putting it in place of the installed plug-in.
//
// The updater runs elevated, or as SYSTEM in a temporary-files folder that
// standard users share, so nothing there is trusted: the working folder is
// always one this run has just created (SYSTEM and Administrators only), its
// files are created new and never reached through a link, and the expanded
// library is held against writers and checked against the digest recorded
// at build time before it is copied.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "system/scoped_handle.h"

// Resource ids of the two payloads, type "PATCH", neutral language.
constexpr WORD kPayloadLine37 = 130;
constexpr WORD kPayloadLine38 = 131;

// Writes payload `id` to a fresh working folder, expands it, stamps it with
// the fixed release time, checks its digest and hands it to
// ReplaceTargetFile for process::TargetPath.
// E_FAIL when there is no working folder, no such payload or no LZ library,
// or when the payload cannot be expanded whole (or the failing call's
// HRESULT); kPayloadDigestMismatch when the expansion is not the library
// recorded for `id`; otherwise ReplaceTargetFile's result. restartNeeded is
// only ever written by ReplaceTargetFile.
// Everything the run created is gone afterwards, except the empty working
// folder when the payload resource itself is missing.
HRESULT InstallPayload(WORD id, bool& restartNeeded);

// An expansion that is not the library recorded at build time.
constexpr HRESULT kPayloadDigestMismatch = CRYPT_E_HASH_VALUE;

// Creates a working folder under the temporary-files folder and returns it,
// ending in a backslash: "Norlek.tmp\" when that name is free, otherwise a
// sibling with a unique name, since an existing "Norlek.tmp" may belong to
// anybody. The folder is made by this call (never an existing one) and
// grants access to SYSTEM and Administrators only. Empty when the
// temporary-files folder cannot be determined (a relative folder would land
// wherever the process happens to run) or no fresh folder could be made.
std::wstring PrepareWorkingFolder();

// "Norlek.tmp\" appended to a temporary-files folder, with exactly one
// backslash between them.
std::wstring WorkingFolderUnder(const std::wstring& tempFolder);

// The sibling used when "Norlek.tmp" is taken: "Norlek-XXXXXXXX.tmp\", the
// unique value in eight upper-case hexadecimal digits.
std::wstring WorkingFolderSibling(const std::wstring& tempFolder, DWORD unique);

// The working folder's security descriptor: full access for SYSTEM and
// Administrators, inherited by what is created inside, and nothing
// inherited from the temporary-files folder.
extern const wchar_t kWorkingFolderSddl[];

// The expanded length an SZDD container states, or false when the bytes are
// no such container.
bool SzddStatedLength(const void* data, size_t size, uint32_t* length);

// 2010-11-25 11:00:00 UTC, the time every installed copy carries.
FILETIME PayloadFileTime();

// Digests.
constexpr size_t kSha256Bytes = 32;

// The SHA-256 of the library packed as payload `id`, recorded when the
// containers were built; false for an id without a payload.
bool RecordedPayloadDigest(WORD id, BYTE digest[kSha256Bytes]);

// The SHA-256 of the whole file behind `file`, read from its first byte.
// The failing call's HRESULT (never a success) when it cannot be computed.
HRESULT Sha256OfFile(HANDLE file, BYTE digest[kSha256Bytes]);

// Working files. A file is known by its volume and file index, so that a
// name that no longer leads to the file this run created (a link put in its
// place: Wine follows Unix links even where Windows would open the link
// itself) is recognised as someone else's.
struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
};
FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info);

// A plain file with one name: no folder, no reparse point, no second link
// through which someone else could reach it.
bool IsPlainSingleFile(const BY_HANDLE_FILE_INFORMATION& info);

// A folder that is itself, not a reparse point (a junction or a link) that
// leads somewhere else: only such a folder is held as the working folder.
bool IsPlainFolder(const BY_HANDLE_FILE_INFORMATION& info);

// IsPlainSingleFile, and the very file `created`.
bool IsSameWorkingFile(const BY_HANDLE_FILE_INFORMATION& info, const FileIdentity& created);

// Opens the working file again, for reading, shared for reading only: while
// `held` stays open nobody can write, rename or delete it. Fails (and holds
// nothing) unless the name leads to the file `created`.
HRESULT OpenOwnWorkingFile(const std::wstring& path, const FileIdentity& created,
                           ScopedFileHandle* held);

// Deletes the file under `path` if it is the file `created`, never what a
// link in its place leads to. True when it was deleted.
bool DeleteOwnWorkingFile(const std::wstring& path, const FileIdentity& created);
