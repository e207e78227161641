#pragma once
// The cache logs embedded in a listing page, as GeocacheLogs rows and statements.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "listing/cache_rows.h"

namespace listing {

// The logs text could not be converted; the conversion of the page fails as a whole.
class ELogsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the logs JSON text cut out of the page and appends one GeocacheLogs row per element of
// its "data" array to `rows`, in array order. The texts are read twice: as Windows-1250 (so that
// the page's UTF-8 passes through unchanged and escapes land in the code page, as the SQL file
// has them) and as UTF-8 (the Utf8 members, for the database). Throws ELogsError, appending
// nothing, when the text is not JSON, when "data" is missing or not an array, or when a log lacks
// one of the members a row needs.
void LogsToRows(std::string_view logs, const std::string& code, std::vector<TLogRow>& rows);

// LogsToRows, each row as its statement (GeocacheLogsStatement).
void LogsToSql(std::string_view logs, const std::string& code, std::vector<std::string>& statements);

}  // namespace listing
