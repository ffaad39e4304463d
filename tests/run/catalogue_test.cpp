#include "run/catalogue.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "run/process_values.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------------------
// The block walk over handmade blocks.

// A string-table block from its entries in order (an empty entry is an
// absent id); fewer than 16 entries make a truncated block.
std::vector<WORD> MakeBlock(std::initializer_list<std::wstring> entries) {
  std::vector<WORD> block;
  for (const std::wstring& e : entries) {
    block.push_back(static_cast<WORD>(e.size()));
    block.insert(block.end(), e.begin(), e.end());
  }
  return block;
}

std::wstring Text(const StringEntry& e) {
  return e.text ? std::wstring(e.text, e.length) : std::wstring(L"<absent>");
}

TEST(FindStringEntry, WalksEntriesAndRespectsTheBlockBounds) {
  const std::vector<WORD> full = MakeBlock({L"zero", L"", L"", L"three", L"", L"", L"", L"", L"", L"", L"",
                                            L"", L"", L"", L"", L"fifteen"});
  const std::vector<WORD> head = MakeBlock({L"zero", L"one"});  // truncated after two entries
  // A count that claims more code units than the block holds: "one" says 9
  // and 3 follow. Guard units after the block keep a faulty read in memory.
  std::vector<WORD> overlong = MakeBlock({L"zero", L"one"});
  overlong[5] = 9;
  const size_t overlongBytes = overlong.size() * 2;
  overlong.insert(overlong.end(), 8, 'X');
  // A count that jumps far past the end.
  const std::vector<WORD> jump = {0xFFFF, 'a', 'b'};

  struct Case {
    const char* what;
    const std::vector<WORD>* block;
    size_t bytes;  // as SizeofResource would say
    UINT position;
    const wchar_t* expected;
  } cases[] = {
      {"first entry", &full, full.size() * 2, 0, L"zero"},
      {"entry after empty ones", &full, full.size() * 2, 3, L"three"},
      {"last entry ends the block", &full, full.size() * 2, 15, L"fifteen"},
      {"count 0", &full, full.size() * 2, 1, L"<absent>"},
      {"count 0 before the last", &full, full.size() * 2, 14, L"<absent>"},
      {"last entry cut by one byte", &full, full.size() * 2 - 1, 15, L"<absent>"},
      {"last entry cut by one unit", &full, full.size() * 2 - 2, 15, L"<absent>"},
      {"truncated block, entry inside", &head, head.size() * 2, 1, L"one"},
      {"entry beginning at the end", &head, head.size() * 2, 2, L"<absent>"},
      {"walk runs off the block", &head, head.size() * 2, 9, L"<absent>"},
      {"count beyond the block", &overlong, overlongBytes, 1, L"<absent>"},
      {"count jumps past the end", &jump, jump.size() * 2, 1, L"<absent>"},
      {"half a count", &head, 1, 0, L"<absent>"},
      {"empty block", &head, 0, 0, L"<absent>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Text(FindStringEntry(c.block->data(), c.bytes, c.position)))
        << c.what << " (bytes " << c.bytes << ", position " << c.position << ")";
  }
  EXPECT_EQ(nullptr, FindStringEntry(nullptr, 32, 0).text);
}

// ---------------------------------------------------------------------------
// The catalogue compiled into this program (catalogue_test.rc).

// Restores process::ModuleHandle.
class ScopedModuleHandle {
 public:
  explicit ScopedModuleHandle(HINSTANCE module) : saved_(process::ModuleHandle) {
    process::ModuleHandle = module;
  }
  ~ScopedModuleHandle() { process::ModuleHandle = saved_; }
  ScopedModuleHandle(const ScopedModuleHandle&) = delete;
  ScopedModuleHandle& operator=(const ScopedModuleHandle&) = delete;

 private:
  HINSTANCE saved_;
};

// Ids without a text in any language: count 0 in blocks 65 to 67, a block
// that does not exist, and an id whose block number does not fit 16 bits
// (it must not wrap onto block 65 and read as the caption).
const UINT kAbsentIds[] = {0, 1023, 1025, 1026, 1039, 1041, 1055, 1062, 1071, 1072, 2000,
                           1024 + 0x10000 * 16};

void ExpectAbsentIds() {
  for (UINT id : kAbsentIds) {
    EXPECT_EQ(L"", LoadCatalogueText(id)) << "id " << id;
    std::wstring out = L"untouched";
    EXPECT_EQ(E_FAIL, FormatCatalogueText(out, id, 0x80004005)) << "id " << id;
    EXPECT_EQ(L"untouched", out) << "id " << id;
  }
}

TEST(Catalogue, AbsentIdsReadEmptyAndFailToFormat) {
  ASSERT_EQ(nullptr, process::ModuleHandle);  // the fallback: this program
  EXPECT_NE(L"", LoadCatalogueText(kTextCaption));
  ExpectAbsentIds();
}

TEST(Catalogue, FormatsByThePrintfRulesIntoTheExactLength) {
  std::wstring out;
  ASSERT_EQ(S_OK, FormatCatalogueText(out, 4000, L"abc", 42, 0x2Au));
  EXPECT_EQ(L"[abc|   42|0000002A|%]", out);

  // Longer than any small working buffer, and no terminator counted.
  ASSERT_EQ(S_OK, FormatCatalogueText(out, 4001, 7));
  EXPECT_EQ(std::wstring(599, L'0') + L"7", out);
  EXPECT_EQ(600u, out.size());
}

TEST(Catalogue, ReadsFromTheModuleHandleWhenSet) {
  // version.dll carries no string table: with it as the module, nothing is
  // found, though this program holds the catalogue.
  const HMODULE other = LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, other) << GetLastError();
  ASSERT_EQ(nullptr, FindResourceExW(other, RT_STRING, MAKEINTRESOURCEW(65), 0));
  {
    ScopedModuleHandle scoped(other);
    EXPECT_EQ(L"", LoadCatalogueText(kTextCaption));
    std::wstring out = L"untouched";
    EXPECT_EQ(E_FAIL, FormatCatalogueText(out, kTextUpdateFailed, 0x80004005));
  }
  {
    ScopedModuleHandle scoped(GetModuleHandleW(nullptr));
    EXPECT_NE(L"", LoadCatalogueText(kTextCaption));
  }
  FreeLibrary(other);
}

