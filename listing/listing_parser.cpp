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
constexpr std::string_view kTitleAttribute = "title=\"";

// Difficulty and terrain are shown as star images: stars2_5.gif means 2.5.
std::string StarRating(std::string_view span) {
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
  FLayout = nullptr;
  FNoLayoutCause.clear();
  if (!Layouts) Layouts = BuiltInLayouts();
  const TLayout* layout = Layouts->Recognise(page);
  if (!layout) {
    // A page no layout knows is only taken for a session that was not signed in when it shows
    // the site's sign-in link instead of coordinates.
    if (Layouts->SignedOut(page)) {
      if (SignedIn) *SignedIn = false;
    } else {
      FNoLayoutCause = Layouts->NoLayoutCause(page);
    }
    return false;
  }
  FLayout = layout;
  // Each value is cut as the layout says, and a failure while it is read shows its stage.
  bool found = false;
  auto cut = [&](TValue value) {
    FStageCounter = std::max(FStageCounter, ValueInfo(value).Stage);
    return CutValue(page, layout->Cut(value), Host, &found);
  };
  TGeocacheValues v;

  // Title: "<code> <name> (<type>) in <location> created by <owner>" and one trailing byte.
  const std::string_view title = cut(TValue::Title);
  const int64_t sp = FindText(" ", title);
  v.Code = TrimBlanks(Slice(title, 1, sp - 1));
  code = v.Code;
  const int64_t pp = FindText(" (", title);
  v.Names = Slice(title, sp + 1, pp - sp - 1);
  const int64_t cb = FindFrom(kCreatedBy, title, FindText(") ", title));
  const int64_t ownerAt = cb + static_cast<int64_t>(kCreatedBy.size());
  v.UserName = Slice(title, ownerAt, static_cast<int64_t>(title.size()) - ownerAt);
  if (layout->Cut(TValue::OwnerName).Defined()) v.UserName = TrimBlanks(cut(TValue::OwnerName));
  v.PlacedBy = v.UserName;

  // Hidden date, shown after a label and a colon.
  const std::string_view hidden = TrimBlanks(cut(TValue::Hidden));
  const std::string_view date = TrimBlanks(Slice(hidden, FindText(":", hidden) + 1, kRest));
  const std::string dateCreated = LayoutDate(date, layout->DateFormats);
  v.DateCreated = dateCreated;
  v.UTCPlaceDate = dateCreated;

  // Cache type: the title attribute of the first image in the cache-type link.
  const std::string_view link = cut(TValue::CacheType);
  const int64_t typeAt = FindFrom(kTitleAttribute, link, FindText("<img", link)) + static_cast<int64_t>(kTitleAttribute.size());
  v.CacheType = Slice(link, typeAt, FindFrom("\"", link, typeAt) - typeAt);

  v.ContainerTypeName = cut(TValue::Container);

  // Location: "In <state>, <country>".
  const std::string_view location = cut(TValue::Location);
  const int64_t blank = FindText(" ", location);
  const int64_t comma = FindText(",", location);
  v.State = TrimBlanks(Slice(location, blank + 1, comma - blank - 1));
  v.StateID = "290";
  v.Country = TrimBlanks(Slice(location, comma + 1, kRest));
  v.CountryID = "182";

  const std::string updated = ReplaceFirst(cut(TValue::Updated), "T", " ");
  v.DateLastUpdate = Slice(updated, 1, 19);

  const std::string attributes = AttributeString(cut(TValue::Attributes), AttributeItems);

  v.FavoritePoints = TrimBlanks(cut(TValue::Favorites));
  if (AboveZero(v.FavoritePoints) && FetchFavoriteScore)
    FetchFavoriteScore(FavoriteScoreAddress(cut(TValue::UserToken), AddressHost.empty() ? Host : AddressHost));

  v.IsPremium = "false";
  v.IsLocked = "false";
  v.GUID = cut(TValue::Guid);
  v.PublicGuid = cut(TValue::Owner);
  v.Available = "true";
  v.Archived = "false";

  const std::string difficulty = StarRating(cut(TValue::Difficulty));
  const std::string terrain = StarRating(cut(TValue::Terrain));
  v.Difficulty = difficulty;
  v.Terrain = terrain;

  // No coordinates on the page: the site did not see a signed-in session.
  const std::string_view coordinates = cut(TValue::Coordinates);
  if (coordinates.empty()) {
    if (SignedIn) *SignedIn = false;
    return false;
  }
  const std::string latitude = LatitudeText(coordinates);
  const std::string longitude = LongitudeText(coordinates);
  v.Latitude = latitude;
  v.Longitude = longitude;

  v.ShortDescription = TrimBlanks(cut(TValue::ShortDescription));
  v.LongDescription = TrimBlanks(cut(TValue::LongDescription));
  if (Memo) Memo->emplace_back(v.LongDescription);

  // The hint is kept with its markup and line breaks; pages show it in ROT13 unless the page
  // says it shows it decoded.
  const std::string_view shownHint = cut(TValue::Hint);
  const bool decoded = !layout->HintShownDecoded.Text.empty() && FindText(layout->HintShownDecoded.Text, page) != 0;
  const std::string hint = decoded ? std::string(shownHint) : RotateHint(shownHint);
  v.EncodedHints = hint;
  v.IsFull = "true";
  const std::string updatedNow = runtime::FormatDateTime("yyyy-mm-dd hh:mm:ss", Clock ? Clock() : runtime::Now());
  v.DatUpd = updatedNow;

  rows.Geocache = ConvertedFields<TGeocacheRow>(v);
  rows.Attributes = attributes;

  const std::string_view inventory = cut(TValue::Inventory);
  const int64_t listAt = FindText("<ul>", inventory);
  const int64_t listEnd = FindText("</ul>", inventory);
  rows.Trackables = Slice(inventory, listAt, listEnd + 5 - listAt);

  const std::string_view table = cut(TValue::Waypoints);
  if (!table.empty()) {
    const std::string guidMarker = ReplaceAll(layout->WaypointGuid.Text, "{host}", Host);
    AppendWaypointRows(table, code, v.GUID, Host, rows.Waypoints, layout->Cells, guidMarker);
  }

  // A page without embedded logs has no log rows; logs that are there must read.
  const std::string_view logs = cut(TValue::Logs);
  if (found) LogsToRows(logs, code, rows.Logs);
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
