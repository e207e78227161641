#include "runtime/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

using namespace runtime;

namespace {

// The C library's own converter is an independent source for the assigned positions.
std::u16string IconvCp1250(unsigned char byte) {
  iconv_t cd = iconv_open("UTF-16LE", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) return u"?";
  char in[1] = {static_cast<char>(byte)};
  char out[8] = {};
  char* ip = in;
  char* op = out;
  size_t il = 1, ol = sizeof out;
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return u"";
  std::u16string s;
  for (char* p = out; p + 1 < op; p += 2)
    s += static_cast<char16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8));
  return s;
}

}  // namespace

TEST(CodePage, AssignedBytesAgreeWithTheCLibrary) {
  int compared = 0;
  for (int b = 0; b < 256; ++b) {
    if (b == 0x81 || b == 0x83 || b == 0x88 || b == 0x90 || b == 0x98) continue;
    std::u16string ref = IconvCp1250(static_cast<unsigned char>(b));
    ASSERT_EQ(ref.size(), 1u) << "byte " << b;
    EXPECT_EQ(Cp1250ToUnicode(static_cast<unsigned char>(b)), ref[0]) << "byte " << b;
    ++compared;
  }
  EXPECT_EQ(compared, 251);
}

TEST(CodePage, EveryByteSurvivesARoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::u16string wide = AnsiToWide(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(wide[0x81], u'\u0081');
  EXPECT_EQ(wide[0x98], u'\u0098');
  EXPECT_EQ(WideToAnsi(wide), all);
}

TEST(CodePage, UnrepresentableCharactersBecomeTheReplacement) {
  EXPECT_EQ(WideToAnsi(u"a\u4E2Db\xD83D"), "a?b?");
  EXPECT_EQ(WideToAnsi(u"\u010D\u017E"), "\xE8\x9E");  // c and z with caron
  EXPECT_EQ(UnicodeToCp1250(u'\u20AC'), 0x80);
  EXPECT_EQ(UnicodeToCp1250(u'\u00E0'), -1);  // a with grave is not in the code page
}

TEST(CodePage, Utf8EdgesConvertBothWays) {
  EXPECT_EQ(Utf8ToAnsi("\xC5\xA1tart \xE2\x82\xAC"), "\x9Atart \x80");
  EXPECT_EQ(AnsiToUtf8("\x9Atart \x80"), "\xC5\xA1tart \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToAnsi("x\xFFy\xE2\x82"), "x?y?");  // invalid and truncated sequences
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80"), "?");   // outside the basic plane
}

namespace {

std::u16string IconvByte(const char* codePage, unsigned char byte) {
  iconv_t cd = iconv_open("UTF-16LE", codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return u"?";
  char in[1] = {static_cast<char>(byte)};
  char out[8] = {};
  char* ip = in;
  char* op = out;
  size_t il = 1, ol = sizeof out;
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return u"";
  std::u16string s;
  for (char* p = out; p + 1 < op; p += 2)
    s += static_cast<char16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8));
  return s;
}

}  // namespace

TEST(CodePage, OemTableAgreesWithTheCLibraryAndConversionKeepsCharacters) {
  for (int b = 0; b < 256; ++b) {
    std::u16string ref = IconvByte("CP852", static_cast<unsigned char>(b));
    ASSERT_EQ(ref.size(), 1u) << "byte " << b;
    EXPECT_EQ(Cp852ToUnicode(static_cast<unsigned char>(b)), ref[0]) << "byte " << b;
  }
  // Every Windows-1250 byte either keeps its character in code page 852 or becomes "?".
  int kept = 0;
  for (int b = 1; b < 256; ++b) {
    std::string oem = AnsiToOem(std::string(1, static_cast<char>(b)));
    ASSERT_EQ(oem.size(), 1u);
    if (oem == "?" && b != '?') continue;
    EXPECT_EQ(Cp852ToUnicode(static_cast<unsigned char>(oem[0])),
              Cp1250ToUnicode(static_cast<unsigned char>(b))) << "byte " << b;
    ++kept;
  }
  EXPECT_EQ(kept, 255 - 29);  // 24 punctuation marks and 5 unassigned bytes have no place
  EXPECT_EQ(AnsiToOem(std::string("P\xE1\x9A\0\x80", 5)), std::string("P\xA0\xE7\0?", 5));
}

TEST(CodePage, UpperCaseCoversAccentedLetters) {
  EXPECT_EQ(AnsiUpperCase("abc xyz 09"), "ABC XYZ 09");
  // a-acute, c-caron, l-caron, s-caron, z-caron, o-double-acute, l-stroke; sharp s stays.
  EXPECT_EQ(AnsiUpperCase("\xE1\xE8\xBE\x9A\x9E\xF5\xB3\xDF"), "\xC1\xC8\xBC\x8A\x8E\xD5\xA3\xDF");
  EXPECT_EQ(AnsiUpperCase("\xC1\x80\xFF"), "\xC1\x80\xFF");  // upper case, euro, dot above
}
