#include <gtest/gtest.h>
#include <functional>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "app/main_form.h"
#include "app/messages.h"
#include "app/settings.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "runtime/message_box.h"

using namespace app;

namespace {

// The least page that converts: a title, the coordinate span and an empty logs object.
std::string Page(const std::string& code) {
  return "<html><head><title>\r\n\t" + code + " Little bridge (Traditional Cache) in Region, Country created by Someone\r\n"
         "</title></head><body>\r\n"
         "<span id=\"uxLatLon\">N 48\xC2\xB0 08.123 E 017\xC2\xB0 06.456</span>\r\n"
         "<script>var initalLogs = {\"status\":\"success\", \"data\":[]};\r\n//]]>\r\n</script></body></html>\r\n";
}

// A session stamped at `tick` in the system start `boot` (this one by default).
void WriteSession(const std::string& dir, int32_t tick, const std::string& boot = SystemBootId()) {
  runtime::TIniFile ini(dir + "rovkast.ini");
  ini.WriteInteger("Session", "TC", tick);
  ini.WriteString("Session", "Boot", boot);
}

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ::testing::TempDir() + "batch_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::system(("rm -rf '" + dir + "'").c_str());
    ASSERT_TRUE(runtime::EnsureDirectory(dir + "tmp"));
    previous = runtime::SetMessageBoxHandler([this](const std::string& t) { messages.push_back(t); });
  }
  void TearDown() override { runtime::SetMessageBoxHandler(previous); }

  std::string dir;
  std::vector<std::string> messages;
  runtime::TMessageBoxHandler previous;
};

}  // namespace

TEST_F(Batch, FreshSessionSkipsTheLoginAndEveryCodeIsStamped) {
  WriteSession(dir, 1000);
  TKelthornF form({"GC1", "GC2", "GC3"}, dir);
  uint32_t tick = 1500;
  int logins = 0;
  std::vector<std::string> urls;
  form.OnTickCount = [&] { return tick; };
  form.OnLogin = [&] { ++logins; };
  form.OnDownload = [&](const std::string& url, const std::string&, const std::string& file, const std::string& method,
                        const std::string& body) {
    urls.push_back(url);
    EXPECT_EQ(method, "GET");
    EXPECT_EQ(body, "");
    std::string code = url.substr(url.find("wp=") + 3);
    runtime::WriteFileAtomic(file, Page(code));
    tick += 10;
    return true;
  };
  form.FormCreate();
  EXPECT_TRUE(form.SignedIn);
  EXPECT_EQ(logins, 0);
  form.RunBatch();

  ASSERT_EQ(urls.size(), 3u);
  EXPECT_EQ(urls[0], "http://listing.tamvirel.example/seek/cache_details.aspx?wp=GC1");
  EXPECT_TRUE(messages.empty());
  for (const char* code : {"GC1", "GC2", "GC3"}) EXPECT_TRUE(runtime::FileExists(dir + "tmp/" + code + ".sql")) << code;
  EXPECT_EQ(runtime::TIniFile(dir + "rovkast.ini").ReadInteger("Session", "TC", 0), 1530);
  EXPECT_EQ(form.Memo1.size(), 1u);  // no window: the pages' descriptions are not gathered
}

TEST_F(Batch, AFailingStampShowsChybaAndTheRunGoesOn) {
  WriteSession(dir, 50);
  TKelthornF form({"GC1", "GC2", "GC3"}, dir);
  uint32_t tick = 100;
  form.OnTickCount = [&] { return tick++; };
  int downloads = 0;
  int stampAfterFirst = 0;
  form.OnDownload = [&](const std::string& url, const std::string&, const std::string& file, const std::string&,
                        const std::string&) {
    ++downloads;
    // While code 2 is converted the settings file is a folder, so its stamp cannot be written.
    if (downloads == 2) {
      stampAfterFirst = runtime::TIniFile(dir + "rovkast.ini").ReadInteger("Session", "TC", 0);
      ::unlink((dir + "rovkast.ini").c_str());
      EXPECT_EQ(::mkdir((dir + "rovkast.ini").c_str(), 0700), 0);
    }
    if (downloads == 3) {
      EXPECT_EQ(::rmdir((dir + "rovkast.ini").c_str()), 0);
    }
    runtime::WriteFileAtomic(file, Page(url.substr(url.find("wp=") + 3)));
    return true;
  };
  form.FormCreate();
  form.RunBatch();
  EXPECT_EQ(messages, std::vector<std::string>{std::string(kErrorMessage) + "GC2: Unable to write to " + dir + "rovkast.ini"});
  EXPECT_TRUE(runtime::FileExists(dir + "tmp/GC1.sql"));
  EXPECT_TRUE(runtime::FileExists(dir + "tmp/GC3.sql"));
  // Stamped after codes 1 and 3 (the tick count rises by one per reading).
  EXPECT_NE(stampAfterFirst, 0);
  EXPECT_GT(runtime::TIniFile(dir + "rovkast.ini").ReadInteger("Session", "TC", 0), stampAfterFirst);
}

