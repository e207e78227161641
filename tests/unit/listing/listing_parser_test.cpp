#include "listing/listing_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/file_io.h"
#include "runtime/message_box.h"

namespace listing {
namespace {

namespace fs = std::filesystem;

const fs::path kDataDir = fs::path(TAMVIREL_TEST_DATA) / "listing";

std::string Replace(std::string text, std::string_view what, std::string_view by) {
  const size_t at = text.find(what);
  EXPECT_NE(std::string::npos, at) << what;
  if (at != std::string::npos) text.replace(at, what.size(), by);
  return text;
}

class ListingParser : public testing::Test {
 protected:
  void SetUp() override {
    FFolder = fs::path(testing::TempDir()) /
              ("listing_parser_" + std::to_string(::getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FFolder);
    fs::create_directories(FFolder / "tmp");
    Parser.DataFolder = FFolder.string() + "/";
    Parser.SignedIn = &SignedIn;
    Parser.Memo = &Memo;
    Parser.FetchFavoriteScore = [this](const std::string& address) { Requests.push_back(address); };
    Parser.Clock = [] { return runtime::TDateTime{2024, 5, 6, 7, 8, 9}; };
    FPreviousHandler = runtime::SetMessageBoxHandler([this](const std::string& text) { Messages.push_back(text); });
  }

  void TearDown() override {
    runtime::SetMessageBoxHandler(FPreviousHandler);
    fs::remove_all(FFolder);
  }

  void WritePage(std::string_view bytes) { runtime::WriteFileAtomic(TmpFile("htmlcopy.htm"), bytes); }
  static std::string DataPage(const std::string& name) { return runtime::ReadWholeFile((kDataDir / name).string()); }
  std::string TmpFile(const std::string& name) const { return (FFolder / "tmp" / name).string(); }
  std::vector<std::string> TmpFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FFolder / "tmp")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Runs one conversion of `page`; expects it to fail and returns the first line of each
  // message shown (the stage); the second line must say why.
  std::vector<std::string> FailingRun(std::string_view page) {
    Messages.clear();
    WritePage(page);
    EXPECT_FALSE(Parser.ParseListing());
    std::vector<std::string> stages;
    for (const std::string& m : Messages) {
      stages.push_back(m.substr(0, m.find('\n')));
      EXPECT_EQ(m.substr(m.find('\n') + 1), Parser.FailureCause());
    }
    return stages;
  }

  TListingParser Parser;
  bool SignedIn = true;
  std::vector<std::string> Memo;
  std::vector<std::string> Requests;
  std::vector<std::string> Messages;

