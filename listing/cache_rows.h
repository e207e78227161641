#pragma once
// One cache's rows of the five listing tables, as the conversion produces them: the values as cut
// out of the page, before any rendering. The SQL file (sql_output.h) and the listings database
// (store/) are two writers over these rows.
//
// Every value is the text its column gets in the SQL file, before quoting: the page's bytes with
// its own line breaks (CR LF), 'true'/'false' flags, dates as the file writes them. Cleaning and
// typing for the database are the database writer's business (clean_values.h).

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace listing {

// The values of the geocaches statement, named by their columns; `mnm` is always 9999. `S` is
// std::string_view while the parser fills them (views into the page and its own texts, which
// whoever fills them keeps alive) and std::string in the rows handed on.
template <class S>
struct TGeocacheFields {
  S Names, CacheType, Code, ContainerTypeName, Country, CountryID, DateCreated, DateLastVisited, DateLastUpdate,
      Difficulty, EncodedHints, FavoritePoints, GUID, IsPremium, IsLocked, Latitude, LongDescription, Longitude,
      PublicGuid, UserName, PlacedBy, ShortDescription, State, StateID, Terrain, UTCPlaceDate, Available, Archived,
      IsFull, DatUpd, GeocacheNote;

  // The fields in the order of kGeocacheColumns.
  template <class Self>
  static auto Fields(Self& v) {
    return std::array{&v.Names, &v.CacheType, &v.Code, &v.ContainerTypeName, &v.Country, &v.CountryID,
                      &v.DateCreated, &v.DateLastVisited, &v.DateLastUpdate, &v.Difficulty, &v.EncodedHints,
                      &v.FavoritePoints, &v.GUID, &v.IsPremium, &v.IsLocked, &v.Latitude, &v.LongDescription,
                      &v.Longitude, &v.PublicGuid, &v.UserName, &v.PlacedBy, &v.ShortDescription, &v.State,
                      &v.StateID, &v.Terrain, &v.UTCPlaceDate, &v.Available, &v.Archived, &v.IsFull, &v.DatUpd,
                      &v.GeocacheNote};
  }
};

using TGeocacheValues = TGeocacheFields<std::string_view>;
using TGeocacheRow = TGeocacheFields<std::string>;

// The geocaches columns in the statement's order, mnm not included.
inline constexpr std::array<std::string_view, 31> kGeocacheColumns = {
    "Names", "CacheType", "Code", "ContainerTypeName", "Country", "CountryID", "DateCreated", "DateLastVisited",
    "DateLastUpdate", "Difficulty", "EncodedHints", "FavoritePoints", "GUID", "IsPremium", "IsLocked", "Latitude",
    "LongDescription", "Longitude", "PublicGuid", "UserName", "PlacedBy", "ShortDescription", "State", "StateID",
    "Terrain", "UTCPlaceDate", "Available", "Archived", "IsFull", "DatUpd", "GeocacheNote"};

// The values of one kind as the other: an owned copy of what the parser filled, or views of a row.
template <class To, class From>
To ConvertedFields(const From& from) {
  To to;
  const auto out = To::Fields(to);
  const auto in = From::Fields(from);
  for (size_t i = 0; i < out.size(); ++i) *out[i] = *in[i];
  return to;
}

// One AdditionalWaypoints row, its columns in the statement's order.
struct TWaypointRow {
  std::string Code, Comment, Description, GeocacheCode, GUID, Latitude, Longitude, Name, Type, Url, UrlName;
};

// One GeocacheLogs row, its columns in the statement's order. The texts from the logs' JSON are in
// Windows-1250 as the SQL file has them (page bytes passed through, escapes in the code page);
// the Utf8 members hold the same texts decoded as UTF-8 for the database, where nothing is lost to
// the code page. UserId is the account id as the page gave it (the file writes it bare when it is
// an integer).
struct TLogRow {
  std::string Id, Code, GcCode, PublicGuid, UserId, UserName, Guid, LogText, WptLogTypeName, VisitDate, IsArchived;
  std::string UserNameUtf8, LogTextUtf8, WptLogTypeNameUtf8;
};

struct TCacheRows {
  TGeocacheRow Geocache;
  std::string Attributes;  // the Attributes row: Code is Geocache.Code
  std::string Trackables;  // the TBGC row: GcCode is Geocache.Code
  std::vector<TWaypointRow> Waypoints;
  std::vector<TLogRow> Logs;
};

}  // namespace listing