TEST_F(Batch, StaleSessionLogsInAndARejectedPageRetriesOnce) {
  // Each of these signs in before the first download, whatever the machine's uptime.
  const std::function<void()> stale[] = {
      [&] { WriteSession(dir, 5); },                        // older than ten minutes
      [&] { WriteSession(dir, 699000, "another start"); },  // young, but from before a restart
      [&] { WriteSession(dir, 699000, ""); },               // young, without a start's id
      [] {},                                                 // no session at all
  };
  for (size_t i = 0; i < std::size(stale); ++i) {
    SCOPED_TRACE(i);
    ::unlink((dir + "rovkast.ini").c_str());
    ::unlink((dir + "tmp/GC9.sql").c_str());
    stale[i]();
    TKelthornF form({"GC9"}, dir);
    form.OnTickCount = [] { return 700000u; };
    int logins = 0, downloads = 0;
    form.OnLogin = [&] {
      ++logins;
      form.SignedIn = true;
    };
    form.OnDownload = [&](const std::string&, const std::string&, const std::string& file, const std::string&,
                          const std::string&) {
      // The first page is not signed in (no coordinates); the retry gets the real page.
      ++downloads;
      runtime::WriteFileAtomic(file, downloads == 1 ? std::string("<title>GC9 x (y) z</title>") : Page("GC9"));
      return true;
    };
    form.FormCreate();
    EXPECT_EQ(logins, 1);
    form.RunBatch();
    EXPECT_EQ(logins, 2);
    EXPECT_EQ(downloads, 2);
    EXPECT_TRUE(runtime::FileExists(dir + "tmp/GC9.sql"));
    EXPECT_TRUE(messages.empty());
    // The converted code stamped the session in this start.
    runtime::TIniFile ini(dir + "rovkast.ini");
    EXPECT_EQ(ini.ReadInteger("Session", "TC", 0), 700000);
    EXPECT_EQ(ini.ReadString("Session", "Boot", ""), SystemBootId());
  }
}

TEST(SessionCookie, KeepsTheSessionCookieUpToItsSemicolon) {
  TKelthornF form({});
  form.HttpCli1Cookie("other=1; path=/");
  EXPECT_EQ(form.SessionCookie, "");
  form.HttpCli1Cookie("ASP.NET_SessionId=abc123; path=/; HttpOnly");
  EXPECT_EQ(form.SessionCookie, "ASP.NET_SessionId=abc123;");
  form.HttpCli1Cookie("ASP.NET_SessionId=abc123");
  EXPECT_EQ(form.SessionCookie, "");
}

