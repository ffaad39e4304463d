#include "product/patch_record.h"

#include <gtest/gtest.h>

#include <string>

#include "run/process_values.h"
#include "test_support.h"

namespace {

const std::wstring kEntry =
    L"Software\\Norlek Corporation\\Shared Info\\AppDB\\Pellan Tagwise Manager";
const std::wstring kPatchList = kEntry + L"\\PatchList";
const std::wstring kRecord = kPatchList + L"\\EP0000417263";
const wchar_t kDescription[] = L"Pellan Tagwise Manager 3.7/3.8 Music Update Program";

using test::Narrow;
const char* ViewName(REGSAM view) { return view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view"; }

struct Value {
  LONG rc = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::string bytes;
};

Value ReadValue(const std::wstring& subkey, REGSAM view, const wchar_t* name) {
  Value v;
  HKEY key = nullptr;
  v.rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | view, &key);
  if (v.rc != ERROR_SUCCESS) return v;
  char data[4096];
  DWORD size = sizeof data;
  v.rc = RegQueryValueExW(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(data), &size);
  if (v.rc == ERROR_SUCCESS) v.bytes.assign(data, size);
  RegCloseKey(key);
  return v;
}

bool KeyExists(const std::wstring& subkey, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | view, &key) !=
      ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// The exact bytes a REG_SZ holds: the text and its NUL.
std::string Stored(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()),
                     (text.size() + 1) * sizeof(wchar_t));
}

void ExpectRecord(REGSAM view, const std::wstring& name, const std::wstring& version) {
  SCOPED_TRACE(ViewName(view));
  struct Expected {
    const wchar_t* value;
    std::wstring text;
  } values[] = {{L"patchid", L"EP0000417263"}, {L"patchname", name}, {L"version", version}};
  for (const Expected& e : values) {
    const Value v = ReadValue(kRecord, view, e.value);
    ASSERT_EQ(ERROR_SUCCESS, v.rc) << Narrow(e.value);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), v.type) << Narrow(e.value);
    EXPECT_EQ(Stored(e.text), v.bytes) << Narrow(e.value) << ": " << v.bytes.size() << " bytes";
  }
}

FILETIME LastWrite(const std::wstring& subkey, REGSAM view) {
  FILETIME time = {};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | view, &key) ==
      ERROR_SUCCESS) {
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &time);
    RegCloseKey(key);
  }
  return time;
}

// The product entry has a fixed path: no view has it at the start or the end
// of a test.
class PatchRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    process::PatchName = kDescription;
    process::OwnVersion = L"3.9.0.11260";
  }
  void TearDown() override {
    Clean();
    process::PatchName.clear();
    process::OwnVersion.clear();
  }
  static void Clean() {
    test::DeleteLocalMachineTree(kEntry, KEY_WOW64_32KEY);
    test::DeleteLocalMachineTree(kEntry, KEY_WOW64_64KEY);
  }
};

TEST_F(PatchRecordTest, WritesEveryViewThatHasTheEntryThirtyTwoBitFirst) {
  test::ScratchKey entry32(kEntry, KEY_WOW64_32KEY);
  test::ScratchKey entry64(kEntry, KEY_WOW64_64KEY);
  EXPECT_TRUE(WritePatchRecord());
  ExpectRecord(KEY_WOW64_32KEY, kDescription, L"3.9.0.11260");
  ExpectRecord(KEY_WOW64_64KEY, kDescription, L"3.9.0.11260");
  EXPECT_EQ(24u, ReadValue(kRecord, KEY_WOW64_32KEY, L"version").bytes.size());
  EXPECT_EQ(26u, ReadValue(kRecord, KEY_WOW64_32KEY, L"patchid").bytes.size());

  // The 32-bit record was written before the 64-bit one.
  const FILETIME written32 = LastWrite(kRecord, KEY_WOW64_32KEY);
  const FILETIME written64 = LastWrite(kRecord, KEY_WOW64_64KEY);
  EXPECT_LT(CompareFileTime(&written32, &written64), 0)
      << written32.dwHighDateTime << ":" << written32.dwLowDateTime << " against "
      << written64.dwHighDateTime << ":" << written64.dwLowDateTime;
}

