#include "listing/sql_output.h"

#include <array>
#include <span>

#include "runtime/file_io.h"

namespace listing {
namespace {

// "Insert or replace into geocaches (Names,...,GeocacheNote,mnm)values ('".
const std::string& GeocachesPrefix() {
  static const std::string prefix = [] {
    std::string p = "Insert or replace into geocaches (";
    for (std::string_view column : kGeocacheColumns) p.append(column).append(",");
    return p + "mnm)values ('";
  }();
  return prefix;
}
constexpr std::string_view kAttributesPrefix = "Insert or replace into Attributes (Code,Attr) Values ('";
constexpr std::string_view kTbgcPrefix = "Insert or replace into TBGC(GcCode,trackables) Values ('";
constexpr std::string_view kWaypointsPrefix =
    "Insert or replace into AdditionalWaypoints (Code,Comment,Description,GeocacheCode,GUID,"
    "Latitude,Longitude,Name,Type,Url,UrlName) Values ('";
constexpr std::string_view kLogsPrefix =
    "Insert or replace into GeocacheLogs(Id,Code,GcCode,PublicGuid,UserId,UserName,Guid,LogText,WptLogTypeName,"
    "VisitDate,IsArchived) Values ('";
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
std::string Statement(std::string_view prefix, std::span<const std::string_view> values, std::string_view suffix) {
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

std::string Statement(std::string_view prefix, std::initializer_list<std::string_view> values,
                      std::string_view suffix) {
  return Statement(prefix, std::span<const std::string_view>(values.begin(), values.size()), suffix);
}

// An integer literal: an optional "-" and at least one digit.
bool IsIntegerLiteral(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::vector<std::string> CacheStatements(const TCacheRows& rows) {
  std::vector<std::string> statements;
  statements.reserve(3 + rows.Waypoints.size() + rows.Logs.size());
  statements.push_back(GeocachesStatement(ConvertedFields<TGeocacheValues>(rows.Geocache)));
  statements.push_back(AttributesStatement(rows.Geocache.Code, rows.Attributes));
  statements.push_back(TbgcStatement(rows.Geocache.Code, rows.Trackables));
  for (const TWaypointRow& w : rows.Waypoints) statements.push_back(AdditionalWaypointsStatement(w));
  for (const TLogRow& l : rows.Logs) statements.push_back(GeocacheLogsStatement(l));
  return statements;
}

std::string GeocachesStatement(const TGeocacheValues& v) {
  std::array<std::string_view, kGeocacheColumns.size()> values;
  const auto fields = TGeocacheValues::Fields(v);
  for (size_t i = 0; i < values.size(); ++i) values[i] = *fields[i];
  return Statement(GeocachesPrefix(), values, "',9999);");
}

std::string AttributesStatement(std::string_view code, std::string_view attributes) {
  return Statement(kAttributesPrefix, {code, attributes}, "')");
}

std::string TbgcStatement(std::string_view code, std::string_view trackables) {
  return Statement(kTbgcPrefix, {code, trackables}, "');");
}

TWaypointRow WaypointRow(const TWaypointValues& w, std::string_view comment, std::string_view geocacheCode,
                         std::string_view host) {
  TWaypointRow row;
  row.Code = w.Code;
  row.Comment = comment;
  row.Description = w.Name;
  row.GeocacheCode = geocacheCode;
  row.GUID = w.Guid;
  row.Latitude = w.Latitude;
  row.Longitude = w.Longitude;
  row.Name = w.TypeText;
  row.Type = std::string("Waypoint|").append(w.TypeText);
  row.Url = std::string("http://").append(host).append("/seek/wpt.aspx?WID=").append(w.Guid);
  row.UrlName = w.Name;
  return row;
}

std::string AdditionalWaypointsStatement(const TWaypointRow& w) {
  return Statement(kWaypointsPrefix,
                   {w.Code, w.Comment, w.Description, w.GeocacheCode, w.GUID, w.Latitude, w.Longitude, w.Name,
                    w.Type, w.Url, w.UrlName},
                   "');");
}

std::string AdditionalWaypointsStatement(const TWaypointValues& w, std::string_view comment,
                                         std::string_view geocacheCode, std::string_view host) {
  return AdditionalWaypointsStatement(WaypointRow(w, comment, geocacheCode, host));
}

std::string GeocacheLogsStatement(const TLogRow& l) {
  std::string s;
  s.reserve(kLogsPrefix.size() + 160 + l.LogText.size());
  s.append(kLogsPrefix);
  // The account id alone may stand bare, so the values around it are joined by hand.
  for (std::string_view value : std::initializer_list<std::string_view>{l.Id, l.Code, l.GcCode}) {
    AppendValue(s, value);
    s.append(kSeparator);
  }
  AppendValue(s, l.PublicGuid);
  if (IsIntegerLiteral(l.UserId)) {
    s.append("',").append(l.UserId).append(",'");
  } else {
    s.append(kSeparator);
    AppendValue(s, l.UserId);
    s.append(kSeparator);
  }
  for (std::string_view value :
       std::initializer_list<std::string_view>{l.UserName, l.Guid, l.LogText, l.WptLogTypeName, l.VisitDate}) {
    AppendValue(s, value);
    s.append(kSeparator);
  }
  AppendValue(s, l.IsArchived);
  s.append("')");
  return s;
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
