#include "listing/sql_output.h"

#include <array>

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

// Appends `value` as it goes between two apostrophes of a one-line statement: apostrophes
// doubled (SqlQuote), then carriage returns and line feeds as "#13;" and "#10;"
// (EscapeLineBreaks). Quoting adds no line breaks and escaping adds no apostrophes, so one pass
// over the value does both. Long descriptions make this the hottest loop of a conversion: the
// plain runs between those three bytes are found with a table look-up per byte, not three
// comparisons.
void AppendValue(std::string& out, std::string_view value) {
  static constexpr auto kSpecial = [] {
    std::array<bool, 256> table{};
    table[static_cast<unsigned char>('\'')] = table[static_cast<unsigned char>('\r')] =
        table[static_cast<unsigned char>('\n')] = true;
    return table;
  }();
  const char* p = value.data();
  const char* const end = p + value.size();
  while (p < end) {
    const char* run = p;
    while (p < end && !kSpecial[static_cast<unsigned char>(*p)]) ++p;
    out.append(run, static_cast<size_t>(p - run));
    if (p == end) break;
    const char c = *p++;
    out.append(c == '\'' ? std::string_view("''") : c == '\r' ? std::string_view("#13;") : std::string_view("#10;"));
  }
}

// `prefix` (which ends in the first apostrophe), the values joined by "','", then `suffix`.
std::string Statement(std::string_view prefix, std::initializer_list<std::string_view> values,
                      std::string_view suffix) {
  size_t size = prefix.size() + suffix.size();
  for (std::string_view v : values) size += v.size() + kSeparator.size();
  std::string out;
  out.reserve(size + size / 16);  // room for escaped line breaks without growing again
  out.append(prefix);
  bool first = true;
  for (std::string_view v : values) {
    if (!first) out.append(kSeparator);
    first = false;
    AppendValue(out, v);
  }
  out.append(suffix);
  return out;
}

}  // namespace

std::string GeocachesStatement(const TGeocacheValues& v) {
  return Statement(kGeocachesPrefix,
      {v.Names, v.CacheType, v.Code, v.ContainerTypeName, v.Country, v.CountryID, v.DateCreated,
       v.DateLastVisited, v.DateLastUpdate, v.Difficulty, v.EncodedHints, v.FavoritePoints, v.GUID,
       v.IsPremium, v.IsLocked, v.Latitude, v.LongDescription, v.Longitude, v.PublicGuid,
       v.UserName, v.PlacedBy, v.ShortDescription, v.State, v.StateID, v.Terrain, v.UTCPlaceDate,
       v.Available, v.Archived, v.IsFull, v.DatUpd, v.GeocacheNote},
      "',9999);");
}

std::string AttributesStatement(std::string_view code, std::string_view attributes) {
  return Statement(kAttributesPrefix, {code, attributes}, "')");
}

std::string TbgcStatement(std::string_view code, std::string_view trackables) {
  return Statement(kTbgcPrefix, {code, trackables}, "');");
}

std::string AdditionalWaypointsStatement(const TWaypointValues& w, std::string_view comment,
                                         std::string_view geocacheCode, std::string_view host) {
  const std::string type = std::string("Waypoint|").append(w.TypeText);
  const std::string url = std::string("http://").append(host).append("/seek/wpt.aspx?WID=").append(w.Guid);
  return Statement(kWaypointsPrefix,
                   {w.Code, comment, w.Name, geocacheCode, w.Guid, w.Latitude, w.Longitude, w.TypeText,
                    type, url, w.Name},
                   "');");
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
