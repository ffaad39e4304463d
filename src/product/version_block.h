#pragma once
// A file's version resource, read whole into a block of its own, and the
// queries on it that the updater makes.

#include <windows.h>

#include <memory>
#include <string>

// The fixed file information at a root value as the query reports it: null
// unless the value is long enough to hold it, so that a damaged resource
// never has its version read from the bytes that follow the value.
const VS_FIXEDFILEINFO* FixedInfoOf(const void* value, UINT bytes);

class VersionBlock {
 public:
  // Measures, allocates (without throwing) and reads the version resource of
  // `path`. False when any of that fails; a file without a version resource
  // measures 0 and fails in the read.
  bool Load(const std::wstring& path);

  const void* Data() const { return data_.get(); }
  // The fixed file information, or null when the block has none.
  const VS_FIXEDFILEINFO* FixedInfo() const;
  // The value at `subBlock` as the query reports it, or null with *bytes 0.
  const void* Query(const wchar_t* subBlock, UINT* bytes) const;
  // A string value: false when the query fails; else true with the text as
  // the query reports it, cut at its first NUL.
  bool QueryText(const wchar_t* subBlock, std::wstring& text) const;

 private:
  std::unique_ptr<BYTE[]> data_;
};
