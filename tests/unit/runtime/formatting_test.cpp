#include "runtime/formatting.h"

#include <clocale>
#include <gtest/gtest.h>

using namespace runtime;

TEST(Formatting, DatePatternsTellMonthsFromMinutes) {
  TDateTime t{2026, 3, 4, 5, 6, 7};
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:mm:ss", t), "2026-03-04 05:06:07");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:mm:ss", t), "04.03.2026 05:06:07");
}

TEST(Formatting, FixedSevenUsesAPointWhateverTheLocale) {
  // A locale with a decimal comma, when the machine has one, must not leak into the text.
  const char* had = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = had ? had : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(FormatFixed7(48.1234567), "48.1234567");
  EXPECT_EQ(FormatFixed7(-0.5), "-0.5000000");
  EXPECT_EQ(FormatFixed7(17), "17.0000000");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Formatting, IntegerAndFloatTexts) {
  EXPECT_EQ(TryStrToInt("-42"), -42);
  EXPECT_EQ(TryStrToInt("0x1F"), 31);
  EXPECT_EQ(TryStrToInt("$ff"), 255);
  EXPECT_FALSE(TryStrToInt(""));
  EXPECT_FALSE(TryStrToInt("-"));
  EXPECT_FALSE(TryStrToInt(" 1"));
  EXPECT_FALSE(TryStrToInt("99999999999"));
  EXPECT_EQ(TryStrToFloat("12.5"), 12.5);
  EXPECT_EQ(TryStrToFloat("+3"), 3.0);
  EXPECT_FALSE(TryStrToFloat("12,5"));
  EXPECT_FALSE(TryStrToFloat("1.5x"));
  EXPECT_EQ(IntToStr(-2147483648LL), "-2147483648");
}
