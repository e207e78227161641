#pragma once
// The listing page parser: one saved listing page in, one SQL file of statements out.
//
// The page is never parsed as HTML. Every value is cut out between the markers of the page's
// layout (see layout.h: the first layout of the table that recognises the page) in one fixed
// order, and that order is part of the contract: it decides which side effects (the favourites
// request, the memo line, the progress counter) have happened when a later step fails. The
// progress counter is the only thing a failed conversion shows: "0" before the location was
// read, "1" until the waypoint table is reached, "2" after that.
//
// Usage (the application fills the context once and calls ParseListing per page):
//   listing::TListingParser parser;
//   parser.DataFolder = dataFolder;           // ends with "/"; reads tmp/htmlcopy.htm under it
//   parser.Host = hostFromSettings;           // Site/Host, default kDefaultSiteHost
//   parser.SignedIn = &signedIn;              // cleared when the page shows no coordinates
//   parser.Memo = &memoLines;                 // receives each page's long description
//   parser.FetchFavoriteScore = [&](const std::string& address) { /* POST, reply unused */ };
//   parser.Layouts = listing::LoadLayouts(dataFolder + "layouts/");  // unset: the built-in ones
//   bool converted = parser.ParseListing();

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "listing/attribute_table.h"
#include "listing/cache_rows.h"
#include "listing/layout.h"
#include "listing/site.h"
#include "runtime/formatting.h"

namespace listing {

class TListingParser {
 public:
  // The program's data folder, ending with "/". The page is read from tmp/htmlcopy.htm and the
  // statements are written to tmp/<code>.sql under it.
  std::string DataFolder;
  // The listing site's bare host: the markers of the cache GUID, the owner profile and the
  // waypoint GUID contain it, and so do the waypoint addresses.
  std::string Host = std::string(kDefaultSiteHost);
  // The host the favourites request is addressed to, with ":" + port when the site listens on
  // a port of its own. Empty: Host.
  std::string AddressHost;
  // Set to false when the page shows no coordinates (the sign of a session that is not signed
  // in). Optional.
  bool* SignedIn = nullptr;
  // The main window's memo: each converted page appends its long description. Optional.
  std::vector<std::string>* Memo = nullptr;
  // Sends the favourites score request to the address given (see FavoriteScoreAddress); called
  // only for pages whose favourite count is above "0". Its reply is not used; an exception it
  // throws fails the conversion. Unset: nothing is sent.
  std::function<void(const std::string& address)> FetchFavoriteScore;
  // The attribute table: the items of the main window's attribute list box.
  std::vector<std::string> AttributeItems = DefaultAttributeItems();
  // Local date and time for the DatUpd column; injectable so that output can be reproduced.
  std::function<runtime::TDateTime()> Clock = runtime::Now;
  // The page layouts a page is converted by. Unset: the built-in ones.
  std::shared_ptr<const TLayoutTable> Layouts;

  // Converts DataFolder + "tmp/htmlcopy.htm" into DataFolder + "tmp/" + code + ".sql".
  // Returns true when the file was written. Returns false without any message when the page
  // shows no coordinates or no layout knows it (NoLayoutCause); on any error shows the progress counter through runtime::ShowMessage
  // (unless ShowsFailure is false), with a second line that says why (FailureCause), and
  // returns false, leaving no new SQL file behind.
  bool ParseListing();
  // False: a failed ParseListing shows nothing; the caller reports FailureCause itself.
  bool ShowsFailure = true;

  // The conversion without the files: builds the rows of `pageText` (already with CR LF line
  // breaks) into `rows` and returns the cache code in `code`. Returns false when the page shows
  // no coordinates or no layout recognises it. Throws on errors; StageCounter() then tells how
  // far it came.
  bool BuildRows(std::string_view pageText, TCacheRows& rows, std::string& code);
  // BuildRows, the rows as the SQL file's statements (CacheStatements).
  bool BuildStatements(std::string_view pageText, std::vector<std::string>& statements, std::string& code);

  // The progress counter of the last conversion (0, 1 or 2).
  int32_t StageCounter() const { return FStageCounter; }
  // Why the last ParseListing failed: the stage reached, what it means, and the error's text.
  // Empty after a success or a page without coordinates.
  const std::string& FailureCause() const { return FFailureCause; }

  // Why the last page was not converted when no layout recognised it ("no known layout: ...");
  // empty otherwise, also for a page saved without signing in.
  const std::string& NoLayoutCause() const { return FNoLayoutCause; }
  // The layout that recognised the last page (an entry of Layouts, valid while that table is);
  // null when none did.
  const TLayout* Layout() const { return FLayout; }

  // The number of statements the last ParseListing wrote (0 when it wrote no file).
  size_t StatementCount() const { return FStatementCount; }

  // The cache code and the rows of the SQL file the last ParseListing wrote (empty when it wrote
  // no file): for a caller that stores them elsewhere too.
  const std::string& Code() const { return FCode; }
  const TCacheRows& Rows() const { return FRows; }
  TCacheRows& Rows() { return FRows; }

 private:
  int32_t FStageCounter = 0;
  size_t FStatementCount = 0;
  std::string FCode;
  TCacheRows FRows;
  std::string FFailureCause;
  std::string FNoLayoutCause;
  const TLayout* FLayout = nullptr;
};

// What a conversion that failed at `stage` had reached, then the error's own text:
// "stage 2 (waypoints, logs or the SQL file): <error>".
std::string StageFailureCause(int32_t stage, const std::string& error);

}  // namespace listing
