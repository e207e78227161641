#pragma once
// What a batch that is started again needs from the listings database: which caches it already
// holds from a recent conversion.

#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace store {

// The codes of the caches in the database at `path` whose conversion time (geocaches.DatUpd) is
// `since` or later, letter case as stored. The database is only read. A file that does not exist
// holds none; a file that cannot be read, or is not a database, throws EStoreError naming it with
// SQLite's reason.
std::set<std::string> CodesConvertedSince(const std::string& path, std::time_t since);

// The moment a DatUpd value names: "yyyy-mm-dd hh:mm:ss" in local time, as the conversion writes
// it, or the same with "T" between date and time, a fraction of a second, and "Z" or an offset
// ("+01:00") for a time that says its zone. Nothing for any other text.
std::optional<std::time_t> ConversionTime(std::string_view text);

}  // namespace store
