#include "product/self_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

const wchar_t kOwnDescription[] = L"Pellan Tagwise Manager 3.7/3.8 Music Update Program";
const wchar_t kJapanese[] = L"\x66F4\x65B0\x30D7\x30ED\x30B0\x30E9\x30E0";  // 更新プログラム

using test::Narrow;

std::wstring Fixture(const std::wstring& name) {
  return test::BinPath(L"product-fixtures\\" + name + L".dll");
}
std::wstring Plugin(const std::wstring& name) {
  return test::I686BinPath(L"plugins\\" + name + L".dll");
}

TEST(GetOwnModulePath, CapacityGrowsByHalfItself) {
  const DWORD expected[] = {260,  390,  585,   877,   1315,  1972, 2958,
                            4437, 6655, 9982, 14973, 22459, 33688};
  DWORD capacity = expected[0];
  for (size_t i = 1; i < sizeof expected / sizeof expected[0]; ++i) {
    capacity = NextModulePathCapacity(capacity);
    EXPECT_EQ(expected[i], capacity) << "step " << i;
  }
}

TEST(GetOwnModulePath, ReadsThisProgram) {
  std::wstring path;
  ASSERT_TRUE(GetOwnModulePath(path));
  EXPECT_EQ(test::BinPath(L"product_self_description_test.exe"), path);
  EXPECT_EQ(wcslen(path.c_str()), path.size());
}

// Paths longer than MAX_PATH: module_path_deep.cmake runs module_path_probe
// from deep folders, since Wine starts such programs only from the Unix side.

TEST(ReadOwnVersion, ThisProgramCarriesTheUpdatersVersionBlock) {
  EXPECT_EQ(L"3.9.0.11260", ReadOwnVersion());
  EXPECT_EQ(kOwnDescription, ReadPatchName());
}

TEST(ReadFileVersionText, FourthFieldPaddedToFiveDigits) {
  struct Case {
    std::wstring path;
    std::wstring text;
  } cases[] = {
      {test::BinPath(L"TagmindEngineMMLibUpdater.exe"), L"3.9.0.11260"},
      {Plugin(L"plugin-1.2.3.4"), L"1.2.3.00004"},  // the file version, not the product's
      {Plugin(L"plugin-3.9.0.123"), L"3.9.0.00123"},
      {Plugin(L"plugin-3.7.5.65535"), L"3.7.5.65535"},
      {Plugin(L"plugin-3.70.0.0"), L"3.70.0.00000"},
      {Plugin(L"plugin-noversion"), L""},
      {Plugin(L"plugin-missing"), L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, ReadFileVersionText(c.path)) << Narrow(c.path);
}

TEST(ChooseTranslation, UserLanguageThenSystemLanguageThenEnglish) {
  struct Case {
    std::vector<TranslationEntry> entries;
    LANGID user, system, chosen;
  } cases[] = {
      {{{0x0409, 1200}}, 0x0411, 0x0411, 0x0409},
      {{{0x0409, 1200}, {0x0411, 1200}}, 0x0411, 0x0409, 0x0411},
      {{{0x0411, 1200}, {0x0409, 1200}}, 0x0409, 0x0411, 0x0409},
      {{{0x0409, 1200}, {0x0411, 1200}}, 0x0407, 0x0409, 0x0409},
      {{{0x0411, 1252}}, 0x0411, 0x0411, 0x0409},
      {{}, 0x0411, 0x0407, 0x0409},
      // Wherever the user's entry stands, it beats the system's.
      {{{0x0407, 1200}, {0x040c, 1200}, {0x0411, 1200}}, 0x0411, 0x0407, 0x0411},
      {{{0x0407, 1200}, {0x040c, 1200}}, 0x0411, 0x040c, 0x040c},
      {{{0x040c, 1252}, {0x0407, 1200}}, 0x040c, 0x0407, 0x0407},
      {{{0x0407, 1200}}, 0x0407, 0x0407, 0x0407},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.chosen, ChooseTranslation(c.entries.data(), c.entries.size(), c.user, c.system))
        << c.entries.size() << " entries, user " << std::hex << c.user << ", system " << c.system;
  }
  EXPECT_EQ(0x0409, ChooseTranslation(static_cast<const void*>(nullptr), 0x0411, 0x0411));
}

TEST(ReadFileDescription, PicksTheBlockOfTheChosenLanguage) {
  const std::wstring updater = test::BinPath(L"TagmindEngineMMLibUpdater.exe");
  struct Case {
    const char* what;
    std::wstring path;
    LANGID user, system;
    std::wstring text;
  } cases[] = {
      {"a Japanese user on a 0409-only resource", updater, 0x0411, 0x0411, kOwnDescription},
      {"Japanese user", Fixture(L"description_en_ja"), 0x0411, 0x0409, kJapanese},
      {"English user", Fixture(L"description_en_ja"), 0x0409, 0x0411, L"Update Program"},
      {"German user, Japanese system", Fixture(L"description_en_ja"), 0x0407, 0x0411, kJapanese},
      {"French user and system", Fixture(L"description_en_ja"), 0x040c, 0x040c,
       L"Update Program"},
      {"chosen block without a description", Fixture(L"description_neutral"), 0x0409, 0x0409,
       L"Neutral description"},
      {"no translation table", Fixture(L"description_no_table"), 0x0411, 0x0411,
       L"Update Program"},
      {"an entry of another code page", Fixture(L"description_other_codepage"), 0x0411, 0x0411,
       L"Update Program"},
      {"no description anywhere", Fixture(L"description_none"), 0x0409, 0x0409, L""},
      {"no version resource", Plugin(L"plugin-noversion"), 0x0409, 0x0409, L""},
      {"a missing file", Fixture(L"missing"), 0x0409, 0x0409, L""},
  };
  for (const Case& c : cases) {
    const std::wstring text = ReadFileDescription(c.path, c.user, c.system);
    EXPECT_EQ(c.text, text) << c.what << ": " << Narrow(text);
  }
}

}  // namespace
