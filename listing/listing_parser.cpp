#include "listing/listing_parser.h"

#include <algorithm>

#include "listing/coordinates.h"
#include "listing/favorites.h"
#include "listing/logs_to_sql.h"
#include "listing/sql_output.h"
#include "listing/text_ops.h"
#include "listing/waypoint_table.h"
#include "runtime/file_io.h"
#include "runtime/message_box.h"
#include "runtime/text_list.h"

namespace listing {
namespace {

constexpr std::string_view kCreatedBy = " created by ";
constexpr std::string_view kWidgetBody = "<div class=\"WidgetBody\">";
constexpr std::string_view kTitleAttribute = "title=\"";
constexpr std::string_view kLogsMarker = "initalLogs = {";  // spelled as the page spells it
// The logs text starts at the marker's last two bytes: the blank and the opening brace.
constexpr int64_t kLogsOffset = 12;

// Difficulty and terrain are shown as star images: stars2_5.gif means 2.5.
std::string StarRating(std::string_view page, std::string_view spanMarker) {
  const std::string_view span = PageBetween(page, spanMarker, "</span>");
  return ReplaceFirst(TextBetween("stars/stars", ".gif", span), "_", ".");
}

// Byte-wise comparison with "0": the empty text and "0" are not above it, a text that starts
// with 1 to 9 is.
bool AboveZero(std::string_view count) { return count.compare("0") > 0; }

}  // namespace

bool TListingParser::BuildStatements(std::string_view page, std::vector<std::string>& statements,
                                     std::string& code) {
  TCacheRows rows;
  if (!BuildRows(page, rows, code)) return false;
  statements = CacheStatements(rows);
  return true;
}

bool TListingParser::BuildRows(std::string_view page, TCacheRows& rows, std::string& code) {
  FStageCounter = 0;
  TGeocacheValues v;

  // Title: "<code> <name> (<type>) in <location> created by <owner>" and one trailing byte.
  const std::string_view title = TextBetween("<title>", "</title>", page);
  const int64_t sp = FindText(" ", title);
  v.Code = TrimBlanks(Slice(title, 1, sp - 1));
  code = v.Code;
  const int64_t pp = FindText(" (", title);
  v.Names = Slice(title, sp + 1, pp - sp - 1);
  const int64_t cb = FindFrom(kCreatedBy, title, FindText(") ", title));
  const int64_t ownerAt = cb + static_cast<int64_t>(kCreatedBy.size());
  v.UserName = Slice(title, ownerAt, static_cast<int64_t>(title.size()) - ownerAt);
  v.PlacedBy = v.UserName;

  // Hidden date, shown as dd.mm.yyyy after a label and a colon: fixed positions, any separators.
  const std::string_view hidden = TrimBlanks(PageBetween(page, "<div id=\"ctl00_ContentBody_mcd2\">", "</div"));
  const std::string_view date = TrimBlanks(Slice(hidden, FindText(":", hidden) + 1, kRest));
  std::string dateCreated;
  dateCreated.append(Slice(date, 7, 4)).append("-").append(Slice(date, 4, 2)).append("-").append(Slice(date, 1, 2));
  v.DateCreated = dateCreated;
  v.UTCPlaceDate = dateCreated;

  // Cache type: the title attribute of the first image in the cache-type link.
  const std::string_view link = PageBetween(page, "<a href=\"/about/cache_types.aspx\"", "</a>");
  const int64_t typeAt = FindFrom(kTitleAttribute, link, FindText("<img", link)) + static_cast<int64_t>(kTitleAttribute.size());
  v.CacheType = Slice(link, typeAt, FindFrom("\"", link, typeAt) - typeAt);

  v.ContainerTypeName = PageBetween(page, "<img src=\"/images/icons/container/", ".");

  // Location: "In <state>, <country>".
  const std::string_view location = PageBetween(page, "<span id=\"ctl00_ContentBody_Location\">", "<");
  const int64_t blank = FindText(" ", location);
  const int64_t comma = FindText(",", location);
  v.State = TrimBlanks(Slice(location, blank + 1, comma - blank - 1));
  v.StateID = "290";
  FStageCounter = 1;
  v.Country = TrimBlanks(Slice(location, comma + 1, kRest));
  v.CountryID = "182";

  const std::string updated = ReplaceFirst(PageBetween(page, "<time class=\"timeago\" datetime=\"", "\""), "T", " ");
  v.DateLastUpdate = Slice(updated, 1, 19);

  // Attribute images between the detail widget's body and its last paragraph.
  int64_t sectionAt = FindText("ctl00_ContentBody_detailWidget", page);
  sectionAt = FindFrom(kWidgetBody, page, sectionAt);
  const int64_t sectionEnd = FindFrom("<p class=\"NoBottomSpacing\">", page, sectionAt);
  const int64_t bodyLength = static_cast<int64_t>(kWidgetBody.size());
  const std::string attributes =
      AttributeString(Slice(page, sectionAt + bodyLength, sectionEnd - sectionAt - bodyLength), AttributeItems);

  v.FavoritePoints = TrimBlanks(PageBetween(page, "<span class=\"favorite-value\">", "</span"));
  if (AboveZero(v.FavoritePoints) && FetchFavoriteScore)
    FetchFavoriteScore(FavoriteScoreAddress(page, AddressHost.empty() ? Host : AddressHost));

  v.IsPremium = "false";
  v.IsLocked = "false";
  v.GUID = PageBetween(page, "http://" + Host + "/seek/cache_details.aspx?guid=", "\"");
  v.PublicGuid = PageBetween(page, "<a href=\"http://" + Host + "/profile/?guid=", "&");
  v.Available = "true";
  v.Archived = "false";

  const std::string difficulty = StarRating(page, "<span id=\"ctl00_ContentBody_uxLegendScale\"");
  const std::string terrain = StarRating(page, "<span id=\"ctl00_ContentBody_Localize12\"");
  v.Difficulty = difficulty;
  v.Terrain = terrain;

  // No coordinates on the page: the site did not see a signed-in session.
  const std::string_view coordinates = PageBetween(page, "<span id=\"uxLatLon\">", "</span>");
  if (coordinates.empty()) {
    if (SignedIn) *SignedIn = false;
    return false;
  }
  const std::string latitude = LatitudeText(coordinates);
  const std::string longitude = LongitudeText(coordinates);
  v.Latitude = latitude;
  v.Longitude = longitude;

  v.ShortDescription = TrimBlanks(PageBetween(page, "<span id=\"ctl00_ContentBody_ShortDescription\">", "<span id"));
  v.LongDescription = TrimBlanks(PageBetween(page, "<span id=\"ctl00_ContentBody_LongDescription\">", "<p id=\"ctl00"));
  if (Memo) Memo->emplace_back(v.LongDescription);

  // The hint is kept with its markup and line breaks up to the next "<div".
  const std::string hint = RotateHint(PageBetween(page, "\"div_hint\" class=\"span-8 WrapFix\">", "<div"));
  v.EncodedHints = hint;
  v.IsFull = "true";
  const std::string updatedNow = runtime::FormatDateTime("yyyy-mm-dd hh:mm:ss", Clock ? Clock() : runtime::Now());
  v.DatUpd = updatedNow;

  rows.Geocache = ConvertedFields<TGeocacheRow>(v);
  rows.Attributes = attributes;

  const std::string_view inventory =
      PageBetween(page, "<span id=\"ctl00_ContentBody_uxTravelBugList_uxInventoryLabel\">", "</div");
  const int64_t listAt = FindText("<ul>", inventory);
  const int64_t listEnd = FindText("</ul>", inventory);
  rows.Trackables = Slice(inventory, listAt, listEnd + 5 - listAt);

  const std::string_view table =
      PageBetween(page, "<table class=\"Table\" id=\"ctl00_ContentBody_Waypoints\">", "</table>");
  FStageCounter = 2;
  if (!table.empty()) AppendWaypointRows(table, code, v.GUID, Host, rows.Waypoints);

  const int64_t logsAt = FindText(kLogsMarker, page);
  const int64_t logsEnd = FindFrom("//]]>", page, logsAt);
  LogsToRows(Slice(page, logsAt + kLogsOffset, logsEnd - logsAt - kLogsOffset), code, rows.Logs);
  return true;
}

std::string StageFailureCause(int32_t stage, const std::string& error) {
  // The stages are the two points where the counter is raised: the location, the waypoints.
  const char* reached = stage <= 0   ? "stage 0 (reading the page, its title, date and type)"
                        : stage == 1 ? "stage 1 (location, coordinates, descriptions, favourites)"
                                     : "stage 2 (waypoints, logs or the SQL file)";
  // The error may quote page text; its line breaks would split the cause over lines of its own
  // in the message box and break the one line per failure of a batch's error output.
  std::string cause = std::string(reached) + ": " + error;
  std::replace_if(cause.begin(), cause.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return cause;
}

bool TListingParser::ParseListing() {
  FStageCounter = 0;
  FStatementCount = 0;
  FCode.clear();
  FRows = {};
  FFailureCause.clear();
  try {
    const std::string page =
        runtime::NormalizeLineBreaks(runtime::ReadWholeFile(DataFolder + "tmp/htmlcopy.htm"));
    TCacheRows rows;
    std::string code;
    if (!BuildRows(page, rows, code)) return false;
    const std::vector<std::string> statements = CacheStatements(rows);
    SaveStatements(SqlFileName(DataFolder, code), statements);
    FStatementCount = statements.size();
    FCode = std::move(code);
    FRows = std::move(rows);
    return true;
  } catch (const std::exception& e) {
    FFailureCause = StageFailureCause(FStageCounter, e.what());
  } catch (...) {
    FFailureCause = StageFailureCause(FStageCounter, "unknown error");
  }
  // The first line is how far the conversion came, as the user has always seen it; the
  // second says why.
  if (ShowsFailure) runtime::ShowMessage(runtime::IntToStr(FStageCounter) + "\n" + FFailureCause);
  return false;
}

}  // namespace listing
