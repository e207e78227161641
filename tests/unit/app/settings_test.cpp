#include "app/settings.h"

#include <gtest/gtest.h>

#include "runtime/file_io.h"
#include "runtime/ini_file.h"

using namespace app;

TEST(PasswordScrambling, RoundTripsForAnyLengthAndByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  for (const std::string& key : {std::string("a"), std::string("user"), std::string("\xE8lovek")}) {
    for (size_t len : {0u, 1u, 3u, 4u, 5u, 17u, 255u}) {
      std::string password = all.substr(0, len);
      std::string stored = ScramblePassword(key, password);
      EXPECT_EQ(stored.size(), 2 * len);
      EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos);
      EXPECT_EQ(UnscramblePassword(key, stored), password) << key << " " << len;
    }
  }
}

TEST(PasswordScrambling, KnownTextAndEmptyKey) {
  // 'p'^'a' = 0x11, 'w'^'b' = 0x15, then the key repeats: 'd'^'a' = 0x05.
  EXPECT_EQ(ScramblePassword("ab", "pwd"), "111505");
  EXPECT_EQ(UnscramblePassword("ab", "111505"), "pwd");
  EXPECT_EQ(ScramblePassword("", "secret"), "");
  EXPECT_EQ(UnscramblePassword("", "111505"), "");
}

TEST(PasswordScrambling, DecodingStopsAtABadPairAndIgnoresAnOddDigit) {
  EXPECT_EQ(UnscramblePassword("ab", "11150"), "pw");
  EXPECT_EQ(UnscramblePassword("ab", "1115G105"), "pw");
  EXPECT_EQ(UnscramblePassword("ab", "11f5"), std::string("p") + static_cast<char>(0xF5 ^ 'b'));  // either case
  EXPECT_EQ(UnscramblePassword("ab", ""), "");
}

TEST(SessionAge, TenMinutesIsTheLimit) {
  EXPECT_TRUE(SessionIsFresh(1000000, 400000));   // exactly 600000
  EXPECT_FALSE(SessionIsFresh(1000001, 400000));  // 600001
  EXPECT_TRUE(SessionIsFresh(599999, 0));         // no stamp, early after start
  EXPECT_FALSE(SessionIsFresh(700000, 0));
  EXPECT_TRUE(SessionIsFresh(1000, 5000000));     // stamp from before a restart
  // A stamp written as a negative number makes the difference larger than the tick count.
  EXPECT_FALSE(SessionIsFresh(100, -2147483647 - 1));
  EXPECT_FALSE(SessionIsFresh(0xFFFFFFFFu, -1));
}

TEST(Settings, LoadsEveryFieldAndUnscramblesWithTheStoredUser) {
  std::string dir = ::testing::TempDir() + "settings_load";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(runtime::EnsureDirectory(dir));
  std::string file = dir + "/rovkast.ini";

  TSettings empty = LoadSettings(file, "host.example");
  EXPECT_EQ(empty.SessionStamp, 0);
  EXPECT_EQ(empty.Password, "");
  EXPECT_FALSE(empty.UseProxy);
  EXPECT_EQ(empty.SiteHost, "host.example");

  runtime::TIniFile ini(file);
  ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=xyz;");
  ini.WriteInteger("Session", "TC", -12);
  ini.WriteString("Proxy", "IP", "10.0.0.1");
  ini.WriteString("Proxy", "PORT", "3128");
  ini.WriteString("Proxy", "USER", "pu");
  ini.WriteString("Proxy", "PWD", "pp");
  ini.WriteBool("Proxy", "Use", true);
  ini.WriteString("User", "USER", "jano");
  ini.WriteString("User", "PWD", ScramblePassword("jano", "tajne&heslo"));
  ini.WriteString("Site", "Host", "127.0.0.1");

  TSettings s = LoadSettings(file, "host.example");
  EXPECT_EQ(s.SessionCookie, "ASP.NET_SessionId=xyz;");
  EXPECT_EQ(s.SessionStamp, -12);
  EXPECT_EQ(s.ProxyIp, "10.0.0.1");
  EXPECT_EQ(s.ProxyPort, "3128");
  EXPECT_EQ(s.ProxyUser, "pu");
  EXPECT_EQ(s.ProxyPassword, "pp");
  EXPECT_TRUE(s.UseProxy);
  EXPECT_EQ(s.UserName, "jano");
  EXPECT_EQ(s.Password, "tajne&heslo");
  EXPECT_EQ(s.SiteHost, "127.0.0.1");

  // An empty user name leaves the stored password undecoded.
  ini.WriteString("User", "USER", "");
  EXPECT_EQ(LoadSettings(file, "h").Password, "");
}