 private:
  fs::path FFolder;
  runtime::TMessageBoxHandler FPreviousHandler;
};

// Every tests/data/listing/<case>.htm with a <case>.sql beside it converts into exactly that file.
// The pages carry empty log arrays, so the expected files do not depend on the logs. With
// TAMVIREL_UPDATE_EXPECTED=1 in the environment the test rewrites the expected files instead of
// comparing: review that diff line by line before committing it.
TEST_F(ListingParser, DataPagesConvertToTheirExpectedFiles) {
  const bool update = std::getenv("TAMVIREL_UPDATE_EXPECTED") != nullptr;
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(kDataDir)) {
    if (entry.path().extension() != ".htm") continue;
    fs::path expectedFile = entry.path();
    expectedFile.replace_extension(".sql");
    if (!update && !fs::exists(expectedFile)) continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++cases;
    for (const std::string& old : TmpFiles()) fs::remove(TmpFile(old));
    WritePage(runtime::ReadWholeFile(entry.path().string()));
    Messages.clear();
    ASSERT_TRUE(Parser.ParseListing());
    EXPECT_TRUE(Messages.empty());
    const std::vector<std::string> files = TmpFiles();
    ASSERT_EQ(2u, files.size());  // the page and one SQL file
    const std::string actual = runtime::ReadWholeFile(TmpFile(files[0] == "htmlcopy.htm" ? files[1] : files[0]));
    if (update) {
      runtime::WriteFileAtomic(expectedFile.string(), actual);
      continue;
    }
    const std::string expected = runtime::ReadWholeFile(expectedFile.string());
    EXPECT_EQ(expected, actual);
  }
  EXPECT_GE(cases, 5);
}

// The sample page of the README converts completely, its logs included.
TEST_F(ListingParser, SamplePageConverts) {
  WritePage(runtime::ReadWholeFile((kDataDir.parent_path().parent_path().parent_path() / "examples" / "GC1TAMV.htm").string()));
  ASSERT_TRUE(Parser.ParseListing());
  EXPECT_TRUE(Messages.empty());
  const std::string sql = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
  std::vector<std::string> kinds;
  for (size_t at = 0, end; (end = sql.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = sql.substr(at, end - at);
    ASSERT_EQ(0u, line.find("Insert or replace into ")) << line;
    kinds.push_back(line.substr(23, line.find_first_of(" (", 23) - 23));
  }
  EXPECT_EQ((std::vector<std::string>{"geocaches", "Attributes", "TBGC", "AdditionalWaypoints", "AdditionalWaypoints",
                                      "GeocacheLogs", "GeocacheLogs"}),
            kinds);
  EXPECT_NE(std::string::npos, sql.find("'Peter O''Hara'"));
}

TEST_F(ListingParser, FullPageSideEffects) {
  WritePage(DataPage("full_page.htm"));
  ASSERT_TRUE(Parser.ParseListing());
  EXPECT_TRUE(SignedIn);
  EXPECT_EQ(2, Parser.StageCounter());
  ASSERT_EQ(1u, Memo.size());
  EXPECT_EQ(0u, Memo[0].find("<p>Potok kedysi"));
  EXPECT_TRUE(Memo[0].ends_with("</p></span>\r\n        </div>")) << Memo[0];  // up to the next marker
  EXPECT_EQ(std::vector<std::string>{"http://listing.tamvirel.example/datastore/favorites.svc/score?u="
                                     "Q7XK2MZP4RTV9WBC3DFG6HJL8NSY5AE"},
            Requests);
  const std::string sql = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
  EXPECT_EQ(5, std::count(sql.begin(), sql.end(), '\n'));  // geocaches, Attributes, TBGC, 2 waypoints
}

TEST_F(ListingParser, FavouritesRequestOnlyForCountsAboveZero) {
  const std::string page = DataPage("full_page.htm");
  const std::string count = "<span class=\"favorite-value\">\r\n                            12\r\n";
  struct Case {
    std::string shown;
    bool sent;
  } cases[] = {{"0", false}, {"", false}, {"00", true}, {"-3", false}, {"3", true}, {"9x", true}, {"12", true}};
  for (const Case& c : cases) {
    Requests.clear();
    WritePage(Replace(page, count, "<span class=\"favorite-value\">" + c.shown + "\r\n"));
    EXPECT_TRUE(Parser.ParseListing()) << c.shown;
    EXPECT_EQ(c.sent ? 1u : 0u, Requests.size()) << c.shown;
    const std::string sql = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
    // The count shown is written whatever the request.
    EXPECT_NE(std::string::npos, sql.find("','" + c.shown + "','5f3c9a2e")) << c.shown;
  }
  // No count marker at all, and a count without a user token on the page.
  Requests.clear();
  WritePage(Replace(page, "<span class=\"favorite-value\">", "<span class=\"fav\">"));
  EXPECT_TRUE(Parser.ParseListing());
  EXPECT_TRUE(Requests.empty());
  WritePage(Replace(page, "userToken = '", "token = '"));
  EXPECT_TRUE(Parser.ParseListing());
  EXPECT_EQ(std::vector<std::string>{"http://listing.tamvirel.example/datastore/favorites.svc/score?u="}, Requests);
  // A token cannot carry line breaks or a fragment into the request line.
  Requests.clear();
  WritePage(Replace(page, "Q7XK2MZP4RTV9WBC3DFG6HJL8NSY5AE", "a b\r\nHost: x#y\xc3\xa1"));
  EXPECT_TRUE(Parser.ParseListing());
  EXPECT_EQ(std::vector<std::string>{"http://listing.tamvirel.example/datastore/favorites.svc/score?u="
                                     "a%20b%0D%0AHost:%20x%23y%C3%A1"},
            Requests);
}

TEST_F(ListingParser, PageWithoutCoordinatesIsNotSignedIn) {
  // The site's sign-in link in place of the coordinates: no layout converts the page, nothing is
  // sent for it.
  const std::string coordinates = "<span id=\"ctl00_ContentBody_LatLon\" style=\"font-weight:bold;\"><span "
                                  "id=\"uxLatLon\">N 48\xc2\xb0 08.123 E 017\xc2\xb0 06.456</span></span>";
  WritePage(Replace(DataPage("full_page.htm"), coordinates, "<a href=\"/login/default.aspx\">Sign in</a>"));
  EXPECT_FALSE(Parser.ParseListing());
  EXPECT_FALSE(SignedIn);
  EXPECT_TRUE(Parser.NoLayoutCause().empty());
  EXPECT_TRUE(Messages.empty());
  EXPECT_TRUE(Memo.empty());
  EXPECT_TRUE(Requests.empty());
  EXPECT_EQ(std::vector<std::string>{"htmlcopy.htm"}, TmpFiles());
  // Without the link the page is of no known layout, not a sign of the session.
  SignedIn = true;
  WritePage(Replace(DataPage("full_page.htm"), coordinates, ""));
  EXPECT_FALSE(Parser.ParseListing());
  EXPECT_TRUE(SignedIn);
  EXPECT_TRUE(Messages.empty());
  EXPECT_EQ(Parser.NoLayoutCause(), "no known layout: the page has none of <span id=\"uxLatLon\"> (default), "
                                    "LatLon\" style= (2011-2017)");
}

TEST_F(ListingParser, FailuresShowHowFarTheConversionCame) {
  const std::string page = DataPage("full_page.htm");
  using Messages_ = std::vector<std::string>;

  // Missing page file: the second line names it and the system's reason.
  EXPECT_FALSE(Parser.ParseListing());
  EXPECT_EQ(Messages_{"0\n" + StageFailureCause(0, "Cannot open file " + TmpFile("htmlcopy.htm") +
                                                   ": No such file or directory")},
            Messages);

  // Cache coordinates that do not read as numbers.
  EXPECT_EQ(Messages_{"1"}, FailingRun(Replace(page, "N 48\xc2\xb0 08.123", "N 4\xc2\xb0 08.123")));
  // The favourites request fails in a way the download does not catch.
  Parser.FetchFavoriteScore = [](const std::string&) { throw std::runtime_error("close failed"); };
  EXPECT_EQ(Messages_{"1"}, FailingRun(page));
  Parser.FetchFavoriteScore = nullptr;
  // A waypoint coordinate that does not read as numbers.
  EXPECT_EQ(Messages_{"2"}, FailingRun(Replace(page, "N 48\xc2\xb0 08.200", "N 48\xc2\xb0 8.2")));
  // A waypoint row with an empty coordinate cell.
  EXPECT_EQ(Messages_{"2"}, FailingRun(Replace(page, "N 48\xc2\xb0 08.200 E 017\xc2\xb0 06.310&nbsp;", "&nbsp;")));
  EXPECT_EQ(std::vector<std::string>{"htmlcopy.htm"}, TmpFiles());

  // Codes that would name a file outside tmp/ fail as a name the file system refuses.
  for (const char* code : {"../GC1EVIL", "..\\GC1EVIL", "..", "."}) {
    EXPECT_EQ(Messages_{"2"}, FailingRun(Replace(page, "GC1TAMV Mlynsk", std::string(code) + " Mlynsk"))) << code;
  }
  EXPECT_EQ(std::vector<std::string>{"htmlcopy.htm"}, TmpFiles());
  EXPECT_FALSE(fs::exists(fs::path(TmpFile("")).parent_path().parent_path() / "GC1EVIL.sql"));
}

TEST_F(ListingParser, FailedConversionKeepsThePreviousFile) {
  const std::string page = DataPage("full_page.htm");
  WritePage(page);
  ASSERT_TRUE(Parser.ParseListing());
  const std::string before = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
  EXPECT_EQ(std::vector<std::string>{"2"}, FailingRun(Replace(page, "N 48\xc2\xb0 08.150", "N 48\xc2\xb0 8.15")));
  EXPECT_EQ(before, runtime::ReadWholeFile(TmpFile("GC1TAMV.sql")));
  EXPECT_EQ((std::vector<std::string>{"GC1TAMV.sql", "htmlcopy.htm"}), TmpFiles());
}

// A page reduced to what the waypoint walk needs; `rows` is the table's inner text.
std::string TablePage(const std::string& rows) {
  return "<title>GC77XY Rows (Cache) in A, B created by C.</title>\r\n"
         "<span id=\"uxLatLon\">N 48\xc2\xb0 08.123 E 017\xc2\xb0 06.456</span>\r\n"
         "<table class=\"Table\" id=\"ctl00_ContentBody_Waypoints\">\r\n" + rows + "</table>\r\n"
         "initalLogs = {\"data\": []};\r\n//]]>\r\n";
}

// The comment (second value) of each AdditionalWaypoints statement, in order.
std::vector<std::string> Comments(const std::vector<std::string>& statements) {
  std::vector<std::string> comments;
  for (const std::string& s : statements) {
    if (s.rfind("Insert or replace into AdditionalWaypoints", 0) != 0) continue;
    const size_t at = s.find("','") + 3;
    comments.push_back(s.substr(at, s.find("','", at) - at));
  }
  return comments;
}

TEST_F(ListingParser, RowsRunFromTheirStartToTheNextRowEnd) {
  std::vector<std::string> statements;
  std::string code;
  // Row 0 is not closed before row 1 starts: both run to the same "</tr", so row 0 sees row 1's
  // cells as its own and emits the third of them; row 1 (a waypoint row) only gathers.
  ASSERT_TRUE(Parser.BuildStatements(
      TablePage("<tr><td>n1</td><td>n2</td><tr><td>w1</td><td>w2</td><td>w3</td><td><b>K9</b></td></tr>"
                "<tr><td>x</td><td>y</td><td>note</td></tr>"),
      statements, code));
  EXPECT_EQ((std::vector<std::string>{"w1", "note"}), Comments(statements));
  EXPECT_EQ(0u, statements.back().find("Insert or replace into AdditionalWaypoints (Code,Comment,Description,"
                                       "GeocacheCode,GUID,Latitude,Longitude,Name,Type,Url,UrlName) Values "
                                       "('K977XY','note',"));

  // The walk starts looking at the table's second byte: a row opening on its very first byte is
  // not seen (pages always have a line break there).
  statements.clear();
  const std::string table = "<tr><td>a</td><td>b</td><td>first</td></tr><tr><td>w</td></tr><tr><td>a</td><td>b</td><td>second</td></tr>";
  std::string page = TablePage(table);
  page.erase(page.find("\r\n<tr>"), 2);
  ASSERT_TRUE(Parser.BuildStatements(page, statements, code));
  EXPECT_EQ((std::vector<std::string>{}), Comments(statements));
  statements.clear();
  ASSERT_TRUE(Parser.BuildStatements(TablePage(table), statements, code));
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), Comments(statements));

