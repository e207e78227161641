#pragma once
// The cache logs embedded in a listing page, as GeocacheLogs statements.

#include <string>
#include <string_view>
#include <vector>

namespace listing {

// Parses the logs JSON text cut out of the page and appends one GeocacheLogs statement per
// log to `statements`. Throws on a text that is not the expected JSON.
void LogsToSql(std::string_view logs, const std::string& code, std::vector<std::string>& statements);

}  // namespace listing
