// The GPX export as a user runs it: pages converted into the listings database, `tamvirel --gpx`,
// and the file read back by a real GPS tool (GPSBabel) and checked by an XML parser (xmllint).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "runtime/file_io.h"

namespace {
namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

// Runs a shell command line in `folder`, with `folder` as XDG_DATA_HOME, bounded to 60 s.
TRun Shell(const std::string& folder, const std::string& command) {
  const std::string line = "cd '" + folder + "' && XDG_DATA_HOME='" + folder + "' timeout 60 " + command +
                           " >'" + folder + "/stdout' 2>'" + folder + "/stderr'";
  const int status = std::system(line.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, runtime::ReadWholeFile(folder + "/stdout"),
          runtime::ReadWholeFile(folder + "/stderr")};
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

// The example page with values no listing should hold: markup characters, "]]>", control bytes,
// a byte that is not UTF-8, a long description, and no container.
std::string HostilePage() {
  std::string page = runtime::ReadWholeFile(std::string(TAMVIREL_EXAMPLES) + "/GC1TAMV.htm");
  ReplaceAll(page, "GC1TAMV", "GC5HOST");
  ReplaceAll(page, "GC5HOST Mlynský potok (", "GC5HOST It's <b>&amp; ]]> \x01\x02 end (");
  ReplaceAll(page, "created by Tamara V.", "created by O'Hara & <Sons> Ltd\x1b");
  ReplaceAll(page, "/images/icons/container/", "/images/icons/size/");
  ReplaceAll(page, "Cbq xnzrarz [under the stone], irqyn <br />mn fgebzbz", "Uvag ]]> <&> 'k' \x07");
  std::string longText;
  while (longText.size() < 300000) longText += "Dlhý text ]]> & <i>\x0b ";
  ReplaceAll(page, "<p><b>Pozor:</b>", "<p>" + longText + "\xff end of the long text</p><p><b>Pozor:</b>");
  ReplaceAll(page, "Pekná prechádzka, vďaka!<br />TFTC", "Bad \\u0001 ]]> <&> log");
  return page;
}

// GPSBabel's CSV: a header, then a row per point; a quoted field may hold commas, line breaks
// and doubled quotes. Rows by their Name column.
std::map<std::string, std::map<std::string, std::string>> ReadCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      for (++i; i < text.size() && !(text[i] == '"' && (i + 1 == text.size() || text[i + 1] != '"')); ++i)
        rows.back().back() += text[i] == '"' ? text[++i] : text[i];
    } else if (text[i] == ',') {
      rows.back().emplace_back();
    } else if (text[i] == '\n') {
      rows.emplace_back(1);
    } else if (text[i] != '\r') {
      rows.back().back() += text[i];
    }
  }
  std::map<std::string, std::map<std::string, std::string>> byName;
  for (size_t r = 1; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size() && c < rows[0].size() && rows[r].size() > 3; ++c)
      byName[rows[r][3]][rows[0][c]] = rows[r][c];
  return byName;
}

struct TExpectedCache {
  std::string Code, Latitude, Longitude, Name, Type, Container, Difficulty, Terrain, Placer, Hint;
  std::vector<std::string> Waypoints;  // code, latitude, longitude
};

}  // namespace

