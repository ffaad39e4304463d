// The description as a Japanese user's run reads it: the harness starts this
// program with a Japanese UI language.

#include "product/self_description.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(ReadPatchName, JapaneseUserGetsTheEnglishBlockOfAnEnglishOnlyResource) {
  ASSERT_EQ(0x0411, test::ExpectedUiLanguage()) << "the harness should promise Japanese";
  ASSERT_EQ(test::ExpectedUiLanguage(), GetUserDefaultUILanguage())
      << "locale ja_JP.UTF-8 not generated?";
  EXPECT_EQ(L"Pellan Tagwise Manager 3.7/3.8 Music Update Program", ReadPatchName());
  EXPECT_EQ(L"3.9.0.11260", ReadOwnVersion());
}

TEST(ReadPatchName, JapaneseUserGetsTheJapaneseBlockWhenThereIsOne) {
  const std::wstring text =
      ReadFileDescription(test::BinPath(L"product-fixtures\\description_en_ja.dll"),
                          GetUserDefaultUILanguage(), GetSystemDefaultUILanguage());
  EXPECT_EQ(L"\x66F4\x65B0\x30D7\x30ED\x30B0\x30E9\x30E0", text);
}

}  // namespace
