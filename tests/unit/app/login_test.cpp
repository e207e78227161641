#include "app/login.h"

#include <gtest/gtest.h>

using namespace app;

TEST(FormEncode, EveryByteClass) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"abcXYZ019", "abcXYZ019"},
      {"*-.[]^_`{}~\x7F", "*-.[]^_`{}~\x7F"},
      {" ", "%20"},
      {"a&b=c", "a%26b%3Dc"},  // a password keeps the body at four fields
      {"!\"#$%'()+,/:;<>?@\\|", "%21%22%23%24%25%27%28%29%2B%2C%2F%3A%3B%3C%3E%3F%40%5C%7C"},
      {std::string("\x00\x01\x1F", 3), "%00%01%1F"},
      {"\xE8", "%C4%8D"},               // c with caron
      {"\xE1\x9A", "%C3%A1%C5%A1"},     // a with acute, s with caron
      {"\xA0\xFF", "%C2%A0%CB%99"},     // no-break space, dot above
      {"x\x80y", "xy"},                 // the euro sign is three bytes in UTF-8: dropped
      {"\x84\x85\x86\x87\x89\x8B\x91\x92\x93\x94\x95\x96\x97\x99\x9B\x82", ""},
      {"\x81\x83\x88\x90\x98", ""},     // unassigned positions count as U+FFFD
  };
  for (const Case& c : cases) EXPECT_EQ(FormEncode(c.in), c.out) << c.in;
}

TEST(LoginForm, ViewStateBodyAndSuccessMarkers) {
  const std::string page =
      "<input type=\"hidden\" name=\"__VIEWSTATE\" id=\"__VIEWSTATE\" value=\"/wEP+Dw=\" />";
  EXPECT_EQ(ViewState(page), "/wEP+Dw=");
  // The closing quotation mark is looked for from the value's third character on.
  EXPECT_EQ(ViewState("\"__VIEWSTATE\" value=\"a\"bc\" />"), "a\"bc");

  EXPECT_EQ(LoginFormBody("/wEP+Dw=", "\xE8lovek", "p&=\x80!"),
            "__VIEWSTATE=%2FwEP%2BDw%3D"
            "&ctl00%24ContentBody%24tbUsername=%C4%8Dlovek"
            "&ctl00%24ContentBody%24tbPassword=p%26%3D%21"
            "&ctl00%24ContentBody%24btnSignIn=Login");

  EXPECT_TRUE(LoginSucceeded("<div class=\"FormSummaryWidget FormSuccessWidget\">"));
  EXPECT_TRUE(LoginSucceeded("x class=\"FormSummaryWidget FormSuccessWidget other\" y"));
  EXPECT_TRUE(LoginSucceeded("<p>You are signed in as tamara</p>"));
  EXPECT_FALSE(LoginSucceeded("you are signed in as tamara"));
  EXPECT_FALSE(LoginSucceeded("class=\"FormSummaryWidget\""));
  EXPECT_FALSE(LoginSucceeded(""));
}
