// Conversion speed of a large listing page: about 2 MB with 1,000 waypoint rows and long
// descriptions at scale 1, and the same page grown 4 and 16 times (rows and descriptions alike).
// The throughput should stay flat across the scales: the conversion is linear in the page size.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "listing/listing_parser.h"
#include "listing/site.h"
#include "runtime/file_io.h"
#include "runtime/message_box.h"

namespace {

const std::string kHost(listing::kDefaultSiteHost);
const std::string kDegree = "\xc2\xb0";

std::string Paragraph(int i) {
  return "<p>Odstavec " + std::to_string(i) +
         ": potok kedysi poh\xc3\xa1\xc5\x88" "al tri mlyny a dnes te\xc4\x8d" "ie popri ceste k lesu. "
         "The path follows the stream past the old mill's foundations, then climbs to the ridge.</p>\r\n";
}

std::string WaypointRows(int i) {
  const std::string n = std::to_string(i % 100);
  const std::string two = (i % 100 < 10 ? "0" : "") + n;
  return "<tr class=\"BorderTop\" ishidden=\"false\">\r\n"
         "<td class=\"AlignCenter\"><img src=\"/images/icons/16/show.png\" alt=\"show\" /></td>\r\n"
         "<td><img src=\"/images/wpttypes/sm/pkg.jpg\" alt=\"Parking Area\" title=\"Parking Area\" /></td>\r\n"
         "<td><span id=\"awpt_" + two + "\">" + two + "</span></td>\r\n"
         "<td><span class=\"lookup\">" + two + "</span></td>\r\n<td>&nbsp;</td>\r\n"
         "<td><a href=\"http://" + kHost + "/seek/wpt.aspx?WID=0c1d2e3f-4a5b-4c6d-8e7f-9" + std::to_string(10000000000 + i) +
         "\">Bod " + std::to_string(i) + "</a> (Parking Area)</td>\r\n"
         "<td>N 48" + kDegree + " " + two + ".200 E 017" + kDegree + " 06." + std::to_string(100 + i % 900) + "&nbsp;</td>\r\n"
         "<td>&nbsp;</td>\r\n</tr>\r\n"
         "<tr class=\"BorderBottom\" ishidden=\"false\">\r\n<td>&nbsp;</td>\r\n<td>Note:</td>\r\n"
         "<td colspan=\"6\">Parkovanie pri ceste, bod \xc4\x8d\xc3\xadslo " + std::to_string(i) + ". It's free.</td>\r\n</tr>\r\n";
}

// A page shaped like the site's listing pages, with `rows` waypoints and descriptions of
// `paragraphs` paragraphs.
std::string MakePage(int rows, int paragraphs) {
  std::string page =
      "<html>\r\n<head><title>\r\n\tGC1TAMV Mlynsk\xc3\xbd potok (Traditional Cache) in Bratislavsk\xc3\xbd kraj, "
      "Slovakia created by Tamara V.\r\n</title>\r\n"
      "<script type=\"text/javascript\">var userToken = 'Q7XK2MZP4RTV9WBC3DFG6HJL8NSY5AE';</script>\r\n</head>\r\n<body>\r\n"
      "<a href=\"/about/cache_types.aspx\" title=\"About\"><img src=\"/images/WptTypes/2.gif\" title=\"Traditional Cache\" /></a>\r\n"
      "<a href=\"http://" + kHost + "/profile/?guid=a1b2c3d4-e5f6-4789-8abc-def012345678&wid=1\">Tamara V.</a>\r\n"
      "<div id=\"ctl00_ContentBody_mcd2\">\r\n Hidden\r\n :\r\n 15.06.2011\r\n</div>\r\n"
      "<link rel=\"canonical\" href=\"http://" + kHost + "/seek/cache_details.aspx?guid=5f3c9a2e-7b1d-4e8a-9c60-1d2e3f405a6b\" />\r\n"
      "<span id=\"ctl00_ContentBody_uxLegendScale\" title=\"x\"><img src=\"/images/stars/stars2_5.gif\" /></span>\r\n"
      "<span id=\"ctl00_ContentBody_Localize12\" title=\"x\"><img src=\"/images/stars/stars1_5.gif\" /></span>\r\n"
      "<img src=\"/images/icons/container/small.gif\" alt=\"Size: small\" />\r\n"
      "<span class=\"favorite-value\">\r\n 12\r\n</span>\r\n"
      "<span id=\"uxLatLon\">N 48" + kDegree + " 08.123 E 017" + kDegree + " 06.456</span>\r\n"
      "<span id=\"ctl00_ContentBody_Location\">In Bratislavsk\xc3\xbd kraj, Slovakia</span>\r\n"
      "<time class=\"timeago\" datetime=\"2013-04-05T10:11:12Z\">2013-04-05</time>\r\n"
      "<span id=\"ctl00_ContentBody_ShortDescription\">";
  for (int i = 0; i < paragraphs / 8; ++i) page += Paragraph(i);
  page += "</span>\r\n<span id=\"ctl00_ContentBody_LongDescription\">";
  for (int i = 0; i < paragraphs; ++i) page += Paragraph(i);
  page += "</span>\r\n<p id=\"ctl00_ContentBody_hints\">Hints</p>\r\n"
          "<div id=\"div_hint\" class=\"span-8 WrapFix\">Cbq xnzrarz [under the stone]</div>\r\n<div id=\"dk\">A|B</div>\r\n"
          "<table class=\"Table\" id=\"ctl00_ContentBody_Waypoints\">\r\n<thead>\r\n<tr class=\"TableHeader\">"
          "<th>&nbsp;</th><th>Prefix</th><th>Name</th></tr>\r\n</thead>\r\n<tbody>\r\n";
  for (int i = 0; i < rows; ++i) page += WaypointRows(i);
  page += "</tbody>\r\n</table>\r\n"
          "<div id=\"ctl00_ContentBody_detailWidget\" class=\"CacheDetailNavigationWidget\">\r\n<div class=\"WidgetBody\">"
          "<img src=\"/images/attributes/dogs-yes.gif\" /><img src=\"/images/attributes/wheelchair-no.gif\" />\r\n"
          "<p class=\"NoBottomSpacing\"><small>What are Attributes?</small></p>\r\n</div>\r\n</div>\r\n"
          "<span id=\"ctl00_ContentBody_uxTravelBugList_uxInventoryLabel\">Inventory</span>\r\n<div class=\"WidgetBody\">"
          "<ul>\r\n<li>Putovn\xc3\xbd kamienok</li>\r\n</ul>\r\n</div>\r\n"
          "<script type=\"text/javascript\">\r\n//<![CDATA[\r\n"
          "initalLogs = {\"status\":\"success\", \"data\": [], \"pageInfo\": {\"idx\":1, \"size\":25} };\r\n//]]>\r\n</script>\r\n"
          "</body>\r\n</html>\r\n";
  return page;
}

// Scale 1 is about 2 MB: 1,000 waypoint rows (about 0.8 MB) and descriptions of about 1.2 MB.
std::string PageAtScale(int scale) { return MakePage(1000 * scale, 7600 * scale); }

listing::TListingParser QuietParser() {
  listing::TListingParser parser;
  parser.Clock = [] { return runtime::TDateTime{2024, 5, 6, 7, 8, 9}; };
  parser.FetchFavoriteScore = [](const std::string&) {};
  return parser;
}

// The conversion itself: page text in, statements out.
void BM_BuildStatements(benchmark::State& state) {
  const std::string page = PageAtScale(static_cast<int>(state.range(0)));
  listing::TListingParser parser = QuietParser();
  size_t count = 0;
  for (auto _ : state) {
    std::vector<std::string> statements;
    std::string code;
    if (!parser.BuildStatements(page, statements, code)) state.SkipWithError("page not converted");
    count = statements.size();
    benchmark::DoNotOptimize(statements.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
  state.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
  state.counters["statements"] = static_cast<double>(count);
}
BENCHMARK(BM_BuildStatements)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// The whole call: reading tmp/htmlcopy.htm, converting, writing tmp/<code>.sql atomically.
void BM_ParseListing(benchmark::State& state) {
  const std::string page = PageAtScale(static_cast<int>(state.range(0)));
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("listing_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "tmp");
  runtime::WriteFileAtomic((folder / "tmp" / "htmlcopy.htm").string(), page);
  listing::TListingParser parser = QuietParser();
  parser.DataFolder = folder.string() + "/";
  for (auto _ : state) {
    if (!parser.ParseListing()) state.SkipWithError("page not converted");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
  state.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ParseListing)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// A malformed table whose rows are never closed before the last one: every row then runs to the
// same far "</tr" and reads the same cells, one of them wrapped in long runs of blanks. The walk
// must stay linear here too (scales of about 0.2 MB).
void BM_UnclosedRows(benchmark::State& state) {
  const int64_t scale = state.range(0);
  std::string rows;
  for (int64_t i = 0; i < 20000 * scale; ++i) rows += "<tr";
  const std::string blanks(20000 * static_cast<size_t>(scale), ' ');
  rows += "<td>a</td><td>b</td><td><span>note</span></td><td>" + blanks + "<b>K9</b>" + blanks + "</td></tr>";
  std::string page = MakePage(0, 0);
  page.insert(page.find("</tbody>"), rows);
  listing::TListingParser parser = QuietParser();
  size_t count = 0;
  for (auto _ : state) {
    std::vector<std::string> statements;
    std::string code;
    if (!parser.BuildStatements(page, statements, code)) state.SkipWithError("page not converted");
    count = statements.size();
    benchmark::DoNotOptimize(statements.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
  state.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
  state.counters["statements"] = static_cast<double>(count);
}
BENCHMARK(BM_UnclosedRows)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
