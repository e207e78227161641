#pragma once
// The waypoint table of a listing page as AdditionalWaypoints statements.
//
// The table is read row by row, rows counted from 0. Odd rows are waypoint rows: cell 4 gives
// the waypoint code, cell 6 its name, GUID and type, cell 7 its coordinates. Even rows are note
// rows: each one with a third cell emits a statement with that cell as the comment and the
// values the waypoint rows gathered so far (a value a waypoint row lacks carries over from the
// previous one). Before the first waypoint row the values are empty, except the GUID, which is
// the cache's own.
//
// A row runs from its "<tr" to the first "</tr" behind it, and the next row is looked for behind
// the start of the current one, so on a table whose rows are not closed the rows overlap. The
// walk is built so that this costs no more than a well-formed table of the same size: cells are
// found by binary search and each cell's values are worked out once.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "listing/cache_rows.h"

namespace listing {

// The cells (counted from 1) that hold a waypoint row's code, name and coordinates, and a note
// row's comment. The walk looks at a row's first eight cells.
struct TWaypointCells {
  int32_t Code = 4, Name = 6, Coordinates = 7, Note = 3;
};

// Appends one AdditionalWaypoints row per note row of `table` (the text between the table's
// opening tag and "</table>"). `code` is the cache code, `cacheGuid` the cache's GUID and `host`
// the site host of the waypoint addresses. Throws ECoordinateError for waypoint coordinates that
// do not read as numbers.
void AppendWaypointRows(std::string_view table, std::string_view code, std::string_view cacheGuid,
                        std::string_view host, std::vector<TWaypointRow>& rows);
// The same for a table of another layout: its cells, and the text a waypoint's GUID follows.
void AppendWaypointRows(std::string_view table, std::string_view code, std::string_view cacheGuid,
                        std::string_view host, std::vector<TWaypointRow>& rows, TWaypointCells cells,
                        std::string_view guidMarker);

// AppendWaypointRows, each row as its statement.
void AppendWaypointStatements(std::string_view table, std::string_view code, std::string_view cacheGuid,
                              std::string_view host, std::vector<std::string>& statements);

}  // namespace listing