// ---------------------------------------------------------------------------
// The language choice. Each of these runs in its own CTest test, which sets
// the Unix locale that Wine takes the UI language from and promises that
// language through TAGMIND_EXPECT_UI_LANGUAGE. Wine silently answers
// English when the locale is not generated: then the test fails instead of
// passing on English texts.

struct IdText {
  UINT id;
  const wchar_t* text;
};

// Blocks 65 and 66, which exist in every catalogue language.
const IdText kEnglishHead[] = {
    {1024, L"Pellan Analysis Manager"},
    {1027, L"Pellan Analysis Manager Settings"},
    {1040, L"Only the member of the Administrators group can execute this software. Please contact your administrator, or log off and log on again as an administator and try again."},
};
const IdText kJapaneseHead[] = {
    {1024, L"Pellan 解析マネージャー"},
    {1027, L"Pellan 解析マネージャーの設定"},
    {1040, L"このソフトウェアを実行できるのは、Administrators グループのユーザだけです。このコンピュータの管理者に問い合わせるか、Administrators グループのユーザ名でログオンし直してください。"},
};
const IdText kFrenchHead[] = {
    {1024, L"Gestionnaire d'analyse Pellan"},
    {1027, L"Paramètres du Gestionnaire d’analyse Pellan"},
    {1040, L"Seul un membre du groupe Administrateurs peut exécuter ce logiciel. Contactez votre administrateur, ou déconnectez-vous puis reconnectez-vous en tant qu'administrateur puis réessayez."},
};
const IdText kGermanHead[] = {
    {1024, L"Pellan-Analysemanager"},
    {1027, L"Einstellungen für Pellan-Analysemanager"},
    {1040, L"Nur Benutzer mit Administratorstatus können dieses Programm ausführen. Bitte wenden Sie sich an Ihren Administrator, oder melden Sie sich ab und melden Sie sich dann als Administrator wieder an, und versuchen Sie es erneut."},
};

