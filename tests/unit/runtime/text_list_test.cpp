#include "runtime/text_list.h"

#include <gtest/gtest.h>

#include "runtime/file_io.h"

using namespace runtime;

TEST(TextList, SplitsAtEveryKindOfLineBreak) {
  TTextList list;
  list.SetText("a\r\nb\rc\nd\n\re");
  ASSERT_EQ(list.Count(), 6u);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[1], "b");
  EXPECT_EQ(list[2], "c");
  EXPECT_EQ(list[3], "d");
  EXPECT_EQ(list[4], "");  // LF CR is two breaks
  EXPECT_EQ(list[5], "e");
}

TEST(TextList, FinalBreakAddsNoLineAndNulEndsTheText) {
  TTextList list;
  list.SetText("one\r\ntwo\r\n");
  EXPECT_EQ(list.Count(), 2u);
  list.SetText(std::string_view("one\ntw\0o\nthree", 15));
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[1], "tw");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0u);
  list.SetText("\r\n");
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0], "");
}

TEST(TextList, NormalizeWritesCrLfAfterEveryLine) {
  EXPECT_EQ(NormalizeLineBreaks("a\rb\nc"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(NormalizeLineBreaks(""), "");
  EXPECT_EQ(NormalizeLineBreaks(std::string_view("x\0y", 3)), "x\r\n");
  // Long text with lone CRs only must still be read in one pass (and correctly).
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "ab\r";
  std::string norm = NormalizeLineBreaks(big);
  EXPECT_EQ(norm.size(), 100000u * 4);
}

TEST(TextList, SavesWithCrLfAndLoadsBack) {
  std::string dir = ::testing::TempDir() + "text_list_test";
  ASSERT_TRUE(EnsureDirectory(dir));
  std::string path = dir + "/list.txt";
  TTextList list;
  list.Add("first");
  list.Add("");
  list.Add("third");
  list.SaveToFile(path);
  EXPECT_EQ(ReadWholeFile(path), "first\r\n\r\nthird\r\n");
  TTextList back;
  back.LoadFromFile(path);
  EXPECT_EQ(back.Lines(), list.Lines());
  EXPECT_THROW(back.LoadFromFile(dir + "/missing.txt"), EFileError);
}
