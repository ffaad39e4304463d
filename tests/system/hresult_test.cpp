#include "system/hresult.h"

#include <gtest/gtest.h>

TEST(HrFromWin32, MapsPositiveCodesAndPassesTheRest) {
  struct Case { long in; HRESULT out; } cases[] = {
      {32, static_cast<HRESULT>(0x80070020)},     {1053, static_cast<HRESULT>(0x8007041D)},
      {5, static_cast<HRESULT>(0x80070005)},      {0x12345, static_cast<HRESULT>(0x80072345)},
      {0, 0},                                     {static_cast<long>(0x80004005), static_cast<HRESULT>(0x80004005)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, HrFromWin32(c.in)) << "input " << c.in;
}
