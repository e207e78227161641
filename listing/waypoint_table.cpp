#include "listing/waypoint_table.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "listing/coordinates.h"
#include "listing/sql_output.h"
#include "listing/text_ops.h"

namespace listing {
namespace {

// Where one needle occurs in a text, found in one pass, so that FindFrom over any piece of the
// text is a binary search instead of a scan of the piece.
class TOccurrences {
 public:
  TOccurrences(std::string_view text, std::string_view needle)
      : FText(text), FLength(static_cast<int64_t>(needle.size())) {
    for (int64_t at = listing::FindText(needle, text); at != 0; at = listing::FindFrom(needle, text, at)) {
      FStarts.push_back(at - 1);
    }
  }

  // FindFrom(needle, piece, offset) for a piece that is a view into the text.
  int64_t FindFrom(std::string_view piece, int64_t offset) const {
    const int64_t length = static_cast<int64_t>(piece.size());
    if (offset < 0) offset = 0;
    if (offset >= length) return 0;
    const int64_t begin = piece.data() - FText.data();
    const auto it = std::lower_bound(FStarts.begin(), FStarts.end(), begin + offset);
    if (it == FStarts.end() || *it + FLength > begin + length) return 0;
    return *it - begin + 1;
  }

 private:
  std::string_view FText;
  int64_t FLength;
  std::vector<int64_t> FStarts;
};

// The values one cell can give, each worked out on first use. A cell is the same whatever row
// it is read in, so rows that share cells share this work.
struct TCell {
  std::string_view Raw;  // attributes and content, from behind "<td" to "</td>"
  std::optional<std::string_view> Content;
  std::optional<std::string> Code;  // cell 4 of a waypoint row, with the cache code's tail
  bool HasName = false;
  std::string_view Name, Guid, TypeText;  // cell 6
  std::optional<std::pair<std::string, std::string>> Coordinates;  // cell 7
};

struct TCellKey {
  int64_t Start, End;
  bool operator==(const TCellKey&) const = default;
};

struct TCellKeyHash {
  size_t operator()(const TCellKey& k) const {
    return std::hash<int64_t>()(k.Start) ^ (std::hash<int64_t>()(k.End) * 0x9e3779b97f4a7c15ULL);
  }
};

}  // namespace

void AppendWaypointRows(std::string_view table, std::string_view code, std::string_view cacheGuid,
                        std::string_view host, std::vector<TWaypointRow>& rows) {
  AppendWaypointRows(table, code, cacheGuid, host, rows, TWaypointCells{},
                     "http://" + std::string(host) + "/seek/wpt.aspx?WID=");
}

void AppendWaypointRows(std::string_view table, std::string_view code, std::string_view cacheGuid,
                        std::string_view host, std::vector<TWaypointRow>& rows, const TWaypointCells used,
                        std::string_view guidMarker) {
  const int64_t guidMarkerLength = static_cast<int64_t>(guidMarker.size());
  const std::string_view codeTail = Slice(code, 3, kRest);
  const TOccurrences cellStarts(table, "<td");
  const TOccurrences cellEnds(table, "</td>");
  // Node-based: the carried values below point into cells, which never move.
  std::unordered_map<TCellKey, TCell, TCellKeyHash> cells;

  auto contentOf = [](TCell& cell) -> std::string_view {
    if (!cell.Content) cell.Content = TrimBlanks(Slice(cell.Raw, FindText(">", cell.Raw) + 1, kRest));
    return *cell.Content;
  };

  // The values gathered by the waypoint rows.
  std::string_view waypointCode, name, guid = cacheGuid, typeText, latitude, longitude;

  // The end of row r is the first "</tr" behind r. Rows are looked for behind the start of the
  // previous one, so the end found last is still the answer while it lies behind r; without
  // this every row of a table lacking "</tr" would search the rest of the table again.
  int64_t rowEnd = -1;
  int64_t rowIndex = 0;
  int64_t r = 1;
  for (;;) {
    r = FindFrom("<tr", table, r);
    if (r == 0) break;
    if (rowEnd < 0 || (rowEnd != 0 && rowEnd <= r)) rowEnd = FindFrom("</tr", table, r);
    const std::string_view row = Slice(table, r, rowEnd - r);
    const bool waypointRow = rowIndex % 2 == 1;
    const int64_t rowAt = row.data() - table.data();

    // At most eight cells of a row are looked at.
    int64_t p = 1;
    for (int k = 1; k <= 8; ++k) {
      p = cellStarts.FindFrom(row, p);
      if (p == 0) break;
      const int64_t q = cellEnds.FindFrom(row, p);
      const bool read = waypointRow ? (k == used.Code || k == used.Name || k == used.Coordinates) : k == used.Note;
      if (read) {
        auto [it, added] = cells.try_emplace(TCellKey{rowAt + p, q == 0 ? 0 : rowAt + q});
        TCell& cell = it->second;
        if (added) cell.Raw = Slice(row, p + 3, q - p - 3);
        const std::string_view content = contentOf(cell);
        if (!waypointRow) {
          const TWaypointValues values{waypointCode, name, guid, typeText, latitude, longitude};
          rows.push_back(WaypointRow(values, content, code, host));
        } else if (k == used.Code) {
          if (!cell.Code) cell.Code = std::string(TrimBlanks(TextBetween(">", "<", content))).append(codeTail);
          waypointCode = *cell.Code;
        } else if (k == used.Name) {
          if (!cell.HasName) {
            cell.Name = TextBetween(">", "<", content);
            cell.Guid = Slice(content, FindText(guidMarker, content) + guidMarkerLength, 36);
            cell.TypeText = TextBetween("(", ")", content);
            cell.HasName = true;
          }
          name = cell.Name;
          guid = cell.Guid;
          typeText = cell.TypeText;
        } else {
          if (!cell.Coordinates) {
            const std::string coordinates = ReplaceAll(content, "&nbsp;", "");
            // Latitude first, as the page's own coordinates are read: as arguments of one call the
            // order would be the compiler's, and so would which of two faults the failure names.
            std::string latitudeText = LatitudeText(coordinates);
            cell.Coordinates.emplace(std::move(latitudeText), LongitudeText(coordinates));
          }
          latitude = cell.Coordinates->first;
          longitude = cell.Coordinates->second;
        }
      }
      p = q;
    }
    ++rowIndex;
  }
}

void AppendWaypointStatements(std::string_view table, std::string_view code, std::string_view cacheGuid,
                              std::string_view host, std::vector<std::string>& statements) {
  std::vector<TWaypointRow> rows;
  AppendWaypointRows(table, code, cacheGuid, host, rows);
  for (const TWaypointRow& row : rows) statements.push_back(AdditionalWaypointsStatement(row));
}

}  // namespace listing
