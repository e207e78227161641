// The program as a user runs it: `tamvirel CODE...` as a process against a loopback site.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/main_form.h"
#include "app/messages.h"
#include "listing/listing_parser.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "app/settings.h"
#include "tests/support/http_test_server.h"
#include "tests/support/loopback_listener.h"
#include "tests/support/site_server.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tls_site.h"

namespace {

struct TRun {
  int Status = -1;
  std::string Err;
};

// The program started with `args` and XDG_DATA_HOME=`xdg`, its standard error read from `errFd`
// (the reading end of a pipe or a terminal), its standard output on /dev/null.
class TChild {
 public:
  TChild(const std::vector<std::string>& args, const std::string& xdg, int errFd, int childErrFd,
         const std::vector<std::string>& extraEnv = {})
      : FErrFd(errFd) {
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(childErrFd, 2);
      ::dup2(::open("/dev/null", O_WRONLY), 1);
      ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
      // Unattended, as batch runs are: a run that finds no session would open the window.
      ::unsetenv("DISPLAY");
      for (const std::string& e : extraEnv) ::putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(TAMVIREL_BINARY)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TAMVIREL_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(childErrFd);
    ::fcntl(FErrFd, F_SETFL, O_NONBLOCK);
  }
  ~TChild() {
    if (!FEnded) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, &FStatus, 0);
      ADD_FAILURE() << "tamvirel did not end in time";
    }
    ::close(FErrFd);
  }
  // Reads what the program writes until it ends, `done` holds or `seconds` pass.
  void Follow(double seconds, const std::function<bool()>& done = nullptr) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(FErrFd, buffer, sizeof buffer)) > 0) Err.append(buffer, static_cast<size_t>(n));
      if (FEnded || (done && done()) || std::chrono::steady_clock::now() >= until) return;
      FEnded = ::waitpid(FPid, &FStatus, WNOHANG) == FPid;
      if (!FEnded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void Signal(int signal) const { ::kill(FPid, signal); }
  bool Ended() const { return FEnded; }
  int Status() const { return FStatus; }  // as waitpid gives it
  std::string Err;

 private:
  pid_t FPid = -1;
  int FErrFd;
  int FStatus = 0;
  bool FEnded = false;
};

// Runs the program with `args` and XDG_DATA_HOME=`xdg`; standard error is a pipe (not a
// terminal). Bounded to 120 s.
TRun RunTamvirel(const std::vector<std::string>& args, const std::string& xdg,
                 const std::vector<std::string>& extraEnv = {}) {
  int errPipe[2];
  EXPECT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
  TChild child(args, xdg, errPipe[0], errPipe[1], extraEnv);
  child.Follow(120);
  return {child.Ended() && WIFEXITED(child.Status()) ? WEXITSTATUS(child.Status()) : -1, child.Err};
}

std::string SamplePage() { return runtime::ReadWholeFile(std::string(TAMVIREL_SOURCE_DIR) + "/examples/GC1TAMV.htm"); }

std::string PageFor(const std::string& code, bool withCoordinates) {
  std::string page = SamplePage();
  for (size_t at; (at = page.find("GC1TAMV")) != std::string::npos;) page.replace(at, 7, code);
  for (size_t at; (at = page.find("listing.tamvirel.example")) != std::string::npos;) page.replace(at, 24, "127.0.0.1");
  if (!withCoordinates) {
    const size_t at = page.find("<span id=\"uxLatLon\">");
    page.erase(at, page.find("</span>", at) + 7 - at);
  }
  return page;
}

// A session the program trusts whatever the machine's uptime: stamped at `stamp` in this
// system start.
void WriteFreshSession(runtime::TIniFile& settings, uint32_t stamp) {
  settings.WriteInteger("Session", "TC", static_cast<int32_t>(stamp));
  settings.WriteString("Session", "Boot", app::SystemBootId());
}

std::string FreshDataHome(const std::string& name) {
  const std::string xdg = ::testing::TempDir() + name;
  std::system(("rm -rf '" + xdg + "'").c_str());
  EXPECT_TRUE(runtime::EnsureDirectory(xdg + "/tamvirel/tmp"));
  return xdg;
}

}  // namespace

