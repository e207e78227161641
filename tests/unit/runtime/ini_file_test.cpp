#include "runtime/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "runtime/file_io.h"

using namespace runtime;

namespace {

std::string FreshDir(const char* name) {
  std::string dir = ::testing::TempDir() + name;
  std::string cmd = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(EnsureDirectory(dir));
  return dir;
}

}  // namespace

TEST(IniFile, MissingFileAndKeysYieldDefaults) {
  TIniFile ini(FreshDir("ini_defaults") + "/none.ini");
  EXPECT_EQ(ini.ReadString("User", "USER", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Session", "TC", 7), 7);
  EXPECT_TRUE(ini.ReadBool("Proxy", "Use", true));
}

TEST(IniFile, WritesReachTheFileAtOnceAndReadBack) {
  std::string path = FreshDir("ini_write") + "/rovkast.ini";
  TIniFile ini(path);
  ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=abc;");
  ini.WriteInteger("Session", "TC", -5);
  ini.WriteBool("Proxy", "Use", true);
  ini.WriteString("Session", "TC", "12");  // replaces in place
  EXPECT_EQ(ReadWholeFile(path),
            "[Session]\r\nNET_SessionId=ASP.NET_SessionId=abc;\r\nTC=12\r\n\r\n[Proxy]\r\nUse=1\r\n");
  TIniFile again(path);
  EXPECT_EQ(again.ReadString("session", "net_sessionid", ""), "ASP.NET_SessionId=abc;");
  EXPECT_EQ(again.ReadInteger("Session", "TC", 0), 12);
  EXPECT_TRUE(again.ReadBool("Proxy", "Use", false));
}

TEST(IniFile, NumbersThatDoNotParseYieldTheDefault) {
  std::string path = FreshDir("ini_numbers") + "/n.ini";
  ASSERT_NO_THROW(WriteFileAtomic(path, "[S]\nA=12x\nB= -2147483648 \nC=0\nD=\nE=2147483648\n"));
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("S", "A", 3), 3);
  EXPECT_EQ(ini.ReadInteger("S", "B", 3), -2147483647 - 1);
  EXPECT_FALSE(ini.ReadBool("S", "C", true));
  EXPECT_TRUE(ini.ReadBool("S", "D", true));
  EXPECT_EQ(ini.ReadInteger("S", "E", 9), 9);
}

TEST(IniFile, NewFileIsPrivateAndLineBreaksCannotInjectKeys) {
  std::string path = FreshDir("ini_mode") + "/rovkast.ini";
  TIniFile ini(path);
  ini.WriteString("User", "USER", "eve\r\nPWD=00");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ini.ReadString("User", "PWD", "none"), "none");
}

TEST(IniFile, FailedWriteRaisesTheFacilityMessage) {
  std::string path = FreshDir("ini_fail") + "/no/such/folder/rovkast.ini";
  TIniFile ini(path);
  try {
    ini.WriteInteger("Session", "TC", 1);
    FAIL() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
  }
}