TEST_F(PatchRecordTest, OnlyTheViewsWithTheEntryGetTheRecord) {
  for (REGSAM present : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    const REGSAM absent = present == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    SCOPED_TRACE(std::string("entry only in the ") + ViewName(present));
    {
      test::ScratchKey entry(kEntry, present);
      EXPECT_TRUE(WritePatchRecord());
      ExpectRecord(present, kDescription, L"3.9.0.11260");
      EXPECT_FALSE(KeyExists(kEntry, absent)) << "the entry is never created";
    }
    Clean();
  }
}

TEST_F(PatchRecordTest, NoEntryAnywhereCreatesNothing) {
  EXPECT_FALSE(WritePatchRecord());
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    EXPECT_FALSE(KeyExists(kEntry, view)) << ViewName(view);
    EXPECT_TRUE(KeyExists(L"Software", view));
  }
}

TEST_F(PatchRecordTest, AnExistingRecordKeepsWhatElseItHolds) {
  test::ScratchKey entry(kEntry, KEY_WOW64_32KEY);
  {
    test::ScratchKey record(kRecord, KEY_WOW64_32KEY);
    record.SetString(L"patchid", L"EP0000000001");
    record.SetDword(L"patchname", 7);
    record.SetString(L"version", L"1.0.0.00001");
    record.SetString(L"installed", L"yes");
    test::ScratchKey child(kRecord + L"\\Files", KEY_WOW64_32KEY);
    test::ScratchKey sibling(kPatchList + L"\\EP0000000001", KEY_WOW64_32KEY);
    sibling.SetString(L"patchid", L"EP0000000001");

    EXPECT_TRUE(WritePatchRecord());
    ExpectRecord(KEY_WOW64_32KEY, kDescription, L"3.9.0.11260");
    EXPECT_EQ(Stored(L"yes"), ReadValue(kRecord, KEY_WOW64_32KEY, L"installed").bytes);
    EXPECT_TRUE(KeyExists(kRecord + L"\\Files", KEY_WOW64_32KEY));
    EXPECT_EQ(Stored(L"EP0000000001"),
              ReadValue(kPatchList + L"\\EP0000000001", KEY_WOW64_32KEY, L"patchid").bytes);
  }
}

TEST_F(PatchRecordTest, TextsAreStoredUpToTheirFirstNul) {
  struct Case {
    const char* what;
    std::wstring name, version;
    std::wstring storedName, storedVersion;
  } cases[] = {
      {"empty name", L"", L"3.9.0.11260", L"", L"3.9.0.11260"},
      {"both empty", L"", L"", L"", L""},
      {"embedded NUL", std::wstring(L"Update\0tail", 11), std::wstring(L"3.9\0.0", 6), L"Update",
       L"3.9"},
  };
  test::ScratchKey entry(kEntry, KEY_WOW64_64KEY);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    process::PatchName = c.name;
    process::OwnVersion = c.version;
    EXPECT_TRUE(WritePatchRecord());
    ExpectRecord(KEY_WOW64_64KEY, c.storedName, c.storedVersion);
  }
}

// A volatile PatchList refuses the record key (a non-volatile child): that
// view stays without a record, the other one is still written.
TEST_F(PatchRecordTest, ARefusedRecordKeyInOneViewLeavesTheOther) {
  test::ScratchKey entry32(kEntry, KEY_WOW64_32KEY);
  HKEY patchList = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPatchList.c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                            &patchList, nullptr));
  RegCloseKey(patchList);

  EXPECT_FALSE(WritePatchRecord()) << "the only view refused the record";
  EXPECT_FALSE(KeyExists(kRecord, KEY_WOW64_32KEY));

  test::ScratchKey entry64(kEntry, KEY_WOW64_64KEY);
  EXPECT_TRUE(WritePatchRecord());
  EXPECT_FALSE(KeyExists(kRecord, KEY_WOW64_32KEY));
  ExpectRecord(KEY_WOW64_64KEY, kDescription, L"3.9.0.11260");
}

}  // namespace
