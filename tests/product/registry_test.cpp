#include "product/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::wstring kBase = L"Software\\TagmindTest\\Registry";

using test::Narrow;

// A value written with exactly these bytes. The registry adds a NUL that
// the caller forgot to count when the memory after the data holds one, so
// each value's data is followed by a non-NUL guard.
struct RawValue {
  const wchar_t* name;
  DWORD type;
  std::string bytes;
};
const char kGuard[] = "G#G#";

std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}
std::string Terminated(const std::wstring& text) { return Utf16(text) + std::string(2, '\0'); }

// Values that break each rule of the string read, plus the plain ones.
const std::wstring kLong(5000, L'x');
const std::vector<RawValue>& StringCases() {
  static const std::vector<RawValue> values = {
      {L"zero", REG_SZ, ""},
      {L"nul", REG_SZ, std::string(2, '\0')},
      {L"text", REG_SZ, Terminated(L"abc")},
      {L"embedded", REG_SZ, Terminated(std::wstring(L"ab\0cd", 5))},
      {L"unterminated", REG_SZ, Utf16(L"abc")},
      {L"odd", REG_SZ, Utf16(L"abc") + std::string(1, '\0')},  // 7 bytes
      {L"expand", REG_EXPAND_SZ, Terminated(L"%SystemRoot%\\x")},
      {L"long", REG_SZ, Terminated(kLong)},
      {L"dword", REG_DWORD, std::string("\x01\x00\x00\x00", 4)},
      {L"binary", REG_BINARY, Terminated(L"abc")},
      {L"multi", REG_MULTI_SZ, Terminated(L"abc") + std::string(2, '\0')},
  };
  return values;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const RawValue& v : StringCases()) {
      const std::string guarded = v.bytes + kGuard;
      scratch_.SetRaw(v.name, v.type, guarded.data(), static_cast<DWORD>(v.bytes.size()));
    }
  }
  test::ScratchKey scratch_{kBase + L"\\Values", 0};
};

TEST_F(RegistryTest, ReadStringValueFollowsTheStringRules) {
  const std::wstring kSentinel = L"sentinel";
  struct Case {
    const wchar_t* name;
    LONG rc;
    std::wstring out;
  } cases[] = {
      {L"zero", ERROR_SUCCESS, L""},
      {L"nul", ERROR_SUCCESS, L""},
      {L"text", ERROR_SUCCESS, L"abc"},
      {L"embedded", ERROR_SUCCESS, L"ab"},
      {L"expand", ERROR_SUCCESS, L"%SystemRoot%\\x"},  // verbatim, never expanded
      {L"long", ERROR_SUCCESS, kLong},
      // Data rejected after the size query: the output is emptied.
      {L"unterminated", ERROR_INVALID_DATA, L""},
      {L"odd", ERROR_MORE_DATA, L""},  // offered one byte too few
      // Rejected before any data is read: the output is untouched.
      {L"dword", ERROR_INVALID_DATA, kSentinel},
      {L"binary", ERROR_INVALID_DATA, kSentinel},
      {L"multi", ERROR_INVALID_DATA, kSentinel},
      {L"missing", ERROR_FILE_NOT_FOUND, kSentinel},
  };
  CRegKeyEx key;
  ASSERT_EQ(ERROR_SUCCESS, key.OpenLocalMachineKey(KEY_READ, scratch_.Path().c_str()));
  for (const Case& c : cases) {
    std::wstring out = kSentinel;
    EXPECT_EQ(c.rc, key.ReadStringValue(c.name, out)) << Narrow(c.name);
    EXPECT_EQ(c.out, out) << Narrow(c.name);
    EXPECT_EQ(wcslen(out.c_str()), out.size()) << Narrow(c.name) << ": terminated at its length";
  }
}

