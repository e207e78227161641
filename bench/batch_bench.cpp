// Batch mode end to end: `tamvirel` with 500 codes against a loopback site serving listing
// pages (download + conversion + session stamp per code), against a shell loop that starts curl
// once per page on the same server, and curl fetching the same 500 addresses over one kept-alive
// connection as the ceiling. The program runs with the listings database off and on (each code's
// rows also written into it), each run's peak memory taken. The database writer alone is then
// timed on the same pages' rows, against the sqlite3 shell loading the SQL files the run wrote
// (each file in one transaction, write-ahead logging on), and against SQLite alone storing the same
// texts, the floor under any writer. A timed tool: prints pages per second and the ratios of the
// same run.
//
//   batch_bench [pages] [realistic|long]   (default 500 realistic)
//
// realistic: pages shaped like the saved listing pages (about 150 KB, a 3 KB description, 25 logs
// of about 600 bytes, the rest the page's own markup outside any value). long: the sample page
// grown to about 300 KB of description, the rare long listing.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/main_form.h"
#include "app/settings.h"
#include "listing/listing_parser.h"
#include "runtime/file_io.h"
#include "runtime/ini_file.h"
#include "runtime/text_list.h"  // NormalizeLineBreaks
#include "store/listing_store.h"
#include "tests/support/site_server.h"

namespace {

std::string ReplaceAll(std::string text, const std::string& what, const std::string& by) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += by.size()) text.replace(at, what.size(), by);
  return text;
}

constexpr std::string_view kParagraph =
    "<p>Cesta vedie pozd\xC4\xBA\xC5\xBE potoka, okolo mlyna a cez most. Lorem ipsum dolor sit amet.</p>\r\n";

// `sample` with `size` bytes of paragraphs added to its long description.
std::string WithDescription(std::string page, size_t size) {
  std::string filler;
  while (filler.size() + kParagraph.size() <= size) filler += kParagraph;
  const std::string marker = "<span id=\"ctl00_ContentBody_LongDescription\">";
  page.insert(page.find(marker) + marker.size(), filler);
  return page;
}

// The sample page grown to about 300 KB with description text, as the longest listings are.
std::string LongPage(const std::string& sample) { return WithDescription(sample, 300000 - sample.size()); }

// A page like the saved ones: a description of about 3 KB, 25 logs of about 600 bytes (ids unique
// per cache: the served page has the code in them), and the page's navigation, scripts and
// styles (markup outside any value) up to about 150 KB. The logs' texts are written as the site
// writes them: UTF-8 bytes, escapes only for quotes and line breaks (the saved pages have no
// other).
std::string RealisticPage(const std::string& sample) {
  std::string page = WithDescription(sample, 2600);
  std::string logs;
  for (int i = 1; i <= 25; ++i) {
    char log[1024];
    std::snprintf(log, sizeof log,
                  "%s{\"LogID\":\"GC1TAMV%02d\",\"CacheID\":3141592,\"LogGuid\":\"b4c5d6e7-f809-4a1b-8c2d-3e4f5a6b7c%02d\","
                  "\"Latitude\":null,\"Longitude\":null,\"LatLonString\":\"\",\"LogType\":\"Found it\","
                  "\"LogTypeImage\":\"2.png\",\"LogText\":\"Pekná prechádzka popri potoku, kešku sme "
                  "našli rýchlo. Ďalej sme pokračovali k \\\"mlynu\\\".<br />Vďaka za kešku, "
                  "TFTC!\\nLorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.\","
                  "\"Created\":\"4/%d/2013\",\"Visited\":\"4/%d/2013\",\"UserName\":\"Hľadač %d\",\"MembershipLevel\":1,"
                  "\"AccountID\":%d,\"AccountGuid\":\"c0ffee00-1234-4abc-9def-0123456789%02d\",\"Email\":\"\","
                  "\"AvatarImage\":\"\",\"GeocacheFindCount\":118,\"GeocacheHideCount\":2,\"ChallengesCompleted\":0,"
                  "\"IsEncoded\":false,\"creator\":{\"GroupTitle\":\"Member\",\"GroupImageUrl\":\"/images/icon_member.gif\"},"
                  "\"Images\":[]}",
                  i == 1 ? "" : ",", i, i, i, i, i, 4700 + i, i);
    logs += log;
  }
  const size_t data = page.find("\"data\": [") + 9;
  page.replace(data, page.find("], \"pageInfo\"") - data, logs);
  std::string markup;
  for (int i = 0; markup.size() + sample.size() < 150000 - 6000; ++i)
    markup += "<li class=\"nav-item\"><a href=\"/play/search?kw=" + std::to_string(i) +
              "\" class=\"nav-link\" data-event=\"menu\">Hľadať keše v okolí</a></li>\r\n"
              "<script type=\"text/javascript\">window.dataLayer.push({'event':'nav','id':" + std::to_string(i) +
              "});</script>\r\n";
  page.insert(page.find("</body>"), markup);
  return page;
}

