#pragma once
// The GPX 1.0 rendering of caches read from the listings database: the site's own export
// layout, so that the tools that read that read this.
//
// Every text goes out as valid XML whatever it holds: markup characters escaped, bytes that are
// not UTF-8 replaced by U+FFFD, characters XML 1.0 forbids (most control characters, U+FFFE,
// U+FFFF) left out. Numbers are written with a dot whatever the locale.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// One log of a cache. `Date` as the database holds it; written only when it is an ISO 8601 date.
struct TGpxLog {
  std::string Id, Date, Type, Finder, FinderId, Text;
};

// One additional waypoint; one without both coordinates is not written (a GPX point needs them).
struct TGpxWaypoint {
  std::string Code, Name, Comment, Kind, Type, Url, UrlName;
  std::optional<double> Latitude, Longitude;
};

struct TGpxCache {
  std::string Code, Name, PlacedBy, Owner, Type, Container, Country, State, ShortDescription,
      LongDescription, Hints, Placed;
  std::string Attributes;  // one mark per entry of the attribute table: 'A' set, 'N' set as "no"
  std::string Trackables;  // the page's inventory list, as HTML
  std::optional<double> Latitude, Longitude, Difficulty, Terrain;
  bool Available = true, Archived = false;
  std::vector<TGpxLog> Logs;
  std::vector<TGpxWaypoint> Waypoints;
};

// `text` as XML character data or attribute value (quotes escaped too).
void AppendXmlText(std::string& out, std::string_view text);

// A coordinate or rating in plain decimal notation ("48.1353833", "2.5"), never an exponent.
void AppendDecimal(std::string& out, double value);

// "2011-06-15" or "2013-04-05 10:11:12" (an optional fraction and zone) as an XML date and
// time in UTC ("2011-06-15T00:00:00Z"); nullopt for anything else.
std::optional<std::string> XmlDateTime(std::string_view text);

// The number a cache code spells (the site numbers its caches and writes the number in its
// code's letters); nullopt for a code that does not spell one.
std::optional<long long> CacheNumber(std::string_view code);

// The document's start, with `generated` (an XML date and time) as its time.
void AppendGpxStart(std::string& out, std::string_view siteAddressHost, std::string_view generated);
// One cache: its point, then one point per additional waypoint with both coordinates. A cache
// without both coordinates is not written; returns whether it was.
bool AppendGpxCache(std::string& out, const TGpxCache& cache, std::string_view siteAddressHost);
void AppendGpxEnd(std::string& out);

}  // namespace store