TEST_F(RegistryTest, QueryStringIntoBufferChecksTypeSizeAndTermination) {
  struct Case {
    const wchar_t* name;
    bool withBuffer;
    LONG rc;
    DWORD chars;
  } cases[] = {
      {L"text", false, ERROR_SUCCESS, 4},  // measuring counts the NUL
      {L"text", true, ERROR_SUCCESS, 4},
      {L"odd", false, ERROR_SUCCESS, 3},  // without a buffer nothing is checked but the type
      {L"odd", true, ERROR_INVALID_DATA, 0},
      {L"unterminated", true, ERROR_INVALID_DATA, 0},
      {L"zero", true, ERROR_SUCCESS, 0},
      {L"expand", true, ERROR_SUCCESS, 15},
      {L"dword", true, ERROR_INVALID_DATA, 0},
      {L"dword", false, ERROR_INVALID_DATA, 0},
      {L"missing", true, ERROR_FILE_NOT_FOUND, 0},
      {L"long", true, ERROR_MORE_DATA, 0},
  };
  for (const Case& c : cases) {
    wchar_t buffer[64];
    wmemset(buffer, L'#', 64);
    DWORD chars = 64;
    EXPECT_EQ(c.rc, QueryStringIntoBuffer(scratch_.Get(), c.name, c.withBuffer ? buffer : nullptr,
                                          &chars))
        << Narrow(c.name) << (c.withBuffer ? " with buffer" : " measured");
    EXPECT_EQ(c.chars, chars) << Narrow(c.name);
  }

  // An empty value is made an empty string in the caller's buffer...
  wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
  DWORD chars = 4;
  ASSERT_EQ(ERROR_SUCCESS, QueryStringIntoBuffer(scratch_.Get(), L"zero", buffer, &chars));
  EXPECT_EQ(L'\0', buffer[0]);
  EXPECT_EQ(L'#', buffer[1]);
  // ...but a buffer of no characters is never written to.
  wchar_t guard = L'#';
  chars = 0;
  ASSERT_EQ(ERROR_SUCCESS, QueryStringIntoBuffer(scratch_.Get(), L"zero", &guard, &chars));
  EXPECT_EQ(L'#', guard);
  EXPECT_EQ(0u, chars);
}

// A handle that RegCloseKey has released no longer answers.
bool IsOpenKey(HKEY key) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

TEST_F(RegistryTest, OpenKeepsTheHeldKeyOnFailureAndReplacesItOnSuccess) {
  test::ScratchKey other(kBase + L"\\Other", 0);
  other.SetString(L"text", L"other");

  CRegKeyEx key;
  EXPECT_EQ(nullptr, key.Handle());
  EXPECT_EQ(0u, key.m_samWOW64);
  EXPECT_EQ(nullptr, key.m_pTM);

  ASSERT_EQ(ERROR_SUCCESS,
            key.OpenLocalMachineKey(KEY_READ | KEY_WOW64_64KEY, scratch_.Path().c_str()));
  const HKEY first = key.Handle();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), key.m_samWOW64);

  // A failed reopen leaves the old key held and usable.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            key.OpenLocalMachineKey(KEY_READ | KEY_WOW64_32KEY, (kBase + L"\\Missing").c_str()));
  EXPECT_EQ(first, key.Handle());
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), key.m_samWOW64);
  std::wstring out;
  EXPECT_EQ(ERROR_SUCCESS, key.ReadStringValue(L"text", out));
  EXPECT_EQ(L"abc", out);

  // A successful one releases it.
  ASSERT_EQ(ERROR_SUCCESS, key.OpenLocalMachineKey(KEY_READ, other.Path().c_str()));
  EXPECT_NE(first, key.Handle());
  EXPECT_FALSE(IsOpenKey(first));
  EXPECT_EQ(0u, key.m_samWOW64);
  EXPECT_EQ(ERROR_SUCCESS, key.ReadStringValue(L"text", out));
  EXPECT_EQ(L"other", out);

  const HKEY second = key.Handle();
  key.CloseKey();
  EXPECT_EQ(nullptr, key.Handle());
  EXPECT_FALSE(IsOpenKey(second));
  key.CloseKey();  // closing an empty holder is harmless
  EXPECT_EQ(nullptr, key.Handle());
  EXPECT_EQ(nullptr, key.m_pTM);
}

TEST_F(RegistryTest, CloseAndDestructionReleaseTheKey) {
  HKEY held = nullptr;
  {
    CRegKeyEx key;
    ASSERT_EQ(ERROR_SUCCESS,
              key.OpenLocalMachineKey(KEY_READ | KEY_WOW64_32KEY, L"Software"));
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), key.m_samWOW64);
    key.CloseKey();
    EXPECT_EQ(0u, key.m_samWOW64);
    ASSERT_EQ(ERROR_SUCCESS, key.OpenLocalMachineKey(KEY_READ, scratch_.Path().c_str()));
    held = key.Handle();
    ASSERT_TRUE(IsOpenKey(held));
  }
  EXPECT_FALSE(IsOpenKey(held));
}

