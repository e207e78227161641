#pragma once
// What the listings database holds, read for the window: one row per cache, and a cache's long
// description. Read-only: opening never creates the file or its tables, and a reader never
// blocks the conversion that writes (the database keeps a write-ahead log).
//
// Columns are read by name and every value as text, so a database whose values are typed
// (numbers as REAL, times as numbers or text) reads as well as one that holds them all as text.

#include <string>
#include <vector>

namespace store {

struct TCacheRow {
  std::string Code, Name, Type;
  std::string Difficulty, Terrain;  // "2.5"; empty when the database has none
  std::string ConvertedAt;          // when the program last converted the cache (DatUpd)
};

// Every cache of the database at `databasePath`, ordered by code. A file that does not exist
// yet gives no rows. Throws EStoreError (naming the file and SQLite's reason) when the file is
// there but cannot be read as a listings database.
std::vector<TCacheRow> ReadCacheList(const std::string& databasePath, int busyTimeoutMs = 1000);

// The long description of `code` as stored, or empty when the database has no such cache.
// Throws EStoreError as ReadCacheList does.
std::string ReadLongDescription(const std::string& databasePath, const std::string& code, int busyTimeoutMs = 1000);

}  // namespace store