TEST(Program, CreatesAMissingDataFolderOwnerOnlyAndConvertsSavedPages) {
  std::string xdg = ::testing::TempDir() + "program_xdg";
  std::system(("rm -rf '" + xdg + "'").c_str());
  const char* old = std::getenv("XDG_DATA_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  const std::string pages = ::testing::TempDir() + "program_pages/";
  ASSERT_TRUE(runtime::EnsureDirectory(pages));
  runtime::WriteFileAtomic(pages + "one.htm", Page("GC1"));
  runtime::WriteFileAtomic(pages + "unsigned.htm", "<title>GC2 x (y) z</title>");
  runtime::WriteFileAtomic(pages + "broken.htm", "no title at all");

  // No folders at all: they are made owner-only; the good page converts, the others fail.
  EXPECT_EQ(RunProgram({"--convert", pages + "one.htm"}), 0);
  struct stat st {};
  ASSERT_EQ(::stat((xdg + "/tamvirel/tmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((xdg + "/tamvirel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GC1.sql"));
  EXPECT_FALSE(runtime::FileExists(xdg + "/tamvirel/tmp/htmlcopy.htm"));  // the saved page is read in place

  EXPECT_EQ(RunProgram({"--convert", pages + "unsigned.htm", pages + "one.htm"}), 1);
  EXPECT_FALSE(runtime::FileExists(xdg + "/tamvirel/tmp/GC2.sql"));
  EXPECT_EQ(RunProgram({"--convert", pages + "missing.htm"}), 1);


  if (old) ::setenv("XDG_DATA_HOME", saved.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
}

TEST(SessionClock, CountsMillisecondsSinceBootSleepIncluded) {
  // The stamp is compared across runs; a clock that stops while the machine sleeps would make
  // an old session look fresh. On a machine that has slept, the monotonic clock lags this one.
  auto boot = [] {
    timespec ts {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
  };
  const uint32_t before = boot();
  const uint32_t tick = SystemTickCount();
  const uint32_t after = boot();
  EXPECT_LE(static_cast<uint32_t>(tick - before), static_cast<uint32_t>(after - before));
}

TEST_F(Batch, AFailedDownloadFailsItsCodeWithoutConvertingThePageBefore) {
  WriteSession(dir, 1000);
  runtime::TIniFile(dir + "rovkast.ini").WriteString("Site", "HttpPort", "8080");
  TKelthornF form({"GC1", "GC2", "GC3"}, dir);
  uint32_t tick = 1000;
  std::vector<std::string> urls;
  std::vector<int32_t> stamps;
  form.OnTickCount = [&] { return tick += 7; };
  form.OnDownload = [&](const std::string& url, const std::string&, const std::string& file, const std::string&,
                        const std::string&) {
    urls.push_back(url);
    stamps.push_back(runtime::TIniFile(dir + "rovkast.ini").ReadInteger("Session", "TC", 0));
    if (url.ends_with("GC2")) return false;
    runtime::WriteFileAtomic(file, Page(url.substr(url.find("wp=") + 3)));
    return true;
  };
  form.FormCreate();
  std::vector<std::string> done;
  form.OnCodeDone = [&](const TKelthornF::TCodeResult& r) { done.push_back(r.Code); };
  const auto results = form.RunBatch();

  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(urls[0], "http://listing.tamvirel.example:8080/seek/cache_details.aspx?wp=GC1");
  EXPECT_EQ(results[0].Outcome, TKelthornF::TCodeOutcome::Converted);
  EXPECT_GT(results[0].Statements, 2u);
  EXPECT_EQ(results[1].Outcome, TKelthornF::TCodeOutcome::DownloadFailed);
  EXPECT_EQ(results[1].Statements, 0u);
  EXPECT_EQ(results[2].Outcome, TKelthornF::TCodeOutcome::Converted);
  EXPECT_EQ(results[2].Index, 3);
  EXPECT_EQ(results[2].Count, 3);
  EXPECT_EQ(done, (std::vector<std::string>{"GC1", "GC2", "GC3"}));
  EXPECT_EQ(messages, std::vector<std::string>{std::string(kErrorMessage) + "GC2: download failed"});
  // The failed code left no stamp: the one seen before code 3 is still code 1's.
  ASSERT_EQ(stamps.size(), 3u);
  EXPECT_NE(stamps[1], 1000);
  EXPECT_EQ(stamps[2], stamps[1]);
}

TEST_F(Batch, ACodeThatIsNotConvertedLeavesTheStampAlone) {
  // The page shows no coordinates (the session is not signed in) and the sign-in fails, or it
  // works but the page cannot be had again: either way the code is not converted, and its
  // stamp would make the next run within ten minutes trust a session that was just refused.
  struct TCase {
    const char* what;
    bool loginWorks;
    TKelthornF::TCodeOutcome outcome;
    std::vector<std::string> messages;
  } cases[] = {{"the sign-in fails", false, TKelthornF::TCodeOutcome::NotConverted,
                {std::string(kErrorMessage) + "GC1: the page shows no coordinates (not signed in?); signing in again "
                                              "failed: the sign-in failed"}},
               {"the retry's download fails", true, TKelthornF::TCodeOutcome::DownloadFailed,
                {std::string(kErrorMessage) + "GC1: after signing in again: download failed"}}};
  for (const TCase& t : cases) {
    SCOPED_TRACE(t.what);
    messages.clear();
    WriteSession(dir, 1000);
    TKelthornF form({"GC1"}, dir);
    form.OnTickCount = [] { return 2000u; };
    form.OnLogin = [&] { form.SignedIn = t.loginWorks; };
    int downloads = 0;
    form.OnDownload = [&](const std::string&, const std::string&, const std::string& file, const std::string&,
                          const std::string&) {
      if (++downloads > 1) return false;
      runtime::WriteFileAtomic(file, "<title>GC1 x (y) z</title><a href=\"/login/default.aspx\">Sign in</a>");
      return true;
    };
    form.FormCreate();
    ASSERT_TRUE(form.SignedIn);
    const auto results = form.RunBatch();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Outcome, t.outcome);
    EXPECT_EQ(messages, t.messages);
    EXPECT_FALSE(runtime::FileExists(dir + "tmp/GC1.sql"));
    EXPECT_EQ(runtime::TIniFile(dir + "rovkast.ini").ReadInteger("Session", "TC", 0), 1000);
  }
}

namespace {

TEST_F(Batch, TheConversionButtonSaysWhenNoLayoutKnowsThePage) {
  TKelthornF form({}, dir);
  form.OnLogin = [&] { form.SignedIn = true; };
  form.OnDownload = [&](const std::string&, const std::string&, const std::string& file, const std::string&,
                        const std::string&) {
    runtime::WriteFileAtomic(file, "root:x:0:0:root:/root:/bin/bash\n");
    return true;
  };
  form.FormCreate();
  runtime::WriteFileAtomic(dir + "tmp/htmlcopy.htm", "");
  EXPECT_FALSE(form.SpeedButton1Click());
  EXPECT_EQ(messages, std::vector<std::string>{"no known layout: the page has none of <span id=\"uxLatLon\"> (default), "
                                               "<span id=\"ctl00_ContentBody_CacheName\"> (2011-2017) (after signing in again)"});
}

}  // namespace
