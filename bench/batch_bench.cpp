// Batch mode end to end: `tamvirel` with 500 codes against a loopback site serving listing
// pages of about 300 KB (download + conversion + session stamp per code), against a shell loop
// that starts curl once per page on the same server, and curl fetching the same 500 addresses
// over one kept-alive connection as the ceiling. The program runs twice, with the listings
// database off and on (each code's statements also loaded into it). A timed tool: prints pages per
// second and the ratios of the same run.
//
//   batch_bench [pages]   (default 500)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/main_form.h"
#include "app/settings.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "tests/support/site_server.h"

namespace {

std::string ReplaceAll(std::string text, const std::string& what, const std::string& by) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += by.size()) text.replace(at, what.size(), by);
  return text;
}

// The sample page grown to about 300 KB with description text, as long listings are.
std::string BigPage(const std::string& sample) {
  std::string filler;
  while (filler.size() < 300000 - sample.size())
    filler += "<p>Cesta vedie pozd\xC4\xBA\xC5\xBE potoka, okolo mlyna a cez most. Lorem ipsum dolor sit amet.</p>\r\n";
  std::string page = sample;
  const std::string marker = "<span id=\"ctl00_ContentBody_LongDescription\">";
  page.insert(page.find(marker) + marker.size(), filler);
  return ReplaceAll(page, "listing.tamvirel.example", "127.0.0.1");
}

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::atoi(argv[1]) : 500;
  const std::string page = BigPage(runtime::ReadWholeFile(std::string(TAMVIREL_SOURCE_DIR) + "/examples/GC1TAMV.htm"));
  site_test::TSiteServer site([&](const site_test::TRequest& r) {
    site_test::TReply reply;
    if (r.Target.starts_with("/seek/cache_details.aspx?wp=")) {
      reply.Body = ReplaceAll(page, "GC1TAMV", r.Target.substr(r.Target.find("wp=") + 3));
    } else {
      reply.Body = "42";  // the favourites score
    }
    return reply;
  });

  char folder[] = "/tmp/tamvirel-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const std::string xdg = folder;
  runtime::EnsureDirectory(xdg + "/tamvirel/tmp");
  {
    runtime::TIniFile ini(xdg + "/tamvirel/rovkast.ini");
    ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=bench;");
    ini.WriteInteger("Session", "TC", static_cast<int32_t>(app::SystemTickCount()));
    ini.WriteString("Session", "Boot", app::SystemBootId());
    ini.WriteString("Site", "Host", "127.0.0.1");
    ini.WriteString("Site", "HttpPort", site.PortText());
  }
  const std::string base = "http://127.0.0.1:" + site.PortText() + "/seek/cache_details.aspx?wp=";
  std::string codes, urls;
  for (int i = 1; i <= pages; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "GC%05d", i);
    codes += std::string(" ") + code;
    urls += " '" + base + code + "'";
  }

  if (std::getenv("BATCH_BENCH_SERVE") != nullptr) {
    // For looking at one side alone: keep the site up and say how to run the program on it.
    std::printf("XDG_DATA_HOME='%s' '%s' --delay 0%s\n", xdg.c_str(), TAMVIREL_BINARY, codes.c_str());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(std::getenv("BATCH_BENCH_SERVE"))));
    return 0;
  }

  const auto runBatch = [&](const std::string& options, int& status) {
    const auto started = std::chrono::steady_clock::now();
    // Without the pause between requests that a real site is owed: the program's own speed.
    status = Shell("XDG_DATA_HOME='" + xdg + "' '" + TAMVIREL_BINARY + "'" + options + " --delay 0" + codes +
                   " 2>/dev/null");
    return Seconds(started);
  };
  // Off and on in turn, twice, the best of each: the first run of a kind pays for what the run
  // before left (its files still being written back).
  int statusOff = 0, status = 0;
  double batchOff = 1e9, batch = 1e9;
  bool databaseLeftOff = true;
  for (int round = 0; round < 2; ++round) {
    int s = 0;
    Shell("rm -f '" + xdg + "/tamvirel/listings.db'*");
    batchOff = std::min(batchOff, runBatch(" --db ''", s));
    statusOff |= s;
    databaseLeftOff = databaseLeftOff && !runtime::FileExists(xdg + "/tamvirel/listings.db");
    batch = std::min(batch, runBatch("", s));
    status |= s;
  }
  int converted = 0;
  for (int i = 1; i <= pages; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "GC%05d", i);
    converted += runtime::FileExists(xdg + "/tamvirel/tmp/" + code + ".sql") ? 1 : 0;
  }

  auto t = std::chrono::steady_clock::now();
  Shell("for u in" + urls + "; do curl -s -o /dev/null \"$u\"; done");
  const double loop = Seconds(t);

  t = std::chrono::steady_clock::now();
  std::string outputs;
  for (int i = 0; i < pages; ++i) outputs += " -o /dev/null";
  Shell("curl -s" + outputs + urls);
  const double keepAlive = Seconds(t);

  std::printf("pages: %d of ~%zu KB, exit status %d (database off: %d), %d SQL files\n", pages, page.size() / 1024,
              status, statusOff, converted);
  std::fflush(stdout);
  Shell("printf 'caches in the database: '; sqlite3 '" + xdg + "/tamvirel/listings.db' 'SELECT count(*) FROM geocaches'");
  std::printf("tamvirel batch, database off (best of 2): %8.1f pages/s (%.2f s)\n", pages / batchOff, batchOff);
  std::printf("tamvirel batch (download+convert+stamp+database, best of 2): %8.1f pages/s (%.2f s)\n", pages / batch,
              batch);
  std::printf("ratio database on / off: %.2fx (target >= 0.9x)\n", batchOff / batch);
  std::printf("shell loop, one curl per page:           %8.1f pages/s (%.2f s)\n", pages / loop, loop);
  std::printf("curl keep-alive, one process (ceiling):  %8.1f pages/s (%.2f s)\n", pages / keepAlive, keepAlive);
  std::printf("ratio batch / curl loop: %.2fx (target >= 2x); batch / keep-alive ceiling: %.2fx\n", loop / batch,
              keepAlive / batch);
  Shell("rm -rf '" + xdg + "'");
  return converted == pages && status == 0 && statusOff == 0 && databaseLeftOff ? 0 : 1;
}
