#include "listing/text_ops.h"

#include <gtest/gtest.h>

#include <string>

namespace listing {
namespace {

TEST(ListingTextOps, SliceClampsStartAndCount) {
  EXPECT_EQ("abc", Slice("abcdef", 0, 3));    // start below 1 does not shorten the count
  EXPECT_EQ("ab", Slice("abcdef", -5, 2));
  EXPECT_EQ("", Slice("abcdef", 7, 3));
  EXPECT_EQ("f", Slice("abcdef", 6, 3));
  EXPECT_EQ("", Slice("abcdef", 2, -1));
  EXPECT_EQ("", Slice("abcdef", 2, 0));
  EXPECT_EQ("cdef", Slice("abcdef", 3, kRest));
  EXPECT_EQ("", Slice("", 1, 5));
}

TEST(ListingTextOps, SliceReturnsAViewIntoItsArgument) {
  const std::string page = "0123456789";
  const std::string_view piece = Slice(page, 4, 3);
  EXPECT_EQ(page.data() + 3, piece.data());
}

TEST(ListingTextOps, FindTextAndFindFromAreOneBased) {
  EXPECT_EQ(2, FindText("a", "banana"));
  EXPECT_EQ(0, FindText("x", "banana"));
  EXPECT_EQ(0, FindText("", "banana"));
  EXPECT_EQ(0, FindText("a", ""));
  EXPECT_EQ(4, FindFrom("a", "banana", 2));
  EXPECT_EQ(2, FindFrom("a", "banana", 0));
  EXPECT_EQ(2, FindFrom("a", "banana", 1));
  EXPECT_EQ(6, FindFrom("a", "banana", 5));
  EXPECT_EQ(0, FindFrom("a", "banana", 6));
  EXPECT_EQ(0, FindFrom("a", "banana", 60));
  EXPECT_EQ(0, FindFrom("nab", "banana", 0));
}

TEST(ListingTextOps, TextBetweenSkipsEndMarkerRightBehindStart) {
  EXPECT_EQ("cdx", TextBetween("ab", "cd", "abcdxcd"));
  EXPECT_EQ("x", TextBetween("<b>", "</b>", "..<b>x</b>..</b>"));
  EXPECT_EQ("", TextBetween("<b>", "</i>", "..<b>x</b>"));  // no end marker
  // Absent start marker: the piece starts at the position equal to the marker's length.
  EXPECT_EQ("bcde", TextBetween("xy", "|", "abcde|z"));
  EXPECT_EQ("abcde", TextBetween("x", "|", "abcde|z"));
  EXPECT_EQ("cde", TextBetween("xyz", "|", "abcde|z"));
}

TEST(ListingTextOps, PageBetweenNeedsItsStartMarker) {
  EXPECT_EQ("", PageBetween("abcde|z", "xy", "|"));
  EXPECT_EQ("cdx", PageBetween("abcdxcd", "ab", "cd"));
  EXPECT_EQ("", PageBetween("abcd", "ab", "zz"));
  EXPECT_EQ("", PageBetween("", "ab", "cd"));
}

TEST(ListingTextOps, TrimBlanksRemovesControlBytesOnly) {
  EXPECT_EQ("a b", TrimBlanks("\ta b\r\n"));
  EXPECT_EQ("", TrimBlanks(" \x01\x1f "));
  EXPECT_EQ("\xc3\xa1", TrimBlanks(" \xc3\xa1\x7f"  "  ").substr(0, 2));
  EXPECT_EQ("\xa0x\xa0", TrimBlanks("\xa0x\xa0"));
  EXPECT_EQ("x\x7f", TrimBlanks("x\x7f"));
}

TEST(ListingTextOps, ReplaceFirstAndAll) {
  EXPECT_EQ("2013-04-05 10:11:12ZT", ReplaceFirst("2013-04-05T10:11:12ZT", "T", " "));
  EXPECT_EQ("abc", ReplaceFirst("abc", "x", "y"));
  EXPECT_EQ("48 08.123", ReplaceAll("48&nbsp;&nbsp; 08.123", "&nbsp;", ""));
  EXPECT_EQ("aaaa", ReplaceAll("aa", "a", "aa"));  // inserted text is not scanned again
  EXPECT_EQ("xbx", ReplaceAll("aaabaaa", "aaa", "x"));
  EXPECT_EQ("abc", ReplaceAll("abc", "", "z"));
}

TEST(ListingTextOps, SqlQuoteDoublesApostrophesOnly) {
  EXPECT_EQ("a''''b", SqlQuote("a''b"));
  EXPECT_EQ("O''Neil \\ \" \r", SqlQuote("O'Neil \\ \" \r"));
  EXPECT_EQ("", SqlQuote(""));
}

TEST(ListingTextOps, EscapeLineBreaksKeepsOrder) {
  EXPECT_EQ("#10;#13;", EscapeLineBreaks("\n\r"));
  EXPECT_EQ("a#13;#10;b#10;", EscapeLineBreaks("a\r\nb\n"));
  EXPECT_EQ("#13;x", EscapeLineBreaks("#13;x"));
}

TEST(ListingTextOps, RotateHintSkipsBracketedStretches) {
  EXPECT_EQ("Under [N3] rock", RotateHint("Haqre [N3] ebpx"));
  EXPECT_EQ("Abc", RotateHint("Nop"));
  EXPECT_EQ("[abc]nop", RotateHint("[abc]abc"));
  EXPECT_EQ("[abc>nop", RotateHint("[abc>abc"));  // either closing byte ends either opening
  EXPECT_EQ("<br />gerr", RotateHint("<br />tree"));
  EXPECT_EQ("NZamz09 \xc3\xa1", RotateHint("AMnzm09 \xc3\xa1"));
  EXPECT_EQ("<<a>n", RotateHint("<<a>a"));  // no nesting: the first ">" closes
}

TEST(ListingTextOps, LogVisitDateReordersNothing) {
  EXPECT_EQ("05-07-2012", LogVisitDate("5/7/2012"));
  EXPECT_EQ("12-31-2012", LogVisitDate("12/31/2012"));
  EXPECT_EQ("01-02-3", LogVisitDate("1/2/3"));
  EXPECT_EQ("--2012", LogVisitDate("2012-07-05"));  // no slash: the first four characters
  EXPECT_EQ("05-07-2012", LogVisitDate("5/7/2012 10:00:00"));
  EXPECT_EQ("--", LogVisitDate(""));
}

}  // namespace
}  // namespace listing
