#include "listing/layout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "listing/listing_parser.h"
#include "runtime/file_io.h"
#include "runtime/text_list.h"

namespace listing {
namespace {

namespace fs = std::filesystem;

// The geocaches statement's values by column.
std::map<std::string, std::string> Columns(const std::string& statement) {
  std::map<std::string, std::string> values;
  const size_t open = statement.find(" (") + 2;
  const size_t close = statement.find(")values (");
  size_t at = close + 9;
  for (size_t from = open; from < close;) {
    const size_t comma = std::min(statement.find(',', from), close);
    std::string& value = values[statement.substr(from, comma - from)];
    from = comma + 1;
    if (statement[at] != '\'') {
      const size_t end = statement.find_first_of(",)", at);
      value = statement.substr(at, end - at);
      at = end + 1;
      continue;
    }
    for (++at; statement[at] != '\'' || statement[at + 1] == '\''; ++at) {
      value += statement[at];
      if (statement[at] == '\'') ++at;
    }
    at += 2;
  }
  return values;
}

size_t Count(const std::vector<std::string>& statements, const std::string& table) {
  return std::count_if(statements.begin(), statements.end(), [&](const std::string& s) {
    return s.starts_with("Insert or replace into " + table + " ") || s.starts_with("Insert or replace into " + table + "(");
  });
}

// What a person reads on the two saved pages of the site's older layouts, written down by hand.
TEST(Layouts, OlderPagesConvertWithTheValuesOnThePage) {
  struct TCase {
    const char* file;
    std::map<std::string, std::string> values;
    size_t waypoints, logs, attributes;
  } cases[] = {
      {"gc1zxez.html",
       {{"Code", "GC1ZXEZ"}, {"Names", "Terrassenplatten gef&#228;llig...?"}, {"CacheType", "Traditional Cache"},
        {"ContainerTypeName", "micro"}, {"Difficulty", "2"}, {"Terrain", "1.5"}, {"Latitude", "51.3317000"},
        {"Longitude", "7.0343333"}, {"UserName", "Ms.Marple/Mr.Stringer"}, {"PlacedBy", "Ms.Marple/Mr.Stringer"},
        {"DateCreated", "2009-10-16"}, {"Country", "Germany"}, {"State", "Nordrhein-Westfalen"}, {"EncodedHints", ""},
        {"GUID", "6506d572-cbb8-4d85-be1d-0cf482e360e5"}, {"PublicGuid", "b66a625c-0266-43a7-9e7c-efecb9b2929a"},
        {"FavoritePoints", "0"}, {"DateLastUpdate", "2011-10-17 16:32:18"}},
       0, 25, 9},
      {"gc2cjpf_html",
       {{"Code", "GC2CJPF"}, {"Names", "Kinderwald KiC"}, {"CacheType", "Multi-cache"}, {"ContainerTypeName", "small"},
        {"Difficulty", "2.5"}, {"Terrain", "2"}, {"Latitude", "52.4250667"}, {"Longitude", "9.6642000"},
        {"UserName", "Tom03"}, {"DateCreated", "2010-07-31"}, {"Country", "Germany"}, {"State", "Niedersachsen"},
        {"EncodedHints", "Das Final ist unter Steinen"}, {"GUID", "73246a5a-ebb9-4d4f-8db9-a951036f5376"},
        {"PublicGuid", "9a28b2fb-bce9-481f-87bc-7c5f4bafe723"}, {"FavoritePoints", "7"},
        {"ShortDescription", "Von Nachwuchs-Cachern für Nachwuchs-Cacher.#13;#10;</span>#13;#10;            #13;#10;        </div>#13;#10;        #13;#10;        <br />#13;#10;        <div class=\"UserSuppliedContent\">"}},
       4, 25, 10},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string page = runtime::NormalizeLineBreaks(runtime::ReadWholeFile(std::string(TAMVIREL_SHARED_PAGES) + "/" + c.file));
    TListingParser parser;
    std::vector<std::string> statements;
    std::string code;
    ASSERT_TRUE(parser.BuildStatements(page, statements, code)) << parser.NoLayoutCause();
    ASSERT_NE(parser.Layout(), nullptr);
    EXPECT_EQ(parser.Layout()->Name, "2011-2017");
    std::map<std::string, std::string> values = Columns(statements.front());
    // The hint keeps the page's line breaks and indentation around it.
    std::string& hint = values["EncodedHints"];
    hint = hint.substr(0, hint.find_last_not_of(" #13;10") + 1);
    hint.erase(0, hint.find_first_not_of(" #13;10"));
    for (const auto& [column, value] : c.values) EXPECT_EQ(values[column], value) << column;
    EXPECT_NE(values["LongDescription"], "");
    EXPECT_EQ(Count(statements, "AdditionalWaypoints"), c.waypoints);
    EXPECT_EQ(Count(statements, "GeocacheLogs"), c.logs);
    const std::string& attributes = statements[1];
    EXPECT_EQ(static_cast<size_t>(std::count_if(attributes.begin() + attributes.find("','"), attributes.end(),
                                                [](char a) { return a == 'A' || a == 'N'; })),
              c.attributes);
  }
}

// A page whose logs are not embedded converts all the same, without log statements.
TEST(Layouts, APageWithoutLogsConvertsWithoutLogStatements) {
  for (const std::string& file : {std::string(TAMVIREL_TEST_DATA) + "/../../examples/GC1TAMV.htm",
                                 std::string(TAMVIREL_SHARED_PAGES) + "/gc2cjpf_html"}) {
    SCOPED_TRACE(file);
    std::string page = runtime::NormalizeLineBreaks(runtime::ReadWholeFile(file));
    TListingParser parser;
    std::vector<std::string> statements;
    std::string code;
    ASSERT_TRUE(parser.BuildStatements(page, statements, code));
    EXPECT_GE(Count(statements, "GeocacheLogs"), 2u);
    page.replace(page.find("initalLogs = {"), 14, "initalLogs = [");
    statements.clear();
    ASSERT_TRUE(parser.BuildStatements(page, statements, code));
    EXPECT_EQ(Count(statements, "GeocacheLogs"), 0u);
    EXPECT_EQ(Count(statements, "geocaches"), 1u);
  }
}

// A made-up page of a layout no built-in one knows, and the layout file that teaches it.
constexpr char kMadeUpLayout[] =
    "; a layout of a page the site never served\r\n"
    "[made-up]\n"
    "base = default\n"
    "recognise = <main class=\"cache-page\">\n"
    "title.begin = <h1>\n"
    "title.end = </h1>\n"
    "coordinates.begin = <p class=\"coords\"\n"
    "coordinates.attributes = yes\n"
    "coordinates.end = </p>\n"
    "hidden.begin = Placed\n"
    "hidden.end = <\n"
    "hidden.date = mm/dd/yyyy\n"
    "logs.begin = var logs = {\n"
    "logs.keep = 1\n"
    "logs.end = ;</script>\n";
constexpr char kMadeUpPage[] =
    "<main class=\"cache-page\"><h1>GC7NEW Made up (Letterbox Hybrid) in Here, There created by Someone.</h1>\r\n"
    "<p class=\"coords\" data-x=\"1\">S 12\xc2\xb0 34.500 W 056\xc2\xb0 07.800</p><span>Placed: 03/14/2021</span>\r\n"
    "<script>var logs = {\"data\":[{\"LogID\":1,\"AccountGuid\":\"g\",\"UserName\":\"u\",\"AccountID\":2,"
    "\"LogGuid\":\"l\",\"LogText\":\"t\",\"LogType\":\"Found it\",\"Visited\":\"1/2/2021\"}]};</script></main>\r\n";

TEST(Layouts, AUserLayoutConvertsAPageTheBuiltInOnesDoNotKnow) {
  const std::string folder = testing::TempDir() + "layouts_" + std::to_string(::getpid()) + "/";
  fs::remove_all(folder);
  fs::create_directories(folder);
  TListingParser parser;
  std::vector<std::string> statements;
  std::string code;
  EXPECT_FALSE(parser.BuildStatements(kMadeUpPage, statements, code));
  EXPECT_EQ(parser.NoLayoutCause(),
            "no known layout: the page has none of <span id=\"uxLatLon\"> (default), "
            "<span id=\"ctl00_ContentBody_CacheName\"> (2011-2017)");

  runtime::WriteFileAtomic(folder + "made_up.ini", kMadeUpLayout);
  runtime::WriteFileAtomic(folder + "broken.ini", "[broken]\nrecognise = x\ntitle.colour = red\n");
  parser.Layouts = LoadLayouts(folder);
  EXPECT_EQ(parser.Layouts->Problems,
            std::vector<std::string>{folder + "broken.ini:3: unknown option \"colour\" of title (begin, or, end, "
                                     "attributes, absent, end-search, keep)"});
  ASSERT_TRUE(parser.BuildStatements(kMadeUpPage, statements, code));
  EXPECT_EQ(parser.Layout()->Name, "made-up");
  EXPECT_EQ(parser.Layout()->Origin, folder + "made_up.ini");
  std::map<std::string, std::string> values = Columns(statements.front());
  EXPECT_EQ(values["Code"], "GC7NEW");
  EXPECT_EQ(values["CacheType"], "");
  EXPECT_EQ(values["Latitude"], "-12.5750000");
  EXPECT_EQ(values["Longitude"], "-56.1300000");
  EXPECT_EQ(values["DateCreated"], "2021-03-14");
  EXPECT_EQ(Count(statements, "GeocacheLogs"), 1u);
  // The built-in layouts still convert their pages.
  statements.clear();
  ASSERT_TRUE(parser.BuildStatements(
      runtime::ReadWholeFile(std::string(TAMVIREL_TEST_DATA) + "/listing/absent_markers.htm"), statements, code));
  EXPECT_EQ(parser.Layout()->Name, "default");
  fs::remove_all(folder);
}

TEST(Layouts, AFileWithAMistakeIsRefusedWithItsLine) {
  const std::string good = "[x]\nrecognise = a\ntitle.begin = <t>\ntitle.end = </t>\ncoordinates.begin = c\ncoordinates.end = d\n";
  const struct {
    std::string text, error;
  } cases[] = {
      {"recognise = a\n", "f.ini:1: \"recognise\" stands before the first [layout]"},
      {"[x]\nrecognise\n", "f.ini:2: a line must be a [layout], a key = text or a comment (; or #)"},
      {"[x]\ntitle.begin = a\n", "f.ini:1: [x] has no recognise text"},
      {good + "hint.begin = b\n", "f.ini:1: [x] gives hint no end text"},
      {good + "[y]\nbase = z\n", "f.ini:8: base names no layout known here: z"},
      {good + "logs.or = b\n", "f.ini:7: \"or\" needs a begin text above it"},
      {good + "hidden.date = dd.mm.yy.yy\n", "f.ini:7: the date pattern \"dd.mm.yy.yy\" needs one run each of d, m and y"},
      {good + "waypoints.name-cell = 9\n", "f.ini:7: \"9\" is not a number from 1 to 8"},
      {good + "size.begin = s\n", "f.ini:7: unknown value \"size\" (values: title, owner-name, hidden, type, container, "
                                  "location, updated, attributes, favorites, token, guid, owner, difficulty, terrain, "
                                  "coordinates, short-description, long-description, hint, inventory, waypoints, logs)"},
      {good + "[x]\n", "f.ini:7: the layout [x] is defined twice in the file"},
      {"", "f.ini:1: the file has no [layout] section"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseLayouts(c.text, "f.ini", {});
      ADD_FAILURE() << "accepted";
    } catch (const ELayoutError& e) {
      EXPECT_EQ(e.what(), c.error);
    }
  }
  EXPECT_EQ(ParseLayouts(good, "f.ini", {}).size(), 1u);
}

// Which pages are taken for a session that was not signed in, and which for no known layout.
TEST(Layouts, OnlyAPageWithTheSignInLinkAndNoCoordinatesIsSignedOut) {
  const struct {
    std::string page;
    bool signedOut;
  } cases[] = {
      {"", false},
      {"root:x:0:0:root:/root:/bin/bash\n", false},
      {std::string("\x89PNG\r\n\x1a\n\0\xff<title>", 14), false},
      {"<title>GC1 x</title><a href=\"https://h/login/default.aspx?RESET=Y\">Sign in</a>", true},
      {"<a href=\"/login/default.aspx\">Sign in</a><span id=\"uxLatLon\" class=\"x\">N 1</span>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    TListingParser parser;
    bool signedIn = true;
    parser.SignedIn = &signedIn;
    std::vector<std::string> statements;
    std::string code;
    EXPECT_FALSE(parser.BuildStatements(c.page, statements, code));
    EXPECT_EQ(signedIn, !c.signedOut);
    EXPECT_EQ(parser.NoLayoutCause().starts_with("no known layout: the page has none of "), !c.signedOut);
  }
}

}  // namespace
}  // namespace listing
