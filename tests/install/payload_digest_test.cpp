// The digest that every expansion is checked against. This program does not
// carry the updater's payloads: its resource 130 is a container of a
// library that differs from the packed one in a few bytes but not in size
// (payload_digest_test.rc), as a swapped payload would.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/payload.h"
#include "product_install.h"
#include "run/process_values.h"
#include "test_support.h"

namespace {

std::string Hex(const BYTE* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

std::string Sha256OfPath(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<cannot open, error " + std::to_string(GetLastError()) + ">";
  // The digest covers the whole file, wherever the file pointer stood.
  LARGE_INTEGER end = {};
  SetFilePointerEx(h, end, nullptr, FILE_END);
  BYTE digest[kSha256Bytes] = {};
  const HRESULT hr = Sha256OfFile(h, digest);
  CloseHandle(h);
  if (FAILED(hr)) return "<failed " + std::to_string(hr) + ">";
  return Hex(digest, kSha256Bytes);
}

TEST(Sha256, KnownDigests) {
  // FIPS 180-2 examples; the million bytes take several reads.
  struct Case {
    std::string content;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  test::ScratchDir dir(L"sha");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.size());
    const std::wstring file = dir.File(L"content");
    test::WriteFileBytes(file, c.content);
    EXPECT_EQ(c.digest, Sha256OfPath(file));
  }
}

TEST(RecordedDigests, AreThoseOfThePackedLibraries) {
  // The 64-bit test vehicle and the 32-bit updater record the digests of the
  // same libraries, the ones the 32-bit tree packed.
  for (WORD id : {kPayloadLine37, kPayloadLine38}) {
    SCOPED_TRACE(id);
    BYTE recorded[kSha256Bytes] = {};
    ASSERT_TRUE(RecordedPayloadDigest(id, recorded));
    EXPECT_EQ(Sha256OfPath(test::PayloadLibrary(id)), Hex(recorded, kSha256Bytes));
  }
  BYTE none[kSha256Bytes] = {};
  EXPECT_FALSE(RecordedPayloadDigest(132, none));
  EXPECT_FALSE(RecordedPayloadDigest(0, none));
}

bool NoNorlekFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((std::wstring(temp) + L"Norlek*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return true;
  FindClose(find);
  return false;
}

TEST(SwappedPayload, IsNotInstalled) {
  process::ModuleHandle = GetModuleHandleW(nullptr);
  test::ScratchDir dir(L"product");
  const std::wstring target = dir.File(L"TagmindEngineMMLib.dll");
  test::WriteFileBytes(target, std::string(4096, 'O'));
  process::TargetPath = target;
  bool restart = true;
  EXPECT_EQ(kPayloadDigestMismatch, InstallPayload(kPayloadLine37, restart));
  process::TargetPath.clear();
  EXPECT_TRUE(restart) << "the replacement ran: only it writes the flag";
  EXPECT_EQ(std::string(4096, 'O'), test::ReadFileBytes(target)) << "the plug-in was touched";
  EXPECT_TRUE(NoNorlekFolder()) << "the run left its folder behind";
}

}  // namespace
