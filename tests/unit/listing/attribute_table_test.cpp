#include "listing/attribute_table.h"

#include <gtest/gtest.h>

namespace listing {
namespace {

std::string Marks(std::string_view section) { return AttributeString(section, DefaultAttributeItems()); }

std::string Expect(std::initializer_list<std::pair<int, char>> marks) {
  std::string s(65, '-');
  for (auto [position, mark] : marks) s[static_cast<size_t>(position - 1)] = mark;
  return s;
}

TEST(ListingAttributes, TableHasSixtySixItemsAndSixtyFiveMarks) {
  ASSERT_EQ(66u, DefaultAttributeItems().size());
  EXPECT_EQ("01 dogs,dogs allowed;no dogs", DefaultAttributeItems().front());
  EXPECT_EQ("21 cliff,Cliff / falling rocks;cliffs/falling rocks  nearby", DefaultAttributeItems()[20]);
  EXPECT_EQ(Expect({}), Marks(""));
}

TEST(ListingAttributes, YesNoAndBothImages) {
  EXPECT_EQ(Expect({{1, 'A'}, {24, 'N'}}),
            Marks("<img src=\"/images/attributes/dogs-yes.gif\" /><img src=\"/x/wheelchair-no.gif\">"));
  EXPECT_EQ(Expect({{1, 'N'}}), Marks("dogs-yes.gif dogs-no.gif"));
  EXPECT_EQ(Expect({{1, 'N'}}), Marks("dogs-no.gif dogs-yes.gif"));
  EXPECT_EQ(Expect({}), Marks("Dogs-yes.gif dogs-yes.png dogs_yes.gif"));  // case and spelling matter
}

TEST(ListingAttributes, NamesMatchOnlyDirectlyBeforeTheSuffix) {
  EXPECT_EQ(Expect({{14, 'A'}}), Marks("night-yes.gif"));
  EXPECT_EQ(Expect({{52, 'A'}}), Marks("nightcache-yes.gif"));
  // Items 16 and 56 have no comma, hence no image; item 66 has no position.
  EXPECT_EQ(Expect({}), Marks("16 Neexistuje;-yes.gif Neexistuje;-yes.gif teamwork-yes.gif"));
  EXPECT_EQ(Expect({{65, 'N'}}), Marks("frontyard-no.gif teamwork-no.gif"));
}

TEST(ListingAttributes, ItemsComeFromTheGivenTable) {
  const std::vector<std::string> items = {"01 alpha,first", "02 nocomma", "03 beta,third"};
  std::string expected(65, '-');
  expected[0] = 'A';
  expected[2] = 'N';
  EXPECT_EQ(expected, AttributeString("alpha-yes.gif beta-no.gif nocomma-yes.gif", items));
}

}  // namespace
}  // namespace listing