TEST(GpxExport, ConvertedPagesReadBackInAGpsToolWhileABatchWrites) {
  const std::string folder = testing::TempDir() + "gpx_export";
  fs::remove_all(folder);
  fs::create_directories(folder);
  runtime::WriteFileAtomic(folder + "/GC5HOST.htm", HostilePage());
  const std::string data = std::string(TAMVIREL_TEST_DATA) + "/listing/";
  const std::string program = std::string(TAMVIREL_BINARY);
  TRun run = Shell(folder, program + " --convert " + TAMVIREL_EXAMPLES "/GC1TAMV.htm GC5HOST.htm " + data +
                             "apostrophes_line_breaks.htm " + data + "waypoint_rows.htm " + data + "logs_edges.htm " +
                             data + "absent_markers.htm");
  ASSERT_EQ(0, run.Status) << run.Err;

  // A batch holds the folder's lock and has a write transaction open: the export waits for
  // neither, reads the last commit, and the batch's commit still goes through.
  const std::string dataFolder = folder + "/tamvirel/";
  const int lock = ::open((dataFolder + "rovkast.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(0, ::flock(lock, LOCK_EX));
  sqlite3* batch = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dataFolder + "listings.db").c_str(), &batch));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(batch, "BEGIN IMMEDIATE; DELETE FROM GeocacheLogs", nullptr, nullptr, nullptr));
  run = Shell(folder, program + " --gpx all.gpx");
  EXPECT_EQ(0, run.Status) << run.Err;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(batch, "ROLLBACK", nullptr, nullptr, nullptr));
  sqlite3_close(batch);
  ::close(lock);

  run = Shell(folder, "xmllint --noout all.gpx");
  EXPECT_EQ(0, run.Status) << run.Err;
  const std::string gpx = runtime::ReadWholeFile(folder + "/all.gpx");
  EXPECT_TRUE(gpx.starts_with("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<gpx ")) << gpx.substr(0, 200);

  run = Shell(folder, "gpsbabel -i gpx -f all.gpx -o unicsv -F -");
  ASSERT_EQ(0, run.Status) << run.Err;
  const auto points = ReadCsv(run.Out);
  const std::vector<TExpectedCache> caches = {
      {"GC1TAMV", "48.135383", "17.107600", "Mlynský potok", "Traditional Cache", "Small", "2.5", "1.5", "Tamara V.",
       "Pod kamenem [under the stone]", {"PK1TAMV", "48.136667", "17.105167", "S11TAMV", "48.135833", "17.106667"}},
      {"GC5HOST", "48.135383", "17.107600", "It's <b>&amp; ]]>  end", "Traditional Cache", "Unknown", "2.5", "1.5",
       "O'Hara & <Sons> Ltd", "Hint ]]> <&> 'x'",
       {"PK5HOST", "48.136667", "17.105167", "S15HOST", "48.135833", "17.106667"}},
      {"GC3WPT", "48.135383", "17.107600", "Waypoint quirks", "Traditional Cache", "Small", "2.5", "1.5", "Tamara V.",
       "Pod kamenem", {"P13WPT", "48.016667", "17.033333", "P23WPT", "48.016667", "17.033333"}},
      {"GC2APO", "48.135383", "17.107600", "Joe's \"Rock\"", "Unknown", "Small", "2.5", "1.5", "e's \"Rock\"",
       "It's under the 'rock'", {}},
      {"GC7LOGS", "-5.500000", "-120.258333", "Logs with edges", "Unknown", "Unknown", "", "", "Owner", "", {}},
      {"GC9ABS", "-33.855000", "-151.210000", "Nothing here", "Unknown", "Unknown", "", "", "Nobod", "", {}},
  };
  size_t expectedPoints = 0;
  for (const TExpectedCache& c : caches) {
    SCOPED_TRACE(c.Code);
    ASSERT_TRUE(points.contains(c.Code));
    auto p = points.at(c.Code);
    EXPECT_EQ(c.Latitude, p["Latitude"]);
    EXPECT_EQ(c.Longitude, p["Longitude"]);
    EXPECT_EQ(c.Name, p["Description"]);
    EXPECT_EQ(c.Type, p["Type"]);
    EXPECT_EQ(c.Container, p["Container"]);
    EXPECT_EQ(c.Difficulty, p["Difficulty"]);
    EXPECT_EQ(c.Terrain, p["Terrain"]);
    EXPECT_TRUE(p["Placer"].starts_with(c.Placer)) << p["Placer"];
    EXPECT_NE(std::string::npos, p["Hint"].find(c.Hint)) << p["Hint"];
    for (size_t w = 0; w < c.Waypoints.size(); w += 3) {
      ASSERT_TRUE(points.contains(c.Waypoints[w])) << c.Waypoints[w];
      EXPECT_EQ(c.Waypoints[w + 1], points.at(c.Waypoints[w]).at("Latitude"));
      EXPECT_EQ(c.Waypoints[w + 2], points.at(c.Waypoints[w]).at("Longitude"));
    }
    expectedPoints += 1 + c.Waypoints.size() / 3;
  }
  EXPECT_EQ(expectedPoints, points.size()) << run.Out;

  // What a tool writes back keeps the cache extension: owner, attributes, the long text, logs,
  // trackables.
  run = Shell(folder, "gpsbabel -i gpx -f all.gpx -o gpx -F -");
  ASSERT_EQ(0, run.Status) << run.Err;
  for (const char* part : {"<groundspeak:owner>O'Hara &amp; &lt;Sons&gt; Ltd", "<groundspeak:attribute id=\"24\" inc=\"0\"/>",
                           "\xEF\xBF\xBD end of the long text", "Bad  ]]&gt; &lt;&amp;&gt; log",
                           "<groundspeak:finder id=\"1001\">Reviewer Jana</groundspeak:finder>",
                           "<groundspeak:name>Putovný kamienok</groundspeak:name>"})
    EXPECT_NE(std::string::npos, run.Out.find(part)) << part;

  // Named codes in the order named, to standard output; a missing one is named, status 1.
  run = Shell(folder, program + " --gpx - GC3WPT NOPE9 GC1TAMV GC3WPT");
  EXPECT_EQ(1, run.Status);
  EXPECT_NE(std::string::npos, run.Err.find(": NOPE9\n")) << run.Err;
  EXPECT_TRUE(run.Out.starts_with("<?xml")) << run.Out.substr(0, 100);
  EXPECT_LT(run.Out.find("<name>GC3WPT</name>"), run.Out.find("<name>GC1TAMV</name>"));
  EXPECT_EQ(run.Out.find("<name>GC3WPT</name>"), run.Out.rfind("<name>GC3WPT</name>"));
  EXPECT_EQ(std::string::npos, run.Out.find("GC5HOST"));

  // None found: nothing written, the earlier file stays as it was.
  run = Shell(folder, program + " --gpx all.gpx NOPE9");
  EXPECT_EQ(1, run.Status);
  EXPECT_NE(std::string::npos, run.Err.find("all.gpx is not written")) << run.Err;
  EXPECT_EQ(gpx, runtime::ReadWholeFile(folder + "/all.gpx"));
}