  // Rows without any "</tr" are empty: nothing is emitted, however many there are.
  statements.clear();
  std::string open;
  for (int i = 0; i < 2000; ++i) open += "<tr><td>a</td><td>b</td><td>c</td>";
  ASSERT_TRUE(Parser.BuildStatements(TablePage(open), statements, code));
  EXPECT_TRUE(Comments(statements).empty());

  // A header row, then rows whose cells hold no third "<td": no statement.
  statements.clear();
  ASSERT_TRUE(Parser.BuildStatements(TablePage("<tr><th>h</th></tr><tr><td>1</td></tr><tr><td>2</td><td>3</td></tr>"),
                                     statements, code));
  EXPECT_TRUE(Comments(statements).empty());
  EXPECT_EQ(3u, statements.size());
}

TEST_F(ListingParser, HostNamesTheMarkersAndAddresses) {
  std::string page = DataPage("full_page.htm");
  Parser.Host = "other.test";
  WritePage(page);
  ASSERT_TRUE(Parser.ParseListing());
  std::string sql = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
  // The default host's links are not recognised: no GUIDs, waypoint GUIDs from fixed positions.
  EXPECT_NE(std::string::npos, sql.find("'12','','false','false'"));
  EXPECT_NE(std::string::npos, sql.find("'http://other.test/seek/wpt.aspx?WID="));

  for (size_t at; (at = page.find("listing.tamvirel.example")) != std::string::npos;) {
    page.replace(at, std::strlen("listing.tamvirel.example"), "other.test");
  }
  WritePage(page);
  Requests.clear();
  ASSERT_TRUE(Parser.ParseListing());
  sql = runtime::ReadWholeFile(TmpFile("GC1TAMV.sql"));
  EXPECT_NE(std::string::npos, sql.find("'12','5f3c9a2e-7b1d-4e8a-9c60-1d2e3f405a6b','false'"));
  EXPECT_NE(std::string::npos, sql.find("'a1b2c3d4-e5f6-4789-8abc-def012345678'"));
  EXPECT_NE(std::string::npos,
            sql.find("'http://other.test/seek/wpt.aspx?WID=0c1d2e3f-4a5b-4c6d-8e7f-901a2b3c4d5e'"));
  ASSERT_EQ(1u, Requests.size());
  EXPECT_EQ(0u, Requests[0].find("http://other.test/datastore/favorites.svc/score?u="));
}

}  // namespace
}  // namespace listing
