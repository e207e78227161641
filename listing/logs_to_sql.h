#pragma once
// The cache logs embedded in a listing page, as GeocacheLogs statements.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace listing {

// The logs text could not be converted; the conversion of the page fails as a whole.
class ELogsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the logs JSON text cut out of the page (page bytes, read as Windows-1250 so that
// UTF-8 passes through unchanged) and appends one GeocacheLogs statement per element of its
// "data" array to `statements`, in array order. Throws ELogsError, appending nothing, when
// the text is not JSON, when "data" is missing or not an array, or when a log lacks one of
// the members a statement needs.
void LogsToSql(std::string_view logs, const std::string& code, std::vector<std::string>& statements);

}  // namespace listing
