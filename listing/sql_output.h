#pragma once
// The SQL file of one cache: its statements, their exact text, and the file itself.
//
// Every statement is one "Insert or replace into" line. Each value that stands between
// apostrophes has its apostrophes doubled, so no page value can end a string literal early, and
// its line breaks written as "#13;" and "#10;", so no value can split a statement over two lines;
// other bytes are written as they came from the page.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "listing/cache_rows.h"

namespace listing {

// The values the waypoint rows of the waypoint table carry to the next note row (views).
struct TWaypointValues {
  std::string_view Code, Name, Guid, TypeText, Latitude, Longitude;
};

// The statements of one cache's rows, in the file's order: geocaches, Attributes, TBGC, the
// waypoints, the logs.
std::vector<std::string> CacheStatements(const TCacheRows& rows);

// The geocaches statement.
std::string GeocachesStatement(const TGeocacheValues& values);

// The Attributes statement, without a semicolon.
std::string AttributesStatement(std::string_view code, std::string_view attributes);

// The TBGC statement with the inventory list as HTML.
std::string TbgcStatement(std::string_view code, std::string_view trackables);

// One AdditionalWaypoints statement: the waypoint's carried values, the note row's comment, the
// cache code, and the site host for the waypoint's address.
std::string AdditionalWaypointsStatement(const TWaypointValues& waypoint, std::string_view comment,
                                         std::string_view geocacheCode, std::string_view host);
// The AdditionalWaypoints row of those values.
TWaypointRow WaypointRow(const TWaypointValues& waypoint, std::string_view comment, std::string_view geocacheCode,
                         std::string_view host);
std::string AdditionalWaypointsStatement(const TWaypointRow& row);

// One GeocacheLogs statement, without a semicolon. The account id stands bare when it is an
// integer literal (an optional "-" and digits), between apostrophes otherwise, so no page can end
// a value early and add SQL of its own.
std::string GeocacheLogsStatement(const TLogRow& row);

// `dataFolder` + "tmp/" + code + ".sql". A code that would name a file outside "tmp/" (one that
// holds "/", "\" or a NUL byte, or is "." or "..") is refused with runtime::EFileError, as the
// file system refuses a name it cannot hold.
std::string SqlFileName(const std::string& dataFolder, std::string_view code);

// Writes the statements, each followed by CR LF, as the whole file `path`. The file is replaced
// atomically: a failure leaves the previous file (or none). Throws runtime::EFileError.
void SaveStatements(const std::string& path, const std::vector<std::string>& statements);

}  // namespace listing
