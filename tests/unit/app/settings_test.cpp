#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(SessionAge, FreshOnlyWhenStampedSinceThisStartAndAtMostTenMinutesAgo) {
  const std::string boot = "5c1d2f4e-0a8b-4c6d-9e2f-1a3b5c7d9e0f";
  const std::string other = "0f9e7d5c-3b1a-4f2e-8d6c-4b8a0e2f1d5c";
  struct TRow {
    const char* what;
    uint32_t tick;
    std::optional<int32_t> stamp;
    std::string storedBoot;
    bool fresh;
  } rows[] = {
      {"exactly 600000", 1000000, 400000, boot, true},
      {"600001", 1000001, 400000, boot, false},
      {"stamped now", 400000, 400000, boot, true},
      {"no stamp, early after start", 599999, std::nullopt, boot, false},
      {"no stamp and no boot id", 599999, std::nullopt, "", false},
      {"a stamp of 0 early after start", 599999, 0, boot, true},
      {"negative difference", 1000, 5000000, boot, false},
      {"one millisecond in the future", 399999, 400000, boot, false},
      {"another start's id", 1000000, 999000, other, false},
      {"missing boot id", 1000000, 999000, "", false},
      // After 24.8 days the count is written as a negative number; after 49.7 it wraps.
      {"negative stamp, just taken", 0xFFFFFFFFu, -1, boot, true},
      {"negative stamp, 600000 old", 0x80000000u + 600000, -2147483647 - 1, boot, true},
      {"negative stamp, 600001 old", 0x80000000u + 600001, -2147483647 - 1, boot, false},
      {"across the wrap", 100, -200, boot, true},
      {"half the count away", 100, -2147483647 - 1, boot, false},
  };
  for (const TRow& r : rows) EXPECT_EQ(SessionIsFresh(r.tick, boot, r.stamp, r.storedBoot), r.fresh) << r.what;
  // Without this start's id (no /proc) nothing is fresh, an empty stored id included.
  EXPECT_FALSE(SessionIsFresh(1000, "", 1000, ""));
  EXPECT_EQ(SystemBootId().size(), 36u);  // the kernel's text, its line end cut off
}

TEST(Settings, LoadsEveryFieldAndUnscramblesWithTheStoredUser) {
  std::string dir = ::testing::TempDir() + "settings_load";
  std::system(("rm -rf '" + dir + "'").c_str());
  ASSERT_TRUE(runtime::EnsureDirectory(dir));
  std::string file = dir + "/rovkast.ini";

  TSettings empty = LoadSettings(file, "host.example");
  EXPECT_FALSE(empty.SessionStamp);
  EXPECT_EQ(empty.SessionBoot, "");
  EXPECT_EQ(empty.Password, "");
  EXPECT_FALSE(empty.UseProxy);
  EXPECT_EQ(empty.SiteHost, "host.example");
  EXPECT_EQ(empty.RequestLimit, kDefaultRequestLimit);

  runtime::TIniFile ini(file);
  ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=xyz;");
  ini.WriteInteger("Session", "TC", -12);
  ini.WriteString("Session", "Boot", "b00t");
  ini.WriteString("Proxy", "IP", "10.0.0.1");
  ini.WriteString("Proxy", "PORT", "3128");
  ini.WriteString("Proxy", "USER", "pu");
  ini.WriteString("Proxy", "PWD", "pp");
  ini.WriteBool("Proxy", "Use", true);
  ini.WriteString("User", "USER", "jano");
  ini.WriteString("User", "PWD", ScramblePassword("jano", "tajne&heslo"));
  ini.WriteString("Site", "Host", "127.0.0.1");
  ini.WriteInteger("Site", "RequestLimit", 0);  // no limit

  TSettings s = LoadSettings(file, "host.example");
  EXPECT_EQ(s.SessionCookie, "ASP.NET_SessionId=xyz;");
  EXPECT_EQ(s.SessionStamp, -12);
  EXPECT_EQ(s.SessionBoot, "b00t");
  EXPECT_EQ(s.ProxyIp, "10.0.0.1");
  EXPECT_EQ(s.ProxyPort, "3128");
  EXPECT_EQ(s.ProxyUser, "pu");
  EXPECT_EQ(s.ProxyPassword, "pp");
  EXPECT_TRUE(s.UseProxy);
  EXPECT_EQ(s.UserName, "jano");
  EXPECT_EQ(s.Password, "tajne&heslo");
  EXPECT_EQ(s.SiteHost, "127.0.0.1");
  EXPECT_EQ(s.RequestLimit, 0u);

  ini.WriteString("Session", "TC", "soon");  // not a number: no stamp
  EXPECT_FALSE(LoadSettings(file, "h").SessionStamp);

  // An empty user name leaves the stored password undecoded.
  ini.WriteString("User", "USER", "");
  EXPECT_EQ(LoadSettings(file, "h").Password, "");

  // Restricting the file to its owner never follows a link to another file.
  const std::string link = dir + "/linked.ini";
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  struct stat st {};
  RestrictToOwner(link);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  RestrictToOwner(file);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}