TEST(IsNative64BitProcessor, OnlyAmd64AndItaniumAre64Bit) {
  struct Case {
    DWORD type;
    bool native64;
  } cases[] = {
      {PROCESSOR_INTEL_386, false}, {PROCESSOR_INTEL_486, false}, {PROCESSOR_INTEL_PENTIUM, false},
      {PROCESSOR_AMD_X8664, true},  {PROCESSOR_INTEL_IA64, true}, {0, false},
      {PROCESSOR_ARCHITECTURE_AMD64, false},  // an architecture number, not a type
      {0x8664, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.native64, IsNative64BitProcessorType(c.type)) << "type " << c.type;
  // The tests run under wine64 on an x86-64 machine.
  EXPECT_TRUE(IsNative64BitProcessor());
}

TEST(RegistryViews, ThirtyTwoBitViewFirstOnA64BitMachine) {
  const RegistryViewList both = RegistryViews(true);
  ASSERT_EQ(2u, both.count);
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), both.views[0]);
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), both.views[1]);
  const RegistryViewList plain = RegistryViews(false);
  ASSERT_EQ(1u, plain.count);
  EXPECT_EQ(0u, plain.views[0]);
}

// The product keys of each view, set up per test; a view without an entry
// here has no key at all.
class ViewPolicyTest : public ::testing::Test {
 protected:
  const std::wstring path_ = kBase + L"\\Views";
  void SetUp() override {
    test::DeleteLocalMachineTree(path_, KEY_WOW64_32KEY);
    test::DeleteLocalMachineTree(path_, KEY_WOW64_64KEY);
  }

  struct Visit {
    REGSAM view;
    LONG rc;
    std::wstring value;
  };
  // A work that records which view it ran in and what it read there.
  auto Recorder(std::vector<Visit>& visits) {
    return [&visits](CRegKeyEx& key) {
      Visit v{key.m_samWOW64, 0, L""};
      v.rc = key.ReadStringValue(L"which", v.value);
      visits.push_back(v);
    };
  }
};

TEST_F(ViewPolicyTest, FirstFoundViewWorksOnceInTheFirstViewThatOpens) {
  {
    SCOPED_TRACE("only the 64-bit view has the key");
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(ERROR_SUCCESS, FirstFoundView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(1u, visits.size());
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), visits[0].view);
    EXPECT_EQ(L"64", visits[0].value);
  }
  {
    SCOPED_TRACE("both views have it: the 32-bit one wins");
    test::ScratchKey key32(path_, KEY_WOW64_32KEY);
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key32.SetString(L"which", L"32");
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(ERROR_SUCCESS, FirstFoundView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(1u, visits.size());
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), visits[0].view);
    EXPECT_EQ(L"32", visits[0].value);
  }
  {
    SCOPED_TRACE("the 32-bit key lacks the value: the 64-bit one is never asked");
    test::ScratchKey key32(path_, KEY_WOW64_32KEY);
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(ERROR_SUCCESS, FirstFoundView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(1u, visits.size());
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), visits[0].view);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, visits[0].rc);
  }
  {
    SCOPED_TRACE("no key in either view");
    std::vector<Visit> visits;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, FirstFoundView(KEY_READ, path_.c_str(), Recorder(visits)));
    EXPECT_TRUE(visits.empty());
  }
}

TEST_F(ViewPolicyTest, EveryViewWorksInEachViewThatOpensInOrder) {
  {
    SCOPED_TRACE("both views");
    test::ScratchKey key32(path_, KEY_WOW64_32KEY);
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key32.SetString(L"which", L"32");
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(2u, EveryView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(2u, visits.size());
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), visits[0].view);
    EXPECT_EQ(L"32", visits[0].value);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), visits[1].view);
    EXPECT_EQ(L"64", visits[1].value);
  }
  {
    SCOPED_TRACE("a failure in the first view does not stop the second");
    test::ScratchKey key32(path_, KEY_WOW64_32KEY);
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(2u, EveryView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(2u, visits.size());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, visits[0].rc);
    EXPECT_EQ(L"64", visits[1].value);
  }
  {
    SCOPED_TRACE("only the 64-bit view");
    test::ScratchKey key64(path_, KEY_WOW64_64KEY);
    key64.SetString(L"which", L"64");
    std::vector<Visit> visits;
    EXPECT_EQ(1u, EveryView(KEY_READ, path_.c_str(), Recorder(visits)));
    ASSERT_EQ(1u, visits.size());
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), visits[0].view);
  }
  {
    SCOPED_TRACE("no key");
    std::vector<Visit> visits;
    EXPECT_EQ(0u, EveryView(KEY_READ, path_.c_str(), Recorder(visits)));
    EXPECT_TRUE(visits.empty());
  }
}

}  // namespace