TEST(ProgramBatch, DownloadsConvertsAndFailsTheMissingCodeOnly) {
  const std::string xdg = FreshDataHome("batch_e2e");
  const std::string ini = xdg + "/tamvirel/rovkast.ini";
  std::mutex lock;
  std::vector<int> stampSeen;  // Session/TC as the site sees it at each listing request
  TRun second;                 // a run started on the same data folder while this one waits

  site_test::TSiteServer site([&](const site_test::TRequest& r) {
    site_test::TReply reply;
    if (r.Method == "GET" && r.Target.starts_with("/seek/cache_details.aspx?wp=")) {
      {
        std::lock_guard<std::mutex> hold(lock);
        stampSeen.push_back(runtime::TIniFile(ini).ReadInteger("Session", "TC", 0));
      }
      const std::string code = r.Target.substr(r.Target.find("wp=") + 3);
      if (code == "GCB") {
        second = RunTamvirel({"GCD"}, xdg);
        return site_test::TReply{404, "Not Found", {}, "<html>no such cache</html>"};
      }
      // The first page rotates the session cookie; the pages after it must carry the new one.
      if (code == "GCA") reply.HeaderLines.push_back("Set-Cookie: ASP.NET_SessionId=rotated; path=/; HttpOnly");
      const bool signedIn = r.Header("cookie") == (code == "GCA" ? "ASP.NET_SessionId=good;" : "ASP.NET_SessionId=rotated;");
      reply.Body = PageFor(code, signedIn);
      if (code == "GCC") std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the stamp moves on
      return reply;
    }
    if (r.Method == "POST" && r.Target.starts_with("/datastore/favorites.svc/score?u=")) {
      reply.Body = " 42 \r\n";
      return reply;
    }
    return site_test::TReply{404, "Not Found", {}, ""};
  });

  const uint32_t now = app::SystemTickCount();
  {
    runtime::TIniFile settings(ini);
    settings.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=good;");
    WriteFreshSession(settings, now);
    settings.WriteString("Site", "Host", "127.0.0.1");
    settings.WriteString("Site", "HttpPort", site.PortText());
  }

  const TRun run = RunTamvirel({"GCA", "GCB", "GCC"}, xdg);
  EXPECT_EQ(run.Status, 1);
  // Standard error is not a terminal: no progress lines, only the failing code's.
  EXPECT_EQ(run.Err, "tamvirel: " + std::string(app::kErrorMessage) + "GCB: HTTP 404 Not Found\n");
  // The folder was this run's: the second one ended at once, without a request (see below).
  EXPECT_EQ(second.Status, 1);
  EXPECT_NE(second.Err.find("another tamvirel run is using the data folder"), std::string::npos) << second.Err;
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GCA.sql"));
  EXPECT_FALSE(runtime::FileExists(xdg + "/tamvirel/tmp/GCB.sql"));
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GCC.sql"));
  const std::string sqlC = runtime::ReadWholeFile(xdg + "/tamvirel/tmp/GCC.sql");
  EXPECT_NE(sqlC.find("'GCC'"), std::string::npos);
  EXPECT_NE(sqlC.find("48.13538"), std::string::npos) << "the coordinates of the signed-in page";
  // The page markers name the bare host, while the addresses carry the port.
  EXPECT_NE(sqlC.find("'5f3c9a2e-7b1d-4e8a-9c60-1d2e3f405a6b'"), std::string::npos) << "the cache GUID";

  // Stamped after GCA, not after GCB, again after GCC.
  ASSERT_EQ(stampSeen.size(), 3u);
  EXPECT_NE(stampSeen[1], static_cast<int32_t>(now));
  EXPECT_EQ(stampSeen[2], stampSeen[1]);
  EXPECT_NE(runtime::TIniFile(ini).ReadInteger("Session", "TC", 0), stampSeen[2]);

  const auto requests = site.Requests();
  std::vector<site_test::TRequest> pages, favourites;
  for (const auto& r : requests) (r.Method == "GET" ? pages : favourites).push_back(r);
  ASSERT_EQ(pages.size(), 3u);
  const std::string host = "127.0.0.1:" + site.PortText();
  EXPECT_EQ(pages[0].Head.substr(0, pages[0].Head.find("\r\n")), "GET /seek/cache_details.aspx?wp=GCA HTTP/1.0");
  EXPECT_EQ(pages[0].Header("host"), host);
  EXPECT_EQ(pages[0].Header("referer"), "http://" + host + "/seek/cache_details.aspx?wp=GCA");
  EXPECT_EQ(pages[0].Header("user-agent"), "Mozilla/4.0 (compatible)");
  EXPECT_EQ(pages[2].Header("cookie"), "ASP.NET_SessionId=rotated;");

  // One favourites request per converted page (the sample page shows 12 points).
  ASSERT_EQ(favourites.size(), 2u);
  for (const auto& f : favourites) {
    const std::string address = "http://" + host + "/datastore/favorites.svc/score?u=Q7XK2MZP4RTV9WBC3DFG6HJL8NSY5AE";
    EXPECT_EQ(f.Method, "POST");
    EXPECT_EQ(f.Target, "/datastore/favorites.svc/score?u=Q7XK2MZP4RTV9WBC3DFG6HJL8NSY5AE");
    EXPECT_EQ(f.Body, "");
    EXPECT_EQ(f.Header("content-length"), "0");
    EXPECT_EQ(f.Header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(f.Header("cookie"), "ASP.NET_SessionId=rotated;");
    EXPECT_EQ(f.Header("referer"), address);
  }

  // The same codes converted in full, but the files cannot be flushed to the disk at the end:
  // the run must not pass for one that went well. (In this process, to reach the seam; its
  // standard error goes to a file meanwhile.)
  const std::string errFile = xdg + "/flush_stderr.txt";
  const char* oldXdg = std::getenv("XDG_DATA_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  ::unlink((xdg + "/tamvirel/tmp/GCA.sql").c_str());
  std::fflush(stderr);
  const int savedErr = ::dup(2);
  const int errFd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(errFd, 2);
  runtime::FailDeferredFlushesForTesting(true);
  const int status = app::RunProgram({"GCA", "GCC"});
  runtime::FailDeferredFlushesForTesting(false);
  std::fflush(stderr);
  ::dup2(savedErr, 2);
  ::close(savedErr);
  ::close(errFd);
  if (oldXdg) ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(status, 1);
  const std::string err = runtime::ReadWholeFile(errFile);
  EXPECT_EQ(err.find("tamvirel: " + std::string(app::kErrorMessage)), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;  // that line only: every code went well
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GCA.sql"));
}

TEST(ProgramBatch, SignsInDownloadsAndConvertsThroughAProxyThatAsksForBasicCredentials) {
  proxy_test::TSquidProxy squid(proxy_test::TSquidScheme::Basic);
  ASSERT_EQ(squid.Start(), "") << "squid did not start";

  const std::string xdg = FreshDataHome("batch_proxy");
  const std::string ini = xdg + "/tamvirel/rovkast.ini";
  site_test::TTlsSite tls;
  site_test::TSiteServer login(
      [](const site_test::TRequest& r) -> site_test::TReply {
        if (r.Method == "GET")
          return {200, "OK", {"Set-Cookie: ASP.NET_SessionId=fresh; path=/"},
                  "<input name=\"__VIEWSTATE\" id=\"__VIEWSTATE\" value=\"vs1\" />"};
        const bool ok = r.Header("cookie") == "ASP.NET_SessionId=fresh;" && r.Body.starts_with("__VIEWSTATE=vs1&");
        return {200, "OK", {}, ok ? "You are signed in as tamara" : "wrong"};
      },
      tls.Transport());
  site_test::TSiteServer site([&](const site_test::TRequest& r) {
    if (r.Method == "GET" && r.Target == "/seek/cache_details.aspx?wp=GCP")
      return site_test::TReply{200, "OK", {}, PageFor("GCP", r.Header("cookie") == "ASP.NET_SessionId=fresh;")};
    if (r.Method == "POST" && r.Target.starts_with("/datastore/favorites.svc/score?u="))
      return site_test::TReply{200, "OK", {}, " 42 \r\n"};
    return site_test::TReply{404, "Not Found", {}, ""};
  });
  {
    runtime::TIniFile settings(ini);
    // An earlier session's cookie without a stamp: the run must sign in first.
    settings.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=old;");
    settings.WriteString("User", "USER", "tamara");
    settings.WriteString("User", "PWD", app::ScramblePassword("tamara", "heslo"));
    settings.WriteString("Site", "Host", "localhost");
    settings.WriteString("Site", "HttpPort", site.PortText());
    settings.WriteString("Site", "HttpsPort", login.PortText());
    settings.WriteString("Proxy", "IP", "127.0.0.1");
    settings.WriteString("Proxy", "PORT", squid.PortText());
    settings.WriteString("Proxy", "USER", proxy_test::kSquidUser);
    settings.WriteString("Proxy", "PWD", proxy_test::kSquidPassword);
    settings.WriteBool("Proxy", "Use", true);
  }

  const TRun run = RunTamvirel({"GCP"}, xdg, {"SSL_CERT_FILE=" + site_test::TTlsSite::CaFile()});
  EXPECT_EQ(run.Status, 0) << run.Err << squid.Logs();
  EXPECT_EQ(run.Err, "");
  const std::string sql = runtime::ReadWholeFile(xdg + "/tamvirel/tmp/GCP.sql");
  EXPECT_NE(sql.find("'GCP'"), std::string::npos);
  EXPECT_NE(sql.find("48.13538"), std::string::npos) << "the coordinates of the signed-in page";

  // Every request went through squid, which asked first and then knew the user: the sign-in
  // through a tunnel, the page and the favourites forwarded. The sites never saw the proxy's
  // credentials.
  const auto logins = login.Requests();
  ASSERT_EQ(logins.size(), 2u) << squid.Logs();
  const auto requests = site.Requests();
  ASSERT_EQ(requests.size(), 2u) << squid.Logs();
  for (const auto* list : {&logins, &requests})
    for (const auto& r : *list) EXPECT_FALSE(r.Has("proxy-authorization")) << r.Head;
  for (const auto& r : requests) EXPECT_EQ(r.Header("cookie"), "ASP.NET_SessionId=fresh;");
  const std::string user = std::string(" ") + proxy_test::kSquidUser + " ";
  const std::string log = squid.AccessLogWith({"CONNECT localhost:" + login.PortText() + user});
  const std::string base = "http://localhost:" + site.PortText();
  EXPECT_NE(log.find("TCP_DENIED/407"), std::string::npos) << log;
  EXPECT_NE(log.find("CONNECT localhost:" + login.PortText() + user), std::string::npos) << log;
  // (squid leaves the query out of its log)
  EXPECT_NE(log.find("GET " + base + "/seek/cache_details.aspx?" + user), std::string::npos) << log;
  EXPECT_NE(log.find("POST " + base + "/datastore/favorites.svc/score?" + user), std::string::npos) << log;
}

TEST(ProgramBatch, AStaleSessionSignsInThenDownloadsAndConverts) {
  const std::string xdg = FreshDataHome("batch_login_e2e");
  const std::string ini = xdg + "/tamvirel/rovkast.ini";
  site_test::TTlsSite tls(tls_test::TServerCert::Valid, /*closeNotify=*/false);
  site_test::TSiteServer login(
      [](const site_test::TRequest& r) -> site_test::TReply {
        if (r.Method == "GET")
          return {200, "OK", {"Set-Cookie: ASP.NET_SessionId=fresh; path=/"},
                  "<input name=\"__VIEWSTATE\" id=\"__VIEWSTATE\" value=\"vs1\" />"};
        const bool ok = r.Header("cookie") == "ASP.NET_SessionId=fresh;" &&
                        r.Body.find("tbUsername=tamara&") != std::string::npos && r.Body.starts_with("__VIEWSTATE=vs1&");
        return {200, "OK", {}, ok ? "You are signed in as tamara" : "wrong"};
      },
      tls.Transport());
  site_test::TSiteServer site([](const site_test::TRequest& r) -> site_test::TReply {
    if (r.Method == "POST") return {200, "OK", {}, "1"};
    return {200, "OK", {}, PageFor("GCA", r.Header("cookie") == "ASP.NET_SessionId=fresh;")};
  });
  {
    runtime::TIniFile settings(ini);
    // An earlier session's cookie without a stamp: the run must sign in first.
    settings.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=old;");
    settings.WriteString("User", "USER", "tamara");
    settings.WriteString("User", "PWD", app::ScramblePassword("tamara", "heslo"));
    settings.WriteString("Site", "Host", "localhost");
    settings.WriteString("Site", "HttpPort", site.PortText());
    settings.WriteString("Site", "HttpsPort", login.PortText());
  }

  const TRun run = RunTamvirel({"GCA"}, xdg, {"SSL_CERT_FILE=" + site_test::TTlsSite::CaFile()});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GCA.sql"));
  EXPECT_EQ(login.Requests().size(), 2u);
  ASSERT_EQ(site.Requests().size(), 2u);  // the page and the favourites
  EXPECT_EQ(site.Requests()[0].Header("cookie"), "ASP.NET_SessionId=fresh;");
  EXPECT_EQ(runtime::TIniFile(ini).ReadString("Session", "NET_SessionId", ""), "ASP.NET_SessionId=fresh;");

  // The same run with the authority not trusted: the password is not posted, the program says
  // why and ends with 1 before downloading anything.
  // The session just stamped, as if from before a restart.
  runtime::TIniFile(ini).WriteString("Session", "Boot", "an earlier start");
  const TRun untrusted = RunTamvirel({"GCB"}, xdg, {"SSL_CERT_FILE=/nonexistent"});
  EXPECT_EQ(untrusted.Status, 1);
  EXPECT_NE(untrusted.Err.find("tamvirel: the code was not converted: the certificate of"), std::string::npos)
      << untrusted.Err;
  EXPECT_EQ(login.Requests().size(), 2u);
  EXPECT_EQ(site.Requests().size(), 2u);

  // Credentials the site refuses: one line says so and what to do, and no page is asked for.
  runtime::TIniFile(ini).WriteString("User", "USER", "jozo");
  const TRun refused = RunTamvirel({"GCB", "GCC"}, xdg, {"SSL_CERT_FILE=" + site_test::TTlsSite::CaFile()});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_EQ(refused.Err, "tamvirel: 2 codes were not converted: the site refused the sign-in (Meno/Heslo jozo/*** "
                         "neexistuje?); correct the user name or the password in the window (run tamvirel without "
                         "codes) and sign in there, then run the codes again\n");
  EXPECT_EQ(site.Requests().size(), 2u);
}

TEST(ProgramBatch, OneRunPerDataFolderARequestLimitAndTheSessionFromTheSiteOnly) {
  const std::string xdg = FreshDataHome("batch_lock");
  std::string port;
  site_test::TSiteServer site([&](const site_test::TRequest& r) -> site_test::TReply {
    const std::string code = r.Target.substr(r.Target.find("wp=") + 3);
    if (r.Method == "POST") return {200, "OK", {}, "1"};
    if (code == "GCS") std::this_thread::sleep_for(std::chrono::seconds(4));  // past the limit
    if (code == "GCM") return {302, "Found", {"Location: http://localhost:" + port + "/seek/cache_details.aspx?wp=GCN"}, ""};
    // Another host names a session of its own: it is not the site's.
    return {200, "OK", {"Set-Cookie: ASP.NET_SessionId=" + r.Header("host") + "; path=/"}, PageFor(code, true)};
  });
  port = site.PortText();
  runtime::TIniFile settings(xdg + "/tamvirel/rovkast.ini");
  settings.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=good;");
  WriteFreshSession(settings, app::SystemTickCount());
  settings.WriteString("Site", "Host", "127.0.0.1");
  settings.WriteString("Site", "HttpPort", port);
  settings.WriteInteger("Site", "RequestLimit", 2);

  // Another run holds the folder: this one ends at once, without a request; --convert works.
  const int held = ::open((xdg + "/tamvirel/rovkast.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const TRun locked = RunTamvirel({"GCB"}, xdg);
  EXPECT_EQ(locked.Status, 1);
  EXPECT_NE(locked.Err.find("another tamvirel run is using the data folder " + xdg +
                            "/tamvirel/; wait for it to end, or close its window, then try again"),
            std::string::npos)
      << locked.Err;
  EXPECT_TRUE(site.Requests().empty());
  runtime::OverwriteFile(xdg + "/saved.htm", PageFor("GCV", true));
  EXPECT_EQ(RunTamvirel({"--convert", xdg + "/saved.htm"}, xdg).Status, 0);
  ::close(held);

  const TRun run = RunTamvirel({"GCM", "GCS", "GCB"}, xdg);
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(run.Err.find("chyba"), std::string::npos) << run.Err;
  // The limit that cut GCS is named, not the silence time-out.
  EXPECT_NE(run.Err.find(std::string(app::kErrorMessage) + "GCS: site 127.0.0.1:" + port +
                         ": request took longer than 2 s (Site/RequestLimit)\n"),
            std::string::npos)
      << run.Err;
  EXPECT_FALSE(runtime::FileExists(xdg + "/tamvirel/tmp/GCS.sql"));
  EXPECT_TRUE(runtime::FileExists(xdg + "/tamvirel/tmp/GCB.sql"));
  int relocated = 0;
  for (const auto& r : site.Requests()) {
    EXPECT_TRUE((!r.Target.ends_with("GCS") && !r.Target.ends_with("GCB")) || r.Header("cookie") == "ASP.NET_SessionId=good;")
        << r.Target << " " << r.Header("cookie");
    // The site's session goes to the site's host only, not to another one on the same port.
    if (r.Header("host") != "localhost:" + port) continue;
    ++relocated;
    EXPECT_FALSE(r.Has("cookie")) << r.Head;
  }
  EXPECT_EQ(relocated, 1);
}

TEST(ProgramBatch, AnInterruptOrAKillWhileTheDatabaseIsBusyLosesNoCodeItReported) {
  const std::string xdg = FreshDataHome("batch_interrupt");
  const std::string data = xdg + "/tamvirel/";
  site_test::TSiteServer site([](const site_test::TRequest& r) -> site_test::TReply {
    if (r.Method == "POST") return {200, "OK", {}, "1"};
    return {200, "OK", {}, PageFor(r.Target.substr(r.Target.find("wp=") + 3), true)};
  });
  {
    runtime::TIniFile settings(data + "rovkast.ini");
    settings.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=good;");
    WriteFreshSession(settings, app::SystemTickCount());
    settings.WriteString("Site", "Host", "127.0.0.1");
    settings.WriteString("Site", "HttpPort", site.PortText());
  }
  std::vector<std::string> args;
  for (int i = 0; i < 400; ++i) args.push_back("GCI" + std::to_string(i));

  // Runs the batch with standard error on a terminal, so that each code reported converted gets
  // its line. Once three are reported, another program takes the database's write lock for
  // 3.5 s (inside the busy time-out), and `signal` comes while converted codes wait for it.
  // Returns the wait status, what the program wrote and whether it ended while the lock was held.
  const auto runAndSignal = [&](int signal, int times = 1) {
    int master = -1, slave = -1;
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    TChild child(args, xdg, master, slave);
    child.Follow(60, [&] { return std::count(child.Err.begin(), child.Err.end(), '[') >= 3; });
    EXPECT_FALSE(child.Ended()) << child.Err;
    sqlite3* other = nullptr;
    EXPECT_EQ(sqlite3_open_v2((data + "listings.db").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);
    EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(other);
    child.Follow(1.5);
    for (int i = 0; i < times; ++i) {
      child.Signal(signal);
      child.Follow(0.2);  // two signals at once would be delivered as one
    }
    child.Follow(2);
    const bool endedWhileLocked = child.Ended();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    child.Follow(60);
    return std::make_tuple(child.Status(), child.Err, endedWhileLocked);
  };
  // Every code the output reported converted is in the database; returns how many there were.
  const auto checkReported = [&](const std::string& err) {
    std::set<std::string> inDatabase;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2((data + "listings.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_exec(
        db, "SELECT Code FROM geocaches",
        [](void* codes, int, char** values, char**) {
          static_cast<std::set<std::string>*>(codes)->insert(values[0]);
          return 0;
        },
        &inDatabase, nullptr);
    sqlite3_close(db);
    size_t reported = 0;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
      const size_t code = line.find("] GCI");
      if (line.starts_with("tamvirel: [") && code != std::string::npos) {
        ++reported;
        const std::string name = line.substr(code + 2, line.find(':', code) - code - 2);
        EXPECT_TRUE(inDatabase.count(name)) << name << " was reported converted but is not in the database";
      }
    }
    EXPECT_GE(reported, 3u);
    EXPECT_LT(reported, args.size());
    return reported;
  };

  // A crash, and a second Ctrl-C, which ends the run at once: nothing ends in order, yet
  // nothing reported is missing.
  const auto [killed, killedErr, killedAtOnce] = runAndSignal(SIGKILL);
  EXPECT_TRUE(WIFSIGNALED(killed) && killedAtOnce) << killedErr;
  checkReported(killedErr);
  const auto [twice, twiceErr, twiceAtOnce] = runAndSignal(SIGINT, 2);
  EXPECT_TRUE(WIFEXITED(twice) && WEXITSTATUS(twice) == 130 && twiceAtOnce) << twice << twiceErr;
  checkReported(twiceErr);

  // An interrupt: 130 once the waiting codes are in, the summary comes before the end, and the
  // last line says what to do.
  const auto [status, err, atOnce] = runAndSignal(SIGINT);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130 && !atOnce) << status << err;
  const size_t reported = checkReported(err);
  EXPECT_NE(err.find("tamvirel: 400 codes: " + std::to_string(reported) + " converted, 0 failed, "), std::string::npos)
      << err;
  EXPECT_NE(err.find("tamvirel: interrupted: " + std::to_string(reported) + " of 400 codes converted"), std::string::npos)
      << err;
  // No copy of the settings file is left, neither this run's nor the crashed one's.
  for (const std::string& folder : {data, data + "tmp/"}) {
    DIR* dir = ::opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      EXPECT_FALSE(name.starts_with("rovkast.ini.") || name.find(".sql.") != std::string::npos) << folder << name;
    }
    ::closedir(dir);
  }
}

TEST(ProgramCommandLine, RefusesWhatItCannotUseAndNamesTheCauseOfEveryFailure) {
  const std::string xdg = FreshDataHome("command_line");
  const std::string data = xdg + "/tamvirel/";
  // 404 for GCA, never an answer for GCT (the client gives up after its 30 s), a page else.
  http_test::THttpTestServer site([](const http_test::TRecordedRequest& r) {
    http_test::TScriptedReply reply;
    if (r.Target.ends_with("=GCT")) reply.Silent = true;
    reply.Bytes = r.Target.ends_with("=GCA") ? http_test::LengthReply("HTTP/1.0 404 Not Found", "gone")
                                             : http_test::LengthReply("HTTP/1.0 200 OK", PageFor("GCB", true));
    return reply;
  });
  const test_support::TRefusingPort refusing;  // a proxy port where nothing listens
  const std::string closed = refusing.PortText();
  const std::string pages = ::testing::TempDir() + "command_line_pages/";
  ASSERT_TRUE(runtime::EnsureDirectory(pages));
  runtime::WriteFileAtomic(pages + "other_host.htm", SamplePage());  // links to listing.tamvirel.example
  runtime::WriteFileAtomic(pages + "gcx.htm", PageFor("GCX", true));
  const auto settings = [&](bool host, bool proxy) {
    std::system(("rm -rf '" + data + "rovkast.ini' '" + data + "tmp'").c_str());
    ASSERT_TRUE(runtime::EnsureDirectory(data + "tmp"));
    runtime::TIniFile ini(data + "rovkast.ini");
    WriteFreshSession(ini, app::SystemTickCount());
    if (host) ini.WriteString("Site", "Host", "127.0.0.1");
    ini.WriteString("Site", "HttpPort", site.PortText());
    ini.WriteBool("Proxy", "Use", proxy);
    ini.WriteString("Proxy", "IP", "127.0.0.1");
    ini.WriteString("Proxy", "PORT", closed);
  };
  // Pages of no layout (bytes of any kind) are not taken for a signed-out session;
  // a page with the sign-in link and no coordinates is.
  runtime::WriteFileAtomic(pages + "empty.htm", "");
  std::string noise(4096, '\0');
  for (size_t i = 0, x = 1; i < noise.size(); ++i) noise[i] = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
  runtime::WriteFileAtomic(pages + "noise.bin", noise);
  runtime::WriteFileAtomic(pages + "signed_out.htm", "<title>GCS x</title><a href=\"/login/default.aspx?RESET=Y\">Sign in</a>");
  const std::string noLayout = ": no known layout: the page has none of <span id=\"uxLatLon\"> (default), "
                               "<span id=\"ctl00_ContentBody_CacheName\"> (2011-2017)\n";
  // A layout of the user's own, and a file with a mistake beside it.
  runtime::WriteFileAtomic(pages + "made_up.htm", "<main class=\"x\"><title>GC5MADE x (y) in a, b created by c</title>"
                                                  "<p class=\"at\">N 48\xC2\xB0 08.123 E 017\xC2\xB0 06.456</p></main>");
  // The rows below keep the settings and files of the row before them.
  const auto userLayouts = [&] {
    std::system(("rm -rf '" + data + "tmp/GCX.sql'").c_str());
    ASSERT_TRUE(runtime::EnsureDirectory(data + "layouts"));
    runtime::WriteFileAtomic(data + "layouts/made-up.ini", "[made-up]\nbase = default\nrecognise = <main class=\"x\">\n"
                                                           "coordinates.begin = <p class=\"at\">\ncoordinates.end = </p>\n");
    runtime::WriteFileAtomic(data + "layouts/broken.ini", "[broken]\nrecognise\n");
  };
  const std::string layouts = "tamvirel: layouts: default (built in default.ini), 2011-2017 (built in 2011-2017.ini)";
  // The settings above with one value replaced; the site must not be asked for anything.
  const auto bad = [&](const char* section, const char* key, const char* value) {
    return [=] {
      settings(true, false);
      runtime::TIniFile(data + "rovkast.ini").WriteString(section, key, value);
    };
  };
  const std::string badSetting = "tamvirel: bad setting in " + data + "rovkast.ini: ";
  const std::string bare = "expected a bare host name or address";
  const std::string port = "expected a port number from 1 to 65535";
  const std::string inUse = " for the proxy in use ([Proxy] Use=1; Use=0 turns it off)\n";
  const std::string chyba = "tamvirel: " + std::string(app::kErrorMessage);
  const std::string usage = "\ntamvirel: try 'tamvirel --help'\n";
  struct TCase {
    std::vector<std::string> Args;
    std::function<void()> Prepare;
    int Status;
    std::string Err;
    std::string Xdg = "";
    bool SendsNothing = false;
  } cases[] = {
      {{"--x", "GCA"}, nullptr, 2, "tamvirel: unknown option --x" + usage},
      {{"GCA", "--convert", "x"}, nullptr, 2, "tamvirel: --convert must come first: tamvirel --convert FILE..." + usage},
      {{"GCA", "--db", "x.db"}, nullptr, 2, "tamvirel: --db must come first: tamvirel --db FILE [--convert] ..." + usage},
      {{"--version", "extra"}, nullptr, 2, "tamvirel: --version takes nothing else: tamvirel --version" + usage},
      {{"GCA", "--help"}, nullptr, 2, "tamvirel: --help takes nothing else: tamvirel --help" + usage},
      // Every setting is checked before anything is sent; the first bad one is named.
      {{"GCA"}, bad("Site", "HttpPort", "abc"), 1, badSetting + "[Site] HttpPort=abc: " + port + "\n", "", true},
      {{"GCA"}, bad("Site", "HttpsPort", "99999"), 1, badSetting + "[Site] HttpsPort=99999: " + port + "\n", "", true},
      {{"GCA"}, bad("Site", "Host", "https://localhost"), 1,
       badSetting + "[Site] Host=https://localhost: " + bare +
           ": leave out \"https://\" (the program chooses http or https itself)\n", "", true},
      {{"GCA"}, bad("Site", "Host", "localhost/"), 1,
       badSetting + "[Site] Host=localhost/: " + bare + ": leave out the path \"/\"\n", "", true},
      {{"GCA"}, bad("Site", "Host", "localhost:44925"), 1,
       badSetting + "[Site] Host=localhost:44925: " + bare +
           ": write the port as HttpPort=44925 instead (and the sign-in's as HttpsPort=)\n", "", true},
      {{"GCA"}, bad("Proxy", "Use", "yes"), 1, badSetting + "[Proxy] Use=yes: expected 0 (off) or 1 (on)\n", "", true},
      {{"GCA"}, [&] { bad("Proxy", "IP", "")(); runtime::TIniFile(data + "rovkast.ini").WriteBool("Proxy", "Use", true); },
       1, badSetting + "[Proxy] IP=: expected a host name or address" + inUse, "", true},
      {{"GCA"}, [&] { bad("Proxy", "PORT", "")(); runtime::TIniFile(data + "rovkast.ini").WriteBool("Proxy", "Use", true); },
       1, badSetting + "[Proxy] PORT=: " + port + inUse, "", true},
      {{"GCA"}, bad("Site", "VerifyCertificate", "2"), 1,
       badSetting + "[Site] VerifyCertificate=2: expected 0 (off) or 1 (on)\n", "", true},
      {{"GCA"}, bad("Site", "RequestLimit", "4294968"), 1,
       badSetting + "[Site] RequestLimit=4294968: expected a whole number from 0 to 86400 seconds (0: no limit)\n", "",
       true},
      {{"GCA"}, bad("Site", "RequestLimit", "-1"), 1,
       badSetting + "[Site] RequestLimit=-1: expected a whole number from 0 to 86400 seconds (0: no limit)\n", "", true},
      {{"--convert", "x.htm"}, bad("Site", "HttpPort", "0"), 1, badSetting + "[Site] HttpPort=0: " + port + "\n", "",
       true},
      // No session and no user name: the sign-in sends nothing, and the line says what to do.
      {{"GCA", "GCB"}, [&] { bad("Session", "TC", "")(); }, 1,
       "tamvirel: 2 codes were not converted: no user name is stored in " + data +
           "rovkast.ini, so nothing was sent; sign in once in the window (run tamvirel without codes), then run the "
           "codes again\n", "", true},
      {{"--convert", "--", ""}, [&] { settings(true, false); }, 1, chyba + "\"\": an empty file name names no file\n"},
      {{""}, nullptr, 2, "tamvirel: not a waypoint code: \"\" (codes are ASCII letters and digits)" + usage},
      {{"GC\xC3\x81\xC4\x8C"}, nullptr, 2, "tamvirel: not a waypoint code: \"GC\xC3\x81\xC4\x8C\" (codes are ASCII letters and digits)" + usage},
      {{"--", "--x"}, nullptr, 2, "tamvirel: not a waypoint code: \"--x\" (codes are ASCII letters and digits)" + usage},
      {{"--version"}, nullptr, 0, ""},
      {{"GCA"}, [&] { settings(false, false); }, 1,
       "tamvirel: " + app::PlaceholderHostProblem(std::string(listing::kDefaultSiteHost), data + "rovkast.ini") + "\n"},
      // The first and last letter and digit are codes too: this run gets as far as the folder.
      {{"GCA", "0Aa", "9Zz"}, nullptr, 1, "tamvirel: cannot create the data folder " + pages +
                                              "gcx.htm/tamvirel/tmp: Not a directory; set XDG_DATA_HOME to a folder you can write\n",
       pages + "gcx.htm"},
      {{"GCA", "GCB", "GCT"}, [&] { settings(true, false); }, 1,
       chyba + "GCA: HTTP 404 Not Found\n" + chyba + "GCT: site 127.0.0.1:" + site.PortText() +
           ": Request aborted on timeout (nothing received for 30 s)\n"},
      // The system's reason, without the socket layer's numbers.
      {{"GCB"}, [&] { settings(true, true); }, 1, chyba + "GCB: proxy 127.0.0.1:" + closed + ": Connection refused\n"},
      // The site's page is good, the disk cannot take it: a storage failure, not a download's.
      {{"GCB"}, [&] { settings(true, false); ASSERT_TRUE(runtime::EnsureDirectory(data + "tmp/htmlcopy.htm")); }, 1,
       chyba + "GCB: Cannot create file " + data +
           "tmp/htmlcopy.htm: Is a directory; make room or mend the data folder, then run the code again\n"},
      // The code converts, but its database is a folder: the run does not pass for a good one.
      {{"--db", data + "tmp", "GCB"}, [&] { settings(true, false); }, 1,
       chyba + "GCB: database " + data + "tmp: unable to open database file (Is a directory); tmp/GCB.sql is written: "
               "repeat the run once the database can be written\n"},
      {{"--convert", pages + "other_host.htm", pages + "gcx.htm"},
       [&] { settings(true, false); ASSERT_TRUE(runtime::EnsureDirectory(data + "tmp/GCX.sql")); }, 1,
       "tamvirel: " + pages + "other_host.htm: converted for the host listing.tamvirel.example that the page links to "
       "(Site/Host is 127.0.0.1)\n" + chyba + pages + "gcx.htm: conversion failed at " +
           listing::StageFailureCause(2, "Cannot create file " + data + "tmp/GCX.sql: Is a directory") + "\n"},
      {{"--convert", pages + "empty.htm", "/etc/passwd", pages + "noise.bin", pages + "signed_out.htm"}, nullptr, 1,
       chyba + pages + "empty.htm" + noLayout + chyba + "/etc/passwd" + noLayout + chyba + pages + "noise.bin" + noLayout +
           chyba + pages + "signed_out.htm: the page shows no coordinates (saved without signing in?)\n"},
      {{"--verbose", "GCB"}, nullptr, 0,
       layouts + "\ntamvirel: GCB: converted by the layout default (built in default.ini)\n"},
      {{"--verbose", "--convert", pages + "gcx.htm", pages + "made_up.htm"}, userLayouts, 0,
       "tamvirel: layout file not used: " + data + "layouts/broken.ini:2: a line must be a [layout], a key = text or a "
       "comment (; or #)\n" + layouts + ", made-up (" + data + "layouts/made-up.ini)\ntamvirel: " + pages +
           "gcx.htm: converted by the layout default (built in default.ini)\ntamvirel: " + pages +
           "made_up.htm: converted by the layout made-up (" + data + "layouts/made-up.ini)\n"},
  };
  for (const TCase& t : cases) {
    SCOPED_TRACE(t.Args.empty() ? "" : t.Args.front() + " " + t.Err);
    if (t.Prepare) t.Prepare();
    const size_t requestsBefore = site.Requests().size();
    const TRun run = RunTamvirel(t.Args, t.Xdg.empty() ? xdg : t.Xdg);
    EXPECT_EQ(run.Status, t.Status);
    EXPECT_EQ(run.Err, t.Err);
    // A command line or a setting that is refused sends nothing.
    if (t.Status == 2 || t.SendsNothing) {
      EXPECT_EQ(site.Requests().size(), requestsBefore);
    }
  }
  // The saved page of another host converted with that host: its GUIDs are not empty.
  EXPECT_NE(runtime::ReadWholeFile(data + "tmp/GC1TAMV.sql").find("'5f3c9a2e-7b1d-4e8a-9c60-1d2e3f405a6b'"),
            std::string::npos);
  // The characters next to each range of letters and digits are no code.
  for (const char c : std::string("/:@[`{")) {
    const std::string code = std::string("GC") + c;
    const TRun run = RunTamvirel({code}, xdg);
    EXPECT_EQ(run.Status, 2) << code;
    EXPECT_EQ(run.Err, "tamvirel: not a waypoint code: \"" + code + "\" (codes are ASCII letters and digits)" + usage);
  }
  // GCA, GCB and its favourites, GCT, GCB again, GCB and its favourites with the database, GCB
  // with --verbose and its favourites; none
  // through the closed proxy.
  EXPECT_EQ(site.Requests().size(), 9u);
  FILE* version = ::popen(TAMVIREL_BINARY " --version", "r");
  char line[64] = {};
  ASSERT_NE(std::fgets(line, sizeof line, version), nullptr);
  ::pclose(version);
  EXPECT_EQ(line, "tamvirel " + std::string(app::kProgramVersion) + "\n");
}
