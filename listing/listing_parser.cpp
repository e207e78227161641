#include "listing/listing_parser.h"

#include <algorithm>

#include "listing/coordinates.h"
#include "listing/favorites.h"
#include "listing/logs_to_sql.h"
#include "listing/sql_output.h"
#include "listing/text_ops.h"
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

// Where one needle occurs in a text, found in one pass, so that FindFrom over any piece of the
// text is a binary search. The waypoint walk needs it: rows begin behind the start of the previous
// row, not behind its end, so on a table whose rows are not closed every row runs to the same far
// "</tr" and searching each row afresh would take time quadratic in the table's size.
class TOccurrences {
 public:
  TOccurrences(std::string_view text, std::string_view needle) : FText(text), FLength(static_cast<int64_t>(needle.size())) {
    for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) {
      FStarts.push_back(static_cast<int64_t>(at));
    }
  }

  // FindFrom(needle, piece, offset) for a piece (a view into the text).
  int64_t FindFrom(std::string_view piece, int64_t offset) const {
    const int64_t length = static_cast<int64_t>(piece.size());
    if (offset < 0) offset = 0;
    if (offset >= length) return 0;
    const int64_t begin = piece.data() - FText.data();
    const auto it = std::lower_bound(FStarts.begin(), FStarts.end(), begin + offset);
    if (it == FStarts.end() || *it + FLength > begin + length) return 0;
    return *it - begin + 1;
  }

  int64_t FindText(std::string_view piece) const { return FindFrom(piece, 0); }

 private:
  std::string_view FText;
  int64_t FLength;
  std::vector<int64_t> FStarts;
};

}  // namespace

bool TListingParser::BuildStatements(std::string_view page, std::vector<std::string>& statements,
                                     std::string& code) {
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
  if (AboveZero(v.FavoritePoints) && FetchFavoriteScore) FetchFavoriteScore(FavoriteScoreAddress(page, Host));

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

  statements.push_back(GeocachesStatement(v));
  statements.push_back(AttributesStatement(v.Code, attributes));

  const std::string_view inventory =
      PageBetween(page, "<span id=\"ctl00_ContentBody_uxTravelBugList_uxInventoryLabel\">", "</div");
  const int64_t listAt = FindText("<ul>", inventory);
  const int64_t listEnd = FindText("</ul>", inventory);
  statements.push_back(TbgcStatement(v.Code, Slice(inventory, listAt, listEnd + 5 - listAt)));

  const std::string_view table =
      PageBetween(page, "<table class=\"Table\" id=\"ctl00_ContentBody_Waypoints\">", "</table>");
  FStageCounter = 2;
  if (!table.empty()) ReadWaypoints(table, v.Code, v.GUID, statements);

  const int64_t logsAt = FindText(kLogsMarker, page);
  const int64_t logsEnd = FindFrom("//]]>", page, logsAt);
  LogsToSql(Slice(page, logsAt + kLogsOffset, logsEnd - logsAt - kLogsOffset), code, statements);
  return true;
}

// The table alternates waypoint rows (odd numbers, which only gather values) and note rows
// (even numbers; each one with a third cell emits a statement with the values gathered so far).
// Row 0 is the header, which has no "<td" cells. Values carry over: a waypoint row that lacks a
// cell leaves the previous waypoint's value in place.
void TListingParser::ReadWaypoints(std::string_view table, std::string_view code, std::string_view cacheGuid,
                                   std::vector<std::string>& statements) const {
  const std::string guidMarker = "http://" + Host + "/seek/wpt.aspx?WID=";
  const std::string_view codeTail = Slice(code, 3, kRest);
  TWaypointValues w;
  w.Guid = cacheGuid;

  // The end of row r is the first "</tr" behind r. Rows are looked for behind the start of the
  // previous one, so the end found last is still the answer while it lies behind r; without
  // this every row of a table lacking "</tr" would search the rest of the table again.
  int64_t rowEnd = -1;
  const TOccurrences cellStarts(table, "<td");
  const TOccurrences cellEnds(table, "</td>");
  const TOccurrences tagEnds(table, ">");

  int64_t rowIndex = 0;
  int64_t r = 1;
  for (;;) {
    r = FindFrom("<tr", table, r);
    if (r == 0) break;
    if (rowEnd < 0 || (rowEnd != 0 && rowEnd <= r)) rowEnd = FindFrom("</tr", table, r);
    const std::string_view row = Slice(table, r, rowEnd - r);
    const bool waypointRow = rowIndex % 2 == 1;

    int64_t p = 1;
    for (int k = 1; k <= 8; ++k) {
      p = cellStarts.FindFrom(row, p);
      if (p == 0) break;
      const int64_t q = cellEnds.FindFrom(row, p);
      const std::string_view raw = Slice(row, p + 3, q - p - 3);
      const std::string_view content = TrimBlanks(Slice(raw, tagEnds.FindText(raw) + 1, kRest));
      if (waypointRow) {
        if (k == 4) {
          w.Code = TrimBlanks(TextBetween(">", "<", content));
          w.Code.append(codeTail);
        } else if (k == 6) {
          w.Name = TextBetween(">", "<", content);
          const int64_t guidAt = FindText(guidMarker, content) + static_cast<int64_t>(guidMarker.size());
          w.Guid = Slice(content, guidAt, 36);
          w.TypeText = TextBetween("(", ")", content);
        } else if (k == 7) {
          const std::string coordinates = ReplaceAll(content, "&nbsp;", "");
          w.Latitude = LatitudeText(coordinates);
          w.Longitude = LongitudeText(coordinates);
        }
      } else if (k == 3) {
        statements.push_back(AdditionalWaypointsStatement(w, content, code, Host));
      }
      p = q;
    }
    ++rowIndex;
  }
}

bool TListingParser::ParseListing() {
  FStageCounter = 0;
  try {
    const std::string page =
        runtime::NormalizeLineBreaks(runtime::ReadWholeFile(DataFolder + "tmp/htmlcopy.htm"));
    std::vector<std::string> statements;
    std::string code;
    if (!BuildStatements(page, statements, code)) return false;
    SaveStatements(SqlFileName(DataFolder, code), statements);
    return true;
  } catch (...) {
    // Whatever went wrong, the user sees only how far the conversion came.
    runtime::ShowMessage(runtime::IntToStr(FStageCounter));
    return false;
  }
}

}  // namespace listing
