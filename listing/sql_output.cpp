#include "listing/sql_output.h"

#include "listing/text_ops.h"
#include "runtime/file_io.h"

namespace listing {
namespace {

constexpr std::string_view kGeocachesPrefix =
    "Insert or replace into geocaches (Names,CacheType,Code,ContainerTypeName,Country,CountryID,"
    "DateCreated,DateLastVisited,DateLastUpdate,Difficulty,EncodedHints,FavoritePoints,GUID,"
    "IsPremium,IsLocked,Latitude,LongDescription,Longitude,PublicGuid,UserName,PlacedBy,"
    "ShortDescription,State,StateID,Terrain,UTCPlaceDate,Available,Archived,IsFull,DatUpd,"
    "GeocacheNote,mnm)values ('";
constexpr std::string_view kAttributesPrefix = "Insert or replace into Attributes (Code,Attr) Values ('";
constexpr std::string_view kTbgcPrefix = "Insert or replace into TBGC(GcCode,trackables) Values ('";
constexpr std::string_view kWaypointsPrefix =
    "Insert or replace into AdditionalWaypoints (Code,Comment,Description,GeocacheCode,GUID,"
    "Latitude,Longitude,Name,Type,Url,UrlName) Values ('";
constexpr std::string_view kSeparator = "','";

// Appends `value` with its apostrophes doubled (SqlQuote without a temporary).
void AppendQuoted(std::string& out, std::string_view value) {
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
}

// Joins the values with "','" after `prefix` (which ends in the first apostrophe).
std::string JoinQuoted(std::string_view prefix, std::initializer_list<std::string_view> values) {
  size_t size = prefix.size();
  for (std::string_view v : values) size += v.size() + kSeparator.size();
  std::string out;
  out.reserve(size + 16);
  out.append(prefix);
  bool first = true;
  for (std::string_view v : values) {
    if (!first) out.append(kSeparator);
    first = false;
    AppendQuoted(out, v);
  }
  return out;
}

}  // namespace

std::string GeocachesStatement(const TGeocacheValues& v) {
  std::string s = JoinQuoted(kGeocachesPrefix,
      {v.Names, v.CacheType, v.Code, v.ContainerTypeName, v.Country, v.CountryID, v.DateCreated,
       v.DateLastVisited, v.DateLastUpdate, v.Difficulty, v.EncodedHints, v.FavoritePoints, v.GUID,
       v.IsPremium, v.IsLocked, v.Latitude, v.LongDescription, v.Longitude, v.PublicGuid,
       v.UserName, v.PlacedBy, v.ShortDescription, v.State, v.StateID, v.Terrain, v.UTCPlaceDate,
       v.Available, v.Archived, v.IsFull, v.DatUpd, v.GeocacheNote});
  s.append("',9999);");
  return EscapeLineBreaks(s);
}

std::string AttributesStatement(std::string_view code, std::string_view attributes) {
  std::string s = JoinQuoted(kAttributesPrefix, {code, attributes});
  s.append("')");
  return s;
}

std::string TbgcStatement(std::string_view code, std::string_view trackables) {
  std::string s = JoinQuoted(kTbgcPrefix, {code, trackables});
  s.append("');");
  return EscapeLineBreaks(s);
}

std::string AdditionalWaypointsStatement(const TWaypointValues& w, std::string_view comment,
                                         std::string_view geocacheCode, std::string_view host) {
  const std::string type = "Waypoint|" + w.TypeText;
  const std::string url = "http://" + std::string(host) + "/seek/wpt.aspx?WID=" + w.Guid;
  std::string s = JoinQuoted(kWaypointsPrefix, {w.Code, comment, w.Name, geocacheCode, w.Guid,
                                                w.Latitude, w.Longitude, w.TypeText, type, url, w.Name});
  s.append("');");
  return EscapeLineBreaks(s);
}

std::string SqlFileName(const std::string& dataFolder, std::string_view code) {
  const std::string path = dataFolder + "tmp/" + std::string(code) + ".sql";
  if (code == "." || code == ".." || code.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    throw runtime::EFileError("Cannot create file \"" + path + "\": the cache code is no file name");
  }
  return path;
}

void SaveStatements(const std::string& path, const std::vector<std::string>& statements) {
  size_t size = 0;
  for (const std::string& s : statements) size += s.size() + 2;
  std::string bytes;
  bytes.reserve(size);
  for (const std::string& s : statements) bytes.append(s).append("\r\n");
  runtime::WriteFileAtomic(path, bytes);
}

}  // namespace listing