// Block 67, in English and Japanese only.
const IdText kEnglishMessages[] = {
    {1056, L"There is no target model for this program."},
    {1057, L"There is no need to update the program."},
    {1058, L"Update completed."},
    {1059, L"Update failed."},
    {1060, L"Update failed.\r\n(code = 0x%08x)"},
    {1061, L"Your Pellan must restart for the update to complete."},
};
const IdText kJapaneseMessages[] = {
    {1056, L"このプログラムの対象機種ではありません。"},
    {1057, L"更新する必要はありません。"},
    {1058, L"更新が完了しました。"},
    {1059, L"更新に失敗しました。"},
    {1060, L"更新に失敗しました。\r\n(code = 0x%08x)"},
    {1061, L"アップデートを完了するには、Pellan を再起動する必要があります。"},
};

template <size_t N>
void ExpectTexts(const IdText (&texts)[N]) {
  for (const IdText& t : texts) EXPECT_EQ(t.text, LoadCatalogueText(t.id)) << "id " << t.id;
}

void ExpectFailureText(HRESULT hr, const wchar_t* expected) {
  std::wstring out;
  ASSERT_EQ(S_OK, FormatCatalogueText(out, kTextUpdateFailed, hr));
  EXPECT_EQ(expected, out);
}

template <LANGID Language>
class InUiLanguage : public ::testing::Test {
 protected:
  void SetUp() override {
    const LANGID promised = test::ExpectedUiLanguage();
    if (promised != Language) {
      GTEST_SKIP() << "needs the UI language " << std::hex << Language
                   << ": run through its CTest test, which sets the locale";
    }
    const LANGID actual = GetUserDefaultUILanguage();
    ASSERT_EQ(Language, actual) << std::hex << "promised UI language 0x" << Language << ", Wine gave 0x"
                                << actual << " (is the Unix locale generated?)";
  }
};

class CatalogueInJapanese : public InUiLanguage<0x0411> {};
class CatalogueInEnglish : public InUiLanguage<0x0409> {};
class CatalogueInFrench : public InUiLanguage<0x040c> {};
class CatalogueInGerman : public InUiLanguage<0x0407> {};

TEST_F(CatalogueInJapanese, EveryTextIsJapanese) {
  ExpectTexts(kJapaneseHead);
  ExpectTexts(kJapaneseMessages);
  ExpectFailureText(static_cast<HRESULT>(0x8007041D), L"更新に失敗しました。\r\n(code = 0x8007041d)");
  ExpectAbsentIds();
}

TEST_F(CatalogueInEnglish, EveryTextIsEnglish) {
  ExpectTexts(kEnglishHead);
  ExpectTexts(kEnglishMessages);
  ExpectFailureText(static_cast<HRESULT>(0x80004005), L"Update failed.\r\n(code = 0x80004005)");
  ExpectAbsentIds();
}

TEST_F(CatalogueInFrench, CaptionAndNoticeFrenchMessagesEnglish) {
  ExpectTexts(kFrenchHead);
  ExpectTexts(kEnglishMessages);
  ExpectFailureText(static_cast<HRESULT>(0x80070020), L"Update failed.\r\n(code = 0x80070020)");
  ExpectAbsentIds();
}

TEST_F(CatalogueInGerman, CaptionAndNoticeGermanMessagesEnglish) {
  ExpectTexts(kGermanHead);
  ExpectTexts(kEnglishMessages);
  ExpectAbsentIds();
}

}  // namespace