// Off and on runs of the program; on a shared machine one run of a kind can land on a busy moment.
constexpr int kRounds = 4;

double Seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the program with `arguments` and `XDG_DATA_HOME`, its stderr dropped; the exit status in
// `status`, its peak resident memory in KB in `peakKb`, the processor time it used in `cpu`.
// Returns the seconds it took.
double RunProgram(const std::string& xdg, const std::vector<std::string>& arguments, int& status, long& peakKb,
                  double& cpu) {
  // A forked child's peak memory starts as this process's, which holds every page of the site:
  // the program is started by /usr/bin/time, a small process, which reports the program's own.
  const std::string peakFile = xdg + "/peak-kb";
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    std::freopen("/dev/null", "w", stderr);
    std::vector<const char*> argv{"/usr/bin/time", "-f", "%M", "-o", peakFile.c_str(), TAMVIREL_BINARY};
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    ::execv(argv[0], const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  int raw = 0;
  struct rusage usage {};
  ::wait4(child, &raw, 0, &usage);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  peakKb = 0;
  if (FILE* f = std::fopen(peakFile.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &peakKb) != 1) peakKb = 0;
    std::fclose(f);
  }
  cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return Seconds(started);
}

}  // namespace

int main(int argc, char** argv) {
  const int pages = argc > 1 ? std::atoi(argv[1]) : 500;
  const std::string profile = argc > 2 ? argv[2] : "realistic";
  if (profile != "realistic" && profile != "long") {
    std::fprintf(stderr, "usage: batch_bench [pages] [realistic|long]\n");
    return 2;
  }
  const std::string sample = runtime::ReadWholeFile(std::string(TAMVIREL_SOURCE_DIR) + "/examples/GC1TAMV.htm");
  const std::string page =
      ReplaceAll(profile == "long" ? LongPage(sample) : RealisticPage(sample), "listing.tamvirel.example", "127.0.0.1");
  const auto pageOf = [&](const std::string& code) { return ReplaceAll(page, "GC1TAMV", code); };
  site_test::TSiteServer site([&](const site_test::TRequest& r) {
    site_test::TReply reply;
    if (r.Target.starts_with("/seek/cache_details.aspx?wp=")) {
      reply.Body = pageOf(r.Target.substr(r.Target.find("wp=") + 3));
    } else {
      reply.Body = "42";  // the favourites score
    }
    return reply;
  });

  char folder[] = "/tmp/tamvirel-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const std::string xdg = folder;
  const std::string data = xdg + "/tamvirel/";
  runtime::EnsureDirectory(data + "tmp");
  {
    runtime::TIniFile ini(data + "rovkast.ini");
    ini.WriteString("Session", "NET_SessionId", "ASP.NET_SessionId=bench;");
    ini.WriteInteger("Session", "TC", static_cast<int32_t>(app::SystemTickCount()));
    ini.WriteString("Session", "Boot", app::SystemBootId());
    ini.WriteString("Site", "Host", "127.0.0.1");
    ini.WriteString("Site", "HttpPort", site.PortText());
  }
  const std::string base = "http://127.0.0.1:" + site.PortText() + "/seek/cache_details.aspx?wp=";
  std::vector<std::string> codes;
  std::string urls;
  for (int i = 1; i <= pages; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "GC%05d", i);
    codes.push_back(code);
    urls += " '" + base + code + "'";
  }

  if (std::getenv("BATCH_BENCH_SERVE") != nullptr) {
    // For looking at one side alone: keep the site up and say how to run the program on it.
    std::string list;
    for (const std::string& c : codes) list += " " + c;
    std::printf("XDG_DATA_HOME='%s' '%s' --delay 0%s\n", xdg.c_str(), TAMVIREL_BINARY, list.c_str());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(std::getenv("BATCH_BENCH_SERVE"))));
    return 0;
  }

  // Without the pause between requests that a real site is owed: the program's own speed.
  std::vector<std::string> off = {"--db", "", "--delay", "0"}, on = {"--delay", "0"};
  off.insert(off.end(), codes.begin(), codes.end());
  on.insert(on.end(), codes.begin(), codes.end());
  // Off and on in turn, kRounds times, the best of each: a run pays for what the run before left
  // (its files still being written back). Peak memory is the largest of the runs of a kind.
  int statusOff = 0, status = 0;
  double batchOff = 1e9, batch = 1e9;
  long peakOff = 0, peak = 0;
  double cpuOff = 1e9, cpuOn = 1e9;
  bool databaseLeftOff = true;
  for (int round = 0; round < kRounds; ++round) {
    int s = 0;
    long kb = 0;
    double cpu = 0;
    Shell("rm -f '" + data + "listings.db'*");
    batchOff = std::min(batchOff, RunProgram(xdg, off, s, kb, cpu));
    cpuOff = std::min(cpuOff, cpu);
    statusOff |= s;
    peakOff = std::max(peakOff, kb);
    databaseLeftOff = databaseLeftOff && !runtime::FileExists(data + "listings.db");
    Shell("rm -f '" + data + "listings.db'*");
    batch = std::min(batch, RunProgram(xdg, on, s, kb, cpu));
    cpuOn = std::min(cpuOn, cpu);
    status |= s;
    peak = std::max(peak, kb);
  }
  int converted = 0;
  for (const std::string& code : codes) converted += runtime::FileExists(data + "tmp/" + code + ".sql") ? 1 : 0;

  // The database writer alone, on the same pages' rows: each cache in its own transaction.
  std::vector<listing::TCacheRows> caches(codes.size());
  {
    listing::TListingParser parser;
    parser.Host = "127.0.0.1";
    std::string read;
    for (size_t i = 0; i < codes.size(); ++i)
      if (!parser.BuildRows(runtime::NormalizeLineBreaks(pageOf(codes[i])), caches[i], read)) return 1;
  }
  double writer = 0, writerCpu = 0;
  {
    Shell("rm -f '" + data + "writer.db'*");
    store::TListingStore store(data + "writer.db");
    for (const listing::TCacheRows& rows : caches) {
      const auto t = std::chrono::steady_clock::now();
      const double cpu = ThreadCpuSeconds();
      store.Apply(rows);
      writer += Seconds(t);
      writerCpu += ThreadCpuSeconds() - cpu;
    }
  }
  // The floor under any writer of these rows into SQLite: the same texts (the description and
  // each log's text) as rows of one keyed table by one prepared insert, nothing cleaned or bound
  // beyond them, one transaction per cache, the same journal settings.
  double floorCpu = 0;
  {
    Shell("rm -f '" + data + "floor.db'*");
    sqlite3* db = nullptr;
    sqlite3_open((data + "floor.db").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE t (Id TEXT PRIMARY KEY, Text TEXT)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES (?, ?)", -1, &insert, nullptr);
    const auto put = [&](const std::string& id, const std::string& text) {
      sqlite3_bind_text(insert, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    };
    for (const listing::TCacheRows& rows : caches) {
      const double cpu = ThreadCpuSeconds();
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      put(rows.Geocache.Code, rows.Geocache.LongDescription);
      for (const listing::TLogRow& log : rows.Logs) put(log.Id, log.LogTextUtf8);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      floorCpu += ThreadCpuSeconds() - cpu;
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  // The sqlite3 shell loading the SQL files the run wrote into the same tables, each file in one
  // transaction, write-ahead logging on (synchronous=NORMAL, as the program has it).
  Shell("rm -f '" + data + "shell.db'*");
  { store::TListingStore tables(data + "shell.db"); }
  // The files' statements as the shell reads them: it needs a semicolon behind each, which the
  // Attributes and log statements do not have (the program that loads the files reads lines).
  std::string script = "PRAGMA journal_mode=WAL;\nPRAGMA synchronous=NORMAL;\n";
  for (const std::string& code : codes) {
    script += "BEGIN;\n";
    const std::string file = runtime::ReadWholeFile(data + "tmp/" + code + ".sql");
    for (size_t at = 0, end; (end = file.find("\r\n", at)) != std::string::npos; at = end + 2)
      script.append(file, at, end - at).append(file[end - 1] == ';' ? "\n" : ";\n");
    script += "COMMIT;\n";
  }
  runtime::WriteFileAtomic(data + "load.sql", script);
  auto t = std::chrono::steady_clock::now();
  const int shellStatus = Shell("sqlite3 -bail '" + data + "shell.db' < '" + data + "load.sql' > /dev/null");
  const double shell = Seconds(t);

  t = std::chrono::steady_clock::now();
  Shell("for u in" + urls + "; do curl -s -o /dev/null \"$u\"; done");
  const double loop = Seconds(t);

  t = std::chrono::steady_clock::now();
  std::string outputs;
  for (int i = 0; i < pages; ++i) outputs += " -o /dev/null";
  Shell("curl -s" + outputs + urls);
  const double keepAlive = Seconds(t);

  std::printf("profile %s, pages: %d of ~%zu KB, exit status %d (database off: %d), %d SQL files\n", profile.c_str(),
              pages, page.size() / 1024, status, statusOff, converted);
  std::fflush(stdout);
  Shell("printf 'caches in the database: '; sqlite3 '" + data + "listings.db' 'SELECT count(*) FROM geocaches'");
  std::printf("tamvirel batch, database off (best of %d): %8.1f pages/s (%.2f s, CPU %.2f s), peak %ld KB\n", kRounds,
              pages / batchOff, batchOff, cpuOff, peakOff);
  std::printf("tamvirel batch, database on (best of %d):  %8.1f pages/s (%.2f s, CPU %.2f s), peak %ld KB\n", kRounds,
              pages / batch, batch, cpuOn, peak);
  std::printf("ratio database on / off: %.2fx (target >= %s); peak memory on / off: %.2fx (target <= 1.5x)\n",
              batchOff / batch, profile == "long" ? "0.75x" : "0.9x", static_cast<double>(peak) / peakOff);
  std::printf("processor time the database adds (on - off, best runs): %.0f us a cache\n",
              (cpuOn - cpuOff) * 1e6 / pages);
  std::printf("database writer alone:                   %8.1f caches/s (%.2f s, %.2f ms of CPU a cache)\n",
              pages / writer, writer, writerCpu * 1000 / pages);
  std::printf("SQLite alone, the same texts as rows:                       %.2f ms of CPU a cache (writer / that: %.2fx)\n",
              floorCpu * 1000 / pages, writerCpu / floorCpu);
  std::printf("sqlite3 shell loading the SQL files:     %8.1f caches/s (%.2f s)%s\n", pages / shell, shell,
              shellStatus == 0 ? "" : " (FAILED)");
  std::printf("ratio writer / sqlite3 shell: %.2fx (target >= 1.5x)\n", shell / writer);
  std::printf("shell loop, one curl per page:           %8.1f pages/s (%.2f s)\n", pages / loop, loop);
  std::printf("curl keep-alive, one process (ceiling):  %8.1f pages/s (%.2f s)\n", pages / keepAlive, keepAlive);
  std::printf("ratio batch / curl loop: %.2fx (target >= 2x); batch / keep-alive ceiling: %.2fx\n", loop / batch,
              keepAlive / batch);
  Shell("rm -rf '" + xdg + "'");
  return converted == pages && status == 0 && statusOff == 0 && databaseLeftOff && shellStatus == 0 ? 0 : 1;
}
